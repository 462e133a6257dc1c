// Reading and writing the program's settings: the two value readers every
// window uses, the writers, the protected proxy credentials and the per-user
// reset after a newer installation. Names and defaults: app/registry_names.h.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/registry_names.h"
#include "platform/registry.h"

namespace vel::app {

using platform::RegHive;

// Reads one DWORD value. `value_path` is the key path, a backslash and the
// value name; leading backslashes, and backslashes after the value name, are
// ignored. The value is read at construction; with `always_reload` every Get
// reads it again. A missing key or value, or data longer than four bytes
// (a string counts with its terminator), gives the default; shorter data of
// any type is taken little-endian.
class CRegDword {
 public:
  CRegDword(std::string_view value_path, uint32_t default_value, bool always_reload, RegHive root);
  uint32_t Get();

 private:
  uint32_t Read();

  RegHive root_;
  platform::RegKey key_;  // open only while reading
  std::string value_name_;
  std::string subkey_;
  uint32_t value_ = 0;
  uint32_t default_;
  bool loaded_ = false;
  bool always_reload_;
};

// Reads one string value, as CRegDword does. The text ends at the first zero;
// a REG_EXPAND_SZ value has its %NAME% references expanded.
class CRegString {
 public:
  CRegString(std::string_view value_path, std::string_view default_value, bool always_reload, RegHive root);
  std::string Get();

 private:
  std::string Read();

  RegHive root_;
  platform::RegKey key_;  // open only while reading
  std::string value_name_;
  std::string subkey_;
  std::string value_;
  std::string default_;
  bool loaded_ = false;
  bool always_reload_;
};

// Splits "key\\path\\value" into the key path and the value name, as the readers do.
void SplitValuePath(std::string_view value_path, std::string& subkey, std::string& value_name);

// Writers: create the key when missing and set one value. They return 0 or the
// Win32 error, so that a failed save is never reported as saved.
uint32_t WriteRegDword(RegHive root, std::string_view key_path, std::string_view name, uint32_t value);
uint32_t WriteRegString(RegHive root, std::string_view key_path, std::string_view name, std::string_view text);

// ---- Protected proxy credentials ----
// RC2 in CBC mode, a 128-bit key with an effective length of 40 bits, an
// all-zero IV and PKCS#5 padding; the key is the first 16 bytes of the SHA-1
// of the program's built-in pass phrase.

// The 16 key bytes (for checks against other implementations).
std::vector<uint8_t> ProtectedSettingKey();
// Encrypts `plain`; the cipher text is the plain length rounded up to the next
// multiple of 8 above it. False when the cipher is not available.
bool ProtectSetting(std::span<const uint8_t> plain, std::vector<uint8_t>& cipher);
// Decrypts `buffer` in place and shortens it to the plain text. False (buffer
// untouched) when the bytes are not a cipher text of this key.
bool UnprotectSetting(std::vector<uint8_t>& buffer);

// Stores a credential as Base64 of its cipher text; an empty one as the empty
// text. When it cannot be encrypted the empty text is stored and 1359
// (internal error) returned; a failed write returns its error.
uint32_t StoreProtectedSetting(RegHive root, std::string_view key_path, std::string_view name,
                               std::string_view plain);
// Reads a stored credential (missing: empty, true). A text that does not
// decode and decrypt gives the empty text and false.
bool RevealProtectedSetting(RegHive root, std::string_view value_path, std::string& plain);

// ---- Installation marker ----
// "YYYY-MM-DDHhh:mm:ss" (19 characters) of a local time.
std::string FormatInstallMarker(const std::tm& local_time);
std::string CurrentInstallMarker();
// Compares two markers as text without regard to ASCII case, over at most
// their first 19 characters (the marker's length): <0, 0 or >0.
int CompareInstallMarkers(std::string_view a, std::string_view b);

// Constructing one does the per-user reset: when the user's marker `znacznik`
// is not greater than the machine's `LastInstall` (missing ones read as empty),
// the user key is deleted with everything below it, created again and given
// a new marker with the current time.
class CInstallMarker {
 public:
  CInstallMarker();
  // Whether the user key was reset, and the status of the reset's writes (0 when
  // nothing had to be written).
  bool reset() const { return reset_; }
  uint32_t status() const { return status_; }

 private:
  bool reset_ = false;
  uint32_t status_ = 0;
};

}  // namespace vel::app
