#include "xades/property_tables.h"

#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/reference_lists.h"
#include "xades/signed_properties.h"

namespace vel::xades {
namespace {

// Label ids of the window's tables.
constexpr int32_t kLabelSignatureAlgorithm = 1000;
constexpr int32_t kLabelHash = 1001;
constexpr int32_t kLabelUnknownAlgorithm = 1002;
constexpr int32_t kLabelC14nMethod = 1003;
constexpr int32_t kLabelXPath = 1004;
constexpr int32_t kLabelBase64 = 1005;
constexpr int32_t kLabelXslt = 1006;
constexpr int32_t kLabelC14n = 1007;
constexpr int32_t kLabelC14nWithComments = 1008;
constexpr int32_t kLabelExclusiveC14n = 1009;
constexpr int32_t kLabelTransform = 1010;
constexpr int32_t kLabelSigningTime = 1100;
constexpr int32_t kLabelCertificateHash = 1101;
constexpr int32_t kLabelCertificateIssuer = 1102;
constexpr int32_t kLabelSerialNumber = 1103;
constexpr int32_t kLabelTimeStamp = 1201;

constexpr char kXPathTransform[] = "http://www.w3.org/TR/1999/REC-xpath-19991116";
constexpr char kXsltTransform[] = "http://www.w3.org/TR/1999/REC-xslt-19991116";
// Relative to the signature's signed SignedProperties, and to the
// QualifyingProperties that hold them.
constexpr char kSignedProps[] = "xades:SignedSignatureProperties/";
constexpr char kUnsignedProps[] = "xades:UnsignedProperties/xades:UnsignedSignatureProperties/";

using Text = std::optional<std::string>;

Text TextOf(const xmlNode* element) {
  const xmlChar* text = element == nullptr ? nullptr : getElementText(element);
  if (text == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text));
}

// The text a user expects of an element with markup inside (an indented
// one, a role written as XML): its whole text content.
std::string ContentOf(const xmlNode* element) {
  if (element == nullptr) return {};
  XmlCharPtr content(xmlNodeGetContent(element));
  return content ? reinterpret_cast<const char*>(content.get()) : "";
}

class Builder {
 public:
  explicit Builder(const XadesSignContext& sig) {
    if (sig.signature == nullptr) return;
    table_ = std::make_unique<SignatureInfoTable>();
    table_->document = xadesNewDocPtr();
    xmlNode* copy =
        table_->document ? xmlDocCopyNode(sig.signature, table_->document.get(), 1) : nullptr;
    if (copy != nullptr) {
      xmlDocSetRootElement(table_->document.get(), copy);
      context_ = xadesNewXPathContext(table_->document.get());
    }
    if (!context_) table_.reset();
  }
  bool ok() const { return table_ != nullptr; }
  xmlNode* root() const { return xmlDocGetRootElement(table_->document.get()); }
  // The properties the signature signs, none when it signs none: the
  // expressions then start at them, never at another copy.
  std::optional<BoundProperties> Bound() {
    auto bound = boundProperties(root());
    if (bound) context_->node = const_cast<xmlNode*>(bound->signedProperties);
    return bound;
  }
  void At(const xmlNode* node) { context_->node = const_cast<xmlNode*>(node); }

  std::vector<xmlNode*> All(const std::string& expression) {
    XPathObjectPtr result = xadesEval(context_.get(), expression.c_str());
    const auto nodes = nodesOf(result.get());
    return {nodes.begin(), nodes.end()};
  }
  xmlNode* First(const std::string& expression) {
    const auto nodes = All(expression);
    return nodes.empty() ? nullptr : nodes.front();
  }

  void Add(SignatureInfoRow row) {
    if (table_->count() == table_->capacity) table_->capacity += 10;
    table_->rows.push_back(std::move(row));
  }
  SignatureInfoTablePtr Take() { return std::move(table_); }

 private:
  SignatureInfoTablePtr table_;
  XPathContextPtr context_;
};

int32_t TransformLabel(const std::string& algorithm) {
  if (algorithm == kBase64Transform) return kLabelBase64;
  if (algorithm == kXPathTransform) return kLabelXPath;
  if (algorithm == kXsltTransform) return kLabelXslt;
  if (algorithm == kC14nInclusive) return kLabelC14n;
  if (algorithm == kC14nWithComments) return kLabelC14nWithComments;
  if (algorithm == kC14nExclusive) return kLabelExclusiveC14n;
  return 0;
}

// The nearest Reference ancestor's URI, the argument shown beside a label.
Text ReferenceUri(const xmlNode* node) {
  for (const xmlNode* n = node; n != nullptr; n = n->parent) {
    if (n->type == XML_ELEMENT_NODE && nameIs(n, "Reference")) return getNodeProp(n, "URI");
  }
  return std::nullopt;
}

// The i-th content child (element walk that skips layout).
const xmlNode* Child(const xmlNode* node, int i) {
  const xmlNode* c = firstContentChild(node);
  while (c != nullptr && i-- > 0) c = nextContentSibling(c);
  return c;
}

std::string Or(const Text& text) { return text.value_or(""); }

}  // namespace

