#include "cryptolib/crl_store.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ldap_client.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
Key NewKey() { return Key(EVP_EC_gen("P-256")); }

// A name of (short name, value) attributes, each its own RDN.
using Attrs = std::vector<std::pair<std::string, std::string>>;
std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> MakeName(const Attrs& attrs) {
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> n(X509_NAME_new(), X509_NAME_free);
  for (const auto& [field, value] : attrs)
    X509_NAME_add_entry_by_txt(n.get(), field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  return n;
}

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;

// A CRL signed by `key` under the issuer name `issuer`, with thisUpdate and
// nextUpdate the given seconds from now.
Bytes MakeCrl(const Attrs& issuer, EVP_PKEY* key, long this_update,
              long next_update = 7L * 24 * 3600) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), MakeName(issuer).get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(
      X509_time_adj_ex(nullptr, 0, this_update, nullptr), ASN1_TIME_free);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  t.reset(X509_time_adj_ex(nullptr, 0, next_update, nullptr));
  X509_CRL_set1_nextUpdate(crl.get(), t.get());
  X509_CRL_sign(crl.get(), key, EVP_sha256());
  const int len = i2d_X509_CRL(crl.get(), nullptr);
  Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  i2d_X509_CRL(crl.get(), &p);
  return out;
}

CrlPtr Crl(const Bytes& der) {
  CrlPtr crl = platform::CrlContext::FromDer(der);
  EXPECT_TRUE(crl);
  return crl;
}

class CrlStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELDOC_STORE_DIR", dir_.path().c_str(), 1);
    ca_key_ = NewKey();
    other_key_ = NewKey();
    ca_ = MakeCa(ca_name_, ca_key_.get());
    other_ = MakeCa(other_name_, other_key_.get());
  }
  void TearDown() override { ::unsetenv("VELDOC_STORE_DIR"); }

  // A self-signed CA certificate.
  static CertPtr MakeCa(const Attrs& name, EVP_PKEY* key) {
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
    X509_set_subject_name(x.get(), MakeName(name).get());
    X509_set_issuer_name(x.get(), MakeName(name).get());
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600);
    X509_set_pubkey(x.get(), key);
    X509_sign(x.get(), key, EVP_sha256());
    const int len = i2d_X509(x.get(), nullptr);
    Bytes der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    i2d_X509(x.get(), &p);
    return platform::CertContext::FromDer(der);
  }

  std::vector<CrlPtr> Stored() {
    std::unique_ptr<platform::CertStore> store;
    EXPECT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
    return store ? store->Crls() : std::vector<CrlPtr>{};
  }

  test::TempDir dir_;
  Attrs ca_name_ = {{"C", "PL"}, {"CN", "Veredove Test CA"}};
  Attrs other_name_ = {{"CN", "Other CA"}};
  Key ca_key_, other_key_;
  CertPtr ca_, other_;
};

TEST(CrlUrls, AddAndFree) {
  X509ContextPtr ctx = MakeX509Context();
  EXPECT_EQ(AddCrlUrl(nullptr, "http://a/"), 87u);
  EXPECT_EQ(AddCrlUrl(ctx.get(), nullptr), 87u);
  EXPECT_EQ(ctx->last_error, 87u);
  for (size_t i = 0; i < kMaxCrlUrls; ++i)
    ASSERT_EQ(AddCrlUrl(ctx.get(), ("http://h/" + std::to_string(i)).c_str()), 0u);
  EXPECT_EQ(ctx->last_error, 0u);
  ctx->last_error = 5;
  EXPECT_EQ(AddCrlUrl(ctx.get(), "http://h/full"), 14u);
  EXPECT_EQ(ctx->last_error, 5u);  // left as it was
  ASSERT_EQ(ctx->crl_urls.size(), kMaxCrlUrls);
  EXPECT_EQ(ctx->crl_urls.back(), "http://h/999");
  FreeCrlUrls(ctx.get());
  EXPECT_TRUE(ctx->crl_urls.empty());
  FreeCrlUrls(nullptr);
}

