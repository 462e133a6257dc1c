// Verification of the signatures of an opened file, behind the signatures
// page: CSignatureVerifier holds the catalog, the proxy and the CRL
// addresses of the current settings and checks one certificate (chain and
// revocation) on a worker thread with a time limit, while the caller keeps
// its user interface alive through a pump callback; FillSignatureTree walks
// a signer tree, checks each node's own signature and then its certificate,
// and gives one plain item per node (text, image, detail) that the window
// shows. No widget here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/proxy_settings.h"
#include "app/signature_list.h"
#include "app/signed_source.h"
#include "app/timed_worker.h"
#include "cryptolib/certificate.h"

namespace vel::app {

class CMessageTable;
class CSignedFile;
class CSignedMimeDoc;
class Prompt;

// 0 correct, 1 incomplete (revocation or trust could not be established), 2 invalid.
enum SignatureClass : int { kClassCorrect = 0, kClassIncomplete = 1, kClassInvalid = 2 };
// The class of a certificate check's status.
int ClassOfStatus(crypto::LibraryErrorCode status);

struct CrlAddressEntry {
  std::string name;
  std::string url;
};

// The CRL addresses of a CRLURLS text: one a line (CR LF), trimmed, empty
// lines left out.
std::vector<CrlAddressEntry> ParseCrlUrls(const std::string& text);
// The older edition's CRL addresses: each string value of its CRL key (the
// key's default value, its switch, aside), named by the value's name.
std::vector<CrlAddressEntry> ReadOlderCrlAddresses();

// One signature being checked: its certificate and the verdict.
struct SignatureCheck {
  std::unique_ptr<crypto::Certificate> certificate;
  bool qualified = false;
  int status = kClassCorrect;
  std::string status_text;
};

// One tree item: what the window shows for one node.
struct SignatureTreeItem {
  std::string text;
  int image = 0;  // class, plus 3 for a time stamp
  std::string detail;
  std::shared_ptr<const SignerRef> signer;
  std::vector<SignatureTreeItem> children;
};

class CSignatureVerifier {
 public:
  // Waits are cut in slices; each slice steps the progress once.
  static constexpr uint32_t kSliceMs = 15000;
  static constexpr uint32_t kTimeLimitMs = 180000;
  // Status of a second check asked for while one runs (ERROR_BUSY).
  static constexpr crypto::LibraryErrorCode kBusy = 170;

  struct Hooks {
    // Lets the user interface handle what is pending; called often while a
    // check runs.
    std::function<void()> pump;
    // Sets the progress step (percent) and steps once.
    std::function<void(int)> set_step;
    std::function<void()> step;
  };

  // Whose CRL and proxy settings a verifier uses: the current user's, or
  // those of the older edition (its CRL key, the user's when that key's
  // default value is "1", else the machine's; its network key).
  enum Settings { kCurrent, kOlderEdition };

  // Reads the CRL and proxy settings of the current user; with
  // `install_certificates` runs the CA-certificate installer (once per run).
  CSignatureVerifier(const CMessageTable& catalog, bool install_certificates, Hooks hooks,
                     Prompt* prompt = nullptr)
      : CSignatureVerifier(catalog, kCurrent, install_certificates, std::move(hooks), prompt) {}
  CSignatureVerifier(const CMessageTable& catalog, Settings settings, bool install_certificates,
                     Hooks hooks, Prompt* prompt = nullptr);
  CSignatureVerifier(const CSignatureVerifier&) = delete;
  CSignatureVerifier& operator=(const CSignatureVerifier&) = delete;
  virtual ~CSignatureVerifier();

  const std::vector<CrlAddressEntry>& crl_addresses() const { return crl_; }

  // Checks the certificate of `check`; sets its status and text (message 222
  // when correct, else the library's text) and raises `worst`. Returns the class.
  int VerifyOne(SignatureCheck& check, int& worst);
  // 0 when the node's own signature verifies (checked on a worker, waited
  // for while pumping), else 2 with the check's text set.
  int PreCheck(const SignerRef& signer, SignatureCheck& check, int& worst);
  // The certificate check on a worker within `limit_ms` (a multiple of the
  // slice): the worker's own copy of the certificate, abandoned after the
  // limit, when the check is made again here without downloading. Any
  // failure is non-zero; a call while another runs gives kBusy.
  crypto::LibraryErrorCode VerifyWithTimeout(crypto::Certificate& certificate,
                                             uint32_t location, uint32_t limit_ms);
  void set_time_limit(uint32_t limit_ms, uint32_t slice_ms) {
    limit_ms_ = limit_ms;
    slice_ms_ = slice_ms;
  }
  bool busy() const { return busy_.load(); }

  const CMessageTable& catalog() const { return catalog_; }

 private:
  // The proxy of the settings this verifier uses, read now.
  ProxySettings Proxy() const;
  // Waits for a worker while pumping; with a limit, steps the progress
  // once per slice.
  WorkerWait Wait(std::optional<uint32_t> limit_ms) const;

  const CMessageTable& catalog_;
  Settings settings_;
  Hooks hooks_;
  std::vector<CrlAddressEntry> crl_;
  uint32_t limit_ms_ = kTimeLimitMs;
  uint32_t slice_ms_ = kSliceMs;
  static std::atomic<bool> busy_;
};

// The suffixes of a XAdES signature's label (" - XAdES-X") and item text
// (" (XAdES-X)") by its XadesFormFlags, an archive form with message 432 and
// the archive's validity; both empty for a CMS node (-1) or a node without
// forms.
struct FormSuffix {
  std::string label, text;
};
FormSuffix XadesFormSuffix(const CMessageTable& catalog, int forms, const std::string& archive_validity);

// Items for the node, its children and the siblings after it, appended to
// `items`; returns 1 when every one of them is correct. None returns 1.
int FillSignatureTree(CSignatureVerifier& verifier, std::vector<SignatureTreeItem>& items,
                      std::shared_ptr<const SignerRef> signer, int& worst);

// Every signature of a source: its items and the worst class. A source
// whose signatures cannot be read (no tree while it has signers, a message
// that does not decode, an XML document) is never correct: its one item
// says why.
struct SourceVerdict {
  std::vector<SignatureTreeItem> items;
  int worst = kClassCorrect;
  std::string message;  // why nothing could be checked; empty otherwise
};
SourceVerdict VerifySource(CSignatureVerifier& verifier, SignedSource& source);

// The signed source of a loaded signed file: a detached signature over the
// first part (multipart S/MIME), an attached message (opaque S/MIME, DER
// CMS), an XML document when it is neither; none for other states.
std::unique_ptr<SignedSource> SourceForFile(const CSignedFile& file);

// The signed source of a package: a multipart message's signature detached
// over its first part, however short; the other kinds carry their content
// inside the signature.
std::unique_ptr<SignedSource> SourceForPackage(const CSignedMimeDoc& package);

}  // namespace vel::app
