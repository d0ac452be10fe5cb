// Lane groups: builders, spans, seek, rearm, freeing and the end time.
#include <gtest/gtest.h>

#include <string>

#include "app/Globals.h"
#include "fakes/ChartFiles.h"

namespace {

std::vector<int> Fades(LaneNote* lane, int count)
{
    std::vector<int> out;
    for (int i = 0; i < count; ++i)
        out.push_back(lane[i].fadeOnNext);
    return out;
}

std::vector<double> Positions(LaneNote* lane, int count)
{
    std::vector<double> out;
    for (int i = 0; i < count; ++i)
        out.push_back(lane[i].position);
    return out;
}

// Everything the frame update can change, for comparing two states.
std::string Snapshot()
{
    std::string s;
    char buf[96];
    auto group = [&](LaneNote** lanes, int32_t* counts, int32_t* next, int size) {
        for (int i = 0; i < size; ++i) {
            snprintf(buf, sizeof(buf), "[%d:%d:%d]", i, (int)counts[i], (int)next[i]);
            s += buf;
            for (int k = 0; lanes[i] && k < counts[i]; ++k) {
                snprintf(buf, sizeof(buf), "%d,%d,%d;", (int)lanes[i][k].time, (int)lanes[i][k].pending,
                         (int)lanes[i][k].fadeOnNext);
                s += buf;
            }
        }
    };
    group(g_drumLanes, g_drumLaneCounts, g_drumNextIndex, 9);
    group(g_guitarLanes, g_guitarLaneCounts, g_guitarNextIndex, 10);
    group(g_bassLanes, g_bassLaneCounts, g_bassNextIndex, 10);
    group(g_soundLanes, g_soundLaneCounts, g_soundNextIndex, 36);
    snprintf(buf, sizeof(buf), "seek=%d", g_seekBaseTime);
    return s + buf;
}

}  // namespace

TEST(LaneBuilders, DrumOnlyChart)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#BPM 120", "#001HH:0101", "#001CY:01", "#001FI:01", "#002BD:01"}));
    EXPECT_EQ(nullptr, g_drumLanes[0]);
    EXPECT_EQ(2, g_drumLaneCounts[1]);
    EXPECT_EQ(0, g_drumLaneCounts[2]);
    EXPECT_NE(nullptr, g_drumLanes[2]);  // allocated, empty
    EXPECT_EQ(1, g_drumLaneCounts[3]);
    EXPECT_EQ(1, g_drumLaneCounts[6]);
    EXPECT_EQ(1, g_drumLaneCounts[7]);
    EXPECT_EQ(c.chart->beatLineCount, g_drumLaneCounts[8]);
    EXPECT_EQ(4, c.chart->drumNoteTotal);
    const LaneNote& hh = g_drumLanes[1][1];
    EXPECT_EQ(4500, hh.time);
    EXPECT_EQ(1, hh.kind);
    EXPECT_EQ(1 + 10 * 576, hh.value);
    EXPECT_EQ(1.5, hh.position);
    EXPECT_EQ(1, hh.fadeOnNext);
    EXPECT_EQ(1, hh.pending);
    EXPECT_EQ(7, g_drumLanes[7][0].kind);
    EXPECT_EQ(100, g_drumLanes[8][0].kind);
    EXPECT_EQ(101, g_drumLanes[8][1].kind);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(nullptr, g_guitarLanes[i]);
        EXPECT_EQ(-1, g_guitarNextIndex[i]);
        EXPECT_EQ(nullptr, g_bassLanes[i]);
    }
    for (int i = 0; i < 36; ++i)
        EXPECT_EQ(-1, g_soundNextIndex[i]);
    EXPECT_EQ(0, g_drumNextIndex[1]);
    EXPECT_EQ(-1, g_drumNextIndex[0]);
}

