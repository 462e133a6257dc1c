// Adding a signature to the open container: choose a certificate, confirm the
// digest, sign or co-sign, optionally time-stamp, then rewrite the container.
// Every failure after the signature was made puts the previous signatures back,
// in memory and on disk.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "app/file_io.h"
#include "app/kdoc_document.h"
#include "app/registry_names.h"
#include "app/registry_settings.h"
#include "app/viewer_app.h"
#include "cabinet/cabinet.h"
#include "cryptolib/der_utils.h"
#include "cryptolib/status.h"
#include "cryptolib/timestamp_token.h"
#include "platform/process.h"
#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::app {

namespace fs = std::filesystem;
using platform::FdPath;
using platform::RegHive;
using platform::Win32FromErrno;

namespace {

constexpr const char kWaitProgram[] = "VelSWait";
// The results of the two refusals that have no status of their own: the new
// signer is missing from the message, or the time-stamp authority is not a
// qualified one.
constexpr uint32_t kSignerNotFound = 0x80092004;     // CRYPT_E_NOT_FOUND
constexpr uint32_t kUnknownAuthority = 0x800B0110;   // CERT_E_WRONG_USAGE

std::string UserValue(const char* name, const char* fallback) {
  return CRegString(std::string(kUserKey) + "\\" + name, fallback, true, RegHive::kCurrentUser).Get();
}
uint32_t UserDword(const char* name, uint32_t fallback) {
  return CRegDword(std::string(kUserKey) + "\\" + name, fallback, true, RegHive::kCurrentUser).Get();
}

// Reads a byte string through the size rule: asks for the size, then the bytes.
template <typename Get>
uint32_t ReadSized(Get get, std::vector<uint8_t>* out) {
  uint32_t size = 0;
  uint32_t status = get(nullptr, &size);
  if (status != 0 && status != platform::kErrorMoreData) return status;
  out->resize(size);
  status = get(out->data(), &size);
  if (status == 0) out->resize(size);
  return status;
}

}  // namespace

void CSignedDocObj::StartWaitProgram(int* wait_pid) {
  if (*wait_pid != 0) return;
  // The program's own copy first, then the search path.
  const std::string own = platform::OwnExecutablePath();
  std::error_code ec;
  const fs::path beside = fs::path(own).parent_path() / kWaitProgram;
  *wait_pid = platform::StartProgram(!own.empty() && fs::exists(beside, ec) ? beside.string() : kWaitProgram);
}

void CSignedDocObj::StopWaitProgram(int* wait_pid) {
  if (*wait_pid == 0) return;
  platform::TerminateProgram(*wait_pid);
  *wait_pid = 0;
}

int CSignedDocObj::Ask(int id, const char* polish, uint32_t style, const std::string& arg) {
  std::string text;
  catalog_.Get(text, id, polish);
  if (!arg.empty()) text = FormatText(text.c_str(), arg.c_str());
  return prompt_.ShowMessage(id, text, kAppCaption, style);
}

std::string CSignedDocObj::SignFailureText(uint32_t error) const {
  std::string text;
  catalog_.Get(text, 279, "Próba podpisu zakończona błędem!");
  // The reason, so that a cancelled PIN, a wrong password or a refused time
  // stamp can be told apart.
  const char* reason = catalog_.GetLanguageId() == kLangIdEnglish ? crypto::GetErrorTextEn(error)
                                                                   : crypto::GetErrorTextPl(error);
  return text + "\n\n" + reason + FormatText(" (0x%08X)", error);
}

