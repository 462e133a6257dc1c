#include "cabinet/fci.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

using vel::cabinet::CodecAllocator;
using vel::cabinet::Get16;
using vel::cabinet::Get32;
using vel::cabinet::Put16;
using vel::cabinet::Put32;

namespace {

using Bytes = std::vector<uint8_t, CodecAllocator<uint8_t>>;

constexpr int kTempFileTries = 11;
constexpr int kTempNameSize = 256;
constexpr int kFlagsTempFile = 0x8502;  // binary, exclusive create, read and write
constexpr int kFlagsCabFile = 0x8302;   // binary, truncate, create, read and write
constexpr int kModeReadWrite = 0x180;
constexpr uint32_t kBlockSize = kCodecBlockSize;
constexpr uint32_t kCopyPiece = 32768;
constexpr uint64_t kMaxMediaSize = 0x7FFFFFFF;
constexpr uint64_t kMaxFolderBytes = 0xFFFFFFFF;  // uoffFolderStart + cbFile must fit 32 bits

struct TempFile {
  uint64_t cb = 0;
  intptr_t hf = -1;
  std::string name;
};

}  // namespace

struct FciContext {
  ERF* perf;
  PFNFCIFILEPLACED filePlaced;
  PFNALLOC alloc;
  PFNFREE release;
  PFNFCIOPEN open;
  PFNFCIREAD read;
  PFNFCIWRITE write;
  PFNFCICLOSE close;
  PFNFCISEEK seek;
  PFNFCIDELETE remove;
  PFNFCIGETTEMPFILE getTempFile;
  void* pv;

  // Folder state.
  uint64_t folderUncompressed = 0;
  TempFile folderData, folderFiles;
  uint32_t dataHeaderSize = kDataHeaderSizeDefault;
  uint16_t typeCompress = tcompBAD;
  MsZipCompressor* mci = nullptr;
  LzxCompressor* lci = nullptr;
  uint32_t lzxHeld = 0;  // compressed bytes the LZX compressor still holds (its estimate)
  bool lzxOutputFailed = false;  // the output callback has recorded its error
  Bytes src, dst;
  uint32_t srcUsed = 0;
  PFNFCISTATUS status = nullptr;

  // Cabinet state.
  TempFile cabData, cabFiles, cabFolders;
  CCAB ccab, nextCcab;
  uint64_t estimate = 0;
  uint16_t cFolders = 0, cFiles = 0;
  uint32_t headerReserve = 0, headerSize = vel::cabinet::kHeaderSize;
  uint32_t folderRecordSize = vel::cabinet::kFolderRecordSize;
  uint16_t foldersInCabinet = 0;
  uint16_t iCabinetCounter = 0;
  std::string prevCab, prevDisk, nextCab, nextDisk;

  static constexpr uint32_t kDataHeaderSizeDefault = vel::cabinet::kDataHeaderSize;

  FciContext(PFNALLOC a, PFNFREE f)
      : alloc(a), release(f), src(CodecAllocator<uint8_t>(a, f)), dst(CodecAllocator<uint8_t>(a, f)) {}

  bool Fail(int32_t code, int32_t type = 0) {
    FciSetError(perf, code, type);
    return false;
  }

  // ---- temporary files ----
  bool CreateTemp(TempFile& t) {
    std::string name(kTempNameSize, '\0');
    for (int i = 0; i < kTempFileTries; ++i) {
      std::fill(name.begin(), name.end(), '\0');
      if (!getTempFile(name.data(), kTempNameSize, pv)) continue;
      name.back() = '\0';
      int err = 0;
      intptr_t hf = open(name.c_str(), kFlagsTempFile, kModeReadWrite, &err, pv);
      if (hf != -1) {
        t.hf = hf;
        t.cb = 0;
        t.name.assign(name.c_str());
        return true;
      }
    }
    return Fail(FCIERR_TEMP_FILE);
  }

  bool DestroyTemp(TempFile& t) {
    bool ok = true;
    int err = 0;
    if (t.hf != -1) {
      if (close(t.hf, &err, pv) != 0) ok = false;
      t.hf = -1;
    }
    if (!t.name.empty()) {
      err = 0;
      if (remove(t.name.c_str(), &err, pv) == -1) ok = false;
      t.name.clear();
    }
    t.cb = 0;
    return ok;
  }

  // Destroys every one of them, even after a failure; true when all went well.
  bool DestroyTemps(std::initializer_list<TempFile*> files) {
    bool ok = true;
    for (TempFile* t : files)
      if (!DestroyTemp(*t)) ok = false;
    return ok;
  }

  // Makes both files or neither.
  bool CreateTempPair(TempFile& a, TempFile& b) {
    if (!CreateTemp(a)) return false;
    if (!CreateTemp(b)) {
      DestroyTemp(a);
      return false;
    }
    return true;
  }

