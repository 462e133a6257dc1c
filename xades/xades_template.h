// The XML the engine writes: the builders of a XAdES-BES (or plain XMLDSig)
// signature template, the references of SignedInfo, and what the time stamps
// of a signature cover.
//
// Builders append to the tree without whitespace between elements. On failure
// a builder prints its message and returns none; what it added before stays.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <optional>
#include <string>

namespace vel::xades {

// Template kinds of createSignatureTemplate.
inline constexpr int kTemplateXadesBes = 0;
inline constexpr int kTemplateXmlDsig = 1;

// Flags of addReference.
inline constexpr int kReferenceBase64 = 1;     // a base64 Transform
inline constexpr int kReferenceEnveloped = 2;  // an enveloped-signature Transform, and no URI

// Time-stamp kinds of refsTimeStampInput.
inline constexpr int kRefsOnlyTimeStamp = 200;
inline constexpr int kSigAndRefsTimeStamp = 201;

// New element appended to `parent`: in the namespace (prefix, uri) declared
// on it when both are given, else in the parent's namespace; with Id = id
// when id is given.
xmlNode* xadeAddNewChild(xmlNode* parent, const char* name, const char* id, const char* prefix,
                         const char* nsUri);
// The same in an explicit namespace (none is a failure).
xmlNode* xadeAddNewChildNs(xmlNode* parent, const char* name, const char* id, xmlNs* ns);

// Parts of the template; each returns `signature`.
xmlNode* addSignedInfoXades(xmlNode* signature, const char* id, int n);
xmlNode* addSignedInfo(xmlNode* signature, const char* id, int n);
xmlNode* addSignatureValue(xmlNode* signature, const char* id);
xmlNode* addKeyInfo(xmlNode* signature, const char* id);
xmlNode* addKeyInfoIssuerSerial(xmlNode* signature, const char* id);
xmlNode* addQualifyingProperties(xmlNode* signature, const char* objectId, int n);

// The Signature element of the template, made the root of `doc`.
xmlNode* createXadESBESSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix,
                                         int n);
xmlNode* createXmlDSigSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix,
                                        int n);
// Dispatcher: no doc makes a new one (released with the Signature's
// document, signature->doc); no prefix means "ds"; kind 0 XAdES-BES, 1
// XMLDSig, anything else none.
xmlNode* createSignatureTemplate(xmlDoc* doc, const char* signatureId, const char* prefix, int kind,
                                 int n);

// Appends a Reference to the SignedInfo of `signature` (see the flags above).
xmlNode* addReference(xmlNode* signature, const xmlNode* target, const char* id, const char* type,
                      int flags);

// Canonical SignatureValue element, with the signature's own
// CanonicalizationMethod (none for an unknown one).
std::optional<std::string> signatureValueC14N(const xmlNode* signature);
// What a XAdES-X time stamp covers (kSigAndRefsTimeStamp or any other mode
// for RefsOnlyTimeStamp); none without CompleteCertificateRefs.
std::optional<std::string> refsTimeStampInput(const xmlNode* signature, int mode);
// What the ArchiveTimeStamp covers, with the first `count` earlier archive
// time stamps (-1 all). When the content part is binary the result is bytes
// and *length gets their count; otherwise *length is left alone.
std::optional<std::string> archiveTimeStampInput(const xmlNode* signature, int count,
                                                 size_t* length);

}  // namespace vel::xades
