#include "cryptolib/status.h"

#include <gtest/gtest.h>

#include "platform/testing/test_support.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vel::crypto {
namespace {

constexpr std::string_view kDefaultEn = "Unknown error.";
constexpr std::string_view kDefaultPl = "Nieznany błąd.";


// Every test leaves the process in the start-up language.
class StatusTest : public ::testing::Test {
 protected:
  void TearDown() override { LanguageId.store(kLanguagePolish); }
};

// Must stay the first test of the file: it sees the language of a fresh process.
TEST(StatusStart, LanguageIsPolishAtStart) {
  EXPECT_EQ(LanguageId.load(), kLanguagePolish);
  EXPECT_STREQ(GetErrorText(0), "Operacja wykonana poprawnie.");
}

struct TextCase {
  LibraryErrorCode code;
  const char* en;
  const char* pl;
};

// A sample of rows, chosen where a slip is likely: shared sentences, look-alike
// codes with different texts, the library's own codes, diacritics.
constexpr TextCase kTextCases[] = {
    {0, "The operation completed successfully.", "Operacja wykonana poprawnie."},
    {2, "Object or file not found.", "Nie znaleziono pliku lub obiektu."},
    {3, "Object or file not found.", "Nie znaleziono pliku lub obiektu."},
    {5, "Access is denied.", "Brak dostępu do pliku lub obiektu."},
    {87, "The parameter is incorrect.", "Podano błędną wartość parametru."},
    {234, "More data is available.", "Zadano bufor o zbyt małym rozmiarze."},
    {1223, "The operation was canceled by the user.", "Operacja została przerwana przez użytkownika."},
    {1359, "An internal error occurred.", "Nieoczekiwany błąd wewnętrzny."},
    {0x80090020, "An internal error occurred.", "Niespodziewany błąd wewnętrzny."},
    {1460, "This operation returned because the timeout period expired.",
     "Przekroczony czas oczekiwania na odpowiedź."},
    {0x80070005, "General access denied error.", "Brak dostępu."},
    {0x80090005, "Bad Data.", "Niepoprawne dane wejściowe."},
    {0x80091007, "Data has been changed.", "Dokument został zmieniony."},
    {0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index.",
     "Podpis o podanym indeksie nie istnieje."},
    {0x80092012, "The revocation function was unable to check revocation for the certificate.",
     "Nieudana próba sprawdzenia ważności certyfikatu."},
    {0x800B0102, "The validity periods of the certification chain do not nest correctly.",
     "Certyfikaty w ścieżce certyfikacji nie są poprawnie zawarte w ramach terminów ważności."},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority.",
     "Nie można zweryfikować ścieżki certyfikacji."},
    {0x800B010C, "A certificate was explicitly revoked by its issuer.", "Certyfikat został cofnięty."},
    {0x8010002A, "The supplied PIN is incorrect.", "Nieprawidłowy PIN."},
    {0x8010006B, "The supplied PIN is incorrect.", "Nieprawidłowy PIN."},
    {0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached.",
     "Karta została zablokowana po przekroczeniu dopuszczalnej liczby prób wprowadzenia PIN-u."},
    {0x80092004, "Cannot find object or property.", "Nie znaleziono obiektu lub jego właściwości."},
    {LIB_E_LDAP_MULTIPLE_RESPONSES, "LDAP request has returned multiple response.",
     "Zapytanie LDAP zwróciło więcej niż jeden rekord."},
    {LIB_E_NO_CERTIFICATE, "No certificate has been selected.", "Nie wybrano żadnego certyfikatu."},
    {LIB_E_CONTEXT_NOT_INITIALIZED, "X509 context has not been initialized.",
     "Kontekst X509 nie został poprawnie zainicjalizowany."},
    {0xE000012C, "HTTP: (300) Multiple Choices.", "HTTP: (300) Multiple Choices."},
    {0xE0000130, "HTTP: (304) Not Modified.", "HTTP: (304) Niezmodyfikowany"},
    {0xE0000133, "HTTP: (307) Temporary Redirect.",
     "HTTP: (307) Żądany zasób został tymczasowo przeniesiony w inne miejsce."},
    {0xE0000190, "HTTP: (400) Bad Request.", "HTTP: (400) Złe żądanie. Server nie rozumie żądania"},
    {0xE0000197, "HTTP: (407) Proxy Authentication Required.", "HTTP: (407) Wymagana autoryzaja proxy."},
    {0xE00001A1, "HTTP: (417) Expectation Failed.", "HTTP: (417) Expectation Failed."},
    {0xE00001F9, "HTTP: (505) HTTP Version not supported.",
     "HTTP: (505) Wersja protokołu HTTP nie jest wspierana."},
};

TEST_F(StatusTest, RowsInBothLanguages) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << c.code);
    EXPECT_STREQ(GetErrorTextEn(c.code), c.en);
    EXPECT_STREQ(GetErrorTextPl(c.code), c.pl);
    EXPECT_TRUE(test::IsValidUtf8(GetErrorTextPl(c.code)));
    ASSERT_EQ(SetLanguage("en"), 0u);
    EXPECT_STREQ(GetErrorText(c.code), c.en);
    ASSERT_EQ(SetLanguage("pl"), 0u);
    EXPECT_STREQ(GetErrorText(c.code), c.pl);
  }
}

