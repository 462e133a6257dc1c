// Declares: PFNALLOC/PFNFREE/PFNOPEN/PFNREAD/PFNWRITE/PFNCLOSE/PFNSEEK, tcomp* compression-type bits, CodecStatus, codec tags ("MCIC" "LCIC" "MDIC" "QDIC" "LDIC"), Mci*/Lci* compressors, Mdi*/Qdi*/Ldi* decompressors, CodecAvailable, CabChecksum.
//
// The writer and the reader talk to every codec through these flat calls only:
// create, compress or decompress one block, reset, destroy. Each context is
// allocated through the caller's allocation callback and begins with a tag that
// every entry point checks, so a wrong or destroyed handle is refused with
// CODEC_BAD_PARAMETERS instead of being used.
//
// MSZIP is available in both directions, Quantum and LZX for reading, and LZX
// for writing (the writer calls its compressor for type 3 directly).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Caller callbacks -------------------------------------------------------
// Memory (both directions) and the reader's file callbacks, which the LZX
// decompressor also receives. Handles are intptr_t; -1 means failure.
using PFNALLOC = void* (*)(uint32_t cb);
using PFNFREE = void (*)(void* pv);
using PFNOPEN = intptr_t (*)(const char* pszFile, int oflag, int pmode);
using PFNREAD = uint32_t (*)(intptr_t hf, void* pv, uint32_t cb);
using PFNWRITE = uint32_t (*)(intptr_t hf, void* pv, uint32_t cb);
using PFNCLOSE = int (*)(intptr_t hf);
using PFNSEEK = int32_t (*)(intptr_t hf, int32_t dist, int seektype);

// ---- Compression type (typeCompress of a CFFOLDER record) -------------------
inline constexpr uint16_t tcompMASK_TYPE = 0x000F;
inline constexpr uint16_t tcompTYPE_NONE = 0x0000;
inline constexpr uint16_t tcompTYPE_MSZIP = 0x0001;
inline constexpr uint16_t tcompTYPE_QUANTUM = 0x0002;
inline constexpr uint16_t tcompTYPE_LZX = 0x0003;
inline constexpr uint16_t tcompBAD = 0x000F;  // no method selected yet
inline constexpr uint16_t tcompMASK_WINDOW = 0x1F00;
inline constexpr int tcompSHIFT_WINDOW = 8;

inline constexpr uint16_t CompressionMethod(uint16_t typeCompress) { return typeCompress & tcompMASK_TYPE; }
inline constexpr unsigned CompressionWindow(uint16_t typeCompress) {
  return (typeCompress & tcompMASK_WINDOW) >> tcompSHIFT_WINDOW;
}

// True when a codec for this method exists in this build (every method of the format).
bool CodecAvailable(uint16_t typeCompress);

// ---- Sizes ------------------------------------------------------------------
inline constexpr uint32_t kCodecBlockSize = 32768;   // largest uncompressed block
inline constexpr uint32_t kMsZipSlack = 12;          // compressed side: block size + 12
inline constexpr uint32_t kLzxSlack = 6144;
inline constexpr uint32_t kQuantumSlack = 10240;

// ---- Codec status (returned by every entry point) ---------------------------
enum CodecStatus : int32_t {
  CODEC_OK = 0,
  CODEC_NO_MEMORY = 1,          // creation only
  CODEC_BAD_PARAMETERS = 2,     // wrong tag, or a size outside the contract
  CODEC_BUFFER_OVERFLOW = 3,    // a block larger than the context allows
  CODEC_FAILED = 4,             // the engine failed on this block
  CODEC_BAD_CONFIGURATION = 5,  // bad Quantum window bits; codec not built yet
};

// ---- Context tags: four ASCII letters as one little-endian 32-bit word ------
inline constexpr uint32_t CodecTag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
inline constexpr uint32_t kTagMsZipCompressor = CodecTag("MCIC");
inline constexpr uint32_t kTagLzxCompressor = CodecTag("LCIC");
inline constexpr uint32_t kTagMsZipDecompressor = CodecTag("MDIC");
inline constexpr uint32_t kTagQuantumDecompressor = CodecTag("QDIC");
inline constexpr uint32_t kTagLzxDecompressor = CodecTag("LDIC");

// Opaque contexts.
struct MsZipCompressor;
struct LzxCompressor;
struct MsZipDecompressor;
struct QuantumDecompressor;
struct LzxDecompressor;

// ---- MSZIP compressor ("MCIC") ----------------------------------------------
// *pBlockSize 0 or above 32,768 becomes 32,768; *pDstBufferMin = block size + 12.
CodecStatus MciCreateCompression(uint32_t* pBlockSize, PFNALLOC alloc, PFNFREE free,
                                 uint32_t* pDstBufferMin, MsZipCompressor** pHandle);
