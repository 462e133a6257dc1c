// Building cabinets byte by byte for the reader's tests, and small file helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"

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

// Every file under a folder, relative path -> bytes.
std::vector<std::pair<std::string, Bytes>> ListTree(const std::filesystem::path& root);

// The common cabinet tools, each as a shell command extracting cab into dest.
struct PeerReader {
  const char* tool;
  std::string (*command)(const std::filesystem::path& cab, const std::filesystem::path& dest);
};
const std::vector<PeerReader>& PeerReaders();  // cabextract, gcab, 7zz, bsdtar
// Expects dest to hold exactly the files of want, byte for byte; who names the reader.
void ExpectSameTree(const std::filesystem::path& dest, std::vector<std::pair<std::string, Bytes>> want,
                    const std::string& who, const std::string& log);
// Expects `cabextract -t` to check every file of the cabinet, checksums included.
void ExpectCabextractTestPasses(const std::filesystem::path& cab);

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

// Reader callbacks over real files, and a reader made with them.
void* TestAlloc(uint32_t cb);
void TestFree(void* p);
intptr_t TestOpen(const char* name, int flags, int mode);
uint32_t TestRead(intptr_t hf, void* buffer, uint32_t cb);
uint32_t TestWrite(intptr_t hf, void* buffer, uint32_t cb);
int TestClose(intptr_t hf);
int32_t TestSeek(intptr_t hf, int32_t offset, int origin);
HFDI NewFdi(ERF* erf);

// A walk that records every notification and writes copied files into dest.
struct Walk {
  explicit Walk(std::filesystem::path d) : dest(std::move(d)) {}
  std::filesystem::path dest;
  std::vector<std::string> events;  // "copy:name", "close:name:attribs:cb", "partial:name", "next:name"
  std::vector<std::string> skip;    // names answered with 0
  std::string nextPath;             // what fdintNEXT_CABINET writes into psz3 ("" leaves it)
  int nextAnswer = 0;               // what fdintNEXT_CABINET returns
  int nextCalls = 0;
  std::function<void(FDINOTIFICATION*)> onEnumerate;  // may change cb and iFolder
};
intptr_t WalkNotify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n);
// FDICopy of a cabinet file with a Walk; the result, and erf filled.
bool CopyWithWalk(const std::filesystem::path& cab, Walk& walk, ERF& erf, HFDI reuse = nullptr);

// Writer callbacks over real files.
intptr_t FciTestOpen(const char* name, int flags, int mode, int* err, void* pv);
uint32_t FciTestRead(intptr_t hf, void* buffer, uint32_t cb, int* err, void* pv);
uint32_t FciTestWrite(intptr_t hf, const void* buffer, uint32_t cb, int* err, void* pv);
int FciTestClose(intptr_t hf, int* err, void* pv);
int32_t FciTestSeek(intptr_t hf, int32_t offset, int origin, int* err, void* pv);
int FciTestDelete(const char* name, int* err, void* pv);
int FciTestTempFile(char* buffer, int size, void* pv);
intptr_t FciTestOpenInfo(const char* name, uint16_t* date, uint16_t* time, uint16_t* attribs, int* err, void* pv);

}  // namespace vel::cabtest
