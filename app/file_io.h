// Small file helpers shared by the container, signing and printer-job code.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>

namespace vel::app {

// Closes its descriptor when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Hands the descriptor over: it is no longer closed here.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// ASCII letters lower-cased (for comparing names without case).
std::string LowerAscii(std::string s);

// Writes all the bytes to the descriptor: 0 or the Win32 error.
uint32_t WriteAll(int fd, std::span<const uint8_t> bytes);

// Copies the whole file open in `in` (from its start, whatever its offset)
// to the end of `out`: 0 or the Win32 error.
uint32_t CopyAll(int in, int out);

// Creates a new file (never replacing one) holding the bytes: 0 or the Win32 error.
uint32_t WriteNewFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace vel::app
