#include <gtest/gtest.h>

#include <vector>

#include "app/Globals.h"
#include "fakes/FakeClock.h"
#include "fakes/RecordingDisplay.h"
#include "fakes/FakeSound.h"
#include "fakes/ShellState.h"
#include "score/Lanes.h"
#include "score/ScoreLayout.h"
#include "score/UpdateFrame.h"
#include "sound/CDSound.h"

using namespace ScoreLayout;

namespace {

LaneNote Note(int time, int kind, CDSBuffer* sound = nullptr, int fadeOnNext = 1, int value = 0)
{
    return LaneNote{time, kind, value, 0.0, sound, fadeOnNext, 1};
}

void SetLane(LaneNote*& lane, int32_t& count, int32_t& next, const std::vector<LaneNote>& notes)
{
    delete[] lane;
    lane = new LaneNote[notes.size()];
    for (size_t i = 0; i < notes.size(); ++i)
        lane[i] = notes[i];
    count = (int32_t)notes.size();
    next = 0;
}

#define DRUM(n) g_drumLanes[n], g_drumLaneCounts[n], g_drumNextIndex[n]
#define GUITAR(n) g_guitarLanes[n], g_guitarLaneCounts[n], g_guitarNextIndex[n]
#define BASS(n) g_bassLanes[n], g_bassLaneCounts[n], g_bassNextIndex[n]
#define SOUND(n) g_soundLanes[n], g_soundLaneCounts[n], g_soundNextIndex[n]

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeLaneArrays();
        ResetLanes();
        display = new RecordingDisplay();
        g_display = display;
        g_sound = new CDSound();
        ResetShellGlobals();
        g_scrollSpeed = 1.0f;
        g_chartEndTime = 10000000;
    }
    void TearDown() override
    {
        FreeLaneArrays();
        ResetLanes();
        delete g_sound;
        g_sound = nullptr;
        g_display = nullptr;
        delete display;
        g_scrollSpeed = 0.5f;
        g_playTime = -1;
    }
    // One frame with the clock standing at chart time t.
    void FrameAt(int t)
    {
        g_isPlaying = 0;
        g_playTime = t;
        display->calls.clear();
        UpdateFrame();
    }
    CDSBuffer* AddSound(FakeDirectSoundBuffer** fake)
    {
        CDSBuffer* s = NewRecordedSound(device, fake);
        g_sound->GetList().AddTail(s);
        return s;
    }
    static std::vector<std::pair<int, int>> Places(const std::vector<DrawCall>& calls)
    {
        std::vector<std::pair<int, int>> out;
        for (const DrawCall& c : calls)
            out.push_back({c.x, c.y});
        return out;
    }

    FakeClock clock{100000};
    FakeDirectSound device;  // owns the fake sound buffers; outlives g_sound (deleted in TearDown)
    RecordingDisplay* display = nullptr;
};

using Places_t = std::vector<std::pair<int, int>>;

TEST_F(FrameTest, ChipsOneSecondAheadAtSpeedOne)
{
    SetLane(DRUM(1), {Note(6000, 1)});
    SetLane(GUITAR(4), {Note(6000, 4)});
    SetLane(SOUND(1), {Note(6000, 1)});
    FrameAt(5000);

    ASSERT_FALSE(display->calls.empty());
    const DrawCall& first = display->calls[0];  // the background covers everything first
    EXPECT_TRUE(first.wholeSheet);
    EXPECT_EQ(1, first.sheet);
    EXPECT_EQ(0, first.x);
    EXPECT_EQ(0, first.y);

    EXPECT_EQ((Places_t{{22, 145}}), Places(display->CallsOf(kDrumChips[1])));
    EXPECT_EQ((Places_t{{112, 110}}), Places(display->CallsOf(kChordBit4Chip)));
    EXPECT_EQ((Places_t{{220, 205}}), Places(display->CallsOf(kSoundChipA)));
    EXPECT_EQ(160, g_drumPixelsPerSecond);
    EXPECT_EQ(100, g_stringPixelsPerSecond);
    EXPECT_EQ(100, g_soundPixelsPerSecond);
}

