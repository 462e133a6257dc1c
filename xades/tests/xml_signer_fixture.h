// A signed document for the XML signer window tests: a signature made by the
// engine (signer certificate, signed properties), two signature time stamps
// whose tokens OpenSSL's responder made over its SignatureValue, and a
// counter-signature, also made by the engine, moved under its unsigned
// properties. Also the window's copy of that signature, as the entry point
// hands it over.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cryptolib/tests/cms_tree_fixture.h"
#include "cryptolib/tests/tsa_fixture.h"
#include "xades/document_access.h"
#include "xades/signer_window.h"
#include "xades/tests/sign_fixture.h"

namespace vel::xades::test {

struct XmlSignerSample {
  std::string document;             // root Signatures; Signature-1 is the one shown
  std::string signature;            // the standalone copy of Signature-1
  std::vector<Bytes> tokens;        // its two time-stamp tokens, in order
  std::string counter_id = "Signature-2";
};

// Adds a time stamp of signature n's SignatureValue; the token it added.
inline Bytes AddTimeStamp(const vel::test::TestTsa& tsa, Bytes* doc, int n) {
  uint32_t size = 0;
  EXPECT_EQ(getSignatureValueC14N(doc->data(), static_cast<uint32_t>(doc->size()), nullptr, &size, n), 234u);
  Bytes canonical(size);
  EXPECT_EQ(getSignatureValueC14N(doc->data(), static_cast<uint32_t>(doc->size()), canonical.data(), &size, n),
            0u);
  canonical.resize(size);
  const Bytes token =
      vel::test::TokenOfResponse(vel::test::OpenSslReply(tsa, vel::test::TimeStampRequest(canonical)));
  EXPECT_FALSE(token.empty());
  size = 0;
  EXPECT_EQ(xadesAddSignatureTimeStamp(doc->data(), static_cast<uint32_t>(doc->size()), token.data(),
                                       static_cast<uint32_t>(token.size()), nullptr, &size, n),
            234u);
  Bytes out(size);
  EXPECT_EQ(xadesAddSignatureTimeStamp(doc->data(), static_cast<uint32_t>(doc->size()), token.data(),
                                       static_cast<uint32_t>(token.size()), out.data(), &size, n),
            0u);
  out.resize(size);
  *doc = std::move(out);
  return token;
}

inline XmlSignerSample MakeXmlSignerSample(const vel::test::TestPki& pki, const vel::test::TestTsa& tsa) {
  XmlSignerSample s;
  Bytes doc;
  EXPECT_EQ(SignTwice(FirstSignature(ContentObject("Object-1", "<umowa>Tekst umowy</umowa>")),
                      pki.signer.cert.get(), &doc),
            0u);
  for (int i = 0; i < 2; ++i) s.tokens.push_back(AddTimeStamp(tsa, &doc, 1));
  Bytes countersigned;
  EXPECT_EQ(SignTwice(AsText(doc), pki.signer.cert.get(), &countersigned), 0u);

  XmlDocPtr parsed = xadesParseMemory(AsText(countersigned));
  EXPECT_TRUE(parsed);
  if (!parsed) return s;
  xmlNode* shown = ElementWithId(parsed.get(), "Signature-1");
  xmlNode* counter = ElementWithId(parsed.get(), s.counter_id);
  auto ctx = xadesNewXPathContext(parsed.get());
  auto props = xadesEval(ctx.get(),
                         "//*[@Id='Signature-1']/xmldsig:Object/xades:QualifyingProperties/"
                         "xades:UnsignedProperties/xades:UnsignedSignatureProperties");
  EXPECT_TRUE(shown != nullptr && counter != nullptr && nodesOf(props.get()).size() == 1);
  if (shown == nullptr || counter == nullptr || nodesOf(props.get()).size() != 1) return s;
  xmlNode* unsigned_props = nodesOf(props.get())[0];
  xmlNode* holder = xmlNewChild(unsigned_props, unsigned_props->ns, BAD_CAST "CounterSignature", nullptr);
  xmlUnlinkNode(counter);
  xmlAddChild(holder, counter);
  xmlReconciliateNs(parsed.get(), counter);

  xmlChar* text = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(parsed.get(), &text, &size, "UTF-8");
  s.document.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
  xmlFree(text);
  s.signature = serializeSignatureCopy(shown);
  return s;
}

// A suite over one sample, made once: the signer's PKI, the responder and
// the signed document.
class XmlSignerSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<vel::test::TestPki>();
    tsa_ = std::make_unique<vel::test::TestTsa>();
    vel::test::ScriptedPin pin;
    pin.Install();
    sample_ = std::make_unique<XmlSignerSample>(MakeXmlSignerSample(*pki_, *tsa_));
  }
  static void TearDownTestSuite() {
    sample_.reset();
    tsa_.reset();
    pki_.reset();
  }

  static inline std::unique_ptr<vel::test::TestPki> pki_;
  static inline std::unique_ptr<vel::test::TestTsa> tsa_;
  static inline std::unique_ptr<XmlSignerSample> sample_;
};

}  // namespace vel::xades::test
