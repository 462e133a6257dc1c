// Content shown in another program: the program started for it is collected
// once it ends, whichever way it was started, while this program runs on.
// The test binary stands in for this program's second copy: started with
// "/nc" and a path it notes the path and ends at once.
#include "app/content_opener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;

constexpr char kNoteVariable[] = "VEL_TEST_OPENED_NOTE";

// The children of this process, each with its state ('Z': ended, not collected).
std::vector<std::pair<int, char>> Children() { return test::ChildProcesses(getpid()); }

// Waits, within a bound, for the note to appear and every child to end, then
// for the ended children to be collected; the children left uncollected.
std::vector<int> AfterTheChildRan(const fs::path& note) {
  auto wait_until = [](const auto& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  auto running = [] {
    for (const auto& [pid, state] : Children())
      if (state != 'Z') return true;
    return false;
  };
  wait_until([&] { return fs::exists(note) && !running(); });
  EXPECT_TRUE(fs::exists(note)) << "the child never ran";
  wait_until([] { return Children().empty(); });
  std::vector<int> left;
  for (const auto& [pid, state] : Children())
    if (state == 'Z') left.push_back(pid);
  return left;
}

class ContentOpenerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    test::UseFakePdfViewer(dir_->path(), dir_->path() / "viewer.sh",
                           "printf '%s\\n' \"$1\" >> \"$" + std::string(kNoteVariable) + "\"\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static inline test::TempDir* dir_ = nullptr;
};

TEST_F(ContentOpenerTest, TheProgramShowingTheContentIsCollectedWhenItEnds) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"umowa.kdoc", {'M', 'S', 'C', 'F', 0, 0, 0, 0}},        // a second copy of this program
      {"raport.pdf", {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n', '%', '%', 'E', 'O', 'F'}},  // the desktop's
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path note = dir_->path() / ("opened-" + std::to_string(n++));
    setenv(kNoteVariable, note.c_str(), 1);
    std::string copy;
    ASSERT_EQ(OpenContentCopy(c.name, c.bytes, &copy), 0u);
    EXPECT_EQ(AfterTheChildRan(note), std::vector<int>{});
    EXPECT_EQ(test::ReadFileText(note), copy + "\n");
  }
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "/nc") == 0) {
    // Started as this program's second copy: note what it was to show.
    if (const char* note = std::getenv(vel::app::kNoteVariable)) std::ofstream(note, std::ios::app) << argv[2] << "\n";
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
