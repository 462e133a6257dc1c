#include "app/printer_job.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/file_io.h"
#include "app/kdoc_document.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/viewer_app.h"
#include "platform/file_replace.h"
#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::app {

namespace fs = std::filesystem;
using platform::Win32FromErrno;

namespace {

constexpr int kFirstWaitMs = 10000;  // the printer gets a head start
constexpr int kLockRetryMs = 500;
constexpr int kJobRetryMs = 1000;
constexpr int kJobTries = 1000;

std::string UserName() {
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  return std::to_string(::geteuid());
}

// Opens (creating when asked) and locks exclusively without waiting.
int OpenLocked(const std::string& path, int flags, uint32_t* error) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = Win32FromErrno(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? platform::kErrorSharingViolation : Win32FromErrno(errno);
    ::close(fd);
    return -1;
  }
  *error = 0;
  return fd;
}

}  // namespace

std::string PrinterJobName(const uint8_t u[16]) {
  char name[40];
  std::snprintf(name, sizeof name, "%02X%02X%02X%02X%02X%02X%02x%02x%02X%02X%02X%02X%02X%02X%02X%02X", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return name;
}

CPrinterHandoff::~CPrinterHandoff() { ReleaseLock(); }

uint32_t CPrinterHandoff::ReadPrinterTempFolder() {
  const char* moved = std::getenv(kPrinterDirVariable);
  const std::string base = moved && *moved ? moved : "/var/lib";
  folder_ = base + "/Vellorum/Temp/" + UserName();
  // The folders above belong to the printer's installation; the user's own is
  // made here, and must be the user's alone: the job passes through it.
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return Keep(Win32FromErrno(errno));
  struct stat st;
  if (::lstat(folder_.c_str(), &st) != 0) return Keep(Win32FromErrno(errno));
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
    return Keep(platform::kErrorAccessDenied);
  return Keep(0);
}

uint32_t CPrinterHandoff::SetLock(PrinterJobView& view) {
  const std::string path = folder_ + "/" + kPrinterLockFile;
  for (;;) {
    uint32_t error = 0;
    lock_fd_ = OpenLocked(path, O_WRONLY | O_CREAT, &error);
    if (lock_fd_ >= 0) {
      (void)!::ftruncate(lock_fd_, 0);
      return Keep(0);
    }
    // Another job is being handed over: wait as long as the person lets us.
    if (!view.Wait(kLockRetryMs, "lock")) return Keep(platform::kErrorCancelled);
  }
}

uint32_t CPrinterHandoff::SetTempFile() {
  if (uint32_t error = ReadPrinterTempFolder(); error != 0) return error;
  uint8_t uuid[16];
  platform::NewUuid(uuid);
  job_path_ = folder_ + "/" + PrinterJobName(uuid);
  uint32_t error = 0;
  const int fd = OpenLocked(folder_ + "/" + kPrinterHandoffFile, O_WRONLY | O_CREAT, &error);
  if (fd < 0) return Keep(error);
  if (::ftruncate(fd, 0) != 0) error = Win32FromErrno(errno);
  if (error == 0)
    error = WriteAll(fd, {reinterpret_cast<const uint8_t*>(job_path_.data()), job_path_.size()});
  if (::close(fd) != 0 && error == 0) error = Win32FromErrno(errno);
  return Keep(error);
}

uint32_t CPrinterHandoff::WaitForKDoc(int tries, PrinterJobView& view) {
  for (int i = 0; i < tries; ++i) {
    uint32_t error = 0;
    const int fd = OpenLocked(job_path_, O_RDONLY, &error);
    if (fd >= 0) {
      ::close(fd);
      return Keep(0);
    }
    if (!view.Wait(kJobRetryMs, "job")) return Keep(platform::kErrorCancelled);
    view.StepProgress();
  }
  return Keep(platform::kErrorTimeout);
}

uint32_t CPrinterHandoff::MoveTempToDest(const std::string& destination, std::string* copy) {
  // The job is copied whole under a hidden name beside the destination, then
  // given the destination's name in one step that never takes the name of an
  // existing file: a file of that name is the user's, neither overwritten nor
  // read in the job's place, and the copy then keeps its hidden name.
  uint32_t error = 0;
  int out = -1;
  const std::string hidden = platform::MakeSiblingFile(destination, kSiblingPrefix, &out, &error);
  if (hidden.empty()) return Keep(error);
  const UniqueFd out_owner(out);
  const UniqueFd in(::open(job_path_.c_str(), O_RDONLY | O_CLOEXEC));
  error = in.get() < 0 ? Win32FromErrno(errno) : CopyAll(in.get(), out);
  if (error == 0 && ::fsync(out) != 0) error = Win32FromErrno(errno);
  std::string placed = hidden;
  if (error == 0) {
    error = platform::RenameNoReplace(hidden, destination);
    if (error == 0) placed = destination;
    if (error == platform::kErrorFileExists) error = 0;
  }
  if (error != 0) {
    ::unlink(hidden.c_str());
    return Keep(error);
  }
  ::unlink(job_path_.c_str());
  *copy = placed;
  return Keep(0);
}

uint32_t CPrinterHandoff::ReleaseLock() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
  return Keep(0);
}

