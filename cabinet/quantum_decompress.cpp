// Quantum decompressor: one CFDATA block at a time. An adaptive arithmetic
// decoder over eight kinds of symbol model drives an LZ77 window; the window,
// the models and the output count carry over the blocks of a folder, while
// every block starts the arithmetic decoder afresh.
//
// All state lives in the context, so separate contexts (two extractions at
// once) decode independently.
//
// Quantum sends its bits most significant first from each byte: the block is
// copied with its bytes' bits mirrored and read with the library's bit reader.
// Every symbol is bounded by its model, and every match by what the folder has
// produced so far and by the end of its frame; input that runs out before the
// block is complete fails it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "cabinet/bit_reader.h"
#include "cabinet/codec.h"
#include "cabinet/codec_memory.h"

using vel::cabinet::BitReader;
using vel::cabinet::CodecBuffer;
using vel::cabinet::ReverseBits;

namespace {

constexpr int32_t kMinWindowBits = 10;
constexpr int32_t kMaxWindowBits = 21;
constexpr unsigned kPositionSlots = 42;
constexpr unsigned kLengthSlots = 27;
constexpr unsigned kMaxModelSymbols = 64;
constexpr uint32_t kRescaleAbove = 3800;
constexpr unsigned kStep = 8;
constexpr uint32_t kFrameSize = 32768;  // the arithmetic coder starts afresh every frame
constexpr int kFirstRescales = 4;   // halvings before the first re-sort
constexpr int kLaterRescales = 50;  // halvings between later re-sorts

struct SlotTables {
  std::array<uint32_t, kPositionSlots> positionBase{};
  std::array<uint8_t, kPositionSlots> positionExtra{};
  std::array<uint16_t, kLengthSlots> lengthBase{};
  std::array<uint8_t, kLengthSlots> lengthExtra{};
  constexpr SlotTables() {
    uint32_t b = 0;
    for (unsigned s = 0; s < kPositionSlots; ++s) {
      positionExtra[s] = static_cast<uint8_t>(s < 4 ? 0 : (s - 2) / 2);
      positionBase[s] = b;
      b += uint32_t{1} << positionExtra[s];
    }
    b = 0;
    for (unsigned s = 0; s < kLengthSlots; ++s) {
      lengthExtra[s] = static_cast<uint8_t>(s < 6 || s == 26 ? 0 : (s - 2) / 4);
      lengthBase[s] = static_cast<uint16_t>(b);
      b += uint32_t{1} << lengthExtra[s];
    }
  }
};
constexpr SlotTables kSlots;

// An adaptive model: symbols ordered by falling cumulative frequency; the pair
// after the last symbol has frequency 0.
struct Model {
  unsigned count = 0;
  int rescalesLeft = kFirstRescales;
  std::array<uint16_t, kMaxModelSymbols + 1> cumulative{};
  std::array<uint8_t, kMaxModelSymbols + 1> symbol{};

  void Init(unsigned n) {
    count = n;
    rescalesLeft = kFirstRescales;
    for (unsigned i = 0; i <= n; ++i) {
      cumulative[i] = static_cast<uint16_t>(n - i);
      symbol[i] = static_cast<uint8_t>(i);
    }
  }

  void Rescale() {
    if (--rescalesLeft != 0) {
      for (unsigned i = count; i-- > 0;) {
        cumulative[i] = static_cast<uint16_t>(cumulative[i] >> 1);
        if (cumulative[i] <= cumulative[i + 1]) cumulative[i] = static_cast<uint16_t>(cumulative[i + 1] + 1);
      }
      return;
    }
    rescalesLeft = kLaterRescales;
    // Single frequencies, halved and rounded up, sorted highest first, summed again.
    for (unsigned i = 0; i < count; ++i) {
      cumulative[i] = static_cast<uint16_t>((cumulative[i] - cumulative[i + 1] + 1) >> 1);
    }
    for (unsigned i = 0; i + 1 < count; ++i) {
      for (unsigned j = i + 1; j < count; ++j) {
        if (cumulative[i] < cumulative[j]) {
          std::swap(cumulative[i], cumulative[j]);
          std::swap(symbol[i], symbol[j]);
        }
      }
    }
    for (unsigned i = count; i-- > 0;) cumulative[i] = static_cast<uint16_t>(cumulative[i] + cumulative[i + 1]);
  }
};

}  // namespace

