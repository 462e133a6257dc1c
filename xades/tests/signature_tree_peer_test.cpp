// The signature tree over documents signed for real: two parallel signatures
// made by our signing, a counter-signature of the first made with OpenSSL,
// and two signature time stamps from `openssl ts -reply`. Every node must
// verify, each time-stamp signer must carry the genTime openssl prints, and
// each tampering must mark its own nodes and no other. Signing goes through
// XmlSignedDocument with a key on a SoftHSM2 token.
#include "xades/xml_signed_document.h"

#include <gtest/gtest.h>
#include <libxml/c14n.h>
#include <openssl/evp.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>

#include "cryptolib/tests/tsa_fixture.h"
#include "xades/base64.h"
#include "xades/crypto_helpers.h"
#include "xades/node_helpers.h"
#include "xades/tests/sign_fixture.h"
#include "xades/tests/trusted_tsa.h"
#include "xades/tests/xades_peer_fixture.h"
#include "xades/verification.h"

namespace vel::xades {
namespace {

using test::AsBytes;
using test::AsText;
using test::Bytes;
using test::Q;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// One base64 character of the text after `marker` changed (still base64).
std::string Flipped(std::string text, const std::string& marker, size_t offset = 8) {
  const size_t at = text.find(marker);
  EXPECT_NE(at, std::string::npos) << marker;
  if (at == std::string::npos) return text;
  char& c = text[at + marker.size() + offset];
  c = c == 'A' ? 'B' : 'A';
  return text;
}

// The inclusive canonical text of the element where it stands: libxml2's
// canonicalisation of the document subset the element heads, as xmlsec1
// forms it (the namespaces in scope above it included).
std::string CanonicalInPlace(const xmlNode* element) {
  const xmlC14NIsVisibleCallback inSubtree = [](void* top, xmlNode* node, xmlNode* parent) {
    const xmlNode* n = node == nullptr || node->type == XML_NAMESPACE_DECL ? parent : node;
    for (; n != nullptr; n = n->parent)
      if (n == top) return 1;
    return 0;
  };
  xmlBuffer* buffer = xmlBufferCreate();
  xmlOutputBuffer* out = xmlOutputBufferCreateBuffer(buffer, nullptr);
  const int rc = xmlC14NExecute(element->doc, inSubtree, const_cast<xmlNode*>(element), XML_C14N_1_0,
                                nullptr, 0, out);
  xmlOutputBufferClose(out);
  std::string text = rc < 0 ? std::string()
                            : std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                                          static_cast<size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return text;
}

xmlNode* Select(xmlDoc* doc, const std::string& xpath) {
  XPathContextPtr ctx = xadesNewXPathContext(doc);
  XPathObjectPtr found = xadesEval(ctx.get(), xpath.c_str());
  const auto nodes = nodesOf(found.get());
  return nodes.size() == 1 ? nodes[0] : nullptr;
}

// "Time stamp: Dec  1 09:05:03 2026 GMT" as the tree writes it.
std::string TimeText(const std::string& openssl_text) {
  const size_t at = openssl_text.find("Time stamp: ");
  if (at == std::string::npos) return {};
  char month[4] = {};
  int day = 0, h = 0, m = 0, s = 0, year = 0;
  if (std::sscanf(openssl_text.c_str() + at + 12, "%3s %d %d:%d:%d %d", month, &day, &h, &m, &s,
                  &year) != 6)
    return {};
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const size_t mon = months.find(month) / 3 + 1;
  char out[80];
  std::snprintf(out, sizeof out, "%04d-%02zu-%02d %02d:%02d:%02d UTC", year, mon, day, h, m, s);
  return out;
}

class SignatureTreePeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(vel::test::HaveTool("openssl"));
    ASSERT_TRUE(vel::test::HaveTool("softhsm2-util")) << "run scripts/deps.sh";
    ASSERT_TRUE(vel::test::HaveTool("pkcs11-tool")) << "run scripts/deps.sh";
    pki_ = std::make_unique<vel::test::TestPki>();
    token_ = std::make_unique<vel::test::SoftHsmToken>();
    card_ = std::make_unique<vel::test::TestIdentity>(
        vel::test::MakeIdentity("Karta Drzewa", &pki_->ca, {0x0D, 0x01}, false, false));
    token_->Put(*card_, "0d", "drzewo-xml");
    pki_->AddToMy(*card_);
    const platform::KeyReference ref{platform::KeyReference::Kind::kPkcs11Object,
                                     token_->Uri("0d")};
    ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *card_->cert, ref), 0u);
    tsa_ = std::make_unique<vel::test::TestTsa>();
    test::TrustTsa(*tsa_);
    config_ = tsa_->WriteFiles(pki_->dir.path());
    vel::test::ScriptedPin pin;
    pin.Install();
    BuildDocument();
  }
  static void TearDownTestSuite() {
    tsa_.reset();
    card_.reset();
    token_.reset();
    pki_.reset();
  }
  void SetUp() override { pin_.Install(); }

  // The default document whose template signature carries a certificate, so
  // that the whole document loads (its own signature value is not real).
  static std::string Template() {
    return Replaced(test::DefaultDocument(), "</ds:SignatureValue>",
                    "</ds:SignatureValue><ds:KeyInfo><ds:X509Data><ds:X509Certificate>" +
                        base64Encode(pki_->ca.cert->der()) +
                        "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>");
  }

  // A token over `data` from `openssl ts -reply`, and the time it prints.
  static Bytes Stamp(const std::string& data, const char* digest, std::string* time) {
    const auto dir = pki_->dir.path();
    vel::test::WriteFileText(dir / "ts.in", data);
    for (const std::string& command :
         {"openssl ts -query -data " + Q(dir / "ts.in") + " -" + digest + " -cert -out " +
              Q(dir / "ts.tsq"),
          "openssl ts -reply -config " + Q(config_) + " -queryfile " + Q(dir / "ts.tsq") +
              " -out " + Q(dir / "ts.tsr"),
          "openssl ts -reply -in " + Q(dir / "ts.tsr") + " -token_out -out " + Q(dir / "ts.der")}) {
      const auto r = vel::test::RunCommand(command + " 2>&1");
      EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output;
    }
    const auto r = vel::test::RunCommand("openssl ts -reply -in " + Q(dir / "ts.tsr") + " -text");
    *time = TimeText(r.output);
    EXPECT_FALSE(time->empty()) << r.output;
    return vel::test::ReadFileBytes(dir / "ts.der");
  }

  // What a time stamp of signature n covers, as the program asks for it.
  static std::string TimeStampInput(XmlSignedDocument& doc, int n) {
    uint32_t size = 0;
    EXPECT_EQ(doc.GetTimeStampInput(n, nullptr, &size), 234u);
    std::string input(size, '\0');
    EXPECT_EQ(doc.GetTimeStampInput(n, reinterpret_cast<uint8_t*>(input.data()), &size), 0u);
    input.resize(size);
    return input;
  }

  // A (Signature-1) and B (Signature-2) over the content Objects, which then
  // stand alone under the root; two signature time stamps on A; a
  // counter-signature of A by the co-signer.
  static void BuildDocument() {
    XmlSignedDocument doc(AsBytes(Template()).data(), static_cast<uint32_t>(Template().size()));
    ASSERT_EQ(doc.Sign(pki_->signer.cert.get()), 0u);
    ASSERT_EQ(doc.Sign(pki_->cosigner.cert.get()), 0u);
    const std::string signedText = AsText(Bytes(doc.bytes().begin(), doc.bytes().end()));
    std::string parallel = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Signatures>";
    for (const char* id : {"Object-1", "Object-2"})
      parallel += test::WithDsDeclaration(
          test::ElementText(signedText, "ds:Object", std::string("Id=\"") + id + "\""));
    for (const char* id : {"Signature-1", "Signature-2"})
      parallel += test::ElementText(signedText, "ds:Signature", std::string("Id=\"") + id + "\"");
    parallel += "</Signatures>";

    XmlSignedDocument stamped(AsBytes(parallel).data(), static_cast<uint32_t>(parallel.size()));
    for (const char* digest : {"sha1", "sha256"}) {
      std::string time;
      const Bytes token = Stamp(TimeStampInput(stamped, 0), digest, &time);
      ASSERT_EQ(stamped.AddSignatureTimeStamp(0, token.data(), static_cast<uint32_t>(token.size())),
                0u);
      times_.push_back(time);
    }
    full_ = CounterSign(AsText(Bytes(stamped.bytes().begin(), stamped.bytes().end())));
  }

  // Adds an RSA-SHA1 XAdES counter-signature of A's SignatureValue made with
  // the co-signer's key at the end of A's unsigned signature properties; its
  // signed properties name the co-signer's certificate.
  static std::string CounterSign(std::string text) {
    const size_t opening = text.find("UnsignedSignatureProperties>");  // A's, the first
    const size_t lt = text.rfind('<', opening);
    const std::string prefix = text.substr(lt + 1, opening - lt - 1);
    const size_t open = text.find("</" + prefix + "UnsignedSignatureProperties>", opening);
    const platform::CertContext& cosigner = *pki_->cosigner.cert;
    const std::string sha1 = "<ds:DigestMethod Algorithm=\"" + std::string(kSha1) + "\"/>";
    const std::string counter =
        "<" + prefix + "CounterSignature><ds:Signature xmlns:ds=\"" + kXmlDsigNs +
        "\" Id=\"Signature-1-CS\"><ds:SignedInfo><ds:CanonicalizationMethod Algorithm=\"" +
        kC14nInclusive + "\"/><ds:SignatureMethod Algorithm=\"" + kRsaSha1 +
        "\"/><ds:Reference Type=\"http://uri.etsi.org/01903#CountersignedSignature\" "
        "URI=\"#SignatureValue-1\">" + sha1 + "<ds:DigestValue>DIGEST</ds:DigestValue></ds:Reference>"
        "<ds:Reference Type=\"" + kSignedPropertiesType + "\" URI=\"#SignedProperties-1-CS\">" + sha1 +
        "<ds:DigestValue>PROPERTIES</ds:DigestValue></ds:Reference></ds:SignedInfo>"
        "<ds:SignatureValue>VALUE</ds:SignatureValue><ds:KeyInfo><ds:X509Data><ds:X509Certificate>" +
        base64Encode(cosigner.der()) +
        "</ds:X509Certificate></ds:X509Data></ds:KeyInfo><ds:Object><xades:QualifyingProperties xmlns:xades=\"" +
        kXadesNs + "\" Target=\"#Signature-1-CS\"><xades:SignedProperties Id=\"SignedProperties-1-CS\">"
        "<xades:SignedSignatureProperties><xades:SigningCertificate><xades:Cert><xades:CertDigest>" + sha1 +
        "<ds:DigestValue>" + *digestBase64(cosigner.der(), kDigestSha1) +
        "</ds:DigestValue></xades:CertDigest><xades:IssuerSerial><ds:X509IssuerName>" +
        *sizeRuleText([&](char* b, uint32_t* n) { return getCertIssuerText(&cosigner, b, n); }) +
        "</ds:X509IssuerName><ds:X509SerialNumber>" +
        *getCertSerialDecimal(&cosigner) +
        "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert></xades:SigningCertificate>"
        "</xades:SignedSignatureProperties></xades:SignedProperties></xades:QualifyingProperties></ds:Object>"
        "</ds:Signature></" + prefix + "CounterSignature>";
    text.insert(open, counter);
    XmlDocPtr doc = xadesParseMemory(text);
    for (const auto& [marker, id] : {std::pair<std::string, std::string>{"DIGEST", "SignatureValue-1"},
                                     {"PROPERTIES", "SignedProperties-1-CS"}}) {
      const std::string value = CanonicalInPlace(Select(doc.get(), "//*[@Id='" + id + "']"));
      text = Replaced(text, marker,
                      *digestBase64(std::span(reinterpret_cast<const uint8_t*>(value.data()), value.size()),
                                    kDigestSha1));
    }
    doc = xadesParseMemory(text);
    const std::string info = CanonicalInPlace(
        Select(doc.get(), "//xmldsig:Signature[@Id='Signature-1-CS']/xmldsig:SignedInfo"));
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    size_t length = 0;
    EXPECT_EQ(EVP_DigestSignInit(md, nullptr, EVP_sha1(), nullptr, pki_->cosigner.key.get()), 1);
    EXPECT_EQ(EVP_DigestSign(md, nullptr, &length,
                             reinterpret_cast<const uint8_t*>(info.data()), info.size()),
              1);
    Bytes signature(length);
    EXPECT_EQ(EVP_DigestSign(md, signature.data(), &length,
                             reinterpret_cast<const uint8_t*>(info.data()), info.size()),
              1);
    EVP_MD_CTX_free(md);
    signature.resize(length);
    return Replaced(text, "VALUE", base64Encode(signature));
  }

  // The k-th EncapsulatedTimeStamp text replaced by what `change` makes of it.
  static std::string WithToken(const std::string& text, int k,
                               const std::function<std::string(const std::string&)>& change) {
    size_t at = 0;
    for (int i = 0; i <= k; ++i) at = text.find("EncapsulatedTimeStamp Encoding=", at + 1);
    const size_t start = text.find('>', at) + 1;
    const size_t end = text.find('<', start);
    return text.substr(0, start) + change(text.substr(start, end - start)) + text.substr(end);
  }
  // The k-th token with the last byte (in the TSA's signature value) changed.
  static std::string DamagedToken(const std::string& text, int k) {
    return WithToken(text, k, [](const std::string& b64) {
      Bytes der;
      EXPECT_EQ(base64Decode(b64, &der), kBase64Ok);
      der.back() ^= 0x01;
      return base64Encode(der);
    });
  }

  static std::unique_ptr<vel::test::TestPki> pki_;
  static std::unique_ptr<vel::test::SoftHsmToken> token_;
  static std::unique_ptr<vel::test::TestIdentity> card_;
  static std::unique_ptr<vel::test::TestTsa> tsa_;
  static std::filesystem::path config_;
  static std::string full_;
  static std::vector<std::string> times_;
  vel::test::ScriptedPin pin_;
};
std::unique_ptr<vel::test::TestPki> SignatureTreePeer::pki_;
std::unique_ptr<vel::test::SoftHsmToken> SignatureTreePeer::token_;
std::unique_ptr<vel::test::TestIdentity> SignatureTreePeer::card_;
std::unique_ptr<vel::test::TestTsa> SignatureTreePeer::tsa_;
std::filesystem::path SignatureTreePeer::config_;
std::string SignatureTreePeer::full_;
std::vector<std::string> SignatureTreePeer::times_;