std::optional<std::string> RunPrinterJob(const std::string& job_base, const CMessageTable& catalog, Prompt& prompt,
                                         PrinterJobView& view) {
  auto fail = [&](uint32_t status, const char* step) -> std::optional<std::string> {
    std::string format;
    catalog.Get(format, 409,
                "Wystąpił błąd 0x%08X podczas generowania dokumentu.\n(%s).\nAplikacja zostanie zamknięta.");
    prompt.ShowMessage(409, FormatText(format.c_str(), status, step), kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
    return std::nullopt;
  };

  CPrinterHandoff handoff;
  if (uint32_t s = handoff.ReadPrinterTempFolder(); s != 0)
    return fail(s, "CSplashDialog-InitHelper-ReadPrinterTempFolder");
  if (uint32_t s = handoff.SetLock(view); s != 0)
    return s == platform::kErrorCancelled ? std::nullopt : fail(s, "CSplashDialog-InitHelper-SetLock");
  if (uint32_t s = handoff.SetTempFile(); s != 0) return fail(s, "CSplashDialog-InitHelper-SetTempFile");

  if (!view.Wait(kFirstWaitMs, "start")) return std::nullopt;
  view.StepProgress();
  if (uint32_t s = handoff.WaitForKDoc(kJobTries, view); s != 0)
    return s == platform::kErrorCancelled ? std::nullopt : fail(s, "CSplashDialog-OnTimer-WaitForKDoc");

  // Where the container goes: asked, or the job's base path.
  std::string destination = job_base + ".kdsc";
  const uint32_t ask = CRegDword(std::string(kUserKey) + "\\" + kValueKdocAskSave, kRegDefaultKdocAskSave, true,
                                 platform::RegHive::kCurrentUser)
                           .Get();
  if (ask != 0) {
    std::string filter;
    catalog.Get(filter, 361, "Dokument VellorumSign");
    const FileDialogRequest request{"kdoc", job_base + ".kdoc", filter + " (*.kdoc)|*.kdoc||", OFN_EXTENSIONDIFFERENT};
    const auto target = AskSaveTarget(prompt, catalog, request, "");
    if (!target) {
      ::unlink(handoff.job_path().c_str());  // the printed job would stay behind otherwise
      return std::nullopt;
    }
    const std::string& chosen = *target;
    destination = chosen.size() >= 4 ? chosen.substr(0, chosen.size() - 4) + "kdsc" : chosen + "kdsc";
  }

  std::string copy;
  if (uint32_t s = handoff.MoveTempToDest(destination, &copy); s != 0)
    return fail(s, "CSplashDialog-OnTimer-MoveTempToDest");
  view.StepProgress();
  handoff.ReleaseLock();
  view.StepProgress();

  const std::string container = ContainerPathForJob(destination);
  uint32_t status = 0;
  {
    CSignedDocObj document(catalog, prompt);
    status = document.OpenJob(copy, container);
    if (status != 0 && !document.error_text().empty())
      prompt.ShowMessage(274, document.error_text(), kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
  }
  ::unlink(copy.c_str());
  view.StepProgress();
  if (status != 0) return fail(status, "CSplashDialog-OnTimer-new CSignedDocObj");
  return container;
}

}  // namespace vel::app
