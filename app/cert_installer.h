// Installs the CA certificates that the setup lists under the machine key's
// Certyfikaty subkey: each is offered once, downloaded over HTTP through the
// crypto library's client, its listed parent installed first, and added to
// the store its entry names. The national root is fetched first when the
// user's ROOT store lacks it, and trusted only when its SHA-256 is the one
// the program ships. A per-user marker keeps an entry quiet until the setup
// or the entry is newer.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "cryptolib/x509_context.h"

namespace vel::app {

class CMessageTable;
class Prompt;

struct NationalRoot {
  std::string url;
  std::string sha256_hex;  // lower-case hex of SHA-256 over the DER
  std::string subject;     // text its subject contains
};
// What the program ships (app/default_settings.h).
NationalRoot ShippedNationalRoot();

class CCertInstaller {
 public:
  // Status of an entry refused for a root whose fingerprint differs, and of
  // a ParentName chain that comes back to an entry.
  static constexpr uint32_t kRootMismatch = 0x800B0109;
  static constexpr uint32_t kParentCycle = 1921;

  CCertInstaller(const CMessageTable& catalog, Prompt& prompt,
                 NationalRoot root = ShippedNationalRoot());
  CCertInstaller(const CCertInstaller&) = delete;
  CCertInstaller& operator=(const CCertInstaller&) = delete;
  virtual ~CCertInstaller() = default;

  // Installs what is due under `key_path` (the machine key); reports nothing.
  void Run(const std::string& key_path, const std::string& caption);
  // 0 when the entry was installed, declined, skipped or refused; else a
  // status (2 for a failed download).
  uint32_t InstallEntry(const std::string& certificates_key, const std::string& entry_name,
                        const std::string& last_install, const std::string& caption);
  // The certificate an HTTP GET of the address returns; none otherwise.
  crypto::CertPtr DownloadCertificate(const std::string& url);
  // "MACHINE" (any case) is the local machine, anything else the current user.
  static uint32_t StoreLocation(std::string_view store_type);
  std::string ReadUserMarker(const std::string& entry_key);
  void WriteUserMarker(const std::string& entry_key);

 private:
  uint32_t EnsureNationalRoot();
  uint32_t Install(const std::string& certificates_key, const std::string& entry_name,
                   const std::string& last_install, const std::string& caption);

  const CMessageTable& catalog_;
  Prompt& prompt_;
  NationalRoot root_;
  // Within one run: the entries being installed (a cycle ends there) and
  // the result of each one handled (none is offered twice).
  std::set<std::string> in_progress_;
  std::map<std::string, uint32_t> handled_;
};

// Runs the installer over the machine key once per process (start-up or
// the first verification, whichever comes first).
void RunCertInstallerOnce(const CMessageTable& catalog, Prompt& prompt, const std::string& caption);

}  // namespace vel::app
