// Status codes of the crypto library, their texts in English and Polish, and
// the process-wide language word that chooses between the two.
#pragma once

#include <atomic>
#include <cstdint>

namespace vel::crypto {

// 0 is success; otherwise a Win32 error, a CryptoAPI / smart-card HRESULT, or
// one of the library's own codes below.
using LibraryErrorCode = uint32_t;

// An HTTP exchange that ended with status s (300..599) reports this base + s.
inline constexpr LibraryErrorCode LIB_E_HTTP_STATUS_BASE = 0xE0000000;
// An LDAP search for a revocation list returned more than one entry.
inline constexpr LibraryErrorCode LIB_E_LDAP_MULTIPLE_RESPONSES = 0xE0000001;
// No current certificate in the context, or a certificate / CRL argument is missing.
inline constexpr LibraryErrorCode LIB_E_NO_CERTIFICATE = 0xE0000002;
// Has a text; nothing raises it.
inline constexpr LibraryErrorCode LIB_E_CONTEXT_NOT_INITIALIZED = 0xE0000003;

inline constexpr uint32_t kLanguagePolish = 1045;
inline constexpr uint32_t kLanguageEnglish = 1033;

// 1045 at start, 1033 after SetLanguage("en"). Window threads read it while the
// user-interface thread may set it, hence atomic.
extern std::atomic<uint32_t> LanguageId;

// Text of a code in the current language; never null, valid for the process
// life (UTF-8). A code without a row gives "Unknown error." / "Nieznany błąd.".
const char* GetErrorText(LibraryErrorCode code);
const char* GetErrorTextEn(LibraryErrorCode code);
const char* GetErrorTextPl(LibraryErrorCode code);

// "pl" stores 1045, "en" stores 1033 (case-insensitive), both return 0; any
// other text (empty or null included) returns 87 and leaves the language alone.
LibraryErrorCode SetLanguage(const char* language);

}  // namespace vel::crypto