  bool WriteTemp(TempFile& t, const void* data, uint32_t cb) {
    if (cb == 0) return true;
    t.cb += cb;
    int err = 0;
    if (write(t.hf, data, cb, &err, pv) != cb) return Fail(FCIERR_TEMP_FILE, err);
    return true;
  }

  bool RewindTemp(TempFile& t) {
    int err = 0;
    if (seek(t.hf, 0, 0, &err, pv) != 0) return Fail(FCIERR_TEMP_FILE, err);
    return true;
  }

  // Reads exactly cb bytes; false (with an error recorded) on a short read.
  bool ReadTemp(TempFile& t, void* data, uint32_t cb) {
    uint8_t* p = static_cast<uint8_t*>(data);
    while (cb > 0) {
      int err = 0;
      uint32_t n = read(t.hf, p, cb, &err, pv);
      if (n == 0 || n > cb) return Fail(FCIERR_TEMP_FILE, err);
      p += n;
      cb -= n;
    }
    return true;
  }

  // The whole content of a small temporary file (records).
  bool ReadWholeTemp(TempFile& t, Bytes& out) {
    if (t.cb > 0x7FFFFFFF) return Fail(FCIERR_TEMP_FILE);
    out.resize(static_cast<size_t>(t.cb));
    return RewindTemp(t) && ReadTemp(t, out.data(), static_cast<uint32_t>(t.cb));
  }

  // ---- codec dispatch ----
  bool CreateCompressor() {
    uint16_t method = CompressionMethod(typeCompress);
    uint32_t dstSize;
    if (method == tcompBAD) return true;
    if (method == tcompTYPE_NONE) {
      dstSize = kBlockSize;
    } else if (method == tcompTYPE_MSZIP && CodecAvailable(typeCompress)) {
      uint32_t blockSize = kBlockSize;
      CodecStatus s = MciCreateCompression(&blockSize, alloc, release, &dstSize, &mci);
      if (s != CODEC_OK) return Fail(s == CODEC_NO_MEMORY ? FCIERR_ALLOC_FAIL : FCIERR_MCI_FAIL);
    } else if (method == tcompTYPE_LZX) {
      // Readers know the windows 2^15 to 2^21 only.
      const unsigned w = CompressionWindow(typeCompress);
      if (w < 15 || w > 21) return Fail(FCIERR_BAD_COMPR_TYPE);
      uint32_t blockSize = kBlockSize;
      const LciConfiguration config{1u << w, 65536};
      CodecStatus s = LciCreateCompression(&blockSize, &config, alloc, release, &dstSize, &lci, LzxOutput, this);
      if (s != CODEC_OK) return Fail(s == CODEC_NO_MEMORY ? FCIERR_ALLOC_FAIL : FCIERR_MCI_FAIL);
      lzxHeld = 0;
    } else {
      // Quantum has no compressor; every other method is unknown.
      return Fail(FCIERR_BAD_COMPR_TYPE);
    }
    try {
      dst.assign(dstSize, 0);
      src.assign(kBlockSize, 0);
    } catch (const std::bad_alloc&) {
      DestroyCompressor();
      return Fail(FCIERR_ALLOC_FAIL);
    }
    srcUsed = 0;
    return true;
  }

  bool DestroyCompressor() {
    bool ok = true;
    if (mci != nullptr) {
      if (MciDestroyCompression(mci) != CODEC_OK) ok = Fail(FCIERR_MCI_FAIL);
      mci = nullptr;
    }
    if (lci != nullptr) {
      if (LciDestroyCompression(lci) != CODEC_OK) ok = Fail(FCIERR_MCI_FAIL);
      lci = nullptr;
      lzxHeld = 0;
    }
    Bytes(src.get_allocator()).swap(src);
    Bytes(dst.get_allocator()).swap(dst);
    srcUsed = 0;
    return ok;
  }

  bool ResetCompressor() {
    if (mci != nullptr && MciResetCompression(mci) != CODEC_OK) return Fail(FCIERR_MCI_FAIL);
    if (lci != nullptr && LciResetCompression(lci) != CODEC_OK) return Fail(FCIERR_MCI_FAIL);
    return true;
  }

  // Appends one CFDATA record (checksum filled in when the folder is placed) to
  // the folder's data file and reports it; `reported` is the uncompressed count
  // the status callback has not been told of yet.
  bool WriteDataBlock(const uint8_t* data, uint32_t cbData, uint32_t cbUncomp, uint32_t reported) {
    std::vector<uint8_t> header(dataHeaderSize, 0);
    Put16(&header[4], static_cast<uint16_t>(cbData));
    Put16(&header[6], static_cast<uint16_t>(cbUncomp));
    if (!WriteTemp(folderData, header.data(), dataHeaderSize) || !WriteTemp(folderData, data, cbData)) return false;
    if (status != nullptr && status(statusFile, cbData, reported, pv) == -1) return Fail(FCIERR_USER_ABORT);
    return true;
  }

