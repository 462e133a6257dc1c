// CreateCabinet against `gcab -c -z` and ExtractCabinet against `cabextract`,
// on the same inputs in one run: text, executables and bitmaps.
//
//   cabinet_bench            speed and size on about 30 MB of each kind
//   cabinet_bench --big      peak memory of both calls for a 1 GB input
//   cabinet_bench --codecs   ExtractCabinet against cabextract on LZX cabinets of
//                            the same sets (written by our LZX compressor, 2 MB
//                            window) and Quantum ones (made by the test writer,
//                            as no common tool writes Quantum), and peak memory
//                            of both readers on a 256 MB LZX cabinet
//
// Times are medians of three runs, in process for ours and a process for the
// peer's; ratios are the peer's time over ours (above 1 we are faster).
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "cabinet/cabinet.h"
#include "cabinet/codec.h"
#include "cabinet/fci.h"
#include "cabinet/testing/codec_streams.h"
#include "cabinet/testing/fci_files.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kSetBytes = 30ull << 20;
constexpr int kRuns = 3;

using vel::bench::Ratio;
const auto& Quote = vel::bench::ShellQuote;

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

uint64_t TreeBytes(const fs::path& dir) {
  uint64_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

bool SameTree(const fs::path& a, const fs::path& b) {
  for (const auto& e : fs::directory_iterator(a)) {
    fs::path other = b / e.path().filename();
    if (!fs::exists(other) || fs::file_size(other) != e.file_size()) return false;
    std::ifstream x(e.path(), std::ios::binary), y(other, std::ios::binary);
    std::vector<char> bx(1 << 16), by(1 << 16);
    while (x && y) {
      x.read(bx.data(), bx.size());
      y.read(by.data(), by.size());
      if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) return false;
    }
  }
  return true;
}

// Copies regular files matching the filter from the roots until the set holds `limit` bytes.
void GatherFiles(const std::vector<std::string>& roots, bool (*want)(const fs::path&), const fs::path& dest,
                 uint64_t limit) {
  fs::create_directories(dest);
  uint64_t have = 0;
  int index = 0;
  for (const auto& root : roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator() && have < limit; it.increment(ec)) {
      if (ec) break;
      if (!it->is_regular_file(ec) || it->is_symlink(ec) || !want(it->path())) continue;
      uint64_t size = it->file_size(ec);
      if (ec || size == 0 || size > (8u << 20)) continue;
      char name[32];
      std::snprintf(name, sizeof name, "%05d%s", ++index, it->path().extension().string().substr(0, 8).c_str());
      fs::copy_file(it->path(), dest / name, ec);
      if (!ec) have += size;
    }
  }
}

bool IsText(const fs::path& p) {
  auto e = p.extension().string();
  return e == ".h" || e == ".hpp" || e == ".txt" || e == ".html" || e == ".xml" || e == ".c";
}

bool IsElf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  char m[4] = {};
  in.read(m, 4);
  return in && std::memcmp(m, "\x7f" "ELF", 4) == 0;
}

