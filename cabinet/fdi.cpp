#include "cabinet/fdi.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

using vel::cabinet::CodecAllocator;
using vel::cabinet::Get16;
using vel::cabinet::Get32;

namespace {

using Bytes = std::vector<uint8_t, CodecAllocator<uint8_t>>;

constexpr int kFlagsReadCabinet = 0x8000;  // read-only, binary
constexpr int kModeReadWrite = 0x180;
constexpr uint32_t kNoFolder = 0xFFFFFFFF;
constexpr uint32_t kNameRead = vel::cabinet::kMaxName + 1;  // a name and its 0 byte
constexpr size_t kNameBuffer = 257;                         // 256 characters and a terminator

struct FileRecord {
  uint32_t cbFile = 0;
  uint32_t uoffFolderStart = 0;
  uint16_t iFolder = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attribs = 0;
  std::string name;
};

// The text in a buffer the callback may have rewritten, up to its terminator.
std::string BoundedText(const std::string& buffer) {
  return std::string(buffer.c_str(), strnlen(buffer.c_str(), buffer.size() - 1));
}

void SetBuffer(std::string& buffer, const std::string& text) {
  buffer.assign(kNameBuffer, '\0');
  std::memcpy(buffer.data(), text.data(), std::min(text.size(), kNameBuffer - 1));
}

}  // namespace

struct FdiContext {
  ERF* perf = nullptr;
  PFNALLOC alloc;
  PFNFREE release;
  PFNOPEN open = nullptr;
  PFNREAD read = nullptr;
  PFNWRITE write = nullptr;
  PFNCLOSE close = nullptr;
  PFNSEEK seek = nullptr;
  int cpuType = 0;

  PFNFDINOTIFY notify = nullptr;
  PFNFDIDECRYPT decrypt = nullptr;
  void* pv = nullptr;

  // Record sizes, fixed by the first cabinet a context reads.
  bool sizesKnown = false;
  uint32_t folderRecordSize = 0;
  uint32_t dataHeaderSize = 0;
  Bytes headerReserve, folderRecord, dataHeader;

  // The current cabinet.
  uint32_t coffFiles = 0;
  uint16_t cFolders = 0, cFiles = 0, flags = 0, setID = 0, iCabinet = 0;
  uint32_t folderRecordsPos = 0;
  intptr_t hfHeader = -1, hfData = -1;
  std::string prevCab, prevDisk, nextCab, nextDisk;
  std::string cabPath;

  // The decompressor of the current folder.
  uint16_t typeCompress = tcompBAD;
  MsZipDecompressor* mdi = nullptr;
  QuantumDecompressor* qdi = nullptr;
  LzxDecompressor* ldi = nullptr;
  Bytes srcBuf, dstBuf;

  // The walk.
  uint32_t currentFolder = kNoFolder;
  uint32_t blocksLeft = 0;
  uint64_t blockOffset = 0;  // uncompressed offset of the decoded block in its folder
  uint32_t blockSize = 0;    // bytes of the decoded block in dstBuf
  uint32_t filesLeft = 0;
  uint32_t skipCount = 0;
  bool continuing = false;
  FileRecord file;
  FDINOTIFICATION notif;
  FDIDECRYPT dec;
  std::string nameBuf1, nameBuf2, nameBuf3;

  FdiContext(PFNALLOC a, PFNFREE f)
      : alloc(a),
        release(f),
        headerReserve(CodecAllocator<uint8_t>(a, f)),
        folderRecord(CodecAllocator<uint8_t>(a, f)),
        dataHeader(CodecAllocator<uint8_t>(a, f)),
        srcBuf(CodecAllocator<uint8_t>(a, f)),
        dstBuf(CodecAllocator<uint8_t>(a, f)) {}

  bool Fail(int32_t code, int32_t type = 0) {
    FciSetError(perf, code, type);
    return false;
  }

