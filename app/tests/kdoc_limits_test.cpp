// A container is checked against what it would unpack to before anything is
// written: a few hundred kilobytes of cabinet may declare gigabytes of pages.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>

#include "app/kdoc_document.h"
#include "app/tests/bomb_cabinet.h"
#include "app/tests/kdoc_fixture.h"

namespace vel::app {
namespace {

using test::BombCabinet;
using test::BombMember;
using test::Bytes;

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kTooLarge = 223;
constexpr uint32_t kDiskFull = 112;

// Pages of these declared sizes whose folders hold at most their first 64 KiB.
std::vector<BombMember> Pages(std::initializer_list<uint32_t> sizes) {
  std::vector<BombMember> out;
  for (uint32_t size : sizes) {
    char name[16];
    std::snprintf(name, sizeof name, "%05zu.emf", out.size() + 1);
    out.push_back({name, size, std::min<uint32_t>(size, 64 * 1024)});
  }
  return out;
}

TEST(CheckUnpackedSize, RefusesPastEachLimitAndTheFreeSpace) {
  using M = std::vector<cabinet::CabinetMember>;
  constexpr uint32_t k256 = 256 * kMiB;
  const uint64_t plenty = uint64_t{8} << 30;
  struct Case {
    const char* label;
    M members;
    uint64_t free_bytes;
    uint32_t want;
  };
  const Case cases[] = {
      {"nothing", {}, 0, 0},
      {"a page of 256 MiB", {{"00001.emf", k256}}, plenty, 0},
      {"a page of 256 MiB and a byte", {{"00001.emf", k256 + 1}}, plenty, kTooLarge},
      {"signatures past 256 MiB", {{"00001.emf", 1}, {"signatures.p7b", k256 + 1}}, plenty, kTooLarge},
      {"1 GiB in all", {{"00001.emf", k256}, {"00002.emf", k256}, {"00003.emf", k256}, {"00004.emf", k256}},
       plenty, 0},
      {"1 GiB and a byte",
       {{"00001.emf", k256}, {"00002.emf", k256}, {"00003.emf", k256}, {"00004.emf", k256}, {"00005.emf", 1}},
       plenty, kTooLarge},
      {"65535 members past 4 GiB together", M(65535, {"00001.emf", k256}), plenty, kTooLarge},
      {"exactly the free space", {{"00001.emf", 1000}, {"00002.emf", 24}}, 1024, 0},
      {"a byte past the free space", {{"00001.emf", 1000}, {"00002.emf", 25}}, 1024, kDiskFull},
      {"too large comes first", {{"00001.emf", k256 + 1}}, 0, kTooLarge},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckUnpackedSize(c.members, c.free_bytes), c.want) << c.label;
}

class KdocLimitsTest : public ::testing::Test {
 protected:
  // Opens the container made of `members` and returns the result; the file is
  // left unchanged and nothing is left in the temporary folder.
  uint32_t OpenBomb(const std::vector<BombMember>& members, const CMessageTable& language) {
    const auto path = env / "bomb.kdoc";
    test::WriteFileBytes(path, BombCabinet(members));
    const Bytes before = test::ReadFileBytes(path);
    CSignedDocObj doc(language, prompt);
    const uint32_t result = doc.Open(path.string(), 1);
    text = doc.error_text();
    EXPECT_EQ(test::ReadFileBytes(path), before);
    EXPECT_TRUE(env.TempIsEmpty());
    return result;
  }

  // Opens `path` in a child whose temporary folder is a file system of
  // `size` of its own (a private mount namespace: root or user namespaces).
  // Gives the error, its text and whether the folder was left empty, a line
  // each; none where no mount namespace can be made.
  std::optional<std::string> OpenWithSmallTemp(const std::filesystem::path& path, const CMessageTable& language,
                                               const char* size) {
    const auto result = env / "result";
    const pid_t child = ::fork();
    EXPECT_GE(child, 0);
    if (child < 0) return std::nullopt;
    if (child == 0) {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", env.temp().c_str(), "tmpfs", 0, size) != 0)
        ::_exit(77);
      CSignedDocObj doc(language, prompt);
      const uint32_t error = doc.Open(path.string(), 1);
      std::ofstream(result) << error << "\n" << doc.error_text() << "\n" << std::filesystem::is_empty(env.temp());
      ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77) return std::nullopt;
    return test::ReadFileText(result);
  }

