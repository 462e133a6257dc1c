#include "platform/ldap_client.h"

#include <lber.h>
#include <ldap.h>
#include <sys/time.h>

#include <algorithm>
#include <mutex>

namespace vel::platform {
namespace {

std::mutex g_limits_mutex;
LdapLimits g_limits;

timeval ToTimeval(std::chrono::milliseconds ms) {
  if (ms.count() < 1) ms = std::chrono::milliseconds(1);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// "name", "name:port", "[v6]" or "[v6]:port" as an ldap:// address; the port
// given applies when the host names none (or port 0). False for anything
// else, so that no text can add a path, a filter or a second host.
bool HostToUri(std::string_view host, uint16_t port, std::string* uri) {
  std::string_view name, port_text;
  bool bracketed = false;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(1, close - 1);
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port_text = rest.substr(1);
    }
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                 c == ':' || c == '.';
        }))
      return false;
    bracketed = true;
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != std::string_view::npos) port_text = host.substr(colon + 1);
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsHostNameChar)) return false;
  }
  if (!port_text.empty()) {
    if (port_text.size() > 5 ||
        !std::all_of(port_text.begin(), port_text.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    const unsigned long value = std::stoul(std::string(port_text));
    if (value > 65535) return false;
    if (value != 0) port = static_cast<uint16_t>(value);
  }
  if (port == 0) port = kLdapDefaultPort;
  *uri = "ldap://";
  if (bracketed) *uri += '[';
  *uri += name;
  if (bracketed) *uri += ']';
  *uri += ':' + std::to_string(port);
  return true;
}

}  // namespace

uint32_t MapLdapResult(int code) {
  // libldap's client-side codes against WinLDAP's numbers for the same events.
  struct Row {
    int openldap;
    uint32_t winldap;
  };
  static constexpr Row kClientCodes[] = {
      {LDAP_SERVER_DOWN, kLdapServerDown},
      {LDAP_LOCAL_ERROR, kLdapLocalError},
      {LDAP_ENCODING_ERROR, kLdapEncodingError},
      {LDAP_DECODING_ERROR, kLdapDecodingError},
      {LDAP_TIMEOUT, kLdapTimeout},
      {LDAP_AUTH_UNKNOWN, kLdapAuthUnknown},
      {LDAP_FILTER_ERROR, kLdapFilterError},
      {LDAP_USER_CANCELLED, kLdapUserCancelled},
      {LDAP_PARAM_ERROR, kLdapParamError},
      {LDAP_NO_MEMORY, kLdapNoMemory},
      {LDAP_CONNECT_ERROR, kLdapConnectError},
      {LDAP_NOT_SUPPORTED, kLdapNotSupported},
      {LDAP_CONTROL_NOT_FOUND, kLdapControlNotFound},
      {LDAP_NO_RESULTS_RETURNED, kLdapNoResultsReturned},
      {LDAP_MORE_RESULTS_TO_RETURN, kLdapMoreResultsToReturn},
      {LDAP_CLIENT_LOOP, kLdapClientLoop},
      {LDAP_REFERRAL_LIMIT_EXCEEDED, kLdapReferralLimitExceeded},
      {LDAP_X_CONNECTING, kLdapServerDown},
  };
  // The protocol's own codes are the same numbers on both sides.
  if (code >= 0 && code <= LDAP_OTHER) return static_cast<uint32_t>(code);
  for (const Row& row : kClientCodes)
    if (row.openldap == code) return row.winldap;
  return kLdapOther;
}

void SetLdapLimits(const LdapLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limits_mutex);
  g_limits = limits;
}

LdapLimits GetLdapLimits() {
  std::lock_guard<std::mutex> lock(g_limits_mutex);
  return g_limits;
}

void LdapConnection::Unbind::operator()(::ldap* ld) const { ldap_unbind_ext(ld, nullptr, nullptr); }
void LdapConnection::MsgFree::operator()(::ldapmsg* msg) const { ldap_msgfree(msg); }

LdapConnection::~LdapConnection() = default;

uint32_t LdapConnection::Set(int openldap_code) {
  last_error_ = MapLdapResult(openldap_code);
  return last_error_;
}