uint32_t CSignedDocObj::FailSign(uint32_t error, int* wait_pid, int id, const std::string& why) {
  StopWaitProgram(wait_pid);
  if (id == 239) {
    std::string text;
    catalog_.Get(text, 239, "Błąd! Nie można dodać podpisu do pliku!");
    prompt_.ShowMessage(239, why.empty() ? text : text + "\n\n" + why, kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
  } else if (id == 282) {
    Ask(282, "Nieznany Urząd Znakowania Czasem!", MB_ICONHAND | MB_SYSTEMMODAL);
  } else {
    prompt_.ShowMessage(279, SignFailureText(error), kAppCaption, MB_ICONHAND | MB_SYSTEMMODAL);
  }
  return last_error_ = error;
}

uint32_t CSignedDocObj::Sign(int* wait_pid) {
  last_error_ = 0;
  StopWaitProgram(wait_pid);
  if (fd_ < 0 || !page_list_ || page_list_->IsEmpty())
    return FailSign(platform::kErrorInvalidHandle, wait_pid);
  // Signatures that could not be read would be lost by a new first signature.
  if (signatures_error_ != 0 && signatures_error_ != platform::kErrorFileNotFound)
    return FailSign(signatures_error_, wait_pid);
  // A container that could not be rewritten is refused before a PIN is asked.
  platform::FileIdentity identity;
  if (platform::IdentityOf(fd_, &identity) == 0 && identity.links > 1)
    return FailSign(kDocRewriteFailed, wait_pid, 239, HardLinkText(path_, identity.links));
  const auto content = page_list_->content();

  auto certificate = crypto::Certificate::SelectFromStore(platform::kStoreCurrentUser, "My");
  if (!certificate) return last_error_ = platform::kErrorCancelled;
  const platform::CertPtr context = certificate->GetContext();

  StartWaitProgram(wait_pid);
  if (IsAlreadySignedBy(*certificate)) {
    StopWaitProgram(wait_pid);
    if (Ask(212, "Dokument został już wcześniej podpisany wybranym kluczem.\nCzy chcesz podpisać ponownie?",
            MB_YESNO | MB_ICONQUESTION) != IDYES)
      return last_error_ = platform::kErrorCancelled;
  }

  StartWaitProgram(wait_pid);
  std::vector<uint8_t> digest(64);
  uint32_t digest_size = static_cast<uint32_t>(digest.size());
  last_error_ = crypto::ComputeHash(content.data(), static_cast<uint32_t>(content.size()), crypto::kCalgSha1,
                                    digest.data(), &digest_size);
  if (last_error_ != 0) return FailSign(last_error_, wait_pid);
  std::string hex;
  for (uint32_t i = 0; i < digest_size; ++i) hex += FormatText("%02X", digest[i]);
  StopWaitProgram(wait_pid);

  std::string warning, hash_label, question;
  if (certificate->IsQualified())
    catalog_.Get(warning, 202,
                 "Uwaga! Kontynuacja operacji jest równoznaczna ze złożeniem bezpiecznego podpisu elektronicznego "
                 "z wykorzystaniem kwalifikowanego certyfikatu, zgodnie z zapisami Ustawy o podpisie "
                 "elektronicznym z dnia 18 września 2001 r.");
  else
    catalog_.Get(warning, 201,
                 "Uwaga! Kontynuacja operacji jest równoznaczna ze złożeniem podpisu elektronicznego z "
                 "wykorzystaniem certyfikatu zwykłego - nie będącego certyfikatem kwalifikowanym.");
  catalog_.Get(hash_label, 407, "Skrót dokumentu");
  catalog_.Get(question, 328, "Czy chcesz złożyć podpis?");
  const std::string text = warning + "\r\n\r\n" + hash_label + ": " + hex + "\r\n\r\n" + question;
  if (prompt_.ShowMessage(certificate->IsQualified() ? 202 : 201, text, kAppCaption,
                          MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL) != IDYES)
    return last_error_ = platform::kErrorCancelled;

  StartWaitProgram(wait_pid);
  StepReached("sign");
  // What to put back when a later step fails: the previous signatures, or none.
  std::unique_ptr<crypto::DetachedCmsMessage> saved;
  if (!signatures_) {
    auto message = crypto::CreateDetachedCmsMessage(content.data(), static_cast<uint32_t>(content.size()),
                                                    context.get());
    if (!message) return FailSign(crypto::GetLastCreateError(), wait_pid);
    signatures_ = std::move(message);
  } else {
    saved = signatures_->Clone();
    if (signatures_->CoSign(context.get()) != 0) return FailSign(signatures_->GetLastResult(), wait_pid);
  }
  auto roll_back = [&] {
    signatures_ = std::move(saved);
    signatures_error_ = signatures_ ? 0u : uint32_t{platform::kErrorFileNotFound};
  };

  // The new signature is the last one with this certificate (a second
  // signature by the same key comes after the first).
  uint32_t count = 0;
  signatures_->GetSignerCount(&count);
  int signer = -1;
  for (uint32_t i = count; i-- > 0 && signer < 0;) {
    auto c = signatures_->GetSignerCertificate(i);
    if (c && c->IsSame(*certificate)) signer = static_cast<int>(i);
  }
  if (signer < 0) {
    roll_back();
    return FailSign(kSignerNotFound, wait_pid);
  }

  StopWaitProgram(wait_pid);
  if (Ask(408, "Czy oznaczyć podpis czasem? Ta operacja może wymagać powtórnego wprowadzenia PIN.",
          MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL) == IDYES) {
    bool unknown_authority = false;
    const uint32_t status = TimeStamp(*certificate, signer, wait_pid, &unknown_authority);
    if (status != 0) {
      roll_back();
      return FailSign(status, wait_pid, unknown_authority ? 282 : 279);
    }
  }

  const std::vector<uint8_t> bytes(signatures_->Signature().begin(), signatures_->Signature().end());
  std::string why;
  const uint32_t written = RewriteContainer(bytes, &why);
  if (written != 0) {
    roll_back();
    return FailSign(kDocRewriteFailed, wait_pid, 239, why);
  }
  signatures_error_ = 0;
  signature_list_.VerifyAll(signatures_.get());
  StopWaitProgram(wait_pid);
  Ask(317, "Dokument został podpisany.", MB_OK);
  return last_error_ = 0;
}

uint32_t CSignedDocObj::TimeStamp(crypto::Certificate& certificate, int signer, int* wait_pid,
                                  bool* unknown_authority) {
  StartWaitProgram(wait_pid);
  StepReached("timestamp");
  std::vector<uint8_t> value;
  uint32_t status = ReadSized(
      [&](uint8_t* out, uint32_t* size) { return signatures_->GetSignerSignatureValue(signer, out, size); },
      &value);
  if (status != 0) return status;

  const std::string policy = UserValue(kValueTsaOid, kRegDefaultTsaOidSigning);
  const bool sign_request = UserDword(kValueTsaSignReq, 1) != 0;
  const platform::CertPtr context = certificate.GetContext();
  crypto::TimeStampToken token;
  status = token.CreateRequest(value.data(), static_cast<uint32_t>(value.size()), policy.c_str(), 0, 1,
                               sign_request ? context.get() : nullptr);
  if (status != 0) return status;

  if (!proxy_given_) {
    proxy_ = {};
    proxy_.enabled = UserDword(kValueProxyEnabled, 0) != 0;
    if (proxy_.enabled) {
      const std::string name = UserValue(kValueProxyName, "");
      const std::string port = UserValue(kValueProxyPort, "0");
      proxy_.address = port.empty() || port == "0" ? "http://" + name : "http://" + name + ":" + port;
    }
  }
  ApplyProxySettings(proxy_);

  status = token.Send(UserValue(kValueTsaHost, "").c_str());
  if (status != 0) return status;
  // A refusal has no token: the answer's status is the reason.
  const int32_t granted = token.Decode();
  if (granted != 0) return static_cast<uint32_t>(granted);
  if ((status = token.Verify()) != 0) return status;

  platform::CertPtr authority = token.GetTsaCertificate();
  if (certificate.IsQualified()) {
    bool qualified = false;
    if (authority) {
      crypto::Certificate a(authority);
      qualified = a.IsQualifiedTimeStampCertificate() != 0;
    }
    if (!qualified) {
      *unknown_authority = true;
      return kUnknownAuthority;
    }
  }

  std::vector<uint8_t> bytes;
  status = ReadSized([&](uint8_t* out, uint32_t* size) { return token.GetToken(out, size); }, &bytes);
  if (status != 0) return status;
  return signatures_->AddSignerTimeStampToken(signer, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t CSignedDocObj::RewriteContainer(std::span<const uint8_t> signatures, std::string* reason) {
  const std::string format = PageGraphicsFormat();
  std::error_code ec;
  uint32_t error = 0;

  // The real file behind any links is replaced, and only while its name
  // still holds the document that is open; a file with other hard links is
  // left alone, since a new file would part it from them.
  platform::FileIdentity identity;
  std::string target;
  if ((error = platform::IdentityOf(fd_, &identity)) != 0) return error;
  if ((error = platform::ResolveLinks(path_, &target)) != 0) return error;
  if (!platform::NamesFile(target, identity)) return kDocRewriteFailed;
  if (identity.links > 1) {
    *reason = HardLinkText(path_, identity.links);
    return kDocRewriteFailed;
  }

  platform::WorkFolder work(kWorkFolderPrefix);
  const std::string& dir = work.path();
  if (dir.empty()) return work.error() != 0 ? work.error() : kDocRewriteFailed;

  // The pages come from the container as it is now; it must give them all,
  // within the same bounds as when it was opened.
  if (ExtractContainer(fd_, dir, reason) != 0) return kDocRewriteFailed;
  StepReached("extracted");
  // The old signatures are replaced; other members besides pages and the
  // program's own file are not carried over.
  if (const std::string old = FindMember(dir, kSignaturesMember); !old.empty()) fs::remove(dir + "/" + old, ec);
  const std::vector<std::string> pages = PageFiles(dir, format);
  const std::string viewer_name = FindMember(dir, kViewerMember);
  const std::string viewer = viewer_name.empty() ? std::string() : dir + "/" + viewer_name;
  if (pages.size() != page_list_->GetCount()) return kDocRewriteFailed;

  const std::string signature_file = dir + "/" + kSignaturesMember;
  if ((error = WriteNewFile(signature_file, signatures)) != 0) return error;
  StepReached("signatures-written");

  std::vector<std::string> members{signature_file};
  members.insert(members.end(), pages.begin(), pages.end());
  if (!viewer.empty()) members.push_back(viewer);
  std::vector<const char*> names;
  for (const auto& m : members) names.push_back(m.c_str());

  // The new container is built beside the old one and renamed over it. Its
  // descriptor is locked from the start, so after the rename it is the open,
  // locked document with no moment in which another writer could take it.
  int cab_fd = -1;
  const std::string cab = platform::MakeSiblingFile(target, kSiblingPrefix, &cab_fd, &error);
  if (cab.empty()) return error;
  UniqueFd cab_owner(cab_fd);
  if (!cabinet::CreateCabinet(static_cast<int>(names.size()), names.data(), FdPath(cab_fd).c_str())) {
    ::unlink(cab.c_str());
    return kDocRewriteFailed;
  }
  if ((error = platform::CarryIdentity(cab_fd, identity)) != 0) {
    ::unlink(cab.c_str());
    return error;
  }
  StepReached("cabinet-written");
  if ((error = platform::CommitFile(cab_fd, cab, target)) != 0) {
    ::unlink(cab.c_str());
    return error;
  }
  StepReached("renamed");
  ::close(fd_);
  fd_ = cab_owner.release();
  return 0;
}

}  // namespace vel::app
