// Opening an XML document with one XAdES-BES signature (made by
// `xmlsec1 --sign`, content Objects of 1 MB and 10 MB) in the main window,
// up to its drawn signatures page, side by side with `xmlsec1 --verify` on the
// same file in the same run. The signer's root is in the benchmark's root
// store; there is no CRL, so the verdict is incomplete (1) after every check
// has run.
//
//   xml_open_bench [megabytes...]   (default: 1 10)
#include <QApplication>
#include <QTabWidget>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ui/main_window.h"
#include "bench/text_pages.h"
#include "bench/xades_bench.h"
#include "platform/cert_store.h"

namespace {

namespace fs = std::filesystem;
using vel::bench::Clock;
using vel::bench::Ms;
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
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

  vel::app::CMessageTable catalog(1033);
  vel::app::ScriptedPrompt prompt;
  for (const double mb : sizes) {
    const fs::path in = dir / "tmpl.xml", file = dir / "umowa.xml";
    vel::bench::WriteFile(in, Template(dir, vel::bench::ContractItems(mb)));
    if (Run("xmlsec1 --sign" + kIdAttrs + " --privkey-pem " + (dir / "key.pem").string() + "," +
            (dir / "cert.pem").string() + " --output " + file.string() + " " + in.string()) != 0)
      return std::printf("xmlsec1 could not sign\n"), 1;

    std::vector<double> ours, peer;
    int status = -2;
    size_t items = 0;
    for (int run = 0; run < kRuns; ++run) {
      vel::app::CMainWindow window(catalog, prompt, file.string());
      window.resize(960, 760);
      window.show();
      QApplication::processEvents();
      const auto a = Clock::now();
      if (window.Init() != 0) return std::printf("open failed\n"), 1;
      window.tabs()->setCurrentIndex(1);
      window.signatures()->tree()->repaint();
      ours.push_back(Ms(a, Clock::now()));
      status = window.status();
      items = static_cast<size_t>(window.signatures()->tree()->topLevelItemCount());

      const auto b = Clock::now();
      if (Run("xmlsec1 --verify" + kIdAttrs + " --trusted-pem " + (dir / "root.pem").string() + " " +
              file.string() + " >/dev/null 2>&1") != 0)
        return std::printf("xmlsec1 does not verify\n"), 1;
      peer.push_back(Ms(b, Clock::now()));
    }
    std::printf("%.1f MB (%ju bytes): open to drawn signatures page %.1f ms (verdict %d, %zu signature), "
                "xmlsec1 --verify %.1f ms, ratio %.2f (medians of %d)\n",
                mb, static_cast<uintmax_t>(fs::file_size(file)), Median(ours), status, items, Median(peer),
                Median(ours) / Median(peer), kRuns);
  }
  fs::remove_all(dir);
  return 0;
}
