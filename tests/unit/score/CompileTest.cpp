// CChart::Compile: measure table, tempo stretches, event times, ruler lines, W partners, and the
// bounds that keep absurd charts finite.
#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <string>

#include "fakes/ChartFiles.h"
#include "fakes/DebugCapture.h"
#include "score/CompileLimits.h"

namespace {

// Loads and compiles; the lanes are not built.
struct Compiled : LoadedChart {
    explicit Compiled(const std::vector<std::string>& lines)
    {
        ok = LoadLines(lines) > 0;
        if (ok)
            chart->Compile();
    }
    const MeasureInfo& Row(int k) const { return chart->measureTable[k]; }
    // Time of the note of list at position (first match).
    double TimeAt(const EventList<NoteEvent>& list, double position) const
    {
        for (NoteEvent* e = list.head; e; e = e->next)
            if (e->position == position)
                return e->time;
        return NAN;
    }
    bool ok = false;
};

std::vector<std::pair<double, int>> Ruler(NoteEvent** lines, int count)
{
    std::vector<std::pair<double, int>> out;
    for (int i = 0; i < count; ++i)
        out.push_back({lines[i]->position, lines[i]->lane});
    return out;
}

}  // namespace

TEST(CompileMeasures, ConstantTempoWithAndWithoutBpmHeader)
{
    for (const char* header : {"#BPM 120", "#TITLE no tempo"}) {
        Compiled c({header, "#002HH:0001", "#003SD:01"});
        ASSERT_TRUE(c.ok);
        ASSERT_EQ(5, c.chart->measureCount);  // highest 3, plus one from the reader, plus the end measure
        for (int k = 0; k < 5; ++k) {
            EXPECT_EQ(k, c.Row(k).index);
            EXPECT_EQ(1500.0 + 2000.0 * k, c.Row(k).startTime) << header << " " << k;
            EXPECT_EQ(k < 4 ? 2000.0 : 0.0, c.Row(k).duration);
            EXPECT_EQ(1.0, c.Row(k).lengthFactor);
        }
        EXPECT_EQ(6500.0, c.TimeAt(c.chart->drumNotes, 2.5));
        // Measure lines: one per measure at its start; the last one is the end measure.
        ASSERT_EQ(5, c.chart->measureLineCount);
        EXPECT_EQ(9500.0, c.chart->measureLines[4]->time);
        EXPECT_EQ(4, c.chart->measureLines[4]->soundNumber);
        EXPECT_EQ(100, c.chart->measureLines[4]->lane);
        EXPECT_EQ(9500 + 2000, ComputeChartEndTime(c.chart));
    }
}

// Every index is the list in a stable order of position: in file order between equal positions,
// whether the measures come in order (each measure sorted on its own, from runs of one to seven
// lines) or not (the whole list sorted).
TEST(CompileIndex, ListsAreStablySortedByPosition)
{
    const std::vector<std::vector<std::string>> charts = {
        {"#001HH:0101", "#001SD:020202", "#001BD:03030303", "#002HH:01", "#002SD:0202", "#001CY:01", "#003BD:0303"},
        {"#001G0:0101", "#001G1:020202", "#001G2:0303030303", "#001G3:04040404040404", "#001G4:0505",
         "#001G5:060606060606060606", "#001G6:07070707070707070707", "#002G0:01010101"},
        {"#002HH:010101", "#001SD:0202", "#003HH:01", "#001HH:0101", "#002SD:02020202"},
        {"#001HH:0001", "#001SD:01", "#001BD:0001", "#001LT:01"},
    };
    for (const auto& lines : charts) {
        Compiled c(lines);
        ASSERT_TRUE(c.ok);
        for (const EventList<NoteEvent>* list : {&c.chart->drumNotes, &c.chart->guitarNotes}) {
            std::vector<NoteEvent*> expected;
            for (NoteEvent* e = list->head; e; e = e->next)
                expected.push_back(e);
            std::stable_sort(expected.begin(), expected.end(),
                             [](const NoteEvent* a, const NoteEvent* b) { return a->position < b->position; });
            ASSERT_EQ((int)expected.size(), list->count);
            if (expected.empty())
                continue;
            EXPECT_EQ(expected, std::vector<NoteEvent*>(list->index, list->index + list->count)) << lines[0];
        }
    }
}

