// Test-only writers of LZX and Quantum streams, built from the published formats
// so the decoders can be fed known data (no outside tool writes either method).
// Output is one payload per CFDATA block of at most 32,768 uncompressed bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "cabinet/testing/cab_bytes.h"

namespace vel::cabtest {

enum class LzxKind { kVerbatim, kAligned, kUncompressed };

struct LzxOptions {
  unsigned windowBits = 16;
  uint32_t e8Size = 0;                           // the E8 header; the data is sent as it stands
  uint32_t blockSize = 32768;                    // uncompressed bytes per block (may span frames)
  std::vector<LzxKind> kinds = {LzxKind::kVerbatim};  // block kinds, in turn
  bool matches = true;                           // false: literals only
  bool minimalTrees = false;  // trees give codes only to symbols used (may be empty or one code)
};

// The frames of one folder holding `data`.
std::vector<DataBlock> LzxFrames(const Bytes& data, const LzxOptions& options);

// The frames of one Quantum folder holding `data`. The last match may run up to
// `pastEnd` bytes past the data over bytes that read as zero, as an encoder does
// that matches into its zero-filled buffer (valid up to the end of the frame).
std::vector<DataBlock> QuantumFrames(const Bytes& data, unsigned windowBits, bool matches = true,
                                     size_t pastEnd = 0);

// E8 call translation undone the way a reader must, one frame at a time.
Bytes UndoE8Reference(const Bytes& data, uint32_t translationSize);

// A cabinet of one folder of the given method holding the files one after another.
Bytes CodecCabinet(uint16_t typeCompress, const std::vector<DataBlock>& blocks,
                   const std::vector<std::pair<std::string, Bytes>>& files);

}  // namespace vel::cabtest
