// Signing a container end to end with real parts: a printed job becomes a
// container, keys of the "My" store sign and co-sign it, a local `openssl ts`
// responder stamps it, `openssl cms` and `cabextract` accept what was written,
// and a kill -9 during the rewrite leaves the old container or the new one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "app/kdoc_document.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/tests/kdoc_fixture.h"
#include "cryptolib/cert_windows.h"
#include "cryptolib/http_client.h"
#include "cryptolib/qualified.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

using test::Bytes;
using test::ReadFileBytes;

// The certificate the selection window picks next (none: cancel).
platform::CertPtr g_pick;

crypto::CertPtr PickScripted(crypto::X509Context* context) {
  for (const auto& c : context->candidates) {
    if (g_pick && c->sha1() == g_pick->sha1()) {
      context->certificate = c;
      context->last_error = 0;
      return c;
    }
  }
  context->last_error = 1223;
  return nullptr;
}

class KdocSigningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tsa_dir = new test::TempDir;
    tsa = new test::TestTsa;
    responder = new test::TsaResponder(tsa_dir->path(), *tsa);
  }
  static void TearDownTestSuite() {
    delete responder;
    delete tsa;
    delete tsa_dir;
  }
  void SetUp() override {
    crypto::CertificateWindowHandlers h;
    h.select_certificate = &PickScripted;
    crypto::SetCertificateWindowHandlers(h);
    pin.Install();
    WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaHost, responder->Url("/tsa"));
    WriteRegDword(platform::RegHive::kCurrentUser, kUserKey, kValueTsaSignReq, 0);
    pages = test::ThreePages();
    stream = test::PageStream(pages);
    test::WriteFileBytes(env / "doc.kdsc", stream);
    CSignedDocObj job(catalog, prompt);
    ASSERT_EQ(job.Open((env / "doc.kdsc").string(), 0), 0u) << job.error_text();
    container = (env / "doc.kdoc").string();
    test::WriteFileBytes(env / "content.bin", Bytes(stream.begin() + 4, stream.end()));
  }
  void TearDown() override {
    crypto::SetCertificateWindowHandlers({});
    g_pick = nullptr;
  }

  // Signs the open document with the identity; the answers go to the
  // confirmation and the time-stamp question.
  uint32_t SignWith(CSignedDocObj& doc, const test::TestIdentity& id, bool time_stamp) {
    g_pick = id.cert;
    prompt.QueueMessageAnswer(IDYES);
    prompt.QueueMessageAnswer(time_stamp ? IDYES : IDNO);
    int wait = 0;
    const uint32_t r = doc.Sign(&wait);
    EXPECT_EQ(wait, 0);
    return r;
  }

  // `openssl cms -verify` of the container's signatures over its page stream.
  test::CommandResult OpenSslVerify(const std::string& cab) {
    const auto dir = env / "check";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    EXPECT_EQ(test::RunCommand("cabextract -q -d " + test::ShellQuote(dir.string()) + " " + test::ShellQuote(cab))
                  .exit_code,
              0);
    return test::RunCommand("openssl cms -verify -binary -inform DER -in " +
                            test::ShellQuote((dir / "signatures.p7b").string()) + " -content " +
                            test::ShellQuote((env / "content.bin").string()) + " -CAfile " +
                            test::ShellQuote((pki.dir / "ca.pem").string()) + " -purpose any -out /dev/null");
  }

  std::vector<int> Shown() {
    std::vector<int> ids;
    for (const auto& s : prompt.shown()) ids.push_back(s.id);
    return ids;
  }

  static test::TempDir* tsa_dir;
  static test::TestTsa* tsa;
  static test::TsaResponder* responder;
  test::KdocEnvironment env;
  test::TestPki pki;
  test::ScriptedPin pin;
  CMessageTable catalog{1033};
  ScriptedPrompt prompt;
  std::vector<Bytes> pages;
  Bytes stream;
  std::string container;
};
test::TempDir* KdocSigningTest::tsa_dir = nullptr;
test::TestTsa* KdocSigningTest::tsa = nullptr;
test::TsaResponder* KdocSigningTest::responder = nullptr;

