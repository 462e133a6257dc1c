// XAdES signing of a document with a PKCS#12 key, whole process each, side
// by side with `xmlsec1 --sign` on the same document and key in one run: our
// run is this program started in its "sign" mode (the size query and the
// signing call, as the program makes them), xmlsec1's a signature template
// over the same content Object appended to the same document. Both outputs
// are verified once by `xmlsec1 --verify`; then medians of
// time and the largest peak memory, ratios xmlsec1 / ours.
//
//   xades_sign_bench [megabytes...]                (default: 0.01 1 8)
//   xades_sign_bench sign <in> <cert.der> <key.p12> <password> <out>
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
namespace fs = std::filesystem;

constexpr int kRuns = 5;
constexpr char kIdAttrs[] =
    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature"
    " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Object"
    " --id-attr:Id http://uri.etsi.org/01903/v1.3.2#:SignedProperties";

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

// Signature-1 of the file, as xmlsec1 checks it against the bench certificate.
bool XmlSecVerifies(const std::string& file, const std::string& cert) {
  return Run("xmlsec1 --verify --node-id Signature-1" + std::string(kIdAttrs) + " --trusted-pem " + cert + " " +
             file + " >/dev/null 2>&1") == 0;
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
  std::printf("%-10s %10s %13s %7s %9s %12s %7s\n", "input MB", "ours (ms)", "xmlsec1 (ms)", "ratio", "ours (MB)",
              "xmlsec1 (MB)", "ratio");
  for (double mb : sizes) {
    const std::string first = FirstSignature(mb);
    WriteFile(dir / "in.xml", first);
    WriteFile(dir / "template.xml", XmlSecTemplate(first));
    const std::string ours_command =
        self + " sign " + d + "/in.xml " + d + "/cert.der " + d + "/key.p12 1234 " + d + "/ours.xml";
    const std::string peer_command = "xmlsec1 --sign --pkcs12 " + d + "/key.p12 --pwd 1234 --node-id Signature-1" +
                                     kIdAttrs + " --output " + d + "/theirs.xml " + d + "/template.xml";
    // Each side's signature checked once before any timing.
    if (Run(ours_command) != 0 || Run(peer_command) != 0) return std::printf("a side does not sign\n"), 1;
    const bool ours_ok = XmlSecVerifies(d + "/ours.xml", d + "/cert.pem");
    const bool peer_ok = XmlSecVerifies(d + "/theirs.xml", d + "/cert.pem");
    if (!ours_ok || !peer_ok)
      return std::printf("%.2f MB: xmlsec1 finds our signature %s, its own %s\n", mb, ours_ok ? "good" : "BAD",
                         peer_ok ? "good" : "BAD"),
             1;
    const vel::bench::Measure ours = vel::bench::MeasureCommand(ours_command, kRuns);
    const vel::bench::Measure peer = vel::bench::MeasureCommand(peer_command, kRuns);
    std::printf("%-10.2f %10.1f %13.1f %7s %9.1f %12.1f %7s\n", mb, ours.seconds * 1e3, peer.seconds * 1e3,
                vel::bench::Ratio(peer.seconds, ours.seconds).c_str(), ours.rss_mb(), peer.rss_mb(),
                vel::bench::Ratio(peer.rss_mb(), ours.rss_mb()).c_str());
  }
  std::printf("whole process, medians of %d; both signatures verified by xmlsec1 first\n", kRuns);
  fs::remove_all(dir);
  return 0;
}
