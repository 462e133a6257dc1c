// Start-up without a display: the single-instance rule, the default settings,
// the CRL-address migration and the cabinet export, with scripted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

#include "app/default_settings.h"
#include "app/proxy_settings.h"
#include "app/registry_settings.h"
#include "app/viewer_app.h"
#include "cryptolib/status.h"
#include "platform/registry.h"
#include "platform/temp_files.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using platform::RegHive;

constexpr const char* kUser = "Software\\Marvot-TI\\VELDOC";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELDOC_REGISTRY_DIR", registry_.path().c_str(), 1);
    // Start-up clears abandoned working folders of the temporary folder: the
    // test's own, never the machine's.
    if (const char* t = std::getenv("TMPDIR")) saved_tmp_ = t;
    setenv("TMPDIR", temp_.path().c_str(), 1);
    // Passable, as the machine's is, for a program a test runs as another user.
    fs::permissions(temp_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    services_.prompt = &prompt_;
    services_.snapshot = [this] { return processes_; };
    services_.main_window = [this](const std::string& doc, const CMessageTable&) {
      opened_.push_back(doc);
      return true;
    };
    services_.own_executable = "/opt/vellorum/DezazudIvirar";
  }

  std::string UserString(const char* name) {
    platform::RegKey key;
    platform::RegValue v;
    if (platform::RegOpenKey(RegHive::kCurrentUser, kUser, platform::kRegRead, key) != 0 ||
        platform::RegQueryValue(key, name, v) != 0)
      return "<missing>";
    return std::string(v.data.begin(), v.data.end());
  }
  std::optional<uint32_t> UserDword(const char* name) {
    platform::RegKey key;
    platform::RegValue v;
    if (platform::RegOpenKey(RegHive::kCurrentUser, kUser, platform::kRegRead, key) != 0 ||
        platform::RegQueryValue(key, name, v) != 0 || v.data.size() != 4)
      return std::nullopt;
    return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24;
  }
  void SetUser(const char* name, const std::string& text) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(RegHive::kCurrentUser, kUser, key), 0u);
    ASSERT_EQ(platform::RegSetString(key, name, text), 0u);
  }
  void SetUserDword(const char* name, uint32_t v) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(RegHive::kCurrentUser, kUser, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, name, v), 0u);
  }
  // Runs start-up with a marker newer than any installation, so the user's
  // settings written by the test survive.
  void Start(const std::vector<std::string>& args) {
    CViewerApp app;
    EXPECT_FALSE(app.InitInstance(args, services_));
  }

  void TearDown() override {
    if (saved_tmp_)
      setenv("TMPDIR", saved_tmp_->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  test::TempDir registry_;
  test::TempDir temp_;
  std::optional<std::string> saved_tmp_;
  ScriptedPrompt prompt_;
  StartupServices services_;
  std::optional<std::vector<platform::ProcessEntry>> processes_ = std::vector<platform::ProcessEntry>{};
  std::vector<std::string> opened_;
};

TEST_F(StartupTest, SingleInstanceRule) {
  processes_ = std::vector<platform::ProcessEntry>{{10, "DezazudIvirar", {}, {}}, {11, "bash", {}, {}}};
  Start({"/tmp/a.kdoc"});
  EXPECT_EQ(opened_, std::vector<std::string>{"/tmp/a.kdoc"});  // only this copy

  processes_->push_back({12, "dezazudivirar.exe", {}, {}});
  Start({"/tmp/a.kdoc"});
  ASSERT_EQ(prompt_.shown().size(), 1u);
  EXPECT_EQ(prompt_.shown()[0].id, 414);
  EXPECT_EQ(prompt_.shown()[0].caption, "Vellorum Sign");
  EXPECT_EQ(prompt_.shown()[0].style, MB_ICONHAND | MB_SYSTEMMODAL);
  EXPECT_EQ(opened_.size(), 1u);

  Start({"/nc", "/tmp/b.kdoc"});  // skips the rule
  EXPECT_EQ(opened_.back(), "/tmp/b.kdoc");

  processes_ = std::nullopt;  // no snapshot: nobody else is seen
  Start({"/tmp/c.kdoc"});
  EXPECT_EQ(opened_.back(), "/tmp/c.kdoc");
}

// Two users each start their own copy: only this user's copies count, and
// only those in this login session where the kernel keeps sessions.
TEST_F(StartupTest, AnotherUsersCopyDoesNotStopThisOne) {
  const uint32_t me = ::getuid();
  processes_ = std::vector<platform::ProcessEntry>{{10, "DezazudIvirar", me, std::nullopt},
                                                   {11, "DezazudIvirar", me + 1, std::nullopt}};
  Start({"/tmp/a.kdoc"});
  EXPECT_EQ(opened_, std::vector<std::string>{"/tmp/a.kdoc"});
  EXPECT_TRUE(prompt_.shown().empty());
  processes_->push_back({12, "DezazudIvirar", me, std::nullopt});
  Start({"/tmp/a.kdoc"});
  ASSERT_EQ(prompt_.shown().size(), 1u);
  EXPECT_EQ(prompt_.shown()[0].id, 414);

  // This process as the snapshot sees it.
  platform::ProcessEntry self;
  for (const auto& p : platform::SnapshotProcesses().value_or(std::vector<platform::ProcessEntry>{}))
    if (p.pid == ::getpid()) self = p;
  EXPECT_EQ(self.uid, me);
  EXPECT_TRUE(platform::SameUserAndSession(self));
  if (self.login_session) {
    platform::ProcessEntry other = self;
    other.login_session = *self.login_session + 1;
    EXPECT_FALSE(platform::SameUserAndSession(other));
  }
}

// The same with real processes, when the test may run one as another user.
TEST_F(StartupTest, ARealCopyOfAnotherUserIsNotCounted) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run a copy as another user (the faked list is tested above)";
  test::TempDir bin;
  fs::permissions(bin.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const fs::path copy = bin / "DezazudIvirar";
  fs::copy_file("/bin/sleep", copy);
  auto start_as = [&](uid_t uid) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      ::execl(copy.c_str(), "DezazudIvirar", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  };
  std::vector<pid_t> started;
  // Counts among the copies started here (other tests may run the program
  // meanwhile), once the snapshot shows the last one as started (after exec).
  auto count_until = [&](pid_t pid, uint32_t uid) {
    for (int i = 0; i < 500; ++i) {
      std::vector<platform::ProcessEntry> ours;
      bool seen = false;
      for (const auto& p : platform::SnapshotProcesses().value_or(std::vector<platform::ProcessEntry>{})) {
        if (std::find(started.begin(), started.end(), p.pid) == started.end()) continue;
        ours.push_back(p);
        seen = seen || (p.pid == pid && p.exe_name == "DezazudIvirar" && p.uid == uid);
      }
      if (seen) return CViewerApp::CountRunningCopies(ours);
      ::usleep(10000);
    }
    return -1;
  };
  auto stop = [](pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  };
  const pid_t other = start_as(65534);
  ASSERT_GT(other, 0);
  started.push_back(other);
  EXPECT_EQ(count_until(other, 65534), 0);
  const pid_t mine = start_as(0);
  ASSERT_GT(mine, 0);
  started.push_back(mine);
  EXPECT_EQ(count_until(mine, 0), 1);
  stop(mine);
  stop(other);
}

// A settings file naming one key thousands of levels deep (a few kilobytes):
// start-up still finishes, writes its defaults and keeps the damaged file
// aside. It runs in a child, so that a stall ends as a failure.
TEST_F(StartupTest, AFileOfDeeplyNestedKeysDoesNotStallStartUp) {
  for (int depth : {2000, 30000}) {
    SCOPED_TRACE(depth);
    for (const auto& e : fs::directory_iterator(registry_.path())) fs::remove(e.path());
    std::string text = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER";
    for (int i = 0; i < depth; ++i) text += "\\a";
    text += "]\n";
    test::WriteFileText(registry_ / "hkcu.reg", text);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(60);  // far beyond what start-up needs; only a stall meets it
      Start({"/tmp/a.kdoc"});
      ::_exit(opened_.size() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(UserString("TSAHOST"), kDefaultTsaHost);
    size_t copies = 0;
    for (const auto& e : fs::directory_iterator(registry_.path()))
      copies += e.path().filename().string().starts_with("hkcu.reg.damaged-");
    EXPECT_EQ(copies, 1u);
  }
}

// A working folder that a killed run left goes at start-up; one that a
// running copy holds, and anything not named and made like ours, stays.
TEST_F(StartupTest, AbandonedWorkingFoldersAreClearedAtStartUp) {
  std::string abandoned = (temp_ / "kdocXXXXXX").string();
  ASSERT_NE(::mkdtemp(abandoned.data()), nullptr);
  test::WriteFileText(fs::path(abandoned) / "00001.emf", "page");
  platform::WorkFolder live("kdoc");
  ASSERT_FALSE(live.path().empty());
  fs::create_directories(temp_ / "kdocAbc");
  fs::create_directories(temp_ / "otherXyz123");
  Start({});
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::is_directory(live.path()));
  EXPECT_TRUE(fs::is_directory(temp_ / "kdocAbc"));
  EXPECT_TRUE(fs::is_directory(temp_ / "otherXyz123"));
}

TEST_F(StartupTest, DefaultsAreWrittenOnlyWhereMissing) {
  Start({});
  EXPECT_EQ(opened_, std::vector<std::string>{""});
  EXPECT_EQ(UserString("TSAHOST"), kDefaultTsaHost);
  EXPECT_EQ(UserString("TSAOID"), "1.2.616.1.170238.10.2.1.0");
  EXPECT_EQ(UserDword("TSASIGNREQ"), 1u);
  const std::string crls = UserString("CRLURLS");
  EXPECT_EQ(crls.rfind(std::string(kDefaultCrlUrls[0]) + "\r\n", 0), 0u);
  EXPECT_EQ(std::count(crls.begin(), crls.end(), '\n'), 14);

  SetUser("TSAHOST", "http://tsa.example:318");
  SetUserDword("TSASIGNREQ", 0);
  Start({});
  EXPECT_EQ(UserString("TSAHOST"), "http://tsa.example:318");
  EXPECT_EQ(UserDword("TSASIGNREQ"), 0u);
  EXPECT_TRUE(prompt_.shown().empty());
}

TEST_F(StartupTest, OutdatedCrlAddressIsOffered) {
  Start({});  // lets the first-start reset happen before the test's own values
  SetUser("CRLURLS", "http://A.example/x.crl\r\n" + std::string(kRootCrlFormerHttp));
  prompt_.QueueMessageAnswer(IDCANCEL);
  Start({});
  ASSERT_EQ(prompt_.shown().size(), 1u);
  EXPECT_EQ(prompt_.shown()[0].id, 311);
  EXPECT_EQ(prompt_.shown()[0].style, MB_OKCANCEL | MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
  EXPECT_EQ(UserDword("VEREDOVE2ASKMARK"), 1u);
  EXPECT_EQ(UserString("CRLURLS"), "http://A.example/x.crl\r\n" + std::string(kRootCrlFormerHttp));

  SetUserDword("Veredove2AskMark", 0);  // the same value, spelled otherwise
  prompt_.QueueMessageAnswer(IDOK);
  Start({});
  // The line kept keeps its spelling.
  EXPECT_EQ(UserString("CRLURLS"), "http://A.example/x.crl\r\n" + std::string(kRootCrlCurrent) + "\r\n");
}

TEST_F(StartupTest, CabinetExport) {
  test::TempDir out;
  std::vector<std::pair<std::vector<std::string>, std::string>> made;
  bool create_ok = true;
  services_.create_cabinet = [&](const std::vector<std::string>& files, const std::string& target) {
    made.emplace_back(files, target);
    return create_ok;
  };

  // Cancel ends quietly.
  prompt_.QueueFileAnswer(std::nullopt);
  Start({"/ex", "/home/ala/v1.2/umowa.txt"});
  EXPECT_TRUE(made.empty());
  ASSERT_EQ(prompt_.shown().size(), 1u);
  EXPECT_EQ(prompt_.shown()[0].kind, "save");
  EXPECT_EQ(prompt_.shown()[0].text, "/home/ala/v1.2/umowa");
  EXPECT_TRUE(opened_.empty());

  // An existing target is confirmed; No asks again; another extension gets ".cab".
  const std::string existing = (out / "stary.cab").string();
  test::WriteFileText(existing, "x");
  prompt_.QueueFileAnswer(FileDialogAnswer{existing, false});
  prompt_.QueueMessageAnswer(IDNO);
  prompt_.QueueFileAnswer(FileDialogAnswer{(out / "nowy.zip").string(), true});
  Start({"/ex", "\"/home/ala/umowa.txt\""});
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].first, (std::vector<std::string>{"/home/ala/umowa.txt", "/opt/vellorum/DezazudIvirar"}));
  EXPECT_EQ(made[0].second, (out / "nowy.zip.cab").string());
  EXPECT_EQ(prompt_.shown()[2].id, 209);
  EXPECT_NE(prompt_.shown()[2].text.find(existing), std::string::npos);

  // A failed cabinet is reported.
  create_ok = false;
  prompt_.QueueFileAnswer(FileDialogAnswer{(out / "c.cab").string(), false});
  Start({"/ex", "/home/ala/umowa.txt"});
  EXPECT_EQ(prompt_.shown().back().id, 246);
  EXPECT_EQ(prompt_.shown().back().style, MB_ICONHAND | MB_SYSTEMMODAL);
}

