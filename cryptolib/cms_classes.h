// The object forms of the CMS functions: CmsBlob (an attached SignedData in
// memory), DetachedCmsMessage (a detached signature with the content it
// covers), EnvelopedMessage (enveloped data to decrypt) and the factory
// CreateDetachedCmsMessage. Each object keeps the status of its last
// recording operation; every method forwards to cryptolib/cms_message.h.
//
// Who owns which bytes:
//  - CmsBlob either reads the caller's bytes in place (the caller keeps them
//    and keeps them alive) or owns a buffer it was given or made. An
//    operation that rewrites the message (AddSigner, AddSignerTimeStamp)
//    zero-fills and releases an owned previous buffer and owns the new one;
//    a borrowed buffer is never written to nor released: the blob simply
//    stops reading it. Destroying a blob zero-fills and releases what it owns.
//  - DetachedCmsMessage keeps its own copy of the signature (zero-filled
//    before release) and reads the caller's content in place: the content
//    must outlive the object and every tree built from it.
//  - EnvelopedMessage reads the caller's bytes in place.
// Objects handed out (certificates, tokens, trees, clones) belong to the
// caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cryptolib/certificate.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/content_feed.h"
#include "cryptolib/status.h"
#include "cryptolib/timestamp_token.h"
#include "platform/cert_store.h"

