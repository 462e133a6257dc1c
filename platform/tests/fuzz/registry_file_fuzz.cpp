// The settings store over a hive file of any bytes, as the program meets it at
// start: reads through keys, then a change, which keeps a copy of a damaged
// file and writes one that reads back whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "platform/registry_format.h"
#include "platform/tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::platform;
  namespace fs = std::filesystem;
  const fs::path& dir = vel::fuzz::FuzzFolder("VELDOC_REGISTRY_DIR");
  vel::fuzz::EmptyFolder(dir);
  const std::string text(reinterpret_cast<const char*>(data), data ? size : 0);
  std::ofstream(dir / "hkcu.reg", std::ios::binary) << text;
  const bool damaged = regfile::ParseHive(text, "HKEY_CURRENT_USER").damaged;

  RegKey root;
  if (RegOpenKey(RegHive::kCurrentUser, "", kRegRead, root) != 0) std::abort();
  std::vector<std::string> names;
  RegEnumSubKeys(root, names);
  for (const std::string& name : names) {
    RegKey sub;
    std::vector<RegNamedValue> values;
    if (RegOpenKey(RegHive::kCurrentUser, name, kRegRead, sub) == 0) RegEnumValues(sub, values);
    RegValue v;
    for (const RegNamedValue& nv : values) RegQueryValue(sub, nv.name, v);
  }

  RegKey key;
  if (RegCreateKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", key) != 0) std::abort();
  if (RegSetDword(key, "TSASIGNREQ", 1) != 0) std::abort();

  // A damaged file is kept aside, byte for byte, before it is replaced.
  size_t copies = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.path().filename().string().starts_with("hkcu.reg.damaged-")) continue;
    ++copies;
    std::ifstream in(e.path(), std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (kept != text) std::abort();
  }
  if (copies != (damaged ? 1u : 0u)) std::abort();

  std::ifstream in(dir / "hkcu.reg", std::ios::binary);
  const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (regfile::ParseHive(now, "HKEY_CURRENT_USER").damaged) std::abort();
  RegValue v;
  if (RegQueryValue(key, "tsasignreq", v) != 0 || v.data.size() != 4 || v.data[0] != 1) std::abort();
  return 0;
}
