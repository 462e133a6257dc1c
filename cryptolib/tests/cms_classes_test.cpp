// The CMS object classes: who owns which buffer, what each method keeps as
// its last result, the factory's limits, stored time-stamp tokens in both
// shapes, and the time-stamp check of a signer.
#include "cryptolib/cms_classes.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_token.h"
#include "cryptolib/x509_context.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEL_ASAN 1
#endif
#endif
#ifdef VEL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace vel::crypto {
namespace {

using test::ByteVec;
using test::TwoCalls;

// What ASan can tell about a buffer that should have been wiped and released:
// it is poisoned (freed) and, past the allocator's own bookkeeping in its
// first 16 bytes, all zero. Without ASan there is nothing to look at.
void ExpectWipedAndReleased(const uint8_t* p, size_t n) {
#ifdef VEL_ASAN
  ASSERT_GT(n, 16u);
  EXPECT_TRUE(__asan_address_is_poisoned(p)) << "the old buffer is still allocated";
  __asan_unpoison_memory_region(p, n);
  size_t nonzero = 0;
  for (size_t i = 16; i < n; ++i) nonzero += p[i] != 0;
  __asan_poison_memory_region(p, n);
  EXPECT_EQ(nonzero, 0u) << "the old buffer was released without being zero-filled";
#else
  (void)p;
  (void)n;
#endif
}

// A certificate so large (a 12,000-byte private extension) that a signature
// with it cannot fit 10,000 bytes.
test::TestIdentity MakeBulkyIdentity(const test::TestIdentity& ca) {
  test::TestIdentity id;
  id.key = test::MakeRsaKey();
  id.x509.reset(X509_new());
  X509* x = id.x509.get();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x7777);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Duzy Certyfikat"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(ca.x509.get()));
  X509_set_pubkey(x, id.key.get());
  const ByteVec filler(12000, 0x41);
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(os, filler.data(), static_cast<int>(filler.size()));
  ASN1_OBJECT* obj = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
  X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, os);
  X509_add_ext(x, ext, -1);
  X509_EXTENSION_free(ext);
  ASN1_OBJECT_free(obj);
  ASN1_OCTET_STRING_free(os);
  X509_sign(x, ca.key.get(), EVP_sha256());
  id.cert = platform::CertContext::FromDer(der::I2dBytes(i2d_X509, x));
  return id;
}

class CmsClassesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    tsa_ = std::make_unique<test::TestTsa>();
    bulky_ = std::make_unique<test::TestIdentity>(MakeBulkyIdentity(pki_->ca));
    pki_->BindPkcs12(*bulky_, test::kTestPin);
    for (int i = 0; i < 4000; ++i) content_.push_back(static_cast<uint8_t>(i * 31 + 7));
  }
  static void TearDownTestSuite() {
    bulky_.reset();
    tsa_.reset();
    pki_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static ByteVec SignAttached(const test::TestIdentity& id) {
    ByteVec out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    return SignMessageAttached(content_.data(),
                                               static_cast<uint32_t>(content_.size()),
                                               id.cert.get(), o, s);
                  },
                  &out),
              0u);
    return out;
  }
  // A token of the in-process OpenSSL responder over `data`.
  static ByteVec TokenOver(std::span<const uint8_t> data) {
    return test::TokenOfResponse(test::OpenSslReply(*tsa_, test::TimeStampRequest(data)));
  }
  static std::unique_ptr<DetachedCmsMessage> Create(const test::TestIdentity& id) {
    return CreateDetachedCmsMessage(content_.data(), static_cast<uint32_t>(content_.size()),
                                    id.cert.get());
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static std::unique_ptr<test::TestIdentity> bulky_;
  static ByteVec content_;
  test::ScriptedPin pin_;
};
std::unique_ptr<test::TestPki> CmsClassesTest::pki_;
std::unique_ptr<test::TestTsa> CmsClassesTest::tsa_;
std::unique_ptr<test::TestIdentity> CmsClassesTest::bulky_;
ByteVec CmsClassesTest::content_;

