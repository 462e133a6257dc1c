// MSZIP codec: round trips, history across blocks, the stored fallback, the
// codec contracts, zlib as an independent reader and writer of the deflate
// streams, and malformed streams that must fail cleanly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cabinet/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Allocation callbacks that count, and can be told to fail --------------
int g_live = 0;
int g_failAfter = -1;  // allocations allowed before failing; -1 never fails

void* TestAlloc(uint32_t cb) {
  if (g_failAfter == 0) return nullptr;
  if (g_failAfter > 0) --g_failAfter;
  ++g_live;
  return std::malloc(cb == 0 ? 1 : cb);
}
void TestFree(void* p) {
  if (p != nullptr) --g_live;
  std::free(p);
}

struct Compressor {
  MsZipCompressor* h = nullptr;
  Compressor() {
    uint32_t block = 0, dstMin = 0;
    EXPECT_EQ(MciCreateCompression(&block, TestAlloc, TestFree, &dstMin, &h), CODEC_OK);
  }
  ~Compressor() {
    if (h != nullptr) {
      EXPECT_EQ(MciDestroyCompression(h), CODEC_OK);
    }
  }
  Bytes Block(const uint8_t* p, size_t n) {
    Bytes out(kCodecBlockSize + kMsZipSlack);
    uint32_t cb = 0;
    EXPECT_EQ(MciCompress(h, p, static_cast<uint32_t>(n), out.data(), static_cast<uint32_t>(out.size()), &cb),
              CODEC_OK);
    out.resize(cb);
    return out;
  }
};

struct Decompressor {
  MsZipDecompressor* h = nullptr;
  Bytes out = Bytes(kCodecBlockSize);
  Decompressor() {
    uint32_t block = 0, srcMin = 0;
    EXPECT_EQ(MdiCreateDecompression(&block, TestAlloc, TestFree, &srcMin, &h), CODEC_OK);
  }
  ~Decompressor() {
    if (h != nullptr) {
      EXPECT_EQ(MdiDestroyDecompression(h), CODEC_OK);
    }
  }
  // Status of one block; on success `got` holds its bytes.
  CodecStatus Block(const Bytes& in, Bytes& got) {
    uint32_t cb = 0;
    CodecStatus s = MdiDecompress(h, in.data(), static_cast<uint32_t>(in.size()), out.data(), &cb);
    got.assign(out.begin(), out.begin() + cb);
    return s;
  }
};

std::vector<Bytes> Chunks(const Bytes& data, size_t size = kCodecBlockSize) {
  std::vector<Bytes> chunks;
  for (size_t off = 0; off < data.size(); off += size) {
    chunks.emplace_back(data.begin() + off, data.begin() + std::min(data.size(), off + size));
  }
  return chunks;
}

std::vector<Bytes> CompressAll(const Bytes& data) {
  Compressor c;
  std::vector<Bytes> blocks;
  for (const Bytes& chunk : Chunks(data)) blocks.push_back(c.Block(chunk.data(), chunk.size()));
  return blocks;
}

Bytes DecompressAll(const std::vector<Bytes>& blocks) {
  Decompressor d;
  Bytes all, got;
  for (const Bytes& b : blocks) {
    EXPECT_EQ(d.Block(b, got), CODEC_OK);
    all.insert(all.end(), got.begin(), got.end());
  }
  return all;
}

size_t TotalSize(const std::vector<Bytes>& blocks) {
  size_t n = 0;
  for (const Bytes& b : blocks) n += b.size();
  return n;
}

// ---- Test data ------------------------------------------------------------
Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(size_t n, unsigned seed) {
  static const char* const kWords[] = {"podpis", "elektroniczny", "the", "signature", "document", "of",
                                       "certificate", "zaufany", "and", "a", "cabinet", "time-stamp",
                                       "\n", "qualified", "kwalifikowany", "to", "is", "verification"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const std::string w = kWords[rng() % std::size(kWords)];
    b.insert(b.end(), w.begin(), w.end());
    b.push_back(' ');
  }
  b.resize(n);
  return b;
}

