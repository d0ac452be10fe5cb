// The KWD1 ADPCM codec: file header, block encoder and decoder, and the stream decoder
// behind xadec.dll. Plain portable code (no Windows headers), shared by the DLL, the
// xaenc tool and the tests. FORMAT.md beside this file describes the format in full.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    XA_HEADER_BYTES = 32,
    XA_VERSION = 1,
    XA_ORDER = 4,                 // predictor taps
    XA_SLICE_FRAMES = 16,         // samples sharing one step index
    XA_SLICE_BYTES = 9,           // 1 step byte + 16 four-bit codes
    XA_CHANNEL_HEADER_BYTES = 16, // 4 coefficients + 4 history samples, int16 each
    XA_MIN_BLOCK_FRAMES = 16,
    XA_MAX_BLOCK_FRAMES = 2048,
    XA_DEFAULT_BLOCK_FRAMES = 1024,
    XA_STEP_COUNT = 64,
    XA_MIN_RATE = 8000,
    XA_MAX_RATE = 48000
};

// Everything the header says, checked and with the derived sizes.
typedef struct XaInfo {
    uint32_t dataSize;    // encoded bytes after the header
    uint32_t frames;      // sample frames of the sound
    uint32_t rate;        // samples per second
    uint32_t channels;    // 1 or 2
    uint32_t blockFrames; // frames per block (multiple of 16)
    uint32_t blockBytes;  // encoded bytes per block
    uint32_t blockCount;  // dataSize / blockBytes
} XaInfo;

// Encoded bytes of one block; 0 when the arguments are out of range.
uint32_t XaBlockBytes(uint32_t channels, uint32_t blockFrames);

// Fills info for a sound of the given shape. 1 on success, 0 when a value is out of
// range or the encoded size would not fit in 32 bits.
int XaMakeInfo(XaInfo* info, uint32_t channels, uint32_t rate, uint32_t frames, uint32_t blockFrames);

// Writes the 32-byte header for info.
void XaWriteHeader(uint8_t header[XA_HEADER_BYTES], const XaInfo* info);

// Reads and checks a 32-byte header. 1 on success, 0 when anything is wrong.
int XaParseHeader(const uint8_t* header, XaInfo* info);

// Frames that block number `index` (0-based) of a sound decodes to.
uint32_t XaBlockOutputFrames(const XaInfo* info, uint32_t index);

// Decodes the first outFrames frames of one block into interleaved 16-bit samples.
// 1 on success; 0 (and nothing written) when the block is malformed.
int XaDecodeBlock(const uint8_t* block, uint32_t channels, uint32_t blockFrames, uint32_t outFrames,
                  int16_t* out);

// Encodes interleaved 16-bit samples into a complete XA file held in a buffer taken
// with malloc (*file, *fileBytes; free it with free). 1 on success, 0 on failure.
int XaEncode(const int16_t* pcm, uint32_t frames, uint32_t channels, uint32_t rate, uint32_t blockFrames,
             uint8_t** file, size_t* fileBytes);

// The stream decoder: a checked header and the number of the next block.
typedef struct XaStream XaStream;

// Null when the header is refused.
XaStream* XaStreamOpen(const uint8_t* header);
const XaInfo* XaStreamInfo(const XaStream* stream);
// PCM bytes that the first srcBytes of the data decode to (whole blocks only).
// 1 on success, 0 when the figure does not fit in 32 bits.
int XaStreamSize(const XaStream* stream, uint32_t srcBytes, uint32_t* dstBytes);
// Decodes whole blocks from src while their output fits into dst. Sets *srcUsed and
// *dstUsed. 1 on success; 0 for a malformed block (the used counts then cover the
// blocks decoded before it) or bad arguments.
int XaStreamConvert(XaStream* stream, const uint8_t* src, uint32_t srcLen, uint32_t* srcUsed, uint8_t* dst,
                    uint32_t dstLen, uint32_t* dstUsed);
void XaStreamClose(XaStream* stream);

#ifdef __cplusplus
}
#endif
