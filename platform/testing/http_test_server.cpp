#include "platform/testing/http_test_server.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <strings.h>
#include <sys/wait.h>
#include <thread>

#include "platform/testing/test_support.h"

extern char** environ;

namespace vel::test {
namespace {

constexpr const char* kScript = R"PY(
import base64, os, socket, ssl, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

portfile, logfile, proxy_auth, cert, key = sys.argv[1:6]
log_lock = threading.Lock()

def pattern(n):
    return bytes(i % 251 for i in range(n))

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, body):
        with log_lock, open(logfile, "a") as f:
            f.write("REQUEST %s %s\n" % (self.command, self.path))
            for name, value in self.headers.items():
                f.write("H %s: %s\n" % (name, value))
            f.write("B %s\n" % body.hex())
            f.write("END\n")

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        self.record(body)
        target = self.path
        if self.command == "CONNECT" or target.startswith("http://"):
            if proxy_auth:
                expected = "Basic " + base64.b64encode(proxy_auth.encode()).decode()
                if self.headers.get("Proxy-Authorization") != expected:
                    self.answer(407, b"", [("Proxy-Authenticate", 'Basic realm="vel"')])
                    return
            self.answer(200, ("proxied " + target).encode())
            return
        parts = target.split("?")[0].strip("/").split("/")
        route = parts[0]
        arg = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        if route == "status":
            extra = [("Location", "/landed")] if 300 <= arg < 400 else []
            self.answer(arg, b"status body", extra)
        elif route == "bytes":
            self.answer(200, pattern(arg))
        elif route == "chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            data = pattern(arg)
            for i in range(0, len(data), 65536):
                piece = data[i:i + 65536]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif route == "echo":
            self.answer(200, body, [("Content-Type", "application/octet-stream")])
        elif route == "huge-length":
            self.send_response(200)
            self.send_header("Content-Length", "100000000000")
            self.end_headers()
            self.wfile.write(pattern(10))
            self.close_connection = True
        elif route == "short":
            self.send_response(200)
            self.send_header("Content-Length", str(arg))
            self.end_headers()
            self.wfile.write(pattern(arg // 2))
            self.close_connection = True
        elif route == "drop":
            self.close_connection = True
        elif route == "hang":
            time.sleep(60)
            self.close_connection = True
        else:
            self.answer(200, b"hello")

    do_GET = do_POST = do_PUT = do_CONNECT = serve

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
with open(portfile + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(portfile + ".tmp", portfile)
server.serve_forever()
)PY";

std::string HexBytesToString(std::string_view hex, std::vector<uint8_t>& out) {
  out.clear();
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return "bad hex";
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return {};
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
  return std::nullopt;
}

HttpTestServer::HttpTestServer(const std::filesystem::path& dir, HttpTestServerOptions options)
    : tls_(!options.tls_cert.empty()), log_(dir / "http_requests.log") {
  const auto script = dir / "http_test_server.py";
  const auto portfile = dir / "http_port";
  const auto output = dir / "http_server_output.txt";
  WriteFileText(script, kScript);
  std::string auth = options.proxy_user.empty()
                         ? std::string()
                         : options.proxy_user + ":" + options.proxy_password;
  std::vector<std::string> args = {"python3",     script.string(),
                                   portfile.string(), log_.string(),
                                   auth,          options.tls_cert.string(),
                                   options.tls_key.string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start python3");

  for (int i = 0; i < 200; ++i) {
    std::error_code ec;
    if (std::filesystem::exists(portfile, ec)) {
      port_ = static_cast<uint16_t>(std::stoi(ReadFileText(portfile)));
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      throw std::runtime_error("test HTTP server ended: " + ReadFileText(output));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
  throw std::runtime_error("test HTTP server did not start");
}

HttpTestServer::~HttpTestServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string HttpTestServer::Url(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
  std::vector<RecordedRequest> out;
  std::ifstream in(log_);
  std::string line;
  RecordedRequest current;
  while (std::getline(in, line)) {
    if (line.rfind("REQUEST ", 0) == 0) {
      current = RecordedRequest{};
      std::string rest = line.substr(8);
      size_t space = rest.find(' ');
      current.method = rest.substr(0, space);
      current.target = space == std::string::npos ? "" : rest.substr(space + 1);
    } else if (line.rfind("H ", 0) == 0) {
      std::string rest = line.substr(2);
      size_t colon = rest.find(": ");
      if (colon != std::string::npos)
        current.headers.emplace_back(rest.substr(0, colon), rest.substr(colon + 2));
    } else if (line.rfind("B ", 0) == 0) {
      HexBytesToString(std::string_view(line).substr(2), current.body);
    } else if (line == "END") {
      out.push_back(std::move(current));
      current = RecordedRequest{};
    }
  }
  return out;
}

SilentListener::SilentListener() {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 16) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() { close(fd_); }

uint16_t UnusedPort() {
  SilentListener listener;
  return listener.port();  // closed again on return: connecting to it is refused
}

void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"})
    unsetenv(name);
}

}  // namespace vel::test
