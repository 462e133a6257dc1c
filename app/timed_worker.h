// Work on a thread of its own, waited for a limited time: the one machinery
// behind the certificate checks of the signature list and of the
// verification front end. After a time-out the work is abandoned, not
// stopped, so it must own (or share) everything it uses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace vel::app {

// The result of work that threw, or that no thread could be started for.
inline constexpr uint32_t kWorkerFailed = 0xFFFFFFFF;

struct WorkerWait {
  std::optional<uint32_t> limit_ms;  // none: wait until the work ends
  // With a limit, the wait is cut in slices of this length (0: one slice);
  // every slice runs, and `slice_done` follows each, also once the work has ended.
  uint32_t slice_ms = 0;
  std::function<void()> pump;        // called about every 50 ms while waiting
  std::function<void()> slice_done;
};

// The work's result; none when the limit passed first.
std::optional<uint32_t> RunTimedWorker(std::function<uint32_t()> work, const WorkerWait& wait);

}  // namespace vel::app
