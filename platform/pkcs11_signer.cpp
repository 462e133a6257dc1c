// The signer over a private-key object on a PKCS#11 token, through libp11.
#include <libp11.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/signer.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

// A loaded module. Loading and finalising a module is process-wide in
// PKCS#11, so each module is loaded once and kept until the process shuts
// the modules down.
struct Module {
  PKCS11_CTX* ctx = nullptr;
  std::mutex use;  // one signer at a time has the module (and its login state)
  ~Module() {
    if (ctx != nullptr) {
      PKCS11_CTX_unload(ctx);
      PKCS11_CTX_free(ctx);
    }
  }
};

struct LoadedModules {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Module>> by_path;
};

LoadedModules& Modules() {
  static LoadedModules modules;
  return modules;
}

// Registered after each module has loaded, so that it runs before that
// module's own static destructors: finalising a module after those have run
// crashes it (SoftHSM2 does).
void ShutdownAtExit() { ShutdownPkcs11Modules(); }

uint32_t GetModule(const std::string& path, std::shared_ptr<Module>* out) {
  LoadedModules& modules = Modules();
  std::lock_guard<std::mutex> lock(modules.mutex);
  if (auto it = modules.by_path.find(path); it != modules.by_path.end()) {
    *out = it->second;
    return 0;
  }
  auto module = std::make_shared<Module>();
  module->ctx = PKCS11_CTX_new();
  if (module->ctx == nullptr) return kErrorNotEnoughMemory;
  if (PKCS11_CTX_load(module->ctx, path.c_str()) != 0) {
    ERR_clear_error();
    PKCS11_CTX_free(module->ctx);
    module->ctx = nullptr;
    return kScardNoReader;  // no middleware for the card
  }
  std::atexit(ShutdownAtExit);
  modules.by_path.emplace(path, module);
  *out = std::move(module);
  return 0;
}

// The card's status for a PKCS#11 return value.
uint32_t FromCkr(unsigned long rv) {
  switch (rv) {
    case 0xA0:  // CKR_PIN_INCORRECT
      return kScardWrongPin;
    case 0xA1:  // CKR_PIN_INVALID
    case 0xA2:  // CKR_PIN_LEN_RANGE
    case 0xA3:  // CKR_PIN_EXPIRED
      return kScardInvalidPin;
    case 0xA4:  // CKR_PIN_LOCKED
      return kScardPinBlocked;
    case 0x50:  // CKR_FUNCTION_CANCELED (PIN pad)
      return kStatusCancelled;
    case 0x30:  // CKR_DEVICE_ERROR
    case 0x32:  // CKR_DEVICE_REMOVED
    case 0xE0:  // CKR_TOKEN_NOT_PRESENT
      return kNteBadKeyset;
    default:
      return kNteFail;
  }
}

// The status of the last libp11 failure; `fallback` when no PKCS#11 code was queued.
uint32_t LastError(uint32_t fallback) {
  const int ckr_lib = ERR_get_CKR_code();
  uint32_t status = fallback;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    if (ERR_GET_LIB(e) == ckr_lib) status = FromCkr(ERR_GET_REASON(e));
  }
  return status;
}

bool Matches(const std::optional<std::string>& want, const char* have) {
  return !want || (have != nullptr && *want == have);
}

// One login to the slot's token: with the PIN asked through the callback
// (`certificate` and `retry` are what the dialog shows besides the token's
// own state), or through the reader's own PIN pad, which asks by itself.
uint32_t LoginOnce(PKCS11_SLOT* slot, const std::string& certificate, bool retry) {
  const PKCS11_TOKEN* token = slot->token;
  if (token->userPinLocked) return kScardPinBlocked;
  std::string pin;
  if (!token->secureLogin) {
    PinRequest request;
    request.token = true;
    request.label = token->label != nullptr ? token->label : "";
    request.certificate = certificate;
    request.retry = retry;
    request.count_low = token->userPinCountLow != 0;
    request.final_try = token->userPinFinalTry != 0;
    if (const uint32_t err = AskPin(request, &pin); err != 0) return err;
  }
  ERR_clear_error();
  const int rc = PKCS11_login(slot, 0, token->secureLogin ? nullptr : pin.c_str());
  OPENSSL_cleanse(pin.data(), pin.size());
  return rc == 0 ? 0 : LastError(kScardWrongPin);
}

class Pkcs11Signer final : public Signer {
 public:
  Pkcs11Signer(std::shared_ptr<Module> module, Pkcs11Uri uri, CertPtr cert)
      : module_(std::move(module)), lock_(module_->use), uri_(std::move(uri)),
        cert_(std::move(cert)) {}

