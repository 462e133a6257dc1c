#include "cryptolib/x509_context.h"
#include "cryptolib/cert_windows.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cryptolib/cert_names.h"
#include "cryptolib/tests/cert_factory.h"
#include "platform/testing/test_support.h"

namespace vel::crypto {
namespace {

using test::certs::Attr;
using test::certs::Bytes;
using test::Cat;
constexpr auto Tlv = &test::DerTlv;

constexpr LibraryErrorCode kMoreData = 234;
constexpr LibraryErrorCode kDecodeError = 0x8009310B;

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Calls a size-rule function for its size, then for its text (which may hold NULs).
template <typename F>
std::string Twice(F f, LibraryErrorCode* err = nullptr, uint32_t* needed = nullptr) {
  uint32_t size = 0;
  LibraryErrorCode e = f(nullptr, &size);
  if (needed) *needed = size;
  if (e != kMoreData) {
    if (err) *err = e;
    return "<" + std::to_string(e) + ">";
  }
  std::string text(size, '\x7f');
  e = f(text.data(), &size);
  if (err) *err = e;
  if (e != 0) return "<" + std::to_string(e) + ">";
  text.resize(size - 1);
  return text;
}

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELDOC_STORE_DIR", dir_.path().c_str(), 1);
    LanguageId = kLanguageEnglish;
  }
  void TearDown() override {
    unsetenv("VELDOC_STORE_DIR");
    LanguageId = kLanguagePolish;
  }

  test::certs::Params Leaf() {
    test::certs::Params s;
    s.subject_key = leaf_key_.get();
    s.issuer_key = root_key_.get();
    return s;
  }
  Bytes RootDer() {
    test::certs::Params s;
    s.subject = s.issuer;
    s.serial = {0x10};  // the leaf has 01 from the same issuer name
    s.subject_key = root_key_.get();
    s.issuer_key = root_key_.get();
    return test::certs::MakeCert(s);
  }
  X509ContextPtr Load(const Bytes& der) {
    X509ContextPtr ctx = MakeX509Context();
    EXPECT_TRUE(SetCertificateFromDer(ctx.get(), der.data(), static_cast<uint32_t>(der.size())));
    return ctx;
  }
  X509ContextPtr WithExtension(const std::string& oid, const Bytes& value) {
    test::certs::Params s = Leaf();
    s.extensions.push_back({oid, value});
    return Load(test::certs::MakeCert(s));
  }
  std::string Format(const char* oid, const Bytes& value, uint32_t index = 0,
                     LibraryErrorCode* err = nullptr) {
    return Twice([&](char* t, uint32_t* s) {
      return FormatExtensionText(nullptr, oid, value.data(), static_cast<uint32_t>(value.size()), index, t, s);
    }, err);
  }

  test::TempDir dir_;
  test::certs::Key root_key_ = test::certs::NewKey();
  test::certs::Key leaf_key_ = test::certs::NewKey();
};

TEST_F(ContextTest, Lifecycle) {
  X509Context* ctx = CreateX509Context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->field_separator, ',');
  EXPECT_EQ(ctx->value_separator, '|');
  EXPECT_EQ(GetX509ContextError(ctx), 0u);
  EXPECT_FALSE(GetCertificateContext(ctx));
  ctx->crl_urls.push_back("http://x/1.crl");
  FreeX509Context(ctx);
  FreeX509Context(nullptr);
}

