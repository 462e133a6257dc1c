// Canonical Huffman decoding tables (see huffman_table.h).
#include "cabinet/huffman_table.h"

#include <algorithm>
#include <array>

namespace vel::cabinet {
namespace {

constexpr unsigned kMaxBits = 16;
constexpr size_t kMaxSymbols = 656;  // the largest LZX main tree

// Reverses the low n bits: codes are sent most significant bit first but read
// least significant bit first.
uint32_t Reverse(uint32_t code, unsigned n) {
  uint32_t r = 0;
  for (unsigned i = 0; i < n; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

}  // namespace

HuffmanBuild BuildHuffmanTable(std::span<const uint8_t> lengths, std::span<const HuffmanSymbol> symbols,
                               unsigned rootBits, std::span<uint32_t> storage, HuffmanTable& out,
                               unsigned maxLength) {
  out = {};
  if (lengths.size() > kMaxSymbols || (!symbols.empty() && symbols.size() < lengths.size()) ||
      rootBits == 0 || rootBits > kMaxBits || maxLength > kMaxBits) {
    return HuffmanBuild::kBadLengths;
  }
  std::array<uint16_t, kMaxBits + 1> count{};
  for (uint8_t len : lengths) {
    if (len > maxLength) return HuffmanBuild::kBadLengths;
    ++count[len];
  }
  unsigned maxLen = kMaxBits;
  while (maxLen > 0 && count[maxLen] == 0) --maxLen;
  if (maxLen == 0) return HuffmanBuild::kOk;  // no codes: an empty table
  unsigned minLen = 1;
  while (count[minLen] == 0) ++minLen;
  unsigned root = std::clamp(rootBits, minLen, maxLen);

  // Kraft check: how many codes of each length are still free.
  int left = 1;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= count[len];
    if (left < 0) return HuffmanBuild::kOverSubscribed;
  }
  const bool incomplete = left > 0 && maxLen != 1;

  // Symbols sorted by length, then by symbol: the canonical order.
  std::array<uint16_t, kMaxBits + 2> offset{};
  for (unsigned len = 1; len <= kMaxBits; ++len) offset[len + 1] = offset[len] + count[len];
  std::array<uint16_t, kMaxSymbols> sorted{};
  for (size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] != 0) sorted[offset[lengths[s]]++] = static_cast<uint16_t>(s);
  }

  const size_t rootSize = size_t{1} << root;
  if (storage.size() < rootSize) return HuffmanBuild::kTooLarge;
  const uint32_t invalid = HuffmanEntry::Make(0, HuffmanEntry::kInvalid, 0);
  std::fill_n(storage.begin(), rootSize, invalid);
  size_t used = rootSize;

  auto entryFor = [&](uint16_t sym, unsigned bits) {
    if (symbols.empty()) return HuffmanEntry::Make(static_cast<uint8_t>(bits), HuffmanEntry::kLiteral, sym);
    return HuffmanEntry::Make(static_cast<uint8_t>(bits), symbols[sym].op, symbols[sym].value);
  };

  uint32_t code = 0;      // canonical code of the current symbol, MSB-first
  size_t index = 0;       // position in `sorted`
  uint32_t curPrefix = ~0u;  // root prefix (reversed) of the open sub-table
  size_t subStart = 0;
  unsigned subBits = 0;
  for (unsigned len = 1; len <= maxLen; ++len) {
    for (unsigned k = 0; k < count[len]; ++k, ++index, ++code) {
      const uint16_t sym = sorted[index];
      const uint32_t rev = Reverse(code, len);
      if (len <= root) {
        const uint32_t e = entryFor(sym, len);
        for (size_t i = rev; i < rootSize; i += size_t{1} << len) storage[i] = e;
        continue;
      }
      const uint32_t prefix = rev & (static_cast<uint32_t>(rootSize) - 1);
      if (prefix != curPrefix) {
        // Open a sub-table wide enough for the codes that share this prefix.
        unsigned width = len - root;
        int room = 1 << width;
        for (unsigned l = len; l < maxLen;) {
          room -= count[l] - (l == len ? k : 0);
          if (room <= 0) break;
          ++l;
          ++width;
          room <<= 1;
        }
        const size_t subSize = size_t{1} << width;
        if (storage.size() - used < subSize || used > 0xFFFF) return HuffmanBuild::kTooLarge;
        subStart = used;
        subBits = width;
        used += subSize;
        std::fill_n(storage.begin() + static_cast<std::ptrdiff_t>(subStart), subSize, invalid);
        storage[prefix] = HuffmanEntry::Make(static_cast<uint8_t>(root),
                                             static_cast<uint8_t>(HuffmanEntry::kSubTable | width),
                                             static_cast<uint16_t>(subStart));
        curPrefix = prefix;
      }
      const unsigned subLen = len - root;
      const uint32_t e = entryFor(sym, subLen);
      for (size_t i = rev >> root; i < (size_t{1} << subBits); i += size_t{1} << subLen) {
        storage[subStart + i] = e;
      }
    }
    code <<= 1;
  }
  out.entries = storage.first(used);
  out.rootBits = root;
  return incomplete ? HuffmanBuild::kIncomplete : HuffmanBuild::kOk;
}

