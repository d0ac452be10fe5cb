// CDSBuffer: buffer creation, static WAV loading through the real ACM into fake DirectSound
// buffers, and playback control.
#include <gtest/gtest.h>

#include <string.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"

using namespace soundtest;

namespace {

typedef std::vector<std::string> Lines;

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEX f;
    memset(&f, 0, sizeof(f));
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = (WORD)(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

TEST(CreateDSBTest, ShortSoundsGetAtLeast150MsAndSizesFollowTheBlockAlignment)
{
    FakeDirectSound ds;
    CDSBuffer sound(&ds);
    sound.m_dstFormat = Pcm(2, 44100, 16);
    ASSERT_EQ(0, sound.CreateDSB(5));
    EXPECT_EQ(26460u, ds.requests.back().dwBufferBytes);
    EXPECT_EQ(26460u, sound.m_bufferBytes);
    EXPECT_EQ(0x180CAu, ds.requests.back().dwFlags);
    EXPECT_EQ(sizeof(DSBUFFERDESC), ds.requests.back().dwSize);
    EXPECT_EQ(0, memcmp(&ds.requestFormats.back(), &sound.m_dstFormat, sizeof(WAVEFORMATEX)));

    ASSERT_EQ(0, sound.CreateDSB(30001));  // long enough, rounded up to the block
    EXPECT_EQ(30004u, ds.requests.back().dwBufferBytes);
    EXPECT_EQ(1, ds.LiveBuffers());  // the earlier buffer was released, not leaked

    ASSERT_EQ(0, sound.CreateDSB(10584000));  // 60 s stays exact
    EXPECT_EQ(10584000u, sound.m_bufferBytes);

    // 4294968 × 1000 wraps round 32 bits to 704: still a long sound, not raised to 150 ms.
    FakeDirectSound big;
    big.maxBufferBytes = 8u * 1024 * 1024;
    CDSBuffer large(&big);
    large.m_dstFormat = Pcm(2, 44100, 16);
    ASSERT_EQ(0, large.CreateDSB(4294968));
    EXPECT_EQ(4294968u, big.requests.back().dwBufferBytes);

    // 22050 Hz stereo: 150 ms is 13230 bytes, rounded to 13232.
    CDSBuffer odd(&ds);
    odd.m_dstFormat = Pcm(2, 22050, 16);
    ASSERT_EQ(0, odd.CreateDSB(1));
    EXPECT_EQ(13232u, ds.requests.back().dwBufferBytes);

    // DirectSound may report another size: the reported one counts.
    CDSBuffer reported(&ds);
    reported.m_dstFormat = Pcm(1, 8000, 8);
    ds.onCreate = [](FakeDirectSoundBuffer& b) { b.reportedBytes = 4096; };
    ASSERT_EQ(0, reported.CreateDSB(4000));
    EXPECT_EQ(4000u, ds.requests.back().dwBufferBytes);
    EXPECT_EQ(4096u, reported.m_bufferBytes);
}

TEST(CreateDSBTest, RefusedCreationRetriesWithReducedFlags)
{
    FakeDirectSound ds;
    CDSBuffer sound(&ds);
    sound.m_dstFormat = Pcm(2, 44100, 16);
    {
        DebugCapture capture;
        ds.failCreateBuffers = 1;
        ds.createBufferFailure = DSERR_CONTROLUNAVAIL;
        ASSERT_EQ(0, sound.CreateDSB(100000));
        EXPECT_EQ((Lines{"HRESULT->DSERR_CONTROLUNAVAIL\n", "CDSBuffer::CreateDSB 1stCreateFailed\n"}), capture.Lines());
        ASSERT_EQ(2u, ds.requests.size());
        EXPECT_EQ(0x180CAu, ds.requests[0].dwFlags);
        EXPECT_EQ(0x10080u, ds.requests[1].dwFlags);
        EXPECT_EQ(100000u, ds.requests[1].dwBufferBytes);
        EXPECT_EQ(ds.LastBuffer(), sound.m_soundBuffer);
    }
    {
        DebugCapture capture;
        ds.failCreateBuffers = 2;
        ds.createBufferFailure = DSERR_OUTOFMEMORY;
        EXPECT_EQ(1, sound.CreateDSB(100000));
        EXPECT_EQ((Lines{"HRESULT->DSERR_OUTOFMEMORY\n", "CDSBuffer::CreateDSB 1stCreateFailed\n",
                         "HRESULT->DSERR_OUTOFMEMORY\n", "CDSBuffer::CreateDSB CreateDSBError\n"}),
                  capture.Lines());
        EXPECT_EQ(nullptr, sound.m_soundBuffer);
    }
    {
        DebugCapture capture;
        CDSBuffer orphan(nullptr);
        EXPECT_EQ(1, orphan.CreateDSB(100));
        EXPECT_EQ(Lines{"CDSBuffer::CreateDSB DSobj==NULL\n"}, capture.Lines());
    }
    {
        DebugCapture capture;
        FakeDirectSound caps;
        caps.onCreate = [](FakeDirectSoundBuffer& b) { b.getCapsResult = DSERR_INVALIDCALL; };
        CDSBuffer s(&caps);
        s.m_dstFormat = Pcm(1, 8000, 8);
        EXPECT_EQ(1, s.CreateDSB(8000));
        EXPECT_EQ(Lines{"CDSBuffer::CreateDSB GetCapsError\n"}, capture.Lines());
        s.Term();
        EXPECT_EQ(0, caps.LiveBuffers());
    }
}

class StaticWavTest : public ::testing::Test {
protected:
    FakeDirectSound ds;
    CDSBuffer sound{&ds};

    int LoadBytes(const std::string& name, const Bytes& file, int allowStream = 0)
    {
        std::string path = TempPath(name);
        EXPECT_TRUE(WriteBytes(path, file));
        sound.SetFileName(path.c_str());
        return sound.Load(allowStream);
    }
    void ExpectOnlySoundBufferKept()
    {
        EXPECT_EQ(nullptr, sound.m_file);
        EXPECT_EQ(nullptr, sound.m_decoder);
        EXPECT_EQ(nullptr, sound.m_srcChunk);
        EXPECT_EQ(nullptr, sound.m_srcFormat);
        EXPECT_EQ(nullptr, sound.m_convBuffer);
        EXPECT_NE(nullptr, sound.m_soundBuffer);
    }
};

TEST_F(StaticWavTest, TenthOfASecondGetsThe150MsBufferWithSilenceAfterTheSound)
{
    DebugCapture capture;
    Bytes pcm = Noise16(4410, 2, 1);  // 0.1 s: 17640 bytes
    ASSERT_EQ(0, LoadBytes("short.wav", PcmWav(pcm, 2, 44100, 16)));
    EXPECT_TRUE(capture.Lines().empty());
    ExpectOnlySoundBufferKept();
    EXPECT_EQ(1, sound.m_kind);
    EXPECT_EQ(0, sound.m_streaming);
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(26460u, b->bytes);
    EXPECT_EQ(pcm, b->Read(0, 17640));
    EXPECT_EQ(Bytes(8820, 0x00), b->Read(17640, 8820));
    EXPECT_EQ(2, b->format.nChannels);
    EXPECT_EQ(44100u, b->format.nSamplesPerSec);
    EXPECT_EQ(0, b->badUnlocks);
    EXPECT_EQ(0u, sound.m_lengthSeconds);
}

TEST_F(StaticWavTest, SixtySecondsGetExactlyTheirSize)
{
    Bytes pcm = Noise16(44100 * 60, 2, 2);
    ASSERT_EQ(0, LoadBytes("long.wav", PcmWav(pcm, 2, 44100, 16)));
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(10584000u, b->bytes);
    EXPECT_TRUE(b->memory == pcm);
    EXPECT_EQ(60u, sound.m_lengthSeconds);
    EXPECT_EQ(0, sound.m_streaming);  // streaming not allowed
}

TEST_F(StaticWavTest, EightBitSoundsAreFilledWithTheSilenceOfTheirBufferFormat)
{
    Bytes pcm = Tone8(800, 1, 8000, 440, 20000);  // 0.1 s of 8000 Hz 8-bit mono
    ASSERT_EQ(0, LoadBytes("eight.wav", PcmWav(pcm, 1, 8000, 8, false)));
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    // The ACM decides the PCM format (Wine's suggests 16 bits for an 8-bit source).
    if (b->format.wBitsPerSample == 8) {
        EXPECT_EQ(1200u, b->bytes);  // 150 ms
        EXPECT_EQ(pcm, b->Read(0, 800));
        EXPECT_EQ(Bytes(400, 0x80), b->Read(800, 400));
    } else {
        ASSERT_EQ(16, b->format.wBitsPerSample);
        EXPECT_EQ(2400u, b->bytes);
        std::vector<int16_t> wide;
        for (uint8_t v : pcm)
            wide.push_back((int16_t)((v - 128) << 8));
        EXPECT_EQ(ToBytes(wide), b->Read(0, 1600));
        EXPECT_EQ(Bytes(800, 0x00), b->Read(1600, 800));
    }
}

TEST_F(StaticWavTest, AdpcmIsConvertedToThePcmTheAcmSuggests)
{
    std::vector<int16_t> tone = Tone(22050, 1, 22050, 440, 12000);
    Encoded ima = ImaAdpcmWav(tone, 1, 22050);
    ASSERT_EQ(0, LoadBytes("ima.wav", ima.wav));
    ExpectOnlySoundBufferKept();
    FakeDirectSoundBuffer* b = ds.LastBuffer();
    EXPECT_EQ(WAVE_FORMAT_PCM, b->format.wFormatTag);
    EXPECT_EQ(1, b->format.nChannels);
    EXPECT_EQ(16, b->format.wBitsPerSample);
    EXPECT_EQ(22050u, b->format.nSamplesPerSec);
    ASSERT_GE(b->bytes, ima.decoded.size() * 2);
    EXPECT_EQ(ToBytes(ima.decoded), b->Read(0, (DWORD)ima.decoded.size() * 2));

    Encoded ms = MsAdpcmWav(Tone(11025, 2, 22050, 330, 9000), 2, 22050);
    CDSBuffer second(&ds);
    std::string path = TempPath("msadpcm.wav");
    ASSERT_TRUE(WriteBytes(path, ms.wav));
    second.SetFileName(path.c_str());
    ASSERT_EQ(0, second.Load(0));
    b = ds.LastBuffer();
    EXPECT_EQ(2, b->format.nChannels);
    EXPECT_EQ(16, b->format.wBitsPerSample);
    EXPECT_EQ(ToBytes(ms.decoded), b->Read(0, (DWORD)ms.decoded.size() * 2));
}

TEST_F(StaticWavTest, LostBufferIsRestoredOnceAtLock)
{
    Bytes file = PcmWav(Noise16(8000, 1, 3), 1, 8000, 16);
    std::string path = TempPath("lost.wav");
    ASSERT_TRUE(WriteBytes(path, file));
    {
        DebugCapture capture;
        FakeDirectSound lost;
        lost.onCreate = [](FakeDirectSoundBuffer& b) { b.bufferLostLocks = 1; };
        CDSBuffer s(&lost);
        s.SetFileName(path.c_str());
        ASSERT_EQ(0, s.Load(0));
        EXPECT_EQ(1, lost.LastBuffer()->restoreCalls);
        EXPECT_EQ(2, lost.LastBuffer()->CountCalls("Lock"));
        EXPECT_TRUE(capture.Lines().empty());
    }
    {
        DebugCapture capture;
        FakeDirectSound lost;
        lost.onCreate = [](FakeDirectSoundBuffer& b) { b.bufferLostLocks = 2; };
        CDSBuffer s(&lost);
        s.SetFileName(path.c_str());
        long long live = LiveArrayAllocations();
        EXPECT_EQ(1, s.Load(0));
        EXPECT_EQ(Lines{"CDSBuffer::LoadWav LockError\n"}, capture.Lines());
        EXPECT_EQ(1, lost.LastBuffer()->restoreCalls);
        EXPECT_EQ(nullptr, s.m_srcChunk);
        s.Term();
        EXPECT_EQ(live, LiveArrayAllocations());
        EXPECT_TRUE(FileIsFree(path));
    }
}

TEST(CDSBufferFieldsTest, ConstructionAndFileName)
{
    FakeDirectSound ds;
    CDSBuffer sound(&ds);
    EXPECT_STREQ("", sound.GetFileName());
    EXPECT_EQ(20u, sound.m_streamThreshold);
    EXPECT_EQ(-1, sound.m_fadeCounter);
    EXPECT_EQ(5, sound.m_fadeLength);
    EXPECT_EQ(&ds, sound.m_device);
    EXPECT_EQ(0, sound.m_kind);

    std::string longName(300, 'a');
    longName[258] = 'z';
    sound.SetFileName(longName.c_str());
    EXPECT_EQ(259u, strlen(sound.GetFileName()));
    EXPECT_EQ('z', sound.GetFileName()[258]);
}

// ---------------------------------------------------------------------------------------------
// Playback control on a created buffer.

class PlaybackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sound.m_dstFormat = Pcm(2, 44100, 16);
        ASSERT_EQ(0, sound.CreateDSB(44100));
        buffer = ds.LastBuffer();
        buffer->calls.clear();
    }
    FakeDirectSound ds;
    CDSBuffer sound{&ds};
    FakeDirectSoundBuffer* buffer = nullptr;
};

