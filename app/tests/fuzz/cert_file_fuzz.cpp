// Files handed to the import command: any bytes give certificates and CRLs
// that decode, or nothing, and never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "app/cert_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vel::app::CertFileContents contents = vel::app::ReadCertFileContents(std::span(data, size));
  for (const auto& cert : contents.certificates)
    if (!cert || cert->der().empty()) std::abort();
  for (const auto& crl : contents.crls)
    if (!crl || crl->der().empty()) std::abort();
  return 0;
}
