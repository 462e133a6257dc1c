#include "platform/registry.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/registry_format.h"
#include "platform/testing/test_support.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : env_("VELDOC_REGISTRY_DIR", dir_.path().c_str()) {}

  // Reads one value through a fresh handle.
  uint32_t Query(RegHive hive, std::string_view path, std::string_view name, RegValue& v) {
    RegKey key;
    if (uint32_t s = RegOpenKey(hive, path, kRegRead, key)) return s;
    return RegQueryValue(key, name, v);
  }

  test::TempDir dir_;
  ScopedEnv env_;
};

TEST_F(RegistryTest, EveryTypeReadsBackAsWrittenAfterTheFileIsReadAgain) {
  struct Case {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  std::string awkward = "a \"quoted\" \\path\\ and\r\nnew line\ttab \x01\x7f \xc5\xbc\xc3\xb3\xc5\x82w";
  awkward.push_back('\0');
  awkward += "after zero";
  const Case cases[] = {
      {"TSAHOST", kRegSz, Bytes("http://tsa.example.test:80")},
      {"Empty", kRegSz, {}},
      {"Awkward", kRegSz, Bytes(awkward)},
      {"Expand", kRegExpandSz, Bytes("%HOME%/x")},
      {"Dword", kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {"ShortDword", kRegDword, {0x01, 0x02}},
      {"Binary", kRegBinary, {0x00, 0xff, 0x10}},
      {"EmptyBinary", kRegBinary, {}},
      {"MultiSz", 7, {'a', 0, 'b', 0, 0}},
      {"", kRegSz, Bytes("default value")},
  };
  RegKey key;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", key), 0u);
  for (const Case& c : cases) ASSERT_EQ(RegSetValue(key, c.name, c.type, c.data), 0u) << c.name;

  for (const Case& c : cases) {
    RegValue v;
    ASSERT_EQ(Query(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", c.name, v), 0u) << c.name;
    EXPECT_EQ(v.type, c.type) << c.name;
    EXPECT_EQ(v.data, c.data) << c.name;
  }
  // The file reads cleanly: nothing of it counts as damaged.
  std::string text = test::ReadFileText(dir_ / "hkcu.reg");
  EXPECT_FALSE(regfile::ParseHive(text, "HKEY_CURRENT_USER").damaged) << text;
  EXPECT_NE(text.find("\"Dword\"=dword:12345678\n"), std::string::npos) << text;
}

TEST_F(RegistryTest, StringSettersDropTheTerminatorThatWin32CallersCount) {
  RegKey key;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", key), 0u);
  std::vector<uint8_t> with_zero = Bytes("abc");
  with_zero.push_back(0);
  ASSERT_EQ(RegSetValue(key, "a", kRegSz, with_zero), 0u);
  ASSERT_EQ(RegSetString(key, "b", "abc"), 0u);
  ASSERT_EQ(RegSetValue(key, "c", kRegSz, Bytes("abc")), 0u);
  ASSERT_EQ(RegSetDword(key, "d", 0xA1B2C3D4u), 0u);
  for (const char* name : {"a", "b", "c"}) {
    RegValue v;
    ASSERT_EQ(RegQueryValue(key, name, v), 0u);
    EXPECT_EQ(v.data, Bytes("abc")) << name;
  }
  RegValue d;
  ASSERT_EQ(RegQueryValue(key, "d", d), 0u);
  EXPECT_EQ(d.type, kRegDword);
  EXPECT_EQ(d.data, (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST_F(RegistryTest, KeyAndValueNamesCompareWithoutCaseAndKeepTheirSpelling) {
  RegKey user;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", user), 0u);
  ASSERT_EQ(RegSetDword(user, "VEREDOVE1ASKMARK", 0), 0u);

  RegKey upper;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "SOFTWARE\\marvot-ti\\VelDoc", upper), 0u);
  EXPECT_EQ(upper.path(), "Software\\Marvot-TI\\VELDOC");
  ASSERT_EQ(RegSetDword(upper, "Veredove1AskMark", 1), 0u);

  RegValue v;
  ASSERT_EQ(Query(RegHive::kCurrentUser, "software\\MARVOT-TI\\veldoc", "veredove1askmark", v), 0u);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{1, 0, 0, 0}));

  std::vector<RegNamedValue> values;
  ASSERT_EQ(RegEnumValues(user, values), 0u);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "VEREDOVE1ASKMARK");

  RegKey root;
  ASSERT_EQ(RegOpenKey(RegHive::kCurrentUser, "", kRegRead, root), 0u);
  std::vector<std::string> subkeys;
  ASSERT_EQ(RegEnumSubKeys(root, subkeys), 0u);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Software"});
}

TEST_F(RegistryTest, PathsIgnoreRepeatedAndOuterBackslashes) {
  RegKey key;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "\\\\A\\\\B\\", key), 0u);
  EXPECT_EQ(key.path(), "A\\B");
  ASSERT_EQ(RegSetString(key, "v", "x"), 0u);
  RegValue v;
  EXPECT_EQ(Query(RegHive::kCurrentUser, "A\\B", "v", v), 0u);
}

