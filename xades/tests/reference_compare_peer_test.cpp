// Certificate and CRL references against a path and against embedded
// values, with certificates and CRLs that openssl ca makes.
#include "xades/reference_compare.h"

#include <gtest/gtest.h>

#include "cryptolib/tests/crl_test_ca.h"
#include "platform/testing/test_support.h"
#include "xades/base64.h"
#include "xades/crypto_helpers.h"

namespace vel::xades {
namespace {

class ReferenceCompare : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    // openssl writes these names as UTF8Strings, which the RFC 2253 issuer
    // text leaves out: the countries keep the two issuers apart.
    root_ = std::make_unique<test::TestCa>(dir_.path(), "root", "/C=PL/O=Testowe Centrum/CN=Root CA");
    sub_ = std::make_unique<test::TestCa>(dir_.path(), "sub", "/C=DE/O=Testowe Centrum/CN=Sub CA");
    root_crl1_ = root_->Crl();
    root_crl2_ = root_->Crl(-7200);
    sub_crl_ = sub_->Crl();
  }

  static CertPtr Cert(const std::vector<uint8_t>& der) { return xadesCertCreate(der.data(), der.size()); }
  static CrlPtr CrlOf(const std::vector<uint8_t>& der) { return xadesCrlCreate(der.data(), der.size()); }

  // sub (with the sub CA's CRL) -> root (with `root_crl`); the references
  // need no path that verifies.
  crypto::CertChainContext Chain(const std::vector<uint8_t>& root_crl) const {
    crypto::CertChainContext chain;
    chain.chains.emplace_back();
    chain.chains[0].elements.push_back({Cert(sub_->cert_der()), CrlOf(sub_crl_)});
    chain.chains[0].elements.push_back({Cert(root_->cert_der()), CrlOf(root_crl)});
    return chain;
  }

  test::TempDir dir_;
  std::unique_ptr<test::TestCa> root_, sub_;
  std::vector<uint8_t> root_crl1_, root_crl2_, sub_crl_;
};

TEST_F(ReferenceCompare, AgainstAPath) {
  const crypto::CertChainContext chain = Chain(root_crl1_);
  XadesCertRefList certs;
  XadesCrlRefList crls;
  ASSERT_EQ(buildCertRefs(&certs, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&crls, &chain), 0);
  ASSERT_EQ(certs.size(), 2u);
  ASSERT_EQ(crls.size(), 2u);
  // The full RFC 2253 text, UTF8String values included.
  EXPECT_EQ(certs[0].issuer, "CN=Sub CA,O=Testowe Centrum,C=DE");
  EXPECT_EQ(crls[0].issuer, "CN=Sub CA,O=Testowe Centrum,C=DE");
  EXPECT_EQ(crls[0].number, "1");
  EXPECT_EQ(compareRefsWithChain(&certs, &crls, &chain), kRefsMatch);

  // Document references in another order, and one more CRL reference no
  // chain CRL names: still a match.
  XadesCertRefList reversed(certs.rbegin(), certs.rend());
  XadesCrlRefList more = crls;
  XadesCrlRef other;
  other.issuer = "CN=Other";
  other.issueTime = "x";
  other.digest = "d";
  more.push_back(other);
  EXPECT_EQ(compareRefsWithChain(&reversed, &more, &chain), kRefsMatch);

  EXPECT_EQ(compareRefsWithChain(nullptr, &crls, &chain), kNoCertRefs);
  EXPECT_EQ(compareRefsWithChain(&certs, nullptr, &chain), kNoCrlRefs);
  EXPECT_EQ(compareRefsWithChain(&certs, &crls, nullptr), kRefsNotBuilt);

  // One certificate named twice: the chain holds it once.
  XadesCertRefList twice = {certs[0], certs[0]};
  EXPECT_EQ(compareRefsWithChain(&twice, &crls, &chain), kRefMismatch);
  XadesCertRefList bad_digest = certs;
  bad_digest[1].digest = "AAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  EXPECT_EQ(compareRefsWithChain(&bad_digest, &crls, &chain), kRefMismatch);

  // A CRL reference that names the root CA's CRL only by issuer: the
  // chain's CRL of that issuer is another one (number 2, other time).
  const crypto::CertChainContext chain2 = Chain(root_crl2_);
  EXPECT_EQ(compareRefsWithChain(&certs, &crls, &chain2), kRefMismatch);
  // A built CRL with a number needs the same number in the reference.
  XadesCrlRefList no_number = crls;
  no_number[1].number.reset();
  EXPECT_EQ(compareRefsWithChain(&certs, &no_number, &chain), kRefMismatch);

  // A path without CRLs matches no CRL reference.
  crypto::CertChainContext bare = chain;
  for (auto& e : bare.chains[0].elements) e.base_crl.reset();
  EXPECT_EQ(compareRefsWithChain(&certs, &crls, &bare), kRefMismatch);
}

