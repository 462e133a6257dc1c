// The time-stamp client and token class against OpenSSL's own responder run
// in-process and against tokens built by hand where a fault needs a shape
// that no authority writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "cryptolib/http_client.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/timestamp_token.h"
#include "platform/testing/http_test_server.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;
using BytesView = std::span<const uint8_t>;

constexpr LibraryErrorCode kBadSignature = 0x80090006;
constexpr LibraryErrorCode kHashValue = 0x80091007;
constexpr LibraryErrorCode kBadTag = 0x8009310B;
constexpr LibraryErrorCode kInvalidMsgType = 0x80091004;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Sha1(BytesView data) {
  Bytes md(20);
  EVP_Digest(data.data(), data.size(), md.data(), nullptr, EVP_sha1(), nullptr);
  return md;
}

Bytes Finish(der::Writer& w) {
  auto bytes = w.Finish();
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Bytes{});
}

template <typename F>
LibraryErrorCode TwoCalls(F&& f, Bytes* out) {
  uint32_t size = 0;
  LibraryErrorCode err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  err = f(out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

Bytes GetToken(TimeStampToken& t) {
  Bytes out;
  EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetToken(o, s); }, &out), 0u);
  return out;
}
Bytes GetResponse(TimeStampToken& t) {
  Bytes out;
  EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetResponse(o, s); }, &out), 0u);
  return out;
}
LibraryErrorCode GetHash(TimeStampToken& t, Bytes* out) {
  return TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetHashedMessage(o, s); }, out);
}

Bytes BuildRequest(BytesView data, const char* policy, bool nonce, bool cert_req) {
  TspContextPtr ctx(TspContextCreate());
  EXPECT_EQ(TspBuildRequest(ctx.get(), data.data(), static_cast<uint32_t>(data.size()), policy,
                            nonce, cert_req, nullptr),
            0u);
  return ctx->request;
}

// A TSTInfo as an authority writes it, with the given imprint, time and nonce.
Bytes MakeTstInfo(BytesView hash, const std::string& gen_time = "20250301120000Z",
                  BytesView nonce = {}) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddInteger(1);
  w.AddOid(test::kTsaPolicy);
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.AddNull();
  w.End();
  w.AddOctetString(hash);
  w.End();
  w.AddInteger(7);
  w.AddString(der::kGeneralizedTime, gen_time);
  if (!nonce.empty()) w.AddIntegerContent(nonce);
  w.End();
  return Finish(w);
}

// How a hand-built token differs from a sound one.
struct TokenPlan {
  std::string econtent_type = kOidTstInfo;
  std::string content_type_attribute = kOidTstInfo;  // empty: none
  int message_digests = 1;
  bool with_certificates = true;
  bool ca_first = false;
};

Bytes Signature(EVP_PKEY* key, BytesView data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t n = 0;
  EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key), 1);
  EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &n, data.data(), data.size()), 1);
  Bytes sig(n);
  EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &n, data.data(), data.size()), 1);
  sig.resize(n);
  return sig;
}

