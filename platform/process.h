// Processes of this machine: the snapshot behind the single-instance rule,
// starting and ending helper programs, and the program's own path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vel::platform {

struct ProcessEntry {
  int pid = 0;
  std::string exe_name;  // file name of the executable, without its folder
  std::optional<uint32_t> uid;            // the real user id; nullopt when unknown
  std::optional<uint32_t> login_session;  // the kernel's login session, where it keeps one
};

// All processes that can be seen now. nullopt when /proc cannot be read.
std::optional<std::vector<ProcessEntry>> SnapshotProcesses();

// Whether a process runs for the same user as this one and, where both login
// sessions are known, in the same session. What is unknown does not separate.
bool SameUserAndSession(const ProcessEntry& process);

// Starts a program found on PATH (or by path) with the given arguments and
// without waiting; returns its process id, or 0 when it cannot be started.
int StartProgram(const std::string& program, const std::vector<std::string>& args = {});

// Starts a program as StartProgram does and leaves it to run on its own: a
// thread of its own waits for its end and collects it, so that no ended
// child stays behind while this program runs, and nobody waits for it here.
// Returns its process id, or 0 when it cannot be started.
int StartDetachedProgram(const std::string& program, const std::vector<std::string>& args = {});

// Ends a process started by StartProgram and collects it. Returns true when it ended.
bool TerminateProgram(int pid);

// Full path of the running executable; empty when it cannot be read.
std::string OwnExecutablePath();

}  // namespace vel::platform