TEST_F(ContextTest, Loading) {
  const Bytes der = test::certs::MakeCert(Leaf());
  X509ContextPtr ctx = MakeX509Context();
  CertPtr c = SetCertificateFromDer(ctx.get(), der.data(), static_cast<uint32_t>(der.size()));
  ASSERT_TRUE(c);
  EXPECT_EQ(GetCertificateContext(ctx.get()), c);
  EXPECT_EQ(ctx->last_error, 0u);
  // A failed load leaves the context without a certificate.
  const Bytes junk{0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_FALSE(SetCertificateFromBlob(ctx.get(), junk));
  EXPECT_EQ(ctx->last_error, kDecodeError);
  EXPECT_FALSE(GetCertificateContext(ctx.get()));
  EXPECT_FALSE(SetCertificateFromDer(ctx.get(), nullptr, 0));
  EXPECT_EQ(ctx->last_error, 0x80093102u);

  X509ContextPtr other = MakeX509Context();
  EXPECT_EQ(SetCertificateContext(other.get(), c), c);
  EXPECT_EQ(other->last_error, 0u);
  EXPECT_FALSE(SetCertificateContext(other.get(), nullptr));
  EXPECT_EQ(other->last_error, LIB_E_NO_CERTIFICATE);
}

TEST_F(ContextTest, SerialNumber) {
  struct Case {
    Bytes serial;
    const char* hex;
  } cases[] = {{{0x01, 0xA2}, "01A2"}, {{0x80}, "0080"}, {{0x00}, "00"}, {{0x7F, 0xFF, 0x00}, "7FFF00"}};
  for (const Case& c : cases) {
    test::certs::Params s = Leaf();
    s.serial = c.serial;
    X509ContextPtr ctx = Load(test::certs::MakeCert(s));
    ctx->last_error = 77;
    uint32_t needed = 0;
    EXPECT_EQ(Twice([&](char* t, uint32_t* n) { return GetSerialNumberHex(ctx.get(), t, n); }, nullptr, &needed), c.hex);
    EXPECT_EQ(needed, std::strlen(c.hex) + 1);
    EXPECT_EQ(ctx->last_error, 77u);  // left as it was
  }
  X509ContextPtr empty = MakeX509Context();
  uint32_t size = 0;
  EXPECT_EQ(GetSerialNumberHex(empty.get(), nullptr, &size), LIB_E_NO_CERTIFICATE);
}

TEST_F(ContextTest, Validity) {
  test::certs::Params s = Leaf();
  s.not_before = -3600;
  X509ContextPtr ctx = Load(test::certs::MakeCert(s));
  const platform::CertTime nb = ctx->certificate->not_before();
  char expected[40];
  std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d (UTC)", nb.year, nb.month,
                nb.day, nb.hour, nb.minute, nb.second);
  uint32_t size = 25;
  std::string text(40, '\0');
  EXPECT_EQ(GetValidityText(ctx.get(), 0, true, text.data(), &size), kMoreData);
  EXPECT_EQ(size, 26u);
  EXPECT_EQ(GetValidityText(ctx.get(), 0, true, text.data(), &size), 0u);
  EXPECT_STREQ(text.c_str(), expected);
  EXPECT_EQ(size, 26u);

  const time_t when = nb.ToTimeT();
  struct tm local {};
  localtime_r(&when, &local);
  std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  size = 19;
  EXPECT_EQ(GetValidityText(ctx.get(), 0, false, text.data(), &size), kMoreData);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(GetValidityText(ctx.get(), 0, false, text.data(), &size), 0u);
  EXPECT_STREQ(text.c_str(), expected);

  EXPECT_EQ(GetValidityText(ctx.get(), 1, true, text.data(), &(size = 26)), 0u);
  ctx->last_error = 77;
  EXPECT_EQ(GetValidityText(ctx.get(), 2, true, text.data(), &size), 87u);
  EXPECT_EQ(ctx->last_error, 77u);
}

TEST_F(ContextTest, Version) {
  test::certs::Params s = Leaf();
  uint32_t version = 9;
  EXPECT_EQ(GetCertificateVersion(Load(test::certs::MakeCert(s)).get(), &version), 0u);
  EXPECT_EQ(version, 2u);
  s.version = 0;
  EXPECT_EQ(GetCertificateVersion(Load(test::certs::MakeCert(s)).get(), &version), 0u);
  EXPECT_EQ(version, 0u);
}

TEST_F(ContextTest, RawExtension) {
  const Bytes ku{0x03, 0x02, 0x05, 0xA0};
  X509ContextPtr ctx = WithExtension("2.5.29.15", ku);
  uint32_t size = 3;
  Bytes buf(8, 0xEE);
  EXPECT_EQ(GetExtension(ctx.get(), "2.5.29.15", buf.data(), &size), kMoreData);
  EXPECT_EQ(size, 4u);
  size = 8;
  ctx->last_error = 77;
  EXPECT_EQ(GetExtension(ctx.get(), "2.5.29.15", buf.data(), &size), 0u);
  EXPECT_EQ(size, 8u);  // a sufficient size is left as it was, and so is the last error
  EXPECT_EQ(ctx->last_error, 77u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), ku);
  EXPECT_EQ(GetExtension(ctx.get(), "2.5.29.17", buf.data(), &size), 2u);
  EXPECT_EQ(ctx->last_error, 2u);
}