  // The LZX compressor hands over each finished frame here; its bytes were
  // reported when they were taken in.
  static int LzxOutput(void* context, const void* data, uint32_t cbCompressed, uint32_t cbUncompressed) {
    auto* c = static_cast<FciContext*>(context);
    bool ok = cbCompressed <= c->dst.size() && cbUncompressed <= kBlockSize ? true : c->Fail(FCIERR_MCI_FAIL);
    ok = ok && c->WriteDataBlock(static_cast<const uint8_t*>(data), cbCompressed, cbUncompressed, 0);
    c->lzxOutputFailed = !ok;
    return ok ? 0 : 1;
  }

  // Codes everything the LZX compressor still holds (end of a folder).
  bool FlushLzx() {
    if (lci == nullptr) return true;
    lzxHeld = 0;
    lzxOutputFailed = false;
    if (LciFlushOutput(lci) != CODEC_OK) return lzxOutputFailed ? false : Fail(FCIERR_MCI_FAIL);
    return true;
  }

  bool SelectCompressor(uint16_t type) {
    if (!DestroyCompressor()) return false;
    typeCompress = type;
    if (!CreateCompressor()) {
      typeCompress = tcompBAD;
      return false;
    }
    return true;
  }

  // Compresses the gathered bytes and appends the block to the folder's data file.
  bool EmitBlock() {
    if (srcUsed == 0) return true;
    uint16_t method = CompressionMethod(typeCompress);
    uint32_t cbData = 0;
    if (method == tcompTYPE_LZX && lci != nullptr) {
      // Frames leave through LzxOutput; this block is only counted as taken in.
      uint32_t uncompressed = srcUsed;
      srcUsed = 0;
      if (status != nullptr && status(statusFile, 0, uncompressed, pv) == -1) return Fail(FCIERR_USER_ABORT);
      lzxOutputFailed = false;
      CodecStatus s =
          LciCompress(lci, src.data(), uncompressed, dst.data(), static_cast<uint32_t>(dst.size()), &lzxHeld);
      if (s != CODEC_OK) return lzxOutputFailed ? false : Fail(FCIERR_MCI_FAIL);
      return true;
    }
    if (method == tcompTYPE_MSZIP && mci != nullptr) {
      CodecStatus s = MciCompress(mci, src.data(), srcUsed, dst.data(), static_cast<uint32_t>(dst.size()), &cbData);
      if (s != CODEC_OK || cbData > dst.size() || cbData > 0xFFFF) return Fail(FCIERR_MCI_FAIL);
    } else if (method == tcompTYPE_NONE) {
      if (srcUsed > dst.size()) return Fail(FCIERR_MCI_FAIL);
      std::memcpy(dst.data(), src.data(), srcUsed);
      cbData = srcUsed;
    } else {
      return Fail(FCIERR_BAD_COMPR_TYPE);
    }
    uint32_t uncompressed = srcUsed;
    srcUsed = 0;
    return WriteDataBlock(dst.data(), cbData, uncompressed, uncompressed);
  }

  // ---- folders and cabinets ----
  uint64_t NamesSize(const std::string& a, const std::string& b) const {
    return a.size() + 1 + b.size() + 1;
  }
  bool HasPrev() const { return !prevCab.empty() || !prevDisk.empty(); }
  bool HasNext() const { return !nextCab.empty() || !nextDisk.empty(); }

  bool CopyToCabinetFile(intptr_t hf, TempFile& t, uint64_t& done, uint64_t total, PFNFCISTATUS st);
  bool WriteCabinet(PFNFCISTATUS st);
  bool AddFolderToCabinet(PFNFCIGETNEXTCABINET getNext, PFNFCISTATUS st, bool askNext);
  bool ReadFileFromSource(intptr_t hf, uint64_t& total);
};

void FciSetError(ERF* perf, int32_t code, int32_t type) {
  if (perf == nullptr) return;
  perf->erfOper = code;
  perf->erfType = type;
  perf->fError = 1;
}

bool FciContext::CopyToCabinetFile(intptr_t hf, TempFile& t, uint64_t& done, uint64_t total,
                                   PFNFCISTATUS st) {
  if (t.cb == 0) return true;
  if (!RewindTemp(t)) return false;
  uint64_t left = t.cb;
  while (left > 0) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(left, kCopyPiece));
    if (!ReadTemp(t, src.data(), piece)) return false;
    int err = 0;
    if (write(hf, src.data(), piece, &err, pv) != piece) return Fail(FCIERR_CAB_FILE, err);
    left -= piece;
    done += piece;
    if (st != nullptr && st(statusFolder, static_cast<uint32_t>(done), static_cast<uint32_t>(total), pv) == -1)
      return Fail(FCIERR_USER_ABORT);
  }
  return true;
}

