// Codec availability, the CFDATA checksum, and the entry points of the codecs
// that are not built yet (Quantum and LZX decompressors).
#include "cabinet/codec.h"

#include <bit>
#include <cstring>

#include "cabinet/codec_memory.h"

bool CodecAvailable(uint16_t typeCompress) {
  const uint16_t method = CompressionMethod(typeCompress);
  return method == tcompTYPE_NONE || method == tcompTYPE_MSZIP;
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

// ---- Not built yet: the dispatch checks CodecAvailable() first, so these are
// reached only by a caller that skips that check. No context of these kinds can
// exist, so every entry point that takes one refuses it as a wrong tag.

CodecStatus QdiCreateDecompression(uint32_t* pBlockSize, const QdiConfiguration* config, PFNALLOC, PFNFREE,
                                   uint32_t* pSrcBufferMin, QuantumDecompressor** pHandle) {
  if (pHandle != nullptr) *pHandle = nullptr;
  if (config == nullptr || pBlockSize == nullptr || pSrcBufferMin == nullptr) return CODEC_BAD_PARAMETERS;
  if (config->windowBits < 10 || config->windowBits > 21) return CODEC_BAD_CONFIGURATION;
  *pBlockSize = vel::cabinet::NormaliseBlockSize(*pBlockSize);
  *pSrcBufferMin = *pBlockSize + kQuantumSlack;
  return pHandle == nullptr ? CODEC_OK : CODEC_BAD_CONFIGURATION;
}
CodecStatus QdiDecompress(QuantumDecompressor*, const void*, uint32_t, void*, uint32_t*) {
  return CODEC_BAD_PARAMETERS;
}
CodecStatus QdiResetDecompression(QuantumDecompressor*) { return CODEC_BAD_PARAMETERS; }
CodecStatus QdiDestroyDecompression(QuantumDecompressor*) { return CODEC_BAD_PARAMETERS; }

CodecStatus LdiCreateDecompression(uint32_t* pBlockSize, const LdiConfiguration* config, PFNALLOC, PFNFREE,
                                   uint32_t* pSrcBufferMin, LzxDecompressor** pHandle, PFNOPEN, PFNREAD,
                                   PFNWRITE, PFNCLOSE, PFNSEEK) {
  if (pHandle != nullptr) *pHandle = nullptr;
  if (config == nullptr || pBlockSize == nullptr || pSrcBufferMin == nullptr) return CODEC_BAD_PARAMETERS;
  *pSrcBufferMin = *pBlockSize + kLzxSlack;
  return pHandle == nullptr ? CODEC_OK : CODEC_BAD_CONFIGURATION;
}
CodecStatus LdiDecompress(LzxDecompressor*, const void*, uint32_t, void*, uint32_t* pcbResult) {
  if (pcbResult != nullptr) *pcbResult = 0;
  return CODEC_BAD_PARAMETERS;
}
CodecStatus LdiResetDecompression(LzxDecompressor*) { return CODEC_BAD_PARAMETERS; }
CodecStatus LdiDestroyDecompression(LzxDecompressor*) { return CODEC_BAD_PARAMETERS; }