TEST_F(ContextTest, KeyUsage) {
  auto text = [&](const Bytes& value) {
    X509ContextPtr ctx = WithExtension("2.5.29.15", value);
    return Twice([&](char* t, uint32_t* s) { return GetKeyUsageText(ctx.get(), t, s); });
  };
  EXPECT_EQ(text({0x03, 0x02, 0x05, 0xA0}), "Digital signature, Key encipherment");
  EXPECT_EQ(text({0x03, 0x02, 0x00, 0xFF}),
            "Digital signature, Non-Repudiation, Key encipherment, Data encipherment, Key agreement, "
            "Certificate signing, CRL signing, Encipher only");
  EXPECT_EQ(text({0x03, 0x02, 0x07, 0x00}), "");
  EXPECT_EQ(text({0x03, 0x03, 0x07, 0x80, 0x80}), "<13>");
  EXPECT_EQ(text({0x04, 0x02, 0x05, 0xA0}), "<13>");
  LanguageId = kLanguagePolish;
  EXPECT_EQ(text({0x03, 0x02, 0x06, 0x40}), "Usługa niezaprzeczalności");
  X509ContextPtr none = Load(test::certs::MakeCert(Leaf()));
  uint32_t size = 0;
  EXPECT_EQ(GetKeyUsageText(none.get(), nullptr, &size), 2u);
}

TEST_F(ContextTest, ExtendedKeyUsage) {
  auto oid = [](const Bytes& content) { return Tlv(0x06, content); };
  const Bytes server{0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01};
  const Bytes card{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x14, 0x02, 0x02};
  X509ContextPtr ctx = WithExtension("2.5.29.37", Tlv(0x30, Cat({oid(server), oid(card), oid({0x2A, 0x03, 0x04})})));
  auto eku = [&](X509Context* c) {
    return Twice([&](char* t, uint32_t* s) { return GetEnhancedKeyUsageText(c, t, s); });
  };
  EXPECT_EQ(eku(ctx.get()),
            "Server authentication (1.3.6.1.5.5.7.3.1), Smartcard logon (1.3.6.1.4.1.311.20.2.2), "
            "Unrecognized (1.2.3.4)");
  // Many short identifiers make a text far longer than twice the certificate.
  Bytes many;
  for (int i = 0; i < 300; ++i) many = Cat({many, oid({0x2A})});
  X509ContextPtr big = WithExtension("2.5.29.37", Tlv(0x30, many));
  const std::string text = eku(big.get());
  EXPECT_GT(text.size(), 2 * big->certificate->der().size());
  EXPECT_EQ(text.size(), 300 * std::string("Unrecognized (1.2)").size() + 299 * 2);
  EXPECT_EQ(eku(WithExtension("2.5.29.37", {0x30, 0x03, 0x02, 0x01, 0x01}).get()), "<" + std::to_string(kDecodeError) + ">");
  LanguageId = kLanguagePolish;
  EXPECT_STREQ(EkuOidToName("1.3.6.1.5.5.7.3.8"), "Znakowanie czasem");
  EXPECT_STREQ(EkuOidToName("9.9"), "Nierozpoznane przeznaczenie");
}

