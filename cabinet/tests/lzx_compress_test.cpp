// The LZX compressor through its codec entry points: the stream header, frames of
// 32,768 bytes handed to the output callback, the block type for incompressible
// data, the contract checks, and independence of two contexts. Whether the
// streams decode is the peer test's job (lzx_peer_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "cabinet/codec.h"
#include "cabinet/tests/cab_test_helpers.h"

namespace {

using vel::cabtest::Bytes;
using vel::cabtest::NoiseBytes;
using vel::cabtest::TextBytes;

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

struct Frame {
  Bytes data;
  uint32_t uncompressed;
};

struct Sink {
  std::vector<Frame> frames;
  int failAt = -1;  // index of the frame the callback refuses
};

int Collect(void* ctx, const void* data, uint32_t cb, uint32_t uncompressed) {
  auto* sink = static_cast<Sink*>(ctx);
  if (static_cast<int>(sink->frames.size()) == sink->failAt) return 1;
  const auto* p = static_cast<const uint8_t*>(data);
  sink->frames.push_back({Bytes(p, p + cb), uncompressed});
  return 0;
}

class Lzx {
 public:
  explicit Lzx(Sink& sink, uint32_t window = 1u << 21) {
    const LciConfiguration config{window, 65536};
    EXPECT_EQ(LciCreateCompression(&block_, &config, Alloc, Free, &dstMin_, &h_, Collect, &sink), CODEC_OK);
    dst_.resize(dstMin_);
  }
  ~Lzx() {
    if (h_ != nullptr) {
      EXPECT_EQ(LciDestroyCompression(h_), CODEC_OK);
    }
  }
  CodecStatus Feed(const Bytes& data, uint32_t* held = nullptr) {
    uint32_t dummy = 0;
    for (size_t off = 0; off < data.size(); off += block_) {
      const auto n = static_cast<uint32_t>(std::min<size_t>(block_, data.size() - off));
      const CodecStatus s = LciCompress(h_, data.data() + off, n, dst_.data(), dstMin_, held ? held : &dummy);
      if (s != CODEC_OK) return s;
    }
    return CODEC_OK;
  }
  LzxCompressor* handle() { return h_; }
  uint32_t dstMin() const { return dstMin_; }

 private:
  uint32_t block_ = 32768, dstMin_ = 0;
  LzxCompressor* h_ = nullptr;
  Bytes dst_;
};

// The first bits of a stream: 1 (E8 translation on), then 12,000,000 as two
// 16-bit halves, high first; then the first block's 3-bit type.
unsigned FirstBlockType(const Bytes& frame) {
  EXPECT_GE(frame.size(), 6u);
  EXPECT_EQ(frame[0], 0x5B);
  EXPECT_EQ(frame[1], 0x80);
  EXPECT_EQ(frame[2], 0x80);
  EXPECT_EQ(frame[3], 0x8D);
  const unsigned word = frame[4] | frame[5] << 8;
  EXPECT_EQ(word >> 15, 0u);  // the last bit of 0x1B00
  return (word >> 12) & 7;
}

TEST(LzxCompressor, FramesOf32KiBWithTheStreamHeader) {
  Sink sink;
  {
    Lzx lzx(sink);
    const Bytes text = TextBytes(100000, 3);
    uint32_t held = 0;
    ASSERT_EQ(lzx.Feed(text, &held), CODEC_OK);
    EXPECT_GT(held, 0u);  // frames wait for the bytes that follow them
    ASSERT_EQ(LciFlushOutput(lzx.handle()), CODEC_OK);
    ASSERT_EQ(sink.frames.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(sink.frames[i].uncompressed, 32768u);
    EXPECT_EQ(sink.frames[3].uncompressed, 100000u - 3 * 32768);
    const unsigned type = FirstBlockType(sink.frames[0].data);
    EXPECT_TRUE(type == 1 || type == 2) << type;
    size_t total = 0;
    for (const Frame& f : sink.frames) {
      EXPECT_EQ(f.data.size() % 2, 0u);  // every frame ends on a 16-bit word
      total += f.data.size();
    }
    EXPECT_LT(total, text.size() / 2);

    // After a flush the next data is a new stream with its own header.
    sink.frames.clear();
    ASSERT_EQ(lzx.Feed(TextBytes(5000, 4)), CODEC_OK);
    ASSERT_EQ(LciFlushOutput(lzx.handle()), CODEC_OK);
    ASSERT_EQ(sink.frames.size(), 1u);
    FirstBlockType(sink.frames[0].data);
  }
}

TEST(LzxCompressor, ZerosCodeAsAFewLongMatches) {
  Sink sink;
  Lzx lzx(sink);
  ASSERT_EQ(lzx.Feed(Bytes(32768, 0)), CODEC_OK);
  ASSERT_EQ(LciFlushOutput(lzx.handle()), CODEC_OK);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].uncompressed, 32768u);
  EXPECT_LT(sink.frames[0].data.size(), 200u);
}

