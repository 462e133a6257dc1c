// What the XAdES benchmarks share: files read and written whole, the
// key both sides sign with, and the content they sign.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/measure.h"

namespace vel::bench {

using Bytes = std::vector<uint8_t>;

// Exactly the file's size, so that a measured peak holds the bytes once.
inline Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  Bytes out(std::filesystem::file_size(p));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return out;
}

inline bool WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

// A self-signed RSA key in `dir`: key.pem, cert.pem, cert.der and key.p12
// (password 1234).
inline bool MakeBenchKey(const std::filesystem::path& dir) {
  return Run("cd " + dir.string() +
             " && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Bench -days 2"
             " -keyout key.pem -out cert.pem 2>/dev/null && openssl x509 -in cert.pem -outform DER"
             " -out cert.der && openssl pkcs12 -export -in cert.pem -inkey key.pem -passout pass:1234"
             " -out key.p12") == 0;
}

// Contract items of about `megabytes`, the content of the signed Object.
inline std::string ContractItems(double megabytes) {
  std::string body;
  const size_t want = static_cast<size_t>(megabytes * 1024 * 1024);
  for (size_t i = 0; body.size() < want; ++i)
    body += "<pozycja nr=\"" + std::to_string(i) + "\">Tresc umowy, punkt " + std::to_string(i) +
            " &amp; warunki</pozycja>\n";
  return body;
}

}  // namespace vel::bench
