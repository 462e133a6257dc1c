// The program's own signed document: a KDOC container (a cabinet) of page files
// and a detached CMS "signatures.p7b" over their page stream. Opens a container
// for viewing and signing, turns a printer job into a container and reconciles
// it with one of the same name, and adds signatures (kdoc_signing.cpp).
//
// Every change of a container on disk writes the new cabinet beside it, flushes
// it and renames it over the old one, so that whatever happens the file is the
// old container or the new one. The rename goes over the real file behind any
// links, and the new file gets the old one's owner, group and mode; a file
// with other hard links is refused rather than split from them. A signed
// container whose pages a new printer job replaces is first kept whole under
// a name of its own beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/file_io.h"
#include "app/message_catalog.h"
#include "app/page_list.h"
#include "app/prompt.h"
#include "app/signature_list.h"
#include "cabinet/cabinet.h"
#include "cryptolib/certificate.h"
#include "cryptolib/cms_classes.h"
#include "platform/file_replace.h"

namespace vel::app {

// The member that holds the signatures, and the program's own file that a
// container may carry.
inline constexpr char kSignaturesMember[] = "signatures.p7b";
inline constexpr char kViewerMember[] = "DezazudIvirar.exe";

// Results besides system errors and library statuses.
inline constexpr uint32_t kDocUnreadable = 0xFFFFFFFF;
inline constexpr uint32_t kDocRewriteFailed = 1359;

// The working folders' prefix in the temporary folder.
inline constexpr char kWorkFolderPrefix[] = "kdoc";

// The program's own messages without a catalog text: where the signed
// original was kept, and why it could not be.
inline constexpr int kMsgSignedOriginalKept = 10211;
inline constexpr int kMsgSignedOriginalNotKept = 10212;

// What a container may unpack to: each member is read into memory whole, and
// the pages of a document all together.
inline constexpr uint64_t kMaxMemberBytes = uint64_t{256} << 20;
inline constexpr uint64_t kMaxContainerBytes = uint64_t{1} << 30;

// Whether members of these declared sizes may be unpacked into a folder with
// `free_bytes` free: 0, 223 (file too large) past a limit, or 112 (disk full).
uint32_t CheckUnpackedSize(const std::vector<cabinet::CabinetMember>& members, uint64_t free_bytes);

class CSignedDocObj {
 public:
  CSignedDocObj(const CMessageTable& catalog, Prompt& prompt);
  virtual ~CSignedDocObj();
  CSignedDocObj(const CSignedDocObj&) = delete;
  CSignedDocObj& operator=(const CSignedDocObj&) = delete;

  // The proxy of the time-stamp exchange and the certificate checks.
  void SetProxy(const ProxySettings& proxy);

  // Mode 1 opens the container at `path` and keeps it open and locked against
  // other writers; mode 0 turns the printer job file at `path` (a ".kdsc") into
  // the container of the same name with ".kdoc". Returns the last error.
  uint32_t Open(const std::string& path, int mode);
  // Mode 0 with the container named apart from the job file (a copy of the
  // printer's job may lie under any name).
  uint32_t OpenJob(const std::string& job, const std::string& container);

  // Reconciles the cabinet just built at `new_cabinet` with the container at
  // `container`: 0 or an error; the new cabinet is gone afterwards. A new
  // container gets the mode of a new file; a replaced one keeps its owner,
  // group and mode, and a signed one is first kept whole under
  // SignedOriginalName beside it (nothing changes when that fails).
  uint32_t MergeWithExisting(const std::string& container, const std::string& new_cabinet);

  bool IsAlreadySignedBy(crypto::Certificate& certificate);

  // Adds one signature (kdoc_signing.cpp). `wait_pid` is the waiting program's slot.
  uint32_t Sign(int* wait_pid);

  // The waiting program: started when the slot is 0, ended by its process id.
  static void StartWaitProgram(int* wait_pid);
  static void StopWaitProgram(int* wait_pid);

