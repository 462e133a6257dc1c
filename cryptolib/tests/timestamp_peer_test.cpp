// The time-stamp client against OpenSSL: requests byte for byte as
// `openssl ts -query` writes them, answers of `openssl ts -reply` behind a
// python3 HTTP wrapper on 127.0.0.1, and `openssl ts -verify` as the judge of
// the tokens we accept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cryptolib/http_client.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/timestamp_token.h"
#include "platform/testing/http_test_server.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RunCommand;

std::string Q(const std::filesystem::path& p) { return test::ShellQuote(p.string()); }

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Sha1(std::span<const uint8_t> data) {
  Bytes md(20);
  EVP_Digest(data.data(), data.size(), md.data(), nullptr, EVP_sha1(), nullptr);
  return md;
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

class TimeStampPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(test::HaveTool("openssl"));
    ASSERT_TRUE(test::HaveTool("python3"));
    test::ClearProxyEnvironment();
    ASSERT_EQ(SetProxy(nullptr, nullptr, nullptr), 0u);
    dir_ = std::make_unique<test::TempDir>();
    tsa_ = std::make_unique<test::TestTsa>();
    responder_ = std::make_unique<test::TsaResponder>(dir_->path(), *tsa_);
    pki_ = std::make_unique<test::TestPki>();  // the request signer, bound in "My"
  }
  static void TearDownTestSuite() {
    responder_.reset();
    pki_.reset();
    tsa_.reset();
    dir_.reset();
  }
  void SetUp() override { pin_.Install(); }

  static std::filesystem::path File(const std::string& name, const Bytes& bytes) {
    const auto p = dir_->path() / name;
    test::WriteFileBytes(p, bytes);
    return p;
  }

  // `openssl ts -verify` of a token over data.
  static bool OpenSslAccepts(const Bytes& token, const Bytes& data) {
    const auto r = RunCommand("openssl ts -verify -token_in -in " + Q(File("v.tok", token)) +
                              " -data " + Q(File("v.dat", data)) + " -CAfile " +
                              Q(dir_->path() / "ca.pem"));
    return r.exit_code == 0 && r.output.find("Verification: OK") != std::string::npos;
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static std::unique_ptr<test::TsaResponder> responder_;
  static std::unique_ptr<test::TestPki> pki_;
  test::ScriptedPin pin_;
  const Bytes data_ = ToBytes("signature value to be stamped");
};
std::unique_ptr<test::TempDir> TimeStampPeerTest::dir_;
std::unique_ptr<test::TestTsa> TimeStampPeerTest::tsa_;
std::unique_ptr<test::TsaResponder> TimeStampPeerTest::responder_;
std::unique_ptr<test::TestPki> TimeStampPeerTest::pki_;