struct QuantumDecompressor {
  uint32_t tag = kTagQuantumDecompressor;
  PFNALLOC alloc;
  PFNFREE release;
  uint32_t blockSize;
  int32_t cpuType;  // the second configuration word; decoding does not depend on it
  uint32_t windowSize;
  CodecBuffer<uint8_t> window;
  CodecBuffer<uint8_t> mirrored;  // the block's bytes with their bits mirrored

  uint64_t total = 0;  // bytes produced since the start of the folder
  Model selector;
  std::array<Model, 4> literal;
  Model position3, position4, positionLong, length;
  bool failed = false;  // a block failed: the folder's state is no longer trustworthy
  bool ended = false;   // a match ran past the data: no block may follow in this folder

  QuantumDecompressor(PFNALLOC a, PFNFREE f, uint32_t block, int32_t cpu, unsigned windowBits)
      : alloc(a),
        release(f),
        blockSize(block),
        cpuType(cpu),
        windowSize(1u << windowBits),
        window(a, f, size_t{1} << windowBits),
        mirrored(a, f, size_t{block} + kQuantumSlack) {
    Reset();
  }
  ~QuantumDecompressor() { tag = 0; }

  void Reset() {
    total = 0;
    failed = false;
    ended = false;
    const unsigned slots = 2 * static_cast<unsigned>(std::countr_zero(windowSize));  // bases below the window
    selector.Init(7);
    for (Model& m : literal) m.Init(64);
    position3.Init(std::min(24u, slots));
    position4.Init(std::min(36u, slots));
    positionLong.Init(slots);
    length.Init(kLengthSlots);
  }

  bool Block(std::span<const uint8_t> in, uint32_t expected, uint8_t* dst);
};

namespace {

// The arithmetic decoder of one block: 16-bit low, high and code registers.
class Arithmetic {
 public:
  explicit Arithmetic(BitReader& br) : br_(br) { code_ = ReverseBits(br_.Read(16), 16); }

  unsigned Decode(Model& m) {
    const uint32_t range = high_ - low_ + 1;
    const uint32_t total = m.cumulative[0];
    const uint32_t target = ((((code_ - low_) & 0xFFFF) + 1) * total - 1) / range & 0xFFFF;
    unsigned i = 0;
    while (i + 1 < m.count && m.cumulative[i + 1] > target) ++i;
    high_ = low_ + (m.cumulative[i] * range) / total - 1;
    low_ = low_ + (m.cumulative[i + 1] * range) / total;
    for (;;) {
      if (((low_ ^ high_) & 0x8000) != 0) {
        if ((low_ & 0x4000) == 0 || (high_ & 0x4000) != 0) break;
        low_ &= 0x3FFF;  // underflow: the second bits are dropped
        high_ |= 0x4000;
        code_ ^= 0x4000;
      }
      low_ = (low_ << 1) & 0xFFFF;
      high_ = ((high_ << 1) | 1) & 0xFFFF;
      code_ = ((code_ << 1) | br_.Read(1)) & 0xFFFF;
    }
    const unsigned s = m.symbol[i];
    for (unsigned k = 0; k <= i; ++k) m.cumulative[k] = static_cast<uint16_t>(m.cumulative[k] + kStep);
    if (m.cumulative[0] > kRescaleAbove) m.Rescale();
    return s;
  }

  // n raw bits, most significant first.
  uint32_t Bits(unsigned n) { return ReverseBits(br_.Read(n), n); }

 private:
  BitReader& br_;
  uint32_t low_ = 0;
  uint32_t high_ = 0xFFFF;
  uint32_t code_ = 0;
};

}  // namespace

