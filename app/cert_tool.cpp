#include "app/cert_tool.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "app/registry_settings.h"
#include "cryptolib/cert_path.h"
#include "cryptolib/crl_store.h"
#include "cryptolib/x509_context.h"
#include "platform/cert_name_str.h"
#include "platform/key_binding.h"
#include "platform/key_import.h"
#include "platform/signer.h"
#include "platform/terminal_input.h"
#include "platform/win32_error.h"

namespace vel::app {
namespace {

using platform::CertPtr;
using platform::CrlPtr;

// CRLs of a large authority run to tens of megabytes; nothing imported is larger.
constexpr std::uintmax_t kMaxImportFile = 64 * 1024 * 1024;
constexpr uint32_t kLocation = platform::kStoreCurrentUser;
constexpr const char* kCertStores[] = {"My", "CA", "ROOT"};

enum Text {
  kUsage,
  kImported,
  kImportedCrl,
  kCrlKept,
  kRegistered,
  kSkippedNoKey,
  kNoTokenCertificate,
  kUnreadable,
  kNotCertificate,
  kWrongPassword,
  kNoKey,
  kNoCertificateForKey,
  kNotAuthority,
  kCancelled,
  kWrongPin,
  kPinBlocked,
  kNoModule,
  kNotFound,
  kAmbiguous,
  kRemoved,
  kFailed,
  kPasswordPrompt,
  kPinPrompt,
  kFinalTry,
  kNoKeyBound,
  kTextCount
};

struct Texts {
  const char* polish;
  const char* english;
};

constexpr Texts kTexts[kTextCount] = {
    {"Użycie:\n"
     "  velcert import PLIK [--password-fd N]\n"
     "      plik PKCS#12 (.p12, .pfx): certyfikat z kluczem do magazynu \"My\";\n"
     "      certyfikat urzędu (DER lub PEM): do magazynu \"CA\" lub \"ROOT\";\n"
     "      lista CRL: do magazynu list CRL\n"
     "  velcert token [--module MODUŁ] [--password-fd N]\n"
     "      certyfikaty z kluczem z karty (PKCS#11, domyślnie moduł OpenSC) do magazynu \"My\"\n"
     "  velcert list\n"
     "  velcert remove SHA1|NAZWA\n"
     "  --password-fd N: hasło lub PIN z deskryptora N (0: standardowe wejście), nie z terminala\n",
     "Usage:\n"
     "  velcert import FILE [--password-fd N]\n"
     "      PKCS#12 file (.p12, .pfx): the certificate with its key into the \"My\" store;\n"
     "      an authority's certificate (DER or PEM): into the \"CA\" or \"ROOT\" store;\n"
     "      a CRL: into the CRL store\n"
     "  velcert token [--module MODULE] [--password-fd N]\n"
     "      certificates with a key on a card (PKCS#11, OpenSC's module by default) into \"My\"\n"
     "  velcert list\n"
     "  velcert remove SHA1|NAME\n"
     "  --password-fd N: the password or PIN from descriptor N (0: standard input), not the terminal\n"},
    {"Zaimportowano do magazynu \"%1\": %2", "Imported into the \"%1\" store: %2"},
    {"Zaimportowano listę CRL: %1", "Imported the CRL: %1"},
    {"Magazyn ma już tę lub nowszą listę CRL: %1", "The store already holds this or a newer CRL: %1"},
    {"Zarejestrowano z karty \"%1\": %2", "Registered from the card \"%1\": %2"},
    {"Pominięto (na karcie \"%1\" nie ma jego klucza): %2",
     "Skipped (the card \"%1\" holds no key for it): %2"},
    {"Nie znaleziono karty z certyfikatem i jego kluczem.",
     "No card with a certificate and its key was found."},
    {"Nie można odczytać pliku: %1", "Cannot read the file: %1"},
    {"Plik nie jest certyfikatem, listą CRL ani plikiem PKCS#12 (albo jest uszkodzony): %1",
     "The file is not a certificate, a CRL or a PKCS#12 file (or it is damaged): %1"},
    {"Błędne hasło do pliku: %1", "Wrong password for the file: %1"},
    {"Plik PKCS#12 nie zawiera klucza prywatnego: %1", "The PKCS#12 file holds no private key: %1"},
    {"Plik PKCS#12 nie zawiera certyfikatu swojego klucza: %1",
     "The PKCS#12 file holds no certificate for its key: %1"},
    {"To nie jest certyfikat urzędu (CA) ani certyfikat główny; certyfikat do podpisu importuje "
     "się z kluczem, z pliku PKCS#12: %1",
     "This is neither an authority's (CA) nor a root certificate; a signing certificate is "
     "imported with its key, from a PKCS#12 file: %1"},
    {"Przerwano: nie podano hasła ani PIN-u (bez terminala: --password-fd N).",
     "Cancelled: no password or PIN given (without a terminal: --password-fd N)."},
    {"Błędny PIN karty.", "Wrong PIN for the card."},
    {"PIN karty jest zablokowany.", "The card's PIN is blocked."},
    {"Nie można załadować modułu PKCS#11: %1", "Cannot load the PKCS#11 module: %1"},
    {"Nie znaleziono: %1", "Not found: %1"},
    {"Pasuje więcej niż jeden wpis; podaj jego SHA-1:", "More than one entry matches; give its SHA-1:"},
    {"Usunięto z magazynu \"%1\": %2", "Removed from the \"%1\" store: %2"},
    {"Operacja nie powiodła się (kod 0x%1).", "The operation failed (code 0x%1)."},
    {"Hasło do pliku %1: ", "Password for the file %1: "},
    {"PIN karty \"%1\": ", "PIN for the card \"%1\": "},
    {"Ostatnia próba przed zablokowaniem PIN-u! ", "Last try before the PIN is blocked! "},
    {"bez klucza", "no key"},
};

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string Sha1Hex(std::span<const uint8_t> bytes) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) return {};
  return Hex({digest, length});
}

