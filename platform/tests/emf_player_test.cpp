// The EMF player: fixtures written by the tests render with the expected colours
// at probe points, and broken or hostile metafiles are refused or skipped
// without reading outside their bytes (the tests run under the sanitizers).
#include "platform/gfx/emf_player.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <functional>
#include <memory>

#include "platform/gfx/dib.h"
#include "platform/tests/emf_writer.h"

namespace vel::gfx {
namespace {

using test::EmfPoint;
using test::EmfWriter;
using test::Rgb;

constexpr uint32_t kRed = Rgb(255, 0, 0), kGreen = Rgb(0, 160, 0), kBlue = Rgb(0, 0, 255),
                   kYellow = Rgb(255, 255, 0), kWhite = Rgb(255, 255, 255), kBlack = Rgb(0, 0, 0);

// Fonts need the application object, which main() below makes.
void EnsureGuiApp() { ASSERT_NE(QCoreApplication::instance(), nullptr); }

// A 2000 x 2000 pixel page at 600 dpi, drawn onto 200 x 200: one image pixel
// is ten page pixels.
EmfWriter Page() { return EmfWriter(2000, 2000, 600); }

QImage Render(const std::vector<uint8_t>& bytes, uint32_t expect = 0, int size = 200) {
  EnsureGuiApp();
  auto emf = EnhMetaFile::FromBytes(bytes);
  EXPECT_TRUE(emf.has_value());
  QImage img(size, size, QImage::Format_RGB32);
  img.fill(Qt::white);
  if (!emf) return img;
  QPainter painter(&img);
  EXPECT_EQ(PlayEnhMetaFile(painter, *emf, QRectF(0, 0, size, size)), expect);
  painter.end();
  return img;
}

::testing::AssertionResult ColourAt(const QImage& img, int x, int y, uint32_t colorref) {
  const QColor want(colorref & 0xFF, (colorref >> 8) & 0xFF, (colorref >> 16) & 0xFF);
  const QColor got = img.pixelColor(x, y);
  if (std::abs(got.red() - want.red()) <= 12 && std::abs(got.green() - want.green()) <= 12 &&
      std::abs(got.blue() - want.blue()) <= 12)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "at (" << x << "," << y << ") got " << got.name().toStdString()
                                       << " want " << want.name().toStdString();
}

struct Probe {
  int x, y;
  uint32_t colour;
};

void ExpectProbes(const QImage& img, const std::vector<Probe>& probes, const std::string& name) {
  for (const Probe& p : probes) EXPECT_TRUE(ColourAt(img, p.x, p.y, p.colour)) << name;
}

// A page with a null pen and a solid brush selected, ready for filled shapes.
EmfWriter FilledPage(uint32_t colour) {
  EmfWriter w = Page();
  w.SelectStock(8).CreateBrush(1, 0, colour).Select(1);
  return w;
}

TEST(EmfPlayer, HeaderIsCheckedBeforeAnything) {
  std::vector<uint8_t> good = Page().Finish();
  const auto parsed = EnhMetaFile::FromBytes(good);
  ASSERT_TRUE(parsed.has_value());
  const EmfHeader& h = parsed->header();
  EXPECT_EQ(h.device.cx, 2000);
  EXPECT_EQ(h.frame.right, 8466);
  EXPECT_EQ(h.bytes, good.size());

  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"empty", [](auto& b) { b.clear(); }},
      {"87 bytes", [](auto& b) { b.resize(87); }},
      {"not a header record", [](auto& b) { b[0] = 2; }},
      {"wrong signature", [](auto& b) { b[40] = 'X'; }},
      {"header size beyond the bytes", [](auto& b) { b[4] = 0xF0; b[5] = 0xFF; b[6] = 0xFF; b[7] = 0x7F; }},
      {"header size below 88", [](auto& b) { b[4] = 84; }},
      {"header size not a multiple of 4", [](auto& b) { b[4] = 109; }},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = good;
    c.spoil(b);
    uint32_t error = 0;
    EXPECT_FALSE(EnhMetaFile::FromBytes(b, &error).has_value()) << c.name;
    EXPECT_EQ(error, 13u) << c.name;
  }
}

