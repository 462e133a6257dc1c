// The directory calls the CRL download makes, on OpenLDAP's libldap, in place
// of the Windows LDAP client: open a connection to a host (port 389 unless the
// host names one), set the protocol version and the alias dereferencing, bind
// anonymously, search a subtree with a time limit, count the entries and read
// the values of an attribute of the first entry.
//
// Every result is a WinLDAP result number: the protocol's result codes pass
// through as they are, libldap's client-side codes (negative there) become
// WinLDAP's 0x51..0x61; the one table is MapLdapResult.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// libldap's handle types (LDAP and LDAPMessage).
struct ldap;
struct ldapmsg;

namespace vel::platform {

// WinLDAP result numbers the CRL download reports.
enum LdapResult : uint32_t {
  kLdapSuccess = 0x00,
  kLdapTimeLimitExceeded = 0x03,
  kLdapSizeLimitExceeded = 0x04,
  kLdapNoSuchAttribute = 0x10,
  kLdapNoSuchObject = 0x20,
  kLdapInvalidCredentials = 0x31,
  kLdapOther = 0x50,
  kLdapServerDown = 0x51,
  kLdapLocalError = 0x52,
  kLdapEncodingError = 0x53,
  kLdapDecodingError = 0x54,
  kLdapTimeout = 0x55,
  kLdapAuthUnknown = 0x56,
  kLdapFilterError = 0x57,
  kLdapUserCancelled = 0x58,
  kLdapParamError = 0x59,
  kLdapNoMemory = 0x5a,
  kLdapConnectError = 0x5b,
  kLdapNotSupported = 0x5c,
  kLdapControlNotFound = 0x5d,
  kLdapNoResultsReturned = 0x5e,
  kLdapMoreResultsToReturn = 0x5f,
  kLdapClientLoop = 0x60,
  kLdapReferralLimitExceeded = 0x61,
};

inline constexpr uint16_t kLdapDefaultPort = 389;

// Alias dereferencing, with the protocol's numbers.
enum class LdapDeref : int { kNever = 0, kSearching = 1, kFinding = 2, kAlways = 3 };

// libldap's result code (protocol codes 0..0x50, client codes below 0, and
// the newer protocol codes above 0x50) as WinLDAP's number. Codes WinLDAP
// has no number for become kLdapOther.
uint32_t MapLdapResult(int openldap_code);

struct LdapLimits {
  // Establishing the TCP connection.
  std::chrono::milliseconds connect_timeout{30'000};
  // Any one synchronous exchange (the bind) that gets no answer.
  std::chrono::milliseconds operation_timeout{120'000};
  // Largest message accepted from the server; a directory sending more is
  // refused (the connection fails) before memory runs out.
  size_t max_message_bytes = size_t{64} << 20;
};
// Limits of every connection opened afterwards. The defaults suit real
// servers; tests shorten them.
void SetLdapLimits(const LdapLimits& limits);
LdapLimits GetLdapLimits();

class LdapConnection {
  struct Key {};

 public:
  explicit LdapConnection(Key) {}
  ~LdapConnection();
  LdapConnection(const LdapConnection&) = delete;
  LdapConnection& operator=(const LdapConnection&) = delete;

  // Prepares a connection to `host` ("name", "name:port", "[v6]" or
  // "[v6]:port"); `port` is used when the host names none. Nothing is sent
  // yet: the bind connects. kLdapParamError for a host that cannot be one.
  static uint32_t Init(std::string_view host, uint16_t port, std::unique_ptr<LdapConnection>* out);

  uint32_t SetProtocolVersion(int version);
  uint32_t SetDereference(LdapDeref deref);
  // Simple bind with no name and no password.
  uint32_t BindAnonymous();

  // Subtree search of `base` with `filter`, asking for `attributes` with
  // their values, no controls, no size limit, and the time limit both sent to
  // the server and kept by the client. The entries are kept for the readers
  // below until the next search.
  uint32_t SearchSubtree(const std::string& base, const std::string& filter,
                         const std::vector<std::string>& attributes,
                         std::chrono::seconds time_limit);
  // Entries of the last search (0 when there was none).
  size_t CountEntries() const;
  // The values of `attribute` (the description exactly as the server wrote
  // it, e.g. "authorityRevocationList;binary") in the first entry of the last
  // search. False when there is no entry or the entry has no such values.
  bool FirstEntryValues(const std::string& attribute, std::vector<std::vector<uint8_t>>* values);

  // The connection's last result (LdapGetLastError).
  uint32_t LastError() const { return last_error_; }

 private:
  struct Unbind {
    void operator()(::ldap* ld) const;
  };
  struct MsgFree {
    void operator()(::ldapmsg* msg) const;
  };
  uint32_t Set(int openldap_code);
  std::unique_ptr<::ldap, Unbind> ld_;
  std::unique_ptr<::ldapmsg, MsgFree> result_;  // the last search's answer
  uint32_t last_error_ = 0;
};

}  // namespace vel::platform
