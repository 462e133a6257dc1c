// Verifying documents made by our own signing: a good one verifies, and each
// tampering gives its status, never 0.
#include "xades/verification.h"

#include <gtest/gtest.h>

#include "xades/signature_discovery.h"
#include "xades/tests/sign_fixture.h"

namespace vel::xades {
namespace {

using test::AsText;
using test::Bytes;

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

class VerificationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<vel::test::TestPki>();
    vel::test::ScriptedPin pin;
    pin.Install();
    ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &signed_), 0u);
  }
  static void TearDownTestSuite() { pki_.reset(); }

  static uint32_t VerifyDoc(const std::string& xml) {
    XmlDocPtr doc = xadesParseMemory(xml);
    if (!doc) return 0xFFFFFFFF;
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    return xadesVerifyDocument(ctx.get(), doc.get(), nullptr);
  }
  static uint32_t VerifyOne(const std::string& xml) {
    XmlDocPtr doc = xadesParseMemory(xml);
    if (!doc) return 0xFFFFFFFF;
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    return xadesVerifySignature(ctx.get(), doc.get(), nullptr, 0, -1, true);
  }
  static std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static Bytes signed_;
};
std::unique_ptr<vel::test::TestPki> VerificationTest::pki_;
Bytes VerificationTest::signed_;

// The signed default document still holds its template signature, which
// carries no certificate: the whole load fails, never reported as correct.
TEST_F(VerificationTest, SignatureWithoutCertificateFailsTheLoad) {
  EXPECT_EQ(kVerifyNotAcceptable, VerifyDoc(AsText(signed_)));
  EXPECT_EQ(kVerifyNotAcceptable, VerifyOne(AsText(signed_)));
}

TEST_F(VerificationTest, TamperingNeverVerifies) {
  const std::string good = AsText(signed_);
  const auto digestAt = good.find("DigestValue>") + 12;
  std::string flippedDigest = good;
  flippedDigest[digestAt] = flippedDigest[digestAt] == 'A' ? 'B' : 'A';
  const auto valueAt = good.find("SignatureValue>") + 15;
  std::string flippedValue = good;
  flippedValue[valueAt + 4] = flippedValue[valueAt + 4] == 'A' ? 'B' : 'A';
  const std::string unknownDigest =
      Replaced(good, "http://www.w3.org/2000/09/xmldsig#sha1\"", "urn:unknown-digest\"");
  struct Case {
    const char* name;
    std::string xml;
  } cases[] = {
      {"digest", flippedDigest},
      {"signature value", flippedValue},
      {"unknown digest", unknownDigest},
  };
  for (const auto& c : cases) {
    EXPECT_NE(kVerifyOk, VerifyOne(c.xml)) << c.name;
    EXPECT_NE(kVerifyOk, VerifyDoc(c.xml)) << c.name;
  }
}

// One signature is checked from a copy of itself beside the original: its Ids
// stand in both, which must not read as ambiguous; an Id really given twice in
// the document still is.
TEST_F(VerificationTest, OwnSignatureVerifiesAloneAndDuplicateIdsDoNot) {
  const std::string loaded = test::WithTemplateCertificate(AsText(signed_));
  const std::string twice =
      Replaced(loaded, "<ds:Object Id=\"Object-2\">", "<ds:Object Id=\"Object-1\">");
  struct Case {
    const char* name;
    std::string xml;
    uint32_t expected;
  } cases[] = {
      {"own signature", loaded, kVerifyOk},
      {"Id twice", twice, kVerifyNotAcceptable},
  };
  for (const auto& c : cases) {
    XmlDocPtr doc = xadesParseMemory(c.xml);
    ASSERT_TRUE(doc) << c.name;
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    EXPECT_EQ(c.expected, xadesVerifySignature(ctx.get(), doc.get(), nullptr, 1, -1, false)) << c.name;
  }
}

// A DigestValue wrapped over lines (as xmlsec1 writes long digests) holds
// the same value; a wrapped value with one character changed still does not.
// (The wrapping here comes after signing, so only the digest check can pass.)
TEST_F(VerificationTest, WrappedDigestValueIsTheSameValue) {
  const std::string loaded = test::WithTemplateCertificate(AsText(signed_));
  const size_t at = loaded.find("<ds:DigestValue>") + 16 + 10;
  std::string wrapped = loaded;
  wrapped.insert(at, "\r\n \t");
  std::string changed = wrapped;
  changed[at + 6] = changed[at + 6] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string xml;
    int digests;
  } cases[] = {
      {"wrapped", wrapped, 0},
      {"wrapped and changed", changed, -5},
  };
  for (const auto& c : cases) {
    XmlDocPtr doc = xadesParseMemory(c.xml);
    ASSERT_TRUE(doc) << c.name;
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    ASSERT_EQ(xadesLoadSignatures(ctx.get(), doc.get()), 0) << c.name;
    EXPECT_EQ(c.digests, verifyReferenceDigests(ctx.get())) << c.name;
  }
}

// A reference through the base64 transform digests the decoded text of its
// target: the right digest passes, a changed byte of the content does not.
TEST(VerificationDigests, Base64TransformDigestsTheDecodedTarget) {
  const auto document = [](const std::string& content) {
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
           "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
           "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
           "<ds:Reference URI=\"#o\"><ds:Transforms><ds:Transform "
           "Algorithm=\"http://www.w3.org/2000/09/xmldsig#base64\"/></ds:Transforms>"
           "<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
           "<ds:DigestValue>Z0I+v6hFTxmsb0aG1sDccxo93Ws=</ds:DigestValue></ds:Reference>"
           "</ds:SignedInfo><ds:SignatureValue>QUJD</ds:SignatureValue><ds:KeyInfo><ds:X509Data>"
           "<ds:X509Certificate>MIIB</ds:X509Certificate></ds:X509Data></ds:KeyInfo>"
           "<ds:Object Id=\"o\" Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">" +
           content + "</ds:Object></ds:Signature>";
  };
  // The digest is SHA-1 of the bytes 00 to 07.
  for (const auto& [content, expected] : {std::pair{"AAECAwQFBgc=", 0}, std::pair{"AAECAwQFBgg=", -5}}) {
    XmlDocPtr doc = xadesParseMemory(document(content));
    ASSERT_TRUE(doc);
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    ASSERT_EQ(0, xadesLoadSignatures(ctx.get(), doc.get())) << content;
    EXPECT_EQ(expected, verifyReferenceDigests(ctx.get())) << content;
  }
}

TEST_F(VerificationTest, SelectionOutOfRangeIsNotAcceptable) {
  XmlDocPtr doc = xadesParseMemory(AsText(signed_));
  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  EXPECT_EQ(kVerifyNotAcceptable, xadesVerifySignature(ctx.get(), doc.get(), nullptr, 1, -1, true));
  EXPECT_EQ(kVerifyNotAcceptable, xadesVerifySignature(ctx.get(), doc.get(), nullptr, 0, 0, true));
  XmlDocPtr none = xadesParseMemory(std::string("<r/>"));
  EXPECT_EQ(kVerifyNotAcceptable, xadesVerifyDocument(ctx.get(), none.get(), nullptr));
}

}  // namespace
}  // namespace vel::xades
