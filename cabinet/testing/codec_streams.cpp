#include "cabinet/testing/codec_streams.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <queue>
#include <stdexcept>
#include <utility>

namespace vel::cabtest {
namespace {

constexpr uint32_t kFrame = 32768;

// Code lengths of a Huffman code for the frequencies, no longer than `limit`.
// Symbols of frequency 0 get no code; with `complete`, fewer than two used
// symbols are topped up so that the code fills its space.
std::vector<uint8_t> CodeLengths(std::vector<uint32_t> freq, unsigned limit, bool complete) {
  const size_t n = freq.size();
  if (complete) {
    size_t used = std::count_if(freq.begin(), freq.end(), [](uint32_t f) { return f != 0; });
    for (size_t i = 0; used < 2 && i < n; ++i)
      if (freq[i] == 0) freq[i] = 1, ++used;
  }
  for (;;) {
    std::vector<uint8_t> len(n, 0);
    using Node = std::pair<uint64_t, int>;  // weight, node index
    std::priority_queue<Node, std::vector<Node>, std::greater<>> q;
    std::vector<int> parent;
    for (size_t i = 0; i < n; ++i) {
      if (freq[i] == 0) continue;
      q.push({freq[i], static_cast<int>(parent.size())});
      parent.push_back(-1);
    }
    std::vector<size_t> leafSymbol;
    for (size_t i = 0; i < n; ++i)
      if (freq[i] != 0) leafSymbol.push_back(i);
    const size_t leaves = leafSymbol.size();
    if (leaves == 1) {
      len[leafSymbol[0]] = 1;
      return len;
    }
    if (leaves == 0) return len;
    while (q.size() > 1) {
      Node a = q.top();
      q.pop();
      Node b = q.top();
      q.pop();
      const int p = static_cast<int>(parent.size());
      parent.push_back(-1);
      parent[a.second] = p;
      parent[b.second] = p;
      q.push({a.first + b.first, p});
    }
    unsigned longest = 0;
    for (size_t k = 0; k < leaves; ++k) {
      unsigned d = 0;
      for (int x = static_cast<int>(k); parent[x] != -1; x = parent[x]) ++d;
      len[leafSymbol[k]] = static_cast<uint8_t>(d);
      longest = std::max(longest, d);
    }
    if (longest <= limit) return len;
    for (uint32_t& f : freq)
      if (f != 0) f = (f + 1) / 2;  // flatter frequencies, shorter codes
  }
}

// Canonical codes for the lengths (most significant bit first).
std::vector<uint32_t> Codes(const std::vector<uint8_t>& len) {
  std::vector<uint32_t> code(len.size(), 0);
  uint32_t next = 0;
  for (unsigned l = 1; l <= 16; ++l) {
    for (size_t s = 0; s < len.size(); ++s)
      if (len[s] == l) code[s] = next++;
    next <<= 1;
  }
  return code;
}

// ---- LZX ----------------------------------------------------------------------

// 16-bit little-endian words filled most significant bit first.
class WordWriter {
 public:
  void Bits(uint32_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) Bit((v >> i) & 1);
  }
  void Bit(uint32_t b) {
    acc_ = static_cast<uint16_t>(acc_ << 1 | b);
    if (++count_ == 16) {
      out_.push_back(static_cast<uint8_t>(acc_));
      out_.push_back(static_cast<uint8_t>(acc_ >> 8));
      acc_ = 0;
      count_ = 0;
    }
  }
  // Pads to the next word; with `always`, a whole word when already on one.
  void Align(bool always) {
    if (count_ == 0 && !always) return;
    do Bit(0);
    while (count_ != 0);
  }
  void Byte(uint8_t b) { out_.push_back(b); }  // only on a word boundary
  Bytes Take() {
    Align(false);
    return std::exchange(out_, {});
  }

