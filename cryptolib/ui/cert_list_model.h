// What the certificate selection window shows and does, without widgets: one
// row per candidate, and the choice applied to the caller's context.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "cryptolib/x509_context.h"

namespace vel::crypto::ui {

// Shown in a name column whose name cannot be made.
inline constexpr const char* kCertListNameError =
    "__BŁĄD__ , Proszę skontaktować się z dostawcą oprogramowania !";

struct CertListRow {
  std::string subject;   // display name
  std::string issuer;    // the issuer's common name
  std::string serial;    // upper-case hex, most significant byte first
  std::string valid_to;  // NotAfter in local time, "YYYY-MM-DD hh:mm:ss"
};

// One row per candidate, in candidate order.
std::vector<CertListRow> BuildCertListRows(std::span<const CertPtr> candidates);

// Makes candidate `row` the context's current certificate, releases every
// other candidate and sets the last error to 0. A row past the end changes
// nothing and returns false.
bool TakeChosenCandidate(X509Context* context, size_t row);

}  // namespace vel::crypto::ui