Bytes BuildToken(const test::TestTsa& tsa, BytesView tst_info, const TokenPlan& plan = {}) {
  const Bytes digest = Sha1(tst_info);
  der::Writer a;
  a.Begin(der::ContextConstructed(0));
  if (!plan.content_type_attribute.empty()) {
    a.Begin(der::kSequence);
    a.AddOid(cms::kOidContentType);
    a.Begin(der::kSet);
    a.AddOid(plan.content_type_attribute);
    a.End();
    a.End();
  }
  for (int i = 0; i < plan.message_digests; ++i) {
    a.Begin(der::kSequence);
    a.AddOid(cms::kOidMessageDigest);
    a.Begin(der::kSet);
    a.AddOctetString(digest);
    a.End();
    a.End();
  }
  a.End();
  const Bytes attrs = Finish(a);
  Bytes to_sign = attrs;
  to_sign[0] = der::kSet;
  const platform::CertContext& cert = *tsa.tsa.cert;

  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidSignedData);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.AddInteger(3);
  w.Begin(der::kSet);
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.AddNull();
  w.End();
  w.End();
  w.Begin(der::kSequence);
  w.AddOid(plan.econtent_type);
  w.Begin(der::ContextConstructed(0));
  w.AddOctetString(tst_info);
  w.End();
  w.End();
  if (plan.with_certificates) {
    w.Begin(der::ContextConstructed(0));
    if (plan.ca_first) w.AddEncoded(tsa.ca.cert->der());
    w.AddEncoded(cert.der());
    if (!plan.ca_first) w.AddEncoded(tsa.ca.cert->der());
    w.End();
  }
  w.Begin(der::kSet);
  w.Begin(der::kSequence);
  w.AddInteger(1);
  w.Begin(der::kSequence);
  w.AddEncoded(cert.issuer_der());
  w.AddIntegerContent(cert.serial());
  w.End();
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.AddNull();
  w.End();
  w.AddEncoded(attrs);
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidRsaEncryption);
  w.AddNull();
  w.End();
  w.AddOctetString(Signature(tsa.tsa.key.get(), to_sign));
  w.End();
  w.End();
  w.End();
  w.End();
  w.End();
  return Finish(w);
}

// A TimeStampResp around a token (none: without one), its status info with
// an optional text.
Bytes MakeResponse(int status, BytesView token, const std::string& text = {}) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.AddInteger(status);
  if (!text.empty()) {
    w.Begin(der::kSequence);
    w.AddUtf8String(text);
    w.End();
  }
  w.End();
  if (!token.empty()) w.AddEncoded(token);
  w.End();
  return Finish(w);
}

// A signer over a test key, for signed requests without a certificate store.
class KeySigner final : public platform::Signer {
 public:
  explicit KeySigner(const test::TestIdentity& id) : id_(id) {}
  const platform::CertPtr& certificate() const override { return id_.cert; }
  uint32_t SignSha1Digest(std::span<const uint8_t> digest, std::vector<uint8_t>* sig) override {
    return platform::SignSha1DigestWithKey(id_.key.get(), digest, sig);
  }
  uint32_t AcquirePrivateKey(EVP_PKEY** key) override {
    *key = id_.key.get();
    return 0;
  }

 private:
  const test::TestIdentity& id_;
};

class TimeStampTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tsa_ = std::make_unique<test::TestTsa>(); }
  static void TearDownTestSuite() { tsa_.reset(); }

  // A granted answer of OpenSSL's responder to our request for `data`.
  static Bytes Reply(BytesView data, bool nonce = false, bool cert_req = true,
                     bool with_ca = true) {
    const Bytes req = BuildRequest(data, nullptr, nonce, cert_req);
    Bytes resp = test::OpenSslReply(*tsa_, req, with_ca);
    EXPECT_EQ(test::OpenSslStatus(resp), 0);
    return resp;
  }
  static Bytes TokenOf(BytesView response) {
    tsp::ResponseView view;
    EXPECT_TRUE(tsp::ParseResponse(response, &view));
    return Bytes(view.token.begin(), view.token.end());
  }

  static std::unique_ptr<test::TestTsa> tsa_;
  const Bytes data_ = ToBytes("signature value to be stamped");
};
std::unique_ptr<test::TestTsa> TimeStampTest::tsa_;

// ---------------------------------------------------------------- requests

