// Rows of the certificate selection window.
#include "cryptolib/ui/cert_list_model.h"

#include <cstring>
#include <utility>

#include "cryptolib/cert_names.h"
#include "platform/win32_error.h"

namespace vel::crypto::ui {
namespace {

// A text of the size rule, or none when it cannot be made.
template <typename Call>
bool SizedText(Call&& call, std::string* out) {
  uint32_t size = 0;
  const LibraryErrorCode err = call(nullptr, &size);
  if (err != platform::kErrorMoreData) return false;
  std::string buffer(size + 1, '\0');
  uint32_t room = static_cast<uint32_t>(buffer.size());
  if (call(buffer.data(), &room) != 0) return false;
  buffer.resize(std::strlen(buffer.c_str()));
  *out = std::move(buffer);
  return true;
}

}  // namespace

std::vector<CertListRow> BuildCertListRows(std::span<const CertPtr> candidates) {
  std::vector<CertListRow> rows;
  rows.reserve(candidates.size());
  X509ContextPtr context = MakeX509Context();
  for (const CertPtr& candidate : candidates) {
    CertListRow row;
    if (context && candidate) {
      X509Context* ctx = context.get();
      ctx->certificate = candidate;
      if (!SizedText([&](char* t, uint32_t* s) { return GetDisplayName(ctx, t, s); },
                     &row.subject))
        row.subject = kCertListNameError;
      if (!SizedText([&](char* t, uint32_t* s) { return GetIssuerCommonName(ctx, t, s); },
                     &row.issuer))
        row.issuer = kCertListNameError;
      SizedText([&](char* t, uint32_t* s) { return GetSerialNumberHex(ctx, t, s); }, &row.serial);
      SizedText([&](char* t, uint32_t* s) { return GetValidityText(ctx, 1, false, t, s); },
                &row.valid_to);
    } else {
      row.subject = row.issuer = kCertListNameError;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

bool TakeChosenCandidate(X509Context* context, size_t row) {
  if (context == nullptr || row >= context->candidates.size()) return false;
  context->certificate = std::move(context->candidates[row]);
  context->candidates.clear();
  context->last_error = 0;
  return true;
}

}  // namespace vel::crypto::ui
