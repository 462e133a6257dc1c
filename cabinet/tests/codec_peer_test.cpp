// LZX and Quantum cabinets read by cabextract and by us: the same bytes.
// No common tool writes either method, so the cabinets come from the test
// writers; cabextract checks both them and our reading of the formats.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "cabinet/testing/codec_streams.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using namespace vel::cabtest;
using vel::test::RunCommand;
using vel::test::ShellQuote;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

using Tree = std::vector<std::pair<std::string, Bytes>>;

Tree Files(uint32_t seed) {
  Bytes exe = NoiseBytes(90000, seed);
  for (size_t i = 0; i + 5 < exe.size(); i += 31) exe[i] = 0xE8;  // call-like bytes for the E8 translation
  return {{"a.txt", TextBytes(120000, seed)}, {"b.exe", exe}, {"c.txt", TextBytes(7, seed + 1)},
          {"d.bin", NoiseBytes(40000, seed + 2)}};
}

Bytes Joined(const Tree& files) {
  Bytes all;
  for (const auto& [name, bytes] : files) all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

// Extracts with cabextract and with our reader; both trees must be the same,
// and equal to `want` (the files as a reader must produce them).
void ExpectSameBytes(const Bytes& cab, const Tree& want) {
  VEL_REQUIRE_TOOL("cabextract");
  TempDir work, theirs, ours;
  const fs::path file = work / "x.cab";
  WriteFileBytes(file, cab);
  auto r = RunCommand("cabextract -q -d " + ShellQuote(theirs.path().string()) + " " + ShellQuote(file.string()));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_EQ(vel::cabinet::ExtractCabinet(file.c_str(), (ours.path().string() + "/").c_str()), 1);
  const Tree a = ListTree(theirs.path()), b = ListTree(ours.path());
  ASSERT_EQ(a.size(), want.size());
  ASSERT_EQ(b.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].first);
    EXPECT_EQ(a[i].first, want[i].first);
    EXPECT_EQ(b[i].first, want[i].first);
    EXPECT_TRUE(a[i].second == want[i].second);
    EXPECT_TRUE(b[i].second == a[i].second);
  }
}

// The files as the reader must give them back after E8 translation is undone.
Tree AfterE8(const Tree& files, uint32_t size) {
  const Bytes all = UndoE8Reference(Joined(files), size);
  Tree out;
  size_t at = 0;
  for (const auto& [name, bytes] : files) {
    out.push_back({name, Bytes(all.begin() + at, all.begin() + at + bytes.size())});
    at += bytes.size();
  }
  return out;
}

TEST(CodecPeer, LzxCabinetsReadAsCabextractReadsThem) {
  struct Case {
    const char* name;
    LzxOptions options;
  };
  const std::vector<Case> cases = {
      {"verbatim", {}},
      {"aligned, 2 MiB window", {.windowBits = 21, .kinds = {LzxKind::kAligned}}},
      {"all kinds, blocks across frames",
       {.windowBits = 15, .blockSize = 45001, .kinds = {LzxKind::kUncompressed, LzxKind::kAligned, LzxKind::kVerbatim}}},
      {"E8 translation", {.windowBits = 17, .e8Size = 2000000, .kinds = {LzxKind::kVerbatim, LzxKind::kAligned}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Tree files = Files(3);
    const auto frames = LzxFrames(Joined(files), c.options);
    const Bytes cab = CodecCabinet(static_cast<uint16_t>(tcompTYPE_LZX | c.options.windowBits << 8), frames, files);
    ExpectSameBytes(cab, c.options.e8Size != 0 ? AfterE8(files, c.options.e8Size) : files);
  }
}

TEST(CodecPeer, QuantumCabinetsReadAsCabextractReadsThem) {
  for (unsigned bits : {10u, 16u, 21u}) {
    SCOPED_TRACE(bits);
    const Tree files = Files(bits);
    const Bytes cab =
        CodecCabinet(static_cast<uint16_t>(tcompTYPE_QUANTUM | bits << 8), QuantumFrames(Joined(files), bits), files);
    ExpectSameBytes(cab, files);
  }
}

// Long runs of one byte: matches end at frame ends and at the data's end, and an
// encoder reading its zero-filled buffer lets the last one run past the data.
TEST(CodecPeer, QuantumRunsToFrameAndDataEnds) {
  struct Case {
    const char* name;
    Bytes data;
    bool pastEnd;  // the last match may run to the end of its frame
  };
  Bytes mixed = TextBytes(40000, 7);
  mixed.insert(mixed.end(), 70001, 'A');
  const std::vector<Case> cases = {
      {"zeros, last frame short, last match past the data", Bytes(524159, 0), true},
      {"zeros, whole frames", Bytes(524288, 0), false},
      {"zeros, last frame short", Bytes(524159, 0), false},
      {"text then a run, last match past the data", mixed, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Tree files = {{"z.bin", c.data}};
    const size_t toFrameEnd = c.pastEnd ? (32768 - c.data.size() % 32768) % 32768 : 0;
    const Bytes cab = CodecCabinet(static_cast<uint16_t>(tcompTYPE_QUANTUM | 18 << 8),
                                   QuantumFrames(c.data, 18, true, toFrameEnd), files);
    ExpectSameBytes(cab, files);
  }
}

}  // namespace
