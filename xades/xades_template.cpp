#include "xades/xades_template.h"

#include <string>

#include "xades/c14n_fragments.h"
#include "xades/engine_messages.h"
#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

constexpr char kProblem[] = "Wystapił nieoczekiwany problem podczas tworzenia ";

void Report(const char* function, const std::string& what) {
  xadesPrint(std::string(function) + "\n" + kProblem + what + "\n");
}

std::string Numbered(const char* stem, int n) { return stem + std::to_string(n); }

// Appends an element in the parent's namespace; none (and no message) on failure.
xmlNode* Child(xmlNode* parent, const char* name, const char* id = nullptr) {
  return xadeAddNewChild(parent, name, id, nullptr, nullptr);
}

bool SetAttr(xmlNode* node, const char* name, const char* value) {
  return xmlNewProp(node, X(name), X(value)) != nullptr;
}

// An algorithm element: <name Algorithm="algorithm"/>.
xmlNode* AlgorithmChild(xmlNode* parent, const char* name, const char* algorithm) {
  xmlNode* node = Child(parent, name);
  return node != nullptr && SetAttr(node, "Algorithm", algorithm) ? node : nullptr;
}

// The Signature's first child when it is SignedInfo.
xmlNode* SignedInfoOf(xmlNode* signature) {
  xmlNode* first = signature != nullptr ? signature->children : nullptr;
  return isDsig(first, "SignedInfo") ? first : nullptr;
}

// CanonicalizationMethod and SignatureMethod of a new SignedInfo.
xmlNode* NewSignedInfo(xmlNode* signature, const char* id) {
  xmlNode* info = Child(signature, "SignedInfo", id);
  if (info == nullptr ||
      AlgorithmChild(info, "CanonicalizationMethod", kC14nInclusive) == nullptr ||
      AlgorithmChild(info, "SignatureMethod", kRsaSha1) == nullptr)
    return nullptr;
  return info;
}

void Append(std::string* out, const Fragment& part) {
  if (part) *out += *part;
}

}  // namespace

xmlNode* xadeAddNewChild(xmlNode* parent, const char* name, const char* id, const char* prefix,
                         const char* nsUri) {
  if (parent == nullptr || name == nullptr) return nullptr;
  const bool own_ns = prefix != nullptr && nsUri != nullptr;
  xmlNode* node = xmlNewChild(parent, own_ns ? nullptr : parent->ns, X(name), nullptr);
  if (node == nullptr) {
    Report("xadeAddNewChild", std::string("elementu ") + name);
    return nullptr;
  }
  if (own_ns) {
    xmlNs* ns = xmlNewNs(node, X(nsUri), X(prefix));
    if (ns == nullptr) {
      Report("xadeAddNewChild", std::string("przestrzeni nazw ") + nsUri);
      return nullptr;
    }
    xmlSetNs(node, ns);
  }
  if (id != nullptr && !SetAttr(node, "Id", id)) {
    Report("xadeAddNewChild", std::string("elementu ") + name);
    return nullptr;
  }
  return node;
}

xmlNode* xadeAddNewChildNs(xmlNode* parent, const char* name, const char* id, xmlNs* ns) {
  if (ns == nullptr) {
    xadesPrint(std::string("xadeAddNewChild\n") + kProblem + "elementu\n");
    return nullptr;
  }
  xmlNode* node = xadeAddNewChild(parent, name, id, nullptr, nullptr);
  if (node != nullptr) xmlSetNs(node, ns);
  return node;
}

xmlNode* addSignedInfoXades(xmlNode* signature, const char* id, int n) {
  xmlNode* info = NewSignedInfo(signature, id);
  xmlNode* ref = info != nullptr ? Child(info, "Reference") : nullptr;
  const std::string ref_id = Numbered("SignedProperties-Reference", n);
  const std::string uri = Numbered("#SignedProperties-", n);
  if (ref == nullptr || !SetAttr(ref, "Id", ref_id.c_str()) ||
      !SetAttr(ref, "Type", kSignedPropertiesType) || !SetAttr(ref, "URI", uri.c_str()) ||
      AlgorithmChild(ref, "DigestMethod", kSha1) == nullptr ||
      Child(ref, "DigestValue") == nullptr) {
    Report("xadeAddNewChild", "elementu SignedInfo");
    return nullptr;
  }
  return signature;
}

xmlNode* addSignedInfo(xmlNode* signature, const char* id, int /*n*/) {
  if (NewSignedInfo(signature, id) == nullptr) {
    Report("xadeAddNewChild", "elementu SignedInfo");
    return nullptr;
  }
  return signature;
}

xmlNode* addSignatureValue(xmlNode* signature, const char* id) {
  if (Child(signature, "SignatureValue", id) == nullptr) {
    Report("addSignatureValue", "elementu SignatureValue");
    return nullptr;
  }
  return signature;
}

xmlNode* addKeyInfo(xmlNode* signature, const char* id) {
  xmlNode* key_info = Child(signature, "KeyInfo", id);
  xmlNode* data = key_info != nullptr ? Child(key_info, "X509Data") : nullptr;
  if (data == nullptr || Child(data, "X509Certificate") == nullptr) {
    Report("addSignatureValue", "elementu KeyInfo");
    return nullptr;
  }
  return signature;
}

