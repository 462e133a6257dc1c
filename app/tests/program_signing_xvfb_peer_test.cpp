// Signing and decrypting in the real program on a virtual display. Every
// question is answered with keys on the program's own dialogs, as a person
// would: the certificate chosen in the selection window, the digest
// confirmed, the key file's password and the token's PIN typed into the PIN
// dialog; the key file itself comes into the store through velcert, as a
// user's does. What the program wrote is checked with cabextract and openssl;
// every message box is kept as a picture (the texts themselves are checked by
// the signing flow's own tests).
#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QRegularExpression>
#include <filesystem>

#include "app/kdoc_document.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/tests/kdoc_fixture.h"
#include "app/tests/window_layout.h"
#include "app/tests/xvfb_session.h"
#include "app/ui/main_window.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/registry.h"
#include "platform/testing/http_test_server.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;
using test::ShellQuote;

// Typed through the keyboard, so printable ASCII; a blank inside.
constexpr char kPassword[] = "Tajne-haslo 7";

class SigningOnXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xdotool", "cabextract", "openssl", "softhsm2-util", "pkcs11-tool"})
      if (test::RunCommand(std::string("command -v ") + tool).exit_code != 0) GTEST_SKIP() << tool << " missing";
    setenv("VELDOC_STORE_DIR", (env / "stores").c_str(), 1);
    ca = test::MakeIdentity("Test CA", nullptr, {0x01}, true, false);
    jan = test::MakeIdentity("Jan Kowalski", &ca, {0x11}, false, false);
    test::WriteFileText(env / "ca.pem", test::CertPem(ca.x509.get()));
    test::WriteFileText(env / "jan.pem", test::CertPem(jan.x509.get()));
    // Jan's key file imported as a user imports it, the password on standard
    // input: velcert puts his certificate into "My" bound to its own copy of
    // the file, so the file handed to it is gone before the program starts.
    const fs::path key_file = env / "jan.p12";
    test::WritePkcs12(key_file, jan, kPassword);
    const test::CommandResult imported =
        test::RunCommand("printf '%s\\n' " + ShellQuote(kPassword) + " | " + VEL_CERT_TOOL + " import " +
                         ShellQuote(key_file.string()) + " --password-fd 0");
    ASSERT_EQ(imported.exit_code, 0) << imported.output;
    fs::remove(key_file);
    AddTo("ROOT", ca);
    // The user's settings as after a first start, which resets them.
    CInstallMarker first_start;
  }
  void TearDown() override {
    test::Stop(program_);
    display_.reset();
  }

  void AddTo(const char* store_name, const test::TestIdentity& id) {
    std::unique_ptr<platform::CertStore> store;
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, store_name, &store), 0u);
    ASSERT_EQ(store->AddCertificate(id.cert, platform::AddDisposition::kUseExisting), 0u);
  }

  // The row of a certificate in the selection window: the store's order.
  int RowOf(const test::TestIdentity& id) {
    std::unique_ptr<platform::CertStore> store;
    EXPECT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "My", &store), 0u);
    int row = 0;
    for (const auto& c : store->Certificates()) {
      if (c->sha1() == id.cert->sha1()) return row;
      ++row;
    }
    ADD_FAILURE() << "not in My";
    return 0;
  }

  // Starts the program with `file` on a display of its own.
  void Launch(const fs::path& file, const std::vector<std::string>& extra_env = {}) {
    test::Stop(program_);
    if (!display_) display_ = std::make_unique<test::XvfbDisplay>(env / "fb");
    ASSERT_FALSE(display_->name().empty()) << "Xvfb did not start";
    std::vector<std::string> environment = test::ProgramEnvironment(display_->name(), env / "reg", env / "stores");
    environment.insert(environment.end(), extra_env.begin(), extra_env.end());
    // "/nc": other tests run copies of the program meanwhile.
    program_ = test::Spawn({VEL_PROGRAM, "/nc", file.string()}, environment, env / "program.log");
    ASSERT_GT(program_, 0);
    main_.clear();
    last_dialog_.clear();
  }

  // Waits for the main window showing `file`, and gives it the size of the
  // layout the test measured.
  void WaitForMainWindow(const fs::path& file) {
    main_ = WaitForWindow("Vellorum Sign 3.0.0.25 [" + file.string() + "]");
    ASSERT_FALSE(main_.empty());
    display_->Xdotool("windowsize " + main_ + " 960 760");
    display_->Xdotool("windowmove " + main_ + " 0 0");
    std::this_thread::sleep_for(300ms);
  }

  // Publishes a CRL of each CA on 127.0.0.1 and names them in the settings.
  void PublishCrls(const std::vector<const test::TestIdentity*>& cas) {
    fs::create_directories(env / "www");
    crls_ = std::make_unique<test::StaticFileServer>(env / "www");
    std::string urls;
    for (size_t i = 0; i < cas.size(); ++i) {
      const std::string name = "ca" + std::to_string(i) + ".crl";
      crls_->Publish(name, test::EmptyCrl(*cas[i]));
      urls += crls_->Url(name) + "\r\n";
    }
    WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueCrlUrls, urls);
  }

  // The first window with exactly this title, within 90 s; empty when none.
  std::string WaitForWindow(const std::string& title) {
    const std::string pattern =
        "^" + QRegularExpression::escape(QString::fromStdString(title)).toStdString() + "$";
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string found = display_->Xdotool("search --onlyvisible --name " + ShellQuote(pattern));
      if (!found.empty()) return found.substr(0, found.find('\n'));
      if (test::WaitFor(program_, 100ms) != -1) {
        program_ = -1;
        break;
      }
    }
    ADD_FAILURE() << "no window \"" << title << "\"; windows shown:\n"
                  << display_->WindowNames() << "the program's output:\n"
                  << test::ReadFileText(env / "program.log");
    return {};
  }

  // The window that takes the keyboard next: another than the last dialog
  // and than the main window. Empty (and a failure) when none comes in 60 s.
  std::string NextDialog(const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string focus = display_->Xdotool("getwindowfocus");
      focus = focus.substr(0, focus.find('\n'));
      if (!focus.empty() && focus != last_dialog_ && focus != main_ &&
          !display_->Xdotool("getwindowname " + focus).empty()) {
        std::this_thread::sleep_for(300ms);  // drawn and ready for keys
        last_dialog_ = focus;
        return focus;
      }
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "no " << what << "; windows shown:\n" << display_->WindowNames();
    Shot(std::string("missing_") + what);
    return {};
  }

  void Keys(const std::string& keys) {
    display_->Xdotool("key --clearmodifiers " + keys);
    std::this_thread::sleep_for(150ms);
  }
  void Type(const std::string& text) { display_->Xdotool("type --delay 40 " + ShellQuote(text)); }

  void Shot(const std::string& name) {
    const QImage screen = display_->Screen();
    EXPECT_FALSE(screen.isNull());
    screen.save(QString::fromStdString((fs::path(VEL_BINARY_DIR) / (name + "_xvfb.png")).string()));
  }

  void Click(QPoint p) {
    display_->Xdotool("mousemove --window " + main_ + " " + std::to_string(p.x()) + " " + std::to_string(p.y()) +
                      " click 1");
    std::this_thread::sleep_for(200ms);
  }

  // Sign clicked, the row chosen in the selection window (the first Down
  // highlights the first row), the digest confirmed.
  void StartSigning(QPoint sign, int row, const char* shot = nullptr) {
    Click(sign);
    NextDialog("certificate selection");
    std::string keys = "Down";
    for (int i = 0; i < row; ++i) keys += " Down";
    Keys(keys);
    Keys("Tab Tab space");  // past "Pokaż" to "Wybierz"
    EXPECT_TRUE(Answer("confirmation", "Return", shot));
  }

  // The message box that comes next, kept as a picture under `shot` and
  // answered with `key`; false when none came.
  bool Answer(const char* what, const std::string& key, const char* shot = nullptr) {
    if (NextDialog(what).empty()) return false;
    if (shot != nullptr) Shot(shot);
    Keys(key);
    return true;
  }

  // The PIN dialog that comes next, answered with `typed` and Enter (or
  // Escape when `typed` is empty).
  void EnterPin(const char* what, const std::string& typed, const char* shot = nullptr) {
    if (NextDialog(what).empty()) return;
    if (shot != nullptr) Shot(shot);
    if (typed.empty()) {
      Keys("Escape");
      return;
    }
    Type(typed);
    Keys("Return");
  }

  // `openssl cms -verify` of the container's signatures over its pages.
  test::CommandResult OpenSslVerify(const fs::path& cab, const fs::path& content) {
    const auto dir = env / "check";
    fs::remove_all(dir);
    fs::create_directories(dir);
    EXPECT_EQ(test::RunCommand("cabextract -q -d " + ShellQuote(dir.string()) + " " + ShellQuote(cab.string())).exit_code,
              0);
    return test::RunCommand("openssl cms -verify -binary -inform DER -in " +
                            ShellQuote((dir / "signatures.p7b").string()) + " -content " +
                            ShellQuote(content.string()) + " -CAfile " + ShellQuote((env / "ca.pem").string()) +
                            " -purpose any -out /dev/null -certsout " + ShellQuote((dir / "signers.pem").string()));
  }

  test::KdocEnvironment env;
  test::TestIdentity ca, jan;
  std::unique_ptr<test::StaticFileServer> crls_;
  std::unique_ptr<test::XvfbDisplay> display_;
  pid_t program_ = -1;
  std::string main_, last_dialog_;
};

