// Hostile XML on the program's road (signed source, signature tree, the
// verdicts of the signatures page, the content it would present): an entity
// bomb, deep nesting, an external entity naming a local file and a 100 MB
// Object. Each is refused or shown as not correct; nothing hangs and nothing
// is read from outside the document.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/message_catalog.h"
#include "app/signature_verifier.h"
#include "app/signed_source.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;

// A signature whose value is not real around `object_body`, after `doctype`.
std::string Document(const std::string& doctype, const std::string& object_body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype +
         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"S\"><ds:SignedInfo>"
         "<ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
         "<ds:SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>"
         "<ds:Reference URI=\"#O\"><ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
         "<ds:DigestValue>AAAAAAAAAAAAAAAAAAAAAAAAAAA=</ds:DigestValue></ds:Reference></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:Object/><ds:Object Id=\"O\">" +
         object_body + "</ds:Object></ds:Signature>";
}

TEST(XmlHostile, RefusedOrNeverCorrectAndNothingReadFromOutside) {
  vel::test::TempDir dir;
  setenv("VELDOC_REGISTRY_DIR", (dir.path() / "registry").c_str(), 1);
  setenv("VELDOC_STORE_DIR", (dir.path() / "stores").c_str(), 1);
  const std::filesystem::path secret = dir.path() / "secret.txt";
  constexpr char kSecret[] = "TAJNE-DANE-Z-DYSKU";
  vel::test::WriteFileText(secret, kSecret);

  std::string bomb = "<!DOCTYPE ds:Signature [<!ENTITY a0 \"hahahahahahahahahaha\">";
  for (int i = 1; i <= 10; ++i)
    bomb += "<!ENTITY a" + std::to_string(i) + " \"" + [&] {
      std::string r;
      for (int k = 0; k < 10; ++k) r += "&a" + std::to_string(i - 1) + ";";
      return r;
    }() + "\">";
  bomb += "]>";
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<g>";
  for (int i = 0; i < 100000; ++i) deep += "</g>";
  struct Case {
    const char* what;
    std::string xml;
  };
  const Case cases[] = {
      {"entity bomb", Document(bomb, "&a10;")},
      {"deep nesting", Document("", deep)},
      {"external entity naming a local file",
       Document("<!DOCTYPE ds:Signature [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]>", "&x;")},
      {"external entity in an attribute default",
       Document("<!DOCTYPE ds:Signature [<!ENTITY x SYSTEM \"" + secret.string() +
                    "\"><!ATTLIST ds:Object Encoding CDATA \"&x;\">]>",
                "tekst")},
      {"100 MB Object", Document("", std::string(100u << 20, 'A'))},
  };
  CMessageTable catalog(1045);
  CSignatureVerifier verifier(catalog, false, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes(c.xml.begin(), c.xml.end());
    SignedSource source(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr, 0, true);
    const SourceVerdict verdict = VerifySource(verifier, source);
    EXPECT_NE(verdict.worst, kClassCorrect);
    std::string shown = verdict.message;
    for (const SignatureTreeItem& item : verdict.items) shown += item.text + item.detail;
    uint32_t size = 0;
    const uint32_t status = source.GetContent(nullptr, &size);
    EXPECT_NE(status, 234u) << "unsigned content handed out";
    EXPECT_EQ(shown.find(kSecret), std::string::npos);
  }
}

}  // namespace
}  // namespace vel::app
