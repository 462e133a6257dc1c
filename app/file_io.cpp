#include "app/file_io.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

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

}  // namespace vel::app
