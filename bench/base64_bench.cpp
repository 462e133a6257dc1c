// The application's Base64 codec against OpenSSL's block coder on the same
// inputs in one run: encoding and decoding speed in MB/s of binary data.
//
//   base64_bench [megabytes]   (default 16)
// Decoding is measured on one long line and on text wrapped at 64 characters
// with CR LF, as base64 signature files come.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/base64_codec.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const size_t n = megabytes * 1024 * 1024 / 3 * 3;  // whole groups: OpenSSL's decoder keeps no padding state
  std::vector<uint8_t> data(n);
  std::mt19937 rng(12345);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const double mb = static_cast<double>(n) / (1024.0 * 1024.0);
  vel::app::Base64Codec codec;

  std::string ours;
  double t_ours_enc = BestSeconds([&] { ours = codec.Encode(data); });
  std::string theirs(4 * (n / 3) + 1, '\0');
  double t_ssl_enc = BestSeconds([&] {
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(theirs.data()), data.data(), static_cast<int>(n));
  });
  theirs.resize(4 * (n / 3));
  if (ours != theirs) {
    std::fprintf(stderr, "encodings differ\n");
    return 1;
  }

  std::string wrapped;
  wrapped.reserve(ours.size() + ours.size() / 32);
  for (size_t i = 0; i < ours.size(); i += 64) wrapped.append(ours, i, 64).append("\r\n");

  std::vector<uint8_t> out(n + 16);
  uint32_t length = 0;
  double t_ours_dec = BestSeconds([&] { codec.Decode(ours, out, length); });
  bool ok = length == n && std::equal(data.begin(), data.end(), out.begin());
  double t_ours_dec_wrapped = BestSeconds([&] { codec.Decode(wrapped, out, length); });
  ok = ok && length == n;
  double t_ssl_dec = BestSeconds([&] {
    EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(ours.data()), static_cast<int>(ours.size()));
  });
  // OpenSSL's block decoder does not skip line breaks: its streaming decoder does.
  double t_ssl_dec_wrapped = BestSeconds([&] {
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    EVP_DecodeInit(ctx);
    int l1 = 0, l2 = 0;
    EVP_DecodeUpdate(ctx, out.data(), &l1, reinterpret_cast<const unsigned char*>(wrapped.data()),
                     static_cast<int>(wrapped.size()));
    EVP_DecodeFinal(ctx, out.data() + l1, &l2);
    EVP_ENCODE_CTX_free(ctx);
  });
  if (!ok) {
    std::fprintf(stderr, "decoding failed\n");
    return 1;
  }
  std::printf("%-28s %10s %10s\n", "base64, MB/s of data", "ours", "openssl");
  std::printf("%-28s %10.0f %10.0f\n", "encode", mb / t_ours_enc, mb / t_ssl_enc);
  std::printf("%-28s %10.0f %10.0f\n", "decode, one line", mb / t_ours_dec, mb / t_ssl_dec);
  std::printf("%-28s %10.0f %10.0f\n", "decode, 64 + CR LF lines", mb / t_ours_dec_wrapped, mb / t_ssl_dec_wrapped);
  return 0;
}
