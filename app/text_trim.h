// Cutting blanks off both ends of a text.
#pragma once

#include <string>
#include <string_view>

namespace vel::app {

// The text without the characters of `chars` (blank and tab unless told
// otherwise) at its start and end.
inline std::string Trim(std::string_view s, std::string_view chars = " \t") {
  const size_t b = s.find_first_not_of(chars);
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(chars) - b + 1));
}

}  // namespace vel::app
