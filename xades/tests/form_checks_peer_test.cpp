// The checks above BES on fixtures made with openssl: C and X-L elements
// over certificates and CRLs from `openssl ca`, signature time stamps from
// `openssl ts -reply`; each tampering must fail.
#include "xades/form_checks.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <functional>

#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/testing/test_support.h"
#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/document_access.h"
#include "xades/node_helpers.h"
#include "xades/tests/form_elements.h"
#include "xades/tests/sign_fixture.h"
#include "xades/tests/trusted_tsa.h"
#include "xades/tests/xades_peer_fixture.h"
#include "xades/xades_template.h"
#include "xades/xml_signed_document.h"

namespace vel::xades {
namespace {

using test::AsText;
using test::CertRefXml;
using test::CrlRefXml;
using test::CrlValueXml;
using test::InsertUnsignedProperty;
using test::Bytes;
using test::Q;

constexpr auto& kSha1 = test::kSha1Uri;
constexpr char kSha256[] = "http://www.w3.org/2001/04/xmlenc#sha256";

xmlNode* Find(xmlDoc* doc, const char* name) {
  for (xmlNode* n = xmlDocGetRootElement(doc); n != nullptr; n = nextElementInOrder(n)) {
    if (nameIs(n, name)) return n;
  }
  return nullptr;
}

class FormChecksPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    root_ = std::make_unique<vel::test::TestCa>(dir_.path(), "root", "/C=PL/O=Testowe Centrum/CN=Root CA");
    sub_ = std::make_unique<vel::test::TestCa>(dir_.path(), "sub", "/C=DE/O=Testowe Centrum/CN=Sub CA");
    root_crl_ = root_->Crl();
    other_root_crl_ = root_->Crl(-7200);
    sub_crl_ = sub_->Crl();
    chain_.chains.emplace_back();
    chain_.chains[0].elements.push_back({Cert(sub_->cert_der()), CrlOf(sub_crl_)});
    chain_.chains[0].elements.push_back({Cert(root_->cert_der()), CrlOf(root_crl_)});
    ASSERT_EQ(buildCertRefs(&certs_, &chain_), 0);
    ASSERT_EQ(buildCrlRefs(&crls_, &chain_), 0);
  }
  static CertPtr Cert(const std::vector<uint8_t>& der) { return xadesCertCreate(der.data(), der.size()); }
  static CrlPtr CrlOf(const std::vector<uint8_t>& der) { return xadesCrlCreate(der.data(), der.size()); }

  using Parts = test::FormParts;
  Parts Good(const std::string& sep) const {
    return test::BuildFormParts(chain_, {sub_->cert_der(), root_->cert_der()}, {sub_crl_, root_crl_}, sep);
  }
  static std::string Document(const Parts& p) {
    return "<UnsignedSignatureProperties xmlns=\"http://uri.etsi.org/01903/v1.3.2#\" "
           "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">" + p.sep + test::CompleteRefsXml(p) + p.sep +
           test::ValuesXml(p) + "</UnsignedSignatureProperties>";
  }
  // Both checks on one document: {references against the path, values}.
  std::pair<int, int> Run(const Parts& p) const {
    XmlDocPtr doc = xadesParseMemory(Document(p));
    EXPECT_TRUE(doc);
    if (!doc) return {-100, -100};
    xmlDoc* d = doc.get();
    return {compareRefsOf(Find(d, "CompleteCertificateRefs"), Find(d, "CompleteRevocationRefs"), &chain_),
            compareValuesWithRefsOf(Find(d, "CertificateValues"), Find(d, "RevocationValues"),
                                    Find(d, "CompleteCertificateRefs"), Find(d, "CompleteRevocationRefs"))};
  }

  vel::test::TempDir dir_;
  std::unique_ptr<vel::test::TestCa> root_, sub_;
  std::vector<uint8_t> root_crl_, other_root_crl_, sub_crl_;
  crypto::CertChainContext chain_;
  XadesCertRefList certs_;
  XadesCrlRefList crls_;
};

