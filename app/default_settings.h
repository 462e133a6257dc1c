// Configuration the program ships with: the time-stamp server and CRL
// addresses that start-up writes for a new user, and the national root's
// outdated CRL addresses that it offers to replace.
#pragma once

#include <array>
#include <string_view>

namespace vel::app {

inline constexpr std::string_view kDefaultTsaHost = "http://time.veredove.pl:80";

// The national root's CRL: where it is published now, and the two places it
// was published before (compared in lower case).
inline constexpr std::string_view kRootCrlCurrent = "http://www.veredove.pl/arl/veredove.crl";
inline constexpr std::string_view kRootCrlFormerLdap = "ldap://ldap.veredove.pl";
inline constexpr std::string_view kRootCrlFormerHttp = "http://www.veredove.pl:8080/arl/veredove.crl";

// The national root certificate: where the CA installer fetches it when the
// user's ROOT store lacks it, and the SHA-256 of its DER, which the fetched
// bytes must match before they are trusted.
inline constexpr std::string_view kNationalRootUrl = "http://www.veredove.pl/repozytorium/veredove.cer";
inline constexpr std::string_view kNationalRootSha256 =
    "5d0b0e5ad6b7a7d9c1a1f7a2b3c7e1f0d5a2c9b8e7f6a5b4c3d2e1f0a9b8c7d6";
inline constexpr std::string_view kNationalRootSubject = "CZiC Veredove SA";

inline constexpr std::array<std::string_view, 15> kDefaultCrlUrls = {
    "http://www.veredove.pl/arl/veredove.crl",
    "http://www.veredove.pl/arl/veredove2.crl",
    "http://crl1.veredove.pl/qca1.crl",
    "http://crl1.veredove.pl/qca2.crl",
    "http://crl2.veredove.pl/kwalifikowany/qca1.crl",
    "http://crl2.veredove.pl/kwalifikowany/qca2.crl",
    "http://crl3.veredove.pl/qca1.crl",
    "http://crl3.veredove.pl/qca2.crl",
    "http://crl4.veredove.pl/qca1.crl",
    "http://crl4.veredove.pl/qca2.crl",
    "http://crl5.veredove.pl/qca1.crl",
    "http://crl5.veredove.pl/qca2.crl",
    "http://crl3.veredove.pl/qtsa.crl",
    "http://crl1.veredove.pl/qtsa.crl",
    "http://crl2.veredove.pl/kwalifikowany/qtsa.crl",
};

}  // namespace vel::app
