#include "platform/gfx/emf_fonts.h"

#include <array>
#include <utility>

namespace vel::gfx {

namespace {

constexpr char kSans[] = "Liberation Sans";
constexpr char kSansNarrow[] = "Liberation Sans Narrow";
constexpr char kSerif[] = "Liberation Serif";
constexpr char kMono[] = "Liberation Mono";
constexpr char kDejaVuSans[] = "DejaVu Sans";
constexpr char kDejaVuSerif[] = "DejaVu Serif";
constexpr char kDejaVuMono[] = "DejaVu Sans Mono";

struct FaceMap {
  const char* face;  // lower case
  const char* family;
};

// Liberation Sans, Serif and Mono share the advance widths of Arial, Times New
// Roman and Courier New; the other faces go to the closest installed shape.
constexpr std::array kFaces = {
    FaceMap{"arial", kSans},
    FaceMap{"helvetica", kSans},
    FaceMap{"arial unicode ms", kSans},
    FaceMap{"microsoft sans serif", kSans},
    FaceMap{"ms sans serif", kSans},
    FaceMap{"ms shell dlg", kSans},
    FaceMap{"ms shell dlg 2", kSans},
    FaceMap{"segoe ui", kSans},
    FaceMap{"tahoma", kSans},
    FaceMap{"calibri", kSans},
    FaceMap{"candara", kSans},
    FaceMap{"corbel", kSans},
    FaceMap{"trebuchet ms", kSans},
    FaceMap{"century gothic", kSans},
    FaceMap{"franklin gothic medium", kSans},
    FaceMap{"lucida sans unicode", kSans},
    FaceMap{"system", kSans},
    FaceMap{"arial narrow", kSansNarrow},
    FaceMap{"verdana", kDejaVuSans},
    FaceMap{"times new roman", kSerif},
    FaceMap{"times", kSerif},
    FaceMap{"ms serif", kSerif},
    FaceMap{"georgia", kSerif},
    FaceMap{"cambria", kSerif},
    FaceMap{"garamond", kSerif},
    FaceMap{"book antiqua", kSerif},
    FaceMap{"palatino linotype", kSerif},
    FaceMap{"century schoolbook", kSerif},
    FaceMap{"bookman old style", kSerif},
    FaceMap{"courier new", kMono},
    FaceMap{"courier", kMono},
    FaceMap{"lucida console", kMono},
    FaceMap{"consolas", kMono},
    FaceMap{"fixedsys", kMono},
    FaceMap{"terminal", kMono},
    FaceMap{"symbol", kDejaVuSans},
    FaceMap{"wingdings", kDejaVuSans},
};

// The Symbol face's own encoding: the characters documents print with it.
constexpr std::array<std::pair<uint8_t, char16_t>, 64> kSymbol = {{
    {0x22, u'\u2200'}, {0x24, u'\u2203'}, {0x27, u'\u220B'}, {0x2D, u'\u2212'},
    {0x40, u'\u2245'}, {0x41, u'\u0391'}, {0x42, u'\u0392'}, {0x43, u'\u03A7'},
    {0x44, u'\u0394'}, {0x45, u'\u0395'}, {0x46, u'\u03A6'}, {0x47, u'\u0393'},
    {0x48, u'\u0397'}, {0x49, u'\u0399'}, {0x4B, u'\u039A'}, {0x4C, u'\u039B'},
    {0x4D, u'\u039C'}, {0x4E, u'\u039D'}, {0x4F, u'\u039F'}, {0x50, u'\u03A0'},
    {0x51, u'\u0398'}, {0x52, u'\u03A1'}, {0x53, u'\u03A3'}, {0x54, u'\u03A4'},
    {0x55, u'\u03A5'}, {0x57, u'\u03A9'}, {0x58, u'\u039E'}, {0x59, u'\u03A8'},
    {0x5A, u'\u0396'}, {0x61, u'\u03B1'}, {0x62, u'\u03B2'}, {0x63, u'\u03C7'},
    {0x64, u'\u03B4'}, {0x65, u'\u03B5'}, {0x66, u'\u03C6'}, {0x67, u'\u03B3'},
    {0x68, u'\u03B7'}, {0x69, u'\u03B9'}, {0x6B, u'\u03BA'}, {0x6C, u'\u03BB'},
    {0x6D, u'\u03BC'}, {0x6E, u'\u03BD'}, {0x6F, u'\u03BF'}, {0x70, u'\u03C0'},
    {0x71, u'\u03B8'}, {0x72, u'\u03C1'}, {0x73, u'\u03C3'}, {0x74, u'\u03C4'},
    {0x75, u'\u03C5'}, {0x77, u'\u03C9'}, {0x78, u'\u03BE'}, {0x79, u'\u03C8'},
    {0x7A, u'\u03B6'}, {0xA3, u'\u2264'}, {0xA5, u'\u221E'}, {0xAE, u'\u2192'},
    {0xB0, u'\u00B0'}, {0xB1, u'\u00B1'}, {0xB3, u'\u2265'}, {0xB4, u'\u00D7'},
    {0xB7, u'\u2022'}, {0xB8, u'\u00F7'}, {0xB9, u'\u2260'}, {0xD6, u'\u221A'},
}};

constexpr std::array<std::pair<uint8_t, char16_t>, 14> kWingdings = {{
    {0x4A, u'\u263A'}, {0x6C, u'\u25CF'}, {0x6E, u'\u25A0'}, {0x6F, u'\u25A1'},
    {0x71, u'\u2751'}, {0x75, u'\u25C6'}, {0x76, u'\u2756'}, {0xA7, u'\u25AA'},
    {0xD8, u'\u27A2'}, {0xE8, u'\u2794'}, {0xFB, u'\u2718'}, {0xFC, u'\u2714'},
    {0xFD, u'\u2612'}, {0xFE, u'\u2611'},
}};

template <size_t N>
QString MapThrough(const std::array<std::pair<uint8_t, char16_t>, N>& table, const QString& text,
                   bool keep_ascii) {
  QString out;
  out.reserve(text.size());
  for (QChar ch : text) {
    char16_t c = ch.unicode();
    if (c >= 0xF020 && c <= 0xF0FF) c = static_cast<char16_t>(c - 0xF000);
    bool done = false;
    if (c < 0x100) {
      for (const auto& [code, uni] : table) {
        if (code == c) {
          out.append(QChar(uni));
          done = true;
          break;
        }
      }
    }
    if (!done) out.append((keep_ascii || c >= 0x100) ? QChar(c) : ch);
  }
  return out;
}

}  // namespace

QStringList FamiliesForFace(const QString& face, uint8_t pitch_and_family) {
  QString key = face.trimmed().toLower();
  if (key.startsWith(u'@')) key.remove(0, 1);  // vertical-writing variant of a face
  for (const auto& f : kFaces) {
    if (key == QLatin1String(f.face)) {
      if (f.family == kSerif) return {kSerif, kDejaVuSerif, kDejaVuSans};
      if (f.family == kMono) return {kMono, kDejaVuMono, kDejaVuSans};
      if (f.family == kDejaVuSans) return {kDejaVuSans, kSans};
      if (f.family == kSansNarrow) return {kSansNarrow, kSans, kDejaVuSans};
      return {kSans, kDejaVuSans};
    }
  }
  const uint8_t family = pitch_and_family & 0xF0;
  const uint8_t pitch = pitch_and_family & 0x03;
  if (pitch == 1 || family == 0x30) return {kMono, kDejaVuMono, kDejaVuSans};  // fixed pitch, modern
  if (family == 0x10) return {kSerif, kDejaVuSerif, kDejaVuSans};               // roman
  return {kSans, kDejaVuSans};
}

QString MapSymbolText(const QString& face, const QString& text) {
  const QString key = face.trimmed().toLower();
  if (key == QLatin1String("symbol")) return MapThrough(kSymbol, text, true);
  if (key == QLatin1String("wingdings")) return MapThrough(kWingdings, text, false);
  return text;
}

}  // namespace vel::gfx
