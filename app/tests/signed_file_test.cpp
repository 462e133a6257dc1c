// The recogniser of signed files and the MIME readers on hand-made inputs:
// every position is checked, every shape lands in its state.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "app/message_catalog.h"
#include "app/mime_message.h"
#include "app/prompt.h"
#include "app/signature_verifier.h"
#include "app/signed_file.h"
#include "app/signed_mime_doc.h"
#include "platform/testing/test_support.h"

namespace vel::app {
namespace {

using Bytes = std::vector<uint8_t>;
Bytes B(std::string_view s) { return {s.begin(), s.end()}; }
Bytes Hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

constexpr char kMultipart[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/signed; protocol=\"application/x-pkcs7-signature\"; "
    "boundary=\"----B1\"\r\n\r\n"
    "This is an S/MIME signed message\r\n\r\n"
    "------B1\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
    "------B1\r\nContent-Type: application/x-pkcs7-signature\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nMAMCAQE=\r\n"
    "------B1--\r\n\r\n";

// The same message with every CR LF a bare LF, as Linux tools write it.
std::string Lf(std::string_view crlf) {
  std::string out;
  for (size_t i = 0; i < crlf.size(); ++i)
    if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')) out += crlf[i];
  return out;
}

TEST(SignedFile, DerHeaderMustBeFollowedByThePkcs7Oid) {
  const std::string oid = "06092a864886f70d0107";
  struct Case {
    const char* what;
    std::string hex;
    int type;
  };
  const Case cases[] = {
      {"two-byte length, OID at 4", "30820010" + oid + "02a0", 2},
      {"short form, OID at 2", "3010" + oid + "03a0", 3},
      {"indefinite, OID at 2", "3080" + oid + "0200", 2},
      {"OID elsewhere", "3082001000" + oid + "02", 0},
      {"OID ends the data: no type byte", "30820010" + oid, 0},
      {"another PKCS #7 type", "3010" + oid + "01a0", 0},
      {"one byte", "30", 0},
      {"no SEQUENCE", "3110" + oid + "02", 0},
      {"length bytes past the end", "308f" + oid + "02", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(DerCmsType(Hex(c.hex)), c.type) << c.what;
}

TEST(SignedFile, ByteSearchStopsBeforeAnOccurrenceThatEndsTheData) {
  EXPECT_EQ(FindBytes(B("abcabc"), "bc", 0), 1);
  EXPECT_EQ(FindBytes(B("abcabc"), "bc", 2), -1);  // the one at 4 ends the data
  EXPECT_EQ(FindBytes(B("ab"), "ab", 0), -1);
  EXPECT_EQ(FindBytes(B("a"), "abc", 0), -1);
  EXPECT_EQ(FindBytes(B("abcabc"), "c", 100), -1);
  EXPECT_EQ(FindBytes(Hex("00ff8001"), std::string_view("\xff\x80", 2), 0), 1);
}

TEST(SignedFile, ClassifiesEachShape) {
  struct Case {
    const char* what;
    const char* name;
    Bytes bytes;
    bool allow_enveloped;
    uint32_t state;
    int loaded;
    uint32_t signature_error = 0;  // 13: says it is signed, could not be read
  };
  const std::string enveloped =
      "MIME-Version: 1.0\r\nContent-Type: application/x-pkcs7-mime; smime-type=enveloped-data; "
      "name=\"smime.p7m\"\r\n\r\nMIIB\r\n";
  const Case cases[] = {
      {"text", "a.p7", B("hello world\r\n"), true, CSignedFile::kStateOther, 1},
      {"XML", "a.xml", B("<?xml version=\"1.0\"?><a/>"), true, CSignedFile::kStateOther, 1},
      {"base64 of no CMS", "a.sig", B("TWFu"), true, CSignedFile::kStateOther, 1},
      {"base64 that does not decode", "a.sig", B("T==="), true, CSignedFile::kStateNone, 0},
      {"base64 under another name", "a.txt", B("TWFu"), true, CSignedFile::kStateOther, 1},
      {"enveloped S/MIME", "a.p7", B(enveloped), true, CSignedFile::kStateSmimeEnveloped, 1},
      {"enveloped S/MIME not allowed", "a.p7", B(enveloped), false, CSignedFile::kStateOther, 1},
      {"multipart whose signature is no CMS", "a.p7", B(kMultipart), true,
       CSignedFile::kStateOther, 1, 13},
      {"the same with bare LF", "a.p7", B(Lf(kMultipart)), true, CSignedFile::kStateOther, 1, 13},
      {"multipart cut inside its first part", "a.p7",
       B(std::string(kMultipart).substr(0, 170)), true, CSignedFile::kStateOther, 1, 13},
      {"opaque whose body is no CMS", "a.p7",
       B("Content-Type: application/x-pkcs7-mime; smime-type=signed-data; name=\"smime.p7m\"\n\nMIIB\n"),
       true, CSignedFile::kStateOther, 1, 13},
      {"opaque under the standard name", "a.p7",
       B("Content-Type: application/pkcs7-mime;\n smime-type=signed-data\n\nMIIB\n"), true,
       CSignedFile::kStateOther, 1, 13},
      {"a text that only mentions the type", "a.p7",
       B("Notes\n\nContent-Type: multipart/signed; boundary=\"x\"\n"), true, CSignedFile::kStateOther, 1},
      {"one base64 character", "a.p7", B("M"), true, CSignedFile::kStateNone, 0},
      {"one byte", "a.p7", B("\x01"), true, CSignedFile::kStateOther, 1},
      {"DER EnvelopedData", "a.bin", Hex("3010" "06092a864886f70d010703" "a000"), false,
       CSignedFile::kStateCmsEnveloped, 1},
  };
  for (const Case& c : cases) {
    CSignedFile file;
    EXPECT_EQ(file.LoadBytes(c.name, c.bytes, c.allow_enveloped), c.loaded) << c.what;
    EXPECT_EQ(file.GetState(), c.state) << c.what;
    EXPECT_EQ(file.signature_error(), c.signature_error) << c.what;
  }
}

TEST(SignedFile, EmptyOrMissingFilesFailToLoad) {
  test::TempDir dir;
  const auto empty = dir / "empty.p7";
  test::WriteFileBytes(empty, {});
  CSignedFile file;
  EXPECT_EQ(file.Load(empty.string(), true), 0);
  EXPECT_EQ(file.GetLastError(), 0xFFFFFFFFu);
  EXPECT_EQ(file.Load((dir / "none.p7").string(), true), 0);
  EXPECT_EQ(file.GetLastError(), 2u);
  EXPECT_EQ(file.Load(std::string(300, 'a'), true), 0);
  EXPECT_EQ(file.GetLastError(), 0xFFFFFFFFu);
}

// A whole read gives the file as it was at open, to the byte, or fails.
TEST(WinFile, AWholeReadOfAFileThatChangedSizeFails) {
  test::TempDir dir;
  const auto path = dir / "data.bin";
  Bytes bytes(600 * 1024 + 3);  // several of the reader's pieces
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  constexpr uintmax_t kUnchanged = UINTMAX_MAX;
  struct Case {
    const char* name;
    uintmax_t size_after_open;  // kUnchanged: left as written
    uint32_t error;
  };
  const Case cases[] = {
      {"unchanged", kUnchanged, 0},
      {"cut short", bytes.size() - 1, 38},
      {"emptied", 0, 38},
      {"grown", bytes.size() + 1, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes(path, bytes);
    CWinFile file;
    ASSERT_EQ(file.Open(path.string(), CWinFile::GENERIC_READ), 1);
    if (c.size_after_open != kUnchanged) std::filesystem::resize_file(path, c.size_after_open);
    Bytes read;
    EXPECT_EQ(file.ReadAll(read), c.error == 0 ? 1 : 0);
    EXPECT_EQ(file.GetLastError(), c.error);
    if (c.error == 0) {
      EXPECT_EQ(read, bytes);
    }
  }
}

TEST(MimeMessage, SplitsHeadersAndWalksPartsWithinBounds) {
  CMimeMultipartSigned m;
  ASSERT_EQ(m.LoadMemory(B(kMultipart)), 0);
  EXPECT_TRUE(m.multipart());
  EXPECT_EQ(m.boundary(), "----B1");
  ASSERT_EQ(m.GetFirstPart(), 1);
  EXPECT_EQ(std::string(m.part().raw().begin(), m.part().raw().end()),
            "Content-Type: text/plain\r\n\r\nhello");
  EXPECT_EQ(std::string(m.part().body().begin(), m.part().body().end()), "hello");
  ASSERT_EQ(m.GetNextPart(), 1);
  Bytes signature;
  ASSERT_EQ(m.part().DecodedBody(signature), 0u);
  EXPECT_EQ(signature, Hex("3003020101"));
  EXPECT_EQ(m.GetNextPart(), 0) << "the closing boundary starts no part";

  // No blank line: one body, unless the message is multipart/signed.
  CMimeMessage plain;
  ASSERT_EQ(plain.LoadMemory(B("just text")), 0);
  EXPECT_FALSE(plain.header().has_value());
  EXPECT_EQ(plain.body().size(), 9u);
  CMimeMultipartSigned no_blank;
  EXPECT_NE(no_blank.LoadMemory(B("Content-Type: multipart/signed; boundary=\"x\"\r\n")), 0);
  CMimeMultipartSigned no_boundary;
  EXPECT_NE(no_boundary.LoadMemory(B("Content-Type: multipart/signed\r\n\r\nbody")), 0);
  // A boundary right at the end of the body starts no part past it.
  CMimeMultipartSigned cut;
  ASSERT_EQ(cut.LoadMemory(B("Content-Type: multipart/signed; boundary=\"b\"\r\n\r\n--b")), 0);
  EXPECT_EQ(cut.GetFirstPart(), 0);
}

TEST(MimeMessage, LineEndsOfEitherKindSplitAlike) {
  struct Blank {
    std::string text;
    int64_t body;
  };
  const Blank blanks[] = {
      {"a: 1\r\n\r\nbody", 8}, {"a: 1\n\nbody", 6},  {"a: 1\r\n\nbody", 7},
      {"a: 1\n\r\nbody", 7},    {"a: 1\r\n\r\n", -1}, {"a: 1\r\nb: 2\r\n", -1},
      {"a\r\r\nb", -1},         {"", -1},
  };
  for (const Blank& b : blanks) EXPECT_EQ(FindBodyStart(B(b.text)), b.body) << b.text;

  struct Canonical {
    std::string in, out;
  };
  const Canonical canonical[] = {
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},  // already canonical: unchanged
      {"a\r\r\nb\r", "a\r\nb"},        // CRs ending a line go, as openssl drops them
      {"a\rb\n\n", "a\rb\r\n\r\n"},  // a CR inside a line stays
      {std::string("\0\xff\n", 3), std::string("\0\xff\r\n", 4)},
      {"", ""},
  };
  for (const Canonical& c : canonical) {
    const Bytes once = CanonicalLineEnds(B(c.in));
    EXPECT_EQ(std::string(once.begin(), once.end()), c.out);
    EXPECT_EQ(CanonicalLineEnds(once), once) << "never converted twice";
  }

  // A binary part is signed as it stands; any other in canonical form.
  for (const bool binary : {false, true}) {
    CMimeMessage part;
    const std::string header = binary ? "Content-Transfer-Encoding: binary\n\n" : "Content-Type: text/plain\n\n";
    ASSERT_EQ(part.LoadMemory(B(header + "a\nb")), 0);
    EXPECT_EQ(SignedPartBytes(part), binary ? B(header + "a\nb") : CanonicalLineEnds(B(header + "a\nb")));
  }

  // The LF message walks into the same parts as the CR LF one.
  CMimeMultipartSigned crlf, lf;
  ASSERT_EQ(crlf.LoadMemory(B(kMultipart)), 0);
  ASSERT_EQ(lf.LoadMemory(B(Lf(kMultipart))), 0);
  EXPECT_EQ(lf.boundary(), "----B1");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(i == 0 ? crlf.GetFirstPart() : crlf.GetNextPart(), 1);
    ASSERT_EQ(i == 0 ? lf.GetFirstPart() : lf.GetNextPart(), 1);
    EXPECT_EQ(std::string(lf.part().body().begin(), lf.part().body().end()),
              Lf(std::string(crlf.part().body().begin(), crlf.part().body().end())));
    EXPECT_EQ(CanonicalLineEnds(lf.part().raw()), Bytes(crlf.part().raw().begin(), crlf.part().raw().end()));
  }
  EXPECT_EQ(lf.GetNextPart(), 0);

  // Delimiters count only at the start of a line; padding after one is
  // skipped; a boundary must end its header line.
  CMimeMultipartSigned padded;
  ASSERT_EQ(padded.LoadMemory(B("Content-Type: multipart/signed; boundary=\"b\"\n\n"
                                "x--b\n--b \t\nContent-Type: text/plain\n\nhi --b\n--b--\n\n")),
            0);
  ASSERT_EQ(padded.GetFirstPart(), 1);
  EXPECT_EQ(std::string(padded.part().body().begin(), padded.part().body().end()), "hi --b");
  CMimeMultipartSigned open_quote;
  EXPECT_NE(open_quote.LoadMemory(B("Content-Type: multipart/signed; boundary=\"b\n\"\n\nbody")), 0);
  for (const size_t length : {70u, 71u}) {
    CMimeMultipartSigned m;
    EXPECT_EQ(m.LoadMemory(B("Content-Type: multipart/signed; boundary=\"" + std::string(length, 'b') +
                             "\"\n\nbody")) == 0,
              length <= 70)
        << length;
  }

  EXPECT_TRUE(IsOpaqueSmime(B("Content-Type: application/x-pkcs7-mime; name=\"smime.p7m\"\n\nMIIB")));
  EXPECT_FALSE(IsOpaqueSmime(B("Content-Type: application/x-pkcs7-mime; name=\"smime.p7m\" \n\nMIIB")));
}

TEST(SignedMimeDoc, PackagesKeepTheSignedPartWithItsHeaders) {
  test::TempDir dir;
  const auto package = dir / "umowa.vestPro";
  test::WriteFileText(package, kMultipart);
  CMessageTable catalog(1045);
  ScriptedPrompt prompt;
  CSignedMimeDoc doc(package.string(), catalog, prompt);
  ASSERT_TRUE(doc.path().has_value());
  EXPECT_EQ(doc.kind(), CSignedMimeDoc::kMultipartSigned);
  EXPECT_EQ(std::string(doc.signed_content().begin(), doc.signed_content().end()),
            "Content-Type: text/plain\r\n\r\nhello");
  EXPECT_EQ(std::string(doc.document().begin(), doc.document().end()), "hello");
  // The base64 signature part is decoded before it becomes DER.
  EXPECT_EQ(Bytes(doc.signature().begin(), doc.signature().end()), Hex("3003020101"));

  const auto broken = dir / "broken.pem";
  test::WriteFileText(broken, "Content-Type: multipart/signed\r\n\r\nno boundary");
  CSignedMimeDoc failed(broken.string(), catalog, prompt);
  EXPECT_FALSE(failed.path().has_value());
  EXPECT_TRUE(failed.signature().empty());

  // Signed under a type this reader does not take: a failure, not a
  // document without signatures.
  const auto standard = dir / "standard.pem";
  test::WriteFileText(standard, "Content-Type: application/pkcs7-mime; smime-type=signed-data\n\nMIIB\n");
  EXPECT_FALSE(CSignedMimeDoc(standard.string(), catalog, prompt).path().has_value());
  const auto lf = dir / "umowa_lf.vestPro";
  test::WriteFileText(lf, Lf(kMultipart));
  CSignedMimeDoc doc_lf(lf.string(), catalog, prompt);
  ASSERT_TRUE(doc_lf.path().has_value());
  EXPECT_EQ(Bytes(doc_lf.signed_content().begin(), doc_lf.signed_content().end()),
            Bytes(doc.signed_content().begin(), doc.signed_content().end()))
      << "signed over the CR LF form";
  EXPECT_EQ(std::string(doc_lf.document().begin(), doc_lf.document().end()), "hello");
}

// The names in a folder.
std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

mode_t ModeOf(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Saving a document's content replaces the chosen file only once every new
// byte is written. Cut off midway (by a file size limit in a child, as a full
// disk would), the save is told as failed and the old file stays byte for
// byte, its mode too, with nothing left beside it; whole, it replaces the
// file, also reached through a link (which stays a link), keeping its mode;
// a new file gets the mode of any new file.
TEST(SaveContent, ACutOffSaveKeepsTheOldFileAndAWholeOneReplacesIt) {
  Bytes fresh(200 * 1024);
  for (size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<uint8_t>('a' + i % 26);
  const Bytes old = B("Umowa najmu, wersja podpisana przez Jana Wierzbę.\n");
  test::TempDir source;
  const auto package = source / "umowa.vestPro";
  test::WriteFileText(package, kMultipart);
  const CMessageTable catalog(1045);

  // Each writer gives 1 when saved, 0 when it failed and said so, 2 otherwise.
  struct Writer {
    const char* name;
    std::function<int(const std::string& path)> save;
  };
  const Writer writers[] = {
      {"signed file content",
       [&](const std::string& path) {
         CSignedFile file;
         file.SetContent(fresh);
         const int saved = file.SaveContent(path);
         return saved == 1 ? 1 : file.GetLastError() != 0 ? 0 : 2;
       }},
      {"signed file data",
       [&](const std::string& path) {
         CSignedFile file;
         if (file.LoadBytes("letter.bin", fresh, false) != 1 || file.GetState() != CSignedFile::kStateOther)
           return 2;
         const int saved = file.SaveData(path);
         return saved == 1 ? 1 : file.GetLastError() != 0 ? 0 : 2;
       }},
      {"package content",
       [&](const std::string& path) {
         ScriptedPrompt prompt;
         CSignedMimeDoc doc(package.string(), catalog, prompt);
         if (!doc.path()) return 2;
         doc.set_document(fresh);
         doc.SaveContent(path, catalog, prompt);
         if (prompt.shown().empty()) return 1;
         return prompt.shown().size() == 1 && prompt.shown()[0].id == 256 &&
                        prompt.shown()[0].text.ends_with("\n " + path)
                    ? 0
                    : 2;
       }},
  };
  const mode_t umask_now = ::umask(0);
  ::umask(umask_now);

  for (const Writer& w : writers) {
    SCOPED_TRACE(w.name);
    test::TempDir dir;
    const auto target = dir / "umowa.txt";
    test::WriteFileBytes(target, old);
    std::filesystem::permissions(target, static_cast<std::filesystem::perms>(0640));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit fsize{64 * 1024, 64 * 1024};
      ::setrlimit(RLIMIT_FSIZE, &fsize);
      ::_exit(w.save(target.string()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-off save was not told as failed";
    EXPECT_EQ(test::ReadFileBytes(target), old);
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"umowa.txt"});

    const auto link = dir / "skrot.txt";
    std::filesystem::create_symlink("umowa.txt", link);
    EXPECT_EQ(w.save(link.string()), 1);
    EXPECT_EQ(test::ReadFileBytes(target), fresh);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ModeOf(target), 0640u);
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"skrot.txt", "umowa.txt"}));

    const auto added = dir / "nowy.txt";
    EXPECT_EQ(w.save(added.string()), 1);
    EXPECT_EQ(test::ReadFileBytes(added), fresh);
    EXPECT_EQ(ModeOf(added), 0666u & ~umask_now);
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"nowy.txt", "skrot.txt", "umowa.txt"}));
  }
}

