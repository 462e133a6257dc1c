// XAdES-BES verification, whole process each, side by side with
// `xmlsec1 --verify` on the same documents in one run. The documents hold a
// content Object of the given size signed by our engine with a PKCS#12 key
// once, and ten times; their template signature (number 0) gets the
// certificate so that the document loads, and is never verified.
//
// Our run is this program started in its "verify" mode: it reads the file and
// verifies the signatures asked for, either through one signature tree (one
// parse for all of them) or through XmlSignedDocument::Verify(n) (a parse per
// call, as the object does). xmlsec1 checks the XMLDSig core of each signature,
// one process per signature. Peak memory is the child's as GNU time reports
// it, also shown net of a run that only starts the program.
//
// The "full" run measures what the program checks for one XML signature
// (everything XmlSignedDocument offers for it: forms, signer certificate and
// its path, the form checks, Verify, the signature time stamps and their
// tokens) against `xmlsec1 --verify` of the same signature, for each size.
//
//   xades_verify_bench [megabytes]                 (default: 1)
//   xades_verify_bench full [megabytes...]         (default: 1 10)
//   xades_verify_bench verify <file> <first> <count> tree|doc|full
//   xades_verify_bench idle
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/xades_bench.h"
#include "cryptolib/certificate.h"
#include "platform/cert_store.h"
#include "platform/signer.h"
#include "xades/signature_discovery.h"
#include "xades/signature_node.h"
#include "xades/xades_sign.h"
#include "xades/xml_signed_document.h"