std::unique_ptr<XadesSignatureNode> Tree(const std::string& xml) {
  return std::make_unique<XadesSignatureNode>(reinterpret_cast<const uint8_t*>(xml.data()),
                                              static_cast<uint32_t>(xml.size()));
}

TEST_F(SignatureTreePeer, ShapeAndTimeStampSignersOfTheResponses) {
  ASSERT_FALSE(full_.empty());
  auto tree = Tree(full_);
  ASSERT_FALSE(tree->build_failed());
  const XadesSignatureNode* counter = tree->first_child();
  const XadesSignatureNode* b = tree->next();
  ASSERT_NE(counter, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(counter->kind(), XadesSignatureNode::kCounterSignature);
  EXPECT_EQ(counter->index_in_context(), 1);
  EXPECT_EQ(b->index_in_context(), 2);  // after the counter-signature
  EXPECT_EQ(b->signature_index(), 1);
  EXPECT_EQ(b->time_stamp_signers(), nullptr);
  EXPECT_EQ(counter->time_stamp_signers(), nullptr);
  EXPECT_EQ(tree->GetCertificate()->IsSame(crypto::Certificate(pki_->signer.cert)), 1);
  EXPECT_EQ(counter->GetCertificate()->IsSame(crypto::Certificate(pki_->cosigner.cert)), 1);

  // Two signers in document order, each with the time of its response.
  std::vector<const crypto::CmsSignerNode*> signers;
  for (auto* s = tree->time_stamp_signers(); s != nullptr; s = s->next()) signers.push_back(s);
  ASSERT_EQ(signers.size(), 2u);
  for (size_t k = 0; k < signers.size(); ++k) {
    EXPECT_EQ(signers[k]->kind(), crypto::CmsSignerNode::kTimeStampSigner);
    EXPECT_EQ(signers[k]->Verify(), 0u) << k;
    EXPECT_EQ(signers[k]->GetTimeText(), times_[k]) << k;
  }
  EXPECT_NE(tree->GetSignatureTimeStamp(1), nullptr);
  EXPECT_EQ(tree->GetSignatureTimeStamp(2), nullptr);

  // A damaged second token: its signer fails, the first does not.
  auto damaged = Tree(DamagedToken(full_, 1));
  ASSERT_FALSE(damaged->build_failed());
  const crypto::CmsSignerNode* first = damaged->time_stamp_signers();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->next(), nullptr);
  EXPECT_EQ(first->Verify(), 0u);
  EXPECT_NE(first->next()->Verify(), 0u);

  // A second token that is no token ends the list after the first.
  auto cut = Tree(WithToken(full_, 1, [](const std::string&) { return "MAMCAQA="; }));
  ASSERT_FALSE(cut->build_failed());
  ASSERT_NE(cut->time_stamp_signers(), nullptr);
  EXPECT_EQ(cut->time_stamp_signers()->next(), nullptr);
  EXPECT_EQ(cut->time_stamp_signers()->GetTimeText(), times_[0]);
}