  ~Pkcs11Signer() override {
    key_.reset();  // refers to the slot's objects
    if (logged_in_ && slot_ != nullptr) PKCS11_logout(slot_);
    if (slots_ != nullptr) PKCS11_release_all_slots(module_->ctx, slots_, slot_count_);
    ERR_clear_error();
  }

  uint32_t FindToken() {
    ERR_clear_error();
    if (PKCS11_enumerate_slots(module_->ctx, &slots_, &slot_count_) != 0) {
      slots_ = nullptr;
      slot_count_ = 0;
      return LastError(kScardNoReader);
    }
    for (unsigned int i = 0; i < slot_count_; ++i) {
      PKCS11_TOKEN* t = slots_[i].token;
      if (t == nullptr || !t->initialized) continue;
      if (Matches(uri_.token, t->label) && Matches(uri_.manufacturer, t->manufacturer) &&
          Matches(uri_.model, t->model) && Matches(uri_.serial, t->serialnr)) {
        slot_ = &slots_[i];
        return 0;
      }
    }
    return kNteBadKeyset;
  }

  const CertPtr& certificate() const override { return cert_; }

  uint32_t SignSha1Digest(std::span<const uint8_t> digest,
                          std::vector<uint8_t>* signature) override {
    EVP_PKEY* key = nullptr;
    uint32_t err = AcquirePrivateKey(&key);
    if (err != 0) return err;
    ERR_clear_error();
    err = SignSha1DigestWithKey(key, digest, signature);
    if (err == kNteFail) err = LastError(kNteFail);
    return err;
  }

  uint32_t AcquirePrivateKey(EVP_PKEY** key) override {
    if (key == nullptr) return kErrorInvalidParameter;
    if (!key_) {
      uint32_t err = Login();
      if (err == 0) err = FindKey();
      if (err != 0) return err;
    }
    *key = key_.get();
    return 0;
  }

 private:
  uint32_t Login() {
    ERR_clear_error();
    int logged = 0;
    if (PKCS11_is_logged_in(slot_, 0, &logged) == 0 && logged) return 0;
    if (!slot_->token->loginRequired) return 0;
    const std::string certificate = CertificateDisplayName(*cert_);
    // The reader's PIN pad counts its own tries.
    const int tries = slot_->token->secureLogin ? 1 : kPinTries;
    uint32_t err = kScardWrongPin;
    for (int attempt = 0; attempt < tries && (err == kScardWrongPin || err == kScardInvalidPin); ++attempt) {
      // The token's counters as it tells them now, after the previous try.
      if (attempt > 0 && (err = RefreshToken()) != 0) return err;
      err = LoginOnce(slot_, certificate, attempt > 0);
    }
    if (err == 0) logged_in_ = true;
    return err;
  }

  // Reads the tokens' information again: the slots are listed anew and the
  // token found again (nothing of the old list is in use before the login).
  uint32_t RefreshToken() {
    PKCS11_release_all_slots(module_->ctx, slots_, slot_count_);
    slots_ = nullptr;
    slot_count_ = 0;
    slot_ = nullptr;
    return FindToken();
  }

  uint32_t FindKey() {
    PKCS11_KEY* keys = nullptr;
    unsigned int count = 0;
    ERR_clear_error();
    if (PKCS11_enumerate_keys(slot_->token, &keys, &count) != 0) return LastError(kNteBadKeyset);
    EVP_PKEY* cert_key = X509_get0_pubkey(cert_->x509());
    for (unsigned int i = 0; i < count; ++i) {
      const PKCS11_KEY& k = keys[i];
      if (uri_.object && (k.label == nullptr || *uri_.object != k.label)) continue;
      if (uri_.id && (k.id_len != uri_.id->size() ||
                      (k.id_len != 0 && std::memcmp(k.id, uri_.id->data(), k.id_len) != 0)))
        continue;
      PkeyPtr pk(PKCS11_get_private_key(&keys[i]));
      // The object must be the private half of the certificate's key.
      if (pk && cert_key != nullptr && EVP_PKEY_eq(pk.get(), cert_key) == 1) {
        key_ = std::move(pk);
        ERR_clear_error();
        return 0;
      }
    }
    ERR_clear_error();
    return kNteBadKeyset;
  }

  std::shared_ptr<Module> module_;
  std::unique_lock<std::mutex> lock_;
  Pkcs11Uri uri_;
  CertPtr cert_;
  PKCS11_SLOT* slots_ = nullptr;
  unsigned int slot_count_ = 0;
  PKCS11_SLOT* slot_ = nullptr;
  bool logged_in_ = false;
  PkeyPtr key_;
};

