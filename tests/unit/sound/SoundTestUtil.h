// Helpers of the sound tests: temporary files, test signals, WAV writers with our own IMA and
// MS ADPCM encoders (and reference decoders), a fake XA decoder and an allocation counter.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "sound/XaDecoder.h"

namespace soundtest {

typedef std::vector<uint8_t> Bytes;

// A folder of this test process under the Windows temp folder; removed at exit.
std::string TempPath(const std::string& name);
bool WriteBytes(const std::string& path, const Bytes& bytes);
// True when nobody holds the file open (it can be opened without sharing).
bool FileIsFree(const std::string& path);

// Interleaved 16-bit sine tone, left at `freq`, right (if any) at 1.5 × freq.
std::vector<int16_t> Tone(uint32_t frames, uint32_t channels, uint32_t rate, double freq, double amplitude);
Bytes ToBytes(const std::vector<int16_t>& samples);
// 8-bit unsigned PCM of the same tone.
Bytes Tone8(uint32_t frames, uint32_t channels, uint32_t rate, double freq, double amplitude);
// Deterministic pseudo-random 16-bit PCM bytes (for exact byte comparisons).
Bytes Noise16(uint32_t frames, uint32_t channels, uint32_t seed);

// RIFF building.
void Put16(Bytes& b, uint32_t v);
void Put32(Bytes& b, uint32_t v);
void PutChunk(Bytes& b, const char* id, const Bytes& data);                   // pads to even
void PutChunkDeclared(Bytes& b, const char* id, uint32_t declared, const Bytes& data);
Bytes Riff(const Bytes& body, const char* form = "WAVE");                     // "RIFF" size form body
Bytes PcmFmt(uint32_t channels, uint32_t rate, uint32_t bits, bool sixteenBytes);
Bytes PcmWav(const Bytes& pcm, uint32_t channels, uint32_t rate, uint32_t bits, bool fmt16 = true);

struct Encoded {
    Bytes wav;                      // the whole file
    std::vector<int16_t> decoded;   // what a standard decoder makes of it (whole blocks)
    uint32_t blockAlign;
    uint32_t samplesPerBlock;
};
Encoded ImaAdpcmWav(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate);
Encoded MsAdpcmWav(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate);

// Fake XA decoder: header "KWD1", data size at 4, frames at 8, a marker byte at 12 (0xEE makes
// the decoder refuse the header), channels at 15, rate at 16. The data is 16-bit PCM XOR 0x55
// in blocks of kFakeXaBlock bytes; only whole blocks are consumed.
const uint32_t kFakeXaBlock = 64;
struct FakeXa {
    static XaDecoderApi Table();
    static int opens;
    static int closes;
    static int converts;
    static int refuseSize;  // when set, xaDecodeSize fails
    static DWORD maxSrcLen;  // largest source length handed to xaDecodeConvert
};
Bytes FakeXaFile(const Bytes& pcm, uint32_t channels, uint32_t rate, uint32_t headerFrames, uint8_t marker = 0);
// Installs the fake decoder for the lifetime of the object.
class ScopedFakeXa {
public:
    ScopedFakeXa();
    ~ScopedFakeXa();
};
// Stands in for a missing xadec.dll for the lifetime of the object.
class ScopedMissingXa {
public:
    ScopedMissingXa();
    ~ScopedMissingXa();
};

// Counts the array allocations (new[] / delete[]) of the test process: the sound code takes
// all its memory that way.
long long LiveArrayAllocations();
size_t LargestArrayAllocation();
void ResetLargestArrayAllocation();

}  // namespace soundtest
