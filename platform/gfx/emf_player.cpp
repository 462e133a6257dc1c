#include "platform/gfx/emf_player.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QFont>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRawFont>
#include <QRegion>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <variant>

#include "platform/gfx/dib.h"
#include "platform/gfx/emf_fonts.h"
#include "platform/gfx/le_reader.h"

namespace vel::gfx {

namespace {

enum Record : uint32_t {
  kHeader = 1,
  kPolyBezier = 2,
  kPolygon = 3,
  kPolyline = 4,
  kPolyBezierTo = 5,
  kPolylineTo = 6,
  kPolyPolyline = 7,
  kPolyPolygon = 8,
  kSetWindowExtEx = 9,
  kSetWindowOrgEx = 10,
  kSetViewportExtEx = 11,
  kSetViewportOrgEx = 12,
  kSetBrushOrgEx = 13,
  kEof = 14,
  kSetPixelV = 15,
  kSetMapMode = 17,
  kSetBkMode = 18,
  kSetPolyFillMode = 19,
  kSetRop2 = 20,
  kSetStretchBltMode = 21,
  kSetTextAlign = 22,
  kSetTextColor = 24,
  kSetBkColor = 25,
  kOffsetClipRgn = 26,
  kMoveToEx = 27,
  kExcludeClipRect = 29,
  kIntersectClipRect = 30,
  kScaleViewportExtEx = 31,
  kScaleWindowExtEx = 32,
  kSaveDc = 33,
  kRestoreDc = 34,
  kSetWorldTransform = 35,
  kModifyWorldTransform = 36,
  kSelectObject = 37,
  kCreatePen = 38,
  kCreateBrushIndirect = 39,
  kDeleteObject = 40,
  kAngleArc = 41,
  kEllipse = 42,
  kRectangle = 43,
  kRoundRect = 44,
  kArc = 45,
  kChord = 46,
  kPie = 47,
  kSelectPalette = 48,
  kCreatePalette = 49,
  kLineTo = 54,
  kArcTo = 55,
  kPolyDraw = 56,
  kSetArcDirection = 57,
  kSetMiterLimit = 58,
  kBeginPath = 59,
  kEndPath = 60,
  kCloseFigure = 61,
  kFillPath = 62,
  kStrokeAndFillPath = 63,
  kStrokePath = 64,
  kFlattenPath = 65,
  kWidenPath = 66,
  kSelectClipPath = 67,
  kAbortPath = 68,
  kGdiComment = 70,
  kFillRgn = 71,
  kPaintRgn = 74,
  kExtSelectClipRgn = 75,
  kBitBlt = 76,
  kStretchBlt = 77,
  kSetDiBitsToDevice = 80,
  kStretchDiBits = 81,
  kExtCreateFontIndirectW = 82,
  kExtTextOutW = 84,
  kPolyBezier16 = 85,
  kPolygon16 = 86,
  kPolyline16 = 87,
  kPolyBezierTo16 = 88,
  kPolylineTo16 = 89,
  kPolyPolyline16 = 90,
  kPolyPolygon16 = 91,
  kPolyDraw16 = 92,
  kCreateMonoBrush = 93,
  kCreateDibPatternBrushPt = 94,
  kExtCreatePen = 95,
};

enum MapMode { kMmText = 1, kMmLoMetric, kMmHiMetric, kMmLoEnglish, kMmHiEnglish, kMmTwips, kMmIsotropic, kMmAnisotropic };

constexpr uint32_t kEtoOpaque = 0x2;
constexpr uint32_t kEtoClipped = 0x4;
constexpr uint32_t kEtoGlyphIndex = 0x10;
constexpr uint32_t kEtoNoRect = 0x100;
constexpr uint32_t kEtoPdy = 0x2000;

constexpr uint32_t kTaUpdateCp = 1;

constexpr int kMaxSaveDepth = 1024;
constexpr uint32_t kMaxHandles = 65536;
// Decoded bitmap pixels one playback may spend; run-length bitmaps make large
// images from few bytes, so the total is capped, not only each image.
constexpr uint64_t kPixelBudget = uint64_t{1} << 28;
// A shape reaching further than this from the target (in target pixels) is
// nonsense from a broken transform and is skipped.
constexpr double kMaxTargetCoord = 1e6;
// Bound on dash entries of a user-styled pen.
constexpr uint32_t kMaxDashes = 64;

// ---- objects ----

struct PenObj {
  bool null = false;
  int style = 0;            // PS_SOLID .. PS_ALTERNATE
  double width = 0;         // logical units; 0 is one pixel
  bool cosmetic = true;
  QColor colour = Qt::black;
  Qt::PenCapStyle cap = Qt::RoundCap;
  Qt::PenJoinStyle join = Qt::RoundJoin;
  std::vector<double> dashes;  // user style, logical units
};

struct BrushObj {
  int style = 0;  // BS_SOLID, BS_NULL, BS_HATCHED, BS_PATTERN, BS_DIBPATTERN(PT)
  QColor colour = Qt::white;
  uint32_t hatch = 0;
  bool mono = false;  // a monochrome pattern drawn in the text and background colours
  uint32_t usage = 0;
  std::vector<uint8_t> info, bits;
};

struct FontObj {
  int32_t height = 0, width = 0, escapement = 0, weight = 400;
  bool italic = false, underline = false, strikeout = false;
  uint8_t charset = 0, pitch_and_family = 0;
  QString face;
};

struct PaletteObj {
  std::vector<QRgb> entries;
};

using GdiObject = std::variant<PenObj, BrushObj, FontObj, PaletteObj>;
using ObjPtr = std::shared_ptr<const GdiObject>;

struct DcState {
  int map_mode = kMmText;
  QPointF window_org{0, 0}, viewport_org{0, 0};
  QPointF window_ext{1, 1}, viewport_ext{1, 1};
  QTransform world;
  int bk_mode = 2;  // OPAQUE
  QColor bk_colour = Qt::white;
  QColor text_colour = Qt::black;
  uint32_t text_align = 0;
  int fill_mode = 1;  // ALTERNATE
  int rop2 = 13;      // R2_COPYPEN
  int arc_direction = 1;  // AD_COUNTERCLOCKWISE
  QPointF position;
  ObjPtr pen, brush, font, palette;
  // In target pixels, so that its size is bounded by the image drawn on,
  // whatever the metafile's coordinates; none = no clipping.
  std::optional<QRegion> clip;
};

QColor ColourRef(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

bool Finite(double v) { return std::isfinite(v); }

bool SaneTransform(const QTransform& t) {
  const double v[] = {t.m11(), t.m12(), t.m21(), t.m22(), t.dx(), t.dy()};
  for (double x : v)
    if (!Finite(x) || std::fabs(x) > 1e9) return false;
  return true;
}

bool SaneRect(const QRectF& r) {
  return Finite(r.left()) && Finite(r.top()) && Finite(r.right()) && Finite(r.bottom()) &&
         std::fabs(r.left()) < kMaxTargetCoord && std::fabs(r.right()) < kMaxTargetCoord &&
         std::fabs(r.top()) < kMaxTargetCoord && std::fabs(r.bottom()) < kMaxTargetCoord;
}

QRectF RectAt(const LeReader& r, uint64_t off) {
  const double l = r.I32(off), t = r.I32(off + 4), rt = r.I32(off + 8), b = r.I32(off + 12);
  return QRectF(QPointF(l, t), QPointF(rt, b)).normalized();
}

class Player {
 public:
  Player(QPainter& painter, const EnhMetaFile& emf, const QTransform& playback)
      : painter_(painter), emf_(emf), playback_(playback) {
    const EmfHeader& h = emf.header();
    px_per_mm_ = {96.0 / 25.4, 96.0 / 25.4};
    if (h.device.cx > 0 && h.device.cy > 0) {
      if (h.micrometers.cx > 0 && h.micrometers.cy > 0) {
        px_per_mm_ = {h.device.cx * 1000.0 / h.micrometers.cx, h.device.cy * 1000.0 / h.micrometers.cy};
      } else if (h.millimeters.cx > 0 && h.millimeters.cy > 0) {
        px_per_mm_ = {double(h.device.cx) / h.millimeters.cx, double(h.device.cy) / h.millimeters.cy};
      }
    }
    objects_.resize(std::clamp<uint32_t>(h.handles, 1, kMaxHandles));
    const QPaintDevice* device = painter.device();
    bounds_ = device ? QRect(-2, -2, device->width() + 4, device->height() + 4) : QRect(-2, -2, 4, 4);
    state_.pen = Stock(7);
    state_.brush = Stock(0);
    state_.font = Stock(13);
  }

  uint32_t Run();

 private:
  // ---- transforms ----
  QTransform PageTransform() const {
    double sx = state_.viewport_ext.x() / state_.window_ext.x();
    double sy = state_.viewport_ext.y() / state_.window_ext.y();
    if (state_.map_mode == kMmIsotropic) {
      const double m = std::min(std::fabs(sx), std::fabs(sy));
      sx = std::copysign(m, sx);
      sy = std::copysign(m, sy);
    }
    return QTransform(sx, 0, 0, sy, state_.viewport_org.x() - state_.window_org.x() * sx,
                      state_.viewport_org.y() - state_.window_org.y() * sy);
  }
  QTransform ToDevice() const { return state_.world * PageTransform(); }
  QTransform ToTarget() const { return ToDevice() * playback_; }

  static double Scale(const QTransform& t) { return std::sqrt(std::fabs(t.determinant())); }

  // ---- objects ----
  ObjPtr Stock(uint32_t index);
  ObjPtr Lookup(uint32_t index);
  void Store(uint32_t index, GdiObject obj) {
    if (index == 0 || index >= kMaxHandles) return;
    if (index >= objects_.size()) objects_.resize(index + 1);
    objects_[index] = std::make_shared<const GdiObject>(std::move(obj));
  }
  const PenObj* Pen() const { return std::get_if<PenObj>(state_.pen.get()); }
  const BrushObj* Brush() const { return std::get_if<BrushObj>(state_.brush.get()); }

  QPen MakePen(const PenObj& p, double painter_width, double painter_to_target) const;
  std::optional<QBrush> MakeBrush(const BrushObj& b, const QTransform& painter_transform);

  // ---- drawing ----
  void ApplyClip();
  void DrawShape(const QPainterPath& logical, bool fill, bool stroke);
  void DrawDevicePath(const QPainterPath& device, bool fill, bool stroke);
  void FillDeviceRects(const std::vector<QRect>& rects, const ObjPtr& brush);
  void AppendToPath(const QPainterPath& logical, bool connect);
  void FillTargetArea(const QPainterPath& logical, const QTransform& t, const QBrush& brush,
                      QPainter::CompositionMode mode);

  // ---- records ----
  void Dispatch(uint32_t type, const LeReader& r);
  void Poly(uint32_t type, const LeReader& r, bool small);
  void PolyPoly(uint32_t type, const LeReader& r, bool small);
  void PolyDraw(const LeReader& r, bool small);
  void ArcLike(uint32_t type, const LeReader& r);
  void AngleArc(const LeReader& r);
  void SetMapMode(int mode);
  void ClipRect(const LeReader& r, bool exclude);
  void CombineClip(const QRegion& region, uint32_t mode, bool reset_when_empty);
  std::optional<std::vector<QRect>> ReadRegion(const LeReader& r, uint64_t off, uint64_t size);
  QRegion MaskRegion(const QRectF& area, const std::function<void(QPainter&)>& draw) const;
  QRegion TargetRegionOfDeviceRects(const std::vector<QRect>& rects) const;
  QRegion TargetRegionOfLogicalRect(const QRectF& rect) const;
  QRegion TargetRegion(const QPolygonF& polygon, Qt::FillRule rule) const;
  void SelectClipPath(uint32_t mode);
  void ExtCreatePen(const LeReader& r);
  void CreateFont(const LeReader& r);
  void CreatePatternBrush(const LeReader& r, bool mono);
  void ExtTextOutW(const LeReader& r);
  void Blt(uint32_t type, const LeReader& r);
  void DrawBitmap(const QRectF& dest, const QImage& img, QRectF src, uint32_t rop);
  QImage DecodeFromRecord(const LeReader& r, uint64_t off_bmi, uint64_t cb_bmi, uint64_t off_bits,
                          uint64_t cb_bits, uint32_t usage, int64_t scan_lines);
  std::vector<QRgb> PaletteEntries() const {
    if (const auto* p = std::get_if<PaletteObj>(state_.palette.get())) return p->entries;
    return {};
  }

  QPainter& painter_;
  const EnhMetaFile& emf_;
  QTransform playback_;
  QPointF px_per_mm_;
  std::vector<ObjPtr> objects_;
  std::map<uint32_t, ObjPtr> stock_;
  DcState state_;
  std::vector<DcState> saved_;
  QPainterPath path_;  // reference-device coordinates
  bool in_path_ = false;
  bool clip_dirty_ = true;
  QRect bounds_;  // the painter's device, with a small margin
  uint64_t pixel_budget_ = kPixelBudget;
  std::map<std::pair<const GdiObject*, double>, std::pair<ObjPtr, std::pair<QRawFont, QRawFont>>> font_cache_;
};

ObjPtr Player::Stock(uint32_t index) {
  auto it = stock_.find(index);
  if (it != stock_.end()) return it->second;
  std::optional<GdiObject> obj;
  auto brush = [](int style, QColor c) {
    BrushObj b;
    b.style = style;
    b.colour = c;
    return b;
  };
  auto pen = [](bool null, QColor c) {
    PenObj p;
    p.null = null;
    p.colour = c;
    return p;
  };
  auto font = [](const char* face, int height, int weight, uint8_t pitch) {
    FontObj f;
    f.face = QString::fromLatin1(face);
    f.height = height;
    f.weight = weight;
    f.pitch_and_family = pitch;
    return f;
  };
  switch (index) {
    case 0: obj = brush(0, QColor(255, 255, 255)); break;
    case 1: obj = brush(0, QColor(0xC0, 0xC0, 0xC0)); break;
    case 2: obj = brush(0, QColor(0x80, 0x80, 0x80)); break;
    case 3: obj = brush(0, QColor(0x40, 0x40, 0x40)); break;
    case 4: obj = brush(0, QColor(0, 0, 0)); break;
    case 5: obj = brush(1, QColor(0, 0, 0)); break;
    case 6: obj = pen(false, QColor(255, 255, 255)); break;
    case 7: obj = pen(false, QColor(0, 0, 0)); break;
    case 8: obj = pen(true, QColor(0, 0, 0)); break;
    case 10: obj = font("Terminal", 12, 400, 1); break;
    case 11: obj = font("Courier", 13, 400, 1); break;
    case 12: obj = font("MS Sans Serif", 13, 400, 2); break;
    case 13: obj = font("System", 16, 700, 2); break;
    case 14: obj = font("System", 16, 700, 2); break;
    case 15: obj = PaletteObj{}; break;
    case 16: obj = font("Fixedsys", 15, 400, 1); break;
    case 17: obj = font("MS Shell Dlg", -11, 400, 2); break;
    case 18: obj = brush(0, QColor(255, 255, 255)); break;  // DC brush, white by default
    case 19: obj = pen(false, QColor(0, 0, 0)); break;      // DC pen, black by default
    default: return nullptr;
  }
  auto p = std::make_shared<const GdiObject>(std::move(*obj));
  stock_[index] = p;
  return p;
}

ObjPtr Player::Lookup(uint32_t index) {
  if (index & 0x80000000u) return Stock(index & 0x7FFFFFFFu);
  if (index == 0 || index >= objects_.size()) return nullptr;
  return objects_[index];
}

QPen Player::MakePen(const PenObj& p, double painter_width, double painter_to_target) const {
  if (p.null || p.style == 5) return QPen(Qt::NoPen);
  QPen pen(p.colour);
  const bool thin = p.cosmetic || painter_width * painter_to_target < 1.0 || !Finite(painter_width);
  if (thin) {
    pen.setCosmetic(true);
    pen.setWidthF(1.0);
  } else {
    pen.setWidthF(painter_width);
  }
  pen.setCapStyle(p.cap);
  pen.setJoinStyle(p.join);
  switch (p.style) {
    case 1: pen.setStyle(Qt::DashLine); break;
    case 2: pen.setStyle(Qt::DotLine); break;
    case 3: pen.setStyle(Qt::DashDotLine); break;
    case 4: pen.setStyle(Qt::DashDotDotLine); break;
    case 8: pen.setStyle(Qt::DotLine); break;
    case 7:
      if (!p.dashes.empty() && p.width > 0) {
        QList<qreal> pattern;
        for (double d : p.dashes) pattern.append(std::max(d / p.width, 0.1));
        if (pattern.size() % 2) pattern.append(pattern);
        pen.setDashPattern(pattern);
      }
      break;
    default: break;
  }
  return pen;
}

std::optional<QBrush> Player::MakeBrush(const BrushObj& b, const QTransform& painter_transform) {
  switch (b.style) {
    case 1:
      return std::nullopt;
    case 2: {
      static constexpr Qt::BrushStyle kHatch[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                                  Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
      return QBrush(b.colour, b.hatch < 6 ? kHatch[b.hatch] : Qt::SolidPattern);
    }
    case 3:
    case 5:
    case 6: {
      DibDecodeOptions opt;
      std::vector<QRgb> pal;
      if (b.usage == 1) {
        pal = PaletteEntries();
        opt.palette_indexes = true;
        opt.palette = pal;
      }
      if (b.mono) opt.mono_colours = std::make_pair(state_.text_colour.rgb(), state_.bk_colour.rgb());
      auto hdr = ParseDibHeader(b.info);
      if (!hdr) return std::nullopt;
      const uint64_t px = uint64_t(hdr->width) * uint64_t(hdr->height);
      if (px > pixel_budget_) return std::nullopt;
      pixel_budget_ -= px;
      QImage img = DecodeDib(b.info, b.bits, opt);
      if (img.isNull()) return std::nullopt;
      QBrush brush(img);
      // One pattern pixel is one pixel of the reference device.
      bool ok = false;
      const QTransform inv = painter_transform.inverted(&ok);
      if (!ok) return std::nullopt;
      brush.setTransform(playback_ * inv);
      return brush;
    }
    default:
      return QBrush(b.colour);
  }
}

void Player::ApplyClip() {
  if (!clip_dirty_) return;
  clip_dirty_ = false;
  painter_.setTransform(QTransform());
  if (!state_.clip) {
    painter_.setClipping(false);
    return;
  }
  painter_.setClipRegion(*state_.clip);
}

// A polygon in target pixels as a region, cut to the device first so that the
// work stays bounded by the image.
QRegion Player::TargetRegion(const QPolygonF& polygon, Qt::FillRule rule) const {
  for (const QPointF& p : polygon)
    if (!Finite(p.x()) || !Finite(p.y())) return {};
  const QPolygonF cut = polygon.intersected(QPolygonF(QRectF(bounds_)));
  return QRegion(cut.toPolygon(), rule);
}

// A region drawn into a one-bit mask over `area` (target pixels, cut to the
// device): the cost is bounded by the image, whatever the number of shapes.
QRegion Player::MaskRegion(const QRectF& area, const std::function<void(QPainter&)>& draw) const {
  const QRect box = area.intersected(QRectF(bounds_)).toAlignedRect().intersected(bounds_);
  if (box.isEmpty()) return {};
  QBitmap mask(box.size());
  if (mask.isNull()) return {};
  mask.fill(Qt::color0);
  {
    QPainter p(&mask);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.translate(-box.topLeft());
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::color1);
    draw(p);
  }
  return QRegion(mask).translated(box.topLeft());
}

QRegion Player::TargetRegionOfDeviceRects(const std::vector<QRect>& rects) const {
  constexpr size_t kDirectUnions = 32;
  if (rects.size() <= kDirectUnions) {
    QRegion out;
    for (const QRect& r : rects) {
      const QPolygonF poly = playback_.map(QPolygonF(QRectF(r)));
      if (playback_.type() <= QTransform::TxScale) {
        const QRectF m = poly.boundingRect().intersected(QRectF(bounds_));
        if (m.isEmpty()) continue;
        const QPoint tl(static_cast<int>(std::lround(m.left())), static_cast<int>(std::lround(m.top())));
        const QPoint br(static_cast<int>(std::lround(m.right())), static_cast<int>(std::lround(m.bottom())));
        if (br.x() > tl.x() && br.y() > tl.y()) out += QRect(tl, QPoint(br.x() - 1, br.y() - 1));
      } else {
        out += TargetRegion(poly, Qt::OddEvenFill);
      }
    }
    return out;
  }
  QRectF area;
  for (const QRect& r : rects) area = area.united(playback_.mapRect(QRectF(r)));
  return MaskRegion(area, [&](QPainter& p) {
    p.setTransform(playback_, true);
    for (const QRect& r : rects) p.drawRect(QRectF(r));
  });
}

void Player::FillTargetArea(const QPainterPath& logical, const QTransform& t, const QBrush& brush,
                            QPainter::CompositionMode mode) {
  ApplyClip();
  painter_.setTransform(t);
  painter_.setCompositionMode(mode);
  painter_.fillPath(logical, brush);
  painter_.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void Player::DrawShape(const QPainterPath& logical, bool fill, bool stroke) {
  if (in_path_) {
    AppendToPath(logical, false);
    return;
  }
  const QTransform t = ToTarget();
  if (!SaneTransform(t) || !SaneRect(t.mapRect(logical.boundingRect()))) return;
  ApplyClip();
  painter_.setTransform(t);
  const QPainter::CompositionMode mode =
      state_.rop2 == 9 ? QPainter::CompositionMode_Multiply : QPainter::CompositionMode_SourceOver;
  if (state_.rop2 == 11) return;  // R2_NOP
  painter_.setCompositionMode(mode);
  if (fill) {
    if (const BrushObj* b = Brush()) {
      if (auto brush = MakeBrush(*b, t)) {
        QPainterPath p = logical;
        p.setFillRule(state_.fill_mode == 2 ? Qt::WindingFill : Qt::OddEvenFill);
        painter_.setBackgroundMode(state_.bk_mode == 2 ? Qt::OpaqueMode : Qt::TransparentMode);
        painter_.setBackground(state_.bk_colour);
        painter_.fillPath(p, *brush);
      }
    }
  }
  if (stroke) {
    if (const PenObj* p = Pen()) {
      QPen pen = MakePen(*p, p->width, Scale(t));
      if (pen.style() != Qt::NoPen) painter_.strokePath(logical, pen);
    }
  }
  painter_.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void Player::DrawDevicePath(const QPainterPath& device, bool fill, bool stroke) {
  const QTransform& t = playback_;
  if (!SaneRect(t.mapRect(device.boundingRect()))) return;
  ApplyClip();
  painter_.setTransform(t);
  if (fill) {
    if (const BrushObj* b = Brush()) {
      if (auto brush = MakeBrush(*b, t)) {
        QPainterPath p = device;
        p.setFillRule(state_.fill_mode == 2 ? Qt::WindingFill : Qt::OddEvenFill);
        painter_.fillPath(p, *brush);
      }
    }
  }
  if (stroke) {
    if (const PenObj* p = Pen()) {
      QPen pen = MakePen(*p, p->width * Scale(ToDevice()), Scale(t));
      if (pen.style() != Qt::NoPen) painter_.strokePath(device, pen);
    }
  }
}

void Player::FillDeviceRects(const std::vector<QRect>& rects, const ObjPtr& brush_obj) {
  const auto* b = std::get_if<BrushObj>(brush_obj.get());
  if (!b || rects.empty()) return;
  QPainterPath p;
  p.setFillRule(Qt::WindingFill);  // overlapping rectangles make one area
  for (const QRect& r : rects) p.addRect(QRectF(r));
  if (!SaneRect(playback_.mapRect(p.boundingRect()))) return;
  auto brush = MakeBrush(*b, playback_);
  if (!brush) return;
  FillTargetArea(p, playback_, *brush, QPainter::CompositionMode_SourceOver);
}

void Player::AppendToPath(const QPainterPath& logical, bool connect) {
  const QPainterPath dev = ToDevice().map(logical);
  for (int i = 0; i < dev.elementCount(); ++i) {
    const QPainterPath::Element e = dev.elementAt(i);
    if (!Finite(e.x) || !Finite(e.y)) return;
    switch (e.type) {
      case QPainterPath::MoveToElement:
        if (!(connect && i == 0 && !path_.isEmpty() &&
              QLineF(path_.currentPosition(), QPointF(e.x, e.y)).length() < 1e-6))
          path_.moveTo(e.x, e.y);
        break;
      case QPainterPath::LineToElement:
        path_.lineTo(e.x, e.y);
        break;
      case QPainterPath::CurveToElement:
        if (i + 2 < dev.elementCount()) {
          const auto c2 = dev.elementAt(i + 1), end = dev.elementAt(i + 2);
          path_.cubicTo(QPointF(e.x, e.y), QPointF(c2.x, c2.y), QPointF(end.x, end.y));
          i += 2;
        }
        break;
      default:
        break;
    }
  }
}

// ---- poly records ----

void Player::Poly(uint32_t type, const LeReader& r, bool small) {
  if (r.size() < 28) return;
  const uint64_t count = r.U32(24);
  const uint64_t each = small ? 4 : 8;
  if (!r.Has(28, count * each) || count == 0) return;
  std::vector<QPointF> pts(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t o = 28 + i * each;
    pts[i] = small ? QPointF(r.I16(o), r.I16(o + 2)) : QPointF(r.I32(o), r.I32(o + 4));
  }
  const uint32_t base = small ? type - (kPolyBezier16 - kPolyBezier) : type;
  QPainterPath path;
  switch (base) {
    case kPolygon:
    case kPolyline:
      path.moveTo(pts[0]);
      for (size_t i = 1; i < pts.size(); ++i) path.lineTo(pts[i]);
      if (base == kPolygon) {
        if (pts.size() < 2) return;
        path.closeSubpath();
      }
      DrawShape(path, base == kPolygon, true);
      return;
    case kPolyBezier:
      if ((pts.size() - 1) % 3) return;
      path.moveTo(pts[0]);
      for (size_t i = 1; i + 2 < pts.size(); i += 3) path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
      DrawShape(path, false, true);
      return;
    case kPolylineTo:
    case kPolyBezierTo:
      if (base == kPolyBezierTo && pts.size() % 3) return;
      path.moveTo(state_.position);
      if (base == kPolylineTo) {
        for (const QPointF& p : pts) path.lineTo(p);
      } else {
        for (size_t i = 0; i + 2 < pts.size(); i += 3) path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
      }
      state_.position = pts.back();
      if (in_path_) {
        AppendToPath(path, true);
      } else {
        DrawShape(path, false, true);
      }
      return;
    default:
      return;
  }
}

void Player::PolyPoly(uint32_t type, const LeReader& r, bool small) {
  if (r.size() < 32) return;
  const uint64_t polys = r.U32(24);
  const uint64_t total = r.U32(28);
  const uint64_t each = small ? 4 : 8;
  if (!r.Has(32, polys * 4)) return;
  const uint64_t pts_off = 32 + polys * 4;
  if (!r.Has(pts_off, total * each)) return;
  uint64_t sum = 0;
  for (uint64_t i = 0; i < polys; ++i) sum += r.U32(32 + 4 * i);
  if (sum != total) return;
  QPainterPath path;
  uint64_t k = 0;
  for (uint64_t i = 0; i < polys; ++i) {
    const uint64_t n = r.U32(32 + 4 * i);
    for (uint64_t j = 0; j < n; ++j, ++k) {
      const uint64_t o = pts_off + k * each;
      const QPointF p = small ? QPointF(r.I16(o), r.I16(o + 2)) : QPointF(r.I32(o), r.I32(o + 4));
      if (j == 0) path.moveTo(p); else path.lineTo(p);
    }
    if (n > 0 && (type == kPolyPolygon || type == kPolyPolygon16)) path.closeSubpath();
  }
  const bool polygon = type == kPolyPolygon || type == kPolyPolygon16;
  DrawShape(path, polygon, true);
}

void Player::PolyDraw(const LeReader& r, bool small) {
  if (r.size() < 28) return;
  const uint64_t count = r.U32(24);
  const uint64_t each = small ? 4 : 8;
  if (!r.Has(28, count * each) || !r.Has(28 + count * each, count)) return;
  const uint64_t types = 28 + count * each;
  QPainterPath path;
  path.moveTo(state_.position);
  QPointF figure_start = state_.position;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t o = 28 + i * each;
    const QPointF p = small ? QPointF(r.I16(o), r.I16(o + 2)) : QPointF(r.I32(o), r.I32(o + 4));
    const uint8_t t = r.U8(types + i);
    switch (t & ~1u) {
      case 6:  // PT_MOVETO
        path.moveTo(p);
        figure_start = p;
        break;
      case 2:  // PT_LINETO
        path.lineTo(p);
        break;
      case 4: {  // PT_BEZIERTO, three points
        if (i + 2 >= count) return;
        const uint64_t o2 = o + each, o3 = o + 2 * each;
        const QPointF p2 = small ? QPointF(r.I16(o2), r.I16(o2 + 2)) : QPointF(r.I32(o2), r.I32(o2 + 4));
        const QPointF p3 = small ? QPointF(r.I16(o3), r.I16(o3 + 2)) : QPointF(r.I32(o3), r.I32(o3 + 4));
        path.cubicTo(p, p2, p3);
        i += 2;
        if (r.U8(types + i) & 1) path.lineTo(figure_start);
        state_.position = p3;
        continue;
      }
      default:
        return;  // unknown point type: the record is unsound
    }
    if (t & 1) path.lineTo(figure_start);  // PT_CLOSEFIGURE
    state_.position = p;
  }
  if (in_path_) {
    AppendToPath(path, true);
  } else {
    DrawShape(path, false, true);
  }
}

void Player::ArcLike(uint32_t type, const LeReader& r) {
  if (r.size() < 40) return;
  const QRectF box = RectAt(r, 8);
  const QPointF start(r.I32(24), r.I32(28)), end(r.I32(32), r.I32(36));
  const double rx = box.width() / 2, ry = box.height() / 2;
  if (rx <= 0 || ry <= 0) return;
  const QPointF c = box.center();
  auto angle = [&](QPointF p) {
    return std::atan2(-(p.y() - c.y()) / ry, (p.x() - c.x()) / rx) * 180.0 / M_PI;
  };
  const double a0 = angle(start), a1 = angle(end);
  double sweep = a1 - a0;
  if (state_.arc_direction == 2) {  // clockwise
    while (sweep >= 0) sweep -= 360;
  } else {
    while (sweep <= 0) sweep += 360;
  }
  QPainterPath path;
  switch (type) {
    case kArc:
      path.arcMoveTo(box, a0);
      path.arcTo(box, a0, sweep);
      DrawShape(path, false, true);
      break;
    case kArcTo:
      path.moveTo(state_.position);
      path.arcTo(box, a0, sweep);
      state_.position = path.currentPosition();
      if (in_path_) AppendToPath(path, true); else DrawShape(path, false, true);
      break;
    case kChord:
      path.arcMoveTo(box, a0);
      path.arcTo(box, a0, sweep);
      path.closeSubpath();
      DrawShape(path, true, true);
      break;
    case kPie:
      path.moveTo(c);
      path.arcTo(box, a0, sweep);
      path.closeSubpath();
      DrawShape(path, true, true);
      break;
  }
}

void Player::AngleArc(const LeReader& r) {
  if (r.size() < 28) return;
  const QPointF c(r.I32(8), r.I32(12));
  const double radius = r.U32(16);
  const double start = r.F32(20), sweep = r.F32(24);
  if (!Finite(start) || !Finite(sweep) || radius > 1e8) return;
  const QRectF box(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius);
  QPainterPath path;
  path.moveTo(state_.position);
  path.arcTo(box, start, std::clamp(sweep, -3600.0, 3600.0));
  state_.position = path.currentPosition();
  if (in_path_) AppendToPath(path, true); else DrawShape(path, false, true);
}

// ---- mapping ----

void Player::SetMapMode(int mode) {
  if (mode < kMmText || mode > kMmAnisotropic) return;
  state_.map_mode = mode;
  // Fixed modes define the extents from the reference device, as the isotropic
  // and anisotropic modes then start from them.
  double units_per_mm = 0;
  switch (mode) {
    case kMmText:
      state_.window_ext = state_.viewport_ext = {1, 1};
      return;
    case kMmLoMetric: units_per_mm = 10; break;
    case kMmHiMetric: units_per_mm = 100; break;
    case kMmLoEnglish: units_per_mm = 100 / 25.4; break;
    case kMmHiEnglish: units_per_mm = 1000 / 25.4; break;
    case kMmTwips: units_per_mm = 1440 / 25.4; break;
    default: return;
  }
  state_.window_ext = {units_per_mm, units_per_mm};
  state_.viewport_ext = {px_per_mm_.x(), -px_per_mm_.y()};
}

// ---- clipping ----

QRegion Player::TargetRegionOfLogicalRect(const QRectF& rect) const {
  const QTransform t = ToTarget();
  if (!SaneTransform(t)) return {};
  if (t.type() <= QTransform::TxScale) {
    const QRectF m = t.mapRect(rect).intersected(QRectF(bounds_));
    if (m.isEmpty()) return {};
    const QPoint tl(static_cast<int>(std::lround(m.left())), static_cast<int>(std::lround(m.top())));
    const QPoint br(static_cast<int>(std::lround(m.right())), static_cast<int>(std::lround(m.bottom())));
    if (br.x() <= tl.x() || br.y() <= tl.y()) return {};
    return QRegion(QRect(tl, QPoint(br.x() - 1, br.y() - 1)));
  }
  return TargetRegion(t.map(QPolygonF(rect)), Qt::OddEvenFill);
}

void Player::ClipRect(const LeReader& r, bool exclude) {
  if (r.size() < 24) return;
  const QRegion region = TargetRegionOfLogicalRect(RectAt(r, 8));
  CombineClip(region, exclude ? 4 : 1, false);
}

// Combines `region` (target pixels) into the clip: 1 AND, 2 OR, 3 XOR, 4 DIFF, 5 COPY.
void Player::CombineClip(const QRegion& region, uint32_t mode, bool reset_when_empty) {
  const QRegion kAll(bounds_);
  switch (mode) {
    case 1:
      state_.clip = state_.clip ? state_.clip->intersected(region) : region;
      break;
    case 2:
      if (state_.clip) state_.clip = state_.clip->united(region);
      break;
    case 3:
      state_.clip = (state_.clip ? *state_.clip : kAll).xored(region);
      break;
    case 4:
      state_.clip = (state_.clip ? *state_.clip : kAll).subtracted(region);
      break;
    case 5:
      if (reset_when_empty) state_.clip.reset(); else state_.clip = region;
      break;
    default:
      return;
  }
  clip_dirty_ = true;
}

std::optional<std::vector<QRect>> Player::ReadRegion(const LeReader& r, uint64_t off, uint64_t size) {
  if (size < 32 || !r.Has(off, size)) return std::nullopt;
  const uint64_t count = r.U32(off + 8);
  if (count > (size - 32) / 16) return std::nullopt;
  std::vector<QRect> rects;
  rects.reserve(static_cast<size_t>(count));
  const auto c = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, -(1 << 28), 1 << 28)); };
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t o = off + 32 + i * 16;
    const int32_t l = r.I32(o), t = r.I32(o + 4), rt = r.I32(o + 8), b = r.I32(o + 12);
    if (rt <= l || b <= t) continue;
    rects.emplace_back(QPoint(c(l), c(t)), QPoint(c(int64_t(rt) - 1), c(int64_t(b) - 1)));
  }
  return rects;
}

