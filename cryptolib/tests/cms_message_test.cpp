#include "cryptolib/cms_message.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <string>

#include "cryptolib/cms_signed_data.h"
#include "cryptolib/der.h"
#include "platform/tests/test_pki.h"

namespace vel::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Sha1(std::span<const uint8_t> data) {
  Bytes md(20);
  EVP_Digest(data.data(), data.size(), md.data(), nullptr, EVP_sha1(), nullptr);
  return md;
}

bool Contains(std::span<const uint8_t> hay, std::span<const uint8_t> needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Calls a size-rule function twice, as callers do.
template <typename F>
LibraryErrorCode TwoCalls(F&& f, Bytes* out) {
  uint32_t size = 0;
  LibraryErrorCode err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  err = f(out->data(), &size);
  if (err == 0) out->resize(size);
  return err;
}

Bytes SignFlat(const Bytes& content, const test::TestIdentity& id, bool detached,
               LibraryErrorCode* status = nullptr) {
  Bytes out;
  const LibraryErrorCode err = TwoCalls(
      [&](uint8_t* o, uint32_t* s) {
        return detached ? SignMessageDetached(content.data(), static_cast<uint32_t>(content.size()),
                                              id.cert.get(), o, s)
                        : SignMessageAttached(content.data(), static_cast<uint32_t>(content.size()),
                                              id.cert.get(), o, s);
      },
      &out);
  if (status) *status = err;
  else EXPECT_EQ(err, 0u);
  return out;
}

Bytes Attr(const char* oid, std::span<const uint8_t> value) {
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(oid);
  w.Begin(der::kSet);
  w.AddEncoded(value);
  w.End();
  w.End();
  return *w.Finish();
}

Bytes OidElement(const char* oid) {
  der::Writer w;
  w.AddOid(oid);
  return *w.Finish();
}

Bytes OctetString(std::span<const uint8_t> v) {
  der::Writer w;
  w.AddOctetString(v);
  return *w.Finish();
}

// A SignedData signed by `id` with the given signed attributes as they are
// (none: the signature is over the content itself), attached.
struct Custom {
  std::vector<Bytes> attrs;
  bool no_signed_attributes = false;
  bool by_key_id = false;
};
Bytes BuildMessage(const test::TestIdentity& id, const Bytes& content, const Custom& c) {
  der::Writer set;
  set.Begin(der::kSet);
  for (const Bytes& a : c.attrs) set.AddEncoded(a);
  set.End();
  const Bytes signed_set = *set.Finish();
  const Bytes to_sign = c.no_signed_attributes ? content : signed_set;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(id.key.get(), nullptr);
  EVP_PKEY_sign_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1());
  const Bytes md = Sha1(to_sign);
  size_t len = 512;
  Bytes sig(len);
  EVP_PKEY_sign(ctx, sig.data(), &len, md.data(), md.size());
  sig.resize(len);
  EVP_PKEY_CTX_free(ctx);

  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidSignedData);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.AddInteger(c.by_key_id ? 3 : 1);
  w.Begin(der::kSet);
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.End();
  w.End();
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidData);
  w.Begin(der::ContextConstructed(0));
  w.AddOctetString(content);
  w.End();
  w.End();
  w.Begin(der::ContextConstructed(0));
  w.AddEncoded(id.cert->der());
  w.End();
  w.Begin(der::kSet);
  w.Begin(der::kSequence);
  w.AddInteger(c.by_key_id ? 3 : 1);
  if (c.by_key_id) {
    std::vector<uint8_t> ski;
    id.cert->FindExtension("2.5.29.14", &ski);
    der::Reader r(ski);
    std::span<const uint8_t> key_id;
    r.ReadOctetString(&key_id);
    w.Add(der::ContextPrimitive(0), key_id);
  } else {
    w.Begin(der::kSequence);
    w.AddEncoded(id.cert->issuer_der());
    w.AddIntegerContent(id.cert->serial());
    w.End();
  }
  w.Begin(der::kSequence);
  w.AddOid(kOidSha1);
  w.End();
  if (!c.no_signed_attributes) {
    w.Begin(der::ContextConstructed(0));
    for (const Bytes& a : c.attrs) w.AddEncoded(a);
    w.End();
  }
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidRsaEncryption);
  w.AddNull();
  w.End();
  w.AddOctetString(sig);
  w.End();
  w.End();
  w.End();
  w.End();
  w.End();
  return *w.Finish();
}

