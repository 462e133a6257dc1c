// The certificate object over a PKI made in the test: construction, the
// texts it hands out and keeps, verification through the path check, the
// qualified tests with a test hierarchy, selection and the viewer through
// window handlers the test installs, and the process-wide operations.
#include "cryptolib/certificate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cryptolib/cert_path.h"
#include "cryptolib/cert_windows.h"
#include "cryptolib/http_client.h"
#include "cryptolib/qualified.h"
#include "cryptolib/tests/cert_factory.h"
#include "cryptolib/tests/path_fixture.h"
#include "platform/testing/http_test_server.h"
#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

using test::path::Ca;
using test::path::CertOptions;
using test::path::CrlOptions;
using test::path::Issue;
using test::path::kDay;
using test::path::kEkuEmail;
using test::path::kEkuTimeStamping;
using test::path::Leaf;
using test::path::MakeCrl;
using test::path::Party;
using test::path::StoreFolder;

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr uint32_t kDownload = 0;
constexpr uint32_t kStoredOnly = 1;
constexpr LibraryErrorCode kCancelled = platform::kErrorCancelled;
constexpr LibraryErrorCode kNotImplemented = platform::kErrorCallNotImplemented;

Bytes Der(const CertPtr& c) { return {c->der().begin(), c->der().end()}; }

// What the test's window handlers saw and answer. Handlers are plain
// function pointers, so their state lives here; the fixture resets it.
struct WindowScript {
  int pick = -1;  // candidate to choose; -1 cancels
  int selections = 0;
  uint32_t location = 0;
  std::string store_name;
  std::vector<CertPtr> candidates;
  int views = 0;
  CertPtr viewed;
  LibraryErrorCode view_result = 0;
};
WindowScript g_script;

CertPtr ScriptedSelection(X509Context* context) {
  ++g_script.selections;
  g_script.location = context->store_location;
  g_script.store_name = context->store_name;
  g_script.candidates = context->candidates;
  if (g_script.pick < 0 || static_cast<size_t>(g_script.pick) >= context->candidates.size()) {
    context->last_error = kCancelled;
    return nullptr;
  }
  context->certificate = context->candidates[static_cast<size_t>(g_script.pick)];
  context->last_error = 0;
  return context->certificate;
}

LibraryErrorCode ScriptedViewer(const CertPtr& certificate) {
  ++g_script.views;
  g_script.viewed = certificate;
  return g_script.view_result;
}

void InstallScriptedWindows() {
  CertificateWindowHandlers handlers;
  handlers.select_certificate = &ScriptedSelection;
  handlers.show_certificate = &ScriptedViewer;
  SetCertificateWindowHandlers(handlers);
}

// root -> ca -> leaf; root in "ROOT", ca in "CA".
class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = {};
    test::ClearProxyEnvironment();  // the dead CRL address must be tried directly
    root_cert = Issue(root, root, Ca(1));
    ca_cert = Issue(ca, root, Ca(2));
    leaf_cert = Issue(leaf, ca, Leaf(3));
    stores.AddCert("ROOT", root_cert);
    stores.AddCert("CA", ca_cert);
  }
  void TearDown() override {
    SetCertificateWindowHandlers({});
    g_script = {};
  }

  // Every operation of an object that holds no certificate fails.
  static void ExpectNoCertificate(Certificate& c, Certificate& good) {
    EXPECT_EQ(c.GetContext(), nullptr);
    EXPECT_EQ(c.GetSerialNumber(), nullptr);
    EXPECT_EQ(c.GetLastError(), LIB_E_NO_CERTIFICATE);
    EXPECT_EQ(c.GetDisplayName(), nullptr);
    EXPECT_EQ(c.GetLastError(), LIB_E_NO_CERTIFICATE);
    EXPECT_EQ(c.GetIssuerCommonName(), nullptr);
    EXPECT_EQ(c.GetLastError(), LIB_E_NO_CERTIFICATE);
    EXPECT_NE(c.Verify(kUser, kStoredOnly), 0u);
    EXPECT_NE(c.Verify(kUser, kDownload), 0u);
    EXPECT_EQ(c.IsQualified(), 0);
    EXPECT_EQ(c.IsQualifiedTimeStampCertificate(), 0);
    EXPECT_EQ(c.IsSame(good), 0);
    EXPECT_EQ(good.IsSame(c), 0);
    EXPECT_EQ(good.GetLastError(), LIB_E_NO_CERTIFICATE);
    EXPECT_EQ(c.Show(nullptr), LIB_E_NO_CERTIFICATE);
  }

  StoreFolder stores;
  Party root{"Test Root"}, ca{"Test CA"}, leaf{"Test Leaf"};
  CertPtr root_cert, ca_cert, leaf_cert;
};

