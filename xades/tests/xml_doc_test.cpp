#include "xades/xml_doc.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/testing/test_support.h"
#include "xades/engine_messages.h"
#include "xades/node_helpers.h"

namespace vel::xades {
namespace {

std::string ContentOf(xmlDoc* doc) {
  xmlChar* out = nullptr;
  int size = 0;
  xmlDocDumpMemory(doc, &out, &size);
  std::string text(reinterpret_cast<const char*>(out), static_cast<size_t>(size));
  xmlFree(out);
  XmlCharPtr content(xmlNodeGetContent(xmlDocGetRootElement(doc)));
  return text + "\n" + (content ? reinterpret_cast<const char*>(content.get()) : "");
}

TEST(XmlDoc, ExternalEntityNamingALocalFileIsNotRead) {
  test::TempDir dir;
  const std::string secret = "unique-secret-7f3a91c2";
  test::WriteFileText(dir / "secret.txt", secret);
  const std::string doc_text = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" +
                               (dir / "secret.txt").string() + "\">]>\n<r a=\"1\">&x;</r>";
  std::string diagnostics;
  XmlDocPtr doc = xadesParseMemory(doc_text, &diagnostics);
  if (doc) {
    EXPECT_EQ(ContentOf(doc.get()).find(secret), std::string::npos);
  }
  // Also from a file, and through the XPath string value.
  test::WriteFileText(dir / "doc.xml", doc_text);
  doc = xadesParseFile(dir / "doc.xml", &diagnostics);
  if (doc) {
    EXPECT_EQ(ContentOf(doc.get()).find(secret), std::string::npos);
    auto context = xadesNewXPathContext(doc.get());
    XPathObjectPtr s = xadesEval(context.get(), "string(/r)");
    ASSERT_TRUE(s);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->stringval)).find(secret), std::string::npos);
    XmlCharPtr c14n = c14nDocument(doc.get(), kC14nMethodInclusive);
    if (c14n) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(c14n.get())).find(secret), std::string::npos);
    }
  }
}

