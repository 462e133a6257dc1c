// Printer-job mode against a script that plays the printer: the lock and
// hand-off files, the job written under the printer's lock, the container
// that results, and what happens when the job or the folder is not right.
#include "app/printer_job.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "app/kdoc_document.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/tests/kdoc_fixture.h"

extern char** environ;

namespace vel::app {
namespace {

using test::Bytes;

// Waits only a little of what it is asked, and cancels when told to.
class TestView : public PrinterJobView {
 public:
  bool Wait(int ms, const std::string& what) override {
    waits.push_back(what);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms / 20, 50)));
    return cancel_after < 0 || static_cast<int>(waits.size()) < cancel_after;
  }
  void StepProgress() override { ++steps; }
  std::vector<std::string> waits;
  int steps = 0;
  int cancel_after = -1;
};

// The printer script, started by the test and collected by process id.
class Printer {
 public:
  Printer(const std::filesystem::path& folder, const std::filesystem::path& stream, long truncate = -1) {
    std::vector<std::string> args = {"python3", std::string(VEL_SOURCE_DIR) + "/app/tests/printer_driver.py",
                                     folder.string(), stream.string()};
    if (truncate >= 0) {
      args.push_back("--truncate");
      args.push_back(std::to_string(truncate));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ), 0);
  }
  ~Printer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      Finish();
    }
  }
  int Finish() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = 0;
    return status;
  }

 private:
  pid_t pid_ = 0;
};

class PrinterJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv(kPrinterDirVariable, (env / "state").c_str(), 1);
    std::filesystem::create_directories(env / "state" / "Vellorum" / "Temp");
    std::filesystem::create_directories(env / "out");
    pages = test::ThreePages();
    test::WriteFileBytes(env / "stream.bin", test::PageStream(pages));
    CPrinterHandoff h;
    ASSERT_EQ(h.ReadPrinterTempFolder(), 0u);
    folder = h.folder();
  }
  void TearDown() override { ::unsetenv(kPrinterDirVariable); }

  std::optional<std::string> Run(const std::string& base, long truncate = -1) {
    Printer printer(folder, env / "stream.bin", truncate);
    auto result = RunPrinterJob(base, catalog, prompt, view);
    printer_status = printer.Finish();
    return result;
  }

  test::KdocEnvironment env;
  CMessageTable catalog{1033};
  ScriptedPrompt prompt;
  TestView view;
  std::vector<Bytes> pages;
  std::string folder;
  int printer_status = 0;
};

TEST_F(PrinterJobTest, PrintedJobBecomesTheContainer) {
  const std::string base = (env / "out" / "Doc").string();
  // A file of the job's own name is the user's: neither read nor overwritten.
  test::WriteFileText(base + ".kdsc", "the user's own file");
  const auto result = Run(base);
  ASSERT_TRUE(result) << (prompt.shown().empty() ? "" : prompt.shown().back().text);
  EXPECT_EQ(printer_status, 0);
  EXPECT_EQ(*result, base + ".kdoc");
  EXPECT_TRUE(prompt.shown().empty());
  EXPECT_EQ(test::RunCommand("cabextract -t " + test::ShellQuote(*result)).exit_code, 0);
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(*result, 1), 0u);
  ASSERT_EQ(doc.page_list()->GetCount(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const auto got = doc.page_list()->GetAt(i).bytes();
    EXPECT_EQ(Bytes(got.begin(), got.end()), pages[i]);
  }
  EXPECT_EQ(test::ReadFileText(base + ".kdsc"), "the user's own file");
  // The job and its copy are gone; the lock and hand-off files stay.
  EXPECT_EQ(test::Names(env / "out"), (std::vector<std::string>{"Doc.kdoc", "Doc.kdsc"}));
  EXPECT_EQ(test::Names(folder), (std::vector<std::string>{kPrinterLockFile, kPrinterHandoffFile}));
  struct stat st;
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // The new container has the mode of any new file, not the temporary name's.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  ASSERT_EQ(::stat(result->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
}

TEST_F(PrinterJobTest, ATruncatedJobFailsAndLeavesNothing) {
  const std::string base = (env / "out" / "Doc").string();
  EXPECT_FALSE(Run(base, 100));
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[0].id, 274);
  EXPECT_EQ(prompt.shown()[1].id, 409);
  EXPECT_NE(prompt.shown()[1].text.find("0x0000000D"), std::string::npos);
  EXPECT_NE(prompt.shown()[1].text.find("CSplashDialog-OnTimer-new CSignedDocObj"), std::string::npos);
  EXPECT_TRUE(test::Names(env / "out").empty());
  EXPECT_TRUE(env.TempIsEmpty());
}