TEST_F(ContextTest, AlternativeNameEmails) {
  const Bytes san = Tlv(0x30, Cat({Tlv(0x81, Str("a@b.pl")), Tlv(0x82, Str("x.pl")), Tlv(0x81, Str("c@d.pl"))}));
  uint32_t needed = 0;
  const std::string list = Twice([&](char* t, uint32_t* s) {
    return FormatExtensionText(nullptr, "2.5.29.17", san.data(), static_cast<uint32_t>(san.size()), 0, t, s);
  }, nullptr, &needed);
  EXPECT_EQ(list, std::string("a@b.pl\0c@d.pl\0", 14));
  EXPECT_EQ(needed, 15u);
  LibraryErrorCode err = 0;
  EXPECT_EQ(Format("2.5.29.17", Tlv(0x30, Tlv(0x82, Str("x.pl"))), 0, &err), "");
  EXPECT_EQ(Format("2.5.29.17", {0x30, 0x03, 0x81, 0x05, 0x61}), "<" + std::to_string(kDecodeError) + ">");
  EXPECT_EQ(Format("2.5.29.17", Tlv(0x30, Tlv(0x81, Bytes{'a', 0, 'b'}))), "<13>");
  uint32_t size = 99;
  const Bytes empty{0x30, 0x00};
  EXPECT_EQ(FormatExtensionText(nullptr, "2.5.29.17", empty.data(), 2, 0, nullptr, &size), 0u);
  EXPECT_EQ(Format("2.5.29.99", empty), "<87>");
}

TEST_F(ContextTest, DistributionPoints) {
  auto full_name = [](const Bytes& names) { return Tlv(0x30, Tlv(0xA0, Tlv(0xA0, names))); };
  const Bytes dps = Tlv(0x30, Cat({full_name(Cat({Tlv(0x86, Str("http://a/1.crl")), Tlv(0x86, Str("ldap://b"))})),
                                   full_name(Tlv(0x86, Str("http://c/2.crl"))),
                                   Tlv(0x30, Tlv(0xA2, Tlv(0x86, Str("http://issuer")))),
                                   full_name(Tlv(0x82, Str("dns.pl")))}));
  EXPECT_EQ(Format("2.5.29.31", dps, 0), "http://a/1.crl");
  EXPECT_EQ(Format("2.5.29.31", dps, 1), "http://c/2.crl");
  EXPECT_EQ(Format("2.5.29.31", dps, 2), "<2>");  // only a CRL issuer
  EXPECT_EQ(Format("2.5.29.31", dps, 3), "<2>");  // first name no URL
  EXPECT_EQ(Format("2.5.29.31", dps, 4), "<2>");  // index equal to the count
  EXPECT_EQ(Format("2.5.29.31", Tlv(0x30, Tlv(0x30, Tlv(0xA5, {}))), 0), "<" + std::to_string(kDecodeError) + ">");
  X509ContextPtr ctx = MakeX509Context();
  const Bytes short_dps = Tlv(0x30, full_name(Tlv(0x86, Str("http://a"))));
  uint32_t size = 0;
  EXPECT_EQ(FormatExtensionText(ctx.get(), "2.5.29.31", short_dps.data(), static_cast<uint32_t>(short_dps.size()), 1, nullptr, &size), 2u);
  EXPECT_EQ(ctx->last_error, 2u);
}

// QCStatements with one statement: its identifier and information.
Bytes Statement(const Bytes& oid, const Bytes& info) { return Tlv(0x30, Cat({Tlv(0x06, oid), info})); }
const Bytes kLimitOid{0x04, 0x00, 0x8E, 0x46, 0x01, 0x02};                            // 0.4.0.1862.1.2
const Bytes kRoleOid{0x2A, 0x84, 0x68, 0x01, 0x65, 0x03, 0x01, 0x01, 0x02};           // 1.2.616.1.101.3.1.1.2
const Bytes kComplianceOid{0x04, 0x00, 0x8E, 0x46, 0x01, 0x01};                       // 0.4.0.1862.1.1
Bytes Limit(const std::string& currency, const Bytes& amount, const Bytes& exponent) {
  return Statement(kLimitOid, Tlv(0x30, Cat({Tlv(0x13, Str(currency)), Tlv(0x02, amount), Tlv(0x02, exponent)})));
}
const std::string kLimitText = "Limit transakcji, którą jednorazowo można potwierdzić za pomocą certyfikatu: ";