// A 3-page container signed with a key file's password typed into the
// dialog, after a cancelled dialog and a password wrong three times left it
// as it was; then co-signed with a key on a token and time-stamped. openssl
// accepts both signers and the program shows both correct.
TEST_F(SigningOnXvfbTest, SignsWithAKeyFileThenCoSignsWithATokenAndATimeStamp) {
  // The co-signer's key on a SoftHSM2 token, bound in "My".
  test::SoftHsmToken token;
  ASSERT_TRUE(token.ok);
  const test::TestIdentity piotr = test::MakeIdentity("Piotr Wisniewski", &ca, {0x12}, false, false);
  token.Put(piotr, "02", "podpis");
  AddTo("My", piotr);
  ASSERT_EQ(platform::WriteKeyBinding(platform::kStoreCurrentUser, *piotr.cert,
                                      {platform::KeyReference::Kind::kPkcs11Object, token.Uri("02")}),
            0u);
  // The time-stamp authority on 127.0.0.1, and the CRLs of both CAs.
  test::TempDir tsa_dir;
  test::TestTsa tsa;
  test::TsaResponder responder(tsa_dir.path(), tsa);
  AddTo("ROOT", tsa.ca);
  PublishCrls({&ca, &tsa.ca});
  WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueTsaHost, responder.Url("/tsa"));

  // The container, made from a printer job of three pages.
  const Bytes stream = test::PageStream(test::ThreePages());
  test::WriteFileBytes(env / "doc.kdsc", stream);
  test::WriteFileBytes(env / "content.bin", Bytes(stream.begin() + 4, stream.end()));
  const fs::path container = env / "doc.kdoc";
  {
    CMessageTable catalog(kLangIdPolish);
    ScriptedPrompt prompt;
    CSignedDocObj job(catalog, prompt);
    ASSERT_EQ(job.Open((env / "doc.kdsc").string(), 0), 0u) << job.error_text();
  }
  const Bytes unsigned_bytes = test::ReadFileBytes(container);
  // Opened through a link, the real file readable by its group and marked
  // with an extended attribute; a killed run left a new file beside it and a
  // working folder in the temporary folder.
  ASSERT_EQ(::chmod(container.c_str(), 0640), 0);
  const bool attributes = ::setxattr(container.c_str(), "user.vellorum.note", "umowa", 5, 0) == 0;
  const fs::path link = env / "link.kdoc";
  fs::create_symlink(container, link);
  test::WriteFileBytes(env / ".kdocQw34Er", Bytes(100, 0x55));
  fs::create_directories(env / "tmp" / "kdocAb12Cd");

  // Where the Sign button, the first tab and Close are: the same window laid
  // out here, at the same size.
  QPoint sign, first_tab, close;
  {
    xvfb::LaidOutWindow layout(container, kLangIdPolish);
    ASSERT_TRUE(layout.ok());
    sign = layout.Centre("1012");
    close = layout.Centre("1067");
    first_tab = layout.Tab(0);
  }

  Launch(link, {"SOFTHSM2_CONF=" + std::string(std::getenv("SOFTHSM2_CONF")), "TMPDIR=" + (env / "tmp").string()});
  WaitForMainWindow(link);
  if (HasFatalFailure() || main_.empty()) return;
  EXPECT_FALSE(fs::exists(env / ".kdocQw34Er"));
  EXPECT_FALSE(fs::exists(env / "tmp" / "kdocAb12Cd"));
  const int jan_row = RowOf(jan), piotr_row = RowOf(piotr);

  // Cancel at the PIN dialog: the reason is said, the file is as it was.
  StartSigning(sign, jan_row, "confirmation");
  EnterPin("password dialog", "", "pin_dialog");
  EXPECT_TRUE(Answer("cancel message", "Return", "sign_cancelled"));
  EXPECT_EQ(test::ReadFileBytes(container), unsigned_bytes);

  // A wrong password, asked again each time with the warning, until the
  // tries run out.
  StartSigning(sign, jan_row);
  EnterPin("password dialog", "zle haslo");
  EnterPin("password asked again", "zle haslo", "pin_dialog_retry");
  EnterPin("password asked a third time", "zle haslo");
  EXPECT_TRUE(Answer("wrong password message", "Return", "sign_wrong_password"));
  EXPECT_EQ(test::ReadFileBytes(container), unsigned_bytes);

  // Signed: one wrong try, then the right password; no time stamp.
  StartSigning(sign, jan_row);
  EnterPin("password dialog", "zle");
  EnterPin("password asked again", kPassword);
  Answer("time-stamp question", "Escape");
  EXPECT_TRUE(Answer("signed message", "Return", "signed"));
  // The signature went into the real file, which kept its mode and its
  // attribute; the link stays a link.
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::status(container).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  if (attributes) {
    char note[16] = {};
    EXPECT_EQ(::getxattr(container.c_str(), "user.vellorum.note", note, sizeof note), 5);
    EXPECT_STREQ(note, "umowa");
  }
  auto verified = OpenSslVerify(container, env / "content.bin");
  EXPECT_EQ(verified.exit_code, 0) << verified.output;

  // Co-signed with the token's key after one wrong PIN, and time-stamped;
  // the signed time-stamp request uses the key again, so its PIN is asked
  // once more.
  Click(first_tab);
  StartSigning(sign, piotr_row);
  EnterPin("token PIN dialog", "0000", "pin_dialog_token");
  EnterPin("token PIN asked again", token.pin, "pin_dialog_token_retry");
  Answer("time-stamp question", "Return", "time_stamp_question");
  EnterPin("token PIN for the time-stamp request", token.pin);
  EXPECT_TRUE(Answer("co-signed message", "Return", "cosigned"));
  std::this_thread::sleep_for(1s);  // the signatures page, checked anew
  Shot("signatures_page");

  verified = OpenSslVerify(container, env / "content.bin");
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  const std::string signers = test::ReadFileText(env / "check/signers.pem");
  EXPECT_NE(signers.find(test::CertPem(jan.x509.get())), std::string::npos);
  EXPECT_NE(signers.find(test::CertPem(piotr.x509.get())), std::string::npos);

  // Closed with its question; what the program shows is what this process reads.
  Click(first_tab);
  Click(close);
  Keys("Return");
  EXPECT_EQ(test::WaitFor(program_, 20s), 0);
  program_ = -1;
  CMessageTable catalog(kLangIdEnglish);
  ScriptedPrompt prompt;
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container.string(), 1), 0u);
  const auto& entries = doc.signature_list().entries();
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& e : entries) EXPECT_EQ(e->status, kSignatureCorrect) << e->status_text;
  EXPECT_EQ(entries[1]->time_stamp_status, kSignatureCorrect);
}