TEST(TimeStampRequest, UnsignedRequestLayout) {
  const Bytes data = ToBytes("any data");
  const Bytes digest = Sha1(data);
  Bytes expected = {0x30, 0x26, 0x02, 0x01, 0x01, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                    0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  expected.insert(expected.end(), digest.begin(), digest.end());
  EXPECT_EQ(BuildRequest(data, nullptr, false, false), expected);

  const Bytes a = BuildRequest(data, nullptr, true, true);
  const Bytes b = BuildRequest(data, nullptr, true, true);
  ASSERT_EQ(a.size(), 69u);
  EXPECT_EQ(a[0], 0x30);
  EXPECT_EQ(a[1], 0x43);
  EXPECT_EQ(Bytes(a.begin() + 40, a.begin() + 42), (Bytes{0x02, 0x18}));
  EXPECT_EQ(Bytes(a.end() - 3, a.end()), (Bytes{0x01, 0x01, 0xFF}));
  EXPECT_NE(Bytes(a.begin() + 42, a.begin() + 66), Bytes(b.begin() + 42, b.begin() + 66));
}

TEST(TimeStampRequest, NoncesAreMinimalPositiveIntegers) {
  // Authorities that read DER strictly refuse 00 7x... and negative values.
  const Bytes data = {1, 2, 3};
  std::set<Bytes> seen;
  for (int i = 0; i < 3000; ++i) {
    const Bytes req = BuildRequest(data, nullptr, true, false);
    ASSERT_EQ(req.size(), 66u);
    const uint8_t first = req[42];
    ASSERT_GE(first, 0x01);
    ASSERT_LE(first, 0x7F);
    seen.insert(Bytes(req.begin() + 42, req.end()));
  }
  EXPECT_EQ(seen.size(), 3000u);
}

TEST(TimeStampRequest, LongPolicyUsesLongFormLengths) {
  const std::string policy = test::LongTsaPolicy();
  const Bytes req = BuildRequest(ToBytes("x"), policy.c_str(), true, true);
  EXPECT_EQ(req[1], 0x81);  // content over 127 bytes
  tsp::RequestView view;
  ASSERT_TRUE(tsp::ParseRequest(req, &view));
  EXPECT_EQ(view.policy, policy);
  EXPECT_TRUE(view.has_nonce);
  EXPECT_TRUE(view.cert_req);
  const Bytes oid_head = {0x06, 0x81, 0x8D};
  EXPECT_NE(std::search(req.begin(), req.end(), oid_head.begin(), oid_head.end()), req.end());
}

TEST(TimeStampRequest, BuildFailures) {
  TspContextPtr ctx(TspContextCreate());
  const uint8_t byte = 1;
  EXPECT_EQ(TspBuildRequest(ctx.get(), nullptr, 5, nullptr, 0, 0, nullptr), 13u);
  EXPECT_EQ(ctx->last_status, 13u);
  EXPECT_EQ(TspBuildRequest(ctx.get(), &byte, 0, nullptr, 0, 0, nullptr), 13u);
  EXPECT_EQ(TspBuildRequest(ctx.get(), &byte, 1, nullptr, 0, 0, nullptr), 0u);
  EXPECT_EQ(TspBuildRequest(ctx.get(), &byte, 1, "1.2.x", 0, 0, nullptr), 87u);
  EXPECT_EQ(ctx->last_status, 0u);  // the policy's 87 is not recorded
  EXPECT_EQ(TspBuildRequest(ctx.get(), &byte, 1, "", 0, 0, nullptr), 87u);
}

// ---------------------------------------------------------------- stored tokens

TEST_F(TimeStampTest, StoredTokenGetsTheGrantedHeader) {
  Bytes token = {0x30, 0x62};
  token.resize(100, 0xAB);
  TimeStampToken t;
  ASSERT_EQ(t.LoadToken(token.data(), 100), 0u);
  const Bytes resp = GetResponse(t);
  ASSERT_EQ(resp.size(), 109u);
  EXPECT_EQ(Bytes(resp.begin(), resp.begin() + 9),
            (Bytes{0x30, 0x82, 0x00, 0x69, 0x30, 0x03, 0x02, 0x01, 0x00}));
  EXPECT_EQ(GetToken(t), token);
  EXPECT_EQ(t.Decode(), 0);

  // The largest token whose header still fits, and one byte more.
  Bytes big = {0x30, 0x82, 0xFF, 0xF6};
  big.resize(65530, 0x11);
  ASSERT_EQ(t.LoadToken(big.data(), 65530), 0u);
  EXPECT_EQ(GetResponse(t)[2], 0xFF);
  EXPECT_EQ(GetResponse(t)[3], 0xFF);
  EXPECT_EQ(GetToken(t), big);
  Bytes bigger = {0x30, 0x82, 0xFF, 0xF7};
  bigger.resize(65531, 0x11);
  EXPECT_EQ(t.LoadToken(bigger.data(), 65531), 87u);
  EXPECT_EQ(GetToken(t), big);  // nothing changed
  EXPECT_EQ(t.LoadToken(nullptr, 0), 87u);
}

TEST_F(TimeStampTest, TokenIsFoundByWalkingTheResponse) {
  const Bytes token = TokenOf(Reply(data_));
  // A granted status with text moves the token away from byte 9.
  const Bytes with_text = MakeResponse(0, token, "Operation Okay");
  TimeStampToken t;
  ASSERT_EQ(t.LoadResponse(with_text.data(), static_cast<uint32_t>(with_text.size())), 0u);
  EXPECT_EQ(GetToken(t), token);
  EXPECT_EQ(t.Decode(), 0);
  EXPECT_EQ(t.Verify(), 0u);
  Bytes hash;
  EXPECT_EQ(GetHash(t, &hash), 0u);
  EXPECT_EQ(hash, Sha1(data_));

  // A rejection carries text and no token.
  const Bytes rejection = MakeResponse(2, {}, "Requested policy is not supported.");
  ASSERT_EQ(t.LoadResponse(rejection.data(), static_cast<uint32_t>(rejection.size())), 0u);
  EXPECT_EQ(t.Decode(), 2);
  uint32_t size = 0;
  EXPECT_EQ(t.GetToken(nullptr, &size), 13u);
  EXPECT_EQ(t.Verify(), 13u);
  EXPECT_EQ(GetHash(t, &hash), 13u);
}

TEST_F(TimeStampTest, ReadersStayInsideTheResponse) {
  const Bytes resp = Reply(data_);
  // Every truncation of a real response, the bare
  // 9-byte header included, fails cleanly in every reader.
  for (size_t n = 1; n < resp.size(); ++n) {
    TimeStampToken t;
    ASSERT_EQ(t.LoadResponse(resp.data(), static_cast<uint32_t>(n)), 0u);
    uint32_t size = 0;
    ASSERT_EQ(t.GetToken(nullptr, &size), 13u) << n;
    ASSERT_EQ(t.GetHashedMessage(nullptr, &size), 13u) << n;
    ASSERT_EQ(TspGetGenTime(t.context(), nullptr, &size), 13u) << n;
    ASSERT_EQ(TspGetCertificatesField(t.context(), nullptr, &size), 13u) << n;
    ASSERT_EQ(t.Decode(), -1) << n;
    ASSERT_EQ(t.GetLastResult(), 0xFFFFFFFFu);
    ASSERT_EQ(t.Verify(), 13u) << n;
    ASSERT_EQ(t.GetTsaCertificate(), nullptr) << n;
  }
  // Lengths and tags inside that claim more, or other, than there is: every
  // byte in turn. A token handed out lies inside what was stored, and only
  // an unchanged imprint is read as the one stamped.
  const Bytes digest = Sha1(data_);
  const size_t imprint_at = static_cast<size_t>(
      std::search(resp.begin(), resp.end(), digest.begin(), digest.end()) - resp.begin());
  ASSERT_LT(imprint_at, resp.size());
  for (size_t i = 0; i < resp.size(); ++i) {
    for (uint8_t value : {uint8_t{0x84}, uint8_t{0x7F}, uint8_t{0x00}}) {
      Bytes bad = resp;
      if (bad[i] == value) continue;
      bad[i] = value;
      TimeStampToken t;
      ASSERT_EQ(t.LoadResponse(bad.data(), static_cast<uint32_t>(bad.size())), 0u);
      Bytes out;
      if (TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetToken(o, s); }, &out) == 0) {
        ASSERT_NE(std::search(bad.begin(), bad.end(), out.begin(), out.end()), bad.end());
      }
      t.Decode();
      if (GetHash(t, &out) == 0) {
        const bool in_imprint = i >= imprint_at && i < imprint_at + digest.size();
        ASSERT_EQ(out == digest, !in_imprint) << i;
      }
      uint32_t size = 0;
      TspGetGenTime(t.context(), nullptr, &size);
      TspGetCertificatesField(t.context(), nullptr, &size);
    }
  }
}

