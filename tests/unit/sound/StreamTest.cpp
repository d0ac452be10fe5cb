// Streaming refill against a fake sound buffer whose play cursor the test moves.
#include <gtest/gtest.h>

#include <string.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"

using namespace soundtest;

namespace {

typedef std::vector<std::string> Lines;

struct Playback {
    Bytes played;              // what the buffer played, in play order
    std::vector<int> states;   // stream states, each change once
    DWORD stopCursor = 0;
};

// Plays the sound from its current state, moving the cursor `step` bytes per frame and running
// the stream service after each move, until the buffer stops or `limit` bytes were played.
Playback PlayFrames(CDSBuffer& sound, FakeDirectSoundBuffer* b, DWORD step, size_t limit, Playback p = Playback())
{
    if (p.states.empty())
        p.states.push_back(sound.m_streamState);
    while (p.played.size() < limit && b->playing) {
        Bytes chunk = b->Advance(step);
        p.played.insert(p.played.end(), chunk.begin(), chunk.end());
        EXPECT_EQ(0, sound.StreamPlay());
        if (sound.m_streamState != p.states.back())
            p.states.push_back(sound.m_streamState);
    }
    p.stopCursor = b->playCursor;
    return p;
}

bool AllSilence(const Bytes& bytes, size_t from, uint8_t silence = 0)
{
    for (size_t i = from; i < bytes.size(); ++i)
        if (bytes[i] != silence)
            return false;
    return true;
}

class StreamTest : public ::testing::Test {
protected:
    FakeDirectSound ds;
    CDSBuffer sound{&ds};

