// Canonical fragments against xmllint: each row's element, canonicalised as
// a fragment, must equal xmllint's canonical form of the same element
// written as a document of its own (its copy declares the namespaces it uses).
#include <gtest/gtest.h>

#include <string>

#include "platform/testing/test_support.h"
#include "xades/c14n_fragments.h"
#include "xades/xml_doc.h"

namespace vel::xades {
namespace {

struct Row {
  const char* name;
  const char* document;
  const char* element;     // XPath of the element taken
  const char* standalone;  // the same element as a document of its own
  int method;              // 0 inclusive, 1 with comments, 2 exclusive
};

const Row kRows[] = {
    {"namespaces_whole", "<r xmlns=\"urn:d\" xmlns:p=\"urn:p\" xmlns:u=\"urn:unused\"><p:c p:a=\"1\"/></r>",
     "/*", "<r xmlns=\"urn:d\" xmlns:p=\"urn:p\" xmlns:u=\"urn:unused\"><p:c p:a=\"1\"/></r>", 0},
    {"attribute_order", "<r b=\"2\" a=\"1\" xmlns:z=\"urn:z\" z:c=\"3\" xmlns:y=\"urn:a\" y:c=\"4\" xmlns=\"urn:d\"/>",
     "/*", "<r b=\"2\" a=\"1\" xmlns:z=\"urn:z\" z:c=\"3\" xmlns:y=\"urn:a\" y:c=\"4\" xmlns=\"urn:d\"/>", 0},
    {"comments_kept", "<r><!-- one -->t<?pi x?><e><!--two--></e></r>", "/*",
     "<r><!-- one -->t<?pi x?><e><!--two--></e></r>", 1},
    {"text_forms", "<r>&#65;&lt;<![CDATA[<x>&]]>\r\n  <e a=\"&#9;x&quot;&#10;\" b='\"'/></r>", "/*",
     "<r>&#65;&lt;<![CDATA[<x>&]]>\r\n  <e a=\"&#9;x&quot;&#10;\" b='\"'/></r>", 0},
    {"undeclared_default", "<r xmlns=\"urn:d\"><c xmlns=\"\"><g/></c></r>", "/*",
     "<r xmlns=\"urn:d\"><c xmlns=\"\"><g/></c></r>", 0},
    {"inherited_namespaces",
     "<a:root xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" xmlns=\"urn:d\" xmlns:n=\"urn:n\"><a:x b:attr=\"v\"><y/></a:x></a:root>",
     "//*[local-name()='x']", "<a:x xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" xmlns=\"urn:d\" b:attr=\"v\"><y/></a:x>", 0},
    {"exclusive_drops_unused", "<r xmlns:u=\"urn:u\" xmlns:p=\"urn:p\"><p:c xmlns:q=\"urn:q\"><q:d/></p:c></r>",
     "/*", "<r xmlns:u=\"urn:u\" xmlns:p=\"urn:p\"><p:c xmlns:q=\"urn:q\"><q:d/></p:c></r>", 2},
    {"exclusive_fragment",
     "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:x=\"urn:x\"><ds:SignedInfo x:a=\"1\"><ds:Reference URI=\"#a\"/></ds:SignedInfo></ds:Signature>",
     "//*[local-name()='SignedInfo']",
     "<ds:SignedInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" xmlns:x=\"urn:x\" x:a=\"1\"><ds:Reference URI=\"#a\"/></ds:SignedInfo>", 2},
    {"signature_value",
     "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:SignedInfo/><ds:SignatureValue Id=\"v\">AB\nCD</ds:SignatureValue></ds:Signature>",
     "//*[local-name()='SignatureValue']",
     "<ds:SignatureValue xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"v\">AB\nCD</ds:SignatureValue>", 0},
    {"comments_in_fragment",
     "<a:r xmlns:a=\"urn:a\"><a:s><!--c-->x</a:s></a:r>", "//*[local-name()='s']",
     "<a:s xmlns:a=\"urn:a\"><!--c-->x</a:s>", 1},
};

TEST(C14nFragmentsPeer, AgreeWithXmllint) {
  VEL_REQUIRE_TOOL("xmllint");
  test::TempDir dir;
  for (const Row& row : kRows) {
    XmlDocPtr doc = xadesParseMemory(std::string_view(row.document));
    ASSERT_TRUE(doc) << row.name;
    XPathContextPtr context = xadesNewXPathContext(doc.get());
    XPathObjectPtr found = xadesEval(context.get(), row.element);
    ASSERT_EQ(nodesOf(found.get()).size(), 1u) << row.name;
    const Fragment ours = elementC14N(nodesOf(found.get())[0], false, row.method);
    ASSERT_TRUE(ours) << row.name;

    const auto file = dir / (std::string(row.name) + ".xml");
    test::WriteFileText(file, row.standalone);
    // xmllint's canonical forms keep comments; rows without comments serve
    // the forms without.
    const char* option = row.method == 2 ? "--exc-c14n" : "--c14n";
    const test::CommandResult peer =
        test::RunCommand(std::string("xmllint --nonet ") + option + " " + test::ShellQuote(file.string()));
    ASSERT_EQ(peer.exit_code, 0) << row.name << peer.output;
    EXPECT_EQ(*ours, peer.output) << row.name;
  }
}

}  // namespace
}  // namespace vel::xades