// A scanned page at 200 dpi: white paper, lines of dark glyph-like marks, a coloured letterhead.
void WriteBitmap(const fs::path& p, uint32_t seed) {
  const int w = 1654, h = 2339, stride = (w * 3 + 3) & ~3;
  std::vector<uint8_t> img(static_cast<size_t>(stride) * h, 0xFF);
  uint32_t x = seed * 2654435761u + 7;
  auto rnd = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
  for (int y = 0; y < 200; ++y)
    for (int c = 0; c < w; ++c) {
      uint8_t* px = &img[static_cast<size_t>(h - 1 - y) * stride + c * 3];
      px[0] = static_cast<uint8_t>(120 + c * 100 / w);
      px[1] = static_cast<uint8_t>(60 + y / 2);
      px[2] = 30;
    }
  for (int line = 260; line + 30 < h - 150; line += 48) {
    int c = 150;
    while (c < w - 150) {
      int glyph = 10 + rnd() % 18;
      if (rnd() % 7 == 0) {
        c += 20;
        continue;
      }
      for (int y = 0; y < 28; ++y)
        for (int k = 0; k < glyph; ++k)
          if ((rnd() & 3) == 0) {
            uint8_t* px = &img[static_cast<size_t>(h - 1 - (line + y)) * stride + (c + k) * 3];
            px[0] = px[1] = px[2] = static_cast<uint8_t>(20 + rnd() % 60);
          }
      c += glyph + 4;
    }
  }
  std::ofstream out(p, std::ios::binary);
  uint8_t hdr[54] = {'B', 'M'};
  auto put32 = [&](int at, uint32_t v) { std::memcpy(hdr + at, &v, 4); };
  put32(2, 54 + static_cast<uint32_t>(img.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  hdr[26] = 1;
  hdr[28] = 24;
  put32(34, static_cast<uint32_t>(img.size()));
  out.write(reinterpret_cast<char*>(hdr), 54);
  out.write(reinterpret_cast<char*>(img.data()), static_cast<std::streamsize>(img.size()));
}

std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

int OurCreate(const fs::path& dir, const fs::path& cab) {
  auto files = Files(dir);
  std::vector<const char*> argv;
  for (const auto& f : files) argv.push_back(f.c_str());
  return vel::cabinet::CreateCabinet(static_cast<int>(argv.size()), argv.data(), cab.c_str());
}

template <typename F>
double Median(F f) {
  return vel::bench::MedianSeconds(kRuns, f);
}

void RunSet(const char* label, const fs::path& src, const fs::path& work) {
  uint64_t bytes = TreeBytes(src);
  double mb = bytes / 1048576.0;
  fs::path ours = work / (std::string(label) + "-ours.cab");
  fs::path theirs = work / (std::string(label) + "-gcab.cab");
  fs::path outOurs = work / (std::string(label) + "-x-ours"), outTheirs = work / (std::string(label) + "-x-cabextract");

  double tOurs = Median([&] { return OurCreate(src, ours) == 1; });
  std::string gcab = "cd " + Quote(src.string()) + " && gcab -c -z " + Quote(theirs.string());
  for (const auto& f : Files(src)) gcab += " " + Quote(fs::path(f).filename().string());
  double tGcab = Median([&] { return std::system(gcab.c_str()) == 0; });

  auto extractOurs = [&] {
    fs::remove_all(outOurs);
    fs::create_directories(outOurs);
    return vel::cabinet::ExtractCabinet(ours.c_str(), (outOurs.string() + "/").c_str()) == 1;
  };
  auto extractCabextract = [&] {
    fs::remove_all(outTheirs);
    fs::create_directories(outTheirs);
    std::string cmd = "cabextract -q -d " + Quote(outTheirs.string()) + " " + Quote(ours.string());
    return std::system(cmd.c_str()) == 0;
  };
  double xOurs = Median(extractOurs);
  double xCab = Median(extractCabextract);
  bool same = SameTree(src, outOurs) && SameTree(src, outTheirs);

  std::printf("%-12s %8.1f MB in %4zu files\n", label, mb, Files(src).size());
  std::printf("  create   ours      %7.3f s %8.1f MB/s  cabinet %11llu bytes (%.1f%%)\n", tOurs, mb / tOurs,
              static_cast<unsigned long long>(fs::file_size(ours)), 100.0 * fs::file_size(ours) / bytes);
  std::printf("  create   gcab -z   %7.3f s %8.1f MB/s  cabinet %11llu bytes (%.1f%%)\n", tGcab, mb / tGcab,
              static_cast<unsigned long long>(fs::file_size(theirs)), 100.0 * fs::file_size(theirs) / bytes);
  std::printf("  extract  ours      %7.3f s %8.1f MB/s\n", xOurs, mb / xOurs);
  std::printf("  extract  cabextract%7.3f s %8.1f MB/s   ratio cabextract/ours %s\n", xCab, mb / xCab,
              Ratio(xCab, xOurs).c_str());
  std::printf("  create ratio gcab/ours %s, size ours/gcab %.3f, extracted trees identical: %s\n\n",
              Ratio(tGcab, tOurs).c_str(), static_cast<double>(fs::file_size(ours)) / fs::file_size(theirs),
              same ? "yes" : "NO");
}

int NoNextCabinet(CCAB*, uint32_t, void*) { return 1; }
void* Alloc(uint32_t cb) { return std::malloc(cb ? cb : 1); }
void Free(void* p) { std::free(p); }

// One LZX folder (2 MB window) holding every file of the set, in name order,
// written by FCIAddFile as a producer of such cabinets writes them.
bool LzxCabinetOf(const fs::path& src, const fs::path& cab) {
  using namespace vel::cabtest;
  CCAB ccab;
  ccab.cbFolderThresh = 0x7FFFFFFF;
  ccab.szDisk = "disk1";
  ccab.szCab = cab.filename().string();
  ccab.szCabPath = cab.parent_path().string() + "/";
  ERF erf;
  HFCI h = FCICreate(&erf, nullptr, Alloc, Free, FciTestOpen, FciTestRead, FciTestWrite, FciTestClose, FciTestSeek,
                     FciTestDelete, FciTestTempFile, &ccab, nullptr);
  if (h == nullptr) return false;
  bool ok = true;
  for (const auto& f : Files(src))
    ok = ok && FCIAddFile(h, f.c_str(), fs::path(f).filename().c_str(), false, NoNextCabinet, nullptr,
                          FciTestOpenInfo, tcompTYPE_LZX | 21 << 8);
  ok = ok && FCIFlushCabinet(h, false, NoNextCabinet, nullptr);
  return FCIDestroy(h) && ok;
}

// One Quantum folder holding every file of the set, in name order, from the
// test writer.
bool QuantumCabinetOf(const fs::path& src, const fs::path& cab) {
  std::vector<std::pair<std::string, vel::cabtest::Bytes>> files;
  vel::cabtest::Bytes all;
  for (const auto& f : Files(src)) {
    std::ifstream in(f, std::ios::binary);
    vel::cabtest::Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    all.insert(all.end(), b.begin(), b.end());
    files.push_back({fs::path(f).filename().string(), std::move(b)});
  }
  const vel::cabtest::Bytes bytes =
      vel::cabtest::CodecCabinet(tcompTYPE_QUANTUM | 16 << 8, vel::cabtest::QuantumFrames(all, 16), files);
  std::ofstream out(cab, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

fs::path CodecCabinetOf(const fs::path& src, const fs::path& cab, bool lzx) {
  if (!(lzx ? LzxCabinetOf(src, cab) : QuantumCabinetOf(src, cab))) {
    std::fprintf(stderr, "cannot write %s\n", cab.c_str());
    std::exit(1);
  }
  return cab;
}

void RunCodecSet(const char* label, const fs::path& src, const fs::path& work) {
  const double mb = TreeBytes(src) / 1048576.0;
  for (bool lzx : {true, false}) {
    const char* method = lzx ? "lzx" : "quantum";
    const fs::path cab = CodecCabinetOf(src, work / (std::string(label) + "-" + method + ".cab"), lzx);
    const fs::path outOurs = work / (std::string(label) + "-" + method + "-ours");
    const fs::path outTheirs = work / (std::string(label) + "-" + method + "-cabextract");
    double xOurs = Median([&] {
      fs::remove_all(outOurs);
      fs::create_directories(outOurs);
      return vel::cabinet::ExtractCabinet(cab.c_str(), (outOurs.string() + "/").c_str()) == 1;
    });
    double xCab = Median([&] {
      fs::remove_all(outTheirs);
      fs::create_directories(outTheirs);
      return std::system(("cabextract -q -d " + Quote(outTheirs.string()) + " " + Quote(cab.string())).c_str()) == 0;
    });
    const bool same = SameTree(src, outOurs) && SameTree(src, outTheirs);
    std::printf("%-12s %-8s %7.1f MB, cabinet %5.1f%%: ours %7.3f s %7.1f MB/s, cabextract %7.3f s %7.1f MB/s, "
                "ratio cabextract/ours %s, both trees identical to the input: %s\n",
                label, method, mb, 100.0 * fs::file_size(cab) / TreeBytes(src), xOurs, mb / xOurs, xCab, mb / xCab,
                Ratio(xCab, xOurs).c_str(), same ? "yes" : "NO");
  }
}

// Runs f in a child process and reports its peak resident memory in MB.
template <typename F>
double PeakMb(F f, bool& ok) {
  pid_t pid = fork();
  if (pid == 0) _exit(f() ? 0 : 1);
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ru.ru_maxrss / 1024.0;
}

int Big(const fs::path& work) {
  fs::path src = work / "big-src";
  fs::create_directories(src);
  fs::path file = src / "big.txt";
  {
    // Page-stream-like text, repetitive enough that 1 GB fits the 100,000,000-byte
    // cabinet the program writes (a larger one would need a second cabinet, which it refuses).
    std::ofstream out(file, std::ios::binary);
    std::string chunk;
    uint32_t x = 1;
    const char* words[] = {"podpis ", "dokument ", "strona ", "certyfikat ", "0x1F ", "EMR_POLYLINE ", "\n",
                           "1250 ", "Vellorum ", "kwalifikowany "};
    while (chunk.size() < (4u << 10)) {
      x = x * 1103515245u + 12345u;
      chunk += words[(x >> 16) % 10];
      if ((x >> 8) % 13 == 0) chunk += std::to_string(x % 100000) + " ";
    }
    chunk.resize(4u << 10);
    std::string block;
    while (block.size() < (1u << 20)) block += chunk;
    chunk = block.substr(0, 1u << 20);
    for (int i = 0; i < 1024; ++i) {
      chunk[(i * 7919) % chunk.size()] = static_cast<char>('A' + i % 26);
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  std::printf("input %llu bytes\n", static_cast<unsigned long long>(fs::file_size(file)));
  fs::path cab = work / "big.cab";
  bool ok = false;
  auto t = std::chrono::steady_clock::now();
  double create = PeakMb([&] { return OurCreate(src, cab) == 1; }, ok);
  std::printf("CreateCabinet: %s, %.1f s, peak RSS %.1f MB, cabinet %llu bytes\n", ok ? "ok" : "FAILED", Seconds(t),
              create, ok ? static_cast<unsigned long long>(fs::file_size(cab)) : 0ull);
  if (!ok) return 1;
  fs::path out = work / "big-out";
  fs::create_directories(out);
  t = std::chrono::steady_clock::now();
  double extract =
      PeakMb([&] { return vel::cabinet::ExtractCabinet(cab.c_str(), (out.string() + "/").c_str()) == 1; }, ok);
  std::printf("ExtractCabinet: %s, %.1f s, peak RSS %.1f MB, identical: %s\n", ok ? "ok" : "FAILED", Seconds(t),
              extract, ok && SameTree(src, out) ? "yes" : "NO");
  return ok ? 0 : 1;
}

// The three sets: text, executables and bitmaps.
void GatherSets(const fs::path& work) {
  GatherFiles({"/usr/include", "/usr/share/doc"}, IsText, work / "text", kSetBytes);
  GatherFiles({"/usr/bin", "/usr/lib/x86_64-linux-gnu"}, IsElf, work / "exe", kSetBytes);
  fs::create_directories(work / "bmp");
  for (int i = 1; i <= 3; ++i) WriteBitmap(work / "bmp" / ("0000" + std::to_string(i) + ".bmp"), i);
}

// Peak memory of both readers on a 1 MB and a 256 MB LZX cabinet: the same for both sizes.
int BigCodec(const fs::path& work) {
  std::vector<std::pair<std::string, fs::path>> cabs;
  for (uint32_t mb : {1u, 256u}) {
    const fs::path src = work / ("lzx-src-" + std::to_string(mb));
    fs::create_directories(src);
    {
      const vel::cabtest::Bytes text = vel::cabtest::TextBytes(size_t{mb} << 20, 5);
      std::ofstream(src / "big.txt", std::ios::binary)
          .write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size()));
    }
    cabs.push_back({std::to_string(mb) + " MB", CodecCabinetOf(src, work / ("lzx-" + std::to_string(mb) + ".cab"), true)});
  }
  malloc_trim(0);  // the children below start from this process's memory
  int rc = 0;
  for (const auto& [label, cab] : cabs) {
    const fs::path out = work / (label + "-ours"), outTheirs = work / (label + "-cabextract");
    fs::create_directories(out);
    fs::create_directories(outTheirs);
    bool ok = false, okTheirs = false;
    const double ours =
        PeakMb([&] { return vel::cabinet::ExtractCabinet(cab.c_str(), (out.string() + "/").c_str()) == 1; }, ok);
    const double theirs = PeakMb(
        [&] {
          return std::system(("cabextract -q -d " + Quote(outTheirs.string()) + " " + Quote(cab.string())).c_str()) == 0;
        },
        okTheirs);
    std::printf("LZX %-7s: ours %s, peak RSS %.1f MB; cabextract %s, peak RSS %.1f MB; same bytes: %s\n", label.c_str(),
                ok ? "ok" : "FAILED", ours, okTheirs ? "ok" : "FAILED", theirs, SameTree(outTheirs, out) ? "yes" : "NO");
    if (!ok) rc = 1;
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/cabbench_XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  fs::path work = tmpl;
  int rc = 0;
  if (argc > 1 && std::strcmp(argv[1], "--big") == 0) {
    rc = Big(work);
  } else if (argc > 1 && std::strcmp(argv[1], "--codecs") == 0) {
    GatherSets(work);
    RunCodecSet("text", work / "text", work);
    RunCodecSet("executables", work / "exe", work);
    RunCodecSet("bitmaps", work / "bmp", work);
    rc = BigCodec(work);
  } else {
    GatherSets(work);
    RunSet("text", work / "text", work);
    RunSet("executables", work / "exe", work);
    RunSet("bitmaps", work / "bmp", work);
  }
  fs::remove_all(work);
  return rc;
}
