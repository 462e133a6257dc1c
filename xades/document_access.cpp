#include "xades/document_access.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "cryptolib/x509_context.h"
#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/crypto_helpers.h"
#include "xades/node_helpers.h"
#include "xades/signature_discovery.h"
#include "xades/verification.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

struct Parsed {
  XmlDocPtr doc;
  XPathContextPtr context;
};

// Parses and makes the XPath context; the codes for each failure.
uint32_t Open(const uint8_t* xml, uint32_t length, uint32_t not_parsed, uint32_t no_context,
              Parsed* p) {
  if (xml == nullptr || length == 0) return not_parsed;
  p->doc = xadesParseMemory(xml, length);
  if (p->doc == nullptr) return not_parsed;
  p->context = xadesNewXPathContext(p->doc.get());
  return p->context == nullptr ? no_context : 0;
}

std::string_view TextOf(const xmlNode* node) {
  return node != nullptr && node->content != nullptr
             ? std::string_view(reinterpret_cast<const char*>(node->content))
             : std::string_view();
}

bool IsText(const xmlNode* node) {
  return node != nullptr && (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE);
}

// Size rule for a text result written with its NUL: the size is the text's length.
uint32_t PutText(std::string_view text, uint8_t* out, uint32_t* size) {
  if (text.size() >= UINT32_MAX) return kAccessMoreData;
  if (out == nullptr || *size <= text.size()) {
    *size = static_cast<uint32_t>(text.size()) + 1;
    return kAccessMoreData;
  }
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  out[text.size()] = 0;
  *size = static_cast<uint32_t>(text.size());
  return 0;
}

// Size rule for base64 text decoded into the buffer; the text's length
// bounds the decoded bytes, so a buffer of that size always holds them.
uint32_t PutDecoded(std::string_view text, uint8_t* out, uint32_t* size) {
  if (text.size() >= UINT32_MAX) return kAccessMoreData;
  if (out == nullptr || *size < text.size() || *size == 0) {
    *size = static_cast<uint32_t>(text.size()) + 1;
    return kAccessMoreData;
  }
  std::vector<uint8_t> bytes;
  if (base64Decode(text, &bytes) != kBase64Ok) return kAccessInvalidData;
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  *size = static_cast<uint32_t>(bytes.size());
  return 0;
}

// The values of the signature's own unsigned signature properties: the
// `leaf` children of the one element that `path` names below them, in
// document order; nodes without text or with bytes that do not decode are
// skipped.
template <typename Context, typename Make>
std::vector<std::shared_ptr<const Context>> ValuesOf(const xmlNode* signature,
                                                     std::initializer_list<const char*> path,
                                                     const char* leaf, Make make) {
  std::vector<std::shared_ptr<const Context>> list;
  const xmlNode* holder = unsignedSignaturePropertiesOf(signature);
  for (const char* name : path) holder = soleChild(holder, kXadesNs, name);
  for (xmlNode* node = holder != nullptr ? holder->children : nullptr; node != nullptr;
       node = node->next) {
    if (!isXades(node, leaf) || !IsText(node->children)) continue;
    std::vector<uint8_t> der;
    if (base64Decode(TextOf(node->children), &der) != kBase64Ok) continue;
    if (auto value = make(der.data(), der.size())) list.push_back(std::move(value));
  }
  return list;
}

xmlNode* RootSignature(xmlDoc* doc, int n) {
  if (doc == nullptr) return nullptr;
  XPathContextPtr context = xadesNewXPathContext(doc);
  return context != nullptr ? rootSignatureAt(context.get(), n) : nullptr;
}

// True when the user's "Root" or "CA" store holds exactly this certificate.
bool InUserAnchorStore(const platform::CertContext& cert) {
  for (const char* name : {"Root", "CA"}) {
    std::unique_ptr<platform::CertStore> store;
    if (platform::CertStore::Open(platform::kStoreCurrentUser, name, &store) != 0) continue;
    const crypto::FindParameter same{&cert};
    if (crypto::FindCertificateInStore(*store, 0, 0, crypto::CERT_FIND_EXISTING, same, nullptr))
      return true;
  }
  return false;
}