TEST_F(TimeStampTest, FieldReaders) {
  const Bytes resp = Reply(data_);
  TimeStampToken t;
  ASSERT_EQ(t.LoadResponse(resp.data(), static_cast<uint32_t>(resp.size())), 0u);

  uint32_t size = 0;
  ASSERT_EQ(TspGetGenTime(t.context(), nullptr, &size), 234u);
  std::string text(size, '?');
  uint32_t small = size - 1;
  EXPECT_EQ(TspGetGenTime(t.context(), text.data(), &small), 234u);
  ASSERT_EQ(TspGetGenTime(t.context(), text.data(), &size), 0u);
  EXPECT_EQ(text.back(), '\0');
  text.pop_back();
  EXPECT_EQ(text.size() + 1, size);
  // The time OpenSSL reads in the same token.
  const unsigned char* p = resp.data();
  TS_RESP* parsed = d2i_TS_RESP(nullptr, &p, static_cast<long>(resp.size()));
  ASSERT_NE(parsed, nullptr);
  const ASN1_GENERALIZEDTIME* gt = TS_TST_INFO_get_time(TS_RESP_get_tst_info(parsed));
  EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(gt->data), gt->length));
  TS_RESP_free(parsed);

  // The certificates: the authority's and its CA, as the responder sent them.
  Bytes certs;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return TspGetCertificatesField(t.context(), o, s);
            }, &certs),
            0u);
  const auto tsa_der = tsa_->tsa.cert->der();
  EXPECT_NE(std::search(certs.begin(), certs.end(), tsa_der.begin(), tsa_der.end()), certs.end());
  EXPECT_GT(certs.size(), tsa_der.size());
  const platform::CertPtr cert = t.GetTsaCertificate();
  ASSERT_NE(cert, nullptr);
  EXPECT_TRUE(std::ranges::equal(cert->der(), tsa_der));
  EXPECT_EQ(t.GetLastResult(), 0u);

  // A token asked for without certReq carries none.
  const Bytes bare = Reply(data_, false, false, false);
  ASSERT_EQ(t.LoadResponse(bare.data(), static_cast<uint32_t>(bare.size())), 0u);
  EXPECT_EQ(TspGetCertificatesField(t.context(), nullptr, &size), 2u);
  EXPECT_EQ(t.GetTsaCertificate(), nullptr);
  EXPECT_EQ(t.GetLastResult(), 2u);
  EXPECT_EQ(t.Verify(), 0x80092004u);  // the signer's certificate is not there
}