TEST_F(FormChecksPeer, GoodReferencesAndValuesPassIndentedOrNot) {
  for (const std::string sep : {"", "\n  "}) {
    EXPECT_EQ(Run(Good(sep)), std::make_pair(0, 0)) << "separator: [" << sep << "]";
  }
  EXPECT_EQ(compareRefsForCertificate(nullptr, nullptr, nullptr), kRefsNotBuilt);
}

TEST_F(FormChecksPeer, ModesAndTheCascade) {
  Parts good = Good("");
  Parts bad = good;
  bad.certRefs = CertRefXml(certs_[0], kSha1, *certs_[1].digest);
  for (const Parts* p : {&good, &bad}) {
    XmlDocPtr doc = xadesParseMemory(Document(*p));
    FormCheckEntry entry;
    EXPECT_EQ(verifyAllFormsOf(entry, &chain_), 0);  // BES: nothing to check
    entry.completeCertificateRefs = Find(doc.get(), "CompleteCertificateRefs");
    entry.completeRevocationRefs = Find(doc.get(), "CompleteRevocationRefs");
    entry.hasC = true;
    const int c = p == &good ? 0 : kCompleteRefsFailed;
    EXPECT_EQ(verifyFormOf(entry, &chain_, kVerifyCompleteRefs), c);
    EXPECT_EQ(verifyAllFormsOf(entry, &chain_), c);
    entry.certificateValues = Find(doc.get(), "CertificateValues");
    entry.revocationValues = Find(doc.get(), "RevocationValues");
    entry.hasXL = true;
    EXPECT_EQ(verifyFormOf(entry, &chain_, kVerifyValuesWithRefs), p == &good ? 0 : kValuesFailed);
    EXPECT_EQ(verifyAllFormsOf(entry, &chain_), p == &good ? 0 : kValuesFailed);
    // A time stamp the entry carries but that cannot be read fails.
    entry.signature = xmlDocGetRootElement(doc.get());
    entry.signatureTimeStampCount = 1;
    EXPECT_EQ(verifyFormOf(entry, &chain_, kVerifySignatureTimeStamps), kCompleteRefsFailed);
    entry.hasA = true;
    entry.archiveTimeStampCount = 1;
    EXPECT_EQ(verifyAllFormsOf(entry, &chain_), kArchiveTimeStampFailed);
  }
}

TEST_F(FormChecksPeer, Sha256ReferenceDigestsAreVerified) {
  Parts p = Good("");
  const auto sha256 = [](const std::vector<uint8_t>& der) {
    std::vector<uint8_t> d(32);
    unsigned int n = 0;
    EVP_Digest(der.data(), der.size(), d.data(), &n, EVP_sha256(), nullptr);
    return base64Encode(d);
  };
  p.certRefs = CertRefXml(certs_[0], kSha256, sha256(sub_->cert_der())) +
               CertRefXml(certs_[1], kSha256, sha256(root_->cert_der()));
  p.crlRefs = CrlRefXml(crls_[0], sha256(sub_crl_), kSha256) + CrlRefXml(crls_[1], sha256(root_crl_), kSha256);
  EXPECT_EQ(Run(p), std::make_pair(0, 0));
  // Swapped SHA-256 digests name the other certificate: no match.
  p.certRefs = CertRefXml(certs_[0], kSha256, sha256(root_->cert_der())) +
               CertRefXml(certs_[1], kSha256, sha256(sub_->cert_der()));
  EXPECT_EQ(Run(p), std::make_pair(kRefMismatch, kRefMismatch));
}

