// One wrapper per signed object (SignedSource) and per node of a signer tree
// (SignerRef), so that the rest of the program never switches on the
// library classes itself. The CMS kinds are built; an XML signed document
// is recognised but not read yet: such a source has kind 0 and says so
// (xml_not_checked()), and its signatures never count as correct.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/certificate.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/timestamp_token.h"

namespace vel::app {

class CMessageTable;

class SignerRef;

class SignedSource {
 public:
  enum Kind : uint32_t { kNone = 0, kCmsBlob = 1, kDetachedCms = 2, kXmlDocument = 3 };

  // isXml: an XML signed document (not readable yet: kind 0). Without
  // content: an attached CMS message read in place (the caller keeps the
  // bytes alive). Otherwise a detached signature over the content (read in
  // place), kind 0 when the object reports a failure.
  SignedSource(const uint8_t* data, uint32_t length, const uint8_t* content,
               uint32_t content_length, bool is_xml);
  // Adopts (owns) or borrows a detached message; kind 0 without one.
  SignedSource(crypto::DetachedCmsMessage* message, bool owns);
  SignedSource(const SignedSource&) = delete;
  SignedSource& operator=(const SignedSource&) = delete;
  virtual ~SignedSource();

  uint32_t kind() const { return kind_; }
  bool xml_not_checked() const { return xml_not_checked_; }

  // The tree of signers as a new owning reference; none on failure (the
  // reason in tree_status()), a malformed message included.
  std::unique_ptr<SignerRef> CreateSignerRef();
  crypto::LibraryErrorCode tree_status() const { return tree_status_; }

  crypto::LibraryErrorCode GetSignerCount(uint32_t* count) const;
  std::unique_ptr<crypto::Certificate> GetSignerCertificate(uint32_t index);
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
  uint32_t kind_ = kNone;
  bool owns_ = false;
  bool xml_not_checked_ = false;
  crypto::LibraryErrorCode tree_status_ = 0;
  crypto::CmsBlob* blob_ = nullptr;
  crypto::DetachedCmsMessage* detached_ = nullptr;
  // What the source deletes: the object above when it owns it.
  std::unique_ptr<crypto::CmsBlob> owned_blob_;
  std::unique_ptr<crypto::DetachedCmsMessage> owned_detached_;
};

// The text an XML signed document gets in place of a verdict, in the
// catalog's language.
std::string XmlNotCheckedText(const CMessageTable& catalog);

// A node of a signer tree. The reference CreateSignerRef made owns the tree;
// references made from it (GetNext, GetFirstChild) point into the same tree
// and own nothing, so the tree is released once.
class SignerRef {
 public:
  enum Kind : uint32_t { kNone = 0, kCms = 1, kXades = 2 };

  // A reference into a tree someone else owns, and the owner of a tree.
  explicit SignerRef(const crypto::CmsSignerNode* node);
  explicit SignerRef(std::unique_ptr<crypto::CmsSignerNode> root);
  SignerRef(const SignerRef&) = delete;
  SignerRef& operator=(const SignerRef&) = delete;
  virtual ~SignerRef();

  uint32_t kind() const { return kind_; }
  // The node's own signature: 0 or the status; anything thrown gives 2.
  crypto::LibraryErrorCode Verify() const;
  crypto::LibraryErrorCode ShowDetails(void* owner) const;
  // The node's certificate, the caller's to keep; none without one. Every
  // call gives a new object, so no caller ever deletes the node's own.
  std::unique_ptr<crypto::Certificate> GetCertificate() const;
  std::unique_ptr<SignerRef> GetNext() const;
  std::unique_ptr<SignerRef> GetFirstChild() const;
  // Time-stamp signers of a CMS node are its children: always none here.
  std::unique_ptr<SignerRef> GetFirstTimeStamp() const { return nullptr; }
  uint32_t GetNodeKind() const;
  int GetForms() const { return -1; }
  const std::string& GetTimeText() const;
  const crypto::CmsSignerNode* node() const { return node_; }

 private:
  uint32_t kind_ = kNone;
  const crypto::CmsSignerNode* node_ = nullptr;
  std::unique_ptr<crypto::CmsSignerNode> owned_;
};

}  // namespace vel::app