// Text from a certificate or a card, fit for a terminal: control characters
// (which could move the cursor or recolour what follows), C1 ones in UTF-8
// too, are shown as '?'.
std::string Printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      out += '?';
      i += c1 ? 1 : 0;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string NameText(std::span<const uint8_t> name_der) {
  return Printable(platform::CertNameToStr(name_der, platform::kCertSimpleNameStr).value_or("?"));
}

std::string Describe(const platform::CertContext& cert) {
  return NameText(cert.subject_der()) + " (" + cert.sha1_hex() + ")";
}

std::string Describe(const platform::CrlContext& crl) {
  return NameText(crl.issuer_der()) + " (" + Sha1Hex(crl.der()) + ")";
}

bool IsSha1Hex(std::string_view s) {
  return s.size() == 40 && std::ranges::all_of(s, [](unsigned char c) { return std::isxdigit(c); });
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) {
    return std::toupper(x) == std::toupper(y);
  });
}

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};

// One PEM block's name and bytes; false at the end of the blocks.
bool NextPemBlock(BIO* bio, std::string* name, std::vector<uint8_t>* der) {
  char* n = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  if (PEM_read_bio(bio, &n, &header, &data, &length) != 1) {
    ERR_clear_error();
    return false;
  }
  *name = n;
  der->assign(data, data + length);
  OPENSSL_free(n);
  OPENSSL_free(header);
  OPENSSL_free(data);
  return true;
}

// What the command was asked to do and how it reports.
class CertTool {
 public:
  CertTool(bool english, std::ostream& out, std::ostream& err)
      : english_(english), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args);

 private:
  std::string Say(Text id, std::string_view a = {}, std::string_view b = {}) const {
    const std::string_view text = english_ ? kTexts[id].english : kTexts[id].polish;
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
        out += text[++i] == '1' ? a : b;
      } else {
        out += text[i];
      }
    }
    return out;
  }
  int Fail(Text id, std::string_view a = {}, std::string_view b = {}) {
    err_ << Say(id, a, b) << '\n';
    return 1;
  }
  int FailStatus(uint32_t status) {
    char code[9];
    std::snprintf(code, sizeof code, "%08X", status);
    return Fail(kFailed, code);
  }
  int Usage() {
    err_ << Say(kUsage);
    return 2;
  }

  bool AskSecret(const platform::PinRequest& request, std::string* secret) const {
    if (password_fd_ >= 0) return platform::ReadSecretLine(password_fd_, secret);
    std::string prompt = Say(request.token ? kPinPrompt : kPasswordPrompt, Printable(request.label));
    if (request.final_try) prompt = Say(kFinalTry) + prompt;
    return platform::AskTerminalSecret(prompt, secret);
  }

  int Import(const std::string& file);
  int ImportPkcs12(const std::string& file);
  int ImportAuthority(const CertPtr& cert);
  int ImportCrl(const CrlPtr& crl);
  int RegisterToken();
  int List();
  int Remove(const std::string& what);

  bool english_;
  std::ostream& out_;
  std::ostream& err_;
  int password_fd_ = -1;
  std::string module_ = platform::kDefaultPkcs11Module;
};