// Only one whole DER CRL is accepted; anything else is refused with an error
// and no CRL, an empty answer included.
TEST_F(CrlStoreTest, AcceptsOnlyWholeCrls) {
  const Bytes good = MakeCrl(ca_name_, ca_key_.get(), -60);
  Bytes trailing = good;
  trailing.push_back(0);
  const Bytes cut(good.begin(), good.end() - 1);
  Bytes wrong_length = good;
  wrong_length[2] ^= 0x01;
  const Bytes text = {'h', 'e', 'l', 'l', 'o'};
  const struct {
    const char* name;
    Bytes bytes;
    uint32_t expected;  // 0: accepted; 1: any error
  } cases[] = {
      {"good", good, 0},
      {"empty", {}, platform::kCryptEAsn1Eod},
      {"cut short", cut, 1},
      {"trailing byte", trailing, 1},
      {"length changed", wrong_length, 1},
      {"text", text, 1},
      {"a certificate", Bytes(ca_->der().begin(), ca_->der().end()), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CrlPtr crl = Crl(good);
    const LibraryErrorCode rc = DecodeDownloadedCrl(c.bytes, &crl);
    if (c.expected == 0) {
      EXPECT_EQ(rc, 0u);
      ASSERT_TRUE(crl);
      EXPECT_TRUE(std::ranges::equal(crl->der(), good));
    } else {
      EXPECT_NE(rc, 0u);
      if (c.expected != 1) {
        EXPECT_EQ(rc, c.expected);
      }
      EXPECT_FALSE(crl);
    }
  }
}

TEST_F(CrlStoreTest, VerifyCrlSignatureTypes) {
  const CrlPtr crl = Crl(MakeCrl(ca_name_, ca_key_.get(), -60));
  EXPECT_EQ(VerifyCrlSignature(1, crl, ca_), 0u);
  EXPECT_EQ(VerifyCrlSignature(1, crl, other_), platform::kNteBadSignature);
  EXPECT_EQ(VerifyCrlSignature(3, crl, ca_), 0x80004001u);
  EXPECT_EQ(VerifyCrlSignature(2, crl, ca_), 87u);
  EXPECT_EQ(VerifyCrlSignature(1, nullptr, ca_), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(VerifyCrlSignature(1, crl, nullptr), LIB_E_NO_CERTIFICATE);
}

// The search takes the CRL the CA signed, not one that merely carries its name.
TEST_F(CrlStoreTest, FindCrlByIssuerChecksTheSignature) {
  std::unique_ptr<platform::CertStore> store;
  ASSERT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
  CrlPtr found;
  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, ca_, nullptr, &found), 2u);

  // Under the CA's name but signed by another key: not the CA's.
  Key stranger = NewKey();
  ASSERT_EQ(store->AddCrl(Crl(MakeCrl(ca_name_, stranger.get(), -60)),
                          platform::AddDisposition::kReplaceExisting),
            0u);
  const CrlPtr others = Crl(MakeCrl(other_name_, other_key_.get(), -60));
  ASSERT_EQ(store->AddCrl(others, platform::AddDisposition::kReplaceExisting), 0u);
  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, ca_, nullptr, &found), 2u);
  EXPECT_FALSE(found);

  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, other_, nullptr, &found), 0u);
  ASSERT_TRUE(found);
  EXPECT_TRUE(std::ranges::equal(found->der(), others->der()));
  // Going on after it finds nothing more.
  CrlPtr next;
  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, other_, found, &next), 2u);
  EXPECT_FALSE(next);
  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 2, other_, nullptr, &found), 0x80004001u);
  EXPECT_FALSE(found);
}

