#include "app/registry_settings.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "app/base64_codec.h"
#include "platform/registry.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

using platform::RegKey;
using platform::RegValue;

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

// "dddd-dd-ddHdd:dd:dd"
bool IsMarker(const std::string& s) {
  const std::string shape = "9999-99-99H99:99:99";
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (shape[i] == '9' ? !(s[i] >= '0' && s[i] <= '9') : s[i] != shape[i]) return false;
  }
  return true;
}

std::string Path(std::string_view key, std::string_view value) { return std::string(key) + "\\" + std::string(value); }

class RegistrySettingsTest : public ::testing::Test {
 protected:
  RegistrySettingsTest() : env_("VELDOC_REGISTRY_DIR", dir_.path().c_str()) {}

  void SetRaw(RegHive hive, std::string_view key_path, std::string_view name, uint32_t type,
              std::vector<uint8_t> data) {
    RegKey key;
    ASSERT_EQ(platform::RegCreateKey(hive, key_path, key), 0u);
    ASSERT_EQ(platform::RegSetValue(key, name, type, data), 0u);
  }

  bool KeyExists(RegHive hive, std::string_view path) {
    RegKey key;
    return platform::RegOpenKey(hive, path, platform::kRegRead, key) == 0;
  }

  test::TempDir dir_;
  ScopedEnv env_;
};

// Every value of the settings model reads as its default on an empty registry.
TEST_F(RegistrySettingsTest, MissingValuesReadAsTheModelsDefaults) {
  const std::string certs = Path(kMachineKey, kSubkeyCertificates);
  const std::string cert = certs + "\\SomeCa";
  const std::string net = Path(kUserKey, kSubkeyNetwork);
  struct DwordCase {
    RegHive root;
    std::string path;
    uint32_t expected;
  } dwords[] = {
      {RegHive::kLocalMachine, Path(kMachineKey, kValueLangId), 1045},
      {RegHive::kLocalMachine, Path(certs, kValueGlobalCertInstall), 0},
      {RegHive::kLocalMachine, Path(cert, kValueCertIsQualified), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueTsaSignReq), 1},
      {RegHive::kCurrentUser, Path(kUserKey, kValueCrlGetAlways), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueProxyEnabled), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueProxyAuthEnabled), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueKdocAskSave), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueVeredove1AskMark), 0},
      {RegHive::kCurrentUser, Path(kUserKey, kValueVeredove2AskMark), 0},
      {RegHive::kCurrentUser, Path(kOlderEditionKey, kValueOlderVeredove1AskMark), 0},
      {RegHive::kCurrentUser, Path(kOlderEditionKey, kValueOlderVeredove2AskMark), 0},
      {RegHive::kCurrentUser, Path(Path(kOlderEditionKey, kSubkeyOlderArchive), kValueOlderArchiveValidity), 0},
  };
  const uint32_t dword_defaults[] = {
      kRegDefaultLangId,       kRegDefaultGlobalCertInstall, kRegDefaultCertIsQualified,
      kRegDefaultTsaSignReq,   kRegDefaultCrlGetAlways,      kRegDefaultProxyEnabled,
      kRegDefaultProxyAuthEnabled, kRegDefaultKdocAskSave,   kRegDefaultAskMark,
      kRegDefaultAskMark,      kRegDefaultAskMark,           kRegDefaultAskMark,
      kRegDefaultOlderArchiveValidity,
  };
  static_assert(std::size(dwords) == std::size(dword_defaults));
  for (size_t i = 0; i < std::size(dwords); ++i) {
    const DwordCase& c = dwords[i];
    EXPECT_EQ(dword_defaults[i], c.expected) << c.path;
    EXPECT_EQ(CRegDword(c.path, dword_defaults[i], true, c.root).Get(), c.expected) << c.path;
  }

  struct StringCase {
    RegHive root;
    std::string path;
    const char* default_value;
    const char* expected;
  } strings[] = {
      {RegHive::kLocalMachine, Path(kMachineKey, kValueGraphicsFormat), kRegDefaultGraphicsFormat, "EMF"},
      {RegHive::kLocalMachine, Path(kMachineKey, kValueLastInstall), kRegDefaultLastInstall, ""},
      {RegHive::kLocalMachine, Path(cert, kValueCertName), kRegDefaultCertText, ""},
      {RegHive::kLocalMachine, Path(cert, kValueCertUrl), kRegDefaultCertText, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueTsaHost), kRegDefaultTsaHost, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueTsaOid), kRegDefaultTsaOidSettingsPage, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueTsaOid), kRegDefaultTsaOidSigning, "1.2.616.1.170238.10.2.1.0"},
      {RegHive::kCurrentUser, Path(kUserKey, kValueCrlUrls), kRegDefaultCrlUrls, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueProxyName), kRegDefaultProxyName, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueProxyPort), kRegDefaultProxyPort, "0"},
      {RegHive::kCurrentUser, Path(kUserKey, kValueProxyPort), kRegDefaultProxyPortSettingsPage, ""},
      {RegHive::kCurrentUser, Path(net, kValueProxyUsr), kRegDefaultProxyCredential, ""},
      {RegHive::kCurrentUser, Path(kUserKey, kValueUserMarker), kRegDefaultUserMarker, ""},
      {RegHive::kCurrentUser, Path(Path(kOlderEditionKey, kSubkeyNetwork), kValueProxyPort),
       kRegDefaultOlderProxyPort, "0"},
  };
  for (const StringCase& c : strings)
    EXPECT_EQ(CRegString(c.path, c.default_value, true, c.root).Get(), c.expected) << c.path;
}

