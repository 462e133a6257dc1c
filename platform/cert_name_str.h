// Certificate names (X.501 Name, DER) as text, the way the platform's
// name-to-text conversion writes them. Several modules parse this text, so its
// form is fixed here in one place:
//   - RDNs joined by ", " (or "; ", or "\r\n" with the flags below), in the
//     encoded order or, with the reverse flag, most specific first;
//   - attributes of one multi-valued RDN joined by " + " (one blank with the
//     no-plus flag);
//   - X.500 form: a short key ("CN", "O", ...) or "OID." and the dotted
//     identifier; OID form: the dotted identifier; simple form: values only;
//   - a value is put in double quotes when it is empty, starts or ends with
//     white space, or holds one of , + = " \n < > # ; (inner quotes doubled);
//   - a value that is not a character string is "#" and upper-case hex: the
//     content of an OCTET STRING, the whole encoding of anything else.
// Character strings come out as UTF-8, the narrow encoding of this platform.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vel::platform {

// String types and flags, with the numbers the callers pass.
inline constexpr uint32_t kCertSimpleNameStr = 1;
inline constexpr uint32_t kCertOidNameStr = 2;
inline constexpr uint32_t kCertX500NameStr = 3;
inline constexpr uint32_t kCertNameStrTypeMask = 0xFF;
inline constexpr uint32_t kCertNameStrSemicolonFlag = 0x40000000;
inline constexpr uint32_t kCertNameStrNoPlusFlag = 0x20000000;
inline constexpr uint32_t kCertNameStrNoQuotingFlag = 0x10000000;
inline constexpr uint32_t kCertNameStrCrlfFlag = 0x08000000;
inline constexpr uint32_t kCertNameStrCommaFlag = 0x04000000;
inline constexpr uint32_t kCertNameStrReverseFlag = 0x02000000;
inline constexpr uint32_t kCertNameStrDisableIe4Utf8Flag = 0x00010000;

// One attribute of a Name as read: its type and its value's characters, or,
// for a value that is not a character string, "#" and hex digits.
struct NameAttribute {
  std::string oid;   // dotted identifier
  std::string text;  // UTF-8 characters, unquoted; or "#..." when `hex`
  bool hex = false;
};
// The RDNs in text order (reversed with the reverse flag), each with its
// attributes in their encoded order. Empty RDNs are left out.
using NameRdns = std::vector<std::vector<NameAttribute>>;

// Reads an encoded Name. Empty optional when the bytes are not a Name
// (malformed DER, trailing bytes, a string value that cannot be decoded). The
// reverse flag and the Teletex flag of `str_type` apply.
std::optional<NameRdns> DecodeNameAttributes(std::span<const uint8_t> encoded_name,
                                             uint32_t str_type);

// The text of decoded attributes in the form `str_type` asks for (keys,
// separators, quoting). Empty optional for an unknown string type.
std::optional<std::string> FormatNameText(const NameRdns& rdns, uint32_t str_type);

// One value as the name text writes it: quoted when the quoting rule asks for
// it (never for "#" values or with the no-quoting flag).
std::string FormatNameValue(const NameAttribute& attribute, uint32_t str_type);

// The text of an encoded Name. Empty optional when the bytes are not a Name or
// the string type is not one of the three above; an empty Name gives an empty
// text.
std::optional<std::string> CertNameToStr(std::span<const uint8_t> encoded_name,
                                         uint32_t str_type);

// The X.500 key of an attribute type ("CN" for 2.5.4.3), or empty when the
// type has none (the X.500 form then writes "OID." and the dotted identifier).
std::string X500KeyForOid(const std::string& dotted_oid);

}  // namespace vel::platform
