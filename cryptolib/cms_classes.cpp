#include "cryptolib/cms_classes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <new>
#include <utility>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "cryptolib/timestamp_token.h"

namespace vel::crypto {
namespace {

constexpr LibraryErrorCode kNoMemory = 8;
constexpr LibraryErrorCode kInvalidData = 13;
constexpr LibraryErrorCode kMoreData = 234;
constexpr LibraryErrorCode kNotImplemented = 0x80004001;

std::atomic<LibraryErrorCode> g_last_create_error{0};

// Shortens an output buffer to what was written; the dropped tail is wiped
// first, since a vector keeps its capacity.
void Fit(std::vector<uint8_t>* bytes, uint32_t size) {
  if (size >= bytes->size()) return;
  OPENSSL_cleanse(bytes->data() + size, bytes->size() - size);
  bytes->resize(size);
}

// The size rule's two calls: a size query (anything but 234 ends it), then
// the read into a buffer of that size. Every status goes to *keep when given.
template <typename F>
LibraryErrorCode ReadVariable(F&& call, std::vector<uint8_t>* out,
                              LibraryErrorCode* keep = nullptr) {
  uint32_t size = 0;
  LibraryErrorCode err = call(nullptr, &size);
  if (err == 0) err = kInvalidData;  // an empty answer is no item
  if (keep) *keep = err;
  if (err != kMoreData) return err;
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(size, 0);
  } catch (const std::bad_alloc&) {
    if (keep) *keep = kNoMemory;
    return kNoMemory;
  }
  err = call(buffer.data(), &size);
  if (keep) *keep = err;
  if (err != 0) {
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return err;
  }
  Fit(&buffer, size);
  *out = std::move(buffer);
  return 0;
}

// A stored token value is either a bare token (a ContentInfo: its first
// inner element is the content-type OID) or a whole TimeStampResp (its first
// inner element is the PKIStatusInfo SEQUENCE). The header is read whatever
// its length form.
LibraryErrorCode LoadStoredValue(std::span<const uint8_t> value, TimeStampToken* token) {
  der::Element outer, first;
  if (!der::ParseElement(value, &outer) || outer.tag != der::kSequence ||
      !der::ParseElement(outer.content, &first))
    return kInvalidData;
  if (first.tag == der::kOid)
    return token->LoadToken(value.data(), static_cast<uint32_t>(value.size()));
  if (first.tag == der::kSequence)
    return token->LoadResponse(value.data(), static_cast<uint32_t>(value.size()));
  return kInvalidData;
}

// The signer's certificate through GetSignerItem selector 1.
platform::CertPtr SignerCertificate(std::span<const uint8_t> message, uint32_t index,
                                    LibraryErrorCode* keep) {
  std::vector<uint8_t> der;
  const auto call = [&](uint8_t* out, uint32_t* size) {
    return GetSignerItem(1, message.data(), static_cast<uint32_t>(message.size()), index, out,
                         size);
  };
  if (ReadVariable(call, &der, keep) != 0) return nullptr;
  uint32_t error = 0;
  platform::CertPtr cert = platform::CertContext::FromDer(der, &error);
  if (!cert) *keep = error != 0 ? error : kInvalidData;
  return cert;
}

std::unique_ptr<Certificate> AsCertificate(const platform::CertPtr& cert) {
  return cert ? std::make_unique<Certificate>(cert) : nullptr;
}

// The first signer whose certificate is the given one (Certificate::IsSame).
int FindSignerIn(std::span<const uint8_t> message, const Certificate& certificate,
                 LibraryErrorCode* keep) {
  uint32_t count = 0;
  if (GetSignerCount(message.data(), static_cast<uint32_t>(message.size()), &count) != 0 ||
      count == 0)
    return -1;
  for (uint32_t i = 0; i < count && i <= static_cast<uint32_t>(INT32_MAX); ++i) {
    std::unique_ptr<Certificate> probe = AsCertificate(SignerCertificate(message, i, keep));
    if (probe && probe->IsSame(certificate)) return static_cast<int>(i);
  }
  return -1;
}

// The first signer whose certificate is the given one (same issuer and
// serial number); -1 when none.
int FindSignerIn(std::span<const uint8_t> message, const platform::CertContext& certificate,
                 LibraryErrorCode* keep) {
  uint32_t count = 0;
  if (GetSignerCount(message.data(), static_cast<uint32_t>(message.size()), &count) != 0 ||
      count == 0)
    return -1;
  for (uint32_t i = 0; i < count && i <= static_cast<uint32_t>(INT32_MAX); ++i) {
    platform::CertPtr probe = SignerCertificate(message, i, keep);
    if (probe && platform::CompareCertificate(*probe, certificate)) return static_cast<int>(i);
  }
  return -1;
}

// The stored token (occurrence-th signature time-stamp attribute of a signer).
std::unique_ptr<TimeStampToken> StoredToken(std::span<const uint8_t> message, uint32_t index,
                                            uint32_t occurrence, LibraryErrorCode* keep) {
  std::vector<uint8_t> value;
  const auto call = [&](uint8_t* out, uint32_t* size) {
    return GetSignerTimeStampToken(message.data(), static_cast<uint32_t>(message.size()), index,
                                   occurrence, out, size);
  };
  if (ReadVariable(call, &value, keep) != 0) return nullptr;
  auto token = std::make_unique<TimeStampToken>();
  if (token->GetLastResult() != 0) {
    *keep = token->GetLastResult();
    return nullptr;
  }
  *keep = LoadStoredValue(value, token.get());
  if (*keep != 0) return nullptr;
  return token;
}

// The time-stamp attribute spliced into the signer's unsigned attributes.
LibraryErrorCode AddTimeStamp(std::span<const uint8_t> message, uint32_t index,
                              const uint8_t* token, uint32_t token_length,
                              std::vector<uint8_t>* out, LibraryErrorCode* keep) {
  if (token == nullptr) return *keep = 87;
  std::vector<uint8_t> attribute;
  *keep = MakeSignatureTimeStampAttribute(std::span(token, token_length), &attribute);
  if (*keep != 0) return *keep;
  const auto call = [&](uint8_t* o, uint32_t* size) {
    return AddSignerUnsignedAttribute(message.data(), static_cast<uint32_t>(message.size()), index,
                                      attribute.data(), static_cast<uint32_t>(attribute.size()), o,
                                      size);
  };
  return ReadVariable(call, out, keep);
}

// 0 when the token's signature verifies and its imprint is the SHA-1 of the
// signer's signature value.
LibraryErrorCode CheckTimeStamp(std::span<const uint8_t> message, uint32_t index,
                                uint32_t occurrence, LibraryErrorCode* keep) {
  std::vector<uint8_t> value;
  const auto sig_call = [&](uint8_t* out, uint32_t* size) {
    return GetSignerSignatureValue(message.data(), static_cast<uint32_t>(message.size()), index,
                                   out, size);
  };
  LibraryErrorCode err = ReadVariable(sig_call, &value, keep);
  if (err != 0) return err;
  std::vector<uint8_t> digest;
  const auto hash_call = [&](uint8_t* out, uint32_t* size) {
    return ComputeHash(value.data(), static_cast<uint32_t>(value.size()), kCalgSha1, out, size);
  };
  err = ReadVariable(hash_call, &digest, keep);
  if (err != 0) return err;
  std::unique_ptr<TimeStampToken> token = StoredToken(message, index, occurrence, keep);
  if (!token) return *keep != 0 ? *keep : kInvalidData;
  // A token whose own signature does not verify proves no time.
  err = *keep = token->Verify();
  if (err != 0) return err;
  std::vector<uint8_t> hashed;
  const auto imprint_call = [&](uint8_t* out, uint32_t* size) {
    return token->GetHashedMessage(out, size);
  };
  err = ReadVariable(imprint_call, &hashed, keep);
  if (err != 0) return err;
  return hashed == digest ? 0 : kCryptEHashValue;
}

}  // namespace

