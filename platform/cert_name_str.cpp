#include "platform/cert_name_str.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/der_tlv.h"

namespace vel::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  // A NUL inside a value would cut the C text that callers pass around, hiding
  // the attributes after it; it is shown as the replacement character instead.
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes UTF-8; with `strict` an ill-formed sequence fails, otherwise each
// maximal ill-formed part becomes one replacement character.
bool DecodeUtf8(std::span<const uint8_t> in, bool strict, std::string& out) {
  size_t i = 0;
  while (i < in.size()) {
    const uint8_t b = in[i];
    if (b < 0x80) {
      AppendUtf8(out, b);
      ++i;
      continue;
    }
    int need = 0;
    char32_t cp = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      AppendUtf8(out, kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    int got = 0;
    for (; got < need && j < in.size(); ++got, ++j) {
      const uint8_t c = in[j];
      if (c < lo || c > hi) break;
      lo = 0x80;
      hi = 0xBF;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (got < need) {
      if (strict) return false;
      AppendUtf8(out, kReplacement);
      i = j;
      continue;
    }
    AppendUtf8(out, cp);
    i = j;
  }
  return true;
}

void DecodeLatin1(std::span<const uint8_t> in, std::string& out) {
  for (uint8_t b : in) AppendUtf8(out, b);
}

// BMPString: UTF-16 big-endian as the platform's wide strings hold it; a
// surrogate pair joins, a lone surrogate becomes the replacement character.
bool DecodeBmp(std::span<const uint8_t> in, std::string& out) {
  if (in.size() % 2 != 0) return false;
  for (size_t i = 0; i < in.size(); i += 2) {
    char32_t u = (char32_t{in[i]} << 8) | in[i + 1];
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < in.size()) {
      const char32_t v = (char32_t{in[i + 2]} << 8) | in[i + 3];
      if (v >= 0xDC00 && v <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, u);
  }
  return true;
}

bool DecodeUniversal(std::span<const uint8_t> in, std::string& out) {
  if (in.size() % 4 != 0) return false;
  for (size_t i = 0; i < in.size(); i += 4) {
    const uint32_t cp = (uint32_t{in[i]} << 24) | (uint32_t{in[i + 1]} << 16) |
                        (uint32_t{in[i + 2]} << 8) | in[i + 3];
    AppendUtf8(out, static_cast<char32_t>(cp));
  }
  return true;
}

void AppendHex(std::string& out, std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool NeedsQuotes(const std::string& v) {
  if (v.empty() || IsSpace(v.front()) || IsSpace(v.back())) return true;
  return v.find_first_of(",+=\"\n<>#;") != std::string::npos;
}

std::string Quote(const std::string& v) {
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// Reads one attribute value; false when a string value is malformed.
bool ReadValue(const Tlv& value, uint32_t str_type, NameAttribute& out) {
  std::string& text = out.text;
  if (value.cls == V_ASN1_UNIVERSAL && !value.constructed) {
    switch (value.tag) {
      case V_ASN1_UTF8STRING:
        DecodeUtf8(value.content, false, text);
        return true;
      case V_ASN1_BMPSTRING:
        return DecodeBmp(value.content, text);
      case V_ASN1_UNIVERSALSTRING:
        return DecodeUniversal(value.content, text);
      case V_ASN1_T61STRING:
        // A Teletex value is read as UTF-8 first when it is well formed, as
        // the platform does unless told otherwise; else as 8-bit characters.
        if ((str_type & kCertNameStrDisableIe4Utf8Flag) != 0 ||
            !DecodeUtf8(value.content, true, text)) {
          text.clear();
          DecodeLatin1(value.content, text);
        }
        return true;
      case V_ASN1_NUMERICSTRING:
      case V_ASN1_PRINTABLESTRING:
      case V_ASN1_VIDEOTEXSTRING:
      case V_ASN1_IA5STRING:
      case V_ASN1_GRAPHICSTRING:
      case V_ASN1_VISIBLESTRING:
      case V_ASN1_GENERALSTRING:
        DecodeLatin1(value.content, text);
        return true;
      case V_ASN1_OCTET_STRING:
        out.hex = true;
        text.assign(1, '#');
        AppendHex(text, value.content);
        return true;
      default:
        break;
    }
  }
  out.hex = true;
  text.assign(1, '#');
  AppendHex(text, value.whole);
  return true;
}

bool OidText(const Tlv& oid_tlv, std::string& out) {
  const unsigned char* p = oid_tlv.whole.data();
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(
      d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid_tlv.whole.size())), ASN1_OBJECT_free);
  if (!obj || p != oid_tlv.whole.data() + oid_tlv.whole.size()) return false;
  const int len = OBJ_obj2txt(nullptr, 0, obj.get(), 1);
  if (len <= 0) return false;
  std::string text(static_cast<size_t>(len) + 1, '\0');
  OBJ_obj2txt(text.data(), len + 1, obj.get(), 1);
  text.resize(static_cast<size_t>(len));
  out = std::move(text);
  return true;
}

}  // namespace

std::string X500KeyForOid(const std::string& dotted_oid) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 18> kKeys{{
      {"2.5.4.3", "CN"},
      {"2.5.4.7", "L"},
      {"2.5.4.10", "O"},
      {"2.5.4.11", "OU"},
      {"1.2.840.113549.1.9.1", "E"},
      {"2.5.4.6", "C"},
      {"2.5.4.8", "S"},
      {"2.5.4.9", "STREET"},
      {"2.5.4.12", "T"},
      {"2.5.4.42", "G"},
      {"2.5.4.43", "I"},
      {"2.5.4.4", "SN"},
      {"2.5.4.5", "SERIALNUMBER"},
      {"0.9.2342.19200300.100.1.25", "DC"},
      {"2.5.4.13", "Description"},
      {"2.5.4.17", "PostalCode"},
      {"2.5.4.18", "POBox"},
      {"2.5.4.20", "Phone"},
  }};
  for (const auto& [oid, key] : kKeys)
    if (oid == dotted_oid) return std::string(key);
  return {};
}

