// Renders a 20-page A4 document (600 dpi EMF pages, mostly text with a table and
// a bitmap) at screen size to PNG files with our EMF player, and the same pages
// with the peer pipeline emf2svg-conv + rsvg-convert, in one run. Whole process
// on both sides: ours is this program started once per page in its "render"
// mode, the peer's its two programs per page; the median time per page of
// three passes, and the ratio peer / ours (above 1 we are faster).
//
//   emf_bench
//   emf_bench render <page.emf> <page.png>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/measure.h"
#include "platform/gfx/emf_fonts.h"
#include "platform/gfx/emf_player.h"
// The tests' EMF writer makes the pages.
#include "bench/text_pages.h"

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

// Our side's work for one page: read the EMF file, draw it at screen size,
// write the picture.
int Render(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto emf = vel::gfx::EnhMetaFile::FromBytes(bytes);
  if (!emf) return 2;
  QImage img(kScreenW, kScreenH, QImage::Format_RGB32);
  img.fill(Qt::white);
  {
    QPainter p(&img);
    vel::gfx::PlayEnhMetaFile(p, *emf, QRectF(0, 0, kScreenW, kScreenH));
  }
  return img.save(QString::fromLocal8Bit(argv[3])) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (argc == 4 && std::string(argv[1]) == "render") return Render(argc, argv);
  QGuiApplication app(argc, argv);
  const auto dir = std::filesystem::temp_directory_path() / "vel_emf_bench";
  std::filesystem::create_directories(dir);
  std::vector<std::vector<uint8_t>> pages;
  for (int i = 0; i < kPages; ++i) {
    pages.push_back(MakePage(i));
    std::ofstream(dir / ("page" + std::to_string(i) + ".emf"), std::ios::binary)
        .write(reinterpret_cast<const char*>(pages.back().data()), static_cast<std::streamsize>(pages.back().size()));
  }

  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  auto base = [&](int i) { return vel::bench::ShellQuote((dir / ("page" + std::to_string(i))).string()); };
  auto ours_page = [&](int i) {
    return self + " render " + base(i) + ".emf " + base(i) + "-ours.png >/dev/null 2>&1";
  };
  auto peer_page = [&](int i) {
    return "emf2svg-conv -i " + base(i) + ".emf -o " + base(i) + ".svg >/dev/null 2>&1 && rsvg-convert -w " +
           std::to_string(kScreenW) + " -h " + std::to_string(kScreenH) + " " + base(i) + ".svg -o " + base(i) +
           "-peer.png >/dev/null 2>&1";
  };
  // Both sides' pictures of the first page, once.
  const std::string first = (dir / "page0").string();
  if (vel::bench::Run(ours_page(0)) != 0 || vel::bench::Run(peer_page(0)) != 0 ||
      !vel::bench::LooksDrawn(QImage(QString::fromStdString(first + "-ours.png")), kScreenW) ||
      !vel::bench::LooksDrawn(QImage(QString::fromStdString(first + "-peer.png")), kScreenW)) {
    std::printf("a side did not draw the first page (%s-ours.png, %s-peer.png)\n", first.c_str(), first.c_str());
    return 1;
  }
  auto pass = [&](auto command) {
    for (int i = 0; i < kPages; ++i)
      if (vel::bench::Run(command(i)) != 0) return false;
    return true;
  };
  const double ours = vel::bench::MedianSeconds(3, [&] { return pass(ours_page); }) / kPages;
  const double peer = vel::bench::MedianSeconds(3, [&] { return pass(peer_page); }) / kPages;

  std::printf("EMF pages: %d A4 pages at 600 dpi, %zu bytes each on average, rendered at %dx%d\n", kPages,
              [&] { size_t t = 0; for (auto& p : pages) t += p.size(); return t / pages.size(); }(), kScreenW,
              kScreenH);
  std::printf("whole process per page, EMF file to PNG file, median of 3 passes:\n");
  std::printf("ours (EMF player on QPainter):        %8.2f ms/page\n", ours * 1e3);
  std::printf("peer (emf2svg-conv + rsvg-convert):   %8.2f ms/page\n", peer * 1e3);
  std::printf("ratio peer/ours: %s\n", vel::bench::Ratio(peer, ours).c_str());
  std::printf("pages and pictures: %s\n", dir.c_str());
  return ours > 0 && peer > 0 ? 0 : 1;
}
