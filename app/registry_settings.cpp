#include "app/registry_settings.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include "app/base64_codec.h"
#include "platform/openssl_providers.h"
#include "platform/win32_error.h"

namespace vel::app {
namespace {

using platform::RegKey;
using platform::RegValue;

// The fixed pass phrase behind the credential key: 44 ASCII letters and digits.
// Credentials stored under another phrase do not decrypt.
constexpr std::string_view kPassPhrase = "AzKA8tvnFfMBeWjKjaEvZTyl0plRLUA7I95HcZc8PKMJ";
static_assert(kPassPhrase.size() == 44);

constexpr size_t kKeyBytes = 16;
constexpr size_t kEffectiveKeyBits = 40;
constexpr size_t kBlockBytes = 8;
constexpr size_t kMarkerLength = 19;

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// RC2-CBC with the credential key, its effective length and a zero IV.
bool Rc2Cbc(bool encrypt, std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  if (!platform::EnsureOpenSslProviders()) return false;
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, "RC2-CBC", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx) return false;
  const std::vector<uint8_t> key = ProtectedSettingKey();
  const uint8_t iv[kBlockBytes] = {};
  const int enc = encrypt ? 1 : 0;
  // The effective key length must be set before the key is expanded.
  size_t bits = kEffectiveKeyBits;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_RC2_KEYBITS, &bits), OSSL_PARAM_END};
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, enc, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1 ||
      EVP_CIPHER_CTX_set_params(ctx.get(), params) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), iv, enc, nullptr) != 1)
    return false;
  if (in.size() > static_cast<size_t>(INT32_MAX) - 2 * kBlockBytes) return false;
  std::vector<uint8_t> result(in.size() + 2 * kBlockBytes);
  int n1 = 0, n2 = 0;
  if (EVP_CipherUpdate(ctx.get(), result.data(), &n1, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), result.data() + n1, &n2) != 1)
    return false;
  result.resize(static_cast<size_t>(n1) + static_cast<size_t>(n2));
  out = std::move(result);
  return true;
}

// Leading and trailing backslashes off.
std::string_view TrimBackslashes(std::string_view s) {
  while (!s.empty() && s.front() == '\\') s.remove_prefix(1);
  while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

void SplitValuePath(std::string_view value_path, std::string& subkey, std::string& value_name) {
  std::string_view path = TrimBackslashes(value_path);
  size_t last = path.rfind('\\');
  if (last == std::string_view::npos) {
    subkey.clear();
    value_name = std::string(path);
    return;
  }
  std::string_view key = path.substr(0, last);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  subkey = std::string(key);
  value_name = std::string(TrimBackslashes(path.substr(last + 1)));
}

// ---- CRegDword ----

CRegDword::CRegDword(std::string_view value_path, uint32_t default_value, bool always_reload, RegHive root)
    : root_(root), default_(default_value), always_reload_(always_reload) {
  SplitValuePath(value_path, subkey_, value_name_);
  Read();
}

uint32_t CRegDword::Get() {
  if (loaded_ && !always_reload_) return value_;
  return Read();
}

uint32_t CRegDword::Read() {
  if (platform::RegOpenKey(root_, subkey_, platform::kRegRead, key_) != 0) return default_;
  RegValue v;
  uint32_t status = platform::RegQueryValue(key_, value_name_, v);
  key_.Close();
  if (status != 0) return default_;
  // Win32 reports a string with the terminator its writers count.
  std::vector<uint8_t> data = std::move(v.data);
  if (v.type == platform::kRegSz || v.type == platform::kRegExpandSz) data.push_back(0);
  if (data.size() > 4) return default_;
  uint32_t n = 0;
  for (size_t i = 0; i < data.size(); ++i) n |= uint32_t{data[i]} << (8 * i);
  value_ = n;
  loaded_ = true;
  return value_;
}

// ---- CRegString ----

CRegString::CRegString(std::string_view value_path, std::string_view default_value, bool always_reload,
                       RegHive root)
    : root_(root), default_(default_value), always_reload_(always_reload) {
  SplitValuePath(value_path, subkey_, value_name_);
  Read();
}

std::string CRegString::Get() {
  if (loaded_ && !always_reload_) return value_;
  return Read();
}

std::string CRegString::Read() {
  if (platform::RegOpenKey(root_, subkey_, platform::kRegRead, key_) != 0) return default_;
  RegValue v;
  uint32_t status = platform::RegQueryValue(key_, value_name_, v);
  key_.Close();
  if (status != 0) return default_;
  std::string text(v.data.begin(), std::find(v.data.begin(), v.data.end(), uint8_t{0}));
  value_ = v.type == platform::kRegExpandSz ? platform::ExpandEnvironmentStrings(text) : std::move(text);
  loaded_ = true;
  return value_;
}

// ---- Writers ----

uint32_t WriteRegDword(RegHive root, std::string_view key_path, std::string_view name, uint32_t value) {
  RegKey key;
  if (uint32_t s = platform::RegCreateKey(root, key_path, key)) return s;
  return platform::RegSetDword(key, name, value);
}

uint32_t WriteRegString(RegHive root, std::string_view key_path, std::string_view name, std::string_view text) {
  RegKey key;
  if (uint32_t s = platform::RegCreateKey(root, key_path, key)) return s;
  return platform::RegSetString(key, name, text);
}

// ---- Protected credentials ----

std::vector<uint8_t> ProtectedSettingKey() {
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(kPassPhrase.data()), kPassPhrase.size(), digest);
  return std::vector<uint8_t>(digest, digest + kKeyBytes);
}

