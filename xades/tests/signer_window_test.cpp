#include "xades/signer_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xades/node_helpers.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

std::string g_seen;
std::vector<uint8_t> g_cert;

uint32_t Record(std::string_view xml, std::span<const uint8_t> cert) {
  g_seen.assign(xml);
  g_cert.assign(cert.begin(), cert.end());
  return 0;
}

// The window gets a document of its own that still parses after the
// original is gone, with the namespaces the signature used from above.
TEST(SignerWindowEntry, HandsOverAStandaloneCopy) {
  XadesSignContext sig;
  EXPECT_EQ(120u, ShowXmlSignerInfo(sig));
  SetXmlSignerWindowHandler(&Record);
  EXPECT_EQ(87u, ShowXmlSignerInfo(sig));
  {
    XmlDocPtr doc = xadesParseMemory(std::string_view(
        "<r xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:xa=\"http://uri.etsi.org/01903/v1.3.2#\">"
        "<ds:Signature Id=\"S\"><ds:Object><xa:QualifyingProperties/></ds:Object></ds:Signature></r>"));
    ASSERT_TRUE(doc);
    sig.signature = xmlDocGetRootElement(doc.get())->children;
    sig.certificateBytes = {1, 2, 3};
    EXPECT_EQ(0u, ShowXmlSignerInfo(sig));
  }
  SetXmlSignerWindowHandler(nullptr);
  XmlDocPtr copy = xadesParseMemory(std::string_view(g_seen));
  ASSERT_TRUE(copy);
  const xmlNode* root = xmlDocGetRootElement(copy.get());
  ASSERT_NE(nullptr, root->ns);
  EXPECT_STREQ("http://www.w3.org/2000/09/xmldsig#", reinterpret_cast<const char*>(root->ns->href));
  const xmlNode* props = root->children->children;
  ASSERT_NE(nullptr, props->ns);
  EXPECT_STREQ("http://uri.etsi.org/01903/v1.3.2#", reinterpret_cast<const char*>(props->ns->href));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), g_cert);
}

}  // namespace
}  // namespace vel::xades
