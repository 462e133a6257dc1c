// CRL downloads over HTTP, with CRLs from `openssl ca -gencrl` published by a
// static file server and failures played by the shared test server.
#include "cryptolib/crl_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "cryptolib/http_client.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

constexpr uint32_t kUser = CERT_SYSTEM_STORE_CURRENT_USER;

class CrlHttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(test::HaveTool("openssl"));
    ASSERT_TRUE(test::HaveTool("python3"));
    test::ClearProxyEnvironment();
    dir_ = new test::TempDir;
    std::filesystem::create_directories(dir_->path() / "www");
    ca_ = new test::TestCa(dir_->path(), "ca", "/C=PL/O=Test/CN=Veredove Test CA");
    files_ = new test::StaticFileServer(dir_->path() / "www");
    server_ = new test::HttpTestServer(dir_->path());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete files_;
    delete ca_;
    delete dir_;
  }
  void SetUp() override {
    ::setenv("VELDOC_STORE_DIR", (store_dir_.path()).c_str(), 1);
    platform::HttpLimits limits;
    limits.connect_timeout = std::chrono::milliseconds(5000);
    limits.idle_timeout = std::chrono::milliseconds(5000);
    SetHttpLimits(limits);
  }
  void TearDown() override {
    ::unsetenv("VELDOC_STORE_DIR");
    SetHttpLimits(platform::HttpLimits{});
  }

  static std::vector<CrlPtr> Stored() {
    std::unique_ptr<platform::CertStore> store;
    EXPECT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
    return store ? store->Crls() : std::vector<CrlPtr>{};
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline test::TestCa* ca_ = nullptr;
  static inline test::StaticFileServer* files_ = nullptr;
  static inline test::HttpTestServer* server_ = nullptr;
  test::TempDir store_dir_;
};

// Each answer either is a CRL (the exact bytes openssl wrote) or is refused
// with a non-zero status: nothing that is not a whole CRL counts as one.
TEST_F(CrlHttpTest, AnswersAndTheirResults) {
  const std::vector<uint8_t> crl = ca_->Crl();
  files_->Publish("good.crl", crl);
  // The same CRL in PEM, as some servers publish it: not DER, so refused.
  test::RunCommand("openssl crl -inform DER -in " +
                   test::ShellQuote((dir_->path() / "www" / "good.crl").string()) + " -out " +
                   test::ShellQuote((dir_->path() / "www" / "good.pem").string()));
  std::vector<uint8_t> cut(crl.begin(), crl.begin() + static_cast<long>(crl.size() / 2));
  files_->Publish("cut.crl", cut);

  const struct {
    std::string address;
    LibraryErrorCode expected;  // 0: the CRL; 1: any non-zero status
  } cases[] = {
      {files_->Url("good.crl"), 0},
      {server_->Url("/bytes/0"), platform::kCryptEAsn1Eod},  // an empty 200 answer
      {server_->Url("/bytes/300"), 1},                         // garbage
      {server_->Url("/hello"), 1},
      {files_->Url("good.pem"), 1},
      {files_->Url("cut.crl"), platform::kCryptEAsn1Eod},
      {server_->Url("/status/404"), LIB_E_HTTP_STATUS_BASE + 404},
      {files_->Url("missing.crl"), LIB_E_HTTP_STATUS_BASE + 404},
      {server_->Url("/status/302"), LIB_E_HTTP_STATUS_BASE + 302},
      {server_->Url("/drop"), 1},
      {"http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/a.crl", 12029},
  };
  X509ContextPtr ctx = MakeX509Context();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ctx->last_error = 0xDEAD;
    CrlPtr got = FetchCrl(ctx.get(), c.address.c_str());
    if (c.expected == 0) {
      EXPECT_EQ(ctx->last_error, 0u);
      ASSERT_TRUE(got);
      EXPECT_TRUE(std::ranges::equal(got->der(), crl));
    } else {
      EXPECT_FALSE(got);
      EXPECT_NE(ctx->last_error, 0u);
      if (c.expected != 1) {
        EXPECT_EQ(ctx->last_error, c.expected);
      }
    }
  }
}