void Player::SelectClipPath(uint32_t mode) {
  QPainterPath target = playback_.map(path_);
  path_ = QPainterPath();
  in_path_ = false;
  if (!SaneRect(target.boundingRect())) return;
  target.setFillRule(state_.fill_mode == 2 ? Qt::WindingFill : Qt::OddEvenFill);
  CombineClip(MaskRegion(target.boundingRect(), [&](QPainter& p) { p.drawPath(target); }), mode, false);
}

// ---- objects ----

void Player::ExtCreatePen(const LeReader& r) {
  if (r.size() < 52) return;
  const uint32_t index = r.U32(8);
  const uint32_t style = r.U32(28);
  const uint32_t width = r.U32(32);
  const uint32_t brush_style = r.U32(36);
  const uint32_t entries = r.U32(48);
  PenObj p;
  p.style = static_cast<int>(style & 0x0F);
  p.cosmetic = (style & 0x00010000) == 0;
  p.width = p.cosmetic ? 0 : width;
  p.colour = ColourRef(r.U32(40));
  p.null = brush_style == 1 || p.style == 5;
  switch (style & 0x0F00) {
    case 0x0100: p.cap = Qt::SquareCap; break;
    case 0x0200: p.cap = Qt::FlatCap; break;
    default: p.cap = Qt::RoundCap; break;
  }
  switch (style & 0xF000) {
    case 0x1000: p.join = Qt::BevelJoin; break;
    case 0x2000: p.join = Qt::MiterJoin; break;
    default: p.join = Qt::RoundJoin; break;
  }
  if (p.style == 7) {
    if (entries > kMaxDashes || !r.Has(52, uint64_t{entries} * 4)) return;
    for (uint32_t i = 0; i < entries; ++i) p.dashes.push_back(r.U32(52 + 4 * i));
  }
  Store(index, std::move(p));
}

