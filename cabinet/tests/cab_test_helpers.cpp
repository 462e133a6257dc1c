#include "cabinet/tests/cab_test_helpers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/testing/test_support.h"
#include "platform/crt_files.h"

namespace vel::cabtest {

std::vector<std::pair<std::string, Bytes>> ListTree(const std::filesystem::path& root) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out.emplace_back(std::filesystem::relative(e.path(), root).string(), std::move(b));
  }
  std::sort(out.begin(), out.end());
  return out;
}

const std::vector<PeerReader>& PeerReaders() {
  using vel::test::ShellQuote;
  using std::filesystem::path;
  static const std::vector<PeerReader> readers = {
      {"cabextract", [](const path& c, const path& d) { return "cabextract -q -d " + ShellQuote(d) + " " + ShellQuote(c); }},
      {"gcab", [](const path& c, const path& d) { return "gcab -x -C " + ShellQuote(d) + " " + ShellQuote(c); }},
      {"7zz", [](const path& c, const path& d) { return "7zz x -y -o" + ShellQuote(d) + " " + ShellQuote(c); }},
      {"bsdtar", [](const path& c, const path& d) { return "bsdtar -xf " + ShellQuote(c) + " -C " + ShellQuote(d); }},
  };
  return readers;
}

void ExpectSameTree(const std::filesystem::path& dest, std::vector<std::pair<std::string, Bytes>> want,
                    const std::string& who, const std::string& log) {
  std::sort(want.begin(), want.end());
  const auto got = ListTree(dest);
  ASSERT_EQ(got.size(), want.size()) << who << ": " << log;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first) << who;
    EXPECT_TRUE(got[i].second == want[i].second) << who << " " << want[i].first;
  }
}

void ExpectCabextractTestPasses(const std::filesystem::path& cab) {
  auto t = vel::test::RunCommand("cabextract -t " + vel::test::ShellQuote(cab));
  EXPECT_EQ(t.exit_code, 0) << t.output;
  EXPECT_NE(t.output.find("All done, no errors."), std::string::npos) << t.output;
}


void* TestAlloc(uint32_t cb) { return std::malloc(cb ? cb : 1); }
void TestFree(void* p) { std::free(p); }
intptr_t TestOpen(const char* name, int flags, int mode) { return vel::platform::CrtOpen(name, flags, mode); }
uint32_t TestRead(intptr_t hf, void* buffer, uint32_t cb) {
  return static_cast<uint32_t>(vel::platform::CrtRead(hf, buffer, cb));
}
uint32_t TestWrite(intptr_t hf, void* buffer, uint32_t cb) {
  return static_cast<uint32_t>(vel::platform::CrtWrite(hf, buffer, cb));
}
int TestClose(intptr_t hf) { return vel::platform::CrtClose(hf); }
int32_t TestSeek(intptr_t hf, int32_t offset, int origin) {
  return static_cast<int32_t>(vel::platform::CrtSeek(hf, offset, origin));
}
HFDI NewFdi(ERF* erf) {
  return FDICreate(TestAlloc, TestFree, TestOpen, TestRead, TestWrite, TestClose, TestSeek, cpu80386, erf);
}

intptr_t WalkNotify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  Walk& w = *static_cast<Walk*>(n->pv);
  switch (type) {
    case fdintCOPY_FILE: {
      w.events.push_back(std::string("copy:") + n->psz1);
      if (std::find(w.skip.begin(), w.skip.end(), n->psz1) != w.skip.end()) return 0;
      return vel::platform::CrtOpen((w.dest / n->psz1).c_str(), 0x8302, 0x180);
    }
    case fdintCLOSE_FILE_INFO:
      w.events.push_back(std::string("close:") + n->psz1 + ":" + std::to_string(n->attribs) + ":" +
                         std::to_string(n->cb));
      vel::platform::CrtClose(n->hf);
      return 1;
    case fdintPARTIAL_FILE:
      w.events.push_back(std::string("partial:") + n->psz1);
      return 0;
    case fdintNEXT_CABINET:
      ++w.nextCalls;
      w.events.push_back(std::string("next:") + n->psz1);
      if (!w.nextPath.empty()) std::snprintf(n->psz3, 257, "%s", w.nextPath.c_str());
      return w.nextAnswer;
    case fdintENUMERATE:
      if (w.onEnumerate) w.onEnumerate(n);
      return 0;
    default:
      return 0;
  }
}

bool CopyWithWalk(const std::filesystem::path& cab, Walk& walk, ERF& erf, HFDI reuse) {
  HFDI h = reuse ? reuse : NewFdi(&erf);
  if (h == nullptr) return false;
  std::string dir = cab.parent_path().string() + "/";
  std::string name = cab.filename().string();
  bool ok = FDICopy(h, name.c_str(), dir.c_str(), 0, WalkNotify, nullptr, &walk);
  if (!reuse) FDIDestroy(h);
  return ok;
}

}  // namespace vel::cabtest
