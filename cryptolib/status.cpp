#include "cryptolib/status.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace vel::crypto {

std::atomic<uint32_t> LanguageId{kLanguagePolish};

namespace {

struct StatusText {
  LibraryErrorCode code;
  const char* en;
  const char* pl;
};

// Sorted by code. The HTTP rows are LIB_E_HTTP_STATUS_BASE + status; 306,
// 418..499 and 506..599 have no row and fall back to the default text.
constexpr StatusText kStatusTexts[] = {
    {0, "The operation completed successfully.",
     "Operacja wykonana poprawnie."},
    {2, "Object or file not found.",
     "Nie znaleziono pliku lub obiektu."},
    {3, "Object or file not found.",
     "Nie znaleziono pliku lub obiektu."},
    {5, "Access is denied.",
     "Brak dostępu do pliku lub obiektu."},
    {6, "The handle is invalid.",
     "Podano niepoprawny uchwyt do struktury."},
    {8, "Not enough storage is available to process this command.",
     "Wystąpił brak pamięci."},
    {13, "The data is invalid.",
     "Niepoprawne dane wejściowe."},
    {87, "The parameter is incorrect.",
     "Podano błędną wartość parametru."},
    {120, "This function is not supported on this system.",
     "Funkcja niezaimplementowana w obecnej wersji systemu."},
    {234, "More data is available.",
     "Zadano bufor o zbyt małym rozmiarze."},
    {1114, "A dynamic link library (DLL) initialization routine failed.",
     "Nieudana inicjalizacja biblioteki systemowej."},
    {1223, "The operation was canceled by the user.",
     "Operacja została przerwana przez użytkownika."},
    {1359, "An internal error occurred.",
     "Nieoczekiwany błąd wewnętrzny."},
    {1460, "This operation returned because the timeout period expired.",
     "Przekroczony czas oczekiwania na odpowiedź."},
    {0x80070005, "General access denied error.",
     "Brak dostępu."},
    {0x80070057, "One or more arguments are invalid.",
     "Niepoprawny argument."},
    {0x80090003, "Bad Key.",
     "Błędny klucz."},
    {0x80090004, "Bad Length.",
     "Błędny rozmiar danych."},
    {0x80090005, "Bad Data.",
     "Niepoprawne dane wejściowe."},
    {0x80090006, "Invalid Signature.",
     "Niepoprawny podpis."},
    {0x80090008, "Invalid algorithm specified.",
     "Błędny algorytm."},
    {0x8009000D, "Key does not exist.",
     "Nie znaleziono klucza prywatnego."},
    {0x8009000E, "Insufficient memory available for the operation.",
     "Brak pamięci do wykonania operacji."},
    {0x80090016, "Keyset does not exist.",
     "Obiekt kluczy nie został znaleziony."},
    {0x80090019, "The keyset is not defined.",
     "Obiekt kluczy nie został utworzony."},
    {0x80090020, "An internal error occurred.",
     "Niespodziewany błąd wewnętrzny."},
    {0x80091002, "Unknown cryptographic algorithm.",
     "Zadano nieznany typ algorytmu kryptograficznego."},
    {0x80091003, "The object identifier (OID) is poorly formatted.",
     "Niepoprawny identyfikator (OID)."},
    {0x80091004, "Invalid cryptographic message type.",
     "Dane wejściowe niewłaściwego typu."},
    {0x80091007, "Data has been changed.",
     "Dokument został zmieniony."},
    {0x80091008, "The index value is not valid.",
     "Zadany indeks jest nieprawidłowy."},
    {0x80091009, "The content of the cryptographic message has already been decrypted.",
     "Dane są już odszyfrowane."},
    {0x8009100A, "The content of the cryptographic message has not been decrypted yet.",
     "Dane nie zostały jeszcze odszyfrowane."},
    {0x8009100F, "The cryptographic message does not contain all of the requested attributes.",
     "Oczekiwany atrybut nie został znaleziony."},
    // 0x80092004 and 0x8010006C are raised by our key and message code where
    // the platform would have raised them; without a row the person would read only "Unknown error.".
    {0x80092004, "Cannot find object or property.",
     "Nie znaleziono obiektu lub jego właściwości."},
    {0x8009200B, "Cannot find the certificate and private key for decryption.",
     "Nie znaleziono klucza prywatnego do deszyfrowania/podpisu."},
    {0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index.",
     "Podpis o podanym indeksie nie istnieje."},
    {0x80092012, "The revocation function was unable to check revocation for the certificate.",
     "Nieudana próba sprawdzenia ważności certyfikatu."},
    {0x80093102, "ASN1 unexpected end of data.",
     "Błędny format danych (nieoczekiwany koniec danych)."},
    {0x8009310B, "ASN1 bad tag value met.",
     "Błędny format danych."},
    {0x80096004, "The signature of the certificate can not be verified.",
     "Nie można zweryfikować podpisu certyfikatu."},
    {0x800B0101, "A required certificate is not within its validity period.",
     "Certyfikat poza okresem ważności."},
    {0x800B0102, "The validity periods of the certification chain do not nest correctly.",
     "Certyfikaty w ścieżce certyfikacji nie są poprawnie zawarte w ramach terminów ważności."},
    {0x800B0106, "A certificate being used for a purpose other than the ones specified by its CA.",
     "Próba użycia certyfikatu niezgodnie z zadanym przeznaczeniem."},
    {0x800B0109, "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider.",
     "Certyfikat Urzędu nie jest na liście certyfikatów zaufanych."},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority.",
     "Nie można zweryfikować ścieżki certyfikacji."},
    {0x800B010C, "A certificate was explicitly revoked by its issuer.",
     "Certyfikat został cofnięty."},
    {0x8010002A, "The supplied PIN is incorrect.",
     "Nieprawidłowy PIN."},
    {0x8010002E, "Cannot find a smart card reader.",
     "Nie znaleziono czytnika kart mikroprocesorowych."},
    {0x8010006B, "The supplied PIN is incorrect.",
     "Nieprawidłowy PIN."},
    {0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached.",
     "Karta została zablokowana po przekroczeniu dopuszczalnej liczby prób wprowadzenia PIN-u."},
    {0xE0000001, "LDAP request has returned multiple response.",
     "Zapytanie LDAP zwróciło więcej niż jeden rekord."},
    {0xE0000002, "No certificate has been selected.",
     "Nie wybrano żadnego certyfikatu."},
    {0xE0000003, "X509 context has not been initialized.",
     "Kontekst X509 nie został poprawnie zainicjalizowany."},
    {0xE000012C, "HTTP: (300) Multiple Choices.",
     "HTTP: (300) Multiple Choices."},
    {0xE000012D, "HTTP: (301) Moved Permanently.",
     "HTTP: (301) Przeniesiony permanentnie."},
    {0xE000012E, "HTTP: (302) Found.",
     "HTTP: (302) Znaleziono."},
    {0xE000012F, "HTTP: (303) See Other.",
     "HTTP: (303) Żądana strona została przeniesiona i jest dostępna pod innym adresem."},
    {0xE0000130, "HTTP: (304) Not Modified.",
     "HTTP: (304) Niezmodyfikowany"},
    {0xE0000131, "HTTP: (305) Use Proxy.",
     "HTTP: (305) Użyj proxy"},
    {0xE0000133, "HTTP: (307) Temporary Redirect.",
     "HTTP: (307) Żądany zasób został tymczasowo przeniesiony w inne miejsce."},
    {0xE0000190, "HTTP: (400) Bad Request.",
     "HTTP: (400) Złe żądanie. Server nie rozumie żądania"},
    {0xE0000191, "HTTP: (401) Unauthorized.",
     "HTTP: (401) Brak autoryzacji."},
    {0xE0000192, "HTTP: (402) Payment Required.",
     "HTTP: (402) Wymagana opłata."},
    {0xE0000193, "HTTP: (403) Forbidden.",
     "HTTP: (403) Dostęp zabroniony."},
    {0xE0000194, "HTTP: (404) Not Found.",
     "HTTP: (404) Dokument nie został znaleziony."},
    {0xE0000195, "HTTP: (405) Method Not Allowed.",
     "HTTP: (405) Zabroniona metoda."},
    {0xE0000196, "HTTP: (406) Not Acceptable.",
     "HTTP: (406) Brak akceptacji. Serwer może wygenerować jedynie odpowiedź, która nie jest akceptowana przez klienta."},
    {0xE0000197, "HTTP: (407) Proxy Authentication Required.",
     "HTTP: (407) Wymagana autoryzaja proxy."},
    {0xE0000198, "HTTP: (408) Request Timeout.",
     "HTTP: (408) Upłynął limit czasu żądania."},
    {0xE0000199, "HTTP: (409) Conflict.",
     "HTTP: (409) Konflikt."},
    {0xE000019A, "HTTP: (410) Gone.",
     "HTTP: (410) Żądany zasób nie jest już dostępny."},
    {0xE000019B, "HTTP: (411) Length Required.",
     "HTTP: (411) Nie podano długości (Content-Length) w treści żądania."},
    {0xE000019C, "HTTP: (412) Precondition Failed.",
     "HTTP: (412) Precondition Failed."},
    {0xE000019D, "HTTP: (413) Request Entity Too Large.",
     "HTTP: (413) Zbyt duże żądanie."},
    {0xE000019E, "HTTP: (414) Request-URI Too Large.",
     "HTTP: (414) Żadany URL jest za duży."},
    {0xE000019F, "HTTP: (415) Unsupported Media Type.",
     "HTTP: (415) Niewspierany rodzaj mediów."},
    {0xE00001A0, "HTTP: (416) Requested Range Not Satisfiable.",
     "HTTP: (416) Zakres żadania jest niewystarczający."},
    {0xE00001A1, "HTTP: (417) Expectation Failed.",
     "HTTP: (417) Expectation Failed."},
    {0xE00001F4, "HTTP: (500) Internal Server Error.",
     "HTTP: (500) Błąd wewnętrzny serwera w odpowiedzi na żądanie."},
    {0xE00001F5, "HTTP: (501) Not Implemented.",
     "HTTP: (501) Nie zaimplementowano niezbędnej funkcjonalności na serwerze."},
    {0xE00001F6, "HTTP: (502) Bad Gateway.",
     "HTTP: (502) Zła brama."},
    {0xE00001F7, "HTTP: (503) Service Unavailable.",
     "HTTP: (503) Serwis niedostępny."},
    {0xE00001F8, "HTTP: (504) Gateway Timeout.",
     "HTTP: (504) Przekroczony limit czasu bramy."},
    {0xE00001F9, "HTTP: (505) HTTP Version not supported.",
     "HTTP: (505) Wersja protokołu HTTP nie jest wspierana."},

};