TEST(LaneBuilders, StringAndSoundLanes)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#002G0:0100", "#002G7:0001", "#002GW:0100", "#002GW:00000001", "#001B5:01", "#00120:0101",
                           "#00103:01"}));
    EXPECT_EQ(1, g_guitarLaneCounts[0]);
    EXPECT_EQ(1, g_guitarLaneCounts[7]);
    EXPECT_EQ(2, c.chart->guitarNoteTotal);
    ASSERT_EQ(1, g_guitarLaneCounts[8]);  // the W event at 2.75 has no partner
    EXPECT_EQ(8, g_guitarLanes[8][0].kind);
    EXPECT_EQ(nullptr, g_guitarLanes[8][0].sound);
    EXPECT_EQ(c.chart->measureCount, g_guitarLaneCounts[9]);
    EXPECT_EQ(100, g_guitarLanes[9][2].kind);
    EXPECT_EQ(2, g_guitarLanes[9][2].value);
    EXPECT_EQ(nullptr, g_bassLanes[8]);  // no W event: no array at all
    EXPECT_EQ(1, g_bassLaneCounts[5]);
    EXPECT_EQ(2, g_soundLaneCounts[32]);
    EXPECT_EQ(1, g_soundLaneCounts[3]);
    EXPECT_EQ(nullptr, g_soundLanes[0]);
    EXPECT_NE(nullptr, g_soundLanes[35]);
    EXPECT_EQ(0, g_soundLaneCounts[35]);
    EXPECT_EQ(-2, BuildStringLanes(c.chart, 3));
    EXPECT_EQ(0, BuildStringLanes(nullptr, 1));
}

TEST(LaneBuilders, TimesRoundHalfUpAndLanesAreSortedByTime)
{
    LoadedChart c;
    // 240 bpm: 1000 ms a measure. The hi-hat at 1.25 lies in the 15 bpm stretch (16000 ms a
    // measure) of 1.0, so the one at 2.25, before measure 2's change to 240 at 2.5, is multiplied
    // out with that pass tempo and comes after the one at 2.5: filled in position order, the lane
    // is out of time order until it is sorted.
    std::string line16 = "#000SD:0001" + std::string(28, '0');
    std::string line32 = "#000SD:0001" + std::string(60, '0');
    ASSERT_TRUE(c.Prepare({"#BPM 240", "#001TC:0FF0", "#002TC:00F0", "#001HH:00010000", "#002HH:00010100", line16,
                           line32}));
    std::vector<int> times;
    for (int i = 0; i < g_drumLaneCounts[1]; ++i)
        times.push_back(g_drumLanes[1][i].time);
    EXPECT_EQ(std::vector<double>({1.25, 2.5, 2.25}), Positions(g_drumLanes[1], g_drumLaneCounts[1]));
    EXPECT_EQ(std::vector<int>({6500, 11500, 15000}), times);
    ASSERT_EQ(2, g_drumLaneCounts[2]);
    EXPECT_EQ(1531, g_drumLanes[2][0].time);  // 1531.25
    EXPECT_EQ(1563, g_drumLanes[2][1].time);  // 1562.5: halves go up
}

TEST(LaneSpans, PairsMarkTheEntriesBetweenThem)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#002CHH:0102", "#003CHH:0102", "#002HH:01010101", "#003HH:01010000", "#004HH:01",
                           "#002SD:00010000", "#003SD:00010000", "#002CSD:0102", "#003CSD:0102", "#002CBD:0201",
                           "#002BD:01"}));
    EXPECT_EQ(std::vector<double>({2.0, 2.25, 2.5, 2.75, 3.0, 3.25, 4.0}), Positions(g_drumLanes[1], g_drumLaneCounts[1]));
    EXPECT_EQ(std::vector<int>({0, 0, 0, 1, 0, 0, 1}), Fades(g_drumLanes[1], g_drumLaneCounts[1]));
    // An entry past the first pair is tested against the second pair.
    EXPECT_EQ(std::vector<int>({0, 0}), Fades(g_drumLanes[2], g_drumLaneCounts[2]));
    // A list that begins with an end mark changes nothing.
    EXPECT_EQ(std::vector<int>({1}), Fades(g_drumLanes[3], g_drumLaneCounts[3]));
}

TEST(LaneSpans, StringPartsUseOneListForEveryChordLane)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#001CGT:0102", "#001G1:0101", "#001G2:00000001", "#001G3:0000000000000001",
                           "#001GW:01", "#001CBS:01", "#001B1:01", "#00105:0101", "#001C05:0102"}));
    EXPECT_EQ(std::vector<int>({0, 0}), Fades(g_guitarLanes[1], g_guitarLaneCounts[1]));
    EXPECT_EQ(std::vector<int>({1}), Fades(g_guitarLanes[2], g_guitarLaneCounts[2]));  // 1.75 > 1.5
    EXPECT_EQ(std::vector<int>({1}), Fades(g_guitarLanes[3], g_guitarLaneCounts[3]));
    EXPECT_EQ(std::vector<int>({1}), Fades(g_guitarLanes[8], g_guitarLaneCounts[8]));  // W lane: no spans
    EXPECT_EQ(std::vector<int>({1}), Fades(g_bassLanes[1], g_bassLaneCounts[1]));      // a start without an end
    EXPECT_EQ(std::vector<int>({0, 0}), Fades(g_soundLanes[5], g_soundLaneCounts[5]));
}

