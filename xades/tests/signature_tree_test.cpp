// The signature tree over small documents: its shape and positions, links
// from crafted records, documents it cannot build, the object's answers for
// missing signatures, and paths from embedded values that must end in the
// user's own stores.
#include "xades/signature_node.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cryptolib/tests/path_fixture.h"
#include "xades/base64.h"
#include "xades/reference_compare.h"
#include "xades/signature_discovery.h"
#include "xades/signer_window.h"
#include "xades/verification.h"
#include "xades/xml_signed_document.h"

namespace vel::xades {
namespace {

namespace path = vel::test::path;

constexpr const char* kDs = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* kXa = "http://uri.etsi.org/01903/v1.3.2#";

// A minimal signature with Id `id`, `unsignedProps` inside its
// UnsignedSignatureProperties and `certificate` (base64) in KeyInfo.
std::string Sig(const std::string& id, const std::string& unsignedProps = "",
                const std::string& certificate = "AQID") {
  const std::string digest =
      "<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><ds:DigestValue>AAAA</ds:DigestValue>";
  return "<ds:Signature Id=\"" + id + "\"><ds:SignedInfo><ds:Reference URI=\"#o" + id + "\">" + digest +
         "</ds:Reference><ds:Reference Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#sp" + id + "\">" +
         digest + "</ds:Reference></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:KeyInfo><ds:X509Data><ds:X509Certificate>" +
         certificate +
         "</ds:X509Certificate></ds:X509Data></ds:KeyInfo><ds:Object><xa:QualifyingProperties Target=\"#" + id +
         "\"><xa:SignedProperties Id=\"sp" + id + "\"/><xa:UnsignedProperties><xa:UnsignedSignatureProperties>" +
         unsignedProps +
         "</xa:UnsignedSignatureProperties></xa:UnsignedProperties></xa:QualifyingProperties>"
         "</ds:Object><ds:Object Id=\"o" + id + "\">tresc " + id + "</ds:Object></ds:Signature>";
}

std::string Counter(const std::string& signature) {
  return "<xa:CounterSignature>" + signature + "</xa:CounterSignature>";
}

std::string Document(const std::string& body) {
  return "<Signatures xmlns:ds=\"" + std::string(kDs) + "\" xmlns:xa=\"" + kXa + "\">" + body +
         "</Signatures>";
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t Length(const std::string& s) { return static_cast<uint32_t>(s.size()); }

// A and B at the top, A counter-signed by A1: A1 stands between them in
// document order.
const std::string kTwoWithCounter =
    Document(Sig("A", Counter(Sig("A1"))) + Sig("B", "<xa:CompleteCertificateRefs/>"));

struct Shape {
  uint32_t kind;
  int32_t index, signature, counter;
};
void ExpectShape(const XadesSignatureNode* node, const Shape& s, const char* what) {
  ASSERT_NE(node, nullptr) << what;
  EXPECT_EQ(node->kind(), s.kind) << what;
  EXPECT_EQ(node->index_in_context(), s.index) << what;
  EXPECT_EQ(node->signature_index(), s.signature) << what;
  EXPECT_EQ(node->counter_signature_index(), s.counter) << what;
  EXPECT_NE(node->GetCertificate(), nullptr) << what;
}

TEST(SignatureTree, TwoTopLevelSignaturesAndACounterSignature) {
  XadesSignatureNode root(Bytes(kTwoWithCounter), Length(kTwoWithCounter));
  ASSERT_FALSE(root.build_failed());
  ExpectShape(&root, {1, 0, 0, -1}, "A");
  ExpectShape(root.first_child(), {2, 1, 0, 0}, "A1");
  ExpectShape(root.next(), {1, 2, 1, -1}, "B");
  EXPECT_EQ(root.first_child()->next(), nullptr);
  EXPECT_EQ(root.first_child()->first_child(), nullptr);
  EXPECT_EQ(root.next()->next(), nullptr);
  EXPECT_EQ(root.next()->first_child(), nullptr);
  EXPECT_EQ(root.context(), root.next()->context());
  // Forms by B's position among top-level signatures, not its index in the
  // context (2, which names no top-level signature).
  EXPECT_EQ(root.GetForms(), 0);
  EXPECT_EQ(root.first_child()->GetForms(), 0);
  EXPECT_EQ(root.next()->GetForms(), kFormC);
  XmlSignedDocument doc(Bytes(kTwoWithCounter), Length(kTwoWithCounter));
  EXPECT_EQ(doc.GetSignatureForms(1), kFormC);
  EXPECT_EQ(doc.GetLastResult(), 0u);
}

// The positions a node passes select its own record; one that has none
// (a counter-signature of a counter-signature) answers 13 instead of the
// result of another signature.
TEST(SignatureTree, CounterSignatureIndexesCountDirectCounterSignaturesOnly) {
  const std::string xml =
      Document(Sig("A", Counter(Sig("A1", Counter(Sig("A1a")))) + Counter(Sig("A2"))) + Sig("B"));
  XadesSignatureNode root(Bytes(xml), Length(xml));
  ASSERT_FALSE(root.build_failed());
  const XadesSignatureNode* a1 = root.first_child();
  ASSERT_NE(a1, nullptr);
  ExpectShape(a1, {2, 1, 0, 0}, "A1");
  ExpectShape(a1->first_child(), {2, 2, 0, -1}, "A1a");
  ExpectShape(a1->next(), {2, 3, 0, 1}, "A2");
  ExpectShape(root.next(), {1, 4, 1, -1}, "B");
  XadesSignatureNode* nested = a1->first_child();
  for (auto method : {&XadesSignatureNode::Verify, &XadesSignatureNode::VerifyCompleteRefs,
                      &XadesSignatureNode::VerifyValues,
                      &XadesSignatureNode::VerifySignatureTimeStamp}) {
    EXPECT_EQ((nested->*method)(), kVerifyNotAcceptable);
  }
  XadesSignatureNode empty;
  EXPECT_EQ(empty.Verify(), kNodeNoContext);
  EXPECT_EQ(empty.VerifyValues(), kNodeNoContext);
  EXPECT_EQ(empty.GetForms(), kNoForms);
  EXPECT_EQ(empty.GetSignatureTimeStamp(0), nullptr);
}

// The window gets a copy of its own signature and nothing that the tree
// releases.
std::string shown;
uint32_t RecordWindow(std::string_view xml, std::span<const uint8_t>) {
  shown = std::string(xml);
  return 0;
}

TEST(SignatureTree, InfoWindowShowsACopyOfTheNodesSignature) {
  SetXmlSignerWindowHandler(nullptr);
  auto root = std::make_unique<XadesSignatureNode>(Bytes(kTwoWithCounter), Length(kTwoWithCounter));
  EXPECT_EQ(root->ShowInfoWindow(nullptr), 120u);
  SetXmlSignerWindowHandler(RecordWindow);
  const struct {
    const XadesSignatureNode* node;
    const char* id;
  } cases[] = {{root.get(), "Id=\"A\""}, {root->first_child(), "Id=\"A1\""}, {root->next(), "Id=\"B\""}};
  for (const auto& c : cases) {
    shown.clear();
    EXPECT_EQ(const_cast<XadesSignatureNode*>(c.node)->ShowInfoWindow(nullptr), 0u) << c.id;
    const size_t start = shown.find("<ds:Signature");
    ASSERT_NE(start, std::string::npos) << c.id;
    EXPECT_NE(shown.substr(start, shown.find('>', start) - start).find(c.id), std::string::npos)
        << c.id;
  }
  root.reset();
  EXPECT_NE(shown.find("tresc B"), std::string::npos);
  EXPECT_EQ(XadesSignatureNode().ShowInfoWindow(nullptr), kVerifyNoContext);
  SetXmlSignerWindowHandler(nullptr);
}

TEST(SignatureTree, DocumentsWithoutATree) {
  const struct {
    const char* what;
    std::string xml;
  } cases[] = {
      {"no Signature", "<Signatures><inny/></Signatures>"},
      {"not well formed", "<Signatures><ds:Signature"},
      {"empty", ""},
      {"signature without certificate",
       Document("<ds:Signature Id=\"X\"><ds:SignedInfo/></ds:Signature>")},
  };
  for (const auto& c : cases) {
    XadesSignatureNode root(Bytes(c.xml), Length(c.xml));
    EXPECT_TRUE(root.build_failed()) << c.what;
    EXPECT_EQ(root.context(), nullptr) << c.what;
    EXPECT_EQ(root.next(), nullptr) << c.what;
    EXPECT_EQ(root.Verify(), kNodeNoContext) << c.what;
    XmlSignedDocument doc(Bytes(c.xml), Length(c.xml));
    EXPECT_EQ(doc.Verify(0), kDocNoSignature) << c.what;
    EXPECT_EQ(doc.GetSignatureForms(0), kNoForms) << c.what;
    EXPECT_EQ(doc.GetLastResult(), kDocNoSignature) << c.what;
  }
}

// Records whose links would make a cycle, a second owner or a node left out
// fail the build; none may crash or release a node twice.
TEST(SignatureTree, CraftedLinksFailTheBuild) {
  using Records = std::vector<XadesSignContextPtr>;
  const struct {
    const char* what;
    std::function<void(Records&)> craft;
  } cases[] = {
      {"next backwards", [](Records& r) { r[2]->next = r[0].get(), r[2]->nextIndex = 0; }},
      {"next to itself", [](Records& r) { r[2]->next = r[2].get(), r[2]->nextIndex = 2; }},
      {"a second owner", [](Records& r) { r[1]->next = r[2].get(), r[1]->nextIndex = 2; }},
      {"index out of range", [](Records& r) { r[0]->nextIndex = 7; }},
      {"index and record disagree", [](Records& r) { r[0]->nextIndex = 1; }},
      {"child backwards", [](Records& r) { r[2]->firstCounterSignature = r[1].get(), r[2]->firstChildIndex = 1; }},
      {"parent after its counter-signature",
       [](Records& r) { r[1]->parent = r[2].get(), r[1]->parentIndex = 2; }},
      {"root with a parent", [](Records& r) { r[0]->parent = r[2].get(), r[0]->parentIndex = 2; }},
      {"a record left out", [](Records& r) { r[0]->next = nullptr, r[0]->nextIndex = -1; }},
      {"a counter-signature among the top-level ones",
       [](Records& r) {
         r[0]->firstCounterSignature = nullptr, r[0]->firstChildIndex = -1;
         r[0]->next = r[1].get(), r[0]->nextIndex = 1;
         r[1]->next = r[2].get(), r[1]->nextIndex = 2;
       }},
  };
  for (const auto& c : cases) {
    LoadedContextPtr ctx = xadesLoadDocument(Bytes(kTwoWithCounter), Length(kTwoWithCounter));
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->signatures.size(), 3u);
    c.craft(ctx->signatures);
    XadesSignatureNode root(std::move(ctx));
    EXPECT_TRUE(root.build_failed()) << c.what;
    EXPECT_EQ(root.next(), nullptr) << c.what;
    EXPECT_EQ(root.first_child(), nullptr) << c.what;
  }
  XadesSignatureNode intact(xadesLoadDocument(Bytes(kTwoWithCounter), Length(kTwoWithCounter)));
  EXPECT_FALSE(intact.build_failed());
}

TEST(SignatureTree, TimeStampTokensThatDoNotDecodeEndTheList) {
  std::string stamps;
  for (int i = 0; i < kMaxTimeStampSigners + 10; ++i) {
    stamps += "<xa:SignatureTimeStamp><xa:EncapsulatedTimeStamp>" +
              std::string(i % 2 ? "MAMCAQA=" : "not base64!") +
              "</xa:EncapsulatedTimeStamp></xa:SignatureTimeStamp>";
  }
  const std::string xml = Document(Sig("A", stamps));
  XadesSignatureNode root(Bytes(xml), Length(xml));
  ASSERT_FALSE(root.build_failed());
  EXPECT_EQ(root.entry()->signatureTimeStampCount, kMaxTimeStampSigners + 10);
  EXPECT_EQ(root.time_stamp_signers(), nullptr);
  EXPECT_EQ(root.GetSignatureTimeStamp(0), nullptr);  // not base64
  EXPECT_EQ(root.GetSignatureTimeStamp(kMaxTimeStampSigners + 10), nullptr);
  EXPECT_EQ(root.GetSignatureTimeStamp(-1), nullptr);
  EXPECT_EQ(root.GetArchiveTimeStamp(0), nullptr);
  EXPECT_EQ(root.GetRefsTimeStamp(0), nullptr);
}

TEST(XmlSignedDocument, AnswersForMissingSignaturesAndContent) {
  const std::string two = Document(Sig("A") + Sig("B", "<xa:CompleteCertificateRefs/>"));
  XmlSignedDocument doc(Bytes(two), Length(two));
  int count = -1;
  EXPECT_EQ(doc.GetSignatureCount(&count), 0u);
  EXPECT_EQ(count, 2);
  for (int n : {2, 5, -1}) {
    EXPECT_EQ(doc.GetSignatureForms(n), kNoForms) << n;
    EXPECT_EQ(doc.GetLastResult(), kDocNoSignature) << n;
    EXPECT_EQ(doc.Verify(n), kDocNoSignature) << n;
    EXPECT_EQ(doc.VerifyRefsTimeStamp(n), kDocNoSignature) << n;
    EXPECT_EQ(doc.VerifyArchiveTimeStamp(n), kDocNoSignature) << n;
    EXPECT_EQ(doc.VerifyCertificateRefs(n), kDocNoTree) << n;
  }
  // The second signature has no complete references, whatever the first holds.
  const std::string firstWithRefs = Document(Sig("A", "<xa:CompleteCertificateRefs/>") + Sig("B"));
  XmlSignedDocument refs(Bytes(firstWithRefs), Length(firstWithRefs));
  EXPECT_EQ(refs.VerifyCertificateRefs(1), kDocNoCompleteRefs);
  EXPECT_EQ(refs.GetLastResult(), kDocNoCompleteRefs);
  EXPECT_NE(refs.VerifyCertificateRefs(0), kDocNoCompleteRefs);
  // The content Object is referenced, but no signature verifies: nothing
  // vouches for it. Nor for an Object no reference names.
  const std::string unreferenced = Document(
      "<ds:Signature Id=\"A\"><ds:SignedInfo/><ds:SignatureValue/><ds:KeyInfo><ds:X509Data>"
      "<ds:X509Certificate>AQID</ds:X509Certificate></ds:X509Data></ds:KeyInfo><ds:Object/>"
      "<ds:Object>podmieniona tresc</ds:Object></ds:Signature>");
  for (const std::string* xml : {&two, &unreferenced}) {
    XmlSignedDocument d(Bytes(*xml), Length(*xml));
    uint32_t size = 0;
    EXPECT_EQ(d.GetContent(nullptr, &size), kContentNotSigned);
    EXPECT_EQ(size, 0u);
  }
  // A certificate that signed nothing here.
  path::Party stranger{"Obcy"};
  crypto::Certificate foreign(path::Issue(stranger, stranger, path::Ca(5)));
  EXPECT_EQ(doc.FindSignerIndex(foreign), -1);
  crypto::Certificate none(nullptr, 0);
  EXPECT_EQ(doc.FindSignerIndex(none), -1);
}

// root -> ca -> leaf; the signature carries root and ca and their CRLs.
class EmbeddedValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rootCert_ = path::Issue(root_, root_, path::Ca(1));
    caCert_ = path::Issue(ca_, root_, path::Ca(2));
    leafCert_ = path::Issue(leaf_, ca_, path::Leaf(3));
  }
  static std::string B64(const platform::CertPtr& c) { return base64Encode(c->der()); }
  static std::string B64(const platform::CrlPtr& c) { return base64Encode(c->der()); }
  std::string Values(const std::vector<platform::CertPtr>& certs) const {
    std::string v = "<xa:CertificateValues>";
    for (const auto& c : certs) v += "<xa:EncapsulatedX509Certificate>" + B64(c) + "</xa:EncapsulatedX509Certificate>";
    return v + "</xa:CertificateValues><xa:RevocationValues><xa:CRLValues><xa:EncapsulatedCRLValue>" +
           B64(path::MakeCrl(ca_)) + "</xa:EncapsulatedCRLValue><xa:EncapsulatedCRLValue>" +
           B64(path::MakeCrl(root_)) + "</xa:EncapsulatedCRLValue></xa:CRLValues></xa:RevocationValues>";
  }
  // A counter-signed signature first, so that the one with the values is
  // third in the document and second among the top-level signatures.
  std::string Doc(const platform::CertPtr& signer, const std::vector<platform::CertPtr>& certs) const {
    return Document(Sig("A", Counter(Sig("A1"))) +
                    Sig("B", "<xa:CompleteCertificateRefs/>" + Values(certs), B64(signer)));
  }
  // The three checks that build the path from the values.
  static std::vector<uint32_t> Checks(const std::string& xml) {
    XadesSignatureNode root(Bytes(xml), Length(xml));
    EXPECT_FALSE(root.build_failed());
    return {xadesVerifyValues(Bytes(xml), Length(xml), 1),
            xadesVerifyCertificateRefs(Bytes(xml), Length(xml), 1, true),
            root.next() != nullptr ? root.next()->VerifyValues() : 0u};
  }

