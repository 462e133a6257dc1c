// LZX decompressor: one CFDATA block (a frame of at most 32,768 output bytes)
// at a time; the window, the trees, the repeated offsets, the block in progress
// and the E8 state carry over from frame to frame within a folder. All of it
// lives in the context, so separate contexts decode independently.
//
// LZX sends 16-bit little-endian words, most significant bit first. Each
// frame's words are copied with their bits mirrored, after which the library's
// LSB-first bit reader and Huffman tables serve unchanged; plain values read
// from the copy are mirrored back.
//
// Everything a frame says is checked against what it holds: a code that no
// symbol owns (a tree may leave codes unused; only using one fails), a match
// reaching before the folder's first byte or past the end of its block or
// frame, an uncompressed block beyond its input, or bits taken past the input
// fail the frame, and the folder then fails until it is reset.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "cabinet/bit_reader.h"
#include "cabinet/codec.h"
#include "cabinet/codec_memory.h"
#include "cabinet/huffman_table.h"

using vel::cabinet::BitReader;
using vel::cabinet::BuildHuffmanTable;
using vel::cabinet::CodecBuffer;
using vel::cabinet::HuffmanBuild;
using vel::cabinet::HuffmanEntry;
using vel::cabinet::HuffmanTable;
using vel::cabinet::ReverseBits;

namespace {

constexpr unsigned kMinWindowBits = 15;
constexpr unsigned kMaxWindowBits = 21;
constexpr unsigned kSlotEntries = 51;  // enough for a 2 MiB window
constexpr unsigned kMainMax = 256 + 8 * 50;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kMaxCodeLength = 16;
constexpr unsigned kMainRoot = 10;
constexpr unsigned kLengthRoot = 10;
constexpr unsigned kPretreeRoot = 8;
constexpr unsigned kAlignedRoot = 7;
// Every sub-table holds at least one code and is at most (16 - root) bits wide.
constexpr size_t kMainTableSize = (size_t{1} << kMainRoot) + kMainMax * (size_t{1} << (kMaxCodeLength - kMainRoot));
constexpr size_t kLengthTableSize =
    (size_t{1} << kLengthRoot) + kLengthSymbols * (size_t{1} << (kMaxCodeLength - kLengthRoot));
constexpr size_t kPretreeTableSize = (size_t{1} << kPretreeRoot) + kPretreeSymbols * (size_t{1} << (15 - kPretreeRoot));
constexpr size_t kAlignedTableSize = size_t{1} << kAlignedRoot;  // 3-bit lengths never pass the root
constexpr uint32_t kE8Frames = 32768;                            // later frames are not translated
constexpr unsigned kMinMatch = 2;

enum BlockType : unsigned { kNoBlock = 0, kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTable {
  std::array<uint32_t, kSlotEntries> base{};
  std::array<uint8_t, kSlotEntries> extra{};
  constexpr SlotTable() {
    uint32_t b = 0;
    for (unsigned s = 0; s < kSlotEntries; ++s) {
      extra[s] = static_cast<uint8_t>(s < 4 ? 0 : std::min(17u, (s - 2) / 2));
      base[s] = b;
      b += uint32_t{1} << extra[s];
    }
  }
};
constexpr SlotTable kSlots;

// Position slots a window needs: slots are added until they cover it.
unsigned SlotsFor(uint32_t windowSize) {
  unsigned n = 4;
  while (n < kSlotEntries && kSlots.base[n] < windowSize) ++n;
  return n;
}

// A table no code leads into: what an all-zero tree decodes with.
constexpr uint32_t kNoCode[1] = {HuffmanEntry::Make(0, HuffmanEntry::kInvalid, 0)};

// The next symbol of a tree; false for a code no symbol owns. Needs Refill().
inline bool Decode(BitReader& br, const HuffmanTable& t, unsigned& symbol) {
  uint32_t e = t.entries[br.Peek(t.rootBits)];
  unsigned op = HuffmanEntry::Op(e);
  if (op & HuffmanEntry::kSubTable) {
    br.Drop(t.rootBits);
    e = t.entries[HuffmanEntry::Value(e) + br.Peek(op & 15)];
    op = HuffmanEntry::Op(e);
  }
  br.Drop(HuffmanEntry::Bits(e));
  symbol = HuffmanEntry::Value(e);
  return op == HuffmanEntry::kLiteral;
}

// n bits as LZX sends them (most significant first), n <= 32.
inline uint32_t ReadValue(BitReader& br, unsigned n) {
  if (n <= 24) return ReverseBits(br.Read(n), n);
  const uint32_t high = ReverseBits(br.Read(16), 16);
  return high << (n - 16) | ReverseBits(br.Read(n - 16), n - 16);
}

inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Turns the absolute call targets of one frame back into relative ones.
void UndoE8(uint8_t* data, uint32_t n, uint32_t position, uint32_t translationSize) {
  if (n <= 10) return;
  const uint32_t limit = n - 10;  // a call within the last 10 bytes is left alone
  uint32_t i = 0;
  while (i < limit) {
    const void* hit = std::memchr(data + i, 0xE8, limit - i);
    if (hit == nullptr) break;
    i = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - data);
    const uint32_t q = position + i;
    const uint32_t a = Get32(data + i + 1);
    uint32_t r;
    bool change = true;
    if (a < translationSize) {
      r = a - q;
    } else if (0u - a <= q) {
      r = a + translationSize;
    } else {
      change = false;
      r = a;
    }
    if (change) {
      data[i + 1] = static_cast<uint8_t>(r);
      data[i + 2] = static_cast<uint8_t>(r >> 8);
      data[i + 3] = static_cast<uint8_t>(r >> 16);
      data[i + 4] = static_cast<uint8_t>(r >> 24);
    }
    i += 5;
  }
}

}  // namespace

