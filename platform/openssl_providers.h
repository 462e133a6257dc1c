// OpenSSL 3 keeps the old ciphers (RC2, DES) in its "legacy" provider; the
// system needs them next to the "default" provider's algorithms.
#pragma once

namespace vel::platform {

// Loads the "legacy" and "default" providers into the default library context
// once per process (later calls only report the first result). True when both
// are loaded.
bool EnsureOpenSslProviders();

}  // namespace vel::platform
