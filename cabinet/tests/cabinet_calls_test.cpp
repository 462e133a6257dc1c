// The three cabinet calls: what they write, what they read back, and the limits
// they keep.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "cabinet/cab_records.h"
#include "cabinet/cabinet.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "platform/crt_files.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using vel::cabinet::CabinetFault;
using vel::cabinet::CabinetMember;
using vel::cabinet::CreateCabinet;
using vel::cabinet::ExtractCabinet;
using vel::cabinet::ExtractCabinetFile;
using vel::cabinet::ListCabinet;
using namespace vel::cabtest;
using vel::test::ReadFileBytes;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

struct Member {
  std::string name;
  Bytes bytes;
};

int Create(const std::vector<std::string>& paths, const fs::path& cab) {
  std::vector<const char*> argv;
  for (const auto& p : paths) argv.push_back(p.c_str());
  return CreateCabinet(static_cast<int>(argv.size()), argv.data(), cab.c_str());
}

std::string Dir(const fs::path& p) { return p.string() + "/"; }

// Writes the members as files, makes a cabinet of them ("+" entries pass through).
std::vector<std::string> WriteSources(const fs::path& dir, const std::vector<Member>& members) {
  std::vector<std::string> paths;
  for (const auto& m : members) {
    if (m.name == "+") {
      paths.push_back("+");
      continue;
    }
    WriteFileBytes(dir / m.name, m.bytes);
    paths.push_back((dir / m.name).string());
  }
  return paths;
}

