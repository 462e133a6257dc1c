// Arbitrary bytes as the SignerInfo the CMS signer window shows (every row of
// its three pages in both languages, and what Show signature opens for a
// time-stamp row), as a signing-time or time-stamp value, and as a hex dump
// read back.
//
// The rows live in the window library, which links Qt; their two Qt-free
// sources are compiled in here so that this target needs only the core
// library.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cryptolib/ui/signer_info_labels.cpp"
#include "cryptolib/ui/signer_info_model.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::crypto;
  const std::span<const uint8_t> bytes(data, size);
  std::string text;
  ui::SigningTimeText(bytes, &text);
  ui::TimeStampRowText(bytes, &text);
  ui::HexDumpBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    LanguageId.store(language);
    const ui::SignerInfoModel model = ui::BuildSignerInfoModel(bytes);
    for (size_t row = 0; row < model.unsigned_attributes.size(); ++row) ui::TimeStampTreeForRow(model, row);
  }
  return 0;
}