// A time-stamp token stand-in: one DER element of the given total length.
Bytes FakeToken(size_t total, uint8_t fill) {
  // SEQUENCE { OCTET STRING } with minimal lengths; pick the payload so the total fits.
  for (size_t payload = total; payload > 0; --payload) {
    der::Writer w;
    w.Begin(der::kSequence);
    w.AddOctetString(Bytes(payload, fill));
    w.End();
    Bytes b = *w.Finish();
    if (b.size() == total) return b;
  }
  return {};
}

class CmsMessageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<test::TestPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override { pin_.Install(); }

  static uint32_t Count(const Bytes& m) {
    uint32_t n = 0;
    EXPECT_EQ(GetSignerCount(m.data(), static_cast<uint32_t>(m.size()), &n), 0u);
    return n;
  }
  static LibraryErrorCode Verify(const Bytes& m, uint32_t i) {
    return VerifyAttached(m.data(), static_cast<uint32_t>(m.size()), i);
  }
  static LibraryErrorCode VerifyDet(const Bytes& content, const Bytes& sig, uint32_t i) {
    return VerifyDetached(content.data(), static_cast<uint32_t>(content.size()), sig.data(),
                          static_cast<uint32_t>(sig.size()), i);
  }
  static Bytes CoSign(const Bytes& m, const test::TestIdentity& id) {
    Bytes out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    return CoSignAttached(m.data(), static_cast<uint32_t>(m.size()), id.cert.get(),
                                          o, s);
                  },
                  &out),
              0u);
    return out;
  }
  static Bytes AddAttr(const Bytes& m, uint32_t index, const Bytes& attr,
                       LibraryErrorCode expect = 0) {
    Bytes out;
    EXPECT_EQ(TwoCalls(
                  [&](uint8_t* o, uint32_t* s) {
                    return AddSignerUnsignedAttribute(m.data(), static_cast<uint32_t>(m.size()),
                                                      index, attr.data(),
                                                      static_cast<uint32_t>(attr.size()), o, s);
                  },
                  &out),
              expect);
    return out;
  }
  static LibraryErrorCode Attribute(bool signed_attr, const Bytes& m, uint32_t index,
                                    const char* oid, uint32_t occurrence, Bytes* value) {
    return TwoCalls(
        [&](uint8_t* o, uint32_t* s) {
          return signed_attr ? GetSignedAttribute(m.data(), static_cast<uint32_t>(m.size()), index,
                                                  oid, occurrence, o, s)
                             : GetUnsignedAttribute(m.data(), static_cast<uint32_t>(m.size()),
                                                    index, oid, occurrence, o, s);
        },
        value);
  }
  static cms::SignedData Parsed(const Bytes& m) {
    cms::SignedData sd;
    EXPECT_EQ(cms::ParseSignedData(m, &sd), 0u);
    return sd;
  }

  static std::unique_ptr<test::TestPki> pki_;
  test::ScriptedPin pin_;
  const Bytes content_ = ToBytes("Strumien stron dokumentu KDOC \x01\x02\x03 koniec");
};
std::unique_ptr<test::TestPki> CmsMessageTest::pki_;

