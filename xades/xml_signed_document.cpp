#include "xades/xml_signed_document.h"

#include <algorithm>
#include <vector>

#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/signature_discovery.h"
#include "xades/xades_sign.h"

namespace vel::xades {
namespace {

constexpr uint32_t kMoreData = 234;

// The content Object as getObjectContent (signature 0, object 0) finds it.
xmlNode* ContentObject(xmlDoc* doc) {
  XPathContextPtr xpath = xadesNewXPathContext(doc);
  return xpath != nullptr ? contentObjectAt(xpath.get(), 0, 0) : nullptr;
}

}  // namespace

XmlSignedDocument::XmlSignedDocument(const uint8_t* xml, uint32_t length)
    : bytes_(xml != nullptr ? std::vector<uint8_t>(xml, xml + length) : std::vector<uint8_t>()) {}

XmlSignedDocument::~XmlSignedDocument() = default;

template <typename Call>
uint32_t XmlSignedDocument::ReplaceByTwoCalls(Call call) {
  uint32_t size = 0;
  // The engine answers a size query with 234; anything else is its failure.
  uint32_t rc = call(nullptr, &size);
  if (rc != kMoreData) return rc;
  std::vector<uint8_t> out(size, 0);
  rc = call(out.data(), &size);
  if (rc != 0 || size > out.size()) {
    crypto::WipedBuffer discarded(std::move(out));
    return rc != 0 ? rc : kMoreData;
  }
  out.resize(size);
  bytes_ = crypto::WipedBuffer(std::move(out));
  return 0;
}

uint32_t XmlSignedDocument::Sign(const platform::CertContext* certificate) {
  const crypto::WipedBuffer& in = bytes_;
  return ReplaceByTwoCalls([&](uint8_t* out, uint32_t* size) {
    return xadesAddSignature(in.data(), in.size(), certificate, out, size);
  });
}

uint32_t XmlSignedDocument::AddSignatureTimeStamp(int n, const uint8_t* token, uint32_t length) {
  const crypto::WipedBuffer& in = bytes_;
  return ReplaceByTwoCalls([&](uint8_t* out, uint32_t* size) {
    return xadesAddSignatureTimeStamp(in.data(), in.size(), token, length, out, size, n);
  });
}

uint32_t XmlSignedDocument::GetContent(uint8_t* out, uint32_t* size) {
  // The Object found by position proves nothing by itself: it is given out
  // only when a signature that verifies (its reference digests checked) has
  // it as the target of one of its references.
  std::unique_ptr<XadesSignatureNode> tree = CreateSignatureTree();
  if (tree->build_failed()) return kContentNotSigned;
  const xmlNode* object = ContentObject(tree->context()->document);
  if (object == nullptr) return kContentNotSigned;
  bool vouched = false;
  for (XadesSignatureNode* node = tree.get(); node != nullptr && !vouched; node = node->next()) {
    const auto& targets = node->entry()->targets;
    vouched = std::find(targets.begin(), targets.end(), object) != targets.end() &&
              node->Verify() == 0;
  }
  if (!vouched) return kContentNotSigned;
  return getObjectContent(bytes_.data(), bytes_.size(), out, size, 0, 0);
}

uint32_t XmlSignedDocument::GetSignatureCount(int* count) {
  return getSignatureCount(bytes_.data(), bytes_.size(), count);
}

XadesSignatureNode* XmlSignedDocument::TopLevelNode(
    int n, std::unique_ptr<XadesSignatureNode>* tree) const {
  *tree = CreateSignatureTree();
  if ((*tree)->build_failed() || n < 0) return nullptr;
  XadesSignatureNode* node = tree->get();
  for (int i = 0; i < n && node != nullptr; ++i) node = node->next();
  return node;
}

int32_t XmlSignedDocument::GetSignatureForms(int n) {
  std::unique_ptr<XadesSignatureNode> tree;
  XadesSignatureNode* node = TopLevelNode(n, &tree);
  if (node == nullptr) {
    last_result_ = kDocNoSignature;
    return kNoForms;
  }
  last_result_ = 0;
  return node->GetForms();
}

uint32_t XmlSignedDocument::VerifyNode(int n, uint32_t (XadesSignatureNode::*method)()) {
  std::unique_ptr<XadesSignatureNode> tree;
  XadesSignatureNode* node = TopLevelNode(n, &tree);
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
  std::unique_ptr<XadesSignatureNode> tree;
  XadesSignatureNode* node = TopLevelNode(n, &tree);
  const int32_t flags = node != nullptr ? node->GetForms() : kNoForms;
  tree.reset();
  if (flags == kNoForms)
    last_result_ = kDocNoTree;
  else if ((flags & kFormC) != 0)
    last_result_ = xadesVerifyCertificateRefs(bytes_.data(), bytes_.size(), n,
                                              (flags & (kFormXL | kFormA)) != 0);
  else
    last_result_ = kDocNoCompleteRefs;
  return last_result_;
}

uint32_t XmlSignedDocument::VerifyValues(int n) {
  return xadesVerifyValues(bytes_.data(), bytes_.size(), n);
}

std::unique_ptr<crypto::Certificate> XmlSignedDocument::GetSignerCertificate(int n) {
  uint32_t size = 0;
  last_result_ = getSignatureCertificate(bytes_.data(), bytes_.size(), nullptr, &size, n);
  if (last_result_ != kMoreData) return nullptr;
  std::vector<uint8_t> der(size, 0);
  last_result_ = getSignatureCertificate(bytes_.data(), bytes_.size(), der.data(), &size, n);
  if (last_result_ != 0) return nullptr;
  return std::make_unique<crypto::Certificate>(der.data(), size);
}

int XmlSignedDocument::FindSignerIndex(crypto::Certificate& certificate) {
  const platform::CertPtr context = certificate.GetContext();
  int index = -1;
  if (findSignatureByCertificate(bytes_.data(), bytes_.size(), context.get(), &index) != 0)
    return -1;
  return index;
}

uint32_t XmlSignedDocument::GetTimeStampInput(int n, uint8_t* out, uint32_t* size) {
  return getSignatureValueC14N(bytes_.data(), bytes_.size(), out, size, n);
}

std::unique_ptr<XadesSignatureNode> XmlSignedDocument::CreateSignatureTree() const {
  return std::make_unique<XadesSignatureNode>(bytes_.data(), bytes_.size());
}

}  // namespace vel::xades
