// CDSound and CDSBufferList against the fake DirectSound.
#include <gtest/gtest.h>

#include <ctype.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "fakes/FakeSound.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

namespace {

class CDSoundTest : public ::testing::Test {
protected:
    void SetUp() override { InstallFakeDirectSoundCreate(&ds); }
    void TearDown() override { InstallFakeDirectSoundCreate(nullptr); }
    FakeDirectSound ds;
    HWND window = reinterpret_cast<HWND>(0x1234);
};

TEST_F(CDSoundTest, InitHighQualityPlaysTwoSecondsOfSilenceAt44100Stereo)
{
    DebugCapture capture;
    CDSound sound;
    ASSERT_EQ(0, sound.Init(window, 1));
    EXPECT_EQ(window, ds.cooperativeWindow);
    EXPECT_EQ((DWORD)DSSCL_PRIORITY, ds.cooperativeLevel);

    ASSERT_EQ(2u, ds.buffers.size());
    FakeDirectSoundBuffer* primary = ds.buffers[0].get();
    EXPECT_TRUE(primary->primary);
    EXPECT_EQ(sizeof(DSBUFFERDESC), ds.requests[0].dwSize);
    EXPECT_EQ((DWORD)DSBCAPS_PRIMARYBUFFER, ds.requests[0].dwFlags);
    EXPECT_EQ(0u, ds.requests[0].dwBufferBytes);
    ASSERT_TRUE(primary->formatSet);
    EXPECT_EQ(WAVE_FORMAT_PCM, primary->format.wFormatTag);
    EXPECT_EQ(2, primary->format.nChannels);
    EXPECT_EQ(44100u, primary->format.nSamplesPerSec);
    EXPECT_EQ(16, primary->format.wBitsPerSample);
    EXPECT_EQ(4, primary->format.nBlockAlign);
    EXPECT_EQ(176400u, primary->format.nAvgBytesPerSec);
    EXPECT_EQ(0, primary->format.cbSize);

    FakeDirectSoundBuffer* silent = ds.buffers[1].get();
    EXPECT_EQ(0x180CAu, silent->flags);
    EXPECT_EQ(352800u, silent->bytes);
    EXPECT_EQ(0, memcmp(&silent->format, &primary->format, sizeof(WAVEFORMATEX)));
    EXPECT_EQ(std::vector<BYTE>(352800, 0x00), silent->memory);
    EXPECT_TRUE(silent->playing);
    EXPECT_EQ((DWORD)DSBPLAY_LOOPING, silent->playFlags);
    EXPECT_EQ((DWORD)DSBLOCK_ENTIREBUFFER, silent->locks.at(0).flags);
    EXPECT_EQ(0, silent->badUnlocks);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(CDSoundTest, InitLowQualityUses22050MonoEightBitAnd0x80Silence)
{
    CDSound sound;
    ASSERT_EQ(0, sound.Init(window, 0));
    FakeDirectSoundBuffer* silent = ds.buffers.at(1).get();
    EXPECT_EQ(1, silent->format.nChannels);
    EXPECT_EQ(22050u, silent->format.nSamplesPerSec);
    EXPECT_EQ(8, silent->format.wBitsPerSample);
    EXPECT_EQ(22050u, silent->format.nAvgBytesPerSec);
    EXPECT_EQ(std::vector<BYTE>(44100, 0x80), silent->memory);
}

TEST_F(CDSoundTest, InitReportsTheFailingStep)
{
    {
        ds.createObjectResult = DSERR_NODRIVER;
        CDSound sound;
        EXPECT_EQ(1, sound.Init(window, 1));
        EXPECT_EQ(nullptr, sound.m_directSound);
        ds.createObjectResult = DS_OK;
    }
    {
        // Refused cooperative level: no primary buffer, and Term releases only the device.
        ds.cooperativeResult = DSERR_INVALIDPARAM;
        CDSound sound;
        LONG before = ds.refCount;
        EXPECT_EQ(2, sound.Init(window, 1));
        EXPECT_EQ(nullptr, sound.m_primaryBuffer);
        EXPECT_EQ(before + 1, ds.refCount);
        EXPECT_EQ(0, sound.Term());
        EXPECT_EQ(before, ds.refCount);
        EXPECT_EQ(0, sound.Term());  // idempotent
        ds.cooperativeResult = DS_OK;
    }
    {
        ds.failPrimaryCreate = 1;
        CDSound sound;
        EXPECT_EQ(3, sound.Init(window, 1));
        ds.failPrimaryCreate = 0;
    }
    {
        ds.nextBufferSetFormatResult = DSERR_BADFORMAT;
        CDSound sound;
        EXPECT_EQ(4, sound.Init(window, 1));
        ds.nextBufferSetFormatResult = DS_OK;
    }
}

TEST_F(CDSoundTest, SilentBufferFailuresWriteTheirLines)
{
    {
        DebugCapture capture;
        CDSound sound;
        EXPECT_EQ(1, sound.CreateSilentBuffer(2));  // before Init: no message
        EXPECT_TRUE(capture.Lines().empty());
        EXPECT_EQ(1, sound.PlaySilentBuffer());
        EXPECT_EQ(1, sound.StopSilentBuffer());
        EXPECT_EQ(1, sound.Compact());
    }
    {
        DebugCapture capture;
        CDSound sound;
        ds.failCreateBuffers = 0;
        // The primary buffer is created; the silent buffer is refused.
        ds.maxBufferBytes = 1000;
        ds.createBufferFailure = DSERR_OUTOFMEMORY;
        EXPECT_EQ(5, sound.Init(window, 1));
        EXPECT_EQ((std::vector<std::string>{"HRESULT->DSERR_OUTOFMEMORY\n", "CDSound::CreateSilentBuffer CreateDSBError\n"}),
                  capture.Lines());
        ds.maxBufferBytes = 64u * 1024 * 1024;
    }
    {
        DebugCapture capture;
        CDSound sound;
        ASSERT_EQ(0, sound.Init(window, 1));
        capture.Clear();
        // Re-creation replaces the old buffer; a refused lock leaves the new one created.
        FakeDirectSoundBuffer* old = ds.LastBuffer();
        EXPECT_EQ(0, sound.CreateSilentBuffer(1));
        EXPECT_TRUE(old->Released());
        EXPECT_EQ(176400u, ds.LastBuffer()->bytes);
        EXPECT_EQ(0, sound.PlaySilentBuffer());
        ds.LastBuffer()->playResult = DSERR_INVALIDCALL;
        EXPECT_EQ(1, sound.PlaySilentBuffer());
        EXPECT_EQ(0, sound.StopSilentBuffer());
        EXPECT_EQ(0, sound.Compact());
        EXPECT_EQ(1, ds.compactCalls);
        ds.compactResult = DSERR_INVALIDCALL;
        EXPECT_EQ(1, sound.Compact());
        EXPECT_TRUE(capture.Lines().empty());
    }
}

TEST_F(CDSoundTest, SilentBufferLockAndUnlockErrors)
{
    DebugCapture capture;
    FakeDirectSound failing;
    InstallFakeDirectSoundCreate(&failing);
    {
        failing.onCreate = [](FakeDirectSoundBuffer& b) { b.lockResult = DSERR_INVALIDCALL; };
        CDSound sound;
        EXPECT_EQ(5, sound.Init(window, 1));
        EXPECT_EQ(std::vector<std::string>{"CDSound::CreateSilentBuffer LockError\n"}, capture.Lines());
        EXPECT_NE(nullptr, sound.m_silentBuffer);  // left created, not playing
        EXPECT_FALSE(failing.LastBuffer()->playing);
    }
    capture.Clear();
    {
        failing.onCreate = [](FakeDirectSoundBuffer& b) { b.unlockResult = DSERR_INVALIDCALL; };
        CDSound sound;
        EXPECT_EQ(5, sound.Init(window, 1));
        EXPECT_EQ(std::vector<std::string>{"CDSound::CreateSilentBuffer UnlockError\n"}, capture.Lines());
    }
    EXPECT_EQ(0, failing.LiveBuffers());
    InstallFakeDirectSoundCreate(&ds);
}

TEST_F(CDSoundTest, TermReleasesEverythingAndIsIdempotent)
{
    LONG deviceRefs = ds.refCount;
    {
        CDSound sound;
        ASSERT_EQ(0, sound.Init(window, 1));
        sound.GetList().AddTail(new CDSBuffer(sound.GetDirectSound()));
        EXPECT_EQ(0, sound.Term());
        EXPECT_EQ(nullptr, sound.m_silentBuffer);
        EXPECT_EQ(nullptr, sound.m_primaryBuffer);
        EXPECT_EQ(nullptr, sound.m_directSound);
        EXPECT_EQ(0, sound.GetList().m_count);
        EXPECT_EQ(0, ds.LiveBuffers());
        EXPECT_FALSE(ds.buffers[1]->playing);
        EXPECT_EQ(deviceRefs, ds.refCount);
        EXPECT_EQ(0, sound.Term());
    }  // the destructor runs Term once more
    EXPECT_EQ(deviceRefs, ds.refCount);
}

// A file's last-write time in 100 ns units, and setting it.
ULONGLONG WriteTime(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return ((ULONGLONG)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
}

void SetWriteTime(const std::string& path, ULONGLONG time)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME t = {(DWORD)time, (DWORD)(time >> 32)};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &t));
    CloseHandle(file);
}

