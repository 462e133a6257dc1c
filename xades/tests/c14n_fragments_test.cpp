#include "xades/c14n_fragments.h"

#include <gtest/gtest.h>

#include <string>

#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

constexpr char kDs[] = "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";
constexpr char kXa[] = "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"";

// A signature with the properties every fragment reads.
std::string SignatureDoc(const std::string& unsigned_props, const std::string& objects = "",
                         const std::string& lead = "") {
  return std::string("<ds:Signature ") + kDs + " Id=\"S\">" + lead +
         "<ds:SignedInfo Id=\"SI\"><ds:CanonicalizationMethod Algorithm=\"x\"/></ds:SignedInfo>"
         "<ds:SignatureValue Id=\"SV\">AAAA</ds:SignatureValue>"
         "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>QQ==</ds:X509Certificate></ds:X509Data></ds:KeyInfo>"
         "<ds:Object><xades:QualifyingProperties " + kXa + " Target=\"#S\">"
         "<xades:SignedProperties Id=\"SP\"><xades:SignedSignatureProperties/></xades:SignedProperties>"
         "<xades:UnsignedProperties><xades:UnsignedSignatureProperties>" + unsigned_props +
         "</xades:UnsignedSignatureProperties></xades:UnsignedProperties>"
         "</xades:QualifyingProperties></ds:Object>" + objects + "</ds:Signature>";
}

struct Parsed {
  XmlDocPtr doc;
  xmlNode* root = nullptr;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  p.doc = xadesParseMemory(text);
  if (p.doc) p.root = xmlDocGetRootElement(p.doc.get());
  return p;
}

TEST(C14nFragments, SingleElements) {
  Parsed p = Parse(SignatureDoc(""));
  ASSERT_TRUE(p.root);
  EXPECT_EQ(signedInfoC14N(p.root),
            std::string("<ds:SignedInfo ") + kDs +
                " Id=\"SI\"><ds:CanonicalizationMethod Algorithm=\"x\"></ds:CanonicalizationMethod></ds:SignedInfo>");
  // The Signature's ds declaration lands on the SignatureValue copy.
  EXPECT_EQ(signatureValueElementC14N(p.root),
            std::string("<ds:SignatureValue ") + kDs + " Id=\"SV\">AAAA</ds:SignatureValue>");
  EXPECT_EQ(keyInfoC14N(p.root)->rfind("<ds:KeyInfo xmlns:ds=", 0), 0u);
  EXPECT_EQ(signedPropertiesC14N(p.root),
            std::string("<xades:SignedProperties ") + kXa +
                " Id=\"SP\"><xades:SignedSignatureProperties></xades:SignedSignatureProperties></xades:SignedProperties>");
  // A misnamed element gives nothing.
  EXPECT_EQ(keyInfoC14N(xmlFirstElementChild(p.root)), std::nullopt);
  EXPECT_EQ(signedInfoC14N(nullptr), std::nullopt);
  // A line break before SignedInfo: no SignedInfo fragment.
  Parsed q = Parse(SignatureDoc("", "", "\n"));
  EXPECT_EQ(signedInfoC14N(q.root), std::nullopt);
  EXPECT_TRUE(signatureValueElementC14N(q.root));
}

TEST(C14nFragments, UnsignedPropertiesCarryTheDsDeclaration) {
  Parsed p = Parse(SignatureDoc(
      "<xades:SignatureTimeStamp Id=\"a\"/><xades:CertificateValues><xades:EncapsulatedX509Certificate>QQ==</xades:EncapsulatedX509Certificate></xades:CertificateValues>"
      "<xades:SignatureTimeStamp Id=\"b\"><!--c--></xades:SignatureTimeStamp>"));
  ASSERT_TRUE(p.root);
  const std::string decl = std::string(kDs) + " " + kXa;
  EXPECT_EQ(certificateValuesC14N(p.root),
            "<xades:CertificateValues " + decl +
                "><xades:EncapsulatedX509Certificate>QQ==</xades:EncapsulatedX509Certificate></xades:CertificateValues>");
  // Both time stamps, one after the other, comments left out.
  EXPECT_EQ(signatureTimeStampC14N(p.root),
            "<xades:SignatureTimeStamp " + decl + " Id=\"a\"></xades:SignatureTimeStamp>" +
                "<xades:SignatureTimeStamp " + decl + " Id=\"b\"></xades:SignatureTimeStamp>");
  EXPECT_EQ(revocationValuesC14N(p.root), std::nullopt);
  EXPECT_EQ(counterSignatureC14N(p.root), std::nullopt);
}

