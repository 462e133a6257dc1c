#include "platform/ldap_client.h"

#include <gtest/gtest.h>
#include <ldap.h>

#include <memory>
#include <string>

namespace vel::platform {
namespace {

// libldap's own codes against WinLDAP's numbers.
TEST(LdapClient, ResultMapping) {
  const struct {
    int openldap;
    uint32_t winldap;
  } cases[] = {
      {LDAP_SUCCESS, 0x00},
      {LDAP_SIZELIMIT_EXCEEDED, 0x04},
      {LDAP_NO_SUCH_OBJECT, 0x20},
      {LDAP_INVALID_CREDENTIALS, 0x31},
      {LDAP_OTHER, 0x50},
      {LDAP_SERVER_DOWN, 0x51},
      {LDAP_LOCAL_ERROR, 0x52},
      {LDAP_DECODING_ERROR, 0x54},
      {LDAP_TIMEOUT, 0x55},
      {LDAP_FILTER_ERROR, 0x57},
      {LDAP_PARAM_ERROR, 0x59},
      {LDAP_NO_MEMORY, 0x5a},
      {LDAP_CONNECT_ERROR, 0x5b},
      {LDAP_REFERRAL_LIMIT_EXCEEDED, 0x61},
      {LDAP_X_CONNECTING, 0x51},
      {LDAP_CANCELLED, 0x50},  // no WinLDAP number: "other"
      {-1000, 0x50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.openldap);
    EXPECT_EQ(MapLdapResult(c.openldap), c.winldap);
  }
}

// Only a host, optionally with a port, becomes a connection; nothing in the
// text can add a path, a filter or another host.
TEST(LdapClient, HostText) {
  const struct {
    const char* host;
    uint32_t expected;
  } cases[] = {
      {"ldap.example", 0},
      {"ldap.example:636", 0},
      {"127.0.0.1:0", 0},
      {"[::1]", 0},
      {"[::1]:3890", 0},
      {"", kLdapParamError},
      {":389", kLdapParamError},
      {"host:", 0},
      {"host:65536", kLdapParamError},
      {"host:12ab", kLdapParamError},
      {"two hosts", kLdapParamError},
      {"host/c=PL??sub", kLdapParamError},
      {"[::1", kLdapParamError},
      {"[::1]x", kLdapParamError},
      {"host:389:1", kLdapParamError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    std::unique_ptr<LdapConnection> ldap;
    EXPECT_EQ(LdapConnection::Init(c.host, kLdapDefaultPort, &ldap), c.expected);
    EXPECT_EQ(static_cast<bool>(ldap), c.expected == 0);
  }
}

}  // namespace
}  // namespace vel::platform