void Player::CreateFont(const LeReader& r) {
  if (r.size() < 104) return;
  FontObj f;
  f.height = r.I32(12);
  f.width = r.I32(16);
  f.escapement = r.I32(20);
  f.weight = r.I32(28);
  f.italic = r.U8(32) != 0;
  f.underline = r.U8(33) != 0;
  f.strikeout = r.U8(34) != 0;
  f.charset = r.U8(35);
  f.pitch_and_family = r.U8(39);
  for (int i = 0; i < 32; ++i) {
    const uint16_t c = r.U16(40 + 2 * i);
    if (c == 0) break;
    f.face.append(QChar(c));
  }
  Store(r.U32(8), std::move(f));
}

void Player::CreatePatternBrush(const LeReader& r, bool mono) {
  if (r.size() < 32) return;
  const uint32_t usage = r.U32(12);
  const uint32_t off_bmi = r.U32(16), cb_bmi = r.U32(20), off_bits = r.U32(24), cb_bits = r.U32(28);
  if (!r.Has(off_bmi, cb_bmi) || !r.Has(off_bits, cb_bits) || cb_bmi == 0) return;
  BrushObj b;
  b.style = mono ? 3 : 5;
  b.usage = mono ? 0 : usage;
  const auto info = r.Sub(off_bmi, cb_bmi);
  const auto bits = r.Sub(off_bits, cb_bits);
  b.info.assign(info.begin(), info.end());
  b.bits.assign(bits.begin(), bits.end());
  b.mono = mono;
  Store(r.U32(8), std::move(b));
}

