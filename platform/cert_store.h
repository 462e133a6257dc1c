// Certificate and CRL contexts over OpenSSL, and the system certificate stores
// ("My", "CA", "ROOT", the library's CRL store "VelCryptoAPI") as folders.
//
// A context keeps the exact DER it was made from; every comparison has the
// platform's meaning: names compare by their DER bytes, a certificate
// is identified by its issuer and serial number, serial numbers are the DER
// content octets (most significant first) with the sign byte kept.
//
// A context is shared and immutable: the platform's duplicate is a copy of the
// shared pointer, its release the end of that copy.
//
// Store layout: <root>/<location>/<store>/ with one file per certificate,
// "<SHA-1 of its DER, 40 upper-case hex digits>.cer", and one file per CRL
// slot, "<SHA-1 of the slot>.crl", a slot being the issuer Name, the key that
// signed the CRL and the CRL's scope (see CrlSlotFileName): a partitioned CRL
// or one signed by another key of a same-named CA never takes the place of
// another. Store names are compared without case (the folder name is the
// lower-case name, with bytes outside [a-z0-9_-] written as %XX so that no
// name can leave the folder). The user location is
// $XDG_DATA_HOME/veldoc/certstores, the machine location
// /var/lib/veldoc/certstores; VELDOC_STORE_DIR=<dir> moves them to <dir>/user
// and <dir>/machine. Writes go to a temporary file in the store folder that is
// then renamed (or linked) into place, so readers in other processes always
// see whole files.
//
// Only regular files are read, opened without following a symbolic link and
// without blocking (a FIFO, a device, a link, a folder under an entry's name
// are passed over). What was read is kept in memory for the whole process
// and read again only when the folder changed: its time stamps (with
// nanoseconds) say so, or, while they are too recent to tell a second change
// in the same clock tick, the listing of names, inodes, sizes and times
// does; a write by this process always makes the next reader look.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vel::platform {

// HRESULTs of the platform's certificate layer that the stand-in reports.
inline constexpr uint32_t kCryptENotFound = 0x80092004;
inline constexpr uint32_t kCryptEExists = 0x80092005;
inline constexpr uint32_t kCryptEAsn1Eod = 0x80093102;     // unexpected end of data
inline constexpr uint32_t kCryptEAsn1BadTag = 0x8009310B;  // malformed encoding
inline constexpr uint32_t kNteBadKey = 0x80090003;
inline constexpr uint32_t kNteBadSignature = 0x80090006;
inline constexpr uint32_t kEInvalidArg = 0x80070057;

// Store locations as the callers pass them (the location bits of the flags).
inline constexpr uint32_t kStoreCurrentUser = 0x00010000;
inline constexpr uint32_t kStoreLocalMachine = 0x00020000;
inline constexpr uint32_t kStoreLocationMask = 0x00FF0000;

// Add dispositions, with the platform's numbers.
enum class AddDisposition : uint32_t {
  kNew = 1,              // fails with kCryptEExists when an equal entry is there
  kUseExisting = 2,      // keeps the entry that is there
  kReplaceExisting = 3,  // the new one takes its place
};

// UTC calendar time of a certificate or CRL field.
struct CertTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::time_t ToTimeT() const;  // seconds since 1970 (UTC)
};

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct X509CrlDeleter {
  void operator()(X509_CRL* p) const { X509_CRL_free(p); }
};

class CertContext;
class CrlContext;
using CertPtr = std::shared_ptr<const CertContext>;
using CrlPtr = std::shared_ptr<const CrlContext>;

// Signature results already computed for an immutable context, by the SHA-1
// of the signer certificate: contexts live in the store cache for the whole
// process, and a CRL of tens of thousands of entries costs milliseconds to
// hash again.
class SignatureMemo {
 public:
  bool Find(std::span<const uint8_t> signer_sha1, uint32_t* error) const;
  void Add(std::span<const uint8_t> signer_sha1, uint32_t error) const;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::pair<std::vector<uint8_t>, uint32_t>> results_;
};