TEST_F(SignatureTreePeer, EveryNodeVerifiesAndEachTamperingMarksItsNodes) {
  // A is checked without its forms (kABare) and with them (kA).
  enum Node { kABare, kA, kCounter, kB, kStamp0, kStamp1 };
  const struct Case {
    const char* what;
    std::function<std::string(const std::string&)> tamper;
    std::set<Node> failing;
  } cases[] = {
      {"none", [](const std::string& t) { return t; }, {}},
      {"A's reference digest",
       [](const std::string& t) { return Flipped(t, "<ds:DigestValue>", 4); }, {kABare, kA}},
      {"A's signature value",
       [](const std::string& t) { return Flipped(t, "Id=\"SignatureValue-1\">"); },
       {kABare, kA, kCounter, kStamp0, kStamp1}},
      {"the counter-signature's value",
       [](const std::string& t) {
         return Flipped(t, "<ds:SignatureValue>", 8);  // the only one without an Id
       },
       {kCounter}},
      {"B's signature value",
       [](const std::string& t) { return Flipped(t, "Id=\"SignatureValue-2\">"); }, {kB}},
      {"A's second time stamp", [](const std::string& t) { return DamagedToken(t, 1); },
       {kA, kStamp1}},
  };
  for (const Case& c : cases) {
    auto tree = Tree(c.tamper(full_));
    ASSERT_FALSE(tree->build_failed()) << c.what;
    XadesSignatureNode* counter = tree->first_child();
    XadesSignatureNode* b = tree->next();
    ASSERT_TRUE(counter != nullptr && b != nullptr) << c.what;
    const crypto::CmsSignerNode* stamp0 = tree->time_stamp_signers();
    ASSERT_TRUE(stamp0 != nullptr && stamp0->next() != nullptr) << c.what;
    const std::pair<Node, uint32_t> results[] = {
        {kABare, tree->Verify()},   {kA, tree->VerifyEx(true)}, {kCounter, counter->Verify()}, {kB, b->VerifyEx(true)},
        {kStamp0, stamp0->Verify()}, {kStamp1, stamp0->next()->Verify()}};
    for (const auto& [node, status] : results) {
      if (c.failing.contains(node))
        EXPECT_NE(status, 0u) << c.what << ": node " << node;
      else
        EXPECT_EQ(status, 0u) << c.what << ": node " << node;
    }
  }
  XmlSignedDocument doc(AsBytes(full_).data(), static_cast<uint32_t>(full_.size()));
  EXPECT_EQ(doc.Verify(0), 0u);
  EXPECT_EQ(doc.Verify(1), 0u);
  EXPECT_EQ(doc.Verify(2), kDocNoSignature);
  EXPECT_EQ(doc.GetSignatureForms(1), 0);
}

