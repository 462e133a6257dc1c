// Label tables of the XML signer window.
#include "xades/ui/xml_signer_labels.h"

#include "cryptolib/lib_strings.h"

namespace vel::xades::ui {
namespace {

using crypto::ui::LabelRow;

// Sorted by id for the binary search.
constexpr LabelRow kLabels[] = {
    {2, "Signature", "Szczegóły podpisu"},
    {3, "General", "Ogólne"},
    {4, "Signed Attributes", "Atrybuty podpisane"},
    {5, "Unsigned Attributes", "Atrybuty niepodpisane"},
    {6, "Close", "Zamknij"},
    {7, "Show Signature", "Pokaż podpis"},
    {8, "Show Certificate", "Pokaż certyfikat"},
    {201, "", ""},
    {202, "Property", "Nazwa pola"},
    {203, "Value", "Wartość pola"},
    {204, "Version", "Wersja"},
    {205, "Issuer", "Wystawca"},
    {206, "Serial Number", "Numer seryjny"},
    {301, "", ""},
    {302, "Property", "Nazwa pola"},
    {303, "Value", "Wartość pola"},
    {401, "", ""},
    {402, "Property", "Nazwa pola"},
    {403, "Value", "Wartość pola"},
    {1000, "Signature Algorithm", "Algorytm podpisu"},
    {1001, "Hash", "Skrót"},
    {1002, "Unknown Algorithm", "Algorytm nieznany"},
    {1003, "Canonicalization Method", "Metoda kanonikalizacji"},
    {1004, "XPath Filter", "Filtracja XPath"},
    {1005, "Base64", "Base64"},
    {1007, "Canonical XML", "Kanoniczny XML"},
    {1008, "Canonical XML With Comments", "Kanoniczny XML z komrntarzami"},
    {1009, "Exclusive Canonical XML", "Exclusive Canonical XML"},
    {1010, "Transformation", "Transformacja"},
    {1100, "Czas podpisu", "Czas podpisu"},
    {1101, "Certificate Hash", "Skrót certyfikat"},
    {1102, "Certificate Subject", "Wydawca certyfikatu"},
    {1103, "Serial Number", "Numer seryjny certyfikatu"},
    {1200, "Countersignature", "Kontrasygnata"},
    {1201, "Timestamp", "Znacznik czasu"},
};

static_assert(crypto::ui::LabelRowsSorted(kLabels), "label rows must be sorted by id");

}  // namespace

const char* GetXmlWndLabelEn(uint32_t id) {
  const LabelRow* l = crypto::ui::FindLabelRow(kLabels, id);
  return l != nullptr ? l->en : kXmlNoLabelEn;
}

const char* GetXmlWndLabelPl(uint32_t id) {
  const LabelRow* l = crypto::ui::FindLabelRow(kLabels, id);
  return l != nullptr ? l->pl : kXmlNoLabelPl;
}

const char* GetXmlWndLabel(uint32_t id) {
  return crypto::ui::LabelInLanguage(crypto::ui::FindLabelRow(kLabels, id), kXmlNoLabelEn,
                                     kXmlNoLabelPl);
}

std::string GetXmlWndLabelEx(uint32_t id, const std::optional<std::string>& text) {
  std::string label = GetXmlWndLabel(id);
  if ((id == 1001 || id == 1010) && text) label += " (" + *text + ")";
  return label;
}

}  // namespace vel::xades::ui