std::optional<std::string> isoTimeToText(std::optional<std::string> text) {
  if (!text) return text;
  size_t at = text->find('T');
  if (at == std::string::npos) at = text->find('t');
  if (at != std::string::npos) (*text)[at] = ' ';
  return text;
}

std::optional<std::string> crlIssuerFromBase64(const std::string& base64) {
  std::vector<uint8_t> der;
  if (base64Decode(base64, &der) != kBase64Ok || der.empty()) return std::nullopt;
  const CrlPtr crl = xadesCrlCreate(der.data(), der.size());
  if (!crl) return std::nullopt;
  return sizeRuleText([&](char* b, uint32_t* s) { return getCrlIssuerText(crl.get(), b, s); });
}

std::optional<std::string> certSubjectFromBase64(const std::string& base64) {
  std::vector<uint8_t> der;
  if (base64Decode(base64, &der) != kBase64Ok || der.empty()) return std::nullopt;
  const CertPtr cert = xadesCertCreate(der.data(), der.size());
  if (!cert) return std::nullopt;
  return sizeRuleText([&](char* b, uint32_t* s) { return getCertNameText(cert, b, s); });
}

SignatureInfoTablePtr getSignedInfoTable(const XadesSignContext& sig) {
  Builder b(sig);
  if (!b.ok()) return nullptr;
  xmlNode* method = b.First("/*/*/xmldsig:SignatureMethod");
  const Text signatureValue = TextOf(b.First("/*/xmldsig:SignatureValue"));
  xmlNode* c14n = b.First("/*/*/xmldsig:CanonicalizationMethod");
  if (method == nullptr || !signatureValue || c14n == nullptr) return nullptr;

  SignatureInfoRow row{.nameId = kLabelSignatureAlgorithm, .data = signatureValue};
  const std::string algorithm = getNodeProp(method, "Algorithm").value_or("");
  if (algorithm == kRsaSha1) {
    row.value = "RSA-SHA1";
  } else if (algorithm == std::string(kXmlDsigNs) + "dsa-sha1") {
    row.value = "DSA";
  } else if (algorithm == std::string(kXmlDsigNs) + "hmac-sha1") {
    row.value = "HMAC-SHA1";
  } else {
    row.valueId = kLabelUnknownAlgorithm;
  }
  b.Add(std::move(row));

  const std::string c14nAlgorithm = getNodeProp(c14n, "Algorithm").value_or("");
  int32_t c14nLabel = TransformLabel(c14nAlgorithm);
  if (c14nLabel != kLabelC14n && c14nLabel != kLabelC14nWithComments && c14nLabel != kLabelExclusiveC14n) {
    c14nLabel = kLabelUnknownAlgorithm;
  }
  b.Add({.nameId = kLabelC14nMethod, .valueId = c14nLabel, .data = c14nAlgorithm});

  for (xmlNode* transform : b.All("/*/*/xmldsig:Reference/xmldsig:Transforms/xmldsig:Transform")) {
    const std::string a = getNodeProp(transform, "Algorithm").value_or("");
    SignatureInfoRow t{.nameId = kLabelTransform, .name = ReferenceUri(transform), .data = a};
    t.valueId = TransformLabel(a);
    if (t.valueId == 0) t.value = "Algorytm nieznany";
    b.Add(std::move(t));
  }
  for (xmlNode* digest : b.All("/*/*/xmldsig:Reference/xmldsig:DigestMethod")) {
    const Text value = TextOf(nextContentSibling(digest));
    if (!value) continue;
    SignatureInfoRow h{.nameId = kLabelHash, .name = ReferenceUri(digest), .data = value};
    if (getNodeProp(digest, "Algorithm") == kSha1) {
      h.value = "SHA1";
    } else {
      h.valueId = kLabelUnknownAlgorithm;
    }
    b.Add(std::move(h));
  }
  return b.Take();
}