TEST(SignedSource, UnreadableSignaturesAreNeverCorrect) {
  CMessageTable catalog(1033);
  CSignatureVerifier verifier(catalog, false, {});
  // An XML source without a document: no kind, never correct.
  SignedSource xml(nullptr, 0, nullptr, 0, true);
  EXPECT_EQ(xml.kind(), SignedSource::kNone);
  uint32_t count = 0;
  EXPECT_EQ(xml.GetSignerCount(&count), 0xFFFFFFFFu);
  EXPECT_EQ(xml.CreateSignerRef(), nullptr);
  SourceVerdict v = VerifySource(verifier, xml);
  EXPECT_EQ(v.worst, kClassInvalid);
  EXPECT_FALSE(v.message.empty());
  // A DER header that promises a SignedData and holds none.
  const Bytes bad = Hex("3082001006092a864886f70d010702a003020100");
  SignedSource cms(bad.data(), static_cast<uint32_t>(bad.size()), nullptr, 0, false);
  EXPECT_EQ(cms.CreateSignerRef(), nullptr);
  EXPECT_NE(cms.tree_status(), 0u);
  v = VerifySource(verifier, cms);
  EXPECT_EQ(v.worst, kClassInvalid);
  EXPECT_FALSE(v.message.empty());
  EXPECT_TRUE(v.items.empty());
}

