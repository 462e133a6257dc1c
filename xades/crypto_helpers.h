// The engine's certificate and CRL helpers: contexts from DER, the texts that
// XAdES references carry (issuer and subject names, decimal serial and CRL
// numbers, the CRL issue time), SHA-1/MD5 digests in base64 and the RSA-SHA1
// signature check. Every text the engine compares with a document comes from
// here, so the forms are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/cert_store.h"

namespace vel::xades {

// A text under the size rule, asked twice: for its size (234), then into a
// buffer of that size. None when either call fails.
template <typename Get>
std::optional<std::string> sizeRuleText(Get get) {
  uint32_t size = 0;
  if (get(nullptr, &size) != 234 || size == 0) return std::nullopt;
  std::string text(size, '\0');
  if (get(text.data(), &size) != 0) return std::nullopt;
  text.resize(std::char_traits<char>::length(text.c_str()));
  return text;
}

using CertPtr = platform::CertPtr;
using CrlPtr = platform::CrlPtr;

// Contexts from DER (none when the bytes are not one certificate / CRL) and
// their release (a reset of the shared context; none is ignored).
CertPtr xadesCertCreate(const uint8_t* der, size_t length);
CrlPtr xadesCrlCreate(const uint8_t* der, size_t length);
void xadesCertFree(CertPtr& cert);
void xadesCrlFree(CrlPtr& crl);

// Size-rule texts: with a buffer and a non-zero size the text (and NUL) is
// written and 0 returned, any failure is 34; with no buffer or size 0 the
// size is asked for (234 with the size set).
// The issuer texts are full RFC 2253 text as `openssl x509 -nameopt RFC2253`
// writes it: the last attribute first, "," between RDNs and "+" inside one;
// CN L ST O OU C STREET DC UID by name with their string values (UTF8String,
// PrintableString, IA5String, TeletexString, BMPString, ...) as UTF-8 in
// which the specials are escaped and every control character and non-ASCII
// byte is written as "\XX"; any other type, or a value that is no string,
// as the dotted type (or name), "=#" and the value's DER in hex.
uint32_t getCertIssuerText(const platform::CertContext* cert, char* buffer, uint32_t* size);
uint32_t getCrlIssuerText(const platform::CrlContext* crl, char* buffer, uint32_t* size);

// The short issuer text earlier versions wrote (the crypto library's flat
// rendering: PrintableString values only, so often empty); none when it
// cannot be made.
std::optional<std::string> shortCertIssuerText(const platform::CertContext* cert);
std::optional<std::string> shortCrlIssuerText(const platform::CrlContext* crl);

// How an issuer text read from a document names an encoded issuer Name.
// kFull: it names it (the text above, or another RFC 2253 rendering of the
// same attributes: other escapes, blanks after separators, other keywords of
// a type, or the Name's own attribute order as some producers write it).
// kShort: it is the short text `shortText` (empty included), which tells
// little by itself: a caller accepts it only where serial number and digest
// match too.
enum class IssuerTextMatch { kNone, kFull, kShort };
IssuerTextMatch matchIssuerText(std::string_view written, std::span<const uint8_t> name,
                                const std::optional<std::string>& shortText);
// The subject as X.500 text, most specific part first.
uint32_t getCertNameText(const CertPtr& cert, char* buffer, uint32_t* size);

// The serial number in decimal without leading zeros; none without a certificate.
std::optional<std::string> getCertSerialDecimal(const platform::CertContext* cert);

// The cRLNumber (2.5.29.20) in decimal. 0; -1 no CRL; -2 no extension (or
// one that is not a DER INTEGER); 234 with the size set when the buffer is
// smaller than the text and its NUL.
int getCrlNumberDecimal(const platform::CrlContext* crl, char* buffer, uint32_t* size);

// thisUpdate in local time with the offset that time really has,
// "YYYY-MM-DDThh:mm:ss+hh:mm" (25 characters). 0; -1 no CRL; 234 with size
// 26 when no buffer or a size below 26.
int getCrlThisUpdateText(const platform::CrlContext* crl, char* buffer, uint32_t* size);

// Hash algorithms of digestBase64.
inline constexpr int kDigestSha1 = 0;
inline constexpr int kDigestMd5 = 1;
// base64 of the digest (28 characters for SHA-1, 24 for MD5); none on failure;
// an unknown algorithm prints "Unsuported hash algorithm\n".
std::optional<std::string> digestBase64(std::span<const uint8_t> data, int algorithm);
std::optional<std::string> encodedDigestBase64(const platform::CertContext* cert, int algorithm);
std::optional<std::string> encodedDigestBase64(const platform::CrlContext* crl, int algorithm);
// base64 of the context's DER; no memory for it ends the process
// (xadesFatalError).
std::string encodedBase64(const platform::CertContext* cert);
std::string encodedBase64(const platform::CrlContext* crl);

// RSA-SHA1 (PKCS#1 v1.5) check of a signature given most significant byte
// first with the certificate's public key. 0 valid; -1 invalid ("Sygnatura
// niepoprawna." printed); 13 no certificate; -4 the key cannot be used
// ("Public key error.\n%d\n").
int verifyRsaSha1Signature(std::span<const uint8_t> data, std::span<const uint8_t> signature,
                           const platform::CertContext* cert);

}  // namespace vel::xades