// The private key among the token's keys that belongs to `cert`.
const PKCS11_KEY* KeyOf(PKCS11_TOKEN* token, const CertContext& cert) {
  PKCS11_KEY* keys = nullptr;
  unsigned int count = 0;
  if (PKCS11_enumerate_keys(token, &keys, &count) != 0) return nullptr;
  EVP_PKEY* cert_key = X509_get0_pubkey(cert.x509());
  for (unsigned int i = 0; i < count && cert_key != nullptr; ++i) {
    PkeyPtr pk(PKCS11_get_private_key(&keys[i]));
    if (pk && EVP_PKEY_eq(pk.get(), cert_key) == 1) return &keys[i];
  }
  return nullptr;
}

// The certificates of one token, with their keys' URIs.
uint32_t ListToken(PKCS11_SLOT* slot, const std::string& module_path,
                   std::vector<TokenCertificate>* out) {
  PKCS11_TOKEN* token = slot->token;
  PKCS11_CERT* certs = nullptr;
  unsigned int count = 0;
  if (PKCS11_enumerate_certs(token, &certs, &count) != 0) return LastError(kNteBadKeyset);
  std::vector<TokenCertificate> found;
  for (unsigned int i = 0; i < count; ++i) {
    CertPtr cert = CertContext::FromX509(certs[i].x509);
    if (!cert) continue;  // not one the program could read either
    found.push_back({std::move(cert), token->label != nullptr ? token->label : "", {}});
  }
  bool logged_in = false;
  for (int pass = 0; pass < 2; ++pass) {
    bool missing = false;
    for (TokenCertificate& entry : found) {
      if (!entry.uri.empty()) continue;
      const PKCS11_KEY* key = KeyOf(token, *entry.cert);
      if (key == nullptr) {
        missing = true;
        continue;
      }
      Pkcs11Uri uri;
      uri.token = entry.token;
      if (token->serialnr != nullptr) uri.serial = token->serialnr;
      if (key->id_len != 0)
        uri.id = std::vector<uint8_t>(key->id, key->id + key->id_len);
      else if (key->label != nullptr)
        uri.object = key->label;
      uri.type = "private";
      uri.module_path = module_path;
      entry.uri = FormatPkcs11Uri(uri);
    }
    // Private keys of most tokens show only after login.
    int already = 0;
    if (!missing || pass == 1 || !token->loginRequired ||
        (PKCS11_is_logged_in(slot, 0, &already) == 0 && already))
      break;
    if (const uint32_t err = LoginOnce(slot, {}, false); err != 0) return err;
    logged_in = true;
  }
  if (logged_in) PKCS11_logout(slot);
  for (TokenCertificate& entry : found) out->push_back(std::move(entry));
  return 0;
}

}  // namespace

uint32_t ListTokenCertificates(const std::string& module_path, std::vector<TokenCertificate>* out) {
  if (out == nullptr || module_path.empty()) return kErrorInvalidParameter;
  std::shared_ptr<Module> module;
  uint32_t err = GetModule(module_path, &module);
  if (err != 0) return err;
  std::lock_guard<std::mutex> lock(module->use);
  PKCS11_SLOT* slots = nullptr;
  unsigned int slot_count = 0;
  ERR_clear_error();
  // libp11 fails on a module without any slot (no reader): then there is
  // nothing to list, unless the module itself said what went wrong.
  if (PKCS11_enumerate_slots(module->ctx, &slots, &slot_count) != 0) return LastError(0);
  for (unsigned int i = 0; i < slot_count && err == 0; ++i) {
    if (slots[i].token == nullptr || !slots[i].token->initialized) continue;
    err = ListToken(&slots[i], module_path, out);
  }
  PKCS11_release_all_slots(module->ctx, slots, slot_count);
  ERR_clear_error();
  return err;
}

void ShutdownPkcs11Modules() {
  LoadedModules& modules = Modules();
  std::map<std::string, std::shared_ptr<Module>> loaded;
  {
    std::lock_guard<std::mutex> lock(modules.mutex);
    loaded.swap(modules.by_path);
  }
  // A module a living signer still holds is finalised when that signer ends.
  loaded.clear();
  ERR_clear_error();
}

uint32_t OpenPkcs11Signer(const std::string& uri_text, const CertPtr& cert,
                          std::unique_ptr<Signer>* out) {
  if (!cert || out == nullptr) return kErrorInvalidParameter;
  Pkcs11Uri uri;
  if (!ParsePkcs11Uri(uri_text, &uri)) return kErrorInvalidParameter;
  if (uri.type && *uri.type != "private") return kNteBadKeyset;
  std::shared_ptr<Module> module;
  uint32_t err = GetModule(Pkcs11ModuleFor(uri), &module);
  if (err != 0) return err;
  auto signer = std::make_unique<Pkcs11Signer>(std::move(module), std::move(uri), cert);
  err = signer->FindToken();
  if (err != 0) return err;
  *out = std::move(signer);
  return 0;
}

}  // namespace vel::platform