Bytes Repetitive(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (i / 1000) % 3 == 0 ? 0 : static_cast<uint8_t>("abcabd"[i % 6]);
  return b;
}

// ---- zlib as an independent reader and writer -------------------------------
// Inflates one block as raw deflate, with the previous full block as dictionary.
bool ZlibInflate(const Bytes& block, const Bytes* dictionary, Bytes& out) {
  if (block.size() < 2 || block[0] != 'C' || block[1] != 'K') return false;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  if (dictionary != nullptr &&
      inflateSetDictionary(&z, dictionary->data(), static_cast<uInt>(dictionary->size())) != Z_OK) {
    inflateEnd(&z);
    return false;
  }
  out.assign(kCodecBlockSize + 1, 0);
  z.next_in = const_cast<Bytef*>(block.data() + 2);
  z.avail_in = static_cast<uInt>(block.size() - 2);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

// Deflates one block with zlib as "CK" + raw deflate.
Bytes ZlibDeflate(const Bytes& chunk, const Bytes* dictionary, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  if (dictionary != nullptr) {
    deflateSetDictionary(&z, dictionary->data(), static_cast<uInt>(dictionary->size()));
  }
  Bytes out(deflateBound(&z, static_cast<uLong>(chunk.size())) + 2);
  out[0] = 'C';
  out[1] = 'K';
  z.next_in = const_cast<Bytef*>(chunk.data());
  z.avail_in = static_cast<uInt>(chunk.size());
  z.next_out = out.data() + 2;
  z.avail_out = static_cast<uInt>(out.size() - 2);
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out + 2);
  deflateEnd(&z);
  return out;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> Samples() {
  Bytes mixed = Text(50000, 3);
  Bytes rnd = RandomBytes(40000, 4);
  mixed.insert(mixed.end(), rnd.begin(), rnd.end());
  Bytes textThenCopy = Text(32768, 5);
  textThenCopy.insert(textThenCopy.end(), textThenCopy.begin(), textThenCopy.end());
  return {
      {"empty", {}},
      {"one byte", {0x42}},
      {"three bytes", {1, 2, 3}},
      {"text 100", Text(100, 1)},
      {"text 32767", Text(32767, 2)},
      {"text exactly one block", Text(32768, 6)},
      {"text 200k", Text(200000, 7)},
      {"random 100k", RandomBytes(100000, 8)},
      {"zeros 100k", Bytes(100000, 0)},
      {"repetitive 150k", Repetitive(150000)},
      {"text then random", mixed},
      {"block repeated", textThenCopy},
  };
}

// ---- Round trips --------------------------------------------------------------

TEST(MsZip, RoundTripsAndZlibAgrees) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    const std::vector<Bytes> blocks = CompressAll(s.data);
    EXPECT_EQ(DecompressAll(blocks), s.data);
    // zlib reads every block, given the previous block when that was full.
    const std::vector<Bytes> chunks = Chunks(s.data);
    for (size_t i = 0; i < blocks.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(blocks[i][0], 'C');
      EXPECT_EQ(blocks[i][1], 'K');
      EXPECT_LE(blocks[i].size(), chunks[i].size() + kMsZipSlack);
      const Bytes* dict = i > 0 && chunks[i - 1].size() == kCodecBlockSize ? &chunks[i - 1] : nullptr;
      Bytes z;
      ASSERT_TRUE(ZlibInflate(blocks[i], dict, z));
      EXPECT_EQ(z, chunks[i]);
    }
  }
}

TEST(MsZip, EmptyBlockIsCkAndOneFixedBlock) {
  Compressor c;
  const Bytes b = c.Block(nullptr, 0);
  // BFINAL 1, BTYPE 01, end-of-block code 0000000, padded: 0x03 0x00.
  EXPECT_EQ(b, (Bytes{'C', 'K', 0x03, 0x00}));
}

