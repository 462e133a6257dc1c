#include "app/signature_list.h"

#include "app/crl_list.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/signature_verifier.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::app {

namespace {

WorkerWait CheckLimit() {
  WorkerWait wait;
  wait.limit_ms = kCertificateCheckLimitMs;
  return wait;
}

std::string UserString(const char* name) {
  return CRegString(std::string(kUserKey) + "\\" + name, "", true, platform::RegHive::kCurrentUser).Get();
}

}  // namespace

uint32_t VerifyCertificateWithTimeout(crypto::Certificate& certificate, const std::vector<std::string>& crl_urls,
                                      uint32_t location, const WorkerWait& wait) {
  // The worker may outlive this call: what it uses is its own, never the caller's.
  auto copy = std::make_shared<crypto::Certificate>(certificate.GetContext());
  for (const auto& url : crl_urls) copy->AddCrlUrl(url.c_str());
  if (const auto result = RunTimedWorker([copy, location] { return copy->Verify(location, 0); }, wait))
    return *result;
  // Too slow: the stored CRLs decide, on an object of this thread's own.
  crypto::Certificate fallback(certificate.GetContext());
  for (const auto& url : crl_urls) fallback.AddCrlUrl(url.c_str());
  return fallback.Verify(location, 1);
}

std::vector<std::string> CSignatureList::AddCrlUrls(crypto::Certificate& certificate) {
  std::vector<std::string> urls = CrlAddresses(UserString(kValueCrlUrls));
  for (const std::string& url : urls) certificate.AddCrlUrl(url.c_str());
  return urls;
}

// A signature's verdict is the class of its status: one rule for every page.
static_assert(kSignatureCorrect == kClassCorrect && kSignatureIncomplete == kClassIncomplete &&
              kSignatureInvalid == kClassInvalid);

uint32_t CSignatureList::VerifyAll(crypto::DetachedCmsMessage* message) {
  entries_.clear();
  if (message == nullptr) return 0;
  uint32_t count = 0;
  if (uint32_t status = message->GetSignerCount(&count); status != 0) return last_error_ = status;

  const bool fresh_crls =
      CRegDword(std::string(kUserKey) + "\\" + kValueCrlGetAlways, 0, true, platform::RegHive::kCurrentUser).Get() != 0;
  if (fresh_crls) crypto::Certificate::DeleteCachedCrls(platform::kStoreCurrentUser);
  for (uint32_t i = 0; i < count; ++i) {
    auto entry = std::make_unique<CSignatureEntry>();
    entry->certificate = message->GetSignerCertificate(i);
    entry->qualified = entry->certificate && entry->certificate->IsQualified() != 0;
    const uint32_t signature = message->VerifySigner(i);
    if (signature != 0) {
      entry->status = kSignatureInvalid;
      entry->status_text = crypto::GetErrorText(signature);
    } else if (!entry->certificate) {
      // A signature whose certificate cannot be read cannot be called correct.
      entry->status = kSignatureInvalid;
      entry->status_text = crypto::GetErrorText(message->GetLastResult());
    } else {
      ApplyProxySettings(proxy_);
      const auto urls = AddCrlUrls(*entry->certificate);
      const uint32_t result = VerifyCertificateWithTimeout(*entry->certificate, urls, platform::kStoreCurrentUser,
                                                           CheckLimit());
      entry->status = static_cast<uint32_t>(ClassOfStatus(result));
      if (result == 0)
        catalog_.Get(entry->status_text, 222, "Podpis poprawny.");
      else
        entry->status_text = crypto::GetErrorText(result);
    }
    entry->time_stamp = message->GetSignerTimeStampToken(i, 0);
    VerifyTimeStamp(*message, *entry, i, 0);
    entries_.push_back(std::move(entry));
  }
  if (fresh_crls) crypto::Certificate::DeleteCachedCrls(platform::kStoreCurrentUser);
  return 0;
}

void CSignatureList::VerifyTimeStamp(crypto::DetachedCmsMessage& message, CSignatureEntry& entry, uint32_t signer,
                                     uint32_t k) {
  if (!entry.time_stamp) return;
  if ((last_error_ = message.VerifySignerTimeStamp(signer, k)) != 0) {
    entry.time_stamp_status = kSignatureInvalid;
    return;
  }
  if ((last_error_ = entry.time_stamp->Verify()) != 0) {
    entry.time_stamp_status = kSignatureInvalid;
    return;
  }
  platform::CertPtr authority = entry.time_stamp->GetTsaCertificate();
  if (!authority) return;
  crypto::Certificate certificate(authority);
  ApplyProxySettings(proxy_);
  const auto urls = AddCrlUrls(certificate);
  last_error_ = VerifyCertificateWithTimeout(certificate, urls, platform::kStoreCurrentUser,
                                             CheckLimit());
  entry.time_stamp_status = static_cast<uint32_t>(ClassOfStatus(last_error_));
}

}  // namespace vel::app
