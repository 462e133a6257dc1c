#include "platform/http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>
#include <mutex>
#include <new>

#include "platform/win32_error.h"

namespace vel::platform {
namespace {

struct CurlEasyFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct CurlUrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlSlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct CurlStringFree {
  void operator()(char* s) const { curl_free(s); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlFree>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;
using CurlString = std::unique_ptr<char, CurlStringFree>;

// curl_global_init is not safe to run from two threads at once; do it once.
bool CurlReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

// Decimal port of at most five digits; nullopt when it is not one.
std::optional<uint32_t> ParsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value > 65535)
    return std::nullopt;
  return value;
}

std::optional<std::string> UrlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || !raw) return std::nullopt;
  CurlString owned(raw);
  return std::string(owned.get());
}

bool AppendHeader(CurlSlist& list, const std::string& entry) {
  curl_slist* grown = curl_slist_append(list.get(), entry.c_str());
  if (!grown) return false;
  (void)list.release();  // the list keeps its head; the new pointer owns it
  list.reset(grown);
  return true;
}

// Header lines of a caller's text: lines without a name and a colon are left
// out (the request's default text "*/*" is not a header), line breaks never
// reach the wire inside a header, and an empty value is sent as such.
bool AppendHeaderLines(std::string_view text, CurlSlist& list, bool& has_content_type) {
  while (!text.empty()) {
    size_t eol = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    std::string_view name = line.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (IEquals(name, "Content-Type")) has_content_type = true;
    // libcurl drops "Name:" entirely; "Name;" sends it with an empty value.
    std::string entry = value.empty() ? std::string(name) + ";" : std::string(line);
    if (!AppendHeader(list, entry)) return false;
  }
  return true;
}

struct Transfer {
  CURL* curl = nullptr;
  const HttpExchangeRequest* request = nullptr;
  std::vector<uint8_t> body;
  bool status_checked = false;
  bool stopped_for_status = false;
  bool too_large = false;
  bool no_memory = false;
};

bool WantBody(const HttpExchangeRequest& request, long status) {
  return !request.want_body || request.want_body(status);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t len = size * count;
  try {
    if (!t->status_checked) {
      t->status_checked = true;
      long status = 0;
      curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
      if (!WantBody(*t->request, status)) {
        t->stopped_for_status = true;
        return 0;
      }
      curl_off_t announced = -1;
      curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
      if (announced > 0 && static_cast<uint64_t>(announced) <= t->request->limits.max_body)
        t->body.reserve(static_cast<size_t>(announced));
    }
    if (len > t->request->limits.max_body - t->body.size()) {
      t->too_large = true;
      return 0;
    }
    t->body.insert(t->body.end(), reinterpret_cast<const uint8_t*>(data),
                   reinterpret_cast<const uint8_t*>(data) + len);
    return len;
  } catch (...) {
    t->no_memory = true;
    return 0;
  }
}

long SecondsRoundedUp(std::chrono::milliseconds ms) {
  return static_cast<long>(std::max<int64_t>(1, (ms.count() + 999) / 1000));
}

}  // namespace