platform::CertPtr SignerOf(const XadesSignContext& entry) {
  return xadesCertCreate(entry.certificateBytes.data(), entry.certificateBytes.size());
}

// The signature's own unsigned properties of these kinds: the children of
// its one UnsignedSignatureProperties, in document order. Never a property of
// a counter-signature, of another Object or of an element that only looks
// like one.
std::vector<xmlNode*> OwnProperties(const xmlNode* signature,
                                    std::initializer_list<std::string_view> kinds) {
  std::vector<xmlNode*> found;
  // An element that holds the signature (a root over it) stands for it.
  if (signature != nullptr && !isDsig(signature, "Signature"))
    signature = soleChild(signature, kXmlDsigNs, "Signature");
  const xmlNode* properties = unsignedSignaturePropertiesOf(signature);
  for (xmlNode* c = properties != nullptr ? properties->children : nullptr; c != nullptr;
       c = c->next) {
    for (const std::string_view kind : kinds) {
      if (isXades(c, kind)) {
        found.push_back(c);
        break;
      }
    }
  }
  return found;
}

// The first child of the property that holds its token: the
// EncapsulatedTimeStamp, or else (when allowed) the XMLTimeStamp.
xmlNode* TokenElementOf(const xmlNode* property, bool xmlForm) {
  for (const char* name : {"EncapsulatedTimeStamp", "XMLTimeStamp"}) {
    for (xmlNode* c = property->children; c != nullptr; c = c->next)
      if (isXades(c, name)) return c;
    if (!xmlForm) break;
  }
  return nullptr;
}

std::optional<std::string> TokenText(const xmlNode* signature, int* encoding, int k,
                                     std::initializer_list<std::string_view> kinds, bool xmlForm) {
  if (k < 0) return std::nullopt;
  const std::vector<xmlNode*> properties = OwnProperties(signature, kinds);
  if (static_cast<size_t>(k) >= properties.size()) return std::nullopt;
  xmlNode* node = TokenElementOf(properties[static_cast<size_t>(k)], xmlForm);
  if (node == nullptr) return std::nullopt;
  if (encoding != nullptr) {
    if (const auto value = getNodeProp(node, "Encoding"))
      *encoding = *value == kEncodingDer ? kTokenEncodingDer : kTokenEncodingOther;
  }
  XmlCharPtr text(xmlNodeGetContent(node));
  return std::string(text != nullptr ? reinterpret_cast<const char*>(text.get()) : "");
}

}  // namespace

uint32_t getSignatureCount(const uint8_t* xml, uint32_t length, int* count) {
  LibxmlDiagnostics quiet;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 192, 193, &p)) return err;
  const int found = topLevelSignatureCount(p.context.get());
  if (found < 0) return 194;
  if (count != nullptr) *count = found;
  return 0;
}

xmlNode* contentObjectAt(xmlXPathContext* context, int n, int m) {
  return contentObjectOf(topLevelSignatureAt(context, n), m);
}

xmlNode* contentObjectOf(const xmlNode* signature, int m) {
  const auto parts = signatureParts(signature);
  if (!parts || m < 0 || static_cast<size_t>(m) + 1 >= parts->objects.size()) return nullptr;
  return parts->objects[static_cast<size_t>(m) + 1];
}

uint32_t getObjectContent(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size, int n,
                          int m) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 32, 33, &p)) return err;
  return getObjectContentOf(contentObjectAt(p.context.get(), n, m), out, size);
}

uint32_t getObjectContentOf(const xmlNode* object, uint8_t* out, uint32_t* size) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  if (object == nullptr) return 34;
  // Shown is exactly what the Object's digest covers, never a part of it.
  XmlCharPtr characters(xmlNodeGetContent(object));
  const std::string_view text =
      characters != nullptr ? std::string_view(reinterpret_cast<const char*>(characters.get())) : std::string_view();
  // base64: the whole text decoded, as the base64 transform reads it.
  if (getNodeProp(object, "Encoding").value_or("") == kBase64Transform) return PutDecoded(text, out, size);
  bool characterData = true;
  for (const xmlNode* c = object->children; c != nullptr && characterData; c = c->next)
    characterData = IsText(c) || c->type == XML_COMMENT_NODE;
  // Text: all its character data in order; comments are no part of it.
  if (characterData) return PutText(text, out, size);
  // Elements (or anything else): what the Object holds, in canonical form.
  const std::optional<std::string> canonical = contentInPlaceC14N(object);
  if (!canonical) return 34;
  return PutText(*canonical, out, size);
}

