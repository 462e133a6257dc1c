// The real program on a virtual display of its own: Xvfb started on a free
// display number, the program started there with a private environment, its
// main window found and placed by xdotool, the screen read back from Xvfb's
// frame buffer file. Every process is stopped by its id.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>
#include <QRegularExpression>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/tests/kdoc_fixture.h"
#include "app/tests/window_layout.h"
#include "app/tests/xvfb_session.h"

namespace vel::app::xvfb {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::Spawn;
using test::Stop;
using test::WaitFor;

class ProgramOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("Xvfb");
    VEL_REQUIRE_TOOL("xdotool");
  }
  void TearDown() override {
    Stop(program_);
    display_session_.reset();
  }
  std::string Xdotool(const std::string& args) { return display_session_->Xdotool(args); }

  // A display of our own.
  void StartDisplay() {
    display_session_ = std::make_unique<test::XvfbDisplay>(env / "fb");
    display_ = display_session_->name();
    ASSERT_FALSE(display_.empty()) << "Xvfb did not start";
  }

  // Starts the shipped program with these arguments, the test's settings and
  // stores, and `extra_env`; its output goes to env/program.log.
  void StartProgramWith(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}) {
    std::vector<std::string> argv{VEL_PROGRAM}, environment =
                                                    test::ProgramEnvironment(display_, env / "reg", env / "stores");
    argv.insert(argv.end(), args.begin(), args.end());
    environment.insert(environment.end(), extra_env.begin(), extra_env.end());
    program_ = Spawn(argv, environment, env / "program.log");
    EXPECT_GT(program_, 0);
  }

  // The id of the window with exactly this title; empty (and the test failed,
  // saying what was shown instead) when none appears. A loaded machine can take
  // long to start the program; one that ended or showed something else is told
  // at once.
  std::string WaitForWindow(const std::string& title) {
    std::string window;
    int ended = -1;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    const std::string pattern = "^" + QRegularExpression::escape(QString::fromStdString(title)).toStdString() + "$";
    while (window.empty() && ended == -1 && std::chrono::steady_clock::now() < deadline) {
      window = Xdotool("search --name " + test::ShellQuote(pattern));
      if (window.empty()) {
        ended = WaitFor(program_, 100ms);
        if (ended != -1) program_ = -1;
      }
    }
    EXPECT_FALSE(window.empty()) << "no window \"" << title << "\"; the program "
                                 << (ended == -1 ? "runs" : "ended with " + std::to_string(ended))
                                 << "; windows shown:\n"
                                 << display_session_->WindowNames() << "its output:\n"
                                 << test::RunCommand("cat " + test::ShellQuote((env / "program.log").string())).output;
    return window.substr(0, window.find('\n'));
  }

  // Starts the program on `document` (with "/nc": other tests run copies of
  // the program meanwhile, and the single-instance rule is not what these tests
  // are about), waits for the main window titled for it and places it at 0,0
  // in 960 by 760; its window id.
  std::string StartProgram(const fs::path& document, const std::vector<std::string>& extra_env = {}) {
    StartProgramWith({"/nc", document.string()}, extra_env);
    const std::string window = WaitForWindow("Vellorum Sign 3.0.0.25 [" + document.string() + "]");
    if (window.empty()) return window;
    Xdotool("windowsize " + window + " 960 760");
    Xdotool("windowmove " + window + " 0 0");
    std::this_thread::sleep_for(300ms);
    return window;
  }

  void Click(const std::string& window, QPoint p) {
    Xdotool("mousemove --window " + window + " " + std::to_string(p.x()) + " " + std::to_string(p.y()) +
            " click 1");
    std::this_thread::sleep_for(200ms);
  }

  // The screen now, kept as a PNG under `name` in the build folder.
  QImage Screen(const std::string& name) {
    const QImage screen = display_session_->Screen();
    EXPECT_FALSE(screen.isNull());
    const fs::path shot = fs::path(VEL_BINARY_DIR) / name;
    EXPECT_TRUE(screen.save(QString::fromStdString(shot.string())));
    return screen;
  }

  test::KdocEnvironment env;
  std::unique_ptr<test::XvfbDisplay> display_session_;
  std::string display_;
  pid_t program_ = -1;
};

}  // namespace vel::app::xvfb
