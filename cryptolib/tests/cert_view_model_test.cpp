// Rows and texts of the certificate viewer and the selection window, built
// without a display.
#include "cryptolib/ui/cert_view_model.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "cryptolib/tests/cert_factory.h"
#include "cryptolib/tests/cert_ui_fixture.h"
#include "cryptolib/tests/path_fixture.h"
#include "cryptolib/ui/cert_list_model.h"
#include "cryptolib/lib_strings.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto::ui {
namespace {

using test::certs::Attr;
using test::certs::Bytes;
using test::certui::BmpString;
using test::certui::Cps;
using test::certui::Encode;
using test::certui::Language;
using test::certui::Notice;
using test::certui::Policies;
using test::certui::Qualifier;

constexpr LibraryErrorCode kInvalidData = 13;

// ---------------------------------------------------------------- labels

TEST(LibStrings, LanguageChoosesTable) {
  struct Case {
    uint32_t id;
    const char* en;
    const char* pl;
  };
  // The selection window's texts and a sample of the viewer's.
  const Case cases[] = {
      {2, "Certificate", "Certyfikat"},
      {5, "Certification path", "Ścieżka certyfikacji"},
      {18, "Serial number", "Numer seryjny certyfikatu"},
      {23, "Enchanced key usage", "Przeznaczenie certyfikatu"},
      {36, "Issuer certificate missing.", "Nie znaleziono certyfikatu wystawcy."},
      {42, "ERROR! Unable to parse extension.",
       "__BC_BŁĄD_ Skontaktuj sie z producentem programu.__"},
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
      {109, "Decipher only", "Wyłącznie deszyfrowanie danych"},
      {213, "Pseudonym", "Pseudonim"},
      // Outside the tables: the shared default.
      {0, "__BLAD__ : Brak napisu.", "__BLAD__ : Brak napisu."},
      {71, "__BLAD__ : Brak napisu.", "__BLAD__ : Brak napisu."},
      {214, "__BLAD__ : Brak napisu.", "__BLAD__ : Brak napisu."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    {
      Language en(kLanguageEnglish);
      EXPECT_STREQ(GetLibString(c.id), c.en);
    }
    {
      Language pl(kLanguagePolish);
      EXPECT_STREQ(GetLibString(c.id), c.pl);
    }
    Language other(1031);
    EXPECT_STREQ(GetLibString(c.id), "Unknown language set.");
  }
  // The qualified-statement sentences are Polish in both tables.
  for (uint32_t id = 44; id <= 49; ++id) EXPECT_STREQ(GetCertLabelEn(id), GetCertLabelPl(id));
}

// The certificate texts of the core library keep their own copy of the usage
// labels; both copies must say the same.
TEST(LibStrings, UsageLabelsAgreeWithCertificateTexts) {
  const std::pair<const char*, uint32_t> usages[] = {
      {"1.3.6.1.5.5.7.3.1", 111}, {"1.3.6.1.5.5.7.3.2", 112}, {"1.3.6.1.5.5.7.3.3", 113},
      {"1.3.6.1.5.5.7.3.4", 114}, {"1.3.6.1.5.5.7.3.5", 115}, {"1.3.6.1.5.5.7.3.6", 116},
      {"1.3.6.1.5.5.7.3.7", 117}, {"1.3.6.1.5.5.7.3.8", 118}, {"1.3.6.1.4.1.311.20.2.2", 119},
      {"1.3.6.1.5.5.7.3.9", 120}, {"1.2.3.4", 110},
  };
  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    for (const auto& [oid, id] : usages) EXPECT_STREQ(EkuOidToName(oid), GetLibString(id)) << oid;
  }
}

// ------------------------------------------------------- policy texts

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(CertificatePolicyText, Lines) {
  const std::string cps200 = "http://example.pl/" + Repeat('a', 200 - 18);
  const std::string cps201 = cps200 + "b";
  ASSERT_EQ(cps200.size(), 200u);
  const Bytes utf8_text = Encode(der::kUtf8String, "Polityka zażółć");
  const Bytes bmp_text = BmpString(u"Zażółć gęślą jaźń");
  // A notice reference: SEQUENCE { organization, SEQUENCE OF INTEGER }.
  der::Writer ref;
  ref.Begin(der::kSequence);
  ref.AddString(der::kUtf8String, "Org");
  ref.Begin(der::kSequence);
  ref.AddInteger(1);
  ref.End();
  ref.End();
  const Bytes notice_ref = *ref.Finish();

  struct Case {
    const char* name;
    Bytes value;
    const char* en;  // expected English text
    const char* pl;  // expected Polish text
  };
  const std::string id = "[1]  ID = 1.2.616.1.113527.2.4.1.1\r\n";
  const auto policy = [](const std::vector<Qualifier>& q, bool list = true) {
    return Policies("1.2.616.1.113527.2.4.1.1", q, list);
  };
  const std::vector<Case> cases = {
      {"no qualifiers", policy({}, false), "", ""},
      {"empty qualifier list", policy({}), "", ""},
      {"cps 200", policy({Cps(cps200)}), "[1,1] CPS = ", "[1,1] CPS = "},
      {"cps 201 shown whole", policy({Cps(cps201)}), "[1,1] CPS = ", "[1,1] CPS = "},
      {"notice utf8", policy({Notice({utf8_text})}), "[1,1] UserNotice = Polityka zażółć\r\n",
       "[1,1] Opis = Polityka zażółć\r\n"},
      {"notice bmp", policy({Notice({bmp_text})}), "[1,1] UserNotice = Zażółć gęślą jaźń\r\n",
       "[1,1] Opis = Zażółć gęślą jaźń\r\n"},
      {"cps before notice: notice line first",
       policy({Cps("http://x.pl/cps"), Notice({utf8_text})}),
       "[1,1] UserNotice = Polityka zażółć\r\n[1,2] CPS = http://x.pl/cps\r\n",
       "[1,1] Opis = Polityka zażółć\r\n[1,2] CPS = http://x.pl/cps\r\n"},
      {"later cps replaces", policy({Cps("http://a/"), Cps("http://b/")}),
       "[1,1] CPS = http://b/\r\n", "[1,1] CPS = http://b/\r\n"},
      {"notice with reference first: no line", policy({Notice({notice_ref, utf8_text})}), "", ""},
      {"notice visible string: no line",
       policy({Notice({Encode(der::kVisibleString, "visible")})}), "", ""},
      {"cps of another type: no line", policy({{"1.3.6.1.5.5.7.2.1", utf8_text}}), "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
      Language l(language);
      std::string text;
      ASSERT_EQ(CertificatePolicyText(c.value, &text), 0u);
      const std::string expected_tail = language == kLanguageEnglish ? c.en : c.pl;
      ASSERT_EQ(text.substr(0, id.size()), id);
      const std::string tail = text.substr(id.size());
      if (std::string(c.name).rfind("cps 20", 0) == 0) {
        const std::string& uri = std::string(c.name) == "cps 200" ? cps200 : cps201;
        EXPECT_EQ(tail, expected_tail + uri + "\r\n");
      } else {
        EXPECT_EQ(tail, expected_tail);
      }
    }
  }
}

TEST(CertificatePolicyText, AnyPolicyAndOnlyFirstPolicy) {
  const Bytes value = Policies("2.5.29.32.0", {}, false, "1.2.3.4");
  std::string text;
  {
    Language l(kLanguageEnglish);
    ASSERT_EQ(CertificatePolicyText(value, &text), 0u);
    EXPECT_EQ(text, "[1]  ID = Any policy.\r\n");
  }
  Language l(kLanguagePolish);
  ASSERT_EQ(CertificatePolicyText(value, &text), 0u);
  EXPECT_EQ(text, "[1]  ID = Wszystkie polityki certyfikacji\r\n");
}

TEST(CertificatePolicyText, MalformedGives13) {
  const Bytes good = Policies("1.2.3.4", {Cps("http://x/")});
  std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"not a sequence", {0x04, 0x00}},
      {"no policy", {0x30, 0x00}},
      {"policy without id", {0x30, 0x02, 0x30, 0x00}},
      {"empty notice", Policies("1.2.3.4", {Notice({})})},
      {"qualifier without value", Policies("1.2.3.4", {{"1.3.6.1.5.5.7.2.1", {}}})},
      {"qualifier of another kind", Policies("1.2.3.4", {{"1.2.3.5", Encode(der::kIa5String, "x")}})},
      {"qualifier not a sequence", {0x30, 0x0A, 0x30, 0x08, 0x06, 0x03, 0x2A, 0x03, 0x04,
                                    0x30, 0x01, 0x05}},
  };
  for (size_t cut = 1; cut < good.size(); cut += 3)
    cases.push_back({"cut short", Bytes(good.begin(), good.begin() + cut)});
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    std::string text = "left";
    EXPECT_EQ(CertificatePolicyText(value, &text), kInvalidData);
    EXPECT_TRUE(text.empty());
  }
}