uint32_t getSignatureCertificate(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size,
                                 int n) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 32, 33, &p)) return err;
  // The certificate verification reads, by the same selector.
  const xmlNode* node = signerCertificateOf(topLevelSignatureAt(p.context.get(), n));
  if (node == nullptr) return 66;
  if (!IsText(node->children)) return 51;
  return PutDecoded(TextOf(node->children), out, size);
}

platform::CertPtr getSignerCertContext(const uint8_t* xml, uint32_t length, int n) {
  uint32_t size = 0;
  if (getSignatureCertificate(xml, length, nullptr, &size, n) != kAccessMoreData) return nullptr;
  std::vector<uint8_t> der(size);
  if (getSignatureCertificate(xml, length, der.data(), &size, n) != 0) return nullptr;
  return xadesCertCreate(der.data(), size);
}

std::vector<platform::CertPtr> getEncapsulatedCertificates(xmlDoc* doc, int n) {
  return getEncapsulatedCertificatesOf(RootSignature(doc, n));
}

std::vector<platform::CertPtr> getEncapsulatedCertificatesOf(const xmlNode* signature) {
  return ValuesOf<platform::CertContext>(signature, {"CertificateValues"}, "EncapsulatedX509Certificate",
                                         xadesCertCreate);
}

std::vector<platform::CertPtr> getEncapsulatedCertificatesXml(const uint8_t* xml, uint32_t length,
                                                              int n) {
  LibxmlDiagnostics quiet;
  if (xml == nullptr || length == 0) return {};
  XmlDocPtr doc = xadesParseMemory(xml, length);
  return getEncapsulatedCertificates(doc.get(), n);
}

std::vector<platform::CrlPtr> getEncapsulatedCrls(xmlDoc* doc, int n) {
  return getEncapsulatedCrlsOf(RootSignature(doc, n));
}

std::vector<platform::CrlPtr> getEncapsulatedCrlsOf(const xmlNode* signature) {
  return ValuesOf<platform::CrlContext>(signature, {"RevocationValues", "CRLValues"},
                                        "EncapsulatedCRLValue", xadesCrlCreate);
}

std::vector<platform::CrlPtr> getEncapsulatedCrlsXml(const uint8_t* xml, uint32_t length, int n) {
  LibxmlDiagnostics quiet;
  if (xml == nullptr || length == 0) return {};
  XmlDocPtr doc = xadesParseMemory(xml, length);
  return getEncapsulatedCrls(doc.get(), n);
}

uint32_t getSignatureValueC14N(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size,
                               int n) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 176, 177, &p)) return err;
  return getSignatureValueC14NOf(topLevelSignatureAt(p.context.get(), n), out, size);
}

uint32_t getSignatureValueC14NOf(const xmlNode* signature, uint8_t* out, uint32_t* size) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  if (signature == nullptr) return 178;
  const auto text = signatureValueC14N(signature);
  if (!text) return 187;
  if (text->size() >= UINT32_MAX) return kAccessMoreData;
  if (out == nullptr || *size <= text->size()) {
    *size = static_cast<uint32_t>(text->size()) + 1;
    return kAccessMoreData;
  }
  std::memcpy(out, text->data(), text->size());
  *size = static_cast<uint32_t>(text->size());
  return 0;
}

