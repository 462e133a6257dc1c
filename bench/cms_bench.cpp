// CMS signing and detached verification against OpenSSL's CMS_sign and
// CMS_verify on the same content and key in one run (SHA-1, RSA 2048), in
// process on both sides; every call's result is checked. Medians, ratios
// openssl / ours (above 1 we are faster).
//
//   cms_bench [megabytes...]   (default: 0.01 1 16)
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "cryptolib/cms_message.h"
#include "platform/signer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A key held in memory, for measuring the message code alone.
class MemorySigner final : public vel::platform::Signer {
 public:
  MemorySigner(EVP_PKEY* key, vel::platform::CertPtr cert) : key_(key), cert_(std::move(cert)) {}
  const vel::platform::CertPtr& certificate() const override { return cert_; }
  uint32_t SignSha1Digest(std::span<const uint8_t> digest, std::vector<uint8_t>* sig) override {
    return vel::platform::SignSha1DigestWithKey(key_, digest, sig);
  }
  uint32_t AcquirePrivateKey(EVP_PKEY** key) override {
    *key = key_;
    return 0;
  }

 private:
  EVP_PKEY* key_;
  vel::platform::CertPtr cert_;
};

int failures = 0;

// Seconds per call; every call's result counts.
template <typename F>
double SecondsPerRun(F&& f) {
  return vel::bench::SecondsPerCall(f, &failures);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atof(argv[i]));
  if (sizes.empty()) sizes = {0.01, 1, 16};

  EVP_PKEY* key = EVP_RSA_gen(2048);
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Bench"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  Bytes der(static_cast<size_t>(i2d_X509(x, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(x, &p);
  MemorySigner signer(key, vel::platform::CertContext::FromDer(der));

  std::printf("%10s %14s %14s %7s %14s %14s %7s\n", "MB", "sign ours", "sign openssl", "ratio", "verify ours",
              "verify openssl", "ratio");
  for (double mb : sizes) {
    Bytes content(static_cast<size_t>(mb * 1024 * 1024));
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 131 + (i >> 9));

    Bytes ours;
    const double sign_ours =
        SecondsPerRun([&] { return vel::crypto::SignMessage(content, true, signer, &ours) == 0 && !ours.empty(); });
    const double sign_ossl = SecondsPerRun([&] {
      BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
      // One SHA-1 signer, as ours makes.
      CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, in, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL);
      const bool ok = cms != nullptr && CMS_add1_signer(cms, x, key, EVP_sha1(), CMS_BINARY) != nullptr &&
                      CMS_final(cms, in, nullptr, CMS_DETACHED | CMS_BINARY) == 1;
      CMS_ContentInfo_free(cms);
      BIO_free(in);
      return ok;
    });

    // Both sides verify our signature.
    const double verify_ours = SecondsPerRun([&] {
      return vel::crypto::VerifyDetached(content.data(), static_cast<uint32_t>(content.size()), ours.data(),
                                         static_cast<uint32_t>(ours.size()), 0) == 0;
    });
    const double verify_ossl = SecondsPerRun([&] {
      const unsigned char* q = ours.data();
      CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &q, static_cast<long>(ours.size()));
      BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
      const bool ok = CMS_verify(cms, nullptr, nullptr, in, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
      CMS_ContentInfo_free(cms);
      BIO_free(in);
      ERR_clear_error();
      return ok;
    });
    if (failures != 0) {
      std::fprintf(stderr, "%d calls failed\n", failures);
      return 1;
    }
    auto cell = [](double s) {
      char b[32];
      std::snprintf(b, sizeof b, "%.3f ms", s * 1000);
      return std::string(b);
    };
    std::printf("%10.2f %14s %14s %7s %14s %14s %7s\n", mb, cell(sign_ours).c_str(), cell(sign_ossl).c_str(),
                vel::bench::Ratio(sign_ossl, sign_ours).c_str(), cell(verify_ours).c_str(), cell(verify_ossl).c_str(),
                vel::bench::Ratio(verify_ossl, verify_ours).c_str());
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return 0;
}
