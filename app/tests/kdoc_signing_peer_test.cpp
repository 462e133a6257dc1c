// Signing a container end to end with real parts: a printed job becomes a
// container, keys of the "My" store sign and co-sign it, a local `openssl ts`
// responder stamps it, `openssl cms` and `cabextract` accept what was written,
// a kill -9 at any moment of the rewrite leaves the old container or the new
// one and nothing that the next start and open do not clear, and a rewrite
// keeps the file the container was.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <optional>
#include <random>
#include <thread>

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
  prompt = ScriptedPrompt();
  prompt.QueueMessageAnswer(IDNO);
  test::WriteFileBytes(env / "doc.kdsc", test::PageStream({pages[0], test::EmfPage(9), pages[2]}));
  ASSERT_EQ(closed.Open((env / "doc.kdsc").string(), 0), 0u);
  EXPECT_EQ(Shown(), (std::vector<int>{211, kMsgSignedOriginalKept}));
  CSignedDocObj changed(catalog, prompt);
  ASSERT_EQ(changed.Open(container, 1), 0u);
  ASSERT_EQ(changed.signature_list().GetCount(), 2u);
  for (const auto& e : changed.signature_list().entries()) EXPECT_EQ(e->status, kSignatureInvalid);
  // The signed document as it was is kept beside it, and its signatures hold.
  CSignedDocObj kept(catalog, prompt);
  ASSERT_EQ(kept.Open((env / "doc (signed).kdoc").string(), 1), 0u);
  ASSERT_EQ(kept.signature_list().GetCount(), 2u);
  for (const auto& e : kept.signature_list().entries()) EXPECT_EQ(e->status, kSignatureCorrect) << e->status_text;
}

// The steps of the rewrite, in order, as the signing flow names them.
const char* const kSteps[] = {"sign", "extracted", "signatures-written", "cabinet-written", "renamed"};

int StepIndex(const char* step) {
  for (int i = 0; i < static_cast<int>(std::size(kSteps)); ++i)
    if (std::string(step) == kSteps[i]) return i;
  return -1;
}

// Reports each step it reaches through `report` (its index as one byte) and,
// when told one, kills its own process there: the hook lives only in this test.
class KilledAt : public CSignedDocObj {
 public:
  KilledAt(const CMessageTable& catalog, Prompt& prompt, int report, const char* kill_at)
      : CSignedDocObj(catalog, prompt), report_(report), kill_at_(kill_at) {}

 private:
  void StepReached(const char* step) override {
    const char c = static_cast<char>('0' + StepIndex(step));
    (void)!::write(report_, &c, 1);
    if (kill_at_ != nullptr && std::string(step) == kill_at_) ::raise(SIGKILL);
  }
  int report_;
  const char* kill_at_;
};

class KdocKillTest : public KdocSigningTest {
 protected:
  struct Run {
    int status = 0;
    std::string steps;  // the indices of the steps the child reached
    std::chrono::microseconds window{0};  // from "extracted" to "renamed"
  };

