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
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/tests/kdoc_fixture.h"

namespace vel::app::xvfb {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child process with its own environment, its output kept in `log`;
// stopped by its id.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& log) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  const int null_fd = open("/dev/null", O_RDWR);
  const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(null_fd, 0);
  dup2(log_fd, 1);
  dup2(log_fd, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits for the child to end within `limit`; its exit status, or -1.
inline int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

// Asked to end first, so that Xvfb removes its lock file and socket and no
// later display meets them; killed when it does not end within 2 s.
inline void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (WaitFor(pid, 2s) != -1) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// The Xvfb frame buffer file (XWD, 32 bits per pixel) as an image.
inline QImage ReadXwd(const fs::path& file) {
  const test::Bytes b = test::ReadFileBytes(file);
  const auto word = [&b](size_t i) -> uint32_t {
    if (b.size() < 4 * i + 4) return 0;
    return uint32_t{b[4 * i]} << 24 | uint32_t{b[4 * i + 1]} << 16 | uint32_t{b[4 * i + 2]} << 8 | b[4 * i + 3];
  };
  const uint32_t header = word(0), width = word(4), height = word(5), bpp = word(11), line = word(12),
                 colours = word(19);
  const uint64_t start = uint64_t{header} + uint64_t{colours} * 12;
  if (bpp != 32 || width == 0 || width > 8192 || height > 8192 || start + uint64_t{line} * height > b.size())
    return {};
  QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB32);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = &b[start + uint64_t{y} * line + 4 * x];
      image.setPixel(static_cast<int>(x), static_cast<int>(y), qRgb(p[2], p[1], p[0]));
    }
  return image;
}

// Where a control of a window laid out in the test process is, in the
// window's coordinates; (-1, -1) when there is no such control.
inline QPoint Centre(QWidget& window, const char* id) {
  QWidget* w = window.findChild<QWidget*>(id);
  return w ? w->mapTo(&window, w->rect().center()) : QPoint(-1, -1);
}

class ProgramOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("Xvfb");
    VEL_REQUIRE_TOOL("xdotool");
  }
  void TearDown() override {
    Stop(program_);
    Stop(xvfb_);
  }
  std::string Xdotool(const std::string& args) {
    return test::RunCommand("DISPLAY=" + display_ + " xdotool " + args).output;
  }

  // A display of our own: Xvfb names its number on a pipe.
  void StartDisplay() {
    const fs::path fb = env / "fb";
    fs::create_directories(fb);
    int pipe_fd[2];
    ASSERT_EQ(pipe(pipe_fd), 0);
    xvfb_ = fork();
    if (xvfb_ == 0) {
      dup2(open("/dev/null", O_RDWR), 2);
      const std::string fd = std::to_string(pipe_fd[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x800x24", "-fbdir", fb.c_str(),
             "-nolisten", "tcp", nullptr);
      _exit(127);
    }
    ::close(pipe_fd[1]);
    std::string number;
    char c = 0;
    while (read(pipe_fd[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(pipe_fd[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
  }

  // Starts the program on `document` with the test's registry and stores
  // (and `extra_env`), waits for the main window titled for it and places
  // it at 0,0 in 960 by 760; its window id.
  std::string StartProgram(const fs::path& document, const std::vector<std::string>& extra_env = {}) {
    const std::string title = "Vellorum Sign 3.0.0.25 [" + document.string() + "]";
    // The X keyboard library hands strndup names without their terminator;
    // the sanitizer's strict string checks would stop the program there.
    const char* asan = std::getenv("ASAN_OPTIONS");
    // "/nc": other tests run copies of the program (or stand-ins of its name)
    // meanwhile, and the single-instance rule is not what this test is about.
    std::vector<std::string> environment = {
        "DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb", "VELDOC_REGISTRY_DIR=" + (env / "reg").string(),
        "VELDOC_STORE_DIR=" + (env / "stores").string(),
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":strict_string_checks=0"};
    environment.insert(environment.end(), extra_env.begin(), extra_env.end());
    program_ = Spawn({VEL_PROGRAM, "/nc", document.string()}, environment, env / "program.log");
    EXPECT_GT(program_, 0);

    // The window appears once the document is open and its verdict known. A
    // loaded machine can take long to start it; a program that ended or showed
    // something else is told at once.
    std::string window;
    int ended = -1;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (window.empty() && ended == -1 && std::chrono::steady_clock::now() < deadline) {
      window = Xdotool("search --name " + test::ShellQuote("^" + QRegularExpression::escape(
                                                                      QString::fromStdString(title)).toStdString() + "$"));
      if (window.empty()) {
        ended = WaitFor(program_, 100ms);
        if (ended != -1) program_ = -1;
      }
    }
    EXPECT_FALSE(window.empty()) << "no main window; the program "
                                 << (ended == -1 ? "runs" : "ended with " + std::to_string(ended))
                                 << "; windows shown:\n"
                                 << test::RunCommand("export DISPLAY=" + display_ +
                                                     "; for w in $(xdotool search --name .); do xdotool getwindowname $w; done")
                                        .output
                                 << "its output:\n"
                                 << test::RunCommand("cat " + test::ShellQuote((env / "program.log").string())).output;
    if (window.empty()) return window;
    window = window.substr(0, window.find('\n'));
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
    const QImage screen = ReadXwd(env / "fb" / "Xvfb_screen0");
    EXPECT_FALSE(screen.isNull());
    const fs::path shot = fs::path(VEL_BINARY_DIR) / name;
    EXPECT_TRUE(screen.save(QString::fromStdString(shot.string())));
    return screen;
  }

  test::KdocEnvironment env;
  std::string display_;
  pid_t xvfb_ = -1, program_ = -1;
};

}  // namespace vel::app::xvfb
