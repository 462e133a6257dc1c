#include "app/signature_list.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/signature_verifier.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::app {

namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string UserString(const char* name) {
  return CRegString(std::string(kUserKey) + "\\" + name, "", true, platform::RegHive::kCurrentUser).Get();
}

}  // namespace

uint32_t VerifyCertificateWithTimeout(crypto::Certificate& certificate, const std::vector<std::string>& crl_urls,
                                      uint32_t location, int limit_ms) {
  // The worker may outlive this call: what it uses is shared, never the caller's.
  struct Shared {
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;
    uint32_t result = 0xFFFFFFFF;
  };
  auto shared = std::make_shared<Shared>();
  auto copy = std::make_shared<crypto::Certificate>(certificate.GetContext());
  for (const auto& url : crl_urls) copy->AddCrlUrl(url.c_str());
  try {
    std::thread([shared, copy, location] {
      uint32_t r = 0;
      try {
        r = copy->Verify(location, 0);
      } catch (...) {
        r = 0xFFFFFFFF;
      }
      std::lock_guard<std::mutex> g(shared->lock);
      shared->result = r;
      shared->done = true;
      shared->done_signal.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return 0xFFFFFFFF;
  }
  std::unique_lock<std::mutex> g(shared->lock);
  if (shared->done_signal.wait_for(g, std::chrono::milliseconds(limit_ms), [&] { return shared->done; }))
    return shared->result;
  g.unlock();
  // Too slow: the stored CRLs decide, on an object of this thread's own.
  crypto::Certificate fallback(certificate.GetContext());
  return fallback.Verify(location, 1);
}

void CSignatureList::SetProxy(const char* address, const char* user, const char* password) {
  proxy_with_host_ = address != nullptr;
  proxy_with_credentials_ = address != nullptr && user != nullptr;
  proxy_address_ = address ? address : "";
  proxy_user_ = proxy_with_credentials_ ? user : "";
  proxy_password_ = proxy_with_credentials_ && password ? password : "";
}

void CSignatureList::PassProxy() {
  if (!proxy_with_host_) {
    crypto::Certificate::SetGlobalProxy(nullptr, nullptr, nullptr);
    return;
  }
  const bool credentials = proxy_with_credentials_ && !proxy_user_.empty();
  crypto::Certificate::SetGlobalProxy(proxy_address_.c_str(), credentials ? proxy_user_.c_str() : nullptr,
                                      credentials ? proxy_password_.c_str() : nullptr);
}

std::vector<std::string> CSignatureList::AddCrlUrls(crypto::Certificate& certificate) {
  // One address a line; lines end with CR LF; blanks around them do not count.
  const std::string list = UserString(kValueCrlUrls);
  std::vector<std::string> urls;
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t cr = list.find('\r', pos);
    const std::string piece = Trim(list.substr(pos, cr == std::string::npos ? std::string::npos : cr - pos));
    if (!piece.empty()) {
      certificate.AddCrlUrl(piece.c_str());
      urls.push_back(piece);
    }
    if (cr == std::string::npos) break;
    pos = cr + 2;
  }
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
      PassProxy();
      const auto urls = AddCrlUrls(*entry->certificate);
      const uint32_t result = VerifyCertificateWithTimeout(*entry->certificate, urls, platform::kStoreCurrentUser,
                                                           kCertificateCheckLimitMs);
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
  if (proxy_with_host_) PassProxy();
  const auto urls = AddCrlUrls(certificate);
  last_error_ = VerifyCertificateWithTimeout(certificate, urls, platform::kStoreCurrentUser, kCertificateCheckLimitMs);
  entry.time_stamp_status = static_cast<uint32_t>(ClassOfStatus(last_error_));
}

}  // namespace vel::app
