// A small RIFF WAVE reader for the XA encoder: 8- or 16-bit PCM, mono or stereo.
#pragma once
#include <stddef.h>
#include <stdint.h>

typedef struct WavSound {
    uint32_t channels;
    uint32_t rate;
    uint32_t frames;
    int16_t* samples; // frames * channels interleaved samples, taken with malloc
} WavSound;

// Parses a whole WAV file held in memory. On success returns 1 and fills sound (free
// sound->samples with WavFree). On failure returns 0 and writes a one-line reason into
// error (errorSize bytes, always terminated when errorSize > 0).
// A data chunk that claims more bytes than the file holds is cut to what is there.
int WavParse(const uint8_t* bytes, size_t size, WavSound* sound, char* error, size_t errorSize);
void WavFree(WavSound* sound);
