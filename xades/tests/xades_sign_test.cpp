// Signing: the layout of the new signature, the size rule (the key is used
// only when the output fits), the roots, Ids from other producers, hostile
// Ids, and a PIN that is cancelled or wrong.
#include <gtest/gtest.h>

#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/crypto_helpers.h"
#include "xades/engine_messages.h"
#include "xades/tests/sign_fixture.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

using test::AsBytes;
using test::AsText;
using test::Bytes;
using test::Texts;

class XadesSignTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<vel::test::TestPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override { pin_.Install(); }

  const platform::CertContext* Cert() const { return pki_->signer.cert.get(); }

  static std::unique_ptr<vel::test::TestPki> pki_;
  vel::test::ScriptedPin pin_;
};
std::unique_ptr<vel::test::TestPki> XadesSignTest::pki_;

TEST_F(XadesSignTest, NewSignatureHasTheLayoutAndVerifies) {
  Bytes out;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), Cert(), &out), 0u);
  EXPECT_EQ(pin_.asked, 1);
  const std::string text = AsText(out);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);

  XmlDocPtr doc = xadesParseMemory(text);
  ASSERT_NE(doc, nullptr);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_TRUE(nameIs(root, "Signatures"));
  EXPECT_EQ(root->ns, nullptr);
  xmlNode* old_sig = xmlFirstElementChild(root);
  xmlNode* sig = xmlLastElementChild(root);
  EXPECT_EQ(getNodeProp(old_sig, "Id"), "Signature-0");
  EXPECT_EQ(getNodeProp(sig, "Id"), "Signature-1");
  EXPECT_EQ(xmlNextElementSibling(old_sig), sig);

  // The references: the signed properties, then the content Objects of the
  // first signature (not its first Object).
  const std::string s = "/*/*[@Id='Signature-1']";
  EXPECT_EQ(Texts(doc.get(), s + "/xmldsig:SignedInfo/xmldsig:Reference/@URI"),
            (std::vector<std::string>{"#SignedProperties-1", "#Object-1", "#Object-2"}));
  EXPECT_EQ(Texts(doc.get(), s + "/xmldsig:SignedInfo/xmldsig:Reference[1]/@Id"),
            std::vector<std::string>{"SignedProperties-Reference1"});
  EXPECT_EQ(Texts(doc.get(), s + "/xmldsig:SignedInfo/xmldsig:Reference[1]/@Type"),
            std::vector<std::string>{kSignedPropertiesType});
  EXPECT_EQ(Texts(doc.get(), s + "//xmldsig:Transforms").size(), 0u);
  for (const char* id : {"SignedInfo-1", "SignatureValue-1", "KeyInfo-1", "SignedProperties-1"})
    EXPECT_NE(test::ElementWithId(doc.get(), id), nullptr) << id;
  EXPECT_EQ(Texts(doc.get(), s + "/xmldsig:Object/xades:QualifyingProperties/@Target"),
            std::vector<std::string>{"#Signature-1"});
  EXPECT_EQ(Texts(doc.get(), s + "//xmldsig:SigningTime").size() +
                Texts(doc.get(), s + "//xades:UnsignedProperties").size(),
            0u);

  // Certificate, its digest, issuer and decimal serial.
  const Bytes der = pki_->signer.der();
  EXPECT_EQ(Texts(doc.get(), s + "/xmldsig:KeyInfo/xmldsig:X509Data/xmldsig:X509Certificate"),
            std::vector<std::string>{base64Encode(der)});
  EXPECT_EQ(Texts(doc.get(), s + "//xades:CertDigest/xmldsig:DigestValue"),
            std::vector<std::string>{base64Encode(Cert()->sha1())});
  EXPECT_EQ(Texts(doc.get(), s + "//xades:IssuerSerial/xmldsig:X509SerialNumber"),
            std::vector<std::string>{"2148606515"});  // 0x80112233
  EXPECT_EQ(
      Texts(doc.get(), s + "//xades:IssuerSerial/xmldsig:X509IssuerName"),
      std::vector<std::string>{"CN=Test CA,O=Vellorum Test,C=PL"});  // full RFC 2253, UTF8String values too

  // Digests of the content and the signature value over the canonical SignedInfo.
  const auto digests =
      Texts(doc.get(), s + "/xmldsig:SignedInfo/xmldsig:Reference/xmldsig:DigestValue");
  ASSERT_EQ(digests.size(), 3u);
  const Fragment object1 = elementC14N(test::ElementWithId(doc.get(), "Object-1"), false);
  ASSERT_TRUE(object1);
  EXPECT_EQ(digests[1], digestBase64(AsBytes(*object1), kDigestSha1));
  const Fragment info = signedInfoC14N(sig);
  ASSERT_TRUE(info);
  std::vector<uint8_t> value;
  ASSERT_EQ(base64Decode(Texts(doc.get(), s + "/xmldsig:SignatureValue")[0], &value), 0);
  EXPECT_EQ(value.size(), 256u);
  EXPECT_EQ(verifyRsaSha1Signature(AsBytes(*info), value, Cert()), 0);
}

