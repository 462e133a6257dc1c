// The application's Base64 codec against OpenSSL's block coder on the same
// inputs in one run: encoding and decoding speed in MB/s of binary data.
//
//   base64_bench [megabytes]   (default 16)
// Decoding is measured on one long line and on text wrapped at 64 characters
// with CR LF, as base64 signature files come.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/base64_codec.h"
#include "bench/measure.h"

namespace {

template <typename F>
double MedianSeconds(F&& f) {
  return vel::bench::MedianSeconds(5, f);
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
  double t_ours_enc = MedianSeconds([&] { ours = codec.Encode(data); });
  std::string theirs(4 * (n / 3) + 1, '\0');
  double t_ssl_enc = MedianSeconds([&] {
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
  double t_ours_dec = MedianSeconds([&] { codec.Decode(ours, out, length); });
  bool ok = length == n && std::equal(data.begin(), data.end(), out.begin());
  double t_ours_dec_wrapped = MedianSeconds([&] { codec.Decode(wrapped, out, length); });
  ok = ok && length == n;
  double t_ssl_dec = MedianSeconds([&] {
    EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(ours.data()), static_cast<int>(ours.size()));
  });
  // OpenSSL's block decoder does not skip line breaks: its streaming decoder does.
  double t_ssl_dec_wrapped = MedianSeconds([&] {
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
  std::printf("%-28s %10s %10s %7s\n", "base64, MB/s of data", "ours", "openssl", "ratio");
  auto row = [&](const char* what, double ours, double peer) {
    std::printf("%-28s %10.0f %10.0f %7s\n", what, mb / ours, mb / peer, vel::bench::Ratio(peer, ours).c_str());
  };
  row("encode", t_ours_enc, t_ssl_enc);
  row("decode, one line", t_ours_dec, t_ssl_dec);
  row("decode, 64 + CR LF lines", t_ours_dec_wrapped, t_ssl_dec_wrapped);
  std::printf("medians of 5; ratio openssl time / ours (above 1 we are faster)\n");
  return 0;
}