TEST(MsZip, HistoryFromPreviousFullBlockShrinksTheNext) {
  const Bytes block = RandomBytes(kCodecBlockSize, 11);
  Compressor c;
  const Bytes first = c.Block(block.data(), block.size());
  const Bytes second = c.Block(block.data(), block.size());
  EXPECT_GT(first.size(), block.size());
  EXPECT_LT(second.size(), 600u);  // all matches into the first block

  // In order on one context: both decode. The second alone, or after a reset, must
  // fail cleanly: it refers to bytes the decoder does not have.
  Decompressor d;
  Bytes got;
  ASSERT_EQ(d.Block(first, got), CODEC_OK);
  ASSERT_EQ(d.Block(second, got), CODEC_OK);
  EXPECT_EQ(got, block);
  ASSERT_EQ(MdiResetDecompression(d.h), CODEC_OK);
  EXPECT_EQ(d.Block(second, got), CODEC_FAILED);
  Decompressor fresh;
  EXPECT_EQ(fresh.Block(second, got), CODEC_FAILED);
}

TEST(MsZip, NoHistoryAfterShortBlockOrReset) {
  const Bytes data = Text(kCodecBlockSize, 12);
  {
    // After a short block the next block stands alone.
    Compressor c;
    c.Block(data.data(), 1000);
    const Bytes next = c.Block(data.data(), 1000);
    Decompressor fresh;
    Bytes got;
    ASSERT_EQ(fresh.Block(next, got), CODEC_OK);
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + 1000));
  }
  {
    // After a reset (new folder) too, even following a full block.
    Compressor c;
    c.Block(data.data(), data.size());
    ASSERT_EQ(MciResetCompression(c.h), CODEC_OK);
    const Bytes next = c.Block(data.data(), data.size());
    Decompressor fresh;
    Bytes got;
    ASSERT_EQ(fresh.Block(next, got), CODEC_OK);
    EXPECT_EQ(got, data);
  }
  {
    // The decoder keeps no history after a short block either.
    Compressor c;
    const Bytes shortBlock = c.Block(data.data(), 1000);
    Decompressor d;
    Bytes got;
    ASSERT_EQ(d.Block(shortBlock, got), CODEC_OK);
    const Bytes zlibWithDict = ZlibDeflate(data, &got, 6, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(d.Block(zlibWithDict, got), CODEC_FAILED);
  }
}

TEST(MsZip, IncompressibleBlockFallsBackToStored) {
  // The writer's buffer is block size + 12; a random block must fit as stored
  // deflate instead of failing.
  const Bytes block = RandomBytes(kCodecBlockSize, 13);
  Compressor c;
  Bytes out(kCodecBlockSize + kMsZipSlack);
  uint32_t cb = 0;
  ASSERT_EQ(MciCompress(c.h, block.data(), kCodecBlockSize, out.data(), static_cast<uint32_t>(out.size()), &cb),
            CODEC_OK);
  EXPECT_EQ(cb, kCodecBlockSize + 7);  // "CK", stored header byte, LEN, NLEN
  EXPECT_EQ(out[2] & 0x07, 0x01);      // BFINAL, BTYPE 00
  out.resize(cb);
  Bytes z;
  ASSERT_TRUE(ZlibInflate(out, nullptr, z));
  EXPECT_EQ(z, block);
}

TEST(MsZip, SmallerThanZlibPerBlockOnText) {
  // Keeping history must pay: our blocks against zlib level 6 blocks without it.
  const Bytes data = Text(300000, 14);
  size_t zlibSize = 0;
  for (const Bytes& chunk : Chunks(data)) zlibSize += ZlibDeflate(chunk, nullptr, 6, Z_DEFAULT_STRATEGY).size();
  EXPECT_LT(TotalSize(CompressAll(data)), zlibSize);
}

