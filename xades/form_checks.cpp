#include "xades/form_checks.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <span>
#include <string_view>

#include "cryptolib/cert_path.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/timestamp_token.h"
#include "cryptolib/x509_context.h"
#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/signed_properties.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

using Bytes = std::span<const uint8_t>;

// The digests the engine knows, by the OID a time-stamp imprint names.
const EVP_MD* DigestOfOid(std::string_view oid) {
  if (oid == "1.3.14.3.2.26") return EVP_sha1();
  if (oid == "2.16.840.1.101.3.4.2.1") return EVP_sha256();
  if (oid == "2.16.840.1.101.3.4.2.2") return EVP_sha384();
  if (oid == "2.16.840.1.101.3.4.2.3") return EVP_sha512();
  return nullptr;
}

std::optional<std::vector<uint8_t>> Digest(const EVP_MD* md, Bytes data) {
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1) return std::nullopt;
  out.resize(size);
  return out;
}

Bytes AsBytes(const std::string& text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

// One stored token against the inputs it may cover (tried in order): its CMS
// signature must verify and its imprint must be the digest, by the imprint's
// own algorithm, of one of them. The certificate that signed the token goes
// to *authority when asked for (none when the token does not carry it).
int CheckToken(const std::optional<std::string>& base64, const std::vector<std::optional<std::string>>& inputs,
               platform::CertPtr* authority = nullptr) {
  std::vector<uint8_t> der;
  if (!base64 || base64Decode(*base64, &der) != kBase64Ok || der.empty()) return kTsUnreadable;
  crypto::TimeStampToken token;
  if (token.LoadToken(der.data(), static_cast<uint32_t>(der.size())) != 0 || token.Verify() != 0) {
    return kTsUnreadable;
  }
  if (authority != nullptr) *authority = token.GetTsaCertificate();
  crypto::tsp::TokenView view;
  crypto::tsp::TstInfo info;
  if (!crypto::tsp::ParseToken(der, &view) || !view.is_tst_info || !crypto::tsp::ParseTstInfo(view.econtent, &info)) {
    return kTsUnreadable;
  }
  const EVP_MD* md = DigestOfOid(info.imprint.algorithm);
  if (md == nullptr) return kTsUnsupportedDigest;
  if (info.imprint.hashed.size() != static_cast<size_t>(EVP_MD_get_size(md))) return kTsUnreadable;
  bool any = false;
  for (const auto& input : inputs) {
    if (!input) continue;
    any = true;
    const auto digest = Digest(md, AsBytes(*input));
    if (!digest) return kTsNoMemory;
    if (std::equal(digest->begin(), digest->end(), info.imprint.hashed.begin(), info.imprint.hashed.end())) {
      return kTsPassed;
    }
  }
  return any ? kTsImprintDiffers : kTsUnreadable;
}

// The status of the authority that signed a token: its certificate must be
// meant for time stamping and pass the path check of any certificate,
// anchored in the user's Root store.
uint32_t AuthorityStatus(const platform::CertPtr& authority) {
  // A token without its signer's certificate names no path.
  if (!authority) return crypto::CERT_E_CHAINING;
  if (X509_check_purpose(authority->x509(), X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1) return kTsAuthorityWrongUsage;
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context || !crypto::SetCertificateContext(context.get(), authority)) return kTsAuthorityUnknown;
  return crypto::VerifyCertificate(context.get(), platform::kStoreCurrentUser, 0);
}

// A document reference written with a SHA-2 digest names the candidate whose
// digest by that algorithm it carries; the comparators compare SHA-1 texts,
// so such a reference takes that candidate's SHA-1 text (and keeps a text
// that matches nothing when no candidate has it). Unknown algorithms are
// never compared.
template <typename Ref>
int ToSha1Digests(std::vector<Ref>* refs, const std::vector<std::string>& algorithms,
                  const std::vector<Bytes>& candidates) {
  for (size_t i = 0; i < refs->size() && i < algorithms.size(); ++i) {
    const EVP_MD* md = digestMethodOf(algorithms[i]);
    if (md == nullptr) return kRefDigestUnsupported;
    if (md == EVP_sha1()) continue;
    Ref& ref = (*refs)[i];
    std::optional<std::string> sha1;
    for (const Bytes der : candidates) {
      const auto digest = Digest(md, der);
      if (!digest) return kRefDigestUnsupported;
      if (ref.digest == base64Encode(*digest)) {
        sha1 = digestBase64(der, kDigestSha1);
        break;
      }
    }
    ref.digest = sha1 ? *sha1 : std::string("-");
  }
  return 0;
}

// Values of one kind: each content child must be `name` with text.
int ReadValues(const xmlNode* first, std::string_view name, std::vector<std::string>* values) {
  for (const xmlNode* node = first; node != nullptr; node = nextContentSibling(node)) {
    const xmlChar* text = getElementText(node);
    if (node->type != XML_ELEMENT_NODE || !nameIs(node, name) || text == nullptr || *text == 0) return -1;
    values->emplace_back(reinterpret_cast<const char*>(text));
  }
  return 0;
}

std::vector<std::vector<uint8_t>> DecodeAll(const std::vector<std::string>& values) {
  std::vector<std::vector<uint8_t>> out;
  for (const std::string& value : values) {
    std::vector<uint8_t> der;
    if (base64Decode(value, &der) == kBase64Ok) out.push_back(std::move(der));
  }
  return out;
}

std::vector<Bytes> Spans(const std::vector<std::vector<uint8_t>>& ders) {
  return {ders.begin(), ders.end()};
}

}  // namespace

