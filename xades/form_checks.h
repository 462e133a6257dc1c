// The checks of the unsigned properties above BES: signature, XAdES-X and
// archive time stamps, complete references against the certification path
// (C), and embedded values against the references (X-L); plus the verify
// modes and the cascade over a signature's highest form.
#pragma once

#include <cstdint>

#include <libxml/tree.h>

#include "cryptolib/cert_path.h"
#include "platform/cert_store.h"
#include "xades/reference_lists.h"

namespace vel::xades {

enum XadesVerifyMode : int32_t {
  kVerifyCompleteRefs = 1,
  kVerifyRefsTimeStamps = 2,
  kVerifyValuesWithRefs = 3,
  kVerifyArchiveTimeStamps = 4,
  kVerifySignatureTimeStamps = 255,
};

// Failure codes of the form checks (verifyFormOf, verifyAllFormsOf).
inline constexpr int kArchiveTimeStampFailed = 1006;
inline constexpr int kValuesFailed = 1007;
inline constexpr int kRefsTimeStampFailed = 1008;
inline constexpr int kCompleteRefsFailed = 1009;

// Time-stamp check codes. A token passes only when its CMS signature
// verifies and its imprint equals the digest (same algorithm) of the input
// of its kind.
inline constexpr int kTsPassed = 0;
inline constexpr int kTsNoMemory = -1;
inline constexpr int kTsUnreadable = -2;      // missing, unparsable, bad signature, bad imprint
inline constexpr int kTsImprintDiffers = -3;
inline constexpr int kTsUnsupportedDigest = -4;  // imprint algorithm the engine does not know
// A signature time stamp whose authority the path check does not vouch for;
// the path check's status goes with it.
inline constexpr int kTsAuthorityNotTrusted = -5;
// Authority statuses besides the path check's own: a certificate not meant
// for time stamping (CERT_E_WRONG_USAGE), no context to check it in.
inline constexpr uint32_t kTsAuthorityWrongUsage = 0x800B0110;
inline constexpr uint32_t kTsAuthorityUnknown = 0x80090006;

// Values check codes (with those of reference_compare.h).
inline constexpr int kNoCertificateValues = 1300;
inline constexpr int kBadCertificateValue = 1301;
inline constexpr int kNoRevocationValues = 1302;
inline constexpr int kBadRevocationValue = 1303;
inline constexpr int kRefsUnreadable = 0x10015;         // references absent or not parseable
inline constexpr int kRefDigestUnsupported = 0x10016;  // a digest algorithm the engine does not know

// What the checks read of one signature entry (filled from the
// verification context's records): absent elements are null, counts 0.
struct FormCheckEntry {
  const xmlNode* signature = nullptr;
  int signatureTimeStampCount = 0;
  const xmlNode* completeCertificateRefs = nullptr;  // C record
  const xmlNode* completeRevocationRefs = nullptr;
  bool hasC = false;
  int refsTimeStampCount = 0;  // X record
  bool hasX = false;
  const xmlNode* certificateValues = nullptr;  // X-L record
  const xmlNode* revocationValues = nullptr;
  bool hasXL = false;
  int archiveTimeStampCount = 0;  // A record
  bool hasA = false;
  platform::CertPtr certificate;  // the signer's, for the path when no chain is given
};

// One check by mode on one entry (0 or the mode's failure code); a check
// whose elements are absent passes.
// A signature time stamp counts only when its authority passes the path
// check; otherwise the check fails and *authorityStatus (when given) gets the
// path check's status, so that the caller can report it.
int verifyFormOf(const FormCheckEntry& entry, const crypto::CertChainContext* chain, int32_t mode,
                 uint32_t* authorityStatus = nullptr);
// Every check the entry carries, archive first, then values, XAdES-X, complete
// references and signature time stamps; the first failure's code. A
// signature is correct only when each check it carries ran and passed, so
// the signature time stamps are part of it too.
int verifyAllFormsOf(const FormCheckEntry& entry, const crypto::CertChainContext* chain,
                     uint32_t* authorityStatus = nullptr);

// The same on a Signature element alone (the context forms call these).
// `count` is the number of tokens of that kind the signature carries.
// Signature time stamps: kTsAuthorityNotTrusted (status in *authorityStatus)
// once every token covers the signature but an authority is not vouched for.
int verifySignatureTimeStampOf(const xmlNode* signature, int count, uint32_t* authorityStatus = nullptr);
int verifyRefsTimeStampOf(const xmlNode* signature, int count);
int verifyArchiveTimeStampOf(const xmlNode* signature, int count, int lastToken);
// Values (CertificateValues, RevocationValues) and references
// (CompleteCertificateRefs, CompleteRevocationRefs) elements; null when absent.
int compareValuesWithRefsOf(const xmlNode* certificateValues, const xmlNode* revocationValues,
                            const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs);
int compareRefsOf(const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs,
                  const crypto::CertChainContext* chain);
// The same against the path the user's stores give for the signer's
// certificate (anchored in the user's Root store, never in the document).
int compareRefsForCertificate(const xmlNode* completeCertificateRefs, const xmlNode* completeRevocationRefs,
                              const platform::CertPtr& certificate);

}  // namespace vel::xades
