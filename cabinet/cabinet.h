// The three calls through which the program uses its cabinet library. Every
// cabinet written is one cabinet with MSZIP compression. Each returns 1 on
// success and 0 on failure.
#pragma once

namespace vel::cabinet {

// Writes a cabinet at cabPath (shorter than 256 bytes) from count source paths;
// members are named by the paths' base names; an entry "+" closes the current
// folder. Fails when a source cannot be read or the cabinet would need a successor.
int CreateCabinet(int count, const char* const* paths, const char* cabPath);

// Extracts every member into destDir (an existing folder; a trailing '/' is
// added when missing). A member whose name would leave destDir fails the call.
int ExtractCabinet(const char* cabPath, const char* destDir);

// Extracts the members whose name equals memberName without regard to the case
// of ASCII letters, under their stored names; 1 also when no member matched.
int ExtractCabinetFile(const char* cabPath, const char* memberName, const char* destDir);

}  // namespace vel::cabinet
