#include "app/message_catalog.h"

#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include "cryptolib/status.h"
#include "platform/win32_error.h"

namespace vel::app {

namespace {

struct CatalogRow {
  int id;
  const char* pl;  // nullptr: the Polish table has no text for the id
  const char* en;  // nullptr: the English table has no text for the id
};

// Rows that no window of the program shows (usage texts of an old command-line
// form, texts of features this program does not have) are unused. They carry a
// short generic text so that which ids have a text, in each language, stays
// fixed: callers rely on the gaps to get their Polish default.
constexpr const char kUnusedPl[] = "Funkcja niedostępna w tej wersji programu.";
constexpr const char kUnusedEn[] = "This function is not available in this version of the program.";

// One row per id, ascending; 104..200 and 263 have no row.
constexpr CatalogRow kRows[] = {
    {102, kUnusedPl, kUnusedEn},
    {103, kUnusedPl, kUnusedEn},
    {201,
     "Uwaga! Kontynuacja operacji jest równoznaczna ze złożeniem podpisu elektronicznego z wykorzystaniem certyfikatu zwykłego - nie będącego certyfikatem kwalifikowanym.",
     "Attention! Continuation of the operation is tantamount to the use of the digital signature with the usage of the ordinary certyficate - not being the qualified certyficate."},
    {202,
     "Uwaga! Kontynuacja operacji jest równoznaczna ze złożeniem bezpiecznego podpisu elektronicznego z wykorzystaniem kwalifikowanego certyfikatu, zgodnie z zapisami Ustawy o podpisie elektronicznym z dnia 18 września 2001 r.",
     "Attention! Continuation of the operation is tantamount to the use of the safe digital signature with the usage of the qualified certyficate, in accordance to the act on the digital signature from the day 18 of September 2001 r."},
    {203, kUnusedPl, kUnusedEn},
    {204, kUnusedPl, kUnusedEn},
    {205, kUnusedPl, kUnusedEn},
    {206, kUnusedPl, kUnusedEn},
    {207, kUnusedPl, kUnusedEn},
    {208,
     "Dokument został zaszyfrowany.\nCzy chcesz go odszyfrować?",
     "The document has been encrypted. Do you want to decrypt it?"},
    {209,
     "Plik o nazwie:\n%s\njuż istnieje. Czy chcesz go nadpisać?",
     "The file:\n%s\nalready exist. Do you want to overwrite it?"},
    {210, kUnusedPl, kUnusedEn},
    {211,
     "Dokument został zmieniony.\nCzy chcesz usunąć dotychczasowe podpisy?",
     "The document has been changed.\nDo you want to remove the existing signatures?"},
    {212,
     "Dokument został już wcześniej podpisany wybranym kluczem.\nCzy chcesz podpisać ponownie?",
     "The document has been already signed with the chosen key. Do you want to sign it again?"},
    {213, kUnusedPl, kUnusedEn},
    {214, kUnusedPl, kUnusedEn},
    {215, kUnusedPl, kUnusedEn},
    {216, "komercyjny", "commercial"},
    {217, kUnusedPl, kUnusedEn},
    {218, kUnusedPl, kUnusedEn},
    {219, "Wystawca certyfikatu", "Issuer"},
    {220, kUnusedPl, kUnusedEn},
    {221, "kwalifikowany", "qualified"},
    {222, "Podpis poprawny.", "Correct signature."},
    {223, "Podpis zweryfikowany niekompletnie.", "Signature verified incompletely."},
    {224, kUnusedPl, kUnusedEn},
    {225, "Podpis zweryfikowany negatywnie.", "Signature verified negatively"},
    {226, kUnusedPl, kUnusedEn},
    {227, kUnusedPl, kUnusedEn},
    {228, kUnusedPl, kUnusedEn},
    {229, kUnusedPl, kUnusedEn},
    {230, kUnusedPl, kUnusedEn},
    {231, kUnusedPl, kUnusedEn},
    {232, kUnusedPl, kUnusedEn},
    {233, kUnusedPl, kUnusedEn},
    {234, "Otwarto dokument", "Document is open"},
    {235, kUnusedPl, kUnusedEn},
    {236, kUnusedPl, kUnusedEn},
    {237, kUnusedPl, kUnusedEn},
    {238, kUnusedPl, kUnusedEn},
    {239, "Błąd! Nie można dodać podpisu do pliku!", "Error! Impossible to add the signature to the file!"},
    {240, kUnusedPl, kUnusedEn},
    {241, kUnusedPl, kUnusedEn},
    {242, kUnusedPl, kUnusedEn},
    {243, kUnusedPl, kUnusedEn},
    {244, kUnusedPl, kUnusedEn},
    {245, kUnusedPl, kUnusedEn},
    {246, "Nieudana próba stworzenia archiwum!", "Unsuccessful attempt at creating the archive!"},
    {247, kUnusedPl, kUnusedEn},
    {248, kUnusedPl, kUnusedEn},
    {249, kUnusedPl, kUnusedEn},
    {250, kUnusedPl, kUnusedEn},
    {251,
     "Dokument jest zaszyfrowany i nie został odszyfrowany.",
     "The document is encrypted and it has not been decrypted. Information cannot be displayed."},
    {252,
     "Dokument jest zaszyfrowany i nie został odszyfrowany. Nie można pokazać informacji.",
     "The document is encrypted and it has not been decrypted. Information cannot be displayed."},
    {253, kUnusedPl, kUnusedEn},
    {254, "Brak dostępu do pliku %s !", "Access denied to the file %s !"},
    {255, "Plik jest zablokowany przez inny program.\n ", "The file is blocked by other application."},
    {256,
     "Wystąpił błąd. Nie udało się zapisać pliku:",
     "An error occurred. The file has not been written down: "},
    {257, kUnusedPl, kUnusedEn},
    {258, kUnusedPl, kUnusedEn},
    {259, kUnusedPl, kUnusedEn},
    {260, kUnusedPl, kUnusedEn},
    {261, kUnusedPl, kUnusedEn},
    {262, kUnusedPl, kUnusedEn},
    {264, kUnusedPl, kUnusedEn},
    {265,
     "Brak właściwego certyfikatu i klucza prywatnego.",
     "The proper certyficate and the private key are missing"},
    {266, kUnusedPl, kUnusedEn},
    {267, kUnusedPl, kUnusedEn},
    {268, kUnusedPl, kUnusedEn},
    {269, kUnusedPl, kUnusedEn},
    {270, kUnusedPl, kUnusedEn},
    {271, kUnusedPl, kUnusedEn},
    {272, kUnusedPl, kUnusedEn},
    {273, kUnusedPl, kUnusedEn},
    {274,
     "Wystąpił błąd 0x%08X\n%s\npodczas próby otwarcia dokumentu %s.",
     "An error 0x%08X\n%s\noccurred while attempting to open document %s."},
    {275, kUnusedPl, kUnusedEn},
    {276, kUnusedPl, kUnusedEn},
    {277, kUnusedPl, kUnusedEn},
    {278, "Nie można pokazać informacji. ", "Information cannot be displayed.\n"},
    {279, "Próba podpisu zakończona błędem!", "Attempt ended with the error!"},
    {280, kUnusedPl, kUnusedEn},
    {281, kUnusedPl, kUnusedEn},
    {282, "Nieznany Urząd Znakowania Czasem!", "Unknown timestamp authority!"},
    {283, kUnusedPl, kUnusedEn},
    {284, kUnusedPl, kUnusedEn},
    {285, kUnusedPl, kUnusedEn},
    {286, kUnusedPl, kUnusedEn},
    {287, kUnusedPl, kUnusedEn},
    {288, kUnusedPl, kUnusedEn},
    {289,
     "Podczas przetwarzania wystąpił nieznany błąd.",
     "An unknown error occurred while processing the file"},
    {290, kUnusedPl, kUnusedEn},
    {291, kUnusedPl, kUnusedEn},
    {292, kUnusedPl, kUnusedEn},
    {293, kUnusedPl, kUnusedEn},
    {294, kUnusedPl, kUnusedEn},
    {295, kUnusedPl, kUnusedEn},
    {296,
     "Nie można odczytać pliku ponieważ jest on otwarty w oknie przeglądarki\nlub przy użyciu innego programu.\nAby kontynuować zakończ pracę z plikiem.",
     "The file cannot be read because it is open in the viewer window\nor in another program.\nTo continue, close the file."},
    {297, kUnusedPl, kUnusedEn},
    {298, "Plik został zapisany. Nazwa pliku:", "The file has been written down. File name: "},
    {299, kUnusedPl, kUnusedEn},
    {300, kUnusedPl, kUnusedEn},
    {301, "Pliki %s (%s)", "Files %s (%s)"},
    {302, kUnusedPl, kUnusedEn},
    {303, kUnusedPl, kUnusedEn},
    {304, kUnusedPl, kUnusedEn},
    {305, kUnusedPl, kUnusedEn},
    {306, kUnusedPl, kUnusedEn},
    {307, kUnusedPl, kUnusedEn},
    {308, kUnusedPl, kUnusedEn},
    {309, kUnusedPl, kUnusedEn},
    {310, kUnusedPl, kUnusedEn},
    {311,
     "Znaleziono starą konfigurację programu zawierającą nieaktualny\nadres listy CRL. Aby zmienić nieaktualny adres naciśnij OK,\naby pozostawić obecne wpisy, naciśnij Anuluj.\nUwaga! Jeżeli naciśniesz Anuluj program nie będzie proponował zmiany\nponownie, może też nie być w stanie zweryfikować poprawnie podpisów.",
     "Previous configuration containing the outdated address of the CRL list has been found. In order to change the outdated address press OK, to leave present entries, press cancel. Attention! If you press cancel the application will not ask for changes again."},
    {312, kUnusedPl, kUnusedEn},
    {313, kUnusedPl, kUnusedEn},
    {314, kUnusedPl, kUnusedEn},
    {315, kUnusedPl, kUnusedEn},
    {316, kUnusedPl, kUnusedEn},
    {317, "Dokument został podpisany.", "The document has been signed."},
    {318, kUnusedPl, kUnusedEn},
    {319, kUnusedPl, kUnusedEn},
    {320, kUnusedPl, kUnusedEn},
    {321, kUnusedPl, kUnusedEn},
    {322, kUnusedPl, kUnusedEn},
    {323, kUnusedPl, kUnusedEn},
    {324, "Certyfikat", "Certyficate"},
    {325, "Numer seryjny", "Serial number"},
    {326, kUnusedPl, kUnusedEn},
    {327, "Wszystkie pliki", "All files"},
    {328, "Czy chcesz złożyć podpis?", "Do You want to sign document?"},
    {329, kUnusedPl, kUnusedEn},
    {330, kUnusedPl, kUnusedEn},
    {331, kUnusedPl, kUnusedEn},
    {332, kUnusedPl, kUnusedEn},
    {333, "Trwa przetwarzanie...", "Processing..."},
    {334, kUnusedPl, kUnusedEn},
    {335, kUnusedPl, kUnusedEn},
    {336, kUnusedPl, kUnusedEn},
    {337, kUnusedPl, kUnusedEn},
    {338, kUnusedPl, kUnusedEn},
    {339, kUnusedPl, kUnusedEn},
    {340, kUnusedPl, kUnusedEn},
    {341, kUnusedPl, kUnusedEn},
    {342, kUnusedPl, kUnusedEn},
    {343, kUnusedPl, kUnusedEn},
    {344, kUnusedPl, kUnusedEn},
    {345, kUnusedPl, kUnusedEn},
    {346, kUnusedPl, kUnusedEn},
    {347, kUnusedPl, kUnusedEn},
    {348, kUnusedPl, kUnusedEn},
    {349, "Anuluj", "Cancel"},
    {350, "Próba otwarcie pliku zakończyła się błędem.", "File opening attempt ended with error"},
    {351,
     "Aplikacja Vellorum Sign nie wyświetla samodzielnie treści dokumentu.",
     "Vellorum Sign does not show the document's content itself."},
    {352,
     "Treść zostanie otwarta w programie skojarzonym z typem pliku.",
     "The content is opened in the application associated with its file type."},
    {353,
     "Aby odczytać treść dokumentu, naciśnij przycisk:",
     "To read the document's content, press the button:"},
    {354, "Czy chcesz zakończyć działanie programu?", "Do you want to close the program?"},
    {355, "Dokument", "Document"},
    {356, "Podpisy", "Signatures"},
    {357, "Ustawienia", "Settings"},
    {358,
     "Program nie może otworzyć dokumentu z bieżącej lokalizacji.",
     "Program cannot open the document from the current location"},
    {359,
     "Czy chcesz skopiować dokument w inne miejsce, aby go otworzyć?",
     "Do you want to copy the document in another location to open it?"},
    {360, kUnusedPl, kUnusedEn},
    {361, "Dokument VellorumSign", "VellorumSign document"},
    {362, kUnusedPl, kUnusedEn},
    {363, kUnusedPl, kUnusedEn},
    {364, "Anuluj", "Cancel"},
    {365, kUnusedPl, kUnusedEn},
    {366, kUnusedPl, kUnusedEn},
    {367, kUnusedPl, kUnusedEn},
    {368, kUnusedPl, kUnusedEn},
    {369, "Zaakceptuj pobranie zaświadczenia certyfikacyjnego", "Accept download of the CA certificate "},
    {370, "z internetowego repozytorium", "from internet repsitory"},
    {371,
     "Uwaga! Jeśli naciśniesz przycisk \"Nie\" pytanie nie zostanie zadane ponownie,\nmogą także wystąpić problemy z poprawną weryfikacją podpisów.",
     "Attention!If you press \"NO\" the question will not be asked again,\nalso problems with positive verification might occur."},
    {372, kUnusedPl, kUnusedEn},
    {373,
     "Wystąpił błąd aktualizacji konfiguracji.\nProgram spróbuje dokonać aktualizacji podczas nastepnego uruchomienia.",
     "Update configuration error has occurred.\nProgram will try to make update during the next apllication run"},
    {374, kUnusedPl, kUnusedEn},
    {375, kUnusedPl, kUnusedEn},
    {376, kUnusedPl, kUnusedEn},
    {377,
     "\nOtwarto dokument QERN-DOC.\nAplikacja Vellorum Sign nie wyświetla samodzielnie treści dokumentu.\nAby odczytać treść dokumentu należy nacisnąć przycisk: Prezentacja treści",
     "\nQERN-DOC document is open.\nVellorumSign does not show the document’s content internally. \nTo read the document’s content press the button: Show content"},
    {378, "Prezentacja treści", "Content presentation"},
    {379, "Zapisz dokument", "Save document"},
    {380, "Brak podpisów", "No signtures"},
    {381, "(wykorzystano certyfikat komercyjny)", "(ordinary certyficate was used)"},
    {382, "strona", "Page"},
    {383, "Dopasuj szerokość strony", "Adjust page width "},
    {384, "Drukuj", "Print"},
    {385, "Podpisz", "Sign"},
    {386, kUnusedPl, kUnusedEn},
    {387, "Ustawienia znakowania czasem", "Timestamp configuration "},
    {388, "Adres serwera znacznika czasu", "Timestamp server address"},
    {389, "Identyfikator polityki znacznika czasu", "Timestamp authority identification "},
    {390, "Podpisuj żądanie", "Sign the request"},
    {391, "Ustawienia repozytorium", "Repository configuration"},
    {392, "Adresy list CRL", "Addresses of CLR lists"},
    {393, "Pobierz CRL przy każdej weryfikacji", "Don't cache CRLs"},
    {394, "Ustawienia proxy", "Proxy configuration"},
    {395, "Połączenie poprzez serwer proxy", "Proxy serwer conections"},
    {396, "Autoryzacja użytkowników", "Users authentication"},
    {397, "Adres serwera proxy", "Proxy server address"},
    {398, "Port serwera proxy", "Proxy server port"},
    {399, "Nazwa użytkownika", "User name"},
    {400, "Hasło", "Password"},
    {401, "Ustawienia programu", "Program configuration"},
    {402, "Pytaj o ścieżkę zapisu pliku KDOC", "Ask for  saving path of KDOC file"},
    {403, "Zapisz konfigurację", "Save the configuration"},
    {404, "Anuluj", "Cancel"},
    {405, "Zamknij", "Close"},
    {406, kUnusedPl, kUnusedEn},
    {407, "Skrót dokumentu", "Document hash "},
    {408,
     "Czy oznaczyć podpis czasem? Ta operacja może wymagać powtórnego wprowadzenia PIN.",
     "Do you want to timestamp? Operation may demand another PIN enter."},
    {409,
     "Wystąpił błąd 0x%08X podczas generowania dokumentu.\n(%s).\nAplikacja zostanie zamknięta.",
     "An error has occured 0x%08X during generating file. \n(%s).\nAplication will be closed."},
    {410, nullptr, "Open"},
    {411,
     "Zmiany zostaną uwzględnione dopiero przy następnym uruchomieniu Vellorum Sign.",
     "You might need to restart Vellorum Sign for this changes to take effect."},
    {412, "Wystąpił błąd!\nKod błędu : %d", "Error! Code: %d"},
    {413, nullptr, "\nThere is no application associated."},
    {414,
     "Okno programu Vellorum Sign jest już uruchomione.\nZamknij okno a następnie powtórz operację.",
     "Vellorum Sign is already run.\nClose the application, then repeat action."},
    {415, kUnusedPl, kUnusedEn},
    {416, kUnusedPl, kUnusedEn},
    {417, kUnusedPl, kUnusedEn},
    {418, "Podpis dokumentu", "Signature"},
    {419, "Kontrasygnata", "Countersignature"},
    {420, "Znacznik czasu", "Timestamp"},
    {421,
     "Nieprawidłowa zawartość pliku – brak podpisu lub podpis uszkodzony.",
     "Unable to open file. Selected file does not contain signature or the signature is corrupted."},
    {422,
     "Czy na pewno odznaczyć tę opcję? Znakowanie czasem może przestać działać.",
     "Are You sure? Timestamp may no longer work."},
    {423, "Trwa generowanie pliku KDOC...", "Generating KDOC file..."},
    {424, kUnusedPl, kUnusedEn},
    {425, kUnusedPl, kUnusedEn},
    {426, "Czas ze znacznika: ", "Time from timestamp: "},
    {427, nullptr, kUnusedEn},
    {428, nullptr, kUnusedEn},
    {429, nullptr, kUnusedEn},
    {430, nullptr, kUnusedEn},
    {431, nullptr, kUnusedEn},
    {432, nullptr, "Valid till"},
    {433, nullptr, kUnusedEn},
    {434, nullptr, kUnusedEn},
    {435, nullptr, kUnusedEn},
    {436, nullptr, kUnusedEn},
    {437, nullptr, kUnusedEn},
    {438, nullptr, kUnusedEn},
    {439, kUnusedPl, kUnusedEn},
    {440, kUnusedPl, kUnusedEn},
    {441, nullptr, kUnusedEn},
    {442, nullptr, kUnusedEn},
    {443, kUnusedPl, kUnusedEn},
    {444, kUnusedPl, kUnusedEn},
    {445, kUnusedPl, nullptr},
    {446, kUnusedPl, nullptr},
    {447, kUnusedPl, nullptr},
    {448, kUnusedPl, nullptr},
};

constexpr int kFirstId = 102;
constexpr int kLastPolishId = 448;
constexpr int kLastEnglishId = 444;
constexpr std::size_t kSlots = kLastPolishId - kFirstId + 1;

constexpr bool RowsAreWellFormed() {
  int previous = kFirstId - 1;
  for (const CatalogRow& row : kRows) {
    if (row.id <= previous || row.id > kLastPolishId) return false;
    if (row.en != nullptr && row.id > kLastEnglishId) return false;
    previous = row.id;
  }
  return true;
}
static_assert(RowsAreWellFormed(), "catalog rows must be ascending and inside the ranges");
static_assert(std::size(kRows) == 249, "the catalog has 249 rows");

// Direct selection by id: one slot per id of the Polish range.
template <const char* CatalogRow::*Text>
constexpr std::array<const char*, kSlots> BuildIndex() {
  std::array<const char*, kSlots> index{};
  for (const CatalogRow& row : kRows) index[static_cast<std::size_t>(row.id - kFirstId)] = row.*Text;
  return index;
}

constexpr std::array<const char*, kSlots> kPolish = BuildIndex<&CatalogRow::pl>();
constexpr std::array<const char*, kSlots> kEnglish = BuildIndex<&CatalogRow::en>();

const char* Lookup(const std::array<const char*, kSlots>& index, int lastId, int id) {
  if (id < kFirstId || id > lastId) return nullptr;
  return index[static_cast<std::size_t>(id - kFirstId)];
}

constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kNoDecryptCertificate = 0x8009200C;
constexpr const char kLineBreak[] = "\r\n ";

}  // namespace

const char* CMessageTextBase::GetText(int /*id*/) const { return "Wystąpił błąd lokalizacji"; }

const char* CMessageTextPl::GetText(int id) const { return Lookup(kPolish, kLastPolishId, id); }

const char* CMessageTextEn::GetText(int id) const { return Lookup(kEnglish, kLastEnglishId, id); }

CMessageTable::CMessageTable(uint32_t languageId)
    : text_(languageId == crypto::kLanguageEnglish ? std::unique_ptr<CMessageTextBase>(std::make_unique<CMessageTextEn>())
                                                   : std::make_unique<CMessageTextPl>()),
      languageId_(languageId) {}

CMessageTable::~CMessageTable() = default;

std::string& CMessageTable::Get(std::string& out, int id, const char* polishDefault) const {
  const char* text = text_->GetText(id);
  if (text == nullptr) text = polishDefault;
  out = text != nullptr ? text : "";
  return out;
}

std::string& CMessageTable::FormatError(std::string& out, uint32_t code) const {
  std::string text;
  std::string result;
  if (code == kErrorSharingViolation) {
    result += Get(text, 255, "Plik jest zablokowany przez inny program.");
    result += kLineBreak;
  } else if (code == kNoDecryptCertificate) {
    result += Get(text, 265, "Brak właściwego certyfikatu i klucza prywatnego.");
    result += kLineBreak;
    result += Get(text, 251, "Dokument jest zaszyfrowany i nie został odszyfrowany.");
    result += kLineBreak;
  } else {
    const char* status = crypto::GetErrorText(code);
    if (status == nullptr || *status == '\0') {
      result += Get(text, 289, "Podczas przetwarzania wystąpił nieznany błąd.");
    } else {
      result += status;
    }
    result += kLineBreak;
  }
  result += Get(text, 278, "Nie można pokazać informacji.");
  result += kLineBreak;
  out = std::move(result);
  return out;
}

std::string CMessageTable::ErrorText(uint32_t code) const {
  const bool english = languageId_ == 1033;
  if (const char* text = platform::SystemErrorText(code, english)) return text;
  return english ? crypto::GetErrorTextEn(code) : crypto::GetErrorTextPl(code);
}

}  // namespace vel::app
