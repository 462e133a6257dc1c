// CRL downloads over LDAP from a real slapd, started on 127.0.0.1 from a
// configuration written here and stopped by its process id. The directory
// holds the tree the fixed search base and filter expect: c=PL with entries
// "cn=... Veredove ..." carrying authorityRevocationList;binary.
#include "cryptolib/crl_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cryptolib/tests/crl_test_ca.h"
#include "platform/ldap_client.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr char kAdmin[] = "cn=admin,c=PL";
constexpr char kPassword[] = "secret";

std::string Base64(const std::vector<uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::string FindSlapd() {
  if (test::HaveTool("slapd")) return "slapd";
  for (const char* p : {"/usr/sbin/slapd", "/usr/local/sbin/slapd"})
    if (std::filesystem::exists(p)) return p;
  return {};
}

// The folder of slapd's back_mdb module, as the package installed it.
std::string MdbModuleDir() {
  const test::CommandResult r = test::RunCommand("dpkg -L slapd | grep '/back_mdb.so$' | head -n1");
  std::string path = r.output.substr(0, r.output.find('\n'));
  if (path.empty() && std::filesystem::exists("/usr/lib/ldap/back_mdb.so")) path = "/usr/lib/ldap/back_mdb.so";
  return path.empty() ? std::string() : std::filesystem::path(path).parent_path().string();
}

class Slapd {
 public:
  explicit Slapd(const std::filesystem::path& dir) : log_(dir / "slapd.log") {
    const std::string slapd = FindSlapd();
    const std::string modules = MdbModuleDir();
    if (slapd.empty() || modules.empty()) throw std::runtime_error("slapd is not installed");
    std::filesystem::create_directories(dir / "db");
    const std::filesystem::path conf = dir / "slapd.conf";
    test::WriteFileText(conf, "include /etc/ldap/schema/core.schema\n"
                              "pidfile " + (dir / "slapd.pid").string() + "\n"
                              "modulepath " + modules + "\n"
                              "moduleload back_mdb\n"
                              "database mdb\n"
                              "suffix \"c=PL\"\n"
                              "rootdn \"" + kAdmin + "\"\n"
                              "rootpw " + kPassword + "\n"
                              "directory " + (dir / "db").string() + "\n"
                              "maxsize 33554432\n");
    // A port that was free a moment ago may be taken meanwhile: try again.
    for (int attempt = 0; attempt < 5 && pid_ == 0; ++attempt) {
      port_ = test::UnusedPort();
      const std::filesystem::path& log = log_;
      // In the foreground (-d), as this process's child.
      pid_ = test::SpawnLogged({slapd, "-f", conf.string(), "-h", Url() + "/", "-d", "0"}, log);
      bool up = false;
      for (int i = 0; i < 100 && !up; ++i) {
        up = test::RunCommand("ldapsearch -x -H " + Url() + " -b '' -s base >/dev/null 2>&1")
                 .exit_code == 0;
        if (!up) {
          if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = 0;  // ended and collected: nothing to stop
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      if (!up) {
        Stop();
        if (attempt == 4) throw std::runtime_error("slapd did not start: " + test::ReadFileText(log));
      }
    }
  }
  ~Slapd() { Stop(); }

  std::string Url() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
  uint16_t port() const { return port_; }

  // Replaces the whole directory by c=PL and the given entries.
  void Load(const std::string& entries_ldif) {
    // Only a tree that is there is deleted: this slapd ends when asked to
    // delete a missing one recursively.
    if (loaded_)
      test::RunCommand("ldapdelete -x -H " + Url() + " -D " + test::ShellQuote(kAdmin) + " -w " +
                       kPassword + " -r c=PL 2>&1");
    loaded_ = true;
    const std::string ldif = "dn: c=PL\nobjectClass: country\nc: PL\n\n" + entries_ldif;
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("vel-ldif-" + std::to_string(::getpid()) + ".ldif");
    test::WriteFileText(file, ldif);
    const test::CommandResult r =
        test::RunCommand("ldapadd -x -H " + Url() + " -D " + test::ShellQuote(kAdmin) + " -w " +
                         kPassword + " -f " + test::ShellQuote(file.string()));
    std::filesystem::remove(file);
    if (r.exit_code != 0)
      throw std::runtime_error("ldapadd failed: " + r.output + "\nslapd: " + test::ReadFileText(log_));
  }

 private:
  void Stop() {
    test::StopChild(pid_);
    pid_ = 0;
  }

  std::filesystem::path log_;
  bool loaded_ = false;
  int pid_ = 0;
  uint16_t port_ = 0;
};

std::string CrlEntry(const std::string& cn, const std::vector<uint8_t>& crl) {
  return "dn: cn=" + cn + ",c=PL\nobjectClass: cRLDistributionPoint\ncn: " + cn +
         "\nauthorityRevocationList;binary:: " + Base64(crl) + "\n\n";
}

class CrlLdapTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(test::HaveTool("openssl"));
    ASSERT_TRUE(test::HaveTool("ldapadd"));
    ASSERT_FALSE(FindSlapd().empty()) << "missing tool slapd: run scripts/deps.sh";
    test::ClearProxyEnvironment();
    dir_ = new test::TempDir;
    ca_ = new test::TestCa(dir_->path(), "ca", "/C=PL/CN=Veredove Test CA");
    other_ca_ = new test::TestCa(dir_->path(), "other", "/C=PL/CN=Veredove Other CA");
    slapd_ = new Slapd(dir_->path() / "ldap");
  }
  static void TearDownTestSuite() {
    delete slapd_;  // stopped by its process id
    delete other_ca_;
    delete ca_;
    delete dir_;
  }
  void SetUp() override { ::setenv("VELDOC_STORE_DIR", store_dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("VELDOC_STORE_DIR"); }

  static std::vector<CrlPtr> Stored() {
    std::unique_ptr<platform::CertStore> store;
    EXPECT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
    return store ? store->Crls() : std::vector<CrlPtr>{};
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline test::TestCa* ca_ = nullptr;
  static inline test::TestCa* other_ca_ = nullptr;
  static inline Slapd* slapd_ = nullptr;
  test::TempDir store_dir_;
};

// One entry: its CRL comes down whole, the CA's key verifies it, the store
// keeps it. The scheme is recognised in any case.
TEST_F(CrlLdapTest, OneEntryGivesItsCrl) {
  const std::vector<uint8_t> crl = ca_->Crl();
  slapd_->Load(CrlEntry("Veredove Test CA", crl));
  const CertPtr ca = platform::CertContext::FromDer(ca_->cert_der());
  ASSERT_TRUE(ca);
  for (const std::string& address :
       {slapd_->Url(), "LDAP://127.0.0.1:" + std::to_string(slapd_->port()),
        slapd_->Url() + "/c=PL"}) {
    SCOPED_TRACE(address);
    X509ContextPtr ctx = MakeX509Context();
    ctx->last_error = 0xDEAD;
    CrlPtr got = FetchCrl(ctx.get(), address.c_str());
    ASSERT_TRUE(got) << std::hex << ctx->last_error;
    EXPECT_EQ(ctx->last_error, 0u);
    EXPECT_TRUE(std::ranges::equal(got->der(), crl));
    EXPECT_EQ(VerifyCrlSignature(CRL_FIND_ISSUED_BY, got, ca), 0u);
    bool stored = false;
    EXPECT_EQ(AddCrlToStore(kUser, got, ca, &stored), 0u);
  }
  std::vector<CrlPtr> crls = Stored();
  ASSERT_EQ(crls.size(), 1u);
  EXPECT_TRUE(std::ranges::equal(crls[0]->der(), crl));
}

TEST_F(CrlLdapTest, TwoEntriesAreRefused) {
  slapd_->Load(CrlEntry("Veredove Test CA", ca_->Crl()) +
               CrlEntry("Veredove Other CA", other_ca_->Crl()));
  X509ContextPtr ctx = MakeX509Context();
  EXPECT_FALSE(FetchCrl(ctx.get(), slapd_->Url().c_str()));
  EXPECT_EQ(ctx->last_error, LIB_E_LDAP_MULTIPLE_RESPONSES);
  EXPECT_TRUE(Stored().empty());
}

// No entry matches the filter (or the base is missing): not found, never a
// CRL decoded from an unfilled buffer.
TEST_F(CrlLdapTest, NoEntryIsNotFound) {
  slapd_->Load(CrlEntry("Somebody Else", ca_->Crl()));
  X509ContextPtr ctx = MakeX509Context();
  EXPECT_FALSE(FetchCrl(ctx.get(), slapd_->Url().c_str()));
  EXPECT_EQ(ctx->last_error, 2u);

  std::vector<uint8_t> buffer(100);
  uint32_t size = 100;
  const std::string host = "127.0.0.1:" + std::to_string(slapd_->port());
  EXPECT_EQ(LdapFetchRevocationList(host.c_str(), "c=DE", kLdapCrlFilter, buffer.data(), &size),
            platform::kLdapNoSuchObject);
  EXPECT_EQ(LdapFetchRevocationList(host.c_str(), "C=PL", "(((", buffer.data(), &size),
            platform::kLdapFilterError);
}

// A CRL over 20,000 bytes ends the download with 234 and is neither decoded
// from its first 20,000 bytes nor stored; with room enough the same search
// brings it whole.
TEST_F(CrlLdapTest, CrlOverTheLimit) {
  test::TestCa big(dir_->path(), "big", "/C=PL/CN=Veredove Big CA");
  big.Revoke(1200);
  const std::vector<uint8_t> crl = big.Crl();
  ASSERT_GT(crl.size(), kLdapCrlMaxBytes);
  slapd_->Load(CrlEntry("Veredove Big CA", crl));

  X509ContextPtr ctx = MakeX509Context();
  EXPECT_FALSE(FetchCrl(ctx.get(), slapd_->Url().c_str()));
  EXPECT_EQ(ctx->last_error, 234u);
  EXPECT_TRUE(Stored().empty());

  const std::string host = "127.0.0.1:" + std::to_string(slapd_->port());
  std::vector<uint8_t> buffer(kLdapCrlMaxBytes);
  uint32_t size = kLdapCrlMaxBytes;
  EXPECT_EQ(LdapFetchRevocationList(host.c_str(), kLdapCrlSearchBase, kLdapCrlFilter,
                                    buffer.data(), &size),
            234u);
  EXPECT_EQ(size, crl.size());
  buffer.resize(size);
  EXPECT_EQ(LdapFetchRevocationList(host.c_str(), kLdapCrlSearchBase, kLdapCrlFilter,
                                    buffer.data(), &size),
            0u);
  EXPECT_TRUE(std::ranges::equal(buffer, crl));

  // A directory message above the connection's cap is refused by the
  // client before it is read into memory.
  platform::LdapLimits limits;
  limits.max_message_bytes = 8000;
  platform::SetLdapLimits(limits);
  const LibraryErrorCode capped = LdapFetchRevocationList(
      host.c_str(), kLdapCrlSearchBase, kLdapCrlFilter, buffer.data(), &size);
  platform::SetLdapLimits(platform::LdapLimits{});
  EXPECT_NE(capped, 0u);
  EXPECT_NE(capped, 234u);
}

}  // namespace
}  // namespace vel::crypto
