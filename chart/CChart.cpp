#include "chart/CChart.h"

#include <string.h>

#include "chart/ReaderIndex.h"
#include "chart/RecordPool.h"

template <typename T>
static void ClearList(EventList<T>& list)
{
    list.index = nullptr;
    list.count = 0;
    list.tail = nullptr;
    list.head = nullptr;
}

// Every record lives in the chart's pool and is released with it: a list only drops its
// pointers to them and frees its index array.
template <typename T>
static void UnlinkAndFreeIndex(T*& head, T*& tail, int32_t& count, T**& index)
{
    head = nullptr;
    tail = nullptr;
    count = 0;
    delete[] index;
    index = nullptr;
}

template <typename T>
static void UnlinkAndFreeIndex(EventList<T>& list)
{
    UnlinkAndFreeIndex(list.head, list.tail, list.count, list.index);
}

CChart::CChart(CDSound* soundDevice)
{
    bpm = 0.0;
    baseBpm = 0.0;
    memset(soundNames, 0, sizeof(soundNames));
    memset(wallFile, 0, sizeof(wallFile));
    device = soundDevice;
    memset(title, 0, sizeof(title));
    memset(artist, 0, sizeof(artist));
    ClearList(guitarNotes);
    ClearList(guitarWEvents);
    guitarNoteTotal = 0;
    measureLines = nullptr;
    measureLineCount = 0;
    ClearList(guitarSpans);
    ClearList(bassNotes);
    ClearList(bassWEvents);
    bassNoteTotal = 0;
    ClearList(bassSpans);
    ClearList(drumNotes);
    ClearList(fiEvents);
    drumNoteTotal = 0;
    beatLines = nullptr;
    beatLineCount = 0;
    for (int i = 0; i < 9; ++i) {
        drumSpanIndex[i] = nullptr;
        drumSpanCount[i] = 0;
        drumSpanTail[i] = nullptr;
        drumSpanHead[i] = nullptr;
    }
    ClearList(soundNotes);
    for (int i = 0; i < 36; ++i) {
        soundSpanIndex[i] = nullptr;
        soundSpanCount[i] = 0;
        soundSpanTail[i] = nullptr;
        soundSpanHead[i] = nullptr;
    }
    ClearList(tempos);
    measureTable = nullptr;
    measureCount = 0;
    ClearList(barLengths);
    readerIndex = nullptr;
    recordPool = nullptr;
}

void CChart::FreeRulerLines()
{
    if (measureLines) {
        for (int32_t i = 0; i < measureLineCount; ++i) {
            delete measureLines[i];
            measureLines[i] = nullptr;
        }
        delete[] measureLines;
        measureLines = nullptr;
    }
    measureLineCount = 0;
    if (beatLines) {
        // Beat lines live in one block; the first pointer is its start.
        if (beatLineCount > 0)
            delete[] beatLines[0];
        delete[] beatLines;
        beatLines = nullptr;
    }
    beatLineCount = 0;
}

CChart::~CChart()
{
    UnlinkAndFreeIndex(guitarNotes);
    UnlinkAndFreeIndex(guitarWEvents);
    UnlinkAndFreeIndex(guitarSpans);
    UnlinkAndFreeIndex(bassNotes);
    UnlinkAndFreeIndex(bassWEvents);
    UnlinkAndFreeIndex(bassSpans);
    UnlinkAndFreeIndex(drumNotes);
    UnlinkAndFreeIndex(fiEvents);
    for (int i = 0; i < 9; ++i)
        UnlinkAndFreeIndex(drumSpanHead[i], drumSpanTail[i], drumSpanCount[i], drumSpanIndex[i]);
    UnlinkAndFreeIndex(soundNotes);
    for (int i = 0; i < 36; ++i)
        UnlinkAndFreeIndex(soundSpanHead[i], soundSpanTail[i], soundSpanCount[i], soundSpanIndex[i]);
    UnlinkAndFreeIndex(tempos);
    UnlinkAndFreeIndex(barLengths);

    FreeRulerLines();
    delete[] measureTable;
    measureTable = nullptr;

    delete readerIndex;
    readerIndex = nullptr;
    delete recordPool;
    recordPool = nullptr;
}
