#include "platform/gfx/dib.h"

#include <QByteArray>
#include <algorithm>
#include <bit>
#include <vector>

#include "platform/gfx/le_reader.h"

namespace vel::gfx {

namespace {

struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int width = 0;
};

Channel MakeChannel(uint32_t mask) {
  Channel c;
  c.mask = mask;
  if (mask == 0) return c;
  c.shift = std::countr_zero(mask);
  c.width = 32 - std::countl_zero(mask) - c.shift;
  return c;
}

uint32_t Scale8(const Channel& c, uint32_t pixel) {
  if (c.width == 0) return 0;
  uint32_t v = (pixel & c.mask) >> c.shift;
  if (c.width >= 8) return v >> (c.width - 8);
  uint32_t max = (uint32_t{1} << c.width) - 1;
  return v * 255 / max;
}

QRgb FromBgr(uint8_t b, uint8_t g, uint8_t r) { return qRgb(r, g, b); }

std::vector<QRgb> ReadColourTable(const LeReader& in, const DibHeader& h,
                                  const DibDecodeOptions& options) {
  std::vector<QRgb> table;
  if (h.bit_count > 8) return table;
  table.assign(size_t{1} << h.bit_count, qRgb(0, 0, 0));
  const uint32_t n = std::min<uint32_t>(h.colours, static_cast<uint32_t>(table.size()));
  for (uint32_t i = 0; i < n; ++i) {
    if (options.palette_indexes) {
      uint64_t off = h.colour_table_offset + uint64_t{i} * 2;
      if (!in.Has(off, 2)) break;
      uint16_t idx = in.U16(off);
      table[i] = idx < options.palette.size() ? options.palette[idx] : qRgb(0, 0, 0);
    } else {
      uint64_t off = h.colour_table_offset + uint64_t{i} * h.colour_entry_size;
      if (!in.Has(off, 3)) break;  // a short table leaves the remaining entries black
      table[i] = FromBgr(in.U8(off), in.U8(off + 1), in.U8(off + 2));
    }
  }
  if (h.bit_count == 1 && options.mono_colours) {
    table[0] = options.mono_colours->first;
    table[1] = options.mono_colours->second;
  }
  return table;
}

// Run-length encoded rows (8 or 4 bits per pixel), bottom-up. Every run is
// clipped to the bitmap, so the work is bounded by the input.
QImage DecodeRle(const DibHeader& h, std::span<const uint8_t> bits, const std::vector<QRgb>& table,
                 int64_t rows) {
  QImage img(h.width, static_cast<int>(rows), QImage::Format_ARGB32);
  if (img.isNull()) return {};
  img.fill(Qt::transparent);
  const bool four = h.compression == kBiRle4;
  const uint64_t width = static_cast<uint64_t>(h.width);
  uint64_t x = 0, y = 0;
  auto put = [&](uint64_t px, uint32_t index) {
    if (px >= width || y >= static_cast<uint64_t>(rows)) return;
    auto* line = reinterpret_cast<QRgb*>(img.scanLine(static_cast<int>(rows - 1 - static_cast<int64_t>(y))));
    line[px] = table[index & (table.size() - 1)];
  };
  size_t pos = 0;
  while (pos + 1 < bits.size() && y < static_cast<uint64_t>(rows)) {
    const uint8_t count = bits[pos];
    const uint8_t value = bits[pos + 1];
    pos += 2;
    if (count > 0) {
      uint64_t end = std::min<uint64_t>(x + count, width);
      for (uint64_t i = 0; x + i < end; ++i) {
        uint32_t index = four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value;
        put(x + i, index);
      }
      x += count;
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        return img;
      case 2:  // delta
        if (pos + 1 >= bits.size()) return img;
        x += bits[pos];
        y += bits[pos + 1];
        pos += 2;
        break;
      default: {  // absolute run of `value` pixels, padded to a 16-bit boundary
        const uint64_t n = value;
        const uint64_t bytes = four ? (n + 1) / 2 : n;
        if (bytes > bits.size() - pos) return img;
        for (uint64_t i = 0; i < n && x + i < width; ++i) {
          uint32_t index = four ? ((i & 1) ? (bits[pos + i / 2] & 0x0F) : (bits[pos + i / 2] >> 4))
                                : bits[pos + i];
          put(x + i, index);
        }
        x += n;
        pos += static_cast<size_t>(bytes + (bytes & 1));
        pos = std::min(pos, bits.size());
        break;
      }
    }
  }
  return img;
}

}  // namespace

