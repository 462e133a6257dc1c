#include "xades/signature_node.h"

#include <span>
#include <string>
#include <vector>

#include "cryptolib/cms_message.h"
#include "platform/cert_store.h"
#include "xades/base64.h"
#include "xades/node_helpers.h"
#include "xades/signature_discovery.h"
#include "xades/signer_window.h"
#include "xades/verification.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

// The EncapsulatedTimeStamp of a time-stamp element (the element itself
// when it is one); none for an XML time stamp.
const xmlNode* EncapsulatedOf(const xmlNode* element) {
  if (element == nullptr || isXades(element, "EncapsulatedTimeStamp")) return element;
  for (const xmlNode* c = element->children; c != nullptr; c = c->next) {
    if (isXades(c, "EncapsulatedTimeStamp")) return c;
  }
  return nullptr;
}

}  // namespace

XadesSignatureNode::XadesSignatureNode() = default;

XadesSignatureNode::XadesSignatureNode(const uint8_t* xml, uint32_t length)
    : XadesSignatureNode(xadesLoadDocument(xml, length)) {}

XadesSignatureNode::XadesSignatureNode(std::shared_ptr<XadesVerifyContext> context)
    : owned_context_(std::move(context)) {
  Build();
}

XadesSignatureNode::~XadesSignatureNode() {
  // A long chain of siblings is released in a loop, not by recursion.
  std::unique_ptr<XadesSignatureNode> node = std::move(next_);
  while (node) node = std::move(node->next_);
}

void XadesSignatureNode::Build() {
  build_failed_ = true;
  XadesVerifyContext* ctx = owned_context_.get();
  const int count = ctx != nullptr ? static_cast<int>(ctx->signatures.size()) : 0;
  if (count < 1 || ctx->count != count) {
    owned_context_.reset();
    return;
  }
  // One node per record; the root stands for record 0.
  std::vector<std::unique_ptr<XadesSignatureNode>> nodes(count);
  const auto nodeAt = [&](int i) { return i == 0 ? this : nodes[i].get(); };
  std::vector<int> topOf(count, -1), directCounterSignatures(count, 0);
  std::vector<int> nextOf(count, -1), childOf(count, -1);
  std::vector<bool> owned(count, false);
  int topCount = 0;
  // A link is taken only forwards, to a record of this context, and only
  // once per target: every node then has one owner and no cycle exists.
  // Siblings share their parent; a first child has this record as parent.
  const auto link = [&](int i, const XadesSignContext* target, int j, const XadesSignContext* parent,
                        int* slot) {
    if (target == nullptr) return true;
    if (j <= i || j >= count || owned[j] || ctx->signatures[j].get() != target ||
        target->parent != parent)
      return false;
    owned[j] = true;
    *slot = j;
    return true;
  };
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    XadesSignContext* e = ctx->signatures[i].get();
    if (e == nullptr) {
      ok = false;
      break;
    }
    if (i > 0) nodes[i] = std::make_unique<XadesSignatureNode>();
    XadesSignatureNode* node = nodeAt(i);
    node->context_ = ctx;
    node->entry_ = e;
    node->index_in_context_ = i;
    node->certificate_ = std::make_unique<crypto::Certificate>(
        e->certificateBytes.data(), static_cast<uint32_t>(e->certificateBytes.size()));
    if (e->parent == nullptr) {
      node->kind_ = kTopLevel;
      node->signature_index_ = topCount++;
      topOf[i] = i;
    } else {
      // A parent precedes its counter-signature; the root has none.
      const int p = e->parentIndex;
      if (p < 0 || p >= i || ctx->signatures[p].get() != e->parent) {
        ok = false;
        break;
      }
      node->kind_ = kCounterSignature;
      topOf[i] = topOf[p];
      node->signature_index_ = nodeAt(topOf[i])->signature_index_;
      // Only the counter-signatures directly below a top-level signature have
      // a position the verification can select.
      if (p == topOf[i]) node->counter_signature_index_ = directCounterSignatures[p]++;
    }
    ok = link(i, e->next, e->nextIndex, e->parent, &nextOf[i]) &&
         link(i, e->firstCounterSignature, e->firstChildIndex, e, &childOf[i]);
  }
  // Every record must hang in the tree: none may be left out of sight.
  for (int j = 1; j < count && ok; ++j) ok = owned[j];
  if (!ok) {
    nodes.clear();
    context_ = nullptr;
    entry_ = nullptr;
    certificate_.reset();
    kind_ = kTopLevel;
    index_in_context_ = signature_index_ = counter_signature_index_ = -1;
    owned_context_.reset();
    return;
  }
  // Owners have smaller indexes than what they own: assembling from the end
  // moves each node once, after its own links are in place.
  for (int i = count - 1; i >= 0; --i) {
    XadesSignatureNode* node = nodeAt(i);
    if (nextOf[i] >= 0) node->next_ = std::move(nodes[nextOf[i]]);
    if (childOf[i] >= 0) node->first_child_ = std::move(nodes[childOf[i]]);
  }
  for (XadesSignatureNode* top = this; top != nullptr; top = top->next_.get()) {
    top->LoadTimeStampSigners();
  }
  build_failed_ = false;
}