struct LzxDecompressor {
  uint32_t tag = kTagLzxDecompressor;
  PFNALLOC alloc;
  PFNFREE release;
  // The reader's file callbacks: handed over with the context, never needed.
  PFNOPEN open;
  PFNREAD read;
  PFNWRITE write;
  PFNCLOSE close;
  PFNSEEK seek;
  uint32_t blockSize;
  uint32_t secondWord;
  uint32_t windowSize;
  unsigned slots;

  CodecBuffer<uint8_t> window;
  CodecBuffer<uint8_t> mirrored;  // the frame's input words with their bits mirrored
  CodecBuffer<uint32_t> mainStorage;
  CodecBuffer<uint32_t> lengthStorage;
  std::array<uint32_t, kPretreeTableSize> pretreeStorage{};
  std::array<uint32_t, kAlignedTableSize> alignedStorage{};
  std::array<uint8_t, kMainMax> mainLengths{};
  std::array<uint8_t, kLengthSymbols> lengthLengths{};
  HuffmanTable mainTable, lengthTable, alignedTable;

  uint32_t r0 = 1, r1 = 1, r2 = 1;
  unsigned blockType = kNoBlock;
  uint32_t blockLength = 0;     // as its header says
  uint32_t blockRemaining = 0;  // bytes still to decode
  bool padPending = false;      // an odd uncompressed block's padding byte not yet skipped
  bool e8HeaderPending = true;
  uint32_t e8Size = 0;
  uint32_t windowPos = 0;
  uint64_t total = 0;  // bytes produced in this folder before the current frame
  uint32_t frames = 0;
  bool failed = false;  // a frame failed: the folder's state is no longer trustworthy

  LzxDecompressor(PFNALLOC a, PFNFREE f, PFNOPEN o, PFNREAD r, PFNWRITE w, PFNCLOSE c, PFNSEEK s, uint32_t block,
                  uint32_t second, uint32_t windowBytes)
      : alloc(a),
        release(f),
        open(o),
        read(r),
        write(w),
        close(c),
        seek(s),
        blockSize(block),
        secondWord(second),
        windowSize(windowBytes),
        slots(SlotsFor(windowBytes)),
        window(a, f, windowBytes),
        mirrored(a, f, size_t{block} + kLzxSlack + 8),
        mainStorage(a, f, kMainTableSize),
        lengthStorage(a, f, kLengthTableSize) {
    Reset();
  }
  ~LzxDecompressor() { tag = 0; }

  void Reset() {
    mainLengths.fill(0);
    lengthLengths.fill(0);
    mainTable = lengthTable = alignedTable = HuffmanTable{kNoCode, 0};
    r0 = r1 = r2 = 1;
    blockType = kNoBlock;
    blockLength = blockRemaining = 0;
    padPending = false;
    e8HeaderPending = true;
    e8Size = 0;
    windowPos = 0;
    total = 0;
    frames = 0;
    failed = false;
  }

  bool Frame(std::span<const uint8_t> in, uint32_t expected, uint8_t* dst);

 private:
  BitReader StartBits(std::span<const uint8_t> in, size_t at);
  bool ReadHeader(BitReader& br, std::span<const uint8_t> in, size_t& inPos);
  bool ReadLengths(BitReader& br, uint8_t* lengths, unsigned count);
  bool BuildTree(std::span<const uint8_t> lengths, unsigned root, std::span<uint32_t> storage, HuffmanTable& t);
  bool DecodeRun(BitReader& br, uint32_t end, uint32_t frameStart);
};