    FakeDirectSoundBuffer* LoadStream(const std::string& name, const Bytes& file)
    {
        std::string path = TempPath(name);
        EXPECT_TRUE(WriteBytes(path, file));
        sound.SetFileName(path.c_str());
        EXPECT_EQ(0, sound.Load(1));
        EXPECT_EQ(1, sound.m_streaming);
        return ds.LastBuffer();
    }
};

TEST_F(StreamTest, CdQualityFiguresPrefillAndRefillWindows)
{
    DebugCapture capture;
    Bytes pcm = Noise16(44100 * 25, 2, 7);
    FakeDirectSoundBuffer* b = LoadStream("cd.wav", PcmWav(pcm, 2, 44100, 16));
    ASSERT_NE(nullptr, b);
    const DWORD size = 352800;
    EXPECT_EQ(size, b->bytes);
    EXPECT_EQ(size, sound.m_bufferBytes);
    EXPECT_EQ(25u, sound.m_lengthSeconds);
    EXPECT_EQ(0x180CAu, b->flags);
    EXPECT_NE(nullptr, sound.m_file);  // the stream keeps file, converter and memory
    EXPECT_NE(nullptr, sound.m_decoder);
    EXPECT_NE(nullptr, sound.m_srcFormat);
    EXPECT_EQ(size, sound.m_convBufferSize);

    // Prefill: at least 264601 bytes from offset 0, the start of the sound.
    ASSERT_EQ(1u, b->locks.size());
    EXPECT_EQ(0u, b->locks[0].offset);
    EXPECT_EQ(size, b->locks[0].bytes);
    EXPECT_GE(sound.m_produced, 264601u);
    EXPECT_EQ(Bytes(pcm.begin(), pcm.begin() + sound.m_produced), b->Read(0, sound.m_produced));
    EXPECT_EQ(sound.m_produced % size, sound.m_writeCursor);
    EXPECT_EQ(0, sound.m_refillHalf);
    EXPECT_EQ(0, sound.m_streamState);

    ASSERT_EQ(0, sound.Play(0, 1));
    EXPECT_EQ((DWORD)DSBPLAY_LOOPING, b->playFlags);  // a stream always loops its buffer

    // Positions exactly on the window edges trigger nothing.
    for (DWORD edge : {(DWORD)0, size / 2, size * 3 / 4}) {
        b->SetPlayCursor(edge);
        EXPECT_EQ(0, sound.StreamPlay());
        EXPECT_EQ(1u, b->locks.size()) << edge;
    }
    // [A] from cursor 0: at least 88201 bytes into the first half.
    unsigned producedBefore = sound.m_produced;
    b->SetPlayCursor(size / 2 + 1);
    ASSERT_EQ(0, sound.StreamPlay());
    ASSERT_EQ(2u, b->locks.size());
    EXPECT_EQ(0u, b->locks[1].offset);
    EXPECT_EQ(size / 2, b->locks[1].bytes);
    EXPECT_GE(sound.m_produced - producedBefore, 88201u);
    EXPECT_EQ(1, sound.m_refillHalf);
    EXPECT_EQ(Bytes(pcm.begin() + producedBefore, pcm.begin() + sound.m_produced),
              b->Read(0, sound.m_produced - producedBefore));
    // In the [A] window again: nothing more until the first half plays.
    EXPECT_EQ(0, sound.StreamPlay());
    EXPECT_EQ(2u, b->locks.size());
    // [B] while the first half plays.
    b->SetPlayCursor(1);
    ASSERT_EQ(0, sound.StreamPlay());
    ASSERT_EQ(3u, b->locks.size());
    EXPECT_EQ(size / 2, b->locks[2].offset);
    EXPECT_EQ(0, sound.m_refillHalf);
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(0, b->badUnlocks);
}

TEST_F(StreamTest, RefillWrapsRoundTheEndIntoTwoRegions)
{
    Bytes pcm = Noise16(44100 * 21, 2, 8);
    FakeDirectSoundBuffer* b = LoadStream("wrap.wav", PcmWav(pcm, 2, 44100, 16));
    const DWORD size = b->bytes;
    unsigned from = sound.m_produced;  // source position of the next bytes
    sound.m_writeCursor = 300000;
    ASSERT_EQ(0, sound.StreamUpdateWav(size / 2 - 1, size / 4));
    const FakeLockRecord& lock = b->locks.back();
    EXPECT_EQ(300000u, lock.offset);
    EXPECT_EQ(size / 2 - 1 + size - 300000, lock.bytes);
    EXPECT_EQ(size - 300000, lock.bytes1);
    EXPECT_EQ(size / 2 - 1, lock.bytes2);
    unsigned written = sound.m_produced - from;
    EXPECT_GE(written, size / 4 + size - 300000);
    Bytes expected(pcm.begin() + from, pcm.begin() + from + written);
    EXPECT_EQ(Bytes(expected.begin(), expected.begin() + (size - 300000)), b->Read(300000, size - 300000));
    EXPECT_EQ(Bytes(expected.begin() + (size - 300000), expected.end()), b->Read(0, written - (size - 300000)));
    EXPECT_EQ(300000 + written - size, sound.m_writeCursor);
    // The locked bytes past the new cursor are silence, to be written by the next refill.
    EXPECT_EQ(Bytes(lock.bytes - written, 0), b->Read(sound.m_writeCursor, lock.bytes - written));
}

TEST_F(StreamTest, NonLoopingStreamEndsThroughStates345WithTheStopInTheSilentHalf)
{
    Bytes pcm = Noise16(8000 * 41 / 2, 1, 9);  // 20.5 s of 8000 Hz 16-bit mono
    FakeDirectSoundBuffer* b = LoadStream("end.wav", PcmWav(pcm, 1, 8000, 16));
    const DWORD size = b->bytes;
    ASSERT_EQ(32000u, size);
    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 4 * size);

    EXPECT_FALSE(b->playing);
    EXPECT_EQ(5, sound.m_streamState);
    ASSERT_GE(p.states.size(), 4u);
    EXPECT_EQ((std::vector<int>{3, 4, 5}), std::vector<int>(p.states.end() - 3, p.states.end()));
    // Stopped inside the half that holds only silence.
    if (sound.m_endHalf == 0) {
        EXPECT_TRUE(0 < p.stopCursor && p.stopCursor < size / 2) << p.stopCursor;
    } else {
        EXPECT_TRUE(size / 2 < p.stopCursor && p.stopCursor < size - 1) << p.stopCursor;
    }
    // In play order: the whole sound, then silence only.
    ASSERT_GT(p.played.size(), pcm.size());
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + pcm.size()) == pcm);
    EXPECT_TRUE(AllSilence(p.played, pcm.size()));
    EXPECT_LE(p.played.size() - pcm.size(), (size_t)size * 2);

    // Once stopped, refills and the service do nothing.
    size_t calls = b->calls.size();
    EXPECT_EQ(0, sound.StreamPlay());
    EXPECT_EQ(0, sound.StreamUpdateWav(size - 1, size * 3 / 4));
    EXPECT_EQ(calls, b->calls.size());
}

