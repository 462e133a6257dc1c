// Values read back from the user's settings file, which anyone with the
// user's rights may have edited: the CRL address list that start-up migrates
// and the protected proxy credentials. The input holds the stored texts
// separated by NUL bytes: CRLURLS, ProxyUsr, ProxyPwd, ProxyName, ProxyPort.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/crl_list.h"
#include "app/crl_migration.h"
#include "app/default_settings.h"
#include "app/proxy_settings.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "platform/registry.h"
#include "platform/registry_format.h"
#include "platform/tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel::app;
  using vel::platform::RegHive;
  vel::fuzz::EmptyFolder(vel::fuzz::FuzzFolder("VELDOC_REGISTRY_DIR"));
  const std::string text(reinterpret_cast<const char*>(data), data ? size : 0);
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 5; ++i) {
    const size_t end = std::min(text.find('\0', start), text.size());
    parts.push_back(start < text.size() ? text.substr(start, end - start) : std::string());
    start = std::min(end + 1, text.size());
  }

  // The CRL list: each outdated line asked about once; every line of the
  // result is a line of the list as written, or the current address, and
  // ends with CR LF.
  const std::string net = std::string(kUserKey) + "\\" + kSubkeyNetwork;
  int asked = 0;
  const CrlMigrationResult crl = MigrateCrlUrls(
      parts[0], [&](int n) { return (size % 3) == static_cast<size_t>(n); },
      [&] { return (++asked + size) % 2 == 0; }, [](int) {});
  if (crl.changed) {
    if (!crl.list.empty() && !crl.list.ends_with("\r\n")) std::abort();
    const std::vector<std::string> written = vel::app::SplitCrlList(parts[0]);
    for (size_t at = 0; at < crl.list.size();) {
      const size_t end = crl.list.find("\r\n", at);
      if (end == std::string::npos) std::abort();
      const std::string line = crl.list.substr(at, end - at);
      if (line != vel::app::kRootCrlCurrent && std::find(written.begin(), written.end(), line) == written.end())
        std::abort();
      at = end + 2;
    }
  }

  // The proxy, with its credentials stored as the texts given. The hive file
  // is written directly: the store's own writes sync the disk, too slow here.
  {
    using vel::platform::regfile::Hive;
    auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    Hive hive;
    vel::platform::regfile::Key& user = hive.Create(kUserKey);
    Hive::SetValue(user, kValueProxyEnabled, vel::platform::kRegDword, {1, 0, 0, 0});
    Hive::SetValue(user, kValueProxyAuthEnabled, vel::platform::kRegDword, {1, 0, 0, 0});
    Hive::SetValue(user, kValueProxyName, vel::platform::kRegSz, bytes(parts[3]));
    Hive::SetValue(user, kValueProxyPort, vel::platform::kRegSz, bytes(parts[4]));
    vel::platform::regfile::Key& network = hive.Create(net);
    Hive::SetValue(network, kValueProxyUsr, vel::platform::kRegSz, bytes(parts[1]));
    Hive::SetValue(network, kValueProxyPwd, vel::platform::kRegSz, bytes(parts[2]));
    std::ofstream(vel::platform::RegHiveFile(RegHive::kCurrentUser), std::ios::binary)
        << vel::platform::regfile::SerializeHive(hive, "HKEY_CURRENT_USER");
  }
  const ProxySettings proxy = LoadProxySettings(kUserKey);
  ApplyProxySettings(proxy);

  // A credential that reads back stores and reads again as itself.
  std::string user;
  if (RevealProtectedSetting(RegHive::kCurrentUser, net + "\\" + kValueProxyUsr, user)) {
    if (user != proxy.user) std::abort();
    if (StoreProtectedSetting(RegHive::kCurrentUser, net, kValueProxyUsr, user) != 0) std::abort();
    std::string again;
    if (!RevealProtectedSetting(RegHive::kCurrentUser, net + "\\" + kValueProxyUsr, again) || again != user)
      std::abort();
  }
  return 0;
}
