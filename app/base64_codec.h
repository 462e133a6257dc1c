// The application's base64 coder: standard alphabet, "=" padding, no line
// breaks when encoding; carriage returns and line feeds are skipped when decoding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vel::app {

class Base64Codec {
 public:
  // Decode results.
  static constexpr uint32_t kOk = 0;
  static constexpr uint32_t kBufferTooSmall = 8;
  static constexpr uint32_t kInvalidData = 13;

  virtual ~Base64Codec() = default;

  std::string Encode(std::span<const uint8_t> input) const;

  // Decodes `text` (up to its first zero character, if any) into `output`,
  // whose size is the capacity. `length` receives the number of bytes written,
  // which are valid whatever the result: 0, 8 when the next bytes would not
  // fit, 13 when the text is not base64 (an empty text included). Decoding
  // ends after the first group that gives fewer than three bytes.
  uint32_t Decode(std::string_view text, std::span<uint8_t> output, uint32_t& length) const;
};

}  // namespace vel::app
