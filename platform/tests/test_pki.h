// A small PKI made in-process for the signing tests: a CA, certificates with
// RSA keys (optionally with a qualified-certificate statement), PKCS#12 files,
// a "My" store with key bindings, and a SoftHSM2 token. Header-only so that
// only the tests that include it depend on it.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_binding.h"
#include "platform/signer.h"
#include "platform/testing/test_support.h"

namespace vel::test {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

inline constexpr char kTestPin[] = "1234";
inline constexpr char kSoftHsmModule[] = "/usr/lib/softhsm/libsofthsm2.so";

struct TestIdentity {
  PkeyPtr key;
  X509Ptr x509;
  platform::CertPtr cert;
  std::vector<uint8_t> der() const { return {cert->der().begin(), cert->der().end()}; }
};

inline PkeyPtr MakeRsaKey(unsigned bits = 2048) { return PkeyPtr(EVP_RSA_gen(bits)); }

inline void AddExt(X509* cert, X509* issuer, const char* name, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, name, value);
  ASSERT_NE(ext, nullptr) << name;
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `key`, issued by `issuer` (none: self-signed). `serial`
// is the serial's magnitude, big-endian.
inline TestIdentity MakeIdentity(const std::string& common_name, const TestIdentity* issuer,
                                 std::vector<uint8_t> serial, bool ca, bool qualified) {
  TestIdentity id;
  id.key = MakeRsaKey();
  id.x509.reset(X509_new());
  X509* x = id.x509.get();
  X509_set_version(x, 2);
  BIGNUM* bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("PL"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Vellorum Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
  X509* issuer_x = issuer ? issuer->x509.get() : x;
  X509_set_issuer_name(x, X509_get_subject_name(issuer_x));
  X509_set_pubkey(x, id.key.get());
  if (ca) {
    AddExt(x, issuer_x, "basicConstraints", "critical,CA:TRUE");
    AddExt(x, issuer_x, "keyUsage", "critical,keyCertSign,cRLSign");
  } else {
    AddExt(x, issuer_x, "keyUsage", "critical,digitalSignature,nonRepudiation,keyEncipherment");
  }
  AddExt(x, issuer_x, "subjectKeyIdentifier", "hash");
  if (qualified)  // QcStatements { QcCompliance }
    AddExt(x, issuer_x, "1.3.6.1.5.5.7.1.3", "DER:30:0A:30:08:06:06:04:00:8E:46:01:01");
  EVP_PKEY* signing_key = issuer ? issuer->key.get() : id.key.get();
  X509_sign(x, signing_key, EVP_sha256());
  std::vector<uint8_t> der(static_cast<size_t>(i2d_X509(x, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(x, &p);
  id.cert = platform::CertContext::FromDer(der);
  return id;
}

inline std::string KeyPem(EVP_PKEY* key) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  std::string s(data, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

inline std::string CertPem(X509* x) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, x);
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  std::string s(data, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

inline std::vector<uint8_t> KeyPkcs8Der(EVP_PKEY* key) {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
  std::vector<uint8_t> der(static_cast<size_t>(i2d_PKCS8_PRIV_KEY_INFO(p8, nullptr)));
  unsigned char* p = der.data();
  i2d_PKCS8_PRIV_KEY_INFO(p8, &p);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return der;
}

inline void WritePkcs12(const std::filesystem::path& file, const TestIdentity& id,
                        const char* password) {
  PKCS12* p12 = PKCS12_create(password, "key", id.key.get(), id.x509.get(), nullptr, 0, 0, 0, 0, 0);
  ASSERT_NE(p12, nullptr);
  std::vector<uint8_t> der(static_cast<size_t>(i2d_PKCS12(p12, nullptr)));
  unsigned char* p = der.data();
  i2d_PKCS12(p12, &p);
  PKCS12_free(p12);
  WriteFileBytes(file, der);
}

// A CRL of the CA, with no revoked entries, valid for 30 days.
inline std::vector<uint8_t> EmptyCrl(const TestIdentity& ca) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.x509.get()));
  ASN1_TIME* t = ASN1_TIME_adj(nullptr, std::time(nullptr), -1, 0);
  X509_CRL_set1_lastUpdate(crl, t);
  ASN1_TIME_free(t);
  t = ASN1_TIME_adj(nullptr, std::time(nullptr), 30, 0);
  X509_CRL_set1_nextUpdate(crl, t);
  ASN1_TIME_free(t);
  X509_CRL_sign(crl, ca.key.get(), EVP_sha256());
  std::vector<uint8_t> der(static_cast<size_t>(i2d_X509_CRL(crl, nullptr)));
  unsigned char* p = der.data();
  i2d_X509_CRL(crl, &p);
  X509_CRL_free(crl);
  return der;
}

// Counts PIN requests and answers with a scripted PIN, or cancels. The
// answers in `first` are given before `pin`, one per request.
struct ScriptedPin {
  int asked = 0;
  std::string pin = kTestPin;
  std::vector<std::string> first;
  bool cancel = false;
  platform::PinRequest last;
  std::vector<platform::PinRequest> requests;
  void Install() {
    platform::SetPinCallback([this](const platform::PinRequest& r, std::string* out) {
      ++asked;
      last = r;
      requests.push_back(r);
      if (cancel) return false;
      if (!first.empty()) {
        *out = first.front();
        first.erase(first.begin());
      } else {
        *out = pin;
      }
      return true;
    });
  }
  ~ScriptedPin() { platform::SetPinCallback(nullptr); }
};

// A CA, a signer, a qualified signer and a co-signer whose keys are PKCS#12
// files bound in the "My" store of a temporary store root, and a certificate
// in the store with no key. Setting VELDOC_STORE_DIR is process-wide: one
// TestPki per process at a time.
struct TestPki {
  TempDir dir;
  TestIdentity ca, signer, qualified, cosigner, unbound;

  TestPki() {
    setenv("VELDOC_STORE_DIR", (dir.path() / "stores").c_str(), 1);
    ca = MakeIdentity("Test CA", nullptr, {0x01}, true, false);
    // A serial with the top bit set is written with a leading zero octet.
    signer = MakeIdentity("Jan Kowalski", &ca, {0x80, 0x11, 0x22, 0x33}, false, false);
    qualified = MakeIdentity("Anna Nowak", &ca, {0x42}, false, true);
    cosigner = MakeIdentity("Piotr Wisniewski", &ca, {0x07, 0x08}, false, false);
    unbound = MakeIdentity("Bez Klucza", &ca, {0x09}, false, false);
    for (TestIdentity* id : {&signer, &qualified, &cosigner}) BindPkcs12(*id, kTestPin);
    AddToMy(unbound);
    WriteFileText(dir / "ca.pem", CertPem(ca.x509.get()));
  }

  void AddToMy(const TestIdentity& id) {
    std::unique_ptr<platform::CertStore> store;
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "My", &store), 0u);
    ASSERT_EQ(store->AddCertificate(id.cert, platform::AddDisposition::kUseExisting), 0u);
  }

  void BindPkcs12(const TestIdentity& id, const char* password) {
    AddToMy(id);
    const std::filesystem::path p12 = dir / (id.cert->sha1_hex() + ".p12");
    WritePkcs12(p12, id, password);
    platform::KeyReference ref{platform::KeyReference::Kind::kPkcs12File, p12.string()};
    ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *id.cert, ref), 0u);
  }

  // PEM files of an identity for the openssl tool.
  std::filesystem::path CertFile(const TestIdentity& id) {
    const auto p = dir / (id.cert->sha1_hex() + ".crt");
    WriteFileText(p, CertPem(id.x509.get()));
    return p;
  }
  std::filesystem::path KeyFile(const TestIdentity& id) {
    const auto p = dir / (id.cert->sha1_hex() + ".pem");
    WriteFileText(p, KeyPem(id.key.get()));
    return p;
  }
};

