// The signer over a PKCS#12 file: its password is the PIN.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>

#include "platform/openssl_providers.h"
#include "platform/signer.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

// Key files hold a key and a few certificates; anything larger is not one.
constexpr std::uintmax_t kMaxKeyFile = 1024 * 1024;

struct Pkcs12Deleter {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

class Pkcs12Signer final : public Signer {
 public:
  Pkcs12Signer(std::filesystem::path file, CertPtr cert)
      : file_(std::move(file)), cert_(std::move(cert)) {}

  const CertPtr& certificate() const override { return cert_; }

  uint32_t SignSha1Digest(std::span<const uint8_t> digest,
                          std::vector<uint8_t>* signature) override {
    EVP_PKEY* key = nullptr;
    const uint32_t err = AcquirePrivateKey(&key);
    if (err != 0) return err;
    return SignSha1DigestWithKey(key, digest, signature);
  }

  uint32_t AcquirePrivateKey(EVP_PKEY** key) override {
    if (key == nullptr) return kErrorInvalidParameter;
    if (!key_) {
      const uint32_t err = Load();
      if (err != 0) return err;
    }
    *key = key_.get();
    return 0;
  }

 private:
  uint32_t Load() {
    EnsureOpenSslProviders();  // files written by older tools use RC2 and 3DES
    std::error_code ec;
    const auto size = std::filesystem::file_size(file_, ec);
    if (ec) return kNteBadKeyset;
    if (size > kMaxKeyFile) return kNteBadData;
    std::ifstream in(file_, std::ios::binary);
    if (!in) return kNteBadKeyset;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    const unsigned char* p = bytes.data();
    std::unique_ptr<PKCS12, Pkcs12Deleter> p12(
        d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12) return kNteBadData;

    PinRequest request;
    request.token = false;
    request.label = file_.filename().string();
    std::string pin;
    uint32_t err = AskPin(request, &pin);
    if (err != 0) return err;

    EVP_PKEY* pkey = nullptr;
    X509* cert = nullptr;
    ERR_clear_error();
    // An empty password may have been written as none at all.
    const bool mac_ok =
        !PKCS12_mac_present(p12.get()) ||
        PKCS12_verify_mac(p12.get(), pin.c_str(), static_cast<int>(pin.size())) == 1 ||
        (pin.empty() && PKCS12_verify_mac(p12.get(), nullptr, 0) == 1);
    if (!mac_ok) {
      err = kScardWrongPin;
    } else if (PKCS12_parse(p12.get(), pin.c_str(), &pkey, &cert, nullptr) != 1) {
      err = kScardWrongPin;  // without a MAC a wrong password shows only here
    }
    OPENSSL_cleanse(pin.data(), pin.size());
    X509_free(cert);
    ERR_clear_error();
    std::unique_ptr<EVP_PKEY, PkeyDeleter> owned(pkey);
    if (err != 0) return err;
    if (!owned) return kNteBadKeyset;
    // The file must hold this certificate's key, whatever else it carries.
    if (X509_check_private_key(cert_->x509(), owned.get()) != 1) {
      ERR_clear_error();
      return kNteBadKey;
    }
    key_ = std::move(owned);
    return 0;
  }

  std::filesystem::path file_;
  CertPtr cert_;
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key_;
};

}  // namespace

uint32_t OpenPkcs12Signer(const std::filesystem::path& file, const CertPtr& cert,
                          std::unique_ptr<Signer>* out) {
  if (!cert || out == nullptr || file.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return kNteBadKeyset;
  *out = std::make_unique<Pkcs12Signer>(file, cert);
  return 0;
}

}  // namespace vel::platform