  bool ReadExact(intptr_t hf, void* buffer, uint32_t cb) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    while (cb > 0) {
      uint32_t n = read(hf, p, cb);
      if (n == 0 || n > cb) return false;
      p += n;
      cb -= n;
    }
    return true;
  }

  // A name of at most 255 bytes and its terminator; the handle is left after it.
  bool ReadName(intptr_t hf, std::string& out) {
    int32_t pos = seek(hf, 0, 1);
    if (pos < 0) return false;
    std::array<char, kNameRead> storage;
    char* buf = storage.data();
    uint32_t got = 0;
    while (got < kNameRead) {
      uint32_t n = read(hf, buf + got, kNameRead - got);
      if (n == 0 || n > kNameRead - got) break;
      got += n;
      if (memchr(buf, 0, got) != nullptr) break;
    }
    const void* end = memchr(buf, 0, got);
    if (end == nullptr) return false;
    size_t len = static_cast<const char*>(end) - buf;
    out.assign(buf, len);
    int64_t after = int64_t(pos) + int64_t(len) + 1;
    return seek(hf, static_cast<int32_t>(after), 0) == after;
  }

  bool CloseCabinet() {
    bool ok = true;
    if (hfHeader != -1 && close(hfHeader) != 0) ok = false;
    if (hfData != -1 && close(hfData) != 0) ok = false;
    hfHeader = hfData = -1;
    return ok;
  }

  void ForgetFolder() {
    currentFolder = kNoFolder;
    blocksLeft = 0;
    blockOffset = 0;
    blockSize = 0;
  }

  // ---- codec dispatch ----
  bool CreateDecompressor() {
    uint16_t method = CompressionMethod(typeCompress);
    uint32_t srcSize = 0;
    uint32_t blockSize = kCodecBlockSize;
    const QdiConfiguration quantum{static_cast<int32_t>(CompressionWindow(typeCompress)), cpuType};
    const LdiConfiguration lzx{1u << CompressionWindow(typeCompress), 0};
    CodecStatus sizes = CODEC_OK;
    if (method == tcompBAD) return true;
    if (method == tcompTYPE_NONE) {
      srcSize = kCodecBlockSize;
    } else if (method == tcompTYPE_MSZIP && CodecAvailable(typeCompress)) {
      sizes = MdiCreateDecompression(&blockSize, alloc, release, &srcSize, nullptr);
    } else if (method == tcompTYPE_QUANTUM) {
      sizes = QdiCreateDecompression(&blockSize, &quantum, alloc, release, &srcSize, nullptr);
    } else if (method == tcompTYPE_LZX) {
      // The window comes from the folder record: only the sizes LZX defines are taken.
      unsigned w = CompressionWindow(typeCompress);
      if (w < 15 || w > 21) return Fail(FDIERROR_BAD_COMPR_TYPE);
      sizes = LdiCreateDecompression(&blockSize, &lzx, alloc, release, &srcSize, nullptr, open, read, write, close,
                                     seek);
    } else {
      return Fail(FDIERROR_BAD_COMPR_TYPE);
    }
    if (sizes != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
    try {
      srcBuf.assign(srcSize, 0);
      dstBuf.assign(kCodecBlockSize, 0);
    } catch (const std::bad_alloc&) {
      return Fail(FDIERROR_ALLOC_FAIL);
    }
    CodecStatus s = CODEC_OK;
    blockSize = kCodecBlockSize;
    uint32_t srcMin = 0;
    if (method == tcompTYPE_MSZIP) {
      s = MdiCreateDecompression(&blockSize, alloc, release, &srcMin, &mdi);
    } else if (method == tcompTYPE_QUANTUM) {
      s = QdiCreateDecompression(&blockSize, &quantum, alloc, release, &srcMin, &qdi);
    } else if (method == tcompTYPE_LZX) {
      s = LdiCreateDecompression(&blockSize, &lzx, alloc, release, &srcMin, &ldi, open, read, write, close, seek);
    }
    if (s != CODEC_OK) {
      mdi = nullptr;
      qdi = nullptr;
      ldi = nullptr;
      FreeBuffers();
      return Fail(s == CODEC_NO_MEMORY ? FDIERROR_ALLOC_FAIL : FDIERROR_MDI_FAIL);
    }
    return true;
  }

  void FreeBuffers() {
    Bytes(srcBuf.get_allocator()).swap(srcBuf);
    Bytes(dstBuf.get_allocator()).swap(dstBuf);
  }

  bool DestroyDecompressor() {
    if (mdi != nullptr) {
      if (MdiDestroyDecompression(mdi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
      mdi = nullptr;
    }
    if (qdi != nullptr) {
      if (QdiDestroyDecompression(qdi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
      qdi = nullptr;
    }
    if (ldi != nullptr) {
      if (LdiDestroyDecompression(ldi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
      ldi = nullptr;
    }
    FreeBuffers();
    typeCompress = tcompBAD;
    return true;
  }

  bool ResetDecompressor() {
    if (mdi != nullptr && MdiResetDecompression(mdi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
    if (qdi != nullptr && QdiResetDecompression(qdi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
    if (ldi != nullptr && LdiResetDecompression(ldi) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
    return true;
  }

  bool SelectDecompressor(uint16_t type) {
    if (type == typeCompress) return true;
    if (!DestroyDecompressor()) return false;
    typeCompress = type;
    if (!CreateDecompressor()) {
      typeCompress = tcompBAD;
      return false;
    }
    return true;
  }

  // Decodes cbData bytes of srcBuf into dstBuf; *pcb is the count produced.
  bool DecompressBlock(uint32_t cbData, uint32_t* pcb) {
    uint16_t method = CompressionMethod(typeCompress);
    if (method == tcompTYPE_NONE) {
      if (cbData > kCodecBlockSize || cbData > dstBuf.size()) return Fail(FDIERROR_MDI_FAIL);
      std::memcpy(dstBuf.data(), srcBuf.data(), cbData);
      *pcb = cbData;
      return true;
    }
    if (method == tcompTYPE_MSZIP && mdi != nullptr) {
      uint32_t produced = 0;
      if (MdiDecompress(mdi, srcBuf.data(), cbData, dstBuf.data(), &produced) != CODEC_OK)
        return Fail(FDIERROR_MDI_FAIL);
      *pcb = produced;
      return true;
    }
    // Quantum and LZX are told the size the block must decode to.
    if (method == tcompTYPE_QUANTUM && qdi != nullptr) {
      if (QdiDecompress(qdi, srcBuf.data(), cbData, dstBuf.data(), pcb) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
      return true;
    }
    if (method == tcompTYPE_LZX && ldi != nullptr) {
      if (LdiDecompress(ldi, srcBuf.data(), cbData, dstBuf.data(), pcb) != CODEC_OK) return Fail(FDIERROR_MDI_FAIL);
      return true;
    }
    return Fail(FDIERROR_BAD_COMPR_TYPE);
  }

  // ---- cabinets ----
  bool OpenCabinet(const std::string& name, bool checkIndex, uint16_t wantSet, uint16_t wantIndex);
  bool ReadFileRecord(FileRecord& rec);
  bool SelectFolder(uint32_t index);
  bool PositionContinuedFolder();
  bool ReadBlockData(uint32_t at, uint32_t& cbData, uint16_t& cbUncomp, bool split, uint32_t firstPart);
  bool ReadAndDecodeBlock();
  bool MoveToNextCabinet();
  bool ExtractFile(intptr_t hfOut);
  bool Walk();
  bool ListFiles(bool& rest);
};

bool FdiContext::OpenCabinet(const std::string& name, bool checkIndex, uint16_t wantSet, uint16_t wantIndex) {
  using namespace vel::cabinet;
  CloseCabinet();
  std::string full = cabPath + name;
  if (full.size() > kMaxName || name.empty()) return Fail(FDIERROR_CABINET_NOT_FOUND);
  hfHeader = open(full.c_str(), kFlagsReadCabinet, kModeReadWrite);
  if (hfHeader == -1) return Fail(FDIERROR_CABINET_NOT_FOUND);
  hfData = open(full.c_str(), kFlagsReadCabinet, kModeReadWrite);
  if (hfData == -1) {
    CloseCabinet();
    return Fail(FDIERROR_CABINET_NOT_FOUND);
  }
  auto fail = [&](int32_t code, int32_t type = 0) {
    CloseCabinet();
    return Fail(code, type);
  };
  uint8_t h[kHeaderSize];
  if (!ReadExact(hfHeader, h, kHeaderSize) || Get32(h) != kSignatureMSCF) return fail(FDIERROR_NOT_A_CABINET);
  uint16_t version = Get16(h + 24);
  if (version != kCabVersion) return fail(FDIERROR_UNKNOWN_CABINET_VERSION, version);
  uint16_t hdrSet = Get16(h + 32), hdrIndex = Get16(h + 34);
  if (checkIndex && (hdrSet != wantSet || hdrIndex != wantIndex)) return fail(FDIERROR_WRONG_CABINET);
  coffFiles = Get32(h + 16);
  cFolders = Get16(h + 26);
  cFiles = Get16(h + 28);
  flags = Get16(h + 30);
  setID = hdrSet;
  iCabinet = hdrIndex;

  uint32_t cbHeaderReserve = 0, cbFolderReserve = 0, cbDataReserve = 0;
  if (flags & cfhdrRESERVE_PRESENT) {
    uint8_t r[4];
    if (!ReadExact(hfHeader, r, 4)) return fail(FDIERROR_NOT_A_CABINET);
    cbHeaderReserve = Get16(r);
    cbFolderReserve = r[2];
    cbDataReserve = r[3];
    if (cbHeaderReserve > kMaxHeaderReserve) return fail(FDIERROR_CORRUPT_CABINET);
  }
  try {
    headerReserve.assign(cbHeaderReserve, 0);
    if (!sizesKnown) {
      folderRecordSize = cbFolderReserve + kFolderRecordSize;
      dataHeaderSize = cbDataReserve + kDataHeaderSize;
      folderRecord.assign(folderRecordSize, 0);
      dataHeader.assign(dataHeaderSize, 0);
      sizesKnown = true;
    } else if (folderRecordSize != cbFolderReserve + kFolderRecordSize ||
               dataHeaderSize != cbDataReserve + kDataHeaderSize) {
      return fail(FDIERROR_RESERVE_MISMATCH);
    }
  } catch (const std::bad_alloc&) {
    return fail(FDIERROR_ALLOC_FAIL);
  }
  if (cbHeaderReserve != 0 && !ReadExact(hfHeader, headerReserve.data(), cbHeaderReserve))
    return fail(FDIERROR_NOT_A_CABINET);

  prevCab.clear();
  prevDisk.clear();
  nextCab.clear();
  nextDisk.clear();
  if ((flags & cfhdrPREV_CABINET) && (!ReadName(hfHeader, prevCab) || !ReadName(hfHeader, prevDisk)))
    return fail(FDIERROR_CORRUPT_CABINET);
  if ((flags & cfhdrNEXT_CABINET) && (!ReadName(hfHeader, nextCab) || !ReadName(hfHeader, nextDisk)))
    return fail(FDIERROR_CORRUPT_CABINET);
  int32_t pos = seek(hfHeader, 0, 1);
  if (pos < 0) return fail(FDIERROR_CORRUPT_CABINET);
  folderRecordsPos = static_cast<uint32_t>(pos);
  if (coffFiles > 0x7FFFFFFF || seek(hfHeader, static_cast<int32_t>(coffFiles), 0) != static_cast<int32_t>(coffFiles))
    return fail(FDIERROR_CORRUPT_CABINET);
  filesLeft = cFiles;

  SetBuffer(nameBuf1, nextCab);
  SetBuffer(nameBuf2, nextDisk);
  SetBuffer(nameBuf3, cabPath);
  notif = FDINOTIFICATION{};
  notif.psz1 = nameBuf1.data();
  notif.psz2 = nameBuf2.data();
  notif.psz3 = nameBuf3.data();
  notif.pv = pv;
  notif.setID = setID;
  notif.iCabinet = iCabinet;
  if (notify != nullptr && notify(fdintCABINET_INFO, &notif) == -1) return fail(FDIERROR_USER_ABORT);
  if (decrypt != nullptr) {
    dec = FDIDECRYPT{};
    dec.fdidt = fdidtNEW_CABINET;
    dec.pvUser = pv;
    dec.cabinet.pHeaderReserve = cbHeaderReserve ? headerReserve.data() : nullptr;
    dec.cabinet.cbHeaderReserve = static_cast<uint16_t>(cbHeaderReserve);
    dec.cabinet.setID = setID;
    dec.cabinet.iCabinet = iCabinet;
    if (decrypt(&dec) == -1) return fail(FDIERROR_USER_ABORT);
  }
  return true;
}

bool FdiContext::ReadFileRecord(FileRecord& rec) {
  uint8_t r[vel::cabinet::kFileRecordSize];
  if (!ReadExact(hfHeader, r, sizeof r) || !ReadName(hfHeader, rec.name)) return Fail(FDIERROR_CORRUPT_CABINET);
  rec.cbFile = Get32(r);
  rec.uoffFolderStart = Get32(r + 4);
  rec.iFolder = Get16(r + 8);
  rec.date = Get16(r + 10);
  rec.time = Get16(r + 12);
  rec.attribs = Get16(r + 14);
  return true;
}

bool FdiContext::SelectFolder(uint32_t index) {
  ForgetFolder();
  if (index >= cFolders) return Fail(FDIERROR_CORRUPT_CABINET);
  if (!ResetDecompressor()) return false;
  int64_t at = int64_t(folderRecordsPos) + int64_t(index) * folderRecordSize;
  if (at > 0x7FFFFFFF || seek(hfData, static_cast<int32_t>(at), 0) != at ||
      !ReadExact(hfData, folderRecord.data(), folderRecordSize))
    return Fail(FDIERROR_CORRUPT_CABINET);
  uint32_t coffCabStart = Get32(folderRecord.data());
  uint16_t cCFData = Get16(folderRecord.data() + 4);
  uint16_t type = Get16(folderRecord.data() + 6);
  if (coffCabStart > 0x7FFFFFFF || seek(hfData, static_cast<int32_t>(coffCabStart), 0) != int32_t(coffCabStart))
    return Fail(FDIERROR_CORRUPT_CABINET);
  if (!SelectDecompressor(type)) return false;
  if (decrypt != nullptr) {
    dec = FDIDECRYPT{};
    dec.fdidt = fdidtNEW_FOLDER;
    dec.pvUser = pv;
    dec.folder.pFolderReserve = folderRecordSize > 8 ? folderRecord.data() + 8 : nullptr;
    dec.folder.cbFolderReserve = static_cast<uint16_t>(folderRecordSize - 8);
    dec.folder.iFolder = static_cast<uint16_t>(index);
    if (decrypt(&dec) == -1) return Fail(FDIERROR_USER_ABORT);
  }
  blocksLeft = cCFData;
  currentFolder = index;
  if (!ReadAndDecodeBlock()) {
    ForgetFolder();
    return false;
  }
  return true;
}

// The first folder of a cabinet continues the folder of the previous one: same
// method, same decoder and history.
bool FdiContext::PositionContinuedFolder() {
  if (cFolders == 0) return Fail(FDIERROR_CORRUPT_CABINET);
  if (seek(hfData, static_cast<int32_t>(folderRecordsPos), 0) != int32_t(folderRecordsPos) ||
      !ReadExact(hfData, folderRecord.data(), folderRecordSize))
    return Fail(FDIERROR_CORRUPT_CABINET);
  uint32_t coffCabStart = Get32(folderRecord.data());
  uint16_t cCFData = Get16(folderRecord.data() + 4);
  uint16_t type = Get16(folderRecord.data() + 6);
  if (type != typeCompress || cCFData == 0) return Fail(FDIERROR_CORRUPT_CABINET);
  if (coffCabStart > 0x7FFFFFFF || seek(hfData, static_cast<int32_t>(coffCabStart), 0) != int32_t(coffCabStart))
    return Fail(FDIERROR_CORRUPT_CABINET);
  blocksLeft = cCFData;
  currentFolder = 0;
  return true;
}

// Reads one CFDATA record, its data placed at srcBuf + at, and checks its checksum.
bool FdiContext::ReadBlockData(uint32_t at, uint32_t& cbData, uint16_t& cbUncomp, bool split, uint32_t firstPart) {
  if (!ReadExact(hfData, dataHeader.data(), dataHeaderSize)) return Fail(FDIERROR_CORRUPT_CABINET);
  cbData = Get16(dataHeader.data() + 4);
  cbUncomp = Get16(dataHeader.data() + 6);
  // Both parts of a split block together must fit the buffer.
  if (uint64_t(at) + cbData > srcBuf.size()) return Fail(FDIERROR_CORRUPT_CABINET);
  if (cbData != 0 && !ReadExact(hfData, srcBuf.data() + at, cbData)) return Fail(FDIERROR_CORRUPT_CABINET);
  uint32_t stored = Get32(dataHeader.data());
  if (stored != 0) {
    std::span<const uint8_t> rest(dataHeader.data() + 4, dataHeaderSize - 4);
    if (vel::cabinet::DataBlockChecksum(rest, {srcBuf.data() + at, cbData}) != stored)
      return Fail(FDIERROR_CORRUPT_CABINET);
  }
  if (decrypt != nullptr) {
    dec = FDIDECRYPT{};
    dec.fdidt = fdidtDECRYPT;
    dec.pvUser = pv;
    dec.decrypt.pDataReserve = dataHeaderSize > 8 ? dataHeader.data() + 8 : nullptr;
    dec.decrypt.cbDataReserve = static_cast<uint16_t>(dataHeaderSize - 8);
    dec.decrypt.pbData = srcBuf.data();
    dec.decrypt.cbData = static_cast<uint16_t>(at + cbData);
    dec.decrypt.fSplit = (split || cbUncomp == 0) ? 1 : 0;
    dec.decrypt.cbPartial = static_cast<uint16_t>(firstPart);
    if (decrypt(&dec) == -1) return Fail(FDIERROR_USER_ABORT);
  }
  --blocksLeft;
  return true;
}

bool FdiContext::ReadAndDecodeBlock() {
  if (blocksLeft == 0) {
    if (!MoveToNextCabinet()) return false;
  }
  if (srcBuf.empty()) return Fail(FDIERROR_BAD_COMPR_TYPE);
  uint32_t cbData = 0;
  uint16_t cbUncomp = 0;
  if (!ReadBlockData(0, cbData, cbUncomp, false, 0)) return false;
  if (cbUncomp == 0) {
    // The first part of a block that the writer split across cabinets.
    uint32_t first = cbData;
    if (blocksLeft != 0) return Fail(FDIERROR_CORRUPT_CABINET);
    if (!MoveToNextCabinet()) return false;
    uint32_t second = 0;
    if (!ReadBlockData(first, second, cbUncomp, true, first)) return false;
    if (cbUncomp == 0) return Fail(FDIERROR_CORRUPT_CABINET);
    cbData = first + second;
  }
  if (cbUncomp > kCodecBlockSize) return Fail(FDIERROR_CORRUPT_CABINET);
  uint32_t produced = cbUncomp;
  if (!DecompressBlock(cbData, &produced)) return false;
  if (produced != cbUncomp) return Fail(FDIERROR_MDI_FAIL);
  blockSize = cbUncomp;
  return true;
}

bool FdiContext::MoveToNextCabinet() {
  // Data that runs past the last block of a cabinet without a successor is
  // damage, not a reason to ask for another cabinet.
  if (!(flags & cfhdrNEXT_CABINET) || iCabinet == 0xFFFF) return Fail(FDIERROR_CORRUPT_CABINET);
  uint16_t wantSet = setID, wantIndex = static_cast<uint16_t>(iCabinet + 1);
  std::string next = nextCab, disk = nextDisk, path = cabPath;
  if (!CloseCabinet()) return Fail(FDIERROR_CORRUPT_CABINET);
  int32_t fdie = 0;
  std::string lastName, lastPath;
  for (bool first = true;; first = false) {
    SetBuffer(nameBuf1, next);
    SetBuffer(nameBuf2, disk);
    SetBuffer(nameBuf3, path);
    notif = FDINOTIFICATION{};
    notif.psz1 = nameBuf1.data();
    notif.psz2 = nameBuf2.data();
    notif.psz3 = nameBuf3.data();
    notif.pv = pv;
    notif.setID = wantSet;
    notif.iCabinet = wantIndex;
    notif.fdie = fdie;
    if (notify == nullptr || notify(fdintNEXT_CABINET, &notif) == -1) return Fail(FDIERROR_USER_ABORT);
    next = BoundedText(nameBuf1);
    path = BoundedText(nameBuf3);
    // A callback that offers the same cabinet again after it failed would be asked forever.
    if (!first && next == lastName && path == lastPath) return false;
    lastName = next;
    lastPath = path;
    cabPath = path;
    if (OpenCabinet(next, true, wantSet, wantIndex) && PositionContinuedFolder()) break;
    CloseCabinet();
    if (perf != nullptr && perf->erfOper == FDIERROR_USER_ABORT) return false;
    fdie = perf != nullptr ? perf->erfOper : FDIERROR_CORRUPT_CABINET;
  }
  // Skip the continuation records of the files this walk already handled.
  ++skipCount;
  FileRecord scratch;
  for (uint32_t i = 0; i < skipCount; ++i) {
    if (filesLeft == 0) return Fail(FDIERROR_CORRUPT_CABINET);
    if (!ReadFileRecord(scratch)) return false;
    --filesLeft;
  }
  continuing = true;
  return true;
}

bool FdiContext::ExtractFile(intptr_t hfOut) {
  auto abandon = [&] {
    close(hfOut);
    return false;
  };
  if (file.cbFile != 0) {
    if (!continuing) {
      uint32_t index = file.iFolder == ifoldCONTINUED_TO_NEXT ? uint32_t(cFolders) - 1 : file.iFolder;
      if (currentFolder != kNoFolder && file.uoffFolderStart < blockOffset) ForgetFolder();
      if (index != currentFolder && !SelectFolder(index)) return abandon();
    }
    // A continued folder cannot go back into the previous cabinet.
    if (continuing && file.uoffFolderStart < blockOffset) {
      Fail(FDIERROR_CORRUPT_CABINET);
      return abandon();
    }
    uint64_t pos = file.uoffFolderStart, end = pos + file.cbFile;
    while (pos < end) {
      while (pos >= blockOffset + blockSize) {
        blockOffset += blockSize;
        blockSize = 0;
        if (!ReadAndDecodeBlock()) {
          ForgetFolder();
          return abandon();
        }
      }
      uint32_t inBlock = static_cast<uint32_t>(pos - blockOffset);
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end - pos, blockSize - inBlock));
      if (write(hfOut, dstBuf.data() + inBlock, n) != n) {
        Fail(FDIERROR_TARGET_FILE);
        return abandon();
      }
      pos += n;
    }
  }
  notif = FDINOTIFICATION{};
  notif.psz1 = file.name.data();
  notif.hf = hfOut;
  notif.pv = pv;
  notif.date = file.date;
  notif.time = file.time;
  notif.attribs = static_cast<uint16_t>(file.attribs & ~_A_EXEC);
  notif.cb = (file.attribs & _A_EXEC) ? 1 : 0;
  notif.iFolder = file.iFolder;
  notif.setID = setID;
  notif.iCabinet = iCabinet;
  intptr_t r = notify(fdintCLOSE_FILE_INFO, &notif);
  if (r == -1) return Fail(FDIERROR_USER_ABORT);
  if (r == 0) return Fail(FDIERROR_TARGET_FILE);
  return true;
}

bool FdiContext::Walk() {
  // The callback may move the walk: cb to another file record, iFolder to the
  // number of records still to read from there.
  auto enumerate = [&] {
    const int32_t pos = seek(hfHeader, 0, 1);
    notif = FDINOTIFICATION{};
    notif.pv = pv;
    notif.cb = pos;
    notif.iFolder = static_cast<uint16_t>(filesLeft);
    notif.setID = setID;
    if (notify(fdintENUMERATE, &notif) == -1) return Fail(FDIERROR_USER_ABORT);
    if (notif.cb != pos && (notif.cb < 0 || seek(hfHeader, notif.cb, 0) != notif.cb))
      return Fail(FDIERROR_CORRUPT_CABINET);
    filesLeft = notif.iFolder;
    return true;
  };
  if (!enumerate()) return false;
  bool rest = false;  // the records left belong to a later walk of this cabinet
  for (;;) {
    if (!ListFiles(rest)) return false;
    if (!enumerate()) return false;
    if (rest || filesLeft == 0) return true;
  }
}

bool FdiContext::ListFiles(bool& rest) {
  while (filesLeft > 0) {
    if (!ReadFileRecord(file)) return false;
    --filesLeft;
    bool fromPrev = file.iFolder == ifoldCONTINUED_FROM_PREV || file.iFolder == ifoldCONTINUED_PREV_AND_NEXT;
    bool toNext = file.iFolder == ifoldCONTINUED_TO_NEXT || file.iFolder == ifoldCONTINUED_PREV_AND_NEXT;
    notif = FDINOTIFICATION{};
    notif.pv = pv;
    notif.cb = static_cast<int32_t>(file.cbFile);
    notif.psz1 = file.name.data();
    notif.psz2 = prevCab.data();
    notif.psz3 = prevDisk.data();
    notif.date = file.date;
    notif.time = file.time;
    notif.attribs = file.attribs;
    notif.iFolder = file.iFolder;
    notif.setID = setID;
    notif.iCabinet = iCabinet;
    if (continuing) {
      if (!fromPrev) {
        rest = true;
        break;
      }
    } else if (fromPrev) {
      if (notify(fdintPARTIAL_FILE, &notif) == -1) return Fail(FDIERROR_USER_ABORT);
      continue;
    } else if (file.iFolder >= cFolders && file.iFolder != ifoldCONTINUED_TO_NEXT) {
      return Fail(FDIERROR_CORRUPT_CABINET);
    } else if (file.iFolder == ifoldCONTINUED_TO_NEXT && cFolders == 0) {
      return Fail(FDIERROR_CORRUPT_CABINET);
    }
    intptr_t hfOut = notify(fdintCOPY_FILE, &notif);
    if (hfOut == -1) return Fail(FDIERROR_USER_ABORT);
    if (hfOut == 0) {
      if (toNext) ++skipCount;
      continue;
    }
    if (!ExtractFile(hfOut)) return false;
  }
  return true;
}

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
               PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, ERF* perf) {
  if (pfnalloc == nullptr || pfnfree == nullptr || pfnopen == nullptr || pfnread == nullptr ||
      pfnwrite == nullptr || pfnclose == nullptr || pfnseek == nullptr) {
    FciSetError(perf, FDIERROR_ALLOC_FAIL, 0);
    return nullptr;
  }
  void* mem = pfnalloc(sizeof(FdiContext));
  if (mem == nullptr) {
    FciSetError(perf, FDIERROR_ALLOC_FAIL, 0);
    return nullptr;
  }
  FdiContext* c = ::new (mem) FdiContext(pfnalloc, pfnfree);
  c->perf = perf;
  c->open = pfnopen;
  c->read = pfnread;
  c->write = pfnwrite;
  c->close = pfnclose;
  c->seek = pfnseek;
  c->cpuType = cpuType;
  return c;
}

bool FDIIsCabinet(HFDI hfdi, intptr_t hf, FDICABINETINFO* pfdici) {
  using namespace vel::cabinet;
  if (hfdi == nullptr || pfdici == nullptr) return false;
  uint8_t h[kHeaderSize];
  if (!hfdi->ReadExact(hf, h, kHeaderSize) || Get32(h) != kSignatureMSCF) return false;
  uint16_t version = Get16(h + 24);
  if (version != kCabVersion) return hfdi->Fail(FDIERROR_UNKNOWN_CABINET_VERSION, version);
  uint16_t flags = Get16(h + 30);
  pfdici->cbCabinet = static_cast<int32_t>(Get32(h + 8));
  pfdici->cFolders = Get16(h + 26);
  pfdici->cFiles = Get16(h + 28);
  pfdici->setID = Get16(h + 32);
  pfdici->iCabinet = Get16(h + 34);
  pfdici->fReserve = (flags & cfhdrRESERVE_PRESENT) != 0;
  pfdici->hasprev = (flags & cfhdrPREV_CABINET) != 0;
  pfdici->hasnext = flags & cfhdrNEXT_CABINET;
  return true;
}

bool FDICopy(HFDI hfdi, const char* pszCabinet, const char* pszCabPath, int /*flags*/, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser) {
  if (hfdi == nullptr) return false;
  FdiContext& c = *hfdi;
  if (pszCabinet == nullptr || pfnfdin == nullptr) return c.Fail(FDIERROR_CABINET_NOT_FOUND);
  bool ok;
  try {
    c.notify = pfnfdin;
    c.decrypt = pfnfdid;
    c.pv = pvUser;
    c.skipCount = 0;
    c.continuing = false;
    c.ForgetFolder();
    std::string path = pszCabPath != nullptr ? pszCabPath : "";
    c.cabPath = path;
    ok = c.OpenCabinet(pszCabinet, false, 0, 0);
    c.cabPath = path;  // undo whatever the cabinet-info callback wrote through psz3
    if (ok) ok = c.Walk();
  } catch (const std::bad_alloc&) {
    ok = c.Fail(FDIERROR_ALLOC_FAIL);
  }
  c.CloseCabinet();
  c.ForgetFolder();
  return ok;
}

bool FDIDestroy(HFDI hfdi) {
  if (hfdi == nullptr) return false;
  hfdi->DestroyDecompressor();
  hfdi->CloseCabinet();
  PFNFREE release = hfdi->release;
  hfdi->~FdiContext();
  release(hfdi);
  return true;
}
