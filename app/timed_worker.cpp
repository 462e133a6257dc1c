#include "app/timed_worker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace vel::app {
namespace {

constexpr auto kPumpEvery = std::chrono::milliseconds(50);

// What the worker and the waiter share; the worker keeps it alive after an
// abandoned wait.
struct WorkerState {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  uint32_t result = kWorkerFailed;
};

}  // namespace

std::optional<uint32_t> RunTimedWorker(std::function<uint32_t()> work, const WorkerWait& wait) {
  auto state = std::make_shared<WorkerState>();
  try {
    std::thread([state, work = std::move(work)] {
      uint32_t result = kWorkerFailed;
      try {
        result = work();
      } catch (...) {
        result = kWorkerFailed;
      }
      std::lock_guard lock(state->mutex);
      state->result = result;
      state->done = true;
      state->done_cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return kWorkerFailed;  // no thread: nothing was done
  }

  const std::optional<uint32_t> limit = wait.limit_ms;
  const uint32_t slice = limit ? std::max<uint32_t>(wait.slice_ms == 0 ? *limit : wait.slice_ms, 1) : 0;
  const uint32_t slices = limit ? std::max<uint32_t>(*limit / slice, 1) : 0;
  for (uint32_t i = 0; !limit || i < slices; ++i) {
    const auto now = std::chrono::steady_clock::now();
    // Without a limit the slice is only the pump's beat.
    const auto slice_end = limit ? now + std::chrono::milliseconds(slice) : now + kPumpEvery;
    for (;;) {
      if (wait.pump) wait.pump();
      std::unique_lock lock(state->mutex);
      const auto at = std::chrono::steady_clock::now();
      if (state->done || at >= slice_end) break;
      const auto until = wait.pump ? std::min(slice_end, at + kPumpEvery) : slice_end;
      state->done_cv.wait_until(lock, until, [&] { return state->done; });
    }
    if (limit && wait.slice_done) wait.slice_done();
    if (!limit) {
      std::lock_guard lock(state->mutex);
      if (state->done) break;
    }
  }
  std::lock_guard lock(state->mutex);
  if (state->done) return state->result;
  return std::nullopt;
}

}  // namespace vel::app
