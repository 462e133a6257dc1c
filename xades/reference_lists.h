// Reference lists read from a signature's CompleteCertificateRefs and
// CompleteRevocationRefs elements, in the list types of reference_compare.h
// (which also holds the builders from a path and from embedded values).
#pragma once

#include <libxml/tree.h>

#include <string>
#include <vector>

#include "xades/reference_compare.h"

namespace vel::xades {

// Parser codes (1100 is kRefsNothingToRead).
inline constexpr int kRefBadEntry = 1101;      // not Cert / CRLRef, or no child
inline constexpr int kRefBadDigestPart = 1104;  // CertDigest/DigestAlgAndValue, IssuerSerial/CRLIdentifier
inline constexpr int kRefBadIssuer = 1105;      // DigestMethod, X509IssuerName / Issuer
inline constexpr int kRefBadValueText = 1106;   // DigestValue, X509SerialNumber / IssueTime

// A list always holds its first (possibly blank) reference.
void certRefListInit(XadesCertRefList* list);
void crlRefListInit(XadesCrlRefList* list);
XadesCertRef newXadesCertRef();
XadesCrlRef newXadesCrlRef();
void certRefListFree(XadesCertRefList* list);
void crlRefListFree(XadesCrlRefList* list);

// Fill `list` (replacing what it held) from a CompleteCertificateRefs /
// CompleteRevocationRefs element; 0 or a code above. Whitespace between the
// elements is skipped; any other foreign node fails. The list is left with
// one blank reference on failure.
// `algorithms`, when given, gets each reference's DigestMethod Algorithm.
int parseCompleteCertificateRefsElement(const xmlNode* completeCertificateRefs, XadesCertRefList* list,
                                        std::vector<std::string>* algorithms = nullptr);
int parseCompleteRevocationRefsElement(const xmlNode* completeRevocationRefs, XadesCrlRefList* list,
                                       std::vector<std::string>* algorithms = nullptr);

// The walk of these parsers: the first child / next sibling that is not
// layout (whitespace text, comments).
const xmlNode* firstContentChild(const xmlNode* node);
const xmlNode* nextContentSibling(const xmlNode* node);

}  // namespace vel::xades
