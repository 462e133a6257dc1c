// The real program on a virtual display: started with a container, it shows
// the page once the signatures are checked; Next page and Fit width are
// clicked with xdotool, the screen is kept as a PNG, and the Close button
// with its question ends the process. Printing goes through Qt's own print
// dialog to a PDF file; the scroll bars, the arrows and the wheel are read
// back from the screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <set>
#include <sstream>

#include "app/default_settings.h"
#include "app/kdoc_document.h"
#include "app/printer_job.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/tests/bomb_cabinet.h"
#include "app/tests/xvfb_fixture.h"
#include "app/ui/main_window.h"
#include "app/viewer_app.h"
#include "cryptolib/cms_classes.h"
#include "platform/tests/test_pki.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

using xvfb::WaitFor;
using test::Bytes;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProgramOnXvfbTest : public xvfb::ProgramOnXvfb {
 protected:
  void SetEnglish() {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, kValueLangId, kLangIdEnglish), 0u);
  }

  // Where the named controls of the program's window are: the same window
  // laid out here over the same file, at the same size.
  std::vector<QPoint> Centres(const fs::path& file, uint32_t language, std::initializer_list<const char*> ids) {
    xvfb::LaidOutWindow layout(file, language);
    EXPECT_TRUE(layout.ok());
    std::vector<QPoint> centres;
    for (const char* id : ids) centres.push_back(layout.Centre(id));
    return centres;
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

  // Starts the shipped program's printer-job mode for the container `base`
  // (.kdoc), waits until it waits for the job, then prints `pages` through the
  // printer's hand-off: the printer driver's process id, or -1.
  pid_t PrintJobOnto(const std::string& base, const std::vector<Bytes>& pages) {
    if (!test::HaveTool("python3")) return -1;
    const fs::path state = env / "state";
    fs::create_directories(state / "Vellorum" / "Temp");
    ::setenv(kPrinterDirVariable, state.c_str(), 1);
    CPrinterHandoff handoff;
    const uint32_t folder = handoff.ReadPrinterTempFolder();
    ::unsetenv(kPrinterDirVariable);
    if (folder != 0) return -1;
    test::WriteFileBytes(env / "stream.bin", test::PageStream(pages));
    StartDisplay();
    StartProgramWith({"/nc", "/dl", base}, {std::string(kPrinterDirVariable) + "=" + state.string()});
    // The mode waits for the job once its hand-off file names it; the window
    // shown then is its progress window, not a question.
    const fs::path handed = fs::path(handoff.folder()) / kPrinterHandoffFile;
    for (int i = 0; i < 900 && !(fs::exists(handed) && fs::file_size(handed) > 0); ++i)
      std::this_thread::sleep_for(100ms);
    const std::string splash = WaitForWindow(kAppCaption);
    if (!fs::exists(handed) || splash.empty()) return -1;
    seen_boxes_.insert(splash);
    return test::Spawn({"python3", std::string(VEL_SOURCE_DIR) + "/app/tests/printer_driver.py", handoff.folder(),
                        (env / "stream.bin").string()},
                       {}, env / "printer.log");
  }

  // The next box of the program's caption not seen before, kept as `shot` and
  // answered with `key`; false when none came.
  bool AnswerNextBox(const std::string& key, const std::string& shot) {
    std::string box;
    for (int i = 0; i < 600 && box.empty(); ++i) {
      std::this_thread::sleep_for(100ms);
      std::istringstream found(
          Xdotool("search --onlyvisible --name " + test::ShellQuote(std::string("^") + kAppCaption + "$")));
      for (std::string id; std::getline(found, id);)
        if (!id.empty() && seen_boxes_.count(id) == 0) box = id;
    }
    if (box.empty()) return false;
    seen_boxes_.insert(box);
    std::this_thread::sleep_for(300ms);
    Screen(shot);
    Xdotool("windowfocus --sync " + box);
    Xdotool("key --clearmodifiers " + key);
    return true;
  }

  std::set<std::string> seen_boxes_;
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

// Accepted, the copy replaces a file the user chose to overwrite only once it
// is whole: cut off by a file size limit (the signal of a write past it
// ignored, so that the write fails as on a full disk), the failure is told and
// the old file stays as it was, nothing left beside it.
TEST_F(ProgramOnXvfbTest, ACopyCutOffKeepsTheFileItWasToReplace) {
  if (test::RunCommand("unshare -m true").exit_code != 0) GTEST_SKIP() << "no private mount namespace here";
  SetEnglish();
  const fs::path folder = env / "ro", out = env / "out";
  fs::create_directories(folder);
  fs::create_directories(out);
  fs::create_directories(env / "pages");
  const fs::path cab = folder / "doc.kdoc";
  std::vector<uint8_t> filler(300 * 1024);
  uint32_t x = 12345;
  for (uint8_t& b : filler) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  test::WriteCabinet(cab, env / "pages", {{"00001.emf", test::EmfPage(1)}, {"filler.bin", filler}});
  ASSERT_GT(fs::file_size(cab), 256u * 1024);
  const fs::path target = out / "kopia.kdoc";
  test::WriteFileText(target, "An older document of Ewa Trzcinska.\n");
  const std::vector<std::string> limited_read_only_shell{
      "unshare", "-m", "sh", "-c",
      "trap '' XFSZ && ulimit -f 256 && mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && shift && "
      "exec \"$0\" \"$@\""};
  const std::vector<std::string> args{folder.string(), "/nc", cab.string()};
  StartDisplay();

  int status = -1;
  const auto shown = TestBuildShows(limited_read_only_shell, args, {},
                                    std::to_string(IDYES) + "\nfile:" + target.string() + "\n" +
                                        std::to_string(IDYES) + "\n",
                                    &status);
  EXPECT_EQ(status, 1) << Log();
  ASSERT_EQ(shown.size(), 4u) << Log();
  EXPECT_EQ(shown[1], "The file: " + target.string() + " already exist. Do you want to overwrite it?\tVellorum Sign");
  EXPECT_EQ(shown[2], "An error occurred. The file has not been written down:   " + target.string() + "\tVellorum Sign");
  EXPECT_EQ(shown[3], "The attempt to open the file failed. The application will be closed.\tVellorum Sign");
  EXPECT_EQ(test::ReadFileText(target), "An older document of Ewa Trzcinska.\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);

  // The shipped program, answered on the display: Yes to the copy, the target
  // typed into the save dialog, Yes to overwriting it, then the two messages.
  program_ = Start(VEL_PROGRAM, limited_read_only_shell, args, {});
  EXPECT_TRUE(Answer(kAppCaption, "Return"));  // Yes, copy it
  std::this_thread::sleep_for(300ms);
  const std::string dialog = WaitForWindow("Save As");
  ASSERT_FALSE(dialog.empty());
  std::this_thread::sleep_for(300ms);
  Xdotool("windowfocus --sync " + dialog);
  Xdotool("key --clearmodifiers ctrl+a");
  Xdotool("type --delay 10 " + test::ShellQuote(target.string()));
  Xdotool("key --clearmodifiers Return");
  EXPECT_TRUE(Answer(kAppCaption, "Return"));  // Yes, overwrite
  std::this_thread::sleep_for(300ms);
  Screen("copy_cut_off_xvfb.png");
  EXPECT_TRUE(Answer(kAppCaption, "Return"));  // the failed save
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(Answer(kAppCaption, "Return"));  // the program closes
  EXPECT_EQ(ExitStatus(), 1) << Log();
  EXPECT_EQ(test::ReadFileText(target), "An older document of Ewa Trzcinska.\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
}

// An English program's certificate chooser is English from the start: an
// unsigned container has had nothing verified before Sign is pressed.
TEST_F(ProgramOnXvfbTest, CertificateChooserSpeaksEnglishBeforeAnyVerification) {
  SetEnglish();
  fs::create_directories(env / "pages");
  const fs::path cab = env / "unsigned.kdoc";
  test::WriteCabinet(cab, env / "pages", {{"00001.emf", test::EmfPage(1)}});
  const QPoint sign = Centres(cab, kLangIdEnglish, {"1012"})[0];

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
  SetEnglish();
  // The program opens the container itself.
  const std::vector<QPoint> at = Centres(cab, kLangIdEnglish, {"1010", "1006", "1067"});
  const QPoint next = at[0], fit = at[1], close = at[2];

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

// The id of the first window whose whole title is one of `titles`; empty
// when none shows within 30 s.
std::string WaitForAnyWindow(test::XvfbDisplay& display, const std::vector<std::string>& titles) {
  for (int i = 0; i < 300; ++i) {
    for (const std::string& t : titles) {
      const std::string found = display.Xdotool("search --name " + test::ShellQuote("^" + t + "$"));
      if (!found.empty()) return found.substr(0, found.find('\n'));
    }
    std::this_thread::sleep_for(100ms);
  }
  return {};
}

// The number of colours in a rectangle of the screen: 1 where nothing is drawn.
size_t Colours(const QImage& screen, QRect r) {
  std::set<QRgb> seen;
  r = r.intersected(screen.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) seen.insert(screen.pixel(x, y));
  return seen.size();
}

// Without a print server the print dialog offers a PDF file: the program
// writes every page into it. A print that cannot be written is told.
TEST_F(ProgramOnXvfbTest, PrintsToAPdfFileAndTellsAFailedPrint) {
  VEL_REQUIRE_TOOL("pdfinfo");
  const fs::path cab = env / "doc.kdoc";
  fs::create_directories(env / "pages");
  test::WriteCabinet(cab, env / "pages",
                     {{"00001.emf", test::EmfPage(1)}, {"00002.emf", test::EmfPage(2)}, {"00003.emf", test::EmfPage(3)}});
  const QPoint print = Centres(cab, kLangIdPolish, {"1007"})[0];

  StartDisplay();
  const std::string window = StartProgram(cab);
  ASSERT_FALSE(window.empty());
  // Print, the file named through the output file's field (its label's
  // mnemonic), Return for the default button. The dialog's window, its title
  // and the key for Yes in its language.
  struct PrintDialog {
    std::string window, title, yes;
  };
  const auto print_to = [&](const fs::path& file) -> PrintDialog {
    Click(window, print);
    const std::string dialog = WaitForAnyWindow(*display_session_, {"Drukowanie", "Print"});
    if (dialog.empty()) return {};
    const bool polish = Xdotool("getwindowname " + dialog) != "Print\n";
    Xdotool("windowfocus --sync " + dialog);
    Xdotool(std::string("key --clearmodifiers ") + (polish ? "alt+p" : "alt+f"));
    Xdotool("key --clearmodifiers ctrl+a");
    Xdotool("type --delay 10 " + test::ShellQuote(file.string()));
    std::this_thread::sleep_for(300ms);
    Screen("print_dialog_xvfb.png");
    Xdotool("key --clearmodifiers Return");
    return {dialog, polish ? "Drukowanie" : "Print", polish ? "alt+t" : "alt+y"};
  };

  const fs::path pdf = env / "printed.pdf";
  ASSERT_FALSE(print_to(pdf).window.empty()) << display_session_->WindowNames();
  std::string pages;
  for (int i = 0; i < 200 && pages.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    const auto r = test::RunCommand("pdfinfo " + test::ShellQuote(pdf.string()) + " 2>/dev/null");
    if (const size_t at = r.output.find("Pages:"); r.exit_code == 0 && at != std::string::npos)
      pages = r.output.substr(at + 6, r.output.find('\n', at) - at - 6);
  }
  ASSERT_FALSE(pages.empty()) << "no PDF written; windows shown:\n" << display_session_->WindowNames();
  EXPECT_EQ(std::stoi(pages), 3);

  // A file that takes nothing: the dialog asks whether to replace it (a
  // window of the dialog's title), Yes.
  const PrintDialog dialog = print_to("/dev/full");
  ASSERT_FALSE(dialog.window.empty());
  std::string question;
  for (int i = 0; i < 300 && question.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    std::istringstream found(Xdotool("search --onlyvisible --name " + test::ShellQuote("^" + dialog.title + "$")));
    for (std::string id; std::getline(found, id);)
      if (!id.empty() && id != dialog.window) question = id;
  }
  ASSERT_FALSE(question.empty()) << display_session_->WindowNames();
  Xdotool("windowfocus --sync " + question);
  Xdotool("key --clearmodifiers " + dialog.yes);
  const std::string box = WaitForWindow(kProductTitle);
  ASSERT_FALSE(box.empty());
  std::this_thread::sleep_for(300ms);
  Screen("print_failed_xvfb.png");
  Xdotool("windowfocus --sync " + box);
  Xdotool("key --clearmodifiers Return");
}

// A CRL list from an older edition holding the root's former address (in
// capitals): at start the shipped program asks, OK replaces that line with
// the current address, and every other line keeps its spelling.
TEST_F(ProgramOnXvfbTest, FormerCrlAddressIsReplacedAtStartKeepingTheOtherLines) {
  std::string former(kRootCrlFormerHttp);
  for (char& ch : former) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::string other = "http://Crl.Vellorum-Test.pl/Lista/Biezaca.crl";
  CInstallMarker started_before;  // else the first start resets the settings
  ASSERT_EQ(WriteRegString(platform::RegHive::kCurrentUser, kUserKey, kValueCrlUrls, former + "\r\n" + other),
            0u);
  const fs::path cab = env / "doc.kdoc";
  fs::create_directories(env / "pages");
  test::WriteCabinet(cab, env / "pages", {{"00001.emf", test::EmfPage(1)}});

  StartDisplay();
  StartProgramWith({"/nc", cab.string()});
  EXPECT_TRUE(Answer(kAppCaption, "Return"));  // OK
  ASSERT_FALSE(WaitForWindow("Vellorum Sign 3.0.0.25 [" + cab.string() + "]").empty());
  EXPECT_EQ(CRegString(std::string(kUserKey) + "\\" + kValueCrlUrls, "", true, platform::RegHive::kCurrentUser).Get(),
            std::string(kRootCrlCurrent) + "\r\n" + other + "\r\n");
}

// The printer-job mode of the shipped program over a signed container of the
// job's name: the question whether to drop the signatures is answered Yes,
// the job becomes the container, the signed original is kept beside it under
// its own name and the person is told where; then the new container opens.
TEST_F(ProgramOnXvfbTest, PrintedJobOverASignedContainerKeepsTheSignedOriginal) {
  VEL_REQUIRE_TOOL("python3");
  const std::vector<Bytes> pages = test::ThreePages();
  fs::create_directories(env / "out");
  fs::create_directories(env / "src");
  const std::string base = (env / "out" / "Doc").string();
  test::WriteCabinet(base + ".kdoc", env / "src",
                     {{"00001.emf", test::EmfPage(8)}, {"signatures.p7b", {0x30, 0x80, 0x42}}});
  const Bytes original = test::ReadFileBytes(base + ".kdoc");

  const pid_t printer = PrintJobOnto(base, pages);
  ASSERT_GT(printer, 0) << Log();
  EXPECT_TRUE(AnswerNextBox("Return", "printed_over_signed_question_xvfb.png")) << display_session_->WindowNames();
  EXPECT_TRUE(AnswerNextBox("Return", "printed_over_signed_kept_xvfb.png")) << display_session_->WindowNames();
  const int printed = WaitFor(printer, 30s);
  if (printed == -1) xvfb::Stop(printer);
  EXPECT_EQ(printed, 0) << test::ReadFileText(env / "printer.log");
  ASSERT_FALSE(WaitForWindow("Vellorum Sign 3.0.0.25 [" + base + ".kdoc]").empty());
  std::this_thread::sleep_for(1s);  // drawn
  Screen("printed_over_signed_xvfb.png");
  // The open window holds the container; it is read once the program has ended.
  xvfb::Stop(program_);
  program_ = -1;

  EXPECT_EQ(test::ReadFileBytes(base + " (podpisany).kdoc"), original);
  EXPECT_EQ(test::Names(env / "out"), (std::vector<std::string>{"Doc (podpisany).kdoc", "Doc.kdoc"}));
  CMessageTable catalog(kLangIdPolish);
  ScriptedPrompt prompt;
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(base + ".kdoc", 1), 0u);
  ASSERT_EQ(doc.page_list()->GetCount(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const auto got = doc.page_list()->GetAt(i).bytes();
    EXPECT_EQ(Bytes(got.begin(), got.end()), pages[i]);
  }
}

// A job printed onto a container name in a shared sticky folder (as /tmp),
// where another user has put a link of that name to this user's own
// container: the link is not followed, the person is told, and the container
// behind it stays as it was.
TEST_F(ProgramOnXvfbTest, APrintedJobIsNotWrittenThroughAnotherUsersLinkInASharedFolder) {
  VEL_REQUIRE_TOOL("python3");
  if (::geteuid() != 0) GTEST_SKIP() << "making another user's link needs root";
  const fs::path shared = env / "shared", home = env / "home";
  fs::create_directories(shared);
  fs::create_directories(home);
  fs::create_directories(env / "src");
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_EQ(::chown(shared.c_str(), 4343, 4343), 0);
  const fs::path mine = home / "moja.kdoc";
  test::WriteCabinet(mine, env / "src", {{"00001.emf", test::EmfPage(8)}});
  const Bytes original = test::ReadFileBytes(mine);
  const std::string base = (shared / "Doc").string();
  fs::create_symlink(mine, base + ".kdoc");
  ASSERT_EQ(::lchown((base + ".kdoc").c_str(), 4242, 4242), 0);

  const pid_t printer = PrintJobOnto(base, test::ThreePages());
  ASSERT_GT(printer, 0) << Log();
  // Access denied, then the program closes.
  EXPECT_TRUE(AnswerNextBox("Return", "printed_through_link_denied_xvfb.png")) << display_session_->WindowNames();
  EXPECT_TRUE(AnswerNextBox("Return", "printed_through_link_closes_xvfb.png")) << display_session_->WindowNames();
  EXPECT_NE(ExitStatus(), -1) << Log();
  if (WaitFor(printer, 30s) == -1) xvfb::Stop(printer);
  EXPECT_EQ(test::ReadFileBytes(mine), original);
  EXPECT_EQ(test::Names(home), std::vector<std::string>{"moja.kdoc"});
  EXPECT_EQ(test::Names(shared), std::vector<std::string>{"Doc.kdoc"});
  EXPECT_TRUE(fs::is_symlink(base + ".kdoc"));
}

// A container whose page is taller and narrower than the view, signed and
// not: once the signatures are checked the vertical bar is there, and the
// horizontal one is not (the bars fit the view as shown, not the window before
// it was laid out, where the page was wider than the view). A wheel notch
// scrolls a tenth of the view, the bar's arrow one pixel.
TEST_F(ProgramOnXvfbTest, ScrollBarsFollowTheViewTheWheelAndTheArrows) {
  test::EmfWriter tall(400, 900, 100);
  tall.CreateBrush(1, 0, test::Rgb(0, 0, 160)).Select(1);
  tall.Rectangle(20, 60, 380, 880);
  const Bytes page = tall.Finish();
  const Bytes stream = test::PageStream({page, page});
  const Bytes content(stream.begin() + 4, stream.end());
  Bytes signature;
  {
    test::TestPki pki;
    test::ScriptedPin pin;
    pin.Install();
    auto message = crypto::CreateDetachedCmsMessage(content.data(), static_cast<uint32_t>(content.size()),
                                                    pki.signer.cert.get());
    ASSERT_NE(message, nullptr);
    signature.assign(message->Signature().begin(), message->Signature().end());
  }
  StartDisplay();
  for (const bool signed_ : {true, false}) {
    const std::string name = signed_ ? "signed" : "plain";
    SCOPED_TRACE(name);
    const fs::path cab = env / (name + ".kdoc");
    fs::create_directories(env / name);
    std::vector<std::pair<std::string, Bytes>> members{{"00001.emf", page}, {"00002.emf", page}};
    if (signed_) members.push_back({"signatures.p7b", signature});
    test::WriteCabinet(cab, env / name, members);

    CMessageTable catalog(kLangIdPolish);
    ScriptedPrompt prompt;
    CMainWindow layout(catalog, prompt, cab.string());
    layout.resize(960, 760);
    layout.show();
    QApplication::processEvents();
    ASSERT_EQ(layout.Init(), 0);
    QApplication::processEvents();
    CDocViewPage* v = layout.viewer();
    const auto place = [&](QWidget* w) { return QRect(w->mapTo(&layout, QPoint(0, 0)), w->size()); };
    const QRect vbar = place(v->vertical_bar()), hbar = place(v->horizontal_bar()), view = place(v->picture());
    ASSERT_GT(v->picture()->image().height(), view.height());
    ASSERT_LT(v->picture()->image().width(), view.width());
    const int notch = std::max(1, view.height() / 10);
    layout.ResetViewer();

    const std::string window = StartProgram(cab);
    ASSERT_FALSE(window.empty());
    std::this_thread::sleep_for(500ms);
    // The row where the page's blue begins, in the middle of the view.
    const auto blue_top = [&](const QImage& screen) {
      for (int y = view.top(); y <= view.bottom(); ++y)
        if (screen.pixel(view.center().x(), y) == qRgb(0, 0, 160)) return y;
      return -1;
    };
    QImage screen = Screen("scroll_" + name + "_xvfb.png");
    ASSERT_FALSE(screen.isNull());
    EXPECT_GT(Colours(screen, vbar), 3u) << "no vertical bar";
    EXPECT_EQ(Colours(screen, hbar), 1u) << "a horizontal bar for a page narrower than the view";
    const int top = blue_top(screen);
    EXPECT_GT(top, view.top());

    Xdotool("mousemove --window " + window + " " + std::to_string(view.center().x()) + " " +
            std::to_string(view.center().y()) + " click 5");
    std::this_thread::sleep_for(300ms);
    screen = Screen("scroll_" + name + "_wheel_xvfb.png");
    EXPECT_EQ(blue_top(screen), top - notch);
    // The bar's lower arrow.
    Click(window, QPoint(vbar.center().x(), vbar.bottom() - vbar.width() / 2));
    screen = Screen("scroll_" + name + "_arrow_xvfb.png");
    EXPECT_EQ(blue_top(screen), top - notch - 1);
    xvfb::Stop(program_);
    program_ = -1;
  }
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
