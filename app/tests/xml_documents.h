// XML documents with XAdES signatures made by outside producers, for the
// program's XML road: XAdES-BES signatures signed by `xmlsec1 --sign` (one,
// two parallel, a counter-signature of the first's SignatureValue placed in
// its unsigned properties) and by xadesjs, each enveloping its own content
// Object, over the keys of a test PKI whose root the test puts in the store.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/tests/test_pki.h"
#include "xades/tests/xades_peer_fixture.h"

namespace vel::app::xmltest {

using vel::test::RunCommand;
using vel::xades::test::Q;
namespace fs = std::filesystem;

inline constexpr char kDsNs[] = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr char kXadesNs[] = "http://uri.etsi.org/01903/v1.3.2#";
// What every signature's content Object holds: the bytes the program must
// hand out as the signed content.
inline constexpr char kContent[] = "Umowa dostawy nr 7/2026, kwota 1200.00 PLN.";

// The files and the SigningCertificate values of one signer.
struct XmlSigner {
  fs::path key_pem, cert_pem, key_pk8, cert_der;
  std::string issuer, serial, cert_digest;
};

inline std::string Run(const std::string& command) {
  const auto r = RunCommand(command + " 2>&1");
  EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output;
  std::string out = r.output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The signer's files in `dir`, named after `name`.
inline XmlSigner WriteSigner(X509* cert, EVP_PKEY* key, const fs::path& dir, const std::string& name) {
  XmlSigner s;
  s.key_pem = dir / (name + ".key.pem");
  s.cert_pem = dir / (name + ".pem");
  vel::test::WriteFileText(s.key_pem, vel::test::KeyPem(key));
  vel::test::WriteFileText(s.cert_pem, vel::test::CertPem(cert));
  s.key_pk8 = dir / (name + ".pk8");
  s.cert_der = dir / (name + ".der");
  Run("openssl pkcs8 -topk8 -nocrypt -in " + Q(s.key_pem) + " -outform DER -out " + Q(s.key_pk8));
  Run("openssl x509 -in " + Q(s.cert_pem) + " -outform DER -out " + Q(s.cert_der));
  s.issuer = Run("openssl x509 -in " + Q(s.cert_pem) + " -noout -issuer -nameopt RFC2253");
  s.issuer = s.issuer.substr(s.issuer.find('=') + 1);
  const std::string hex = Run("openssl x509 -in " + Q(s.cert_pem) + " -noout -serial");
  s.serial = Run("python3 -c 'print(int(\"" + hex.substr(hex.find('=') + 1) + "\", 16))'");
  s.cert_digest = Run("openssl dgst -sha1 -binary " + Q(s.cert_der) + " | openssl base64 -A");
  return s;
}

inline std::string ContentObject(const std::string& signature_id) {
  return "<ds:Object Id=\"Object-" + signature_id + "\">" + kContent + "</ds:Object>";
}

// A XAdES-BES template for xmlsec1: references to its SignedProperties and
// to `uris`, then its qualifying properties and `objects`.
inline std::string XadesTemplate(const XmlSigner& s, const std::string& id,
                                 const std::vector<std::string>& uris, const std::string& objects) {
  const std::string sha1 = std::string(kDsNs) + "sha1";
  auto reference = [&](const std::string& uri, const std::string& type) {
    return "<ds:Reference URI=\"" + uri + "\"" + (type.empty() ? "" : " Type=\"" + type + "\"") +
           "><ds:DigestMethod Algorithm=\"" + sha1 + "\"/><ds:DigestValue></ds:DigestValue></ds:Reference>";
  };
  std::string t = "<ds:Signature xmlns:ds=\"" + std::string(kDsNs) + "\" Id=\"" + id +
                  "\"><ds:SignedInfo><ds:CanonicalizationMethod "
                  "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
                  "Algorithm=\"" + std::string(kDsNs) + "rsa-sha1\"/>" +
                  reference("#SignedProperties-" + id, "http://uri.etsi.org/01903#SignedProperties");
  for (const std::string& uri : uris)
    t += reference(uri, uri.starts_with("#SignatureValue-")
                            ? "http://uri.etsi.org/01903#CountersignedSignature"
                            : "");
  t += "</ds:SignedInfo><ds:SignatureValue Id=\"SignatureValue-" + id +
       "\"></ds:SignatureValue><ds:KeyInfo><ds:X509Data></ds:X509Data></ds:KeyInfo>"
       "<ds:Object><xades:QualifyingProperties xmlns:xades=\"" + std::string(kXadesNs) + "\" Target=\"#" + id +
       "\"><xades:SignedProperties Id=\"SignedProperties-" + id +
       "\"><xades:SignedSignatureProperties><xades:SigningTime>2026-12-01T10:00:00Z</xades:SigningTime>"
       "<xades:SigningCertificate><xades:Cert><xades:CertDigest><ds:DigestMethod Algorithm=\"" + sha1 +
       "\"/><ds:DigestValue>" + s.cert_digest + "</ds:DigestValue></xades:CertDigest><xades:IssuerSerial>"
       "<ds:X509IssuerName>" + s.issuer + "</ds:X509IssuerName><ds:X509SerialNumber>" + s.serial +
       "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert></xades:SigningCertificate>"
       "</xades:SignedSignatureProperties></xades:SignedProperties></xades:QualifyingProperties></ds:Object>" +
       objects + "</ds:Signature>";
  return t;
}

inline std::string IdAttributes() {
  return " --id-attr:Id " + std::string(kDsNs) + ":Signature --id-attr:Id " + kDsNs +
         ":Object --id-attr:Id " + kDsNs + ":SignatureValue --id-attr:Id " + kXadesNs + ":SignedProperties";
}

// `xmlsec1 --sign` of the template with Id `id` inside `document`.
inline std::string XmlSecSign(const XmlSigner& s, const std::string& document, const std::string& id,
                              const fs::path& dir) {
  const fs::path in = dir / (id + ".tmpl.xml"), out = dir / (id + ".xml");
  vel::test::WriteFileText(in, document);
  Run("xmlsec1 --sign" + IdAttributes() + " --node-id " + id + " --privkey-pem " + Q(s.key_pem) + "," +
      Q(s.cert_pem) + " --output " + Q(out) + " " + Q(in));
  return vel::test::ReadFileText(out);
}

// `xmlsec1 --verify` of signature `id` in `document` under the trust anchor.
inline vel::test::CommandResult XmlSecVerify(const std::string& document, const std::string& id,
                                             const fs::path& ca_pem, const fs::path& dir) {
  const fs::path file = dir / "xmlsec-verify.xml";
  vel::test::WriteFileText(file, document);
  return RunCommand("xmlsec1 --verify" + IdAttributes() + " --node-id " + id + " --trusted-pem " + Q(ca_pem) +
                    " " + Q(file) + " 2>&1");
}

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// One signature by xmlsec1, enveloping its content.
inline std::string OneSignature(const XmlSigner& s, const fs::path& dir, const std::string& id = "Sig-A") {
  return XmlSecSign(s, kDeclaration + XadesTemplate(s, id, {"#Object-" + id}, ContentObject(id)), id, dir);
}

// Two signatures side by side under one root over the same content, which
// the first one carries.
inline std::string TwoParallel(const XmlSigner& a, const XmlSigner& b, const fs::path& dir) {
  std::string doc = std::string(kDeclaration) + "<Podpisy>" +
                    XadesTemplate(a, "Sig-A", {"#Object-Sig-A"}, ContentObject("Sig-A")) +
                    XadesTemplate(b, "Sig-B", {"#Object-Sig-A"}, "") + "</Podpisy>";
  doc = XmlSecSign(a, doc, "Sig-A", dir);
  return XmlSecSign(b, doc, "Sig-B", dir);
}

// One signature whose SignatureValue `b` counter-signs, in its unsigned
// signature properties.
inline std::string CounterSigned(const XmlSigner& a, const XmlSigner& b, const fs::path& dir) {
  std::string doc = OneSignature(a, dir);
  const std::string close = "</xades:QualifyingProperties>";
  const size_t at = doc.find(close);
  EXPECT_NE(at, std::string::npos);
  doc.insert(at, "<xades:UnsignedProperties><xades:UnsignedSignatureProperties><xades:CounterSignature>" +
                     XadesTemplate(b, "Sig-CS", {"#SignatureValue-Sig-A"}, "") +
                     "</xades:CounterSignature></xades:UnsignedSignatureProperties></xades:UnsignedProperties>");
  return XmlSecSign(b, doc, "Sig-CS", dir);
}

// One signature by xadesjs (inclusive canonicalisation, SHA-1).
inline std::string XadesJsSignature(const XmlSigner& s, const fs::path& dir, const std::string& id = "Sig-JS") {
  const fs::path node = fs::path(VEL_SOURCE_DIR) / "xades/tests/node";
  const fs::path content = dir / (id + ".content.xml"), out = dir / (id + ".xml");
  vel::test::WriteFileText(content, "<c xmlns:ds=\"" + std::string(kDsNs) + "\">" + ContentObject(id) + "</c>");
  Run("NODE_PATH=" + Q(node / "node_modules") + " node " + Q(node / "sign.js") + " " + Q(s.key_pk8) + " " +
      Q(s.cert_der) + " " + Q(content) + " " + Q(out) + " " + id + " SHA-1");
  return vel::test::ReadFileText(out);
}

// The text with its first `from` replaced by `to`.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Puts a certificate into one of the current user's stores.
inline void AddToStore(const char* store_name, const platform::CertPtr& cert) {
  std::unique_ptr<platform::CertStore> store;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, store_name, &store), 0u);
  ASSERT_EQ(store->AddCertificate(cert, platform::AddDisposition::kUseExisting), 0u);
}

}  // namespace vel::app::xmltest
