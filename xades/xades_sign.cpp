#include "xades/xades_sign.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/crypto_helpers.h"
#include "xades/engine_messages.h"
#include "xades/node_helpers.h"
#include "xades/xades_template.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const xmlChar* X(const std::string& s) { return X(s.c_str()); }

constexpr char kProviderMessage[] = "Crypto provider not implemented.\n";
constexpr char kStructure[] = "Niepoprawna struktura dokumentu\n";



std::string NodeName(const xmlNode* node) {
  return node != nullptr && node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "";
}

// The SigningCertificate's Cert of the signed properties the first reference targets.
xmlNode* SigningCert(const XadesSignContext* record) {
  if (record->targets.empty()) return nullptr;
  xmlNode* props = record->targets[0];
  if (!isXades(props, "SignedProperties")) return nullptr;
  xmlNode* ssp = xmlFirstElementChild(props);
  if (!isXades(ssp, "SignedSignatureProperties")) return nullptr;
  return soleChild(soleChild(ssp, kXadesNs, "SigningCertificate"), kXadesNs, "Cert");
}

// The smallest number from `first` on whose Ids of a new signature the document does not use.
int FreeSignatureNumber(xmlDoc* doc, int first) {
  std::unordered_set<std::string> used;
  for (xmlNode* node = xmlDocGetRootElement(doc); node != nullptr;
       node = nextElementInOrder(node)) {
    for (std::string& value : idValuesOf(node)) used.insert(std::move(value));
  }
  for (int n = first < 0 ? 0 : first;; ++n) {
    const std::string s = std::to_string(n);
    bool free = true;
    for (const char* stem : {"Signature-", "SignedInfo-", "SignatureValue-", "KeyInfo-",
                             "SignedProperties-", "SignedProperties-Reference"})
      free = free && used.count(stem + s) == 0;
    if (free) return n;
  }
}

struct XmlBytes {
  XmlCharPtr text;
  int length = 0;
};

XmlBytes Serialise(xmlDoc* doc) {
  xmlChar* mem = nullptr;
  int length = 0;
  xmlDocDumpMemoryEnc(doc, &mem, &length, "UTF-8");
  return {XmlCharPtr(mem), mem != nullptr ? length : 0};
}

}  // namespace

std::optional<std::string> createRsaSha1Signature(std::span<const uint8_t> data,
                                                  platform::Signer& signer) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  std::vector<uint8_t> signature;
  if (EVP_Digest(data.data(), data.size(), digest, &digest_length, EVP_sha1(), nullptr) != 1 ||
      signer.SignSha1Digest(std::span(digest, digest_length), &signature) != 0)
    return std::nullopt;
  return base64Encode(signature);
}

