// Our signatures checked by outside tools: xmlsec1, openssl over xmllint's
// canonical SignedInfo, xadesjs, the XAdES and XMLDSig schemas; a XAdES-T
// time stamp from `openssl ts -reply` on 127.0.0.1 verified with
// `openssl ts -verify`.
#include <gtest/gtest.h>

#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_client.h"
#include "xades/base64.h"
#include "xades/document_access.h"
#include "xades/tests/sign_fixture.h"
#include "xades/tests/xades_peer_fixture.h"
#include "xades/xades_template.h"

namespace vel::xades {
namespace {

using test::AsBytes;
using test::AsText;
using test::Bytes;
using test::Q;

class XadesSignPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(vel::test::HaveTool("xmlsec1")) << "run scripts/deps.sh";
    pki_ = std::make_unique<vel::test::TestPki>();
  }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override { pin_.Install(); }

  std::filesystem::path Dir() const { return pki_->dir.path(); }

  // Every outside check of signature n of a signed document.
  void ExpectAcceptedByPeers(const std::string& signed_doc, int n) {
    const std::string id = "Signature-" + std::to_string(n);
    const auto file = Dir() / (id + ".xml");
    vel::test::WriteFileText(file, signed_doc);
    auto r = test::XmlSecVerify(file, id, Dir() / "ca.pem");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("OK"), std::string::npos) << r.output;
    r = test::OpenSslVerifySignatureValue(signed_doc, std::to_string(n),
                                          pki_->CertFile(pki_->signer), Dir());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = test::XadesJsVerify(file, id);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    test::ExpectSchemaValid(signed_doc, id, Dir());
  }

  static std::unique_ptr<vel::test::TestPki> pki_;
  vel::test::ScriptedPin pin_;
};
std::unique_ptr<vel::test::TestPki> XadesSignPeerTest::pki_;

TEST_F(XadesSignPeerTest, SignaturesAreAcceptedByPeers) {
  Bytes once;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &once), 0u);
  ExpectAcceptedByPeers(AsText(once), 1);

  // A second signature over the same content, beside the first.
  Bytes twice;
  ASSERT_EQ(test::SignTwice(AsText(once), pki_->signer.cert.get(), &twice), 0u);
  ExpectAcceptedByPeers(AsText(twice), 2);
  ExpectAcceptedByPeers(AsText(twice), 1);

  // A tampered content Object no longer verifies.
  std::string tampered = AsText(twice);
  tampered.replace(tampered.find("1200.00"), 7, "9200.00");
  const auto file = Dir() / "tampered.xml";
  vel::test::WriteFileText(file, tampered);
  EXPECT_NE(test::XmlSecVerify(file, "Signature-2", Dir() / "ca.pem").exit_code, 0);
  EXPECT_NE(test::XadesJsVerify(file, "Signature-2").exit_code, 0);
}

TEST_F(XadesSignPeerTest, SignatureTimeStampCoversTheCanonicalSignatureValue) {
  vel::test::TempDir tsa_dir;
  vel::test::TestTsa tsa;
  vel::test::TsaResponder responder(tsa_dir.path(), tsa);

  Bytes doc;
  ASSERT_EQ(test::SignTwice(test::DefaultDocument(), pki_->signer.cert.get(), &doc), 0u);
  const uint32_t length = static_cast<uint32_t>(doc.size());
  uint32_t size = 0;
  ASSERT_EQ(getSignatureValueC14N(doc.data(), length, nullptr, &size, 1), 234u);
  Bytes c14n(size);
  ASSERT_EQ(getSignatureValueC14N(doc.data(), length, c14n.data(), &size, 1), 0u);
  c14n.resize(size);

  crypto::TspContextPtr ctx(crypto::TspContextCreate());
  ASSERT_EQ(crypto::TspBuildRequest(ctx.get(), c14n.data(), size, nullptr, 1, 1, nullptr), 0u);
  ASSERT_EQ(crypto::TspSendRequest(ctx.get(), responder.Url("/tsa").c_str()), 0u);
  uint32_t token_size = 0;
  ASSERT_EQ(crypto::TspGetToken(ctx.get(), nullptr, &token_size), 234u);
  Bytes token(token_size);
  ASSERT_EQ(crypto::TspGetToken(ctx.get(), token.data(), &token_size), 0u);
  token.resize(token_size);

  size = 0;
  ASSERT_EQ(
      xadesAddSignatureTimeStamp(doc.data(), length, token.data(), token_size, nullptr, &size, 1),
      234u);
  Bytes stamped(size);
  ASSERT_EQ(xadesAddSignatureTimeStamp(doc.data(), length, token.data(), token_size, stamped.data(),
                                       &size, 1),
            0u);
  stamped.resize(size);

  // The token read back from the document covers the canonical SignatureValue.
  XmlDocPtr parsed = xadesParseMemory(AsText(stamped));
  xmlNode* signature = test::ElementWithId(parsed.get(), "Signature-1");
  int encoding = 0;
  const auto text = getSignatureTimeStampToken(signature, &encoding, 0);
  ASSERT_TRUE(text);
  EXPECT_EQ(encoding, kTokenEncodingDer);
  Bytes read_back;
  ASSERT_EQ(base64Decode(*text, &read_back), 0);
  EXPECT_EQ(read_back, token);
  vel::test::WriteFileBytes(Dir() / "token.der", read_back);
  vel::test::WriteFileBytes(Dir() / "sv.c14n", c14n);
  const auto r = vel::test::RunCommand("openssl ts -verify -token_in -in " +
                                       Q(Dir() / "token.der") + " -data " + Q(Dir() / "sv.c14n") +
                                       " -CAfile " + Q(tsa_dir.path() / "ca.pem") + " -untrusted " +
                                       Q(tsa_dir.path() / "tsa.pem") + " 2>&1");
  EXPECT_EQ(r.exit_code, 0) << r.output;

  // The unsigned property leaves the signature valid and the document schema-valid.
  ExpectAcceptedByPeers(AsText(stamped), 1);
}

