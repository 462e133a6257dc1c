// Small file helpers shared by the container, signing, printer-job and saving code.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace vel::app {

// The hidden name prefix of new files beside a container or a saved file (the
// new cabinet before its rename, a job's copy, the kept signed original before
// it gets its name, saved bytes before they replace the file). Such a file
// that nobody holds is a killed process's leftover.
inline constexpr char kSiblingPrefix[] = ".kdoc";

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

// Makes `path` a file whose whole content `write` puts into the descriptor it
// is given: a new file beside the real file (behind any links), renamed over
// it only once `write` succeeded and the file is flushed. It takes the owner,
// group and mode of the file it replaces, a new file's mode when there was
// none. A file this user may not write, or one that is not a plain file, is
// refused. On failure the old file is as it was and the new one gone.
// 0 or the Win32 error.
uint32_t ReplaceFile(const std::string& path, const std::function<uint32_t(int fd)>& write);
// ReplaceFile with the bytes, and with a copy of the file `from`.
uint32_t ReplaceFileWith(const std::string& path, std::span<const uint8_t> bytes);
uint32_t ReplaceFileWithCopy(const std::string& path, const std::string& from);

}  // namespace vel::app
