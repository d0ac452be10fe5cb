// CChart::Compile: index arrays, the measure table, tempo spans and times, event times, measure
// and beat lines, W partners.
//
// Bounds against absurd input (no real chart comes near them):
// - A tempo is usable only when its bpm is a finite number above 0. An unusable tempo (a negative
//   BASEBPM can make one; some runtimes also read "inf" and "nan" as numbers) never changes the
//   running tempo: its stretch is timed with the tempo in force before it, in the measure table
//   and for the events inside it alike.
// - A 4/4 measure lasts at most kMaxMsPerMeasure (1e9 ms) however slow the tempo.
// - A bar length that is not a number is ignored (the running factor stays); others are clamped to
//   [-kMaxLengthFactor, kMaxLengthFactor] (1e6) for the time line, so every time stays finite.
// - Event times are clamped to [-kMaxTime, kMaxTime] (1e9 ms), so that they fit the lanes'
//   32-bit integers and the end time (+2000) cannot overflow.
// - A chart holds at most kMaxBeatLines (1 << 20) beat lines; a measure whose beat lines would go
//   past that gets only its measure line, and the compile says so once ("CChart::Compile
//   TooManyBeatLines"). Every measure of a chart a person could write gets its trunc(4 x length
//   factor) beats: even 1000 measures of length 256 (each over eight minutes long) stay below it.
#include <math.h>

#include <algorithm>
#include <new>
#include <vector>

#include "chart/CChart.h"
#include "score/CompileLimits.h"
#include "sound/DebugPrint.h"

namespace {

// Builds a list's index array from its linked records, in list order; added(i) is called as each
// entry i is filled in. Returns the number of entries filled.
template <typename T, typename Added>
int32_t BuildIndex(T* head, int32_t count, T**& index, Added added)
{
    delete[] index;
    index = nullptr;
    if (!head || count <= 0)
        return 0;
    index = new T*[count];
    T* record = head;
    int32_t i = 0;
    for (; i < count && record; ++i, record = record->next) {
        index[i] = record;
        added(i);
    }
    int32_t filled = i;
    for (; i < count; ++i)
        index[i] = nullptr;  // cannot happen while count matches the list
    return filled;
}

template <typename T>
void BuildIndex(T* head, int32_t count, T**& index)
{
    BuildIndex(head, count, index, [](int32_t) {});
}

template <typename T>
void BuildIndex(EventList<T>& list)
{
    BuildIndex(list.head, list.count, list.index);
}

// Builds a list's index sorted by position; records at equal positions keep their file order.
// Files normally list their measures in order, each measure holding the interleaved cells of its
// lines. While the whole measure numbers never fall, sorting each measure on its own gives the
// order of sorting the whole index, and each measure is sorted as soon as the index leaves it,
// while its records are still in the cache: on the chart-load benchmark's 999-measure chart (2.5
// million events) the compile takes about 75 ms this way and about 230 ms with one
// std::stable_sort of every whole index.
template <typename T>
void BuildSortedIndex(EventList<T>& list)
{
    auto before = [](const T* a, const T* b) { return a->position < b->position; };
    auto sortPart = [&list, before](int32_t start, int32_t end) {
        if (!std::is_sorted(list.index + start, list.index + end, before))
            std::stable_sort(list.index + start, list.index + end, before);
    };
    int32_t start = 0;
    double measure = 0.0;
    bool grouped = true;
    int32_t filled = BuildIndex(list.head, list.count, list.index, [&](int32_t i) {
        double m = floor(list.index[i]->position);
        if (i == 0)
            measure = m;
        if (!grouped || m == measure)
            return;
        if (m > measure) {
            sortPart(start, i);
            start = i;
            measure = m;
        } else {
            grouped = false;  // a measure out of order (or NaN): the whole index is sorted at the end
        }
    });
    if (filled > 0)
        sortPart(grouped ? start : 0, filled);
}

int MeasureOf(double position) { return (int)position; }  // truncated toward zero

// A measure line (lane 100) for measure k.
void SetMeasureLine(NoteEvent& line, int32_t k)
{
    line.position = (double)k;
    line.lane = 100;
    line.soundNumber = k;
    line.enabled = 1;
}

// A finite bpm above 0.
int IsUsableTempo(double bpm) { return isfinite(bpm) && bpm > 0.0; }

// ms per 4/4 measure of a usable tempo, at most kMaxMsPerMeasure.
double MsPerMeasureOf(double bpm)
{
    double ms = 240000.0 / bpm;
    return ms > kMaxMsPerMeasure ? kMaxMsPerMeasure : ms;
}

// Beats of a measure in the drum view: trunc(4 x factor), at least 1 (a double: an absurd factor
// gives a count no integer holds).
double BeatsOfMeasure(double lengthFactor)
{
    double beats = trunc(lengthFactor * 4.0);
    return beats >= 1.0 ? beats : 1.0;  // below 1, negative or NaN: 1
}

}  // namespace

