// Addresses and proxy settings come from configuration and certificates: the
// two splitters must take any bytes without crashing and keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/http_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vel::platform::UrlParts parts;
  if (vel::platform::CrackUrl(text, parts) == 0) {
    if (parts.host.empty() || parts.port == 0 || parts.path.empty() || parts.path[0] != '/')
      std::abort();
    for (char c : parts.path)
      if (static_cast<unsigned char>(c) <= 0x20) std::abort();  // nothing to split a request line
  }
  if (auto proxy = vel::platform::ParseProxyAddress(text)) {
    if (proxy->host.empty() || proxy->port == 0) std::abort();
    for (char c : proxy->host)
      if (c == '@' || c == '/' || static_cast<unsigned char>(c) <= 0x20) std::abort();
  }
  return 0;
}
