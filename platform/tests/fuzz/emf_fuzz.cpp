// Metafiles and bitmaps are outside data: the player takes any bytes onto a
// small image, and the bitmap decoder any BMP file image, without reading
// outside them, hanging or crashing.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/gfx/dib.h"
#include "platform/gfx/emf_player.h"

namespace {

void EnsureApplication() {
  // Fonts need the application object; it lives for the whole run.
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "emf_fuzz";
  static char* argv[] = {name, nullptr};
  static QGuiApplication app(argc, argv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EnsureApplication();
  const std::span<const uint8_t> bytes(data, data ? size : 0);
  if (auto emf = vel::gfx::EnhMetaFile::FromBytes(bytes)) {
    QImage img(48, 64, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter painter(&img);
    const uint32_t result = vel::gfx::PlayEnhMetaFile(painter, *emf, QRectF(0, 0, 48, 64));
    painter.end();
    if (result != 0 && result != 13) std::abort();
  }
  const QImage bmp = vel::gfx::DecodeBmpFile(bytes);
  if (!bmp.isNull() && uint64_t(bmp.width()) * uint64_t(bmp.height()) > vel::gfx::kMaxDibPixels) std::abort();
  return 0;
}
