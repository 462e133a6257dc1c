// Enhanced metafiles (EMF, the page pictures printers record) played onto a
// QPainter: our stand-in for the system's metafile handles and playback.
//
// The player walks the records of a metafile and draws what printed pages use:
// state records, pens, brushes, fonts and stock objects, lines, polygons and
// curves, rectangles, ellipses, arcs, chords and pies, paths and clipping, text
// and bitmaps. Comments and records it does not know are skipped. Every record
// size and every count inside a record is checked against the record, so a
// hostile metafile never makes it read outside its bytes.
//
// Drawing text needs a QGuiApplication (fonts); playback refuses to run without one.
#pragma once

#include <QRectF>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class QPainter;

namespace vel::gfx {

struct EmfRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct EmfSize {
  int32_t cx = 0, cy = 0;
};

// The metafile header record.
struct EmfHeader {
  EmfRect bounds;         // device units of the reference device, inclusive
  EmfRect frame;          // hundredths of a millimetre, inclusive
  uint32_t version = 0;
  uint32_t bytes = 0;     // size of the metafile as its header gives it
  uint32_t records = 0;
  uint16_t handles = 0;
  EmfSize device;         // reference device in pixels
  EmfSize millimeters;    // reference device in millimetres
  EmfSize micrometers;    // reference device in micrometres, 0 when the header has none
};

inline constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"

// A metafile held in memory: our counterpart of a metafile handle.
class EnhMetaFile {
 public:
  // Copies the bytes and checks the header. Fails (nullopt, *error = 13) when
  // the bytes do not start with a sound EMF header.
  static std::optional<EnhMetaFile> FromBytes(std::span<const uint8_t> bytes,
                                              uint32_t* error = nullptr);

  const EmfHeader& header() const { return header_; }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  EnhMetaFile() = default;
  std::vector<uint8_t> bytes_;
  EmfHeader header_;
};

// Plays the metafile into `target` (in the painter's coordinates): the
// header's frame is mapped onto the rectangle. Returns 0, 13 (ERROR_INVALID_DATA)
// when the record chain is broken (a record size that is not a multiple of 4,
// below 8, or past the end; playback stops there, what came before stays drawn),
// or 50 (ERROR_NOT_SUPPORTED) without a QGuiApplication. Records whose contents
// are unsound are skipped. The painter's state is restored afterwards.
uint32_t PlayEnhMetaFile(QPainter& painter, const EnhMetaFile& emf, const QRectF& target);

}  // namespace vel::gfx