XadesSignContext* addKeyInfoX509DataX509Certificate(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("addKeyInfoX509DataX509Certificate\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr || record->references.empty()) return structure();
  xmlNode* info = record->references[0]->parent;
  xmlNode* signature = info != nullptr ? info->parent : nullptr;
  xmlNode* certificate = signerCertificateOf(signature);
  if (certificate == nullptr) return structure();
  if (record->cryptoProvider != 0) {
    xadesPrint(kProviderMessage);
    return nullptr;
  }
  if (record->signerCertificate == nullptr) return structure();
  xmlNodeAddContent(certificate, X(encodedBase64(record->signerCertificate.get())));
  xmlNode* digest = soleChild(SigningCert(record), kXadesNs, "CertDigest");
  xmlNode* method = soleChild(digest, kXmlDsigNs, "DigestMethod");
  if (method == nullptr) return structure();
  if (getNodeProp(method, "Algorithm").value_or("") != kSha1) {
    xadesPrint("addKeyInfoX509DataX509Certificate\nObslugiwane funkcje skrotu to SHA-1\n");
    return nullptr;
  }
  xmlNode* value = soleChild(digest, kXmlDsigNs, "DigestValue");
  const auto cert_digest = encodedDigestBase64(record->signerCertificate.get(), kDigestSha1);
  if (value == nullptr || !cert_digest) return structure();
  xmlNodeAddContent(value, X(*cert_digest));
  return record;
}

XadesSignContext* fillSigningCertificate(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("addKeyInfoX509DataX509Certificate\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr) return nullptr;
  xmlNode* issuer_serial = soleChild(SigningCert(record), kXadesNs, "IssuerSerial");
  xmlNode* issuer = soleChild(issuer_serial, kXmlDsigNs, "X509IssuerName");
  if (issuer == nullptr) return structure();
  if (record->cryptoProvider != 0 || record->signerCertificate == nullptr) return nullptr;
  const platform::CertContext* cert = record->signerCertificate.get();
  uint32_t size = 0;
  if (getCertIssuerText(cert, nullptr, &size) != kSignMoreData || size == 0) return nullptr;
  std::vector<char> text(size, '\0');
  if (getCertIssuerText(cert, text.data(), &size) != 0) return nullptr;
  text.push_back('\0');  // the text ends at its NUL whatever the size says
  xmlNodeAddContent(issuer, X(text.data()));
  xmlNode* serial = soleChild(issuer_serial, kXmlDsigNs, "X509SerialNumber");
  const auto decimal = getCertSerialDecimal(cert);
  if (serial == nullptr) return structure();
  if (!decimal) return nullptr;
  xmlNodeAddContent(serial, X(*decimal));
  return record;
}

XadesSignContext* generateDigests(XadesSignContext* record) {
  if (record == nullptr) return nullptr;
  if (record->cryptoProvider != 0) {
    xadesPrint(kProviderMessage);
    return nullptr;
  }
  const auto unexpected = [](const xmlNode* node) {
    xadesPrint("generateDigests\nNieoczekiwany node " + NodeName(node) + "\n");
    return nullptr;
  };
  for (size_t i = 0; i < record->references.size(); ++i) {
    xmlNode* node = xmlFirstElementChild(record->references[i]);
    bool base64 = false;
    if (isDsig(node, "Transforms")) {
      for (const xmlNode* t = node->children; t != nullptr && !base64; t = t->next)
        base64 = t->type == XML_ELEMENT_NODE &&
                 getNodeProp(t, "Algorithm").value_or("") == kBase64Transform;
      if (!base64) {
        xadesPrint("generateDigests\nBrak obslugi Transform\n");
        return nullptr;
      }
      node = xmlNextElementSibling(node);
    }
    if (!isDsig(node, "DigestMethod")) return unexpected(node);
    const std::string algorithm = getNodeProp(node, "Algorithm").value_or("");
    if (algorithm != kSha1) {
      xadesPrint("generateDigests\nObslugiwane funkcje skrotu to SHA-1\n");
      return nullptr;
    }
    const xmlNode* target = record->targets[i];
    if (target == nullptr) return nullptr;  // a reference outside the document cannot be digested
    std::optional<std::string> digest;
    if (base64) {
      XmlCharPtr content(xmlNodeGetContent(target));
      std::vector<uint8_t> bytes;
      if (content == nullptr ||
          base64Decode(reinterpret_cast<const char*>(content.get()), &bytes) != kBase64Ok)
        return nullptr;
      digest = digestBase64(bytes, kDigestSha1);
    } else {
      digest = elementInPlaceC14NDigest(target, record->c14nMethod, EVP_sha1());
      if (!digest) return nullptr;
    }
    xmlNode* value = xmlNextElementSibling(node);
    if (!isDsig(value, "DigestValue")) return unexpected(value);
    if (!digest) return nullptr;
    xmlNodeAddContent(value, X(*digest));
  }
  return record;
}

XadesSignContext* generateSign(XadesSignContext* record) {
  const auto structure = [] {
    xadesPrint(std::string("generateSign\n") + kStructure);
    return nullptr;
  };
  if (record == nullptr || record->references.empty()) return structure();
  xmlNode* info = record->references[0]->parent;
  if (!isDsig(info, "SignedInfo")) return structure();
  const Fragment canonical = elementInPlaceC14N(info, record->c14nMethod);
  if (record->cryptoProvider != 0 || record->signer == nullptr || !canonical) return nullptr;
  const auto signature = createRsaSha1Signature(
      std::span(reinterpret_cast<const uint8_t*>(canonical->data()), canonical->size()),
      *record->signer);
  xmlNode* value = signatureValueOf(info->parent);
  if (value == nullptr) return structure();
  if (!signature) return nullptr;
  xmlNodeAddContent(value, X(*signature));
  return record;
}

uint32_t xadesAddSignatureWith(std::span<const uint8_t> xml, platform::Signer& signer, uint8_t* out,
                               uint32_t* size) {
  if (size == nullptr) return kSignInvalidParameter;
  if (xml.empty()) return kSignNoXml;
  if (signer.certificate() == nullptr) return kSignSignatureFailed;
  LibxmlDiagnostics quiet;
  XmlDocPtr doc = xadesParseMemory(xml.data(), xml.size());
  if (doc == nullptr || xmlDocGetRootElement(doc.get()) == nullptr) return kSignNotParsed;
  XPathContextPtr context = xadesNewXPathContext(doc.get());
  if (context == nullptr) return kSignNoXPathContext;
  const int n = FreeSignatureNumber(doc.get(), topLevelSignatureCount(context.get()));
  XmlDocPtr template_doc = xadesNewDocPtr();
  if (template_doc == nullptr) return kSignNoTemplateDocument;

  xmlNode* root = xmlDocGetRootElement(doc.get());
  xmlNode* second = root;
  if (isDsig(root, "Signature")) {
    // A single signature goes under a new root "Signatures".
    xmlNode* signatures = xmlNewDocNode(doc.get(), nullptr, X("Signatures"), nullptr);
    if (signatures == nullptr) return kSignNotParsed;
    xmlDocSetRootElement(doc.get(), signatures);
    xmlAddChild(signatures, root);
    root = signatures;
  } else if (!nameIs(root, "Signatures") || root->ns != nullptr) {
    return kSignBadRoot;
  }

  const std::string signature_id = "Signature-" + std::to_string(n);
  xmlNode* signature =
      createSignatureTemplate(template_doc.get(), signature_id.c_str(), "ds", kTemplateXadesBes, n);
  if (signature == nullptr) return kSignTemplateFailed;
  XPathObjectPtr objects =
      xadesEval(context.get(), "/*/xmldsig:Signature[position()=1]/xmldsig:Object");
  // No first signature, or one without Objects: nothing to sign.
  const auto nodes = nodesOf(objects.get());
  if (nodes.empty()) return kSignNoObjects;
  for (size_t i = 1; i < nodes.size(); ++i)
    if (addReference(signature, nodes[i], nullptr, nullptr, 0) == nullptr)
      return kSignReferenceFailed;

  XadesSignContextPtr record =
      xadesSignContextCreateWithCert(signature, second, DocOwnership::kOwned, signer);
  if (record == nullptr) return kSignRecordNotMade;
  xmlDoc* signed_doc = doc.release();  // both documents are the record's now
  (void)template_doc.release();
  if (addKeyInfoX509DataX509Certificate(record.get()) == nullptr) return kSignKeyInfoFailed;
  if (fillSigningCertificate(record.get()) == nullptr) return kSignSigningCertificateFailed;
  // In its place before anything is digested: the canonical forms of the
  // signed properties and SignedInfo hold what is in scope there.
  xmlUnlinkNode(signature);
  xmlAddChild(root, signature);
  // The output's size does not depend on the digests or the signature value
  // (their base64 texts have fixed lengths), so a size query digests nothing
  // and no call touches the key before the output is known to fit.
  const bool query = out == nullptr || *size == 0;
  if (query) {
    const std::string digest_placeholder(base64EncodedLength(20), 'A');
    for (xmlNode* ref : record->references)
      xmlNodeAddContent(soleChild(ref, kXmlDsigNs, "DigestValue"), X(digest_placeholder));
  } else if (generateDigests(record.get()) == nullptr) {
    return kSignDigestsFailed;
  }

  // A stand-in signature value of the real length; random, so that it occurs
  // nowhere else in the output and can be replaced there by the real one.
  std::vector<uint8_t> stand_in;
  platform::SizeOnlySigner size_only(signer.certificate());
  if (size_only.SignSha1Digest({}, &stand_in) != 0 ||
      RAND_bytes(stand_in.data(), static_cast<int>(stand_in.size())) != 1)
    return kSignSignatureFailed;
  const std::string placeholder = base64Encode(stand_in);
  xmlNode* value = signatureValueOf(signature);
  if (value == nullptr) return kSignSignatureFailed;
  xmlNodeSetContent(value, X(placeholder));
  const XmlBytes serialised = Serialise(signed_doc);
  if (serialised.text == nullptr) return kSignNotParsed;
  const uint64_t need = static_cast<uint64_t>(serialised.length) + 1;
  if (need > UINT32_MAX) return kSignMoreData;
  if (query) {
    *size += static_cast<uint32_t>(need);
    return kSignMoreData;
  }
  if (*size < need) {
    *size = static_cast<uint32_t>(need);
    return kSignMoreData;
  }

  xmlNodeSetContent(value, nullptr);
  record->signer = &signer;
  if (generateSign(record.get()) == nullptr) return kSignSignatureFailed;
  XmlCharPtr real(xmlNodeGetContent(value));
  const std::string_view text(reinterpret_cast<const char*>(serialised.text.get()),
                              static_cast<size_t>(serialised.length));
  const size_t at = text.find(placeholder);
  if (real == nullptr || at == std::string_view::npos ||
      text.find(placeholder, at + 1) != std::string_view::npos ||
      xmlStrlen(real.get()) != static_cast<int>(placeholder.size()))
    return kSignSignatureFailed;
  std::memcpy(out, text.data(), text.size());
  std::memcpy(out + at, real.get(), placeholder.size());
  *size = static_cast<uint32_t>(text.size());
  return 0;
}

uint32_t xadesAddSignature(const uint8_t* xml, uint32_t length,
                           const platform::CertContext* certificate, uint8_t* out, uint32_t* size) {
  if (size == nullptr) return kSignInvalidParameter;
  if (xml == nullptr || length == 0) return kSignNoXml;
  if (certificate == nullptr) return kSignSignatureFailed;
  const platform::CertPtr shared = platform::CertContext::FromDer(certificate->der());
  if (shared == nullptr) return kSignSignatureFailed;
  const std::span<const uint8_t> bytes(xml, length);
  if (out == nullptr || *size == 0) {
    platform::SizeOnlySigner size_only(shared);
    return xadesAddSignatureWith(bytes, size_only, nullptr, size);
  }
  // Opening the signer finds the key but asks no PIN.
  std::unique_ptr<platform::Signer> signer;
  if (platform::OpenSignerForCertificate(shared, &signer) != 0) return kSignSignatureFailed;
  return xadesAddSignatureWith(bytes, *signer, out, size);
}

}  // namespace vel::xades
