// Pages, printer jobs and containers for the KDOC tests, and an environment
// whose settings and temporary folder belong to the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/message_catalog.h"
#include "app/prompt.h"
#include "cabinet/cabinet.h"
#include "platform/testing/test_support.h"
#include "platform/tests/emf_writer.h"

namespace vel::test {

using Bytes = std::vector<uint8_t>;

// An EMF page with one filled rectangle whose place depends on `n`.
inline Bytes EmfPage(int n) {
  EmfWriter w(200, 300, 100);
  w.CreateBrush(1, 0, Rgb(static_cast<uint8_t>(40 * n), 0, 0)).Select(1);
  w.Rectangle(10 + 5 * n, 10, 100 + 5 * n, 200);
  return w.Finish();
}

inline void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The page stream of the pages: the length word, then size and bytes of each.
inline Bytes PageStream(const std::vector<Bytes>& pages) {
  Bytes records;
  for (const Bytes& p : pages) {
    PutLe32(records, static_cast<uint32_t>(p.size()));
    records.insert(records.end(), p.begin(), p.end());
  }
  Bytes out;
  PutLe32(out, static_cast<uint32_t>(records.size()));
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

inline std::vector<Bytes> ThreePages() { return {EmfPage(1), EmfPage(2), EmfPage(3)}; }

// A cabinet of the named files with the given contents, written in `dir`.
inline void WriteCabinet(const std::filesystem::path& cab, const std::filesystem::path& dir,
                         const std::vector<std::pair<std::string, Bytes>>& members) {
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : members) {
    WriteFileBytes(dir / name, bytes);
    paths.push_back((dir / name).string());
  }
  std::vector<const char*> names;
  for (const auto& p : paths) names.push_back(p.c_str());
  ASSERT_EQ(cabinet::CreateCabinet(static_cast<int>(names.size()), names.data(), cab.c_str()), 1);
}

// Settings in a folder of the test, and a temporary folder whose leftovers it can see.
class KdocEnvironment {
 public:
  KdocEnvironment() {
    std::filesystem::create_directories(root_ / "reg");
    std::filesystem::create_directories(root_ / "tmp");
    ::setenv("VELDOC_REGISTRY_DIR", (root_ / "reg").c_str(), 1);
    ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
  }
  ~KdocEnvironment() { ::setenv("TMPDIR", saved_tmp_.c_str(), 1); }
  std::filesystem::path temp() const { return root_.path() / "tmp"; }
  bool TempIsEmpty() const { return std::filesystem::is_empty(temp()); }
  std::filesystem::path operator/(const std::string& name) const { return root_ / name; }

 private:
  std::string saved_tmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  TempDir root_;
};

// Member names of a folder, sorted.
inline std::vector<std::string> Names(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace vel::test