constexpr bool IsStrictlySorted() {
  for (std::size_t i = 1; i < std::size(kStatusTexts); ++i) {
    if (kStatusTexts[i - 1].code >= kStatusTexts[i].code) return false;
  }
  return true;
}
static_assert(IsStrictlySorted(), "status rows must be sorted for the binary search");

constexpr const char kDefaultEn[] = "Unknown error.";
constexpr const char kDefaultPl[] = "Nieznany błąd.";
constexpr const char kUnknownLanguage[] = "Unknown Language Code.";

const StatusText* FindRow(LibraryErrorCode code) {
  const auto* end = std::end(kStatusTexts);
  const auto* it = std::lower_bound(std::begin(kStatusTexts), end, code,
                                    [](const StatusText& row, LibraryErrorCode c) { return row.code < c; });
  return (it != end && it->code == code) ? it : nullptr;
}

// ASCII-only folding: the only accepted words are ASCII, and a locale-dependent
// fold must not make some other text match.
bool EqualsIgnoringAsciiCase(const char* text, const char* word) {
  for (; *word != '\0'; ++text, ++word) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *word) return false;  // also stops at the end of a shorter text
  }
  return *text == '\0';
}

}  // namespace

const char* GetErrorTextEn(LibraryErrorCode code) {
  const StatusText* row = FindRow(code);
  return row != nullptr ? row->en : kDefaultEn;
}

const char* GetErrorTextPl(LibraryErrorCode code) {
  const StatusText* row = FindRow(code);
  return row != nullptr ? row->pl : kDefaultPl;
}

const char* GetErrorText(LibraryErrorCode code) {
  switch (LanguageId.load()) {
    case kLanguageEnglish:
      return GetErrorTextEn(code);
    case kLanguagePolish:
      return GetErrorTextPl(code);
    default:
      return kUnknownLanguage;
  }
}

LibraryErrorCode SetLanguage(const char* language) {
  if (language == nullptr) return 87;
  if (EqualsIgnoringAsciiCase(language, "pl")) {
    LanguageId.store(kLanguagePolish);
    return 0;
  }
  if (EqualsIgnoringAsciiCase(language, "en")) {
    LanguageId.store(kLanguageEnglish);
    return 0;
  }
  return 87;
}

}  // namespace vel::crypto