 private:
  Bytes out_;
  uint16_t acc_ = 0;
  unsigned count_ = 0;
};

struct LzxSlots {
  std::array<uint32_t, 51> base{};
  std::array<uint8_t, 51> extra{};
  LzxSlots() {
    uint32_t b = 0;
    for (unsigned s = 0; s < 51; ++s) {
      extra[s] = static_cast<uint8_t>(s < 4 ? 0 : std::min(17u, (s - 2) / 2));
      base[s] = b;
      b += 1u << extra[s];
    }
  }
};

struct LzxOp {
  uint32_t length = 0;  // 0: a literal
  uint8_t literal = 0;
  unsigned slot = 0;
  uint32_t verbatim = 0;  // the offset's extra bits
};

class LzxWriter {
 public:
  LzxWriter(const Bytes& data, const LzxOptions& o) : data_(data), o_(o) {
    const uint32_t window = 1u << o.windowBits;
    slots_ = 4;
    while (slots_ < 51 && s_.base[slots_] < window) ++slots_;
  }

  std::vector<DataBlock> Run() {
    bool first = true;
    size_t kind = 0;
    for (size_t pos = 0; pos < data_.size();) {
      const size_t end = std::min<size_t>(pos + o_.blockSize, data_.size());
      const LzxKind k = o_.kinds[kind++ % o_.kinds.size()];
      if (first) {
        w_.Bit(o_.e8Size != 0);
        if (o_.e8Size != 0) w_.Bits(o_.e8Size, 32);
        first = false;
      }
      w_.Bits(k == LzxKind::kVerbatim ? 1 : k == LzxKind::kAligned ? 2 : 3, 3);
      w_.Bits(static_cast<uint32_t>(end - pos), 24);
      if (k == LzxKind::kUncompressed) {
        Uncompressed(pos, end);
      } else {
        Compressed(pos, end, k == LzxKind::kAligned);
      }
      pos = end;
    }
    if (frameStart_ < data_.size() || frames_.empty()) EndFrame(data_.size());
    return frames_;
  }

 private:
  void EndFrame(size_t at) {
    frames_.push_back({w_.Take(), static_cast<uint16_t>(at - frameStart_), std::nullopt});
    frameStart_ = at;
  }
  size_t FrameEnd() const { return std::min<size_t>(frameStart_ + kFrame, data_.size()); }

  void Uncompressed(size_t pos, size_t end) {
    w_.Align(true);
    for (uint32_t r : {r0_, r1_, r2_})
      for (int i = 0; i < 4; ++i) w_.Byte(static_cast<uint8_t>(r >> (8 * i)));
    for (size_t p = pos; p < end; ++p) {
      w_.Byte(data_[p]);
      if (p + 1 == FrameEnd() && p + 1 < end) EndFrame(p + 1);
    }
    if ((end - pos) & 1) w_.Byte(0);
    if (end == FrameEnd()) EndFrame(end);
  }

  // Greedy matches that stay inside the block and the frame.
  std::vector<std::pair<size_t, LzxOp>> Parse(size_t pos, size_t end) {
    std::vector<std::pair<size_t, LzxOp>> ops;
    const uint32_t window = 1u << o_.windowBits;
    std::vector<int64_t> head(1 << 16, -1);
    auto hash = [&](size_t p) { return (data_[p] * 506832829u ^ data_[p + 1] * 2654435761u ^ data_[p + 2]) >> 16 & 0xFFFF; };
    for (size_t h = pos >= window ? pos - window + 3 : 0; h + 3 <= pos; ++h) head[hash(h)] = static_cast<int64_t>(h);
    size_t frameEnd = std::min<size_t>((pos / kFrame + 1) * kFrame, data_.size());
    for (size_t p = pos; p < end;) {
      if (p == frameEnd) frameEnd = std::min<size_t>(frameEnd + kFrame, data_.size());
      const size_t limit = std::min({end, frameEnd, p + 257});
      LzxOp op;
      uint32_t bestLen = 0, bestOff = 0;
      auto tryOffset = [&](uint32_t off) {
        if (off == 0 || off > p || off > window - 3) return;
        uint32_t l = 0;
        while (p + l < limit && data_[p + l] == data_[p - off + l]) ++l;
        if (l > bestLen) bestLen = l, bestOff = off;
      };
      if (o_.matches && p + 3 <= data_.size()) {
        tryOffset(r0_);
        tryOffset(r1_);
        tryOffset(r2_);
        const int64_t cand = head[hash(p)];
        if (cand >= 0) tryOffset(static_cast<uint32_t>(p - cand));
      }
      if (bestLen >= 3) {
        op.length = bestLen;
        if (bestOff == r0_) {
          op.slot = 0;
        } else if (bestOff == r1_) {
          op.slot = 1;
          std::swap(r0_, r1_);
        } else if (bestOff == r2_) {
          op.slot = 2;
          std::swap(r0_, r2_);
        } else {
          const uint32_t formatted = bestOff + 2;
          unsigned s = 3;
          while (s + 1 < slots_ && s_.base[s + 1] <= formatted) ++s;
          op.slot = s;
          op.verbatim = formatted - s_.base[s];
          r2_ = r1_;
          r1_ = r0_;
          r0_ = bestOff;
        }
      } else {
        op.literal = data_[p];
      }
      ops.push_back({p, op});
      const size_t step = bestLen >= 3 ? bestLen : 1;
      for (size_t q = p; q < p + step; ++q)
        if (q + 3 <= data_.size()) head[hash(q)] = static_cast<int64_t>(q);
      p += step;
    }
    return ops;
  }