TEST_F(StreamTest, LoopingStreamRepeatsWithoutAGap)
{
    Bytes pcm = Noise16(8000 * 20, 1, 10);
    FakeDirectSoundBuffer* b = LoadStream("loop.wav", PcmWav(pcm, 1, 8000, 16));
    ASSERT_EQ(0, sound.Play(1, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() * 5 / 2);
    EXPECT_TRUE(b->playing);
    for (int s : p.states)
        EXPECT_EQ(0, s);
    ASSERT_GE(p.played.size(), pcm.size() * 5 / 2);
    for (size_t i = 0; i < p.played.size(); ++i) {
        if (p.played[i] != pcm[i % pcm.size()]) {
            FAIL() << "gap or jump at byte " << i;
            break;
        }
    }
}

TEST_F(StreamTest, RewindOfAStoppedStreamLeavesItStoppedAndPrefilled)
{
    Bytes pcm = Noise16(8000 * 21, 1, 11);
    FakeDirectSoundBuffer* b = LoadStream("rewind1.wav", PcmWav(pcm, 1, 8000, 16));
    ASSERT_EQ(0, sound.Play(0, 1));
    PlayFrames(sound, b, 240, 5 * 16000);
    ASSERT_EQ(0, sound.Stop());
    b->calls.clear();
    ASSERT_EQ(0, sound.Rewind());
    EXPECT_FALSE(b->playing);
    EXPECT_EQ(0u, b->playCursor);
    EXPECT_EQ(0, b->CountCalls("Play"));
    EXPECT_EQ(1, b->CountCalls("SetCurrentPosition 0"));
    EXPECT_EQ(0, sound.m_streamState);
    EXPECT_EQ(0, sound.m_refillHalf);
    EXPECT_EQ(Bytes(pcm.begin(), pcm.begin() + b->bytes), b->memory);

    // Played from there, the sound comes from its start.
    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 4 * b->bytes);
    ASSERT_GT(p.played.size(), pcm.size());
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + pcm.size()) == pcm);
    EXPECT_TRUE(AllSilence(p.played, pcm.size()));
}

TEST_F(StreamTest, RewindOfAPlayingStreamRestartsItAtTheBeginning)
{
    Bytes pcm = Noise16(8000 * 21, 1, 12);
    FakeDirectSoundBuffer* b = LoadStream("rewind2.wav", PcmWav(pcm, 1, 8000, 16));
    ASSERT_EQ(0, sound.Play(0, 1));
    PlayFrames(sound, b, 240, 7 * 16000 + 123);
    b->calls.clear();
    ASSERT_EQ(0, sound.Rewind());
    EXPECT_TRUE(b->playing);
    EXPECT_EQ(0u, b->playCursor);
    EXPECT_EQ((DWORD)DSBPLAY_LOOPING, b->playFlags);
    EXPECT_EQ(1, b->CountCalls("Stop"));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 4 * b->bytes);
    ASSERT_GT(p.played.size(), pcm.size());
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + pcm.size()) == pcm);
    EXPECT_TRUE(AllSilence(p.played, pcm.size()));
}

TEST_F(StreamTest, ImaAdpcmStreamPlaysTheDecodedSoundThenSilence)
{
    std::vector<int16_t> tone = Tone(22050 * 41 / 2, 1, 22050, 523.25, 11000);
    Encoded ima = ImaAdpcmWav(tone, 1, 22050);
    FakeDirectSoundBuffer* b = LoadStream("ima_stream.wav", ima.wav);
    EXPECT_EQ(16, b->format.wBitsPerSample);
    ASSERT_EQ(0, sound.Play(0, 1));
    Bytes decoded = ToBytes(ima.decoded);
    Playback p = PlayFrames(sound, b, 662, decoded.size() + 4 * b->bytes);
    EXPECT_EQ(5, sound.m_streamState);
    ASSERT_GT(p.played.size(), decoded.size());
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + decoded.size()) == decoded);
    EXPECT_TRUE(AllSilence(p.played, decoded.size()));
}

