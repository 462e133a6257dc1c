// XAdES signing of a document with a PKCS#12 key, whole process each, side
// by side with `xmlsec1 --sign` on the same document and key in one run: our
// run is this program started in its "sign" mode (the size query and the
// signing call, as the program makes them), xmlsec1's a signature template
// over the same content Object appended to the same document.
//
//   xades_sign_bench [megabytes...]                (default: 0.01 1 8)
//   xades_sign_bench sign <in> <cert.der> <key.p12> <password> <out>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/xades_bench.h"
#include "platform/signer.h"
#include "xades/xades_sign.h"

namespace {

using vel::bench::Bytes;
using vel::bench::ReadFile;
using vel::bench::Run;
using vel::bench::WriteFile;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int Sign(char** argv) {
  const Bytes xml = ReadFile(argv[2]);
  const auto cert = vel::platform::CertContext::FromDer(ReadFile(argv[3]));
  if (!cert) return 2;
  const std::string password = argv[5];
  vel::platform::SetPinCallback([password](const vel::platform::PinRequest&, std::string* pin) {
    *pin = password;
    return true;
  });
  std::unique_ptr<vel::platform::Signer> signer;
  if (vel::platform::OpenPkcs12Signer(argv[4], cert, &signer) != 0) return 3;
  uint32_t size = 0;
  if (vel::xades::xadesAddSignatureWith(xml, *signer, nullptr, &size) != vel::xades::kSignMoreData)
    return 4;
  Bytes out(size);
  const uint32_t err = vel::xades::xadesAddSignatureWith(xml, *signer, out.data(), &size);
  if (err != 0) {
    std::fprintf(stderr, "signing failed: %u\n", err);
    return 5;
  }
  std::ofstream file(argv[6], std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), size);
  return file ? 0 : 6;
}

// Median seconds of whole-process runs.
double MedianSeconds(const std::string& command, int runs) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (Run(command) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      return -1;
    }
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::string FirstSignature(double megabytes) {
  const std::string body = vel::bench::ContractItems(megabytes);
  return "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"Signature-0\">"
         "<ds:SignedInfo><ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:Object/>"
         "<ds:Object Id=\"Object-1\"><umowa xmlns=\"urn:example:umowa\">" +
         body + "</umowa></ds:Object></ds:Signature>";
}

// The same content signed by an XMLDSig template of the same shape.
std::string XmlSecTemplate(const std::string& first) {
  return "<Signatures>" + first +
         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"Signature-1\">"
         "<ds:SignedInfo><ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/><ds:Reference "
         "URI=\"#Object-1\">"
         "<ds:DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><ds:DigestValue/>"
         "</ds:Reference></ds:SignedInfo><ds:SignatureValue/><ds:KeyInfo><ds:X509Data/></"
         "ds:KeyInfo>"
         "</ds:Signature></Signatures>";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "sign") return Sign(argv);
  std::vector<double> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atof(argv[i]));
  if (sizes.empty()) sizes = {0.01, 1, 8};

  const fs::path dir = fs::temp_directory_path() / ("xades_sign_bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string d = dir.string();
  if (!vel::bench::MakeBenchKey(dir)) {
    std::fprintf(stderr, "cannot make the key\n");
    return 1;
  }
  const std::string self = fs::canonical("/proc/self/exe").string();
  std::printf("%-10s %14s %14s %8s\n", "input MB", "ours s/run", "xmlsec1 s/run", "ratio");
  for (double mb : sizes) {
    const std::string first = FirstSignature(mb);
    WriteFile(dir / "in.xml", first);
    WriteFile(dir / "template.xml", XmlSecTemplate(first));
    const double ours = MedianSeconds(self + " sign " + d + "/in.xml " + d + "/cert.der " + d +
                                          "/key.p12 1234 " + d + "/ours.xml",
                                      5);
    const double theirs =
        MedianSeconds("xmlsec1 --sign --pkcs12 " + d +
                          "/key.p12 --pwd 1234 --node-id Signature-1"
                          " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature"
                          " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Object --output " +
                          d + "/theirs.xml " + d + "/template.xml",
                      5);
    std::printf("%-10.2f %14.4f %14.4f %8.2f\n", mb, ours, theirs, theirs > 0 ? ours / theirs : 0);
  }
  fs::remove_all(dir);
  return 0;
}
