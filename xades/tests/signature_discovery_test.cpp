#include "xades/signature_discovery.h"

#include <gtest/gtest.h>

#include <string>

#include "xades/verification.h"

namespace vel::xades {
namespace {

constexpr const char* kDs = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* kXa = "http://uri.etsi.org/01903/v1.3.2#";

// A minimal signature with Id `id`, its Object `unsignedProps` inside
// UnsignedSignatureProperties.
std::string Sig(const std::string& id, const std::string& unsignedProps, bool keyInfo = true) {
  return "<ds:Signature Id=\"" + id + "\"><ds:SignedInfo><ds:Reference URI=\"#o" + id +
         "\"><ds:DigestMethod/><ds:DigestValue>AAAA</ds:DigestValue></ds:Reference><ds:Reference Type=\"" +
         kSignedPropertiesType + "\" URI=\"#sp" + id +
         "\"><ds:DigestMethod/><ds:DigestValue>AAAA</ds:DigestValue></ds:Reference></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue>" +
         (keyInfo ? "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>AQID</ds:X509Certificate></ds:X509Data></ds:KeyInfo>"
                  : "") +
         "<ds:Object Id=\"o" + id + "\"><xa:QualifyingProperties Target=\"#" + id + "\"><xa:SignedProperties Id=\"sp" +
         id + "\"/><xa:UnsignedProperties>"
         "<xa:UnsignedSignatureProperties>" + unsignedProps +
         "</xa:UnsignedSignatureProperties></xa:UnsignedProperties></xa:QualifyingProperties></ds:Object></ds:Signature>";
}

XmlDocPtr Doc(const std::string& body) {
  return xadesParseMemory("<r xmlns:ds=\"" + std::string(kDs) + "\" xmlns:xa=\"" + kXa + "\">" + body + "</r>");
}

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

TEST(SignatureDiscovery, FormsAreSearchedWithinEachSignature) {
  XmlDocPtr doc = Doc(Sig("a", "") + Sig("b", "<xa:CompleteCertificateRefs/><xa:ArchiveTimeStamp/>"));
  ASSERT_TRUE(doc);
  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  ASSERT_EQ(0, xadesLoadSignatures(ctx.get(), doc.get()));
  xadesLinkCounterSignatures(ctx.get());
  ASSERT_EQ(2, ctx->count);
  EXPECT_FALSE(ctx->forms[0].c);  // not the other signature's element
  EXPECT_TRUE(ctx->forms[1].c);
  EXPECT_EQ(0, highestFormOf(ctx->forms[0]));
  EXPECT_EQ(4, highestFormOf(ctx->forms[1]));
  EXPECT_EQ(0, xadesGetFormFlags(ctx.get(), doc.get(), 0));
  EXPECT_EQ(kFormC | kFormA, xadesGetFormFlags(ctx.get(), doc.get(), 1));
  EXPECT_EQ(-1, xadesGetFormFlags(ctx.get(), doc.get(), 2));
  EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), ctx->signatures[0]->certificateBytes);
  FormCheckEntry e = formCheckEntryOf(*ctx, 1);
  EXPECT_TRUE(e.hasC && e.hasA && !e.hasX && !e.hasXL);
  EXPECT_EQ(1, e.archiveTimeStampCount);
}

TEST(SignatureDiscovery, CounterSignaturesLinkAndForeignOnesAreSkipped) {
  XmlDocPtr doc = Doc(Sig("a", "<xa:CounterSignature>" + Sig("c", "") +
                                   "</xa:CounterSignature><xa:CounterSignature><f:Signature xmlns:f=\"urn:f\"/>"
                                   "</xa:CounterSignature><xa:CounterSignature/>"));
  ASSERT_TRUE(doc);
  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  ASSERT_EQ(0, xadesLoadSignatures(ctx.get(), doc.get()));
  EXPECT_EQ(0, xadesLinkCounterSignatures(ctx.get()));
  ASSERT_EQ(2, ctx->count);
  EXPECT_EQ(ctx->signatures[0].get(), ctx->signatures[1]->parent);
  EXPECT_EQ(ctx->signatures[1].get(), ctx->signatures[0]->firstCounterSignature);
  EXPECT_EQ(nullptr, ctx->signatures[1]->next);
  EXPECT_EQ(0, topSignatureIndex(ctx.get(), 0));
  EXPECT_EQ(-1, topSignatureIndex(ctx.get(), 1));
  EXPECT_EQ(1, counterSignatureIndex(ctx.get(), 0, 0));
  EXPECT_EQ(-1, counterSignatureIndex(ctx.get(), 0, 1));
}

TEST(SignatureDiscovery, LoadFailures) {
  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  EXPECT_EQ(-100, xadesLoadSignatures(nullptr, nullptr));
  XmlDocPtr none = Doc("<x/>");
  EXPECT_EQ(-2, xadesLoadSignatures(ctx.get(), none.get()));
  XmlDocPtr noKey = Doc(Sig("a", "<xa:CounterSignature>" + Sig("c", "", false) + "</xa:CounterSignature>"));
  EXPECT_EQ(-5, xadesLoadSignatures(ctx.get(), noKey.get()));
}

}  // namespace
}  // namespace vel::xades
