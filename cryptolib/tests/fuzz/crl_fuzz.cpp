// Arbitrary bytes offered as a downloaded CRL: the accept step, and for what
// it accepts, its scope for a certificate and the store's handling
// (signature check, slot, replacement by date, search by issuer, deletion)
// in a store of its own.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "cryptolib/cert_path.h"
#include "cryptolib/crl_store.h"

namespace {

using namespace vel::crypto;
namespace platform = vel::platform;

// A self-signed CA certificate made once, to check signatures against.
CertPtr TestCa() {
  static const CertPtr ca = [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Fuzz CA"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    CertPtr cert = platform::CertContext::FromDer(std::span<const uint8_t>(der, static_cast<size_t>(len)));
    OPENSSL_free(der);
    X509_free(x);
    EVP_PKEY_free(key);
    return cert;
  }();
  return ca;
}

std::string g_store_dir;

// The store lives in a folder of its own for the whole run, removed at exit.
void UseOwnStore() {
  if (!g_store_dir.empty()) return;
  std::string dir = (std::filesystem::temp_directory_path() / "vel-crl-fuzz-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) __builtin_trap();
  g_store_dir = dir;
  setenv("VELDOC_STORE_DIR", dir.c_str(), 1);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_store_dir, ec);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseOwnStore();
  CrlPtr crl;
  const LibraryErrorCode rc = DecodeDownloadedCrl(std::span<const uint8_t>(data, size), &crl);
  if ((rc == 0) != static_cast<bool>(crl)) __builtin_trap();  // 0 exactly when there is a CRL
  if (!crl) return 0;
  // What was accepted is exactly the bytes offered.
  if (crl->der().size() != size) __builtin_trap();
  (void)crl->this_update().ToTimeT();
  if (crl->has_next_update()) (void)crl->next_update().ToTimeT();

  const CertPtr ca = TestCa();
  (void)VerifyCrlSignature(CRL_FIND_ISSUED_BY, crl, ca);
  // The scope of the CRL (issuingDistributionPoint and the rest) for a
  // certificate of its issuer.
  (void)GetCrlScope(*crl, *ca, *ca);
  (void)IsCertificateInCrl(*ca, *crl);
  constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;
  if (AddCrlToStore(kUser, crl, ca) == 0) {
    std::unique_ptr<platform::CertStore> store;
    if (platform::CertStore::Open(kUser, "VelCryptoAPI", &store) == 0) {
      CrlPtr found;
      (void)FindCrlByIssuer(*store, kCertEncoding, 0, CRL_FIND_ISSUED_BY, ca, nullptr, &found);
    }
  }
  if (DeleteCachedCrls(kUser) != 0) __builtin_trap();
  return 0;
}
