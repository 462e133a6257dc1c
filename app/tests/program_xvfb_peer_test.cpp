// The real program on a virtual display: started with a container, it shows
// the page once the signatures are checked; Next page and Fit width are
// clicked with xdotool, the screen is kept as a PNG, and the Close button
// with its question ends the process.
#include <gtest/gtest.h>

#include <QApplication>
#include <sstream>

#include "app/registry_names.h"
#include "app/tests/bomb_cabinet.h"
#include "app/tests/xvfb_fixture.h"
#include "app/ui/main_window.h"
#include "app/viewer_app.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

using xvfb::WaitFor;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProgramOnXvfbTest : public xvfb::ProgramOnXvfb {
 protected:
  void SetEnglish() {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, kValueLangId, kLangIdEnglish), 0u);
  }

  // The program started as `wrapper` (a shell in a private mount namespace
  // that execs "$0" "$@"; empty: none) followed by `program` and `args`.
  pid_t Start(const std::string& program, const std::vector<std::string>& wrapper,
              const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
    std::vector<std::string> argv = wrapper;
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = test::ProgramEnvironment(display_, env / "reg", env / "stores");
    environment.insert(environment.end(), extra_env.begin(), extra_env.end());
    return test::Spawn(argv, environment, env / "program.log");
  }

  // What the program's test build shows for the same run, its questions
  // answered by `answers` (one a line): one line per message, "<text>\t<caption>"
  // with its line breaks as blanks; and its exit status.
  std::vector<std::string> TestBuildShows(const std::vector<std::string>& wrapper,
                                          const std::vector<std::string>& args,
                                          const std::vector<std::string>& extra_env, const std::string& answers,
                                          int* status) {
    const fs::path script = env / "script", log = env / "prompt.log";
    test::WriteFileText(script, answers);
    fs::remove(log);
    std::vector<std::string> extra = extra_env;
    extra.push_back("VELDOC_PROMPT_SCRIPT=" + script.string());
    extra.push_back("VELDOC_PROMPT_LOG=" + log.string());
    const pid_t pid = Start(VEL_SCRIPTED_PROGRAM, wrapper, args, extra);
    *status = WaitFor(pid, 60s);
    if (*status == -1) xvfb::Stop(pid);
    std::vector<std::string> out;
    std::istringstream lines(test::ReadFileText(log));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("message\t", 0) != 0) continue;
      const size_t text = line.find('\t', 8) + 1, caption = line.find('\t', text) + 1;
      out.push_back(line.substr(text, line.find('\t', caption) - text));
    }
    return out;
  }

  // Answers the shipped program's message box titled `title` with `key`;
  // false when no such box came.
  bool Answer(const std::string& title, const std::string& key) {
    const std::string box = WaitForWindow(title);
    if (box.empty()) return false;
    std::this_thread::sleep_for(300ms);
    Xdotool("windowfocus --sync " + box);
    Xdotool("key --clearmodifiers " + key);
    return true;
  }

  // The program's exit status once it has ended.
  int ExitStatus() {
    const int status = WaitFor(program_, 20s);
    if (status != -1) program_ = -1;
    return status;
  }

  std::string Log() { return test::ReadFileText(env / "program.log"); }
};

