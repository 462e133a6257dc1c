#include "platform/tests/emf_writer.h"

#include <algorithm>
#include <cstring>

namespace vel::test {

namespace {

void Put32To(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Pad4(std::vector<uint8_t>& v) {
  while (v.size() % 4) v.push_back(0);
}

std::vector<uint8_t> InfoHeader(int32_t w, int32_t h, uint16_t bpp, uint32_t colours, uint32_t image_size) {
  std::vector<uint8_t> info;
  Put32To(info, 40);
  Put32To(info, static_cast<uint32_t>(w));
  Put32To(info, static_cast<uint32_t>(h));
  info.push_back(1);
  info.push_back(0);
  info.push_back(static_cast<uint8_t>(bpp));
  info.push_back(static_cast<uint8_t>(bpp >> 8));
  Put32To(info, 0);  // BI_RGB
  Put32To(info, image_size);
  Put32To(info, 0);
  Put32To(info, 0);
  Put32To(info, colours);
  Put32To(info, 0);
  return info;
}

void PutColour(std::vector<uint8_t>& out, uint32_t rgb) {
  out.push_back(static_cast<uint8_t>(rgb));        // blue
  out.push_back(static_cast<uint8_t>(rgb >> 8));   // green
  out.push_back(static_cast<uint8_t>(rgb >> 16));  // red
  out.push_back(0);
}

// Appends a DIB (info, then bits) to `body`, whose offsets are relative to the
// record start (`record_base` bytes precede `body` in the record).
void PutDib(std::vector<uint8_t>& body, size_t record_base, const TestDib& dib, size_t off_bmi_at,
            size_t cb_bmi_at, size_t off_bits_at, size_t cb_bits_at) {
  Pad4(body);
  const size_t bmi = record_base + body.size();
  body.insert(body.end(), dib.info.begin(), dib.info.end());
  Pad4(body);
  const size_t bits = record_base + body.size();
  body.insert(body.end(), dib.bits.begin(), dib.bits.end());
  Pad4(body);
  Set32(body, off_bmi_at - record_base, static_cast<uint32_t>(bmi));
  Set32(body, cb_bmi_at - record_base, static_cast<uint32_t>(dib.info.size()));
  Set32(body, off_bits_at - record_base, static_cast<uint32_t>(bits));
  Set32(body, cb_bits_at - record_base, static_cast<uint32_t>(dib.bits.size()));
}

}  // namespace

TestDib MakeDib24(const std::vector<std::vector<uint32_t>>& rows, bool top_down) {
  TestDib d;
  const int32_t h = static_cast<int32_t>(rows.size());
  const int32_t w = h ? static_cast<int32_t>(rows[0].size()) : 0;
  const size_t stride = ((static_cast<size_t>(w) * 24 + 31) / 32) * 4;
  d.info = InfoHeader(w, top_down ? -h : h, 24, 0, static_cast<uint32_t>(stride * h));
  for (int32_t i = 0; i < h; ++i) {
    const auto& row = rows[top_down ? i : h - 1 - i];
    std::vector<uint8_t> line;
    for (uint32_t c : row) {
      line.push_back(static_cast<uint8_t>(c));
      line.push_back(static_cast<uint8_t>(c >> 8));
      line.push_back(static_cast<uint8_t>(c >> 16));
    }
    line.resize(stride, 0);
    d.bits.insert(d.bits.end(), line.begin(), line.end());
  }
  return d;
}

TestDib MakeDib8(const std::vector<uint32_t>& table, const std::vector<std::vector<uint8_t>>& rows) {
  TestDib d;
  const int32_t h = static_cast<int32_t>(rows.size());
  const int32_t w = h ? static_cast<int32_t>(rows[0].size()) : 0;
  const size_t stride = ((static_cast<size_t>(w) * 8 + 31) / 32) * 4;
  d.info = InfoHeader(w, h, 8, static_cast<uint32_t>(table.size()), static_cast<uint32_t>(stride * h));
  for (uint32_t c : table) PutColour(d.info, c);
  for (int32_t i = h - 1; i >= 0; --i) {
    std::vector<uint8_t> line(rows[i].begin(), rows[i].end());
    line.resize(stride, 0);
    d.bits.insert(d.bits.end(), line.begin(), line.end());
  }
  return d;
}

TestDib MakeDib1(uint32_t colour0, uint32_t colour1, const std::vector<std::vector<uint8_t>>& rows) {
  TestDib d;
  const int32_t h = static_cast<int32_t>(rows.size());
  const int32_t w = h ? static_cast<int32_t>(rows[0].size()) : 0;
  const size_t stride = ((static_cast<size_t>(w) + 31) / 32) * 4;
  d.info = InfoHeader(w, h, 1, 2, static_cast<uint32_t>(stride * h));
  PutColour(d.info, colour0);
  PutColour(d.info, colour1);
  for (int32_t i = h - 1; i >= 0; --i) {
    std::vector<uint8_t> line(stride, 0);
    for (int32_t x = 0; x < w; ++x)
      if (rows[i][x]) line[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    d.bits.insert(d.bits.end(), line.begin(), line.end());
  }
  return d;
}

uint32_t EmfWriter::F(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

void EmfWriter::Put32(std::vector<uint8_t>& out, uint32_t v) { Put32To(out, v); }

EmfWriter::EmfWriter(int32_t width, int32_t height, int dpi) {
  // The header record, 108 bytes with the micrometre size.
  Put32(bytes_, 1);
  Put32(bytes_, 108);
  for (int32_t v : {0, 0, width - 1, height - 1}) Put32(bytes_, U(v));
  const int32_t fw = static_cast<int32_t>(int64_t{width} * 2540 / dpi);
  const int32_t fh = static_cast<int32_t>(int64_t{height} * 2540 / dpi);
  for (int32_t v : {0, 0, fw, fh}) Put32(bytes_, U(v));
  Put32(bytes_, 0x464D4520);
  Put32(bytes_, 0x10000);
  Put32(bytes_, 0);  // bytes, filled by Finish
  Put32(bytes_, 0);  // records
  Put32(bytes_, 0);  // handles (16 bits) and reserved
  Put32(bytes_, 0);  // description
  Put32(bytes_, 0);
  Put32(bytes_, 0);  // palette entries
  Put32(bytes_, U(width));
  Put32(bytes_, U(height));
  Put32(bytes_, U(static_cast<int32_t>((int64_t{width} * 254 / dpi + 5) / 10)));
  Put32(bytes_, U(static_cast<int32_t>((int64_t{height} * 254 / dpi + 5) / 10)));
  Put32(bytes_, 0);
  Put32(bytes_, 0);
  Put32(bytes_, 0);
  Put32(bytes_, U(static_cast<int32_t>(int64_t{width} * 25400 / dpi)));
  Put32(bytes_, U(static_cast<int32_t>(int64_t{height} * 25400 / dpi)));
  records_ = 1;
}

EmfWriter& EmfWriter::Words(uint32_t type, const std::vector<uint32_t>& words) {
  Put32(bytes_, type);
  Put32(bytes_, static_cast<uint32_t>(8 + 4 * words.size()));
  for (uint32_t w : words) Put32(bytes_, w);
  ++records_;
  return *this;
}

EmfWriter& EmfWriter::Bytes(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> b = body;
  Pad4(b);
  Put32(bytes_, type);
  Put32(bytes_, static_cast<uint32_t>(8 + b.size()));
  bytes_.insert(bytes_.end(), b.begin(), b.end());
  ++records_;
  return *this;
}

EmfWriter& EmfWriter::Raw(const std::vector<uint8_t>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

EmfWriter& EmfWriter::SetWorldTransform(float m11, float m12, float m21, float m22, float dx, float dy) {
  return Words(35, {F(m11), F(m12), F(m21), F(m22), F(dx), F(dy)});
}

EmfWriter& EmfWriter::CreatePen(uint32_t handle, uint32_t style, int32_t width, uint32_t colour) {
  max_handle_ = std::max(max_handle_, handle);
  return Words(38, {handle, style, U(width), 0, colour});
}

EmfWriter& EmfWriter::ExtCreatePen(uint32_t handle, uint32_t style, uint32_t width, uint32_t colour,
                                   const std::vector<uint32_t>& dashes) {
  max_handle_ = std::max(max_handle_, handle);
  std::vector<uint32_t> w = {handle, 0, 0, 0, 0, style, width, 0, colour, 0, static_cast<uint32_t>(dashes.size())};
  w.insert(w.end(), dashes.begin(), dashes.end());
  return Words(95, w);
}

EmfWriter& EmfWriter::CreateBrush(uint32_t handle, uint32_t style, uint32_t colour, uint32_t hatch) {
  max_handle_ = std::max(max_handle_, handle);
  return Words(39, {handle, style, colour, hatch});
}

EmfWriter& EmfWriter::CreateDibPatternBrush(uint32_t handle, const TestDib& dib) {
  max_handle_ = std::max(max_handle_, handle);
  std::vector<uint8_t> body;
  Put32(body, handle);
  Put32(body, 0);  // DIB_RGB_COLORS
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  PutDib(body, 8, dib, 16, 20, 24, 28);
  return Bytes(94, body);
}

EmfWriter& EmfWriter::CreateFont(uint32_t handle, int32_t height, const std::u16string& face, int32_t weight,
                                 int32_t escapement, int32_t width) {
  max_handle_ = std::max(max_handle_, handle);
  std::vector<uint8_t> body;
  Put32(body, handle);
  Put32(body, U(height));
  Put32(body, U(width));
  Put32(body, U(escapement));
  Put32(body, U(escapement));
  Put32(body, U(weight));
  Put32(body, 0xEE000000);  // italic, underline, strike-out off; Central European character set
  Put32(body, 0);
  for (size_t i = 0; i < 32; ++i) {
    const char16_t c = i < face.size() ? face[i] : 0;
    body.push_back(static_cast<uint8_t>(c));
    body.push_back(static_cast<uint8_t>(c >> 8));
  }
  return Bytes(82, body);
}

EmfWriter& EmfWriter::Poly32(uint32_t type, const std::vector<EmfPoint>& pts) {
  std::vector<uint32_t> w = {0, 0, 0, 0, static_cast<uint32_t>(pts.size())};
  for (const auto& p : pts) {
    w.push_back(U(p.x));
    w.push_back(U(p.y));
  }
  return Words(type, w);
}

EmfWriter& EmfWriter::Poly16(uint32_t type, const std::vector<EmfPoint>& pts) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  Put32(body, static_cast<uint32_t>(pts.size()));
  for (const auto& p : pts) {
    body.push_back(static_cast<uint8_t>(p.x));
    body.push_back(static_cast<uint8_t>(p.x >> 8));
    body.push_back(static_cast<uint8_t>(p.y));
    body.push_back(static_cast<uint8_t>(p.y >> 8));
  }
  return Bytes(type, body);
}

EmfWriter& EmfWriter::PolyPoly(uint32_t type, const std::vector<std::vector<EmfPoint>>& polys) {
  const bool small = type == 90 || type == 91;
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  size_t total = 0;
  for (const auto& p : polys) total += p.size();
  Put32(body, static_cast<uint32_t>(polys.size()));
  Put32(body, static_cast<uint32_t>(total));
  for (const auto& p : polys) Put32(body, static_cast<uint32_t>(p.size()));
  for (const auto& poly : polys) {
    for (const auto& p : poly) {
      if (small) {
        body.push_back(static_cast<uint8_t>(p.x));
        body.push_back(static_cast<uint8_t>(p.x >> 8));
        body.push_back(static_cast<uint8_t>(p.y));
        body.push_back(static_cast<uint8_t>(p.y >> 8));
      } else {
        Put32(body, U(p.x));
        Put32(body, U(p.y));
      }
    }
  }
  return Bytes(type, body);
}

EmfWriter& EmfWriter::TextOut(int32_t x, int32_t y, const std::u16string& text, const std::vector<int32_t>& dx,
                              uint32_t options, int32_t l, int32_t t, int32_t r, int32_t b) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);  // bounds
  Put32(body, 1);                             // GM_COMPATIBLE
  Put32(body, F(1.0f));
  Put32(body, F(1.0f));
  Put32(body, U(x));
  Put32(body, U(y));
  Put32(body, static_cast<uint32_t>(text.size()));
  Put32(body, 76);  // the string follows the fixed part
  Put32(body, options);
  for (int32_t v : {l, t, r, b}) Put32(body, U(v));
  const size_t dx_at = body.size();
  Put32(body, 0);
  for (char16_t c : text) {
    body.push_back(static_cast<uint8_t>(c));
    body.push_back(static_cast<uint8_t>(c >> 8));
  }
  Pad4(body);
  if (!dx.empty()) {
    Set32(body, dx_at, static_cast<uint32_t>(8 + body.size()));
    for (int32_t d : dx) Put32(body, U(d));
  }
  return Bytes(84, body);
}

EmfWriter& EmfWriter::StretchDiBits(int32_t xd, int32_t yd, int32_t cxd, int32_t cyd, const TestDib& dib,
                                    int32_t xs, int32_t ys, int32_t cxs, int32_t cys, uint32_t rop) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  for (int32_t v : {xd, yd, xs, ys, cxs, cys}) Put32(body, U(v));
  for (int i = 0; i < 4; ++i) Put32(body, 0);  // offsets, filled below
  Put32(body, 0);                             // DIB_RGB_COLORS
  Put32(body, rop);
  Put32(body, U(cxd));
  Put32(body, U(cyd));
  PutDib(body, 8, dib, 48, 52, 56, 60);
  return Bytes(81, body);
}

EmfWriter& EmfWriter::SetDiBitsToDevice(int32_t xd, int32_t yd, const TestDib& dib, int32_t xs, int32_t ys,
                                        int32_t cx, int32_t cy, uint32_t start, uint32_t scans) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  for (int32_t v : {xd, yd, xs, ys, cx, cy}) Put32(body, U(v));
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  Put32(body, 0);
  Put32(body, start);
  Put32(body, scans);
  PutDib(body, 8, dib, 48, 52, 56, 60);
  return Bytes(80, body);
}

