// Hostile variants of a document we signed: wrapping, entities, outside
// schema and DTD locations, huge base64. Each is refused (never 0), nothing
// outside the document is read or fetched, and nothing crashes or hangs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/testing/test_support.h"
#include "xades/tests/sign_fixture.h"
#include "xades/verification.h"
#include "xades/xml_signed_document.h"

namespace vel::xades {
namespace {

using test::AsText;

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

// The whole document and our signature alone; 0xFFFFFFFF when it does not parse.
std::pair<uint32_t, uint32_t> Verdicts(const std::string& xml) {
  XmlDocPtr doc = xadesParseMemory(xml);
  if (!doc) return {0xFFFFFFFF, 0xFFFFFFFF};
  ContextPtr whole(xadesVerifyContextLoadSchema(nullptr));
  const uint32_t document = xadesVerifyDocument(whole.get(), doc.get(), nullptr);
  ContextPtr one(xadesVerifyContextLoadSchema(nullptr));
  return {document, xadesVerifySignature(one.get(), doc.get(), nullptr, 1, -1, true)};
}

// What XmlSignedDocument shows as the content, or the code it answers.
std::pair<uint32_t, std::string> Shown(const std::string& xml) {
  XmlSignedDocument held(reinterpret_cast<const uint8_t*>(xml.data()), static_cast<uint32_t>(xml.size()));
  uint32_t size = 0;
  uint32_t rc = held.GetContent(nullptr, &size);
  if (rc != 234) return {rc, ""};
  std::string out(size, '\0');
  rc = held.GetContent(reinterpret_cast<uint8_t*>(out.data()), &size);
  out.resize(rc == 0 ? size : 0);
  return {rc, out};
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A listening socket on 127.0.0.1 that tells whether anyone connected.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), len));
    EXPECT_EQ(0, listen(fd_, 4));
    EXPECT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len));
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }
  bool Contacted() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class VerificationHostileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<vel::test::TestPki>();
    vel::test::ScriptedPin pin;
    pin.Install();
    test::Bytes out;
    ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &out), 0u);
    good_ = test::WithTemplateCertificate(AsText(out));
  }
  static void TearDownTestSuite() { pki_.reset(); }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static std::string good_;
};
std::unique_ptr<vel::test::TestPki> VerificationHostileTest::pki_;
std::string VerificationHostileTest::good_;

TEST_F(VerificationHostileTest, WrappingAndDuplicatesAreRefused) {
  ASSERT_EQ(kVerifyOk, Verdicts(good_).second);
  const std::string signedObject = "<ds:Object Id=\"Object-2\">Tekst umowy</ds:Object>";
  // The signed Object kept under another Id and a forged one given its Id.
  const std::string movedId =
      Replaced(good_, signedObject,
               "<ds:Object Id=\"Object-2-kept\">Tekst umowy</ds:Object>"
               "<ds:Object Id=\"Object-2\">Tekst zmieniony</ds:Object>");
  // The signed Object wrapped inside a new one, a forged one in its place.
  const std::string wrapped =
      Replaced(good_, signedObject,
               "<ds:Object><opakowanie>" + signedObject +
                   "</opakowanie></ds:Object><ds:Object Id=\"Object-2\">Tekst zmieniony</ds:Object>");
  // A second copy of our signature whose SignatureValue was altered.
  const auto sigStart = good_.rfind("<ds:Signature ");
  const auto sigEnd = good_.find("</ds:Signature>", sigStart) + 15;
  std::string copy = good_.substr(sigStart, sigEnd - sigStart);
  const auto value = copy.find("<ds:SignatureValue>") + 19;
  copy[value] = copy[value] == 'A' ? 'B' : 'A';
  const std::string secondSignature = Replaced(good_, "</ds:Signature>", "</ds:Signature>" + copy);
  struct Case {
    const char* name;
    std::string xml;
  } cases[] = {{"moved Id", movedId}, {"wrapped", wrapped}, {"second signature", secondSignature}};
  for (const auto& c : cases) {
    const auto [document, one] = Verdicts(c.xml);
    EXPECT_NE(kVerifyOk, document) << c.name;
    EXPECT_NE(kVerifyOk, one) << c.name;
  }
}