TEST_F(FrameTest, RatesAreTruncated)
{
    g_scrollSpeed = 0.7f;  // held slightly below 0.7
    FrameAt(0);
    EXPECT_EQ(111, g_drumPixelsPerSecond);
    EXPECT_EQ(69, g_stringPixelsPerSecond);
    EXPECT_EQ(69, g_soundPixelsPerSecond);
    g_scrollSpeed = 0.5f;
    FrameAt(0);
    EXPECT_EQ(80, g_drumPixelsPerSecond);
    EXPECT_EQ(50, g_stringPixelsPerSecond);
}

TEST_F(FrameTest, ChordAndWChips)
{
    SetLane(GUITAR(5), {Note(5500, 5)});  // y 60
    SetLane(GUITAR(0), {Note(5600, 0)});  // y 70
    SetLane(GUITAR(8), {Note(5700, 8)});  // y 80
    SetLane(BASS(7), {Note(5500, 7)});
    SetLane(BASS(0), {Note(5600, 0)});
    FrameAt(5000);
    EXPECT_EQ((Places_t{{112, 60}, {156, 60}}), Places(display->CallsOf(kChordBit4Chip)));
    EXPECT_EQ((Places_t{{166, 60}}), Places(display->CallsOf(kChordBit2Chip)));
    EXPECT_EQ((Places_t{{132, 60}, {176, 60}}), Places(display->CallsOf(kChordBit1Chip)));
    EXPECT_EQ((Places_t{{112, 70}, {156, 70}}), Places(display->CallsOf(kOpenChip)));
    EXPECT_EQ((Places_t{{142, 80}}), Places(display->CallsOf(kWChip)));
    for (const DrawCall& c : display->calls)
        EXPECT_FALSE(c.keyed) << "chips are drawn opaque";
}

TEST_F(FrameTest, SoundLaneColumns)
{
    for (int n : {9, 10, 16, 26, 32})
        SetLane(SOUND(n), {Note(5500, n)});  // y 255
    FrameAt(5000);
    EXPECT_EQ((Places_t{{300, 255}, {310, 255}, {410, 255}}), Places(display->CallsOf(kSoundChipA)));
    EXPECT_EQ((Places_t{{420, 255}, {420, 255}}), Places(display->CallsOf(kSoundChipB)));
}

TEST_F(FrameTest, VisibilityBoundsAndStops)
{
    // Each lane ends with an entry that would be visible if the scan had not stopped before it.
    // Drum: y = 305 - 1907 x 160 / 1000 = 0 (drawn); 1913 ms ahead gives -1: not drawn, stop.
    SetLane(DRUM(2), {Note(6907, 2), Note(6913, 2), Note(6000, 2)});
    // Guitar: y = 10 + ahead / 10: 315 drawn, 316 not drawn but no stop, 317 stop.
    SetLane(GUITAR(1), {Note(8050, 1), Note(8060, 1), Note(8070, 1), Note(5500, 1)});
    // Sound: y = 305 - ahead / 10: 5 and 0 drawn, -1 not drawn, stop.
    SetLane(SOUND(3), {Note(8000, 3), Note(8050, 3), Note(8060, 3), Note(5500, 3)});
    FrameAt(5000);
    EXPECT_EQ((Places_t{{32, 0}}), Places(display->CallsOf(kDrumChips[2])));
    EXPECT_EQ((Places_t{{132, 315}}), Places(display->CallsOf(kChordBit1Chip)));
    EXPECT_EQ((Places_t{{240, 5}, {240, 0}}), Places(display->CallsOf(kSoundChipA)));
}