TEST(LzxCompressor, IncompressibleDataIsStored) {
  Sink sink;
  Lzx lzx(sink, 1u << 15);
  ASSERT_EQ(lzx.Feed(NoiseBytes(65536 + 11, 5)), CODEC_OK);
  ASSERT_EQ(LciFlushOutput(lzx.handle()), CODEC_OK);
  ASSERT_EQ(sink.frames.size(), 3u);
  EXPECT_EQ(FirstBlockType(sink.frames[0].data), 3u);
  // Header, padding, R0-R2 and the bytes: never more than a few bytes over.
  EXPECT_LE(sink.frames[0].data.size(), 32768u + 20);
  EXPECT_LE(sink.frames[1].data.size(), 32768u + 20);
  EXPECT_LE(sink.frames[2].data.size(), 11u + 20);
}

TEST(LzxCompressor, RefusesWhatTheContractExcludes) {
  uint32_t block = 32768, dstMin = 0;
  LzxCompressor* h = reinterpret_cast<LzxCompressor*>(1);
  Sink sink;
  for (uint32_t window : {16384u, 1u << 22, 3u << 15}) {
    const LciConfiguration config{window, 65536};
    EXPECT_EQ(LciCreateCompression(&block, &config, Alloc, Free, &dstMin, &h, Collect, &sink), CODEC_NO_MEMORY);
    EXPECT_EQ(h, nullptr);
  }
  Lzx lzx(sink);
  EXPECT_EQ(lzx.dstMin(), 32768u + 6144);
  Bytes src(32769), dst(lzx.dstMin());
  uint32_t result = 7;
  EXPECT_EQ(LciCompress(lzx.handle(), src.data(), 32769, dst.data(), lzx.dstMin(), &result), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(LciCompress(lzx.handle(), src.data(), 100, dst.data(), lzx.dstMin() - 1, &result), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(LciCompress(nullptr, src.data(), 100, dst.data(), lzx.dstMin(), &result), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(LciFlushOutput(nullptr), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(LciResetCompression(nullptr), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(LciDestroyCompression(nullptr), CODEC_BAD_PARAMETERS);
  // A context of another codec is refused by its tag.
  uint32_t mszipBlock = 0, mszipDst = 0;
  MsZipCompressor* other = nullptr;
  ASSERT_EQ(MciCreateCompression(&mszipBlock, Alloc, Free, &mszipDst, &other), CODEC_OK);
  EXPECT_EQ(LciResetCompression(reinterpret_cast<LzxCompressor*>(other)), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MciDestroyCompression(other), CODEC_OK);
}

TEST(LzxCompressor, AFailingOutputCallbackFailsTheBlock) {
  Sink sink;
  sink.failAt = 1;
  Lzx lzx(sink);
  CodecStatus s = lzx.Feed(TextBytes(200000, 6));
  if (s == CODEC_OK) s = LciFlushOutput(lzx.handle());
  EXPECT_EQ(s, CODEC_FAILED);
  EXPECT_EQ(sink.frames.size(), 1u);
}

// Out of memory at any allocation: creation fails and nothing stays allocated
// (the sanitizer's leak check sees the rest).
int gAllocationsLeft = 0;
void* LimitedAlloc(uint32_t cb) { return gAllocationsLeft-- > 0 ? std::malloc(cb) : nullptr; }

TEST(LzxCompressor, CreationFailsCleanlyWithoutMemory) {
  Sink sink;
  const LciConfiguration config{1u << 16, 65536};
  for (int n = 0; n < 12; ++n) {
    gAllocationsLeft = n;
    uint32_t block = 32768, dstMin = 0;
    LzxCompressor* h = nullptr;
    const CodecStatus s = LciCreateCompression(&block, &config, LimitedAlloc, Free, &dstMin, &h, Collect, &sink);
    if (s == CODEC_OK) {
      EXPECT_EQ(LciDestroyCompression(h), CODEC_OK);
      EXPECT_GT(n, 3);
      break;
    }
    EXPECT_EQ(s, CODEC_NO_MEMORY);
    EXPECT_EQ(h, nullptr);
  }
}

// No state outside the context: two compressors in two threads give the bytes
// one gives alone.
TEST(LzxCompressor, ContextsAreIndependentAcrossThreads) {
  const Bytes data = TextBytes(150000, 7);
  auto run = [&](Sink& sink) {
    Lzx lzx(sink);
    EXPECT_EQ(lzx.Feed(data), CODEC_OK);
    EXPECT_EQ(LciFlushOutput(lzx.handle()), CODEC_OK);
  };
  Sink alone, a, b;
  run(alone);
  std::thread t1([&] { run(a); });
  std::thread t2([&] { run(b); });
  t1.join();
  t2.join();
  ASSERT_EQ(a.frames.size(), alone.frames.size());
  ASSERT_EQ(b.frames.size(), alone.frames.size());
  for (size_t i = 0; i < alone.frames.size(); ++i) {
    EXPECT_EQ(a.frames[i].data, alone.frames[i].data);
    EXPECT_EQ(b.frames[i].data, alone.frames[i].data);
  }
}

}  // namespace