TEST_F(RegistryTest, SubkeysAndValuesEnumerate) {
  RegKey base;
  ASSERT_EQ(RegCreateKey(RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC\\Certyfikaty", base), 0u);
  for (const char* sub : {"zeta", "Alpha", "beta\\deeper\\still"}) {
    RegKey k;
    ASSERT_EQ(RegCreateKey(RegHive::kLocalMachine, std::string(base.path()) + "\\" + sub, k), 0u);
  }
  ASSERT_EQ(RegSetDword(base, "GlobalCertInstall", 0), 0u);
  ASSERT_EQ(RegSetString(base, "b", "2"), 0u);
  ASSERT_EQ(RegSetString(base, "a", "1"), 0u);
  ASSERT_EQ(RegSetString(base, "B", "3"), 0u);  // the same value as "b": keeps its place

  std::vector<std::string> subkeys;
  ASSERT_EQ(RegEnumSubKeys(base, subkeys), 0u);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "beta", "zeta"}));

  std::vector<RegNamedValue> values;
  ASSERT_EQ(RegEnumValues(base, values), 0u);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "GlobalCertInstall");
  EXPECT_EQ(values[1].name, "b");
  EXPECT_EQ(values[1].value.data, Bytes("3"));
  EXPECT_EQ(values[2].name, "a");

  RegKey leaf;
  ASSERT_EQ(RegOpenKey(RegHive::kLocalMachine, base.path() + "\\beta\\deeper\\still", kRegRead, leaf), 0u);
  ASSERT_EQ(RegEnumSubKeys(leaf, subkeys), 0u);
  EXPECT_TRUE(subkeys.empty());
  ASSERT_EQ(RegEnumValues(leaf, values), 0u);
  EXPECT_TRUE(values.empty());
  // The empty key survives a rewrite of the file.
  ASSERT_EQ(RegSetString(base, "c", "4"), 0u);
  EXPECT_EQ(RegOpenKey(RegHive::kLocalMachine, base.path() + "\\beta\\deeper\\still", kRegRead, leaf), 0u);
}

