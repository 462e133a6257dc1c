#include "xades/c14n_fragments.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "xades/base64.h"
#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

bool IsSignature(const xmlNode* node) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && nameIs(node, "Signature");
}

// The first element child of `parent` with this exact name.
const xmlNode* FirstChildNamed(const xmlNode* parent, std::string_view name, int skip = 0) {
  for (const xmlNode* c = parent ? parent->children : nullptr; c != nullptr; c = c->next)
    if (c->type == XML_ELEMENT_NODE && nameIs(c, name) && skip-- == 0) return c;
  return nullptr;
}

// A copy of `element` as the root of a new document.
XmlDocPtr CopyAsDocument(const xmlNode* element, bool declareDs) {
  XmlDocPtr doc = xadesNewDocPtr();
  if (!doc) return nullptr;
  xmlNode* copy = xmlDocCopyNode(const_cast<xmlNode*>(element), doc.get(), 1);
  if (copy == nullptr) return nullptr;
  xmlDocSetRootElement(doc.get(), copy);
  // xmlNewNs refuses a prefix the element already declares.
  if (declareDs) xmlNewNs(copy, BAD_CAST kXmlDsigNs, BAD_CAST "ds");
  return doc;
}

constexpr size_t kAll = SIZE_MAX;

// The unsigned properties of this name at positions before `limit`, each
// formed with the ds declaration and joined in document order; none when
// there is no such property.
Fragment JoinUnsigned(const xmlNode* signature, const char* name, size_t limit,
                      bool withChildrenOnly = false) {
  if (!IsSignature(signature)) return std::nullopt;
  const std::string expression = std::string("*/*/*/*/xades:") + name;
  XPathObjectPtr result = xadesEvalAt(signature, expression.c_str());
  const auto nodes = nodesOf(result.get());
  if (nodes.empty()) return std::nullopt;
  std::string joined;
  for (size_t i = 0; i < nodes.size() && i < limit; ++i) {
    if (withChildrenOnly && nodes[i]->children == nullptr) continue;
    // A part that cannot be formed joins as empty.
    if (Fragment part = elementC14N(nodes[i], true)) joined += *part;
  }
  return joined;
}

Fragment DocumentC14N(xmlDoc* doc, int method) {
  int length = 0;
  XmlCharPtr text = c14nDocument(doc, method, &length);
  if (!text) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text.get()), static_cast<size_t>(length));
}

// While it lives, `element` and each of its ancestors is the only child of
// its parent; the siblings are linked back as they were when it ends.
class AncestorsOnly {
 public:
  explicit AncestorsOnly(xmlNode* element) {
    for (xmlNode* node = element; node != nullptr && node->parent != nullptr; node = node->parent) {
      if (node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE) break;
      xmlNode* parent = node->parent;
      saved_.push_back({node, parent, node->prev, node->next, parent->children, parent->last});
      node->prev = node->next = nullptr;
      parent->children = parent->last = node;
    }
  }
  ~AncestorsOnly() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      it->node->prev = it->prev;
      it->node->next = it->next;
      it->parent->children = it->children;
      it->parent->last = it->last;
    }
  }
  AncestorsOnly(const AncestorsOnly&) = delete;
  AncestorsOnly& operator=(const AncestorsOnly&) = delete;

 private:
  struct Link {
    xmlNode *node, *parent, *prev, *next, *children, *last;
  };
  std::vector<Link> saved_;
};

// The canonical text of `element` where it stands, handed to `sink` piece by
// piece; false when it cannot be formed. With `contentOnly` the element's own
// tags are left out: what it holds, each top element of it carrying what is
// in scope there.
bool InPlaceC14N(const xmlNode* element, int method, const std::function<void(std::string_view)>& sink,
                 bool contentOnly = false) {
  if (element == nullptr || element->type != XML_ELEMENT_NODE || element->doc == nullptr) return false;
  // The element's subtree as a node set of its own document: libxml2 then
  // gives the apex the namespaces in scope and the inherited xml:* attributes
  // (inclusive forms) exactly as XMLDSig reads a same-document reference,
  // without copying the subtree.
  struct Apex {
    const xmlNode* element;
    bool contentOnly;
  } apex{element, contentOnly};
  const auto inSubtree = [](void* data, xmlNode* node, xmlNode* parent) -> int {
    const auto* a = static_cast<const Apex*>(data);
    // A namespace node stands for the element that carries it in scope.
    const xmlNode* n = node != nullptr && node->type != XML_NAMESPACE_DECL ? node : parent;
    if (a->contentOnly && n != nullptr &&
        (n == a->element || (n->type == XML_ATTRIBUTE_NODE && n->parent == a->element)))
      return 0;
    for (; n != nullptr; n = n->parent)
      if (n == a->element) return 1;
    return 0;
  };
  const auto write = [](void* out, const char* data, int length) -> int {
    (*static_cast<const std::function<void(std::string_view)>*>(out))(
        std::string_view(data, static_cast<size_t>(length)));
    return length;
  };
  xmlOutputBuffer* buffer =
      xmlOutputBufferCreateIO(write, nullptr, const_cast<std::function<void(std::string_view)>*>(&sink), nullptr);
  if (buffer == nullptr) return false;
  const C14nMode m = c14nModeOf(method);
  LibxmlDiagnostics quiet;
  int rc = -1;
  {
    // libxml2 walks the whole document and asks about every node; outside
    // the element's subtree only its ancestors matter (what is in scope), so
    // for the walk each ancestor is its parent's only child. A small element
    // of a large document then costs what the element costs.
    AncestorsOnly only(const_cast<xmlNode*>(element));
    rc = xmlC14NExecute(element->doc, inSubtree, &apex, m.mode, nullptr, m.withComments, buffer);
  }
  // Closing flushes what is still buffered.
  return xmlOutputBufferClose(buffer) >= 0 && rc >= 0;
}

}  // namespace

