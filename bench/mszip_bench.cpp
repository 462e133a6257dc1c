// MSZIP codec against zlib on the same inputs in one run, and `gcab -c -z` as
// the peer for whole cabinets: speed (MB/s of uncompressed data) and sizes.
//
//   mszip_bench [file...]
//   mszip_bench --write-inputs DIR   (saves the default inputs, for profiling)
// Without arguments: text (documentation files of the system), an executable
// (/usr/bin/cmake) and a generated page bitmap. zlib works block by block
// without history, as gcab does; our compressor keeps the previous block.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "cabinet/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Real prose and licence text, up to `limit` bytes.
Bytes SystemText(size_t limit) {
  Bytes text;
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator("/usr/share/doc", ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && it->path().filename() == "copyright") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    const Bytes b = ReadFile(f);
    text.insert(text.end(), b.begin(), b.end());
    if (text.size() >= limit) break;
  }
  text.resize(std::min(text.size(), limit));
  return text;
}

// A 24-bit BMP of a document page at 150 dpi: white paper, lines of dark
// "words", a coloured stamp with a gradient, a little scanner noise.
Bytes PageBitmap() {
  const int w = 1240, h = 1754;
  const int stride = (w * 3 + 3) & ~3;
  Bytes bmp(54 + size_t(stride) * h, 0);
  auto put16 = [&](size_t o, uint32_t v) { bmp[o] = uint8_t(v), bmp[o + 1] = uint8_t(v >> 8); };
  auto put32 = [&](size_t o, uint32_t v) { put16(o, v), put16(o + 2, v >> 16); };
  bmp[0] = 'B', bmp[1] = 'M';
  put32(2, uint32_t(bmp.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  put16(26, 1);
  put16(28, 24);
  put32(34, uint32_t(stride) * h);
  std::mt19937 rng(7);
  std::vector<int> wordEnds;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = &bmp[54 + size_t(h - 1 - y) * stride];
    const int line = (y - 150) / 36, inLine = (y - 150) % 36;
    const bool textRow = y >= 150 && y < h - 200 && inLine >= 8 && inLine < 26;
    if (inLine == 8) {
      wordEnds.clear();
      std::mt19937 lr(static_cast<unsigned>(line));
      for (int x = 120; x < w - 120;) {
        x += 20 + int(lr() % 90);
        wordEnds.push_back(std::min(x, w - 120));
        x += 12;
      }
    }
    for (int x = 0; x < w; ++x) {
      uint8_t r = 255, g = 255, b = 255;
      if (textRow && x >= 120 && x < w - 120) {
        int start = 120;
        for (int end : wordEnds) {
          if (x >= start && x < end) {
            const bool ink = ((x * 7 + y * 3 + (x / 9) * (y / 5)) % 11) < 6;
            if (ink) r = g = b = uint8_t(20 + (x + y) % 30);
            break;
          }
          start = end + 12;
        }
      }
      const int dx = x - 950, dy = y - 1500;
      if (dx * dx + dy * dy < 120 * 120 && dx * dx + dy * dy > 100 * 100) {
        r = uint8_t(200 - dy / 2), g = 30, b = uint8_t(60 + dx / 3);
      }
      if (rng() % 97 == 0) r = g = b = uint8_t(r - rng() % 40);
      row[x * 3] = b, row[x * 3 + 1] = g, row[x * 3 + 2] = r;
    }
  }
  return bmp;
}

void* Alloc(uint32_t cb) { return std::malloc(cb); }
void Free(void* p) { std::free(p); }

template <class F>
double Median(int runs, F&& f) {
  return vel::bench::MedianSeconds(runs, f);
}

struct Result {
  size_t size = 0;
  double compressSeconds = 0, decompressSeconds = 0;
};

Result Ours(const Bytes& data, int runs) {
  Result r;
  std::vector<Bytes> blocks;
  r.compressSeconds = Median(runs, [&] {
    uint32_t block = 0, dstMin = 0;
    MsZipCompressor* c = nullptr;
    MciCreateCompression(&block, Alloc, Free, &dstMin, &c);
    blocks.clear();
    Bytes out(dstMin);
    for (size_t off = 0; off < data.size(); off += block) {
      const uint32_t n = uint32_t(std::min<size_t>(block, data.size() - off));
      uint32_t cb = 0;
      if (MciCompress(c, data.data() + off, n, out.data(), dstMin, &cb) != CODEC_OK) std::abort();
      blocks.emplace_back(out.begin(), out.begin() + cb);
    }
    MciDestroyCompression(c);
  });
  for (const Bytes& b : blocks) r.size += b.size() + 8;  // with the CFDATA header
  Bytes back;
  r.decompressSeconds = Median(runs, [&] {
    uint32_t block = 0, srcMin = 0;
    MsZipDecompressor* d = nullptr;
    MdiCreateDecompression(&block, Alloc, Free, &srcMin, &d);
    Bytes out(block);
    back.clear();
    back.reserve(data.size());
    for (const Bytes& b : blocks) {
      uint32_t cb = 0;
      if (MdiDecompress(d, b.data(), uint32_t(b.size()), out.data(), &cb) != CODEC_OK) std::abort();
      back.insert(back.end(), out.begin(), out.begin() + cb);
    }
    MdiDestroyDecompression(d);
  });
  if (back != data) {
    std::fprintf(stderr, "round trip mismatch\n");
    std::exit(1);
  }
  return r;
}

// zlib raw deflate, one stream per 32 KiB block (what gcab -z writes).
Result Zlib(const Bytes& data, int level, int runs) {
  Result r;
  std::vector<Bytes> blocks;
  r.compressSeconds = Median(runs, [&] {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    blocks.clear();
    Bytes out(deflateBound(&z, 32768));
    for (size_t off = 0; off < data.size(); off += 32768) {
      deflateReset(&z);
      z.next_in = const_cast<Bytef*>(data.data() + off);
      z.avail_in = uInt(std::min<size_t>(32768, data.size() - off));
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      deflate(&z, Z_FINISH);
      blocks.emplace_back(out.begin(), out.begin() + (out.size() - z.avail_out));
    }
    deflateEnd(&z);
  });
  for (const Bytes& b : blocks) r.size += b.size() + 2 + 8;
  r.decompressSeconds = Median(runs, [&] {
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(32768);
    for (const Bytes& b : blocks) {
      inflateReset(&z);
      z.next_in = const_cast<Bytef*>(b.data());
      z.avail_in = uInt(b.size());
      z.next_out = out.data();
      z.avail_out = uInt(out.size());
      if (inflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    }
    inflateEnd(&z);
  });
  return r;
}

// The peer: a whole cabinet with gcab -c -z (process start included).
Result Gcab(const fs::path& file, int runs) {
  Result r;
  const fs::path dir = fs::temp_directory_path() / "mszip_bench_gcab";
  fs::create_directories(dir);
  const fs::path cab = dir / "g.cab";
  const std::string cmd = "cd '" + file.parent_path().string() + "' && gcab -c -z '" + cab.string() + "' '" +
                          file.filename().string() + "' >/dev/null 2>&1";
  r.compressSeconds = Median(runs, [&] {
    fs::remove(cab);
    return std::system(cmd.c_str()) == 0;
  });
  std::error_code ec;
  r.size = fs::file_size(cab, ec);
  const fs::path outDir = dir / "x";
  const std::string xcmd = "rm -rf '" + outDir.string() + "' && mkdir -p '" + outDir.string() + "' && cd '" +
                           outDir.string() + "' && gcab -x '" + cab.string() + "' >/dev/null 2>&1";
  r.decompressSeconds = Median(runs, [&] { return std::system(xcmd.c_str()) == 0; });
  const Bytes back = ReadFile(outDir / file.filename());
  if (back.size() != fs::file_size(file)) r.decompressSeconds = -1;
  fs::remove_all(dir);
  return r;
}

double MBs(size_t bytes, double s) { return s > 0 ? double(bytes) / 1e6 / s : 0; }

}  // namespace

int main(int argc, char** argv) {
  struct Input {
    std::string name;
    Bytes data;
  };
  std::vector<Input> inputs;
  if (argc > 1 && std::string(argv[1]) != "--write-inputs") {
    for (int i = 1; i < argc; ++i) inputs.push_back({argv[i], ReadFile(argv[i])});
  } else {
    inputs.push_back({"text (/usr/share/doc copyright files)", SystemText(12u << 20)});
    inputs.push_back({"executable (/usr/bin/cmake)", ReadFile("/usr/bin/cmake")});
    inputs.push_back({"bitmap (generated A4 page, 150 dpi, 24-bit)", PageBitmap()});
  }
  if (argc > 2 && std::string(argv[1]) == "--write-inputs") {
    const char* names[] = {"text.txt", "executable.bin", "page.bmp"};
    for (size_t i = 0; i < inputs.size(); ++i) WriteFile(fs::path(argv[2]) / names[i], inputs[i].data);
    return 0;
  }
  const int runs = 3;
  const fs::path tmp = fs::temp_directory_path() / "mszip_bench_input";
  std::printf("%-12s %12s %8s %12s %12s\n", "codec", "size", "of input", "comp MB/s", "decomp MB/s");
  for (const Input& in : inputs) {
    std::printf("\n== %s: %zu bytes\n", in.name.c_str(), in.data.size());
    auto row = [&](const char* name, const Result& r) {
      std::printf("%-12s %12zu %7.2f%% %12.1f %12.1f\n", name, r.size, 100.0 * double(r.size) / double(in.data.size()),
                  MBs(in.data.size(), r.compressSeconds), MBs(in.data.size(), r.decompressSeconds));
    };
    row("ours", Ours(in.data, runs));
    row("zlib -6", Zlib(in.data, 6, runs));
    row("zlib -9", Zlib(in.data, 9, runs));
    fs::create_directories(tmp);
    const fs::path f = tmp / "input.bin";
    WriteFile(f, in.data);
    row("gcab -c -z", Gcab(f, runs));
    fs::remove_all(tmp);
  }
  std::printf("\nsizes count 8 bytes of CFDATA header per block (gcab: the whole cabinet file);\n"
              "zlib rows reset per block like gcab; gcab rows include process start and file I/O;\n"
              "speeds from medians of %d runs; 0 MB/s: the run failed.\n", runs);
  return 0;
}
