// The KDOC document: printer jobs become containers, containers open with
// their pages and signatures, and a job printed again is reconciled with the
// container of its name without losing anything.
#include "app/kdoc_document.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QGuiApplication>

#include <cstdlib>

#include "app/tests/kdoc_fixture.h"

namespace vel::app {
namespace {

using test::Bytes;
using test::ReadFileBytes;
using test::WriteFileBytes;

class KdocDocumentTest : public ::testing::Test {
 protected:
  std::string Print(const std::vector<Bytes>& pages, const std::string& name = "doc") {
    const auto job = env / (name + ".kdsc");
    WriteFileBytes(job, test::PageStream(pages));
    CSignedDocObj doc(catalog, prompt);
    last = doc.Open(job.string(), 0);
    last_text = doc.error_text();
    std::filesystem::remove(job);
    return (env / (name + ".kdoc")).string();
  }
  std::vector<Bytes> PagesOf(const CPageList& list) {
    std::vector<Bytes> out;
    for (const auto& e : list.entries()) out.emplace_back(e.bytes().begin(), e.bytes().end());
    return out;
  }
  // The members of a container, extracted to a fresh folder.
  std::vector<std::string> Members(const std::string& cab, const std::string& sub) {
    const auto dir = env / sub;
    std::filesystem::create_directories(dir);
    EXPECT_EQ(cabinet::ExtractCabinet(cab.c_str(), dir.c_str()), 1);
    return test::Names(dir);
  }

  test::KdocEnvironment env;
  CMessageTable catalog{1033};
  ScriptedPrompt prompt;
  uint32_t last = 0;
  std::string last_text;
};

TEST_F(KdocDocumentTest, JobBecomesContainerThatOpensWithItsPages) {
  const auto pages = test::ThreePages();
  const std::string container = Print(pages);
  ASSERT_EQ(last, 0u) << last_text;
  EXPECT_EQ(Members(container, "x"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  // Nothing but the container is left beside it, and no working folder.
  EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"doc.kdoc", "reg", "tmp", "x"}));
  EXPECT_TRUE(env.TempIsEmpty());

  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u) << doc.error_text();
  EXPECT_EQ(PagesOf(*doc.page_list()), pages);
  EXPECT_EQ(doc.signatures(), nullptr);
  EXPECT_EQ(doc.signatures_error(), 2u);
  EXPECT_TRUE(env.TempIsEmpty());

  // Open and locked: a second opener is refused with the sharing error.
  CSignedDocObj other(catalog, prompt);
  EXPECT_EQ(other.Open(container, 1), 32u);
  EXPECT_NE(other.error_text().find("0x00000020"), std::string::npos) << other.error_text();
  EXPECT_TRUE(prompt.shown().empty());
}

TEST_F(KdocDocumentTest, BadJobsFailWithAReasonAndLeaveNothing) {
  Bytes truncated = test::PageStream(test::ThreePages());
  truncated.resize(truncated.size() - 10);
  Bytes past_end = test::PageStream({test::EmfPage(1)});
  past_end[4] = 0xFF;  // the page's size runs past the stream
  for (const Bytes& job : {truncated, past_end, test::PageStream({}), Bytes{1, 2}}) {
    const auto path = env / "bad.kdsc";
    WriteFileBytes(path, job);
    CSignedDocObj doc(catalog, prompt);
    EXPECT_EQ(doc.Open(path.string(), 0), 13u);
    EXPECT_NE(doc.error_text().find("0x0000000D"), std::string::npos) << doc.error_text();
    std::filesystem::remove(path);
    EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"reg", "tmp"}));
    EXPECT_TRUE(env.TempIsEmpty());
  }
}

