#include "platform/cert_store.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <openssl/x509v3.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/cert_name_str.h"
#include "platform/der_tlv.h"
#include "platform/temp_files.h"
#include "platform/win32_error.h"

namespace vel::platform {
namespace {

// Certificates are small; CRLs of large authorities run to megabytes. Files
// beyond this are not ours and are passed over.
constexpr off_t kMaxEntryFile = 64 * 1024 * 1024;

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::vector<uint8_t> Sha1(std::span<const uint8_t> data) {
  std::vector<uint8_t> md(20);
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md.data(), &len, EVP_sha1(), nullptr) != 1 ||
      len != md.size())
    md.clear();
  return md;
}

bool ToCertTime(const ASN1_TIME* t, CertTime* out) {
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
  out->year = tm.tm_year + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec;
  return true;
}

// The error for bytes that did not decode: cut short or malformed.
uint32_t DecodeError(std::span<const uint8_t> der) {
  if (der.empty()) return kCryptEAsn1Eod;
  const unsigned char* p = der.data();
  long len = 0;
  int tag = 0, cls = 0;
  const int ret = ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size()));
  const size_t header = static_cast<size_t>(p - der.data());
  if ((ret & 0x80) != 0 && header <= der.size() && len >= 0 &&
      static_cast<size_t>(len) > der.size() - header)
    return kCryptEAsn1Eod;
  if ((ret & 0x80) != 0 && header >= der.size()) return kCryptEAsn1Eod;
  return kCryptEAsn1BadTag;
}

// Reads the next element, which must have the given universal tag.
bool Expect(std::span<const uint8_t>& in, int tag, bool constructed, Tlv& out) {
  return ReadTlv(in, out) && out.Is(V_ASN1_UNIVERSAL, constructed, tag);
}

std::filesystem::path UserDataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
    return xdg;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const struct passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : "/";
  }
  return std::filesystem::path(home) / ".local" / "share";
}

// Store names are compared without case; anything that could reach outside
// the folder (separators, dots, control bytes) is written as %XX.
std::string FolderName(std::string_view name) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0x0F];
    }
  }
  return out;
}

bool IsEntryName(std::string_view file, std::string_view ext) {
  if (file.size() != 40 + ext.size() || file.substr(40) != ext) return false;
  return std::all_of(file.begin(), file.begin() + 40,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Decodes UTF-8 (well formed: it comes from the name text) and folds case.
std::u32string FoldCase(std::string_view s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    char32_t cp = b;
    size_t n = 1;
    if (b >= 0xF0) { cp = b & 0x07; n = 4; }
    else if (b >= 0xE0) { cp = b & 0x0F; n = 3; }
    else if (b >= 0xC0) { cp = b & 0x1F; n = 2; }
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 'A' && cp <= 'Z') cp += 0x20;
    else if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) cp += 0x20;
    else if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) cp |= 1;
    else if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) cp += (cp & 1);
    out += cp;
  }
  return out;
}

// Identity of a file or folder as far as a reader can tell it changed.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {}, ctime {};

  static FileStamp Of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Reads a store file: only a regular file, never through a symbolic link,