std::optional<DibHeader> ParseDibHeader(std::span<const uint8_t> info) {
  LeReader in(info);
  if (!in.Has(0, 4)) return std::nullopt;
  DibHeader h;
  h.header_size = in.U32(0);
  if (!in.Has(0, h.header_size)) return std::nullopt;
  int64_t height = 0;
  uint32_t colours_used = 0;
  if (h.header_size == 12) {
    h.width = in.U16(4);
    height = in.U16(6);
    h.bit_count = in.U16(10);
    h.colour_entry_size = 3;
    h.colour_table_offset = 12;
  } else if (h.header_size >= 40) {
    h.width = in.I32(4);
    height = in.I32(8);
    h.bit_count = in.U16(14);
    h.compression = in.U32(16);
    colours_used = in.U32(32);
    h.colour_table_offset = h.header_size;
    if (h.compression == kBiBitfields || h.compression == kBiAlphaBitfields) {
      if (h.header_size >= 52) {
        h.masks[0] = in.U32(40);
        h.masks[1] = in.U32(44);
        h.masks[2] = in.U32(48);
        if (h.header_size >= 56) h.masks[3] = in.U32(52);
      } else {
        // The masks follow a plain 40-byte header.
        const uint32_t n = h.compression == kBiAlphaBitfields ? 4 : 3;
        if (!in.Has(40, uint64_t{n} * 4)) return std::nullopt;
        for (uint32_t i = 0; i < n; ++i) h.masks[i] = in.U32(40 + 4 * i);
        h.colour_table_offset = 40 + uint64_t{n} * 4;
      }
    }
  } else {
    return std::nullopt;
  }
  if (h.width <= 0 || h.width > kMaxDibSide) return std::nullopt;
  if (height == 0 || height > kMaxDibSide || height < -int64_t{kMaxDibSide}) return std::nullopt;
  h.top_down = height < 0;
  h.height = static_cast<int32_t>(height < 0 ? -height : height);
  if (uint64_t(h.width) * uint64_t(h.height) > kMaxDibPixels) return std::nullopt;
  switch (h.compression) {
    case kBiRgb:
      if (h.bit_count != 1 && h.bit_count != 4 && h.bit_count != 8 && h.bit_count != 16 &&
          h.bit_count != 24 && h.bit_count != 32)
        return std::nullopt;
      break;
    case kBiRle8:
      if (h.bit_count != 8 || h.top_down) return std::nullopt;
      break;
    case kBiRle4:
      if (h.bit_count != 4 || h.top_down) return std::nullopt;
      break;
    case kBiBitfields:
    case kBiAlphaBitfields:
      if (h.bit_count != 16 && h.bit_count != 32) return std::nullopt;
      break;
    case kBiJpeg:
    case kBiPng:
      break;
    default:
      return std::nullopt;
  }
  if (h.bit_count <= 8 && h.bit_count > 0) {
    const uint32_t full = uint32_t{1} << h.bit_count;
    h.colours = (colours_used == 0 || colours_used > full) ? full : colours_used;
  }
  return h;
}

QImage DecodeDib(std::span<const uint8_t> info, std::span<const uint8_t> bits,
                 const DibDecodeOptions& options) {
  const auto parsed = ParseDibHeader(info);
  if (!parsed) return {};
  const DibHeader& h = *parsed;
  LeReader in(info);

  if (h.compression == kBiJpeg || h.compression == kBiPng) {
    QImage img;
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bits.data()),
                                                    static_cast<qsizetype>(bits.size()));
    if (!img.loadFromData(data, h.compression == kBiJpeg ? "JPEG" : "PNG")) return {};
    if (uint64_t(img.width()) * uint64_t(img.height()) > kMaxDibPixels) return {};
    return img.convertToFormat(img.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  }

  int64_t rows = h.height;
  if (options.scan_lines >= 0) rows = std::min<int64_t>(rows, options.scan_lines);
  if (rows <= 0) return {};

  const std::vector<QRgb> table = ReadColourTable(in, h, options);
  if (h.compression == kBiRle8 || h.compression == kBiRle4) return DecodeRle(h, bits, table, rows);

  const uint64_t stride = ((uint64_t(h.width) * h.bit_count + 31) / 32) * 4;
  if (stride * uint64_t(rows) > bits.size()) return {};

  QImage img(h.width, static_cast<int>(rows), QImage::Format_RGB32);
  if (img.isNull()) return {};

  Channel r, g, b;
  if (h.compression == kBiBitfields || h.compression == kBiAlphaBitfields) {
    r = MakeChannel(h.masks[0]);
    g = MakeChannel(h.masks[1]);
    b = MakeChannel(h.masks[2]);
  } else if (h.bit_count == 16) {
    r = MakeChannel(0x7C00);
    g = MakeChannel(0x03E0);
    b = MakeChannel(0x001F);
  }

  for (int64_t row = 0; row < rows; ++row) {
    const uint8_t* src = bits.data() + stride * uint64_t(row);
    const int64_t out_row = h.top_down ? row : rows - 1 - row;
    auto* dst = reinterpret_cast<QRgb*>(img.scanLine(static_cast<int>(out_row)));
    for (int32_t x = 0; x < h.width; ++x) {
      switch (h.bit_count) {
        case 1:
          dst[x] = table[(src[x >> 3] >> (7 - (x & 7))) & 1];
          break;
        case 4:
          dst[x] = table[(x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4)];
          break;
        case 8:
          dst[x] = table[src[x]];
          break;
        case 16: {
          uint32_t p = src[2 * x] | (src[2 * x + 1] << 8);
          dst[x] = qRgb(Scale8(r, p), Scale8(g, p), Scale8(b, p));
          break;
        }
        case 24:
          dst[x] = FromBgr(src[3 * x], src[3 * x + 1], src[3 * x + 2]);
          break;
        case 32:
          if (h.compression == kBiRgb) {
            dst[x] = FromBgr(src[4 * x], src[4 * x + 1], src[4 * x + 2]);
          } else {
            uint32_t p = uint32_t(src[4 * x]) | (uint32_t(src[4 * x + 1]) << 8) |
                         (uint32_t(src[4 * x + 2]) << 16) | (uint32_t(src[4 * x + 3]) << 24);
            dst[x] = qRgb(Scale8(r, p), Scale8(g, p), Scale8(b, p));
          }
          break;
      }
    }
  }
  return img;
}

QImage DecodeBmpFile(std::span<const uint8_t> file) {
  LeReader in(file);
  if (!in.Has(0, 18) || file[0] != 'B' || file[1] != 'M') return {};
  const uint32_t pixel_offset = in.U32(10);
  const uint32_t header_size = in.U32(14);
  // The header and colour table sit between the file header and the pixels.
  if (pixel_offset < 14 || uint64_t(pixel_offset) < 14 + uint64_t(header_size) ||
      pixel_offset > file.size())
    return {};
  return DecodeDib(file.subspan(14, pixel_offset - 14), file.subspan(pixel_offset));
}

}  // namespace vel::gfx