TEST(CompileTempo, ChangeInsideAMeasure)
{
    // 120 bpm, then 240 from 4.5 on (TC cell F0 = 240 at cell 1 of 2).
    Compiled c({"#BPM 120", "#004TC:00F0", "#004HH:00010001", "#005HH:01"});
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(9500.0, c.Row(4).startTime);
    EXPECT_EQ(1500.0, c.Row(4).duration);  // 0.5 x 2000 + 0.5 x 1000
    EXPECT_EQ(11000.0, c.Row(5).startTime);
    EXPECT_EQ(1000.0, c.Row(5).duration);
    TempoEvent* change = c.chart->tempos.index[1];
    EXPECT_EQ(4.5, change->position);
    EXPECT_EQ(10500.0, change->time);  // measure 4's start + 1000
    EXPECT_EQ(0.5, change->span);
    EXPECT_EQ(500.0, change->duration);
    EXPECT_EQ(10000.0, c.TimeAt(c.chart->drumNotes, 4.25));
    EXPECT_EQ(10750.0, c.TimeAt(c.chart->drumNotes, 4.75));  // change time + 1000 x 0.25
    EXPECT_EQ(11000.0, c.TimeAt(c.chart->drumNotes, 5.0));
    // The start tempo lies at 0 and governs all of measure 0.
    EXPECT_EQ(0.0, c.chart->tempos.index[0]->position);
    EXPECT_EQ(1500.0, c.chart->tempos.index[0]->time);
    EXPECT_EQ(1.0, c.chart->tempos.index[0]->span);
    EXPECT_EQ(2000.0, c.chart->tempos.index[0]->duration);
}

TEST(CompileTempo, TwoChangesInOneMeasureChainTheirTimes)
{
    // 120; 240 from 4.5; in measure 6: 120 (TC 78) from 6.5 and 60 (TC 3C) from 6.75.
    Compiled c({"#BPM 120", "#004TC:00F0", "#006TC:0000003C", "#006TC:0078", "#004HH:00000001", "#006HH:00000101",
                "#006SD:0000000000000001", "#00601:0001", "#007HH:01"});
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(4, c.chart->tempos.count);
    TempoEvent* a = c.chart->tempos.index[2];
    TempoEvent* b = c.chart->tempos.index[3];
    EXPECT_EQ(6.5, a->position);
    EXPECT_EQ(6.75, b->position);
    EXPECT_EQ(12500.0, a->time);  // 0.5 of measure 6 at 240
    EXPECT_EQ(0.25, a->span);     // up to the next change in the measure
    EXPECT_EQ(500.0, a->duration);
    EXPECT_EQ(13000.0, b->time);  // a's time + a's duration
    EXPECT_EQ(0.25, b->span);     // up to the end of the measure
    EXPECT_EQ(1000.0, b->duration);
    EXPECT_EQ(2000.0, c.Row(6).duration);
    EXPECT_EQ(14000.0, c.Row(7).startTime);

    // A note exactly at a change lies in that change's stretch (start inclusive, end exclusive).
    EXPECT_EQ(12500.0, c.TimeAt(c.chart->drumNotes, 6.5));
    EXPECT_EQ(13000.0, c.TimeAt(c.chart->drumNotes, 6.75));
    EXPECT_EQ(13500.0, c.TimeAt(c.chart->drumNotes, 6.875));
    EXPECT_EQ(14000.0, c.TimeAt(c.chart->drumNotes, 7.0));
    EXPECT_EQ(12500.0, c.TimeAt(c.chart->soundNotes, 6.5));
}