TEST(EmfPlayer, LinesInTheirForms) {
  EmfWriter w = Page();
  w.CreatePen(1, 0, 40, kRed).Select(1).MoveTo(100, 1000).LineTo(1900, 1000);
  w.CreatePen(2, 0, 40, kBlue).Select(2).Poly16(87, {{500, 100}, {500, 900}});
  w.CreatePen(3, 0, 40, kGreen).Select(3).Poly32(4, {{1500, 100}, {1500, 900}});
  w.CreatePen(4, 0, 40, kBlack).Select(4).Poly16(85, {{100, 1400}, {700, 1400}, {1300, 1400}, {1900, 1400}});
  w.MoveTo(100, 1600).Poly32(6, {{1000, 1600}, {1000, 1900}});  // PolylineTo from the current position
  w.ExtCreatePen(5, 0x00010000 | 0x200, 60, kBlue).Select(5).MoveTo(1200, 1750).LineTo(1900, 1750);
  w.SelectStock(8).MoveTo(100, 1200).LineTo(1900, 1200);  // null pen draws nothing
  const QImage img = Render(w.Finish());
  ExpectProbes(img,
               {{10, 100, kRed}, {190, 100, kRed}, {100, 80, kWhite}, {50, 50, kBlue}, {150, 50, kGreen},
                {100, 50, kWhite}, {50, 140, kBlack}, {150, 140, kBlack}, {50, 160, kBlack}, {100, 180, kBlack},
                {150, 175, kBlue}, {100, 120, kWhite}},
               "lines");
}

TEST(EmfPlayer, FilledShapes) {
  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> draw;
    std::vector<Probe> probes;
  };
  const std::vector<Case> cases = {
      {"rectangle", [](EmfWriter& w) { w.Rectangle(200, 200, 800, 800); },
       {{50, 50, kRed}, {25, 25, kRed}, {90, 50, kWhite}, {15, 50, kWhite}}},
      {"ellipse", [](EmfWriter& w) { w.Ellipse(200, 200, 800, 800); },
       {{50, 50, kRed}, {22, 22, kWhite}, {50, 22, kRed}}},
      {"rounded rectangle", [](EmfWriter& w) { w.RoundRect(200, 200, 800, 800, 300, 300); },
       {{50, 50, kRed}, {21, 21, kWhite}, {50, 21, kRed}}},
      {"polygon16", [](EmfWriter& w) { w.Poly16(86, {{200, 800}, {800, 800}, {500, 200}}); },
       {{50, 70, kRed}, {25, 25, kWhite}}},
      {"polygon32", [](EmfWriter& w) { w.Poly32(3, {{200, 800}, {800, 800}, {500, 200}}); },
       {{50, 70, kRed}, {75, 25, kWhite}}},
      {"polypolygon", [](EmfWriter& w) {
         w.PolyPoly(8, {{{100, 100}, {500, 100}, {500, 500}, {100, 500}},
                        {{1100, 1100}, {1500, 1100}, {1500, 1500}, {1100, 1500}}});
       },
       {{30, 30, kRed}, {130, 130, kRed}, {80, 80, kWhite}}},
      {"polypolygon16", [](EmfWriter& w) {
         w.PolyPoly(91, {{{100, 100}, {500, 100}, {500, 500}, {100, 500}},
                         {{1100, 1100}, {1500, 1100}, {1500, 1500}, {1100, 1500}}});
       },
       {{30, 30, kRed}, {130, 130, kRed}, {80, 80, kWhite}}},
      {"pie, a quarter counter-clockwise", [](EmfWriter& w) {
         w.ArcLike(47, 200, 200, 800, 800, {800, 500}, {500, 200});
       },
       {{65, 35, kRed}, {35, 65, kWhite}, {35, 35, kWhite}, {65, 65, kWhite}}},
      {"chord", [](EmfWriter& w) { w.ArcLike(46, 200, 200, 800, 800, {800, 500}, {500, 200}); },
       {{72, 32, kRed}, {60, 45, kWhite}}},
      {"overlap with alternate fill", [](EmfWriter& w) {
         w.PolyPoly(8, {{{200, 200}, {1200, 200}, {1200, 1200}, {200, 1200}},
                        {{700, 700}, {1700, 700}, {1700, 1700}, {700, 1700}}});
       },
       {{30, 30, kRed}, {95, 95, kWhite}, {160, 160, kRed}}},
      {"overlap with winding fill", [](EmfWriter& w) {
         w.SetPolyFillMode(2);
         w.PolyPoly(8, {{{200, 200}, {1200, 200}, {1200, 1200}, {200, 1200}},
                        {{700, 700}, {1700, 700}, {1700, 1700}, {700, 1700}}});
       },
       {{30, 30, kRed}, {95, 95, kRed}, {160, 160, kRed}}},
      {"stock black brush", [](EmfWriter& w) { w.SelectStock(4).Rectangle(200, 200, 800, 800); },
       {{50, 50, kBlack}}},
      {"stock null brush", [](EmfWriter& w) { w.SelectStock(5).Rectangle(200, 200, 800, 800); },
       {{50, 50, kWhite}}},
      {"pattern brush from a bitmap", [](EmfWriter& w) {
         w.CreateDibPatternBrush(2, test::MakeDib24({{0x0000FF, 0x0000FF}, {0x0000FF, 0x0000FF}})).Select(2);
         w.Rectangle(200, 200, 800, 800);
       },
       {{50, 50, kBlue}, {90, 90, kWhite}}},
      {"outline with a wide pen", [](EmfWriter& w) {
         w.CreatePen(3, 0, 100, kBlue).Select(3).SelectStock(5).Rectangle(200, 200, 800, 800);
       },
       {{20, 50, kBlue}, {50, 50, kWhite}, {80, 50, kBlue}}},
  };
  for (const Case& c : cases) {
    EmfWriter w = FilledPage(kRed);
    c.draw(w);
    ExpectProbes(Render(w.Finish()), c.probes, c.name);
  }
}