  // Sends the changes from `prev` to `next` through a pretree.
  void Tree(std::vector<uint8_t>& prev, const std::vector<uint8_t>& next, size_t from, size_t to) {
    struct Sym {
      unsigned code;
      uint32_t extra;
      unsigned extraBits;
      unsigned second = 0;  // 19: the delta code that follows
    };
    std::vector<Sym> syms;
    for (size_t i = from; i < to;) {
      size_t run = 0;
      while (i + run < to && next[i + run] == 0) ++run;
      if (run >= 20) {
        run = std::min<size_t>(run, 51);
        syms.push_back({18, static_cast<uint32_t>(run - 20), 5});
        i += run;
        continue;
      }
      if (run >= 4) {
        syms.push_back({17, static_cast<uint32_t>(run - 4), 4});
        i += run;
        continue;
      }
      // Four or five equal lengths over equal previous lengths: one delta for all.
      size_t same = 1;
      while (i + same < to && same < 5 && next[i + same] == next[i] && prev[i + same] == prev[i]) ++same;
      const unsigned delta = (prev[i] + 17 - next[i]) % 17;
      if (same >= 4) {
        syms.push_back({19, static_cast<uint32_t>(same - 4), 1, delta});
        i += same;
        continue;
      }
      syms.push_back({delta, 0, 0});
      ++i;
    }
    std::vector<uint32_t> freq(20, 0);
    for (const Sym& s : syms) {
      ++freq[s.code];
      if (s.code == 19) ++freq[s.second];
    }
    const std::vector<uint8_t> len = CodeLengths(freq, 15, true);
    const std::vector<uint32_t> code = Codes(len);
    for (uint8_t l : len) w_.Bits(l, 4);
    for (const Sym& s : syms) {
      w_.Bits(code[s.code], len[s.code]);
      w_.Bits(s.extra, s.extraBits);
      if (s.code == 19) w_.Bits(code[s.second], len[s.second]);
    }
    std::copy(next.begin() + from, next.begin() + to, prev.begin() + from);
  }

