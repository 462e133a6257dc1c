#include "app/signed_source.h"

#include "app/message_catalog.h"
#include "app/registry_settings.h"
#include "app/signature_verifier.h"

namespace vel::app {
namespace {

using crypto::LibraryErrorCode;
constexpr LibraryErrorCode kNoKind = static_cast<LibraryErrorCode>(-1);
constexpr LibraryErrorCode kNotImplemented = 0x80004001;
constexpr LibraryErrorCode kFileNotFound = 2;
constexpr LibraryErrorCode kInvalidData = 13;

}  // namespace

// XadesFormFlags bits.
constexpr int kFormC = 1, kFormX = 2, kFormXL = 4, kFormA = 8;

// Tokens 0, 1, ... of a node checked one by one while the status stays 0;
// the first failing token's status.
template <typename GetToken>
LibraryErrorCode VerifyTokens(LibraryErrorCode s, GetToken get) {
  for (int k = 0; s == 0; ++k) {
    std::unique_ptr<crypto::TimeStampToken> token = get(k);
    if (!token) break;
    s = token->Verify();
  }
  return s;
}

// Steps shared by a node's check and a document's: the archive time stamps,
// the embedded values, the references' time stamps and the complete
// references, as the forms ask. `node` gives the tokens; the other calls
// are the caller's. 0 or the first failing status.
template <typename Archive, typename Values, typename RefsStamp, typename CompleteRefs>
LibraryErrorCode VerifyForms(int forms, xades::XadesSignatureNode& node, Archive archive, Values values,
                             RefsStamp refs_stamp, CompleteRefs complete_refs) {
  LibraryErrorCode s = 0;
  if (forms & kFormA)
    s = VerifyTokens(archive(), [&](int k) { return node.GetArchiveTimeStamp(k); });
  if ((forms & kFormXL) && s == 0) s = values();
  if ((forms & kFormX) && s == 0)
    s = VerifyTokens(refs_stamp(), [&](int k) { return node.GetRefsTimeStamp(k); });
  if (forms & kFormC) {
    if (s != 0) return s;
    if (!(forms & kFormXL)) s = complete_refs();
  }
  return s;
}

SignedSource::SignedSource(const uint8_t* data, uint32_t length, const uint8_t* content,
                           uint32_t content_length, bool is_xml) {
  if (data == nullptr) return;
  if (is_xml) {
    auto document = std::make_unique<xades::XmlSignedDocument>(data, length);
    // Bytes in which no signature can even be counted are no signed document.
    // Each reading parses the whole document: the tree made here gives the
    // count and is the one the first CreateSignerRef hands out.
    if (document->GetLastResult() != 0) return;
    std::unique_ptr<xades::XadesSignatureNode> tree = document->CreateSignatureTree();
    int count = 0;
    if (tree && !tree->build_failed()) {
      for (const xades::XadesSignatureNode* n = tree.get(); n != nullptr; n = n->next()) ++count;
      first_tree_ = std::move(tree);
    } else if (document->GetSignatureCount(&count) != 0) {
      return;
    }
    xml_count_ = count > 0 ? static_cast<uint32_t>(count) : 0;
    owned_xml_ = std::move(document);
    xml_ = owned_xml_.get();
    kind_ = kXmlDocument;
    owns_ = true;
    return;
  }
  if (content == nullptr && content_length == 0) {
    owned_blob_ = std::make_unique<crypto::CmsBlob>(data, length);
    blob_ = owned_blob_.get();
    kind_ = kCmsBlob;
    owns_ = true;
    return;
  }
  auto message = std::make_unique<crypto::DetachedCmsMessage>(data, length, content, content_length);
  if (message->GetLastResult() != 0) return;
  owned_detached_ = std::move(message);
  detached_ = owned_detached_.get();
  kind_ = kDetachedCms;
  owns_ = true;
}

SignedSource::SignedSource(const uint8_t* data, uint32_t length,
                           std::shared_ptr<crypto::ContentFeed> content) {
  if (data == nullptr || !content) return;
  owned_detached_ = std::make_unique<crypto::DetachedCmsMessage>(data, length, std::move(content));
  detached_ = owned_detached_.get();
  kind_ = kDetachedCms;
  owns_ = true;
}

SignedSource::SignedSource(crypto::DetachedCmsMessage* message, bool owns) : owns_(owns) {
  if (message == nullptr) return;
  if (owns) owned_detached_.reset(message);
  detached_ = message;
  kind_ = kDetachedCms;
}

std::unique_ptr<SignedSource> SignedSource::Detached(std::span<const uint8_t> signature,
                                                     std::span<const uint8_t> content) {
  if (signature.empty()) return std::make_unique<SignedSource>(nullptr, false);
  return std::make_unique<SignedSource>(
      new crypto::DetachedCmsMessage(signature.data(), static_cast<uint32_t>(signature.size()), content.data(),
                                     static_cast<uint32_t>(content.size())),
      true);
}

SignedSource::~SignedSource() = default;

std::unique_ptr<SignerRef> SignedSource::CreateSignerRef() {
  tree_status_ = 0;
  if (kind_ == kXmlDocument) {
    std::unique_ptr<xades::XadesSignatureNode> root =
        first_tree_ ? std::move(first_tree_) : xml_->CreateSignatureTree();
    if (!root || root->build_failed()) {
      tree_status_ = xades::kDocNoTree;
      return nullptr;
    }
    return std::make_unique<SignerRef>(std::move(root));
  }
  std::unique_ptr<crypto::CmsSignerNode> root;
  try {
    if (kind_ == kCmsBlob)
      root = blob_->BuildSignerTree(&tree_status_);
    else if (kind_ == kDetachedCms)
      root = detached_->BuildSignerTree(&tree_status_);
    else
      tree_status_ = kNoKind;
  } catch (...) {
    // A message the decoder rejects is a message that cannot be checked.
    root.reset();
    tree_status_ = kInvalidData;
  }
  if (!root) {
    if (tree_status_ == 0) tree_status_ = kInvalidData;
    return nullptr;
  }
  return std::make_unique<SignerRef>(std::move(root));
}

LibraryErrorCode SignedSource::GetSignerCount(uint32_t* count) const {
  if (kind_ == kCmsBlob) return blob_->GetSignerCount(count);
  if (kind_ == kDetachedCms) return detached_->GetSignerCount(count);
  if (kind_ == kXmlDocument) {
    *count = xml_count_;
    return 0;
  }
  return kNoKind;
}

std::unique_ptr<crypto::Certificate> SignedSource::GetSignerCertificate(uint32_t index) {
  if (kind_ == kCmsBlob) return blob_->GetSignerCertificate(index);
  if (kind_ == kDetachedCms) return detached_->GetSignerCertificate(index);
  if (kind_ == kXmlDocument) return xml_->GetSignerCertificate(static_cast<int>(index));
  return nullptr;
}

LibraryErrorCode SignedSource::VerifySigner(uint32_t index) const {
  if (kind_ == kCmsBlob) return blob_->VerifySigner(index);
  if (kind_ == kDetachedCms) return detached_->VerifySigner(index);
  if (kind_ == kXmlDocument) return VerifyXmlSignature(static_cast<int>(index));
  return kNoKind;
}

LibraryErrorCode SignedSource::VerifyXmlSignature(int i) const {
  const int forms = xml_->GetSignatureForms(i);
  if (xml_->GetLastResult() != 0) return xml_->GetLastResult();

  // The certificate first: chain and revocation with the older edition's
  // network settings.
  SignatureCheck check;
  check.certificate = xml_->GetSignerCertificate(i);
  if (check.certificate) check.qualified = check.certificate->IsQualified() != 0;
  const CMessageTable catalog(CRegDword(std::string(kMachineKey) + "\\" + kValueLangId, kRegDefaultLangId,
                                        true, RegHive::kLocalMachine)
                                  .Get());
  CSignatureVerifier verifier(catalog, CSignatureVerifier::kOlderEdition, true, {});
  int worst = kClassCorrect;
  const int cls = verifier.VerifyOne(check, worst);
  if (cls != kClassCorrect) return static_cast<LibraryErrorCode>(cls);

  // The tree gives the tokens of signature i.
  std::unique_ptr<xades::XadesSignatureNode> tree = xml_->CreateSignatureTree();
  xades::XadesSignatureNode* node = tree && !tree->build_failed() ? tree.get() : nullptr;
  for (int k = 0; k < i && node != nullptr; ++k) node = node->next();
  if (node == nullptr) return xades::kDocNoSignature;

  LibraryErrorCode s = VerifyForms(
      forms, *node, [&] { return xml_->VerifyArchiveTimeStamp(i); }, [&] { return xml_->VerifyValues(i); },
      [&] { return xml_->VerifyRefsTimeStamp(i); }, [&] { return xml_->VerifyCertificateRefs(i); });
  if (s != 0) return s;
  s = xml_->Verify(i);
  if (s == 0) s = node->VerifySignatureTimeStamp();
  return VerifyTokens(s, [&](int k) { return node->GetSignatureTimeStamp(k); });
}

std::unique_ptr<crypto::TimeStampToken> SignedSource::GetSignatureTimeStamp(uint32_t index,
                                                                            uint32_t k) {
  if (kind_ == kCmsBlob) return blob_->GetSignerTimeStamp(index, k);
  if (kind_ == kDetachedCms) return detached_->GetSignerTimeStampToken(index, k);
  return nullptr;
}

LibraryErrorCode SignedSource::GetContent(uint8_t* out, uint32_t* out_size) const {
  if (kind_ == kCmsBlob) return blob_->GetContent(out, out_size);
  if (kind_ == kDetachedCms) return kNotImplemented;
  if (kind_ == kXmlDocument) return xml_->GetContent(out, out_size);
  return kNoKind;
}

LibraryErrorCode SignedSource::GetLastResult() const {
  if (kind_ == kCmsBlob) return blob_->GetLastResult();
  if (kind_ == kDetachedCms) return detached_->GetLastResult();
  if (kind_ == kXmlDocument) return xml_->GetLastResult();
  return kNoKind;
}

LibraryErrorCode SignedSource::GetTimeStampInput(uint32_t index, uint8_t* out,
                                                 uint32_t* out_size) const {
  if (kind_ == kCmsBlob) return blob_->GetSignerSignatureValue(index, out, out_size);
  if (kind_ == kDetachedCms) return detached_->GetSignerSignatureValue(index, out, out_size);
  if (kind_ == kXmlDocument) return xml_->GetTimeStampInput(static_cast<int>(index), out, out_size);
  return kNoKind;
}

LibraryErrorCode SignedSource::AddSignatureTimeStamp(uint32_t index, const uint8_t* token,
                                                     uint32_t token_length) {
  if (kind_ == kCmsBlob) return blob_->AddSignerTimeStamp(index, token, token_length);
  if (kind_ == kDetachedCms) return detached_->AddSignerTimeStampToken(index, token, token_length);
  if (kind_ == kXmlDocument) {
    first_tree_.reset();  // a tree of the bytes before
    return xml_->AddSignatureTimeStamp(static_cast<int>(index), token, token_length);
  }
  return kNoKind;
}

int SignedSource::GetSignatureForms(uint32_t index) const {
  return kind_ == kXmlDocument ? xml_->GetSignatureForms(static_cast<int>(index)) : -1;
}

int SignedSource::FindSignerIndex(const crypto::Certificate& certificate) {
  if (kind_ == kCmsBlob) return blob_->FindSigner(certificate);
  if (kind_ == kDetachedCms) return detached_->FindSignerIndex(certificate);
  if (kind_ == kXmlDocument) return xml_->FindSignerIndex(const_cast<crypto::Certificate&>(certificate));
  return -1;
}

LibraryErrorCode SignedSource::AddSignature(const platform::CertContext* signer_certificate) {
  if (kind_ == kCmsBlob) return blob_->AddSigner(signer_certificate);
  if (kind_ == kDetachedCms) return detached_->CoSign(signer_certificate);
  if (kind_ == kXmlDocument) {
    first_tree_.reset();  // a tree of the bytes before
    const LibraryErrorCode status = xml_->Sign(signer_certificate);
    int count = 0;
    if (status == 0 && xml_->GetSignatureCount(&count) == 0) xml_count_ = count > 0 ? static_cast<uint32_t>(count) : 0;
    return status;
  }
  return kNoKind;
}

// ---- SignerRef ------------------------------------------------------------------

SignerRef::SignerRef(const crypto::CmsSignerNode* node) {
  if (node == nullptr) return;
  node_ = node;
  kind_ = kCms;
}

SignerRef::SignerRef(std::unique_ptr<crypto::CmsSignerNode> root) : SignerRef(root.get()) {
  owned_ = std::move(root);
}

SignerRef::SignerRef(xades::XadesSignatureNode* node) {
  if (node == nullptr) return;
  xades_ = node;
  kind_ = kXades;
}

SignerRef::SignerRef(std::unique_ptr<xades::XadesSignatureNode> root) : SignerRef(root.get()) {
  owned_xades_ = std::move(root);
}

SignerRef::~SignerRef() = default;

LibraryErrorCode SignerRef::Verify() const {
  if (kind_ == kXades) {
    const int forms = xades_->GetForms();
    // A node without a context says so through its own check.
    if (forms < 0 || forms == xades::kNoForms) return xades_->Verify();
    xades::XadesSignatureNode& n = *xades_;
    const LibraryErrorCode s = VerifyForms(
        forms, n, [&] { return n.VerifyArchiveTimeStamp(); }, [&] { return n.VerifyValues(); },
        [&] { return n.VerifyRefsTimeStamp(); }, [&] { return n.VerifyCompleteRefs(); });
    if (s != 0) return s;
    if (const LibraryErrorCode own = n.Verify(); own != 0) return own;
    return n.VerifySignatureTimeStamp();
  }
  if (kind_ != kCms) return kNoKind;
  try {
    return node_->Verify();
  } catch (...) {
    return kFileNotFound;
  }
}

LibraryErrorCode SignerRef::ShowDetails(void* owner) const {
  if (kind_ == kXades) return xades_->ShowInfoWindow(owner);
  return kind_ == kCms ? node_->ShowInfoWindow(owner) : kNoKind;
}

std::unique_ptr<crypto::Certificate> SignerRef::GetCertificate() const {
  if (kind_ == kXades) {
    crypto::Certificate* own = xades_->GetCertificate();
    crypto::CertPtr context = own != nullptr ? own->GetContext() : nullptr;
    return context ? std::make_unique<crypto::Certificate>(context) : nullptr;
  }
  return kind_ == kCms ? node_->GetCertificate() : nullptr;
}

std::unique_ptr<SignerRef> SignerRef::GetNext() const {
  if (kind_ == kXades) return xades_->next() ? std::make_unique<SignerRef>(xades_->next()) : nullptr;
  if (kind_ != kCms || node_->next() == nullptr) return nullptr;
  return std::make_unique<SignerRef>(node_->next());
}

std::unique_ptr<SignerRef> SignerRef::GetFirstChild() const {
  if (kind_ == kXades)
    return xades_->first_child() ? std::make_unique<SignerRef>(xades_->first_child()) : nullptr;
  if (kind_ != kCms || node_->first_child() == nullptr) return nullptr;
  return std::make_unique<SignerRef>(node_->first_child());
}

std::unique_ptr<SignerRef> SignerRef::GetFirstTimeStamp() const {
  if (kind_ != kXades || xades_->time_stamp_signers() == nullptr) return nullptr;
  return std::make_unique<SignerRef>(static_cast<const crypto::CmsSignerNode*>(xades_->time_stamp_signers()));
}

uint32_t SignerRef::GetNodeKind() const {
  if (kind_ == kXades) return xades_->kind();
  return kind_ == kCms ? node_->kind() : 0;
}

int SignerRef::GetForms() const { return kind_ == kXades ? xades_->GetForms() : -1; }

const std::string& SignerRef::GetTimeText() const {
  static const std::string kEmpty;
  return kind_ == kCms ? node_->GetTimeText() : kEmpty;
}

}  // namespace vel::app
