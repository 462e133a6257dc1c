// The real program on a virtual display of its own: Xvfb started on a free
// display number, the program started there with the test's settings and
// stores, xdotool to drive it, and the frame buffer read as an image.
// Header-only so that only the tests that include it depend on it.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/testing/test_support.h"

namespace vel::test {

using namespace std::chrono_literals;

// A child process with its own environment, its output kept in `log`;
// stopped by its id.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::filesystem::path& log) {
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
inline QImage ReadXwd(const std::filesystem::path& file) {
  const std::vector<uint8_t> b = ReadFileBytes(file);
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

// Xvfb on a display of its own (it names the number on a pipe), its frame
// buffer in `fb`; stopped with the object. It never resets: by default an X
// server resets when its last client leaves (a test's xdotool, the test
// build of the program), and refuses the program that connects meanwhile. A
// server that has named its display must also answer on it: one that does
// not, or has ended, is stopped and another started (at most three tries).
// What Xvfb said goes to fb/xvfb.log, for a failure's report.
class XvfbDisplay {
 public:
  explicit XvfbDisplay(const std::filesystem::path& fb) : fb_(fb) {
    std::filesystem::create_directories(fb);
    for (int attempt = 0; attempt < 3 && name_.empty(); ++attempt) {
      if (Start() && Answers()) return;
      Stop(pid_);
      pid_ = -1;
      name_.clear();
    }
  }
  ~XvfbDisplay() { Stop(pid_); }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // Empty when Xvfb did not start.
  const std::string& name() const { return name_; }
  std::string Xdotool(const std::string& args) const {
    return RunCommand("DISPLAY=" + name_ + " xdotool " + args).output;
  }
  QImage Screen() const { return ReadXwd(fb_ / "Xvfb_screen0"); }
  // The names of the windows shown, and whether the server still runs, for
  // a failure's report.
  std::string WindowNames() {
    std::string out =
        RunCommand("export DISPLAY=" + name_ +
                   "; for w in $(xdotool search --onlyvisible --name .); do xdotool getwindowname $w; done")
            .output;
    if (Ended()) out += "(Xvfb " + name_ + " has ended; it said:\n" + ReadFileText(fb_ / "xvfb.log") + ")\n";
    return out;
  }

 private:
  bool Start() {
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      const int log = open((fb_ / "xvfb.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(log >= 0 ? log : open("/dev/null", O_RDWR), 2);
      const std::string fd = std::to_string(pipe_fd[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x800x24", "-fbdir", fb_.c_str(),
             "-nolisten", "tcp", "-noreset", nullptr);
      _exit(127);
    }
    ::close(pipe_fd[1]);
    std::string number;
    char c = 0;
    while (read(pipe_fd[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(pipe_fd[0]);
    if (pid_ < 0 || number.empty()) return false;
    name_ = ":" + number;
    return true;
  }
  // The server takes a client within 10 s.
  bool Answers() {
    for (int i = 0; i < 50 && !Ended(); ++i) {
      if (RunCommand("DISPLAY=" + name_ + " xdotool getdisplaygeometry >/dev/null 2>&1").exit_code == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  // Collected when it has ended, so that no later signal reaches another
  // process of its id.
  bool Ended() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }

  std::filesystem::path fb_;
  pid_t pid_ = -1;
  std::string name_;
};

// The environment of the program on the display: the test's settings and
// stores. The X keyboard library hands strndup names without their
// terminator; the sanitizer's strict string checks would stop the program
// there.
inline std::vector<std::string> ProgramEnvironment(const std::string& display, const std::filesystem::path& reg,
                                                   const std::filesystem::path& stores) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "VELDOC_REGISTRY_DIR=" + reg.string(),
          "VELDOC_STORE_DIR=" + stores.string(),
          "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":strict_string_checks=0"};
}

}  // namespace vel::test