TEST_F(XadesSignTest, SizeIsExactAndAskedWithoutTheKey) {
  // A small input: the signature is far bigger than the input itself.
  const Bytes in = AsBytes(test::FirstSignature(test::ContentObject("o", "x")));
  uint32_t size = 0;
  ASSERT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), nullptr, &size),
            kSignMoreData);
  EXPECT_EQ(pin_.asked, 0);
  EXPECT_GT(size, 3 * in.size());
  const uint32_t need = size;

  // Additive with no buffer, as callers of the size rule expect.
  uint32_t added = 100;
  ASSERT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), nullptr, &added),
            kSignMoreData);
  EXPECT_EQ(added, 100 + need);

  // One byte short: refused before the key is touched, with the size needed.
  Bytes out(need - 1, 0xEE);
  size = need - 1;
  ASSERT_EQ(
      xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), out.data(), &size),
      kSignMoreData);
  EXPECT_EQ(size, need);
  EXPECT_EQ(pin_.asked, 0);
  EXPECT_EQ(out, Bytes(need - 1, 0xEE));

  out.assign(need, 0xEE);
  ASSERT_EQ(
      xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), out.data(), &size),
      0u);
  EXPECT_EQ(size, need - 1);  // strictly shorter than the buffer
  EXPECT_EQ(pin_.asked, 1);
}

TEST_F(XadesSignTest, QueryAnswerServesOnlyItsOwnBytesAndCertificate) {
  const std::string document = test::DefaultDocument();
  // The same length, one content letter changed.
  std::string changed = document;
  const size_t at = changed.find("Tekst umowy");
  ASSERT_NE(at, std::string::npos);
  changed[at] = 'X';
  const platform::CertContext* other = pki_->cosigner.cert.get();
  Bytes expected_document, expected_changed, expected_other;
  ASSERT_EQ(test::SignTwice(document, Cert(), &expected_document), 0u);
  ASSERT_EQ(test::SignTwice(changed, Cert(), &expected_changed), 0u);
  ASSERT_EQ(test::SignTwice(document, other, &expected_other), 0u);
  EXPECT_NE(expected_document, expected_changed);

  struct Case {
    const char* name;
    const std::string& queried;
    const std::string& filled;
    const platform::CertContext* fill_certificate;
    const Bytes& expected;
  } cases[] = {
      {"as queried", document, document, Cert(), expected_document},
      {"other bytes after the query", document, changed, Cert(), expected_changed},
      {"other certificate after the query", document, document, other, expected_other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes queried = AsBytes(c.queried), filled = AsBytes(c.filled);
    uint32_t size = 0;
    ASSERT_EQ(xadesAddSignature(queried.data(), static_cast<uint32_t>(queried.size()), Cert(), nullptr, &size),
              kSignMoreData);
    size += 4096;  // room for a longer certificate
    Bytes out(size, 0xEE);
    ASSERT_EQ(xadesAddSignature(filled.data(), static_cast<uint32_t>(filled.size()), c.fill_certificate,
                                out.data(), &size),
              0u);
    out.resize(size);
    EXPECT_EQ(out, c.expected);
  }
  // A call with the buffer and no query before it signs the same.
  const Bytes in = AsBytes(document);
  uint32_t size = static_cast<uint32_t>(expected_document.size() + 1);
  Bytes out(size, 0xEE);
  ASSERT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), out.data(), &size), 0u);
  out.resize(size);
  EXPECT_EQ(out, expected_document);
}

