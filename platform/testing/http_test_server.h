// A small HTTP server for tests (python3's http.server), started on 127.0.0.1
// on a free port and stopped by process id. It records every request it gets
// and answers by path:
//   /status/N    status N with the body "status body" (3xx carry Location: /landed)
//   /bytes/N     200 with N bytes (byte i is i % 251), Content-Length set
//   /chunked/N   the same bytes, chunked, without a length
//   /echo        200 with the request's body
//   /huge-length 200 announcing 100 GB, then 10 bytes and the connection closed
//   /short/N     200 announcing N bytes, then N/2 and the connection closed
//   /drop        the connection closed without an answer
//   /hang        no answer for a minute
// A request in absolute form (as sent to a proxy), or a CONNECT, is answered
// as a proxy: 407 with a Basic challenge when proxy credentials are configured
// and the request does not carry them, else 200 with "proxied <target>".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vel::test {

struct RecordedRequest {
  std::string method;
  std::string target;  // as in the request line
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<uint8_t> body;
  // The value of a header (name compared without case); nullopt when absent.
  std::optional<std::string> Header(std::string_view name) const;
};

struct HttpTestServerOptions {
  std::string proxy_user;  // non-empty: proxy requests need these credentials
  std::string proxy_password;
  std::filesystem::path tls_cert;  // both set: the server speaks https
  std::filesystem::path tls_key;
};

class HttpTestServer {
 public:
  // Writes its script and logs into dir; throws when the server does not start.
  explicit HttpTestServer(const std::filesystem::path& dir, HttpTestServerOptions options = {});
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by path.
  std::string Url(std::string_view path) const;
  // Every request received so far, in order.
  std::vector<RecordedRequest> Requests() const;

 private:
  int pid_ = 0;
  uint16_t port_ = 0;
  bool tls_ = false;
  std::filesystem::path log_;
};

// A socket on 127.0.0.1 that listens and never accepts: the system completes
// connections to it, and no answer ever comes.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on 127.0.0.1 that nothing listens on.
uint16_t UnusedPort();

// Tests talk to 127.0.0.1 directly: proxies from the environment are removed.
void ClearProxyEnvironment();

}  // namespace vel::test
