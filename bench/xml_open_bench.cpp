// Opening an XML document with one XAdES-BES signature (made by
// `xmlsec1 --sign`, content Objects of 1 MB and 10 MB) in the main window,
// up to its drawn signatures page, side by side with `xmlsec1 --verify` on the
// same file in the same run; whole process on both sides (ours is this
// program started in its "open" mode), time and peak memory. The signer's
// root is in the benchmark's root store; there is no CRL, so the verdict is
// incomplete (1) after every check has run.
//
//   xml_open_bench [megabytes...]   (default: 1 10)
//   xml_open_bench open <file>      prints the verdict and the item count
#include <QApplication>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ui/main_window.h"
#include "bench/xades_bench.h"
#include "platform/cert_store.h"

namespace {

namespace fs = std::filesystem;
using vel::bench::Run;

constexpr int kRuns = 5;
constexpr char kDs[] = "http://www.w3.org/2000/09/xmldsig#";
constexpr char kXades[] = "http://uri.etsi.org/01903/v1.3.2#";
const std::string kIdAttrs = std::string(" --id-attr:Id ") + kDs + ":Signature --id-attr:Id " + kDs +
                             ":Object --id-attr:Id " + kXades + ":SignedProperties";

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A XAdES-BES template over `content` for the bench key in `dir`.
std::string Template(const fs::path& dir, const std::string& content) {
  const std::string sha1 = std::string(kDs) + "sha1";
  const std::string issuer = Output("openssl x509 -in " + (dir / "cert.pem").string() +
                                    " -noout -issuer -nameopt RFC2253 | cut -d= -f2-");
  const std::string serial = Output("python3 -c 'print(int(\"'$(openssl x509 -in " + (dir / "cert.pem").string() +
                                    " -noout -serial | cut -d= -f2)'\", 16))'");
  const std::string digest = Output("openssl dgst -sha1 -binary " + (dir / "cert.der").string() + " | openssl base64 -A");
  auto reference = [&](const std::string& uri, const std::string& type) {
    return "<ds:Reference URI=\"" + uri + "\"" + type + "><ds:DigestMethod Algorithm=\"" + sha1 +
           "\"/><ds:DigestValue></ds:DigestValue></ds:Reference>";
  };
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ds:Signature xmlns:ds=\"" + std::string(kDs) +
         "\" Id=\"S\"><ds:SignedInfo><ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod Algorithm=\"" +
         kDs + "rsa-sha1\"/>" + reference("#SP", " Type=\"http://uri.etsi.org/01903#SignedProperties\"") +
         reference("#O", "") +
         "</ds:SignedInfo><ds:SignatureValue></ds:SignatureValue><ds:KeyInfo><ds:X509Data></ds:X509Data>"
         "</ds:KeyInfo><ds:Object><xades:QualifyingProperties xmlns:xades=\"" + kXades +
         "\" Target=\"#S\"><xades:SignedProperties Id=\"SP\"><xades:SignedSignatureProperties>"
         "<xades:SigningTime>2026-12-01T10:00:00Z</xades:SigningTime><xades:SigningCertificate><xades:Cert>"
         "<xades:CertDigest><ds:DigestMethod Algorithm=\"" + sha1 + "\"/><ds:DigestValue>" + digest +
         "</ds:DigestValue></xades:CertDigest><xades:IssuerSerial><ds:X509IssuerName>" + issuer +
         "</ds:X509IssuerName><ds:X509SerialNumber>" + serial +
         "</ds:X509SerialNumber></xades:IssuerSerial></xades:Cert></xades:SigningCertificate>"
         "</xades:SignedSignatureProperties></xades:SignedProperties></xades:QualifyingProperties></ds:Object>"
         "<ds:Object Id=\"O\">" + content + "</ds:Object></ds:Signature>";
}

// The program's work: the window opens the file and draws its signatures page.
int Open(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qt(argc, argv);
  vel::app::CMessageTable catalog(1033);
  vel::app::ScriptedPrompt prompt;
  vel::app::CMainWindow window(catalog, prompt, argv[2]);
  window.resize(960, 760);
  window.show();
  QApplication::processEvents();
  if (window.Init() != 0) return 2;
  window.tabs()->setCurrentIndex(1);
  window.signatures()->tree()->repaint();
  std::printf("%d %d\n", window.status(), window.signatures()->tree()->topLevelItemCount());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "open") return Open(argc, argv);
  std::vector<double> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atof(argv[i]));
  if (sizes.empty()) sizes = {1, 10};
  char tmpl[] = "/tmp/xml_open_bench_XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  setenv("VELDOC_REGISTRY_DIR", (dir / "reg").c_str(), 1);
  setenv("VELDOC_STORE_DIR", (dir / "stores").c_str(), 1);
  // A root and a signer it issued: key.pem, cert.pem and cert.der the signer's.
  if (Run("cd " + dir.string() +
          " && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Bench-Root -days 2 -keyout root.key"
          " -out root.pem 2>/dev/null && openssl req -newkey rsa:2048 -nodes -subj /CN=Bench -keyout key.pem"
          " -out signer.csr 2>/dev/null && openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key"
          " -set_serial 7 -days 2 -out cert.pem 2>/dev/null && openssl x509 -in cert.pem -outform DER -out cert.der"
          " && openssl x509 -in root.pem -outform DER -out root.der") != 0)
    return std::printf("no keys\n"), 1;
  {
    std::unique_ptr<vel::platform::CertStore> root;
    const auto cert = vel::platform::CertContext::FromDer(vel::bench::ReadFile(dir / "root.der"));
    if (vel::platform::CertStore::Open(vel::platform::kStoreCurrentUser, "ROOT", &root) != 0 ||
        root->AddCertificate(cert, vel::platform::AddDisposition::kUseExisting) != 0)
      return std::printf("no root store\n"), 1;
  }

  const std::string self = fs::canonical("/proc/self/exe").string();
  std::printf("%-24s %9s %12s %7s %9s %12s %7s\n", "content", "ours (ms)", "xmlsec1 (ms)", "ratio", "ours (MB)",
              "xmlsec1 (MB)", "ratio");
  for (const double mb : sizes) {
    const fs::path in = dir / "tmpl.xml", file = dir / "umowa.xml";
    vel::bench::WriteFile(in, Template(dir, vel::bench::ContractItems(mb)));
    if (Run("xmlsec1 --sign" + kIdAttrs + " --privkey-pem " + (dir / "key.pem").string() + "," +
            (dir / "cert.pem").string() + " --output " + file.string() + " " + in.string()) != 0)
      return std::printf("xmlsec1 could not sign\n"), 1;
    const std::string ours_command = self + " open " + file.string();
    const std::string peer_command = "xmlsec1 --verify" + kIdAttrs + " --trusted-pem " + (dir / "root.pem").string() +
                                     " " + file.string() + " >/dev/null 2>&1";
    // Both sides' results, once: one signature, incomplete for want of a CRL; xmlsec1 content.
    const std::string verdict = Output(ours_command + " 2>/dev/null");
    if (verdict != "1 1" || Run(peer_command) != 0)
      return std::printf("unexpected results: ours \"%s\" (verdict, signatures), xmlsec1 does not verify\n",
                         verdict.c_str()),
             1;
    const vel::bench::Measure ours = vel::bench::MeasureCommand(ours_command + " >/dev/null 2>&1", kRuns);
    const vel::bench::Measure peer = vel::bench::MeasureCommand(peer_command, kRuns);
    char content[64];
    std::snprintf(content, sizeof content, "%.1f MB (%ju bytes)", mb, static_cast<uintmax_t>(fs::file_size(file)));
    std::printf("%-24s %9.1f %12.1f %7s %9.1f %12.1f %7s\n", content, ours.seconds * 1e3, peer.seconds * 1e3,
                vel::bench::Ratio(peer.seconds, ours.seconds).c_str(), ours.rss_mb(), peer.rss_mb(),
                vel::bench::Ratio(peer.rss_mb(), ours.rss_mb()).c_str());
  }
  std::printf("whole process on both sides, medians of %d; ratios xmlsec1 / ours (above 1 we are faster or "
              "smaller)%s\n",
              kRuns, vel::bench::HaveGnuTime() ? "" : "; no /usr/bin/time: peak memory not measured");
  fs::remove_all(dir);
  return 0;
}
