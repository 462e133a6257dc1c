// The page stream (a 32-bit length N, then N bytes of page records, each a
// 32-bit size S and S bytes of one EMF or BMP page image) and the list of pages
// read from a printer job file or from a folder of page files.
//
// The N record bytes are the signed content of a KDOC container: the list keeps
// the whole stream in one buffer and its entries point into it, so that the
// content goes to the signing and verification code without a copy.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::app {

// The error of a stream that does not hold what its length words announce.
inline constexpr uint32_t kPageStreamError = 2;

// One page record: the image's size and its first byte inside the owning list's
// stream (not owned).
class CPageEntry {
 public:
  CPageEntry(uint32_t size, const uint8_t* data) : size_(size), data_(data) {}

  uint32_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  uint32_t size_;
  const uint8_t* data_;
};

class CPageList {
 public:
  // Reads the page stream of a job file through the open file descriptor
  // (seek and read only; the descriptor stays open). A stream shorter than its
  // length word announces, or whose records do not fill it exactly, gives
  // error 2 and no pages.
  explicit CPageList(int fd);

  // Rebuilds the page stream from the page files "00001.emf", "00002.emf", ...
  // of a folder (path without a trailing separator), up to the first number
  // that is missing; names are matched without case. The graphics format is the
  // machine's GraphicsFormat; the second form takes it as given. Any format
  // other than "EMF" or "BMP" counts as "EMF".
  explicit CPageList(const std::string& dir);
  CPageList(const std::string& dir, std::string_view graphics_format);

  CPageList(const CPageList&) = delete;
  CPageList& operator=(const CPageList&) = delete;

  // 0, 2 for a bad stream, 8 when memory for the stream could not be had.
  uint32_t error() const { return error_; }

  size_t GetCount() const { return entries_.size(); }
  bool IsEmpty() const { return entries_.empty(); }
  const CPageEntry& GetAt(size_t index) const { return entries_.at(index); }
  const std::vector<CPageEntry>& entries() const { return entries_; }

  // The whole stream, length word included; empty when the list has none.
  std::span<const uint8_t> stream() const { return stream_; }
  // The record bytes after the length word: the signed content.
  std::span<const uint8_t> content() const {
    return stream_.size() < 4 ? std::span<const uint8_t>() : std::span<const uint8_t>(stream_).subspan(4);
  }

 private:
  void ReadStream(int fd);
  void ReadFolder(const std::string& dir, std::string_view graphics_format);
  bool Walk();
  void Fail(uint32_t error);

  uint32_t error_ = 0;
  std::vector<uint8_t> stream_;
  std::vector<CPageEntry> entries_;
};

// "BMP" when the machine's GraphicsFormat is exactly "BMP", else "EMF".
std::string PageGraphicsFormat();

}  // namespace vel::app
