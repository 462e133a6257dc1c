// What the PIN dialog says for each kind of request, in both languages.
#include "app/pin_texts.h"

#include <gtest/gtest.h>

namespace vel::app {
namespace {

TEST(PinTexts, EachRequestInBothLanguages) {
  struct Case {
    const char* name;
    platform::PinRequest request;
    uint32_t lang;
    const char* question;
    const char* warning;
    const char* field;
    const char* cancel;
  } cases[] = {
      {"key file", {false, "jan.p12", "Jan Kowalski"}, 1045, "Podaj hasło do pliku klucza \"jan.p12\".", "",
       "Hasło:", "Anuluj"},
      {"key file, English", {false, "jan.p12", "Jan Kowalski"}, 1033,
       "Enter the password of the key file \"jan.p12\".", "", "Password:", "Cancel"},
      {"wrong password", {false, "jan.p12", "Jan Kowalski", true}, 1045, "Podaj hasło do pliku klucza \"jan.p12\".",
       "Nieprawidłowe hasło. Spróbuj ponownie.", "Hasło:", "Anuluj"},
      {"token", {true, "VelTest", "Jan Kowalski"}, 1045, "Podaj PIN karty \"VelTest\".", "", "PIN:", "Anuluj"},
      {"token, wrong PIN, count low", {true, "VelTest", "Jan Kowalski", true, true}, 1033,
       "Enter the PIN of the token \"VelTest\".",
       "The PIN is incorrect. Try again.\nThe token has counted a wrong PIN; few tries are left.", "PIN:", "Cancel"},
      // The final try says more than a low count.
      {"token, final try", {true, "VelTest", "Jan Kowalski", false, true, true}, 1045, "Podaj PIN karty \"VelTest\".",
       "Uwaga! To ostatnia próba: kolejny błędny PIN zablokuje kartę.", "PIN:", "Anuluj"},
      // A key file has no counters to tell.
      {"key file ignores token flags", {false, "k.p12", "", false, true, true}, 1033,
       "Enter the password of the key file \"k.p12\".", "", "Password:", "Cancel"},
      // Any language but English is Polish.
      {"unknown language", {true, "VelTest", "Jan Kowalski", true}, 0, "Podaj PIN karty \"VelTest\".",
       "Nieprawidłowy PIN. Spróbuj ponownie.", "PIN:", "Anuluj"},
  };
  for (const Case& c : cases) {
    const PinTexts t = PinTextsFor(c.request, c.lang);
    EXPECT_EQ(t.title, "Vellorum Sign") << c.name;
    EXPECT_EQ(t.question, c.question) << c.name;
    EXPECT_EQ(t.warning, c.warning) << c.name;
    EXPECT_EQ(t.field, c.field) << c.name;
    EXPECT_EQ(t.ok, "OK") << c.name;
    EXPECT_EQ(t.cancel, c.cancel) << c.name;
    const std::string certificate =
        c.request.certificate.empty() ? "" : (c.lang == 1033 ? "Certificate: " : "Certyfikat: ") + c.request.certificate;
    EXPECT_EQ(t.certificate, certificate) << c.name;
  }
}

}  // namespace
}  // namespace vel::app
