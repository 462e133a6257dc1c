// A tiny EMF writer for tests: builds metafiles record by record, so that the
// tests make their own fixtures (and broken ones) instead of carrying binaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::test {

constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t{r} | (uint32_t{g} << 8) | (uint32_t{b} << 16);
}

struct EmfPoint {
  int32_t x, y;
};

// A device-independent bitmap: BITMAPINFO bytes and pixel bytes.
struct TestDib {
  std::vector<uint8_t> info;
  std::vector<uint8_t> bits;
};

// A 24-bit bitmap from rows of 0xRRGGBB colours given top row first; stored
// bottom-up unless `top_down`.
TestDib MakeDib24(const std::vector<std::vector<uint32_t>>& rows, bool top_down = false);
// An 8-bit bitmap with a colour table (0xRRGGBB entries) and rows of indexes, top row first.
TestDib MakeDib8(const std::vector<uint32_t>& table, const std::vector<std::vector<uint8_t>>& rows);
// A 1-bit bitmap with two colours; rows of 0/1, top row first.
TestDib MakeDib1(uint32_t colour0, uint32_t colour1, const std::vector<std::vector<uint8_t>>& rows);

class EmfWriter {
 public:
  // A page of `width` x `height` reference-device pixels at `dpi`; the frame
  // covers the page.
  EmfWriter(int32_t width, int32_t height, int dpi = 600);

  // A record of the given type whose body is `words` (after type and size).
  EmfWriter& Words(uint32_t type, const std::vector<uint32_t>& words);
  // A record whose body is `body`, padded to a multiple of 4 bytes.
  EmfWriter& Bytes(uint32_t type, const std::vector<uint8_t>& body);
  // Raw bytes appended as they are (for broken records).
  EmfWriter& Raw(const std::vector<uint8_t>& bytes);

  EmfWriter& SetMapMode(uint32_t mode) { return Words(17, {mode}); }
  EmfWriter& SetWindowOrg(int32_t x, int32_t y) { return Words(10, {U(x), U(y)}); }
  EmfWriter& SetWindowExt(int32_t cx, int32_t cy) { return Words(9, {U(cx), U(cy)}); }
  EmfWriter& SetViewportOrg(int32_t x, int32_t y) { return Words(12, {U(x), U(y)}); }
  EmfWriter& SetViewportExt(int32_t cx, int32_t cy) { return Words(11, {U(cx), U(cy)}); }
  EmfWriter& SetWorldTransform(float m11, float m12, float m21, float m22, float dx, float dy);
  EmfWriter& SetBkMode(uint32_t mode) { return Words(18, {mode}); }
  EmfWriter& SetBkColor(uint32_t c) { return Words(25, {c}); }
  EmfWriter& SetTextColor(uint32_t c) { return Words(24, {c}); }
  EmfWriter& SetTextAlign(uint32_t a) { return Words(22, {a}); }
  EmfWriter& SetPolyFillMode(uint32_t m) { return Words(19, {m}); }
  EmfWriter& SaveDc() { return Words(33, {}); }
  EmfWriter& RestoreDc(int32_t n) { return Words(34, {U(n)}); }

  EmfWriter& CreatePen(uint32_t handle, uint32_t style, int32_t width, uint32_t colour);
  EmfWriter& ExtCreatePen(uint32_t handle, uint32_t style, uint32_t width, uint32_t colour,
                          const std::vector<uint32_t>& dashes = {});
  EmfWriter& CreateBrush(uint32_t handle, uint32_t style, uint32_t colour, uint32_t hatch = 0);
  EmfWriter& CreateDibPatternBrush(uint32_t handle, const TestDib& dib);
  EmfWriter& CreateFont(uint32_t handle, int32_t height, const std::u16string& face, int32_t weight = 400,
                        int32_t escapement = 0, int32_t width = 0);
  EmfWriter& Select(uint32_t handle) { return Words(37, {handle}); }
  EmfWriter& SelectStock(uint32_t index) { return Words(37, {0x80000000u | index}); }
  EmfWriter& Delete(uint32_t handle) { return Words(40, {handle}); }

