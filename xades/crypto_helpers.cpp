#include "xades/crypto_helpers.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <sstream>

#include "cryptolib/cert_names.h"
#include "cryptolib/der.h"
#include "cryptolib/x509_context.h"
#include "xades/base64.h"
#include "xades/big_integer.h"
#include "xades/engine_messages.h"

namespace vel::xades {
namespace {

constexpr uint32_t kRenderFailed = 34;
constexpr uint32_t kMoreData = 234;
// CryptoAPI's X.500 name text with the reverse flag.
constexpr uint32_t kX500Reverse = crypto::CERT_X500_NAME_STR | crypto::CERT_NAME_STR_REVERSE_FLAG;
// Serial and CRL numbers are at most 20 octets by RFC 5280; anything past
// this is refused rather than converted at quadratic cost.
constexpr size_t kMaxNumberOctets = 1024;

// The decimal text of an unsigned big-endian number; none when too long.
std::optional<std::string> DecimalOf(std::span<const uint8_t> octets) {
  if (octets.size() > kMaxNumberOctets) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(octets.size() * 2 + 1);
  for (uint8_t b : octets) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  if (hex.empty()) hex.push_back('0');
  try {
    return hexToDecimal(hex);
  } catch (const char*) {
    return std::nullopt;
  }
}

// A size-rule text: passes the renderer's answer when asked for the size,
// and any failure with a buffer as 34.
template <typename Render>
uint32_t SizeRuleText(char* buffer, uint32_t* size, Render render) {
  if (size == nullptr) return kRenderFailed;
  if (buffer == nullptr || *size == 0) return render(nullptr, size);
  return render(buffer, size) == 0 ? 0 : kRenderFailed;
}

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// One attribute of a Name as encoded.
struct NameValue {
  std::string oid;
  der::Element value;
};
using NameRdns = std::vector<std::vector<NameValue>>;

// The RDNs of an encoded Name in their encoded order; none when the bytes
// are not a Name.
std::optional<NameRdns> DecodeName(std::span<const uint8_t> name) {
  der::Reader outer(name);
  der::Reader rdns;
  if (!outer.Enter(der::kSequence, &rdns) || !outer.empty()) return std::nullopt;
  NameRdns out;
  while (!rdns.empty()) {
    der::Reader rdn;
    if (!rdns.Enter(der::kSet, &rdn)) return std::nullopt;
    std::vector<NameValue> attributes;
    while (!rdn.empty()) {
      der::Reader atv;
      NameValue at;
      if (!rdn.Enter(der::kSequence, &atv) || !atv.ReadOid(&at.oid) || !atv.ReadElement(&at.value) ||
          !atv.empty())
        return std::nullopt;
      attributes.push_back(std::move(at));
    }
    if (!attributes.empty()) out.push_back(std::move(attributes));
  }
  return out;
}

// The UTF-8 characters of a string value; none for a value that is not a
// character string (or not a well-formed one).
std::optional<std::string> StringValue(const der::Element& value) {
  std::string out;
  if (!der::StringToUtf8(value.tag, value.content, &out)) return std::nullopt;
  return out;
}

// The attribute types RFC 2253 names; every other is written as its OID.
constexpr std::pair<const char*, const char*> kIssuerKeywords[] = {
    {"2.5.4.3", "CN"}, {"2.5.4.7", "L"},  {"2.5.4.8", "ST"}, {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"}, {"2.5.4.6", "C"}, {"2.5.4.9", "STREET"},
    {"0.9.2342.19200300.100.1.25", "DC"}, {"0.9.2342.19200300.100.1.1", "UID"}};
// Further keywords other producers write for a type (read only).
constexpr std::pair<const char*, const char*> kIssuerAliases[] = {
    {"1.2.840.113549.1.9.1", "E"},      {"1.2.840.113549.1.9.1", "EMAIL"},
    {"1.2.840.113549.1.9.1", "EMAILADDRESS"}, {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.4", "SN"},                  {"2.5.4.4", "SURNAME"},
    {"2.5.4.42", "G"},                  {"2.5.4.42", "GN"},
    {"2.5.4.42", "GIVENNAME"},          {"2.5.4.12", "T"},
    {"2.5.4.12", "TITLE"},              {"2.5.4.8", "S"},
    {"2.5.4.97", "ORGANIZATIONIDENTIFIER"}, {"2.5.4.46", "DNQUALIFIER"}};

const char* KeywordOf(std::string_view oid) {
  for (const auto& [o, k] : kIssuerKeywords)
    if (oid == o) return k;
  return nullptr;
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

void AppendHexByte(uint8_t b, std::string* out) {
  out->push_back(kUpperHex[b >> 4]);
  out->push_back(kUpperHex[b & 15]);
}

// RFC 2253 escaping as `openssl -nameopt RFC2253` writes it: the specials
// with a backslash, a leading blank or '#' and a trailing blank too, and
// every control character and non-ASCII byte as a backslash and two hex
// digits (so the text is plain ASCII whatever the value holds).
std::string EscapedValue(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<uint8_t>(utf8[i]);
    const bool edge_blank = c == ' ' && (i == 0 || i + 1 == utf8.size());
    if (c >= 0x80 || c < 0x20 || c == 0x7F) {
      out.push_back('\\');
      AppendHexByte(c, &out);
      continue;
    }
    if (std::strchr(",+\"\\<>;", c) != nullptr || edge_blank || (c == '#' && i == 0)) out.push_back('\\');
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string AttributeText(const NameValue& at) {
  const char* keyword = KeywordOf(at.oid);
  const std::optional<std::string> text = keyword != nullptr ? StringValue(at.value) : std::nullopt;
  if (text) return std::string(keyword) + "=" + EscapedValue(*text);
  // A type without a name, or a value without a string form: the value's DER.
  std::string out = (keyword != nullptr ? std::string(keyword) : at.oid) + "=#";
  for (uint8_t b : at.value.encoded) AppendHexByte(b, &out);
  return out;
}

// The full RFC 2253 text of an encoded Name: the last attribute first, ","
// between RDNs and "+" inside one.
std::optional<std::string> IssuerNameText(std::span<const uint8_t> name) {
  const std::optional<NameRdns> rdns = DecodeName(name);
  if (!rdns) return std::nullopt;
  std::string out;
  for (auto rdn = rdns->rbegin(); rdn != rdns->rend(); ++rdn) {
    for (auto at = rdn->rbegin(); at != rdn->rend(); ++at) {
      if (!out.empty()) out.push_back(at == rdn->rbegin() ? ',' : '+');
      out += AttributeText(*at);
    }
  }
  return out;
}

uint32_t PutIssuerText(std::span<const uint8_t> name, char* buffer, uint32_t* size) {
  if (size == nullptr) return kRenderFailed;
  const std::optional<std::string> text = IssuerNameText(name);
  if (!text || text->size() >= UINT32_MAX) return kRenderFailed;
  const auto needed = static_cast<uint32_t>(text->size() + 1);
  if (buffer == nullptr || *size == 0) {
    *size = needed;
    return kMoreData;
  }
  if (*size < needed) return kRenderFailed;
  std::memcpy(buffer, text->c_str(), needed);
  *size = needed;
  return 0;
}

// One attribute of a written issuer text.
struct WrittenAttribute {
  std::string oid;
  bool hex = false;    // "#" and the DER of the value
  std::string value;   // the value's bytes, escapes resolved
};

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> OidOfType(std::string_view type) {
  const std::string upper = Upper(type);
  if (upper.starts_with("OID.")) type.remove_prefix(4);
  if (!type.empty() && std::all_of(type.begin(), type.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); }))
    return std::string(type);
  for (const auto& [o, k] : kIssuerKeywords)
    if (upper == k) return std::string(o);
  for (const auto& [o, k] : kIssuerAliases)
    if (upper == k) return std::string(o);
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' '; }

// One value as written: blanks around it dropped (an escaped one kept),
// quotes and escapes resolved, "#hex" decoded.
std::optional<WrittenAttribute> ParseAttribute(std::string_view raw) {
  size_t eq = std::string_view::npos;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\') {
      ++i;
    } else if (raw[i] == '=') {
      eq = i;
      break;
    }
  }
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view type = raw.substr(0, eq);
  while (!type.empty() && IsBlank(type.front())) type.remove_prefix(1);
  while (!type.empty() && IsBlank(type.back())) type.remove_suffix(1);
  WrittenAttribute at;
  const std::optional<std::string> oid = OidOfType(type);
  if (!oid) return std::nullopt;
  at.oid = *oid;
  std::string_view v = raw.substr(eq + 1);
  while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
  // A trailing blank is layout unless a backslash escapes it.
  while (!v.empty() && IsBlank(v.back())) {
    size_t slashes = 0;
    for (size_t i = v.size() - 1; i > 0 && v[i - 1] == '\\'; --i) ++slashes;
    if (slashes % 2 == 1) break;
    v.remove_suffix(1);
  }
  if (!v.empty() && v.front() == '#') {
    v.remove_prefix(1);
    if (v.empty() || v.size() % 2 != 0) return std::nullopt;
    for (size_t i = 0; i < v.size(); i += 2) {
      const int hi = HexDigit(v[i]), lo = HexDigit(v[i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      at.value.push_back(static_cast<char>(hi * 16 + lo));
    }
    at.hex = true;
    return at;
  }
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      at.value.push_back(v[i]);
      continue;
    }
    if (i + 1 >= v.size()) return std::nullopt;
    const int hi = HexDigit(v[i + 1]);
    const int lo = i + 2 < v.size() ? HexDigit(v[i + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      at.value.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      at.value.push_back(v[++i]);
    }
  }
  return at;
}

// Longer issuer texts than this are no name any certificate carries.
constexpr size_t kMaxIssuerText = 16384;

// The attributes of a written issuer text in their written order. A piece
// without "=" belongs to the value before it: producers that do not escape
// write "O=Firma, S.A." for one value.
std::optional<std::vector<WrittenAttribute>> ParseIssuerText(std::string_view text) {
  if (text.size() > kMaxIssuerText) return std::nullopt;
  std::vector<std::string> raws;
  bool quoted = false;
  size_t start = 0;
  const auto take = [&](size_t end) {
    std::string_view piece = text.substr(start, end - start);
    const bool has_eq = piece.find('=') != std::string_view::npos;
    if (!has_eq && !raws.empty())
      raws.back() += std::string(1, text[start - 1]) + std::string(piece);
    else
      raws.emplace_back(piece);
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == ';' || c == '+')) {
      take(i);
      start = i + 1;
    }
  }
  take(text.size());
  std::vector<WrittenAttribute> out;
  for (const std::string& raw : raws) {
    std::optional<WrittenAttribute> at = ParseAttribute(raw);
    if (!at) return std::nullopt;
    out.push_back(std::move(*at));
  }
  return out;
}

bool SameAttribute(const WrittenAttribute& written, const NameValue& at) {
  if (written.oid != at.oid) return false;
  if (written.hex)
    return std::equal(written.value.begin(), written.value.end(), at.value.encoded.begin(),
                      at.value.encoded.end());
  const std::optional<std::string> text = StringValue(at.value);
  return text && *text == written.value;
}

// True when the written text names `name`, its attributes in RFC 2253 order
// (last first) or in the Name's own order (as some producers write it).
bool NamesIssuer(std::string_view written, std::span<const uint8_t> name) {
  const auto parsed = ParseIssuerText(written);
  const auto rdns = DecodeName(name);
  if (!parsed || !rdns) return false;
  std::vector<const NameValue*> flat;
  for (const auto& rdn : *rdns)
    for (const NameValue& at : rdn) flat.push_back(&at);
  if (parsed->size() != flat.size() || flat.empty()) return false;
  const auto matches = [&](auto begin) {
    for (size_t i = 0; i < flat.size(); ++i)
      if (!SameAttribute((*parsed)[i], **(begin + static_cast<std::ptrdiff_t>(i)))) return false;
    return true;
  };
  return matches(flat.rbegin()) || matches(flat.begin());
}

}  // namespace

