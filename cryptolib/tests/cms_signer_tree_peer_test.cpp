// The signer tree of a detached message with three signers, a counter-signer
// and time stamps from `openssl ts -reply`, checked against openssl's own
// reading: every node verifies where openssl verifies, each time text is the
// token's genTime as `openssl ts -reply -text` prints it, and a changed byte
// gives each node the status that belongs to it.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cryptolib/cms_classes.h"
#include "cryptolib/cms_message.h"
#include "cryptolib/cms_signer_tree.h"
#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "cryptolib/timestamp_token.h"

namespace vel::crypto {
namespace {

using test::ByteVec;
using test::RunCommand;
using test::ShellQuote;
using test::TwoCalls;

std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

// "Time stamp: Apr  9 12:34:56 2009 GMT" as "2009-04-09 12:34:56 UTC".
std::string OpenSslTimeText(const std::string& text_output) {
  const std::string key = "Time stamp: ";
  const size_t at = text_output.find(key);
  if (at == std::string::npos) return {};
  std::istringstream in(text_output.substr(at + key.size()));
  std::string month, clock, zone;
  int day = 0, year = 0;
  in >> month >> day >> clock >> year >> zone;
  static const std::map<std::string, int> months = {
      {"Jan", 1}, {"Feb", 2}, {"Mar", 3}, {"Apr", 4},  {"May", 5},  {"Jun", 6},
      {"Jul", 7}, {"Aug", 8}, {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12}};
  if (!months.contains(month) || clock.size() < 8) return {};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %s%s", year, months.at(month), day,
                clock.substr(0, 8).c_str(), zone == "GMT" ? " UTC" : "");
  return buffer;
}

class SignerTreePeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    tsa_ = std::make_unique<test::TestTsa>();
    config_ = tsa_->WriteFiles(pki_->dir.path());
    for (int i = 0; i < 6000; ++i) content_.push_back(static_cast<uint8_t>((i * 7) ^ (i >> 5)));
    content_file_ = pki_->dir / "pages.bin";
    test::WriteFileBytes(content_file_, content_);
  }
  static void TearDownTestSuite() {
    tsa_.reset();
    pki_.reset();
  }
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    pin_.Install();
  }

  // `openssl ts -query` over the bytes, then `openssl ts -reply`: the bare
  // token, or the whole response.
  static ByteVec OpenSslStamp(const ByteVec& data, bool whole_response) {
    const auto dir = pki_->dir.path();
    const std::string n = std::to_string(++files_);
    test::WriteFileBytes(dir / ("data" + n), data);
    test::CommandResult r =
        RunCommand("openssl ts -query -sha1 -cert -no_nonce -data " + Q(dir / ("data" + n)) +
                   " -out " + Q(dir / ("req" + n)));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = RunCommand("openssl ts -reply -config " + Q(config_) + " -queryfile " +
                   Q(dir / ("req" + n)) + (whole_response ? "" : " -token_out") + " -out " +
                   Q(dir / ("tsr" + n)));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return test::ReadFileBytes(dir / ("tsr" + n));
  }
  // What `openssl ts -verify` says of a token over the bytes.
  static test::CommandResult OpenSslVerifyToken(const ByteVec& token, const ByteVec& data) {
    const auto dir = pki_->dir.path();
    test::WriteFileBytes(dir / "vt.tok", token);
    test::WriteFileBytes(dir / "vt.dat", data);
    return RunCommand("openssl ts -verify -token_in -in " + Q(dir / "vt.tok") + " -data " +
                      Q(dir / "vt.dat") + " -CAfile " + Q(dir / "ca.pem") + " -untrusted " +
                      Q(dir / "tsa.pem"));
  }
  static std::string OpenSslTokenTime(const ByteVec& token) {
    const auto file = pki_->dir / "tt.tok";
    test::WriteFileBytes(file, token);
    const test::CommandResult r =
        RunCommand("openssl ts -reply -token_in -in " + Q(file) + " -token_out -text");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return OpenSslTimeText(r.output);
  }
  static test::CommandResult OpenSslVerifyMessage(const ByteVec& m, const ByteVec& content) {
    test::WriteFileBytes(pki_->dir / "m.p7s", m);
    test::WriteFileBytes(pki_->dir / "m.bin", content);
    return RunCommand("openssl cms -verify -binary -inform DER -in " + Q(pki_->dir / "m.p7s") +
                      " -content " + Q(pki_->dir / "m.bin") + " -noverify -out /dev/null");
  }

  static std::unique_ptr<test::TestPki> pki_;
  static std::unique_ptr<test::TestTsa> tsa_;
  static std::filesystem::path config_;
  static ByteVec content_;
  static std::filesystem::path content_file_;
  static inline int files_ = 0;
  test::ScriptedPin pin_;
};
std::unique_ptr<test::TestPki> SignerTreePeerTest::pki_;
std::unique_ptr<test::TestTsa> SignerTreePeerTest::tsa_;
std::filesystem::path SignerTreePeerTest::config_;
ByteVec SignerTreePeerTest::content_;
std::filesystem::path SignerTreePeerTest::content_file_;

