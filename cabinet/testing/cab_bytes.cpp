// Cabinets built and read byte by byte, for the reader's tests and the
// benchmarks: no test framework, so that a benchmark can link them.
#include "cabinet/testing/cab_bytes.h"

#include <algorithm>
#include <stdexcept>

#include "cabinet/codec.h"

namespace vel::cabtest {
namespace {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }
void PutText(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

}  // namespace

Bytes BuildCabinet(const CabSpec& spec) {
  bool reserve = spec.headerReserve || spec.folderReserve || spec.dataReserve;
  uint16_t flags = spec.flags;
  if (reserve) flags |= 0x0004;
  if (!spec.prevCab.empty()) flags |= 0x0001;
  if (!spec.nextCab.empty()) flags |= 0x0002;

  Bytes head;
  Put32(head, spec.signature);
  Put32(head, 0);
  Put32(head, 0);  // cbCabinet, set below
  Put32(head, 0);
  Put32(head, 0);  // coffFiles, set below
  Put32(head, 0);
  head.push_back(static_cast<uint8_t>(spec.version));
  head.push_back(static_cast<uint8_t>(spec.version >> 8));
  Put16(head, static_cast<uint16_t>(spec.folders.size()));
  Put16(head, static_cast<uint16_t>(spec.files.size()));
  Put16(head, flags);
  Put16(head, spec.setID);
  Put16(head, spec.iCabinet);
  if (reserve) {
    Put16(head, spec.headerReserve);
    head.push_back(spec.folderReserve);
    head.push_back(spec.dataReserve);
    head.insert(head.end(), spec.headerReserve, 0);
  }
  if (flags & 0x0001) {
    PutText(head, spec.prevCab);
    PutText(head, spec.prevDisk);
  }
  if (flags & 0x0002) {
    PutText(head, spec.nextCab);
    PutText(head, spec.nextDisk);
  }
  size_t folderRecords = head.size();
  size_t folderSize = 8 + spec.folderReserve;
  head.resize(head.size() + folderSize * spec.folders.size(), 0);
  size_t coffFiles = head.size();
  for (const FileSpec& f : spec.files) {
    Put32(head, f.cbFile);
    Put32(head, f.uoffFolderStart);
    Put16(head, f.iFolder);
    Put16(head, f.date);
    Put16(head, f.time);
    Put16(head, f.attribs);
    head.insert(head.end(), f.name.begin(), f.name.end());
    if (!f.noTerminator) head.push_back(0);
  }
  Bytes data;
  for (size_t i = 0; i < spec.folders.size(); ++i) {
    const FolderSpec& fo = spec.folders[i];
    uint32_t start = static_cast<uint32_t>(head.size() + data.size());
    for (const DataBlock& b : fo.blocks) {
      Bytes rec;
      Put16(rec, static_cast<uint16_t>(b.data.size()));
      Put16(rec, b.cbUncomp);
      rec.insert(rec.end(), spec.dataReserve, 0);
      uint32_t csum = CabChecksum(rec.data(), static_cast<uint32_t>(rec.size()),
                                  CabChecksum(b.data.data(), static_cast<uint32_t>(b.data.size()), 0));
      Put32(data, b.checksum.value_or(csum));
      data.insert(data.end(), rec.begin(), rec.end());
      data.insert(data.end(), b.data.begin(), b.data.end());
    }
    size_t at = folderRecords + i * folderSize;
    Set32(head, at, fo.coffCabStart.value_or(start));
    uint16_t n = fo.cCFData.value_or(static_cast<uint16_t>(fo.blocks.size()));
    head[at + 4] = static_cast<uint8_t>(n);
    head[at + 5] = static_cast<uint8_t>(n >> 8);
    head[at + 6] = static_cast<uint8_t>(fo.typeCompress);
    head[at + 7] = static_cast<uint8_t>(fo.typeCompress >> 8);
  }
  head.insert(head.end(), data.begin(), data.end());
  Set32(head, 8, static_cast<uint32_t>(head.size()));
  Set32(head, 16, static_cast<uint32_t>(coffFiles));
  return head;
}

Bytes StoredMsZip(const Bytes& data) {
  Bytes b = {'C', 'K', 0x01};
  uint16_t len = static_cast<uint16_t>(data.size());
  Put16(b, len);
  Put16(b, static_cast<uint16_t>(~len));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

FolderSpec StoredFolder(const Bytes& data) {
  FolderSpec f;
  f.typeCompress = 1;
  for (size_t off = 0; off < data.size(); off += 32768) {
    size_t n = std::min<size_t>(32768, data.size() - off);
    Bytes part(data.begin() + off, data.begin() + off + n);
    f.blocks.push_back({StoredMsZip(part), static_cast<uint16_t>(n), std::nullopt});
  }
  return f;
}

Bytes TextBytes(size_t n, uint32_t seed) {
  static const char* kWords[] = {"podpis ", "dokument ", "elektroniczny ", "certyfikat ", "the ", "signature ",
                                 "of ", "page ", "kwalifikowany ", "\n", "2024-05-17 ", "Vellorum "};
  Bytes out;
  out.reserve(n);
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = kWords[(x >> 16) % (sizeof kWords / sizeof *kWords)];
    for (const char* p = w; *p && out.size() < n; ++p) out.push_back(static_cast<uint8_t>(*p));
  }
  return out;
}

Bytes NoiseBytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

ParsedCabinet ParseCabinet(const Bytes& cab) {
  ParsedCabinet p;
  p.cbCabinet = Get32(cab, 8);
  p.coffFiles = Get32(cab, 16);
  p.cFolders = Get16(cab, 26);
  p.cFiles = Get16(cab, 28);
  p.flags = Get16(cab, 30);
  p.setID = Get16(cab, 32);
  p.iCabinet = Get16(cab, 34);
  if (p.flags != 0) throw std::runtime_error("ParseCabinet handles plain cabinets only");
  for (size_t i = 0; i < p.cFolders; ++i) {
    size_t at = 36 + 8 * i;
    p.coffCabStart.push_back(Get32(cab, at));
    p.cCFData.push_back(Get16(cab, at + 4));
    p.typeCompress.push_back(Get16(cab, at + 6));
    std::vector<ParsedBlock> blocks;
    size_t off = p.coffCabStart.back();
    for (size_t k = 0; k < p.cCFData.back(); ++k) {
      ParsedBlock b{Get16(cab, off + 4), Get16(cab, off + 6), Get32(cab, off), false};
      if (off + 8 + b.cbData > cab.size()) throw std::runtime_error("block past the end");
      uint32_t c = CabChecksum(&cab[off + 4], 4, CabChecksum(&cab[off + 8], b.cbData, 0));
      b.csumOk = c == b.csum;
      blocks.push_back(b);
      off += 8 + b.cbData;
    }
    p.blocks.push_back(std::move(blocks));
  }
  size_t off = p.coffFiles;
  for (size_t i = 0; i < p.cFiles; ++i) {
    FileSpec f;
    f.cbFile = Get32(cab, off);
    f.uoffFolderStart = Get32(cab, off + 4);
    f.iFolder = Get16(cab, off + 8);
    f.date = Get16(cab, off + 10);
    f.time = Get16(cab, off + 12);
    f.attribs = Get16(cab, off + 14);
    off += 16;
    while (cab.at(off) != 0) f.name.push_back(static_cast<char>(cab[off++]));
    ++off;
    p.files.push_back(f);
  }
  return p;
}

}  // namespace vel::cabtest
