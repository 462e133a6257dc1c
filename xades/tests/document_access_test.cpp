// Reading a XAdES document: Object content and the signer certificate with
// the size rule and whole-text decoding, the canonical SignatureValue, adding
// signature time stamps, finding a signature by certificate, embedded values
// and the time-stamp token texts.
#include "xades/document_access.h"

#include <gtest/gtest.h>

#include "xades/base64.h"
#include "xades/signature_discovery.h"
#include "xades/tests/sign_fixture.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

using test::AsBytes;
using test::AsText;
using test::Bytes;

constexpr char kDs[] = "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";
constexpr char kXa[] = "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"";

struct Doc {
  Bytes bytes;
  explicit Doc(const std::string& s) : bytes(AsBytes(s)) {}
  const uint8_t* data() const { return bytes.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
};

TEST(DocumentAccessTest, ObjectContent) {
  const Doc doc(test::FirstSignature(
      test::ContentObject("t", "abc") + test::ContentObject("e", "<p xmlns=\"urn:x\">z</p>") +
      "<ds:Object Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">YWJj\nZGVm</ds:Object>"
      "<ds:Object Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">YWJj*ZGVm</ds:Object>"
      "<ds:Object/>"));
  uint32_t size = 0;
  ASSERT_EQ(getObjectContent(doc.data(), doc.size(), nullptr, &size, 0, 0), 234u);
  EXPECT_EQ(size, 4u);
  Bytes out(4, 0xEE);
  ASSERT_EQ(getObjectContent(doc.data(), doc.size(), out.data(), &size, 0, 0), 0u);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 0}));
  size = 3;  // not greater than the text: the size needed is given
  EXPECT_EQ(getObjectContent(doc.data(), doc.size(), out.data(), &size, 0, 0), 234u);
  EXPECT_EQ(size, 4u);

  const auto content = [&](int m, uint32_t* code) {
    uint32_t s = 0;
    *code = getObjectContent(doc.data(), doc.size(), nullptr, &s, 0, m);
    if (*code != 234) return std::string();
    Bytes b(s, 0xEE);
    *code = getObjectContent(doc.data(), doc.size(), b.data(), &s, 0, m);
    b.resize(s);
    return AsText(b);
  };
  uint32_t code = 0;
  // What the Object holds in canonical form, with what is in scope there.
  EXPECT_EQ(content(1, &code),
            "<p xmlns=\"urn:x\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">z</p>");
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(content(2, &code), "abcdef");  // decoded whole, line break and all
  EXPECT_EQ(code, 0u);
  content(3, &code);
  EXPECT_EQ(code, 13u);  // not a cut-short "abc"
  EXPECT_EQ(content(4, &code), "");
  EXPECT_EQ(code, 0u);
  content(5, &code);
  EXPECT_EQ(code, 34u);
  size = 0;
  EXPECT_EQ(getObjectContent(doc.data(), doc.size(), nullptr, &size, 1, 0), 34u);
  const Doc bad("<ds:Signature");
  EXPECT_EQ(getObjectContent(bad.data(), bad.size(), nullptr, &size, 0, 0), 32u);
}