TEST_F(XadesSignTest, RootsAndInputs) {
  const std::string objects = test::ContentObject("A", "a") + test::ContentObject("B", "b");
  const std::string signatures = "<?xml version=\"1.0\"?><Signatures>" +
                                 test::FirstSignature(objects).substr(39) + "</Signatures>";
  struct Case {
    std::string name, xml;
    uint32_t code;
    int references;  // of the new signature, when signed
  } cases[] = {
      {"root Signature", test::FirstSignature(objects), 0, 3},
      {"root Signatures", signatures, 0, 3},
      {"single Object", test::FirstSignature(""), 0, 1},
      {"other root",
       "<dokument><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/></dokument>",
       kSignBadRoot, 0},
      {"not XML", "<ds:Signature", kSignNotParsed, 0},
      {"no signature yet", "<Signatures><inny/></Signatures>", kSignNoObjects, 0},
      {"empty", "", kSignNoXml, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    XadesMessageCapture quiet;
    ASSERT_EQ(test::SignTwice(c.xml, Cert(), &out), c.code);
    if (c.code != 0) continue;
    XmlDocPtr doc = xadesParseMemory(AsText(out));
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(nameIs(xmlDocGetRootElement(doc.get()), "Signatures"));
    EXPECT_EQ(Texts(doc.get(), "/Signatures/xmldsig:Signature").size(), 2u);
    EXPECT_EQ(Texts(doc.get(), "/*/*[@Id='Signature-1']/*/xmldsig:Reference").size(),
              static_cast<size_t>(c.references));
  }
}

TEST_F(XadesSignTest, NumberSkipsIdsOtherProducersUse) {
  // Two signatures and an element that already carries "KeyInfo-2".
  const std::string other =
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"Signature-1\">"
      "<ds:KeyInfo Id=\"KeyInfo-2\"/></ds:Signature>";
  const std::string xml = "<Signatures>" +
                          test::FirstSignature(test::ContentObject("c", "tresc")).substr(39) +
                          other + "</Signatures>";
  Bytes out;
  ASSERT_EQ(test::SignTwice(xml, Cert(), &out), 0u);
  XmlDocPtr doc = xadesParseMemory(AsText(out));
  EXPECT_EQ(Texts(doc.get(), "/Signatures/xmldsig:Signature/@Id"),
            (std::vector<std::string>{"Signature-0", "Signature-1", "Signature-3"}));
  EXPECT_NE(test::ElementWithId(doc.get(), "SignedProperties-3"), nullptr);
}

TEST_F(XadesSignTest, HostileIds) {
  // An Id that two elements carry is refused: which one was signed could not be told.
  const std::string twice = test::FirstSignature(test::ContentObject("x", "a") +
                                                 test::ContentObject("y", "<p Id=\"x\">b</p>"));
  const Bytes in = AsBytes(twice);
  uint32_t size = 0;
  XadesMessageCapture capture;
  EXPECT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), nullptr, &size),
            kSignRecordNotMade);
  EXPECT_NE(capture.text().find("xadesSignContextCreate\n"), std::string::npos);
  EXPECT_EQ(pin_.asked, 0);

  // Long Ids and quotes are plain values, not query text.
  for (const std::string& id :
       {std::string(2000, 'L'), std::string("a'b\"c"), std::string("x'] | //*[@Id='y")}) {
    std::string escaped;
    for (char ch : id) escaped += ch == '"' ? std::string("&quot;") : std::string(1, ch);
    Bytes out;
    ASSERT_EQ(
        test::SignTwice(test::FirstSignature(test::ContentObject(escaped, "tresc")), Cert(), &out),
        0u)
        << id.substr(0, 20);
    XmlDocPtr doc = xadesParseMemory(AsText(out));
    EXPECT_EQ(Texts(doc.get(), "/*/*[@Id='Signature-1']/*/xmldsig:Reference[2]/@URI"),
              std::vector<std::string>{"#" + id});
  }
}

