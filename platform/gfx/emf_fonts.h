// The faces printed documents name (Windows fonts) mapped onto fonts installed
// here (Liberation, metric-compatible with the core Windows faces, and DejaVu),
// so that printed text keeps its size and width.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace vel::gfx {

// Families to try for a face name, best first; always ends with a family that
// is installed. `pitch_and_family` is the LOGFONT byte of that name, used for
// faces we do not know.
QStringList FamiliesForFace(const QString& face, uint8_t pitch_and_family);

// Text in the symbol faces (Symbol, Wingdings) is written with private-use
// code points (U+F020..U+F0FF) or their low bytes; returns it with the common
// characters (bullets, arrows, check marks, Greek letters) as Unicode.
// Other faces come back unchanged.
QString MapSymbolText(const QString& face, const QString& text);

}  // namespace vel::gfx