// Every way a document given at start fails to open says what is wrong, in
// English when the program speaks English, then closes with the closing
// message and a failure status. The texts are read from the program's test
// build, the same run with its questions answered from a script; the shipped
// program shows the same boxes on the display. The full temporary folder
// needs a mount of its own: that run is in a private mount namespace.
TEST_F(ProgramOnXvfbTest, FailedOpensSayWhatIsWrongAndEndWithAFailureStatus) {
  SetEnglish();
  const bool namespaces = test::RunCommand("unshare -m true").exit_code == 0;
  fs::create_directories(env / "pages");
  const fs::path folder = env / "folder.kdoc", unsafe = env / "unsafe.kdoc", damaged = env / "damaged.kdoc",
                 big = env / "big.kdoc", small_tmp = env / "small-tmp";
  fs::create_directories(folder);
  test::WriteFileBytes(unsafe, test::BombCabinet({{"00001.emf", 16, 16}, {"../00002.emf", 16, 16}}));
  test::WriteFileText(damaged, "MSCF and nothing a cabinet needs");
  // Three members of 5000 bytes declare 15000 bytes: less than the 16 KiB a
  // small temporary folder has free, more than its four pages hold.
  test::WriteFileBytes(big, test::BombCabinet({{"00001.emf", 5000, 5000}, {"00002.emf", 5000, 5000},
                                               {"00003.emf", 5000, 5000}}));
  fs::create_directories(small_tmp);
  const std::vector<std::string> small_temp_shell{
      "unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=16k tmpfs \"$TMPDIR\" && exec \"$0\" \"$@\""};

  struct Case {
    const char* what;
    fs::path document;
    bool small_temp;               // TMPDIR is a 16 KiB tmpfs of its own
    std::vector<std::string> has;  // in the first message's text
    const char* lacks;
  };
  const Case cases[] = {
      {"a folder", folder, false, {"0x0000010B", "folder"}, "Access is denied"},
      {"a member named outside its folder", unsafe, false, {"0x0000007B", "\"../00002.emf\"", "outside"}, "0xFFFFFFFF"},
      {"a damaged container", damaged, false, {"0xFFFFFFFF", "does not contain signature"}, "Nie"},
      {"a temporary folder that fills up",
       big,
       true,
       {"0x00000070", small_tmp.string() + ": There is not enough space on the disk."},
       "0xFFFFFFFF"},
  };
  StartDisplay();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.small_temp && !namespaces) {
      ADD_FAILURE() << "no private mount namespace here: the full temporary folder was not tried";
      continue;
    }
    const std::vector<std::string> args{"/nc", c.document.string()};
    const std::vector<std::string> wrapper = c.small_temp ? small_temp_shell : std::vector<std::string>{};
    const std::vector<std::string> extra{"TMPDIR=" + (c.small_temp ? small_tmp : env.temp()).string()};
    const std::string title = "Vellorum Sign 3.0.0.25 [" + c.document.string() + "]";

    int status = -1;
    const auto shown = TestBuildShows(wrapper, args, extra, "", &status);
    EXPECT_EQ(status, 1) << Log();
    ASSERT_EQ(shown.size(), 2u) << Log();
    for (const std::string& part : c.has) EXPECT_NE(shown[0].find(part), std::string::npos) << shown[0];
    EXPECT_EQ(shown[0].find(c.lacks), std::string::npos) << shown[0];
    EXPECT_TRUE(shown[0].ends_with("\t" + title)) << shown[0];
    EXPECT_EQ(shown[1], "The attempt to open the file failed. The application will be closed.\tVellorum Sign");

    program_ = Start(VEL_PROGRAM, wrapper, args, extra);
    EXPECT_TRUE(Answer(title, "Return"));
    EXPECT_TRUE(Answer(kAppCaption, "Return"));
    EXPECT_EQ(ExitStatus(), 1) << Log();
  }
}

// A container on a read-only mount cannot be opened for writing where it is:
// the program offers to copy it elsewhere, as for a file it may not write.
// Declined, the program closes as for any failed open.
TEST_F(ProgramOnXvfbTest, ReadOnlyMountOffersACopy) {
  if (test::RunCommand("unshare -m true").exit_code != 0) GTEST_SKIP() << "no private mount namespace here";
  SetEnglish();
  const fs::path folder = env / "ro";
  fs::create_directories(folder);
  fs::create_directories(env / "pages");
  const fs::path cab = folder / "doc.kdoc";
  test::WriteCabinet(cab, env / "pages", {{"00001.emf", test::EmfPage(1)}});
  const std::vector<std::string> read_only_shell{
      "unshare", "-m", "sh", "-c",
      "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && shift && exec \"$0\" \"$@\""};
  const std::vector<std::string> args{folder.string(), "/nc", cab.string()};
  StartDisplay();

  int status = -1;
  const auto shown = TestBuildShows(read_only_shell, args, {}, std::to_string(IDNO) + "\n", &status);
  EXPECT_EQ(status, 1) << Log();
  ASSERT_EQ(shown.size(), 2u) << Log();
  EXPECT_EQ(shown[0],
            "Program cannot open the document from the current location Do you want to copy the document in another "
            "location to open it?\tVellorum Sign");
  EXPECT_EQ(shown[1], "The attempt to open the file failed. The application will be closed.\tVellorum Sign");

  program_ = Start(VEL_PROGRAM, read_only_shell, args, {});
  EXPECT_TRUE(Answer(kAppCaption, "Escape"));  // No
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(Answer(kAppCaption, "Return"));
  EXPECT_EQ(ExitStatus(), 1) << Log();
}

// An English program's certificate chooser is English from the start: an
// unsigned container has had nothing verified before Sign is pressed.
TEST_F(ProgramOnXvfbTest, CertificateChooserSpeaksEnglishBeforeAnyVerification) {
  SetEnglish();
  fs::create_directories(env / "pages");
  const fs::path cab = env / "unsigned.kdoc";
  test::WriteCabinet(cab, env / "pages", {{"00001.emf", test::EmfPage(1)}});
  CMessageTable catalog(kLangIdEnglish);
  ScriptedPrompt prompt;
  CMainWindow layout(catalog, prompt, cab.string());
  ASSERT_EQ(layout.Init(), 0);
  layout.resize(960, 760);
  layout.show();
  QApplication::processEvents();
  const QPoint sign = xvfb::Centre(layout, "1012");
  layout.ResetViewer();

  StartDisplay();
  const std::string window = StartProgram(cab);
  ASSERT_FALSE(window.empty());
  Click(window, sign);
  const std::string chooser = WaitForWindow("Select certificate");
  ASSERT_FALSE(chooser.empty());
  Screen("chooser_english_xvfb.png");
  Xdotool("windowfocus --sync " + chooser);
  Xdotool("key --clearmodifiers Escape");
}