TEST_F(CmsMessageTest, SignsAttachedAndDetachedAndVerifies) {
  for (const test::TestIdentity* id : {&pki_->signer, &pki_->qualified}) {
    for (bool detached : {false, true}) {
      SCOPED_TRACE(detached ? "detached" : "attached");
      pin_.asked = 0;
      const Bytes m = SignFlat(content_, *id, detached);
      EXPECT_EQ(pin_.asked, 1) << "the size query uses no key; the signing asks once";
      EXPECT_EQ(Count(m), 1u);
      if (detached) {
        EXPECT_EQ(VerifyDet(content_, m, 0), 0u);
        Bytes got;
        EXPECT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                    return GetMessageContent(m.data(), static_cast<uint32_t>(m.size()), o, s);
                  }, &got), 0u);
        EXPECT_TRUE(got.empty());
      } else {
        EXPECT_EQ(Verify(m, 0), 0u);
        Bytes got;
        ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
                    return GetMessageContent(m.data(), static_cast<uint32_t>(m.size()), o, s);
                  }, &got), 0u);
        EXPECT_EQ(got, content_);
      }
    }
  }
  // Empty content signs and verifies too.
  const Bytes empty;
  const Bytes m = SignFlat(empty, pki_->signer, false);
  EXPECT_EQ(Verify(m, 0), 0u);
}

TEST_F(CmsMessageTest, WritesTheSignatureLayout) {
  const Bytes m = SignFlat(content_, pki_->signer, true);
  const cms::SignedData sd = Parsed(m);
  const platform::CertContext& cert = *pki_->signer.cert;
  EXPECT_EQ(sd.digest_algorithm_oids, std::vector<std::string>{kOidSha1});
  EXPECT_FALSE(sd.has_econtent);
  ASSERT_EQ(sd.certificates.size(), 1u);
  EXPECT_TRUE(std::ranges::equal(sd.certificates[0], cert.der()));
  EXPECT_TRUE(sd.crls.empty());
  ASSERT_EQ(sd.signers.size(), 1u);
  const cms::SignerInfo& si = sd.signers[0];
  EXPECT_EQ(si.version, 1);
  EXPECT_FALSE(si.by_key_id);
  EXPECT_TRUE(std::ranges::equal(si.issuer, cert.issuer_der()));
  EXPECT_TRUE(std::ranges::equal(si.serial, cert.serial()));
  EXPECT_EQ(si.serial[0], 0x00) << "the serial's sign octet is copied as it stands";
  EXPECT_EQ(si.digest_oid, kOidSha1);
  EXPECT_EQ(si.signature_oid, cms::kOidRsaEncryption);
  EXPECT_EQ(si.signature.size(), 256u);
  EXPECT_FALSE(si.has_unsigned_attributes);

  // Exactly contentType, messageDigest and signingCertificate, in DER order.
  ASSERT_EQ(si.signed_attrs.size(), 3u);
  EXPECT_EQ(si.signed_attrs[0].oid, cms::kOidContentType);
  EXPECT_EQ(si.signed_attrs[1].oid, cms::kOidMessageDigest);
  EXPECT_EQ(si.signed_attrs[2].oid, kOidSigningCertificate);
  for (size_t i = 0; i + 1 < si.signed_attrs.size(); ++i)
    EXPECT_TRUE(std::ranges::lexicographical_compare(si.signed_attrs[i].encoded,
                                                     si.signed_attrs[i + 1].encoded));
  EXPECT_EQ(Bytes(si.signed_attrs[0].values[0].begin(), si.signed_attrs[0].values[0].end()),
            OidElement(cms::kOidData));
  EXPECT_EQ(Bytes(si.signed_attrs[1].values[0].begin(), si.signed_attrs[1].values[0].end()),
            OctetString(Sha1(content_)));

  Bytes ess = {0x30, 0x1A, 0x30, 0x18, 0x30, 0x16, 0x04, 0x14};
  ess.insert(ess.end(), cert.sha1().begin(), cert.sha1().end());
  Bytes value;
  ASSERT_EQ(Attribute(true, m, 0, kOidSigningCertificate, 0, &value), 0u);
  EXPECT_EQ(value, ess);

  Bytes got;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerItem(1, m.data(), static_cast<uint32_t>(m.size()), 0, o, s);
            }, &got), 0u);
  EXPECT_TRUE(std::ranges::equal(got, cert.der()));
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerItem(2, m.data(), static_cast<uint32_t>(m.size()), 0, o, s);
            }, &got), 0u);
  EXPECT_TRUE(std::ranges::equal(got, si.signature));
}

