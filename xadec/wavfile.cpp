// RIFF WAVE reading for xaenc: walks the chunk list, checks the format and converts the
// samples to 16 bits. Every length is checked against the bytes really present.
#include "wavfile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

uint32_t U32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint32_t U16(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

int Fail(char* error, size_t errorSize, const char* text)
{
    if (error && errorSize) snprintf(error, errorSize, "%s", text);
    return 0;
}

// The tail of the KSDATAFORMAT_SUBTYPE_PCM GUID (its first two bytes are the format tag 1).
const uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

} // namespace

int WavParse(const uint8_t* bytes, size_t size, WavSound* sound, char* error, size_t errorSize)
{
    if (error && errorSize) error[0] = '\0';
    if (!sound) return Fail(error, errorSize, "no output");
    memset(sound, 0, sizeof(*sound));
    if (!bytes || size < 12 || memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "WAVE", 4) != 0)
        return Fail(error, errorSize, "not a RIFF WAVE file");
    // The RIFF size may be wrong (too large in files written while recording); the
    // bytes present are what counts.
    size_t end = size;
    const uint64_t riffEnd = (uint64_t)U32(bytes + 4) + 8;
    if (riffEnd >= 12 && riffEnd < end) end = (size_t)riffEnd;

    const uint8_t* fmt = NULL;
    uint32_t fmtSize = 0;
    const uint8_t* data = NULL;
    uint32_t dataSize = 0;
    size_t pos = 12;
    while (end - pos >= 8) {
        const uint8_t* chunk = bytes + pos;
        uint32_t chunkSize = U32(chunk + 4);
        const size_t avail = end - pos - 8;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkSize > avail) return Fail(error, errorSize, "the fmt chunk is cut short");
            if (!fmt) {
                fmt = chunk + 8;
                fmtSize = chunkSize;
            }
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (chunkSize > avail) chunkSize = (uint32_t)avail;
            if (!data) {
                data = chunk + 8;
                dataSize = chunkSize;
            }
        }
        if (chunkSize > avail) break; // an unknown chunk running past the end: stop here
        pos += 8 + (size_t)chunkSize + (chunkSize & 1);
        if (pos > end) break;
    }
    if (!fmt) return Fail(error, errorSize, "no fmt chunk");
    if (!data) return Fail(error, errorSize, "no data chunk");
    if (fmtSize < 16) return Fail(error, errorSize, "the fmt chunk is too small");

    uint32_t tag = U16(fmt);
    const uint32_t channels = U16(fmt + 2);
    const uint32_t rate = U32(fmt + 4);
    const uint32_t blockAlign = U16(fmt + 12);
    const uint32_t bits = U16(fmt + 14);
    if (tag == 0xFFFE) { // WAVE_FORMAT_EXTENSIBLE: look at the sub-format
        if (fmtSize < 40 || U16(fmt + 16) < 22) return Fail(error, errorSize, "the extensible fmt chunk is too small");
        if (memcmp(fmt + 26, kPcmGuidTail, sizeof(kPcmGuidTail)) != 0)
            return Fail(error, errorSize, "the sub-format is not PCM");
        tag = U16(fmt + 24);
    }
    if (tag != 1) return Fail(error, errorSize, "the samples are not PCM");
    if (channels < 1 || channels > 2) return Fail(error, errorSize, "only mono and stereo are supported");
    if (rate < 8000 || rate > 48000) return Fail(error, errorSize, "the sample rate is outside 8000..48000 Hz");
    if (bits != 8 && bits != 16) return Fail(error, errorSize, "only 8- and 16-bit samples are supported");
    if (blockAlign != channels * bits / 8) return Fail(error, errorSize, "the block alignment does not match the format");

    const uint32_t frames = dataSize / blockAlign;
    const size_t count = (size_t)frames * channels;
    int16_t* samples = (int16_t*)malloc(count ? count * sizeof(int16_t) : 1);
    if (!samples) return Fail(error, errorSize, "out of memory");
    for (size_t i = 0; i < count; ++i) {
        if (bits == 8)
            samples[i] = (int16_t)(((int)data[i] - 128) * 256);
        else
            samples[i] = (int16_t)U16(data + 2 * i);
    }
    sound->channels = channels;
    sound->rate = rate;
    sound->frames = frames;
    sound->samples = samples;
    return 1;
}

void WavFree(WavSound* sound)
{
    if (!sound) return;
    free(sound->samples);
    sound->samples = NULL;
}
