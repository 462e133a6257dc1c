// MSZIP compressor: one block of at most 32 KiB into "CK" + a complete raw
// deflate stream (RFC 1951), with the previous full block of the folder as
// history so the matches of one block reach into the one before.
//
// The encoder is a hash-chain matcher with lazy evaluation over a 64 KiB
// window: the previous block in the lower half, the current one in the upper
// half. The whole block is in the window before matching starts, so there is no
// sliding during a block; between blocks the upper half and the chain tables
// move down by 32 KiB. Each block is sent as the smallest of a dynamic-code,
// fixed-code or stored deflate block, chosen from exact bit counts, so the
// result never exceeds the input by more than 7 bytes ("CK", a 1-byte stored
// header, LEN and NLEN).
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "cabinet/codec.h"
#include "cabinet/codec_memory.h"
#include "cabinet/huffman_table.h"

using vel::cabinet::CodecBuffer;

namespace {

static_assert(std::endian::native == std::endian::little, "the matcher compares little-endian words");

constexpr unsigned kHalf = 32768;          // history half and block half of the window
constexpr unsigned kWindowSlack = 512;     // word compares may read past the block end
constexpr unsigned kHashBits = 15;        // chains: strings of 4 bytes
constexpr unsigned kHash3Bits = 14;       // latest 3-byte string only, no chain
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMaxDistance = 32768;
constexpr unsigned kTooFar = 4096;         // a 3-byte match farther back than this costs more than literals
constexpr unsigned kLitCodes = 286;
constexpr unsigned kDistCodes = 30;
constexpr unsigned kClCodes = 19;
constexpr unsigned kMaxBits = 15;
constexpr unsigned kMaxClBits = 7;

// Search effort, measured on text, executables and page bitmaps (bench/mszip_bench):
// with the previous block as history these settings give smaller output than
// zlib's default level without history, at a higher speed.
struct SearchParams {
  unsigned goodLength;  // a previous match this long quarters the chain
  unsigned maxLazy;     // no lazy search after a match this long
  unsigned niceLength;  // stop searching at a match this long
  unsigned maxChain;
};
constexpr SearchParams kSearch = {4, 16, 64, 48};

constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint16_t, 30> kDistBase = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 19> kClOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length (minus 3) to length code, and distance (minus 1) to distance code.
struct CodeMaps {
  std::array<uint8_t, 256> lengthCode{};
  std::array<uint8_t, 512> distCode{};  // [d] for d < 256, [256 + (d >> 7)] above
  std::array<uint8_t, 288> fixedLitLen{};
  std::array<uint16_t, 288> fixedLitCode{};
  std::array<uint16_t, 30> fixedDistCode{};
  CodeMaps();
};

uint16_t ReverseBits(uint32_t code, unsigned n) {
  uint32_t r = 0;
  for (unsigned i = 0; i < n; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<uint16_t>(r);
}

// Canonical codes for the given lengths, bit-reversed for LSB-first output.
void AssignCodes(const uint8_t* lengths, unsigned n, uint16_t* codes) {
  vel::cabinet::CanonicalCodes({lengths, n}, {codes, n});
  for (unsigned i = 0; i < n; ++i) codes[i] = ReverseBits(codes[i], lengths[i]);
}

CodeMaps::CodeMaps() {
  for (unsigned code = 0; code < 29; ++code) {
    const unsigned span = 1u << kLengthExtra[code];
    for (unsigned i = 0; i < span && kLengthBase[code] - 3 + i < 256; ++i) {
      lengthCode[kLengthBase[code] - 3 + i] = static_cast<uint8_t>(code);
    }
  }
  lengthCode[255] = 28;  // 258 has its own code
  for (unsigned code = 0; code < 30; ++code) {
    const unsigned span = 1u << kDistExtra[code];
    for (unsigned i = 0; i < span; ++i) {
      const unsigned d = kDistBase[code] - 1 + i;
      if (d < 256) {
        distCode[d] = static_cast<uint8_t>(code);
      } else {
        distCode[256 + (d >> 7)] = static_cast<uint8_t>(code);
      }
    }
  }
  for (unsigned s = 0; s < 288; ++s) fixedLitLen[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  AssignCodes(fixedLitLen.data(), 288, fixedLitCode.data());
  for (unsigned s = 0; s < 30; ++s) fixedDistCode[s] = ReverseBits(s, 5);
}

const CodeMaps& Maps() {
  static const CodeMaps maps;
  return maps;
}

inline unsigned DistCode(unsigned distMinus1) {
  return distMinus1 < 256 ? Maps().distCode[distMinus1] : Maps().distCode[256 + (distMinus1 >> 7)];
}

// Bits out, least significant first, never past the end of the buffer.
class BitWriter {
 public:
  BitWriter(uint8_t* out, size_t cap) : p_(out), begin_(out), end_(out + cap) {}
  // count <= 32; at most 31 bits are pending on entry.
  void Put(uint32_t bits, unsigned count) {
    acc_ |= uint64_t{bits} << n_;
    n_ += count;
    if (n_ >= 32) {
      if (end_ - p_ >= 4) {
        const uint32_t w = static_cast<uint32_t>(acc_);
        std::memcpy(p_, &w, 4);
        p_ += 4;
      } else {
        overflow_ = true;
      }
      acc_ >>= 32;
      n_ -= 32;
    }
  }
  // Pads to a byte boundary and writes what is pending.
  void Flush() {
    while (n_ > 0) {
      if (p_ < end_) {
        *p_++ = static_cast<uint8_t>(acc_);
      } else {
        overflow_ = true;
      }
      acc_ >>= 8;
      n_ = n_ > 8 ? n_ - 8 : 0;
    }
  }
  void PutBytes(const uint8_t* data, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) {
      overflow_ = true;
      return;
    }
    std::memcpy(p_, data, n);
    p_ += n;
  }
  size_t Size() const { return static_cast<size_t>(p_ - begin_); }
  bool Overflow() const { return overflow_; }

 private:
  uint8_t* p_;
  uint8_t* begin_;
  uint8_t* end_;
  uint64_t acc_ = 0;
  unsigned n_ = 0;
  bool overflow_ = false;
};

}  // namespace

struct MsZipCompressor {
  uint32_t tag = kTagMsZipCompressor;
  PFNALLOC alloc;
  PFNFREE release;
  uint32_t blockSize;
  bool previousFull = false;  // the lower half of the window holds the previous full block

