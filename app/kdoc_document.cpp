#include "app/kdoc_document.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/file_io.h"
#include "app/page_bitmap.h"
#include "app/registry_names.h"
#include "app/viewer_app.h"
#include "cabinet/cabinet.h"
#include "cryptolib/status.h"
#include "platform/file_replace.h"
#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::app {

namespace fs = std::filesystem;
using platform::FdPath;
using platform::Win32FromErrno;

namespace {

// A working folder removed with its files when it goes out of scope, locked
// for its life so that a start-up never takes it for a leftover.
class WorkDir {
 public:
  WorkDir() : folder_(kWorkFolderPrefix) {}
  const std::string& path() const { return folder_.path(); }
  uint32_t error() const { return folder_.error() != 0 ? folder_.error() : platform::kErrorPathNotFound; }

 private:
  platform::WorkFolder folder_;
};

std::string PageName(const std::string& dir, size_t n, const std::string& format) {
  char name[32];
  std::snprintf(name, sizeof name, "/%05zu.%s", n, LowerAscii(format).c_str());
  return dir + name;
}

// Why a document cannot be opened for reading and writing. A folder is no
// document; a read-only mount is a place the document cannot be written, as a
// file without write permission is, so both get the same offer of a copy.
uint32_t OpenError(int err) {
  if (err == EISDIR) return platform::kErrorDirectory;
  if (err == EROFS) return platform::kErrorAccessDenied;
  return Win32FromErrno(err);
}

// A member's name from the container as it may be shown: bounded, without
// control characters.
std::string ShownName(const std::string& name) {
  std::string out;
  for (const char c : name.substr(0, 80)) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return name.size() > 80 ? out + "..." : out;
}

}  // namespace

std::string FindMember(const std::string& dir, const std::string& name) {
  const std::string want = LowerAscii(name);
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string n = it->path().filename().string();
    if (LowerAscii(n) == want) return n;
  }
  return {};
}