CertPtr xadesCertCreate(const uint8_t* der, size_t length) {
  if (der == nullptr || length == 0) return nullptr;
  return platform::CertContext::FromDer({der, length});
}

CrlPtr xadesCrlCreate(const uint8_t* der, size_t length) {
  if (der == nullptr || length == 0) return nullptr;
  return platform::CrlContext::FromDer({der, length});
}

void xadesCertFree(CertPtr& cert) { cert.reset(); }
void xadesCrlFree(CrlPtr& crl) { crl.reset(); }

uint32_t getCertIssuerText(const platform::CertContext* cert, char* buffer, uint32_t* size) {
  if (cert == nullptr) return kRenderFailed;
  return PutIssuerText(cert->issuer_der(), buffer, size);
}

uint32_t getCrlIssuerText(const platform::CrlContext* crl, char* buffer, uint32_t* size) {
  if (crl == nullptr) return kRenderFailed;
  return PutIssuerText(crl->issuer_der(), buffer, size);
}

std::optional<std::string> shortCertIssuerText(const platform::CertContext* cert) {
  return sizeRuleText([&](char* b, uint32_t* s) { return crypto::CertIssuerToRfc2253(cert, 0, b, s); });
}

std::optional<std::string> shortCrlIssuerText(const platform::CrlContext* crl) {
  return sizeRuleText([&](char* b, uint32_t* s) { return crypto::CrlIssuerToRfc2253(crl, 0, b, s); });
}

