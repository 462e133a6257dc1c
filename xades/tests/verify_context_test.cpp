#include "xades/verify_context.h"

#include <gtest/gtest.h>

#include <libxml/xmlschemas.h>

#include <string>

#include "platform/testing/test_support.h"
#include "xades/node_helpers.h"
#include "xades/verification.h"

namespace vel::xades {
namespace {

constexpr const char* kSignature =
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"s\"><ds:SignedInfo>"
    "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
    "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
    "<ds:Reference URI=\"#o\"><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
    "<ds:DigestValue>AAAA</ds:DigestValue></ds:Reference></ds:SignedInfo>"
    "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:KeyInfo><ds:X509Data><ds:X509IssuerSerial>"
    "<ds:X509IssuerName>CN=Test Root</ds:X509IssuerName><ds:X509SerialNumber>SERIAL</ds:X509SerialNumber>"
    "</ds:X509IssuerSerial></ds:X509Data></ds:KeyInfo></ds:Signature>";

std::string SignatureWithSerial(const std::string& serial) {
  std::string text = kSignature;
  text.replace(text.find("SERIAL"), 6, serial);
  return text;
}

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

TEST(VerifyContext, BuiltInSchemaCompilesOnceAndValidatesSignatures) {
  ContextPtr a(xadesVerifyContextLoadSchema(nullptr));
  ContextPtr b(xadesVerifyContextLoadSchema(nullptr));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->schema.get(), b->schema.get());            // compiled once
  EXPECT_NE(a->validation.get(), b->validation.get());    // a validation context each
  XmlDocPtr doc = xadesParseMemory(SignatureWithSerial("12"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(0, validateSignatureByCopy(a.get(), xmlDocGetRootElement(doc.get())));
  // An element the schema does not allow.
  XmlDocPtr bad = xadesParseMemory(std::string(kSignature).replace(std::string(kSignature).find("<ds:SignatureValue>"), 0, "<ds:Bogus/>"));
  ASSERT_TRUE(bad);
  EXPECT_NE(0, validateSignatureByCopy(a.get(), xmlDocGetRootElement(bad.get())));
}

TEST(VerifyContext, LongSerialsAreRewrittenOnEveryPath) {
  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  ASSERT_TRUE(ctx);
  const std::string long_serial(40, '7');
  for (const std::string& serial : {std::string("12"), long_serial, std::string("  +0042")}) {
    XmlDocPtr doc = xadesParseMemory(SignatureWithSerial(serial));
    ASSERT_TRUE(doc);
    EXPECT_EQ(0, validateSignatureByCopy(ctx.get(), xmlDocGetRootElement(doc.get()))) << serial;
  }
  for (const std::string& serial : {std::string("12a"), std::string("12 "), std::string("1\t")}) {
    XmlDocPtr doc = xadesParseMemory(SignatureWithSerial(serial));
    ASSERT_TRUE(doc);
    EXPECT_NE(0, validateSignatureByCopy(ctx.get(), xmlDocGetRootElement(doc.get()))) << serial;
  }
}

TEST(VerifyContext, DecimalIntegerTest) {
  struct Case { const char* text; int expected; } cases[] = {
      {"0", 0}, {"0012", 0}, {"-5", 0}, {"+5", 0}, {"  7", 0}, {"+", 0},
      {"", -1}, {nullptr, -1}, {"1 ", -1}, {"\t1", -1}, {"1a", -1}, {"--1", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, isDecimalInteger(c.text)) << (c.text ? c.text : "null");
}

TEST(VerifyContext, SchemaKeysAreExactAndNothingElseLoads) {
  EXPECT_TRUE(builtInSchemaFor("http://xades/xmldsig.xsd"));
  EXPECT_TRUE(builtInSchemaFor("http://xades/c14n.xsd"));
  EXPECT_TRUE(builtInSchemaFor("http://xades/xades.xsd"));
  EXPECT_FALSE(builtInSchemaFor("http://XADES/xmldsig.xsd"));
  EXPECT_FALSE(builtInSchemaFor("http://xades/c14n.xsd "));
  EXPECT_FALSE(builtInSchemaFor("in_memory_buffer"));

  // A schema importing a local file: the loader refuses it, so it does not compile.
  test::TempDir dir;
  test::WriteFileText(dir / "other.xsd",
                      "<schema xmlns=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:x\">"
                      "<element name=\"e\"/></schema>");
  const std::string importing =
      "<schema xmlns=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:y\" xmlns:x=\"urn:x\">"
      "<import namespace=\"urn:x\" schemaLocation=\"" + (dir / "other.xsd").string() + "\"/>"
      "<element name=\"f\"><complexType><sequence><element ref=\"x:e\"/></sequence></complexType></element>"
      "</schema>";
  EXPECT_EQ(nullptr, xadesVerifyContextCreate(importing.data(), importing.size()));
  // A schema importing one of the keys compiles from memory.
  const std::string keyed =
      "<schema xmlns=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"urn:y\""
      " xmlns:c=\"http://www.w3.org/2001/10/xml-exc-c14n#\">"
      "<import namespace=\"http://www.w3.org/2001/10/xml-exc-c14n#\" schemaLocation=\"http://xades/c14n.xsd\"/>"
      "<element name=\"f\"><complexType><sequence><element ref=\"c:InclusiveNamespaces\"/></sequence>"
      "</complexType></element></schema>";
  ContextPtr ctx(xadesVerifyContextCreate(keyed.data(), keyed.size()));
  EXPECT_TRUE(ctx);
}

TEST(VerifyContext, ReleaseKeepsOrFreesTheDocument) {
  EXPECT_EQ(0, xadesVerifyContextFree(nullptr));
  EXPECT_EQ(0, xadesVerifyContextFreeAll(nullptr));
  XmlDocPtr doc = xadesParseMemory(SignatureWithSerial("1"));
  XadesVerifyContext* ctx = xadesVerifyContextLoadSchema(nullptr);
  ASSERT_TRUE(ctx);
  ctx->document = doc.get();
  EXPECT_EQ(0, xadesVerifyContextFree(ctx));
  EXPECT_NE(nullptr, xmlDocGetRootElement(doc.get()));  // still usable
  ctx = xadesVerifyContextLoadSchema(nullptr);
  ctx->document = doc.release();
  EXPECT_EQ(0, xadesVerifyContextFreeAll(ctx));  // LSan would report the document otherwise
}

}  // namespace
}  // namespace vel::xades
