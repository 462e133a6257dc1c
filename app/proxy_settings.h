// The proxy as the user configured it, read afresh from the settings.
#pragma once

#include <string>

namespace vel::app {

struct ProxySettings {
  bool enabled = false;
  bool auth_enabled = false;
  std::string address;  // "http://" + name + ":" + port, always with the port
  std::string user;     // read only when both flags are set
  std::string password;
};

ProxySettings LoadProxySettings(const std::string& settings_key);
// The older edition's proxy (its network key under the current user):
// switched on by chkProxy "1", credentials by chkProxyAuth "1"; switched off
// it has port "0" and no address.
ProxySettings LoadOlderProxySettings();

// Hands the proxy to the crypto library's process-wide setting: the address,
// and the user and password only when authentication is on and a user is
// given. A proxy switched off clears the setting, so that no later exchange
// goes on through a proxy the user has switched off since. The one place
// that decides which credentials go with the proxy.
void ApplyProxySettings(const ProxySettings& proxy);

}  // namespace vel::app
