// Outside checks of a signed document: xmlsec1 verifies the signature,
// openssl verifies its SignatureValue over the SignedInfo canonicalised by
// xmllint, xadesjs verifies it as a XAdES peer, and xmllint and
// python3-xmlschema validate it against the XAdES and XMLDSig schemas.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/tests/test_pki.h"

namespace vel::xades::test {

using vel::test::CommandResult;
using vel::test::RunCommand;
using vel::test::ShellQuote;

inline std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

inline const std::filesystem::path& TestData() {
  static const std::filesystem::path dir =
      std::filesystem::path(VEL_SOURCE_DIR) / "xades/tests/data";
  return dir;
}

// The text from the start tag of `element` whose attributes hold `marker`
// to its end tag (the element must not contain one of its own name).
inline std::string ElementText(const std::string& doc, const std::string& element,
                               const std::string& marker) {
  const size_t at = doc.find(marker);
  if (at == std::string::npos) return {};
  const size_t start = doc.rfind("<" + element, at);
  const size_t end = doc.find("</" + element + ">", at);
  if (start == std::string::npos || end == std::string::npos) return {};
  return doc.substr(start, end + element.size() + 3 - start);
}

inline std::string WithDsDeclaration(std::string element) {
  const size_t space = element.find(' ');
  if (element.find("xmlns:ds=") == std::string::npos && space != std::string::npos)
    element.insert(space, " xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"");
  return element;
}

inline CommandResult XmlSecVerify(const std::filesystem::path& file, const std::string& id,
                                  const std::filesystem::path& ca_pem) {
  return RunCommand("xmlsec1 --verify --node-id " + id +
                    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature"
                    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Object"
                    " --id-attr:Id http://uri.etsi.org/01903/v1.3.2#:SignedProperties"
                    " --trusted-pem " +
                    Q(ca_pem) + " " + Q(file) + " 2>&1");
}

inline CommandResult XadesJsVerify(const std::filesystem::path& file, const std::string& id) {
  const auto node = std::filesystem::path(VEL_SOURCE_DIR) / "xades/tests/node";
  return RunCommand("NODE_PATH=" + Q(node / "node_modules") + " node " + Q(node / "verify.js") +
                    " " + Q(file) + " " + id + " 2>&1");
}

// The SignatureValue of signature `id` checked by openssl over the SignedInfo
// that xmllint canonicalises (inclusive, or exclusive).
inline CommandResult OpenSslVerifySignatureValue(const std::string& doc, const std::string& n,
                                                 const std::filesystem::path& cert_pem,
                                                 const std::filesystem::path& dir,
                                                 bool exclusive = false) {
  const std::string info =
      WithDsDeclaration(ElementText(doc, "ds:SignedInfo", "Id=\"SignedInfo-" + n + "\""));
  std::string value = ElementText(doc, "ds:SignatureValue", "Id=\"SignatureValue-" + n + "\"");
  value = value.substr(value.find('>') + 1);
  value = value.substr(0, value.find('<'));
  vel::test::WriteFileText(dir / "si.xml", info);
  vel::test::WriteFileText(dir / "sv.b64", value);
  const std::string c14n = exclusive ? "--exc-c14n" : "--c14n";
  return RunCommand("xmllint " + c14n + " " + Q(dir / "si.xml") + " > " + Q(dir / "si.c14n") +
                    " && openssl base64 -d -A -in " + Q(dir / "sv.b64") + " -out " +
                    Q(dir / "sv.bin") + " && openssl x509 -in " + Q(cert_pem) +
                    " -pubkey -noout > " + Q(dir / "pub.pem") + " && openssl dgst -sha1 -verify " +
                    Q(dir / "pub.pem") + " -signature " + Q(dir / "sv.bin") + " " +
                    Q(dir / "si.c14n") + " 2>&1");
}

// Signature `id` alone, validated by both schema checkers.
inline void ExpectSchemaValid(const std::string& doc, const std::string& id,
                              const std::filesystem::path& dir) {
  const std::string signature = ElementText(doc, "ds:Signature", "Id=\"" + id + "\"");
  ASSERT_FALSE(signature.empty());
  const auto file = dir / ("schema-" + id + ".xml");
  vel::test::WriteFileText(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + signature);
  const auto xsd = TestData() / "schemas/XAdES.xsd";
  CommandResult r =
      RunCommand("xmllint --noout --nonet --schema " + Q(xsd) + " " + Q(file) + " 2>&1");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  r = RunCommand(
      "/usr/bin/python3 -c 'import sys, xmlschema; "
      "xmlschema.XMLSchema(sys.argv[1]).validate(sys.argv[2])' " +
      Q(xsd) + " " + Q(file) + " 2>&1");
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

}  // namespace vel::xades::test