int CertTool::Run(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  const std::string& command = args[0];
  std::vector<std::string> operands;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!arg.starts_with("--")) {
      operands.push_back(args[i]);
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    std::string_view value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return Usage();
    }
    if (name == "--password-fd") {
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), password_fd_);
      if (ec != std::errc() || end != value.data() + value.size() || password_fd_ < 0) return Usage();
    } else if (name == "--module" && !value.empty()) {
      module_ = value;
    } else {
      return Usage();
    }
  }
  platform::SetPinCallback([this](const platform::PinRequest& r, std::string* secret) {
    return AskSecret(r, secret);
  });
  int status = 2;
  if (command == "import" && operands.size() == 1) status = Import(operands[0]);
  else if (command == "token" && operands.empty()) status = RegisterToken();
  else if (command == "list" && operands.empty()) status = List();
  else if (command == "remove" && operands.size() == 1) status = Remove(operands[0]);
  else Usage();
  platform::SetPinCallback(nullptr);
  platform::ShutdownPkcs11Modules();
  return status;
}

int CertTool::Import(const std::string& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  std::ifstream in(file, std::ios::binary);
  if (ec || size > kMaxImportFile || !std::filesystem::is_regular_file(file, ec) || !in)
    return Fail(kUnreadable, file);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(kUnreadable, file);
  const CertFileContents contents = ReadCertFileContents(bytes);
  if (contents.empty()) return ImportPkcs12(file);
  int status = 0;
  for (const CertPtr& cert : contents.certificates) status = std::max(status, ImportAuthority(cert));
  for (const CrlPtr& crl : contents.crls) status = std::max(status, ImportCrl(crl));
  return status;
}

int CertTool::ImportPkcs12(const std::string& file) {
  CertPtr cert;
  switch (const uint32_t status = platform::ImportPkcs12(kLocation, file, &cert)) {
    case 0:
      out_ << Say(kImported, "My", Describe(*cert)) << '\n';
      return 0;
    case platform::kNteBadData:
      return Fail(kNotCertificate, file);
    case platform::kScardWrongPin:
      return Fail(kWrongPassword, file);
    case platform::kNteBadKeyset:
      return Fail(kNoKey, file);
    case platform::kCryptENotFound:
      return Fail(kNoCertificateForKey, file);
    case platform::kStatusCancelled:
      return Fail(kCancelled);
    default:
      return FailStatus(status);
  }
}

int CertTool::ImportAuthority(const CertPtr& cert) {
  const std::string store = AuthorityStoreFor(*cert);
  if (store.empty()) return Fail(kNotAuthority, Describe(*cert));
  crypto::X509ContextPtr context = crypto::MakeX509Context();
  if (!context) return FailStatus(platform::kErrorNotEnoughMemory);
  crypto::SetCertificateContext(context.get(), cert);
  if (const uint32_t status = crypto::AddCertificateToStore(context.get(), kLocation, store.c_str()))
    return FailStatus(status);
  out_ << Say(kImported, store, Describe(*cert)) << '\n';
  return 0;
}

int CertTool::ImportCrl(const CrlPtr& crl) {
  // With its issuer's certificate at hand the CRL takes that key's slot.
  CertPtr signer;
  for (const char* name : {"CA", "ROOT"}) {
    std::unique_ptr<platform::CertStore> store;
    if (signer || platform::CertStore::Open(kLocation, name, &store) != 0) continue;
    for (const CertPtr& cert : store->Certificates())
      if (platform::CompareCertificateName(cert->subject_der(), crl->issuer_der()) &&
          crl->SignatureVerifiesWith(*cert)) {
        signer = cert;
        break;
      }
  }
  bool stored = false;
  if (const uint32_t status = crypto::AddCrlToStore(kLocation, crl, signer, &stored))
    return FailStatus(status);
  out_ << Say(stored ? kImportedCrl : kCrlKept, Describe(*crl)) << '\n';
  return 0;
}

int CertTool::RegisterToken() {
  std::vector<platform::TokenCertificate> found;
  switch (const uint32_t status = platform::RegisterTokenCertificates(kLocation, module_, &found)) {
    case 0:
      break;
    case platform::kScardNoReader:
      return Fail(kNoModule, module_);
    case platform::kScardWrongPin:
    case platform::kScardInvalidPin:
      return Fail(kWrongPin);
    case platform::kScardPinBlocked:
      return Fail(kPinBlocked);
    case platform::kStatusCancelled:
      return Fail(kCancelled);
    default:
      return FailStatus(status);
  }
  bool any = false;
  for (const platform::TokenCertificate& entry : found) {
    any = any || !entry.uri.empty();
    const std::string token = Printable(entry.token);
    if (entry.uri.empty()) err_ << Say(kSkippedNoKey, token, Describe(*entry.cert)) << '\n';
    else out_ << Say(kRegistered, token, Describe(*entry.cert)) << '\n';
  }
  return any ? 0 : Fail(kNoTokenCertificate);
}