// ---- text ----

void Player::ExtTextOutW(const LeReader& r) {
  if (r.size() < 76) return;
  QPointF ref(r.I32(36), r.I32(40));
  const uint64_t n = r.U32(44);
  const uint64_t off_string = r.U32(48);
  const uint32_t options = r.U32(52);
  const bool has_rect = (options & kEtoNoRect) == 0;
  const QRectF rect = has_rect ? RectAt(r, 56) : QRectF();
  const uint64_t off_dx = r.U32(has_rect ? 72 : 56);
  if (!r.Has(off_string, n * 2)) return;
  const bool pdy = (options & kEtoPdy) != 0;
  std::vector<double> dx, dy;
  if (off_dx != 0 && n > 0) {
    if (!r.Has(off_dx, n * (pdy ? 8 : 4))) return;
    dx.resize(n);
    if (pdy) dy.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
      dx[i] = r.I32(off_dx + i * (pdy ? 8 : 4));
      if (pdy) dy[i] = r.I32(off_dx + i * 8 + 4);
    }
  }
  if (in_path_) return;  // glyph outlines in paths are not drawn
  const QTransform to_target = ToTarget();
  if (!SaneTransform(to_target)) return;

  if ((options & kEtoOpaque) && has_rect && SaneRect(to_target.mapRect(rect))) {
    QPainterPath p;
    p.addRect(rect);
    FillTargetArea(p, to_target, QBrush(state_.bk_colour), QPainter::CompositionMode_SourceOver);
  }
  if (n == 0 || (options & kEtoGlyphIndex)) return;
  const FontObj* font = std::get_if<FontObj>(state_.font.get());
  if (!font) return;

  QString text;
  text.reserve(static_cast<qsizetype>(n));
  for (uint64_t i = 0; i < n; ++i) text.append(QChar(r.U16(off_string + 2 * i)));
  text = MapSymbolText(font->face, text);

  // Where the logical axes land on the device: glyphs stay upright whatever the
  // mapping does to the y axis, as the system draws them.
  const QTransform dev = ToDevice();
  const QPointF o = dev.map(QPointF(0, 0));
  const QPointF ex = dev.map(QPointF(1, 0)) - o, ey = dev.map(QPointF(0, 1)) - o;
  const double sx = std::hypot(ex.x(), ex.y()), sy = std::hypot(ey.x(), ey.y());
  if (sx <= 0 || sy <= 0 || !Finite(sx) || !Finite(sy)) return;
  const bool flip = ex.x() * ey.y() - ex.y() * ey.x() < 0;
  const double theta = std::atan2(ex.y(), ex.x()) * 180.0 / M_PI;

  // Font size in device pixels.
  double em = font->height < 0 ? -double(font->height) : double(font->height);
  if (font->height == 0) em = 12;
  em *= sy;
  if (!Finite(em) || em <= 0 || em > 1e5) return;

  const auto key = std::make_pair(state_.font.get(), em);
  auto cached = font_cache_.find(key);
  if (cached == font_cache_.end()) {
    if (font_cache_.size() > 256) font_cache_.clear();
    QFont qf;
    qf.setFamilies(FamiliesForFace(font->face, font->pitch_and_family));
    qf.setPixelSize(std::max(1, static_cast<int>(std::lround(std::min(em, 10000.0)))));
    qf.setWeight(static_cast<QFont::Weight>(std::clamp(font->weight <= 0 ? 400 : font->weight, 1, 1000)));
    qf.setItalic(font->italic);
    qf.setHintingPreference(QFont::PreferNoHinting);
    qf.setStyleStrategy(QFont::StyleStrategy(QFont::PreferOutline | QFont::NoFontMerging));
    QRawFont raw = QRawFont::fromFont(qf);
    QFont fb = qf;
    fb.setFamilies({QStringLiteral("DejaVu Sans")});
    QRawFont fallback = QRawFont::fromFont(fb);
    double size = em;
    if (font->height > 0 && raw.isValid()) {
      // A positive height is the cell height (ascent plus descent), not the em.
      raw.setPixelSize(em);
      const double cell = raw.ascent() + raw.descent();
      if (cell > 0) size = em * em / cell;
    }
    if (raw.isValid()) raw.setPixelSize(size);
    if (fallback.isValid()) fallback.setPixelSize(size);
    cached = font_cache_.emplace(key, std::make_pair(state_.font, std::make_pair(raw, fallback))).first;
  }
  const QRawFont& raw = cached->second.second.first;
  const QRawFont& fallback = cached->second.second.second;
  if (!raw.isValid()) return;

  // Horizontal stretch for a font asked at a given average width.
  double stretch = 1.0;
  if (font->width != 0 && raw.averageCharWidth() > 0) {
    stretch = std::clamp(std::fabs(double(font->width)) * sx / raw.averageCharWidth(), 0.05, 20.0);
  }

  // Glyphs, one per code point, positioned by the spacing array when there is one.
  struct Glyph {
    quint32 index;
    bool fallback;
    QPointF pos;
  };
  std::vector<Glyph> glyphs;
  glyphs.reserve(static_cast<size_t>(n));
  double x = 0, y = 0;
  for (qsizetype i = 0; i < text.size();) {
    const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
    const qsizetype len = pair ? 2 : 1;
    const QString one = text.mid(i, len);
    const QList<quint32> idx = raw.glyphIndexesForString(one);
    quint32 g = idx.isEmpty() ? 0 : idx[0];
    bool fb = false;
    if (g == 0 && fallback.isValid()) {
      const QList<quint32> f = fallback.glyphIndexesForString(one);
      if (!f.isEmpty() && f[0] != 0) {
        g = f[0];
        fb = true;
      }
    }
    glyphs.push_back({g, fb, QPointF(x, y)});
    double advance = 0, rise = 0;
    if (!dx.empty()) {
      for (qsizetype k = i; k < i + len && k < qsizetype(dx.size()); ++k) {
        advance += dx[k] * sx;
        if (pdy) rise += dy[k] * sy * (flip ? -1 : 1);
      }
    } else {
      const QRawFont& f = fb ? fallback : raw;
      const QList<QPointF> adv = f.advancesForGlyphIndexes(QList<quint32>{g});
      advance = adv.isEmpty() ? 0 : adv[0].x() * stretch;
    }
    x += advance;
    y += rise;
    i += len;
  }
  const double total = x;

  // Alignment against the reference point (or the current position).
  const bool update_cp = (state_.text_align & kTaUpdateCp) != 0;
  if (update_cp) ref = state_.position;
  double x0 = 0;
  const uint32_t h_align = state_.text_align & 6;
  if (h_align == 6) x0 = -total / 2;
  else if (h_align == 2) x0 = -total;
  double base = 0;
  const uint32_t v_align = state_.text_align & 24;
  if (v_align == 24) base = 0;
  else if (v_align == 8) base = -raw.descent();
  else base = raw.ascent();
  if (update_cp) {
    const double logical_total = total / sx;
    if (h_align == 0) state_.position.rx() += logical_total;
    else if (h_align == 2) state_.position.rx() -= logical_total;
  }

  QTransform local;
  const QPointF p = dev.map(ref);
  local.translate(p.x(), p.y());
  local.rotate(theta - font->escapement / 10.0);
  const QTransform glyph_space = QTransform::fromScale(stretch, 1) * local * playback_;
  if (!SaneTransform(glyph_space)) return;
  const QRectF extent(x0, base - raw.ascent(), total, raw.ascent() + raw.descent());
  if (!SaneRect((local * playback_).mapRect(extent))) return;

  ApplyClip();
  painter_.save();
  if ((options & kEtoClipped) && has_rect) {
    painter_.setTransform(to_target);
    painter_.setClipRect(rect, painter_.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
  }
  if (state_.bk_mode == 2) {
    painter_.setTransform(local * playback_);
    painter_.fillRect(extent, state_.bk_colour);
  }
  painter_.setTransform(glyph_space);
  painter_.setPen(state_.text_colour);
  // Glyph size on the target along each axis. The glyph cache wants sane sizes:
  // invisible glyphs are left out, and huge or strongly distorted ones are
  // drawn as outlines.
  const double size = raw.pixelSize();
  const double gx = size * std::hypot(glyph_space.m11(), glyph_space.m12());
  const double gy = size * std::hypot(glyph_space.m21(), glyph_space.m22());
  const double area = size * size * std::fabs(glyph_space.determinant());
  const bool outlines = std::max(gx, gy) > 512 || area < 0.25 * gx * gy || std::max(gx, gy) > 8 * std::min(gx, gy);
  const bool visible = std::min(gx, gy) >= 0.5 && Finite(gx) && Finite(gy);
  for (int pass = 0; visible && pass < 2; ++pass) {
    QList<quint32> indexes;
    QList<QPointF> positions;
    for (const Glyph& g : glyphs) {
      if (g.fallback != (pass == 1)) continue;
      indexes.append(g.index);
      positions.append(QPointF(g.pos.x() / stretch, g.pos.y()));
    }
    if (indexes.isEmpty()) continue;
    if (outlines) {
      const QRawFont& f = pass == 0 ? raw : fallback;
      QPainterPath outline;
      for (qsizetype k = 0; k < indexes.size(); ++k)
        outline.addPath(f.pathForGlyph(indexes[k]).translated(positions[k] + QPointF(x0 / stretch, base)));
      painter_.fillPath(outline, state_.text_colour);
      continue;
    }
    QGlyphRun run;
    run.setRawFont(pass == 0 ? raw : fallback);
    run.setGlyphIndexes(indexes);
    run.setPositions(positions);
    run.setUnderline(font->underline);
    run.setStrikeOut(font->strikeout);
    // Decorations follow the run's origin, so the origin is the baseline's start.
    painter_.drawGlyphRun(QPointF(x0 / stretch, base), run);
  }
  painter_.restore();
  clip_dirty_ = true;  // restore() brought back the painter's clip; keep ours in step
}

