// Signed files that openssl makes, read, decrypted and verified here; our
// verdict on each signature agrees with openssl's.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/base64_codec.h"
#include "app/content_opener.h"
#include "app/message_catalog.h"
#include "app/prompt.h"
#include "app/signed_mime_doc.h"
#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "app/signed_content.h"
#include "app/signed_source.h"
#include "app/tests/xml_documents.h"
#include "app/window_models.h"
#include "platform/tests/test_pki.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;
using test::RunCommand;
using test::ShellQuote;
std::string Q(const std::filesystem::path& p) { return ShellQuote(p.string()); }

constexpr char kContent[] =
    "Umowa nr 7/2026\r\nStrony zgodnie postanawiaja, co nastepuje.\r\n"
    "Zalacznik: cennik uslug.\r\n";

// The same text as a file written on this system: bare LF.
constexpr char kContentLf[] =
    "Umowa nr 7/2026\nStrony zgodnie postanawiaja, co nastepuje.\n"
    "Zalacznik: cennik uslug.\n";

// A SignedData made with OpenSSL's own API, carrying the signed file-name
// attribute that other signing packages add.
Bytes SignWithFileName(const test::TestIdentity& id, const std::string& name, bool detached) {
  BIO* in = BIO_new_mem_buf(kContent, static_cast<int>(sizeof kContent - 1));
  const unsigned flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0u);
  CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, flags);
  CMS_SignerInfo* si = CMS_add1_signer(cms, id.x509.get(), id.key.get(), EVP_sha256(), CMS_BINARY);
  EXPECT_NE(si, nullptr);
  EXPECT_EQ(CMS_signed_add1_attr_by_txt(si, "1.2.616.1.170091.20.10.10.10", V_ASN1_IA5STRING,
                                        name.data(), static_cast<int>(name.size())),
            1);
  EXPECT_EQ(CMS_final(cms, in, nullptr, flags), 1);
  Bytes der(static_cast<size_t>(i2d_CMS_ContentInfo(cms, nullptr)));
  unsigned char* p = der.data();
  i2d_CMS_ContentInfo(cms, &p);
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  return der;
}

class SignedFilePeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<test::TestPki>();
    content_file_ = pki_->dir / "umowa.txt";
    test::WriteFileText(content_file_, kContent);
  }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override {
    VEL_REQUIRE_TOOL("openssl");
    pin_.Install();
    setenv("TMPDIR", pki_->dir.path().c_str(), 1);
  }

  static std::string Signer() {
    return " -signer " + Q(pki_->CertFile(pki_->signer)) + " -inkey " +
           Q(pki_->KeyFile(pki_->signer));
  }
  // Runs the command with " -out <file>" before `tail` (openssl wants its
  // options before the recipient certificates).
  static std::filesystem::path Make(const std::string& name, const std::string& command,
                                    const std::string& tail = {}) {
    const auto out = pki_->dir / name;
    const test::CommandResult r = RunCommand(command + " -out " + Q(out) + tail);
    EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output;
    return out;
  }
  // openssl's verdict on the signature alone (no chain), with the content
  // for a detached one.
  static bool OpenSslAccepts(const std::filesystem::path& file, const std::string& inform,
                             bool smime, bool detached) {
    std::string cmd = std::string("openssl ") + (smime ? "smime" : "cms") +
                      " -verify -noverify -binary -inform " + inform + " -in " + Q(file) +
                      " -out /dev/null";
    if (detached && !smime) cmd += " -content " + Q(content_file_);
    return RunCommand(cmd).exit_code == 0;
  }
  // Ours: every node of the tree verifies.
  static bool WeAccept(CSignedFile& file) {
    std::unique_ptr<SignedSource> source = SourceForFile(file);
    if (!source) return false;
    const std::unique_ptr<SignerRef> root = source->CreateSignerRef();
    if (!root || root->Verify() != 0) return false;
    for (std::unique_ptr<SignerRef> n = root->GetNext(); n; n = n->GetNext())
      if (n->Verify() != 0) return false;
    return true;
  }

  // The test CA as a trusted root, with a CRL of it that lists no one, so
  // that a good signature checks out correct without any download.
  static void TrustCa() {
    setenv("VELDOC_REGISTRY_DIR", (pki_->dir / "registry").c_str(), 1);
    std::unique_ptr<platform::CertStore> store;
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "ROOT", &store), 0u);
    ASSERT_EQ(store->AddCertificate(pki_->ca.cert, platform::AddDisposition::kUseExisting), 0u);
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(pki_->ca.x509.get()));
    for (const long offset : {-3600L, 7L * 24 * 3600}) {
      ASN1_TIME* t = X509_gmtime_adj(nullptr, offset);
      offset < 0 ? X509_CRL_set1_lastUpdate(crl, t) : X509_CRL_set1_nextUpdate(crl, t);
      ASN1_TIME_free(t);
    }
    X509_CRL_sign(crl, pki_->ca.key.get(), EVP_sha256());
    Bytes der(static_cast<size_t>(i2d_X509_CRL(crl, nullptr)));
    unsigned char* p = der.data();
    i2d_X509_CRL(crl, &p);
    X509_CRL_free(crl);
    ASSERT_EQ(platform::CertStore::Open(platform::kStoreCurrentUser, "VelCryptoAPI", &store), 0u);
    ASSERT_EQ(store->AddCrl(platform::CrlContext::FromDer(der), platform::AddDisposition::kReplaceExisting), 0u);
  }
  // openssl smime -verify with the test CA as the trust anchor.
  static bool OpenSslVerifies(const std::filesystem::path& file) {
    return RunCommand("openssl smime -verify -CAfile " + Q(pki_->dir / "ca.pem") + " -in " + Q(file) +
                      " -out /dev/null")
               .exit_code == 0;
  }
  // Ours through the front end, as the signatures page shows a file: a
  // message left unread is invalid, never without signatures.
  static bool FrontEndSaysCorrect(CSignatureVerifier& verifier, const CSignedFile& file) {
    if (file.signature_error() != 0) return false;
    const std::unique_ptr<SignedSource> source = SourceForFile(file);
    if (!source) return false;
    const SourceVerdict v = VerifySource(verifier, *source);
    return !v.items.empty() && v.worst == kClassCorrect;
  }

  // Ours for a package, over the source the signatures page makes of it.
  static SourceVerdict PackageVerdict(CSignatureVerifier& verifier, const CSignedMimeDoc& doc) {
    return VerifySource(verifier, *SourceForPackage(doc));
  }

  static inline std::unique_ptr<test::TestPki> pki_;
  static inline std::filesystem::path content_file_;
  test::ScriptedPin pin_;
};

