// The application's base64 coder: standard alphabet, "=" padding, no line
// breaks when encoding; carriage returns and line feeds are skipped when decoding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

  // Decodes a whole file's text with Decode (the same answer), into a buffer
  // of the size the text can need: 0 or 13.
  uint32_t DecodeAll(std::span<const uint8_t> text, std::vector<uint8_t>& output) const;

  // True when the data is not empty and every byte is of the alphabet, '=',
  // CR or LF: only then is a signature file taken for base64.
  static bool IsBase64Text(std::span<const uint8_t> data);
};

}  // namespace vel::app
