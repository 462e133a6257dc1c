// The shared decoder pieces: the Huffman-table builder and the bit reader.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "cabinet/bit_reader.h"
#include "cabinet/huffman_table.h"

namespace {

using vel::cabinet::BitReader;
using vel::cabinet::BuildHuffmanTable;
using vel::cabinet::HuffmanBuild;
using vel::cabinet::HuffmanEntry;
using vel::cabinet::HuffmanTable;
using vel::cabinet::ReverseBits;

// Decodes one symbol the way the decoders do.
unsigned Decode(const HuffmanTable& t, BitReader& br) {
  br.Refill();
  uint32_t e = t.entries[br.Peek(t.rootBits)];
  if (HuffmanEntry::Op(e) & HuffmanEntry::kSubTable) {
    br.Drop(t.rootBits);
    e = t.entries[HuffmanEntry::Value(e) + br.Peek(HuffmanEntry::Op(e) & 15)];
  }
  br.Drop(HuffmanEntry::Bits(e));
  return HuffmanEntry::Op(e) == HuffmanEntry::kLiteral ? HuffmanEntry::Value(e) : 9999;
}

TEST(HuffmanTable, ClassifiesLengthSets) {
  struct Case {
    const char* name;
    std::vector<uint8_t> lengths;
    size_t storage;
    HuffmanBuild expected;
  };
  const std::vector<Case> cases = {
      {"complete", {2, 1, 3, 3}, 64, HuffmanBuild::kOk},
      {"all zero is an empty table", {0, 0, 0}, 64, HuffmanBuild::kOk},
      {"one code of one bit", {0, 1, 0}, 64, HuffmanBuild::kOk},
      {"incomplete", {2, 2, 2}, 64, HuffmanBuild::kIncomplete},
      {"over-subscribed", {1, 1, 1}, 64, HuffmanBuild::kOverSubscribed},
      {"length above 15", {16, 1}, 64, HuffmanBuild::kBadLengths},
      {"storage too small for the root", {2, 1, 3, 3}, 4, HuffmanBuild::kTooLarge},
      {"storage too small for a sub-table", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15}, 130,
       HuffmanBuild::kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> storage(c.storage, 0xDEADBEEF);
    HuffmanTable t;
    EXPECT_EQ(BuildHuffmanTable(c.lengths, {}, 7, storage, t), c.expected);
    EXPECT_LE(t.entries.size(), storage.size());
  }
}

TEST(HuffmanTable, DecodesCanonicalCodesThroughSubTables) {
  // Lengths 1..15,15: codes 0, 10, 110, ..., and two of 15 bits; root 4 forces sub-tables.
  std::vector<uint8_t> lengths;
  for (uint8_t l = 1; l <= 15; ++l) lengths.push_back(l);
  lengths.push_back(15);
  std::vector<uint32_t> storage(4096);
  HuffmanTable t;
  ASSERT_EQ(BuildHuffmanTable(lengths, {}, 4, storage, t), HuffmanBuild::kOk);
  // Write every symbol's code, most significant bit first into an LSB-first stream.
  std::vector<uint8_t> bytes;
  uint32_t acc = 0, n = 0;
  auto put = [&](uint32_t bit) {
    acc |= bit << n;
    if (++n == 8) bytes.push_back(static_cast<uint8_t>(acc)), acc = 0, n = 0;
  };
  for (size_t s = 0; s < lengths.size(); ++s) {
    const unsigned len = lengths[s];
    const uint32_t code = s < 15 ? ((1u << len) - 2) : 0x7FFF;  // canonical: 0, 10, 110, ... 111..10, 111..11
    for (unsigned i = len; i-- > 0;) put((code >> i) & 1);
  }
  if (n != 0) bytes.push_back(static_cast<uint8_t>(acc));
  BitReader br(bytes);
  for (unsigned s = 0; s < lengths.size(); ++s) EXPECT_EQ(Decode(t, br), s);
  EXPECT_FALSE(br.Overrun());
}

// LZX allows 16-bit codes and 656 symbols; deflate's limit of 15 stays the default.
TEST(HuffmanTable, SixteenBitCodesWhenAllowed) {
  std::vector<uint8_t> lengths(656, 0);
  for (uint8_t l = 1; l <= 16; ++l) lengths[l * 40] = l;
  lengths[655] = 16;  // 1, 01, ..., 15 bits, and two of 16: complete
  std::vector<uint32_t> storage(8192);
  HuffmanTable t;
  EXPECT_EQ(BuildHuffmanTable(lengths, {}, 10, storage, t), HuffmanBuild::kBadLengths);
  ASSERT_EQ(BuildHuffmanTable(lengths, {}, 10, storage, t, 16), HuffmanBuild::kOk);
  // The two longest codes: fifteen 1s then 0, and sixteen 1s.
  const std::vector<uint8_t> bits = {0xFF, 0x7F, 0xFF, 0xFF};
  BitReader br(bits);
  EXPECT_EQ(Decode(t, br), 640u);
  EXPECT_EQ(Decode(t, br), 655u);
  EXPECT_EQ(ReverseBits(0b1101, 4), 0b1011u);
  EXPECT_EQ(ReverseBits(0x80000001u, 32), 0x80000001u);
  EXPECT_EQ(ReverseBits(1, 17), 0x10000u);
}

TEST(BitReader, PaddingAndByteAccess) {
  const std::vector<uint8_t> in = {0xA5, 0x01, 0x02, 0x03};
  BitReader br(in);
  EXPECT_EQ(br.Read(4), 0x5u);
  br.AlignToByte();
  // The bytes after the first, still buffered, are handed back whole.
  auto rest = br.TakeRemainingBytes();
  ASSERT_EQ(rest.size(), 3u);
  EXPECT_EQ(rest[0], 0x01);
  br.SkipBytes(2);
  EXPECT_EQ(br.Read(8), 0x03u);
  EXPECT_FALSE(br.Overrun());
  EXPECT_EQ(br.Read(1), 0u);  // past the end: zero, and flagged
  EXPECT_TRUE(br.Overrun());
}

}  // namespace
