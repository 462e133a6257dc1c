// Installs every window of the crypto library.
#include "cryptolib/ui/library_windows.h"

#include "cryptolib/ui/lib_window.h"
#include "cryptolib/ui/signer_info_window.h"

namespace vel::crypto::ui {

void InstallLibraryWindows() {
  InstallCertificateWindows();
  InstallCmsSignerWindow();
}

}  // namespace vel::crypto::ui
