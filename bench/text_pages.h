// What the page benchmarks share: a page that looks like printed text,
// writing a file whole, and telling a drawn page from an empty picture.
#pragma once

#include <QImage>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bench/measure.h"
#include "platform/tests/emf_writer_helpers.cpp"

namespace vel::bench {

using Bytes = std::vector<uint8_t>;

inline void WriteBytes(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A picture (of the given width, unless 0) with enough dark pixels to hold a
// page of text.
inline bool LooksDrawn(const QImage& img, int width = 0) {
  if (img.isNull() || (width != 0 && img.width() != width)) return false;
  int dark = 0;
  for (int y = 0; y < img.height(); y += 2)
    for (int x = 0; x < img.width(); x += 2) dark += qGray(img.pixel(x, y)) < 128;
  return dark > 1000;
}

// A page that looks like printed text: many rectangles and lines.
inline Bytes TextPage(int n) {
  test::EmfWriter w(4960, 7016, 600);
  w.CreatePen(1, 0, 3, test::Rgb(0, 0, 0)).Select(1);
  w.CreateBrush(2, 0, test::Rgb(static_cast<uint8_t>(n * 11), 80, 160)).Select(2);
  for (int row = 0; row < 120; ++row) {
    w.Rectangle(300, 300 + row * 55, 300 + (row * 37 + n * 13) % 4000 + 200, 330 + row * 55);
    w.MoveTo(300, 340 + row * 55).LineTo(4600, 340 + row * 55);
  }
  return w.Finish();
}

}  // namespace vel::bench