// A counter-signature of A hung under B counter-signs nothing B holds: it is
// not correct there, though its own value still verifies.
TEST_F(SignatureTreePeer, CounterSignatureUnderAnotherSignatureIsNotCorrect) {
  const size_t id = full_.find("Id=\"Signature-1-CS\"");
  ASSERT_NE(id, std::string::npos);
  const size_t lt = full_.rfind("CounterSignature>", id);
  const size_t open = full_.rfind('<', lt);
  const std::string prefix = full_.substr(open + 1, lt - open - 1);
  const std::string close = "</" + prefix + "CounterSignature>";
  const size_t end = full_.find(close, id) + close.size();
  const std::string counter = full_.substr(open, end - open);
  std::string moved = full_;
  moved.erase(open, end - open);
  const std::string qpEnd = "</" + prefix + "QualifyingProperties>";
  moved.insert(moved.rfind(qpEnd), "<" + prefix + "UnsignedProperties><" + prefix + "UnsignedSignatureProperties>" +
                                       counter + "</" + prefix + "UnsignedSignatureProperties></" + prefix +
                                       "UnsignedProperties>");
  auto tree = Tree(moved);
  ASSERT_FALSE(tree->build_failed());
  ASSERT_EQ(tree->first_child(), nullptr);
  XadesSignatureNode* b = tree->next();
  ASSERT_TRUE(b != nullptr && b->first_child() != nullptr);
  EXPECT_EQ(b->first_child()->Verify(), kVerifyFailed);
  EXPECT_EQ(b->Verify(), 0u);
  EXPECT_EQ(tree->Verify(), 0u);
}