  void Compressed(size_t pos, size_t end, bool aligned) {
    const auto ops = Parse(pos, end);
    const size_t mainCount = 256 + 8 * slots_;
    std::vector<uint32_t> mainFreq(mainCount, 0), lenFreq(249, 0), alignedFreq(8, 0);
    auto mainSymbol = [&](const LzxOp& op) {
      if (op.length == 0) return static_cast<unsigned>(op.literal);
      return 256 + op.slot * 8 + std::min(op.length - 2, 7u);
    };
    for (const auto& [p, op] : ops) {
      ++mainFreq[mainSymbol(op)];
      if (op.length >= 9) ++lenFreq[op.length - 9];
      if (aligned && op.length != 0 && op.slot >= 3 && s_.extra[op.slot] >= 3) ++alignedFreq[op.verbatim & 7];
    }
    const bool complete = !o_.minimalTrees;
    if (aligned) {
      if (complete)
        for (uint32_t& f : alignedFreq) ++f;
      const auto alen = CodeLengths(alignedFreq, 7, complete);
      for (uint8_t l : alen) w_.Bits(l, 3);
      alignedLen_ = alen;
    }
    const auto mlen = CodeLengths(mainFreq, 16, complete);
    const auto llen = CodeLengths(lenFreq, 16, complete);
    if (mainPrev_.size() != 656) mainPrev_.assign(656, 0), lenPrev_.assign(249, 0);
    std::vector<uint8_t> mfull(656, 0);
    std::copy(mlen.begin(), mlen.end(), mfull.begin());
    Tree(mainPrev_, mfull, 0, 256);
    Tree(mainPrev_, mfull, 256, mainCount);
    Tree(lenPrev_, llen, 0, 249);
    const auto mcode = Codes(mlen), lcode = Codes(llen);
    const auto acode = aligned ? Codes(alignedLen_) : std::vector<uint32_t>{};
    for (const auto& [p, op] : ops) {
      if (p == FrameEnd() && p != frameStart_) EndFrame(p);
      const unsigned m = mainSymbol(op);
      w_.Bits(mcode[m], mlen[m]);
      if (op.length == 0) continue;
      if (op.length >= 9) w_.Bits(lcode[op.length - 9], llen[op.length - 9]);
      if (op.slot < 3) continue;
      const unsigned extra = s_.extra[op.slot];
      if (aligned && extra >= 3) {
        w_.Bits(op.verbatim >> 3, extra - 3);
        w_.Bits(acode[op.verbatim & 7], alignedLen_[op.verbatim & 7]);
      } else {
        w_.Bits(op.verbatim, extra);
      }
    }
    if (end == FrameEnd()) EndFrame(end);
  }

  const Bytes& data_;
  LzxOptions o_;
  LzxSlots s_;
  unsigned slots_ = 0;
  WordWriter w_;
  std::vector<DataBlock> frames_;
  size_t frameStart_ = 0;
  uint32_t r0_ = 1, r1_ = 1, r2_ = 1;
  std::vector<uint8_t> mainPrev_, lenPrev_, alignedLen_;
};

// ---- Quantum ------------------------------------------------------------------

struct QModel {
  unsigned count = 0;
  int rescales = 4;
  std::array<uint16_t, 65> cum{};
  std::array<uint8_t, 65> sym{};
  void Init(unsigned n) {
    count = n;
    for (unsigned i = 0; i <= n; ++i) cum[i] = static_cast<uint16_t>(n - i), sym[i] = static_cast<uint8_t>(i);
  }
  void Update(unsigned i) {
    for (unsigned k = 0; k <= i; ++k) cum[k] = static_cast<uint16_t>(cum[k] + 8);
    if (cum[0] <= 3800) return;
    if (--rescales != 0) {
      for (unsigned k = count; k-- > 0;) {
        cum[k] = static_cast<uint16_t>(cum[k] >> 1);
        if (cum[k] <= cum[k + 1]) cum[k] = static_cast<uint16_t>(cum[k + 1] + 1);
      }
      return;
    }
    rescales = 50;
    std::vector<std::pair<uint16_t, uint8_t>> f;
    for (unsigned k = 0; k < count; ++k) f.push_back({static_cast<uint16_t>((cum[k] - cum[k + 1] + 1) >> 1), sym[k]});
    for (unsigned a = 0; a + 1 < count; ++a)
      for (unsigned b = a + 1; b < count; ++b)
        if (f[a].first < f[b].first) std::swap(f[a], f[b]);
    cum[count] = 0;
    for (unsigned k = count; k-- > 0;) {
      cum[k] = static_cast<uint16_t>(cum[k + 1] + f[k].first);
      sym[k] = f[k].second;
    }
  }
};

class QuantumWriter {
 public:
  QuantumWriter(const Bytes& data, unsigned windowBits, bool matches, size_t pastEnd)
      : data_(data), windowBits_(windowBits), matches_(matches), pastEnd_(pastEnd) {
    uint32_t b = 0;
    for (unsigned s = 0; s < 42; ++s) {
      posExtra_[s] = static_cast<uint8_t>(s < 4 ? 0 : (s - 2) / 2);
      posBase_[s] = b;
      b += 1u << posExtra_[s];
    }
    b = 0;
    for (unsigned s = 0; s < 27; ++s) {
      lenExtra_[s] = static_cast<uint8_t>(s < 6 || s == 26 ? 0 : (s - 2) / 4);
      lenBase_[s] = b;
      b += 1u << lenExtra_[s];
    }
    const unsigned slots = 2 * windowBits;
    selector_.Init(7);
    for (QModel& m : literal_) m.Init(64);
    pos3_.Init(std::min(24u, slots));
    pos4_.Init(std::min(36u, slots));
    posLong_.Init(slots);
    length_.Init(27);
  }

