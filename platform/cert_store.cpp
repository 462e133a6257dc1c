#include "platform/cert_store.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/cert_name_str.h"
#include "platform/der_tlv.h"
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

bool ReadWholeFile(const std::filesystem::path& p, std::vector<uint8_t>* out) {
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxEntryFile;
  if (ok) {
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

bool IsEntryName(const std::string& file, std::string_view ext) {
  if (file.size() != 40 + ext.size() || file.compare(40, ext.size(), ext) != 0) return false;
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

bool CertContext::SignatureVerifiesWith(const CertContext& signer, uint32_t* error) const {
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  EVP_PKEY* key = X509_get0_pubkey(signer.x509_.get());
  bool ok = false;
  if (key == nullptr) {
    err = kNteBadKey;
  } else {
    ok = X509_verify(x509_.get(), key) == 1;
    err = ok ? 0 : kNteBadSignature;
  }
  ERR_clear_error();
  return ok;
}

CrlPtr CrlContext::FromDer(std::span<const uint8_t> der, uint32_t* error) {
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  auto c = std::make_shared<CrlContext>(Key{});
  c->der_.assign(der.begin(), der.end());
  const std::span<const uint8_t> bytes = c->der_;

  // CertificateList ::= SEQUENCE { tbsCertList, signatureAlgorithm, signature }
  // tbsCertList ::= SEQUENCE { version INTEGER OPTIONAL, signature, issuer, ... }
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
  if (ok) {
    const unsigned char* p = bytes.data();
    c->crl_.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
    ok = c->crl_ != nullptr && p == bytes.data() + bytes.size();
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
  uint32_t ignored = 0;
  uint32_t& err = error != nullptr ? *error : ignored;
  EVP_PKEY* key = X509_get0_pubkey(issuer.x509());
  bool ok = false;
  if (key == nullptr) {
    err = kNteBadKey;
  } else {
    ok = X509_CRL_verify(crl_.get(), key) == 1;
    err = ok ? 0 : kNteBadSignature;
  }
  ERR_clear_error();
  return ok;
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

void CertStore::LoadCertificates() {
  certs_loaded_ = true;
  certs_.clear();
  std::error_code ec;
  std::vector<std::string> names;
  for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec))
    if (IsEntryName(it->path().filename().string(), ".cer"))
      names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(folder_ / n, &bytes)) continue;  // removed meanwhile, or not a file
    CertPtr cert = CertContext::FromDer(bytes);
    // A file that is not the certificate its name says is not ours to offer.
    if (cert && cert->sha1_hex() + ".cer" == n) certs_.push_back(std::move(cert));
  }
}

void CertStore::LoadCrls() {
  crls_loaded_ = true;
  crls_.clear();
  std::error_code ec;
  std::vector<std::string> names;
  for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec))
    if (IsEntryName(it->path().filename().string(), ".crl"))
      names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(folder_ / n, &bytes)) continue;
    CrlPtr crl = CrlContext::FromDer(bytes);
    if (crl && Hex(Sha1(crl->issuer_der())) + ".crl" == n) crls_.push_back(std::move(crl));
  }
}

const std::vector<CertPtr>& CertStore::Certificates() {
  if (!certs_loaded_) LoadCertificates();
  return certs_;
}

const std::vector<CrlPtr>& CertStore::Crls() {
  if (!crls_loaded_) LoadCrls();
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

  std::string temp = (folder_ / ".tmp-XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Win32FromErrno(errno);
  size_t done = 0;
  int werr = 0;
  while (done < der.size()) {
    const ssize_t n = ::write(fd, der.data() + done, der.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      werr = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (werr == 0 && ::fchmod(fd, 0644) != 0) werr = errno;
  if (werr == 0 && ::fsync(fd) != 0) werr = errno;
  if (::close(fd) != 0 && werr == 0) werr = errno;
  if (werr != 0) {
    ::unlink(temp.c_str());
    return Win32FromErrno(werr);
  }

  int rc = 0;
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

uint32_t CertStore::AddCrl(const CrlPtr& crl, AddDisposition how, CrlPtr* stored) {
  if (stored != nullptr) stored->reset();
  if (!crl) return kEInvalidArg;
  if (how != AddDisposition::kNew && how != AddDisposition::kUseExisting &&
      how != AddDisposition::kReplaceExisting)
    return kEInvalidArg;
  const bool replace = how == AddDisposition::kReplaceExisting;
  const std::string file_name = Hex(Sha1(crl->issuer_der())) + ".crl";
  bool existed = false;
  const uint32_t err = WriteEntry(file_name, crl->der(), replace, &existed);
  if (err != 0) return err;
  if (existed && how == AddDisposition::kNew) return kCryptEExists;
  CrlPtr result = crl;
  if (existed) {
    std::vector<uint8_t> bytes;
    CrlPtr there = ReadWholeFile(folder_ / file_name, &bytes) ? CrlContext::FromDer(bytes) : nullptr;
    if (there) result = there;
  }
  if (crls_loaded_) {
    auto same_issuer = [&](const CrlPtr& c) {
      return CompareCertificateName(c->issuer_der(), result->issuer_der());
    };
    auto pos = std::find_if(crls_.begin(), crls_.end(), same_issuer);
    if (pos != crls_.end()) {
      *pos = result;
    } else {
      crls_.push_back(result);
      std::sort(crls_.begin(), crls_.end(), [](const CrlPtr& a, const CrlPtr& b) {
        return Hex(Sha1(a->issuer_der())) < Hex(Sha1(b->issuer_der()));
      });
    }
  }
  if (stored != nullptr) *stored = result;
  return 0;
}

uint32_t CertStore::DeleteCertificate(const CertContext& cert) {
  const std::filesystem::path target = folder_ / (cert.sha1_hex() + ".cer");
  if (::unlink(target.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
  std::erase_if(certs_, [&](const CertPtr& c) { return c->sha1() == cert.sha1(); });
  return 0;
}

uint32_t CertStore::DeleteCrl(const CrlContext& crl) {
  const std::filesystem::path target = folder_ / (Hex(Sha1(crl.issuer_der())) + ".crl");
  if (::unlink(target.c_str()) != 0 && errno != ENOENT) return Win32FromErrno(errno);
  std::erase_if(crls_, [&](const CrlPtr& c) {
    return CompareCertificateName(c->issuer_der(), crl.issuer_der());
  });
  return 0;
}

size_t PositionAfter(const std::vector<CertPtr>& certs, const CertContext* previous) {
  if (previous == nullptr) return 0;
  for (size_t i = 0; i < certs.size(); ++i)
    if (certs[i].get() == previous || certs[i]->sha1() == previous->sha1()) return i + 1;
  return certs.size();
}

CertPtr FindCertificateBySubjectText(CertStore& store, std::string_view text,
                                     const CertContext* previous) {
  const std::vector<CertPtr>& certs = store.Certificates();
  const std::u32string needle = FoldCase(text);
  for (size_t i = PositionAfter(certs, previous); i < certs.size(); ++i) {
    std::optional<std::string> subject = CertNameToStr(certs[i]->subject_der(), kCertSimpleNameStr);
    if (subject && FoldCase(*subject).find(needle) != std::u32string::npos) return certs[i];
  }
  return nullptr;
}

}  // namespace vel::platform
