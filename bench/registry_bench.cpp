// The settings store on a hive file of 10,000 values: the time of one value
// read when the file is unchanged (no parse), when another program changed it
// since the last read (one parse), and of a plain read of the file's bytes,
// all against the file's size. Then the start-up work on a small file naming
// one very deep key: its first read and the rewrite that drops it.
//
//   registry_bench [values]   (default 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vel::platform::RegHive;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void WriteText(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

uint32_t ReadOne(const char* key_path, const char* name) {
  vel::platform::RegKey key;
  vel::platform::RegValue value;
  if (uint32_t s = vel::platform::RegOpenKey(RegHive::kCurrentUser, key_path, vel::platform::kRegRead, key)) return s;
  return vel::platform::RegQueryValue(key, name, value);
}

}  // namespace

int main(int argc, char** argv) {
  const int values = argc > 1 ? std::atoi(argv[1]) : 10000;
  std::string dir_name = (fs::temp_directory_path() / "vel-regbench-XXXXXX").string();
  if (!::mkdtemp(dir_name.data())) return 1;
  const fs::path dir = dir_name;
  ::setenv("VELDOC_REGISTRY_DIR", dir.c_str(), 1);
  const fs::path file = dir / "hkcu.reg";

  // 100 keys of 100 values each, as a long-used profile might hold.
  std::string text = "VELDOC-REGISTRY 1\n";
  for (int k = 0; k < values / 100; ++k) {
    text += "\n[HKEY_CURRENT_USER\\Software\\Marvot-TI\\VELDOC\\k" + std::to_string(k) + "]\n";
    for (int v = 0; v < 100; ++v)
      text += "\"value" + std::to_string(v) + "\"=\"http://crl" + std::to_string(v) + ".example.test/ca.crl\"\n";
  }
  WriteText(file, text);
  const double kb = static_cast<double>(text.size()) / 1024.0;
  std::printf("hive file: %d values, %.0f KB\n", values, kb);

  const int reads = 200;
  if (ReadOne("Software\\Marvot-TI\\VELDOC\\k7", "value42") != 0) return 1;
  auto t0 = Clock::now();
  for (int i = 0; i < reads; ++i) ReadOne("Software\\Marvot-TI\\VELDOC\\k7", "value42");
  const double unchanged = Seconds(t0) / reads;

  // Another program's change before each read: the value text alternates.
  std::string other = text;
  other[other.size() - 3] = other[other.size() - 3] == 'l' ? 'L' : 'l';
  double changed_total = 0;
  for (int i = 0; i < reads / 4; ++i) {
    WriteText(file, i % 2 ? text : other);
    auto t = Clock::now();
    ReadOne("Software\\Marvot-TI\\VELDOC\\k7", "value42");
    changed_total += Seconds(t);
  }
  const double changed = changed_total / (reads / 4);

  t0 = Clock::now();
  for (int i = 0; i < reads; ++i) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<size_t>(fs::file_size(file)), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return 1;
  }
  const double plain = Seconds(t0) / reads;

  // A value read opens its key and queries it: two reads of the file.
  std::printf("%-40s %10.1f us  (%7.1f MB/s of file)\n", "read, file unchanged (no parse)", unchanged * 1e6,
              kb / 1024.0 / unchanged);
  std::printf("%-40s %10.1f us  (%7.1f MB/s of file)\n", "read, file changed meanwhile (parse)", changed * 1e6,
              kb / 1024.0 / changed);
  std::printf("%-40s %10.1f us  (%7.1f MB/s of file)\n", "peer: plain read of the file's bytes", plain * 1e6,
              kb / 1024.0 / plain);

  // Start-up on a file naming one key `depth` levels deep: the defaults are
  // read, then written (the damaged file is kept aside and rewritten).
  for (int depth : {2000, 30000}) {
    for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
    std::string deep = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER";
    for (int i = 0; i < depth; ++i) deep += "\\a";
    deep += "]\n\"v\"=\"1\"\n";
    WriteText(file, deep);
    t0 = Clock::now();
    vel::platform::RegKey key;
    ReadOne("Software\\Marvot-TI\\VELDOC", "TSAHOST");
    if (vel::platform::RegCreateKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", key) != 0 ||
        vel::platform::RegSetString(key, "TSAHOST", "http://tsa.example.test:80") != 0)
      return 1;
    for (int i = 0; i < 10; ++i) ReadOne("Software\\Marvot-TI\\VELDOC", "TSAHOST");
    const double startup = Seconds(t0);
    std::printf("depth %5d (%6zu bytes): read, rewrite, 10 reads %8.2f ms; file now %ju bytes\n", depth, deep.size(),
                startup * 1e3, static_cast<uintmax_t>(fs::file_size(file)));
  }
  fs::remove_all(dir);
  return 0;
}