TEST(XmlDoc, HostileDocumentsAreRefusedOrHarmless) {
  // Entity expansion bomb.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
  std::string last = "a";
  for (char e = 'b'; e <= 'k'; ++e) {
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += "&" + last + ";";
    bomb += std::string("<!ENTITY ") + e + " \"" + refs + "\">";
    last = std::string(1, e);
  }
  bomb += "]><l>&k;</l>";
  // 10^10 characters would be the expansion: libxml2's amplification check refuses it.
  EXPECT_FALSE(xadesParseMemory(bomb));
  XmlDocPtr doc;

  // 100,000-deep nesting is refused (libxml2's own depth limit).
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  std::string diagnostics;
  EXPECT_FALSE(xadesParseMemory(deep, &diagnostics));
  EXPECT_FALSE(diagnostics.empty());

  // A DTD on the network is never fetched (no network access, no DTD load):
  // the document parses from its own bytes.
  doc = xadesParseMemory(
      "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"http://dtd.example.invalid/r.dtd\"><r>t</r>");
  ASSERT_TRUE(doc);
  EXPECT_STREQ(reinterpret_cast<const char*>(getElementText(xmlDocGetRootElement(doc.get()))), "t");

  EXPECT_FALSE(xadesParseMemory("<r>"));
  EXPECT_FALSE(xadesParseMemory(""));
}

TEST(XmlDoc, LibxmlDiagnosticsDoNotReachTheEngineStream) {
  XadesMessageCapture capture;
  std::string diagnostics;
  EXPECT_FALSE(xadesParseMemory("<a><b></a>", &diagnostics));
  EXPECT_NE(diagnostics.find("line 1"), std::string::npos);
  EXPECT_TRUE(capture.text().empty());
  xadesPrint("generateSign\nNiepoprawna struktura dokumentu\n");
  EXPECT_EQ(capture.text(), "generateSign\nNiepoprawna struktura dokumentu\n");
}

TEST(XmlDoc, CanonicalisationNumbers) {
  EXPECT_EQ(c14nModeOf(0).mode, XML_C14N_1_0);
  EXPECT_EQ(c14nModeOf(0).withComments, 0);
  EXPECT_EQ(c14nModeOf(1).mode, XML_C14N_1_0);
  EXPECT_EQ(c14nModeOf(1).withComments, 1);
  EXPECT_EQ(c14nModeOf(2).mode, XML_C14N_EXCLUSIVE_1_0);
  EXPECT_EQ(c14nModeOf(7).mode, XML_C14N_1_0);
  EXPECT_EQ(c14nMethodOfAlgorithm(kC14nExclusive), 2);
  EXPECT_EQ(c14nMethodOfAlgorithm("http://www.w3.org/2001/10/xml-exc-c14n#"), -1);
  EXPECT_EQ(c14nMethodOfAlgorithm(kC14nWithComments), 1);
  EXPECT_EQ(c14nMethodOfAlgorithm(kC14nInclusive), 0);
}

constexpr char kNested[] =
    "<Signatures><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"A\">"
    "<ds:Object><ds:Signature Id=\"A1\"/></ds:Object></ds:Signature>"
    "<x><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"B\"/></x>"
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"C\"/></Signatures>";

std::string IdOf(const xmlNode* n) { return n ? getNodeProp(n, "Id").value_or("?") : "none"; }

TEST(NodeHelpers, TopLevelCountAgreesWithItsQuery) {
  const std::string ds = "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";
  const char* const documents[] = {
      kNested,
      "<!--a--><r><x/><y>t</y></r><?pi?>",
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:Object><ds:Signature/></ds:Object>"
      "</ds:Signature>",
      "<r xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><Signature/><ds:Signature/><a><b><ds:Signature/>"
      "</b></a><ds:Signature><ds:Signature/></ds:Signature></r>",
      "<!DOCTYPE r [<!ENTITY e \"<Signature xmlns='http://www.w3.org/2000/09/xmldsig#'/>\">]><r>&e;</r>",
  };
  for (const char* text : documents) {
    SCOPED_TRACE(text);
    XmlDocPtr doc = xadesParseMemory(std::string_view(text));
    ASSERT_TRUE(doc);
    auto ctx = xadesNewXPathContext(doc.get());
    XPathObjectPtr asked = xadesEval(ctx.get(), "//xmldsig:Signature[not(ancestor::xmldsig:Signature)]");
    EXPECT_EQ(topLevelSignatureCount(ctx.get()), static_cast<int>(nodesOf(asked.get()).size()));
  }
  EXPECT_EQ(topLevelSignatureCount(nullptr), -1);
}

TEST(NodeHelpers, FourWaysToCountSignatures) {
  XmlDocPtr doc = xadesParseMemory(std::string_view(kNested));
  ASSERT_TRUE(doc);
  auto ctx = xadesNewXPathContext(doc.get());
  // Children of the root: A, C.
  EXPECT_EQ(IdOf(rootSignatureAt(ctx.get(), 0)), "A");
  EXPECT_EQ(IdOf(rootSignatureAt(ctx.get(), 1)), "C");
  EXPECT_EQ(IdOf(rootSignatureAt(ctx.get(), 2)), "none");
  // Top level anywhere: A, B, C.
  EXPECT_EQ(topLevelSignatureCount(ctx.get()), 3);
  EXPECT_EQ(IdOf(topLevelSignatureAt(ctx.get(), 1)), "B");
  // All: A, A1, B, C.
  EXPECT_EQ(anySignatureCount(ctx.get()), 4);
  EXPECT_EQ(IdOf(anySignatureAt(ctx.get(), 1)), "A1");
  // Below one signature: its counter-signature A1.
  xmlNode* a = anySignatureAt(ctx.get(), 0);
  EXPECT_EQ(IdOf(signatureInContextAt(ctx.get(), a, 0)), "A1");
  EXPECT_EQ(IdOf(signatureInContextAt(ctx.get(), a, 1)), "none");
  EXPECT_EQ(IdOf(topLevelSignatureAt(ctx.get(), -1)), "none");

  // A root that is itself a Signature is signature 0.
  XmlDocPtr single = xadesParseMemory(std::string_view(
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"S\"/>"));
  auto ctx2 = xadesNewXPathContext(single.get());
  EXPECT_EQ(IdOf(rootSignatureAt(ctx2.get(), 0)), "S");
}

TEST(NodeHelpers, TextsAndAttributes) {
  XmlDocPtr doc = xadesParseMemory(std::string_view(
      "<!DOCTYPE r [<!ATTLIST r d CDATA \"dflt\"><!ENTITY e \"E\">]>"
      "<r a=\"\" b=\"x&amp;y\" c=\"p&e;q\"><t>text</t><u><v/></u><w><![CDATA[cd]]></w></r>"));
  ASSERT_TRUE(doc);
  xmlNode* r = xmlDocGetRootElement(doc.get());
  EXPECT_EQ(getNodeProp(r, "a"), std::string());
  EXPECT_EQ(getNodeProp(r, "b"), "x&y");
  EXPECT_EQ(getNodeProp(r, "c"), "p&e;q");  // the reference is kept, never expanded
  // A DTD default is in no canonical form: it is never read as written.
  EXPECT_EQ(getNodeProp(r, "d"), std::nullopt);
  EXPECT_EQ(getNodeProp(r, "missing"), std::nullopt);
  EXPECT_EQ(getNodeProp(nullptr, "a"), std::nullopt);
  xmlNode* t = xmlFirstElementChild(r);
  EXPECT_STREQ(reinterpret_cast<const char*>(getElementText(t)), "text");
  EXPECT_EQ(getElementText(xmlNextElementSibling(t)), nullptr);
  EXPECT_EQ(getElementText(xmlNextElementSibling(xmlNextElementSibling(t))), nullptr);
  EXPECT_EQ(getElementText(nullptr), nullptr);
  EXPECT_TRUE(nameIs(t, "t"));
  EXPECT_FALSE(nameIs(t, "tt"));
  xmlDoc* fresh = xadesNewDoc("1.0");
  ASSERT_NE(fresh, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(fresh->version), "1.0");
  xadesFreeDoc(fresh);
  xadesFreeDoc(nullptr);
}

}  // namespace
}  // namespace vel::xades