// A bit reader over the input from byte `at`, its 16-bit words mirrored.
BitReader LzxDecompressor::StartBits(std::span<const uint8_t> in, size_t at) {
  const size_t words = (in.size() - at) / 2;  // a last odd byte holds no whole word
  const uint8_t* s = in.data() + at;
  uint8_t* m = mirrored.data();
  size_t i = 0;
  for (; i + 4 <= words; i += 4) {
    uint64_t v;
    std::memcpy(&v, s + 2 * i, 8);
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
    v = ((v >> 8) & 0x00FF00FF00FF00FFull) | ((v & 0x00FF00FF00FF00FFull) << 8);
    std::memcpy(m + 2 * i, &v, 8);
  }
  for (; i < words; ++i) {
    m[2 * i] = vel::cabinet::kReversedByte[s[2 * i + 1]];
    m[2 * i + 1] = vel::cabinet::kReversedByte[s[2 * i]];
  }
  return BitReader({m, words * 2});
}

bool LzxDecompressor::BuildTree(std::span<const uint8_t> lengths, unsigned root, std::span<uint32_t> storage,
                                HuffmanTable& t) {
  // Encoders send trees with unused codes (one used symbol, or none at all):
  // such a table is kept, and only a code leading into the hole fails.
  const HuffmanBuild r = BuildHuffmanTable(lengths, {}, root, storage, t, kMaxCodeLength);
  if (r != HuffmanBuild::kOk && r != HuffmanBuild::kIncomplete) return false;
  if (t.entries.empty()) t = HuffmanTable{kNoCode, 0};
  return true;
}

// Code lengths sent as changes to the previous ones through a pretree.
bool LzxDecompressor::ReadLengths(BitReader& br, uint8_t* lengths, unsigned count) {
  std::array<uint8_t, kPretreeSymbols> pre{};
  for (uint8_t& l : pre) l = static_cast<uint8_t>(ReadValue(br, 4));
  HuffmanTable pretree;
  if (!BuildTree(pre, kPretreeRoot, pretreeStorage, pretree)) return false;
  unsigned i = 0;
  while (i < count) {
    br.Refill();
    unsigned z = 0;
    if (!Decode(br, pretree, z)) return false;
    if (z <= 16) {
      lengths[i] = static_cast<uint8_t>((lengths[i] + 17 - z) % 17);
      ++i;
      continue;
    }
    unsigned run = 0;
    uint8_t value = 0;
    if (z == 17) {
      run = 4 + ReadValue(br, 4);
    } else if (z == 18) {
      run = 20 + ReadValue(br, 5);
    } else {
      run = 4 + ReadValue(br, 1);
      unsigned d = 0;
      if (!Decode(br, pretree, d) || d > 16) return false;
      value = static_cast<uint8_t>((lengths[i] + 17 - d) % 17);
    }
    run = std::min(run, count - i);  // a run past the end is cut there
    std::fill_n(lengths + i, run, value);
    i += run;
  }
  return !br.Overrun();
}

bool LzxDecompressor::ReadHeader(BitReader& br, std::span<const uint8_t> in, size_t& inPos) {
  if (e8HeaderPending) {
    e8Size = br.Read(1) != 0 ? ReadValue(br, 32) : 0;
    e8HeaderPending = false;
  }
  blockType = ReadValue(br, 3);
  blockLength = blockRemaining = ReadValue(br, 24);
  if (br.Overrun()) return false;
  switch (blockType) {
    case kAligned: {
      std::array<uint8_t, kAlignedSymbols> aligned{};
      for (uint8_t& l : aligned) l = static_cast<uint8_t>(ReadValue(br, 3));
      if (!BuildTree(aligned, kAlignedRoot, alignedStorage, alignedTable)) return false;
      [[fallthrough]];
    }
    case kVerbatim: {
      const unsigned mainCount = 256 + 8 * slots;
      if (!ReadLengths(br, mainLengths.data(), 256) || !ReadLengths(br, mainLengths.data() + 256, mainCount - 256) ||
          !BuildTree(std::span(mainLengths).first(mainCount), kMainRoot, mainStorage.span(), mainTable)) {
        return false;
      }
      return ReadLengths(br, lengthLengths.data(), kLengthSymbols) &&
             BuildTree(lengthLengths, kLengthRoot, lengthStorage.span(), lengthTable);
    }
    case kUncompressed: {
      // 1 to 16 bits of padding up to the next 16-bit word, then R0, R1, R2.
      const bool onWord = (br.Available() & 7) == 0;
      br.AlignToByte();
      const std::span<const uint8_t> rest = br.TakeRemainingBytes();
      size_t at = inPos + static_cast<size_t>(rest.data() - mirrored.data());
      if (((at - inPos) & 1) != 0) {
        at += 1;
      } else if (onWord) {
        at += 2;
      }
      if (at > in.size() || in.size() - at < 12) return false;
      r0 = Get32(in.data() + at);
      r1 = Get32(in.data() + at + 4);
      r2 = Get32(in.data() + at + 8);
      inPos = at + 12;
      return true;
    }
    default:
      return false;
  }
}