TEST_F(RegistryTest, DeleteTreeRemovesTheKeyAndEverythingBelowOnly) {
  for (const char* path : {"Software\\Marvot-TI\\VELDOC\\ustawieniaSieci", "Software\\Marvot-TI\\VELDOC2",
                           "Software\\Marvot-TI\\VELDOC\\a\\b\\c"}) {
    RegKey k;
    ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, path, k), 0u);
    ASSERT_EQ(RegSetString(k, "v", path), 0u);
  }
  RegKey held;
  ASSERT_EQ(RegOpenKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", kRegReadWrite, held), 0u);
  ASSERT_EQ(RegDeleteTree(RegHive::kCurrentUser, "SOFTWARE\\Marvot-TI\\VELDOC"), 0u);

  RegKey k;
  EXPECT_EQ(RegOpenKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC", kRegRead, k), 2u);
  EXPECT_EQ(RegOpenKey(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC\\a\\b\\c", kRegRead, k), 2u);
  RegValue v;
  ASSERT_EQ(Query(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC2", "v", v), 0u);
  EXPECT_EQ(v.data, Bytes("Software\\Marvot-TI\\VELDOC2"));

  // A handle to the deleted key fails instead of bringing it back.
  EXPECT_EQ(RegSetString(held, "x", "y"), kErrorKeyDeleted);
  EXPECT_EQ(RegQueryValue(held, "v", v), kErrorKeyDeleted);
  EXPECT_EQ(RegDeleteTree(RegHive::kCurrentUser, "Software\\Marvot-TI\\VELDOC"), 2u);
  EXPECT_EQ(RegDeleteTree(RegHive::kCurrentUser, "\\"), static_cast<uint32_t>(kErrorInvalidParameter));
}

TEST_F(RegistryTest, ErrorsUseWin32Numbers) {
  RegKey k;
  RegValue v;
  // No machine file at all: keys are simply not there.
  EXPECT_FALSE(fs::exists(dir_ / "hklm.reg"));
  EXPECT_EQ(RegOpenKey(RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC", kRegRead, k), 2u);
  EXPECT_EQ(RegQueryValue(k, "LangID", v), static_cast<uint32_t>(kErrorInvalidHandle));

  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
  EXPECT_EQ(RegQueryValue(k, "missing", v), 2u);
  EXPECT_EQ(RegDeleteValue(k, "missing"), 2u);
  ASSERT_EQ(RegSetString(k, "present", "1"), 0u);
  EXPECT_EQ(RegDeleteValue(k, "PRESENT"), 0u);
  EXPECT_EQ(RegQueryValue(k, "present", v), 2u);

  RegKey readonly;
  ASSERT_EQ(RegOpenKey(RegHive::kCurrentUser, "K", kRegRead, readonly), 0u);
  EXPECT_EQ(RegSetDword(readonly, "x", 1), 5u);
  EXPECT_EQ(RegDeleteValue(readonly, "x"), 5u);

  EXPECT_EQ(RegCreateKey(RegHive::kCurrentUser, std::string("bad\nname"), k), static_cast<uint32_t>(kErrorInvalidParameter));
  EXPECT_EQ(RegCreateKey(RegHive::kCurrentUser, std::string(256, 'x'), k), static_cast<uint32_t>(kErrorInvalidParameter));
}

TEST_F(RegistryTest, AWriteThatCannotReachItsFileFailsAndSaysWhy) {
  test::WriteFileText(dir_ / "not-a-folder", "x");
  ScopedEnv moved("VELDOC_REGISTRY_DIR", (dir_ / "not-a-folder" / "sub").c_str());
  RegKey k;
  uint32_t s = RegCreateKey(RegHive::kCurrentUser, "K", k);
  EXPECT_NE(s, 0u);
  EXPECT_FALSE(k.IsOpen());
}

TEST_F(RegistryTest, SomethingElseInTheFilesPlaceIsRefusedWithoutHanging) {
  ASSERT_EQ(::mkfifo((dir_ / "hkcu.reg").c_str(), 0600), 0);
  fs::create_directory(dir_ / "hklm.reg");
  for (RegHive hive : {RegHive::kCurrentUser, RegHive::kLocalMachine}) {
    RegKey k;
    EXPECT_EQ(RegOpenKey(hive, "K", kRegRead, k), 5u);
    EXPECT_EQ(RegCreateKey(hive, "K", k), 5u);
  }
}

TEST_F(RegistryTest, ChangesLeaveNoTemporaryFilesBehind) {
  RegKey k;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(RegSetDword(k, "n", static_cast<uint32_t>(i)), 0u);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"hkcu.reg", "hkcu.reg.lock"}));
}

TEST_F(RegistryTest, HiveFilesAreWhereTheRulesPutThem) {
  EXPECT_EQ(RegHiveFile(RegHive::kCurrentUser), dir_ / "hkcu.reg");
  EXPECT_EQ(RegHiveFile(RegHive::kLocalMachine), dir_ / "hklm.reg");
  ScopedEnv no_dir("VELDOC_REGISTRY_DIR", nullptr);
  EXPECT_EQ(RegHiveFile(RegHive::kLocalMachine), fs::path("/etc/veldoc/hklm.reg"));
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/some/config");
    EXPECT_EQ(RegHiveFile(RegHive::kCurrentUser), fs::path("/some/config/veldoc/hkcu.reg"));
  }
  ScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
  ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(RegHiveFile(RegHive::kCurrentUser), fs::path("/home/someone/.config/veldoc/hkcu.reg"));
}

TEST_F(RegistryTest, AHandWrittenFileReads) {
  test::WriteFileText(dir_ / "hklm.reg",
                      "VELDOC-REGISTRY 1\r\n"
                      "; written by the installation\r\n"
                      "\r\n"
                      "  [HKEY_LOCAL_MACHINE\\SOFTWARE\\Marvot-TI\\VELDOC]  \r\n"
                      "\"LangID\" = dword:409\r\n"
                      "\"GraphicsFormat\"=\"BMP\"\r\n"
                      "\"LastInstall\"=\"2024-05-01H10:00:00\"\r\n"
                      "[hkey_local_machine\\software\\marvot-ti\\veldoc\\Certyfikaty\\Root]\n"
                      "\"Url\"=\"http://ca.example.test/root.crt\"\n"
                      "\"IsQualified\"=hex(4):01, 00, 00, 00\n");
  RegValue v;
  ASSERT_EQ(Query(RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC", "LangID", v), 0u);
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{0x09, 0x04, 0, 0}));
  ASSERT_EQ(Query(RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC", "GraphicsFormat", v), 0u);
  EXPECT_EQ(v.data, Bytes("BMP"));
  ASSERT_EQ(Query(RegHive::kLocalMachine, "SOFTWARE\\Marvot-TI\\VELDOC\\Certyfikaty\\root", "isqualified", v), 0u);
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

// Damaged files: readers take what they can, and the first write keeps the old
// bytes aside before it replaces the file.
TEST_F(RegistryTest, DamagedFilesNeverCrashAndAreKeptBeforeTheyAreReplaced) {
  std::string binary = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"keep\"=\"yes\"\n";
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 131) & 0xff));
  const std::string cases[] = {
      // readable lines around broken ones
      "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"keep\"=\"yes\"\n\"x\"=\"no end\n\"y\"=dword:xyz\n",
      // no header, truncated section, a section of the other hive
      "[HKEY_CURRENT_USER\\K]\n\"keep\"=\"yes\"\n[HKEY_CURRENT_USER\\L\n[HKEY_LOCAL_MACHINE\\K]\n\"z\"=\"1\"\n",
      // bad escapes and hex lists, a value before any section
      "\"early\"=\"1\"\nVELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"\\q\"\n\"b\"=hex:1,2\n"
      "\"c\"=hex(zz):00\n\"keep\"=\"yes\"\n\"d\"=\"\\x4\"\n",
      binary,
      // a line far longer than any real one
      "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"keep\"=\"yes\"\n\"long\"=\"" + std::string(1 << 20, 'a'),
  };
  int n = 0;
  for (const std::string& text : cases) {
    SCOPED_TRACE(n++);
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
    test::WriteFileText(dir_ / "hkcu.reg", text);

    RegValue v;
    ASSERT_EQ(Query(RegHive::kCurrentUser, "K", "keep", v), 0u);
    EXPECT_EQ(v.data, Bytes("yes"));

    RegKey k;
    ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
    ASSERT_EQ(RegSetString(k, "new", "value"), 0u);

    std::vector<fs::path> backups;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().filename().string().starts_with("hkcu.reg.damaged-")) backups.push_back(e.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(test::ReadFileText(backups[0]), text);

    std::string now = test::ReadFileText(dir_ / "hkcu.reg");
    EXPECT_FALSE(regfile::ParseHive(now, "HKEY_CURRENT_USER").damaged);
    ASSERT_EQ(Query(RegHive::kCurrentUser, "K", "keep", v), 0u);
    EXPECT_EQ(v.data, Bytes("yes"));
    ASSERT_EQ(Query(RegHive::kCurrentUser, "K", "new", v), 0u);
    EXPECT_EQ(v.data, Bytes("value"));

    // A clean file is not copied again.
    ASSERT_EQ(RegSetString(k, "more", "x"), 0u);
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      count += e.path().filename().string().starts_with("hkcu.reg.damaged-");
    EXPECT_EQ(count, 1u);
  }
}

// Keys deeper or longer than Windows allows make the file damaged: the section
// and its values are refused, the rest reads, and the first write keeps a copy.
TEST_F(RegistryTest, KeysBeyondWindowsLimitsAreRefusedAsDamage) {
  auto chain = [](size_t depth, size_t name_length) {
    std::string path;
    for (size_t i = 0; i < depth; ++i) path += "\\" + std::string(name_length, 'k');
    return path;
  };
  struct Case {
    std::string path;  // below the hive, beginning with a backslash
    bool accepted;
  } cases[] = {
      {chain(512, 1), true},
      {chain(513, 1), false},
      {chain(3, 255), true},
      {chain(2, 255) + "\\" + std::string(256, 'n'), false},
      {"\\a\\\\\\" + std::string(255, 'n') + "\\", true},  // empty components do not count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.size());
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
    const std::string text = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER" + c.path + "]\n\"deep\"=\"1\"\n"
                             "[HKEY_CURRENT_USER\\K]\n\"keep\"=\"yes\"\n";
    test::WriteFileText(dir_ / "hkcu.reg", text);
    EXPECT_EQ(regfile::ParseHive(text, "HKEY_CURRENT_USER").damaged, !c.accepted);

    RegValue v;
    EXPECT_EQ(Query(RegHive::kCurrentUser, c.path, "deep", v),
              c.accepted ? 0u : static_cast<uint32_t>(kErrorInvalidParameter));
    RegKey k;
    EXPECT_EQ(RegCreateKey(RegHive::kCurrentUser, c.path, k),
              c.accepted ? 0u : static_cast<uint32_t>(kErrorInvalidParameter));
    ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
    ASSERT_EQ(RegSetString(k, "new", "x"), 0u);
    ASSERT_EQ(Query(RegHive::kCurrentUser, "K", "keep", v), 0u);
    size_t copies = 0;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      copies += e.path().filename().string().starts_with("hkcu.reg.damaged-");
    EXPECT_EQ(copies, c.accepted ? 0u : 1u);
  }
}

// A small file naming one very deep key once: reading and rewriting it take
// time and memory in proportion to the file, not to its depth squared. A child
// process does it, so that a hang ends as a failure instead of a stuck suite.
TEST_F(RegistryTest, AFileOfDeeplyNestedKeysReadsAndRewritesInBoundedTime) {
  for (size_t depth : {2000u, 30000u}) {
    SCOPED_TRACE(depth);
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
    std::string text = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\Software\\K]\n\"keep\"=\"yes\"\n"
                       "[HKEY_CURRENT_USER";
    for (size_t i = 0; i < depth; ++i) text += "\\a";
    text += "]\n\"v\"=\"1\"\n";
    test::WriteFileText(dir_ / "hkcu.reg", text);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::alarm(60);  // far beyond what the work needs; only a hang meets it
      int failures = 0;
      for (int i = 0; i < 100; ++i) {
        RegKey k;
        RegValue v;
        failures += RegOpenKey(RegHive::kCurrentUser, "Software\\K", kRegRead, k) != 0;
        failures += RegQueryValue(k, "keep", v) != 0;
      }
      RegKey k;
      failures += RegCreateKey(RegHive::kCurrentUser, "Software\\K", k) != 0;
      failures += RegSetDword(k, "n", 1) != 0;
      ::_exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The rewrite is smaller than what it read: the refused chain is gone.
    EXPECT_LT(fs::file_size(dir_ / "hkcu.reg"), text.size());
  }
}

// A keyed chain within the limits is written back as one section, not one per level.
TEST_F(RegistryTest, KeysWithOnlySubkeysNeedNoSectionOfTheirOwn) {
  std::string path;
  for (int i = 0; i < 512; ++i) path += "\\k";
  RegKey k;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, path, k), 0u);
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "Empty", k), 0u);
  const std::string text = test::ReadFileText(dir_ / "hkcu.reg");
  EXPECT_EQ(std::count(text.begin(), text.end(), '['), 2) << text.substr(0, 200);
  ASSERT_EQ(RegOpenKey(RegHive::kCurrentUser, path.substr(0, 200), kRegRead, k), 0u);
  std::vector<std::string> names;
  ASSERT_EQ(RegEnumSubKeys(k, names), 0u);
  EXPECT_EQ(names, std::vector<std::string>{"k"});
  ASSERT_EQ(RegOpenKey(RegHive::kCurrentUser, "empty", kRegRead, k), 0u);
}

