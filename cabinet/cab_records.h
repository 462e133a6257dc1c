// The MS-CAB records as this library writes and reads them, the error block
// that the writer and the reader share, and small helpers both use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cabinet/codec.h"
#include "cabinet/codec_memory.h"

// The caller's error block: filled only on failure, never cleared by the library.
struct ERF {
  int32_t erfOper = 0;  // FCIERR_* or FDIERROR_* code
  int32_t erfType = 0;  // extra value: a callback's error number, or the cabinet's version
  int32_t fError = 0;   // 1 once an error was recorded
};

void FciSetError(ERF* perf, int32_t code, int32_t type);

// CFHEADER flags.
inline constexpr uint16_t cfhdrPREV_CABINET = 0x0001;
inline constexpr uint16_t cfhdrNEXT_CABINET = 0x0002;
inline constexpr uint16_t cfhdrRESERVE_PRESENT = 0x0004;

// CFFILE iFolder values for files that cross cabinets.
inline constexpr uint16_t ifoldCONTINUED_FROM_PREV = 0xFFFD;
inline constexpr uint16_t ifoldCONTINUED_TO_NEXT = 0xFFFE;
inline constexpr uint16_t ifoldCONTINUED_PREV_AND_NEXT = 0xFFFF;

// CFFILE attributes.
inline constexpr uint16_t _A_RDONLY = 0x01;
inline constexpr uint16_t _A_HIDDEN = 0x02;
inline constexpr uint16_t _A_SYSTEM = 0x04;
inline constexpr uint16_t _A_ARCH = 0x20;
inline constexpr uint16_t _A_EXEC = 0x40;
inline constexpr uint16_t _A_NAME_IS_UTF = 0x80;

namespace vel::cabinet {

inline constexpr uint32_t kSignatureMSCF = 0x4643534D;  // "MSCF"
inline constexpr uint32_t kSignatureUnfinished = 0x42414321;  // "!CAB": writing did not finish
inline constexpr uint16_t kCabVersion = 0x0103;
inline constexpr uint32_t kHeaderSize = 36;
inline constexpr uint32_t kFolderRecordSize = 8;  // without its reserve
inline constexpr uint32_t kFileRecordSize = 16;   // without its name
inline constexpr uint32_t kDataHeaderSize = 8;    // without its reserve
inline constexpr uint32_t kMaxName = 255;         // longest name in a record, without its 0 byte
inline constexpr uint32_t kMaxHeaderReserve = 60000;
inline constexpr uint32_t kMaxRecordReserve = 255;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The CFDATA checksum of a block: over the data, then over cbData, cbUncomp and
// the reserve that follow the checksum field in the header.
inline uint32_t DataBlockChecksum(std::span<const uint8_t> headerAfterCsum, std::span<const uint8_t> data) {
  uint32_t seed = CabChecksum(data.data(), static_cast<uint32_t>(data.size()), 0);
  return CabChecksum(headerAfterCsum.data(), static_cast<uint32_t>(headerAfterCsum.size()), seed);
}

// True when the text holds a byte outside ASCII.
inline bool HasNonAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view s);

}  // namespace vel::cabinet
