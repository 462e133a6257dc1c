// Small pieces shared by the certificate window tests: the language for the
// life of a scope, DER values of certificate policies, and openssl-made
// certificates.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/der.h"
#include "cryptolib/status.h"
#include "platform/cert_store.h"
#include "platform/testing/test_support.h"

namespace vel::test::certui {

// Sets the language word and restores the previous one at the end.
class Language {
 public:
  explicit Language(uint32_t id) : previous_(crypto::LanguageId.load()) {
    crypto::LanguageId.store(id);
  }
  ~Language() { crypto::LanguageId.store(previous_); }
  Language(const Language&) = delete;
  Language& operator=(const Language&) = delete;

 private:
  uint32_t previous_;
};

// One PolicyQualifierInfo: the qualifier id and its value's encoding.
struct Qualifier {
  std::string id;
  std::vector<uint8_t> value;  // empty: a qualifier without value
};

inline std::vector<uint8_t> Encode(uint8_t tag, std::string_view content) {
  der::Writer w;
  w.AddString(tag, content);
  return *w.Finish();
}

inline Qualifier Cps(const std::string& uri) { return {"1.3.6.1.5.5.7.2.1", Encode(der::kIa5String, uri)}; }

// A UserNotice holding these elements, already encoded, in order.
inline Qualifier Notice(std::initializer_list<std::vector<uint8_t>> fields) {
  der::Writer w;
  w.Begin(der::kSequence);
  for (const auto& f : fields) w.AddEncoded(f);
  w.End();
  return {"1.3.6.1.5.5.7.2.2", *w.Finish()};
}

// certificatePolicies with one policy (and optionally a second one after it).
inline std::vector<uint8_t> Policies(const std::string& policy_id,
                                     const std::vector<Qualifier>& qualifiers,
                                     bool with_qualifier_list = true,
                                     const std::string& second_policy = "") {
  der::Writer w;
  w.Begin(der::kSequence);
  w.Begin(der::kSequence);
  w.AddOid(policy_id);
  if (with_qualifier_list) {
    w.Begin(der::kSequence);
    for (const Qualifier& q : qualifiers) {
      w.Begin(der::kSequence);
      w.AddOid(q.id);
      if (!q.value.empty()) w.AddEncoded(q.value);
      w.End();
    }
    w.End();
  }
  w.End();
  if (!second_policy.empty()) {
    w.Begin(der::kSequence);
    w.AddOid(second_policy);
    w.End();
  }
  w.End();
  return *w.Finish();
}

// A UTF-16 big-endian BMPString of a UTF-8 text (BMP characters only).
inline std::vector<uint8_t> BmpString(const std::u16string& text) {
  std::string content;
  for (char16_t c : text) {
    content += static_cast<char>(c >> 8);
    content += static_cast<char>(c & 0xFF);
  }
  return Encode(der::kBmpString, content);
}

// Runs openssl with a shell command line; the test fails on a non-zero exit.
inline std::string Openssl(const std::string& arguments) {
  const CommandResult r = RunCommand("openssl " + arguments);
  EXPECT_EQ(r.exit_code, 0) << "openssl " << arguments << "\n" << r.output;
  return r.output;
}

// A PEM certificate file as a certificate context.
inline platform::CertPtr LoadPem(const std::filesystem::path& pem) {
  const std::filesystem::path der = pem.string() + ".der";
  Openssl("x509 -in " + ShellQuote(pem.string()) + " -outform DER -out " +
          ShellQuote(der.string()));
  return platform::CertContext::FromDer(ReadFileBytes(der));
}

// A certificate made by `openssl req -x509` into <dir>/<name>.pem with its key
// <dir>/<name>.key (a new RSA key unless `key` names one).
struct Req {
  std::string subject = "/CN=Test";
  std::vector<std::string> addext;  // "-addext" values
  std::string config;               // a configuration text (its "ext" section is used)
  std::filesystem::path ca_cert, ca_key;
  std::filesystem::path key;
  std::string serial = "0x1A2B3C";
  std::string digest = "sha256";
  int days = 365;
};

inline std::filesystem::path MakeReqCert(const std::filesystem::path& dir, const std::string& name,
                                         const Req& r) {
  const std::filesystem::path pem = dir / (name + ".pem");
  std::filesystem::path key = r.key;
  std::string cmd = "req -x509 -utf8 -nodes -" + r.digest + " -days " + std::to_string(r.days) +
                    " -set_serial " + r.serial + " -subj " + ShellQuote(r.subject);
  if (key.empty()) {
    key = dir / (name + ".key");
    cmd += " -newkey rsa:2048 -keyout " + ShellQuote(key.string());
  } else {
    cmd += " -key " + ShellQuote(key.string());
  }
  if (!r.config.empty()) {
    const std::filesystem::path cnf = dir / (name + ".cnf");
    WriteFileText(cnf, "[req]\ndistinguished_name = dn\n[dn]\n" + r.config);
    cmd += " -config " + ShellQuote(cnf.string()) + " -extensions ext";
  }
  if (!r.ca_cert.empty())
    cmd += " -CA " + ShellQuote(r.ca_cert.string()) + " -CAkey " + ShellQuote(r.ca_key.string());
  for (const std::string& e : r.addext) cmd += " -addext " + ShellQuote(e);
  cmd += " -out " + ShellQuote(pem.string());
  Openssl(cmd);
  return pem;
}

// System stores in a folder of their own for the life of the object.
class Stores {
 public:
  Stores() {
    if (const char* old = std::getenv("VELDOC_STORE_DIR")) previous_ = old;
    ::setenv("VELDOC_STORE_DIR", dir_.path().c_str(), 1);
  }
  ~Stores() {
    if (previous_.empty())
      ::unsetenv("VELDOC_STORE_DIR");
    else
      ::setenv("VELDOC_STORE_DIR", previous_.c_str(), 1);
  }
  Stores(const Stores&) = delete;
  Stores& operator=(const Stores&) = delete;

  void Add(const char* store, const platform::CertPtr& cert) {
    std::unique_ptr<platform::CertStore> s;
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, store, &s), 0u);
    ASSERT_EQ(s->AddCertificate(cert, platform::AddDisposition::kUseExisting), 0u);
  }

 private:
  TempDir dir_;
  std::string previous_;
};

}  // namespace vel::test::certui
