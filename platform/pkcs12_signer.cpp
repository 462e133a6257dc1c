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
struct SafesDeleter {
  void operator()(STACK_OF(PKCS7)* p) const { sk_PKCS7_pop_free(p, PKCS7_free); }
};
struct BagsDeleter {
  void operator()(STACK_OF(PKCS12_SAFEBAG)* p) const { sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free); }
};

// A key file sets its own number of key-derivation rounds. Tools write a few
// thousand; a file asking for more than this would stall the program for
// minutes, so it is refused before any round is run.
constexpr long kMaxPbeIterations = 1'000'000;
// Bags may hold bags; real files nest them once at most.
constexpr int kMaxBagNesting = 8;

bool IterationsWithin(const ASN1_INTEGER* iter) {
  if (iter == nullptr) return true;  // absent: one round
  const long n = ASN1_INTEGER_get(iter);
  return n >= 0 && n <= kMaxPbeIterations;
}

template <typename T>
std::unique_ptr<T, void (*)(T*)> Unpack(const ASN1_ITEM* item, const ASN1_TYPE* param, void (*free)(T*)) {
  return {static_cast<T*>(ASN1_TYPE_unpack_sequence(item, param)), free};
}

// Whether a password-based cipher asks for a bounded number of rounds.
// Parameters that do not decode are left to OpenSSL, which refuses them too.
bool RoundsWithin(const X509_ALGOR* alg) {
  if (alg == nullptr || alg->parameter == nullptr || alg->parameter->type != V_ASN1_SEQUENCE) return true;
  if (OBJ_obj2nid(alg->algorithm) != NID_pbes2) {
    auto pbe = Unpack(ASN1_ITEM_rptr(PBEPARAM), alg->parameter, PBEPARAM_free);
    return !pbe || IterationsWithin(pbe->iter);
  }
  auto pbes2 = Unpack(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter, PBE2PARAM_free);
  if (!pbes2 || pbes2->keyfunc == nullptr) return true;
  // PBKDF2 only: other key functions (scrypt) are not written into key files.
  if (OBJ_obj2nid(pbes2->keyfunc->algorithm) != NID_id_pbkdf2) return false;
  if (pbes2->keyfunc->parameter == nullptr) return true;
  auto kdf = Unpack(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter, PBKDF2PARAM_free);
  return !kdf || IterationsWithin(kdf->iter);
}

bool BagsWithin(const STACK_OF(PKCS12_SAFEBAG)* bags, int depth) {
  if (depth > kMaxBagNesting) return false;
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    const int nid = PKCS12_SAFEBAG_get_nid(bag);
    if (nid == NID_pkcs8ShroudedKeyBag) {
      const X509_ALGOR* alg = nullptr;
      if (const X509_SIG* sig = PKCS12_SAFEBAG_get0_pkcs8(bag)) X509_SIG_get0(sig, &alg, nullptr);
      if (!RoundsWithin(alg)) return false;
    } else if (nid == NID_safeContentsBag) {
      if (!BagsWithin(PKCS12_SAFEBAG_get0_safes(bag), depth + 1)) return false;
    }
  }
  return true;
}

// Checks every round count OpenSSL would run for this file and password: the
// MAC's (before it is verified), then each encrypted part's and each shrouded
// key's, the encrypted parts opened with bounded rounds only.
bool MacRoundsWithin(const PKCS12* p12) {
  const ASN1_INTEGER* iter = nullptr;
  PKCS12_get0_mac(nullptr, nullptr, nullptr, &iter, p12);
  return IterationsWithin(iter);
}

bool ContentRoundsWithin(const PKCS12* p12, const std::string& pin) {
  std::unique_ptr<STACK_OF(PKCS7), SafesDeleter> safes(PKCS12_unpack_authsafes(p12));
  for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsDeleter> bags;
    switch (OBJ_obj2nid(p7->type)) {
      case NID_pkcs7_data:
        bags.reset(PKCS12_unpack_p7data(p7));
        break;
      case NID_pkcs7_encrypted:
        if (p7->d.encrypted == nullptr || p7->d.encrypted->enc_data == nullptr ||
            !RoundsWithin(p7->d.encrypted->enc_data->algorithm))
          return false;
        bags.reset(PKCS12_unpack_p7encdata(p7, pin.c_str(), static_cast<int>(pin.size())));
        // An empty password may have been written as none at all.
        if (!bags && pin.empty()) bags.reset(PKCS12_unpack_p7encdata(p7, nullptr, 0));
        break;
      default:
        break;
    }
    if (bags && !BagsWithin(bags.get(), 0)) return false;
  }
  return true;
}

