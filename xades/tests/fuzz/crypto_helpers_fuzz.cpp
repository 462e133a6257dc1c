// The engine's certificate and CRL texts over any DER: the CRL number read
// from its extension, the issue time, the issuer, the decimal serial; and the
// same bytes as embedded base64 values completed into references.
#include <cstddef>
#include <cstdint>
#include <string>

#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/reference_compare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  std::string text(64, '\0');
  if (CrlPtr crl = xadesCrlCreate(data, size)) {
    uint32_t n = 0;
    if (getCrlNumberDecimal(crl.get(), nullptr, &n) == 234) {
      std::string number(n, '\0');
      (void)getCrlNumberDecimal(crl.get(), number.data(), &n);
    }
    uint32_t t = static_cast<uint32_t>(text.size());
    (void)getCrlThisUpdateText(crl.get(), text.data(), &t);
    uint32_t i = 0;
    if (getCrlIssuerText(crl.get(), nullptr, &i) == 234 && i < (1u << 20)) {
      std::string issuer(i, '\0');
      (void)getCrlIssuerText(crl.get(), issuer.data(), &i);
    }
    (void)encodedDigestBase64(crl.get(), kDigestSha1);
  }
  if (CertPtr cert = xadesCertCreate(data, size)) {
    (void)getCertSerialDecimal(cert.get());
    uint32_t i = 0;
    if (getCertIssuerText(cert.get(), nullptr, &i) == 234 && i < (1u << 20)) {
      std::string issuer(i, '\0');
      (void)getCertIssuerText(cert.get(), issuer.data(), &i);
    }
  }
  const std::string value = base64Encode({data, size});
  XadesCertRefList certs(1);
  certs[0].value = value;
  XadesCrlRefList crls(1);
  crls[0].value = value;
  (void)compareRevocationRefs(&certs, &certs, &crls, &crls);
  return 0;
}
