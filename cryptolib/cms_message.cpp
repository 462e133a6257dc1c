#include "cryptolib/cms_message.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"

namespace vel::crypto {
namespace {

using cms::Bytes;

constexpr LibraryErrorCode kNotFoundStatus = 2;
constexpr LibraryErrorCode kInvalidData = 13;
constexpr LibraryErrorCode kInvalidParameter = 87;
constexpr LibraryErrorCode kMoreData = 234;
constexpr LibraryErrorCode kNoMemory = 8;

// The size rule.
LibraryErrorCode PutBytes(Bytes bytes, uint8_t* out, uint32_t* size) {
  if (size == nullptr) return kInvalidParameter;
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) return kNoMemory;
  const uint32_t need = static_cast<uint32_t>(bytes.size());
  if (need == 0) {
    *size = 0;
    return 0;
  }
  if (out == nullptr || *size < need) {
    *size = need;
    return kMoreData;
  }
  std::memcpy(out, bytes.data(), need);
  *size = need;
  return 0;
}

bool BadInput(const uint8_t* p, uint32_t length) { return p == nullptr && length != 0; }

Bytes View(const uint8_t* p, uint32_t length) {
  return p == nullptr ? Bytes{} : Bytes(p, length);
}

// Runs a body; a failed allocation anywhere inside is status 8.
template <typename F>
LibraryErrorCode Guard(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

// The message in the caller's bytes, parsed.
LibraryErrorCode Parse(const uint8_t* message, uint32_t length, cms::SignedData* sd) {
  if (BadInput(message, length)) return kInvalidParameter;
  return cms::ParseSignedData(View(message, length), sd);
}

LibraryErrorCode SignFlat(const uint8_t* content, uint32_t content_length,
                          const platform::CertContext* cert, bool detached, uint8_t* out,
                          uint32_t* out_size) {
  if (BadInput(content, content_length) || cert == nullptr || out_size == nullptr)
    return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    const platform::CertPtr shared = platform::CertContext::FromDer(cert->der());
    if (!shared) return kCryptEBadTag;
    std::unique_ptr<platform::Signer> signer;
    LibraryErrorCode err = platform::OpenSignerForCertificate(shared, &signer);
    if (err != 0) return err;
    const Bytes data = View(content, content_length);
    // The size comes from the layout alone, so asking for it uses no key and no PIN.
    std::vector<uint8_t> bytes;
    platform::SizeOnlySigner size_only(shared);
    err = SignMessage(data, detached, size_only, &bytes);
    if (err != 0) return err;
    if (out == nullptr || *out_size < bytes.size()) return PutBytes(bytes, nullptr, out_size);
    err = SignMessage(data, detached, *signer, &bytes);
    if (err != 0) return err;
    return PutBytes(bytes, out, out_size);
  });
}

LibraryErrorCode CoSignFlat(Bytes message, const Bytes* content, const platform::CertContext* cert,
                            uint8_t* out, uint32_t* out_size) {
  return Guard([&]() -> LibraryErrorCode {
    const platform::CertPtr shared = platform::CertContext::FromDer(cert->der());
    if (!shared) return kCryptEBadTag;
    std::unique_ptr<platform::Signer> signer;
    LibraryErrorCode err = platform::OpenSignerForCertificate(shared, &signer);
    if (err != 0) return err;
    std::vector<uint8_t> bytes;
    platform::SizeOnlySigner size_only(shared);
    err = CoSignMessage(message, content, size_only, &bytes);
    if (err != 0) return err;
    if (out == nullptr || *out_size < bytes.size()) return PutBytes(bytes, nullptr, out_size);
    err = CoSignMessage(message, content, *signer, &bytes);
    if (err != 0) return err;
    return PutBytes(bytes, out, out_size);
  });
}

// The occurrence-th attribute with the OID among `attrs`.
const cms::Attribute* FindAttribute(const std::vector<cms::Attribute>& attrs, const char* oid,
                                    uint32_t occurrence) {
  for (const cms::Attribute& a : attrs) {
    if (a.oid != oid) continue;
    if (occurrence == 0) return &a;
    --occurrence;
  }
  return nullptr;
}