xmlNode* addKeyInfoIssuerSerial(xmlNode* signature, const char* id) {
  xmlNode* key_info = Child(signature, "KeyInfo", id);
  xmlNode* data = key_info != nullptr ? Child(key_info, "X509Data") : nullptr;
  xmlNode* issuer_serial = data != nullptr ? Child(data, "X509IssuerSerial") : nullptr;
  if (issuer_serial == nullptr || Child(issuer_serial, "X509IssuerName") == nullptr ||
      Child(issuer_serial, "X509SerialNumber") == nullptr ||
      Child(data, "X509Certificate") == nullptr)
    return nullptr;
  return signature;
}

xmlNode* addQualifyingProperties(xmlNode* signature, const char* objectId, int n) {
  xmlNode* object = Child(signature, "Object", objectId);
  if (object == nullptr) {
    Report("addSignatureValue", "elementu QualifyingProperties");
    return nullptr;
  }
  xmlNs* ds = signature->ns;
  const std::string target = Numbered("#Signature-", n);
  const std::string props_id = Numbered("SignedProperties-", n);
  xmlNode* qp = xadeAddNewChild(object, "QualifyingProperties", nullptr, "xades", kXadesNs);
  xmlNode* props = qp != nullptr && SetAttr(qp, "Target", target.c_str())
                       ? Child(qp, "SignedProperties", props_id.c_str())
                       : nullptr;
  xmlNode* ssp = props != nullptr ? Child(props, "SignedSignatureProperties") : nullptr;
  xmlNode* sc = ssp != nullptr ? Child(ssp, "SigningCertificate") : nullptr;
  xmlNode* cert = sc != nullptr ? Child(sc, "Cert") : nullptr;
  xmlNode* digest = cert != nullptr ? Child(cert, "CertDigest") : nullptr;
  xmlNode* method =
      digest != nullptr ? xadeAddNewChildNs(digest, "DigestMethod", nullptr, ds) : nullptr;
  xmlNode* value = method != nullptr && SetAttr(method, "Algorithm", kSha1)
                       ? xadeAddNewChildNs(digest, "DigestValue", nullptr, ds)
                       : nullptr;
  xmlNode* issuer_serial = value != nullptr ? Child(cert, "IssuerSerial") : nullptr;
  if (issuer_serial == nullptr ||
      xadeAddNewChildNs(issuer_serial, "X509IssuerName", nullptr, ds) == nullptr ||
      xadeAddNewChildNs(issuer_serial, "X509SerialNumber", nullptr, ds) == nullptr) {
    Report("addSignatureValue", "elementu qualifyingProperties");
    return nullptr;
  }
  return signature;
}

namespace {

xmlNode* CreateTemplate(xmlDoc* doc, const char* signature_id, const char* prefix, int n,
                        bool xades) {
  const char* function =
      xades ? "createXadESBESSignatureTemplate" : "createXmlDSigSignatureTemplate";
  if (doc == nullptr) return nullptr;
  xmlNode* signature = xmlNewDocNode(doc, nullptr, X("Signature"), nullptr);
  if (signature == nullptr) {
    Report(function, "elementu Signature");
    return nullptr;
  }
  // The root from the start, so that a failed step leaves no loose node.
  if (xmlNode* old = xmlDocSetRootElement(doc, signature)) {
    xmlUnlinkNode(old);
    xmlFreeNode(old);
  }
  if (signature_id != nullptr && !SetAttr(signature, "Id", signature_id)) {
    Report(function, "elementu Signature");
    return nullptr;
  }
  xmlNs* ns = xmlNewNs(signature, X(kXmlDsigNs), X(prefix));
  if (ns == nullptr) {
    Report(function, std::string("przestrzeni nazw ") + kXmlDsigNs);
    return nullptr;
  }
  xmlSetNs(signature, ns);
  const std::string info_id = Numbered("SignedInfo-", n);
  const std::string value_id = Numbered("SignatureValue-", n);
  const std::string key_id = Numbered("KeyInfo-", n);
  if ((xades ? addSignedInfoXades(signature, info_id.c_str(), n)
             : addSignedInfo(signature, info_id.c_str(), n)) == nullptr) {
    Report(function, "elementu SignedInfo");
    return nullptr;
  }
  if (addSignatureValue(signature, value_id.c_str()) == nullptr) {
    Report(function, "elementu SignatureValue");
    return nullptr;
  }
  if ((xades ? addKeyInfo(signature, key_id.c_str())
             : addKeyInfoIssuerSerial(signature, key_id.c_str())) == nullptr) {
    Report(function, "elementu KeyInfo");
    return nullptr;
  }
  if (xades && addQualifyingProperties(signature, nullptr, n) == nullptr) {
    Report(function, "elementu QualifyingProperties");
    return nullptr;
  }
  return signature;
}

}  // namespace