TEST_F(FrameTest, FarNotesAtTopSpeedDoNotWrapAround)
{
    g_scrollSpeed = 8.0f;  // drum 1280, guitar 800 pixels per second
    const int t = 100000;
    // 3355443 ms ahead: x 1280 is 4294967040, which a 32-bit product wraps to -256 (y 305).
    SetLane(DRUM(1), {Note(t + 3355443, 1)});
    // 3000000 ms ahead: x 800 wraps to a negative value, which would mark the line done.
    SetLane(GUITAR(9), {Note(t + 3000000, 100)});
    // 5368710 ms ahead: x 800 wraps to 704 (y 10).
    SetLane(GUITAR(2), {Note(t + 5368710, 2)});
    FrameAt(t);
    EXPECT_TRUE(display->CallsOf(kDrumChips[1]).empty());
    EXPECT_TRUE(display->CallsOf(kStringMeasureLine).empty());
    EXPECT_TRUE(display->CallsOf(kChordBit2Chip).empty());
    EXPECT_EQ(1, g_guitarLanes[9][0].pending);
    EXPECT_EQ(0, g_guitarNextIndex[9]);
    EXPECT_EQ(1, g_drumLanes[1][0].pending);
}

TEST_F(FrameTest, MeasureNumbersAndRulers)
{
    // Drum ruler at t: measure 7 at the judge line, measure 1234 500 ms ahead (y 225), a beat line.
    SetLane(DRUM(8), {Note(5000, 100, nullptr, 1, 7), Note(5250, 101), Note(5500, 100, nullptr, 1, 1234)});
    // Guitar ruler: measures 0..11 long gone, measure 12 500 ms ahead (y 60).
    std::vector<LaneNote> lines;
    for (int i = 0; i < 12; ++i)
        lines.push_back(Note(i * 10, 100));
    lines.push_back(Note(5500, 100));
    SetLane(GUITAR(9), lines);
    SetLane(BASS(9), {Note(5000, 100)});  // measure 0 at y 10
    FrameAt(5000);

    EXPECT_EQ((Places_t{{22, 305}, {22, 225}}), Places(display->CallsOf(kDrumMeasureLine)));
    EXPECT_EQ((Places_t{{22, 265}}), Places(display->CallsOf(kDrumBeatLine)));
    for (const DrawCall& c : display->CallsOf(kDrumMeasureLine))
        EXPECT_TRUE(c.keyed);
    EXPECT_EQ((Places_t{{15, 305}}), Places(display->CallsOf(kDigits[7])));
    EXPECT_EQ((Places_t{{0, 225}, {102, 60}}), Places(display->CallsOf(kDigits[1])));
    EXPECT_EQ((Places_t{{5, 225}, {107, 60}}), Places(display->CallsOf(kDigits[2])));
    EXPECT_EQ((Places_t{{10, 225}}), Places(display->CallsOf(kDigits[3])));
    EXPECT_EQ((Places_t{{15, 225}}), Places(display->CallsOf(kDigits[4])));
    EXPECT_EQ((Places_t{{215, 10}}), Places(display->CallsOf(kDigits[0])));
    EXPECT_EQ((Places_t{{112, 60}, {156, 10}}), Places(display->CallsOf(kStringMeasureLine)));
    // The guitar lines that scrolled out are done and the scan starts at the last of them.
    EXPECT_EQ(0, g_guitarLanes[9][11].pending);
    EXPECT_EQ(11, g_guitarNextIndex[9]);
    EXPECT_EQ(1, g_guitarLanes[9][12].pending);
}

TEST_F(FrameTest, DrumRulerBounds)
{
    // y 321 (done), 317 (kept, not drawn), 313 (line without digits), 311 (line with digits).
    SetLane(DRUM(8), {Note(4900, 100, nullptr, 1, 1), Note(4925, 101), Note(4950, 100, nullptr, 1, 3),
                      Note(4962, 100, nullptr, 1, 5)});
    FrameAt(5000);
    EXPECT_EQ(0, g_drumLanes[8][0].pending);
    EXPECT_EQ(1, g_drumLanes[8][1].pending);
    EXPECT_EQ(0, g_drumNextIndex[8]);
    EXPECT_EQ((Places_t{{22, 313}, {22, 311}}), Places(display->CallsOf(kDrumMeasureLine)));
    EXPECT_TRUE(display->CallsOf(kDrumBeatLine).empty());
    EXPECT_TRUE(display->CallsOf(kDigits[3]).empty());
    EXPECT_EQ((Places_t{{15, 311}}), Places(display->CallsOf(kDigits[5])));
}

