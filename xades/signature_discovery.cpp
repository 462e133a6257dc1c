#include "xades/signature_discovery.h"

#include "xades/base64.h"
#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/verification.h"

namespace vel::xades {
namespace {

constexpr const char* kXmldsigNs = "http://www.w3.org/2000/09/xmldsig#";

// The Signature element nearest above `node`.
const xmlNode* owningSignature(const xmlNode* node) {
  for (const xmlNode* p = node->parent; p != nullptr && p->type == XML_ELEMENT_NODE; p = p->parent) {
    if (nameIs(p, "Signature") && p->ns != nullptr && xmlStrEqual(p->ns->href, BAD_CAST kXmldsigNs)) return p;
  }
  return nullptr;
}

// The elements found below the signature that belong to it and not to a
// signature nested in it or to another signature of the document.
std::vector<xmlNode*> ownElements(const xmlNode* signature, const char* expression) {
  std::vector<xmlNode*> out;
  if (signature == nullptr || signature->doc == nullptr) return out;
  XPathContextPtr xpath = xadesNewXPathContext(signature->doc);
  if (!xpath) return out;
  xpath->node = const_cast<xmlNode*>(signature);
  XPathObjectPtr found = xadesEval(xpath.get(), expression);
  for (xmlNode* node : nodesOf(found.get())) {
    if (owningSignature(node) == signature) out.push_back(node);
  }
  return out;
}

xmlNode* firstOwn(const xmlNode* signature, const char* expression) {
  auto nodes = ownElements(signature, expression);
  return nodes.empty() ? nullptr : nodes.front();
}

void fillEntry(XadesVerifyContext* ctx, size_t k) {
  XadesSignContext& entry = *ctx->signatures[k];
  if (auto stamps = getSignatureTimeStampNodes(entry.signature)) {
    entry.signatureTimeStampCount = static_cast<int32_t>(stamps->nodes.size());
    entry.signatureTimeStamps = std::move(stamps->nodes);
    entry.timeStampDocument = std::move(stamps->copy);
  }
  SignatureForms& forms = ctx->forms[k];
  forms.c = findCompleteRefs(entry.signature);
  forms.x = findRefsTimeStamps(entry.signature);
  forms.xl = findValues(entry.signature);
  forms.a = findArchiveTimeStamps(entry.signature);
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
  for (size_t k = 0; k < nodes.size(); ++k) {
    XadesSignContextPtr entry = xadesSignContextCreate(nodes[k], second, DocOwnership::kShared);
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

xmlNode* firstChildPassing(const xmlNode* parent, std::string_view name) {
  for (xmlNode* c = parent->children; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE && namePrefixMatches(c, name)) return c;
  }
  return nullptr;
}

xmlNode* firstChildNamed(const xmlNode* parent, std::string_view name) {
  for (xmlNode* c = parent->children; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE && nameIs(c, name)) return c;
  }
  return nullptr;
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
    const xmlNode* sig = entry->signature;
    if (sig == nullptr || !namePrefixMatches(sig, "Signature")) return -1;
    const xmlNode* keyInfo = firstChildPassing(sig, "KeyInfo");
    const xmlNode* data = keyInfo ? firstChildNamed(keyInfo, "X509Data") : nullptr;
    const xmlNode* cert = data ? firstChildNamed(data, "X509Certificate") : nullptr;
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
  auto indexOf = [&](const xmlNode* sig) {
    for (int k = 0; k < n; ++k) {
      if (ctx->signatures[k]->signature == sig) return k;
    }
    return -1;
  };
  for (int i = 0; i < n; ++i) {
    XadesSignContext& parent = *ctx->signatures[i];
    XadesSignContext* last = nullptr;
    for (xmlNode* object = parent.signature->children; object != nullptr; object = object->next) {
      if (object->type != XML_ELEMENT_NODE || !nameIs(object, "Object")) continue;
      xmlNode* qp = object->children;
      if (qp == nullptr || !nameIs(qp, "QualifyingProperties")) continue;
      xmlNode* unsignedProps = qp->children ? qp->children->next : nullptr;
      if (unsignedProps == nullptr || unsignedProps->type != XML_ELEMENT_NODE ||
          !nameIs(unsignedProps, "UnsignedProperties") || unsignedProps->children == nullptr)
        break;
      for (xmlNode* cs = unsignedProps->children->children; cs != nullptr; cs = cs->next) {
        if (!nameIs(cs, "CounterSignature") || cs->children == nullptr) continue;
        // A foreign first child (another namespace's "Signature") has no entry: skipped.
        int j = indexOf(cs->children);
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
      break;
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

std::optional<CompleteRefsRecord> findCompleteRefs(const xmlNode* signature) {
  CompleteRefsRecord r{firstOwn(signature, ".//xades:CompleteCertificateRefs"),
                       firstOwn(signature, ".//xades:CompleteRevocationRefs")};
  if (r.certificateRefs == nullptr && r.revocationRefs == nullptr) return std::nullopt;
  return r;
}

std::optional<RefsTimeStampsRecord> findRefsTimeStamps(const xmlNode* signature) {
  RefsTimeStampsRecord r{ownElements(signature, ".//xades:RefsOnlyTimeStamp | .//xades:SigAndRefsTimeStamp")};
  if (r.timeStamps.empty()) return std::nullopt;
  return r;
}

std::optional<ValuesRecord> findValues(const xmlNode* signature) {
  ValuesRecord r{firstOwn(signature, ".//xades:CertificateValues"), firstOwn(signature, ".//xades:RevocationValues")};
  if (r.certificateValues == nullptr && r.revocationValues == nullptr) return std::nullopt;
  return r;
}

std::optional<ArchiveTimeStampsRecord> findArchiveTimeStamps(const xmlNode* signature) {
  ArchiveTimeStampsRecord r{ownElements(signature, ".//xades:ArchiveTimeStamp")};
  if (r.timeStamps.empty()) return std::nullopt;
  return r;
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
