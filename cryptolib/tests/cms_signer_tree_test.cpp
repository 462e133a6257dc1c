// The signer tree over crafted messages: the shape (siblings, counter-signers
// before time stamps, nesting cap, long chains), the certificate lookup, and
// what each node's Verify reports when one check fails.
#include "cryptolib/cms_signer_tree.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"

namespace vel::crypto {
namespace {

using test::ByteVec;
using test::TwoCalls;

ByteVec Element(const std::function<void(der::Writer&)>& body) {
  der::Writer w;
  body(w);
  return *w.Finish();
}

ByteVec Attr(const std::string& oid, const std::vector<ByteVec>& values) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid(oid);
    w.Begin(der::kSet);
    for (const ByteVec& v : values) w.AddEncoded(v);
    w.End();
    w.End();
  });
}
ByteVec OidValue(const std::string& oid) {
  return Element([&](der::Writer& w) { w.AddOid(oid); });
}
ByteVec OctetsValue(std::span<const uint8_t> b) {
  return Element([&](der::Writer& w) { w.AddOctetString(b); });
}
ByteVec Digest(const EVP_MD* md, std::span<const uint8_t> data) {
  ByteVec out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
  out.resize(n);
  return out;
}

struct Crafted {
  const EVP_MD* md = EVP_sha1();
  std::string digest_oid = kOidSha1;
  bool by_key_id = false;
  bool with_attributes = true;
  std::vector<ByteVec> attributes;  // encoded Attributes, in this order
  std::vector<ByteVec> unsigned_attributes;
  bool spoil_signature = false;
};

// A SignerInfo of `id` signed with its key as the description says.
ByteVec CraftSignerInfo(const test::TestIdentity& id, const Crafted& c,
                        std::span<const uint8_t> content) {
  ByteVec signed_bytes;  // what the signature covers
  if (c.with_attributes) {
    signed_bytes = Element([&](der::Writer& w) {
      w.Begin(der::kSet);
      for (const ByteVec& a : c.attributes) w.AddEncoded(a);
      w.End();
    });
  } else {
    signed_bytes.assign(content.begin(), content.end());
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t sig_len = 0;
  EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, c.md, nullptr, id.key.get()), 1);
  EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &sig_len, signed_bytes.data(), signed_bytes.size()),
            1);
  ByteVec signature(sig_len);
  EXPECT_EQ(EVP_DigestSign(ctx.get(), signature.data(), &sig_len, signed_bytes.data(),
                           signed_bytes.size()),
            1);
  if (c.spoil_signature) signature[10] ^= 0x01;
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddInteger(c.by_key_id ? 3 : 1);
    if (c.by_key_id) {
      // subjectKeyIdentifier [0]: the extension's OCTET STRING content.
      ByteVec ski;
      std::span<const uint8_t> key_id;
      EXPECT_TRUE(id.cert->FindExtension("2.5.29.14", &ski));
      der::Reader r(ski);
      EXPECT_TRUE(r.ReadOctetString(&key_id));
      w.Add(der::ContextPrimitive(0), key_id);
    } else {
      w.Begin(der::kSequence);
      w.AddEncoded(id.cert->issuer_der());
      w.AddIntegerContent(id.cert->serial());
      w.End();
    }
    w.Begin(der::kSequence);
    w.AddOid(c.digest_oid);
    w.End();
    if (c.with_attributes) {
      w.Begin(der::ContextConstructed(0));
      for (const ByteVec& a : c.attributes) w.AddEncoded(a);
      w.End();
    }
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidRsaEncryption);
    w.AddNull();
    w.End();
    w.AddOctetString(signature);
    if (!c.unsigned_attributes.empty()) {
      w.Begin(der::ContextConstructed(1));
      for (const ByteVec& a : c.unsigned_attributes) w.AddEncoded(a);
      w.End();
    }
    w.End();
  });
}

ByteVec Splice(const ByteVec& message, const ByteVec& signer_info,
               std::span<const uint8_t> extra_certificate = {}) {
  cms::SignedData sd;
  EXPECT_EQ(cms::ParseSignedData(message, &sd), 0u);
  cms::Splice s;
  s.add_signer = signer_info;
  s.add_certificate = extra_certificate;
  return *cms::Rebuild(sd, s);
}

std::vector<CmsSignerNode*> Siblings(CmsSignerNode* n) {
  std::vector<CmsSignerNode*> out;
  for (; n != nullptr; n = n->next()) out.push_back(n);
  return out;
}