TEST_F(TimeStampTest, TsaCertificateIsTheSigners) {
  // The CA put first must not pass for the authority.
  TokenPlan plan;
  plan.ca_first = true;
  const Bytes token = BuildToken(*tsa_, MakeTstInfo(Sha1(data_)), plan);
  TimeStampToken t;
  ASSERT_EQ(t.LoadToken(token.data(), static_cast<uint32_t>(token.size())), 0u);
  ASSERT_EQ(t.Verify(), 0u);
  const platform::CertPtr cert = t.GetTsaCertificate();
  ASSERT_NE(cert, nullptr);
  EXPECT_TRUE(std::ranges::equal(cert->der(), tsa_->tsa.cert->der()));
}

TEST_F(TimeStampTest, GenTimeMustCarryItsDigits) {
  struct Case {
    const char* text;
    LibraryErrorCode expected;
  } cases[] = {
      {"20250301120000Z", 0},    {"20250301120000.123Z", 0},
      {"202503011200Z", 13},     {"2025030112Z", 13},
      {"20251301120000Z", 13},   {"2025030112000xZ", 13},
  };
  for (const Case& c : cases) {
    const Bytes token = BuildToken(*tsa_, MakeTstInfo(Sha1(data_), c.text));
    TimeStampToken t;
    ASSERT_EQ(t.LoadToken(token.data(), static_cast<uint32_t>(token.size())), 0u);
    std::string text;
    uint32_t size = 0;
    LibraryErrorCode err = TspGetGenTime(t.context(), nullptr, &size);
    if (err == 234) {
      text.resize(size);
      err = TspGetGenTime(t.context(), text.data(), &size);
      text.pop_back();
    }
    EXPECT_EQ(err, c.expected) << c.text;
    if (err == 0) {
      EXPECT_EQ(text, c.text);
    }
  }
}

