// The signed properties bound to a signature, and the signing certificate
// they name against the certificate that verifies the signature: the digest
// (by its own algorithm) and the serial decide; the issuer text is taken in
// the forms producers write.
#include "xades/signed_properties.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/tests/test_pki.h"
#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

using vel::test::MakeIdentity;
using vel::test::TestIdentity;

constexpr char kSha256Uri[] = "http://www.w3.org/2001/04/xmlenc#sha256";

std::string DigestOf(const TestIdentity& id, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(id.cert->der().data(), id.cert->der().size(), out, &length, md, nullptr);
  return base64Encode(std::span<const uint8_t>(out, length));
}

std::string Cert(const std::string& algorithm, const std::string& digest, const std::string& issuer,
                 const std::string& serial) {
  return "<xades:Cert><xades:CertDigest><ds:DigestMethod Algorithm=\"" + algorithm + "\"/><ds:DigestValue>" +
         digest + "</ds:DigestValue></xades:CertDigest><xades:IssuerSerial><ds:X509IssuerName>" + issuer +
         "</ds:X509IssuerName><ds:X509SerialNumber>" + serial +
         "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert>";
}

int Check(const std::string& certs, const TestIdentity& signer) {
  const std::string xml =
      "<xades:SignedProperties xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" "
      "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><xades:SignedSignatureProperties>" +
      (certs.empty() ? "" : "<xades:SigningCertificate>" + certs + "</xades:SigningCertificate>") +
      "</xades:SignedSignatureProperties></xades:SignedProperties>";
  XmlDocPtr doc = xadesParseMemory(xml);
  EXPECT_TRUE(doc);
  if (!doc) return -100;
  return checkSigningCertificate(xmlDocGetRootElement(doc.get()), signer.cert->der());
}

TEST(SigningCertificate, DigestAndSerialDecideTheIssuerTextIsTakenInItsUsualForms) {
  const TestIdentity ca = MakeIdentity("Urzad Testowy", nullptr, {0x01}, true, false);
  const TestIdentity signer = MakeIdentity("Jan Testowy", &ca, {0x01, 0x23}, false, false);  // serial 291
  const std::string sha1 = DigestOf(signer, EVP_sha1());
  const std::string full = "CN=Urzad Testowy,O=Vellorum Test,C=PL";
  const auto shortText = shortCertIssuerText(signer.cert.get());  // what earlier versions wrote
  ASSERT_TRUE(shortText);
  const struct {
    const char* what;
    std::string certs;
    int expected;
  } cases[] = {
      {"full RFC 2253 issuer", Cert(kSha1, sha1, full, "291"), kPropertiesBound},
      {"issuer in X.500 order with blanks", Cert(kSha1, sha1, "C=PL, O=Vellorum Test, CN=Urzad Testowy", "291"),
       kPropertiesBound},
      {"the engine's older short issuer text", Cert(kSha1, sha1, *shortText, "291"), kPropertiesBound},
      // Empty only where the older short text was empty (a CA named in UTF8String).
      {"empty issuer", Cert(kSha1, sha1, "", "291"), kSigningCertificateMismatch},
      {"serial with a sign and leading zeros", Cert(kSha1, sha1, full, " +000291"), kPropertiesBound},
      {"SHA-256 digest", Cert(kSha256Uri, DigestOf(signer, EVP_sha256()), full, "291"), kPropertiesBound},
      {"the CA's Cert before the signer's",
       Cert(kSha1, DigestOf(ca, EVP_sha1()), "", "1") + Cert(kSha1, sha1, full, "291"), kPropertiesBound},
      {"another issuer", Cert(kSha1, sha1, "CN=Inny Urzad,O=Vellorum Test,C=PL", "291"),
       kSigningCertificateMismatch},
      {"another serial", Cert(kSha1, sha1, full, "292"), kSigningCertificateMismatch},
      {"a serial that is no decimal", Cert(kSha1, sha1, full, "0x123"), kSigningCertificateMismatch},
      {"the CA's digest", Cert(kSha1, DigestOf(ca, EVP_sha1()), full, "291"), kSigningCertificateMismatch},
      {"a SHA-256 digest said to be SHA-1", Cert(kSha1, DigestOf(signer, EVP_sha256()), full, "291"),
       kSigningCertificateMismatch},
      {"no SigningCertificate", "", kSigningCertificateMismatch},
      {"a digest algorithm the engine does not know", Cert("urn:x-digest", sha1, full, "291"),
       kSigningCertificateUnsupported},
  };
  for (const auto& c : cases) EXPECT_EQ(Check(c.certs, signer), c.expected) << c.what;
}

// The properties bound to a signature: one typed Reference, one
// QualifyingProperties in the signature's own Objects, Target naming the
// signature, the Reference naming its SignedProperties.
TEST(BoundProperties, OnlyTheSignaturesOwnSignedProperties) {
  const std::string reference = "<ds:Reference Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#SP\"/>";
  const std::string properties =
      "<ds:Object><xades:QualifyingProperties Target=\"#S\"><xades:SignedProperties Id=\"SP\"/>"
      "</xades:QualifyingProperties></ds:Object>";
  const auto signature = [](const std::string& attributes, const std::string& body) {
    return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
           "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"" + attributes + ">" + body + "</ds:Signature>";
  };
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* what;
    std::string xml;
    bool bound;
  } cases[] = {
      {"bound", signature(" Id=\"S\"", "<ds:SignedInfo>" + reference + "</ds:SignedInfo>" + properties), true},
      {"signature without Id", signature("", "<ds:SignedInfo>" + reference + "</ds:SignedInfo>" + properties), false},
      {"no typed Reference", signature(" Id=\"S\"", "<ds:SignedInfo/>" + properties), false},
      {"two typed References",
       signature(" Id=\"S\"", "<ds:SignedInfo>" + reference + reference + "</ds:SignedInfo>" + properties), false},
      {"typed Reference in another namespace",
       signature(" Id=\"S\"", "<ds:SignedInfo>" + replaced(reference, "ds:Reference", "x:Reference xmlns:x=\"urn:x\"") +
                                  "</ds:SignedInfo>" + properties),
       false},
      {"two QualifyingProperties",
       signature(" Id=\"S\"", "<ds:SignedInfo>" + reference + "</ds:SignedInfo>" + properties +
                                  replaced(properties, "Id=\"SP\"", "Id=\"SP2\"")),
       false},
      {"Target naming another signature",
       signature(" Id=\"S\"", "<ds:SignedInfo>" + reference + "</ds:SignedInfo>" +
                                  replaced(properties, "Target=\"#S\"", "Target=\"#T\"")),
       false},
      {"Reference naming other properties",
       signature(" Id=\"S\"", "<ds:SignedInfo>" + replaced(reference, "#SP", "#SP2") + "</ds:SignedInfo>" + properties),
       false},
      {"SignedInfo not first",
       signature(" Id=\"S\"", "<ds:SignatureValue/><ds:SignedInfo>" + reference + "</ds:SignedInfo>" + properties),
       false},
  };
  for (const auto& c : cases) {
    XmlDocPtr doc = xadesParseMemory(c.xml);
    ASSERT_TRUE(doc) << c.what;
    const auto bound = boundProperties(xmlDocGetRootElement(doc.get()));
    EXPECT_EQ(bound.has_value(), c.bound) << c.what;
  }
}

}  // namespace
}  // namespace vel::xades
