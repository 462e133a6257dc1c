#include "platform/openssl_providers.h"

#include <openssl/provider.h>

namespace vel::platform {

namespace {

// Keeps the providers for the life of the process and hands them back when
// it ends, so that leak checks see nothing left behind.
struct Providers {
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  ~Providers() {
    if (legacy) OSSL_PROVIDER_unload(legacy);
    if (deflt) OSSL_PROVIDER_unload(deflt);
  }
};

}  // namespace

bool EnsureOpenSslProviders() {
  // A function-local static makes concurrent first calls safe.
  static const Providers providers;
  return providers.legacy != nullptr && providers.deflt != nullptr;
}

}  // namespace vel::platform