TEST_F(FormChecksPeer, EveryTamperingFails) {
  std::string flipped = *certs_[1].digest;
  flipped[3] = flipped[3] == 'A' ? 'B' : 'A';
  XadesCertRef wrongSerial = certs_[0];
  wrongSerial.serial = *wrongSerial.serial + "1";
  XadesCrlRef utcTime = crls_[0];
  utcTime.issueTime = "2026-01-01T00:00:00Z";
  const struct Case {
    const char* what;
    std::function<void(Parts&)> tamper;
    std::pair<int, int> expected;
  } cases[] = {
      {"flipped certificate digest",
       [&](Parts& p) { p.certRefs = CertRefXml(certs_[0], kSha1, *certs_[0].digest) + CertRefXml(certs_[1], kSha1, flipped); },
       {kRefMismatch, kRefMismatch}},
      {"changed serial", [&](Parts& p) { p.certRefs = CertRefXml(wrongSerial, kSha1, *wrongSerial.digest); },
       {kRefMismatch, kRefMismatch}},
      {"issue time in UTC", [&](Parts& p) { p.crlRefs = CrlRefXml(utcTime, *utcTime.digest) + CrlRefXml(crls_[1], *crls_[1].digest); },
       {kRefMismatch, kRefMismatch}},
      {"flipped CRL digest", [&](Parts& p) { p.crlRefs = CrlRefXml(crls_[0], flipped) + CrlRefXml(crls_[1], *crls_[1].digest); },
       {kRefMismatch, kRefMismatch}},
      {"foreign CRL value",
       [&](Parts& p) {
         p.crlValues = CrlValueXml(sub_crl_) + CrlValueXml(other_root_crl_);
       },
       {0, kRefMismatch}},
      {"unknown digest algorithm", [&](Parts& p) { p.certRefs = CertRefXml(certs_[0], "urn:x-digest", *certs_[0].digest); },
       {kRefDigestUnsupported, kRefDigestUnsupported}},
      {"unreadable references", [&](Parts& p) { p.certRefs = "<Cert/>"; }, {kNoCertRefs, kRefsUnreadable}},
      {"reordered reference parts",
       [&](Parts& p) {
         p.certRefs = "<Cert><IssuerSerial/><CertDigest/></Cert>";
       },
       {kNoCertRefs, kRefsUnreadable}},
      {"foreign value element", [&](Parts& p) { p.certValues += "<Other>AAAA</Other>"; }, {0, kBadCertificateValue}},
      {"no certificate values", [&](Parts& p) { p.certValues.clear(); }, {0, kNoCertificateValues}},
      {"no CRL values", [&](Parts& p) { p.crlValues.clear(); }, {0, kNoRevocationValues}},
      {"foreign CRL value element", [&](Parts& p) { p.crlValues += "<EncapsulatedX509Certificate>AA</EncapsulatedX509Certificate>"; },
       {0, kBadRevocationValue}},
  };
  for (const Case& c : cases) {
    Parts p = Good("");
    c.tamper(p);
    EXPECT_EQ(Run(p), c.expected) << c.what;
  }
}

// Two CAs of one country whose names are UTF8Strings: their full issuer texts
// differ, the short texts of earlier versions do not; the serial and the
// digest still keep their references apart.
TEST_F(FormChecksPeer, SameCountryCasDoNotMatchEachOthersReferences) {
  vel::test::TestCa one(dir_.path(), "one", "/C=PL/O=Pierwsze Centrum/CN=CA Jeden");
  vel::test::TestCa two(dir_.path(), "two", "/C=PL/O=Drugie Centrum/CN=CA Dwa");
  crypto::CertChainContext chain;
  chain.chains.emplace_back();
  chain.chains[0].elements.push_back({Cert(one.cert_der()), CrlOf(one.Crl())});
  crypto::CertChainContext other;
  other.chains.emplace_back();
  other.chains[0].elements.push_back({Cert(two.cert_der()), CrlOf(two.Crl())});
  XadesCertRefList oneRefs, twoRefs;
  XadesCrlRefList oneCrls, twoCrls;
  ASSERT_EQ(buildCertRefs(&oneRefs, &chain), 0);
  ASSERT_EQ(buildCertRefs(&twoRefs, &other), 0);
  ASSERT_EQ(buildCrlRefs(&oneCrls, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&twoCrls, &other), 0);
  EXPECT_EQ(oneRefs[0].issuer, "CN=CA Jeden,O=Pierwsze Centrum,C=PL");
  EXPECT_EQ(oneRefs[0].shortIssuer, twoRefs[0].shortIssuer);  // the short text, pinned
  EXPECT_EQ(oneRefs[0].shortIssuer, "C=PL");
  EXPECT_EQ(compareRefsWithChain(&oneRefs, &oneCrls, &chain), kRefsMatch);
  EXPECT_EQ(compareRefsWithChain(&twoRefs, &oneCrls, &chain), kRefMismatch);
  EXPECT_EQ(compareRefsWithChain(&oneRefs, &twoCrls, &chain), kRefMismatch);
  // References written with the short text by earlier versions.
  XadesCertRefList oneShort = oneRefs, twoShort = twoRefs;
  oneShort[0].issuer = twoShort[0].issuer = "C=PL";
  EXPECT_EQ(compareRefsWithChain(&oneShort, &oneCrls, &chain), kRefsMatch);
  EXPECT_EQ(compareRefsWithChain(&twoShort, &oneCrls, &chain), kRefMismatch);
}

