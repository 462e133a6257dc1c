// The real program on a virtual display: started with a container, it shows
// the page once the signatures are checked; Next page and Fit width are
// clicked with xdotool, the screen is kept as a PNG, and the Close button
// with its question ends the process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QRegularExpression>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/registry_names.h"
#include "app/tests/kdoc_fixture.h"
#include "app/tests/xvfb_session.h"
#include "app/ui/main_window.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProgramOnXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("Xvfb");
    VEL_REQUIRE_TOOL("xdotool");
  }
  void TearDown() override {
    test::Stop(program_);
    display_.reset();
  }

  test::KdocEnvironment env;
  std::unique_ptr<test::XvfbDisplay> display_;
  pid_t program_ = -1;
};

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
  const auto centre = [&layout](const char* id) {
    QWidget* w = layout.findChild<QWidget*>(id);
    return w ? w->mapTo(&layout, w->rect().center()) : QPoint(-1, -1);
  };
  const QPoint next = centre("1010"), fit = centre("1006"), close = centre("1067");
  layout.ResetViewer();  // the program opens the container itself

  display_ = std::make_unique<test::XvfbDisplay>(env / "fb");
  const test::XvfbDisplay& display = *display_;
  ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
  const auto Xdotool = [&display](const std::string& args) { return display.Xdotool(args); };

  const std::string title = "Vellorum Sign 3.0.0.25 [" + cab.string() + "]";
  // "/nc": other tests run copies of the program (or stand-ins of its name)
  // meanwhile, and the single-instance rule is not what this test is about.
  program_ = test::Spawn({VEL_PROGRAM, "/nc", cab.string()},
                         test::ProgramEnvironment(display.name(), env / "reg", env / "stores"), env / "program.log");
  ASSERT_GT(program_, 0);

  // The window appears once the container is open and its verdict known. A
  // loaded machine can take long to start it; a program that ended or showed
  // something else is told at once.
  std::string window;
  int ended = -1;
  const auto deadline = std::chrono::steady_clock::now() + 90s;
  while (window.empty() && ended == -1 && std::chrono::steady_clock::now() < deadline) {
    window = Xdotool("search --name " + test::ShellQuote("^" + QRegularExpression::escape(
                                                                    QString::fromStdString(title)).toStdString() + "$"));
    if (window.empty()) {
      ended = test::WaitFor(program_, 100ms);
      if (ended != -1) program_ = -1;
    }
  }
  ASSERT_FALSE(window.empty()) << "no main window; the program " << (ended == -1 ? "runs" : "ended with " + std::to_string(ended))
                               << "; windows shown:\n"
                               << display.WindowNames()
                               << "its output:\n"
                               << test::RunCommand("cat " + test::ShellQuote((env / "program.log").string())).output;
  window = window.substr(0, window.find('\n'));
  Xdotool("windowsize " + window + " 960 760");
  Xdotool("windowmove " + window + " 0 0");
  std::this_thread::sleep_for(300ms);
  const auto click = [&](QPoint p) {
    Xdotool("mousemove --window " + window + " " + std::to_string(p.x()) + " " + std::to_string(p.y()) +
            " click 1");
    std::this_thread::sleep_for(200ms);
  };
  click(next);
  click(fit);
  const QImage screen = display.Screen();
  ASSERT_FALSE(screen.isNull());
  const fs::path shot = fs::path(VEL_BINARY_DIR) / "main_window_xvfb.png";
  EXPECT_TRUE(screen.save(QString::fromStdString(shot.string())));
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
  const int status = test::WaitFor(program_, 10s);
  EXPECT_EQ(status, 0) << "the program did not end";
  if (status != -1) program_ = -1;
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