class CertContext {
  struct Key {};

 public:
  explicit CertContext(Key) {}
  // Decodes a certificate. The bytes must be exactly one DER certificate
  // that OpenSSL accepts (it refuses, for one, name values outside its
  // directory-string types, such as an OCTET STRING); trailing bytes are
  // refused. *error gets 0 or the platform's HRESULT (kCryptEAsn1Eod when
  // cut short, kCryptEAsn1BadTag otherwise).
  static CertPtr FromDer(std::span<const uint8_t> der, uint32_t* error = nullptr);
  // The same from a certificate OpenSSL holds (a key file's, a token's).
  static CertPtr FromX509(X509* x509, uint32_t* error = nullptr);

  std::span<const uint8_t> der() const { return der_; }
  X509* x509() const { return x509_.get(); }
  std::span<const uint8_t> issuer_der() const { return issuer_; }
  std::span<const uint8_t> subject_der() const { return subject_; }
  std::span<const uint8_t> serial() const { return serial_; }  // content octets
  // The version field as stored: 0 for v1, 2 for v3.
  uint32_t version() const { return version_; }
  CertTime not_before() const { return not_before_; }
  CertTime not_after() const { return not_after_; }
  // SHA-1 of the DER, as 20 bytes and as 40 upper-case hex digits.
  const std::vector<uint8_t>& sha1() const { return sha1_; }
  std::string sha1_hex() const;

  // The raw value (the extnValue content) of the first extension with this
  // dotted identifier; false when there is none.
  bool FindExtension(std::string_view dotted_oid, std::vector<uint8_t>* value) const;

  // True when this certificate's signature verifies with the public key of
  // `signer`; *error gets 0, kNteBadSignature, or kNteBadKey for a key that
  // cannot be used.
  bool SignatureVerifiesWith(const CertContext& signer, uint32_t* error = nullptr) const;

 private:
  std::vector<uint8_t> der_;
  std::unique_ptr<X509, X509Deleter> x509_;
  SignatureMemo memo_;
  std::span<const uint8_t> issuer_, subject_, serial_;  // views into der_
  uint32_t version_ = 0;
  CertTime not_before_, not_after_;
  std::vector<uint8_t> sha1_;
};

class CrlContext {
  struct Key {};

 public:
  explicit CrlContext(Key) {}
  static CrlPtr FromDer(std::span<const uint8_t> der, uint32_t* error = nullptr);

  std::span<const uint8_t> der() const { return der_; }
  X509_CRL* crl() const { return crl_.get(); }
  std::span<const uint8_t> issuer_der() const { return issuer_; }
  CertTime this_update() const { return this_update_; }
  bool has_next_update() const { return has_next_update_; }
  CertTime next_update() const { return next_update_; }

  // True when the CRL's signature verifies with the public key of `issuer`.
  bool SignatureVerifiesWith(const CertContext& issuer, uint32_t* error = nullptr) const;

  // True when the CRL lists the certificate's serial number.
  bool Lists(const CertContext& cert) const;

 private:
  // Where a revoked entry's serial number (content octets) lies in der_.
  struct Serial {
    uint32_t offset = 0;
    uint32_t length = 0;
  };
  std::span<const uint8_t> SerialBytes(Serial s) const { return std::span(der_).subspan(s.offset, s.length); }

  std::vector<uint8_t> der_;
  // Without the revoked entries when they are indexed in serials_: OpenSSL
  // would give every entry several allocations of its own.
  std::unique_ptr<X509_CRL, X509CrlDeleter> crl_;
  SignatureMemo memo_;
  std::span<const uint8_t> issuer_;
  // The signed part and both algorithm identifiers, for the signature check
  // on the original bytes.
  std::span<const uint8_t> tbs_, tbs_algorithm_, algorithm_;
  bool entries_indexed_ = false;
  std::vector<Serial> serials_;  // sorted (length, bytes); minimal encodings
  CertTime this_update_, next_update_;
  bool has_next_update_ = false;
};

