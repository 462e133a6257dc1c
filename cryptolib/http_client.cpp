#include "cryptolib/http_client.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

// The settings screen sets the proxy on the user-interface thread while a
// verification may be exchanging on a worker: every access takes the lock and
// an exchange works on a copy.
struct HttpSettings {
  std::mutex lock;
  platform::HttpProxy proxy;
  platform::HttpLimits limits;
};

HttpSettings& Settings() {
  static HttpSettings settings;
  return settings;
}

bool IsErrorStatus(long status) { return status >= 300 && status <= 599; }

LibraryErrorCode CopyText(const char* text, std::optional<std::string>& out) {
  try {
    if (text) out = std::string(text);
    else out.reset();
    return 0;
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
}

}  // namespace

HttpRequest* CreateHttpRequest() {
  try {
    return std::make_unique<HttpRequest>().release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

LibraryErrorCode SetHttpRequestUrl(HttpRequest* request, const char* address) {
  if (!request) return platform::kErrorInvalidParameter;
  request->has_url = false;
  if (!address) return request->last_error = platform::kErrorInvalidParameter;
  try {
    LibraryErrorCode rc = platform::CrackUrl(address, request->url);
    request->has_url = rc == 0;
    return request->last_error = rc;
  } catch (const std::bad_alloc&) {
    return request->last_error = platform::kErrorNotEnoughMemory;
  }
}

void SetHttpRequestBody(HttpRequest* request, const uint8_t* body, uint32_t length) {
  if (!request) return;
  request->body = body;
  request->body_length = length;
}

LibraryErrorCode SetHttpRequestHeaders(HttpRequest* request, const char* text) {
  if (!request) return platform::kErrorInvalidParameter;
  return request->last_error = CopyText(text, request->headers);
}

LibraryErrorCode SetHttpRequestAcceptType(HttpRequest* request, const char* text) {
  if (!request) return platform::kErrorInvalidParameter;
  return request->last_error = CopyText(text, request->accept_type);
}

LibraryErrorCode SendHttpRequest(HttpRequest* request) {
  if (!request) return platform::kErrorInvalidParameter;
  request->response = {};
  if (!request->has_url || (request->body_length != 0 && !request->body))
    return request->last_error = platform::kErrorInvalidParameter;
  try {
    platform::HttpExchangeRequest exchange;
    {
      HttpSettings& s = Settings();
      std::lock_guard guard(s.lock);
      exchange.proxy = s.proxy;
      exchange.limits = s.limits;
    }
    exchange.url = request->url;
    exchange.post = request->body_length != 0;
    if (exchange.post) {
      exchange.body = {request->body, request->body_length};
      exchange.headers = request->headers.value_or("");
    }
    exchange.accept = request->accept_type;
    // An error status is the answer; its body is not read.
    exchange.want_body = [](long status) { return !IsErrorStatus(status); };

    platform::HttpExchangeResult result = platform::PerformHttpExchange(exchange);
    LibraryErrorCode rc;
    if (result.error == platform::kInternetTimeout) {
      // Every time-out is reported alike, whether the server was silent before
      // or during its answer.
      rc = platform::kErrorTimeout;
    } else if (result.error != 0) {
      rc = result.error;
    } else if (IsErrorStatus(result.status)) {
      rc = LIB_E_HTTP_STATUS_BASE + static_cast<LibraryErrorCode>(result.status);
    } else {
      request->response = std::move(result.body);
      rc = 0;
    }
    return request->last_error = rc;
  } catch (const std::bad_alloc&) {
    request->response = {};
    return request->last_error = platform::kErrorNotEnoughMemory;
  }
}

LibraryErrorCode GetHttpResponse(HttpRequest* request, uint8_t* buffer, uint32_t* size) {
  if (!request) return platform::kErrorInvalidParameter;
  if (!size) return request->last_error = platform::kErrorInvalidParameter;
  // The response is capped far below 4 GiB, so its length fits.
  const auto length = static_cast<uint32_t>(request->response.size());
  if (length == 0) {
    *size = 0;
    return request->last_error = 0;
  }
  if (!buffer || *size < length) {
    *size = length;
    return request->last_error = platform::kErrorMoreData;
  }
  std::memcpy(buffer, request->response.data(), length);
  *size = length;
  return request->last_error = 0;
}

void FreeHttpRequest(HttpRequest* request) {
  std::unique_ptr<HttpRequest> owned(request);
}

LibraryErrorCode SetProxy(const char* server, const char* user, const char* password) {
  for (const char* text : {server, user, password})
    if (text && strnlen(text, kMaxProxyTextLength) >= kMaxProxyTextLength)
      return platform::kErrorInvalidParameter;
  try {
    platform::HttpProxy proxy;
    if (server) proxy.server = server;
    if (user) {
      proxy.user = user;
      if (password) proxy.password = password;
    }
    HttpSettings& s = Settings();
    std::lock_guard guard(s.lock);
    s.proxy = std::move(proxy);
    return 0;
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
}

void SetHttpLimits(const platform::HttpLimits& limits) {
  HttpSettings& s = Settings();
  std::lock_guard guard(s.lock);
  s.limits = limits;
}

platform::HttpLimits GetHttpLimits() {
  HttpSettings& s = Settings();
  std::lock_guard guard(s.lock);
  return s.limits;
}

}  // namespace vel::crypto
