// How the certificate functions reach the library's windows. The windows are
// Qt widgets in cryptolib/ui, which this core library does not link (tests and
// tools run without a display); the program installs them once at start-up
// (vel::crypto::ui::InstallCertificateWindows). Until then the window calls
// answer ERROR_CALL_NOT_IMPLEMENTED (120).
#pragma once

#include "cryptolib/status.h"
#include "cryptolib/x509_context.h"

namespace vel::crypto {

struct CertificateWindowHandlers {
  // Opens a viewer that shows `certificate`; 0 or the error.
  LibraryErrorCode (*show_certificate)(const CertPtr& certificate) = nullptr;
  // Lets the user choose among context->candidates (the selection window);
  // returns the chosen certificate, which is then the context's current one,
  // with the last error 0, or none with the last error (1223 when cancelled).
  CertPtr (*select_certificate)(X509Context* context) = nullptr;
};

// Installs the handlers (both at once); null members uninstall.
void SetCertificateWindowHandlers(const CertificateWindowHandlers& handlers);

// The installed viewer, or 120.
LibraryErrorCode OpenCertificateViewer(const CertPtr& certificate);
// The installed selection window, or none with the last error 120.
CertPtr RunCertificateSelection(X509Context* context);

}  // namespace vel::crypto