LibraryErrorCode GetAttribute(bool signed_attrs, const uint8_t* message, uint32_t length,
                              uint32_t signer_index, const char* oid, uint32_t occurrence,
                              uint8_t* out, uint32_t* out_size) {
  if (oid == nullptr || out_size == nullptr) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (signer_index >= sd.signers.size()) return kCryptESignerNotFound;
    const cms::SignerInfo& si = sd.signers[signer_index];
    const cms::Attribute* a =
        FindAttribute(signed_attrs ? si.signed_attrs : si.unsigned_attrs, oid, occurrence);
    if (a == nullptr || a->values.empty()) return kNotFoundStatus;
    const Bytes value = a->values[0];
    if (!signed_attrs || std::strcmp(oid, kOidSignedFileName) != 0)
      return PutBytes(value, out, out_size);
    // The signed file's name: its text and a terminating zero. The need stays
    // the whole value's length, which always has room for both.
    if (out == nullptr || *out_size < value.size()) {
      *out_size = static_cast<uint32_t>(value.size());
      return kMoreData;
    }
    der::Element e;
    if (!der::ParseElement(value, &e)) return kCryptEBadTag;
    if (!e.content.empty()) std::memcpy(out, e.content.data(), e.content.size());
    out[e.content.size()] = 0;
    *out_size = static_cast<uint32_t>(e.content.size() + 1);
    return 0;
  });
}

// One whole encoded Attribute: SEQUENCE { OBJECT IDENTIFIER, SET }, nothing after.
bool IsOneAttribute(Bytes attribute) {
  der::Reader r(attribute), inner, values;
  std::string oid;
  return r.Enter(der::kSequence, &inner) && r.empty() && inner.ReadOid(&oid) &&
         inner.Enter(der::kSet, &values) && inner.empty();
}

}  // namespace

LibraryErrorCode SignMessage(std::span<const uint8_t> content, bool detached,
                             platform::Signer& signer, std::vector<uint8_t>* out) {
  if (out == nullptr || !signer.certificate()) return kInvalidParameter;
  const platform::CertContext& cert = *signer.certificate();
  const Bytes whole[] = {content};
  const std::vector<uint8_t> digest = cms::DigestOf(EVP_sha1(), whole);
  der::Writer oid;
  oid.AddOid(cms::kOidData);
  auto data_oid = oid.Finish();
  if (digest.size() != 20 || !data_oid) return kNteBadAlgId;

  std::vector<uint8_t> signer_info;
  const LibraryErrorCode err = cms::MakeSignerInfo(cert, *data_oid, digest, &signer, &signer_info);
  if (err != 0) return err;

  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidSignedData);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.AddInteger(1);
  w.Begin(der::kSet);
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.AddNull();
  w.End();
  w.End();
  w.Begin(der::kSequence);
  w.AddEncoded(*data_oid);
  if (!detached) {
    w.Begin(der::ContextConstructed(0));
    w.AddOctetString(content);
    w.End();
  }
  w.End();
  w.Begin(der::ContextConstructed(0));
  w.AddEncoded(cert.der());
  w.End();
  w.Begin(der::kSet);
  w.AddEncoded(signer_info);
  w.End();
  w.End();
  w.End();
  w.End();
  auto bytes = w.Finish();
  if (!bytes) return kInvalidData;
  *out = std::move(*bytes);
  return 0;
}

LibraryErrorCode CoSignMessage(std::span<const uint8_t> message,
                               const std::span<const uint8_t>* detached_content,
                               platform::Signer& signer, std::vector<uint8_t>* out) {
  if (out == nullptr || !signer.certificate()) return kInvalidParameter;
  const platform::CertContext& cert = *signer.certificate();
  cms::SignedData sd;
  LibraryErrorCode err = cms::ParseSignedData(message, &sd);
  if (err != 0) return err;

  std::vector<uint8_t> digest;
  if (detached_content != nullptr) {
    const Bytes whole[] = {*detached_content};
    digest = cms::DigestOf(EVP_sha1(), whole);
  } else {
    digest = cms::DigestOf(EVP_sha1(), sd.econtent);
  }
  if (digest.size() != 20) return kNteBadAlgId;

  cms::Splice splice;
  err = cms::MakeSignerInfo(cert, sd.econtent_type, digest, &signer, &splice.add_signer);
  if (err != 0) return err;
  bool has_sha1 = false;
  for (const std::string& oid : sd.digest_algorithm_oids) has_sha1 |= oid == kOidSha1;
  splice.add_sha1_algorithm = !has_sha1;
  bool has_cert = false;
  for (Bytes c : sd.certificates) has_cert |= std::ranges::equal(c, cert.der());
  if (!has_cert) splice.add_certificate = cert.der();
  auto bytes = cms::Rebuild(sd, splice);
  if (!bytes) return kInvalidData;
  *out = std::move(*bytes);
  return 0;
}