TEST_F(KdocSigningTest, SignsTimeStampsAndCoSigns) {
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
    EXPECT_EQ(Shown(), (std::vector<int>{201, 408, 317}));
    EXPECT_NE(prompt.shown()[0].text.find("Document hash : "), std::string::npos) << prompt.shown()[0].text;
    EXPECT_EQ(pin.asked, 1);
  }
  EXPECT_EQ(test::RunCommand("cabextract -t " + test::ShellQuote(container)).exit_code, 0);
  const auto first = OpenSslVerify(container);
  EXPECT_EQ(first.exit_code, 0) << first.output;
  const Bytes first_signature = ReadFileBytes(env / "check" / "signatures.p7b");

  // A second signer with a time stamp; the first signature stays as it was.
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  ASSERT_NE(doc.signatures(), nullptr);
  std::vector<uint8_t> value0(4096);
  uint32_t size0 = static_cast<uint32_t>(value0.size());
  ASSERT_EQ(doc.signatures()->GetSignerSignatureValue(0, value0.data(), &size0), 0u);
  value0.resize(size0);
  ASSERT_EQ(SignWith(doc, pki.cosigner, true), 0u);
  uint32_t count = 0;
  ASSERT_EQ(doc.signatures()->GetSignerCount(&count), 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_NE(doc.signatures()->GetSignerTimeStampToken(1, 0), nullptr);
  EXPECT_EQ(doc.signatures()->VerifySignerTimeStamp(1, 0), 0u);
  EXPECT_EQ(doc.signatures()->GetSignerTimeStampToken(0, 0), nullptr);
  std::vector<uint8_t> after0(4096);
  uint32_t after_size = static_cast<uint32_t>(after0.size());
  ASSERT_EQ(doc.signatures()->GetSignerSignatureValue(0, after0.data(), &after_size), 0u);
  after0.resize(after_size);
  EXPECT_EQ(after0, value0);
  EXPECT_FALSE(responder->Log().empty());

  // The rewritten container is held open and locked like the first one.
  CSignedDocObj other(catalog, prompt);
  EXPECT_EQ(other.Open(container, 1), 32u);
  const auto second = OpenSslVerify(container);
  EXPECT_EQ(second.exit_code, 0) << second.output;
  EXPECT_NE(ReadFileBytes(env / "check" / "signatures.p7b"), first_signature);
}

TEST_F(KdocSigningTest, AProxySwitchedOffIsNotUsedForTheTimeStamp) {
  // Start-up handed on a proxy that the user has switched off since (and
  // that is gone): the signatures page gives the document the proxy as off.
  ASSERT_EQ(crypto::SetProxy("127.0.0.1:1", nullptr, nullptr), 0u);
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  doc.SetProxy(ProxySettings{});
  const uint32_t r = SignWith(doc, pki.signer, true);
  crypto::SetProxy(nullptr, nullptr, nullptr);
  ASSERT_EQ(r, 0u) << "the time stamp went to the old proxy";
  ASSERT_NE(doc.signatures(), nullptr);
  EXPECT_NE(doc.signatures()->GetSignerTimeStampToken(0, 0), nullptr);
}

