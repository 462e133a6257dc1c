// Handing a file to the desktop: a private copy of bytes under a name that
// stays inside its own folder, and the desktop's default application for it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vel::platform {

// A name from outside (a signed attribute, a package's name) made safe to be
// the last component of a path: only what follows the last '/' or '\',
// without control characters; "", "." and ".." become "content".
std::string SafeFileName(std::string_view name);

// Writes the bytes into a new private folder (mode 0700) under the temporary
// folder, as a new file `name` (passed through SafeFileName) created with
// O_EXCL|O_NOFOLLOW and mode 0600. Returns its path, or empty with *error
// set to a Win32 code.
std::string WritePrivateCopy(std::string_view folder_prefix, std::string_view name,
                             std::span<const uint8_t> bytes, uint32_t* error);

// True when the file is of a kind that runs rather than shows: an ELF or
// "#!" file, a desktop entry, a script or an executable by its content type.
bool IsExecutableType(const std::string& path);

// Opens the file with the default application for its content type.
// 0 on success; 31 when no application is associated; 1260 when the type is
// one that runs (never launched); 2 or 1359 when the start failed.
uint32_t OpenWithDefaultApplication(const std::string& path);

}  // namespace vel::platform
