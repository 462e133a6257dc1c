// One EMF page turned into a BMP file image: white background, drawn at half
// the recording printer's resolution. Used when pages are stored as bitmaps and
// when two versions of a document are compared page by page.
#pragma once

#include <QImage>
#include <cstdint>
#include <span>
#include <vector>

namespace vel::app {

// Largest page bitmap we make: each side, and the pixel bytes. A metafile
// header asking for more gives error 8.
inline constexpr int32_t kMaxPageBitmapSide = 32768;
inline constexpr uint64_t kMaxPageBitmapBytes = uint64_t{256} << 20;

// Layout of the BMP file image for a bitmap of the given size and depth
// (planes times bits per pixel): the depth class D, the colour-table entries
// K, the pixel bytes I, the pixel offset and the file size, all in 64 bits.
struct BmpLayout {
  uint32_t depth = 0;
  uint64_t colours = 0;
  uint64_t pixel_bytes = 0;
  uint64_t pixel_offset = 0;
  uint64_t file_size = 0;
};
BmpLayout ComputeBmpLayout(int32_t width, int32_t height, uint32_t planes_times_bits);

class CPageBitmap {
 public:
  // Renders the EMF page; *status receives 0 or the error of the failing step:
  // 13 (not a metafile, or a broken record chain), 87 (a reference device of no
  // size), 8 (a page beyond the caps above, or memory), 50 (no GUI application
  // for the fonts).
  CPageBitmap(std::span<const uint8_t> emf, uint32_t* status);
  virtual ~CPageBitmap();

  CPageBitmap(const CPageBitmap&) = delete;
  CPageBitmap& operator=(const CPageBitmap&) = delete;

  uint32_t image_size() const { return static_cast<uint32_t>(image_.size()); }
  const uint8_t* image() const { return image_.data(); }
  std::span<const uint8_t> bytes() const { return image_; }
  // The error of the last failing step, -1 (0xFFFFFFFF) when none was reported.
  uint32_t last_error() const { return last_error_; }

 private:
  uint32_t Render(std::span<const uint8_t> emf);
  // The size rule: with `out` smaller than the image, stores the needed size and
  // returns 234; otherwise writes the image and returns 0.
  uint32_t BuildFileImage(std::span<uint8_t> out, uint32_t* needed) const;

  std::vector<uint8_t> image_;
  QImage bitmap_;  // only while rendering
  uint32_t last_error_ = 0;
};

}  // namespace vel::app
