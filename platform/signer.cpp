#include "platform/signer.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <mutex>

#include "platform/cert_name_str.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

std::mutex& CallbackMutex() {
  static std::mutex m;
  return m;
}

PinCallback& Callback() {
  static PinCallback cb;
  return cb;
}

struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};

}  // namespace

void SetPinCallback(PinCallback callback) {
  std::lock_guard<std::mutex> lock(CallbackMutex());
  Callback() = std::move(callback);
}

uint32_t AskPin(const PinRequest& request, std::string* pin) {
  PinCallback cb;
  {
    std::lock_guard<std::mutex> lock(CallbackMutex());
    cb = Callback();
  }
  pin->clear();
  if (!cb || !cb(request, pin)) {
    OPENSSL_cleanse(pin->data(), pin->size());
    pin->clear();
    return kStatusCancelled;
  }
  return 0;
}

std::string CertificateDisplayName(const CertContext& cert) {
  const auto rdns = DecodeNameAttributes(cert.subject_der(), kCertSimpleNameStr);
  if (!rdns) return {};
  for (const auto& rdn : *rdns)
    for (const NameAttribute& at : rdn)
      if (at.oid == "2.5.4.3" && !at.hex) return at.text;
  return FormatNameText(*rdns, kCertSimpleNameStr).value_or(std::string());
}

uint32_t SignSha1DigestWithKey(EVP_PKEY* key, std::span<const uint8_t> digest,
                               std::vector<uint8_t>* signature) {
  if (key == nullptr || signature == nullptr || digest.size() != 20) return kErrorInvalidParameter;
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return kNteBadAlgId;
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) <= 0)
    return kNteFail;
  size_t len = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) <= 0 || len == 0)
    return kNteFail;
  signature->assign(len, 0);
  if (EVP_PKEY_sign(ctx.get(), signature->data(), &len, digest.data(), digest.size()) <= 0) {
    signature->clear();
    return kNteFail;
  }
  signature->resize(len);
  return 0;
}

uint32_t SizeOnlySigner::SignSha1Digest(std::span<const uint8_t>, std::vector<uint8_t>* signature) {
  const int n = EVP_PKEY_get_size(X509_get0_pubkey(cert_->x509()));
  if (n <= 0) return kNteBadAlgId;
  signature->assign(static_cast<size_t>(n), 0);
  return 0;
}

uint32_t SizeOnlySigner::AcquirePrivateKey(EVP_PKEY**) { return kNteBadKeyset; }

uint32_t OpenSigner(const KeyReference& ref, const CertPtr& cert, std::unique_ptr<Signer>* out) {
  if (!cert || out == nullptr) return kErrorInvalidParameter;
  if (ref.kind == KeyReference::Kind::kPkcs12File) return OpenPkcs12Signer(ref.target, cert, out);
  return OpenPkcs11Signer(ref.target, cert, out);
}

uint32_t OpenSignerForCertificate(const CertPtr& cert, std::unique_ptr<Signer>* out) {
  if (!cert || out == nullptr) return kErrorInvalidParameter;
  KeyReference ref;
  const uint32_t err = FindKeyBinding(*cert, &ref);
  if (err != 0) return err;
  return OpenSigner(ref, cert, out);
}

}  // namespace vel::platform
