#include "cabinet/tests/cab_test_helpers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

#include "cabinet/codec.h"
#include "platform/testing/test_support.h"
#include "platform/crt_files.h"

namespace vel::cabtest {
namespace {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }
void PutText(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

}  // namespace

Bytes BuildCabinet(const CabSpec& spec) {
  bool reserve = spec.headerReserve || spec.folderReserve || spec.dataReserve;
  uint16_t flags = spec.flags;
  if (reserve) flags |= 0x0004;
  if (!spec.prevCab.empty()) flags |= 0x0001;
  if (!spec.nextCab.empty()) flags |= 0x0002;

  Bytes head;
  Put32(head, spec.signature);
  Put32(head, 0);
  Put32(head, 0);  // cbCabinet, set below
  Put32(head, 0);
  Put32(head, 0);  // coffFiles, set below
  Put32(head, 0);
  head.push_back(static_cast<uint8_t>(spec.version));
  head.push_back(static_cast<uint8_t>(spec.version >> 8));
  Put16(head, static_cast<uint16_t>(spec.folders.size()));
  Put16(head, static_cast<uint16_t>(spec.files.size()));
  Put16(head, flags);
  Put16(head, spec.setID);
  Put16(head, spec.iCabinet);
  if (reserve) {
    Put16(head, spec.headerReserve);
    head.push_back(spec.folderReserve);
    head.push_back(spec.dataReserve);
    head.insert(head.end(), spec.headerReserve, 0);
  }
  if (flags & 0x0001) {
    PutText(head, spec.prevCab);
    PutText(head, spec.prevDisk);
  }
  if (flags & 0x0002) {
    PutText(head, spec.nextCab);
    PutText(head, spec.nextDisk);
  }
  size_t folderRecords = head.size();
  size_t folderSize = 8 + spec.folderReserve;
  head.resize(head.size() + folderSize * spec.folders.size(), 0);
  size_t coffFiles = head.size();
  for (const FileSpec& f : spec.files) {
    Put32(head, f.cbFile);
    Put32(head, f.uoffFolderStart);
    Put16(head, f.iFolder);
    Put16(head, f.date);
    Put16(head, f.time);
    Put16(head, f.attribs);
    head.insert(head.end(), f.name.begin(), f.name.end());
    if (!f.noTerminator) head.push_back(0);
  }
  Bytes data;
  for (size_t i = 0; i < spec.folders.size(); ++i) {
    const FolderSpec& fo = spec.folders[i];
    uint32_t start = static_cast<uint32_t>(head.size() + data.size());
    for (const DataBlock& b : fo.blocks) {
      Bytes rec;
      Put16(rec, static_cast<uint16_t>(b.data.size()));
      Put16(rec, b.cbUncomp);
      rec.insert(rec.end(), spec.dataReserve, 0);
      uint32_t csum = CabChecksum(rec.data(), static_cast<uint32_t>(rec.size()),
                                  CabChecksum(b.data.data(), static_cast<uint32_t>(b.data.size()), 0));
      Put32(data, b.checksum.value_or(csum));
      data.insert(data.end(), rec.begin(), rec.end());
      data.insert(data.end(), b.data.begin(), b.data.end());
    }
    size_t at = folderRecords + i * folderSize;
    Set32(head, at, fo.coffCabStart.value_or(start));
    uint16_t n = fo.cCFData.value_or(static_cast<uint16_t>(fo.blocks.size()));
    head[at + 4] = static_cast<uint8_t>(n);
    head[at + 5] = static_cast<uint8_t>(n >> 8);
    head[at + 6] = static_cast<uint8_t>(fo.typeCompress);
    head[at + 7] = static_cast<uint8_t>(fo.typeCompress >> 8);
  }
  head.insert(head.end(), data.begin(), data.end());
  Set32(head, 8, static_cast<uint32_t>(head.size()));
  Set32(head, 16, static_cast<uint32_t>(coffFiles));
  return head;
}

Bytes StoredMsZip(const Bytes& data) {
  Bytes b = {'C', 'K', 0x01};
  uint16_t len = static_cast<uint16_t>(data.size());
  Put16(b, len);
  Put16(b, static_cast<uint16_t>(~len));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

FolderSpec StoredFolder(const Bytes& data) {
  FolderSpec f;
  f.typeCompress = 1;
  for (size_t off = 0; off < data.size(); off += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - off);
    Bytes part(data.begin() + off, data.begin() + off + n);
    f.blocks.push_back({StoredMsZip(part), static_cast<uint16_t>(n), std::nullopt});
  }
  return f;
}

Bytes TextBytes(size_t n, uint32_t seed) {
  static const char* kWords[] = {"podpis ", "dokument ", "elektroniczny ", "certyfikat ", "the ", "signature ",
                                 "of ", "page ", "kwalifikowany ", "\n", "2024-05-17 ", "Vellorum "};
  Bytes out;
  out.reserve(n);
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = kWords[(x >> 16) % (sizeof kWords / sizeof *kWords)];
    for (const char* p = w; *p && out.size() < n; ++p) out.push_back(static_cast<uint8_t>(*p));
  }
  return out;
}

