// Thin helpers over libxml2's tree: element text, attribute values, new and
// released documents, name tests, and the four ways the engine counts
// "signature n" (all 0-based; the XPath texts get n + 1).
#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <optional>
#include <string>
#include <string_view>

#include "xades/xml_doc.h"

namespace vel::xades {

// The content of the element's first child when that is a text node; none
// otherwise. Owned by the tree.
const xmlChar* getElementText(const xmlNode* element);

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

// Name tests on an element's local name: exact equality, and the walk's test
// that compares over the length of the node's own name (so a node named
// "Sig" passes for "Signature").
bool nameIs(const xmlNode* node, std::string_view name);
bool namePrefixMatches(const xmlNode* node, std::string_view name);
// An element of that local name in that namespace.
bool isElement(const xmlNode* node, const char* ns, std::string_view name);

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