TEST_F(KdocDocumentTest, UnreadableContainersAreRefusedAndKept) {
  // Not a cabinet; and a cabinet whose member would leave its folder.
  const auto junk = env / "junk.kdoc";
  WriteFileBytes(junk, Bytes(300, 0x41));
  const auto evil = env / "evil.kdoc";
  test::WriteCabinet(evil, env / "", {{"00001.emf", test::EmfPage(1)}, {"zz_x", {1, 2, 3}}});
  std::filesystem::remove(env / "00001.emf");
  std::filesystem::remove(env / "zz_x");
  Bytes evil_bytes = ReadFileBytes(evil);
  const std::string from = "zz_x";
  auto at = std::search(evil_bytes.begin(), evil_bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, evil_bytes.end());
  std::copy_n("../x", 4, at);
  WriteFileBytes(evil, evil_bytes);

  // Junk is a damaged container; the evil one is refused for its name, which
  // the message gives.
  const struct {
    std::filesystem::path path;
    uint32_t error;
    const char* code;
    const char* why;
  } cases[] = {
      {junk, 0xFFFFFFFFu, "0xFFFFFFFF", "does not contain signature"},
      {evil, 123u, "0x0000007B", "a part named \"../x\", which would be written outside its folder"},
  };
  for (const auto& c : cases) {
    const Bytes before = ReadFileBytes(c.path);
    CSignedDocObj doc(catalog, prompt);
    EXPECT_EQ(doc.Open(c.path.string(), 1), c.error);
    EXPECT_NE(doc.error_text().find(c.code), std::string::npos) << doc.error_text();
    EXPECT_NE(doc.error_text().find(c.why), std::string::npos) << doc.error_text();
    EXPECT_EQ(ReadFileBytes(c.path), before);
    EXPECT_TRUE(env.TempIsEmpty());
  }
  EXPECT_FALSE(std::filesystem::exists(env / "x"));
  EXPECT_FALSE(std::filesystem::exists(env.temp().parent_path() / "x"));

  // A signatures member that is not CMS: the pages open, the signatures are refused.
  const auto bad_sig = env / "badsig.kdoc";
  test::WriteCabinet(bad_sig, env / "", {{"00001.emf", test::EmfPage(1)}, {"signatures.p7b", {0x30, 0x03, 1}}});
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(bad_sig.string(), 1), 0u);
  EXPECT_EQ(doc.page_list()->GetCount(), 1u);
  EXPECT_EQ(doc.signatures(), nullptr);
  EXPECT_NE(doc.signatures_error(), 0u);
}

