// Building cabinets byte by byte for the reader's tests and the benchmarks,
// reading plain ones back, and deterministic data to put in them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vel::cabtest {

using Bytes = std::vector<uint8_t>;

struct DataBlock {
  Bytes data;                        // as stored (an MSZIP block starts with "CK")
  uint16_t cbUncomp = 0;
  std::optional<uint32_t> checksum;  // default: the right one
};

struct FolderSpec {
  uint16_t typeCompress = 1;
  std::vector<DataBlock> blocks;
  std::optional<uint32_t> coffCabStart;  // default: where the blocks are written
  std::optional<uint16_t> cCFData;       // default: the number of blocks
};

struct FileSpec {
  std::string name;  // bytes as stored; unterminated when noTerminator
  uint32_t cbFile = 0;
  uint32_t uoffFolderStart = 0;
  uint16_t iFolder = 0;
  uint16_t date = 0x5A21;  // 2025-01-01
  uint16_t time = 0x6000;  // 12:00:00
  uint16_t attribs = 0x20;
  bool noTerminator = false;
};

struct CabSpec {
  uint32_t signature = 0x4643534D;  // "MSCF"
  uint16_t version = 0x0103;
  uint16_t flags = 0;
  uint16_t setID = 12345;
  uint16_t iCabinet = 0;
  std::string prevCab, prevDisk, nextCab, nextDisk;  // written with the matching flags
  uint8_t folderReserve = 0, dataReserve = 0;
  uint16_t headerReserve = 0;  // with any reserve, the reserve flag is set
  std::vector<FolderSpec> folders;
  std::vector<FileSpec> files;
};

Bytes BuildCabinet(const CabSpec& spec);

// An MSZIP block holding data as one stored deflate block.
Bytes StoredMsZip(const Bytes& data);
// A folder of stored MSZIP blocks (32,768 bytes each) holding data.
FolderSpec StoredFolder(const Bytes& data);

// Deterministic bytes: text-like (compressible) or noise.
Bytes TextBytes(size_t n, uint32_t seed = 1);
Bytes NoiseBytes(size_t n, uint32_t seed = 1);

// The cabinet's CFDATA records (folder by folder) as (cbData, cbUncomp, csum, stored csum ok).
struct ParsedBlock {
  uint16_t cbData;
  uint16_t cbUncomp;
  uint32_t csum;
  bool csumOk;
};
struct ParsedCabinet {
  uint32_t cbCabinet = 0, coffFiles = 0;
  uint16_t cFolders = 0, cFiles = 0, flags = 0, setID = 0, iCabinet = 0;
  std::vector<uint32_t> coffCabStart;
  std::vector<uint16_t> cCFData, typeCompress;
  std::vector<std::vector<ParsedBlock>> blocks;
  std::vector<FileSpec> files;
};
ParsedCabinet ParseCabinet(const Bytes& cab);  // of a cabinet without reserves or neighbours

}  // namespace vel::cabtest