// ---- WipedBuffer

WipedBuffer& WipedBuffer::operator=(WipedBuffer&& other) noexcept {
  if (this != &other) {
    Wipe();
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

void WipedBuffer::Wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  std::vector<uint8_t>().swap(bytes_);
}

// ---- CmsBlob

CmsBlob::CmsBlob(const uint8_t* data, uint32_t length)
    : data_(data == nullptr ? std::span<const uint8_t>() : std::span(data, length)) {}

CmsBlob::CmsBlob(std::vector<uint8_t> data) : owned_(std::move(data)) { data_ = owned_.bytes(); }

CmsBlob::~CmsBlob() = default;

void CmsBlob::Replace(std::vector<uint8_t> bytes) {
  owned_ = WipedBuffer(std::move(bytes));  // wipes and releases an owned old buffer
  data_ = owned_.bytes();
}

LibraryErrorCode CmsBlob::AddSigner(const platform::CertContext* signer_certificate) {
  std::vector<uint8_t> out;
  const auto call = [&](uint8_t* o, uint32_t* size) {
    return CoSignAttached(data_.data(), Length(), signer_certificate, o, size);
  };
  const LibraryErrorCode err = ReadVariable(call, &out);
  if (err != 0) return err;
  Replace(std::move(out));
  return 0;
}

LibraryErrorCode CmsBlob::GetContent(uint8_t* out, uint32_t* out_size) const {
  return GetMessageContentItem(1, data_.data(), Length(), out, out_size);
}

LibraryErrorCode CmsBlob::GetSignerCount(uint32_t* count) const {
  return crypto::GetSignerCount(data_.data(), Length(), count);
}

LibraryErrorCode CmsBlob::VerifySigner(uint32_t signer_index) const {
  return VerifyAttached(data_.data(), Length(), signer_index);
}

std::unique_ptr<Certificate> CmsBlob::GetSignerCertificate(uint32_t signer_index) {
  return AsCertificate(GetSignerCertificateContext(signer_index));
}

platform::CertPtr CmsBlob::GetSignerCertificateContext(uint32_t signer_index) {
  return SignerCertificate(data_, signer_index, &last_result_);
}

std::unique_ptr<TimeStampToken> CmsBlob::GetSignerTimeStamp(uint32_t signer_index,
                                                            uint32_t occurrence) {
  return StoredToken(data_, signer_index, occurrence, &last_result_);
}

LibraryErrorCode CmsBlob::AddSignerTimeStamp(uint32_t signer_index, const uint8_t* token,
                                             uint32_t token_length) {
  std::vector<uint8_t> out;
  const LibraryErrorCode err =
      AddTimeStamp(data_, signer_index, token, token_length, &out, &last_result_);
  if (err == 0) Replace(std::move(out));
  return err;
}

LibraryErrorCode CmsBlob::GetSignedAttribute(uint32_t signer_index, const char* oid,
                                             uint32_t occurrence, uint8_t* out,
                                             uint32_t* out_size) const {
  return crypto::GetSignedAttribute(data_.data(), Length(), signer_index, oid, occurrence, out,
                                    out_size);
}

LibraryErrorCode CmsBlob::GetSignerSignatureValue(uint32_t signer_index, uint8_t* out,
                                                  uint32_t* out_size) const {
  return crypto::GetSignerSignatureValue(data_.data(), Length(), signer_index, out, out_size);
}

std::unique_ptr<CmsSignerNode> CmsBlob::BuildSignerTree(LibraryErrorCode* status) const {
  return CmsSignerNode::BuildTree(data_.data(), Length(), nullptr, 0, status);
}

int CmsBlob::FindSigner(const Certificate& certificate) {
  return FindSignerIn(data_, certificate, &last_result_);
}

int CmsBlob::FindSigner(const platform::CertContext& certificate) {
  return FindSignerIn(data_, certificate, &last_result_);
}

// ---- DetachedCmsMessage

DetachedCmsMessage::DetachedCmsMessage(const uint8_t* signature, uint32_t signature_length,
                                       const uint8_t* content, uint32_t content_length)
    : signature_(signature == nullptr
                     ? std::vector<uint8_t>()
                     : std::vector<uint8_t>(signature, signature + signature_length)),
      content_(content == nullptr ? std::span<const uint8_t>()
                                  : std::span(content, content_length)) {}

DetachedCmsMessage::DetachedCmsMessage(const uint8_t* signature, uint32_t signature_length,
                                       std::shared_ptr<ContentFeed> content)
    : DetachedCmsMessage(signature, signature_length, nullptr, 0) {
  feed_ = std::move(content);
}

DetachedCmsMessage::DetachedCmsMessage(std::vector<uint8_t> signature,
                                       std::span<const uint8_t> content)
    : signature_(std::move(signature)), content_(content) {}

DetachedCmsMessage::~DetachedCmsMessage() = default;

LibraryErrorCode DetachedCmsMessage::CoSign(const platform::CertContext* signer_certificate) {
  if (feed_) return last_result_ = kNotImplemented;
  std::vector<uint8_t> out;
  const uint64_t room = uint64_t{signature_.size()} + kDetachedSignatureRoom;
  if (room > UINT32_MAX) return last_result_ = 87;
  try {
    out.assign(static_cast<size_t>(room), 0);
  } catch (const std::bad_alloc&) {
    return last_result_ = kNoMemory;
  }
  uint32_t size = static_cast<uint32_t>(room);
  last_result_ = CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()),
                                signature_.data(), signature_.size(), signer_certificate,
                                out.data(), &size);
  if (last_result_ == 0) {
    Fit(&out, size);
    signature_ = WipedBuffer(std::move(out));
  } else {
    OPENSSL_cleanse(out.data(), out.size());
  }
  return last_result_;
}

