#include "Corpus.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "xacodec.h"

namespace {

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

void PutText(Bytes& b, const char* text) { b.insert(b.end(), text, text + strlen(text)); }

struct Chunk {
    const char* id;
    Bytes body;
    long long declared;  // size written in the chunk header; -1 = the body's size
};

// A RIFF file of the given chunks (each padded to an even length, as RIFF wants).
Bytes Riff(const std::vector<Chunk>& chunks, long long riffDeclared = -1, const char* form = "WAVE")
{
    Bytes inner;
    PutText(inner, form);
    for (const Chunk& c : chunks) {
        PutText(inner, c.id);
        Put32(inner, (uint32_t)(c.declared >= 0 ? c.declared : (long long)c.body.size()));
        inner.insert(inner.end(), c.body.begin(), c.body.end());
        if (c.body.size() & 1)
            inner.push_back(0);
    }
    Bytes file;
    PutText(file, "RIFF");
    Put32(file, (uint32_t)(riffDeclared >= 0 ? riffDeclared : (long long)inner.size()));
    file.insert(file.end(), inner.begin(), inner.end());
    return file;
}

Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avg, uint16_t align, uint16_t bits,
          const Bytes* extra)
{
    Bytes b;
    Put16(b, tag);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, avg);
    Put16(b, align);
    Put16(b, bits);
    if (extra) {
        Put16(b, (uint32_t)extra->size());
        b.insert(b.end(), extra->begin(), extra->end());
    }
    return b;
}

Bytes Pcm16(unsigned channels, unsigned frames, unsigned rate, double hz)
{
    Bytes b;
    for (unsigned i = 0; i < frames; ++i) {
        double env = exp(-3.0 * i / (frames ? frames : 1));
        for (unsigned c = 0; c < channels; ++c) {
            double v = sin(2.0 * 3.14159265358979 * hz * (c + 1) * i / rate) * env * 12000.0;
            Put16(b, (uint32_t)(uint16_t)(int16_t)v);
        }
    }
    return b;
}

Bytes Pcm8(unsigned frames, unsigned rate, double hz)
{
    Bytes b;
    for (unsigned i = 0; i < frames; ++i)
        b.push_back((uint8_t)(128 + 90 * sin(2.0 * 3.14159265358979 * hz * i / rate)));
    return b;
}

// IMA ADPCM blocks: a sane block header per channel, then arbitrary codes.
Bytes ImaBlocks(unsigned channels, unsigned blockAlign, unsigned blocks, uint32_t seed)
{
    Random r(seed);
    Bytes b;
    for (unsigned k = 0; k < blocks; ++k) {
        for (unsigned c = 0; c < channels; ++c) {
            Put16(b, (uint32_t)(r.Next() & 0x0FFF));
            b.push_back((uint8_t)r.Below(89));
            b.push_back(0);
        }
        for (unsigned i = 4 * channels; i < blockAlign; ++i)
            b.push_back((uint8_t)r.Next());
    }
    return b;
}

Bytes MsAdpcmBlocks(unsigned channels, unsigned blockAlign, unsigned blocks, uint32_t seed)
{
    Random r(seed);
    Bytes b;
    for (unsigned k = 0; k < blocks; ++k) {
        for (unsigned c = 0; c < channels; ++c)
            b.push_back((uint8_t)r.Below(7));
        for (unsigned c = 0; c < channels; ++c)
            Put16(b, 16 + (uint32_t)r.Below(512));
        for (unsigned c = 0; c < 2 * channels; ++c)
            Put16(b, (uint32_t)(r.Next() & 0x3FF));
        for (unsigned i = 7 * channels; i < blockAlign; ++i)
            b.push_back((uint8_t)r.Next());
    }
    return b;
}

Bytes MsAdpcmExtra(unsigned channels, unsigned blockAlign)
{
    static const int16_t coefs[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
    Bytes extra;
    Put16(extra, (blockAlign - 7 * channels) * 2 / channels + 2);
    Put16(extra, 7);
    for (const auto& c : coefs) {
        Put16(extra, (uint32_t)(uint16_t)c[0]);
        Put16(extra, (uint32_t)(uint16_t)c[1]);
    }
    return extra;
}

std::string CrLf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

std::string Measure(unsigned m)
{
    char text[8];
    snprintf(text, sizeof(text), "#%03u", m % 1000);
    return text;
}

}  // namespace