  EmfWriter& MoveTo(int32_t x, int32_t y) { return Words(27, {U(x), U(y)}); }
  EmfWriter& LineTo(int32_t x, int32_t y) { return Words(54, {U(x), U(y)}); }
  EmfWriter& Rectangle(int32_t l, int32_t t, int32_t r, int32_t b) { return Words(43, {U(l), U(t), U(r), U(b)}); }
  EmfWriter& Ellipse(int32_t l, int32_t t, int32_t r, int32_t b) { return Words(42, {U(l), U(t), U(r), U(b)}); }
  EmfWriter& RoundRect(int32_t l, int32_t t, int32_t r, int32_t b, int32_t w, int32_t h) {
    return Words(44, {U(l), U(t), U(r), U(b), U(w), U(h)});
  }
  // Arc 45, Chord 46, Pie 47, ArcTo 55.
  EmfWriter& ArcLike(uint32_t type, int32_t l, int32_t t, int32_t r, int32_t b, EmfPoint start, EmfPoint end) {
    return Words(type, {U(l), U(t), U(r), U(b), U(start.x), U(start.y), U(end.x), U(end.y)});
  }
  // 32-bit poly records: Polygon 3, Polyline 4, PolyBezier 2, PolylineTo 6, PolyBezierTo 5.
  EmfWriter& Poly32(uint32_t type, const std::vector<EmfPoint>& pts);
  // 16-bit poly records: PolyBezier16 85, Polygon16 86, Polyline16 87, PolyBezierTo16 88, PolylineTo16 89.
  EmfWriter& Poly16(uint32_t type, const std::vector<EmfPoint>& pts);
  // PolyPolygon 8 / PolyPolyline 7 (32-bit), PolyPolygon16 91 / PolyPolyline16 90.
  EmfWriter& PolyPoly(uint32_t type, const std::vector<std::vector<EmfPoint>>& polys);

  // ExtTextOutW; dx empty writes no spacing array.
  EmfWriter& TextOut(int32_t x, int32_t y, const std::u16string& text, const std::vector<int32_t>& dx = {},
                     uint32_t options = 0, int32_t l = 0, int32_t t = 0, int32_t r = 0, int32_t b = 0);

  EmfWriter& StretchDiBits(int32_t xd, int32_t yd, int32_t cxd, int32_t cyd, const TestDib& dib,
                           int32_t xs, int32_t ys, int32_t cxs, int32_t cys, uint32_t rop = 0x00CC0020);
  EmfWriter& SetDiBitsToDevice(int32_t xd, int32_t yd, const TestDib& dib, int32_t xs, int32_t ys,
                               int32_t cx, int32_t cy, uint32_t start, uint32_t scans);
  EmfWriter& BitBlt(int32_t xd, int32_t yd, int32_t cx, int32_t cy, const TestDib* dib, uint32_t rop);

  EmfWriter& IntersectClip(int32_t l, int32_t t, int32_t r, int32_t b) { return Words(30, {U(l), U(t), U(r), U(b)}); }
  EmfWriter& ExcludeClip(int32_t l, int32_t t, int32_t r, int32_t b) { return Words(29, {U(l), U(t), U(r), U(b)}); }
  // ExtSelectClipRgn with rectangles (l, t, r, b) in device units; none with mode 5 resets.
  EmfWriter& SelectClipRgn(const std::vector<std::vector<int32_t>>& rects, uint32_t mode);
  EmfWriter& BeginPath() { return Words(59, {}); }
  EmfWriter& EndPath() { return Words(60, {}); }
  EmfWriter& FillPath() { return Words(62, {0, 0, 0, 0}); }
  EmfWriter& StrokePath() { return Words(64, {0, 0, 0, 0}); }
  EmfWriter& SelectClipPath(uint32_t mode) { return Words(67, {mode}); }
  EmfWriter& Comment(const std::vector<uint8_t>& data);

  // Appends the end record, fills in the header's totals and returns the metafile.
  std::vector<uint8_t> Finish();

  static uint32_t U(int32_t v) { return static_cast<uint32_t>(v); }
  static uint32_t F(float f);

 private:
  void Put32(std::vector<uint8_t>& out, uint32_t v);
  std::vector<uint8_t> bytes_;
  uint32_t records_ = 0;
  uint32_t max_handle_ = 0;
};

}  // namespace vel::test
