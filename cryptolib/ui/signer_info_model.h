// What the CMS signer window shows, computed without widgets: the rows of
// its three pages (General, Signed attributes, Unsigned attributes), each
// with the text shown in the list and the full value shown below it, from a
// SignerInfo's DER. Texts are UTF-8 in the current language; line breaks in
// values are CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cryptolib/status.h"
#include "platform/cert_store.h"

namespace vel::crypto {
class CmsSignerNode;
}

namespace vel::crypto::ui {

// Label ids of the rows (the signer window's label table).
inline constexpr uint32_t kLabelVersion = 204;
inline constexpr uint32_t kLabelCertIssuer = 205;
inline constexpr uint32_t kLabelCertSerial = 206;
inline constexpr uint32_t kLabelDigestAlgorithm = 208;
inline constexpr uint32_t kLabelSignature = 210;
inline constexpr uint32_t kLabelContentType = 304;
inline constexpr uint32_t kLabelSigningTime = 306;
inline constexpr uint32_t kLabelMessageDigest = 307;
inline constexpr uint32_t kLabelContentHints = 308;
inline constexpr uint32_t kLabelSignaturePolicy = 310;
inline constexpr uint32_t kLabelCertificateHash = 311;
inline constexpr uint32_t kLabelCommitmentType = 313;
inline constexpr uint32_t kLabelCountersignature = 404;
inline constexpr uint32_t kLabelTimestamp = 405;
inline constexpr uint32_t kLabelCertificateRefs = 406;
inline constexpr uint32_t kLabelCrlRefs = 407;
inline constexpr uint32_t kLabelCertificateValues = 408;
inline constexpr uint32_t kLabelRevocationValues = 409;

// One row of a page's list.
struct SignerRow {
  uint32_t label_id = 0;
  std::string label;  // column 0
  std::string shown;  // column 1
  std::string value;  // the value box text when the row is selected
};

struct SignerInfoModel {
  // 0, or what keeps the signer from being shown (the window does not open).
  LibraryErrorCode status = 0;
  std::vector<SignerRow> general;
  std::vector<SignerRow> signed_attributes;
  std::vector<SignerRow> unsigned_attributes;
};

// The rows for an encoded SignerInfo. A SignerInfo that does not decode:
// status 0x8009310B; an issuer name that cannot be written as text: the
// same. Attributes whose value does not decode get no row.
SignerInfoModel BuildSignerInfoModel(std::span<const uint8_t> signer_info);

// Each byte as two upper-case hex digits and a blank.
std::string HexRow(std::span<const uint8_t> bytes);
// As HexRow, with one more blank after every 8th byte and CR LF after every
// 16th.
std::string HexDump(std::span<const uint8_t> bytes);
// The bytes of a hex dump: blanks, CR and LF are skipped, every other
// position starts a two-digit hex number. Empty when a position holds no
// such number.
std::vector<uint8_t> HexDumpBytes(std::string_view dump);

// The Signing time text of a signingTime value (a UTCTime or
// GeneralizedTime element): "yyyy-mm-dd hh:mm:ss" and " GMT" (UTCTime) or
// " UTC" (GeneralizedTime). Fractions of seconds are kept after the seconds,
// a time with an offset is shown in UTC, a GeneralizedTime without zone is
// shown without suffix. False unless the element is one whole time with
// seconds and a valid date.
bool SigningTimeText(std::span<const uint8_t> value, std::string* text);

// The Timestamp text of a signature time-stamp value (a bare token, or a
// whole time-stamp response): the token's genTime as
// "%04d-%02d-%02d %02d:%02d:%02d (UTC)" (an offset converted to UTC). False
// when the token has no genTime with seconds and a zone, or its date does
// not exist.
bool TimeStampRowText(std::span<const uint8_t> value, std::string* text);

// What Show signature opens for row `row` of the Unsigned attributes page:
// for a Timestamp row, the signer tree of its token (the stored value turned
// back into bytes; a whole time-stamp response is read for its token). None
// for other rows, rows past the end, or a token that does not decode.
std::unique_ptr<CmsSignerNode> TimeStampTreeForRow(const SignerInfoModel& model, size_t row);

}  // namespace vel::crypto::ui