TEST_F(CmsMessageTest, FollowsTheSizeRule) {
  const Bytes m = SignFlat(content_, pki_->signer, false);
  const uint32_t len = static_cast<uint32_t>(m.size());
  const uint32_t cert_len = static_cast<uint32_t>(pki_->signer.cert->der().size());
  uint32_t size = 0;
  EXPECT_EQ(GetSignerCertificate(m.data(), len, 0, nullptr, &size), 234u);
  EXPECT_EQ(size, cert_len);
  Bytes buf(cert_len + 10, 0xEE);
  size = cert_len - 1;
  EXPECT_EQ(GetSignerCertificate(m.data(), len, 0, buf.data(), &size), 234u);
  EXPECT_EQ(size, cert_len);
  EXPECT_EQ(buf[0], 0xEE) << "nothing written when the buffer is too small";
  size = cert_len + 10;
  EXPECT_EQ(GetSignerCertificate(m.data(), len, 0, buf.data(), &size), 0u);
  EXPECT_EQ(size, cert_len);

  // Signing: the need from the first call is exactly what the second writes.
  size = 0;
  ASSERT_EQ(SignMessageAttached(content_.data(), static_cast<uint32_t>(content_.size()),
                                pki_->signer.cert.get(), nullptr, &size),
            234u);
  EXPECT_EQ(size, m.size());
  buf.assign(size - 1, 0);
  uint32_t small = size - 1;
  EXPECT_EQ(SignMessageAttached(content_.data(), static_cast<uint32_t>(content_.size()),
                                pki_->signer.cert.get(), buf.data(), &small),
            234u);
  EXPECT_EQ(small, size);
  EXPECT_EQ(GetSignerCount(m.data(), len, nullptr), 0u) << "the count argument may be absent";
}

TEST_F(CmsMessageTest, CoSigningKeepsTheFirstSignersBytes) {
  const Bytes m1 = SignFlat(content_, pki_->signer, false);
  const Bytes m2 = CoSign(m1, pki_->cosigner);
  const cms::SignedData a = Parsed(m1), b = Parsed(m2);
  ASSERT_EQ(Count(m2), 2u);
  EXPECT_TRUE(std::ranges::equal(a.signers[0].encoded, b.signers[0].encoded));
  EXPECT_TRUE(std::ranges::equal(a.encap, b.encap));
  EXPECT_TRUE(std::ranges::equal(a.digest_algorithms, b.digest_algorithms));
  EXPECT_TRUE(std::ranges::equal(a.version, b.version));
  ASSERT_EQ(b.certificates.size(), 2u);
  EXPECT_TRUE(std::ranges::equal(b.certificates[0], a.certificates[0]));
  EXPECT_TRUE(std::ranges::equal(b.certificates[1], pki_->cosigner.cert->der()));
  EXPECT_TRUE(Contains(m2, a.signers[0].encoded));
  EXPECT_EQ(Verify(m2, 0), 0u);
  EXPECT_EQ(Verify(m2, 1), 0u);
  Bytes cert;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerCertificate(m2.data(), static_cast<uint32_t>(m2.size()), 1, o, s);
            }, &cert), 0u);
  EXPECT_TRUE(std::ranges::equal(cert, pki_->cosigner.cert->der()));

  // A signer whose certificate is already there adds no second copy; the new
  // signer's index is the previous count.
  const Bytes m3 = CoSign(m2, pki_->signer);
  const cms::SignedData c = Parsed(m3);
  EXPECT_EQ(c.certificates.size(), 2u);
  EXPECT_TRUE(std::ranges::equal(c.certificates_element, b.certificates_element));
  ASSERT_EQ(Count(m3), 3u);
  EXPECT_TRUE(std::ranges::equal(c.signers[1].encoded, b.signers[1].encoded));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(Verify(m3, i), 0u) << i;
}

