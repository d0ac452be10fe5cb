// The four lane groups: builders from a compiled chart, spans, reset, seek and rearm.
#include "score/Lanes.h"

#include <stdint.h>

#include <algorithm>

#include "app/Globals.h"
#include "chart/CChart.h"
#include "score/CompileLimits.h"

LaneNote* g_drumLanes[9];
int32_t g_drumLaneCounts[9];
int32_t g_drumNextIndex[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
LaneNote* g_drumLastPlayed[9];

LaneNote* g_guitarLanes[10];
int32_t g_guitarLaneCounts[10];
int32_t g_guitarNextIndex[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
LaneNote* g_guitarLastPlayed;

LaneNote* g_bassLanes[10];
int32_t g_bassLaneCounts[10];
int32_t g_bassNextIndex[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
LaneNote* g_bassLastPlayed;

LaneNote* g_soundLanes[36];
int32_t g_soundLaneCounts[36];
int32_t g_soundNextIndex[36] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
LaneNote* g_soundLastPlayed[36];

namespace {

struct LaneGroup {
    LaneNote** lanes;
    int32_t* counts;
    int32_t* next;
    int size;
};

const LaneGroup kGroups[4] = {
    {g_drumLanes, g_drumLaneCounts, g_drumNextIndex, 9},
    {g_guitarLanes, g_guitarLaneCounts, g_guitarNextIndex, 10},
    {g_bassLanes, g_bassLaneCounts, g_bassNextIndex, 10},
    {g_soundLanes, g_soundLaneCounts, g_soundNextIndex, 36},
};

// Nearest integer, halves up: truncate, then add 1 when the dropped fraction is 0.5 or more.
// The time is clamped first, so it always fits.
int32_t RoundLaneTime(double time)
{
    double t = ClampChartTime(time);
    int32_t whole = (int32_t)t;
    if (t - (double)whole >= 0.5)
        ++whole;
    return whole;
}

LaneNote MakeEntry(const NoteEvent& e)
{
    LaneNote n;
    n.time = RoundLaneTime(e.time);
    n.kind = e.lane;
    n.value = e.soundNumber;
    n.position = e.position;
    n.sound = e.buffer;
    n.fadeOnNext = 1;
    n.pending = 1;
    return n;
}

void FreeGroup(const LaneGroup& g)
{
    for (int i = 0; i < g.size; ++i) {
        delete[] g.lanes[i];
        g.lanes[i] = nullptr;
        g.counts[i] = 0;
    }
}

void SortByTime(LaneNote* lane, int32_t count)
{
    auto before = [](const LaneNote& a, const LaneNote& b) { return a.time < b.time; };
    // Lanes are filled in position order, so their times are usually in order already.
    if (lane && count > 1 && !std::is_sorted(lane, lane + count, before))
        std::stable_sort(lane, lane + count, before);
}

// Allocates a lane of exactly count entries (possibly zero) and returns it.
LaneNote* AllocateLane(const LaneGroup& g, int lane, int32_t count)
{
    g.lanes[lane] = new LaneNote[(size_t)count];
    g.counts[lane] = count;
    return g.lanes[lane];
}

// Copies a whole list of ruler (or FI) events into a lane, in index order.
void FillFromArray(const LaneGroup& g, int lane, NoteEvent* const* events, int32_t count)
{
    if (!events || count < 0)
        count = 0;
    LaneNote* out = AllocateLane(g, lane, count);
    for (int32_t i = 0; i < count; ++i)
        out[i] = MakeEntry(*events[i]);
}

// Distributes notes over lanes first..last of a group by their lane (others are left out):
// each lane allocated to its exact count, filled in index order and sorted by time. With
// fromSourceLane, each note's lane is first set to the lane it was read from (drum and string
// notes). Returns the number of notes placed.
int FillLanes(const LaneGroup& g, int first, int last, NoteEvent* const* notes, int32_t noteCount, bool fromSourceLane)
{
    int32_t counts[36] = {0};
    for (int32_t i = 0; i < noteCount; ++i) {
        if (fromSourceLane)
            notes[i]->lane = notes[i]->sourceLane;
        int lane = notes[i]->lane;
        if (lane >= first && lane <= last)
            ++counts[lane];
    }
    LaneNote* out[36] = {nullptr};
    int32_t filled[36] = {0};
    int32_t lastTime[36];
    bool inOrder[36];
    for (int lane = first; lane <= last; ++lane) {
        out[lane] = AllocateLane(g, lane, counts[lane]);
        lastTime[lane] = INT32_MIN;
        inOrder[lane] = true;
    }
    for (int32_t i = 0; i < noteCount; ++i) {
        int lane = notes[i]->lane;
        if (lane < first || lane > last)
            continue;
        LaneNote& entry = out[lane][filled[lane]++];
        entry = MakeEntry(*notes[i]);
        if (entry.time < lastTime[lane])
            inOrder[lane] = false;
        lastTime[lane] = entry.time;
    }
    int total = 0;
    for (int lane = first; lane <= last; ++lane) {
        // Lanes are filled in position order, so their times are usually in order already.
        if (!inOrder[lane])
            SortByTime(out[lane], counts[lane]);
        total += counts[lane];
    }
    return total;
}

// Calls visit(group, lane, entries, count) for every lane that holds entries, once its next
// index points at the first entry.
template <typename Visit>
void ForEachFilledLane(Visit visit)
{
    for (const LaneGroup& g : kGroups) {
        for (int lane = 0; lane < g.size; ++lane) {
            LaneNote* entries = g.lanes[lane];
            int32_t count = g.counts[lane];
            if (!entries || count <= 0)
                continue;
            g.next[lane] = 0;
            visit(g, lane, entries, count);
        }
    }
}

// Spans: entries that lie inside a [start mark 1, end mark 2] pair (both ends inclusive) get
// fadeOnNext 0. Pairs are walked alongside the entries; a missing or malformed pair ends the walk.
void ApplySpans(LaneNote* lane, int32_t laneCount, SpanMark** marks, int32_t markCount)
{
    if (!marks || markCount <= 0)
        return;
    auto before = [](const SpanMark* a, const SpanMark* b) { return a->position < b->position; };
    if (!std::is_sorted(marks, marks + markCount, before))
        std::stable_sort(marks, marks + markCount, before);
    if (!lane || laneCount <= 0 || markCount < 2)
        return;
    int32_t p = 0;
    if (marks[0]->value != 1 || marks[1]->value != 2)
        return;
    double start = marks[0]->position;
    double end = marks[1]->position;
    for (int32_t i = 0; i < laneCount; ++i) {
        LaneNote& e = lane[i];
        while (e.position > end) {
            p += 2;
            if (p + 1 >= markCount || marks[p]->value != 1 || marks[p + 1]->value != 2)
                return;
            start = marks[p]->position;
            end = marks[p + 1]->position;
        }
        if (start <= e.position && e.position <= end)
            e.fadeOnNext = 0;
    }
}

}  // namespace

void ResetLanes()
{
    for (const LaneGroup& g : kGroups) {
        for (int i = 0; i < g.size; ++i) {
            g.lanes[i] = nullptr;
            g.counts[i] = 0;
            g.next[i] = -1;
        }
    }
    g_guitarLastPlayed = nullptr;
    g_bassLastPlayed = nullptr;
    for (int i = 0; i < 9; ++i)
        g_drumLastPlayed[i] = nullptr;
    for (int i = 0; i < 36; ++i)
        g_soundLastPlayed[i] = nullptr;
}

int BuildDrumLanes(CChart* chart)
{
    if (!chart || !chart->drumNotes.index || chart->drumNotes.count <= 0)
        return 0;
    const LaneGroup& g = kGroups[0];
    FreeGroup(g);

    int total = FillLanes(g, 1, 6, chart->drumNotes.index, chart->drumNotes.count, true);

    FillFromArray(g, 7, chart->fiEvents.index, chart->fiEvents.count);
    SortByTime(g.lanes[7], g.counts[7]);
    FillFromArray(g, 8, chart->beatLines, chart->beatLineCount);

    chart->drumNoteTotal = total;
    for (int lane = 1; lane <= 6; ++lane)
        ApplySpans(g.lanes[lane], g.counts[lane], chart->drumSpanIndex[lane], chart->drumSpanCount[lane]);
    return total;
}

int BuildStringLanes(CChart* chart, int part)
{
    if (part != 1 && part != 2)
        return -2;
    if (!chart)
        return 0;
    EventList<NoteEvent>& notes = part == 1 ? chart->guitarNotes : chart->bassNotes;
    EventList<NoteEvent>& wEvents = part == 1 ? chart->guitarWEvents : chart->bassWEvents;
    EventList<SpanMark>& spans = part == 1 ? chart->guitarSpans : chart->bassSpans;
    if (!notes.index || notes.count <= 0)
        return 0;
    const LaneGroup& g = kGroups[part];
    FreeGroup(g);

    int total = FillLanes(g, 0, 7, notes.index, notes.count, true);

    int32_t wCount = 0;
    if (wEvents.index)
        for (int32_t i = 0; i < wEvents.count; ++i)
            if (wEvents.index[i]->lane == 8)
                ++wCount;
    if (wCount > 0) {
        LaneNote* out = AllocateLane(g, 8, wCount);
        int32_t n = 0;
        for (int32_t i = 0; i < wEvents.count; ++i)
            if (wEvents.index[i]->lane == 8)
                out[n++] = MakeEntry(*wEvents.index[i]);
        SortByTime(out, wCount);
    }

    FillFromArray(g, 9, chart->measureLines, chart->measureLineCount);

    if (part == 1)
        chart->guitarNoteTotal = total;
    else
        chart->bassNoteTotal = total;
    for (int lane = 0; lane <= 7; ++lane)
        ApplySpans(g.lanes[lane], g.counts[lane], spans.index, spans.count);
    return total;
}

int BuildSoundLanes(CChart* chart)
{
    if (!chart || !chart->soundNotes.index || chart->soundNotes.count <= 0)
        return 0;
    const LaneGroup& g = kGroups[3];
    FreeGroup(g);

    int total = FillLanes(g, 1, 35, chart->soundNotes.index, chart->soundNotes.count, false);
    for (int lane = 0; lane < 36; ++lane)
        ApplySpans(g.lanes[lane], g.counts[lane], chart->soundSpanIndex[lane], chart->soundSpanCount[lane]);
    return total;
}

void SeekToMeasure(int measure)
{
    for (const LaneGroup& g : kGroups)
        for (int i = 0; i < g.size; ++i)
            g.next[i] = -1;

    int32_t target = 0;
    const struct {
        LaneNote* lane;
        int32_t count;
    } rulers[3] = {{g_drumLanes[8], g_drumLaneCounts[8]}, {g_guitarLanes[9], g_guitarLaneCounts[9]},
                   {g_bassLanes[9], g_bassLaneCounts[9]}};
    for (const auto& r : rulers) {
        if (!r.lane)
            continue;
        for (int32_t i = 0; i < r.count; ++i)
            if (r.lane[i].kind == 100 && r.lane[i].value == measure)
                target = r.lane[i].time;
    }

    ForEachFilledLane([target](const LaneGroup& g, int lane, LaneNote* entries, int32_t count) {
        for (int32_t i = 0; i < count && entries[i].time < target; ++i) {
            entries[i].pending = 0;
            g.next[lane] = i;
        }
    });
    g_seekBaseTime = target;
}

void RearmLanes()
{
    ForEachFilledLane([](const LaneGroup&, int, LaneNote* entries, int32_t count) {
        for (int32_t i = 0; i < count; ++i)
            entries[i].pending = 1;
    });
}

void FreeLaneArrays()
{
    for (const LaneGroup& g : kGroups) {
        for (int i = 0; i < g.size; ++i) {
            delete[] g.lanes[i];
            g.lanes[i] = nullptr;
        }
    }
}

int ComputeChartEndTime(const CChart* chart)
{
    int end = -1;
    if (chart) {
        if (chart->measureLines && chart->measureLineCount > 0 &&
            chart->measureLines[chart->measureLineCount - 1]->time > 0.0)
            end = (int)ClampChartTime(chart->measureLines[chart->measureLineCount - 1]->time);
        else if (chart->beatLines && chart->beatLineCount > 0 && chart->beatLines[chart->beatLineCount - 1]->time > 0.0)
            end = (int)ClampChartTime(chart->beatLines[chart->beatLineCount - 1]->time);
    }
    return end + 2000;
}

void BuildLanesAndSeek(CChart* chart, int measure)
{
    ResetLanes();
    BuildDrumLanes(chart);
    BuildStringLanes(chart, 1);
    BuildStringLanes(chart, 2);
    BuildSoundLanes(chart);
    SeekToMeasure(measure);
    g_chartEndTime = ComputeChartEndTime(chart);
}
