// CMS signing and detached verification against OpenSSL's CMS_sign and
// CMS_verify on the same content and key in one run (SHA-1, RSA 2048).
//
//   cms_bench [megabytes...]   (default: 0.01 1 16)
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cryptolib/cms_message.h"
#include "platform/signer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

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

template <typename F>
double SecondsPerRun(F&& f) {
  int runs = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    f();
    ++runs;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < 0.5 && runs < 10000);
  return elapsed / runs;
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

  std::printf("%10s %14s %14s %14s %14s\n", "MB", "sign ours", "sign openssl", "verify ours",
              "verify openssl");
  for (double mb : sizes) {
    Bytes content(static_cast<size_t>(mb * 1024 * 1024));
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 131 + (i >> 9));

    Bytes ours;
    const double sign_ours = SecondsPerRun([&] { vel::crypto::SignMessage(content, true, signer, &ours); });
    const double sign_ossl = SecondsPerRun([&] {
      BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
      CMS_ContentInfo* cms = CMS_sign(x, key, nullptr, in, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL);
      CMS_add1_signer(cms, x, key, EVP_sha1(), CMS_BINARY);
      CMS_final(cms, in, nullptr, CMS_DETACHED | CMS_BINARY);
      CMS_ContentInfo_free(cms);
      BIO_free(in);
    });

    uint32_t status = 1;
    const double verify_ours = SecondsPerRun([&] {
      status = vel::crypto::VerifyDetached(content.data(), static_cast<uint32_t>(content.size()),
                                           ours.data(), static_cast<uint32_t>(ours.size()), 0);
    });
    int ossl_ok = 0;
    const double verify_ossl = SecondsPerRun([&] {
      const unsigned char* q = ours.data();
      CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &q, static_cast<long>(ours.size()));
      BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
      ossl_ok = CMS_verify(cms, nullptr, nullptr, in, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY);
      CMS_ContentInfo_free(cms);
      BIO_free(in);
      ERR_clear_error();
    });
    if (status != 0 || ossl_ok != 1) {
      std::fprintf(stderr, "verification failed: ours %u, openssl %d\n", status, ossl_ok);
      return 1;
    }
    auto cell = [](double s) {
      char b[32];
      std::snprintf(b, sizeof b, "%.3f ms", s * 1000);
      return std::string(b);
    };
    std::printf("%10.2f %14s %14s %14s %14s\n", mb, cell(sign_ours).c_str(),
                cell(sign_ossl).c_str(), cell(verify_ours).c_str(), cell(verify_ossl).c_str());
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return 0;
}