bool FciContext::WriteCabinet(PFNFCISTATUS st) {
  using namespace vel::cabinet;
  if (ccab.szCabPath.size() + ccab.szCab.size() > kMaxName || ccab.szCab.empty() ||
      ccab.szDisk.size() > kMaxName)
    return Fail(FCIERR_CAB_FILE);
  if (HasPrev() && (prevCab.size() > kMaxName || prevDisk.size() > kMaxName)) return Fail(FCIERR_CAB_FILE);
  if (HasNext() && (nextCab.size() > kMaxName || nextDisk.size() > kMaxName)) return Fail(FCIERR_CAB_FILE);
  // The copy buffer is the source buffer; a writer that never saw a file has none yet.
  if (src.size() < kCopyPiece) {
    try {
      src.assign(kCopyPiece, 0);
    } catch (const std::bad_alloc&) {
      return Fail(FCIERR_ALLOC_FAIL);
    }
  }
  std::string name = ccab.szCabPath + ccab.szCab;
  int err = 0;
  intptr_t hf = open(name.c_str(), kFlagsCabFile, kModeReadWrite, &err, pv);
  if (hf == -1) return Fail(FCIERR_CAB_FILE, err);

  auto failAndDelete = [&](bool alreadyRecorded, int32_t code, int32_t type) {
    if (!alreadyRecorded) FciSetError(perf, code, type);
    int e = 0;
    close(hf, &e, pv);
    e = 0;
    remove(name.c_str(), &e, pv);
    return false;
  };

  uint64_t hdrSize = headerSize;
  uint16_t flags = 0;
  if (headerReserve != 0) flags |= cfhdrRESERVE_PRESENT;
  if (HasPrev()) {
    flags |= cfhdrPREV_CABINET;
    hdrSize += NamesSize(prevCab, prevDisk);
  }
  if (HasNext()) {
    flags |= cfhdrNEXT_CABINET;
    hdrSize += NamesSize(nextCab, nextDisk);
  }
  uint64_t coffFiles = hdrSize + cabFolders.cb;
  uint64_t cbCabinet = cabData.cb + coffFiles + cabFiles.cb;
  if (cbCabinet > kMaxMediaSize) return failAndDelete(false, FCIERR_CAB_FILE, 0);

  std::vector<uint8_t> header(kHeaderSize, 0);
  Put32(&header[0], kSignatureUnfinished);
  Put32(&header[8], static_cast<uint32_t>(cbCabinet));
  Put32(&header[16], static_cast<uint32_t>(coffFiles));
  header[24] = kCabVersion & 0xFF;
  header[25] = kCabVersion >> 8;
  Put16(&header[26], cFolders);
  Put16(&header[28], cFiles);
  Put16(&header[30], flags);
  Put16(&header[32], ccab.setID);
  Put16(&header[34], iCabinetCounter);
  if (headerReserve != 0) {
    header.resize(kHeaderSize + 4, 0);
    Put16(&header[36], static_cast<uint16_t>(ccab.cbReserveCFHeader));
    header[38] = static_cast<uint8_t>(ccab.cbReserveCFFolder);
    header[39] = static_cast<uint8_t>(ccab.cbReserveCFData);
    header.resize(header.size() + ccab.cbReserveCFHeader, 0);
  }
  auto appendName = [&](const std::string& s) { header.insert(header.end(), s.c_str(), s.c_str() + s.size() + 1); };
  if (HasPrev()) {
    appendName(prevCab);
    appendName(prevDisk);
  }
  if (HasNext()) {
    appendName(nextCab);
    appendName(nextDisk);
  }
  err = 0;
  if (write(hf, header.data(), static_cast<uint32_t>(header.size()), &err, pv) != header.size())
    return failAndDelete(false, FCIERR_CAB_FILE, err);

  // Folder records, their data offsets made absolute.
  Bytes folders(src.get_allocator());
  try {
    if (!ReadWholeTemp(cabFolders, folders)) return failAndDelete(true, 0, 0);
  } catch (const std::bad_alloc&) {
    return failAndDelete(false, FCIERR_ALLOC_FAIL, 0);
  }
  uint64_t dataStart = coffFiles + cabFiles.cb;
  for (size_t off = 0; off + folderRecordSize <= folders.size(); off += folderRecordSize)
    Put32(&folders[off], static_cast<uint32_t>(Get32(&folders[off]) + dataStart));
  err = 0;
  if (!folders.empty() &&
      write(hf, folders.data(), static_cast<uint32_t>(folders.size()), &err, pv) != folders.size())
    return failAndDelete(false, FCIERR_CAB_FILE, err);

  uint64_t done = 0, total = cabFiles.cb + cabData.cb;
  if (!CopyToCabinetFile(hf, cabFiles, done, total, st) || !CopyToCabinetFile(hf, cabData, done, total, st))
    return failAndDelete(true, 0, 0);

  err = 0;
  int32_t size = seek(hf, 0, 2, &err, pv);
  if (size < 0) return failAndDelete(false, FCIERR_CAB_FILE, err);
  err = 0;
  if (seek(hf, 0, 0, &err, pv) != 0) return failAndDelete(false, FCIERR_CAB_FILE, err);
  uint8_t sig[4];
  Put32(sig, kSignatureMSCF);
  err = 0;
  if (write(hf, sig, 4, &err, pv) != 4) return failAndDelete(false, FCIERR_CAB_FILE, err);
  err = 0;
  if (close(hf, &err, pv) != 0) {
    FciSetError(perf, FCIERR_CAB_FILE, err);
    err = 0;
    remove(name.c_str(), &err, pv);
    return false;
  }

  // The cabinet is complete from here on.
  ++iCabinetCounter;
  prevCab = ccab.szCab;
  prevDisk = ccab.szDisk;
  nextCab.clear();
  nextDisk.clear();
  bool tempsOk = DestroyTemps({&cabData, &cabFiles, &cabFolders});
  if (!tempsOk) return Fail(FCIERR_TEMP_FILE);
  if (!CreateTemp(cabData)) return false;
  if (!CreateTempPair(cabFiles, cabFolders)) return false;
  cFolders = 0;
  cFiles = 0;
  foldersInCabinet = 0;
  if (st != nullptr) {
    int32_t taken = st(statusCabinet, static_cast<uint32_t>(estimate), static_cast<uint32_t>(size), pv);
    if (taken == -1) return Fail(FCIERR_USER_ABORT);
    if (ccab.cb != 0 && taken > 0) ccab.cb = taken >= static_cast<int32_t>(ccab.cb) ? 0 : ccab.cb - taken;
  }
  return true;
}

