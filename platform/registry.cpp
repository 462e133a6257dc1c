#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry_format.h"
#include "platform/win32_error.h"

extern char** environ;

namespace vel::platform {

struct RegKeyAccess {
  static void Set(RegKey& key, RegHive hive, std::string path, uint32_t access) {
    key.hive_ = hive;
    key.path_ = std::move(path);
    key.access_ = access;
    key.open_ = true;
  }
};

namespace {

namespace fs = std::filesystem;
using regfile::Hive;

// A hive file larger than this is not read; it counts as damaged.
constexpr off_t kMaxHiveFileSize = 64 * 1024 * 1024;
constexpr size_t kMaxValueNameLength = 16383;

std::string_view HiveName(RegHive hive) {
  return hive == RegHive::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() { int f = fd_; fd_ = -1; return f; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

uint32_t ErrnoStatus(int err) {
  uint32_t s = Win32FromErrno(err);
  return s == kErrorSuccess ? kErrorInternalError : s;
}

bool ValidValueName(std::string_view name) { return name.size() <= kMaxValueNameLength; }

using HivePtr = std::shared_ptr<const Hive>;

// The last hive read from each hive's file, with the bytes it came from: a
// read that finds the same bytes again takes it without parsing. Comparing
// the bytes, not the file's times, never misses another program's write.
struct ParsedHive {
  std::string file;
  std::string text;
  HivePtr hive;
};

class HiveCache {
 public:
  HivePtr Find(RegHive which, const fs::path& file, std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ParsedHive& entry = entries_[Index(which)];
    return entry.hive && entry.file == file.native() && entry.text == text ? entry.hive : nullptr;
  }
  void Store(RegHive which, const fs::path& file, std::string text, HivePtr hive) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[Index(which)] = {file.native(), std::move(text), std::move(hive)};
  }

 private:
  static size_t Index(RegHive which) { return which == RegHive::kLocalMachine ? 1 : 0; }
  std::mutex mutex_;
  ParsedHive entries_[2];
};

HiveCache& Cache() {
  static HiveCache cache;
  return cache;
}

// Reads the whole of a regular file that is not larger than the hive limit.
// `too_large` is set (and nothing read) when it is.
uint32_t ReadFileText(int fd, std::string& text, bool& too_large) {
  too_large = false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ErrnoStatus(errno);
  if (!S_ISREG(st.st_mode)) return kErrorAccessDenied;
  if (st.st_size > kMaxHiveFileSize) {
    too_large = true;
    return kErrorSuccess;
  }
  text.resize(static_cast<size_t>(st.st_size) + 1);
  size_t used = 0;
  while (true) {
    if (used == text.size()) {
      if (text.size() > static_cast<size_t>(kMaxHiveFileSize)) {
        too_large = true;  // grew while we read it
        return kErrorSuccess;
      }
      text.resize(text.size() * 2);
    }
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return kErrorSuccess;
}

// Reads and parses a hive file; a missing file (or folder) is an empty hive.
uint32_t ReadHive(RegHive which, HivePtr& hive, bool* exists = nullptr) {
  static const HivePtr kEmpty = std::make_shared<const Hive>();
  const fs::path file = RegHiveFile(which);
  hive = kEmpty;
  if (exists) *exists = false;
  // Non-blocking, so that a FIFO put in the file's place cannot stall the reader.
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kErrorSuccess;
    return ErrnoStatus(errno);
  }
  if (exists) *exists = true;
  std::string text;
  bool too_large = false;
  if (uint32_t s = ReadFileText(fd.get(), text, too_large)) return s;
  if (too_large) {
    auto damaged = std::make_shared<Hive>();
    damaged->damaged = true;
    hive = std::move(damaged);
    return kErrorSuccess;
  }
  if (HivePtr cached = Cache().Find(which, file, text)) {
    hive = std::move(cached);
    return kErrorSuccess;
  }
  hive = std::make_shared<const Hive>(regfile::ParseHive(text, HiveName(which)));
  Cache().Store(which, file, std::move(text), hive);
  return kErrorSuccess;
}

uint32_t WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return kErrorSuccess;
}

std::string TimeTag() {
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
  return buf;
}

// Keeps the bytes of a file that could not be read completely, before it is replaced.
uint32_t KeepDamagedCopy(const fs::path& file) {
  std::string base = file.string() + ".damaged-" + TimeTag() + "-" + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = attempt ? base + "-" + std::to_string(attempt) : base;
    if (::link(file.c_str(), name.c_str()) == 0) return kErrorSuccess;
    if (errno == EEXIST) continue;
    // No hard links here: copy the bytes instead.
    Fd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return ErrnoStatus(errno);
    Fd out(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
      if (errno == EEXIST) continue;
      return ErrnoStatus(errno);
    }
    std::vector<char> buf(1 << 16);
    while (true) {
      ssize_t n = ::read(in.get(), buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ErrnoStatus(errno);
      if (n == 0) break;
      if (uint32_t s = WriteAll(out.get(), std::string_view(buf.data(), static_cast<size_t>(n)))) return s;
    }
    if (::fsync(out.get()) != 0) return ErrnoStatus(errno);
    return kErrorSuccess;
  }
  return kErrorFileExists;
}

// Replaces `file` by `text` atomically: temporary file in the same folder, sync, rename.
uint32_t ReplaceFile(const fs::path& file, std::string_view text, mode_t mode) {
  std::string tmpl = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
  Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (fd.get() < 0) return ErrnoStatus(errno);
  auto fail = [&](uint32_t status) {
    fd.Reset();
    ::unlink(tmpl.c_str());
    return status;
  };
  if (::fchmod(fd.get(), mode) != 0) return fail(ErrnoStatus(errno));
  if (uint32_t s = WriteAll(fd.get(), text)) return fail(s);
  if (::fsync(fd.get()) != 0) return fail(ErrnoStatus(errno));
  if (::close(fd.Release()) != 0) return fail(ErrnoStatus(errno));
  if (::rename(tmpl.c_str(), file.c_str()) != 0) return fail(ErrnoStatus(errno));
  // Make the rename itself durable; a folder that cannot be synced still holds the new file.
  Fd dir(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return kErrorSuccess;
}

// The change applied under the lock: returns a status; sets `changed` when the
// hive must be written.
using Change = std::function<uint32_t(Hive& hive, bool& changed)>;

uint32_t Mutate(RegHive which, const Change& change) {
  const fs::path file = RegHiveFile(which);
  const fs::path dir = file.parent_path();
  std::error_code ec;
  bool dir_existed = fs::exists(dir, ec);
  if (!dir_existed) {
    fs::create_directories(dir, ec);
    if (ec) return ErrnoStatus(ec.value());
    // The user's folder holds the proxy credentials: keep it private.
    if (which == RegHive::kCurrentUser && !std::getenv("VELDOC_REGISTRY_DIR")) ::chmod(dir.c_str(), 0700);
  }
  const mode_t default_mode = which == RegHive::kCurrentUser ? 0600 : 0644;
  std::string lock_name = file.string() + ".lock";
  Fd lock(::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, default_mode));
  if (lock.get() < 0) return ErrnoStatus(errno);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ErrnoStatus(errno);
  }
  // The lock is released when `lock` closes.