TEST(TimeStampTimeText, FormatsOnlyWholeValidTimes) {
  struct Case {
    const char* gen_time;
    const char* text;  // null: no text
  };
  const Case cases[] = {
      {"20090409123456Z", "2009-04-09 12:34:56 UTC"},
      {"20090409123456", "2009-04-09 12:34:56"},
      {"20090409123456.25Z", "2009-04-09 12:34:56 UTC"},
      {"20090409123456,5", "2009-04-09 12:34:56"},
      {"20090409123456+0200", "2009-04-09 12:34:56"},
      {"19991231235960Z", "1999-12-31 23:59:60 UTC"},
      {"", nullptr},
      {"2009040912345", nullptr},
      {"2009040912345Z", nullptr},
      {"200904091234", nullptr},
      {"20091309123456Z", nullptr},
      {"20090400123456Z", nullptr},
      {"20090409243456Z", nullptr},
      {"20090409123456z", nullptr},
      {"20090409123456ZZ", nullptr},
      {"20090409123456.Z", nullptr},
      {"20090409123456+02", nullptr},
      {"2009-04-09 12:34", nullptr},
  };
  for (const Case& c : cases) {
    std::string text = "untouched";
    const bool ok = TimeStampTimeText(c.gen_time, &text);
    if (c.text == nullptr) {
      EXPECT_FALSE(ok) << c.gen_time;
      EXPECT_EQ(text, "untouched") << c.gen_time;
    } else {
      EXPECT_TRUE(ok) << c.gen_time;
      EXPECT_EQ(text, c.text) << c.gen_time;
    }
  }
}

class SignerTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    tsa_ = std::make_unique<test::TestTsa>();
    for (int i = 0; i < 3000; ++i) content_.push_back(static_cast<uint8_t>(i * 13 + 1));
  }
  static void TearDownTestSuite() {
    tsa_.reset();
    pki_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static ByteVec Sign(const test::TestIdentity& id, bool detached) {
    ByteVec out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    const uint32_t n = static_cast<uint32_t>(content_.size());
                    return detached ? SignMessageDetached(content_.data(), n, id.cert.get(), o, s)
                                    : SignMessageAttached(content_.data(), n, id.cert.get(), o, s);
                  },
                  &out),
              0u);
    return out;
  }
  static std::unique_ptr<CmsSignerNode> Tree(const ByteVec& m, bool detached,
                                             LibraryErrorCode* status = nullptr) {
    return CmsSignerNode::BuildTree(m.data(), static_cast<uint32_t>(m.size()),
                                    detached ? content_.data() : nullptr,
                                    detached ? static_cast<uint32_t>(content_.size()) : 0, status);
  }
  // The attributes of our layout for the content.
  static std::vector<ByteVec> GoodAttributes(const EVP_MD* md = EVP_sha1()) {
    return {Attr(cms::kOidContentType, {OidValue(cms::kOidData)}),
            Attr(cms::kOidMessageDigest, {OctetsValue(Digest(md, content_))})};
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static ByteVec content_;
  test::ScriptedPin pin_;
};
std::unique_ptr<test::TestPki> SignerTreeTest::pki_;
std::unique_ptr<test::TestTsa> SignerTreeTest::tsa_;
ByteVec SignerTreeTest::content_;

TEST_F(SignerTreeTest, AttachedSignerDigestsTheEncapsulatedContentEveryTime) {
  const ByteVec m = Sign(pki_->signer, false);
  std::unique_ptr<CmsSignerNode> root = Tree(m, false);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->kind(), CmsSignerNode::kSigner);
  EXPECT_EQ(root->next(), nullptr);
  EXPECT_EQ(root->first_child(), nullptr);
  EXPECT_EQ(root->GetTimeText(), "");
  ASSERT_NE(root->GetCertificateContext(), nullptr);
  EXPECT_TRUE(std::ranges::equal(root->GetCertificateContext()->der(), pki_->signer.cert->der()));
  std::unique_ptr<Certificate> object = root->GetCertificate();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->IsSame(Certificate(pki_->signer.cert)), 1);
  EXPECT_EQ(root->Verify(), 0u);
  EXPECT_EQ(root->Verify(), 0u);
  EXPECT_EQ(root->ShowInfoWindow(nullptr), 120u);

  // One changed content byte inside the message.
  ByteVec changed = m;
  const size_t at = test::Find(changed, std::span(content_).subspan(100, 16));
  ASSERT_NE(at, std::string::npos);
  changed[at] ^= 0x40;
  root = Tree(changed, false);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Verify(), kCryptEHashValue);
  EXPECT_EQ(root->Verify(), kCryptEHashValue);

  // The same signature as a detached one over other content.
  root = CmsSignerNode::BuildTree(m.data(), static_cast<uint32_t>(m.size()), m.data(), 10);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Verify(), kCryptEHashValue);
  // A detached signature read as attached has nothing to check against.
  const ByteVec d = Sign(pki_->signer, true);
  root = Tree(d, false);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Verify(), 13u);
  root = Tree(d, true);
  EXPECT_EQ(root->Verify(), 0u);
}

