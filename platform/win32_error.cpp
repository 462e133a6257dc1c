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

const char* SystemErrorText(uint32_t code, bool english) {
  struct Row {
    uint32_t code;
    const char* en;
    const char* pl;
  };
  static constexpr Row kTexts[] = {
      {kErrorFileNotFound, "The file does not exist.", "Plik nie istnieje."},
      {kErrorPathNotFound, "The path does not lead to the file.", "Ścieżka nie prowadzi do pliku."},
      {kErrorTooManyOpenFiles, "Too many files are open.", "Otwartych jest zbyt wiele plików."},
      {kErrorAccessDenied, "Access is denied.", "Brak dostępu."},
      {kErrorInvalidHandle, "The handle is invalid.", "Nieprawidłowy uchwyt."},
      {kErrorNotEnoughMemory, "There is not enough memory.", "Za mało pamięci."},
      {kErrorInvalidData, "The data is invalid.", "Nieprawidłowe dane."},
      {kErrorOutOfMemory, "There is not enough memory.", "Za mało pamięci."},
      {kErrorWriteProtect, "The medium is write-protected.", "Nośnik jest chroniony przed zapisem."},
      {kErrorSharingViolation, "The file is in use by another program.", "Plik jest używany przez inny program."},
      {kErrorLockViolation, "A part of the file is locked by another program.",
       "Część pliku jest zablokowana przez inny program."},
      {kErrorNotSupported, "The request is not supported.", "Żądanie nie jest obsługiwane."},
      {kErrorFileExists, "The file already exists.", "Plik już istnieje."},
      {kErrorInvalidParameter, "The parameter is incorrect.", "Nieprawidłowy parametr."},
      {kErrorBrokenPipe, "The pipe has been ended.", "Potok został zamknięty."},
      {kErrorDiskFull, "There is not enough space on the disk.", "Za mało miejsca na dysku."},
      {kErrorCallNotImplemented, "The function is not available on this system.",
       "Funkcja nie jest dostępna w tym systemie."},
      {kErrorInvalidName, "The file name is not valid.", "Nieprawidłowa nazwa pliku."},
      {kErrorDirNotEmpty, "The folder is not empty.", "Folder nie jest pusty."},
      {kErrorBusy, "The resource is in use.", "Zasób jest w użyciu."},
      {kErrorAlreadyExists, "The file already exists.", "Plik już istnieje."},
      {kErrorFilenameExcedRange, "The file name is too long.", "Nazwa pliku jest zbyt długa."},
      {kErrorFileTooLarge, "The file is too large.", "Plik jest zbyt duży."},
      {kErrorDirectory, "The path names a folder, not a file.", "Ścieżka wskazuje folder, a nie plik."},
      {kErrorCancelled, "The operation was cancelled.", "Operacja została anulowana."},
      {kErrorInternalError, "An internal error occurred.", "Wystąpił błąd wewnętrzny."},
      {kErrorTimeout, "The time for the operation ran out.", "Upłynął czas operacji."},
  };
  for (const Row& r : kTexts)
    if (r.code == code) return english ? r.en : r.pl;
  return nullptr;
}

}  // namespace vel::platform
