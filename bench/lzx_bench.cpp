// LZX compressor against our MSZIP compressor and `xz -6` (the reference of what
// a modern compressor reaches) on the same inputs in one run: sizes and speed,
// medians of several runs, ratio xz time / LZX 2^21 time. No cabinet tool
// compresses LZX, so xz stands in as the peer. Every output is checked once:
// ours decompressed by our own decoders, xz's by `xz -d`, against the input.
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

#include "bench/measure.h"
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

constexpr int kRuns = 5;

struct Frame {
  Bytes data;
  uint32_t uncompressed = 0;
};

struct Result {
  uint64_t size = 0;
  double seconds = 0;
  std::vector<Frame>* frames = nullptr;  // kept for the check when set
};

int CountFrame(void* ctx, const void* data, uint32_t cb, uint32_t uncompressed) {
  auto* r = static_cast<Result*>(ctx);
  r->size += cb + 8;  // with the CFDATA header
  if (r->frames != nullptr) {
    const auto* p = static_cast<const uint8_t*>(data);
    r->frames->push_back({Bytes(p, p + cb), uncompressed});
  }
  return 0;
}

// Feeds `total` bytes taken from `data` (repeated when shorter) as one stream.
Result Lzx(const Bytes& data, unsigned windowBits, uint64_t total, std::vector<Frame>* frames = nullptr) {
  Result r;
  r.frames = frames;
  uint32_t block = 32768, dstMin = 0;
  LzxCompressor* c = nullptr;
  const LciConfiguration config{1u << windowBits, 65536};
  if (LciCreateCompression(&block, &config, Alloc, Free, &dstMin, &c, CountFrame, &r) != CODEC_OK) std::abort();
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

Result MsZip(const Bytes& data, std::vector<Frame>* frames = nullptr) {
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
    if (frames != nullptr) frames->push_back({Bytes(out.begin(), out.begin() + cb), n});
  }
  r.seconds = Since(t0);
  MciDestroyCompression(c);
  return r;
}

// xz's size once, checked by decompressing it; its time the median of whole processes.
Result Xz(const fs::path& file) {
  Result r;
  const fs::path out = fs::temp_directory_path() / ("lzx_bench." + std::to_string(getpid()) + ".xz");
  const std::string in = vel::bench::ShellQuote(file.string()), xz = vel::bench::ShellQuote(out.string());
  if (vel::bench::Run("xz -6 -T1 -c " + in + " > " + xz) != 0 || vel::bench::Run("xz -dc " + xz + " | cmp -s - " + in) != 0) {
    std::fprintf(stderr, "xz did not give back %s\n", file.c_str());
    std::exit(1);
  }
  std::error_code ec;
  r.size = fs::file_size(out, ec);
  r.seconds = vel::bench::MedianSeconds(kRuns, [&] { return vel::bench::Run("xz -6 -T1 -c " + in + " > " + xz) == 0; });
  fs::remove(out, ec);
  return r;
}

// Our frames decompressed by our own decoders give back the input.
bool GivesBack(const std::vector<Frame>& frames, const Bytes& data, int windowBits) {
  uint32_t block = 32768, srcMin = 0;
  Bytes out, dst(32768);
  if (windowBits == 0) {
    MsZipDecompressor* d = nullptr;
    if (MdiCreateDecompression(&block, Alloc, Free, &srcMin, &d) != CODEC_OK) return false;
    for (const Frame& f : frames) {
      uint32_t cb = 0;
      if (MdiDecompress(d, f.data.data(), uint32_t(f.data.size()), dst.data(), &cb) != CODEC_OK) break;
      out.insert(out.end(), dst.begin(), dst.begin() + cb);
    }
    MdiDestroyDecompression(d);
  } else {
    LzxDecompressor* d = nullptr;
    const LdiConfiguration config{1u << windowBits, 0};
    if (LdiCreateDecompression(&block, &config, Alloc, Free, &srcMin, &d, nullptr, nullptr, nullptr, nullptr,
                               nullptr) != CODEC_OK)
      return false;
    for (const Frame& f : frames) {
      uint32_t cb = f.uncompressed;
      if (LdiDecompress(d, f.data.data(), uint32_t(f.data.size()), dst.data(), &cb) != CODEC_OK) break;
      out.insert(out.end(), dst.begin(), dst.begin() + cb);
    }
    LdiDestroyDecompression(d);
  }
  return out == data;
}

// One of our compressors: checked once, then the median time of kRuns runs.
template <typename F>
Result Ours(const char* name, const Bytes& data, int windowBits, F&& compress) {
  std::vector<Frame> frames;
  Result r = compress(&frames);
  if (!GivesBack(frames, data, windowBits)) {
    std::fprintf(stderr, "%s does not give back its input\n", name);
    std::exit(1);
  }
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) times.push_back(compress(nullptr).seconds);
  r.seconds = vel::bench::Median(times);
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
  std::printf("%-16s %12s %8s %12s %8s\n", "codec", "size", "of input", "comp MB/s", "ratio");
  for (int i = 1; i < argc; ++i) {
    const Bytes data = ReadFile(argv[i]);
    if (data.empty()) continue;
    std::printf("\n== %s: %zu bytes\n", argv[i], data.size());
    const Result lzx21 = Ours("lzx 2^21", data, 21, [&](std::vector<Frame>* f) { return Lzx(data, 21, data.size(), f); });
    auto row = [&](const char* name, const Result& r) {
      std::printf("%-16s %12llu %7.2f%% %12.1f %8s\n", name, static_cast<unsigned long long>(r.size),
                  100.0 * double(r.size) / double(data.size()), MBs(data.size(), r.seconds),
                  vel::bench::Ratio(r.seconds, lzx21.seconds).c_str());
    };
    const Result zip = Ours("mszip", data, 0, [&](std::vector<Frame>* f) { return MsZip(data, f); });
    row("mszip (ours)", zip);
    row("lzx 2^21", lzx21);
    row("lzx 2^15", Ours("lzx 2^15", data, 15, [&](std::vector<Frame>* f) { return Lzx(data, 15, data.size(), f); }));
    row("xz -6", Xz(argv[i]));
    std::printf("lzx 2^21 against mszip: %.1f%% smaller\n",
                100.0 * (1.0 - double(lzx21.size) / double(std::max<uint64_t>(zip.size, 1))));
  }
  std::printf("\nmedians of %d runs; ratio = that row's time / lzx 2^21's (above 1 lzx 2^21 is faster); mszip and "
              "lzx sizes count 8 bytes of CFDATA header per block; xz is a whole process.\n",
              kRuns);
  return 0;
}