LibraryErrorCode DetachedCmsMessage::GetContent(uint8_t*, uint32_t*) const {
  return kNotImplemented;
}

LibraryErrorCode DetachedCmsMessage::GetSignerCount(uint32_t* count) const {
  return crypto::GetSignerCount(signature_.data(), signature_.size(), count);
}

LibraryErrorCode DetachedCmsMessage::VerifySigner(uint32_t signer_index) const {
  if (feed_) return VerifyDetached(*feed_, signature_.data(), signature_.size(), signer_index);
  return VerifyDetached(content_.data(), static_cast<uint32_t>(content_.size()), signature_.data(),
                        signature_.size(), signer_index);
}

std::unique_ptr<Certificate> DetachedCmsMessage::GetSignerCertificate(uint32_t signer_index) {
  return AsCertificate(GetSignerCertificateContext(signer_index));
}

platform::CertPtr DetachedCmsMessage::GetSignerCertificateContext(uint32_t signer_index) {
  return SignerCertificate(signature_.bytes(), signer_index, &last_result_);
}

std::unique_ptr<TimeStampToken> DetachedCmsMessage::GetSignerTimeStampToken(uint32_t signer_index,
                                                                            uint32_t occurrence) {
  return StoredToken(signature_.bytes(), signer_index, occurrence, &last_result_);
}