bool FciContext::AddFolderToCabinet(PFNFCIGETNEXTCABINET getNext, PFNFCISTATUS st, bool askNext) {
  using namespace vel::cabinet;
  PFNFCISTATUS saved = status;
  status = st;
  bool flushed = EmitBlock() && FlushLzx();
  status = saved;
  if (!flushed || !ResetCompressor()) return false;
  folderUncompressed = 0;
  if (folderData.cb == 0 && folderFiles.cb == 0) return true;

  Bytes block(src.get_allocator());
  Bytes records(src.get_allocator());
  try {
    block.resize(dataHeaderSize + std::max<size_t>(dst.size(), kBlockSize + kMsZipSlack));
  } catch (const std::bad_alloc&) {
    return Fail(FCIERR_ALLOC_FAIL);
  }
  uint64_t uncompressedPlaced = 0;
  for (;;) {
    uint64_t est = cabData.cb + headerSize + cabFolders.cb + cabFiles.cb + folderData.cb + folderRecordSize +
                   folderFiles.cb;
    if (HasPrev()) est += NamesSize(prevCab, prevDisk);
    if (HasNext()) est += NamesSize(nextCab, nextDisk);
    if (st != nullptr && st(statusFolder, 0, static_cast<uint32_t>(est), pv) == -1) return Fail(FCIERR_USER_ABORT);
    uint64_t media = ccab.cb == 0 ? kMaxMediaSize : ccab.cb;
    int64_t room = static_cast<int64_t>(media) - static_cast<int64_t>(est);

    TempFile contData, contFiles;
    if (!CreateTempPair(contData, contFiles)) return false;
    auto dropCont = [&] {
      DestroyTemp(contData);
      DestroyTemp(contFiles);
      return false;
    };

    bool finishes = room < 0 || askNext;
    if (finishes) {
      if (HasNext()) est -= NamesSize(nextCab, nextDisk);
      nextCcab = ccab;
      ++nextCcab.iCab;
      estimate = est;
      if (getNext == nullptr || getNext(&nextCcab, static_cast<uint32_t>(est), pv) == -1) {
        Fail(FCIERR_USER_ABORT);
        return dropCont();
      }
      nextCab = nextCcab.szCab;
      nextDisk = nextCcab.szDisk;
      if (nextCab.size() > kMaxName || nextDisk.size() > kMaxName) {
        Fail(FCIERR_CAB_FILE);
        return dropCont();
      }
      room = static_cast<int64_t>(media) - static_cast<int64_t>(est + NamesSize(nextCab, nextDisk));
      if (nextCcab.cb == 0) nextCcab.cb = static_cast<uint32_t>(kMaxMediaSize);
    }

    // Move the folder's blocks: whole, split at the cabinet's end, or on to the next cabinet.
    uint8_t folderRecord[8] = {};
    uint64_t coffCabStart = cabData.cb;
    uint16_t cCFData = 0;
    int64_t space = room + static_cast<int64_t>(folderData.cb);
    int64_t placed = 0;
    uint64_t handled = 0;
    if (!RewindTemp(folderData)) return dropCont();
    uint64_t left = folderData.cb;
    while (left >= dataHeaderSize) {
      if (!ReadTemp(folderData, block.data(), dataHeaderSize)) return dropCont();
      left -= dataHeaderSize;
      uint32_t cbData = Get16(&block[4]);
      if (cbData > block.size() - dataHeaderSize || cbData > left) {
        Fail(FCIERR_TEMP_FILE);
        return dropCont();
      }
      if (!ReadTemp(folderData, block.data() + dataHeaderSize, cbData)) return dropCont();
      left -= cbData;
      int64_t d = dataHeaderSize;
      if (!finishes || placed + d + cbData <= space) {
        std::span<const uint8_t> rest(block.data() + 4, dataHeaderSize - 4);
        Put32(&block[0], DataBlockChecksum(rest, {block.data() + dataHeaderSize, cbData}));
        if (!WriteTemp(cabData, block.data(), dataHeaderSize + cbData)) return dropCont();
        if (cCFData == 0xFFFF) {
          Fail(FCIERR_CAB_FILE);
          return dropCont();
        }
        ++cCFData;
        uncompressedPlaced += Get16(&block[6]);
        placed += d + cbData;
      } else if (space <= placed + d) {
        if (!WriteTemp(contData, block.data(), dataHeaderSize + cbData)) return dropCont();
      } else {
        uint32_t part = static_cast<uint32_t>(space - d - placed);
        std::vector<uint8_t> first(block.begin(), block.begin() + dataHeaderSize + part);
        Put16(&first[4], static_cast<uint16_t>(part));
        Put16(&first[6], 0);
        std::span<const uint8_t> rest(first.data() + 4, dataHeaderSize - 4);
        Put32(&first[0], DataBlockChecksum(rest, {first.data() + dataHeaderSize, part}));
        if (!WriteTemp(cabData, first.data(), static_cast<uint32_t>(first.size()))) return dropCont();
        ++cCFData;
        placed += d + part;
        Put16(&block[4], static_cast<uint16_t>(cbData - part));
        Put32(&block[0], 0);
        if (!WriteTemp(contData, block.data(), dataHeaderSize) ||
            !WriteTemp(contData, block.data() + dataHeaderSize + part, cbData - part))
          return dropCont();
      }
      handled += dataHeaderSize + cbData;
      if (st != nullptr && st(statusFolder, static_cast<uint32_t>(handled), static_cast<uint32_t>(est), pv) == -1) {
        Fail(FCIERR_USER_ABORT);
        return dropCont();
      }
    }
    if (cFolders == 0xFFFF) {
      Fail(FCIERR_CAB_FILE);
      return dropCont();
    }
    ++cFolders;
    Put32(&folderRecord[0], static_cast<uint32_t>(coffCabStart));
    Put16(&folderRecord[4], cCFData);
    Put16(&folderRecord[6], typeCompress);
    std::vector<uint8_t> folderRec(folderRecordSize, 0);
    std::memcpy(folderRec.data(), folderRecord, 8);
    if (!WriteTemp(cabFolders, folderRec.data(), folderRecordSize)) return dropCont();

    // File records: each gets this folder's index, or a continuation value.
    try {
      if (!ReadWholeTemp(folderFiles, records)) return dropCont();
    } catch (const std::bad_alloc&) {
      Fail(FCIERR_ALLOC_FAIL);
      return dropCont();
    }
    size_t off = 0;
    while (off + kFileRecordSize < records.size()) {
      uint8_t* rec = &records[off];
      const char* name = reinterpret_cast<const char*>(rec + kFileRecordSize);
      size_t nameLen = strnlen(name, records.size() - off - kFileRecordSize);
      size_t recLen = kFileRecordSize + nameLen + 1;
      if (off + recLen > records.size()) {
        Fail(FCIERR_TEMP_FILE);
        return dropCont();
      }
      uint32_t cbFile = Get32(rec), uoff = Get32(rec + 4);
      uint16_t iFolder = Get16(rec + 8);
      bool fromPrev = iFolder == ifoldCONTINUED_FROM_PREV;
      if (filePlaced != nullptr &&
          filePlaced(&ccab, name, static_cast<int32_t>(cbFile), fromPrev ? 1 : 0, pv) == -1) {
        Fail(FCIERR_USER_ABORT);
        return dropCont();
      }
      if (!fromPrev) iFolder = foldersInCabinet;
      if (uint64_t(uoff) + cbFile > uncompressedPlaced)
        iFolder = fromPrev ? ifoldCONTINUED_PREV_AND_NEXT : ifoldCONTINUED_TO_NEXT;
      Put16(rec + 8, iFolder);
      if (cFiles == 0xFFFF) {
        Fail(FCIERR_CAB_FILE);
        return dropCont();
      }
      if (!WriteTemp(cabFiles, rec, static_cast<uint32_t>(recLen))) return dropCont();
      ++cFiles;
      if (iFolder == ifoldCONTINUED_TO_NEXT || iFolder == ifoldCONTINUED_PREV_AND_NEXT) {
        Put16(rec + 8, ifoldCONTINUED_FROM_PREV);
        if (!WriteTemp(contFiles, rec, static_cast<uint32_t>(recLen))) return dropCont();
      }
      off += recLen;
    }

    bool tempsOk = DestroyTemps({&folderData, &folderFiles});
    folderData = std::exchange(contData, TempFile{});
    folderFiles = std::exchange(contFiles, TempFile{});
    if (!tempsOk) return Fail(FCIERR_TEMP_FILE);

    if (finishes) {
      if (!WriteCabinet(st)) return false;
      if (ccab.cb != 0 && nextCcab.iDisk == ccab.iDisk) nextCcab.cb = ccab.cb;
      foldersInCabinet = 0;
      ccab = nextCcab;
    }
    if (folderData.cb != 0 || folderFiles.cb != 0) continue;
    if (!finishes) ++foldersInCabinet;
    return true;
  }
}