EmfWriter& EmfWriter::BitBlt(int32_t xd, int32_t yd, int32_t cx, int32_t cy, const TestDib* dib, uint32_t rop) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  for (int32_t v : {xd, yd, cx, cy}) Put32(body, U(v));
  Put32(body, rop);
  Put32(body, 0);
  Put32(body, 0);
  for (float f : {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}) Put32(body, F(f));
  Put32(body, 0);  // background colour of the source
  Put32(body, 0);  // DIB_RGB_COLORS
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  if (dib) PutDib(body, 8, *dib, 84, 88, 92, 96);
  return Bytes(76, body);
}

EmfWriter& EmfWriter::SelectClipRgn(const std::vector<std::vector<int32_t>>& rects, uint32_t mode) {
  std::vector<uint8_t> body;
  if (rects.empty()) {
    Put32(body, 0);
    Put32(body, mode);
    return Bytes(75, body);
  }
  const uint32_t cb = static_cast<uint32_t>(32 + 16 * rects.size());
  Put32(body, cb);
  Put32(body, mode);
  Put32(body, 32);
  Put32(body, 1);
  Put32(body, static_cast<uint32_t>(rects.size()));
  Put32(body, static_cast<uint32_t>(16 * rects.size()));
  for (int i = 0; i < 4; ++i) Put32(body, 0);
  for (const auto& r : rects)
    for (int32_t v : r) Put32(body, U(v));
  return Bytes(75, body);
}

EmfWriter& EmfWriter::Comment(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body;
  Put32(body, static_cast<uint32_t>(data.size()));
  body.insert(body.end(), data.begin(), data.end());
  return Bytes(70, body);
}

std::vector<uint8_t> EmfWriter::Finish() {
  std::vector<uint8_t> out = bytes_;
  // EMR_EOF: no palette entries, offset 16, size repeated.
  Put32(out, 14);
  Put32(out, 20);
  Put32(out, 0);
  Put32(out, 16);
  Put32(out, 20);
  Set32(out, 48, static_cast<uint32_t>(out.size()));
  Set32(out, 52, records_ + 1);
  Set32(out, 56, max_handle_ + 1);
  return out;
}

}  // namespace vel::test
