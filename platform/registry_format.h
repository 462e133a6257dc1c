// The in-memory form of one settings hive and its text file.
//
// A hive file looks like this (one value per line, UTF-8):
//
//   VELDOC-REGISTRY 1
//   ; comment lines start with a semicolon
//   [HKEY_CURRENT_USER\Software\Marvot-TI\VELDOC]
//   @="default value of the key"
//   "TSAHOST"="http://example.test:80"
//   "CRLURLS"="http://a.test/x.crl\r\nhttp://b.test/y.crl\r\n"
//   "TSASIGNREQ"=dword:00000001
//   "Path"=expand:"%HOME%/veldoc"
//   "Blob"=hex:01,02,ff
//   "Other"=hex(7):61,00,00
//
// Sections name a key by its full path below the hive's name; keys that are
// only named as part of a longer path exist too. String data escapes \\, \",
// \r, \n, \t and any other control byte as \xHH; other bytes are written as
// they are. `dword:` is a REG_DWORD of exactly four bytes, `hex:` a REG_BINARY,
// `hex(N):` any other type N (hexadecimal).
//
// The reader never fails: lines it cannot understand are skipped and the hive
// is marked damaged, so a writer can keep a copy of the file before it
// replaces it. Key and value names compare without regard to ASCII case and
// keep the spelling they were created with.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vel::platform::regfile {

inline constexpr std::string_view kHeader = "VELDOC-REGISTRY 1";

struct Value {
  std::string name;            // as first written; empty for the key's default value
  uint32_t type = 0;
  std::vector<uint8_t> data;   // strings without a terminating zero
  uint64_t order = 0;          // position among the key's values
};

struct Key {
  std::string path;                     // display path below the hive, "" for the hive itself
  std::map<std::string, Value> values;  // by folded name
  uint64_t next_order = 0;
};

class Hive {
 public:
  Hive();

  // Path components are separated by backslashes; empty components are ignored.
  const Key* Find(std::string_view path) const;
  Key* Find(std::string_view path);
  // Creates the key and every missing key above it.
  Key& Create(std::string_view path);
  // Removes the key and everything below it; false when it does not exist.
  // The hive's own root cannot be removed.
  bool DeleteTree(std::string_view path);
  // Names of the direct subkeys, ordered without regard to case.
  std::vector<std::string> SubKeyNames(std::string_view path) const;

  static void SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data);
  static const Value* FindValue(const Key& key, std::string_view name);
  static bool DeleteValue(Key& key, std::string_view name);
  // Values in the order they were first written.
  static std::vector<const Value*> OrderedValues(const Key& key);

  const std::map<std::string, Key>& keys() const { return keys_; }

  bool damaged = false;  // some of the file could not be read

 private:
  std::map<std::string, Key> keys_;  // by folded full path; "" is the root
};

// Lower-cases ASCII letters; names of this system are ASCII, other bytes stay as they are.
std::string FoldName(std::string_view name);
// Splits a backslash path into its non-empty components.
std::vector<std::string_view> SplitPath(std::string_view path);
// Joins the non-empty components of a path with single backslashes.
std::string NormalizePath(std::string_view path);

// `hive_name` is "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
Hive ParseHive(std::string_view text, std::string_view hive_name);
std::string SerializeHive(const Hive& hive, std::string_view hive_name);

}  // namespace vel::platform::regfile
