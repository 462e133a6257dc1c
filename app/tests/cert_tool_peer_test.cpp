// The `velcert` command, run as a user runs it, on files made by openssl and a
// SoftHSM2 token: what it imports lands in the store the program reads, the
// program's signer signs with it (openssl checks the signature), and every
// refusal leaves the stores as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "cryptolib/cert_path.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "platform/key_import.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

using test::CommandResult;
using test::ShellQuote;

// Runs velcert with `input` on its standard input.
CommandResult Velcert(const std::string& args, const std::string& input = "") {
  return test::RunCommand("printf '%s' " + ShellQuote(input) + " | " + VEL_CERT_TOOL + " " + args);
}

void Openssl(const std::string& args) {
  const CommandResult r = test::RunCommand("openssl " + args);
  ASSERT_EQ(r.exit_code, 0) << args << "\n" << r.output;
}

std::vector<platform::CertPtr> StoreCerts(const char* name) {
  std::unique_ptr<platform::CertStore> store;
  EXPECT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, name, &store), 0u);
  return store->Certificates();
}

platform::CertPtr PemCert(const std::filesystem::path& file) {
  const CommandResult r = test::RunCommand("openssl x509 -outform DER -in " + ShellQuote(file.string()) +
                                           " -out " + ShellQuote(file.string() + ".der"));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return platform::CertContext::FromDer(test::ReadFileBytes(file.string() + ".der"));
}

mode_t Mode(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// The program's signer for a "My" certificate signs a digest; openssl checks it.
void ExpectSignerSigns(const platform::CertPtr& cert, const std::string& pin,
                       const std::filesystem::path& dir) {
  test::ScriptedPin scripted;
  scripted.pin = pin;
  scripted.Install();
  std::unique_ptr<platform::Signer> signer;
  ASSERT_EQ(platform::OpenSignerForCertificate(cert, &signer), 0u);
  const std::vector<uint8_t> digest(20, 0x3C);
  std::vector<uint8_t> signature;
  ASSERT_EQ(signer->SignSha1Digest(digest, &signature), 0u);
  signer.reset();
  test::WriteFileBytes(dir / "digest.bin", digest);
  test::WriteFileBytes(dir / "signature.bin", signature);
  test::WriteFileBytes(dir / "signer.der", {cert->der().begin(), cert->der().end()});
  Openssl("x509 -inform DER -in " + ShellQuote((dir / "signer.der").string()) + " -out " +
          ShellQuote((dir / "signer.pem").string()));
  Openssl("pkeyutl -verify -certin -inkey " + ShellQuote((dir / "signer.pem").string()) +
          " -pkeyopt digest:sha1 -in " + ShellQuote((dir / "digest.bin").string()) +
          " -sigfile " + ShellQuote((dir / "signature.bin").string()));
}

// Runs velcert on a pseudo-terminal as a person would: waits for the prompt,
// types `keys` and prints everything the terminal showed, then "ECHO" or
// "NOECHO" for the terminal's state after velcert ended; exits with its status.
constexpr char kTerminalDriver[] = R"(
import os, pty, sys, termios
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
shown = b''
while b': ' not in shown:
    shown += os.read(fd, 1024)
os.write(fd, sys.stdin.buffer.read())
try:
    while True:
        chunk = os.read(fd, 1024)
        if not chunk:
            break
        shown += chunk
except OSError:
    pass
echo = termios.tcgetattr(fd)[3] & termios.ECHO
_, status = os.waitpid(pid, 0)
sys.stdout.buffer.write(shown + (b'\nECHO' if echo else b'\nNOECHO'))
sys.exit(os.waitstatus_to_exitcode(status))
)";

CommandResult VelcertOnTerminal(const std::string& args, const std::string& keys) {
  return test::RunCommand("printf '%s' " + ShellQuote(keys) + " | python3 -c " +
                          ShellQuote(kTerminalDriver) + " " + VEL_CERT_TOOL + " " + args);
}

class CertToolPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    setenv("VELDOC_STORE_DIR", (dir_ / "stores").c_str(), 1);
    setenv("VELDOC_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    // A root that issues a signing certificate, made by openssl.
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout " + F("root.key") + " -out " + F("root.pem") +
            " -subj '/C=PL/O=Vellorum Test/CN=Test Root' -days 30 -addext basicConstraints=critical,CA:true");
    Openssl("req -newkey rsa:2048 -nodes -keyout " + F("jan.key") + " -out " + F("jan.csr") +
            " -subj '/C=PL/CN=Jan Kowalski'");
    Openssl("x509 -req -in " + F("jan.csr") + " -CA " + F("root.pem") + " -CAkey " + F("root.key") +
            " -set_serial 7 -days 10 -out " + F("jan.pem"));
    jan_ = PemCert(dir_ / "jan.pem");
    ASSERT_TRUE(jan_);
  }

  std::string F(const std::string& name) const { return ShellQuote((dir_ / name).string()); }
  std::filesystem::path KeyCopy() const {
    return platform::PrivateKeyFolder(platform::kStoreCurrentUser) / (jan_->sha1_hex() + ".p12");
  }

  test::TempDir dir_;
  platform::CertPtr jan_;
};

TEST_F(CertToolPeerTest, ImportsKeyFilesAndRefusesWhatItCannotUse) {
  Openssl("pkcs12 -export -in " + F("jan.pem") + " -inkey " + F("jan.key") +
          " -passout pass:tajne -out " + F("jan.p12"));
  Openssl("pkcs12 -export -in " + F("jan.pem") + " -inkey " + F("jan.key") +
          " -passout pass: -out " + F("open.p12"));
  Openssl("pkcs12 -export -nokeys -in " + F("jan.pem") + " -passout pass:tajne -out " +
          F("nokey.p12"));
  test::WriteFileText(dir_ / "garbage.bin", "to nie jest certyfikat\n");
  struct Case {
    const char* file;
    const char* password;
    int exit_code;
    const char* says;
  } cases[] = {
      {"jan.p12", "wrong", 1, "Błędne hasło do pliku: "},
      {"nokey.p12", "tajne", 1, "nie zawiera klucza prywatnego"},
      {"garbage.bin", "", 1, "nie jest certyfikatem, listą CRL ani plikiem PKCS#12"},
      {"jan.key", "", 1, "nie jest certyfikatem, listą CRL ani plikiem PKCS#12"},
      {"missing.p12", "", 1, "Nie można odczytać pliku"},
      {"jan.p12", "tajne\n", 0, "Zaimportowano do magazynu \"My\": PL, Jan Kowalski"},
      {"open.p12", "", 0, "Zaimportowano do magazynu \"My\": PL, Jan Kowalski"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const CommandResult r =
        Velcert("import " + F(c.file) + " --password-fd 0", c.password);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    // A refused file changes nothing.
    EXPECT_EQ(StoreCerts("My").size(), c.exit_code == 0 ? 1u : 0u);
    EXPECT_EQ(std::filesystem::exists(KeyCopy()), c.exit_code == 0);
  }
  // The copy is the last file imported: the one without a password.
  ExpectSignerSigns(jan_, "", dir_.path());
}

TEST_F(CertToolPeerTest, ImportedKeyFileIsPrivateAndOutlivesTheOriginal) {
  Openssl("pkcs12 -export -in " + F("jan.pem") + " -inkey " + F("jan.key") +
          " -passout pass:tajne -out " + F("jan.p12"));
  ASSERT_EQ(Velcert("import " + F("jan.p12") + " --password-fd=0", "tajne").exit_code, 0);
  EXPECT_EQ(Mode(KeyCopy().parent_path()), 0700u);
  EXPECT_EQ(Mode(KeyCopy()), 0600u);
  platform::KeyReference ref;
  ASSERT_EQ(platform::ReadKeyBinding(platform::kStoreCurrentUser, *jan_, &ref), 0u);
  EXPECT_EQ(platform::FormatKeyReference(ref), "pkcs12:" + KeyCopy().string());
  std::filesystem::remove(dir_ / "jan.p12");
  ExpectSignerSigns(jan_, "tajne", dir_.path());
}

TEST_F(CertToolPeerTest, AsksThePasswordOnTheTerminalWithoutEcho) {
  VEL_REQUIRE_TOOL("python3");
  Openssl("pkcs12 -export -in " + F("jan.pem") + " -inkey " + F("jan.key") +
          " -passout pass:tajne -out " + F("jan.p12"));
  // Ctrl-C at the prompt: nothing imported, the terminal echoes again.
  CommandResult r = VelcertOnTerminal("import " + F("jan.p12"), "\x03");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("Przerwano"), std::string::npos) << r.output;
  EXPECT_TRUE(r.output.ends_with("\nECHO")) << r.output;
  EXPECT_TRUE(StoreCerts("My").empty());

  r = VelcertOnTerminal("import " + F("jan.p12"), "tajne\n");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Hasło do pliku jan.p12: "), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("tajne"), std::string::npos) << r.output;
  EXPECT_TRUE(r.output.ends_with("\nECHO")) << r.output;
  EXPECT_EQ(StoreCerts("My").size(), 1u);
}