TEST(EmfPlayer, MappingModesAndTransforms) {
  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> draw;
    std::vector<Probe> probes;
  };
  const std::vector<Case> cases = {
      {"anisotropic", [](EmfWriter& w) {
         w.SetMapMode(8).SetWindowExt(100, 100).SetViewportExt(2000, 2000).Rectangle(0, 0, 50, 50);
       },
       {{90, 90, kRed}, {110, 110, kWhite}}},
      {"anisotropic with origins", [](EmfWriter& w) {
         w.SetMapMode(8).SetWindowOrg(100, 100).SetWindowExt(100, 100).SetViewportOrg(1000, 0);
         w.SetViewportExt(1000, 1000).Rectangle(100, 100, 150, 150);
       },
       {{120, 20, kRed}, {80, 20, kWhite}, {170, 20, kWhite}}},
      {"isotropic keeps the aspect", [](EmfWriter& w) {
         w.SetMapMode(7).SetWindowExt(100, 100).SetViewportExt(2000, 1000).Rectangle(0, 0, 100, 100);
       },
       {{50, 50, kRed}, {50, 150, kWhite}, {150, 50, kWhite}}},
      {"lometric, y up", [](EmfWriter& w) { w.SetMapMode(2).Rectangle(0, 0, 200, -200); },
       {{20, 20, kRed}, {60, 60, kWhite}}},
      {"himetric", [](EmfWriter& w) { w.SetMapMode(3).Rectangle(0, 0, 2000, -2000); },
       {{20, 20, kRed}, {60, 60, kWhite}}},
      {"world translation", [](EmfWriter& w) {
         w.SetWorldTransform(1, 0, 0, 1, 1000, 1000).Rectangle(0, 0, 500, 500);
       },
       {{120, 120, kRed}, {80, 80, kWhite}}},
      {"world scale then modified", [](EmfWriter& w) {
         w.SetWorldTransform(2, 0, 0, 2, 0, 0);
         // MWT_RIGHTMULTIPLY by a translation of 1000 device pixels.
         w.Words(36, {EmfWriter::F(1), 0, 0, EmfWriter::F(1), EmfWriter::F(1000), EmfWriter::F(0), 3});
         w.Rectangle(0, 0, 250, 250);
       },
       {{120, 20, kRed}, {20, 20, kWhite}}},
      {"save and restore the mapping", [](EmfWriter& w) {
         w.SaveDc().SetWorldTransform(1, 0, 0, 1, 1000, 1000).RestoreDc(-1).Rectangle(0, 0, 500, 500);
       },
       {{20, 20, kRed}, {120, 120, kWhite}}},
  };
  for (const Case& c : cases) {
    EmfWriter w = FilledPage(kRed);
    c.draw(w);
    ExpectProbes(Render(w.Finish()), c.probes, c.name);
  }
}

