#include "cabinet/testing/fci_files.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/crt_files.h"

namespace vel::cabtest {

intptr_t FciTestOpen(const char* name, int flags, int mode, int* err, void*) {
  intptr_t h = vel::platform::CrtOpen(name, flags, mode);
  if (h == -1) *err = errno;
  return h;
}
uint32_t FciTestRead(intptr_t hf, void* buffer, uint32_t cb, int*, void*) {
  return static_cast<uint32_t>(vel::platform::CrtRead(hf, buffer, cb));
}
uint32_t FciTestWrite(intptr_t hf, const void* buffer, uint32_t cb, int*, void*) {
  return static_cast<uint32_t>(vel::platform::CrtWrite(hf, buffer, cb));
}
int FciTestClose(intptr_t hf, int*, void*) { return vel::platform::CrtClose(hf); }
int32_t FciTestSeek(intptr_t hf, int32_t offset, int origin, int*, void*) {
  return static_cast<int32_t>(vel::platform::CrtSeek(hf, offset, origin));
}
int FciTestDelete(const char* name, int*, void*) { return vel::platform::CrtRemove(name); }
int FciTestTempFile(char* buffer, int size, void*) {
  std::string name;
  if (!vel::platform::CrtTempName("xx", name) || name.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}
intptr_t FciTestOpenInfo(const char* name, uint16_t* date, uint16_t* time, uint16_t* attribs, int* err, void*) {
  vel::platform::DosDateTime when;
  if (!vel::platform::GetFileDosInfo(name, when, *attribs)) {
    *err = errno;
    return -1;
  }
  *date = when.date;
  *time = when.time;
  return vel::platform::CrtOpen(name, 0x8000, 0);
}

}  // namespace vel::cabtest
