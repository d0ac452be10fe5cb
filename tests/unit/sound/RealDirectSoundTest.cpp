// The sound subsystem on Wine's real DirectSound and ACM (on the private ALSA device that the
// test runner sets up): device start in both qualities, generated WAV files of every kind in
// their buffers, and sounds that play and stop by themselves. Waits are bounded polls.
#include <gtest/gtest.h>

#include <string.h>

#include "SoundTestUtil.h"
#include "fakes/DebugCapture.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using namespace soundtest;

namespace {

HWND TestWindow()
{
    static HWND window = nullptr;
    if (!window) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KtbSoundTestWindow";
        RegisterClassA(&wc);
        window = CreateWindowA("KtbSoundTestWindow", "sound test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                               nullptr, wc.hInstance, nullptr);
    }
    return window;
}

void PumpAndSleep(DWORD ms)
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    Sleep(ms);
}

class RealSoundTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetXaDecoderForTest(nullptr);
        ASSERT_NE(nullptr, TestWindow());
        ASSERT_EQ(0, device.Init(TestWindow(), 1)) << "no DirectSound device";
    }
    CDSound device;

    CDSBuffer* Load(const std::string& name, const Bytes& file, int allowStream = 0)
    {
        std::string path = TempPath(name);
        EXPECT_TRUE(WriteBytes(path, file));
        CDSBuffer* sound = new CDSBuffer(device.GetDirectSound());
        device.GetList().AddTail(sound);
        sound->SetFileName(path.c_str());
        EXPECT_EQ(0, sound->Load(allowStream)) << name;
        return sound;
    }
};

TEST(RealDeviceTest, InitInBothQualitiesPlaysTheSilentBuffer)
{
    ASSERT_NE(nullptr, TestWindow());
    for (int quality : {1, 0}) {
        SCOPED_TRACE(quality);
        CDSound device;
        ASSERT_EQ(0, device.Init(TestWindow(), quality));
        DWORD status = 0;
        ASSERT_EQ(DS_OK, device.m_silentBuffer->GetStatus(&status));
        EXPECT_TRUE(status & DSBSTATUS_PLAYING);
        EXPECT_TRUE(status & DSBSTATUS_LOOPING);
        WAVEFORMATEX format;
        memset(&format, 0, sizeof(format));
        ASSERT_EQ(DS_OK, device.m_silentBuffer->GetFormat(&format, sizeof(format), nullptr));
        EXPECT_EQ(quality ? 2 : 1, format.nChannels);
        EXPECT_EQ(quality ? 44100u : 22050u, format.nSamplesPerSec);
        EXPECT_EQ(quality ? 16 : 8, format.wBitsPerSample);
        DSBCAPS caps;
        memset(&caps, 0, sizeof(caps));
        caps.dwSize = sizeof(caps);
        ASSERT_EQ(DS_OK, device.m_silentBuffer->GetCaps(&caps));
        EXPECT_EQ(quality ? 352800u : 44100u, caps.dwBufferBytes);
        EXPECT_EQ(0, device.Compact());
        EXPECT_EQ(0, device.Term());
        EXPECT_EQ(0, device.Term());
    }
}

// The start of a sound buffer's memory.
Bytes BufferBytes(IDirectSoundBuffer* buffer, DWORD count)
{
    void* p = nullptr;
    DWORD n = 0;
    Bytes out;
    if (FAILED(buffer->Lock(0, 0, &p, &n, nullptr, nullptr, DSBLOCK_ENTIREBUFFER)))
        return out;
    out.assign(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + (count < n ? count : n));
    buffer->Unlock(p, n, nullptr, 0);
    return out;
}

struct Expected {
    WORD channels;
    DWORD rate;
    Bytes pcm16;  // the sound as 16-bit PCM
    Bytes pcm8;   // the sound as 8-bit PCM, when the file is 8-bit
};