LibraryErrorCode SignMessageAttached(const uint8_t* content, uint32_t content_length,
                                     const platform::CertContext* signer_certificate, uint8_t* out,
                                     uint32_t* out_size) {
  return SignFlat(content, content_length, signer_certificate, false, out, out_size);
}

LibraryErrorCode SignMessageDetached(const uint8_t* content, uint32_t content_length,
                                     const platform::CertContext* signer_certificate, uint8_t* out,
                                     uint32_t* out_size) {
  return SignFlat(content, content_length, signer_certificate, true, out, out_size);
}

LibraryErrorCode CoSignAttached(const uint8_t* message, uint32_t length,
                                const platform::CertContext* signer_certificate, uint8_t* out,
                                uint32_t* out_size) {
  if (BadInput(message, length) || signer_certificate == nullptr || out_size == nullptr)
    return kInvalidParameter;
  return CoSignFlat(View(message, length), nullptr, signer_certificate, out, out_size);
}

LibraryErrorCode CoSignDetached(const uint8_t* content, uint32_t content_length,
                                const uint8_t* signature, uint32_t signature_length,
                                const platform::CertContext* signer_certificate, uint8_t* out,
                                uint32_t* out_size) {
  if (BadInput(content, content_length) || BadInput(signature, signature_length) ||
      signer_certificate == nullptr || out_size == nullptr)
    return kInvalidParameter;
  const Bytes data = View(content, content_length);
  return CoSignFlat(View(signature, signature_length), &data, signer_certificate, out, out_size);
}

LibraryErrorCode GetSignerCount(const uint8_t* message, uint32_t length, uint32_t* count) {
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (count != nullptr) *count = static_cast<uint32_t>(sd.signers.size());
    return 0;
  });
}

LibraryErrorCode VerifyAttached(const uint8_t* message, uint32_t length, uint32_t signer_index) {
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    return cms::VerifySigner(sd, signer_index, sd.econtent);
  });
}

LibraryErrorCode VerifyDetached(const uint8_t* content, uint32_t content_length,
                                const uint8_t* signature, uint32_t signature_length,
                                uint32_t signer_index) {
  if (BadInput(content, content_length)) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(signature, signature_length, &sd);
    if (err != 0) return err;
    const Bytes whole[] = {View(content, content_length)};
    return cms::VerifySigner(sd, signer_index, whole);
  });
}

LibraryErrorCode VerifyDetached(ContentFeed& content, const uint8_t* signature,
                                uint32_t signature_length, uint32_t signer_index) {
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(signature, signature_length, &sd);
    if (err != 0) return err;
    return cms::VerifySigner(sd, signer_index,
                             [&](const EVP_MD* md) { return cms::DigestOf(md, content); });
  });
}

LibraryErrorCode AddSignerUnsignedAttribute(const uint8_t* message, uint32_t length,
                                            uint32_t signer_index, const uint8_t* attribute,
                                            uint32_t attribute_length, uint8_t* out,
                                            uint32_t* out_size) {
  if (attribute == nullptr || out_size == nullptr) return kInvalidParameter;
  const Bytes attr(attribute, attribute_length);
  // A length that does not match the bytes (a token too long for its
  // two-byte lengths, say) would corrupt the message: refuse it.
  if (!IsOneAttribute(attr)) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (signer_index >= sd.signers.size()) return kCryptESignerNotFound;
    const cms::SignerInfo& si = sd.signers[signer_index];
    der::Writer w;
    w.Begin(der::kSequence);
    w.AddEncoded(si.head);
    w.Begin(der::ContextConstructed(1));
    w.AddEncoded(si.unsigned_content);  // the existing attributes keep their order and bytes
    w.AddEncoded(attr);
    w.End();
    w.End();
    auto replacement = w.Finish();
    if (!replacement) return kInvalidData;
    cms::Splice splice;
    splice.replace_signer = signer_index;
    splice.replacement = std::move(*replacement);
    auto bytes = cms::Rebuild(sd, splice);
    if (!bytes) return kInvalidData;
    return PutBytes(*bytes, out, out_size);
  });
}