TEST_F(CmsClassesTest, BorrowedBlobReadsInPlaceAndNeverReleasesTheCallersBuffer) {
  const ByteVec original = SignAttached(pki_->signer);
  ByteVec callers = original;
  {
    CmsBlob blob(callers.data(), static_cast<uint32_t>(callers.size()));
    EXPECT_FALSE(blob.OwnsData());
    EXPECT_EQ(blob.Data().data(), callers.data());
    EXPECT_EQ(blob.VerifySigner(0), 0u);
    ByteVec got;
    EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return blob.GetContent(o, s); }, &got), 0u);
    EXPECT_EQ(got, content_);

    ASSERT_EQ(blob.AddSigner(pki_->cosigner.cert.get()), 0u);
    EXPECT_TRUE(blob.OwnsData());
    EXPECT_NE(blob.Data().data(), callers.data());
    uint32_t count = 0;
    EXPECT_EQ(blob.GetSignerCount(&count), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(blob.VerifySigner(1), 0u);
    // The caller's bytes are neither changed nor released (ASan would catch
    // the vector freeing them a second time).
    EXPECT_EQ(callers, original);
  }
  EXPECT_EQ(callers, original);
}

TEST_F(CmsClassesTest, OwnedBlobWipesAndReleasesEachReplacedBuffer) {
  CmsBlob blob(SignAttached(pki_->signer));
  ASSERT_TRUE(blob.OwnsData());
  const uint8_t* first = blob.Data().data();
  const size_t first_size = blob.Length();
  ASSERT_EQ(blob.AddSigner(pki_->cosigner.cert.get()), 0u);
  ExpectWipedAndReleased(first, first_size);

  const ByteVec sig1 = [&] {
    ByteVec v;
    EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return blob.GetSignerSignatureValue(1, o, s); },
                       &v),
              0u);
    return v;
  }();
  const ByteVec token = TokenOver(sig1);
  ASSERT_FALSE(token.empty());
  const uint8_t* second = blob.Data().data();
  const size_t second_size = blob.Length();
  ASSERT_EQ(blob.AddSignerTimeStamp(1, token.data(), static_cast<uint32_t>(token.size())), 0u);
  EXPECT_EQ(blob.GetLastResult(), 0u);
  ExpectWipedAndReleased(second, second_size);
  for (uint32_t i = 0; i < 2; ++i) EXPECT_EQ(blob.VerifySigner(i), 0u) << i;

  std::unique_ptr<TimeStampToken> stored = blob.GetSignerTimeStamp(1, 0);
  ASSERT_NE(stored, nullptr) << blob.GetLastResult();
  ByteVec hashed;
  EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return stored->GetHashedMessage(o, s); },
                     &hashed),
            0u);
  EXPECT_EQ(hashed, test::Sha1(sig1));
  EXPECT_EQ(blob.GetSignerTimeStamp(0, 0), nullptr);
  EXPECT_EQ(blob.GetLastResult(), 2u) << "signer 0 has no time stamp";

  // A failed replacement keeps the bytes (and the buffer) as they were.
  const uint8_t* third = blob.Data().data();
  EXPECT_NE(blob.AddSignerTimeStamp(7, token.data(), static_cast<uint32_t>(token.size())), 0u);
  EXPECT_NE(blob.GetLastResult(), 0u);
  EXPECT_EQ(blob.Data().data(), third);
  EXPECT_EQ(blob.VerifySigner(1), 0u);
}

TEST_F(CmsClassesTest, DetachedMessageOutlivesTheSignatureItWasMadeFrom) {
  std::unique_ptr<DetachedCmsMessage> made = Create(pki_->signer);
  ASSERT_NE(made, nullptr) << GetLastCreateError();
  std::unique_ptr<DetachedCmsMessage> message;
  {
    // The caller's copy of the signature is released right after construction.
    ByteVec signature(made->Signature().begin(), made->Signature().end());
    message = std::make_unique<DetachedCmsMessage>(signature.data(),
                                                   static_cast<uint32_t>(signature.size()),
                                                   content_.data(),
                                                   static_cast<uint32_t>(content_.size()));
    std::fill(signature.begin(), signature.end(), 0xEE);
  }
  made.reset();
  EXPECT_EQ(message->VerifySigner(0), 0u);
  EXPECT_EQ(message->Content().data(), content_.data()) << "the content is read in place";
  std::unique_ptr<CmsSignerNode> tree = message->BuildSignerTree();
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->Verify(), 0u);

  // The clone has its own signature; co-signing the source leaves it alone
  // and releases the source's old copy wiped.
  std::unique_ptr<DetachedCmsMessage> clone = message->Clone();
  ASSERT_NE(clone->Signature().data(), message->Signature().data());
  EXPECT_EQ(clone->Content().data(), content_.data());
  const ByteVec before(clone->Signature().begin(), clone->Signature().end());
  const uint8_t* old = message->Signature().data();
  const size_t old_size = message->Signature().size();
  ASSERT_EQ(message->CoSign(pki_->cosigner.cert.get()), 0u);
  EXPECT_EQ(message->GetLastResult(), 0u);
  ExpectWipedAndReleased(old, old_size);
  EXPECT_TRUE(std::ranges::equal(clone->Signature(), before));
  uint32_t count = 0;
  EXPECT_EQ(clone->GetSignerCount(&count), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(message->GetSignerCount(&count), 0u);
  EXPECT_EQ(count, 2u);
  for (uint32_t i = 0; i < 2; ++i) EXPECT_EQ(message->VerifySigner(i), 0u);

  ByteVec out(16);
  uint32_t size = 16;
  EXPECT_EQ(message->GetContent(out.data(), &size), 0x80004001u);
  EXPECT_EQ(message->GetContent(nullptr, nullptr), 0x80004001u);
}

