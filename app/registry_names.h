// Every key, value name and default of the program's settings, in one place.
// Names compare without regard to case, so "Software" and "SOFTWARE" name the
// same key, and "Veredove1AskMark" the same value as "VEREDOVE1ASKMARK".
#pragma once

#include <cstdint>

namespace vel::app {

// ---- Keys ----------------------------------------------------------------
// Machine settings (HKEY_LOCAL_MACHINE), written by the installation.
inline constexpr char kMachineKey[] = "SOFTWARE\\Marvot-TI\\VELDOC";
// User settings (HKEY_CURRENT_USER); the same path as the machine key.
inline constexpr char kUserKey[] = "Software\\Marvot-TI\\VELDOC";
// Settings of the older edition (HKEY_CURRENT_USER, and HKEY_LOCAL_MACHINE for
// its CRL list): read, never written.
inline constexpr char kOlderEditionKey[] = "SOFTWARE\\Marvot-TI\\VellorumVestPro";

// Subkeys.
inline constexpr char kSubkeyNetwork[] = "ustawieniaSieci";   // protected proxy credentials
inline constexpr char kSubkeyCertificates[] = "Certyfikaty";  // machine: CA certificates to install
inline constexpr char kSubkeyOlderCrl[] = "CRL";              // older edition: one value per CRL address
inline constexpr char kSubkeyOlderArchive[] = "archiwum";     // older edition: archive settings

// ---- Machine values (kMachineKey) ------------------------------------------
inline constexpr char kValueLangId[] = "LangID";                  // DWORD
inline constexpr char kValueGraphicsFormat[] = "GraphicsFormat";  // REG_SZ
inline constexpr char kValueLastInstall[] = "LastInstall";        // REG_SZ, marker format
// In kSubkeyCertificates:
inline constexpr char kValueGlobalCertInstall[] = "GlobalCertInstall";  // DWORD
// In each subkey of kSubkeyCertificates:
inline constexpr char kValueCertName[] = "Name";              // REG_SZ
inline constexpr char kValueCertParentName[] = "ParentName";  // REG_SZ
inline constexpr char kValueCertUrl[] = "Url";                // REG_SZ
inline constexpr char kValueCertStoreName[] = "StoreName";    // REG_SZ
inline constexpr char kValueCertStoreType[] = "StoreType";    // REG_SZ
inline constexpr char kValueCertMark[] = "Mark";              // REG_SZ
inline constexpr char kValueCertIsQualified[] = "IsQualified";  // DWORD

// ---- User values (kUserKey) --------------------------------------------------
inline constexpr char kValueTsaHost[] = "TSAHOST";                    // REG_SZ
inline constexpr char kValueTsaOid[] = "TSAOID";                      // REG_SZ
inline constexpr char kValueTsaSignReq[] = "TSASIGNREQ";              // DWORD
inline constexpr char kValueCrlUrls[] = "CRLURLS";                    // REG_SZ, lines separated by CR LF
inline constexpr char kValueCrlGetAlways[] = "CRLGETALWAYS";          // DWORD
inline constexpr char kValueProxyEnabled[] = "ProxyEnabled";          // DWORD
inline constexpr char kValueProxyAuthEnabled[] = "ProxyAuthEnabled";  // DWORD
inline constexpr char kValueProxyName[] = "ProxyName";                // REG_SZ
inline constexpr char kValueProxyPort[] = "ProxyPort";                // REG_SZ
inline constexpr char kValueKdocAskSave[] = "KDOCASKSAVE";            // DWORD
inline constexpr char kValueVeredove1AskMark[] = "VEREDOVE1ASKMARK";  // DWORD
inline constexpr char kValueVeredove2AskMark[] = "VEREDOVE2ASKMARK";  // DWORD
inline constexpr char kValueUserMarker[] = "znacznik";                // REG_SZ, marker format
// In kSubkeyNetwork, protected (see ProtectSetting):
inline constexpr char kValueProxyUsr[] = "ProxyUsr";  // REG_SZ
inline constexpr char kValueProxyPwd[] = "ProxyPwd";  // REG_SZ

// ---- Values of the older edition (kOlderEditionKey) ---------------------------
inline constexpr char kValueOlderVeredove1AskMark[] = "Veredove1AskMark";  // DWORD
inline constexpr char kValueOlderVeredove2AskMark[] = "Veredove2AskMark";  // DWORD
// In kSubkeyNetwork of the older key ("1" switches on); ProxyName, ProxyPort,
// ProxyUsr and ProxyPwd have the current names.
inline constexpr char kValueOlderChkProxy[] = "chkProxy";          // REG_SZ
inline constexpr char kValueOlderChkProxyAuth[] = "chkProxyAuth";  // REG_SZ
// In kSubkeyOlderArchive:
inline constexpr char kValueOlderArchiveValidity[] = "waznosc";  // DWORD, days

// ---- Value meanings ------------------------------------------------------------
inline constexpr uint32_t kLangIdEnglish = 1033;  // any other LangID means Polish
inline constexpr uint32_t kLangIdPolish = 1045;
inline constexpr char kGraphicsFormatEmf[] = "EMF";
inline constexpr char kGraphicsFormatBmp[] = "BMP";  // case-sensitive; anything else means EMF

// ---- Defaults when a value is missing --------------------------------------------
inline constexpr uint32_t kRegDefaultLangId = kLangIdPolish;
inline constexpr char kRegDefaultGraphicsFormat[] = "EMF";
inline constexpr char kRegDefaultLastInstall[] = "";
inline constexpr uint32_t kRegDefaultGlobalCertInstall = 0;
inline constexpr char kRegDefaultCertText[] = "";  // Name, ParentName, Url, StoreName, StoreType, Mark
inline constexpr uint32_t kRegDefaultCertIsQualified = 0;

inline constexpr char kRegDefaultTsaHost[] = "";
inline constexpr char kRegDefaultTsaOidSettingsPage[] = "";
inline constexpr char kRegDefaultTsaOidSigning[] = "1.2.616.1.170238.10.2.1.0";
inline constexpr uint32_t kRegDefaultTsaSignReq = 1;
inline constexpr char kRegDefaultCrlUrls[] = "";
inline constexpr uint32_t kRegDefaultCrlGetAlways = 0;
inline constexpr uint32_t kRegDefaultProxyEnabled = 0;
inline constexpr uint32_t kRegDefaultProxyAuthEnabled = 0;
inline constexpr char kRegDefaultProxyName[] = "";
inline constexpr char kRegDefaultProxyPort[] = "0";
inline constexpr char kRegDefaultProxyPortSettingsPage[] = "";
inline constexpr char kRegDefaultProxyCredential[] = "";  // ProxyUsr, ProxyPwd
inline constexpr uint32_t kRegDefaultKdocAskSave = 0;
inline constexpr uint32_t kRegDefaultAskMark = 0;  // both guards, current and older edition
inline constexpr char kRegDefaultUserMarker[] = "";
inline constexpr char kRegDefaultOlderProxyPort[] = "0";
inline constexpr uint32_t kRegDefaultOlderArchiveValidity = 0;

}  // namespace vel::app
