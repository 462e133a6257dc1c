#include "xades/signed_properties.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

// An element by exact local name and namespace.
bool Is(const xmlNode* node, const char* ns, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
         xmlStrEqual(node->name, BAD_CAST name) && xmlStrEqual(node->ns->href, BAD_CAST ns);
}

std::vector<const xmlNode*> Children(const xmlNode* parent, const char* ns, const char* name) {
  std::vector<const xmlNode*> out;
  for (const xmlNode* c = parent != nullptr ? parent->children : nullptr; c != nullptr; c = c->next) {
    if (Is(c, ns, name)) out.push_back(c);
  }
  return out;
}

// The one child of that name; none when there is none or more than one.
const xmlNode* OnlyChild(const xmlNode* parent, const char* ns, const char* name) {
  const auto found = Children(parent, ns, name);
  return found.size() == 1 ? found.front() : nullptr;
}

const xmlNode* FirstElement(const xmlNode* parent) {
  for (const xmlNode* c = parent != nullptr ? parent->children : nullptr; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) return c;
  }
  return nullptr;
}

// An attribute in no namespace as the document writes it (never a DTD default).
std::optional<std::string> Attribute(const xmlNode* element, const char* name) {
  for (const xmlAttr* a = element != nullptr ? element->properties : nullptr; a != nullptr; a = a->next) {
    if (a->ns != nullptr || !xmlStrEqual(a->name, BAD_CAST name)) continue;
    XmlCharPtr value(xmlNodeListGetString(element->doc, a->children, 1));
    return std::string(value ? reinterpret_cast<const char*>(value.get()) : "");
  }
  return std::nullopt;
}

std::string WithoutSpace(std::string text) {
  std::erase_if(text, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
  return text;
}

std::string Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// A decimal serial as written (blanks, a '+' and leading zeros allowed),
// without its leading zeros; none when it is not one.
std::optional<std::string> Decimal(std::string_view text) {
  std::string t = Trimmed(text);
  if (!t.empty() && t.front() == '+') t.erase(0, 1);
  if (t.empty() || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const size_t nonZero = t.find_first_not_of('0');
  return nonZero == std::string::npos ? "0" : t.substr(nonZero);
}

// The issuer as written names the certificate's issuer, or is the engine's
// older short text (empty included). The digest and the serial, checked
// first, are what identify the certificate.
bool IssuerMatches(const std::string& written, const platform::CertContext& cert) {
  return matchIssuerText(Trimmed(written), cert.issuer_der(), shortCertIssuerText(&cert)) !=
         IssuerTextMatch::kNone;
}

}  // namespace

const EVP_MD* digestMethodOf(std::string_view uri) {
  if (uri == kSha1) return EVP_sha1();
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha256") return EVP_sha256();
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#sha384") return EVP_sha384();
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha512") return EVP_sha512();
  return nullptr;
}

std::optional<BoundProperties> boundProperties(const xmlNode* signature) {
  if (!Is(signature, kXmlDsigNs, "Signature")) return std::nullopt;
  const auto id = Attribute(signature, "Id");
  const xmlNode* signedInfo = FirstElement(signature);
  if (!id || id->empty() || !Is(signedInfo, kXmlDsigNs, "SignedInfo")) return std::nullopt;
  BoundProperties bound;
  int typed = 0;
  for (const xmlNode* reference : Children(signedInfo, kXmlDsigNs, "Reference")) {
    if (Attribute(reference, "Type") != kSignedPropertiesType) continue;
    ++typed;
    bound.reference = reference;
  }
  if (typed != 1) return std::nullopt;
  const auto uri = Attribute(bound.reference, "URI");
  if (!uri || uri->size() < 2 || uri->front() != '#') return std::nullopt;
  // One QualifyingProperties in the signature's own Objects.
  int held = 0;
  for (const xmlNode* object : Children(signature, kXmlDsigNs, "Object")) {
    for (const xmlNode* qp : Children(object, kXadesNs, "QualifyingProperties")) {
      ++held;
      bound.qualifyingProperties = qp;
    }
  }
  if (held != 1 || Attribute(bound.qualifyingProperties, "Target") != "#" + *id) return std::nullopt;
  bound.signedProperties = OnlyChild(bound.qualifyingProperties, kXadesNs, "SignedProperties");
  if (bound.signedProperties == nullptr || Attribute(bound.signedProperties, "Id") != uri->substr(1))
    return std::nullopt;
  return bound;
}

int checkSigningCertificate(const xmlNode* signedProperties, std::span<const uint8_t> certificateDer) {
  const CertPtr cert = xadesCertCreate(certificateDer.data(), certificateDer.size());
  const auto serial = getCertSerialDecimal(cert.get());
  if (!cert || !serial) return kSigningCertificateMismatch;
  const xmlNode* properties = OnlyChild(signedProperties, kXadesNs, "SignedSignatureProperties");
  const xmlNode* signing = OnlyChild(properties, kXadesNs, "SigningCertificate");
  // A Cert by an algorithm the engine does not know may be the signer's: the
  // answer is then unsupported, not "another certificate".
  bool unknownAlgorithm = false;
  for (const xmlNode* c : Children(signing, kXadesNs, "Cert")) {
    const xmlNode* certDigest = OnlyChild(c, kXadesNs, "CertDigest");
    const xmlNode* method = OnlyChild(certDigest, kXmlDsigNs, "DigestMethod");
    const xmlNode* value = OnlyChild(certDigest, kXmlDsigNs, "DigestValue");
    const xmlNode* issuerSerial = OnlyChild(c, kXadesNs, "IssuerSerial");
    if (method == nullptr || value == nullptr || issuerSerial == nullptr) return kSigningCertificateMismatch;
    const EVP_MD* md = digestMethodOf(Attribute(method, "Algorithm").value_or(""));
    if (md == nullptr) {
      unknownAlgorithm = true;
      continue;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(certificateDer.data(), certificateDer.size(), digest, &length, md, nullptr) != 1)
      return kSigningCertificateMismatch;
    if (WithoutSpace(textContent(value)) != base64Encode(std::span<const uint8_t>(digest, length))) continue;
    // The Cert of this certificate: its serial and issuer must be the certificate's too.
    const xmlNode* issuer = OnlyChild(issuerSerial, kXmlDsigNs, "X509IssuerName");
    const xmlNode* number = OnlyChild(issuerSerial, kXmlDsigNs, "X509SerialNumber");
    if (issuer == nullptr || number == nullptr || Decimal(textContent(number)) != *serial ||
        !IssuerMatches(textContent(issuer), *cert))
      return kSigningCertificateMismatch;
    return 0;
  }
  return unknownAlgorithm ? kSigningCertificateUnsupported : kSigningCertificateMismatch;
}

int checkSignedProperties(const XadesSignContext& entry) {
  const auto bound = boundProperties(entry.signature);
  if (!bound) return kPropertiesNotBound;
  // The Reference verified over the bound SignedProperties, not over an
  // element of the same Id elsewhere.
  const auto at = std::find(entry.references.begin(), entry.references.end(), bound->reference);
  const size_t r = static_cast<size_t>(at - entry.references.begin());
  if (at == entry.references.end() || r >= entry.targets.size() || entry.targets[r] != bound->signedProperties)
    return kPropertiesNotBound;
  return checkSigningCertificate(bound->signedProperties, entry.certificateBytes);
}

}  // namespace vel::xades
