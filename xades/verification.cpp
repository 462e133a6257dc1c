#include "xades/verification.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/crypto_helpers.h"
#include "xades/document_access.h"
#include "xades/engine_messages.h"
#include "xades/form_checks.h"
#include "xades/node_helpers.h"
#include "xades/signature_discovery.h"
#include "xades/signed_properties.h"

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
  return checkQualifyingPropertiesOf(validation, nodes.front());
}

int checkQualifyingPropertiesOf(xmlSchemaValidCtxt* validation, const xmlNode* qualifyingProperties) {
  if (validation == nullptr) return -11;
  if (qualifyingProperties == nullptr) return -3;
  XmlDocPtr copy = copyAsNewDocument(qualifyingProperties);
  if (!copy) return -11;
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

namespace {

const EVP_MD* rsaDigestOfUri(std::string_view uri) {
  if (uri == kRsaSha1) return EVP_sha1();
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256") return EVP_sha256();
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#rsa-sha384") return EVP_sha384();
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#rsa-sha512") return EVP_sha512();
  return nullptr;
}

std::optional<std::string> digestText(std::span<const uint8_t> data, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out, &length, md, nullptr) != 1) return std::nullopt;
  return base64Encode(std::span<const uint8_t>(out, length));
}

xmlNode* nextElement(xmlNode* node) {
  while (node != nullptr && node->type != XML_ELEMENT_NODE) node = node->next;
  return node;
}

// The transforms of a reference: none, or exactly one base64 transform.
// Anything else (enveloped signature, XPath, a canonicalisation, an unknown
// or misspelt identifier) is a transform the engine cannot apply:
// unsupported, never "changed".
int ReadTransforms(const xmlNode* transforms, bool* base64) {
  int count = 0;
  for (const xmlNode* t = transforms->children; t != nullptr; t = t->next) {
    if (t->type == XML_TEXT_NODE || t->type == XML_COMMENT_NODE) continue;
    if (!isElement(t, kXmlDsigNs, "Transform") ||
        getNodeProp(t, "Algorithm").value_or("") != kBase64Transform || ++count > 1) {
      xadesPrint("generateDigests\nBrak obslugi Transform\n");
      return kRefDigestUnsupported;
    }
  }
  *base64 = count == 1;
  return 0;
}

int digestReference(const XadesSignContext& entry, size_t r) {
  xmlNode* ref = entry.references[r];
  xmlNode* target = r < entry.targets.size() ? entry.targets[r] : nullptr;
  // A canonicalisation the engine does not know: the digests and the
  // signature value cannot be formed as the signer formed them.
  if (entry.c14nMethod < 0) return kRefDigestUnsupported;
  // No target: a URI outside the document (or the whole document, for an
  // enveloped signature). What it names cannot be read here, so it is never
  // checked against something else.
  if (target == nullptr) return kRefDigestUnsupported;
  xmlNode* child = nextElement(ref->children);
  if (child == nullptr) return -2;
  bool base64 = false;
  if (isDsig(child, "Transforms")) {
    if (const int rc = ReadTransforms(child, &base64); rc != 0) return rc;
    child = nextElement(child->next);
  }
  if (!isDsig(child, "DigestMethod")) return -2;
  // An absent or unknown algorithm is not guessed: unsupported, never "changed".
  auto algorithm = getNodeProp(child, "Algorithm");
  const EVP_MD* md = algorithm ? digestMethodOf(*algorithm) : nullptr;
  if (md == nullptr) return kRefDigestUnsupported;
  std::optional<std::string> computed;
  if (!base64) {
    // Canonicalised where it stands (what is in scope there is signed too),
    // and digested as it comes: a large target is never held twice.
    computed = elementInPlaceC14NDigest(target, entry.c14nMethod, md);
    if (!computed) return -10;
  } else {
    std::vector<uint8_t> data;
    if (base64Decode(std::string_view(textContent(target)), &data) != 0) return -5;
    computed = digestText(data, md);
  }
  if (!computed) return -1;
  xmlNode* value = nextElement(child->next);
  if (!isDsig(value, "DigestValue")) return -4;
  // base64 text may be wrapped (xmlsec1 breaks lines at 64 characters):
  // whitespace is no part of the value; nothing else is tolerated.
  std::string written = textContent(value);
  std::erase_if(written, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
  return written == *computed ? 0 : -5;
}

constexpr char kBadStructure[] = "xadesValidateCheckSignature\nNiepoprawna struktura dokumentu\n";

int verifyRsa(std::span<const uint8_t> data, std::span<const uint8_t> signature,
              const std::vector<uint8_t>& certDer, const EVP_MD* md) {
  const unsigned char* p = certDer.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())),
                                                    X509_free);
  if (!cert) return 13;
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  if (key == nullptr || EVP_PKEY_base_id(key) != EVP_PKEY_RSA) return -4;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> mctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!mctx || EVP_DigestVerifyInit(mctx.get(), nullptr, md, nullptr, key) != 1) return -4;
  return EVP_DigestVerify(mctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1 ? 0 : -1;
}

}  // namespace

