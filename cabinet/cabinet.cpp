#include "cabinet/cabinet.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "platform/crt_files.h"

namespace vel::cabinet {
namespace {

using namespace vel::platform;

// Fixed parameters of every cabinet the program writes.
constexpr uint32_t kMediaSize = 100000000;
constexpr uint32_t kFolderThreshold = 900000;
constexpr uint16_t kSetId = 12345;
constexpr const char* kDiskName = "MyDisk";
constexpr const char* kTempPrefix = "xx";

constexpr size_t kMaxCabPath = 255;   // a cabinet path, without its terminator
constexpr size_t kMaxDestDir = 259;   // a destination folder with its trailing separator
constexpr size_t kMaxOutputPath = 259;

constexpr int kFlagsReadBinary = kCrtRdOnly | kCrtBinary;                              // 0x8000
constexpr int kFlagsReadSequential = kCrtRdOnly | kCrtBinary | kCrtSequential;        // 0x8020
constexpr int kFlagsOutput = kCrtWrOnly | kCrtCreat | kCrtTrunc | kCrtSequential | kCrtBinary;  // 0x8321
constexpr int kModeReadWrite = kCrtPermRead | kCrtPermWrite;                          // 0x180
constexpr uint16_t kKeptAttributes = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH;     // 0x27

// ---- memory and file callbacks, shared by the writer and the reader ----

void* CabAlloc(uint32_t cb) { return std::malloc(cb == 0 ? 1 : cb); }
void CabFree(void* p) { std::free(p); }
intptr_t CabOpen(const char* name, int flags, int mode) { return CrtOpen(name, flags, mode); }
uint32_t CabRead(intptr_t hf, void* buffer, uint32_t cb) { return static_cast<uint32_t>(CrtRead(hf, buffer, cb)); }
// The reader's write callback has no context: the error of this thread's last
// failing write is kept here for the extraction that asked for it.
thread_local int t_writeError = 0;
uint32_t CabWrite(intptr_t hf, void* buffer, uint32_t cb) {
  errno = 0;
  const int n = CrtWrite(hf, buffer, cb);
  if (n < 0 || static_cast<uint32_t>(n) != cb) t_writeError = errno != 0 ? errno : EIO;
  return static_cast<uint32_t>(n);
}
int CabClose(intptr_t hf) { return CrtClose(hf); }
int32_t CabSeek(intptr_t hf, int32_t offset, int origin) {
  long r = CrtSeek(hf, offset, origin);
  return r > INT32_MAX ? -1 : static_cast<int32_t>(r);
}

// The writer's forms of the same calls; their error number is errno's Win32 code.
intptr_t FciOpen(const char* name, int flags, int mode, int* err, void*) {
  // Exclusive creates are the writer's temporary files, which hold document data.
  intptr_t h = CrtOpen(name, flags, mode, (flags & kCrtExcl) ? kCrtPrivate : kCrtNoExtra);
  if (h == -1) *err = errno;
  return h;
}
uint32_t FciRead(intptr_t hf, void* buffer, uint32_t cb, int* err, void*) {
  int n = CrtRead(hf, buffer, cb);
  if (n < 0) *err = errno;
  return static_cast<uint32_t>(n);
}
uint32_t FciWrite(intptr_t hf, const void* buffer, uint32_t cb, int* err, void*) {
  int n = CrtWrite(hf, buffer, cb);
  if (n < 0) *err = errno;
  return static_cast<uint32_t>(n);
}
int FciClose(intptr_t hf, int* err, void*) {
  int r = CrtClose(hf);
  if (r != 0) *err = errno;
  return r;
}
int32_t FciSeek(intptr_t hf, int32_t offset, int origin, int* err, void*) {
  int32_t r = CabSeek(hf, offset, origin);
  if (r < 0) *err = errno;
  return r;
}
int FciDelete(const char* name, int* err, void*) {
  int r = CrtRemove(name);
  if (r != 0) *err = errno;
  return r;
}

int CabGetTempFile(char* buffer, int size, void*) {
  std::string name;
  if (!CrtTempName(kTempPrefix, name)) return 0;
  if (name.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}

intptr_t CabGetOpenInfo(const char* path, uint16_t* date, uint16_t* time, uint16_t* attribs, int* err, void*) {
  DosDateTime when;
  uint16_t attributes = 0;
  if (!GetFileDosInfo(path, when, attributes)) {
    *err = errno;
    return -1;
  }
  *date = when.date;
  *time = when.time;
  *attribs = attributes & kKeptAttributes;
  intptr_t h = CrtOpen(path, kFlagsReadBinary, 0);
  if (h == -1) *err = errno;
  return h;
}

// The program writes single cabinets; a cabinet that would need a successor is refused.
int CabGetNextCabinet(CCAB*, uint32_t, void*) { return -1; }

int CabFilePlaced(CCAB*, const char*, int32_t, int, void*) { return 0; }
int32_t CabStatus(uint32_t, uint32_t, uint32_t, void*) { return 0; }

// The part of a path after its last separator (the whole path without one).
std::string CabBaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void SetCabinetParameters(CCAB& ccab, std::string_view cabPath) {
  ccab = CCAB{};
  ccab.cb = kMediaSize;
  ccab.cbFolderThresh = kFolderThreshold;
  ccab.iCab = 1;
  ccab.iDisk = 0;
  ccab.setID = kSetId;
  ccab.szDisk = kDiskName;
  size_t slash = cabPath.rfind('/');
  ccab.szCabPath = slash == std::string_view::npos ? std::string("./") : std::string(cabPath.substr(0, slash + 1));
  ccab.szCab = CabBaseName(cabPath);
}

// ---- extraction ----

// Windows-1250, the code page of cabinets written on the program's original platform.
constexpr uint16_t kCp1250High[128] = {
    0x20AC, 0x0000, 0x201A, 0x0000, 0x201E, 0x2026, 0x2020, 0x2021, 0x0000, 0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9};

// The member's name as UTF-8: flagged names are UTF-8 already; unflagged ones
// are taken as they stand when they are valid UTF-8, else read as Windows-1250.
bool MemberNameToUtf8(std::string_view stored, uint16_t attribs, std::string& out) {
  if (!HasNonAscii(stored) || IsValidUtf8(stored)) {
    out.assign(stored);
    return true;
  }
  if (attribs & _A_NAME_IS_UTF) return false;
  out.clear();
  for (unsigned char c : stored) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    uint16_t u = kCp1250High[c - 0x80];
    if (u == 0) return false;
    if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
  return true;
}

// A name that stays inside the destination folder: a single component, not "."
// or "..", with neither separator of either platform.
bool IsSafeMemberName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos;
}

std::string AsciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

// What one extraction needs; it travels to the notification callback through
// the reader's context, so extractions do not share anything.
struct ExtractState {
  std::string destDir;
  std::string wantedUpper;
  bool all = true;
  std::string openPath;  // the member being written, until its close notification
  std::string member;    // its name
  std::vector<CabinetMember>* listing = nullptr;  // set: record the members, write nothing
  CabinetFault fault;  // set by the callback when it refuses or cannot write a member
};

intptr_t CabExtractNotify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  auto* state = static_cast<ExtractState*>(n->pv);
  switch (type) {
    case fdintCOPY_FILE: {
      std::string name;
      if (!MemberNameToUtf8(n->psz1, n->attribs, name)) return state->all ? -1 : 0;
      if (!state->all && AsciiUpper(name) != state->wantedUpper) return 0;
      if (!IsSafeMemberName(name)) {
        state->fault = {CabinetFault::kUnsafeName, 0, name};
        return -1;
      }
      if (state->listing != nullptr) {
        state->listing->push_back({std::move(name), static_cast<uint32_t>(n->cb)});
        return 0;
      }
      std::string path = state->destDir + name;
      if (path.size() > kMaxOutputPath) {
        state->fault = {CabinetFault::kWriteFailed, ENAMETOOLONG, name};
        return -1;
      }
      intptr_t hf = CrtOpen(path.c_str(), kFlagsOutput, kModeReadWrite, kCrtNoFollow);
      if (hf == -1) {
        state->fault = {CabinetFault::kWriteFailed, errno, name};
        return -1;
      }
      state->openPath = path;
      state->member = name;
      return hf;
    }
    case fdintCLOSE_FILE_INFO: {
      std::string path = state->openPath;
      state->openPath.clear();
      if (CrtClose(n->hf) != 0) {
        state->fault = {CabinetFault::kWriteFailed, errno, state->member};
        CrtRemove(path.c_str());
        return 0;
      }
      SetFileDosTime(path.c_str(), n->date, n->time);
      SetFileDosAttributes(path.c_str(), n->attribs & kKeptAttributes);
      return 1;
    }
    case fdintNEXT_CABINET:
      return -1;  // the program's cabinets stand alone
    default:
      return 0;
  }
}

// Walks the cabinet's members through the notification callback with this state.
int Walk(const char* cabPath, ExtractState& state) {
  if (cabPath == nullptr) return 0;
  std::string_view cab(cabPath);
  if (cab.empty() || cab.size() > kMaxCabPath) return 0;
  ERF erf;
  HFDI hfdi = FDICreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek, cpu80386, &erf);
  if (hfdi == nullptr) return 0;
  intptr_t hf = CrtOpen(cabPath, kFlagsReadSequential, 0);
  if (hf == -1) {
    FDIDestroy(hfdi);
    return 0;
  }
  FDICABINETINFO info;
  bool isCab = FDIIsCabinet(hfdi, hf, &info);
  CrtClose(hf);
  if (!isCab) {
    FDIDestroy(hfdi);
    return 0;
  }
  size_t slash = cab.rfind('/');
  std::string dir = slash == std::string_view::npos ? std::string() : std::string(cab.substr(0, slash + 1));
  std::string name = slash == std::string_view::npos ? std::string(cab) : std::string(cab.substr(slash + 1));
  t_writeError = 0;
  bool ok = FDICopy(hfdi, name.c_str(), dir.c_str(), 0, CabExtractNotify, nullptr, &state);
  if (!ok && state.fault.kind == CabinetFault::kNone && erf.erfOper == FDIERROR_TARGET_FILE && t_writeError != 0)
    state.fault = {CabinetFault::kWriteFailed, t_writeError, state.member};
  if (!ok && !state.openPath.empty()) CrtRemove(state.openPath.c_str());  // a half-written member is no member
  bool destroyed = FDIDestroy(hfdi);
  return ok && destroyed ? 1 : 0;
}