// and without waiting on a FIFO or a device. *stamp gets what fstat saw.
bool ReadEntryFile(int dir_fd, const std::string& name, std::vector<uint8_t>* out,
                   FileStamp* stamp) {
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxEntryFile;
  if (ok) {
    *stamp = FileStamp::Of(st);
    out->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < out->size()) {
      const ssize_t n = ::read(fd, out->data() + got, out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return ok;
}

// Writes by this process: a reader that saw an older count looks at the
// folder's listing again, whatever its time stamps say.
std::atomic<uint64_t> g_write_generation{0};

// What one folder held for one kind of entry, as read.
template <typename Ptr>
struct Snapshot {
  struct Entry {
    std::string name;
    FileStamp stamp;
    Ptr value;  // null: not a valid entry (kept so it is not read again)
  };
  bool folder_exists = false;
  FileStamp folder;
  struct timespec taken {};
  uint64_t generation = 0;
  std::vector<Entry> entries;  // by name
};

// Time stamps come from a coarse clock: a folder changed less than this
// before it was read may change again with the same stamps.
constexpr long kRacyNanoseconds = 2'000'000'000L;

long long Nanoseconds(const struct timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

template <typename Ptr>
class EntryCache {
 public:
  using Parse = Ptr (*)(const std::string& name, std::span<const uint8_t> bytes);

  std::shared_ptr<const Snapshot<Ptr>> Get(const std::filesystem::path& folder,
                                           std::string_view ext, Parse parse) {
    std::shared_ptr<const Snapshot<Ptr>> old;
    {
      std::lock_guard lock(mutex_);
      if (auto it = cache_.find(folder.string()); it != cache_.end()) old = it->second;
    }
    const uint64_t generation = g_write_generation.load();
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st {};
    const bool exists = ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const FileStamp stamp = exists ? FileStamp::Of(st) : FileStamp{};
    if (old && old->generation == generation && old->folder_exists == exists &&
        (!exists || (old->folder == stamp && Settled(*old))))
      return old;

    auto fresh = std::make_shared<Snapshot<Ptr>>();
    fresh->folder_exists = exists;
    fresh->folder = stamp;
    fresh->taken = now;
    fresh->generation = generation;
    if (exists) Read(folder, ext, parse, old.get(), fresh.get());
    std::lock_guard lock(mutex_);
    cache_[folder.string()] = fresh;
    return fresh;
  }

 private:
  // The folder's stamps are old enough, when it was read, that any later
  // change shows in them.
  static bool Settled(const Snapshot<Ptr>& s) {
    const long long changed =
        std::max(Nanoseconds(s.folder.mtime), Nanoseconds(s.folder.ctime));
    return Nanoseconds(s.taken) - changed > kRacyNanoseconds;
  }

  static void Read(const std::filesystem::path& folder, std::string_view ext, Parse parse,
                   const Snapshot<Ptr>* old, Snapshot<Ptr>* out) {
    const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return;
    DIR* dir = ::fdopendir(::dup(dir_fd));
    std::vector<std::string> names;
    if (dir != nullptr) {
      while (const struct dirent* e = ::readdir(dir))
        if (IsEntryName(e->d_name, ext)) names.emplace_back(e->d_name);
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names) {
      struct stat st {};
      // Anything but a regular file is passed over without being opened.
      if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        continue;
      typename Snapshot<Ptr>::Entry entry{std::move(name), FileStamp::Of(st), nullptr};
      const typename Snapshot<Ptr>::Entry* before = nullptr;
      if (old != nullptr) {
        auto it = std::lower_bound(
            old->entries.begin(), old->entries.end(), entry.name,
            [](const auto& e, const std::string& n) { return e.name < n; });
        if (it != old->entries.end() && it->name == entry.name && it->stamp == entry.stamp)
          before = &*it;
      }
      if (before != nullptr) {
        entry.value = before->value;
      } else {
        std::vector<uint8_t> bytes;
        if (!ReadEntryFile(dir_fd, entry.name, &bytes, &entry.stamp)) continue;
        entry.value = parse(entry.name, bytes);
      }
      out->entries.push_back(std::move(entry));
    }
    ::close(dir_fd);
  }

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const Snapshot<Ptr>>> cache_;
};

EntryCache<CertPtr>& CertCache() {
  static EntryCache<CertPtr> cache;
  return cache;
}
EntryCache<CrlPtr>& CrlCache() {
  static EntryCache<CrlPtr> cache;
  return cache;
}

CertPtr ParseCertEntry(const std::string& name, std::span<const uint8_t> bytes) {
  CertPtr cert = CertContext::FromDer(bytes);
  // A file that is not the certificate its name says is not ours to offer.
  return cert && cert->sha1_hex() + ".cer" == name ? cert : nullptr;
}

// A CRL's file name also depends on the key that signed it, which the CRL
// does not hold: every CRL found is offered, and its users check signature
// and scope.
CrlPtr ParseCrlEntry(const std::string&, std::span<const uint8_t> bytes) {
  return CrlContext::FromDer(bytes);
}

}  // namespace

std::time_t CertTime::ToTimeT() const {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return ::timegm(&tm);
}

// ---------------------------------------------------------------- contexts

CertPtr CertContext::FromX509(X509* x509, uint32_t* error) {
  const int n = x509 != nullptr ? i2d_X509(x509, nullptr) : 0;
  if (n <= 0) {
    if (error != nullptr) *error = kCryptEAsn1BadTag;
    return nullptr;
  }
  std::vector<uint8_t> der(static_cast<size_t>(n));
  unsigned char* p = der.data();
  i2d_X509(x509, &p);
  return FromDer(der, error);
}

CertPtr CertContext::FromDer(std::span<const uint8_t> der, uint32_t* error) {
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  auto c = std::make_shared<CertContext>(Key{});
  c->der_.assign(der.begin(), der.end());
  const std::span<const uint8_t> bytes = c->der_;

  // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }
  // tbsCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber,
  //                               signature, issuer, validity, subject, ... }
  std::span<const uint8_t> rest = bytes;
  Tlv cert, tbs, first, serial, alg, issuer, validity, subject;
  bool ok = Expect(rest, V_ASN1_SEQUENCE, true, cert) && rest.empty();
  std::span<const uint8_t> in_cert = ok ? cert.content : std::span<const uint8_t>{};
  ok = ok && Expect(in_cert, V_ASN1_SEQUENCE, true, tbs);
  std::span<const uint8_t> in_tbs = ok ? tbs.content : std::span<const uint8_t>{};
  ok = ok && ReadTlv(in_tbs, first);
  if (ok && first.Is(V_ASN1_CONTEXT_SPECIFIC, true, 0)) ok = Expect(in_tbs, V_ASN1_INTEGER, false, serial);
  else if (ok) {
    serial = first;
    ok = serial.Is(V_ASN1_UNIVERSAL, false, V_ASN1_INTEGER);
  }
  ok = ok && !serial.content.empty() && Expect(in_tbs, V_ASN1_SEQUENCE, true, alg) &&
       Expect(in_tbs, V_ASN1_SEQUENCE, true, issuer) &&
       Expect(in_tbs, V_ASN1_SEQUENCE, true, validity) &&
       Expect(in_tbs, V_ASN1_SEQUENCE, true, subject);
  if (ok) {
    const unsigned char* p = bytes.data();
    c->x509_.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    ok = c->x509_ != nullptr && p == bytes.data() + bytes.size();
  }
  if (ok) {
    c->issuer_ = issuer.whole;
    c->subject_ = subject.whole;
    c->serial_ = serial.content;
    const long v = X509_get_version(c->x509_.get());
    c->version_ = v < 0 ? 0 : static_cast<uint32_t>(v);
    c->sha1_ = Sha1(bytes);
    ok = ToCertTime(X509_get0_notBefore(c->x509_.get()), &c->not_before_) &&
         ToCertTime(X509_get0_notAfter(c->x509_.get()), &c->not_after_) && !c->sha1_.empty();
  }
  ERR_clear_error();
  if (!ok) {
    err = DecodeError(der);
    return nullptr;
  }
  err = 0;
  return c;
}

std::string CertContext::sha1_hex() const { return Hex(sha1_); }

bool CertContext::FindExtension(std::string_view dotted_oid, std::vector<uint8_t>* value) const {
  const int count = X509_get_ext_count(x509_.get());
  for (int i = 0; i < count; ++i) {
    const X509_EXTENSION* ext = X509_get_ext(x509_.get(), i);
    const ASN1_OBJECT* obj = X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(ext));
    const int len = OBJ_obj2txt(nullptr, 0, obj, 1);
    if (len <= 0 || static_cast<size_t>(len) != dotted_oid.size()) continue;
    std::string text(static_cast<size_t>(len) + 1, '\0');
    OBJ_obj2txt(text.data(), len + 1, obj, 1);
    text.resize(static_cast<size_t>(len));
    if (text != dotted_oid) continue;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
    if (value != nullptr) {
      const unsigned char* d = ASN1_STRING_get0_data(data);
      value->assign(d, d + ASN1_STRING_length(data));
    }
    return true;
  }
  return false;
}

bool SignatureMemo::Find(std::span<const uint8_t> signer_sha1, uint32_t* error) const {
  std::lock_guard lock(mutex_);
  for (const auto& [signer, result] : results_) {
    if (std::ranges::equal(signer, signer_sha1)) {
      *error = result;
      return true;
    }
  }
  return false;
}

void SignatureMemo::Add(std::span<const uint8_t> signer_sha1, uint32_t error) const {
  // A few signers per object in practice; a hostile store offers many.
  constexpr size_t kMaxResults = 8;
  std::lock_guard lock(mutex_);
  if (results_.size() >= kMaxResults) results_.erase(results_.begin());
  results_.emplace_back(std::vector<uint8_t>(signer_sha1.begin(), signer_sha1.end()), error);
}

namespace {

// Verifies once per signer certificate; `verify` is X509_verify or
// X509_CRL_verify on the object's own handle.
template <typename Verify>
bool VerifyRemembered(const SignatureMemo& memo, const CertContext& signer, uint32_t* error,
                      Verify verify) {
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  if (memo.Find(signer.sha1(), &err)) return err == 0;
  EVP_PKEY* key = X509_get0_pubkey(signer.x509());
  if (key == nullptr) {
    err = kNteBadKey;
  } else {
    err = verify(key) == 1 ? 0 : kNteBadSignature;
    memo.Add(signer.sha1(), err);
  }
  ERR_clear_error();
  return err == 0;
}

}  // namespace

bool CertContext::SignatureVerifiesWith(const CertContext& signer, uint32_t* error) const {
  return VerifyRemembered(memo_, signer, error,
                          [&](EVP_PKEY* key) { return X509_verify(x509_.get(), key); });
}

namespace {

// A DER header (identifier 0x30 and length) for `length` content bytes.
void AppendSequenceHeader(std::vector<uint8_t>& out, size_t length) {
  out.push_back(0x30);
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t digits[sizeof(size_t)];
  int n = 0;
  for (size_t v = length; v != 0; v >>= 8) digits[n++] = static_cast<uint8_t>(v);
  out.push_back(static_cast<uint8_t>(0x80 | n));
  while (n > 0) out.push_back(digits[--n]);
}

// An INTEGER's content as DER has it: not empty, no redundant leading octet.
bool MinimalInteger(std::span<const uint8_t> c) {
  if (c.empty()) return false;
  return c.size() == 1 || !((c[0] == 0x00 && c[1] < 0x80) || (c[0] == 0xFF && c[1] >= 0x80));
}

// An OBJECT IDENTIFIER's content OpenSSL would take: whole subidentifiers,
// none with a redundant leading octet.
bool ValidOid(std::span<const uint8_t> c) {
  if (c.empty() || (c.back() & 0x80) != 0) return false;
  bool start = true;
  for (uint8_t b : c) {
    if (start && b == 0x80) return false;
    start = (b & 0x80) == 0;
  }
  return true;
}

bool ValidTime(const Tlv& t) {
  if (t.cls != V_ASN1_UNIVERSAL || t.constructed ||
      (t.tag != V_ASN1_UTCTIME && t.tag != V_ASN1_GENERALIZEDTIME) || t.content.size() > 64)
    return false;
  ASN1_STRING s{};
  s.type = t.tag;
  s.length = static_cast<int>(t.content.size());
  s.data = const_cast<unsigned char*>(t.content.data());
  struct tm tm {};
  return ASN1_TIME_to_tm(&s, &tm) == 1;
}

enum class Entry { kBad, kPlain, kNamesIssuer };

// One revokedCertificates entry, SEQUENCE { serial INTEGER, revocationDate
// Time, crlEntryExtensions Extensions OPTIONAL }, checked as strictly as
// OpenSSL decodes it. An entry naming a certificate issuer (2.5.29.29) makes
// the CRL one whose entries only OpenSSL's own lookup reads as it always has.
Entry ReadEntry(std::span<const uint8_t>& in, std::span<const uint8_t>* serial) {
  static constexpr uint8_t kCertificateIssuer[] = {0x55, 0x1D, 0x1D};
  Tlv entry, number, date, extensions;
  if (!Expect(in, V_ASN1_SEQUENCE, true, entry)) return Entry::kBad;
  std::span<const uint8_t> fields = entry.content;
  if (!Expect(fields, V_ASN1_INTEGER, false, number) || !MinimalInteger(number.content)) return Entry::kBad;
  if (!ReadTlv(fields, date) || !ValidTime(date)) return Entry::kBad;
  *serial = number.content;
  if (fields.empty()) return Entry::kPlain;
  if (!Expect(fields, V_ASN1_SEQUENCE, true, extensions) || !fields.empty()) return Entry::kBad;
  Entry kind = Entry::kPlain;
  for (std::span<const uint8_t> list = extensions.content; !list.empty();) {
    Tlv extension, oid, field;
    if (!Expect(list, V_ASN1_SEQUENCE, true, extension)) return Entry::kBad;
    std::span<const uint8_t> parts = extension.content;
    if (!Expect(parts, V_ASN1_OBJECT, false, oid) || !ValidOid(oid.content) || !ReadTlv(parts, field))
      return Entry::kBad;
    if (field.Is(V_ASN1_UNIVERSAL, false, V_ASN1_BOOLEAN)) {
      if (field.content.size() != 1 || !ReadTlv(parts, field)) return Entry::kBad;
    }
    if (!field.Is(V_ASN1_UNIVERSAL, false, V_ASN1_OCTET_STRING) || !parts.empty()) return Entry::kBad;
    if (std::ranges::equal(oid.content, std::span(kCertificateIssuer))) kind = Entry::kNamesIssuer;
  }
  return kind;
}

bool SerialLess(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return std::memcmp(a.data(), b.data(), a.size()) < 0;
}

}  // namespace

CrlPtr CrlContext::FromDer(std::span<const uint8_t> der, uint32_t* error) {
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  auto c = std::make_shared<CrlContext>(Key{});
  c->der_.assign(der.begin(), der.end());
  const std::span<const uint8_t> bytes = c->der_;

  // CertificateList ::= SEQUENCE { tbsCertList, signatureAlgorithm, signature }
  // tbsCertList ::= SEQUENCE { version INTEGER OPTIONAL, signature, issuer,
  //   thisUpdate, nextUpdate OPTIONAL, revokedCertificates OPTIONAL,
  //   crlExtensions [0] OPTIONAL }
  std::span<const uint8_t> rest = bytes;
  Tlv list, tbs, first, alg, issuer;
  bool ok = Expect(rest, V_ASN1_SEQUENCE, true, list) && rest.empty();
  std::span<const uint8_t> in_list = ok ? list.content : std::span<const uint8_t>{};
  ok = ok && Expect(in_list, V_ASN1_SEQUENCE, true, tbs);
  std::span<const uint8_t> in_tbs = ok ? tbs.content : std::span<const uint8_t>{};
  ok = ok && ReadTlv(in_tbs, first);
  if (ok && first.Is(V_ASN1_UNIVERSAL, false, V_ASN1_INTEGER)) ok = Expect(in_tbs, V_ASN1_SEQUENCE, true, alg);
  else if (ok) {
    alg = first;
    ok = alg.Is(V_ASN1_UNIVERSAL, true, V_ASN1_SEQUENCE);
  }
  ok = ok && Expect(in_tbs, V_ASN1_SEQUENCE, true, issuer);

  // The revoked entries, when they are where the layout puts them: indexed
  // here, and left out of what OpenSSL decodes.
  std::vector<uint8_t> stripped;
  if (ok) {
    std::span<const uint8_t> after = in_tbs;
    Tlv field;
    bool found = ReadTlv(after, field) && ValidTime(field) && ReadTlv(after, field);  // thisUpdate
    if (found && ValidTime(field)) found = ReadTlv(after, field);                      // nextUpdate
    found = found && field.Is(V_ASN1_UNIVERSAL, true, V_ASN1_SEQUENCE);
    if (found) {
      const Tlv revoked = field;
      std::vector<Serial> serials;
      bool names_issuer = false;
      for (std::span<const uint8_t> entries = revoked.content; ok && !entries.empty();) {
        std::span<const uint8_t> serial;
        const Entry kind = ReadEntry(entries, &serial);
        ok = kind != Entry::kBad;
        names_issuer = names_issuer || kind == Entry::kNamesIssuer;
        if (ok)
          serials.push_back({static_cast<uint32_t>(serial.data() - bytes.data()),
                             static_cast<uint32_t>(serial.size())});
      }
      if (ok && !names_issuer && bytes.size() <= UINT32_MAX) {
        const size_t tbs_length = tbs.content.size() - revoked.whole.size();
        stripped.reserve(tbs_length + in_list.size() + 16);
        std::vector<uint8_t> tbs_out;
        tbs_out.reserve(tbs_length + 8);
        AppendSequenceHeader(tbs_out, tbs_length);
        const uint8_t* revoked_at = revoked.whole.data();
        tbs_out.insert(tbs_out.end(), tbs.content.data(), revoked_at);
        tbs_out.insert(tbs_out.end(), revoked_at + revoked.whole.size(), tbs.content.data() + tbs.content.size());
        AppendSequenceHeader(stripped, tbs_out.size() + in_list.size());
        stripped.insert(stripped.end(), tbs_out.begin(), tbs_out.end());
        stripped.insert(stripped.end(), in_list.begin(), in_list.end());
        std::sort(serials.begin(), serials.end(), [&](Serial a, Serial b) {
          return SerialLess(bytes.subspan(a.offset, a.length), bytes.subspan(b.offset, b.length));
        });
        c->serials_ = std::move(serials);
        c->entries_indexed_ = true;
        c->tbs_ = tbs.whole;
        c->tbs_algorithm_ = alg.whole;
        Tlv outer_alg;
        std::span<const uint8_t> tail = in_list;
        ok = Expect(tail, V_ASN1_SEQUENCE, true, outer_alg);
        c->algorithm_ = outer_alg.whole;
      }
    }
  }
  if (ok) {
    const std::span<const uint8_t> decoded = c->entries_indexed_ ? std::span<const uint8_t>(stripped) : bytes;
    const unsigned char* p = decoded.data();
    c->crl_.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(decoded.size())));
    ok = c->crl_ != nullptr && p == decoded.data() + decoded.size();
  }
  if (ok) {
    c->issuer_ = issuer.whole;
    ok = ToCertTime(X509_CRL_get0_lastUpdate(c->crl_.get()), &c->this_update_);
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(c->crl_.get());
    c->has_next_update_ = next != nullptr;
    if (ok && next != nullptr) ok = ToCertTime(next, &c->next_update_);
  }
  ERR_clear_error();
  if (!ok) {
    err = DecodeError(der);
    return nullptr;
  }
  err = 0;
  return c;
}

