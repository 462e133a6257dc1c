#include "app/signature_verifier.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "app/cert_installer.h"
#include "app/message_catalog.h"
#include "app/proxy_settings.h"
#include "app/registry_settings.h"
#include "app/signed_file.h"
#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

using crypto::LibraryErrorCode;
constexpr uint32_t kCurrentUser = 0x10000;
constexpr uint32_t kModeDownload = 0;
constexpr uint32_t kModeStoredOnly = 1;
constexpr LibraryErrorCode kRevocationUnknown = 0x80092012;
constexpr LibraryErrorCode kUntrustedRoot = 0x800B010A;
constexpr LibraryErrorCode kUnknownFailure = 0xFFFFFFFF;
constexpr auto kPumpEvery = std::chrono::milliseconds(50);

std::string Text(const CMessageTable& catalog, int id, const char* polish) {
  std::string out;
  return catalog.Get(out, id, polish);
}

std::string LibraryText(LibraryErrorCode status) {
  const char* text = crypto::GetErrorText(status);
  return text != nullptr ? text : std::string();
}

std::string Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// What the worker and the caller share; the worker keeps it alive after an
// abandoned wait.
struct WorkerState {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  LibraryErrorCode status = kUnknownFailure;
};

}  // namespace

std::atomic<bool> CSignatureVerifier::busy_{false};

int ClassOfStatus(LibraryErrorCode status) {
  if (status == 0) return kClassCorrect;
  if (status == kRevocationUnknown || status == kUntrustedRoot) return kClassIncomplete;
  return kClassInvalid;
}

std::vector<CrlAddressEntry> ParseCrlUrls(const std::string& text) {
  std::vector<CrlAddressEntry> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t cr = text.find('\r', start);
    const std::string piece = Trim(std::string_view(text).substr(
        start, cr == std::string::npos ? std::string::npos : cr - start));
    if (!piece.empty()) out.push_back({piece, piece});
    if (cr == std::string::npos) break;
    start = cr + 2;
  }
  return out;
}

std::vector<CrlAddressEntry> ReadOlderCrlAddresses() {
  const std::string path = std::string(kOlderEditionKey) + "\\" + kSubkeyOlderCrl;
  auto text = [](const platform::RegValue& v) {
    const bool is_text = v.type == platform::kRegSz || v.type == platform::kRegExpandSz;
    std::string t = is_text ? std::string(v.data.begin(), v.data.end()) : std::string();
    return t.substr(0, t.find('\0'));
  };
  platform::RegKey key;
  platform::RegValue switch_value;
  const bool user = platform::RegOpenKey(RegHive::kCurrentUser, path, platform::kRegRead, key) == 0 &&
                    platform::RegQueryValue(key, "", switch_value) == 0 &&
                    strcasecmp(text(switch_value).c_str(), "1") == 0;
  if (!user && platform::RegOpenKey(RegHive::kLocalMachine, path, platform::kRegRead, key) != 0) return {};
  std::vector<platform::RegNamedValue> values;
  if (platform::RegEnumValues(key, values) != 0) return {};
  std::vector<CrlAddressEntry> out;
  constexpr size_t kMaxUrl = 260;
  for (const platform::RegNamedValue& v : values) {
    const std::string url = text(v.value);
    if (v.name.empty() || url.empty() || url.size() > kMaxUrl) continue;
    out.push_back({v.name, url});
  }
  return out;
}

CSignatureVerifier::CSignatureVerifier(const CMessageTable& catalog, Settings settings,
                                       bool install_certificates, Hooks hooks, Prompt* prompt)
    : catalog_(catalog), settings_(settings), hooks_(std::move(hooks)) {
  if (catalog.GetLanguageId() == kLangIdEnglish) crypto::SetLanguage("en");
  const std::string key = std::string(kUserKey) + "\\";
  if (settings_ == kCurrent) {
    crl_ = ParseCrlUrls(
        CRegString(key + kValueCrlUrls, kRegDefaultCrlUrls, true, RegHive::kCurrentUser).Get());
    if (CRegDword(key + kValueCrlGetAlways, kRegDefaultCrlGetAlways, true, RegHive::kCurrentUser)
            .Get() != 0)
      crypto::Certificate::DeleteCachedCrls(kCurrentUser);
  } else {
    crl_ = ReadOlderCrlAddresses();
  }
  ApplyProxySettings(Proxy());
  if (install_certificates && prompt != nullptr)
    RunCertInstallerOnce(catalog, *prompt, kProductTitle);
}

