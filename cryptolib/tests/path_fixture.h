// A small PKI made in the test process for the path and qualified tests:
// CA and end-entity certificates, CRLs, and system stores in a temporary
// folder (VELDOC_STORE_DIR).
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/cert_store.h"
#include "platform/testing/test_support.h"

namespace vel::test::path {

using Bytes = std::vector<uint8_t>;
using platform::CertPtr;
using platform::CrlPtr;

struct KeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

struct NameDeleter {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameDeleter>;

// A Name of one common name.
inline NamePtr Cn(const std::string& cn) {
  NamePtr name(X509_NAME_new());
  X509_NAME_add_entry_by_NID(name.get(), NID_commonName, MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  return name;
}

template <typename T, typename F>
Bytes ToDer(T* object, F i2d) {
  const int len = i2d(object, nullptr);
  Bytes out(len > 0 ? static_cast<size_t>(len) : 0);
  unsigned char* p = out.data();
  if (len > 0) i2d(object, &p);
  return out;
}

inline constexpr long kDay = 24L * 3600;

// basicConstraints cA TRUE; keyUsage keyCertSign | cRLSign; EKU timeStamping.
inline const Bytes kCaConstraints = {0x30, 0x03, 0x01, 0x01, 0xFF};
inline const Bytes kCaKeyUsage = {0x03, 0x02, 0x01, 0x06};
inline const Bytes kLeafKeyUsage = {0x03, 0x02, 0x06, 0xC0};  // digitalSignature, nonRepudiation
inline const Bytes kEkuTimeStamping = {0x30, 0x0A, 0x06, 0x08, 0x2B, 0x06, 0x01,
                                       0x05, 0x05, 0x07, 0x03, 0x08};
inline const Bytes kEkuEmail = {0x30, 0x0A, 0x06, 0x08, 0x2B, 0x06, 0x01,
                                0x05, 0x05, 0x07, 0x03, 0x04};

// One party of the test PKI: its key and name.
struct Party {
  std::string name;
  Key key = Key(EVP_EC_gen("P-256"));
};

struct CertOptions {
  Bytes serial = {0x01};
  long version = 2;  // 0: a version 1 certificate, without extensions
  bool ca = false;
  long not_before = -kDay;
  long not_after = 365 * kDay;
  std::vector<std::pair<std::string, Bytes>> extra = {};  // dotted id, raw value
};

// A certificate for `subject` signed by `issuer` (the same party: self-signed).
inline CertPtr Issue(const Party& subject, const Party& issuer, const CertOptions& o = {}) {
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  X509_set_version(x.get(), o.version);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
      BN_bin2bn(o.serial.data(), static_cast<int>(o.serial.size()), nullptr), BN_free);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x.get()));
  X509_set_subject_name(x.get(), Cn(subject.name).get());
  X509_set_issuer_name(x.get(), Cn(issuer.name).get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), o.not_before);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), o.not_after);
  X509_set_pubkey(x.get(), subject.key.get());
  std::vector<std::pair<std::string, Bytes>> extensions;
  if (o.version == 0) {
    // no extensions in a version 1 certificate
  } else if (o.ca) {
    extensions.push_back({"2.5.29.19", kCaConstraints});
    extensions.push_back({"2.5.29.15", kCaKeyUsage});
  } else {
    extensions.push_back({"2.5.29.15", kLeafKeyUsage});
  }
  for (const auto& e : o.extra) extensions.push_back(e);
  for (const auto& [oid, value] : extensions) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
    ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(os, value.data(), static_cast<int>(value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, os);
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(os);
    ASN1_OBJECT_free(obj);
  }
  X509_sign(x.get(), issuer.key.get(), EVP_sha256());
  CertPtr cert = platform::CertContext::FromDer(ToDer(x.get(), i2d_X509));
  EXPECT_TRUE(cert) << "test certificate does not decode";
  return cert;
}

inline CertOptions Ca(uint8_t serial = 1) {
  CertOptions o;
  o.serial = {serial};
  o.ca = true;
  return o;
}
inline CertOptions Leaf(uint8_t serial) {
  CertOptions o;
  o.serial = {serial};
  return o;
}

struct CrlOptions {
  std::vector<Bytes> revoked = {};  // serial numbers
  long this_update = -kDay;    // seconds from now
  long next_update = 7 * kDay;
  bool has_next_update = true;
  bool delta = false;          // a delta CRL indicator
  std::string issuer_name = {};  // empty: the issuer's own name
  const X509_NAME* issuer = nullptr;  // a name built by the test, over issuer_name
  std::vector<std::pair<std::string, Bytes>> extra = {};  // dotted id, raw value (critical)
};