TEST_F(TimeStampPeerTest, RequestsAreByteIdenticalToOpenSsl) {
  const std::string long_policy = test::LongTsaPolicy();
  const Bytes small = {0x42};
  Bytes large(10000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  for (const Bytes* data : {&small, static_cast<const Bytes*>(&large)}) {
    const auto data_file = File("q.dat", *data);
    for (const char* policy : {static_cast<const char*>(nullptr), test::kTsaPolicy,
                               long_policy.c_str()}) {
      for (bool cert : {false, true}) {
        std::string cmd = "openssl ts -query -data " + Q(data_file) + " -sha1 -no_nonce -out " +
                          Q(dir_->path() / "q.tsq");
        if (cert) cmd += " -cert";
        if (policy) cmd += std::string(" -tspolicy ") + policy;
        const auto r = RunCommand(cmd);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        TspContextPtr ctx(TspContextCreate());
        ASSERT_EQ(TspBuildRequest(ctx.get(), data->data(), static_cast<uint32_t>(data->size()),
                                  policy, 0, cert, nullptr),
                  0u);
        EXPECT_EQ(ctx->request, test::ReadFileBytes(dir_->path() / "q.tsq"))
            << "cert " << cert << " policy " << (policy ? policy : "none");
      }
    }
  }
}

TEST_F(TimeStampPeerTest, TwoThousandNoncesAcceptedByOpenSsl) {
  // OpenSSL's responder code, in-process for speed: each request with a
  // fresh nonce must be read, granted, and match on OpenSSL's side and ours.
  int first_byte_low = 0;
  for (int i = 0; i < 2000; ++i) {
    const Bytes data = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    TspContextPtr ctx(TspContextCreate());
    ASSERT_EQ(TspBuildRequest(ctx.get(), data.data(), 2, nullptr, 1, 1, nullptr), 0u);
    const Bytes& req = ctx->request;
    first_byte_low += req[42] < 0x10;
    const Bytes resp = test::OpenSslReply(*tsa_, req);
    ASSERT_EQ(test::OpenSslStatus(resp), 0) << "request " << i;

    const unsigned char* p = req.data();
    TS_REQ* ts_req = d2i_TS_REQ(nullptr, &p, static_cast<long>(req.size()));
    ASSERT_NE(ts_req, nullptr);
    TS_VERIFY_CTX* vctx = TS_REQ_to_TS_VERIFY_CTX(ts_req, nullptr);  // imprint, nonce, version
    const unsigned char* q = resp.data();
    TS_RESP* ts_resp = d2i_TS_RESP(nullptr, &q, static_cast<long>(resp.size()));
    ASSERT_NE(ts_resp, nullptr);
    EXPECT_EQ(TS_RESP_verify_response(vctx, ts_resp), 1) << "request " << i;
    TS_RESP_free(ts_resp);
    TS_VERIFY_CTX_free(vctx);
    TS_REQ_free(ts_req);
    ASSERT_EQ(tsp::CheckAnswer(req, resp), 0u) << "request " << i;
  }
  EXPECT_GT(first_byte_low, 0);  // small first bytes did occur
}

TEST_F(TimeStampPeerTest, TimeStampsThroughTheResponder) {
  const std::string long_policy = test::LongTsaPolicy();
  struct Case {
    uint32_t nonce;
    bool signed_request;
    const char* policy;
  } cases[] = {
      {0, false, test::kTsaPolicy}, {1, false, nullptr},         {0, true, test::kTsaPolicy},
      {1, true, nullptr},           {1, false, long_policy.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "nonce " << c.nonce << " signed " << c.signed_request
                                    << " policy " << (c.policy ? c.policy : "none"));
    TimeStampToken t;
    ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), c.policy, c.nonce,
                              1, c.signed_request ? pki_->signer.cert.get() : nullptr),
              0u);
    ASSERT_EQ(t.Send(responder_->Url("/tsa").c_str()), 0u) << responder_->Log();
    EXPECT_EQ(t.Decode(), 0);
    EXPECT_EQ(t.Verify(), 0u);
    Bytes hash, token;
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetHashedMessage(o, s); }, &hash),
              0u);
    EXPECT_EQ(hash, Sha1(data_));
    const platform::CertPtr cert = t.GetTsaCertificate();
    ASSERT_NE(cert, nullptr);
    EXPECT_TRUE(std::ranges::equal(cert->der(), tsa_->tsa.cert->der()));
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetToken(o, s); }, &token), 0u);
    EXPECT_TRUE(OpenSslAccepts(token, data_));

    // What a signature stores reads back the same.
    TimeStampToken stored;
    ASSERT_EQ(stored.LoadToken(token.data(), static_cast<uint32_t>(token.size())), 0u);
    EXPECT_EQ(stored.Verify(), 0u);
    Bytes stored_hash;
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return stored.GetHashedMessage(o, s); },
                       &stored_hash),
              0u);
    EXPECT_EQ(stored_hash, hash);
  }
  const std::string log = responder_->Log();
  EXPECT_NE(log.find("tsa|application/timestamp-query|application/timestamp-reply|"),
            std::string::npos)
      << log;
}

