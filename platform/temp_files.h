// Temporary names and working folders, and new UUIDs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace vel::platform {

// Folder for temporary files: $TMPDIR, else /tmp.
std::string TempFolder();

// Creates a new empty working folder named with the prefix (e.g. "kdoc") in the
// temporary folder. Returns its path, or empty with *error set to a Win32 code.
std::string MakeWorkDir(const std::string& prefix, uint32_t* error = nullptr);

// A working folder of this process, made like MakeWorkDir and removed with
// its files when the object goes. The folder itself is locked (flock) for its
// whole life, so that a folder nobody holds is known to be a killed process's
// leftover.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& prefix);
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  // Empty when no folder could be made; error() tells why.
  const std::string& path() const { return path_; }
  uint32_t error() const { return error_; }

 private:
  std::string path_;
  uint32_t error_ = 0;
  int lock_fd_ = -1;
};

// Removes the working folders of `prefix` that no living process holds: in the
// temporary folder, named exactly the prefix and six characters of the
// temporary-name alphabet, folders (not links) of this user, not locked.
// Everything else there stays. Returns how many went.
int RemoveAbandonedWorkFolders(const std::string& prefix);

// The bytes this user may still write in the file system holding `folder`;
// 0 or the Win32 code.
uint32_t FreeSpace(const std::string& folder, uint64_t* bytes);

// Creates a new empty file named with the prefix (e.g. "tmpvr_") in the folder
// (the temporary folder when empty). Returns its path, or empty on failure.
std::string MakeTempFile(const std::string& prefix, const std::string& folder = {},
                         uint32_t* error = nullptr);

// Writes the bytes to a new file beside `target` (a temporary name in its
// folder) with this mode, synced to disk; 0 with *temp naming it, or the
// Win32 code with nothing left behind.
uint32_t WriteTempFileBeside(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                             mode_t mode, std::string* temp);
// Writes a whole file with this mode: the bytes go to a temporary file beside
// it, which is synced and renamed over it, so readers see the old file or the
// new one. 0 or the Win32 code.
uint32_t WriteFileReplacing(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                            mode_t mode);

// A new random UUID as 16 bytes, and as 32 upper-case hexadecimal digits.
void NewUuid(uint8_t out[16]);
std::string NewUuidHex();

}  // namespace vel::platform
