#include "app/proxy_settings.h"

#include <strings.h>

#include "app/registry_settings.h"
#include "cryptolib/http_client.h"

namespace vel::app {
namespace {

// The protected user and password under the network key (a path ending in a backslash).
void RevealCredentials(const std::string& network_key, ProxySettings& p) {
  RevealProtectedSetting(RegHive::kCurrentUser, network_key + kValueProxyUsr, p.user);
  RevealProtectedSetting(RegHive::kCurrentUser, network_key + kValueProxyPwd, p.password);
}

}  // namespace

ProxySettings LoadProxySettings(const std::string& key) {
  auto path = [&](const std::string& value) { return key + "\\" + value; };
  ProxySettings p;
  p.enabled = CRegDword(path(kValueProxyEnabled), 0, true, RegHive::kCurrentUser).Get() != 0;
  p.auth_enabled = CRegDword(path(kValueProxyAuthEnabled), 0, true, RegHive::kCurrentUser).Get() != 0;
  p.address = "http://" + CRegString(path(kValueProxyName), "", true, RegHive::kCurrentUser).Get() + ":" +
              CRegString(path(kValueProxyPort), kRegDefaultProxyPort, true, RegHive::kCurrentUser).Get();
  if (p.enabled && p.auth_enabled) RevealCredentials(path(kSubkeyNetwork) + "\\", p);
  return p;
}

ProxySettings LoadOlderProxySettings() {
  const std::string net = std::string(kOlderEditionKey) + "\\" + kSubkeyNetwork + "\\";
  auto text = [&](const char* value, const char* fallback) {
    return CRegString(net + value, fallback, true, RegHive::kCurrentUser).Get();
  };
  auto on = [&](const char* value) { return strcasecmp(text(value, "").c_str(), "1") == 0; };
  ProxySettings p;
  p.enabled = on(kValueOlderChkProxy);
  if (!p.enabled) return p;
  p.address = "http://" + text(kValueProxyName, "") + ":" + text(kValueProxyPort, kRegDefaultOlderProxyPort);
  p.auth_enabled = on(kValueOlderChkProxyAuth);
  if (p.auth_enabled) RevealCredentials(net, p);
  return p;
}

void ApplyProxySettings(const ProxySettings& p) {
  if (!p.enabled)
    crypto::SetProxy(nullptr, nullptr, nullptr);
  else if (p.auth_enabled && !p.user.empty())
    crypto::SetProxy(p.address.c_str(), p.user.c_str(), p.password.c_str());
  else
    crypto::SetProxy(p.address.c_str(), nullptr, nullptr);
}

}  // namespace vel::app