TEST_F(PlaybackTest, PlayStopRewindAndIsPlaying)
{
    EXPECT_EQ(0, sound.IsPlaying());
    buffer->calls.clear();
    buffer->SetPlayCursor(400);
    ASSERT_EQ(0, sound.Play(0, 7));
    EXPECT_EQ(7, sound.m_ownerTag);
    EXPECT_EQ((Lines{"SetVolume 0", "Play 0 0 0"}), buffer->calls);
    EXPECT_EQ(1, sound.IsPlaying());
    EXPECT_EQ(400u, buffer->playCursor);  // Play does not move the position

    buffer->calls.clear();
    ASSERT_EQ(0, sound.Play(1, 8));  // loops when asked
    EXPECT_EQ((DWORD)DSBPLAY_LOOPING, buffer->playFlags);
    EXPECT_EQ(0, buffer->CountCalls("SetCurrentPosition"));

    ASSERT_EQ(0, sound.Stop());
    EXPECT_EQ(0, sound.IsPlaying());
    EXPECT_EQ(400u, buffer->playCursor);
    buffer->calls.clear();
    ASSERT_EQ(0, sound.Rewind());
    EXPECT_EQ((Lines{"Stop", "SetCurrentPosition 0"}), buffer->calls);

    buffer->playResult = DSERR_BUFFERLOST;
    EXPECT_EQ(1, sound.Play(0, 1));
    buffer->playResult = DS_OK;
    buffer->setVolumeResult = DSERR_CONTROLUNAVAIL;
    EXPECT_EQ(1, sound.Play(0, 1));
    buffer->setVolumeResult = DS_OK;
    buffer->stopResult = DSERR_INVALIDCALL;
    EXPECT_EQ(1, sound.Stop());
    EXPECT_EQ(1, sound.Rewind());
    buffer->stopResult = DS_OK;
    buffer->setPositionResult = DSERR_INVALIDCALL;
    EXPECT_EQ(1, sound.Rewind());
}

