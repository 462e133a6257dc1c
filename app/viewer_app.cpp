#include "app/viewer_app.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "app/cert_installer.h"
#include "app/command_line.h"
#include "app/crl_migration.h"
#include "app/default_settings.h"
#include "app/kdoc_document.h"
#include "app/proxy_settings.h"
#include "app/registry_settings.h"
#include "app/text_trim.h"
#include "cryptolib/status.h"
#include "platform/registry.h"

namespace vel::app {

namespace {

using platform::RegHive;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Values that no real setting has: reading one back means the value is missing.
constexpr const char* kMissingString = "---none---";
constexpr uint32_t kMissingDword = 2222;

}  // namespace

CViewerApp::CViewerApp() { CInstallMarker marker; }

int CViewerApp::CountRunningCopies(const std::vector<platform::ProcessEntry>& processes) {
  // Another user's copy, or one in another login session, does not stop this one.
  return static_cast<int>(std::count_if(processes.begin(), processes.end(), [](const auto& p) {
    return Upper(p.exe_name).find("DEZAZUDIVIRAR") != std::string::npos && platform::SameUserAndSession(p);
  }));
}

bool CViewerApp::InitInstance(const std::vector<std::string>& args, StartupServices& services) {
  const uint32_t lang = CRegDword(std::string(kMachineKey) + "\\" + kValueLangId, 1045, true,
                                  RegHive::kLocalMachine)
                            .Get();
  CMessageTable catalog(lang);
  // The library's windows and texts (the certificate chooser among them)
  // speak the program's language from the start, not from the first check.
  crypto::SetLanguage(catalog.GetLanguageId() == kLangIdEnglish ? "en" : "pl");
  Prompt& prompt = *services.prompt;
  settings_key_ = kUserKey;
  // Working folders that a killed run of this user left; those of running
  // copies are locked by them and stay.
  RemoveAbandonedKdocFolders();

  const CommandLine cl = ParseCommandLine(args);
  if (!cl.skip_single_instance) {
    // No snapshot means no other copy can be seen.
    const auto processes = services.snapshot ? services.snapshot() : std::nullopt;
    if (processes && CountRunningCopies(*processes) >= 2) {
      std::string text;
      catalog.Get(text, 414,
                  "Okno programu Vellorum Sign jest już uruchomione.\nZamknij okno a następnie powtórz operację.");
      prompt.ShowMessage(414, text, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
      return false;
    }
  }

  std::string document = cl.path;
  if (cl.mode == StartMode::kPrinterJob) {
    if (!services.printer_job) return false;
    auto produced = services.printer_job(cl.path, catalog);
    if (!produced) return false;
    document = *produced;
  }

  WriteDefaultSettings(catalog, prompt);

  if (cl.mode == StartMode::kExport) {
    ExportCabinet(cl.path, catalog, services);
    return false;
  }
  ApplyProxySettings(LoadProxySettings(settings_key_));
  RunCertInstallerOnce(catalog, prompt, kAppCaption);
  if (services.main_window && !services.main_window(Trim(document), catalog)) exit_status_ = 1;
  return false;
}

void CViewerApp::WriteDefaultSettings(const CMessageTable& catalog, Prompt& prompt) {
  platform::RegKey key;
  if (platform::RegCreateKey(RegHive::kCurrentUser, settings_key_, key) != 0) return;
  auto path = [this](const char* value) { return settings_key_ + "\\" + value; };
  auto read_string = [&](const char* value) {
    return CRegString(path(value), kMissingString, true, RegHive::kCurrentUser).Get();
  };

  // A failed write leaves the value missing; the next start tries again.
  if (read_string(kValueTsaHost) == kMissingString)
    platform::RegSetString(key, kValueTsaHost, kDefaultTsaHost);
  if (read_string(kValueTsaOid) == kMissingString)
    platform::RegSetString(key, kValueTsaOid, kRegDefaultTsaOidSigning);

  const std::string crl_urls = read_string(kValueCrlUrls);
  if (crl_urls == kMissingString) {
    std::string list;
    for (auto url : kDefaultCrlUrls) {
      if (!list.empty()) list += "\r\n";
      list += url;
    }
    platform::RegSetString(key, kValueCrlUrls, list);
  } else {
    const char* guards[] = {nullptr, kValueVeredove1AskMark, kValueVeredove2AskMark};
    auto result = MigrateCrlUrls(
        crl_urls,
        [&](int n) { return CRegDword(path(guards[n]), 0, true, RegHive::kCurrentUser).Get() != 0; },
        [&] {
          std::string text;
          catalog.Get(text, 311,
                      "Znaleziono starą konfigurację programu zawierającą nieaktualny\nadres listy CRL. Aby "
                      "zmienić nieaktualny adres naciśnij OK,\naby pozostawić obecne wpisy, naciśnij "
                      "Anuluj.\nUwaga! Jeżeli naciśniesz Anuluj program nie będzie proponował "
                      "zmiany\nponownie, może też nie być w stanie zweryfikować poprawnie podpisów.");
          return prompt.ShowMessage(311, text, kAppCaption,
                                    MB_OKCANCEL | MB_ICONEXCLAMATION | MB_SYSTEMMODAL) == IDOK;
        },
        [&](int n) { platform::RegSetDword(key, guards[n], 1); });
    if (result.changed) platform::RegSetString(key, kValueCrlUrls, result.list);
  }

  if (CRegDword(path(kValueTsaSignReq), kMissingDword, true, RegHive::kCurrentUser).Get() == kMissingDword)
    platform::RegSetDword(key, kValueTsaSignReq, 1);
}

void CViewerApp::ExportCabinet(const std::string& source, const CMessageTable& catalog,
                               StartupServices& services) {
  Prompt& prompt = *services.prompt;
  FileDialogRequest request{"cab", DefaultCabinetName(source), "Archiwum CAB|*.cab||",
                            OFN_HIDEREADONLY | OFN_EXTENSIONDIFFERENT};
  const auto target = AskSaveTarget(prompt, catalog, request, kAppCaption);
  if (!target) return;
  const bool ok = services.create_cabinet && services.create_cabinet({source, services.own_executable}, *target);
  if (!ok) {
    std::string text;
    catalog.Get(text, 246, "Nieudana próba stworzenia archiwum!");
    prompt.ShowMessage(246, text, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
  }
}

}  // namespace vel::app
