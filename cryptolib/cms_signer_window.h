// How a signer node reaches the CMS signer window. The window is a Qt widget
// in cryptolib/ui, which this core library does not link (tests and tools run
// without a display); the program installs it once at start-up
// (vel::crypto::ui::InstallLibraryWindows). Until then opening it answers
// ERROR_CALL_NOT_IMPLEMENTED (120).
#pragma once

#include <cstdint>
#include <span>

#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::crypto {

// Opens a window that shows `signer_info` (an encoded SignerInfo, copied by
// the window) with `certificate` behind its Show certificate button; 0 or the
// error.
using CmsSignerWindowHandler = LibraryErrorCode (*)(std::span<const uint8_t> signer_info,
                                                    const platform::CertPtr& certificate);

// Installs the handler; null uninstalls.
void SetCmsSignerWindowHandler(CmsSignerWindowHandler handler);

// The installed window, or 120.
LibraryErrorCode OpenCmsSignerWindow(std::span<const uint8_t> signer_info,
                                     const platform::CertPtr& certificate);

}  // namespace vel::crypto