TEST_F(StreamTest, XaStreamWithFakeDecoderPlaysTheDecodedSoundThenSilence)
{
    ScopedFakeXa fake;
    Bytes pcm = Noise16(8000 * 21, 1, 13);
    FakeDirectSoundBuffer* b = LoadStream("fake_stream.xa", FakeXaFile(pcm, 1, 8000, 8000 * 21));
    EXPECT_EQ(2, sound.m_kind);
    EXPECT_EQ(10000u, sound.m_srcChunkSize);
    EXPECT_EQ(32000u, b->bytes);
    EXPECT_EQ(16000u, b->format.nAvgBytesPerSec);  // filled in when the decoder leaves it 0
    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 4 * b->bytes);
    EXPECT_LE(FakeXa::maxSrcLen, 10000u);
    EXPECT_EQ(5, sound.m_streamState);
    EXPECT_EQ((std::vector<int>{3, 4, 5}), std::vector<int>(p.states.end() - 3, p.states.end()));
    ASSERT_GT(p.played.size(), pcm.size());
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + pcm.size()) == pcm);
    EXPECT_TRUE(AllSilence(p.played, pcm.size()));

    // Rewind reopens the decoder and starts again.
    int opens = FakeXa::opens;
    ASSERT_EQ(0, sound.Rewind());
    EXPECT_EQ(opens + 1, FakeXa::opens);
    // The decoder works in whole 64-byte blocks: the prefill stops at 29952 bytes.
    EXPECT_EQ(29952u, sound.m_writeCursor);
    EXPECT_EQ(Bytes(pcm.begin(), pcm.begin() + 29952), b->Read(0, 29952));
    EXPECT_EQ(Bytes(32000 - 29952, 0), b->Read(29952, 32000 - 29952));
    sound.Term();
    EXPECT_EQ(FakeXa::opens, FakeXa::closes);
}

TEST_F(StreamTest, XaStreamEndsAtTheHeaderLengthWhenTheDecoderGivesMore)
{
    ScopedFakeXa fake;
    Bytes pcm = Noise16(8000 * 22, 1, 14);
    const uint32_t frames = 8000 * 21 + 77;  // the header claims less than the data holds
    FakeDirectSoundBuffer* b = LoadStream("over.xa", FakeXaFile(pcm, 1, 8000, frames));
    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 4 * b->bytes);
    EXPECT_EQ(5, sound.m_streamState);
    const size_t truth = frames * 2;
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + truth) == Bytes(pcm.begin(), pcm.begin() + truth));
    EXPECT_TRUE(AllSilence(p.played, truth));
}

TEST_F(StreamTest, XaStreamEndsWhenTheDecoderRunsDryBeforeTheHeaderLength)
{
    ScopedFakeXa fake;
    Bytes pcm = Noise16(8000 * 21, 1, 15);
    // The header promises far more frames than the data holds: the stream must still end.
    FakeDirectSoundBuffer* b = LoadStream("dry.xa", FakeXaFile(pcm, 1, 8000, 8000 * 600));
    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 240, pcm.size() + 6 * b->bytes);
    EXPECT_EQ(5, sound.m_streamState);
    EXPECT_TRUE(Bytes(p.played.begin(), p.played.begin() + pcm.size()) == pcm);
    EXPECT_TRUE(AllSilence(p.played, pcm.size()));
}

TEST_F(StreamTest, SourceCutWhileStreamingGoesOnWithTheSourcesOwnSilence)
{
    // An 8-bit file that Wine's converter turns into 16-bit PCM; the file loses its end while
    // the stream plays: what follows the cut must be silence, not the 8-bit silence byte
    // read as 16-bit samples.
    Bytes pcm8 = Tone8(16000 * 21, 1, 16000, 440, 20000);
    std::string path = TempPath("cut_while_streaming.wav");
    FakeDirectSoundBuffer* b = LoadStream("cut_while_streaming.wav", PcmWav(pcm8, 1, 16000, 8));
    const size_t cut = 16000 * 6;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    SetFilePointer(h, (LONG)(44 + cut), nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);

    ASSERT_EQ(0, sound.Play(0, 1));
    Playback p = PlayFrames(sound, b, 480, pcm8.size() * 4);
    EXPECT_EQ(5, sound.m_streamState);
    const size_t bytesPerSample = b->format.wBitsPerSample / 8;
    ASSERT_GT(p.played.size(), cut * bytesPerSample);
    for (size_t i = 0; i < cut; ++i) {
        int expected = bytesPerSample == 1 ? pcm8[i] : (int16_t)((pcm8[i] - 128) << 8);
        int got = bytesPerSample == 1 ? p.played[i] : (int16_t)(p.played[2 * i] | (p.played[2 * i + 1] << 8));
        if (expected != got) {
            ADD_FAILURE() << "sample " << i;
            break;
        }
    }
    EXPECT_TRUE(AllSilence(p.played, cut * bytesPerSample, bytesPerSample == 1 ? 0x80 : 0x00));
}