std::vector<std::string> PageFiles(const std::string& dir, const std::string& format) {
  const std::string ext = "." + LowerAscii(format);
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string n = LowerAscii(it->path().filename().string());
    if (n.size() == 9 && n.compare(5, 4, ext) == 0) out.push_back(dir + "/" + it->path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

uint64_t DeclaredBytes(const std::vector<cabinet::CabinetMember>& members) {
  uint64_t total = 0;
  for (const auto& m : members) total += m.size;
  return total;
}

uint32_t CheckUnpackedSize(const std::vector<cabinet::CabinetMember>& members, uint64_t free_bytes) {
  for (const auto& m : members)
    if (m.size > kMaxMemberBytes) return platform::kErrorFileTooLarge;
  const uint64_t total = DeclaredBytes(members);
  if (total > kMaxContainerBytes) return platform::kErrorFileTooLarge;
  return total > free_bytes ? uint32_t{platform::kErrorDiskFull} : 0;
}

uint32_t CreateCabinetAt(const std::vector<std::string>& members, const std::string& target) {
  std::vector<const char*> names;
  for (const auto& m : members) names.push_back(m.c_str());
  return cabinet::CreateCabinet(static_cast<int>(names.size()), names.data(), target.c_str()) ? 0
                                                                                              : kDocRewriteFailed;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::string SignedOriginalName(const std::string& container, int n, bool english) {
  const fs::path p(container);
  std::string label = english ? "signed" : "podpisany";
  if (n > 1) label += " " + std::to_string(n);
  return (p.parent_path() / (p.stem().string() + " (" + label + ")" + p.extension().string())).string();
}

void RemoveLeftoversBeside(const std::string& path) {
  const fs::path folder = fs::path(path).parent_path();
  platform::RemoveAbandonedSiblings(folder.empty() ? "." : folder.string(), kSiblingPrefix);
  std::string real;
  if (platform::ResolveLinks(path, &real) == 0) {
    const fs::path real_folder = fs::path(real).parent_path();
    if (real_folder != folder) platform::RemoveAbandonedSiblings(real_folder.string(), kSiblingPrefix);
  }
}

void RemoveAbandonedKdocFolders() { platform::RemoveAbandonedWorkFolders(kWorkFolderPrefix); }

std::string ContainerPathForJob(const std::string& job) {
  // Only a copy is lower-cased: the path itself keeps its spelling.
  const std::string lower = LowerAscii(job);
  if (lower.size() >= 5 && lower.compare(lower.size() - 5, 5, ".kdsc") == 0) {
    std::string out = job;
    out[out.size() - 2] = 'o';
    return out;
  }
  return job + ".kdoc";
}

CSignedDocObj::CSignedDocObj(const CMessageTable& catalog, Prompt& prompt)
    : signature_list_(catalog), catalog_(catalog), prompt_(prompt) {}

CSignedDocObj::~CSignedDocObj() {
  signatures_.reset();  // reads the page list's content
  page_list_.reset();
  CloseDocument();
}

void CSignedDocObj::CloseDocument() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void CSignedDocObj::SetProxy(const ProxySettings& proxy) {
  proxy_given_ = true;
  proxy_ = proxy;
  signature_list_.SetProxy(proxy);
}

uint32_t CSignedDocObj::FailOpen(uint32_t error, const std::string& reason) {
  last_error_ = error;
  std::string format;
  catalog_.Get(format, 274, "Wystąpił błąd 0x%08X\n%s\npodczas próby otwarcia dokumentu %s.");
  error_text_ = FormatText(format.c_str(), error, reason.c_str(), path_.c_str());
  return error;
}

uint32_t CSignedDocObj::FailAt(const std::string& path, uint32_t error, const std::string& reason) {
  const std::string saved = path_;
  path_ = path;
  FailOpen(error, reason);
  path_ = saved;
  return error;
}

bool CSignedDocObj::English() const { return catalog_.GetLanguageId() == kLangIdEnglish; }

std::string CSignedDocObj::HardLinkText(const std::string& path, uint64_t links) const {
  // A new file renamed over one name would leave the other names with the old
  // document: they would no longer be the same file.
  return FormatText(English() ? "The file %s has other names as well (%llu hard links).\nIt has not been changed, so "
                                "that all its names still show the same document."
                              : "Plik %s ma także inne nazwy (dowiązań twardych: %llu).\nNie został zmieniony, aby "
                                "wszystkie jego nazwy nadal wskazywały ten sam dokument.",
                    path.c_str(), static_cast<unsigned long long>(links));
}

uint32_t CSignedDocObj::ExtractContainer(int fd, const std::string& dir, std::string* reason) const {
  const bool english = English();
  // Only a damaged container is one "without a signature or with a damaged
  // one"; a refused name or a failed write says what happened.
  const auto failed = [&](const cabinet::CabinetFault& fault) -> uint32_t {
    if (fault.kind == cabinet::CabinetFault::kUnsafeName) {
      *reason = FormatText(english ? "The document holds a part named \"%s\", which would be written outside its "
                                     "folder; the document is refused."
                                   : "Dokument zawiera składnik o nazwie „%s”, który zostałby zapisany poza swoim "
                                     "folderem; dokument został odrzucony.",
                           ShownName(fault.member).c_str());
      return platform::kErrorInvalidName;
    }
    if (fault.kind == cabinet::CabinetFault::kWriteFailed) {
      const uint32_t error = Win32FromErrno(fault.system_error);
      *reason = FormatText(english ? "The document cannot be unpacked into the temporary folder %s: %s"
                                   : "Nie można rozpakować dokumentu do folderu plików tymczasowych %s: %s",
                           platform::TempFolder().c_str(), catalog_.ErrorText(error).c_str());
      return error;
    }
    catalog_.Get(*reason, 421, "Nieprawidłowa zawartość pliku – brak podpisu lub podpis uszkodzony.");
    return kDocUnreadable;
  };
  // Sizes are checked from the file records before a byte is written: a small
  // container may declare gigabytes.
  const std::string cab = FdPath(fd);
  std::vector<cabinet::CabinetMember> members;
  cabinet::CabinetFault fault;
  if (!cabinet::ListCabinet(cab.c_str(), members, &fault)) return failed(fault);
  uint64_t free_bytes = 0;
  uint32_t error = platform::FreeSpace(dir, &free_bytes);
  if (error != 0) {
    *reason = catalog_.ErrorText(error);
    return error;
  }
  error = CheckUnpackedSize(members, free_bytes);
  if (error == 0) return cabinet::ExtractCabinet(cab.c_str(), dir.c_str(), &fault) ? 0 : failed(fault);

  constexpr uint64_t kMb = uint64_t{1} << 20;
  if (error == platform::kErrorFileTooLarge) {
    *reason = english ? "The content of the file is too large - a part of the document may have at most 256 MB "
                        "and the whole document 1 GB."
                      : "Zawartość pliku jest zbyt duża – składnik dokumentu może mieć najwyżej 256 MB, "
                        "a cały dokument 1 GB.";
  } else {
    *reason = FormatText(english ? "Not enough space in the temporary folder %s - unpacking the document needs "
                                   "%llu MB, %llu MB are free."
                                 : "Za mało miejsca w folderze plików tymczasowych %s – rozpakowanie dokumentu "
                                   "wymaga %llu MB, wolne jest %llu MB.",
                         platform::TempFolder().c_str(),
                         static_cast<unsigned long long>((DeclaredBytes(members) + kMb - 1) / kMb),
                         static_cast<unsigned long long>(free_bytes / kMb));
  }
  return error;
}

uint32_t CSignedDocObj::LockDocument(int fd) {
  // Others may read the open document but not write it: they take the same lock.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? platform::kErrorSharingViolation : Win32FromErrno(errno);
  }
  return 0;
}

uint32_t CSignedDocObj::Open(const std::string& path, int mode) {
  const uint32_t error = OpenFile(path);
  if (error != 0) return error;
  return mode == 0 ? BuildFromJob(ContainerPathForJob(path)) : OpenContainer();
}

uint32_t CSignedDocObj::OpenJob(const std::string& job, const std::string& container) {
  const uint32_t error = OpenFile(job);
  return error != 0 ? error : BuildFromJob(container);
}

uint32_t CSignedDocObj::OpenFile(const std::string& path) {
  last_error_ = 0;
  error_text_.clear();
  signature_list_.VerifyAll(nullptr);
  signatures_.reset();
  signatures_error_ = platform::kErrorFileNotFound;
  page_list_.reset();
  has_viewer_ = false;
  CloseDocument();
  path_ = path;

  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  uint32_t error = fd < 0 ? OpenError(errno) : LockDocument(fd);
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    return FailOpen(error, catalog_.ErrorText(error));
  }
  fd_ = fd;
  return 0;
}

uint32_t CSignedDocObj::OpenContainer() {
  // What a killed signing left beside this container goes now; files still
  // being written are locked by their writers and stay.
  RemoveLeftoversBeside(path_);
  WorkDir dir;
  if (dir.path().empty()) return FailOpen(dir.error(), catalog_.ErrorText(dir.error()));
  std::string reason;
  if (const uint32_t error = ExtractContainer(fd_, dir.path(), &reason); error != 0) {
    CloseDocument();
    return FailOpen(error, reason);
  }
  page_list_ = std::make_unique<CPageList>(dir.path());
  has_viewer_ = !FindMember(dir.path(), kViewerMember).empty();
  ReadSignatures(dir.path());
  signature_list_.VerifyAll(signatures_.get());
  return 0;
}

uint32_t CSignedDocObj::ReadSignatures(const std::string& dir) {
  signatures_.reset();
  const std::string name = FindMember(dir, kSignaturesMember);
  if (name.empty()) return signatures_error_ = platform::kErrorFileNotFound;
  std::vector<uint8_t> bytes;
  {
    UniqueFd fd(::open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return signatures_error_ = Win32FromErrno(errno);
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) return signatures_error_ = platform::kErrorInvalidData;
      done += static_cast<size_t>(n);
    }
  }
  const auto content = page_list_ ? page_list_->content() : std::span<const uint8_t>();
  if (bytes.size() > UINT32_MAX) return signatures_error_ = platform::kErrorInvalidData;
  // The message takes the member's bytes over rather than a second copy.
  auto message = std::make_unique<crypto::DetachedCmsMessage>(std::move(bytes), content);
  uint32_t count = 0;
  signatures_error_ = message->GetSignerCount(&count);
  if (signatures_error_ == 0) signatures_ = std::move(message);
  return signatures_error_;
}

