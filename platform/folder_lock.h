// An exclusive lock on a folder, held by every thread and process that
// changes an entry of it only after reading what is there (compare, then
// replace). Readers need no lock: entries are replaced by atomic renames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

namespace vel::platform {

class FolderLock {
  struct Key {};

 public:
  FolderLock(Key, int fd) : fd_(fd) {}
  ~FolderLock();  // releases the lock
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Makes the folder when needed and waits for the lock on its file ".lock".
  // Returns 0 or the Win32 error of the failing step.
  static uint32_t Acquire(const std::filesystem::path& folder, std::unique_ptr<FolderLock>* out);

 private:
  int fd_ = -1;
};

}  // namespace vel::platform
