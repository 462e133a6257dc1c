// Hive files may be edited by hand or damaged: the reader must take any bytes,
// and what it writes back must read again as the same hive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/registry_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::platform::regfile;
  std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
  Hive first = ParseHive(text, "HKEY_CURRENT_USER");
  std::string written = SerializeHive(first, "HKEY_CURRENT_USER");
  Hive second = ParseHive(written, "HKEY_CURRENT_USER");
  if (second.damaged) std::abort();
  if (SerializeHive(second, "HKEY_CURRENT_USER") != written) std::abort();
  if (second.KeyCount() != first.KeyCount()) std::abort();
  return 0;
}