// The process ends with a failure status only when the document given could
// not be opened; the library's texts follow the language from the start.
TEST_F(StartupTest, ExitStatusAndTheLibrarysLanguage) {
  struct Case {
    uint32_t lang;
    bool opened;
    int status;
    uint32_t library_language;
    const char* denied;
  };
  for (const Case c : {Case{kLangIdEnglish, false, 1, crypto::kLanguageEnglish, "Access is denied."},
                       Case{kLangIdPolish, true, 0, crypto::kLanguagePolish, "Brak dostępu do pliku lub obiektu."},
                       Case{kLangIdEnglish, true, 0, crypto::kLanguageEnglish, "Access is denied."}}) {
    {
      platform::RegKey key;
      ASSERT_EQ(platform::RegCreateKey(RegHive::kLocalMachine, kMachineKey, key), 0u);
      ASSERT_EQ(platform::RegSetDword(key, kValueLangId, c.lang), 0u);
    }
    services_.main_window = [&](const std::string&, const CMessageTable&) { return c.opened; };
    crypto::LanguageId = c.lang == kLangIdEnglish ? crypto::kLanguagePolish : crypto::kLanguageEnglish;
    CViewerApp app;
    EXPECT_FALSE(app.InitInstance({"/nc", "/tmp/doc.kdoc"}, services_));
    EXPECT_EQ(app.exit_status(), c.status) << c.lang;
    EXPECT_EQ(crypto::LanguageId.load(), c.library_language) << c.lang;
    EXPECT_STREQ(crypto::GetErrorText(5), c.denied);
  }
}