bool FciContext::ReadFileFromSource(intptr_t hf, uint64_t& total) {
  for (;;) {
    uint32_t room = kBlockSize - srcUsed;
    int err = 0;
    uint32_t n = read(hf, src.data() + srcUsed, room, &err, pv);
    if (n == 0) return true;
    if (n > room) return Fail(FCIERR_READ_SRC, err);
    total += n;
    if (folderUncompressed + total > kMaxFolderBytes) return Fail(FCIERR_READ_SRC);
    srcUsed += n;
    if (srcUsed == kBlockSize && !EmitBlock()) return false;
  }
}

HFCI FCICreate(ERF* perf, PFNFCIFILEPLACED pfnFilePlaced, PFNALLOC pfnAlloc, PFNFREE pfnFree,
               PFNFCIOPEN pfnOpen, PFNFCIREAD pfnRead, PFNFCIWRITE pfnWrite, PFNFCICLOSE pfnClose,
               PFNFCISEEK pfnSeek, PFNFCIDELETE pfnDelete, PFNFCIGETTEMPFILE pfnGetTempFile,
               const CCAB* pccab, void* pv) {
  using namespace vel::cabinet;
  if (pfnAlloc == nullptr || pfnFree == nullptr || pfnOpen == nullptr || pfnRead == nullptr ||
      pfnWrite == nullptr || pfnClose == nullptr || pfnSeek == nullptr || pfnDelete == nullptr ||
      pfnGetTempFile == nullptr || pccab == nullptr) {
    FciSetError(perf, FCIERR_ALLOC_FAIL, 0);
    return nullptr;
  }
  // Reserve sizes are written in 16 and 8 bits: larger ones cannot be stored.
  if (pccab->cbReserveCFHeader > kMaxHeaderReserve || pccab->cbReserveCFFolder > kMaxRecordReserve ||
      pccab->cbReserveCFData > kMaxRecordReserve) {
    FciSetError(perf, FCIERR_CAB_FILE, 0);
    return nullptr;
  }
  void* mem = pfnAlloc(sizeof(FciContext));
  if (mem == nullptr) {
    FciSetError(perf, FCIERR_ALLOC_FAIL, 0);
    return nullptr;
  }
  FciContext* c;
  try {
    c = ::new (mem) FciContext(pfnAlloc, pfnFree);
    c->ccab = *pccab;
  } catch (const std::bad_alloc&) {
    pfnFree(mem);
    FciSetError(perf, FCIERR_ALLOC_FAIL, 0);
    return nullptr;
  }
  c->perf = perf;
  c->filePlaced = pfnFilePlaced;
  c->open = pfnOpen;
  c->read = pfnRead;
  c->write = pfnWrite;
  c->close = pfnClose;
  c->seek = pfnSeek;
  c->remove = pfnDelete;
  c->getTempFile = pfnGetTempFile;
  c->pv = pv;
  if (c->ccab.cb == 0) c->ccab.cb = static_cast<uint32_t>(kMaxMediaSize);
  bool anyReserve = c->ccab.cbReserveCFHeader != 0 || c->ccab.cbReserveCFFolder != 0 || c->ccab.cbReserveCFData != 0;
  c->headerReserve = anyReserve ? c->ccab.cbReserveCFHeader + 4 : 0;
  c->headerSize = c->headerReserve + kHeaderSize;
  c->folderRecordSize = c->ccab.cbReserveCFFolder + kFolderRecordSize;
  c->dataHeaderSize = c->ccab.cbReserveCFData + kDataHeaderSize;
  bool ok = c->CreateTempPair(c->folderData, c->folderFiles);
  if (ok) {
    ok = c->CreateTemp(c->cabData);
    if (ok && !c->CreateTempPair(c->cabFiles, c->cabFolders)) {
      c->DestroyTemp(c->cabData);
      ok = false;
    }
    if (!ok) {
      c->DestroyTemp(c->folderData);
      c->DestroyTemp(c->folderFiles);
    }
  }
  if (!ok) {
    c->~FciContext();
    pfnFree(mem);
    return nullptr;
  }
  return c;
}

