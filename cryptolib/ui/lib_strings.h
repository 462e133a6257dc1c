// The texts of the crypto library's certificate windows by label id, in
// English and Polish, and the lookup in the current language.
//
// Texts are UTF-8 and live for the whole process.
#pragma once

#include <cstdint>

namespace vel::crypto::ui {

// What every id outside a table gives, in both languages.
inline constexpr const char* kNoLabelText = "__BLAD__ : Brak napisu.";
// What every id gives while the language word is neither English nor Polish.
inline constexpr const char* kUnknownLanguageText = "Unknown language set.";

// One table each; an id that is not in the table gives kNoLabelText.
const char* GetCertLabelEn(uint32_t id);
const char* GetCertLabelPl(uint32_t id);

// The label in the current language (LanguageId): 1033 English, 1045
// Polish, any other word kUnknownLanguageText.
const char* GetLibString(uint32_t id);

}  // namespace vel::crypto::ui
