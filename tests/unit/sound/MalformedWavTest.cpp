// A corpus of malformed WAV files: each gives its message (or loads what it really holds),
// with no crash, no allocation beyond the file's size, no file left open and no leak.
#include <gtest/gtest.h>

#include <string.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"

using namespace soundtest;

namespace {

typedef std::vector<std::string> Lines;

struct Case {
    std::string name;
    Bytes file;
    Lines lines;  // expected diagnostic lines; empty for a successful load
};

// 0.1 s of 8000 Hz 16-bit mono: RIFF header 12, "fmt " 8 + 16, "data" 8 + 1600 = 1644 bytes.
Bytes ValidPcm() { return PcmWav(Noise16(800, 1, 21), 1, 8000, 16); }

Bytes WithFmt(const Bytes& fmt, const Bytes& data)
{
    Bytes body;
    PutChunk(body, "fmt ", fmt);
    PutChunk(body, "data", data);
    return Riff(body);
}

void Set16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

void Set32(Bytes& b, size_t at, uint32_t v)
{
    Set16(b, at, (uint16_t)v);
    Set16(b, at + 2, (uint16_t)(v >> 16));
}

std::vector<Case> Corpus()
{
    const std::string riff = "CDSBuffer::LoadWav RIFF DecError\n";
    const std::string wave = "CDSBuffer::LoadWav WAVE not found\n";
    const std::string fmtDec = "CDSBuffer::LoadWav fmt DecError\n";
    const std::string fmtRead = "CDSBuffer::LoadWav fmt read Error\n";
    const std::string dataDec = "CDSBuffer::LoadWav data DecError\n";
    const std::string suggest = "CDSBuffer::LoadWav ACM SUGGEST ERROR\n";
    std::vector<Case> c;
    Bytes valid = ValidPcm();

    // Cut at every chunk boundary (and inside the chunks).
    c.push_back({"cut_0", Bytes(), {riff}});
    c.push_back({"cut_4", Bytes(valid.begin(), valid.begin() + 4), {riff}});
    c.push_back({"cut_8", Bytes(valid.begin(), valid.begin() + 8), {wave}});  // no form type to read
    c.push_back({"cut_12", Bytes(valid.begin(), valid.begin() + 12), {fmtDec}});
    c.push_back({"cut_16", Bytes(valid.begin(), valid.begin() + 16), {fmtDec}});
    c.push_back({"cut_20", Bytes(valid.begin(), valid.begin() + 20), {fmtRead}});
    c.push_back({"cut_28", Bytes(valid.begin(), valid.begin() + 28), {fmtRead}});
    c.push_back({"cut_36", Bytes(valid.begin(), valid.begin() + 36), {dataDec}});
    c.push_back({"cut_40", Bytes(valid.begin(), valid.begin() + 40), {dataDec}});
    c.push_back({"cut_44", Bytes(valid.begin(), valid.begin() + 44), {}});    // empty sound: silence
    c.push_back({"cut_845", Bytes(valid.begin(), valid.begin() + 845), {}});  // half the data

    // Wrong magic.
    Bytes rifx = valid;
    memcpy(rifx.data(), "RIFX", 4);
    c.push_back({"rifx", rifx, {wave}});
    Bytes avi = valid;
    memcpy(avi.data() + 8, "AVI ", 4);
    c.push_back({"avi", avi, {wave}});
    std::string text = "This is not a sound file at all, just some text.\n";
    c.push_back({"text", Bytes(text.begin(), text.end()), {wave}});
    Bytes wrongFmtId = valid;
    memcpy(wrongFmtId.data() + 12, "fmx ", 4);
    c.push_back({"no_fmt_chunk", wrongFmtId, {fmtDec}});

    // Huge declared sizes.
    Bytes hugeFmt = valid;
    Set32(hugeFmt, 16, 0xFFFFFFF0);
    c.push_back({"huge_fmt", hugeFmt, {fmtRead}});
    Bytes bigFmt = valid;
    Set32(bigFmt, 16, 0x40000000);  // a gigabyte
    c.push_back({"gigabyte_fmt", bigFmt, {fmtRead}});
    Bytes hugeData = valid;
    Set32(hugeData, 40, 0x7FFFFFF0);
    c.push_back({"huge_data", hugeData, {}});
    Bytes maxData = valid;
    Set32(maxData, 40, 0xFFFFFFFF);
    c.push_back({"max_data", maxData, {}});

    // Formats the converter cannot take.
    Bytes noChannels = valid;
    Set16(noChannels, 22, 0);
    c.push_back({"zero_channels", noChannels, {suggest}});
    Bytes noBlock = valid;
    Set16(noBlock, 32, 0);
    c.push_back({"zero_block_align", noBlock, {suggest}});
    Bytes noRate = valid;
    Set32(noRate, 24, 0);
    c.push_back({"zero_rate", noRate, {suggest}});
    Bytes unknownTag = valid;
    Set16(unknownTag, 20, 0x1234);
    // Wine's ACM proposes a PCM format for any tag and refuses only at the opening.
    c.push_back({"unknown_tag", unknownTag, {"CDSBuffer::LoadWav ACM OPEN ERROR\n"}});
    Bytes shortFmt;
    Put16(shortFmt, WAVE_FORMAT_PCM);
    Put16(shortFmt, 1);
    Put32(shortFmt, 8000);
    c.push_back({"fmt_8_bytes", WithFmt(shortFmt, Noise16(800, 1, 22)), {suggest}});
    // An ADPCM tag in a 16-byte chunk: the extra size reads as 0, never as the bytes after the
    // chunk ("da" would make it 24932). Without its samples-per-block and coefficients the format
    // cannot describe its blocks, so it is refused before the converter reads past them.
    Bytes adpcm16;
    Put16(adpcm16, WAVE_FORMAT_ADPCM);
    Put16(adpcm16, 1);
    Put32(adpcm16, 22050);
    Put32(adpcm16, 11155);
    Put16(adpcm16, 512);
    Put16(adpcm16, 4);
    c.push_back({"adpcm_fmt_16_bytes", WithFmt(adpcm16, Bytes(4096, 0x11)), {suggest}});

    // The data chunk before the format: no data chunk after it.
    Bytes swapped;
    PutChunk(swapped, "data", Noise16(800, 1, 23));
    PutChunk(swapped, "fmt ", PcmFmt(1, 8000, 16, true));
    c.push_back({"data_before_fmt", Riff(swapped), {dataDec}});

    // An odd-sized chunk between the two, padded as RIFF wants: loads.
    Bytes padded;
    PutChunk(padded, "fmt ", PcmFmt(1, 8000, 16, true));
    PutChunk(padded, "LIST", Bytes(7, 'x'));
    PutChunk(padded, "data", Noise16(800, 1, 24));
    c.push_back({"odd_list_chunk", Riff(padded), {}});

    // An IMA ADPCM format whose extra size claims 5000 bytes that the chunk does not hold.
    Encoded ima = ImaAdpcmWav(Tone(2000, 1, 22050, 440, 8000), 1, 22050);
    Bytes imaLie = ima.wav;
    Set16(imaLie, 12 + 8 + 16, 5000);
    c.push_back({"ima_cbsize_lie", imaLie, {}});
    // IMA data shorter than one block.
    Bytes imaFmt(ima.wav.begin() + 20, ima.wav.begin() + 20 + 20);
    c.push_back({"ima_partial_block", WithFmt(imaFmt, Bytes(100, 0x77)), {"CDSBuffer::LoadWav Size(s2d)Get Error\n"}});
    return c;
}

TEST(MalformedWavTest, EveryFileGivesItsMessageWithoutCrashOrLeak)
{
    FakeDirectSound ds;
    long long live = LiveArrayAllocations();
    for (const Case& k : Corpus()) {
        SCOPED_TRACE(k.name);
        std::string path = TempPath("bad_" + k.name + ".wav");
        ASSERT_TRUE(WriteBytes(path, k.file));
        DebugCapture capture;
        ResetLargestArrayAllocation();
        {
            CDSBuffer sound(&ds);
            sound.SetFileName(path.c_str());
            int result = sound.Load(0);
            EXPECT_EQ(k.lines, capture.Lines());
            EXPECT_EQ(k.lines.empty() ? 0 : 1, result);
            EXPECT_EQ(nullptr, sound.m_file);
            EXPECT_TRUE(FileIsFree(path));
        }
        EXPECT_LE(LargestArrayAllocation(), k.file.size() + 64) << LargestArrayAllocation();
        EXPECT_EQ(live, LiveArrayAllocations());
        EXPECT_EQ(0, ds.LiveBuffers());
    }
}

TEST(MalformedWavTest, TruncatedDataLoadsWhatTheFileHoldsThenSilence)
{
    FakeDirectSound ds;
    Bytes valid = ValidPcm();
    Bytes cut(valid.begin(), valid.begin() + 845);
    Set32(cut, 40, 0x7FFFFFF0);  // and a data size the file cannot hold
    std::string path = TempPath("truncated.wav");
    ASSERT_TRUE(WriteBytes(path, cut));
    CDSBuffer sound(&ds);
    sound.SetFileName(path.c_str());
    ASSERT_EQ(0, sound.Load(0));
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(2400u, b->bytes);  // 801 bytes of sound: the 150 ms minimum
    EXPECT_EQ(Bytes(valid.begin() + 44, valid.begin() + 844), b->Read(0, 800));
    EXPECT_EQ(Bytes(1600, 0), b->Read(800, 1600));
}

TEST(MalformedWavTest, MissingFileAndLongNames)
{
    FakeDirectSound ds;
    DebugCapture capture;
    CDSBuffer sound(&ds);
    std::string path = TempPath("missing.wav");
    sound.SetFileName(path.c_str());
    EXPECT_EQ(1, sound.Load(0));
    EXPECT_EQ(Lines{"CDSBuffer::LoadWav " + path + " Open Error\n"}, capture.Lines());
    // The same for a file in a folder that does not exist.
    capture.Clear();
    std::string inMissingFolder = TempPath("no_such_folder") + "\\missing.wav";
    sound.SetFileName(inMissingFolder.c_str());
    EXPECT_EQ(1, sound.Load(0));
    EXPECT_EQ(Lines{"CDSBuffer::LoadWav " + inMissingFolder + " Open Error\n"}, capture.Lines());

    // A bare name that is not in the current folder is still looked for beside the program.
    char exe[MAX_PATH];
    std::string beside(exe, GetModuleFileNameA(nullptr, exe, sizeof(exe)));
    const std::string bare = "ktb_beside_" + std::to_string(GetCurrentProcessId()) + ".wav";
    beside = beside.substr(0, beside.find_last_of('\\') + 1) + bare;
    ASSERT_TRUE(WriteBytes(beside, PcmWav(Noise16(800, 1, 3), 1, 8000, 16)));
    char cwd[MAX_PATH];
    char temp[MAX_PATH];
    GetCurrentDirectoryA(sizeof(cwd), cwd);
    GetTempPathA(sizeof(temp), temp);
    SetCurrentDirectoryA(temp);
    sound.SetFileName(bare.c_str());
    EXPECT_EQ(0, sound.Load(0));
    SetCurrentDirectoryA(cwd);
    DeleteFileA(beside.c_str());

    // A 259-character name makes a line longer than the diagnostic buffer: it is cut, not overrun.
    capture.Clear();
    std::string longName = "C:\\" + std::string(256, 'n');
    sound.SetFileName(longName.c_str());
    EXPECT_EQ(1, sound.Load(0));
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(259u, capture.Lines()[0].size());
}

}  // namespace
