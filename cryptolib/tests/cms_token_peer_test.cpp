// Signing, co-signing and decrypting with the key on a SoftHSM2 token, the
// certificate in the "My" store bound to the token's object.
#include <gtest/gtest.h>

#include "cryptolib/cms_message.h"
#include "cryptolib/x509_context.h"
#include "platform/tests/test_pki.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RunCommand;
using test::ShellQuote;

std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

class CmsTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(test::HaveTool("softhsm2-util")) << "run scripts/deps.sh";
    ASSERT_TRUE(test::HaveTool("pkcs11-tool")) << "run scripts/deps.sh";
    pki_ = std::make_unique<test::TestPki>();
    token_ = std::make_unique<test::SoftHsmToken>();
    card_ = std::make_unique<test::TestIdentity>(
        test::MakeIdentity("Karta Kowalskiego", &pki_->ca, {0x0C, 0xA7}, false, true));
    token_->Put(*card_, "0a", "podpis");
    pki_->AddToMy(*card_);
    const platform::KeyReference ref{platform::KeyReference::Kind::kPkcs11Object,
                                     token_->Uri("0a")};
    ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *card_->cert, ref), 0u);
    content_file_ = pki_->dir / "pages.bin";
    test::WriteFileBytes(content_file_, content_);
  }
  static void TearDownTestSuite() {
    card_.reset();
    token_.reset();
    pki_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static LibraryErrorCode SignDetached(const test::TestIdentity& id, Bytes* out) {
    uint32_t size = 0;
    LibraryErrorCode err = SignMessageDetached(content_.data(), static_cast<uint32_t>(content_.size()),
                                               id.cert.get(), nullptr, &size);
    if (err != 234) return err;
    out->assign(size, 0);
    err = SignMessageDetached(content_.data(), static_cast<uint32_t>(content_.size()),
                              id.cert.get(), out->data(), &size);
    if (err == 0) out->resize(size);
    return err;
  }
  static test::CommandResult OpenSslVerify(const Bytes& m) {
    const auto file = pki_->dir / "t.p7s";
    test::WriteFileBytes(file, m);
    return RunCommand("openssl cms -verify -binary -inform DER -in " + Q(file) + " -content " +
                      Q(content_file_) + " -CAfile " + Q(pki_->dir / "ca.pem") +
                      " -purpose any -out /dev/null");
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::SoftHsmToken> token_;
  static std::unique_ptr<test::TestIdentity> card_;
  static std::filesystem::path content_file_;
  static inline const Bytes content_ = Bytes(3000, 0x5C);
  test::ScriptedPin pin_;
};
std::unique_ptr<test::TestPki> CmsTokenTest::pki_;
std::unique_ptr<test::SoftHsmToken> CmsTokenTest::token_;
std::unique_ptr<test::TestIdentity> CmsTokenTest::card_;
std::filesystem::path CmsTokenTest::content_file_;

TEST_F(CmsTokenTest, SignsAndCoSignsThroughTheToken) {
  Bytes sig;
  ASSERT_EQ(SignDetached(*card_, &sig), 0u);
  EXPECT_EQ(pin_.asked, 1);
  EXPECT_TRUE(pin_.last.token);
  EXPECT_EQ(VerifyDetached(content_.data(), static_cast<uint32_t>(content_.size()), sig.data(),
                           static_cast<uint32_t>(sig.size()), 0),
            0u);
  test::CommandResult r = OpenSslVerify(sig);
  EXPECT_EQ(r.exit_code, 0) << r.output;

  // A file key co-signs the token's signature, then the token co-signs again.
  Bytes two, three;
  uint32_t size = 0;
  ASSERT_EQ(CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()), sig.data(),
                           static_cast<uint32_t>(sig.size()), pki_->signer.cert.get(), nullptr,
                           &size),
            234u);
  two.resize(size);
  ASSERT_EQ(CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()), sig.data(),
                           static_cast<uint32_t>(sig.size()), pki_->signer.cert.get(), two.data(),
                           &size),
            0u);
  two.resize(size);
  size = 0;
  ASSERT_EQ(CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()), two.data(),
                           static_cast<uint32_t>(two.size()), card_->cert.get(), nullptr, &size),
            234u);
  three.resize(size);
  ASSERT_EQ(CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()), two.data(),
                           static_cast<uint32_t>(two.size()), card_->cert.get(), three.data(),
                           &size),
            0u);
  three.resize(size);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(VerifyDetached(content_.data(), static_cast<uint32_t>(content_.size()), three.data(),
                             static_cast<uint32_t>(three.size()), i),
              0u)
        << i;
  r = OpenSslVerify(three);
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST_F(CmsTokenTest, WrongPinAndCancelComeBackFromTheToken) {
  Bytes sig;
  pin_.pin = "0000";
  EXPECT_EQ(SignDetached(*card_, &sig), 0x8010006Bu);
  pin_.pin = test::kTestPin;
  pin_.cancel = true;
  EXPECT_EQ(SignDetached(*card_, &sig), 1223u);
  pin_.cancel = false;
  EXPECT_EQ(SignDetached(*card_, &sig), 0u) << "the token still works after a wrong PIN";
}

TEST_F(CmsTokenTest, DecryptsWithTheTokensKey) {
  const auto out = pki_->dir / "enc.p7m", recipient = pki_->CertFile(*card_);
  test::CommandResult r = RunCommand("openssl cms -encrypt -binary -outform DER -des3 -in " +
                                     Q(content_file_) + " -out " + Q(out) + " " + Q(recipient));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const Bytes m = test::ReadFileBytes(out);
  uint32_t size = 0;
  ASSERT_EQ(DecryptMessage(m.data(), static_cast<uint32_t>(m.size()),
                           CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &size),
            234u);
  EXPECT_EQ(pin_.asked, 0);
  Bytes plain(size);
  ASSERT_EQ(DecryptMessage(m.data(), static_cast<uint32_t>(m.size()),
                           CERT_SYSTEM_STORE_CURRENT_USER, plain.data(), &size),
            0u);
  plain.resize(size);
  EXPECT_EQ(plain, content_);
  EXPECT_EQ(pin_.asked, 1);
}

}  // namespace
}  // namespace vel::crypto
