// The bit reader every decoder of the cabinet library uses: least significant
// bit first over a byte span, refilled 64 bits at a time, never reading past
// the span. Past the end it supplies zero bytes and counts them, so a decoder
// can tell a truncated stream (padding consumed) from a complete one.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vel::cabinet {

static_assert(std::endian::native == std::endian::little, "the refill loads little-endian words");

class BitReader {
 public:
  BitReader() = default;
  explicit BitReader(std::span<const uint8_t> in) : p_(in.data()), end_(in.data() + in.size()) {}

  // Makes at least 56 bits available (real or padding).
  void Refill() {
    if (end_ - p_ >= 8) {
      uint64_t w;
      std::memcpy(&w, p_, 8);
      bits_ |= w << count_;
      p_ += (63 - count_) >> 3;
      count_ |= 56;
    } else {
      RefillSlow();
    }
  }

  // Peek/Drop need Refill() first; n <= 56.
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1)); }
  uint64_t PeekAll() const { return bits_; }
  void Drop(unsigned n) {
    bits_ >>= n;
    count_ -= n;
  }
  uint32_t Read(unsigned n) {
    if (count_ < n) Refill();
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }
  unsigned Available() const { return count_; }

  // Drops the bits up to the next byte boundary.
  void AlignToByte() { Drop(count_ & 7); }

  // True when more bits were taken than the input holds.
  bool Overrun() const { return count_ < padBytes_ * 8; }

  // Bytes of real input not yet taken; the reader must be at a byte boundary.
  // Hands back the whole bytes still in the bit buffer, then forgets them.
  std::span<const uint8_t> TakeRemainingBytes() {
    const size_t buffered = count_ / 8;
    const size_t real = buffered > padBytes_ ? buffered - padBytes_ : 0;
    const uint8_t* start = p_ - real;
    bits_ = 0;
    count_ = 0;
    padBytes_ = 0;
    const uint8_t* begin = start;
    p_ = start;
    return {begin, static_cast<size_t>(end_ - begin)};
  }
  // Skips n bytes after TakeRemainingBytes(); n must not exceed what it returned.
  void SkipBytes(size_t n) { p_ += n; }

 private:
  void RefillSlow() {
    while (count_ <= 56) {
      uint64_t byte = 0;
      if (p_ < end_) {
        byte = *p_++;
      } else {
        ++padBytes_;
      }
      bits_ |= byte << count_;
      count_ += 8;
    }
  }

  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  size_t padBytes_ = 0;
};

// Formats that send their bits most significant first (LZX, Quantum) are read
// with the same reader over a copy whose bytes have their bits mirrored: codes
// then arrive exactly as deflate's do, and a plain n-bit value read from the
// copy comes out mirrored, which ReverseBits turns back.
inline constexpr std::array<uint8_t, 256> kReversedByte = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = 0;
    for (unsigned b = 0; b < 8; ++b) r |= ((i >> b) & 1u) << (7 - b);
    t[i] = static_cast<uint8_t>(r);
  }
  return t;
}();

// The low n bits of v (n <= 32) in reverse order.
inline uint32_t ReverseBits(uint32_t v, unsigned n) {
  if (n == 0) return 0;
  const uint32_t r = uint32_t(kReversedByte[v & 0xFF]) << 24 | uint32_t(kReversedByte[(v >> 8) & 0xFF]) << 16 |
                     uint32_t(kReversedByte[(v >> 16) & 0xFF]) << 8 | kReversedByte[v >> 24];
  return r >> (32 - n);
}

}  // namespace vel::cabinet
