#include "xades/verification.h"

#include <cstring>

#include "xades/node_helpers.h"

namespace vel::xades {

int isDecimalInteger(const char* text) {
  if (text == nullptr || *text == '\0') return -1;
  const char* p = text;
  while (*p == ' ') ++p;
  if (*p == '+' || *p == '-') ++p;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
  }
  return 0;
}

int rewriteSerialNumbers(xmlDoc* doc) {
  XPathContextPtr xpath = xadesNewXPathContext(doc);
  if (!xpath) return -11;
  for (const char* expression : {"//xmldsig:X509SerialNumber", "//xades:Number"}) {
    XPathObjectPtr found = xadesEval(xpath.get(), expression);
    if (!found) return -3;
    for (xmlNode* node : nodesOf(found.get())) {
      XmlCharPtr text(xmlNodeGetContent(node));
      if (isDecimalInteger(reinterpret_cast<const char*>(text.get())) != 0) return -5;
      // libxml2 limits integers to 24 digits; the value was checked above.
      xmlNodeSetContent(node, BAD_CAST "1");
    }
  }
  return 0;
}

int checkQualifyingPropertiesSchema(xmlSchemaValidCtxt* validation, xmlDoc* doc) {
  if (validation == nullptr || doc == nullptr) return -11;
  XPathContextPtr xpath = xadesNewXPathContext(doc);
  if (!xpath) return -11;
  XPathObjectPtr found = xadesEval(xpath.get(), "//xmldsig:Signature/xmldsig:Object/xades:QualifyingProperties");
  auto nodes = nodesOf(found.get());
  if (nodes.empty()) return -3;
  XmlDocPtr copy = xadesNewDocPtr();
  if (!copy) return -11;
  xmlNode* root = xmlDocCopyNode(nodes.front(), copy.get(), 1);
  if (root == nullptr) return -11;
  xmlDocSetRootElement(copy.get(), root);
  if (int rc = rewriteSerialNumbers(copy.get()); rc != 0) return rc;
  return xmlSchemaValidateDoc(validation, copy.get()) == 0 ? 0 : -4;
}

int topSignatureIndex(const XadesVerifyContext* ctx, int i) {
  if (ctx == nullptr || i < 0 || i >= ctx->count) return -1;
  int seen = 0;
  for (int k = 0; k < ctx->count && k < static_cast<int>(ctx->signatures.size()); ++k) {
    if (ctx->signatures[k] && ctx->signatures[k]->parent == nullptr) {
      if (seen == i) return k;
      ++seen;
    }
  }
  return -1;
}

int counterSignatureIndex(const XadesVerifyContext* ctx, int top, int j) {
  if (ctx == nullptr || top < 0 || top >= ctx->count || j < 0) return -1;
  const XadesSignContext* parent = ctx->signatures[top].get();
  int seen = 0;
  for (int k = 0; k < ctx->count && k < static_cast<int>(ctx->signatures.size()); ++k) {
    if (ctx->signatures[k] && ctx->signatures[k]->parent == parent) {
      if (seen == j) return k;
      ++seen;
    }
  }
  return -1;
}

}  // namespace vel::xades