TEST_F(RegistrySettingsTest, ValuePathsWithExtraBackslashesReadTheSameValue) {
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueTsaHost, "http://tsa.test:80"), 0u);
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueCrlGetAlways, 7), 0u);
  const char* forms[] = {
      "Software\\Marvot-TI\\VELDOC\\%s",     "\\Software\\Marvot-TI\\VELDOC\\%s", "\\\\\\Software\\Marvot-TI\\VELDOC\\%s",
      "Software\\Marvot-TI\\VELDOC\\%s\\",   "Software\\Marvot-TI\\VELDOC\\%s\\\\", "SOFTWARE\\marvot-ti\\veldoc\\%s",
      "Software\\Marvot-TI\\VELDOC\\\\%s",
  };
  for (const char* form : forms) {
    std::string f(form);
    std::string tsa = f.replace(f.find("%s"), 2, "tsahost");
    f = form;
    std::string crl = f.replace(f.find("%s"), 2, "CRLGETALWAYS");
    EXPECT_EQ(CRegString(tsa, "none", true, RegHive::kCurrentUser).Get(), "http://tsa.test:80") << form;
    EXPECT_EQ(CRegDword(crl, 99, true, RegHive::kCurrentUser).Get(), 7u) << form;
  }
  std::string subkey, name;
  SplitValuePath("\\\\A\\\\B\\\\Name\\\\", subkey, name);
  EXPECT_EQ(subkey, "A\\\\B");
  EXPECT_EQ(name, "Name");
  SplitValuePath("OnlyName", subkey, name);
  EXPECT_EQ(subkey, "");
  EXPECT_EQ(name, "OnlyName");
}

TEST_F(RegistrySettingsTest, DwordReaderTakesShortDataOfAnyTypeLittleEndian) {
  struct Case {
    uint32_t type;
    std::vector<uint8_t> data;
    uint32_t expected;
  } cases[] = {
      {platform::kRegDword, {0x09, 0x04, 0, 0}, 1033},
      {platform::kRegBinary, {0x01, 0x02}, 0x0201},
      {platform::kRegBinary, {}, 0},
      {platform::kRegBinary, {1, 2, 3, 4, 5}, 555},  // longer than four bytes: the default
      {platform::kRegSz, {'1'}, 0x31},                // "1" and its terminator
      {platform::kRegSz, {'a', 'b', 'c'}, 0x00636261},
      {platform::kRegSz, {'a', 'b', 'c', 'd'}, 555},
  };
  for (const Case& c : cases) {
    SetRaw(RegHive::kLocalMachine, kMachineKey, kValueLangId, c.type, c.data);
    EXPECT_EQ(CRegDword(Path(kMachineKey, kValueLangId), 555, true, RegHive::kLocalMachine).Get(), c.expected)
        << c.type << " " << c.data.size();
  }
}