bool FCIAddFile(HFCI hfci, const char* pszSourceFile, const char* pszFileName, bool fExecute,
                PFNFCIGETNEXTCABINET pfnGetNextCab, PFNFCISTATUS pfnStatus, PFNFCIGETOPENINFO pfnOpenInfo,
                uint16_t typeCompress) {
  using namespace vel::cabinet;
  if (hfci == nullptr) return false;
  FciContext& c = *hfci;
  try {
    if (pszSourceFile == nullptr || pszFileName == nullptr || pfnOpenInfo == nullptr)
      return c.Fail(FCIERR_OPEN_SRC);
    std::string_view name(pszFileName);
    // A name longer than a record holds would be cut and could then name another file.
    if (name.empty() || name.size() > kMaxName) return c.Fail(FCIERR_OPEN_SRC);
    if (typeCompress != c.typeCompress) {
      if (!c.AddFolderToCabinet(pfnGetNextCab, pfnStatus, false)) return false;
      if (!c.SelectCompressor(typeCompress)) return false;
    }
    if (c.src.size() < kBlockSize) return c.Fail(FCIERR_BAD_COMPR_TYPE);
    uint16_t date = 0, time = 0, attribs = 0;
    int err = 0;
    intptr_t hf = pfnOpenInfo(pszSourceFile, &date, &time, &attribs, &err, c.pv);
    if (hf == -1) return c.Fail(FCIERR_OPEN_SRC, err);
    if (fExecute) attribs |= _A_EXEC;
    // Names here are UTF-8; readers learn that from the flag.
    attribs &= static_cast<uint16_t>(~_A_NAME_IS_UTF);
    if (HasNonAscii(name) && IsValidUtf8(name)) attribs |= _A_NAME_IS_UTF;

    c.status = pfnStatus;
    uint64_t total = 0;
    bool ok = c.ReadFileFromSource(hf, total);
    err = 0;
    c.close(hf, &err, c.pv);
    if (!ok) return false;

    std::vector<uint8_t> rec(kFileRecordSize, 0);
    Put32(&rec[0], static_cast<uint32_t>(total));
    Put32(&rec[4], static_cast<uint32_t>(c.folderUncompressed));
    Put16(&rec[8], 0);
    Put16(&rec[10], date);
    Put16(&rec[12], time);
    Put16(&rec[14], attribs);
    rec.insert(rec.end(), name.begin(), name.end());
    rec.push_back(0);
    if (!c.WriteTemp(c.folderFiles, rec.data(), static_cast<uint32_t>(rec.size()))) return false;
    c.folderUncompressed += total;

    uint64_t media = c.ccab.cb == 0 ? kMaxMediaSize : c.ccab.cb;
    uint64_t est = c.folderRecordSize + c.headerSize + c.lzxHeld + c.folderFiles.cb + c.folderData.cb +
                   c.cabFolders.cb + c.cabFiles.cb + c.cabData.cb;
    if (c.lzxHeld + c.folderData.cb > c.ccab.cbFolderThresh || est > media)
      return c.AddFolderToCabinet(pfnGetNextCab, pfnStatus, false);
    return true;
  } catch (const std::bad_alloc&) {
    return c.Fail(FCIERR_ALLOC_FAIL);
  }
}