// The empty window tells how to open a document, and Enter opens the dialog
// for choosing one.
TEST_F(ProgramOnXvfbTest, EmptyWindowLeadsToOpeningADocument) {
  SetEnglish();
  StartDisplay();
  StartProgramWith({"/nc"});
  const std::string window = WaitForWindow("Vellorum Sign 3.0.0.25 [brak dokumentu]");
  ASSERT_FALSE(window.empty());
  std::this_thread::sleep_for(300ms);
  Screen("empty_window_xvfb.png");
  Xdotool("windowfocus --sync " + window);
  Xdotool("key --clearmodifiers Return");
  // Qt's open dialog, titled in the program's language.
  const std::string dialog = WaitForWindow("Open");
  ASSERT_FALSE(dialog.empty());
  Xdotool("windowfocus --sync " + dialog);
  Xdotool("key --clearmodifiers Escape");
  std::this_thread::sleep_for(300ms);
  Xdotool("windowfocus --sync " + window);
  Xdotool("key --clearmodifiers Escape");
  EXPECT_EQ(ExitStatus(), 0) << Log();
}

TEST_F(ProgramOnXvfbTest, OpensPagesThroughAndClosesWithTheQuestion) {
  const fs::path cab = env / "doc.kdoc";
  fs::create_directories(env / "pages");
  test::WriteCabinet(cab, env / "pages",
                     {{"00001.emf", test::EmfPage(1)}, {"00002.emf", test::EmfPage(2)}, {"00003.emf", test::EmfPage(3)}});
  {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, kValueLangId, kLangIdEnglish), 0u);
  }

  // Where the buttons are: the same window laid out here, at the same size.
  CMessageTable catalog(kLangIdEnglish);
  ScriptedPrompt prompt;
  CMainWindow layout(catalog, prompt, cab.string());
  ASSERT_EQ(layout.Init(), 0);
  layout.resize(960, 760);
  layout.show();
  QApplication::processEvents();
  const QPoint next = xvfb::Centre(layout, "1010"), fit = xvfb::Centre(layout, "1006"),
               close = xvfb::Centre(layout, "1067");
  layout.ResetViewer();  // the program opens the container itself

  StartDisplay();
  const std::string window = StartProgram(cab);
  ASSERT_FALSE(window.empty());
  const auto click = [&](QPoint p) { Click(window, p); };
  click(next);
  click(fit);
  const QImage screen = Screen("main_window_xvfb.png");
  ASSERT_FALSE(screen.isNull());
  const fs::path shot = fs::path(VEL_BINARY_DIR) / "main_window_xvfb.png";
  // Page 2 (its rectangle is dark red) drawn across the page's width: the
  // main window, not a message in its place.
  int red_columns = 0;
  for (int x = 0; x < screen.width(); ++x)
    for (int y = 0; y < screen.height(); y += 2) {
      const QRgb p = screen.pixel(x, y);
      if (qRed(p) == 80 && qGreen(p) == 0 && qBlue(p) == 0) {
        ++red_columns;
        break;
      }
    }
  EXPECT_GT(red_columns, 300) << shot;

  // Close, and Yes (the default button) to the question: the process ends.
  click(close);
  std::this_thread::sleep_for(300ms);
  Xdotool("key --clearmodifiers Return");
  const int status = WaitFor(program_, 10s);
  EXPECT_EQ(status, 0) << "the program did not end well; its output:\n"
                       << test::RunCommand("cat " + test::ShellQuote((env / "program.log").string())).output;
  if (status != -1) program_ = -1;
}

// The test build's script in the shipped program's environment answers none
// of its questions: a second copy shows that one already runs and waits for
// the person, and nothing is written to the script's log.
TEST_F(ProgramOnXvfbTest, ShippedProgramAsksWhateverItsEnvironmentSays) {
  // The copy already running: a process under the program's own name.
  fs::create_directories(env / "running");
  const fs::path running = env / "running/DezazudIvirar";
  fs::copy_file("/bin/sleep", running);
  const pid_t first = fork();
  if (first == 0) {
    execl(running.c_str(), "DezazudIvirar", "120", nullptr);
    _exit(127);
  }
  const struct Ender {
    pid_t pid;
    ~Ender() { xvfb::Stop(pid); }
  } ender{first};
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    for (const auto& p : platform::SnapshotProcesses().value_or(std::vector<platform::ProcessEntry>{}))
      seen = seen || (p.pid == first && p.exe_name == "DezazudIvirar");
    if (!seen) std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(seen);

  StartDisplay();
  const fs::path script = env / "script", log = env / "prompt.log";
  test::WriteFileText(script, "");
  StartProgramWith({}, {"VELDOC_PROMPT_SCRIPT=" + script.string(), "VELDOC_PROMPT_LOG=" + log.string()});
  const std::string box = WaitForWindow(kAppCaption);
  ASSERT_FALSE(box.empty());
  std::this_thread::sleep_for(300ms);
  Screen("second_copy_xvfb.png");

  Xdotool("windowfocus --sync " + box);
  Xdotool("key --clearmodifiers Return");
  const int status = WaitFor(program_, 10s);
  EXPECT_EQ(status, 0) << "the program did not end";
  if (status != -1) program_ = -1;
  EXPECT_FALSE(fs::exists(log));
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