TEST_F(PrinterJobTest, TheLockWaitShowsAndCanBeCancelled) {
  const int held = ::open((folder + "/" + kPrinterLockFile).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  view.cancel_after = 5;
  EXPECT_FALSE(RunPrinterJob((env / "out" / "Doc").string(), catalog, prompt, view));
  EXPECT_EQ(view.waits, std::vector<std::string>(5, "lock"));
  EXPECT_TRUE(prompt.shown().empty());
  ::close(held);
}

TEST_F(PrinterJobTest, TheDestinationIsAskedWhenTheUserWantsIt) {
  WriteRegDword(platform::RegHive::kCurrentUser, kUserKey, kValueKdocAskSave, 1);
  const std::string chosen = (env / "out" / "Report").string();
  test::WriteFileText(chosen + ".kdoc", "x");
  // An existing name: asked, No asks for the name again; then a new one.
  prompt.QueueFileAnswer(FileDialogAnswer{chosen + ".kdoc", false});
  prompt.QueueMessageAnswer(IDNO);
  prompt.QueueFileAnswer(FileDialogAnswer{(env / "out" / "Other").string(), true});
  const auto result = Run((env / "out" / "Doc").string());
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, (env / "out" / "Other.kdoc").string());
  std::vector<int> ids;
  for (const auto& s : prompt.shown()) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<int>{0, 209, 0}));
  EXPECT_EQ(prompt.shown()[0].text, (env / "out" / "Doc").string() + ".kdoc");

  // Cancelling the dialog ends the mode without a message.
  prompt = ScriptedPrompt();
  prompt.QueueFileAnswer(std::nullopt);
  EXPECT_FALSE(Run((env / "out" / "Doc").string()));
  EXPECT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(test::Names(folder), (std::vector<std::string>{kPrinterLockFile, kPrinterHandoffFile}));
}

// A job printed onto a signed container of its name: the question is asked,
// the job becomes the container (keeping its mode), and the signed original
// stays beside it under its own name, with a message saying where.
TEST_F(PrinterJobTest, PrintingOverASignedContainerKeepsTheSignedOriginal) {
  const std::string base = (env / "out" / "Doc").string();
  std::filesystem::create_directories(env / "src");
  test::WriteCabinet(base + ".kdoc", env / "src",
                     {{"00001.emf", test::EmfPage(8)}, {"signatures.p7b", {0x30, 0x80, 0x42}}});
  ASSERT_EQ(::chmod((base + ".kdoc").c_str(), 0644), 0);
  const Bytes original = test::ReadFileBytes(base + ".kdoc");
  prompt.QueueMessageAnswer(IDYES);
  const auto result = Run(base);
  ASSERT_TRUE(result);
  std::vector<int> ids;
  for (const auto& s : prompt.shown()) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<int>{211, kMsgSignedOriginalKept}));
  EXPECT_NE(prompt.shown()[1].text.find(base + " (signed).kdoc"), std::string::npos) << prompt.shown()[1].text;
  EXPECT_EQ(test::ReadFileBytes(base + " (signed).kdoc"), original);
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(*result, 1), 0u);
  EXPECT_EQ(doc.page_list()->GetCount(), 3u);
  struct stat st;
  ASSERT_EQ(::stat(result->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(test::Names(env / "out"), (std::vector<std::string>{"Doc (signed).kdoc", "Doc.kdoc"}));
}

TEST_F(PrinterJobTest, AFolderOthersCanWriteIsRefused) {
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  EXPECT_FALSE(RunPrinterJob((env / "out" / "Doc").string(), catalog, prompt, view));
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_NE(prompt.shown()[0].text.find("0x00000005"), std::string::npos);
  EXPECT_NE(prompt.shown()[0].text.find("CSplashDialog-InitHelper-ReadPrinterTempFolder"), std::string::npos);
}

TEST(PrinterJobName, FollowsTheGuidLayout) {
  const uint8_t u[16] = {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x6A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  EXPECT_EQ(PrinterJobName(u), "ABCDEF0123456abcDEF0123456789ABC");
}

}  // namespace
}  // namespace vel::app