std::vector<Seed> MakeChartSeeds(const std::string& demoText)
{
    std::vector<Seed> seeds;
    auto add = [&](const char* name, const std::string& text) { seeds.push_back({name, ToBytes(text)}); };

    add("basic.ktb", CrLf({"#TITLE Fuzz Basic", "#ARTIST The Seeds", "#BPM 120", "#WAV01 tiny.wav",
                           "#WAV02 tiny.xa", "#WAV03 missing.wav", "", "#000HH:01010101", "#000SD:00020002",
                           "#000BD:0301", "#001G1:0102", "#001B4:01", "#00101:0203", "#002CY:03"}));

    // Every channel form in one chart.
    {
        std::vector<std::string> lines = {"#TITLE:Every channel", "#ARTIST:Forms", "#BPM 150", "#WAV01 tiny.wav",
                                          "#WAV02 tiny.xa", "#WAVFZ tiny.wav", "#wav0a missing.wav"};
        const char* drums[] = {"HH", "SD", "BD", "HT", "LT", "CY", "FI", "hh", "cy"};
        for (int i = 0; i < 9; ++i)
            lines.push_back(Measure(i % 4) + drums[i] + ":0102_0a0A");
        for (int g = 0; g < 8; ++g) {
            lines.push_back(Measure(g % 3) + "G" + std::to_string(g) + ":01000200");
            lines.push_back(Measure(g % 3 + 1) + "B" + std::to_string(g) + ":0002");
        }
        lines.push_back("#000GW:01000200");
        lines.push_back("#001BW:0002");
        lines.push_back("#002gw:0001");
        for (int n = 1; n <= 0x20; ++n) {
            char code[8];
            snprintf(code, sizeof(code), "%02X", n);
            lines.push_back(Measure(n % 5) + code + ":01FZ");
            lines.push_back(Measure(n % 5) + "C" + code + ":0102");
        }
        const char* spans[] = {"GT", "BS", "HH", "SD", "BD", "HT", "LT", "CY", "gt", "bs"};
        for (int i = 0; i < 10; ++i)
            lines.push_back(Measure(i % 3) + "C" + spans[i] + ":01000002");
        lines.push_back("#000TC:0078");
        lines.push_back("#001BL:0.75");
        lines.push_back("#0021F:01");
        lines.push_back("#00221:01");
        lines.push_back("#002C21:01");
        lines.push_back("#003C1G:01");
        add("channels.ktb", CrLf(lines));
    }

    add("tempos.ktb", CrLf({"#BPM 90", "#BASEBPM 30", "#WAV01 tiny.wav", "#000HH:01010101", "#000TC:00FF0001",
                            "#001TC:78", "#001TC:0000F0", "#002TC:010203040506070809", "#001HH:0101010101",
                            "#002BD:01_01_01_01", "#003BL:0.75", "#005BL:1.5", "#006BL:0.1", "#007BL:0",
                            "#008BL:-1", "#009BL:1e308", "#010BL:abc", "#011BL:1e-300", "#012HH:01",
                            "#003TC:01", "#003TC:FF", "#004TC:0001", "#013TC:80", "#014G7:01"}));

    add("basebpm_negative.ktb", CrLf({"#BPM 60", "#BASEBPM -120", "#WAV01 tiny.wav", "#000HH:0101", "#001TC:40",
                                      "#002TC:0078", "#002SD:01010101", "#003B1:01", "#004BW:01"}));

    add("headers.ktb",
        CrLf({"#TITLE " + std::string(60, 'T'), "#ARTIST " + std::string(50, 'A'), "#TITLE:colon", "#BPM120",
              "#BPMX 140", "#BASEBPM", "#BASEBPM 0", "#WALL wall.bmp", "#WALL other.bmp", "#PATH_WAV snd",
              "#WAV01 tiny.wav", "#PATH_WAV ", "#PATH_WAV " + std::string(300, 'p'), "#WAV02 " + std::string(280, 'w'),
              "#WAV00 tiny.wav", "#WAVZZ tiny.wav", "#WAVG0 tiny.wav", "#WAV 1 tiny.wav", "#WAV", "#WAV1",
              "#TITL", "#T", "#000HH:0102", "#001SD:01"}));

    {
        std::string longCells;
        for (int i = 0; i < 2600; ++i)
            longCells += (i % 7 == 0) ? "01" : "00";
        std::string exact1999 = "#001HH:" + std::string(1999 - 7, '0');
        exact1999[1990] = '0';
        exact1999[1991] = '1';
        add("long_lines.ktb",
            CrLf({"#BPM 120", "#WAV01 tiny.wav", "#000HH:" + longCells, exact1999, exact1999 + "0",
                  exact1999 + "01", "#TITLE " + std::string(3000, 'x'), "#002SD:01"}));
    }

    add("lf_only.ktb", "#BPM 120\n#WAV01 tiny.wav\n#000HH:01\n#001SD:01\n");
    add("lf_first_line.ktb", "#000HH:01010101\n#BPM 200\n#001SD:01\r\n#002BD:01\r\n");
    add("cr_only.ktb", "#BPM 120\r#WAV01 tiny.wav\r#000HH:01\r");
    {
        static const char mixed[] = "#BPM 120\r\n\r\n\r\r\n#WAV01 tiny.wav\n\r#000HH:01\0#001SD:01\0\0\r\n#002BD:0101";
        add("mixed_ends.ktb", std::string(mixed, sizeof(mixed) - 1));
    }
    add("no_final_end.ktb", "#WAV01 tiny.wav\r\n#000HH:0101");
    add("tabs_comments.ktb", CrLf({"#BPM 150\tcomment", "#WAV01 tiny.wav\t; the tick", "#000HH:01\t02", "\t#001SD:01",
                                   "; #002BD:01", "#002BD:01 01", "#003HH:01\n01"}));
    {
        std::string binary = "#BPM 120\r\n#PATH_WAV dir\x83\x5C\r\n#WAV01 tiny\x83\x5C.wav\r\n#WAV02 \x81\x40.wav\r\n";
        binary += "#000HH:01\xFF\xFE\x80\r\n";
        for (int i = 0; i < 64; ++i)
            binary += (char)(i * 37 + 11);
        binary += "\r\n#001SD:01\r\n";
        add("binary.ktb", binary);
    }
    add("measures.ktb", CrLf({"#WAV01 tiny.wav", "#999HH:01", "#000HH:01", "#00_1HH:01", "#abcHH:01", "#1 2SD:01",
                              "#998XX:01", "#997:01", "#99", "#500C:01", "#500CC:01", "#500C1:01"}));
    add("spans.ktb", CrLf({"#WAV01 tiny.wav", "#BPM 120", "#002HH:01010101", "#003HH:01010101", "#004HH:01",
                           "#002CHH:0100_0002", "#003CHH:01000200", "#004CHH:02", "#002G1:01010101",
                           "#003G1:01010101", "#002CGT:02000100", "#003CGT:0001", "#002CBS:0300", "#00201:0101",
                           "#002C01:01000200", "#003C01:0102", "#002B2:0101", "#002CBS:01", "#003CBS:02"}));
    add("w_events.ktb", CrLf({"#WAV01 tiny.wav", "#002G1:01000100", "#002GW:01000001", "#002B3:0101",
                              "#002BW:00010001", "#003GW:01", "#003BW:01"}));
    add("underscores.ktb", CrLf({"#WAV01 tiny.wav", "#000HH:01_01__01___01", "#001HH:__", "#002H_H:01",
                                 "#003HH_:01", "#_003HH:01", "#004HH:0_1"}));
    {
        std::string many = "#001HH:";
        for (int i = 0; i < 999; ++i)
            many += (i % 2) ? "01" : "02";
        add("dense.ktb", CrLf({"#WAV01 tiny.wav", "#WAV02 tiny.wav", many, "#001HH:0101", "#001SD:" + many.substr(7)}));
    }
    add("numbers.ktb", CrLf({"#BPM inf", "#BASEBPM nan", "#WAV01 tiny.wav", "#000HH:01", "#001BL:inf", "#002BL:nan",
                             "#003BL:1e400", "#004BL:-1e400", "#005TC:01"}));
    add("tiny_tempo.ktb", CrLf({"#BPM 0.0000001", "#WAV01 tiny.wav", "#000HH:01", "#001TC:01", "#999HH:01"}));
    add("huge_tempo.ktb", CrLf({"#BPM 1e300", "#WAV01 tiny.wav", "#000HH:01", "#500HH:01", "#999BL:1000000"}));
    add("paths.ktb", CrLf({"#PATH_WAV snd\\", "#WAV01 tiny.wav", "#WAV02 ..\\tiny.wav", "#PATH_WAV C:\\nowhere",
                           "#WAV03 x.wav", "#WAV04 \\\\server\\share\\x.wav", "#WAV05 tiny.wav ", "#WALL w",
                           "#000HH:0102030405"}));
    add("only_headers.ktb", CrLf({"#TITLE nothing", "#BPM 120", "#WAV01 tiny.wav", "#000TC:78", "#001BL:0.5",
                                  "#002CHH:0102", "#003FI:01", "#004GW:01"}));
    add("empty.ktb", "");
    add("blank.ktb", "\r\n\r\n\n\r\0\r\n");
    if (!demoText.empty())
        add("demo.ktb", demoText);
    return seeds;
}