int verifySignatureTimeStampOf(const xmlNode* signature, int count, uint32_t* authorityStatus) {
  const std::vector<std::optional<std::string>> inputs{signatureValueC14N(signature)};
  // Every token's own check first: a token that does not cover the
  // signature outweighs an authority that is not trusted.
  std::vector<platform::CertPtr> authorities;
  for (int t = 0; t < count; ++t) {
    int encoding = 0;
    platform::CertPtr authority;
    if (const int rc = CheckToken(getSignatureTimeStampToken(signature, &encoding, t), inputs, &authority); rc != 0)
      return rc;
    authorities.push_back(std::move(authority));
  }
  for (const auto& authority : authorities) {
    if (const uint32_t status = AuthorityStatus(authority); status != 0) {
      if (authorityStatus != nullptr) *authorityStatus = status;
      return kTsAuthorityNotTrusted;
    }
  }
  return kTsPassed;
}

int verifyRefsTimeStampOf(const xmlNode* signature, int count) {
  const std::vector<std::optional<std::string>> inputs{refsTimeStampInput(signature, kSigAndRefsTimeStamp),
                                                       refsTimeStampInput(signature, kRefsOnlyTimeStamp)};
  for (int t = 0; t < count; ++t) {
    int encoding = 0;
    if (const int rc = CheckToken(getRefsTimeStampToken(signature, &encoding, t), inputs); rc != 0) return rc;
  }
  return kTsPassed;
}

int verifyArchiveTimeStampOf(const xmlNode* signature, int count, int lastToken) {
  for (int t = 0; t < count && (lastToken < 0 || t <= lastToken); ++t) {
    size_t length = 0;
    std::optional<std::string> input = archiveTimeStampInput(signature, t, &length);
    if (input && length != 0 && length < input->size()) input->resize(length);
    if (!input) return kTsUnreadable;
    int encoding = 0;
    if (const int rc = CheckToken(getArchiveTimeStampToken(signature, &encoding, t), {input}); rc != 0) return rc;
  }
  return kTsPassed;
}

int compareRefsOf(const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs,
                  const crypto::CertChainContext* chain) {
  XadesCertRefList certs;
  XadesCrlRefList crls;
  std::vector<std::string> certAlgorithms, crlAlgorithms;
  const bool haveCerts = parseCompleteCertificateRefsElement(completeCertificateRefs, &certs, &certAlgorithms) == 0;
  const bool haveCrls = parseCompleteRevocationRefsElement(completeRevocationRefs, &crls, &crlAlgorithms) == 0;
  if (chain != nullptr && !chain->chains.empty()) {
    std::vector<Bytes> chainCerts, chainCrls;
    for (const auto& element : chain->chains.front().elements) {
      if (element.certificate) chainCerts.push_back(element.certificate->der());
      if (element.base_crl) chainCrls.push_back(element.base_crl->der());
    }
    if (haveCerts && ToSha1Digests(&certs, certAlgorithms, chainCerts) != 0) return kRefDigestUnsupported;
    if (haveCrls && ToSha1Digests(&crls, crlAlgorithms, chainCrls) != 0) return kRefDigestUnsupported;
  }
  return compareRefsWithChain(haveCerts ? &certs : nullptr, haveCrls ? &crls : nullptr, chain);
}

