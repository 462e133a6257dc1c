#include "xades/node_helpers.h"

#include <string>

namespace vel::xades {

const xmlChar* getElementText(const xmlNode* element) {
  if (element == nullptr || element->children == nullptr) return nullptr;
  if (element->children->type != XML_TEXT_NODE) return nullptr;
  return element->children->content;
}

std::optional<std::string> getAttrValue(const xmlNode* attribute) {
  if (attribute == nullptr) return std::nullopt;
  if (attribute->type == XML_ATTRIBUTE_DECL) {
    const auto* decl = reinterpret_cast<const xmlAttribute*>(attribute);
    if (decl->defaultValue == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(decl->defaultValue));
  }
  if (attribute->type != XML_ATTRIBUTE_NODE) return std::nullopt;
  const xmlNode* child = attribute->children;
  if (child == nullptr) return std::string();
  if (child->next == nullptr && (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE))
    return std::string(child->content ? reinterpret_cast<const char*>(child->content) : "");
  // Several children (text beside entity references): their text joined,
  // entity references as written, never expanded.
  XmlCharPtr joined(xmlNodeListGetString(attribute->doc, attribute->children, 0));
  if (!joined) return std::string();
  return std::string(reinterpret_cast<const char*>(joined.get()));
}

std::string textContent(const xmlNode* node) {
  XmlCharPtr text(node != nullptr ? xmlNodeGetContent(node) : nullptr);
  return text ? reinterpret_cast<const char*>(text.get()) : "";
}

std::optional<std::string> getNodeProp(const xmlNode* element, const char* name) {
  if (element == nullptr || name == nullptr || element->type != XML_ELEMENT_NODE) return std::nullopt;
  // Only an attribute written in the document: a default that a DTD declares
  // is no part of any canonical form, so it must not change what the engine
  // reads (xmlHasProp would supply it).
  for (const xmlAttr* a = element->properties; a != nullptr; a = a->next) {
    if (a->ns == nullptr && xmlStrEqual(a->name, BAD_CAST name))
      return getAttrValue(reinterpret_cast<const xmlNode*>(a));
  }
  return std::nullopt;
}

xmlDoc* xadesNewDoc(const char* version) { return xmlNewDoc(BAD_CAST version); }

void xadesFreeDoc(xmlDoc* doc) {
  if (doc != nullptr) xmlFreeDoc(doc);
}

bool nameIs(const xmlNode* node, std::string_view name) {
  if (node == nullptr || node->name == nullptr) return false;
  return std::string_view(reinterpret_cast<const char*>(node->name)) == name;
}

bool isElement(const xmlNode* node, const char* ns, std::string_view name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && nameIs(node, name) && node->ns != nullptr &&
         xmlStrEqual(node->ns->href, BAD_CAST ns);
}

xmlNode* soleChild(const xmlNode* parent, const char* ns, std::string_view name) {
  xmlNode* found = nullptr;
  for (xmlNode* c = parent != nullptr ? parent->children : nullptr; c != nullptr; c = c->next) {
    if (!isElement(c, ns, name)) continue;
    if (found != nullptr) return nullptr;
    found = c;
  }
  return found;
}

std::optional<SignatureParts> signatureParts(const xmlNode* signature) {
  if (!isDsig(signature, "Signature")) return std::nullopt;
  SignatureParts parts;
  // The furthest part seen: a part may be missing (its readers then find
  // none), but none may stand twice, out of order, or beside anything else.
  int step = 0;
  const auto take = [&](xmlNode* c, int at, xmlNode** slot) {
    if (step >= at) return false;
    step = at;
    *slot = c;
    return true;
  };
  for (xmlNode* c = signature->children; c != nullptr; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) continue;
    bool fits = false;
    if (isDsig(c, "SignedInfo")) {
      fits = take(c, 1, &parts.signedInfo);
    } else if (isDsig(c, "SignatureValue")) {
      fits = take(c, 2, &parts.signatureValue);
    } else if (isDsig(c, "KeyInfo")) {
      fits = take(c, 3, &parts.keyInfo);
    } else if (isDsig(c, "Object")) {
      fits = true;
      step = 4;
      parts.objects.push_back(c);
    }
    if (!fits) return std::nullopt;
  }
  return parts;
}

xmlNode* signedInfoOf(const xmlNode* signature) {
  const auto parts = signatureParts(signature);
  return parts ? parts->signedInfo : nullptr;
}

xmlNode* signatureValueOf(const xmlNode* signature) {
  const auto parts = signatureParts(signature);
  return parts ? parts->signatureValue : nullptr;
}

