// The private key behind a certificate, wherever it lives: one small signer
// interface with one implementation per kind of key (a PKCS#12 file, an
// object on a PKCS#11 token through libp11), so that the CMS and XAdES code
// never knows where the key is.
//
// Opening a signer finds the key (platform/key_binding.h) but asks for no
// PIN; the PIN is asked through the process's PIN callback when the key is
// first used. Results are the platform's status codes: a cancelled PIN
// request is 1223, a wrong PIN the card's 0x8010006B, a PIN the token refuses
// as malformed 0x8010002A, a blocked PIN 0x8010006C.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_binding.h"

namespace vel::platform {

inline constexpr uint32_t kStatusCancelled = 1223;
inline constexpr uint32_t kScardWrongPin = 0x8010006B;    // SCARD_W_WRONG_CHV
inline constexpr uint32_t kScardInvalidPin = 0x8010002A;  // SCARD_E_INVALID_CHV
inline constexpr uint32_t kScardPinBlocked = 0x8010006C;  // SCARD_W_CHV_BLOCKED
inline constexpr uint32_t kScardNoReader = 0x8010002E;    // SCARD_E_NO_READERS_AVAILABLE
inline constexpr uint32_t kNteBadData = 0x80090005;
inline constexpr uint32_t kNteBadAlgId = 0x80090008;
inline constexpr uint32_t kNteBadKeyset = 0x80090016;     // the key (file, token, object) is not there
inline constexpr uint32_t kNteFail = 0x80090020;

// What the PIN dialog shows.
struct PinRequest {
  bool token = false;       // a PKCS#11 token's PIN (true) or a key file's password (false)
  std::string label;        // the token's label, or the key file's name
  std::string certificate;  // the display name of the certificate whose key is asked for
  bool retry = false;       // the previous PIN or password was wrong
  bool count_low = false;   // the token has counted wrong PINs
  bool final_try = false;   // the token says one more wrong PIN blocks it
};

// Fills *pin and returns true, or returns false when the user cancels.
using PinCallback = std::function<bool(const PinRequest& request, std::string* pin)>;

// How many times one use of a key asks again after a wrong PIN or password;
// the last wrong answer is then the result.
inline constexpr int kPinTries = 3;

// The process's PIN callback (the program sets a dialog, tests a script).
// Without one, every PIN request counts as cancelled.
void SetPinCallback(PinCallback callback);

class Signer {
 public:
  virtual ~Signer() = default;

  // The certificate whose key this is.
  virtual const CertPtr& certificate() const = 0;

  // RSA PKCS#1 v1.5 signature of a SHA-1 digest (20 bytes).
  virtual uint32_t SignSha1Digest(std::span<const uint8_t> digest,
                                  std::vector<uint8_t>* signature) = 0;

  // The private key itself, for decryption. Borrowed: valid while the signer lives.
  virtual uint32_t AcquirePrivateKey(EVP_PKEY** key) = 0;
};

// A stand-in that answers a signature of the right length (zeros) without
// touching a key: the size of a signed output is known before a PIN is asked.
class SizeOnlySigner final : public Signer {
 public:
  explicit SizeOnlySigner(CertPtr cert) : cert_(std::move(cert)) {}
  const CertPtr& certificate() const override { return cert_; }
  uint32_t SignSha1Digest(std::span<const uint8_t> digest, std::vector<uint8_t>* signature) override;
  uint32_t AcquirePrivateKey(EVP_PKEY** key) override;

 private:
  CertPtr cert_;
};

struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// Reads a key file whole (at most 1 MiB): kNteBadKeyset when it cannot be
// read, kNteBadData when it is too large.
uint32_t ReadPkcs12File(const std::filesystem::path& file, std::vector<uint8_t>* bytes);
// Opens PKCS#12 bytes with the password asked through the PIN callback
// (`request` says what the dialog shows), asking again after a wrong one up to
// `tries` times in all: the key, and the certificate that goes with it when
// the file holds it (else none). kNteBadData for bytes that are not a key
// file (or ask for too many key-derivation rounds), kScardWrongPin for a
// wrong password, 1223 when the request is cancelled, kNteBadKeyset for a
// file without a key.
uint32_t OpenPkcs12Bytes(std::span<const uint8_t> bytes, PinRequest request, int tries,
                         PkeyPtr* key, X509Ptr* cert);

// A signer over a PKCS#12 file.
uint32_t OpenPkcs12Signer(const std::filesystem::path& file, const CertPtr& cert,
                          std::unique_ptr<Signer>* out);
// A signer over a private-key object on a PKCS#11 token (RFC 7512 URI). The
// module is loaded once per process and kept; while the signer lives it has
// the module to itself, so open at most one PKCS#11 signer per thread at a time.
uint32_t OpenPkcs11Signer(const std::string& uri, const CertPtr& cert, std::unique_ptr<Signer>* out);
// A certificate on a PKCS#11 token and the private-key object that goes with
// it, as the card middleware registers them.
struct TokenCertificate {
  CertPtr cert;
  std::string token;  // the token's label
  std::string uri;    // the key's RFC 7512 URI with the module's path; empty: no key
};
// Every certificate of every token the module shows, each with the URI of its
// private key when the token holds the key (the private half of the
// certificate's public key). Keys hidden until login are looked for after
// the PIN is asked through the PIN callback, once per token that needs it.
// A module that does not load: kScardNoReader; a wrong PIN, cancel: as for signing.
uint32_t ListTokenCertificates(const std::string& module_path, std::vector<TokenCertificate>* out);
// Finalises and unloads every loaded PKCS#11 module that no signer holds.
// The program calls it before it ends; it also runs at exit, before the
// modules' own teardown, for processes that do not call it.
void ShutdownPkcs11Modules();
// The signer a key reference names.
uint32_t OpenSigner(const KeyReference& ref, const CertPtr& cert, std::unique_ptr<Signer>* out);
// The signer bound to a certificate of the "My" store (current user, else
// local machine). No binding: kCryptENoKeyProperty.
uint32_t OpenSignerForCertificate(const CertPtr& cert, std::unique_ptr<Signer>* out);

// Internal to the implementations: asks through the process's callback.
// 0 with *pin filled, or kStatusCancelled.
uint32_t AskPin(const PinRequest& request, std::string* pin);
// The name a person knows the certificate by: its subject's common name, else
// the whole subject as plain values.
std::string CertificateDisplayName(const CertContext& cert);
// The RSA PKCS#1 v1.5 signature of a SHA-1 digest with a key.
uint32_t SignSha1DigestWithKey(EVP_PKEY* key, std::span<const uint8_t> digest,
                               std::vector<uint8_t>* signature);

}  // namespace vel::platform
