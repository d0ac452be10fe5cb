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
// pointers and its index array.
template <typename T>
static void FreeRecords(T*& head, T*& tail, int32_t& count, T**& index)
{
    head = nullptr;
    tail = nullptr;
    count = 0;
    delete[] index;
    index = nullptr;
}

template <typename T>
static void FreeList(EventList<T>& list)
{
    FreeRecords(list.head, list.tail, list.count, list.index);
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
    FreeList(guitarNotes);
    FreeList(guitarWEvents);
    FreeList(guitarSpans);
    FreeList(bassNotes);
    FreeList(bassWEvents);
    FreeList(bassSpans);
    FreeList(drumNotes);
    FreeList(fiEvents);
    for (int i = 0; i < 9; ++i)
        FreeRecords(drumSpanHead[i], drumSpanTail[i], drumSpanCount[i], drumSpanIndex[i]);
    FreeList(soundNotes);
    for (int i = 0; i < 36; ++i)
        FreeRecords(soundSpanHead[i], soundSpanTail[i], soundSpanCount[i], soundSpanIndex[i]);
    FreeList(tempos);
    FreeList(barLengths);

    FreeRulerLines();
    delete[] measureTable;
    measureTable = nullptr;

    delete static_cast<ChartReaderIndex*>(readerIndex);
    readerIndex = nullptr;
    delete static_cast<RecordPool*>(recordPool);
    recordPool = nullptr;
}