TEST_F(ContextTest, QualifiedStatements) {
  const char* qc = "1.3.6.1.5.5.7.1.3";
  const Bytes limit = Limit("PLN", {0x27, 0x10}, {0x02});
  const Bytes role = Statement(kRoleOid, Tlv(0x0A, {0x01}));
  const Bytes compliance = Tlv(0x30, Tlv(0x06, kComplianceOid));
  EXPECT_EQ(Format(qc, Tlv(0x30, Cat({compliance, limit, role}))),
            kLimitText + "1000000 PLN\r\nPodmiot składający podpis działa we własnym imieniu.\r\n");
  EXPECT_EQ(Format(qc, Tlv(0x30, Statement(kRoleOid, Tlv(0x0A, {0x04})))),
            "Podmiot składający podpis działa jako organ władzy publicznej.\r\n");
  EXPECT_EQ(Format(qc, Tlv(0x30, compliance)), "");
  EXPECT_EQ(Format(qc, Tlv(0x30, Limit("EUR", {0x7F, 0xFF, 0xFF, 0xFF}, {0x00}))), kLimitText + "2147483647 EUR\r\n");

  struct Bad {
    const char* why;
    Bytes value;
  } bad[] = {
      {"exponent FE is -2", Tlv(0x30, Limit("PLN", {0x01}, {0xFE}))},
      {"exponent 200", Tlv(0x30, Limit("PLN", {0x01}, {0x00, 0xC8}))},
      {"exponent 2^31-1", Tlv(0x30, Limit("PLN", {0x01}, {0x7F, 0xFF, 0xFF, 0xFF}))},
      {"exponent of nine bytes", Tlv(0x30, Limit("PLN", {0x01}, Bytes(9, 0x01)))},
      {"empty exponent", Tlv(0x30, Limit("PLN", {0x01}, {}))},
      {"zeros beyond the amount text", Tlv(0x30, Limit("PLN", {0x01}, {95}))},
      {"amount of five bytes", Tlv(0x30, Limit("PLN", {0x01, 0, 0, 0, 0}, {0x00}))},
      {"negative amount", Tlv(0x30, Limit("PLN", {0xFF}, {0x00}))},
      {"currency of 40 characters", Tlv(0x30, Limit(std::string(40, 'A'), {0x01}, {0x00}))},
      {"currency with a line break", Tlv(0x30, Limit("P\nN", {0x01}, {0x00}))},
      {"limit without information", Tlv(0x30, Tlv(0x30, Tlv(0x06, kLimitOid)))},
      {"role 5", Tlv(0x30, Statement(kRoleOid, Tlv(0x0A, {0x05})))},
      {"role 0x0101", Tlv(0x30, Statement(kRoleOid, Tlv(0x0A, {0x01, 0x01})))},
      {"role as INTEGER", Tlv(0x30, Statement(kRoleOid, Tlv(0x02, {0x01})))},
      {"root not a SEQUENCE", Tlv(0x31, compliance)},
      {"statement without identifier", Tlv(0x30, Tlv(0x30, Tlv(0x02, {0x01})))},
      {"statement not a SEQUENCE", Tlv(0x30, Tlv(0x06, kComplianceOid))},
      {"child past its parent", {0x30, 0x03, 0x30, 0x05, 0x06}},
      {"empty", {}},
  };
  for (const Bad& b : bad) EXPECT_EQ(Format(qc, b.value), "<13>") << b.why;
  // Exactly at the bound of the amount text: 1 digit, 94 zeros, a blank, 3 letters.
  EXPECT_EQ(Format(qc, Tlv(0x30, Limit("PLN", {0x01}, {94}))), kLimitText + "1" + std::string(94, '0') + " PLN\r\n");
}

