// The HTTP client against a python3 test server on 127.0.0.1, which also plays
// the proxy.
#include "cryptolib/http_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/testing/http_test_server.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using test::HttpTestServer;
using test::TempDir;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251);
  return v;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// The response through the two-call size rule.
std::vector<uint8_t> ReadResponse(HttpRequest* request) {
  uint32_t size = 0;
  LibraryErrorCode rc = GetHttpResponse(request, nullptr, &size);
  if (size == 0) {
    EXPECT_EQ(rc, 0u);
    return {};
  }
  EXPECT_EQ(rc, 234u);
  std::vector<uint8_t> out(size);
  EXPECT_EQ(GetHttpResponse(request, out.data(), &size), 0u);
  EXPECT_EQ(size, out.size());
  return out;
}

struct Outcome {
  LibraryErrorCode rc = 0;
  std::vector<uint8_t> response;
};

Outcome Fetch(const std::string& url) {
  HttpRequestPtr request(CreateHttpRequest());
  EXPECT_EQ(SetHttpRequestUrl(request.get(), url.c_str()), 0u) << url;
  Outcome o;
  o.rc = SendHttpRequest(request.get());
  EXPECT_EQ(request->last_error, o.rc);
  o.response = ReadResponse(request.get());
  return o;
}

class HttpClientPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearProxyEnvironment();
    VEL_REQUIRE_TOOL("python3");
    ASSERT_EQ(SetProxy(nullptr, nullptr, nullptr), 0u);
    platform::HttpLimits limits;
    limits.connect_timeout = std::chrono::seconds(5);
    limits.idle_timeout = std::chrono::seconds(10);
    limits.transfer_timeout = std::chrono::seconds(20);
    SetHttpLimits(limits);
    test::HttpTestServerOptions options;
    options.proxy_user = "alice";
    options.proxy_password = "s3cret";
    server_ = std::make_unique<HttpTestServer>(dir_.path(), options);
  }
  void TearDown() override {
    SetProxy(nullptr, nullptr, nullptr);
    SetHttpLimits(platform::HttpLimits{});
  }
  TempDir dir_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(HttpClientPeer, StatusesFrom300To599AreErrorsAndRedirectsAreNotFollowed) {
  struct Case {
    const char* path;
    LibraryErrorCode rc;
    std::string response;
  } cases[] = {
      {"/status/404", 0xE0000194, ""},
      {"/status/307", 0xE0000133, ""},
      {"/status/301", 0xE000012D, ""},
      {"/status/300", 0xE000012C, ""},
      {"/status/500", 0xE00001F4, ""},
      {"/status/599", 0xE0000257, ""},
      {"/status/204", 0, ""},
      {"/status/299", 0, "status body"},
      {"/status/600", 0, "status body"},  // beyond the HTTP range: read like a success
  };
  for (const Case& c : cases) {
    Outcome o = Fetch(server_->Url(c.path));
    EXPECT_EQ(o.rc, c.rc) << c.path;
    EXPECT_EQ(o.response, Bytes(c.response)) << c.path;
  }
  for (const auto& r : server_->Requests()) EXPECT_NE(r.target, "/landed");
}

TEST_F(HttpClientPeer, ReadsWholeResponsesAndFollowsTheSizeRule) {
  for (const char* path : {"/bytes/25000", "/chunked/25000"}) {
    HttpRequestPtr request(CreateHttpRequest());
    ASSERT_EQ(SetHttpRequestUrl(request.get(), server_->Url(path).c_str()), 0u);
    ASSERT_EQ(SendHttpRequest(request.get()), 0u) << path;

    uint32_t size = 0;
    EXPECT_EQ(GetHttpResponse(request.get(), nullptr, &size), 234u);
    EXPECT_EQ(size, 25000u);
    std::vector<uint8_t> small(24999, 0xEE);
    size = static_cast<uint32_t>(small.size());
    EXPECT_EQ(GetHttpResponse(request.get(), small.data(), &size), 234u);
    EXPECT_EQ(size, 25000u);
    EXPECT_EQ(small, std::vector<uint8_t>(24999, 0xEE)) << "a short buffer is left alone";
    std::vector<uint8_t> exact(25000);
    EXPECT_EQ(GetHttpResponse(request.get(), exact.data(), &size), 0u);
    EXPECT_EQ(exact, Pattern(25000)) << path;

    // A second send of the same request starts a new response; a failing one leaves none.
    ASSERT_EQ(SetHttpRequestUrl(request.get(), server_->Url("/status/404").c_str()), 0u);
    EXPECT_EQ(SendHttpRequest(request.get()), 0xE0000194);
    EXPECT_TRUE(ReadResponse(request.get()).empty());
  }
}