TEST_F(CmsClassesTest, FactoryAndCoSignRefuseSignaturesBeyondTheirRoom) {
  EXPECT_EQ(Create(*bulky_), nullptr);
  EXPECT_EQ(GetLastCreateError(), 234u);
  // A success does not reset the error.
  ASSERT_NE(Create(pki_->signer), nullptr);
  EXPECT_EQ(GetLastCreateError(), 234u);
  // Without a key the signing status is kept.
  EXPECT_EQ(Create(pki_->unbound), nullptr);
  EXPECT_EQ(GetLastCreateError(), kCryptENoKeyProperty);

  std::unique_ptr<DetachedCmsMessage> message = Create(pki_->signer);
  ASSERT_NE(message, nullptr);
  const ByteVec before(message->Signature().begin(), message->Signature().end());
  EXPECT_EQ(message->CoSign(bulky_->cert.get()), 234u);
  EXPECT_EQ(message->GetLastResult(), 234u);
  EXPECT_TRUE(std::ranges::equal(message->Signature(), before));
  EXPECT_EQ(message->VerifySigner(0), 0u);
}

TEST_F(CmsClassesTest, FindSignerGivesTheFirstIndexOfTheCertificate) {
  std::unique_ptr<DetachedCmsMessage> message = Create(pki_->signer);
  ASSERT_NE(message, nullptr);
  ASSERT_EQ(message->CoSign(pki_->cosigner.cert.get()), 0u);
  ASSERT_EQ(message->CoSign(pki_->signer.cert.get()), 0u);
  EXPECT_EQ(message->FindSignerIndex(*pki_->signer.cert), 0);
  EXPECT_EQ(message->FindSignerIndex(*pki_->cosigner.cert), 1);
  EXPECT_EQ(message->FindSignerIndex(*pki_->qualified.cert), -1);
  // The same through certificate objects, one of them made from DER.
  const Certificate signer_object(pki_->signer.cert->der().data(),
                                  static_cast<uint32_t>(pki_->signer.cert->der().size()));
  EXPECT_EQ(message->FindSignerIndex(signer_object), 0);
  EXPECT_EQ(message->FindSignerIndex(Certificate(pki_->cosigner.cert)), 1);
  EXPECT_EQ(message->FindSignerIndex(Certificate(pki_->qualified.cert)), -1);
  std::unique_ptr<Certificate> second = message->GetSignerCertificate(1);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(std::ranges::equal(second->GetContext()->der(), pki_->cosigner.cert->der()));
  EXPECT_EQ(message->GetSignerCertificate(9), nullptr);
  EXPECT_EQ(message->GetLastResult(), kCryptESignerNotFound);

  platform::CertPtr cert = message->GetSignerCertificateContext(1);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(message->GetLastResult(), 0u);
  EXPECT_TRUE(std::ranges::equal(cert->der(), pki_->cosigner.cert->der()));
  EXPECT_EQ(message->GetSignerCertificateContext(3), nullptr);
  EXPECT_EQ(message->GetLastResult(), kCryptESignerNotFound);

  CmsBlob blob(SignAttached(pki_->qualified));
  EXPECT_EQ(blob.FindSigner(*pki_->qualified.cert), 0);
  EXPECT_EQ(blob.FindSigner(*pki_->signer.cert), -1);
  EXPECT_EQ(blob.FindSigner(Certificate(pki_->qualified.cert)), 0);
  ASSERT_NE(blob.GetSignerCertificate(0), nullptr);
  EXPECT_EQ(blob.GetSignerCertificate(0)->IsSame(Certificate(pki_->qualified.cert)), 1);
  CmsBlob garbage(ByteVec{0x30, 0x03, 0x02, 0x01, 0x00});
  EXPECT_EQ(garbage.FindSigner(*pki_->signer.cert), -1);
  EXPECT_EQ(garbage.BuildSignerTree(), nullptr);
}

