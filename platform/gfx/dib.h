// Device-independent bitmaps (the BITMAPINFO header, colour table and pixel
// rows that metafiles and BMP files carry) decoded into QImage. Every size is
// taken from the input and checked against it; a malformed or oversized bitmap
// gives a null image, never a read outside the bytes.
#pragma once

#include <QImage>
#include <cstdint>
#include <optional>
#include <span>

namespace vel::gfx {

// Largest bitmap we decode, in pixels (256 MiB at 32 bits per pixel).
inline constexpr uint64_t kMaxDibPixels = uint64_t{1} << 26;
// Largest width or height.
inline constexpr int32_t kMaxDibSide = 1 << 16;

enum DibCompression : uint32_t {
  kBiRgb = 0,
  kBiRle8 = 1,
  kBiRle4 = 2,
  kBiBitfields = 3,
  kBiJpeg = 4,
  kBiPng = 5,
  kBiAlphaBitfields = 6,
};

struct DibHeader {
  uint32_t header_size = 0;
  int32_t width = 0;
  int32_t height = 0;  // rows, always positive here; see top_down
  bool top_down = false;
  uint16_t bit_count = 0;
  uint32_t compression = kBiRgb;
  uint32_t colours = 0;             // colour-table entries the pixels index (bit counts up to 8)
  uint64_t colour_table_offset = 0;  // where the colour table starts inside the header bytes
  uint32_t colour_entry_size = 4;   // 3 for the old core header
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha for bit fields
};

// Reads and checks the header at the start of `info`; nullopt when malformed or
// beyond the limits above.
std::optional<DibHeader> ParseDibHeader(std::span<const uint8_t> info);

struct DibDecodeOptions {
  // Rows present in the pixel data, counted from the first stored row
  // (SetDIBitsToDevice may pass only some scan lines); -1 for the header's height.
  int64_t scan_lines = -1;
  // The colour table holds 16-bit indexes into this palette (DIB_PAL_COLORS).
  bool palette_indexes = false;
  std::span<const QRgb> palette;
  // Replaces the two colours of a 1-bit bitmap (monochrome pattern brushes).
  std::optional<std::pair<QRgb, QRgb>> mono_colours;
};

// Decodes the pixels of a bitmap whose BITMAPINFO is `info` and whose pixel data
// is `bits`. The image is top-down; run-length encoded bitmaps leave skipped
// pixels transparent. Returns a null image on any fault.
QImage DecodeDib(std::span<const uint8_t> info, std::span<const uint8_t> bits,
                 const DibDecodeOptions& options = {});

// Decodes a BMP file image (the 14-byte file header, BITMAPINFO, pixels).
QImage DecodeBmpFile(std::span<const uint8_t> file);

}  // namespace vel::gfx
