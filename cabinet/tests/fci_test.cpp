// The cabinet writer through its own interface: sets of cabinets, the callbacks'
// power to stop it, and what it leaves behind when it fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/tests/cab_test_helpers.h"
#include "platform/testing/test_support.h"

namespace fs = std::filesystem;
using namespace vel::cabtest;
using vel::test::ReadFileBytes;
using vel::test::TempDir;
using vel::test::WriteFileBytes;

namespace {

// Keeps the writer's temporary files in a folder of the test's own.
class FciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    saved_ = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("TMPDIR", tmp_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) setenv("TMPDIR", saved_->c_str(), 1); else unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_empty(tmp_.path())) << "temporary files left behind";
  }
  CCAB Params(const fs::path& dir, const std::string& name) {
    CCAB c;
    c.cbFolderThresh = 900000;
    c.setID = 777;
    c.szDisk = "disk1";
    c.szCab = name;
    c.szCabPath = dir.string() + "/";
    return c;
  }
  HFCI Make(ERF& erf, CCAB& ccab, PFNFCIGETTEMPFILE temp = FciTestTempFile) {
    return FCICreate(&erf, nullptr, TestAlloc, TestFree, FciTestOpen, FciTestRead, FciTestWrite, FciTestClose,
                     FciTestSeek, FciTestDelete, temp, &ccab, this);
  }
  TempDir tmp_;
  std::optional<std::string> saved_;
};

int NextCabinet(CCAB* ccab, uint32_t, void*) {
  ccab->szCab = "part" + std::to_string(ccab->iCab) + ".cab";
  ccab->szDisk = "disk" + std::to_string(ccab->iCab);
  return 1;
}

TEST_F(FciTest, SpansASetOfCabinetsThatTheReaderFollows) {
  TempDir src, work, out;
  Bytes a = NoiseBytes(150000, 1), b = NoiseBytes(90000, 2), c = TextBytes(5000, 3);
  WriteFileBytes(src / "a", a);
  WriteFileBytes(src / "b", b);
  WriteFileBytes(src / "c", c);
  CCAB ccab = Params(work.path(), "part1.cab");
  ccab.iCab = 1;
  ccab.cb = 100000;  // every cabinet at most 100,000 bytes
  ERF erf;
  HFCI h = Make(erf, ccab);
  ASSERT_NE(h, nullptr);
  for (const char* n : {"a", "b", "c"})
    ASSERT_TRUE(FCIAddFile(h, (src / n).c_str(), n, false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP))
        << erf.erfOper;
  ASSERT_TRUE(FCIFlushCabinet(h, false, NextCabinet, nullptr)) << erf.erfOper;
  ASSERT_TRUE(FCIDestroy(h));

  int parts = 0;
  for (int i = 1; fs::exists(work / ("part" + std::to_string(i) + ".cab")); ++i) {
    EXPECT_LE(fs::file_size(work / ("part" + std::to_string(i) + ".cab")), 100000u);
    ++parts;
  }
  ASSERT_GE(parts, 3);

  // One walk from the first cabinet extracts the files that begin in it,
  // following their data into the later cabinets.
  std::vector<std::string> seen;
  for (int i = 1; i <= parts; ++i) {
    Walk w(out.path());
    w.nextAnswer = 1;
    ERF e;
    ASSERT_TRUE(CopyWithWalk(work / ("part" + std::to_string(i) + ".cab"), w, e)) << i << ": " << e.erfOper;
  }
  EXPECT_EQ(ReadFileBytes(out / "a"), a);
  EXPECT_EQ(ReadFileBytes(out / "b"), b);
  EXPECT_EQ(ReadFileBytes(out / "c"), c);
}

TEST_F(FciTest, NoMethodSelectedCannotCompress) {
  TempDir src, work;
  WriteFileBytes(src / "a", Bytes{'a'});
  CCAB ccab = Params(work.path(), "x.cab");
  ERF erf;
  HFCI h = Make(erf, ccab);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, tcompBAD));
  EXPECT_EQ(erf.erfOper, FCIERR_BAD_COMPR_TYPE);
  EXPECT_TRUE(FCIDestroy(h));
}

