// The installed window handlers.
#include "cryptolib/cert_windows.h"

#include <atomic>

#include "platform/win32_error.h"

namespace vel::crypto {
namespace {

// Set once at start-up and read from any thread that opens a window.
std::atomic<LibraryErrorCode (*)(const CertPtr&)> g_show{nullptr};
std::atomic<CertPtr (*)(X509Context*)> g_select{nullptr};

}  // namespace

void SetCertificateWindowHandlers(const CertificateWindowHandlers& handlers) {
  g_show.store(handlers.show_certificate);
  g_select.store(handlers.select_certificate);
}

LibraryErrorCode OpenCertificateViewer(const CertPtr& certificate) {
  auto* show = g_show.load();
  if (show == nullptr) return platform::kErrorCallNotImplemented;
  return show(certificate);
}

CertPtr RunCertificateSelection(X509Context* context) {
  if (context == nullptr) return nullptr;
  auto* select = g_select.load();
  if (select == nullptr) {
    context->last_error = platform::kErrorCallNotImplemented;
    return nullptr;
  }
  return select(context);
}

}  // namespace vel::crypto