TEST(EmfPlayer, FrameMapsOntoTheTarget) {
  EmfWriter w = FilledPage(kRed);
  w.Rectangle(0, 0, 2000, 2000);
  EnsureGuiApp();
  auto emf = EnhMetaFile::FromBytes(w.Finish());
  ASSERT_TRUE(emf);
  QImage img(200, 200, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  EXPECT_EQ(PlayEnhMetaFile(p, *emf, QRectF(50, 40, 100, 120)), 0u);
  p.end();
  ExpectProbes(img, {{45, 100, kWhite}, {55, 45, kRed}, {145, 155, kRed}, {155, 100, kWhite}, {100, 165, kWhite}},
               "frame");
}

TEST(EmfPlayer, Text) {
  const std::u16string block = u"\u2588\u2588";  // full blocks: solid glyphs to probe
  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> draw;
    std::vector<Probe> probes;
  };
  const std::vector<Case> cases = {
      {"spacing array places each glyph", [&](EmfWriter& w) { w.TextOut(200, 200, block, {600, 600}); },
       {{33, 40, kGreen}, {93, 40, kGreen}, {65, 40, kWhite}, {15, 40, kWhite}}},
      {"right alignment", [&](EmfWriter& w) {
         w.SetTextAlign(2).TextOut(1800, 200, u"\u2588", {600});
       },
       {{133, 40, kGreen}, {185, 40, kWhite}, {100, 40, kWhite}}},
      {"clipped to its rectangle", [&](EmfWriter& w) {
         w.TextOut(200, 200, block, {600, 600}, 0x4, 0, 0, 500, 2000);
       },
       {{33, 40, kGreen}, {93, 40, kWhite}}},
      {"opaque rectangle", [&](EmfWriter& w) {
         w.SetBkColor(kYellow).TextOut(200, 1100, u" ", {600}, 0x2, 100, 1000, 1900, 1300);
       },
       {{15, 110, kYellow}, {185, 125, kYellow}, {100, 95, kWhite}, {100, 135, kWhite}}},
      {"opaque background mode fills the text cell", [&](EmfWriter& w) {
         w.SetBkMode(2).SetBkColor(kBlue).TextOut(200, 1000, u"  ", {600, 600});
       },
       {{50, 120, kBlue}, {130, 120, kBlue}, {150, 120, kWhite}, {50, 95, kWhite}}},
      {"huge glyphs", [&](EmfWriter& w) {
         w.CreateFont(3, -6000, u"Arial").Select(3).TextOut(0, 0, u"\u2588", {4000});
       },
       {{100, 150, kGreen}}},
      {"upright under a y-up mapping", [&](EmfWriter& w) {
         // Upper half block at baseline alignment in tenths of a millimetre.
         w.CreateFont(2, -150, u"Arial").Select(2);
         w.SetMapMode(2).SetTextAlign(24).TextOut(100, -500, u"\u2580", {200});
       },
       {{36, 97, kGreen}, {36, 136, kWhite}}},
  };
  for (const Case& c : cases) {
    EmfWriter w = Page();
    w.CreateFont(1, -400, u"Arial").Select(1).SetBkMode(1).SetTextColor(kGreen);
    c.draw(w);
    ExpectProbes(Render(w.Finish()), c.probes, c.name);
  }
}

TEST(EmfPlayer, TextUsesMappedFacesAtTheirSize) {
  // Four H in Times New Roman at a 500-pixel em (50 image pixels): the ink has
  // the cap height that size gives and spans the advances the spacing array gives.
  EmfWriter w = Page();
  w.CreateFont(1, -500, u"Times New Roman").Select(1).SetBkMode(1).SetTextColor(kBlack);
  const std::u16string text = u"HHHH";
  w.TextOut(100, 100, text, {400, 400, 400, 400});
  const QImage img = Render(w.Finish());
  int min_x = 200, max_x = -1, min_y = 200, max_y = -1;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x)
      if (qGray(img.pixel(x, y)) < 128) {
        min_x = std::min(min_x, x);
        max_x = std::max(max_x, x);
        min_y = std::min(min_y, y);
        max_y = std::max(max_y, y);
      }
  ASSERT_GE(max_x, 0) << "no text drawn";
  // Four H at a 40-pixel pitch: ink from about x 10 to x 10 + 3*40 + H width (~36).
  EXPECT_NEAR(min_x, 11, 3);
  EXPECT_NEAR(max_x, 10 + 120 + 36, 6);
  // Cap height of Times is about 0.66 em (33 px) below an ascent of 0.89 em.
  EXPECT_NEAR(max_y - min_y, 33, 4);
  EXPECT_NEAR(min_y, 10 + 45 - 33, 4);
}

