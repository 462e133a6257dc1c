// The cabinet reader over an in-memory cabinet: every file operation goes to
// the input bytes, every output is counted and dropped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cabinet/fdi.h"

namespace {

// The callbacks carry no context, so the one input of a run lives here.
const uint8_t* g_data = nullptr;
size_t g_size = 0;
struct Handle {
  bool open = false;
  size_t pos = 0;
};
std::vector<Handle> g_handles;
constexpr intptr_t kOutputHandle = 1000;

void* Alloc(uint32_t cb) { return std::malloc(cb ? cb : 1); }
void Free(void* p) { std::free(p); }

intptr_t Open(const char*, int, int) {
  g_handles.push_back({true, 0});
  return static_cast<intptr_t>(g_handles.size());  // 1-based, never -1 or 0
}

Handle* Find(intptr_t hf) {
  if (hf < 1 || static_cast<size_t>(hf) > g_handles.size()) return nullptr;
  Handle* h = &g_handles[hf - 1];
  return h->open ? h : nullptr;
}

uint32_t Read(intptr_t hf, void* buffer, uint32_t cb) {
  Handle* h = Find(hf);
  if (h == nullptr) return static_cast<uint32_t>(-1);
  size_t n = h->pos < g_size ? std::min<size_t>(cb, g_size - h->pos) : 0;
  if (n) std::memcpy(buffer, g_data + h->pos, n);
  h->pos += n;
  return static_cast<uint32_t>(n);
}

uint32_t Write(intptr_t hf, void*, uint32_t cb) { return hf == kOutputHandle ? cb : static_cast<uint32_t>(-1); }

int Close(intptr_t hf) {
  if (hf == kOutputHandle) return 0;
  Handle* h = Find(hf);
  if (h == nullptr) return -1;
  h->open = false;
  return 0;
}

int32_t Seek(intptr_t hf, int32_t offset, int origin) {
  Handle* h = Find(hf);
  if (h == nullptr) return -1;
  int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(h->pos) : static_cast<int64_t>(g_size);
  int64_t to = base + offset;
  if (to < 0 || to > INT32_MAX) return -1;
  h->pos = static_cast<size_t>(to);
  return static_cast<int32_t>(to);
}

intptr_t Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  switch (type) {
    case fdintCOPY_FILE:
      // Skip every third file so that skipped files are walked too.
      return (n->cb % 3 == 1) ? 0 : kOutputHandle;
    case fdintCLOSE_FILE_INFO:
      return 1;
    case fdintNEXT_CABINET:
      return 0;  // try the named cabinet: it opens as the same bytes
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_data = data;
  g_size = size;
  g_handles.clear();
  ERF erf;
  HFDI h = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &erf);
  if (h == nullptr) return 0;
  intptr_t hf = Open("mem.cab", 0x8000, 0);
  FDICABINETINFO info;
  FDIIsCabinet(h, hf, &info);
  Close(hf);
  FDICopy(h, "mem.cab", "", 0, Notify, nullptr, nullptr);
  FDIDestroy(h);
  // Every cabinet handle the reader opened is closed again.
  for (const Handle& k : g_handles)
    if (k.open) std::abort();
  return 0;
}
