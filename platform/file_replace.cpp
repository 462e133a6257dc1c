#include "platform/file_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/win32_error.h"

namespace vel::platform {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxLinkSteps = 40;  // the kernel's own limit on a chain of links
constexpr int kNameTries = 16;
// Where Linux keeps a file's POSIX ACL, as an extended attribute.
constexpr char kAccessAcl[] = "system.posix_acl_access";

std::string FolderOf(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

void SyncFolder(const std::string& path) {
  const int d = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    ::fsync(d);
    ::close(d);
  }
}

bool IsTempNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The extended attributes of the file open in `fd`; none where the file
// system keeps none. One that changes while it is read is left out.
std::vector<std::pair<std::string, std::string>> ReadAttributes(int fd) {
  std::vector<std::pair<std::string, std::string>> out;
  const ssize_t size = ::flistxattr(fd, nullptr, 0);
  if (size <= 0) return out;
  std::string names(static_cast<size_t>(size), '\0');
  const ssize_t got = ::flistxattr(fd, names.data(), names.size());
  if (got <= 0) return out;
  names.resize(static_cast<size_t>(got));
  for (size_t at = 0; at < names.size();) {
    const size_t end = names.find('\0', at);
    const std::string name = names.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? names.size() : end + 1;
    if (name.empty()) continue;
    const ssize_t length = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (length < 0) continue;
    std::string value(static_cast<size_t>(length), '\0');
    const ssize_t read = length == 0 ? 0 : ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (read != length) continue;
    out.emplace_back(name, std::move(value));
  }
  return out;
}

// Whether a link (`link` its lstat) in `folder` may be followed, by the kernel's
// own rule for links: in a sticky folder anyone may write to, only a link of
// this user or of the folder's owner. Another user could plant one there under
// the name this user means to write, pointing into this user's files.
bool MayFollow(const std::string& folder, const struct stat& link) {
  if (link.st_uid == ::geteuid()) return true;
  struct stat f;
  if (::stat(folder.c_str(), &f) != 0) return false;
  if ((f.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return f.st_uid == link.st_uid;
}

// What realpath() gives, but every link on the way is followed only where
// MayFollow allows it: 0 or the errno (EACCES for a link refused).
int FollowPath(const std::string& path, std::string* real) {
  if (path.empty()) return ENOENT;
  std::string done;  // resolved so far, without links; empty for the root
  if (path[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return errno;
    done = cwd;
    std::free(cwd);
    if (done == "/") done.clear();
  }
  std::string rest = path;
  int links = 0;
  for (size_t at = 0; at < rest.size();) {
    const size_t end = std::min(rest.find('/', at), rest.size());
    const std::string name = rest.substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      done.erase(std::min(done.rfind('/'), done.size()));
      continue;
    }
    const std::string next = done + "/" + name;
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) return errno;
    if (!S_ISLNK(st.st_mode)) {
      if (!S_ISDIR(st.st_mode) && end < rest.size()) return ENOTDIR;
      done = next;
      continue;
    }
    if (++links > kMaxLinkSteps) return ELOOP;
    if (!MayFollow(done.empty() ? "/" : done, st)) return EACCES;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) == target.size()) return ENAMETOOLONG;
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] == '/') done.clear();
    rest = target + rest.substr(end);
    at = 0;
  }
  *real = done.empty() ? "/" : done;
  return 0;
}

}  // namespace

bool MatchesTempName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i)
    if (!IsTempNameChar(name[i])) return false;
  return true;
}

uint32_t IdentityOf(int fd, FileIdentity* out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Win32FromErrno(errno);
  *out = {st.st_mode, st.st_uid, st.st_gid, st.st_nlink, st.st_dev, st.st_ino, ReadAttributes(fd)};
  return 0;
}

bool NamesFile(const std::string& path, const FileIdentity& identity) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == identity.device && st.st_ino == identity.inode;
}

uint32_t ResolveLinks(const std::string& path, std::string* real) {
  std::string p = path;
  for (int step = 0;; ++step) {
    const int walked = FollowPath(p, real);
    if (walked == 0) return 0;
    if (walked != ENOENT) return Win32FromErrno(walked);
    // Nothing there yet: a link that leads nowhere is followed to the name it
    // gives; any other name stays as it is.
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *real = p;
      return 0;
    }
    if (step == kMaxLinkSteps) return Win32FromErrno(ELOOP);
    // The walk above refused a stranger's link here; one put there since is
    // held to the same rule.
    if (!MayFollow(FolderOf(p), st)) return kErrorAccessDenied;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n < 0) return Win32FromErrno(errno);
    target.resize(static_cast<size_t>(n));
    p = !target.empty() && target[0] == '/' ? target : FolderOf(p) + "/" + target;
  }
}

