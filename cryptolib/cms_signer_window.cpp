// The installed CMS signer window.
#include "cryptolib/cms_signer_window.h"

#include <atomic>

#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

// Set once at start-up and read from any thread that opens a window.
std::atomic<CmsSignerWindowHandler> g_handler{nullptr};

}  // namespace

void SetCmsSignerWindowHandler(CmsSignerWindowHandler handler) { g_handler.store(handler); }

LibraryErrorCode OpenCmsSignerWindow(std::span<const uint8_t> signer_info,
                                     const platform::CertPtr& certificate) {
  const CmsSignerWindowHandler handler = g_handler.load();
  if (handler == nullptr) return platform::kErrorCallNotImplemented;
  return handler(signer_info, certificate);
}

}  // namespace vel::crypto
