// Fuzz target for the Quantum decompressor. The first byte picks the window bits
// (10 to 21); then come frames, each a 2-byte little-endian length, a 2-byte
// little-endian size to produce and that many bytes, fed in order to one
// decompressor so the window, models and output count carry over. Any outcome
// but a crash, a hang, or more output than asked is fine.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cabinet/codec.h"

namespace {

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return 0;
  uint32_t block = 32768, srcMin = 0;
  const QdiConfiguration config{10 + data[0] % 12, 0};
  QuantumDecompressor* d = nullptr;
  if (QdiCreateDecompression(&block, &config, Alloc, Free, &srcMin, &d) != CODEC_OK) {
    std::abort();
  }
  std::vector<uint8_t> out(block);
  size_t off = 1;
  while (size - off >= 4) {
    const size_t len = std::min<size_t>(data[off] | data[off + 1] << 8, size - off - 4);
    const uint32_t want = (data[off + 2] | data[off + 3] << 8) % (block + 1);
    off += 4;
    std::vector<uint8_t> src(data + off, data + off + len);  // exact size, so overreads are caught
    uint32_t cb = want;
    const CodecStatus s = QdiDecompress(d, src.data(), static_cast<uint32_t>(src.size()), out.data(), &cb);
    if (s == CODEC_OK && cb != want) std::abort();
    if (s != CODEC_OK && s != CODEC_FAILED) std::abort();
    off += len;
    if ((len & 15) == 15 && QdiResetDecompression(d) != CODEC_OK) std::abort();
  }
  if (QdiDestroyDecompression(d) != CODEC_OK) std::abort();
  return 0;
}