// Reads keep the last parsed hive while the file's bytes stay the same; any
// other program's change, even one of the same size within the same instant,
// is seen at the next read.
TEST_F(RegistryTest, ReadsSeeEveryChangeOfTheFile) {
  const std::string a = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"a\"\n";
  const std::string b = "VELDOC-REGISTRY 1\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"b\"\n";
  const fs::path file = dir_ / "hkcu.reg";
  test::WriteFileText(file, a);
  RegValue v;
  for (int round = 0; round < 20; ++round) {
    const std::string& now = round % 2 ? b : a;
    {
      // Written in place: same inode, same size, likely the same time stamp.
      std::FILE* f = std::fopen(file.c_str(), "r+");
      ASSERT_NE(f, nullptr);
      std::fwrite(now.data(), 1, now.size(), f);
      std::fclose(f);
    }
    ASSERT_EQ(Query(RegHive::kCurrentUser, "K", "v", v), 0u);
    EXPECT_EQ(v.data, Bytes(round % 2 ? "b" : "a"));
  }
  // A change made here is seen by the next read as well.
  RegKey k;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
  ASSERT_EQ(RegSetString(k, "v", "c"), 0u);
  ASSERT_EQ(RegQueryValue(k, "v", v), 0u);
  EXPECT_EQ(v.data, Bytes("c"));
}