Fragment elementC14N(const xmlNode* element, bool declareDs, int method) {
  if (element == nullptr || element->type != XML_ELEMENT_NODE) return std::nullopt;
  XmlDocPtr doc = CopyAsDocument(element, declareDs);
  return doc ? DocumentC14N(doc.get(), method) : std::nullopt;
}

Fragment elementInPlaceC14N(const xmlNode* element, int method) {
  std::string text;
  if (!InPlaceC14N(element, method, [&text](std::string_view piece) { text.append(piece); })) return std::nullopt;
  return text;
}

Fragment contentInPlaceC14N(const xmlNode* element) {
  std::string text;
  if (!InPlaceC14N(element, kC14nMethodInclusive, [&text](std::string_view piece) { text.append(piece); }, true))
    return std::nullopt;
  return text;
}

std::optional<std::string> elementInPlaceC14NDigest(const xmlNode* element, int method, const EVP_MD* md) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (md == nullptr || ctx == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  bool ok = true;
  if (!InPlaceC14N(element, method, [&](std::string_view piece) {
        ok = ok && EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
      }))
    return std::nullopt;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), out, &length) != 1) return std::nullopt;
  return base64Encode(std::span<const uint8_t>(out, length));
}

Fragment signedInfoC14N(const xmlNode* signature) {
  if (!IsSignature(signature)) return std::nullopt;
  const xmlNode* first = signature->children;
  if (first == nullptr || first->type != XML_ELEMENT_NODE || !nameIs(first, "SignedInfo"))
    return std::nullopt;
  return elementC14N(first, false);
}

Fragment signatureValueElementC14N(const xmlNode* signature) {
  if (!IsSignature(signature)) return std::nullopt;
  return elementC14N(FirstChildNamed(signature, "SignatureValue"), false);
}

Fragment keyInfoC14N(const xmlNode* signature) {
  if (!IsSignature(signature)) return std::nullopt;
  return elementC14N(FirstChildNamed(signature, "KeyInfo"), false);
}

Fragment signedPropertiesC14N(const xmlNode* signature) {
  if (!IsSignature(signature)) return std::nullopt;
  const xmlNode* object = FirstChildNamed(signature, "Object");
  for (const xmlNode* n = object ? object->children : nullptr; n != nullptr; n = n->children)
    if (n->type == XML_ELEMENT_NODE && nameIs(n, "SignedProperties")) return elementC14N(n, false);
  return std::nullopt;
}

Fragment objectC14N(const xmlNode* signature, size_t* length) {
  if (!IsSignature(signature)) return std::nullopt;
  const xmlNode* object = FirstChildNamed(signature, "Object", 1);
  if (object == nullptr) return std::nullopt;
  if (getNodeProp(object, "Encoding") == std::string(kBase64Transform)) {
    // All of its text, as the content is shown and digested, not a first part.
    XmlCharPtr text(xmlNodeGetContent(object));
    if (text == nullptr || *text == 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    // Content that is not whole base64 is not signed content: no fragment.
    if (base64Decode(reinterpret_cast<const char*>(text.get()), &bytes) != kBase64Ok)
      return std::nullopt;
    if (length != nullptr) *length = bytes.size();
    return std::string(bytes.begin(), bytes.end());
  }
  return elementC14N(object, false);
}

Fragment completeCertificateRefsC14N(const xmlNode* s) {
  return JoinUnsigned(s, "CompleteCertificateRefs", 1);
}
Fragment completeRevocationRefsC14N(const xmlNode* s) {
  return JoinUnsigned(s, "CompleteRevocationRefs", 1);
}
Fragment certificateValuesC14N(const xmlNode* s) { return JoinUnsigned(s, "CertificateValues", 1); }
Fragment revocationValuesC14N(const xmlNode* s) { return JoinUnsigned(s, "RevocationValues", 1); }
Fragment signatureTimeStampC14N(const xmlNode* s) { return JoinUnsigned(s, "SignatureTimeStamp", kAll); }
Fragment counterSignatureC14N(const xmlNode* s) { return JoinUnsigned(s, "CounterSignature", kAll); }
Fragment sigAndRefsTimeStampC14N(const xmlNode* s) {
  return JoinUnsigned(s, "SigAndRefsTimeStamp", kAll);
}
Fragment refsOnlyTimeStampC14N(const xmlNode* s) { return JoinUnsigned(s, "RefsOnlyTimeStamp", kAll); }

Fragment archiveTimeStampC14N(const xmlNode* signature, int k) {
  if (k == 0 || k < -1) return std::nullopt;
  return JoinUnsigned(signature, "ArchiveTimeStamp", k == -1 ? kAll : static_cast<size_t>(k), true);
}

}  // namespace vel::xades