  path::StoreFolder stores_;
  path::Party root_{"Korzen Testowy"}, ca_{"Posredni Testowy"}, leaf_{"Podpisujacy"};
  platform::CertPtr rootCert_, caCert_, leafCert_;
};

TEST_F(EmbeddedValuesTest, APathMustEndInTheUsersStores) {
  const std::vector<uint32_t> failed(3, kEmbeddedPathFailed);
  // The document's own root is not trusted.
  EXPECT_EQ(Checks(Doc(leafCert_, {rootCert_, caCert_})), failed);
  // A self-signed signer brings nothing but itself.
  path::Party self{"Sam Sobie"};
  const auto selfSigned = path::Issue(self, self, path::Leaf(9));
  EXPECT_EQ(Checks(Doc(selfSigned, {selfSigned})), failed);
  // A path that does not close fails whatever the stores hold.
  stores_.AddCert("ROOT", rootCert_);
  EXPECT_EQ(Checks(Doc(leafCert_, {caCert_})), failed);
  // With the root in the user's store the path is accepted and the check
  // goes on to the values themselves.
  for (uint32_t rc : Checks(Doc(leafCert_, {rootCert_, caCert_}))) {
    EXPECT_NE(rc, kEmbeddedPathFailed);
    EXPECT_NE(rc, kNoSignerCertificate);
    EXPECT_NE(rc, 0u);  // no references match these values
  }
  // A signer certificate that does not decode; no signature 2.
  const std::string broken = Document(Sig("A", Values({rootCert_}), "AQID"));
  EXPECT_EQ(xadesVerifyValues(Bytes(broken), Length(broken), 0), kNoSignerCertificate);
  EXPECT_EQ(xadesVerifyValues(Bytes(broken), Length(broken), 2), kVerifyNotAcceptable);
  EXPECT_EQ(xadesVerifyCertificateRefs(Bytes(broken), Length(broken), 0, true), kNoSignerCertificate);
}

