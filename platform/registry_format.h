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
// only named as part of a longer path exist too, and the writer leaves out the
// sections of keys without values that have subkeys. String data escapes \\, \",
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

// Windows' own limits: a key name has at most 255 characters and keys nest at
// most 512 deep. A section beyond them is a damaged line.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;

struct Value {
  std::string name;            // as first written; empty for the key's default value
  uint32_t type = 0;
  std::vector<uint8_t> data;   // strings without a terminating zero
  uint64_t order = 0;          // position among the key's values
};

// One key of the tree. Each key holds only its own name, so a hive's memory
// stays in proportion to its file however deep the keys nest.
struct Key {
  std::string name;                     // as created; "" for the hive itself
  std::map<std::string, Value> values;  // by folded name
  uint64_t next_order = 0;
  std::map<std::string, Key> subkeys;   // by folded name
};

class Hive {
 public:
  // Path components are separated by backslashes; empty components are
  // ignored. `spelled` receives the path as its keys were created.
  const Key* Find(std::string_view path, std::string* spelled = nullptr) const;
  Key* Find(std::string_view path, std::string* spelled = nullptr);
  // Creates the key and every missing key above it. The path must pass ValidKeyPath.
  Key& Create(std::string_view path, std::string* spelled = nullptr);
  // Removes the key and everything below it; false when it does not exist.
  // The hive's own root cannot be removed.
  bool DeleteTree(std::string_view path);
  // Names of the direct subkeys, ordered without regard to case.
  std::vector<std::string> SubKeyNames(std::string_view path) const;
  // How many keys the hive holds, the root included.
  size_t KeyCount() const;

  static void SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data);
  static const Value* FindValue(const Key& key, std::string_view name);
  static bool DeleteValue(Key& key, std::string_view name);
  // Values in the order they were first written.
  static std::vector<const Value*> OrderedValues(const Key& key);

  const Key& root() const { return root_; }

  bool damaged = false;  // some of the file could not be read

 private:
  Key root_;
};

// Within Windows' limits of name length and depth, and no control characters
// (they would break the section line of the file).
bool ValidKeyPath(std::string_view path);
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
