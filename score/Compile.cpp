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
// - The beat count of a measure uses the length factor clamped to [0, 16]: at most 64 beats.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "chart/CChart.h"
#include "score/CompileLimits.h"

namespace {

// Builds a list's index array; added(index, i) is called as each entry i is filled in.
template <typename T, typename Added>
void BuildIndex(T* head, int32_t count, T**& index, Added added)
{
    delete[] index;
    index = nullptr;
    if (!head || count <= 0)
        return;
    index = new T*[count];
    T* record = head;
    int32_t i = 0;
    for (; i < count && record; ++i, record = record->next) {
        index[i] = record;
        added(index, i);
    }
    for (; i < count; ++i)
        index[i] = nullptr;  // cannot happen while count matches the list
}

template <typename T>
void BuildIndex(T* head, int32_t count, T**& index)
{
    BuildIndex(head, count, index, [](T**, int32_t) {});
}

template <typename T>
void BuildIndex(EventList<T>& list)
{
    BuildIndex(list.head, list.count, list.index);
}

// Stable sort of a[0, count) by position for arrays made of a few ascending runs (the cells of
// each line of a measure are in order): adjacent runs are merged pairwise until one is left.
template <typename T>
void MergeRuns(T** a, int32_t count, std::vector<T*>& buffer)
{
    std::vector<int32_t> runs;  // start of every run, then count
    runs.push_back(0);
    for (int32_t i = 1; i < count; ++i)
        if (a[i]->position < a[i - 1]->position)
            runs.push_back(i);
    runs.push_back(count);
    buffer.resize((size_t)count);
    while (runs.size() > 2) {
        size_t kept = 0;
        size_t r = 0;
        for (; r + 2 < runs.size(); r += 2) {
            int32_t lo = runs[r], mid = runs[r + 1], hi = runs[r + 2];
            int32_t i = lo, j = mid, o = 0;
            while (i < mid && j < hi)
                buffer[(size_t)o++] = (a[j]->position < a[i]->position) ? a[j++] : a[i++];  // ties: left first
            while (i < mid)
                buffer[(size_t)o++] = a[i++];
            while (j < hi)
                buffer[(size_t)o++] = a[j++];
            std::copy(buffer.begin(), buffer.begin() + o, a + lo);
            runs[kept++] = lo;
        }
        if (r + 1 < runs.size())
            runs[kept++] = runs[r];  // an odd run left over
        runs[kept++] = count;
        runs.resize(kept);
    }
}

// Stable sort by position. Files normally list their measures in order, so an index is mostly a
// run of measures in order, each holding the interleaved cells of its lines: when the whole
// measure numbers never fall, sorting each measure on its own gives the same order as sorting the
// whole array (and an array already in order is left as it is). Each measure is sorted as soon as
// it ends, while its records are still in the cache.
template <typename T>
class PositionSorter {
public:
    // Takes index[i] (entries are added in order, i = 0, 1, ...).
    void Add(T** index, int32_t i)
    {
        double p = index[i]->position;
        if (i == 0) {
            m_floor = floor(p);
            m_end = m_floor + 1.0;
            m_grouped = m_floor == m_floor;  // NaN: leave it to the plain sort
            return;
        }
        if (!m_grouped)
            return;
        if (!(p >= m_floor && p < m_end)) {
            double f = floor(p);
            if (!(f >= m_floor)) {
                m_grouped = false;  // a measure out of order (or NaN)
                return;
            }
            if (f > m_floor) {  // (f == m_floor only when m_floor + 1 rounds: huge positions)
                CloseGroup(index, i);
                m_floor = f;
                m_end = f + 1.0;
                m_start = i;
                return;
            }
        }
        if (p < index[i - 1]->position)
            m_sorted = false;
    }

    // Sorts what is left once count entries are added.
    void Finish(T** index, int32_t count)
    {
        if (count <= 1)
            return;
        if (!m_grouped) {
            std::stable_sort(index, index + count, [](const T* a, const T* b) { return a->position < b->position; });
            return;
        }
        CloseGroup(index, count);
    }

private:
    void CloseGroup(T** index, int32_t end)
    {
        if (!m_sorted)
            MergeRuns(index + m_start, end - m_start, m_buffer);
        m_sorted = true;
    }

    double m_floor = 0.0;
    double m_end = 0.0;
    int32_t m_start = 0;
    bool m_grouped = true;
    bool m_sorted = true;
    std::vector<T*> m_buffer;
};

template <typename T>
void SortByPosition(T** index, int32_t count)
{
    if (!index || count <= 1)
        return;
    PositionSorter<T> sorter;
    for (int32_t i = 0; i < count; ++i)
        sorter.Add(index, i);
    sorter.Finish(index, count);
}

// The index of a list, sorted by position in the same walk.
void BuildSortedIndex(EventList<NoteEvent>& list)
{
    PositionSorter<NoteEvent> sorter;
    int32_t added = 0;
    BuildIndex(list.head, list.count, list.index, [&](NoteEvent** index, int32_t i) {
        sorter.Add(index, i);
        added = i + 1;
    });
    if (list.index)
        sorter.Finish(list.index, added);
}

int MeasureOf(double position) { return (int)position; }  // truncated toward zero

}  // namespace

int IsUsableTempo(double bpm) { return isfinite(bpm) && bpm > 0.0; }

double MsPerMeasureOf(double bpm)
{
    double ms = 240000.0 / bpm;
    return ms > kMaxMsPerMeasure ? kMaxMsPerMeasure : ms;
}

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

int BeatsOfMeasure(double lengthFactor)
{
    double f = lengthFactor;
    if (!(f >= 0.0))
        f = 0.0;  // negative or NaN
    if (f > kMaxBeatFactor)
        f = kMaxBeatFactor;
    int beats = (int)(f * 4.0);
    return beats < 1 ? 1 : beats;
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
    // Step 1: index arrays (the event lists sorted by position for step 5 at once).
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
    BuildIndex(tempos);
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

    // Step 4: measure times and tempo spans.
    TempoEvent** tempoIndex = tempos.index;
    int32_t tempoCount = tempoIndex ? tempos.count : 0;
    SortByPosition(tempoIndex, tempoCount);
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
        NoteEvent* line = new NoteEvent();
        line->position = (double)k;
        line->lane = 100;
        line->soundNumber = k;
        line->enabled = 1;
        measureLines[k] = line;
    }
    int32_t beatTotal = 1;
    for (int32_t j = 0; j + 1 < measureCount; ++j)
        beatTotal += BeatsOfMeasure(measureTable[j].lengthFactor);
    NoteEvent* block = new NoteEvent[beatTotal]();
    beatLines = new NoteEvent*[beatTotal];
    beatLineCount = beatTotal;
    {
        int32_t n = 0;
        for (int32_t j = 0; j + 1 < measureCount; ++j) {
            int beats = BeatsOfMeasure(measureTable[j].lengthFactor);
            NoteEvent* line = &block[n];
            line->position = (double)j;
            line->lane = 100;
            line->soundNumber = j;
            line->enabled = 1;
            beatLines[n++] = line;
            for (int b = 1; b < beats; ++b) {
                NoteEvent* beat = &block[n];
                beat->position = (double)j + (double)b / (double)beats;
                beat->lane = 101;
                beat->enabled = 1;
                beatLines[n++] = beat;
            }
        }
        NoteEvent* last = &block[n];
        last->position = (double)(measureCount - 1);
        last->lane = 100;
        last->soundNumber = measureCount - 1;
        last->enabled = 1;
        beatLines[n++] = last;
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
