#include "app/crl_list.h"

#include "app/text_trim.h"

namespace vel::app {

std::vector<std::string> SplitCrlList(std::string_view list) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = list.size();
    lines.push_back(Trim(list.substr(pos, end - pos)));
    pos = end;
    if (pos < list.size() && list[pos] == '\r') ++pos;
    if (pos < list.size() && list[pos] == '\n') ++pos;
  }
  return lines;
}

std::vector<std::string> CrlAddresses(std::string_view list) {
  std::vector<std::string> addresses;
  for (std::string& line : SplitCrlList(list))
    if (!line.empty()) addresses.push_back(std::move(line));
  return addresses;
}

}  // namespace vel::app
