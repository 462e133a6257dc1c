// The application's bilingual message catalog: every text the application
// shows is asked for by numeric id together with a Polish default, which is
// used when the chosen language has no text for the id.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vel::app {

// The caption of the application's message boxes, and the product title with
// its version that the window's own boxes and dialogs carry.
inline constexpr char kAppCaption[] = "Vellorum Sign";
inline constexpr char kProductTitle[] = "Vellorum Sign v.3.0.0.25";

// A language of the catalog. Texts are UTF-8, static, never freed.
class CMessageTextBase {
 public:
  virtual ~CMessageTextBase() = default;
  // The text of `id`, or nullptr when this language has none. The base answers
  // every id with a fixed localisation-error text.
  virtual const char* GetText(int id) const;
};

// Polish texts: ids 102..448, with gaps.
class CMessageTextPl final : public CMessageTextBase {
 public:
  const char* GetText(int id) const override;
};

// English texts: ids 102..444, with gaps.
class CMessageTextEn final : public CMessageTextBase {
 public:
  const char* GetText(int id) const override;
};

class CMessageTable {
 public:
  // 1033 chooses English; every other value (0 and unknown ones too) Polish.
  explicit CMessageTable(uint32_t languageId);
  virtual ~CMessageTable();
  CMessageTable(const CMessageTable&) = delete;
  CMessageTable& operator=(const CMessageTable&) = delete;

  // Sets `out` to the text of `id` in the chosen language, or to
  // `polishDefault` when the language has none; returns `out`.
  std::string& Get(std::string& out, int id, const char* polishDefault) const;

  // Builds the text explaining a failed opening or decryption of a signed file
  // with status `code`; returns `out`. Status texts come from the crypto
  // library in the library's current language.
  std::string& FormatError(std::string& out, uint32_t code) const;

  // The system's text for an error, or the crypto library's when the system
  // has none, in the catalog's language.
  std::string ErrorText(uint32_t code) const;

  uint32_t GetLanguageId() const { return languageId_; }

 private:
  std::unique_ptr<CMessageTextBase> text_;
  uint32_t languageId_;
};

}  // namespace vel::app