TEST_F(StartupTest, PrinterJobFailureEndsWithoutTheMainWindow) {
  services_.printer_job = [](const std::string&, const CMessageTable&) -> std::optional<std::string> {
    return std::nullopt;
  };
  Start({"/dl", "/tmp/job"});
  EXPECT_TRUE(opened_.empty());
  services_.printer_job = [](const std::string& job, const CMessageTable&) -> std::optional<std::string> {
    return job + ".kdoc";
  };
  Start({"/dl", "/tmp/job"});
  EXPECT_EQ(opened_, std::vector<std::string>{"/tmp/job.kdoc"});
}

TEST_F(StartupTest, ProxySettingsAreReadWithTheirCredentials) {
  Start({});
  ProxySettings p = LoadProxySettings(kUser);
  EXPECT_FALSE(p.enabled);
  EXPECT_EQ(p.address, "http://:0");

  SetUserDword("ProxyEnabled", 1);
  SetUser("ProxyName", "proxy.example");
  SetUser("ProxyPort", "3128");
  const std::string net = std::string(kUser) + "\\ustawieniaSieci";
  ASSERT_EQ(StoreProtectedSetting(RegHive::kCurrentUser, net, "ProxyUsr", "jan"), 0u);
  ASSERT_EQ(StoreProtectedSetting(RegHive::kCurrentUser, net, "ProxyPwd", "tajne"), 0u);
  p = LoadProxySettings(kUser);
  EXPECT_TRUE(p.enabled);
  EXPECT_EQ(p.address, "http://proxy.example:3128");
  EXPECT_EQ(p.user, "");  // authentication off: not read

  SetUserDword("ProxyAuthEnabled", 1);
  p = LoadProxySettings(kUser);
  EXPECT_EQ(p.user, "jan");
  EXPECT_EQ(p.password, "tajne");
}

}  // namespace
}  // namespace vel::app
