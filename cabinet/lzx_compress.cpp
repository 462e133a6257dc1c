// LZX compressor: the folder's data as one LZX stream (MS-CAB compression type
// 3), cut into frames of 32 KiB uncompressed, each frame handed to the writer's
// output callback as one CFDATA block.
//
// The pipeline, per frame of input:
//   1. append to the window buffer and apply the E8 call translation;
//   2. find matches with binary trees (one tree per hash of the next three
//      bytes, keyed by the next kTreeKey bytes; matches of two come from the
//      latest position of each two-byte value), parse with a cost-driven
//      optimal parse whose costs come from the statistics of the items tallied
//      so far;
//   3. gather whole frames into a block while coding them together is cheaper
//      than cutting, then code the block as verbatim, aligned-offset or
//      uncompressed, whichever is smallest.
// Blocks always begin at a frame boundary. Matches never cross one, and an
// uncompressed block then never has a frame end in the middle of a 16-bit word.
// Frames end padded with 0 to 15 bits to a 16-bit boundary, which every reader
// expects; an uncompressed block's header never ends on a word boundary there
// (27 bits after a frame start, 60 at the stream start), so the readers' rule
// for that case (1 to 16 bits) only guards a path that is not taken.
//
// The tree comparisons look kTreeKey bytes ahead; a position is parsed only when
// that many translated bytes follow it (or at the end of the stream), so every
// node of the trees is ordered on its full key and a reported match length is
// always real.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "cabinet/codec.h"
#include "cabinet/codec_memory.h"
#include "cabinet/huffman_table.h"

using vel::cabinet::CodecBuffer;

namespace {

constexpr uint32_t kFrame = 32768;
constexpr unsigned kMinMatch = 2;
constexpr unsigned kMaxMatch = 257;
constexpr unsigned kTreeKey = 50;        // tree key length; matches this long skip the optimal parse
// Search effort: a tree visit costs one unit close by (its node and bytes are
// likely cached), three farther away; a search stops when the units run out.
constexpr unsigned kTreeUnits = 18;
constexpr uint32_t kNearDistance = 65536;
constexpr unsigned kRootBits = 18;       // trees by a hash of the next three bytes
constexpr unsigned kHorizon = 4096;      // positions one optimal parse looks ahead at most
constexpr unsigned kMaxBlockFrames = 8;  // frames gathered into one block at most
constexpr unsigned kMaxSlots = 50;
constexpr unsigned kMainSymbols = 256 + 8 * kMaxSlots;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kMaxCodeBits = 16;
constexpr unsigned kMaxPretreeBits = 15;  // pretree lengths are sent in 4 bits
constexpr unsigned kMaxAlignedBits = 7;   // aligned lengths are sent in 3 bits
constexpr uint32_t kOutputUsable = 38848;
constexpr uint32_t kE8Frames = 32768;     // frames after which the translation stops
constexpr unsigned kRefreshItems = 4096;  // the cost model is rebuilt this often
constexpr uint32_t kInfinity = std::numeric_limits<uint32_t>::max();

enum BlockType : unsigned { kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTable {
  std::array<uint32_t, kMaxSlots + 1> base{};
  std::array<uint8_t, kMaxSlots> extra{};
  constexpr SlotTable() {
    for (unsigned s = 0; s < kMaxSlots; ++s) {
      extra[s] = static_cast<uint8_t>(s < 4 ? 0 : std::min(17u, (s - 2) / 2));
      base[s + 1] = base[s] + (uint32_t{1} << extra[s]);
    }
  }
};
constexpr SlotTable kSlots;

// Position slot of a formatted offset (real offset + 2, or 0-2 for R0-R2).
inline unsigned SlotOf(uint32_t f) {
  if (f < 4) return f;
  if (f >= 262144) return 36 + (f - 262144) / 131072;
  const unsigned high = static_cast<unsigned>(std::bit_width(f)) - 1;
  return 2 * high + ((f >> (high - 1)) & 1);
}

// Slots needed so that every offset of the window has one.
unsigned SlotCount(uint32_t window) {
  unsigned n = 4;
  while (n < kMaxSlots && kSlots.base[n] < window) ++n;
  return n;
}

// One literal (length 0) or one match: length 2..257 and formatted offset.
struct Item {
  uint16_t length;
  uint8_t literal;
  uint32_t offset;
};

struct RepeatState {
  std::array<uint32_t, 3> r{1, 1, 1};
  void Apply(uint32_t formatted) {
    if (formatted == 0) return;
    if (formatted < 3) {
      std::swap(r[0], r[formatted]);
      return;
    }
    r[2] = r[1];
    r[1] = r[0];
    r[0] = formatted - 2;
  }
};

// Bits out, most significant first, as 16-bit little-endian words, into the
// frame buffer; writing past the usable part only raises the error flag.
class BitOut {
 public:
  explicit BitOut(std::span<uint8_t> buffer) : buf_(buffer) {}
  void Put(uint32_t value, unsigned bits) {
    if (bits == 0) return;
    acc_ = (acc_ << bits) | (value & ((uint32_t{1} << bits) - 1));
    n_ += bits;
    while (n_ >= 16) {
      n_ -= 16;
      const uint32_t w = static_cast<uint32_t>(acc_ >> n_) & 0xFFFF;
      Byte(static_cast<uint8_t>(w));
      Byte(static_cast<uint8_t>(w >> 8));
    }
  }
  void Align() {
    if (n_ != 0) Put(0, 16 - n_);
  }
  unsigned Pending() const { return n_; }
  void Byte(uint8_t b) {
    if (len_ >= kOutputUsable) {
      overflow_ = true;
      len_ = 0;
    }
    buf_[len_++] = b;
  }
  uint32_t Size() const { return len_; }
  const uint8_t* Data() const { return buf_.data(); }
  void Clear() {
    len_ = 0;
    acc_ = 0;
    n_ = 0;
  }
  bool Overflow() const { return overflow_; }
  void ResetOverflow() { overflow_ = false; }

