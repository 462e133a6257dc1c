// Issuer texts read from documents: any text matched against a fixed Name,
// and any bytes as a Name against texts of it. The input before the first
// NUL is the text, the rest the Name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xades/crypto_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  // C=PL, O=Firma (PrintableString, UTF8String).
  static const uint8_t kName[] = {0x30, 0x20, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06,
                                  0x13, 0x02, 0x50, 0x4C, 0x31, 0x11, 0x30, 0x0F, 0x06, 0x03, 0x55,
                                  0x04, 0x0A, 0x0C, 0x08, 0x46, 0x69, 0x72, 0x6D, 0x61, 0x20, 0xC5,
                                  0x81};
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  (void)matchIssuerText(text, kName, std::string("C=PL"));
  if (nul != std::string_view::npos) {
    const std::string_view name = input.substr(nul + 1);
    const std::span<const uint8_t> der(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    (void)matchIssuerText(text, der, std::nullopt);
    (void)matchIssuerText("O=Firma \\C5\\81,C=PL", der, std::string());
  }
  return 0;
}