TEST(CompileTempo, PassTempoOfAListThatNeverEnteredAStretch)
{
    // 120; 240 from 4.5; 60 from 6.75. The sound list's only note, 6.5, lies before 6.75 in
    // measure 6 and is multiplied out with the pass's start tempo (2000), not the 240 in force.
    Compiled c({"#BPM 120", "#004TC:00F0", "#006TC:0000003C", "#00601:0001", "#004HH:000001", "#006HH:0001"});
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(12000.0, c.Row(6).startTime);
    EXPECT_EQ(13000.0, c.TimeAt(c.chart->soundNotes, 6.5));
    // The drum list entered the 240 stretch at 4.75 first, so its 6.5 is 500 ms into measure 6.
    EXPECT_EQ(12500.0, c.TimeAt(c.chart->drumNotes, 6.5));
}

TEST(CompileBars, BarLengthHoldsUntilTheNextAndSetsTheBeats)
{
    Compiled c({"#BPM 120", "#003BL:0.75", "#004HH:01", "#005BL:1.5", "#006BL:0.1", "#006HH:01", "#007BL:20.3",
                "#007SD:01"});
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(9, c.chart->measureCount);
    std::vector<double> factors;
    for (int k = 0; k < 9; ++k)
        factors.push_back(c.Row(k).lengthFactor);
    EXPECT_EQ(std::vector<double>({1, 1, 1, 0.75, 0.75, 1.5, 0.1, 20.3, 20.3}), factors);
    EXPECT_EQ(1500.0, c.Row(3).duration);
    EXPECT_EQ(1500.0, c.Row(4).duration);
    EXPECT_EQ(c.Row(3).startTime + 1500.0, c.Row(4).startTime);

    // Beats: 4, 4, 4, 3, 3, 6, 1 (0.1 truncates to 0), 81 (a long measure gets all of them); then
    // the end measure line.
    ASSERT_EQ(4 * 3 + 3 + 3 + 6 + 1 + 81 + 1, c.chart->beatLineCount);
    auto ruler = Ruler(c.chart->beatLines, c.chart->beatLineCount);
    EXPECT_EQ((std::pair<double, int>(3.0, 100)), ruler[12]);
    EXPECT_EQ((std::pair<double, int>(3.0 + 1.0 / 3.0, 101)), ruler[13]);
    EXPECT_EQ((std::pair<double, int>(3.0 + 2.0 / 3.0, 101)), ruler[14]);
    EXPECT_EQ((std::pair<double, int>(4.0, 100)), ruler[15]);
    EXPECT_NEAR(c.Row(3).startTime + 500.0, c.chart->beatLines[13]->time, 1e-6);
    EXPECT_EQ((std::pair<double, int>(7.0 + 80.0 / 81.0, 101)), ruler[ruler.size() - 2]);
    EXPECT_EQ((std::pair<double, int>(8.0, 100)), ruler.back());
    EXPECT_EQ(8, c.chart->beatLines[c.chart->beatLineCount - 1]->soundNumber);
    EXPECT_EQ(c.Row(8).startTime, c.chart->beatLines[c.chart->beatLineCount - 1]->time);
}

TEST(CompileWEvents, OnlyPartneredWEventsKeepLaneEight)
{
    Compiled c({"#002G1:00010000", "#002GW:00010000", "#002GW:00000001000000000000", "#002B1:01", "#002BW:0101"});
    ASSERT_TRUE(c.ok);
    std::vector<NoteEvent*> w = LoadedChart::Records(c.chart->guitarWEvents);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(2.25, w[0]->position);
    EXPECT_EQ(8, w[0]->lane);
    EXPECT_DOUBLE_EQ(2.3, w[1]->position);
    EXPECT_EQ(0, w[1]->lane);
    std::vector<int> bassLanes;
    for (NoteEvent* e = c.chart->bassWEvents.head; e; e = e->next)
        bassLanes.push_back(e->lane);
    EXPECT_EQ(std::vector<int>({8, 0}), bassLanes);
}