 private:
  std::span<uint8_t> buf_;
  uint64_t acc_ = 0;
  unsigned n_ = 0;
  uint32_t len_ = 0;
  bool overflow_ = false;
};

// The lengths of one tree section as pretree operations against the previous
// lengths: symbols 0-16 (difference), 17/18 (runs of zeros), 19 (run of equal).
struct PretreeOp {
  uint8_t symbol;
  uint8_t extra;      // run-length bits value
  uint8_t extraBits;  // 0, 1, 4 or 5
  uint8_t follow;     // for 19: the difference symbol that follows
};

unsigned PretreeOps(const uint8_t* prev, const uint8_t* cur, unsigned n, PretreeOp* ops) {
  unsigned count = 0;
  auto diff = [&](unsigned i) { return static_cast<uint8_t>((prev[i] + 17 - cur[i]) % 17); };
  for (unsigned i = 0; i < n;) {
    unsigned run = 1;
    while (i + run < n && cur[i + run] == cur[i]) ++run;
    if (cur[i] == 0 && run >= 20) {
      run = std::min(run, 51u);
      ops[count++] = {18, static_cast<uint8_t>(run - 20), 5, 0};
    } else if (cur[i] == 0 && run >= 4) {
      run = std::min(run, 19u);
      ops[count++] = {17, static_cast<uint8_t>(run - 4), 4, 0};
    } else if (run >= 4) {
      // The reader takes the difference against the first position's previous length.
      run = std::min(run, 5u);
      ops[count++] = {19, static_cast<uint8_t>(run - 4), 1, diff(i)};
    } else {
      run = 1;
      ops[count++] = {diff(i), 0, 0, 0};
    }
    i += run;
  }
  return count;
}

// One tree section made ready to send: operations, pretree lengths and codes.
struct TreeSection {
  std::array<PretreeOp, kMainSymbols> ops{};
  unsigned count = 0;
  std::array<uint8_t, kPretreeSymbols> len{};
  std::array<uint16_t, kPretreeSymbols> code{};
  uint64_t bits = 0;

  void Make(const uint8_t* prev, const uint8_t* cur, unsigned n) {
    count = PretreeOps(prev, cur, n, ops.data());
    std::array<uint32_t, kPretreeSymbols> freq{};
    for (unsigned i = 0; i < count; ++i) {
      ++freq[ops[i].symbol];
      if (ops[i].symbol == 19) ++freq[ops[i].follow];
    }
    vel::cabinet::BuildCodeLengths(freq, kMaxPretreeBits, len);
    vel::cabinet::CanonicalCodes(len, code);
    bits = 4 * kPretreeSymbols;
    for (unsigned i = 0; i < count; ++i) {
      bits += len[ops[i].symbol] + ops[i].extraBits;
      if (ops[i].symbol == 19) bits += len[ops[i].follow];
    }
  }
  void Write(BitOut& out) const {
    for (unsigned s = 0; s < kPretreeSymbols; ++s) out.Put(len[s], 4);
    for (unsigned i = 0; i < count; ++i) {
      const PretreeOp& op = ops[i];
      out.Put(code[op.symbol], len[op.symbol]);
      out.Put(op.extra, op.extraBits);
      if (op.symbol == 19) out.Put(code[op.follow], len[op.follow]);
    }
  }
};

// Where a frame's items end in the pending list.
struct FrameMark {
  size_t itemEnd;
  uint64_t dataEnd;   // stream offset after the frame
  RepeatState rAfter;
};

// The best coding found for a run of pending frames.
struct BlockPlan {
  BlockType type = kUncompressed;
  uint64_t bits = 0;
  std::array<uint8_t, kMainSymbols> mainLen{};
  std::array<uint8_t, kLengthSymbols> lengthLen{};
  std::array<uint8_t, kAlignedSymbols> alignedLen{};
  TreeSection mainLow, mainHigh, lengths;
};

// Optimal-parse node: cheapest known way to reach a position.
struct Node {
  uint32_t cost;
  uint16_t length;  // step that reached it: 1 for a literal
  uint32_t offset;  // formatted offset of that step when it is a match
  RepeatState rep;
};

struct MatchPair {
  uint32_t length;
  uint32_t offset;  // formatted
};

}  // namespace

struct LzxCompressor {
  uint32_t tag = kTagLzxCompressor;
  PFNALLOC alloc;
  PFNFREE release;
  uint32_t blockSize;
  uint32_t e8FileSize = 12000000;

  // Configuration.
  uint32_t window;
  uint32_t partition;
  unsigned slots;
  unsigned mainSymbols;
  PFNLCIOUTPUT output;
  void* outputContext;

  // Window buffer: data[i] is stream offset bufStart + i (already translated up
  // to `translated`).
  CodecBuffer<uint8_t> data;
  uint64_t bufStart = 0;
  uint64_t streamLen = 0;
  uint64_t translated = 0;
  uint64_t parsed = 0;
  uint32_t e8FramesDone = 0;

  // Binary trees. Tree positions are stream offsets + treeBias (0 = none), the
  // children of a position live at (position mod window) of the child array.
  CodecBuffer<uint32_t> roots;
  CodecBuffer<uint32_t> last2;  // latest position of each two-byte value, for matches of two
  // Children of each node side by side (smaller, greater): one cache line per visit.
  CodecBuffer<uint32_t> children;
  uint64_t treeBias = 1;

  // Parse.
  CodecBuffer<Node> nodes;
  CodecBuffer<MatchPair> pairs;
  CodecBuffer<Item> items;
  size_t itemCount = 0;
  RepeatState rep;
  std::array<uint16_t, kMainSymbols> mainCost{};
  std::array<uint16_t, kLengthSymbols> lengthCost{};
  std::array<uint32_t, kMainSymbols> statMain{};
  std::array<uint32_t, kLengthSymbols> statLength{};
  size_t refreshAt = kRefreshItems;
  uint64_t pendingBits = 0;

