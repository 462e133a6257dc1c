// Adding a XAdES-BES signature to an XML document that already holds one:
// the new signature signs the content Objects of the first signature and
// becomes the last child of the root "Signatures".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/cert_store.h"
#include "platform/signer.h"
#include "xades/sign_context.h"

namespace vel::xades {

// Codes of xadesAddSignature.
inline constexpr uint32_t kSignNoXPathContext = 193;
inline constexpr uint32_t kSignNoObjects = 194;
inline constexpr uint32_t kSignNotParsed = 224;
inline constexpr uint32_t kSignBadRoot = 229;
inline constexpr uint32_t kSignSignatureFailed = 230;
inline constexpr uint32_t kSignDigestsFailed = 231;
inline constexpr uint32_t kSignSigningCertificateFailed = 232;
inline constexpr uint32_t kSignKeyInfoFailed = 233;
inline constexpr uint32_t kSignMoreData = kMoreData;
inline constexpr uint32_t kSignReferenceFailed = 235;
inline constexpr uint32_t kSignTemplateFailed = 236;
inline constexpr uint32_t kSignNoXml = 237;
inline constexpr uint32_t kSignNoTemplateDocument = 238;
inline constexpr uint32_t kSignRecordNotMade = 239;  // its own code: 234 means "size" only
inline constexpr uint32_t kSignInvalidParameter = 87;

// Signs with the key bound to the certificate. Size rule: with no buffer or a
// size of 0 the exact size needed is added to *size (234), computed without
// the key, so no PIN is asked; a buffer that cannot hold the output gets 234
// with *size set to what is needed, also before the key is used. The output
// is written only on success (0), and is strictly shorter than the size.
// What a size query prepares (the output but for the signature value) is kept
// by the calling thread for its next call, which then only signs and copies
// when it brings the same bytes and certificate.
uint32_t xadesAddSignature(const uint8_t* xml, uint32_t length,
                           const platform::CertContext* certificate, uint8_t* out, uint32_t* size);
// The same with a signer in hand.
uint32_t xadesAddSignatureWith(std::span<const uint8_t> xml, platform::Signer& signer, uint8_t* out,
                               uint32_t* size);

// The steps; each returns the record, or none (with a message) on failure.
XadesSignContext* addKeyInfoX509DataX509Certificate(XadesSignContext* record);
XadesSignContext* fillSigningCertificate(XadesSignContext* record);
XadesSignContext* generateDigests(XadesSignContext* record);
XadesSignContext* generateSign(XadesSignContext* record);

// base64 of the RSA-SHA1 signature of the data, most significant byte first
// as the signer gives it; none when the signer fails (a cancelled or wrong PIN).
std::optional<std::string> createRsaSha1Signature(std::span<const uint8_t> data,
                                                  platform::Signer& signer);

}  // namespace vel::xades
