// What the card middleware does on the original platform, done by the import
// command here: a signing certificate goes into the "My" store with the
// binding of its key (platform/key_binding.h).
//
// A PKCS#12 file is copied into the location's private key folder,
// "<location>/.keys/<SHA-1>.p12" (the folder 0700, the file 0600; no store
// folder can have that name), so that moving or deleting the original breaks
// nothing; the binding names the copy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/signer.h"

namespace vel::platform {

// The private key folder of a location; empty for a bad location.
std::filesystem::path PrivateKeyFolder(uint32_t location_flags);

// Imports a PKCS#12 file: its password is asked through the PIN callback and
// must open it; the certificate whose key it holds goes into "My" with its
// binding. *cert gets that certificate. Errors: those of ReadPkcs12File and
// OpenPkcs12Bytes; kCryptENotFound for a file without its key's certificate;
// a folder or file that cannot be written: its Win32 code.
uint32_t ImportPkcs12(uint32_t location_flags, const std::filesystem::path& file, CertPtr* cert);

// Registers every certificate with a key on the module's tokens in "My", the
// binding naming the key's object. *found gets every certificate seen, those
// without a key (uri empty) not registered.
uint32_t RegisterTokenCertificates(uint32_t location_flags, const std::string& module_path,
                                   std::vector<TokenCertificate>* found);

// Removes a certificate from "My" with its binding, and the key file copy
// when the binding names one in the private key folder.
uint32_t RemoveFromMy(uint32_t location_flags, const CertContext& cert);

}  // namespace vel::platform