TEST_F(RegistrySettingsTest, StringReaderExpandsOnlyExpandStrings) {
  ScopedEnv var("VEL_SETTINGS_TEST_DIR", "/opt/some where");
  SetRaw(RegHive::kCurrentUser, kUserKey, "Expanded", platform::kRegExpandSz,
         std::vector<uint8_t>{'%', 'V', 'E', 'L', '_', 'S', 'E', 'T', 'T', 'I', 'N', 'G', 'S', '_', 'T', 'E', 'S', 'T',
                              '_', 'D', 'I', 'R', '%', '/', 'x'});
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, "Plain", "%VEL_SETTINGS_TEST_DIR%/x"), 0u);
  SetRaw(RegHive::kCurrentUser, kUserKey, "Zero", platform::kRegSz, {'a', 'b', 0, 'c'});
  EXPECT_EQ(CRegString(Path(kUserKey, "Expanded"), "", true, RegHive::kCurrentUser).Get(), "/opt/some where/x");
  EXPECT_EQ(CRegString(Path(kUserKey, "Plain"), "", true, RegHive::kCurrentUser).Get(), "%VEL_SETTINGS_TEST_DIR%/x");
  EXPECT_EQ(CRegString(Path(kUserKey, "Zero"), "", true, RegHive::kCurrentUser).Get(), "ab");
}

TEST_F(RegistrySettingsTest, AlwaysReloadSeesLaterWritesAndTheCachedReaderDoesNot) {
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueKdocAskSave, 1), 0u);
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueProxyName, "first"), 0u);
  CRegDword fresh(Path(kUserKey, kValueKdocAskSave), 0, true, RegHive::kCurrentUser);
  CRegDword cached(Path(kUserKey, kValueKdocAskSave), 0, false, RegHive::kCurrentUser);
  CRegString fresh_text(Path(kUserKey, kValueProxyName), "", true, RegHive::kCurrentUser);
  CRegString cached_text(Path(kUserKey, kValueProxyName), "", false, RegHive::kCurrentUser);
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueKdocAskSave, 0), 0u);
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueProxyName, "second"), 0u);
  EXPECT_EQ(fresh.Get(), 0u);
  EXPECT_EQ(cached.Get(), 1u);
  EXPECT_EQ(fresh_text.Get(), "second");
  EXPECT_EQ(cached_text.Get(), "first");

  // A value that disappears gives the default again, not the last value read.
  RegKey key;
  ASSERT_EQ(platform::RegOpenKey(RegHive::kCurrentUser, kUserKey, platform::kRegReadWrite, key), 0u);
  ASSERT_EQ(platform::RegDeleteValue(key, kValueProxyName), 0u);
  EXPECT_EQ(fresh_text.Get(), "");
  // A reader that never found its value keeps trying.
  CRegDword late(Path(kUserKey, "Late"), 5, false, RegHive::kCurrentUser);
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, "Late", 6), 0u);
  EXPECT_EQ(late.Get(), 6u);
}

TEST_F(RegistrySettingsTest, WritersStoreTheTypesTheReadersExpect) {
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueCrlUrls, "http://a.test/a.crl\r\nhttp://b.test/b.crl"), 0u);
  ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueTsaSignReq, 0), 0u);
  RegKey key;
  ASSERT_EQ(platform::RegOpenKey(RegHive::kCurrentUser, kUserKey, platform::kRegRead, key), 0u);
  RegValue v;
  ASSERT_EQ(platform::RegQueryValue(key, kValueCrlUrls, v), 0u);
  EXPECT_EQ(v.type, platform::kRegSz);
  ASSERT_EQ(platform::RegQueryValue(key, kValueTsaSignReq, v), 0u);
  EXPECT_EQ(v.type, platform::kRegDword);
  EXPECT_EQ(v.data.size(), 4u);
  EXPECT_EQ(CRegString(Path(kUserKey, kValueCrlUrls), "", true, RegHive::kCurrentUser).Get(),
            "http://a.test/a.crl\r\nhttp://b.test/b.crl");
  EXPECT_EQ(CRegDword(Path(kUserKey, kValueTsaSignReq), 1, true, RegHive::kCurrentUser).Get(), 0u);
}

// A save that does not reach the disk must say so.
TEST_F(RegistrySettingsTest, FailedWritesAreReported) {
  test::WriteFileText(dir_ / "file", "x");
  ScopedEnv broken("VELDOC_REGISTRY_DIR", (dir_ / "file" / "registry").c_str());
  EXPECT_NE(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueTsaHost, "x"), 0u);
  EXPECT_NE(WriteRegDword(RegHive::kCurrentUser, kUserKey, kValueTsaSignReq, 1), 0u);
  EXPECT_NE(StoreProtectedSetting(RegHive::kCurrentUser, Path(kUserKey, kSubkeyNetwork), kValueProxyUsr, "user"), 0u);
  EXPECT_NE(StoreProtectedSetting(RegHive::kCurrentUser, Path(kUserKey, kSubkeyNetwork), kValueProxyPwd, ""), 0u);
  CInstallMarker marker;
  EXPECT_TRUE(marker.reset());
  EXPECT_NE(marker.status(), 0u);
}

