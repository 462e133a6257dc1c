#include "xades/property_tables.h"

#include <gtest/gtest.h>

#include <string>

#include "xades/node_helpers.h"

namespace vel::xades {
namespace {

constexpr char kOpen[] =
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
    "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Id=\"S\">";

struct Parsed {
  XmlDocPtr doc;
  XadesSignContext sig;
};

std::unique_ptr<Parsed> Parse(const std::string& body) {
  auto p = std::make_unique<Parsed>();
  p->doc = xadesParseMemory(std::string(kOpen) + body + "</ds:Signature>");
  EXPECT_TRUE(p->doc);
  p->sig.signature = xmlDocGetRootElement(p->doc.get());
  return p;
}

// The signature's qualifying properties, its SignedProperties bound to it by
// the typed Reference.
std::string Qualifying(const std::string& signedProps, const std::string& unsignedProps) {
  return "<ds:SignedInfo><ds:Reference Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#SP\"/>"
         "</ds:SignedInfo><ds:Object><xades:QualifyingProperties Target=\"#S\"><xades:SignedProperties Id=\"SP\">"
         "<xades:SignedSignatureProperties>" + signedProps + "</xades:SignedSignatureProperties></xades:SignedProperties>"
         "<xades:UnsignedProperties><xades:UnsignedSignatureProperties>" + unsignedProps +
         "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties></ds:Object>";
}

std::string Signed(const std::string& props) { return Qualifying(props, ""); }
std::string Unsigned(const std::string& props) { return Qualifying("", props); }

std::string Transform(const std::string& algorithm) {
  return "<ds:Transform Algorithm=\"" + algorithm + "\"/>";
}

TEST(PropertyTables, SignedInfoRows) {
  const std::string si =
      "<ds:SignedInfo><ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
      "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
      "<ds:Reference URI=\"#a\"><ds:Transforms>" + Transform("http://www.w3.org/TR/1999/REC-xslt-19991116") +
      "</ds:Transforms><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
      "<ds:DigestValue>QUFB</ds:DigestValue></ds:Reference>"
      "<ds:Reference URI=\"#b\"><ds:Transforms>" + Transform("urn:x-unknown") +
      "</ds:Transforms><ds:DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>"
      "<ds:DigestValue>QkJC</ds:DigestValue></ds:Reference></ds:SignedInfo><ds:SignatureValue>U1ZT</ds:SignatureValue>";
  auto p = Parse(si);
  SignatureInfoTablePtr t = getSignedInfoTable(p->sig);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->count(), 6);
  EXPECT_EQ(t->rows[0].nameId, 1000);
  EXPECT_EQ(t->rows[0].value, "RSA-SHA1");
  EXPECT_EQ(t->rows[0].data, "U1ZT");
  EXPECT_EQ(t->rows[1].valueId, 1007);
  EXPECT_EQ(t->rows[2].nameId, 1010);
  EXPECT_EQ(t->rows[2].name, "#a");
  EXPECT_EQ(t->rows[2].valueId, 1006);
  EXPECT_EQ(t->rows[3].value, "Algorytm nieznany");
  EXPECT_EQ(t->rows[4].name, "#a");
  EXPECT_EQ(t->rows[4].value, "SHA1");
  EXPECT_EQ(t->rows[4].data, "QUFB");
  EXPECT_EQ(t->rows[5].valueId, 1002);
  signatureInfoTableFree(std::move(t));

  // Forty transforms grow the table twice.
  std::string many;
  for (int i = 0; i < 40; ++i) many += Transform("urn:x");
  auto grown = Parse(
      "<ds:SignedInfo><ds:CanonicalizationMethod Algorithm=\"x\"/><ds:SignatureMethod Algorithm=\"y\"/>"
      "<ds:Reference URI=\"\"><ds:Transforms>" + many + "</ds:Transforms></ds:Reference></ds:SignedInfo>"
      "<ds:SignatureValue>AA==</ds:SignatureValue>");
  t = getSignedInfoTable(grown->sig);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->count(), 42);
  EXPECT_EQ(t->capacity, 50);
  EXPECT_EQ(t->rows[1].valueId, 1002);
  // Without a SignatureValue text: no table.
  EXPECT_FALSE(getSignedInfoTable(Parse("<ds:SignedInfo><ds:SignatureMethod/></ds:SignedInfo>")->sig));
}