TEST(BasicConstraintsText, Values) {
  const std::pair<Bytes, uint32_t> cases[] = {
      {{0x30, 0x00}, 40},
      {{0x30, 0x03, 0x01, 0x01, 0xFF}, 41},
      {{0x30, 0x06, 0x01, 0x01, 0xFF, 0x02, 0x01, 0x00}, 41},
      {{0x30, 0x03, 0x01, 0x01, 0x00}, 42},  // cA FALSE written out
      {{0x30, 0x03, 0x02, 0x01, 0x00}, 42},  // a lone pathLenConstraint
      {{0x30, 0x02, 0x01, 0x00}, 42},        // a BOOLEAN without content
      {{0x30, 0x03, 0x01, 0x01}, 42},        // cut short
      {{0x04, 0x00}, 42},
      {{}, 42},
  };
  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    for (const auto& [value, label] : cases) EXPECT_EQ(BasicConstraintsText(value), GetLibString(label));
  }
}

// ---------------------------------------------------- viewer model

struct RsaKey {
  test::certs::Key key{EVP_RSA_gen(2048)};
};

CertPtr Cert(const test::certs::Params& p) {
  CertPtr cert = platform::CertContext::FromDer(test::certs::MakeCert(p));
  EXPECT_TRUE(cert);
  return cert;
}

