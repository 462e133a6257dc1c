// The real program on a virtual display: started with a container, it shows
// the page once the signatures are checked; Next page and Fit width are
// clicked with xdotool, the screen is kept as a PNG, and the Close button
// with its question ends the process.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/registry_names.h"
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

class ProgramOnXvfbTest : public xvfb::ProgramOnXvfb {};

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