TEST(PropertyTables, SignedPropertiesRowsWithLongSerialAndPolicyIdentifier) {
  const std::string serial(120, '7');
  auto p = Parse(Signed(
      "\n  <xades:SigningTime>2026-03-04T05:06:07Z</xades:SigningTime>\n  <xades:SigningCertificate><xades:Cert>"
      "<xades:CertDigest><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>\n"
      "<ds:DigestValue>RERE</ds:DigestValue></xades:CertDigest><xades:IssuerSerial>\n<ds:X509IssuerName>CN=Wystawca"
      "</ds:X509IssuerName>\n<ds:X509SerialNumber>" + serial + "</ds:X509SerialNumber></xades:IssuerSerial>"
      "</xades:Cert></xades:SigningCertificate>"
      "<xades:SignaturePolicyIdentifier><xades:SignaturePolicyId><xades:SigPolicyId>\n  "
      "<xades:Identifier>1.2.3.4</xades:Identifier></xades:SigPolicyId><xades:SigPolicyHash>"
      "<ds:DigestMethod Algorithm=\"urn:x\"/><ds:DigestValue>SEFTSA==</ds:DigestValue></xades:SigPolicyHash>"
      "</xades:SignaturePolicyId></xades:SignaturePolicyIdentifier>"
      "<xades:SignatureProductionPlace><xades:City>Gdańsk</xades:City></xades:SignatureProductionPlace>"));
  SignatureInfoTablePtr t = getSignedPropertiesTable(p->sig);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->count(), 7);
  EXPECT_EQ(t->rows[0].value, "2026-03-04 05:06:07 ");
  EXPECT_EQ(t->rows[0].type, kRowOwnsValue);
  EXPECT_EQ(t->rows[1].value, "SHA1");
  EXPECT_EQ(t->rows[1].data, "RERE");
  EXPECT_EQ(t->rows[2].data, "CN=Wystawca");
  EXPECT_EQ(t->rows[3].nameId, 1103);
  EXPECT_EQ(t->rows[3].value, serial);
  EXPECT_EQ(t->rows[4].name, "Miasto");
  EXPECT_EQ(t->rows[4].value, "Gdańsk");
  EXPECT_EQ(t->rows[5].name, "Id polityki podpisu");
  EXPECT_EQ(t->rows[5].value, "1.2.3.4");
  EXPECT_EQ(t->rows[6].value, "Nieznany");
  EXPECT_EQ(t->rows[6].data, "SEFTSA==");
}

TEST(PropertyTables, UnsignedRowsOfLongIndentedReferencesAndAForeignCounterSignature) {
  const std::string issuer = "CN=" + std::string(1500, 'W');
  std::string certs, crls;
  for (int i = 0; i < 30; ++i) {
    certs += "\n    <xades:Cert>\n<xades:CertDigest>\n<ds:DigestMethod/>\n<ds:DigestValue>D" + std::to_string(i) +
             "</ds:DigestValue></xades:CertDigest>\n<xades:IssuerSerial>\n<ds:X509IssuerName>" + issuer +
             "</ds:X509IssuerName>\n<ds:X509SerialNumber>" + std::to_string(i) +
             "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert>";
  }
  crls = "<xades:CRLRef>\n<xades:DigestAlgAndValue><ds:DigestMethod/><ds:DigestValue>C</ds:DigestValue>"
         "</xades:DigestAlgAndValue><xades:CRLIdentifier>\n<xades:Issuer>CN=Lista</xades:Issuer>"
         "<xades:IssueTime>2026-01-02T03:04:05+01:00</xades:IssueTime></xades:CRLIdentifier></xades:CRLRef>"
         "<xades:CRLRef/>";
  auto p = Parse(Unsigned(
      "<xades:CounterSignature><Signature xmlns=\"urn:x-other\"/></xades:CounterSignature>"
      "<xades:CompleteCertificateRefs><xades:CertRefs>" + certs + "</xades:CertRefs></xades:CompleteCertificateRefs>"
      "<xades:CompleteRevocationRefs><xades:CRLRefs>" + crls + "</xades:CRLRefs></xades:CompleteRevocationRefs>"
      "<xades:CertificateValues><xades:EncapsulatedX509Certificate>bm90IGEgY2VydA==</xades:EncapsulatedX509Certificate>"
      "</xades:CertificateValues>"));
  SignatureInfoTablePtr t = getUnsignedPropertiesTable(p->sig);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->count(), 4);
  EXPECT_EQ(t->rows[0].name, "Kontrasygnata");
  EXPECT_EQ(t->rows[0].value, "Pominięta: nieznany rodzaj podpisu");
  EXPECT_EQ(t->rows[0].data, "{urn:x-other}Signature");
  EXPECT_EQ(t->rows[1].name, "Referencje certyifikatów");
  EXPECT_EQ(t->rows[1].type, kRowOwnsData);
  const std::string first = "CERTYFIKAT\r\nWYSTAWCA:  " + issuer + "\r\nNUMER SERYJNY:  0\r\nSKRÓT:  D0\r\n\r\n";
  EXPECT_EQ(t->rows[1].data->substr(0, first.size()), first);
  EXPECT_EQ(t->rows[1].data->size(), 30 * first.size() + 20 * 2);  // serials and digests 10..29 are longer
  EXPECT_EQ(t->rows[2].data,
            "LISTA CRL\r\nWYSTAWCA:  CN=Lista\r\nCZAS WYSTAWIENIA:  2026-01-02 03:04:05+01:00\r\nSKRÓT:  C\r\n\r\n");
  EXPECT_EQ(t->rows[3].name, "Dane certyifikatu");
  EXPECT_FALSE(t->rows[3].value);  // not a certificate
}

TEST(PropertyTables, IsoTimeToText) {
  EXPECT_EQ(isoTimeToText("2026-01-02T03:04:05Z"), "2026-01-02 03:04:05Z");
  EXPECT_EQ(isoTimeToText("2026-01-02t03"), "2026-01-02 03");
  EXPECT_EQ(isoTimeToText("none"), "none");
  EXPECT_FALSE(isoTimeToText(std::nullopt));
  EXPECT_FALSE(crlIssuerFromBase64("!!"));
  EXPECT_FALSE(certSubjectFromBase64(""));
}

}  // namespace
}  // namespace vel::xades
