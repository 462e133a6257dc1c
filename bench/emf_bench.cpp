// Renders a 20-page A4 document (600 dpi EMF pages, mostly text with a table and
// a bitmap) at screen size with our EMF player, and the same pages with the
// peer pipeline emf2svg-conv + rsvg-convert, in one run; prints the time per page.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/gfx/emf_fonts.h"
#include "platform/gfx/emf_player.h"
// The tests' EMF writer makes the pages.
#include "platform/tests/emf_writer_helpers.cpp"

namespace {

using vel::test::EmfWriter;
using vel::test::Rgb;

constexpr int kDpi = 600, kPageW = 4960, kPageH = 7016, kPages = 20;
constexpr int kScreenW = 794, kScreenH = 1123;

int Pt(double points) { return static_cast<int>(points * kDpi / 72.0 + 0.5); }

std::vector<int32_t> Advances(const QRawFont& raw, const std::u16string& text) {
  std::vector<int32_t> dx;
  for (char16_t c : text) {
    const auto a = raw.advancesForGlyphIndexes(raw.glyphIndexesForString(QString(QChar(c))));
    dx.push_back(a.isEmpty() ? 20 : static_cast<int32_t>(a[0].x() + 0.5));
  }
  return dx;
}

QRawFont Raw(const char16_t* face, int px) {
  QFont f;
  f.setFamilies(vel::gfx::FamiliesForFace(QString::fromUtf16(face), 0));
  f.setPixelSize(px);
  f.setHintingPreference(QFont::PreferNoHinting);
  return QRawFont::fromFont(f);
}

std::vector<uint8_t> MakePage(int n) {
  EmfWriter w(kPageW, kPageH, kDpi);
  const int left = Pt(72);
  const QRawFont title = Raw(u"Arial", Pt(16)), body = Raw(u"Times New Roman", Pt(11));
  w.SetBkMode(1).CreateFont(1, -Pt(16), u"Arial", 700).Select(1);
  const std::u16string head = u"Sprawozdanie roczne — strona " + QString::number(n + 1).toStdU16String();
  w.TextOut(left, Pt(72), head, Advances(title, head));
  w.CreateFont(2, -Pt(11), u"Times New Roman").Select(2);
  const std::u16string line =
      u"Zażółć gęślą jaźń: przychody spółki wzrosły o 12,5% wobec roku ubiegłego, a koszty spadły.";
  const auto dx = Advances(body, line);
  for (int i = 0; i < 45; ++i) w.TextOut(left, Pt(110) + i * Pt(14), line, dx);
  const int top = Pt(760);
  w.CreatePen(3, 0, 4, Rgb(0, 0, 0)).Select(3).SelectStock(5);
  for (int r = 0; r <= 4; ++r) w.MoveTo(left, top + r * Pt(16)).LineTo(kPageW - left, top + r * Pt(16));
  std::vector<std::vector<uint32_t>> logo(64, std::vector<uint32_t>(128));
  for (int r = 0; r < 64; ++r)
    for (int c = 0; c < 128; ++c) logo[r][c] = (static_cast<uint32_t>(c * 2) << 16) | (static_cast<uint32_t>(r * 4) << 8);
  w.StretchDiBits(kPageW - left - Pt(120), Pt(20), Pt(120), Pt(40), vel::test::MakeDib24(logo), 0, 0, 128, 64);
  return w.Finish();
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  const auto dir = std::filesystem::temp_directory_path() / "vel_emf_bench";
  std::filesystem::create_directories(dir);
  std::vector<std::vector<uint8_t>> pages;
  for (int i = 0; i < kPages; ++i) {
    pages.push_back(MakePage(i));
    std::ofstream(dir / ("page" + std::to_string(i) + ".emf"), std::ios::binary)
        .write(reinterpret_cast<const char*>(pages.back().data()), static_cast<std::streamsize>(pages.back().size()));
  }

  // Ours: three passes over the document, after one warm-up page.
  auto render = [&](const std::vector<uint8_t>& bytes) {
    auto emf = vel::gfx::EnhMetaFile::FromBytes(bytes);
    QImage img(kScreenW, kScreenH, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    vel::gfx::PlayEnhMetaFile(p, *emf, QRectF(0, 0, kScreenW, kScreenH));
    return img;
  };
  render(pages[0]).save(QString::fromStdString((dir / "ours0.png").string()));
  const int passes = 3;
  const auto t0 = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; ++pass)
    for (const auto& p : pages) render(p);
  const double ours = Seconds(std::chrono::steady_clock::now() - t0) / (passes * kPages);

  // Peer: EMF to SVG, SVG to PNG at the same size, one page at a time.
  const auto t1 = std::chrono::steady_clock::now();
  int failures = 0;
  for (int i = 0; i < kPages; ++i) {
    const std::string base = (dir / ("page" + std::to_string(i))).string();
    const std::string cmd = "emf2svg-conv -i '" + base + ".emf' -o '" + base + ".svg' >/dev/null 2>&1 && " +
                            "rsvg-convert -w " + std::to_string(kScreenW) + " -h " + std::to_string(kScreenH) +
                            " '" + base + ".svg' -o '" + base + ".png' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) ++failures;
  }
  const double peer = Seconds(std::chrono::steady_clock::now() - t1) / kPages;

  std::printf("EMF pages: %d A4 pages at 600 dpi, %zu bytes each on average, rendered at %dx%d\n", kPages,
              [&] { size_t t = 0; for (auto& p : pages) t += p.size(); return t / pages.size(); }(), kScreenW,
              kScreenH);
  std::printf("ours (EMF player on QPainter):        %8.2f ms/page\n", ours * 1e3);
  std::printf("peer (emf2svg-conv + rsvg-convert):   %8.2f ms/page%s\n", peer * 1e3,
              failures ? " (some pages failed)" : "");
  std::printf("ratio peer/ours: %.1f\n", peer / ours);
  std::printf("pages and pictures: %s\n", dir.c_str());
  return failures ? 1 : 0;
}
