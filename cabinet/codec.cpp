// Codec availability and the CFDATA checksum.
#include "cabinet/codec.h"

#include <bit>
#include <cstring>

#include "cabinet/codec_memory.h"

bool CodecAvailable(uint16_t typeCompress) {
  const uint16_t method = CompressionMethod(typeCompress);
  return method == tcompTYPE_NONE || method == tcompTYPE_MSZIP || method == tcompTYPE_QUANTUM ||
         method == tcompTYPE_LZX;
}

static_assert(std::endian::native == std::endian::little, "the checksum folds words in host order");

uint32_t CabChecksum(const void* data, uint32_t length, uint32_t seed) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t sum = seed;
  uint32_t words = length / 4;
  // Eight bytes at a time: XOR is associative, so two little-endian words fold into one.
  uint64_t wide = 0;
  for (; words >= 2; words -= 2, p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    wide ^= w;
  }
  sum ^= static_cast<uint32_t>(wide) ^ static_cast<uint32_t>(wide >> 32);
  if (words != 0) {
    sum ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    p += 4;
  }
  uint32_t tail = 0;
  switch (length & 3) {
    case 3: tail |= uint32_t(*p++) << 16; [[fallthrough]];
    case 2: tail |= uint32_t(*p++) << 8; [[fallthrough]];
    case 1: tail |= uint32_t(*p); break;
    default: break;
  }
  return sum ^ tail;
}