TEST_F(CDSoundTest, AReloadKeepsOnlyTheSoundsWhoseFilesAreUnchanged)
{
    using namespace soundtest;
    CDSound sound;
    ASSERT_EQ(0, sound.Init(window, 1));
    const char* names[] = {"same.wav", "size.wav", "time.wav", "dropped.wav", "broken.wav"};
    std::vector<std::string> paths;
    std::vector<CDSBuffer*> loaded;
    for (const char* name : names) {
        paths.push_back(TempPath(name));
        ASSERT_TRUE(WriteBytes(paths.back(), PcmWav(ToBytes(Tone(4410, 2, 44100, 440, 0.5)), 2, 44100, 16)));
        CDSBuffer* buffer = new CDSBuffer(sound.GetDirectSound());
        buffer->SetFileName(paths.back().c_str());
        sound.GetList().AddTail(buffer);
        loaded.push_back(buffer);
    }
    ASSERT_TRUE(WriteBytes(paths[4], Bytes(100, 0)));  // no sound: its load fails
    for (CDSBuffer* buffer : loaded)
        buffer->LoadStamped(0);
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(nullptr, loaded[i]->m_soundBuffer) << names[i];
    ASSERT_EQ(nullptr, loaded[4]->m_soundBuffer);

    // Played, faded and paused like a chart's sound; then the files change.
    loaded[0]->Play(1, 7);
    loaded[0]->FadeOut();
    loaded[0]->UpdateFade();
    loaded[0]->Pause();
    ULONGLONG time = WriteTime(paths[1]);
    ASSERT_TRUE(WriteBytes(paths[1], PcmWav(ToBytes(Tone(8820, 2, 44100, 440, 0.5)), 2, 44100, 16)));
    SetWriteTime(paths[1], time);
    SetWriteTime(paths[2], WriteTime(paths[2]) + 10000000);  // one second later

    DebugCapture capture;
    sound.KeepBuffersForReload();
    EXPECT_EQ(0, sound.GetList().m_count);
    FakeDirectSoundBuffer* fake = static_cast<FakeDirectSoundBuffer*>(loaded[0]->m_soundBuffer);
    int live = ds.LiveBuffers();

    // The new chart names them (in another case), and one new file.
    std::string upper = paths[0];
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    CDSBuffer* kept = sound.TakeKeptBuffer(upper.c_str());
    ASSERT_EQ(loaded[0], kept);
    EXPECT_STREQ(upper.c_str(), kept->GetFileName());
    EXPECT_EQ(0, kept->m_pauseFlag);
    EXPECT_EQ(-1, kept->m_fadeCounter);
    EXPECT_EQ(0, kept->m_ownerTag);
    EXPECT_EQ(0, kept->m_loop);
    EXPECT_FALSE(fake->playing);
    EXPECT_EQ("SetVolume 0", LastPlaybackCall(*fake));
    EXPECT_EQ(0u, fake->playCursor);
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(paths[0].c_str()));  // taken once only
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(paths[1].c_str()));  // changed size
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(paths[2].c_str()));  // changed time
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(paths[4].c_str()));  // its load had failed
    EXPECT_EQ(live - 2, ds.LiveBuffers());  // the stale ones are freed before their files load again
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(TempPath("new.wav").c_str()));

    sound.GetList().AddTail(kept);
    EXPECT_EQ(0, sound.GetList().m_head->index);
    EXPECT_EQ(4, sound.DropKeptBuffers());  // dropped.wav (and the three above)
    EXPECT_EQ(live - 3, ds.LiveBuffers());
    EXPECT_EQ(std::vector<std::string>{"ReloadSounds kept=1 loaded=0 freed=4\n"}, capture.Lines());
    EXPECT_EQ(0, sound.DropKeptBuffers());
    EXPECT_EQ(nullptr, sound.TakeKeptBuffer(paths[0].c_str()));
}