struct RoundTripCase {
  const char* label;
  std::vector<Member> members;
  size_t folders;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, ExtractsWhatWasWritten) {
  const RoundTripCase& c = GetParam();
  TempDir src, out, work;
  auto paths = WriteSources(src.path(), c.members);
  fs::path cab = work / "test.cab";
  ASSERT_EQ(Create(paths, cab), 1);
  Bytes bytes = ReadFileBytes(cab);
  ParsedCabinet p = ParseCabinet(bytes);
  EXPECT_EQ(p.cbCabinet, bytes.size());
  EXPECT_EQ(p.setID, 12345);
  EXPECT_EQ(p.iCabinet, 0);
  EXPECT_EQ(p.cFolders, c.folders);
  for (const auto& folder : p.blocks)
    for (const auto& b : folder) {
      EXPECT_NE(b.csum, 0u);
      EXPECT_TRUE(b.csumOk);
      EXPECT_LE(b.cbData, 32780);
    }
  for (auto t : p.typeCompress) EXPECT_EQ(t, 1);

  ASSERT_EQ(ExtractCabinet(cab.c_str(), Dir(out.path()).c_str()), 1);
  std::vector<std::pair<std::string, Bytes>> want;
  for (const auto& m : c.members)
    if (m.name != "+") want.emplace_back(m.name, m.bytes);
  std::sort(want.begin(), want.end());
  auto got = ListTree(out.path());
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_TRUE(got[i].second == want[i].second) << want[i].first;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cabinets, RoundTrip,
    ::testing::Values(
        RoundTripCase{"one_file", {{"00001.emf", TextBytes(100000)}}, 1},
        RoundTripCase{"many_files",
                      {{"00001.emf", TextBytes(5000, 1)},
                       {"00002.emf", NoiseBytes(40000, 2)},
                       {"00003.bmp", TextBytes(70000, 3)},
                       {"signatures.p7b", NoiseBytes(3000, 4)},
                       {"tiny", Bytes{'x'}}},
                      1},
        RoundTripCase{"empty_file", {{"empty.bin", Bytes{}}}, 1},
        RoundTripCase{"empty_between", {{"a", TextBytes(40000)}, {"b", Bytes{}}, {"c", TextBytes(30000, 9)}}, 1},
        // Noise does not compress: each folder closes after 900,000 bytes.
        RoundTripCase{"several_folders",
                      {{"big1.bin", NoiseBytes(1000000, 5)},
                       {"big2.bin", NoiseBytes(1000000, 6)},
                       {"big3.bin", NoiseBytes(200000, 7)}},
                      3},
        RoundTripCase{"plus_splits_folders", {{"a.txt", TextBytes(1000)}, {"+", {}}, {"b.txt", TextBytes(2000)}}, 2},
        RoundTripCase{"polish_name", {{"Zażółć gęślą jaźń.txt", TextBytes(12345)}}, 1},
        RoundTripCase{"exact_blocks", {{"a", NoiseBytes(65536, 7)}, {"b", TextBytes(32768, 8)}}, 1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CreateCabinet, TwoFilesShareBlocksAcrossTheirBoundary) {
  TempDir src, work;
  auto paths = WriteSources(src.path(), {{"a", TextBytes(20000, 1)}, {"b", TextBytes(20000, 2)}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  ASSERT_EQ(p.cFolders, 1);
  ASSERT_EQ(p.blocks[0].size(), 2u);
  EXPECT_EQ(p.blocks[0][0].cbUncomp, 32768);
  EXPECT_EQ(p.blocks[0][1].cbUncomp, 7232);
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[0].name, "a");
  EXPECT_EQ(p.files[1].uoffFolderStart, 20000u);
  EXPECT_EQ(p.files[1].iFolder, 0);
}

TEST(CreateCabinet, ZeroByteFileGivesAnEmptyFolder) {
  TempDir src, work;
  auto paths = WriteSources(src.path(), {{"empty", Bytes{}}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  Bytes bytes = ReadFileBytes(work / "x.cab");
  ParsedCabinet p = ParseCabinet(bytes);
  EXPECT_EQ(p.coffFiles, 44u);
  ASSERT_EQ(p.cFolders, 1);
  EXPECT_EQ(p.cCFData[0], 0);
  EXPECT_EQ(p.coffCabStart[0], bytes.size());
  ASSERT_EQ(p.cFiles, 1);
  EXPECT_EQ(p.files[0].cbFile, 0u);
  EXPECT_EQ(p.files[0].iFolder, 0);
}

TEST(CreateCabinet, NamesCarryTheUtf8FlagOnlyWhenNotAscii) {
  TempDir src, work;
  auto paths = WriteSources(src.path(), {{"plain.txt", Bytes{'a'}}, {"żółw.txt", Bytes{'b'}}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  ASSERT_EQ(p.files.size(), 2u);
  EXPECT_EQ(p.files[0].attribs & _A_NAME_IS_UTF, 0);
  EXPECT_EQ(p.files[1].attribs & _A_NAME_IS_UTF, _A_NAME_IS_UTF);
  EXPECT_EQ(p.files[1].name, "żółw.txt");
}

TEST(CreateCabinet, DatesAreLocalDosTimeClampedInto1980To2107) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"old", Bytes{'1'}}, {"now", Bytes{'2'}}});
  struct timespec old[2] = {{0, UTIME_OMIT}, {86400 * 365, 0}};  // 1971
  ASSERT_EQ(utimensat(AT_FDCWD, paths[0].c_str(), old, 0), 0);
  std::time_t when = 1700000000;  // 2023-11-14
  struct timespec now[2] = {{0, UTIME_OMIT}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, paths[1].c_str(), now, 0), 0);
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  EXPECT_EQ(p.files[0].date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(p.files[0].time, 0);
  std::tm tm{};
  localtime_r(&when, &tm);
  EXPECT_EQ(p.files[1].date, ((tm.tm_year + 1900 - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  EXPECT_EQ(p.files[1].time, (tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));

  // Extraction restores the stored time as the last-write time.
  ASSERT_EQ(ExtractCabinet((work / "x.cab").c_str(), Dir(out.path()).c_str()), 1);
  struct stat st {};
  ASSERT_EQ(stat((out / "now").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, when);  // even seconds survive the DOS format
  ASSERT_EQ(stat((out / "old").c_str(), &st), 0);
  std::time_t first;
  ASSERT_TRUE(vel::platform::UnixFromDosDateTime(p.files[0].date, p.files[0].time, first));
  EXPECT_EQ(st.st_mtim.tv_sec, first);
}

TEST(CreateCabinet, ClampsDatesPast2107) {
  vel::platform::DosDateTime d = vel::platform::DosDateTimeFromUnix(static_cast<std::time_t>(5000000000LL));
  EXPECT_EQ(d.date >> 9, 2107 - 1980);
  EXPECT_EQ((d.date >> 5) & 0xF, 12);
  EXPECT_EQ(d.date & 0x1F, 31);
}

TEST(CreateCabinet, ReadOnlyAttributeRoundTrips) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"ro.txt", Bytes{'r'}}});
  ASSERT_EQ(chmod(paths[0].c_str(), 0400), 0);
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  EXPECT_EQ(p.files[0].attribs & _A_RDONLY, _A_RDONLY);
  ASSERT_EQ(ExtractCabinet((work / "x.cab").c_str(), Dir(out.path()).c_str()), 1);
  struct stat st {};
  ASSERT_EQ(stat((out / "ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

// A missing source fails the call and leaves neither the cabinet nor any
// temporary file behind.
TEST(CreateCabinet, MissingSourceFailsCleanly) {
  TempDir src, work, tmp;
  const char* oldTmp = std::getenv("TMPDIR");
  std::string saved = oldTmp ? oldTmp : "";
  setenv("TMPDIR", tmp.path().c_str(), 1);
  auto paths = WriteSources(src.path(), {{"a", TextBytes(50000)}});
  paths.push_back((src / "does-not-exist").string());
  EXPECT_EQ(Create(paths, work / "x.cab"), 0);
  if (oldTmp) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_FALSE(fs::exists(work / "x.cab"));
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(CreateCabinet, RefusesAnOverLongCabinetPath) {
  TempDir src, work;
  // A cabinet path of 256 bytes or more.
  auto paths = WriteSources(src.path(), {{"a", Bytes{'a'}}});
  fs::path deep = work.path() / std::string(120, 'd') / std::string(120, 'e');
  fs::create_directories(deep);
  std::string longCab = (deep / "x.cab").string();
  EXPECT_EQ(Create(paths, longCab), 0);
  EXPECT_FALSE(fs::exists(longCab));
}

TEST(ExtractCabinetFile, FindsTheMemberWithoutCaseAndKeepsTheStoredName) {
  TempDir src, work, out, none;
  auto paths = WriteSources(src.path(), {{"00001.emf", TextBytes(3000)}, {"SIGNATURES.P7B", NoiseBytes(500)}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ASSERT_EQ(ExtractCabinetFile((work / "x.cab").c_str(), "signatures.p7b", Dir(out.path()).c_str()), 1);
  auto got = ListTree(out.path());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "SIGNATURES.P7B");
  EXPECT_TRUE(got[0].second == NoiseBytes(500));
  // No match is no failure, and writes nothing.
  EXPECT_EQ(ExtractCabinetFile((work / "x.cab").c_str(), "missing.p7b", Dir(none.path()).c_str()), 1);
  EXPECT_TRUE(fs::is_empty(none.path()));
}

TEST(ExtractCabinet, RefusesOverLongDestinations) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"a", Bytes{'a'}}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  std::string deep = Dir(out.path()) + std::string(250, 'd') + "/";
  fs::create_directories(deep);
  EXPECT_EQ(ExtractCabinet((work / "x.cab").c_str(), deep.c_str()), 0);
  EXPECT_TRUE(fs::is_empty(deep));
}

TEST(ExtractCabinet, AddsTheMissingSeparator) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"a", Bytes{'a'}}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  ASSERT_EQ(ExtractCabinet((work / "x.cab").c_str(), out.path().c_str()), 1);
  EXPECT_TRUE(fs::exists(out / "a"));
}

TEST(ExtractCabinet, OverwritesAnExistingFileWhole) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"a", Bytes{'n', 'e', 'w'}}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  WriteFileBytes(out / "a", TextBytes(1000));
  ASSERT_EQ(ExtractCabinet((work / "x.cab").c_str(), Dir(out.path()).c_str()), 1);
  EXPECT_EQ(ReadFileBytes(out / "a"), (Bytes{'n', 'e', 'w'}));
}

// The extraction state is each call's own: extractions on two threads do not mix.
TEST(ExtractCabinet, TwoExtractionsAtOnce) {
  TempDir src, work, out1, out2;
  auto a = WriteSources(src.path(), {{"a1", TextBytes(300000, 1)}, {"a2", NoiseBytes(100000, 2)}});
  auto b = WriteSources(src.path(), {{"b1", NoiseBytes(200000, 3)}, {"b2", TextBytes(400000, 4)}});
  ASSERT_EQ(Create(a, work / "a.cab"), 1);
  ASSERT_EQ(Create(b, work / "b.cab"), 1);
  for (int round = 0; round < 3; ++round) {
    int r1 = 0, r2 = 0;
    std::thread t1([&] { r1 = ExtractCabinetFile((work / "a.cab").c_str(), "A2", Dir(out1.path()).c_str()); });
    std::thread t2([&] { r2 = ExtractCabinet((work / "b.cab").c_str(), Dir(out2.path()).c_str()); });
    t1.join();
    t2.join();
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(r2, 1);
  }
  auto got1 = ListTree(out1.path());
  ASSERT_EQ(got1.size(), 1u);
  EXPECT_EQ(got1[0].first, "a2");
  auto got2 = ListTree(out2.path());
  ASSERT_EQ(got2.size(), 2u);
  EXPECT_TRUE(got2[1].second == TextBytes(400000, 4));
}

TEST(ListCabinet, GivesEveryMemberWithItsSizeAndWritesNothing) {
  TempDir src, work;
  auto paths = WriteSources(src.path(), {{"00001.emf", TextBytes(70000)}, {"+", {}}, {"signatures.p7b", Bytes(3)}});
  ASSERT_EQ(Create(paths, work / "x.cab"), 1);
  std::vector<CabinetMember> members;
  ASSERT_EQ(ListCabinet((work / "x.cab").c_str(), members), 1);
  EXPECT_EQ(members, (std::vector<CabinetMember>{{"00001.emf", 70000}, {"signatures.p7b", 3}}));

  // Declared sizes are read from the records alone: two members of 2 GB over
  // one block of data, as a decompression bomb declares them.
  CabSpec bomb;
  bomb.folders.push_back(StoredFolder(TextBytes(100)));
  bomb.files = {{"00001.emf", 0x7FFF8000}, {"00002.emf", 0x7FFF8000}};
  WriteFileBytes(work / "bomb.cab", BuildCabinet(bomb));
  ASSERT_EQ(ListCabinet((work / "bomb.cab").c_str(), members), 1);
  EXPECT_EQ(members, (std::vector<CabinetMember>{{"00001.emf", 0x7FFF8000}, {"00002.emf", 0x7FFF8000}}));
  EXPECT_EQ(ListTree(work.path()).size(), 2u);

  // What extraction would refuse, listing refuses too.
  bomb.files = {{"00001.emf", 10}, {"../x", 10}};
  WriteFileBytes(work / "bad.cab", BuildCabinet(bomb));
  EXPECT_EQ(ListCabinet((work / "bad.cab").c_str(), members), 0);
  EXPECT_TRUE(members.empty());
  WriteFileBytes(work / "text.cab", TextBytes(100));
  EXPECT_EQ(ListCabinet((work / "text.cab").c_str(), members), 0);
}

// A failed extraction or listing says why: a damaged cabinet, a name that
// would leave the folder, or a member the system would not let it write (with
// the system's error and the member's name).
TEST(ExtractCabinet, SaysWhyItFailed) {
  TempDir src, work;
  auto paths = WriteSources(src.path(), {{"00001.emf", TextBytes(5000)}});
  ASSERT_EQ(Create(paths, work / "good.cab"), 1);
  CabSpec bad;
  bad.folders.push_back(StoredFolder(TextBytes(100)));
  bad.files = {{"00001.emf", 10}, {"../x", 10}};
  WriteFileBytes(work / "bad.cab", BuildCabinet(bad));
  WriteFileBytes(work / "text.cab", TextBytes(100));

  struct Case {
    const char* label;
    const char* cab;
    CabinetFault want;
  };
  const Case cases[] = {
      {"not a cabinet", "text.cab", {CabinetFault::kUnreadable, 0, ""}},
      {"a name leaving the folder", "bad.cab", {CabinetFault::kUnsafeName, 0, "../x"}},
      {"a folder where the member goes", "good.cab", {CabinetFault::kWriteFailed, EISDIR, "00001.emf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir out;
    if (c.want.kind == CabinetFault::kWriteFailed) fs::create_directory(out / "00001.emf");
    CabinetFault fault;
    EXPECT_EQ(ExtractCabinet((work / c.cab).c_str(), Dir(out.path()).c_str(), &fault), 0);
    EXPECT_EQ(fault.kind, c.want.kind);
    EXPECT_EQ(fault.system_error, c.want.system_error);
    EXPECT_EQ(fault.member, c.want.member);
    std::vector<CabinetMember> members;
    if (c.want.kind != CabinetFault::kWriteFailed) {
      EXPECT_EQ(ListCabinet((work / c.cab).c_str(), members, &fault), 0);
      EXPECT_EQ(fault.kind, c.want.kind);
      EXPECT_EQ(fault.member, c.want.member);
    }
  }

  // A write the system refuses halfway (here a file-size limit, as a full disk
  // would) is told by its error, and the half-written member is gone.
  TempDir out;
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  CabinetFault fault;
  const int ok = ExtractCabinet((work / "good.cab").c_str(), Dir(out.path()).c_str(), &fault);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(fault.kind, CabinetFault::kWriteFailed);
  EXPECT_EQ(fault.system_error, EFBIG);
  EXPECT_EQ(fault.member, "00001.emf");
  EXPECT_TRUE(ListTree(out.path()).empty());

  // Success leaves no fault.
  EXPECT_EQ(ExtractCabinet((work / "good.cab").c_str(), Dir(out.path()).c_str(), &fault), 1);
  EXPECT_EQ(fault.kind, CabinetFault::kNone);
}

// A member is its declared slice of the folder's data: extraction writes that
// many bytes and decodes no block past them, however much data the folder holds;
// a folder that ends first fails the extraction with nothing left behind.
TEST(ExtractCabinet, WritesAMemberUpToItsDeclaredSizeOnly) {
  struct Case {
    const char* label;
    uint32_t declared;
    bool ok;
  };
  const Case cases[] = {
      {"inside the first block", 1000, true},
      {"the whole first block", 32768, true},
      {"into the unreadable blocks", 32769, false},
      {"2 GB over one good block", 0x7FFF8000, false},
  };
  // One good block, then blocks whose checksums are wrong: decoding any of them fails.
  const Bytes text = TextBytes(32768);
  CabSpec spec;
  spec.folders.push_back(StoredFolder(text));
  for (int i = 0; i < 64; ++i)
    spec.folders[0].blocks.push_back({StoredMsZip(NoiseBytes(32768, i)), 32768, 0xDEADBEEF});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir work, out;
    spec.files = {{"00001.emf", c.declared}};
    WriteFileBytes(work / "x.cab", BuildCabinet(spec));
    EXPECT_EQ(ExtractCabinet((work / "x.cab").c_str(), Dir(out.path()).c_str()), c.ok ? 1 : 0);
    const auto got = ListTree(out.path());
    if (!c.ok) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].second == Bytes(text.begin(), text.begin() + c.declared));
  }
}

TEST(CreateCabinet, RelativeCabinetPathGoesToTheCurrentFolder) {
  TempDir src, work, out;
  auto paths = WriteSources(src.path(), {{"a", Bytes{'a'}}});
  fs::path old = fs::current_path();
  fs::current_path(work.path());
  int r = Create(paths, "rel.cab");
  int x = ExtractCabinet("rel.cab", Dir(out.path()).c_str());
  fs::current_path(old);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(x, 1);
  EXPECT_TRUE(fs::exists(work / "rel.cab"));
}

}  // namespace