// ---- bitmaps ----

QImage Player::DecodeFromRecord(const LeReader& r, uint64_t off_bmi, uint64_t cb_bmi, uint64_t off_bits,
                                uint64_t cb_bits, uint32_t usage, int64_t scan_lines) {
  if (cb_bmi == 0 || !r.Has(off_bmi, cb_bmi) || !r.Has(off_bits, cb_bits)) return {};
  const auto info = r.Sub(off_bmi, cb_bmi);
  const auto hdr = ParseDibHeader(info);
  if (!hdr) return {};
  const uint64_t px = uint64_t(hdr->width) * uint64_t(hdr->height);
  if (px > pixel_budget_) return {};
  pixel_budget_ -= px;
  DibDecodeOptions opt;
  opt.scan_lines = scan_lines;
  std::vector<QRgb> pal;
  if (usage == 1) {
    pal = PaletteEntries();
    opt.palette_indexes = true;
    opt.palette = pal;
  }
  return DecodeDib(info, r.Sub(off_bits, cb_bits), opt);
}

void Player::DrawBitmap(const QRectF& dest, const QImage& img, QRectF src, uint32_t rop) {
  if (in_path_) return;
  if (src.width() == 0 || src.height() == 0 || dest.width() == 0 || dest.height() == 0) return;
  // Source rectangle onto destination rectangle, then logical onto target.
  const QTransform t = QTransform::fromTranslate(-src.x(), -src.y()) *
                       QTransform::fromScale(dest.width() / src.width(), dest.height() / src.height()) *
                       QTransform::fromTranslate(dest.x(), dest.y()) * ToTarget();
  if (!SaneTransform(t)) return;
  src = src.normalized();
  const QRectF target_rect = t.mapRect(src);
  if (!SaneRect(target_rect)) return;
  const bool uses_source = (((rop >> 2) ^ rop) & 0x00330000) != 0;
  ApplyClip();
  painter_.setTransform(t);
  QPainterPath area;
  area.addRect(src);
  const uint32_t code = (rop >> 16) & 0xFF;
  if (!uses_source || img.isNull()) {
    switch (code) {
      case 0x00: FillTargetArea(area, t, QBrush(Qt::black), QPainter::CompositionMode_SourceOver); return;
      case 0xFF: FillTargetArea(area, t, QBrush(Qt::white), QPainter::CompositionMode_SourceOver); return;
      case 0x55: FillTargetArea(area, t, QBrush(Qt::white), QPainter::RasterOp_NotDestination); return;
      case 0xAA: return;  // destination unchanged
      case 0xF0:
      case 0x5A: {
        const BrushObj* b = Brush();
        if (!b) return;
        auto brush = MakeBrush(*b, t);
        if (!brush) return;
        FillTargetArea(area, t, *brush,
                       code == 0x5A ? QPainter::RasterOp_SourceXorDestination
                                    : QPainter::CompositionMode_SourceOver);
        return;
      }
      default:
        return;
    }
  }
  const QRectF inside = src.intersected(QRectF(img.rect()));
  if (inside.isEmpty()) return;
  QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver;
  QImage source = img;
  switch (code) {
    case 0x88: mode = QPainter::RasterOp_SourceAndDestination; break;  // SRCAND
    case 0xEE: mode = QPainter::RasterOp_SourceOrDestination; break;   // SRCPAINT
    case 0x66: mode = QPainter::RasterOp_SourceXorDestination; break;  // SRCINVERT
    case 0x33: source.invertPixels(); break;                           // NOTSRCCOPY
    default: break;
  }
  painter_.setCompositionMode(mode);
  painter_.drawImage(inside, source, inside);
  painter_.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void Player::Blt(uint32_t type, const LeReader& r) {
  switch (type) {
    case kBitBlt:
    case kStretchBlt: {
      const bool stretch = type == kStretchBlt;
      if (r.size() < (stretch ? 108u : 100u)) return;
      const QRectF dest(r.I32(24), r.I32(28), r.I32(32), r.I32(36));
      const uint32_t rop = r.U32(40);
      const double xs = r.I32(44), ys = r.I32(48);
      const uint32_t usage = r.U32(80);
      const uint32_t off_bmi = r.U32(84), cb_bmi = r.U32(88), off_bits = r.U32(92), cb_bits = r.U32(96);
      const double cxs = stretch ? r.I32(100) : dest.width();
      const double cys = stretch ? r.I32(104) : dest.height();
      QImage img;
      if (cb_bmi != 0) {
        img = DecodeFromRecord(r, off_bmi, cb_bmi, off_bits, cb_bits, usage, -1);
        if (img.isNull()) return;
      }
      DrawBitmap(dest, img, QRectF(xs, ys, cxs, cys), rop);
      return;
    }
    case kStretchDiBits: {
      if (r.size() < 80) return;
      const double xd = r.I32(24), yd = r.I32(28), xs = r.I32(32), ys = r.I32(36);
      const double cxs = r.I32(40), cys = r.I32(44);
      const uint32_t off_bmi = r.U32(48), cb_bmi = r.U32(52), off_bits = r.U32(56), cb_bits = r.U32(60);
      const uint32_t usage = r.U32(64), rop = r.U32(68);
      const double cxd = r.I32(72), cyd = r.I32(76);
      QImage img;
      double top = ys;
      if (cb_bmi != 0) {
        img = DecodeFromRecord(r, off_bmi, cb_bmi, off_bits, cb_bits, usage, -1);
        if (img.isNull()) return;
        const auto hdr = ParseDibHeader(r.Sub(off_bmi, cb_bmi));
        // A bottom-up bitmap counts its source rows from the bottom.
        if (hdr && !hdr->top_down && hdr->compression != kBiJpeg && hdr->compression != kBiPng)
          top = img.height() - ys - cys;
      }
      DrawBitmap(QRectF(xd, yd, cxd, cyd), img, QRectF(xs, top, cxs, cys), rop);
      return;
    }
    case kSetDiBitsToDevice: {
      if (r.size() < 76) return;
      const double xd = r.I32(24), yd = r.I32(28), xs = r.I32(32), ys = r.I32(36);
      const double cxs = r.I32(40), cys = r.I32(44);
      const uint32_t off_bmi = r.U32(48), cb_bmi = r.U32(52), off_bits = r.U32(56), cb_bits = r.U32(60);
      const uint32_t usage = r.U32(64), start = r.U32(68), scans = r.U32(72);
      if (scans == 0 || cb_bmi == 0) return;
      const auto hdr = ParseDibHeader(r.Sub(off_bmi, cb_bmi));
      if (!hdr || hdr->compression == kBiJpeg || hdr->compression == kBiPng) return;
      const QImage img = DecodeFromRecord(r, off_bmi, cb_bmi, off_bits, cb_bits, usage, scans);
      if (img.isNull()) return;
      // The record carries scan lines start .. start + scans - 1 of the bitmap.
      const double rows = img.height();
      const double top = hdr->top_down ? ys - start : start + rows - ys - cys;
      DrawBitmap(QRectF(xd, yd, cxs, cys), img, QRectF(xs, top, cxs, cys), 0x00CC0020);
      return;
    }
  }
}

// ---- dispatch ----

void Player::Dispatch(uint32_t type, const LeReader& r) {
  const uint64_t size = r.size();
  switch (type) {
    case kPolyBezier:
    case kPolygon:
    case kPolyline:
    case kPolyBezierTo:
    case kPolylineTo:
      Poly(type, r, false);
      break;
    case kPolyBezier16:
    case kPolygon16:
    case kPolyline16:
    case kPolyBezierTo16:
    case kPolylineTo16:
      Poly(type, r, true);
      break;
    case kPolyPolyline:
    case kPolyPolygon:
      PolyPoly(type, r, false);
      break;
    case kPolyPolyline16:
    case kPolyPolygon16:
      PolyPoly(type, r, true);
      break;
    case kPolyDraw:
      PolyDraw(r, false);
      break;
    case kPolyDraw16:
      PolyDraw(r, true);
      break;
    case kSetWindowExtEx:
    case kSetViewportExtEx: {
      if (size < 16) break;
      const double cx = r.I32(8), cy = r.I32(12);
      if (cx == 0 || cy == 0) break;
      if (state_.map_mode != kMmIsotropic && state_.map_mode != kMmAnisotropic) break;
      (type == kSetWindowExtEx ? state_.window_ext : state_.viewport_ext) = QPointF(cx, cy);
      break;
    }
    case kSetWindowOrgEx:
    case kSetViewportOrgEx:
      if (size < 16) break;
      (type == kSetWindowOrgEx ? state_.window_org : state_.viewport_org) = QPointF(r.I32(8), r.I32(12));
      break;
    case kScaleViewportExtEx:
    case kScaleWindowExtEx: {
      if (size < 24) break;
      if (state_.map_mode != kMmIsotropic && state_.map_mode != kMmAnisotropic) break;
      const double xn = r.I32(8), xd = r.I32(12), yn = r.I32(16), yd = r.I32(20);
      if (xn == 0 || xd == 0 || yn == 0 || yd == 0) break;
      QPointF& ext = type == kScaleWindowExtEx ? state_.window_ext : state_.viewport_ext;
      const QPointF scaled(ext.x() * xn / xd, ext.y() * yn / yd);
      if (scaled.x() == 0 || scaled.y() == 0 || std::fabs(scaled.x()) > 1e12 || std::fabs(scaled.y()) > 1e12) break;
      ext = scaled;
      break;
    }
    case kSetPixelV: {
      if (size < 20 || in_path_) break;
      const QPointF d = ToDevice().map(QPointF(r.I32(8), r.I32(12)));
      if (!SaneRect(playback_.mapRect(QRectF(d, QSizeF(1, 1))))) break;
      QPainterPath p;
      p.addRect(QRectF(std::floor(d.x()), std::floor(d.y()), 1, 1));
      FillTargetArea(p, playback_, QBrush(ColourRef(r.U32(16))), QPainter::CompositionMode_SourceOver);
      break;
    }
    case kSetMapMode:
      if (size >= 12) SetMapMode(static_cast<int>(r.U32(8)));
      break;
    case kSetBkMode:
      if (size >= 12 && (r.U32(8) == 1 || r.U32(8) == 2)) state_.bk_mode = static_cast<int>(r.U32(8));
      break;
    case kSetPolyFillMode:
      if (size >= 12 && (r.U32(8) == 1 || r.U32(8) == 2)) state_.fill_mode = static_cast<int>(r.U32(8));
      break;
    case kSetRop2:
      if (size >= 12 && r.U32(8) >= 1 && r.U32(8) <= 16) state_.rop2 = static_cast<int>(r.U32(8));
      break;
    case kSetTextAlign:
      if (size >= 12) state_.text_align = r.U32(8);
      break;
    case kSetTextColor:
      if (size >= 12) state_.text_colour = ColourRef(r.U32(8));
      break;
    case kSetBkColor:
      if (size >= 12) state_.bk_colour = ColourRef(r.U32(8));
      break;
    case kSetArcDirection:
      if (size >= 12 && (r.U32(8) == 1 || r.U32(8) == 2)) state_.arc_direction = static_cast<int>(r.U32(8));
      break;
    case kOffsetClipRgn: {
      if (size < 16 || !state_.clip) break;
      const QTransform t = ToTarget();
      const QPointF v = t.map(QPointF(r.I32(8), r.I32(12))) - t.map(QPointF(0, 0));
      if (!Finite(v.x()) || !Finite(v.y()) || std::fabs(v.x()) > 1e8 || std::fabs(v.y()) > 1e8) break;
      state_.clip->translate(static_cast<int>(std::lround(v.x())), static_cast<int>(std::lround(v.y())));
      clip_dirty_ = true;
      break;
    }
    case kMoveToEx:
      if (size < 16) break;
      state_.position = QPointF(r.I32(8), r.I32(12));
      if (in_path_) path_.moveTo(ToDevice().map(state_.position));
      break;
    case kLineTo: {
      if (size < 16) break;
      const QPointF to(r.I32(8), r.I32(12));
      QPainterPath p;
      p.moveTo(state_.position);
      p.lineTo(to);
      state_.position = to;
      if (in_path_) AppendToPath(p, true); else DrawShape(p, false, true);
      break;
    }
    case kExcludeClipRect:
    case kIntersectClipRect:
      ClipRect(r, type == kExcludeClipRect);
      break;
    case kSaveDc:
      if (saved_.size() < kMaxSaveDepth) saved_.push_back(state_);
      break;
    case kRestoreDc: {
      if (size < 12) break;
      const int32_t n = r.I32(8);
      // Negative: that many levels back; positive: the absolute level.
      int64_t level = n < 0 ? int64_t(saved_.size()) + n : int64_t(n) - 1;
      if (n == 0 || level < 0 || level >= int64_t(saved_.size())) break;
      state_ = saved_[static_cast<size_t>(level)];
      saved_.resize(static_cast<size_t>(level));
      clip_dirty_ = true;
      break;
    }
    case kSetWorldTransform:
    case kModifyWorldTransform: {
      if (size < (type == kSetWorldTransform ? 32u : 36u)) break;
      const QTransform x(r.F32(8), r.F32(12), r.F32(16), r.F32(20), r.F32(24), r.F32(28));
      if (!SaneTransform(x)) break;
      const uint32_t mode = type == kSetWorldTransform ? 4 : r.U32(32);
      QTransform next;
      switch (mode) {
        case 1: next = QTransform(); break;
        case 2: next = x * state_.world; break;
        case 3: next = state_.world * x; break;
        case 4: next = x; break;
        default: return;
      }
      if (SaneTransform(next)) state_.world = next;
      break;
    }
    case kSelectObject: {
      if (size < 12) break;
      ObjPtr obj = Lookup(r.U32(8));
      if (!obj) break;
      if (std::holds_alternative<PenObj>(*obj)) state_.pen = obj;
      else if (std::holds_alternative<BrushObj>(*obj)) state_.brush = obj;
      else if (std::holds_alternative<FontObj>(*obj)) state_.font = obj;
      else state_.palette = obj;
      break;
    }
    case kSelectPalette: {
      if (size < 12) break;
      ObjPtr obj = Lookup(r.U32(8));
      if (obj && std::holds_alternative<PaletteObj>(*obj)) state_.palette = obj;
      break;
    }
    case kDeleteObject:
      if (size >= 12 && r.U32(8) > 0 && r.U32(8) < objects_.size()) objects_[r.U32(8)].reset();
      break;
    case kCreatePen: {
      if (size < 28) break;
      PenObj p;
      const uint32_t style = r.U32(12);
      p.style = static_cast<int>(style & 0x0F);
      p.null = p.style == 5;
      p.width = r.I32(16);
      p.cosmetic = p.width <= 1;
      p.colour = ColourRef(r.U32(24));
      Store(r.U32(8), std::move(p));
      break;
    }
    case kExtCreatePen:
      ExtCreatePen(r);
      break;
    case kCreateBrushIndirect: {
      if (size < 24) break;
      BrushObj b;
      b.style = static_cast<int>(r.U32(12));
      b.colour = ColourRef(r.U32(16));
      b.hatch = r.U32(20);
      if (b.style != 0 && b.style != 1 && b.style != 2) b.style = 0;
      Store(r.U32(8), std::move(b));
      break;
    }
    case kCreatePalette: {
      if (size < 16) break;
      const uint64_t count = r.U16(14);
      if (!r.Has(16, count * 4)) break;
      PaletteObj pal;
      for (uint64_t i = 0; i < count; ++i) pal.entries.push_back(qRgb(r.U8(16 + 4 * i), r.U8(17 + 4 * i), r.U8(18 + 4 * i)));
      Store(r.U32(8), std::move(pal));
      break;
    }
    case kCreateMonoBrush:
    case kCreateDibPatternBrushPt:
      CreatePatternBrush(r, type == kCreateMonoBrush);
      break;
    case kExtCreateFontIndirectW:
      CreateFont(r);
      break;
    case kAngleArc:
      AngleArc(r);
      break;
    case kEllipse:
    case kRectangle: {
      if (size < 24) break;
      const QRectF box = RectAt(r, 8);
      QPainterPath p;
      if (type == kEllipse) p.addEllipse(box); else p.addRect(box);
      DrawShape(p, true, true);
      break;
    }
    case kRoundRect: {
      if (size < 32) break;
      const QRectF box = RectAt(r, 8);
      QPainterPath p;
      p.addRoundedRect(box, std::fabs(double(r.I32(24))) / 2, std::fabs(double(r.I32(28))) / 2);
      DrawShape(p, true, true);
      break;
    }
    case kArc:
    case kChord:
    case kPie:
    case kArcTo:
      ArcLike(type, r);
      break;
    case kBeginPath:
      path_ = QPainterPath();
      in_path_ = true;
      break;
    case kEndPath:
      in_path_ = false;
      break;
    case kCloseFigure:
      if (in_path_) path_.closeSubpath();
      break;
    case kAbortPath:
      path_ = QPainterPath();
      in_path_ = false;
      break;
    case kFillPath:
    case kStrokeAndFillPath:
    case kStrokePath:
      if (in_path_) break;
      DrawDevicePath(path_, type != kStrokePath, type != kFillPath);
      path_ = QPainterPath();
      break;
    case kWidenPath:
      if (const PenObj* p = Pen(); p && !in_path_ && !path_.isEmpty()) {
        QPainterPathStroker stroker;
        stroker.setWidth(std::max(1.0, p->width * Scale(ToDevice())));
        stroker.setCapStyle(p->cap);
        stroker.setJoinStyle(p->join);
        if (SaneRect(path_.boundingRect())) path_ = stroker.createStroke(path_);
      }
      break;
    case kSelectClipPath:
      if (size >= 12 && !in_path_) SelectClipPath(r.U32(8));
      break;
    case kExtSelectClipRgn: {
      if (size < 16) break;
      const uint64_t cb = r.U32(8);
      const uint32_t mode = r.U32(12);
      if (cb == 0) {
        if (mode == 5) CombineClip(QRegion(), 5, true);
        break;
      }
      if (auto rects = ReadRegion(r, 16, cb)) CombineClip(TargetRegionOfDeviceRects(*rects), mode, false);
      break;
    }
    case kFillRgn: {
      if (size < 32 || in_path_) break;
      if (auto rects = ReadRegion(r, 32, r.U32(24))) FillDeviceRects(*rects, Lookup(r.U32(28)));
      break;
    }
    case kPaintRgn: {
      if (size < 28 || in_path_) break;
      if (auto rects = ReadRegion(r, 28, r.U32(24))) FillDeviceRects(*rects, state_.brush);
      break;
    }
    case kBitBlt:
    case kStretchBlt:
    case kStretchDiBits:
    case kSetDiBitsToDevice:
      Blt(type, r);
      break;
    case kExtTextOutW:
      ExtTextOutW(r);
      break;
    default:
      break;  // comments, palettes, colour management, records we do not draw
  }
}

uint32_t Player::Run() {
  const auto bytes = emf_.bytes();
  const EmfHeader& h = emf_.header();
  uint64_t limit = bytes.size();
  if (h.bytes >= 88 && h.bytes < limit) limit = h.bytes;
  LeReader all(bytes);
  uint64_t off = 0;
  while (off < limit) {
    if (limit - off < 8) return 13;
    const uint32_t type = all.U32(off);
    const uint32_t size = all.U32(off + 4);
    if (size < 8 || size % 4 != 0 || size > limit - off) return 13;
    if (type == kEof) return 0;
    if (off != 0 || type != kHeader) Dispatch(type, LeReader(all.Sub(off, size)));
    off += size;
  }
  return 0;
}

}  // namespace

