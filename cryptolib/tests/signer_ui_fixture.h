// Pieces for the CMS signer window tests: SignerInfos crafted field by field
// (the window reads them without checking their signature), attributes,
// names, time-stamp tokens with any genTime text, and a message of our own
// layout with a time stamp and a counter-signature.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cryptolib/cms_message.h"
#include "cryptolib/der.h"
#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "platform/tests/test_pki.h"

namespace vel::test::signerui {

inline ByteVec Element(const std::function<void(der::Writer&)>& body) {
  der::Writer w;
  body(w);
  std::optional<ByteVec> out = w.Finish();
  EXPECT_TRUE(out.has_value());
  return out.value_or(ByteVec{});
}

inline ByteVec Attr(const std::string& oid, const std::vector<ByteVec>& values) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid(oid);
    w.Begin(der::kSet);
    for (const ByteVec& v : values) w.AddEncoded(v);
    w.End();
    w.End();
  });
}

inline ByteVec OidValue(const std::string& oid) {
  return Element([&](der::Writer& w) { w.AddOid(oid); });
}

inline ByteVec OctetsValue(std::span<const uint8_t> bytes) {
  return Element([&](der::Writer& w) { w.AddOctetString(bytes); });
}

// A primitive element with this tag and these content characters.
inline ByteVec Primitive(uint8_t tag, std::string_view content) {
  return Element([&](der::Writer& w) {
    w.Add(tag, std::span(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
  });
}

// A Name of single-attribute RDNs in this order; UTF8String values.
inline ByteVec NameDer(const std::vector<std::pair<std::string, std::string>>& attributes) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    for (const auto& [oid, value] : attributes) {
      w.Begin(der::kSet);
      w.Begin(der::kSequence);
      w.AddOid(oid);
      w.AddUtf8String(value);
      w.End();
      w.End();
    }
    w.End();
  });
}

struct CraftedSigner {
  int64_t version = 1;
  bool by_key_id = false;
  ByteVec issuer = NameDer({{"2.5.4.6", "PL"}, {"2.5.4.10", "Firma"}, {"2.5.4.3", "Urząd"}});
  ByteVec serial = {0x01, 0xA2};  // INTEGER content octets
  ByteVec key_id = {0x11, 0x22, 0x33};
  std::string digest_oid = "1.3.14.3.2.26";
  bool with_signed = true;
  std::vector<ByteVec> signed_attributes;
  std::string signature_oid = "1.2.840.113549.1.1.5";
  ByteVec signature = ByteVec(20, 0xAB);
  std::vector<ByteVec> unsigned_attributes;
};

inline ByteVec Craft(const CraftedSigner& c) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddInteger(c.version);
    if (c.by_key_id) {
      w.Add(der::ContextPrimitive(0), c.key_id);
    } else {
      w.Begin(der::kSequence);
      w.AddEncoded(c.issuer);
      w.AddIntegerContent(c.serial);
      w.End();
    }
    w.Begin(der::kSequence);
    w.AddOid(c.digest_oid);
    w.End();
    if (c.with_signed) {
      w.Begin(der::ContextConstructed(0));
      for (const ByteVec& a : c.signed_attributes) w.AddEncoded(a);
      w.End();
    }
    w.Begin(der::kSequence);
    w.AddOid(c.signature_oid);
    w.AddNull();
    w.End();
    w.AddOctetString(c.signature);
    if (!c.unsigned_attributes.empty()) {
      w.Begin(der::ContextConstructed(1));
      for (const ByteVec& a : c.unsigned_attributes) w.AddEncoded(a);
      w.End();
    }
    w.End();
  });
}

// A token whose TSTInfo carries `gen_time` as written (its SignedData has no
// signer: the window reads the time without checking the token).
inline ByteVec CraftedToken(std::string_view gen_time) {
  const ByteVec tst_info = Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddInteger(1);
    w.AddOid(kTsaPolicy);
    w.Begin(der::kSequence);
    w.Begin(der::kSequence);
    w.AddOid("1.3.14.3.2.26");
    w.AddNull();
    w.End();
    w.AddOctetString(ByteVec(20, 0x5A));
    w.End();
    w.AddInteger(7);
    w.Add(der::kGeneralizedTime,
          std::span(reinterpret_cast<const uint8_t*>(gen_time.data()), gen_time.size()));
    w.End();
  });
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.AddOid("1.2.840.113549.1.7.2");
    w.Begin(der::ContextConstructed(0));
    w.Begin(der::kSequence);
    w.AddInteger(3);
    w.Begin(der::kSet);
    w.End();
    w.Begin(der::kSequence);
    w.AddOid("1.2.840.113549.1.9.16.1.4");
    w.Begin(der::ContextConstructed(0));
    w.AddOctetString(tst_info);
    w.End();
    w.End();
    w.Begin(der::kSet);
    w.End();
    w.End();
    w.End();
    w.End();
  });
}

// A granted TimeStampResp around a token, with a status text so that the
// token does not start at a fixed offset.
inline ByteVec ResponseWithText(std::span<const uint8_t> token) {
  return Element([&](der::Writer& w) {
    w.Begin(der::kSequence);
    w.Begin(der::kSequence);
    w.AddInteger(0);
    w.Begin(der::kSequence);
    w.AddUtf8String("Operation Okay");
    w.End();
    w.End();
    w.AddEncoded(token);
    w.End();
  });
}

// Content, a detached signature of ours by pki.signer, and the same with a
// time stamp of the signature value and a counter-signature by the same
// signer (whose certificate the message holds) added as unsigned attributes
// (in that order).
struct SignedSample {
  ByteVec content;
  ByteVec message;      // without unsigned attributes
  ByteVec stamped;      // with the time stamp and the counter-signature
  ByteVec token;        // the bare token added
  ByteVec counter;      // the counter-signer's SignerInfo
};

inline SignedSample MakeSignedSample(const TestPki& pki, const TestTsa& tsa) {
  SignedSample s;
  for (int i = 0; i < 500; ++i) s.content.push_back(static_cast<uint8_t>(i * 7 + 3));
  EXPECT_EQ(TwoCalls(
                [&](uint8_t* o, uint32_t* n) {
                  return crypto::SignMessageDetached(s.content.data(),
                                                     static_cast<uint32_t>(s.content.size()),
                                                     pki.signer.cert.get(), o, n);
                },
                &s.message),
            0u);
  const ByteVec signature = SignatureValue(s.message, 0);
  s.token = TokenOfResponse(OpenSslReply(tsa, TimeStampRequest(signature)));
  ByteVec attribute;
  EXPECT_EQ(crypto::MakeSignatureTimeStampAttribute(s.token, &attribute), 0u);
  s.stamped = AddUnsigned(s.message, 0, attribute);
  s.counter = CounterSignerInfo(pki.signer, signature);
  s.stamped = AddUnsigned(s.stamped, 0, CounterSignatureAttribute({s.counter}));
  return s;
}

}  // namespace vel::test::signerui
