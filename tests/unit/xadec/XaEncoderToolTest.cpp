// The WAV reader behind xaenc, and xaenc.exe itself run as a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "XaTestUtil.h"
#include "wavfile.h"

using namespace xatest;

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void Put32(std::vector<uint8_t>& v, uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

void Chunk(std::vector<uint8_t>& v, const char* id, const std::vector<uint8_t>& body, bool declareMore = false)
{
    v.insert(v.end(), id, id + 4);
    Put32(v, static_cast<uint32_t>(body.size()) + (declareMore ? 1000 : 0));
    v.insert(v.end(), body.begin(), body.end());
    if (body.size() & 1) v.push_back(0);
}

std::vector<uint8_t> Fmt(uint32_t tag, uint32_t channels, uint32_t rate, uint32_t bits)
{
    std::vector<uint8_t> f;
    Put16(f, tag);
    Put16(f, channels);
    Put32(f, rate);
    Put32(f, rate * channels * bits / 8);
    Put16(f, channels * bits / 8);
    Put16(f, bits);
    return f;
}

std::vector<uint8_t> Riff(const std::vector<uint8_t>& chunks)
{
    std::vector<uint8_t> v = {'R', 'I', 'F', 'F'};
    Put32(v, static_cast<uint32_t>(chunks.size()) + 4);
    v.insert(v.end(), {'W', 'A', 'V', 'E'});
    v.insert(v.end(), chunks.begin(), chunks.end());
    return v;
}

std::vector<uint8_t> Pcm16(const std::vector<int16_t>& s)
{
    std::vector<uint8_t> v;
    for (int16_t x : s) Put16(v, static_cast<uint16_t>(x));
    return v;
}

bool Parse(const std::vector<uint8_t>& bytes, WavSound* sound, std::string* reason = nullptr)
{
    char error[160];
    const int ok = WavParse(bytes.data(), bytes.size(), sound, error, sizeof(error));
    if (reason) *reason = error;
    return ok != 0;
}

std::string TempPath(const char* name)
{
    char dir[MAX_PATH] = {0};
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

// Runs xaenc.exe from the build directory; returns its exit code (-1 if it did not run).
int RunEncoder(const std::string& args)
{
    std::string command = "\"" + ExeDirectory() + "\\xaenc.exe\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return -1;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

} // namespace

TEST(WavParse, ReadsPcmVariants)
{
    WavSound s;
    // 16-bit stereo, with an odd-sized chunk (and its pad byte) before the data.
    std::vector<uint8_t> chunks;
    Chunk(chunks, "fmt ", Fmt(1, 2, 44100, 16));
    Chunk(chunks, "LIST", {1, 2, 3});
    Chunk(chunks, "data", Pcm16({1, -1, 32767, -32768}));
    ASSERT_TRUE(Parse(Riff(chunks), &s));
    EXPECT_EQ(2u, s.channels);
    EXPECT_EQ(44100u, s.rate);
    ASSERT_EQ(2u, s.frames);
    EXPECT_EQ(-32768, s.samples[3]);
    WavFree(&s);
    EXPECT_EQ(nullptr, s.samples);

    // 8-bit mono, data chunk before the fmt chunk, a trailing half frame ignored.
    chunks.clear();
    Chunk(chunks, "data", {0, 128, 255});
    Chunk(chunks, "fmt ", Fmt(1, 1, 8000, 8));
    ASSERT_TRUE(Parse(Riff(chunks), &s));
    ASSERT_EQ(3u, s.frames);
    EXPECT_EQ(-32768, s.samples[0]);
    EXPECT_EQ(0, s.samples[1]);
    EXPECT_EQ(127 * 256, s.samples[2]);
    WavFree(&s);

    // WAVE_FORMAT_EXTENSIBLE with the PCM sub-format; a data chunk claiming more than
    // the file holds is cut to what is there.
    std::vector<uint8_t> ext = Fmt(0xFFFE, 1, 22050, 16);
    Put16(ext, 22);
    Put16(ext, 16);
    Put32(ext, 4);
    const uint8_t guid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    ext.insert(ext.end(), guid, guid + 16);
    chunks.clear();
    Chunk(chunks, "fmt ", ext);
    Chunk(chunks, "data", Pcm16({5, 6, 7}), true);
    ASSERT_TRUE(Parse(Riff(chunks), &s));
    EXPECT_EQ(3u, s.frames);
    WavFree(&s);
}

TEST(WavParse, RefusesWhatItCannotEncode)
{
    WavSound s;
    const std::vector<uint8_t> data = Pcm16({0, 0, 0, 0});
    struct Case {
        const char* what;
        std::vector<uint8_t> fmt;
    } cases[] = {
        {"24-bit", Fmt(1, 1, 44100, 24)},     {"3 channels", Fmt(1, 3, 44100, 16)},
        {"7000 Hz", Fmt(1, 1, 7000, 16)},      {"96000 Hz", Fmt(1, 2, 96000, 16)},
        {"ADPCM", Fmt(2, 1, 22050, 16)},       {"short fmt", std::vector<uint8_t>(10, 1)},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> chunks;
        Chunk(chunks, "fmt ", c.fmt);
        Chunk(chunks, "data", data);
        std::string reason;
        EXPECT_FALSE(Parse(Riff(chunks), &s, &reason)) << c.what;
        EXPECT_FALSE(reason.empty()) << c.what;
    }
    std::vector<uint8_t> chunks;
    Chunk(chunks, "fmt ", Fmt(1, 1, 8000, 16));
    EXPECT_FALSE(Parse(Riff(chunks), &s)) << "no data chunk";
    std::vector<uint8_t> notWave = Riff(chunks);
    notWave[8] = 'A';
    EXPECT_FALSE(Parse(notWave, &s));
    // Every cut of a good file: refused or read, never a read past the end.
    chunks.clear();
    Chunk(chunks, "fmt ", Fmt(1, 2, 8000, 16));
    Chunk(chunks, "data", data);
    const std::vector<uint8_t> good = Riff(chunks);
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        if (Parse(cut, &s)) {
            EXPECT_LE(s.frames * 4u, n);
            WavFree(&s);
        }
    }
}

TEST(XaEncoderTool, EncodesAWavFileAndRejectsBadInput)
{
    ASSERT_TRUE(Dll().Ready());
    const std::vector<int16_t> pcm = Tone(11025, 2, 22050, 500, 12000);
    std::vector<uint8_t> chunks;
    Chunk(chunks, "fmt ", Fmt(1, 2, 22050, 16));
    Chunk(chunks, "data", Pcm16(pcm));
    const std::string wav = TempPath("xadec_test_in.wav");
    const std::string xa = TempPath("xadec_test_out.xa");
    ASSERT_TRUE(WriteFile(wav, Riff(chunks)));
    DeleteFileA(xa.c_str());

    ASSERT_EQ(0, RunEncoder("\"" + wav + "\" \"" + xa + "\""));
    const std::vector<uint8_t> file = ReadFile(xa);
    ASSERT_GE(file.size(), static_cast<size_t>(XA_HEADER_BYTES));
    EXPECT_EQ(0, memcmp(file.data(), "KWD1", 4));
    EXPECT_EQ(2u, file[15]);
    const std::vector<int16_t> out = DecodeAll(file);
    ASSERT_EQ(pcm.size(), out.size());
    EXPECT_GE(SnrDb(pcm, out), 50.0);

    // Missing input, an unsupported WAV, the wrong number of arguments.
    EXPECT_NE(0, RunEncoder("\"" + TempPath("xadec_no_such.wav") + "\" \"" + xa + "\""));
    chunks.clear();
    Chunk(chunks, "fmt ", Fmt(1, 1, 44100, 24));
    Chunk(chunks, "data", std::vector<uint8_t>(30, 0));
    ASSERT_TRUE(WriteFile(wav, Riff(chunks)));
    EXPECT_NE(0, RunEncoder("\"" + wav + "\" \"" + xa + "\""));
    EXPECT_NE(0, RunEncoder("\"" + wav + "\""));
    DeleteFileA(wav.c_str());
    DeleteFileA(xa.c_str());
}