// Content that a comment, a CDATA section, a second text node, an element
// or a DTD default could cut short or decode otherwise: what is shown is all
// of what the Object's digest covers, read as written.
TEST(DocumentAccessTest, ObjectContentIsAllThatIsSigned) {
  const std::string base64 = "http://www.w3.org/2000/09/xmldsig#base64";
  const std::string defaultEncoding = "<!DOCTYPE ds:Signature [<!ATTLIST ds:Object Encoding CDATA \"" + base64 + "\">]>";
  struct Case {
    const char* name;
    std::string object;
    std::string doctype;
    std::string shown;
  } cases[] = {
      {"comment inside", "Zaplace 100<!-- -->0 zl", "", "Zaplace 1000 zl"},
      {"CDATA after text", "Kwota: <![CDATA[<1000>]]> zl", "", "Kwota: <1000> zl"},
      {"CDATA first", "<![CDATA[Kwota]]>: 1000", "", "Kwota: 1000"},
      {"element after text", "Umowa <b xmlns=\"urn:x\">nr 7</b> koniec", "",
       "Umowa <b xmlns=\"urn:x\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">nr 7</b> koniec"},
      {"two elements", "<a/><b/>", "",
       "<a xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"></a><b xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"></b>"},
      {"base64 split by a comment", "<!--x-->YWJj<!-- y -->ZGVm", "", "YWJjZGVm"},
      {"Encoding only as a DTD default", "YWJj", defaultEncoding, "YWJj"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string xml = test::FirstSignature(test::ContentObject("o", c.object));
    if (!c.doctype.empty()) xml.insert(xml.find("<ds:Signature"), c.doctype);
    const Doc doc(xml);
    uint32_t size = 0;
    ASSERT_EQ(getObjectContent(doc.data(), doc.size(), nullptr, &size, 0, 0), 234u);
    Bytes out(size, 0xEE);
    ASSERT_EQ(getObjectContent(doc.data(), doc.size(), out.data(), &size, 0, 0), 0u);
    out.resize(size);
    EXPECT_EQ(AsText(out), c.shown);
  }
  // A base64 Object is decoded whole, comments left out.
  const Doc encoded(test::FirstSignature("<ds:Object Encoding=\"" + base64 + "\">YWJj<!-- -->ZGVm</ds:Object>"));
  uint32_t size = 0;
  ASSERT_EQ(getObjectContent(encoded.data(), encoded.size(), nullptr, &size, 0, 0), 234u);
  Bytes out(size, 0xEE);
  ASSERT_EQ(getObjectContent(encoded.data(), encoded.size(), out.data(), &size, 0, 0), 0u);
  out.resize(size);
  EXPECT_EQ(AsText(out), "abcdef");
}

TEST(DocumentAccessTest, SignatureCertificate) {
  vel::test::TestPki pki;
  const Bytes der = pki.signer.der();
  const std::string b64 = base64Encode(der);
  const auto with = [&](const std::string& x509) {
    return "<ds:Signature " + std::string(kDs) + "><ds:SignedInfo/><ds:KeyInfo><ds:X509Data>" +
           x509 + "</ds:X509Data></ds:KeyInfo></ds:Signature>";
  };
  const Doc good(with("<ds:X509Certificate>" + b64.substr(0, 60) + "\n" + b64.substr(60) +
                      "</ds:X509Certificate>"));
  platform::CertPtr cert = getSignerCertContext(good.data(), good.size(), 0);
  ASSERT_NE(cert, nullptr);
  EXPECT_TRUE(std::equal(der.begin(), der.end(), cert->der().begin(), cert->der().end()));

  struct Case {
    std::string x509;
    uint32_t code;
  } cases[] = {
      {"<ds:X509Certificate>" + b64.substr(0, 100) + "!" + b64.substr(100) +
           "</ds:X509Certificate>",
       13},
      {"<ds:X509Certificate><b/></ds:X509Certificate>", 51},
      {"", 66},
  };
  for (const Case& c : cases) {
    const Doc d(with(c.x509));
    uint32_t size = 0;
    uint32_t err = getSignatureCertificate(d.data(), d.size(), nullptr, &size, 0);
    if (err == 234) {
      Bytes out(size);
      err = getSignatureCertificate(d.data(), d.size(), out.data(), &size, 0);
    }
    EXPECT_EQ(err, c.code) << c.x509.substr(0, 40);
    EXPECT_EQ(getSignerCertContext(d.data(), d.size(), 0), nullptr);
  }

  int index = -1;
  EXPECT_EQ(findSignatureByCertificate(good.data(), good.size(), pki.signer.cert.get(), &index),
            0u);
  EXPECT_EQ(index, 0);
  index = -1;
  EXPECT_EQ(findSignatureByCertificate(good.data(), good.size(), pki.cosigner.cert.get(), &index),
            69u);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(findSignatureByCertificate(good.data(), good.size(), nullptr, &index), 87u);

  // Embedded values; a value that is not base64 is left out.
  const Doc values("<ds:Signature " + std::string(kDs) + " " + kXa +
                   "><ds:Object><xades:QualifyingProperties><xades:UnsignedProperties>"
                   "<xades:UnsignedSignatureProperties><xades:CertificateValues>"
                   "<xades:EncapsulatedX509Certificate>" +
                   b64 +
                   "</xades:EncapsulatedX509Certificate>"
                   "<xades:EncapsulatedX509Certificate>@@@@</xades:EncapsulatedX509Certificate>"
                   "<xades:EncapsulatedX509Certificate>" +
                   base64Encode(pki.ca.der()) +
                   "</xades:EncapsulatedX509Certificate></xades:CertificateValues>"
                   "</xades:UnsignedSignatureProperties></xades:UnsignedProperties>"
                   "</xades:QualifyingProperties></ds:Object></ds:Signature>");
  const auto certs = getEncapsulatedCertificatesXml(values.data(), values.size(), 0);
  ASSERT_EQ(certs.size(), 2u);
  EXPECT_EQ(certs[1]->sha1(), pki.ca.cert->sha1());
  EXPECT_TRUE(getEncapsulatedCertificatesXml(values.data(), values.size(), 1).empty());
  EXPECT_TRUE(getEncapsulatedCrlsXml(values.data(), values.size(), 0).empty());
}

TEST(DocumentAccessTest, SignatureValueAndTimeStamps) {
  const Doc doc(test::FirstSignature(test::ContentObject("o", "x")));
  int count = -1;
  ASSERT_EQ(getSignatureCount(doc.data(), doc.size(), &count), 0u);
  EXPECT_EQ(count, 1);

  const std::string canonical =
      "<ds:SignatureValue xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">AAAA</ds:SignatureValue>";
  uint32_t size = static_cast<uint32_t>(canonical.size());
  Bytes out(size);
  ASSERT_EQ(getSignatureValueC14N(doc.data(), doc.size(), out.data(), &size, 0), 234u);
  EXPECT_EQ(size, canonical.size() + 1);
  out.resize(size);
  ASSERT_EQ(getSignatureValueC14N(doc.data(), doc.size(), out.data(), &size, 0), 0u);
  EXPECT_EQ(AsText(Bytes(out.begin(), out.begin() + size)), canonical);
  EXPECT_EQ(getSignatureValueC14N(doc.data(), doc.size(), out.data(), &size, 1), 178u);

  // Two time stamps: the first makes both property levels, the second follows it.
  const Bytes token = {0x30, 0x03, 0x02, 0x01, 0x05, 0xFF, 0x00};
  Bytes current = doc.bytes;
  for (int i = 0; i < 2; ++i) {
    uint32_t s = 1u << 20;
    ASSERT_EQ(xadesAddSignatureTimeStamp(current.data(), static_cast<uint32_t>(current.size()),
                                         token.data(), static_cast<uint32_t>(token.size()), nullptr,
                                         &s, 0),
              234u);
    s = 0;
    ASSERT_EQ(xadesAddSignatureTimeStamp(current.data(), static_cast<uint32_t>(current.size()),
                                         token.data(), static_cast<uint32_t>(token.size()), nullptr,
                                         &s, 0),
              234u);
    Bytes next(s);
    ASSERT_EQ(xadesAddSignatureTimeStamp(current.data(), static_cast<uint32_t>(current.size()),
                                         token.data(), static_cast<uint32_t>(token.size()),
                                         next.data(), &s, 0),
              0u);
    next.resize(s);
    current = next;
  }
  XmlDocPtr parsed = xadesParseMemory(AsText(current));
  EXPECT_EQ(test::Texts(parsed.get(), "//xades:UnsignedProperties").size(), 1u);
  EXPECT_EQ(test::Texts(parsed.get(),
                        "/xmldsig:Signature/xmldsig:Object/xades:QualifyingProperties/"
                        "xades:UnsignedProperties/xades:UnsignedSignatureProperties/"
                        "xades:SignatureTimeStamp/xades:EncapsulatedTimeStamp"),
            (std::vector<std::string>{base64Encode(token), base64Encode(token)}));
  xmlNode* signature = xmlDocGetRootElement(parsed.get());
  const auto nodes = getSignatureTimeStampNodes(signature);
  ASSERT_TRUE(nodes);
  EXPECT_EQ(nodes->nodes.size(), 2u);
  int encoding = 0;
  EXPECT_EQ(getSignatureTimeStampToken(signature, &encoding, 1), base64Encode(token));
  EXPECT_EQ(encoding, kTokenEncodingDer);
  EXPECT_FALSE(getSignatureTimeStampToken(signature, &encoding, 2));

  const Doc no_qp("<ds:Signature " + std::string(kDs) + "><ds:SignedInfo/></ds:Signature>");
  size = 0;
  EXPECT_EQ(
      xadesAddSignatureTimeStamp(no_qp.data(), no_qp.size(), token.data(), 7, nullptr, &size, 0),
      191u);
}

TEST(DocumentAccessTest, RefsAndArchiveTokens) {
  const std::string ber = "http://uri.etsi.org/01903/v1.2.2#BER";
  const std::string xml =
      "<ds:Signature " + std::string(kDs) + " " + kXa +
      "><ds:Object><xades:QualifyingProperties><xades:UnsignedProperties>"
      "<xades:UnsignedSignatureProperties>"
      "<xades:SigAndRefsTimeStamp><xades:EncapsulatedTimeStamp Encoding=\"" +
      ber +
      "\">Zmlyc3Q=</xades:EncapsulatedTimeStamp></xades:SigAndRefsTimeStamp>"
      "<xades:RefsOnlyTimeStamp><xades:EncapsulatedTimeStamp>c2Vjb25k</xades:EncapsulatedTimeStamp>"
      "</xades:RefsOnlyTimeStamp>"
      "<xades:ArchiveTimeStamp><xades:EncapsulatedTimeStamp>YQ==</xades:EncapsulatedTimeStamp>"
      "</xades:ArchiveTimeStamp>"
      "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties>"
      "</ds:Object></ds:Signature>";
  XmlDocPtr doc = xadesParseMemory(xml);
  xmlNode* signature = xmlDocGetRootElement(doc.get());
  int encoding = 0;
  EXPECT_EQ(getRefsTimeStampToken(signature, &encoding, 0), "Zmlyc3Q=");
  EXPECT_EQ(encoding, kTokenEncodingOther);
  encoding = 0;
  EXPECT_EQ(getRefsTimeStampToken(signature, &encoding, 1), "c2Vjb25k");
  EXPECT_EQ(encoding, 0);  // no Encoding attribute: left as it was
  EXPECT_EQ(getArchiveTimeStampToken(signature, nullptr, 0), "YQ==");
  EXPECT_FALSE(getArchiveTimeStampToken(signature, nullptr, 1));
  EXPECT_FALSE(getSignatureTimeStampNodes(signature));
  EXPECT_FALSE(refsTimeStampInput(signature, kSigAndRefsTimeStamp));  // no CompleteCertificateRefs
}

// Each signature reads its own tokens where it stands: a counter-signature's
// are not its parent's, and an element above the signatures reads those of
// the topmost one.
TEST(DocumentAccessTest, TokensBelongToTheSignatureAsked) {
  // A signature with its signed properties bound, holding `inner` among its
  // unsigned properties.
  const auto signature = [](const std::string& id, const std::string& inner) {
    return "<ds:Signature Id=\"" + id + "\"><ds:SignedInfo><ds:Reference Type=\"" + kSignedPropertiesType +
           "\" URI=\"#sp-" + id + "\"/></ds:SignedInfo><ds:Object><xades:QualifyingProperties Target=\"#" + id +
           "\"><xades:SignedProperties Id=\"sp-" + id + "\"/><xades:UnsignedProperties>"
           "<xades:UnsignedSignatureProperties>" +
           inner + "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties>"
                   "</ds:Object></ds:Signature>";
  };
  const auto stamp = [](const char* kind, const char* token) {
    return std::string("<xades:") + kind + "><xades:EncapsulatedTimeStamp>" + token +
           "</xades:EncapsulatedTimeStamp></xades:" + kind + ">";
  };
  const std::string counter = signature("inner", stamp("SignatureTimeStamp", "Y291bnRlcg=="));
  const std::string xml = "<umowa " + std::string(kDs) + " " + kXa + ">" +
                          signature("outer", stamp("SignatureTimeStamp", "b3V0ZXI=") + "<xades:CounterSignature>" +
                                                 counter + "</xades:CounterSignature>" +
                                                 stamp("ArchiveTimeStamp", "YXJjaGl2ZQ==")) +
                          "</umowa>";
  XmlDocPtr doc = xadesParseMemory(xml);
  ASSERT_TRUE(doc);
  xmlNode* wrapper = xmlDocGetRootElement(doc.get());
  xmlNode* outer = test::ElementWithId(doc.get(), "outer");
  xmlNode* inner = test::ElementWithId(doc.get(), "inner");
  ASSERT_TRUE(outer && inner);

  EXPECT_EQ(getSignatureTimeStampToken(outer, nullptr, 0), "b3V0ZXI=");
  EXPECT_FALSE(getSignatureTimeStampToken(outer, nullptr, 1));
  EXPECT_EQ(getSignatureTimeStampToken(inner, nullptr, 0), "Y291bnRlcg==");
  EXPECT_FALSE(getSignatureTimeStampToken(inner, nullptr, 1));
  EXPECT_EQ(getSignatureTimeStampToken(wrapper, nullptr, 0), "b3V0ZXI=");
  EXPECT_EQ(getArchiveTimeStampToken(outer, nullptr, 0), "YXJjaGl2ZQ==");
  EXPECT_FALSE(getArchiveTimeStampToken(inner, nullptr, 0));

  const auto inner_nodes = getSignatureTimeStampNodes(inner);
  ASSERT_TRUE(inner_nodes);
  ASSERT_EQ(inner_nodes->nodes.size(), 1u);
  EXPECT_EQ(inner_nodes->nodes[0]->doc, doc.get());
  ASSERT_TRUE(getSignatureTimeStampNodes(outer));
  EXPECT_EQ(getSignatureTimeStampNodes(outer)->nodes.size(), 1u);

  ASSERT_TRUE(findForms(outer).a);
  EXPECT_EQ(findForms(outer).a->timeStamps.size(), 1u);
  EXPECT_FALSE(findForms(inner).a);
}

}  // namespace
}  // namespace vel::xades