xmlNode* signerCertificateOf(const xmlNode* signature) {
  const auto parts = signatureParts(signature);
  if (!parts || parts->keyInfo == nullptr) return nullptr;
  for (xmlNode* data = parts->keyInfo->children; data != nullptr; data = data->next) {
    if (!isDsig(data, "X509Data")) continue;
    for (xmlNode* c = data->children; c != nullptr; c = c->next)
      if (isDsig(c, "X509Certificate")) return c;
  }
  return nullptr;
}

xmlNode* qualifyingPropertiesOf(const xmlNode* signature) {
  const auto parts = signatureParts(signature);
  if (!parts) return nullptr;
  xmlNode* found = nullptr;
  for (const xmlNode* object : parts->objects) {
    for (xmlNode* c = object->children; c != nullptr; c = c->next) {
      if (!isXades(c, "QualifyingProperties")) continue;
      if (found != nullptr) return nullptr;
      found = c;
    }
  }
  return found;
}

xmlNode* unsignedSignaturePropertiesOf(const xmlNode* signature) {
  return soleChild(soleChild(qualifyingPropertiesOf(signature), kXadesNs, "UnsignedProperties"),
                   kXadesNs, "UnsignedSignatureProperties");
}

XmlDocPtr copyAsNewDocument(const xmlNode* element) {
  if (element == nullptr) return nullptr;
  XmlDocPtr doc = xadesNewDocPtr();
  if (!doc) return nullptr;
  xmlNode* root = xmlDocCopyNode(const_cast<xmlNode*>(element), doc.get(), 1);
  if (root == nullptr) return nullptr;
  xmlDocSetRootElement(doc.get(), root);
  return doc;
}

namespace {

xmlNode* NodeAt(xmlXPathContext* context, const std::string& expression, int n) {
  if (context == nullptr || n < 0) return nullptr;
  XPathObjectPtr result = xadesEval(context, expression.c_str());
  const auto nodes = nodesOf(result.get());
  return static_cast<size_t>(n) < nodes.size() ? nodes[static_cast<size_t>(n)] : nullptr;
}

int CountOf(xmlXPathContext* context, const char* expression) {
  XPathObjectPtr result = xadesEval(context, expression);
  if (!result) return -1;
  return static_cast<int>(nodesOf(result.get()).size());
}

}  // namespace

xmlNode* rootSignatureAt(xmlXPathContext* context, int n) {
  if (context == nullptr || n < 0) return nullptr;
  const std::string position = "[position()=" + std::to_string(n + 1) + "]";
  XPathObjectPtr result = xadesEval(context, ("/xmldsig:Signature" + position).c_str());
  auto nodes = nodesOf(result.get());
  if (nodes.empty()) {
    result = xadesEval(context, ("/*/xmldsig:Signature" + position).c_str());
    nodes = nodesOf(result.get());
  }
  return nodes.empty() ? nullptr : nodes[0];
}

xmlNode* topLevelSignatureAt(xmlXPathContext* context, int n) {
  return NodeAt(context, "//xmldsig:Signature[not(ancestor::xmldsig:Signature)]", n);
}

xmlNode* anySignatureAt(xmlXPathContext* context, int n) {
  return NodeAt(context, "//xmldsig:Signature", n);
}

xmlNode* signatureInContextAt(xmlXPathContext* context, xmlNode* from, int n) {
  if (context == nullptr || from == nullptr) return nullptr;
  xmlNode* saved = context->node;
  context->node = from;
  xmlNode* found = NodeAt(context, ".//xmldsig:Signature", n);
  context->node = saved;
  return found;
}

int topLevelSignatureCount(xmlXPathContext* context) {
  // The count of "//xmldsig:Signature[not(ancestor::xmldsig:Signature)]",
  // walked rather than asked: the query makes a node set of every node of the
  // document, and a signature's own subtree need not be entered at all.
  if (context == nullptr || context->doc == nullptr) return -1;
  const auto* top = reinterpret_cast<const xmlNode*>(context->doc);
  int count = 0;
  const xmlNode* node = context->doc->children;
  while (node != nullptr) {
    if (node->type == XML_ELEMENT_NODE && isElement(node, kXmlDsigNs, "Signature")) {
      ++count;
    } else if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
      continue;
    }
    while (node != nullptr && node->next == nullptr) {
      node = node->parent;
      if (node == top) node = nullptr;
    }
    if (node != nullptr) node = node->next;
  }
  return count;
}

int anySignatureCount(xmlXPathContext* context) {
  return CountOf(context, "//xmldsig:Signature");
}

}  // namespace vel::xades