const DetailRow* FindRow(const CertViewModel& m, uint32_t label) {
  for (const DetailRow& r : m.details)
    if (r.label_id == label) return &r;
  return nullptr;
}

TEST(CertViewModel, RowsInBothLanguages) {
  RsaKey key;
  test::certs::Params p;
  p.subject = {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"},
               {"2.5.4.10", V_ASN1_UTF8STRING, "Spółka, S.A."},
               {"2.5.4.42", V_ASN1_UTF8STRING, "Jan"},
               {"2.5.4.4", V_ASN1_UTF8STRING, "Kowalski", true},
               {"1.2.3.4", V_ASN1_UTF8STRING, "a=b"}};
  p.issuer = {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"}, {"2.5.4.3", V_ASN1_UTF8STRING, "CA"}};
  p.serial = {0x0A, 0x1B};
  p.subject_key = p.issuer_key = key.key.get();
  p.extensions = {{"2.5.29.15", {0x03, 0x02, 0x06, 0xC0}},
                  {"2.5.29.31", {0x30, 0x00}},  // no row
                  {"2.5.29.19", {0x30, 0x00}},
                  {"2.5.29.32", Policies("2.5.29.32.0", {})}};
  const CertPtr cert = Cert(p);

  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    const bool en = language == kLanguageEnglish;
    const CertViewModel m = BuildCertViewModel(cert);
    ASSERT_EQ(m.status, 0u);
    std::vector<uint32_t> labels;
    for (const DetailRow& r : m.details) {
      labels.push_back(r.label_id);
      EXPECT_STREQ(r.label.c_str(), GetLibString(r.label_id));
    }
    EXPECT_EQ(labels, (std::vector<uint32_t>{19, 18, 9, 6, 15, 16, 20, 22, 21, 24}));
    EXPECT_EQ(m.details[0].text, "3");
    EXPECT_EQ(m.details[1].text, "0A1B");
    EXPECT_EQ(m.serial, "0A1B");
    EXPECT_EQ(m.details[2].text, "2.5.4.3=CA, 2.5.4.6=PL");  // most specific first
    EXPECT_EQ(FindRow(m, 22)->text,
              en ? "Digital signature, Non-Repudiation" : "Podpis cyfrowy, Usługa niezaprzeczalności");
    EXPECT_EQ(FindRow(m, 21)->text, en ? "End entity" : "Certyfikat użytkownika końcowego");
    EXPECT_EQ(FindRow(m, 20)->text, "RSA 2048 bit.");
    EXPECT_EQ(m.details[4].text, m.not_before);
    EXPECT_EQ(m.not_before.size(), 25u);
    EXPECT_EQ(m.not_before.substr(19), " (UTC)");

    // A value holding the separator or '=' stays one attribute.
    const std::vector<NameRow> subject = {
        {en ? "Country" : "Kraj", "PL"},
        {en ? "Organization" : "Organizacja", "Spółka, S.A."},
        {en ? "Given name" : "Imię", "Jan"},
        {en ? "Surname" : "Nazwisko", "Kowalski"},
        {"1.2.3.4", "a=b"}};
    ASSERT_EQ(m.subject.size(), subject.size());
    for (size_t i = 0; i < subject.size(); ++i) {
      EXPECT_EQ(m.subject[i].name, subject[i].name);
      EXPECT_EQ(m.subject[i].value, subject[i].value);
    }
    ASSERT_EQ(m.issuer.size(), 2u);
    EXPECT_EQ(m.issuer[0].value, "CA");

    // The value box: a name one attribute per line, key usages one per line.
    EXPECT_EQ(DetailValueText(m, 2), en ? "Common name = CA\r\nCountry = PL\r\n"
                                        : "Nazwa powszechna = CA\r\nKraj = PL\r\n");
    const size_t ku = static_cast<size_t>(FindRow(m, 22) - m.details.data());
    EXPECT_EQ(DetailValueText(m, ku), en ? "Digital signature\r\nNon-Repudiation"
                                         : "Podpis cyfrowy\r\nUsługa niezaprzeczalności");
    EXPECT_EQ(DetailValueText(m, 0), "3");
    EXPECT_EQ(DetailValueText(m, 999), "3");  // no selection: the first row
  }
  Language other(1031);
  const CertViewModel m = BuildCertViewModel(cert);
  ASSERT_EQ(m.status, 0u);
  for (const DetailRow& r : m.details) EXPECT_EQ(r.label, "Unknown language set.");
}

