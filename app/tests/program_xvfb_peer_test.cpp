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
#include "app/ui/main_window.h"
#include "app/viewer_app.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child process with its own environment, its output kept in `log`;
// stopped by its id.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& log) {
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
int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
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
void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (WaitFor(pid, 2s) != -1) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// The Xvfb frame buffer file (XWD, 32 bits per pixel) as an image.
QImage ReadXwd(const fs::path& file) {
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

class ProgramOnXvfbTest : public ::testing::Test {
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

  // A display of our own, its frame buffer in env/fb: Xvfb names its number on a pipe.
  bool StartDisplay() {
    const fs::path fb = env / "fb";
    fs::create_directories(fb);
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return false;
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
    display_ = ":" + number;
    return !number.empty();
  }

  // The shipped program on that display with these arguments, its settings
  // and stores in env and `more` in its environment; its output in env/program.log.
  void StartProgram(const std::vector<std::string>& args, const std::vector<std::string>& more) {
    // The X keyboard library hands strndup names without their terminator;
    // the sanitizer's strict string checks would stop the program there.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> argv{VEL_PROGRAM}, environment{
        "DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb", "VELDOC_REGISTRY_DIR=" + (env / "reg").string(),
        "VELDOC_STORE_DIR=" + (env / "stores").string(),
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":strict_string_checks=0"};
    argv.insert(argv.end(), args.begin(), args.end());
    environment.insert(environment.end(), more.begin(), more.end());
    program_ = Spawn(argv, environment, env / "program.log");
  }

  // The id of the program's window with exactly this title; empty (and the
  // test failed, saying what was shown instead) when none appears. A loaded
  // machine can take long to start the program; one that ended is told at once.
  std::string WaitForWindow(const std::string& title) {
    std::string window;
    int ended = -1;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    const std::string pattern =
        "^" + QRegularExpression::escape(QString::fromStdString(title)).toStdString() + "$";
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
                                 << test::RunCommand("export DISPLAY=" + display_ +
                                                     "; for w in $(xdotool search --name .); do xdotool "
                                                     "getwindowname $w; done")
                                        .output
                                 << "its output:\n"
                                 << test::RunCommand("cat " + test::ShellQuote((env / "program.log").string())).output;
    return window.substr(0, window.find('\n'));
  }

  test::KdocEnvironment env;
  std::string display_;
  pid_t xvfb_ = -1, program_ = -1;
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

  ASSERT_TRUE(StartDisplay());
  // "/nc": other tests run copies of the program (or stand-ins of its name)
  // meanwhile, and the single-instance rule is not what this test is about.
  StartProgram({"/nc", cab.string()}, {});
  const std::string window = WaitForWindow("Vellorum Sign 3.0.0.25 [" + cab.string() + "]");
  ASSERT_FALSE(window.empty());
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
  const QImage screen = ReadXwd(env / "fb/Xvfb_screen0");
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
  const int status = WaitFor(program_, 10s);
  EXPECT_EQ(status, 0) << "the program did not end";
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
    ~Ender() { Stop(pid); }
  } ender{first};
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    for (const auto& p : platform::SnapshotProcesses().value_or(std::vector<platform::ProcessEntry>{}))
      seen = seen || (p.pid == first && p.exe_name == "DezazudIvirar");
    if (!seen) std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(seen);

  ASSERT_TRUE(StartDisplay());
  const fs::path script = env / "script", log = env / "prompt.log";
  test::WriteFileText(script, "");
  StartProgram({}, {"VELDOC_PROMPT_SCRIPT=" + script.string(), "VELDOC_PROMPT_LOG=" + log.string()});
  const std::string box = WaitForWindow(kAppCaption);
  ASSERT_FALSE(box.empty());
  std::this_thread::sleep_for(300ms);
  const QImage screen = ReadXwd(env / "fb/Xvfb_screen0");
  EXPECT_TRUE(screen.save(QString::fromStdString((fs::path(VEL_BINARY_DIR) / "second_copy_xvfb.png").string())));

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
