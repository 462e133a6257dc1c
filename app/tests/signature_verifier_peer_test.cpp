// The verification front end over a real chain: CRLs published by a local
// HTTP server, a server that is down and one that never answers; a signature
// whose own check fails gets no certificate check.
#include "app/signature_verifier.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>

#include <chrono>
#include <string>

#include "app/message_catalog.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "cryptolib/cert_path.h"
#include "cryptolib/http_client.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/path_fixture.h"
#include "platform/testing/http_test_server.h"

namespace vel::app {
namespace {

using test::path::Ca;
using test::path::CrlOptions;
using test::path::Issue;
using test::path::Leaf;
using test::path::MakeCrl;
using test::path::Party;
using test::path::StoreFolder;
using Bytes = std::vector<uint8_t>;

constexpr char kText[] = "Protokol odbioru prac, podpisany.";

class SignatureVerifierPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("python3");
    test::ClearProxyEnvironment();
    setenv("VELDOC_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    platform::HttpLimits limits;
    limits.connect_timeout = std::chrono::milliseconds(1500);
    limits.idle_timeout = std::chrono::milliseconds(1500);
    crypto::SetHttpLimits(limits);
    std::filesystem::create_directories(dir_ / "www");
    files_ = std::make_unique<test::StaticFileServer>(dir_ / "www");
    leaf_.key.reset(EVP_RSA_gen(2048));
    root_cert_ = Issue(root_, root_, Ca(1));
    ca_cert_ = Issue(ca_, root_, Ca(2));
    leaf_cert_ = Issue(leaf_, ca_, Leaf(3));
    stores_.AddCert("ROOT", root_cert_);
    stores_.AddCert("CA", ca_cert_);
    auto publish = [&](const std::string& name, const auto& crl) {
      files_->Publish(name, {crl->der().begin(), crl->der().end()});
    };
    publish("root.crl", MakeCrl(root_));
    publish("ca.crl", MakeCrl(ca_));
    CrlOptions revoking;
    revoking.revoked = {{0x03}};
    publish("ca-revoked.crl", MakeCrl(ca_, revoking));
  }
  void TearDown() override { crypto::SetHttpLimits(platform::HttpLimits{}); }

  void SetCrlUrls(const std::string& text) {
    WriteRegString(RegHive::kCurrentUser, kUserKey, kValueCrlUrls, text);
  }
  // An attached signature of the leaf over the text.
  Bytes Signed(bool spoil) const {
    BIO* in = BIO_new_mem_buf(kText, static_cast<int>(sizeof kText - 1));
    CMS_ContentInfo* cms = CMS_sign(leaf_cert_->x509(), leaf_.key.get(), nullptr, in, CMS_BINARY);
    EXPECT_NE(cms, nullptr);
    Bytes der(static_cast<size_t>(i2d_CMS_ContentInfo(cms, nullptr)));
    unsigned char* p = der.data();
    i2d_CMS_ContentInfo(cms, &p);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    if (spoil) {
      const std::string needle = "podpisany";
      auto at = std::search(der.begin(), der.end(), needle.begin(), needle.end());
      EXPECT_NE(at, der.end());
      *at = 'P';
    }
    return der;
  }