TEST(C14nFragments, ArchiveTimeStampsBeforePositionK) {
  Parsed p = Parse(SignatureDoc("<xades:ArchiveTimeStamp Id=\"1\">x</xades:ArchiveTimeStamp>"
                                "<xades:ArchiveTimeStamp Id=\"2\"/>"
                                "<xades:ArchiveTimeStamp Id=\"3\">z</xades:ArchiveTimeStamp>"));
  ASSERT_TRUE(p.root);
  const std::string decl = std::string(kDs) + " " + kXa;
  const std::string first = "<xades:ArchiveTimeStamp " + decl + " Id=\"1\">x</xades:ArchiveTimeStamp>";
  const std::string third = "<xades:ArchiveTimeStamp " + decl + " Id=\"3\">z</xades:ArchiveTimeStamp>";
  EXPECT_EQ(archiveTimeStampC14N(p.root, 1), first);
  EXPECT_EQ(archiveTimeStampC14N(p.root, 2), first);  // the empty second one is left out
  EXPECT_EQ(archiveTimeStampC14N(p.root, -1), first + third);
  EXPECT_EQ(archiveTimeStampC14N(p.root, 0), std::nullopt);
  EXPECT_EQ(archiveTimeStampC14N(p.root, -2), std::nullopt);
}

TEST(C14nFragments, SecondObjectAsBytesOrText) {
  const std::string b64 = "<ds:Object Id=\"o\" Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">YWJj\nZGVm</ds:Object>";
  Parsed p = Parse(SignatureDoc("", b64));
  size_t length = 99;
  EXPECT_EQ(objectC14N(p.root, &length), "abcdef");
  EXPECT_EQ(length, 6u);
  Parsed q = Parse(SignatureDoc("", "<ds:Object Id=\"o\" Encoding=\"text/plain\">YWJj</ds:Object>"));
  length = 99;
  EXPECT_EQ(objectC14N(q.root, &length),
            std::string("<ds:Object ") + kDs + " Encoding=\"text/plain\" Id=\"o\">YWJj</ds:Object>");
  EXPECT_EQ(length, 99u);
  Parsed r = Parse(SignatureDoc(""));
  EXPECT_EQ(objectC14N(r.root, &length), std::nullopt);
  // Content that is not whole base64 is not turned into partial bytes.
  Parsed bad = Parse(SignatureDoc("", "<ds:Object Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">YWJj*ZGVm</ds:Object>"));
  EXPECT_EQ(objectC14N(bad.root, &length), std::nullopt);
  // All of the text counts, past a comment.
  Parsed split = Parse(SignatureDoc("", "<ds:Object Encoding=\"http://www.w3.org/2000/09/xmldsig#base64\">YWJj<!-- -->ZGVm</ds:Object>"));
  EXPECT_EQ(objectC14N(split.root, &length), "abcdef");
}

// What is in scope above an element is part of its inclusive form where it
// stands (as every XMLDSig verifier forms it), and no part of its exclusive
// form; the element's own xml:lang wins over an ancestor's.
TEST(C14nFragments, InPlaceFormOfADeepElementLeavesTheTreeAsItWas) {
  // Siblings before and after the element at every level, and outside the root.
  Parsed p = Parse(
      "<!--przed--><r xmlns=\"urn:d\"><s0/><a xmlns:u=\"urn:u\"><s1>x</s1><b xml:lang=\"pl\"><s2/>"
      "<ds:Object " + std::string(kDs) + " Id=\"o\"><u:c>t</u:c></ds:Object><s3/></b><s4/></a><s5/></r><?pi x?>");
  ASSERT_NE(p.root, nullptr);
  xmlNode* object = p.root;
  for (int depth = 0; depth < 3; ++depth) object = xmlNextElementSibling(xmlFirstElementChild(object));
  ASSERT_TRUE(nameIs(object, "Object"));
  xmlChar* before = nullptr;
  int before_length = 0;
  xmlDocDumpMemory(p.doc.get(), &before, &before_length);
  const std::string declarations = std::string("xmlns=\"urn:d\" ") + kDs + " xmlns:u=\"urn:u\"";
  EXPECT_EQ(elementInPlaceC14N(object, kC14nMethodInclusive),
            "<ds:Object " + declarations + " Id=\"o\" xml:lang=\"pl\"><u:c>t</u:c></ds:Object>");
  EXPECT_EQ(elementInPlaceC14N(object, kC14nMethodExclusive),
            "<ds:Object " + std::string(kDs) + " Id=\"o\"><u:c xmlns:u=\"urn:u\">t</u:c></ds:Object>");
  xmlChar* after = nullptr;
  int after_length = 0;
  xmlDocDumpMemory(p.doc.get(), &after, &after_length);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(after), after_length),
            std::string(reinterpret_cast<char*>(before), before_length));
  xmlFree(before);
  xmlFree(after);
  // The whole document still reads as before: the root's form in place.
  EXPECT_EQ(elementInPlaceC14N(p.root, kC14nMethodInclusive), elementC14N(p.root, false));
}