TEST(MsZip, ReadsZlibStreamsOfEveryKind) {
  const Bytes data = [] {
    Bytes d = Text(70000, 15);
    const Bytes r = RandomBytes(30000, 16);
    d.insert(d.end(), r.begin(), r.end());
    const Bytes z = Repetitive(40000);
    d.insert(d.end(), z.begin(), z.end());
    return d;
  }();
  struct Mode {
    int level, strategy;
    bool history;
  };
  for (const Mode m : {Mode{0, Z_DEFAULT_STRATEGY, false}, Mode{1, Z_DEFAULT_STRATEGY, true},
                       Mode{6, Z_DEFAULT_STRATEGY, false}, Mode{9, Z_DEFAULT_STRATEGY, true},
                       Mode{6, Z_FIXED, true}, Mode{6, Z_HUFFMAN_ONLY, false}, Mode{6, Z_RLE, true}}) {
    SCOPED_TRACE(testing::Message() << "level " << m.level << " strategy " << m.strategy);
    const std::vector<Bytes> chunks = Chunks(data);
    std::vector<Bytes> blocks;
    for (size_t i = 0; i < chunks.size(); ++i) {
      const Bytes* dict = m.history && i > 0 ? &chunks[i - 1] : nullptr;
      blocks.push_back(ZlibDeflate(chunks[i], dict, m.level, m.strategy));
    }
    EXPECT_EQ(DecompressAll(blocks), data);
  }
}

// ---- Codec contracts ----------------------------------------------------------

TEST(MsZipContract, BlockSizesAndBufferMinimums) {
  for (uint32_t asked : {0u, 40000u, 32768u}) {
    uint32_t block = asked, dstMin = 0;
    MsZipCompressor* c = nullptr;
    ASSERT_EQ(MciCreateCompression(&block, TestAlloc, TestFree, &dstMin, &c), CODEC_OK);
    EXPECT_EQ(block, 32768u);
    EXPECT_EQ(dstMin, 32780u);
    // A destination one byte short of the contract is refused before any work.
    Bytes src(100, 'x'), dst(32779);
    uint32_t cb = 77;
    EXPECT_EQ(MciCompress(c, src.data(), 100, dst.data(), 32779, &cb), CODEC_BAD_PARAMETERS);
    Bytes big(32769);
    dst.resize(32780);
    EXPECT_EQ(MciCompress(c, big.data(), 32769, dst.data(), 32780, &cb), CODEC_BAD_PARAMETERS);
    EXPECT_EQ(MciDestroyCompression(c), CODEC_OK);
  }
  // The size query of the decompressor allocates nothing.
  const int before = g_live;
  uint32_t block = 0, srcMin = 0;
  EXPECT_EQ(MdiCreateDecompression(&block, TestAlloc, TestFree, &srcMin, nullptr), CODEC_OK);
  EXPECT_EQ(block, 32768u);
  EXPECT_EQ(srcMin, 32780u);
  EXPECT_EQ(g_live, before);
  // A source beyond block size + 12 is an overflow.
  Decompressor d;
  Bytes huge(32781, 0), got;
  huge[0] = 'C';
  huge[1] = 'K';
  EXPECT_EQ(d.Block(huge, got), CODEC_BUFFER_OVERFLOW);
}

TEST(MsZipContract, WrongTagIsRefused) {
  // A context of another kind, or a record that is not a context at all.
  alignas(16) uint32_t notAContext[64] = {CodecTag("XXXX")};
  Compressor c;
  Decompressor d;
  auto* asDecompressor = reinterpret_cast<MsZipDecompressor*>(c.h);
  auto* asCompressor = reinterpret_cast<MsZipCompressor*>(d.h);
  Bytes buf(kCodecBlockSize + kMsZipSlack);
  uint32_t cb = 0;
  EXPECT_EQ(MdiDecompress(asDecompressor, buf.data(), 10, buf.data(), &cb), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MdiResetDecompression(asDecompressor), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MdiDestroyDecompression(asDecompressor), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MciCompress(asCompressor, buf.data(), 10, buf.data(), 32780, &cb), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MciResetCompression(asCompressor), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MciDestroyCompression(asCompressor), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MciDestroyCompression(reinterpret_cast<MsZipCompressor*>(notAContext)), CODEC_BAD_PARAMETERS);
  EXPECT_EQ(MdiDestroyDecompression(nullptr), CODEC_BAD_PARAMETERS);
}