CSignatureVerifier::~CSignatureVerifier() = default;

std::optional<LibraryErrorCode> CSignatureVerifier::RunOnWorker(
    std::function<LibraryErrorCode()> work, std::optional<uint32_t> limit_ms) {
  auto state = std::make_shared<WorkerState>();
  try {
    std::thread([state, work = std::move(work)] {
      LibraryErrorCode status = kUnknownFailure;
      try {
        status = work();
      } catch (...) {
        status = kUnknownFailure;
      }
      std::lock_guard lock(state->mutex);
      state->status = status;
      state->done = true;
      state->done_cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return kUnknownFailure;  // no thread: nothing was checked
  }

  // Without a limit: wait for the end, keeping the user interface alive.
  const uint32_t slice = std::max<uint32_t>(slice_ms_, 1);
  const uint32_t slices = limit_ms ? std::max<uint32_t>(*limit_ms / slice, 1) : 0;
  if (limit_ms && hooks_.set_step) hooks_.set_step(static_cast<int>(100 / slices));
  for (uint32_t i = 0; !limit_ms || i < slices; ++i) {
    const auto slice_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(slice);
    for (;;) {
      if (hooks_.pump) hooks_.pump();
      std::unique_lock lock(state->mutex);
      const auto now = std::chrono::steady_clock::now();
      if (state->done || now >= slice_end) break;
      state->done_cv.wait_until(lock, std::min(slice_end, now + kPumpEvery),
                                [&] { return state->done; });
    }
    if (limit_ms && hooks_.step) hooks_.step();
    if (!limit_ms) {
      std::lock_guard lock(state->mutex);
      if (state->done) break;
    }
  }
  std::lock_guard lock(state->mutex);
  if (state->done) return state->status;
  return std::nullopt;
}

LibraryErrorCode CSignatureVerifier::VerifyWithTimeout(crypto::Certificate& certificate,
                                                       uint32_t location, uint32_t limit_ms) {
  bool expected = false;
  if (!busy_.compare_exchange_strong(expected, true)) return kBusy;
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = false; }
  } release{busy_};

  crypto::CertPtr context = certificate.GetContext();
  if (!context) return crypto::LIB_E_NO_CERTIFICATE;
  // The worker checks its own certificate object, with the CRL addresses,
  // so that it may be left behind.
  auto worker_certificate = std::make_shared<crypto::Certificate>(context);
  for (const CrlAddressEntry& e : crl_) worker_certificate->AddCrlUrl(e.url.c_str());
  const std::optional<LibraryErrorCode> status = RunOnWorker(
      [worker_certificate, location] { return worker_certificate->Verify(location, kModeDownload); },
      limit_ms);
  if (status) return *status;
  // The worker is left to finish alone; the check is made here once more
  // with the stored CRLs only.
  crypto::Certificate fallback(context);
  for (const CrlAddressEntry& e : crl_) fallback.AddCrlUrl(e.url.c_str());
  return fallback.Verify(kCurrentUser, kModeStoredOnly);
}

ProxySettings CSignatureVerifier::Proxy() const {
  return settings_ == kCurrent ? LoadProxySettings(kUserKey) : LoadOlderProxySettings();
}

int CSignatureVerifier::VerifyOne(SignatureCheck& check, int& worst) {
  ApplyProxySettings(Proxy());
  LibraryErrorCode status = crypto::LIB_E_NO_CERTIFICATE;
  if (check.certificate) status = VerifyWithTimeout(*check.certificate, kCurrentUser, limit_ms_);
  const int cls = ClassOfStatus(status);
  check.status = cls;
  check.status_text =
      cls == kClassCorrect ? Text(catalog_, 222, "Podpis poprawny.") : LibraryText(status);
  worst = std::max(worst, cls);
  return cls;
}