// One CRL per issuer, and only a later thisUpdate replaces it: a CRL from
// another address that is older never displaces a newer one.
TEST_F(CrlStoreTest, OnlyANewerCrlReplaces) {
  const CrlPtr older = Crl(MakeCrl(ca_name_, ca_key_.get(), -7200));
  const CrlPtr newer = Crl(MakeCrl(ca_name_, ca_key_.get(), -60));
  const CrlPtr same_time = Crl(MakeCrl(ca_name_, ca_key_.get(), -60));
  bool stored = false;
  ASSERT_EQ(AddCrlToStore(kUser, newer, nullptr, &stored), 0u);
  EXPECT_TRUE(stored);
  EXPECT_EQ(AddCrlToStore(kUser, older, nullptr, &stored), 0u);
  EXPECT_FALSE(stored);
  EXPECT_EQ(AddCrlToStore(kUser, same_time, ca_, &stored), 0u);
  EXPECT_FALSE(stored);
  std::vector<CrlPtr> crls = Stored();
  ASSERT_EQ(crls.size(), 1u);
  EXPECT_TRUE(std::ranges::equal(crls[0]->der(), newer->der()));

  const CrlPtr newest = Crl(MakeCrl(ca_name_, ca_key_.get(), -10));
  EXPECT_EQ(AddCrlToStore(kUser, newest, nullptr, &stored), 0u);
  EXPECT_TRUE(stored);
  const CrlPtr of_other = Crl(MakeCrl(other_name_, other_key_.get(), -7200));
  EXPECT_EQ(AddCrlToStore(kUser, of_other, nullptr, &stored), 0u);
  EXPECT_TRUE(stored);
  crls = Stored();
  ASSERT_EQ(crls.size(), 2u);
  EXPECT_TRUE(std::ranges::any_of(crls, [&](const CrlPtr& c) {
    return std::ranges::equal(c->der(), newest->der());
  }));
  EXPECT_EQ(AddCrlToStore(kUser, nullptr), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(AddCrlToStore(0x00400000, newest), 87u);
}

// A CRL under a CA's name that the CA did not sign (dated just now) does not
// keep out the CA's own, older CRL once that is known to be the CA's.
TEST_F(CrlStoreTest, ForgedCrlDoesNotBlockTheGenuineOne) {
  const CrlPtr forged = Crl(MakeCrl(ca_name_, other_key_.get(), -5));
  const CrlPtr genuine = Crl(MakeCrl(ca_name_, ca_key_.get(), -3600));
  bool stored = false;
  ASSERT_EQ(AddCrlToStore(kUser, forged, nullptr, &stored), 0u);
  ASSERT_TRUE(stored);
  EXPECT_EQ(AddCrlToStore(kUser, genuine, nullptr, &stored), 0u);
  EXPECT_FALSE(stored);  // unknown signer: by date only
  EXPECT_EQ(AddCrlToStore(kUser, genuine, ca_, &stored), 0u);
  EXPECT_TRUE(stored);
  // The forgery may stay in its own slot (its key is unknown); the search by
  // the CA's key finds the genuine one.
  std::unique_ptr<platform::CertStore> store;
  ASSERT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
  CrlPtr found;
  ASSERT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, ca_, nullptr, &found), 0u);
  EXPECT_TRUE(std::ranges::equal(found->der(), genuine->der()));
}

