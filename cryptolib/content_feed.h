// Content read piece by piece instead of held whole: a detached signature's
// file is digested through one small buffer, so memory stays flat however
// large the file is, and no copy of it is ever made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vel::crypto {

class ContentFeed {
 public:
  virtual ~ContentFeed() = default;
  // Back to the first byte (every digest algorithm reads the content from
  // the start); false when that fails.
  virtual bool Rewind() = 0;
  // Up to `capacity` bytes into `buffer`: how many were given, 0 at the end
  // of the content, -1 when the content cannot be given whole (a read
  // failure, a size that changed since it was opened). A failure makes every
  // digest over the feed fail, so no signature over it verifies.
  virtual int64_t Read(uint8_t* buffer, size_t capacity) = 0;

  // Held by a digest from its rewind to its last read: copies of a message
  // share their feed, and two digests must not move one position at once.
  std::mutex& reading() { return reading_; }

 private:
  std::mutex reading_;
};

}  // namespace vel::crypto