TEST(MsZipContract, AllocationFailureLeavesNothing) {
  for (int allowed = 0; allowed < 8; ++allowed) {
    SCOPED_TRACE(allowed);
    const int before = g_live;
    uint32_t block = 0, size = 0;
    MsZipCompressor* c = reinterpret_cast<MsZipCompressor*>(1);
    g_failAfter = allowed;
    const CodecStatus sc = MciCreateCompression(&block, TestAlloc, TestFree, &size, &c);
    g_failAfter = -1;
    if (sc == CODEC_OK) {
      EXPECT_EQ(MciDestroyCompression(c), CODEC_OK);
    } else {
      EXPECT_EQ(sc, CODEC_NO_MEMORY);
      EXPECT_EQ(c, nullptr);
    }
    MsZipDecompressor* d = reinterpret_cast<MsZipDecompressor*>(1);
    g_failAfter = allowed;
    const CodecStatus sd = MdiCreateDecompression(&block, TestAlloc, TestFree, &size, &d);
    g_failAfter = -1;
    if (sd == CODEC_OK) {
      EXPECT_EQ(MdiDestroyDecompression(d), CODEC_OK);
    } else {
      EXPECT_EQ(sd, CODEC_NO_MEMORY);
      EXPECT_EQ(d, nullptr);
    }
    EXPECT_EQ(g_live, before);
  }
}

