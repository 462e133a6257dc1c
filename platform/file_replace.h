// Replacing a file by a new one written beside it and renamed over it, so that
// whatever happens the file is the old one or the new one; what a replacement
// must keep of the file it replaces (the real file behind links, its owner,
// group and mode); and the removal of such new files that a killed process
// left behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vel::platform {

// What a replacement keeps of the file it replaces, and how to tell that the
// name still holds it.
struct FileIdentity {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  nlink_t links = 0;
  dev_t device = 0;
  ino_t inode = 0;
  // Extended attributes, names with values; a POSIX ACL is one of them
  // ("system.posix_acl_access").
  std::vector<std::pair<std::string, std::string>> attributes;
};

// The identity of the file open in `fd`: 0 or the Win32 code.
uint32_t IdentityOf(int fd, FileIdentity* out);

// Whether `path` names the very file of `identity` (not a file put there since).
bool NamesFile(const std::string& path, const FileIdentity& identity);

// The path with every symbolic link resolved, so that a replacement renames
// over the real file and not over the link. A path that does not exist yet
// (nor does a link of that name) is given back as it is. A link in a sticky
// folder that anyone may write to is followed only when it is this user's or
// the folder owner's, as the kernel itself would: kErrorAccessDenied otherwise.
// 0 or the Win32 code.
uint32_t ResolveLinks(const std::string& path, std::string* real);

// Gives the new file open in `fd` the owner, group and mode of `old`, as far
// as this user may: the mode always, the group when this user belongs to it,
// the owner only with the right to give files away. When the group stays
// another one, the new group gets no more than everyone else (and the ACL,
// which names what the old group may, is not carried). The extended
// attributes follow, those this user may not set or the file system does
// not keep left out.
uint32_t CarryIdentity(int fd, const FileIdentity& old);

// Gives the new file open in `fd` the mode a file this process creates
// normally gets (0666 less the process's umask): a temporary name is made
// for this user alone, the file it becomes need not be. 0 or the Win32 code.
uint32_t GiveNewFileMode(int fd);

// A new empty file named `prefix` and six random characters in the folder of
// `target` (so that it can be renamed over it), open read/write in *fd and
// locked exclusively (flock) for as long as that descriptor stays open: a lock
// that nobody holds marks a leftover. Empty with *error set on failure.
std::string MakeSiblingFile(const std::string& target, const std::string& prefix, int* fd, uint32_t* error);

// Flushes the file open in `fd`, renames `from` over `to` and flushes the
// folder: afterwards `to` is the new file even after a crash. 0 or the Win32 code.
uint32_t CommitFile(int fd, const std::string& from, const std::string& to);

// Gives the file `from` the name `to` only when no file has that name yet, in
// one step: 0, kErrorFileExists when the name is taken, or the Win32 code.
// The folder is flushed afterwards.
uint32_t RenameNoReplace(const std::string& from, const std::string& to);

// Removes from `folder` what a killed process of this user left: entries
// named exactly `prefix` and six characters of the temporary-name alphabet,
// plain files (what MakeSiblingFile made) or, with `folders`, folders (never
// links), of this user, that nobody holds locked any more. Returns how many went.
int RemoveAbandoned(const std::string& folder, const std::string& prefix, bool folders);
inline int RemoveAbandonedSiblings(const std::string& folder, const std::string& prefix) {
  return RemoveAbandoned(folder, prefix, false);
}

// Whether `name` is `prefix` and six characters of the temporary-name alphabet.
bool MatchesTempName(const std::string& name, const std::string& prefix);

// A path that names the file open in `fd` whatever its own path's length.
std::string FdPath(int fd);

}  // namespace vel::platform