SignatureInfoTablePtr getSignedPropertiesTable(const XadesSignContext& sig) {
  Builder b(sig);
  if (!b.ok()) return nullptr;
  if (!b.Bound()) return b.Take();
  const std::string p = kSignedProps;
  if (const Text time = TextOf(b.First(p + "xades:SigningTime"))) {
    std::string shown = *time;
    for (char& c : shown) {
      if (c == 'T' || c == 'Z') c = ' ';
    }
    b.Add({.nameId = kLabelSigningTime, .value = shown, .data = time, .type = kRowOwnsValue});
  }
  if (xmlNode* method = b.First(p + "xades:SigningCertificate/xades:Cert/xades:CertDigest/xmldsig:DigestMethod")) {
    if (const Text digest = TextOf(nextContentSibling(method))) {
      SignatureInfoRow row{.nameId = kLabelCertificateHash, .data = digest};
      if (getNodeProp(method, "Algorithm") == kSha1) {
        row.value = "SHA1";
      } else {
        row.valueId = kLabelUnknownAlgorithm;
      }
      b.Add(std::move(row));
    }
  }
  if (xmlNode* issuer = b.First(p + "xades:SigningCertificate/xades:Cert/xades:IssuerSerial/xmldsig:X509IssuerName")) {
    if (const Text text = TextOf(issuer)) b.Add({.nameId = kLabelCertificateIssuer, .data = text});
    // The serial as written: a decimal of any length.
    const Text serial = TextOf(nextContentSibling(issuer));
    b.Add({.nameId = kLabelSerialNumber, .value = serial, .data = serial});
  }
  const auto named = [&](const char* name, const std::string& expression) {
    for (xmlNode* node : b.All(p + expression)) {
      const std::string text = ContentOf(node);
      b.Add({.name = std::string(name), .value = text, .data = text});
    }
  };
  named("Signer Claimed Role", "xades:SignerRole/xades:ClaimedRoles/xades:ClaimedRole");
  named("Signer Certified Role", "xades:SignerRole/xades:CertifiedRoles/xades:CertifiedRole");
  named("Miasto", "xades:SignatureProductionPlace/xades:City");
  named("Region", "xades:SignatureProductionPlace/xades:StateOrProvince");
  named("Kod pocztowy", "xades:SignatureProductionPlace/xades:PostalCode");
  named("Kraj", "xades:SignatureProductionPlace/xades:CountryName");
  // SigPolicyId holds an Identifier element: that is the policy's id.
  const std::string policy = "xades:SignaturePolicyIdentifier/xades:SignaturePolicyId/";
  const auto policyIds = b.All(p + policy + "xades:SigPolicyId");
  for (xmlNode* id : policyIds) {
    const xmlNode* identifier = firstContentChild(id);
    const std::string text =
        identifier != nullptr && identifier->type == XML_ELEMENT_NODE ? ContentOf(identifier) : ContentOf(id);
    b.Add({.name = std::string("Id polityki podpisu"), .value = text, .data = text});
  }
  if (xmlNode* method = b.First(p + policy + "xades:SigPolicyHash/xmldsig:DigestMethod")) {
    b.Add({.name = std::string("Skrót polityki podpisu"),
           .value = std::string(getNodeProp(method, "Algorithm") == kSha1 ? "SHA1" : "Nieznany"),
           .data = TextOf(nextContentSibling(method))});
  }
  for (xmlNode* qualifier : b.All(p + policy + "xades:SigPolicyQualifiers/xades:SigPolicyQualifier")) {
    const std::string text = ContentOf(qualifier);
    b.Add({.name = std::string("SigPolicyQualifier"), .value = text, .data = text});
  }
  return b.Take();
}

