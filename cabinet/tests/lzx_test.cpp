// The LZX decompressor through its codec entry points, fed streams written by
// the test writer of the published format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cabinet/codec.h"
#include "cabinet/testing/codec_streams.h"

namespace {

using vel::cabtest::Bytes;
using vel::cabtest::DataBlock;
using vel::cabtest::LzxFrames;
using vel::cabtest::LzxKind;
using vel::cabtest::LzxOptions;
using vel::cabtest::NoiseBytes;
using vel::cabtest::TextBytes;

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

struct Decoder {
  explicit Decoder(unsigned windowBits) {
    uint32_t block = 32768, srcMin = 0;
    LdiConfiguration config{1u << windowBits, 0};
    EXPECT_EQ(LdiCreateDecompression(&block, &config, Alloc, Free, &srcMin, &h, nullptr, nullptr, nullptr, nullptr,
                                     nullptr),
              CODEC_OK);
  }
  ~Decoder() { EXPECT_EQ(LdiDestroyDecompression(h), CODEC_OK); }
  // One frame; the source is copied to a buffer of its exact size so overreads show.
  CodecStatus Frame(const DataBlock& b, Bytes& out, uint32_t expected = 0) {
    Bytes src = b.data;
    uint32_t cb = expected != 0 ? expected : b.cbUncomp;
    Bytes dst(32768);
    const CodecStatus s = LdiDecompress(h, src.data(), static_cast<uint32_t>(src.size()), dst.data(), &cb);
    if (s == CODEC_OK) out.insert(out.end(), dst.begin(), dst.begin() + cb);
    return s;
  }
  bool All(const std::vector<DataBlock>& frames, Bytes& out) {
    for (const DataBlock& b : frames)
      if (Frame(b, out) != CODEC_OK) return false;
    return true;
  }
  LzxDecompressor* h = nullptr;
};

// Bytes like machine code: calls (E8) with small relative targets between noise.
Bytes CallBytes(size_t n) {
  Bytes b = NoiseBytes(n, 7);
  for (size_t i = 0; i + 5 < n; i += 23) {
    b[i] = 0xE8;
    const uint32_t rel = static_cast<uint32_t>((i * 37) % 5000) - 2500;
    std::memcpy(&b[i + 1], &rel, 4);
  }
  return b;
}

TEST(Lzx, DecodesWhatTheFormatAllows) {
  struct Case {
    const char* name;
    Bytes data;
    LzxOptions options;
  };
  const Bytes text = TextBytes(100000);
  std::vector<Case> cases = {
      {"verbatim text", text, {}},
      {"aligned text, 2 MiB window", text, {.windowBits = 21, .kinds = {LzxKind::kAligned}}},
      {"smallest window", text, {.windowBits = 15}},
      {"noise", NoiseBytes(70000), {.kinds = {LzxKind::kAligned}}},
      {"uncompressed blocks of odd size across frames", text,
       {.blockSize = 40001, .kinds = {LzxKind::kUncompressed}}},
      {"every kind in turn, blocks spanning frames", text,
       {.blockSize = 45001, .kinds = {LzxKind::kVerbatim, LzxKind::kUncompressed, LzxKind::kAligned}}},
      {"short blocks inside frames", TextBytes(40000, 3),
       {.blockSize = 999, .kinds = {LzxKind::kAligned, LzxKind::kUncompressed, LzxKind::kVerbatim}}},
      // A tree with one code, and an empty length tree: encoders send such trees.
      {"one symbol, empty length tree", Bytes(5000, 'a'), {.matches = false, .minimalTrees = true}},
      {"minimal trees with matches", text, {.kinds = {LzxKind::kAligned}, .minimalTrees = true}},
      {"short last frame", TextBytes(32768 + 5), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto frames = LzxFrames(c.data, c.options);
    Decoder d(c.options.windowBits);
    Bytes out;
    ASSERT_TRUE(d.All(frames, out));
    EXPECT_TRUE(out == c.data);
  }
}

TEST(Lzx, UndoesE8TranslationForTheFirstFrames) {
  const Bytes data = CallBytes(80000);
  const auto frames = LzxFrames(data, {.e8Size = 12000000, .kinds = {LzxKind::kVerbatim, LzxKind::kUncompressed}});
  Decoder d(16);
  Bytes out;
  ASSERT_TRUE(d.All(frames, out));
  EXPECT_TRUE(out == vel::cabtest::UndoE8Reference(data, 12000000));

  // The published example: at position 100 an absolute 1,000 becomes 900; a
  // call within the last 10 bytes of a frame is left alone.
  Bytes small(200, 0x90);
  const uint32_t target = 1000;
  small[100] = 0xE8;
  std::memcpy(&small[101], &target, 4);
  small[192] = 0xE8;
  std::memcpy(&small[193], &target, 4);
  Decoder e(16);
  Bytes got;
  ASSERT_TRUE(e.All(LzxFrames(small, {.e8Size = 12000000, .kinds = {LzxKind::kUncompressed}}), got));
  uint32_t v;
  std::memcpy(&v, &got[101], 4);
  EXPECT_EQ(v, 900u);
  std::memcpy(&v, &got[193], 4);
  EXPECT_EQ(v, 1000u);
}

TEST(Lzx, RefusesWhatNoFrameMayHold) {
  const Bytes text = TextBytes(3000);
  const auto good = LzxFrames(text, {});
  ASSERT_EQ(good.size(), 1u);
  struct Case {
    const char* name;
    std::function<void(DataBlock&)> damage;
  };
  // Bits after the E8 flag: 3 bits of block type, most significant bit first.
  auto setType = [](unsigned type) {
    return [type](DataBlock& b) {
      uint16_t w = static_cast<uint16_t>(b.data[0] | b.data[1] << 8);
      w = static_cast<uint16_t>((w & ~0x7000) | type << 12);
      b.data[0] = static_cast<uint8_t>(w);
      b.data[1] = static_cast<uint8_t>(w >> 8);
    };
  };
  const std::vector<Case> cases = {
      {"block type 0", setType(0)},
      {"block type 4", setType(4)},
      {"block type 7", setType(7)},
      {"truncated", [](DataBlock& b) { b.data.resize(b.data.size() / 2); }},
      {"empty", [](DataBlock& b) { b.data.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataBlock b = good[0];
    c.damage(b);
    Decoder d(16);
    Bytes out;
    EXPECT_EQ(d.Frame(b, out), CODEC_FAILED);
  }

  // "abc" then matches of 257 bytes: a frame ending inside one fails.
  Bytes abc;
  for (int i = 0; i < 1000; ++i) abc.insert(abc.end(), {'a', 'b', 'c'});
  DataBlock cut = LzxFrames(abc, {})[0];
  cut.cbUncomp = 100;
  Decoder d(16);
  Bytes out;
  EXPECT_EQ(d.Frame(cut, out), CODEC_FAILED);

  // An uncompressed block whose header promises R0-R2 but holds fewer than 12 bytes.
  auto raw = LzxFrames(Bytes(2, 'x'), {.kinds = {LzxKind::kUncompressed}});
  ASSERT_EQ(raw.size(), 1u);
  for (size_t keep : {4u, 8u, 13u}) {
    DataBlock b = raw[0];
    b.data.resize(keep);
    Decoder d(16);
    Bytes out;
    EXPECT_EQ(d.Frame(b, out), CODEC_FAILED) << keep;
  }

  // A repeated offset reaching before the folder's first byte: ten bytes stored
  // with R0 = 1, then a block that repeats R0; R0 raised to 1,000 must fail.
  const auto stored = LzxFrames(Bytes(20, 'x'), {.blockSize = 10, .kinds = {LzxKind::kUncompressed, LzxKind::kVerbatim}});
  for (uint32_t r0 : {1u, 1000u}) {
    DataBlock b = stored[0];
    std::memcpy(&b.data[4], &r0, 4);  // after 28 header bits and their padding to 32
    Decoder d(16);
    out.clear();
    EXPECT_EQ(d.Frame(b, out), r0 == 1 ? CODEC_OK : CODEC_FAILED) << r0;
  }

  // Offsets that reach past the window: a stream made for 2 MiB read with 32 KiB.
  Bytes far = NoiseBytes(40000, 5);
  far.insert(far.end(), far.begin(), far.begin() + 30000);
  const auto farFrames = LzxFrames(far, {.windowBits = 21});
  Decoder small(15);
  out.clear();
  EXPECT_FALSE(small.All(farFrames, out));
}

TEST(Lzx, FailedFrameFailsTheFolderUntilReset) {
  const Bytes text = TextBytes(70000);
  const auto frames = LzxFrames(text, {});
  Decoder d(16);
  Bytes out;
  DataBlock bad = frames[0];
  bad.data.resize(10);
  EXPECT_EQ(d.Frame(bad, out), CODEC_FAILED);
  EXPECT_EQ(d.Frame(frames[0], out), CODEC_FAILED);
  ASSERT_EQ(LdiResetDecompression(d.h), CODEC_OK);
  out.clear();
  ASSERT_TRUE(d.All(frames, out));
  EXPECT_TRUE(out == text);
}

TEST(Lzx, ContractChecks) {
  uint32_t block = 32768, srcMin = 0;
  LzxDecompressor* h = nullptr;
  LdiConfiguration odd{3u << 15, 0};
  EXPECT_EQ(LdiCreateDecompression(&block, &odd, Alloc, Free, &srcMin, &h, nullptr, nullptr, nullptr, nullptr,
                                   nullptr),
            CODEC_NO_MEMORY);
  EXPECT_EQ(h, nullptr);
  Decoder d(16);
  Bytes out;
  DataBlock big{Bytes(10), 0, std::nullopt};
  EXPECT_EQ(d.Frame(big, out, 32769), CODEC_BUFFER_OVERFLOW);
  uint32_t cb = 10;
  EXPECT_EQ(LdiDecompress(reinterpret_cast<LzxDecompressor*>(&cb), out.data(), 0, out.data(), &cb),
            CODEC_BAD_PARAMETERS);
}

// Contexts are independent: two folders decoded frame by frame in turn, and on two threads.
TEST(Lzx, ContextsDecodeIndependently) {
  const Bytes a = TextBytes(150000, 11), b = CallBytes(120000);
  const auto fa = LzxFrames(a, {.kinds = {LzxKind::kAligned}});
  const auto fb = LzxFrames(b, {.windowBits = 17, .e8Size = 500000});
  Decoder da(16), db(17);
  Bytes oa, ob;
  for (size_t i = 0; i < std::max(fa.size(), fb.size()); ++i) {
    if (i < fa.size()) {
      ASSERT_EQ(da.Frame(fa[i], oa), CODEC_OK);
    }
    if (i < fb.size()) {
      ASSERT_EQ(db.Frame(fb[i], ob), CODEC_OK);
    }
  }
  EXPECT_TRUE(oa == a);
  EXPECT_TRUE(ob == vel::cabtest::UndoE8Reference(b, 500000));

  bool okA = false, okB = false;
  std::thread ta([&] {
    Decoder d(16);
    Bytes o;
    okA = d.All(fa, o) && o == a;
  });
  std::thread tb([&] {
    Decoder d(17);
    Bytes o;
    okB = d.All(fb, o) && o == vel::cabtest::UndoE8Reference(b, 500000);
  });
  ta.join();
  tb.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
}

}  // namespace