IssuerTextMatch matchIssuerText(std::string_view written, std::span<const uint8_t> name,
                                const std::optional<std::string>& shortText) {
  if (NamesIssuer(written, name)) return IssuerTextMatch::kFull;
  if (shortText && written == *shortText) return IssuerTextMatch::kShort;
  return IssuerTextMatch::kNone;
}

uint32_t getCertNameText(const CertPtr& cert, char* buffer, uint32_t* size) {
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context) return kRenderFailed;
  crypto::SetCertificateContext(context.get(), cert);
  return SizeRuleText(buffer, size, [&](char* b, uint32_t* s) {
    return crypto::GetSubjectString(context.get(), kX500Reverse, b, s);
  });
}

std::optional<std::string> getCertSerialDecimal(const platform::CertContext* cert) {
  if (cert == nullptr) return std::nullopt;
  return DecimalOf(cert->serial());
}

int getCrlNumberDecimal(const platform::CrlContext* crl, char* buffer, uint32_t* size) {
  if (crl == nullptr || crl->crl() == nullptr) return -1;
  const int at = X509_CRL_get_ext_by_NID(crl->crl(), NID_crl_number, -1);
  if (at < 0) return -2;
  const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_CRL_get_ext(crl->crl(), at));
  if (value == nullptr) return -2;
  // The value is one DER INTEGER, read whole whatever its length form.
  der::Reader reader({ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value))});
  std::span<const uint8_t> content;
  if (!reader.ReadInteger(&content) || !reader.empty()) return -2;
  const std::optional<std::string> decimal = DecimalOf(content);
  if (!decimal) return -2;
  const uint32_t needed = static_cast<uint32_t>(decimal->size() + 1);
  if (size == nullptr) return -1;
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return static_cast<int>(kMoreData);
  }
  std::memcpy(buffer, decimal->c_str(), needed);
  return 0;
}