int CSignatureVerifier::PreCheck(const SignerRef& signer, SignatureCheck& check, int& worst) {
  // Digesting a large content takes a while: on the worker too, waited for
  // to its end (it reads the tree and the content, which stay the caller's).
  LibraryErrorCode status = kBusy;
  bool expected = false;
  if (busy_.compare_exchange_strong(expected, true)) {
    status = RunOnWorker([&signer] { return signer.Verify(); }, std::nullopt).value_or(kUnknownFailure);
    busy_ = false;
  }
  if (status == 0) return 0;
  check.status = kClassInvalid;
  check.status_text = LibraryText(status);
  worst = kClassInvalid;
  return kClassInvalid;
}

namespace {

// The NotAfter of the authority of the last archive time stamp of a XAdES
// signature, "YYYY-MM-DD hh:mm:ss (UTC)"; empty without one.
std::string ArchiveValidity(xades::XadesSignatureNode& node) {
  std::unique_ptr<crypto::TimeStampToken> last;
  for (int k = 0; k < xades::kMaxTimeStampSigners; ++k) {
    auto token = node.GetArchiveTimeStamp(k);
    if (!token) break;
    last = std::move(token);
  }
  const crypto::CertPtr tsa = last ? last->GetTsaCertificate() : nullptr;
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!tsa || !context || !crypto::SetCertificateContext(context.get(), tsa)) return {};
  std::string text(32, '\0');
  uint32_t size = static_cast<uint32_t>(text.size());
  if (crypto::GetValidityText(context.get(), 1, true, text.data(), &size) != 0) return {};
  return text.substr(0, text.find('\0'));
}

FormSuffix FormSuffixOf(const CMessageTable& catalog, const SignerRef& ref) {
  const int forms = ref.GetForms();
  const bool archive = forms >= 8 && forms != xades::kNoForms;
  return XadesFormSuffix(catalog, forms,
                         archive && ref.GetNodeKind() == 1 && ref.xades_node()
                             ? ArchiveValidity(*ref.xades_node())
                             : std::string());
}

SignatureTreeItem MakeItem(CSignatureVerifier& verifier, const std::shared_ptr<const SignerRef>& ref,
                           int& worst, int* cls_out) {
  const CMessageTable& catalog = verifier.catalog();
  const uint32_t kind = ref->GetNodeKind();
  SignatureCheck check;
  check.certificate = ref->GetCertificate();
  if (check.certificate) check.qualified = check.certificate->IsQualified() != 0;
  int cls = verifier.PreCheck(*ref, check, worst);
  if (cls == 0) cls = verifier.VerifyOne(check, worst);

  const FormSuffix suffix = FormSuffixOf(catalog, *ref);
  const std::string label = kind == 1   ? Text(catalog, 418, "Podpis dokumentu") + suffix.label
                            : kind == 2 ? Text(catalog, 419, "Kontrasygnata")
                                        : Text(catalog, 420, "Znacznik czasu");
  SignatureTreeItem item;
  item.detail = label + "\r\n\r\n" + Text(catalog, 324, "Certyfikat") + " " +
                (check.qualified ? Text(catalog, 221, "kwalifikowany")
                                 : Text(catalog, 216, "komercyjny")) +
                "\r\n" + check.status_text + "\r\n\r\n" +
                Text(catalog, 219, "Wystawca certyfikatu") + ": ";
  const char* issuer = check.certificate ? check.certificate->GetIssuerCommonName() : nullptr;
  if (issuer != nullptr) item.detail += issuer;
  item.detail += "\r\n" + Text(catalog, 325, "Numer seryjny") + ": ";
  const char* serial = check.certificate ? check.certificate->GetSerialNumber() : nullptr;
  if (serial != nullptr) item.detail += serial;
  if (kind == 3)
    item.detail += "\r\n\r\n" + Text(catalog, 426, "Czas ze znacznika: ") + ref->GetTimeText();
  const char* name = check.certificate ? check.certificate->GetDisplayName() : nullptr;
  item.text = (name != nullptr ? name : "") + suffix.text;
  item.image = cls + (kind == 3 ? 3 : 0);
  item.signer = ref;
  *cls_out = cls;
  return item;
}

}  // namespace

