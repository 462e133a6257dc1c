// The cabinet reader: its contract with the notification callback, and the
// damaged and hostile cabinets it must refuse promptly without writing outside
// the destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "cabinet/cabinet.h"
#include "cabinet/fdi.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "cabinet/testing/codec_streams.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using namespace vel::cabtest;
using vel::test::ReadFileBytes;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

// A plain cabinet: one stored-MSZIP folder holding the files one after another.
CabSpec PlainCabinet(const std::vector<std::pair<std::string, Bytes>>& files) {
  CabSpec spec;
  Bytes all;
  for (const auto& [name, bytes] : files) {
    FileSpec f;
    f.name = name;
    f.cbFile = static_cast<uint32_t>(bytes.size());
    f.uoffFolderStart = static_cast<uint32_t>(all.size());
    spec.files.push_back(f);
    all.insert(all.end(), bytes.begin(), bytes.end());
  }
  spec.folders.push_back(StoredFolder(all));
  return spec;
}

std::vector<std::string> Listing(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) out.push_back(fs::relative(e.path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(FdiReader, ExtractsAHandBuiltCabinet) {
  TempDir dir, out;
  Bytes a = TextBytes(50000, 1), b = NoiseBytes(20000, 2);
  WriteFileBytes(dir / "x.cab", BuildCabinet(PlainCabinet({{"a.txt", a}, {"b.bin", b}})));
  Walk w{out.path()};
  ERF erf;
  ASSERT_TRUE(CopyWithWalk(dir / "x.cab", w, erf));
  EXPECT_EQ(ReadFileBytes(out / "a.txt"), a);
  EXPECT_EQ(ReadFileBytes(out / "b.bin"), b);
}

// The enumerate callback may move the walk: iFolder is the number of file
// records still to read, cb the position of the next one.
TEST(FdiReader, EnumerateCallbackSteersTheWalk) {
  TempDir dir;
  WriteFileBytes(dir / "x.cab",
                 BuildCabinet(PlainCabinet({{"a.txt", TextBytes(300, 1)}, {"b.txt", TextBytes(200, 2)}})));
  struct Case {
    const char* name;
    std::function<void(FDINOTIFICATION*, int call, int32_t& first)> change;
    bool ok;
    std::vector<std::string> copies;
  };
  const std::vector<Case> cases = {
      {"unchanged", [](FDINOTIFICATION*, int, int32_t&) {}, true, {"copy:a.txt", "copy:b.txt"}},
      {"no records", [](FDINOTIFICATION* n, int call, int32_t&) { if (call == 0) n->iFolder = 0; }, true, {}},
      {"one record", [](FDINOTIFICATION* n, int call, int32_t&) { if (call == 0) n->iFolder = 1; }, true,
       {"copy:a.txt"}},
      {"the list once more",
       [](FDINOTIFICATION* n, int call, int32_t& first) {
         if (call == 0) first = n->cb;
         if (call == 1) n->cb = first, n->iFolder = 2;
       },
       true, {"copy:a.txt", "copy:b.txt", "copy:a.txt", "copy:b.txt"}},
      {"the second record only",
       [](FDINOTIFICATION* n, int call, int32_t&) {
         if (call == 0) n->cb += 16 + 6, n->iFolder = 1;  // past a.txt's record and its name
       },
       true, {"copy:b.txt"}},
      {"a position before the file", [](FDINOTIFICATION* n, int call, int32_t&) { if (call == 0) n->cb = -5; },
       false, {}},
      {"more records than the cabinet holds", [](FDINOTIFICATION* n, int call, int32_t&) { if (call == 0) n->iFolder = 3; },
       false, {"copy:a.txt", "copy:b.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir out;
    Walk w{out.path()};
    int calls = 0;
    int32_t first = 0;
    w.onEnumerate = [&](FDINOTIFICATION* n) { c.change(n, calls++, first); };
    ERF erf;
    EXPECT_EQ(CopyWithWalk(dir / "x.cab", w, erf), c.ok);
    if (!c.ok) {
      EXPECT_EQ(erf.erfOper, FDIERROR_CORRUPT_CABINET);
    }
    std::vector<std::string> copies;
    for (const std::string& e : w.events)
      if (e.rfind("copy:", 0) == 0) copies.push_back(e);
    EXPECT_EQ(copies, c.copies);
  }
}

// Decoder state lives in each reader: LZX and Quantum cabinets extracted on two threads at once.
TEST(FdiReader, LzxAndQuantumExtractionsRunAtOnce) {
  TempDir dir;
  const Bytes a = TextBytes(150000, 31), b = TextBytes(120000, 32);
  WriteFileBytes(dir / "l.cab", CodecCabinet(0x1003, LzxFrames(a, {.kinds = {LzxKind::kAligned}}), {{"a.txt", a}}));
  WriteFileBytes(dir / "q.cab", CodecCabinet(0x1002, QuantumFrames(b, 16), {{"b.txt", b}}));
  for (int round = 0; round < 2; ++round) {
    TempDir outL, outQ;
    int rl = 0, rq = 0;
    std::thread tl([&] { rl = vel::cabinet::ExtractCabinet((dir / "l.cab").c_str(), (outL.path().string() + "/").c_str()); });
    std::thread tq([&] { rq = vel::cabinet::ExtractCabinet((dir / "q.cab").c_str(), (outQ.path().string() + "/").c_str()); });
    tl.join();
    tq.join();
    EXPECT_EQ(rl, 1);
    EXPECT_EQ(rq, 1);
    EXPECT_EQ(ReadFileBytes(outL / "a.txt"), a);
    EXPECT_EQ(ReadFileBytes(outQ / "b.txt"), b);
  }
}

TEST(FdiReader, IsCabinetRefusesUnfinishedAndForeignVersions) {
  TempDir dir;
  CabSpec spec = PlainCabinet({{"a", Bytes{'a'}}});
  spec.signature = 0x42414321;  // "!CAB": the writer never finished
  WriteFileBytes(dir / "unfinished.cab", BuildCabinet(spec));
  spec.signature = 0x4643534D;
  spec.version = 0x0104;
  WriteFileBytes(dir / "v14.cab", BuildCabinet(spec));

  ERF erf;
  HFDI h = NewFdi(&erf);
  FDICABINETINFO info;
  intptr_t hf = TestOpen((dir / "unfinished.cab").c_str(), 0x8000, 0);
  EXPECT_FALSE(FDIIsCabinet(h, hf, &info));
  EXPECT_EQ(erf.fError, 0);
  TestClose(hf);
  hf = TestOpen((dir / "v14.cab").c_str(), 0x8000, 0);
  EXPECT_FALSE(FDIIsCabinet(h, hf, &info));
  EXPECT_EQ(erf.erfOper, FDIERROR_UNKNOWN_CABINET_VERSION);
  EXPECT_EQ(erf.erfType, 0x0104);
  TestClose(hf);
  FDIDestroy(h);

  Walk w{dir.path()};
  ERF e2;
  EXPECT_FALSE(CopyWithWalk(dir / "unfinished.cab", w, e2));
  EXPECT_EQ(e2.erfOper, FDIERROR_NOT_A_CABINET);
}

TEST(FdiReader, ZeroChecksumIsNotVerified) {
  TempDir dir, out;
  CabSpec spec = PlainCabinet({{"a", TextBytes(100)}});
  spec.folders[0].blocks[0].checksum = 0;
  WriteFileBytes(dir / "x.cab", BuildCabinet(spec));
  Walk w{out.path()};
  ERF erf;
  EXPECT_TRUE(CopyWithWalk(dir / "x.cab", w, erf));
  EXPECT_EQ(ReadFileBytes(out / "a"), TextBytes(100));
}

TEST(FdiReader, EmptyFileClosesAtOnceAndSkippedFilesAreSkipped) {
  TempDir dir, out;
  CabSpec spec = PlainCabinet({{"skip.me", TextBytes(10)}, {"keep", TextBytes(5)}});
  FileSpec empty;
  empty.name = "empty";
  empty.iFolder = 0;
  empty.attribs = 0x20 | 0x40;  // executable
  spec.files.push_back(empty);
  // A folder that does not exist would fail any data read: the empty file must not read.
  spec.files.back().iFolder = 0;
  WriteFileBytes(dir / "x.cab", BuildCabinet(spec));
  Walk w{out.path()};
  w.skip = {"skip.me"};
  ERF erf;
  ASSERT_TRUE(CopyWithWalk(dir / "x.cab", w, erf));
  std::vector<std::string> want = {"copy:skip.me", "copy:keep", "close:keep:32:0", "copy:empty", "close:empty:32:1"};
  EXPECT_EQ(w.events, want);
  EXPECT_EQ(ReadFileBytes(out / "keep"), TextBytes(5));
  EXPECT_FALSE(fs::exists(out / "skip.me"));
}

TEST(FdiReader, ContextKeepsTheRecordSizesOfItsFirstCabinet) {
  TempDir dir, out;
  WriteFileBytes(dir / "plain.cab", BuildCabinet(PlainCabinet({{"a", TextBytes(10)}})));
  CabSpec spec = PlainCabinet({{"a", TextBytes(10)}});
  spec.dataReserve = 4;
  WriteFileBytes(dir / "reserve.cab", BuildCabinet(spec));
  ERF erf;
  HFDI h = NewFdi(&erf);
  Walk w{out.path()};
  EXPECT_TRUE(CopyWithWalk(dir / "plain.cab", w, erf, h));
  EXPECT_FALSE(CopyWithWalk(dir / "reserve.cab", w, erf, h));
  EXPECT_EQ(erf.erfOper, FDIERROR_RESERVE_MISMATCH);
  FDIDestroy(h);

  // Read on its own, the reserved cabinet is fine.
  ERF e2;
  Walk w2{out.path()};
  EXPECT_TRUE(CopyWithWalk(dir / "reserve.cab", w2, e2));
}

// A two-cabinet set whose middle block is split between the cabinets.
struct SplitSet {
  Bytes whole;
  Bytes cab1, cab2;
};
SplitSet MakeSplitSet(size_t firstPart, std::optional<size_t> secondPartOverride = std::nullopt) {
  SplitSet s;
  s.whole = TextBytes(40000, 3);
  Bytes block0(s.whole.begin(), s.whole.begin() + 32768);
  Bytes block1(s.whole.begin() + 32768, s.whole.end());
  Bytes z1 = StoredMsZip(block1);
  CabSpec c1;
  c1.nextCab = "b.cab";
  c1.nextDisk = "d2";
  FolderSpec f1;
  f1.blocks.push_back({StoredMsZip(block0), 32768, std::nullopt});
  // A first part longer than the block is filler for the oversize case.
  Bytes head = firstPart <= z1.size() ? Bytes(z1.begin(), z1.begin() + firstPart) : Bytes(firstPart, 0);
  f1.blocks.push_back({head, 0, std::nullopt});
  c1.folders.push_back(f1);
  FileSpec file;
  file.name = "big.txt";
  file.cbFile = 40000;
  file.iFolder = 0xFFFE;
  c1.files.push_back(file);
  s.cab1 = BuildCabinet(c1);

  CabSpec c2;
  c2.iCabinet = 1;
  c2.prevCab = "a.cab";
  c2.prevDisk = "d1";
  FolderSpec f2;
  Bytes rest = secondPartOverride ? Bytes(*secondPartOverride, 0) : Bytes(z1.begin() + firstPart, z1.end());
  f2.blocks.push_back({rest, static_cast<uint16_t>(block1.size()), std::nullopt});
  c2.folders.push_back(f2);
  file.iFolder = 0xFFFD;
  c2.files.push_back(file);
  s.cab2 = BuildCabinet(c2);
  return s;
}

TEST(FdiReader, FollowsAFolderIntoTheNextCabinetAndJoinsTheSplitBlock) {
  TempDir dir, out;
  SplitSet s = MakeSplitSet(1000);
  WriteFileBytes(dir / "a.cab", s.cab1);
  WriteFileBytes(dir / "b.cab", s.cab2);
  Walk w{out.path()};
  ERF erf;
  ASSERT_TRUE(CopyWithWalk(dir / "a.cab", w, erf)) << erf.erfOper;
  EXPECT_EQ(ReadFileBytes(out / "big.txt"), s.whole);
  EXPECT_EQ(w.nextCalls, 1);

  // Walking the second cabinet on its own reports the file as partial.
  Walk w2{out.path()};
  ERF e2;
  ASSERT_TRUE(CopyWithWalk(dir / "b.cab", w2, e2));
  EXPECT_EQ(w2.events, std::vector<std::string>{"partial:big.txt"});
}

TEST(FdiReader, SplitBlockLargerThanTheBufferIsCorrupt) {
  TempDir dir, out;
  SplitSet s = MakeSplitSet(20000, 20000);  // 40,000 bytes joined
  WriteFileBytes(dir / "a.cab", s.cab1);
  WriteFileBytes(dir / "b.cab", s.cab2);
  Walk w{out.path()};
  ERF erf;
  EXPECT_FALSE(CopyWithWalk(dir / "a.cab", w, erf));
  EXPECT_EQ(erf.erfOper, FDIERROR_CORRUPT_CABINET);
}

// A callback that keeps offering a cabinet that cannot be opened is not asked forever.
TEST(FdiReader, MissingNextCabinetEndsTheWalk) {
  TempDir dir, out;
  SplitSet s = MakeSplitSet(1000);
  WriteFileBytes(dir / "a.cab", s.cab1);
  Walk w{out.path()};
  ERF erf;
  EXPECT_FALSE(CopyWithWalk(dir / "a.cab", w, erf));
  EXPECT_EQ(erf.erfOper, FDIERROR_CABINET_NOT_FOUND);
  EXPECT_LE(w.nextCalls, 2);

  // A cabinet that claims another index of the set is the wrong cabinet.
  CabSpec c2;
  c2.iCabinet = 7;
  c2.folders.push_back(StoredFolder(TextBytes(10)));
  WriteFileBytes(dir / "b.cab", BuildCabinet(c2));
  Walk w2{out.path()};
  ERF e2;
  EXPECT_FALSE(CopyWithWalk(dir / "a.cab", w2, e2));
  EXPECT_EQ(e2.erfOper, FDIERROR_WRONG_CABINET);
}

// ---- hostile cabinets ----

struct HostileCase {
  const char* label;
  std::function<Bytes()> make;
  std::optional<int32_t> fdiError;  // the reader's own error, when the reader catches it
};

Bytes Valid() { return BuildCabinet(PlainCabinet({{"a.txt", TextBytes(40000)}, {"b.txt", TextBytes(300, 2)}})); }

Bytes WithFile(const std::string& name) { return BuildCabinet(PlainCabinet({{"ok.txt", TextBytes(10)}, {name, TextBytes(20)}})); }

CabSpec OneBlock(Bytes block, uint16_t cbUncomp, uint32_t cbFile) {
  CabSpec spec;
  FolderSpec f;
  f.blocks.push_back({std::move(block), cbUncomp, std::nullopt});
  spec.folders.push_back(f);
  FileSpec file;
  file.name = "a";
  file.cbFile = cbFile;
  spec.files.push_back(file);
  return spec;
}

const std::vector<HostileCase>& HostileCases() {
  static const std::vector<HostileCase> cases = {
      {"truncated_header", [] { Bytes b = Valid(); b.resize(20); return b; }, FDIERROR_NOT_A_CABINET},
      {"truncated_records", [] { Bytes b = Valid(); b.resize(50); return b; }, FDIERROR_CORRUPT_CABINET},
      {"truncated_data", [] { Bytes b = Valid(); b.resize(b.size() - 5000); return b; }, FDIERROR_CORRUPT_CABINET},
      {"wrong_checksum",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(100)}});
         s.folders[0].blocks[0].checksum = 0x12345678;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"flipped_data_byte", [] { Bytes b = Valid(); b[b.size() - 100] ^= 0x40; return b; }, FDIERROR_CORRUPT_CABINET},
      {"bad_signature", [] { Bytes b = Valid(); b[0] = 'X'; return b; }, std::nullopt},
      {"bad_version", [] { Bytes b = Valid(); b[24] = 4; return b; }, std::nullopt},
      {"unterminated_name",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.files[0].name = "abc";
         s.files[0].noTerminator = true;
         s.folders.clear();  // the name runs to the end of the file
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"name_of_300_bytes", [] { return WithFile(std::string(300, 'n')); }, FDIERROR_CORRUPT_CABINET},
      {"name_dotdot", [] { return WithFile(".."); }, std::nullopt},
      {"name_parent", [] { return WithFile("../escape.txt"); }, std::nullopt},
      {"name_parent_backslash", [] { return WithFile("..\\escape.txt"); }, std::nullopt},
      {"name_absolute", [] { return WithFile("/tmp/vel-escape.txt"); }, std::nullopt},
      {"name_subfolder", [] { return WithFile("sub/x.txt"); }, std::nullopt},
      {"name_backslash", [] { return WithFile("sub\\x.txt"); }, std::nullopt},
      {"name_bad_utf8_flagged",
       [] {
         CabSpec s = PlainCabinet({{"a\xff\xfe", TextBytes(10)}});
         s.files[0].attribs |= 0x80;
         return BuildCabinet(s);
       },
       std::nullopt},
      {"deflate_block_type_3", [] { return BuildCabinet(OneBlock({'C', 'K', 0x07, 0, 0, 0}, 10, 10)); },
       FDIERROR_MDI_FAIL},
      {"deflate_stored_nlen_wrong", [] { return BuildCabinet(OneBlock({'C', 'K', 0x01, 4, 0, 4, 0, 1, 2, 3, 4}, 4, 4)); },
       FDIERROR_MDI_FAIL},
      {"deflate_stored_len_past_input",
       [] { return BuildCabinet(OneBlock({'C', 'K', 0x01, 0x00, 0x10, 0xFF, 0xEF, 1, 2, 3}, 4096, 4096)); },
       FDIERROR_MDI_FAIL},
      {"deflate_without_ck", [] { return BuildCabinet(OneBlock({'X', 'K', 0x03, 0x00}, 1, 1)); }, FDIERROR_MDI_FAIL},
      {"deflate_hlit_30", [] { return BuildCabinet(OneBlock({'C', 'K', 0xF5, 0xFF, 0xFF, 0xFF}, 100, 100)); },
       FDIERROR_MDI_FAIL},
      {"block_shorter_than_declared", [] { return BuildCabinet(OneBlock(StoredMsZip(TextBytes(100)), 200, 200)); },
       FDIERROR_MDI_FAIL},
      {"block_over_32k_declared", [] { return BuildCabinet(OneBlock(StoredMsZip(TextBytes(100)), 40000, 100)); },
       FDIERROR_CORRUPT_CABINET},
      {"file_past_its_folder",  // the reader must not ask for a next cabinet forever
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(1000)}});
         s.files[0].cbFile = 5000000;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"file_starts_past_its_folder",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(1000)}});
         s.files[0].uoffFolderStart = 0x7FFFFFFF;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"folder_index_past_table",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.files[0].iFolder = 3;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"folder_index_fffc",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.files[0].iFolder = 0xFFFC;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"no_folders",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders.clear();
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"folder_data_past_end",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders[0].coffCabStart = 0x7FFFFF00;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"many_blocks_declared",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(100)}});
         s.folders[0].cCFData = 0xFFFF;
         s.files[0].cbFile = 0xFFFFFFFF;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"lzx_window_22",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders[0].typeCompress = 0x1603;
         return BuildCabinet(s);
       },
       FDIERROR_BAD_COMPR_TYPE},
      {"lzx_window_14",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders[0].typeCompress = 0x0E03;
         return BuildCabinet(s);
       },
       FDIERROR_BAD_COMPR_TYPE},
      {"quantum_folder_of_mszip_data",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders[0].typeCompress = 0x0A02;
         return BuildCabinet(s);
       },
       FDIERROR_MDI_FAIL},
      // LZX and Quantum folders whose data lies: a block cut short, or asked for more than it holds.
      {"lzx_block_cut_short",
       [] {
         const Bytes a = TextBytes(50000, 3);
         auto frames = LzxFrames(a, {});
         frames[1].data.resize(frames[1].data.size() / 2);
         return CodecCabinet(0x1003, frames, {{"a.txt", a}});
       },
       FDIERROR_MDI_FAIL},
      {"lzx_block_claims_more",
       [] {
         const Bytes a = TextBytes(5000, 3);
         auto frames = LzxFrames(a, {});
         frames[0].cbUncomp = 6000;
         return CodecCabinet(0x1003, frames, {{"a.txt", Bytes(6000, 'x')}});
       },
       FDIERROR_MDI_FAIL},
      {"quantum_block_cut_short",
       [] {
         const Bytes a = TextBytes(50000, 4);
         auto frames = QuantumFrames(a, 16);
         frames[0].data.resize(frames[0].data.size() / 2);
         return CodecCabinet(0x1002, frames, {{"a.txt", a}});
       },
       FDIERROR_MDI_FAIL},
      {"quantum_window_bits_9",
       [] {
         const Bytes a = TextBytes(500, 4);
         return CodecCabinet(0x0902, QuantumFrames(a, 10), {{"a.txt", a}});
       },
       FDIERROR_MDI_FAIL},
      {"unknown_method",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.folders[0].typeCompress = 0x0004;
         return BuildCabinet(s);
       },
       FDIERROR_BAD_COMPR_TYPE},
      {"header_reserve_too_large",
       [] {
         CabSpec s = PlainCabinet({{"a", TextBytes(10)}});
         s.headerReserve = 65000;
         return BuildCabinet(s);
       },
       FDIERROR_CORRUPT_CABINET},
      {"files_offset_past_end", [] { Bytes b = Valid(); b[16] = 0xFF; b[17] = 0xFF; b[18] = 0x00; return b; },
       FDIERROR_CORRUPT_CABINET},
  };
  return cases;
}

