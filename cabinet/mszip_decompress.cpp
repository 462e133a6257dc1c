// MSZIP decompressor: one CFDATA block ("CK" + a raw deflate stream, RFC 1951)
// into at most one block of output, with the previous full block as history.
//
// The context keeps its own window: the history in the 32 KiB before the
// output, the block's output after it, and slack behind that so match copies
// may move whole words. The caller's buffer receives a copy of the output, so
// the history does not depend on the caller handing in the same buffer again.
//
// Everything a block says is checked against what the block holds: a stored
// length beyond the input, a code that no symbol owns, a distance reaching
// before the history, or output beyond the block size fails the block.
#include <algorithm>
#include <array>
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
using vel::cabinet::HuffmanSymbol;
using vel::cabinet::HuffmanTable;

namespace {

constexpr size_t kHistory = 32768;  // the deflate window
constexpr size_t kSlack = 320;      // word copies may run this far past a match
constexpr unsigned kLitRootBits = 9;
constexpr unsigned kDistRootBits = 6;
constexpr unsigned kCodeLenRootBits = 7;
constexpr size_t kLitTableSize = 2048;  // more than any literal/length code can need at root 9
constexpr size_t kDistTableSize = 1024; // more than any distance code can need at root 6

constexpr std::array<uint16_t, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> kDistBase = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What each literal/length and distance symbol decodes to (288 and 32 entries:
// the fixed code has two unused symbols in each alphabet).
struct SymbolTables {
  std::array<HuffmanSymbol, 288> lit{};
  std::array<HuffmanSymbol, 32> dist{};
  SymbolTables() {
    for (unsigned s = 0; s < 256; ++s) lit[s] = {HuffmanEntry::kLiteral, static_cast<uint16_t>(s)};
    lit[256] = {HuffmanEntry::kEndOfBlock, 0};
    for (unsigned s = 257; s < 286; ++s) lit[s] = {kLengthExtra[s - 257], kLengthBase[s - 257]};
    lit[286] = lit[287] = {HuffmanEntry::kInvalid, 0};
    for (unsigned s = 0; s < 30; ++s) dist[s] = {kDistExtra[s], kDistBase[s]};
    dist[30] = dist[31] = {HuffmanEntry::kInvalid, 0};
  }
};

const SymbolTables& Symbols() {
  static const SymbolTables tables;
  return tables;
}

// The fixed code's tables are the same for every block; built once, on first use
// (a function-local static, so concurrent first use is safe).
struct FixedTables {
  std::array<uint32_t, 512> litStorage{};
  std::array<uint32_t, 32> distStorage{};
  HuffmanTable lit, dist;
  FixedTables() {
    std::array<uint8_t, 288> litLen{};
    std::fill(litLen.begin(), litLen.begin() + 144, 8);
    std::fill(litLen.begin() + 144, litLen.begin() + 256, 9);
    std::fill(litLen.begin() + 256, litLen.begin() + 280, 7);
    std::fill(litLen.begin() + 280, litLen.end(), 8);
    std::array<uint8_t, 32> distLen{};
    distLen.fill(5);
    BuildHuffmanTable(litLen, Symbols().lit, kLitRootBits, litStorage, lit);
    BuildHuffmanTable(distLen, Symbols().dist, kDistRootBits, distStorage, dist);
  }
};

const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

enum class Inflate { kOk, kFailed };

}  // namespace

struct MsZipDecompressor {
  uint32_t tag = kTagMsZipDecompressor;
  PFNALLOC alloc;
  PFNFREE release;
  uint32_t blockSize;
  size_t historyValid = 0;  // bytes before the output that a distance may reach
  // window: [0, kHistory) history, [kHistory, kHistory + blockSize) output, then slack.
  CodecBuffer<uint8_t> window;
  CodecBuffer<uint32_t> litStorage;
  CodecBuffer<uint32_t> distStorage;

  MsZipDecompressor(PFNALLOC a, PFNFREE f, uint32_t size)
      : alloc(a),
        release(f),
        blockSize(size),
        window(a, f, kHistory + size + kSlack),
        litStorage(a, f, kLitTableSize),
        distStorage(a, f, kDistTableSize) {}
  ~MsZipDecompressor() { tag = 0; }

  Inflate Run(std::span<const uint8_t> in, size_t& produced);