// Decodes a verbatim or aligned block into the window up to `end`.
bool LzxDecompressor::DecodeRun(BitReader& br, uint32_t end, uint32_t frameStart) {
  uint8_t* const w = window.data();
  const uint32_t mask = windowSize - 1;
  const bool aligned = blockType == kAligned;
  const uint32_t* const mainTab = mainTable.entries.data();
  const unsigned mainRoot = mainTable.rootBits;
  uint32_t pos = windowPos;
  while (pos < end) {
    br.Refill();  // 56 bits: a main code, a length code and up to 17 offset bits
    uint32_t e = mainTab[br.Peek(mainRoot)];
    unsigned op = HuffmanEntry::Op(e);
    if (op & HuffmanEntry::kSubTable) {
      br.Drop(mainRoot);
      e = mainTab[HuffmanEntry::Value(e) + br.Peek(op & 15)];
      op = HuffmanEntry::Op(e);
    }
    br.Drop(HuffmanEntry::Bits(e));
    if (op != HuffmanEntry::kLiteral) return false;
    unsigned sym = HuffmanEntry::Value(e);
    if (sym < 256) {
      w[pos++] = static_cast<uint8_t>(sym);
      continue;
    }
    sym -= 256;
    uint32_t length = sym & 7;
    if (length == 7) {
      unsigned footer = 0;
      if (!Decode(br, lengthTable, footer)) return false;
      length += footer;
    }
    length += kMinMatch;
    const unsigned slot = sym >> 3;
    uint32_t offset;
    if (slot == 0) {
      offset = r0;
    } else if (slot == 1) {
      offset = r1;
      r1 = r0;
      r0 = offset;
    } else if (slot == 2) {
      offset = r2;
      r2 = r0;
      r0 = offset;
    } else {
      const unsigned extra = kSlots.extra[slot];
      uint32_t v = 0;
      if (aligned && extra >= 3) {
        const unsigned verbatim = extra - 3;
        v = ReverseBits(br.Peek(verbatim), verbatim) << 3;
        br.Drop(verbatim);
        unsigned low = 0;
        if (!Decode(br, alignedTable, low)) return false;
        v += low;
      } else {
        v = ReverseBits(br.Peek(extra), extra);
        br.Drop(extra);
      }
      offset = kSlots.base[slot] + v - 2;
      r2 = r1;
      r1 = r0;
      r0 = offset;
    }
    // The match must stay inside this block and frame, and reach only bytes the folder produced.
    if (length > end - pos) return false;
    const uint64_t produced = total + (pos - frameStart);
    if (offset == 0 || offset > produced || offset >= windowSize) return false;
    uint8_t* d = w + pos;
    const uint32_t from = (pos - offset) & mask;
    if (from + length <= windowSize && (offset >= length || from > pos)) {
      std::memmove(d, w + from, length);  // apart, or the source ahead: same as a forward copy
    } else if (from < pos) {
      const uint8_t* s = w + from;
      for (uint32_t k = 0; k < length; ++k) d[k] = s[k];  // overlapping: repeats the last bytes
    } else {
      for (uint32_t k = 0; k < length; ++k) d[k] = w[(from + k) & mask];  // from the end of the window
    }
    pos += length;
  }
  windowPos = pos;
  return !br.Overrun();
}

