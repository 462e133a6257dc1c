#include "app/signed_source.h"

#include "app/message_catalog.h"

namespace vel::app {
namespace {

using crypto::LibraryErrorCode;
constexpr LibraryErrorCode kNoKind = static_cast<LibraryErrorCode>(-1);
constexpr LibraryErrorCode kNotImplemented = 0x80004001;
constexpr LibraryErrorCode kFileNotFound = 2;
constexpr LibraryErrorCode kInvalidData = 13;

}  // namespace

std::string XmlNotCheckedText(const CMessageTable& catalog) {
  return catalog.GetLanguageId() == 1033
             ? "XML signatures cannot be checked yet by this version of the program."
             : "Podpisy XML nie mogą jeszcze zostać sprawdzone przez tę wersję programu.";
}

SignedSource::SignedSource(const uint8_t* data, uint32_t length, const uint8_t* content,
                           uint32_t content_length, bool is_xml) {
  if (is_xml) {
    // Read once the XML signature engine is part of the program; until then
    // nothing about such a document may read as checked.
    xml_not_checked_ = true;
    return;
  }
  if (data == nullptr) return;
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

SignedSource::SignedSource(crypto::DetachedCmsMessage* message, bool owns) : owns_(owns) {
  if (message == nullptr) return;
  if (owns) owned_detached_.reset(message);
  detached_ = message;
  kind_ = kDetachedCms;
}

SignedSource::~SignedSource() = default;

std::unique_ptr<SignerRef> SignedSource::CreateSignerRef() {
  tree_status_ = 0;
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
  return kNoKind;
}

std::unique_ptr<crypto::Certificate> SignedSource::GetSignerCertificate(uint32_t index) {
  if (kind_ == kCmsBlob) return blob_->GetSignerCertificate(index);
  if (kind_ == kDetachedCms) return detached_->GetSignerCertificate(index);
  return nullptr;
}

LibraryErrorCode SignedSource::VerifySigner(uint32_t index) const {
  if (kind_ == kCmsBlob) return blob_->VerifySigner(index);
  if (kind_ == kDetachedCms) return detached_->VerifySigner(index);
  return kNoKind;
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
  return kNoKind;
}

LibraryErrorCode SignedSource::GetLastResult() const {
  if (kind_ == kCmsBlob) return blob_->GetLastResult();
  if (kind_ == kDetachedCms) return detached_->GetLastResult();
  return kNoKind;
}

LibraryErrorCode SignedSource::GetTimeStampInput(uint32_t index, uint8_t* out,
                                                 uint32_t* out_size) const {
  if (kind_ == kCmsBlob) return blob_->GetSignerSignatureValue(index, out, out_size);
  if (kind_ == kDetachedCms) return detached_->GetSignerSignatureValue(index, out, out_size);
  return kNoKind;
}

LibraryErrorCode SignedSource::AddSignatureTimeStamp(uint32_t index, const uint8_t* token,
                                                     uint32_t token_length) {
  if (kind_ == kCmsBlob) return blob_->AddSignerTimeStamp(index, token, token_length);
  if (kind_ == kDetachedCms) return detached_->AddSignerTimeStampToken(index, token, token_length);
  return kNoKind;
}

int SignedSource::GetSignatureForms(uint32_t) const { return -1; }

int SignedSource::FindSignerIndex(const crypto::Certificate& certificate) {
  if (kind_ == kCmsBlob) return blob_->FindSigner(certificate);
  if (kind_ == kDetachedCms) return detached_->FindSignerIndex(certificate);
  return -1;
}

LibraryErrorCode SignedSource::AddSignature(const platform::CertContext* signer_certificate) {
  if (kind_ == kCmsBlob) return blob_->AddSigner(signer_certificate);
  if (kind_ == kDetachedCms) return detached_->CoSign(signer_certificate);
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

SignerRef::~SignerRef() = default;

LibraryErrorCode SignerRef::Verify() const {
  if (kind_ != kCms) return kNoKind;
  try {
    return node_->Verify();
  } catch (...) {
    return kFileNotFound;
  }
}

LibraryErrorCode SignerRef::ShowDetails(void* owner) const {
  return kind_ == kCms ? node_->ShowInfoWindow(owner) : kNoKind;
}

std::unique_ptr<crypto::Certificate> SignerRef::GetCertificate() const {
  return kind_ == kCms ? node_->GetCertificate() : nullptr;
}

std::unique_ptr<SignerRef> SignerRef::GetNext() const {
  if (kind_ != kCms || node_->next() == nullptr) return nullptr;
  return std::make_unique<SignerRef>(node_->next());
}

std::unique_ptr<SignerRef> SignerRef::GetFirstChild() const {
  if (kind_ != kCms || node_->first_child() == nullptr) return nullptr;
  return std::make_unique<SignerRef>(node_->first_child());
}

uint32_t SignerRef::GetNodeKind() const { return kind_ == kCms ? node_->kind() : 0; }

const std::string& SignerRef::GetTimeText() const {
  static const std::string kEmpty;
  return kind_ == kCms ? node_->GetTimeText() : kEmpty;
}

}  // namespace vel::app
