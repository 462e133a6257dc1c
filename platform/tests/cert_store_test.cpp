#include "platform/cert_store.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/test_support.h"

namespace vel::platform {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Cat;
using test::DerTlv;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

KeyPtr NewKey() { return KeyPtr(EVP_EC_gen("P-256"), EVP_PKEY_free); }

std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> CnName(const std::string& cn) {
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> n(X509_NAME_new(), X509_NAME_free);
  X509_NAME_add_entry_by_txt(n.get(), "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("PL"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(n.get(), "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  return n;
}

template <typename T>
Bytes ToDer(T* obj, int (*i2d)(const T*, unsigned char**)) {
  const int len = i2d(obj, nullptr);
  Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  i2d(obj, &p);
  return out;
}

// A certificate with the given subject and serial (big-endian magnitude),
// signed by `issuer_key` under the name `issuer_cn`.
Bytes MakeCert(const std::string& cn, const Bytes& serial, const std::string& issuer_cn,
               EVP_PKEY* subject_key, EVP_PKEY* issuer_key, bool ca = false) {
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  X509_set_version(x.get(), 2);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x.get()));
  X509_set_subject_name(x.get(), CnName(cn).get());
  X509_set_issuer_name(x.get(), CnName(issuer_cn).get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600L * 24 * 365);
  X509_set_pubkey(x.get(), subject_key);
  if (ca) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x.get(), issuer_key, EVP_sha256());
  return ToDer<X509>(x.get(), i2d_X509);
}

Bytes MakeCrl(const std::string& issuer_cn, EVP_PKEY* issuer_key, long this_update_offset) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), CnName(issuer_cn).get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(X509_gmtime_adj(nullptr, this_update_offset), ASN1_TIME_free);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> n(X509_gmtime_adj(nullptr, this_update_offset + 86400), ASN1_TIME_free);
  X509_CRL_set1_nextUpdate(crl.get(), n.get());
  X509_CRL_sign(crl.get(), issuer_key, EVP_sha256());
  return ToDer<X509_CRL>(crl.get(), i2d_X509_CRL);
}

// A CRL of `issuer_cn` listing these serials (signed decimal), in the order
// given; each entry may carry a reason code and a certificate issuer name.
struct Revoked {
  const char* serial;
  int reason = -1;                // none
  const char* names_issuer = nullptr;  // certificateIssuer directoryName CN
};
Bytes MakeCrlListing(const std::string& issuer_cn, EVP_PKEY* key, const std::vector<Revoked>& entries) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), CnName(issuer_cn).get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(X509_gmtime_adj(nullptr, -60), ASN1_TIME_free);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  for (const Revoked& e : entries) {
    X509_REVOKED* r = X509_REVOKED_new();
    BIGNUM* bn = nullptr;
    BN_dec2bn(&bn, e.serial);
    ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_REVOKED_set_serialNumber(r, serial);
    ASN1_INTEGER_free(serial);
    BN_free(bn);
    X509_REVOKED_set_revocationDate(r, t.get());
    if (e.reason >= 0) {
      ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
      ASN1_ENUMERATED_set(reason, e.reason);
      X509_REVOKED_add1_ext_i2d(r, NID_crl_reason, reason, 0, 0);
      ASN1_ENUMERATED_free(reason);
    }
    if (e.names_issuer != nullptr) {
      GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
      GENERAL_NAME* name = GENERAL_NAME_new();
      GENERAL_NAME_set0_value(name, GEN_DIRNAME, CnName(e.names_issuer).release());
      sk_GENERAL_NAME_push(names, name);
      X509_REVOKED_add1_ext_i2d(r, NID_certificate_issuer, names, 1, 0);
      GENERAL_NAMES_free(names);
    }
    X509_CRL_add0_revoked(crl.get(), r);  // unsorted: the order given
  }
  X509_CRL_sign(crl.get(), key, EVP_sha256());
  return ToDer<X509_CRL>(crl.get(), i2d_X509_CRL);
}

// A certificate of "Root" with this serial (signed decimal).
CertPtr CertWithSerial(const char* decimal, EVP_PKEY* key) {
  std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
  BIGNUM* bn = nullptr;
  BN_dec2bn(&bn, decimal);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
  BN_free(bn);
  X509_set_version(x.get(), 2);
  X509_set_subject_name(x.get(), CnName("Leaf").get());
  X509_set_issuer_name(x.get(), CnName("Root").get());
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
  X509_set_pubkey(x.get(), key);
  X509_sign(x.get(), key, EVP_sha256());
  return CertContext::FromDer(ToDer<X509>(x.get(), i2d_X509));
}

