// The runtime library's low-level file calls (_open, _read, _write, _close,
// _lseek, remove, _tempnam) and the file dates and attributes that the cabinet
// library's callbacks use, on POSIX. Callers keep the runtime's flag numbers;
// they are translated here, and only here, into the POSIX ones.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace vel::platform {

// Open flags as the runtime numbers them.
enum CrtOpenFlag : int {
  kCrtRdOnly = 0x0000,
  kCrtWrOnly = 0x0001,
  kCrtRdWr = 0x0002,
  kCrtAppend = 0x0008,
  kCrtRandom = 0x0010,      // access hint, no POSIX counterpart
  kCrtSequential = 0x0020,  // access hint, no POSIX counterpart
  kCrtTemporary = 0x0040,   // not supported: refused
  kCrtNoInherit = 0x0080,   // every handle here is close-on-exec anyway
  kCrtCreat = 0x0100,
  kCrtTrunc = 0x0200,
  kCrtExcl = 0x0400,
  kCrtText = 0x4000,        // no text mode here: refused
  kCrtBinary = 0x8000,
};

// Permission mode bits as the runtime numbers them (_S_IREAD, _S_IWRITE).
enum CrtPermission : int {
  kCrtPermWrite = 0x0080,
  kCrtPermRead = 0x0100,
};

// Origins of CrtSeek.
enum CrtSeekOrigin : int { kCrtSeekSet = 0, kCrtSeekCur = 1, kCrtSeekEnd = 2 };

// File attributes as MS-DOS numbers them.
enum DosAttribute : uint16_t {
  kDosAttrReadOnly = 0x01,
  kDosAttrHidden = 0x02,
  kDosAttrSystem = 0x04,
  kDosAttrArchive = 0x20,
};

// Extra bits for CrtOpen that the runtime has no number for.
enum CrtOpenExtra : int {
  kCrtNoExtra = 0,
  kCrtNoFollow = 1,  // refuse a symbolic link as the last component
  kCrtPrivate = 2,   // a new file is for its owner only (temporary files)
};

// Each returns what the runtime call returns: a handle or -1, a count or -1, 0 or -1.
// errno tells why a call failed.
intptr_t CrtOpen(const char* path, int crtFlags, int crtMode, int extra = kCrtNoExtra);
int CrtRead(intptr_t handle, void* buffer, unsigned count);
int CrtWrite(intptr_t handle, const void* buffer, unsigned count);
int CrtClose(intptr_t handle);
long CrtSeek(intptr_t handle, long offset, int origin);
int CrtRemove(const char* path);

// A name for a new temporary file in the temporary folder, starting with prefix;
// the file does not exist when the call returns (the caller creates it exclusively).
bool CrtTempName(const char* prefix, std::string& name);

// MS-DOS date and time of a local time; years outside 1980..2107 are clamped to
// the first or last moment the format can hold.
struct DosDateTime {
  uint16_t date = 0;
  uint16_t time = 0;
};
DosDateTime DosDateTimeFromUnix(std::time_t t);
// The local time a DOS date and time stand for; false when the fields are out of range.
bool UnixFromDosDateTime(uint16_t date, uint16_t time, std::time_t& out);

// Last-write time (as local DOS date and time) and attributes (read-only only:
// the other DOS attributes have no counterpart here; archive is reported as set).
bool GetFileDosInfo(const char* path, DosDateTime& when, uint16_t& attributes);
// Sets the last-write time (the access time stays); false when it cannot be set.
bool SetFileDosTime(const char* path, uint16_t date, uint16_t time);
// Applies the read-only attribute by taking away write permission; the other
// DOS attributes have no counterpart here and are ignored.
bool SetFileDosAttributes(const char* path, uint16_t attributes);

}  // namespace vel::platform