// Tamperings of what a signature covers and of the algorithms it names: an
// algorithm or a reference the engine cannot follow is unsupported (never
// "changed", never correct), and a signature is correct only when it covers
// what the document shows.
TEST_F(VerificationHostileTest, WhatIsShownAndHowItIsSignedMustAgree) {
  const std::string object2Reference = "<ds:Reference URI=\"#Object-2\">";
  const auto withTransform = [&](const std::string& algorithm) {
    return Replaced(good_, object2Reference,
                    object2Reference + "<ds:Transforms><ds:Transform Algorithm=\"" + algorithm +
                        "\"/></ds:Transforms>");
  };
  const auto withC14n = [&](const std::string& algorithm) {
    const std::string signedInfo = "<ds:SignedInfo Id=\"SignedInfo-1\"><ds:CanonicalizationMethod Algorithm=\"";
    return Replaced(good_, signedInfo + kC14nInclusive, signedInfo + algorithm);
  };
  // A signature over a document whose first signature holds no content.
  vel::test::ScriptedPin pin;
  pin.Install();
  test::Bytes nothing;
  ASSERT_EQ(test::SignTwice(test::FirstSignature(""), pki_->signer.cert.get(), &nothing), 0u);
  const std::string overNothing = test::WithTemplateCertificate(test::AsText(nothing));
  ASSERT_EQ(overNothing.find("<ds:Reference URI=\"#"), std::string::npos);

  struct Case {
    const char* name;
    std::string xml;
    uint32_t verdict;  // of signature 1
  } cases[] = {
      {"unknown transform", withTransform("urn:example:nieznany"), kVerifyUnsupportedAlgorithm},
      {"base64 identifier as a prefix", withTransform(std::string(kBase64Transform) + "-other"),
       kVerifyUnsupportedAlgorithm},
      {"enveloped signature", Replaced(withTransform(kEnvelopedTransform), object2Reference, "<ds:Reference URI=\"\">"),
       kVerifyUnsupportedAlgorithm},
      {"reference to an outside file", Replaced(good_, object2Reference, "<ds:Reference URI=\"umowa.xml\">"),
       kVerifyUnsupportedAlgorithm},
      {"reference to an outside address",
       Replaced(good_, object2Reference, "<ds:Reference URI=\"http://127.0.0.1:9/umowa\">"),
       kVerifyUnsupportedAlgorithm},
      {"unknown canonicalisation", withC14n("urn:example:c14n"), kVerifyUnsupportedAlgorithm},
      {"exclusive canonicalisation of the recommendation", withC14n("http://www.w3.org/2001/10/xml-exc-c14n#"),
       kVerifyUnsupportedAlgorithm},
      {"unknown digest", Replaced(good_, object2Reference + "<ds:DigestMethod Algorithm=\"" + kSha1,
                                  object2Reference + "<ds:DigestMethod Algorithm=\"" + kSha1 + "-other"),
       kVerifyUnsupportedAlgorithm},
      {"unknown signature method",
       Replaced(good_, std::string("SignatureMethod Algorithm=\"") + kRsaSha1 + "\"/><ds:Reference Id",
                std::string("SignatureMethod Algorithm=\"") + kRsaSha1 + "-other\"/><ds:Reference Id"),
       kVerifyUnsupportedAlgorithm},
      // Another Object put first is shown; the signature covers the others.
      {"unsigned Object shown",
       Replaced(good_, "<ds:Object Id=\"Object-1\">",
                "<ds:Object Id=\"Object-X\">Inna umowa</ds:Object><ds:Object Id=\"Object-1\">"),
       kVerifyFailed},
      {"no content signed", overNothing, kVerifyFailed},
  };
  ASSERT_EQ(kVerifyOk, Verdicts(good_).second);
  ASSERT_EQ(Shown(good_).first, 0u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [document, one] = Verdicts(c.xml);
    EXPECT_EQ(one, c.verdict);
    EXPECT_NE(document, kVerifyOk);
    // Nothing is shown as signed content.
    EXPECT_EQ(Shown(c.xml).first, kContentNotSigned);
  }
}