TEST(CertViewModel, PublicKeyTypeComesFromTheKey) {
  RsaKey rsa;
  test::certs::Key ec = test::certs::NewKey();
  test::certs::Params p;
  p.subject_key = p.issuer_key = rsa.key.get();
  EXPECT_EQ(PublicKeyText(*Cert(p)), "RSA 2048 bit.");  // signed with SHA-256
  p.subject_key = p.issuer_key = ec.get();
  EXPECT_EQ(PublicKeyText(*Cert(p)), "Nieznany typ klucza 256 bit.");
}

TEST(CertViewModel, UnreadableExtensions) {
  test::certs::Key key = test::certs::NewKey();
  test::certs::Params p;
  p.subject_key = p.issuer_key = key.get();
  // A policy the viewer cannot read keeps the window closed.
  p.extensions = {{"2.5.29.32", Policies("1.2.3.4", {Notice({})})}};
  EXPECT_EQ(BuildCertViewModel(Cert(p)).status, kInvalidData);
  // A key usage with a second byte of bits (decipherOnly), or naming no
  // usage, gets no row; the certificate is still shown.
  for (const Bytes& ku : {Bytes{0x03, 0x03, 0x07, 0x80, 0x80}, Bytes{0x03, 0x02, 0x00, 0x00}}) {
    p.extensions = {{"2.5.29.15", ku}, {"2.5.29.19", {0x30, 0x00}}};
    const CertViewModel m = BuildCertViewModel(Cert(p));
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(FindRow(m, 22), nullptr);
    EXPECT_NE(FindRow(m, 21), nullptr);
  }
  EXPECT_EQ(BuildCertViewModel(nullptr).status, LIB_E_NO_CERTIFICATE);
}

