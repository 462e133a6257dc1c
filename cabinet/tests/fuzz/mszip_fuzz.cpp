// Fuzz target for the MSZIP codec. The input is read two ways:
//  - as a folder of CFDATA payloads, each a 2-byte little-endian length and that
//    many bytes, fed in order to one decompressor (so history across blocks is
//    exercised); any outcome but a crash, a hang or output beyond a block is fine;
//  - as plain data, compressed block by block and decompressed again, which
//    must give it back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cabinet/codec.h"

namespace {

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

void DecodeBlocks(const uint8_t* data, size_t size) {
  uint32_t block = 0, srcMin = 0;
  MsZipDecompressor* d = nullptr;
  if (MdiCreateDecompression(&block, Alloc, Free, &srcMin, &d) != CODEC_OK) std::abort();
  std::vector<uint8_t> out(block);
  size_t off = 0;
  while (size - off >= 2) {
    const size_t len = std::min<size_t>(data[off] | data[off + 1] << 8, size - off - 2);
    off += 2;
    std::vector<uint8_t> src(data + off, data + off + len);  // exact size, so overreads are caught
    uint32_t cb = 0;
    const CodecStatus s = MdiDecompress(d, src.data(), static_cast<uint32_t>(src.size()), out.data(), &cb);
    if (s == CODEC_OK && cb > block) std::abort();
    if (s != CODEC_OK && s != CODEC_FAILED && s != CODEC_BUFFER_OVERFLOW) std::abort();
    off += len;
    if ((len & 7) == 7 && MdiResetDecompression(d) != CODEC_OK) std::abort();
  }
  if (MdiDestroyDecompression(d) != CODEC_OK) std::abort();
}

void RoundTrip(const uint8_t* data, size_t size) {
  uint32_t block = 0, dstMin = 0, srcMin = 0;
  MsZipCompressor* c = nullptr;
  MsZipDecompressor* d = nullptr;
  if (MciCreateCompression(&block, Alloc, Free, &dstMin, &c) != CODEC_OK) std::abort();
  if (MdiCreateDecompression(&block, Alloc, Free, &srcMin, &d) != CODEC_OK) std::abort();
  std::vector<uint8_t> packed(dstMin), out(block);
  // A full block of repeated input, then the input once more: the second block
  // is compressed against the first as history.
  std::vector<uint8_t> input;
  while (input.size() < block) input.insert(input.end(), data, data + size);
  input.resize(block);
  input.insert(input.end(), data, data + size);
  for (size_t off = 0; off < input.size(); off += block) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, input.size() - off));
    uint32_t cb = 0, got = 0;
    if (MciCompress(c, input.data() + off, n, packed.data(), dstMin, &cb) != CODEC_OK) std::abort();
    if (cb > n + 12) std::abort();
    if (MdiDecompress(d, packed.data(), cb, out.data(), &got) != CODEC_OK) std::abort();
    if (got != n || std::memcmp(out.data(), input.data() + off, n) != 0) std::abort();
  }
  MciDestroyCompression(c);
  MdiDestroyDecompression(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (data == nullptr) return 0;
  DecodeBlocks(data, size);
  // The round trip costs two full blocks; half of the small inputs take it.
  if (size > 0 && size <= 2048 && (data[0] & 1) != 0) RoundTrip(data, size);
  return 0;
}
