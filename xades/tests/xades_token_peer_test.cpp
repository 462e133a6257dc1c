// Signing an XML document with the key on a SoftHSM2 token, the certificate
// in the "My" store bound to the token's object: the PIN is asked once, and a
// cancelled or wrong PIN leaves the output untouched.
#include <gtest/gtest.h>

#include "xades/tests/sign_fixture.h"
#include "xades/tests/xades_peer_fixture.h"

namespace vel::xades {
namespace {

using test::AsBytes;
using test::AsText;
using test::Bytes;

class XadesTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(vel::test::HaveTool("softhsm2-util")) << "run scripts/deps.sh";
    ASSERT_TRUE(vel::test::HaveTool("pkcs11-tool")) << "run scripts/deps.sh";
    pki_ = std::make_unique<vel::test::TestPki>();
    token_ = std::make_unique<vel::test::SoftHsmToken>();
    card_ = std::make_unique<vel::test::TestIdentity>(
        vel::test::MakeIdentity("Karta Nowaka", &pki_->ca, {0x0C, 0xA8}, false, true));
    token_->Put(*card_, "0b", "podpis-xml");
    pki_->AddToMy(*card_);
    const platform::KeyReference ref{platform::KeyReference::Kind::kPkcs11Object,
                                     token_->Uri("0b")};
    ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *card_->cert, ref), 0u);
  }
  static void TearDownTestSuite() {
    card_.reset();
    token_.reset();
    pki_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static std::unique_ptr<vel::test::SoftHsmToken> token_;
  static std::unique_ptr<vel::test::TestIdentity> card_;
  vel::test::ScriptedPin pin_;
};
std::unique_ptr<vel::test::TestPki> XadesTokenTest::pki_;
std::unique_ptr<vel::test::SoftHsmToken> XadesTokenTest::token_;
std::unique_ptr<vel::test::TestIdentity> XadesTokenTest::card_;

TEST_F(XadesTokenTest, SignsWithOnePinRequest) {
  Bytes out;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), card_->cert.get(), &out), 0u);
  EXPECT_EQ(pin_.asked, 1);
  EXPECT_TRUE(pin_.last.token);
  const auto file = pki_->dir / "token-signed.xml";
  vel::test::WriteFileText(file, AsText(out));
  const auto r = test::XmlSecVerify(file, "Signature-1", pki_->dir / "ca.pem");
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST_F(XadesTokenTest, CancelledOrWrongPinLeavesTheOutputUntouched) {
  const Bytes in = AsBytes(test::DefaultDocument());
  uint32_t size = 0;
  ASSERT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), card_->cert.get(),
                              nullptr, &size),
            kSignMoreData);
  EXPECT_EQ(pin_.asked, 0);
  struct Case {
    bool cancel;
    const char* pin;
  } cases[] = {{true, vel::test::kTestPin}, {false, "0000"}};
  for (const Case& c : cases) {
    pin_.cancel = c.cancel;
    pin_.pin = c.pin;
    const int asked = pin_.asked;
    Bytes out(size, 0xEE);
    uint32_t s = size;
    EXPECT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), card_->cert.get(),
                                out.data(), &s),
              kSignSignatureFailed);
    // A wrong PIN is asked again until the tries run out.
    EXPECT_EQ(pin_.asked, asked + (c.cancel ? 1 : vel::platform::kPinTries));
    EXPECT_EQ(s, size);
    EXPECT_EQ(out, Bytes(size, 0xEE));
  }
}

}  // namespace
}  // namespace vel::xades
