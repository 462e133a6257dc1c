// The texts of the CMS signer window by label id, in English and Polish, and
// the lookup in the current language. Texts are UTF-8 and live for the whole
// process.
#pragma once

#include <cstdint>

namespace vel::crypto::ui {

// What an id outside the tables gives.
inline constexpr const char* kCmsSignerNoLabelEn = "__ERR__ : Label not found.";
inline constexpr const char* kCmsSignerNoLabelPl = "__BLAD__ : Brak napisu.";

const char* GetCmsSignerLabelEn(uint32_t id);
const char* GetCmsSignerLabelPl(uint32_t id);

// The label in the current language (LanguageId): 1033 English, 1045
// Polish, any other word "Unknown language set." for every id.
const char* GetCmsSignerLabel(uint32_t id);

}  // namespace vel::crypto::ui