  std::vector<DataBlock> Run() {
    std::vector<DataBlock> out;
    const uint32_t window = 1u << windowBits_;
    std::vector<int64_t> head(1 << 16, -1);
    auto hash = [&](size_t p) { return (data_[p] * 506832829u ^ data_[p + 1] * 2654435761u ^ data_[p + 2]) >> 16 & 0xFFFF; };
    for (size_t start = 0; start < data_.size() || out.empty(); start += kFrame) {
      const size_t end = std::min<size_t>(start + kFrame, data_.size());
      // How far a match may reach: its frame's data, and in the last frame
      // pastEnd bytes more that read as zero.
      const size_t reach = end == data_.size() ? end + pastEnd_ : end;
      auto at = [&](size_t i) { return i < data_.size() ? data_[i] : uint8_t{0}; };
      low_ = 0, high_ = 0xFFFF, pending_ = 0, shifts_ = 0;
      arith_.clear();
      raw_.clear();
      for (size_t p = start; p < end;) {
        uint32_t bestLen = 0, bestOff = 0;
        if (matches_ && p + 3 <= data_.size()) {
          const int64_t cand = head[hash(p)];
          const uint32_t off = cand >= 0 ? static_cast<uint32_t>(p - cand) : 0;
          if (off != 0 && off <= window) {
            uint32_t l = 0;
            while (p + l < reach && l < 259 && at(p + l) == at(p - off + l)) ++l;
            // Short matches must reach no further than their position models do.
            if ((l == 3 && off - 1 < std::min<uint32_t>(4096, window)) || (l == 4 && off - 1 < std::min<uint32_t>(262144, window)) || l >= 5)
              bestLen = l, bestOff = off;
          }
        }
        if (bestLen >= 3) {
          const uint32_t formatted = bestOff - 1;
          unsigned slot = 0;
          while (slot + 1 < 42 && posBase_[slot + 1] <= formatted) ++slot;
          if (bestLen == 3) {
            Symbol(selector_, 4);
            Symbol(pos3_, slot);
          } else if (bestLen == 4) {
            Symbol(selector_, 5);
            Symbol(pos4_, slot);
          } else {
            unsigned ls = 0;
            while (ls + 1 < 27 && lenBase_[ls + 1] <= bestLen - 5) ++ls;
            Symbol(selector_, 6);
            Symbol(length_, ls);
            Raw(bestLen - 5 - lenBase_[ls], lenExtra_[ls]);
            Symbol(posLong_, slot);
          }
          Raw(formatted - posBase_[slot], posExtra_[slot]);
        } else {
          const unsigned sel = data_[p] >> 6;
          Symbol(selector_, sel);
          Symbol(literal_[sel], data_[p] & 63);
          bestLen = 1;
        }
        for (size_t q = p; q < p + bestLen; ++q)
          if (q + 3 <= data_.size()) head[hash(q)] = static_cast<int64_t>(q);
        p += bestLen;
      }
      out.push_back({Finish(), static_cast<uint16_t>(end - start), std::nullopt});
      if (end == data_.size()) break;
    }
    return out;
  }

