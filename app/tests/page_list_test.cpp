// Page streams from job files and folders, and EMF pages turned into BMP file
// images. Hostile streams are refused with error 2 under the sanitizers.
#include "app/page_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <optional>

#include "app/page_bitmap.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "platform/gfx/dib.h"
#include "platform/testing/test_support.h"
#include "platform/tests/emf_writer.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Stream(const std::vector<Bytes>& pages) {
  Bytes records;
  for (const Bytes& p : pages) {
    Put32(records, static_cast<uint32_t>(p.size()));
    records.insert(records.end(), p.begin(), p.end());
  }
  Bytes out;
  Put32(out, static_cast<uint32_t>(records.size()));
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

class OpenFile {
 public:
  explicit OpenFile(const std::filesystem::path& p) : fd_(::open(p.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::vector<Bytes> PagesOf(const CPageList& list) {
  std::vector<Bytes> out;
  for (const CPageEntry& e : list.entries()) out.emplace_back(e.bytes().begin(), e.bytes().end());
  return out;
}

TEST(PageStream, JobFiles) {
  const Bytes a = {1, 2, 3}, b = {}, c(1000, 0x5A);
  struct Case {
    const char* name;
    Bytes file;
    uint32_t error;
    std::vector<Bytes> pages;
  };
  Bytes trailing = Stream({a});
  trailing.insert(trailing.end(), {9, 9, 9});
  const std::vector<Case> cases = {
      {"three bytes", {0, 0, 0}, 2, {}},
      {"empty file", {}, 2, {}},
      {"four zero bytes", {0, 0, 0, 0}, 0, {}},
      {"pages", Stream({a, b, c}), 0, {a, b, c}},
      {"bytes after the announced length are not pages", trailing, 0, {a}},
      {"length announcing more than the file", {100, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3}, 2, {}},
      {"length of 2^32-1", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 2, {}},
      {"length whose N + 4 wraps 32 bits", {0xFC, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 2, {}},
      {"record overrunning the stream", {8, 0, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4}, 2, {}},
      {"record size of 2^32-1", {8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}, 2, {}},
      {"partial size word at the end", {7, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0}, 2, {}},
      {"size word cut short", {2, 0, 0, 0, 0, 0}, 2, {}},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    const auto path = dir / "job";
    test::WriteFileBytes(path, c.file);
    OpenFile f(path);
    ASSERT_GE(f.fd(), 0);
    ::lseek(f.fd(), 0, SEEK_END);  // the list seeks to the start itself
    CPageList list(f.fd());
    EXPECT_EQ(list.error(), c.error) << c.name;
    EXPECT_EQ(PagesOf(list), c.pages) << c.name;
    if (c.error == 0) {
      EXPECT_EQ(list.stream().size(), static_cast<size_t>(c.file[0] | (c.file[1] << 8)) + 4) << c.name;
      EXPECT_TRUE(std::equal(list.content().begin(), list.content().end(), c.file.begin() + 4)) << c.name;
    } else {
      EXPECT_TRUE(list.stream().empty()) << c.name;
    }
    EXPECT_NE(::fcntl(f.fd(), F_GETFD), -1) << "the job file stays open: " << c.name;
  }
}

TEST(PageStream, EntriesPointIntoTheOneStream) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "job", Stream({{1, 2}, {3, 4, 5}}));
  OpenFile f(dir / "job");
  CPageList list(f.fd());
  ASSERT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(list.GetAt(0).data(), list.stream().data() + 8);
  EXPECT_EQ(list.GetAt(1).data(), list.stream().data() + 14);
  EXPECT_EQ(list.GetAt(1).size(), 3u);
}

TEST(PageStream, FolderRebuildsTheJobStream) {
  test::TempDir dir;
  const Bytes p1 = {'E', 'M', 'F', '1'}, p2(777, 2), p3 = {3};
  test::WriteFileBytes(dir / "00001.emf", p1);
  test::WriteFileBytes(dir / "00002.EMF", p2);  // names compare without case
  test::WriteFileBytes(dir / "00003.emf", p3);
  test::WriteFileBytes(dir / "00005.emf", {5});         // after a gap: not a page
  test::WriteFileBytes(dir / "abcde.emf", {6, 6});      // matches the old pattern, not a page
  test::WriteFileBytes(dir / "00001.bmp", {7});         // other format
  test::WriteFileBytes(dir / "signatures.p7b", {8});

  CPageList list(dir.path().string(), "EMF");
  EXPECT_EQ(list.error(), 0u);
  ASSERT_EQ(PagesOf(list), (std::vector<Bytes>{p1, p2, p3}));
  const Bytes expected = Stream({p1, p2, p3});
  EXPECT_EQ(Bytes(list.stream().begin(), list.stream().end()), expected);
  EXPECT_EQ(expected[0] | (expected[1] << 8), static_cast<int>(p1.size() + p2.size() + p3.size() + 12));

  // The same pages as a job file give the same signed content.
  test::WriteFileBytes(dir / "job", expected);
  OpenFile f(dir / "job");
  CPageList job(f.fd());
  EXPECT_TRUE(std::equal(job.content().begin(), job.content().end(), list.content().begin(), list.content().end()));
}

TEST(PageStream, FolderEdges) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    std::string format;
    std::vector<Bytes> pages;
  };
  const std::vector<Case> cases = {
      {"empty folder", [](const auto&) {}, "EMF", {}},
      {"bitmap pages", [](const auto& d) {
         test::WriteFileBytes(d / "00001.bmp", {1});
         test::WriteFileBytes(d / "00001.emf", {2});
       },
       "BMP", {{1}}},
      {"other formats count as EMF", [](const auto& d) {
         test::WriteFileBytes(d / "00001.bmp", {1});
         test::WriteFileBytes(d / "00001.emf", {2});
       },
       "bmp", {{2}}},
      {"an empty page file", [](const auto& d) { test::WriteFileBytes(d / "00001.emf", {}); }, "EMF", {{}}},
      {"a folder named like a page", [](const auto& d) { std::filesystem::create_directory(d / "00001.emf"); },
       "EMF", {}},
      {"a pipe named like a page does not block", [](const auto& d) {
         ASSERT_EQ(::mkfifo((d / "00002.emf").c_str(), 0600), 0);
         test::WriteFileBytes(d / "00001.emf", {1});
       },
       "EMF", {{1}}},
      {"a link named like a page", [](const auto& d) {
         test::WriteFileBytes(d / "target", {1});
         std::filesystem::create_symlink(d / "target", d / "00001.emf");
       },
       "EMF", {}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    c.make(dir.path());
    CPageList list(dir.path().string(), c.format);
    EXPECT_EQ(list.error(), 0u) << c.name;
    EXPECT_EQ(PagesOf(list), c.pages) << c.name;
    if (c.pages.empty()) {
      EXPECT_TRUE(list.stream().empty()) << c.name;
    }
  }
  CPageList missing("/nonexistent/folder", "EMF");
  EXPECT_EQ(missing.error(), 0u);
  EXPECT_TRUE(missing.IsEmpty());
}

TEST(PageStream, FolderFormatComesFromTheMachineSetting) {
  test::TempDir reg;
  const char* old = std::getenv("VELDOC_REGISTRY_DIR");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("VELDOC_REGISTRY_DIR", reg.path().c_str(), 1);
  test::TempDir dir;
  test::WriteFileBytes(dir / "00001.bmp", {1});
  test::WriteFileBytes(dir / "00001.emf", {2});

  EXPECT_EQ(PageGraphicsFormat(), "EMF");  // the default
  ASSERT_EQ(WriteRegString(RegHive::kLocalMachine, kMachineKey, kValueGraphicsFormat, "BMP"), 0u);
  EXPECT_EQ(PagesOf(CPageList(dir.path().string())), std::vector<Bytes>{{1}});
  ASSERT_EQ(WriteRegString(RegHive::kLocalMachine, kMachineKey, kValueGraphicsFormat, "PNG"), 0u);
  EXPECT_EQ(PagesOf(CPageList(dir.path().string())), std::vector<Bytes>{{2}});

  if (saved) ::setenv("VELDOC_REGISTRY_DIR", saved->c_str(), 1);
  else ::unsetenv("VELDOC_REGISTRY_DIR");
}

// ---- EMF pages as BMP file images ----

constexpr uint32_t kRed = test::Rgb(255, 0, 0);

// A 400 x 300 reference page with a red rectangle over its top-left quarter.
Bytes QuarterPage(uint32_t colour = kRed) {
  test::EmfWriter w(400, 300, 600);
  w.SelectStock(8).CreateBrush(1, 0, colour).Select(1).Rectangle(0, 0, 200, 150);
  return w.Finish();
}

uint32_t Le32At(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

TEST(PageBitmap, HalfResolutionBmpFileImage) {
  uint32_t status = 99;
  CPageBitmap page(QuarterPage(), &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(page.last_error(), 0u);
  const uint8_t* img = page.image();
  ASSERT_EQ(page.image_size(), 54u + 200 * 150 * 4);
  EXPECT_EQ(img[0], 'B');
  EXPECT_EQ(img[1], 'M');
  EXPECT_EQ(Le32At(img + 2), page.image_size());
  EXPECT_EQ(Le32At(img + 10), 54u);   // pixel offset: no colour table at 32 bits
  EXPECT_EQ(Le32At(img + 14), 40u);   // header size
  EXPECT_EQ(Le32At(img + 18), 200u);  // width
  EXPECT_EQ(Le32At(img + 22), 150u);  // height, positive: bottom-up
  EXPECT_EQ(img[26] | (img[27] << 8), 1);
  EXPECT_EQ(img[28] | (img[29] << 8), 32);
  EXPECT_EQ(Le32At(img + 30), 0u);
  EXPECT_EQ(Le32At(img + 34), 200u * 150 * 4);
  EXPECT_EQ(Le32At(img + 46), 0u);  // colours used

  const QImage decoded = gfx::DecodeBmpFile(page.bytes());
  ASSERT_FALSE(decoded.isNull());
  EXPECT_EQ(decoded.pixel(10, 10), qRgb(255, 0, 0));
  EXPECT_EQ(decoded.pixel(190, 140), qRgb(255, 255, 255));  // white background
  // The first stored row is the bottom one.
  EXPECT_EQ(img[54] | (img[55] << 8) | (img[56] << 16), 0xFFFFFF);
}

TEST(PageBitmap, SamePageSameBytesOtherPageOtherBytes) {
  uint32_t s1 = 1, s2 = 1, s3 = 1;
  CPageBitmap a(QuarterPage(), &s1), b(QuarterPage(), &s2), c(QuarterPage(test::Rgb(0, 0, 255)), &s3);
  ASSERT_EQ(s1 | s2 | s3, 0u);
  EXPECT_TRUE(std::ranges::equal(a.bytes(), b.bytes()));
  EXPECT_FALSE(std::ranges::equal(a.bytes(), c.bytes()));
}

TEST(PageBitmap, HostileHeadersAreRefused) {
  auto with_device = [](int32_t cx, int32_t cy) {
    Bytes b = QuarterPage();
    for (int i = 0; i < 4; ++i) {
      b[72 + i] = static_cast<uint8_t>(static_cast<uint32_t>(cx) >> (8 * i));
      b[76 + i] = static_cast<uint8_t>(static_cast<uint32_t>(cy) >> (8 * i));
    }
    return b;
  };
  Bytes broken = QuarterPage();
  broken[108 + 4] = 0xFF;  // the first record after the header runs past the end
  broken[108 + 5] = 0xFF;
  struct Case {
    const char* name;
    Bytes emf;
    uint32_t status;
  };
  const std::vector<Case> cases = {
      {"not a metafile", {'B', 'M', 0, 0}, 13},
      {"empty", {}, 13},
      {"device of one pixel", with_device(1, 1), 87},
      {"negative device", with_device(-400, 300), 87},
      {"device of 2^31-1 pixels a side", with_device(0x7FFFFFFF, 0x7FFFFFFF), 8},
      {"bytes beyond the cap", with_device(60000, 60000), 8},
      {"broken record chain", broken, 13},
  };
  for (const Case& c : cases) {
    uint32_t status = 0;
    CPageBitmap page(c.emf, &status);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(page.last_error(), c.status) << c.name;
    EXPECT_EQ(page.image_size(), 0u) << c.name;
  }
}

TEST(PageBitmap, DepthClassesAndTheirLayout) {
  struct Case {
    uint32_t bits, depth;
    uint64_t colours, offset, row_bytes;
  };
  // Width 3: rows are padded to 32 bits.
  const std::vector<Case> cases = {
      {1, 1, 2, 62, 4},          {2, 4, 16, 118, 4},       {4, 4, 16, 118, 4},
      {8, 8, 256, 1078, 4},      {15, 16, 65536, 262198, 8}, {16, 16, 65536, 262198, 8},
      {24, 24, 0, 54, 12},       {32, 32, 0, 54, 12},       {48, 32, 0, 54, 12},
  };
  for (const Case& c : cases) {
    const BmpLayout l = ComputeBmpLayout(3, 5, c.bits);
    EXPECT_EQ(l.depth, c.depth) << c.bits;
    EXPECT_EQ(l.colours, c.colours) << c.bits;
    EXPECT_EQ(l.pixel_offset, c.offset) << c.bits;
    EXPECT_EQ(l.pixel_bytes, c.row_bytes * 5) << c.bits;
    EXPECT_EQ(l.file_size, c.offset + c.row_bytes * 5) << c.bits;
  }
  // 64-bit arithmetic: no wrap for the largest sides.
  EXPECT_EQ(ComputeBmpLayout(0x7FFFFFFF, 0x7FFFFFFF, 32).pixel_bytes, uint64_t{0x7FFFFFFF} * 4 * 0x7FFFFFFF);
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);  // fonts for the page renderer
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