TEST_F(CmsClassesTest, StoredTokensAreReadInBothShapesAndChecked) {
  std::unique_ptr<DetachedCmsMessage> message = Create(pki_->signer);
  ASSERT_NE(message, nullptr);
  ASSERT_EQ(message->CoSign(pki_->cosigner.cert.get()), 0u);
  const ByteVec sig0 = test::SignatureValue(ByteVec(message->Signature().begin(),
                                                    message->Signature().end()),
                                            0);
  const ByteVec response = test::OpenSslReply(*tsa_, test::TimeStampRequest(sig0));
  const ByteVec token = test::TokenOfResponse(response);
  ASSERT_FALSE(token.empty());

  // Signer 0: a bare token, then a whole response; signer 1: a token for
  // other data.
  ASSERT_EQ(message->AddSignerTimeStampToken(0, token.data(), static_cast<uint32_t>(token.size())),
            0u);
  ASSERT_EQ(
      message->AddSignerTimeStampToken(0, response.data(), static_cast<uint32_t>(response.size())),
      0u);
  const ByteVec other = TokenOver(content_);
  ASSERT_EQ(message->AddSignerTimeStampToken(1, other.data(), static_cast<uint32_t>(other.size())),
            0u);
  EXPECT_EQ(message->GetLastResult(), 0u);
  for (uint32_t i = 0; i < 2; ++i) EXPECT_EQ(message->VerifySigner(i), 0u);

  for (uint32_t occurrence = 0; occurrence < 2; ++occurrence) {
    std::unique_ptr<TimeStampToken> t = message->GetSignerTimeStampToken(0, occurrence);
    ASSERT_NE(t, nullptr) << occurrence << ": " << message->GetLastResult();
    EXPECT_EQ(t->Verify(), 0u);
    ByteVec bare;
    EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t->GetToken(o, s); }, &bare), 0u);
    EXPECT_EQ(bare, token);
    EXPECT_EQ(message->VerifySignerTimeStamp(0, occurrence), 0u) << occurrence;
  }
  EXPECT_EQ(message->VerifySignerTimeStamp(1, 0), kCryptEHashValue);
  const LibraryErrorCode none = message->VerifySignerTimeStamp(0, 2);
  EXPECT_NE(none, 0u);
  EXPECT_EQ(none, message->GetLastResult());

  // A token whose signature is spoilt proves nothing, whatever its imprint.
  ByteVec spoilt = token;
  spoilt[spoilt.size() - 5] ^= 0x01;  // inside the signature value at the end
  std::unique_ptr<DetachedCmsMessage> copy = message->Clone();
  ASSERT_EQ(copy->AddSignerTimeStampToken(0, spoilt.data(), static_cast<uint32_t>(spoilt.size())),
            0u);
  EXPECT_EQ(copy->VerifySignerTimeStamp(0, 2), kNteBadSignature);

  // Stored values that are neither shape give 13 and no token.
  const ByteVec odd = {0x30, 0x03, 0x02, 0x01, 0x05};
  ASSERT_EQ(copy->AddSignerTimeStampToken(1, odd.data(), static_cast<uint32_t>(odd.size())), 0u);
  EXPECT_EQ(copy->GetSignerTimeStampToken(1, 1), nullptr);
  EXPECT_EQ(copy->GetLastResult(), 13u);
}

TEST_F(CmsClassesTest, EnvelopedMessageDecryptsWithTheUsersKey) {
  STACK_OF(X509)* recipients = sk_X509_new_null();
  sk_X509_push(recipients, pki_->signer.x509.get());
  BIO* in = BIO_new_mem_buf(content_.data(), static_cast<int>(content_.size()));
  CMS_ContentInfo* cms = CMS_encrypt(recipients, in, EVP_des_ede3_cbc(), CMS_BINARY);
  ASSERT_NE(cms, nullptr);
  const ByteVec enveloped = der::I2dBytes(i2d_CMS_ContentInfo, cms);
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  sk_X509_free(recipients);

  EnvelopedMessage message(enveloped.data(), static_cast<uint32_t>(enveloped.size()));
  ByteVec plain;
  EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return message.Decrypt(CERT_SYSTEM_STORE_CURRENT_USER, o, s);
            },
                     &plain),
            0u);
  EXPECT_EQ(plain, content_);
}

}  // namespace
}  // namespace vel::crypto