// Signature time stamps: tokens from `openssl ts -reply` over the canonical
// SignatureValue pass with SHA-1 and SHA-256 imprints; a token over other
// data, a damaged token or none at all fail.
class TimeStampChecksPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<vel::test::TestPki>();
    trusted_ = std::make_unique<vel::test::TestTsa>();
    test::TrustTsa(*trusted_);
  }
  static void TearDownTestSuite() {
    trusted_.reset();
    pki_.reset();
  }
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    pin_.Install();
    config_ = trusted_->WriteFiles(dir_.path());
  }

  // A token from `openssl ts -reply` with the trusted authority, or with the
  // authority whose configuration is given.
  Bytes Token(const std::string& data, const char* digest, std::filesystem::path config = {}) {
    if (config.empty()) config = config_;
    vel::test::WriteFileText(dir_ / "data.bin", data);
    auto r = vel::test::RunCommand("openssl ts -query -data " + Q(dir_ / "data.bin") + " -" + digest +
                                   " -cert -out " + Q(dir_ / "q.tsq") + " 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = vel::test::RunCommand("openssl ts -reply -config " + Q(config) + " -queryfile " + Q(dir_ / "q.tsq") +
                              " -token_out -out " + Q(dir_ / "t.der") + " 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return vel::test::ReadFileBytes(dir_ / "t.der");
  }

  static Bytes Stamp(const Bytes& doc, const Bytes& token) {
    uint32_t size = 0;
    const uint32_t length = static_cast<uint32_t>(doc.size());
    EXPECT_EQ(xadesAddSignatureTimeStamp(doc.data(), length, token.data(), static_cast<uint32_t>(token.size()),
                                         nullptr, &size, 1),
              234u);
    Bytes out(size);
    EXPECT_EQ(xadesAddSignatureTimeStamp(doc.data(), length, token.data(), static_cast<uint32_t>(token.size()),
                                         out.data(), &size, 1),
              0u);
    out.resize(size);
    return out;
  }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static std::unique_ptr<vel::test::TestTsa> trusted_;  // its root in the user's Root store
  vel::test::TempDir dir_;
  std::filesystem::path config_;
  vel::test::ScriptedPin pin_;
};
std::unique_ptr<vel::test::TestPki> TimeStampChecksPeer::pki_;
std::unique_ptr<vel::test::TestTsa> TimeStampChecksPeer::trusted_;