TEST_F(XadesSignTest, CancelAndWrongPinLeaveTheOutputUntouched) {
  const Bytes in = AsBytes(test::DefaultDocument());
  uint32_t size = 0;
  ASSERT_EQ(xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), nullptr, &size),
            kSignMoreData);
  for (bool cancel : {true, false}) {
    pin_.cancel = cancel;
    pin_.pin = "0000";
    Bytes out(size, 0xEE);
    uint32_t s = size;
    EXPECT_EQ(
        xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), Cert(), out.data(), &s),
        kSignSignatureFailed);
    EXPECT_EQ(s, size);
    EXPECT_EQ(out, Bytes(size, 0xEE));
  }
  // A certificate without a key.
  Bytes out;
  EXPECT_EQ(test::SignTwice(test::DefaultDocument(), pki_->unbound.cert.get(), &out),
            kSignSignatureFailed);
}

TEST(XadesTemplateTest, DispatcherAndReferences) {
  EXPECT_EQ(createSignatureTemplate(nullptr, "S", nullptr, 2, 0), nullptr);
  xmlNode* sig = createSignatureTemplate(nullptr, "Signature-4", nullptr, kTemplateXmlDsig, 4);
  ASSERT_NE(sig, nullptr);
  XmlDocPtr doc(sig->doc);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sig->ns->prefix)), "ds");
  EXPECT_EQ(Texts(doc.get(), "/xmldsig:Signature/*/@Id"),
            (std::vector<std::string>{"SignedInfo-4", "SignatureValue-4", "KeyInfo-4"}));
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:X509Data/*").size(), 2u);
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:X509IssuerSerial/*").size(), 2u);
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:Object").size(), 0u);

  xmlNode* target = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "t", nullptr);
  xmlNewProp(target, BAD_CAST "Id", BAD_CAST "T1");
  xmlAddChild(sig, target);
  for (int flags : {0, 1, 2, 3}) ASSERT_EQ(addReference(sig, target, nullptr, nullptr, flags), sig);
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:Reference/@URI"), (std::vector<std::string>{"#T1", "#T1"}));
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:Reference/xmldsig:Transforms/xmldsig:Transform/@Algorithm"),
            (std::vector<std::string>{kBase64Transform, kEnvelopedTransform, kBase64Transform}));
  EXPECT_EQ(Texts(doc.get(), "//xmldsig:Reference[1]/*").size(), 2u);

  XadesMessageCapture capture;
  EXPECT_EQ(addReference(target, target, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(capture.text(), "addReference\nObiekt root nie zgodny ze struktra podpisu XadES\n");
}

TEST(XadesTemplateTest, SignatureValueCanonicalFormFollowsTheMethod) {
  const std::string head =
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
      "<ds:CanonicalizationMethod Algorithm=\"";
  const std::string tail =
      "\"/></ds:SignedInfo><ds:SignatureValue Id=\"v\">QUJD</ds:SignatureValue></ds:Signature>";
  const std::string expected =
      "<ds:SignatureValue xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
      "Id=\"v\">QUJD</ds:SignatureValue>";
  struct Case {
    std::string algorithm;
    bool made;
  } cases[] = {{kC14nInclusive, true},
               {kC14nWithComments, true},
               {kC14nExclusive, true},
               {"http://www.w3.org/2001/10/xml-exc-c14n#", false}};
  for (const Case& c : cases) {
    XmlDocPtr doc = xadesParseMemory(head + c.algorithm + tail);
    const auto text = signatureValueC14N(xmlDocGetRootElement(doc.get()));
    EXPECT_EQ(text.has_value(), c.made) << c.algorithm;
    if (text) {
      EXPECT_EQ(*text, expected);
    }
  }
}

TEST(XadesTemplateTest, TimeStampInputsJoinTheirPartsInOrder) {
  const std::string xml =
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
      "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"><ds:SignedInfo><ds:CanonicalizationMethod "
      "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/></ds:SignedInfo>"
      "<ds:SignatureValue>QUJD</ds:SignatureValue><ds:KeyInfo/"
      "><ds:Object><xades:QualifyingProperties>"
      "<xades:SignedProperties "
      "Id=\"p\"/><xades:UnsignedProperties><xades:UnsignedSignatureProperties>"
      "<xades:ArchiveTimeStamp><a/></xades:ArchiveTimeStamp>"
      "<xades:CompleteRevocationRefs><r/></xades:CompleteRevocationRefs>"
      "<xades:SignatureTimeStamp><t/></xades:SignatureTimeStamp>"
      "<xades:CompleteCertificateRefs><c/></xades:CompleteCertificateRefs>"
      "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties>"
      "</ds:Object><ds:Object "
      "Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">AAEC</ds:Object>"
      "</ds:Signature>";
  XmlDocPtr doc = xadesParseMemory(xml);
  const xmlNode* sig = xmlDocGetRootElement(doc.get());
  // The order is the list's, not the document's.
  EXPECT_EQ(refsTimeStampInput(sig, kSigAndRefsTimeStamp),
            *signatureValueC14N(sig) + *signatureTimeStampC14N(sig) +
                *completeCertificateRefsC14N(sig) + *completeRevocationRefsC14N(sig));
  EXPECT_EQ(refsTimeStampInput(sig, kRefsOnlyTimeStamp),
            *completeCertificateRefsC14N(sig) + *completeRevocationRefsC14N(sig));

  size_t length = 0;
  const auto without = archiveTimeStampInput(sig, 0, &length);
  ASSERT_TRUE(without);
  EXPECT_EQ(length, without->size());  // the content part is binary: bytes with their length
  EXPECT_NE(without->find(std::string("\x00\x01\x02", 3)), std::string::npos);
  EXPECT_EQ(without->find("<a>"), std::string::npos);
  const auto with = archiveTimeStampInput(sig, -1, &length);
  ASSERT_TRUE(with);
  EXPECT_EQ(*with, *without + *archiveTimeStampC14N(sig, -1));
  EXPECT_LT(without->find("QUJD"), without->find("<c>"));
  EXPECT_LT(without->find("<c>"), without->find("<r>"));
}

TEST(XadesSignContextTest, MethodsTargetsAndOwnership) {
  const auto make = [](const std::string& algorithm, const std::string& uri) {
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo>"
           "<ds:CanonicalizationMethod Algorithm=\"" +
           algorithm + "\"/><ds:Reference URI=\"" + uri +
           "\"/></ds:SignedInfo><ds:Object Id=\"o\"/></ds:Signature>";
  };
  struct Case {
    std::string algorithm, uri;
    bool made;
    int method;
  } cases[] = {
      {kC14nExclusive, "#o", true, kC14nMethodExclusive},
      {kC14nWithComments, "#o", true, kC14nMethodWithComments},
      {"urn:unknown", "#o", true, kC14nMethodUnknown},  // verification: unsupported
      {kC14nInclusive, "#missing", false, 0},
      {kC14nInclusive, "plik.xml", true, kC14nMethodInclusive},  // outside: no target
  };
  for (const Case& c : cases) {
    XmlDocPtr doc = xadesParseMemory(make(c.algorithm, c.uri));
    XadesMessageCapture quiet;
    XadesSignContextPtr record =
        xadesSignContextCreate(xmlDocGetRootElement(doc.get()), nullptr, DocOwnership::kShared);
    ASSERT_EQ(record != nullptr, c.made) << c.algorithm << c.uri;
    if (!record) continue;
    EXPECT_EQ(record->c14nMethod, c.method);
    EXPECT_EQ(record->referenceCount, 1);
    EXPECT_FALSE(record->signatureDocument.owned());
    EXPECT_EQ(record->targets[0] != nullptr, c.uri == "#o");
    xadesSignContextFree(std::move(record));  // the shared document stays alive
    EXPECT_NE(xmlDocGetRootElement(doc.get()), nullptr);
  }
  // An owned document goes with its record.
  XmlDocPtr doc = xadesParseMemory(make(kC14nInclusive, "#o"));
  XadesSignContextPtr record =
      xadesSignContextCreate(xmlDocGetRootElement(doc.get()), nullptr, DocOwnership::kOwned);
  ASSERT_NE(record, nullptr);
  (void)doc.release();
  EXPECT_TRUE(record->signatureDocument.owned());
  XadesMessageCapture capture;
  EXPECT_EQ(xadesSignContextCreate(nullptr, nullptr, DocOwnership::kShared), nullptr);
  EXPECT_EQ(capture.text(), "xadesSignContextCreateNode\nWartosc doc musi byc wypelniona\n");
}

}  // namespace
}  // namespace vel::xades
