// The user's list of CRL addresses (CRLURLS): one address a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vel::app {

// Every line of the list, trimmed of blanks and tabs, empty lines included;
// nothing follows the last line end. The program writes lines ending in
// CR LF, but a list edited by hand on Linux ends them with a bare LF, and a
// bare CR ends a line as well.
std::vector<std::string> SplitCrlList(std::string_view list);

// The addresses of the list: its non-empty lines, in order.
std::vector<std::string> CrlAddresses(std::string_view list);

}  // namespace vel::app
