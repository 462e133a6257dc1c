#include "app/message_catalog.h"

#include <gtest/gtest.h>

#include "platform/testing/test_support.h"

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "cryptolib/status.h"

namespace vel::app {
namespace {

constexpr uint32_t kEnglish = 1033;
constexpr uint32_t kPolish = 1045;
constexpr const char kDefault[] = "domyślny tekst wywołującego";


std::string Get(const CMessageTable& table, int id, const char* def = kDefault) {
  std::string out;
  return table.Get(out, id, def);
}

// Which ids each language answers: rows 102, 103, 201..262, 264..448; Polish
// lacks 410, 413, 427..438, 441, 442; English lacks 445..448.
bool HasRow(int id) { return id == 102 || id == 103 || (id >= 201 && id <= 448 && id != 263); }
bool PolishHas(int id) {
  return HasRow(id) && id != 410 && id != 413 && !(id >= 427 && id <= 438) && id != 441 && id != 442;
}
bool EnglishHas(int id) { return HasRow(id) && id <= 444; }

TEST(MessageCatalog, RangesAndGapsOfBothLanguages) {
  const CMessageTextPl pl;
  const CMessageTextEn en;
  int plCount = 0;
  int enCount = 0;
  for (int id = -5; id <= 520; ++id) {
    SCOPED_TRACE(::testing::Message() << "id " << id);
    const char* p = pl.GetText(id);
    const char* e = en.GetText(id);
    ASSERT_EQ(p != nullptr, PolishHas(id));
    ASSERT_EQ(e != nullptr, EnglishHas(id));
    for (const char* text : {p, e}) {
      if (text == nullptr) continue;
      EXPECT_NE(*text, '\0');
      EXPECT_TRUE(test::IsValidUtf8(text)) << text;
    }
    plCount += p != nullptr;
    enCount += e != nullptr;
  }
  EXPECT_EQ(plCount, 249 - 16);
  EXPECT_EQ(enCount, 249 - 4);
  for (int id : {INT_MIN, -1, INT_MAX}) {
    EXPECT_EQ(pl.GetText(id), nullptr);
    EXPECT_EQ(en.GetText(id), nullptr);
  }
}

TEST(MessageCatalog, BaseLanguageAnswersEveryIdWithLocalisationError) {
  const CMessageTextBase base;
  for (int id : {0, 102, 263, 448, 1000}) EXPECT_STREQ(base.GetText(id), "Wystąpił błąd lokalizacji");
}

TEST(MessageCatalog, LanguageChoice) {
  EXPECT_EQ(Get(CMessageTable(kEnglish), 405), "Close");
  for (uint32_t lang : {kPolish, 0u, 1031u, 1034u, 0x10409u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(::testing::Message() << "language " << lang);
    const CMessageTable table(lang);
    EXPECT_EQ(table.GetLanguageId(), lang);
    EXPECT_EQ(Get(table, 405), "Zamknij");
  }
}

struct TextCase {
  int id;
  const char* pl;
  const char* en;
};

// A sample where a slip is likely: escapes, quotes, trailing and doubled
// blanks, diacritics, typographic apostrophes, format strings, shared texts.
constexpr TextCase kTextCases[] = {
    {209, "Plik o nazwie:\n%s\njuż istnieje. Czy chcesz go nadpisać?",
     "The file:\n%s\nalready exist. Do you want to overwrite it?"},
    {222, "Podpis poprawny.", "Correct signature."},
    {255, "Plik jest zablokowany przez inny program.\n ", "The file is blocked by other application."},
    {274, "Wystąpił błąd 0x%08X\n%s\npodczas próby otwarcia dokumentu %s.",
     "An error 0x%08X\n%s\noccurred while attempting to open document %s."},
    {278, "Nie można pokazać informacji. ", "Information cannot be displayed.\n"},
    {349, "Anuluj", "Cancel"},
    {364, "Anuluj", "Cancel"},
    {404, "Anuluj", "Cancel"},
    {371,
     "Uwaga! Jeśli naciśniesz przycisk \"Nie\" pytanie nie zostanie zadane ponownie,\nmogą także wystąpić problemy "
     "z poprawną weryfikacją podpisów.",
     "Attention!If you press \"NO\" the question will not be asked again,\nalso problems with positive verification "
     "might occur."},
    {377,
     "\nOtwarto dokument QERN-DOC.\nAplikacja Vellorum Sign nie wyświetla samodzielnie treści dokumentu.\nAby "
     "odczytać treść dokumentu należy nacisnąć przycisk: Prezentacja treści",
     "\nQERN-DOC document is open.\nVellorumSign does not show the document\u2019s content internally. \nTo read the "
     "document\u2019s content press the button: Show content"},
    {387, "Ustawienia znakowania czasem", "Timestamp configuration "},
    {402, "Pytaj o ścieżkę zapisu pliku KDOC", "Ask for  saving path of KDOC file"},
    {409, "Wystąpił błąd 0x%08X podczas generowania dokumentu.\n(%s).\nAplikacja zostanie zamknięta.",
     "An error has occured 0x%08X during generating file. \n(%s).\nAplication will be closed."},
    {412, "Wystąpił błąd!\nKod błędu : %d", "Error! Code: %d"},
    {414, "Okno programu Vellorum Sign jest już uruchomione.\nZamknij okno a następnie powtórz operację.",
     "Vellorum Sign is already run.\nClose the application, then repeat action."},
    {421, "Nieprawidłowa zawartość pliku \u2013 brak podpisu lub podpis uszkodzony.",
     "Unable to open file. Selected file does not contain signature or the signature is corrupted."},
    {423, "Trwa generowanie pliku KDOC...", "Generating KDOC file..."},
    {426, "Czas ze znacznika: ", "Time from timestamp: "},
};

TEST(MessageCatalog, TextsInBothLanguages) {
  const CMessageTable pl(kPolish);
  const CMessageTable en(kEnglish);
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(::testing::Message() << "id " << c.id);
    EXPECT_EQ(Get(pl, c.id), c.pl);
    EXPECT_EQ(Get(en, c.id), c.en);
  }
}

struct DefaultCase {
  int id;
  uint32_t language;
  const char* polishDefault;
};

// Where the chosen language has no text, the caller's Polish default shows,
// in English too.
constexpr DefaultCase kDefaultCases[] = {
    {0, kPolish, "Próba otwarcie pliku zakończyła się niepowodzeniem."},
    {0, kEnglish, "Próba otwarcie pliku zakończyła się niepowodzeniem."},
    {263, kPolish, kDefault},
    {263, kEnglish, kDefault},
    {101, kPolish, kDefault},
    {104, kEnglish, kDefault},
    {200, kPolish, kDefault},
    {449, kPolish, kDefault},
    {449, kEnglish, kDefault},
    {-1, kEnglish, kDefault},
    {410, kPolish, "Otwórz"},
    {413, kPolish, "\nBrak aplikacji umożliwiającej otwarcie pliku."},
    {432, kPolish, "Ważny do"},
    {445, kEnglish, kDefault},
    {446, kEnglish, kDefault},
    {447, kEnglish, kDefault},
    {448, kEnglish, kDefault},
    {444, kEnglish, nullptr},  // English's last id: it has a text
};

TEST(MessageCatalog, GapsGiveCallersPolishDefault) {
  for (const DefaultCase& c : kDefaultCases) {
    SCOPED_TRACE(::testing::Message() << "id " << c.id << ", language " << c.language);
    const CMessageTable table(c.language);
    if (c.polishDefault == nullptr) {
      EXPECT_NE(Get(table, c.id), kDefault);
    } else {
      EXPECT_EQ(Get(table, c.id, c.polishDefault), c.polishDefault);
    }
  }
  // The same ids in the other language have texts of their own.
  EXPECT_EQ(Get(CMessageTable(kEnglish), 410), "Open");
  EXPECT_EQ(Get(CMessageTable(kEnglish), 413), "\nThere is no application associated.");
  EXPECT_EQ(Get(CMessageTable(kEnglish), 432), "Valid till");
  EXPECT_NE(Get(CMessageTable(kPolish), 448), kDefault);
}

TEST(MessageCatalog, GetReplacesOutputAndReturnsIt) {
  const CMessageTable table(kPolish);
  std::string out = "previous content";
  std::string& result = table.Get(out, 357, kDefault);
  EXPECT_EQ(&result, &out);
  EXPECT_EQ(out, "Ustawienia");
  table.Get(out, 263, "");
  EXPECT_EQ(out, "");
  table.Get(out, 263, nullptr);  // a missing default gives an empty text, not a crash
  EXPECT_EQ(out, "");
}

struct FormatCase {
  uint32_t catalogLanguage;
  const char* libraryLanguage;
  uint32_t code;
  const char* expected;
};

// The status text follows the crypto library's language, the catalog's texts
// the catalog's own.
constexpr FormatCase kFormatCases[] = {
    {kPolish, "pl", 32, "Plik jest zablokowany przez inny program.\n \r\n Nie można pokazać informacji. \r\n "},
    {kEnglish, "en", 32, "The file is blocked by other application.\r\n Information cannot be displayed.\n\r\n "},
    {kPolish, "pl", 0x8009200C,
     "Brak właściwego certyfikatu i klucza prywatnego.\r\n Dokument jest zaszyfrowany i nie został "
     "odszyfrowany.\r\n Nie można pokazać informacji. \r\n "},
    {kEnglish, "en", 0x8009200C,
     "The proper certyficate and the private key are missing\r\n The document is encrypted and it has not been "
     "decrypted. Information cannot be displayed.\r\n Information cannot be displayed.\n\r\n "},
    {kPolish, "pl", 0x80091007, "Dokument został zmieniony.\r\n Nie można pokazać informacji. \r\n "},
    {kEnglish, "en", 0x80091007, "Data has been changed.\r\n Information cannot be displayed.\n\r\n "},
    {kPolish, "pl", 0x12345678, "Nieznany błąd.\r\n Nie można pokazać informacji. \r\n "},
    {kEnglish, "en", 0x12345678, "Unknown error.\r\n Information cannot be displayed.\n\r\n "},
    {kEnglish, "pl", 0x800B010C, "Certyfikat został cofnięty.\r\n Information cannot be displayed.\n\r\n "},
    {kPolish, "en", 0x800B010C, "A certificate was explicitly revoked by its issuer.\r\n Nie można pokazać informacji. \r\n "},
};

TEST(MessageCatalog, FormatError) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << c.code << ", catalog " << std::dec
                                      << c.catalogLanguage << ", library " << c.libraryLanguage);
    ASSERT_EQ(crypto::SetLanguage(c.libraryLanguage), 0u);
    const CMessageTable table(c.catalogLanguage);
    std::string out = "previous content";
    EXPECT_EQ(&table.FormatError(out, c.code), &out);
    EXPECT_EQ(out, c.expected);
  }
  crypto::SetLanguage("pl");
}

}  // namespace
}  // namespace vel::app
