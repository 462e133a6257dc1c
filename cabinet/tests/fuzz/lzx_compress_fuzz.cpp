// Fuzz target for the LZX compressor. It compresses only the program's own
// input, so this checks robustness, not parsing: any bytes (window from the
// first byte) must compress without failing, every frame must fit the frame
// buffer and hold 32,768 bytes except the last, and the frames must account for
// every byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cabinet/codec.h"

namespace {

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

struct Count {
  uint64_t uncompressed = 0;
  bool shortFrameSeen = false;
};

int Check(void* ctx, const void*, uint32_t cb, uint32_t uncompressed) {
  auto* c = static_cast<Count*>(ctx);
  if (cb == 0 || cb > 32768 + 6144 || uncompressed == 0 || uncompressed > 32768 || c->shortFrameSeen) std::abort();
  if (uncompressed < 32768) c->shortFrameSeen = true;
  c->uncompressed += uncompressed;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const LciConfiguration config{1u << (15 + data[0] % 3), 65536};
  ++data;
  --size;
  Count count;
  uint32_t block = 32768, dstMin = 0;
  LzxCompressor* h = nullptr;
  if (LciCreateCompression(&block, &config, Alloc, Free, &dstMin, &h, Check, &count) != CODEC_OK) std::abort();
  std::vector<uint8_t> dst(dstMin);
  // Small inputs are repeated to fill several frames, so frame and block
  // boundaries and long matches are reached.
  std::vector<uint8_t> src;
  const size_t want = size < 4096 ? size * (1 + size % 23) : size;
  for (size_t i = 0; i < want; ++i) src.push_back(data[i % size] ^ static_cast<uint8_t>(i / size));
  for (size_t off = 0; off < src.size(); off += block) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(block, src.size() - off));
    uint32_t held = 0;
    if (LciCompress(h, src.data() + off, n, dst.data(), dstMin, &held) != CODEC_OK) std::abort();
  }
  if (LciFlushOutput(h) != CODEC_OK) std::abort();
  if (count.uncompressed != src.size()) std::abort();
  if (LciDestroyCompression(h) != CODEC_OK) std::abort();
  return 0;
}