// An X-L signature whose references name exactly the values it carries:
// every entry point verifies it, and a reference or a value changed alone
// breaks the match. The names are PrintableStrings: the issuer text the
// references are compared on keeps no other string type.
TEST_F(EmbeddedValuesTest, MatchingReferencesAndValuesVerify) {
  const unsigned long savedMask = ASN1_STRING_get_default_mask();
  ASN1_STRING_set_default_mask_asc("default");
  const path::Party root{"Korzen Drukowany"}, ca{"Posredni Drukowany"}, leaf{"Podpisujacy Drukowany"};
  const platform::CertPtr rootCert = path::Issue(root, root, path::Ca(11)), caCert = path::Issue(ca, root, path::Ca(12)),
                          leafCert = path::Issue(leaf, ca, path::Leaf(13));
  const platform::CrlPtr caCrl = path::MakeCrl(ca), rootCrl = path::MakeCrl(root);
  path::CrlOptions later;
  later.this_update = 3600;
  const platform::CrlPtr laterRootCrl = path::MakeCrl(root, later);
  ASN1_STRING_set_default_mask(savedMask);
  stores_.AddCert("ROOT", rootCert);

  crypto::CertChainContext chain;
  chain.chains.emplace_back();
  chain.chains[0].elements.push_back({caCert, caCrl});
  chain.chains[0].elements.push_back({rootCert, rootCrl});
  XadesCertRefList certs;
  XadesCrlRefList crls;
  ASSERT_EQ(buildCertRefs(&certs, &chain), 0);
  ASSERT_EQ(buildCrlRefs(&crls, &chain), 0);
  const std::string sha1 = "<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/>";
  std::string refs = "<xa:CompleteCertificateRefs><xa:CertRefs>";
  for (const XadesCertRef& c : certs)
    refs += "<xa:Cert><xa:CertDigest>" + sha1 + "<ds:DigestValue>" + *c.digest +
            "</ds:DigestValue></xa:CertDigest><xa:IssuerSerial><ds:X509IssuerName>" + *c.issuer +
            "</ds:X509IssuerName><ds:X509SerialNumber>" + *c.serial +
            "</ds:X509SerialNumber></xa:IssuerSerial></xa:Cert>";
  refs += "</xa:CertRefs></xa:CompleteCertificateRefs><xa:CompleteRevocationRefs><xa:CRLRefs>";
  for (const XadesCrlRef& c : crls)
    refs += "<xa:CRLRef><xa:DigestAlgAndValue>" + sha1 + "<ds:DigestValue>" + *c.digest +
            "</ds:DigestValue></xa:DigestAlgAndValue><xa:CRLIdentifier><xa:Issuer>" + *c.issuer +
            "</xa:Issuer><xa:IssueTime>" + *c.issueTime + "</xa:IssueTime>" +
            (c.number ? "<xa:Number>" + *c.number + "</xa:Number>" : "") + "</xa:CRLIdentifier></xa:CRLRef>";
  refs += "</xa:CRLRefs></xa:CompleteRevocationRefs>";
  const auto values = [&](const platform::CrlPtr& rootCrlValue) {
    return "<xa:CertificateValues><xa:EncapsulatedX509Certificate>" + B64(caCert) +
           "</xa:EncapsulatedX509Certificate><xa:EncapsulatedX509Certificate>" + B64(rootCert) +
           "</xa:EncapsulatedX509Certificate></xa:CertificateValues><xa:RevocationValues><xa:CRLValues>"
           "<xa:EncapsulatedCRLValue>" + B64(caCrl) + "</xa:EncapsulatedCRLValue><xa:EncapsulatedCRLValue>" +
           B64(rootCrlValue) + "</xa:EncapsulatedCRLValue></xa:CRLValues></xa:RevocationValues>";
  };
  const auto doc = [&](const std::string& refsText, const std::string& valuesText) {
    return Document(Sig("A", Counter(Sig("A1"))) + Sig("B", refsText + valuesText, B64(leafCert)));
  };
  EXPECT_EQ(Checks(doc(refs, values(rootCrl))), std::vector<uint32_t>(3, 0u));

  // A later CRL of the root in place of the referenced one.
  for (uint32_t rc : Checks(doc(refs, values(laterRootCrl)))) EXPECT_NE(rc, 0u);
  // The first certificate reference's digest changed.
  std::string changed = refs;
  const size_t digest = changed.find("<ds:DigestValue>") + 16;
  changed[digest] = changed[digest] == 'A' ? 'B' : 'A';
  for (uint32_t rc : Checks(doc(changed, values(rootCrl)))) EXPECT_NE(rc, 0u);
}

TEST_F(EmbeddedValuesTest, ValuesAreReadFromTheSignatureItself) {
  const std::string xml = Doc(leafCert_, {rootCert_, caCert_});
  XadesSignatureNode root(Bytes(xml), Length(xml));
  ASSERT_NE(root.next(), nullptr);
  EXPECT_TRUE(getEncapsulatedCertificatesOf(root.entry()->signature).empty());
  EXPECT_EQ(getEncapsulatedCertificatesOf(root.next()->entry()->signature).size(), 2u);
  EXPECT_EQ(getEncapsulatedCrlsOf(root.next()->entry()->signature).size(), 2u);
}

}  // namespace
}  // namespace vel::xades