TEST_F(RegistryTest, AnEmptyFileIsAnEmptyHive) {
  test::WriteFileText(dir_ / "hkcu.reg", "");
  RegKey k;
  EXPECT_EQ(RegOpenKey(RegHive::kCurrentUser, "K", kRegRead, k), 2u);
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
  for (const auto& e : fs::directory_iterator(dir_.path()))
    EXPECT_FALSE(e.path().filename().string().starts_with("hkcu.reg.damaged-"));
}

// Several programs (a printer job and a viewer) write at once: every value of
// every writer must be there at the end.
TEST_F(RegistryTest, ConcurrentWritersFromSeveralProcessesLoseNothing) {
  constexpr int kProcesses = 6;
  constexpr int kValuesEach = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kValuesEach; ++i) {
        RegKey k;
        std::string path = (i % 2) ? "Software\\Marvot-TI\\VELDOC" : "Software\\Marvot-TI\\VELDOC\\p" + std::to_string(p);
        failures += RegCreateKey(RegHive::kCurrentUser, path, k) != 0;
        failures += RegSetDword(k, "v" + std::to_string(p) + "_" + std::to_string(i), static_cast<uint32_t>(p * 1000 + i)) != 0;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kValuesEach; ++i) {
      std::string path = (i % 2) ? "Software\\Marvot-TI\\VELDOC" : "Software\\Marvot-TI\\VELDOC\\p" + std::to_string(p);
      RegValue v;
      ASSERT_EQ(Query(RegHive::kCurrentUser, path, "v" + std::to_string(p) + "_" + std::to_string(i), v), 0u)
          << p << " " << i;
      uint32_t n = v.data[0] | v.data[1] << 8;
      EXPECT_EQ(n, static_cast<uint32_t>(p * 1000 + i));
    }
  }
}

