// Values read back from the user's settings file, which anyone with the
// user's rights may have edited: the CRL address list that start-up migrates
// and the protected proxy credentials. The input holds the stored texts
// separated by NUL bytes: CRLURLS, ProxyUsr, ProxyPwd, ProxyName, ProxyPort.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/crl_migration.h"
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

  // The CRL list: each outdated line asked about once; the result is lower
  // case and every line of it ends with CR LF.
  const std::string net = std::string(kUserKey) + "\\" + kSubkeyNetwork;
  int asked = 0;
  const CrlMigrationResult crl = MigrateCrlUrls(
      parts[0], [&](int n) { return (size % 3) == static_cast<size_t>(n); },
      [&] { return (++asked + size) % 2 == 0; }, [](int) {});
  if (crl.changed) {
    for (char c : crl.list)
      if (std::isupper(static_cast<unsigned char>(c))) std::abort();
    if (!crl.list.empty() && !crl.list.ends_with("\r\n")) std::abort();
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