uint32_t xadesAddSignatureTimeStamp(const uint8_t* xml, uint32_t length, const uint8_t* token,
                                    uint32_t token_length, uint8_t* out, uint32_t* size, int n) {
  LibxmlDiagnostics quiet;
  if (size == nullptr) return 87;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 176, 177, &p)) return err;
  if (token == nullptr || token_length == 0) return 187;
  xmlNode* signature = rootSignatureAt(p.context.get(), n);
  if (signature == nullptr) return 191;
  // Where every reader takes the signature's time stamps from.
  xmlNode* place = unsignedSignaturePropertiesOf(signature);
  if (place == nullptr) {
    xmlNode* qualifying = qualifyingPropertiesOf(signature);
    if (qualifying == nullptr) return 191;
    // Both levels are made only where neither exists: another one beside an
    // existing one would hide both from the readers.
    for (xmlNode* c = qualifying->children; c != nullptr; c = c->next)
      if (isXades(c, "UnsignedProperties")) return 191;
    xmlNode* unsigned_props =
        xadeAddNewChild(qualifying, "UnsignedProperties", nullptr, nullptr, nullptr);
    place = unsigned_props != nullptr
                ? xadeAddNewChild(unsigned_props, "UnsignedSignatureProperties", nullptr, nullptr,
                                  nullptr)
                : nullptr;
    if (place == nullptr) return 187;
  }
  xmlNode* stamp = xadeAddNewChild(place, "SignatureTimeStamp", nullptr, nullptr, nullptr);
  xmlNode* encapsulated =
      stamp != nullptr ? xadeAddNewChild(stamp, "EncapsulatedTimeStamp", nullptr, nullptr, nullptr)
                       : nullptr;
  if (encapsulated == nullptr ||
      xmlNewProp(encapsulated, X("Encoding"), X(kEncodingDer)) == nullptr)
    return 187;
  const std::string text = base64Encode(std::span(token, token_length));
  xmlNodeAddContentLen(encapsulated, X(text.c_str()), static_cast<int>(text.size()));

  xmlChar* mem = nullptr;
  int mem_length = 0;
  xmlDocDumpMemoryEnc(p.doc.get(), &mem, &mem_length, "UTF-8");
  XmlCharPtr serialised(mem);
  if (serialised == nullptr) return 187;
  const uint64_t need = static_cast<uint64_t>(mem_length);
  if (out == nullptr || need >= *size) {
    const uint64_t asked = static_cast<uint64_t>(*size) + need + 1024;
    if (asked > UINT32_MAX) return 187;
    *size = static_cast<uint32_t>(asked);
    return kAccessMoreData;
  }
  std::memcpy(out, mem, static_cast<size_t>(mem_length));
  *size = static_cast<uint32_t>(mem_length);
  return 0;
}

uint32_t findSignatureByCertificate(const uint8_t* xml, uint32_t length,
                                    const platform::CertContext* cert, int* index) {
  LibxmlDiagnostics quiet;
  if (cert == nullptr) return 87;
  Parsed p;
  if (const uint32_t err = Open(xml, length, 64, 65, &p)) return err;
  XPathObjectPtr result =
      xadesEval(p.context.get(),
                "/xmldsig:Signature/xmldsig:KeyInfo/xmldsig:X509Data/xmldsig:X509Certificate");
  if (nodesOf(result.get()).empty())
    result =
        xadesEval(p.context.get(),
                  "/*/xmldsig:Signature/xmldsig:KeyInfo/xmldsig:X509Data/xmldsig:X509Certificate");
  const auto nodes = nodesOf(result.get());
  if (nodes.empty()) return 66;
  const auto want = cert->der();
  for (size_t i = 0; i < nodes.size(); ++i) {
    XmlCharPtr text(xmlNodeGetContent(nodes[i]));
    std::vector<uint8_t> der;
    if (text == nullptr ||
        base64Decode(reinterpret_cast<const char*>(text.get()), &der) != kBase64Ok)
      continue;
    if (der.size() == want.size() && std::equal(der.begin(), der.end(), want.begin())) {
      if (index != nullptr) *index = static_cast<int>(i);
      return 0;
    }
  }
  if (index != nullptr) *index = 0;
  return 69;
}

LoadedContextPtr xadesLoadDocument(const uint8_t* xml, uint32_t length) {
  LibxmlDiagnostics quiet;
  if (xml == nullptr || length == 0) return nullptr;
  XmlDocPtr doc = xadesParseMemory(xml, length);
  if (doc == nullptr) return nullptr;
  LoadedContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  if (ctx == nullptr) return nullptr;
  ctx->document = doc.release();  // the context's from here on
  if (xadesLoadSignatures(ctx.get(), ctx->document) != 0) return nullptr;
  if (xadesLinkCounterSignatures(ctx.get()) != 0) return nullptr;
  return ctx;
}

