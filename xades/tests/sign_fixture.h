// Documents to sign and a signer for the signing tests: a PKI of the platform
// tests (PKCS#12 keys bound in a temporary "My" store, PIN "1234" asked
// through a scripted callback) and helpers that run the two-call size rule.
#pragma once

#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/tests/test_pki.h"
#include "xades/node_helpers.h"
#include "xades/xades_sign.h"
#include "xades/xml_doc.h"

namespace vel::xades::test {

using Bytes = std::vector<uint8_t>;
using vel::test::TestIdentity;

// A document whose root is one signature: its first Object holds its
// qualifying properties, the next ones are the signed content.
inline std::string FirstSignature(const std::string& objects, const std::string& root_attrs = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"Signature-0\"" +
         root_attrs +
         "><ds:SignedInfo><ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:Object><xades:QualifyingProperties "
         "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Target=\"#Signature-0\"/></ds:Object>" +
         objects + "</ds:Signature>";
}

inline std::string ContentObject(const std::string& id, const std::string& body) {
  return "<ds:Object Id=\"" + id + "\">" + body + "</ds:Object>";
}

inline std::string DefaultDocument() {
  return FirstSignature(
      ContentObject("Object-1",
                    "<umowa xmlns=\"urn:example:umowa\"><strona>Firma Przykladowa "
                    "Sp. z o.o.</strona><kwota waluta=\"PLN\">1200.00</kwota>"
                    "<uwagi>zazolc gesla jazn &amp; &lt;koniec&gt;</uwagi></umowa>") +
      ContentObject("Object-2", "Tekst umowy"));
}

inline Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Signs as the program does: one call for the size, one to sign.
inline uint32_t SignTwice(const std::string& xml, const platform::CertContext* cert, Bytes* out) {
  const Bytes in = AsBytes(xml);
  uint32_t size = 0;
  uint32_t err =
      xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), cert, nullptr, &size);
  if (err != kSignMoreData) return err;
  out->assign(size, 0xEE);
  err = xadesAddSignature(in.data(), static_cast<uint32_t>(in.size()), cert, out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

// A signed default document whose template signature is given the
// certificate of the signature made on it, so that the document loads for
// verification and the signature made (number 1) can be checked.
inline std::string WithTemplateCertificate(const std::string& signed_doc) {
  const auto from = signed_doc.find("<ds:X509Data>");
  const auto to = signed_doc.find("</ds:X509Data>", from);
  const std::string anchor = "<ds:SignatureValue>AAAA</ds:SignatureValue>";
  const auto at = signed_doc.find(anchor);
  EXPECT_TRUE(from != std::string::npos && to != std::string::npos && at != std::string::npos);
  if (from == std::string::npos || to == std::string::npos || at == std::string::npos) return signed_doc;
  std::string out = signed_doc;
  out.insert(at + anchor.size(),
             "<ds:KeyInfo>" + signed_doc.substr(from, to + 14 - from) + "</ds:KeyInfo>");
  return out;
}

// The signature element with this Id in a parsed document.
inline xmlNode* ElementWithId(xmlDoc* doc, const std::string& id) {
  auto ctx = xadesNewXPathContext(doc);
  auto r = xadesEval(ctx.get(), ("//*[@Id='" + id + "']").c_str());
  const auto nodes = nodesOf(r.get());
  return nodes.size() == 1 ? nodes[0] : nullptr;
}

inline std::vector<std::string> Texts(xmlDoc* doc, const std::string& xpath) {
  auto ctx = xadesNewXPathContext(doc);
  auto r = xadesEval(ctx.get(), xpath.c_str());
  std::vector<std::string> out;
  for (xmlNode* n : nodesOf(r.get())) {
    XmlCharPtr t(xmlNodeGetContent(n));
    out.emplace_back(t ? reinterpret_cast<const char*>(t.get()) : "");
  }
  return out;
}

}  // namespace vel::xades::test
