// The reader's and writer's test helpers: peers, trees, callbacks over real files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cabinet/fci.h"
#include "cabinet/fdi.h"
#include "cabinet/testing/cab_bytes.h"
#include "cabinet/testing/fci_files.h"

namespace vel::cabtest {

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

}  // namespace vel::cabtest
