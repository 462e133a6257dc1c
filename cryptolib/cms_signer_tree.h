// The tree of a CMS SignedData's signers: the message's signers are a chain
// of siblings; each signer's counter-signers and then its signature time
// stamps are its children (a counter-signer's own counter-signers are its
// children). Every node finds its certificate among the certificates of the
// SignedData it belongs to, verifies its own signature, and a time-stamp
// signer gives the token's time as text.
//
// The tree is read by the bounded CMS reader and keeps its own copy of the
// message and of every token; the content of a detached message is read in
// place and must outlive the tree. A counter-signature or time stamp that
// does not decode still becomes a node (without a SignerInfo; its Verify
// gives 13), so that it shows as a signature that could not be checked.
//
// Verify checks one node's signature (no chain, no revocation):
//  - a signer of plain data without signed attributes: the signature covers
//    the content's digest itself; otherwise
//  - the signed attributes hold exactly one messageDigest equal to the
//    digest, by the signer's digest algorithm (SHA-1 or SHA-2), of the bytes
//    it signed; a signer or time-stamp signer also exactly one contentType
//    equal to the content's type (a counter-signer at most one): else
//    0x80091007;
//  - the signature over the signed attributes verifies with the
//    certificate's RSA key: else 0x80090006 (0x80090008 for an algorithm
//    that is not supported);
//  - a time-stamp signer under a signer also needs the token's message
//    imprint to be the digest of that signer's signature value (0x80091007).
// No SignerInfo, no certificate, nothing to digest, or
// a token's TSTInfo that does not decode: 13. 0 only when every check ran.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/certificate.h"
#include "cryptolib/content_feed.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::crypto {

namespace cms {
struct SignerInfo;
}

// Counter-signatures nest inside one another; deeper ones than this become
// nodes that do not verify.
inline constexpr int kMaxCounterSignatureDepth = 16;

// The time text of a GeneralizedTime as a time-stamp authority writes it:
// "YYYY-MM-DD hh:mm:ss", followed by " UTC" when the time ends in 'Z'. False
// (and no text) unless the time is YYYYMMDDhhmmss with valid values, then
// optionally a fraction ('.' or ',' and digits), then optionally 'Z' or a
// +hhmm / -hhmm offset, and nothing else.
bool TimeStampTimeText(std::string_view gen_time, std::string* text);

class CmsSignerNode {
 public:
  enum Kind : uint32_t { kSigner = 1, kCounterSigner = 2, kTimeStampSigner = 3 };

  // The root of the tree of an encoded SignedData (a ContentInfo). `content`
  // is the detached content, read in place (none for an attached message,
  // whose signers digest the encapsulated content). Further signers are the
  // root's siblings in message order. None when the message does not decode
  // (0x8009310B, 0x80091004), with the reason in *status.
  static std::unique_ptr<CmsSignerNode> BuildTree(const uint8_t* message, uint32_t length,
                                                  const uint8_t* content, uint32_t content_length,
                                                  LibraryErrorCode* status = nullptr);
  // The same over detached content read through a feed, shared by the
  // tree's signers (each digest algorithm reads it once, from the start).
  static std::unique_ptr<CmsSignerNode> BuildTree(const uint8_t* message, uint32_t length,
                                                  std::shared_ptr<ContentFeed> content,
                                                  LibraryErrorCode* status = nullptr);

  // A time-stamp signer node over a token (a bare token or a whole
  // TimeStampResp, copied). With `stamped`, Verify also requires the token's
  // message imprint to be the digest of those bytes; without, the caller
  // checks the imprint itself. None when the token does not decode, with the
  // reason in *status.
  static std::unique_ptr<CmsSignerNode> ConstructTimeStampSigner(
      std::span<const uint8_t> token,
      std::optional<std::span<const uint8_t>> stamped = std::nullopt,
      LibraryErrorCode* status = nullptr);

  CmsSignerNode(const CmsSignerNode&) = delete;
  CmsSignerNode& operator=(const CmsSignerNode&) = delete;
  virtual ~CmsSignerNode();

  uint32_t kind() const { return kind_; }
  CmsSignerNode* next() const { return next_.get(); }
  // Appends `node` at the end of this node's sibling chain (another tree
  // keeps its time-stamp signers as such a chain).
  void AppendSibling(std::unique_ptr<CmsSignerNode> node);
  CmsSignerNode* first_child() const { return first_child_.get(); }

  // The signer's certificate, as a new object or as the platform's context;
  // none when the SignedData does not hold the one its issuer and serial
  // number name (a subject key identifier names none).
  std::unique_ptr<Certificate> GetCertificate() const;
  platform::CertPtr GetCertificateContext() const { return certificate_; }
  // The node's SignerInfo as it stands in the message; empty when none.
  std::span<const uint8_t> signer_info() const;
  // Opens the CMS signer window for the node: 13 without a SignerInfo or a
  // certificate; 120 until the program installs the window
  // (cryptolib/cms_signer_window.h).
  LibraryErrorCode ShowInfoWindow(void* owner) const;
  // 0 when the node's signature verifies (see above), else the status.
  LibraryErrorCode Verify() const;
  // For a time-stamp signer the token's time ("2009-04-09 12:34:56 UTC");
  // empty for other kinds and for a time that is not well formed.
  const std::string& GetTimeText() const { return time_text_; }

 private:
  struct Decoded;
  class DigestCache;
  static LibraryErrorCode DecodeSignedData(std::span<const uint8_t> bytes,
                                           std::shared_ptr<Decoded>* out);
  static std::unique_ptr<CmsSignerNode> BuildRoots(const uint8_t* message, uint32_t length,
                                                   const uint8_t* content,
                                                   uint32_t content_length,
                                                   std::shared_ptr<ContentFeed> feed,
                                                   LibraryErrorCode* status);
  CmsSignerNode(uint32_t kind, std::shared_ptr<const Decoded> decoded,
                const cms::SignerInfo* info);

  // Certificate, counter-signers and (for signers) time-stamp signers.
  void Populate(int depth);
  void AppendChild(std::unique_ptr<CmsSignerNode> child);
  static std::unique_ptr<CmsSignerNode> MakeCounterSigner(std::span<const uint8_t> value,
                                                          const CmsSignerNode& parent, int depth);
  static std::unique_ptr<CmsSignerNode> MakeTimeStampSigner(
      std::span<const uint8_t> value, std::optional<std::span<const uint8_t>> stamped,
      LibraryErrorCode* status);
  LibraryErrorCode CheckImprint() const;

  uint32_t kind_;
  std::unique_ptr<CmsSignerNode> next_;
  std::unique_ptr<CmsSignerNode> first_child_;
  // The SignedData the node's SignerInfo is in (the root's, a token's, or
  // for a counter-signer one made around its SignerInfo) ...
  std::shared_ptr<const Decoded> decoded_;
  // ... and the one whose certificates it is looked up in.
  std::shared_ptr<const Decoded> certificates_from_;
  const cms::SignerInfo* info_ = nullptr;  // inside *decoded_; none when absent
  platform::CertPtr certificate_;
  // What the signer signed: the detached content (the caller's), or a copy
  // of the counter-signed signature value; when neither, the SignedData's
  // encapsulated content.
  bool has_data_ = false;
  std::shared_ptr<DigestCache> content_digests_;  // the message's signers only
  std::span<const uint8_t> data_;
  std::vector<uint8_t> owned_data_;
  // A time-stamp signer: the bytes its token stamped, when known.
  bool has_stamped_ = false;
  std::vector<uint8_t> stamped_;
  std::string time_text_;
};

}  // namespace vel::crypto