// Elements that only resemble the signature's own parts, and parts that stand
// twice, are never read in their place: by no check and no getter. Each
// tampering of the document with A (signer, two time stamps, a
// counter-signature) and B (co-signer) must leave A not correct, and the
// certificate given for A must never be one A's value was not checked with.
TEST_F(SignatureTreePeer, LookAlikePartsAreNeverTakenForTheSignaturesOwn) {
  const std::string signerB64 = base64Encode(pki_->signer.cert->der());
  const std::string cosignerB64 = base64Encode(pki_->cosigner.cert->der());
  const std::string keyInfoA = test::ElementText(full_, "ds:KeyInfo", "Id=\"KeyInfo-1\"");
  const std::string valueA = test::ElementText(full_, "ds:SignatureValue", "Id=\"SignatureValue-1\"");
  const std::string valueB = test::ElementText(full_, "ds:SignatureValue", "Id=\"SignatureValue-2\"");
  ASSERT_TRUE(!keyInfoA.empty() && !valueA.empty() && !valueB.empty());
  // A's KeyInfo names the co-signer, and a look-alike before it carries the
  // signer's certificate, which A's value verifies with.
  const std::string cosignerKeyInfo = Replaced(keyInfoA, signerB64, cosignerB64);
  const auto decoy = [&](const std::string& open, const std::string& close) {
    return Replaced(full_, keyInfoA,
                    open + "<ds:X509Data><ds:X509Certificate>" + signerB64 +
                        "</ds:X509Certificate></ds:X509Data>" + close + cosignerKeyInfo);
  };
  // A's value moved into <ds:S> (with its Id, which the counter-signature
  // names), B's SignatureValue in its place, and A's time stamps replaced by
  // a token over B's SignatureValue.
  XmlSignedDocument original(AsBytes(full_).data(), static_cast<uint32_t>(full_.size()));
  std::string time;
  const std::string tokenB = base64Encode(Stamp(TimeStampInput(original, 1), "sha1", &time));
  const auto foreignToken = [&](const std::string&) { return tokenB; };
  const std::string valueInS =
      WithToken(WithToken(Replaced(full_, valueA,
                                   "<ds:S Id=\"SignatureValue-1\">" + valueA.substr(valueA.find('>') + 1,
                                                            valueA.rfind('<') - valueA.find('>') - 1) +
                                       "</ds:S>" + valueB),
                          0, foreignToken),
                1, foreignToken);
  // A second QualifyingProperties in another Object, with B's token.
  const std::string secondProperties = Replaced(
      full_, keyInfoA,
      keyInfoA + "<ds:Object><xades:QualifyingProperties xmlns:xades=\"" + std::string(kXadesNs) +
          "\"><xades:UnsignedProperties><xades:UnsignedSignatureProperties><xades:SignatureTimeStamp>"
          "<xades:EncapsulatedTimeStamp>" + tokenB +
          "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp></xades:UnsignedSignatureProperties>"
          "</xades:UnsignedProperties></xades:QualifyingProperties></ds:Object>");
  // With a decoy, A's KeyInfo names the co-signer: the signer's name, which
  // only the decoy carries, must not be given for A.
  const struct {
    const char* what;
    std::string xml;
    bool decoyCarriesTheSigner;
  } cases[] = {
      {"a KeyInfo of another namespace first", decoy("<x:KeyInfo xmlns:x=\"urn:inny\">", "</x:KeyInfo>"), true},
      {"a ds:Key first", decoy("<ds:Key>", "</ds:Key>"), true},
      {"a second ds:KeyInfo first", decoy("<ds:KeyInfo>", "</ds:KeyInfo>"), true},
      {"A's value in ds:S, B's value and token in place", valueInS, false},
      {"a second QualifyingProperties with a foreign token", secondProperties, false},
  };
  for (const auto& c : cases) {
    XmlSignedDocument doc(AsBytes(c.xml).data(), static_cast<uint32_t>(c.xml.size()));
    EXPECT_NE(doc.Verify(0), 0u) << c.what;
    // The full check's steps for A: none may pass it.
    auto tree = doc.CreateSignatureTree();
    if (!tree->build_failed()) {
      EXPECT_FALSE(tree->Verify() == 0 && tree->VerifySignatureTimeStamp() == 0) << c.what;
    }
    const auto certificate = doc.GetSignerCertificate(0);
    if (certificate != nullptr && c.decoyCarriesTheSigner) {
      EXPECT_NE(certificate->IsSame(crypto::Certificate(pki_->signer.cert)), 1) << c.what;
    }
  }
}

