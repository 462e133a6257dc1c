#include "platform/key_binding.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/tests/test_pki.h"

namespace vel::platform {
namespace {

TEST(KeyReferenceTest, ParsesBothKindsAndRejectsOthers) {
  struct Case {
    const char* text;
    bool ok;
    KeyReference::Kind kind;
    const char* target;
  };
  const Case cases[] = {
      {"pkcs12:/home/jan/klucz.p12", true, KeyReference::Kind::kPkcs12File, "/home/jan/klucz.p12"},
      {"  PKCS12:rel/k.p12 \r", true, KeyReference::Kind::kPkcs12File, "rel/k.p12"},
      {"pkcs11:token=A;id=%01", true, KeyReference::Kind::kPkcs11Object, "pkcs11:token=A;id=%01"},
      {"pkcs12:", false, {}, ""},
      {"pkcs11:token=%zz", false, {}, ""},
      {"file:/x.p12", false, {}, ""},
      {"", false, {}, ""},
  };
  for (const Case& c : cases) {
    KeyReference ref;
    EXPECT_EQ(ParseKeyReference(c.text, &ref), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(ref.kind, c.kind) << c.text;
    EXPECT_EQ(ref.target, c.target) << c.text;
    KeyReference again;
    EXPECT_TRUE(ParseKeyReference(FormatKeyReference(ref), &again));
    EXPECT_EQ(again.target, ref.target);
  }
}

TEST(Pkcs11UriTest, ReadsPathAndQueryAttributes) {
  Pkcs11Uri uri;
  ASSERT_TRUE(ParsePkcs11Uri(
      "pkcs11:token=Karta%20Jana;manufacturer=ACME;serial=0042;model=M1;object=podpis;id=%01%A0;"
      "type=private;library-version=1?module-path=/opt/m.so&pin-value=9999",
      &uri));
  EXPECT_EQ(uri.token, "Karta Jana");
  EXPECT_EQ(uri.manufacturer, "ACME");
  EXPECT_EQ(uri.serial, "0042");
  EXPECT_EQ(uri.model, "M1");
  EXPECT_EQ(uri.object, "podpis");
  EXPECT_EQ(uri.id, (std::vector<uint8_t>{0x01, 0xA0}));
  EXPECT_EQ(uri.type, "private");
  EXPECT_EQ(uri.module_path, "/opt/m.so");
  EXPECT_EQ(Pkcs11ModuleFor(uri), "/opt/m.so");

  for (const char* bad : {"pkcs11:id=%0", "pkcs11:id=%", "pkcs11:token", "pkcs12:token=a"})
    EXPECT_FALSE(ParsePkcs11Uri(bad, &uri)) << bad;
}

TEST(Pkcs11UriTest, WrittenUrisReadBackWhateverTheLabelsHold) {
  Pkcs11Uri uri;
  uri.token = "Karta; Jana?=%&/ ł";
  uri.serial = "0011";
  uri.object = "klucz podpisu";
  uri.id = std::vector<uint8_t>{0x00, 0x3B, 0x25, 0xFF, 'A'};
  uri.type = "private";
  uri.module_path = "/opt/moduł?x=1&y/lib.so";
  const std::string text = FormatPkcs11Uri(uri);
  EXPECT_EQ(text.find_first_of(" \"\\"), std::string::npos) << text;
  Pkcs11Uri back;
  ASSERT_TRUE(ParsePkcs11Uri(text, &back)) << text;
  EXPECT_EQ(back.token, uri.token);
  EXPECT_EQ(back.serial, uri.serial);
  EXPECT_EQ(back.object, uri.object);
  EXPECT_EQ(back.id, uri.id);
  EXPECT_EQ(back.type, uri.type);
  EXPECT_EQ(back.module_path, uri.module_path);
  EXPECT_FALSE(back.manufacturer);
  KeyReference ref;
  ASSERT_TRUE(ParseKeyReference(text, &ref));
  EXPECT_EQ(ref.kind, KeyReference::Kind::kPkcs11Object);
}

TEST(Pkcs11UriTest, ModuleFallsBackToVariableThenOpenSc) {
  Pkcs11Uri uri;
  ASSERT_TRUE(ParsePkcs11Uri("pkcs11:token=A", &uri));
  unsetenv(kPkcs11ModuleVariable);
  EXPECT_EQ(Pkcs11ModuleFor(uri), kDefaultPkcs11Module);
  setenv(kPkcs11ModuleVariable, "/usr/lib/softhsm/libsofthsm2.so", 1);
  EXPECT_EQ(Pkcs11ModuleFor(uri), "/usr/lib/softhsm/libsofthsm2.so");
  unsetenv(kPkcs11ModuleVariable);
}

TEST(KeyBindingTest, WritesReadsAndResolvesRelativePaths) {
  test::TempDir dir;
  setenv("VELDOC_STORE_DIR", dir.path().c_str(), 1);
  const test::TestIdentity id = test::MakeIdentity("Jan", nullptr, {0x05}, false, false);

  KeyReference ref;
  EXPECT_EQ(FindKeyBinding(*id.cert, &ref), kCryptENoKeyProperty);

  ASSERT_EQ(WriteKeyBinding(kStoreCurrentUser, *id.cert,
                            {KeyReference::Kind::kPkcs12File, "keys/jan.p12"}),
            0u);
  const auto file = KeyBindingPath(kStoreCurrentUser, *id.cert);
  EXPECT_EQ(file.filename().string(), id.cert->sha1_hex() + ".key");
  EXPECT_EQ(file.parent_path(), CertStore::FolderFor(kStoreCurrentUser, "My"));
  ASSERT_EQ(FindKeyBinding(*id.cert, &ref), 0u);
  EXPECT_EQ(ref.kind, KeyReference::Kind::kPkcs12File);
  EXPECT_EQ(ref.target, (file.parent_path() / "keys/jan.p12").string());

  // Comments and blank lines come before the reference; the machine location
  // is read when the user has none.
  test::WriteFileText(file, "# key of Jan\n\npkcs11:token=T;id=%02\n");
  ASSERT_EQ(ReadKeyBinding(kStoreCurrentUser, *id.cert, &ref), 0u);
  EXPECT_EQ(ref.kind, KeyReference::Kind::kPkcs11Object);
  std::filesystem::remove(file);
  ASSERT_EQ(WriteKeyBinding(kStoreLocalMachine, *id.cert,
                            {KeyReference::Kind::kPkcs12File, "/abs/k.p12"}),
            0u);
  ASSERT_EQ(FindKeyBinding(*id.cert, &ref), 0u);
  EXPECT_EQ(ref.target, "/abs/k.p12");

  // A binding that names nothing usable is bad data, not "no key".
  test::WriteFileText(KeyBindingPath(kStoreCurrentUser, *id.cert), "# nothing\nsmartcard:1\n");
  EXPECT_EQ(FindKeyBinding(*id.cert, &ref), 13u);
  unsetenv("VELDOC_STORE_DIR");
}

}  // namespace
}  // namespace vel::platform
