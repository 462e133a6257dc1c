// Canonical fragments of a XAdES signature against xmllint --c14n on the same
// element in one run, in microseconds per fragment:
//  - ours: the engine's fragment (copy out of the signature, canonicalise);
//  - libxml2: parse of the element written as a document of its own plus
//    xmlC14NDocDumpMemory, the in-process work xmllint does;
//  - xmllint: ("xmllint --repeat --c14n" over the file named 20 times, 2000
//    canonical forms, less one plain run) / 1999, process start excluded.
// Each fragment's canonical text is checked once against libxml2's; times are
// medians of five rounds; the ratio is libxml2 / ours (above 1 we are faster).
//
//   xades_c14n_bench [iterations]   (default 2000)
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "xades/base64.h"
#include "xades/c14n_fragments.h"
#include "xades/xml_doc.h"

namespace {

using vel::xades::Fragment;

template <typename F>
double MedianSeconds(F&& f) {
  return vel::bench::MedianSeconds(5, f);
}

// libxml2's canonical form of a document given as text.
std::string LibxmlC14N(const std::string& text) {
  xmlDoc* d = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_NONET);
  xmlChar* out = nullptr;
  const int n = xmlC14NDocDumpMemory(d, nullptr, XML_C14N_1_0, nullptr, 0, &out);
  std::string result = n > 0 ? std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n)) : "";
  xmlFree(out);
  xmlFreeDoc(d);
  return result;
}

// A XAdES-T signature as the engine writes it, with a 1.5 kB certificate,
// a 3 kB time-stamp token and certificate values.
std::string SignatureDocument() {
  std::vector<uint8_t> cert(1500), token(3000);
  for (size_t i = 0; i < cert.size(); ++i) cert[i] = static_cast<uint8_t>(i * 31);
  for (size_t i = 0; i < token.size(); ++i) token[i] = static_cast<uint8_t>(i * 17);
  const std::string c = vel::xades::base64Encode(cert), t = vel::xades::base64Encode(token);
  const std::string ds = "http://www.w3.org/2000/09/xmldsig#";
  return "<Signatures><ds:Signature xmlns:ds=\"" + ds + "\" Id=\"Signature-1\">"
         "<ds:SignedInfo Id=\"SignedInfo-1\"><ds:CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
         "<ds:SignatureMethod Algorithm=\"" + ds + "rsa-sha1\"/>"
         "<ds:Reference Id=\"SignedProperties-Reference1\" Type=\"http://uri.etsi.org/01903#SignedProperties\" URI=\"#SignedProperties-1\">"
         "<ds:DigestMethod Algorithm=\"" + ds + "sha1\"/><ds:DigestValue>AAAAAAAAAAAAAAAAAAAAAAAAAAA=</ds:DigestValue></ds:Reference>"
         "<ds:Reference URI=\"#Object-1\"><ds:DigestMethod Algorithm=\"" + ds + "sha1\"/><ds:DigestValue>BBBBBBBBBBBBBBBBBBBBBBBBBBB=</ds:DigestValue></ds:Reference>"
         "</ds:SignedInfo><ds:SignatureValue Id=\"SignatureValue-1\">" + c.substr(0, 344) + "</ds:SignatureValue>"
         "<ds:KeyInfo Id=\"KeyInfo-1\"><ds:X509Data><ds:X509Certificate>" + c + "</ds:X509Certificate></ds:X509Data></ds:KeyInfo>"
         "<ds:Object><xades:QualifyingProperties xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Target=\"#Signature-1\">"
         "<xades:SignedProperties Id=\"SignedProperties-1\"><xades:SignedSignatureProperties><xades:SigningCertificate><xades:Cert>"
         "<xades:CertDigest><ds:DigestMethod Algorithm=\"" + ds + "sha1\"/><ds:DigestValue>CCCCCCCCCCCCCCCCCCCCCCCCCCC=</ds:DigestValue></xades:CertDigest>"
         "<xades:IssuerSerial><ds:X509IssuerName>CN=Test CA 1,O=Testowe Centrum,C=PL</ds:X509IssuerName><ds:X509SerialNumber>1234567890123456789</ds:X509SerialNumber></xades:IssuerSerial>"
         "</xades:Cert></xades:SigningCertificate></xades:SignedSignatureProperties></xades:SignedProperties>"
         "<xades:UnsignedProperties><xades:UnsignedSignatureProperties>"
         "<xades:SignatureTimeStamp><xades:EncapsulatedTimeStamp Encoding=\"http://uri.etsi.org/01903/v1.2.2#DER\">" + t + "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp>"
         "<xades:CertificateValues><xades:EncapsulatedX509Certificate>" + c + "</xades:EncapsulatedX509Certificate></xades:CertificateValues>"
         "</xades:UnsignedSignatureProperties></xades:UnsignedProperties></xades:QualifyingProperties></ds:Object>"
         "<ds:Object Id=\"Object-1\">content</ds:Object></ds:Signature></Signatures>";
}

double XmllintSecondsPerRun(const std::filesystem::path& file) {
  const std::string cmd = "xmllint --nonet --c14n " + file.string() + " >/dev/null 2>&1";
  std::string files;
  for (int i = 0; i < 20; ++i) files += " " + file.string();
  const std::string repeated = "xmllint --nonet --repeat --c14n" + files + " >/dev/null 2>&1";
  const double one = MedianSeconds([&] { (void)std::system(cmd.c_str()); });
  const double many = MedianSeconds([&] { (void)std::system(repeated.c_str()); });
  return std::max(0.0, (many - one) / 1999);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string text = SignatureDocument();
  vel::xades::XmlDocPtr doc = vel::xades::xadesParseMemory(text);
  if (!doc) return 1;
  xmlNode* signature = xmlFirstElementChild(xmlDocGetRootElement(doc.get()));

  struct Item {
    const char* name;
    std::function<Fragment(const xmlNode*)> fragment;
  };
  const Item items[] = {
      {"SignedInfo", vel::xades::signedInfoC14N},
      {"SignatureValue", vel::xades::signatureValueElementC14N},
      {"KeyInfo", vel::xades::keyInfoC14N},
      {"SignedProperties", vel::xades::signedPropertiesC14N},
      {"SignatureTimeStamp", vel::xades::signatureTimeStampC14N},
      {"CertificateValues", vel::xades::certificateValuesC14N},
  };
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("xades_c14n_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::printf("%-20s %8s %12s %12s %7s %12s\n", "fragment", "bytes", "ours us", "libxml2 us", "ratio",
              "xmllint us");
  size_t sink = 0;
  for (const Item& item : items) {
    const Fragment once = item.fragment(signature);
    if (!once || LibxmlC14N(*once) != *once) {
      std::printf("%s: our canonical text is not libxml2's\n", item.name);
      return 1;
    }
    // The fragment's own canonical text is a document of its own: the same
    // element for xmllint.
    const std::filesystem::path file = dir / (std::string(item.name) + ".xml");
    std::ofstream(file) << *once;
    const double ours = MedianSeconds([&] {
      for (int i = 0; i < n; ++i) sink += item.fragment(signature)->size();
    });
    const double lib = MedianSeconds([&] {
      for (int i = 0; i < n; ++i) sink += LibxmlC14N(*once).size();
    });
    const double tool = XmllintSecondsPerRun(file);
    std::printf("%-20s %8zu %12.2f %12.2f %7s %12.2f\n", item.name, once->size(), ours / n * 1e6, lib / n * 1e6,
                vel::bench::Ratio(lib, ours).c_str(), tool * 1e6);
  }
  std::filesystem::remove_all(dir);
  return sink == 0;
}
