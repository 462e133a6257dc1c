#include "xades/crypto_helpers.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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
  return SizeRuleText(buffer, size, [&](char* b, uint32_t* s) {
    return crypto::CertIssuerToRfc2253(cert, 0, b, s);
  });
}

uint32_t getCrlIssuerText(const platform::CrlContext* crl, char* buffer, uint32_t* size) {
  return SizeRuleText(buffer, size, [&](char* b, uint32_t* s) {
    return crypto::CrlIssuerToRfc2253(crl, 0, b, s);
  });
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