  // Signs with the co-signer in a child that dies at `kill_at` (never when
  // null), or is killed `delay` after it reports the extraction.
  Run SignInChild(const char* kill_at, std::optional<std::chrono::microseconds> delay = std::nullopt) {
    int p[2];
    // Not inherited by the waiting program the child starts, which would
    // keep the pipe open past the child's death.
    EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(p[0]);
      KilledAt doc(catalog, prompt, p[1], kill_at);
      if (doc.Open(container, 1) != 0) ::_exit(3);
      const uint32_t r = SignWith(doc, pki.cosigner, false);
      ::_exit(r == 0 ? 0 : 4);
    }
    ::close(p[1]);
    Run run;
    std::chrono::steady_clock::time_point extracted;
    char c;
    while (::read(p[0], &c, 1) == 1) {
      run.steps += c;
      const auto now = std::chrono::steady_clock::now();
      if (c == '0' + StepIndex("extracted")) {
        extracted = now;
        if (delay) {
          std::this_thread::sleep_for(*delay);
          ::kill(pid, SIGKILL);
        }
      }
      if (c == '0' + StepIndex("renamed"))
        run.window = std::chrono::duration_cast<std::chrono::microseconds>(now - extracted);
    }
    ::close(p[0]);
    EXPECT_EQ(::waitpid(pid, &run.status, 0), pid);
    EndOrphanedWaitPrograms();
    return run;
  }

  void SetUp() override {
    KdocSigningTest::SetUp();
    // A waiting program whose signing process was killed comes to this
    // process, which ends it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  static void EndOrphanedWaitPrograms() {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream stat(e.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      char state;
      pid_t parent = 0;
      rest >> state >> parent;
      std::error_code ec;
      if (parent != ::getpid() || std::filesystem::read_symlink(e.path() / "exe", ec).filename() != "VelSWait")
        continue;
      const pid_t pid = std::stoi(name);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  static bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

  // What a killed run may leave: hidden new files beside the container and
  // working folders in the temporary folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    for (const auto& n : test::Names(env / "")) if (n.rfind(".kdoc", 0) == 0) out.push_back(n);
    for (const auto& n : test::Names(env.temp()))
      if (n.rfind(kWorkFolderPrefix, 0) == 0) out.push_back("tmp/" + n);
    return out;
  }

  // The container is the old one, or a whole new one in which both the old
  // and the new signer verify.
  void ExpectOldOrNew(const Bytes& old_bytes, bool want_new, const std::string& what) {
    const Bytes now = ReadFileBytes(container);
    if (!want_new) {
      EXPECT_EQ(now, old_bytes) << what;
      return;
    }
    ASSERT_NE(now, old_bytes) << what;
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u) << what;
    ASSERT_NE(doc.signatures(), nullptr) << what;
    uint32_t n = 0;
    EXPECT_EQ(doc.signatures()->GetSignerCount(&n), 0u) << what;
    EXPECT_EQ(n, 2u) << what;
    EXPECT_EQ(doc.signatures()->VerifySigner(0), 0u) << what;
    EXPECT_EQ(doc.signatures()->VerifySigner(1), 0u) << what;
    EXPECT_EQ(doc.page_list()->GetCount(), 3u) << what;
  }

  // The start-up clearing and the next open of the container take whatever
  // the killed run left.
  void ExpectCleanedUp(const std::string& what) {
    RemoveAbandonedKdocFolders();
    {
      CSignedDocObj doc(catalog, prompt);
      EXPECT_EQ(doc.Open(container, 1), 0u) << what;
    }
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << what;
  }

  void SignOnce() {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  }
};

// A signing process killed at each step of its rewrite leaves the old
// container or the new one; what it left beside the container and in the
// temporary folder is cleared by the next start and the next open.
TEST_F(KdocKillTest, AKillAtEachStepLeavesOldOrNewAndNothingAfterTheCleanUp) {
  SignOnce();
  const Bytes old_bytes = ReadFileBytes(container);
  struct Case {
    const char* step;
    bool hidden_file_left;  // the new cabinet beside the container
    bool folder_left;       // the working folder
  } cases[] = {
      {"sign", false, false},
      {"extracted", false, true},
      {"signatures-written", false, true},
      {"cabinet-written", true, true},
      {"renamed", false, true},
  };
  for (const Case& c : cases) {
    test::WriteFileBytes(container, old_bytes);
    const Run run = SignInChild(c.step);
    EXPECT_TRUE(KilledBySigkill(run.status)) << c.step << " status " << run.status;
    EXPECT_EQ(run.steps.back(), '0' + StepIndex(c.step)) << c.step;
    ExpectOldOrNew(old_bytes, std::string(c.step) == "renamed", c.step);
    const auto left = Leftovers();
    const bool hidden = std::any_of(left.begin(), left.end(), [](const auto& n) { return n[0] == '.'; });
    const bool folder = std::any_of(left.begin(), left.end(), [](const auto& n) { return n.rfind("tmp/", 0) == 0; });
    EXPECT_EQ(hidden, c.hidden_file_left) << c.step;
    EXPECT_EQ(folder, c.folder_left) << c.step;
    ExpectCleanedUp(c.step);
  }
}