TEST_F(ContextTest, IssuerRelation) {
  X509ContextPtr root = Load(RootDer());
  X509ContextPtr leaf = Load(test::certs::MakeCert(Leaf()));
  EXPECT_EQ(IsIssuerOf(root.get(), leaf->certificate), 1);
  EXPECT_EQ(root->last_error, 0u);
  EXPECT_EQ(IsIssuerOf(leaf.get(), root->certificate), 0);
  EXPECT_EQ(leaf->last_error, 0x80090006u);
  EXPECT_EQ(IsIssuerOf(root.get(), root->certificate), 1);  // self-issued, verifies with its own key
  leaf->last_error = 77;
  EXPECT_EQ(IsIssuerOf(leaf.get(), leaf->certificate), 0);  // itself, not self-issued
  EXPECT_EQ(leaf->last_error, 77u);
  // Self-issued but signed by another key.
  test::certs::Params s;
  s.subject = s.issuer;
  s.subject_key = leaf_key_.get();
  s.issuer_key = root_key_.get();
  X509ContextPtr odd = Load(test::certs::MakeCert(s));
  EXPECT_EQ(IsIssuerOf(odd.get(), odd->certificate), 0);
  EXPECT_EQ(IsIssuerOfContext(root.get(), leaf.get()), 1);
  X509ContextPtr empty = MakeX509Context();
  EXPECT_EQ(IsIssuerOfContext(root.get(), empty.get()), 0);
  EXPECT_EQ(root->last_error, LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(IsIssuerOf(empty.get(), leaf->certificate), 0);
  EXPECT_EQ(empty->last_error, LIB_E_NO_CERTIFICATE);
}

TEST_F(ContextTest, AddAndFindBySubject) {
  test::certs::Params a = Leaf();
  a.subject = {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"}, {"2.5.4.3", V_ASN1_UTF8STRING, "Jan Kowalski"}};
  test::certs::Params b = Leaf();
  b.serial = {0x02};
  b.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, "Żółw Kowalski"}};
  X509ContextPtr ca = Load(test::certs::MakeCert(a));
  X509ContextPtr cb = Load(test::certs::MakeCert(b));
  EXPECT_EQ(AddCertificateToStore(ca.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My"), 0u);
  EXPECT_EQ(AddCertificateToStore(ca.get(), CERT_SYSTEM_STORE_CURRENT_USER, "MY"), 0u);
  EXPECT_EQ(AddCertificateToStore(cb.get(), CERT_SYSTEM_STORE_CURRENT_USER, "my"), 0u);
  X509ContextPtr empty = MakeX509Context();
  EXPECT_EQ(AddCertificateToStore(empty.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My"), 2u);
  EXPECT_EQ(AddCertificateToStore(ca.get(), CERT_SYSTEM_STORE_CURRENT_USER, std::string(1001, 'x').c_str()), 87u);

  X509ContextPtr ctx = MakeX509Context();
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W, "jan kow"), 0u);
  ASSERT_TRUE(ctx->certificate);
  EXPECT_TRUE(platform::CompareCertificate(*ctx->certificate, *ca->certificate));
  EXPECT_EQ(ctx->store_name, "My");
  EXPECT_EQ(ctx->store_location, CERT_SYSTEM_STORE_CURRENT_USER);
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W, "żÓŁW"), 0u);
  EXPECT_TRUE(platform::CompareCertificate(*ctx->certificate, *cb->certificate));

  // Both match "kowalski": the search goes on after the previous one.
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W, "KOWALSKI"), 0u);
  const CertPtr first = ctx->certificate;
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W,
                                     "KOWALSKI", first->der()), 0u);
  EXPECT_FALSE(platform::CompareCertificate(*ctx->certificate, *first));
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W,
                                     "KOWALSKI", ctx->certificate->der()), 2u);
  EXPECT_FALSE(ctx->certificate);

  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_SUBJECT_STR_W, "Nowak"), 2u);
  EXPECT_EQ(ctx->last_error, 2u);
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My", CERT_FIND_ISSUER_STR_W, "Jan"), 87u);
  EXPECT_EQ(FindCertificateBySubject(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, std::string(1001, 'x').c_str(),
                                     CERT_FIND_SUBJECT_STR_W, "Jan"), 87u);
}

