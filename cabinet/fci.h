// The cabinet writer (FCI): files are added one after another, their data is
// compressed in 32,768-byte blocks and gathered in temporary files, and the
// cabinet file is written in one pass when it is complete. Every memory, file
// and temporary-name operation goes through the caller's callbacks.
#pragma once

#include <cstdint>
#include <string>

#include "cabinet/cab_records.h"
#include "cabinet/codec.h"

// FCI error codes (ERF::erfOper).
enum FCIERROR : int32_t {
  FCIERR_NONE = 0,
  FCIERR_OPEN_SRC = 1,        // the open-info callback failed for a source file
  FCIERR_READ_SRC = 2,        // reading a source file failed (or it is too large for a cabinet)
  FCIERR_ALLOC_FAIL = 3,
  FCIERR_TEMP_FILE = 4,
  FCIERR_BAD_COMPR_TYPE = 5,
  FCIERR_CAB_FILE = 6,        // the cabinet cannot be created or written, or its parameters are unusable
  FCIERR_USER_ABORT = 7,
  FCIERR_MCI_FAIL = 8,
};

// Status types reported to PFNFCISTATUS.
inline constexpr uint32_t statusFile = 0;
inline constexpr uint32_t statusFolder = 1;
inline constexpr uint32_t statusCabinet = 2;

// The caller's cabinet parameters, copied at creation. Names longer than 255
// bytes are refused when the cabinet is written, never cut.
struct CCAB {
  uint32_t cb = 0;                 // media size: largest cabinet; 0 means 0x7FFFFFFF
  uint32_t cbFolderThresh = 0;     // compressed bytes after which a folder is closed
  uint32_t cbReserveCFHeader = 0;  // at most 60,000
  uint32_t cbReserveCFFolder = 0;  // at most 255
  uint32_t cbReserveCFData = 0;    // at most 255
  int32_t iCab = 0;
  int32_t iDisk = 0;
  int32_t fFailOnIncompressible = 0;  // accepted, not acted on
  uint16_t setID = 0;
  std::string szDisk;
  std::string szCab;
  std::string szCabPath;  // directory of the cabinet, ending with its separator
};

// Callbacks. The file callbacks get an error number to fill, zeroed before each
// call and copied into erfType when the call fails, and the caller's context pv.
using PFNFCIOPEN = intptr_t (*)(const char* pszFile, int oflag, int pmode, int* err, void* pv);
using PFNFCIREAD = uint32_t (*)(intptr_t hf, void* memory, uint32_t cb, int* err, void* pv);
using PFNFCIWRITE = uint32_t (*)(intptr_t hf, const void* memory, uint32_t cb, int* err, void* pv);
using PFNFCICLOSE = int (*)(intptr_t hf, int* err, void* pv);
using PFNFCISEEK = int32_t (*)(intptr_t hf, int32_t dist, int seektype, int* err, void* pv);
using PFNFCIDELETE = int (*)(const char* pszFile, int* err, void* pv);
// Places a new temporary name (at most cbTempName - 1 bytes) in the buffer; nonzero on success.
using PFNFCIGETTEMPFILE = int (*)(char* pszTempName, int cbTempName, void* pv);
// -1 aborts.
using PFNFCIFILEPLACED = int (*)(CCAB* pccab, const char* pszFile, int32_t cbFile, int fContinuation,
                                 void* pv);
// An open read handle on the source and its MS-DOS date, time and attributes; -1 on failure.
using PFNFCIGETOPENINFO = intptr_t (*)(const char* pszName, uint16_t* pdate, uint16_t* ptime,
                                       uint16_t* pattribs, int* err, void* pv);
// -1 aborts; for statusCabinet the value is the space the finished cabinet takes.
using PFNFCISTATUS = int32_t (*)(uint32_t typeStatus, uint32_t cb1, uint32_t cb2, void* pv);
// Edits the next cabinet's parameters (a copy of the current one, iCab raised); -1 aborts.
using PFNFCIGETNEXTCABINET = int (*)(CCAB* pccab, uint32_t cbPrevCab, void* pv);

struct FciContext;
using HFCI = FciContext*;

HFCI FCICreate(ERF* perf, PFNFCIFILEPLACED pfnFilePlaced, PFNALLOC pfnAlloc, PFNFREE pfnFree,
               PFNFCIOPEN pfnOpen, PFNFCIREAD pfnRead, PFNFCIWRITE pfnWrite, PFNFCICLOSE pfnClose,
               PFNFCISEEK pfnSeek, PFNFCIDELETE pfnDelete, PFNFCIGETTEMPFILE pfnGetTempFile,
               const CCAB* pccab, void* pv);
bool FCIAddFile(HFCI hfci, const char* pszSourceFile, const char* pszFileName, bool fExecute,
                PFNFCIGETNEXTCABINET pfnGetNextCab, PFNFCISTATUS pfnStatus, PFNFCIGETOPENINFO pfnOpenInfo,
                uint16_t typeCompress);
bool FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnGetNextCab, PFNFCISTATUS pfnStatus);
bool FCIFlushCabinet(HFCI hfci, bool fGetNextCab, PFNFCIGETNEXTCABINET pfnGetNextCab,
                     PFNFCISTATUS pfnStatus);
bool FCIDestroy(HFCI hfci);