  CodecBuffer<uint8_t> window;  // [0, 32K) history, [32K, 64K) the block, then slack
  CodecBuffer<uint16_t> head;   // latest position of each 4-byte hash, 0 for none
  CodecBuffer<uint16_t> head3;  // latest position of each 3-byte hash, 0 for none
  CodecBuffer<uint16_t> prev;   // previous position with the same hash, by position
  CodecBuffer<uint8_t> tallyLit;    // literal, or match length - 3
  CodecBuffer<uint16_t> tallyDist;  // 0 for a literal, else the distance
  size_t tallies = 0;

  std::array<uint32_t, kLitCodes> litFreq{};
  std::array<uint32_t, kDistCodes> distFreq{};

  MsZipCompressor(PFNALLOC a, PFNFREE f, uint32_t size)
      : alloc(a),
        release(f),
        blockSize(size),
        window(a, f, 2 * kHalf + kWindowSlack),
        head(a, f, size_t{1} << kHashBits),
        head3(a, f, size_t{1} << kHash3Bits),
        prev(a, f, 2 * kHalf),
        tallyLit(a, f, kHalf + 1),
        tallyDist(a, f, kHalf + 1) {}
  ~MsZipCompressor() { tag = 0; }

  bool Compress(const uint8_t* src, uint32_t n, uint8_t* dst, uint32_t cap, uint32_t& result);

 private:
  void Match(unsigned end);
  unsigned LongestMatch(unsigned pos, unsigned candidate, unsigned prevLength, unsigned maxLength,
                        unsigned minPos, unsigned& matchPos) const;
  void EncodeBlock(BitWriter& bw, const uint8_t* data, unsigned n, bool last);