// One block ("CK" + a complete deflate stream) into dst. cbSrc <= block size,
// cbDst >= block size + 12, else CODEC_BAD_PARAMETERS. A full block becomes the
// history of the next one; the result never exceeds cbSrc + 12.
CodecStatus MciCompress(MsZipCompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t cbDst,
                        uint32_t* pcbResult);
CodecStatus MciResetCompression(MsZipCompressor* h);    // forgets the history (new folder)
CodecStatus MciDestroyCompression(MsZipCompressor* h);

// ---- LZX compressor ("LCIC") ------------------------------------------------
// One LZX stream per folder: the window (config->windowSize, a power of two from
// 2^15 to 2^21; anything else fails creation with CODEC_NO_MEMORY) keeps the
// history across blocks. Each call feeds one block; frames of 32,768 bytes leave
// through the output callback once coded, so a frame may come out during a later
// call. *pcbResult estimates the compressed bytes still held.
struct LciConfiguration {
  uint32_t windowSize;           // bytes, 1 << w
  uint32_t secondPartitionSize;  // 65,536
};
// Finished compressed blocks leave through this callback; 0 = stored, nonzero fails.
using PFNLCIOUTPUT = int (*)(void* outputContext, const void* data, uint32_t cbCompressed,
                             uint32_t cbUncompressed);
CodecStatus LciCreateCompression(uint32_t* pBlockSize, const LciConfiguration* config, PFNALLOC alloc,
                                 PFNFREE free, uint32_t* pDstBufferMin, LzxCompressor** pHandle,
                                 PFNLCIOUTPUT output, void* outputContext);
CodecStatus LciCompress(LzxCompressor* h, const void* src, uint32_t cbSrc, void* dst, uint32_t cbDst,
                        uint32_t* pcbResult);
CodecStatus LciFlushOutput(LzxCompressor* h);
CodecStatus LciResetCompression(LzxCompressor* h);
CodecStatus LciDestroyCompression(LzxCompressor* h);

// ---- MSZIP decompressor ("MDIC") --------------------------------------------
// pHandle may be null: then only *pBlockSize and *pSrcBufferMin are answered.
CodecStatus MdiCreateDecompression(uint32_t* pBlockSize, PFNALLOC alloc, PFNFREE free,
                                   uint32_t* pSrcBufferMin, MsZipDecompressor** pHandle);
// Inflates one block ("CK" + deflate) into dst, whose capacity is the block size;
// *pcbResult receives the bytes produced. dst must be the same buffer for every
// block of a folder: it is also the history the next block refers back into.
CodecStatus MdiDecompress(MsZipDecompressor* h, const void* src, uint32_t cbSrc, void* dst,
                          uint32_t* pcbResult);
CodecStatus MdiResetDecompression(MsZipDecompressor* h);  // new folder: no history
CodecStatus MdiDestroyDecompression(MsZipDecompressor* h);

// ---- Quantum decompressor ("QDIC") ------------------------------------------
struct QdiConfiguration {
  int32_t windowBits;  // 10..21, else CODEC_BAD_CONFIGURATION
  int32_t cpuType;     // the reader's processor type
};
CodecStatus QdiCreateDecompression(uint32_t* pBlockSize, const QdiConfiguration* config, PFNALLOC alloc,
                                   PFNFREE free, uint32_t* pSrcBufferMin, QuantumDecompressor** pHandle);
// *pcbResult on entry: the uncompressed size the block must produce.
CodecStatus QdiDecompress(QuantumDecompressor* h, const void* src, uint32_t cbSrc, void* dst,
                          uint32_t* pcbResult);
CodecStatus QdiResetDecompression(QuantumDecompressor* h);
CodecStatus QdiDestroyDecompression(QuantumDecompressor* h);

// ---- LZX decompressor ("LDIC") ----------------------------------------------
struct LdiConfiguration {
  uint32_t windowSize;  // bytes, 1 << w
  uint32_t secondWord;  // carries nothing from the reader
};
CodecStatus LdiCreateDecompression(uint32_t* pBlockSize, const LdiConfiguration* config, PFNALLOC alloc,
                                   PFNFREE free, uint32_t* pSrcBufferMin, LzxDecompressor** pHandle,
                                   PFNOPEN open, PFNREAD read, PFNWRITE write, PFNCLOSE close,
                                   PFNSEEK seek);
// *pcbResult on entry: the expected uncompressed size; on return the count produced.
CodecStatus LdiDecompress(LzxDecompressor* h, const void* src, uint32_t cbSrc, void* dst,
                          uint32_t* pcbResult);
CodecStatus LdiResetDecompression(LzxDecompressor* h);
CodecStatus LdiDestroyDecompression(LzxDecompressor* h);

// ---- CFDATA checksum (MS-CAB) -----------------------------------------------
// Whole 4-byte groups XORed in as little-endian words, the 1-3 bytes left as one
// big-endian value. A CFDATA csum = CabChecksum(&cbData, 4 + reserve,
// CabChecksum(data, cbData, 0)).
uint32_t CabChecksum(const void* data, uint32_t length, uint32_t seed);
