// A job file is written by a printer driver we do not control: any bytes must
// give either error 2 and no pages, or pages that fill the stream exactly.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/page_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("job", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  {
    vel::app::CPageList list(fd);
    if (list.error() != 0) {
      if (!list.IsEmpty() || !list.stream().empty()) std::abort();
    } else {
      uint64_t total = 4;
      for (const auto& e : list.entries()) {
        if (e.data() != list.stream().data() + total + 4) std::abort();
        total += 4 + uint64_t{e.size()};
      }
      if (total != list.stream().size() || list.stream().size() > size) std::abort();
    }
  }
  ::close(fd);
  return 0;
}