TEST(CompileBounds, NegativeBaseBpmKeepsTheRunningTempo)
{
    // Start tempo 150 - 200 = -50 and TC 100 - 200 = -100: neither may divide by zero or go
    // negative; the BPM header's 1600 ms per measure stays in force throughout.
    Compiled c({"#BPM 150", "#BASEBPM -200", "#002TC:64", "#002HH:01010101", "#003HH:01"});
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(-50.0, c.chart->tempos.index[0]->bpm);
    for (int k = 0; k < c.chart->measureCount; ++k)
        EXPECT_EQ(1500.0 + 1600.0 * k, c.Row(k).startTime) << k;
    EXPECT_EQ(1500.0 + 3200.0 + 400.0, c.TimeAt(c.chart->drumNotes, 2.25));
    EXPECT_EQ(1500.0 + 3200.0 + 1200.0, c.TimeAt(c.chart->drumNotes, 2.75));

    // Without BPM the start tempo is absent and the default 2000 ms applies.
    Compiled d({"#BASEBPM -100", "#001TC:20", "#001HH:0101"});
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(-68.0, d.chart->tempos.head->bpm);
    EXPECT_EQ(3500.0 + 1000.0, d.TimeAt(d.chart->drumNotes, 1.5));
}

TEST(CompileBounds, NonFiniteTemposAndBarLengthsStayFinite)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#BPM 120", "#001TC:10", "#002TC:10", "#002BL:2", "#003HH:0101"}), 0);
    // Numbers that only a hand-edited file or another runtime's atof could produce.
    c.chart->tempos.head->bpm = INFINITY;
    c.chart->tempos.head->next->bpm = NAN;
    c.chart->barLengths.head->length = NAN;
    c.chart->Compile();
    for (int k = 0; k < c.chart->measureCount; ++k) {
        EXPECT_TRUE(isfinite(c.chart->measureTable[k].startTime));
        EXPECT_EQ(1500.0 + 2000.0 * k, c.chart->measureTable[k].startTime);
    }
    for (NoteEvent* e = c.chart->drumNotes.head; e; e = e->next)
        EXPECT_TRUE(isfinite(e->time));
}

TEST(CompileBounds, HugeTimesAndBarLengthsAreClamped)
{
    // 0.001 bpm: 240 million ms per measure; measure 9 would start near 2.2e9 ms.
    LoadedChart slow;
    ASSERT_TRUE(slow.Prepare({"#BPM 0.001", "#009HH:01", "#001BL:1000000000"}));
    for (NoteEvent* e = slow.chart->drumNotes.head; e; e = e->next)
        EXPECT_EQ(kMaxTime, e->time);
    for (int i = 0; i < g_drumLaneCounts[8]; ++i)
        EXPECT_LE(g_drumLanes[8][i].time, 1000000000);
    EXPECT_EQ(1000000000, g_drumLanes[1][0].time);
    EXPECT_EQ(1000000000 + 2000, ComputeChartEndTime(slow.chart));
    EXPECT_EQ(kMaxLengthFactor, slow.chart->measureTable[1].lengthFactor);

    // The beat lines of a chart are bounded: a measure of 4 million beats gets only its measure
    // line (said once), and a later measure that fits keeps its beats.
    DebugCapture capture;
    LoadedChart wide;
    ASSERT_TRUE(wide.Prepare({"#000BL:1000000", "#001BL:1000000", "#002BL:1", "#002HH:01"}));
    EXPECT_EQ(1 + 1 + 4 + 1, wide.chart->beatLineCount);
    EXPECT_EQ(wide.chart->beatLineCount, g_drumLaneCounts[8]);
    EXPECT_EQ(1, std::count(capture.Lines().begin(), capture.Lines().end(), "CChart::Compile TooManyBeatLines\n"));

    LoadedChart tiny;
    ASSERT_TRUE(tiny.Prepare({"#BPM 1e-300", "#002HH:01"}));
    EXPECT_EQ(kMaxMsPerMeasure, tiny.chart->measureTable[0].duration);
    EXPECT_EQ(1000000000, g_drumLanes[1][0].time);
}