std::optional<NameRdns> DecodeNameAttributes(std::span<const uint8_t> encoded_name,
                                             uint32_t str_type) {
  Tlv name;
  std::span<const uint8_t> rest = encoded_name;
  if (!ReadTlv(rest, name) || !rest.empty() || !name.Is(V_ASN1_UNIVERSAL, true, V_ASN1_SEQUENCE))
    return std::nullopt;

  NameRdns rdns;
  std::span<const uint8_t> rdn_bytes = name.content;
  while (!rdn_bytes.empty()) {
    Tlv rdn;
    if (!ReadTlv(rdn_bytes, rdn) || !rdn.Is(V_ASN1_UNIVERSAL, true, V_ASN1_SET))
      return std::nullopt;
    std::vector<NameAttribute> attrs;
    std::span<const uint8_t> atv_bytes = rdn.content;
    while (!atv_bytes.empty()) {
      Tlv atv, oid, value;
      if (!ReadTlv(atv_bytes, atv) || !atv.Is(V_ASN1_UNIVERSAL, true, V_ASN1_SEQUENCE))
        return std::nullopt;
      std::span<const uint8_t> parts = atv.content;
      if (!ReadTlv(parts, oid) || !oid.Is(V_ASN1_UNIVERSAL, false, V_ASN1_OBJECT) ||
          !ReadTlv(parts, value) || !parts.empty())
        return std::nullopt;
      NameAttribute at;
      if (!OidText(oid, at.oid) || !ReadValue(value, str_type, at)) return std::nullopt;
      attrs.push_back(std::move(at));
    }
    if (!attrs.empty()) rdns.push_back(std::move(attrs));
  }
  if (str_type & kCertNameStrReverseFlag) std::reverse(rdns.begin(), rdns.end());
  return rdns;
}

std::string FormatNameValue(const NameAttribute& attribute, uint32_t str_type) {
  const bool quoting = (str_type & kCertNameStrNoQuotingFlag) == 0;
  if (attribute.hex || !quoting || !NeedsQuotes(attribute.text)) return attribute.text;
  return Quote(attribute.text);
}

std::optional<std::string> FormatNameText(const NameRdns& rdns, uint32_t str_type) {
  const uint32_t type = str_type & kCertNameStrTypeMask;
  if (type != kCertSimpleNameStr && type != kCertOidNameStr && type != kCertX500NameStr)
    return std::nullopt;
  std::string_view rdn_sep = ", ";
  if (str_type & kCertNameStrSemicolonFlag)
    rdn_sep = "; ";
  else if (str_type & kCertNameStrCrlfFlag)
    rdn_sep = "\r\n";
  const std::string_view attr_sep = (str_type & kCertNameStrNoPlusFlag) ? " " : " + ";

  std::string out;
  for (size_t r = 0; r < rdns.size(); ++r) {
    if (r != 0) out += rdn_sep;
    for (size_t a = 0; a < rdns[r].size(); ++a) {
      if (a != 0) out += attr_sep;
      const NameAttribute& at = rdns[r][a];
      if (type == kCertOidNameStr) {
        out += at.oid;
        out += '=';
      } else if (type == kCertX500NameStr) {
        const std::string key = X500KeyForOid(at.oid);
        out += key.empty() ? "OID." + at.oid : key;
        out += '=';
      }
      out += FormatNameValue(at, str_type);
    }
  }
  return out;
}

std::optional<std::string> CertNameToStr(std::span<const uint8_t> encoded_name,
                                         uint32_t str_type) {
  const uint32_t type = str_type & kCertNameStrTypeMask;
  if (type != kCertSimpleNameStr && type != kCertOidNameStr && type != kCertX500NameStr)
    return std::nullopt;
  std::optional<NameRdns> rdns = DecodeNameAttributes(encoded_name, str_type);
  if (!rdns) return std::nullopt;
  return FormatNameText(*rdns, str_type);
}

}  // namespace vel::platform
