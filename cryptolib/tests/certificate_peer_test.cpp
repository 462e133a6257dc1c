// The certificate object against real peers: its CRL addresses reach the
// download (CRLs published by python3's http.server on 127.0.0.1), and its
// names and serial number agree with what `openssl x509` reads from the same
// certificate.
#include "cryptolib/certificate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "cryptolib/cert_path.h"
#include "cryptolib/http_client.h"
#include "cryptolib/tests/cert_factory.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/path_fixture.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using test::path::Ca;
using test::path::CrlOptions;
using test::path::Issue;
using test::path::Leaf;
using test::path::MakeCrl;
using test::path::Party;
using test::path::StoreFolder;

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;

TEST(CertificatePeer, CrlAddressesOfTheObjectAreDownloaded) {
  VEL_REQUIRE_TOOL("python3");
  test::ClearProxyEnvironment();
  ASSERT_EQ(Certificate::SetGlobalProxy(nullptr, nullptr, nullptr), 0u);
  platform::HttpLimits limits;
  limits.connect_timeout = std::chrono::milliseconds(5000);
  limits.idle_timeout = std::chrono::milliseconds(5000);
  SetHttpLimits(limits);

  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "www");
  test::StaticFileServer files(dir.path() / "www");
  Party root{"Peer Root"}, ca{"Peer CA"}, leaf{"Peer Leaf"};
  const CertPtr root_cert = Issue(root, root, Ca(1));
  const CertPtr ca_cert = Issue(ca, root, Ca(2));
  const CertPtr leaf_cert = Issue(leaf, ca, Leaf(3));
  auto publish = [&](const std::string& name, const CrlPtr& crl) {
    files.Publish(name, {crl->der().begin(), crl->der().end()});
  };
  publish("root.crl", MakeCrl(root));
  publish("ca.crl", MakeCrl(ca));
  CrlOptions revoking;
  revoking.revoked = {{0x03}};
  publish("ca-revoked.crl", MakeCrl(ca, revoking));

  struct Case {
    const char* what;
    std::vector<std::string> files;
    uint32_t mode;
    LibraryErrorCode want;
    size_t want_stored;
  } cases[] = {
      {"both CRLs downloaded", {"root.crl", "ca.crl"}, 0, 0, 2},
      {"a missing file, then the CRLs", {"none.crl", "ca.crl", "root.crl"}, 0, 0, 2},
      {"the CA's CRL lists the leaf", {"root.crl", "ca-revoked.crl"}, 0, CERT_E_REVOKED, 2},
      {"only the root's CRL is published", {"root.crl"}, 0, CRYPT_E_NO_REVOCATION_CHECK, 1},
      {"stored CRLs only: nothing is fetched", {"root.crl", "ca.crl"}, 1,
       CRYPT_E_NO_REVOCATION_CHECK, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StoreFolder stores;
    stores.AddCert("ROOT", root_cert);
    stores.AddCert("CA", ca_cert);
    Certificate cert(leaf_cert);
    for (const std::string& f : c.files) ASSERT_EQ(cert.AddCrlUrl(files.Url(f).c_str()), 0u);
    EXPECT_EQ(cert.Verify(kUser, c.mode), c.want);
    EXPECT_EQ(stores.StoredCrls().size(), c.want_stored);
    if (c.want == 0) {
      // Now stored: checked again without the network, and gone once deleted.
      Certificate offline(leaf_cert);
      EXPECT_EQ(offline.Verify(kUser, 1), 0u);
      EXPECT_EQ(Certificate::DeleteCachedCrls(kUser), 0u);
      EXPECT_EQ(offline.Verify(kUser, 1), CRYPT_E_NO_REVOCATION_CHECK);
    }
  }
  SetHttpLimits(platform::HttpLimits{});
}

// The last value of `field` in openssl's multiline name output.
std::string LastField(const std::string& text, const std::string& field) {
  std::string value;
  size_t at = 0;
  while ((at = text.find(field, at)) != std::string::npos) {
    const size_t eq = text.find("= ", at);
    const size_t end = text.find('\n', eq);
    if (eq == std::string::npos) break;
    value = text.substr(eq + 2, end == std::string::npos ? std::string::npos : end - eq - 2);
    at = eq;
  }
  return value;
}

TEST(CertificatePeer, NamesAndSerialAgreeWithOpenssl) {
  VEL_REQUIRE_TOOL("openssl");
  using test::certs::Attr;
  test::TempDir dir;
  const test::certs::Key key = test::certs::NewKey();
  const Attr country{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"};
  struct Case {
    const char* what;
    std::string subject_cn, issuer_cn;
    std::vector<uint8_t> serial;
  } cases[] = {
      {"plain", "Jan Kowalski", "Test CA", {0x01}},
      {"top bit of the serial set", "Anna Nowak", "Root", {0x80, 0x11, 0x22, 0x33}},
      {"long serial", "Piotr", "CA", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22,
                                      0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}},
      {"Polish letters", "Zażółć Gęślą Jaźń", "Urząd Certyfikacji Ąę", {0x42}},
      {"separators and quotes", "Kowalski, Jan + \"Janek\"", "CA; \"Nowy\", =1", {0x07}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::certs::Params p;
    p.subject = {country, {"2.5.4.3", V_ASN1_UTF8STRING, c.subject_cn}};
    p.issuer = {country, {"2.5.4.3", V_ASN1_UTF8STRING, c.issuer_cn}};
    p.serial = c.serial;
    p.subject_key = key.get();
    p.issuer_key = key.get();
    const std::vector<uint8_t> der = test::certs::MakeCert(p);
    const auto file = dir.path() / "cert.der";
    test::WriteFileBytes(file, der);
    const test::CommandResult r = test::RunCommand(
        "openssl x509 -inform DER -in " + test::ShellQuote(file.string()) +
        " -noout -serial -subject -issuer -nameopt multiline,utf8,-esc_msb");
    ASSERT_EQ(r.exit_code, 0) << r.output;

    Certificate cert(der.data(), static_cast<uint32_t>(der.size()));
    ASSERT_EQ(cert.GetLastError(), 0u);
    const char* serial = cert.GetSerialNumber();
    ASSERT_NE(serial, nullptr);
    // openssl writes the magnitude; the object keeps the sign byte.
    std::string ours = serial;
    if (ours.size() > 2 && ours.compare(0, 2, "00") == 0) ours.erase(0, 2);
    const size_t at = r.output.find("serial=");
    ASSERT_NE(at, std::string::npos) << r.output;
    EXPECT_EQ(ours, r.output.substr(at + 7, r.output.find('\n', at) - at - 7));

    const size_t issuer_at = r.output.find("issuer=");
    ASSERT_NE(issuer_at, std::string::npos) << r.output;
    const std::string subject_text = r.output.substr(0, issuer_at);
    const std::string issuer_text = r.output.substr(issuer_at);
    const char* name = cert.GetDisplayName();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name, LastField(subject_text, "commonName"));
    const char* issuer = cert.GetIssuerCommonName();
    ASSERT_NE(issuer, nullptr);
    EXPECT_EQ(issuer, LastField(issuer_text, "commonName"));
  }
}

}  // namespace
}  // namespace vel::crypto