TEST_F(SignerTreeTest, EachSignerCheckMustHoldOnTheSignedAttributes) {
  const ByteVec base = Sign(pki_->signer, false);
  const ByteVec md1 = Attr(cms::kOidMessageDigest, {OctetsValue(Digest(EVP_sha1(), content_))});
  const ByteVec ct = Attr(cms::kOidContentType, {OidValue(cms::kOidData)});
  struct Case {
    const char* what;
    Crafted crafted;
    LibraryErrorCode expected;
  };
  Crafted good;
  good.attributes = GoodAttributes();
  Crafted sha256 = good;
  sha256.md = EVP_sha256();
  sha256.digest_oid = "2.16.840.1.101.3.4.2.1";
  sha256.attributes = GoodAttributes(EVP_sha256());
  Crafted sha256_named_sha1_digest = sha256;
  sha256_named_sha1_digest.attributes = GoodAttributes();
  Crafted no_digest = good;
  no_digest.attributes = {ct};
  Crafted two_digests = good;
  two_digests.attributes = {ct, md1, Attr(cms::kOidMessageDigest, {OctetsValue(ByteVec(20, 0))})};
  Crafted digest_two_values = good;
  digest_two_values.attributes = {
      ct, Attr(cms::kOidMessageDigest, {OctetsValue(Digest(EVP_sha1(), content_)),
                                        OctetsValue(Digest(EVP_sha1(), content_))})};
  Crafted no_type = good;
  no_type.attributes = {md1};
  Crafted wrong_type = good;
  wrong_type.attributes = {Attr(cms::kOidContentType, {OidValue(cms::kOidSignedData)}), md1};
  Crafted digest_not_octets = good;
  digest_not_octets.attributes = {ct, Attr(cms::kOidMessageDigest, {OidValue("1.2.3")})};
  Crafted no_attributes = good;
  no_attributes.with_attributes = false;
  Crafted no_attributes_spoilt = no_attributes;
  no_attributes_spoilt.spoil_signature = true;
  Crafted spoilt = good;
  spoilt.spoil_signature = true;
  Crafted md5 = good;
  md5.digest_oid = "1.2.840.113549.2.5";
  const Case cases[] = {
      {"our layout", good, 0},
      {"SHA-256 throughout", sha256, 0},
      {"SHA-256 named, SHA-1 digest", sha256_named_sha1_digest, kCryptEHashValue},
      {"no messageDigest", no_digest, kCryptEHashValue},
      {"two messageDigest attributes", two_digests, kCryptEHashValue},
      {"messageDigest with two values", digest_two_values, kCryptEHashValue},
      {"no contentType", no_type, kCryptEHashValue},
      {"contentType of another type", wrong_type, kCryptEHashValue},
      {"messageDigest not an OCTET STRING", digest_not_octets, kCryptEHashValue},
      {"no signed attributes, signature over the content", no_attributes, 0},
      {"no signed attributes, signature changed", no_attributes_spoilt, kNteBadSignature},
      {"signature changed", spoilt, kNteBadSignature},
      {"MD5 named", md5, kNteBadAlgId},
  };
  for (const Case& c : cases) {
    const ByteVec m = Splice(base, CraftSignerInfo(pki_->cosigner, c.crafted, content_),
                             pki_->cosigner.cert->der());
    std::unique_ptr<CmsSignerNode> root = Tree(m, false);
    ASSERT_NE(root, nullptr) << c.what;
    ASSERT_EQ(Siblings(root.get()).size(), 2u) << c.what;
    EXPECT_EQ(root->Verify(), 0u) << c.what;
    EXPECT_EQ(root->next()->Verify(), c.expected) << c.what;
    // The flat check agrees on correct / not correct.
    const LibraryErrorCode flat = VerifyAttached(m.data(), static_cast<uint32_t>(m.size()), 1);
    EXPECT_EQ(flat == 0, c.expected == 0) << c.what << ": flat " << std::hex << flat;
  }
}