uint32_t InternetErrorFromCurl(int curl_code) {
  struct Row {
    CURLcode curl;
    uint32_t error;
  };
  static constexpr Row kTable[] = {
      {CURLE_OK, 0},
      {CURLE_UNSUPPORTED_PROTOCOL, kInternetUnrecognizedScheme},
      {CURLE_NOT_BUILT_IN, kInternetUnrecognizedScheme},
      {CURLE_FAILED_INIT, kInternetInternalError},
      {CURLE_URL_MALFORMAT, kInternetInvalidUrl},
      {CURLE_COULDNT_RESOLVE_PROXY, kInternetNameNotResolved},
      {CURLE_COULDNT_RESOLVE_HOST, kInternetNameNotResolved},
      {CURLE_COULDNT_CONNECT, kInternetCannotConnect},
      {CURLE_INTERFACE_FAILED, kInternetCannotConnect},
      {CURLE_PROXY, kInternetCannotConnect},
      {CURLE_OPERATION_TIMEDOUT, kInternetTimeout},
      {CURLE_WEIRD_SERVER_REPLY, kHttpInvalidServerResponse},
      {CURLE_HTTP2, kHttpInvalidServerResponse},
      {CURLE_HTTP2_STREAM, kHttpInvalidServerResponse},
      {CURLE_GOT_NOTHING, kHttpInvalidServerResponse},
      {CURLE_PARTIAL_FILE, kInternetConnectionAborted},
      {CURLE_SEND_ERROR, kInternetConnectionAborted},
      {CURLE_RECV_ERROR, kInternetConnectionReset},
      {CURLE_TOO_MANY_REDIRECTS, kHttpRedirectFailed},
      {CURLE_ABORTED_BY_CALLBACK, kInternetOperationCancelled},
      {CURLE_LOGIN_DENIED, kInternetLoginFailure},
      {CURLE_OUT_OF_MEMORY, kErrorNotEnoughMemory},
      {CURLE_FILESIZE_EXCEEDED, kErrorNotEnoughMemory},
      {CURLE_BAD_CONTENT_ENCODING, kInternetDecodingFailed},
      {CURLE_PEER_FAILED_VERIFICATION, kInternetInvalidCa},
      {CURLE_SSL_ISSUER_ERROR, kInternetInvalidCa},
      {CURLE_SSL_INVALIDCERTSTATUS, kInternetSecCertRevFailed},
      {CURLE_SSL_CONNECT_ERROR, kInternetSecurityChannelError},
      {CURLE_SSL_ENGINE_NOTFOUND, kInternetSecurityChannelError},
      {CURLE_SSL_ENGINE_SETFAILED, kInternetSecurityChannelError},
      {CURLE_SSL_ENGINE_INITFAILED, kInternetSecurityChannelError},
      {CURLE_SSL_CERTPROBLEM, kInternetSecurityChannelError},
      {CURLE_SSL_CIPHER, kInternetSecurityChannelError},
      {CURLE_SSL_CACERT_BADFILE, kInternetSecurityChannelError},
      {CURLE_SSL_CRL_BADFILE, kInternetSecurityChannelError},
      {CURLE_SSL_SHUTDOWN_FAILED, kInternetSecurityChannelError},
  };
  for (const Row& r : kTable)
    if (r.curl == curl_code) return r.error;
  return kInternetInternalError;
}

uint32_t CrackUrl(std::string_view address, UrlParts& parts) {
  parts = UrlParts{};
  size_t sep = address.find("://");
  if (sep == std::string_view::npos || sep == 0) return kInternetUnrecognizedScheme;
  std::string_view scheme = address.substr(0, sep);
  bool secure;
  if (IEquals(scheme, "http")) secure = false;
  else if (IEquals(scheme, "https")) secure = true;
  else return kInternetUnrecognizedScheme;
  // Line breaks or blanks would end up in the request line.
  for (char c : address)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return kInternetInvalidUrl;
  if (!CurlReady()) return kInternetInternalError;

  CurlUrl url(curl_url());
  if (!url) return kErrorNotEnoughMemory;
  const std::string text(address);
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
    return kInternetInvalidUrl;
  auto host = UrlPart(url.get(), CURLUPART_HOST);
  if (!host || host->empty()) return kInternetInvalidUrl;
  parts.secure = secure;
  parts.host = *host;
  const uint16_t default_port = secure ? 443 : 80;
  parts.port = default_port;
  if (auto port = UrlPart(url.get(), CURLUPART_PORT)) {
    auto value = ParsePort(*port);
    if (!value) return kInternetInvalidUrl;
    if (*value != 0) parts.port = static_cast<uint16_t>(*value);
  }
  parts.user = UrlPart(url.get(), CURLUPART_USER).value_or("");
  parts.password = UrlPart(url.get(), CURLUPART_PASSWORD).value_or("");
  parts.path = UrlPart(url.get(), CURLUPART_PATH).value_or("/");
  if (parts.path.empty()) parts.path = "/";
  if (auto query = UrlPart(url.get(), CURLUPART_QUERY)) parts.path += "?" + *query;
  return 0;
}