Bytes MakePcmWav(unsigned channels, unsigned rate, unsigned milliseconds, double hz)
{
    unsigned frames = (unsigned)((unsigned long long)rate * milliseconds / 1000);
    return Riff({{"fmt ", Fmt(1, (uint16_t)channels, rate, rate * channels * 2, (uint16_t)(channels * 2), 16, nullptr), -1},
                 {"data", Pcm16(channels, frames, rate, hz), -1}});
}

Bytes MakeToneXa(unsigned channels, unsigned rate, unsigned milliseconds, double hz, unsigned blockFrames)
{
    unsigned frames = (unsigned)((unsigned long long)rate * milliseconds / 1000);
    Bytes pcmBytes = Pcm16(channels, frames, rate, hz);
    uint8_t* file = nullptr;
    size_t fileBytes = 0;
    if (!XaEncode(reinterpret_cast<const int16_t*>(pcmBytes.data()), frames, channels, rate, blockFrames, &file,
                  &fileBytes))
        return Bytes();
    Bytes out(file, file + fileBytes);
    free(file);
    return out;
}

Bytes MakeImaWav(unsigned channels, unsigned rate, unsigned blocks, uint32_t seed)
{
    const unsigned blockAlign = 256 * channels;
    const unsigned samplesPerBlock = (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
    Bytes extra;
    Put16(extra, samplesPerBlock);
    return Riff({{"fmt ", Fmt(0x11, (uint16_t)channels, rate, rate * blockAlign / samplesPerBlock,
                              (uint16_t)blockAlign, 4, &extra), -1},
                 {"data", ImaBlocks(channels, blockAlign, blocks, seed), -1}});
}

std::vector<Seed> MakeWavSeeds()
{
    std::vector<Seed> seeds;
    Bytes empty;
    seeds.push_back({"pcm16_mono.wav", MakePcmWav(1, 8000, 120, 440)});
    seeds.push_back({"pcm16_stereo.wav", MakePcmWav(2, 22050, 60, 330)});
    seeds.push_back({"pcm8_mono.wav",
                     Riff({{"fmt ", Fmt(1, 1, 8000, 8000, 1, 8, &empty), -1}, {"data", Pcm8(801, 8000, 300), -1}})});
    seeds.push_back({"pcm_fmt16_list.wav",
                     Riff({{"LIST", Bytes({'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 5, 0, 0, 0, 's', 'e', 'e', 'd', 0}), -1},
                           {"fmt ", Fmt(1, 1, 11025, 22050, 2, 16, nullptr), -1},
                           {"odd ", Bytes(3, 7), -1},
                           {"data", Pcm16(1, 500, 11025, 500), -1}})});
    seeds.push_back({"pcm_data_first.wav", Riff({{"data", Pcm16(1, 300, 8000, 200), -1},
                                                  {"fmt ", Fmt(1, 1, 8000, 16000, 2, 16, &empty), -1}})});
    seeds.push_back({"pcm_data_oversized.wav", Riff({{"fmt ", Fmt(1, 2, 44100, 176400, 4, 16, &empty), -1},
                                                      {"data", Pcm16(2, 200, 44100, 1000), 0x7FFFFFF0}})});
    seeds.push_back({"pcm_riff_short.wav", Riff({{"fmt ", Fmt(1, 1, 8000, 16000, 2, 16, &empty), -1},
                                                  {"data", Pcm16(1, 300, 8000, 200), -1}},
                                                 12)});
    seeds.push_back({"pcm_empty_data.wav",
                     Riff({{"fmt ", Fmt(1, 1, 8000, 16000, 2, 16, &empty), -1}, {"data", Bytes(), -1}})});
    seeds.push_back({"pcm24.wav", Riff({{"fmt ", Fmt(1, 1, 8000, 24000, 3, 24, &empty), -1}, {"data", Bytes(900, 1), -1}})});
    seeds.push_back({"float32.wav", Riff({{"fmt ", Fmt(3, 1, 8000, 32000, 4, 32, &empty), -1}, {"data", Bytes(800, 0), -1}})});
    {
        Bytes ext;  // WAVE_FORMAT_EXTENSIBLE with the PCM sub-format
        Put16(ext, 16);
        Put32(ext, 4);
        const uint8_t pcmGuid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        ext.insert(ext.end(), pcmGuid, pcmGuid + 16);
        seeds.push_back({"extensible.wav", Riff({{"fmt ", Fmt(0xFFFE, 1, 8000, 16000, 2, 16, &ext), -1},
                                                 {"data", Pcm16(1, 400, 8000, 250), -1}})});
    }
    {
        Bytes extra;
        Put16(extra, 505);
        seeds.push_back({"ima_mono.wav", Riff({{"fmt ", Fmt(0x11, 1, 8000, 4055, 256, 4, &extra), -1},
                                               {"fact", Bytes(4, 0), -1},
                                               {"data", ImaBlocks(1, 256, 3, 11), -1}})});
        Bytes extra2;
        Put16(extra2, 505);
        seeds.push_back({"ima_stereo.wav", Riff({{"fmt ", Fmt(0x11, 2, 22050, 22201, 512, 4, &extra2), -1},
                                                 {"data", ImaBlocks(2, 512, 2, 12), -1}})});
    }
    {
        Bytes extra = MsAdpcmExtra(1, 256);
        seeds.push_back({"msadpcm_mono.wav", Riff({{"fmt ", Fmt(2, 1, 8000, 4096, 256, 4, &extra), -1},
                                                   {"data", MsAdpcmBlocks(1, 256, 3, 13), -1}})});
        Bytes extra2 = MsAdpcmExtra(2, 512);
        seeds.push_back({"msadpcm_stereo.wav", Riff({{"fmt ", Fmt(2, 2, 11025, 11155, 512, 4, &extra2), -1},
                                                     {"data", MsAdpcmBlocks(2, 512, 2, 14), -1}})});
    }
    {
        Random r(15);
        Bytes law(1600);
        for (uint8_t& b : law)
            b = (uint8_t)r.Next();
        seeds.push_back({"mulaw.wav", Riff({{"fmt ", Fmt(7, 1, 8000, 8000, 1, 8, &empty), -1}, {"data", law, -1}})});
        seeds.push_back({"alaw.wav", Riff({{"fmt ", Fmt(6, 2, 8000, 16000, 2, 8, &empty), -1}, {"data", law, -1}})});
    }
    seeds.push_back({"unknown_tag.wav", Riff({{"fmt ", Fmt(0x4B54, 1, 8000, 1000, 16, 2, &empty), -1},
                                              {"data", Bytes(256, 0x55), -1}})});
    seeds.push_back({"not_wave.wav", Riff({{"fmt ", Fmt(1, 1, 8000, 16000, 2, 16, &empty), -1}}, -1, "AVI ")});
    seeds.push_back({"fmt_huge.wav", Riff({{"fmt ", Fmt(1, 1, 8000, 16000, 2, 16, &empty), 0x10000000},
                                           {"data", Pcm16(1, 100, 8000, 100), -1}})});
    return seeds;
}

std::vector<Seed> MakeXaSeeds()
{
    std::vector<Seed> seeds;
    auto add = [&](const char* name, Bytes bytes) {
        if (!bytes.empty())
            seeds.push_back({name, bytes});
    };
    add("mono_8k.xa", MakeToneXa(1, 8000, 250, 440, 1024));
    add("stereo_22k.xa", MakeToneXa(2, 22050, 150, 330, 1024));
    add("mono_small_blocks.xa", MakeToneXa(1, 11025, 100, 550, 16));
    add("stereo_big_blocks.xa", MakeToneXa(2, 48000, 120, 660, 2048));
    add("one_frame.xa", MakeToneXa(1, 44100, 0, 0, 1024));
    {
        uint8_t* file = nullptr;
        size_t bytes = 0;
        if (XaEncode(nullptr, 0, 1, 8000, 1024, &file, &bytes)) {
            seeds.push_back({"empty.xa", Bytes(file, file + bytes)});
            free(file);
        }
    }
    {
        Bytes truncated = MakeToneXa(1, 8000, 400, 300, 256);
        if (truncated.size() > 100)
            truncated.resize(truncated.size() - 77);
        add("truncated.xa", truncated);
    }
    return seeds;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    size_t put = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
    bool ok = fclose(f) == 0 && put == bytes.size();
    return ok;
}

bool ReadFileBytes(const std::string& path, Bytes* bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes->clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), f)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + got);
    fclose(f);
    return true;
}

bool WriteChartSounds(const std::string& folder)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\snd").c_str(), nullptr);
    Bytes wav = MakePcmWav(1, 8000, 50, 440);
    Bytes xa = MakeToneXa(1, 8000, 50, 550, 1024);
    return WriteFileBytes(folder + "\\tiny.wav", wav) && WriteFileBytes(folder + "\\tiny.xa", xa) &&
           WriteFileBytes(folder + "\\snd\\tiny.wav", wav);
}