// Readers know LZX windows of 2^15 to 2^21 bytes only; Quantum has no compressor.
TEST_F(FciTest, RefusesLzxWindowsOutsideTheFormatAndQuantum) {
  TempDir src, work;
  WriteFileBytes(src / "a", Bytes{'a'});
  CCAB ccab = Params(work.path(), "x.cab");
  for (uint16_t type : {uint16_t{0x0E03}, uint16_t{0x1603}, uint16_t{0x0003}, uint16_t{0x0F02}}) {
    ERF erf;
    HFCI h = Make(erf, ccab);
    EXPECT_FALSE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, type)) << type;
    EXPECT_EQ(erf.erfOper, FCIERR_BAD_COMPR_TYPE) << type;
    FCIDestroy(h);
  }
}

TEST_F(FciTest, TypeChangeClosesTheFolder) {
  TempDir src, work, out;
  WriteFileBytes(src / "a", TextBytes(1000));
  WriteFileBytes(src / "b", TextBytes(1000, 2));
  CCAB ccab = Params(work.path(), "x.cab");
  ERF erf;
  HFCI h = Make(erf, ccab);
  ASSERT_TRUE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP));
  ASSERT_TRUE(FCIAddFile(h, (src / "b").c_str(), "b", true, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_NONE));
  ASSERT_TRUE(FCIFlushCabinet(h, false, NextCabinet, nullptr));
  FCIDestroy(h);
  ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  ASSERT_EQ(p.cFolders, 2);
  EXPECT_EQ(p.typeCompress[0], tcompTYPE_MSZIP);
  EXPECT_EQ(p.typeCompress[1], tcompTYPE_NONE);
  EXPECT_EQ(p.files[1].iFolder, 1);
  EXPECT_EQ(p.files[1].attribs & _A_EXEC, _A_EXEC);
  Walk w(out.path());
  ERF e;
  ASSERT_TRUE(CopyWithWalk(work / "x.cab", w, e));
  EXPECT_EQ(ReadFileBytes(out / "b"), TextBytes(1000, 2));
  EXPECT_EQ(w.events.back(), "close:b:32:1");  // execute bit reported through cb
}

struct StatusTotals {
  uint64_t compressed = 0, uncompressed = 0;
};
int32_t SumFileStatus(uint32_t type, uint32_t cb1, uint32_t cb2, void* pv) {
  auto* t = static_cast<StatusTotals*>(pv);
  if (type == statusFile) {
    t->compressed += cb1;
    t->uncompressed += cb2;
  }
  return 0;
}

// LZX frames leave the compressor after the bytes went in: the status callback
// hears of every byte once and of every compressed frame once, and the held
// frames count towards the folder threshold.
TEST_F(FciTest, LzxReportsEveryByteOnceAndClosesFoldersAtTheThreshold) {
  TempDir src, work;
  const Bytes a = NoiseBytes(120000, 4), b = TextBytes(90000, 5);
  WriteFileBytes(src / "a", a);
  WriteFileBytes(src / "b", b);
  CCAB ccab = Params(work.path(), "x.cab");
  ccab.cbFolderThresh = 60000;
  ERF erf;
  StatusTotals totals;
  HFCI h = FCICreate(&erf, nullptr, TestAlloc, TestFree, FciTestOpen, FciTestRead, FciTestWrite, FciTestClose,
                     FciTestSeek, FciTestDelete, FciTestTempFile, &ccab, &totals);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, SumFileStatus, FciTestOpenInfo, 0x1503));
  ASSERT_TRUE(FCIAddFile(h, (src / "b").c_str(), "b", false, NextCabinet, SumFileStatus, FciTestOpenInfo, 0x1503));
  ASSERT_TRUE(FCIFlushCabinet(h, false, NextCabinet, SumFileStatus)) << erf.erfOper;
  EXPECT_TRUE(FCIDestroy(h));
  EXPECT_EQ(totals.uncompressed, a.size() + b.size());
  const ParsedCabinet p = ParseCabinet(ReadFileBytes(work / "x.cab"));
  ASSERT_EQ(p.cFolders, 2);  // the noise alone passes the threshold
  uint64_t compressed = 0;
  for (size_t f = 0; f < p.blocks.size(); ++f) {
    EXPECT_EQ(p.typeCompress[f], 0x1503);
    for (const ParsedBlock& blk : p.blocks[f]) compressed += blk.cbData;
  }
  EXPECT_EQ(totals.compressed, compressed);
}

