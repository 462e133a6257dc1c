// The HTTP client's own checks of addresses and arguments, without a network.
#include "cryptolib/http_client.h"

#include <gtest/gtest.h>

namespace vel::crypto {
namespace {

TEST(HttpClient, AddressesAndArguments) {
  struct Case {
    const char* address;
    LibraryErrorCode rc;
  } cases[] = {
      {"ldap://ldap.example.pl/c=PL", 12006},
      {"crl.example.pl/ca.crl", 12006},
      {"http://host:70000/", 12005},
      {"https://host/ok", 0},
  };
  HttpRequestPtr request(CreateHttpRequest());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->headers, "*/*");
  EXPECT_EQ(request->accept_type, "*/*");
  EXPECT_EQ(SendHttpRequest(request.get()), 87u) << "no address yet";
  for (const Case& c : cases) {
    EXPECT_EQ(SetHttpRequestUrl(request.get(), c.address), c.rc) << c.address;
    EXPECT_EQ(request->last_error, c.rc);
  }
  // A failed address is not sent to the one before it.
  ASSERT_EQ(SetHttpRequestUrl(request.get(), "ftp://host/x"), 12006u);
  EXPECT_EQ(SendHttpRequest(request.get()), 87u);
  ASSERT_EQ(SetHttpRequestUrl(request.get(), "http://host/x"), 0u);
  SetHttpRequestBody(request.get(), nullptr, 10);
  EXPECT_EQ(SendHttpRequest(request.get()), 87u) << "a length without bytes";

  uint32_t size = 7;
  EXPECT_EQ(GetHttpResponse(request.get(), nullptr, &size), 0u) << "nothing held";
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(GetHttpResponse(request.get(), nullptr, nullptr), 87u);
  EXPECT_EQ(SetHttpRequestUrl(nullptr, "http://host/"), 87u);
  EXPECT_EQ(SetHttpRequestUrl(request.get(), nullptr), 87u);
  EXPECT_EQ(SendHttpRequest(nullptr), 87u);
  FreeHttpRequest(nullptr);
}

}  // namespace
}  // namespace vel::crypto