void BuildCodeLengths(std::span<const uint32_t> freq, unsigned maxBits, std::span<uint8_t> lengths) {
  const size_t n = std::min({freq.size(), lengths.size(), size_t{kMaxEncodedSymbols}});
  maxBits = std::clamp(maxBits, 1u, kMaxEncodedBits);
  std::fill(lengths.begin(), lengths.end(), 0);
  std::array<uint16_t, kMaxEncodedSymbols> syms{};
  unsigned used = 0;
  for (size_t s = 0; s < n; ++s) {
    if (freq[s] != 0) syms[used++] = static_cast<uint16_t>(s);
  }
  if (used < 2) {
    const unsigned a = used == 1 ? syms[0] : 0;
    const unsigned b = a == 0 ? 1 : 0;
    lengths[a] = lengths[b] = 1;
    return;
  }
  std::sort(syms.begin(), syms.begin() + used, [&](uint16_t x, uint16_t y) {
    return freq[x] != freq[y] ? freq[x] < freq[y] : x < y;
  });

  // Two-queue Huffman construction: leaves sorted by weight, internal nodes are
  // made in non-decreasing weight order.
  std::array<uint32_t, 2 * kMaxEncodedSymbols> weight{};
  std::array<uint16_t, 2 * kMaxEncodedSymbols> parent{};
  for (unsigned i = 0; i < used; ++i) weight[i] = freq[syms[i]];
  unsigned leaf = 0, inner = used, made = used;
  auto takeSmallest = [&]() {
    if (leaf < used && (inner >= made || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  while (made < 2 * used - 1) {
    const unsigned a = takeSmallest();
    const unsigned b = takeSmallest();
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<uint16_t>(made);
    ++made;
  }
  std::array<uint8_t, 2 * kMaxEncodedSymbols> depth{};
  const unsigned root = made - 1;
  depth[root] = 0;
  for (unsigned i = root; i-- > 0;) depth[i] = static_cast<uint8_t>(std::min(depth[parent[i]] + 1, 255));

  // Clamp to maxBits, then restore the Kraft equality exactly.
  std::array<uint32_t, kMaxEncodedBits + 1> count{};
  for (unsigned i = 0; i < used; ++i) ++count[std::min<unsigned>(depth[i], maxBits)];
  const uint64_t full = uint64_t{1} << maxBits;
  uint64_t kraft = 0;
  for (unsigned b = 1; b <= maxBits; ++b) kraft += uint64_t{count[b]} << (maxBits - b);
  while (kraft > full) {
    unsigned b = maxBits - 1;
    while (count[b] == 0) --b;
    --count[b];
    ++count[b + 1];
    kraft -= uint64_t{1} << (maxBits - b - 1);
  }
  while (kraft < full) {
    const uint64_t deficit = full - kraft;
    unsigned b = maxBits;
    while (count[b] == 0 || (uint64_t{1} << (maxBits - b)) > deficit) --b;
    --count[b];
    ++count[b - 1];
    kraft += uint64_t{1} << (maxBits - b);
  }
  // The rarest symbols get the longest codes.
  unsigned i = 0;
  for (unsigned b = maxBits; b >= 1; --b) {
    for (uint32_t k = 0; k < count[b]; ++k) lengths[syms[i++]] = static_cast<uint8_t>(b);
  }
}

void CanonicalCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes) {
  std::array<uint32_t, kMaxEncodedBits + 2> count{}, next{};
  for (uint8_t len : lengths) ++count[std::min<unsigned>(len, kMaxEncodedBits)];
  count[0] = 0;
  uint32_t code = 0;
  for (unsigned bits = 1; bits <= kMaxEncodedBits; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  for (size_t i = 0; i < lengths.size() && i < codes.size(); ++i) {
    const unsigned len = std::min<unsigned>(lengths[i], kMaxEncodedBits);
    codes[i] = len != 0 ? static_cast<uint16_t>(next[len]++) : 0;
  }
}

}  // namespace vel::cabinet
