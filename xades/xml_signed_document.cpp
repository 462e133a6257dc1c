#include "xades/xml_signed_document.h"

#include <algorithm>
#include <vector>

#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/signature_discovery.h"
#include "xades/xades_sign.h"

namespace vel::xades {
namespace {

// The position of the signature among the Signature children of the root
// (0 also for a root that is the signature), as the time-stamp addition
// counts; -1 when it stands elsewhere.
int RootPosition(const xmlNode* signature) {
  const xmlNode* root = xmlDocGetRootElement(signature->doc);
  if (root == signature) return 0;
  if (signature->parent != root) return -1;
  int position = 0;
  for (const xmlNode* c = root->children; c != signature; c = c->next)
    if (isDsig(c, "Signature")) ++position;
  return position;
}

}  // namespace

XmlSignedDocument::XmlSignedDocument(const uint8_t* xml, uint32_t length)
    : bytes_(xml != nullptr ? std::vector<uint8_t>(xml, xml + length) : std::vector<uint8_t>()) {}

XmlSignedDocument::~XmlSignedDocument() = default;

const std::shared_ptr<XadesVerifyContext>& XmlSignedDocument::Loaded() const {
  if (!load_tried_) {
    load_tried_ = true;
    loaded_ = xadesLoadDocument(bytes_.data(), static_cast<uint32_t>(bytes_.size()));
  }
  return loaded_;
}

XadesSignatureNode& XmlSignedDocument::Tree() const {
  if (tree_ == nullptr) tree_ = std::make_unique<XadesSignatureNode>(Loaded());
  return *tree_;
}

void XmlSignedDocument::Forget() {
  tree_.reset();
  loaded_.reset();
  load_tried_ = false;
  content_vouched_.reset();
}

template <typename Call>
uint32_t XmlSignedDocument::ReplaceByTwoCalls(Call call) {
  uint32_t size = 0;
  // The engine answers a size query with 234; anything else is its failure.
  uint32_t rc = call(nullptr, &size);
  if (rc != kAccessMoreData) return rc;
  std::vector<uint8_t> out(size, 0);
  rc = call(out.data(), &size);
  if (rc != 0 || size > out.size()) {
    crypto::WipedBuffer discarded(std::move(out));
    return rc != 0 ? rc : kAccessMoreData;
  }
  out.resize(size);
  bytes_ = crypto::WipedBuffer(std::move(out));
  Forget();
  return 0;
}

uint32_t XmlSignedDocument::Sign(const platform::CertContext* certificate) {
  const crypto::WipedBuffer& in = bytes_;
  return ReplaceByTwoCalls([&](uint8_t* out, uint32_t* size) {
    return xadesAddSignature(in.data(), in.size(), certificate, out, size);
  });
}

uint32_t XmlSignedDocument::AddSignatureTimeStamp(int n, const uint8_t* token, uint32_t length) {
  // The engine counts the Signature children of the root: signature n is
  // handed over at its place there, or not at all.
  const XadesSignatureNode* node = TopLevelNode(n);
  const int position = node != nullptr ? RootPosition(node->entry()->signature) : -1;
  if (position < 0) return 191;
  const crypto::WipedBuffer& in = bytes_;
  return ReplaceByTwoCalls([&](uint8_t* out, uint32_t* size) {
    return xadesAddSignatureTimeStamp(in.data(), in.size(), token, length, out, size, position);
  });
}

uint32_t XmlSignedDocument::GetContent(uint8_t* out, uint32_t* size) {
  // The Object found by position proves nothing by itself: it is given out
  // only when a signature that verifies (its reference digests checked) has
  // it as the target of one of its references.
  XadesSignatureNode& tree = Tree();
  if (tree.build_failed()) return kContentNotSigned;
  const xmlNode* object = contentObjectOf(tree.entry()->signature, 0);
  if (object == nullptr) return kContentNotSigned;
  if (!content_vouched_) {
    bool vouched = false;
    for (XadesSignatureNode* node = &tree; node != nullptr && !vouched; node = node->next()) {
      const auto& targets = node->entry()->targets;
      vouched = std::find(targets.begin(), targets.end(), object) != targets.end() &&
                node->Verify() == 0;
    }
    content_vouched_ = vouched;
  }
  if (!*content_vouched_) return kContentNotSigned;
  return getObjectContentOf(object, out, size);
}

uint32_t XmlSignedDocument::GetSignatureCount(int* count) {
  const XadesSignatureNode& tree = Tree();
  // A document that does not load is counted by the engine, so that a
  // signature that is there but unreadable is still shown (and fails).
  if (tree.build_failed()) return getSignatureCount(bytes_.data(), bytes_.size(), count);
  int found = 0;
  for (const XadesSignatureNode* node = &tree; node != nullptr; node = node->next()) ++found;
  if (count != nullptr) *count = found;
  return 0;
}

XadesSignatureNode* XmlSignedDocument::TopLevelNode(int n) const {
  XadesSignatureNode& tree = Tree();
  if (tree.build_failed() || n < 0) return nullptr;
  XadesSignatureNode* node = &tree;
  for (int i = 0; i < n && node != nullptr; ++i) node = node->next();
  return node;
}

int32_t XmlSignedDocument::GetSignatureForms(int n) {
  XadesSignatureNode* node = TopLevelNode(n);
  if (node == nullptr) {
    last_result_ = kDocNoSignature;
    return kNoForms;
  }
  last_result_ = 0;
  return node->GetForms();
}

uint32_t XmlSignedDocument::VerifyNode(int n, uint32_t (XadesSignatureNode::*method)()) {
  XadesSignatureNode* node = TopLevelNode(n);
  last_result_ = node != nullptr ? (node->*method)() : kDocNoSignature;
  return last_result_;
}

uint32_t XmlSignedDocument::Verify(int n) { return VerifyNode(n, &XadesSignatureNode::Verify); }

uint32_t XmlSignedDocument::VerifyRefsTimeStamp(int n) {
  return VerifyNode(n, &XadesSignatureNode::VerifyRefsTimeStamp);
}

uint32_t XmlSignedDocument::VerifyArchiveTimeStamp(int n) {
  return VerifyNode(n, &XadesSignatureNode::VerifyArchiveTimeStamp);
}

uint32_t XmlSignedDocument::VerifyCertificateRefs(int n) {
  XadesSignatureNode* node = TopLevelNode(n);
  const int32_t flags = node != nullptr ? node->GetForms() : kNoForms;
  if (flags == kNoForms)
    last_result_ = kDocNoTree;
  else if ((flags & kFormC) != 0)
    last_result_ = verifyCertificateRefsOf(Loaded().get(), n, (flags & (kFormXL | kFormA)) != 0);
  else
    last_result_ = kDocNoCompleteRefs;
  return last_result_;
}

uint32_t XmlSignedDocument::VerifyValues(int n) { return verifyValuesOf(Loaded().get(), n); }

std::unique_ptr<crypto::Certificate> XmlSignedDocument::GetSignerCertificate(int n) {
  // The certificate the signature value of signature n is checked with.
  const XadesSignatureNode* node = TopLevelNode(n);
  if (node == nullptr) {
    last_result_ = kDocNoSignature;
    return nullptr;
  }
  const std::vector<uint8_t>& der = node->entry()->certificateBytes;
  last_result_ = 0;
  return std::make_unique<crypto::Certificate>(der.data(), static_cast<uint32_t>(der.size()));
}

int XmlSignedDocument::FindSignerIndex(crypto::Certificate& certificate) {
  const platform::CertPtr context = certificate.GetContext();
  if (context == nullptr) return -1;
  const auto want = context->der();
  int n = 0;
  for (const XadesSignatureNode* node = TopLevelNode(0); node != nullptr; node = node->next(), ++n) {
    const std::vector<uint8_t>& der = node->entry()->certificateBytes;
    if (std::equal(der.begin(), der.end(), want.begin(), want.end())) return n;
  }
  return -1;
}

uint32_t XmlSignedDocument::GetTimeStampInput(int n, uint8_t* out, uint32_t* size) {
  const XadesSignatureNode* node = TopLevelNode(n);
  return getSignatureValueC14NOf(node != nullptr ? node->entry()->signature : nullptr, out, size);
}

std::unique_ptr<XadesSignatureNode> XmlSignedDocument::CreateSignatureTree() const {
  return std::make_unique<XadesSignatureNode>(Loaded());
}

}  // namespace vel::xades