class Hostile : public ::testing::TestWithParam<size_t> {};

TEST_P(Hostile, RefusedWithNothingOutsideTheDestination) {
  const HostileCase& c = HostileCases()[GetParam()];
  TempDir sandbox;
  fs::create_directories(sandbox / "in");
  fs::create_directories(sandbox / "out" / "dest");
  fs::path cab = sandbox / "in" / "x.cab";
  WriteFileBytes(cab, c.make());
  auto before = Listing(sandbox.path());
  std::string dest = (sandbox / "out" / "dest").string() + "/";
  EXPECT_EQ(vel::cabinet::ExtractCabinet(cab.c_str(), dest.c_str()), 0);
  for (const auto& name : Listing(sandbox.path())) {
    bool known = std::find(before.begin(), before.end(), name) != before.end();
    EXPECT_TRUE(known || name.rfind("out/dest/", 0) == 0) << "written outside: " << name;
  }
  EXPECT_FALSE(fs::exists("/tmp/vel-escape.txt"));
  if (c.fdiError) {
    TempDir out;
    Walk w{out.path()};
    ERF erf;
    EXPECT_FALSE(CopyWithWalk(cab, w, erf));
    EXPECT_EQ(erf.erfOper, *c.fdiError);
    EXPECT_EQ(w.nextCalls, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cabinets, Hostile, ::testing::Range<size_t>(0, HostileCases().size()),
                         [](const auto& info) { return std::string(HostileCases()[info.param].label); });

// A member name with a separator is refused; the files before it were written
// inside the destination, the refused one nowhere.
TEST(ExtractCabinet, StopsAtATraversalName) {
  TempDir sandbox;
  fs::create_directories(sandbox / "dest");
  WriteFileBytes(sandbox / "x.cab", WithFile("../escape.txt"));
  std::string dest = (sandbox / "dest").string() + "/";
  EXPECT_EQ(vel::cabinet::ExtractCabinet((sandbox / "x.cab").c_str(), dest.c_str()), 0);
  EXPECT_FALSE(fs::exists(sandbox / "escape.txt"));
  EXPECT_EQ(Listing(sandbox / "dest"), std::vector<std::string>{"ok.txt"});
}

// Unflagged names that are not UTF-8 come from the original platform's code page.
TEST(ExtractCabinet, ReadsUnflaggedNamesAsWindows1250) {
  TempDir dir, out;
  CabSpec s = PlainCabinet({{"\xBF\xF3\xB3w.txt", TextBytes(10)}});  // "żółw.txt" in Windows-1250
  WriteFileBytes(dir / "x.cab", BuildCabinet(s));
  ASSERT_EQ(vel::cabinet::ExtractCabinet((dir / "x.cab").c_str(), (out.path().string() + "/").c_str()), 1);
  EXPECT_TRUE(fs::exists(out / "żółw.txt"));
}

}  // namespace