 private:
  void Emit(unsigned bit) {
    arith_.push_back(static_cast<uint8_t>(bit));
    for (; pending_ > 0; --pending_) arith_.push_back(static_cast<uint8_t>(!bit));
  }
  void Symbol(QModel& m, unsigned symbol) {
    unsigned i = 0;
    while (m.sym[i] != symbol) ++i;
    if (i >= m.count) throw std::logic_error("symbol outside its model");
    const uint32_t range = high_ - low_ + 1, total = m.cum[0];
    high_ = low_ + (m.cum[i] * range) / total - 1;
    low_ = low_ + (m.cum[i + 1] * range) / total;
    for (;;) {
      if (((low_ ^ high_) & 0x8000) == 0) {
        Emit(high_ >> 15);
      } else if ((low_ & 0x4000) && !(high_ & 0x4000)) {
        ++pending_;
        low_ &= 0x3FFF;
        high_ |= 0x4000;
      } else {
        break;
      }
      low_ = (low_ << 1) & 0xFFFF;
      high_ = ((high_ << 1) | 1) & 0xFFFF;
      ++shifts_;
    }
    m.Update(i);
  }
  // Raw bits are read after the 16 bits the decoder holds ahead.
  void Raw(uint32_t v, unsigned n) {
    if (n != 0) raw_.push_back({shifts_, v, n});
  }
  Bytes Finish() {
    ++pending_;
    Emit(low_ >= 0x4000);
    for (int i = 0; i < 16; ++i) arith_.push_back(0);
    Bytes out;
    unsigned acc = 0, n = 0;
    auto put = [&](unsigned bit) {
      acc = acc << 1 | bit;
      if (++n == 8) out.push_back(static_cast<uint8_t>(acc)), acc = 0, n = 0;
    };
    size_t r = 0;
    for (size_t j = 0; j < arith_.size(); ++j) {
      for (; j >= 16 && r < raw_.size() && raw_[r].anchor == j - 16; ++r)
        for (unsigned k = raw_[r].bits; k-- > 0;) put((raw_[r].value >> k) & 1);
      put(arith_[j]);
    }
    for (; r < raw_.size(); ++r)
      for (unsigned k = raw_[r].bits; k-- > 0;) put((raw_[r].value >> k) & 1);
    while (n != 0) put(0);
    return out;
  }

  struct RawBits {
    uint64_t anchor;
    uint32_t value;
    unsigned bits;
  };
  const Bytes& data_;
  unsigned windowBits_;
  bool matches_;
  size_t pastEnd_;
  std::array<uint32_t, 42> posBase_{};
  std::array<uint8_t, 42> posExtra_{};
  std::array<uint32_t, 27> lenBase_{};
  std::array<uint8_t, 27> lenExtra_{};
  QModel selector_, pos3_, pos4_, posLong_, length_;
  std::array<QModel, 4> literal_;
  uint32_t low_ = 0, high_ = 0xFFFF;
  unsigned pending_ = 0;
  uint64_t shifts_ = 0;
  std::vector<uint8_t> arith_;
  std::vector<RawBits> raw_;
};

}  // namespace

std::vector<DataBlock> LzxFrames(const Bytes& data, const LzxOptions& options) {
  return LzxWriter(data, options).Run();
}

std::vector<DataBlock> QuantumFrames(const Bytes& data, unsigned windowBits, bool matches, size_t pastEnd) {
  return QuantumWriter(data, windowBits, matches, pastEnd).Run();
}

Bytes UndoE8Reference(const Bytes& data, uint32_t size) {
  Bytes out = data;
  for (size_t start = 0; start < out.size(); start += kFrame) {
    const size_t n = std::min<size_t>(kFrame, out.size() - start);
    if (n <= 10) break;
    for (size_t i = 0; i + 10 < n; ++i) {
      uint8_t* p = out.data() + start + i;
      if (*p != 0xE8) continue;
      const uint32_t q = static_cast<uint32_t>(start + i);
      uint32_t a;
      std::memcpy(&a, p + 1, 4);
      if (a < size) {
        a -= q;
        std::memcpy(p + 1, &a, 4);
      } else if (0u - a <= q) {
        a += size;
        std::memcpy(p + 1, &a, 4);
      }
      i += 4;
    }
  }
  return out;
}

Bytes CodecCabinet(uint16_t typeCompress, const std::vector<DataBlock>& blocks,
                   const std::vector<std::pair<std::string, Bytes>>& files) {
  CabSpec spec;
  uint32_t offset = 0;
  for (const auto& [name, bytes] : files) {
    FileSpec f;
    f.name = name;
    f.cbFile = static_cast<uint32_t>(bytes.size());
    f.uoffFolderStart = offset;
    offset += f.cbFile;
    spec.files.push_back(f);
  }
  FolderSpec folder;
  folder.typeCompress = typeCompress;
  folder.blocks = blocks;
  spec.folders.push_back(folder);
  return BuildCabinet(spec);
}

}  // namespace vel::cabtest
