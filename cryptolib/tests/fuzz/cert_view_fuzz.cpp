// Arbitrary bytes as a certificate the viewer shows (every row, the path from
// empty stores) and as the extension values the viewer reads itself
// (certificate policies, basic constraints).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "cryptolib/ui/cert_view_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::crypto;
  static const bool stores_set = [] {
    // Issuers are looked up in the system stores: keep them empty.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / "cert_view_fuzz_stores";
    ::setenv("VELDOC_STORE_DIR", dir.c_str(), 1);
    return true;
  }();
  (void)stores_set;
  const std::span<const uint8_t> bytes(data, size);
  std::string text;
  ui::CertificatePolicyText(bytes, &text);
  ui::BasicConstraintsText(bytes);
  if (CertPtr cert = vel::platform::CertContext::FromDer(bytes)) {
    for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
      LanguageId.store(language);
      const ui::CertViewModel model = ui::BuildCertViewModel(cert);
      for (size_t row = 0; row < model.details.size(); ++row) ui::DetailValueText(model, row);
      for (size_t item = 0; item < model.path.size(); ++item) ui::PathItemToOpen(model, item);
    }
  }
  return 0;
}
