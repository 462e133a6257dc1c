#include "app/pin_texts.h"

#include "app/registry_names.h"
#include "app/viewer_app.h"

namespace vel::app {

PinTexts PinTextsFor(const platform::PinRequest& r, uint32_t lang_id) {
  const bool en = lang_id == kLangIdEnglish;
  const auto pick = [en](const char* polish, const char* english) { return std::string(en ? english : polish); };
  PinTexts t;
  t.title = kAppCaption;
  const std::string label = "\"" + r.label + "\"";
  if (r.token) {
    t.question = pick("Podaj PIN karty ", "Enter the PIN of the token ") + label + ".";
    t.field = "PIN:";
  } else {
    t.question = pick("Podaj hasło do pliku klucza ", "Enter the password of the key file ") + label + ".";
    t.field = pick("Hasło:", "Password:");
  }
  if (!r.certificate.empty()) t.certificate = pick("Certyfikat: ", "Certificate: ") + r.certificate;

  const auto add = [&t](const std::string& line) { t.warning += (t.warning.empty() ? "" : "\n") + line; };
  if (r.retry)
    add(r.token ? pick("Nieprawidłowy PIN. Spróbuj ponownie.", "The PIN is incorrect. Try again.")
                : pick("Nieprawidłowe hasło. Spróbuj ponownie.", "The password is incorrect. Try again."));
  if (r.token && r.final_try)
    add(pick("Uwaga! To ostatnia próba: kolejny błędny PIN zablokuje kartę.",
             "Attention! This is the last try: another wrong PIN locks the token."));
  else if (r.token && r.count_low)
    add(pick("Karta odnotowała błędny PIN; pozostało niewiele prób.",
             "The token has counted a wrong PIN; few tries are left."));
  t.ok = "OK";
  t.cancel = pick("Anuluj", "Cancel");
  return t;
}

}  // namespace vel::app