TEST_F(KdocDocumentTest, PrintingAgainReconcilesWithTheContainer) {
  const auto pages = test::ThreePages();
  const std::string container = (env / "doc.kdoc").string();
  const Bytes fake_signatures = {0x30, 0x80, 0x42};  // only its presence and bytes matter here
  auto make_signed = [&] {
    const auto dir = env / "src";
    std::filesystem::create_directories(dir);
    test::WriteCabinet(container, dir,
                       {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                        {"signatures.p7b", fake_signatures}});
    std::filesystem::remove_all(dir);
  };

  // The same job: the signed container stays as it was, without a question.
  make_signed();
  const Bytes original = ReadFileBytes(container);
  Print(pages);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(ReadFileBytes(container), original);
  EXPECT_TRUE(prompt.shown().empty());

  // A changed job, Yes: the signatures are dropped.
  const std::vector<Bytes> changed = {pages[0], test::EmfPage(7), pages[2]};
  prompt.QueueMessageAnswer(IDYES);
  Print(changed);
  EXPECT_EQ(last, 0u);
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[0].id, 211);
  EXPECT_EQ(prompt.shown()[1].id, kMsgSignedOriginalKept);
  EXPECT_EQ(prompt.shown()[0].style, MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
  EXPECT_EQ(Members(container, "yes"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  EXPECT_EQ(ReadFileBytes(env / "yes" / "00002.emf"), changed[1]);

  // The container is unsigned now: a changed job replaces it without a question.
  Print(pages);
  EXPECT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(Members(container, "plain"), (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf"}));
  EXPECT_EQ(ReadFileBytes(env / "plain" / "00002.emf"), pages[1]);

  // A changed job, No: the old signatures next to the new pages.
  make_signed();
  prompt.QueueMessageAnswer(IDNO);
  Print(changed);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(prompt.shown().size(), 4u);
  EXPECT_EQ(Members(container, "no"),
            (std::vector<std::string>{"00001.emf", "00002.emf", "00003.emf", "signatures.p7b"}));
  EXPECT_EQ(ReadFileBytes(env / "no" / "00002.emf"), changed[1]);
  EXPECT_EQ(ReadFileBytes(env / "no" / "signatures.p7b"), fake_signatures);

  // Only the container and the two signed originals are left, and no working folder.
  for (const auto& n : test::Names(env / ""))
    EXPECT_TRUE(n == "doc.kdoc" || n == "doc (signed).kdoc" || n == "doc (signed 2).kdoc" ||
                std::filesystem::is_directory(env / n))
        << n;
  EXPECT_TRUE(env.TempIsEmpty());
}

// Printing a changed job onto a signed container keeps the signed original
// whole beside it, under a name that says so and never over another file,
// whichever answer is given, and says where it is.
TEST_F(KdocDocumentTest, ASignedContainerIsKeptBeforeItsPagesAreReplaced) {
  const auto pages = test::ThreePages();
  const std::vector<Bytes> changed = {pages[0], test::EmfPage(7), pages[2]};
  const Bytes fake_signatures = {0x30, 0x80, 0x42};
  struct Case {
    const char* name;
    int answer;
    uint32_t language;
    std::vector<std::string> taken;  // files of the user's under the first names
    std::string kept;
    const char* message;
  } cases[] = {
      {"yes, English", IDYES, 1033, {}, "doc (signed).kdoc", "The signed document as it was before has been kept"},
      {"no, Polish", IDNO, 1045, {}, "doc (podpisany).kdoc", "Podpisany dokument w poprzedniej postaci zachowano"},
      {"names taken", IDYES, 1045, {"doc (podpisany).kdoc", "doc (podpisany 2).kdoc"}, "doc (podpisany 3).kdoc",
       "zachowano w pliku"},
  };
  for (const Case& c : cases) {
    const auto folder = env / c.name;
    std::filesystem::create_directories(folder / "src");
    const std::string container = (folder / "doc.kdoc").string();
    test::WriteCabinet(container, folder / "src",
                       {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                        {"signatures.p7b", fake_signatures}});
    std::filesystem::remove_all(folder / "src");
    ::chmod(container.c_str(), 0640);
    const Bytes original = ReadFileBytes(container);
    for (const auto& t : c.taken) test::WriteFileText(folder / t, "the user's own " + t);

    CMessageTable language(c.language);
    ScriptedPrompt answers;
    answers.QueueMessageAnswer(c.answer);
    WriteFileBytes(folder / "doc.kdsc", test::PageStream(changed));
    {
      CSignedDocObj doc(language, answers);
      EXPECT_EQ(doc.Open((folder / "doc.kdsc").string(), 0), 0u) << c.name << doc.error_text();
    }
    std::filesystem::remove(folder / "doc.kdsc");

    ASSERT_EQ(answers.shown().size(), 2u) << c.name;
    EXPECT_EQ(answers.shown()[0].id, 211) << c.name;
    EXPECT_EQ(answers.shown()[1].id, kMsgSignedOriginalKept) << c.name;
    EXPECT_NE(answers.shown()[1].text.find(c.message), std::string::npos) << answers.shown()[1].text;
    EXPECT_NE(answers.shown()[1].text.find((folder / c.kept).string()), std::string::npos) << answers.shown()[1].text;
    EXPECT_EQ(ReadFileBytes(folder / c.kept), original) << c.name;
    for (const auto& t : c.taken) EXPECT_EQ(test::ReadFileText(folder / t), "the user's own " + t) << c.name;
    // The job still became the container, which keeps its mode; so does the copy.
    const auto dir = std::string(c.name) + "-out";
    EXPECT_EQ(Members(container, dir).size(), c.answer == IDYES ? 3u : 4u) << c.name;
    EXPECT_EQ(ReadFileBytes(env / dir / "00002.emf"), changed[1]) << c.name;
    struct stat st;
    ASSERT_EQ(::stat(container.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << c.name;
    ASSERT_EQ(::stat((folder / c.kept).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << c.name;
    for (const auto& n : test::Names(folder)) EXPECT_NE(n.rfind(".kdoc", 0), 0u) << c.name << ": " << n;
  }
  EXPECT_TRUE(env.TempIsEmpty());
}

// When no name is left for the signed original, nothing changes.
TEST_F(KdocDocumentTest, WithoutAPlaceForTheSignedOriginalNothingChanges) {
  const auto pages = test::ThreePages();
  const std::string container = (env / "doc.kdoc").string();
  std::filesystem::create_directories(env / "src");
  test::WriteCabinet(container, env / "src",
                     {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]},
                      {"signatures.p7b", {0x30, 0x80, 0x42}}});
  std::filesystem::remove_all(env / "src");
  const Bytes original = ReadFileBytes(container);
  for (int n = 1; n <= 1000; ++n) test::WriteFileText(SignedOriginalName(container, n, true), "taken");
  prompt.QueueMessageAnswer(IDYES);
  Print({pages[0], test::EmfPage(7), pages[2]});
  EXPECT_EQ(last, 80u);
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[1].id, kMsgSignedOriginalNotKept);
  EXPECT_NE(prompt.shown()[1].text.find("The document has not been changed."), std::string::npos);
  EXPECT_EQ(ReadFileBytes(container), original);
  for (const auto& n : test::Names(env / "")) EXPECT_NE(n.rfind(".kdoc", 0), 0u) << n;
}

// A printed job that replaces a container replaces the real file behind a
// link and keeps it a link, keeps owner and mode, and refuses a file with
// other hard links.
TEST_F(KdocDocumentTest, AReplacedContainerKeepsItsIdentity) {
  const auto pages = test::ThreePages();
  const std::vector<Bytes> changed = {pages[0], test::EmfPage(7), pages[2]};
  const bool root = ::geteuid() == 0;
  std::filesystem::create_directories(env / "real");
  const std::string real = (env / "real" / "doc.kdoc").string();
  const std::string container = (env / "doc.kdoc").string();
  auto unsigned_container = [&](const std::string& at) {
    std::filesystem::create_directories(env / "src");
    test::WriteCabinet(at, env / "src", {{"00001.emf", pages[0]}, {"00002.emf", pages[1]}, {"00003.emf", pages[2]}});
    std::filesystem::remove_all(env / "src");
  };

  // Through a link: the real file gets the new pages, the link stays.
  unsigned_container(real);
  ::chmod(real.c_str(), 0664);
  if (root) {
    ASSERT_EQ(::chown(real.c_str(), 4321, 4322), 0);
  }
  std::filesystem::create_symlink("real/doc.kdoc", container);
  Print(changed);
  EXPECT_EQ(last, 0u) << last_text;
  EXPECT_TRUE(std::filesystem::is_symlink(container));
  Members(real, "through-link");
  EXPECT_EQ(ReadFileBytes(env / "through-link" / "00002.emf"), changed[1]);
  struct stat st;
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  for (const auto& dir : {env / "", env / "real"})
    for (const auto& n : test::Names(dir)) EXPECT_NE(n.rfind(".kdoc", 0), 0u) << n;

  // A second hard link: refused with the reason, both names unchanged.
  std::filesystem::remove(container);
  unsigned_container(container);
  ASSERT_EQ(::link(container.c_str(), (env / "twin.kdoc").c_str()), 0);
  const Bytes before = ReadFileBytes(container);
  Print(changed);
  EXPECT_EQ(last, kDocRewriteFailed);
  EXPECT_NE(last_text.find("2 hard links"), std::string::npos) << last_text;
  EXPECT_EQ(ReadFileBytes(container), before);
  EXPECT_EQ(ReadFileBytes(env / "twin.kdoc"), before);
  ASSERT_EQ(::stat(container.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
}

// A hidden new file that a killed run left beside a container goes when the
// container is next opened; one that a living writer holds stays.
TEST_F(KdocDocumentTest, OpeningAContainerClearsWhatAKilledRunLeftBesideIt) {
  const std::string container = Print(test::ThreePages());
  ASSERT_EQ(last, 0u);
  test::WriteFileText(env / ".kdocAbC123", "a killed run's new cabinet");
  test::WriteFileText(env / ".kdocAbC12", "not ours: another pattern");
  int held = -1;
  uint32_t error = 0;
  const std::string writing = platform::MakeSiblingFile(container, kSiblingPrefix, &held, &error);
  ASSERT_FALSE(writing.empty());
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open(container, 1), 0u);
  EXPECT_FALSE(std::filesystem::exists(env / ".kdocAbC123"));
  EXPECT_TRUE(std::filesystem::exists(env / ".kdocAbC12"));
  EXPECT_TRUE(std::filesystem::exists(writing));
  ::close(held);
}

TEST_F(KdocDocumentTest, AJobPrintedOverSomethingElseKeepsIt) {
  const auto other = env / "doc.kdoc";
  test::WriteFileText(other, "not a cabinet");
  Print(test::ThreePages());
  EXPECT_EQ(last, 0xFFFFFFFFu);
  EXPECT_NE(last_text.find("doc.kdoc"), std::string::npos);
  EXPECT_EQ(test::ReadFileText(other), "not a cabinet");
  EXPECT_EQ(test::Names(env / ""), (std::vector<std::string>{"doc.kdoc", "reg", "tmp"}));
}

TEST_F(KdocDocumentTest, LongPathsAreNoError) {
  std::filesystem::path deep = env / "";
  for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const auto job = deep / "Raport.kdsc";
  ASSERT_GT(job.string().size(), 300u);
  test::WriteFileBytes(job, test::PageStream(test::ThreePages()));
  {
    CSignedDocObj printed(catalog, prompt);
    ASSERT_EQ(printed.Open(job.string(), 0), 0u) << printed.error_text();
  }
  CSignedDocObj doc(catalog, prompt);
  ASSERT_EQ(doc.Open((deep / "Raport.kdoc").string(), 1), 0u) << doc.error_text();
  EXPECT_EQ(doc.page_list()->GetCount(), 3u);
}

TEST(KdocPaths, JobNamesBecomeContainerNames) {
  EXPECT_EQ(ContainerPathForJob("/Out/Doc.kdsc"), "/Out/Doc.kdoc");
  EXPECT_EQ(ContainerPathForJob("/Out/DOC.KDSC"), "/Out/DOC.KDoC");
  EXPECT_EQ(ContainerPathForJob("/Out/Doc"), "/Out/Doc.kdoc");
  const std::string deep = "/" + std::string(300, 'a') + "/Raport.kdsc";
  EXPECT_EQ(ContainerPathForJob(deep), "/" + std::string(300, 'a') + "/Raport.kdoc");
}

// The waiting program is found beside the program, started once per slot and
// ended by its process id.
TEST(WaitProgram, StartsOnceAndEndsByProcessId) {
  int slot = 0;
  CSignedDocObj::StartWaitProgram(&slot);
  ASSERT_GT(slot, 0);
  const int pid = slot;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename(), "VelSWait");
  CSignedDocObj::StartWaitProgram(&slot);
  EXPECT_EQ(slot, pid);
  CSignedDocObj::StopWaitProgram(&slot);
  EXPECT_EQ(slot, 0);
  EXPECT_NE(::kill(pid, 0), 0);  // ended and collected
  CSignedDocObj::StopWaitProgram(&slot);
  EXPECT_EQ(slot, 0);
}

}  // namespace
}  // namespace vel::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);  // fonts for the page renderer
  return RUN_ALL_TESTS();
}