namespace vel::xades {
namespace {

// The parts of a Signature: only exact XMLDSig names in the schema's order,
// each at most once; anything else leaves no parts at all.
TEST(NodeHelpers, SignaturePartsTakeOnlyTheSchemasElements) {
  const std::string si = "<ds:SignedInfo/>", sv = "<ds:SignatureValue>AAAA</ds:SignatureValue>",
                    ki = "<ds:KeyInfo><x:X509Data><ds:X509Certificate>AQ==</ds:X509Certificate></x:X509Data>"
                         "<ds:X509Data>\n<ds:X509Certificate>Ag==</ds:X509Certificate></ds:X509Data></ds:KeyInfo>",
                    qp = "<ds:Object>\n<xa:QualifyingProperties><xa:UnsignedProperties><xa:UnsignedSignatureProperties/>"
                         "</xa:UnsignedProperties></xa:QualifyingProperties></ds:Object>";
  const struct {
    const char* what;
    std::string children;
    bool parts;
  } cases[] = {
      {"the schema's order, indented", "\n" + si + "\n" + sv + "\n" + ki + "\n" + qp + "<ds:Object/>\n", true},
      {"no KeyInfo, no Object", si + sv, true},
      {"a look-alike of another namespace", si + sv + "<x:KeyInfo/>" + ki, false},
      {"a name that begins the expected one", si + "<ds:S>AAAA</ds:S>" + sv, false},
      {"a name that the expected one begins", si + sv + "<ds:KeyInfoX/>" + ki, false},
      {"KeyInfo twice", si + sv + ki + ki, false},
      {"SignatureValue twice", si + sv + sv, false},
      {"out of order", sv + si, false},
      {"KeyInfo after an Object", si + sv + qp + ki, false},
  };
  for (const auto& c : cases) {
    XmlDocPtr doc = xadesParseMemory(
        "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:x=\"urn:x\" "
        "xmlns:xa=\"http://uri.etsi.org/01903/v1.3.2#\">" +
        c.children + "</ds:Signature>");
    ASSERT_TRUE(doc) << c.what;
    const xmlNode* signature = xmlDocGetRootElement(doc.get());
    const auto parts = signatureParts(signature);
    EXPECT_EQ(parts.has_value(), c.parts) << c.what;
    if (!c.parts) {
      EXPECT_EQ(signatureValueOf(signature), nullptr) << c.what;
      EXPECT_EQ(signerCertificateOf(signature), nullptr) << c.what;
    }
  }
  XmlDocPtr doc = xadesParseMemory(
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:x=\"urn:x\" "
      "xmlns:xa=\"http://uri.etsi.org/01903/v1.3.2#\">" + si + sv + ki + qp + "</ds:Signature>");
  const xmlNode* signature = xmlDocGetRootElement(doc.get());
  // The first X509Certificate of an XMLDSig X509Data, never the look-alike's.
  XmlCharPtr text(xmlNodeGetContent(signerCertificateOf(signature)));
  EXPECT_STREQ(reinterpret_cast<const char*>(text.get()), "Ag==");
  EXPECT_NE(unsignedSignaturePropertiesOf(signature), nullptr);
  doc = xadesParseMemory(
      "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:x=\"urn:x\" "
      "xmlns:xa=\"http://uri.etsi.org/01903/v1.3.2#\">" + si + sv + qp + qp + "</ds:Signature>");
  EXPECT_EQ(qualifyingPropertiesOf(xmlDocGetRootElement(doc.get())), nullptr);  // two: neither
}

}  // namespace
}  // namespace vel::xades