bool CrlContext::SignatureVerifiesWith(const CertContext& issuer, uint32_t* error) const {
  return VerifyRemembered(memo_, issuer, error, [&](EVP_PKEY* key) {
    if (!entries_indexed_) return X509_CRL_verify(crl_.get(), key);
    // The signature covers the bytes as they came, entries and all; the
    // algorithm named outside must be the one signed inside.
    if (!std::ranges::equal(tbs_algorithm_, algorithm_)) return 0;
    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* algorithm = nullptr;
    X509_CRL_get0_signature(crl_.get(), &signature, &algorithm);
    std::unique_ptr<ASN1_TYPE, decltype(&ASN1_TYPE_free)> signed_part(ASN1_TYPE_new(), ASN1_TYPE_free);
    ASN1_STRING* sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    if (signed_part == nullptr || sequence == nullptr ||
        ASN1_STRING_set(sequence, tbs_.data(), static_cast<int>(tbs_.size())) != 1) {
      ASN1_STRING_free(sequence);
      return 0;
    }
    // A SEQUENCE held by ANY is written back exactly as it was read.
    ASN1_TYPE_set(signed_part.get(), V_ASN1_SEQUENCE, sequence);
    return ASN1_item_verify(ASN1_ITEM_rptr(ASN1_ANY), algorithm, signature, signed_part.get(), key);
  });
}

