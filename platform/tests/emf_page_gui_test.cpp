// Renders a printed-looking A4 page (title, paragraphs with Polish letters, a
// table, a bullet list, a bitmap, a rotated stamp, a clipped figure) and writes
// it as emf_page_screenshot.png into the build folder for a person to look at.
#include <gtest/gtest.h>

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <cstdlib>

#include "platform/gfx/emf_fonts.h"
#include "platform/gfx/emf_player.h"
#include "platform/tests/emf_writer.h"

namespace vel::gfx {
namespace {

using test::EmfWriter;
using test::Rgb;

constexpr int kDpi = 600;
constexpr int kPageW = 4960, kPageH = 7016;  // A4 at 600 dpi

int Pt(double points) { return static_cast<int>(points * kDpi / 72.0 + 0.5); }

// Advances as a printer driver records them: the font's own, rounded to pixels.
std::vector<int32_t> Advances(const std::u16string& face, int height, int weight, const std::u16string& text) {
  QFont f;
  f.setFamilies(FamiliesForFace(QString::fromStdU16String(face), 0));
  f.setPixelSize(height);
  f.setWeight(static_cast<QFont::Weight>(weight));
  f.setHintingPreference(QFont::PreferNoHinting);
  QRawFont raw = QRawFont::fromFont(f);
  std::vector<int32_t> dx;
  for (char16_t c : text) {
    const auto g = raw.glyphIndexesForString(QString(QChar(c)));
    const auto a = raw.advancesForGlyphIndexes(g);
    dx.push_back(a.isEmpty() ? height / 2 : static_cast<int32_t>(a[0].x() + 0.5));
  }
  return dx;
}

std::vector<uint8_t> SamplePage() {
  EmfWriter w(kPageW, kPageH, kDpi);
  const int left = Pt(72), right = kPageW - Pt(72);
  w.SetBkMode(1).SetTextColor(Rgb(0, 0, 0));

  // Title, bold Arial 16 pt, centred.
  const std::u16string title = u"Umowa najmu lokalu użytkowego nr 7/2024";
  w.CreateFont(1, -Pt(16), u"Arial", 700).Select(1).SetTextAlign(6);
  w.TextOut(kPageW / 2, Pt(72), title, Advances(u"Arial", Pt(16), 700, title));
  w.SetTextAlign(0);

  // Paragraphs, Times New Roman 11 pt.
  w.CreateFont(2, -Pt(11), u"Times New Roman").Select(2);
  const std::u16string lines[] = {
      u"Zawarta w dniu 12 marca 2024 r. w Krakowie pomiędzy Zbigniewem Żółkiewskim,",
      u"zwanym dalej Wynajmującym, a spółką Łąka i Ćma sp. z o.o., zwaną dalej Najemcą.",
      u"§ 1. Wynajmujący oddaje Najemcy do używania lokal o powierzchni 48,5 m², położony",
      u"przy ulicy Źródlanej 3. Czynsz wynosi 2 450,00 zł miesięcznie, płatny z góry.",
      u"The quick brown fox jumps over the lazy dog — 0123456789 ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ.",
  };
  int y = Pt(130);
  for (const auto& line : lines) {
    w.TextOut(left, y, line, Advances(u"Times New Roman", Pt(11), 400, line));
    y += Pt(15);
  }

  // A table: grey header row, grid of 2-pixel lines.
  const int top = y + Pt(12), row = Pt(20), cols[] = {left, left + Pt(200), left + Pt(330), right};
  w.SelectStock(8).CreateBrush(3, 0, Rgb(0xD9, 0xD9, 0xD9)).Select(3);
  w.Rectangle(left, top, right, top + row);
  w.CreatePen(4, 0, 4, Rgb(0, 0, 0)).Select(4);
  for (int r = 0; r <= 3; ++r) w.MoveTo(left, top + r * row).LineTo(right, top + r * row);
  for (int c : cols) w.Poly16(87, {{c, top}, {c, top + 3 * row}});
  w.CreateFont(5, -Pt(10), u"Arial", 700).Select(5);
  const std::u16string heads[] = {u"Pozycja", u"Ilość", u"Kwota"};
  for (int c = 0; c < 3; ++c)
    w.TextOut(cols[c] + Pt(6), top + Pt(5), heads[c], Advances(u"Arial", Pt(10), 700, heads[c]));
  w.CreateFont(6, -Pt(10), u"Courier New").Select(6);
  const std::u16string cells[2][3] = {{u"Czynsz", u"1", u"2 450,00"}, {u"Kaucja", u"2", u"4 900,00"}};
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c)
      w.TextOut(cols[c] + Pt(6), top + (r + 1) * row + Pt(5), cells[r][c],
                Advances(u"Courier New", Pt(10), 400, cells[r][c]));

