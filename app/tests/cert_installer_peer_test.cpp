// The CA-certificate installer against a local HTTP server: the national
// root only with the shipped fingerprint, a parent before its child, each
// entry offered once, a ParentName cycle that ends, markers that keep
// declined entries quiet.
#include "app/cert_installer.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>

#include "app/message_catalog.h"
#include "app/prompt.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "cryptolib/tests/crl_test_ca.h"
#include "platform/testing/http_test_server.h"
#include "platform/cert_store.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

std::string Sha256Hex(const std::vector<uint8_t>& der) {
  uint8_t d[32];
  unsigned int n = 0;
  EVP_Digest(der.data(), der.size(), d, &n, EVP_sha256(), nullptr);
  std::string out;
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < n; ++i) (out += kHex[d[i] >> 4]) += kHex[d[i] & 15];
  return out;
}

class CertInstallerPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::ClearProxyEnvironment();
    pki_dir_ = new test::TempDir();
    root_ = test::MakeIdentity("CZiC Veredove SA", nullptr, {0x01}, true, false);
    parent_ = test::MakeIdentity("Urzad Testowy CA", &root_, {0x02}, true, false);
    child_ = test::MakeIdentity("Centrum Podrzedne CA", &parent_, {0x03}, true, false);
    stranger_ = test::MakeIdentity("Obce Centrum CA", &root_, {0x04}, true, false);
    std::filesystem::create_directories(pki_dir_->path() / "www");
    server_ = new test::StaticFileServer(pki_dir_->path() / "www");
    for (auto [name, id] : {std::pair{"root.cer", &root_}, {"parent.cer", &parent_},
                            {"child.cer", &child_}, {"stranger.cer", &stranger_}})
      server_->Publish(name, id->der());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete pki_dir_;
  }
  void SetUp() override {
    VEL_REQUIRE_TOOL("python3");
    setenv("VELDOC_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    setenv("VELDOC_STORE_DIR", (dir_ / "stores").c_str(), 1);
  }

  static void Entry(const std::string& name, const std::string& parent, const std::string& file,
                    const std::string& store = "CA") {
    const std::string key = Certificates() + "\\" + name;
    WriteRegString(RegHive::kLocalMachine, key, kValueCertName, name);
    WriteRegString(RegHive::kLocalMachine, key, kValueCertParentName, parent);
    WriteRegString(RegHive::kLocalMachine, key, kValueCertUrl, server_->Url(file));
    WriteRegString(RegHive::kLocalMachine, key, kValueCertStoreName, store);
    WriteRegString(RegHive::kLocalMachine, key, kValueCertStoreType, "USER");
  }
  static std::string Certificates() { return std::string(kMachineKey) + "\\" + kSubkeyCertificates; }
  static NationalRoot Root(bool right_fingerprint = true) {
    return {server_->Url("root.cer"),
            right_fingerprint ? Sha256Hex(root_.der()) : std::string(64, '0'),
            "CZiC Veredove SA"};
  }
  static bool InStore(const char* store_name, const char* subject) {
    std::unique_ptr<platform::CertStore> store;
    if (platform::CertStore::Open(platform::kStoreCurrentUser, store_name, &store) != 0) return false;
    return platform::FindCertificateBySubjectText(*store, subject, nullptr) != nullptr;
  }
  static int Asked(const ScriptedPrompt& p, int id) {
    return static_cast<int>(std::count_if(p.shown().begin(), p.shown().end(),
                                          [&](const auto& s) { return s.id == id; }));
  }

  test::TempDir dir_;
  CMessageTable catalog_{1045};
  static inline test::TempDir* pki_dir_ = nullptr;
  static inline test::StaticFileServer* server_ = nullptr;
  static inline test::TestIdentity root_, parent_, child_, stranger_;
};