bool CrlContext::Lists(const CertContext& cert) const {
  if (entries_indexed_) {
    // Both sides minimal, so equal numbers have equal octets.
    std::span<const uint8_t> serial = cert.serial();
    while (serial.size() > 1 && ((serial[0] == 0x00 && serial[1] < 0x80) || (serial[0] == 0xFF && serial[1] >= 0x80)))
      serial = serial.subspan(1);
    const auto at =
        std::lower_bound(serials_.begin(), serials_.end(), serial,
                         [&](Serial a, std::span<const uint8_t> b) { return SerialLess(SerialBytes(a), b); });
    return at != serials_.end() && std::ranges::equal(SerialBytes(*at), serial);
  }
  // OpenSSL sorts the entries once (under the CRL's own lock) and then
  // searches them by halves.
  X509_REVOKED* entry = nullptr;
  const int found = X509_CRL_get0_by_serial(
      crl_.get(), &entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(cert.x509())));
  ERR_clear_error();
  return found != 0;
}

std::string CrlSlotFileName(const CrlContext& crl, const CertContext* signer) {
  std::vector<uint8_t> slot;
  const auto add = [&](std::span<const uint8_t> part) {
    // Each part framed by its length, so no two slots share bytes.
    const auto n = static_cast<uint32_t>(part.size());
    for (int shift = 24; shift >= 0; shift -= 8) slot.push_back(static_cast<uint8_t>(n >> shift));
    slot.insert(slot.end(), part.begin(), part.end());
  };
  add(crl.issuer_der());

  std::vector<uint8_t> key_id;
  if (signer != nullptr) {
    if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(signer->x509())) {
      const unsigned char* d = ASN1_STRING_get0_data(ski);
      key_id.assign(d, d + ASN1_STRING_length(ski));
    } else {
      key_id.resize(EVP_MAX_MD_SIZE);
      unsigned int len = 0;
      if (X509_pubkey_digest(signer->x509(), EVP_sha1(), key_id.data(), &len) != 1) len = 0;
      key_id.resize(len);
    }
  } else if (auto* akid = static_cast<AUTHORITY_KEYID*>(
                 X509_CRL_get_ext_d2i(crl.crl(), NID_authority_key_identifier, nullptr, nullptr))) {
    if (akid->keyid != nullptr) {
      const unsigned char* d = ASN1_STRING_get0_data(akid->keyid);
      key_id.assign(d, d + ASN1_STRING_length(akid->keyid));
    }
    AUTHORITY_KEYID_free(akid);
  }
  add(key_id);

  std::vector<uint8_t> scope;
  const int at = X509_CRL_get_ext_by_NID(crl.crl(), NID_issuing_distribution_point, -1);
  if (at >= 0) {
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(X509_CRL_get_ext(crl.crl(), at));
    const unsigned char* d = ASN1_STRING_get0_data(v);
    scope.assign(d, d + ASN1_STRING_length(v));
  }
  add(scope);
  ERR_clear_error();
  return Hex(Sha1(slot)) + ".crl";
}

