// The cabinet writer's file callbacks over real files, for the tests and the
// benchmarks.
#pragma once

#include <cstdint>

namespace vel::cabtest {

intptr_t FciTestOpen(const char* name, int flags, int mode, int* err, void* pv);
uint32_t FciTestRead(intptr_t hf, void* buffer, uint32_t cb, int* err, void* pv);
uint32_t FciTestWrite(intptr_t hf, const void* buffer, uint32_t cb, int* err, void* pv);
int FciTestClose(intptr_t hf, int* err, void* pv);
int32_t FciTestSeek(intptr_t hf, int32_t offset, int origin, int* err, void* pv);
int FciTestDelete(const char* name, int* err, void* pv);
int FciTestTempFile(char* buffer, int size, void* pv);
intptr_t FciTestOpenInfo(const char* name, uint16_t* date, uint16_t* time, uint16_t* attribs, int* err, void* pv);

}  // namespace vel::cabtest