TEST_F(RegistrySettingsTest, CredentialsAreStoredEncryptedAndReadBack) {
  const std::string net = Path(kUserKey, kSubkeyNetwork);
  struct Case {
    std::string plain;
    size_t base64_length;
  } cases[] = {
      {"", 0},
      {"a", 12},
      {"jk", 12},  // two characters: eight cipher bytes, twelve characters of Base64
      {"1234567", 12},
      {"12345678", 24},  // a full block still gets a block of padding
      {"u\xc5\xbc" "ytkownik@example.test", 44},
      {std::string("pass\0word", 9), 24},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(StoreProtectedSetting(RegHive::kCurrentUser, net, kValueProxyPwd, c.plain), 0u);
    std::string stored = CRegString(Path(net, kValueProxyPwd), "missing", true, RegHive::kCurrentUser).Get();
    EXPECT_EQ(stored.size(), c.base64_length) << stored;
    if (!c.plain.empty()) {
      EXPECT_EQ(stored.find(c.plain), std::string::npos);
    }
    std::string plain = "junk";
    EXPECT_TRUE(RevealProtectedSetting(RegHive::kCurrentUser, Path(net, kValueProxyPwd), plain));
    EXPECT_EQ(plain, c.plain);
  }
  std::string plain = "junk";
  EXPECT_TRUE(RevealProtectedSetting(RegHive::kCurrentUser, Path(net, "NeverStored"), plain));
  EXPECT_EQ(plain, "");
}

TEST_F(RegistrySettingsTest, CipherTextsLengthsAndZeroBytes) {
  for (size_t n = 0; n < 40; ++n) {
    std::vector<uint8_t> plain(n, static_cast<uint8_t>('a' + n % 26)), cipher;
    ASSERT_TRUE(ProtectSetting(plain, cipher));
    EXPECT_EQ(cipher.size(), (n / 8 + 1) * 8) << n;
    ASSERT_TRUE(UnprotectSetting(cipher));
    EXPECT_EQ(cipher, plain);
  }
  // Find a credential whose cipher text holds a zero byte: it must still read back.
  bool found = false;
  for (int i = 0; i < 5000 && !found; ++i) {
    std::string plain = "user" + std::to_string(i);
    std::vector<uint8_t> cipher;
    ASSERT_TRUE(ProtectSetting(std::vector<uint8_t>(plain.begin(), plain.end()), cipher));
    if (std::find(cipher.begin(), cipher.end(), 0) == cipher.end()) continue;
    found = true;
    ASSERT_EQ(StoreProtectedSetting(RegHive::kCurrentUser, kUserKey, kValueProxyUsr, plain), 0u);
    std::string back;
    EXPECT_TRUE(RevealProtectedSetting(RegHive::kCurrentUser, Path(kUserKey, kValueProxyUsr), back));
    EXPECT_EQ(back, plain);
  }
  EXPECT_TRUE(found);
}

TEST_F(RegistrySettingsTest, ACredentialThatDoesNotDecryptRevealsNothing) {
  std::vector<uint8_t> other(16, 0x41);
  const std::string texts[] = {
      "not base64 at all!",
      "QUJD",                                    // three bytes: not a whole block
      Base64Codec().Encode(other),               // whole blocks, padding wrong
      "=",
  };
  for (const std::string& text : texts) {
    ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueProxyPwd, text), 0u);
    std::string plain = "junk";
    EXPECT_FALSE(RevealProtectedSetting(RegHive::kCurrentUser, Path(kUserKey, kValueProxyPwd), plain)) << text;
    EXPECT_EQ(plain, "") << text;
  }
  std::vector<uint8_t> odd = {1, 2, 3};
  EXPECT_FALSE(UnprotectSetting(odd));
  EXPECT_EQ(odd, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(InstallMarker, FormatAndComparison) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 4;
  t.tm_mday = 1;
  t.tm_hour = 9;
  t.tm_min = 8;
  t.tm_sec = 7;
  EXPECT_EQ(FormatInstallMarker(t), "2024-05-01H09:08:07");
  EXPECT_TRUE(IsMarker(CurrentInstallMarker()));

  struct Case {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"2024-05-01H10:00:00", "2024-05-01H10:00:00", 0},
      {"2024-05-01h10:00:00", "2024-05-01H10:00:00", 0},
      {"2024-05-01H10:00:01", "2024-05-01H10:00:00", 1},
      {"2024-04-30H23:59:59", "2024-05-01H00:00:00", -1},
      {"", "", 0},
      {"", "2024-05-01H10:00:00", -1},
      {"2024-05-01H10:00:00", "", 1},
      {"2024-05-01H10:00:00 and more", "2024-05-01H10:00:00", 0},  // only the marker's 19 characters count
  };
  for (const Case& c : cases) {
    int r = CompareInstallMarkers(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
}

class InstallMarkerTest : public RegistrySettingsTest {
 protected:
  // A user with settings, a network subkey and an older edition's key beside them.
  void MakeUserSettings(const char* marker) {
    ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueTsaHost, "http://mine.test"), 0u);
    ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, Path(kUserKey, kSubkeyNetwork), kValueProxyUsr, "x"), 0u);
    ASSERT_EQ(WriteRegDword(RegHive::kCurrentUser, kOlderEditionKey, kValueOlderVeredove1AskMark, 1), 0u);
    if (marker) {
      ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueUserMarker, marker), 0u);
    }
  }
  bool SettingsKept() {
    return CRegString(Path(kUserKey, kValueTsaHost), "", true, RegHive::kCurrentUser).Get() == "http://mine.test";
  }
};