std::optional<EnhMetaFile> EnhMetaFile::FromBytes(std::span<const uint8_t> bytes, uint32_t* error) {
  LeReader in(bytes);
  const uint32_t size = in.U32(4);
  if (!in.Has(0, 88) || in.U32(0) != kHeader || size < 88 || size % 4 != 0 || size > bytes.size() ||
      in.U32(40) != kEmfSignature) {
    if (error) *error = 13;
    return std::nullopt;
  }
  EnhMetaFile emf;
  emf.bytes_.assign(bytes.begin(), bytes.end());
  EmfHeader& h = emf.header_;
  auto rect = [&](uint64_t o) { return EmfRect{in.I32(o), in.I32(o + 4), in.I32(o + 8), in.I32(o + 12)}; };
  h.bounds = rect(8);
  h.frame = rect(24);
  h.version = in.U32(44);
  h.bytes = in.U32(48);
  h.records = in.U32(52);
  h.handles = in.U16(56);
  h.device = {in.I32(72), in.I32(76)};
  h.millimeters = {in.I32(80), in.I32(84)};
  if (size >= 108) h.micrometers = {in.I32(100), in.I32(104)};
  if (error) *error = 0;
  return emf;
}

uint32_t PlayEnhMetaFile(QPainter& painter, const EnhMetaFile& emf, const QRectF& target) {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return 50;
  const EmfHeader& h = emf.header();
  // The frame (hundredths of a millimetre) in reference-device pixels; the
  // bounds serve when the frame is empty.
  double mmx = 96.0 / 25.4, mmy = 96.0 / 25.4;
  if (h.device.cx > 0 && h.device.cy > 0) {
    if (h.micrometers.cx > 0 && h.micrometers.cy > 0) {
      mmx = h.device.cx * 1000.0 / h.micrometers.cx;
      mmy = h.device.cy * 1000.0 / h.micrometers.cy;
    } else if (h.millimeters.cx > 0 && h.millimeters.cy > 0) {
      mmx = double(h.device.cx) / h.millimeters.cx;
      mmy = double(h.device.cy) / h.millimeters.cy;
    }
  }
  QRectF frame(QPointF(h.frame.left * mmx / 100.0, h.frame.top * mmy / 100.0),
               QPointF(h.frame.right * mmx / 100.0, h.frame.bottom * mmy / 100.0));
  if (!(frame.width() > 0 && frame.height() > 0)) {
    frame = QRectF(QPointF(h.bounds.left, h.bounds.top),
                   QPointF(double(h.bounds.right) + 1, double(h.bounds.bottom) + 1));
  }
  if (!(frame.width() > 0 && frame.height() > 0) || target.isEmpty()) return 0;

  const QTransform playback = QTransform::fromTranslate(-frame.left(), -frame.top()) *
                              QTransform::fromScale(target.width() / frame.width(),
                                                    target.height() / frame.height()) *
                              QTransform::fromTranslate(target.left(), target.top()) *
                              painter.worldTransform();
  if (!SaneTransform(playback)) return 0;

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  Player player(painter, emf, playback);
  const uint32_t result = player.Run();
  painter.restore();
  return result;
}

}  // namespace vel::gfx