TEST_F(KdocSigningTest, RefusalsAndFailuresKeepThePreviousSignatures) {
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  const Bytes signed_once = ReadFileBytes(container);
  auto signer_count = [&] {
    uint32_t n = 0;
    return doc.signatures() && doc.signatures()->GetSignerCount(&n) == 0 ? n : 0u;
  };
  prompt = ScriptedPrompt();

  // Cancelling the certificate choice: 1223 and nothing shown.
  g_pick = nullptr;
  int wait = 0;
  EXPECT_EQ(doc.Sign(&wait), 1223u);
  EXPECT_TRUE(prompt.shown().empty());

  // The same key again: asked, No ends it.
  g_pick = pki.signer.cert;
  prompt.QueueMessageAnswer(IDNO);
  EXPECT_EQ(doc.Sign(&wait), 1223u);
  EXPECT_EQ(Shown(), (std::vector<int>{212}));

  // The PIN question cancelled, or answered wrong every time: message 279
  // says why, and the document keeps its one signature.
  struct PinCase {
    const char* name;
    bool cancel;
    uint32_t status;
    int asked;
    const char* reason;
  } pin_cases[] = {
      {"cancelled", true, 1223, 1, "\n\nThe operation was canceled by the user. (0x000004C7)"},
      {"wrong", false, platform::kScardWrongPin, platform::kPinTries,
       "\n\nThe supplied PIN is incorrect. (0x8010006B)"},
  };
  for (const PinCase& c : pin_cases) {
    prompt = ScriptedPrompt();
    pin.asked = 0;
    pin.cancel = c.cancel;
    pin.pin = "0000";
    EXPECT_EQ(SignWith(doc, pki.cosigner, false), c.status) << c.name;
    EXPECT_EQ(pin.asked, c.asked) << c.name;
    EXPECT_EQ(pin.last.retry, c.asked > 1) << c.name;
    EXPECT_EQ(Shown(), (std::vector<int>{201, 279})) << c.name;
    EXPECT_EQ(prompt.shown().back().text, std::string("Attempt ended with the error!") + c.reason) << c.name;
    EXPECT_EQ(signer_count(), 1u) << c.name;
    EXPECT_EQ(ReadFileBytes(container), signed_once) << c.name;
  }
  pin.cancel = false;
  pin.pin = test::kTestPin;

  // A time-stamp server that refuses (unknown policy) or cannot be reached.
  struct Case {
    const char* name;
    std::string host;
    std::string policy;
  } cases[] = {
      {"refused", responder->Url("/tsa"), "1.2.3.4.5"},
      {"unreachable", "http://127.0.0.1:1/tsa", kRegDefaultTsaOidSigning},
      {"garbage", responder->Url("/garbage"), kRegDefaultTsaOidSigning},
  };
  for (const Case& c : cases) {
    prompt = ScriptedPrompt();
    WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaHost, c.host);
    WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaOid, c.policy);
    const uint32_t r = SignWith(doc, pki.cosigner, true);
    EXPECT_NE(r, 0u) << c.name;
    if (std::string(c.name) == "refused") {
      EXPECT_EQ(r, 2u);  // the answer's rejection status
    }
    EXPECT_EQ(Shown(), (std::vector<int>{201, 408, 279})) << c.name;
    EXPECT_EQ(signer_count(), 1u) << c.name;
    EXPECT_EQ(ReadFileBytes(container), signed_once) << c.name;
  }

  // A qualified signer refuses an authority that is not a qualified one.
  prompt = ScriptedPrompt();
  WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaHost, responder->Url("/tsa"));
  WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaOid, kRegDefaultTsaOidSigning);
  auto saved = crypto::SetBuiltInCaCertificates({{pki.ca.der()}, {}});
  EXPECT_NE(SignWith(doc, pki.qualified, true), 0u);
  crypto::SetBuiltInCaCertificates(saved);
  EXPECT_EQ(Shown(), (std::vector<int>{202, 408, 282}));
  EXPECT_EQ(signer_count(), 1u);
  EXPECT_EQ(ReadFileBytes(container), signed_once);

  // The rewrite itself fails (the folder refuses the new file): the old
  // container and the old signatures stay.
  prompt = ScriptedPrompt();
  ASSERT_EQ(::chmod(env.operator/("").c_str(), 0555), 0);
  const uint32_t r = SignWith(doc, pki.cosigner, false);
  ::chmod(env.operator/("").c_str(), 0755);
  if (::geteuid() != 0) {
    EXPECT_EQ(r, 1359u);
    EXPECT_EQ(Shown(), (std::vector<int>{201, 408, 239}));
    EXPECT_EQ(signer_count(), 1u);
    EXPECT_EQ(ReadFileBytes(container), signed_once);
  }
  for (const auto& n : test::Names(env.temp())) EXPECT_NE(n.rfind("kdoc", 0), 0u) << "left behind: " << n;
}