// Workers in threads and in processes keep offering older CRLs of one issuer
// while the newest is added once: nobody who read the store before the newest
// arrived may write an older one over it.
TEST_F(CrlStoreTest, ConcurrentReplacementKeepsTheNewest) {
  std::vector<CrlPtr> older;  // oldest first
  for (int i = 12; i >= 1; --i) older.push_back(Crl(MakeCrl(ca_name_, ca_key_.get(), -100 * (i + 1))));
  const CrlPtr newest = Crl(MakeCrl(ca_name_, ca_key_.get(), -10));
  auto offer_older = [&](int rounds) {
    int bad = 0;
    for (int round = 0; round < rounds; ++round)
      for (const CrlPtr& crl : older) bad |= AddCrlToStore(kUser, crl) != 0;
    return bad;
  };

  // Processes first (no threads running yet).
  std::vector<pid_t> children;
  for (int p = 0; p < 3; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(offer_older(8));
    children.push_back(pid);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back([&] { failures += offer_older(8); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(AddCrlToStore(kUser, newest), 0u);

  for (std::thread& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(failures.load(), 0);
  std::vector<CrlPtr> stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(std::ranges::equal(stored[0]->der(), newest->der()));
}

TEST_F(CrlStoreTest, DeleteCachedCrls) {
  EXPECT_EQ(DeleteCachedCrls(kUser), 0u);  // nothing there yet
  ASSERT_EQ(AddCrlToStore(kUser, Crl(MakeCrl(ca_name_, ca_key_.get(), -60))), 0u);
  ASSERT_EQ(AddCrlToStore(kUser, Crl(MakeCrl(other_name_, other_key_.get(), -60))), 0u);
  ASSERT_EQ(Stored().size(), 2u);
  EXPECT_EQ(DeleteCachedCrls(kUser), 0u);
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(DeleteCachedCrls(0x00400000), 87u);
}

// A CRL that cannot be deleted ends the deletion with an error; it does not
// make the deletion go round for ever.
TEST_F(CrlStoreTest, UndeletableCrlStopsWithAnError) {
  ASSERT_EQ(AddCrlToStore(kUser, Crl(MakeCrl(ca_name_, ca_key_.get(), -60))), 0u);
  const std::filesystem::path folder = platform::CertStore::FolderFor(kUser, "VelCryptoAPI");
  std::filesystem::path file;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().extension() == ".crl") file = e.path();
  ASSERT_FALSE(file.empty());

  // A folder without write permission stops ordinary users; root needs the
  // file to be immutable.
  bool blocked = false, immutable = false;
  ::chmod(folder.c_str(), 0555);
  if (::access(folder.c_str(), W_OK) != 0) {
    blocked = true;
  } else {
    ::chmod(folder.c_str(), 0755);
    immutable = test::RunCommand("chattr +i " + test::ShellQuote(file.string())).exit_code == 0;
    blocked = immutable;
  }
  if (!blocked) GTEST_SKIP() << "no way to make a file undeletable here";

  std::atomic<bool> done{false};
  LibraryErrorCode rc = 0;
  std::thread worker([&] {
    rc = DeleteCachedCrls(kUser);
    done = true;
  });
  for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool finished = done.load();
  // Unblock before any assertion, so that the folder can be removed and a
  // looping worker would end.
  if (immutable) test::RunCommand("chattr -i " + test::ShellQuote(file.string()));
  ::chmod(folder.c_str(), 0755);
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_NE(rc, 0u);
  EXPECT_EQ(Stored().size(), 1u);
}

// Failures of the download itself: never a CRL, never 0.
TEST_F(CrlStoreTest, DownloadFailuresAreNeverSuccess) {
  test::ClearProxyEnvironment();
  const std::string port = std::to_string(test::UnusedPort());
  X509ContextPtr ctx = MakeX509Context();
  const struct {
    std::string address;
    LibraryErrorCode expected;
  } cases[] = {
      {"http://127.0.0.1:" + port + "/a.crl", 12029},
      {"ftp://127.0.0.1/a.crl", 12006},
      {"LDAP://127.0.0.1:" + port, platform::kLdapServerDown},
      {"ldap://127.0.0.1:" + port + "/c=PL", platform::kLdapServerDown},
      {"ldap://bad host", platform::kLdapParamError},
      {"ldap://", platform::kLdapParamError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ctx->last_error = 0;
    EXPECT_FALSE(FetchCrl(ctx.get(), c.address.c_str()));
    EXPECT_EQ(ctx->last_error, c.expected);
  }
  EXPECT_FALSE(FetchCrl(ctx.get(), nullptr));
  EXPECT_EQ(ctx->last_error, 87u);
  EXPECT_FALSE(FetchCrlByIndex(ctx.get(), 0));
  EXPECT_EQ(ctx->last_error, 87u);
  uint32_t size = 10;
  EXPECT_EQ(LdapFetchRevocationList(nullptr, "C=PL", "CN=*", nullptr, &size), 87u);
}

// A directory that accepts the connection and never answers ends with the
// LDAP time-out, not a hang.
TEST(LdapDownload, SilentServerTimesOut) {
  test::SilentListener silent;
  platform::LdapLimits limits;
  limits.operation_timeout = std::chrono::milliseconds(1500);
  platform::SetLdapLimits(limits);
  uint8_t buffer[16];
  uint32_t size = sizeof buffer;
  const std::string host = "127.0.0.1:" + std::to_string(silent.port());
  EXPECT_EQ(LdapFetchRevocationList(host.c_str(), "C=PL", "CN=*Veredove*", buffer, &size),
            platform::kLdapTimeout);
  EXPECT_EQ(size, sizeof buffer);
  platform::SetLdapLimits(platform::LdapLimits{});
}

}  // namespace
}  // namespace vel::crypto
