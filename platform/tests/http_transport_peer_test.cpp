// Exchanges against a python3 test server on 127.0.0.1 (and openssl for a
// server certificate).
#include "platform/http_transport.h"

#include <gtest/gtest.h>

#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::platform {
namespace {

using test::HttpTestServer;
using test::TempDir;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251);
  return v;
}

HttpExchangeRequest Get(const std::string& url) {
  HttpExchangeRequest r;
  EXPECT_EQ(CrackUrl(url, r.url), 0u) << url;
  r.limits.connect_timeout = std::chrono::seconds(5);
  r.limits.idle_timeout = std::chrono::seconds(10);
  r.limits.transfer_timeout = std::chrono::seconds(20);
  return r;
}

class HttpTransportPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearProxyEnvironment();
    VEL_REQUIRE_TOOL("python3");
    server_ = std::make_unique<HttpTestServer>(dir_.path());
  }
  TempDir dir_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(HttpTransportPeer, BodyIsCappedWhetherAnnouncedOrNot) {
  struct Case {
    const char* path;
    size_t cap;
    uint32_t error;
    size_t size;
  } cases[] = {
      {"/chunked/5000", 5000, 0, 5000},   // exactly the cap is kept
      {"/chunked/5001", 5000, 8, 0},      // one byte more is refused
      {"/bytes/5001", 5000, 8, 0},        // refused from its announced length
      {"/huge-length", kMaxHttpResponseBytes, 8, 0},
      {"/chunked/300000", kMaxHttpResponseBytes, 0, 300000},
  };
  for (const Case& c : cases) {
    HttpExchangeRequest r = Get(server_->Url(c.path));
    r.limits.max_body = c.cap;
    HttpExchangeResult res = PerformHttpExchange(r);
    EXPECT_EQ(res.error, c.error) << c.path;
    EXPECT_EQ(res.status, 200) << c.path;
    ASSERT_EQ(res.body.size(), c.size) << c.path;
    if (c.size) {
      EXPECT_EQ(res.body, Pattern(c.size)) << c.path;
    }
  }
}

TEST_F(HttpTransportPeer, FailuresCarryInternetErrorNumbers) {
  struct Case {
    std::string url;
    uint32_t error;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/", kInternetCannotConnect},
      {server_->Url("/drop"), kHttpInvalidServerResponse},
      {server_->Url("/short/20000"), kInternetConnectionAborted},
      {"http://name-that-does-not-exist.invalid/", kInternetNameNotResolved},
  };
  for (const Case& c : cases) {
    HttpExchangeResult res = PerformHttpExchange(Get(c.url));
    EXPECT_EQ(res.error, c.error) << c.url;
    EXPECT_TRUE(res.body.empty()) << c.url;
  }
}

TEST_F(HttpTransportPeer, SilenceEndsWithTimeoutOfEitherLimit) {
  // The server took the request and says nothing: the idle limit ends it.
  HttpExchangeRequest idle = Get(server_->Url("/hang"));
  idle.limits.idle_timeout = std::chrono::seconds(1);
  EXPECT_EQ(PerformHttpExchange(idle).error, kInternetTimeout);

  // The whole-exchange limit ends it too, however short.
  test::SilentListener silent;
  HttpExchangeRequest total = Get("http://127.0.0.1:" + std::to_string(silent.port()) + "/");
  total.limits.transfer_timeout = std::chrono::milliseconds(300);
  EXPECT_EQ(PerformHttpExchange(total).error, kInternetTimeout);
}

TEST_F(HttpTransportPeer, UnwantedStatusStopsWithoutBody) {
  HttpExchangeRequest r = Get(server_->Url("/status/404"));
  long asked = 0;
  r.want_body = [&](long status) {
    asked = status;
    return false;
  };
  HttpExchangeResult res = PerformHttpExchange(r);
  EXPECT_EQ(res.error, 0u);
  EXPECT_EQ(res.status, 404);
  EXPECT_EQ(asked, 404);
  EXPECT_TRUE(res.body.empty());
}

TEST(HttpTransportTls, HttpsNeedsATrustedServerCertificate) {
  test::ClearProxyEnvironment();
  VEL_REQUIRE_TOOL("python3");
  VEL_REQUIRE_TOOL("openssl");
  TempDir dir;
  auto made = test::RunCommand(
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " + test::ShellQuote((dir / "key.pem").string()) +
      " -out " + test::ShellQuote((dir / "cert.pem").string()));
  ASSERT_EQ(made.exit_code, 0) << made.output;
  test::HttpTestServerOptions options;
  options.tls_cert = dir / "cert.pem";
  options.tls_key = dir / "key.pem";
  HttpTestServer server(dir.path(), options);

  // Signed by nobody the system trusts.
  EXPECT_EQ(PerformHttpExchange(Get(server.Url("/bytes/100"))).error, kInternetInvalidCa);

  HttpExchangeRequest trusted = Get(server.Url("/bytes/100"));
  trusted.limits.ca_file = (dir / "cert.pem").string();
  HttpExchangeResult res = PerformHttpExchange(trusted);
  EXPECT_EQ(res.error, 0u);
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.body, Pattern(100));
  auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().target, "/bytes/100");
  EXPECT_EQ(requests.back().Header("User-Agent"), "Vellorum Crypto API Call");
}

}  // namespace
}  // namespace vel::platform