// An indented document (whitespace between the elements of the unsigned
// properties and around the counter-signature): the counter-signature still
// hangs below A, and every method counts A and B alike.
TEST_F(SignatureTreePeer, IndentedCounterSignatureKeepsOnePositionScheme) {
  std::string indented = full_;
  for (const std::string& tag :
       {std::string("<xades:UnsignedProperties>"), std::string("<xades:UnsignedSignatureProperties>"),
        std::string("<xades:CounterSignature>"), std::string("</xades:SignatureTimeStamp>"),
        std::string("</xades:CounterSignature>")}) {
    for (size_t at = indented.find(tag); at != std::string::npos;
         at = indented.find(tag, at + tag.size() + 3)) {
      indented.insert(at + tag.size(), "\n  ");
      indented.insert(at, "\n  ");
    }
  }
  ASSERT_NE(indented, full_);
  XmlSignedDocument doc(AsBytes(indented).data(), static_cast<uint32_t>(indented.size()));
  int count = -1;
  ASSERT_EQ(doc.GetSignatureCount(&count), 0u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(doc.Verify(0), 0u);
  EXPECT_EQ(doc.Verify(1), 0u);
  EXPECT_EQ(doc.Verify(2), kDocNoSignature);
  const auto second = doc.GetSignerCertificate(1);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->IsSame(crypto::Certificate(pki_->cosigner.cert)), 1);
  crypto::Certificate signer(pki_->signer.cert);
  EXPECT_EQ(doc.FindSignerIndex(signer), 0);
  auto tree = doc.CreateSignatureTree();
  ASSERT_FALSE(tree->build_failed());
  ASSERT_NE(tree->first_child(), nullptr);
  EXPECT_EQ(tree->first_child()->kind(), XadesSignatureNode::kCounterSignature);
  EXPECT_EQ(tree->first_child()->Verify(), 0u);
  ASSERT_NE(tree->next(), nullptr);
  EXPECT_EQ(tree->next()->next(), nullptr);
  EXPECT_EQ(tree->VerifySignatureTimeStamp(), 0u);
}

