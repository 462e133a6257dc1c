// Arbitrary bytes as a certificate context: every field, name text and
// extension text of whatever loads; the same bytes also as a bare Name, as a
// CRL, as the value of each formatted extension, and as a name text.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/cert_names.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_name_str.h"

namespace {

using namespace vel::crypto;

template <typename F>
void Twice(F f) {
  uint32_t size = 0;
  if (f(nullptr, &size) != 234 || size > (1u << 24)) return;
  std::vector<char> text(size);
  f(text.data(), &size);
}

constexpr const char* kFormatted[] = {"2.5.29.17", "2.5.29.31", "1.3.6.1.5.5.7.1.3"};

void FormatAll(X509Context* ctx, std::span<const uint8_t> value) {
  for (const char* oid : kFormatted)
    for (uint32_t index = 0; index < 3; ++index)
      Twice([&](char* t, uint32_t* s) {
        return FormatExtensionText(ctx, oid, value.data(), static_cast<uint32_t>(value.size()), index, t, s);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);

  for (uint32_t type : {1u, 2u, 3u, 0x02000003u, 0x50000003u})
    vel::platform::CertNameToStr(bytes, type);
  FormatAll(nullptr, bytes);
  if (CrlPtr crl = vel::platform::CrlContext::FromDer(bytes)) {
    Twice([&](char* t, uint32_t* s) { return CrlIssuerToRfc2253(crl.get(), 0, t, s); });
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string value;
  for (const char* key : {"CN", "2.5.4.3", "O"}) GetNameAttribute(text, key, ',', &value);

  X509ContextPtr ctx = MakeX509Context();
  if (!ctx || !SetCertificateFromDer(ctx.get(), data, static_cast<uint32_t>(size))) return 0;
  X509Context* c = ctx.get();
  for (uint32_t type : {1u, 2u, 3u, 0x02000003u}) {
    Twice([&](char* t, uint32_t* s) { return GetSubjectString(c, type, t, s); });
    Twice([&](char* t, uint32_t* s) { return GetIssuerString(c, type, t, s); });
  }
  Twice([&](char* t, uint32_t* s) { return GetDisplayName(c, t, s); });
  Twice([&](char* t, uint32_t* s) { return GetIssuerCommonName(c, t, s); });
  Twice([&](char* t, uint32_t* s) { return GetSerialNumberHex(c, t, s); });
  for (uint32_t which : {0u, 1u})
    for (bool utc : {true, false})
      Twice([&](char* t, uint32_t* s) { return GetValidityText(c, which, utc, t, s); });
  uint32_t version = 0;
  GetCertificateVersion(c, &version);
  Twice([&](char* t, uint32_t* s) { return GetKeyUsageText(c, t, s); });
  Twice([&](char* t, uint32_t* s) { return GetEnhancedKeyUsageText(c, t, s); });
  for (const char* oid : kFormatted) {
    std::vector<uint8_t> ext;
    if (c->certificate->FindExtension(oid, &ext)) FormatAll(c, ext);
  }
  Twice([&](char* t, uint32_t* s) { return CertIssuerToRfc2253(c->certificate.get(), 0, t, s); });
  IsIssuerOf(c, c->certificate);
  return 0;
}
