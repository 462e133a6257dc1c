// LZX cabinets written through FCIAddFile (compression type 3, windows 2^15 and
// 2^21) read back byte-identically by the common cabinet tools, and by our own
// reader once it decodes LZX. Each row is one cabinet; each reader is a column.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using namespace vel::cabtest;
using vel::test::ReadFileBytes;
using vel::test::RunCommand;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

using Tree = std::vector<std::pair<std::string, Bytes>>;

constexpr uint16_t Lzx(unsigned windowBits) { return static_cast<uint16_t>(tcompTYPE_LZX | windowBits << 8); }

struct FileIn {
  std::string name;
  Bytes bytes;
  uint16_t typeCompress;
  bool closeFolderAfter = false;
};

struct Row {
  const char* label;
  std::vector<FileIn> files;
};

// x86 code with many E8 calls: the system's own programs.
Bytes Executable(size_t limit) {
  Bytes b = ReadFileBytes("/usr/bin/ls");
  const Bytes more = ReadFileBytes("/usr/bin/cmake");
  b.insert(b.end(), more.begin(), more.end());
  b.resize(std::min(b.size(), limit));
  return b;
}

// A 24-bit page picture: white rows, dark strokes, a gradient stamp, a little noise.
Bytes Bitmap() {
  const int w = 800, h = 300;
  Bytes b;
  std::mt19937 rng(5);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t v = 255;
      if ((y / 12) % 2 == 1 && (x / 40) % 3 != 2 && rng() % 7 != 0) v = 30;
      if (x > 600 && y > 150) v = static_cast<uint8_t>((x + y) & 0xFF);
      b.insert(b.end(), {v, v, static_cast<uint8_t>(v ^ (rng() % 3 == 0))});
    }
  }
  return b;
}

// Text, noise, zeros and the text again: every block type, cuts where the
// data changes, and matches reaching far back.
Bytes Mixed() {
  Bytes d = TextBytes(400000, 31);
  const Bytes noise = NoiseBytes(150001, 32);
  d.insert(d.end(), noise.begin(), noise.end());
  d.insert(d.end(), 120000, 0);
  const Bytes head(d.begin(), d.begin() + 300000);
  d.insert(d.end(), head.begin(), head.end());
  return d;
}

// E8 bytes everywhere, also in the last ten bytes of frames, with targets of
// every sign and size.
Bytes CallsEverywhere() {
  std::mt19937 rng(9);
  Bytes d(200000);
  for (size_t i = 0; i < d.size(); ++i) d[i] = rng() % 3 == 0 ? 0xE8 : static_cast<uint8_t>(rng() % 16);
  for (size_t f = 32768; f < d.size(); f += 32768) {
    for (size_t k = 1; k <= 10; ++k) d[f - k] = 0xE8;
  }
  return d;
}

// Made once: the test names alone ask for the table once per row.
const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"text_window15", {{"text.txt", TextBytes(300000, 1), Lzx(15)}}},
      {"text_window21", {{"text.txt", TextBytes(300000, 1), Lzx(21)}}},
      {"executable_window21", {{"ls.exe", Executable(3000000), Lzx(21)}}},
      {"executable_window15", {{"ls.exe", Executable(400000), Lzx(15)}}},
      {"calls_everywhere", {{"calls.bin", CallsEverywhere(), Lzx(21)}}},
      {"bitmap", {{"page.bmp", Bitmap(), Lzx(21)}}},
      {"incompressible", {{"noise.bin", NoiseBytes(200000, 2), Lzx(21)}}},
      {"incompressible_odd_tail", {{"noise.bin", NoiseBytes(100001, 3), Lzx(16)}}},
      {"small", {{"one.txt", Bytes{'x'}, Lzx(21)}, {"seven.txt", TextBytes(7, 4), Lzx(21)}}},
      {"empty_file", {{"empty.dat", {}, Lzx(21)}}},
      {"empty_among_others",
       {{"a.txt", TextBytes(100, 7), Lzx(21)}, {"b.txt", {}, Lzx(21)}, {"c.txt", TextBytes(70000, 8), Lzx(21)}}},
      {"many_frames_mixed", {{"mixed.bin", Mixed(), Lzx(18)}}},
      {"several_folders",
       {{"p1.txt", TextBytes(100000, 9), Lzx(21), true},
        {"p2.bin", NoiseBytes(50000, 10), Lzx(21)},
        {"p3.txt", TextBytes(90000, 11), Lzx(15)},
        {"p4.txt", TextBytes(60000, 12), tcompTYPE_MSZIP},
        {"p5.exe", Executable(200000), Lzx(20)}}},
  };
  return rows;
}