FormSuffix XadesFormSuffix(const CMessageTable& catalog, int forms, const std::string& archive_validity) {
  if (forms < 0 || forms == xades::kNoForms) return {};
  const char* name = forms == 0 ? "XAdES" : forms == 1 ? "XAdES-C" : forms < 4 ? "XAdES-X"
                                          : forms < 8 ? "XAdES-X-L" : "XAdES-A";
  FormSuffix out{std::string(" - ") + name, std::string(" (") + name + ")"};
  if (forms >= 8) {
    const std::string valid = Text(catalog, 432, "Ważny do") + ": " + archive_validity;
    out.label += "\t" + valid;
    out.text += "         " + valid;
  }
  return out;
}

int FillSignatureTree(CSignatureVerifier& verifier, std::vector<SignatureTreeItem>& items,
                      std::shared_ptr<const SignerRef> signer, int& worst) {
  int all_correct = 1;
  // Siblings in a loop, children by recursion (the tree bounds their depth).
  for (std::shared_ptr<const SignerRef> ref = std::move(signer); ref;
       ref = std::shared_ptr<const SignerRef>(ref->GetNext())) {
    int cls = 0;
    SignatureTreeItem item = MakeItem(verifier, ref, worst, &cls);
    if (cls != 0) all_correct = 0;
    if (!FillSignatureTree(verifier, item.children,
                           std::shared_ptr<const SignerRef>(ref->GetFirstChild()), worst))
      all_correct = 0;
    if (!FillSignatureTree(verifier, item.children,
                           std::shared_ptr<const SignerRef>(ref->GetFirstTimeStamp()), worst))
      all_correct = 0;
    items.push_back(std::move(item));
  }
  return all_correct;
}

SourceVerdict VerifySource(CSignatureVerifier& verifier, SignedSource& source) {
  SourceVerdict verdict;
  uint32_t count = 0;
  const LibraryErrorCode count_status = source.GetSignerCount(&count);
  std::shared_ptr<const SignerRef> root(source.CreateSignerRef());
  if (!root) {
    // Signatures that cannot be read are never shown as correct.
    verdict.worst = kClassInvalid;
    const LibraryErrorCode why = count_status != 0 ? count_status : source.tree_status();
    verdict.message = LibraryText(why != 0 ? why : 13u);
    return verdict;
  }
  if (count_status != 0 || count == 0) {
    verdict.worst = kClassInvalid;
    verdict.message = LibraryText(count_status != 0 ? count_status : 0x8009200Eu);
    return verdict;
  }
  FillSignatureTree(verifier, verdict.items, root, verdict.worst);
  return verdict;
}

std::unique_ptr<SignedSource> SourceForFile(const CSignedFile& file) {
  const auto sig = file.signature();
  switch (file.GetState()) {
    case CSignedFile::kStateSmimeMultipart: {
      const auto content = file.signed_content();
      return std::make_unique<SignedSource>(sig.data(), static_cast<uint32_t>(sig.size()),
                                            content.data(), static_cast<uint32_t>(content.size()),
                                            false);
    }
    case CSignedFile::kStateSmimeOpaque:
    case CSignedFile::kStateCmsSigned:
      return std::make_unique<SignedSource>(sig.data(), static_cast<uint32_t>(sig.size()), nullptr,
                                            0, false);
    case CSignedFile::kStateOther: {
      // Neither CMS nor S/MIME: an XML signed document, when it is one.
      const auto data = file.data();
      auto xml = std::make_unique<SignedSource>(data.data(), static_cast<uint32_t>(data.size()), nullptr, 0, true);
      return xml->kind() == SignedSource::kXmlDocument ? std::move(xml) : nullptr;
    }
    default:
      return nullptr;
  }
}

}  // namespace vel::app