int32_t XadesSignatureNode::GetForms() {
  if (context_ == nullptr || entry_ == nullptr) return kNoForms;
  // This signature and the counter-signatures inside it, as xadesGetFormFlags
  // counts them for a top-level signature. Parents precede their
  // counter-signatures (checked when the tree was built), so each walk ends.
  int32_t flags = 0;
  const int count = static_cast<int>(context_->signatures.size());
  for (int k = 0; k < count && k < static_cast<int>(context_->forms.size()); ++k) {
    bool inside = false;
    for (const XadesSignContext* p = context_->signatures[k].get(); p != nullptr && !inside;
         p = p->parent) {
      inside = p == entry_;
    }
    if (!inside) continue;
    const SignatureForms& f = context_->forms[k];
    if (f.a) flags |= kFormA;
    if (f.xl) flags |= kFormXL;
    if (f.x) flags |= kFormX;
    if (f.c) flags |= kFormC;
  }
  return flags;
}

uint32_t XadesSignatureNode::ShowInfoWindow(void* unused) {
  if (entry_ == nullptr) return kVerifyNoContext;
  return ShowXmlSignerInfo(*entry_, unused);
}

bool XadesSignatureNode::SelectsOwnEntry() const {
  const int top = topSignatureIndex(context_, signature_index_);
  const int selected = kind_ == kCounterSignature
                           ? counterSignatureIndex(context_, top, counter_signature_index_)
                           : top;
  return selected >= 0 && selected == index_in_context_ &&
         context_->signatures[selected].get() == entry_;
}

uint32_t XadesSignatureNode::Precheck() const {
  if (context_ == nullptr) return kNodeNoContext;
  if (entry_ == nullptr) return kNodeNoEntry;
  return SelectsOwnEntry() ? 0 : kVerifyNotAcceptable;
}

uint32_t XadesSignatureNode::VerifyFormMode(int32_t mode) {
  if (const uint32_t rc = Precheck()) return rc;
  xmlDoc* doc = entry_->signature->doc;
  if (kind_ == kTopLevel)
    return xadesVerifyForms(context_, doc, nullptr, signature_index_, -1, mode);
  return xadesVerifySignature(context_, doc, nullptr, signature_index_, counter_signature_index_,
                              true);
}

uint32_t XadesSignatureNode::VerifySignatureTimeStamp() {
  return VerifyFormMode(kVerifySignatureTimeStamps);
}
uint32_t XadesSignatureNode::VerifyCompleteRefs() { return VerifyFormMode(kVerifyCompleteRefs); }
uint32_t XadesSignatureNode::VerifyRefsTimeStamp() {
  return VerifyFormMode(kVerifyRefsTimeStamps);
}
uint32_t XadesSignatureNode::VerifyArchiveTimeStamp() {
  return VerifyFormMode(kVerifyArchiveTimeStamps);
}

uint32_t XadesSignatureNode::VerifyValues() {
  if (const uint32_t rc = Precheck()) return rc;
  // No signer certificate, no path: the values are not looked at.
  const platform::CertPtr signer = certificate_ != nullptr ? certificate_->GetContext() : nullptr;
  if (const uint32_t rc = embeddedValuesPath(signer, entry_->signature)) return rc;
  return VerifyFormMode(kVerifyValuesWithRefs);
}