int NextCabinet(CCAB*, uint32_t, void*) { return 1; }

// Keeps the writer's temporary files in the test's own folder.
struct TmpDirScope {
  explicit TmpDirScope(const fs::path& p) {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) saved = old;
    setenv("TMPDIR", p.c_str(), 1);
  }
  ~TmpDirScope() {
    if (saved) setenv("TMPDIR", saved->c_str(), 1); else unsetenv("TMPDIR");
  }
  std::optional<std::string> saved;
};

fs::path WriteCabinet(const TempDir& work, const Row& row) {
  fs::create_directories(work / "src");
  fs::create_directories(work / "tmp");
  TmpDirScope tmp(work / "tmp");
  CCAB ccab;
  ccab.cbFolderThresh = 0x7FFFFFFF;
  ccab.szDisk = "disk1";
  ccab.szCab = "lzx.cab";
  ccab.szCabPath = work.path().string() + "/";
  ERF erf;
  HFCI h = FCICreate(&erf, nullptr, TestAlloc, TestFree, FciTestOpen, FciTestRead, FciTestWrite, FciTestClose,
                     FciTestSeek, FciTestDelete, FciTestTempFile, &ccab, nullptr);
  EXPECT_NE(h, nullptr);
  if (h == nullptr) return {};
  for (const FileIn& f : row.files) {
    WriteFileBytes(work / "src" / f.name, f.bytes);
    EXPECT_TRUE(FCIAddFile(h, (work / "src" / f.name).c_str(), f.name.c_str(), false, NextCabinet, nullptr,
                           FciTestOpenInfo, f.typeCompress))
        << f.name << " " << erf.erfOper;
    if (f.closeFolderAfter) {
      EXPECT_TRUE(FCIFlushFolder(h, NextCabinet, nullptr));
    }
  }
  EXPECT_TRUE(FCIFlushCabinet(h, false, NextCabinet, nullptr)) << erf.erfOper;
  EXPECT_TRUE(FCIDestroy(h));
  return work / "lzx.cab";
}

// Our own reader, a column beside the tools.
void ExtractWithOurs(const fs::path& cab, const fs::path& dest, std::string& log) {
  fs::create_directories(dest);
  Walk walk(dest);
  ERF erf;
  EXPECT_TRUE(CopyWithWalk(cab, walk, erf)) << erf.erfOper;
  log = "FDICopy " + std::to_string(erf.erfOper);
}

class LzxPeers : public ::testing::TestWithParam<size_t> {};

TEST_P(LzxPeers, ExtractByteIdentical) {
  const Row& row = Rows()[GetParam()];
  TempDir work;
  const fs::path cab = WriteCabinet(work, row);
  ASSERT_FALSE(cab.empty());
  // The folders carry the types asked for, and every LZX frame but a folder's
  // last holds 32,768 bytes.
  const ParsedCabinet parsed = ParseCabinet(ReadFileBytes(cab));
  for (size_t f = 0; f < parsed.typeCompress.size(); ++f) {
    if (CompressionMethod(parsed.typeCompress[f]) != tcompTYPE_LZX) continue;
    for (size_t b = 0; b + 1 < parsed.blocks[f].size(); ++b) EXPECT_EQ(parsed.blocks[f][b].cbUncomp, 32768);
  }
  std::vector<uint16_t> types;
  bool closed = true;
  for (const FileIn& f : row.files) {
    if (closed || types.back() != f.typeCompress) types.push_back(f.typeCompress);
    closed = f.closeFolderAfter;
  }
  if (row.files.size() > 1 || !row.files[0].bytes.empty()) {
    EXPECT_EQ(parsed.typeCompress, types);
  }
  Tree want;
  for (const FileIn& f : row.files) want.emplace_back(f.name, f.bytes);
  for (const PeerReader& p : PeerReaders()) {
    VEL_REQUIRE_TOOL(p.tool);
    const fs::path dest = work / (std::string("out-") + p.tool);
    fs::create_directories(dest);
    auto r = RunCommand("LC_ALL=C.UTF-8 " + p.command(cab, dest));
    EXPECT_EQ(r.exit_code, 0) << p.tool << ": " << r.output;
    ExpectSameTree(dest, want, p.tool, r.output);
  }
  std::string log;
  ExtractWithOurs(cab, work / "out-ours", log);
  ExpectSameTree(work / "out-ours", want, "ours", log);
  ExpectCabextractTestPasses(cab);
}

INSTANTIATE_TEST_SUITE_P(Cabinets, LzxPeers, ::testing::Range<size_t>(0, Rows().size()),
                         [](const auto& info) { return std::string(Rows()[info.param].label); });

}  // namespace
