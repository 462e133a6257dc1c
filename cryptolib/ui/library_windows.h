// One call that puts the crypto library's windows behind its functions: the
// certificate viewer and selection window (InstallCertificateWindows) and the
// CMS signer window (InstallCmsSignerWindow). The program calls it once at
// start-up, after the QApplication exists.
#pragma once

namespace vel::crypto::ui {

void InstallLibraryWindows();

}  // namespace vel::crypto::ui
