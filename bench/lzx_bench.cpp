// LZX compressor against our MSZIP compressor and `xz -6` (the reference of what
// a modern compressor reaches) on the same inputs in one run: sizes and speed.
// No cabinet tool compresses LZX, so xz stands in as the peer.
//
//   mszip_bench --write-inputs DIR && lzx_bench DIR/*
//   lzx_bench --stream MB FILE   (MB megabytes made from FILE, one LZX stream:
//                                 speed and peak memory for a large input)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cabinet/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Result {
  uint64_t size = 0;
  double seconds = 0;
};

int CountFrame(void* ctx, const void*, uint32_t cb, uint32_t) {
  *static_cast<uint64_t*>(ctx) += cb + 8;  // with the CFDATA header
  return 0;
}

// Feeds `total` bytes taken from `data` (repeated when shorter) as one stream.
Result Lzx(const Bytes& data, unsigned windowBits, uint64_t total) {
  Result r;
  uint32_t block = 32768, dstMin = 0;
  LzxCompressor* c = nullptr;
  const LciConfiguration config{1u << windowBits, 65536};
  if (LciCreateCompression(&block, &config, Alloc, Free, &dstMin, &c, CountFrame, &r.size) != CODEC_OK) std::abort();
  Bytes dst(dstMin), chunk(block);
  const auto t0 = Clock::now();
  uint64_t done = 0;
  uint32_t round = 0;
  while (done < total) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(block, total - done));
    for (uint32_t i = 0; i < n; ++i) chunk[i] = data[(done + i) % data.size()];
    // Later rounds of a repeated input differ a little, so they are not one long match.
    if (done >= data.size()) chunk[round++ % n] ^= 0x5A;
    uint32_t held = 0;
    if (LciCompress(c, chunk.data(), n, dst.data(), dstMin, &held) != CODEC_OK) std::abort();
    done += n;
  }
  if (LciFlushOutput(c) != CODEC_OK) std::abort();
  r.seconds = Since(t0);
  LciDestroyCompression(c);
  return r;
}

Result MsZip(const Bytes& data) {
  Result r;
  uint32_t block = 0, dstMin = 0;
  MsZipCompressor* c = nullptr;
  MciCreateCompression(&block, Alloc, Free, &dstMin, &c);
  Bytes out(dstMin);
  const auto t0 = Clock::now();
  for (size_t off = 0; off < data.size(); off += block) {
    const uint32_t n = uint32_t(std::min<size_t>(block, data.size() - off));
    uint32_t cb = 0;
    if (MciCompress(c, data.data() + off, n, out.data(), dstMin, &cb) != CODEC_OK) std::abort();
    r.size += cb + 8;
  }
  r.seconds = Since(t0);
  MciDestroyCompression(c);
  return r;
}

Result Xz(const fs::path& file) {
  Result r;
  const fs::path out = fs::temp_directory_path() / "lzx_bench.xz";
  const std::string cmd = "xz -6 -T1 -c '" + file.string() + "' > '" + out.string() + "'";
  const auto t0 = Clock::now();
  if (std::system(cmd.c_str()) != 0) return r;
  r.seconds = Since(t0);
  std::error_code ec;
  r.size = fs::file_size(out, ec);
  fs::remove(out, ec);
  return r;
}

double MBs(uint64_t bytes, double s) { return s > 0 ? double(bytes) / 1e6 / s : 0; }

long PeakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--stream") {
    const uint64_t total = std::strtoull(argv[2], nullptr, 10) << 20;
    const Bytes data = ReadFile(argv[3]);
    if (data.empty()) return 1;
    const long before = PeakRssKiB();
    const Result r = Lzx(data, 21, total);
    std::printf("LZX window 2^21, %llu bytes from %s: %llu bytes (%.2f%%), %.1f MB/s, peak RSS %ld KiB (%ld before)\n",
                static_cast<unsigned long long>(total), argv[3], static_cast<unsigned long long>(r.size),
                100.0 * double(r.size) / double(total), MBs(total, r.seconds), PeakRssKiB(), before);
    return 0;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: lzx_bench FILE... | lzx_bench --stream MB FILE\n");
    return 2;
  }
  std::printf("%-16s %12s %8s %12s\n", "codec", "size", "of input", "comp MB/s");
  for (int i = 1; i < argc; ++i) {
    const Bytes data = ReadFile(argv[i]);
    std::printf("\n== %s: %zu bytes\n", argv[i], data.size());
    auto row = [&](const char* name, const Result& r) {
      std::printf("%-16s %12llu %7.2f%% %12.1f\n", name, static_cast<unsigned long long>(r.size),
                  100.0 * double(r.size) / double(data.size()), MBs(data.size(), r.seconds));
    };
    const Result zip = MsZip(data);
    const Result lzx21 = Lzx(data, 21, data.size());
    row("mszip (ours)", zip);
    row("lzx 2^21", lzx21);
    row("lzx 2^15", Lzx(data, 15, data.size()));
    row("xz -6", Xz(argv[i]));
    std::printf("lzx 2^21 against mszip: %.1f%% smaller\n",
                100.0 * (1.0 - double(lzx21.size) / double(std::max<uint64_t>(zip.size, 1))));
  }
  std::printf("\nmszip and lzx sizes count 8 bytes of CFDATA header per block; xz includes process start.\n");
  return 0;
}
