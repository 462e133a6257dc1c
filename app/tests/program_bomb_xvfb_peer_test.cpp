// The real program given a decompression bomb (two 2 GB pages in 7 MB): it
// refuses it at once with its message, with the memory of a small document,
// and leaves nothing in the temporary folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <fstream>

#include "app/registry_names.h"
#include "app/tests/bomb_cabinet.h"
#include "app/tests/xvfb_fixture.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BombOnXvfbTest : public xvfb::ProgramOnXvfb {};

// The peak resident size of a process, in kB.
long PeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(BombOnXvfbTest, RefusesTheContainerWithItsMessage) {
  const fs::path bomb = env / "bomb.kdoc";
  test::WriteFileBytes(bomb, test::BombCabinet({{"00001.emf", 0x7FFF8000, 0x7FFF8000},
                                                {"00002.emf", 0x7FFF8000, 0x7FFF8000}}));
  const test::Bytes before = test::ReadFileBytes(bomb);
  {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::RegHive::kLocalMachine, kMachineKey, key), 0u);
    ASSERT_EQ(platform::RegSetDword(key, kValueLangId, kLangIdEnglish), 0u);
  }
  StartDisplay();
  StartProgramWith({"/nc", bomb.string()}, {"TMPDIR=" + env.temp().string()});
  // The message box carries the document's title.
  const std::string box = WaitForWindow("Vellorum Sign 3.0.0.25 [" + bomb.string() + "]");
  ASSERT_FALSE(box.empty());
  std::this_thread::sleep_for(500ms);
  Screen("bomb_refused_xvfb.png");
  EXPECT_LT(PeakKb(program_), 300 * 1024);
  for (const auto& e : fs::directory_iterator(env.temp()))
    EXPECT_NE(e.path().filename().string().rfind("kdoc", 0), 0u) << e.path();
  EXPECT_EQ(test::ReadFileBytes(bomb), before);

  Xdotool("windowfocus --sync " + box);
  Xdotool("key --clearmodifiers Return");
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