TEST_F(CmsMessageTest, DetachedCoSignatureStaysDetached) {
  const Bytes s1 = SignFlat(content_, pki_->signer, true);
  Bytes s2;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return CoSignDetached(content_.data(), static_cast<uint32_t>(content_.size()),
                                    s1.data(), static_cast<uint32_t>(s1.size()),
                                    pki_->qualified.cert.get(), o, s);
            }, &s2), 0u);
  EXPECT_FALSE(Parsed(s2).has_econtent);
  EXPECT_TRUE(Contains(s2, Parsed(s1).signers[0].encoded));
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(VerifyDet(content_, s2, i), 0u) << i;
    Bytes other = content_;
    other.back() ^= 1;
    EXPECT_EQ(VerifyDet(other, s2, i), kCryptEHashValue) << i;
  }
  uint32_t size = 0;
  EXPECT_EQ(GetMessageContentDigest(s2.data(), static_cast<uint32_t>(s2.size()), nullptr, &size),
            13u);
}

TEST_F(CmsMessageTest, AddsTimeStampAttributesWithoutTouchingOtherBytes) {
  const Bytes m0 = CoSign(SignFlat(content_, pki_->signer, false), pki_->cosigner);
  const Bytes small = FakeToken(120, 0x11), large = FakeToken(3000, 0x22);
  Bytes small_attr, large_attr;
  ASSERT_EQ(MakeSignatureTimeStampAttribute(small, &small_attr), 0u);
  ASSERT_EQ(MakeSignatureTimeStampAttribute(large, &large_attr), 0u);
  // Two-byte lengths even for a short token.
  const Bytes head = {0x30, 0x82, 0x00, 120 + 17, 0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                      0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E, 0x31, 0x82, 0x00, 120};
  ASSERT_EQ(small_attr.size(), 120u + 21);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), small_attr.begin()));

  const Bytes m1 = AddAttr(m0, 1, large_attr);
  const Bytes m2 = AddAttr(m1, 1, small_attr);
  const cms::SignedData a = Parsed(m0), b = Parsed(m2);
  EXPECT_TRUE(std::ranges::equal(a.signers[0].encoded, b.signers[0].encoded));
  EXPECT_TRUE(std::ranges::equal(a.signers[1].head, b.signers[1].head));
  EXPECT_TRUE(std::ranges::equal(a.encap, b.encap));
  EXPECT_TRUE(std::ranges::equal(a.certificates_element, b.certificates_element));
  EXPECT_TRUE(Contains(m2, large_attr));
  EXPECT_TRUE(Contains(m2, small_attr));
  EXPECT_EQ(Verify(m2, 0), 0u);
  EXPECT_EQ(Verify(m2, 1), 0u);

  Bytes token;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerTimeStampToken(m2.data(), static_cast<uint32_t>(m2.size()), 1, 0, o, s);
            }, &token), 0u);
  EXPECT_EQ(token, large) << "tokens keep the order they were added in";
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerTimeStampToken(m2.data(), static_cast<uint32_t>(m2.size()), 1, 1, o, s);
            }, &token), 0u);
  EXPECT_EQ(token, small);
  EXPECT_EQ(Attribute(false, m2, 1, kOidSignatureTimeStampToken, 2, &token), 2u);
  EXPECT_EQ(Attribute(false, m2, 0, kOidSignatureTimeStampToken, 0, &token), 2u);
  EXPECT_EQ(AddAttr(m2, 2, small_attr, kCryptESignerNotFound).size(), 0u);
}

