// The texts of the crypto library's windows by label id, in English and
// Polish, and the lookup in the current language. The certificate texts of
// the core library (key usages) share these labels, so they live here.
//
// Texts are UTF-8 and live for the whole process.
#pragma once

#include <cstdint>
#include <span>

namespace vel::crypto::ui {

// What every id outside a table gives, in both languages.
inline constexpr const char* kNoLabelText = "__BLAD__ : Brak napisu.";
// What every id gives while the language word is neither English nor Polish.
inline constexpr const char* kUnknownLanguageText = "Unknown language set.";

// One row of a label table; tables are sorted by id.
struct LabelRow {
  uint32_t id;
  const char* en;
  const char* pl;
};

constexpr bool LabelRowsSorted(std::span<const LabelRow> rows) {
  for (size_t i = 1; i < rows.size(); ++i)
    if (rows[i - 1].id >= rows[i].id) return false;
  return true;
}

// The row of `id`, or nullptr.
const LabelRow* FindLabelRow(std::span<const LabelRow> rows, uint32_t id);

// The row's text in the current language (LanguageId): 1033 English, 1045
// Polish, any other word kUnknownLanguageText; a missing row gives the
// missing-row text of that language.
const char* LabelInLanguage(const LabelRow* row, const char* missing_en, const char* missing_pl);

// One table each; an id that is not in the table gives kNoLabelText.
const char* GetCertLabelEn(uint32_t id);
const char* GetCertLabelPl(uint32_t id);

// The label in the current language (LanguageId): 1033 English, 1045
// Polish, any other word kUnknownLanguageText.
const char* GetLibString(uint32_t id);

}  // namespace vel::crypto::ui