TEST_F(TimeStampChecksPeer, SignatureTimeStamps) {
  Bytes doc;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &doc), 0u);
  XmlDocPtr parsed = xadesParseMemory(AsText(doc));
  const auto c14n = signatureValueC14N(test::ElementWithId(parsed.get(), "Signature-1"));
  ASSERT_TRUE(c14n);
  // A changed imprint inside the signed TSTInfo: the token's signature fails
  // (an unchecked signature would report a different imprint instead).
  Bytes damaged = Token(*c14n, "sha1");
  Bytes imprint(20);
  unsigned int n = 0;
  EVP_Digest(c14n->data(), c14n->size(), imprint.data(), &n, EVP_sha1(), nullptr);
  const auto at = std::search(damaged.begin(), damaged.end(), imprint.begin(), imprint.end());
  ASSERT_NE(at, damaged.end());
  *at ^= 0x01;
  const struct {
    const char* what;
    Bytes token;
    int expected;
  } cases[] = {
      {"SHA-1 imprint", Token(*c14n, "sha1"), kTsPassed},
      {"SHA-256 imprint", Token(*c14n, "sha256"), kTsPassed},
      {"other data", Token(*c14n + " ", "sha1"), kTsImprintDiffers},
      {"imprint changed in the token", damaged, kTsUnreadable},
      {"not a token", Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, kTsUnreadable},
  };
  for (const auto& c : cases) {
    XmlDocPtr stamped = xadesParseMemory(AsText(Stamp(doc, c.token)));
    ASSERT_TRUE(stamped) << c.what;
    EXPECT_EQ(verifySignatureTimeStampOf(test::ElementWithId(stamped.get(), "Signature-1"), 1), c.expected)
        << c.what;
  }
  // A count beyond the tokens the signature holds is a missing token.
  XmlDocPtr stamped = xadesParseMemory(AsText(Stamp(doc, Token(*c14n, "sha1"))));
  EXPECT_EQ(verifySignatureTimeStampOf(test::ElementWithId(stamped.get(), "Signature-1"), 2), kTsUnreadable);
  EXPECT_EQ(verifySignatureTimeStampOf(test::ElementWithId(stamped.get(), "Signature-1"), 0), kTsPassed);
}

// A signature time stamp counts only when its authority passes the path
// check, anchored in the user's Root store; otherwise every entry point that
// checks it gives the path check's status for the authority, never 0.
TEST_F(TimeStampChecksPeer, AuthorityMustPassThePathCheck) {
  Bytes signedDoc;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &signedDoc), 0u);
  const Bytes doc = test::AsBytes(test::WithTemplateCertificate(AsText(signedDoc)));
  XmlDocPtr parsed = xadesParseMemory(AsText(doc));
  const auto c14n = signatureValueC14N(test::ElementWithId(parsed.get(), "Signature-1"));
  ASSERT_TRUE(c14n);
  vel::test::TestTsa untrusted, rootWithoutCrl;
  test::TrustTsa(rootWithoutCrl, false);
  const struct {
    const char* what;
    const vel::test::TestTsa* tsa;
    uint32_t expected;
  } cases[] = {
      {"root in the user's store with a current CRL", trusted_.get(), 0},
      {"root in no store of the user", &untrusted, crypto::CERT_E_CHAINING},
      {"root trusted, no CRL to check the authority", &rootWithoutCrl, crypto::CRYPT_E_NO_REVOCATION_CHECK},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto dir = dir_ / ("tsa" + std::to_string(k++));
    std::filesystem::create_directories(dir);
    const Bytes stamped = Stamp(doc, Token(*c14n, "sha1", c.tsa->WriteFiles(dir)));
    XmlSignedDocument held(stamped.data(), static_cast<uint32_t>(stamped.size()));
    const std::unique_ptr<XadesSignatureNode> tree = held.CreateSignatureTree();
    ASSERT_FALSE(tree->build_failed());
    XadesSignatureNode* node = tree->next();  // Signature-1
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->VerifySignatureTimeStamp(), c.expected);
    EXPECT_EQ(node->VerifyEx(true), c.expected);
    EXPECT_EQ(node->Verify(), 0u);  // the signature itself is sound
  }
}