Bytes NoiseBytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

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

ParsedCabinet ParseCabinet(const Bytes& cab) {
  ParsedCabinet p;
  p.cbCabinet = Get32(cab, 8);
  p.coffFiles = Get32(cab, 16);
  p.cFolders = Get16(cab, 26);
  p.cFiles = Get16(cab, 28);
  p.flags = Get16(cab, 30);
  p.setID = Get16(cab, 32);
  p.iCabinet = Get16(cab, 34);
  if (p.flags != 0) throw std::runtime_error("ParseCabinet handles plain cabinets only");
  for (size_t i = 0; i < p.cFolders; ++i) {
    size_t at = 36 + 8 * i;
    p.coffCabStart.push_back(Get32(cab, at));
    p.cCFData.push_back(Get16(cab, at + 4));
    p.typeCompress.push_back(Get16(cab, at + 6));
    std::vector<ParsedBlock> blocks;
    size_t off = p.coffCabStart.back();
    for (size_t k = 0; k < p.cCFData.back(); ++k) {
      ParsedBlock b{Get16(cab, off + 4), Get16(cab, off + 6), Get32(cab, off), false};
      if (off + 8 + b.cbData > cab.size()) throw std::runtime_error("block past the end");
      uint32_t c = CabChecksum(&cab[off + 4], 4, CabChecksum(&cab[off + 8], b.cbData, 0));
      b.csumOk = c == b.csum;
      blocks.push_back(b);
      off += 8 + b.cbData;
    }
    p.blocks.push_back(std::move(blocks));
  }
  size_t off = p.coffFiles;
  for (size_t i = 0; i < p.cFiles; ++i) {
    FileSpec f;
    f.cbFile = Get32(cab, off);
    f.uoffFolderStart = Get32(cab, off + 4);
    f.iFolder = Get16(cab, off + 8);
    f.date = Get16(cab, off + 10);
    f.time = Get16(cab, off + 12);
    f.attribs = Get16(cab, off + 14);
    off += 16;
    while (cab.at(off) != 0) f.name.push_back(static_cast<char>(cab[off++]));
    ++off;
    p.files.push_back(f);
  }
  return p;
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

intptr_t FciTestOpen(const char* name, int flags, int mode, int* err, void*) {
  intptr_t h = vel::platform::CrtOpen(name, flags, mode);
  if (h == -1) *err = errno;
  return h;
}
uint32_t FciTestRead(intptr_t hf, void* buffer, uint32_t cb, int*, void*) {
  return static_cast<uint32_t>(vel::platform::CrtRead(hf, buffer, cb));
}
uint32_t FciTestWrite(intptr_t hf, const void* buffer, uint32_t cb, int*, void*) {
  return static_cast<uint32_t>(vel::platform::CrtWrite(hf, buffer, cb));
}
int FciTestClose(intptr_t hf, int*, void*) { return vel::platform::CrtClose(hf); }
int32_t FciTestSeek(intptr_t hf, int32_t offset, int origin, int*, void*) {
  return static_cast<int32_t>(vel::platform::CrtSeek(hf, offset, origin));
}
int FciTestDelete(const char* name, int*, void*) { return vel::platform::CrtRemove(name); }
int FciTestTempFile(char* buffer, int size, void*) {
  std::string name;
  if (!vel::platform::CrtTempName("xx", name) || name.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}
intptr_t FciTestOpenInfo(const char* name, uint16_t* date, uint16_t* time, uint16_t* attribs, int* err, void*) {
  vel::platform::DosDateTime when;
  if (!vel::platform::GetFileDosInfo(name, when, *attribs)) {
    *err = errno;
    return -1;
  }
  *date = when.date;
  *time = when.time;
  return vel::platform::CrtOpen(name, 0x8000, 0);
}

}  // namespace vel::cabtest