  HivePtr before;
  bool exists = false;
  if (uint32_t s = ReadHive(which, before, &exists)) return s;
  Hive hive = *before;
  bool changed = false;
  if (uint32_t s = change(hive, changed)) return s;
  if (!changed) return kErrorSuccess;

  mode_t mode = default_mode;
  struct stat st {};
  if (exists && ::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
  if (exists && hive.damaged) {
    if (uint32_t s = KeepDamagedCopy(file)) return s;
  }
  std::string text = regfile::SerializeHive(hive, HiveName(which));
  if (uint32_t s = ReplaceFile(file, text, mode)) return s;
  // What was written reads back as this hive: the next read need not parse it.
  hive.damaged = false;
  Cache().Store(which, file, std::move(text), std::make_shared<const Hive>(std::move(hive)));
  return kErrorSuccess;
}

fs::path UserConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;  // relative values are to be ignored
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return fs::path(home) / ".config";
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return fs::path(pw->pw_dir) / ".config";
  return fs::path("/tmp") / ".config";
}

std::vector<uint8_t> TextBytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace

fs::path RegHiveFile(RegHive hive) {
  const char* moved = std::getenv("VELDOC_REGISTRY_DIR");
  const char* name = hive == RegHive::kLocalMachine ? "hklm.reg" : "hkcu.reg";
  if (moved && *moved) return fs::path(moved) / name;
  if (hive == RegHive::kLocalMachine) return fs::path("/etc/veldoc") / name;
  return UserConfigHome() / "veldoc" / name;
}

uint32_t RegOpenKey(RegHive hive, std::string_view path, uint32_t access, RegKey& key) {
  key.Close();
  if (!regfile::ValidKeyPath(path)) return kErrorInvalidParameter;
  HivePtr h;
  if (uint32_t s = ReadHive(hive, h)) return s;
  std::string spelled;
  if (!h->Find(path, &spelled)) return kErrorFileNotFound;
  RegKeyAccess::Set(key, hive, std::move(spelled), access);
  return kErrorSuccess;
}

uint32_t RegCreateKey(RegHive hive, std::string_view path, RegKey& key) {
  key.Close();
  if (!regfile::ValidKeyPath(path)) return kErrorInvalidParameter;
  {
    HivePtr h;
    if (uint32_t s = ReadHive(hive, h)) return s;
    if (std::string spelled; h->Find(path, &spelled)) {
      RegKeyAccess::Set(key, hive, std::move(spelled), kRegReadWrite);
      return kErrorSuccess;
    }
  }
  std::string created;
  uint32_t s = Mutate(hive, [&](Hive& h, bool& changed) -> uint32_t {
    changed = h.Find(path) == nullptr;
    h.Create(path, &created);
    return kErrorSuccess;
  });
  if (s == kErrorSuccess) RegKeyAccess::Set(key, hive, created, kRegReadWrite);
  return s;
}

uint32_t RegQueryValue(const RegKey& key, std::string_view name, RegValue& value) {
  value = RegValue();
  if (!key.IsOpen()) return kErrorInvalidHandle;
  HivePtr h;
  if (uint32_t s = ReadHive(key.hive(), h)) return s;
  const regfile::Key* k = h->Find(key.path());
  if (!k) return kErrorKeyDeleted;
  const regfile::Value* v = Hive::FindValue(*k, name);
  if (!v) return kErrorFileNotFound;
  value.type = v->type;
  value.data = v->data;
  return kErrorSuccess;
}

uint32_t RegSetValue(const RegKey& key, std::string_view name, uint32_t type, std::span<const uint8_t> data) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  if (!(key.access() & kRegWrite)) return kErrorAccessDenied;
  if (!ValidValueName(name)) return kErrorInvalidParameter;
  std::vector<uint8_t> bytes(data.begin(), data.end());
  if ((type == kRegSz || type == kRegExpandSz) && !bytes.empty() && bytes.back() == 0) bytes.pop_back();
  return Mutate(key.hive(), [&](Hive& h, bool& changed) -> uint32_t {
    regfile::Key* k = h.Find(key.path());
    if (!k) return kErrorKeyDeleted;
    Hive::SetValue(*k, name, type, std::move(bytes));
    changed = true;
    return kErrorSuccess;
  });
}

