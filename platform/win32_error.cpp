#include "platform/win32_error.h"

#include <cerrno>

namespace vel::platform {

uint32_t Win32FromErrno(int err) {
  struct Row {
    int err;
    uint32_t win32;
  };
  static constexpr Row kTable[] = {
      {0, kErrorSuccess},
      {ENOENT, kErrorFileNotFound},
      {ENOTDIR, kErrorPathNotFound},
      {ENAMETOOLONG, kErrorFilenameExcedRange},
      {ELOOP, kErrorPathNotFound},
      {EMFILE, kErrorTooManyOpenFiles},
      {ENFILE, kErrorTooManyOpenFiles},
      {EACCES, kErrorAccessDenied},
      {EPERM, kErrorAccessDenied},
      {EROFS, kErrorWriteProtect},
      {EBADF, kErrorInvalidHandle},
      {ENOMEM, kErrorNotEnoughMemory},
      {EINVAL, kErrorInvalidParameter},
      {EEXIST, kErrorFileExists},
      {ENOSPC, kErrorDiskFull},
      {EDQUOT, kErrorDiskFull},
      {EFBIG, kErrorDiskFull},
      {EPIPE, kErrorBrokenPipe},
      {ENOTEMPTY, kErrorDirNotEmpty},
      {EISDIR, kErrorAccessDenied},
      {EBUSY, kErrorBusy},
      {EWOULDBLOCK, kErrorSharingViolation},
      {ETIMEDOUT, kErrorTimeout},
      {ENOSYS, kErrorCallNotImplemented},
      {EOPNOTSUPP, kErrorNotSupported},
      {ECANCELED, kErrorCancelled},
  };
  for (const Row& r : kTable)
    if (r.err == err) return r.win32;
  return kErrorInternalError;
}

}  // namespace vel::platform