  // A bullet list with the Symbol bullet that word processors print.
  y = top + 3 * row + Pt(20);
  w.CreateFont(7, -Pt(11), u"Symbol").CreateFont(8, -Pt(11), u"Verdana");
  const std::u16string items[] = {u"wydanie kluczy w dniu podpisania umowy;", u"protokół zdawczo-odbiorczy."};
  for (const auto& item : items) {
    w.Select(7).TextOut(left + Pt(10), y, u"\uF0B7", {Pt(10)});
    w.Select(8).TextOut(left + Pt(28), y, item, Advances(u"Verdana", Pt(11), 400, item));
    y += Pt(16);
  }

  // A bitmap: a small colour gradient stretched as a logo.
  std::vector<std::vector<uint32_t>> logo(32, std::vector<uint32_t>(64));
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 64; ++c)
      logo[r][c] = (static_cast<uint32_t>(c * 4) << 16) | (static_cast<uint32_t>(r * 8) << 8) | 0x80;
  w.StretchDiBits(right - Pt(120), Pt(20), Pt(120), Pt(40), test::MakeDib24(logo), 0, 0, 64, 32);

  // A dashed separator and a clipped hatched figure.
  y += Pt(20);
  w.ExtCreatePen(9, 0x00010000 | 1, 6, Rgb(0x30, 0x30, 0xA0)).Select(9).MoveTo(left, y).LineTo(right, y);
  w.SaveDc().IntersectClip(left, y + Pt(20), left + Pt(150), y + Pt(100));
  w.CreateBrush(10, 2, Rgb(0, 0x80, 0), 5).Select(10).Ellipse(left - Pt(50), y + Pt(10), left + Pt(250), y + Pt(200));
  w.RestoreDc(-1);

  // A round stamp with rotated text.
  const int cx = right - Pt(110), cy = y + Pt(80);
  w.CreatePen(11, 0, 12, Rgb(0xC0, 0, 0)).Select(11).SelectStock(5);
  w.Ellipse(cx - Pt(70), cy - Pt(70), cx + Pt(70), cy + Pt(70));
  w.CreateFont(12, -Pt(14), u"Arial", 700, 200).Select(12).SetTextColor(Rgb(0xC0, 0, 0)).SetTextAlign(6 | 24);
  const std::u16string stamp = u"ZAPŁACONO";
  w.TextOut(cx, cy, stamp, Advances(u"Arial", Pt(14), 700, stamp));

  // Footer, right aligned, under a y-up metric mapping.
  w.SetMapMode(2).CreateFont(13, -39, u"Times New Roman").Select(13);  // 3.9 mm, about 11 pt
  w.SetTextColor(Rgb(0x40, 0x40, 0x40)).SetTextAlign(2);
  const std::u16string footer = u"Strona 1 z 1";
  w.TextOut((right * 254) / kDpi, -((kPageH - Pt(50)) * 254) / kDpi, footer);
  return w.Finish();
}

TEST(EmfPageGui, WritesAPageScreenshot) {
  auto emf = EnhMetaFile::FromBytes(SamplePage());
  ASSERT_TRUE(emf);
  const int width = 794, height = 1123;  // A4 at 96 dpi
  QImage img(width, height, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter painter(&img);
  ASSERT_EQ(PlayEnhMetaFile(painter, *emf, QRectF(0, 0, width, height)), 0u);
  painter.end();
  const QString out = QString(VEL_BINARY_DIR) + "/emf_page_screenshot.png";
  ASSERT_TRUE(img.save(out));
  std::printf("page screenshot: %s\n", qPrintable(out));

  // Some ink in the title line, the table header is grey, the margins are white.
  int dark = 0;
  for (int yy = 98; yy < 118; ++yy)
    for (int x = 150; x < 650; ++x)
      if (qGray(img.pixel(x, yy)) < 128) ++dark;
  EXPECT_GT(dark, 500);
  EXPECT_EQ(img.pixel(200, 302), qRgb(0xD9, 0xD9, 0xD9));
  for (int yy = 0; yy < height; yy += 7) EXPECT_EQ(img.pixel(5, yy), qRgb(255, 255, 255));
}

}  // namespace
}  // namespace vel::gfx

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