namespace vel::crypto {

// A byte buffer that is zero-filled before its memory is given back.
class WipedBuffer {
 public:
  WipedBuffer() = default;
  explicit WipedBuffer(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;
  WipedBuffer(WipedBuffer&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  WipedBuffer& operator=(WipedBuffer&& other) noexcept;
  ~WipedBuffer() { Wipe(); }

  // Zero-fills and releases the bytes.
  void Wipe();
  std::span<const uint8_t> bytes() const { return bytes_; }
  const uint8_t* data() const { return bytes_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

class CmsBlob {
 public:
  // Reads the caller's bytes in place; the caller keeps ownership.
  CmsBlob(const uint8_t* data, uint32_t length);
  // Takes the buffer over.
  explicit CmsBlob(std::vector<uint8_t> data);
  CmsBlob(const CmsBlob&) = delete;
  CmsBlob& operator=(const CmsBlob&) = delete;
  virtual ~CmsBlob();

  // The message as it stands now (after any rewrite).
  std::span<const uint8_t> Data() const { return data_; }
  uint32_t Length() const { return static_cast<uint32_t>(data_.size()); }
  // True when the blob owns the bytes it reads.
  bool OwnsData() const { return owned_.size() != 0; }

  // Co-signs the message with the certificate's key (CoSignAttached); on 0
  // the blob holds the co-signed message. The last result is left alone.
  LibraryErrorCode AddSigner(const platform::CertContext* signer_certificate);
  // The encapsulated content under the size rule.
  LibraryErrorCode GetContent(uint8_t* out, uint32_t* out_size) const;
  LibraryErrorCode GetSignerCount(uint32_t* count) const;
  LibraryErrorCode VerifySigner(uint32_t signer_index) const;
  // The signer's certificate (GetSignerItem selector 1) as a new object, or
  // as the platform's context; none with the status as the last result.
  std::unique_ptr<Certificate> GetSignerCertificate(uint32_t signer_index);
  platform::CertPtr GetSignerCertificateContext(uint32_t signer_index);
  // The occurrence-th signature time-stamp token of a signer; none with the
  // status as the last result.
  std::unique_ptr<TimeStampToken> GetSignerTimeStamp(uint32_t signer_index, uint32_t occurrence);
  // Adds a bare token as a signature time-stamp attribute of the signer; the
  // status is the last result and the message is rewritten only on 0.
  LibraryErrorCode AddSignerTimeStamp(uint32_t signer_index, const uint8_t* token,
                                      uint32_t token_length);
  LibraryErrorCode GetSignedAttribute(uint32_t signer_index, const char* oid, uint32_t occurrence,
                                      uint8_t* out, uint32_t* out_size) const;
  LibraryErrorCode GetSignerSignatureValue(uint32_t signer_index, uint8_t* out,
                                           uint32_t* out_size) const;
  // The tree of the message's signers (the tree keeps its own copy of the
  // message); none when it does not decode, with the reason in *status.
  std::unique_ptr<CmsSignerNode> BuildSignerTree(LibraryErrorCode* status = nullptr) const;
  // Index of the first signer whose certificate has the same issuer and
  // serial number; -1 when none.
  int FindSigner(const Certificate& certificate);
  int FindSigner(const platform::CertContext& certificate);

  LibraryErrorCode GetLastResult() const { return last_result_; }

 private:
  // Adopts a new encoding: an owned old buffer is zero-filled and released.
  void Replace(std::vector<uint8_t> bytes);

  std::span<const uint8_t> data_;
  WipedBuffer owned_;  // the bytes data_ reads when the blob owns them
  LibraryErrorCode last_result_ = 0;
};

class DetachedCmsMessage {
 public:
  // Copies the signature; reads the content in place (it must outlive the
  // object). A null content is read as empty.
  DetachedCmsMessage(const uint8_t* signature, uint32_t signature_length, const uint8_t* content,
                     uint32_t content_length);
  // Copies the signature; the content is read through the feed whenever a
  // signer is verified. Such a message is for reading only: co-signing it
  // gives 0x80004001.
  DetachedCmsMessage(const uint8_t* signature, uint32_t signature_length,
                     std::shared_ptr<ContentFeed> content);
  // Takes the signature over (a member just read, say), with content in place.
  DetachedCmsMessage(std::vector<uint8_t> signature, std::span<const uint8_t> content);
  DetachedCmsMessage(const DetachedCmsMessage&) = delete;
  DetachedCmsMessage& operator=(const DetachedCmsMessage&) = delete;
  virtual ~DetachedCmsMessage();

  std::span<const uint8_t> Signature() const { return signature_.bytes(); }
  std::span<const uint8_t> Content() const { return content_; }

  // Co-signs (CoSignDetached) into room for the current signature plus
  // 10,000 bytes (a larger result: 234); the status is the last result and
  // the signature is replaced only on 0.
  LibraryErrorCode CoSign(const platform::CertContext* signer_certificate);
  // A detached message gives no content: always 0x80004001.
  LibraryErrorCode GetContent(uint8_t* out, uint32_t* out_size) const;
  LibraryErrorCode GetSignerCount(uint32_t* count) const;
  // The signer over the content (VerifyDetached).
  LibraryErrorCode VerifySigner(uint32_t signer_index) const;
  std::unique_ptr<Certificate> GetSignerCertificate(uint32_t signer_index);
  platform::CertPtr GetSignerCertificateContext(uint32_t signer_index);
  std::unique_ptr<TimeStampToken> GetSignerTimeStampToken(uint32_t signer_index,
                                                          uint32_t occurrence);
  LibraryErrorCode GetSignerSignatureValue(uint32_t signer_index, uint8_t* out,
                                           uint32_t* out_size) const;
  LibraryErrorCode AddSignerTimeStampToken(uint32_t signer_index, const uint8_t* token,
                                           uint32_t token_length);
  int FindSignerIndex(const Certificate& certificate);
  int FindSignerIndex(const platform::CertContext& certificate);
  // 0 when the occurrence-th token of the signer verifies as a CMS signature
  // and its message imprint is the SHA-1 of the signer's signature value;
  // 0x80091007 when the imprint differs; otherwise the failing step's status.
  LibraryErrorCode VerifySignerTimeStamp(uint32_t signer_index, uint32_t occurrence);
  // A new object with its own copy of the signature over the same content
  // (the same feed).
  std::unique_ptr<DetachedCmsMessage> Clone() const;
  // The tree of the signers over the content (the tree copies the signature
  // and reads the content in place).
  std::unique_ptr<CmsSignerNode> BuildSignerTree(LibraryErrorCode* status = nullptr) const;

  LibraryErrorCode GetLastResult() const { return last_result_; }

 private:
  WipedBuffer signature_;
  std::span<const uint8_t> content_;
  std::shared_ptr<ContentFeed> feed_;  // instead of content_ when set
  LibraryErrorCode last_result_ = 0;
};

class EnvelopedMessage {
 public:
  // Reads the caller's bytes in place.
  EnvelopedMessage(const uint8_t* data, uint32_t length) : data_(data), length_(length) {}
  EnvelopedMessage(const EnvelopedMessage&) = delete;
  EnvelopedMessage& operator=(const EnvelopedMessage&) = delete;
  virtual ~EnvelopedMessage() = default;

  // DecryptMessage with the "My" store of the location (the program passes
  // 0x10000, the current user).
  LibraryErrorCode Decrypt(uint32_t store_flags, uint8_t* out, uint32_t* out_size) const;

 private:
  const uint8_t* data_;
  uint32_t length_;
};

// Room CreateDetachedCmsMessage gives a new signature, and CoSign above the
// current one.
inline constexpr uint32_t kDetachedSignatureRoom = 10000;

// Signs the content detached with the certificate's key into at most
// kDetachedSignatureRoom bytes (else 234) and returns a message over the new
// signature and the caller's content; none on failure, the status then kept
// for GetLastCreateError.
std::unique_ptr<DetachedCmsMessage> CreateDetachedCmsMessage(
    const uint8_t* content, uint32_t content_length,
    const platform::CertContext* signer_certificate);
// The status of the last failed CreateDetachedCmsMessage (process-wide, not
// reset by a success).
LibraryErrorCode GetLastCreateError();

}  // namespace vel::crypto
