#include "xades/signature_discovery.h"

#include <unordered_map>

#include "xades/base64.h"
#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/signed_properties.h"
#include "xades/verification.h"

namespace vel::xades {
namespace {

// Calls `visit` for each XAdES element among the signature's own unsigned
// signature properties (found by the selector every reader uses), in
// document order: never an element of a counter-signature, of another
// Object or of the content, which is not walked at all.
template <typename Visit>
void forOwnProperties(const xmlNode* signature, Visit visit) {
  const xmlNode* properties = unsignedSignaturePropertiesOf(signature);
  for (xmlNode* c = properties != nullptr ? properties->children : nullptr; c != nullptr; c = c->next)
    if (c->type == XML_ELEMENT_NODE && c->ns != nullptr && xmlStrEqual(c->ns->href, BAD_CAST kXadesNs))
      visit(c);
}

void fillEntry(XadesVerifyContext* ctx, size_t k) {
  XadesSignContext& entry = *ctx->signatures[k];
  if (auto stamps = getSignatureTimeStampNodes(entry.signature)) {
    entry.signatureTimeStampCount = static_cast<int32_t>(stamps->nodes.size());
    entry.signatureTimeStamps = std::move(stamps->nodes);
  }
  ctx->forms[k] = findForms(entry.signature);
  entry.cryptoProvider = 0;
}

int loadInto(XadesVerifyContext* ctx, xmlDoc* doc, xmlNode* second, int failure) {
  ctx->xpath = xadesNewXPathContext(doc);
  if (!ctx->xpath) return -100;
  XPathObjectPtr found = xadesEval(ctx->xpath.get(), "//xmldsig:Signature");
  if (!found) return -1;
  auto nodes = nodesOf(found.get());
  ctx->count = 0;
  if (nodes.empty()) return -2;
  ctx->signatures.clear();
  ctx->forms.assign(nodes.size(), SignatureForms{});
  IdIndexes indexes;  // one walk per document, whatever the number of references
  for (size_t k = 0; k < nodes.size(); ++k) {
    XadesSignContextPtr entry =
        xadesSignContextCreate(nodes[k], second, DocOwnership::kShared, &indexes);
    if (!entry) {
      ctx->signatures.clear();
      ctx->forms.clear();
      return failure;
    }
    ctx->signatures.push_back(std::move(entry));
    fillEntry(ctx, k);
  }
  ctx->count = static_cast<int32_t>(ctx->signatures.size());
  if (xadesLoadSignerCertificates(ctx) < 0) return -5;
  return 0;
}

}  // namespace

int xadesLoadSignatures(XadesVerifyContext* ctx, xmlDoc* doc) {
  if (ctx == nullptr || doc == nullptr) return -100;
  ctx->signatures.clear();
  ctx->forms.clear();
  ctx->xpath.reset();
  return loadInto(ctx, doc, nullptr, -20);
}

int xadesLoadSignatureRoot(XadesVerifyContext* ctx, xmlDoc* doc, int index) {
  if (index < 0) return xadesLoadSignatures(ctx, doc);
  if (ctx == nullptr || doc == nullptr) return -100;
  xmlNode* second = ctx->document != nullptr ? xmlDocGetRootElement(ctx->document) : nullptr;
  return loadInto(ctx, doc, second, -4);
}

int xadesLoadSignerCertificates(XadesVerifyContext* ctx) {
  for (auto& entry : ctx->signatures) {
    // The same element the getters and the signer window read.
    const xmlNode* cert = signerCertificateOf(entry->signature);
    if (cert == nullptr) return -1;
    XmlCharPtr text(xmlNodeGetContent(cert));
    if (!text) return -1;
    std::vector<uint8_t> der;
    if (base64Decode(std::string_view(reinterpret_cast<const char*>(text.get())), &der) != 0) return -1;
    entry->certificateBytes = std::move(der);
  }
  return 0;
}

int xadesLinkCounterSignatures(XadesVerifyContext* ctx) {
  if (ctx == nullptr) return 0;
  const int n = static_cast<int>(ctx->signatures.size());
  std::unordered_map<const xmlNode*, int> entryOf;
  for (int k = 0; k < n; ++k) entryOf.emplace(ctx->signatures[k]->signature, k);
  auto indexOf = [&](const xmlNode* sig) {
    const auto at = entryOf.find(sig);
    return at != entryOf.end() ? at->second : -1;
  };
  // Elements are found by the selector, so whitespace between them (an
  // indented document) changes nothing.
  for (int i = 0; i < n; ++i) {
    XadesSignContext& parent = *ctx->signatures[i];
    XadesSignContext* last = nullptr;
    const xmlNode* properties = unsignedSignaturePropertiesOf(parent.signature);
    for (xmlNode* cs = properties != nullptr ? properties->children : nullptr; cs != nullptr;
         cs = cs->next) {
      if (!isXades(cs, "CounterSignature")) continue;
      // Anything but one ds:Signature inside has no entry: skipped.
      const int j = indexOf(soleChild(cs, kXmlDsigNs, "Signature"));
      if (j < 0 || j == i || ctx->signatures[j]->parent != nullptr) continue;
      XadesSignContext& child = *ctx->signatures[j];
      if (last == nullptr) {
        parent.firstCounterSignature = &child;
        parent.firstChildIndex = j;
      } else {
        last->next = &child;
        last->nextIndex = j;
      }
      last = &child;
      child.parent = &parent;
      child.parentIndex = i;
    }
  }
  XadesSignContext* previous = nullptr;
  for (int k = 0; k < n; ++k) {
    XadesSignContext& e = *ctx->signatures[k];
    if (e.parent != nullptr) continue;
    if (previous != nullptr) {
      previous->next = &e;
      previous->nextIndex = k;
    }
    previous = &e;
  }
  return 0;
}

SignatureForms findForms(const xmlNode* signature) {
  CompleteRefsRecord c;
  RefsTimeStampsRecord x;
  ValuesRecord xl;
  ArchiveTimeStampsRecord a;
  const auto first = [](xmlNode*& slot, xmlNode* node) {
    if (slot == nullptr) slot = node;
  };
  // Only a signature whose properties are bound to it reveals forms, and only
  // through its own unsigned signature properties.
  if (!boundProperties(signature)) return {};
  forOwnProperties(signature, [&](xmlNode* node) {
    const std::string_view name(reinterpret_cast<const char*>(node->name));
    if (name == "CompleteCertificateRefs") first(c.certificateRefs, node);
    else if (name == "CompleteRevocationRefs") first(c.revocationRefs, node);
    else if (name == "RefsOnlyTimeStamp" || name == "SigAndRefsTimeStamp") x.timeStamps.push_back(node);
    else if (name == "CertificateValues") first(xl.certificateValues, node);
    else if (name == "RevocationValues") first(xl.revocationValues, node);
    else if (name == "ArchiveTimeStamp") a.timeStamps.push_back(node);
  });
  SignatureForms forms;
  if (c.certificateRefs != nullptr || c.revocationRefs != nullptr) forms.c = c;
  if (!x.timeStamps.empty()) forms.x = std::move(x);
  if (xl.certificateValues != nullptr || xl.revocationValues != nullptr) forms.xl = xl;
  if (!a.timeStamps.empty()) forms.a = std::move(a);
  return forms;
}

int highestFormOf(const SignatureForms& forms) {
  if (forms.a) return 4;
  if (forms.xl) return 3;
  if (forms.x) return 2;
  if (forms.c) return 1;
  return 0;
}

FormCheckEntry formCheckEntryOf(const XadesVerifyContext& ctx, int i) {
  FormCheckEntry e;
  if (i < 0 || i >= static_cast<int>(ctx.signatures.size()) || i >= static_cast<int>(ctx.forms.size())) return e;
  const XadesSignContext& s = *ctx.signatures[i];
  const SignatureForms& f = ctx.forms[i];
  e.signature = s.signature;
  e.signatureTimeStampCount = s.signatureTimeStampCount;
  if (f.c) {
    e.hasC = true;
    e.completeCertificateRefs = f.c->certificateRefs;
    e.completeRevocationRefs = f.c->revocationRefs;
  }
  if (f.x) {
    e.hasX = true;
    e.refsTimeStampCount = static_cast<int>(f.x->timeStamps.size());
  }
  if (f.xl) {
    e.hasXL = true;
    e.certificateValues = f.xl->certificateValues;
    e.revocationValues = f.xl->revocationValues;
  }
  if (f.a) {
    e.hasA = true;
    e.archiveTimeStampCount = static_cast<int>(f.a->timeStamps.size());
  }
  return e;
}

int32_t xadesGetFormFlags(XadesVerifyContext* ctx, xmlDoc* doc, int i) {
  if (ctx == nullptr || doc == nullptr) return -1;
  if (ctx->signatures.empty()) {
    if (xadesLoadSignatures(ctx, doc) != 0) return -1;
    xadesLinkCounterSignatures(ctx);
  }
  const int top = topSignatureIndex(ctx, i);
  if (top < 0) return -1;
  // The signature with the counter-signatures inside it.
  int32_t flags = 0;
  for (int k = 0; k < ctx->count; ++k) {
    bool inside = false;
    for (const XadesSignContext* p = ctx->signatures[k].get(); p != nullptr; p = p->parent) {
      if (p == ctx->signatures[top].get()) inside = true;
    }
    if (!inside) continue;
    const SignatureForms& f = ctx->forms[k];
    if (f.a) flags |= kFormA;
    if (f.xl) flags |= kFormXL;
    if (f.x) flags |= kFormX;
    if (f.c) flags |= kFormC;
  }
  return flags;
}

}  // namespace vel::xades