TEST_F(SignerTreePeerTest, ThreeSignersCounterSignerAndTimeStampsAllVerify) {
  // Three signers: made, co-signed twice.
  std::unique_ptr<DetachedCmsMessage> message = CreateDetachedCmsMessage(
      content_.data(), static_cast<uint32_t>(content_.size()), pki_->signer.cert.get());
  ASSERT_NE(message, nullptr) << GetLastCreateError();
  ASSERT_EQ(message->CoSign(pki_->cosigner.cert.get()), 0u);
  ASSERT_EQ(message->CoSign(pki_->qualified.cert.get()), 0u);
  ByteVec sig[3];
  for (uint32_t i = 0; i < 3; ++i)
    ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                return message->GetSignerSignatureValue(i, o, s);
              },
                       &sig[i]),
              0u);

  // Time stamps from openssl over each signature value; signer 1 gets its
  // stamp before its counter-signature, signer 0 a second one stored as a
  // whole response.
  const ByteVec tokens[3] = {OpenSslStamp(sig[0], false), OpenSslStamp(sig[1], false),
                             OpenSslStamp(sig[2], false)};
  const ByteVec response0 = OpenSslStamp(sig[0], true);
  const ByteVec token0b = test::TokenOfResponse(response0);
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(message->AddSignerTimeStampToken(i, tokens[i].data(),
                                               static_cast<uint32_t>(tokens[i].size())),
              0u);
    const test::CommandResult r = OpenSslVerifyToken(tokens[i], sig[i]);
    EXPECT_EQ(r.exit_code, 0) << i << ": " << r.output;
  }
  ASSERT_EQ(message->AddSignerTimeStampToken(0, response0.data(),
                                             static_cast<uint32_t>(response0.size())),
            0u);
  // The qualified signer counter-signs signer 1.
  ByteVec bytes(message->Signature().begin(), message->Signature().end());
  bytes = test::AddUnsigned(
      bytes, 1, test::CounterSignatureAttribute({test::CounterSignerInfo(pki_->qualified, sig[1])}));
  message = std::make_unique<DetachedCmsMessage>(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                 content_.data(),
                                                 static_cast<uint32_t>(content_.size()));
  {
    const test::CommandResult r = OpenSslVerifyMessage(bytes, content_);
    EXPECT_EQ(r.exit_code, 0) << r.output;
  }

  std::unique_ptr<CmsSignerNode> root = message->BuildSignerTree();
  ASSERT_NE(root, nullptr);
  // Shape: three signers; signer 0: two time stamps; signer 1: the
  // counter-signer, then its time stamp; signer 2: one time stamp.
  std::vector<CmsSignerNode*> signers;
  for (CmsSignerNode* n = root.get(); n != nullptr; n = n->next()) signers.push_back(n);
  ASSERT_EQ(signers.size(), 3u);
  const std::vector<std::vector<uint32_t>> kinds = {{3, 3}, {2, 3}, {3}};
  const std::vector<std::vector<const ByteVec*>> stamp_tokens = {
      {&tokens[0], &token0b}, {&tokens[1]}, {&tokens[2]}};
  const test::TestIdentity* identities[] = {&pki_->signer, &pki_->cosigner, &pki_->qualified};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(signers[i]->kind(), CmsSignerNode::kSigner);
    ASSERT_NE(signers[i]->GetCertificateContext(), nullptr);
    EXPECT_TRUE(std::ranges::equal(signers[i]->GetCertificateContext()->der(),
                                   identities[i]->cert->der()));
    EXPECT_EQ(signers[i]->Verify(), 0u) << i;
    EXPECT_EQ(message->VerifySigner(static_cast<uint32_t>(i)), 0u) << i;
    std::vector<CmsSignerNode*> children;
    for (CmsSignerNode* c = signers[i]->first_child(); c != nullptr; c = c->next())
      children.push_back(c);
    ASSERT_EQ(children.size(), kinds[i].size()) << i;
    size_t stamp = 0;
    for (size_t k = 0; k < children.size(); ++k) {
      EXPECT_EQ(children[k]->kind(), kinds[i][k]) << i << "/" << k;
      EXPECT_EQ(children[k]->Verify(), 0u) << i << "/" << k;
      if (children[k]->kind() == CmsSignerNode::kCounterSigner) {
        EXPECT_TRUE(std::ranges::equal(children[k]->GetCertificateContext()->der(),
                                       pki_->qualified.cert->der()));
        EXPECT_EQ(children[k]->GetTimeText(), "");
        continue;
      }
      const ByteVec& token = *stamp_tokens[i][stamp];
      const std::string peer_time = OpenSslTokenTime(token);
      ASSERT_EQ(peer_time.size(), 23u) << peer_time;
      EXPECT_EQ(children[k]->GetTimeText(), peer_time) << i << "/" << k;
      EXPECT_TRUE(std::ranges::equal(children[k]->GetCertificateContext()->der(),
                                     tsa_->tsa.cert->der()));
      EXPECT_EQ(message->VerifySignerTimeStamp(static_cast<uint32_t>(i),
                                               static_cast<uint32_t>(stamp)),
                0u)
          << i << "/" << stamp;
      std::unique_ptr<TimeStampToken> stored = message->GetSignerTimeStampToken(
          static_cast<uint32_t>(i), static_cast<uint32_t>(stamp));
      ASSERT_NE(stored, nullptr);
      ByteVec hashed;
      EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) { return stored->GetHashedMessage(o, s); },
                         &hashed),
                0u);
      EXPECT_EQ(hashed, test::Sha1(sig[i]));
      ++stamp;
    }
  }

  // Other content: every signer fails on its digest; the counter-signer and
  // the time stamps cover signature values and still verify.
  ByteVec other = content_;
  other[4321] ^= 0x08;
  EXPECT_NE(OpenSslVerifyMessage(bytes, other).exit_code, 0);
  std::unique_ptr<CmsSignerNode> changed = CmsSignerNode::BuildTree(
      bytes.data(), static_cast<uint32_t>(bytes.size()), other.data(),
      static_cast<uint32_t>(other.size()));
  ASSERT_NE(changed, nullptr);
  for (CmsSignerNode* n = changed.get(); n != nullptr; n = n->next()) {
    EXPECT_EQ(n->Verify(), kCryptEHashValue);
    for (CmsSignerNode* c = n->first_child(); c != nullptr; c = c->next())
      EXPECT_EQ(c->Verify(), 0u) << c->kind();
  }

  // Signer 1's signature value changed: it fails, its counter-signer and its
  // time stamp no longer match it; the other signers are untouched.
  ByteVec spoilt = bytes;
  const size_t at = test::Find(spoilt, sig[1]);
  ASSERT_NE(at, std::string::npos);
  spoilt[at + 20] ^= 0x01;
  EXPECT_NE(OpenSslVerifyMessage(spoilt, content_).exit_code, 0);
  changed = CmsSignerNode::BuildTree(spoilt.data(), static_cast<uint32_t>(spoilt.size()),
                                     content_.data(), static_cast<uint32_t>(content_.size()));
  ASSERT_NE(changed, nullptr);
  CmsSignerNode* s1 = changed->next();
  EXPECT_EQ(changed->Verify(), 0u);
  EXPECT_EQ(s1->Verify(), kNteBadSignature);
  EXPECT_EQ(s1->first_child()->Verify(), kCryptEHashValue);
  EXPECT_EQ(s1->first_child()->next()->Verify(), kCryptEHashValue);
  EXPECT_EQ(s1->next()->Verify(), 0u);
  EXPECT_EQ(changed->first_child()->Verify(), 0u);

  // Signer 2's token with one changed byte in its TSTInfo: openssl refuses
  // it, and so does its node; the time text is still read.
  ByteVec bad_token = tokens[2];
  const std::string gen_time = test::OpenSslGenTime(tokens[2]);
  const size_t t = test::Find(bad_token, ByteVec(gen_time.begin(), gen_time.end()));
  ASSERT_NE(t, std::string::npos);
  bad_token[t + 13] = bad_token[t + 13] == '0' ? '1' : '0';  // the last digit of the seconds
  EXPECT_NE(OpenSslVerifyToken(bad_token, sig[2]).exit_code, 0);
  std::unique_ptr<CmsSignerNode> node =
      CmsSignerNode::ConstructTimeStampSigner(bad_token, std::span<const uint8_t>(sig[2]));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Verify(), kCryptEHashValue);
  EXPECT_EQ(node->GetTimeText().size(), 23u);
  // A token for other data: openssl and the node both refuse it.
  EXPECT_NE(OpenSslVerifyToken(tokens[2], sig[1]).exit_code, 0);
  EXPECT_EQ(CmsSignerNode::ConstructTimeStampSigner(tokens[2], std::span<const uint8_t>(sig[1]))
                ->Verify(),
            kCryptEHashValue);
}

}  // namespace
}  // namespace vel::crypto
