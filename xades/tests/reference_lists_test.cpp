#include "xades/reference_lists.h"

#include <gtest/gtest.h>

#include <string>

#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

const char* kNs = "xmlns=\"http://uri.etsi.org/01903/v1.3.2#\" xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";

std::string Cert(const std::string& digest, const std::string& issuer, const std::string& serial) {
  return "<Cert><CertDigest><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
         "<ds:DigestValue>" + digest + "</ds:DigestValue></CertDigest><IssuerSerial><ds:X509IssuerName>" +
         issuer + "</ds:X509IssuerName><ds:X509SerialNumber>" + serial +
         "</ds:X509SerialNumber></IssuerSerial></Cert>";
}

std::string CrlRef(const std::string& digest, const std::string& issuer, const std::string& number) {
  return "<CRLRef><DigestAlgAndValue><ds:DigestMethod Algorithm=\"x\"/><ds:DigestValue>" + digest +
         "</ds:DigestValue></DigestAlgAndValue><CRLIdentifier><Issuer>" + issuer +
         "</Issuer><IssueTime>2026-01-02T10:00:00+01:00</IssueTime>" +
         (number.empty() ? "" : "<Number>" + number + "</Number>") + "</CRLIdentifier></CRLRef>";
}

int ParseCerts(const std::string& refs, XadesCertRefList* list) {
  const std::string doc = std::string("<CompleteCertificateRefs ") + kNs + "><CertRefs>" + refs +
                          "</CertRefs></CompleteCertificateRefs>";
  XmlDocPtr parsed = xadesParseMemory(doc);
  EXPECT_TRUE(parsed);
  return parseCompleteCertificateRefsElement(xmlDocGetRootElement(parsed.get()), list);
}

TEST(ReferenceLists, CertificateReferencesInDocumentOrderIndentedOrNot) {
  for (const std::string sep : {"", "\n    "}) {
    XadesCertRefList list;
    ASSERT_EQ(ParseCerts(sep + Cert("AAA=", "CN=A", "1") + sep + Cert("BBB=", "CN=B", "2") + sep, &list), 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].digest, "AAA=");
    EXPECT_EQ(list[0].issuer, "CN=A");
    EXPECT_EQ(list[1].serial, "2");
    EXPECT_FALSE(list[1].value);
  }
}

TEST(ReferenceLists, MalformedCertificateReferencesGiveTheirCodes) {
  const struct {
    std::string refs;
    int code;
  } cases[] = {
      {"", kRefsNothingToRead},
      {"<Other/>", kRefBadEntry},
      {"<Cert/>", kRefBadEntry},
      {"text<Cert/>", kRefBadEntry},
      {"<Cer><CertDigest/></Cer>", kRefBadEntry},  // a shorter name is not Cert
      {"<Cert><IssuerSerial/></Cert>", kRefBadDigestPart},
      {"<Cert><CertDigest><ds:DigestValue>A</ds:DigestValue></CertDigest></Cert>", kRefBadIssuer},
      {"<Cert><CertDigest><ds:DigestMethod/><ds:DigestValue/></CertDigest></Cert>", kRefBadValueText},
      {"<Cert><CertDigest><ds:DigestMethod/><ds:DigestValue>A</ds:DigestValue></CertDigest></Cert>",
       kRefBadDigestPart},
      {"<Cert><CertDigest><ds:DigestMethod/><ds:DigestValue>A</ds:DigestValue></CertDigest><IssuerSerial>"
       "<ds:X509SerialNumber>1</ds:X509SerialNumber></IssuerSerial></Cert>",
       kRefBadIssuer},
      // An empty issuer (what earlier versions wrote) is read; the serial is missing.
      {"<Cert><CertDigest><ds:DigestMethod/><ds:DigestValue>A</ds:DigestValue></CertDigest><IssuerSerial>"
       "<ds:X509IssuerName></ds:X509IssuerName></IssuerSerial></Cert>",
       kRefBadValueText},
      {"<Cert><CertDigest><ds:DigestMethod/><ds:DigestValue>A</ds:DigestValue></CertDigest><IssuerSerial>"
       "<ds:X509IssuerName>CN=A</ds:X509IssuerName></IssuerSerial></Cert>",
       kRefBadValueText},
      {Cert("A", "CN=A", "1") + "<Cert/>", kRefBadEntry},
  };
  for (const auto& c : cases) {
    XadesCertRefList list;
    EXPECT_EQ(ParseCerts(c.refs, &list), c.code) << c.refs;
    ASSERT_EQ(list.size(), 1u);  // a failed parse leaves one blank reference
    EXPECT_FALSE(list[0].serial);
  }
}

TEST(ReferenceLists, CrlReferencesKeepAMissingNumberAbsent) {
  const std::string doc = std::string("<CompleteRevocationRefs ") + kNs + ">\n<CRLRefs>" +
                          CrlRef("AAA=", "CN=A", "7") + CrlRef("BBB=", "CN=B", "") +
                          "</CRLRefs></CompleteRevocationRefs>";
  XmlDocPtr parsed = xadesParseMemory(doc);
  XadesCrlRefList list;
  ASSERT_EQ(parseCompleteRevocationRefsElement(xmlDocGetRootElement(parsed.get()), &list), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].number, "7");
  EXPECT_EQ(list[0].issueTime, "2026-01-02T10:00:00+01:00");
  EXPECT_FALSE(list[1].number);
  EXPECT_EQ(list[1].issuer, "CN=B");
  // OCSP references only: nothing of the CRL kind to read.
  parsed = xadesParseMemory(std::string("<CompleteRevocationRefs ") + kNs +
                            "><OCSPRefs><OCSPRef/></OCSPRefs></CompleteRevocationRefs>");
  EXPECT_EQ(parseCompleteRevocationRefsElement(xmlDocGetRootElement(parsed.get()), &list), kRefBadEntry);
  EXPECT_EQ(parseCompleteRevocationRefsElement(nullptr, &list), kRefsNothingToRead);
  EXPECT_EQ(parseCompleteRevocationRefsElement(nullptr, nullptr), kRefsNothingToRead);
}

}  // namespace
}  // namespace vel::xades
