// A test CA driven through `openssl ca`, for the CRL tests: its certificate,
// CRLs from `openssl ca -gencrl` with chosen dates and as many revoked
// entries as a test needs, and a static file server (python3's http.server)
// to publish them on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/test_support.h"

namespace vel::test {

// A time `offset_seconds` from now as openssl ca wants it (YYYYMMDDHHMMSSZ).
inline std::string OpensslTime(long offset_seconds) {
  const std::time_t t = std::time(nullptr) + offset_seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
  return text;
}

class TestCa {
 public:
  // Makes the CA's key and self-signed certificate with `subject`
  // (openssl's "/C=PL/CN=..." form) in dir/<tag>.
  TestCa(const std::filesystem::path& dir, const std::string& tag, const std::string& subject)
      : dir_(dir / tag) {
    std::filesystem::create_directories(dir_);
    WriteFileText(dir_ / "index.txt", "");
    WriteFileText(dir_ / "crlnumber", "01\n");
    WriteFileText(dir_ / "ca.cnf",
                  "[ ca ]\ndefault_ca = test_ca\n[ test_ca ]\n"
                  "database = " + (dir_ / "index.txt").string() + "\n"
                  "crlnumber = " + (dir_ / "crlnumber").string() + "\n"
                  "certificate = " + (dir_ / "ca.pem").string() + "\n"
                  "private_key = " + (dir_ / "ca.key").string() + "\n"
                  "default_md = sha256\ndefault_crl_days = 30\n"
                  "[ req ]\ndistinguished_name = dn\n[ dn ]\n"
                  "[ v3_ca ]\nbasicConstraints = critical,CA:true\n"
                  "keyUsage = keyCertSign,cRLSign\nsubjectKeyIdentifier = hash\n");
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " +
        Q("ca.key") + " -out " + Q("ca.pem") + " -subj " + ShellQuote(subject) +
        " -days 3650 -config " + Q("ca.cnf") + " -extensions v3_ca");
    Run("openssl x509 -in " + Q("ca.pem") + " -outform DER -out " + Q("ca.der"));
    cert_der_ = ReadFileBytes(dir_ / "ca.der");
  }

  const std::vector<uint8_t>& cert_der() const { return cert_der_; }

  // Adds `count` revoked serial numbers to the CA's database (about 21 bytes
  // of CRL each).
  void Revoke(int count) {
    std::ofstream index(dir_ / "index.txt", std::ios::app);
    for (int i = 0; i < count; ++i) {
      ++revoked_;
      char line[96];
      std::snprintf(line, sizeof line, "R\t351231000000Z\t250101000000Z\t%06X\tunknown\t/CN=r%d\n",
                    revoked_, revoked_);
      index << line;
    }
  }

  // A CRL (DER) whose thisUpdate / nextUpdate lie the given seconds from now.
  std::vector<uint8_t> Crl(long this_update = -3600, long next_update = 30L * 24 * 3600) {
    const std::string name = "crl" + std::to_string(++crls_);
    Run("openssl ca -batch -config " + Q("ca.cnf") + " -gencrl -crl_lastupdate " +
        OpensslTime(this_update) + " -crl_nextupdate " + OpensslTime(next_update) + " -out " +
        Q(name + ".pem"));
    Run("openssl crl -in " + Q(name + ".pem") + " -outform DER -out " + Q(name + ".der"));
    return ReadFileBytes(dir_ / (name + ".der"));
  }

 private:
  std::string Q(const std::string& name) const { return ShellQuote((dir_ / name).string()); }
  static void Run(const std::string& command) {
    const CommandResult r = RunCommand(command);
    if (r.exit_code != 0) throw std::runtime_error(command + "\n" + r.output);
  }

  std::filesystem::path dir_;
  std::vector<uint8_t> cert_der_;
  int revoked_ = 0;
  int crls_ = 0;
};

// python3's http.server publishing one folder on 127.0.0.1 (a free port), a
// child of the test; its log beside the folder.
class StaticFileServer {
 public:
  explicit StaticFileServer(const std::filesystem::path& root) : root_(root) {
    const std::filesystem::path log = root.parent_path() / (root.filename().string() + ".log");
    pid_ = SpawnLogged({"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                        root.string()},
                       log);
    for (int i = 0; i < 200 && port_ == 0 && pid_ > 0; ++i) {
      const std::string text = ReadLog(log);
      const size_t at = text.find(" port ");
      if (at != std::string::npos) port_ = std::stoi(text.substr(at + 6));
      else std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (port_ == 0) {
      Stop();
      throw std::runtime_error("static file server did not start");
    }
  }
  ~StaticFileServer() { Stop(); }
  StaticFileServer(const StaticFileServer&) = delete;
  StaticFileServer& operator=(const StaticFileServer&) = delete;

  std::string Url(const std::string& file) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + file;
  }
  int port() const { return port_; }
  void Publish(const std::string& file, const std::vector<uint8_t>& bytes) const {
    WriteFileBytes(root_ / file, bytes);
  }

 private:
  static std::string ReadLog(const std::filesystem::path& log) {
    std::error_code ec;
    return std::filesystem::exists(log, ec) ? ReadFileText(log) : std::string();
  }
  void Stop() {
    StopChild(pid_);
    pid_ = 0;
  }

  std::filesystem::path root_;
  int pid_ = 0;
  int port_ = 0;
};

}  // namespace vel::test