namespace {

using vel::bench::Bytes;
using vel::bench::ReadFile;
using vel::bench::Run;
using vel::bench::WriteFile;
namespace fs = std::filesystem;

constexpr int kRuns = 5;
constexpr int kManySignatures = 10;

// Each token's own check, while the status stays 0.
template <typename Get>
uint32_t Tokens(uint32_t status, Get get) {
  for (int k = 0; status == 0; ++k) {
    const auto token = get(k);
    if (token == nullptr) break;
    status = token->Verify();
  }
  return status;
}

// The program's full check of signature n of the document: the forms, the
// signer's certificate and its path (its class is the path's, not timed
// against anything on the xmlsec1 side, which trusts the certificate as
// given), then the form checks, the signature and its time stamps. The
// XAdES status (0 correct) is returned.
uint32_t FullCheck(vel::xades::XmlSignedDocument& doc, int n) {
  using vel::xades::XadesSignatureNode;
  const int32_t forms = doc.GetSignatureForms(n);
  const auto certificate = doc.GetSignerCertificate(n);
  if (certificate == nullptr) return doc.GetLastResult();
  certificate->IsQualified();
  certificate->Verify(vel::platform::kStoreCurrentUser, 1);
  const auto tree = doc.CreateSignatureTree();
  XadesSignatureNode* node = tree->build_failed() ? nullptr : tree.get();
  for (int i = 0; i < n && node != nullptr; ++i) node = node->next();
  if (node == nullptr) return vel::xades::kDocNoSignature;
  uint32_t s = 0;
  if ((forms & vel::xades::kFormA) != 0)
    s = Tokens(doc.VerifyArchiveTimeStamp(n), [&](int k) { return node->GetArchiveTimeStamp(k); });
  if ((forms & vel::xades::kFormXL) != 0 && s == 0) s = doc.VerifyValues(n);
  if ((forms & vel::xades::kFormX) != 0 && s == 0)
    s = Tokens(doc.VerifyRefsTimeStamp(n), [&](int k) { return node->GetRefsTimeStamp(k); });
  if ((forms & vel::xades::kFormC) != 0 && s == 0 && (forms & vel::xades::kFormXL) == 0)
    s = doc.VerifyCertificateRefs(n);
  if (s != 0) return s;
  s = doc.Verify(n);
  if (s == 0)
    s = Tokens(node->VerifySignatureTimeStamp(),
               [&](int k) { return node->GetSignatureTimeStamp(k); });
  return s;
}

// Verifies `count` top-level signatures from `first`; prints each status that
// is not 0 and exits 0 only when all of them verify.
int Verify(char** argv) {
  Bytes xml = ReadFile(argv[2]);
  const int first = std::atoi(argv[3]);
  const int count = std::atoi(argv[4]);
  const std::string how = argv[5];
  const bool by_tree = how == "tree";
  int failed = 0;
  auto report = [&](int n, uint32_t status) {
    if (status == 0) return;
    std::fprintf(stderr, "signature %d: status 0x%x\n", n, status);
    ++failed;
  };
  if (by_tree) {
    vel::xades::XadesSignatureNode tree(xml.data(), static_cast<uint32_t>(xml.size()));
    if (tree.build_failed()) return 2;
    vel::xades::XadesSignatureNode* node = &tree;
    for (int n = 0; n < first && node != nullptr; ++n) node = node->next();
    for (int n = first; n < first + count; ++n, node = node->next()) {
      if (node == nullptr) return 3;
      report(n, node->Verify());
    }
  } else {
    vel::xades::XmlSignedDocument doc(xml.data(), static_cast<uint32_t>(xml.size()));
    // The object holds its own copy, as the program's file reader leaves it.
    Bytes().swap(xml);
    for (int n = first; n < first + count; ++n)
      report(n, how == "full" ? FullCheck(doc, n) : doc.Verify(n));
  }
  return failed == 0 ? 0 : 1;
}

using vel::bench::Measure;
using vel::bench::Ratio;

Measure Median(const std::string& command, int runs = kRuns) { return vel::bench::MeasureCommand(command, runs); }

// The template signature with its qualifying properties Object and a content
// Object of about `megabytes`.
std::string FirstSignature(double megabytes) {
  const std::string body = vel::bench::ContractItems(megabytes);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"Signature-0\">"
         "<ds:SignedInfo><ds:CanonicalizationMethod "
         "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><ds:SignatureMethod "
         "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/></ds:SignedInfo>"
         "<ds:SignatureValue>AAAA</ds:SignatureValue><ds:Object><xades:QualifyingProperties "
         "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Target=\"#Signature-0\"/></ds:Object>"
         "<ds:Object Id=\"Object-1\"><umowa xmlns=\"urn:example:umowa\">" +
         body + "</umowa></ds:Object></ds:Signature>";
}

std::string SignOnce(const std::string& xml, vel::platform::Signer& signer) {
  const Bytes in(xml.begin(), xml.end());
  uint32_t size = 0;
  if (vel::xades::xadesAddSignatureWith(in, signer, nullptr, &size) != vel::xades::kSignMoreData)
    return {};
  Bytes out(size);
  if (vel::xades::xadesAddSignatureWith(in, signer, out.data(), &size) != 0) return {};
  return std::string(out.begin(), out.begin() + size);
}

// The template signature gets the certificate of the first signature made,
// so that the document loads for verification.
std::string WithTemplateCertificate(const std::string& signed_doc) {
  const auto from = signed_doc.find("<ds:X509Data>");
  const auto to = signed_doc.find("</ds:X509Data>", from);
  const std::string anchor = "<ds:SignatureValue>AAAA</ds:SignatureValue>";
  const auto at = signed_doc.find(anchor);
  if (from == std::string::npos || to == std::string::npos || at == std::string::npos) return {};
  std::string out = signed_doc;
  out.insert(at + anchor.size(), "<ds:KeyInfo>" +
                                     signed_doc.substr(from, to + sizeof "</ds:X509Data>" - 1 - from) +
                                     "</ds:KeyInfo>");
  return out;
}

std::string XmlSecVerify(const std::string& file, int n, const std::string& ca) {
  return "xmlsec1 --verify --node-id Signature-" + std::to_string(n) +
         " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature"
         " --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Object"
         " --id-attr:Id http://uri.etsi.org/01903/v1.3.2#:SignedProperties"
         " --trusted-pem " +
         ca + " " + file;
}

// xmlsec1 on signatures first..first+count-1, one process each.
std::string XmlSecVerifyAll(const std::string& file, int first, int count, const std::string& ca) {
  std::string command;
  for (int n = first; n < first + count; ++n)
    command += (command.empty() ? "" : " && ") + XmlSecVerify(file, n, ca) + " 2>/dev/null";
  return command;
}

// Each signature checked once with its status printed, before any timing.
bool CheckStatuses(const std::string& name, const std::string& file, int count,
                   const std::string& ca) {
  const Bytes xml = ReadFile(file);
  vel::xades::XmlSignedDocument doc(xml.data(), static_cast<uint32_t>(xml.size()));
  bool ok = true;
  std::printf("%s (%zu bytes):\n", name.c_str(), xml.size());
  for (int n = 1; n <= count; ++n) {
    const uint32_t ours = doc.Verify(n);
    const int theirs = Run(XmlSecVerify(file, n, ca) + " >/dev/null 2>&1");
    std::printf("  signature %2d: ours status %u, xmlsec1 exit %d\n", n, ours, theirs);
    ok = ok && ours == 0 && theirs == 0;
  }
  // Changed content must fail on both sides, or the timings mean nothing.
  std::string text(xml.begin(), xml.end());
  const auto at = text.find("Tresc umowy");
  if (at == std::string::npos) return false;
  text[at] = 't';
  const std::string damaged = file + ".damaged";
  WriteFile(damaged, text);
  vel::xades::XmlSignedDocument bad(reinterpret_cast<const uint8_t*>(text.data()),
                                    static_cast<uint32_t>(text.size()));
  const uint32_t ours = bad.Verify(1);
  const int theirs = Run(XmlSecVerify(damaged, 1, ca) + " >/dev/null 2>&1");
  std::printf("  content changed, signature 1: ours status 0x%x, xmlsec1 exit %d\n", ours,
              theirs);
  return ok && ours != 0 && theirs != 0;
}

}  // namespace