TEST_F(SignerTreeTest, CertificateIsNamedByIssuerAndSerialTogether) {
  // Another CA issues a certificate with the qualified signer's serial number;
  // the message holds the qualified signer's certificate first.
  const test::TestIdentity other_ca = test::MakeIdentity("Inne CA", nullptr, {0x02}, true, false);
  const test::TestIdentity twin = test::MakeIdentity("Blizniak", &other_ca, {0x42}, false, false);
  ASSERT_TRUE(std::ranges::equal(twin.cert->serial(), pki_->qualified.cert->serial()));
  const ByteVec base = Sign(pki_->qualified, false);
  Crafted good;
  good.attributes = GoodAttributes();
  const ByteVec m = Splice(base, CraftSignerInfo(twin, good, content_), twin.cert->der());
  std::unique_ptr<CmsSignerNode> root = Tree(m, false);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(root->next(), nullptr);
  ASSERT_NE(root->GetCertificateContext(), nullptr);
  ASSERT_NE(root->next()->GetCertificateContext(), nullptr);
  EXPECT_TRUE(std::ranges::equal(root->GetCertificateContext()->der(), pki_->qualified.cert->der()));
  EXPECT_TRUE(std::ranges::equal(root->next()->GetCertificateContext()->der(), twin.cert->der()));
  EXPECT_EQ(root->Verify(), 0u);
  EXPECT_EQ(root->next()->Verify(), 0u);

  // A signer named by subject key identifier gets no certificate here.
  Crafted by_key = good;
  by_key.by_key_id = true;
  const ByteVec k = Splice(base, CraftSignerInfo(pki_->cosigner, by_key, content_),
                           pki_->cosigner.cert->der());
  root = Tree(k, false);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(root->next(), nullptr);
  EXPECT_EQ(root->next()->GetCertificateContext(), nullptr);
  EXPECT_EQ(root->next()->GetCertificate(), nullptr);
  EXPECT_EQ(root->next()->Verify(), 13u);
  EXPECT_EQ(root->next()->ShowInfoWindow(nullptr), 13u);
  EXPECT_FALSE(root->next()->signer_info().empty());
}

TEST_F(SignerTreeTest, CounterSignersComeFirstAndNestAndCoverTheSignatureValue) {
  ByteVec m = Sign(pki_->signer, true);
  const ByteVec sig0 = test::SignatureValue(m, 0);
  // A time stamp first in attribute order, then a counter-signature with two
  // values, the first counter-signed in turn.
  const ByteVec token = test::TokenOfResponse(test::OpenSslReply(*tsa_, test::TimeStampRequest(sig0)));
  ByteVec attr;
  ASSERT_EQ(MakeSignatureTimeStampAttribute(token, &attr), 0u);
  m = test::AddUnsigned(m, 0, attr);
  m = test::AddUnsigned(
      m, 0,
      test::CounterSignatureAttribute({test::CounterSignerInfo(pki_->signer, sig0, &pki_->signer),
                                       test::CounterSignerInfo(pki_->signer, sig0)}));
  std::unique_ptr<CmsSignerNode> root = Tree(m, true);
  ASSERT_NE(root, nullptr);
  const std::vector<CmsSignerNode*> children = Siblings(root->first_child());
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[0]->kind(), CmsSignerNode::kCounterSigner);
  EXPECT_EQ(children[1]->kind(), CmsSignerNode::kCounterSigner);
  EXPECT_EQ(children[2]->kind(), CmsSignerNode::kTimeStampSigner);
  ASSERT_NE(children[0]->first_child(), nullptr);
  EXPECT_EQ(children[0]->first_child()->kind(), CmsSignerNode::kCounterSigner);
  EXPECT_EQ(children[0]->first_child()->next(), nullptr);
  EXPECT_EQ(children[1]->first_child(), nullptr);
  for (CmsSignerNode* n : {root.get(), children[0], children[0]->first_child(), children[1],
                           children[2]})
    EXPECT_EQ(n->Verify(), 0u) << n->kind();
  EXPECT_EQ(children[0]->GetTimeText(), "");
  EXPECT_NE(children[2]->GetTimeText(), "");

  // Spoil the first counter-signer's signature: it fails, the one it
  // counter-signs no longer matches, the rest still verify.
  cms::SignedData sd;
  ASSERT_EQ(cms::ParseSignedData(m, &sd), 0u);
  const cms::Attribute& cs = sd.signers[0].unsigned_attrs.back();
  const ByteVec counter(cs.values[0].begin(), cs.values[0].end());
  ByteVec spoilt = m;
  const ByteVec own_sig = [&] {
    der::Reader r(counter), si;
    EXPECT_TRUE(r.Enter(der::kSequence, &si));
    std::span<const uint8_t> last;
    while (!si.empty()) {
      der::Element e;
      EXPECT_TRUE(si.ReadElement(&e));
      if (e.tag == der::kOctetString) last = e.content;
    }
    return ByteVec(last.begin(), last.end());
  }();
  const size_t at = test::Find(spoilt, own_sig);
  ASSERT_NE(at, std::string::npos);
  spoilt[at + 7] ^= 0x01;
  root = Tree(spoilt, true);
  ASSERT_NE(root, nullptr);
  CmsSignerNode* first = root->first_child();
  EXPECT_EQ(root->Verify(), 0u);
  EXPECT_EQ(first->Verify(), kNteBadSignature);
  EXPECT_EQ(first->first_child()->Verify(), kCryptEHashValue);
  EXPECT_EQ(first->next()->Verify(), 0u);
  EXPECT_EQ(first->next()->next()->Verify(), 0u);
}

