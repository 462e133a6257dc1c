#include "app/page_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <new>

#include "app/registry_names.h"
#include "app/registry_settings.h"

namespace vel::app {

namespace {

constexpr uint32_t kNotEnoughMemory = 8;
// The length word is 32 bits: no stream holds more record bytes.
constexpr uint64_t kMaxRecordBytes = std::numeric_limits<uint32_t>::max();

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads up to `size` bytes at the current position; returns how many were read,
// or -1 on an error.
int64_t ReadFully(int fd, uint8_t* out, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 30));
    const ssize_t n = ::read(fd, out + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string PageGraphicsFormat() {
  CRegString value(std::string(kMachineKey) + "\\" + kValueGraphicsFormat, kRegDefaultGraphicsFormat, false,
                   RegHive::kLocalMachine);
  return value.Get() == kGraphicsFormatBmp ? kGraphicsFormatBmp : kGraphicsFormatEmf;
}

CPageList::CPageList(int fd) { ReadStream(fd); }

CPageList::CPageList(const std::string& dir) { ReadFolder(dir, PageGraphicsFormat()); }

CPageList::CPageList(const std::string& dir, std::string_view graphics_format) {
  ReadFolder(dir, graphics_format);
}

void CPageList::Fail(uint32_t error) {
  error_ = error;
  entries_.clear();
  stream_.clear();
  stream_.shrink_to_fit();
}

// The records must fill the N bytes after the length word exactly; a size word
// running past them is a bad stream.
bool CPageList::Walk() {
  entries_.clear();
  const uint64_t total = stream_.size();
  uint64_t pos = 4;
  while (pos < total) {
    if (total - pos < 4) return false;
    const uint64_t size = Le32(stream_.data() + pos);
    if (size > total - pos - 4) return false;
    entries_.emplace_back(static_cast<uint32_t>(size), stream_.data() + pos + 4);
    pos += 4 + size;
  }
  return true;
}

void CPageList::ReadStream(int fd) {
  // Sizes come from the file: the length word is checked against the file's
  // size before anything is allocated, in 64 bits so that N + 4 cannot wrap.
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, 0, SEEK_SET) != 0) return Fail(kPageStreamError);
  uint8_t word[4];
  if (ReadFully(fd, word, 4) != 4) return Fail(kPageStreamError);
  const uint64_t total = uint64_t{Le32(word)} + 4;
  if (total > static_cast<uint64_t>(end)) return Fail(kPageStreamError);
  try {
    stream_.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return Fail(kNotEnoughMemory);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) return Fail(kPageStreamError);
  if (ReadFully(fd, stream_.data(), total) != static_cast<int64_t>(total)) return Fail(kPageStreamError);
  // The file may have changed between the two reads of the length word.
  if (uint64_t{Le32(stream_.data())} + 4 != total || !Walk()) return Fail(kPageStreamError);
}

void CPageList::ReadFolder(const std::string& dir, std::string_view graphics_format) {
  const std::string ext = graphics_format == kGraphicsFormatBmp ? "bmp" : "emf";

  // One listing of the folder; names compared without case. An exact lower-case
  // name wins over another spelling of it.
  std::map<std::string, std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string key = Lower(name);
    auto found = names.find(key);
    if (found == names.end() || name == key) names[key] = name;
  }

  // Each page file is read once, straight into the stream; the length word and
  // the record sizes are what was actually read.
  std::vector<uint64_t> offsets;
  try {
    stream_.assign(4, 0);
    for (uint64_t n = 1; n <= names.size(); ++n) {
      char wanted[32];
      std::snprintf(wanted, sizeof wanted, "%05llu.%s", static_cast<unsigned long long>(n), ext.c_str());
      const auto found = names.find(wanted);
      if (found == names.end()) break;
      const std::string path = dir + "/" + found->second;
      Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
      struct stat st;
      if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) break;  // not a page file

      const uint64_t record = stream_.size();
      stream_.resize(record + 4);
      uint64_t size = 0;
      for (;;) {
        const uint64_t file_size = static_cast<uint64_t>(st.st_size);
        const uint64_t remaining = file_size > size ? file_size - size : 0;
        // One byte beyond what a 32-bit length word can announce shows an excess.
        const uint64_t room = kMaxRecordBytes - (stream_.size() - 4) + 1;
        const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(remaining, 1 << 16), room);
        const uint64_t at = stream_.size();
        stream_.resize(static_cast<size_t>(at + want));
        const int64_t got = ReadFully(file.get(), stream_.data() + at, want);
        if (got < 0) return Fail(kPageStreamError);
        stream_.resize(static_cast<size_t>(at + static_cast<uint64_t>(got)));
        size += static_cast<uint64_t>(got);
        if (stream_.size() - 4 > kMaxRecordBytes) return Fail(kPageStreamError);
        if (static_cast<uint64_t>(got) < want) break;  // end of file
      }
      if (stream_.size() - 4 > kMaxRecordBytes) return Fail(kPageStreamError);
      PutLe32(stream_.data() + record, static_cast<uint32_t>(size));
      offsets.push_back(record);
    }
  } catch (const std::bad_alloc&) {
    return Fail(kNotEnoughMemory);
  }
  if (offsets.empty()) {
    stream_.clear();
    stream_.shrink_to_fit();
    return;
  }
  PutLe32(stream_.data(), static_cast<uint32_t>(stream_.size() - 4));
  if (!Walk()) return Fail(kPageStreamError);
}

}  // namespace vel::app
