// Shared set-up for the clock and window-message tests: a fake clock, a sound device without
// DirectSound holding recorded sounds, and a small chart's lanes built by hand.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "app/Globals.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeSound.h"
#include "fakes/ShellState.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeLaneArrays();
        ResetLanes();
        ResetShellGlobals();
        g_chartEndTime = 9500;
        g_display = nullptr;
        g_sound = new CDSound();
        sound = NewRecordedSound(device, &fake);
        g_sound->GetList().AddTail(sound);

        // Measures 0..3 start at 1500, 3500, 5500, 7500; drum notes at 2000, 4000, 6000.
        SetLane(g_drumLanes[8], g_drumLaneCounts[8],
                {Line(1500, 0), Line(3500, 1), Line(5500, 2), Line(7500, 3)});
        SetLane(g_drumLanes[1], g_drumLaneCounts[1], {Chip(2000), Chip(4000), Chip(6000)});
        SeekToMeasure(g_startMeasure);
        DrainQuit();
    }
    void TearDown() override
    {
        FreeLaneArrays();
        ResetLanes();
        delete g_sound;
        g_sound = nullptr;
        g_remoteDisabled = 0;
        g_scrollSpeed = 0.5f;
        g_startMeasure = -1;
        DrainQuit();
    }

    static LaneNote Line(int time, int measure) { return LaneNote{time, 100, measure, 0.0, nullptr, 1, 1}; }
    static LaneNote Chip(int time) { return LaneNote{time, 1, 0, 0.0, nullptr, 1, 1}; }
    static void SetLane(LaneNote*& lane, int32_t& count, const std::vector<LaneNote>& notes)
    {
        lane = new LaneNote[notes.size()];
        for (size_t i = 0; i < notes.size(); ++i)
            lane[i] = notes[i];
        count = (int32_t)notes.size();
    }
    // Playing since the clock's current time, from chart time g_seekBaseTime.
    void StartPlaying()
    {
        g_isPlaying = 1;
        g_userPaused = 0;
        g_pauseStartTime = 0;
        g_playStartTime = (int)clock.Now();
    }
    static bool TakeQuit()
    {
        MSG msg;
        return PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    }
    static void DrainQuit()
    {
        while (TakeQuit()) {
        }
    }
    int State() const { return ClockState(); }  // 0 Idle, 1 Playing, 2 User pause, 3 System pause, -1 other

    FakeClock clock{100000};
    FakeDirectSound device;  // owns the fake sound buffers; outlives g_sound (deleted in TearDown)
    CDSBuffer* sound = nullptr;
    FakeDirectSoundBuffer* fake = nullptr;
};

enum { kIdle = 0, kPlaying = 1, kUserPause = 2, kSystemPause = 3 };
