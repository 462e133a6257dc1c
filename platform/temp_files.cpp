#include "platform/temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/statvfs.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "platform/file_replace.h"
#include "platform/win32_error.h"

namespace vel::platform {

std::string TempFolder() {
  const char* t = std::getenv("TMPDIR");
  return (t && *t) ? std::string(t) : std::string("/tmp");
}

std::string MakeWorkDir(const std::string& prefix, uint32_t* error) {
  std::string tmpl = TempFolder() + "/" + prefix + "XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    if (error) *error = Win32FromErrno(errno);
    return {};
  }
  if (error) *error = 0;
  return tmpl;
}

WorkFolder::WorkFolder(const std::string& prefix) {
  for (int i = 0; i < 16; ++i) {
    std::string tmpl = TempFolder() + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
      error_ = Win32FromErrno(errno);
      return;
    }
    // A start-up clearing leftovers may take the folder before it is locked;
    // then the name no longer holds it, and another is made.
    const int fd = ::open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    FileIdentity mine;
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && IdentityOf(fd, &mine) == 0 && NamesFile(tmpl, mine)) {
      path_ = tmpl;
      lock_fd_ = fd;
      error_ = 0;
      return;
    }
    if (fd >= 0) ::close(fd);
  }
  error_ = kErrorSharingViolation;
}

WorkFolder::~WorkFolder() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

int RemoveAbandonedWorkFolders(const std::string& prefix) { return RemoveAbandoned(TempFolder(), prefix, true); }

uint32_t FreeSpace(const std::string& folder, uint64_t* bytes) {
  struct statvfs st;
  if (::statvfs(folder.c_str(), &st) != 0) return Win32FromErrno(errno);
  *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return 0;
}

std::string MakeTempFile(const std::string& prefix, const std::string& folder, uint32_t* error) {
  std::string tmpl = (folder.empty() ? TempFolder() : folder) + "/" + prefix + "XXXXXX";
  int fd = mkstemp(tmpl.data());
  if (fd < 0) {
    if (error) *error = Win32FromErrno(errno);
    return {};
  }
  close(fd);
  if (error) *error = 0;
  return tmpl;
}

uint32_t WriteTempFileBeside(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             mode_t mode, std::string* temp) {
  *temp = (target.parent_path() / ".tmp-XXXXXX").string();
  const int fd = ::mkstemp(temp->data());
  if (fd < 0) return Win32FromErrno(errno);
  size_t done = 0;
  int werr = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      werr = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (werr == 0 && ::fchmod(fd, mode) != 0) werr = errno;
  if (werr == 0 && ::fsync(fd) != 0) werr = errno;
  if (::close(fd) != 0 && werr == 0) werr = errno;
  if (werr != 0) {
    ::unlink(temp->c_str());
    return Win32FromErrno(werr);
  }
  return 0;
}

uint32_t WriteFileReplacing(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                            mode_t mode) {
  std::string temp;
  if (const uint32_t err = WriteTempFileBeside(target, bytes, mode, &temp); err != 0) return err;
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int werr = errno;
    ::unlink(temp.c_str());
    return Win32FromErrno(werr);
  }
  return 0;
}

void NewUuid(uint8_t out[16]) { uuid_generate_random(out); }

std::string NewUuidHex() {
  uint8_t u[16];
  NewUuid(u);
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : u) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

}  // namespace vel::platform