TEST_F(PlaybackTest, FadeStepsDownToSilenceThenStops)
{
    ASSERT_EQ(0, sound.Play(0, 1));
    buffer->volumes.clear();
    EXPECT_EQ(0, sound.FadeOut());
    EXPECT_EQ(5, sound.m_fadeCounter);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(1, sound.IsPlaying()) << i;
        EXPECT_EQ(0, sound.UpdateFade());
    }
    EXPECT_EQ((std::vector<LONG>{0, -2000, -4000, -6000, -8000, -10000}), buffer->volumes);
    EXPECT_EQ(0, sound.IsPlaying());
    EXPECT_EQ(-1, sound.m_fadeCounter);
    buffer->calls.clear();
    EXPECT_EQ(0, sound.UpdateFade());  // a seventh call does nothing
    EXPECT_TRUE(buffer->calls.empty());
}

TEST_F(PlaybackTest, PlayCancelsARunningFade)
{
    ASSERT_EQ(0, sound.Play(0, 1));
    sound.FadeOut();
    sound.UpdateFade();
    sound.UpdateFade();
    EXPECT_EQ(-2000, buffer->volume);
    ASSERT_EQ(0, sound.Play(0, 2));
    EXPECT_EQ(-1, sound.m_fadeCounter);
    EXPECT_EQ(0, buffer->volume);
    buffer->calls.clear();
    EXPECT_EQ(0, sound.UpdateFade());
    EXPECT_TRUE(buffer->calls.empty());
    EXPECT_EQ(1, sound.IsPlaying());
}

