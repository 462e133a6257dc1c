// Printer-job mode: agreeing with the virtual printer on a job file through a
// lock file and a hand-off file in the printer's per-user temporary folder,
// waiting for the printed job, and turning it into a KDOC container.
//
// The folder is "Vellorum/Temp/<user>" under the machine's shared state folder
// (/var/lib; VELDOC_PRINTER_DIR moves it for tests). Only its owner may write
// it. Exclusive sharing is an exclusive flock: the printer holds one on the
// job file while it writes it, this mode one on the lock file while the job
// is being handed over.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/message_catalog.h"
#include "app/prompt.h"

namespace vel::app {

inline constexpr char kPrinterLockFile[] = "FDB4697747754e6eAE2C8E9CA86B0DC0.lck";
inline constexpr char kPrinterHandoffFile[] = "kd98836C9E3C4C4d9f98D1041DAED24E62.tmp";
inline constexpr char kPrinterDirVariable[] = "VELDOC_PRINTER_DIR";

// What the mode's window does while the mode waits: show what it waits for,
// step the progress bar, and let the person cancel.
class PrinterJobView {
 public:
  virtual ~PrinterJobView() = default;
  // Waits about `ms` milliseconds showing `what`; false when the person cancelled.
  virtual bool Wait(int ms, const std::string& what) = 0;
  virtual void StepProgress() = 0;
};

class CPrinterHandoff {
 public:
  CPrinterHandoff() = default;
  virtual ~CPrinterHandoff();
  CPrinterHandoff(const CPrinterHandoff&) = delete;
  CPrinterHandoff& operator=(const CPrinterHandoff&) = delete;

  uint32_t ReadPrinterTempFolder();
  // Waits for the lock without limit, as long as the view lets it (1223 when cancelled).
  uint32_t SetLock(PrinterJobView& view);
  uint32_t SetTempFile();
  // Waits for the printer to finish the job: `tries` seconds at most (1460).
  uint32_t WaitForKDoc(int tries, PrinterJobView& view);
  // Copies the job to `destination` and deletes the job; *copy receives the
  // copy's path. An existing file of the destination's name is never
  // overwritten: the copy then keeps a hidden name of its own beside it.
  uint32_t MoveTempToDest(const std::string& destination, std::string* copy);
  uint32_t ReleaseLock();

  uint32_t status() const { return status_; }
  const std::string& folder() const { return folder_; }
  const std::string& job_path() const { return job_path_; }

 private:
  uint32_t Keep(uint32_t status) { return status_ = status; }

  uint32_t status_ = 0;
  std::string folder_;
  std::string job_path_;
  int lock_fd_ = -1;
};

// The job file's name: 32 hexadecimal digits of a new UUID, the third group in lower case.
std::string PrinterJobName(const uint8_t uuid[16]);

// The whole mode, from the hand-off to the container: the container's path,
// or nullopt when it failed or was cancelled (its messages shown).
std::optional<std::string> RunPrinterJob(const std::string& job_base, const CMessageTable& catalog,
                                         Prompt& prompt, PrinterJobView& view);

}  // namespace vel::app