bool CompareCertificateName(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool CompareIntegerBlob(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  auto trim = [](std::span<const uint8_t> v) {
    while (v.size() > 1 && ((v[0] == 0x00 && v[1] < 0x80) || (v[0] == 0xFF && v[1] >= 0x80)))
      v = v.subspan(1);
    return v;
  };
  a = trim(a);
  b = trim(b);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool CompareCertificate(const CertContext& a, const CertContext& b) {
  return CompareCertificateName(a.issuer_der(), b.issuer_der()) &&
         CompareIntegerBlob(a.serial(), b.serial());
}

// ------------------------------------------------------------------ stores

std::filesystem::path CertStore::FolderFor(uint32_t location_flags, std::string_view name) {
  const uint32_t location = location_flags & kStoreLocationMask;
  if (name.empty() || (location != kStoreCurrentUser && location != kStoreLocalMachine))
    return {};
  const bool user = location == kStoreCurrentUser;
  std::filesystem::path root;
  if (const char* dir = std::getenv("VELDOC_STORE_DIR"); dir != nullptr && dir[0] != '\0')
    root = std::filesystem::path(dir) / (user ? "user" : "machine");
  else if (user)
    root = UserDataHome() / "veldoc" / "certstores";
  else
    root = "/var/lib/veldoc/certstores";
  return root / FolderName(name);
}

uint32_t CertStore::Open(uint32_t location_flags, std::string_view name,
                         std::unique_ptr<CertStore>* out) {
  out->reset();
  std::filesystem::path folder = FolderFor(location_flags, name);
  if (folder.empty()) return kErrorInvalidParameter;
  *out = std::make_unique<CertStore>(Key{}, std::move(folder));
  return 0;
}

const std::vector<CertPtr>& CertStore::Certificates() {
  if (!certs_loaded_) {
    certs_loaded_ = true;
    certs_.clear();
    for (const auto& e : CertCache().Get(folder_, ".cer", ParseCertEntry)->entries)
      if (e.value) certs_.push_back(e.value);
  }
  return certs_;
}

const std::vector<CrlPtr>& CertStore::Crls() {
  if (!crls_loaded_) {
    crls_loaded_ = true;
    crls_.clear();
    crl_files_.clear();
    for (const auto& e : CrlCache().Get(folder_, ".crl", ParseCrlEntry)->entries) {
      if (!e.value) continue;
      crls_.push_back(e.value);
      crl_files_.push_back(e.name);
    }
  }
  return crls_;
}

uint32_t CertStore::WriteEntry(const std::string& file_name, std::span<const uint8_t> der,
                               bool replace, bool* existed) {
  *existed = false;
  const std::filesystem::path target = folder_ / file_name;
  if (!replace && ::access(target.c_str(), F_OK) == 0) {
    *existed = true;
    return 0;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) return Win32FromErrno(ec.value());

  std::string temp;
  if (const uint32_t err = WriteTempFileBeside(target, der, 0644, &temp); err != 0) return err;

  int rc = 0;
  int werr = 0;
  if (replace) {
    rc = ::rename(temp.c_str(), target.c_str());
    if (rc != 0) werr = errno;
  } else {
    // Only the first of several writers may place the file; the others find it.
    rc = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      rc = ::link(temp.c_str(), target.c_str());
      const int link_errno = errno;
      ::unlink(temp.c_str());
      errno = link_errno;
    }
    if (rc != 0) {
      werr = errno;
      if (werr == EEXIST) {
        *existed = true;
        werr = 0;
      }
    }
  }
  if (rc != 0) ::unlink(temp.c_str());
  if (werr != 0) return Win32FromErrno(werr);
  ++g_write_generation;
  SyncFolder(folder_);
  return 0;
}

uint32_t CertStore::AddCertificate(const CertPtr& cert, AddDisposition how, CertPtr* stored) {
  if (stored != nullptr) stored->reset();
  if (!cert) return kEInvalidArg;
  if (how != AddDisposition::kNew && how != AddDisposition::kUseExisting &&
      how != AddDisposition::kReplaceExisting)
    return kEInvalidArg;
  const bool replace = how == AddDisposition::kReplaceExisting;
  bool existed = false;
  const uint32_t err = WriteEntry(cert->sha1_hex() + ".cer", cert->der(), replace, &existed);
  if (err != 0) return err;
  if (existed && how == AddDisposition::kNew) return kCryptEExists;
  // An existing file of that name holds the same bytes, so `cert` stands for it.
  if (certs_loaded_) {
    auto pos = std::lower_bound(certs_.begin(), certs_.end(), cert,
                                [](const CertPtr& a, const CertPtr& b) {
                                  return a->sha1_hex() < b->sha1_hex();
                                });
    if (pos != certs_.end() && (*pos)->sha1() == cert->sha1()) {
      if (replace) *pos = cert;
    } else {
      certs_.insert(pos, cert);
    }
  }
  if (stored != nullptr) *stored = cert;
  return 0;
}

CrlPtr CertStore::CrlInSlot(const CrlContext& crl, const CertContext* signer) {
  const std::string file_name = CrlSlotFileName(crl, signer);
  Crls();
  for (size_t i = 0; i < crl_files_.size(); ++i)
    if (crl_files_[i] == file_name) return crls_[i];
  return nullptr;
}

uint32_t CertStore::AddCrl(const CrlPtr& crl, AddDisposition how, CrlPtr* stored,
                           const CertContext* signer) {
  if (stored != nullptr) stored->reset();
  if (!crl) return kEInvalidArg;
  if (how != AddDisposition::kNew && how != AddDisposition::kUseExisting &&
      how != AddDisposition::kReplaceExisting)
    return kEInvalidArg;
  const bool replace = how == AddDisposition::kReplaceExisting;
  const std::string file_name = CrlSlotFileName(*crl, signer);
  bool existed = false;
  const uint32_t err = WriteEntry(file_name, crl->der(), replace, &existed);
  if (err != 0) return err;
  if (existed && how == AddDisposition::kNew) return kCryptEExists;
  CrlPtr result = crl;
  if (existed) {
    // The one there stays: read it (a moment's copy of the folder).
    crls_loaded_ = false;
    if (CrlPtr there = CrlInSlot(*crl, signer)) result = there;
  } else if (crls_loaded_) {
    auto pos = std::lower_bound(crl_files_.begin(), crl_files_.end(), file_name);
    const auto index = pos - crl_files_.begin();
    if (pos != crl_files_.end() && *pos == file_name) {
      crls_[static_cast<size_t>(index)] = result;
    } else {
      crl_files_.insert(pos, file_name);
      crls_.insert(crls_.begin() + index, result);
    }
  }
  if (stored != nullptr) *stored = result;
  return 0;
}

uint32_t CertStore::DeleteCertificate(const CertContext& cert) {
  const std::filesystem::path target = folder_ / (cert.sha1_hex() + ".cer");
  if (::unlink(target.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
  ++g_write_generation;
  std::erase_if(certs_, [&](const CertPtr& c) { return c->sha1() == cert.sha1(); });
  return 0;
}

uint32_t CertStore::DeleteCrl(const CrlContext& crl) {
  Crls();
  for (size_t i = 0; i < crls_.size();) {
    if (crls_[i].get() != &crl && !std::ranges::equal(crls_[i]->der(), crl.der())) {
      ++i;
      continue;
    }
    const std::filesystem::path target = folder_ / crl_files_[i];
    if (::unlink(target.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
    ++g_write_generation;
    crls_.erase(crls_.begin() + static_cast<std::ptrdiff_t>(i));
    crl_files_.erase(crl_files_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return 0;
}

size_t PositionAfter(const std::vector<CertPtr>& certs, const CertContext* previous) {
  if (previous == nullptr) return 0;
  for (size_t i = 0; i < certs.size(); ++i)
    if (certs[i].get() == previous || certs[i]->sha1() == previous->sha1()) return i + 1;
  return certs.size();
}

bool NameTextContains(std::span<const uint8_t> name_der, std::string_view text) {
  std::optional<std::string> name = CertNameToStr(name_der, kCertSimpleNameStr);
  return name && FoldCase(*name).find(FoldCase(text)) != std::u32string::npos;
}

CertPtr FindCertificateBySubjectText(CertStore& store, std::string_view text,
                                     const CertContext* previous) {
  const std::vector<CertPtr>& certs = store.Certificates();
  for (size_t i = PositionAfter(certs, previous); i < certs.size(); ++i)
    if (NameTextContains(certs[i]->subject_der(), text)) return certs[i];
  return nullptr;
}

}  // namespace vel::platform
