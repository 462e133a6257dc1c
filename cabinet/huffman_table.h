// The Huffman decoding-table builder every decoder of the cabinet library uses.
//
// A table is a first level indexed by the next `rootBits` input bits (least
// significant bit first) and second-level tables for longer codes. Each entry
// is one 32-bit word: bits 0-7 the code length to drop at this level, bits 8-15
// an operation, bits 16-31 a value. The decoder hands the builder a per-symbol
// operation and value (for example "length base 11 with 1 extra bit"), so the
// decoding loop needs no second lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vel::cabinet {

struct HuffmanEntry {
  // Operations. 0..15: a base value followed by that many extra bits.
  static constexpr uint8_t kLiteral = 16;    // value is the symbol itself
  static constexpr uint8_t kEndOfBlock = 32;
  static constexpr uint8_t kSubTable = 64;   // | width; value = index of the sub-table
  static constexpr uint8_t kInvalid = 128;   // a code that no symbol owns

  static constexpr uint32_t Make(uint8_t bits, uint8_t op, uint16_t value) {
    return uint32_t(bits) | uint32_t(op) << 8 | uint32_t(value) << 16;
  }
  static constexpr unsigned Bits(uint32_t e) { return e & 0xFF; }
  static constexpr unsigned Op(uint32_t e) { return (e >> 8) & 0xFF; }
  static constexpr unsigned Value(uint32_t e) { return e >> 16; }
};

// What a symbol decodes to.
struct HuffmanSymbol {
  uint8_t op;
  uint16_t value;
};

enum class HuffmanBuild {
  kOk,
  kIncomplete,      // codes left unused (a decoder decides whether that is acceptable)
  kOverSubscribed,  // more codes than the lengths allow
  kTooLarge,        // the table does not fit in the storage given
  kBadLengths,      // a length above the maximum, or more than 656 symbols
};

struct HuffmanTable {
  std::span<const uint32_t> entries;  // empty when every length was 0
  unsigned rootBits = 0;
};

// Builds a decoding table for the canonical code given by `lengths` (0 = symbol
// unused). `symbols` gives what each symbol decodes to; when empty, symbol i
// decodes to a literal of value i. The first level has `rootBits` bits, lowered
// to the longest code length. A single code of length 1 counts as complete
// (deflate allows one distance code). Codes are at most `maxLength` bits (15
// for deflate, 16 for LZX). Never writes outside `storage`.
HuffmanBuild BuildHuffmanTable(std::span<const uint8_t> lengths, std::span<const HuffmanSymbol> symbols,
                               unsigned rootBits, std::span<uint32_t> storage, HuffmanTable& out,
                               unsigned maxLength = 15);

// ---- Encoder side ----------------------------------------------------------

inline constexpr unsigned kMaxEncodedSymbols = 720;  // the largest alphabet a compressor uses
inline constexpr unsigned kMaxEncodedBits = 16;

// Code lengths, limited to maxBits (at most 16), for the symbols with nonzero
// frequency (at most kMaxEncodedSymbols). At least two symbols always get a
// code, so every code is complete: some readers refuse a one-code tree.
void BuildCodeLengths(std::span<const uint32_t> freq, unsigned maxBits, std::span<uint8_t> lengths);

// Canonical codes for the given lengths (at most 16), most significant bit first.
void CanonicalCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes);

}  // namespace vel::cabinet