LibraryErrorCode MakeSignatureTimeStampAttribute(std::span<const uint8_t> token,
                                                 std::vector<uint8_t>* attribute) {
  if (attribute == nullptr || token.empty() || token.size() > kMaxTimeStampToken)
    return kInvalidParameter;
  der::Element e;
  if (!der::ParseElement(token, &e) || e.encoded.size() != token.size()) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    der::Writer w;
    w.Begin(der::kSequence, der::LengthForm::kTwoOctets);
    w.AddOid(kOidSignatureTimeStampToken);
    w.Begin(der::kSet, der::LengthForm::kTwoOctets);
    w.AddEncoded(token);
    w.End();
    w.End();
    auto bytes = w.Finish();
    if (!bytes) return kInvalidParameter;
    *attribute = std::move(*bytes);
    return 0;
  });
}

LibraryErrorCode GetSignerCertificate(const uint8_t* message, uint32_t length,
                                      uint32_t signer_index, uint8_t* out, uint32_t* out_size) {
  if (out_size == nullptr) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (signer_index >= sd.signers.size()) return kCryptESignerNotFound;
    const platform::CertPtr cert = cms::FindSignerCertificate(sd, sd.signers[signer_index]);
    if (!cert) return kNotFoundStatus;
    return PutBytes(cert->der(), out, out_size);
  });
}

LibraryErrorCode GetSignerSignatureValue(const uint8_t* message, uint32_t length,
                                         uint32_t signer_index, uint8_t* out, uint32_t* out_size) {
  if (out_size == nullptr) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (signer_index >= sd.signers.size()) return kCryptESignerNotFound;
    return PutBytes(sd.signers[signer_index].signature, out, out_size);
  });
}

LibraryErrorCode GetSignerItem(uint32_t selector, const uint8_t* message, uint32_t length,
                               uint32_t signer_index, uint8_t* out, uint32_t* out_size) {
  switch (selector) {
    case 1:
      return GetSignerCertificate(message, length, signer_index, out, out_size);
    case 2:
      return GetSignerSignatureValue(message, length, signer_index, out, out_size);
    default:
      return kInvalidParameter;
  }
}

LibraryErrorCode GetSignedAttribute(const uint8_t* message, uint32_t length, uint32_t signer_index,
                                    const char* oid, uint32_t occurrence, uint8_t* out,
                                    uint32_t* out_size) {
  return GetAttribute(true, message, length, signer_index, oid, occurrence, out, out_size);
}

LibraryErrorCode GetUnsignedAttribute(const uint8_t* message, uint32_t length,
                                      uint32_t signer_index, const char* oid, uint32_t occurrence,
                                      uint8_t* out, uint32_t* out_size) {
  return GetAttribute(false, message, length, signer_index, oid, occurrence, out, out_size);
}

LibraryErrorCode GetSignerTimeStampToken(const uint8_t* message, uint32_t length,
                                         uint32_t signer_index, uint32_t occurrence, uint8_t* out,
                                         uint32_t* out_size) {
  return GetUnsignedAttribute(message, length, signer_index, kOidSignatureTimeStampToken,
                              occurrence, out, out_size);
}

LibraryErrorCode GetMessageContent(const uint8_t* message, uint32_t length, uint8_t* out,
                                   uint32_t* out_size) {
  if (out_size == nullptr) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    const LibraryErrorCode err = Parse(message, length, &sd);
    if (err != 0) return err;
    if (sd.econtent.size() == 1) return PutBytes(sd.econtent[0], out, out_size);
    return PutBytes(cms::JoinContent(sd), out, out_size);
  });
}

LibraryErrorCode GetMessageContentDigest(const uint8_t* message, uint32_t length, uint8_t* out,
                                         uint32_t* out_size) {
  if (out_size == nullptr) return kInvalidParameter;
  return Guard([&]() -> LibraryErrorCode {
    cms::SignedData sd;
    // Anything that is not a SignedData with encapsulated content has no digest here.
    if (Parse(message, length, &sd) != 0 || !sd.has_econtent) return kInvalidData;
    const std::vector<uint8_t> digest = cms::DigestOf(EVP_sha1(), sd.econtent);
    if (digest.size() != 20) return kInvalidData;
    return PutBytes(digest, out, out_size);
  });
}

LibraryErrorCode GetMessageContentItem(uint32_t selector, const uint8_t* message, uint32_t length,
                                       uint8_t* out, uint32_t* out_size) {
  switch (selector) {
    case 1:
      return GetMessageContent(message, length, out, out_size);
    case 2:
      return GetMessageContentDigest(message, length, out, out_size);
    default:
      return kInvalidParameter;
  }
}

}  // namespace vel::crypto
