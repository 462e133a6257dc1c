#include "xades/reference_compare.h"

#include "xades/base64.h"
#include "xades/crypto_helpers.h"

namespace vel::xades {
namespace {

bool FillCert(XadesCertRef& ref, const platform::CertContext* cert) {
  if (cert == nullptr) return false;
  ref.issuer = sizeRuleText([&](char* b, uint32_t* s) { return getCertIssuerText(cert, b, s); });
  ref.issuerName.assign(cert->issuer_der().begin(), cert->issuer_der().end());
  ref.shortIssuer = shortCertIssuerText(cert);
  ref.serial = getCertSerialDecimal(cert);
  ref.digest = encodedDigestBase64(cert, kDigestSha1);
  return ref.issuer && ref.serial && ref.digest;
}

bool FillCrl(XadesCrlRef& ref, const platform::CrlContext* crl) {
  if (crl == nullptr) return false;
  ref.issuer = sizeRuleText([&](char* b, uint32_t* s) { return getCrlIssuerText(crl, b, s); });
  ref.issuerName.assign(crl->issuer_der().begin(), crl->issuer_der().end());
  ref.shortIssuer = shortCrlIssuerText(crl);
  ref.issueTime = sizeRuleText([&](char* b, uint32_t* s) {
    return static_cast<uint32_t>(getCrlThisUpdateText(crl, b, s));
  });
  uint32_t size = 0;
  const int asked = getCrlNumberDecimal(crl, nullptr, &size);
  if (asked == 234) {
    ref.number = sizeRuleText([&](char* b, uint32_t* s) {
      return static_cast<uint32_t>(getCrlNumberDecimal(crl, b, s));
    });
    if (!ref.number) return false;
  } else if (asked != -2) {
    return false;
  }
  ref.digest = encodedDigestBase64(crl, kDigestSha1);
  return ref.issuer && ref.issueTime && ref.digest;
}

const crypto::CertSimpleChain* FirstChain(const crypto::CertChainContext* chain) {
  return chain == nullptr || chain->chains.empty() ? nullptr : &chain->chains.front();
}

std::optional<std::vector<uint8_t>> Decoded(const std::optional<std::string>& value) {
  std::vector<uint8_t> bytes;
  if (!value || base64Decode(*value, &bytes) != kBase64Ok) return std::nullopt;
  return bytes;
}

// Completes each reference of a value list from its decoded value.
template <typename Ref, typename Create, typename Fill>
int FillFromValues(std::vector<Ref>* values, Create create, Fill fill) {
  if (values == nullptr || values->empty()) return kRefsNothingToRead;
  for (Ref& ref : *values) {
    const auto der = Decoded(ref.value);
    if (!der) return kRefsNothingToRead;
    const auto context = create(der->data(), der->size());
    if (!fill(ref, context.get())) return kRefsNothingToRead;
  }
  return kRefsBuilt;
}

// The document's issuer text names the built reference's issuer (the short
// text too: every caller also compares the digest).
template <typename Ref>
bool IssuerAgrees(const Ref& document, const Ref& built) {
  return document.issuer &&
         matchIssuerText(*document.issuer, built.issuerName, built.shortIssuer) != IssuerTextMatch::kNone;
}

// Each document reference takes the first unused candidate that agrees with
// it in serial, digest and issuer; the candidate is then used up.
int MatchCertRefs(const XadesCertRefList& document, const XadesCertRefList& candidates) {
  std::vector<bool> used(candidates.size(), false);
  for (const XadesCertRef& ref : document) {
    if (!ref.serial || !ref.digest) return kRefMismatch;
    size_t i = 0;
    while (i < candidates.size() &&
           (used[i] || candidates[i].serial != ref.serial || candidates[i].digest != ref.digest ||
            !IssuerAgrees(ref, candidates[i])))
      ++i;
    if (i == candidates.size()) return kRefMismatch;
    used[i] = true;
  }
  return kRefsMatch;
}

bool CrlAgrees(const XadesCrlRef& reference, const XadesCrlRef& computed) {
  return reference.digest && reference.issueTime == computed.issueTime &&
         (!computed.number || reference.number == computed.number) &&
         reference.digest == computed.digest && IssuerAgrees(reference, computed);
}

}  // namespace

int buildCertRefs(XadesCertRefList* list, const crypto::CertChainContext* chain) {
  const crypto::CertSimpleChain* simple = FirstChain(chain);
  if (list == nullptr || simple == nullptr) return kRefsNothingToRead;
  list->assign(1, XadesCertRef{});
  list->reserve(simple->elements.size());
  for (size_t i = 0; i < simple->elements.size(); ++i) {
    if (i > 0) list->emplace_back();
    if (!FillCert(list->back(), simple->elements[i].certificate.get())) return kRefsNothingToRead;
  }
  return kRefsBuilt;
}

int buildCrlRefs(XadesCrlRefList* list, const crypto::CertChainContext* chain) {
  const crypto::CertSimpleChain* simple = FirstChain(chain);
  if (list == nullptr || simple == nullptr) return kRefsNothingToRead;
  list->assign(1, XadesCrlRef{});
  bool first = true;
  for (const crypto::CertChainElement& element : simple->elements) {
    if (!element.base_crl) continue;
    if (!first) list->emplace_back();
    first = false;
    if (!FillCrl(list->back(), element.base_crl.get())) return kRefsNothingToRead;
  }
  return kRefsBuilt;
}

int fillCertRefsFromValues(XadesCertRefList* values) {
  return FillFromValues(values, xadesCertCreate, FillCert);
}

int buildCrlRefsFromValues(XadesCrlRefList* values) {
  return FillFromValues(values, xadesCrlCreate, FillCrl);
}

int compareRefsWithChain(const XadesCertRefList* documentCerts, const XadesCrlRefList* documentCrls,
                         const crypto::CertChainContext* chain) {
  if (documentCerts == nullptr || documentCerts->empty()) return kNoCertRefs;
  XadesCertRefList builtCerts;
  if (buildCertRefs(&builtCerts, chain) != kRefsBuilt) return kRefsNotBuilt;
  if (const int status = MatchCertRefs(*documentCerts, builtCerts); status != kRefsMatch)
    return status;
  if (documentCrls == nullptr || documentCrls->empty()) return kNoCrlRefs;
  XadesCrlRefList builtCrls;
  if (buildCrlRefs(&builtCrls, chain) != kRefsBuilt) return kRefsNotBuilt;
  // Every CRL of the path must be named; one document reference may name
  // several of them, and document references no CRL names are allowed.
  for (const XadesCrlRef& built : builtCrls) {
    bool named = false;
    for (const XadesCrlRef& ref : *documentCrls) named = named || CrlAgrees(ref, built);
    if (!named || !built.issuer) return kRefMismatch;
  }
  return kRefsMatch;
}

int compareRevocationRefs(XadesCertRefList* certValues, const XadesCertRefList* documentCerts,
                          XadesCrlRefList* crlValues, const XadesCrlRefList* documentCrls) {
  if (certValues == nullptr || documentCerts == nullptr || documentCerts->empty()) return kNoCertRefs;
  if (fillCertRefsFromValues(certValues) != kRefsBuilt) return kRefMismatch;
  if (const int status = MatchCertRefs(*documentCerts, *certValues); status != kRefsMatch)
    return status;
  if (crlValues == nullptr || documentCrls == nullptr || documentCrls->empty()) return kNoCrlRefs;
  if (buildCrlRefsFromValues(crlValues) != kRefsBuilt) return kRefMismatch;
  std::vector<bool> used(crlValues->size(), false);
  for (const XadesCrlRef& ref : *documentCrls) {
    size_t i = 0;
    while (i < crlValues->size() && (used[i] || !CrlAgrees(ref, (*crlValues)[i]))) ++i;
    if (i == crlValues->size()) return kRefMismatch;
    used[i] = true;
  }
  return kRefsMatch;
}

}  // namespace vel::xades
