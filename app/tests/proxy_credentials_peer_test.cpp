// The protected proxy credentials against the openssl command line.
//
// The credential cipher is RC2 with a 16-byte key and an effective key length
// of 40 bits. `openssl enc -rc2-40-cbc` takes a 5-byte key with the same
// effective length. RC2's key expansion with 40 effective bits depends only
// on the last five bytes of its first pass, and that pass can be run
// backwards, so exactly one 5-byte key expands to the same schedule; the test
// computes it, checks that both schedules agree word for word, and then
// compares cipher texts with openssl in both directions.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rc2.h>

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/base64_codec.h"
#include "app/registry_settings.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

// The expanded key as bytes L[0..127].
std::array<uint8_t, 128> Schedule(const std::vector<uint8_t>& key, int effective_bits) {
  RC2_KEY ks;
  RC2_set_key(&ks, static_cast<int>(key.size()), key.data(), effective_bits);
  std::array<uint8_t, 128> l{};
  for (int i = 0; i < 64; ++i) {
    l[2 * i] = static_cast<uint8_t>(ks.data[i] & 0xff);
    l[2 * i + 1] = static_cast<uint8_t>((ks.data[i] >> 8) & 0xff);
  }
  return l;
}

// RC2's permutation table: a 128-byte key at full effective length expands to
// L[0] = PI[key[0]] and nothing else.
std::array<uint8_t, 256> PiTable() {
  std::array<uint8_t, 256> pi{};
  for (int x = 0; x < 256; ++x) {
    std::vector<uint8_t> key(128, 0);
    key[0] = static_cast<uint8_t>(x);
    pi[x] = Schedule(key, 1024)[0];
  }
  return pi;
}

std::vector<uint8_t> EquivalentFiveByteKey(const std::vector<uint8_t>& key16) {
  const std::array<uint8_t, 256> pi = PiTable();
  std::array<uint8_t, 256> inv{};
  for (int x = 0; x < 256; ++x) inv[pi[x]] = static_cast<uint8_t>(x);
  const std::array<uint8_t, 128> l = Schedule(key16, 40);
  // First-pass bytes 123..127: byte 123 went through PI once more.
  std::array<uint8_t, 128> first{};
  for (int i = 124; i < 128; ++i) first[i] = l[i];
  first[123] = inv[l[123]];
  // A 5-byte key's first pass is L[i] = PI[L[i-1] + L[i-5]]; run it backwards.
  for (int i = 127; i >= 5; --i) first[i - 5] = static_cast<uint8_t>(inv[first[i]] - first[i - 1]);
  return std::vector<uint8_t>(first.begin(), first.begin() + 5);
}

std::vector<uint8_t> RunOpenSsl(const std::string& direction, const std::vector<uint8_t>& key5,
                                const std::vector<uint8_t>& input, const test::TempDir& dir) {
  test::WriteFileBytes(dir / "in", input);
  auto r = test::RunCommand("openssl enc " + direction +
                            " -rc2-40-cbc -provider legacy -provider default -K " + Hex(key5) +
                            " -iv 0000000000000000 -in " + test::ShellQuote((dir / "in").string()) + " -out " +
                            test::ShellQuote((dir / "out").string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return test::ReadFileBytes(dir / "out");
}

TEST(ProxyCredentialsPeer, AgreeWithOpenSslRc2ByteForByteBothWays) {
  VEL_REQUIRE_TOOL("openssl");
  test::TempDir dir;
  const std::vector<uint8_t> key16 = ProtectedSettingKey();
  ASSERT_EQ(key16.size(), 16u);
  const std::vector<uint8_t> key5 = EquivalentFiveByteKey(key16);
  ASSERT_EQ(Schedule(key5, 40), Schedule(key16, 40)) << "no 5-byte key with the same schedule";

  const std::string plains[] = {
      "a", "jk", "proxyuser", "12345678", std::string("pass\0word\x01\xff", 11),
      "h\xc5\x82" "as\xc5\x82o-z-polskimi-znakami-i-d\xc5\x82ug\xc4\x85-tre\xc5\x9b" "ci\xc4\x85",
  };
  for (const std::string& text : plains) {
    SCOPED_TRACE(text);
    std::vector<uint8_t> plain(text.begin(), text.end()), ours;
    ASSERT_TRUE(ProtectSetting(plain, ours));
    EXPECT_EQ(RunOpenSsl("-e", key5, plain, dir), ours);
    EXPECT_EQ(RunOpenSsl("-d", key5, ours, dir), plain);

    // And what openssl encrypts, the program reveals from the registry.
    std::vector<uint8_t> theirs = RunOpenSsl("-e", key5, plain, dir);
    std::vector<uint8_t> buffer = theirs;
    ASSERT_TRUE(UnprotectSetting(buffer));
    EXPECT_EQ(buffer, plain);
  }
}

TEST(ProxyCredentialsPeer, StoredTextIsOpenSslsCipherInBase64) {
  VEL_REQUIRE_TOOL("openssl");
  test::TempDir dir;
  ::setenv("VELDOC_REGISTRY_DIR", dir.path().c_str(), 1);
  const std::vector<uint8_t> key5 = EquivalentFiveByteKey(ProtectedSettingKey());
  const std::string net = std::string(kUserKey) + "\\" + kSubkeyNetwork;
  ASSERT_EQ(StoreProtectedSetting(RegHive::kCurrentUser, net, kValueProxyUsr, "jan.kowalski"), 0u);
  const std::string stored = CRegString(net + "\\" + kValueProxyUsr, "", true, RegHive::kCurrentUser).Get();
  const std::string plain = "jan.kowalski";
  EXPECT_EQ(stored, Base64Codec().Encode(RunOpenSsl("-e", key5, {plain.begin(), plain.end()}, dir)));
  ::unsetenv("VELDOC_REGISTRY_DIR");
}

}  // namespace
}  // namespace vel::app