  void TallyLiteral(uint8_t c) {
    tallyLit[tallies] = c;
    tallyDist[tallies] = 0;
    ++tallies;
    ++litFreq[c];
  }
  void TallyMatch(unsigned distance, unsigned length) {
    tallyLit[tallies] = static_cast<uint8_t>(length - kMinMatch);
    tallyDist[tallies] = static_cast<uint16_t>(distance);  // 32768 fits in 16 bits
    ++tallies;
    ++litFreq[257 + Maps().lengthCode[length - kMinMatch]];
    ++distFreq[DistCode(distance - 1)];
  }

  unsigned minPos_ = 1;  // lowest window position a match may start at
};

namespace {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline unsigned Hash4(const uint8_t* p) { return (Load32(p) * 0x9E3779B1u) >> (32 - kHashBits); }
inline unsigned Hash3(const uint8_t* p) { return ((Load32(p) & 0xFFFFFF) * 0x9E3779B1u) >> (32 - kHash3Bits); }

}  // namespace

unsigned MsZipCompressor::LongestMatch(unsigned pos, unsigned candidate, unsigned prevLength,
                                       unsigned maxLength, unsigned minPos, unsigned& matchPos) const {
  const uint8_t* const win = window.data();
  const uint8_t* const scan = win + pos;
  unsigned chain = prevLength >= kSearch.goodLength ? kSearch.maxChain >> 2 : kSearch.maxChain;
  const unsigned nice = std::min(kSearch.niceLength, maxLength);
  unsigned best = prevLength;
  // Compare the two bytes that would end a longer match first: most candidates fail there.
  uint16_t scanEnd;
  std::memcpy(&scanEnd, scan + best - 1, 2);
  const uint16_t scanStart = static_cast<uint16_t>(Load32(scan));
  do {
    const uint8_t* m = win + candidate;
    uint16_t mEnd;
    std::memcpy(&mEnd, m + best - 1, 2);
    if (mEnd != scanEnd || static_cast<uint16_t>(Load32(m)) != scanStart) continue;
    unsigned len = 2;
    for (;;) {
      const uint64_t diff = Load64(scan + len) ^ Load64(m + len);
      if (diff != 0) {
        len += static_cast<unsigned>(std::countr_zero(diff)) >> 3;
        break;
      }
      len += 8;
      if (len >= maxLength) break;
    }
    len = std::min(len, maxLength);
    if (len > best) {
      best = len;
      matchPos = candidate;
      if (len >= nice) break;
      std::memcpy(&scanEnd, scan + best - 1, 2);
    }
  } while ((candidate = prev[candidate]) >= minPos && --chain != 0);
  return best;
}

void MsZipCompressor::Match(unsigned end) {
  uint8_t* const win = window.data();
  uint16_t* const headTab = head.data();
  uint16_t* const head3Tab = head3.data();
  uint16_t* const prevTab = prev.data();
  const unsigned start = kHalf;

  // Chains follow 4-byte strings, which keeps them short; a 3-byte match is
  // still found through the latest string with the same 3 bytes.
  unsigned candidate3 = 0;
  auto insert = [&](unsigned p) -> unsigned {
    const unsigned h = Hash4(win + p);
    const unsigned candidate = headTab[h];
    prevTab[p] = static_cast<uint16_t>(candidate);
    headTab[h] = static_cast<uint16_t>(p);
    const unsigned h3 = Hash3(win + p);
    candidate3 = head3Tab[h3];
    head3Tab[h3] = static_cast<uint16_t>(p);
    return candidate;
  };

  unsigned pos = start;
  unsigned matchLength = kMinMatch - 1;
  unsigned matchPos = 0;
  bool literalPending = false;
  while (pos < end) {
    const unsigned lookahead = end - pos;
    unsigned candidate = 0;
    candidate3 = 0;
    if (lookahead >= kMinMatch) candidate = insert(pos);
    const unsigned prevLength = matchLength;
    const unsigned prevMatch = matchPos;
    matchLength = kMinMatch - 1;
    const unsigned minPos = std::max(minPos_, pos > kMaxDistance ? pos - kMaxDistance : 1u);
    if (candidate >= minPos && prevLength < kSearch.maxLazy && lookahead >= kMinMatch) {
      matchLength = LongestMatch(pos, candidate, prevLength, std::min(lookahead, kMaxMatch), minPos, matchPos);
      if (matchLength == kMinMatch && pos - matchPos > kTooFar) matchLength = kMinMatch - 1;
      if (matchLength <= prevLength) matchLength = kMinMatch - 1;  // no better than the pending one
    }
    if (matchLength < kMinMatch && prevLength < kMinMatch && candidate3 >= minPos && pos - candidate3 <= kTooFar &&
        (Load32(win + candidate3) & 0xFFFFFF) == (Load32(win + pos) & 0xFFFFFF)) {
      matchLength = kMinMatch;
      matchPos = candidate3;
    }
    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      // The match found one position back is at least as good: take it.
      TallyMatch(pos - 1 - prevMatch, prevLength);
      const unsigned matchEnd = pos - 1 + prevLength;
      for (unsigned p = pos + 1; p < matchEnd; ++p) {
        if (end - p >= kMinMatch) insert(p);
      }
      pos = matchEnd;
      literalPending = false;
      matchLength = kMinMatch - 1;
    } else {
      if (literalPending) TallyLiteral(win[pos - 1]);
      literalPending = true;
      ++pos;
    }
  }
  if (literalPending) TallyLiteral(win[pos - 1]);
}