TEST_F(PlaybackTest, PauseAndResume)
{
    // Stopped sound: nothing plays after Resume.
    EXPECT_EQ(0, sound.Pause());
    EXPECT_EQ(0, sound.m_pauseFlag);
    sound.Resume();
    EXPECT_EQ(0, buffer->playCalls);

    // Playing sound: continues from where it was paused, at full volume, not looping.
    ASSERT_EQ(0, sound.Play(1, 9));
    buffer->SetPlayCursor(1000);
    EXPECT_EQ(0, sound.Pause());
    EXPECT_EQ(1, sound.m_pauseFlag);
    EXPECT_FALSE(buffer->playing);
    sound.Resume();
    EXPECT_TRUE(buffer->playing);
    EXPECT_EQ(0u, buffer->playFlags);
    EXPECT_EQ(1000u, buffer->playCursor);
    EXPECT_EQ(9, sound.m_ownerTag);
    EXPECT_EQ(0, sound.m_pauseFlag);

    // A sound that was fading stays stopped; the flag is cleared anyway.
    sound.FadeOut();
    sound.Pause();
    int plays = buffer->playCalls;
    sound.Resume();
    EXPECT_EQ(plays, buffer->playCalls);
    EXPECT_EQ(0, sound.m_pauseFlag);

    ASSERT_EQ(0, sound.Play(0, 1));
    sound.Pause();
    sound.ClearPauseFlag();
    sound.Resume();
    EXPECT_FALSE(buffer->playing);
}

TEST(PlaybackWithoutBufferTest, OperationsReportFailureAndChangeNothing)
{
    CDSBuffer sound(nullptr);
    EXPECT_EQ(1, sound.Play(0, 3));
    EXPECT_EQ(0, sound.m_ownerTag);
    EXPECT_EQ(1, sound.Stop());
    EXPECT_EQ(1, sound.Rewind());
    EXPECT_EQ(0, sound.IsPlaying());
    EXPECT_EQ(0, sound.StreamPlay());
    EXPECT_EQ(1, sound.FadeOut());  // still sets the counter
    EXPECT_EQ(5, sound.m_fadeCounter);
    EXPECT_EQ(1, sound.UpdateFade());
    EXPECT_EQ(5, sound.m_fadeCounter);
    EXPECT_EQ(1, sound.Pause());
    EXPECT_EQ(0, sound.Term());
    EXPECT_EQ(0, sound.Term());
}

}  // namespace
