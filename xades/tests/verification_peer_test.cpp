// The engine's verdicts on documents of outside producers and on our own:
// xadesjs (tests/node/sign.js) and `xmlsec1 --sign` on a XAdES template sign
// with a key made by openssl, good copies must verify on every path, and each
// verdict, good or tampered, must equal `xmlsec1 --verify`'s and xadesjs's.
// The schema checks of the signatures must agree with xmllint and
// python3-xmlschema; a 30-digit serial number, which libxml2 cannot hold as
// an integer, is accepted by the engine on every path.
#include "xades/verification.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "xades/node_helpers.h"
#include "xades/property_tables.h"
#include "xades/tests/sign_fixture.h"
#include "xades/tests/xades_peer_fixture.h"
#include "xades/xml_signed_document.h"

namespace vel::xades {
namespace {

using test::AsText;
using test::Bytes;
using test::Q;
using vel::test::RunCommand;

constexpr char kLongSerial[] = "123456789012345678901234567890";
constexpr char kXmlDsigNs[] = "http://www.w3.org/2000/09/xmldsig#";
constexpr char kXadesNs[] = "http://uri.etsi.org/01903/v1.3.2#";
constexpr char kIdAttrs[] =
    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature"
    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Object"
    " --id-attr:Id http://uri.etsi.org/01903/v1.3.2#:SignedProperties";

// The signed content of the foreign documents, as the Objects of our own
// default document hold it.
constexpr char kContentObjects[] =
    "<ds:Object Id=\"Object-1\"><umowa xmlns=\"urn:example:umowa\"><strona>Firma Obca"
    "</strona><kwota waluta=\"PLN\">1200.00</kwota></umowa></ds:Object>"
    "<ds:Object Id=\"Object-2\">Tekst umowy</ds:Object>";

struct ContextDeleter {
  void operator()(XadesVerifyContext* c) const { xadesVerifyContextFree(c); }
};
using ContextPtr = std::unique_ptr<XadesVerifyContext, ContextDeleter>;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The text of every element `open` ... `close` replaced.
std::string ReplacedBetween(std::string text, const std::string& open, const std::string& close,
                            const std::string& by) {
  size_t from = text.find(open);
  EXPECT_NE(from, std::string::npos) << open;
  for (; from != std::string::npos; from = text.find(open, from + 1)) {
    const size_t to = text.find(close, from);
    if (to == std::string::npos) break;
    text.replace(from + open.size(), to - from - open.size(), by);
  }
  return text;
}

// The text from `open` to the end of `close`, removed.
std::string Removed(std::string text, const std::string& open, const std::string& close) {
  const size_t from = text.find(open);
  const size_t to = from == std::string::npos ? from : text.find(close, from);
  EXPECT_NE(to, std::string::npos) << open;
  if (to != std::string::npos) text.erase(from, to + close.size() - from);
  return text;
}

// One character of the first (or last) element `open` changed, `offset`
// into its text: a digit stays a digit, a base64 letter a base64 letter.
std::string Flipped(std::string text, const std::string& open, size_t offset, bool last = false) {
  size_t at = last ? text.rfind(open) : text.find(open);
  EXPECT_NE(at, std::string::npos) << open;
  if (at == std::string::npos) return text;
  char& c = text[text.find('>', at) + 1 + offset];
  if (c >= '0' && c <= '9')
    c = c == '1' ? '2' : '1';
  else
    c = c == 'A' ? 'B' : 'A';
  return text;
}

// An attribute added to the root element's start tag.
std::string OnRoot(std::string text, const std::string& attribute) {
  size_t at = text.find('<');
  while (at != std::string::npos && text[at + 1] == '?') at = text.find('<', at + 1);
  at = at == std::string::npos ? at : text.find_first_of(" >", at);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.insert(at, attribute);
  return text;
}

// An element cut out of a document as a document of its own, with the
// declarations of the two prefixes it may use.
std::string StandAlone(const std::string& doc, const std::string& element, const std::string& marker) {
  std::string text = test::WithDsDeclaration(test::ElementText(doc, element, marker));
  EXPECT_FALSE(text.empty()) << element;
  if (text.find("xmlns:xades=") == std::string::npos)
    text.insert(text.find(' '), std::string(" xmlns:xades=\"") + kXadesNs + "\"");
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + text;
}

// A signed document and the signature in it the checks look at.
struct Fixture {
  std::string name;
  std::string xml;
  std::string id;         // Id of the signature
  int index = 0;          // its number among the top-level signatures
  bool whole = true;      // every signature in it is real: the whole-document check applies
  std::filesystem::path ca;  // trust anchor for xmlsec1
};

class VerificationPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"xmlsec1", "xmllint", "node", "openssl"})
      ASSERT_TRUE(vel::test::HaveTool(tool)) << tool << ": run scripts/deps.sh";
    pki_ = std::make_unique<vel::test::TestPki>();
    MakeForeignSigner();
    vel::test::ScriptedPin pin;
    pin.Install();
    Bytes own;
    ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &own), 0u);
    fixtures_.push_back({"own signing", test::WithTemplateCertificate(AsText(own)), "Signature-1", 1,
                         false, Dir() / "ca.pem"});
    // Declarations on the first signature are in scope of the content it holds.
    const std::string declared = test::FirstSignature(
        test::ContentObject("Object-1", "<umowa xmlns=\"urn:example:umowa\"><kwota>1200.00</kwota></umowa>"),
        std::string(" xmlns:xades=\"") + kXadesNs + "\" xmlns:obcy=\"urn:example:obcy\"");
    ASSERT_EQ(test::SignTwice(declared, pki_->signer.cert.get(), &own), 0u);
    fixtures_.push_back({"own signing, declarations on the first signature",
                         test::WithTemplateCertificate(AsText(own)), "Signature-1", 1, false,
                         Dir() / "ca.pem"});
    fixtures_.push_back(XadesJs("SHA-256"));
    fixtures_.push_back(XadesJs("SHA-1"));
    fixtures_.push_back(XadesJs("SHA-512"));
    fixtures_.push_back(XmlSec("xmlsec1 indented", kC14nInclusive, "rsa-sha256", "sha256", true));
    fixtures_.push_back(XmlSec("xmlsec1 compact", kC14nInclusive, "rsa-sha1", "sha1", false));
    fixtures_.push_back(XmlSec("xmlsec1 with comments", kC14nWithComments, "rsa-sha384", "sha384", true));
    // Declarations on the signature are in scope of everything signed in it.
    fixtures_.push_back(XmlSec("xmlsec1 declarations on the signature", kC14nInclusive, "rsa-sha256",
                               "sha256", false,
                               " xmlns:xades=\"" + std::string(kXadesNs) + "\" xmlns:obcy=\"urn:example:obcy\""));
    // xmlsec1 wraps the SHA-512 digests over two lines. (The exclusive
    // identifier of the recommendation is unsupported: the engine knows only
    // the draft's.)
    fixtures_.push_back(XmlSec("xmlsec1 wrapped digests", kC14nInclusive, "rsa-sha512", "sha512", false));
  }
  static void TearDownTestSuite() {
    fixtures_.clear();
    pki_.reset();
  }

  static std::filesystem::path Dir() { return pki_->dir.path(); }
  static std::filesystem::path Foreign() { return Dir() / "foreign"; }

  // An outside CA and signer made by the openssl tool, the signer's serial
  // number 30 digits long.
  static void MakeForeignSigner() {
    const auto d = Foreign();
    std::filesystem::create_directories(d);
    for (const std::string& command : {
             "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Q(d / "ca.key") + " -out " +
                 Q(d / "ca.pem") + " -subj '/CN=Urzad Testowy Alfa/O=Alfa Certyfikaty' -days 30",
             "openssl req -newkey rsa:2048 -nodes -keyout " + Q(d / "signer.key") + " -out " +
                 Q(d / "signer.csr") + " -subj '/CN=Celina Obca/O=Obca Firma'",
             "openssl x509 -req -in " + Q(d / "signer.csr") + " -CA " + Q(d / "ca.pem") +
                 " -CAkey " + Q(d / "ca.key") + " -set_serial " + kLongSerial + " -days 30 -out " +
                 Q(d / "signer.pem"),
             "openssl pkcs8 -topk8 -nocrypt -in " + Q(d / "signer.key") + " -outform DER -out " +
                 Q(d / "signer.pk8"),
             "openssl x509 -in " + Q(d / "signer.pem") + " -outform DER -out " + Q(d / "signer.der"),
             // A second certificate over the signer's own key, to another name.
             "openssl req -new -key " + Q(d / "signer.key") + " -out " + Q(d / "other.csr") +
                 " -subj '/CN=Inna Osoba/O=Obca Firma'",
             "openssl x509 -req -in " + Q(d / "other.csr") + " -CA " + Q(d / "ca.pem") + " -CAkey " +
                 Q(d / "ca.key") + " -set_serial 77 -days 30 -out " + Q(d / "other.pem")}) {
      const auto r = RunCommand(command + " 2>&1");
      ASSERT_EQ(r.exit_code, 0) << command << "\n" << r.output;
    }
  }

  static Fixture XadesJs(const std::string& hash) {
    const auto d = Foreign();
    const auto node = std::filesystem::path(VEL_SOURCE_DIR) / "xades/tests/node";
    const std::string id = "Signature-js-" + hash;
    vel::test::WriteFileText(d / "content.xml", std::string("<c xmlns:ds=\"") + kXmlDsigNs + "\">" +
                                                    kContentObjects + "</c>");
    const auto out = d / (id + ".xml");
    const auto r = RunCommand("NODE_PATH=" + Q(node / "node_modules") + " node " +
                              Q(node / "sign.js") + " " + Q(d / "signer.pk8") + " " +
                              Q(d / "signer.der") + " " + Q(d / "content.xml") + " " + Q(out) + " " +
                              id + " " + hash + " 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return {"xadesjs " + hash, vel::test::ReadFileText(out), id, 0, true, d / "ca.pem"};
  }

  // A XAdES-BES template signed by xmlsec1: the qualifying properties in the
  // first Object, the content in the next ones.
  static Fixture XmlSec(const std::string& name, const std::string& c14n, const std::string& method,
                        const std::string& digest, bool indented,
                        const std::string& root_declarations = "") {
    const std::string id = "Signature-xs-" + digest + (indented ? "-i" : "");
    const std::string t = XmlSecTemplate(id, c14n, method, digest, indented, root_declarations);
    return {name, XmlSecSign(t, id, Foreign() / "signer.pem"), id, 0, true, Foreign() / "ca.pem"};
  }

  static std::string XmlSecTemplate(const std::string& id, const std::string& c14n, const std::string& method,
                                    const std::string& digest, bool indented,
                                    const std::string& root_declarations = "") {
    const auto d = Foreign();
    const std::string digest_uri = digest == "sha1"     ? std::string(kXmlDsigNs) + "sha1"
                                   : digest == "sha384" ? "http://www.w3.org/2001/04/xmldsig-more#sha384"
                                                        : "http://www.w3.org/2001/04/xmlenc#" + digest;
    const std::string method_uri = method == "rsa-sha1"
                                       ? std::string(kXmlDsigNs) + method
                                       : "http://www.w3.org/2001/04/xmldsig-more#" + method;
    const auto cert_digest = RunCommand("openssl dgst -" + digest + " -binary " +
                                        Q(d / "signer.der") + " | openssl base64 -A");
    int depth = 0;
    std::string t = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    // One line of the template; a leading "</" closes, a trailing "/>" or
    // an element closed on its line keeps the depth.
    auto line = [&](const std::string& text) {
      const bool closes = text.starts_with("</");
      const bool opens = !closes && !text.ends_with("/>") && text.find("</") == std::string::npos;
      if (closes) --depth;
      if (indented) t += "\n" + std::string(2 * depth, ' ');
      t += text;
      if (opens) ++depth;
    };
    line("<ds:Signature xmlns:ds=\"" + std::string(kXmlDsigNs) + "\"" + root_declarations + " Id=\"" +
         id + "\">");
    line("<ds:SignedInfo>");
    line("<ds:CanonicalizationMethod Algorithm=\"" + c14n + "\"/>");
    line("<ds:SignatureMethod Algorithm=\"" + method_uri + "\"/>");
    for (const std::string& uri : {"#SignedProperties-" + id, std::string("#Object-1"),
                                   std::string("#Object-2")}) {
      line("<ds:Reference URI=\"" + uri + "\"" +
           (uri[1] == 'S' ? " Type=\"http://uri.etsi.org/01903#SignedProperties\"" : "") + ">");
      line("<ds:DigestMethod Algorithm=\"" + digest_uri + "\"/>");
      line("<ds:DigestValue></ds:DigestValue>");
      line("</ds:Reference>");
    }
    line("</ds:SignedInfo>");
    line("<ds:SignatureValue></ds:SignatureValue>");
    line("<ds:KeyInfo>");
    line("<ds:X509Data></ds:X509Data>");
    line("</ds:KeyInfo>");
    line("<ds:Object>");
    line("<xades:QualifyingProperties xmlns:xades=\"" + std::string(kXadesNs) + "\" Target=\"#" + id +
         "\">");
    line("<xades:SignedProperties Id=\"SignedProperties-" + id + "\">");
    line("<xades:SignedSignatureProperties>");
    line("<xades:SigningTime>2026-12-01T10:00:00Z</xades:SigningTime>");
    line("<xades:SigningCertificate>");
    line("<xades:Cert>");
    line("<xades:CertDigest>");
    line("<ds:DigestMethod Algorithm=\"" + digest_uri + "\"/>");
    line("<ds:DigestValue>" + cert_digest.output + "</ds:DigestValue>");
    line("</xades:CertDigest>");
    line("<xades:IssuerSerial>");
    line("<ds:X509IssuerName>CN=Urzad Testowy Alfa,O=Alfa Certyfikaty</ds:X509IssuerName>");
    line("<ds:X509SerialNumber>" + std::string(kLongSerial) + "</ds:X509SerialNumber>");
    line("</xades:IssuerSerial>");
    line("</xades:Cert>");
    line("</xades:SigningCertificate>");
    line("</xades:SignedSignatureProperties>");
    line("</xades:SignedProperties>");
    line("</xades:QualifyingProperties>");
    line("</ds:Object>");
    line(kContentObjects);
    line("</ds:Signature>");
    return t + "\n";
  }

  // The template signed by xmlsec1 with the foreign signer's key, `cert`
  // (PEM) in KeyInfo; `name` names its files.
  static std::string XmlSecSign(const std::string& t, const std::string& name, const std::filesystem::path& cert) {
    const auto d = Foreign();
    const auto in = d / (name + ".tmpl.xml");
    const auto out = d / (name + ".xml");
    vel::test::WriteFileText(in, t);
    const auto r = RunCommand("xmlsec1 --sign" + std::string(kIdAttrs) + " --privkey-pem " +
                              Q(d / "signer.key") + "," + Q(cert) + " --output " + Q(out) + " " + Q(in) + " 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return vel::test::ReadFileText(out);
  }

  // The engine's result on each path that reaches the signature.
  struct Verdicts {
    std::vector<std::pair<std::string, uint32_t>> paths;
    bool AllOk() const {
      for (const auto& [path, rc] : paths)
        if (rc != kVerifyOk) return false;
      return true;
    }
    bool NoneOk() const {
      for (const auto& [path, rc] : paths)
        if (rc == kVerifyOk) return false;
      return true;
    }
    std::string Text() const {
      std::string s;
      for (const auto& [path, rc] : paths) s += path + "=" + std::to_string(rc) + " ";
      return s;
    }
  };

  static Verdicts EngineVerdicts(const Fixture& f, const std::string& xml) {
    Verdicts v;
    XmlDocPtr doc = xadesParseMemory(xml);
    if (!doc) return {{{"parse", 0xFFFFFFFFu}}};
    ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
    v.paths.emplace_back("signature", xadesVerifySignature(ctx.get(), doc.get(), nullptr, f.index, -1, true));
    if (f.whole) {
      ContextPtr whole(xadesVerifyContextLoadSchema(nullptr));
      v.paths.emplace_back("document", xadesVerifyDocument(whole.get(), doc.get(), nullptr));
    }
    const Bytes bytes = test::AsBytes(xml);
    XmlSignedDocument held(bytes.data(), static_cast<uint32_t>(bytes.size()));
    v.paths.emplace_back("XmlSignedDocument", held.Verify(f.index));
    return v;
  }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static std::vector<Fixture> fixtures_;
};
std::unique_ptr<vel::test::TestPki> VerificationPeer::pki_;
std::vector<Fixture> VerificationPeer::fixtures_;

// Good and tampered copies of every fixture: the engine's verdict on each
// path equals xmlsec1's and xadesjs's, and only the good copies verify.
TEST_F(VerificationPeer, VerdictsAgreeWithXmlSecAndXadesJs) {
  struct Tampering {
    const char* name;
    std::function<std::string(const std::string&)> apply;
    // xadesjs leaves inherited xml:* attributes out of its canonical forms,
    // so it does not see that tampering.
    bool xadesjs_sees = true;
  } tamperings[] = {
      {"good", [](const std::string& x) { return x; }},
      {"content byte", [](const std::string& x) { return Replaced(x, "1200.00", "1200.01"); }},
      {"signature value", [](const std::string& x) { return Flipped(x, "<ds:SignatureValue", 8, true); }},
      {"signed serial number",
       [](const std::string& x) { return Flipped(x, "<ds:X509SerialNumber", 3, true); }},
      {"reference digest", [](const std::string& x) { return Flipped(x, "<ds:DigestValue", 4); }},
      // Inclusive forms carry what is in scope: a declaration or an xml:lang
      // added above the signed elements changes them.
      {"namespace on the root",
       [](const std::string& x) { return OnRoot(x, " xmlns:obcy2=\"urn:example:obcy2\""); }},
      {"xml:lang on the root", [](const std::string& x) { return OnRoot(x, " xml:lang=\"de\""); },
       false},
  };
  for (const Fixture& f : fixtures_) {
    for (const Tampering& t : tamperings) {
      SCOPED_TRACE(f.name + " / " + t.name);
      const std::string xml = t.apply(f.xml);
      const bool good = std::string(t.name) == "good";
      const auto file = Dir() / "case.xml";
      vel::test::WriteFileText(file, xml);
      const auto xmlsec = test::XmlSecVerify(file, f.id, f.ca);
      const auto js = test::XadesJsVerify(file, f.id);
      const Verdicts ours = EngineVerdicts(f, xml);
      EXPECT_EQ(xmlsec.exit_code == 0, good) << xmlsec.output;
      if (t.xadesjs_sees) {
        EXPECT_EQ(js.exit_code == 0, good) << js.output;
      }
      if (good) {
        EXPECT_TRUE(ours.AllOk()) << ours.Text();
      } else {
        EXPECT_TRUE(ours.NoneOk()) << ours.Text();
      }
    }
  }
}

// Signatures whose properties are not bound to them, or whose signing
// certificate is not the one that verifies them: xmlsec1 signs each
// tampered template with the foreign signer's key, so every digest and
// signature value is right, and only the XAdES rules can refuse them.
TEST_F(VerificationPeer, PropertiesMustBeSignedAndNameTheSigner) {
  const auto d = Foreign();
  const std::string forgedTime = "2020-01-01T00:00:00Z";
  struct Tampering {
    const char* name;
    std::function<std::string(const std::string& t, const std::string& id, const std::string& digest)> apply;
    std::filesystem::path cert = {};  // in KeyInfo
    uint32_t expected = kVerifyFailed;
  };
  // The CA's certificate digest and serial, as another certificate's Cert.
  const auto caDigest = [&](const std::string& digest) {
    return RunCommand("openssl x509 -in " + Q(d / "ca.pem") + " -outform DER | openssl dgst -" + digest +
                      " -binary | openssl base64 -A")
        .output;
  };
  const std::string caSerial =
      RunCommand("openssl x509 -in " + Q(d / "ca.pem") +
                 " -noout -serial | cut -d= -f2 | python3 -c 'import sys; print(int(sys.stdin.read(), 16), end=\"\")'")
          .output;
  ASSERT_FALSE(caSerial.empty());
  const auto certDigestReplaced = [](const std::string& t, const std::string& by) {
    const size_t from = t.find("<ds:DigestValue>", t.find("<xades:CertDigest>")) + 16;
    return t.substr(0, from) + by + t.substr(t.find('<', from));
  };
  const std::string serial = "<ds:X509SerialNumber>" + std::string(kLongSerial);
  const Tampering tamperings[] = {
      {"SignedProperties Reference without its Type",
       [](const std::string& t, const std::string&, const std::string&) {
         return Replaced(t, " Type=\"http://uri.etsi.org/01903#SignedProperties\"", "");
       }},
      {"no Reference to the SignedProperties",
       [](const std::string& t, const std::string&, const std::string&) {
         return Removed(t, "<ds:Reference URI=\"#SignedProperties-", "</ds:Reference>");
       }},
      {"signed properties moved into an Object, an unsigned copy in their place",
       [&](const std::string& t, const std::string&, const std::string&) {
         const std::string real = test::ElementText(t, "xades:SignedProperties", "Id=\"SignedProperties-");
         const std::string forged = Replaced(Replaced(real, "Id=\"SignedProperties-", "Id=\"Forged-"),
                                       "2026-12-01T10:00:00Z", forgedTime);
         const std::string moved = "<ds:Object>" +
                                   Replaced(real, "<xades:SignedProperties",
                                            "<xades:SignedProperties xmlns:xades=\"" + std::string(kXadesNs) + "\"") +
                                   "</ds:Object>";
         return Replaced(Replaced(t, real, forged), "</ds:Signature>", moved + "</ds:Signature>");
       }},
      {"Target naming another signature",
       [](const std::string& t, const std::string& id, const std::string&) {
         return Replaced(t, "Target=\"#" + id + "\"", "Target=\"#Signature-inny\"");
       }},
      {"no SigningCertificate",
       [](const std::string& t, const std::string&, const std::string&) {
         return Removed(t, "<xades:SigningCertificate>", "</xades:SigningCertificate>");
       }},
      {"CertDigest of another certificate",
       [&](const std::string& t, const std::string&, const std::string& digest) {
         return certDigestReplaced(t, caDigest(digest));
       }},
      {"serial number of another certificate",
       [&](const std::string& t, const std::string&, const std::string&) {
         return Replaced(t, serial, "<ds:X509SerialNumber>123456789012345678901234567891");
       }},
      {"the CA's Cert",
       [&](const std::string& t, const std::string&, const std::string& digest) {
         return Replaced(certDigestReplaced(t, caDigest(digest)), serial, "<ds:X509SerialNumber>" + caSerial);
       }},
      {"KeyInfo certificate over the signer's key issued to another name",
       [](const std::string& t, const std::string&, const std::string&) { return t; }, d / "other.pem"},
      {"CertDigest by an algorithm the engine does not know",
       [](const std::string& t, const std::string&, const std::string&) {
         const size_t at = t.find("Algorithm=\"", t.find("<xades:CertDigest>")) + 11;
         return t.substr(0, at) + "urn:x-digest" + t.substr(t.find('"', at));
       },
       {}, kVerifyUnsupportedAlgorithm},
  };
  struct Base {
    const char* method;
    const char* digest;
    bool indented;
  } bases[] = {{"rsa-sha1", "sha1", false}, {"rsa-sha256", "sha256", true}};
  for (const Base& b : bases) {
    const std::string id = std::string("Signature-xp-") + b.digest;
    const std::string t = XmlSecTemplate(id, kC14nInclusive, b.method, b.digest, b.indented);
    const Fixture f{id, "", id, 0, true, d / "ca.pem"};
    for (const Tampering& c : tamperings) {
      SCOPED_TRACE(std::string(b.digest) + " / " + c.name);
      const std::string xml =
          XmlSecSign(c.apply(t, id, b.digest), "tampered", c.cert.empty() ? d / "signer.pem" : c.cert);
      const Verdicts ours = EngineVerdicts(f, xml);
      for (const auto& [path, rc] : ours.paths) EXPECT_EQ(rc, c.expected) << path;
      // The property tables show only what is signed: never the forged time.
      XmlDocPtr doc = xadesParseMemory(xml);
      ASSERT_TRUE(doc);
      XadesSignContext sig;
      sig.signature = xmlDocGetRootElement(doc.get());
      const SignatureInfoTablePtr table = getSignedPropertiesTable(sig);
      ASSERT_TRUE(table);
      for (const SignatureInfoRow& row : table->rows) EXPECT_NE(row.data, forgedTime);
    }
    // Form elements outside the signed properties' QualifyingProperties
    // reveal no form of a signature that is otherwise correct.
    const std::string outside =
        Replaced(t, "</ds:Signature>",
                 "<ds:Object><xades:UnsignedSignatureProperties xmlns:xades=\"" + std::string(kXadesNs) +
                     "\"><xades:CompleteCertificateRefs/><xades:ArchiveTimeStamp/></xades:UnsignedSignatureProperties>"
                     "</ds:Object></ds:Signature>");
    const std::string xml = XmlSecSign(outside, "outside", d / "signer.pem");
    const Bytes bytes = test::AsBytes(xml);
    XmlSignedDocument held(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(held.Verify(0), kVerifyOk) << b.digest;
    EXPECT_EQ(held.GetSignatureForms(0), 0) << b.digest;
  }
}

// A document validated by xmllint and by python3-xmlschema with the XAdES
// schema of the tests: true when valid.
std::pair<bool, bool> PeerSchemaVerdicts(const std::filesystem::path& file) {
  const auto xsd = test::TestData() / "schemas/XAdES.xsd";
  const auto xmllint =
      RunCommand("xmllint --noout --nonet --schema " + Q(xsd) + " " + Q(file) + " 2>&1");
  const auto python = RunCommand(
      "/usr/bin/python3 -c 'import sys, xmlschema; "
      "xmlschema.XMLSchema(sys.argv[1]).validate(sys.argv[2])' " +
      Q(xsd) + " " + Q(file) + " 2>&1");
  return {xmllint.exit_code == 0, python.exit_code == 0};
}

// The signature check by copy and the qualifying-properties check against
// both schema validators, on each fixture's signature and on variants of
// our own. libxml2 takes no xs:integer of more than 24 digits, so xmllint
// refuses a 30-digit serial number that the schema allows: the engine checks
// it is decimal and validates it as "1", and agrees with python3-xmlschema.
TEST_F(VerificationPeer, SchemaChecksAgreeWithXmllintAndXmlSchema) {
  struct Case {
    std::string name;
    std::string signature;  // a document whose root is the signature
    bool signature_valid;
    bool properties_valid;
    bool long_serial;
  };
  std::vector<Case> cases;
  for (const Fixture& f : fixtures_)
    cases.push_back({f.name, StandAlone(f.xml, "ds:Signature", "Id=\"" + f.id + "\""), true, true,
                     f.xml.find(kLongSerial) != std::string::npos});
  const std::string own = cases.front().signature;
  const std::string serial_open = "<ds:X509SerialNumber>";
  const std::string serial_close = "</ds:X509SerialNumber>";
  cases.push_back({"30-digit serial", ReplacedBetween(own, serial_open, serial_close, kLongSerial),
                   true, true, true});
  cases.push_back({"signed serial with leading zeros",
                   ReplacedBetween(own, serial_open, serial_close, "+00042"), true, true, false});
  cases.push_back({"hexadecimal serial", ReplacedBetween(own, serial_open, serial_close, "7A3B"),
                   false, false, false});
  cases.push_back({"serial with an inner blank",
                   ReplacedBetween(own, serial_open, serial_close, "12 34"), false, false, false});
  cases.push_back({"no CertDigest", Removed(own, "<xades:CertDigest>", "</xades:CertDigest>"), false,
                   false, false});
  cases.push_back({"no Target", Replaced(own, " Target=\"#Signature-1\"", ""), false, false, false});
  cases.push_back({"no CanonicalizationMethod",
                   Removed(own, "<ds:CanonicalizationMethod", "/>"), false, true, false});

  ContextPtr ctx(xadesVerifyContextLoadSchema(nullptr));
  ASSERT_TRUE(ctx);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XmlDocPtr doc = xadesParseMemory(c.signature);
    ASSERT_TRUE(doc);
    const bool ours_signature = validateSignatureByCopy(ctx.get(), xmlDocGetRootElement(doc.get())) == 0;
    const bool ours_properties = checkQualifyingPropertiesSchema(ctx->validation.get(), doc.get()) == 0;
    EXPECT_EQ(ours_signature, c.signature_valid);
    EXPECT_EQ(ours_properties, c.properties_valid);

    const auto signature_file = Dir() / "schema-signature.xml";
    const auto properties_file = Dir() / "schema-properties.xml";
    vel::test::WriteFileText(signature_file, c.signature);
    vel::test::WriteFileText(properties_file,
                             StandAlone(c.signature, "xades:QualifyingProperties",
                                        "xades:QualifyingProperties"));
    for (const auto& [file, ours] :
         {std::pair{signature_file, ours_signature}, std::pair{properties_file, ours_properties}}) {
      SCOPED_TRACE(file.filename().string());
      const auto [xmllint, python] = PeerSchemaVerdicts(file);
      EXPECT_EQ(python, ours);
      // libxml2's integer limit, pinned: should xmllint ever take the long
      // serial, the rewrite is no longer needed.
      EXPECT_EQ(xmllint, c.long_serial ? false : ours);
    }
  }
}

}  // namespace
}  // namespace vel::xades
