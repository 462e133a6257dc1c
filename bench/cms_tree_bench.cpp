// The signer tree of a detached message with three signers (SHA-1, RSA
// 2048): building it and verifying every signer node, against OpenSSL's
// CMS_verify of all signers on the same message and content in one run, in
// process; every call's result is checked. Medians; the ratio is openssl /
// tree+verify (above 1 we are faster).
//
//   cms_tree_bench [megabytes...]   (default: 0.01 1 16)
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
#include "cryptolib/cms_signer_tree.h"
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

struct Identity {
  EVP_PKEY* key = nullptr;
  X509* x509 = nullptr;
  std::unique_ptr<MemorySigner> signer;
};

Identity MakeIdentity(int serial, const char* name) {
  Identity id;
  id.key = EVP_RSA_gen(2048);
  id.x509 = X509_new();
  X509* x = id.x509;
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_set_pubkey(x, id.key);
  X509_sign(x, id.key, EVP_sha256());
  Bytes der(static_cast<size_t>(i2d_X509(x, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(x, &p);
  id.signer = std::make_unique<MemorySigner>(id.key, vel::platform::CertContext::FromDer(der));
  return id;
}

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
  Identity ids[3] = {MakeIdentity(1, "Bench 1"), MakeIdentity(2, "Bench 2"),
                     MakeIdentity(3, "Bench 3")};

  std::printf("%10s %16s %16s %16s %7s\n", "MB", "tree+verify", "flat verify x3", "openssl verify", "ratio");
  for (double mb : sizes) {
    Bytes content(static_cast<size_t>(mb * 1024 * 1024));
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    Bytes message, next;
    if (vel::crypto::SignMessage(content, true, *ids[0].signer, &message) != 0) return 1;
    for (int s = 1; s < 3; ++s) {
      const std::span<const uint8_t> c(content);
      if (vel::crypto::CoSignMessage(message, &c, *ids[s].signer, &next) != 0) return 1;
      message.swap(next);
    }

    const double tree = SecondsPerRun([&] {
      auto root = vel::crypto::CmsSignerNode::BuildTree(message.data(), static_cast<uint32_t>(message.size()),
                                                        content.data(), static_cast<uint32_t>(content.size()));
      uint32_t status = root ? 0 : 1;
      for (auto* n = root.get(); n != nullptr; n = n->next()) status |= n->Verify();
      return status == 0;
    });
    const double flat = SecondsPerRun([&] {
      uint32_t status = 0;
      for (uint32_t i = 0; i < 3; ++i)
        status |= vel::crypto::VerifyDetached(content.data(), static_cast<uint32_t>(content.size()), message.data(),
                                              static_cast<uint32_t>(message.size()), i);
      return status == 0;
    });
    const double ossl = SecondsPerRun([&] {
      const unsigned char* q = message.data();
      CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &q, static_cast<long>(message.size()));
      BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
      const bool ok = CMS_verify(cms, nullptr, nullptr, in, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
      CMS_ContentInfo_free(cms);
      BIO_free(in);
      ERR_clear_error();
      return ok;
    });
    if (failures != 0) {
      std::fprintf(stderr, "%d verifications failed\n", failures);
      return 1;
    }
    auto cell = [](double s) {
      char b[32];
      std::snprintf(b, sizeof b, "%.3f ms", s * 1000);
      return std::string(b);
    };
    std::printf("%10.2f %16s %16s %16s %7s\n", mb, cell(tree).c_str(), cell(flat).c_str(), cell(ossl).c_str(),
                vel::bench::Ratio(ossl, tree).c_str());
  }
  for (Identity& id : ids) {
    X509_free(id.x509);
    EVP_PKEY_free(id.key);
  }
  return 0;
}