bool ProtectSetting(std::span<const uint8_t> plain, std::vector<uint8_t>& cipher) {
  return Rc2Cbc(true, plain, cipher);
}

bool UnprotectSetting(std::vector<uint8_t>& buffer) {
  if (buffer.empty() || buffer.size() % kBlockBytes != 0) return false;
  std::vector<uint8_t> plain;
  if (!Rc2Cbc(false, buffer, plain)) return false;
  buffer = std::move(plain);
  return true;
}

uint32_t StoreProtectedSetting(RegHive root, std::string_view key_path, std::string_view name,
                               std::string_view plain) {
  if (plain.empty()) return WriteRegString(root, key_path, name, "");
  std::vector<uint8_t> cipher;
  if (!ProtectSetting(std::span(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()), cipher)) {
    uint32_t s = WriteRegString(root, key_path, name, "");
    return s ? s : platform::kErrorInternalError;
  }
  return WriteRegString(root, key_path, name, Base64Codec().Encode(cipher));
}

bool RevealProtectedSetting(RegHive root, std::string_view value_path, std::string& plain) {
  plain.clear();
  const std::string text = CRegString(value_path, kRegDefaultProxyCredential, true, root).Get();
  std::vector<uint8_t> bytes(text.size() + 10);
  uint32_t length = 0;
  Base64Codec().Decode(text, bytes, length);
  if (length == 0) return text.empty();  // nothing stored, or nothing that decodes
  bytes.resize(length);
  if (!UnprotectSetting(bytes)) return false;
  plain.assign(bytes.begin(), bytes.end());
  return true;
}

// ---- Installation marker ----

std::string FormatInstallMarker(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dH%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

std::string CurrentInstallMarker() {
  std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  return FormatInstallMarker(local);
}

int CompareInstallMarkers(std::string_view a, std::string_view b) {
  a = a.substr(0, kMarkerLength);
  b = b.substr(0, kMarkerLength);
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    auto ca = static_cast<unsigned char>(Lower(a[i])), cb = static_cast<unsigned char>(Lower(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

CInstallMarker::CInstallMarker() {
  const std::string user_marker =
      CRegString(std::string(kMachineKey) + "\\" + kValueUserMarker, kRegDefaultUserMarker, true,
                 RegHive::kCurrentUser)
          .Get();
  const std::string last_install =
      CRegString(std::string(kMachineKey) + "\\" + kValueLastInstall, kRegDefaultLastInstall, true,
                 RegHive::kLocalMachine)
          .Get();
  if (CompareInstallMarkers(user_marker, last_install) > 0) return;

  reset_ = true;
  uint32_t s = platform::RegDeleteTree(RegHive::kCurrentUser, kMachineKey);
  if (s != 0 && s != platform::kErrorFileNotFound) {
    status_ = s;
    return;
  }
  status_ = WriteRegString(RegHive::kCurrentUser, kMachineKey, kValueUserMarker, CurrentInstallMarker());
}

}  // namespace vel::app
