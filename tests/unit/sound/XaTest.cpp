// XA loading: the silent refusals that let WAV files through, the fallback to WAV, static XA
// sounds through a fake decoder, a missing xadec.dll, and the real library when it is built.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using namespace soundtest;

namespace {

typedef std::vector<std::string> Lines;

class XaTest : public ::testing::Test {
protected:
    FakeDirectSound ds;
    CDSBuffer sound{&ds};
    std::string path;

    void Write(const std::string& name, const Bytes& bytes)
    {
        path = TempPath(name);
        ASSERT_TRUE(WriteBytes(path, bytes));
        sound.SetFileName(path.c_str());
    }
};

TEST_F(XaTest, NonXaFilesAreRefusedSilently)
{
    ScopedFakeXa fake;
    DebugCapture capture;
    Write("plain.wav", PcmWav(Noise16(800, 1, 1), 1, 8000, 16));
    EXPECT_EQ(1, sound.LoadXA(0));
    EXPECT_EQ(nullptr, sound.m_file);
    EXPECT_TRUE(FileIsFree(path));

    Bytes header31(31, 0);
    memcpy(header31.data(), "KWD1", 4);
    Write("short.xa", header31);
    EXPECT_EQ(1, sound.LoadXA(0));
    EXPECT_TRUE(FileIsFree(path));

    sound.SetFileName(TempPath("does_not_exist.xa").c_str());
    EXPECT_EQ(1, sound.LoadXA(0));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(0, FakeXa::opens);

    // And Load takes such a WAV through LoadWav without a word.
    Write("plain2.wav", PcmWav(Noise16(800, 1, 2), 1, 8000, 16));
    EXPECT_EQ(0, sound.Load(0));
    EXPECT_EQ(1, sound.m_kind);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(XaTest, XaContentLoadsAsXaWhateverTheExtension)
{
    ScopedFakeXa fake;
    DebugCapture capture;
    Bytes pcm = Noise16(4000, 2, 3);  // 0.25 s of 16000 Hz stereo
    Write("really_xa.wav", FakeXaFile(pcm, 2, 16000, 4000));
    ASSERT_EQ(0, sound.Load(0));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(2, sound.m_kind);
    EXPECT_EQ(0, sound.m_streaming);
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(2, b->format.nChannels);
    EXPECT_EQ(16000u, b->format.nSamplesPerSec);
    EXPECT_EQ(64000u, b->format.nAvgBytesPerSec);
    EXPECT_EQ(16000u, b->bytes);
    EXPECT_EQ(pcm, b->memory);
    // A static XA sound keeps only its buffer.
    EXPECT_EQ(nullptr, sound.m_file);
    EXPECT_EQ(nullptr, sound.m_decoder);
    EXPECT_EQ(nullptr, sound.m_srcChunk);
    EXPECT_EQ(1, FakeXa::opens);
    EXPECT_EQ(1, FakeXa::closes);
    EXPECT_TRUE(FileIsFree(path));
}

TEST_F(XaTest, OutputPastTheHeaderLengthIsSilenced)
{
    ScopedFakeXa fake;
    Bytes pcm = Noise16(8000, 1, 4);  // 1 s of 8000 Hz mono, but the header says 5000 frames
    Write("long_tail.xa", FakeXaFile(pcm, 1, 8000, 5000));
    ASSERT_EQ(0, sound.Load(0));
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(16000u, b->bytes);
    EXPECT_EQ(Bytes(pcm.begin(), pcm.begin() + 10000), b->Read(0, 10000));
    EXPECT_EQ(Bytes(6000, 0), b->Read(10000, 6000));
}

TEST_F(XaTest, RefusedHeaderFallsBackToWavAndFailsWithItsMessages)
{
    {
        ScopedFakeXa fake;
        DebugCapture capture;
        Write("refused.xa", FakeXaFile(Noise16(800, 1, 5), 1, 8000, 800, 0xEE));
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ((Lines{"CDSBuffer::LoadXA DecodeOpenError\n", "CDSBuffer::LoadWav WAVE not found\n"}), capture.Lines());
        EXPECT_TRUE(FileIsFree(path));
    }
    {
        // Without xadec.dll every XA file is refused the same way; WAV files still load.
        ScopedMissingXa missing;
        DebugCapture capture;
        Write("no_library.xa", FakeXaFile(Noise16(800, 1, 6), 1, 8000, 800));
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ((Lines{"CDSBuffer::LoadXA DecodeOpenError\n", "CDSBuffer::LoadWav WAVE not found\n"}), capture.Lines());
        capture.Clear();
        Write("still.wav", PcmWav(Noise16(800, 1, 7), 1, 8000, 16));
        EXPECT_EQ(0, sound.Load(0));
        EXPECT_TRUE(capture.Lines().empty());
    }
    {
        // A decoder that fills in a format without a sample rate counts as a refusal.
        ScopedFakeXa fake;
        DebugCapture capture;
        Write("no_rate.xa", FakeXaFile(Noise16(800, 1, 8), 1, 0, 800));
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ((Lines{"CDSBuffer::LoadXA DecodeOpenError\n", "CDSBuffer::LoadWav WAVE not found\n"}), capture.Lines());
        EXPECT_EQ(FakeXa::opens, FakeXa::closes);
        // So does one whose byte rate does not fit in 32 bits (it would wrap to 0 and divide by it).
        capture.Clear();
        Write("absurd_rate.xa", FakeXaFile(Noise16(800, 2, 8), 2, 0x80000000u, 400));
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ((Lines{"CDSBuffer::LoadXA DecodeOpenError\n", "CDSBuffer::LoadWav WAVE not found\n"}), capture.Lines());
    }
    {
        ScopedFakeXa fake;
        FakeXa::refuseSize = 1;
        DebugCapture capture;
        Write("no_size.xa", FakeXaFile(Noise16(800, 1, 9), 1, 8000, 800));
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ((Lines{"CDSBuffer::LoadXA DecodeSizeError\n", "CDSBuffer::LoadWav WAVE not found\n"}), capture.Lines());
        EXPECT_EQ(1, FakeXa::opens);
        EXPECT_EQ(1, FakeXa::closes);  // the WAV attempt's Term closed the decoder
        EXPECT_TRUE(FileIsFree(path));
    }
}

// A device set up for PCM in memory decodes a sound to exactly the bytes the viewer's loader puts
// into its sound buffer (format, 150 ms minimum, silence after the sound).
TEST_F(XaTest, PcmKeptInMemoryEqualsTheViewersBuffer)
{
    ScopedFakeXa fake;
    const Bytes files[] = {FakeXaFile(Noise16(1000, 2, 11), 2, 16000, 990),
                           ImaAdpcmWav(Tone(3000, 1, 22050, 440, 8000), 1, 22050).wav};
    for (const Bytes& file : files) {
        Write("kept.wav", file);
        ASSERT_EQ(0, sound.Load(0));
        const FakeDirectSoundBuffer* viewer = ds.LastBuffer();
        CDSound device;
        device.InitPcmInMemory();
        CDSBuffer* kept = device.NewBuffer();
        kept->SetFileName(path.c_str());
        ASSERT_EQ(0, kept->Load(0));
        EXPECT_EQ(0, memcmp(&viewer->format, &kept->m_dstFormat, sizeof(WAVEFORMATEX)));
        ASSERT_NE(nullptr, kept->m_pcm);
        EXPECT_EQ(viewer->memory, Bytes(kept->m_pcm, kept->m_pcm + kept->m_bufferBytes));
        EXPECT_EQ(nullptr, kept->m_soundBuffer);
        delete kept;
    }
}

TEST_F(XaTest, DataSizeBeyondTheFileIsCutToTheFile)
{
    ScopedFakeXa fake;
    DebugCapture capture;
    Bytes pcm = Noise16(4000, 1, 10);
    Bytes file = FakeXaFile(pcm, 1, 8000, 4000);
    file[4] = 0xF0;  // data size 0x7FFFFFF0
    file[5] = 0xFF;
    file[6] = 0xFF;
    file[7] = 0x7F;
    Write("huge_data.xa", file);
    long long live = LiveArrayAllocations();
    ResetLargestArrayAllocation();
    ASSERT_EQ(0, sound.Load(0));
    EXPECT_LE(LargestArrayAllocation(), file.size());
    EXPECT_EQ(pcm, ds.LastBuffer()->Read(0, 8000));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(live, LiveArrayAllocations());
}

TEST_F(XaTest, StaticLockAndUnlockFailures)
{
    ScopedFakeXa fake;
    Write("locks.xa", FakeXaFile(Noise16(4000, 1, 11), 1, 8000, 4000));
    {
        DebugCapture capture;
        ds.onCreate = [](FakeDirectSoundBuffer& b) { b.bufferLostLocks = 1; };
        ASSERT_EQ(0, sound.Load(0));
        EXPECT_EQ(1, ds.LastBuffer()->restoreCalls);
        EXPECT_TRUE(capture.Lines().empty());
    }
    {
        DebugCapture capture;
        ds.onCreate = [](FakeDirectSoundBuffer& b) { b.lockResult = DSERR_INVALIDCALL; };
        EXPECT_NE(0, sound.Load(0));
        EXPECT_EQ("CDSBuffer::LoadXA LockError\n", capture.Lines().at(0));
    }
    {
        DebugCapture capture;
        ds.onCreate = [](FakeDirectSoundBuffer& b) { b.unlockResult = DSERR_INVALIDCALL; };
        EXPECT_NE(0, sound.Load(0));
        ASSERT_GE(capture.Lines().size(), 2u);
        EXPECT_EQ("HRESULT->DSERR_INVALIDCALL\n", capture.Lines()[0]);
        EXPECT_EQ("CDSBuffer::LoadXA UnlockError\n", capture.Lines()[1]);
    }
    ds.onCreate = nullptr;
    sound.Term();
    EXPECT_EQ(FakeXa::opens, FakeXa::closes);
    EXPECT_EQ(0, ds.LiveBuffers());
}

// ---------------------------------------------------------------------------------------------
// The real library, once the build has made xadec.dll and xaenc.exe beside this test.

std::string ModuleDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

bool RunEncoder(const std::string& in, const std::string& out)
{
    std::string exe = ModuleDir() + "xaenc.exe";
    if (GetFileAttributesA(exe.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    std::string cmd = "\"" + exe + "\" \"" + in + "\" \"" + out + "\"";
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0;
}

double SnrDb(const int16_t* ref, const int16_t* got, size_t n)
{
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i) {
        signal += (double)ref[i] * ref[i];
        noise += ((double)ref[i] - got[i]) * ((double)ref[i] - got[i]);
    }
    return noise == 0 ? 200 : 10 * log10(signal / noise);
}

TEST(RealXaTest, StaticAndStreamedXaThroughXadecDll)
{
    SetXaDecoderForTest(nullptr);
    if (!XaDecoderAvailable())
        GTEST_SKIP() << "xadec.dll not built";
    const uint32_t rate = 22050;
    const uint32_t frames = rate * 41 / 2;  // 20.5 s, long enough to stream
    std::vector<int16_t> tone = Tone(frames, 2, rate, 440, 9000);
    std::string wav = TempPath("real_src.wav");
    std::string xa = TempPath("real.xa");
    ASSERT_TRUE(WriteBytes(wav, PcmWav(ToBytes(tone), 2, rate, 16)));
    if (!RunEncoder(wav, xa))
        GTEST_SKIP() << "xaenc.exe not built or failed";

    DebugCapture capture;
    FakeDirectSound ds;
    CDSBuffer still(&ds);
    still.SetFileName(xa.c_str());
    ASSERT_EQ(0, still.Load(0));
    EXPECT_EQ(2, still.m_kind);
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(2, b->format.nChannels);
    EXPECT_EQ(rate, b->format.nSamplesPerSec);
    EXPECT_EQ(16, b->format.wBitsPerSample);
    ASSERT_GE(b->bytes, frames * 4);
    Bytes decoded = b->Read(0, frames * 4);
    EXPECT_GT(SnrDb(tone.data(), reinterpret_cast<const int16_t*>(decoded.data()), tone.size()), 20.0);
    EXPECT_TRUE(capture.Lines().empty());

    CDSBuffer streamed(&ds);
    streamed.SetFileName(xa.c_str());
    ASSERT_EQ(0, streamed.Load(1));
    ASSERT_EQ(1, streamed.m_streaming);
    FakeDirectSoundBuffer* sb = ds.LastBuffer();
    ASSERT_EQ(0, streamed.Play(0, 1));
    Bytes played;
    for (int frame = 0; frame < 100000 && sb->playing; ++frame) {
        Bytes chunk = sb->Advance(1323);
        played.insert(played.end(), chunk.begin(), chunk.end());
        streamed.StreamPlay();
    }
    EXPECT_EQ(5, streamed.m_streamState);
    ASSERT_GT(played.size(), decoded.size());
    EXPECT_TRUE(Bytes(played.begin(), played.begin() + decoded.size()) == decoded);
    for (size_t i = decoded.size(); i < played.size(); ++i)
        if (played[i] != 0) {
            ADD_FAILURE() << "sound after the end at " << i;
            break;
        }
    EXPECT_TRUE(capture.Lines().empty());

    // A 3 s sound of 65 blocks (the last one short), cut in its 65th: a loop decodes the 64
    // whole blocks again and again as the static load does, never one of them as the short last.
    const uint32_t loopFrames = rate * 3;
    std::string loopWav = TempPath("loop_src.wav");
    std::string loopXa = TempPath("loop.xa");
    ASSERT_TRUE(WriteBytes(loopWav, PcmWav(ToBytes(Tone(loopFrames, 2, rate, 330, 9000)), 2, rate, 16)));
    ASSERT_TRUE(RunEncoder(loopWav, loopXa));
    Bytes file;
    {
        FILE* f = fopen(loopXa.c_str(), "rb");
        ASSERT_NE(nullptr, f);
        file.resize(32 + 64 * 1184 + 700);  // blocks of 1024 stereo frames
        file.resize(fread(file.data(), 1, file.size(), f));
        fclose(f);
    }
    std::string cut = TempPath("cut.xa");
    ASSERT_TRUE(WriteBytes(cut, file));
    CDSBuffer cutStill(&ds);
    cutStill.SetFileName(cut.c_str());
    ASSERT_EQ(0, cutStill.Load(0));
    const DWORD onePass = cutStill.m_decodedSize;
    ASSERT_GT(onePass, 0u);
    Bytes pass = ds.LastBuffer()->Read(0, onePass);
    CDSBuffer looped(&ds);
    looped.SetFileName(cut.c_str());
    looped.m_streamThreshold = 0;
    ASSERT_EQ(0, looped.Load(1));
    ASSERT_EQ(0, looped.Play(1, 1));
    FakeDirectSoundBuffer* lb = ds.LastBuffer();
    played.clear();
    while (played.size() < 4 * onePass) {
        Bytes chunk = lb->Advance(1323);
        played.insert(played.end(), chunk.begin(), chunk.end());
        looped.StreamPlay();
    }
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(Bytes(played.begin() + k * onePass, played.begin() + (k + 1) * onePass) == pass) << "pass " << k;
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