// ---------------------------------------------------------------- verification

TEST_F(TimeStampTest, VerifyChecksTheTokensOwnSignature) {
  const Bytes resp = Reply(data_);
  const Bytes token = TokenOf(resp);
  const Bytes tst = MakeTstInfo(Sha1(data_));
  auto plan = [](auto change) {
    TokenPlan p;
    change(p);
    return p;
  };
  Bytes flipped_signature = token;
  flipped_signature.back() ^= 0x01;
  Bytes changed_time = token;
  const Bytes gt_tag = {0x18};
  auto gt = std::search(changed_time.begin(), changed_time.end(), gt_tag.begin(), gt_tag.end());
  while (gt != changed_time.end() && !(gt[1] >= 15 && gt[1] < 40 && gt[2] == '2')) {
    gt = std::search(gt + 1, changed_time.end(), gt_tag.begin(), gt_tag.end());
  }
  ASSERT_NE(gt, changed_time.end());
  gt[5] = gt[5] == '9' ? '8' : static_cast<uint8_t>(gt[5] + 1);

  struct Case {
    const char* name;
    Bytes bytes;
    bool as_token;
    LibraryErrorCode expected;
  } cases[] = {
      {"openssl token", token, true, 0},
      {"openssl response", resp, false, 0},
      {"flipped signature byte", flipped_signature, true, kBadSignature},
      {"changed time", changed_time, true, kHashValue},
      {"response loaded as a token", resp, true, kBadTag},
      {"hand-built token", BuildToken(*tsa_, tst), true, 0},
      {"no messageDigest", BuildToken(*tsa_, tst, plan([](TokenPlan& p) { p.message_digests = 0; })),
       true, kHashValue},
      {"two messageDigests",
       BuildToken(*tsa_, tst, plan([](TokenPlan& p) { p.message_digests = 2; })), true, kHashValue},
      {"no contentType",
       BuildToken(*tsa_, tst, plan([](TokenPlan& p) { p.content_type_attribute.clear(); })), true,
       kHashValue},
      {"contentType other than the content's",
       BuildToken(*tsa_, tst,
                  plan([](TokenPlan& p) { p.content_type_attribute = cms::kOidData; })),
       true, kHashValue},
      {"signed data that is not a TSTInfo",
       BuildToken(*tsa_, tst,
                  plan([](TokenPlan& p) {
                    p.econtent_type = cms::kOidData;
                    p.content_type_attribute = cms::kOidData;
                  })),
       true, kInvalidMsgType},
  };
  for (const Case& c : cases) {
    TimeStampToken t;
    const auto n = static_cast<uint32_t>(c.bytes.size());
    ASSERT_EQ(c.as_token ? t.LoadToken(c.bytes.data(), n) : t.LoadResponse(c.bytes.data(), n), 0u);
    EXPECT_EQ(t.Verify(), c.expected) << c.name;
    EXPECT_EQ(t.GetLastResult(), c.expected) << c.name;
  }
  TimeStampToken empty;
  EXPECT_EQ(empty.Verify(), 13u);
}

// ---------------------------------------------------------------- answers

