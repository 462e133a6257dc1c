// Certificate and CRL names as text: subject and issuer texts in the
// platform's name-text form (platform/cert_name_str.h) with the context's
// separators, one attribute of such a text, a person's display name, and the
// issuer Name as an RFC 2253 string for the XML signature engine.
//
// Text results follow the size rule: with no buffer, or one too small, the
// needed size is stored and 234 returned. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto {

// String types of the name texts (the platform's numbers).
inline constexpr uint32_t CERT_SIMPLE_NAME_STR = 1;
inline constexpr uint32_t CERT_OID_NAME_STR = 2;
inline constexpr uint32_t CERT_X500_NAME_STR = 3;
inline constexpr uint32_t CERT_NAME_STR_REVERSE_FLAG = 0x02000000;

// The subject as text, quotes of quoted values removed, values written as
// "#" and hex rendered as the text of their UTF8Strings ("a| b" for two).
// The needed size is that of the platform's text before this processing; the
// size becomes the text length + 1. No certificate: LIB_E_NO_CERTIFICATE; a
// name that does not convert: 0x80004005.
LibraryErrorCode GetSubjectString(X509Context* context, uint32_t string_type, char* text,
                                  uint32_t* size);

// The issuer as text, most specific RDN first (the reverse flag is added),
// quotes kept, "#" values rendered as above.
LibraryErrorCode GetIssuerString(X509Context* context, uint32_t string_type, char* text,
                                 uint32_t* size);

// The value of the first attribute whose key is `key` in a name text made by
// the functions above. Only the start of an attribute matches (the start of
// the text, or after a separator or a " + " outside quotes), so a value can
// never pass for an attribute of its own; a quoted value is given without
// its quotes. `value` must have room for the name text (strlen + 1).
// Not found: 2; null arguments: 87.
LibraryErrorCode GetNameAttribute(const char* name_text, const char* key, char separator,
                                  char* value);
LibraryErrorCode GetNameAttribute(std::string_view name_text, std::string_view key,
                                  char separator, std::string* value);

// A person's name for lists and captions: the common name; else given name and
// surname joined by a blank; else the pseudonym and " (pseudonim)"; else one
// blank. Read from the subject's own attributes, so no value can stand in for
// another attribute.
LibraryErrorCode GetDisplayName(X509Context* context, char* text, uint32_t* size);

// The issuer Name of a CRL or a certificate as an RFC 2253 string: attributes
// in reverse order joined by ",", PrintableString values only (short names for
// CN L ST O OU C STREET DC UID, "oid=#hex" of the whole value for other
// types), OCTET STRING values as "=#" and the hex of their content, other
// value types left out. Null context: LIB_E_NO_CERTIFICATE; a Name that does
// not decode: 13. The string type is not used.
LibraryErrorCode CrlIssuerToRfc2253(const platform::CrlContext* crl, uint32_t string_type,
                                    char* text, uint32_t* size);
LibraryErrorCode CertIssuerToRfc2253(const platform::CertContext* cert, uint32_t string_type,
                                     char* text, uint32_t* size);

// An attribute value with RFC 2253 escaping.
std::string EscapeRfc2253(std::string_view value);

// Every byte as two lower-case hex digits; the stream's number base is restored.
void WriteAsnHex(std::span<const uint8_t> buffer, std::ostream& out);

}  // namespace vel::crypto