TEST(EmfPlayer, Bitmaps) {
  const std::vector<std::vector<uint32_t>> quad = {{0xFF0000, 0x00A000}, {0x0000FF, 0xFFFF00}};
  const std::vector<Probe> quad_probes = {
      {40, 40, kRed}, {80, 40, kGreen}, {40, 80, kBlue}, {80, 80, kYellow}, {110, 110, kWhite}};
  std::vector<std::vector<uint32_t>> halves(100, std::vector<uint32_t>(100, 0xFF0000));
  for (int y = 50; y < 100; ++y) halves[y].assign(100, 0x0000FF);

  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> draw;
    std::vector<Probe> probes;
  };
  const std::vector<Case> cases = {
      {"stretched bottom-up", [&](EmfWriter& w) {
         w.StretchDiBits(200, 200, 800, 800, test::MakeDib24(quad), 0, 0, 2, 2);
       },
       quad_probes},
      {"stretched top-down", [&](EmfWriter& w) {
         w.StretchDiBits(200, 200, 800, 800, test::MakeDib24(quad, true), 0, 0, 2, 2);
       },
       quad_probes},
      {"palette bitmap", [&](EmfWriter& w) {
         w.StretchDiBits(200, 200, 800, 800,
                         test::MakeDib8({0xFF0000, 0x00A000, 0x0000FF, 0xFFFF00}, {{0, 1}, {2, 3}}), 0, 0, 2, 2);
       },
       quad_probes},
      {"one-bit bitmap", [&](EmfWriter& w) {
         w.StretchDiBits(200, 200, 800, 800, test::MakeDib1(0xFF0000, 0x0000FF, {{0, 1}, {1, 0}}), 0, 0, 2, 2);
       },
       {{40, 40, kRed}, {80, 40, kBlue}, {40, 80, kBlue}, {80, 80, kRed}}},
      {"source rectangle of a bottom-up bitmap", [&](EmfWriter& w) {
         // The lower right pixel alone, counted from the bottom.
         w.StretchDiBits(200, 200, 800, 800, test::MakeDib24(quad), 1, 0, 1, 1);
       },
       {{40, 40, kYellow}, {80, 80, kYellow}}},
      {"set bits to the device", [&](EmfWriter& w) {
         w.SetDiBitsToDevice(1000, 1000, test::MakeDib24(halves), 0, 0, 100, 100, 0, 100);
       },
       {{105, 102, kRed}, {105, 108, kBlue}, {95, 105, kWhite}, {115, 105, kWhite}}},
      {"set bits with the lower scan lines only", [&](EmfWriter& w) {
         test::TestDib d = test::MakeDib24(halves);
         d.bits.resize(d.bits.size() / 2);  // bottom-up: the blue half comes first
         w.SetDiBitsToDevice(1000, 1000, d, 0, 0, 100, 100, 0, 50);
       },
       {{105, 102, kWhite}, {105, 108, kBlue}}},
      {"block transfer from a bitmap", [&](EmfWriter& w) {
         test::TestDib d = test::MakeDib24(halves);
         w.BitBlt(1000, 1000, 100, 100, &d, 0x00CC0020);
       },
       {{105, 102, kRed}, {105, 108, kBlue}, {95, 105, kWhite}}},
      {"pattern fill without a source", [&](EmfWriter& w) {
         w.CreateBrush(1, 0, kRed).Select(1).BitBlt(1200, 1200, 400, 400, nullptr, 0x00F00021);
         w.BitBlt(1400, 1400, 200, 200, nullptr, 0x00000042);  // blackness
       },
       {{130, 130, kRed}, {150, 150, kBlack}, {110, 110, kWhite}}},
  };
  for (const Case& c : cases) {
    EmfWriter w = Page();
    c.draw(w);
    ExpectProbes(Render(w.Finish()), c.probes, c.name);
  }
}

TEST(EmfPlayer, Clipping) {
  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> clip;
    std::vector<Probe> probes;
  };
  const std::vector<Case> cases = {
      {"intersect", [](EmfWriter& w) { w.IntersectClip(0, 0, 1000, 2000); },
       {{50, 100, kRed}, {150, 100, kWhite}}},
      {"exclude", [](EmfWriter& w) { w.ExcludeClip(500, 500, 1500, 1500); },
       {{100, 100, kWhite}, {20, 20, kRed}, {180, 180, kRed}}},
      {"restored with the state", [](EmfWriter& w) {
         w.SaveDc().IntersectClip(0, 0, 1000, 2000).RestoreDc(-1);
       },
       {{50, 100, kRed}, {150, 100, kRed}}},
      {"region of two rectangles", [](EmfWriter& w) {
         w.SelectClipRgn({{0, 0, 500, 500}, {1500, 1500, 2000, 2000}}, 5);
       },
       {{20, 20, kRed}, {180, 180, kRed}, {100, 100, kWhite}}},
      {"region of many rectangles", [](EmfWriter& w) {
         std::vector<std::vector<int32_t>> rects;
         for (int i = 0; i < 40; ++i) rects.push_back({i * 50, 0, i * 50 + 25, 1000});
         w.SelectClipRgn(rects, 5);
       },
       {{1, 50, kRed}, {4, 50, kWhite}, {196, 50, kRed}, {1, 150, kWhite}}},
      {"region reset", [](EmfWriter& w) {
         w.SelectClipRgn({{0, 0, 500, 500}}, 5).SelectClipRgn({}, 5);
       },
       {{20, 20, kRed}, {180, 180, kRed}}},
      {"region combined by difference", [](EmfWriter& w) {
         w.IntersectClip(0, 0, 1000, 1000).SelectClipRgn({{0, 0, 500, 500}}, 4);
       },
       {{20, 20, kWhite}, {70, 70, kRed}, {150, 150, kWhite}}},
      {"path", [](EmfWriter& w) {
         w.BeginPath().Ellipse(500, 500, 1500, 1500).EndPath().SelectClipPath(5);
       },
       {{100, 100, kRed}, {56, 56, kWhite}, {20, 20, kWhite}}},
      {"under a world transform", [](EmfWriter& w) {
         w.SetWorldTransform(2, 0, 0, 2, 0, 0).IntersectClip(0, 0, 500, 1000).SetWorldTransform(1, 0, 0, 1, 0, 0);
       },
       {{90, 100, kRed}, {110, 100, kWhite}}},
  };
  for (const Case& c : cases) {
    EmfWriter w = FilledPage(kRed);
    c.clip(w);
    w.Rectangle(0, 0, 2000, 2000);
    ExpectProbes(Render(w.Finish()), c.probes, c.name);
  }
}