 private:
  Inflate Stored(BitReader& br, uint8_t*& out, uint8_t* outEnd);
  Inflate Dynamic(BitReader& br, HuffmanTable& lit, HuffmanTable& dist);
  Inflate Codes(BitReader& br, const HuffmanTable& lit, const HuffmanTable& dist, uint8_t*& out,
                uint8_t* outEnd);
};

Inflate MsZipDecompressor::Stored(BitReader& br, uint8_t*& out, uint8_t* outEnd) {
  br.AlignToByte();
  const uint32_t len = br.Read(16);
  const uint32_t nlen = br.Read(16);
  if (br.Overrun() || len != (~nlen & 0xFFFF)) return Inflate::kFailed;
  std::span<const uint8_t> rest = br.TakeRemainingBytes();
  if (len > rest.size() || len > static_cast<size_t>(outEnd - out)) return Inflate::kFailed;
  std::memcpy(out, rest.data(), len);
  out += len;
  br.SkipBytes(len);
  return Inflate::kOk;
}

Inflate MsZipDecompressor::Dynamic(BitReader& br, HuffmanTable& lit, HuffmanTable& dist) {
  br.Refill();
  const unsigned hlit = br.Read(5) + 257;
  const unsigned hdist = br.Read(5) + 1;
  const unsigned hclen = br.Read(4) + 4;
  if (hlit > 286 || hdist > 30) return Inflate::kFailed;

  std::array<uint8_t, 19> clLengths{};
  br.Refill();
  for (unsigned i = 0; i < hclen; ++i) clLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(br.Read(3));
  std::array<uint32_t, 1u << kCodeLenRootBits> clStorage{};
  HuffmanTable cl;
  if (BuildHuffmanTable(clLengths, {}, kCodeLenRootBits, clStorage, cl) != HuffmanBuild::kOk ||
      cl.entries.empty()) {
    return Inflate::kFailed;
  }

  std::array<uint8_t, 286 + 30> lengths{};
  const unsigned total = hlit + hdist;
  unsigned n = 0;
  unsigned previous = 0;
  while (n < total) {
    br.Refill();
    const uint32_t e = cl.entries[br.Peek(cl.rootBits)];
    if (HuffmanEntry::Op(e) != HuffmanEntry::kLiteral) return Inflate::kFailed;
    br.Drop(HuffmanEntry::Bits(e));
    const unsigned sym = HuffmanEntry::Value(e);
    unsigned repeat = 0;
    unsigned value = 0;
    if (sym < 16) {
      lengths[n++] = static_cast<uint8_t>(sym);
      previous = sym;
      continue;
    } else if (sym == 16) {
      repeat = 3 + br.Read(2);
      value = previous;
    } else if (sym == 17) {
      repeat = 3 + br.Read(3);
      previous = 0;
    } else {
      repeat = 11 + br.Read(7);
      previous = 0;
    }
    if (repeat > total - n) return Inflate::kFailed;
    std::fill_n(lengths.begin() + n, repeat, static_cast<uint8_t>(value));
    n += repeat;
  }
  if (br.Overrun() || lengths[256] == 0) return Inflate::kFailed;  // no end-of-block code

  std::span<const uint8_t> all(lengths.data(), total);
  if (BuildHuffmanTable(all.first(hlit), std::span(Symbols().lit).first(hlit), kLitRootBits, litStorage.span(), lit) !=
      HuffmanBuild::kOk) {
    return Inflate::kFailed;
  }
  if (BuildHuffmanTable(all.subspan(hlit), std::span(Symbols().dist).first(hdist), kDistRootBits, distStorage.span(),
                        dist) != HuffmanBuild::kOk) {
    return Inflate::kFailed;
  }
  return Inflate::kOk;
}

Inflate MsZipDecompressor::Codes(BitReader& br, const HuffmanTable& lit, const HuffmanTable& dist,
                                 uint8_t*& outRef, uint8_t* outEnd) {
  uint8_t* out = outRef;
  // A distance may reach back through this block's output into the history.
  const uint8_t* const floor = window.data() + kHistory - historyValid;
  const uint32_t* const litTab = lit.entries.data();
  const uint32_t* const distTab = dist.entries.data();
  const unsigned litRoot = lit.rootBits;
  const unsigned distRoot = dist.rootBits;
  const bool haveDist = !dist.entries.empty();

  for (;;) {
    br.Refill();  // 56 bits: a literal/length code, its extra bits, a distance code and its extra bits
    uint32_t e = litTab[br.Peek(litRoot)];
    unsigned op = HuffmanEntry::Op(e);
    if (op & HuffmanEntry::kSubTable) {
      br.Drop(litRoot);
      e = litTab[HuffmanEntry::Value(e) + br.Peek(op & 15)];
      op = HuffmanEntry::Op(e);
    }
    br.Drop(HuffmanEntry::Bits(e));
    if (op == HuffmanEntry::kLiteral) {
      if (out == outEnd) return Inflate::kFailed;  // more than a block of output
      *out++ = static_cast<uint8_t>(HuffmanEntry::Value(e));
      continue;
    }
    if (op == HuffmanEntry::kEndOfBlock) break;
    if (op >= HuffmanEntry::kLiteral) return Inflate::kFailed;  // a code no symbol owns
    const unsigned length = HuffmanEntry::Value(e) + br.Peek(op);
    br.Drop(op);

    if (!haveDist) return Inflate::kFailed;
    uint32_t d = distTab[br.Peek(distRoot)];
    unsigned dop = HuffmanEntry::Op(d);
    if (dop & HuffmanEntry::kSubTable) {
      br.Drop(distRoot);
      d = distTab[HuffmanEntry::Value(d) + br.Peek(dop & 15)];
      dop = HuffmanEntry::Op(d);
    }
    br.Drop(HuffmanEntry::Bits(d));
    if (dop >= HuffmanEntry::kLiteral) return Inflate::kFailed;
    const size_t distance = HuffmanEntry::Value(d) + br.Peek(dop);
    br.Drop(dop);

    if (length > static_cast<size_t>(outEnd - out)) return Inflate::kFailed;
    if (distance > static_cast<size_t>(out - floor)) return Inflate::kFailed;  // before the history
    const uint8_t* src = out - distance;
    uint8_t* const stop = out + length;
    if (distance >= 8) {
      // Whole words; may run up to 7 bytes past the match into output not yet
      // written or the slack, never into history still needed.
      do {
        std::memcpy(out, src, 8);
        out += 8;
        src += 8;
      } while (out < stop);
      out = stop;
    } else if (distance == 1) {
      std::memset(out, *src, length);
      out = stop;
    } else {
      do {
        *out++ = *src++;
      } while (out < stop);
    }
  }
  outRef = out;
  return Inflate::kOk;
}

Inflate MsZipDecompressor::Run(std::span<const uint8_t> in, size_t& produced) {
  uint8_t* const outStart = window.data() + kHistory;
  uint8_t* const outEnd = outStart + blockSize;
  uint8_t* out = outStart;
  BitReader br(in);
  bool last = false;
  while (!last) {
    br.Refill();
    last = br.Read(1) != 0;
    const unsigned type = br.Read(2);
    Inflate r = Inflate::kFailed;
    if (type == 0) {
      r = Stored(br, out, outEnd);
    } else if (type == 1) {
      r = Codes(br, Fixed().lit, Fixed().dist, out, outEnd);
    } else if (type == 2) {
      HuffmanTable lit, dist;
      r = Dynamic(br, lit, dist);
      if (r == Inflate::kOk) r = Codes(br, lit, dist, out, outEnd);
    }
    // A block that needed bits beyond the input is truncated, whatever it decoded to.
    if (r != Inflate::kOk || br.Overrun()) return Inflate::kFailed;
  }
  produced = static_cast<size_t>(out - outStart);
  return Inflate::kOk;
}

// ---- Entry points -------------------------------------------------------------

CodecStatus MdiCreateDecompression(uint32_t* pBlockSize, PFNALLOC alloc, PFNFREE free, uint32_t* pSrcBufferMin,
                                   MsZipDecompressor** pHandle) {
  if (pHandle != nullptr) *pHandle = nullptr;
  if (pBlockSize == nullptr || pSrcBufferMin == nullptr) return CODEC_BAD_PARAMETERS;
  *pBlockSize = vel::cabinet::NormaliseBlockSize(*pBlockSize);
  *pSrcBufferMin = *pBlockSize + kMsZipSlack;
  if (pHandle == nullptr) return CODEC_OK;
  if (alloc == nullptr || free == nullptr) return CODEC_BAD_PARAMETERS;
  Fixed();  // build the shared tables now rather than inside the first block
  MsZipDecompressor* ctx = vel::cabinet::NewWithCallbacks<MsZipDecompressor>(alloc, free, *pBlockSize);
  if (ctx == nullptr) return CODEC_NO_MEMORY;
  *pHandle = ctx;
  return CODEC_OK;
}

CodecStatus MdiDecompress(MsZipDecompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t* pcbResult) {
  if (h == nullptr || h->tag != kTagMsZipDecompressor) return CODEC_BAD_PARAMETERS;
  if (pcbResult == nullptr || (src == nullptr && cbSrc != 0) || dst == nullptr) return CODEC_BAD_PARAMETERS;
  *pcbResult = 0;
  if (cbSrc > h->blockSize + kMsZipSlack) return CODEC_BUFFER_OVERFLOW;
  const auto* in = static_cast<const uint8_t*>(src);
  if (cbSrc < 2 || in[0] != 'C' || in[1] != 'K') {
    h->historyValid = 0;
    return CODEC_FAILED;
  }
  size_t produced = 0;
  if (h->Run(std::span(in + 2, cbSrc - 2), produced) != Inflate::kOk) {
    h->historyValid = 0;  // a failed block is no history for the next one
    return CODEC_FAILED;
  }
  uint8_t* const outStart = h->window.data() + kHistory;
  std::memcpy(dst, outStart, produced);
  // Only a full block carries history forward: the writer keeps history only
  // after a full block, and a short block ends its folder.
  if (produced == h->blockSize) {
    std::memmove(outStart - produced, outStart, produced);
    h->historyValid = produced;
  } else {
    h->historyValid = 0;
  }
  *pcbResult = static_cast<uint32_t>(produced);
  return CODEC_OK;
}

CodecStatus MdiResetDecompression(MsZipDecompressor* h) {
  if (h == nullptr || h->tag != kTagMsZipDecompressor) return CODEC_BAD_PARAMETERS;
  h->historyValid = 0;
  return CODEC_OK;
}

CodecStatus MdiDestroyDecompression(MsZipDecompressor* h) {
  if (h == nullptr || h->tag != kTagMsZipDecompressor) return CODEC_BAD_PARAMETERS;
  vel::cabinet::DeleteWithCallbacks(h);
  return CODEC_OK;
}