  uint32_t last_error() const { return last_error_; }
  const std::string& error_text() const { return error_text_; }
  const std::string& path() const { return path_; }
  const CPageList* page_list() const { return page_list_.get(); }
  // The signatures of the open container; null when it has none or they are not CMS.
  crypto::DetachedCmsMessage* signatures() const { return signatures_.get(); }
  // Why "signatures.p7b" could not be read: 0, 2 when the container has none,
  // or the library's status for bytes that are not a detached CMS message.
  uint32_t signatures_error() const { return signatures_error_; }
  // Every signature of the open container with its verdict.
  const CSignatureList& signature_list() const { return signature_list_; }
  // Whether the open container carries the program's own file.
  bool has_viewer() const { return has_viewer_; }

 protected:
  // Each step the signing flow reaches ("sign", "timestamp", "extracted",
  // "signatures-written", "cabinet-written", "renamed"); nothing here. A
  // subclass may watch them, to measure the steps or to stop the process at
  // a chosen moment of the rewrite.
  virtual void StepReached(const char* /*step*/) {}

 private:
  uint32_t OpenContainer();
  uint32_t OpenFile(const std::string& path);
  uint32_t BuildFromJob(const std::string& container);
  uint32_t FailOpen(uint32_t error, const std::string& reason);
  uint32_t ExtractContainer(int fd, const std::string& dir, std::string* reason) const;
  bool PagesDiffer(const CPageList& job, const CPageList& existing);
  uint32_t ReplaceWith(const std::string& container, const std::string& source,
                       const platform::FileIdentity* identity, bool report);
  uint32_t KeepSignedOriginal(int old_fd, const std::string& container, const platform::FileIdentity& identity,
                              std::string* kept);
  uint32_t FailAt(const std::string& path, uint32_t error, const std::string& reason);
  bool English() const;
  std::string HardLinkText(const std::string& path, uint64_t links) const;
  uint32_t ReadSignatures(const std::string& dir);
  uint32_t LockDocument(int fd);
  void CloseDocument();

  // Signing steps (kdoc_signing.cpp).
  int Ask(int id, const char* polish, uint32_t style, const std::string& arg = {});
  uint32_t FailSign(uint32_t error, int* wait_pid, int id = 279, const std::string& why = {});
  // Message 279 with the status's own text and number after it.
  std::string SignFailureText(uint32_t error) const;
  uint32_t TimeStamp(crypto::Certificate& certificate, int signer, int* wait_pid, bool* unknown_authority);
  uint32_t RewriteContainer(std::span<const uint8_t> signatures, std::string* reason);

  std::string error_text_;
  uint32_t last_error_ = 0;
  int fd_ = -1;  // the open document, locked against other writers
  std::string path_;
  std::unique_ptr<CPageList> page_list_;
  std::unique_ptr<crypto::DetachedCmsMessage> signatures_;
  CSignatureList signature_list_;
  uint32_t signatures_error_ = 2;
  bool has_viewer_ = false;
  const CMessageTable& catalog_;
  Prompt& prompt_;
  bool proxy_given_ = false;
  ProxySettings proxy_;
};

// The name of the container a printer job becomes: ".kdsc" turned into ".kdoc"
// (any other name gets ".kdoc" appended).
std::string ContainerPathForJob(const std::string& job);

// The name under which the signed original of `container` is kept: "name
// (podpisany).kdoc", in English "name (signed).kdoc", with the number `n`
// after the word from the second choice on.
std::string SignedOriginalName(const std::string& container, int n, bool english);

// Removes the hidden new files that killed processes left beside the
// container at `path` and beside the real file behind its links.
void RemoveLeftoversBeside(const std::string& path);
// Removes this user's working folders that killed processes left in the
// temporary folder (at start-up).
void RemoveAbandonedKdocFolders();

// The actual name of the member of `dir` named `name` without regard to case;
// empty when there is none.
std::string FindMember(const std::string& dir, const std::string& name);
// The page files of `dir` ("?????." and the format, without case), full
// paths in name order.
std::vector<std::string> PageFiles(const std::string& dir, const std::string& format);

// printf-style formatting of a catalog text with its arguments. (A plain
// pointer: va_start after a reference parameter is undefined.)
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vel::app
