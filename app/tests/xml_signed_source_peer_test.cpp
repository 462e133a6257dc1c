// The signed-source and signer wrappers over XML documents signed by
// xmlsec1 and xadesjs: one signature, two parallel, a counter-signature, and
// a signature time stamp from `openssl ts -reply` behind a responder on
// 127.0.0.1 added through the wrapper. Each node's kind, check and
// certificate, the full check of each signature (with the older edition's
// CRL settings) and the tree items the signatures page shows; a changed byte
// anywhere signed, or a form claimed without its backing, is never correct;
// the content presented and saved is only what a signature covers.
#include <gtest/gtest.h>

#include <functional>

#include "app/content_opener.h"
#include "app/message_catalog.h"
#include "app/registry_settings.h"
#include "app/signature_verifier.h"
#include "app/signed_content.h"
#include "app/signed_file.h"
#include "app/signed_source.h"
#include "app/tests/xml_documents.h"
#include "app/window_models.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/path_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_client.h"
#include "platform/registry.h"
#include "xades/tests/form_elements.h"
#include "xades/tests/trusted_tsa.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;
using xmltest::kContent;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

SignedSource Xml(const Bytes& b) {
  return SignedSource(b.data(), static_cast<uint32_t>(b.size()), nullptr, 0, true);
}

std::string ContentOf(const SignedSource& source, uint32_t* status) {
  uint32_t size = 0;
  *status = source.GetContent(nullptr, &size);
  if (*status != 234) return {};
  std::string out(size, '\0');
  *status = source.GetContent(reinterpret_cast<uint8_t*>(out.data()), &size);
  out.resize(*status == 0 ? size : 0);
  return out;
}

// "1" signature, "2" counter-signature, "3" time-stamp signer: the tree in
// document order, children in brackets.
std::string Shape(const SignerRef* ref) {
  std::string out;
  for (std::unique_ptr<SignerRef> next; ref != nullptr; ref = (next = ref->GetNext()).get()) {
    out += std::to_string(ref->GetNodeKind());
    const auto child = ref->GetFirstChild();
    const auto stamp = ref->GetFirstTimeStamp();
    if (child || stamp) out += "[" + Shape(child.get()) + Shape(stamp.get()) + "]";
  }
  return out;
}

// Every node's own check.
void ForEachNode(const SignerRef* ref, const std::function<void(const SignerRef&)>& f) {
  for (std::unique_ptr<SignerRef> next; ref != nullptr; ref = (next = ref->GetNext()).get()) {
    f(*ref);
    ForEachNode(ref->GetFirstChild().get(), f);
    ForEachNode(ref->GetFirstTimeStamp().get(), f);
  }
}

class XmlSignedSourcePeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"xmlsec1", "openssl", "node", "python3"})
      ASSERT_TRUE(vel::test::HaveTool(tool)) << tool << ": run scripts/deps.sh";
    pki_ = std::make_unique<vel::test::TestPki>();
    setenv("VELDOC_REGISTRY_DIR", (pki_->dir.path() / "registry").c_str(), 1);
    xmltest::AddToStore("ROOT", pki_->ca.cert);
    tsa_ = std::make_unique<vel::test::TestTsa>();
    xades::test::TrustTsa(*tsa_);  // its root with a current CRL: the time stamps check fully
    responder_ = std::make_unique<vel::test::TsaResponder>(tsa_dir_.path(), *tsa_);
    const auto dir = pki_->dir.path();
    a_ = xmltest::WriteSigner(pki_->signer.x509.get(), pki_->signer.key.get(), dir, "a");
    b_ = xmltest::WriteSigner(pki_->cosigner.x509.get(), pki_->cosigner.key.get(), dir, "b");
    one_ = xmltest::OneSignature(a_, dir);
    parallel_ = xmltest::TwoParallel(a_, b_, dir);
    counter_ = xmltest::CounterSigned(a_, b_, dir);
    js_ = xmltest::XadesJsSignature(a_, dir);
    // The outside verifier agrees that the documents are good.
    for (const auto& [doc, id] : {std::pair{one_, "Sig-A"}, {parallel_, "Sig-B"}, {counter_, "Sig-CS"}}) {
      const auto r = xmltest::XmlSecVerify(doc, id, dir / "ca.pem", dir);
      EXPECT_EQ(r.exit_code, 0) << id << "\n" << r.output;
    }
  }
  static void TearDownTestSuite() {
    responder_.reset();
    tsa_.reset();
    pki_.reset();
  }

  // The document with a signature time stamp on signature 0, through the
  // wrapper: its time-stamp input sent to the responder, the token added.
  static std::string TimeStamped(const std::string& doc) {
    const Bytes bytes = B(doc);
    SignedSource source = Xml(bytes);
    uint32_t size = 0;
    EXPECT_EQ(source.GetTimeStampInput(0, nullptr, &size), 234u);
    Bytes input(size);
    EXPECT_EQ(source.GetTimeStampInput(0, input.data(), &size), 0u);
    crypto::TspContextPtr ctx(crypto::TspContextCreate());
    EXPECT_EQ(crypto::TspBuildRequest(ctx.get(), input.data(), size, nullptr, 1, 1, nullptr), 0u);
    EXPECT_EQ(crypto::TspSendRequest(ctx.get(), responder_->Url("/tsa").c_str()), 0u);
    uint32_t token_size = 0;
    EXPECT_EQ(crypto::TspGetToken(ctx.get(), nullptr, &token_size), 234u);
    Bytes token(token_size);
    EXPECT_EQ(crypto::TspGetToken(ctx.get(), token.data(), &token_size), 0u);
    EXPECT_EQ(source.AddSignatureTimeStamp(0, token.data(), token_size), 0u);
    const auto held = source.xml_bytes();
    return std::string(held.begin(), held.end());
  }

  static inline std::unique_ptr<vel::test::TestPki> pki_;
  static inline std::unique_ptr<vel::test::TestTsa> tsa_;
  static inline vel::test::TempDir tsa_dir_;
  static inline std::unique_ptr<vel::test::TsaResponder> responder_;
  static inline xmltest::XmlSigner a_, b_;
  static inline std::string one_, parallel_, counter_, js_;
  CMessageTable catalog_{1045};
};