uint32_t LdapConnection::Init(std::string_view host, uint16_t port,
                              std::unique_ptr<LdapConnection>* out) {
  out->reset();
  std::string uri;
  if (!HostToUri(host, port, &uri)) return kLdapParamError;
  LDAP* raw = nullptr;
  const int rc = ldap_initialize(&raw, uri.c_str());
  if (rc != LDAP_SUCCESS || raw == nullptr) {
    if (raw != nullptr) ldap_unbind_ext(raw, nullptr, nullptr);
    return rc != LDAP_SUCCESS ? MapLdapResult(rc) : kLdapNoMemory;
  }
  auto conn = std::make_unique<LdapConnection>(Key{});
  conn->ld_.reset(raw);

  const LdapLimits limits = GetLdapLimits();
  const timeval connect = ToTimeval(limits.connect_timeout);
  const timeval operation = ToTimeval(limits.operation_timeout);
  if (int r = ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &connect); r != LDAP_OPT_SUCCESS)
    return MapLdapResult(r);
  if (int r = ldap_set_option(raw, LDAP_OPT_TIMEOUT, &operation); r != LDAP_OPT_SUCCESS)
    return MapLdapResult(r);
  // The connection's buffer exists before it connects; bound what one
  // message from the server may bring.
  Sockbuf* sb = nullptr;
  if (ldap_get_option(raw, LDAP_OPT_SOCKBUF, &sb) == LDAP_OPT_SUCCESS && sb != nullptr) {
    ber_len_t max = static_cast<ber_len_t>(limits.max_message_bytes);
    ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_MAX_INCOMING, &max);
  }
  *out = std::move(conn);
  return kLdapSuccess;
}

uint32_t LdapConnection::SetProtocolVersion(int version) {
  return Set(ldap_set_option(ld_.get(), LDAP_OPT_PROTOCOL_VERSION, &version));
}

uint32_t LdapConnection::SetDereference(LdapDeref deref) {
  int value = static_cast<int>(deref);
  return Set(ldap_set_option(ld_.get(), LDAP_OPT_DEREF, &value));
}

uint32_t LdapConnection::BindAnonymous() {
  berval empty{0, nullptr};
  return Set(ldap_sasl_bind_s(ld_.get(), nullptr, LDAP_SASL_SIMPLE, &empty, nullptr, nullptr,
                              nullptr));
}

uint32_t LdapConnection::SearchSubtree(const std::string& base, const std::string& filter,
                                       const std::vector<std::string>& attributes,
                                       std::chrono::seconds time_limit) {
  result_.reset();
  std::vector<char*> attrs;
  std::vector<std::string> copies = attributes;
  for (std::string& a : copies) attrs.push_back(a.data());
  attrs.push_back(nullptr);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(std::max<std::chrono::seconds::rep>(time_limit.count(), 1));
  LDAPMessage* res = nullptr;
  const int rc = ldap_search_ext_s(ld_.get(), base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                                   attrs.data(), 0, nullptr, nullptr, &limit, LDAP_NO_LIMIT, &res);
  // The answer is released whatever the result; only a successful one is read.
  std::unique_ptr<::ldapmsg, MsgFree> answer(res);
  if (rc == LDAP_SUCCESS) result_ = std::move(answer);
  return Set(rc);
}

size_t LdapConnection::CountEntries() const {
  if (!result_) return 0;
  const int n = ldap_count_entries(ld_.get(), result_.get());
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool LdapConnection::FirstEntryValues(const std::string& attribute,
                                      std::vector<std::vector<uint8_t>>* values) {
  values->clear();
  if (!result_) return false;
  LDAPMessage* entry = ldap_first_entry(ld_.get(), result_.get());
  if (entry == nullptr) return false;
  berval** vals = ldap_get_values_len(ld_.get(), entry, attribute.c_str());
  if (vals == nullptr) {
    int code = LDAP_SUCCESS;
    ldap_get_option(ld_.get(), LDAP_OPT_RESULT_CODE, &code);
    Set(code);
    return false;
  }
  for (berval** v = vals; *v != nullptr; ++v) {
    const auto* p = reinterpret_cast<const uint8_t*>((*v)->bv_val);
    values->emplace_back(p, p + (*v)->bv_len);
  }
  ldap_value_free_len(vals);
  return !values->empty();
}

}  // namespace vel::platform