// The signing steps on a SignedInfo that names exclusive canonicalisation:
// the digests and the signature value match xmllint's exclusive canonical
// forms (xmlsec1 does not know the draft identifier the engine writes).
TEST_F(XadesSignPeerTest, ExclusiveCanonicalisationMatchesXmllint) {
  XmlDocPtr doc = xadesParseMemory(test::DefaultDocument());
  XmlDocPtr template_doc = xadesNewDocPtr();
  xmlNode* sig =
      createSignatureTemplate(template_doc.get(), "Signature-1", "ds", kTemplateXadesBes, 1);
  ASSERT_NE(sig, nullptr);
  xmlNode* method = xmlFirstElementChild(xmlFirstElementChild(sig));
  xmlSetProp(method, BAD_CAST "Algorithm", BAD_CAST kC14nExclusive);
  ASSERT_NE(addReference(sig, test::ElementWithId(doc.get(), "Object-1"), nullptr, nullptr, 0),
            nullptr);

  std::unique_ptr<platform::Signer> signer;
  ASSERT_EQ(platform::OpenSignerForCertificate(pki_->signer.cert, &signer), 0u);
  XadesSignContextPtr record = xadesSignContextCreateWithCert(sig, xmlDocGetRootElement(doc.get()),
                                                              DocOwnership::kShared, *signer);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->c14nMethod, kC14nMethodExclusive);
  ASSERT_NE(addKeyInfoX509DataX509Certificate(record.get()), nullptr);
  ASSERT_NE(fillSigningCertificate(record.get()), nullptr);
  ASSERT_NE(generateDigests(record.get()), nullptr);
  ASSERT_NE(generateSign(record.get()), nullptr);
  xmlUnlinkNode(sig);
  xmlAddChild(xmlDocGetRootElement(doc.get()), sig);
  xmlChar* mem = nullptr;
  int length = 0;
  xmlDocDumpMemoryEnc(doc.get(), &mem, &length, "UTF-8");
  const std::string text(reinterpret_cast<const char*>(mem), static_cast<size_t>(length));
  xmlFree(mem);

  auto r = test::OpenSslVerifySignatureValue(text, "1", pki_->CertFile(pki_->signer), Dir(), true);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  // Each reference digest against xmllint's exclusive form of its target.
  const auto digests = test::Texts(doc.get(), "//*[@Id='SignedInfo-1']//xmldsig:DigestValue");
  ASSERT_EQ(digests.size(), 2u);
  const std::string targets[] = {
      test::ElementText(text, "xades:SignedProperties", "Id=\"SignedProperties-1\""),
      test::ElementText(text, "ds:Object", "Id=\"Object-1\"")};
  for (size_t i = 0; i < 2; ++i) {
    std::string element = test::WithDsDeclaration(targets[i]);
    if (i == 0)
      element.insert(element.find(' '), " xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\"");
    vel::test::WriteFileText(Dir() / "target.xml", element);
    r = vel::test::RunCommand("xmllint --exc-c14n " + Q(Dir() / "target.xml") +
                              " | openssl dgst -sha1 -binary | openssl base64 -A");
    EXPECT_EQ(r.output, digests[i]) << element.substr(0, 60);
  }
}

}  // namespace
}  // namespace vel::xades