TEST_F(SignerTreeTest, UnreadableCounterSignaturesAndTimeStampsStayVisibleAsUncheckable) {
  ByteVec m = Sign(pki_->signer, true);
  const ByteVec junk = {0x30, 0x03, 0x02, 0x01, 0x01};
  m = test::AddUnsigned(m, 0, Attr("1.2.840.113549.1.9.6", {junk}));
  m = test::AddUnsigned(m, 0, Attr(kOidSignatureTimeStampToken, {junk}));
  m = test::AddUnsigned(m, 0, Attr(kOidSignatureTimeStampToken, {}));
  std::unique_ptr<CmsSignerNode> root = Tree(m, true);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Verify(), 0u);
  const std::vector<CmsSignerNode*> children = Siblings(root->first_child());
  ASSERT_EQ(children.size(), 3u);
  const uint32_t kinds[] = {2, 3, 3};
  for (size_t i = 0; i < children.size(); ++i) {
    EXPECT_EQ(children[i]->kind(), kinds[i]);
    EXPECT_TRUE(children[i]->signer_info().empty());
    EXPECT_EQ(children[i]->Verify(), 13u);
    EXPECT_EQ(children[i]->ShowInfoWindow(nullptr), 13u);
    EXPECT_EQ(children[i]->GetTimeText(), "");
  }
}

// A SignerInfo of the right shape that signs nothing, holding `inner` as its
// counter-signature when given.
ByteVec JunkSignerInfo(const ByteVec& inner) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddInteger(1);
    w.Begin(der::kSequence);
    w.Begin(der::kSequence);
    w.End();
    w.AddInteger(5);
    w.End();
    w.Begin(der::kSequence);
    w.AddOid(kOidSha1);
    w.End();
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidRsaEncryption);
    w.End();
    w.AddOctetString(ByteVec(4, 0xAB));
    if (!inner.empty()) {
      w.Begin(der::ContextConstructed(1));
      w.AddEncoded(Attr("1.2.840.113549.1.9.6", {inner}));
      w.End();
    }
    w.End();
  });
}

ByteVec SignedDataWith(const std::vector<ByteVec>& signer_infos) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidSignedData);
    w.Begin(der::ContextConstructed(0));
    w.Begin(der::kSequence);
    w.AddInteger(1);
    w.Begin(der::kSet);
    w.End();
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidData);
    w.End();
    w.Begin(der::kSet);
    for (const ByteVec& si : signer_infos) w.AddEncoded(si);
    w.End();
    w.End();
    w.End();
    w.End();
  });
}