TEST(CertViewModel, AlternativeNamesAndStatements) {
  test::certs::Key key = test::certs::NewKey();
  test::certs::Params p;
  p.subject_key = p.issuer_key = key.get();
  der::Writer san;
  san.Begin(der::kSequence);
  san.AddString(der::ContextPrimitive(1), "jan@example.pl");
  san.AddString(der::ContextPrimitive(2), "example.pl");
  san.AddString(der::ContextPrimitive(1), "biuro@example.pl");
  san.End();
  der::Writer qc;
  qc.Begin(der::kSequence);
  qc.Begin(der::kSequence);
  qc.AddOid("0.4.0.1862.1.1");
  qc.End();
  qc.Begin(der::kSequence);
  qc.AddOid("1.2.616.1.101.3.1.1.2");
  qc.AddInteger(1, der::kEnumerated);
  qc.End();
  qc.End();
  p.extensions = {{"1.3.6.1.5.5.7.1.3", *qc.Finish()}, {"2.5.29.17", *san.Finish()}};
  const CertPtr cert = Cert(p);
  for (uint32_t language : {kLanguageEnglish, kLanguagePolish}) {
    Language l(language);
    const bool en = language == kLanguageEnglish;
    const CertViewModel m = BuildCertViewModel(cert);
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.details.size(), 9u);
    EXPECT_EQ(m.details[7].label_id, 43u);  // in the certificate's order
    EXPECT_EQ(m.details[7].text, "Podmiot składający podpis działa we własnym imieniu.\r\n");
    EXPECT_EQ(m.details[8].label_id, 31u);
    const std::string label = en ? "rfc822Name (e-mail)" : "rfc822Name (adres e-mail)";
    EXPECT_EQ(m.details[8].text,
              label + ":\r\n  jan@example.pl\r\n" + label + ":\r\n  biuro@example.pl\r\n");
  }
}

// --------------------------------------------------------------- path

// The stores hand out their own contexts: the same certificate has the same bytes.
bool Same(const CertPtr& a, const CertPtr& b) { return a && b && a->sha1() == b->sha1(); }

TEST(CertViewModel, PathFromTheStores) {
  using test::path::Party;
  Party root{"Root CA"}, inter{"Inter CA"}, leaf{"Leaf"};
  const CertPtr root_cert = test::path::Issue(root, root, test::path::Ca(1));
  const CertPtr inter_cert = test::path::Issue(inter, root, test::path::Ca(2));
  const CertPtr leaf_cert = test::path::Issue(leaf, inter, test::path::Leaf(3));

  test::certui::Stores stores;
  stores.Add("CA", inter_cert);
  {
    Language l(kLanguageEnglish);
    // No root: the path shows what was found under the missing-issuer item.
    const CertViewModel m = BuildCertViewModel(leaf_cert);
    ASSERT_EQ(m.status, 0u);
    ASSERT_EQ(m.path.size(), 3u);
    EXPECT_TRUE(m.path[0].missing_issuer);
    EXPECT_EQ(m.path[0].text, "Issuer certificate missing.");
    EXPECT_EQ(m.path[1].text, "Inter CA");
    EXPECT_EQ(m.path[2].text, "Leaf");
    EXPECT_EQ(PathItemToOpen(m, 0), nullptr);
    EXPECT_TRUE(Same(PathItemToOpen(m, 1), inter_cert));
    EXPECT_EQ(PathItemToOpen(m, 2), nullptr);  // the certificate shown
    EXPECT_EQ(PathItemToOpen(m, 3), nullptr);
  }
  stores.Add("Root", root_cert);
  Language l(kLanguagePolish);
  const CertViewModel m = BuildCertViewModel(leaf_cert);
  ASSERT_EQ(m.path.size(), 3u);
  EXPECT_EQ(m.path[0].text, "Root CA");
  EXPECT_FALSE(m.path[0].missing_issuer);
  EXPECT_TRUE(Same(m.path[0].certificate, root_cert));
  EXPECT_TRUE(Same(PathItemToOpen(m, 0), root_cert));
  // A self-signed certificate is a whole path by itself.
  const CertViewModel self = BuildCertViewModel(root_cert);
  ASSERT_EQ(self.path.size(), 1u);
  EXPECT_FALSE(self.path[0].missing_issuer);
  EXPECT_EQ(PathItemToOpen(self, 0), nullptr);
}

