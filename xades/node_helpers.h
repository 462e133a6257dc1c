// Thin helpers over libxml2's tree: element text, attribute values, new and
// released documents, name tests, and the four ways the engine counts
// "signature n" (all 0-based; the XPath texts get n + 1).
#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xades/xml_doc.h"

namespace vel::xades {

// The content of the element's first child when that is a text node; none
// otherwise. Owned by the tree.
const xmlChar* getElementText(const xmlNode* element);

// All the text below the node, in document order; empty for no node.
std::string textContent(const xmlNode* node);

// An attribute's value: empty without children, else the text of its
// children; for a DTD attribute declaration its default value; none for
// other nodes and for no node.
std::optional<std::string> getAttrValue(const xmlNode* attribute);

// The value of the element's attribute `name` in no namespace, as written in
// the document (never a default declared in a DTD); none when there is no
// such attribute.
std::optional<std::string> getNodeProp(const xmlNode* element, const char* name);

// A new document of that version; its release.
xmlDoc* xadesNewDoc(const char* version);
void xadesFreeDoc(xmlDoc* doc);
inline XmlDocPtr xadesNewDocPtr() { return XmlDocPtr(xadesNewDoc("1.0")); }

// A node's local name is exactly `name` (any namespace).
bool nameIs(const xmlNode* node, std::string_view name);
// An element of that local name in that namespace.
bool isElement(const xmlNode* node, const char* ns, std::string_view name);
inline bool isDsig(const xmlNode* node, std::string_view name) {
  return isElement(node, kXmlDsigNs, name);
}
inline bool isXades(const xmlNode* node, std::string_view name) {
  return isElement(node, kXadesNs, name);
}

// The one selector of a signature's parts, which every reader (verification,
// the getters, the tree, signing) goes through, so that all of them speak of
// the same elements: an element is taken only by its exact local name in the
// XMLDSig or XAdES namespace, and where the schema allows one such element,
// a second one makes the part absent rather than letting readers pick
// different ones.

// The child element of that name in that namespace; none when there is none
// or more than one.
xmlNode* soleChild(const xmlNode* parent, const char* ns, std::string_view name);

// The element children of a ds:Signature, which the schema fixes as
// SignedInfo, SignatureValue, KeyInfo (optional), Object (any number), in that
// order and nothing else. A part that is missing is none here (its readers
// fail on it).
struct SignatureParts {
  xmlNode* signedInfo = nullptr;
  xmlNode* signatureValue = nullptr;
  xmlNode* keyInfo = nullptr;
  std::vector<xmlNode*> objects;
};
// None when `signature` is not a ds:Signature, or a part stands twice or out
// of order, or any other element stands among them.
std::optional<SignatureParts> signatureParts(const xmlNode* signature);
xmlNode* signedInfoOf(const xmlNode* signature);
xmlNode* signatureValueOf(const xmlNode* signature);
// The signer's certificate: the first ds:X509Certificate of the first
// ds:X509Data of the KeyInfo that holds one.
xmlNode* signerCertificateOf(const xmlNode* signature);
// The xades:QualifyingProperties that is the child of one of the signature's
// Objects; none when none or more than one is.
xmlNode* qualifyingPropertiesOf(const xmlNode* signature);
// Its UnsignedProperties/UnsignedSignatureProperties, each the only one.
xmlNode* unsignedSignaturePropertiesOf(const xmlNode* signature);

// A copy (deep) of `element` as the root of a new document of version "1.0";
// none when it cannot be made.
XmlDocPtr copyAsNewDocument(const xmlNode* element);

// "Signature n", the four ways:
// 1. the root when it is a Signature (n = 0 only counts it), else the n-th
//    Signature child of the root: "/xmldsig:Signature[n+1]", then
//    "/*/xmldsig:Signature[n+1]";
xmlNode* rootSignatureAt(xmlXPathContext* context, int n);
// 2. the n-th top-level Signature anywhere (no Signature ancestor);
xmlNode* topLevelSignatureAt(xmlXPathContext* context, int n);
// 3. the n-th Signature element of the document, counter-signatures included;
xmlNode* anySignatureAt(xmlXPathContext* context, int n);
// 4. the n-th Signature found below the context's current node (the node set
//    as "//" from there, in document order), as the verification walks count.
xmlNode* signatureInContextAt(xmlXPathContext* context, xmlNode* from, int n);
// Counts for 2 and 3 (-1 when the query fails).
int topLevelSignatureCount(xmlXPathContext* context);
int anySignatureCount(xmlXPathContext* context);

}  // namespace vel::xades