  test::TempDir dir_;
  StoreFolder stores_;
  std::unique_ptr<test::StaticFileServer> files_;
  Party root_{"Weryfikacja Root"}, ca_{"Weryfikacja CA"}, leaf_{"Jan Testowy"};
  crypto::CertPtr root_cert_, ca_cert_, leaf_cert_;
  CMessageTable catalog_{1045};
};

TEST_F(SignatureVerifierPeerTest, ClassesFollowTheCertificateCheck) {
  const Bytes good = Signed(false);
  struct Case {
    const char* what;
    std::string urls;
    int want;
    size_t want_stored;
  };
  const std::string down = "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/ca.crl";
  const Case cases[] = {
      {"CRLs published", files_->Url("root.crl") + "\r\n\r\n  " + files_->Url("ca.crl") + " \r\n",
       kClassCorrect, 2},
      {"the CA's CRL lists the signer", files_->Url("root.crl") + "\r\n" + files_->Url("ca-revoked.crl"),
       kClassInvalid, 2},
      {"server down", down, kClassIncomplete, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(crypto::Certificate::DeleteCachedCrls(crypto::CERT_SYSTEM_STORE_CURRENT_USER), 0u);
    SetCrlUrls(c.urls);
    CSignatureVerifier verifier(catalog_, false, {});
    SignedSource source(good.data(), static_cast<uint32_t>(good.size()), nullptr, 0, false);
    const SourceVerdict v = VerifySource(verifier, source);
    EXPECT_EQ(v.worst, c.want);
    ASSERT_EQ(v.items.size(), 1u);
    EXPECT_EQ(v.items[0].image, c.want);
    EXPECT_EQ(v.items[0].text, "Jan Testowy");
    EXPECT_EQ(v.items[0].detail.find("Podpis dokumentu\r\n\r\nCertyfikat komercyjny\r\n"), 0u)
        << v.items[0].detail;
    EXPECT_EQ(v.items[0].detail.find("Podpis poprawny.") != std::string::npos,
              c.want == kClassCorrect);
    EXPECT_EQ(stores_.StoredCrls().size(), c.want_stored);
  }

  // The signed text changed: invalid, and no CRL is fetched for it.
  ASSERT_EQ(crypto::Certificate::DeleteCachedCrls(crypto::CERT_SYSTEM_STORE_CURRENT_USER), 0u);
  SetCrlUrls(files_->Url("root.crl") + "\r\n" + files_->Url("ca.crl"));
  const Bytes bad = Signed(true);
  CSignatureVerifier verifier(catalog_, false, {});
  SignedSource source(bad.data(), static_cast<uint32_t>(bad.size()), nullptr, 0, false);
  const SourceVerdict v = VerifySource(verifier, source);
  EXPECT_EQ(v.worst, kClassInvalid);
  ASSERT_EQ(v.items.size(), 1u);
  EXPECT_EQ(v.items[0].image, kClassInvalid);
  EXPECT_TRUE(stores_.StoredCrls().empty());
}

TEST_F(SignatureVerifierPeerTest, AProxySwitchedOffIsNoLongerUsed) {
  SetCrlUrls(files_->Url("root.crl") + "\r\n" + files_->Url("ca.crl"));
  const Bytes good = Signed(false);
  auto verify = [&] {
    CSignatureVerifier verifier(catalog_, false, {});
    SignedSource source(good.data(), static_cast<uint32_t>(good.size()), nullptr, 0, false);
    return VerifySource(verifier, source).worst;
  };
  // A proxy that has gone away since: while it is on, no CRL comes.
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueProxyEnabled, 1), 0u);
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueProxyName, "127.0.0.1"), 0u);
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueProxyPort,
                           std::to_string(test::UnusedPort())),
            0u);
  ASSERT_EQ(crypto::Certificate::DeleteCachedCrls(crypto::CERT_SYSTEM_STORE_CURRENT_USER), 0u);
  EXPECT_EQ(verify(), kClassIncomplete);
  EXPECT_TRUE(stores_.StoredCrls().empty());
  // Switched off, the CRLs come straight from their server.
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueProxyEnabled, 0), 0u);
  EXPECT_EQ(verify(), kClassCorrect);
  EXPECT_EQ(stores_.StoredCrls().size(), 2u);
}

TEST_F(SignatureVerifierPeerTest, ASilentServerEndsWithinTheLimitAndRefusesASecondCheck) {
  test::SilentListener silent;
  SetCrlUrls("http://127.0.0.1:" + std::to_string(silent.port()) + "/ca.crl");
  int pumps = 0, steps = 0, step_size = 0;
  crypto::LibraryErrorCode nested = 0;
  CSignatureVerifier* self = nullptr;
  crypto::Certificate certificate(leaf_cert_);
  CSignatureVerifier::Hooks hooks;
  hooks.pump = [&] {
    // A click while the check runs: a second check is refused, not started.
    if (pumps++ == 0) nested = self->VerifyWithTimeout(certificate, 0x10000, 400);
  };
  hooks.set_step = [&](int s) { step_size = s; };
  hooks.step = [&] { ++steps; };
  CSignatureVerifier verifier(catalog_, false, hooks);
  self = &verifier;
  verifier.set_time_limit(400, 100);
  SignatureCheck check;
  check.certificate = std::make_unique<crypto::Certificate>(leaf_cert_);
  int worst = 0;
  EXPECT_EQ(verifier.VerifyOne(check, worst), kClassIncomplete);
  EXPECT_EQ(worst, kClassIncomplete);
  EXPECT_EQ(nested, CSignatureVerifier::kBusy);
  EXPECT_EQ(steps, 4);
  EXPECT_EQ(step_size, 25);
  EXPECT_GT(pumps, 1);
  EXPECT_FALSE(check.status_text.empty());
  EXPECT_TRUE(stores_.StoredCrls().empty()) << "nothing changed";
}

}  // namespace
}  // namespace vel::app
