#include "SoundTestUtil.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

// ---------------------------------------------------------------------------------------------
// Allocation counter

static long long g_liveArrays = 0;
static size_t g_largestArray = 0;

void* operator new[](size_t size)
{
    void* p = malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    g_liveArrays++;
    if (size > g_largestArray)
        g_largestArray = size;
    return p;
}

void operator delete[](void* p) noexcept
{
    if (!p)
        return;
    g_liveArrays--;
    free(p);
}

void operator delete[](void* p, size_t) noexcept { operator delete[](p); }

namespace soundtest {

long long LiveArrayAllocations() { return g_liveArrays; }
size_t LargestArrayAllocation() { return g_largestArray; }
void ResetLargestArrayAllocation() { g_largestArray = 0; }

// ---------------------------------------------------------------------------------------------
// Files

namespace {

struct TempFolder {
    std::string path;
    std::vector<std::string> files;
    TempFolder()
    {
        char base[MAX_PATH];
        GetTempPathA(sizeof(base), base);
        char name[64];
        snprintf(name, sizeof(name), "ktb_sound_%lu\\", (unsigned long)GetCurrentProcessId());
        path = std::string(base) + name;
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const auto& file : files)
            DeleteFileA(file.c_str());
        RemoveDirectoryA(path.c_str());
    }
};

TempFolder& Folder()
{
    static TempFolder folder;
    return folder;
}

}  // namespace

std::string TempPath(const std::string& name)
{
    std::string path = Folder().path + name;
    if (std::find(Folder().files.begin(), Folder().files.end(), path) == Folder().files.end())
        Folder().files.push_back(path);
    return path;
}