TEST_F(VerificationHostileTest, EntitiesAndOutsideLocationsAreNeitherExpandedNorFetched) {
  Listener server;
  const std::string http = "http://127.0.0.1:" + std::to_string(server.port());
  vel::test::TempDir dir;
  const auto secret = dir / "poufne.txt";
  vel::test::WriteFileText(secret, "POUFNE");
  const int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_OPEN | IN_ACCESS), 0);

  std::string lol = "<!ENTITY l0 \"lol\">";
  for (int k = 1; k < 10; ++k)
    lol += "<!ENTITY l" + std::to_string(k) + " \"" + [&] {
      std::string s;
      for (int r = 0; r < 10; ++r) s += "&l" + std::to_string(k - 1) + ";";
      return s;
    }() + "\">";
  const std::string body = good_.substr(good_.find("<ds:Signature "));
  auto withDoctype = [&](const std::string& subset, const std::string& use) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ds:Signature " + subset + ">" +
           Replaced(body, "Tekst umowy", use);
  };
  const std::string schemaLocated = Replaced(
      good_, "Id=\"Signature-0\"",
      "Id=\"Signature-0\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.w3.org/2000/09/xmldsig# " + http + "/xmldsig.xsd "
      "http://uri.etsi.org/01903/v1.3.2# file://" + secret.string() + "\"");
  struct Case {
    const char* name;
    std::string xml;
  } cases[] = {
      {"entity bomb", withDoctype("[" + lol + "]", "&l9;")},
      {"local entity", withDoctype("[<!ENTITY s SYSTEM \"file://" + secret.string() + "\">]", "&s;")},
      {"network entity", withDoctype("[<!ENTITY s SYSTEM \"" + http + "/e\">]", "&s;")},
      {"network DTD", withDoctype("SYSTEM \"" + http + "/d.dtd\"", "Tekst umowy")},
      {"local DTD", withDoctype("SYSTEM \"" + secret.string() + "\"", "Tekst umowy")},
      {"schema locations", schemaLocated},
  };
  for (const auto& c : cases) {
    const auto [document, one] = Verdicts(c.xml);
    EXPECT_FALSE(server.Contacted()) << c.name;
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << c.name << ": the local file was read";
    // Changed content never verifies. The schema locations are only ignored:
    // the schema check passes, and the declaration added above the signed
    // Objects is caught by their digests.
    if (std::string(c.name) == "schema locations") {
      EXPECT_EQ(kVerifyDigestMismatch, one) << c.name;
    } else if (std::string(c.name).find("DTD") == std::string::npos) {
      EXPECT_NE(kVerifyOk, document) << c.name;
      EXPECT_NE(kVerifyOk, one) << c.name;
    }
  }
  close(watch);
}

TEST_F(VerificationHostileTest, TenMegabytesOfBase64AreRefusedWithoutACrash) {
  const std::string big(10u << 20, 'Q');
  const auto certStart = good_.rfind("<ds:X509Certificate>") + 20;
  const auto certEnd = good_.find("</ds:X509Certificate>", certStart);
  std::string hugeCertificate = good_;
  hugeCertificate.replace(certStart, certEnd - certStart, big);
  std::string hugeValue = good_;
  hugeValue.insert(good_.rfind("</ds:SignatureValue>"), big);
  std::string hugeContent = Replaced(good_, "Tekst umowy", big);
  for (const std::string* xml : {&hugeCertificate, &hugeValue, &hugeContent}) {
    const auto [document, one] = Verdicts(*xml);
    EXPECT_NE(kVerifyOk, document);
    EXPECT_NE(kVerifyOk, one);
  }
}

}  // namespace
}  // namespace vel::xades
