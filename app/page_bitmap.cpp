#include "app/page_bitmap.h"

#include <QPainter>
#include <new>

#include "platform/gfx/emf_player.h"

namespace vel::app {

namespace {

constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorMoreData = 234;
// Our screen: pages are drawn into 32-bit images.
constexpr uint32_t kScreenBits = 32;

void Put16(uint8_t*& p, uint16_t v) {
  *p++ = static_cast<uint8_t>(v);
  *p++ = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t*& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

BmpLayout ComputeBmpLayout(int32_t width, int32_t height, uint32_t planes_times_bits) {
  BmpLayout l;
  const uint32_t b = planes_times_bits;
  l.depth = b <= 1 ? 1 : b <= 4 ? 4 : b <= 8 ? 8 : b <= 16 ? 16 : b <= 24 ? 24 : 32;
  l.colours = l.depth < 24 ? (uint64_t{1} << l.depth) : 0;
  const uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
  const uint64_t h = height > 0 ? static_cast<uint64_t>(height) : 0;
  l.pixel_bytes = ((l.depth * w + 31) / 32) * 4 * h;
  l.pixel_offset = 54 + 4 * l.colours;
  l.file_size = l.pixel_offset + l.pixel_bytes;
  return l;
}

CPageBitmap::CPageBitmap(std::span<const uint8_t> emf, uint32_t* status) {
  const uint32_t result = Render(emf);
  bitmap_ = QImage();  // the drawing bitmap is released at the end of rendering
  if (result != 0) {
    last_error_ = result;
    image_.clear();
  }
  if (status) *status = result;
}

CPageBitmap::~CPageBitmap() = default;

uint32_t CPageBitmap::Render(std::span<const uint8_t> emf) {
  uint32_t error = 0;
  const auto metafile = gfx::EnhMetaFile::FromBytes(emf, &error);
  if (!metafile) return error;

  // Half the reference device, with the sizes checked in 64 bits before any
  // allocation: the header is outside data.
  const gfx::EmfHeader& header = metafile->header();
  const int32_t width = header.device.cx / 2;
  const int32_t height = header.device.cy / 2;
  if (width <= 0 || height <= 0) return kErrorInvalidParameter;
  const BmpLayout layout = ComputeBmpLayout(width, height, kScreenBits);
  if (width > kMaxPageBitmapSide || height > kMaxPageBitmapSide || layout.pixel_bytes > kMaxPageBitmapBytes)
    return kErrorNotEnoughMemory;

  bitmap_ = QImage(width, height, QImage::Format_RGB32);
  if (bitmap_.isNull()) return kErrorNotEnoughMemory;
  bitmap_.fill(0xFFFFFFFFu);
  {
    QPainter painter(&bitmap_);
    const uint32_t played = gfx::PlayEnhMetaFile(painter, *metafile, QRectF(0, 0, width, height));
    painter.end();
    if (played != 0) return played;
  }

  uint32_t needed = 0;
  if (BuildFileImage({}, &needed) != kErrorMoreData) return kErrorInvalidParameter;
  try {
    image_.resize(needed);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  uint32_t written = needed;
  return BuildFileImage(image_, &written);
}

uint32_t CPageBitmap::BuildFileImage(std::span<uint8_t> out, uint32_t* needed) const {
  const int32_t width = bitmap_.width(), height = bitmap_.height();
  const BmpLayout layout = ComputeBmpLayout(width, height, kScreenBits);
  const uint32_t size = static_cast<uint32_t>(layout.file_size);  // within the caps, so 32 bits suffice
  *needed = size;
  if (out.size() < size) return kErrorMoreData;

  uint8_t* p = out.data();
  *p++ = 'B';
  *p++ = 'M';
  Put32(p, size);
  Put16(p, 0);
  Put16(p, 0);
  Put32(p, static_cast<uint32_t>(layout.pixel_offset));
  Put32(p, 40);
  Put32(p, static_cast<uint32_t>(width));
  Put32(p, static_cast<uint32_t>(height));
  Put16(p, 1);
  Put16(p, static_cast<uint16_t>(kScreenBits));
  Put32(p, 0);  // BI_RGB
  Put32(p, static_cast<uint32_t>(layout.pixel_bytes));
  Put32(p, 0);
  Put32(p, 0);
  Put32(p, static_cast<uint32_t>(layout.colours));
  Put32(p, 0);
  for (uint64_t i = 0; i < layout.colours; ++i) Put32(p, 0);
  // Bottom-up rows of blue, green, red and a zero byte.
  for (int32_t y = height - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(bitmap_.constScanLine(y));
    for (int32_t x = 0; x < width; ++x) {
      *p++ = static_cast<uint8_t>(qBlue(line[x]));
      *p++ = static_cast<uint8_t>(qGreen(line[x]));
      *p++ = static_cast<uint8_t>(qRed(line[x]));
      *p++ = 0;
    }
  }
  return 0;
}

}  // namespace vel::app