TEST_F(ContextTest, SelectionGoesThroughTheInstalledWindow) {
  X509ContextPtr leaf = Load(test::certs::MakeCert(Leaf()));
  ASSERT_EQ(AddCertificateToStore(leaf.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My"), 0u);
  X509ContextPtr ctx = MakeX509Context();
  // No window installed: nothing can be chosen.
  EXPECT_FALSE(SelectCertificateFromStore(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My"));
  EXPECT_EQ(ctx->last_error, 120u);
  EXPECT_EQ(ctx->store_name, "My");
  EXPECT_TRUE(ctx->candidates.empty());
  EXPECT_FALSE(SelectCertificateFromStore(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, std::string(1001, 'x').c_str()));
  EXPECT_EQ(ctx->last_error, 87u);
  EXPECT_EQ(ShowCertificate(leaf.get(), nullptr), 120u);

  // A window that picks the first candidate; the candidates are released after it.
  static size_t offered = 0;
  CertificateWindowHandlers h;
  h.select_certificate = [](X509Context* c) -> CertPtr {
    offered = c->candidates.size();
    c->certificate = c->candidates.front();
    c->last_error = 0;
    return c->certificate;
  };
  SetCertificateWindowHandlers(h);
  CertPtr chosen = SelectCertificateFromStore(ctx.get(), CERT_SYSTEM_STORE_CURRENT_USER, "My");
  SetCertificateWindowHandlers({});
  ASSERT_TRUE(chosen);
  EXPECT_EQ(offered, 1u);
  EXPECT_EQ(ctx->last_error, 0u);
  EXPECT_TRUE(ctx->candidates.empty());
  EXPECT_TRUE(platform::CompareCertificate(*chosen, *leaf->certificate));
}

TEST_F(ContextTest, LibrarySearchOverAStore) {
  // Two CA certificates with the same name and different keys; one issued the leaf.
  test::certs::Key other_key = test::certs::NewKey();
  test::certs::Params wrong;
  wrong.subject = wrong.issuer;
  wrong.subject_key = other_key.get();
  wrong.issuer_key = other_key.get();
  wrong.serial = {0x05};
  X509ContextPtr wrong_ca = Load(test::certs::MakeCert(wrong));
  X509ContextPtr root = Load(RootDer());
  X509ContextPtr leaf = Load(test::certs::MakeCert(Leaf()));
  for (X509Context* c : {wrong_ca.get(), root.get()})
    ASSERT_EQ(AddCertificateToStore(c, CERT_SYSTEM_STORE_CURRENT_USER, "CA"), 0u);
  std::unique_ptr<platform::CertStore> store;
  ASSERT_EQ(platform::CertStore::Open(CERT_SYSTEM_STORE_CURRENT_USER, "ca", &store), 0u);

  FindParameter leaf_param{leaf->certificate.get(), nullptr};
  CertPtr issuer = FindCertificateInStore(*store, kCertEncoding, 0, CERT_FIND_ISSUER_OF, leaf_param, nullptr);
  ASSERT_TRUE(issuer);
  EXPECT_EQ(issuer->sha1(), root->certificate->sha1());
  EXPECT_FALSE(FindCertificateInStore(*store, kCertEncoding, 0, CERT_FIND_ISSUER_OF, leaf_param, issuer));

  FindParameter existing{root->certificate.get(), nullptr};
  CertPtr same = FindCertificateInStore(*store, kCertEncoding, 0, CERT_FIND_EXISTING, existing, nullptr);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->sha1(), root->certificate->sha1());
  EXPECT_FALSE(FindCertificateInStore(*store, kCertEncoding, 0, CERT_FIND_EXISTING, existing, same));

  // Both CA certificates carry "2.5.4.3=Root" as issuer and subject: the
  // text searches find both in turn, then nothing.
  for (uint32_t type : {CERT_FIND_ISSUER_STR_W, CERT_FIND_SUBJECT_STR_W}) {
    FindParameter text{nullptr, "2.5.4.3=Root"};
    CertPtr one = FindCertificateInStore(*store, kCertEncoding, 0, type, text, nullptr);
    ASSERT_TRUE(one);
    CertPtr two = FindCertificateInStore(*store, kCertEncoding, 0, type, text, one);
    ASSERT_TRUE(two);
    EXPECT_NE(one->sha1(), two->sha1());
    EXPECT_FALSE(FindCertificateInStore(*store, kCertEncoding, 0, type, text, two));
    FindParameter none{nullptr, "2.5.4.3=Nobody"};
    EXPECT_FALSE(FindCertificateInStore(*store, kCertEncoding, 0, type, none, nullptr));
  }
  EXPECT_FALSE(FindCertificateInStore(*store, kCertEncoding, 0, 0x10000, leaf_param, nullptr));
}

}  // namespace
}  // namespace vel::crypto
