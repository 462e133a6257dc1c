// KDOC containers: opening a 20-page EMF container to its first drawn page,
// and signing it (a PKCS#12 key, no time stamp) step by step, with the
// container rewrite set beside `gcab -c -z` packing the same members.
//
//   kdoc_bench [pages]   (default 20)
#include <sys/resource.h>
#include <unistd.h>

#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/kdoc_document.h"
#include "bench/text_pages.h"
#include "app/page_bitmap.h"
#include "cryptolib/cert_windows.h"
#include "platform/cert_store.h"
#include "platform/key_binding.h"
#include "platform/signer.h"

namespace {

namespace fs = std::filesystem;
using vel::bench::Bytes;
using vel::bench::Clock;
using vel::bench::Ms;
using vel::bench::WriteBytes;

// A document that notes when the signing flow reaches each step.
class StepTimedDoc : public vel::app::CSignedDocObj {
 public:
  using CSignedDocObj::CSignedDocObj;
  std::vector<std::pair<std::string, Clock::time_point>> marks;

 private:
  void StepReached(const char* step) override { marks.emplace_back(step, Clock::now()); }
};

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

Bytes ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}


vel::platform::CertPtr g_cert;
vel::crypto::CertPtr Pick(vel::crypto::X509Context* c) {
  for (const auto& x : c->candidates)
    if (x->sha1() == g_cert->sha1()) {
      c->certificate = x;
      c->last_error = 0;
      return x;
    }
  c->last_error = 1223;
  return nullptr;
}

class Answers : public vel::app::Prompt {
 public:
  int ShowMessage(int id, const std::string&, const std::string&, uint32_t) override {
    return id == 408 ? vel::app::IDNO : vel::app::IDYES;
  }
  std::optional<vel::app::FileDialogAnswer> AskSavePath(const vel::app::FileDialogRequest&) override { return {}; }
  std::optional<vel::app::FileDialogAnswer> AskOpenPath(const vel::app::FileDialogRequest&) override { return {}; }
  void RunWindow(const std::string&, const std::function<void()>& run) override { run(); }
};

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication qt(argc, argv);
  const int pages = argc > 1 ? std::atoi(argv[1]) : 20;
  char tmpl[] = "/tmp/kdoc_bench_XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  setenv("VELDOC_REGISTRY_DIR", (dir / "reg").c_str(), 1);
  setenv("VELDOC_STORE_DIR", (dir / "stores").c_str(), 1);
  fs::create_directories(dir / "reg");

  // The page stream of the job.
  Bytes stream(4, 0);
  for (int i = 1; i <= pages; ++i) {
    const Bytes p = vel::bench::TextPage(i);
    const uint32_t s = static_cast<uint32_t>(p.size());
    for (int k = 0; k < 4; ++k) stream.push_back(static_cast<uint8_t>(s >> (8 * k)));
    stream.insert(stream.end(), p.begin(), p.end());
  }
  const uint32_t n = static_cast<uint32_t>(stream.size() - 4);
  for (int k = 0; k < 4; ++k) stream[k] = static_cast<uint8_t>(n >> (8 * k));
  WriteBytes(dir / "doc.kdsc", stream);

  vel::app::CMessageTable catalog(1033);
  Answers prompt;
  {
    vel::app::CSignedDocObj job(catalog, prompt);
    if (job.Open((dir / "doc.kdsc").string(), 0) != 0) return std::printf("job failed: %s\n", job.error_text().c_str()), 1;
  }
  const std::string container = (dir / "doc.kdoc").string();
  std::printf("container: %d EMF pages, %zu bytes of pages, %ju bytes packed\n", pages, stream.size(),
              static_cast<uintmax_t>(fs::file_size(container)));

  // Opening to the first drawn page, a few times: memory must stay flat.
  for (int round = 0; round < 5; ++round) {
    const auto t0 = Clock::now();
    vel::app::CSignedDocObj doc(catalog, prompt);
    if (doc.Open(container, 1) != 0) return 1;
    const auto t1 = Clock::now();
    uint32_t status = 0;
    vel::app::CPageBitmap first(doc.page_list()->GetAt(0).bytes(), &status);
    const auto t2 = Clock::now();
    std::printf("open %d: container %.1f ms, first page drawn %.1f ms, total %.1f ms, max RSS %ld KiB\n", round,
                Ms(t0, t1), Ms(t1, t2), Ms(t0, t2), MaxRssKb());
  }

  // A PKCS#12 key in the "My" store.
  const std::string d = dir.string();
  if (Run("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Bench -days 2 -keyout " + d + "/k.pem -out " + d +
          "/c.pem 2>/dev/null && openssl pkcs12 -export -passout pass:1234 -inkey " + d + "/k.pem -in " + d +
          "/c.pem -out " + d + "/k.p12 && openssl x509 -in " + d + "/c.pem -outform DER -out " + d + "/c.der") != 0)
    return 1;
  g_cert = vel::platform::CertContext::FromDer(ReadBytes(dir / "c.der"));
  std::unique_ptr<vel::platform::CertStore> store;
  vel::platform::CertStore::Open(vel::platform::kStoreCurrentUser, "My", &store);
  store->AddCertificate(g_cert, vel::platform::AddDisposition::kUseExisting);
  vel::platform::WriteKeyBinding(vel::platform::kStoreCurrentUser, *g_cert,
                                 {vel::platform::KeyReference::Kind::kPkcs12File, d + "/k.p12"});
  vel::platform::SetPinCallback([](const vel::platform::PinRequest&, std::string* pin) {
    *pin = "1234";
    return true;
  });
  vel::crypto::CertificateWindowHandlers h;
  h.select_certificate = &Pick;
  vel::crypto::SetCertificateWindowHandlers(h);

  for (int round = 0; round < 3; ++round) {
    StepTimedDoc doc(catalog, prompt);
    if (doc.Open(container, 1) != 0) return 1;
    int wait = 0;
    const auto t0 = Clock::now();
    if (doc.Sign(&wait) != 0) return std::printf("signing failed\n"), 1;
    const auto t1 = Clock::now();
    std::printf("sign %d: total %.1f ms;", round, Ms(t0, t1));
    auto prev = t0;
    for (const auto& [step, at] : doc.marks) {
      std::printf(" ->%s %.1f ms", step.c_str(), Ms(prev, at));
      prev = at;
    }
    std::printf(" ->reopen+verify %.1f ms\n", Ms(prev, t1));
  }

  // gcab packing the same members.
  fs::create_directories(dir / "members");
  Run("cd " + d + "/members && cabextract -q " + container);
  const auto g0 = Clock::now();
  Run("cd " + d + "/members && gcab -c -z " + d + "/gcab.cab *");
  const auto g1 = Clock::now();
  std::printf("gcab -c -z of the same members: %.1f ms, %ju bytes\n", Ms(g0, g1),
              static_cast<uintmax_t>(fs::file_size(dir / "gcab.cab")));
  fs::remove_all(dir);
  return 0;
}