// A DER element of one tag over `content`.
inline Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(content.size()));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
// The distributionPoint field naming one URI: [0] { fullName [0] { URI } }.
inline Bytes PointNamed(const std::string& uri) {
  return Tlv(0xA0, Tlv(0xA0, Tlv(0x86, Bytes(uri.begin(), uri.end()))));
}
// A certificate's cRLDistributionPoints value with one point, and a CRL's
// issuingDistributionPoint value naming that point.
inline std::pair<std::string, Bytes> DistributionPoint(const std::string& uri) {
  return {"2.5.29.31", Tlv(0x30, Tlv(0x30, PointNamed(uri)))};
}
inline std::pair<std::string, Bytes> IssuingDistributionPoint(const std::string& uri) {
  return {"2.5.29.28", Tlv(0x30, PointNamed(uri))};
}

// A CRL of `issuer`, signed with its key.
inline CrlPtr MakeCrl(const Party& issuer, const CrlOptions& o = {}) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  if (o.issuer != nullptr)
    X509_CRL_set_issuer_name(crl.get(), o.issuer);
  else
    X509_CRL_set_issuer_name(
        crl.get(), Cn(o.issuer_name.empty() ? issuer.name : o.issuer_name).get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(ASN1_TIME_new(), ASN1_TIME_free);
  X509_gmtime_adj(t.get(), o.this_update);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  if (o.has_next_update) {
    X509_gmtime_adj(t.get(), o.next_update);
    X509_CRL_set1_nextUpdate(crl.get(), t.get());
  }
  for (const Bytes& serial : o.revoked) {
    X509_REVOKED* r = X509_REVOKED_new();
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
        BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
    ASN1_INTEGER* ai = BN_to_ASN1_INTEGER(bn.get(), nullptr);
    X509_REVOKED_set_serialNumber(r, ai);
    ASN1_INTEGER_free(ai);
    X509_gmtime_adj(t.get(), o.this_update - 60);
    X509_REVOKED_set_revocationDate(r, t.get());
    X509_CRL_add0_revoked(crl.get(), r);
  }
  if (o.delta) {
    ASN1_INTEGER* base = ASN1_INTEGER_new();
    ASN1_INTEGER_set(base, 1);
    X509_CRL_add1_ext_i2d(crl.get(), NID_delta_crl, base, 1, 0);
    ASN1_INTEGER_free(base);
  }
  for (const auto& [oid, value] : o.extra) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
    ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(os, value.data(), static_cast<int>(value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 1, os);
    X509_CRL_add_ext(crl.get(), ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(os);
    ASN1_OBJECT_free(obj);
  }
  X509_CRL_sort(crl.get());
  X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256());
  const Bytes der = ToDer(crl.get(), i2d_X509_CRL);
  CrlPtr out = platform::CrlContext::FromDer(der);
  EXPECT_TRUE(out) << "test CRL does not decode";
  return out;
}

// System stores in a temporary folder for the life of the fixture.
class StoreFolder {
 public:
  // Folders may nest: the outer one is in force again when the inner ends.
  StoreFolder() {
    if (const char* old = std::getenv("VELDOC_STORE_DIR")) previous_ = old;
    ::setenv("VELDOC_STORE_DIR", dir_.path().c_str(), 1);
  }
  ~StoreFolder() {
    if (previous_.empty())
      ::unsetenv("VELDOC_STORE_DIR");
    else
      ::setenv("VELDOC_STORE_DIR", previous_.c_str(), 1);
  }
  StoreFolder(const StoreFolder&) = delete;
  StoreFolder& operator=(const StoreFolder&) = delete;

  void AddCert(const char* store, const CertPtr& cert,
               uint32_t location = platform::kStoreCurrentUser) {
    std::unique_ptr<platform::CertStore> s;
    ASSERT_EQ(platform::CertStore::Open(location, store, &s), 0u);
    ASSERT_EQ(s->AddCertificate(cert, platform::AddDisposition::kUseExisting), 0u);
  }
  void AddCrl(const CrlPtr& crl, uint32_t location = platform::kStoreCurrentUser) {
    std::unique_ptr<platform::CertStore> s;
    ASSERT_EQ(platform::CertStore::Open(location, "VelCryptoAPI", &s), 0u);
    ASSERT_EQ(s->AddCrl(crl, platform::AddDisposition::kReplaceExisting), 0u);
  }
  std::vector<CrlPtr> StoredCrls(uint32_t location = platform::kStoreCurrentUser) {
    std::unique_ptr<platform::CertStore> s;
    if (platform::CertStore::Open(location, "VelCryptoAPI", &s) != 0) return {};
    return s->Crls();
  }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
};

}  // namespace vel::test::path
