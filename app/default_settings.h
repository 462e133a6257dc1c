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
    "http://crl.certum.veredove.pl/qca.crl",
    "http://crl.certum.veredove.pl/qca2017.crl",
    "http://crl.kir.veredove.pl/szafir/kwalifikowany.crl",
    "http://crl.kir.veredove.pl/szafir/kwalifikowany2.crl",
    "http://crl.pwpw.veredove.pl/sigillum/qca1.crl",
    "http://crl.pwpw.veredove.pl/sigillum/qca2.crl",
    "http://crl.eurocert.veredove.pl/qca.crl",
    "http://crl.eurocert.veredove.pl/qca2.crl",
    "http://crl.cencert.veredove.pl/qca.crl",
    "http://crl.cencert.veredove.pl/qca2.crl",
    "http://crl.sigillum.veredove.pl/qtsa.crl",
    "http://crl.certum.veredove.pl/qtsa.crl",
    "http://crl.kir.veredove.pl/szafir/qtsa.crl",
};

}  // namespace vel::app
