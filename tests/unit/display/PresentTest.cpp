#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "display/CDDraw.h"
#include "display/PresentMath.h"

namespace {

// A scripted clock: each read returns the next value (the last one repeats).
std::vector<DWORD> g_times;
size_t g_reads = 0;
std::vector<DWORD> g_sleeps;

DWORD ScriptedClock()
{
    DWORD value = g_times[g_reads < g_times.size() ? g_reads : g_times.size() - 1];
    ++g_reads;
    return value;
}

void RecordSleep(DWORD ms) { g_sleeps.push_back(ms); }

void Script(std::vector<DWORD> times)
{
    g_times = std::move(times);
    g_reads = 0;
    g_sleeps.clear();
}

}  // namespace

TEST(PresentPacing, PlanSleepsWhileFourOrMoreMillisecondsRemain)
{
    unsigned sleepMs = 99;
    EXPECT_EQ(kPresentSleep, PresentWaitPlan(0, &sleepMs));
    EXPECT_EQ(15u, sleepMs);
    EXPECT_EQ(kPresentSleep, PresentWaitPlan(11, &sleepMs));
    EXPECT_EQ(4u, sleepMs);
    EXPECT_EQ(kPresentBusyWait, PresentWaitPlan(12, &sleepMs));
    EXPECT_EQ(0u, sleepMs);
    EXPECT_EQ(kPresentBusyWait, PresentWaitPlan(14, &sleepMs));
    EXPECT_EQ(kPresentNoWait, PresentWaitPlan(15, &sleepMs));
    EXPECT_EQ(kPresentNoWait, PresentWaitPlan(0xFFFFFFF0u, nullptr));
}

TEST(PresentPacing, FiveMillisecondsAfterTheLastFrameSleepsTenThenWaitsForTheSixteenthMillisecond)
{
    Script({1005, 1015, 1015, 1016, 1017});
    EXPECT_EQ(1016u, PacePresent(1000, ScriptedClock, RecordSleep));
    EXPECT_EQ(4u, g_reads);
    ASSERT_EQ(1u, g_sleeps.size());
    EXPECT_EQ(10u, g_sleeps[0]);
}

TEST(PresentPacing, ASleepThatOverrunsIsNotFollowedByAWait)
{
    Script({1005, 1019, 1030});
    EXPECT_EQ(1019u, PacePresent(1000, ScriptedClock, RecordSleep));
    EXPECT_EQ(2u, g_reads);
}

TEST(PresentPacing, FastFramesArePacedSixteenMillisecondsApart)
{
    // A simulated system: every clock read takes 0.1 ms, a sleep lasts what it was asked plus
    // 0.1 ms, a frame's work takes 1 ms. Every frame is presented 16 ms after the one before,
    // not alternately 1 and 15 ms apart.
    static long long microseconds;
    microseconds = 500000;
    PresentClockFn clock = []() -> DWORD {
        microseconds += 100;
        return (DWORD)(microseconds / 1000);
    };
    PresentSleepFn sleep = [](DWORD ms) { microseconds += (long long)ms * 1000 + 100; };
    DWORD last = PacePresent(0, clock, sleep);
    for (int frame = 0; frame < 20; ++frame) {
        microseconds += 1000;
        DWORD presented = PacePresent(last, clock, sleep);
        EXPECT_EQ(16u, presented - last) << "frame " << frame;
        last = presented;
    }
}

