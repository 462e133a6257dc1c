// A page of a received document is drawn into a bitmap: any metafile bytes
// give a whole BMP file image of the size its header announces, or an error.
#include <QGuiApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "app/page_bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Fonts need the application object; it lives for the whole run.
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "page_bitmap_fuzz";
  static char* argv[] = {name, nullptr};
  static QGuiApplication app(argc, argv);

  uint32_t status = 0xFFFFFFFF;
  vel::app::CPageBitmap page(std::span<const uint8_t>(data, data ? size : 0), &status);
  if (status == 0) {
    const auto bytes = page.bytes();
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') std::abort();
    const uint32_t file_size = bytes[2] | bytes[3] << 8 | bytes[4] << 16 | uint32_t{bytes[5]} << 24;
    if (file_size != bytes.size()) std::abort();
  } else if (status != 13 && status != 87 && status != 8) {
    std::abort();
  }
  return 0;
}
