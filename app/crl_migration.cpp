#include "app/crl_migration.h"

#include <cctype>

#include "app/crl_list.h"
#include "app/default_settings.h"

namespace vel::app {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

CrlMigrationResult MigrateCrlUrls(const std::string& stored, const std::function<bool(int)>& declined_before,
                                  const std::function<bool()>& ask,
                                  const std::function<void(int)>& decline) {
  CrlMigrationResult r;
  for (const std::string& piece : SplitCrlList(stored)) {
    // Host names do not care for case, but paths on many servers do: the
    // outdated addresses are found in any case, and every line kept keeps
    // its spelling.
    const std::string lower = Lower(piece);
    int which = 0;
    if (lower == kRootCrlFormerLdap) which = 1;
    else if (lower == kRootCrlFormerHttp) which = 2;
    if (which == 0) {
      r.list += piece + "\r\n";
    } else if (declined_before(which)) {
      // Declined before: the outdated line is left out of a rewritten list.
    } else if (ask()) {
      r.list += std::string(kRootCrlCurrent) + "\r\n";
      r.changed = true;
    } else {
      decline(which);
      r.list += piece + "\r\n";
    }
  }
  return r;
}

}  // namespace vel::app