TEST_F(FrameTest, NoteExactlyAtTheTimeSoundsAndIsNotDrawn)
{
    FakeDirectSoundBuffer* fake;
    CDSBuffer* kick = AddSound(&fake);
    SetLane(DRUM(3), {Note(5000, 3, kick), Note(5200, 3)});
    FrameAt(5000);
    EXPECT_EQ("Stop, Stop, SetCurrentPosition 0, SetVolume 0, Play 0 0 0", PlaybackCalls(*fake));
    EXPECT_EQ(503, kick->m_ownerTag);
    EXPECT_EQ(0, g_drumLanes[3][0].pending);
    EXPECT_EQ(&g_drumLanes[3][0], g_drumLastPlayed[3]);
    EXPECT_EQ((Places_t{{42, 273}}), Places(display->CallsOf(kDrumChips[3])));

    fake->calls.clear();
    FrameAt(5100);  // nothing new comes due
    EXPECT_EQ("", PlaybackCalls(*fake));
}

TEST_F(FrameTest, WEntriesNeverSound)
{
    FakeDirectSoundBuffer* fake;
    CDSBuffer* s = AddSound(&fake);
    SetLane(GUITAR(1), {Note(4000, 1, s)});
    SetLane(GUITAR(8), {Note(5000, 8)});
    FrameAt(4000);
    LaneNote* chord = g_guitarLastPlayed;
    ASSERT_EQ(&g_guitarLanes[1][0], chord);
    FrameAt(5000);
    EXPECT_EQ(0, g_guitarLanes[8][0].pending);
    EXPECT_EQ(chord, g_guitarLastPlayed);
    EXPECT_EQ(-1, s->m_fadeCounter);
    EXPECT_EQ(100, s->m_ownerTag);
}

TEST_F(FrameTest, FadeRules)
{
    FakeDirectSoundBuffer *fa, *fb;
    CDSBuffer* a = AddSound(&fa);
    CDSBuffer* b = AddSound(&fb);

    // The next note of the lane fades the previous, different sound of the same owner.
    SetLane(DRUM(2), {Note(1000, 2, a), Note(2000, 2, b), Note(3000, 2, b), Note(4000, 2, nullptr)});
    FrameAt(1000);
    EXPECT_EQ(502, a->m_ownerTag);
    FrameAt(2000);
    EXPECT_EQ(4, a->m_fadeCounter);  // FadeOut (5), then this frame's fade step
    EXPECT_EQ("SetVolume 0", LastPlaybackCall(*fa));
    EXPECT_EQ(-1, b->m_fadeCounter);
    FrameAt(3000);  // the same buffer again: restarted, not faded
    EXPECT_EQ(-1, b->m_fadeCounter);
    EXPECT_EQ("Play 0 0 0", LastPlaybackCall(*fb));
    FrameAt(4000);  // an entry without a sound still fades the previous one
    EXPECT_EQ(4, b->m_fadeCounter);
}

TEST_F(FrameTest, NoFadeInsideSpansOrAfterAnotherLaneReplayed)
{
    FakeDirectSoundBuffer *fa, *fb;
    CDSBuffer* a = AddSound(&fa);
    CDSBuffer* b = AddSound(&fb);
    SetLane(DRUM(2), {Note(1000, 2, a, 0), Note(2000, 2, b)});  // first one inside a span
    FrameAt(1000);
    FrameAt(2000);
    EXPECT_EQ(-1, a->m_fadeCounter);

    FreeLaneArrays();
    ResetLanes();
    SetLane(DRUM(2), {Note(1000, 2, a), Note(2000, 2, b)});
    SetLane(SOUND(5), {Note(1500, 5, a)});  // sound lane 5 replays a: it is no longer the drum's
    FrameAt(1000);
    FrameAt(1500);
    EXPECT_EQ(1005, a->m_ownerTag);
    FrameAt(2000);
    EXPECT_EQ(-1, a->m_fadeCounter);
}