// Records the order in which sounds are destroyed: a sound's Term releases its buffer.
static std::vector<int>* g_destroyed = nullptr;
class TaggedFakeBuffer : public FakeDirectSoundBuffer {
public:
    explicit TaggedFakeBuffer(int tag) : FakeDirectSoundBuffer(Desc()), m_tag(tag) {}
    STDMETHOD_(ULONG, Release)() override
    {
        g_destroyed->push_back(m_tag);
        return FakeDirectSoundBuffer::Release();
    }
    static DSBUFFERDESC Desc()
    {
        DSBUFFERDESC d;
        memset(&d, 0, sizeof(d));
        d.dwSize = sizeof(d);
        d.dwBufferBytes = 16;
        return d;
    }
    int m_tag;
};

static std::vector<std::unique_ptr<TaggedFakeBuffer>> g_taggedBuffers;

static CDSBuffer* TaggedSound(int tag)
{
    g_taggedBuffers.emplace_back(new TaggedFakeBuffer(tag));
    CDSBuffer* sound = new CDSBuffer(nullptr);
    sound->m_soundBuffer = g_taggedBuffers.back().get();
    return sound;
}

TEST(CDSBufferListTest, AddTailLinksAndIndexesNodes)
{
    CDSBufferList list;
    EXPECT_EQ(nullptr, list.m_head);
    list.RemoveAll();  // empty: nothing changes
    EXPECT_EQ(0, list.m_count);

    CDSBuffer* a = new CDSBuffer(nullptr);
    CDSBuffer* b = new CDSBuffer(nullptr);
    CDSBuffer* c = new CDSBuffer(nullptr);
    list.AddTail(a);
    list.AddTail(b);
    list.AddTail(c);
    ASSERT_EQ(3, list.m_count);
    CDSBufferNode* n = list.m_head;
    EXPECT_EQ(nullptr, n->previous);
    EXPECT_EQ(a, n->buffer);
    EXPECT_EQ(0, n->index);
    EXPECT_EQ(b, n->next->buffer);
    EXPECT_EQ(1, n->next->index);
    EXPECT_EQ(n, n->next->previous);
    EXPECT_EQ(list.m_tail, n->next->next);
    EXPECT_EQ(c, list.m_tail->buffer);
    EXPECT_EQ(2, list.m_tail->index);
    EXPECT_EQ(nullptr, list.m_tail->next);
}

TEST(CDSBufferListTest, RemoveAllDestroysTailFirstAndIndexesRestart)
{
    std::vector<int> destroyed;
    g_destroyed = &destroyed;
    CDSBufferList list;
    list.AddTail(TaggedSound(1));
    list.AddTail(TaggedSound(2));
    list.AddTail(TaggedSound(3));
    list.RemoveAll();
    EXPECT_EQ((std::vector<int>{3, 2, 1}), destroyed);
    EXPECT_EQ(nullptr, list.m_head);
    EXPECT_EQ(nullptr, list.m_tail);
    EXPECT_EQ(0, list.m_count);

    list.AddTail(TaggedSound(4));
    EXPECT_EQ(0, list.m_head->index);
    list.AddTail(TaggedSound(5));
    EXPECT_EQ(1, list.m_tail->index);
    destroyed.clear();
    {
        CDSound sound;  // a device's destructor empties its list the same way
        sound.GetList().AddTail(TaggedSound(6));
        sound.GetList().AddTail(TaggedSound(7));
    }
    EXPECT_EQ((std::vector<int>{7, 6}), destroyed);
    list.RemoveAll();
    g_destroyed = nullptr;
    g_taggedBuffers.clear();
}

}  // namespace