bool QuantumDecompressor::Block(std::span<const uint8_t> in, uint32_t expected, uint8_t* dst) {
  uint8_t* m = mirrored.data();
  for (size_t i = 0; i < in.size(); ++i) m[i] = vel::cabinet::kReversedByte[in[i]];
  BitReader br({m, in.size()});
  Arithmetic ac(br);
  uint8_t* const w = window.data();
  const uint32_t mask = windowSize - 1;
  uint32_t left = expected;
  uint8_t* out = dst;
  while (left > 0) {
    if (br.Overrun()) return false;
    const unsigned sel = ac.Decode(selector);
    if (sel < 4) {
      const uint8_t byte = static_cast<uint8_t>(ac.Decode(literal[sel]) + 64 * sel);
      w[total & mask] = byte;
      *out++ = byte;
      ++total;
      --left;
      continue;
    }
    uint32_t len;
    unsigned slot;
    if (sel == 4) {
      len = 3;
      slot = ac.Decode(position3);
    } else if (sel == 5) {
      len = 4;
      slot = ac.Decode(position4);
    } else {
      const unsigned ls = ac.Decode(length);
      len = kSlots.lengthBase[ls] + ac.Bits(kSlots.lengthExtra[ls]) + 5;
      slot = ac.Decode(positionLong);
    }
    const uint32_t offset = kSlots.positionBase[slot] + ac.Bits(kSlots.positionExtra[slot]) + 1;
    // Only back to bytes this folder produced and the window still holds.
    if (offset > total || offset > windowSize) return false;
    if (len > left) {
      // Encoders may let the last match of a folder run on past the data, never
      // past its frame. The bytes beyond the block are dropped, and the folder
      // cannot go on in step with the stream after them.
      if (expected - left + len > kFrameSize) return false;
      len = left;
      ended = true;
    }
    uint32_t from = static_cast<uint32_t>(total - offset) & mask;
    uint32_t to = static_cast<uint32_t>(total) & mask;
    for (uint32_t k = 0; k < len; ++k) {
      const uint8_t byte = w[from];
      w[to] = byte;
      *out++ = byte;
      from = (from + 1) & mask;
      to = (to + 1) & mask;
    }
    total += len;
    left -= len;
  }
  return !br.Overrun();
}

// ---- Entry points -------------------------------------------------------------

CodecStatus QdiCreateDecompression(uint32_t* pBlockSize, const QdiConfiguration* config, PFNALLOC alloc,
                                   PFNFREE free, uint32_t* pSrcBufferMin, QuantumDecompressor** pHandle) {
  if (pHandle != nullptr) *pHandle = nullptr;
  if (config == nullptr || pBlockSize == nullptr || pSrcBufferMin == nullptr) return CODEC_BAD_PARAMETERS;
  if (config->windowBits < kMinWindowBits || config->windowBits > kMaxWindowBits) return CODEC_BAD_CONFIGURATION;
  *pBlockSize = vel::cabinet::NormaliseBlockSize(*pBlockSize);
  *pSrcBufferMin = *pBlockSize + kQuantumSlack;
  if (pHandle == nullptr) return CODEC_OK;
  if (alloc == nullptr || free == nullptr) return CODEC_BAD_PARAMETERS;
  QuantumDecompressor* ctx = vel::cabinet::NewWithCallbacks<QuantumDecompressor>(
      alloc, free, *pBlockSize, config->cpuType, static_cast<unsigned>(config->windowBits));
  if (ctx == nullptr) return CODEC_NO_MEMORY;
  *pHandle = ctx;
  return CODEC_OK;
}

CodecStatus QdiDecompress(QuantumDecompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t* pcbResult) {
  if (h == nullptr || h->tag != kTagQuantumDecompressor) return CODEC_BAD_PARAMETERS;
  if (pcbResult == nullptr || (src == nullptr && cbSrc != 0) || dst == nullptr) return CODEC_BAD_PARAMETERS;
  const uint32_t expected = *pcbResult;
  *pcbResult = 0;
  if (expected > h->blockSize || cbSrc > h->blockSize + kQuantumSlack) return CODEC_BUFFER_OVERFLOW;
  if (h->failed || h->ended) return CODEC_FAILED;
  if (!h->Block(std::span(static_cast<const uint8_t*>(src), cbSrc), expected, static_cast<uint8_t*>(dst))) {
    h->failed = true;
    return CODEC_FAILED;
  }
  *pcbResult = expected;
  return CODEC_OK;
}

CodecStatus QdiResetDecompression(QuantumDecompressor* h) {
  if (h == nullptr || h->tag != kTagQuantumDecompressor) return CODEC_BAD_PARAMETERS;
  h->Reset();
  return CODEC_OK;
}

CodecStatus QdiDestroyDecompression(QuantumDecompressor* h) {
  if (h == nullptr || h->tag != kTagQuantumDecompressor) return CODEC_BAD_PARAMETERS;
  vel::cabinet::DeleteWithCallbacks(h);
  return CODEC_OK;
}