TEST_F(CertificateTest, FromAContextAndFromItsBytesIsTheSameCertificate) {
  const Bytes der = Der(leaf_cert);
  Certificate from_context(leaf_cert);
  Certificate from_bytes(der.data(), static_cast<uint32_t>(der.size()));
  EXPECT_EQ(from_context.GetLastError(), 0u);
  EXPECT_EQ(from_bytes.GetLastError(), 0u);
  EXPECT_EQ(Der(from_bytes.GetContext()), der);
  EXPECT_NE(from_context.IsSame(from_bytes), 0);
  EXPECT_NE(from_bytes.IsSame(from_context), 0);

  // Issuer and serial number decide; the subject and key do not.
  Party other_leaf{"Other Leaf"}, other_ca{"Other CA"};
  struct Case {
    const char* what;
    CertPtr cert;
    bool same;
  } cases[] = {
      {"another key and subject, same issuer and serial", Issue(other_leaf, ca, Leaf(3)), true},
      {"same issuer, another serial", Issue(leaf, ca, Leaf(4)), false},
      {"same serial, another issuer", Issue(leaf, other_ca, Leaf(3)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Certificate other(c.cert);
    EXPECT_EQ(from_context.IsSame(other) != 0, c.same);
    EXPECT_EQ(from_context.GetLastError(), 0u);
  }
}

TEST_F(CertificateTest, AFailedConstructionLeavesAnObjectWithoutACertificate) {
  Certificate good(leaf_cert);
  const Bytes der = Der(leaf_cert);
  Bytes cut(der.begin(), der.end() - 1);
  Bytes trailing = der;
  trailing.push_back(0x00);
  const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};

  Certificate none(CertPtr{});
  EXPECT_EQ(none.GetLastError(), platform::kErrorNotEnoughMemory);
  ExpectNoCertificate(none, good);

  struct Case {
    const char* what;
    const uint8_t* bytes;
    uint32_t length;
  } cases[] = {
      {"cut short", cut.data(), static_cast<uint32_t>(cut.size())},
      {"a byte after the certificate", trailing.data(), static_cast<uint32_t>(trailing.size())},
      {"not a certificate", garbage.data(), static_cast<uint32_t>(garbage.size())},
      {"empty", der.data(), 0},
      {"no bytes but a length", nullptr, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Certificate bad(c.bytes, c.length);
    EXPECT_EQ(bad.GetLastError(), platform::kErrorNotEnoughMemory);
    ExpectNoCertificate(bad, good);
  }
}

TEST_F(CertificateTest, NamesAndSerialOfTheCertificateMade) {
  using test::certs::Attr;
  const test::certs::Key subject_key = test::certs::NewKey(), issuer_key = test::certs::NewKey();
  const Attr country{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"};
  const Attr org{"2.5.4.10", V_ASN1_UTF8STRING, "Vellorum Test"};
  const Attr root_cn{"2.5.4.3", V_ASN1_UTF8STRING, "Test Root CA"};
  struct Case {
    const char* what;
    std::vector<Attr> subject, issuer;
    Bytes serial;
    const char* display_name;
    const char* issuer_cn;  // null: the issuer has no common name
    const char* serial_hex;
  } cases[] = {
      {"common name", {country, {"2.5.4.3", V_ASN1_UTF8STRING, "Jan Kowalski"}},
       {country, org, root_cn}, {0x01}, "Jan Kowalski", "Test Root CA", "01"},
      {"given name and surname",
       {{"2.5.4.42", V_ASN1_UTF8STRING, "Anna"}, {"2.5.4.4", V_ASN1_UTF8STRING, "Nowak"}},
       {root_cn}, {0x0A, 0xBC}, "Anna Nowak", "Test Root CA", "0ABC"},
      {"pseudonym", {{"2.5.4.65", V_ASN1_UTF8STRING, "Zorro"}}, {root_cn},
       {0x80, 0x11, 0x22, 0x33}, "Zorro (pseudonim)", "Test Root CA", "0080112233"},
      {"no name at all", {org}, {root_cn}, {0x7F}, " ", "Test Root CA", "7F"},
      {"Polish letters", {{"2.5.4.3", V_ASN1_UTF8STRING, "Zażółć Gęślą"}},
       {country, {"2.5.4.3", V_ASN1_UTF8STRING, "Urząd Certyfikacji"}}, {0x02},
       "Zażółć Gęślą", "Urząd Certyfikacji", "02"},
      {"the most specific of two common names", {org},
       {{"2.5.4.3", V_ASN1_UTF8STRING, "Outer"}, {"2.5.4.3", V_ASN1_UTF8STRING, "Inner"}},
       {0x03}, " ", "Inner", "03"},
      {"issuer without a common name", {org}, {country, org}, {0x04}, " ", nullptr, "04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::certs::Params p;
    p.subject = c.subject;
    p.issuer = c.issuer;
    p.serial = c.serial;
    p.subject_key = subject_key.get();
    p.issuer_key = issuer_key.get();
    const Bytes der = test::certs::MakeCert(p);
    Certificate cert(der.data(), static_cast<uint32_t>(der.size()));
    ASSERT_EQ(cert.GetLastError(), 0u);
    const char* name = cert.GetDisplayName();
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, c.display_name);
    EXPECT_EQ(cert.GetLastError(), 0u);
    const char* serial = cert.GetSerialNumber();
    ASSERT_NE(serial, nullptr);
    EXPECT_STREQ(serial, c.serial_hex);
    const char* issuer = cert.GetIssuerCommonName();
    if (c.issuer_cn == nullptr) {
      EXPECT_EQ(issuer, nullptr);
      EXPECT_EQ(cert.GetLastError(), platform::kErrorInvalidData);
    } else {
      ASSERT_NE(issuer, nullptr);
      EXPECT_STREQ(issuer, c.issuer_cn);
      EXPECT_EQ(cert.GetLastError(), 0u);
    }
  }
}

// Each getter replaces only its own text; a failing getter hands out none and
// keeps its status until the next operation.
TEST_F(CertificateTest, TextsAreReplacedByTheNextCallOfTheirOwnGetter) {
  Certificate cert(leaf_cert);
  const char* name = cert.GetDisplayName();
  ASSERT_NE(name, nullptr);
  const char* serial1 = cert.GetSerialNumber();
  ASSERT_NE(serial1, nullptr);
  const std::string first(serial1);
  const char* serial2 = cert.GetSerialNumber();
  ASSERT_NE(serial2, nullptr);
  EXPECT_EQ(first, serial2);
  EXPECT_EQ(first, "03");
  const char* issuer = cert.GetIssuerCommonName();
  ASSERT_NE(issuer, nullptr);
  EXPECT_STREQ(issuer, "Test CA");
  // The display name was not touched by the other getters (ASan checks the read).
  EXPECT_STREQ(name, "Test Leaf");
  EXPECT_STREQ(serial2, "03");

  // A getter that fails drops its own text only.
  const Bytes der = test::certs::MakeCert([&] {
    test::certs::Params p;
    p.issuer = {{"2.5.4.10", V_ASN1_UTF8STRING, "Org Only"}};
    p.subject_key = leaf.key.get();
    p.issuer_key = ca.key.get();
    return p;
  }());
  Certificate no_cn(der.data(), static_cast<uint32_t>(der.size()));
  const char* leaf_name = no_cn.GetDisplayName();
  ASSERT_NE(leaf_name, nullptr);
  EXPECT_EQ(no_cn.GetIssuerCommonName(), nullptr);
  EXPECT_EQ(no_cn.GetLastError(), platform::kErrorInvalidData);
  EXPECT_EQ(no_cn.GetLastError(), platform::kErrorInvalidData);  // reading it changes nothing
  EXPECT_STREQ(leaf_name, "Leaf");
}

TEST_F(CertificateTest, TheLastStatusIsKeptUntilTheNextOperation) {
  Certificate cert(leaf_cert);
  EXPECT_EQ(cert.Verify(kUser, kStoredOnly), CRYPT_E_NO_REVOCATION_CHECK);
  EXPECT_EQ(cert.GetLastError(), CRYPT_E_NO_REVOCATION_CHECK);
  EXPECT_EQ(cert.GetLastError(), CRYPT_E_NO_REVOCATION_CHECK);
  EXPECT_EQ(cert.GetContext(), leaf_cert);
  EXPECT_EQ(cert.GetLastError(), 0u);
  EXPECT_EQ(cert.AddCrlUrl(nullptr), platform::kErrorInvalidParameter);
  EXPECT_EQ(cert.GetLastError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(cert.AddCrlUrl("http://127.0.0.1:1/ca.crl"), 0u);
  EXPECT_EQ(cert.GetLastError(), 0u);
  // The process-wide operations need no object and leave its status alone.
  EXPECT_EQ(cert.Show(nullptr), kNotImplemented);  // no viewer installed
  EXPECT_EQ(Certificate::DeleteCachedCrls(kUser), 0u);
  EXPECT_EQ(cert.GetLastError(), kNotImplemented);
}

TEST_F(CertificateTest, VerificationStatuses) {
  Party stranger{"Stranger CA"};
  const CertPtr expired = Issue(leaf, ca, {.serial = {0x04}, .not_before = -30 * kDay,
                                           .not_after = -kDay});
  const CertPtr orphan = Issue(leaf, stranger, Leaf(5));
  struct Case {
    const char* what;
    CertPtr cert;
    bool root_crl, ca_crl;
    Bytes revoked;       // serial listed by the CA's CRL
    const char* url;     // a CRL address of the object
    uint32_t mode;
    LibraryErrorCode want;
  } cases[] = {
      {"good, stored CRLs", leaf_cert, true, true, {}, nullptr, kStoredOnly, 0},
      {"good, nothing to download", leaf_cert, true, true, {}, nullptr, kDownload, 0},
      {"revoked", leaf_cert, true, true, {0x03}, nullptr, kStoredOnly, CERT_E_REVOKED},
      {"another serial revoked", leaf_cert, true, true, {0x33}, nullptr, kStoredOnly, 0},
      {"expired", expired, true, true, {}, nullptr, kStoredOnly, CERT_E_EXPIRED},
      {"unknown issuer", orphan, true, true, {}, nullptr, kStoredOnly, CERT_E_CHAINING},
      {"no CRL of the CA, stored only", leaf_cert, true, false, {}, nullptr, kStoredOnly,
       CRYPT_E_NO_REVOCATION_CHECK},
      {"no CRLs, no addresses", leaf_cert, false, false, {}, nullptr, kDownload,
       CRYPT_E_NO_REVOCATION_CHECK},
      {"no CRL, the address does not answer", leaf_cert, true, false, {},
       "http://127.0.0.1:1/ca.crl", kDownload, CRYPT_E_NO_REVOCATION_CHECK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StoreFolder fresh;
    fresh.AddCert("ROOT", root_cert);
    fresh.AddCert("CA", ca_cert);
    if (c.root_crl) fresh.AddCrl(MakeCrl(root));
    if (c.ca_crl) {
      CrlOptions o;
      if (!c.revoked.empty()) o.revoked = {c.revoked};
      fresh.AddCrl(MakeCrl(ca, o));
    }
    Certificate cert(c.cert);
    if (c.url != nullptr) {
      ASSERT_EQ(cert.AddCrlUrl(c.url), 0u);
    }
    EXPECT_EQ(cert.Verify(kUser, c.mode), c.want);
    EXPECT_EQ(cert.GetLastError(), c.want);
  }
}

TEST_F(CertificateTest, DeletedCrlsAreNotStoredAnyMore) {
  stores.AddCrl(MakeCrl(root));
  stores.AddCrl(MakeCrl(ca));
  Certificate cert(leaf_cert);
  EXPECT_EQ(cert.Verify(kUser, kStoredOnly), 0u);
  EXPECT_EQ(Certificate::DeleteCachedCrls(kUser), 0u);
  EXPECT_TRUE(stores.StoredCrls().empty());
  EXPECT_EQ(cert.Verify(kUser, kStoredOnly), CRYPT_E_NO_REVOCATION_CHECK);
}

TEST_F(CertificateTest, QualifiedTestsWithATestHierarchy) {
  Party national{"National Root"}, qualified_ca{"Qualified CA"}, person{"Person"};
  const CertPtr national_cert = Issue(national, national, Ca(1));
  const CertPtr qualified_ca_cert = Issue(qualified_ca, national, Ca(2));
  BuiltInCaCertificates list;
  list.qualified_cas.push_back(Der(qualified_ca_cert));
  list.national_root = Der(national_cert);
  struct Restore {
    BuiltInCaCertificates saved;
    ~Restore() { SetBuiltInCaCertificates(std::move(saved)); }
  } restore{SetBuiltInCaCertificates(std::move(list))};

  auto tsa = [](uint8_t serial, const Bytes& eku) {
    CertOptions o = Leaf(serial);
    o.extra.push_back({"2.5.29.37", eku});
    return o;
  };
  Party impostor{"Qualified CA"};  // same name, another key
  struct Case {
    const char* what;
    CertPtr cert;
    int qualified, qualified_tsa;
  } cases[] = {
      {"issued by a qualified CA", Issue(person, qualified_ca, Leaf(10)), 1, 0},
      {"issued by the national root", Issue(person, national, Leaf(11)), 1, 0},
      {"name of a qualified CA, another key", Issue(person, impostor, Leaf(12)), 0, 0},
      {"issued by the test CA", leaf_cert, 0, 0},
      {"time-stamp authority of the root", Issue(person, national, tsa(13, kEkuTimeStamping)), 1, 1},
      {"root-issued, e-mail usage", Issue(person, national, tsa(14, kEkuEmail)), 1, 0},
      {"time stamping, from a qualified CA", Issue(person, qualified_ca, tsa(15, kEkuTimeStamping)),
       1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Certificate cert(c.cert);
    EXPECT_EQ(cert.IsQualified(), c.qualified);
    if (c.qualified) {
      EXPECT_EQ(cert.GetLastError(), 0u);
    }
    EXPECT_EQ(cert.IsQualifiedTimeStampCertificate(), c.qualified_tsa);
  }
}

TEST_F(CertificateTest, SelectFromStore) {
  Party a{"Alicja"}, b{"Bogdan"}, c{"Celina"};
  const std::vector<CertPtr> mine = {Issue(a, ca, Leaf(20)), Issue(b, ca, Leaf(21)),
                                     Issue(c, ca, Leaf(22))};
  for (const CertPtr& cert : mine) stores.AddCert("My", cert);
  const std::string overlong(kMaxStoreNameLength + 1, 'x');
  struct Case {
    const char* what;
    bool install;
    const char* store;
    int pick;
    int want_selections;
    size_t want_candidates;
  } cases[] = {
      {"the second one chosen", true, "My", 1, 1, 3},
      {"the first one chosen", true, "my", 0, 1, 3},  // store names without case
      {"cancelled", true, "My", -1, 1, 3},
      {"an empty store shows an empty list", true, "Empty", -1, 1, 0},
      {"no selection window", false, "My", 0, 0, 0},
      {"no store name", true, nullptr, 0, 0, 0},
      {"a store name over the limit", true, overlong.c_str(), 0, 0, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    g_script = {};
    g_script.pick = k.pick;
    if (k.install)
      InstallScriptedWindows();
    else
      SetCertificateWindowHandlers({});
    std::unique_ptr<Certificate> chosen = Certificate::SelectFromStore(kUser, k.store);
    EXPECT_EQ(g_script.selections, k.want_selections);
    EXPECT_EQ(g_script.candidates.size(), k.want_candidates);
    if (k.want_selections == 0 || k.pick < 0) {
      EXPECT_EQ(chosen, nullptr);
      continue;
    }
    EXPECT_EQ(g_script.location, kUser);
    EXPECT_EQ(g_script.store_name, k.store);
    ASSERT_NE(chosen, nullptr);
    const CertPtr want = g_script.candidates[static_cast<size_t>(k.pick)];
    EXPECT_EQ(chosen->GetLastError(), 0u);
    EXPECT_EQ(Der(chosen->GetContext()), Der(want));
    Certificate again(want);
    EXPECT_NE(chosen->IsSame(again), 0);
    const char* name = chosen->GetDisplayName();
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(std::string(name) == "Alicja" || std::string(name) == "Bogdan" ||
                std::string(name) == "Celina")
        << name;
  }
}

TEST_F(CertificateTest, ShowOpensTheViewerOnTheHeldCertificate) {
  Certificate cert(leaf_cert);
  EXPECT_EQ(cert.Show(nullptr), kNotImplemented);
  EXPECT_EQ(cert.GetLastError(), kNotImplemented);
  InstallScriptedWindows();
  for (LibraryErrorCode result : {0u, 5u}) {
    g_script.view_result = result;
    EXPECT_EQ(cert.Show(nullptr), result);
    EXPECT_EQ(cert.GetLastError(), result);
    EXPECT_EQ(g_script.viewed, leaf_cert);
  }
  EXPECT_EQ(g_script.views, 2);
}

TEST_F(CertificateTest, GlobalProxy) {
  const std::string overlong(kMaxProxyTextLength, 'p');
  EXPECT_EQ(Certificate::SetGlobalProxy(overlong.c_str(), nullptr, nullptr),
            platform::kErrorInvalidParameter);
  EXPECT_EQ(Certificate::SetGlobalProxy("127.0.0.1:3128", "user", "secret"), 0u);
  EXPECT_EQ(Certificate::SetGlobalProxy(nullptr, nullptr, nullptr), 0u);
}

}  // namespace
}  // namespace vel::crypto
