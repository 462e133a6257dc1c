// Arbitrary bytes as a time-stamp response and as a stored token: status,
// token, every field reader, the token's verification and its authority's
// certificate, and the check of an answer against a fixed request. Checks
// that the size rule's two calls agree and that a token handed out lies
// inside what was stored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cryptolib/timestamp_client.h"
#include "cryptolib/timestamp_parse.h"
#include "cryptolib/timestamp_token.h"

namespace {

using vel::crypto::LibraryErrorCode;

void Check(bool ok) {
  if (!ok) std::abort();
}

template <typename F>
LibraryErrorCode TwoCalls(F&& f, std::vector<uint8_t>* out) {
  uint32_t size = 0;
  LibraryErrorCode err = f(nullptr, &size);
  if (err != 234) return err;
  out->assign(size, 0);
  uint32_t second = size;
  err = f(out->data(), &second);
  Check(err == 0);
  Check(second == size);
  return 0;
}

// A request with a nonce and certReq, as the client writes it.
const std::vector<uint8_t> kRequest = [] {
  std::vector<uint8_t> r = {0x30, 0x43, 0x02, 0x01, 0x01, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05,
                            0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  r.resize(40, 0x5A);
  r.push_back(0x02);
  r.push_back(0x18);
  r.resize(66, 0x33);
  r.insert(r.end(), {0x01, 0x01, 0xFF});
  return r;
}();

void Exercise(vel::crypto::TimeStampToken& t, const std::vector<uint8_t>& stored) {
  std::vector<uint8_t> out;
  Check(TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetResponse(o, s); }, &out) == 0);
  Check(out == stored);
  t.Decode();
  if (TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetToken(o, s); }, &out) == 0)
    Check(std::search(stored.begin(), stored.end(), out.begin(), out.end()) != stored.end());
  TwoCalls([&](uint8_t* o, uint32_t* s) { return t.GetHashedMessage(o, s); }, &out);
  TwoCalls(
      [&](uint8_t* o, uint32_t* s) {
        return vel::crypto::TspGetGenTime(t.context(), reinterpret_cast<char*>(o), s);
      },
      &out);
  TwoCalls(
      [&](uint8_t* o, uint32_t* s) { return vel::crypto::TspGetCertificatesField(t.context(), o, s); },
      &out);
  t.Verify();
  t.GetTsaCertificate();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 200000) return 0;
  const std::vector<uint8_t> bytes(data, data + size);
  const auto n = static_cast<uint32_t>(size);

  vel::crypto::TimeStampToken as_response;
  Check(as_response.LoadResponse(data, n) == 0);
  Exercise(as_response, bytes);
  vel::crypto::tsp::CheckAnswer(kRequest, bytes);
  vel::crypto::tsp::RequestView request;
  vel::crypto::tsp::ParseRequest(bytes, &request);

  vel::crypto::TimeStampToken as_token;
  const LibraryErrorCode err = as_token.LoadToken(data, n);
  Check(err == (size <= vel::crypto::kMaxStoredToken ? 0u : 87u));
  if (err == 0) {
    std::vector<uint8_t> stored;
    uint32_t s = 0;
    as_token.GetResponse(nullptr, &s);
    stored.resize(s);
    Check(as_token.GetResponse(stored.data(), &s) == 0);
    Check(s == size + 9 && std::equal(bytes.begin(), bytes.end(), stored.begin() + 9));
    Exercise(as_token, stored);
  }
  return 0;
}
