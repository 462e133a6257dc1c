// The texts of the XML signer window by label id, in English and Polish, and
// the lookup in the current language. Texts are UTF-8 and live for the whole
// process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vel::xades::ui {

// What an id outside the tables gives.
inline constexpr const char* kXmlNoLabelEn = "__ERROR__ : No label.";
inline constexpr const char* kXmlNoLabelPl = "__BLAD__ : Brak napisu.";

const char* GetXmlWndLabelEn(uint32_t id);
const char* GetXmlWndLabelPl(uint32_t id);

// The label in the current language (crypto::LanguageId): 1033 English,
// 1045 Polish, any other word "Unknown language set." for every id.
const char* GetXmlWndLabel(uint32_t id);

// A property table's name or value label in the current language. The hash
// and transform labels (1001, 1010) name their reference: "label (text)".
std::string GetXmlWndLabelEx(uint32_t id, const std::optional<std::string>& text);

}  // namespace vel::xades::ui
