// The cabinet reader (FDI): reads MS-CAB cabinets, walks their file records and
// hands each file to the caller's notification callback, which decides whether
// and where it is written. Every file and memory operation goes through the
// caller's callbacks; the reader never writes anything itself.
#pragma once

#include <cstdint>

#include "cabinet/cab_records.h"
#include "cabinet/codec.h"

// FDI error codes (ERF::erfOper).
enum FDIERROR : int32_t {
  FDIERROR_NONE = 0,
  FDIERROR_CABINET_NOT_FOUND = 1,
  FDIERROR_NOT_A_CABINET = 2,
  FDIERROR_UNKNOWN_CABINET_VERSION = 3,
  FDIERROR_CORRUPT_CABINET = 4,
  FDIERROR_ALLOC_FAIL = 5,
  FDIERROR_BAD_COMPR_TYPE = 6,
  FDIERROR_MDI_FAIL = 7,
  FDIERROR_TARGET_FILE = 8,
  FDIERROR_RESERVE_MISMATCH = 9,
  FDIERROR_WRONG_CABINET = 10,
  FDIERROR_USER_ABORT = 11,
};

// Processor types for FDICreate.
inline constexpr int cpuUNKNOWN = -1;
inline constexpr int cpu80286 = 0;
inline constexpr int cpu80386 = 1;

struct FDICABINETINFO {
  int32_t cbCabinet = 0;
  uint16_t cFolders = 0;
  uint16_t cFiles = 0;
  uint16_t setID = 0;
  uint16_t iCabinet = 0;
  int32_t fReserve = 0;
  int32_t hasprev = 0;
  int32_t hasnext = 0;  // the flag bit itself (2) when set
};

enum FDINOTIFICATIONTYPE : int {
  fdintCABINET_INFO = 0,
  fdintPARTIAL_FILE = 1,
  fdintCOPY_FILE = 2,
  fdintCLOSE_FILE_INFO = 3,
  fdintNEXT_CABINET = 4,
  fdintENUMERATE = 5,
};

// What the notification callback receives. Texts are 0-terminated; for
// fdintNEXT_CABINET, psz1 (next cabinet name) and psz3 (cabinet path) point at
// buffers of 257 bytes that the callback may rewrite.
struct FDINOTIFICATION {
  int32_t cb = 0;
  char* psz1 = nullptr;
  char* psz2 = nullptr;
  char* psz3 = nullptr;
  void* pv = nullptr;
  intptr_t hf = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attribs = 0;
  uint16_t setID = 0;
  uint16_t iCabinet = 0;
  uint16_t iFolder = 0;
  int32_t fdie = 0;
};

// -1 aborts; for fdintCOPY_FILE 0 skips the file and any other value is the output handle.
using PFNFDINOTIFY = intptr_t (*)(FDINOTIFICATIONTYPE fdint, FDINOTIFICATION* pfdin);

enum FDIDECRYPTTYPE : int { fdidtNEW_CABINET = 0, fdidtNEW_FOLDER = 1, fdidtDECRYPT = 2 };
struct FDIDECRYPT {
  FDIDECRYPTTYPE fdidt = fdidtNEW_CABINET;
  void* pvUser = nullptr;
  struct {
    void* pHeaderReserve;
    uint16_t cbHeaderReserve;
    uint16_t setID;
    int iCabinet;
  } cabinet{};
  struct {
    void* pFolderReserve;
    uint16_t cbFolderReserve;
    uint16_t iFolder;
  } folder{};
  struct {
    void* pDataReserve;
    uint16_t cbDataReserve;
    void* pbData;
    uint16_t cbData;
    int fSplit;
    uint16_t cbPartial;
  } decrypt{};
};
// -1 aborts.
using PFNFDIDECRYPT = int (*)(FDIDECRYPT* pfdid);

struct FdiContext;
using HFDI = FdiContext*;

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
               PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, ERF* perf);
// Reads the 36-byte header at the handle's current position (no seek).
bool FDIIsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici);
// pszCabPath is joined to pszCabinet as it stands, so it ends with a separator (or is empty).
bool FDICopy(HFDI hfdi, const char* pszCabinet, const char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser);
bool FDIDestroy(HFDI hfdi);
