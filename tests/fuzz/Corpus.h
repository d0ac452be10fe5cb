// The seed corpus of the fuzzer, made by code: charts that use every channel form, header command,
// span, tempo and bar-length case, long lines, odd line ends and binary bytes (plus the demo chart
// when its text is given); RIFF WAVE files in PCM and compressed formats with odd chunk layouts;
// XA files of every shape the encoder makes. Also the small sound files the charts refer to, and
// builders the soak checks use for their own charts and sounds.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "Mutator.h"

struct Seed {
    std::string name;
    Bytes bytes;
};

// demoText: the text of demo/demo.ktb (empty when it could not be read).
std::vector<Seed> MakeChartSeeds(const std::string& demoText);
std::vector<Seed> MakeWavSeeds();
std::vector<Seed> MakeXaSeeds();

// A RIFF WAVE file of 16-bit PCM: a decaying tone of the given length.
Bytes MakePcmWav(unsigned channels, unsigned rate, unsigned milliseconds, double hz);
// An XA file of the same kind of tone (empty when the encoder refuses the shape).
Bytes MakeToneXa(unsigned channels, unsigned rate, unsigned milliseconds, double hz, unsigned blockFrames);

// An IMA ADPCM RIFF WAVE file of the given number of 256-byte (per channel) blocks.
Bytes MakeImaWav(unsigned channels, unsigned rate, unsigned blocks, uint32_t seed);

// Files the chart seeds refer to, written into the chart's folder: tiny.wav, tiny.xa, and the
// folder snd with tiny.wav in it. Returns false when a file could not be written.
bool WriteChartSounds(const std::string& folder);

bool WriteFileBytes(const std::string& path, const Bytes& bytes);
bool ReadFileBytes(const std::string& path, Bytes* bytes);
