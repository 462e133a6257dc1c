// A time-stamp authority for tests: a CA and a TSA certificate (critical
// extendedKeyUsage timeStamping) made in-process; OpenSSL's own responder run
// in-process (TS_RESP_CTX, what `openssl ts -reply` calls); and an RFC 3161
// responder on 127.0.0.1 — a small python3 HTTP wrapper around the
// `openssl ts -reply` command — started by the test and stopped by process id.
// Header-only so that only the tests that include it depend on it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cryptolib/der.h"
#include "platform/tests/test_pki.h"
#include "platform/testing/test_support.h"

extern char** environ;

namespace vel::test {

inline constexpr char kTsaPolicy[] = "1.2.616.1.170238.10.2.1.0";

// A policy whose identifier takes 141 content octets: its own length and the
// request's need the long form.
inline std::string LongTsaPolicy() {
  std::string p = "1.2";
  for (int i = 0; i < 140; ++i) p += ".5";
  return p;
}

inline TestIdentity MakeTsaIdentity(const TestIdentity& ca) {
  TestIdentity id;
  id.key = MakeRsaKey();
  id.x509.reset(X509_new());
  X509* x = id.x509.get();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x5453);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("PL"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Test TSA"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(ca.x509.get()));
  X509_set_pubkey(x, id.key.get());
  AddExt(x, ca.x509.get(), "keyUsage", "critical,digitalSignature,nonRepudiation");
  AddExt(x, ca.x509.get(), "extendedKeyUsage", "critical,timeStamping");
  AddExt(x, ca.x509.get(), "subjectKeyIdentifier", "hash");
  X509_sign(x, ca.key.get(), EVP_sha256());
  const std::vector<uint8_t> der = der::I2dBytes(i2d_X509, x);
  id.cert = platform::CertContext::FromDer(der);
  return id;
}

struct TestTsa {
  TestIdentity ca = MakeIdentity("Test TSA Root", nullptr, {0x01}, true, false);
  TestIdentity tsa = MakeTsaIdentity(ca);

  // ca.pem, tsa.pem, tsa.key and an openssl configuration with the TSA
  // section in dir; returns the configuration's path.
  std::filesystem::path WriteFiles(const std::filesystem::path& dir) const {
    WriteFileText(dir / "ca.pem", CertPem(ca.x509.get()));
    WriteFileText(dir / "tsa.pem", CertPem(tsa.x509.get()));
    WriteFileText(dir / "tsa.key", KeyPem(tsa.key.get()));
    WriteFileText(dir / "tsaserial", "01\n");
    const std::string d = dir.string();
    const std::string config =
        "[ tsa ]\n"
        "default_tsa = tsa_config\n"
        "[ tsa_config ]\n"
        "serial = " + d + "/tsaserial\n"
        "crypto_device = builtin\n"
        "signer_cert = " + d + "/tsa.pem\n"
        "certs = " + d + "/ca.pem\n"
        "signer_key = " + d + "/tsa.key\n"
        "signer_digest = sha1\n"
        "default_policy = " + kTsaPolicy + "\n"
        "other_policies = " + LongTsaPolicy() + "\n"
        "digests = sha1, sha256\n"
        "accuracy = secs:1\n"
        "ordering = no\n"
        "tsa_name = no\n"
        "ess_cert_id_chain = no\n"
        "ess_cert_id_alg = sha1\n";
    const auto path = dir / "tsa.cnf";
    WriteFileText(path, config);
    return path;
  }
};

// OpenSSL's responder in-process, configured as the command's: the answer
// it gives to the request (a rejection for a request it cannot read).
inline std::vector<uint8_t> OpenSslReply(const TestTsa& tsa, std::span<const uint8_t> request,
                                         bool with_ca = true) {
  std::unique_ptr<TS_RESP_CTX, decltype(&TS_RESP_CTX_free)> ctx(TS_RESP_CTX_new(),
                                                                 TS_RESP_CTX_free);
  EXPECT_EQ(TS_RESP_CTX_set_signer_cert(ctx.get(), tsa.tsa.x509.get()), 1);
  EXPECT_EQ(TS_RESP_CTX_set_signer_key(ctx.get(), tsa.tsa.key.get()), 1);
  ASN1_OBJECT* policy = OBJ_txt2obj(kTsaPolicy, 1);
  TS_RESP_CTX_set_def_policy(ctx.get(), policy);
  ASN1_OBJECT_free(policy);
  ASN1_OBJECT* other = OBJ_txt2obj(LongTsaPolicy().c_str(), 1);
  TS_RESP_CTX_add_policy(ctx.get(), other);
  ASN1_OBJECT_free(other);
  TS_RESP_CTX_add_md(ctx.get(), EVP_sha1());
  TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha1());
  TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha1());
  TS_RESP_CTX_set_accuracy(ctx.get(), 1, 0, 0);
  if (with_ca) {
    STACK_OF(X509)* certs = sk_X509_new_null();
    sk_X509_push(certs, tsa.ca.x509.get());
    TS_RESP_CTX_set_certs(ctx.get(), certs);  // takes copies
    sk_X509_free(certs);
  }
  BIO* in = BIO_new_mem_buf(request.data(), static_cast<int>(request.size()));
  TS_RESP* resp = TS_RESP_create_response(ctx.get(), in);
  BIO_free(in);
  std::vector<uint8_t> out = der::I2dBytes(i2d_TS_RESP, resp);
  TS_RESP_free(resp);
  return out;
}

