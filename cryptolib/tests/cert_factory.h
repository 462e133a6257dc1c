// Certificates made in the test process with OpenSSL, for the certificate
// tests: names of chosen string types, chosen serials, raw extension values.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vel::test::certs {

using Bytes = std::vector<uint8_t>;

struct KeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

inline Key NewKey() { return Key(EVP_EC_gen("P-256")); }

// One attribute: dotted type, ASN.1 string type (V_ASN1_UTF8STRING, ...), value.
// `same_rdn` joins it to the previous attribute's RDN.
struct Attr {
  std::string oid;
  int type;
  std::string value;
  bool same_rdn = false;
};

struct NameDeleter {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameDeleter>;

inline NamePtr MakeName(const std::vector<Attr>& attrs) {
  NamePtr name(X509_NAME_new());
  for (const Attr& a : attrs) {
    ASN1_OBJECT* obj = OBJ_txt2obj(a.oid.c_str(), 1);
    X509_NAME_ENTRY* e = X509_NAME_ENTRY_create_by_OBJ(
        nullptr, obj, a.type, reinterpret_cast<const unsigned char*>(a.value.data()),
        static_cast<int>(a.value.size()));
    const bool added = e != nullptr && X509_NAME_add_entry(name.get(), e, -1, a.same_rdn ? -1 : 0) == 1;
    X509_NAME_ENTRY_free(e);
    ASN1_OBJECT_free(obj);
    if (!added) {
      std::fprintf(stderr, "cert_factory: OpenSSL refuses the attribute %s\n", a.oid.c_str());
      std::abort();
    }
  }
  return name;
}

inline Bytes NameDer(const std::vector<Attr>& attrs) {
  NamePtr n = MakeName(attrs);
  const int len = i2d_X509_NAME(n.get(), nullptr);
  Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  i2d_X509_NAME(n.get(), &p);
  return out;
}

struct Params {
  std::vector<Attr> subject = {{"2.5.4.3", V_ASN1_UTF8STRING, "Leaf"}};
  std::vector<Attr> issuer = {{"2.5.4.3", V_ASN1_UTF8STRING, "Root"}};
  Bytes serial = {0x01};              // big-endian magnitude
  long not_before = 0;                // seconds from now
  long not_after = 365L * 24 * 3600;  // seconds from now
  int version = 2;                    // as stored (2 = v3)
  std::vector<std::pair<std::string, Bytes>> extensions;  // dotted id, raw value
  EVP_PKEY* subject_key = nullptr;
  EVP_PKEY* issuer_key = nullptr;
};

inline Bytes MakeCert(const Params& s) {
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  X509_set_version(x.get(), s.version);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
      BN_bin2bn(s.serial.data(), static_cast<int>(s.serial.size()), nullptr), BN_free);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x.get()));
  X509_set_subject_name(x.get(), MakeName(s.subject).get());
  X509_set_issuer_name(x.get(), MakeName(s.issuer).get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), s.not_before);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), s.not_after);
  X509_set_pubkey(x.get(), s.subject_key);
  for (const auto& [oid, value] : s.extensions) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
    ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(os, value.data(), static_cast<int>(value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, os);
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(os);
    ASN1_OBJECT_free(obj);
  }
  X509_sign(x.get(), s.issuer_key, EVP_sha256());
  const int len = i2d_X509(x.get(), nullptr);
  Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  i2d_X509(x.get(), &p);
  return out;
}

}  // namespace vel::test::certs
