#include "xades/big_integer.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <string>

namespace vel::xades {
namespace {

std::string OpenSslDecimal(const std::string& hex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, hex.c_str()) == 0) return "?";
  std::unique_ptr<BIGNUM, decltype(&BN_free)> owner(bn, BN_free);
  char* dec = BN_bn2dec(bn);
  std::string text(dec);
  OPENSSL_free(dec);
  return text;
}

std::string ThrownBy(auto&& f) {
  try {
    f();
  } catch (const char* message) {
    return message;
  }
  return "";
}

TEST(BigInteger, HexToDecimalAgreesWithOpenSsl) {
  std::vector<std::string> cases = {"0", "000", "FF", "ff", "1", "FFFFFFFF", "100000000",
                                    "ffffffffffffffff", "10000000000000000",
                                    "0102", "00000000000000000000000000000001"};
  // A 20-byte and a 100-byte serial, and random lengths up to 130 bytes.
  cases.push_back(std::string(40, 'f'));
  cases.push_back("7f" + std::string(198, '3'));
  for (int len = 1; len <= 130; len += 7) {
    std::vector<unsigned char> bytes(static_cast<size_t>(len));
    ASSERT_EQ(RAND_bytes(bytes.data(), len), 1);
    std::string hex;
    for (unsigned char b : bytes) {
      static const char* digits = "0123456789abcdef";
      hex.push_back(digits[b >> 4]);
      hex.push_back(digits[b & 15]);
    }
    cases.push_back(hex);
  }
  for (const auto& hex : cases) EXPECT_EQ(hexToDecimal(hex), OpenSslDecimal(hex)) << hex;
  EXPECT_EQ(hexToDecimal("abcdef"), hexToDecimal("ABCDEF"));
}

TEST(BigInteger, ArithmeticAgreesWithOpenSsl) {
  // (a * b + c) / d and % d over multi-block values, against BIGNUM.
  const std::string a = "123456789abcdef0fedcba9876543210", b = "fffffffffffffffffffffffff",
                    c = "deadbeef", d = "1000000000000000f";
  auto big = [](const std::string& hex) { return BigUnsignedInABase(hex, 16).ToBigUnsigned(); };
  BigUnsigned r, q;
  r.multiply(big(a), big(b));
  r.add(r, big(c));
  r.divideWithRemainder(big(d), q);
  auto dec = [](const BigUnsigned& x) { return static_cast<std::string>(BigUnsignedInABase(x, 10)); };

  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *A = nullptr, *B = nullptr, *C = nullptr, *D = nullptr;
  BN_hex2bn(&A, a.c_str());
  BN_hex2bn(&B, b.c_str());
  BN_hex2bn(&C, c.c_str());
  BN_hex2bn(&D, d.c_str());
  BIGNUM *P = BN_new(), *Q = BN_new(), *R = BN_new();
  BN_mul(P, A, B, ctx);
  BN_add(P, P, C);
  BN_div(Q, R, P, D, ctx);
  auto text = [](const BIGNUM* x) {
    char* s = BN_bn2dec(x);
    std::string t(s);
    OPENSSL_free(s);
    return t;
  };
  EXPECT_EQ(dec(q), text(Q));
  EXPECT_EQ(dec(r), text(R));
  for (BIGNUM* x : {A, B, C, D, P, Q, R}) BN_free(x);
  BN_CTX_free(ctx);
}

TEST(BigInteger, EdgeValues) {
  EXPECT_EQ(static_cast<std::string>(BigUnsignedInABase(BigUnsigned(0), 10)), "0");
  BigUnsigned two32;
  two32.multiply(BigUnsigned(65536), BigUnsigned(65536));
  EXPECT_EQ(static_cast<std::string>(BigUnsignedInABase(two32, 10)), "4294967296");
  EXPECT_EQ(static_cast<std::string>(BigUnsignedInABase(two32, 16)), "100000000");
  EXPECT_EQ(static_cast<unsigned short>(BigUnsigned(65535)), 65535);
  BigUnsigned zero_divisor_case(1000), q(5);
  zero_divisor_case.divideWithRemainder(BigUnsigned(0), q);
  EXPECT_TRUE(q.isZero());
  EXPECT_EQ(static_cast<std::string>(BigUnsignedInABase(zero_divisor_case, 10)), "1000");
}

TEST(BigInteger, Messages) {
  EXPECT_EQ(ThrownBy([] { BigUnsigned x(-1); }),
            "BigUnsigned::BigUnsigned(int): Cannot construct a BigUnsigned from a negative number");
  EXPECT_EQ(ThrownBy([] { (void)static_cast<unsigned short>(BigUnsigned(65536)); }),
            "BigUnsigned::operator unsigned short: Value is too big for an unsigned short");
  EXPECT_EQ(ThrownBy([] {
              BigUnsigned x(10);
              x.divideWithRemainder(BigUnsigned(3), x);
            }),
            "BigUnsigned::divideWithRemainder: Cannot write quotient and remainder into the same "
            "variable");
  EXPECT_EQ(ThrownBy([] { BigUnsignedInABase(BigUnsigned(5), 1); }),
            "BigUnsignedInABase(BigUnsigned, Base): The base must be at least 2");
  for (const char* bad : {"12 34", "-5"})
    EXPECT_EQ(ThrownBy([&] { BigUnsignedInABase(bad, 16); }),
              "BigUnsignedInABase(std::string, Base): Bad symbol in input.  Only 0-9, A-Z, a-z are "
              "accepted.");
  EXPECT_NE(ThrownBy([] { BigUnsignedInABase("12", 37); }).find("base over 36;"), std::string::npos);
}

}  // namespace
}  // namespace vel::xades