TEST_F(CertInstallerPeerTest, InstallsTheRootAndAParentBeforeItsChildEachOfferedOnce) {
  Entry("Podrzedne", "Nadrzedne", "child.cer");
  Entry("Nadrzedne", "", "parent.cer");
  ScriptedPrompt prompt;
  CCertInstaller(catalog_, prompt, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_EQ(Asked(prompt, 369), 2);
  EXPECT_TRUE(InStore("ROOT", "CZiC Veredove SA"));
  EXPECT_TRUE(InStore("CA", "Urzad Testowy CA"));
  EXPECT_TRUE(InStore("CA", "Centrum Podrzedne CA"));
  // Markers keep both quiet now.
  ScriptedPrompt again;
  CCertInstaller(catalog_, again, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_TRUE(again.shown().empty());
}

TEST_F(CertInstallerPeerTest, RefusesARootOfAnotherFingerprintAndAChildOfAnotherIssuer) {
  Entry("Obce", "", "stranger.cer");
  ScriptedPrompt prompt;
  CCertInstaller installer(catalog_, prompt, Root(false));
  EXPECT_EQ(installer.InstallEntry(Certificates(), "Obce", "", "Vellorum Sign"),
            CCertInstaller::kRootMismatch);
  EXPECT_FALSE(InStore("ROOT", "CZiC Veredove SA"));
  EXPECT_FALSE(InStore("CA", "Obce Centrum CA"));
  EXPECT_TRUE(installer.ReadUserMarker(Certificates() + "\\Obce").empty()) << "asked again later";

  // A child that its listed parent did not issue is not added.
  ASSERT_EQ(platform::RegDeleteTree(RegHive::kLocalMachine, Certificates() + "\\Obce"), 0u);
  Entry("Podrzedne", "Nadrzedne", "stranger.cer");
  Entry("Nadrzedne", "", "parent.cer");
  ScriptedPrompt yes;
  CCertInstaller(catalog_, yes, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_TRUE(InStore("CA", "Urzad Testowy CA"));
  EXPECT_FALSE(InStore("CA", "Obce Centrum CA"));
}

TEST_F(CertInstallerPeerTest, ACycleOfParentsEndsAndGlobalSwitchStopsAll) {
  Entry("A", "B", "child.cer");
  Entry("B", "A", "parent.cer");
  ScriptedPrompt prompt;
  CCertInstaller installer(catalog_, prompt, Root());
  EXPECT_NE(installer.InstallEntry(Certificates(), "A", "", "Vellorum Sign"), 0u);
  EXPECT_LE(Asked(prompt, 369), 2);

  WriteRegDword(RegHive::kLocalMachine, Certificates(), kValueGlobalCertInstall, 1);
  ScriptedPrompt quiet;
  CCertInstaller(catalog_, quiet, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_TRUE(quiet.shown().empty());
}

TEST_F(CertInstallerPeerTest, DecliningWritesTheMarkerUntilTheEntryIsNewer) {
  Entry("Nadrzedne", "", "parent.cer");
  ScriptedPrompt no;
  no.QueueMessageAnswer(IDNO);
  CCertInstaller(catalog_, no, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_EQ(Asked(no, 369), 1);
  EXPECT_FALSE(InStore("CA", "Urzad Testowy CA"));
  ScriptedPrompt quiet;
  CCertInstaller(catalog_, quiet, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_TRUE(quiet.shown().empty());
  // A newer mark on the entry offers it again.
  WriteRegString(RegHive::kLocalMachine, Certificates() + "\\Nadrzedne", kValueCertMark,
                 "2999-01-01H00:00:00");
  ScriptedPrompt again;
  CCertInstaller(catalog_, again, Root()).Run(kMachineKey, "Vellorum Sign");
  EXPECT_EQ(Asked(again, 369), 1);
  EXPECT_TRUE(InStore("CA", "Urzad Testowy CA"));
  EXPECT_EQ(CCertInstaller::StoreLocation("machine"), crypto::CERT_SYSTEM_STORE_LOCAL_MACHINE);
  EXPECT_EQ(CCertInstaller::StoreLocation("USER"), crypto::CERT_SYSTEM_STORE_CURRENT_USER);
}

}  // namespace
}  // namespace vel::app
