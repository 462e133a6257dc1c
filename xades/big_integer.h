// Unsigned integers of any size and their digits in a base from 2 to 36, for
// writing certificate serial numbers and CRL numbers in decimal. Errors are
// thrown as the message text (const char*).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::xades {

unsigned BlockBitLength(uint32_t x);
constexpr uint32_t CeilingDivide(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

class BigUnsigned {
 public:
  BigUnsigned() = default;
  BigUnsigned(int x);             // throws for a negative value
  BigUnsigned(unsigned short x);  // NOLINT
  explicit operator unsigned short() const;  // throws when it does not fit

  uint32_t length() const { return length_; }
  uint32_t capacity() const { return static_cast<uint32_t>(blocks_.size()); }
  uint32_t block(uint32_t i) const { return i < length_ ? blocks_[i] : 0; }
  bool isZero() const { return length_ == 0; }

  void add(const BigUnsigned& a, const BigUnsigned& b);
  void multiply(const BigUnsigned& a, const BigUnsigned& b);
  // this = this mod b, q = this / b; throws when q is this.
  void divideWithRemainder(const BigUnsigned& b, BigUnsigned& q);
  // Grow-only storage; the old blocks are not kept when it grows.
  void allocate(uint32_t capacity);

  // Built from blocks, least significant first (trimmed).
  static BigUnsigned fromBlocks(std::vector<uint32_t> blocks);

 private:
  void trim();
  uint32_t length_ = 0;
  std::vector<uint32_t> blocks_;
};

class BigUnsignedInABase {
 public:
  BigUnsignedInABase(const BigUnsigned& x, uint16_t base);
  BigUnsignedInABase(const std::string& text, uint16_t base);

  explicit operator std::string() const;
  BigUnsigned ToBigUnsigned() const;

  uint32_t length() const { return static_cast<uint32_t>(digits_.size()); }
  uint16_t base() const { return base_; }

 private:
  std::vector<uint16_t> digits_;  // least significant first, no leading zeros
  uint16_t base_ = 10;
};

// Hexadecimal text (either case) to decimal text; throws the messages above.
std::string hexToDecimal(const std::string& hex);

}  // namespace vel::xades