int getCrlThisUpdateText(const platform::CrlContext* crl, char* buffer, uint32_t* size) {
  constexpr uint32_t kTextSize = 26;
  if (size == nullptr) return -1;
  if (buffer == nullptr || *size < kTextSize) {
    *size = kTextSize;
    return static_cast<int>(kMoreData);
  }
  if (crl == nullptr) return -1;
  const std::time_t t = crl->this_update().ToTimeT();
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return -1;
  // The offset that this local time really has (summer time included).
  const long offset_minutes = local.tm_gmtoff / 60;
  const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  const int n = std::snprintf(buffer, kTextSize, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                              local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                              local.tm_min, local.tm_sec, offset_minutes < 0 ? '-' : '+',
                              magnitude / 60, magnitude % 60);
  return n == 25 ? 0 : -1;
}

std::optional<std::string> digestBase64(std::span<const uint8_t> data, int algorithm) {
  const EVP_MD* md = nullptr;
  if (algorithm == kDigestSha1)
    md = EVP_sha1();
  else if (algorithm == kDigestMd5)
    md = EVP_md5();
  else {
    xadesPrint("Unsuported hash algorithm\n");
    return std::nullopt;
  }
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (md == nullptr || EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  return base64Encode(std::span(digest).first(length));
}

std::optional<std::string> encodedDigestBase64(const platform::CertContext* cert, int algorithm) {
  if (cert == nullptr) return std::nullopt;
  return digestBase64(cert->der(), algorithm);
}

std::optional<std::string> encodedDigestBase64(const platform::CrlContext* crl, int algorithm) {
  if (crl == nullptr) return std::nullopt;
  return digestBase64(crl->der(), algorithm);
}

namespace {
std::string EncodedOrFatal(std::span<const uint8_t> der) {
  try {
    return base64Encode(der);
  } catch (const std::bad_alloc&) {
    xadesFatalError("Memory allocation error while signing.");
  }
}
}  // namespace

std::string encodedBase64(const platform::CertContext* cert) {
  return cert == nullptr ? std::string() : EncodedOrFatal(cert->der());
}

std::string encodedBase64(const platform::CrlContext* crl) {
  return crl == nullptr ? std::string() : EncodedOrFatal(crl->der());
}

int verifyRsaSha1Signature(std::span<const uint8_t> data, std::span<const uint8_t> signature,
                           const platform::CertContext* cert) {
  if (cert == nullptr || cert->x509() == nullptr) return 13;
  EVP_PKEY* key = X509_get0_pubkey(cert->x509());
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    std::ostringstream message;
    message << "Public key error.\n" << static_cast<int>(error) << "\n";
    xadesPrint(message.str());
    return -4;
  }
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx) return -2;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) != 1) {
    ERR_clear_error();
    return -2;
  }
  if (EVP_DigestVerifyUpdate(ctx.get(), data.data(), data.size()) != 1) {
    ERR_clear_error();
    xadesPrint("Error during CryptHashData.\n");
    return -3;
  }
  // The document holds the signature most significant byte first, as
  // OpenSSL reads it.
  const int ok = EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size());
  ERR_clear_error();
  if (ok != 1) {
    xadesPrint("Sygnatura niepoprawna.");
    return -1;
  }
  return 0;
}

}  // namespace vel::xades
