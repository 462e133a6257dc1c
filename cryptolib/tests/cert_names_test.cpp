#include "cryptolib/cert_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cryptolib/tests/cert_factory.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto {
namespace {

using test::certs::Attr;
using test::certs::Bytes;

constexpr LibraryErrorCode kMoreData = 234;

class NamesTest : public ::testing::Test {
 protected:
  // A context holding a certificate with this subject and issuer.
  X509ContextPtr Context(const std::vector<Attr>& subject,
                         const std::vector<Attr>& issuer = {{"2.5.4.3", V_ASN1_UTF8STRING, "Root"}}) {
    test::certs::Params s;
    s.subject = subject;
    s.issuer = issuer;
    s.subject_key = key_.get();
    s.issuer_key = key_.get();
    const Bytes der = test::certs::MakeCert(s);
    X509ContextPtr ctx = MakeX509Context();
    EXPECT_TRUE(SetCertificateFromDer(ctx.get(), der.data(), static_cast<uint32_t>(der.size())));
    return ctx;
  }

  // Calls a size-rule text function twice, the way callers do.
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
    EXPECT_EQ(size, std::strlen(text.c_str()) + 1);
    return text.c_str();
  }

  std::string Subject(X509Context* ctx, uint32_t type, uint32_t* needed = nullptr) {
    return Twice([&](char* t, uint32_t* s) { return GetSubjectString(ctx, type, t, s); }, nullptr, needed);
  }
  std::string Issuer(X509Context* ctx, uint32_t type) {
    return Twice([&](char* t, uint32_t* s) { return GetIssuerString(ctx, type, t, s); });
  }
  std::string Display(X509Context* ctx) {
    return Twice([&](char* t, uint32_t* s) { return GetDisplayName(ctx, t, s); });
  }

  test::certs::Key key_ = test::certs::NewKey();
};

const std::vector<Attr> kPerson = {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"},
                                   {"2.5.4.10", V_ASN1_UTF8STRING, "Firma"},
                                   {"2.5.4.3", V_ASN1_UTF8STRING, "Kowalski, Jan"}};

TEST_F(NamesTest, SubjectTextWithoutQuotes) {
  X509ContextPtr ctx = Context(kPerson);
  uint32_t needed = 0;
  EXPECT_EQ(Subject(ctx.get(), CERT_X500_NAME_STR, &needed), "C=PL, O=Firma, CN=Kowalski, Jan");
  // The needed size is that of the platform's text, quotes included.
  EXPECT_EQ(needed, std::string("C=PL, O=Firma, CN=\"Kowalski, Jan\"").size() + 1);
  EXPECT_EQ(Subject(ctx.get(), CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG),
            "CN=Kowalski, Jan, O=Firma, C=PL");
  EXPECT_EQ(Subject(ctx.get(), CERT_OID_NAME_STR), "2.5.4.6=PL, 2.5.4.10=Firma, 2.5.4.3=Kowalski, Jan");
  EXPECT_EQ(ctx->last_error, 0u);

  uint32_t size = 5;
  char small[5];
  EXPECT_EQ(GetSubjectString(ctx.get(), CERT_X500_NAME_STR, small, &size), kMoreData);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(ctx->last_error, kMoreData);
}

