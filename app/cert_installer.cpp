#include "app/cert_installer.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "app/default_settings.h"
#include "app/message_catalog.h"
#include "app/prompt.h"
#include "app/registry_settings.h"
#include "cryptolib/http_client.h"
#include "cryptolib/qualified.h"

namespace vel::app {
namespace {

constexpr uint32_t kDownloadFailed = 2;

std::string Lower(std::string_view s) {
  std::string out(s);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string Text(const CMessageTable& catalog, int id, const char* polish) {
  std::string out;
  return catalog.Get(out, id, polish);
}

}  // namespace

NationalRoot ShippedNationalRoot() {
  return {std::string(kNationalRootUrl), std::string(kNationalRootSha256),
          std::string(kNationalRootSubject)};
}

CCertInstaller::CCertInstaller(const CMessageTable& catalog, Prompt& prompt, NationalRoot root)
    : catalog_(catalog), prompt_(prompt), root_(std::move(root)) {}

uint32_t CCertInstaller::StoreLocation(std::string_view store_type) {
  return Lower(store_type) == "machine" ? crypto::CERT_SYSTEM_STORE_LOCAL_MACHINE
                                        : crypto::CERT_SYSTEM_STORE_CURRENT_USER;
}

std::string CCertInstaller::ReadUserMarker(const std::string& entry_key) {
  return CRegString(entry_key + "\\" + kValueUserMarker, kRegDefaultUserMarker, true,
                    RegHive::kCurrentUser)
      .Get();
}

void CCertInstaller::WriteUserMarker(const std::string& entry_key) {
  WriteRegString(RegHive::kCurrentUser, entry_key, kValueUserMarker, CurrentInstallMarker());
}

crypto::CertPtr CCertInstaller::DownloadCertificate(const std::string& url) {
  crypto::HttpRequestPtr request(crypto::CreateHttpRequest());
  if (!request || crypto::SetHttpRequestUrl(request.get(), url.c_str()) != 0 ||
      crypto::SendHttpRequest(request.get()) != 0)
    return nullptr;
  uint32_t size = 0;
  if (crypto::GetHttpResponse(request.get(), nullptr, &size) != 234 && size != 0) return nullptr;
  std::vector<uint8_t> bytes(size);
  if (size == 0 || crypto::GetHttpResponse(request.get(), bytes.data(), &size) != 0) return nullptr;
  return platform::CertContext::FromDer(bytes);
}

uint32_t CCertInstaller::EnsureNationalRoot() {
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context) return 8;
  if (crypto::FindCertificateBySubject(context.get(), crypto::CERT_SYSTEM_STORE_CURRENT_USER,
                                       "ROOT", crypto::CERT_FIND_SUBJECT_STR_W,
                                       root_.subject.c_str()) == 0)
    return 0;
  crypto::CertPtr root = DownloadCertificate(root_.url);
  if (!root) return kDownloadFailed;
  // Fetched over plain HTTP: trusted only as the very certificate we ship.
  if (Sha256Hex(root->der()) != Lower(root_.sha256_hex)) return kRootMismatch;
  if (!crypto::SetCertificateContext(context.get(), root)) return crypto::GetX509ContextError(context.get());
  return crypto::AddCertificateToStore(context.get(), crypto::CERT_SYSTEM_STORE_CURRENT_USER,
                                       "ROOT");
}

void CCertInstaller::Run(const std::string& key_path, const std::string& caption) {
  const std::string certificates_key = key_path + "\\" + kSubkeyCertificates;
  if (CRegDword(certificates_key + "\\" + kValueGlobalCertInstall, kRegDefaultGlobalCertInstall,
                true, RegHive::kLocalMachine)
          .Get() != 0)
    return;
  const std::string last_install =
      CRegString(key_path + "\\" + kValueLastInstall, kRegDefaultLastInstall, true,
                 RegHive::kLocalMachine)
          .Get();
  platform::RegKey key;
  std::vector<std::string> entries;
  if (platform::RegOpenKey(RegHive::kLocalMachine, certificates_key, platform::kRegRead, key) != 0 ||
      platform::RegEnumSubKeys(key, entries) != 0)
    return;
  for (const std::string& entry : entries)
    if (entry.size() <= 256) InstallEntry(certificates_key, entry, last_install, caption);
}

uint32_t CCertInstaller::InstallEntry(const std::string& certificates_key,
                                      const std::string& entry_name,
                                      const std::string& last_install,
                                      const std::string& caption) {
  const std::string id = Lower(entry_name);
  if (const auto done = handled_.find(id); done != handled_.end()) return done->second;
  if (!in_progress_.insert(id).second) return kParentCycle;
  const uint32_t result = Install(certificates_key, entry_name, last_install, caption);
  in_progress_.erase(id);
  handled_[id] = result;
  return result;
}

uint32_t CCertInstaller::Install(const std::string& certificates_key,
                                 const std::string& entry_name, const std::string& last_install,
                                 const std::string& caption) {
  const std::string entry_key = certificates_key + "\\" + entry_name;
  auto text = [&](const char* value) {
    return CRegString(entry_key + "\\" + value, kRegDefaultCertText, true, RegHive::kLocalMachine)
        .Get();
  };
  const std::string name = text(kValueCertName), parent = text(kValueCertParentName),
                    url = text(kValueCertUrl), store = text(kValueCertStoreName),
                    store_type = text(kValueCertStoreType), mark = text(kValueCertMark);
  const uint32_t qualified = CRegDword(entry_key + "\\" + kValueCertIsQualified,
                                       kRegDefaultCertIsQualified, true, RegHive::kLocalMachine)
                                 .Get();
  const std::string marker = ReadUserMarker(entry_key);
  if (CompareInstallMarkers(marker, last_install) > 0 && CompareInstallMarkers(marker, mark) > 0)
    return 0;

  const std::string question = Text(catalog_, 369, "Zaakceptuj pobranie zaświadczenia certyfikacyjnego") +
                               " \"" + name + "\"\n" +
                               Text(catalog_, 370, "z internetowego repozytorium") + " \"" + url +
                               "\".\n" +
                               Text(catalog_, 371,
                                    "Uwaga! Jeśli naciśniesz przycisk \"Nie\" pytanie nie zostanie "
                                    "zadane ponownie,\nmogą także wystąpić problemy z poprawną "
                                    "weryfikacją podpisów.");
  if (prompt_.ShowMessage(369, question, caption, MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL) !=
      IDYES) {
    WriteUserMarker(entry_key);
    return 0;
  }

  if (const uint32_t status = EnsureNationalRoot(); status != 0) return status;
  crypto::CertPtr certificate = DownloadCertificate(url);
  if (!certificate) return kDownloadFailed;

  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context) return 8;
  if (!parent.empty()) {
    const uint32_t status = InstallEntry(certificates_key, parent, last_install, caption);
    if (status != 0) {
      prompt_.ShowMessage(373,
                          Text(catalog_, 373,
                               "Wystąpił błąd aktualizacji konfiguracji.\nProgram spróbuje "
                               "dokonać aktualizacji podczas nastepnego uruchomienia."),
                          caption, MB_OK | MB_ICONHAND | MB_SYSTEMMODAL);
      return status;
    }
    const std::string parent_url =
        CRegString(certificates_key + "\\" + parent + "\\" + kValueCertUrl, kRegDefaultCertText,
                   true, RegHive::kLocalMachine)
            .Get();
    crypto::CertPtr parent_certificate = DownloadCertificate(parent_url);
    if (!parent_certificate) return kDownloadFailed;
    if (!crypto::SetCertificateContext(context.get(), parent_certificate) ||
        !crypto::IsIssuerOf(context.get(), certificate))
      return 0;
  }
  if (!crypto::SetCertificateContext(context.get(), certificate))
    return crypto::GetX509ContextError(context.get());
  if (qualified != 0 && !crypto::IsQualifiedCertificate(context.get())) return 0;
  const uint32_t status =
      crypto::AddCertificateToStore(context.get(), StoreLocation(store_type), store.c_str());
  if (status != 0) return status;
  WriteUserMarker(entry_key);
  return 0;
}

void RunCertInstallerOnce(const CMessageTable& catalog, Prompt& prompt, const std::string& caption) {
  static std::once_flag once;
  std::call_once(once, [&] { CCertInstaller(catalog, prompt).Run(kMachineKey, caption); });
}

}  // namespace vel::app