// The platform's comparisons.
// Same issuer Name (DER bytes) and same serial number.
bool CompareCertificate(const CertContext& a, const CertContext& b);
// Two encoded Names are equal when their bytes are.
bool CompareCertificateName(std::span<const uint8_t> a, std::span<const uint8_t> b);
// Serial numbers equal as integers (a redundant leading 00 or FF ignored).
bool CompareIntegerBlob(std::span<const uint8_t> a, std::span<const uint8_t> b);

// A system store opened at one location.
class CertStore {
  struct Key {};

 public:
  CertStore(Key, std::filesystem::path folder) : folder_(std::move(folder)) {}
  // Opens the named store. A store that does not exist yet is empty and its
  // folder is made by the first write. 87 for an empty name or a location
  // other than the current user or the local machine.
  static uint32_t Open(uint32_t location_flags, std::string_view name,
                       std::unique_ptr<CertStore>* out);

  // The certificates and CRLs, in a stable order (by file name), read when
  // first asked for and kept up to date by this object's own changes.
  const std::vector<CertPtr>& Certificates();
  const std::vector<CrlPtr>& Crls();

  // Adds a certificate (equal: same DER). *stored gets the one in the store.
  uint32_t AddCertificate(const CertPtr& cert, AddDisposition how, CertPtr* stored = nullptr);
  // Adds a CRL (equal: the same slot, CrlSlotFileName with `signer`).
  uint32_t AddCrl(const CrlPtr& crl, AddDisposition how, CrlPtr* stored = nullptr,
                  const CertContext* signer = nullptr);
  // The CRL stored in the slot `crl` would take (with `signer`), or none.
  CrlPtr CrlInSlot(const CrlContext& crl, const CertContext* signer = nullptr);
  // Removes an entry (every CRL file with these bytes); one that is already
  // gone counts as removed.
  uint32_t DeleteCertificate(const CertContext& cert);
  uint32_t DeleteCrl(const CrlContext& crl);

  const std::filesystem::path& folder() const { return folder_; }

  // The folder of a store (for tests and tools); empty for a bad argument.
  static std::filesystem::path FolderFor(uint32_t location_flags, std::string_view name);

 private:
  uint32_t WriteEntry(const std::string& file_name, std::span<const uint8_t> der, bool replace,
                      bool* existed);

  std::filesystem::path folder_;
  bool certs_loaded_ = false, crls_loaded_ = false;
  std::vector<CertPtr> certs_;
  std::vector<CrlPtr> crls_;
  std::vector<std::string> crl_files_;  // the file of each of crls_
};

// The file name of a CRL's slot: the SHA-1 of its issuer Name, the
// identifier of the key that signed it (the signer's subject key identifier,
// or the SHA-1 of its public key; without a signer, the CRL's own authority
// key identifier) and its issuingDistributionPoint value, as 40 upper-case
// hex digits and ".crl".
std::string CrlSlotFileName(const CrlContext& crl, const CertContext* signer = nullptr);

// Where an enumeration goes on after `previous`: the index after it in
// `certs` (the same context, or the same DER); 0 without a previous one; the
// end when `previous` is not there.
size_t PositionAfter(const std::vector<CertPtr>& certs, const CertContext* previous);

// Whether an encoded Name, as simple name text, contains `text` without
// regard to case (ASCII and the Latin letters of Latin-1 and Latin
// Extended-A, which covers Polish).
bool NameTextContains(std::span<const uint8_t> name_der, std::string_view text);

// The platform's search by subject text: the first certificate after
// `previous` whose subject, as simple name text, contains `text` without
// regard to case (ASCII and the Latin letters of Latin-1 and Latin
// Extended-A, which covers Polish).
CertPtr FindCertificateBySubjectText(CertStore& store, std::string_view text,
                                     const CertContext* previous);

}  // namespace vel::platform