void MsZipCompressor::EncodeBlock(BitWriter& bw, const uint8_t* data, unsigned n, bool last) {
  const CodeMaps& maps = Maps();
  litFreq[256] = 1;

  std::array<uint8_t, kLitCodes> litLen{};
  std::array<uint8_t, kDistCodes> distLen{};
  vel::cabinet::BuildCodeLengths(litFreq, kMaxBits, litLen);
  vel::cabinet::BuildCodeLengths(distFreq, kMaxBits, distLen);
  unsigned hlit = kLitCodes;
  while (hlit > 257 && litLen[hlit - 1] == 0) --hlit;
  unsigned hdist = kDistCodes;
  while (hdist > 1 && distLen[hdist - 1] == 0) --hdist;

  // Run-length form of the two code-length sequences, each on its own.
  struct ClItem {
    uint8_t sym;
    uint8_t extra;
  };
  std::array<ClItem, kLitCodes + kDistCodes> cl{};
  unsigned clCount = 0;
  std::array<uint32_t, kClCodes> clFreq{};
  auto runLength = [&](const uint8_t* lens, unsigned count) {
    unsigned i = 0;
    while (i < count) {
      const uint8_t cur = lens[i];
      unsigned run = 1;
      while (i + run < count && lens[i + run] == cur) ++run;
      i += run;
      auto emit = [&](uint8_t sym, uint8_t extra) {
        cl[clCount++] = {sym, extra};
        ++clFreq[sym];
      };
      if (cur == 0) {
        while (run >= 11) {
          const unsigned r = std::min(run, 138u);
          emit(18, static_cast<uint8_t>(r - 11));
          run -= r;
        }
        if (run >= 3) {
          emit(17, static_cast<uint8_t>(run - 3));
          run = 0;
        }
        while (run-- > 0) emit(0, 0);
      } else {
        emit(cur, 0);
        --run;
        while (run >= 3) {
          const unsigned r = std::min(run, 6u);
          emit(16, static_cast<uint8_t>(r - 3));
          run -= r;
        }
        while (run-- > 0) emit(cur, 0);
      }
    }
  };
  runLength(litLen.data(), hlit);
  runLength(distLen.data(), hdist);
  std::array<uint8_t, kClCodes> clLen{};
  vel::cabinet::BuildCodeLengths(clFreq, kMaxClBits, clLen);
  unsigned hclen = kClCodes;
  while (hclen > 4 && clLen[kClOrder[hclen - 1]] == 0) --hclen;

  // Exact sizes in bits of the three ways to send the block.
  uint64_t extraBits = 0;
  for (unsigned c = 0; c < 29; ++c) extraBits += uint64_t{litFreq[257 + c]} * kLengthExtra[c];
  for (unsigned c = 0; c < kDistCodes; ++c) extraBits += uint64_t{distFreq[c]} * kDistExtra[c];
  uint64_t dynBits = 3 + 5 + 5 + 4 + 3 * hclen + extraBits;
  uint64_t fixBits = 3 + extraBits;
  for (unsigned s = 0; s < kLitCodes; ++s) {
    dynBits += uint64_t{litFreq[s]} * litLen[s];
    fixBits += uint64_t{litFreq[s]} * maps.fixedLitLen[s];
  }
  for (unsigned c = 0; c < kDistCodes; ++c) {
    dynBits += uint64_t{distFreq[c]} * distLen[c];
    fixBits += uint64_t{distFreq[c]} * 5;
  }
  for (unsigned c = 0; c < kClCodes; ++c) dynBits += uint64_t{clFreq[c]} * clLen[c];
  dynBits += 2ull * clFreq[16] + 3ull * clFreq[17] + 7ull * clFreq[18];
  // Stored: header, padding to a byte (at most 7 bits), LEN, NLEN, the bytes.
  const uint64_t storedBits = 3 + 7 + 32 + 8ull * n;

  if (storedBits <= std::min(dynBits, fixBits)) {
    bw.Put(last ? 1 : 0, 3);
    bw.Flush();
    bw.Put(n | (~n & 0xFFFFu) << 16, 32);
    bw.PutBytes(data, n);
  } else {
    const bool fixed = fixBits <= dynBits;
    std::array<uint16_t, kLitCodes> litCodeArr{};
    std::array<uint16_t, kDistCodes> distCodeArr{};
    const uint8_t* lLen = fixed ? maps.fixedLitLen.data() : litLen.data();
    const uint16_t* lCode = fixed ? maps.fixedLitCode.data() : litCodeArr.data();
    const uint16_t* dCode = fixed ? maps.fixedDistCode.data() : distCodeArr.data();
    std::array<uint8_t, kDistCodes> fixedDistLen{};
    fixedDistLen.fill(5);
    const uint8_t* dLen = fixed ? fixedDistLen.data() : distLen.data();
    if (fixed) {
      bw.Put(last ? 1u | (1u << 1) : (1u << 1), 3);
    } else {
      AssignCodes(litLen.data(), kLitCodes, litCodeArr.data());
      AssignCodes(distLen.data(), kDistCodes, distCodeArr.data());
      std::array<uint16_t, kClCodes> clCode{};
      AssignCodes(clLen.data(), kClCodes, clCode.data());
      bw.Put((last ? 1u : 0u) | (2u << 1), 3);
      bw.Put(hlit - 257, 5);
      bw.Put(hdist - 1, 5);
      bw.Put(hclen - 4, 4);
      for (unsigned i = 0; i < hclen; ++i) bw.Put(clLen[kClOrder[i]], 3);
      static constexpr std::array<uint8_t, 3> kRepeatBits = {2, 3, 7};
      for (unsigned i = 0; i < clCount; ++i) {
        const ClItem it = cl[i];
        bw.Put(clCode[it.sym], clLen[it.sym]);
        if (it.sym >= 16) bw.Put(it.extra, kRepeatBits[it.sym - 16]);
      }
    }
    for (size_t t = 0; t < tallies; ++t) {
      const unsigned dist = tallyDist[t];
      const unsigned lc = tallyLit[t];
      if (dist == 0) {
        bw.Put(lCode[lc], lLen[lc]);
        continue;
      }
      const unsigned code = maps.lengthCode[lc];
      const unsigned dc = DistCode(dist - 1);
      bw.Put(lCode[257 + code] | (lc + 3 - kLengthBase[code]) << lLen[257 + code], lLen[257 + code] + kLengthExtra[code]);
      bw.Put(dCode[dc] | (dist - kDistBase[dc]) << dLen[dc], dLen[dc] + kDistExtra[dc]);
    }
    bw.Put(lCode[256], lLen[256]);
    if (last) bw.Flush();
  }
  litFreq.fill(0);
  distFreq.fill(0);
  tallies = 0;
}

