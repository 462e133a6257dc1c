// The three calls through which the program uses its cabinet library. Every
// cabinet written is one cabinet with MSZIP compression. Each returns 1 on
// success and 0 on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::cabinet {

// Writes a cabinet at cabPath (shorter than 256 bytes) from count source paths;
// members are named by the paths' base names; an entry "+" closes the current
// folder. Fails when a source cannot be read or the cabinet would need a successor.
int CreateCabinet(int count, const char* const* paths, const char* cabPath);

// Why an extraction or a listing failed, for a caller that tells the person.
struct CabinetFault {
  enum Kind {
    kNone,
    kUnreadable,   // not a cabinet, or its records or data are damaged
    kUnsafeName,   // a member's name would leave the destination folder
    kWriteFailed,  // a member could not be created or written
  };
  Kind kind = kNone;
  int system_error = 0;  // errno of the failing create or write (kWriteFailed)
  std::string member;    // the member refused or not written, when known
};

// Extracts every member into destDir (an existing folder; a trailing '/' is
// added when missing). A member whose name would leave destDir fails the call.
// On failure `fault` (when given) says why.
int ExtractCabinet(const char* cabPath, const char* destDir, CabinetFault* fault = nullptr);

// Extracts the members whose name equals memberName without regard to the case
// of ASCII letters, under their stored names; 1 also when no member matched.
int ExtractCabinetFile(const char* cabPath, const char* memberName, const char* destDir);

// A member as its file record declares it. Extraction writes exactly `size`
// bytes for it: the rest of its folder's data is never decoded.
struct CabinetMember {
  std::string name;   // as extraction would name it (UTF-8)
  uint32_t size = 0;  // uncompressed bytes
  bool operator==(const CabinetMember&) const = default;
};

// Reads the file records alone, so that a caller can refuse a cabinet before a
// byte is written: every member that ExtractCabinet would write, in order. 1
// on success, 0 when the cabinet cannot be read or a name is not one that
// extraction would accept.
int ListCabinet(const char* cabPath, std::vector<CabinetMember>& members, CabinetFault* fault = nullptr);

}  // namespace vel::cabinet
