#include "app/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "platform/file_replace.h"
#include "platform/win32_error.h"

namespace vel::app {

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

uint32_t WriteAll(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return platform::Win32FromErrno(errno);
    done += static_cast<size_t>(n);
  }
  return 0;
}

uint32_t CopyAll(int in, int out) {
  std::vector<uint8_t> buffer(1 << 16);
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(in, buffer.data(), buffer.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return platform::Win32FromErrno(errno);
    if (n == 0) return 0;
    if (const uint32_t error = WriteAll(out, {buffer.data(), static_cast<size_t>(n)}); error != 0) return error;
    at += n;
  }
}

uint32_t WriteNewFile(const std::string& path, std::span<const uint8_t> bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return platform::Win32FromErrno(errno);
  return WriteAll(fd.get(), bytes);
}

uint32_t ReplaceFile(const std::string& path, const std::function<uint32_t(int fd)>& write) {
  std::string real;
  if (const uint32_t error = platform::ResolveLinks(path, &real); error != 0) return error;
  // The old file is opened for writing but never truncated: what this user
  // could not write before stays refused, and its identity passes on.
  std::optional<platform::FileIdentity> old;
  {
    const UniqueFd fd(::open(real.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() >= 0) {
      old.emplace();
      if (const uint32_t error = platform::IdentityOf(fd.get(), &*old); error != 0) return error;
      // A device or pipe is not a document to rename a file over.
      if (!S_ISREG(old->mode)) return platform::kErrorAccessDenied;
    } else if (errno != ENOENT) {
      return platform::Win32FromErrno(errno);
    }
  }
  uint32_t error = 0;
  int raw = -1;
  const std::string temp = platform::MakeSiblingFile(real, kSiblingPrefix, &raw, &error);
  if (temp.empty()) return error;
  const UniqueFd fd(raw);
  error = write(fd.get());
  if (error == 0) error = old ? platform::CarryIdentity(fd.get(), *old) : platform::GiveNewFileMode(fd.get());
  if (error == 0) error = platform::CommitFile(fd.get(), temp, real);
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

uint32_t ReplaceFileWith(const std::string& path, std::span<const uint8_t> bytes) {
  return ReplaceFile(path, [bytes](int fd) { return WriteAll(fd, bytes); });
}

uint32_t ReplaceFileWithCopy(const std::string& path, const std::string& from) {
  const UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return platform::Win32FromErrno(errno);
  return ReplaceFile(path, [&in](int fd) { return CopyAll(in.get(), fd); });
}

}  // namespace vel::app