TEST_F(InstallMarkerTest, ResetsTheUserKeyWhenTheInstallationIsNotOlder) {
  struct Case {
    const char* marker;        // nullptr: none
    const char* last_install;  // nullptr: none
    bool reset;
  } cases[] = {
      {"2024-05-01H10:00:00", "2024-05-01H10:00:00", true},   // equal
      {"2024-05-01H10:00:01", "2024-05-01H10:00:00", false},  // one second later
      {"2024-05-01h10:00:00", "2024-05-01H10:00:00", true},   // differs only in the case of H
      {"2024-04-01H10:00:00", "2024-05-01H10:00:00", true},   // older
      {nullptr, "2024-05-01H10:00:00", true},
      {"2024-05-01H10:00:00", nullptr, false},
      {nullptr, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.marker ? c.marker : "-") + " / " + (c.last_install ? c.last_install : "-"));
    ASSERT_EQ(platform::RegDeleteTree(RegHive::kCurrentUser, "Software") & ~2u, 0u);
    ASSERT_EQ(platform::RegDeleteTree(RegHive::kLocalMachine, "SOFTWARE") & ~2u, 0u);
    MakeUserSettings(c.marker);
    if (c.last_install) {
      ASSERT_EQ(WriteRegString(RegHive::kLocalMachine, kMachineKey, kValueLastInstall, c.last_install), 0u);
    }

    CInstallMarker marker;
    EXPECT_EQ(marker.reset(), c.reset);
    EXPECT_EQ(marker.status(), 0u);
    EXPECT_EQ(SettingsKept(), !c.reset);
    EXPECT_EQ(KeyExists(RegHive::kCurrentUser, Path(kUserKey, kSubkeyNetwork)), !c.reset);
    // The older edition's key is never touched.
    EXPECT_EQ(CRegDword(Path(kOlderEditionKey, kValueOlderVeredove1AskMark), 0, true, RegHive::kCurrentUser).Get(), 1u);
    const std::string now = CRegString(Path(kUserKey, kValueUserMarker), "", true, RegHive::kCurrentUser).Get();
    if (c.reset) {
      EXPECT_TRUE(IsMarker(now)) << now;
      std::vector<platform::RegNamedValue> values;
      RegKey key;
      ASSERT_EQ(platform::RegOpenKey(RegHive::kCurrentUser, kUserKey, platform::kRegRead, key), 0u);
      ASSERT_EQ(platform::RegEnumValues(key, values), 0u);
      ASSERT_EQ(values.size(), 1u);
      EXPECT_EQ(values[0].name, kValueUserMarker);
    } else {
      EXPECT_EQ(now, c.marker);
    }
  }
}

TEST_F(InstallMarkerTest, WithoutAnyStampTheUserIsResetOnceOnly) {
  MakeUserSettings(nullptr);
  CInstallMarker first;
  EXPECT_TRUE(first.reset());
  ASSERT_EQ(WriteRegString(RegHive::kCurrentUser, kUserKey, kValueTsaHost, "http://mine.test"), 0u);
  CInstallMarker second;
  EXPECT_FALSE(second.reset());
  EXPECT_TRUE(SettingsKept());
}

}  // namespace
}  // namespace vel::app