// Issuer texts as documents carry them: the full text, other renderings of
// the same name (xadesjs writes the certificate's order with blanks), and
// the short text of earlier versions, which counts only with the serial and
// digest of the certificate.
TEST_F(ReferenceCompare, IssuerTextsOfOtherProducersAndEarlierVersions) {
  const crypto::CertChainContext chain = Chain(root_crl1_);
  XadesCertRefList certs;
  XadesCrlRefList crls;
  ASSERT_EQ(buildCertRefs(&certs, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&crls, &chain), 0);
  struct Case {
    const char* name;
    std::string issuer;
    bool otherDigest;
    int expected;
  } cases[] = {
      {"full text", "CN=Sub CA,O=Testowe Centrum,C=DE", false, kRefsMatch},
      {"blanks, keyword case, escapes", "cn=Sub\\20CA, O=Testowe Centrum, c=DE", false, kRefsMatch},
      {"the certificate's order", "C=DE, O=Testowe Centrum, CN=Sub CA", false, kRefsMatch},
      {"type and DER", "2.5.4.3=#0C06537562204341,O=Testowe Centrum,C=DE", false, kRefsMatch},
      {"earlier short text", "C=DE", false, kRefsMatch},
      {"earlier short text, another digest", "C=DE", true, kRefMismatch},
      {"full text, another digest", "CN=Sub CA,O=Testowe Centrum,C=DE", true, kRefMismatch},
      {"an attribute left out", "CN=Sub CA,C=DE", false, kRefMismatch},
      {"another name", "CN=Sub CA,O=Inne Centrum,C=DE", false, kRefMismatch},
      {"empty", "", false, kRefMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XadesCertRefList document = {certs[0]};
    document[0].issuer = c.issuer;
    if (c.otherDigest) document[0].digest = certs[1].digest;
    EXPECT_EQ(compareRefsWithChain(&document, &crls, &chain), c.expected);
    // CRL references read their issuer the same way.
    XadesCrlRefList crlDocument = crls;
    crlDocument[0].issuer = c.issuer;
    EXPECT_EQ(compareRefsWithChain(&certs, &crlDocument, &chain), c.otherDigest ? kRefsMatch : c.expected);
  }
}

TEST_F(ReferenceCompare, SameIssuerTwiceInThePath) {
  // Two chain CRLs of one issuer may both be named by one reference.
  crypto::CertChainContext chain = Chain(sub_crl_);
  chain.chains[0].elements[1].certificate = Cert(sub_->cert_der());
  XadesCertRefList certs;
  XadesCrlRefList crls;
  ASSERT_EQ(buildCertRefs(&certs, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&crls, &chain), 0);
  XadesCrlRefList one = {crls[0]};
  XadesCertRefList first = {certs[0]};
  EXPECT_EQ(compareRefsWithChain(&first, &one, &chain), kRefsMatch);
}

TEST_F(ReferenceCompare, AgainstEmbeddedValues) {
  const crypto::CertChainContext chain = Chain(root_crl1_);
  XadesCertRefList refs;
  XadesCrlRefList crl_refs;
  ASSERT_EQ(buildCertRefs(&refs, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&crl_refs, &chain), 0);
  auto values = [&] {
    XadesCertRefList v(2);
    v[0].value = base64Encode(root_->cert_der());
    v[1].value = base64Encode(sub_->cert_der());
    return v;
  };
  auto crl_values = [&] {
    XadesCrlRefList v(2);
    v[0].value = base64Encode(sub_crl_);
    v[1].value = base64Encode(root_crl1_);
    return v;
  };
  auto v = values();
  auto cv = crl_values();
  EXPECT_EQ(compareRevocationRefs(&v, &refs, &cv, &crl_refs), kRefsMatch);
  EXPECT_EQ(v[1].serial, refs[0].serial);

  // Two references to one certificate held once.
  XadesCertRefList twice = {refs[0], refs[0]};
  v = values();
  cv = crl_values();
  EXPECT_EQ(compareRevocationRefs(&v, &twice, &cv, &crl_refs), kRefMismatch);
  // A value that is not whole base64 is no value.
  v = values();
  v[0].value = *v[0].value + "*";
  cv = crl_values();
  EXPECT_EQ(compareRevocationRefs(&v, &refs, &cv, &crl_refs), kRefMismatch);
  v = values();
  EXPECT_EQ(compareRevocationRefs(&v, &refs, nullptr, &crl_refs), kNoCrlRefs);
  EXPECT_EQ(compareRevocationRefs(nullptr, &refs, &cv, &crl_refs), kNoCertRefs);
  // A CRL named by a reference but not embedded.
  v = values();
  XadesCrlRefList only_sub = {crl_values()[0]};
  EXPECT_EQ(compareRevocationRefs(&v, &refs, &only_sub, &crl_refs), kRefMismatch);
}

}  // namespace
}  // namespace vel::xades
