// Handing content to the desktop: a fake default application registered in
// private XDG folders is started with the private copy; a hostile name stays
// in its folder; a type that runs is never started.
#include "platform/open_with.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/testing/test_support.h"

namespace vel::platform {
namespace {

class OpenWithTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    pdf_type_ = test::UseFakePdfViewer(
        dir_->path(), dir_->path() / "handler.sh",
        "printf '%s\\n' \"$1\" >> " + test::ShellQuote((dir_->path() / "opened.txt").string()) + "\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  // What the fake application was started with, waiting a little for it.
  static std::string Opened() {
    const auto file = dir_->path() / "opened.txt";
    for (int i = 0; i < 200 && !std::filesystem::exists(file); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::filesystem::exists(file) ? test::ReadFileText(file) : std::string();
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline std::string pdf_type_;
};

TEST_F(OpenWithTest, StartsTheDefaultApplicationWithThePrivateCopy) {
  const std::vector<uint8_t> pdf = {'%', 'P', 'D', 'F', '-', '1', '.', '4', '\n', '%', '%', 'E', 'O', 'F'};
  uint32_t error = 1;
  const std::string copy = WritePrivateCopy("tmpvr_", "../../report.pdf", pdf, &error);
  ASSERT_EQ(error, 0u);
  const std::filesystem::path path(copy);
  EXPECT_EQ(path.filename(), "report.pdf");
  EXPECT_EQ(path.parent_path().parent_path(), dir_->path());
  struct stat st{};
  ASSERT_EQ(stat(path.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(OpenWithDefaultApplication(copy), 0u);
  EXPECT_EQ(Opened(), copy + "\n");
}

TEST_F(OpenWithTest, NamesAreCutToTheirLastComponentAndTypesThatRunAreRefused) {
  struct Name {
    const char* given;
    const char* kept;
  };
  const Name names[] = {{"../../.bashrc", ".bashrc"}, {"/etc/x", "x"},   {"a\\b\\c.pdf", "c.pdf"},
                        {"..", "content"},            {"", "content"},   {"a\nb\x7f.txt", "ab.txt"}};
  for (const Name& n : names) EXPECT_EQ(SafeFileName(n.given), n.kept) << n.given;
  EXPECT_LE(SafeFileName(std::string(1000, 'a') + ".pdf").size(), 255u);
  EXPECT_EQ(SafeFileName(std::string(1000, 'a') + ".pdf").substr(196), ".pdf");

  struct Runs {
    const char* name;
    std::string bytes;
  };
  const Runs runs[] = {{"start.desktop", "[Desktop Entry]\nExec=sh\n"},
                       {"notes.txt", "#!/bin/sh\necho hi\n"},
                       {"picture.pdf", std::string("\x7f" "ELF\x02\x01\x01", 7)},
                       {"install.sh", "echo hi\n"}};
  for (const Runs& r : runs) {
    uint32_t error = 1;
    const std::string copy = WritePrivateCopy(
        "tmpvr_", r.name, std::vector<uint8_t>(r.bytes.begin(), r.bytes.end()), &error);
    ASSERT_EQ(error, 0u) << r.name;
    EXPECT_TRUE(IsExecutableType(copy)) << r.name;
    EXPECT_EQ(OpenWithDefaultApplication(copy), 1260u) << r.name;
  }
  // A type without an application.
  uint32_t error = 1;
  const std::string odd = WritePrivateCopy("tmpvr_", "data.vel-unknown-type",
                                           std::vector<uint8_t>{0, 1, 2, 3, 0xff}, &error);
  ASSERT_EQ(error, 0u);
  EXPECT_FALSE(IsExecutableType(odd));
  const uint32_t status = OpenWithDefaultApplication(odd);
  EXPECT_TRUE(status == 31u || status == 0u) << status;
}

}  // namespace
}  // namespace vel::platform