int g_tempTries = 0;
int CountingNoTempName(char*, int, void*) {
  ++g_tempTries;
  return 0;
}

TEST_F(FciTest, GivesUpAfterElevenTemporaryNames) {
  TempDir work;
  CCAB ccab = Params(work.path(), "x.cab");
  ERF erf;
  g_tempTries = 0;
  EXPECT_EQ(Make(erf, ccab, CountingNoTempName), nullptr);
  EXPECT_EQ(erf.erfOper, FCIERR_TEMP_FILE);
  EXPECT_EQ(g_tempTries, 11);
}

int32_t AbortWhileCopying(uint32_t type, uint32_t cb1, uint32_t, void*) {
  return type == statusFolder && cb1 > 0 ? -1 : 0;
}

TEST_F(FciTest, AbortWhileWritingDeletesTheCabinet) {
  TempDir src, work;
  WriteFileBytes(src / "a", TextBytes(100000));
  CCAB ccab = Params(work.path(), "x.cab");
  ERF erf;
  HFCI h = Make(erf, ccab);
  ASSERT_TRUE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP));
  ASSERT_TRUE(FCIFlushFolder(h, NextCabinet, nullptr));
  EXPECT_FALSE(FCIFlushCabinet(h, false, NextCabinet, AbortWhileCopying));
  EXPECT_EQ(erf.erfOper, FCIERR_USER_ABORT);
  EXPECT_TRUE(FCIDestroy(h));
  EXPECT_FALSE(fs::exists(work / "x.cab"));
}

TEST_F(FciTest, RefusesNamesARecordCannotHold) {
  TempDir src, work;
  WriteFileBytes(src / "a", Bytes{'a'});
  CCAB ccab = Params(work.path(), "x.cab");
  ERF erf;
  HFCI h = Make(erf, ccab);
  std::string longName(256, 'n');
  EXPECT_FALSE(
      FCIAddFile(h, (src / "a").c_str(), longName.c_str(), false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP));
  EXPECT_EQ(erf.erfOper, FCIERR_OPEN_SRC);
  FCIDestroy(h);

  // A cabinet path and name longer than 255 bytes together are refused, not cut.
  CCAB longCab = Params(work.path(), std::string(250, 'c'));
  ERF e2;
  HFCI h2 = Make(e2, longCab);
  ASSERT_TRUE(FCIAddFile(h2, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP));
  EXPECT_FALSE(FCIFlushCabinet(h2, false, NextCabinet, nullptr));
  EXPECT_EQ(e2.erfOper, FCIERR_CAB_FILE);
  FCIDestroy(h2);
  EXPECT_TRUE(fs::is_empty(work.path()));
}

TEST_F(FciTest, MediaSizeZeroMeansNoLimitAndReservesAreWritten) {
  TempDir src, work, out;
  WriteFileBytes(src / "a", TextBytes(70000));
  CCAB ccab = Params(work.path(), "x.cab");
  ccab.cb = 0;
  ccab.cbReserveCFHeader = 10;
  ccab.cbReserveCFData = 3;
  ERF erf;
  HFCI h = Make(erf, ccab);
  ASSERT_TRUE(FCIAddFile(h, (src / "a").c_str(), "a", false, NextCabinet, nullptr, FciTestOpenInfo, tcompTYPE_MSZIP));
  ASSERT_TRUE(FCIFlushCabinet(h, false, NextCabinet, nullptr));
  FCIDestroy(h);
  Bytes cab = ReadFileBytes(work / "x.cab");
  EXPECT_EQ(cab[30] & 0x04, 0x04);
  EXPECT_EQ(cab[36] | cab[37] << 8, 10);
  EXPECT_EQ(cab[39], 3);
  Walk w(out.path());
  ERF e;
  ASSERT_TRUE(CopyWithWalk(work / "x.cab", w, e));
  EXPECT_EQ(ReadFileBytes(out / "a"), TextBytes(70000));
}

}  // namespace
