// Verifying the signatures of an XAdES document: selection, schema check of
// the qualifying properties, reference digests, form checks and signature
// value. A signature is correct only when every check it carries ran and
// passed.
#pragma once

#include <cstdint>
#include <string_view>

#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include "cryptolib/cert_path.h"
#include "xades/verify_context.h"

namespace vel::xades {

inline constexpr uint32_t kVerifyOk = 0;
inline constexpr uint32_t kVerifyNotAcceptable = 13;
inline constexpr uint32_t kVerifyNoContext = 87;
inline constexpr uint32_t kVerifyDigestMismatch = 0x80091007;
inline constexpr uint32_t kVerifyFailed = 0x80090006;
inline constexpr uint32_t kVerifyNoXPath = 0x80090020;
// An algorithm (digest, signature, canonicalisation, transform) or a
// reference the engine cannot follow: neither changed nor correct.
inline constexpr uint32_t kVerifyUnsupportedAlgorithm = 0x80090008;

// A signature verifies only when it also covers what the document shows: a
// top-level one references the content Object (the second Object of the
// first top-level signature), a counter-signature the SignatureValue of the
// signature it is hung under; otherwise kVerifyFailed.
uint32_t xadesVerifySignature(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain,
                              int i, int j, bool withForms);
uint32_t xadesVerifyForms(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain,
                          int i, int j, int32_t mode);
uint32_t xadesVerifyDocument(XadesVerifyContext* ctx, xmlDoc* doc, const crypto::CertChainContext* chain);

int topSignatureIndex(const XadesVerifyContext* ctx, int i);
int counterSignatureIndex(const XadesVerifyContext* ctx, int top, int j);

int checkQualifyingPropertiesSchema(xmlSchemaValidCtxt* validation, xmlDoc* doc);
// The same on a QualifyingProperties element (copied alone): -3 when none.
int checkQualifyingPropertiesOf(xmlSchemaValidCtxt* validation, const xmlNode* qualifyingProperties);
int isDecimalInteger(const char* text);
// Rewrites every X509SerialNumber and xades:Number text of the document as
// "1" after checking it is a decimal integer (-5 otherwise), so libxml2's
// integer limits play no part; -3 when the search gives no result.
int rewriteSerialNumbers(xmlDoc* doc);
// 0, a negative code, or kRefDigestUnsupported (form_checks.h) for what the
// engine cannot follow: an unknown digest algorithm or canonicalisation, a
// transform other than one base64 transform, a reference with no target in
// the document (outside URI, enveloped signature).
int verifyReferenceDigests(XadesVerifyContext* ctx);
// 0, -1 invalid, 13 no certificate, other negative codes; -6 for a
// signature method or canonicalisation the engine does not know.
int xadesValidateCheckSignature(XadesVerifyContext* ctx);

}  // namespace vel::xades