bool MsZipCompressor::Compress(const uint8_t* src, uint32_t n, uint8_t* dst, uint32_t cap, uint32_t& result) {
  uint8_t* const win = window.data();
  if (n != 0) std::memcpy(win + kHalf, src, n);
  if (previousFull) {
    minPos_ = 1;  // position 0 doubles as "no entry"
  } else {
    head.Fill(0);
    head3.Fill(0);
    minPos_ = kHalf;
  }
  tallies = 0;
  litFreq.fill(0);
  distFreq.fill(0);
  Match(kHalf + n);

  BitWriter bw(dst, cap);
  bw.Put('C' | 'K' << 8, 16);
  EncodeBlock(bw, win + kHalf, n, true);
  result = static_cast<uint32_t>(bw.Size());

  // A full block is the history of the next one: move it and its chains down.
  previousFull = n == kHalf;
  if (previousFull) {
    std::memcpy(win, win + kHalf, kHalf);
    for (uint16_t& h : head.span()) h = h >= kHalf ? static_cast<uint16_t>(h - kHalf) : 0;
    for (uint16_t& h : head3.span()) h = h >= kHalf ? static_cast<uint16_t>(h - kHalf) : 0;
    for (unsigned p = 0; p < kHalf; ++p) {
      const uint16_t v = prev[p + kHalf];
      prev[p] = v >= kHalf ? static_cast<uint16_t>(v - kHalf) : 0;
    }
  }
  return !bw.Overflow();
}

