// One wrapper per signed object (SignedSource) and per node of a signer tree
// (SignerRef), so that the rest of the program never switches on the
// library classes itself: attached and detached CMS messages, and XML
// documents with XAdES signatures.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/certificate.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/content_feed.h"
#include "cryptolib/timestamp_token.h"
#include "xades/signature_node.h"
#include "xades/xml_signed_document.h"

namespace vel::app {

class SignerRef;

class SignedSource {
 public:
  enum Kind : uint32_t { kNone = 0, kCmsBlob = 1, kDetachedCms = 2, kXmlDocument = 3 };

  // isXml: an XML signed document over a copy of the bytes, kind 0 when
  // they are not one (not XML, or no signature can be counted). Without
  // content: an attached CMS message read in place (the caller keeps the
  // bytes alive). Otherwise a detached signature over the content (read in
  // place), kind 0 when the object reports a failure.
  SignedSource(const uint8_t* data, uint32_t length, const uint8_t* content,
               uint32_t content_length, bool is_xml);
  // A detached signature over content read through a feed (a file digested
  // piece by piece); kind 0 without the signature or the feed.
  SignedSource(const uint8_t* data, uint32_t length, std::shared_ptr<crypto::ContentFeed> content);
  // Adopts (owns) or borrows a detached message; kind 0 without one.
  SignedSource(crypto::DetachedCmsMessage* message, bool owns);
  // A detached signature over `content` read in place, empty content
  // included: a multipart/signed message's signature covers its first part
  // even when that part is empty, and read as an attached message it would be
  // checked over content it carries that nobody is shown.
  static std::unique_ptr<SignedSource> Detached(std::span<const uint8_t> signature,
                                                std::span<const uint8_t> content);
  SignedSource(const SignedSource&) = delete;
  SignedSource& operator=(const SignedSource&) = delete;
  virtual ~SignedSource();

  uint32_t kind() const { return kind_; }
  // The bytes an XML document holds now (its time stamps and signatures
  // added); empty for the other kinds.
  std::span<const uint8_t> xml_bytes() const {
    return kind_ == kXmlDocument ? xml_->bytes() : std::span<const uint8_t>();
  }

  // The tree of signers as a new owning reference; none on failure (the
  // reason in tree_status()), a malformed message included.
  std::unique_ptr<SignerRef> CreateSignerRef();
  crypto::LibraryErrorCode tree_status() const { return tree_status_; }

  crypto::LibraryErrorCode GetSignerCount(uint32_t* count) const;
  std::unique_ptr<crypto::Certificate> GetSignerCertificate(uint32_t index);
  // CMS: the signer's signature. XML: the full check of signature i (its
  // certificate with the older edition's network settings, then its forms,
  // its signature and its time stamps): the certificate check's class 1 or
  // 2, else the first failing check's status, or 0.
  crypto::LibraryErrorCode VerifySigner(uint32_t index) const;
  std::unique_ptr<crypto::TimeStampToken> GetSignatureTimeStamp(uint32_t index, uint32_t k);
  crypto::LibraryErrorCode GetContent(uint8_t* out, uint32_t* out_size) const;
  crypto::LibraryErrorCode GetLastResult() const;
  crypto::LibraryErrorCode GetTimeStampInput(uint32_t index, uint8_t* out, uint32_t* out_size) const;
  crypto::LibraryErrorCode AddSignatureTimeStamp(uint32_t index, const uint8_t* token,
                                                 uint32_t token_length);
  int GetSignatureForms(uint32_t index) const;
  int FindSignerIndex(const crypto::Certificate& certificate);
  crypto::LibraryErrorCode AddSignature(const platform::CertContext* signer_certificate);

 private:
  crypto::LibraryErrorCode VerifyXmlSignature(int index) const;

  uint32_t kind_ = kNone;
  bool owns_ = false;
  crypto::LibraryErrorCode tree_status_ = 0;
  crypto::CmsBlob* blob_ = nullptr;
  crypto::DetachedCmsMessage* detached_ = nullptr;
  xades::XmlSignedDocument* xml_ = nullptr;
  uint32_t xml_count_ = 0;  // its top-level signatures (a time stamp adds none)
  // The tree read at construction, until CreateSignerRef takes it or the
  // bytes change.
  std::unique_ptr<xades::XadesSignatureNode> first_tree_;
  // What the source deletes: the object above when it owns it.
  std::unique_ptr<crypto::CmsBlob> owned_blob_;
  std::unique_ptr<crypto::DetachedCmsMessage> owned_detached_;
  std::unique_ptr<xades::XmlSignedDocument> owned_xml_;
};

// A node of a signer tree. The reference CreateSignerRef made owns the tree;
// references made from it (GetNext, GetFirstChild) point into the same tree
// and own nothing, so the tree is released once.
class SignerRef {
 public:
  enum Kind : uint32_t { kNone = 0, kCms = 1, kXades = 2 };

  // A reference into a tree someone else owns, and the owner of a tree.
  explicit SignerRef(const crypto::CmsSignerNode* node);
  explicit SignerRef(std::unique_ptr<crypto::CmsSignerNode> root);
  explicit SignerRef(xades::XadesSignatureNode* node);
  explicit SignerRef(std::unique_ptr<xades::XadesSignatureNode> root);
  SignerRef(const SignerRef&) = delete;
  SignerRef& operator=(const SignerRef&) = delete;
  virtual ~SignerRef();

  uint32_t kind() const { return kind_; }
  // The node's own signature: 0 or the status; anything thrown gives 2. A
  // XAdES node checks its forms first (archive time stamps, values,
  // reference time stamps, complete references), then its signature and its
  // signature time stamps.
  crypto::LibraryErrorCode Verify() const;
  crypto::LibraryErrorCode ShowDetails(void* owner) const;
  // The node's certificate, the caller's to keep; none without one. Every
  // call gives a new object (over the same certificate for a XAdES node), so
  // no caller ever deletes the node's own.
  std::unique_ptr<crypto::Certificate> GetCertificate() const;
  std::unique_ptr<SignerRef> GetNext() const;
  std::unique_ptr<SignerRef> GetFirstChild() const;
  // The first time-stamp signer of a XAdES signature (a CMS reference);
  // those of a CMS node are its children: none.
  std::unique_ptr<SignerRef> GetFirstTimeStamp() const;
  uint32_t GetNodeKind() const;
  // XadesFormFlags of a XAdES node; -1 for a CMS node.
  int GetForms() const;
  const std::string& GetTimeText() const;
  const crypto::CmsSignerNode* node() const { return node_; }
  xades::XadesSignatureNode* xades_node() const { return xades_; }

 private:
  uint32_t kind_ = kNone;
  const crypto::CmsSignerNode* node_ = nullptr;
  xades::XadesSignatureNode* xades_ = nullptr;
  std::unique_ptr<crypto::CmsSignerNode> owned_;
  std::unique_ptr<xades::XadesSignatureNode> owned_xades_;
};

}  // namespace vel::app
