#include "xades/big_integer.h"

#include <algorithm>

namespace vel::xades {

unsigned BlockBitLength(uint32_t x) {
  unsigned bits = 0;
  for (; x != 0; x >>= 1) ++bits;
  return bits;
}

BigUnsigned::BigUnsigned(int x) {
  if (x < 0) throw "BigUnsigned::BigUnsigned(int): Cannot construct a BigUnsigned from a negative number";
  if (x > 0) {
    blocks_.assign(1, static_cast<uint32_t>(x));
    length_ = 1;
  }
}

BigUnsigned::BigUnsigned(unsigned short x) {
  if (x > 0) {
    blocks_.assign(1, x);
    length_ = 1;
  }
}

BigUnsigned::operator unsigned short() const {
  if (length_ == 0) return 0;
  if (length_ == 1 && blocks_[0] <= 0xFFFF) return static_cast<unsigned short>(blocks_[0]);
  throw "BigUnsigned::operator unsigned short: Value is too big for an unsigned short";
}

void BigUnsigned::allocate(uint32_t capacity) {
  if (capacity > blocks_.size()) blocks_.assign(capacity, 0);
}

void BigUnsigned::trim() {
  while (length_ > 0 && blocks_[length_ - 1] == 0) --length_;
}

BigUnsigned BigUnsigned::fromBlocks(std::vector<uint32_t> blocks) {
  BigUnsigned r;
  r.length_ = static_cast<uint32_t>(blocks.size());
  r.blocks_ = std::move(blocks);
  r.trim();
  return r;
}

void BigUnsigned::add(const BigUnsigned& a, const BigUnsigned& b) {
  if (this == &a || this == &b) {
    BigUnsigned sum;
    sum.add(a, b);
    *this = std::move(sum);
    return;
  }
  if (a.length_ == 0) {
    *this = b;
    return;
  }
  if (b.length_ == 0) {
    *this = a;
    return;
  }
  const BigUnsigned& x = a.length_ >= b.length_ ? a : b;
  const BigUnsigned& y = a.length_ >= b.length_ ? b : a;
  allocate(x.length_ + 1);
  uint64_t carry = 0;
  for (uint32_t i = 0; i < x.length_; ++i) {
    carry += static_cast<uint64_t>(x.blocks_[i]) + (i < y.length_ ? y.blocks_[i] : 0);
    blocks_[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  blocks_[x.length_] = static_cast<uint32_t>(carry);
  length_ = x.length_ + (carry != 0 ? 1 : 0);
}

void BigUnsigned::multiply(const BigUnsigned& a, const BigUnsigned& b) {
  if (this == &a || this == &b) {
    BigUnsigned product;
    product.multiply(a, b);
    *this = std::move(product);
    return;
  }
  if (a.length_ == 0 || b.length_ == 0) {
    length_ = 0;
    return;
  }
  const uint32_t n = a.length_ + b.length_;
  allocate(n);
  std::fill(blocks_.begin(), blocks_.begin() + n, 0u);
  for (uint32_t i = 0; i < a.length_; ++i) {
    uint64_t carry = 0;
    for (uint32_t j = 0; j < b.length_; ++j) {
      carry += static_cast<uint64_t>(a.blocks_[i]) * b.blocks_[j] + blocks_[i + j];
      blocks_[i + j] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
    for (uint32_t k = i + b.length_; carry != 0 && k < n; ++k) {
      carry += blocks_[k];
      blocks_[k] = static_cast<uint32_t>(carry);
      carry >>= 32;
    }
  }
  length_ = n;
  trim();
}

void BigUnsigned::divideWithRemainder(const BigUnsigned& b, BigUnsigned& q) {
  if (this == &q)
    throw "BigUnsigned::divideWithRemainder: Cannot write quotient and remainder into the same variable";
  if (&b == this || &b == &q) {
    const BigUnsigned copy = b;
    divideWithRemainder(copy, q);
    return;
  }
  if (b.length_ == 0 || length_ < b.length_) {
    q.length_ = 0;
    return;
  }
  if (b.length_ == 1) {
    // One-block divisor (every base conversion): short division by words.
    const uint64_t d = b.blocks_[0];
    q.allocate(length_);
    std::fill(q.blocks_.begin(), q.blocks_.begin() + length_, 0u);
    uint64_t rest = 0;
    for (uint32_t i = length_; i-- > 0;) {
      const uint64_t cur = (rest << 32) | blocks_[i];
      q.blocks_[i] = static_cast<uint32_t>(cur / d);
      rest = cur % d;
    }
    q.length_ = length_;
    q.trim();
    blocks_.assign(std::max<size_t>(blocks_.size(), 1), 0);
    blocks_[0] = static_cast<uint32_t>(rest);
    length_ = 1;
    trim();
    return;
  }
  // Long division, one bit at a time from the top: subtract b shifted by each
  // amount when that leaves no borrow.
  const uint32_t origLength = length_;
  blocks_.resize(std::max<size_t>(blocks_.size(), origLength + 1));
  blocks_[origLength] = 0;
  length_ = origLength + 1;
  const uint32_t qLength = origLength - b.length_ + 1;
  q.allocate(qLength);
  std::fill(q.blocks_.begin(), q.blocks_.begin() + qLength, 0u);
  q.length_ = qLength;
  std::vector<uint32_t> scratch(length_);
  for (uint32_t i = qLength; i-- > 0;) {
    for (int bit = 31; bit >= 0; --bit) {
      // this - (b << (32*i + bit)) into scratch, over blocks i .. i + b.length_.
      bool borrow = false;
      uint32_t k = i;
      for (uint32_t j = 0; j <= b.length_; ++j, ++k) {
        uint32_t shifted = 0;
        if (j < b.length_) shifted = b.blocks_[j] << bit;
        if (bit != 0 && j > 0) shifted |= b.blocks_[j - 1] >> (32 - bit);
        const uint64_t sub = static_cast<uint64_t>(shifted) + (borrow ? 1 : 0);
        borrow = sub > blocks_[k];
        scratch[k] = static_cast<uint32_t>(static_cast<uint64_t>(blocks_[k]) - sub);
      }
      for (; k < length_ && borrow; ++k) {
        borrow = blocks_[k] == 0;
        scratch[k] = blocks_[k] - 1;
      }
      if (!borrow) {
        q.blocks_[i] |= 1u << bit;
        for (uint32_t m = i; m < k; ++m) blocks_[m] = scratch[m];
      }
    }
  }
  q.trim();
  trim();
}

BigUnsignedInABase::BigUnsignedInABase(const BigUnsigned& x, uint16_t base) : base_(base) {
  if (base < 2) throw "BigUnsignedInABase(BigUnsigned, Base): The base must be at least 2";
  digits_.reserve(CeilingDivide(32 * x.length(), BlockBitLength(base) - 1));
  const BigUnsigned b(base);
  BigUnsigned rest = x;
  BigUnsigned quotient;
  while (!rest.isZero()) {
    rest.divideWithRemainder(b, quotient);
    digits_.push_back(static_cast<unsigned short>(rest));
    std::swap(rest, quotient);
  }
}

BigUnsignedInABase::BigUnsignedInABase(const std::string& text, uint16_t base) : base_(base) {
  if (base > 36)
    throw "BigUnsignedInABase(std::string, Base): The default string conversion routines use the "
          "symbol set 0-9, A-Z and therefore support only up to base 36.  You tried a conversion "
          "with a base over 36; write your own string conversion routine.";
  digits_.reserve(text.size());
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    const char c = *it;
    if (c >= '0' && c <= '9')
      digits_.push_back(static_cast<uint16_t>(c - '0'));
    else if (c >= 'A' && c <= 'Z')
      digits_.push_back(static_cast<uint16_t>(c - 'A' + 10));
    else if (c >= 'a' && c <= 'z')
      digits_.push_back(static_cast<uint16_t>(c - 'a' + 10));
    else
      throw "BigUnsignedInABase(std::string, Base): Bad symbol in input.  Only 0-9, A-Z, a-z are accepted.";
  }
  while (!digits_.empty() && digits_.back() == 0) digits_.pop_back();
}

BigUnsignedInABase::operator std::string() const {
  if (base_ > 36)
    throw "BigUnsignedInABase ==> std::string: The default string conversion routines use the "
          "symbol set 0-9, A-Z and therefore support only up to base 36.  You tried a conversion "
          "with a base over 36; write your own string conversion routine.";
  if (digits_.empty()) return "0";
  std::string text;
  text.reserve(digits_.size());
  for (auto it = digits_.rbegin(); it != digits_.rend(); ++it)
    text.push_back(static_cast<char>(*it < 10 ? '0' + *it : 'A' + (*it - 10)));
  return text;
}

BigUnsigned BigUnsignedInABase::ToBigUnsigned() const {
  BigUnsigned value;
  const BigUnsigned base(base_);
  for (auto it = digits_.rbegin(); it != digits_.rend(); ++it) {
    value.multiply(value, base);
    value.add(value, BigUnsigned(*it));
  }
  return value;
}

std::string hexToDecimal(const std::string& hex) {
  return static_cast<std::string>(BigUnsignedInABase(BigUnsignedInABase(hex, 16).ToBigUnsigned(), 10));
}

}  // namespace vel::xades