TEST_F(CmsMessageTest, RefusesTokensTooLongForTwoByteLengths) {
  Bytes attr;
  const Bytes longest = FakeToken(kMaxTimeStampToken, 0x33);
  ASSERT_EQ(MakeSignatureTimeStampAttribute(longest, &attr), 0u);
  ASSERT_EQ(attr.size(), kMaxTimeStampToken + 21u);
  EXPECT_EQ(attr[2], 0xFF);
  EXPECT_EQ(attr[3], 0xFF);
  EXPECT_EQ(MakeSignatureTimeStampAttribute(FakeToken(kMaxTimeStampToken + 1, 0x33), &attr), 87u);
  EXPECT_EQ(MakeSignatureTimeStampAttribute(Bytes{0x30, 0x05, 0x00}, &attr), 87u);
  EXPECT_EQ(MakeSignatureTimeStampAttribute(Bytes{}, &attr), 87u);

  // An attribute whose two-byte lengths wrapped (a 70,000-byte token written
  // with T + 17 and T taken modulo 65536) must not be spliced in.
  const Bytes token = FakeToken(70000, 0x44);
  const size_t t = token.size();
  Bytes wrapped = {0x30, 0x82, static_cast<uint8_t>((t + 17) >> 8), static_cast<uint8_t>(t + 17),
                   0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E,
                   0x31, 0x82, static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)};
  wrapped.insert(wrapped.end(), token.begin(), token.end());
  const Bytes m = SignFlat(content_, pki_->signer, true);
  uint32_t size = 0;
  EXPECT_EQ(AddSignerUnsignedAttribute(m.data(), static_cast<uint32_t>(m.size()), 0, wrapped.data(),
                                       static_cast<uint32_t>(wrapped.size()), nullptr, &size),
            87u);
  const Bytes not_attribute = {0x04, 0x02, 0x01, 0x02};
  EXPECT_EQ(AddSignerUnsignedAttribute(m.data(), static_cast<uint32_t>(m.size()), 0,
                                       not_attribute.data(), 4, nullptr, &size),
            87u);
}

TEST_F(CmsMessageTest, ReportsTamperingWithTheRightCode) {
  const Bytes m = SignFlat(content_, pki_->signer, false);
  const cms::SignedData sd = Parsed(m);
  auto offset_of = [&](std::span<const uint8_t> part) {
    return static_cast<size_t>(part.data() - m.data());
  };
  struct Case {
    const char* what;
    size_t offset;
    LibraryErrorCode expect;
  };
  const Case cases[] = {
      {"content byte", offset_of(sd.econtent[0]) + 3, kCryptEHashValue},
      {"signature byte", offset_of(sd.signers[0].signature) + 100, kNteBadSignature},
      {"signing-certificate hash", offset_of(sd.signers[0].signed_attributes) +
                                       sd.signers[0].signed_attributes.size() - 1,
       kNteBadSignature},
  };
  for (const Case& c : cases) {
    Bytes bad = m;
    bad[c.offset] ^= 0x01;
    EXPECT_EQ(Verify(bad, 0), c.expect) << c.what;
  }
  const Bytes d = SignFlat(content_, pki_->signer, true);
  Bytes other = content_;
  other[0] ^= 0x80;
  EXPECT_EQ(VerifyDet(other, d, 0), kCryptEHashValue);
  EXPECT_EQ(VerifyDet(Bytes{}, d, 0), kCryptEHashValue);
}