LibraryErrorCode DetachedCmsMessage::GetSignerSignatureValue(uint32_t signer_index, uint8_t* out,
                                                             uint32_t* out_size) const {
  return crypto::GetSignerSignatureValue(signature_.data(), signature_.size(), signer_index, out,
                                         out_size);
}

LibraryErrorCode DetachedCmsMessage::AddSignerTimeStampToken(uint32_t signer_index,
                                                             const uint8_t* token,
                                                             uint32_t token_length) {
  std::vector<uint8_t> out;
  const LibraryErrorCode err =
      AddTimeStamp(signature_.bytes(), signer_index, token, token_length, &out, &last_result_);
  if (err == 0) signature_ = WipedBuffer(std::move(out));
  return err;
}

int DetachedCmsMessage::FindSignerIndex(const Certificate& certificate) {
  return FindSignerIn(signature_.bytes(), certificate, &last_result_);
}

int DetachedCmsMessage::FindSignerIndex(const platform::CertContext& certificate) {
  return FindSignerIn(signature_.bytes(), certificate, &last_result_);
}

LibraryErrorCode DetachedCmsMessage::VerifySignerTimeStamp(uint32_t signer_index,
                                                           uint32_t occurrence) {
  return CheckTimeStamp(signature_.bytes(), signer_index, occurrence, &last_result_);
}

std::unique_ptr<DetachedCmsMessage> DetachedCmsMessage::Clone() const {
  if (feed_) return std::make_unique<DetachedCmsMessage>(signature_.data(), signature_.size(), feed_);
  return std::make_unique<DetachedCmsMessage>(signature_.data(), signature_.size(),
                                              content_.data(),
                                              static_cast<uint32_t>(content_.size()));
}

std::unique_ptr<CmsSignerNode> DetachedCmsMessage::BuildSignerTree(
    LibraryErrorCode* status) const {
  if (feed_) return CmsSignerNode::BuildTree(signature_.data(), signature_.size(), feed_, status);
  // A detached tree always digests the given content, even an empty one.
  static const uint8_t kEmpty = 0;
  const uint8_t* content = content_.data() != nullptr ? content_.data() : &kEmpty;
  return CmsSignerNode::BuildTree(signature_.data(), signature_.size(), content,
                                  static_cast<uint32_t>(content_.size()), status);
}

// ---- EnvelopedMessage

LibraryErrorCode EnvelopedMessage::Decrypt(uint32_t store_flags, uint8_t* out,
                                           uint32_t* out_size) const {
  return DecryptMessage(data_, length_, store_flags, out, out_size);
}

// ---- factory

std::unique_ptr<DetachedCmsMessage> CreateDetachedCmsMessage(
    const uint8_t* content, uint32_t content_length,
    const platform::CertContext* signer_certificate) {
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(kDetachedSignatureRoom, 0);
  } catch (const std::bad_alloc&) {
    g_last_create_error = kNoMemory;
    return nullptr;
  }
  uint32_t size = kDetachedSignatureRoom;
  const LibraryErrorCode err =
      SignMessageDetached(content, content_length, signer_certificate, buffer.data(), &size);
  std::unique_ptr<DetachedCmsMessage> message;
  if (err == 0 && size <= buffer.size())
    message = std::make_unique<DetachedCmsMessage>(buffer.data(), size, content, content_length);
  else
    g_last_create_error = err != 0 ? err : kMoreData;
  OPENSSL_cleanse(buffer.data(), buffer.size());
  return message;
}

LibraryErrorCode GetLastCreateError() { return g_last_create_error; }

}  // namespace vel::crypto