  // Blocks: frames parsed but not yet coded.
  std::array<FrameMark, kMaxBlockFrames + 1> frames{};
  unsigned frameCount = 0;
  uint64_t blockStart = 0;  // stream offset of the first pending frame
  BlockPlan plan, planOther;

  // Output.
  CodecBuffer<uint8_t> frameBuffer;
  BitOut out;
  uint32_t frameBytes = 0;  // uncompressed bytes coded into the current output frame
  bool headerWritten = false;
  std::array<uint8_t, kMainSymbols> prevMain{};
  std::array<uint8_t, kLengthSymbols> prevLength{};
  bool failed = false;
  bool finalParse = false;
  bool statisticsPass = true;  // the first frame of a stream is parsed twice

  LzxCompressor(PFNALLOC a, PFNFREE f, uint32_t size, uint32_t win, uint32_t part, PFNLCIOUTPUT out,
                void* outCtx)
      : alloc(a),
        release(f),
        blockSize(size),
        window(win),
        partition(std::max(kFrame, part / kFrame * kFrame)),
        slots(SlotCount(win)),
        mainSymbols(256 + 8 * slots),
        output(out),
        outputContext(outCtx),
        data(a, f, size_t{win} + partition + size_t{kFrame} * (kMaxBlockFrames + 2) + kMaxMatch + 8),
        roots(a, f, size_t{1} << kRootBits),
        last2(a, f, 65536),
        children(a, f, size_t{win} * 2),
        nodes(a, f, kHorizon + kMaxMatch + 2),
        pairs(a, f, kMaxMatch + 1),
        items(a, f, size_t{kFrame} * kMaxBlockFrames + 1),
        frameBuffer(a, f, 38912),
        out(frameBuffer.span()) {
    Reset();
  }
  ~LzxCompressor() { tag = 0; }

  void Reset();
  bool Compress(const uint8_t* src, uint32_t n);
  bool Flush();
  uint32_t Estimate() const {
    const uint64_t e = pendingBits / 8 + (streamLen - parsed) + out.Size();
    return static_cast<uint32_t>(std::min<uint64_t>(e, 0xFFFFFFFF));
  }