// Signing through the object: the PIN is asked once and the new signature
// verifies; the content is given out only while that signature vouches for it.
TEST_F(SignatureTreePeer, SignThenVerifyWithATokenKey) {
  const std::string original = Template();
  XmlSignedDocument doc(AsBytes(original).data(), static_cast<uint32_t>(original.size()));
  ASSERT_EQ(doc.Sign(card_->cert.get()), 0u);
  EXPECT_EQ(pin_.asked, 1);
  EXPECT_EQ(doc.Verify(1), 0u);
  EXPECT_NE(doc.Verify(0), 0u);  // the template's value is not real
  crypto::Certificate card(card_->cert);
  EXPECT_EQ(doc.FindSignerIndex(card), 1);
  uint32_t size = 0;
  ASSERT_EQ(doc.GetContent(nullptr, &size), 234u);
  std::string content(size, '\0');
  ASSERT_EQ(doc.GetContent(reinterpret_cast<uint8_t*>(content.data()), &size), 0u);
  EXPECT_NE(content.find("1200.00"), std::string::npos);

  const std::string signedText = AsText(Bytes(doc.bytes().begin(), doc.bytes().end()));
  const struct {
    const char* what;
    std::string xml;
  } unvouched[] = {
      {"content changed", Replaced(signedText, "1200.00", "9200.00")},
      {"an Object first that nothing signs",
       Replaced(signedText, "<ds:Object Id=\"Object-1\">",
                "<ds:Object>podlozona tresc</ds:Object><ds:Object Id=\"Object-1\">")},
  };
  for (const auto& c : unvouched) {
    XmlSignedDocument changed(AsBytes(c.xml).data(), static_cast<uint32_t>(c.xml.size()));
    uint32_t s = 0;
    EXPECT_EQ(changed.GetContent(nullptr, &s), kContentNotSigned) << c.what;
  }
}

TEST_F(SignatureTreePeer, SignFailingInItsSecondCallKeepsTheBytes) {
  const std::string original = Template();
  XmlSignedDocument doc(AsBytes(original).data(), static_cast<uint32_t>(original.size()));
  for (const char* pin : {static_cast<const char*>("0000"), static_cast<const char*>(nullptr)}) {
    pin_.cancel = pin == nullptr;
    if (pin != nullptr) pin_.pin = pin;
    const int asked = pin_.asked;
    EXPECT_EQ(doc.Sign(card_->cert.get()), kSignSignatureFailed);
    // The key was reached: the second call failed (a wrong PIN is asked again
    // until the tries run out).
    EXPECT_EQ(pin_.asked, asked + (pin != nullptr ? platform::kPinTries : 1));
    EXPECT_EQ(AsText(Bytes(doc.bytes().begin(), doc.bytes().end())), original);
  }
}

}  // namespace
}  // namespace vel::xades