int verifyReferenceDigests(XadesVerifyContext* ctx) {
  if (ctx == nullptr) return -1;
  for (auto& entry : ctx->signatures) {
    for (size_t r = 0; r < entry->references.size(); ++r) {
      if (int rc = digestReference(*entry, r); rc != 0) return rc;
    }
  }
  return 0;
}

int xadesValidateCheckSignature(XadesVerifyContext* ctx) {
  if (ctx == nullptr) return -2;
  int result = 0;
  for (auto& entry : ctx->signatures) {
    // The parts every other reader takes too.
    const auto parts = signatureParts(entry->signature);
    if (!parts || parts->signedInfo == nullptr) {
      xadesPrint(kBadStructure);
      return -2;
    }
    if (entry->c14nMethod < 0) return -6;
    xmlNode* signedInfo = parts->signedInfo;
    xmlNode* method = soleChild(signedInfo, kXmlDsigNs, "SignatureMethod");
    auto algorithm = method ? getNodeProp(method, "Algorithm") : std::nullopt;
    const EVP_MD* md = algorithm ? rsaDigestOfUri(*algorithm) : nullptr;
    if (md == nullptr) return -6;
    const Fragment c14n = elementInPlaceC14N(signedInfo, entry->c14nMethod);
    if (!c14n) return -5;
    xmlNode* value = parts->signatureValue;
    if (value == nullptr) {
      xadesPrint(kBadStructure);
      return -3;
    }
    std::vector<uint8_t> decoded;
    if (base64Decode(std::string_view(textContent(value)), &decoded) != 0) return -4;
    const auto* bytes = reinterpret_cast<const uint8_t*>(c14n->data());
    result = verifyRsa(std::span<const uint8_t>(bytes, c14n->size()), decoded, entry->certificateBytes, md);
    if (result < 0) return result;
  }
  return result;
}

namespace {

bool Targets(const XadesSignContext& entry, const xmlNode* node) {
  return node != nullptr && std::find(entry.targets.begin(), entry.targets.end(), node) != entry.targets.end();
}

// What the entry must sign for the program to call it correct: a
// counter-signature the SignatureValue of the signature it is hung under; a
// top-level signature the Object whose content the document shows, or, in a
// document that shows none, at least one Object. A signature over something
// else (or over nothing) vouches for nothing the user sees.
bool CoversWhatIsShown(const XadesSignContext& entry) {
  if (entry.parent != nullptr) {
    const xmlNode* signature = entry.parent->signature;
    for (const xmlNode* c = signature != nullptr ? signature->children : nullptr; c != nullptr; c = c->next)
      if (isElement(c, kXmlDsigNs, "SignatureValue")) return Targets(entry, c);
    return false;
  }
  XPathContextPtr xpath = xadesNewXPathContext(entry.signature->doc);
  if (xpath == nullptr) return false;
  if (const xmlNode* shown = contentObjectAt(xpath.get(), 0, 0)) return Targets(entry, shown);
  return std::any_of(entry.targets.begin(), entry.targets.end(),
                     [](const xmlNode* t) { return isElement(t, kXmlDsigNs, "Object"); });
}

uint32_t mapDigestResult(int rc) {
  return rc == kRefDigestUnsupported ? kVerifyUnsupportedAlgorithm : kVerifyDigestMismatch;
}

// Every check the selected entry carries; *authority as verifyAllFormsOf.
int allFormsOf(const XadesVerifyContext& ctx, int k, const crypto::CertChainContext* chain, uint32_t* authority) {
  FormCheckEntry e = formCheckEntryOf(ctx, k);
  const auto& der = ctx.signatures[k]->certificateBytes;
  e.certificate = xadesCertCreate(der.data(), der.size());
  return verifyAllFormsOf(e, chain, authority);
}

// The signature value, then the properties it signs and the certificate
// they name: 0 or a result.
uint32_t checkValueAndProperties(XadesSignContext& entry) {
  XadesVerifyContext single;
  single.signatures.push_back(XadesSignContextPtr(&entry));
  const int rc = xadesValidateCheckSignature(&single);
  single.signatures.front().release();
  if (rc == -6) return kVerifyUnsupportedAlgorithm;
  if (rc != 0) return rc == 13 ? kVerifyNotAcceptable : kVerifyFailed;
  switch (checkSignedProperties(entry)) {
    case kPropertiesBound:
      return kVerifyOk;
    case kSigningCertificateUnsupported:
      return kVerifyUnsupportedAlgorithm;
    default:
      return kVerifyFailed;
  }
}

// Steps shared by the signature and form entry points: the selection must
// exist and load on its own. Fills *sel; 0 or a result.
uint32_t select(XadesVerifyContext* ctx, xmlDoc* doc, int i, int j, bool schemaCheck, int* sel) {
  if (ctx->signatures.empty()) {
    if (xadesLoadSignatures(ctx, doc) != 0) return kVerifyNotAcceptable;
    xadesLinkCounterSignatures(ctx);
  }
  const int top = topSignatureIndex(ctx, i);
  if (top < 0) return kVerifyNotAcceptable;
  *sel = top;
  if (j >= 0) {
    *sel = counterSignatureIndex(ctx, top, j);
    if (*sel < 0) return kVerifyNotAcceptable;
  }
  // The top-level signature's own qualifying properties (a counter-signature's
  // lie inside them), checked where they stand: neither the signature nor its
  // content is copied, whatever its size. Every Signature element inside was
  // loaded with the document, so the selection loads on its own.
  if (schemaCheck &&
      checkQualifyingPropertiesOf(ctx->validation.get(),
                                  qualifyingPropertiesOf(ctx->signatures[top]->signature)) != 0)
    return kVerifyNotAcceptable;
  return 0;
}

}  // namespace

