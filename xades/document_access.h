// Reading parts of a XAdES document, and the one edit besides signing: adding
// a signature time stamp (XAdES-T). Signature numbers count from 0.
//
// Every function that takes bytes parses them itself with the engine's one
// parse helper; nothing here prints. Base64 texts are decoded whole: a text
// that is not valid base64 is 13, never a cut-short value.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "xades/xml_doc.h"

namespace vel::xades {

inline constexpr uint32_t kAccessMoreData = 234;
inline constexpr uint32_t kAccessInvalidData = 13;

// 0; 192 not parsed; 193 no XPath context; 194 query failed.
uint32_t getSignatureCount(const uint8_t* xml, uint32_t length, int* count);

// The content of Object m (0: the second Object of the signature; the first
// holds the qualifying properties): its text, decoded when the Object's
// Encoding is the base64 identifier, or its first element serialised with an
// XML declaration. Text results end with a NUL that *size does not count.
// 0; 32 not parsed; 33 no XPath context; 34 no such Object; 13 bad base64;
// 234 with *size set to what is needed.
uint32_t getObjectContent(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size, int n,
                          int m);

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

// The canonical SignatureValue element a signature time stamp covers, without
// NUL. 0; 176 not parsed; 177 no XPath context; 178 no such signature; 187 no
// canonical form; 234 with *size set to its length + 1.
uint32_t getSignatureValueC14N(const uint8_t* xml, uint32_t length, uint8_t* out, uint32_t* size,
                               int n);

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

// The signature's own time-stamp elements, in a copy of the signature that
// travels with them.
struct TimeStampNodes {
  XmlDocPtr copy;
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