TEST_F(CmsMessageTest, NeverVerifiesWithoutExactlyOneMatchingMessageDigest) {
  const test::TestIdentity& id = pki_->signer;
  const Bytes ct = Attr(cms::kOidContentType, OidElement(cms::kOidData));
  const Bytes md = Attr(cms::kOidMessageDigest, OctetString(Sha1(content_)));
  const Bytes md_other = Attr(cms::kOidMessageDigest, OctetString(Sha1(ToBytes("x"))));
  const Bytes ct_wrong = Attr(cms::kOidContentType, OidElement("1.2.840.113549.1.9.16.1.4"));
  Bytes two_values;
  {
    der::Writer w;
    w.Begin(der::kSequence);
    w.AddOid(cms::kOidMessageDigest);
    w.Begin(der::kSet);
    w.AddOctetString(Sha1(content_));
    w.AddOctetString(Sha1(content_));
    w.End();
    w.End();
    two_values = *w.Finish();
  }
  struct Case {
    const char* what;
    Custom custom;
    LibraryErrorCode expect;
  };
  const Case cases[] = {
      {"control: both attributes", {{ct, md}}, 0},
      {"control: by subject key identifier", {{ct, md}, false, true}, 0},
      {"no messageDigest", {{ct}}, kCryptEHashValue},
      {"no contentType", {{md}}, kCryptEHashValue},
      {"two messageDigest attributes", {{ct, md, md}}, kCryptEHashValue},
      {"a matching and another digest", {{ct, md_other, md}}, kCryptEHashValue},
      {"messageDigest with two values", {{ct, two_values}}, kCryptEHashValue},
      {"contentType of another type", {{ct_wrong, md}}, kCryptEHashValue},
      // Plain data signed without attributes: the signature covers the content.
      {"no signed attributes, signature over the content", {{}, true}, 0},
  };
  for (const Case& c : cases) {
    const Bytes m = BuildMessage(id, content_, c.custom);
    EXPECT_EQ(Verify(m, 0), c.expect) << c.what;
  }
  const Bytes by_key_id = BuildMessage(id, content_, {{ct, md}, false, true});
  Bytes cert;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetSignerCertificate(by_key_id.data(), static_cast<uint32_t>(by_key_id.size()),
                                          0, o, s);
            }, &cert), 0u);
  EXPECT_TRUE(std::ranges::equal(cert, id.cert->der()));
}

TEST_F(CmsMessageTest, ReadsTheSignedFileNameAsText) {
  const Bytes name = {0x0C, 0x0A, 'u', 'm', 'o', 'w', 'a', '.', 'p', 'd', 'f', 'x'};
  const Bytes ct = Attr(cms::kOidContentType, OidElement(cms::kOidData));
  const Bytes md = Attr(cms::kOidMessageDigest, OctetString(Sha1(content_)));
  const Bytes m = BuildMessage(pki_->signer, content_, {{ct, md, Attr(kOidSignedFileName, name)}});
  uint32_t size = 0;
  ASSERT_EQ(GetSignedAttribute(m.data(), static_cast<uint32_t>(m.size()), 0, kOidSignedFileName, 0,
                               nullptr, &size),
            234u);
  EXPECT_EQ(size, name.size()) << "the need is the whole value";
  Bytes out(size, 0xEE);
  ASSERT_EQ(GetSignedAttribute(m.data(), static_cast<uint32_t>(m.size()), 0, kOidSignedFileName, 0,
                               out.data(), &size),
            0u);
  ASSERT_EQ(size, 11u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data())), "umowa.pdfx");
  EXPECT_EQ(Attribute(true, m, 0, kOidSignedFileName, 1, &out), 2u);
  EXPECT_EQ(Attribute(true, m, 0, "1.2.616.1.170091.20.10.10", 0, &out), 2u) << "exact OID text";
  EXPECT_EQ(GetSignedAttribute(m.data(), static_cast<uint32_t>(m.size()), 0, nullptr, 0, nullptr,
                               &size),
            87u);
}

