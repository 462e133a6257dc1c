// The qualified tests with a test hierarchy in place of the built-in list:
// a national root, qualified CAs under it, leaves, and time-stamp
// authorities; and the "CA" stores of both locations.
#include "cryptolib/qualified.h"

#include <gtest/gtest.h>

#include "cryptolib/tests/path_fixture.h"

namespace vel::crypto {
namespace {

using test::path::Ca;
using test::path::CertOptions;
using test::path::Issue;
using test::path::kEkuEmail;
using test::path::kEkuTimeStamping;
using test::path::Leaf;
using test::path::Party;
using test::path::StoreFolder;

constexpr uint32_t kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;

CertOptions Tsa(uint8_t serial, const std::vector<uint8_t>& eku) {
  CertOptions o = Leaf(serial);
  o.extra.push_back({"2.5.29.37", eku});
  return o;
}

class QualifiedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_cert = Issue(root, root, Ca(1));
    builtin_ca_cert = Issue(builtin_ca, root, Ca(2));
    BuiltInCaCertificates list;
    list.qualified_cas.push_back({});  // an entry that does not decode matches nothing
    list.qualified_cas.push_back(Bytes(builtin_ca_cert));
    list.national_root = Bytes(root_cert);
    saved_ = SetBuiltInCaCertificates(std::move(list));
    SetLanguage("en");
  }
  void TearDown() override {
    SetBuiltInCaCertificates(std::move(saved_));
    SetLanguage("pl");
  }

  static std::vector<uint8_t> Bytes(const CertPtr& c) { return {c->der().begin(), c->der().end()}; }

  static int Qualified(const CertPtr& cert, LibraryErrorCode* last = nullptr) {
    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), cert);
    const int r = IsQualifiedCertificate(ctx.get());
    if (last != nullptr) *last = ctx->last_error;
    return r;
  }
  static int QualifiedTsa(const CertPtr& cert) {
    X509ContextPtr ctx = MakeX509Context();
    SetCertificateContext(ctx.get(), cert);
    return IsQualifiedTimeStampCertificate(ctx.get());
  }

  StoreFolder stores;
  Party root{"National Root"}, builtin_ca{"Built-in Qualified CA"};
  Party store_ca{"Stored Qualified CA"}, other_root{"Other Root"};
  Party person{"Person"};
  CertPtr root_cert, builtin_ca_cert;

 private:
  BuiltInCaCertificates saved_;
};

TEST_F(QualifiedTest, BuiltInAuthoritiesAndTheRoot) {
  LibraryErrorCode last = 1;
  EXPECT_EQ(Qualified(Issue(person, builtin_ca, Leaf(10)), &last), 1);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(Qualified(Issue(person, root, Leaf(11))), 1);  // the root issued it directly
  EXPECT_EQ(Qualified(root_cert), 1);                       // the root is self-signed
  // Same names, another key: not issued by them.
  Party impostor{"Built-in Qualified CA"};
  EXPECT_EQ(Qualified(Issue(person, impostor, Leaf(12)), &last), 0);
}

TEST_F(QualifiedTest, AuthoritiesFromTheCaStores) {
  const CertPtr certified = Issue(store_ca, root, Ca(3));
  const CertPtr uncertified = Issue(store_ca, other_root, Ca(4));  // same key and name
  const CertPtr leaf = Issue(person, store_ca, Leaf(13));
  struct Case {
    const char* what;
    CertPtr user, machine;
    int want;
  } cases[] = {
      {"in no store", nullptr, nullptr, 0},
      {"in the user's store, certified by the root", certified, nullptr, 1},
      {"only in the machine's store", nullptr, certified, 0},
      {"user's issuer not certified, machine's is", uncertified, certified, 1},
      {"certified by another root in both", uncertified, uncertified, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StoreFolder fresh;
    if (c.user) fresh.AddCert("CA", c.user);
    if (c.machine) fresh.AddCert("CA", c.machine, kMachine);
    EXPECT_EQ(Qualified(leaf), c.want);
  }
}

TEST_F(QualifiedTest, TimeStampAuthorities) {
  struct Case {
    const char* what;
    CertPtr cert;
    int want;
  } cases[] = {
      {"root-issued with time stamping", Issue(person, root, Tsa(20, kEkuTimeStamping)), 1},
      {"root-issued with another usage", Issue(person, root, Tsa(21, kEkuEmail)), 0},
      {"root-issued without usages", Issue(person, root, Leaf(22)), 0},
      {"issued by a qualified CA", Issue(person, builtin_ca, Tsa(23, kEkuTimeStamping)), 0},
      {"another root's", Issue(person, other_root, Tsa(24, kEkuTimeStamping)), 0},
  };
  for (const char* language : {"en", "pl"}) {
    SetLanguage(language);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(language) + ": " + c.what);
      EXPECT_EQ(QualifiedTsa(c.cert), c.want);
    }
  }
}

TEST_F(QualifiedTest, NoCertificate) {
  X509ContextPtr ctx = MakeX509Context();
  EXPECT_EQ(IsQualifiedCertificate(ctx.get()), 0);
  EXPECT_EQ(ctx->last_error, LIB_E_NO_CERTIFICATE);
  ctx->last_error = 0;
  EXPECT_EQ(IsQualifiedTimeStampCertificate(ctx.get()), 0);
  EXPECT_EQ(ctx->last_error, LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(IsQualifiedCertificate(nullptr), 0);
  EXPECT_EQ(IsQualifiedTimeStampCertificate(nullptr), 0);
}

TEST_F(QualifiedTest, TheShippedListMatchesNothingByItself) {
  // The program's list carries no outside party's certificate yet: only a
  // root-certified authority in the "CA" store could make a certificate
  // qualified, and there is no root to certify it.
  SetBuiltInCaCertificates(ProgramBuiltInCaCertificates());
  stores.AddCert("CA", builtin_ca_cert);
  EXPECT_EQ(Qualified(Issue(person, builtin_ca, Leaf(30))), 0);
  EXPECT_EQ(QualifiedTsa(Issue(person, root, Tsa(31, kEkuTimeStamping))), 0);
}

}  // namespace
}  // namespace vel::crypto