// XAdES-X and archive time stamps over the engine's canonical inputs.
TEST_F(TimeStampChecksPeer, RefsAndArchiveTimeStamps) {
  Bytes signedDoc;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &signedDoc), 0u);
  XmlDocPtr parsed = xadesParseMemory(AsText(signedDoc));
  const auto c14n = signatureValueC14N(test::ElementWithId(parsed.get(), "Signature-1"));
  ASSERT_TRUE(c14n);
  const std::string refs =
      "<P:CompleteCertificateRefs><P:CertRefs><P:Cert><P:CertDigest><ds:DigestMethod "
      "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>"
      "<ds:DigestValue xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">QUFBQQ==</ds:DigestValue></P:CertDigest>"
      "</P:Cert></P:CertRefs></P:CompleteCertificateRefs><P:CompleteRevocationRefs><P:CRLRefs/>"
      "</P:CompleteRevocationRefs>";
  const std::string withRefs = InsertUnsignedProperty(AsText(Stamp(signedDoc, Token(*c14n, "sha1"))), refs);

  const auto signatureOf = [](const XmlDocPtr& doc) { return test::ElementWithId(doc.get(), "Signature-1"); };
  XmlDocPtr refsDoc = xadesParseMemory(withRefs);
  ASSERT_TRUE(refsDoc);
  const auto sigAndRefs = refsTimeStampInput(signatureOf(refsDoc), kSigAndRefsTimeStamp);
  const auto refsOnly = refsTimeStampInput(signatureOf(refsDoc), kRefsOnlyTimeStamp);
  ASSERT_TRUE(sigAndRefs && refsOnly);
  const auto xStamp = [&](const char* element, const Bytes& token) {
    return InsertUnsignedProperty(withRefs, std::string("<P:") + element + "><P:EncapsulatedTimeStamp>" + base64Encode(token) +
                                "</P:EncapsulatedTimeStamp></P:" + element + ">");
  };
  const struct {
    const char* what;
    std::string doc;
    int expected;
  } xCases[] = {
      {"SigAndRefs", xStamp("SigAndRefsTimeStamp", Token(*sigAndRefs, "sha256")), kTsPassed},
      {"RefsOnly", xStamp("RefsOnlyTimeStamp", Token(*refsOnly, "sha1")), kTsPassed},
      {"over the signature value only", xStamp("SigAndRefsTimeStamp", Token(*c14n, "sha1")), kTsImprintDiffers},
  };
  for (const auto& c : xCases) {
    XmlDocPtr doc = xadesParseMemory(c.doc);
    ASSERT_TRUE(doc) << c.what;
    EXPECT_EQ(verifyRefsTimeStampOf(signatureOf(doc), 1), c.expected) << c.what;
  }
  // A reference changed after stamping.
  std::string changed = xCases[0].doc;
  changed.replace(changed.find("QUFBQQ=="), 8, "QUFBQg==");
  XmlDocPtr changedDoc = xadesParseMemory(changed);
  EXPECT_EQ(verifyRefsTimeStampOf(signatureOf(changedDoc), 1), kTsImprintDiffers);

  // Archive time stamp over the X form.
  XmlDocPtr xDoc = xadesParseMemory(xCases[0].doc);
  size_t length = 0;
  auto archive = archiveTimeStampInput(signatureOf(xDoc), 0, &length);
  ASSERT_TRUE(archive);
  if (length != 0) archive->resize(length);
  const auto aStamp = [&](const Bytes& token) {
    return InsertUnsignedProperty(xCases[0].doc, "<P:ArchiveTimeStamp><P:EncapsulatedTimeStamp>" + base64Encode(token) +
                                     "</P:EncapsulatedTimeStamp></P:ArchiveTimeStamp>");
  };
  const std::string archived = aStamp(Token(*archive, "sha1"));
  XmlDocPtr aDoc = xadesParseMemory(archived);
  EXPECT_EQ(verifyArchiveTimeStampOf(signatureOf(aDoc), 1, -1), kTsPassed);
  XmlDocPtr otherDoc = xadesParseMemory(aStamp(Token(*archive + "x", "sha1")));
  EXPECT_EQ(verifyArchiveTimeStampOf(signatureOf(otherDoc), 1, -1), kTsImprintDiffers);
  std::string tampered = archived;
  tampered.replace(tampered.find("QUFBQQ=="), 8, "QUFBQg==");
  XmlDocPtr tamperedDoc = xadesParseMemory(tampered);
  EXPECT_EQ(verifyArchiveTimeStampOf(signatureOf(tamperedDoc), 1, -1), kTsImprintDiffers);
}

}  // namespace
}  // namespace vel::xades
