// The tree of the signatures of one XAdES document as the application shows
// them: one node per Signature element, top-level signatures chained as
// siblings, counter-signatures below the signature they counter-sign, and
// under every top-level signature its signature time stamps as time-stamp
// signer nodes of the crypto library.
//
// The root owns the verification context (with the parsed document) and,
// through unique pointers, every other node; no node refers to the bytes it
// was built from. Links come from the records' indexes and are taken only
// forwards (from entry i to entry j with i < j < count), each node with one
// owner: a record that names a node twice, backwards or out of range fails
// the build instead of making a cycle or a double release.
//
// Positions: a node's signature index counts the top-level signatures as the
// verification selects them (topSignatureIndex: records without a parent, in
// document order), and its counter-signature index counts the
// counter-signatures directly below that top-level signature
// (counterSignatureIndex). Every method that passes a position to the engine
// uses these, never the node's index in the context, so a counter-signature
// that precedes a later top-level signature in the document shifts nothing.
// Before a call the node checks that its positions select its own record;
// a counter-signature nested in another counter-signature has no such
// position and answers 13 rather than the result of another signature.
#pragma once

#include <cstdint>
#include <memory>

#include "cryptolib/certificate.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/timestamp_token.h"
#include "xades/document_access.h"
#include "xades/verify_context.h"

namespace vel::xades {

// GetForms for a node without a context or record.
inline constexpr int32_t kNoForms = 100;
// Verification results of a node without a context / without a record.
inline constexpr uint32_t kNodeNoContext = 1;
inline constexpr uint32_t kNodeNoEntry = 2;
// Time-stamp signer nodes loaded per signature at most; a signature with more
// is not a real one, and the list must stay bounded.
inline constexpr int kMaxTimeStampSigners = 64;

class XadesSignatureNode {
 public:
  enum Kind : uint32_t { kTopLevel = 1, kCounterSignature = 2 };

  // A node without links, context or certificate; the indexes -1.
  XadesSignatureNode();
  // The root: loads the document and builds the whole tree. Never fails
  // outright; on failure build_failed() is true and the root holds nothing.
  XadesSignatureNode(const uint8_t* xml, uint32_t length);
  // The root over a document already loaded (xadesLoadDocument); shares it
  // with whoever else holds it (several trees of one document read one parse,
  // and must then be used on one thread).
  explicit XadesSignatureNode(std::shared_ptr<XadesVerifyContext> context);
  virtual ~XadesSignatureNode();
  XadesSignatureNode(const XadesSignatureNode&) = delete;
  XadesSignatureNode& operator=(const XadesSignatureNode&) = delete;

  // XadesFormFlags of this signature and the counter-signatures inside it;
  // kNoForms without a context or record.
  int32_t GetForms();
  // The signer certificate of KeyInfo, still owned by the node.
  crypto::Certificate* GetCertificate() const { return certificate_.get(); }
  // Opens the XML signer window on a copy of this signature: 0 or the error.
  uint32_t ShowInfoWindow(void* unused);

  // Verification: kNodeNoContext, kNodeNoEntry, 13 when the node's positions
  // do not select its record, otherwise the engine's status. A top-level
  // signature runs the one form check of the method; a counter-signature is
  // verified in full (with its forms).
  uint32_t VerifySignatureTimeStamp();
  uint32_t VerifyCompleteRefs();
  uint32_t VerifyRefsTimeStamp();
  // First the path from the signature's embedded values, anchored in the
  // user's stores (kEmbeddedPathFailed when it fails), then the values check.
  uint32_t VerifyValues();
  uint32_t VerifyArchiveTimeStamp();
  uint32_t VerifyEx(bool withForms);
  uint32_t Verify() { return VerifyEx(false); }

  // The k-th token (0-based) of that kind as a new object, or none.
  std::unique_ptr<crypto::TimeStampToken> GetSignatureTimeStamp(int k);
  std::unique_ptr<crypto::TimeStampToken> GetArchiveTimeStamp(int k);
  std::unique_ptr<crypto::TimeStampToken> GetRefsTimeStamp(int k);
  // Builds the time-stamp signer list from the signature time stamps, in
  // document order; stops at the first token that does not decode and after
  // kMaxTimeStampSigners.
  void LoadTimeStampSigners();

  uint32_t kind() const { return kind_; }
  XadesSignatureNode* next() const { return next_.get(); }
  XadesSignatureNode* first_child() const { return first_child_.get(); }
  crypto::CmsSignerNode* time_stamp_signers() const { return time_stamp_signers_.get(); }
  bool build_failed() const { return build_failed_; }
  int32_t index_in_context() const { return index_in_context_; }
  int32_t signature_index() const { return signature_index_; }
  int32_t counter_signature_index() const { return counter_signature_index_; }
  const XadesVerifyContext* context() const { return context_; }
  const XadesSignContext* entry() const { return entry_; }

 private:
  void Build();
  // True when the node's positions select its own record.
  bool SelectsOwnEntry() const;
  // 0 when the node can be verified, else the result to give.
  uint32_t Precheck() const;
  uint32_t VerifyFormMode(int32_t mode);
  std::unique_ptr<crypto::TimeStampToken> TokenOf(const xmlNode* element) const;

  // Released last: the nodes and signer lists point into it.
  std::shared_ptr<XadesVerifyContext> owned_context_;
  uint32_t kind_ = kTopLevel;
  std::unique_ptr<XadesSignatureNode> next_;
  std::unique_ptr<XadesSignatureNode> first_child_;
  std::unique_ptr<crypto::CmsSignerNode> time_stamp_signers_;
  crypto::CmsSignerNode* last_time_stamp_signer_ = nullptr;
  bool build_failed_ = false;
  XadesVerifyContext* context_ = nullptr;  // the root's
  XadesSignContext* entry_ = nullptr;      // inside the context
  std::unique_ptr<crypto::Certificate> certificate_;
  int32_t index_in_context_ = -1;
  int32_t signature_index_ = -1;
  int32_t counter_signature_index_ = -1;
};

}  // namespace vel::xades