TEST(SignatureVerifier, XadesFormSuffixes) {
  const CMessageTable polish(1045), english(1033);
  struct Case {
    int forms;
    const char* label;
    const char* text;
  };
  const Case cases[] = {
      {-1, "", ""},
      {100, "", ""},  // no forms known
      {0, " - XAdES", " (XAdES)"},
      {1, " - XAdES-C", " (XAdES-C)"},
      {2, " - XAdES-X", " (XAdES-X)"},
      {3, " - XAdES-X", " (XAdES-X)"},
      {4, " - XAdES-X-L", " (XAdES-X-L)"},
      {7, " - XAdES-X-L", " (XAdES-X-L)"},
      {8, " - XAdES-A\tWażny do: 2030-01-01 00:00:00 (UTC)", " (XAdES-A)         Ważny do: 2030-01-01 00:00:00 (UTC)"},
      {15, " - XAdES-A\tWażny do: 2030-01-01 00:00:00 (UTC)", " (XAdES-A)         Ważny do: 2030-01-01 00:00:00 (UTC)"},
  };
  for (const Case& c : cases) {
    const FormSuffix s = XadesFormSuffix(polish, c.forms, "2030-01-01 00:00:00 (UTC)");
    EXPECT_EQ(s.label, c.label) << c.forms;
    EXPECT_EQ(s.text, c.text) << c.forms;
  }
  EXPECT_EQ(XadesFormSuffix(english, 9, "").text, " (XAdES-A)         Valid till: ");
}

TEST(SignatureVerifier, CrlAddressesAreTrimmedLines) {
  const auto entries = ParseCrlUrls("http://a.example/x.crl\r\n\r\n  ldap://b.example/c  \r\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].url, "http://a.example/x.crl");
  EXPECT_EQ(entries[1].url, "ldap://b.example/c");
  EXPECT_EQ(entries[1].name, entries[1].url);
  // A list edited on Linux.
  const auto edited = ParseCrlUrls("http://a.example/x.crl\nldap://b.example/c\n");
  ASSERT_EQ(edited.size(), 2u);
  EXPECT_EQ(edited[0].url, "http://a.example/x.crl");
  EXPECT_EQ(edited[1].url, "ldap://b.example/c");
  EXPECT_EQ(ClassOfStatus(0), kClassCorrect);
  EXPECT_EQ(ClassOfStatus(0x80092012), kClassIncomplete);
  EXPECT_EQ(ClassOfStatus(0x800B010A), kClassIncomplete);
  EXPECT_EQ(ClassOfStatus(0x80091007), kClassInvalid);
  EXPECT_EQ(ClassOfStatus(0xFFFFFFFF), kClassInvalid);
}

}  // namespace
}  // namespace vel::app