TEST(EmfPlayer, PathsFillAndStroke) {
  EmfWriter w = FilledPage(kRed);
  w.BeginPath().MoveTo(200, 200).LineTo(800, 200).LineTo(800, 800).LineTo(200, 800).Words(61, {}).EndPath();
  w.FillPath();
  w.CreatePen(2, 0, 60, kBlue).Select(2);
  w.BeginPath().MoveTo(1200, 1500).LineTo(1800, 1500).EndPath().StrokePath();
  const QImage img = Render(w.Finish());
  ExpectProbes(img, {{50, 50, kRed}, {90, 50, kWhite}, {150, 150, kBlue}, {150, 140, kWhite}}, "paths");
}

TEST(EmfPlayer, CommentsAndUnknownRecordsAreSkipped) {
  EmfWriter w = FilledPage(kRed);
  w.Comment({'G', 'D', 'I', 'C', 1, 2, 3});
  w.Words(0x4242, {1, 2, 3});
  w.Words(121, {});
  w.Rectangle(0, 0, 1000, 1000);
  ExpectProbes(Render(w.Finish()), {{50, 50, kRed}}, "skipped");
}

// Each broken record sits between a red page and a green left half: a record
// that is unsound inside is skipped and playback goes on; a broken record chain
// stops playback with 13.
TEST(EmfPlayer, HostileRecordsNeverReadOutside) {
  const uint32_t kHuge = 0xFFFFFFF0u;
  auto text = [](uint32_t n, uint32_t off_string, uint32_t off_dx) {
    std::vector<uint32_t> body = {0, 0, 0, 0, 1, EmfWriter::F(1), EmfWriter::F(1), 0, 0, n, off_string, 0,
                                  0, 0, 0, 0, off_dx, 0x00410041};
    return body;
  };
  auto stretch = [](std::vector<uint32_t> info, uint32_t cb_bits, uint32_t off_bits) {
    // StretchDIBits with the header words `info` right after the fixed part (offset 80).
    std::vector<uint32_t> body = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 80, static_cast<uint32_t>(info.size() * 4),
                                  off_bits, cb_bits, 0, 0x00CC0020, 1000, 1000};
    body.insert(body.end(), info.begin(), info.end());
    body.insert(body.end(), {0, 0, 0, 0});
    return body;
  };
  struct Case {
    const char* name;
    std::function<void(EmfWriter&)> bad;
    bool stops;
  };
  const std::vector<Case> cases = {
      {"polygon count beyond the record", [&](EmfWriter& w) { w.Words(3, {0, 0, 0, 0, 0x40000000, 1, 2}); }, false},
      {"polygon16 count of 2^32-1", [&](EmfWriter& w) { w.Words(86, {0, 0, 0, 0, 0xFFFFFFFF, 1}); }, false},
      {"polyline without points", [&](EmfWriter& w) { w.Words(4, {0, 0, 0, 0, 0}); }, false},
      {"polybezier with a wrong count", [&](EmfWriter& w) { w.Poly32(2, {{0, 0}, {1, 1}}); }, false},
      {"polypolygon with a huge polygon count", [&](EmfWriter& w) { w.Words(8, {0, 0, 0, 0, kHuge, 4, 4}); }, false},
      {"polypolygon whose counts disagree", [&](EmfWriter& w) {
         w.Words(8, {0, 0, 0, 0, 1, 1, 3, 10, 10, 20, 20, 30, 30});
       },
       false},
      {"polypolygon counts that wrap 32 bits", [&](EmfWriter& w) {
         w.Words(91, {0, 0, 0, 0, 2, 0, 0x80000000u, 0x80000000u});
       },
       false},
      {"polydraw count beyond the record", [&](EmfWriter& w) { w.Words(56, {0, 0, 0, 0, 0x20000000, 1, 1}); }, false},
      {"polydraw with a bad point type", [&](EmfWriter& w) { w.Words(92, {0, 0, 0, 0, 1, 0x00050005, 0x99}); }, false},
      {"text with a huge character count", [&](EmfWriter& w) { w.Words(84, text(0x7FFFFFFF, 76, 0)); }, false},
      {"text string past the record", [&](EmfWriter& w) { w.Words(84, text(2, 0xFFFFFFFC, 0)); }, false},
      {"text spacing past the record", [&](EmfWriter& w) { w.Words(84, text(2, 76, 0xFFFFFFF8)); }, false},
      {"text in a short record", [&](EmfWriter& w) { w.Words(84, {0, 0, 0, 0}); }, false},
      {"font in a short record", [&](EmfWriter& w) { w.Words(82, {1, 100}).Select(1).TextOut(0, 0, u"x"); }, false},
      {"bitmap header offset past the record", [&](EmfWriter& w) {
         w.Words(81, {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, kHuge, 40, 80, 16, 0, 0x00CC0020, 1000, 1000});
       },
       false},
      {"bitmap of 2^31 columns", [&](EmfWriter& w) {
         w.Words(81, stretch({40, 0x7FFFFFFF, 2, 0x00180001, 0, 0, 0, 0, 0, 0}, 16, 120));
       },
       false},
      {"bitmap with height INT_MIN", [&](EmfWriter& w) {
         w.Words(81, stretch({40, 2, 0x80000000u, 0x00180001, 0, 0, 0, 0, 0, 0}, 16, 120));
       },
       false},
      {"bitmap rows beyond its bits", [&](EmfWriter& w) {
         w.Words(81, stretch({40, 1000, 1000, 0x00180001, 0, 0, 0, 0, 0, 0}, 16, 120));
       },
       false},
      {"bitmap with a colour table beyond its header", [&](EmfWriter& w) {
         w.Words(81, stretch({40, 2, 2, 0x00080001, 0, 0, 0, 0, 0xFFFFFFFF, 0}, 16, 120));
       },
       false},
      {"run-length bitmap running past its rows", [&](EmfWriter& w) {
         // 8-bit RLE: a delta far down and right, a long run, absolute runs past the end.
         w.Words(81, stretch({40, 4, 4, 0x00080001, 1, 0, 0, 0, 0, 0}, 16, 120));
         w.Words(81, {0, 0, 0, 0, 0, 0, 0, 0, 4, 4, 80, 40, 120, 12, 0, 0x00CC0020, 1000, 1000,
                      40, 4, 4, 0x00080001, 1, 0, 0, 0, 0, 0, 0x02FF0200, 0xFF00FFFF, 0x00FE0000});
       },
       false},
      {"pen with a huge dash count", [&](EmfWriter& w) {
         w.Words(95, {1, 0, 0, 0, 0, 0x00010007, 10, 0, 0, 0, 0x7FFFFFFF, 5}).Select(1).LineTo(100, 100);
       },
       false},
      {"palette with more entries than bytes", [&](EmfWriter& w) { w.Words(49, {1, 0xFFFF0300, 0}); }, false},
      {"object indexes out of range", [&](EmfWriter& w) {
         w.Select(0xFFFF).Select(0x7FFFFFFF).Select(0x800000FF).Delete(0xFFFFFFFF).Delete(0);
       },
       false},
      {"clip region with a huge rectangle count", [&](EmfWriter& w) {
         w.Words(75, {48, 1, 32, 1, 0x7FFFFFFF, 16, 0, 0, 10, 10, 0, 0, 10, 10});
       },
       false},
      {"clip region larger than its record", [&](EmfWriter& w) { w.Words(75, {kHuge, 1, 32, 1, 1, 16}); }, false},
      {"restore beyond the saved states", [&](EmfWriter& w) {
         w.RestoreDc(-1000).RestoreDc(static_cast<int32_t>(0x80000000u)).RestoreDc(5);
       },
       false},
      {"deep saves", [&](EmfWriter& w) {
         for (int i = 0; i < 3000; ++i) w.SaveDc();
       },
       false},
      {"world transform of NaN and 1e30", [&](EmfWriter& w) {
         w.Words(35, {0x7FC00000, 0, 0, 0x7FC00000, 0, 0});
         w.SetWorldTransform(1e30f, 0, 0, 1e30f, 0, 0);
       },
       false},
      {"extreme coordinates", [&](EmfWriter& w) {
         w.Words(43, {0x80000000u, 0x80000000u, 0x7FFFFFFF, 0x7FFFFFFF});
         w.ArcLike(45, -2147483647, -2147483647, 2147483647, 2147483647, {0, 0}, {1, 1});
         w.SetMapMode(8).SetWindowExt(1, 1).SetViewportExt(0x7FFFFFFF, 0x7FFFFFFF).Rectangle(0, 0, 100, 100);
       },
       false},
      {"every record type in eight bytes", [&](EmfWriter& w) {
         for (uint32_t t = 2; t < 130; ++t)
           if (t != 14) w.Words(t, {});
       },
       false},
      {"every record type over ones", [&](EmfWriter& w) {
         for (uint32_t t = 2; t < 130; ++t)
           if (t != 14) w.Words(t, std::vector<uint32_t>(24, 0xFFFFFFFF));
       },
       false},
      {"record size not a multiple of 4", [&](EmfWriter& w) { w.Raw({43, 0, 0, 0, 10, 0, 0, 0, 0, 0}); }, true},
      {"record size below 8", [&](EmfWriter& w) { w.Raw({43, 0, 0, 0, 4, 0, 0, 0}); }, true},
      {"record size 0", [&](EmfWriter& w) { w.Raw({43, 0, 0, 0, 0, 0, 0, 0}); }, true},
      {"record size past the end", [&](EmfWriter& w) { w.Raw({43, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0x7F}); }, true},
  };
  for (const Case& c : cases) {
    EmfWriter w = FilledPage(kRed);
    w.Rectangle(0, 0, 2000, 2000).SaveDc();
    c.bad(w);
    w.RestoreDc(-1).SelectStock(8).CreateBrush(9, 0, kGreen).Select(9).SetMapMode(1);
    w.SetWorldTransform(1, 0, 0, 1, 0, 0).SelectClipRgn({}, 5).Rectangle(0, 0, 1000, 2000);
    const QImage img = Render(w.Finish(), c.stops ? 13u : 0u);
    ExpectProbes(img, {{50, 100, c.stops ? kRed : kGreen}, {150, 100, kRed}}, c.name);
  }
}

