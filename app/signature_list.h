// The signatures of an open KDOC container, each verified: the CMS signature
// over the pages, the signer's certificate with its chain and CRLs, and the
// signer's signature time stamp with its authority's certificate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/message_catalog.h"
#include "app/proxy_settings.h"
#include "app/timed_worker.h"
#include "cryptolib/certificate.h"
#include "cryptolib/cms_classes.h"
#include "cryptolib/timestamp_token.h"

namespace vel::app {

// Verdicts of a signature and of its time stamp.
inline constexpr uint32_t kSignatureCorrect = 0;
inline constexpr uint32_t kSignatureIncomplete = 1;
inline constexpr uint32_t kSignatureInvalid = 2;
inline constexpr uint32_t kTimeStampNotChecked = 3;

// How long a certificate check with CRL downloads may take before the check
// falls back to the stored CRLs.
inline constexpr int kCertificateCheckLimitMs = 25000;

struct CSignatureEntry {
  uint32_t status = kSignatureCorrect;
  std::string status_text;
  std::unique_ptr<crypto::Certificate> certificate;
  std::unique_ptr<crypto::TimeStampToken> time_stamp;
  bool qualified = false;
  uint32_t time_stamp_status = kTimeStampNotChecked;
};

class CSignatureList {
 public:
  explicit CSignatureList(const CMessageTable& catalog) : catalog_(catalog) {}

  // The proxy of the certificate checks; one switched off clears the
  // library's proxy before each check.
  void SetProxy(const ProxySettings& proxy) { proxy_ = proxy; }

  // Rebuilds the entries from the message (none: no entries). 0, or the
  // message's status when it cannot even count its signers.
  uint32_t VerifyAll(crypto::DetachedCmsMessage* message);
  // Fills the entry's time-stamp verdict from the signer's k-th token.
  void VerifyTimeStamp(crypto::DetachedCmsMessage& message, CSignatureEntry& entry, uint32_t signer, uint32_t k);

  size_t GetCount() const { return entries_.size(); }
  const std::vector<std::unique_ptr<CSignatureEntry>>& entries() const { return entries_; }
  uint32_t last_error() const { return last_error_; }

 private:
  // The CRLURLS addresses, added to the certificate too.
  std::vector<std::string> AddCrlUrls(crypto::Certificate& certificate);

  const CMessageTable& catalog_;
  std::vector<std::unique_ptr<CSignatureEntry>> entries_;
  uint32_t last_error_ = 0;
  ProxySettings proxy_;
};

// The certificate's check with CRL downloads on a worker of its own, waited
// for as `wait` says (RunTimedWorker); after its limit, the check with the
// stored CRLs only on the calling thread. The worker checks its own copy of
// the certificate, with the CRL addresses given, and so does the fallback.
uint32_t VerifyCertificateWithTimeout(crypto::Certificate& certificate, const std::vector<std::string>& crl_urls,
                                      uint32_t location, const WorkerWait& wait);

}  // namespace vel::app