bool LzxDecompressor::Frame(std::span<const uint8_t> in, uint32_t expected, uint8_t* dst) {
  // Frames follow each other through the window without wrapping inside one.
  if (expected > windowSize - windowPos) return false;
  const uint32_t frameStart = windowPos;
  const uint32_t frameEnd = windowPos + expected;
  size_t inPos = 0;  // where the bits (or an uncompressed block's bytes) continue
  BitReader br;
  bool bits = false;  // br reads from inPos on
  while (windowPos < frameEnd) {
    if (blockRemaining == 0) {
      if (padPending) {
        if (inPos >= in.size()) return false;
        ++inPos;
        padPending = false;
      }
      if (!bits) {
        br = StartBits(in, inPos);
        bits = true;
      }
      if (!ReadHeader(br, in, inPos)) return false;
      if (blockType == kUncompressed) bits = false;
      continue;  // a block may be empty
    }
    const uint32_t n = std::min(blockRemaining, frameEnd - windowPos);
    if (blockType == kUncompressed) {
      if (bits || n > in.size() - inPos) return false;
      std::memcpy(window.data() + windowPos, in.data() + inPos, n);
      windowPos += n;
      inPos += n;
      blockRemaining -= n;
      if (blockRemaining == 0 && (blockLength & 1) != 0) {
        padPending = true;
        if (inPos < in.size()) {
          ++inPos;
          padPending = false;
        }
      }
      continue;
    }
    if (!bits) {
      br = StartBits(in, inPos);
      bits = true;
    }
    const uint32_t before = windowPos;
    if (!DecodeRun(br, windowPos + n, frameStart)) return false;
    blockRemaining -= windowPos - before;
  }
  std::memcpy(dst, window.data() + frameStart, expected);
  if (e8Size != 0 && frames < kE8Frames) UndoE8(dst, expected, static_cast<uint32_t>(total), e8Size);
  windowPos = frameEnd == windowSize ? 0 : frameEnd;
  total += expected;
  ++frames;
  return true;
}

// ---- Entry points -------------------------------------------------------------

CodecStatus LdiCreateDecompression(uint32_t* pBlockSize, const LdiConfiguration* config, PFNALLOC alloc,
                                   PFNFREE free, uint32_t* pSrcBufferMin, LzxDecompressor** pHandle, PFNOPEN open,
                                   PFNREAD read, PFNWRITE write, PFNCLOSE close, PFNSEEK seek) {
  if (pHandle != nullptr) *pHandle = nullptr;
  if (config == nullptr || pBlockSize == nullptr || pSrcBufferMin == nullptr) return CODEC_BAD_PARAMETERS;
  if (*pBlockSize > UINT32_MAX - kLzxSlack) return CODEC_BAD_PARAMETERS;
  *pSrcBufferMin = *pBlockSize + kLzxSlack;
  if (pHandle == nullptr) return CODEC_OK;
  if (alloc == nullptr || free == nullptr) return CODEC_BAD_PARAMETERS;
  const uint32_t w = config->windowSize;
  if (!std::has_single_bit(w) || w < (1u << kMinWindowBits) || w > (1u << kMaxWindowBits)) {
    return CODEC_NO_MEMORY;  // a refused initialisation reads as a failed creation
  }
  LzxDecompressor* ctx = vel::cabinet::NewWithCallbacks<LzxDecompressor>(
      alloc, free, open, read, write, close, seek, *pBlockSize, config->secondWord, w);
  if (ctx == nullptr) return CODEC_NO_MEMORY;
  *pHandle = ctx;
  return CODEC_OK;
}

CodecStatus LdiDecompress(LzxDecompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t* pcbResult) {
  if (h == nullptr || h->tag != kTagLzxDecompressor) return CODEC_BAD_PARAMETERS;
  if (pcbResult == nullptr || (src == nullptr && cbSrc != 0) || dst == nullptr) return CODEC_BAD_PARAMETERS;
  const uint32_t expected = *pcbResult;
  *pcbResult = 0;
  if (expected > h->blockSize || cbSrc > h->blockSize + kLzxSlack) return CODEC_BUFFER_OVERFLOW;
  if (h->failed) return CODEC_FAILED;
  std::span<const uint8_t> in(static_cast<const uint8_t*>(src), cbSrc);
  if (!h->Frame(in, expected, static_cast<uint8_t*>(dst))) {
    h->failed = true;
    return CODEC_FAILED;
  }
  *pcbResult = expected;
  return CODEC_OK;
}

CodecStatus LdiResetDecompression(LzxDecompressor* h) {
  if (h == nullptr || h->tag != kTagLzxDecompressor) return CODEC_BAD_PARAMETERS;
  h->Reset();
  return CODEC_OK;
}

CodecStatus LdiDestroyDecompression(LzxDecompressor* h) {
  if (h == nullptr || h->tag != kTagLzxDecompressor) return CODEC_BAD_PARAMETERS;
  vel::cabinet::DeleteWithCallbacks(h);
  return CODEC_OK;
}