// One signature over content of each size: the full check and xmlsec1 side by
// side, with the targets of 2x time and 1.5x peak memory.
int FullRuns(const std::vector<double>& sizes, const fs::path& dir, vel::platform::Signer& signer) {
  const std::string d = dir.string();
  const std::string ca = d + "/cert.pem";
  const std::string self = fs::canonical("/proc/self/exe").string();
  std::printf("%-12s %9s %12s %6s %9s %12s %6s\n", "content", "ours (ms)", "xmlsec1 (ms)", "ratio",
              "ours (MB)", "xmlsec1 (MB)", "ratio");  // ratios xmlsec1 / ours
  for (const double mb : sizes) {
    const std::string file = d + "/full-" + std::to_string(static_cast<int>(mb)) + ".xml";
    {
      const std::string one = SignOnce(FirstSignature(mb), signer);
      if (one.empty() || !WriteFile(file, WithTemplateCertificate(one))) {
        std::fprintf(stderr, "cannot make the %.0f MB document\n", mb);
        return 1;
      }
    }
    const std::string ours_command = self + " verify " + file + " 1 1 full";
    if (Run(ours_command) != 0 || Run(XmlSecVerify(file, 1, ca) + " >/dev/null 2>&1") != 0) {
      std::fprintf(stderr, "%.0f MB: a side does not verify\n", mb);
      return 1;
    }
    const int runs = mb >= 50 ? 3 : kRuns;
    const Measure ours = Median(ours_command, runs);
    const Measure theirs = Median(XmlSecVerify(file, 1, ca) + " >/dev/null 2>&1", runs);
    std::printf("%8.0f MB %9.1f %12.1f %6s %9.1f %12.1f %6s\n", mb, ours.seconds * 1e3, theirs.seconds * 1e3,
                Ratio(theirs.seconds, ours.seconds).c_str(), ours.rss_mb(), theirs.rss_mb(),
                Ratio(theirs.rss_mb(), ours.rss_mb()).c_str());
    fs::remove(file);
  }
  std::printf("ratios xmlsec1 / ours; targets: time ratio >= 0.5, memory ratio >= 0.67\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "verify") return Verify(argv);
  if (argc == 2 && std::string(argv[1]) == "idle") return 0;
  const bool full = argc > 1 && std::string(argv[1]) == "full";
  std::vector<double> sizes;
  for (int i = 2; full && i < argc; ++i) sizes.push_back(std::atof(argv[i]));
  if (full && sizes.empty()) sizes = {1, 10};
  const double mb = !full && argc > 1 ? std::atof(argv[1]) : 1.0;

  const fs::path dir =
      fs::temp_directory_path() / ("xades_verify_bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  const struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  const std::string d = dir.string();
  if (!vel::bench::MakeBenchKey(dir)) {
    std::fprintf(stderr, "cannot make the key\n");
    return 1;
  }
  const auto cert = vel::platform::CertContext::FromDer(ReadFile(dir / "cert.der"));
  vel::platform::SetPinCallback([](const vel::platform::PinRequest&, std::string* pin) {
    *pin = "1234";
    return true;
  });
  std::unique_ptr<vel::platform::Signer> signer;
  if (!cert || vel::platform::OpenPkcs12Signer(dir / "key.p12", cert, &signer) != 0) {
    std::fprintf(stderr, "cannot open the key\n");
    return 1;
  }

  if (full) return FullRuns(sizes, dir, *signer);

  // One signature, and ten made one after the other on the same content.
  std::string signed_doc = FirstSignature(mb);
  std::string one;
  for (int k = 1; k <= kManySignatures; ++k) {
    signed_doc = SignOnce(signed_doc, *signer);
    if (signed_doc.empty()) {
      std::fprintf(stderr, "signing %d failed\n", k);
      return 1;
    }
    if (k == 1) one = signed_doc;
  }
  const std::string one_file = d + "/one.xml";
  const std::string many_file = d + "/many.xml";
  const std::string one_doc = WithTemplateCertificate(one);
  const std::string many_doc = WithTemplateCertificate(signed_doc);
  if (one_doc.empty() || many_doc.empty() || !WriteFile(one_file, one_doc) ||
      !WriteFile(many_file, many_doc)) {
    std::fprintf(stderr, "cannot write the documents\n");
    return 1;
  }
  const std::string ca = d + "/cert.pem";
  // Both documents are checked (and printed) even when the first fails.
  const bool checked = CheckStatuses("1 signature", one_file, 1, ca) &
                       CheckStatuses("10 signatures", many_file, kManySignatures, ca);
  if (!checked) {
    std::fprintf(stderr, "a status is not as expected: no timings\n");
    return 1;
  }

  const std::string self = fs::canonical("/proc/self/exe").string();
  const Measure idle = Median(self + " idle");
  std::printf("\nprogram start alone: %.1f ms, peak RSS %.1f MB\n\n", idle.seconds * 1e3,
              idle.rss_mb());
  std::printf("%-26s %9s %12s %6s %9s %12s %8s %13s\n", "case", "ours (ms)", "xmlsec1 (ms)",
              "ratio", "ours (MB)", "xmlsec1 (MB)", "RSS/doc", "(RSS-start)/doc");
  struct Case {
    const char* name;
    const std::string& file;
    size_t doc_size;
    int count;
    const char* how;
  };
  const Case cases[] = {
      {"1 signature (tree)", one_file, one_doc.size(), 1, "tree"},
      {"10 signatures (tree)", many_file, many_doc.size(), kManySignatures, "tree"},
      {"10 signatures (Verify(n))", many_file, many_doc.size(), kManySignatures, "doc"},
  };
  Measure ours_one, theirs_one;
  for (const Case& c : cases) {
    const Measure ours = Median(self + " verify " + c.file + " 1 " + std::to_string(c.count) + " " + c.how);
    const Measure theirs = Median(XmlSecVerifyAll(c.file, 1, c.count, ca));
    if (c.count == 1) {
      ours_one = ours;
      theirs_one = theirs;
    }
    const double doc_mb = c.doc_size / (1024.0 * 1024.0);
    std::printf("%-26s %9.1f %12.1f %6s %9.1f %12.1f %8.1f %13.1f\n", c.name, ours.seconds * 1e3,
                theirs.seconds * 1e3, Ratio(theirs.seconds, ours.seconds).c_str(), ours.rss_mb(), theirs.rss_mb(),
                ours.rss_mb() / doc_mb, (ours.max_rss_kb - idle.max_rss_kb) / 1024.0 / doc_mb);
    if (c.count > 1)
      std::printf("%-26s %9.2f %12.2f   x one signature (target: ours <= 10)\n", "",
                  ours.seconds / ours_one.seconds, theirs.seconds / theirs_one.seconds);
  }
  std::printf("ratio: xmlsec1 / ours, medians of %d\n", kRuns);
  if (!vel::bench::HaveGnuTime()) std::printf("(no /usr/bin/time: peak memory not measured)\n");
  return 0;
}