TEST_F(HttpClientPeer, GetSendsAgentAndAcceptTypeButNoCallerHeadersOrAddressCredentials) {
  HttpRequestPtr request(CreateHttpRequest());
  std::string url = server_->Url("/bytes/10?issuer=CA%201");
  url.insert(url.find("127.0.0.1"), "bob:pw@");
  ASSERT_EQ(SetHttpRequestUrl(request.get(), url.c_str()), 0u);
  ASSERT_EQ(SetHttpRequestHeaders(request.get(), "X-Post-Only: 1\r\n"), 0u);
  ASSERT_EQ(SendHttpRequest(request.get()), 0u);
  EXPECT_EQ(ReadResponse(request.get()), Pattern(10));

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/bytes/10?issuer=CA%201");
  EXPECT_EQ(r.Header("User-Agent"), "Vellorum Crypto API Call");
  EXPECT_EQ(r.Header("Accept"), "*/*");
  EXPECT_FALSE(r.Header("X-Post-Only"));
  EXPECT_FALSE(r.Header("Authorization")) << "the address's user and password stay home";
  EXPECT_TRUE(r.body.empty());
}

TEST_F(HttpClientPeer, PostArrivesAsSent) {
  std::vector<uint8_t> body = Pattern(3000);  // long enough that a client might wait for 100
  body[0] = 0;
  body[1] = '\r';
  body[2] = '\n';
  HttpRequestPtr request(CreateHttpRequest());
  ASSERT_EQ(SetHttpRequestUrl(request.get(), server_->Url("/echo").c_str()), 0u);
  SetHttpRequestBody(request.get(), body.data(), static_cast<uint32_t>(body.size()));
  ASSERT_EQ(SetHttpRequestHeaders(request.get(),
                                  "Content-Type: application/timestamp-query\r\nX-Note: a b\r\n"),
            0u);
  ASSERT_EQ(SetHttpRequestAcceptType(request.get(), "application/timestamp-reply"), 0u);
  ASSERT_EQ(SendHttpRequest(request.get()), 0u);
  EXPECT_EQ(ReadResponse(request.get()), body);

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/echo");
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(r.Header("Content-Type"), "application/timestamp-query");
  EXPECT_EQ(r.Header("X-Note"), "a b");
  EXPECT_EQ(r.Header("Accept"), "application/timestamp-reply");
  EXPECT_EQ(r.Header("User-Agent"), "Vellorum Crypto API Call");
  EXPECT_EQ(r.Header("Content-Length"), "3000");
  EXPECT_FALSE(r.Header("Expect"));
}

TEST_F(HttpClientPeer, PostWithDefaultTextsSendsNoMadeUpHeaders) {
  const std::vector<uint8_t> body = Bytes("abc");
  HttpRequestPtr request(CreateHttpRequest());
  ASSERT_EQ(SetHttpRequestUrl(request.get(), server_->Url("/echo").c_str()), 0u);
  SetHttpRequestBody(request.get(), body.data(), 3);
  ASSERT_EQ(SendHttpRequest(request.get()), 0u);
  ASSERT_EQ(SetHttpRequestHeaders(request.get(), nullptr), 0u);
  ASSERT_EQ(SetHttpRequestAcceptType(request.get(), nullptr), 0u);
  ASSERT_EQ(SendHttpRequest(request.get()), 0u);
  EXPECT_EQ(ReadResponse(request.get()), body);

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.body, body);
    EXPECT_FALSE(r.Header("Content-Type"));
    for (const auto& [name, value] : r.headers) {
      if (name == "Accept") continue;
      EXPECT_EQ(name.find("*/*"), std::string::npos) << name;
      EXPECT_NE(value, "*/*") << name;
    }
  }
  EXPECT_EQ(requests[0].Header("Accept"), "*/*");
  EXPECT_FALSE(requests[1].Header("Accept"));
}