// The key and certificate with one password: 0, kScardWrongPin, or
// kNteBadData for a file asking for endless rounds.
uint32_t OpenWith(PKCS12* p12, const std::string& pin, EVP_PKEY** pkey, X509** cert) {
  ERR_clear_error();
  // An empty password may have been written as none at all.
  const bool mac_ok = !PKCS12_mac_present(p12) ||
                      PKCS12_verify_mac(p12, pin.c_str(), static_cast<int>(pin.size())) == 1 ||
                      (pin.empty() && PKCS12_verify_mac(p12, nullptr, 0) == 1);
  uint32_t err = 0;
  if (!mac_ok) {
    err = kScardWrongPin;
  } else if (!ContentRoundsWithin(p12, pin)) {
    err = kNteBadData;
  } else if (PKCS12_parse(p12, pin.c_str(), pkey, cert, nullptr) != 1) {
    err = kScardWrongPin;  // without a MAC a wrong password shows only here
  }
  ERR_clear_error();
  return err;
}

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
    std::vector<uint8_t> bytes;
    uint32_t err = ReadPkcs12File(file_, &bytes);
    if (err != 0) return err;
    PinRequest request;
    request.label = file_.filename().string();
    request.certificate = CertificateDisplayName(*cert_);
    PkeyPtr key;
    X509Ptr x509;
    if ((err = OpenPkcs12Bytes(bytes, request, kPinTries, &key, &x509)) != 0) return err;
    // The file must hold this certificate's key, whatever else it carries.
    if (X509_check_private_key(cert_->x509(), key.get()) != 1) {
      ERR_clear_error();
      return kNteBadKey;
    }
    key_ = std::move(key);
    return 0;
  }

  std::filesystem::path file_;
  CertPtr cert_;
  PkeyPtr key_;
};

}  // namespace

uint32_t ReadPkcs12File(const std::filesystem::path& file, std::vector<uint8_t>* bytes) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return kNteBadKeyset;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return kNteBadKeyset;
  if (size > kMaxKeyFile) return kNteBadData;
  std::ifstream in(file, std::ios::binary);
  if (!in) return kNteBadKeyset;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || bytes->size() > kMaxKeyFile) return kNteBadKeyset;
  return 0;
}

uint32_t OpenPkcs12Bytes(std::span<const uint8_t> bytes, PinRequest request, int tries,
                         PkeyPtr* key, X509Ptr* cert) {
  EnsureOpenSslProviders();  // files written by older tools use RC2 and 3DES
  const unsigned char* p = bytes.data();
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
  if (!p12 || !MacRoundsWithin(p12.get())) {
    ERR_clear_error();
    return kNteBadData;
  }
  request.token = false;
  EVP_PKEY* pkey = nullptr;
  X509* x509 = nullptr;
  uint32_t err = kScardWrongPin;
  for (int attempt = 0; attempt < tries && err == kScardWrongPin; ++attempt) {
    request.retry = attempt > 0;
    std::string pin;
    if ((err = AskPin(request, &pin)) != 0) return err;
    err = OpenWith(p12.get(), pin, &pkey, &x509);
    OPENSSL_cleanse(pin.data(), pin.size());
  }
  PkeyPtr owned_key(pkey);
  X509Ptr owned_cert(x509);
  if (err != 0) return err;
  if (!owned_key) return kNteBadKeyset;
  *key = std::move(owned_key);
  *cert = std::move(owned_cert);
  return 0;
}

uint32_t OpenPkcs12Signer(const std::filesystem::path& file, const CertPtr& cert,
                          std::unique_ptr<Signer>* out) {
  if (!cert || out == nullptr || file.empty()) return kErrorInvalidParameter;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return kNteBadKeyset;
  *out = std::make_unique<Pkcs12Signer>(file, cert);
  return 0;
}

}  // namespace vel::platform
