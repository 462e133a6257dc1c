#include "app/crl_migration.h"

#include <cctype>

#include "app/default_settings.h"

namespace vel::app {

namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

CrlMigrationResult MigrateCrlUrls(const std::string& stored, const std::function<bool(int)>& declined_before,
                                  const std::function<bool()>& ask,
                                  const std::function<void(int)>& decline) {
  std::string lower = stored;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  CrlMigrationResult r;
  // Lines end in CR LF as the program writes them, but a hand-edited list may
  // use CR or LF alone; a final line without an end is still a line.
  size_t pos = 0;
  while (pos < lower.size()) {
    size_t end = lower.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = lower.size();
    const std::string piece = Trim(lower.substr(pos, end - pos));
    pos = end;
    if (pos < lower.size() && lower[pos] == '\r') ++pos;
    if (pos < lower.size() && lower[pos] == '\n') ++pos;

    int which = 0;
    if (piece == kRootCrlFormerLdap) which = 1;
    else if (piece == kRootCrlFormerHttp) which = 2;
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