bool FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnGetNextCab, PFNFCISTATUS pfnStatus) {
  if (hfci == nullptr) return false;
  try {
    return hfci->AddFolderToCabinet(pfnGetNextCab, pfnStatus, false);
  } catch (const std::bad_alloc&) {
    return hfci->Fail(FCIERR_ALLOC_FAIL);
  }
}

bool FCIFlushCabinet(HFCI hfci, bool fGetNextCab, PFNFCIGETNEXTCABINET pfnGetNextCab,
                     PFNFCISTATUS pfnStatus) {
  if (hfci == nullptr) return false;
  try {
    if (!hfci->AddFolderToCabinet(pfnGetNextCab, pfnStatus, fGetNextCab)) return false;
    if (fGetNextCab) return true;
    return hfci->WriteCabinet(pfnStatus);
  } catch (const std::bad_alloc&) {
    return hfci->Fail(FCIERR_ALLOC_FAIL);
  }
}

bool FCIDestroy(HFCI hfci) {
  if (hfci == nullptr) return false;
  FciContext& c = *hfci;
  bool ok = c.DestroyCompressor();
  bool tempsOk = c.DestroyTemps({&c.folderData, &c.folderFiles, &c.cabData, &c.cabFiles, &c.cabFolders});
  if (!tempsOk) ok = c.Fail(FCIERR_TEMP_FILE);
  PFNFREE release = c.release;
  c.~FciContext();
  release(hfci);
  return ok;
}
