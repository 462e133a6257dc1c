#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vel::platform {

namespace fs = std::filesystem;

namespace {

// The executable's file name: the target of /proc/<pid>/exe where we may read it,
// else the kernel's command name (cut at 15 characters).
std::string ExeNameOf(const fs::path& proc_dir) {
  std::error_code ec;
  fs::path exe = fs::read_symlink(proc_dir / "exe", ec);
  if (!ec && !exe.empty()) {
    std::string name = exe.filename().string();
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() && name.ends_with(deleted)) name.resize(name.size() - deleted.size());
    return name;
  }
  std::ifstream comm(proc_dir / "comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The first number on the "Uid:" line of /proc/<pid>/status: the real user id.
std::optional<uint32_t> RealUidOf(const fs::path& proc_dir) {
  std::ifstream status(proc_dir / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream fields(line.substr(4));
    uint32_t uid = 0;
    if (fields >> uid) return uid;
    return std::nullopt;
  }
  return std::nullopt;
}

// The audit login session; the kernel writes all ones when there is none.
std::optional<uint32_t> LoginSessionOf(const fs::path& proc_dir) {
  std::ifstream file(proc_dir / "sessionid");
  uint64_t id = 0;
  if (!(file >> id) || id >= 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(id);
}

}  // namespace

bool SameUserAndSession(const ProcessEntry& process) {
  static const std::optional<uint32_t> own_session = LoginSessionOf("/proc/self");
  if (process.uid && *process.uid != ::getuid()) return false;
  return !process.login_session || !own_session || *process.login_session == *own_session;
}

std::optional<std::vector<ProcessEntry>> SnapshotProcesses() {
  std::error_code ec;
  fs::directory_iterator it("/proc", ec);
  if (ec) return std::nullopt;
  std::vector<ProcessEntry> out;
  for (const auto& entry : it) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcessEntry p;
    p.pid = std::stoi(name);
    p.exe_name = ExeNameOf(entry.path());
    p.uid = RealUidOf(entry.path());
    p.login_session = LoginSessionOf(entry.path());
    if (!p.exe_name.empty()) out.push_back(std::move(p));
  }
  return out;
}

int StartProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 0;
  return pid;
}

int StartDetachedProgram(const std::string& program, const std::vector<std::string>& args) {
  const int pid = StartProgram(program, args);
  if (pid <= 0) return pid;
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to wait with: the program runs all the same, and is
    // collected when this one ends.
  }
  return pid;
}

bool TerminateProgram(int pid) {
  if (pid <= 0) return false;
  if (kill(pid, SIGTERM) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid;
}

std::string OwnExecutablePath() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace vel::platform
