// Starts the program itself: the single-instance rule between two copies of
// the binary, and the main window in both languages driven offscreen. The
// program's test build answers from a script; the shipped one cannot.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/ui/main_window.h"
#include "app/viewer_app.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELDOC_REGISTRY_DIR", registry_.path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  TempDir registry_;
};

// Two copies under the program's own name, the first shipped, the second its
// test build: the second one sees the first, says so and ends.
TEST_F(ProgramTest, SecondCopyIsRefused) {
  TempDir dirs;
  fs::create_directories(dirs / "a");
  fs::create_directories(dirs / "b");
  const fs::path first = dirs / "a/DezazudIvirar";
  const fs::path second = dirs / "b/DezazudIvirar";
  fs::copy_file(VEL_PROGRAM, first);
  fs::copy_file(VEL_SCRIPTED_PROGRAM, second);

  const int pid = platform::StartProgram(first.string());
  ASSERT_GT(pid, 0);
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto procs = platform::SnapshotProcesses();
    ASSERT_TRUE(procs.has_value());
    for (const auto& p : *procs) seen |= (p.pid == pid && p.exe_name == "DezazudIvirar");
  }
  ASSERT_TRUE(seen);

  const fs::path script = dirs / "script", log = dirs / "log";
  test::WriteFileText(script, "\n");
  const std::string env = "VELDOC_PROMPT_SCRIPT=" + test::ShellQuote(script.string()) +
                          " VELDOC_PROMPT_LOG=" + test::ShellQuote(log.string()) + " ";
  auto r = test::RunCommand(env + "timeout 60 " + test::ShellQuote(second.string()) + " /tmp/x.kdoc");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(test::ReadFileText(log).find("message\t414\tOkno programu Vellorum Sign jest już uruchomione."),
            std::string::npos);

  // "/nc" skips the rule: the main window opens (and, under a script, closes).
  fs::remove(log);
  r = test::RunCommand(env + "timeout 60 " + test::ShellQuote(second.string()) + " /nc");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(fs::exists(log));
  EXPECT_EQ(test::ReadFileText(log).find("414"), std::string::npos);
  // The test's prompt closed the window the program ran.
  EXPECT_NE(test::ReadFileText(log).find("window\t0\tmain"), std::string::npos);

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

// "/ex" packs the file and the program itself into the cabinet the person names.
TEST_F(ProgramTest, ExportPacksTheFileWithTheProgram) {
  VEL_REQUIRE_TOOL("cabextract");
  TempDir dir;
  const fs::path source = dir / "umowa.txt";
  test::WriteFileText(source, "Treść umowy.\n");
  const fs::path script = dir / "script";
  test::WriteFileText(script, "file:" + (dir / "umowa.cab").string() + "\n");
  auto r = test::RunCommand("VELDOC_PROMPT_SCRIPT=" + test::ShellQuote(script.string()) + " timeout 60 " +
                            test::ShellQuote(VEL_SCRIPTED_PROGRAM) + " /nc /ex " + test::ShellQuote(source.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  r = test::RunCommand("cabextract -t " + test::ShellQuote((dir / "umowa.cab").string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("umowa.txt"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("DezazudIvirar"), std::string::npos) << r.output;
}

// No one's environment answers the shipped program's questions: nothing in it
// reads the test build's script or knows its prompt; the test build has both,
// so the search finds them where they are.
TEST_F(ProgramTest, OnlyTheTestBuildAnswersFromAScript) {
  const std::string shipped = test::ReadFileText(VEL_PROGRAM), scripted = test::ReadFileText(VEL_SCRIPTED_PROGRAM);
  for (const char* what : {"VELDOC_PROMPT_SCRIPT", "VELDOC_PROMPT_LOG", "ScriptedPrompt"}) {
    EXPECT_EQ(shipped.find(what), std::string::npos) << what;
    EXPECT_NE(scripted.find(what), std::string::npos) << what;
  }
}

TEST_F(ProgramTest, MainWindowInBothLanguages) {
  int argc = 1;
  char name[] = "test";
  char* argv[] = {name, nullptr};
  QApplication qt(argc, argv);
  struct Case {
    uint32_t lang;
    const char* close;
  } cases[] = {{1045, "Zamknij"}, {1033, "Close"}};
  for (const Case& c : cases) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC", key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, "LangID", c.lang), 0u);

    ScriptedPrompt prompt;
    prompt.QueueMessageAnswer(IDNO);
    prompt.QueueMessageAnswer(IDYES);
    StartupServices services;
    services.prompt = &prompt;
    services.snapshot = [] { return std::vector<platform::ProcessEntry>{}; };
    bool shown = false;
    services.main_window = [&](const std::string& doc, const CMessageTable& catalog) {
      CMainWindow w(catalog, prompt, doc);
      w.show();
      auto* close = w.findChild<QPushButton*>("1067");
      if (close == nullptr) {
        ADD_FAILURE() << "no close button";
        return true;
      }
      EXPECT_EQ(close->text().toStdString(), c.close);
      close->click();  // answered No: stays open
      EXPECT_TRUE(w.isVisible());
      close->click();  // answered Yes: closes
      EXPECT_FALSE(w.isVisible());
      shown = true;
      const fs::path shot = fs::path(VEL_BINARY_DIR) / ("main_window_" + std::to_string(c.lang) + ".png");
      w.grab().save(QString::fromStdString(shot.string()));
      return true;
    };
    CViewerApp app;
    EXPECT_FALSE(app.InitInstance({"  /tmp/doc.kdoc "}, services));
    EXPECT_TRUE(shown);
    ASSERT_EQ(prompt.shown().size(), 2u);
    EXPECT_EQ(prompt.shown()[0].id, 354);
  }
}

}  // namespace
}  // namespace vel::app
