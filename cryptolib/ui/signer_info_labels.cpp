// Label tables of the CMS signer window.
#include "cryptolib/ui/signer_info_labels.h"

#include "cryptolib/status.h"
#include "cryptolib/lib_strings.h"

namespace vel::crypto::ui {
namespace {

// Sorted by id for the binary search.
constexpr LabelRow kLabels[] = {
    {2, "Signature ", "Szczegóły podpisu"},
    {3, "General", "Ogólne"},
    {4, "Signed attributes", "Atrybuty podpisane"},
    {5, "Unsigned attributes", "Atrybuty niepodpisane"},
    {6, "Close", "Zamknij"},
    {7, "Show certificate", "Wyświetl certyfikat"},
    {8, "Show signature", "Wyświetl podpis"},
    {201, "", ""},
    {202, "Attribute name", "Nazwa pola"},
    {203, "Attribute value", "Wartość pola"},
    {204, "Version", "Wersja"},
    {205, "Cert. issuer", "Wystawca certyfikatu"},
    {206, "Cert. serial number", "Numer seryjny certyfikatu"},
    {207, "Unknown digest algorithm", "Nieznany algorytm skrótu"},
    {208, "Digest algorithm", "Algorytm skrótu"},
    {209, "Unknown signatur algorithm", "Nieznany algorytm podpisu"},
    {210, "Signature", "Podpis"},
    {301, "", ""},
    {302, "Attribute name", "Nazwa pola"},
    {303, "Attribute value", "Wartość pola"},
    {304, "Content type", "Typ zawartości"},
    {305, "Data", "Dane"},
    {306, "Signing time", "Czas podpisu"},
    {307, "Message digest", "Skrót"},
    {308, "Content hints", "Informacja o zawartości"},
    {309, "Signing certificate", "Certyfikat podpisującego"},
    {310, "Signature policy", "Polityka podpisu"},
    {311, "Certificate Hash", "Skrót certyfikatu"},
    {312, "TimeStamp Token", "TimeStamp Token"},
    {313, "Commitment type indication", "Oznaczenie rodzaju zobowiązania"},
    {314, "Proof of Origin", "Poświadczenie źródła pochodzenia"},
    {315, "Proof of Receipt", "Poświadczenie odbioru"},
    {316, "Proof of Delivery", "Poświadczenie dostarczenia"},
    {317, "Proof of Sender", "Poświadczenie nadania"},
    {318, "Proof of Approval", "Poświadczenie aprobaty"},
    {319, "Proof of Creation", "Poświadczenie utworzenia"},
    {401, "", ""},
    {402, "Attribute name", "Nazwa pola"},
    {403, "Attribute value", "Wartość pola"},
    {404, "Countersignature", "Kontrasygnata"},
    {405, "Timestamp", "Znacznik czasu"},
    {406, "Certificate references", "Odnośniki do certyfikatów"},
    {407, "CRL references", "Odnośniki do statusów unieważnień"},
    {408, "Certificate list", "Lista certyfikatów"},
    {409, "Cert. revocation list", "Lista unieważnień"},
};

static_assert(LabelRowsSorted(kLabels), "label rows must be sorted by id");

}  // namespace

const char* GetCmsSignerLabelEn(uint32_t id) {
  const LabelRow* l = FindLabelRow(kLabels, id);
  return l != nullptr ? l->en : kCmsSignerNoLabelEn;
}

const char* GetCmsSignerLabelPl(uint32_t id) {
  const LabelRow* l = FindLabelRow(kLabels, id);
  return l != nullptr ? l->pl : kCmsSignerNoLabelPl;
}

const char* GetCmsSignerLabel(uint32_t id) {
  return LabelInLanguage(FindLabelRow(kLabels, id), kCmsSignerNoLabelEn, kCmsSignerNoLabelPl);
}

}  // namespace vel::crypto::ui