TEST_F(CertToolPeerTest, SpeaksEnglishWhenTheMachineSaysSo) {
  ASSERT_EQ(WriteRegDword(RegHive::kLocalMachine, kMachineKey, kValueLangId, kLangIdEnglish), 0u);
  const CommandResult r = Velcert("import " + F("jan.pem"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("neither an authority's (CA) nor a root certificate"), std::string::npos)
      << r.output;
  EXPECT_EQ(Velcert("frobnicate").exit_code, 2);
  EXPECT_NE(Velcert("").output.find("Usage:"), std::string::npos);
}

TEST_F(CertToolPeerTest, AuthoritiesAndCrlsLandWhereThePathCheckLooks) {
  test::TestCa ca(dir_.path(), "ca", "/C=PL/O=Vellorum Test/CN=Test CRL Root");
  test::WriteFileBytes(dir_ / "ca.der", ca.cert_der());
  test::WriteFileBytes(dir_ / "ca.crl", ca.Crl());
  // An intermediate CA under the first root, in PEM.
  Openssl("req -newkey rsa:2048 -nodes -keyout " + F("sub.key") + " -out " + F("sub.csr") +
          " -subj '/C=PL/CN=Test Sub CA'");
  test::WriteFileText(dir_ / "ca.ext", "basicConstraints=critical,CA:true\nkeyUsage=keyCertSign,cRLSign\n");
  Openssl("x509 -req -in " + F("sub.csr") + " -CA " + F("root.pem") + " -CAkey " + F("root.key") +
          " -set_serial 9 -days 10 -extfile " + F("ca.ext") + " -out " + F("sub.pem"));
  // A signing certificate of the CRL root.
  Openssl("x509 -req -in " + F("jan.csr") + " -CA " + F("ca/ca.pem") + " -CAkey " + F("ca/ca.key") + " -set_serial 11 -days 10 -out " +
          F("anna.pem"));

  for (const char* file : {"root.pem", "ca.der", "sub.pem"})
    EXPECT_EQ(Velcert("import " + F(file)).exit_code, 0) << file;
  EXPECT_EQ(StoreCerts("ROOT").size(), 2u);
  ASSERT_EQ(StoreCerts("CA").size(), 1u);
  EXPECT_EQ(StoreCerts("CA")[0]->sha1(), PemCert(dir_ / "sub.pem")->sha1());

  crypto::X509ContextPtr context = crypto::MakeX509Context();
  crypto::SetCertificateContext(context.get(), PemCert(dir_ / "anna.pem"));
  EXPECT_EQ(crypto::VerifyCertificate(context.get(), platform::kStoreCurrentUser, 1),
            crypto::CRYPT_E_NO_REVOCATION_CHECK);
  const CommandResult r = Velcert("import " + F("ca.crl"));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Zaimportowano listę CRL: PL, Vellorum Test, Test CRL Root"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(crypto::VerifyCertificate(context.get(), platform::kStoreCurrentUser, 1), 0u);
  // The same CRL again is kept, not written twice.
  EXPECT_NE(Velcert("import " + F("ca.crl")).output.find("Magazyn ma już tę lub nowszą listę CRL"),
            std::string::npos);
}

TEST_F(CertToolPeerTest, ListsAndRemovesByHashOrUniqueName) {
  Openssl("pkcs12 -export -in " + F("jan.pem") + " -inkey " + F("jan.key") +
          " -passout pass:tajne -out " + F("jan.p12"));
  ASSERT_EQ(Velcert("import " + F("jan.p12") + " --password-fd 0", "tajne").exit_code, 0);
  ASSERT_EQ(Velcert("import " + F("root.pem")).exit_code, 0);
  const platform::CertPtr root = PemCert(dir_ / "root.pem");

  const CommandResult list = Velcert("list");
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_NE(list.output.find("My\t" + jan_->sha1_hex() + "\tPL, Jan Kowalski\tpkcs12:" +
                             KeyCopy().string()),
            std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("ROOT\t" + root->sha1_hex() + "\tPL, Vellorum Test, Test Root"),
            std::string::npos)
      << list.output;

  // A name cannot drive the terminal.
  const test::TestIdentity rogue =
      test::MakeIdentity("Zly\x1b]0;tytul\x07\xc2\x9b" "31m", nullptr, {0x33}, true, false);
  test::WriteFileBytes(dir_ / "rogue.der", rogue.der());
  ASSERT_EQ(Velcert("import " + F("rogue.der")).exit_code, 0);
  const CommandResult rogue_list = Velcert("list");
  EXPECT_NE(rogue_list.output.find("Zly?]0;tytul??31m"), std::string::npos) << rogue_list.output;
  ASSERT_EQ(Velcert("remove " + rogue.cert->sha1_hex()).exit_code, 0);

  // "PL" names both: nothing is removed until one is chosen.
  CommandResult r = Velcert("remove PL");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("Pasuje więcej niż jeden wpis"), std::string::npos) << r.output;
  EXPECT_EQ(Velcert("remove 'Nie Ma Takiego'").exit_code, 1);
  EXPECT_EQ(StoreCerts("My").size() + StoreCerts("ROOT").size(), 2u);

  r = Velcert("remove 'jan kowalski'");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(StoreCerts("My").empty());
  EXPECT_FALSE(std::filesystem::exists(platform::KeyBindingPath(platform::kStoreCurrentUser, *jan_)));
  EXPECT_FALSE(std::filesystem::exists(KeyCopy()));

  std::string lower = root->sha1_hex();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Velcert("remove " + lower).exit_code, 0);
  EXPECT_TRUE(StoreCerts("ROOT").empty());
}