TEST_F(NamesTest, IssuerTextReversedWithQuotes) {
  X509ContextPtr ctx = Context(kPerson, {{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"},
                                         {"2.5.4.10", V_ASN1_UTF8STRING, "a, b"},
                                         {"2.5.4.3", V_ASN1_UTF8STRING, "Root CA"}});
  EXPECT_EQ(Issuer(ctx.get(), CERT_X500_NAME_STR), "CN=Root CA, O=\"a, b\", C=PL");
  EXPECT_EQ(Issuer(ctx.get(), CERT_OID_NAME_STR), "2.5.4.3=Root CA, 2.5.4.10=\"a, b\", 2.5.4.6=PL");
}

TEST_F(NamesTest, HexValuesAreRendered) {
  // An O whose value is a SEQUENCE of two UTF8Strings, and a CN that is an OCTET STRING.
  const std::string seq("\x30\x06\x0C\x01" "a" "\x0C\x01" "b", 8);
  X509ContextPtr ctx = Context({{"2.5.4.10", V_ASN1_SEQUENCE, seq}, {"2.5.4.3", V_ASN1_UTF8STRING, "x"}});
  EXPECT_EQ(Subject(ctx.get(), CERT_OID_NAME_STR), "2.5.4.10=a| b, 2.5.4.3=x");
  // Ill-formed UTF-8 renders longer than its hex digits: the size asked for covers it.
  const std::string invalid = std::string("\x30\x16\x0C\x14", 4) + std::string(20, '\xFF');
  X509ContextPtr wide = Context({{"2.5.4.10", V_ASN1_SEQUENCE, invalid}});
  std::string replacement;
  for (int i = 0; i < 20; ++i) replacement += "\xEF\xBF\xBD";
  EXPECT_EQ(Subject(wide.get(), CERT_OID_NAME_STR), "2.5.4.10=" + replacement);
  // A SEQUENCE whose element runs past its end.
  X509ContextPtr bad = Context({{"2.5.4.10", V_ASN1_SEQUENCE, std::string("\x30\x03\x02\x05\x01", 5)}});
  uint32_t size = 100;
  std::string text(size, '\0');
  EXPECT_EQ(GetSubjectString(bad.get(), CERT_OID_NAME_STR, text.data(), &size), 13u);
  EXPECT_EQ(bad->last_error, 13u);
}

TEST_F(NamesTest, NoCertificate) {
  X509ContextPtr ctx = MakeX509Context();
  uint32_t size = 0;
  EXPECT_EQ(GetSubjectString(ctx.get(), 2, nullptr, &size), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(GetIssuerString(ctx.get(), 2, nullptr, &size), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(GetDisplayName(ctx.get(), nullptr, &size), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(ctx->last_error, LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(CertIssuerToRfc2253(nullptr, 0, nullptr, &size), LIB_E_NO_CERTIFICATE);
  EXPECT_EQ(CrlIssuerToRfc2253(nullptr, 0, nullptr, &size), LIB_E_NO_CERTIFICATE);
}

TEST(NameAttribute, MatchesOnlyAtTheStartOfAnAttribute) {
  struct Case {
    const char* text;
    const char* key;
    LibraryErrorCode err;
    const char* value;
  } cases[] = {
      {"2.5.4.42=Jan, 2.5.4.4=Kowalski", "2.5.4.4", 0, "Kowalski"},
      {"2.5.4.42=Jan, 2.5.4.4=Kowalski", "2.5.4.42", 0, "Jan"},
      {"2.5.4.3=x", "2.5.4.4", 2, ""},
      {"2.5.4.43=x", "2.5.4.4", 2, ""},
      // A value that holds the text of another attribute does not pass for it.
      {"2.5.4.10=\"x, 2.5.4.3=Evil\", 2.5.4.3=Real", "2.5.4.3", 0, "Real"},
      {"2.5.4.10=\"x, 2.5.4.3=Evil\"", "2.5.4.3", 2, ""},
      {"2.5.4.10=\"x + 2.5.4.3=Evil\"", "2.5.4.3", 2, ""},
      // Texts without quotes, as GetSubjectString hands them out.
      {"CN=Kowalski, Jan, O=Firma", "CN", 0, "Kowalski, Jan"},
      {"O=Firma, CN=Kowalski, Jan", "CN", 0, "Kowalski, Jan"},
      {"O=x, CN=a=b", "CN", 0, "a=b"},
      {"CN=\"Joe \"\"Cool\"\"\", O=x", "CN", 0, "Joe \"Cool\""},
      {"CN=a + SN=b, C=PL", "SN", 0, "b"},
      {"CN=a + SN=b, C=PL", "CN", 0, "a"},
      {"CN=a + SN=b, C=PL", "C", 0, "PL"},
      {"CN=\"unterminated", "CN", 13, ""},
      {"", "CN", 2, ""},
      {"no attributes here", "CN", 2, ""},
  };
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(GetNameAttribute(c.text, c.key, ',', &value), c.err) << c.text;
    if (c.err == 0) {
      EXPECT_EQ(value, c.value) << c.text;
    }
    std::vector<char> out(std::strlen(c.text) + 1, '\x7f');
    EXPECT_EQ(GetNameAttribute(c.text, c.key, ',', out.data()), c.err);
    if (c.err == 0) {
      EXPECT_STREQ(out.data(), c.value);
    }
  }
  char out[4];
  EXPECT_EQ(GetNameAttribute(nullptr, "CN", ',', out), 87u);
}

TEST_F(NamesTest, DisplayName) {
  const Attr cn{"2.5.4.3", V_ASN1_UTF8STRING, "Anna Nowak"};
  const Attr given{"2.5.4.42", V_ASN1_UTF8STRING, "Jan"};
  const Attr surname{"2.5.4.4", V_ASN1_UTF8STRING, "Kowalski"};
  const Attr pseudonym{"2.5.4.65", V_ASN1_UTF8STRING, "Ps"};
  const Attr country{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"};
  const Attr spoof{"2.5.4.10", V_ASN1_UTF8STRING, "x, 2.5.4.3=Evil"};
  const std::string seq_spoof = std::string("\x30\x11\x0C\x0F", 4) + "x, 2.5.4.3=Evil";
  const Attr hex_spoof{"2.5.4.10", V_ASN1_SEQUENCE, seq_spoof};
  struct Case {
    std::vector<Attr> subject;
    const char* name;
  } cases[] = {
      {{country, given, surname, cn}, "Anna Nowak"},
      {{country, given, surname}, "Jan Kowalski"},
      {{country, given}, " "},
      {{country, surname, pseudonym}, "Ps (pseudonim)"},
      {{country}, " "},
      {{country, spoof, cn}, "Anna Nowak"},
      {{spoof, country, given, surname}, "Jan Kowalski"},
      {{hex_spoof, given, surname}, "Jan Kowalski"},
      {{hex_spoof}, " "},
  };
  for (const Case& c : cases) {
    X509ContextPtr ctx = Context(c.subject);
    EXPECT_EQ(Display(ctx.get()), c.name);
    EXPECT_EQ(ctx->last_error, 0u);
  }
}

TEST_F(NamesTest, IssuerCommonName) {
  auto cn = [&](const std::vector<Attr>& issuer) {
    X509ContextPtr ctx = Context(kPerson, issuer);
    return Twice([&](char* t, uint32_t* s) { return GetIssuerCommonName(ctx.get(), t, s); });
  };
  const Attr c{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"};
  EXPECT_EQ(cn({c, {"2.5.4.10", V_ASN1_UTF8STRING, "Org"}, {"2.5.4.3", V_ASN1_UTF8STRING, "Root CA"}}), "Root CA");
  // A value holding "CN=" does not stand in for the common name.
  EXPECT_EQ(cn({c, {"2.5.4.3", V_ASN1_UTF8STRING, "Root CA"}, {"2.5.4.11", V_ASN1_UTF8STRING, "x, CN=Evil"}}),
            "Root CA");
  EXPECT_EQ(cn({c, {"2.5.4.3", V_ASN1_UTF8STRING, "A, B"}}), "A, B");
  EXPECT_EQ(cn({c, {"2.5.4.10", V_ASN1_UTF8STRING, "Org"}}), "<13>");
}

TEST_F(NamesTest, Rfc2253) {
  auto rfc = [&](const std::vector<Attr>& issuer, uint32_t* needed = nullptr) {
    X509ContextPtr ctx = Context(kPerson, issuer);
    CertPtr cert = GetCertificateContext(ctx.get());
    return Twice([&](char* t, uint32_t* s) { return CertIssuerToRfc2253(cert.get(), 0, t, s); },
                 nullptr, needed);
  };
  const int P = V_ASN1_PRINTABLESTRING;
  uint32_t needed = 0;
  EXPECT_EQ(rfc({{"2.5.4.6", P, "PL"}, {"2.5.4.10", P, "Org"}, {"2.5.4.3", P, "Root"}}, &needed),
            "CN=Root,O=Org,C=PL");
  EXPECT_EQ(needed, 11u + 7 + 5 + 4);
  EXPECT_EQ(rfc({{"2.5.4.6", P, "PL"}, {"2.5.4.3", V_ASN1_UTF8STRING, "Root"}}), "C=PL");
  EXPECT_EQ(rfc({{"1.2.3", P, "ab"}}), "1.2.3=#13026162");
  // A multi-valued RDN as encoded (its SET sorted: L before CN), then reversed.
  EXPECT_EQ(rfc({{"2.5.4.3", P, ",lead"}, {"2.5.4.7", P, "x", true}}), "CN=\\,lead,L=x");
  EXPECT_EQ(rfc({{"2.5.4.6", P, "PL"}, {"2.5.4.10", V_ASN1_SEQUENCE, std::string("\x30\x00", 2)}}), "C=PL");
  EXPECT_EQ(rfc({{"0.9.2342.19200300.100.1.25", P, "pl"}, {"0.9.2342.19200300.100.1.1", P, "u1"},
                 {"2.5.4.8", P, "st"}, {"2.5.4.9", P, "s"}, {"2.5.4.11", P, "ou"}}),
            "OU=ou,STREET=s,ST=st,UID=u1,DC=pl");
  // More attributes than the fixed margin of eleven separators covers.
  std::vector<Attr> many;
  for (int i = 0; i < 15; ++i) many.push_back({"2.5.4.6", P, "PL"});
  std::string expected;
  for (int i = 0; i < 15; ++i) expected += (i ? ",C=PL" : "C=PL");
  EXPECT_EQ(rfc(many, &needed), expected);
  EXPECT_EQ(needed, expected.size() + 1);
}

TEST_F(NamesTest, CrlIssuerRfc2253) {
  std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
  X509_CRL_set_issuer_name(crl.get(), test::certs::MakeName({{"2.5.4.6", V_ASN1_PRINTABLESTRING, "PL"},
                                                            {"2.5.4.3", V_ASN1_PRINTABLESTRING, "CA 1"}}).get());
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(X509_gmtime_adj(nullptr, 0), ASN1_TIME_free);
  X509_CRL_set1_lastUpdate(crl.get(), t.get());
  X509_CRL_sign(crl.get(), key_.get(), EVP_sha256());
  Bytes der(static_cast<size_t>(i2d_X509_CRL(crl.get(), nullptr)));
  unsigned char* p = der.data();
  i2d_X509_CRL(crl.get(), &p);
  CrlPtr c = platform::CrlContext::FromDer(der);
  ASSERT_TRUE(c);
  uint32_t size = 0;
  EXPECT_EQ(CrlIssuerToRfc2253(c.get(), 0, nullptr, &size), kMoreData);
  std::string text(size, '\0');
  EXPECT_EQ(CrlIssuerToRfc2253(c.get(), 0, text.data(), &size), 0u);
  EXPECT_STREQ(text.c_str(), "CN=CA 1,C=PL");
}

TEST(Rfc2253, Escaping) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {",a", "\\,a"},        {"#a", "\\#a"},          {"a#", "a#"},
      {"a b ", "a b\\ "},    {" ", "\\ "},            {" a", "\\ a"},
      {"  ", "\\ \\ "},      {"a\\b", "a\\\\b"},      {"<>;+\"", "\\<\\>\\;\\+\\\""},
      {"a=b", "a=b"},        {"", ""},                {" #", "\\ #"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeRfc2253(c.in), c.out) << c.in;
  EXPECT_EQ(EscapeRfc2253(std::string_view("a\0b", 3)), "a\\00b");
}

TEST(Rfc2253, WriteAsnHexRestoresTheBase) {
  std::ostringstream out;
  const Bytes bytes{0x0A, 0xFF, 0x00};
  WriteAsnHex(bytes, out);
  out << ' ' << 255;
  EXPECT_EQ(out.str(), "0aff00 255");
}

}  // namespace
}  // namespace vel::crypto
