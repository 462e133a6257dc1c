#include "platform/openssl_providers.h"

#include <openssl/provider.h>

namespace vel::platform {

bool EnsureOpenSslProviders() {
  // Loaded once and kept for the life of the process; a function-local static
  // makes concurrent first calls safe.
  static const bool loaded = [] {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    return legacy != nullptr && deflt != nullptr;
  }();
  return loaded;
}

}  // namespace vel::platform