int Extract(const char* cabPath, const char* memberName, const char* destDir, CabinetFault* fault) {
  if (destDir == nullptr) return 0;
  ExtractState state;
  state.destDir = destDir;
  if (state.destDir.empty()) return 0;
  if (state.destDir.back() != '/') state.destDir.push_back('/');
  if (state.destDir.size() > kMaxDestDir) return 0;
  if (memberName != nullptr) {
    state.all = false;
    state.wantedUpper = AsciiUpper(memberName);
  }
  const int ok = Walk(cabPath, state);
  if (!ok && fault != nullptr)
    *fault = state.fault.kind != CabinetFault::kNone ? state.fault : CabinetFault{CabinetFault::kUnreadable, 0, {}};
  return ok;
}

}  // namespace

int CreateCabinet(int count, const char* const* paths, const char* cabPath) {
  if (cabPath == nullptr || count < 0 || (count > 0 && paths == nullptr)) return 0;
  std::string_view cab(cabPath);
  if (cab.empty() || cab.size() > kMaxCabPath || cab.back() == '/') return 0;
  CCAB ccab;
  SetCabinetParameters(ccab, cab);
  ERF erf;
  HFCI hfci = FCICreate(&erf, CabFilePlaced, CabAlloc, CabFree, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                        FciDelete, CabGetTempFile, &ccab, &erf);
  if (hfci == nullptr) return 0;
  auto fail = [&] {
    FCIDestroy(hfci);
    return 0;
  };
  for (int i = 0; i < count; ++i) {
    if (paths[i] == nullptr) return fail();
    std::string_view entry(paths[i]);
    if (entry == "+") {
      if (!FCIFlushFolder(hfci, CabGetNextCabinet, CabStatus)) return fail();
      continue;
    }
    std::string member = CabBaseName(entry);
    if (!FCIAddFile(hfci, paths[i], member.c_str(), false, CabGetNextCabinet, CabStatus, CabGetOpenInfo,
                    tcompTYPE_MSZIP))
      return fail();
  }
  if (!FCIFlushFolder(hfci, CabGetNextCabinet, CabStatus)) return fail();
  if (!FCIFlushCabinet(hfci, false, CabGetNextCabinet, CabStatus)) return fail();
  return FCIDestroy(hfci) ? 1 : 0;
}

int ExtractCabinet(const char* cabPath, const char* destDir, CabinetFault* fault) {
  if (fault != nullptr) *fault = {};
  return Extract(cabPath, nullptr, destDir, fault);
}

int ExtractCabinetFile(const char* cabPath, const char* memberName, const char* destDir) {
  if (memberName == nullptr) return 0;
  return Extract(cabPath, memberName, destDir, nullptr);
}

int ListCabinet(const char* cabPath, std::vector<CabinetMember>& members, CabinetFault* fault) {
  members.clear();
  if (fault != nullptr) *fault = {};
  ExtractState state;
  state.listing = &members;
  if (Walk(cabPath, state)) return 1;
  members.clear();
  if (fault != nullptr)
    *fault = state.fault.kind != CabinetFault::kNone ? state.fault : CabinetFault{CabinetFault::kUnreadable, 0, {}};
  return 0;
}

}  // namespace vel::cabinet