// The addresses of a context tried in turn, as the certification path does:
// the failing ones report why, the good one brings the CRL, the CA's key
// verifies it, and it is what the store keeps.
TEST_F(CrlHttpTest, SeveralAddressesSomeFailing) {
  const std::vector<uint8_t> crl = ca_->Crl();
  files_->Publish("list.crl", crl);
  X509ContextPtr ctx = MakeX509Context();
  for (const std::string& a : {server_->Url("/drop"), server_->Url("/status/404"),
                               server_->Url("/bytes/0"), files_->Url("list.crl")})
    ASSERT_EQ(AddCrlUrl(ctx.get(), a.c_str()), 0u);
  const CertPtr ca = platform::CertContext::FromDer(ca_->cert_der());
  ASSERT_TRUE(ca);

  CrlPtr found;
  std::vector<LibraryErrorCode> statuses;
  for (size_t i = 0; i < ctx->crl_urls.size() && !found; ++i) {
    CrlPtr got = FetchCrlByIndex(ctx.get(), i);
    statuses.push_back(ctx->last_error);
    if (!got) continue;
    EXPECT_EQ(AddCrlToStore(kUser, got, ca), 0u);
    if (VerifyCrlSignature(CRL_FIND_ISSUED_BY, got, ca) == 0) found = got;
  }
  ASSERT_TRUE(found);
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_NE(statuses[0], 0u);
  EXPECT_EQ(statuses[1], LIB_E_HTTP_STATUS_BASE + 404);
  EXPECT_EQ(statuses[2], platform::kCryptEAsn1Eod);
  EXPECT_EQ(statuses[3], 0u);

  std::unique_ptr<platform::CertStore> store;
  ASSERT_EQ(platform::CertStore::Open(kUser, "VelCryptoAPI", &store), 0u);
  CrlPtr in_store;
  EXPECT_EQ(FindCrlByIssuer(*store, kCertEncoding, 0, 1, ca, nullptr, &in_store), 0u);
  ASSERT_TRUE(in_store);
  EXPECT_TRUE(std::ranges::equal(in_store->der(), crl));

  // Every address failing: no CRL, and the last status is not success.
  X509ContextPtr failing = MakeX509Context();
  for (const std::string& a : {server_->Url("/status/500"), server_->Url("/bytes/0")})
    ASSERT_EQ(AddCrlUrl(failing.get(), a.c_str()), 0u);
  for (size_t i = 0; i < failing->crl_urls.size(); ++i) {
    EXPECT_FALSE(FetchCrlByIndex(failing.get(), i));
    EXPECT_NE(failing->last_error, 0u);
  }
}

// A CRL fetched later from another address but issued earlier never takes
// the place of the newer one in the store.
TEST_F(CrlHttpTest, OlderCrlNeverReplacesNewer) {
  const std::vector<uint8_t> newer = ca_->Crl(-60);
  const std::vector<uint8_t> older = ca_->Crl(-2 * 24 * 3600);
  files_->Publish("newer.crl", newer);
  files_->Publish("older.crl", older);
  X509ContextPtr ctx = MakeX509Context();
  for (const char* name : {"newer.crl", "older.crl"}) {
    CrlPtr got = FetchCrl(ctx.get(), files_->Url(name).c_str());
    ASSERT_TRUE(got) << name << " " << std::hex << ctx->last_error;
    EXPECT_EQ(AddCrlToStore(kUser, got), 0u);
  }
  std::vector<CrlPtr> stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(std::ranges::equal(stored[0]->der(), newer));

  // openssl reads the stored file as the newer CRL too.
  auto last_update = [](const std::filesystem::path& file) {
    const test::CommandResult r = test::RunCommand(
        "openssl crl -inform DER -noout -lastupdate -in " + test::ShellQuote(file.string()));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r.output;
  };
  const std::filesystem::path folder = platform::CertStore::FolderFor(kUser, "VelCryptoAPI");
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (e.path().extension() != ".crl") continue;
    ++files;
    EXPECT_EQ(last_update(e.path()), last_update(dir_->path() / "www" / "newer.crl"));
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace vel::crypto