uint32_t CSignedDocObj::BuildFromJob(const std::string& container) {
  const std::string format = PageGraphicsFormat();
  page_list_ = std::make_unique<CPageList>(fd_);
  // A truncated job or one without pages would become a container of nothing.
  if (page_list_->error() != 0 || page_list_->IsEmpty()) {
    return FailOpen(platform::kErrorInvalidData, crypto::GetErrorText(platform::kErrorInvalidData));
  }

  WorkDir dir;
  if (dir.path().empty()) return FailOpen(dir.error(), crypto::GetErrorText(dir.error()));
  std::vector<std::string> members;
  for (size_t n = 1; n <= page_list_->GetCount(); ++n) {
    const auto page = page_list_->GetAt(n - 1).bytes();
    const std::string name = PageName(dir.path(), n, format);
    uint32_t status = 0;
    if (format == kGraphicsFormatBmp) {
      CPageBitmap bitmap(page, &status);
      if (status == 0) status = WriteNewFile(name, bitmap.bytes());
    } else {
      status = WriteNewFile(name, page);
    }
    if (status != 0) return FailOpen(status, crypto::GetErrorText(status));
    members.push_back(name);
  }

  // The new cabinet lies beside the real container (behind any links), so
  // that it can be renamed over it.
  std::string real;
  uint32_t error = platform::ResolveLinks(container, &real);
  if (error != 0) return FailAt(container, error, crypto::GetErrorText(error));
  RemoveLeftoversBeside(container);
  int cab_fd = -1;
  const std::string cab = platform::MakeSiblingFile(real, kSiblingPrefix, &cab_fd, &error);
  if (cab.empty()) return FailOpen(error, crypto::GetErrorText(error));
  UniqueFd cab_owner(cab_fd);
  error = CreateCabinetAt(members, FdPath(cab_fd));
  if (error == 0 && ::fsync(cab_fd) != 0) error = Win32FromErrno(errno);
  if (error != 0) {
    ::unlink(cab.c_str());
    std::string reason;
    catalog_.Get(reason, 246, "Nieudana próba stworzenia archiwum!");
    return FailOpen(error, reason);
  }
  return last_error_ = MergeWithExisting(container, cab);
}