xmlNode* createXadESBESSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix,
                                         int n) {
  return CreateTemplate(doc, signatureId, prefix, n, true);
}

xmlNode* createXmlDSigSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix,
                                        int n) {
  return CreateTemplate(doc, signatureId, prefix, n, false);
}

xmlNode* createSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix, int kind,
                                 int n) {
  if (kind != kTemplateXadesBes && kind != kTemplateXmlDsig) return nullptr;
  XmlDocPtr made;
  if (doc == nullptr) {
    made = xadesNewDocPtr();
    doc = made.get();
    if (doc == nullptr) return nullptr;
  }
  if (prefix == nullptr) prefix = "ds";
  xmlNode* signature = kind == kTemplateXadesBes
                           ? createXadESBESSignatureTemplate(doc, signatureId, prefix, n)
                           : createXmlDSigSignatureTemplate(doc, signatureId, prefix, n);
  // A document made here goes with the Signature (signature->doc); none on failure.
  if (signature != nullptr) (void)made.release();
  return signature;
}

xmlNode* addReference(xmlNode* signature, const xmlNode* target, const char* id, const char* type,
                      int flags) {
  xmlNode* info = SignedInfoOf(signature);
  if (info == nullptr) {
    xadesPrint("addReference\nObiekt root nie zgodny ze struktra podpisu XadES\n");
    return nullptr;
  }
  auto fail = [] {
    xadesPrint(std::string("addReference\n") + kProblem + "elementu Reference\n");
    return nullptr;
  };
  xmlNode* ref = Child(info, "Reference");
  if (ref == nullptr || (id != nullptr && !SetAttr(ref, "Id", id)) ||
      (type != nullptr && !SetAttr(ref, "Type", type)))
    return fail();
  if ((flags & kReferenceEnveloped) == 0) {
    const std::string uri = "#" + getNodeProp(target, "Id").value_or("");
    if (!SetAttr(ref, "URI", uri.c_str())) return fail();
  }
  if (flags > 0) {
    xmlNode* transforms = Child(ref, "Transforms");
    const char* algorithm = nullptr;
    if (flags & kReferenceBase64) {
      algorithm = kBase64Transform;
    } else if (flags & kReferenceEnveloped) {
      algorithm = kEnvelopedTransform;
    }
    if (transforms == nullptr ||
        (algorithm != nullptr && AlgorithmChild(transforms, "Transform", algorithm) == nullptr))
      return fail();
  }
  if (AlgorithmChild(ref, "DigestMethod", kSha1) == nullptr || Child(ref, "DigestValue") == nullptr)
    return fail();
  return signature;
}

std::optional<std::string> signatureValueC14N(const xmlNode* signature) {
  // The SignatureValue the signature value check reads, never another one.
  const auto parts = signatureParts(signature);
  if (!parts || parts->signatureValue == nullptr) return std::nullopt;
  const xmlNode* value = parts->signatureValue;
  const xmlNode* method_node = xmlFirstElementChild(parts->signedInfo);
  if (!isDsig(method_node, "CanonicalizationMethod")) return std::nullopt;
  const int method = c14nMethodOfAlgorithm(getNodeProp(method_node, "Algorithm").value_or(""));
  if (method < 0) return std::nullopt;
  return elementC14N(value, false, method);
}

std::optional<std::string> refsTimeStampInput(const xmlNode* signature, int mode) {
  if (signature == nullptr || !nameIs(signature, "Signature")) return std::nullopt;
  std::string out;
  if (mode == kSigAndRefsTimeStamp) {
    const auto value = signatureValueC14N(signature);
    if (!value) return std::nullopt;
    out = *value;
    Append(&out, signatureTimeStampC14N(signature));
  }
  const Fragment cert_refs = completeCertificateRefsC14N(signature);
  if (!cert_refs) return std::nullopt;
  out += *cert_refs;
  Append(&out, completeRevocationRefsC14N(signature));
  return out;
}

std::optional<std::string> archiveTimeStampInput(const xmlNode* signature, int count,
                                                 size_t* length) {
  if (signature == nullptr || !nameIs(signature, "Signature")) return std::nullopt;
  std::string out;
  Append(&out, signedPropertiesC14N(signature));
  size_t content_length = 0;
  Append(&out, objectC14N(signature, &content_length));
  Append(&out, signedInfoC14N(signature));
  Append(&out, signatureValueElementC14N(signature));
  Append(&out, keyInfoC14N(signature));
  Append(&out, signatureTimeStampC14N(signature));
  Append(&out, counterSignatureC14N(signature));
  Append(&out, completeCertificateRefsC14N(signature));
  Append(&out, completeRevocationRefsC14N(signature));
  Append(&out, certificateValuesC14N(signature));
  Append(&out, revocationValuesC14N(signature));
  Append(&out, sigAndRefsTimeStampC14N(signature));
  Append(&out, refsOnlyTimeStampC14N(signature));
  if (count != 0) Append(&out, archiveTimeStampC14N(signature, count));
  if (content_length > 0 && length != nullptr) *length = out.size();
  return out;
}

}  // namespace vel::xades