// A message enveloped for Jan's certificate, and a package encrypted for it,
// each opened after the question, with the password typed into the dialog:
// the signed content inside is shown with its correct signature.
TEST_F(SigningOnXvfbTest, DecryptsAMessageAndAPackageWithThePasswordTyped) {
  PublishCrls({&ca});
  test::WriteFileText(env / "jan.key", test::KeyPem(jan.key.get()));
  test::WriteFileText(env / "content.txt", "Umowa najmu lokalu nr 7.\r\n");
  const std::string signer = " -signer " + ShellQuote((env / "jan.pem").string()) + " -inkey " +
                             ShellQuote((env / "jan.key").string());
  const std::string recipient = " " + ShellQuote((env / "jan.pem").string());
  const auto run = [](const std::string& command) {
    const auto r = test::RunCommand(command);
    EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output;
  };
  const auto in = [this](const char* name) { return " -in " + ShellQuote((env / name).string()); };
  const auto out = [this](const char* name) { return " -out " + ShellQuote((env / name).string()); };
  run("openssl cms -sign -binary -nodetach -outform DER" + in("content.txt") + out("inner.p7") + signer);
  run("openssl smime -encrypt -binary -aes128" + in("inner.p7") + out("message.p7") + recipient);
  run("openssl smime -sign -crlfeol -md sha256" + in("content.txt") + out("inner.eml") + signer);
  run("openssl smime -encrypt -aes256 -crlfeol" + in("inner.eml") + out("umowa.vestPro") + recipient);

  struct Case {
    const char* file;
    const char* shot;
  } cases[] = {{"message.p7", "decrypted_message"}, {"umowa.vestPro", "decrypted_package"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path file = env / c.file;
    Launch(file);
    Answer("decrypt question", "Return");
    EnterPin("password dialog", "zle");
    EnterPin("password asked again", kPassword);
    WaitForMainWindow(file);
    if (HasFatalFailure() || main_.empty()) return;
    std::this_thread::sleep_for(1s);  // the signature checked
    Shot(c.shot);
    test::Stop(program_);
    program_ = -1;
  }
}

// A signed document whose content is itself one of the program's documents:
// presenting it starts another copy of the program on it, and once that copy
// ends the first one has collected it (no ended child is left behind).
TEST_F(SigningOnXvfbTest, PresentedInnerDocumentOpensInACopyThatIsCollected) {
  PublishCrls({&ca});
  test::WriteFileText(env / "jan.key", test::KeyPem(jan.key.get()));
  test::WriteFileText(env / "content.txt", "Umowa najmu lokalu nr 7.\r\n");
  const fs::path outer = env / "umowa.p7.p7";
  for (const auto& [in, out] : {std::pair{"content.txt", "inner.p7"}, std::pair{"inner.p7", "umowa.p7.p7"}}) {
    const auto r = test::RunCommand("openssl cms -sign -binary -nodetach -outform DER -in " +
                                    ShellQuote((env / in).string()) + " -out " + ShellQuote((env / out).string()) +
                                    " -signer " + ShellQuote((env / "jan.pem").string()) + " -inkey " +
                                    ShellQuote((env / "jan.key").string()));
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  QPoint present;
  {
    xvfb::LaidOutWindow layout(outer, kLangIdPolish);
    ASSERT_TRUE(layout.ok());
    present = layout.Centre("1057");
  }

  Launch(outer);
  WaitForMainWindow(outer);
  if (HasFatalFailure() || main_.empty()) return;
  std::this_thread::sleep_for(1s);  // the signature checked
  Click(present);
  std::string copy;
  for (int i = 0; i < 300 && copy.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    copy = display_->Xdotool("search --onlyvisible --name " +
                             ShellQuote("^Vellorum Sign 3\\.0\\.0\\.25 \\[.*umowa\\.p7\\]$"));
  }
  ASSERT_FALSE(copy.empty()) << display_->WindowNames();
  Shot("presented_inner_document");
  const auto children = test::ChildProcesses(program_);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(children[0].first) + "/exe").filename(),
            fs::path(VEL_PROGRAM).filename());
  ::kill(children[0].first, SIGTERM);
  for (int i = 0; i < 250 && !test::ChildProcesses(program_).empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(test::ChildProcesses(program_).empty()) << "the copy was not collected";
}

// A proxy switched off on the settings page is no longer used. While it is
// on (a proxy that has gone away) no CRL request reaches the CRL server;
// switched off and saved, the next document's CRL comes straight from it.
TEST_F(SigningOnXvfbTest, AProxySwitchedOffOnTheSettingsPageIsNoLongerUsed) {
  PublishCrls({&ca});
  ASSERT_EQ(WriteRegDword(platform::RegHive::kCurrentUser, kUserKey, kValueProxyEnabled, 1), 0u);
  ASSERT_EQ(WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueProxyName, "127.0.0.1"), 0u);
  ASSERT_EQ(WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueProxyPort,
                           std::to_string(test::UnusedPort())),
            0u);
  test::WriteFileText(env / "jan.key", test::KeyPem(jan.key.get()));
  test::WriteFileText(env / "content.txt", "Umowa najmu lokalu nr 7.\r\n");
  for (const char* name : {"pierwsza.p7", "druga.p7"}) {
    const auto r = test::RunCommand("openssl cms -sign -binary -nodetach -outform DER -in " +
                                    ShellQuote((env / "content.txt").string()) + " -out " +
                                    ShellQuote((env / name).string()) + " -signer " +
                                    ShellQuote((env / "jan.pem").string()) + " -inkey " +
                                    ShellQuote((env / "jan.key").string()));
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  const fs::path first = env / "pierwsza.p7", second = env / "druga.p7";
  // Where the tabs, the proxy box, Save and Open are.
  QPoint document_tab, settings_tab, proxy_box, save, open;
  {
    xvfb::LaidOutWindow layout(first, kLangIdPolish);
    ASSERT_TRUE(layout.ok());
    document_tab = layout.Tab(0);
    settings_tab = layout.Tab(2);
    open = layout.Centre("1003");
    layout.ShowTab(2);
    proxy_box = layout.Box("1050");
    save = layout.Centre("1046");
  }
  const auto crl_requests = [this] {
    const std::string log = test::ReadFileText(env / "www.log");
    size_t n = 0;
    for (size_t at = log.find("GET /ca0.crl"); at != std::string::npos; at = log.find("GET /ca0.crl", at + 1)) ++n;
    return n;
  };

  Launch(first);
  WaitForMainWindow(first);
  if (HasFatalFailure() || main_.empty()) return;
  std::this_thread::sleep_for(2s);  // the signature checked
  EXPECT_EQ(crl_requests(), 0u) << "the CRL came past the proxy that is switched on";

  Click(settings_tab);
  Click(proxy_box);
  Click(save);
  EXPECT_TRUE(Answer("saved message", "Return", "proxy_switched_off"));
  Click(document_tab);
  Click(open);
  if (NextDialog("open dialog").empty()) return;
  Type(second.string());
  Keys("Return");
  WaitForMainWindow(second);
  for (int i = 0; i < 200 && crl_requests() == 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(crl_requests(), 1u) << "the CRL did not come straight from its server";
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
