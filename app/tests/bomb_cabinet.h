// Decompression bombs for the KDOC tests: cabinets of zero pages whose folders
// hold a few dozen bytes per 32 KiB, and whose records may declare more than
// their folders hold.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/tests/kdoc_fixture.h"
#include "cabinet/codec.h"

namespace vel::test {

inline void PutLe16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

// One MSZIP block of `n` zero bytes, as the library's own compressor makes it.
inline Bytes ZeroBlock(uint32_t n) {
  uint32_t block = 0, dst_min = 0;
  MsZipCompressor* c = nullptr;
  const PFNALLOC alloc = [](uint32_t cb) { return std::malloc(cb); };
  EXPECT_EQ(MciCreateCompression(&block, alloc, std::free, &dst_min, &c), CODEC_OK);
  const Bytes zeros(n);
  Bytes out(dst_min);
  uint32_t size = 0;
  EXPECT_EQ(MciCompress(c, zeros.data(), n, out.data(), dst_min, &size), CODEC_OK);
  MciDestroyCompression(c);
  out.resize(size);
  return out;
}

struct BombMember {
  std::string name;
  uint32_t declared;  // the size its file record states
  uint32_t data;      // the zero bytes its folder really holds (at most `declared`)
};

// A cabinet with one folder of zero blocks per member: about 50 bytes of
// cabinet per 32 KiB, as a decompression bomb is made.
inline Bytes BombCabinet(const std::vector<BombMember>& members) {
  const Bytes full = ZeroBlock(32768);
  std::vector<Bytes> folders;
  for (const auto& m : members) {
    Bytes data;
    for (uint32_t left = m.data; left > 0;) {
      const uint32_t n = std::min<uint32_t>(left, 32768);
      const Bytes block = n == 32768 ? full : ZeroBlock(n);
      PutLe32(data, 0);  // no checksum
      PutLe16(data, static_cast<uint16_t>(block.size()));
      PutLe16(data, static_cast<uint16_t>(n));
      data.insert(data.end(), block.begin(), block.end());
      left -= n;
    }
    folders.push_back(std::move(data));
  }
  Bytes files;
  for (size_t i = 0; i < members.size(); ++i) {
    PutLe32(files, members[i].declared);
    PutLe32(files, 0);
    PutLe16(files, static_cast<uint16_t>(i));
    PutLe16(files, 0x5A21);
    PutLe16(files, 0x6000);
    PutLe16(files, 0x20);
    files.insert(files.end(), members[i].name.begin(), members[i].name.end());
    files.push_back(0);
  }
  const uint32_t coff_files = 36 + 8 * static_cast<uint32_t>(members.size());
  uint32_t at = coff_files + static_cast<uint32_t>(files.size());
  Bytes out = {'M', 'S', 'C', 'F'};
  PutLe32(out, 0);
  const size_t total_at = out.size();
  PutLe32(out, 0);  // cbCabinet, below
  PutLe32(out, 0);
  PutLe32(out, coff_files);
  PutLe32(out, 0);
  out.push_back(3);
  out.push_back(1);
  PutLe16(out, static_cast<uint16_t>(members.size()));
  PutLe16(out, static_cast<uint16_t>(members.size()));
  PutLe16(out, 0);
  PutLe16(out, 12345);
  PutLe16(out, 0);
  for (size_t i = 0; i < members.size(); ++i) {
    PutLe32(out, at);
    PutLe16(out, static_cast<uint16_t>((members[i].data + 32767) / 32768));
    PutLe16(out, 1);  // MSZIP
    at += static_cast<uint32_t>(folders[i].size());
  }
  out.insert(out.end(), files.begin(), files.end());
  for (const Bytes& f : folders) out.insert(out.end(), f.begin(), f.end());
  const uint32_t total = static_cast<uint32_t>(out.size());
  std::memcpy(out.data() + total_at, &total, 4);
  return out;
}

}  // namespace vel::test
