// The library's HTTP client: one request object that does one exchange (a GET,
// or a POST when a body is given) and holds the whole response, and the
// process-wide proxy that every exchange goes through.
//
// Statuses: 0; 87 for a missing argument or a request without an address;
// 8 when memory runs out or the response is larger than 64 MiB; 1460 when the
// server does not answer in time; 0xE0000000 + s for an HTTP status s of 300
// to 599 (redirects are not followed); otherwise a Windows internet error
// number (12007 name not resolved, 12029 cannot connect, 12152 invalid server
// response, ...).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cryptolib/status.h"
#include "platform/http_transport.h"

namespace vel::crypto {

struct HttpRequest {
  LibraryErrorCode last_error = 0;     // result of the last operation on the request
  bool has_url = false;
  platform::UrlParts url;              // copies of the address's parts
  std::optional<std::string> headers{"*/*"};      // sent with a POST; none: no headers
  std::optional<std::string> accept_type{"*/*"};  // none: no Accept header
  uint32_t body_length = 0;            // 0 makes the exchange a GET
  const uint8_t* body = nullptr;       // the caller's bytes, kept until the exchange is done
  std::vector<uint8_t> response;
};

// A new request with headers and accept type "*/*"; null when memory runs out.
HttpRequest* CreateHttpRequest();

// Splits the address (http or https) into the request; a user name and
// password in it are never sent. 0, 12006 (no or unknown scheme), 12005.
LibraryErrorCode SetHttpRequestUrl(HttpRequest* request, const char* address);

// Keeps the pointer and the length; the bytes must stay until the exchange is done.
void SetHttpRequestBody(HttpRequest* request, const uint8_t* body, uint32_t length);

// Replace the text by a copy; null leaves none. 0, or 8 when the copy fails.
LibraryErrorCode SetHttpRequestHeaders(HttpRequest* request, const char* text);
LibraryErrorCode SetHttpRequestAcceptType(HttpRequest* request, const char* text);

// Performs the exchange; any earlier response is released first and the
// response is empty after every failure.
LibraryErrorCode SendHttpRequest(HttpRequest* request);

// Size rule: a buffer of at least the response length receives the bytes (0);
// otherwise 234. Either way *size becomes the length. An empty response gives 0.
LibraryErrorCode GetHttpResponse(HttpRequest* request, uint8_t* buffer, uint32_t* size);

// Null is ignored.
void FreeHttpRequest(HttpRequest* request);

struct HttpRequestFree {
  void operator()(HttpRequest* request) const { FreeHttpRequest(request); }
};
using HttpRequestPtr = std::unique_ptr<HttpRequest, HttpRequestFree>;

// The process-wide proxy: "host", "host:port" or "http://host[:port]" (no
// port, or 0, is port 80); null server: the system's settings; null user:
// no credentials (user and password emptied). A text of kMaxProxyTextLength
// characters or more is refused with 87 and nothing changes.
inline constexpr size_t kMaxProxyTextLength = 5000;
LibraryErrorCode SetProxy(const char* server, const char* user, const char* password);

// Time limits and the response cap of every exchange. The defaults suit real
// servers; tests shorten them.
void SetHttpLimits(const platform::HttpLimits& limits);
platform::HttpLimits GetHttpLimits();

}  // namespace vel::crypto