int compareRefsForCertificate(const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs,
                              const platform::CertPtr& certificate) {
  if (!certificate) return kRefsNotBuilt;
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context || !crypto::SetCertificateContext(context.get(), certificate)) return kRefsNotBuilt;
  const crypto::CertChainPtr chain = crypto::GetCertificateChain(context.get(), 0x10000);
  return compareRefsOf(completeCertificateRefs, completeRevocationRefs, chain.get());
}

int compareValuesWithRefsOf(const xmlNode* certificateValues, const xmlNode* revocationValues,
                            const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs) {
  const xmlNode* firstCert = firstContentChild(certificateValues);
  if (firstCert == nullptr) return kNoCertificateValues;
  std::vector<std::string> certTexts, crlTexts;
  if (ReadValues(firstCert, "EncapsulatedX509Certificate", &certTexts) != 0) return kBadCertificateValue;
  const xmlNode* firstCrl = firstContentChild(firstContentChild(revocationValues));
  if (firstCrl == nullptr) return kNoRevocationValues;
  if (ReadValues(firstCrl, "EncapsulatedCRLValue", &crlTexts) != 0) return kBadRevocationValue;

  // Values stand for nothing unless references name them: references that
  // are missing or unreadable fail the check.
  XadesCertRefList certRefs;
  XadesCrlRefList crlRefs;
  std::vector<std::string> certAlgorithms, crlAlgorithms;
  if (parseCompleteCertificateRefsElement(completeCertificateRefs, &certRefs, &certAlgorithms) != 0 ||
      parseCompleteRevocationRefsElement(completeRevocationRefs, &crlRefs, &crlAlgorithms) != 0) {
    return kRefsUnreadable;
  }
  const auto certDers = DecodeAll(certTexts);
  const auto crlDers = DecodeAll(crlTexts);
  if (ToSha1Digests(&certRefs, certAlgorithms, Spans(certDers)) != 0 ||
      ToSha1Digests(&crlRefs, crlAlgorithms, Spans(crlDers)) != 0) {
    return kRefDigestUnsupported;
  }
  XadesCertRefList certValues;
  XadesCrlRefList crlValues;
  for (std::string& text : certTexts) certValues.emplace_back().value = std::move(text);
  for (std::string& text : crlTexts) crlValues.emplace_back().value = std::move(text);
  return compareRevocationRefs(&certValues, &certRefs, &crlValues, &crlRefs);
}

int verifyFormOf(const FormCheckEntry& entry, const crypto::CertChainContext* chain, int32_t mode,
                 uint32_t* authorityStatus) {
  switch (mode) {
    case kVerifyCompleteRefs: {
      if (!entry.hasC) return 0;
      const int rc = chain != nullptr
                         ? compareRefsOf(entry.completeCertificateRefs, entry.completeRevocationRefs, chain)
                         : compareRefsForCertificate(entry.completeCertificateRefs, entry.completeRevocationRefs,
                                                     entry.certificate);
      return rc == 0 ? 0 : kCompleteRefsFailed;
    }
    case kVerifyRefsTimeStamps:
      if (!entry.hasX) return 0;
      return verifyRefsTimeStampOf(entry.signature, entry.refsTimeStampCount) == 0 ? 0 : kRefsTimeStampFailed;
    case kVerifyValuesWithRefs:
      if (!entry.hasXL) return 0;
      return compareValuesWithRefsOf(entry.certificateValues, entry.revocationValues, entry.completeCertificateRefs,
                                     entry.completeRevocationRefs) == 0
                 ? 0
                 : kValuesFailed;
    case kVerifyArchiveTimeStamps:
      if (!entry.hasA) return 0;
      return verifyArchiveTimeStampOf(entry.signature, entry.archiveTimeStampCount, -1) == 0
                 ? 0
                 : kArchiveTimeStampFailed;
    default:
      if (entry.signatureTimeStampCount <= 0) return 0;
      return verifySignatureTimeStampOf(entry.signature, entry.signatureTimeStampCount, authorityStatus) == 0
                 ? 0
                 : kCompleteRefsFailed;
  }
}

int verifyAllFormsOf(const FormCheckEntry& entry, const crypto::CertChainContext* chain,
                     uint32_t* authorityStatus) {
  for (const int32_t mode : {kVerifyArchiveTimeStamps, kVerifyValuesWithRefs, kVerifyRefsTimeStamps,
                             kVerifyCompleteRefs, kVerifySignatureTimeStamps}) {
    if (const int rc = verifyFormOf(entry, chain, mode, authorityStatus); rc != 0) return rc;
  }
  return 0;
}

}  // namespace vel::xades
