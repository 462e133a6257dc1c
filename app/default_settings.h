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