int CertTool::List() {
  for (const char* name : kCertStores) {
    std::unique_ptr<platform::CertStore> store;
    if (platform::CertStore::Open(kLocation, name, &store) != 0) continue;
    for (const CertPtr& cert : store->Certificates()) {
      out_ << name << '\t' << cert->sha1_hex() << '\t' << NameText(cert->subject_der());
      if (std::string_view(name) == "My") {
        platform::KeyReference ref;
        out_ << '\t'
             << (platform::ReadKeyBinding(kLocation, *cert, &ref) == 0
                     ? platform::FormatKeyReference(ref)
                     : Say(kNoKeyBound));
      }
      out_ << '\n';
    }
  }
  std::unique_ptr<platform::CertStore> crls;
  if (platform::CertStore::Open(kLocation, crypto::kCrlStoreName, &crls) == 0)
    for (const CrlPtr& crl : crls->Crls())
      out_ << "CRL\t" << Sha1Hex(crl->der()) << '\t' << NameText(crl->issuer_der()) << '\n';
  return 0;
}

int CertTool::Remove(const std::string& what) {
  const bool by_hash = IsSha1Hex(what);
  struct Match {
    std::string store;
    CertPtr cert;
    CrlPtr crl;
  };
  std::vector<Match> matches;
  std::map<std::string, std::unique_ptr<platform::CertStore>> stores;
  for (const char* name : {"My", "CA", "ROOT", crypto::kCrlStoreName}) {
    if (platform::CertStore::Open(kLocation, name, &stores[name]) != 0) continue;
    platform::CertStore& store = *stores[name];
    for (const CertPtr& cert : store.Certificates())
      if (by_hash ? EqualNoCase(cert->sha1_hex(), what)
                  : platform::NameTextContains(cert->subject_der(), what))
        matches.push_back({name, cert, nullptr});
    for (const CrlPtr& crl : store.Crls())
      if (by_hash ? EqualNoCase(Sha1Hex(crl->der()), what)
                  : platform::NameTextContains(crl->issuer_der(), what))
        matches.push_back({name, nullptr, crl});
  }
  if (matches.empty()) return Fail(kNotFound, what);
  if (matches.size() > 1) {
    err_ << Say(kAmbiguous) << '\n';
    for (const Match& m : matches)
      err_ << "  " << (m.crl ? "CRL" : m.store) << '\t'
           << (m.crl ? Describe(*m.crl) : Describe(*m.cert)) << '\n';
    return 1;
  }
  const Match& m = matches.front();
  uint32_t status;
  if (m.crl) status = stores[m.store]->DeleteCrl(*m.crl);
  else if (m.store == "My") status = platform::RemoveFromMy(kLocation, *m.cert);
  else status = stores[m.store]->DeleteCertificate(*m.cert);
  if (status != 0) return FailStatus(status);
  out_ << Say(kRemoved, m.crl ? "CRL" : m.store, m.crl ? Describe(*m.crl) : Describe(*m.cert))
       << '\n';
  return 0;
}

}  // namespace

CertFileContents ReadCertFileContents(std::span<const uint8_t> bytes) {
  CertFileContents contents;
  if (CertPtr cert = platform::CertContext::FromDer(bytes)) {
    contents.certificates.push_back(std::move(cert));
    return contents;
  }
  if (CrlPtr crl = platform::CrlContext::FromDer(bytes)) {
    contents.crls.push_back(std::move(crl));
    return contents;
  }
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return contents;
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  std::string name;
  std::vector<uint8_t> der;
  while (bio && NextPemBlock(bio.get(), &name, &der)) {
    if (name == "CERTIFICATE" || name == "X509 CERTIFICATE") {
      CertPtr cert = platform::CertContext::FromDer(der);
      if (!cert) return {};
      contents.certificates.push_back(std::move(cert));
    } else if (name == "X509 CRL") {
      CrlPtr crl = platform::CrlContext::FromDer(der);
      if (!crl) return {};
      contents.crls.push_back(std::move(crl));
    }
  }
  return contents;
}

std::string AuthorityStoreFor(const platform::CertContext& cert) {
  if (X509_self_signed(cert.x509(), 1) == 1) return "ROOT";
  // Only a root may be a CA without saying so in its basic constraints.
  if (X509_check_ca(cert.x509()) == 1) return "CA";
  ERR_clear_error();
  return {};
}

int RunCertTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const bool english =
      CRegDword(std::string(kMachineKey) + "\\" + kValueLangId, kRegDefaultLangId, true,
                RegHive::kLocalMachine)
          .Get() == kLangIdEnglish;
  return CertTool(english, out, err).Run(args);
}

}  // namespace vel::app