bool WriteBytes(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool FileIsFree(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Signals

std::vector<int16_t> Tone(uint32_t frames, uint32_t channels, uint32_t rate, double freq, double amplitude)
{
    std::vector<int16_t> out(frames * channels);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) {
            double f = c == 0 ? freq : freq * 1.5;
            out[i * channels + c] = (int16_t)lround(amplitude * sin(2.0 * 3.14159265358979323846 * f * i / rate));
        }
    return out;
}

Bytes ToBytes(const std::vector<int16_t>& samples)
{
    Bytes out(samples.size() * 2);
    memcpy(out.data(), samples.data(), out.size());
    return out;
}

Bytes Tone8(uint32_t frames, uint32_t channels, uint32_t rate, double freq, double amplitude)
{
    std::vector<int16_t> tone = Tone(frames, channels, rate, freq, amplitude);
    Bytes out(tone.size());
    for (size_t i = 0; i < tone.size(); ++i)
        out[i] = (uint8_t)(128 + tone[i] / 256);
    return out;
}

Bytes Noise16(uint32_t frames, uint32_t channels, uint32_t seed)
{
    Bytes out(frames * channels * 2);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t)(x >> 24);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// RIFF

void Put16(Bytes& b, uint32_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

void Put32(Bytes& b, uint32_t v)
{
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

void PutChunkDeclared(Bytes& b, const char* id, uint32_t declared, const Bytes& data)
{
    b.insert(b.end(), id, id + 4);
    Put32(b, declared);
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() % 2)
        b.push_back(0);
}

void PutChunk(Bytes& b, const char* id, const Bytes& data) { PutChunkDeclared(b, id, (uint32_t)data.size(), data); }

Bytes Riff(const Bytes& body, const char* form)
{
    Bytes out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(out, (uint32_t)body.size() + 4);
    out.insert(out.end(), form, form + 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes PcmFmt(uint32_t channels, uint32_t rate, uint32_t bits, bool sixteenBytes)
{
    Bytes f;
    Put16(f, WAVE_FORMAT_PCM);
    Put16(f, channels);
    Put32(f, rate);
    Put32(f, rate * channels * bits / 8);
    Put16(f, channels * bits / 8);
    Put16(f, bits);
    if (!sixteenBytes)
        Put16(f, 0);
    return f;
}

Bytes PcmWav(const Bytes& pcm, uint32_t channels, uint32_t rate, uint32_t bits, bool fmt16)
{
    Bytes body;
    PutChunk(body, "fmt ", PcmFmt(channels, rate, bits, fmt16));
    PutChunk(body, "data", pcm);
    return Riff(body);
}

// ---------------------------------------------------------------------------------------------
// IMA ADPCM

namespace {

const int kImaIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
const int kImaStep[89] = {7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
                          25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
                          88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
                          307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
                          1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
                          3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
                          12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

int Clamp16(int v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

struct Ima {
    int sample;
    int index;
    int Decode(int code)
    {
        int step = kImaStep[index];
        int diff = step >> 3;
        if (code & 1)
            diff += step >> 2;
        if (code & 2)
            diff += step >> 1;
        if (code & 4)
            diff += step;
        sample = Clamp16((code & 8) ? sample - diff : sample + diff);
        index = std::min(88, std::max(0, index + kImaIndex[code]));
        return sample;
    }
    int Encode(int target)
    {
        int step = kImaStep[index];
        int diff = target - sample;
        int code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        if (diff >= step) {
            code |= 4;
            diff -= step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
        }
        if (diff >= step >> 2)
            code |= 1;
        Decode(code);
        return code;
    }
};

}  // namespace

namespace {

// The block layout of an ADPCM WAV (256 bytes per channel per 11025 Hz of rate; each block starts
// with headerBytes bytes and headerSamples samples per channel): fills in blockAlign and
// samplesPerBlock, pads the PCM to whole blocks and returns the block count.
uint32_t LayOutAdpcmBlocks(Encoded& e, std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate,
                           uint32_t headerBytes, uint32_t headerSamples)
{
    uint32_t factor = std::max<uint32_t>(1, rate / 11025);
    e.blockAlign = 256 * channels * factor;
    e.samplesPerBlock = (e.blockAlign - headerBytes * channels) * 8 / (4 * channels) + headerSamples;
    uint32_t frames = (uint32_t)(pcm.size() / channels);
    uint32_t blocks = (frames + e.samplesPerBlock - 1) / e.samplesPerBlock;
    pcm.resize((size_t)blocks * e.samplesPerBlock * channels, 0);
    return blocks;
}

}  // namespace

Encoded ImaAdpcmWav(const std::vector<int16_t>& pcmIn, uint32_t channels, uint32_t rate)
{
    Encoded e;
    std::vector<int16_t> pcm(pcmIn);
    uint32_t blocks = LayOutAdpcmBlocks(e, pcm, channels, rate, 4, 1);
    const uint32_t frames = (uint32_t)(pcmIn.size() / channels);

    Bytes data;
    for (uint32_t b = 0; b < blocks; ++b) {
        const int16_t* in = pcm.data() + (size_t)b * e.samplesPerBlock * channels;
        std::vector<Ima> enc(channels), dec(channels);
        std::vector<int16_t> out((size_t)e.samplesPerBlock * channels);
        for (uint32_t c = 0; c < channels; ++c) {
            enc[c] = {in[c], c == 0 ? 20 : 20};
            dec[c] = enc[c];
            Put16(data, (uint16_t)in[c]);
            data.push_back((uint8_t)enc[c].index);
            data.push_back(0);
            out[c] = in[c];
        }
        // Groups of 8 samples per channel, 4 bytes each, channels interleaved group by group.
        for (uint32_t s = 1; s < e.samplesPerBlock; s += 8) {
            for (uint32_t c = 0; c < channels; ++c) {
                for (uint32_t k = 0; k < 8; k += 2) {
                    int lo = enc[c].Encode(in[(s + k) * channels + c]);
                    int hi = enc[c].Encode(in[(s + k + 1) * channels + c]);
                    data.push_back((uint8_t)(lo | (hi << 4)));
                    out[(s + k) * channels + c] = (int16_t)dec[c].Decode(lo);
                    out[(s + k + 1) * channels + c] = (int16_t)dec[c].Decode(hi);
                }
            }
        }
        e.decoded.insert(e.decoded.end(), out.begin(), out.end());
    }

    Bytes fmt;
    Put16(fmt, WAVE_FORMAT_IMA_ADPCM);
    Put16(fmt, channels);
    Put32(fmt, rate);
    Put32(fmt, (uint32_t)((uint64_t)rate * e.blockAlign / e.samplesPerBlock));
    Put16(fmt, e.blockAlign);
    Put16(fmt, 4);
    Put16(fmt, 2);
    Put16(fmt, e.samplesPerBlock);
    Bytes body;
    PutChunk(body, "fmt ", fmt);
    Bytes fact;
    Put32(fact, frames);
    PutChunk(body, "fact", fact);
    PutChunk(body, "data", data);
    e.wav = Riff(body);
    return e;
}

// ---------------------------------------------------------------------------------------------
// MS ADPCM

namespace {

const int kMsAdapt[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
const int kMsCoef[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

struct Ms {
    int s1, s2, delta, c1, c2;
    int Decode(int code)
    {
        int signedCode = (code & 8) ? code - 16 : code;
        int sample = Clamp16((s1 * c1 + s2 * c2) / 256 + signedCode * delta);
        s2 = s1;
        s1 = sample;
        delta = kMsAdapt[code] * delta / 256;
        if (delta < 16)
            delta = 16;
        return sample;
    }
    int Encode(int target)
    {
        int predicted = (s1 * c1 + s2 * c2) / 256;
        int q = (int)lround((double)(target - predicted) / delta);
        q = std::max(-8, std::min(7, q));
        int code = q & 0x0F;
        Decode(code);
        return code;
    }
};

}  // namespace

Encoded MsAdpcmWav(const std::vector<int16_t>& pcmIn, uint32_t channels, uint32_t rate)
{
    Encoded e;
    std::vector<int16_t> pcm(pcmIn);
    uint32_t blocks = LayOutAdpcmBlocks(e, pcm, channels, rate, 7, 2);
    const uint32_t frames = (uint32_t)(pcmIn.size() / channels);

    Bytes data;
    for (uint32_t b = 0; b < blocks; ++b) {
        const int16_t* in = pcm.data() + (size_t)b * e.samplesPerBlock * channels;
        const int predictor = 1;
        std::vector<Ms> enc(channels), dec(channels);
        for (uint32_t c = 0; c < channels; ++c) {
            enc[c] = {in[channels + c], in[c], 64, kMsCoef[predictor][0], kMsCoef[predictor][1]};
            dec[c] = enc[c];
        }
        for (uint32_t c = 0; c < channels; ++c)
            data.push_back((uint8_t)predictor);
        for (uint32_t c = 0; c < channels; ++c)
            Put16(data, (uint16_t)enc[c].delta);
        for (uint32_t c = 0; c < channels; ++c)
            Put16(data, (uint16_t)enc[c].s1);
        for (uint32_t c = 0; c < channels; ++c)
            Put16(data, (uint16_t)enc[c].s2);
        std::vector<int16_t> out((size_t)e.samplesPerBlock * channels);
        for (uint32_t c = 0; c < channels; ++c) {
            out[c] = in[c];
            out[channels + c] = in[channels + c];
        }
        // From the third sample on: one nibble per sample, high nibble first, channels alternating.
        uint32_t total = (e.samplesPerBlock - 2) * channels;
        std::vector<int> codes;
        for (uint32_t i = 0; i < total; ++i) {
            uint32_t frame = 2 + i / channels;
            uint32_t c = i % channels;
            int code = enc[c].Encode(in[frame * channels + c]);
            out[frame * channels + c] = (int16_t)dec[c].Decode(code);
            codes.push_back(code);
        }
        for (size_t i = 0; i + 1 < codes.size(); i += 2)
            data.push_back((uint8_t)((codes[i] << 4) | codes[i + 1]));
        e.decoded.insert(e.decoded.end(), out.begin(), out.end());
    }

    Bytes fmt;
    Put16(fmt, WAVE_FORMAT_ADPCM);
    Put16(fmt, channels);
    Put32(fmt, rate);
    Put32(fmt, (uint32_t)((uint64_t)rate * e.blockAlign / e.samplesPerBlock));
    Put16(fmt, e.blockAlign);
    Put16(fmt, 4);
    Put16(fmt, 32);
    Put16(fmt, e.samplesPerBlock);
    Put16(fmt, 7);
    for (auto& pair : kMsCoef) {
        Put16(fmt, (uint16_t)(int16_t)pair[0]);
        Put16(fmt, (uint16_t)(int16_t)pair[1]);
    }
    Bytes body;
    PutChunk(body, "fmt ", fmt);
    Bytes fact;
    Put32(fact, frames);
    PutChunk(body, "fact", fact);
    PutChunk(body, "data", data);
    e.wav = Riff(body);
    return e;
}

// ---------------------------------------------------------------------------------------------
// Fake XA decoder

int FakeXa::opens = 0;
int FakeXa::closes = 0;
int FakeXa::converts = 0;
int FakeXa::refuseSize = 0;
DWORD FakeXa::maxSrcLen = 0;

namespace {

struct FakeXaStream {
    uint32_t channels;
};

uint32_t Le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

HXASTREAM __cdecl FakeOpen(const BYTE* header, WAVEFORMATEX* dst)
{
    if (memcmp(header, "KWD1", 4) != 0 || header[12] == 0xEE || header[15] < 1 || header[15] > 2)
        return nullptr;
    FakeXa::opens++;
    FakeXaStream* s = new FakeXaStream{header[15]};
    dst->wFormatTag = WAVE_FORMAT_PCM;
    dst->nChannels = (WORD)s->channels;
    dst->nSamplesPerSec = Le32(header + 16);
    dst->wBitsPerSample = 16;
    dst->nBlockAlign = (WORD)(2 * s->channels);
    dst->nAvgBytesPerSec = 0;  // left for the caller, as the real library may
    dst->cbSize = 0;
    return s;
}

BOOL __cdecl FakeSize(HXASTREAM, DWORD src, DWORD* dst)
{
    if (FakeXa::refuseSize)
        return FALSE;
    *dst = src / kFakeXaBlock * kFakeXaBlock;
    return TRUE;
}

BOOL __cdecl FakeConvert(HXASTREAM, XASTREAMHEADER* r)
{
    FakeXa::converts++;
    FakeXa::maxSrcLen = std::max(FakeXa::maxSrcLen, r->nSrcLen);
    if (r->nSrcUsed || r->nDstUsed)
        return FALSE;  // the request must come zeroed
    DWORD blocks = std::min(r->nSrcLen / kFakeXaBlock, r->nDstLen / kFakeXaBlock);
    for (DWORD i = 0; i < blocks * kFakeXaBlock; ++i)
        r->pDst[i] = r->pSrc[i] ^ 0x55;
    r->nSrcUsed = blocks * kFakeXaBlock;
    r->nDstUsed = blocks * kFakeXaBlock;
    return TRUE;
}

BOOL __cdecl FakeClose(HXASTREAM s)
{
    FakeXa::closes++;
    delete static_cast<FakeXaStream*>(s);
    return TRUE;
}

}  // namespace

XaDecoderApi FakeXa::Table() { return XaDecoderApi{FakeOpen, FakeSize, FakeConvert, FakeClose}; }

Bytes FakeXaFile(const Bytes& pcm, uint32_t channels, uint32_t rate, uint32_t headerFrames, uint8_t marker)
{
    Bytes data(pcm);
    data.resize((data.size() + kFakeXaBlock - 1) / kFakeXaBlock * kFakeXaBlock, 0);
    for (auto& b : data)
        b ^= 0x55;
    Bytes out;
    out.insert(out.end(), {'K', 'W', 'D', '1'});
    Put32(out, (uint32_t)data.size());
    Put32(out, headerFrames);
    out.push_back(marker);
    out.push_back(0);
    out.push_back(0);
    out.push_back((uint8_t)channels);
    Put32(out, rate);
    out.resize(32, 0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

ScopedFakeXa::ScopedFakeXa()
{
    FakeXa::opens = FakeXa::closes = FakeXa::converts = FakeXa::refuseSize = 0;
    FakeXa::maxSrcLen = 0;
    XaDecoderApi table = FakeXa::Table();
    SetXaDecoderForTest(&table);
}

ScopedFakeXa::~ScopedFakeXa() { SetXaDecoderForTest(nullptr); }

ScopedMissingXa::ScopedMissingXa() { SetXaDecoderForTest(&MissingXaDecoder()); }

ScopedMissingXa::~ScopedMissingXa() { SetXaDecoderForTest(nullptr); }

}  // namespace soundtest
