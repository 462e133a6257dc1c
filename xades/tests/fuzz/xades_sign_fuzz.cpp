// Signing any bytes, without a key: the size query, then the whole signing
// road (template, references and their targets by Id, digests, the signature
// over the canonical SignedInfo) with a signer that answers zeros.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/signer.h"
#include "xades/engine_messages.h"
#include "xades/xades_sign.h"

namespace {

// A self-signed certificate made once per process.
vel::platform::CertPtr MakeCertificate() {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x0102);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "C", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("PL"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  std::vector<uint8_t> der(static_cast<size_t>(i2d_X509(x, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(x, &p);
  X509_free(x);
  EVP_PKEY_free(key);
  return vel::platform::CertContext::FromDer(der);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::xades;
  static const vel::platform::CertPtr cert = MakeCertificate();
  if (size > (1u << 20)) return 0;
  XadesMessageCapture quiet;
  vel::platform::SizeOnlySigner signer(cert);
  const std::span<const uint8_t> xml(data, size);
  uint32_t need = 0;
  if (xadesAddSignatureWith(xml, signer, nullptr, &need) != kSignMoreData || need > (1u << 24))
    return 0;
  std::vector<uint8_t> out(need);
  (void)xadesAddSignatureWith(xml, signer, out.data(), &need);
  return 0;
}
