// DecryptMessage: an EnvelopedData opened with the key of a certificate in the
// user's "My" store. OpenSSL parses (read-only) and decrypts; the old ciphers
// (RC2, DES) come from its "legacy" provider.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>

#include <cstring>
#include <limits>
#include <new>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "platform/openssl_providers.h"

namespace vel::crypto {
namespace {

struct CmsDeleter {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct BioDeleter {
  void operator()(BIO* p) const { BIO_free(p); }
};

// SEQUENCE { OBJECT IDENTIFIER, [0] ... }: the type's dotted text.
bool ContentInfoType(std::span<const uint8_t> message, std::string* type) {
  der::Reader top(message), ci;
  der::Element content;
  return top.Enter(der::kSequence, &ci) && ci.ReadOid(type) && ci.PeekElement(&content) &&
         content.tag == der::ContextConstructed(0);
}

// With `plain` none, only finds the key (no PIN asked) and gives in *bound
// the encrypted content's length, which no plaintext exceeds.
LibraryErrorCode Decrypt(std::span<const uint8_t> message, uint32_t store_flags,
                         std::vector<uint8_t>* plain, size_t* bound) {
  std::string type;
  std::vector<uint8_t> der_copy;
  std::span<const uint8_t> bytes = message;
  if (!ContentInfoType(bytes, &type)) {
    // Indefinite lengths (streaming encoders) are read in their DER form.
    if (BerToDer(message, &der_copy) != 0 || !ContentInfoType(der_copy, &type))
      return kCryptEBadTag;
    bytes = der_copy;
  }
  if (type != cms::kOidEnvelopedData) return kCryptEInvalidMsgType;

  platform::EnsureOpenSslProviders();
  const unsigned char* p = bytes.data();
  std::unique_ptr<CMS_ContentInfo, CmsDeleter> cms(
      d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
  if (!cms) {
    ERR_clear_error();
    return kCryptEBadTag;
  }
  STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(cms.get());
  if (recipients == nullptr) return kCryptEInvalidMsgType;

  std::unique_ptr<platform::CertStore> store;
  LibraryErrorCode err = platform::CertStore::Open(store_flags & platform::kStoreLocationMask,
                                                   "My", &store);
  if (err != 0) return err;

  // The first recipient whose certificate is in the store with a key bound to it.
  LibraryErrorCode last = kCryptENoKeyProperty;
  for (int i = 0; i < sk_CMS_RecipientInfo_num(recipients); ++i) {
    CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(recipients, i);
    if (CMS_RecipientInfo_type(ri) != CMS_RECIPINFO_TRANS) continue;
    for (const platform::CertPtr& cert : store->Certificates()) {
      if (CMS_RecipientInfo_ktri_cert_cmp(ri, cert->x509()) != 0) continue;
      platform::KeyReference ref;
      if (platform::ReadKeyBinding(store_flags & platform::kStoreLocationMask, *cert, &ref) != 0)
        continue;
      std::unique_ptr<platform::Signer> key_holder;
      err = platform::OpenSigner(ref, cert, &key_holder);
      if (err == 0 && plain == nullptr) {
        ASN1_OCTET_STRING** encrypted = CMS_get0_content(cms.get());
        if (encrypted == nullptr || *encrypted == nullptr) return kNteBadData;
        *bound = static_cast<size_t>(ASN1_STRING_length(*encrypted));
        return 0;
      }
      if (err == 0) {
        EVP_PKEY* key = nullptr;
        err = key_holder->AcquirePrivateKey(&key);
        if (err == 1223 || err == platform::kScardWrongPin || err == platform::kScardInvalidPin ||
            err == platform::kScardPinBlocked)
          return err;  // the user's answer ends the attempt
        if (err == 0) {
          ERR_clear_error();
          if (CMS_decrypt_set1_pkey(cms.get(), key, cert->x509()) != 1) {
            ERR_clear_error();
            return kNteBadData;
          }
          std::unique_ptr<BIO, BioDeleter> out(BIO_new(BIO_s_mem()));
          if (!out) return 8;
          if (CMS_decrypt(cms.get(), nullptr, nullptr, nullptr, out.get(), CMS_BINARY) != 1) {
            const unsigned long e = ERR_peek_last_error();
            ERR_clear_error();
            return ERR_GET_REASON(e) == CMS_R_UNSUPPORTED_CONTENT_ENCRYPTION_ALGORITHM
                       ? kNteBadAlgId
                       : kNteBadData;
          }
          char* data = nullptr;
          const long n = BIO_get_mem_data(out.get(), &data);
          if (n < 0) return kNteBadData;
          plain->assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + n);
          return 0;
        }
      }
      last = err;
    }
  }
  return last;
}

}  // namespace

LibraryErrorCode DecryptMessage(const uint8_t* message, uint32_t length, uint32_t store_flags,
                                uint8_t* out, uint32_t* out_size) {
  if ((message == nullptr && length != 0) || out_size == nullptr) return 87;
  try {
    const std::span<const uint8_t> input(message, message ? length : 0);
    std::vector<uint8_t> plain;
    size_t bound = 0;
    if (out == nullptr) {
      // The size without the key, so that the PIN is asked once, by the call that decrypts.
      const LibraryErrorCode err = Decrypt(input, store_flags, nullptr, &bound);
      if (err != 0) return err;
      if (bound > std::numeric_limits<uint32_t>::max()) return 8;
      if (bound == 0) {
        *out_size = 0;
        return 0;
      }
      *out_size = static_cast<uint32_t>(bound);
      return 234;
    }
    const LibraryErrorCode err = Decrypt(input, store_flags, &plain, &bound);
    if (err != 0) return err;
    if (plain.size() > std::numeric_limits<uint32_t>::max()) return 8;
    const uint32_t need = static_cast<uint32_t>(plain.size());
    if (*out_size < need) {
      *out_size = need;
      return 234;
    }
    if (need > 0) std::memcpy(out, plain.data(), need);
    *out_size = need;
    return 0;
  } catch (const std::bad_alloc&) {
    return 8;
  }
}

}  // namespace vel::crypto
