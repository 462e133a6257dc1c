// Names as text: subject and issuer texts, attribute lookup, display name and
// the RFC 2253 form of an issuer.
#include "cryptolib/cert_names.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <limits>
#include <optional>
#include <vector>

#include "cryptolib/cert_text.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "platform/cert_name_str.h"
#include "platform/win32_error.h"

namespace vel::crypto {

namespace detail {

LibraryErrorCode PutText(std::string_view text, uint32_t needed, char* out, uint32_t* size) {
  if (text.size() >= std::numeric_limits<uint32_t>::max()) return platform::kErrorInvalidData;
  needed = std::max(needed, static_cast<uint32_t>(text.size() + 1));
  if (out == nullptr || *size < needed) {
    *size = needed;
    return platform::kErrorMoreData;
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  *size = static_cast<uint32_t>(text.size() + 1);
  return 0;
}

LibraryErrorCode AttributeValueText(const platform::NameAttribute& attribute, char separator,
                                    char join, std::string* text) {
  if (!attribute.hex) {
    *text = attribute.text;
    return 0;
  }
  std::string one = "X=" + attribute.text;
  const LibraryErrorCode err = DecodeHexValues(&one, separator, join);
  if (err != 0) return err;
  *text = one.substr(2);
  return 0;
}

}  // namespace detail

namespace {

using detail::PutText;
using detail::SetError;
using platform::NameAttribute;
using platform::NameRdns;

constexpr LibraryErrorCode kEFail = 0x80004005;
constexpr LibraryErrorCode kErrorInvalidParameter = platform::kErrorInvalidParameter;
constexpr LibraryErrorCode kErrorInvalidData = platform::kErrorInvalidData;
constexpr LibraryErrorCode kErrorNotFound = platform::kErrorFileNotFound;

// Replaces every "#" value by the text of its UTF8Strings.
LibraryErrorCode RenderHexValues(NameRdns& rdns, const X509Context& context) {
  for (auto& rdn : rdns) {
    for (NameAttribute& at : rdn) {
      if (!at.hex) continue;
      std::string text;
      const LibraryErrorCode err =
          detail::AttributeValueText(at, context.field_separator, context.value_separator, &text);
      if (err != 0) return err;
      at.text = std::move(text);
      at.hex = false;
    }
  }
  return 0;
}

// Steps shared by the subject and issuer texts: the platform's text decides
// the needed size; the text handed out has its "#" values rendered, with
// (issuer) or without (subject) the platform's quotes.
LibraryErrorCode NameText(X509Context* context, bool issuer, uint32_t string_type, char* text,
                          uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  if (issuer) string_type |= platform::kCertNameStrReverseFlag;
  const std::span<const uint8_t> name =
      issuer ? context->certificate->issuer_der() : context->certificate->subject_der();
  std::optional<NameRdns> rdns = platform::DecodeNameAttributes(name, string_type);
  std::optional<std::string> raw = rdns ? platform::FormatNameText(*rdns, string_type) : std::nullopt;
  if (!raw) return SetError(context, kEFail);
  LibraryErrorCode err = RenderHexValues(*rdns, *context);
  if (err != 0) return SetError(context, err);
  // The subject is handed out for reading: values without their quotes. The
  // issuer keeps them, rendered values included, so that it parses again.
  if (!issuer) string_type |= platform::kCertNameStrNoQuotingFlag;
  std::optional<std::string> out = platform::FormatNameText(*rdns, string_type);
  if (!out) return SetError(context, kEFail);
  // The platform's text sets the size; a rendered value is shorter, except
  // when ill-formed UTF-8 turns into replacement characters.
  const size_t needed = std::max(raw->size(), out->size()) + 1;
  if (needed >= std::numeric_limits<uint32_t>::max()) return SetError(context, kErrorInvalidData);
  std::replace(out->begin(), out->end(), ',', context->field_separator);
  return SetError(context, PutText(*out, static_cast<uint32_t>(needed), text, size));
}

bool IsKeyChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// True when an attribute ("key=") starts at `pos`, blanks before it skipped;
// *start gets the key's first character.
bool AttributeStartsAt(std::string_view text, size_t pos, size_t* start) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  size_t end = pos;
  while (end < text.size() && IsKeyChar(text[end])) ++end;
  if (end == pos || end >= text.size() || text[end] != '=') return false;
  *start = pos;
  return true;
}

// Walks the attributes of a name text: quoted values are skipped whole, and
// an attribute starts only at the text's start or after a separator or '+'.
struct AttributeWalker {
  std::string_view text;
  char separator;
  size_t pos = 0;  // start of the next attribute's key; npos at the end
  bool first = true;