TEST(LaneSeek, MeasureZeroMissingMeasureAndAMeasureInside)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#BPM 120", "#000HH:01", "#001HH:0101", "#002HH:01", "#001G1:01"}, 0));
    EXPECT_EQ(1500, g_seekBaseTime);
    EXPECT_EQ(1500, g_drumLanes[1][0].time);
    EXPECT_EQ(1, g_drumLanes[1][0].pending);  // at exactly T: stays pending
    EXPECT_EQ(0, g_drumNextIndex[1]);

    SeekToMeasure(5);  // the chart has measures 0..3 only
    EXPECT_EQ(0, g_seekBaseTime);
    EXPECT_EQ(0, g_drumNextIndex[1]);

    SeekToMeasure(2);
    EXPECT_EQ(5500, g_seekBaseTime);
    std::vector<int> pending;
    for (int i = 0; i < g_drumLaneCounts[1]; ++i)
        pending.push_back(g_drumLanes[1][i].pending);
    EXPECT_EQ(std::vector<int>({0, 0, 0, 1}), pending);
    EXPECT_EQ(2, g_drumNextIndex[1]);  // the last entry before T
    EXPECT_EQ(0, g_guitarNextIndex[1]);
    EXPECT_EQ(0, g_guitarLanes[1][0].pending);
    EXPECT_EQ(-1, g_guitarNextIndex[2]);  // an empty lane keeps -1
}

TEST(LaneSeek, RearmAfterAFullPlayRestoresTheSeekState)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#BPM 150", "#001HH:0101", "#002SD:01", "#001G3:01", "#002B1:01", "#00101:01"}, 1));
    const std::string afterSeek = Snapshot();

    // Play to the end: everything done, scan starts at the last entries, sounded-last slots set.
    LaneNote** lanes[] = {g_drumLanes, g_guitarLanes, g_bassLanes, g_soundLanes};
    int32_t* counts[] = {g_drumLaneCounts, g_guitarLaneCounts, g_bassLaneCounts, g_soundLaneCounts};
    int32_t* next[] = {g_drumNextIndex, g_guitarNextIndex, g_bassNextIndex, g_soundNextIndex};
    int sizes[] = {9, 10, 10, 36};
    for (int g = 0; g < 4; ++g)
        for (int i = 0; i < sizes[g]; ++i)
            for (int k = 0; lanes[g][i] && k < counts[g][i]; ++k) {
                lanes[g][i][k].pending = 0;
                next[g][i] = k;
            }
    g_guitarLastPlayed = &g_guitarLanes[3][0];
    ASSERT_NE(afterSeek, Snapshot());

    RearmLanes();
    SeekToMeasure(1);
    EXPECT_EQ(afterSeek, Snapshot());
    EXPECT_EQ(&g_guitarLanes[3][0], g_guitarLastPlayed);  // not touched
}

TEST(LaneLifetime, FreeResetAndEndTime)
{
    LoadedChart c;
    ASSERT_TRUE(c.Prepare({"#001HH:01", "#001G0:01"}));
    int drumCount = g_drumLaneCounts[1];
    FreeLaneArrays();
    EXPECT_EQ(nullptr, g_drumLanes[1]);
    EXPECT_EQ(nullptr, g_guitarLanes[9]);
    EXPECT_EQ(drumCount, g_drumLaneCounts[1]);  // counts are left as they are
    FreeLaneArrays();                           // twice is harmless
    ResetLanes();
    EXPECT_EQ(0, g_drumLaneCounts[1]);
    EXPECT_EQ(-1, g_drumNextIndex[1]);
    EXPECT_EQ(nullptr, g_guitarLastPlayed);

    // End time: measure count 3 -> end measure 2 at 1500 + 4000.
    EXPECT_EQ(5500 + 2000, ComputeChartEndTime(c.chart));
    EXPECT_EQ(1999, ComputeChartEndTime(nullptr));
}
