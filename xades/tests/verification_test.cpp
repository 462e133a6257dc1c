// Verifying documents made by our own signing: a good one verifies, and each
// tampering gives its status, never 0.
#include "xades/verification.h"

#include <gtest/gtest.h>

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

// The signed document with its template signature given a certificate, so
// that the document loads and our own signature (number 1) can be checked.
static std::string WithTemplateCertificate(const std::string& good) {
  const auto from = good.find("<ds:X509Data>");
  const auto to = good.find("</ds:X509Data>", from);
  EXPECT_NE(from, std::string::npos);
  const std::string keyInfo = "<ds:KeyInfo>" + good.substr(from, to + 14 - from) + "</ds:KeyInfo>";
  const std::string anchor = "<ds:SignatureValue>AAAA</ds:SignatureValue>";
  std::string out = good;
  const auto at = out.find(anchor);
  EXPECT_NE(at, std::string::npos);
  out.insert(at + anchor.size(), keyInfo);
  return out;
}

// One signature is checked from a copy of itself beside the original: its Ids
// stand in both, which must not read as ambiguous; an Id really given twice in
// the document still is.
TEST_F(VerificationTest, OwnSignatureVerifiesAloneAndDuplicateIdsDoNot) {
  const std::string loaded = WithTemplateCertificate(AsText(signed_));
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
