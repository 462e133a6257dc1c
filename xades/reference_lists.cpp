#include "xades/reference_lists.h"

#include "xades/node_helpers.h"

namespace vel::xades {
namespace {

// Other producers indent their documents: whitespace between the elements is
// layout, never content. Anything else that is not an element stays in the
// walk so the name test rejects it.
bool IsLayout(const xmlNode* node) {
  if (node->type == XML_COMMENT_NODE) return true;
  if (node->type != XML_TEXT_NODE) return false;
  for (const xmlChar* c = node->content; c != nullptr && *c != 0; ++c) {
    if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n') return false;
  }
  return true;
}

const xmlNode* Skip(const xmlNode* node) {
  while (node != nullptr && IsLayout(node)) node = node->next;
  return node;
}
const xmlNode* FirstChild(const xmlNode* node) { return firstContentChild(node); }
const xmlNode* NextSibling(const xmlNode* node) { return nextContentSibling(node); }

bool Is(const xmlNode* node, std::string_view name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && nameIs(node, name);
}

std::optional<std::string> Text(const xmlNode* element) {
  const xmlChar* text = getElementText(element);
  if (text == nullptr || *text == 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text));
}

// Digest part common to both kinds: DigestMethod then DigestValue with text.
int ReadDigest(const xmlNode* digestPart, std::optional<std::string>* digest, std::string* algorithm) {
  const xmlNode* method = FirstChild(digestPart);
  if (!Is(method, "DigestMethod")) return kRefBadIssuer;
  *algorithm = getNodeProp(method, "Algorithm").value_or("");
  const xmlNode* value = NextSibling(method);
  if (!Is(value, "DigestValue") || !(*digest = Text(value))) return kRefBadValueText;
  return 0;
}

int ReadCert(const xmlNode* cert, XadesCertRef* ref, std::string* algorithm) {
  if (!Is(cert, "Cert") || FirstChild(cert) == nullptr) return kRefBadEntry;
  const xmlNode* digestPart = FirstChild(cert);
  if (!Is(digestPart, "CertDigest")) return kRefBadDigestPart;
  if (const int rc = ReadDigest(digestPart, &ref->digest, algorithm); rc != 0) return rc;
  const xmlNode* issuerSerial = NextSibling(digestPart);
  if (!Is(issuerSerial, "IssuerSerial")) return kRefBadDigestPart;
  const xmlNode* issuer = FirstChild(issuerSerial);
  // An empty issuer is what earlier versions wrote for many CAs; whether it
  // is acceptable is the comparison's to say.
  if (!Is(issuer, "X509IssuerName")) return kRefBadIssuer;
  ref->issuer = Text(issuer).value_or("");
  const xmlNode* serial = NextSibling(issuer);
  if (!Is(serial, "X509SerialNumber") || !(ref->serial = Text(serial))) return kRefBadValueText;
  return 0;
}

int ReadCrl(const xmlNode* crlRef, XadesCrlRef* ref, std::string* algorithm) {
  if (!Is(crlRef, "CRLRef") || FirstChild(crlRef) == nullptr) return kRefBadEntry;
  const xmlNode* digestPart = FirstChild(crlRef);
  if (!Is(digestPart, "DigestAlgAndValue")) return kRefBadDigestPart;
  if (const int rc = ReadDigest(digestPart, &ref->digest, algorithm); rc != 0) return rc;
  const xmlNode* identifier = NextSibling(digestPart);
  if (!Is(identifier, "CRLIdentifier")) return kRefBadDigestPart;
  const xmlNode* issuer = FirstChild(identifier);
  if (!Is(issuer, "Issuer") || !(ref->issuer = Text(issuer))) return kRefBadIssuer;
  const xmlNode* time = NextSibling(issuer);
  if (!Is(time, "IssueTime") || !(ref->issueTime = Text(time))) return kRefBadValueText;
  const xmlNode* number = NextSibling(time);
  if (Is(number, "Number")) ref->number = Text(number);
  return 0;
}

template <typename Ref, typename Read>
int Parse(const xmlNode* container, std::vector<Ref>* list, std::vector<std::string>* algorithms, Read read) {
  if (list == nullptr) return kRefsNothingToRead;
  std::vector<std::string> found;
  list->assign(1, Ref{});
  const xmlNode* first = FirstChild(FirstChild(container));
  if (container == nullptr || first == nullptr) return kRefsNothingToRead;
  list->clear();
  for (const xmlNode* node = first; node != nullptr; node = NextSibling(node)) {
    Ref ref;
    std::string algorithm;
    if (const int rc = read(node, &ref, &algorithm); rc != 0) {
      list->assign(1, Ref{});
      return rc;
    }
    list->push_back(std::move(ref));
    found.push_back(std::move(algorithm));
  }
  if (algorithms != nullptr) *algorithms = std::move(found);
  return 0;
}

}  // namespace

const xmlNode* firstContentChild(const xmlNode* node) { return node == nullptr ? nullptr : Skip(node->children); }
const xmlNode* nextContentSibling(const xmlNode* node) { return node == nullptr ? nullptr : Skip(node->next); }

void certRefListInit(XadesCertRefList* list) {
  if (list != nullptr) list->assign(1, XadesCertRef{});
}
void crlRefListInit(XadesCrlRefList* list) {
  if (list != nullptr) list->assign(1, XadesCrlRef{});
}
XadesCertRef newXadesCertRef() { return {}; }
XadesCrlRef newXadesCrlRef() { return {}; }
void certRefListFree(XadesCertRefList* list) {
  if (list != nullptr) list->clear();
}
void crlRefListFree(XadesCrlRefList* list) {
  if (list != nullptr) list->clear();
}

int parseCompleteCertificateRefsElement(const xmlNode* completeCertificateRefs, XadesCertRefList* list,
                                        std::vector<std::string>* algorithms) {
  return Parse(completeCertificateRefs, list, algorithms, ReadCert);
}
int parseCompleteRevocationRefsElement(const xmlNode* completeRevocationRefs, XadesCrlRefList* list,
                                       std::vector<std::string>* algorithms) {
  return Parse(completeRevocationRefs, list, algorithms, ReadCrl);
}

}  // namespace vel::xades