 private:
  uint8_t* At(uint64_t off) { return data.data() + (off - bufStart); }
  bool Append(const uint8_t* src, uint32_t n);
  void TranslateE8(uint64_t frameStart, uint32_t n);
  void Parse(bool final);
  void ParseRun(uint64_t limit, uint64_t frameEnd, bool final);
  unsigned FindMatches(uint64_t off, uint64_t keyEnd, unsigned maxLen, bool collect);
  unsigned MatchLength(uint64_t off, uint32_t distance, unsigned maxLen);
  void SkipMatch(uint64_t off, unsigned length, uint64_t keyEnd);
  void Tally(unsigned length, uint32_t offset, uint8_t literal);
  void RefreshCosts();
  uint32_t MatchCost(unsigned length, uint32_t formatted) const {
    const unsigned slot = SlotOf(formatted);
    const unsigned header = std::min(length - 2, 7u);
    uint32_t c = mainCost[256 + slot * 8 + header] + kSlots.extra[slot];
    if (header == 7) c += lengthCost[length - 9];
    return c;
  }
  void FrameDone(uint64_t frameEnd);
  void Evaluate(unsigned firstFrame, unsigned endFrame, BlockPlan& p);
  bool FramesFit(unsigned firstFrame, unsigned endFrame, const BlockPlan& p, uint64_t headBits) const;
  void CodeBlocks(unsigned frameCountToCode, const BlockPlan& p);
  void WriteItem(const Item& item, const BlockPlan& p, const std::array<uint16_t, kMainSymbols>& mainCode,
                 const std::array<uint16_t, kLengthSymbols>& lengthCode,
                 const std::array<uint16_t, kAlignedSymbols>& alignedCode);
  void CountBytes(uint32_t n);
  void EmitFrame();
  void Normalise();
};

// ---- Lifecycle --------------------------------------------------------------

void LzxCompressor::Reset() {
  roots.Fill(0);
  last2.Fill(0);
  // Tree positions of the new stream start past every old one, so no old node
  // can be taken for a new one.
  treeBias += streamLen + window;
  bufStart = streamLen = translated = parsed = 0;
  e8FramesDone = 0;
  itemCount = 0;
  rep = RepeatState{};
  for (unsigned s = 0; s < kMainSymbols; ++s) mainCost[s] = s < 256 ? 8 : 9;
  lengthCost.fill(6);
  statMain.fill(0);
  statLength.fill(0);
  refreshAt = kRefreshItems;
  pendingBits = 0;
  frameCount = 0;
  blockStart = 0;
  out.Clear();
  out.ResetOverflow();
  frameBytes = 0;
  headerWritten = false;
  statisticsPass = true;
  prevMain.fill(0);
  prevLength.fill(0);
  failed = false;
}

// Positions near 2^32: every stored position moves down by a multiple of the
// window, so the child slots stay where they are.
void LzxCompressor::Normalise() {
  const uint64_t top = streamLen + treeBias;
  if (top + kFrame < 0xF0000000u) return;
  const uint64_t sub = (top - 2 * uint64_t{window}) & ~uint64_t{window - 1};
  auto shift = [&](uint32_t& v) { v = v > sub ? static_cast<uint32_t>(v - sub) : 0; };
  for (size_t i = 0; i < roots.size(); ++i) shift(roots[i]);
  for (size_t i = 0; i < last2.size(); ++i) shift(last2[i]);
  for (size_t i = 0; i < children.size(); ++i) shift(children[i]);
  treeBias -= sub;
}

// ---- Input --------------------------------------------------------------------

bool LzxCompressor::Append(const uint8_t* src, uint32_t n) {
  while (n > 0) {
    const size_t capacity = data.size() - kMaxMatch - 8;
    if (streamLen - bufStart + kFrame > capacity) {
      // Keep the window behind the parse and every frame not yet coded.
      uint64_t keep = std::min(parsed - std::min<uint64_t>(parsed, window), blockStart);
      keep = std::max(keep, bufStart);
      if (streamLen - keep + kFrame > capacity) return false;
      std::memmove(data.data(), At(keep), static_cast<size_t>(streamLen - keep));
      bufStart = keep;
    }
    // Whole frames only, so each is translated once complete.
    const uint32_t room = kFrame - static_cast<uint32_t>(streamLen % kFrame);
    const uint32_t piece = std::min(n, room);
    std::memcpy(At(streamLen), src, piece);
    streamLen += piece;
    src += piece;
    n -= piece;
    if (streamLen % kFrame == 0) {
      TranslateE8(streamLen - kFrame, kFrame);
      translated = streamLen;
    }
  }
  return true;
}

// E8 call translation of one frame: relative call targets become absolute ones,
// so repeated calls of one function look alike. The reader undoes it per frame.
void LzxCompressor::TranslateE8(uint64_t frameStart, uint32_t n) {
  if (e8FileSize == 0 || e8FramesDone >= kE8Frames) return;
  ++e8FramesDone;
  if (n <= 10) return;
  uint8_t* p = At(frameStart);
  const auto size = static_cast<int64_t>(e8FileSize);
  for (uint32_t i = 0; i < n - 10;) {
    if (p[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t pos = static_cast<int64_t>(frameStart + i);
    const auto rel = static_cast<int32_t>(uint32_t(p[i + 1]) | uint32_t(p[i + 2]) << 8 |
                                          uint32_t(p[i + 3]) << 16 | uint32_t(p[i + 4]) << 24);
    if (rel >= -pos && rel < size) {
      const int64_t abs = pos + rel < size ? pos + rel : int64_t{rel} - size;
      const auto v = static_cast<uint32_t>(static_cast<int32_t>(abs));
      p[i + 1] = static_cast<uint8_t>(v);
      p[i + 2] = static_cast<uint8_t>(v >> 8);
      p[i + 3] = static_cast<uint8_t>(v >> 16);
      p[i + 4] = static_cast<uint8_t>(v >> 24);
    }
    i += 5;
  }
}

// ---- Match finding ------------------------------------------------------------

inline uint32_t RootHash(const uint8_t* p) {
  return ((uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16) * 0x9E3779B1u) >> (32 - kRootBits);
}

// Searches the tree of the three bytes at `off` and inserts `off` as its new root.
// With `collect`, fills `pairs` with the longest match for each new length (at
// most maxLen) and returns their count. keyEnd bounds the bytes the tree may
// compare (the translated data).
unsigned LzxCompressor::FindMatches(uint64_t off, uint64_t keyEnd, unsigned maxLen, bool collect) {
  const unsigned keyLimit = static_cast<unsigned>(std::min<uint64_t>(kTreeKey, keyEnd - off));
  // A node keyed on fewer bytes than the others would break the tree's order;
  // only the end of the stream, after which no search follows, has such nodes.
  if (keyLimit < kMinMatch || (keyLimit < kTreeKey && !finalParse)) return 0;
  const uint8_t* cur = At(off);
  const uint32_t pos = static_cast<uint32_t>(off + treeBias);
  const uint32_t mask = window - 1;
  const uint32_t maxDistance = std::min<uint64_t>(window - 3, off);
  unsigned best = 1, count = 0;
  // Two bytes alone pay only from close by: the latest such position is enough.
  uint32_t& at2 = last2[cur[0] | unsigned{cur[1]} << 8];
  if (collect && at2 != 0 && pos - at2 <= maxDistance && maxLen >= kMinMatch) {
    const uint8_t* cand = cur - (pos - at2);
    if (cand[0] == cur[0] && cand[1] == cur[1]) {
      pairs[count++] = {kMinMatch, pos - at2 + 2};
      best = kMinMatch;
    }
  }
  at2 = pos;
  if (keyLimit < 3) return count;
  uint32_t& root = roots[RootHash(cur)];
  // The next position's tree is searched next: start loading its root now.
  if (keyLimit > 3) __builtin_prefetch(&roots[RootHash(cur + 1)]);
  uint32_t candidate = root;
  root = pos;
  uint32_t* ptrLeft = &children[2 * (pos & mask)];       // where the next smaller node goes
  uint32_t* ptrRight = &children[2 * (pos & mask) + 1];  // where the next greater node goes
  unsigned lenLeft = 0, lenRight = 0;
  for (unsigned units = kTreeUnits;;) {
    const uint32_t distance = pos - candidate;
    const unsigned cost = distance <= kNearDistance ? 1 : 3;
    if (candidate == 0 || distance > maxDistance || units < cost) {
      *ptrLeft = *ptrRight = 0;
      break;
    }
    units -= cost;
    const uint8_t* cand = cur - distance;
    unsigned len = std::min(lenLeft, lenRight);
    while (len < keyLimit && cand[len] == cur[len]) ++len;
    if (collect && len > best) {
      best = len;
      unsigned reach = len;
      if (len == kTreeKey) {
        while (reach < maxLen && cand[reach] == cur[reach]) ++reach;
      }
      reach = std::min(reach, maxLen);
      if (reach >= kMinMatch && (count == 0 || reach > pairs[count - 1].length)) {
        pairs[count++] = {reach, distance + 2};
      }
    }
    const uint32_t idx = candidate & mask;
    if (len == keyLimit) {
      // Equal on the whole key: the new node takes the old one's place.
      *ptrLeft = children[2 * idx];
      *ptrRight = children[2 * idx + 1];
      break;
    }
    if (cand[len] < cur[len]) {
      *ptrLeft = candidate;
      ptrLeft = &children[2 * idx + 1];
      candidate = *ptrLeft;
      lenLeft = len;
    } else {
      *ptrRight = candidate;
      ptrRight = &children[2 * idx];
      candidate = *ptrRight;
      lenRight = len;
    }
  }
  return count;
}

unsigned LzxCompressor::MatchLength(uint64_t off, uint32_t distance, unsigned maxLen) {
  if (distance > off) return 0;
  const uint8_t* cur = At(off);
  const uint8_t* cand = cur - distance;
  unsigned len = 0;
  while (len < maxLen && cand[len] == cur[len]) ++len;
  return len;
}

void LzxCompressor::SkipMatch(uint64_t off, unsigned length, uint64_t keyEnd) {
  for (unsigned i = 1; i < length; ++i) FindMatches(off + i, keyEnd, 0, false);
}

// ---- Parsing ------------------------------------------------------------------

void LzxCompressor::Tally(unsigned length, uint32_t offset, uint8_t literal) {
  Item& it = items[itemCount++];
  if (length <= 1) {
    it = {0, literal, 0};
    ++statMain[literal];
    pendingBits += mainCost[literal];
  } else {
    it = {static_cast<uint16_t>(length), 0, offset};
    const unsigned slot = SlotOf(offset);
    const unsigned header = std::min(length - 2, 7u);
    ++statMain[256 + slot * 8 + header];
    if (header == 7) ++statLength[length - 9];
    pendingBits += MatchCost(length, offset);
    rep.Apply(offset);
  }
  if (itemCount >= refreshAt) {
    RefreshCosts();
    refreshAt = itemCount + kRefreshItems;
  }
}

// Costs from the statistics gathered: a symbol not seen yet is priced high but
// not out of reach.
void LzxCompressor::RefreshCosts() {
  std::array<uint8_t, kMainSymbols> mainLen{};
  std::array<uint8_t, kLengthSymbols> lengthLen{};
  vel::cabinet::BuildCodeLengths(std::span(statMain).first(mainSymbols), kMaxCodeBits,
                                 std::span(mainLen).first(mainSymbols));
  // Without long matches yet, the length tree keeps its starting price.
  if (std::any_of(statLength.begin(), statLength.end(), [](uint32_t f) { return f != 0; })) {
    vel::cabinet::BuildCodeLengths(statLength, kMaxCodeBits, lengthLen);
  } else {
    lengthLen.fill(6);
  }
  for (unsigned s = 0; s < mainSymbols; ++s) mainCost[s] = mainLen[s] != 0 ? mainLen[s] : s < 256 ? 11 : 12;
  for (unsigned s = 0; s < kLengthSymbols; ++s) lengthCost[s] = lengthLen[s] != 0 ? lengthLen[s] : 8;
}

// Parses what can be parsed: each position needs the tree key of translated
// bytes after it, except at the end of the stream.
void LzxCompressor::Parse(bool final) {
  finalParse = final;
  const uint64_t end = final ? streamLen : translated;
  while (!failed && parsed < end) {
    const uint64_t frameEnd = std::min(end, (parsed / kFrame + 1) * kFrame);
    const uint64_t limit = final ? frameEnd : std::min(frameEnd, end - std::min<uint64_t>(end, kTreeKey));
    if (parsed < limit) ParseRun(limit, frameEnd, final);
    if (parsed < frameEnd) break;  // waiting for the bytes after the frame
    FrameDone(frameEnd);
  }
}

void LzxCompressor::ParseRun(uint64_t limit, uint64_t frameEnd, bool final) {
  const uint64_t keyEnd = final ? streamLen : translated;
  std::array<Item, kHorizon + 1> path{};
  while (parsed < limit) {
    const uint64_t start = parsed;
    nodes[0] = {0, 0, 0, rep};
    unsigned furthest = 0;
    unsigned i = 0;
    unsigned cut = 0;            // node the parse is traced back from
    unsigned longLength = 0;     // a long match taken at the cut
    uint32_t longOffset = 0;
    for (;; ++i) {
      const uint64_t off = start + i;
      if (off >= limit || i >= kHorizon) {
        cut = i;
        break;
      }
      const unsigned maxLen = static_cast<unsigned>(std::min<uint64_t>(kMaxMatch, frameEnd - off));
      unsigned count = FindMatches(off, keyEnd, maxLen, true);
      const Node& node = nodes[i];
      // Repeated offsets of the path that reached this position.
      unsigned repLen[3] = {0, 0, 0};
      unsigned bestRep = 0;
      if (maxLen >= kMinMatch) {
        for (unsigned k = 0; k < 3; ++k) {
          // An offset held twice is tried once, as the cheaper slot.
          if ((k > 0 && node.rep.r[k] == node.rep.r[0]) || (k > 1 && node.rep.r[k] == node.rep.r[1])) continue;
          repLen[k] = MatchLength(off, node.rep.r[k], maxLen);
          if (repLen[k] > repLen[bestRep]) bestRep = k;
        }
      }
      const unsigned treeLongest = count != 0 ? pairs[count - 1].length : 0;
      if (std::max(treeLongest, repLen[bestRep]) >= kTreeKey) {
        cut = i;
        if (repLen[bestRep] >= treeLongest) {
          longLength = repLen[bestRep];
          longOffset = bestRep;
        } else {
          longLength = treeLongest;
          longOffset = pairs[count - 1].offset;
        }
        break;
      }
      auto reach = [&](unsigned to, uint32_t cost, unsigned length, uint32_t offset) {
        while (furthest < to) nodes[++furthest].cost = kInfinity;
        if (cost < nodes[to].cost) {
          Node& n = nodes[to];
          n.cost = cost;
          n.length = static_cast<uint16_t>(length);
          n.offset = offset;
        }
      };
      reach(i + 1, node.cost + mainCost[*At(off)], 1, 0);
      // Every length of a match, priced by its slot: the slot is fixed per offset.
      auto reachLengths = [&](unsigned from, unsigned to, uint32_t offset) {
        const unsigned slot = SlotOf(offset);
        const uint32_t base = node.cost + kSlots.extra[slot];
        const uint16_t* sym = &mainCost[256 + slot * 8 - 2];
        for (unsigned len = from; len <= std::min(to, 8u); ++len) reach(i + len, base + sym[len], len, offset);
        for (unsigned len = std::max(from, 9u); len <= to; ++len) {
          reach(i + len, base + sym[9] + lengthCost[len - 9], len, offset);
        }
      };
      for (unsigned k = 0; k < 3; ++k) reachLengths(kMinMatch, repLen[k], k);
      unsigned from = kMinMatch;
      for (unsigned m = 0; m < count; ++m) {
        const MatchPair& pr = pairs[m];
        // A two-byte match from far away costs more than its literals.
        if (pr.length == 2 && pr.offset >= 2048 + 2) {
          from = 3;
          continue;
        }
        // A repeated offset already priced these lengths more cheaply.
        const uint32_t distance = pr.offset - 2;
        bool repeated = false;
        for (unsigned k = 0; k < 3; ++k) repeated = repeated || (distance == node.rep.r[k] && repLen[k] >= pr.length);
        if (repeated) {
          from = pr.length + 1;
          continue;
        }
        reachLengths(from, pr.length, pr.offset);
        from = pr.length + 1;
      }
      // The node after the step just taken carries its repeated offsets.
      if (furthest == i + 1) {
        cut = i + 1;
        Node& n = nodes[cut];
        n.rep = node.rep;
        if (n.length > 1) n.rep.Apply(n.offset);
        break;
      }
      // Fill in the repeated offsets of the next node now that it is final.
      Node& next = nodes[i + 1];
      next.rep = nodes[i + 1 - next.length].rep;
      if (next.length > 1) next.rep.Apply(next.offset);
    }
    // Trace the cheapest path to the cut back and tally it in order.
    unsigned steps = 0;
    for (unsigned at = cut; at > 0; at -= nodes[at].length) {
      path[steps++] = {nodes[at].length, *At(start + at - nodes[at].length), nodes[at].offset};
    }
    while (steps > 0) {
      const Item& it = path[--steps];
      Tally(it.length, it.offset, it.literal);
    }
    parsed = start + cut;
    if (longLength != 0) {
      Tally(longLength, longOffset, 0);
      SkipMatch(parsed, longLength, keyEnd);
      parsed += longLength;
    }
  }
}

// ---- Blocks -------------------------------------------------------------------

// A frame is parsed: gather it into the open block while coding them together
// costs less than cutting there, else code the open block and start a new one.
void LzxCompressor::FrameDone(uint64_t frameEnd) {
  if (statisticsPass) {
    // The first parse ran on guessed prices; parse the first frame again with
    // the prices its own statistics give.
    statisticsPass = false;
    RefreshCosts();
    statMain.fill(0);
    statLength.fill(0);
    roots.Fill(0);
    last2.Fill(0);
    itemCount = 0;
    pendingBits = 0;
    rep = RepeatState{};
    refreshAt = kRefreshItems;
    parsed = 0;
    return;
  }
  frames[frameCount++] = {itemCount, frameEnd, rep};
  // Older statistics count for half: the cost model follows changes in the data.
  for (auto& f : statMain) f = (f + 1) / 2;
  for (auto& f : statLength) f = (f + 1) / 2;
  if (frameCount == 1) return;
  Evaluate(0, frameCount, plan);
  Evaluate(0, frameCount - 1, planOther);
  uint64_t apart = planOther.bits;
  Evaluate(frameCount - 1, frameCount, planOther);
  apart += planOther.bits;
  if (plan.bits <= apart) {
    if (frameCount == kMaxBlockFrames) CodeBlocks(frameCount, plan);
    return;
  }
  Evaluate(0, frameCount - 1, plan);
  CodeBlocks(frameCount - 1, plan);
}

// Chooses the trees and the type for frames [firstFrame, endFrame).
void LzxCompressor::Evaluate(unsigned firstFrame, unsigned endFrame, BlockPlan& p) {
  const size_t begin = firstFrame == 0 ? 0 : frames[firstFrame - 1].itemEnd;
  const size_t end = frames[endFrame - 1].itemEnd;
  const uint64_t dataBegin = firstFrame == 0 ? blockStart : frames[firstFrame - 1].dataEnd;
  const uint64_t bytes = frames[endFrame - 1].dataEnd - dataBegin;

  std::array<uint32_t, kMainSymbols> mainFreq{};
  std::array<uint32_t, kLengthSymbols> lengthFreq{};
  std::array<uint32_t, kAlignedSymbols> alignedFreq{};
  uint64_t extraBits = 0, alignedSaved = 0;
  for (size_t k = begin; k < end; ++k) {
    const Item& it = items[k];
    if (it.length == 0) {
      ++mainFreq[it.literal];
      continue;
    }
    const unsigned slot = SlotOf(it.offset);
    const unsigned header = std::min(it.length - 2u, 7u);
    ++mainFreq[256 + slot * 8 + header];
    if (header == 7) ++lengthFreq[it.length - 9];
    extraBits += kSlots.extra[slot];
    if (kSlots.extra[slot] >= 3) {
      ++alignedFreq[(it.offset - kSlots.base[slot]) & 7];
      alignedSaved += 3;
    }
  }
  vel::cabinet::BuildCodeLengths(std::span(mainFreq).first(mainSymbols), kMaxCodeBits,
                                 std::span(p.mainLen).first(mainSymbols));
  std::fill(p.mainLen.begin() + mainSymbols, p.mainLen.end(), 0);
  vel::cabinet::BuildCodeLengths(lengthFreq, kMaxCodeBits, p.lengthLen);
  vel::cabinet::BuildCodeLengths(alignedFreq, kMaxAlignedBits, p.alignedLen);
  p.mainLow.Make(prevMain.data(), p.mainLen.data(), 256);
  p.mainHigh.Make(prevMain.data() + 256, p.mainLen.data() + 256, mainSymbols - 256);
  p.lengths.Make(prevLength.data(), p.lengthLen.data(), kLengthSymbols);

  uint64_t symbolBits = 0;
  for (unsigned s = 0; s < mainSymbols; ++s) symbolBits += uint64_t{mainFreq[s]} * p.mainLen[s];
  for (unsigned s = 0; s < kLengthSymbols; ++s) symbolBits += uint64_t{lengthFreq[s]} * p.lengthLen[s];
  uint64_t alignedBits = 0;
  for (unsigned s = 0; s < kAlignedSymbols; ++s) alignedBits += uint64_t{alignedFreq[s]} * p.alignedLen[s];

  const uint64_t header = 3 + 24;
  const uint64_t trees = p.mainLow.bits + p.mainHigh.bits + p.lengths.bits;
  const uint64_t verbatim = header + trees + symbolBits + extraBits;
  const uint64_t aligned = header + 3 * kAlignedSymbols + trees + symbolBits + extraBits - alignedSaved + alignedBits;
  // Header, padding to 16 bits, R0-R2, the bytes and a pad byte for an odd count.
  const uint64_t stored = header + 16 + 96 + 8 * (bytes + (bytes & 1));
  p.type = aligned < verbatim ? kAligned : kVerbatim;
  p.bits = std::min(verbatim, aligned);
  if (stored <= p.bits || !FramesFit(firstFrame, endFrame, p, header + 3 * kAlignedSymbols + trees)) {
    p.type = kUncompressed;
    p.bits = stored;
  }
}

// True when no frame of the coded block overfills the output buffer (a stored
// frame never holds more than its bytes, a block header and R0-R2).
bool LzxCompressor::FramesFit(unsigned firstFrame, unsigned endFrame, const BlockPlan& p, uint64_t headBits) const {
  const uint64_t limit = 8ull * (kOutputUsable - 64);
  size_t k = firstFrame == 0 ? 0 : frames[firstFrame - 1].itemEnd;
  for (unsigned f = firstFrame; f < endFrame; ++f) {
    uint64_t bits = f == firstFrame ? headBits : 0;
    for (; k < frames[f].itemEnd; ++k) {
      const Item& it = items[k];
      if (it.length == 0) {
        bits += p.mainLen[it.literal];
        continue;
      }
      const unsigned slot = SlotOf(it.offset);
      const unsigned header = std::min(it.length - 2u, 7u);
      bits += p.mainLen[256 + slot * 8 + header] + kSlots.extra[slot];
      if (header == 7) bits += p.lengthLen[it.length - 9];
      if (p.type == kAligned && kSlots.extra[slot] >= 3) {
        bits += p.alignedLen[(it.offset - kSlots.base[slot]) & 7];
        bits -= 3;
      }
    }
    if (bits > limit) return false;
  }
  return true;
}

// Codes the first `count` pending frames as one block with plan p.
void LzxCompressor::CodeBlocks(unsigned count, const BlockPlan& p) {
  const size_t end = frames[count - 1].itemEnd;
  const uint64_t dataEnd = frames[count - 1].dataEnd;
  if (!headerWritten) {
    // Stream header: E8 translation on, with its file size.
    out.Put(e8FileSize != 0 ? 1 : 0, 1);
    if (e8FileSize != 0) {
      out.Put(e8FileSize >> 16, 16);
      out.Put(e8FileSize & 0xFFFF, 16);
    }
    headerWritten = true;
  }
  const auto size = static_cast<uint32_t>(dataEnd - blockStart);
  out.Put(p.type, 3);
  out.Put(size >> 16, 8);
  out.Put((size >> 8) & 0xFF, 8);
  out.Put(size & 0xFF, 8);
  if (p.type == kUncompressed) {
    // The reader takes R0-R2 from here: they must be the state after this
    // block's matches, which the following items were parsed against.
    // A header that ends on a word boundary gets a whole word of padding: the
    // readers skip 1 to 16 bits here.
    if (out.Pending() == 0) out.Put(0, 16);
    out.Align();
    const RepeatState& r = frames[count - 1].rAfter;
    for (uint32_t v : r.r) {
      for (int b = 0; b < 4; ++b) out.Byte(static_cast<uint8_t>(v >> (8 * b)));
    }
    uint64_t off = blockStart;
    while (off < dataEnd) {
      const uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(dataEnd - off, kFrame - frameBytes));
      const uint8_t* b = At(off);
      for (uint32_t k = 0; k < piece; ++k) out.Byte(b[k]);
      off += piece;
      if (off == dataEnd && (size & 1) != 0) out.Byte(0);
      CountBytes(piece);
    }
  } else {
    std::array<uint16_t, kMainSymbols> mainCode{};
    std::array<uint16_t, kLengthSymbols> lengthCode{};
    std::array<uint16_t, kAlignedSymbols> alignedCode{};
    vel::cabinet::CanonicalCodes(std::span(p.mainLen).first(mainSymbols), mainCode);
    vel::cabinet::CanonicalCodes(p.lengthLen, lengthCode);
    vel::cabinet::CanonicalCodes(p.alignedLen, alignedCode);
    if (p.type == kAligned) {
      for (uint8_t l : p.alignedLen) out.Put(l, 3);
    }
    p.mainLow.Write(out);
    p.mainHigh.Write(out);
    p.lengths.Write(out);
    for (size_t k = 0; k < end; ++k) WriteItem(items[k], p, mainCode, lengthCode, alignedCode);
    std::copy(p.mainLen.begin(), p.mainLen.end(), prevMain.begin());
    std::copy(p.lengthLen.begin(), p.lengthLen.end(), prevLength.begin());
  }
  if (out.Overflow()) failed = true;

  // Keep what follows the block.
  std::copy(items.data() + end, items.data() + itemCount, items.data());
  itemCount -= end;
  for (unsigned f = count; f < frameCount; ++f) {
    frames[f - count] = frames[f];
    frames[f - count].itemEnd -= end;
  }
  frameCount -= count;
  blockStart = dataEnd;
  refreshAt = itemCount + kRefreshItems;
  pendingBits = 0;
}

void LzxCompressor::WriteItem(const Item& it, const BlockPlan& p, const std::array<uint16_t, kMainSymbols>& mainCode,
                              const std::array<uint16_t, kLengthSymbols>& lengthCode,
                              const std::array<uint16_t, kAlignedSymbols>& alignedCode) {
  if (it.length == 0) {
    out.Put(mainCode[it.literal], p.mainLen[it.literal]);
    CountBytes(1);
    return;
  }
  const unsigned slot = SlotOf(it.offset);
  const unsigned header = std::min(it.length - 2u, 7u);
  const unsigned sym = 256 + slot * 8 + header;
  out.Put(mainCode[sym], p.mainLen[sym]);
  if (header == 7) out.Put(lengthCode[it.length - 9], p.lengthLen[it.length - 9]);
  const unsigned extra = kSlots.extra[slot];
  const uint32_t footer = it.offset - kSlots.base[slot];
  if (p.type == kAligned && extra >= 3) {
    out.Put(footer >> 3, extra - 3);
    out.Put(alignedCode[footer & 7], p.alignedLen[footer & 7]);
  } else {
    out.Put(footer, extra);
  }
  CountBytes(it.length);
}

// Items never straddle a frame, so a frame is complete exactly at its end.
void LzxCompressor::CountBytes(uint32_t n) {
  frameBytes += n;
  if (frameBytes == kFrame) EmitFrame();
}

void LzxCompressor::EmitFrame() {
  out.Align();
  if (out.Overflow()) failed = true;
  if (!failed && frameBytes != 0 && output(outputContext, out.Data(), out.Size(), frameBytes) != 0) failed = true;
  out.Clear();
  frameBytes = 0;
}

// ---- Stream -------------------------------------------------------------------

bool LzxCompressor::Compress(const uint8_t* src, uint32_t n) {
  if (failed) return false;
  Normalise();
  if (!Append(src, n)) {
    failed = true;
    return false;
  }
  Parse(false);
  return !failed;
}

bool LzxCompressor::Flush() {
  if (!failed && streamLen > parsed) {
    if (translated < streamLen) {
      TranslateE8(translated, static_cast<uint32_t>(streamLen - translated));
      translated = streamLen;
    }
    Parse(true);
  }
  if (!failed && frameCount > 0) {
    Evaluate(0, frameCount, plan);
    CodeBlocks(frameCount, plan);
  }
  if (!failed && frameBytes != 0) EmitFrame();
  const bool ok = !failed;
  Reset();
  return ok;
}

// ---- Entry points -------------------------------------------------------------

CodecStatus LciCreateCompression(uint32_t* pBlockSize, const LciConfiguration* config, PFNALLOC alloc, PFNFREE free,
                                 uint32_t* pDstBufferMin, LzxCompressor** pHandle, PFNLCIOUTPUT output,
                                 void* outputContext) {
  if (pHandle == nullptr) return CODEC_BAD_PARAMETERS;
  *pHandle = nullptr;
  if (pBlockSize == nullptr || config == nullptr || pDstBufferMin == nullptr || alloc == nullptr ||
      free == nullptr || output == nullptr) {
    return CODEC_BAD_PARAMETERS;
  }
  // The readers know windows of 2^15 to 2^21 bytes only.
  const uint32_t w = config->windowSize;
  if (w < 32768 || w > (1u << 21) || !std::has_single_bit(w) || *pBlockSize == 0 || *pBlockSize > kFrame) {
    return CODEC_NO_MEMORY;
  }
  *pDstBufferMin = *pBlockSize + kLzxSlack;
  LzxCompressor* ctx = vel::cabinet::NewWithCallbacks<LzxCompressor>(
      alloc, free, *pBlockSize, w, config->secondPartitionSize, output, outputContext);
  if (ctx == nullptr) return CODEC_NO_MEMORY;
  *pHandle = ctx;
  return CODEC_OK;
}

CodecStatus LciCompress(LzxCompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t cbDst,
                        uint32_t* pcbResult) {
  if (h == nullptr || h->tag != kTagLzxCompressor) return CODEC_BAD_PARAMETERS;
  if (pcbResult == nullptr || (src == nullptr && cbSrc != 0) || cbSrc > h->blockSize ||
      cbDst < h->blockSize + kLzxSlack) {
    return CODEC_BAD_PARAMETERS;
  }
  (void)dst;  // finished frames leave through the output callback
  *pcbResult = 0;
  if (!h->Compress(static_cast<const uint8_t*>(src), cbSrc)) return CODEC_FAILED;
  *pcbResult = h->Estimate();
  return CODEC_OK;
}

CodecStatus LciFlushOutput(LzxCompressor* h) {
  if (h == nullptr || h->tag != kTagLzxCompressor) return CODEC_BAD_PARAMETERS;
  return h->Flush() ? CODEC_OK : CODEC_FAILED;
}

CodecStatus LciResetCompression(LzxCompressor* h) {
  if (h == nullptr || h->tag != kTagLzxCompressor) return CODEC_BAD_PARAMETERS;
  h->Reset();
  return CODEC_OK;
}

CodecStatus LciDestroyCompression(LzxCompressor* h) {
  if (h == nullptr || h->tag != kTagLzxCompressor) return CODEC_BAD_PARAMETERS;
  vel::cabinet::DeleteWithCallbacks(h);
  return CODEC_OK;
}
