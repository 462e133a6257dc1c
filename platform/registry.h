// The settings store: a small registry with two hives, the current user's and
// the machine's, each kept in one text file (format: platform/registry_format.h).
//
// Where the files are:
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/veldoc/hkcu.reg  (default ~/.config/veldoc/hkcu.reg)
//   HKEY_LOCAL_MACHINE  /etc/veldoc/hklm.reg
//   VELDOC_REGISTRY_DIR=<dir> puts both in <dir> (hkcu.reg, hklm.reg).
//
// Every read takes the file as it is now (parsing it again only when its
// bytes differ from those last parsed); every change re-reads the file under
// an exclusive lock (<file>.lock), applies itself, writes the whole hive to a
// temporary file in the same folder, syncs it and renames it over the old one,
// so programs that write at the same time lose nothing and readers never see a
// half-written file. A file that cannot be read completely is copied aside
// (<file>.damaged-<time>-<pid>) before the first change replaces it.
//
// Key and value names compare without regard to case. Functions return Win32
// error numbers (platform/win32_error.h): 0 success, 2 key or value not found,
// 5 access denied (also a change through a key opened for reading only),
// 87 an invalid name (also a name over 255 characters or a path deeper than
// 512 keys, Windows' limits), 1018 the open key was deleted meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::platform {

enum class RegHive { kCurrentUser, kLocalMachine };

// Value types, numbered as on Windows.
enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

// Access asked for when a key is opened.
enum RegAccess : uint32_t {
  kRegRead = 1,
  kRegWrite = 2,
  kRegReadWrite = 3,
};

inline constexpr uint32_t kErrorKeyDeleted = 1018;

struct RegValue {
  uint32_t type = kRegNone;
  // Strings (REG_SZ, REG_EXPAND_SZ) are held without a terminating zero.
  std::vector<uint8_t> data;
};

struct RegNamedValue {
  std::string name;  // empty for the key's default value
  RegValue value;
};

// An open key: which hive, which path, what it may do. Closing only forgets it.
class RegKey {
 public:
  RegKey() = default;
  bool IsOpen() const { return open_; }
  RegHive hive() const { return hive_; }
  const std::string& path() const { return path_; }  // backslash path as opened
  uint32_t access() const { return access_; }
  void Close() { open_ = false; }

 private:
  friend struct RegKeyAccess;
  RegHive hive_ = RegHive::kCurrentUser;
  std::string path_;
  uint32_t access_ = 0;
  bool open_ = false;
};

// Opens an existing key (backslash path below the hive; "" is the hive itself).
uint32_t RegOpenKey(RegHive hive, std::string_view path, uint32_t access, RegKey& key);
// Opens the key for reading and writing, creating it and the keys above it when missing.
uint32_t RegCreateKey(RegHive hive, std::string_view path, RegKey& key);

uint32_t RegQueryValue(const RegKey& key, std::string_view name, RegValue& value);
// Sets a value of any type. For REG_SZ and REG_EXPAND_SZ one terminating zero
// at the end of `data`, as Win32 callers count it, is not stored.
uint32_t RegSetValue(const RegKey& key, std::string_view name, uint32_t type, std::span<const uint8_t> data);
uint32_t RegSetString(const RegKey& key, std::string_view name, std::string_view text);        // REG_SZ
uint32_t RegSetExpandString(const RegKey& key, std::string_view name, std::string_view text);  // REG_EXPAND_SZ
uint32_t RegSetDword(const RegKey& key, std::string_view name, uint32_t value);                // REG_DWORD
uint32_t RegDeleteValue(const RegKey& key, std::string_view name);

// Direct subkeys, ordered by name without regard to case.
uint32_t RegEnumSubKeys(const RegKey& key, std::vector<std::string>& names);
// Values in the order they were first written.
uint32_t RegEnumValues(const RegKey& key, std::vector<RegNamedValue>& values);

// Deletes a key with all its values and subkeys (the hive itself cannot be deleted).
uint32_t RegDeleteTree(RegHive hive, std::string_view path);

// Replaces each %NAME% whose variable is set in the environment by its value
// (names are matched exactly first, then without regard to case); other
// references and single percent signs stay as they are.
std::string ExpandEnvironmentStrings(std::string_view text);

// The file that holds a hive, as the rules above place it.
std::filesystem::path RegHiveFile(RegHive hive);

}  // namespace vel::platform
