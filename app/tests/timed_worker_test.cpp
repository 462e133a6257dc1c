// The one timed worker behind the certificate checks: the result of work that
// ends in time, none after the limit while the abandoned work ends safely on
// its own, a failure for work that throws, and a wait cut in slices that all
// run, pumping between.
#include "app/timed_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

namespace vel::app {
namespace {

using namespace std::chrono_literals;

TEST(TimedWorker, ResultInTimeNoneAfterTheLimitFailureWhenTheWorkThrows) {
  struct Case {
    const char* what;
    std::function<uint32_t()> work;
    std::optional<uint32_t> limit_ms;
    std::optional<uint32_t> want;
  };
  // The work past the limit waits for a release that comes only after the
  // wait gave up, so no timing decides the outcome.
  auto release = std::make_shared<std::promise<void>>();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::shared_future<void> released = release->get_future().share();
  const Case cases[] = {
      {"ends in time", [] { return 7u; }, 10000, 7u},
      {"no limit", [] { return 0u; }, std::nullopt, 0u},
      {"throws", []() -> uint32_t { throw std::runtime_error("x"); }, 10000, kWorkerFailed},
      {"past the limit",
       [released, ended] {
         released.wait();
         *ended = true;
         return 5u;
       },
       50, std::nullopt},
  };
  for (const Case& c : cases) {
    WorkerWait wait;
    wait.limit_ms = c.limit_ms;
    EXPECT_EQ(RunTimedWorker(c.work, wait), c.want) << c.what;
  }
  release->set_value();
  for (int i = 0; i < 1000 && !*ended; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(*ended) << "the abandoned work ends on its own";
}

TEST(TimedWorker, EverySliceRunsAndTheWaitPumps) {
  int pumps = 0, slices = 0;
  WorkerWait wait;
  wait.limit_ms = 40;
  wait.slice_ms = 10;
  wait.pump = [&] { ++pumps; };
  wait.slice_done = [&] { ++slices; };
  EXPECT_EQ(RunTimedWorker([] { return 3u; }, wait), 3u);
  EXPECT_EQ(slices, 4) << "the slices after the end run too";
  EXPECT_GE(pumps, 4);
  // Without a limit the slices are not counted, only pumped.
  slices = 0;
  wait.limit_ms.reset();
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  wait.pump = [&] {
    if (++pumps == 10) go.set_value();
  };
  pumps = 0;
  EXPECT_EQ(RunTimedWorker([started] { started.wait(); return 4u; }, wait), 4u);
  EXPECT_GE(pumps, 10);
  EXPECT_EQ(slices, 0);
}

}  // namespace
}  // namespace vel::app
