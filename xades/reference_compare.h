// Certificate and CRL references of a signature (CompleteCertificateRefs,
// CompleteRevocationRefs) against those computed from a certification path
// or from the values embedded in the signature: the reference records, the
// builders that fill them from a path or from values, and the two
// comparators. Every text compared is exact, so each is produced by the
// crypto helpers (crypto_helpers.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cryptolib/cert_path.h"

namespace vel::xades {

// One certificate reference (or value): texts as written in the document,
// or as the crypto helpers render them for built ones; none when unset.
struct XadesCertRef {
  std::optional<std::string> issuer;  // RFC 2253 text
  std::optional<std::string> serial;  // decimal
  std::optional<std::string> digest;  // base64 SHA-1 of the DER
  std::optional<std::string> value;   // base64 DER (value lists only)
  // Built ones only: the issuer Name's DER and the short text earlier
  // versions wrote, against which a document's issuer text is matched.
  std::vector<uint8_t> issuerName;
  std::optional<std::string> shortIssuer;
};

// One CRL reference (or value).
struct XadesCrlRef {
  std::optional<std::string> issuer;
  std::optional<std::string> issueTime;  // as getCrlThisUpdateText writes it
  std::optional<std::string> number;     // decimal; none without the extension
  std::optional<std::string> digest;
  std::optional<std::string> value;
  std::vector<uint8_t> issuerName;  // as for certificates
  std::optional<std::string> shortIssuer;
};

// Lists in document (or chain) order. A built list is never empty: with
// nothing to put in it, it holds one blank reference, which matches nothing.
using XadesCertRefList = std::vector<XadesCertRef>;
using XadesCrlRefList = std::vector<XadesCrlRef>;

// Builder codes.
inline constexpr int kRefsBuilt = 0;
inline constexpr int kRefsNothingToRead = 1100;

// From the first simple chain: one reference per certificate (end entity
// first) / per base CRL attached to an element. 1100: no list, no chain, no
// simple chain, or a text that cannot be rendered.
int buildCertRefs(XadesCertRefList* list, const crypto::CertChainContext* chain);
int buildCrlRefs(XadesCrlRefList* list, const crypto::CertChainContext* chain);
// Completes every reference of a value list from its base64 value. 1100: an
// empty list, a reference without a value, or a value that is not a whole
// base64 certificate / CRL.
int fillCertRefsFromValues(XadesCertRefList* values);
int buildCrlRefsFromValues(XadesCrlRefList* values);

// Comparison codes.
inline constexpr int kRefsMatch = 0;
inline constexpr int kNoCertRefs = 0x10011;
inline constexpr int kNoCrlRefs = 0x10012;
inline constexpr int kRefMismatch = 0x10013;
inline constexpr int kRefsNotBuilt = 0x10014;

// Every document certificate reference must name a certificate of the chain
// (serial and digest equal, the issuer text naming its issuer, each chain
// certificate used once), and every CRL of the chain must be named by a
// document CRL reference (issuer text naming its issuer; issue time, number
// when the chain CRL has one, and digest equal). An issuer text matches as
// matchIssuerText tells, the short text too: digest and serial (for a CRL,
// digest and issue time) are always compared with it.
// A missing list is a null pointer.
int compareRefsWithChain(const XadesCertRefList* documentCerts, const XadesCrlRefList* documentCrls,
                         const crypto::CertChainContext* chain);

// Every document reference must name one embedded value (each value used
// once). The value lists are completed from their values first.
int compareRevocationRefs(XadesCertRefList* certValues, const XadesCertRefList* documentCerts,
                          XadesCrlRefList* crlValues, const XadesCrlRefList* documentCrls);

}  // namespace vel::xades