TEST(PresentPacing, ThirteenMillisecondsAfterPollsUntilMoreThanFifteenHavePassed)
{
    Script({1013, 1013, 1014, 1015, 1016, 1017});
    EXPECT_EQ(1016u, PacePresent(1000, ScriptedClock, RecordSleep));
    EXPECT_EQ(5u, g_reads);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST(PresentPacing, TwentyMillisecondsAfterDoesNotWait)
{
    Script({1020, 1030});
    EXPECT_EQ(1020u, PacePresent(1000, ScriptedClock, RecordSleep));
    EXPECT_EQ(1u, g_reads);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST(PresentPacing, ElapsedTimeSurvivesTheClockWrapping)
{
    Script({3, 11});  // 8 ms after 0xFFFFFFFB, then 16 ms after it
    EXPECT_EQ(11u, PacePresent(0xFFFFFFFBu, ScriptedClock, RecordSleep));
    ASSERT_EQ(1u, g_sleeps.size());
    EXPECT_EQ(7u, g_sleeps[0]);
}

TEST(PresentPacing, PresentWithNothingOnScreenStillPacesAndRecordsTheTime)
{
    // A display without a window or surfaces (as after a failed Init): no blit, but the
    // loop keeps its pace and the frame time moves on.
    PresentClockFn savedClock = g_presentClock;
    PresentSleepFn savedSleep = g_presentSleep;
    g_presentClock = ScriptedClock;
    g_presentSleep = RecordSleep;

    CDDraw display;
    display.m_lastPresentTime = 2000;
    Script({2005, 2016});
    EXPECT_EQ(1, display.Present());
    ASSERT_EQ(1u, g_sleeps.size());
    EXPECT_EQ(10u, g_sleeps[0]);
    EXPECT_EQ(2016, display.m_lastPresentTime);
    EXPECT_EQ(2016, display.m_currentTime);

    g_presentClock = savedClock;
    g_presentSleep = savedSleep;
}

TEST(PresentClipping, WindowFullyOnScreenShowsTheWholeFrame)
{
    RECT client = {100, 50, 532, 370};
    POINT dest;
    RECT source;
    ASSERT_TRUE(ComputePresentRects(client, 1024, 768, 432, 320, &dest, &source));
    EXPECT_EQ(100, dest.x);
    EXPECT_EQ(50, dest.y);
    EXPECT_EQ(0, source.left);
    EXPECT_EQ(0, source.top);
    EXPECT_EQ(432, source.right);
    EXPECT_EQ(320, source.bottom);
}

TEST(PresentClipping, WindowHalfOffTheLeftEdgeShowsTheRightHandPartAtTheEdge)
{
    RECT client = {-216, 100, 216, 420};
    POINT dest;
    RECT source;
    ASSERT_TRUE(ComputePresentRects(client, 1024, 768, 432, 320, &dest, &source));
    EXPECT_EQ(0, dest.x);
    EXPECT_EQ(100, dest.y);
    EXPECT_EQ(216, source.left);
    EXPECT_EQ(0, source.top);
    EXPECT_EQ(432, source.right);
    EXPECT_EQ(320, source.bottom);
}

TEST(PresentClipping, WindowOffTheRightAndBottomEdgesShowsTheTopLeftPart)
{
    RECT client = {900, 700, 1332, 1020};
    POINT dest;
    RECT source;
    ASSERT_TRUE(ComputePresentRects(client, 1024, 768, 432, 320, &dest, &source));
    EXPECT_EQ(900, dest.x);
    EXPECT_EQ(700, dest.y);
    EXPECT_EQ(0, source.left);
    EXPECT_EQ(0, source.top);
    EXPECT_EQ(124, source.right);
    EXPECT_EQ(68, source.bottom);
}

TEST(PresentClipping, WindowAboveTheTopEdgeShowsTheLowerPart)
{
    RECT client = {10, -300, 442, 20};
    POINT dest;
    RECT source;
    ASSERT_TRUE(ComputePresentRects(client, 1024, 768, 432, 320, &dest, &source));
    EXPECT_EQ(10, dest.x);
    EXPECT_EQ(0, dest.y);
    EXPECT_EQ(300, source.top);
    EXPECT_EQ(320, source.bottom);
}

TEST(PresentClipping, MinimisedOrVanishedWindowBlitsNothing)
{
    POINT dest;
    RECT source;
    RECT minimised = {-32000, -32000, -32000, -32000};  // empty client area at the icon place
    EXPECT_FALSE(ComputePresentRects(minimised, 1024, 768, 432, 320, &dest, &source));
    RECT offLeft = {-500, 100, -68, 420};
    EXPECT_FALSE(ComputePresentRects(offLeft, 1024, 768, 432, 320, &dest, &source));
    RECT offBelow = {100, 768, 532, 1088};
    EXPECT_FALSE(ComputePresentRects(offBelow, 1024, 768, 432, 320, &dest, &source));
    RECT noScreen = {0, 0, 432, 320};
    EXPECT_FALSE(ComputePresentRects(noScreen, 0, 0, 432, 320, &dest, &source));
}

TEST(PresentClipping, ClientLargerThanTheFrameNeverReadsOutsideTheBackSurface)
{
    RECT client = {-100, 0, 500, 400};  // not yet fitted, and partly off the left edge
    POINT dest;
    RECT source;
    ASSERT_TRUE(ComputePresentRects(client, 1024, 768, 432, 320, &dest, &source));
    EXPECT_GE(source.left, 0);
    EXPECT_GE(source.top, 0);
    EXPECT_LE(source.right, 432);
    EXPECT_LE(source.bottom, 320);
}