TEST_F(RegistryTest, ConcurrentWritersOnThreadsLoseNothingAndReadersSeeWholeFiles) {
  constexpr int kThreads = 4;
  constexpr int kValuesEach = 25;
  RegKey k;
  ASSERT_EQ(RegCreateKey(RegHive::kCurrentUser, "K", k), 0u);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    // Every read sees a complete file: the key never goes missing.
    while (!done) {
      RegKey r;
      if (RegOpenKey(RegHive::kCurrentUser, "K", kRegRead, r) != 0) ++failures;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kValuesEach; ++i)
        if (RegSetString(k, "t" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i)) != 0) ++failures;
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<RegNamedValue> values;
  ASSERT_EQ(RegEnumValues(k, values), 0u);
  EXPECT_EQ(values.size(), static_cast<size_t>(kThreads * kValuesEach));
}

TEST(ExpandEnvironmentStrings, ReplacesSetVariablesAndLeavesTheRest) {
  ScopedEnv a("VEL_TEST_A", "alpha");
  ScopedEnv b("VEL_TEST_B", "");
  ScopedEnv none("VEL_TEST_UNSET", nullptr);
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"%VEL_TEST_A%", "alpha"},
      {"x%VEL_TEST_A%y%VEL_TEST_A%z", "xalphayalphaz"},
      {"%vel_test_a%", "alpha"},
      {"[%VEL_TEST_B%]", "[]"},
      {"%VEL_TEST_UNSET%", "%VEL_TEST_UNSET%"},
      {"%VEL_TEST_UNSET%VEL_TEST_A%", "%VEL_TEST_UNSETalpha"},
      {"100%", "100%"},
      {"%%", "%%"},
      {"50% of %VEL_TEST_A%", "50% of alpha"},
      {"%VEL_TEST_A", "%VEL_TEST_A"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandEnvironmentStrings(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace vel::platform