TEST_F(CmsMessageTest, RejectsWhatIsNotASignedData) {
  const Bytes m = SignFlat(content_, pki_->signer, false);
  uint32_t n = 0;
  const Bytes garbage = ToBytes("this is not DER at all");
  EXPECT_EQ(GetSignerCount(garbage.data(), static_cast<uint32_t>(garbage.size()), &n),
            kCryptEBadTag);
  EXPECT_EQ(GetSignerCount(nullptr, 0, &n), kCryptEBadTag);
  EXPECT_EQ(GetSignerCount(nullptr, 5, &n), 87u);
  EXPECT_EQ(VerifyAttached(garbage.data(), static_cast<uint32_t>(garbage.size()), 0), kCryptEBadTag);
  // Every cut of the message fails cleanly.
  for (size_t cut : {size_t{1}, size_t{2}, size_t{4}, size_t{20}, m.size() / 2, m.size() - 1})
    EXPECT_EQ(VerifyAttached(m.data(), static_cast<uint32_t>(cut), 0), kCryptEBadTag) << cut;
  // A ContentInfo of another type.
  der::Writer w;
  w.Begin(der::kSequence);
  w.AddOid(cms::kOidEnvelopedData);
  w.Begin(der::ContextConstructed(0));
  w.Begin(der::kSequence);
  w.End();
  w.End();
  w.End();
  const Bytes enveloped = *w.Finish();
  EXPECT_EQ(GetSignerCount(enveloped.data(), static_cast<uint32_t>(enveloped.size()), &n),
            kCryptEInvalidMsgType);

  EXPECT_EQ(Verify(m, 1), kCryptESignerNotFound);
  uint32_t size = 0;
  EXPECT_EQ(GetSignerItem(3, m.data(), static_cast<uint32_t>(m.size()), 0, nullptr, &size), 87u);
  EXPECT_EQ(GetMessageContentItem(0, m.data(), static_cast<uint32_t>(m.size()), nullptr, &size),
            87u);
  Bytes digest;
  ASSERT_EQ(TwoCalls([&](uint8_t* o, uint32_t* s) {
              return GetMessageContentItem(2, m.data(), static_cast<uint32_t>(m.size()), o, s);
            }, &digest), 0u);
  EXPECT_EQ(digest, Sha1(content_));
  EXPECT_EQ(GetMessageContentDigest(garbage.data(), static_cast<uint32_t>(garbage.size()), nullptr,
                                    &size),
            13u);

  // A message whose certificate is not the signer's.
  Bytes foreign = m;
  const cms::SignedData sd = Parsed(m);
  const size_t at = static_cast<size_t>(sd.signers[0].serial.data() - m.data());
  foreign[at + sd.signers[0].serial.size() - 1] ^= 0x01;
  EXPECT_EQ(Verify(foreign, 0), kCryptENotFound);
  EXPECT_EQ(GetSignerCertificate(foreign.data(), static_cast<uint32_t>(foreign.size()), 0, nullptr,
                                 &size),
            2u);
}

TEST_F(CmsMessageTest, KeyProblemsComeBackAsStatus) {
  LibraryErrorCode status = 0;
  pin_.asked = 0;
  Bytes out = SignFlat(content_, pki_->unbound, true, &status);
  EXPECT_EQ(status, kCryptENoKeyProperty);
  EXPECT_EQ(pin_.asked, 0);

  pin_.cancel = true;
  out = SignFlat(content_, pki_->signer, true, &status);
  EXPECT_EQ(status, 1223u);
  pin_.cancel = false;

  pin_.pin = "4321";
  out = SignFlat(content_, pki_->signer, false, &status);
  EXPECT_EQ(status, 0x8010006Bu);
  const Bytes m = SignFlat(content_, pki_->signer, false, &status);
  pin_.pin = test::kTestPin;

  const Bytes good = SignFlat(content_, pki_->signer, false);
  pin_.cancel = true;
  uint32_t size = 0;
  ASSERT_EQ(CoSignAttached(good.data(), static_cast<uint32_t>(good.size()),
                           pki_->cosigner.cert.get(), nullptr, &size),
            234u);
  Bytes buf(size, 0xEE);
  EXPECT_EQ(CoSignAttached(good.data(), static_cast<uint32_t>(good.size()),
                           pki_->cosigner.cert.get(), buf.data(), &size),
            1223u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0xEE; }))
      << "a cancelled signing writes no bytes";
}

}  // namespace
}  // namespace vel::crypto
