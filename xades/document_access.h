// Reading parts of a XAdES document, and the one edit besides signing: adding
// a signature time stamp (XAdES-T). Signature numbers count from 0.
//
// Every function that takes bytes parses them itself with the engine's one
// parse helper; nothing here prints. Base64 texts are decoded whole: a text
// that is not valid base64 is 13, never a cut-short value.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cryptolib/cert_path.h"
#include "platform/cert_store.h"
#include "xades/verify_context.h"
#include "xades/xml_doc.h"

namespace vel::xades {

inline constexpr uint32_t kAccessMoreData = kMoreData;
inline constexpr uint32_t kAccessInvalidData = 13;

// 0; 192 not parsed; 193 no XPath context; 194 query failed.
uint32_t getSignatureCount(const uint8_t* xml, uint32_t length, int* count);

// The content of Object m (0: the second Object of the signature; the first
// holds the qualifying properties), all of what its digest covers: with the
// base64 Encoding its whole text decoded; an Object of character data its
// text and CDATA in order (comments are not content); one that holds
// elements what it holds in inclusive canonical form. Text results end with
// a NUL that *size does not count. 0; 32 not parsed; 33 no XPath context;
// 34 no such Object (or no canonical form); 13 bad base64; 234 with *size
// set to what is needed.
uint32_t getObjectContent(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size, int n,
                          int m);
// The same from a parsed document: the content of that Object (34 when none).
uint32_t getObjectContentOf(const xmlNode* object, uint8_t* out, uint32_t* size);
// The Object getObjectContent reads (signature n, Object m); none when missing.
xmlNode* contentObjectAt(xmlXPathContext* context, int n, int m);
// Object m of that Signature element (0: its second Object); none when missing.
xmlNode* contentObjectOf(const xmlNode* signature, int m);

// The DER signer certificate of KeyInfo. 0; 32; 33; 66 no X509Certificate;
// 51 its first child is not text; 13 bad base64; 234 with *size set.
uint32_t getSignatureCertificate(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size,
                                 int n);
platform::CertPtr getSignerCertContext(const uint8_t* xml, uint32_t length, int n);

// Embedded certificate and CRL values of the Signature that is the root or
// the n-th Signature child of the root, in document order.
std::vector<platform::CertPtr> getEncapsulatedCertificates(xmlDoc* doc, int n);
std::vector<platform::CertPtr> getEncapsulatedCertificatesXml(const uint8_t* xml, uint32_t length,
                                                              int n);
std::vector<platform::CrlPtr> getEncapsulatedCrls(xmlDoc* doc, int n);
std::vector<platform::CrlPtr> getEncapsulatedCrlsXml(const uint8_t* xml, uint32_t length, int n);
// The same read from a Signature element itself: only its own values, never
// those of a counter-signature inside it.
std::vector<platform::CertPtr> getEncapsulatedCertificatesOf(const xmlNode* signature);
std::vector<platform::CrlPtr> getEncapsulatedCrlsOf(const xmlNode* signature);

// The canonical SignatureValue element a signature time stamp covers, without
// NUL. 0; 176 not parsed; 177 no XPath context; 178 no such signature; 187 no
// canonical form; 234 with *size set to its length + 1.
uint32_t getSignatureValueC14N(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size,
                               int n);
// The same for a Signature element (178 when none).
uint32_t getSignatureValueC14NOf(const xmlNode* signature, uint8_t* out, uint32_t* size);

// Appends a SignatureTimeStamp holding the DER token to signature n. 0; 176;
// 177; 191 no QualifyingProperties; 187 no token; 234 with the output's
// length + 1024 added to *size.
uint32_t xadesAddSignatureTimeStamp(const uint8_t* xml, uint32_t length, const uint8_t* token,
                                    uint32_t token_length, uint8_t* out, uint32_t* size, int n);

// The index of the signature whose KeyInfo certificate is `cert`. 0; 87 no
// certificate; 64 not parsed; 65 no XPath context; 66 no X509Certificate; 69
// no match (*index 0).
uint32_t findSignatureByCertificate(const uint8_t* xml, uint32_t length,
                                    const platform::CertContext* cert, int* index);

// A verification context that owns its parsed document: released with the
// document and every record.
struct LoadedContextDeleter {
  void operator()(XadesVerifyContext* ctx) const { xadesVerifyContextFreeAll(ctx); }
};
using LoadedContextPtr = std::unique_ptr<XadesVerifyContext, LoadedContextDeleter>;

// Parses the bytes, makes a context with the built-in schema, loads one
// record per Signature element (document order) and links the
// counter-signatures. None on any failure.
LoadedContextPtr xadesLoadDocument(const uint8_t* xml, uint32_t length);

// Codes of the checks that build a path from a signature's embedded values.
inline constexpr uint32_t kNoSignerCertificate = 0xEE00;
inline constexpr uint32_t kEmbeddedPathFailed = 0xEE01;

// The certification path of `signer` built from the certificate and CRL
// values embedded in `signature` only, and checked with those CRLs. A
// signature never brings its own trust: the path's top certificate must also
// be in the user's "Root" or "CA" store, the anchors a path from the user's
// stores may end at. 0 (with the path in *chain when asked for),
// kNoSignerCertificate, or kEmbeddedPathFailed.
uint32_t embeddedValuesPath(const platform::CertPtr& signer, const xmlNode* signature,
                            crypto::CertChainPtr* chain = nullptr);

// Signature n counts top-level signatures as the verification selects them
// (topSignatureIndex), and the signer certificate and the embedded values are
// read from that same Signature element, so every step looks at one
// signature. Codes: 13 not parsed, not loaded or no signature n;
// kNoSignerCertificate; kEmbeddedPathFailed; otherwise the form check's
// status (xadesVerifyForms).
// The complete references (mode 1) against the path from the user's stores,
// or with `useEmbeddedValues` against the path from the embedded values.
uint32_t xadesVerifyCertificateRefs(const uint8_t* xml, uint32_t length, int n,
                                    bool useEmbeddedValues);
// The embedded values against the references (mode 3), once the path from
// those values verifies.
uint32_t xadesVerifyValues(const uint8_t* xml, uint32_t length, int n);
// The same two on a document already loaded (xadesLoadDocument; none: 13).
uint32_t verifyCertificateRefsOf(XadesVerifyContext* ctx, int n, bool useEmbeddedValues);
uint32_t verifyValuesOf(XadesVerifyContext* ctx, int n);

// The signature's own time-stamp elements where they stand: they live as
// long as the signature's document.
struct TimeStampNodes {
  std::vector<xmlNode*> nodes;
};
// None when the signature has none.
std::optional<TimeStampNodes> getSignatureTimeStampNodes(const xmlNode* signature);

// Token encodings read from an Encoding attribute.
inline constexpr int kTokenEncodingOther = 1;  // BER or any other value
inline constexpr int kTokenEncodingDer = 2;
// The (still base64) text of the k-th time-stamp token of each kind; none when
// there is no such token. *encoding is set only when the token's element
// carries an Encoding attribute.
std::optional<std::string> getSignatureTimeStampToken(const xmlNode* signature, int* encoding,
                                                      int k);
std::optional<std::string> getRefsTimeStampToken(const xmlNode* signature, int* encoding, int k);
std::optional<std::string> getArchiveTimeStampToken(const xmlNode* signature, int* encoding, int k);

}  // namespace vel::xades
