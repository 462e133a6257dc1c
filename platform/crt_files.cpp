#include "platform/crt_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/temp_files.h"

namespace vel::platform {
namespace {

constexpr int kKnownFlags = kCrtWrOnly | kCrtRdWr | kCrtAppend | kCrtRandom | kCrtSequential |
                            kCrtTemporary | kCrtNoInherit | kCrtCreat | kCrtTrunc | kCrtExcl |
                            kCrtText | kCrtBinary;

// -1 when the flags ask for something this platform cannot give.
int PosixOpenFlags(int crt) {
  if ((crt & ~kKnownFlags) != 0 || (crt & (kCrtText | kCrtTemporary)) != 0) return -1;
  int access = crt & (kCrtWrOnly | kCrtRdWr);
  int flags = O_CLOEXEC;
  if (access == kCrtRdOnly) flags |= O_RDONLY;
  else if (access == kCrtWrOnly) flags |= O_WRONLY;
  else if (access == kCrtRdWr) flags |= O_RDWR;
  else return -1;
  if (crt & kCrtAppend) flags |= O_APPEND;
  if (crt & kCrtCreat) flags |= O_CREAT;
  if (crt & kCrtTrunc) flags |= O_TRUNC;
  if (crt & kCrtExcl) flags |= O_EXCL;
  return flags;
}

// The runtime's permissions have no owner/group split: they stand for everyone,
// narrowed by the umask as usual, or for the owner alone when asked.
mode_t PosixMode(int crtMode, bool ownerOnly) {
  mode_t m = 0;
  if (crtMode & kCrtPermRead) m |= ownerOnly ? S_IRUSR : (S_IRUSR | S_IRGRP | S_IROTH);
  if (crtMode & kCrtPermWrite) m |= ownerOnly ? S_IWUSR : (S_IWUSR | S_IWGRP | S_IWOTH);
  return m;
}

constexpr int kDosFirstYear = 1980;
constexpr int kDosLastYear = 2107;

}  // namespace

intptr_t CrtOpen(const char* path, int crtFlags, int crtMode, int extra) {
  int flags = PosixOpenFlags(crtFlags);
  if (flags < 0 || path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (extra & kCrtNoFollow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(path, flags, PosixMode(crtMode, (extra & kCrtPrivate) != 0));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int CrtRead(intptr_t handle, void* buffer, unsigned count) {
  if (count > INT_MAX) count = INT_MAX;
  ssize_t n;
  do {
    n = ::read(static_cast<int>(handle), buffer, count);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int CrtWrite(intptr_t handle, const void* buffer, unsigned count) {
  if (count > INT_MAX) count = INT_MAX;
  // The runtime writes everything or fails; POSIX may write part of it.
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(static_cast<int>(handle), p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int>(done);
}

int CrtClose(intptr_t handle) { return ::close(static_cast<int>(handle)) == 0 ? 0 : -1; }

long CrtSeek(intptr_t handle, long offset, int origin) {
  int whence;
  switch (origin) {
    case kCrtSeekSet: whence = SEEK_SET; break;
    case kCrtSeekCur: whence = SEEK_CUR; break;
    case kCrtSeekEnd: whence = SEEK_END; break;
    default: errno = EINVAL; return -1;
  }
  off_t r = ::lseek(static_cast<int>(handle), offset, whence);
  if (r < 0 || r > LONG_MAX) return -1;
  return static_cast<long>(r);
}

int CrtRemove(const char* path) { return ::unlink(path) == 0 ? 0 : -1; }

bool CrtTempName(const char* prefix, std::string& name) {
  std::string tmpl = TempFolder() + "/" + prefix + "XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  ::close(fd);
  // The caller creates the file again with an exclusive open, which catches a
  // name taken in between.
  ::unlink(tmpl.c_str());
  name = tmpl;
  return true;
}

DosDateTime DosDateTimeFromUnix(std::time_t t) {
  std::tm tm{};
  DosDateTime r;
  if (localtime_r(&t, &tm) == nullptr) {
    r.date = (1 << 5) | 1;  // 1980-01-01
    return r;
  }
  int year = tm.tm_year + 1900;
  if (year < kDosFirstYear) {
    r.date = (1 << 5) | 1;
    r.time = 0;
    return r;
  }
  if (year > kDosLastYear) {
    r.date = static_cast<uint16_t>(((kDosLastYear - kDosFirstYear) << 9) | (12 << 5) | 31);
    r.time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
    return r;
  }
  r.date = static_cast<uint16_t>(((year - kDosFirstYear) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  r.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return r;
}

bool UnixFromDosDateTime(uint16_t date, uint16_t time, std::time_t& out) {
  int day = date & 0x1F, month = (date >> 5) & 0x0F, year = (date >> 9) + kDosFirstYear;
  int sec = (time & 0x1F) * 2, min = (time >> 5) & 0x3F, hour = time >> 11;
  if (day < 1 || month < 1 || month > 12 || hour > 23 || min > 59 || sec > 59) return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t;
  return true;
}

bool GetFileDosInfo(const char* path, DosDateTime& when, uint16_t& attributes) {
  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  when = DosDateTimeFromUnix(st.st_mtim.tv_sec);
  attributes = kDosAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= kDosAttrReadOnly;
  return true;
}

bool SetFileDosTime(const char* path, uint16_t date, uint16_t time) {
  std::time_t t;
  if (!UnixFromDosDateTime(date, time, t)) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool SetFileDosAttributes(const char* path, uint16_t attributes) {
  if ((attributes & kDosAttrReadOnly) == 0) return true;
  struct stat st {};
  if (::lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::chmod(path, st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) & 07777) == 0;
}

}  // namespace vel::platform
