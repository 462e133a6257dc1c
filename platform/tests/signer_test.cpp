// The PKCS#12 signer: the file's password is the PIN.
#include "platform/signer.h"

#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include "platform/tests/test_pki.h"

namespace vel::platform {
namespace {

std::vector<uint8_t> Sha1Of(const std::string& s) {
  std::vector<uint8_t> md(20);
  EVP_Digest(s.data(), s.size(), md.data(), nullptr, EVP_sha1(), nullptr);
  return md;
}

// True when `sig` is the RSA PKCS#1 v1.5 signature of `digest` (SHA-1) by the certificate's key.
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

class Pkcs12SignerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    id_ = test::MakeIdentity("Jan", nullptr, {0x05}, false, false);
    file_ = dir_ / "jan.p12";
    test::WritePkcs12(file_, id_, test::kTestPin);
    pin_.Install();
  }
  test::TempDir dir_;
  test::TestIdentity id_;
  std::filesystem::path file_;
  test::ScriptedPin pin_;
};

TEST_F(Pkcs12SignerTest, SignsWithThePinAndAsksOnlyOnce) {
  std::unique_ptr<Signer> signer;
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  EXPECT_EQ(pin_.asked, 0) << "opening a signer asks for nothing";
  const auto digest = Sha1Of("strona 1");
  std::vector<uint8_t> sig;
  ASSERT_EQ(signer->SignSha1Digest(digest, &sig), 0u);
  EXPECT_TRUE(Verifies(*id_.cert, digest, sig));
  EXPECT_EQ(sig.size(), 256u);
  ASSERT_EQ(signer->SignSha1Digest(digest, &sig), 0u);
  EXPECT_EQ(pin_.asked, 1);
  EXPECT_FALSE(pin_.last.token);
  EXPECT_EQ(pin_.last.label, "jan.p12");
  EXPECT_EQ(signer->SignSha1Digest(std::vector<uint8_t>(19), &sig), 87u);
}

TEST_F(Pkcs12SignerTest, WrongPinCancelAndMissingCallback) {
  const auto digest = Sha1Of("x");
  std::vector<uint8_t> sig;
  std::unique_ptr<Signer> signer;

  // A wrong password is asked again, saying so; the right one then signs.
  pin_.first = {"0000", ""};
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  ASSERT_EQ(signer->SignSha1Digest(digest, &sig), 0u);
  ASSERT_EQ(pin_.requests.size(), 3u);
  EXPECT_FALSE(pin_.requests[0].retry);
  EXPECT_TRUE(pin_.requests[1].retry);
  EXPECT_TRUE(pin_.requests[2].retry);
  EXPECT_EQ(pin_.requests[0].certificate, "Jan");
  sig.clear();

  // Wrong every time: the tries run out.
  pin_.asked = 0;
  pin_.pin = "0000";
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kScardWrongPin);
  EXPECT_EQ(pin_.asked, kPinTries);

  // Cancelled when asked again after a wrong try: cancelled.
  int asked = 0;
  SetPinCallback([&asked](const PinRequest&, std::string* out) {
    *out = "0000";
    return ++asked < 2;
  });
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kStatusCancelled);
  EXPECT_EQ(asked, 2);
  pin_.Install();
  pin_.pin = test::kTestPin;

  pin_.cancel = true;
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kStatusCancelled);

  SetPinCallback(nullptr);
  ASSERT_EQ(OpenPkcs12Signer(file_, id_.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kStatusCancelled);
  EXPECT_TRUE(sig.empty());
}

TEST_F(Pkcs12SignerTest, RefusesAFileWithAnotherKeyAndMissingOrBrokenFiles) {
  const auto digest = Sha1Of("x");
  std::vector<uint8_t> sig;
  std::unique_ptr<Signer> signer;
  const test::TestIdentity other = test::MakeIdentity("Other", nullptr, {0x06}, false, false);
  ASSERT_EQ(OpenPkcs12Signer(file_, other.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kNteBadKey);

  pin_.asked = 0;
  EXPECT_EQ(OpenPkcs12Signer(dir_ / "none.p12", id_.cert, &signer), kNteBadKeyset);
  test::WriteFileText(dir_ / "junk.p12", "not a key file");
  ASSERT_EQ(OpenPkcs12Signer(dir_ / "junk.p12", id_.cert, &signer), 0u);
  EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kNteBadData);
  EXPECT_EQ(pin_.asked, 0) << "no PIN is asked for a file that is not a key file";
}

// A key file that asks for more key-derivation rounds than any tool writes is
// refused before they run, whether the MAC or the key's cipher asks for them.
TEST_F(Pkcs12SignerTest, RefusesKeyFilesAskingForEndlessRounds) {
  auto write = [&](PKCS12* p12, const std::filesystem::path& file) {
    ASSERT_NE(p12, nullptr);
    std::vector<uint8_t> der(static_cast<size_t>(i2d_PKCS12(p12, nullptr)));
    unsigned char* p = der.data();
    i2d_PKCS12(p12, &p);
    PKCS12_free(p12);
    test::WriteFileBytes(file, der);
  };
  // The MAC's count raised after the MAC was made: cheap to build, refused unverified.
  PKCS12* mac = PKCS12_create(test::kTestPin, "key", id_.key.get(), id_.x509.get(), nullptr, 0, 0, 1, 2, 0);
  ASSERT_NE(mac, nullptr);
  const ASN1_INTEGER* mac_iter = nullptr;
  PKCS12_get0_mac(nullptr, nullptr, nullptr, &mac_iter, mac);
  ASSERT_NE(mac_iter, nullptr);
  ASN1_INTEGER_set(const_cast<ASN1_INTEGER*>(mac_iter), 2'000'000'000);
  write(mac, dir_ / "mac.p12");
  // The key's cipher one round over the limit (this costs the test a moment;
  // the certificate is left unencrypted to spare another).
  write(PKCS12_create(test::kTestPin, "key", id_.key.get(), id_.x509.get(), nullptr, 0, -1, 1'000'001, 1, 0),
        dir_ / "key.p12");

  const auto digest = Sha1Of("x");
  for (const char* name : {"mac.p12", "key.p12"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<Signer> signer;
    std::vector<uint8_t> sig;
    ASSERT_EQ(OpenPkcs12Signer(dir_ / name, id_.cert, &signer), 0u);
    EXPECT_EQ(signer->SignSha1Digest(digest, &sig), kNteBadData);
  }
}

TEST_F(Pkcs12SignerTest, OpensThroughTheStoreBinding) {
  test::TempDir stores;
  setenv("VELDOC_STORE_DIR", stores.path().c_str(), 1);
  std::unique_ptr<Signer> signer;
  EXPECT_EQ(OpenSignerForCertificate(id_.cert, &signer), kCryptENoKeyProperty);
  ASSERT_EQ(WriteKeyBinding(kStoreCurrentUser, *id_.cert,
                            {KeyReference::Kind::kPkcs12File, file_.string()}),
            0u);
  ASSERT_EQ(OpenSignerForCertificate(id_.cert, &signer), 0u);
  const auto digest = Sha1Of("y");
  std::vector<uint8_t> sig;
  ASSERT_EQ(signer->SignSha1Digest(digest, &sig), 0u);
  EXPECT_TRUE(Verifies(*id_.cert, digest, sig));
  unsetenv("VELDOC_STORE_DIR");
}

}  // namespace
}  // namespace vel::platform