uint32_t RegSetString(const RegKey& key, std::string_view name, std::string_view text) {
  auto bytes = TextBytes(text);
  bytes.push_back(0);
  return RegSetValue(key, name, kRegSz, bytes);
}

uint32_t RegSetExpandString(const RegKey& key, std::string_view name, std::string_view text) {
  auto bytes = TextBytes(text);
  bytes.push_back(0);
  return RegSetValue(key, name, kRegExpandSz, bytes);
}

uint32_t RegSetDword(const RegKey& key, std::string_view name, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return RegSetValue(key, name, kRegDword, bytes);
}

uint32_t RegDeleteValue(const RegKey& key, std::string_view name) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  if (!(key.access() & kRegWrite)) return kErrorAccessDenied;
  return Mutate(key.hive(), [&](Hive& h, bool& changed) -> uint32_t {
    regfile::Key* k = h.Find(key.path());
    if (!k) return kErrorKeyDeleted;
    if (!Hive::DeleteValue(*k, name)) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

uint32_t RegEnumSubKeys(const RegKey& key, std::vector<std::string>& names) {
  names.clear();
  if (!key.IsOpen()) return kErrorInvalidHandle;
  HivePtr h;
  if (uint32_t s = ReadHive(key.hive(), h)) return s;
  if (!h->Find(key.path())) return kErrorKeyDeleted;
  names = h->SubKeyNames(key.path());
  return kErrorSuccess;
}

uint32_t RegEnumValues(const RegKey& key, std::vector<RegNamedValue>& values) {
  values.clear();
  if (!key.IsOpen()) return kErrorInvalidHandle;
  HivePtr h;
  if (uint32_t s = ReadHive(key.hive(), h)) return s;
  const regfile::Key* k = h->Find(key.path());
  if (!k) return kErrorKeyDeleted;
  for (const regfile::Value* v : Hive::OrderedValues(*k)) values.push_back({v->name, {v->type, v->data}});
  return kErrorSuccess;
}

uint32_t RegDeleteTree(RegHive hive, std::string_view path) {
  if (regfile::NormalizePath(path).empty()) return kErrorInvalidParameter;
  {
    HivePtr h;
    if (uint32_t s = ReadHive(hive, h)) return s;
    if (!h->Find(path)) return kErrorFileNotFound;
  }
  return Mutate(hive, [&](Hive& h, bool& changed) -> uint32_t {
    if (!h.DeleteTree(path)) return kErrorFileNotFound;
    changed = true;
    return kErrorSuccess;
  });
}

std::string ExpandEnvironmentStrings(std::string_view text) {
  auto lookup = [](std::string_view name) -> const char* {
    std::string exact(name);
    if (const char* v = std::getenv(exact.c_str())) return v;
    std::string folded = regfile::FoldName(name);
    for (char** e = environ; e && *e; ++e) {
      std::string_view entry(*e);
      size_t eq = entry.find('=');
      if (eq != std::string_view::npos && regfile::FoldName(entry.substr(0, eq)) == folded) return *e + eq + 1;
    }
    return nullptr;
  };
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find('%', i);
    if (open == std::string_view::npos) break;
    size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(i, open - i));
    std::string_view name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() || name.find('=') != std::string_view::npos ? nullptr : lookup(name);
    if (value) {
      out.append(value);
      i = close + 1;
    } else {
      // Left as it is; the closing sign may open the next reference.
      out.append(text.substr(open, close - open));
      i = close;
    }
  }
  out.append(text.substr(i));
  return out;
}

}  // namespace vel::platform