uint32_t CarryIdentity(int fd, const FileIdentity& old) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return Win32FromErrno(errno);
  bool owner = now.st_uid == old.uid;
  bool group = now.st_gid == old.gid;
  if (!owner || !group) {
    if (::fchown(fd, old.uid, old.gid) == 0) {
      owner = group = true;
    } else if (errno == EPERM) {
      if (!group && ::fchown(fd, static_cast<uid_t>(-1), old.gid) == 0) group = true;
    } else {
      return Win32FromErrno(errno);
    }
  }
  mode_t mode = old.mode & 07777;
  if (!owner) mode &= ~S_ISUID;
  if (!group) {
    // Rights meant for the old group must not go to this user's group.
    mode &= ~S_ISGID;
    mode = (mode & ~mode_t{070}) | (mode & 070 & ((mode & 07) << 3));
  }
  if (::fchmod(fd, mode) != 0) return Win32FromErrno(errno);
  for (const auto& [name, value] : old.attributes) {
    if (!group && name == kAccessAcl) continue;
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0 && errno != EPERM && errno != EACCES &&
        errno != ENOTSUP)
      return Win32FromErrno(errno);
  }
  return 0;
}

uint32_t GiveNewFileMode(int fd) {
  // Read without changing it: umask() would set it for every thread a moment.
  mode_t mask = 022;
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status != nullptr) {
    char line[256];
    unsigned value = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
      if (std::sscanf(line, "Umask: %o", &value) == 1) mask = static_cast<mode_t>(value & 0777);
    std::fclose(status);
  }
  return ::fchmod(fd, 0666 & ~mask) == 0 ? 0 : Win32FromErrno(errno);
}

std::string MakeSiblingFile(const std::string& target, const std::string& prefix, int* fd, uint32_t* error) {
  for (int i = 0; i < kNameTries; ++i) {
    std::string templ = FolderOf(target) + "/" + prefix + "XXXXXX";
    const int f = ::mkostemp(templ.data(), O_CLOEXEC);
    if (f < 0) {
      *error = Win32FromErrno(errno);
      return {};
    }
    // Another process that clears leftovers may have taken the unlocked new
    // file before the lock: then the name no longer holds it; try another.
    FileIdentity mine;
    if (::flock(f, LOCK_EX | LOCK_NB) == 0 && IdentityOf(f, &mine) == 0 && NamesFile(templ, mine)) {
      *fd = f;
      *error = 0;
      return templ;
    }
    ::close(f);
  }
  *error = kErrorSharingViolation;
  return {};
}

uint32_t CommitFile(int fd, const std::string& from, const std::string& to) {
  if (::fsync(fd) != 0) return Win32FromErrno(errno);
  if (::rename(from.c_str(), to.c_str()) != 0) return Win32FromErrno(errno);
  SyncFolder(to);
  return 0;
}

uint32_t RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    SyncFolder(to);
    return 0;
  }
  if (errno == EEXIST) return kErrorFileExists;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Win32FromErrno(errno);
  // A file system without the no-replace rename: a new link fails alike on a
  // taken name.
  if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? kErrorFileExists : Win32FromErrno(errno);
  ::unlink(from.c_str());
  SyncFolder(to);
  return 0;
}

int RemoveAbandoned(const std::string& folder, const std::string& prefix, bool folders) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  const int dfd = ::dirfd(dir);
  int removed = 0;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (!MatchesTempName(name, prefix)) continue;
    struct stat st;
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (folders ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) || st.st_uid != ::geteuid())
      continue;
    const int fd =
        ::openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folders ? O_DIRECTORY : O_NONBLOCK));
    if (fd < 0) continue;
    FileIdentity held;
    // Locked: a living process still writes or uses it. The name must still
    // be the entry that was locked when it goes.
    struct stat again;
    if (IdentityOf(fd, &held) == 0 && held.inode == st.st_ino && held.device == st.st_dev &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(dfd, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) == 0 &&
        again.st_ino == held.inode && again.st_dev == held.device) {
      std::error_code ec;
      if (folders ? std::filesystem::remove_all(folder + "/" + name, ec) > 0 && !ec
                  : ::unlinkat(dfd, name.c_str(), 0) == 0)
        ++removed;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace vel::platform
