// The elements of the XAdES-C and X-L forms over a certification path, for
// tests: CompleteCertificateRefs and CompleteRevocationRefs from references
// the engine's builders render for the path, CertificateValues and
// RevocationValues holding the DER of certificates and CRLs made by openssl.
// Element names carry a prefix ("" under a default XAdES namespace,
// "xades:" inside a signed document); ds: must be declared where they go.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cryptolib/cert_path.h"
#include "xades/base64.h"
#include "xades/reference_compare.h"

namespace vel::xades::test {

inline constexpr char kSha1Uri[] = "http://www.w3.org/2000/09/xmldsig#sha1";

// The texts that go between the form elements' tags.
struct FormParts {
  std::string certRefs, crlRefs, certValues, crlValues;
  std::string sep;     // written between elements: indentation or nothing
  std::string prefix;  // of every XAdES element
};

inline std::string CertRefXml(const XadesCertRef& c, const std::string& alg, const std::string& digest,
                              const std::string& p = "") {
  return "<" + p + "Cert><" + p + "CertDigest><ds:DigestMethod Algorithm=\"" + alg + "\"/><ds:DigestValue>" +
         digest + "</ds:DigestValue></" + p + "CertDigest><" + p + "IssuerSerial><ds:X509IssuerName>" +
         *c.issuer + "</ds:X509IssuerName><ds:X509SerialNumber>" + *c.serial + "</ds:X509SerialNumber></" + p +
         "IssuerSerial></" + p + "Cert>";
}

inline std::string CrlRefXml(const XadesCrlRef& c, const std::string& digest, const std::string& alg = kSha1Uri,
                             const std::string& p = "") {
  return "<" + p + "CRLRef><" + p + "DigestAlgAndValue><ds:DigestMethod Algorithm=\"" + alg +
         "\"/><ds:DigestValue>" + digest + "</ds:DigestValue></" + p + "DigestAlgAndValue><" + p +
         "CRLIdentifier><" + p + "Issuer>" + *c.issuer + "</" + p + "Issuer><" + p + "IssueTime>" + *c.issueTime +
         "</" + p + "IssueTime>" + (c.number ? "<" + p + "Number>" + *c.number + "</" + p + "Number>" : "") +
         "</" + p + "CRLIdentifier></" + p + "CRLRef>";
}

inline std::string CertValueXml(const std::vector<uint8_t>& der, const std::string& p = "") {
  return "<" + p + "EncapsulatedX509Certificate>" + base64Encode(der) + "</" + p + "EncapsulatedX509Certificate>";
}
inline std::string CrlValueXml(const std::vector<uint8_t>& der, const std::string& p = "") {
  return "<" + p + "EncapsulatedCRLValue>" + base64Encode(der) + "</" + p + "EncapsulatedCRLValue>";
}

// References to every certificate and CRL of `chain`'s first simple chain,
// and the values given.
inline FormParts BuildFormParts(const crypto::CertChainContext& chain,
                                const std::vector<std::vector<uint8_t>>& certValues,
                                const std::vector<std::vector<uint8_t>>& crlValues, const std::string& sep = "",
                                const std::string& prefix = "") {
  FormParts f;
  f.sep = sep;
  f.prefix = prefix;
  XadesCertRefList certs;
  XadesCrlRefList crls;
  EXPECT_EQ(buildCertRefs(&certs, &chain), 0);
  EXPECT_EQ(buildCrlRefs(&crls, &chain), 0);
  for (const auto& c : certs) f.certRefs += CertRefXml(c, kSha1Uri, *c.digest, prefix);
  for (const auto& c : crls) f.crlRefs += CrlRefXml(c, *c.digest, kSha1Uri, prefix);
  for (const auto& der : certValues) f.certValues += sep + CertValueXml(der, prefix);
  for (const auto& der : crlValues) f.crlValues += sep + CrlValueXml(der, prefix);
  return f;
}

// CompleteCertificateRefs and CompleteRevocationRefs: the C form.
inline std::string CompleteRefsXml(const FormParts& f) {
  const std::string& s = f.sep;
  const std::string& p = f.prefix;
  return "<" + p + "CompleteCertificateRefs>" + s + "<" + p + "CertRefs>" + s + f.certRefs + s + "</" + p +
         "CertRefs>" + s + "</" + p + "CompleteCertificateRefs>" + s + "<" + p + "CompleteRevocationRefs>" + s +
         "<" + p + "CRLRefs>" + f.crlRefs + "</" + p + "CRLRefs></" + p + "CompleteRevocationRefs>";
}

// CertificateValues and RevocationValues: what X-L adds to C.
inline std::string ValuesXml(const FormParts& f) {
  const std::string& p = f.prefix;
  return "<" + p + "CertificateValues>" + f.certValues + f.sep + "</" + p + "CertificateValues><" + p +
         "RevocationValues><" + p + "CRLValues>" + f.crlValues + "</" + p + "CRLValues></" + p +
         "RevocationValues>";
}

// Inserts `xml` at the end of the document's (last) UnsignedSignatureProperties,
// each "P:" in it replaced by the prefix the document writes them with.
inline std::string InsertUnsignedProperty(const std::string& doc, const std::string& xml) {
  const size_t close = doc.rfind("UnsignedSignatureProperties>");
  const size_t open = doc.rfind("</", close);
  const std::string prefix = doc.substr(open + 2, close - open - 2);
  std::string element = xml;
  for (size_t at = 0; (at = element.find("P:", at)) != std::string::npos;) element.replace(at, 2, prefix);
  return doc.substr(0, open) + element + doc.substr(open);
}

}  // namespace vel::xades::test