TEST_F(CertToolPeerTest, RegistersTheTokensCertificatesWithKeysAndTheirSignerSigns) {
  VEL_REQUIRE_TOOL("softhsm2-util");
  VEL_REQUIRE_TOOL("pkcs11-tool");
  test::SoftHsmToken token;
  ASSERT_TRUE(token.ok);
  const test::TestIdentity ewa = test::MakeIdentity("Ewa Lis", nullptr, {0x21}, false, false);
  const test::TestIdentity piotr = test::MakeIdentity("Piotr Bez Klucza", nullptr, {0x22}, false, false);
  token.Put(ewa, "0a", "ewa");
  // A certificate whose key is not on the token.
  test::WriteFileBytes(dir_ / "piotr.der", piotr.der());
  ASSERT_EQ(test::RunCommand(token.Tool() + " --write-object " + F("piotr.der") +
                             " --type cert --id 0b --label piotr")
                .exit_code,
            0);
  const std::string module = std::string(" --module ") + test::kSoftHsmModule;

  CommandResult r = Velcert("token" + module + " --password-fd 0", "9999\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("Błędny PIN karty."), std::string::npos) << r.output;
  EXPECT_TRUE(StoreCerts("My").empty());

  r = Velcert("token" + module + " --password-fd 0", std::string(test::kTestPin) + "\n");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Zarejestrowano z karty \"VelTest\": PL, Vellorum Test, Ewa Lis"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Pominięto (na karcie \"VelTest\" nie ma jego klucza): PL, Vellorum "
                          "Test, Piotr Bez Klucza"),
            std::string::npos)
      << r.output;
  const std::vector<platform::CertPtr> my = StoreCerts("My");
  ASSERT_EQ(my.size(), 1u);
  EXPECT_EQ(my[0]->sha1(), ewa.cert->sha1());
  platform::KeyReference ref;
  ASSERT_EQ(platform::ReadKeyBinding(platform::kStoreCurrentUser, *ewa.cert, &ref), 0u);
  platform::Pkcs11Uri uri;
  ASSERT_TRUE(platform::ParsePkcs11Uri(ref.target, &uri)) << ref.target;
  EXPECT_EQ(uri.token, "VelTest");
  EXPECT_TRUE(uri.serial);
  EXPECT_EQ(uri.id, std::vector<uint8_t>{0x0A});
  EXPECT_EQ(uri.type, "private");
  EXPECT_EQ(uri.module_path, test::kSoftHsmModule);
  ExpectSignerSigns(ewa.cert, test::kTestPin, dir_.path());

  // A module without tokens: nothing to register.
  test::WriteFileText(dir_ / "empty.conf", "directories.tokendir = " + dir_.path().string() + "\n");
  r = test::RunCommand("SOFTHSM2_CONF=" + F("empty.conf") + " " + VEL_CERT_TOOL + " token" + module +
                       " --password-fd 0 </dev/null");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("Nie znaleziono karty z certyfikatem i jego kluczem."), std::string::npos)
      << r.output;

  // A module that is not there is named.
  r = Velcert("token --module /nonexistent/pkcs11.so --password-fd 0", "1234\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("Nie można załadować modułu PKCS#11: /nonexistent/pkcs11.so"),
            std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace vel::app
