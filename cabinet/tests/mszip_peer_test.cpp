// The MSZIP codec and CabChecksum against the common cabinet tools: a minimal
// one-folder cabinet built straight from our compressed blocks must extract
// byte-identically with cabextract, gcab, 7zz and bsdtar (which check the
// CFDATA checksums and follow the history across blocks), and the blocks and
// checksums of cabinets written by gcab must read back with ours.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cabinet/codec.h"
#include "platform/testing/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vel::test::RunCommand;
using vel::test::ShellQuote;

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

// Text, then random bytes (stored blocks), then zeros, then text again: every
// kind of block, and history that reaches back across block boundaries.
Bytes MixedData() {
  std::mt19937 rng(21);
  static const char* const kWords[] = {"podpis ", "elektroniczny ", "signature ", "cabinet ", "\n", "zaufany "};
  Bytes d;
  while (d.size() < 150000) {
    const std::string w = kWords[rng() % 6];
    d.insert(d.end(), w.begin(), w.end());
  }
  for (int i = 0; i < 70000; ++i) d.push_back(static_cast<uint8_t>(rng()));
  d.insert(d.end(), 50000, 0);
  const Bytes head(d.begin(), d.begin() + 40001);
  d.insert(d.end(), head.begin(), head.end());
  return d;
}

// One folder, one file "data.bin", MSZIP, every CFDATA with its checksum.
Bytes BuildCabinet(const Bytes& data) {
  uint32_t block = 0, dstMin = 0;
  MsZipCompressor* c = nullptr;
  EXPECT_EQ(MciCreateCompression(&block, Alloc, Free, &dstMin, &c), CODEC_OK);
  std::vector<Bytes> blocks;
  Bytes out(dstMin);
  for (size_t off = 0; off < data.size(); off += block) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, data.size() - off));
    uint32_t cb = 0;
    EXPECT_EQ(MciCompress(c, data.data() + off, n, out.data(), dstMin, &cb), CODEC_OK);
    Bytes rec(8);
    Put16(rec, 4, cb);
    Put16(rec, 6, n);
    Put32(rec, 0, CabChecksum(rec.data() + 4, 4, CabChecksum(out.data(), cb, 0)));
    rec.insert(rec.end(), out.begin(), out.begin() + cb);
    blocks.push_back(rec);
  }
  MciDestroyCompression(c);

  const std::string name = "data.bin";
  const size_t filesAt = 36 + 8;
  const size_t dataAt = filesAt + 16 + name.size() + 1;
  Bytes cab(dataAt);
  cab[0] = 'M', cab[1] = 'S', cab[2] = 'C', cab[3] = 'F';
  Put32(cab, 16, static_cast<uint32_t>(filesAt));
  cab[24] = 3, cab[25] = 1;  // version 1.3
  Put16(cab, 26, 1);         // folders
  Put16(cab, 28, 1);         // files
  Put16(cab, 32, 12345);     // set ID
  Put32(cab, 36, static_cast<uint32_t>(dataAt));
  Put16(cab, 40, static_cast<uint32_t>(blocks.size()));
  Put16(cab, 42, tcompTYPE_MSZIP);
  Put32(cab, filesAt, static_cast<uint32_t>(data.size()));
  Put16(cab, filesAt + 10, (2024 - 1980) << 9 | 5 << 5 | 17);  // 2024-05-17
  Put16(cab, filesAt + 12, 12 << 11 | 30 << 5);                // 12:30:00
  Put16(cab, filesAt + 14, 0x20);
  std::copy(name.begin(), name.end(), cab.begin() + static_cast<std::ptrdiff_t>(filesAt + 16));
  for (const Bytes& b : blocks) cab.insert(cab.end(), b.begin(), b.end());
  Put32(cab, 8, static_cast<uint32_t>(cab.size()));
  return cab;
}

TEST(MsZipPeer, ToolsExtractOurBlocks) {
  const Bytes data = MixedData();
  vel::test::TempDir dir;
  const auto cab = dir / "ours.cab";
  vel::test::WriteFileBytes(cab, BuildCabinet(data));
  struct Tool {
    const char* name;
    std::string command;  // %C cabinet, %D destination folder
  };
  const std::vector<Tool> tools = {
      {"cabextract", "cabextract -q -d %D %C"},
      {"gcab", "cd %D && gcab -x %C"},
      {"7zz", "7zz x -y -bd -o%D %C"},
      {"bsdtar", "bsdtar -xf %C -C %D"},
  };
  for (const Tool& t : tools) {
    SCOPED_TRACE(t.name);
    VEL_REQUIRE_TOOL(t.name);
    const auto dest = dir / (std::string("out-") + t.name);
    std::filesystem::create_directories(dest);
    std::string cmd = t.command;
    cmd.replace(cmd.find("%D"), 2, ShellQuote(dest.string()));
    cmd.replace(cmd.find("%C"), 2, ShellQuote(cab.string()));
    const auto r = RunCommand(cmd);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(vel::test::ReadFileBytes(dest / "data.bin") == data);
  }
  // cabextract's test mode checks every CFDATA checksum.
  const auto r = RunCommand("cabextract -t " + ShellQuote(cab.string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST(MsZipPeer, ReadsBlocksAndChecksumsOfGcabCabinets) {
  VEL_REQUIRE_TOOL("gcab");
  const Bytes data = MixedData();
  vel::test::TempDir dir;
  vel::test::WriteFileBytes(dir / "data.bin", data);
  for (const bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "gcab -c -z" : "gcab -c");
    const auto cabPath = dir / "g.cab";
    const auto r = RunCommand("cd " + ShellQuote(dir.path().string()) + " && gcab -c " + (compress ? "-z " : "") +
                              ShellQuote(cabPath.string()) + " data.bin");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const Bytes cab = vel::test::ReadFileBytes(cabPath);
    ASSERT_GE(cab.size(), 44u);
    ASSERT_EQ(Get16(cab, 30) & 4, 0u);  // no reserve areas in gcab's cabinets
    size_t at = Get32(cab, 36);
    const unsigned count = Get16(cab, 40);
    EXPECT_EQ(Get16(cab, 42) & tcompMASK_TYPE, compress ? tcompTYPE_MSZIP : tcompTYPE_NONE);

    uint32_t block = 0, srcMin = 0;
    MsZipDecompressor* d = nullptr;
    ASSERT_EQ(MdiCreateDecompression(&block, Alloc, Free, &srcMin, &d), CODEC_OK);
    Bytes out(block), all;
    for (unsigned i = 0; i < count; ++i) {
      const uint32_t cbData = Get16(cab, at + 4), cbUncomp = Get16(cab, at + 6);
      ASSERT_LE(at + 8 + cbData, cab.size());
      const uint32_t sum = CabChecksum(&cab[at + 4], 4, CabChecksum(&cab[at + 8], cbData, 0));
      EXPECT_EQ(sum, Get32(cab, at)) << "block " << i;
      if (compress) {
        uint32_t cb = 0;
        ASSERT_EQ(MdiDecompress(d, &cab[at + 8], cbData, out.data(), &cb), CODEC_OK) << "block " << i;
        ASSERT_EQ(cb, cbUncomp);
        all.insert(all.end(), out.begin(), out.begin() + cb);
      } else {
        all.insert(all.end(), cab.begin() + static_cast<std::ptrdiff_t>(at + 8),
                   cab.begin() + static_cast<std::ptrdiff_t>(at + 8 + cbData));
      }
      at += 8 + cbData;
    }
    MdiDestroyDecompression(d);
    EXPECT_TRUE(all == data);
  }
}

}  // namespace