  test::KdocEnvironment env;
  CMessageTable english{1033}, polish{1045};
  ScriptedPrompt prompt;
  std::string text;
};

// Limits hold on the declared sizes: a container just under them goes on to
// extraction (and fails there, its folders holding far less than declared),
// one just over is refused before a byte is written.
TEST_F(KdocLimitsTest, DeclaredSizesDecideBeforeExtraction) {
  constexpr uint32_t k256 = 256 * kMiB;
  struct Case {
    const char* label;
    std::vector<BombMember> members;
    uint32_t want;
  };
  const Case cases[] = {
      {"two pages of 2 GB", Pages({0x7FFF8000, 0x7FFF8000}), kTooLarge},
      {"a page of 256 MiB", Pages({k256}), kDocUnreadable},
      {"a page of 256 MiB and a byte", Pages({k256 + 1}), kTooLarge},
      {"1 GiB in four pages", Pages({k256, k256, k256, k256}), kDocUnreadable},
      {"1 GiB and a byte", Pages({k256, k256, k256, k256, 1}), kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(OpenBomb(c.members, english), c.want) << text;
    if (c.want == kTooLarge) {
      EXPECT_NE(text.find("0x000000DF"), std::string::npos) << text;
      EXPECT_NE(text.find("too large - a part of the document may have at most 256 MB and the whole document 1 GB"),
                std::string::npos)
          << text;
    }
  }
  EXPECT_EQ(OpenBomb(Pages({k256 + 1}), polish), kTooLarge);
  EXPECT_NE(text.find("Zawartość pliku jest zbyt duża – składnik dokumentu może mieć najwyżej 256 MB, a cały "
                      "dokument 1 GB."),
            std::string::npos)
      << text;

  // Real zero pages within the limits open as they are.
  EXPECT_EQ(OpenBomb({{"00001.emf", 100000, 100000}, {"00002.emf", 5, 5}}, english), 0u) << text;
}

// The 2 x 2 GB container, with all its data, is refused with the memory and the
// disk of a small one. Measured in a child: its peak resident size, and a file
// size limit so that a regression cannot fill the disk.
TEST_F(KdocLimitsTest, ABombIsRefusedWithinBoundedMemory) {
  const auto path = env / "bomb.kdoc";
  test::WriteFileBytes(path, BombCabinet({{"00001.emf", 0x7FFF8000, 0x7FFF8000}, {"00002.emf", 0x7FFF8000, 0x7FFF8000}}));
  ASSERT_LT(std::filesystem::file_size(path), 8u * kMiB);
  long rss_kb = 0;
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0) rss_kb = std::stol(line.substr(6));
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit fsize{512u * kMiB, 512u * kMiB};
    ::setrlimit(RLIMIT_FSIZE, &fsize);
    CSignedDocObj doc(english, prompt);
    ::_exit(doc.Open(path.string(), 1) == kTooLarge ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(usage.ru_maxrss - rss_kb, 64 * 1024) << "peak " << usage.ru_maxrss << " kB, at fork " << rss_kb << " kB";
  EXPECT_TRUE(env.TempIsEmpty());
}

// A temporary folder on a file system of 4 MiB: a container declaring 6 MiB is
// refused with the free space it found. Needs a mount namespace of its own
// (root or user namespaces); skipped where there is none.
TEST_F(KdocLimitsTest, TooLittleFreeSpaceIsRefused) {
  const auto path = env / "doc.kdoc";
  test::WriteFileBytes(path, BombCabinet({{"00001.emf", 3 * kMiB, 3 * kMiB}, {"00002.emf", 3 * kMiB, 3 * kMiB}}));
  const auto opened = OpenWithSmallTemp(path, english, "size=4m");
  if (!opened) GTEST_SKIP() << "no mount namespace here";
  const std::string& got = *opened;
  EXPECT_EQ(got.substr(0, got.find('\n')), std::to_string(kDiskFull)) << got;
  EXPECT_NE(got.find("An error 0x00000070\nNot enough space in the temporary folder " + env.temp().string() +
                     " - unpacking the document needs 6 MB, 4 MB are free."),
            std::string::npos)
      << got;
  EXPECT_EQ(got.back(), '1') << "the temporary folder is not empty";
}

// A temporary folder whose free space the declared sizes fit but whose pages
// they do not: the write that fails says the disk is full, in the catalog's
// language, not that the container is damaged.
TEST_F(KdocLimitsTest, ADiskThatFillsWhileUnpackingIsSaidSo) {
  const auto path = env / "doc.kdoc";
  // Three members of 5000 bytes: 15000 bytes declared, 16 KiB free, six
  // pages of 4 KiB needed.
  test::WriteFileBytes(path, BombCabinet({{"00001.emf", 5000, 5000}, {"00002.emf", 5000, 5000},
                                          {"00003.emf", 5000, 5000}}));
  for (const CMessageTable* catalog : {&english, &polish}) {
    const auto opened = OpenWithSmallTemp(path, *catalog, "size=16k");
    if (!opened) GTEST_SKIP() << "no mount namespace here";
    const std::string& got = *opened;
    EXPECT_EQ(got.substr(0, got.find('\n')), std::to_string(kDiskFull)) << got;
    EXPECT_NE(got.find(catalog == &english ? "An error 0x00000070\nThe document cannot be unpacked into the temporary "
                                             "folder " + env.temp().string() + ": There is not enough space on the disk."
                                           : "Wystąpił błąd 0x00000070\nNie można rozpakować dokumentu do folderu "
                                             "plików tymczasowych " + env.temp().string() + ": Za mało miejsca na dysku."),
              std::string::npos)
        << got;
    EXPECT_EQ(got.back(), '1') << "the temporary folder is not empty";
  }
}

// The existing container of a printed job is checked the same way: the job is
// refused and the container stays as it is.
TEST_F(KdocLimitsTest, APrintedJobOverABombKeepsIt) {
  const auto bomb = env / "doc.kdoc";
  test::WriteFileBytes(bomb, BombCabinet(Pages({0x7FFF8000, 0x7FFF8000})));
  const Bytes before = test::ReadFileBytes(bomb);
  const auto job = env / "doc.kdsc";
  test::WriteFileBytes(job, test::PageStream(test::ThreePages()));
  CSignedDocObj doc(english, prompt);
  EXPECT_EQ(doc.Open(job.string(), 0), kTooLarge);
  EXPECT_NE(doc.error_text().find(bomb.string()), std::string::npos) << doc.error_text();
  EXPECT_EQ(test::ReadFileBytes(bomb), before);
  EXPECT_TRUE(env.TempIsEmpty());
  EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"doc.kdoc", "doc.kdsc", "reg", "tmp"}));
}

}  // namespace
}  // namespace vel::app
