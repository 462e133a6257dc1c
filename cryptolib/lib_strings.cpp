// Label tables of the certificate windows.
#include "cryptolib/lib_strings.h"

#include <algorithm>
#include <iterator>

#include "cryptolib/status.h"

namespace vel::crypto::ui {
namespace {

// Sorted by id for the binary search.
constexpr LabelRow kLabels[] = {
    {2, "Certificate", "Certyfikat"},
    {3, "General", "Ogólne"},
    {4, "Details", "Szczegóły"},
    {5, "Certification path", "Ścieżka certyfikacji"},
    {6, "Subject", "Właściciel certyfikatu"},
    {7, "Attribute name", "Nazwa pola"},
    {8, "Attribute value", "Wartość pola"},
    {9, "Issuer", "Wydawca certyfikatu"},
    {10, "Attribute name", "Nazwa pola"},
    {11, "Attribute value", "Wartość pola"},
    {12, "Validity period", "Termin ważności"},
    {13, "from:", "od:"},
    {14, "to:", "do:"},
    {15, "Valid from", "Ważny od"},
    {16, "Valid to", "Ważny do"},
    {17, "Close", "Zamknij"},
    {18, "Serial number", "Numer seryjny certyfikatu"},
    {19, "Certificate version", "Wersja certyfikatu"},
    {20, "Public key", "Klucz publiczny"},
    {21, "Certificate type", "Typ certyfikatu"},
    {22, "Key usage", "Przeznaczenie klucza"},
    {23, "Enchanced key usage", "Przeznaczenie certyfikatu"},
    {24, "Certification policy", "Polityka certyfikacji"},
    {25, "ID", "Identyfikator"},
    {26, "ID", "ID"},
    {27, "UserNotice", "Opis"},
    {28, "UserNotice", "Opis"},
    {29, "CPS", "Adres polityki"},
    {30, "CPS", "CPS"},
    {31, "Subject alternative name", "Alternatywna nazwa podmiotu"},
    {32, "Detailed information", "Informacje szczegółowe"},
    {33, "Attribute name", "Nazwa pola"},
    {34, "Attribute value", "Wartość pola"},
    {35, "Certification path details", "Szczegóły ścieżki certyfikacji"},
    {36, "Issuer certificate missing.", "Nie znaleziono certyfikatu wystawcy."},
    {37, "2.5.29.32.0", "2.5.29.32.0"},
    {38, "Any policy.", "Wszystkie polityki certyfikacji"},
    {39, "rfc822Name (e-mail)", "rfc822Name (adres e-mail)"},
    {40, "End entity", "Certyfikat użytkownika końcowego"},
    {41, "Certification authority", "Certyfikat urzędu certyfikacji"},
    {42, "ERROR! Unable to parse extension.",
     "__BC_BŁĄD_ Skontaktuj sie z producentem programu.__"},
    {43, "QC statements", "Deklaracje wydawcy"},
    {44, "Certyfikat został wydany jako certyfikat kwalifikowany.",
     "Certyfikat został wydany jako certyfikat kwalifikowany."},
    {45, "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: ",
     "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: "},
    {46, "Podmiot składający podpis działa we własnym imieniu.",
     "Podmiot składający podpis działa we własnym imieniu."},
    {47,
     "Podmiot składający podpis działa jako przedstawiciel innej osoby fizycznej, osoby "
     "prawnej, albo jednostki organizacyjnej nieposiadającej osobowości prawnej.",
     "Podmiot składający podpis działa jako przedstawiciel innej osoby fizycznej, osoby "
     "prawnej, albo jednostki organizacyjnej nieposiadającej osobowości prawnej."},
    {48,
     "Podmiot składający podpis działa w charakterze członka organu albo organu osoby "
     "prawnej, albo jednostki organizacyjnej nieposiadającej osobowości prawnej.",
     "Podmiot składający podpis działa w charakterze członka organu albo organu osoby "
     "prawnej, albo jednostki organizacyjnej nieposiadającej osobowości prawnej."},
    {49, "Podmiot składający podpis działa jako organ władzy publicznej.",
     "Podmiot składający podpis działa jako organ władzy publicznej."},
    {61, "Select certificate", "Wybierz certyfikat"},
    {62, "Subject", "Wydany dla"},
    {63, "Issuer", "Wydany przez"},
    {64, "Serial number", "Numer seryjny"},
    {65, "Valid to", "Ważny do"},
    {66, "Show certificate", "Pokaż certyfikat"},
    {67, "Select", "Wybierz"},
    {68, "Cancel", "Anuluj"},
    {69, "Select certificate.", "Wybierz certyfikat."},
    {70, "Select certificate.", "Wybierz certyfikat."},
    {101, "Digital signature", "Podpis cyfrowy"},
    {102, "Non-Repudiation", "Usługa niezaprzeczalności"},
    {103, "Key encipherment", "Szyfrowanie klucza"},
    {104, "Data encipherment", "Szyfrowanie danych"},
    {105, "Key agreement", "Uzgadnianie kluczy"},
    {106, "Certificate signing", "Podpisywanie certyfikatu"},
    {107, "CRL signing", "Podpisywanie CRL"},
    {108, "Encipher only", "Wyłącznie szyfrowanie danych"},
    {109, "Decipher only", "Wyłącznie deszyfrowanie danych"},
    {110, "Unrecognized", "Nierozpoznane przeznaczenie"},
    {111, "Server authentication", "Autentykacja serwera"},
    {112, "Client authentication", "Autentykacja klienta"},
    {113, "Code signing", "Podpisywanie kodu"},
    {114, "Email protection", "Zabezpieczanie poczty"},
    {115, "IPsec end system", "System końcowy IPsec"},
    {116, "IPsec tunnel", "Tunel IPsec"},
    {117, "IPsec user", "Użytkownik IPsec"},
    {118, "Timestamp signing", "Znakowanie czasem"},
    {119, "Smartcard logon", "Logowanie kartą"},
    {120, "OCSP signing", "Podpisywanie OCSP"},
    {201, "Common name", "Nazwa powszechna"},
    {202, "Surname", "Nazwisko"},
    {203, "Serial number", "Numer seryjny"},
    {204, "Country", "Kraj"},
    {205, "Locality", "Miejscowość"},
    {206, "State", "Województwo"},
    {207, "Organization", "Organizacja"},
    {208, "Organizational unit", "Jednostka organizacyjna"},
    {209, "Title", "Funkcja/pozycja"},
    {210, "Description", "Opis"},
    {211, "Postal address", "Adres"},
    {212, "Given name", "Imię"},
    {213, "Pseudonym", "Pseudonim"},
};

static_assert(LabelRowsSorted(kLabels), "label rows must be sorted by id");

}  // namespace

const LabelRow* FindLabelRow(std::span<const LabelRow> rows, uint32_t id) {
  const auto it = std::lower_bound(rows.begin(), rows.end(), id,
                                   [](const LabelRow& l, uint32_t v) { return l.id < v; });
  return it != rows.end() && it->id == id ? &*it : nullptr;
}

const char* LabelInLanguage(const LabelRow* row, const char* missing_en, const char* missing_pl) {
  switch (LanguageId.load()) {
    case kLanguageEnglish:
      return row != nullptr ? row->en : missing_en;
    case kLanguagePolish:
      return row != nullptr ? row->pl : missing_pl;
    default:
      return kUnknownLanguageText;
  }
}

const char* GetCertLabelEn(uint32_t id) {
  const LabelRow* l = FindLabelRow(kLabels, id);
  return l != nullptr ? l->en : kNoLabelText;
}

const char* GetCertLabelPl(uint32_t id) {
  const LabelRow* l = FindLabelRow(kLabels, id);
  return l != nullptr ? l->pl : kNoLabelText;
}

const char* GetLibString(uint32_t id) {
  return LabelInLanguage(FindLabelRow(kLabels, id), kNoLabelText, kNoLabelText);
}

}  // namespace vel::crypto::ui