Bytes Seq(std::initializer_list<Bytes> parts) { return DerTlv(0x30, Cat(parts)); }
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VELDOC_STORE_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("VELDOC_STORE_DIR"); }

  std::unique_ptr<CertStore> OpenStore(const std::string& name, uint32_t loc = kStoreCurrentUser) {
    std::unique_ptr<CertStore> s;
    EXPECT_EQ(CertStore::Open(loc, name, &s), 0u);
    return s;
  }
  std::set<std::string> Files(const std::filesystem::path& folder) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) out.insert(e.path().filename());
    return out;
  }

  test::TempDir dir_;
  KeyPtr root_key_ = NewKey();
  KeyPtr leaf_key_ = NewKey();
};

TEST_F(StoreTest, ContextKeepsDerAndReadsFields) {
  const Bytes der = MakeCert("Leaf", {0x80}, "Root", leaf_key_.get(), root_key_.get());
  uint32_t err = 1;
  CertPtr c = CertContext::FromDer(der, &err);
  ASSERT_TRUE(c);
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(Bytes(c->der().begin(), c->der().end()), der);
  // The sign byte of a serial whose top bit is set is kept.
  EXPECT_EQ(Bytes(c->serial().begin(), c->serial().end()), (Bytes{0x00, 0x80}));
  EXPECT_EQ(c->version(), 2u);
  EXPECT_EQ(Bytes(c->issuer_der().begin(), c->issuer_der().end()),
            ToDer<X509_NAME>(X509_get_issuer_name(c->x509()), i2d_X509_NAME));
  EXPECT_EQ(Bytes(c->subject_der().begin(), c->subject_der().end()),
            ToDer<X509_NAME>(X509_get_subject_name(c->x509()), i2d_X509_NAME));
  EXPECT_EQ(c->not_after().ToTimeT() - c->not_before().ToTimeT(), 3600L * 24 * 365);
  EXPECT_EQ(c->sha1_hex().size(), 40u);
  EXPECT_FALSE(c->FindExtension("2.5.29.19", nullptr));

  const Bytes ca_der = MakeCert("Root", {0x01}, "Root", root_key_.get(), root_key_.get(), true);
  CertPtr ca = CertContext::FromDer(ca_der);
  ASSERT_TRUE(ca);
  Bytes bc;
  ASSERT_TRUE(ca->FindExtension("2.5.29.19", &bc));
  EXPECT_EQ(bc, (Bytes{0x30, 0x03, 0x01, 0x01, 0xFF}));

  EXPECT_TRUE(c->SignatureVerifiesWith(*ca, &err));
  EXPECT_EQ(err, 0u);
  EXPECT_FALSE(c->SignatureVerifiesWith(*c, &err));
  EXPECT_EQ(err, kNteBadSignature);
  EXPECT_TRUE(ca->SignatureVerifiesWith(*ca));
}

TEST_F(StoreTest, BadBytesDoNotMakeAContext) {
  const Bytes der = MakeCert("Leaf", {0x05}, "Root", leaf_key_.get(), root_key_.get());
  Bytes cut(der.begin(), der.end() - 10);
  Bytes trailing = der;
  trailing.push_back(0x00);
  Bytes flipped = der;
  flipped[4] = 0x31;  // tbsCertificate no longer a SEQUENCE
  struct Case {
    Bytes bytes;
    uint32_t error;
  } cases[] = {{{}, kCryptEAsn1Eod},
               {cut, kCryptEAsn1Eod},
               {trailing, kCryptEAsn1BadTag},
               {flipped, kCryptEAsn1BadTag},
               {{0x30, 0x80, 0x00, 0x00}, kCryptEAsn1BadTag},
               {{0x02, 0x01, 0x05}, kCryptEAsn1BadTag}};
  for (const Case& c : cases) {
    uint32_t err = 0;
    EXPECT_FALSE(CertContext::FromDer(c.bytes, &err));
    EXPECT_EQ(err, c.error);
    EXPECT_FALSE(CrlContext::FromDer(c.bytes, &err));
  }
}