// A SoftHSM2 token in a temporary folder with identities' keys and
// certificates on it. SoftHSM reads SOFTHSM2_CONF when the module is first
// loaded, and the module stays loaded, so make it before any PKCS#11 use.
struct SoftHsmToken {
  TempDir dir;
  std::string label = "VelTest";
  std::string pin = kTestPin;
  bool ok = false;

  SoftHsmToken() {
    std::filesystem::create_directories(dir / "tokens");
    WriteFileText(dir / "softhsm2.conf", "directories.tokendir = " + (dir / "tokens").string() +
                                             "\nobjectstore.backend = file\nlog.level = ERROR\n");
    setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
    const CommandResult r = RunCommand("softhsm2-util --init-token --free --label " + label +
                                       " --pin " + pin + " --so-pin 87654321");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    ok = r.exit_code == 0;
  }

  std::string Tool() const {
    return "pkcs11-tool --module " + std::string(kSoftHsmModule) + " --token-label " + label +
           " --login --pin " + pin;
  }

  // Puts the key (and the certificate) on the token under this id and label.
  void Put(const TestIdentity& id, const std::string& hex_id, const std::string& object_label,
           bool with_cert = true) {
    const auto key = dir / ("key" + hex_id + ".p8");
    WriteFileBytes(key, KeyPkcs8Der(id.key.get()));
    CommandResult r = RunCommand(Tool() + " --write-object " + ShellQuote(key.string()) +
                                 " --type privkey --id " + hex_id + " --label " + object_label);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    if (!with_cert) return;
    const auto cert = dir / ("cert" + hex_id + ".der");
    WriteFileBytes(cert, id.der());
    r = RunCommand(Tool() + " --write-object " + ShellQuote(cert.string()) +
                   " --type cert --id " + hex_id + " --label " + object_label);
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }

  std::string Uri(const std::string& hex_id) const {
    std::string id;
    for (size_t i = 0; i + 1 < hex_id.size(); i += 2) id += "%" + hex_id.substr(i, 2);
    return "pkcs11:token=" + label + ";id=" + id + ";type=private?module-path=" + kSoftHsmModule;
  }
};

}  // namespace vel::test
