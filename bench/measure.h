// How every benchmark times and prints, so that their figures read alike:
// the median of several runs (one disturbed run on a shared machine moves
// neither it nor the ratio much), the ratio peer time / our time (above 1 we
// are faster) with three significant digits, and the peak memory of a
// command as GNU time reads it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

namespace vel::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
inline double SecondsSince(Clock::time_point a) {
  return std::chrono::duration<double>(Clock::now() - a).count();
}

// The middle value (the mean of the two middle ones for an even count); -1
// without values.
inline double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median seconds of `runs` calls of f; -1 as soon as a call that
// returns bool returns false.
template <typename F>
double MedianSeconds(int runs, F&& f) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if constexpr (std::is_same_v<std::invoke_result_t<F&>, bool>) {
      if (!f()) return -1;
    } else {
      f();
    }
    times.push_back(SecondsSince(start));
  }
  return Median(times);
}

// Seconds per call of f for quick calls: calls are batched to about 0.1 s
// and the median of five batches is taken. Each call that returns false
// adds one to *failures.
template <typename F>
double SecondsPerCall(F&& f, int* failures) {
  auto call = [&] { *failures += f() ? 0 : 1; };
  int batch = 0;
  const auto start = Clock::now();
  while (SecondsSince(start) < 0.1 && batch < 100000) {
    call();
    ++batch;
  }
  return MedianSeconds(5, [&] {
           for (int i = 0; i < batch; ++i) call();
         }) /
         batch;
}

// Peer time over our time, three significant digits: above 1 we are faster.
inline std::string Ratio(double peer, double ours) {
  if (peer <= 0 || ours <= 0) return "n/a";
  const double r = peer / ours;
  char text[32];
  std::snprintf(text, sizeof text, r >= 100 ? "%.0f" : "%#.3g", r);
  return text;
}

inline std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The command's exit status through the shell; -1 when it did not exit.
inline int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A whole-process measure: the median time of the runs and the largest peak
// resident memory among them, 0 when unknown.
struct Measure {
  double seconds = -1;
  long max_rss_kb = 0;
  double rss_mb() const { return max_rss_kb / 1024.0; }
};

inline bool HaveGnuTime() { return access("/usr/bin/time", X_OK) == 0; }

// Runs the shell command `runs` times. Peak memory is ru_maxrss as GNU time
// reads it from wait4: a child that this program forked itself would report
// at least our own peak, which the kernel keeps across exec; GNU time's own
// is about 1 MB. Every side runs through it and a shell alike. A run that
// fails ends the measure with seconds -1.
inline Measure MeasureCommand(const std::string& command, int runs) {
  const std::filesystem::path rss_file =
      std::filesystem::temp_directory_path() / ("bench_rss." + std::to_string(getpid()));
  const bool gnu_time = HaveGnuTime();
  const std::string wrapped =
      gnu_time ? "/usr/bin/time -f %M -o " + rss_file.string() + " /bin/sh -c " + ShellQuote(command) : command;
  std::vector<double> times;
  Measure m;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const int status = Run(wrapped);
    times.push_back(SecondsSince(start));
    if (status != 0) {
      std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
      std::filesystem::remove(rss_file);
      return {};
    }
    if (gnu_time) {
      long kb = 0;
      std::ifstream(rss_file) >> kb;
      m.max_rss_kb = std::max(m.max_rss_kb, kb);
    }
  }
  std::filesystem::remove(rss_file);
  m.seconds = Median(times);
  return m;
}

}  // namespace vel::bench
