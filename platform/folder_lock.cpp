#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win32_error.h"

namespace vel::platform {

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the description drops the lock
}

uint32_t FolderLock::Acquire(const std::filesystem::path& folder, std::unique_ptr<FolderLock>* out) {
  out->reset();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return Win32FromErrno(ec.value());
  const std::filesystem::path file = folder / ".lock";
  // Each acquisition opens its own description, so threads of one process
  // exclude each other as processes do.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Win32FromErrno(errno);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int err = errno;
      ::close(fd);
      return Win32FromErrno(err);
    }
  }
  *out = std::make_unique<FolderLock>(Key{}, fd);
  return 0;
}

}  // namespace vel::platform