TEST_F(XmlSignedSourcePeer, EachFixtureReadsAndVerifiesThroughTheWrappers) {
  struct Case {
    const char* what;
    std::string xml;
    uint32_t count;
    const char* shape;
    std::vector<std::string> names;  // item texts, in tree order
  };
  const std::string stamped = TimeStamped(one_);
  ASSERT_FALSE(stamped.empty());
  const Case cases[] = {
      {"one signature", one_, 1, "1", {"Jan Kowalski (XAdES)"}},
      {"xadesjs", js_, 1, "1", {"Jan Kowalski (XAdES)"}},
      {"two parallel", parallel_, 2, "11", {"Jan Kowalski (XAdES)", "Piotr Wisniewski (XAdES)"}},
      {"counter-signature", counter_, 1, "1[2]", {"Jan Kowalski (XAdES)", "Piotr Wisniewski (XAdES)"}},
      {"signature time stamp", stamped, 1, "1[3]", {"Jan Kowalski (XAdES)", "Test TSA"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = B(c.xml);
    SignedSource source = Xml(bytes);
    ASSERT_EQ(source.kind(), SignedSource::kXmlDocument);
    EXPECT_EQ(source.GetLastResult(), 0u);
    uint32_t count = 0;
    EXPECT_EQ(source.GetSignerCount(&count), 0u);
    EXPECT_EQ(count, c.count);
    uint32_t status = 0;
    EXPECT_EQ(ContentOf(source, &status), kContent);
    EXPECT_EQ(source.GetSignatureForms(0), 0);

    std::unique_ptr<SignerRef> root = source.CreateSignerRef();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->kind(), SignerRef::kXades);
    EXPECT_EQ(Shape(root.get()), c.shape);
    ForEachNode(root.get(), [](const SignerRef& ref) {
      EXPECT_EQ(ref.Verify(), 0u) << "node kind " << ref.GetNodeKind();
      // The node keeps its certificate; each call hands out a new object over it.
      auto first = ref.GetCertificate(), second = ref.GetCertificate();
      ASSERT_TRUE(first && second);
      EXPECT_NE(first.get(), second.get());
      EXPECT_EQ(first->IsSame(*second), 1);
    });
    auto certificate = source.GetSignerCertificate(0);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(source.FindSignerIndex(*certificate), 0);
    // No CRL can be had for the test PKI: the full check stops at the
    // certificate, incomplete, for every signature.
    for (uint32_t i = 0; i < c.count; ++i) EXPECT_EQ(source.VerifySigner(i), 1u) << i;

    CSignatureVerifier verifier(catalog_, false, {});
    const SourceVerdict verdict = VerifySource(verifier, source);
    std::vector<std::string> names;
    std::function<void(const std::vector<SignatureTreeItem>&)> walk = [&](const auto& items) {
      for (const SignatureTreeItem& item : items) {
        names.push_back(item.text);
        walk(item.children);
      }
    };
    walk(verdict.items);
    EXPECT_EQ(names, c.names);
    ASSERT_FALSE(verdict.items.empty());
    EXPECT_TRUE(verdict.items[0].detail.starts_with("Podpis dokumentu - XAdES\r\n")) << verdict.items[0].detail;
    EXPECT_EQ(verdict.worst, kClassIncomplete);
  }
}

TEST_F(XmlSignedSourcePeer, ChangedBytesAreNeverCorrect) {
  const std::string stamped = TimeStamped(one_);
  struct Case {
    const char* what;
    std::string xml;
  };
  const Case cases[] = {
      {"content", xmltest::Replaced(one_, "1200.00", "9200.00")},
      {"the second parallel signature's signing time",
       [&] {
         std::string t = parallel_;
         t.replace(t.find("2026-12-01T10", t.find("Id=\"Sig-B\"")), 13, "2026-12-02T10");
         return t;
       }()},
      {"signing time", xmltest::Replaced(one_, "2026-12-01T10", "2026-12-02T10")},
      {"counter-signature's signing time",
       [&] {
         std::string t = counter_;
         t.replace(t.find("2026-12-01T10", t.find("Id=\"Sig-CS\"")), 13, "2026-12-02T10");
         return t;
       }()},
      {"time-stamp token", [&] {
         std::string t = stamped;
         const size_t at = t.find("EncapsulatedTimeStamp");
         const size_t end = t.find('<', t.find('>', at));
         char& c = t[end - 8];
         c = c == 'A' ? 'B' : 'A';
         return t;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = B(c.xml);
    SignedSource source = Xml(bytes);
    ASSERT_EQ(source.kind(), SignedSource::kXmlDocument);
    uint32_t count = 0;
    ASSERT_EQ(source.GetSignerCount(&count), 0u);
    std::unique_ptr<SignerRef> root = source.CreateSignerRef();
    bool any_failed = root == nullptr;
    ForEachNode(root.get(), [&](const SignerRef& ref) { any_failed |= ref.Verify() != 0; });
    EXPECT_TRUE(any_failed);
    bool any_signature_failed = false;
    for (uint32_t i = 0; i < count; ++i) any_signature_failed |= source.VerifySigner(i) != 0;
    EXPECT_TRUE(any_signature_failed);
    CSignatureVerifier verifier(catalog_, false, {});
    EXPECT_EQ(VerifySource(verifier, source).worst, kClassInvalid);
  }
  // The changed content itself is never handed out.
  const Bytes changed = B(xmltest::Replaced(one_, "1200.00", "9200.00"));
  uint32_t status = 0;
  EXPECT_EQ(ContentOf(Xml(changed), &status), "");
  EXPECT_NE(status, 0u);
}

// Unsigned properties that claim a form above BES without backing it: the
// form is named in the tree, and the signature is never correct.
TEST_F(XmlSignedSourcePeer, ClaimedFormsAreNamedAndChecked) {
  const std::string refs =
      "<xades:CompleteCertificateRefs><xades:CertRefs/></xades:CompleteCertificateRefs>"
      "<xades:CompleteRevocationRefs/>";
  const std::string token = "<xades:EncapsulatedTimeStamp>MIIBAAAA</xades:EncapsulatedTimeStamp>";
  struct Case {
    const char* what;
    std::string properties;
    int form_bit;
  };
  const Case cases[] = {
      {"C", refs, 1},
      {"X", refs + "<xades:SigAndRefsTimeStamp>" + token + "</xades:SigAndRefsTimeStamp>", 2},
      {"X-L", refs + "<xades:CertificateValues/><xades:RevocationValues/>", 4},
      {"A", "<xades:ArchiveTimeStamp>" + token + "</xades:ArchiveTimeStamp>", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = B(xmltest::Replaced(
        one_, "</xades:QualifyingProperties>",
        "<xades:UnsignedProperties><xades:UnsignedSignatureProperties>" + c.properties +
            "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties>"));
    SignedSource source = Xml(bytes);
    ASSERT_EQ(source.kind(), SignedSource::kXmlDocument);
    const int forms = source.GetSignatureForms(0);
    EXPECT_NE(forms & c.form_bit, 0) << forms;
    std::unique_ptr<SignerRef> root = source.CreateSignerRef();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetForms(), forms);
    EXPECT_NE(root->Verify(), 0u);
    EXPECT_NE(source.VerifySigner(0), 0u);
    CSignatureVerifier verifier(catalog_, false, {});
    const SourceVerdict verdict = VerifySource(verifier, source);
    EXPECT_EQ(verdict.worst, kClassInvalid);
    ASSERT_EQ(verdict.items.size(), 1u);
    EXPECT_EQ(verdict.items[0].text, "Jan Kowalski" + XadesFormSuffix(catalog_, forms, "").text);
  }
}

// XAdES-C and X-L built for real: references and values for a path whose
// root's CRL is in the library's CRL store, on a signature that also holds a
// time stamp from the responder. The wrappers and the tree read each form as
// correct and name it; a reference or value that is not the path's never is.
TEST_F(XmlSignedSourcePeer, CompleteFormsOverARealPath) {
  namespace path = vel::test::path;
  const auto dir = pki_->dir.path() / "forms";
  std::filesystem::create_directories(dir);
  path::Party root{"Korzen Form"}, signer{"Ewa Nowak"};
  signer.key.reset(EVP_RSA_gen(2048));
  const auto root_cert = path::Issue(root, root, path::Ca(1));
  const auto signer_cert = path::Issue(signer, root, path::Leaf(9));
  xmltest::AddToStore("ROOT", root_cert);
  const platform::CrlPtr crl = path::MakeCrl(root);
  path::CrlOptions earlier;
  earlier.this_update = -2 * path::kDay;
  const platform::CrlPtr other_crl = path::MakeCrl(root, earlier);
  {
    std::unique_ptr<platform::CertStore> crls;
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, crypto::kCrlStoreName, &crls), 0u);
    ASSERT_EQ(crls->AddCrl(crl, platform::AddDisposition::kReplaceExisting), 0u);
  }
  const auto der = [](std::span<const uint8_t> d) { return Bytes(d.begin(), d.end()); };
  crypto::CertChainContext chain;
  chain.chains.emplace_back();
  chain.chains[0].elements.push_back({signer_cert, crl});
  chain.chains[0].elements.push_back({root_cert, nullptr});
  const std::vector<Bytes> certs = {der(signer_cert->der()), der(root_cert->der())};
  const auto good = xades::test::BuildFormParts(chain, certs, {der(crl->der())}, "", "P:");
  auto other_values = good;
  other_values.crlValues = xades::test::CrlValueXml(der(other_crl->der()), "P:");
  crypto::CertChainContext other_chain = chain;
  other_chain.chains[0].elements[0].base_crl = other_crl;
  const auto other_refs = xades::test::BuildFormParts(other_chain, certs, {der(other_crl->der())}, "", "P:");
  const std::string stamped =
      TimeStamped(xmltest::OneSignature(xmltest::WriteSigner(signer_cert->x509(), signer.key.get(), dir, "e"), dir));
  ASSERT_FALSE(stamped.empty());

  struct Case {
    const char* what;
    std::string properties;
    int forms;
    const char* suffix;  // of the item's text
    int worst;
  };
  const Case cases[] = {
      {"C", xades::test::CompleteRefsXml(good), 1, "-C", kClassCorrect},
      {"X-L", xades::test::CompleteRefsXml(good) + xades::test::ValuesXml(good), 5, "-X-L", kClassCorrect},
      {"C naming a CRL that is not the path's", xades::test::CompleteRefsXml(other_refs), 1, "-C", kClassInvalid},
      {"X-L with a CRL value its reference does not name",
       xades::test::CompleteRefsXml(good) + xades::test::ValuesXml(other_values), 5, "-X-L", kClassInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = B(xades::test::InsertUnsignedProperty(stamped, c.properties));
    SignedSource source = Xml(bytes);
    ASSERT_EQ(source.kind(), SignedSource::kXmlDocument);
    EXPECT_EQ(source.GetSignatureForms(0), c.forms);
    std::unique_ptr<SignerRef> root_ref = source.CreateSignerRef();
    ASSERT_TRUE(root_ref);
    EXPECT_EQ(Shape(root_ref.get()), "1[3]");
    EXPECT_EQ(root_ref->GetNodeKind(), 1);
    EXPECT_EQ(root_ref->GetForms(), c.forms);
    EXPECT_EQ(root_ref->GetFirstTimeStamp()->GetNodeKind(), 3);
    const bool correct = c.worst == kClassCorrect;
    EXPECT_EQ(root_ref->Verify() == 0, correct);
    EXPECT_EQ(source.VerifySigner(0) == 0, correct);

    CSignatureVerifier verifier(catalog_, false, {});
    const SourceVerdict verdict = VerifySource(verifier, source);
    EXPECT_EQ(verdict.worst, c.worst);
    ASSERT_EQ(verdict.items.size(), 1u);
    const SignatureTreeItem& item = verdict.items[0];
    EXPECT_EQ(item.text, std::string("Ewa Nowak (XAdES") + c.suffix + ")");
    EXPECT_TRUE(item.detail.starts_with(std::string("Podpis dokumentu - XAdES") + c.suffix + "\r\n")) << item.detail;
    EXPECT_EQ(item.image, c.worst);
    ASSERT_EQ(item.children.size(), 1u);
    EXPECT_EQ(item.children[0].text, "Test TSA");
    EXPECT_EQ(item.children[0].image, 3 + kClassCorrect);
  }
}

TEST_F(XmlSignedSourcePeer, WhatIsNoSignedDocumentHasNoKind) {
  for (const std::string& text : {std::string("not xml at all"), std::string("<a><b></a>"), std::string()}) {
    SCOPED_TRACE(text);
    const Bytes bytes = B(text);
    SignedSource source = Xml(bytes);
    EXPECT_EQ(source.kind(), SignedSource::kNone);
    uint32_t count = 7;
    EXPECT_EQ(source.GetSignerCount(&count), static_cast<uint32_t>(-1));
    EXPECT_EQ(source.CreateSignerRef(), nullptr);
    EXPECT_EQ(source.GetSignatureForms(0), -1);
    EXPECT_EQ(source.VerifySigner(0), static_cast<uint32_t>(-1));
  }
  // Well-formed XML without a signature: readable, nothing to show or hand out.
  const Bytes plain = B("<?xml version=\"1.0\"?><umowa>tekst</umowa>");
  SignedSource source = Xml(plain);
  ASSERT_EQ(source.kind(), SignedSource::kXmlDocument);
  uint32_t count = 7;
  EXPECT_EQ(source.GetSignerCount(&count), 0u);
  EXPECT_EQ(count, 0u);
  uint32_t status = 0;
  EXPECT_EQ(ContentOf(source, &status), "");
  EXPECT_NE(status, 0u);
}

// The full check of an XML signature takes its CRL addresses from the older
// edition's CRL key (the user's when its default value is "1", else the
// machine's), never from the current settings.
TEST_F(XmlSignedSourcePeer, FullCheckUsesTheOlderEditionsCrlAddresses) {
  const auto dir = pki_->dir.path() / "older";
  std::filesystem::create_directories(dir / "www");
  test::path::Party root{"Korzen Starszej Edycji"}, signer{"Adam Starszy"};
  signer.key.reset(EVP_RSA_gen(2048));
  const auto root_cert = test::path::Issue(root, root, test::path::Ca(1));
  const auto signer_cert = test::path::Issue(signer, root, test::path::Leaf(5));
  xmltest::AddToStore("ROOT", root_cert);
  test::StaticFileServer files(dir / "www");
  const auto crl = test::path::MakeCrl(root);
  files.Publish("root.crl", {crl->der().begin(), crl->der().end()});
  const std::string url = files.Url("root.crl");
  const Bytes doc = B(xmltest::OneSignature(xmltest::WriteSigner(signer_cert->x509(), signer.key.get(), dir, "s"), dir));

  const std::string older = std::string(kOlderEditionKey) + "\\" + kSubkeyOlderCrl;
  struct Case {
    const char* what;
    std::function<void()> settings;
    uint32_t want;
  };
  const Case cases[] = {
      {"only the current settings name the CRL",
       [&] { ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueCrlUrls, url), 0u); }, 1},
      {"the machine's older key names it", [&] { ASSERT_EQ(WriteRegString(RegHive::kLocalMachine, older, "Korzen", url), 0u); },
       0},
      {"the user's older key, switched on, names only an address that does not answer",
       [&] {
         ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, older, "", "1"), 0u);
         ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, older, "Inny", "http://127.0.0.1:1/none.crl"), 0u);
       },
       1},
      {"the user's older key, switched off", [&] { ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, older, "", "0"), 0u); },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.settings();
    ASSERT_EQ(crypto::Certificate::DeleteCachedCrls(crypto::CERT_SYSTEM_STORE_CURRENT_USER), 0u);
    const SignedSource source = Xml(doc);
    EXPECT_EQ(source.VerifySigner(0), c.want);
  }
  const auto entries = ReadOlderCrlAddresses();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "Korzen");
  EXPECT_EQ(entries[0].url, url);
  platform::RegDeleteTree(RegHive::kCurrentUser, kOlderEditionKey);
  platform::RegDeleteTree(RegHive::kLocalMachine, kOlderEditionKey);
}