double ClampChartTime(double time)
{
    if (isnan(time))
        return 0.0;
    if (time > kMaxTime)
        return kMaxTime;
    if (time < -kMaxTime)
        return -kMaxTime;
    return time;
}

// Times the events of one index array (step 5 of the compiler). effectiveMs[i] is the ms per 4/4
// measure that governs the stretch of the i-th sorted tempo event.
// The pass tempo changes only when an event falls inside a tempo stretch. An event that lies in a
// measure with a tempo change but before that change is multiplied out from the measure's start
// with the pass tempo, i.e. the tempo of the last stretch an earlier event of the same list fell
// into (or the start tempo) - not necessarily the tempo in force there. Charts are timed this way
// on purpose: it is how the viewer has always placed such notes.
// The index must be sorted by position.
static void TimeEvents(CChart& chart, NoteEvent** index, int32_t count, double startMs,
                       const std::vector<double>& effectiveMs)
{
    if (!index || count <= 0)
        return;
    double passMs = startMs;
    TempoEvent** tempos = chart.tempos.index;
    int32_t tempoCount = tempos ? chart.tempos.count : 0;
    int32_t i = 0;
    int32_t lastRow = chart.measureCount - 1;
    for (int32_t n = 0; n < count; ++n) {
        NoteEvent* e = index[n];
        double g = e->position;
        int m = MeasureOf(g);
        // Rows exist for measures 0 .. measureCount - 1; positions outside them (only possible
        // with a negative measure offset) are timed against the nearest row.
        const MeasureInfo& row = chart.measureTable[m < 0 ? 0 : (m > lastRow ? lastRow : m)];
        while (i < tempoCount) {
            const TempoEvent* t = tempos[i];
            double end = t->position + t->span;
            if (t->position <= g && g < end) {
                e->time = t->time + effectiveMs[i] * row.lengthFactor * (g - t->position);
                passMs = effectiveMs[i];
                break;
            }
            if (m == MeasureOf(t->position))
                e->time = row.startTime + (g - m) * passMs * row.lengthFactor;
            if (g < end)
                break;
            ++i;
        }
        if (e->time == 0.0)
            e->time = row.startTime + (g - m) * row.duration;
        e->time = ClampChartTime(e->time);
    }
}

