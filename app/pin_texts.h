// What the PIN or password dialog says, in the program's language: which key
// is asked for, whose certificate it belongs to, and what the previous try or
// the token's counters warn of. Plain data, so tests read it without a display.
#pragma once

#include <cstdint>
#include <string>

#include "platform/signer.h"

namespace vel::app {

struct PinTexts {
  std::string title;
  std::string question;     // which PIN or password
  std::string certificate;  // whose key; empty when the certificate has no name
  std::string warning;      // a wrong previous try, the token's counters; empty when none
  std::string field;        // the entry's label
  std::string ok, cancel;
};

// English for 1033, Polish for every other language id.
PinTexts PinTextsFor(const platform::PinRequest& request, uint32_t lang_id);

}  // namespace vel::app