TEST(CodecContract, EveryMethodIsAvailableAndSizeQueriesAnswer) {
  EXPECT_TRUE(CodecAvailable(tcompTYPE_NONE));
  EXPECT_TRUE(CodecAvailable(tcompTYPE_MSZIP));
  EXPECT_TRUE(CodecAvailable(tcompTYPE_QUANTUM | (10 << 8)));
  EXPECT_TRUE(CodecAvailable(tcompTYPE_LZX | (21 << 8)));
  EXPECT_FALSE(CodecAvailable(tcompBAD));
  // Size queries answer as the contract says; windows out of range are refused.
  uint32_t block = 0, srcMin = 0;
  QdiConfiguration q{9, 0};
  EXPECT_EQ(QdiCreateDecompression(&block, &q, TestAlloc, TestFree, &srcMin, nullptr), CODEC_BAD_CONFIGURATION);
  q.windowBits = 22;
  EXPECT_EQ(QdiCreateDecompression(&block, &q, TestAlloc, TestFree, &srcMin, nullptr), CODEC_BAD_CONFIGURATION);
  q.windowBits = 21;
  EXPECT_EQ(QdiCreateDecompression(&block, &q, TestAlloc, TestFree, &srcMin, nullptr), CODEC_OK);
  EXPECT_EQ(srcMin, 43008u);
  block = 32768;
  LdiConfiguration l{1u << 21, 0};
  EXPECT_EQ(LdiCreateDecompression(&block, &l, TestAlloc, TestFree, &srcMin, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
            CODEC_OK);
  EXPECT_EQ(srcMin, 38912u);
  // The decompressors exist: real contexts are made and taken back.
  LzxDecompressor* ldi = nullptr;
  EXPECT_EQ(LdiCreateDecompression(&block, &l, TestAlloc, TestFree, &srcMin, &ldi, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
            CODEC_OK);
  EXPECT_EQ(LdiDestroyDecompression(ldi), CODEC_OK);
  QuantumDecompressor* qdi = nullptr;
  EXPECT_EQ(QdiCreateDecompression(&block, &q, TestAlloc, TestFree, &srcMin, &qdi), CODEC_OK);
  EXPECT_EQ(QdiDestroyDecompression(qdi), CODEC_OK);
}

// ---- CabChecksum ----------------------------------------------------------------

// The MS-CAB definition, one byte at a time.
uint32_t ReferenceChecksum(const Bytes& d, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= d.size(); i += 4) sum ^= d[i] | d[i + 1] << 8 | d[i + 2] << 16 | uint32_t(d[i + 3]) << 24;
  uint32_t tail = 0;
  for (; i < d.size(); ++i) tail = tail << 8 | d[i];
  return sum ^ tail;
}

TEST(CabChecksum, KnownValuesAndEveryTailLength) {
  EXPECT_EQ(CabChecksum("abc", 3, 0), 0x616263u);
  EXPECT_EQ(CabChecksum("abcd", 4, 0), 0x64636261u);
  EXPECT_EQ(CabChecksum("ab", 2, 0), 0x6162u);
  EXPECT_EQ(CabChecksum("a", 1, 0), 0x61u);
  EXPECT_EQ(CabChecksum("", 0, 0x12345678), 0x12345678u);
  EXPECT_EQ(CabChecksum("abcdefgh", 8, 0), 0x64636261u ^ 0x68676665u);
  EXPECT_EQ(CabChecksum("abcde", 5, 0xFFFFFFFF), 0xFFFFFFFFu ^ 0x64636261u ^ 0x65u);
  const Bytes r = RandomBytes(100, 17);
  for (size_t n = 0; n <= r.size(); ++n) {
    const Bytes part(r.begin(), r.begin() + n);
    EXPECT_EQ(CabChecksum(part.data(), static_cast<uint32_t>(n), 0xA5A55A5A), ReferenceChecksum(part, 0xA5A55A5A))
        << n;
  }
}

// ---- Malformed streams ------------------------------------------------------------

// Writes deflate bits least significant first; Huffman codes most significant first.
struct StreamWriter {
  Bytes bytes{'C', 'K'};
  uint32_t acc = 0;
  unsigned n = 0;
  StreamWriter& Bits(uint32_t v, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      acc |= ((v >> i) & 1) << n;
      if (++n == 8) {
        bytes.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        n = 0;
      }
    }
    return *this;
  }
  StreamWriter& Code(uint32_t code, unsigned len) {
    for (unsigned i = len; i-- > 0;) Bits((code >> i) & 1, 1);
    return *this;
  }
  // Fixed-code symbols.
  StreamWriter& Lit(unsigned s) {
    if (s < 144) return Code(0x30 + s, 8);
    if (s < 256) return Code(0x190 + s - 144, 9);
    if (s < 280) return Code(s - 256, 7);
    return Code(0xC0 + s - 280, 8);
  }
  StreamWriter& Align() {
    if (n != 0) Bits(0, 8 - n);
    return *this;
  }
  StreamWriter& Raw(const Bytes& b) {
    Align();
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Bytes Done() {
    Align();
    return bytes;
  }
};

StreamWriter Stored(bool last, uint16_t len, uint16_t nlen) {
  StreamWriter w;
  w.Bits(last, 1).Bits(0, 2).Align().Bits(len, 16).Bits(nlen, 16);
  return w;
}

TEST(MsZipMalformed, FailCleanly) {
  struct Case {
    const char* name;
    Bytes block;
  };
  // A dynamic header with the given code-length code lengths (in the fixed order).
  auto dynamicHeader = [](unsigned hlit, unsigned hdist, const std::vector<unsigned>& clLens) {
    StreamWriter w;
    w.Bits(1, 1).Bits(2, 2).Bits(hlit - 257, 5).Bits(hdist - 1, 5).Bits(static_cast<uint32_t>(clLens.size()) - 4, 4);
    for (unsigned l : clLens) w.Bits(l, 3);
    return w;
  };
  const Bytes full(kCodecBlockSize, 'z');
  const std::vector<Case> cases = {
      {"no signature", {'C', 'J', 0x03, 0x00}},
      {"signature only", {'C', 'K'}},
      {"one byte", {'C'}},
      {"block type 3", StreamWriter().Bits(1, 1).Bits(3, 2).Done()},
      {"stored NLEN not the complement", Stored(true, 5, 0x1234).Raw(Bytes(5, 'a')).Done()},
      {"stored LEN beyond the input", Stored(true, 100, static_cast<uint16_t>(~100)).Raw(Bytes(99, 'a')).Done()},
      {"stored header cut short", Bytes{'C', 'K', 0x01, 0x05}},
      {"more than a block of output",
       Stored(false, 0x8000, 0x7FFF).Raw(full).Bits(1, 1).Bits(1, 2).Lit('a').Lit(256).Done()},
      {"match runs past a block of output",
       Stored(false, 0x7FFF, 0x8000).Raw(Bytes(0x7FFF, 'q')).Bits(1, 1).Bits(1, 2).Lit(285).Code(0, 5).Lit(256).Done()},
      {"distance before the start", StreamWriter().Bits(1, 1).Bits(1, 2).Lit('a').Lit(257).Code(1, 5).Lit(256).Done()},
      {"fixed literal/length symbol 286", StreamWriter().Bits(1, 1).Bits(1, 2).Lit(286).Done()},
      {"fixed distance code 30", StreamWriter().Bits(1, 1).Bits(1, 2).Lit('a').Lit(257).Code(30, 5).Done()},
      {"no final block", StreamWriter().Bits(0, 1).Bits(1, 2).Lit('a').Lit(256).Done()},
      {"fixed block cut short", StreamWriter().Bits(1, 1).Bits(1, 2).Lit('a').Lit('b').Done()},
      {"HLIT 287", dynamicHeader(287, 1, {4, 4, 4, 4}).Done()},
      {"HDIST 31", dynamicHeader(257, 31, {4, 4, 4, 4}).Done()},
      {"code-length code over-subscribed", dynamicHeader(257, 1, {1, 1, 1, 0}).Done()},
      {"code-length code incomplete", dynamicHeader(257, 1, {2, 2, 0, 0, 2}).Done()},
      // Code-length code: only symbols 18 and 16... (order 16,17,18,0): 18 -> len 1, 0 -> len 1.
      {"zero run past the end", dynamicHeader(257, 1, {0, 0, 1, 1}).Code(1, 1).Bits(127, 7).Code(1, 1).Bits(127, 7)
                                    .Code(1, 1).Bits(127, 7).Done()},
      {"no end-of-block code", dynamicHeader(257, 1, {0, 0, 1, 1}).Code(1, 1).Bits(127, 7).Code(1, 1).Bits(108, 7)
                                   .Done()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decompressor d;
    Bytes got;
    EXPECT_EQ(d.Block(c.block, got), CODEC_FAILED);
    // A clean failure: the context decodes a good block afterwards.
    EXPECT_EQ(d.Block(Bytes{'C', 'K', 0x03, 0x00}, got), CODEC_OK);
    EXPECT_TRUE(got.empty());
  }
}

TEST(MsZipMalformed, EdgesThatAreValid) {
  Decompressor d;
  Bytes got;
  // A final stored block of length 0 produces nothing.
  EXPECT_EQ(d.Block(Stored(true, 0, 0xFFFF).Done(), got), CODEC_OK);
  EXPECT_TRUE(got.empty());
  // Exactly a block of output from a stored block, then the end.
  const Bytes full = RandomBytes(kCodecBlockSize, 18);
  EXPECT_EQ(d.Block(Stored(true, 0x8000, 0x7FFF).Raw(full).Done(), got), CODEC_OK);
  EXPECT_EQ(got, full);
  // A match reaching exactly 32,768 bytes back into that previous block.
  EXPECT_EQ(d.Block(StreamWriter().Bits(1, 1).Bits(1, 2).Lit(285).Code(29, 5).Bits(8191, 13).Lit(256).Done(), got),
            CODEC_OK);
  EXPECT_EQ(got, Bytes(full.begin(), full.begin() + 258));
  // Trailing bytes after the final block are ignored.
  EXPECT_EQ(d.Block(Bytes{'C', 'K', 0x03, 0x00, 0xFF, 0xFF}, got), CODEC_OK);
}

}  // namespace
