// One HTTP exchange on libcurl, in place of the Windows internet calls: the
// address split into its parts, an optional explicit proxy with credentials,
// the library's user agent, no redirects followed, time limits, a capped
// response body, and failures reported with the Windows internet error numbers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vel::platform {

// Windows internet error numbers that exchanges report.
enum InternetError : uint32_t {
  kInternetOutOfHandles = 12001,
  kInternetTimeout = 12002,
  kInternetInternalError = 12004,
  kInternetInvalidUrl = 12005,
  kInternetUnrecognizedScheme = 12006,
  kInternetNameNotResolved = 12007,
  kInternetLoginFailure = 12015,
  kInternetOperationCancelled = 12017,
  kInternetCannotConnect = 12029,
  kInternetConnectionAborted = 12030,
  kInternetConnectionReset = 12031,
  kInternetInvalidCa = 12045,
  kInternetSecCertRevFailed = 12057,
  kHttpInvalidServerResponse = 12152,
  kHttpRedirectFailed = 12156,
  kInternetSecurityChannelError = 12157,
  kInternetDecodingFailed = 12175,
};

// The agent name every exchange of the library sends.
inline constexpr const char* kHttpUserAgent = "Vellorum Crypto API Call";

// The largest response body kept. A CRL or a time-stamp answer is far smaller;
// a server sending more is refused with 8 before memory runs out.
inline constexpr size_t kMaxHttpResponseBytes = size_t{64} << 20;

// An http or https address split into its parts.
struct UrlParts {
  bool secure = false;   // https
  std::string host;      // as written; an IPv6 literal keeps its brackets
  uint16_t port = 0;     // the scheme's default when the address names none (or 0)
  std::string user;      // from the address; never sent to the server
  std::string password;  // from the address; never sent to the server
  std::string path;      // path and query as sent in the request line, at least "/"
};

// Splits an address. Returns 0, 12006 when it has no scheme or one other than
// http and https, 12005 when it cannot be read (no host, bad port, ...).
uint32_t CrackUrl(std::string_view address, UrlParts& parts);

// A proxy address as stored in the settings: "host", "host:port" or
// "http://host:port", optionally followed by "/"; an IPv6 host in brackets.
// No port, or port 0, means port 80.
struct ProxyEndpoint {
  std::string host;
  uint16_t port = 80;
};
std::optional<ProxyEndpoint> ParseProxyAddress(std::string_view text);

struct HttpProxy {
  std::string server;    // empty: the system's settings (http_proxy and friends)
  std::string user;      // credentials are offered only with a server and a user
  std::string password;
};

struct HttpLimits {
  std::chrono::milliseconds connect_timeout{30'000};
  // No byte arriving for this long ends the exchange (rounded up to whole seconds).
  std::chrono::milliseconds idle_timeout{60'000};
  // The whole exchange, however slowly the bytes arrive.
  std::chrono::milliseconds transfer_timeout{600'000};
  size_t max_body = kMaxHttpResponseBytes;
  std::string ca_file;  // empty: the system's trusted authorities
};

struct HttpExchangeRequest {
  UrlParts url;
  bool post = false;                   // false: GET
  std::span<const uint8_t> body;       // POST only
  std::string headers;                 // POST only: header lines, CR LF or LF separated
  std::optional<std::string> accept;   // the one accepted media type; none: no Accept header
  HttpProxy proxy;
  HttpLimits limits;
  // Asked once the status is known; false stops the exchange without its body
  // (the result then carries the status and error 0). Empty: always read.
  std::function<bool(long status)> want_body;
};

struct HttpExchangeResult {
  uint32_t error = 0;  // 0, an internet error number, or 8 (body over the cap / no memory)
  long status = 0;     // the HTTP status, 0 when none arrived
  std::vector<uint8_t> body;  // empty unless error is 0
};

HttpExchangeResult PerformHttpExchange(const HttpExchangeRequest& request);

// The one table from libcurl's result codes (CURLcode values) to internet
// error numbers; unknown codes give 12004 (internal error).
uint32_t InternetErrorFromCurl(int curl_code);

}  // namespace vel::platform