TEST_F(StatusTest, CodesWithoutRowGiveDefault) {
  constexpr LibraryErrorCode kCodes[] = {
      1,           4,          14,         32,         1155,       0x80004001, 0x80070006,
      0x8009200C,  0x800B0100, 0x8010006D, 0xE0000000, 0xE0000004, 0xE0000132 /* 306 */,
      0xE00001A2 /* 418 */,    0xE00001F3 /* 499 */,   0xE00001FA /* 506 */,   0xE0000257 /* 599 */,
      0xE0000258 /* 600 */,    0xE000012B /* 299 */,   0xFFFFFFFF,
  };
  for (LibraryErrorCode code : kCodes) {
    SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << code);
    EXPECT_EQ(GetErrorTextEn(code), kDefaultEn);
    EXPECT_EQ(GetErrorTextPl(code), kDefaultPl);
    EXPECT_EQ(GetErrorText(code), kDefaultPl);
  }
}

// HTTP statuses 300..305, 307, 400..417 and 500..505 have rows, each named by
// its number; every other status falls back to the default text.
TEST_F(StatusTest, HttpRowsAndGaps) {
  for (uint32_t s = 250; s <= 650; ++s) {
    SCOPED_TRACE(::testing::Message() << "HTTP " << s);
    const bool hasRow =
        (s >= 300 && s <= 305) || s == 307 || (s >= 400 && s <= 417) || (s >= 500 && s <= 505);
    const LibraryErrorCode code = LIB_E_HTTP_STATUS_BASE + s;
    if (hasRow) {
      const std::string prefix = "HTTP: (" + std::to_string(s) + ") ";
      EXPECT_EQ(std::string(GetErrorTextEn(code)).rfind(prefix, 0), 0u) << GetErrorTextEn(code);
      EXPECT_EQ(std::string(GetErrorTextPl(code)).rfind(prefix, 0), 0u) << GetErrorTextPl(code);
      EXPECT_TRUE(test::IsValidUtf8(GetErrorTextPl(code)));
    } else {
      EXPECT_EQ(GetErrorTextEn(code), kDefaultEn);
      EXPECT_EQ(GetErrorTextPl(code), kDefaultPl);
    }
  }
}

TEST_F(StatusTest, TextsStayValidForTheProcess) {
  const char* before = GetErrorTextPl(0x800B010C);
  ASSERT_EQ(SetLanguage("en"), 0u);
  EXPECT_EQ(GetErrorText(0x800B010C), GetErrorTextEn(0x800B010C));
  EXPECT_EQ(GetErrorTextPl(0x800B010C), before);  // same constant, not a copy
}

struct LanguageCase {
  const char* text;
  LibraryErrorCode result;
  uint32_t language;  // 0: unchanged
};

constexpr LanguageCase kLanguageCases[] = {
    {"pl", 0, kLanguagePolish},  {"PL", 0, kLanguagePolish},  {"pL", 0, kLanguagePolish},
    {"en", 0, kLanguageEnglish}, {"En", 0, kLanguageEnglish}, {"EN", 0, kLanguageEnglish},
    {"english", 87, 0},          {"", 87, 0},                 {nullptr, 87, 0},
    {"e", 87, 0},                {"enx", 87, 0},              {"plx", 87, 0},
    {" en", 87, 0},              {"en ", 87, 0},              {"de", 87, 0},
    {"polski", 87, 0},           {"\xC4\x99n", 87, 0},
};

TEST_F(StatusTest, SetLanguageCases) {
  for (uint32_t start : {kLanguagePolish, kLanguageEnglish}) {
    for (const LanguageCase& c : kLanguageCases) {
      SCOPED_TRACE(::testing::Message() << "start " << start << ", text \"" << (c.text ? c.text : "(null)") << "\"");
      LanguageId.store(start);
      EXPECT_EQ(SetLanguage(c.text), c.result);
      EXPECT_EQ(LanguageId.load(), c.language != 0 ? c.language : start);
    }
  }
}

TEST_F(StatusTest, LanguageSwitchChangesLookups) {
  EXPECT_STREQ(GetErrorText(0), "Operacja wykonana poprawnie.");
  ASSERT_EQ(SetLanguage("en"), 0u);
  EXPECT_STREQ(GetErrorText(0), "The operation completed successfully.");
  EXPECT_STREQ(GetErrorText(0x12345678), "Unknown error.");
  EXPECT_EQ(SetLanguage("english"), 87u);
  EXPECT_STREQ(GetErrorText(0), "The operation completed successfully.");
  ASSERT_EQ(SetLanguage("Pl"), 0u);
  EXPECT_STREQ(GetErrorText(0x12345678), "Nieznany błąd.");
}

}  // namespace
}  // namespace vel::crypto