TEST(C14nFragments, InPlaceFormsCarryWhatIsInScope) {
  Parsed p = Parse(
      "<r xmlns=\"urn:d\" xmlns:u=\"urn:u\" xml:lang=\"pl\" xml:space=\"preserve\">"
      "<ds:Object " + std::string(kDs) + " Id=\"a\">t</ds:Object>"
      "<ds:Object " + kDs + " Id=\"b\" xml:lang=\"de\">t</ds:Object></r>");
  ASSERT_NE(p.root, nullptr);
  xmlNode* a = xmlFirstElementChild(p.root);
  xmlNode* b = xmlNextElementSibling(a);
  const std::string declarations = std::string("xmlns=\"urn:d\" ") + kDs + " xmlns:u=\"urn:u\"";
  struct Case {
    const xmlNode* element;
    int method;
    std::string expected;
  } cases[] = {
      {a, kC14nMethodInclusive,
       "<ds:Object " + declarations + " Id=\"a\" xml:lang=\"pl\" xml:space=\"preserve\">t</ds:Object>"},
      {a, kC14nMethodWithComments,
       "<ds:Object " + declarations + " Id=\"a\" xml:lang=\"pl\" xml:space=\"preserve\">t</ds:Object>"},
      {b, kC14nMethodInclusive,
       "<ds:Object " + declarations + " Id=\"b\" xml:lang=\"de\" xml:space=\"preserve\">t</ds:Object>"},
      {a, kC14nMethodExclusive, "<ds:Object " + std::string(kDs) + " Id=\"a\">t</ds:Object>"},
  };
  for (const Case& c : cases) EXPECT_EQ(elementInPlaceC14N(c.element, c.method), c.expected) << c.method;
  // A root element has nothing above it: the same as the copy.
  EXPECT_EQ(elementInPlaceC14N(p.root, kC14nMethodInclusive), elementC14N(p.root, false));
  EXPECT_EQ(elementInPlaceC14N(nullptr, kC14nMethodInclusive), std::nullopt);
}

}  // namespace
}  // namespace vel::xades