  // The next attribute; false at the end. 13 in *error for an unterminated quote.
  bool Next(std::string_view* key, std::string* value, LibraryErrorCode* error) {
    *error = 0;
    if (first) {
      first = false;
      size_t start = 0;
      if (!AttributeStartsAt(text, 0, &start)) return false;
      pos = start;
    }
    if (pos == std::string_view::npos || pos >= text.size()) return false;
    const size_t eq = text.find('=', pos);
    *key = text.substr(pos, eq - pos);
    size_t i = eq + 1;
    value->clear();
    bool quoted = false;
    if (i < text.size() && text[i] == '"') {
      quoted = true;
      ++i;
      for (;;) {
        if (i >= text.size()) {
          *error = kErrorInvalidData;
          return false;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            *value += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        *value += text[i++];
      }
    }
    // The value (or what follows a quoted one) ends where the next attribute starts.
    const size_t value_start = i;
    size_t next = std::string_view::npos, value_end = text.size();
    for (size_t j = i; j < text.size(); ++j) {
      if (text[j] != separator && text[j] != '+') continue;
      size_t start = 0;
      if (AttributeStartsAt(text, j + 1, &start)) {
        next = start;
        value_end = j;
        if (text[j] == '+' && value_end > value_start && text[value_end - 1] == ' ') --value_end;
        break;
      }
    }
    if (!quoted) *value = std::string(text.substr(value_start, value_end - value_start));
    pos = next;
    return true;
  }
};

std::string LowerHex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

const char* Rfc2253ShortName(const std::string& oid) {
  static constexpr std::pair<const char*, const char*> kNames[] = {
      {"2.5.4.3", "CN"},  {"2.5.4.7", "L"},       {"2.5.4.8", "ST"},
      {"2.5.4.10", "O"},  {"2.5.4.11", "OU"},     {"2.5.4.6", "C"},
      {"2.5.4.9", "STREET"}, {"0.9.2342.19200300.100.1.25", "DC"},
      {"0.9.2342.19200300.100.1.1", "UID"},
  };
  for (const auto& [o, n] : kNames)
    if (oid == o) return n;
  return nullptr;
}

// The OCTET STRING content of a value (primitive, or constructed of
// primitive segments); false when it is not one.
bool OctetStringContent(const der::Element& value, std::vector<uint8_t>* out) {
  if (value.tag == der::kOctetString) {
    out->assign(value.content.begin(), value.content.end());
    return true;
  }
  if (value.tag != (der::kOctetString | der::kConstructedBit)) return false;
  out->clear();
  der::Reader segments(value.content);
  while (!segments.empty()) {
    std::span<const uint8_t> part;
    if (!segments.Read(der::kOctetString, &part)) return false;
    out->insert(out->end(), part.begin(), part.end());
  }
  return true;
}

LibraryErrorCode NameToRfc2253(std::span<const uint8_t> name, char* text, uint32_t* size) {
  der::Reader outer(name);
  der::Reader rdns;
  if (!outer.Enter(der::kSequence, &rdns) || !outer.empty()) return kErrorInvalidData;
  std::vector<std::string> parts;
  size_t sum = 0;
  while (!rdns.empty()) {
    der::Reader rdn;
    if (!rdns.Enter(der::kSet, &rdn)) return kErrorInvalidData;
    while (!rdn.empty()) {
      der::Reader atv;
      std::string oid;
      der::Element value;
      if (!rdn.Enter(der::kSequence, &atv) || !atv.ReadOid(&oid) || !atv.ReadElement(&value) ||
          !atv.empty())
        return kErrorInvalidData;
      const char* short_name = Rfc2253ShortName(oid);
      std::string part;
      std::vector<uint8_t> octets;
      if (value.tag == der::kPrintableString) {
        if (short_name != nullptr) {
          part = std::string(short_name) + "=" +
                 EscapeRfc2253(std::string_view(reinterpret_cast<const char*>(value.content.data()),
                                                value.content.size()));
        } else {
          part = oid + "=#" + LowerHex(value.encoded);
        }
      } else if (OctetStringContent(value, &octets)) {
        part = (short_name != nullptr ? std::string(short_name) : oid) + "=#" + LowerHex(octets);
      } else {
        continue;  // other value types are left out
      }
      sum += part.size();
      parts.push_back(std::move(part));
    }
  }
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!out.empty()) out += ',';
    out += *it;
  }
  // Room for the separators of any number of attributes, not only eleven.
  const size_t needed = std::max(sum + 11, out.size() + 1);
  if (needed >= std::numeric_limits<uint32_t>::max()) return kErrorInvalidData;
  return PutText(out, static_cast<uint32_t>(needed), text, size);
}

}  // namespace