SignatureInfoTablePtr getUnsignedPropertiesTable(const XadesSignContext& sig) {
  Builder b(sig);
  if (!b.ok()) return nullptr;
  const auto bound = b.Bound();
  if (!bound) return b.Take();
  b.At(bound->qualifyingProperties);
  const std::string p = kUnsignedProps;
  for (xmlNode* counter : b.All(p + "xades:CounterSignature")) {
    const xmlNode* signature = firstContentChild(counter);
    const bool ours = signature != nullptr && signature->type == XML_ELEMENT_NODE && nameIs(signature, "Signature") &&
                      signature->ns != nullptr && xmlStrEqual(signature->ns->href, BAD_CAST kXmlDsigNs);
    if (!ours) {
      // A counter-signature of another kind is shown as skipped, not dropped.
      std::string what = signature != nullptr && signature->type == XML_ELEMENT_NODE
                             ? reinterpret_cast<const char*>(signature->name)
                             : "";
      if (signature != nullptr && signature->ns != nullptr) {
        what = std::string("{") + reinterpret_cast<const char*>(signature->ns->href) + "}" + what;
      }
      b.Add({.name = std::string("Kontrasygnata"), .value = std::string("Pominięta: nieznany rodzaj podpisu"),
             .data = what});
      continue;
    }
    for (const xmlNode* object = firstContentChild(signature); object != nullptr;
         object = nextContentSibling(object)) {
      for (const xmlNode* q = firstContentChild(object); q != nullptr; q = nextContentSibling(q)) {
        if (q->type != XML_ELEMENT_NODE || !nameIs(q, "QualifyingProperties")) continue;
        const std::string text = Or(TextOf(q));
        b.Add({.name = std::string("Kontrasygnata"), .value = text, .data = text});
      }
    }
  }
  xmlNode* root = b.root();
  const auto stamps = [&](const std::string& expression, const char* name, auto getter, bool withEncoding) {
    const size_t count = b.All(p + expression).size();
    for (size_t i = 0; i < count; ++i) {
      int encoding = 0;
      const Text token = getter(root, &encoding, static_cast<int>(i));
      std::string value;
      if (withEncoding) value = encoding == kTokenEncodingDer ? kEncodingDer : encoding == kTokenEncodingOther ? kEncodingBer : "";
      b.Add({.nameId = kLabelTimeStamp, .name = std::string(name), .value = value, .data = token});
    }
  };
  stamps("xades:SignatureTimeStamp", "Znacznik czasu", getSignatureTimeStampToken, true);
  // The getter counts both XAdES-X kinds together, SigAndRefs first here.
  const size_t sigAndRefs = b.All(p + "xades:SigAndRefsTimeStamp").size();
  const size_t refsOnly = b.All(p + "xades:RefsOnlyTimeStamp").size();
  for (size_t i = 0; i < sigAndRefs + refsOnly; ++i) {
    int encoding = 0;
    b.Add({.nameId = kLabelTimeStamp, .name = std::string("Znacznik czasu XAdES-X"), .value = std::string(),
           .data = getRefsTimeStampToken(root, &encoding, static_cast<int>(i))});
  }
  stamps("xades:ArchiveTimeStamp", "Znacznik czasu XAdES-A", getArchiveTimeStampToken, false);

  const auto certs = b.All(p + "xades:CompleteCertificateRefs/xades:CertRefs/xades:Cert");
  if (!certs.empty()) {
    std::string text;
    for (const xmlNode* cert : certs) {
      const xmlNode* digest = Child(Child(cert, 0), 1);
      const xmlNode* issuer = Child(Child(cert, 1), 0);
      text += "CERTYFIKAT\r\nWYSTAWCA:  " + Or(TextOf(issuer)) + "\r\nNUMER SERYJNY:  " +
              Or(TextOf(nextContentSibling(issuer))) + "\r\nSKRÓT:  " + Or(TextOf(digest)) + "\r\n\r\n";
    }
    b.Add({.name = std::string("Referencje certyifikatów"), .data = text, .type = kRowOwnsData});
  }
  const auto crls = b.All(p + "xades:CompleteRevocationRefs/xades:CRLRefs/xades:CRLRef");
  if (!crls.empty()) {
    std::string text;
    for (const xmlNode* crl : crls) {
      if (firstContentChild(crl) == nullptr) continue;
      const xmlNode* digest = Child(Child(crl, 0), 1);
      const xmlNode* issuer = Child(Child(crl, 1), 0);
      text += "LISTA CRL\r\nWYSTAWCA:  " + Or(TextOf(issuer)) + "\r\nCZAS WYSTAWIENIA:  " +
              Or(isoTimeToText(TextOf(nextContentSibling(issuer)))) + "\r\nSKRÓT:  " + Or(TextOf(digest)) +
              "\r\n\r\n";
    }
    b.Add({.name = std::string("Referencje list CRL"), .data = text, .type = kRowOwnsData});
  }
  for (xmlNode* value : b.All(p + "xades:CertificateValues/xades:EncapsulatedX509Certificate")) {
    const Text text = TextOf(value);
    b.Add({.name = std::string("Dane certyifikatu"), .value = text ? certSubjectFromBase64(*text) : std::nullopt,
           .data = text, .type = kRowOwnsBoth});
  }
  for (xmlNode* value : b.All(p + "xades:RevocationValues/xades:CRLValues/xades:EncapsulatedCRLValue")) {
    if (value->children == nullptr) continue;
    const Text text = TextOf(value);
    b.Add({.name = std::string("Dane listy CRL"), .value = text ? crlIssuerFromBase64(*text) : std::nullopt,
           .data = text, .type = kRowOwnsData});
  }
  return b.Take();
}

void signatureInfoTableFree(SignatureInfoTablePtr table) { table.reset(); }

}  // namespace vel::xades