// ---- Entry points -------------------------------------------------------------

CodecStatus MciCreateCompression(uint32_t* pBlockSize, PFNALLOC alloc, PFNFREE free, uint32_t* pDstBufferMin,
                                 MsZipCompressor** pHandle) {
  if (pHandle == nullptr) return CODEC_BAD_PARAMETERS;
  *pHandle = nullptr;
  if (pBlockSize == nullptr || pDstBufferMin == nullptr || alloc == nullptr || free == nullptr) {
    return CODEC_BAD_PARAMETERS;
  }
  *pBlockSize = vel::cabinet::NormaliseBlockSize(*pBlockSize);
  *pDstBufferMin = *pBlockSize + kMsZipSlack;
  Maps();
  MsZipCompressor* ctx = vel::cabinet::NewWithCallbacks<MsZipCompressor>(alloc, free, *pBlockSize);
  if (ctx == nullptr) return CODEC_NO_MEMORY;
  *pHandle = ctx;
  return CODEC_OK;
}

CodecStatus MciCompress(MsZipCompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t cbDst,
                        uint32_t* pcbResult) {
  if (h == nullptr || h->tag != kTagMsZipCompressor) return CODEC_BAD_PARAMETERS;
  if (pcbResult == nullptr || dst == nullptr || (src == nullptr && cbSrc != 0) || cbSrc > h->blockSize ||
      cbDst < h->blockSize + kMsZipSlack) {
    return CODEC_BAD_PARAMETERS;
  }
  *pcbResult = 0;
  uint32_t result = 0;
  if (!h->Compress(static_cast<const uint8_t*>(src), cbSrc, static_cast<uint8_t*>(dst), cbDst, result)) {
    h->previousFull = false;
    return CODEC_FAILED;
  }
  *pcbResult = result;
  return CODEC_OK;
}

CodecStatus MciResetCompression(MsZipCompressor* h) {
  if (h == nullptr || h->tag != kTagMsZipCompressor) return CODEC_BAD_PARAMETERS;
  h->previousFull = false;
  return CODEC_OK;
}

CodecStatus MciDestroyCompression(MsZipCompressor* h) {
  if (h == nullptr || h->tag != kTagMsZipCompressor) return CODEC_BAD_PARAMETERS;
  vel::cabinet::DeleteWithCallbacks(h);
  return CODEC_OK;
}
