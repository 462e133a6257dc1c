// The record of one ds:Signature on which signing and verification work: its
// references and their targets, its canonicalisation method, the signer's
// certificate, and the links verification makes between signatures.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "platform/signer.h"
#include "xades/xml_doc.h"

namespace vel::xades {

// A document the record either owns (signing: the record releases it) or
// shares with its verification context (which releases it). The kind is
// fixed when the handle is made, so no path can release a shared document.
class DocHandle {
 public:
  DocHandle() = default;
  static DocHandle Owned(XmlDocPtr doc) {
    DocHandle h;
    h.owned_ = std::move(doc);
    h.doc_ = h.owned_.get();
    return h;
  }
  static DocHandle Shared(xmlDoc* doc) {
    DocHandle h;
    h.doc_ = doc;
    return h;
  }
  xmlDoc* get() const { return doc_; }
  bool owned() const { return owned_ != nullptr; }

 private:
  XmlDocPtr owned_;
  xmlDoc* doc_ = nullptr;
};

enum class DocOwnership { kOwned, kShared };

// Transform kinds of the reference read last.
inline constexpr int kTransformNone = 0;
inline constexpr int kTransformEnveloped = 1;
inline constexpr int kTransformExternalUri = 2;

struct XadesSignContext {
  std::vector<xmlNode*> references;  // Reference elements of SignedInfo, in order
  std::vector<xmlNode*> targets;     // parallel; none for enveloped or outside URIs
  xmlNode* signature = nullptr;
  // Links of the verification list; none at creation.
  XadesSignContext* next = nullptr;
  XadesSignContext* parent = nullptr;
  XadesSignContext* firstCounterSignature = nullptr;
  int32_t nextIndex = -1;
  int32_t parentIndex = -1;
  int32_t firstChildIndex = -1;
  DocHandle secondDocument;
  DocHandle signatureDocument;
  int32_t referenceCount = 0;
  uint32_t cryptoProvider = 0;  // 0: the platform's signer, the only one
  // The SignatureTimeStamp token elements, in the signature's document.
  std::vector<xmlNode*> signatureTimeStamps;
  int32_t signatureTimeStampCount = 0;
  platform::CertPtr signerCertificate;
  platform::Signer* signer = nullptr;  // signing only; not owned
  std::vector<uint8_t> certificateBytes;
  int c14nMethod = kC14nMethodInclusive;
  int transformKind = kTransformNone;
};

using XadesSignContextPtr = std::unique_ptr<XadesSignContext>;

// The elements of one document by the values of their Id and id attributes,
// made in one walk of the document; a value that more than one element
// carries is kept as ambiguous.
class IdIndex {
 public:
  explicit IdIndex(xmlDoc* doc);
  // The element, or none (with *duplicate telling whether the value is ambiguous).
  xmlNode* Find(std::string_view id, bool* duplicate) const;

 private:
  std::unordered_map<std::string, xmlNode*> elements_;  // none: ambiguous
};

// The indexes of the documents a load resolves references in, each made the
// first time it is asked for.
class IdIndexes {
 public:
  const IdIndex& Of(xmlDoc* doc);

 private:
  std::vector<std::pair<xmlDoc*, std::unique_ptr<IdIndex>>> indexes_;
};

// A record for the Signature element; `second` (or none) is another element
// whose document is searched for reference targets after the signature's own.
// With kOwned the record takes both documents when it is made (on failure
// they stay the caller's); with kShared it only points at them. None (with a message) when the
// Signature is not well formed, a reference target is missing, or an Id names more than one
// element.
// `indexes`, when given, serves (and keeps) the Id indexes of the documents,
// so that the records of one load share them.
XadesSignContextPtr xadesSignContextCreate(xmlNode* signature, xmlNode* second,
                                           DocOwnership ownership, IdIndexes* indexes = nullptr);
// The same, with the signer whose certificate and key sign.
XadesSignContextPtr xadesSignContextCreateWithCert(xmlNode* signature, xmlNode* second,
                                                   DocOwnership ownership,
                                                   platform::Signer& signer,
                                                   IdIndexes* indexes = nullptr);
void xadesSignContextFree(XadesSignContextPtr record);

// The values of the element's own Id and id attributes (those in no namespace).
std::vector<std::string> idValuesOf(const xmlNode* element);

// The element after `node` in document order (depth first, without
// recursion, so any nesting depth costs no stack); none after the last.
xmlNode* nextElementInOrder(xmlNode* node);

// The element whose Id or id attribute is `id` in the first of the documents
// that holds one; none when none does or when that document holds more than
// one (*duplicate tells which).
xmlNode* findElementById(IdIndexes& indexes, std::initializer_list<xmlDoc*> docs,
                         std::string_view id, bool* duplicate = nullptr);

}  // namespace vel::xades