// ---------------------------------------------------- selection rows

TEST(CertListModel, Rows) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  test::certs::Key key = test::certs::NewKey();
  test::certs::Params p;
  p.subject_key = p.issuer_key = key.get();
  p.subject = {{"2.5.4.42", V_ASN1_UTF8STRING, "Anna"}, {"2.5.4.4", V_ASN1_UTF8STRING, "Nowak"}};
  p.issuer = {{"2.5.4.3", V_ASN1_UTF8STRING, "Centrum Kwalifikowane"}};
  p.serial = {0x80, 0x01};
  const CertPtr named = Cert(p);
  p.subject = {{"2.5.4.10", V_ASN1_UTF8STRING, "Firma"}};  // no person's name at all
  p.issuer = {{"2.5.4.10", V_ASN1_UTF8STRING, "Bez CN"}};   // no issuer common name
  p.serial = {0x05};
  const CertPtr nameless = Cert(p);

  const std::vector<CertPtr> candidates = {named, nameless};
  const std::vector<CertListRow> rows = BuildCertListRows(candidates);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].subject, "Anna Nowak");
  EXPECT_EQ(rows[0].issuer, "Centrum Kwalifikowane");
  EXPECT_EQ(rows[0].serial, "008001");  // the sign byte is part of the number
  const platform::CertTime t = named->not_after();
  char expected[32];
  std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
  EXPECT_EQ(rows[0].valid_to, expected);
  EXPECT_EQ(rows[1].subject, " ");
  EXPECT_EQ(rows[1].issuer, kCertListNameError);
  EXPECT_EQ(rows[1].serial, "05");
  EXPECT_TRUE(BuildCertListRows({}).empty());
}

TEST(CertListModel, ChosenCandidateIsMovedAndTheRestReleased) {
  test::certs::Key key = test::certs::NewKey();
  X509ContextPtr context = MakeX509Context();
  std::vector<std::weak_ptr<const platform::CertContext>> watch;
  for (uint8_t i = 1; i <= 5; ++i) {
    test::certs::Params p;
    p.subject_key = p.issuer_key = key.get();
    p.serial = {i};
    context->candidates.push_back(Cert(p));
    watch.push_back(context->candidates.back());
  }
  EXPECT_FALSE(TakeChosenCandidate(context.get(), 5));
  EXPECT_EQ(context->candidates.size(), 5u);
  context->last_error = 1223;
  ASSERT_TRUE(TakeChosenCandidate(context.get(), 2));
  EXPECT_EQ(context->last_error, 0u);
  EXPECT_TRUE(context->candidates.empty());
  ASSERT_TRUE(context->certificate);
  EXPECT_EQ(context->certificate->serial()[0], 3);
  for (size_t i = 0; i < watch.size(); ++i) EXPECT_EQ(watch[i].expired(), i != 2) << i;
  EXPECT_EQ(watch[2].use_count(), 1);  // moved, not duplicated
}

}  // namespace
}  // namespace vel::crypto::ui