TEST_F(StoreTest, RevokedEntriesAnswerAsOpenSslReadsThem) {
  const CertPtr root = CertContext::FromDer(MakeCert("Root", {0x01}, "Root", root_key_.get(), root_key_.get(), true));
  ASSERT_TRUE(root);
  const char* const unlisted[] = {"2", "129", "-2", "254", "123456789012345678901234567891", "4294967296"};
  struct Case {
    std::string name;
    std::vector<Revoked> entries;
  } cases[] = {
      {"serials of every length and sign, out of order, with reasons",
       {{"123456789012345678901234567890"}, {"0"}, {"255", 6}, {"-1"}, {"1", 8}, {"128", 1}, {"-128"},
        {"127"}, {"-129"}, {"256"}, {"65536", 0}, {"4294967295"}}},
      {"one serial twice", {{"7"}, {"7", 8}, {"3"}}},
      {"empty list", {}},
      // Certificate issuers: entries of other issuers do not count, and the
      // name carries over to the entries that follow.
      {"certificate issuers",
       {{"5"}, {"6", -1, "Root"}, {"9"}, {"10", -1, "Other"}, {"11"}, {"12", 1, "Root"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes der = MakeCrlListing("Root", root_key_.get(), c.entries);
    uint32_t err = 1;
    const CrlPtr ours = CrlContext::FromDer(der, &err);
    ASSERT_TRUE(ours);
    EXPECT_EQ(err, 0u);
    EXPECT_TRUE(ours->SignatureVerifiesWith(*root, &err));
    EXPECT_EQ(err, 0u);
    const unsigned char* p = der.data();
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> peer(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())),
                                                          X509_CRL_free);
    ASSERT_TRUE(peer);
    std::vector<const char*> serials(std::begin(unlisted), std::end(unlisted));
    for (const Revoked& e : c.entries) serials.push_back(e.serial);
    for (const char* serial : serials) {
      const CertPtr cert = CertWithSerial(serial, leaf_key_.get());
      ASSERT_TRUE(cert) << serial;
      X509_REVOKED* entry = nullptr;
      const bool listed = X509_CRL_get0_by_serial(peer.get(), &entry, X509_get0_serialNumber(cert->x509())) != 0;
      EXPECT_EQ(ours->Lists(*cert), listed) << serial;
      // Without certificate issuers: listed exactly when an entry has the number.
      const bool plain = std::none_of(c.entries.begin(), c.entries.end(),
                                      [](const Revoked& r) { return r.names_issuer != nullptr; });
      const bool has = std::any_of(c.entries.begin(), c.entries.end(),
                                   [&](const Revoked& r) { return std::string(r.serial) == serial; });
      if (plain) {
        EXPECT_EQ(listed, has) << serial;
      }
    }
  }
}

TEST_F(StoreTest, AlteredListFailsItsSignature) {
  const CertPtr root = CertContext::FromDer(MakeCert("Root", {0x01}, "Root", root_key_.get(), root_key_.get(), true));
  ASSERT_TRUE(root);
  const Bytes good = MakeCrlListing("Root", root_key_.get(), {{"1000"}, {"77777"}, {"3", 1}});
  // 77777 = 0x012FD1: one entry's serial changed to 0x012FD2.
  Bytes serial_changed = good;
  const Bytes needle{0x02, 0x03, 0x01, 0x2F, 0xD1};
  const auto at = std::search(serial_changed.begin(), serial_changed.end(), needle.begin(), needle.end());
  ASSERT_NE(at, serial_changed.end());
  at[4] = 0xD2;
  // ecdsa-with-SHA256 named outside, ecdsa-with-SHA384 ...03 03 after the change.
  Bytes algorithm_changed = good;
  const Bytes oid{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
  const auto last = std::find_end(algorithm_changed.begin(), algorithm_changed.end(), oid.begin(), oid.end());
  ASSERT_NE(last, algorithm_changed.end());
  last[9] = 0x03;
  struct Case {
    const char* name;
    const Bytes& der;
    bool verifies;
  } cases[] = {{"as signed", good, true}, {"serial changed", serial_changed, false},
               {"outer algorithm changed", algorithm_changed, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CrlPtr crl = CrlContext::FromDer(c.der);
    ASSERT_TRUE(crl);
    uint32_t err = 0;
    EXPECT_EQ(crl->SignatureVerifiesWith(*root, &err), c.verifies);
    EXPECT_EQ(err, c.verifies ? 0u : kNteBadSignature);
    // The same verdict as OpenSSL's own check of the whole list.
    const unsigned char* p = c.der.data();
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> peer(d2i_X509_CRL(nullptr, &p, static_cast<long>(c.der.size())),
                                                          X509_CRL_free);
    ASSERT_TRUE(peer);
    EXPECT_EQ(X509_CRL_verify(peer.get(), X509_get0_pubkey(root->x509())) == 1, c.verifies);
  }
}

TEST_F(StoreTest, MalformedRevokedEntriesAreRefused) {
  const Bytes algorithm = Seq({DerTlv(0x06, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02})});
  const Bytes issuer = ToDer<X509_NAME>(CnName("Root").get(), i2d_X509_NAME);
  const Bytes date = DerTlv(0x17, Text("260101000000Z"));
  const auto crl = [&](const Bytes& entries) {
    const Bytes tbs = Seq({DerTlv(0x02, {0x01}), algorithm, issuer, date, date, DerTlv(0x30, entries)});
    return Seq({tbs, algorithm, DerTlv(0x03, {0x00, 0x01, 0x02})});
  };
  const Bytes reason_oid = DerTlv(0x06, {0x55, 0x1D, 0x15});
  const Bytes reason = Seq({reason_oid, DerTlv(0x04, {0x0A, 0x01, 0x01})});
  const Bytes plain = Seq({DerTlv(0x02, {0x05}), date});
  struct Case {
    const char* name;
    Bytes entries;
    bool accepted;
  } cases[] = {
      {"plain entries", Cat({plain, Seq({DerTlv(0x02, {0x00, 0x80}), date, Seq({reason})})}), true},
      {"critical flag",
       Seq({DerTlv(0x02, {0x06}), date, Seq({Seq({reason_oid, DerTlv(0x01, {0xFF}), DerTlv(0x04, {0x0A, 0x01, 0x01})})})}),
       true},
      {"redundant leading zero", Seq({DerTlv(0x02, {0x00, 0x05}), date}), false},
      {"redundant leading FF", Seq({DerTlv(0x02, {0xFF, 0x80}), date}), false},
      {"empty serial", Seq({DerTlv(0x02, {}), date}), false},
      {"no date", Seq({DerTlv(0x02, {0x05})}), false},
      {"date not a time", Seq({DerTlv(0x02, {0x05}), DerTlv(0x04, Text("260101000000Z"))}), false},
      {"date not a date", Seq({DerTlv(0x02, {0x05}), DerTlv(0x17, Text("26x101000000Z"))}), false},
      {"field after the extensions", Seq({DerTlv(0x02, {0x05}), date, Seq({reason}), DerTlv(0x05, {})}), false},
      {"extension without a value", Seq({DerTlv(0x02, {0x05}), date, Seq({Seq({reason_oid})})}), false},
      {"broken identifier",
       Seq({DerTlv(0x02, {0x05}), date, Seq({Seq({DerTlv(0x06, {0x80, 0x01}), DerTlv(0x04, {})})})}), false},
      {"long flag",
       Seq({DerTlv(0x02, {0x05}), date, Seq({Seq({reason_oid, DerTlv(0x01, {0xFF, 0xFF}), DerTlv(0x04, {})})})}),
       false},
      {"entry a SET", DerTlv(0x31, Cat({DerTlv(0x02, {0x05}), date})), false},
      {"entry longer than the list", Cat({plain, Bytes{0x30, 0x7F, 0x02, 0x01, 0x05}}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t err = 0;
    const CrlPtr ours = CrlContext::FromDer(crl(c.entries), &err);
    EXPECT_EQ(static_cast<bool>(ours), c.accepted);
    EXPECT_EQ(err, c.accepted ? 0u : kCryptEAsn1BadTag);
  }
}

TEST_F(StoreTest, ComparisonsHaveThePlatformMeaning) {
  KeyPtr other = NewKey();
  CertPtr a = CertContext::FromDer(MakeCert("A", {0x01, 0x02}, "Root", leaf_key_.get(), root_key_.get()));
  CertPtr b = CertContext::FromDer(MakeCert("B", {0x01, 0x02}, "Root", other.get(), root_key_.get()));
  CertPtr c = CertContext::FromDer(MakeCert("A", {0x01, 0x03}, "Root", leaf_key_.get(), root_key_.get()));
  CertPtr d = CertContext::FromDer(MakeCert("A", {0x01, 0x02}, "Other", leaf_key_.get(), root_key_.get()));
  ASSERT_TRUE(a && b && c && d);
  EXPECT_TRUE(CompareCertificate(*a, *b));  // issuer and serial, nothing else
  EXPECT_FALSE(CompareCertificate(*a, *c));
  EXPECT_FALSE(CompareCertificate(*a, *d));
  EXPECT_TRUE(CompareCertificateName(a->subject_der(), c->subject_der()));
  EXPECT_FALSE(CompareCertificateName(a->subject_der(), b->subject_der()));

  const Bytes v1{0x01}, v1s{0x00, 0x01}, pos128{0x00, 0x80}, neg128{0x80}, neg128s{0xFF, 0x80};
  EXPECT_TRUE(CompareIntegerBlob(v1, v1s));
  EXPECT_FALSE(CompareIntegerBlob(pos128, neg128));
  EXPECT_TRUE(CompareIntegerBlob(neg128, neg128s));
}

TEST_F(StoreTest, LocationsAndNames) {
  const std::filesystem::path root = dir_.path();
  EXPECT_EQ(CertStore::FolderFor(kStoreCurrentUser, "My"), root / "user" / "my");
  EXPECT_EQ(CertStore::FolderFor(kStoreCurrentUser | 0x4000, "ROOT"), root / "user" / "root");
  EXPECT_EQ(CertStore::FolderFor(kStoreLocalMachine, "VelCryptoAPI"), root / "machine" / "velcryptoapi");
  // No name reaches outside its location.
  EXPECT_EQ(CertStore::FolderFor(kStoreCurrentUser, "../x"), root / "user" / "%2E%2E%2Fx");
  EXPECT_EQ(CertStore::FolderFor(kStoreCurrentUser, "."), root / "user" / "%2E");

  std::unique_ptr<CertStore> s;
  EXPECT_EQ(CertStore::Open(kStoreCurrentUser, "", &s), 87u);
  EXPECT_EQ(CertStore::Open(0x00030000, "My", &s), 87u);
  EXPECT_EQ(CertStore::Open(0, "My", &s), 87u);
  EXPECT_FALSE(s);

  unsetenv("VELDOC_STORE_DIR");
  setenv("XDG_DATA_HOME", (root / "xdg").c_str(), 1);
  EXPECT_EQ(CertStore::FolderFor(kStoreCurrentUser, "CA"), root / "xdg" / "veldoc" / "certstores" / "ca");
  EXPECT_EQ(CertStore::FolderFor(kStoreLocalMachine, "CA"), "/var/lib/veldoc/certstores/ca");
  unsetenv("XDG_DATA_HOME");
}

TEST_F(StoreTest, AddFindEnumerateDelete) {
  std::unique_ptr<CertStore> missing = OpenStore("CA");
  EXPECT_TRUE(missing->Certificates().empty());  // nothing made by reading
  EXPECT_FALSE(std::filesystem::exists(missing->folder()));

  CertPtr a = CertContext::FromDer(MakeCert("A", {0x01}, "Root", leaf_key_.get(), root_key_.get()));
  CertPtr b = CertContext::FromDer(MakeCert("B", {0x02}, "Root", leaf_key_.get(), root_key_.get()));
  std::unique_ptr<CertStore> my = OpenStore("My");
  CertPtr stored;
  EXPECT_EQ(my->AddCertificate(a, AddDisposition::kUseExisting, &stored), 0u);
  EXPECT_EQ(stored, a);
  EXPECT_EQ(my->AddCertificate(a, AddDisposition::kUseExisting), 0u);
  EXPECT_EQ(my->AddCertificate(a, AddDisposition::kNew), kCryptEExists);
  EXPECT_EQ(my->AddCertificate(b, AddDisposition::kNew), 0u);
  EXPECT_EQ(my->AddCertificate(nullptr, AddDisposition::kNew), kEInvalidArg);
  EXPECT_EQ(my->AddCertificate(b, static_cast<AddDisposition>(7)), kEInvalidArg);
  EXPECT_EQ(Files(my->folder()), (std::set<std::string>{a->sha1_hex() + ".cer", b->sha1_hex() + ".cer"}));

  // Another opening, under another spelling, sees the same certificates in file-name order.
  std::unique_ptr<CertStore> again = OpenStore("mY");
  ASSERT_EQ(again->Certificates().size(), 2u);
  const bool a_first = a->sha1_hex() < b->sha1_hex();
  EXPECT_EQ(again->Certificates()[a_first ? 0 : 1]->sha1(), a->sha1());
  EXPECT_EQ(my->Certificates().size(), 2u);

  EXPECT_EQ(again->DeleteCertificate(*a), 0u);
  EXPECT_EQ(again->DeleteCertificate(*a), 0u);
  ASSERT_EQ(again->Certificates().size(), 1u);
  EXPECT_EQ(OpenStore("MY")->Certificates().size(), 1u);
  EXPECT_TRUE(OpenStore("My", kStoreLocalMachine)->Certificates().empty());
}

TEST_F(StoreTest, ForeignFilesArePassedOver) {
  CertPtr a = CertContext::FromDer(MakeCert("A", {0x01}, "Root", leaf_key_.get(), root_key_.get()));
  CertPtr b = CertContext::FromDer(MakeCert("B", {0x02}, "Root", leaf_key_.get(), root_key_.get()));
  std::unique_ptr<CertStore> my = OpenStore("My");
  ASSERT_EQ(my->AddCertificate(a, AddDisposition::kNew), 0u);
  // A certificate under another certificate's name, junk under a good-looking
  // name, a leftover temporary file and a folder.
  test::WriteFileBytes(my->folder() / (std::string(40, 'A') + ".cer"), Bytes(b->der().begin(), b->der().end()));
  test::WriteFileBytes(my->folder() / (std::string(40, 'B') + ".cer"), Bytes{0x30, 0x03, 0x02, 0x01, 0x01});
  test::WriteFileBytes(my->folder() / ".tmp-abcdef", Bytes(b->der().begin(), b->der().end()));
  std::filesystem::create_directory(my->folder() / (std::string(40, 'C') + ".cer"));
  std::unique_ptr<CertStore> fresh = OpenStore("My");
  ASSERT_EQ(fresh->Certificates().size(), 1u);
  EXPECT_EQ(fresh->Certificates()[0]->sha1(), a->sha1());
}

TEST_F(StoreTest, OneCrlPerIssuer) {
  KeyPtr other_ca = NewKey();
  CrlPtr old_crl = CrlContext::FromDer(MakeCrl("Root", root_key_.get(), -7200));
  CrlPtr new_crl = CrlContext::FromDer(MakeCrl("Root", root_key_.get(), -60));
  CrlPtr other = CrlContext::FromDer(MakeCrl("Other", other_ca.get(), -60));
  ASSERT_TRUE(old_crl && new_crl && other);
  EXPECT_TRUE(old_crl->has_next_update());
  EXPECT_EQ(old_crl->next_update().ToTimeT() - old_crl->this_update().ToTimeT(), 86400);

  std::unique_ptr<CertStore> s = OpenStore("VelCryptoAPI");
  CrlPtr stored;
  EXPECT_EQ(s->AddCrl(old_crl, AddDisposition::kReplaceExisting), 0u);
  EXPECT_EQ(s->AddCrl(new_crl, AddDisposition::kNew), kCryptEExists);
  EXPECT_EQ(s->AddCrl(new_crl, AddDisposition::kUseExisting, &stored), 0u);
  ASSERT_TRUE(stored);
  EXPECT_EQ(Bytes(stored->der().begin(), stored->der().end()), Bytes(old_crl->der().begin(), old_crl->der().end()));
  EXPECT_EQ(s->AddCrl(new_crl, AddDisposition::kReplaceExisting), 0u);
  EXPECT_EQ(s->AddCrl(other, AddDisposition::kReplaceExisting), 0u);

  std::unique_ptr<CertStore> fresh = OpenStore("velcryptoapi");
  ASSERT_EQ(fresh->Crls().size(), 2u);
  for (const CrlPtr& c : fresh->Crls()) {
    if (CompareCertificateName(c->issuer_der(), new_crl->issuer_der())) {
      EXPECT_EQ(Bytes(c->der().begin(), c->der().end()), Bytes(new_crl->der().begin(), new_crl->der().end()));
    }
  }
  EXPECT_EQ(s->Crls().size(), 2u);

  CertPtr root = CertContext::FromDer(MakeCert("Root", {0x01}, "Root", root_key_.get(), root_key_.get(), true));
  EXPECT_TRUE(new_crl->SignatureVerifiesWith(*root));
  EXPECT_FALSE(other->SignatureVerifiesWith(*root));

  while (!fresh->Crls().empty()) EXPECT_EQ(fresh->DeleteCrl(*fresh->Crls().front()), 0u);
  EXPECT_TRUE(OpenStore("VelCryptoAPI")->Crls().empty());
}

// Several processes add to one store at once: every certificate lands once,
// whole, and no temporary file is left behind.
TEST_F(StoreTest, SeveralProcessesAddAtOnce) {
  constexpr int kProcs = 6, kEach = 12;
  std::vector<Bytes> certs;
  for (int i = 0; i < kEach * 2; ++i)
    certs.push_back(MakeCert("C" + std::to_string(i), {static_cast<uint8_t>(i + 1)}, "Root",
                             leaf_key_.get(), root_key_.get()));
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<CertStore> s;
      int bad = CertStore::Open(kStoreCurrentUser, "CA", &s) != 0;
      // Half the certificates are shared by every process, half are its own share.
      for (int i = 0; i < kEach && !bad; ++i) {
        const int idx = (i % 2 == 0) ? i : kEach + (p * kEach + i) % kEach;
        bad |= s->AddCertificate(CertContext::FromDer(certs[static_cast<size_t>(idx)]),
                                 AddDisposition::kUseExisting) != 0;
      }
      _exit(bad);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::unique_ptr<CertStore> s = OpenStore("ca");
  std::set<std::string> expected;
  for (const Bytes& der : certs) expected.insert(CertContext::FromDer(der)->sha1_hex() + ".cer");
  std::set<std::string> files = Files(s->folder());
  std::set<std::string> present;
  for (const CertPtr& c : s->Certificates()) present.insert(c->sha1_hex() + ".cer");
  EXPECT_EQ(files, present);  // no temporary or broken file
  for (const std::string& f : present) EXPECT_TRUE(expected.count(f));
  EXPECT_GE(present.size(), static_cast<size_t>(kEach));
}

// A reader never sees half a CRL while another process keeps replacing it.
TEST_F(StoreTest, ReplacedCrlIsAlwaysWhole) {
  const Bytes first = MakeCrl("Root", root_key_.get(), -100);
  const Bytes second = MakeCrl("Root", root_key_.get(), -50);
  std::unique_ptr<CertStore> s = OpenStore("VelCryptoAPI");
  ASSERT_EQ(s->AddCrl(CrlContext::FromDer(first), AddDisposition::kReplaceExisting), 0u);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::unique_ptr<CertStore> w;
    int bad = CertStore::Open(kStoreCurrentUser, "VelCryptoAPI", &w) != 0;
    CrlPtr a = CrlContext::FromDer(first), b = CrlContext::FromDer(second);
    for (int i = 0; i < 200 && !bad; ++i)
      bad |= w->AddCrl(i % 2 ? a : b, AddDisposition::kReplaceExisting) != 0;
    _exit(bad);
  }
  int reads = 0, whole = 0;
  for (int i = 0; i < 200; ++i) {
    std::unique_ptr<CertStore> r = OpenStore("VelCryptoAPI");
    ++reads;
    if (r->Crls().size() == 1) ++whole;
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(whole, reads);
  EXPECT_EQ(Files(s->folder()).size(), 1u);
}

TEST_F(StoreTest, UnwritableStoreGivesAnError) {
  CertPtr a = CertContext::FromDer(MakeCert("A", {0x01}, "Root", leaf_key_.get(), root_key_.get()));
  // A file where the location's folder should be: no store can be made there.
  test::WriteFileBytes(dir_.path() / "machine", Bytes{1});
  std::unique_ptr<CertStore> s = OpenStore("ROOT", kStoreLocalMachine);
  EXPECT_TRUE(s->Certificates().empty());
  EXPECT_NE(s->AddCertificate(a, AddDisposition::kUseExisting), 0u);
  EXPECT_TRUE(s->Certificates().empty());
}

// Runs `body` in a child process and gives its exit code; a child still
// running after `limit` is killed and counts as hung (-1).
int RunInChild(const std::function<int()>& body, std::chrono::seconds limit) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  const auto end = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// Entries that are not regular files are passed over: nothing is read
// through a link (to a file outside, or in a loop), nothing waits on a FIFO.
TEST_F(StoreTest, OnlyRegularFilesAreRead) {
  const Bytes inside = MakeCert("Inside", {0x01}, "Root", leaf_key_.get(), root_key_.get());
  const Bytes outside = MakeCert("Outside", {0x02}, "Root", leaf_key_.get(), root_key_.get());
  const Bytes crl = MakeCrl("Root", root_key_.get(), -60);
  std::unique_ptr<CertStore> ca = OpenStore("CA");
  std::unique_ptr<CertStore> crls = OpenStore("VelCryptoAPI");
  ASSERT_EQ(ca->AddCertificate(CertContext::FromDer(inside), AddDisposition::kNew), 0u);
  ASSERT_EQ(crls->AddCrl(CrlContext::FromDer(crl), AddDisposition::kNew), 0u);

  const std::filesystem::path elsewhere = dir_.path() / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  test::WriteFileBytes(elsewhere / "outside.cer", outside);
  test::WriteFileBytes(elsewhere / "outside.crl", MakeCrl("Other", leaf_key_.get(), -60));
  const std::string outside_name = CertContext::FromDer(outside)->sha1_hex() + ".cer";
  std::filesystem::create_symlink(elsewhere / "outside.cer", ca->folder() / outside_name);
  std::filesystem::create_symlink(elsewhere / "outside.crl",
                                  crls->folder() / (std::string(40, 'A') + ".crl"));
  const std::string loop = std::string(40, 'B') + ".cer";
  std::filesystem::create_symlink(loop, ca->folder() / loop);
  ASSERT_EQ(mkfifo((ca->folder() / (std::string(40, 'C') + ".cer")).c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((crls->folder() / (std::string(40, 'C') + ".crl")).c_str(), 0600), 0);
  std::filesystem::create_directory(crls->folder() / (std::string(40, 'D') + ".crl"));

  const int rc = RunInChild(
      [&] {
        std::unique_ptr<CertStore> c, r;
        if (CertStore::Open(kStoreCurrentUser, "CA", &c) != 0 ||
            CertStore::Open(kStoreCurrentUser, "VelCryptoAPI", &r) != 0)
          return 10;
        if (c->Certificates().size() != 1 || c->Certificates()[0]->der().size() != inside.size())
          return 11;
        if (r->Crls().size() != 1 || r->Crls()[0]->der().size() != crl.size()) return 12;
        return 0;
      },
      std::chrono::seconds(20));
  EXPECT_EQ(rc, 0) << "-1: the read hung";
}

// Another process replaces a CRL again and again, faster than the clock's
// tick: every change is seen by the next reader, though the store is kept
// in memory between reads.
TEST_F(StoreTest, ChangesByAnotherProcessAreSeenAtOnce) {
  const Bytes first = MakeCrl("Root", root_key_.get(), -100);
  const Bytes second = MakeCrl("Root", root_key_.get(), -50);
  std::unique_ptr<CertStore> s = OpenStore("VelCryptoAPI");
  ASSERT_EQ(s->AddCrl(CrlContext::FromDer(first), AddDisposition::kReplaceExisting), 0u);
  ASSERT_EQ(s->Crls().size(), 1u);

  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  constexpr int kRounds = 40;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::unique_ptr<CertStore> w;
    int bad = CertStore::Open(kStoreCurrentUser, "VelCryptoAPI", &w) != 0;
    const CrlPtr a = CrlContext::FromDer(first), b = CrlContext::FromDer(second);
    char go = 0;
    for (int i = 0; i < kRounds && !bad; ++i) {
      if (read(to_child[0], &go, 1) != 1) break;
      bad |= w->AddCrl(i % 2 ? a : b, AddDisposition::kReplaceExisting) != 0;
      bad |= write(to_parent[1], "x", 1) != 1;
    }
    _exit(bad);
  }
  int wrong = 0;
  for (int i = 0; i < kRounds; ++i) {
    char done = 0;
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    ASSERT_EQ(read(to_parent[0], &done, 1), 1);
    const Bytes& want = i % 2 ? first : second;
    std::unique_ptr<CertStore> r = OpenStore("VelCryptoAPI");
    if (r->Crls().size() != 1 || !std::ranges::equal(r->Crls()[0]->der(), want)) ++wrong;
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(wrong, 0);
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(fd);

  // A file removed behind our back is gone for the next reader too.
  std::filesystem::remove(s->folder() / CrlSlotFileName(*CrlContext::FromDer(first)));
  EXPECT_TRUE(OpenStore("VelCryptoAPI")->Crls().empty());
}

}  // namespace
}  // namespace vel::platform