int CChart::Compile()
{
    // Step 1: index arrays (the event lists and the tempos sorted by position at once).
    ++measureCount;
    if (measureCount < 1)
        measureCount = 1;
    BuildSortedIndex(guitarNotes);
    BuildSortedIndex(bassNotes);
    BuildSortedIndex(drumNotes);
    BuildSortedIndex(guitarWEvents);
    BuildSortedIndex(bassWEvents);
    BuildSortedIndex(fiEvents);
    BuildSortedIndex(soundNotes);
    BuildSortedIndex(tempos);
    BuildIndex(barLengths);
    BuildIndex(guitarSpans);
    BuildIndex(bassSpans);
    for (int i = 0; i < 9; ++i)
        BuildIndex(drumSpanHead[i], drumSpanCount[i], drumSpanIndex[i]);
    for (int i = 0; i < 36; ++i)
        BuildIndex(soundSpanHead[i], soundSpanCount[i], soundSpanIndex[i]);

    // Step 2: measure table with the running bar length.
    delete[] measureTable;
    measureTable = new MeasureInfo[measureCount]();
    if (barLengths.index && barLengths.count > 1)
        std::stable_sort(barLengths.index, barLengths.index + barLengths.count,
                         [](const BarLengthEvent* a, const BarLengthEvent* b) { return a->measure < b->measure; });
    {
        double factor = 1.0;
        int32_t cursor = 0;
        int32_t lengthCount = barLengths.index ? barLengths.count : 0;
        // Bar lengths before measure 0 (only with a negative measure offset) apply to no row.
        while (cursor < lengthCount && barLengths.index[cursor]->measure < 0)
            ++cursor;
        for (int32_t k = 0; k < measureCount; ++k) {
            if (cursor < lengthCount && barLengths.index[cursor]->measure == k) {
                double length = barLengths.index[cursor]->length;
                if (!isnan(length))
                    factor = length > kMaxLengthFactor ? kMaxLengthFactor
                             : (length < -kMaxLengthFactor ? -kMaxLengthFactor : length);
                ++cursor;
            }
            measureTable[k].index = k;
            measureTable[k].lengthFactor = factor;
        }
    }

    // Step 3: start tempo.
    double startMs = 2000.0;
    if (IsUsableTempo(baseBpm))
        startMs = MsPerMeasureOf(baseBpm);
    else if (IsUsableTempo(bpm))
        startMs = MsPerMeasureOf(bpm);

    // Step 4: measure times and tempo spans (the tempo index is sorted by position).
    TempoEvent** tempoIndex = tempos.index;
    int32_t tempoCount = tempoIndex ? tempos.count : 0;
    std::vector<double> effectiveMs((size_t)tempoCount, startMs);
    measureTable[0].startTime = 1500.0;
    {
        double msPerMeasure = startMs;
        int32_t i = 0;
        // Tempo events before measure 0 (negative measure offsets) govern no stretch of their own.
        while (i < tempoCount && MeasureOf(tempoIndex[i]->position) < 0)
            ++i;
        for (int32_t k = 0; k + 1 < measureCount; ++k) {
            MeasureInfo& row = measureTable[k];
            if (i >= tempoCount || MeasureOf(tempoIndex[i]->position) != k) {
                row.duration = msPerMeasure * row.lengthFactor;
            } else {
                double before = msPerMeasure;
                double firstOffset = tempoIndex[i]->position - k;
                double sum = 0.0;
                TempoEvent* previous = nullptr;
                while (i < tempoCount && MeasureOf(tempoIndex[i]->position) == k) {
                    TempoEvent* t = tempoIndex[i];
                    if (!previous)
                        t->time = row.startTime + (t->position - k) * row.lengthFactor * msPerMeasure;
                    else
                        t->time = previous->time + previous->duration;
                    if (i + 1 < tempoCount && MeasureOf(tempoIndex[i + 1]->position) == k)
                        t->span = tempoIndex[i + 1]->position - t->position;
                    else
                        t->span = 1.0 - (t->position - k);
                    if (IsUsableTempo(t->bpm))
                        msPerMeasure = MsPerMeasureOf(t->bpm);
                    effectiveMs[(size_t)i] = msPerMeasure;
                    t->duration = row.lengthFactor * t->span * msPerMeasure;
                    sum += t->duration;
                    previous = t;
                    ++i;
                }
                row.duration = firstOffset * row.lengthFactor * before + sum;
            }
            measureTable[k + 1].startTime = row.startTime + row.duration;
        }
    }

    // Step 5: event times.
    TimeEvents(*this, guitarNotes.index, guitarNotes.count, startMs, effectiveMs);
    TimeEvents(*this, guitarWEvents.index, guitarWEvents.count, startMs, effectiveMs);
    TimeEvents(*this, bassNotes.index, bassNotes.count, startMs, effectiveMs);
    TimeEvents(*this, bassWEvents.index, bassWEvents.count, startMs, effectiveMs);
    TimeEvents(*this, drumNotes.index, drumNotes.count, startMs, effectiveMs);
    TimeEvents(*this, fiEvents.index, fiEvents.count, startMs, effectiveMs);
    TimeEvents(*this, soundNotes.index, soundNotes.count, startMs, effectiveMs);

    // Step 6: measure lines and beat lines (any left from an earlier compile are released first).
    FreeRulerLines();
    measureLines = new NoteEvent*[measureCount];
    measureLineCount = measureCount;
    for (int32_t k = 0; k < measureCount; ++k) {
        measureLines[k] = new NoteEvent();
        SetMeasureLine(*measureLines[k], k);
    }
    // Beats of every measure but the end measure. A measure whose beat lines would take the chart
    // past kMaxBeatLines gets only its measure line; the measures after it that still fit keep
    // their beats.
    std::vector<int32_t> beats((size_t)measureCount - 1);
    int64_t beatTotal = 1;  // the end measure's line
    int32_t beatLinesLeft = kMaxBeatLines;
    bool capped = false;
    for (int32_t j = 0; j + 1 < measureCount; ++j) {
        double beatsOfMeasure = BeatsOfMeasure(measureTable[j].lengthFactor);
        if (beatsOfMeasure - 1.0 > (double)beatLinesLeft) {
            beatsOfMeasure = 1.0;
            capped = true;
        }
        int32_t b = (int32_t)beatsOfMeasure;
        beatLinesLeft -= b - 1;
        beats[(size_t)j] = b;
        beatTotal += b;
    }
    if (capped)
        DebugPrint("CChart::Compile TooManyBeatLines\n");
    NoteEvent* block = new (std::nothrow) NoteEvent[(size_t)beatTotal]();
    beatLines = new (std::nothrow) NoteEvent*[(size_t)beatTotal];
    if (!block || !beatLines) {
        // No memory for them: measure lines only (as many records as the measure lines above).
        DebugPrint("CChart::Compile BeatLines OutOfMemory\n");
        delete[] block;
        delete[] beatLines;
        std::fill(beats.begin(), beats.end(), 1);
        beatTotal = measureCount;
        block = new NoteEvent[(size_t)beatTotal]();
        beatLines = new NoteEvent*[(size_t)beatTotal];
    }
    beatLineCount = (int32_t)beatTotal;
    {
        int32_t n = 0;
        for (int32_t j = 0; j + 1 < measureCount; ++j) {
            int32_t b = beats[(size_t)j];
            SetMeasureLine(block[n], j);
            beatLines[n] = &block[n];
            ++n;
            for (int32_t k = 1; k < b; ++k) {
                block[n].position = (double)j + (double)k / (double)b;
                block[n].lane = 101;
                block[n].enabled = 1;
                beatLines[n] = &block[n];
                ++n;
            }
        }
        SetMeasureLine(block[n], measureCount - 1);
        beatLines[n] = &block[n];
    }

    // Step 7: ruler times (both arrays are made in position order).
    TimeEvents(*this, measureLines, measureLineCount, startMs, effectiveMs);
    TimeEvents(*this, beatLines, beatLineCount, startMs, effectiveMs);

    // Step 8: a W event needs a note of its part at exactly its position. Both indexes are sorted
    // by position now, so one merged walk finds the partners.
    struct Part {
        EventList<NoteEvent>* w;
        EventList<NoteEvent>* notes;
    } parts[2] = {{&guitarWEvents, &guitarNotes}, {&bassWEvents, &bassNotes}};
    for (const Part& part : parts) {
        if (!part.w->index || part.w->count <= 0 || !part.notes->index || part.notes->count <= 0)
            continue;
        int32_t n = 0;
        for (int32_t i = 0; i < part.w->count; ++i) {
            NoteEvent* w = part.w->index[i];
            while (n < part.notes->count && part.notes->index[n]->position < w->position)
                ++n;
            if (n >= part.notes->count || part.notes->index[n]->position != w->position)
                w->lane = 0;
        }
    }
    return 0;
}
