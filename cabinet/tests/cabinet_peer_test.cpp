// Our cabinets read by the common cabinet tools, and theirs read by us.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "cabinet/cabinet.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using namespace vel::cabtest;
using vel::test::HaveTool;
using vel::test::RunCommand;
using vel::test::ShellQuote;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

using Tree = std::vector<std::pair<std::string, Bytes>>;

struct Content {
  const char* label;
  Tree files;
};

std::vector<Content> Contents() {
  return {
      {"one_file", {{"00001.emf", TextBytes(150000, 1)}}},
      {"many_files",
       {{"00001.emf", TextBytes(40000, 2)},
        {"00002.emf", NoiseBytes(70000, 3)},
        {"00003.bmp", TextBytes(5, 4)},
        {"DezazudIvirar.exe", NoiseBytes(33000, 5)},
        {"signatures.p7b", NoiseBytes(2500, 6)}}},
      {"empty_file", {{"empty.dat", {}}}},
      {"empty_among_others", {{"a.txt", TextBytes(100, 7)}, {"b.txt", {}}, {"c.txt", TextBytes(70000, 8)}}},
      {"several_folders",
       {{"p1.bin", NoiseBytes(1000000, 9)}, {"p2.bin", NoiseBytes(950000, 10)}, {"p3.txt", TextBytes(3000000, 11)}}},
      {"polish_name", {{"Zażółć gęślą jaźń.txt", TextBytes(5000, 12)}, {"ŁÓDŹ.emf", NoiseBytes(100, 13)}}},
  };
}

Tree Sorted(Tree t) {
  std::sort(t.begin(), t.end());
  return t;
}

fs::path MakeOurCabinet(const TempDir& work, const Tree& files) {
  fs::create_directories(work / "src");
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : files) {
    WriteFileBytes(work / "src" / name, bytes);
    paths.push_back((work / "src" / name).string());
  }
  std::vector<const char*> argv;
  for (const auto& p : paths) argv.push_back(p.c_str());
  fs::path cab = work / "ours.cab";
  EXPECT_EQ(vel::cabinet::CreateCabinet(static_cast<int>(argv.size()), argv.data(), cab.c_str()), 1);
  return cab;
}

class PeersReadOurs : public ::testing::TestWithParam<size_t> {};

TEST_P(PeersReadOurs, ByteIdentical) {
  Content c = Contents()[GetParam()];
  TempDir work;
  fs::path cab = MakeOurCabinet(work, c.files);
  for (const PeerReader& p : PeerReaders()) {
    VEL_REQUIRE_TOOL(p.tool);
    fs::path dest = work / (std::string("out-") + p.tool);
    fs::create_directories(dest);
    auto r = RunCommand("LC_ALL=C.UTF-8 " + p.command(cab, dest));
    EXPECT_EQ(r.exit_code, 0) << p.tool << ": " << r.output;
    ExpectSameTree(dest, c.files, p.tool, r.output);
  }
  // Every block carries a checksum that cabextract accepts.
  ExpectCabextractTestPasses(cab);
}

INSTANTIATE_TEST_SUITE_P(Cabinets, PeersReadOurs, ::testing::Range<size_t>(0, Contents().size()),
                         [](const auto& info) { return std::string(Contents()[info.param].label); });

TEST(CabextractListing, ShowsTheStoredDates) {
  VEL_REQUIRE_TOOL("cabextract");
  TempDir work;
  fs::create_directories(work / "src");
  WriteFileBytes(work / "src" / "dated.txt", TextBytes(10));
  std::time_t when = 1262347384;  // 2010-01-01 around noon, an even second
  struct timespec ts[2] = {{0, UTIME_OMIT}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (work / "src" / "dated.txt").c_str(), ts, 0), 0);
  std::string src = (work / "src" / "dated.txt").string();
  const char* argv[] = {src.c_str()};
  fs::path cab = work / "d.cab";
  ASSERT_EQ(vel::cabinet::CreateCabinet(1, argv, cab.c_str()), 1);
  std::tm tm{};
  localtime_r(&when, &tm);
  char expected[64];
  std::strftime(expected, sizeof expected, "%d.%m.%Y %H:%M:%S", &tm);
  auto r = RunCommand("cabextract -l " + ShellQuote(cab));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find(std::string(expected) + " | dated.txt"), std::string::npos) << expected << "\n" << r.output;
}

// Cabinets gcab makes, stored and MSZIP-compressed, come back byte for byte.
class OursReadGcab : public ::testing::TestWithParam<bool> {};

TEST_P(OursReadGcab, ByteIdentical) {
  VEL_REQUIRE_TOOL("gcab");
  bool zip = GetParam();
  TempDir work, out;
  Tree files = {{"text.txt", TextBytes(200000, 21)},
                {"noise.bin", NoiseBytes(100000, 22)},
                {"empty", {}},
                {"Źdźbło.txt", TextBytes(777, 23)},
                {"SIGNATURES.P7B", NoiseBytes(1234, 24)}};
  fs::create_directories(work / "src");
  std::string args;
  for (const auto& [name, bytes] : files) {
    WriteFileBytes(work / "src" / name, bytes);
    args += " " + ShellQuote(name);
  }
  fs::path cab = work / "g.cab";
  auto r = RunCommand("cd " + ShellQuote(work / "src") + " && LC_ALL=C.UTF-8 gcab -c " + (zip ? "-z " : "") +
                      ShellQuote(cab) + args);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_EQ(vel::cabinet::ExtractCabinet(cab.c_str(), (out.path().string() + "/").c_str()), 1);
  Tree got = ListTree(out.path());
  Tree want = Sorted(files);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_TRUE(got[i].second == want[i].second) << want[i].first;
  }
  TempDir one;
  ASSERT_EQ(vel::cabinet::ExtractCabinetFile(cab.c_str(), "signatures.p7b", (one.path().string() + "/").c_str()), 1);
  EXPECT_EQ(ListTree(one.path()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Gcab, OursReadGcab, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("mszip") : std::string("stored"); });

}  // namespace
