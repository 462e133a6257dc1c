// The PKCS#11 signer against a real SoftHSM2 token made by the test.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "platform/signer.h"
#include "platform/tests/test_pki.h"

namespace vel::platform {
namespace {

bool Verifies(const CertContext& cert, const std::vector<uint8_t>& digest,
              const std::vector<uint8_t>& sig) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert.x509()), nullptr);
  bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) == 1 &&
            EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

class TokenSignerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(test::HaveTool("softhsm2-util")) << "run scripts/deps.sh";
    ASSERT_TRUE(test::HaveTool("pkcs11-tool")) << "run scripts/deps.sh";
    token_ = std::make_unique<test::SoftHsmToken>();
    jan_ = std::make_unique<test::TestIdentity>(
        test::MakeIdentity("Jan", nullptr, {0x05}, false, false));
    anna_ = std::make_unique<test::TestIdentity>(
        test::MakeIdentity("Anna", nullptr, {0x06}, false, false));
    token_->Put(*jan_, "01", "jan");
    token_->Put(*anna_, "02", "anna", false);
  }
  static void TearDownTestSuite() {
    jan_.reset();
    anna_.reset();
    token_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static std::unique_ptr<test::SoftHsmToken> token_;
  static std::unique_ptr<test::TestIdentity> jan_, anna_;
  test::ScriptedPin pin_;
  const std::vector<uint8_t> digest_ = std::vector<uint8_t>(20, 0x5A);
};
std::unique_ptr<test::SoftHsmToken> TokenSignerTest::token_;
std::unique_ptr<test::TestIdentity> TokenSignerTest::jan_, TokenSignerTest::anna_;

TEST_F(TokenSignerTest, SignsOnTheTokenAfterThePin) {
  std::unique_ptr<Signer> signer;
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  EXPECT_EQ(pin_.asked, 0);
  std::vector<uint8_t> sig;
  ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
  EXPECT_TRUE(Verifies(*jan_->cert, digest_, sig));
  EXPECT_EQ(pin_.asked, 1);
  EXPECT_TRUE(pin_.last.token);
  EXPECT_EQ(pin_.last.label, "VelTest");
  signer.reset();

  // The next signer logs in again: the PIN is not kept between signings.
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
  EXPECT_EQ(pin_.asked, 2);
}

TEST_F(TokenSignerTest, ShutdownSparesALivingSignerAndTheModuleLoadsAgain) {
  std::unique_ptr<Signer> signer;
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  ShutdownPkcs11Modules();
  std::vector<uint8_t> sig;
  ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
  EXPECT_TRUE(Verifies(*jan_->cert, digest_, sig));
  signer.reset();  // the module goes with its last signer

  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
  EXPECT_TRUE(Verifies(*jan_->cert, digest_, sig));
  signer.reset();
  ShutdownPkcs11Modules();
}

TEST_F(TokenSignerTest, FindsTheCertificatesKeyWithoutAnId) {
  std::unique_ptr<Signer> signer;
  const std::string uri = "pkcs11:token=VelTest?module-path=" + std::string(test::kSoftHsmModule);
  for (const test::TestIdentity* id : {jan_.get(), anna_.get()}) {
    ASSERT_EQ(OpenPkcs11Signer(uri, id->cert, &signer), 0u);
    std::vector<uint8_t> sig;
    ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
    EXPECT_TRUE(Verifies(*id->cert, digest_, sig));
    signer.reset();
  }
}

TEST_F(TokenSignerTest, ReportsWrongPinCancelAndAbsentKeys) {
  std::unique_ptr<Signer> signer;
  std::vector<uint8_t> sig;

  pin_.pin = "9999";
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest_, &sig), kScardWrongPin);
  EXPECT_EQ(pin_.asked, kPinTries);
  signer.reset();

  // A wrong PIN is asked again, saying so, with the token's name and the
  // certificate's; the right one then signs.
  pin_.requests.clear();
  pin_.first = {"9999"};
  pin_.pin = test::kTestPin;
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  ASSERT_EQ(signer->SignSha1Digest(digest_, &sig), 0u);
  ASSERT_EQ(pin_.requests.size(), 2u);
  EXPECT_FALSE(pin_.requests[0].retry);
  EXPECT_TRUE(pin_.requests[1].retry);
  EXPECT_EQ(pin_.requests[1].label, "VelTest");
  EXPECT_EQ(pin_.requests[1].certificate, "Jan");
  // The token's counters are read again after a wrong PIN (SoftHSM2 counts
  // without ever locking).
  EXPECT_TRUE(pin_.requests[1].count_low);
  signer.reset();

  pin_.pin = test::kTestPin;
  pin_.cancel = true;
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("01"), jan_->cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest_, &sig), kStatusCancelled);
  signer.reset();
  pin_.cancel = false;

  // The object named by id 02 is Anna's key, not Jan's.
  ASSERT_EQ(OpenPkcs11Signer(token_->Uri("02"), jan_->cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest_, &sig), kNteBadKeyset);
  signer.reset();

  const std::string module = "?module-path=" + std::string(test::kSoftHsmModule);
  EXPECT_EQ(OpenPkcs11Signer("pkcs11:token=NoSuchToken" + module, jan_->cert, &signer),
            kNteBadKeyset);
  EXPECT_EQ(OpenPkcs11Signer("pkcs11:token=VelTest?module-path=/nonexistent/module.so",
                             jan_->cert, &signer),
            kScardNoReader);
}

}  // namespace
}  // namespace vel::platform
