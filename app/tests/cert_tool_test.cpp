// What the import command reads from a file and where an authority's
// certificate goes, on certificates made in-process.
#include "app/cert_tool.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> CrlDer(const test::TestIdentity& issuer) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer.x509.get()));
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  X509_CRL_set1_lastUpdate(crl, now);
  ASN1_TIME_free(now);
  X509_CRL_sign(crl, issuer.key.get(), EVP_sha256());
  std::vector<uint8_t> der(static_cast<size_t>(i2d_X509_CRL(crl, nullptr)));
  unsigned char* p = der.data();
  i2d_X509_CRL(crl, &p);
  X509_CRL_free(crl);
  return der;
}

std::string Pem(const char* name, const std::vector<uint8_t>& der) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio(b, name, "", der.data(), static_cast<long>(der.size()));
  char* data = nullptr;
  const long n = BIO_get_mem_data(b, &data);
  std::string s(data, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

class CertFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new test::TestIdentity(test::MakeIdentity("Root", nullptr, {1}, true, false));
    sub_ = new test::TestIdentity(test::MakeIdentity("Sub CA", root_, {2}, true, false));
    user_ = new test::TestIdentity(test::MakeIdentity("Jan", sub_, {3}, false, false));
  }
  static void TearDownTestSuite() {
    delete user_;
    delete sub_;
    delete root_;
  }
  static test::TestIdentity *root_, *sub_, *user_;
};
test::TestIdentity *CertFileTest::root_, *CertFileTest::sub_, *CertFileTest::user_;

TEST_F(CertFileTest, ReadsDerAndPemCertificatesAndCrls) {
  const std::vector<uint8_t> crl = CrlDer(*sub_);
  std::vector<uint8_t> cut = sub_->der();
  cut.pop_back();
  std::vector<uint8_t> trailing = sub_->der();
  trailing.push_back(0);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t certificates, crls;
  } cases[] = {
      {"DER certificate", sub_->der(), 1, 0},
      {"DER CRL", crl, 0, 1},
      {"PEM bundle with a key", Bytes(test::KeyPem(user_->key.get()) + Pem("CERTIFICATE", sub_->der()) +
                                      Pem("X509 CERTIFICATE", root_->der()) + Pem("X509 CRL", crl)),
       2, 1},
      {"cut DER", cut, 0, 0},
      {"DER with a byte after it", trailing, 0, 0},
      {"PEM block that is no certificate",
       Bytes(Pem("CERTIFICATE", root_->der()) + Pem("CERTIFICATE", cut)), 0, 0},
      {"PEM key only", Bytes(test::KeyPem(user_->key.get())), 0, 0},
      {"text", Bytes("-----BEGIN nothing"), 0, 0},
      {"empty", {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CertFileContents contents = ReadCertFileContents(c.bytes);
    EXPECT_EQ(contents.certificates.size(), c.certificates);
    EXPECT_EQ(contents.crls.size(), c.crls);
  }
}

TEST_F(CertFileTest, AuthoritiesGoToRootOrCaAndOthersNowhere) {
  EXPECT_EQ(AuthorityStoreFor(*root_->cert), "ROOT");
  EXPECT_EQ(AuthorityStoreFor(*sub_->cert), "CA");
  EXPECT_EQ(AuthorityStoreFor(*user_->cert), "");
  // Self-issued but signed by another key: not a root.
  const test::TestIdentity fake = test::MakeIdentity("Root", root_, {4}, false, false);
  EXPECT_EQ(AuthorityStoreFor(*fake.cert), "");
}

TEST(CertToolTest, WrongArgumentsShowTheUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"import"}, {"import", "a", "b"}, {"list", "x"},
        {"import", "a", "--password-fd"}, {"import", "a", "--password-fd", "-1"},
        {"import", "a", "--password-fd=1x"}, {"token", "--modul", "x"}, {"unknown"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCertTool(args, out, err), 2);
    EXPECT_TRUE(out.str().empty());
    EXPECT_NE(err.str().find("velcert import"), std::string::npos);
  }
}

}  // namespace
}  // namespace vel::app