TEST_F(HttpClientPeer, ProxyCarriesCredentialsOnlyWhenAUserIsSet) {
  const std::string proxy = "127.0.0.1:" + std::to_string(server_->port());
  const std::string target = "http://crl.example.test/ca.crl";
  ASSERT_EQ(SetProxy(proxy.c_str(), "alice", "s3cret"), 0u);
  Outcome o = Fetch(target);
  EXPECT_EQ(o.rc, 0u);
  EXPECT_EQ(o.response, Bytes("proxied " + target));
  auto requests = server_->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().method, "GET");
  EXPECT_EQ(requests.back().target, target);
  EXPECT_EQ(requests.back().Header("Proxy-Authorization"), "Basic YWxpY2U6czNjcmV0");
  EXPECT_EQ(requests.back().Header("User-Agent"), "Vellorum Crypto API Call");

  // POST goes through the proxy as well.
  const std::vector<uint8_t> body = Bytes("query");
  HttpRequestPtr post(CreateHttpRequest());
  ASSERT_EQ(SetHttpRequestUrl(post.get(), "http://tsa.example.test/tsa"), 0u);
  SetHttpRequestBody(post.get(), body.data(), 5);
  EXPECT_EQ(SendHttpRequest(post.get()), 0u);
  requests = server_->Requests();
  EXPECT_EQ(requests.back().method, "POST");
  EXPECT_EQ(requests.back().target, "http://tsa.example.test/tsa");
  EXPECT_EQ(requests.back().body, body);

  // A null user clears user and password: the proxy's challenge goes unanswered.
  const size_t before = server_->Requests().size();
  ASSERT_EQ(SetProxy(("http://" + proxy).c_str(), nullptr, "s3cret"), 0u);
  EXPECT_EQ(Fetch(target).rc, 0xE0000197);
  requests = server_->Requests();
  ASSERT_GT(requests.size(), before);
  for (size_t i = before; i < requests.size(); ++i)
    EXPECT_FALSE(requests[i].Header("Proxy-Authorization")) << i;
  // An https address asks the proxy for a tunnel; its refusal is the status.
  EXPECT_EQ(Fetch("https://tsa.example.test/tsa").rc, 0xE0000197);
  EXPECT_EQ(server_->Requests().back().method, "CONNECT");
  EXPECT_EQ(server_->Requests().back().target, "tsa.example.test:443");

  // Texts that do not fit are refused and change nothing.
  const std::string too_long(kMaxProxyTextLength, 'a');
  EXPECT_EQ(SetProxy(too_long.c_str(), nullptr, nullptr), 87u);
  EXPECT_EQ(SetProxy(proxy.c_str(), too_long.c_str(), "pw"), 87u);
  EXPECT_EQ(SetProxy(proxy.c_str(), "alice", too_long.c_str()), 87u);
  EXPECT_EQ(Fetch(target).rc, 0xE0000197) << "still the proxy without credentials";
  EXPECT_EQ(SetProxy(std::string(kMaxProxyTextLength - 1, 'a').c_str(), nullptr, nullptr), 0u);

  // No server: straight to the address.
  ASSERT_EQ(SetProxy(nullptr, "alice", "s3cret"), 0u);
  o = Fetch(server_->Url("/bytes/5"));
  EXPECT_EQ(o.rc, 0u);
  EXPECT_EQ(o.response, Pattern(5));
  EXPECT_EQ(server_->Requests().back().target, "/bytes/5");
}

TEST_F(HttpClientPeer, FailuresLeaveNoResponse) {
  struct Case {
    std::string url;
    LibraryErrorCode rc;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/", 12029},
      {server_->Url("/drop"), 12152},
      {server_->Url("/short/30000"), 12030},
      {server_->Url("/huge-length"), 8},  // larger than the 64 MiB the client keeps
  };
  for (const Case& c : cases) {
    Outcome o = Fetch(c.url);
    EXPECT_EQ(o.rc, c.rc) << c.url;
    EXPECT_TRUE(o.response.empty()) << c.url;
  }

  // A response over the cap is refused however it arrives.
  platform::HttpLimits limits = GetHttpLimits();
  limits.max_body = 20000;
  SetHttpLimits(limits);
  EXPECT_EQ(Fetch(server_->Url("/chunked/25000")).rc, 8u);
}

TEST_F(HttpClientPeer, SilentServerTimesOutWith1460) {
  platform::HttpLimits limits = GetHttpLimits();
  limits.transfer_timeout = std::chrono::milliseconds(500);
  SetHttpLimits(limits);
  test::SilentListener silent;  // takes the connection, never answers
  Outcome o = Fetch("http://127.0.0.1:" + std::to_string(silent.port()) + "/ca.crl");
  EXPECT_EQ(o.rc, 1460u);
  EXPECT_TRUE(o.response.empty());

  limits.transfer_timeout = std::chrono::seconds(20);
  limits.idle_timeout = std::chrono::seconds(1);
  SetHttpLimits(limits);
  EXPECT_EQ(Fetch(server_->Url("/hang")).rc, 1460u);
}

}  // namespace
}  // namespace vel::crypto