bool CSignedDocObj::PagesDiffer(const CPageList& job, const CPageList& existing) {
  if (job.GetCount() != existing.GetCount()) return true;
  const bool bmp = PageGraphicsFormat() == kGraphicsFormatBmp;
  for (size_t i = 0; i < job.GetCount(); ++i) {
    const auto a = job.GetAt(i).bytes();
    const auto b = existing.GetAt(i).bytes();
    if (!bmp && std::equal(a.begin(), a.end(), b.begin(), b.end())) continue;  // same records draw the same
    uint32_t status = 0;
    CPageBitmap new_page(a, &status);
    if (status != 0) return true;
    if (bmp) {
      // The container holds the bitmaps the writer made: compare with what it would make now.
      const auto img = new_page.bytes();
      if (!std::equal(img.begin(), img.end(), b.begin(), b.end())) return true;
      continue;
    }
    CPageBitmap old_page(b, &status);
    if (status != 0) return true;
    const auto x = new_page.bytes();
    const auto y = old_page.bytes();
    if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return true;
  }
  return false;
}

uint32_t CSignedDocObj::ReplaceWith(const std::string& container, const std::string& source,
                                   const platform::FileIdentity* identity, bool report) {
  // Renamed over the old container, never deleted first: a failure keeps the old one.
  const UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  uint32_t error = fd.get() < 0 ? Win32FromErrno(errno) : 0;
  if (error == 0)
    error = identity != nullptr ? platform::CarryIdentity(fd.get(), *identity) : platform::GiveNewFileMode(fd.get());
  if (error == 0) error = platform::CommitFile(fd.get(), source, container);
  if (error != 0 && report) {
    std::string format;
    catalog_.Get(format, 254, "Brak dostępu do pliku %s !");
    prompt_.ShowMessage(254, FormatText(format.c_str(), container.c_str()), kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
  }
  return error;
}

uint32_t CSignedDocObj::KeepSignedOriginal(int old_fd, const std::string& container,
                                           const platform::FileIdentity& identity, std::string* kept) {
  // Written whole under a hidden name first, then given its name in one step
  // that never takes a name another file has.
  uint32_t error = 0;
  int fd = -1;
  const std::string tmp = platform::MakeSiblingFile(container, kSiblingPrefix, &fd, &error);
  if (tmp.empty()) return error;
  const UniqueFd owner(fd);
  error = CopyAll(old_fd, fd);
  if (error == 0) error = platform::CarryIdentity(fd, identity);
  if (error == 0 && ::fsync(fd) != 0) error = Win32FromErrno(errno);
  constexpr int kMaxNames = 1000;
  for (int n = 1; error == 0 && n <= kMaxNames; ++n) {
    const std::string name = SignedOriginalName(container, n, English());
    error = platform::RenameNoReplace(tmp, name);
    if (error == 0) {
      *kept = name;
      return 0;
    }
    if (error == platform::kErrorFileExists && n < kMaxNames) error = 0;
  }
  ::unlink(tmp.c_str());
  return error;
}

uint32_t CSignedDocObj::MergeWithExisting(const std::string& given, const std::string& new_cabinet) {
  struct Cleanup {
    const std::string& path;
    ~Cleanup() { ::unlink(path.c_str()); }  // gone after a rename too; harmless then
  } cleanup{new_cabinet};

  // The real file behind any links is the one replaced; the links stay.
  std::string container;
  if (const uint32_t error = platform::ResolveLinks(given, &container); error != 0)
    return FailAt(given, error, crypto::GetErrorText(error));
  const std::string format = PageGraphicsFormat();
  struct stat st;
  if (::lstat(container.c_str(), &st) != 0 && errno == ENOENT)
    return ReplaceWith(container, new_cabinet, nullptr, false);

  // The existing container, read through its own descriptor.
  UniqueFd old_fd(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
  platform::FileIdentity identity;
  if (old_fd.get() < 0 || platform::IdentityOf(old_fd.get(), &identity) != 0) {
    const uint32_t error = Win32FromErrno(errno);
    return FailOpen(error, crypto::GetErrorText(error));
  }
  bool had_signatures = false;
  bool changed = true;
  {
    WorkDir dir;
    if (dir.path().empty()) return FailOpen(dir.error(), crypto::GetErrorText(dir.error()));
    std::string reason;
    if (const uint32_t error = ExtractContainer(old_fd.get(), dir.path(), &reason); error != 0) {
      // Not a container we can read: it stays as it is, and so does the job.
      return FailAt(given, error, reason);
    }
    had_signatures = !FindMember(dir.path(), kSignaturesMember).empty();
    CPageList existing(dir.path(), format);
    changed = PagesDiffer(*page_list_, existing);
  }
  if (!changed) return 0;
  if (identity.links > 1) return FailAt(given, kDocRewriteFailed, HardLinkText(given, identity.links));

  if (!had_signatures) return ReplaceWith(container, new_cabinet, &identity, true);
  std::string question;
  catalog_.Get(question, 211, "Dokument został zmieniony.\nCzy chcesz usunąć dotychczasowe podpisy?");
  const bool drop =
      prompt_.ShowMessage(211, question, kAppCaption, MB_YESNO | MB_ICONEXCLAMATION | MB_SYSTEMMODAL) == IDYES;

  // Either answer gives up the signed document under this name: it is kept
  // whole beside it first, or nothing changes.
  std::string kept;
  if (const uint32_t error = KeepSignedOriginal(old_fd.get(), container, identity, &kept); error != 0) {
    prompt_.ShowMessage(kMsgSignedOriginalNotKept,
                        FormatText(English() ? "A copy of the signed document %s could not be kept (error "
                                               "0x%08X).\nThe document has not been changed."
                                             : "Nie udało się zachować kopii podpisanego dokumentu %s (błąd "
                                               "0x%08X).\nDokument nie został zmieniony.",
                                   given.c_str(), error),
                        kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
    return error;
  }
  uint32_t error = 0;
  if (drop) {
    error = ReplaceWith(container, new_cabinet, &identity, true);
  } else {
    // The old signatures next to the new pages: they no longer match them.
    WorkDir dir;
    if (dir.path().empty()) error = dir.error();
    const UniqueFd new_fd(::open(new_cabinet.c_str(), O_RDONLY | O_CLOEXEC));
    if (error == 0 &&
        (new_fd.get() < 0 || !cabinet::ExtractCabinet(FdPath(new_fd.get()).c_str(), dir.path().c_str()) ||
         !cabinet::ExtractCabinetFile(FdPath(old_fd.get()).c_str(), kSignaturesMember, dir.path().c_str())))
      error = kDocRewriteFailed;
    int tmp_fd = -1;
    std::string tmp;
    if (error == 0) tmp = platform::MakeSiblingFile(container, kSiblingPrefix, &tmp_fd, &error);
    const UniqueFd tmp_owner(tmp_fd);
    if (error == 0) {
      std::vector<std::string> members = PageFiles(dir.path(), format);
      const std::string signatures = FindMember(dir.path(), kSignaturesMember);
      if (!signatures.empty()) members.push_back(dir.path() + "/" + signatures);
      error = CreateCabinetAt(members, FdPath(tmp_fd));
      if (error == 0) error = platform::CarryIdentity(tmp_fd, identity);
      if (error == 0) error = platform::CommitFile(tmp_fd, tmp, container);
    }
    if (error != 0 && !tmp.empty()) ::unlink(tmp.c_str());
  }
  if (error != 0) {
    ::unlink(kept.c_str());  // the signed document is still under its own name
    return error;
  }
  prompt_.ShowMessage(kMsgSignedOriginalKept,
                      FormatText(English() ? "The signed document as it was before has been kept in the file:\n%s"
                                           : "Podpisany dokument w poprzedniej postaci zachowano w pliku:\n%s",
                                 kept.c_str()),
                      kAppCaption, MB_OK | MB_ICONASTERISK);
  return 0;
}

bool CSignedDocObj::IsAlreadySignedBy(crypto::Certificate& certificate) {
  if (!signatures_) return false;
  uint32_t count = 0;
  if (signatures_->GetSignerCount(&count) != 0) return false;
  for (uint32_t i = 0; i < count; ++i) {
    auto signer = signatures_->GetSignerCertificate(i);
    if (signer && signer->IsSame(certificate)) return true;
  }
  return false;
}

}  // namespace vel::app
