// The certificate import command (app/cert_tool.h).
#include <iostream>
#include <string>
#include <vector>

#include "app/cert_tool.h"

int main(int argc, char** argv) {
  return vel::app::RunCertTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