TEST_F(TimeStampPeerTest, OpenSslVerifyAgreesWithVerify) {
  TimeStampToken t;
  ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), nullptr, 1, 1,
                            nullptr),
            0u);
  ASSERT_EQ(t.Send(responder_->Url("/tsa").c_str()), 0u);
  Bytes token;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetToken(o, s); }, &token), 0u);

  Bytes flipped_signature = token;
  flipped_signature.back() ^= 0x80;
  Bytes changed_imprint = token;
  const Bytes digest = Sha1(data_);
  auto at = std::search(changed_imprint.begin(), changed_imprint.end(), digest.begin(),
                        digest.end());
  ASSERT_NE(at, changed_imprint.end());
  at[0] ^= 0x01;

  struct Case {
    const char* name;
    Bytes token;
    Bytes data;
    LibraryErrorCode verify;
  } cases[] = {
      {"as issued", token, data_, 0},
      {"flipped signature byte", flipped_signature, data_, 0x80090006},
      {"imprint changed inside the signed content", changed_imprint, data_, 0x80091007},
      {"other data", token, ToBytes("other data"), 0},
  };
  for (const Case& c : cases) {
    TimeStampToken stored;
    ASSERT_EQ(stored.LoadToken(c.token.data(), static_cast<uint32_t>(c.token.size())), 0u);
    const LibraryErrorCode verify = stored.Verify();
    EXPECT_EQ(verify, c.verify) << c.name;
    Bytes hash;
    const bool ours = verify == 0 &&
                      TwoCalls([&](uint8_t* o, uint32_t* s) { return stored.GetHashedMessage(o, s); },
                               &hash) == 0 &&
                      hash == Sha1(c.data);
    EXPECT_EQ(ours, OpenSslAccepts(c.token, c.data)) << c.name;
  }
}

TEST_F(TimeStampPeerTest, AnswersForOtherDataAreRefused) {
  struct Case {
    const char* path;
    uint32_t nonce;
  } cases[] = {{"/other-data", 0}, {"/other-data", 1}, {"/other-nonce", 1}};
  for (const Case& c : cases) {
    TimeStampToken t;
    ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), nullptr, c.nonce,
                              1, nullptr),
              0u);
    EXPECT_EQ(t.Send(responder_->Url(c.path).c_str()), 13u) << c.path;
    // A granted, validly signed answer: only the check against the request refuses it.
    EXPECT_EQ(t.Decode(), 0) << c.path;
    EXPECT_EQ(t.Verify(), 0u) << c.path;
  }
}

TEST_F(TimeStampPeerTest, FailingResponderChangesNothing) {
  const platform::HttpLimits saved = GetHttpLimits();
  platform::HttpLimits quick = saved;
  quick.connect_timeout = std::chrono::milliseconds(2000);
  quick.idle_timeout = std::chrono::milliseconds(1000);
  quick.transfer_timeout = std::chrono::milliseconds(3000);
  SetHttpLimits(quick);
  const std::string down = "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/tsa";
  struct Case {
    std::string url;
    LibraryErrorCode expected;  // 0: any failure
  } cases[] = {
      {down, 12029},
      {responder_->Url("/slow"), 1460},
      {responder_->Url("/garbage"), 13},
      {responder_->Url("/drop"), 0},
  };
  for (const Case& c : cases) {
    TimeStampToken t;
    ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), nullptr, 1, 1,
                              nullptr),
              0u);
    const Bytes request = t.context()->request;
    const LibraryErrorCode err = t.Send(c.url.c_str());
    EXPECT_NE(err, 0u) << c.url;
    if (c.expected != 0) {
      EXPECT_EQ(err, c.expected) << c.url;
    }
    EXPECT_EQ(t.GetLastResult(), err);
    uint32_t size = 0;
    EXPECT_EQ(t.GetToken(nullptr, &size), 13u) << c.url;
    EXPECT_EQ(t.context()->request, request);
    // The request is intact: the real responder answers it.
    EXPECT_EQ(t.Send(responder_->Url("/tsa").c_str()), 0u) << c.url;
  }
  SetHttpLimits(saved);
}

TEST_F(TimeStampPeerTest, RejectionIsReported) {
  TimeStampToken t;
  ASSERT_EQ(t.CreateRequest(data_.data(), static_cast<uint32_t>(data_.size()), "1.2.3.4.5", 0, 1,
                            nullptr),
            0u);
  // Send hands the refusal on; its status says what happened.
  EXPECT_EQ(t.Send(responder_->Url("/tsa").c_str()), 0u);
  EXPECT_EQ(t.Decode(), 2);  // rejection, with the responder's text
  uint32_t size = 0;
  EXPECT_EQ(t.GetToken(nullptr, &size), 13u);
  EXPECT_EQ(t.Verify(), 13u);
}

}  // namespace
}  // namespace vel::crypto