TEST_F(FrameTest, GuitarFadesAcrossItsLanes)
{
    FakeDirectSoundBuffer *fa, *fb;
    CDSBuffer* a = AddSound(&fa);
    CDSBuffer* b = AddSound(&fb);
    SetLane(GUITAR(4), {Note(1000, 4, a)});
    SetLane(GUITAR(1), {Note(2000, 1, b)});
    SetLane(BASS(4), {Note(1500, 4, b)});
    FrameAt(1000);
    EXPECT_EQ(100, a->m_ownerTag);
    FrameAt(1500);
    EXPECT_EQ(200, b->m_ownerTag);
    EXPECT_EQ(-1, a->m_fadeCounter);  // the bass has its own sounded-last entry
    FrameAt(2000);
    EXPECT_EQ(4, a->m_fadeCounter);
}

TEST_F(FrameTest, TimeOfTheFrame)
{
    g_seekBaseTime = 1500;
    g_isPlaying = 1;
    g_playStartTime = (int)clock.Now() - 250;
    UpdateFrame();
    EXPECT_EQ(1750, g_playTime);

    g_isPlaying = 0;
    clock.Advance(1000);
    UpdateFrame();
    EXPECT_EQ(1750, g_playTime);  // the picture stands still
    g_playTime = -1;
    UpdateFrame();
    EXPECT_EQ(1500, g_playTime);
}

TEST_F(FrameTest, EndOfChartWaitsForRingingSounds)
{
    FakeDirectSoundBuffer* fake;
    AddSound(&fake);
    fake->playing = true;
    SetLane(DRUM(8), {Note(1500, 100, nullptr, 1, 0), Note(3500, 100, nullptr, 1, 1)});
    SetLane(DRUM(1), {Note(2000, 1), Note(4000, 1)});
    g_startMeasure = 1;
    g_chartEndTime = 5500;
    g_isPlaying = 1;
    g_userPaused = 0;
    g_seekBaseTime = 1500;
    g_playStartTime = (int)clock.Now() - 4500;  // t = 6000
    UpdateFrame();
    EXPECT_EQ(1, g_isPlaying);
    EXPECT_EQ(0, g_drumLanes[1][1].pending);

    fake->playing = false;
    clock.Advance(16);
    UpdateFrame();
    EXPECT_EQ(0, g_isPlaying);
    EXPECT_EQ(1, g_userPaused);
    EXPECT_EQ((int)clock.Now(), g_pauseStartTime);
    EXPECT_EQ((int)clock.Now(), g_playStartTime);
    EXPECT_EQ(-1, g_playTime);
    EXPECT_EQ(3500, g_seekBaseTime);  // back at the start measure
    EXPECT_EQ(0, g_drumLanes[1][0].pending);  // before the start measure
    EXPECT_EQ(1, g_drumLanes[1][1].pending);  // rearmed
    UpdateFrame();
    EXPECT_EQ(3500, g_playTime);
}

TEST_F(FrameTest, ServicesTheFadeOfEveryListedSound)
{
    FakeDirectSoundBuffer *fa, *fb;
    CDSBuffer* a = AddSound(&fa);
    CDSBuffer* b = AddSound(&fb);
    a->FadeOut();
    b->FadeOut();
    for (int i = 0; i < 6; ++i)
        FrameAt(0);
    EXPECT_EQ("SetVolume 0, SetVolume -2000, SetVolume -4000, SetVolume -6000, SetVolume -8000, SetVolume -10000, Stop",
              PlaybackCalls(*fa));
    EXPECT_EQ(PlaybackCalls(*fa), PlaybackCalls(*fb));
}

TEST_F(FrameTest, WorksWithoutDisplayOrSound)
{
    SetLane(DRUM(1), {Note(1000, 1)});
    g_display = nullptr;
    delete g_sound;
    g_sound = nullptr;
    FrameAt(1000);
    EXPECT_EQ(0, g_drumLanes[1][0].pending);
    g_display = display;
}

}  // namespace
