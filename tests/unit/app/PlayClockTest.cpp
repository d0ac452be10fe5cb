#include "ShellFixture.h"
#include "app/PlayClock.h"
#include "app/WndProc.h"
#include "score/UpdateFrame.h"

namespace {

LRESULT Key(WPARAM key) { return MainWndProc(nullptr, WM_KEYDOWN, key, 0); }

TEST_F(ShellTest, PauseOfThreeSecondsMovesTheStartBy3000)
{
    StartPlaying();
    fake->playing = true;
    clock.Advance(500);
    PausePlay(1);
    EXPECT_EQ(kUserPause, State());
    EXPECT_EQ(100500, g_pauseStartTime);
    EXPECT_FALSE(fake->playing);
    EXPECT_EQ(1, sound->m_pauseFlag);

    clock.Advance(3000);
    ResumePlay(1);
    EXPECT_EQ(kPlaying, State());
    EXPECT_EQ(103000, g_playStartTime);
    EXPECT_TRUE(fake->playing);  // the sound that played goes on
    EXPECT_EQ(0, sound->m_pauseFlag);
    UpdateFrame();
    EXPECT_EQ(g_seekBaseTime + 500, g_playTime);  // the chart time continues where it stopped
}

TEST_F(ShellTest, UserAndSystemPausesKeepApart)
{
    StartPlaying();
    PausePlay(0);
    EXPECT_EQ(kSystemPause, State());
    ResumePlay(1);  // the user cannot end a pause the window made
    EXPECT_EQ(kSystemPause, State());
    ResumePlay(0);
    EXPECT_EQ(kPlaying, State());

    PausePlay(1);
    PausePlay(1);  // already paused: nothing
    EXPECT_EQ(kUserPause, State());
    EXPECT_EQ(0, fake->playing);
    EXPECT_EQ(0, sound->m_pauseFlag);  // the sound was not playing at the pause

    g_isPlaying = 0;
    g_userPaused = 1;
    g_pauseStartTime = 0;  // Idle
    ResumePlay(1);
    EXPECT_EQ(kIdle, State());
}

TEST_F(ShellTest, SpaceInIdleDoesNothingEnterStarts)
{
    Key(VK_SPACE);
    EXPECT_EQ(kIdle, State());
    g_startMeasure = 1;
    clock.Advance(40);
    Key(VK_RETURN);
    EXPECT_EQ(kPlaying, State());
    EXPECT_EQ(100040, g_playStartTime);
    EXPECT_EQ(3500, g_seekBaseTime);
    EXPECT_EQ(0, g_drumLanes[1][0].pending);
    EXPECT_EQ(1, g_drumLanes[1][1].pending);
    EXPECT_EQ("Stop", PlaybackCalls(*fake));  // every sound stopped
}

TEST_F(ShellTest, RestartStopsSoundsAndRearms)
{
    StartPlaying();
    fake->playing = true;
    PausePlay(1);  // pause flag set
    for (int i = 0; i < 3; ++i)
        g_drumLanes[1][i].pending = 0;
    g_startMeasure = 2;
    RestartPlay();
    EXPECT_EQ(kPlaying, State());
    EXPECT_EQ(0, sound->m_pauseFlag);
    EXPECT_EQ(5500, g_seekBaseTime);
    EXPECT_EQ(0, g_drumLanes[1][1].pending);
    EXPECT_EQ(1, g_drumLanes[1][2].pending);
    EXPECT_EQ(1, g_drumNextIndex[1]);
}

TEST_F(ShellTest, EndOfChartWaitsAtTheStartMeasureForSpace)
{
    g_startMeasure = 1;
    SeekToMeasure(1);
    StartPlaying();
    clock.Advance(7000);  // chart time 10500, past the end at 9500
    UpdateFrame();
    EXPECT_EQ(kUserPause, State());
    UpdateFrame();
    EXPECT_EQ(3500, g_playTime);

    clock.Advance(5000);
    Key(VK_SPACE);
    EXPECT_EQ(kPlaying, State());
    clock.Advance(100);
    UpdateFrame();
    EXPECT_EQ(3600, g_playTime);  // played again from the start measure
}

}  // namespace