TEST_F(RealSoundTest, GeneratedWavFilesLoadWithTheirFormatAndSamples)
{
    struct Item {
        std::string name;
        Bytes file;
        Expected expected;
    };
    std::vector<Item> items;
    auto widen = [](const Bytes& pcm8) {
        std::vector<int16_t> wide;
        for (uint8_t v : pcm8)
            wide.push_back((int16_t)((v - 128) << 8));
        return ToBytes(wide);
    };
    {
        Bytes pcm = Tone8(11025, 1, 22050, 440, 20000);
        items.push_back({"pcm8_mono.wav", PcmWav(pcm, 1, 22050, 8, false), {1, 22050, widen(pcm), pcm}});
    }
    {
        Bytes pcm = Tone8(4000, 2, 8000, 300, 15000);
        items.push_back({"pcm8_stereo.wav", PcmWav(pcm, 2, 8000, 8, false), {2, 8000, widen(pcm), pcm}});
    }
    {
        Bytes pcm = ToBytes(Tone(22050, 2, 44100, 440, 12000));
        items.push_back({"pcm16_stereo.wav", PcmWav(pcm, 2, 44100, 16, false), {2, 44100, pcm, {}}});
    }
    {
        Bytes pcm = ToBytes(Tone(5000, 1, 11025, 660, 12000));
        items.push_back({"pcm16_mono_fmt16.wav", PcmWav(pcm, 1, 11025, 16, true), {1, 11025, pcm, {}}});
    }
    {
        Encoded e = ImaAdpcmWav(Tone(22050, 2, 44100, 440, 10000), 2, 44100);
        items.push_back({"ima_stereo.wav", e.wav, {2, 44100, ToBytes(e.decoded), {}}});
    }
    {
        Encoded e = ImaAdpcmWav(Tone(11025, 1, 22050, 440, 10000), 1, 22050);
        items.push_back({"ima_mono.wav", e.wav, {1, 22050, ToBytes(e.decoded), {}}});
    }
    {
        Encoded e = MsAdpcmWav(Tone(11025, 1, 22050, 440, 10000), 1, 22050);
        items.push_back({"msadpcm_mono.wav", e.wav, {1, 22050, ToBytes(e.decoded), {}}});
    }
    {
        Encoded e = MsAdpcmWav(Tone(5512, 2, 11025, 440, 10000), 2, 11025);
        items.push_back({"msadpcm_stereo.wav", e.wav, {2, 11025, ToBytes(e.decoded), {}}});
    }

    DebugCapture capture;
    for (const Item& item : items) {
        SCOPED_TRACE(item.name);
        CDSBuffer* sound = Load(item.name, item.file);
        ASSERT_NE(nullptr, sound->m_soundBuffer);
        WAVEFORMATEX format;
        memset(&format, 0, sizeof(format));
        ASSERT_EQ(DS_OK, sound->m_soundBuffer->GetFormat(&format, sizeof(format), nullptr));
        EXPECT_EQ(WAVE_FORMAT_PCM, format.wFormatTag);
        EXPECT_EQ(item.expected.channels, format.nChannels);
        EXPECT_EQ(item.expected.rate, format.nSamplesPerSec);
        const Bytes& want = format.wBitsPerSample == 8 ? item.expected.pcm8 : item.expected.pcm16;
        ASSERT_FALSE(want.empty()) << "unexpected bits " << format.wBitsPerSample;
        EXPECT_TRUE(BufferBytes(sound->m_soundBuffer, (DWORD)want.size()) == want);
        EXPECT_GE(sound->m_bufferBytes, want.size());
    }
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(RealSoundTest, StaticSoundPlaysAndStopsByItself)
{
    CDSBuffer* sound = Load("short_tone.wav", PcmWav(ToBytes(Tone(13230, 2, 44100, 880, 8000)), 2, 44100, 16));
    ASSERT_EQ(0, sound->Play(0, 1));
    EXPECT_EQ(1, sound->IsPlaying());
    for (int i = 0; i < 500 && sound->IsPlaying(); ++i)  // at most 10 s
        PumpAndSleep(20);
    EXPECT_EQ(0, sound->IsPlaying());

    // Stop, Rewind, Play starts it again; a fade stops it.
    ASSERT_EQ(0, sound->Stop());
    ASSERT_EQ(0, sound->Rewind());
    ASSERT_EQ(0, sound->Play(1, 2));
    EXPECT_EQ(1, sound->IsPlaying());
    sound->FadeOut();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(0, sound->UpdateFade());
    EXPECT_EQ(0, sound->IsPlaying());
}

TEST_F(RealSoundTest, StreamedWavAndXaPlayToTheirEndAndStop)
{
    DebugCapture capture;
    const uint32_t rate = 22050;
    const uint32_t frames = rate * 25;
    std::vector<int16_t> tone = Tone(frames, 2, rate, 330, 6000);
    std::string wavPath = TempPath("stream25.wav");
    ASSERT_TRUE(WriteBytes(wavPath, PcmWav(ToBytes(tone), 2, rate, 16)));
    std::vector<CDSBuffer*> sounds;
    sounds.push_back(Load("stream25_copy.wav", PcmWav(ToBytes(tone), 2, rate, 16), 1));

    // The XA file, when the build has the encoder and the library.
    char exe[MAX_PATH];
    std::string dir(exe, GetModuleFileNameA(nullptr, exe, sizeof(exe)));
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
    std::string xaPath = TempPath("stream25.xa");
    std::string cmd = "\"" + dir + "xaenc.exe\" \"" + wavPath + "\" \"" + xaPath + "\"";
    bool haveXa = false;
    if (XaDecoderAvailable() && GetFileAttributesA((dir + "xaenc.exe").c_str()) != INVALID_FILE_ATTRIBUTES) {
        STARTUPINFOA si;
        memset(&si, 0, sizeof(si));
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back('\0');
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 60000);
            DWORD code = 1;
            GetExitCodeProcess(pi.hProcess, &code);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
            haveXa = code == 0;
        }
    }
    if (haveXa) {
        CDSBuffer* xa = new CDSBuffer(device.GetDirectSound());
        device.GetList().AddTail(xa);
        xa->SetFileName(xaPath.c_str());
        EXPECT_EQ(0, xa->Load(1));
        EXPECT_EQ(2, xa->m_kind);
        sounds.push_back(xa);
    }
    for (CDSBuffer* sound : sounds) {
        ASSERT_EQ(1, sound->m_streaming);
        ASSERT_EQ(0, sound->Play(0, 1));
    }
    // About 25 s of sound: serve the streams every 15 ms for at most 60 s.
    DWORD start = GetTickCount();
    bool anyPlaying = true;
    while (anyPlaying && GetTickCount() - start < 60000) {
        anyPlaying = false;
        for (CDSBuffer* sound : sounds) {
            sound->UpdateFade();
            sound->StreamPlay();
            anyPlaying = anyPlaying || sound->IsPlaying();
        }
        PumpAndSleep(15);
    }
    for (CDSBuffer* sound : sounds) {
        EXPECT_EQ(0, sound->IsPlaying());
        EXPECT_EQ(5, sound->m_streamState);
    }
    EXPECT_TRUE(capture.Lines().empty());
    if (!haveXa)
        GTEST_SKIP() << "XA part skipped: xadec.dll or xaenc.exe not built";
}

}  // namespace