TEST_F(SignerTreeTest, DeepNestingIsCappedAndLongChainsAreReleased) {
  // Counter-signatures 40 deep: each level's bytes are read again from the
  // start, so only the cap bounds the recursion.
  ByteVec si;
  for (int i = 0; i < 40; ++i) si = JunkSignerInfo(si);
  const ByteVec deep = SignedDataWith({si});
  std::unique_ptr<CmsSignerNode> root = Tree(deep, true);
  ASSERT_NE(root, nullptr);
  int levels = 0;
  CmsSignerNode* last = nullptr;
  for (CmsSignerNode* n = root->first_child(); n != nullptr; n = n->first_child()) {
    EXPECT_EQ(n->kind(), CmsSignerNode::kCounterSigner);
    ++levels;
    last = n;
  }
  EXPECT_EQ(levels, kMaxCounterSignatureDepth + 1);
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(last->signer_info().empty());
  EXPECT_EQ(last->Verify(), 13u);

  // 60,000 signers in one message make a sibling chain as long.
  const ByteVec one = JunkSignerInfo({});
  const std::vector<ByteVec> many(60000, one);
  const ByteVec wide = SignedDataWith(many);
  root = Tree(wide, true);
  ASSERT_NE(root, nullptr);
  size_t count = 0;
  for (CmsSignerNode* n = root.get(); n != nullptr; n = n->next()) ++count;
  EXPECT_EQ(count, 60000u);
  EXPECT_EQ(root->Verify(), 13u) << "no certificate";
  // Released on a thread with a small stack: a recursive release of the
  // chain would overflow it.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  static_cast<std::unique_ptr<CmsSignerNode>*>(p)->reset();
                  return nullptr;
                },
                &root),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(root, nullptr);
}

TEST_F(SignerTreeTest, MessagesThatDoNotDecodeGiveNoTree) {
  const ByteVec m = Sign(pki_->signer, true);
  LibraryErrorCode status = 0;
  EXPECT_EQ(CmsSignerNode::BuildTree(nullptr, 0, nullptr, 0, &status), nullptr);
  EXPECT_EQ(status, 87u);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{20}, m.size() / 2, m.size() - 1}) {
    status = 0;
    const ByteVec part(m.begin(), m.begin() + static_cast<long>(cut));
    EXPECT_EQ(Tree(part, true, &status), nullptr) << cut;
    EXPECT_NE(status, 0u) << cut;
  }
  const ByteVec enveloped = Element([](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidEnvelopedData);
    w.Begin(der::ContextConstructed(0));
    w.Begin(der::kSequence);
    w.End();
    w.End();
    w.End();
  });
  EXPECT_EQ(Tree(enveloped, true, &status), nullptr);
  EXPECT_EQ(status, kCryptEInvalidMsgType);

  // A SignedData without signers is one signer node that cannot be checked.
  std::unique_ptr<CmsSignerNode> root = Tree(SignedDataWith({}), true);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->kind(), CmsSignerNode::kSigner);
  EXPECT_TRUE(root->signer_info().empty());
  EXPECT_EQ(root->Verify(), 13u);
  EXPECT_EQ(root->ShowInfoWindow(nullptr), 13u);
}

TEST_F(SignerTreeTest, TimeStampSignerOverATokenOrAResponse) {
  const ByteVec stamped = {1, 2, 3, 4, 5, 6, 7};
  const ByteVec response = test::OpenSslReply(*tsa_, test::TimeStampRequest(stamped));
  const ByteVec token = test::TokenOfResponse(response);
  const std::string gen_time = test::OpenSslGenTime(token);
  ASSERT_GE(gen_time.size(), 15u);
  std::string expected;
  ASSERT_TRUE(TimeStampTimeText(gen_time, &expected));
  ASSERT_EQ(expected.size(), 23u);

  for (const ByteVec* bytes : {&token, &response}) {
    LibraryErrorCode status = 1;
    std::unique_ptr<CmsSignerNode> node =
        CmsSignerNode::ConstructTimeStampSigner(*bytes, stamped, &status);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(node->kind(), CmsSignerNode::kTimeStampSigner);
    EXPECT_EQ(node->GetTimeText(), expected);
    ASSERT_NE(node->GetCertificateContext(), nullptr);
    EXPECT_TRUE(std::ranges::equal(node->GetCertificateContext()->der(), tsa_->tsa.cert->der()));
    EXPECT_EQ(node->Verify(), 0u);
    // Other stamped bytes: the imprint does not match.
    const ByteVec other = {1, 2, 3};
    EXPECT_EQ(CmsSignerNode::ConstructTimeStampSigner(*bytes, other)->Verify(), kCryptEHashValue);
    // Without stamped bytes the caller compares the imprint.
    EXPECT_EQ(CmsSignerNode::ConstructTimeStampSigner(*bytes)->Verify(), 0u);
  }
  LibraryErrorCode status = 0;
  EXPECT_EQ(CmsSignerNode::ConstructTimeStampSigner(ByteVec{0x30, 0x00}, {}, &status), nullptr);
  EXPECT_NE(status, 0u);
}

}  // namespace
}  // namespace vel::crypto