std::optional<ProxyEndpoint> ParseProxyAddress(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (IStartsWith(text, "http://")) text.remove_prefix(7);
  else if (text.find("://") != std::string_view::npos) return std::nullopt;
  if (size_t slash = text.find('/'); slash != std::string_view::npos) text = text.substr(0, slash);

  ProxyEndpoint out;
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close < 2) return std::nullopt;
    host = text.substr(0, close + 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
    }
    for (char c : host.substr(1, host.size() - 2))
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
  } else {
    size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (colon != std::string_view::npos) port = text.substr(colon + 1);
    for (char c : host)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
        return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  out.host = std::string(host);
  if (!port.empty()) {
    auto value = ParsePort(port);
    if (!value) return std::nullopt;
    out.port = *value == 0 ? 80 : static_cast<uint16_t>(*value);
  }
  return out;
}

HttpExchangeResult PerformHttpExchange(const HttpExchangeRequest& request) {
  HttpExchangeResult result;
  if (!CurlReady()) {
    result.error = kInternetInternalError;
    return result;
  }
  CurlEasy curl(curl_easy_init());
  if (!curl) {
    result.error = kInternetOutOfHandles;
    return result;
  }
  CURL* c = curl.get();
  const UrlParts& u = request.url;
  const std::string url =
      (u.secure ? "https://" : "http://") + u.host + ":" + std::to_string(u.port) + u.path;
  const HttpLimits& limits = request.limits;

  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // exchanges run on worker threads
  curl_easy_setopt(c, CURLOPT_USERAGENT, kHttpUserAgent);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect_timeout.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.transfer_timeout.count()));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, SecondsRoundedUp(limits.idle_timeout));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body));
  if (!limits.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, limits.ca_file.c_str());

  std::string proxy_url;
  if (!request.proxy.server.empty()) {
    auto proxy = ParseProxyAddress(request.proxy.server);
    if (!proxy) {
      result.error = kInternetInvalidUrl;
      return result;
    }
    proxy_url = "http://" + proxy->host + ":" + std::to_string(proxy->port);
    curl_easy_setopt(c, CURLOPT_PROXY, proxy_url.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "");  // an explicit proxy has no bypass list
    if (!request.proxy.user.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, request.proxy.user.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, request.proxy.password.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY));
    }
  }

  CurlSlist headers;
  bool has_content_type = false;
  bool headers_ok = true;
  if (request.post) {
    headers_ok = AppendHeaderLines(request.headers, headers, has_content_type) &&
                 AppendHeader(headers, "Expect:");  // the body goes without waiting for 100
    // No made-up content type when the caller gave none.
    if (headers_ok && !has_content_type) headers_ok = AppendHeader(headers, "Content-Type:");
  }
  if (headers_ok) {
    if (request.accept) {
      std::string_view accept = *request.accept;
      accept = accept.substr(0, accept.find_first_of("\r\n"));
      headers_ok = AppendHeader(headers, "Accept: " + std::string(accept));
    } else {
      headers_ok = AppendHeader(headers, "Accept:");
    }
  }
  if (!headers_ok) {
    result.error = kErrorNotEnoughMemory;
    return result;
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (request.post) {
    static const char kEmpty[] = "";
    const char* data =
        request.body.empty() ? kEmpty : reinterpret_cast<const char*>(request.body.data());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, data);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }

  Transfer transfer;
  transfer.curl = c;
  transfer.request = &request;
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &WriteBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

  const CURLcode rc = curl_easy_perform(c);

  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) {
    // A proxy that refused to open a tunnel answered with a status of its own.
    long connect_status = 0;
    curl_easy_getinfo(c, CURLINFO_HTTP_CONNECTCODE, &connect_status);
    if (connect_status >= 300) status = connect_status;
  }
  result.status = status;
  if (status != 0 && !WantBody(request, status)) return result;  // the status is the answer
  if (transfer.too_large || transfer.no_memory) {
    result.error = kErrorNotEnoughMemory;
  } else if (rc != CURLE_OK) {
    result.error = InternetErrorFromCurl(rc);
  } else if (status == 0) {
    result.error = kHttpInvalidServerResponse;
  } else {
    result.body = std::move(transfer.body);
  }
  return result;
}

}  // namespace vel::platform