LibraryErrorCode GetSubjectString(X509Context* context, uint32_t string_type, char* text,
                                  uint32_t* size) {
  return NameText(context, false, string_type, text, size);
}

LibraryErrorCode GetIssuerString(X509Context* context, uint32_t string_type, char* text,
                                 uint32_t* size) {
  return NameText(context, true, string_type, text, size);
}

LibraryErrorCode GetNameAttribute(std::string_view name_text, std::string_view key,
                                  char separator, std::string* value) {
  if (value == nullptr || key.empty()) return kErrorInvalidParameter;
  AttributeWalker walker{name_text, separator};
  std::string_view k;
  std::string v;
  LibraryErrorCode err = 0;
  while (walker.Next(&k, &v, &err)) {
    if (k == key) {
      *value = std::move(v);
      return 0;
    }
  }
  return err != 0 ? err : kErrorNotFound;
}

LibraryErrorCode GetNameAttribute(const char* name_text, const char* key, char separator,
                                  char* value) {
  if (name_text == nullptr || key == nullptr || value == nullptr) return kErrorInvalidParameter;
  std::string v;
  const LibraryErrorCode err = GetNameAttribute(std::string_view(name_text), key, separator, &v);
  if (err != 0) return err;
  // The value is a part of the text (quotes only removed), so it fits.
  std::memcpy(value, v.c_str(), v.size() + 1);
  return 0;
}

LibraryErrorCode GetDisplayName(X509Context* context, char* text, uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  std::optional<NameRdns> rdns =
      platform::DecodeNameAttributes(context->certificate->subject_der(), CERT_OID_NAME_STR);
  if (!rdns) return SetError(context, kEFail);

  // The first attribute of a type, in the subject's order.
  auto find = [&](const char* oid, std::string* value) -> LibraryErrorCode {
    for (const auto& rdn : *rdns)
      for (const NameAttribute& at : rdn)
        if (at.oid == oid)
          return detail::AttributeValueText(at, context->field_separator,
                                            context->value_separator, value);
    return kErrorNotFound;
  };
  std::string name, given, surname;
  LibraryErrorCode err = find("2.5.4.3", &name);
  if (err == kErrorNotFound) {
    err = find("2.5.4.42", &given);
    LibraryErrorCode err2 = err == 0 || err == kErrorNotFound ? find("2.5.4.4", &surname) : err;
    if (err == 0 && err2 == 0) {
      name = given + " " + surname;
    } else if (err != 0 && err != kErrorNotFound) {
      return SetError(context, err);
    } else if (err2 != 0 && err2 != kErrorNotFound) {
      return SetError(context, err2);
    } else {
      err = find("2.5.4.65", &name);
      if (err == 0) name += " (pseudonim)";
      else if (err == kErrorNotFound) name = " ";
      else return SetError(context, err);
    }
  } else if (err != 0) {
    return SetError(context, err);
  }
  return SetError(context, PutText(name, 0, text, size));
}

LibraryErrorCode CrlIssuerToRfc2253(const platform::CrlContext* crl, uint32_t /*string_type*/,
                                    char* text, uint32_t* size) {
  if (crl == nullptr) return LIB_E_NO_CERTIFICATE;
  if (size == nullptr) return kErrorInvalidParameter;
  return NameToRfc2253(crl->issuer_der(), text, size);
}

LibraryErrorCode CertIssuerToRfc2253(const platform::CertContext* cert, uint32_t /*string_type*/,
                                     char* text, uint32_t* size) {
  if (cert == nullptr) return LIB_E_NO_CERTIFICATE;
  if (size == nullptr) return kErrorInvalidParameter;
  return NameToRfc2253(cert->issuer_der(), text, size);
}

std::string EscapeRfc2253(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\0') {
      out += "\\00";  // a NUL would end the text early
      continue;
    }
    if (std::strchr("\\,+\"<>;", c) != nullptr) out += '\\';
    out += c;
  }
  bool lead_blank = false;
  if (!out.empty() && out.front() == ' ') {
    out.insert(out.begin(), '\\');
    lead_blank = true;
  }
  if (!out.empty() && out.front() == '#') out.insert(out.begin(), '\\');
  if (!out.empty() && out.back() == ' ' && !(lead_blank && out.size() == 2))
    out.insert(out.end() - 1, '\\');
  return out;
}

void WriteAsnHex(std::span<const uint8_t> buffer, std::ostream& out) {
  const std::ios_base::fmtflags flags = out.flags();
  const char fill = out.fill();
  for (uint8_t b : buffer) out << std::hex << std::setw(2) << std::setfill('0') << static_cast<unsigned>(b);
  out.flags(flags);
  out.fill(fill);
}

}  // namespace vel::crypto
