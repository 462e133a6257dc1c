// Bounded little-endian reads over a byte span, shared by the metafile and
// bitmap decoders. A read that would leave the span yields 0 and never touches
// memory outside it; callers check sizes first and treat 0 as a safe default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vel::gfx {

class LeReader {
 public:
  LeReader() = default;
  explicit LeReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }

  // True when [offset, offset + length) lies inside the span; 64-bit so that
  // lengths taken from the input cannot wrap.
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }

  uint8_t U8(uint64_t offset) const { return Has(offset, 1) ? bytes_[offset] : 0; }
  uint16_t U16(uint64_t offset) const {
    if (!Has(offset, 2)) return 0;
    return static_cast<uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
  }
  uint32_t U32(uint64_t offset) const {
    if (!Has(offset, 4)) return 0;
    return static_cast<uint32_t>(bytes_[offset]) | (static_cast<uint32_t>(bytes_[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes_[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes_[offset + 3]) << 24);
  }
  int16_t I16(uint64_t offset) const { return static_cast<int16_t>(U16(offset)); }
  int32_t I32(uint64_t offset) const { return static_cast<int32_t>(U32(offset)); }
  float F32(uint64_t offset) const {
    uint32_t bits = U32(offset);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // The sub-span [offset, offset + length), or an empty span when it does not fit.
  std::span<const uint8_t> Sub(uint64_t offset, uint64_t length) const {
    if (!Has(offset, length)) return {};
    return bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace vel::gfx