// The program's own file stays in a signed container; other members go.
TEST_F(KdocSigningTest, SigningKeepsTheProgramAndDropsStrangers) {
  const auto src = env / "src";
  std::filesystem::create_directories(src);
  test::WriteCabinet(container, src,
                     {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                      {"DezazudIvirar.exe", {0x7F, 'E', 'L', 'F'}}, {"notes.txt", {'x'}}});
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  EXPECT_TRUE(doc.has_viewer());
  ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  const auto out = env / "out";
  std::filesystem::create_directories(out);
  ASSERT_EQ(cabinet::ExtractCabinet(container.c_str(), out.c_str()), 1);
  EXPECT_EQ(test::Names(out), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf", "DezazudIvirar.exe",
                                                         "signatures.p7b"}));
}

// A key on a PKCS#11 token (SoftHSM2) signs and is time-stamped with its PIN
// asked once; a signed time-stamp request uses the key again and asks again,
// as the time-stamp question warns.
TEST_F(KdocSigningTest, ATokenKeySignsWithThePinAskedOnce) {
  test::SoftHsmToken token;
  ASSERT_TRUE(token.ok);
  token.Put(pki.signer, "01", "podpis");
  ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *pki.signer.cert,
                                      {platform::KeyReference::Kind::kPkcs11Object, token.Uri("01")}),
            0u);
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  ASSERT_EQ(SignWith(doc, pki.signer, true), 0u);
  EXPECT_EQ(pin.asked, 1);
  EXPECT_EQ(doc.signatures()->VerifySignerTimeStamp(0, 0), 0u);
  const auto r = OpenSslVerify(container);
  EXPECT_EQ(r.exit_code, 0) << r.output;

  WriteRegDword(platform::RegHive::kCurrentUser, kUserKey, kValueTsaSignReq, 1);
  prompt.QueueMessageAnswer(IDYES);  // signing again with the same key
  ASSERT_EQ(SignWith(doc, pki.signer, true), 0u);
  EXPECT_EQ(pin.asked, 3);
  EXPECT_EQ(doc.signatures()->VerifySignerTimeStamp(1, 0), 0u);  // the new signature got the stamp
  EXPECT_EQ(doc.signatures()->GetSignerTimeStampToken(0, 1), nullptr);
}

// The list verifies every signer over the pages, with the CRLs of a local
// server; signatures kept over changed pages verify as not matching.
TEST_F(KdocSigningTest, TheListVerifiesEverySigner) {
  std::unique_ptr<platform::CertStore> root;
  ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "ROOT", &root), 0u);
  ASSERT_EQ(root->AddCertificate(pki.ca.cert, platform::AddDisposition::kUseExisting), 0u);
  ASSERT_EQ(root->AddCertificate(tsa->ca.cert, platform::AddDisposition::kUseExisting), 0u);
  std::filesystem::create_directories(env / "www");
  test::StaticFileServer crls(env / "www");
  crls.Publish("ca.crl", test::EmptyCrl(pki.ca));
  crls.Publish("tsa.crl", test::EmptyCrl(tsa->ca));
  WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueCrlUrls,
                 "  " + crls.Url("ca.crl") + " \r\n\r\n" + crls.Url("tsa.crl") + "\r\n");
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    EXPECT_EQ(doc.signature_list().GetCount(), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
    ASSERT_EQ(SignWith(doc, pki.cosigner, true), 0u);
  }
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  const auto& entries = doc.signature_list().entries();
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& e : entries) {
    EXPECT_EQ(e->status, kSignatureCorrect) << e->status_text;
    EXPECT_EQ(e->status_text, "Correct signature.");
    EXPECT_FALSE(e->qualified);
  }
  EXPECT_EQ(entries[0]->time_stamp_status, kTimeStampNotChecked);
  EXPECT_EQ(entries[1]->time_stamp_status, kSignatureCorrect);

  // The same job changed, its signatures kept: they no longer match the pages.
  CSignedDocObj closed(catalog, prompt);
  doc.Open("/nonexistent", 1);  // lets go of the container
  prompt.QueueMessageAnswer(IDNO);
  test::WriteFileBytes(env / "doc.kdsc", test::PageStream({pages[0], test::EmfPage(9), pages[2]}));
  ASSERT_EQ(closed.Open((env / "doc.kdsc").string(), 0), 0u);
  ASSERT_EQ(prompt.shown().back().id, 211);
  CSignedDocObj changed(catalog, prompt);
  ASSERT_EQ(changed.Open(container, 1), 0u);
  ASSERT_EQ(changed.signature_list().GetCount(), 2u);
  for (const auto& e : changed.signature_list().entries()) EXPECT_EQ(e->status, kSignatureInvalid);
}

