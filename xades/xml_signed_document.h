// The object through which the application holds an XML document with XAdES
// signatures: its own copy of the bytes (zero-filled when released or
// replaced), with every operation forwarded to the engine or to the signature
// tree of the document.
//
// The bytes are parsed once: the first method that needs the document loads
// it and builds its tree, which every later method reads until Sign or
// AddSignatureTimeStamp replaces the bytes. Trees handed out by
// CreateSignatureTree read the same parse, so they and the object are used
// on one thread.
//
// Signature numbers n count top-level signatures from 0, in the order of the
// tree's top-level chain (the order the verification selects them in), the
// same in every method: the count, the certificate, the time-stamp input and
// the additions speak of the signature that Verify(n) checks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "cryptolib/certificate.h"
#include "cryptolib/cms_classes.h"
#include "platform/cert_store.h"
#include "xades/signature_node.h"

namespace vel::xades {

// Results of the class itself.
inline constexpr uint32_t kDocNoTree = 13;
inline constexpr uint32_t kDocNoSignature = 87;  // tree not built, or no signature n
inline constexpr uint32_t kDocNoCompleteRefs = 2;
// GetContent: the content Object is not the target of a reference of a
// signature that verifies, so nothing vouches for it.
inline constexpr uint32_t kContentNotSigned = 13;

class XmlSignedDocument {
 public:
  // Copies the bytes.
  XmlSignedDocument(const uint8_t* xml, uint32_t length);
  virtual ~XmlSignedDocument();
  XmlSignedDocument(const XmlSignedDocument&) = delete;
  XmlSignedDocument& operator=(const XmlSignedDocument&) = delete;

  // Adds a signature with the certificate's key (two calls of the engine);
  // the held bytes change only on 0.
  uint32_t Sign(const platform::CertContext* certificate);
  // The content (second Object) of the first top-level signature under the
  // size rule, only when a reference of a signature that verifies has that
  // Object as its target; otherwise kContentNotSigned.
  uint32_t GetContent(uint8_t* out, uint32_t* size);
  uint32_t GetSignatureCount(int* count);
  // XadesFormFlags of signature n; kNoForms with the last result 87 when the
  // tree failed or has no signature n, with the last result 0 otherwise.
  int32_t GetSignatureForms(int n);
  // The statuses of the tree's nodes, kept as the last result; 87 when the
  // tree failed or has no signature n.
  uint32_t Verify(int n);
  uint32_t VerifyRefsTimeStamp(int n);
  uint32_t VerifyArchiveTimeStamp(int n);
  // The complete references of signature n (with the embedded values when it
  // carries X-L or A); 13 no such signature, 2 no complete references. Kept as
  // the last result.
  uint32_t VerifyCertificateRefs(int n);
  // xadesVerifyValues; not kept.
  uint32_t VerifyValues(int n);
  // The signer certificate of signature n, or none; the engine's code is kept.
  std::unique_ptr<crypto::Certificate> GetSignerCertificate(int n);
  uint32_t GetLastResult() const { return last_result_; }
  // Adds a signature time stamp (DER token) to signature n (two calls); the
  // held bytes change only on 0.
  uint32_t AddSignatureTimeStamp(int n, const uint8_t* token, uint32_t length);
  // The index of the signature whose KeyInfo certificate (the one its value
  // is checked with) is this certificate, or -1.
  int FindSignerIndex(crypto::Certificate& certificate);
  // What a signature time stamp of signature n covers, under the size rule.
  uint32_t GetTimeStampInput(int n, uint8_t* out, uint32_t* size);
  // A new tree over the held bytes (check build_failed() before walking);
  // it shares the object's parse and may outlive the object.
  std::unique_ptr<XadesSignatureNode> CreateSignatureTree() const;

  std::span<const uint8_t> bytes() const { return bytes_.bytes(); }

 private:
  // Runs a size-rule engine call twice and takes the output as the new bytes.
  template <typename Call>
  uint32_t ReplaceByTwoCalls(Call call);
  // The document loaded from the held bytes (none when it does not load),
  // and its tree; made once per bytes.
  const std::shared_ptr<XadesVerifyContext>& Loaded() const;
  XadesSignatureNode& Tree() const;
  // The node of top-level signature n; none when the tree failed or has no
  // such signature.
  XadesSignatureNode* TopLevelNode(int n) const;
  // Drops the parse after the bytes changed.
  void Forget();
  // A node method run on signature n, the status kept.
  uint32_t VerifyNode(int n, uint32_t (XadesSignatureNode::*method)());

  crypto::WipedBuffer bytes_;
  uint32_t last_result_ = 0;
  mutable bool load_tried_ = false;
  mutable std::shared_ptr<XadesVerifyContext> loaded_;
  mutable std::unique_ptr<XadesSignatureNode> tree_;
  // Whether a signature that verifies vouches for the content Object.
  std::optional<bool> content_vouched_;
};

}  // namespace vel::xades