TEST_F(SignedFilePeerTest, RecognisesAndVerifiesWhatOpenSslSigns) {
  const std::string cms = "openssl cms -sign -binary -md sha256 -in " + Q(content_file_) + Signer();
  const std::string smime =
      "openssl smime -sign -crlfeol -md sha256 -in " + Q(content_file_) + Signer();
  const auto der = Make("a.p7", cms + " -nodetach -outform DER");
  // Base64 of the DER, 64 characters a line, under a name that ends in .sig.
  const auto b64 = pki_->dir / "a.txt.sig";
  ASSERT_EQ(RunCommand("openssl base64 -in " + Q(der) + " -out " + Q(b64)).exit_code, 0);
  struct Case {
    std::filesystem::path file;
    std::string inform;
    uint32_t state;
    bool smime, detached;
  };
  const Case cases[] = {
      {der, "DER", CSignedFile::kStateCmsSigned, false, false},
      {b64, "DER", CSignedFile::kStateCmsSigned, false, false},
      {Make("stream.p7", cms + " -nodetach -stream -outform DER"), "DER",
       CSignedFile::kStateCmsSigned, false, false},
      {Make("noattr.p7", cms + " -nodetach -noattr -outform DER"), "DER",
       CSignedFile::kStateCmsSigned, false, false},
      // S/MIME begins "MIME-Version:", which is no base64 even under .p7.
      {Make("multipart.p7", smime), "SMIME", CSignedFile::kStateSmimeMultipart, true, false},
      {Make("opaque.p7", smime + " -nodetach"), "SMIME", CSignedFile::kStateSmimeOpaque, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    CSignedFile file;
    ASSERT_EQ(file.Load(c.file.string(), true), 1) << file.GetLastError();
    EXPECT_EQ(file.GetState(), c.state);
    EXPECT_TRUE(OpenSslAccepts(c.inform == "DER" && c.file == b64 ? der : c.file, c.inform,
                               c.smime, c.detached));
    EXPECT_TRUE(WeAccept(file));
    Bytes shown;
    ASSERT_EQ(file.ExtractContent(shown), 0u);
    const std::string text(shown.begin(), shown.end());
    EXPECT_NE(text.find("Zalacznik: cennik uslug."), std::string::npos) << text;

    // One changed byte of the signed text: both refuse.
    Bytes bytes = test::ReadFileBytes(c.file == b64 ? der : c.file);
    const std::string needle = "cennik";
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    if (at == bytes.end()) continue;  // base64 inside: covered by the DER case
    *at = 'C';
    const auto changed = pki_->dir / ("changed_" + c.file.filename().string());
    test::WriteFileBytes(changed, bytes);
    CSignedFile bad;
    ASSERT_EQ(bad.Load(changed.string(), true), 1);
    EXPECT_FALSE(OpenSslAccepts(changed, c.inform, c.smime, c.detached));
    EXPECT_FALSE(WeAccept(bad));
  }
  // A message already in DER is its own signature, held once; one in BER
  // (openssl's -stream) is checked in its DER form.
  CSignedFile whole, streamed;
  ASSERT_EQ(whole.Load(der.string(), true), 1);
  EXPECT_EQ(whole.signature().data(), whole.data().data());
  EXPECT_EQ(whole.signature().size(), whole.data().size());
  ASSERT_EQ(streamed.Load((pki_->dir / "stream.p7").string(), true), 1);
  EXPECT_NE(streamed.signature().data(), streamed.data().data());
  EXPECT_TRUE(WeAccept(streamed));
}

TEST_F(SignedFilePeerTest, DecryptsWhatOpenSslEncryptsForAKeyInTheStore) {
  const auto signed_der = Make("inner.p7", "openssl cms -sign -binary -nodetach -outform DER -in " +
                                               Q(content_file_) + Signer());
  const std::string recipient = " " + Q(pki_->CertFile(pki_->signer));
  struct Case {
    std::filesystem::path file;
    uint32_t state;
  };
  const Case cases[] = {
      {Make("env_aes.p7", "openssl cms -encrypt -binary -aes256 -outform DER -in " +
                              Q(signed_der), recipient),
       CSignedFile::kStateCmsEnveloped},
      {Make("env_des3.p7", "openssl cms -encrypt -binary -des3 -outform DER -in " +
                               Q(signed_der), recipient),
       CSignedFile::kStateCmsEnveloped},
      {Make("env_smime.p7", "openssl smime -encrypt -binary -aes128 -in " + Q(signed_der),
                            recipient),
       CSignedFile::kStateSmimeEnveloped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    CSignedFile file;
    ASSERT_EQ(file.Load(c.file.string(), true), 1) << file.GetLastError();
    EXPECT_EQ(file.GetState(), c.state);
    ASSERT_EQ(file.Decrypt(), 1) << std::hex << file.GetLastError();
    EXPECT_EQ(file.GetState(), CSignedFile::kStateCmsSigned);
    EXPECT_TRUE(WeAccept(file));
  }
}

TEST_F(SignedFilePeerTest, AnEncryptedPackageOpensOnlyWhenTheUserAgrees) {
  // With CR LF as mail has it, and with bare LF as openssl writes by default.
  for (const std::string eol : {" -crlfeol", ""}) {
    SCOPED_TRACE(eol);
    const auto inner = Make("inner.eml", "openssl smime -sign" + eol + " -md sha256 -in " +
                                             Q(content_file_) + Signer());
    const auto package = Make("umowa.vestPro", "openssl smime -encrypt -aes256" + eol + " -in " +
                                                   Q(inner),
                              " " + Q(pki_->CertFile(pki_->signer)));
    CMessageTable catalog(1045);
    ScriptedPrompt no;
    no.QueueMessageAnswer(IDNO);
    CSignedMimeDoc declined(package.string(), catalog, no);
    EXPECT_FALSE(declined.path().has_value());
    ASSERT_EQ(no.shown().size(), 1u);
    EXPECT_EQ(no.shown()[0].id, 208);

    ScriptedPrompt yes;
    yes.QueueMessageAnswer(IDYES);
    CSignedMimeDoc doc(package.string(), catalog, yes);
    ASSERT_TRUE(doc.path().has_value());
    EXPECT_EQ(doc.kind(), CSignedMimeDoc::kMultipartSigned);
    // openssl writes the signed part in its canonical CR LF form either way.
    EXPECT_EQ(std::string(doc.document().begin(), doc.document().end()), kContent);
    const auto sig = doc.signature();
    const auto signed_part = doc.signed_content();
    SignedSource source(sig.data(), static_cast<uint32_t>(sig.size()), signed_part.data(),
                        static_cast<uint32_t>(signed_part.size()), false);
    const std::unique_ptr<SignerRef> root = source.CreateSignerRef();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Verify(), 0u);
  }
}

TEST_F(SignedFilePeerTest, TheSignedNameStaysInsideAPrivateFolder) {
  struct Case {
    std::string signed_name;
    std::string shown_as;
  };
  const Case cases[] = {
      {"report.pdf", "tmpvr_report.pdf"},
      {"../../.bashrc", "tmpvr_.bashrc"},
      {"/etc/x", "tmpvr_x"},
      {"a\x01\x1b[2Jb.txt", "tmpvr_a[2Jb.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signed_name);
    const auto p7 = pki_->dir / "named.p7";
    test::WriteFileBytes(p7, SignWithFileName(pki_->signer, c.signed_name, false));
    CSignedFile file;
    ASSERT_EQ(file.Load(p7.string(), true), 1);
    EXPECT_EQ(file.GetState(), CSignedFile::kStateCmsSigned);
    EXPECT_EQ(file.file_name(), c.signed_name);
    EXPECT_TRUE(WeAccept(file));
    Bytes content;
    ASSERT_EQ(file.ExtractContent(content), 0u);
    std::string copy;
    OpenContentCopy(file.file_name(), content, &copy);
    ASSERT_FALSE(copy.empty());
    const std::filesystem::path path(copy);
    EXPECT_EQ(path.filename().string(), c.shown_as);
    EXPECT_EQ(path.parent_path().parent_path(), pki_->dir.path());
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(test::ReadFileBytes(path), content);
  }
  // Without the attribute the name comes from the file's own.
  EXPECT_EQ(ContentNameFromPath("/home/u/report.pdf.p7"), "report.pdf");
  EXPECT_EQ(ContentNameFromPath("/home/u/umowa.pdf_signed.sig"), "umowa.pdf");
  EXPECT_EQ(ContentNameFromPath("/home/u/faktura.pdf.xml"), "faktura.pdf");
  EXPECT_EQ(ContentNameFromPath("/home/u/faktura.xml"), "faktura.xml");
}

// One base64 character of the signature value changed: the CMS ends with
// it, so the change is made a few characters before `limit` (the end of the
// base64 text).
void SpoilSignature(Bytes& bytes, size_t limit) {
  for (size_t i = limit, seen = 0; i-- > 0;) {
    const char c = static_cast<char>(bytes[i]);
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') continue;
    if (++seen == 12) {
      bytes[i] = c == 'A' ? 'B' : 'A';
      return;
    }
  }
  ADD_FAILURE() << "no base64 text";
}

// One byte of the signed text changed ("cennik" becomes "Cennik"): in the
// file as it stands, or inside the base64 body of an opaque message, which
// is written again with the message's own line ends.
void SpoilContent(Bytes& bytes, bool opaque) {
  const std::string needle = "cennik";
  if (!opaque) {
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    ASSERT_NE(at, bytes.end());
    *at = 'C';
    return;
  }
  const int64_t body = FindBodyStart(bytes);
  ASSERT_GT(body, 0);
  Bytes der;
  ASSERT_EQ(Base64Codec().DecodeAll(std::span<const uint8_t>(bytes).subspan(static_cast<size_t>(body)), der), 0u);
  auto at = std::search(der.begin(), der.end(), needle.begin(), needle.end());
  ASSERT_NE(at, der.end());
  *at = 'C';
  const std::string eol = std::string(bytes.begin(), bytes.begin() + body).find("\r\n") != std::string::npos
                              ? "\r\n"
                              : "\n";
  const std::string text = Base64Codec().Encode(der);
  bytes.resize(static_cast<size_t>(body));
  for (size_t i = 0; i < text.size(); i += 64) {
    const std::string line = text.substr(i, 64) + eol;
    bytes.insert(bytes.end(), line.begin(), line.end());
  }
}

TEST_F(SignedFilePeerTest, LineEndsAsLinuxWritesThemGiveOpenSslsVerdict) {
  TrustCa();
  const auto content_lf = pki_->dir / "umowa_lf.txt";
  test::WriteFileText(content_lf, kContentLf);
  CMessageTable catalog(1045);
  CSignatureVerifier verifier(catalog, false, {});
  enum Spoil { kWhole, kContentByte, kSignatureByte };
  for (const auto& [content, content_name] :
       {std::pair{content_file_, "crlf"}, std::pair{content_lf, "lf"}}) {
    for (const std::string eol : {"", " -crlfeol"}) {
      for (const bool opaque : {false, true}) {
        const std::string name = std::string(content_name) + (eol.empty() ? "_lf" : "_crlf") +
                                 (opaque ? "_opaque" : "_detached");
        const auto signed_file = Make(name + ".p7", "openssl smime -sign -md sha256 -in " + Q(content) +
                                                        eol + (opaque ? " -nodetach" : "") + Signer());
        const Bytes original = test::ReadFileBytes(signed_file);
        ASSERT_EQ(eol.empty(), FindBytes(original, "\r\nContent-Type") < 0)
            << "openssl's line ends are not the ones this test is about";
        for (const Spoil spoil : {kWhole, kContentByte, kSignatureByte}) {
          SCOPED_TRACE(name + " spoil " + std::to_string(spoil));
          Bytes bytes = original;
          if (spoil == kContentByte) SpoilContent(bytes, opaque);
          if (spoil == kSignatureByte) {
            // The signature part ends at the closing delimiter (openssl's
            // boundaries begin with four dashes).
            const std::string closing = "\n------";
            const auto limit =
                opaque ? bytes.end() : std::find_end(bytes.begin(), bytes.end(), closing.begin(), closing.end());
            SpoilSignature(bytes, static_cast<size_t>(limit - bytes.begin()));
          }
          const auto path = pki_->dir / ("spoilt_" + std::to_string(spoil) + "_" + name + ".p7");
          test::WriteFileBytes(path, bytes);
          const bool theirs = OpenSslVerifies(path);
          EXPECT_EQ(theirs, spoil == kWhole);
          CSignedFile file;
          ASSERT_EQ(file.Load(path.string(), true), 1) << file.GetLastError();
          // A signed message is read as one, or says it could not be.
          EXPECT_TRUE(file.GetState() == (opaque ? CSignedFile::kStateSmimeOpaque : CSignedFile::kStateSmimeMultipart) ||
                      file.signature_error() != 0)
              << file.GetState();
          EXPECT_EQ(FrontEndSaysCorrect(verifier, file), theirs);
          if (spoil != kWhole) continue;
          Bytes shown;
          ASSERT_EQ(file.ExtractContent(shown), 0u);
          EXPECT_NE(std::string(shown.begin(), shown.end()).find("Zalacznik: cennik uslug."), std::string::npos);

          // The same bytes as a package.
          const auto package = pki_->dir / (name + ".vestPro");
          test::WriteFileBytes(package, bytes);
          ScriptedPrompt prompt;
          CSignedMimeDoc doc(package.string(), catalog, prompt);
          ASSERT_TRUE(doc.path().has_value());
          EXPECT_EQ(doc.kind(), opaque ? CSignedMimeDoc::kOpaqueSmime : CSignedMimeDoc::kMultipartSigned);
          const SourceVerdict v = PackageVerdict(verifier, doc);
          ASSERT_EQ(v.items.size(), 1u);
          EXPECT_EQ(v.worst, kClassCorrect) << v.items[0].detail;
        }
      }
    }
  }
}

TEST_F(SignedFilePeerTest, ABinaryPartIsVerifiedAsItStands) {
  TrustCa();
  // Binary content has no lines: its bare LF and CR are signed as they are
  // (openssl smime -verify canonicalises even such a part and refuses it).
  const auto entity = pki_->dir / "binary.entity";
  test::WriteFileText(entity,
                      "Content-Type: application/octet-stream\n"
                      "Content-Transfer-Encoding: binary\n\n\x01\x02\n\x03\r\x04\n");
  const auto signed_file = Make("binary.p7", "openssl smime -sign -binary -md sha256 -in " + Q(entity) + Signer());
  CMessageTable catalog(1045);
  CSignatureVerifier verifier(catalog, false, {});
  for (const bool spoil : {false, true}) {
    Bytes bytes = test::ReadFileBytes(signed_file);
    if (spoil) *std::find(bytes.begin(), bytes.end(), 0x03) = 0x05;
    const auto path = pki_->dir / (spoil ? "binary_spoilt.p7" : "binary_whole.p7");
    test::WriteFileBytes(path, bytes);
    CSignedFile file;
    ASSERT_EQ(file.Load(path.string(), true), 1);
    EXPECT_EQ(file.GetState(), CSignedFile::kStateSmimeMultipart);
    if (!spoil) {
      EXPECT_EQ(Bytes(file.signed_content().begin(), file.signed_content().end()), test::ReadFileBytes(entity));
    }
    EXPECT_EQ(FrontEndSaysCorrect(verifier, file), !spoil);
  }
}

TEST_F(SignedFilePeerTest, AnEnvelopedMessageWithBareLfDecryptsAndVerifies) {
  TrustCa();
  const auto content_lf = pki_->dir / "umowa_lf.txt";
  test::WriteFileText(content_lf, kContentLf);
  const std::string recipient = " " + Q(pki_->CertFile(pki_->signer));
  const auto inner = Make("inner_lf.eml", "openssl smime -sign -md sha256 -in " + Q(content_lf) + Signer());
  const auto enveloped = Make("umowa_lf_env.p7", "openssl smime -encrypt -aes256 -in " + Q(inner), recipient);
  ASSERT_LT(FindBytes(test::ReadFileBytes(enveloped), "\r\n"), 0);
  const auto decrypted = pki_->dir / "decrypted_lf.eml";
  ASSERT_EQ(RunCommand("openssl smime -decrypt -in " + Q(enveloped) + " -recip " + Q(pki_->CertFile(pki_->signer)) +
                       " -inkey " + Q(pki_->KeyFile(pki_->signer)) + " -out " + Q(decrypted))
                .exit_code,
            0);
  EXPECT_TRUE(OpenSslVerifies(decrypted));

  CMessageTable catalog(1045);
  CSignatureVerifier verifier(catalog, false, {});
  CSignedFile file;
  ASSERT_EQ(file.Load(enveloped.string(), true), 1);
  EXPECT_EQ(file.GetState(), CSignedFile::kStateSmimeEnveloped);
  ASSERT_EQ(file.Decrypt(), 1) << std::hex << file.GetLastError();
  EXPECT_EQ(file.GetState(), CSignedFile::kStateSmimeMultipart);
  EXPECT_TRUE(FrontEndSaysCorrect(verifier, file));
}


// A feed over a file that stops giving bytes after the first read, as a disk
// that fails mid-way.
class FailingFeed : public crypto::ContentFeed {
 public:
  explicit FailingFeed(std::shared_ptr<CFileContentFeed> file) : file_(std::move(file)) {}
  bool Rewind() override {
    reads_ = 0;
    return file_->Rewind();
  }
  int64_t Read(uint8_t* buffer, size_t capacity) override {
    return ++reads_ > 1 ? -1 : file_->Read(buffer, capacity);
  }

 private:
  std::shared_ptr<CFileContentFeed> file_;
  int reads_ = 0;
};

// Ours over content read from its file in pieces: every signer of the tree
// and every signer checked alone verifies.
bool FeedVerifies(const Bytes& signature, std::shared_ptr<crypto::ContentFeed> feed) {
  SignedSource source(signature.data(), static_cast<uint32_t>(signature.size()), std::move(feed));
  uint32_t count = 0;
  if (source.kind() != SignedSource::kDetachedCms || source.GetSignerCount(&count) != 0 || count == 0)
    return false;
  for (uint32_t i = 0; i < count; ++i)
    if (source.VerifySigner(i) != 0) return false;
  const std::unique_ptr<SignerRef> root = source.CreateSignerRef();
  if (!root) return false;
  uint32_t nodes = 0;
  for (std::unique_ptr<SignerRef> n = root->GetNext(); n; n = n->GetNext()) {
    if (n->Verify() != 0) return false;
    ++nodes;
  }
  return root->Verify() == 0 && nodes + 1 == count;
}

TEST_F(SignedFilePeerTest, ADetachedSignatureOverAFileReadInPiecesGivesOpenSslsVerdict) {
  // Larger than the digest's buffer and not a multiple of it; two signers of
  // different digests, so the file is read twice.
  Bytes content(300 * 1024 + 17);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  const auto original = pki_->dir / "large.bin";
  test::WriteFileBytes(original, content);
  BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED;
  CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, flags);
  ASSERT_NE(CMS_add1_signer(cms, pki_->signer.x509.get(), pki_->signer.key.get(), EVP_sha256(), flags), nullptr);
  ASSERT_NE(CMS_add1_signer(cms, pki_->cosigner.x509.get(), pki_->cosigner.key.get(), EVP_sha1(), flags), nullptr);
  ASSERT_EQ(CMS_final(cms, in, nullptr, flags), 1);
  Bytes signature(static_cast<size_t>(i2d_CMS_ContentInfo(cms, nullptr)));
  unsigned char* p = signature.data();
  i2d_CMS_ContentInfo(cms, &p);
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  const auto signature_file = pki_->dir / "large.bin.p7";
  test::WriteFileBytes(signature_file, signature);

  auto open_feed = [](const std::filesystem::path& file) {
    auto feed = std::make_shared<CFileContentFeed>();
    EXPECT_EQ(feed->Open(file.string()), 1) << feed->GetLastError();
    return feed;
  };
  // The file as it lies when both look at it.
  struct Case {
    const char* name;
    std::function<void(Bytes&)> change;
    bool correct;
  };
  const Case cases[] = {
      {"as signed", [](Bytes&) {}, true},
      {"one byte changed", [](Bytes& b) { b[200 * 1024] ^= 1; }, false},
      {"last byte cut", [](Bytes& b) { b.pop_back(); }, false},
      {"one byte added", [](Bytes& b) { b.push_back(0); }, false},
      {"empty", [](Bytes& b) { b.clear(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = content;
    c.change(bytes);
    const auto file = pki_->dir / "case.bin";
    test::WriteFileBytes(file, bytes);
    const bool peer = RunCommand("openssl cms -verify -noverify -binary -inform DER -in " + Q(signature_file) +
                                 " -content " + Q(file) + " -out /dev/null")
                          .exit_code == 0;
    EXPECT_EQ(peer, c.correct);
    EXPECT_EQ(FeedVerifies(signature, open_feed(file)), c.correct);
  }

  // The file changes size between its opening and its reading: never correct.
  const auto moving = pki_->dir / "moving.bin";
  const std::function<void()> changes[] = {
      [&] { std::filesystem::resize_file(moving, content.size() - 1); },
      [&] { std::filesystem::resize_file(moving, content.size() + 1); },
      [&] { std::filesystem::resize_file(moving, 0); },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    test::WriteFileBytes(moving, content);
    auto feed = open_feed(moving);
    changes[i]();
    EXPECT_FALSE(FeedVerifies(signature, feed));
  }
  // A file that cannot be read past its first piece.
  test::WriteFileBytes(moving, content);
  EXPECT_FALSE(FeedVerifies(signature, std::make_shared<FailingFeed>(open_feed(moving))));
  EXPECT_TRUE(FeedVerifies(signature, open_feed(moving)));
}


// What is presented and saved is what the signature the page checked covers,
// however the message is built: the content and the verdict come from one
// reading of the file.
TEST_F(SignedFilePeerTest, WhatIsShownIsWhatTheCheckedSignatureCovers) {
  TrustCa();
  CMessageTable catalog(1045);
  CSignatureVerifier verifier(catalog, false, {});
  const auto dir = pki_->dir.path();

  // An .xml file that is also an S/MIME message (inside a processing
  // instruction): its page checks the trusted signer's S/MIME signature, so
  // its content is that message's, never the XML Object that only an unknown
  // key signed.
  test::WriteFileText(dir / "honest.txt", "Umowa nr 7/2026: kwota 100.00 PLN.\n");
  const std::string smime = test::ReadFileText(
      Make("honest.eml", "openssl smime -sign -crlfeol -md sha256 -in " + Q(dir / "honest.txt") + Signer()));
  const test::TestIdentity outsider = test::MakeIdentity("Ktos Obcy", nullptr, {0x55}, false, false);
  const xmltest::XmlSigner xml_signer = xmltest::WriteSigner(outsider.x509.get(), outsider.key.get(), dir, "obcy");
  std::string xml = xmltest::XmlSecSign(
      xml_signer,
      std::string(xmltest::kDeclaration) +
          xmltest::XadesTemplate(xml_signer, "Sig-X", {"#Object-Sig-X"},
                                 "<ds:Object Id=\"Object-Sig-X\">Umowa nr 7/2026: kwota 999999.00 PLN.</ds:Object>"),
      "Sig-X", dir);
  xml.insert(xml.find("?>") + 2, "\n<?smime\n" + smime + "\n?>");
  test::WriteFileText(dir / "umowa.xml", xml);
  CSignedFile both;
  ASSERT_EQ(both.Load((dir / "umowa.xml").string(), true), 1) << both.GetLastError();
  ASSERT_EQ(both.GetState(), CSignedFile::kStateSmimeMultipart);
  EXPECT_TRUE(FrontEndSaysCorrect(verifier, both));
  const SignedContent content = SignedContentOf(both, kKindXml);
  ASSERT_EQ(content.verdict, SignedContent::kContent) << content.status;
  EXPECT_EQ(std::string(content.bytes.begin(), content.bytes.end()), "Umowa nr 7/2026: kwota 100.00 PLN.\r\n");

  // A package whose first part ends its header with CR CR LF: the canonical
  // form the signature covers reads the blank line there, the part as it
  // stands does not; the whole signed text is shown, its first paragraph too.
  test::WriteFileText(dir / "decl.txt", "OSWIADCZENIE: odstepuje od umowy.\n\nUmowa nr 7/2026: kwota 100.00 PLN.\n");
  std::string message = test::ReadFileText(
      Make("decl.eml", "openssl smime -sign -text -crlfeol -md sha256 -in " + Q(dir / "decl.txt") + Signer()));
  const std::string header_end = "Content-Type: text/plain\r\n\r\n";
  ASSERT_NE(message.find(header_end), std::string::npos);
  message.replace(message.find(header_end), header_end.size(), "Content-Type: text/plain\r\n\r\r\n");
  test::WriteFileText(dir / "decl.vestPro", message);
  ScriptedPrompt prompt;
  const CSignedMimeDoc declaration((dir / "decl.vestPro").string(), catalog, prompt);
  ASSERT_TRUE(declaration.path().has_value());
  EXPECT_EQ(PackageVerdict(verifier, declaration).worst, kClassCorrect);
  EXPECT_EQ(std::string(declaration.document().begin(), declaration.document().end()),
            "OSWIADCZENIE: odstepuje od umowy.\r\n\r\nUmowa nr 7/2026: kwota 100.00 PLN.\r\n");

  // A multipart message with an empty first part whose signature part carries
  // its own content: the signature covers the empty part, and fails there,
  // instead of being checked over content nobody is shown.
  test::WriteFileText(dir / "other.txt", "Pelnomocnictwo do wszystkich czynnosci.\n");
  const auto attached = Make("attached.der", "openssl cms -sign -binary -nodetach -md sha256 -outform DER -in " +
                                                 Q(dir / "other.txt") + Signer());
  const std::string base64 = Base64Codec().Encode(test::ReadFileBytes(attached));
  const std::string empty_part =
      "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; "
      "micalg=sha-256; boundary=\"BND\"\r\n\r\n--BND\r\n\r\n--BND\r\nContent-Type: application/pkcs7-signature\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      base64 + "\r\n--BND--\r\n";
  test::WriteFileText(dir / "pismo.p7", empty_part);
  test::WriteFileText(dir / "pismo.vestPro", empty_part);
  CSignedFile p7;
  ASSERT_EQ(p7.Load((dir / "pismo.p7").string(), true), 1);
  ASSERT_EQ(p7.GetState(), CSignedFile::kStateSmimeMultipart);
  EXPECT_FALSE(FrontEndSaysCorrect(verifier, p7));
  const CSignedMimeDoc package((dir / "pismo.vestPro").string(), catalog, prompt);
  ASSERT_EQ(package.kind(), CSignedMimeDoc::kMultipartSigned);
  EXPECT_EQ(PackageVerdict(verifier, package).worst, kClassInvalid);
}

}  // namespace
}  // namespace vel::app