// What the viewer presents and saves: only content that a correct signature
// covers, nothing when there is none.
TEST_F(XmlSignedSourcePeer, ContentPresentedIsTheSignedContentOrNothing) {
  const auto dir = pki_->dir.path();
  vel::test::WriteFileText(dir / "content.txt", kContent);
  xmltest::Run("openssl cms -sign -binary -in " + xmltest::Q(dir / "content.txt") + " -signer " +
               xmltest::Q(a_.cert_pem) + " -inkey " + xmltest::Q(a_.key_pem) + " -outform DER -out " +
               xmltest::Q(dir / "detached.p7"));
  xmltest::Run("openssl cms -sign -nodetach -binary -in " + xmltest::Q(dir / "content.txt") + " -signer " +
               xmltest::Q(a_.cert_pem) + " -inkey " + xmltest::Q(a_.key_pem) + " -outform DER -out " +
               xmltest::Q(dir / "attached.p7"));
  struct Case {
    const char* what;
    std::string name;
    Bytes bytes;
    SignedContent::Verdict verdict;
    std::string content;
  };
  const Case cases[] = {
      {"XML, one signature", "umowa.txt.xml", B(one_), SignedContent::kContent, kContent},
      {"XML by xadesjs", "umowa.txt_1.xml", B(js_), SignedContent::kContent, kContent},
      {"XML, changed content", "umowa.xml", B(xmltest::Replaced(one_, "1200.00", "9200.00")),
       SignedContent::kFailed, ""},
      {"XML without signatures", "umowa.xml", B("<?xml version=\"1.0\"?><umowa>tekst</umowa>"),
       SignedContent::kNoSignatures, ""},
      {"not XML", "umowa.xml", B("tekst"), SignedContent::kNoSignatures, ""},
      {"attached .p7", "umowa.txt.p7", vel::test::ReadFileBytes(dir / "attached.p7"), SignedContent::kContent,
       kContent},
      {"detached .p7", "umowa.txt.p7", vel::test::ReadFileBytes(dir / "detached.p7"), SignedContent::kEmpty, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CSignedFile file;
    ASSERT_EQ(file.LoadBytes(c.name, c.bytes, false), 1);
    const int kind = KindForPath(c.name);
    const SignedContent content = SignedContentOf(file, kind);
    EXPECT_EQ(content.verdict, c.verdict);
    EXPECT_EQ(std::string(content.bytes.begin(), content.bytes.end()), c.content);
    if (c.verdict == SignedContent::kFailed) {
      EXPECT_NE(content.status, 0u);
    }
    if (kind == kKindXml) {
      EXPECT_EQ(ContentNameFromPath(c.name), c.name.starts_with("umowa.txt") ? "umowa.txt" : "umowa.xml");
    }
  }
}

}  // namespace
}  // namespace vel::app