// Kills at random moments of the write (from the extraction to the rename):
// each leaves the old container or the new one, and most of them must land
// inside the write, or the test would prove nothing.
TEST_F(KdocKillTest, KillsAtRandomMomentsOfTheWriteLeaveOldOrNew) {
  SignOnce();
  const Bytes old_bytes = ReadFileBytes(container);
  // The write's length varies with the disk's load: the kills are spread
  // over the shortest of a few undisturbed writes.
  std::chrono::microseconds shortest = std::chrono::microseconds::max();
  for (int i = 0; i < 5; ++i) {
    test::WriteFileBytes(container, old_bytes);
    const Run undisturbed = SignInChild(nullptr);
    ASSERT_TRUE(WIFEXITED(undisturbed.status) && WEXITSTATUS(undisturbed.status) == 0) << undisturbed.status;
    ASSERT_GT(undisturbed.window.count(), 0);
    ExpectOldOrNew(old_bytes, true, "undisturbed");
    shortest = std::min(shortest, undisturbed.window);
  }

  constexpr int kRuns = 20;
  std::mt19937 random(20);
  std::uniform_int_distribution<long> at(0, shortest.count());
  int inside = 0, olds = 0, news = 0;
  for (int i = 0; i < kRuns; ++i) {
    test::WriteFileBytes(container, old_bytes);
    const Run run = SignInChild(nullptr, std::chrono::microseconds(at(random)));
    const bool finished = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    EXPECT_TRUE(finished || KilledBySigkill(run.status)) << i << " status " << run.status;
    const bool renamed = run.steps.find(static_cast<char>('0' + StepIndex("renamed"))) != std::string::npos;
    if (!renamed) ++inside;
    const bool is_new = ReadFileBytes(container) != old_bytes;
    (is_new ? news : olds)++;
    ExpectOldOrNew(old_bytes, is_new, "run " + std::to_string(i));
    ExpectCleanedUp("run " + std::to_string(i));
  }
  std::cout << "write of " << shortest.count() << " us; killed runs: " << inside << " of " << kRuns
            << " inside the write; " << olds
            << " left the old container, " << news << " the new one\n";
  EXPECT_GE(inside, kRuns / 4) << "too few kills landed inside the write";
}

// A rewritten container stays the file it was: its mode and owner, the real
// file behind a link (the link stays a link), and a file with other hard
// links is refused before anything is asked.
TEST_F(KdocSigningTest, SigningKeepsTheFilesIdentity) {
  const Bytes pristine = ReadFileBytes(container);
  const bool root = ::geteuid() == 0;
  struct stat st;

  // Mode, and with the right to give files away, owner and group.
  ::chmod(container.c_str(), 0644);
  if (root) {
    ASSERT_EQ(::chown(container.c_str(), 4321, 4322), 0);
  }
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  }
  ASSERT_EQ(::stat(container.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  EXPECT_EQ(OpenSslVerify(container).exit_code, 0);

  // A link to the container: the real file is signed, the link stays.
  std::filesystem::create_directories(env / "real");
  const std::string real = (env / "real" / "doc.kdoc").string();
  test::WriteFileBytes(real, pristine);
  const std::string link = (env / "link.kdoc").string();
  std::filesystem::create_symlink("real/doc.kdoc", link);
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(link, 1), 0u);
    ASSERT_EQ(SignWith(doc, pki.signer, false), 0u);
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link), "real/doc.kdoc");
  EXPECT_EQ(OpenSslVerify(real).exit_code, 0);
  for (const auto& dir : {env / "", env / "real"})
    for (const auto& n : test::Names(dir)) EXPECT_NE(n.rfind(".kdoc", 0), 0u) << n;

  // A second hard link: refused with the reason, nothing asked, both names
  // still the same unchanged file.
  const std::string twin = (env / "twin.kdoc").string();
  test::WriteFileBytes(container, pristine);
  ASSERT_EQ(::link(container.c_str(), twin.c_str()), 0);
  prompt = ScriptedPrompt();
  pin.asked = 0;
  {
    CSignedDocObj doc(catalog, prompt);
    ASSERT_EQ(doc.Open(container, 1), 0u);
    g_pick = pki.signer.cert;
    int wait = 0;
    EXPECT_EQ(doc.Sign(&wait), 1359u);
  }
  EXPECT_EQ(Shown(), std::vector<int>{239});
  EXPECT_NE(prompt.shown()[0].text.find("2 hard links"), std::string::npos) << prompt.shown()[0].text;
  EXPECT_EQ(pin.asked, 0);
  EXPECT_EQ(ReadFileBytes(container), pristine);
  struct stat a, b;
  ASSERT_EQ(::stat(container.c_str(), &a), 0);
  ASSERT_EQ(::stat(twin.c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
}

}  // namespace
}  // namespace vel::app
