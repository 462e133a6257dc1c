// Showing the content of a signed file: a private copy under the signed
// name, then either a new instance of this program (for its own document
// types) or the desktop's application for the type. A type that runs
// (programs, scripts, desktop entries) is never started.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vel::app {

// Prefix of the temporary names of opened content.
inline constexpr char kContentPrefix[] = "tmpvr_";

// The last extension of a name or path, dot included, in lower case; empty
// when there is none.
std::string LowerExtension(std::string_view name);

// True for the extensions this program opens itself: .kdoc, .kmap, .vestpro, .p7.
bool IsOwnDocumentName(std::string_view name);

// The name a signed file's content is shown under when the message names
// none: the loaded path without its last extension (an ".xml" only when
// another extension stays), from after its last '/' or '\', with an
// extension cut at its first '_' (".pdf_signed" becomes ".pdf").
std::string ContentNameFromPath(std::string_view path);

// Writes the bytes as "tmpvr_" + name into a private folder and opens them.
// 0 on success (*copy_path, when given, gets the copy's path), else a Win32
// code: the write's, 31 (no application), 1260 (a type that runs, refused).
uint32_t OpenContentCopy(std::string_view name, std::span<const uint8_t> bytes,
                         std::string* copy_path = nullptr);

}  // namespace vel::app
