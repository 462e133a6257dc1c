// Replacing the national root's outdated CRL addresses in a user's CRL list.
#pragma once

#include <functional>
#include <string>

namespace vel::app {

struct CrlMigrationResult {
  std::string list;      // the rewritten list, lines as spelt, every line ending in CR LF
  bool changed = false;  // write `list` back only when set
};

// `list` is the stored CRLURLS text. For each outdated line, `guard(n)` (n = 1
// for the former LDAP address, 2 for the former HTTP address) tells whether the
// person declined before; when not, `ask()` returns true for OK. On Cancel
// `decline(n)` records the refusal and the line stays.
CrlMigrationResult MigrateCrlUrls(const std::string& list, const std::function<bool(int)>& declined_before,
                                  const std::function<bool()>& ask,
                                  const std::function<void(int)>& decline);

}  // namespace vel::app
