// The Quantum decompressor through its codec entry points, fed streams from the
// test writer (an arithmetic coder over the published model layout).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "cabinet/codec.h"
#include "cabinet/testing/codec_streams.h"

namespace {

using vel::cabtest::Bytes;
using vel::cabtest::DataBlock;
using vel::cabtest::NoiseBytes;
using vel::cabtest::QuantumFrames;
using vel::cabtest::TextBytes;

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

struct Decoder {
  explicit Decoder(int windowBits) {
    uint32_t block = 0, srcMin = 0;
    QdiConfiguration config{windowBits, 0};
    EXPECT_EQ(QdiCreateDecompression(&block, &config, Alloc, Free, &srcMin, &h), CODEC_OK);
  }
  ~Decoder() { EXPECT_EQ(QdiDestroyDecompression(h), CODEC_OK); }
  CodecStatus Frame(const DataBlock& b, Bytes& out, uint32_t expected = 0) {
    Bytes src = b.data;  // exact size, so overreads show
    uint32_t cb = expected != 0 ? expected : b.cbUncomp;
    Bytes dst(32768);
    const CodecStatus s = QdiDecompress(h, src.data(), static_cast<uint32_t>(src.size()), dst.data(), &cb);
    if (s == CODEC_OK) out.insert(out.end(), dst.begin(), dst.begin() + cb);
    return s;
  }
  bool All(const std::vector<DataBlock>& frames, Bytes& out) {
    for (const DataBlock& b : frames)
      if (Frame(b, out) != CODEC_OK) return false;
    return true;
  }
  QuantumDecompressor* h = nullptr;
};

TEST(Quantum, DecodesWhatTheFormatAllows) {
  struct Case {
    const char* name;
    Bytes data;
    unsigned windowBits;
    bool matches;
  };
  Bytes repeated = NoiseBytes(20000, 4);
  repeated.insert(repeated.end(), repeated.begin(), repeated.end());  // matches reaching the previous block
  const std::vector<Case> cases = {
      {"text, 64 KiB window", TextBytes(100000), 16, true},
      {"smallest window", TextBytes(50000, 2), 10, true},
      {"largest window, far matches", repeated, 21, true},
      {"noise", NoiseBytes(40000), 15, true},
      // Thousands of uses of one model: it is rescaled and re-sorted many times.
      {"literals only", TextBytes(70000, 5), 16, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d(static_cast<int>(c.windowBits));
    Bytes out;
    ASSERT_TRUE(d.All(QuantumFrames(c.data, c.windowBits, c.matches), out));
    EXPECT_TRUE(out == c.data);
  }
}

TEST(Quantum, RefusesBlocksThatDoNotHoldTheirBytes) {
  Bytes abc;
  for (int i = 0; i < 500; ++i) abc.insert(abc.end(), {'a', 'b', 'c', 'd'});
  const auto frames = QuantumFrames(abc, 12);
  ASSERT_EQ(frames.size(), 1u);
  struct Case {
    const char* name;
    size_t keep;       // source bytes kept
    uint32_t expected; // bytes asked for (0: the block's own)
    CodecStatus result;
  };
  const std::vector<Case> cases = {
      {"whole", frames[0].data.size(), 0, CODEC_OK},
      {"truncated", frames[0].data.size() / 2, 0, CODEC_FAILED},
      {"empty", 0, 0, CODEC_FAILED},
      {"far more bytes asked than the stream holds", frames[0].data.size(), 32768, CODEC_FAILED},
      // A match may run past the bytes asked for, within its frame; the rest is dropped.
      {"a match past the block end", frames[0].data.size(), 10, CODEC_OK},
      {"fewer bytes asked, the rest ignored", frames[0].data.size(), 4, CODEC_OK},
      {"above the block size", frames[0].data.size(), 32769, CODEC_BUFFER_OVERFLOW},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataBlock b = frames[0];
    b.data.resize(c.keep);
    Decoder d(12);
    Bytes out;
    EXPECT_EQ(d.Frame(b, out, c.expected), c.result);
  }
  // Bytes after the stream are ignored.
  DataBlock padded = frames[0];
  padded.data.insert(padded.data.end(), 50, 0xA5);
  Decoder d(12);
  Bytes out;
  ASSERT_EQ(d.Frame(padded, out), CODEC_OK);
  EXPECT_TRUE(out == abc);
}

// The last match may run past the data to the end of its frame, never beyond;
// and no block can follow one whose match ran past its bytes.
TEST(Quantum, LastMatchPastTheData) {
  const Bytes zeros(32700, 0);
  {
    Decoder d(15);
    Bytes out;
    const auto toFrameEnd = QuantumFrames(zeros, 15, true, 68);
    ASSERT_EQ(toFrameEnd.size(), 1u);
    ASSERT_EQ(d.Frame(toFrameEnd[0], out), CODEC_OK);
    EXPECT_TRUE(out == zeros);
    EXPECT_EQ(d.Frame(toFrameEnd[0], out), CODEC_FAILED);  // the folder has ended
  }
  {
    Decoder d(15);
    Bytes out;
    EXPECT_EQ(d.Frame(QuantumFrames(zeros, 15, true, 200)[0], out), CODEC_FAILED);  // past the frame
  }
}

TEST(Quantum, WindowBitsAndFolderState) {
  uint32_t block = 0, srcMin = 0;
  QuantumDecompressor* h = nullptr;
  for (int bits : {9, 22, -1}) {
    QdiConfiguration config{bits, 0};
    EXPECT_EQ(QdiCreateDecompression(&block, &config, Alloc, Free, &srcMin, &h), CODEC_BAD_CONFIGURATION) << bits;
    EXPECT_EQ(h, nullptr);
  }
  // A failed block fails the folder until it is reset; a reset starts a new folder.
  const Bytes text = TextBytes(40000, 9);
  const auto frames = QuantumFrames(text, 16);
  Decoder d(16);
  Bytes out;
  DataBlock bad = frames[0];
  bad.data.resize(8);
  EXPECT_EQ(d.Frame(bad, out), CODEC_FAILED);
  EXPECT_EQ(d.Frame(frames[0], out), CODEC_FAILED);
  ASSERT_EQ(QdiResetDecompression(d.h), CODEC_OK);
  for (int round = 0; round < 2; ++round) {
    out.clear();
    ASSERT_TRUE(d.All(frames, out));
    EXPECT_TRUE(out == text);
    ASSERT_EQ(QdiResetDecompression(d.h), CODEC_OK);
  }
}

// The state lives in each context: two folders in turn, and on two threads.
TEST(Quantum, ContextsDecodeIndependently) {
  const Bytes a = TextBytes(90000, 21), b = TextBytes(80000, 22);
  const auto fa = QuantumFrames(a, 16), fb = QuantumFrames(b, 20);
  Decoder da(16), db(20);
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
  EXPECT_TRUE(ob == b);
  bool okA = false, okB = false;
  std::thread ta([&] {
    Decoder d(16);
    Bytes o;
    okA = d.All(fa, o) && o == a;
  });
  std::thread tb([&] {
    Decoder d(20);
    Bytes o;
    okB = d.All(fb, o) && o == b;
  });
  ta.join();
  tb.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
}

}  // namespace