uint32_t embeddedValuesPath(const platform::CertPtr& signer, const xmlNode* signature,
                            crypto::CertChainPtr* chain) {
  if (signer == nullptr) return kNoSignerCertificate;
  LibxmlDiagnostics quiet;
  const auto certificates = getEncapsulatedCertificatesOf(signature);
  const auto crls = getEncapsulatedCrlsOf(signature);
  crypto::CertPathNode tree(signer);
  tree.BuildFromLists(certificates, crls);
  if (tree.Verify() != 0) return kEmbeddedPathFailed;
  crypto::CertChainPtr path = tree.ToChainContext();
  if (path == nullptr || path->chains.empty() || path->chains[0].elements.empty())
    return kEmbeddedPathFailed;
  const platform::CertPtr& top = path->chains[0].elements.back().certificate;
  if (top == nullptr || !InUserAnchorStore(*top)) return kEmbeddedPathFailed;
  if (chain != nullptr) *chain = std::move(path);
  return 0;
}

uint32_t xadesVerifyCertificateRefs(const uint8_t* xml, uint32_t length, int n,
                                    bool useEmbeddedValues) {
  LibxmlDiagnostics quiet;
  return verifyCertificateRefsOf(xadesLoadDocument(xml, length).get(), n, useEmbeddedValues);
}

uint32_t verifyCertificateRefsOf(XadesVerifyContext* ctx, int n, bool useEmbeddedValues) {
  const int index = topSignatureIndex(ctx, n);
  if (index < 0) return kVerifyNotAcceptable;
  const XadesSignContext& entry = *ctx->signatures[index];
  crypto::CertChainPtr chain;
  if (useEmbeddedValues) {
    if (const uint32_t rc = embeddedValuesPath(SignerOf(entry), entry.signature, &chain)) return rc;
  }
  return xadesVerifyForms(ctx, ctx->document, chain.get(), n, -1, kVerifyCompleteRefs);
}

uint32_t xadesVerifyValues(const uint8_t* xml, uint32_t length, int n) {
  LibxmlDiagnostics quiet;
  return verifyValuesOf(xadesLoadDocument(xml, length).get(), n);
}

uint32_t verifyValuesOf(XadesVerifyContext* ctx, int n) {
  const int index = topSignatureIndex(ctx, n);
  if (index < 0) return kVerifyNotAcceptable;
  const XadesSignContext& entry = *ctx->signatures[index];
  if (const uint32_t rc = embeddedValuesPath(SignerOf(entry), entry.signature)) return rc;
  return xadesVerifyForms(ctx, ctx->document, nullptr, n, -1, kVerifyValuesWithRefs);
}

std::optional<TimeStampNodes> getSignatureTimeStampNodes(const xmlNode* signature) {
  const std::vector<xmlNode*> stamps = OwnProperties(signature, {"SignatureTimeStamp"});
  for (const char* name : {"EncapsulatedTimeStamp", "XMLTimeStamp"}) {
    TimeStampNodes found;
    for (const xmlNode* stamp : stamps)
      for (xmlNode* c = stamp->children; c != nullptr; c = c->next)
        if (isXades(c, name)) found.nodes.push_back(c);
    if (!found.nodes.empty()) return found;
  }
  return std::nullopt;
}

std::optional<std::string> getSignatureTimeStampToken(const xmlNode* signature, int* encoding,
                                                      int k) {
  return TokenText(signature, encoding, k, {"SignatureTimeStamp"}, true);
}

std::optional<std::string> getRefsTimeStampToken(const xmlNode* signature, int* encoding, int k) {
  return TokenText(signature, encoding, k, {"RefsOnlyTimeStamp", "SigAndRefsTimeStamp"}, true);
}

std::optional<std::string> getArchiveTimeStampToken(const xmlNode* signature, int* encoding,
                                                    int k) {
  return TokenText(signature, encoding, k, {"ArchiveTimeStamp"}, false);
}

}  // namespace vel::xades