// Writes a byte to `ready` when the rewrite of the container begins.
class RewriteSignalled : public CSignedDocObj {
 public:
  RewriteSignalled(const CMessageTable& catalog, Prompt& prompt, int ready)
      : CSignedDocObj(catalog, prompt), ready_(ready) {}

 private:
  void StepReached(const char* step) override {
    if (std::string(step) == "extracted") (void)!::write(ready_, "x", 1);
  }
  int ready_;
};

// A signing process killed at a random moment of its rewrite leaves the old
// container or the new one, and either opens.
TEST_F(KdocSigningTest, KillDuringTheRewriteLeavesOldOrNew) {
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  }
  const Bytes old_bytes = ReadFileBytes(container);

  // Runs one signing in a child; it writes a byte to `ready` when the rewrite begins.
  auto start_child = [&](int ready) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      RewriteSignalled doc(catalog, prompt, ready);
      if (doc.Open(container, 1) != 0) ::_exit(3);
      const uint32_t r = SignWith(doc, pki.cosigner, false);
      ::_exit(r == 0 ? 0 : 4);
    }
    return pid;
  };

  // One undisturbed run tells how long a rewrite takes here.
  auto run = [&](bool kill_it, std::chrono::microseconds delay) {
    int p[2];
    EXPECT_EQ(::pipe(p), 0);
    const auto begin = std::chrono::steady_clock::now();
    const pid_t pid = start_child(p[1]);
    char c;
    const bool began = ::read(p[0], &c, 1) == 1;
    const auto started = std::chrono::steady_clock::now();
    if (kill_it && began) {
      std::this_thread::sleep_for(delay);
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(p[0]);
    ::close(p[1]);
    (void)begin;
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  };
  const auto span = run(false, {});
  const Bytes new_bytes = ReadFileBytes(container);
  ASSERT_NE(new_bytes, old_bytes);

  std::mt19937 random(20);
  int olds = 0, news = 0;
  for (int i = 0; i < 20; ++i) {
    test::WriteFileBytes(container, old_bytes);
    std::uniform_int_distribution<long> at(0, span.count() + 1000);
    run(true, std::chrono::microseconds(at(random)));
    const Bytes now = ReadFileBytes(container);
    if (now == old_bytes) {
      ++olds;
      continue;
    }
    // Not the old bytes: a whole new container with one more signature.
    ++news;
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u) << i;
    uint32_t n = 0;
    ASSERT_NE(doc.signatures(), nullptr);
    EXPECT_EQ(doc.signatures()->GetSignerCount(&n), 0u);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(doc.signatures()->VerifySigner(1), 0u);
    EXPECT_EQ(doc.page_list()->GetCount(), 3u);
  }
  std::cout << "killed runs: " << olds << " left the old container, " << news << " the new one\n";
}

}  // namespace
}  // namespace vel::app
