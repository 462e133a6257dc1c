// Replacing a file keeps what it was (the real file behind links, owner,
// group, mode), a taken name is never replaced, and only leftovers that are
// provably ours and abandoned are cleared: the exact name pattern, this
// user's, and nobody holding them; everything else in the folder stays.
#include "platform/file_replace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/temp_files.h"
#include "platform/testing/test_support.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::WriteFileText;

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A process that holds something until it is told to end (or is killed):
// it runs `make`, reports the path it made through a pipe, and waits.
class Holder {
 public:
  template <typename Make>
  explicit Holder(Make make) {
    int up[2], down[2];
    EXPECT_EQ(::pipe(up), 0);
    EXPECT_EQ(::pipe(down), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up[0]);
      ::close(down[1]);
      const std::string path = make();
      (void)!::write(up[1], path.data(), path.size());
      ::close(up[1]);
      char c;
      (void)!::read(down[0], &c, 1);
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    to_child_ = down[1];
    char buffer[4096];
    ssize_t n = 0, got = 0;
    while ((n = ::read(up[0], buffer + got, sizeof buffer - static_cast<size_t>(got))) > 0) got += n;
    ::close(up[0]);
    path_.assign(buffer, static_cast<size_t>(got));
  }
  ~Holder() { End(); }
  const std::string& path() const { return path_; }
  void End() {
    if (pid_ <= 0) return;
    ::close(to_child_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    ::close(to_child_);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
  int to_child_ = -1;
  std::string path_;
};

// Replaces `old` by a new file written beside it that carries its identity;
// the new file's temporary name.
std::string ReplaceKeepingIdentity(const std::string& old) {
  const int ofd = ::open(old.c_str(), O_RDONLY);
  FileIdentity id;
  EXPECT_EQ(IdentityOf(ofd, &id), 0u);
  ::close(ofd);
  int fd = -1;
  uint32_t error = 0;
  const std::string fresh = MakeSiblingFile(old, ".kdoc", &fd, &error);
  EXPECT_FALSE(fresh.empty()) << error;
  if (fresh.empty()) return fresh;
  EXPECT_EQ(CarryIdentity(fd, id), 0u);
  EXPECT_EQ(CommitFile(fd, fresh, old), 0u);
  ::close(fd);
  return fresh;
}

TEST(FileReplace, TheNewFileGetsTheOldOnesOwnerGroupAndMode) {
  test::TempDir dir;
  const bool root = ::geteuid() == 0;
  struct Case {
    mode_t mode;
    uid_t uid;
    gid_t gid;
  } cases[] = {
      {0644, ::geteuid(), ::getegid()},
      {0640, ::geteuid(), ::getegid()},
      {0664, root ? 4321u : ::geteuid(), root ? 4322u : ::getegid()},
      {0400, root ? 4321u : ::geteuid(), ::getegid()},
  };
  for (const Case& c : cases) {
    const std::string old = (dir / "doc.kdoc").string();
    WriteFileText(old, "old");
    ASSERT_EQ(::chown(old.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(::chmod(old.c_str(), c.mode), 0);
    const std::string fresh = ReplaceKeepingIdentity(old);
    EXPECT_EQ(fs::path(fresh).parent_path(), dir.path());
    EXPECT_TRUE(MatchesTempName(fs::path(fresh).filename().string(), ".kdoc")) << fresh;
    struct stat st;
    ASSERT_EQ(::stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.mode;
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"doc.kdoc"});
  }
}

// A POSIX ACL as Linux keeps it in "system.posix_acl_access": version 2,
// then (tag, permissions, id) entries in order.
std::string Acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
  std::string out;
  const auto put = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(2, 4);
  for (const auto& [tag, perm, id] : entries) {
    put(tag, 2);
    put(perm, 2);
    put(id, 4);
  }
  return out;
}

std::string Attribute(const std::string& path, const char* name) {
  std::string value(256, '\0');
  const ssize_t n = ::getxattr(path.c_str(), name, value.data(), value.size());
  return n < 0 ? "(none)" : value.substr(0, static_cast<size_t>(n));
}

// The file's ACL and its other extended attributes go with it.
TEST(FileReplace, TheNewFileGetsTheOldOnesAclAndExtendedAttributes) {
  test::TempDir dir;
  const std::string old = (dir / "doc.kdoc").string();
  WriteFileText(old, "old");
  ASSERT_EQ(::chmod(old.c_str(), 0640), 0);
  if (::setxattr(old.c_str(), "user.vellorum.note", "umowa", 5, 0) != 0) GTEST_SKIP() << "no extended attributes";
  // user::rw-, user:4321:r--, group::r--, mask::r--, other::---
  constexpr uint32_t kNoId = 0xFFFFFFFF;
  const std::string acl =
      Acl({{0x01, 6, kNoId}, {0x02, 4, 4321}, {0x04, 4, kNoId}, {0x10, 4, kNoId}, {0x20, 0, kNoId}});
  const bool acls = ::setxattr(old.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  ReplaceKeepingIdentity(old);
  EXPECT_EQ(Attribute(old, "user.vellorum.note"), "umowa");
  if (acls) {
    EXPECT_EQ(Attribute(old, "system.posix_acl_access"), acl);
  }
  struct stat st;
  ASSERT_EQ(::stat(old.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(FileReplace, LinksResolveToTheRealFile) {
  test::TempDir dir;
  fs::create_directories(dir / "real");
  WriteFileText(dir / "real" / "doc.kdoc", "x");
  fs::create_symlink("real/doc.kdoc", dir / "rel.kdoc");
  fs::create_symlink(dir / "rel.kdoc", dir / "chain.kdoc");
  fs::create_symlink("real/new.kdoc", dir / "dangling.kdoc");
  fs::create_symlink("loop2", dir / "loop1");
  fs::create_symlink("loop1", dir / "loop2");
  const std::string real_doc = fs::canonical(dir / "real" / "doc.kdoc").string();
  struct Case {
    std::string given;
    std::string want;  // empty: an error
  } cases[] = {
      {(dir / "real" / "doc.kdoc").string(), real_doc},
      {(dir / "rel.kdoc").string(), real_doc},
      {(dir / "chain.kdoc").string(), real_doc},
      {(dir / "dangling.kdoc").string(), (dir / "real" / "new.kdoc").string()},
      {(dir / "none.kdoc").string(), (dir / "none.kdoc").string()},
      {(dir / "loop1").string(), ""},
  };
  for (const Case& c : cases) {
    std::string real;
    const uint32_t error = ResolveLinks(c.given, &real);
    if (c.want.empty()) {
      EXPECT_NE(error, 0u) << c.given;
    } else {
      EXPECT_EQ(error, 0u) << c.given;
      EXPECT_EQ(real, c.want) << c.given;
    }
  }
}

// A link planted by another user in a shared sticky folder (as /tmp) must not
// lead a replacement into this user's files; links of this user or of the
// folder's owner, and links in other folders, are followed as ever.
TEST(FileReplace, LinksOfOthersInASharedStickyFolderAreNotFollowed) {
  constexpr uid_t kStranger = 4242;              // made up: nobody on this system
  constexpr uid_t kFolderOwner = 4343;           // made up too
  constexpr uid_t kMe = static_cast<uid_t>(-1);  // the link stays the current user's
  const bool root = ::geteuid() == 0;
  test::TempDir dir;
  fs::create_directories(dir / "mine");
  WriteFileText(dir / "mine" / "doc.kdoc", "unsigned");
  const std::string doc = fs::canonical(dir / "mine" / "doc.kdoc").string();
  const std::string fresh = fs::canonical(dir / "mine").string() + "/new.kdoc";
  fs::create_directories(dir / "shared");
  ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
  if (root) ASSERT_EQ(::chown((dir / "shared").c_str(), kFolderOwner, static_cast<gid_t>(-1)), 0);
  fs::create_directories(dir / "open");  // anyone may write, but not sticky
  ASSERT_EQ(::chmod((dir / "open").c_str(), 0777), 0);

  struct Case {
    const char* link;    // made in `dir`, pointing at `target`
    std::string target;
    uid_t owner;         // the link's owner
    const char* given;   // the name resolved, in `dir`
    std::string want;    // empty: refused
  } cases[] = {
      {"shared/doc.kdoc", doc, kStranger, "shared/doc.kdoc", ""},
      {"shared/owners.kdoc", doc, kFolderOwner, "shared/owners.kdoc", doc},
      {"shared/own.kdoc", doc, kMe, "shared/own.kdoc", doc},
      {"open/doc.kdoc", doc, kStranger, "open/doc.kdoc", doc},
      // Chains: the second hop is the stranger's link above.
      {"chain.kdoc", (dir / "shared" / "doc.kdoc").string(), kMe, "chain.kdoc", ""},
      // A link that leads nowhere would make a new file where it points.
      {"shared/new.kdoc", fresh, kStranger, "shared/new.kdoc", ""},
      // A link to a folder, as a step within the path.
      {"shared/folder", (dir / "mine").string(), kStranger, "shared/folder/doc.kdoc", ""},
  };
  int skipped = 0;
  for (const Case& c : cases) {
    fs::create_symlink(c.target, dir / c.link);
    if (root && c.owner != kMe)
      ASSERT_EQ(::lchown((dir / c.link).c_str(), c.owner, static_cast<gid_t>(-1)), 0) << c.link;
    // Only root gives a link to another user; every refusal needs one.
    if (!root && (c.owner != kMe || c.want.empty())) {
      ++skipped;
      continue;
    }
    std::string real;
    const uint32_t error = ResolveLinks((dir / c.given).string(), &real);
    if (c.want.empty()) {
      EXPECT_EQ(error, kErrorAccessDenied) << c.given << " -> " << real;
    } else {
      EXPECT_EQ(error, 0u) << c.given;
      EXPECT_EQ(real, c.want) << c.given;
    }
    EXPECT_EQ(ReadFileText(doc), "unsigned") << c.given;
    EXPECT_FALSE(fs::exists(fresh)) << c.given;
  }
  if (skipped > 0) GTEST_SKIP() << skipped << " cases need root to give a link to another user";
}

TEST(FileReplace, ATakenNameIsNeverReplaced) {
  test::TempDir dir;
  WriteFileText(dir / "a", "new");
  WriteFileText(dir / "taken", "the user's");
  EXPECT_EQ(RenameNoReplace((dir / "a").string(), (dir / "taken").string()), kErrorFileExists);
  EXPECT_EQ(ReadFileText(dir / "taken"), "the user's");
  EXPECT_EQ(ReadFileText(dir / "a"), "new");
  EXPECT_EQ(RenameNoReplace((dir / "a").string(), (dir / "free").string()), 0u);
  EXPECT_EQ(ReadFileText(dir / "free"), "new");
  EXPECT_FALSE(fs::exists(dir / "a"));
}

// Beside a container: only our abandoned new files go.
TEST(FileReplace, OnlyAbandonedSiblingsOfOursAreRemoved) {
  test::TempDir dir;
  const bool root = ::geteuid() == 0;
  const std::vector<std::string> stay = {
      ".kdocAbc12",    // too short
      ".kdocAbc1234",  // too long
      ".kdoc-bc123",   // not of the alphabet
      "kdocAbc123",    // not hidden
      ".tmp-Abc123",   // another prefix
      "doc.kdoc",
  };
  for (const auto& n : stay) WriteFileText(dir / n, n);
  WriteFileText(dir / ".kdocGone01", "left by a killed run");
  fs::create_directories(dir / ".kdocDir123");
  WriteFileText(dir / "target", "a link's target");
  fs::create_symlink("target", dir / ".kdocLnk123");
  if (root) {
    WriteFileText(dir / ".kdocOther1", "another user's");
    ASSERT_EQ(::chown((dir / ".kdocOther1").c_str(), 4321, 4321), 0);
  }
  // A file another process is still writing, and one this process holds.
  Holder writer([&] {
    int fd = -1;
    uint32_t error = 0;
    const std::string p = MakeSiblingFile((dir / "doc.kdoc").string(), ".kdoc", &fd, &error);
    return p;  // the descriptor, and its lock, live as long as the process
  });
  ASSERT_FALSE(writer.path().empty());
  int fd = -1;
  uint32_t error = 0;
  const std::string mine = MakeSiblingFile((dir / "doc.kdoc").string(), ".kdoc", &fd, &error);
  ASSERT_FALSE(mine.empty());

  EXPECT_EQ(RemoveAbandonedSiblings(dir.path().string(), ".kdoc"), 1);
  EXPECT_FALSE(fs::exists(dir / ".kdocGone01"));
  for (const auto& n : stay) EXPECT_EQ(ReadFileText(dir / n), n);
  EXPECT_TRUE(fs::is_directory(dir / ".kdocDir123"));
  EXPECT_TRUE(fs::is_symlink(dir / ".kdocLnk123"));
  EXPECT_EQ(ReadFileText(dir / "target"), "a link's target");
  if (root) {
    EXPECT_TRUE(fs::exists(dir / ".kdocOther1"));
  }
  EXPECT_TRUE(fs::exists(writer.path()));
  EXPECT_TRUE(fs::exists(mine));

  // Once its writer is gone, its file is a leftover too.
  writer.Kill();
  ::close(fd);
  EXPECT_EQ(RemoveAbandonedSiblings(dir.path().string(), ".kdoc"), 2);
  EXPECT_FALSE(fs::exists(writer.path()));
  EXPECT_FALSE(fs::exists(mine));
}

// In the temporary folder: only this user's working folders that no living
// process holds go; a concurrent run's folder survives.
TEST(WorkFolders, OnlyAbandonedFoldersOfOursAreRemoved) {
  test::TempDir tmp;
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_tmp = saved ? saved : "";
  ::setenv("TMPDIR", tmp.path().c_str(), 1);
  const bool root = ::geteuid() == 0;

  Holder live([] {
    auto* folder = new WorkFolder("kdoc");  // lives until the process ends
    test::WriteFileText(folder->path() + "/00001.emf", "page");
    return folder->path();
  });
  Holder killed([] {
    auto* folder = new WorkFolder("kdoc");
    test::WriteFileText(folder->path() + "/00001.emf", "page");
    return folder->path();
  });
  ASSERT_FALSE(live.path().empty());
  ASSERT_FALSE(killed.path().empty());
  killed.Kill();
  WorkFolder own("kdoc");
  ASSERT_FALSE(own.path().empty());
  // A folder made without a lock (killed before it took one).
  std::string bare = (tmp / "kdocXXXXXX").string();
  ASSERT_NE(::mkdtemp(bare.data()), nullptr);

  const std::vector<std::string> stay_dirs = {"kdocAb1", "kdocAbc12345", "kdoc-abcde", "xkdocAbcdef", "veltestAbc"};
  for (const auto& n : stay_dirs) fs::create_directories(tmp / n / "inside");
  WriteFileText(tmp / "kdocFile01", "a file, not a folder");
  fs::create_directories(tmp / "elsewhere" / "keep");
  fs::create_symlink(tmp / "elsewhere", tmp / "kdocLink01");
  if (root) {
    fs::create_directories(tmp / "kdocOther1");
    ASSERT_EQ(::chown((tmp / "kdocOther1").c_str(), 4321, 4321), 0);
  }

  EXPECT_EQ(RemoveAbandonedWorkFolders("kdoc"), 2);
  EXPECT_FALSE(fs::exists(killed.path()));
  EXPECT_FALSE(fs::exists(bare));
  EXPECT_TRUE(fs::exists(live.path() + "/00001.emf"));
  EXPECT_TRUE(fs::is_directory(own.path()));
  for (const auto& n : stay_dirs) EXPECT_TRUE(fs::is_directory(tmp / n / "inside")) << n;
  EXPECT_TRUE(fs::is_regular_file(tmp / "kdocFile01"));
  EXPECT_TRUE(fs::is_symlink(tmp / "kdocLink01"));
  EXPECT_TRUE(fs::is_directory(tmp / "elsewhere" / "keep"));
  if (root) {
    EXPECT_TRUE(fs::is_directory(tmp / "kdocOther1"));
  }

  live.End();
  ::setenv("TMPDIR", saved_tmp.c_str(), 1);
  if (!saved) ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace vel::platform