TEST_F(StreamTest, RefillFailuresWriteTheirLinesAndKeepTheRefillHalf)
{
    Bytes pcm = Noise16(8000 * 21, 1, 16);
    FakeDirectSoundBuffer* b = LoadStream("fail.wav", PcmWav(pcm, 1, 8000, 16));
    const DWORD size = b->bytes;
    ASSERT_EQ(0, sound.Play(0, 1));
    {
        DebugCapture capture;
        b->lockResult = DSERR_INVALIDCALL;
        b->SetPlayCursor(size / 2 + 10);
        EXPECT_EQ(1, sound.StreamPlay());
        EXPECT_EQ((Lines{"CDSBuffer::StreamUpdateWav LockError 0 16000 ", "HRESULT->DSERR_INVALIDCALL\n",
                         "CDSBuffer::StreamPlayWav [A]StreamUpdateError\n"}),
                  capture.Lines());
        EXPECT_EQ(0, sound.m_refillHalf);
        b->lockResult = DS_OK;
    }
    {
        DebugCapture capture;
        b->bufferLostLocks = 1;  // restored once, then locked again
        EXPECT_EQ(0, sound.StreamPlay());
        EXPECT_TRUE(capture.Lines().empty());
        EXPECT_EQ(1, b->restoreCalls);
        EXPECT_EQ(1, sound.m_refillHalf);
    }
    {
        DebugCapture capture;
        b->bufferLostLocks = 1;
        b->restoreResult = DSERR_BUFFERLOST;
        b->SetPlayCursor(100);
        EXPECT_EQ(1, sound.StreamPlay());
        EXPECT_EQ((Lines{"CDSBuffer::StreamUpdateWav BufferLost(Lock)\n", "CDSBuffer::StreamPlayWav [B]StreamUpdateError\n"}),
                  capture.Lines());
        EXPECT_EQ(1, sound.m_refillHalf);
        b->restoreResult = DS_OK;
    }
    {
        DebugCapture capture;
        b->getPositionResult = DSERR_INVALIDCALL;
        EXPECT_EQ(1, sound.StreamPlay());
        EXPECT_EQ(Lines{"CDSBuffer::StreamPlay GetCurrentPosError\n"}, capture.Lines());
        b->getPositionResult = DS_OK;
    }
    {
        DebugCapture capture;
        b->unlockResult = DSERR_INVALIDCALL;
        EXPECT_EQ(1, sound.StreamPlay());
        EXPECT_EQ((Lines{"CDSBuffer::StreamUpdateWav UnlockError\n", "CDSBuffer::StreamPlayWav [B]StreamUpdateError\n"}),
                  capture.Lines());
        b->unlockResult = DS_OK;
    }
}

TEST_F(StreamTest, XaRefillFailureMessagesAndHeaderReadError)
{
    ScopedFakeXa fake;
    Bytes pcm = Noise16(8000 * 21, 1, 17);
    std::string path = TempPath("xafail.xa");
    FakeDirectSoundBuffer* b = LoadStream("xafail.xa", FakeXaFile(pcm, 1, 8000, 8000 * 21));
    const DWORD size = b->bytes;
    ASSERT_EQ(0, sound.Play(0, 1));
    {
        DebugCapture capture;
        b->lockResult = DSERR_INVALIDPARAM;
        b->SetPlayCursor(size / 2 + 10);
        EXPECT_EQ(1, sound.StreamPlay());
        ASSERT_EQ(29952u, sound.m_writeCursor);  // count wraps: 15999 + 32000 - 29952
        EXPECT_EQ((Lines{"CDSBuffer::StreamUpdateXA LockError 29952 18047 ", "HRESULT->DSERR_INVALIDPARAM\n",
                         "CDSBuffer::StreamPlayXA [A]StreamUpdateError\n"}),
                  capture.Lines());
        b->lockResult = DS_OK;
    }
    {
        // A rewind of a stream whose file was cut below 32 bytes.
        DebugCapture capture;
        FILE* f = fopen(path.c_str(), "r+b");
        ASSERT_NE(nullptr, f);
        fclose(f);
        // The stream holds the file open for reading; cut it through a second handle.
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        SetFilePointer(h, 20, nullptr, FILE_BEGIN);
        SetEndOfFile(h);
        CloseHandle(h);
        EXPECT_EQ(1, sound.Rewind());
        EXPECT_EQ(Lines{"CDSBuffer::LoadXA HeaderReadError\n"}, capture.Lines());
        EXPECT_EQ(nullptr, sound.m_file);
    }
}

}  // namespace
