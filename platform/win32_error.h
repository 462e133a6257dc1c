// Win32 error numbers the system reports, and the one table that turns errno
// values of this platform into them.
#pragma once

#include <cstdint>

namespace vel::platform {

enum Win32Error : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorOutOfMemory = 14,
  kErrorNoMoreFiles = 18,
  kErrorWriteProtect = 19,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorCallNotImplemented = 120,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorFilenameExcedRange = 206,
  kErrorFileTooLarge = 223,
  kErrorMoreData = 234,
  kErrorNoMoreItems = 259,
  kErrorDirectory = 267,
  kErrorNoAssociation = 1155,
  kErrorCancelled = 1223,
  kErrorInternalError = 1359,
  kErrorClassAlreadyExists = 1410,
  kErrorTimeout = 1460,
};

// Maps an errno value to its Win32 error; unknown values give 1359 (internal error).
uint32_t Win32FromErrno(int err);

// The system's text for a Win32 error this platform reports, in English or in
// Polish; nullptr for a code it has no text for.
const char* SystemErrorText(uint32_t code, bool english);

}  // namespace vel::platform