TEST_F(TimeStampTest, AnswerMustMatchTheRequest) {
  const Bytes plain = BuildRequest(data_, nullptr, false, true);
  const Bytes with_nonce = BuildRequest(data_, nullptr, true, true);
  // The same request with one bit of its nonce changed.
  Bytes other_nonce = with_nonce;
  other_nonce[65] ^= 0x01;
  const Bytes other_data = BuildRequest(ToBytes("other data"), nullptr, false, true);
  // A signed request: the request as the content of a SignedData.
  KeySigner signer(tsa_->ca);
  Bytes signed_request;
  ASSERT_EQ(SignMessage(with_nonce, false, signer, &signed_request), 0u);
  const Bytes unknown_policy = BuildRequest(data_, "1.2.3.4.5", false, true);

  const Bytes tst = MakeTstInfo(Sha1(data_), "20250301120000Z",
                                BytesView(with_nonce.begin() + 42, with_nonce.begin() + 66));
  Bytes padded_nonce = {0x00};
  padded_nonce.insert(padded_nonce.end(), with_nonce.begin() + 42, with_nonce.begin() + 66);
  const Bytes tst_padded = MakeTstInfo(Sha1(data_), "20250301120000Z", padded_nonce);

  struct Case {
    const char* name;
    Bytes request;
    Bytes response;
    uint32_t expected;
  } cases[] = {
      {"bare request", plain, test::OpenSslReply(*tsa_, plain), 0},
      {"with nonce", with_nonce, test::OpenSslReply(*tsa_, with_nonce), 0},
      {"signed with nonce", signed_request, test::OpenSslReply(*tsa_, with_nonce), 0},
      {"nonce one bit off", with_nonce, test::OpenSslReply(*tsa_, other_nonce), 13},
      {"nonce missing", with_nonce, test::OpenSslReply(*tsa_, plain), 13},
      {"token for other data", plain, test::OpenSslReply(*tsa_, other_data), 13},
      // A refusal is handed on, so that its status tells the user why.
      {"rejection", unknown_policy, test::OpenSslReply(*tsa_, unknown_policy), 0},
      {"granted without a token", plain, MakeResponse(0, {}), 13},
      {"the request itself", plain, plain, 13},
      {"same nonce value, redundant zero", with_nonce,
       MakeResponse(0, BuildToken(*tsa_, tst_padded)), 0},
      {"hand-built", with_nonce, MakeResponse(0, BuildToken(*tsa_, tst)), 0},
      {"not a request", Bytes{0x30, 0x00}, test::OpenSslReply(*tsa_, plain), 13},
  };
  for (const Case& c : cases) EXPECT_EQ(tsp::CheckAnswer(c.request, c.response), c.expected) << c.name;
}

TEST_F(TimeStampTest, SendAcceptsOnlyATimeStampAnswer) {
  test::ClearProxyEnvironment();
  ASSERT_EQ(SetProxy(nullptr, nullptr, nullptr), 0u);
  test::TempDir dir;
  test::HttpTestServer server(dir.path());
  TimeStampToken t;
  EXPECT_EQ(t.Send(server.Url("/echo").c_str()), 87u);  // nothing built yet
  ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), nullptr, 0, 1,
                            nullptr),
            0u);
  const Bytes request = t.context()->request;
  // Without a nonce, an answer that is no time-stamp response is still refused.
  EXPECT_EQ(t.Send(server.Url("/echo").c_str()), 13u);
  EXPECT_EQ(GetResponse(t), request);  // the answer is held
  EXPECT_EQ(t.Decode(), -1);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/timestamp-query");
  EXPECT_EQ(requests[0].Header("Accept"), "application/timestamp-reply");
  EXPECT_EQ(requests[0].body, request);

  // An exchange that fails leaves no answer and the request for another try.
  const std::string down = "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/";
  EXPECT_NE(t.Send(down.c_str()), 0u);
  EXPECT_TRUE(GetResponse(t).empty());
  EXPECT_EQ(t.context()->request, request);
  EXPECT_EQ(t.Send(server.Url("/status/500").c_str()), 0xE0000000u + 500);
}

}  // namespace
}  // namespace vel::crypto