TEST(EmfPlayer, TruncatedMetafileDrawsWhatItHasAndReportsIt) {
  EmfWriter w = FilledPage(kRed);
  w.Rectangle(0, 0, 1000, 1000).Rectangle(1000, 1000, 2000, 2000);
  std::vector<uint8_t> bytes = w.Finish();
  bytes.resize(bytes.size() - 20 - 12);  // cut inside the last rectangle
  const QImage img = Render(bytes, 13);
  ExpectProbes(img, {{50, 50, kRed}, {150, 150, kWhite}}, "truncated");
}

TEST(Dib, BmpFileImagesDecode) {
  const test::TestDib dib = test::MakeDib24({{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}});
  std::vector<uint8_t> file = {'B', 'M'};
  const uint32_t off = 14 + static_cast<uint32_t>(dib.info.size());
  const uint32_t total = off + static_cast<uint32_t>(dib.bits.size());
  for (uint32_t v : {total, 0u, off})
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
  file.insert(file.end(), dib.info.begin(), dib.info.end());
  file.insert(file.end(), dib.bits.begin(), dib.bits.end());
  const QImage img = DecodeBmpFile(file);
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(img.pixel(1, 0), qRgb(0, 255, 0));
  EXPECT_EQ(img.pixel(0, 1), qRgb(0, 0, 255));

  std::vector<uint8_t> bad = file;
  bad[10] = 0xFF;  // pixels past the end
  EXPECT_TRUE(DecodeBmpFile(bad).isNull());
  bad = file;
  bad[10] = 20;  // pixels inside the header
  EXPECT_TRUE(DecodeBmpFile(bad).isNull());
  bad = file;
  bad.resize(bad.size() - 1);  // short of the last row
  EXPECT_TRUE(DecodeBmpFile(bad).isNull());
  const std::vector<uint8_t> tiny = {'B', 'M', 0};
  EXPECT_TRUE(DecodeBmpFile(tiny).isNull());
}

}  // namespace
}  // namespace vel::gfx

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
