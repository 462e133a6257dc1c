#include "app/signature_verifier.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "app/cert_installer.h"
#include "app/crl_list.h"
#include "app/message_catalog.h"
#include "app/proxy_settings.h"
#include "app/registry_settings.h"
#include "app/signed_file.h"
#include "app/signed_mime_doc.h"
#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"
#include "platform/registry.h"

namespace vel::app {
namespace {

using crypto::LibraryErrorCode;
constexpr uint32_t kCurrentUser = 0x10000;
constexpr LibraryErrorCode kRevocationUnknown = 0x80092012;
constexpr LibraryErrorCode kUntrustedRoot = 0x800B010A;
constexpr LibraryErrorCode kUnknownFailure = 0xFFFFFFFF;

std::string Text(const CMessageTable& catalog, int id, const char* polish) {
  std::string out;
  return catalog.Get(out, id, polish);
}

std::string LibraryText(LibraryErrorCode status) {
  const char* text = crypto::GetErrorText(status);
  return text != nullptr ? text : std::string();
}

}  // namespace

std::atomic<bool> CSignatureVerifier::busy_{false};

int ClassOfStatus(LibraryErrorCode status) {
  if (status == 0) return kClassCorrect;
  if (status == kRevocationUnknown || status == kUntrustedRoot) return kClassIncomplete;
  return kClassInvalid;
}

std::vector<CrlAddressEntry> ParseCrlUrls(const std::string& text) {
  std::vector<CrlAddressEntry> out;
  for (const std::string& url : CrlAddresses(text)) out.push_back({url, url});
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

LibraryErrorCode CSignatureVerifier::VerifyWithTimeout(crypto::Certificate& certificate,
                                                       uint32_t location, uint32_t limit_ms) {
  bool expected = false;
  if (!busy_.compare_exchange_strong(expected, true)) return kBusy;
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = false; }
  } release{busy_};

  if (!certificate.GetContext()) return crypto::LIB_E_NO_CERTIFICATE;
  std::vector<std::string> urls;
  for (const CrlAddressEntry& e : crl_) urls.push_back(e.url);
  const uint32_t slices = std::max<uint32_t>(limit_ms / std::max<uint32_t>(slice_ms_, 1), 1);
  if (hooks_.set_step) hooks_.set_step(static_cast<int>(100 / slices));
  return VerifyCertificateWithTimeout(certificate, urls, location, Wait(limit_ms));
}

WorkerWait CSignatureVerifier::Wait(std::optional<uint32_t> limit_ms) const {
  WorkerWait wait;
  wait.limit_ms = limit_ms;
  wait.slice_ms = slice_ms_;
  wait.pump = hooks_.pump;
  wait.slice_done = hooks_.step;
  return wait;
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
    status = RunTimedWorker([&signer] { return signer.Verify(); }, Wait(std::nullopt)).value_or(kUnknownFailure);
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
    case CSignedFile::kStateSmimeMultipart:
      return SignedSource::Detached(sig, file.signed_content());
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

std::unique_ptr<SignedSource> SourceForPackage(const CSignedMimeDoc& package) {
  const auto sig = package.signature();
  if (package.kind() == CSignedMimeDoc::kMultipartSigned) return SignedSource::Detached(sig, package.signed_content());
  return std::make_unique<SignedSource>(sig.data(), static_cast<uint32_t>(sig.size()), nullptr, 0, false);
}

}  // namespace vel::app
