// Arbitrary bytes as the signature copy the XML signer window shows (every
// row of its three pages in both languages, and what Show Signature would
// open for each unsigned row), and as the texts its helpers read.
//
// The rows live in the window library, which links Qt; their Qt-free sources
// (and the CMS window's, whose time reader they use) are compiled in here so
// that this target needs only the engine.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cryptolib/ui/signer_info_labels.cpp"
#include "cryptolib/ui/signer_info_model.cpp"
#include "xades/ui/xml_signer_labels.cpp"
#include "xades/ui/xml_signer_model.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  if (size > 1 << 16) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ui::JoinRowText(text);
  ui::CommonNameOf(text);
  ui::SerialHexText(text);
  ui::TimeStampTimeText(text);
  for (uint32_t language : {vel::crypto::kLanguageEnglish, vel::crypto::kLanguagePolish}) {
    vel::crypto::LanguageId.store(language);
    const ui::XmlSignerInfoModel model = ui::BuildXmlSignerInfoModel(text, {data, size});
    // No window is installed: the targets are made and nothing opens.
    for (size_t row = 0; row < model.unsigned_attributes.size(); ++row) ui::OpenSignatureForRow(model, row);
  }
  return 0;
}
