// Values of the current certificate as text: issuer common name, serial
// number, validity, version, extensions (alternative names, CRL distribution
// points, qualified-certificate statements, key usage, extended key usage).
#include <time.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/cert_names.h"
#include "cryptolib/lib_strings.h"
#include "cryptolib/cert_text.h"
#include "cryptolib/der.h"
#include "cryptolib/der_utils.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_name_str.h"
#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

using detail::PutText;
using detail::SetError;

constexpr LibraryErrorCode kErrorNotFound = platform::kErrorFileNotFound;              // 2
constexpr LibraryErrorCode kErrorInvalidData = platform::kErrorInvalidData;            // 13
constexpr LibraryErrorCode kErrorInvalidParameter = platform::kErrorInvalidParameter;  // 87
constexpr LibraryErrorCode kErrorMoreData = platform::kErrorMoreData;                  // 234
// What the platform's decoder reports for a value it cannot decode.
constexpr LibraryErrorCode kDecodeError = platform::kCryptEAsn1BadTag;

// An IA5String value as text: 8-bit characters widened (UTF-8). A NUL would
// split the address lists these texts are handed out in: false.
bool Ia5ToText(std::span<const uint8_t> bytes, std::string* out) {
  out->clear();
  for (uint8_t b : bytes) {
    if (b == 0) return false;
    if (b < 0x80) {
      *out += static_cast<char>(b);
    } else {
      *out += static_cast<char>(0xC0 | (b >> 6));
      *out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return true;
}

// One GeneralName: a context-specific element [0]..[8] of the right form.
bool IsGeneralName(const der::Element& e) {
  if ((e.tag & 0xC0) != 0x80) return false;
  const unsigned n = e.tag & 0x1F;
  if (n > 8) return false;
  const bool constructed = n == 0 || n == 3 || n == 4 || n == 5;
  return e.constructed() == constructed;
}

LibraryErrorCode ReadGeneralNames(der::Reader names, std::vector<der::Element>* out) {
  while (!names.empty()) {
    der::Element e;
    if (!names.ReadElement(&e) || !IsGeneralName(e)) return kDecodeError;
    out->push_back(e);
  }
  return 0;
}

// Subject alternative name: the e-mail addresses as a double-NUL-terminated list.
LibraryErrorCode AltNameEmails(std::span<const uint8_t> value, char* text, uint32_t* size) {
  der::Reader outer(value), seq;
  if (!outer.Enter(der::kSequence, &seq) || !outer.empty()) return kDecodeError;
  std::vector<der::Element> names;
  if (LibraryErrorCode err = ReadGeneralNames(seq, &names); err != 0) return err;
  if (names.empty()) return 0;  // nothing to write
  std::string list;
  for (const der::Element& e : names) {
    if (e.tag != der::ContextPrimitive(1)) continue;
    std::string address;
    if (!Ia5ToText(e.content, &address)) return kErrorInvalidData;
    list += address;
    list += '\0';
  }
  // The list ends with one more NUL, which PutText adds.
  return PutText(list, 0, text, size);
}

// One DistributionPoint: [0] distributionPoint, [1] reasons, [2] cRLIssuer,
// each optional, in this order. *url gets the first full name when it is a URL.
LibraryErrorCode ReadDistributionPoint(std::span<const uint8_t> content, bool* has_url,
                                       std::span<const uint8_t>* url) {
  *has_url = false;
  der::Reader dp(content);
  der::Reader name;
  if (dp.Enter(der::ContextConstructed(0), &name)) {
    der::Reader full;
    if (name.Enter(der::ContextConstructed(0), &full)) {
      std::vector<der::Element> names;
      if (LibraryErrorCode err = ReadGeneralNames(full, &names); err != 0) return err;
      if (!names.empty() && names.front().tag == der::ContextPrimitive(6)) {
        *has_url = true;
        *url = names.front().content;
      }
    } else if (!name.SkipIf(der::ContextConstructed(1))) {
      return kDecodeError;
    }
    if (!name.empty()) return kDecodeError;
  }
  dp.SkipIf(der::ContextPrimitive(1));
  dp.SkipIf(der::ContextConstructed(2));
  return dp.empty() ? 0 : kDecodeError;
}

LibraryErrorCode DistributionPointUrl(std::span<const uint8_t> value, uint32_t index, char* text,
                                      uint32_t* size) {
  der::Reader outer(value), seq;
  if (!outer.Enter(der::kSequence, &seq) || !outer.empty()) return kDecodeError;
  std::vector<std::span<const uint8_t>> points;
  while (!seq.empty()) {
    std::span<const uint8_t> content;
    if (!seq.Read(der::kSequence, &content)) return kDecodeError;
    bool has_url = false;
    std::span<const uint8_t> url;
    if (LibraryErrorCode err = ReadDistributionPoint(content, &has_url, &url); err != 0) return err;
    points.push_back(content);
  }
  if (index >= points.size()) return kErrorNotFound;
  bool has_url = false;
  std::span<const uint8_t> url;
  ReadDistributionPoint(points[index], &has_url, &url);
  // A point named only by its CRL issuer, or whose first name is no URL, has no address to give.
  if (!has_url) return kErrorNotFound;
  std::string out;
  if (!Ia5ToText(url, &out)) return kErrorInvalidData;
  return PutText(out, 0, text, size);
}

bool IsDefinite(const DerNode* node) { return node->element[1] != 0x80; }

// A signed INTEGER or ENUMERATED of at most 8 content bytes.
bool NodeInteger(const DerNode* node, int64_t* value) {
  const std::span<const uint8_t> c = node->content_bytes();
  if (c.empty() || c.size() > 8 || !IsDefinite(node)) return false;
  uint64_t v = (c[0] & 0x80) ? ~uint64_t{0} : 0;
  for (uint8_t b : c) v = (v << 8) | b;
  *value = static_cast<int64_t>(v);
  return true;
}

bool IsPrintable(std::span<const uint8_t> s) {
  for (uint8_t c : s) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    std::strchr(" '()+,-./:=?", c) != nullptr;
    if (!ok || c == 0) return false;
  }
  return true;
}

constexpr size_t kMaxCurrencyLength = 39;
constexpr size_t kMaxAmountText = 99;

// QcEuLimitValue: SEQUENCE { currency PrintableString, amount INTEGER, exponent INTEGER }.
// The limit is amount x 10^exponent; the exponent is a signed INTEGER, and a
// negative one, or one whose zeros would not fit the amount text, is malformed.
LibraryErrorCode LimitText(const DerNode* info, std::string* out) {
  if (info == nullptr || info->tag != der::kSequence || !IsDefinite(info)) return kErrorInvalidData;
  const DerNode* currency = info->first_child.get();
  const DerNode* amount = currency ? currency->next_sibling.get() : nullptr;
  const DerNode* exponent = amount ? amount->next_sibling.get() : nullptr;
  if (exponent == nullptr || exponent->next_sibling != nullptr) return kErrorInvalidData;
  if (currency->tag != der::kPrintableString || amount->tag != der::kInteger ||
      exponent->tag != der::kInteger || !IsDefinite(currency))
    return kErrorInvalidData;
  const std::span<const uint8_t> code = currency->content_bytes();
  if (code.empty() || code.size() > kMaxCurrencyLength || !IsPrintable(code)) return kErrorInvalidData;
  const std::span<const uint8_t> a = amount->content_bytes();
  if (a.empty() || a.size() > 4 || (a[0] & 0x80) != 0 || !IsDefinite(amount)) return kErrorInvalidData;
  uint32_t amount_value = 0;
  for (uint8_t b : a) amount_value = (amount_value << 8) | b;
  int64_t zeros = 0;
  if (!NodeInteger(exponent, &zeros) || zeros < 0) return kErrorInvalidData;
  std::string digits = std::to_string(amount_value);
  if (static_cast<uint64_t>(zeros) > kMaxAmountText) return kErrorInvalidData;
  const size_t length = digits.size() + static_cast<size_t>(zeros) + 1 + code.size();
  if (length > kMaxAmountText) return kErrorInvalidData;
  digits.append(static_cast<size_t>(zeros), '0');
  digits += ' ';
  digits.append(code.begin(), code.end());
  *out += "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: ";
  *out += digits;
  *out += "\r\n";
  return 0;
}

LibraryErrorCode RoleText(const DerNode* info, std::string* out) {
  static constexpr const char* kRoles[] = {
      "Podmiot składający podpis działa we własnym imieniu.\r\n",
      "Podmiot składający podpis działa jako przedstawiciel innej osoby fizycznej, osoby prawnej, "
      "albo jednostki organizacyjnej nieposiadającej osobowości prawnej.\r\n",
      "Podmiot składający podpis działa w charakterze członka organu albo organu osoby prawnej, "
      "albo jednostki organizacyjnej nieposiadającej osobowości prawnej.\r\n",
      "Podmiot składający podpis działa jako organ władzy publicznej.\r\n",
  };
  int64_t role = 0;
  if (info == nullptr || info->tag != der::kEnumerated || info->content_length != 1 ||
      !NodeInteger(info, &role) || role < 1 || role > 4)
    return kErrorInvalidData;
  *out += kRoles[role - 1];
  return 0;
}

LibraryErrorCode QcStatementsText(std::span<const uint8_t> value, char* text, uint32_t* size) {
  if (value.empty()) return kErrorInvalidData;
  DerNode root;
  LibraryErrorCode err = BuildDerTree(value.data(), &root, value.data() + value.size() - 1);
  if (err != 0) return err;
  if (root.tag != der::kSequence) return kErrorInvalidData;
  std::string out;
  for (const DerNode* st = root.first_child.get(); st != nullptr; st = st->next_sibling.get()) {
    const DerNode* oid_node = st->first_child.get();
    if (st->tag != der::kSequence || oid_node == nullptr || oid_node->tag != der::kOid)
      return kErrorInvalidData;
    std::string oid;
    if (!der::OidContentToText(oid_node->content_bytes(), &oid)) return kErrorInvalidData;
    const DerNode* info = oid_node->next_sibling.get();
    if (oid == "0.4.0.1862.1.2") err = LimitText(info, &out);
    else if (oid == "1.2.616.1.101.3.1.1.2") err = RoleText(info, &out);
    if (err != 0) return err;
  }
  return PutText(out, 0, text, size);
}

// The extension value by the size-then-bytes road of GetExtension.
LibraryErrorCode ReadExtension(X509Context* context, const char* oid, std::vector<uint8_t>* value) {
  uint32_t size = 0;
  LibraryErrorCode err = GetExtension(context, oid, nullptr, &size);
  if (err != kErrorMoreData) return err;
  value->resize(size);
  return GetExtension(context, oid, value->data(), &size);
}

std::string TimeText(const platform::CertTime& t, const char* suffix) {
  const char* format = "%04d-%02d-%02d %02d:%02d:%02d%s";
  const int n = std::snprintf(nullptr, 0, format, t.year, t.month, t.day, t.hour, t.minute,
                              t.second, suffix);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, t.year, t.month, t.day, t.hour, t.minute,
                t.second, suffix);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

LibraryErrorCode GetIssuerCommonName(X509Context* context, char* text, uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  std::optional<platform::NameRdns> rdns = platform::DecodeNameAttributes(
      context->certificate->issuer_der(), CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
  if (!rdns) return SetError(context, 0x80004005);
  // The most specific common name: the first one in reversed order, found by
  // its attribute type, so that no other value can stand in for it.
  for (const auto& rdn : *rdns) {
    for (const platform::NameAttribute& at : rdn) {
      if (at.oid != "2.5.4.3") continue;
      std::string value;
      LibraryErrorCode err = detail::AttributeValueText(at, context->field_separator,
                                                        context->value_separator, &value);
      if (err == 0) err = PutText(value, 0, text, size);
      return SetError(context, err);
    }
  }
  return SetError(context, kErrorInvalidData);
}

LibraryErrorCode GetSerialNumberHex(X509Context* context, char* text, uint32_t* size) {
  // Leaves the last error as it was.
  if (context == nullptr || size == nullptr) return kErrorInvalidParameter;
  if (!context->certificate) return LIB_E_NO_CERTIFICATE;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t b : context->certificate->serial()) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return PutText(hex, 0, text, size);
}

LibraryErrorCode GetValidityText(X509Context* context, uint32_t which, bool utc, char* text,
                                 uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  if (which > 1) return kErrorInvalidParameter;  // the selector check leaves the last error
  const platform::CertTime t =
      which == 0 ? context->certificate->not_before() : context->certificate->not_after();
  std::string out;
  if (utc) {
    out = TimeText(t, " (UTC)");
  } else {
    const time_t when = t.ToTimeT();
    struct tm local {};
    if (localtime_r(&when, &local) == nullptr) return SetError(context, kErrorInvalidParameter);
    platform::CertTime lt;
    lt.year = local.tm_year + 1900;
    lt.month = local.tm_mon + 1;
    lt.day = local.tm_mday;
    lt.hour = local.tm_hour;
    lt.minute = local.tm_min;
    lt.second = local.tm_sec;
    out = TimeText(lt, "");
  }
  const uint32_t needed = static_cast<uint32_t>(out.size() + 1);  // 26 or 20
  if (text == nullptr || *size < needed) {
    *size = needed;
    return SetError(context, kErrorMoreData);
  }
  return SetError(context, PutText(out, needed, text, size));
}

LibraryErrorCode GetCertificateVersion(X509Context* context, uint32_t* version) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (version == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  *version = context->certificate->version();
  return SetError(context, 0);
}

LibraryErrorCode GetExtension(X509Context* context, const char* oid, uint8_t* buffer,
                              uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (oid == nullptr || size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  std::vector<uint8_t> value;
  if (!context->certificate->FindExtension(oid, &value)) return SetError(context, kErrorNotFound);
  if (buffer == nullptr || *size < value.size()) {
    *size = static_cast<uint32_t>(value.size());
    return SetError(context, kErrorMoreData);
  }
  std::memcpy(buffer, value.data(), value.size());
  return 0;  // the size and the last error are left as they were
}

LibraryErrorCode FormatExtensionText(X509Context* context, const char* oid,
                                     const uint8_t* value, uint32_t value_length,
                                     uint32_t index, char* text, uint32_t* size) {
  if (oid == nullptr || size == nullptr || (value == nullptr && value_length != 0))
    return SetError(context, kErrorInvalidParameter);
  const std::span<const uint8_t> bytes(value, value ? value_length : 0);
  const std::string_view id(oid);
  LibraryErrorCode err;
  if (id == "2.5.29.17") err = AltNameEmails(bytes, text, size);
  else if (id == "2.5.29.31") err = DistributionPointUrl(bytes, index, text, size);
  else if (id == "1.3.6.1.5.5.7.1.3") err = QcStatementsText(bytes, text, size);
  else err = kErrorInvalidParameter;
  return SetError(context, err);
}

LibraryErrorCode GetKeyUsageText(X509Context* context, char* text, uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  std::vector<uint8_t> value;
  if (LibraryErrorCode err = ReadExtension(context, "2.5.29.15", &value); err != 0)
    return SetError(context, err);
  if (value.size() != 4 || value[0] != 0x03 || value[1] != 0x02)
    return SetError(context, kErrorInvalidData);
  std::string out;
  for (uint32_t bit = 0; bit < 8; ++bit) {
    if ((value[3] & (0x80 >> bit)) == 0) continue;
    if (!out.empty()) out += ", ";
    out += ui::GetLibString(101 + bit);
  }
  return SetError(context, PutText(out, 0, text, size));
}

const char* EkuOidToName(const char* oid) {
  static constexpr std::pair<const char*, uint32_t> kUsages[] = {
      {"1.3.6.1.5.5.7.3.1", 111}, {"1.3.6.1.5.5.7.3.2", 112}, {"1.3.6.1.5.5.7.3.3", 113},
      {"1.3.6.1.5.5.7.3.4", 114}, {"1.3.6.1.5.5.7.3.5", 115}, {"1.3.6.1.5.5.7.3.6", 116},
      {"1.3.6.1.5.5.7.3.7", 117}, {"1.3.6.1.5.5.7.3.8", 118}, {"1.3.6.1.4.1.311.20.2.2", 119},
      {"1.3.6.1.5.5.7.3.9", 120},
  };
  if (oid != nullptr)
    for (const auto& [o, id] : kUsages)
      if (std::strcmp(oid, o) == 0) return ui::GetLibString(id);
  return ui::GetLibString(110);
}

LibraryErrorCode GetEnhancedKeyUsageText(X509Context* context, char* text, uint32_t* size) {
  if (context == nullptr) return kErrorInvalidParameter;
  if (size == nullptr) return SetError(context, kErrorInvalidParameter);
  if (!context->certificate) return SetError(context, LIB_E_NO_CERTIFICATE);
  std::vector<uint8_t> value;
  if (LibraryErrorCode err = ReadExtension(context, "2.5.29.37", &value); err != 0)
    return SetError(context, err);
  der::Reader outer(value), seq;
  if (!outer.Enter(der::kSequence, &seq) || !outer.empty()) return SetError(context, kDecodeError);
  // The text grows with its entries; nothing is sized from the certificate.
  std::string out;
  while (!seq.empty()) {
    std::string oid;
    if (!seq.ReadOid(&oid)) return SetError(context, kDecodeError);
    if (!out.empty()) out += ", ";
    out += EkuOidToName(oid.c_str());
    out += " (";
    out += oid;
    out += ")";
  }
  return SetError(context, PutText(out, 0, text, size));
}

}  // namespace vel::crypto