uint32_t XadesSignatureNode::VerifyEx(bool withForms) {
  if (const uint32_t rc = Precheck()) return rc;
  return xadesVerifySignature(context_, entry_->signature->doc, nullptr, signature_index_,
                              kind_ == kCounterSignature ? counter_signature_index_ : -1,
                              withForms);
}

std::unique_ptr<crypto::TimeStampToken> XadesSignatureNode::TokenOf(const xmlNode* element) const {
  const xmlNode* encapsulated = EncapsulatedOf(element);
  if (encapsulated == nullptr) return nullptr;
  XmlCharPtr text(xmlNodeGetContent(encapsulated));
  if (text == nullptr || *text == 0) return nullptr;
  std::vector<uint8_t> der;
  if (base64Decode(reinterpret_cast<const char*>(text.get()), &der) != kBase64Ok || der.empty() ||
      der.size() > UINT32_MAX)
    return nullptr;
  auto token = std::make_unique<crypto::TimeStampToken>();
  if (token->GetLastResult() != 0) return nullptr;
  const auto length = static_cast<uint32_t>(der.size());
  token->LoadToken(der.data(), length);
  if (token->Verify() == crypto::kCryptEBadTag) {
    // Not a bare token: perhaps a whole response.
    token->LoadResponse(der.data(), length);
    if (token->Verify() == crypto::kCryptEBadTag) return nullptr;
  }
  return token;
}

std::unique_ptr<crypto::TimeStampToken> XadesSignatureNode::GetSignatureTimeStamp(int k) {
  if (entry_ == nullptr || k < 0 || k >= entry_->signatureTimeStampCount ||
      k >= static_cast<int>(entry_->signatureTimeStamps.size()))
    return nullptr;
  return TokenOf(entry_->signatureTimeStamps[k]);
}

std::unique_ptr<crypto::TimeStampToken> XadesSignatureNode::GetArchiveTimeStamp(int k) {
  if (context_ == nullptr || entry_ == nullptr || k < 0 ||
      index_in_context_ >= static_cast<int>(context_->forms.size()))
    return nullptr;
  const auto& a = context_->forms[index_in_context_].a;
  if (!a || k >= static_cast<int>(a->timeStamps.size())) return nullptr;
  return TokenOf(a->timeStamps[k]);
}

std::unique_ptr<crypto::TimeStampToken> XadesSignatureNode::GetRefsTimeStamp(int k) {
  if (context_ == nullptr || entry_ == nullptr || k < 0 ||
      index_in_context_ >= static_cast<int>(context_->forms.size()))
    return nullptr;
  const auto& x = context_->forms[index_in_context_].x;
  if (!x || k >= static_cast<int>(x->timeStamps.size())) return nullptr;
  return TokenOf(x->timeStamps[k]);
}

void XadesSignatureNode::LoadTimeStampSigners() {
  time_stamp_signers_.reset();
  last_time_stamp_signer_ = nullptr;
  if (entry_ == nullptr) return;
  // What a signature time stamp covers; when it cannot be made, no imprint
  // can match.
  const std::string stamped = signatureValueC14N(entry_->signature).value_or(std::string());
  const std::span<const uint8_t> imprinted(reinterpret_cast<const uint8_t*>(stamped.data()),
                                           stamped.size());
  for (int k = 0; k < kMaxTimeStampSigners; ++k) {
    std::unique_ptr<crypto::TimeStampToken> token = GetSignatureTimeStamp(k);
    if (token == nullptr) return;
    uint32_t size = 0;
    if (token->GetResponse(nullptr, &size) != kMoreData || size == 0) return;
    std::vector<uint8_t> response(size);
    if (token->GetResponse(response.data(), &size) != 0 || size > response.size()) return;
    response.resize(size);
    token.reset();
    std::unique_ptr<crypto::CmsSignerNode> signer =
        crypto::CmsSignerNode::ConstructTimeStampSigner(response, imprinted);
    if (signer == nullptr) return;
    crypto::CmsSignerNode* added = signer.get();
    if (last_time_stamp_signer_ == nullptr)
      time_stamp_signers_ = std::move(signer);
    else
      last_time_stamp_signer_->AppendSibling(std::move(signer));
    last_time_stamp_signer_ = added;
  }
}

}  // namespace vel::xades