uint32_t xadesVerifySignature(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain,
                              int i, int j, bool withForms) {
  if (i < 0) return xadesVerifyDocument(ctx, doc, chain);
  if (ctx == nullptr || !ctx->validation) return kVerifyNoContext;
  int sel = -1;
  if (uint32_t rc = select(ctx, doc, i, j, true, &sel); rc != 0) return rc;
  // The checks run on the selected entry alone.
  XadesSignContext& entry = *ctx->signatures[sel];
  for (size_t r = 0; r < entry.references.size(); ++r) {
    if (int rc = digestReference(entry, r); rc != 0) return mapDigestResult(rc);
  }
  if (!CoversWhatIsShown(entry)) return kVerifyFailed;
  // A time-stamp authority the user's stores do not vouch for leaves the
  // signature incomplete, unless the signature itself is invalid.
  uint32_t authority = 0;
  if (withForms && allFormsOf(*ctx, sel, chain, &authority) != 0 && authority == 0) return kVerifyFailed;
  if (const uint32_t rc = checkValueAndProperties(entry); rc != kVerifyOk) return rc;
  return authority;
}

uint32_t xadesVerifyForms(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain,
                          int i, int j, int32_t mode) {
  if (i < 0) return xadesVerifyDocument(ctx, doc, chain);
  if (ctx == nullptr || !ctx->validation) return kVerifyNoContext;
  int sel = -1;
  if (uint32_t rc = select(ctx, doc, i, j, false, &sel); rc != 0) return rc;
  FormCheckEntry e = formCheckEntryOf(*ctx, sel);
  const auto& der = ctx->signatures[sel]->certificateBytes;
  e.certificate = xadesCertCreate(der.data(), der.size());
  uint32_t authority = 0;
  if (verifyFormOf(e, chain, mode, &authority) == 0) return kVerifyOk;
  return authority != 0 ? authority : kVerifyFailed;
}

uint32_t xadesVerifyDocument(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain) {
  if (ctx == nullptr || doc == nullptr || !ctx->validation) return kVerifyNoContext;
  ctx->xpath = xadesNewXPathContext(doc);
  if (!ctx->xpath) return kVerifyNoXPath;
  XPathObjectPtr found = xadesEval(ctx->xpath.get(), "//xmldsig:Signature");
  auto nodes = nodesOf(found.get());
  if (nodes.empty()) return kVerifyNotAcceptable;
  for (xmlNode* n : nodes) {
    if (validateSignatureByCopy(ctx, n) != 0) return kVerifyNotAcceptable;
  }
  if (xadesLoadSignatures(ctx, doc) != 0) return kVerifyNotAcceptable;
  xadesLinkCounterSignatures(ctx);
  if (int rc = verifyReferenceDigests(ctx); rc != 0) return mapDigestResult(rc);
  for (const auto& entry : ctx->signatures)
    if (!CoversWhatIsShown(*entry)) return kVerifyFailed;
  // Every signature's forms, not only the first's; the first authority
  // status is kept for after the signature values.
  uint32_t authority = 0;
  for (int k = 0; k < ctx->count; ++k) {
    uint32_t status = 0;
    if (allFormsOf(*ctx, k, chain, &status) != 0 && status == 0) return kVerifyFailed;
    if (authority == 0) authority = status;
  }
  // Any failing entry fails the document (13 included).
  for (int k = 0; k < ctx->count; ++k) {
    if (const uint32_t rc = checkValueAndProperties(*ctx->signatures[k]); rc != kVerifyOk) return rc;
  }
  return authority;
}

}  // namespace vel::xades