// The PKIStatus OpenSSL reads in a response; -1 when it cannot read it.
inline long OpenSslStatus(std::span<const uint8_t> response) {
  const unsigned char* p = response.data();
  TS_RESP* resp = d2i_TS_RESP(nullptr, &p, static_cast<long>(response.size()));
  if (resp == nullptr) return -1;
  const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(resp)));
  TS_RESP_free(resp);
  return status;
}

// The responder. Paths choose how it answers:
//   /tsa          the answer of `openssl ts -reply` (signed requests are
//                 first unwrapped with `openssl cms -verify -noverify`)
//   /other-data   a granted answer for SHA-1("other data"), without nonce
//   /other-nonce  a granted answer for the same imprint with a new nonce
//   /slow         /tsa after 30 seconds
//   /garbage      200 with 300 random bytes
//   /drop         the connection closed without an answer
class TsaResponder {
 public:
  TsaResponder(const std::filesystem::path& dir, const TestTsa& tsa) : dir_(dir) {
    const auto config = tsa.WriteFiles(dir);
    const auto script = dir / "tsa_responder.py";
    const auto portfile = dir / "tsa_port";
    const auto output = dir / "tsa_output.txt";
    WriteFileText(script, kScript);
    std::vector<std::string> args = {"python3", script.string(), dir.string(), config.string(),
                                     portfile.string(), (dir / "tsa_requests.log").string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start python3");
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      std::error_code ec;
      if (std::filesystem::exists(portfile, ec)) port_ = std::stoi(ReadFileText(portfile));
    }
    if (port_ == 0) {
      Stop();
      throw std::runtime_error("responder did not start: " + ReadFileText(output));
    }
  }
  ~TsaResponder() { Stop(); }
  TsaResponder(const TsaResponder&) = delete;
  TsaResponder& operator=(const TsaResponder&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // One line per request: "route|Content-Type|Accept|body length".
  std::string Log() const {
    std::error_code ec;
    return std::filesystem::exists(dir_ / "tsa_requests.log", ec)
               ? ReadFileText(dir_ / "tsa_requests.log")
               : std::string();
  }

 private:
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
  }

  static constexpr const char* kScript = R"PY(
import hashlib, os, subprocess, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
workdir, config, portfile, logfile = sys.argv[1:5]
lock = threading.Lock()
counter = [0]

def next_base():
    with lock:
        counter[0] += 1
        return os.path.join(workdir, "q%d" % counter[0])

def run(args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

def inner_tag(b):
    if len(b) < 3 or b[0] != 0x30:
        return -1
    off = 2 if b[1] < 0x80 else 2 + (b[1] & 0x7F)
    return b[off] if off < len(b) else -1

def sha1_imprint(tsq):
    marker = bytes.fromhex("06052b0e03021a05000414")
    i = tsq.find(marker)
    return tsq[i + len(marker):i + len(marker) + 20] if i >= 0 else b""

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass
    def answer(self, status, body, ctype="application/timestamp-reply"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_POST(self):
        n = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(n) if n > 0 else b""
        route = self.path.strip("/")
        with lock, open(logfile, "a") as f:
            f.write("%s|%s|%s|%d\n" % (route, self.headers.get("Content-Type"),
                                       self.headers.get("Accept"), len(body)))
        if route == "drop":
            self.close_connection = True
            return
        if route == "garbage":
            self.answer(200, os.urandom(300))
            return
        if route == "slow":
            time.sleep(30)
        base = next_base()
        with open(base + ".in", "wb") as f:
            f.write(body)
        tsq = base + ".tsq"
        if inner_tag(body) == 0x06:  # a ContentInfo: a signed request
            r = run(["openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER",
                     "-in", base + ".in", "-out", tsq])
            if r.returncode != 0:
                self.answer(400, r.stdout, "text/plain")
                return
        else:
            os.rename(base + ".in", tsq)
        if route in ("other-data", "other-nonce"):
            if route == "other-data":
                digest = hashlib.sha1(b"other data").hexdigest()
            else:
                with open(tsq, "rb") as f:
                    digest = sha1_imprint(f.read()).hex()
            args = ["openssl", "ts", "-query", "-sha1", "-digest", digest, "-cert", "-out", tsq]
            if route == "other-data":
                args.append("-no_nonce")
            run(args)
        r = run(["openssl", "ts", "-reply", "-config", config, "-queryfile", tsq,
                 "-out", base + ".tsr"])
        if r.returncode != 0:
            self.answer(500, r.stdout, "text/plain")
            return
        with open(base + ".tsr", "rb") as f:
            self.answer(200, f.read())

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(portfile + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(portfile + ".tmp", portfile)
server.serve_forever()
)PY";

  std::filesystem::path dir_;
  pid_t pid_ = 0;
  int port_ = 0;
};

}  // namespace vel::test
