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

// Records that came from the chart's pool are released with the pool; any other record is
// deleted on its own.
template <typename T>
static void FreeRecords(T*& head, T*& tail, int32_t& count, T**& index, const RecordPool* pool)
{
    T* record = head;
    while (record) {
        T* next = record->next;
        if (!pool || !pool->Owns(record))
            delete record;
        record = next;
    }
    head = nullptr;
    tail = nullptr;
    count = 0;
    delete[] index;
    index = nullptr;
}

template <typename T>
static void FreeList(EventList<T>& list, const RecordPool* pool)
{
    FreeRecords(list.head, list.tail, list.count, list.index, pool);
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

CChart::~CChart()
{
    const RecordPool* pool = static_cast<const RecordPool*>(recordPool);
    FreeList(guitarNotes, pool);
    FreeList(guitarWEvents, pool);
    FreeList(guitarSpans, pool);
    FreeList(bassNotes, pool);
    FreeList(bassWEvents, pool);
    FreeList(bassSpans, pool);
    FreeList(drumNotes, pool);
    FreeList(fiEvents, pool);
    for (int i = 0; i < 9; ++i)
        FreeRecords(drumSpanHead[i], drumSpanTail[i], drumSpanCount[i], drumSpanIndex[i], pool);
    FreeList(soundNotes, pool);
    for (int i = 0; i < 36; ++i)
        FreeRecords(soundSpanHead[i], soundSpanTail[i], soundSpanCount[i], soundSpanIndex[i], pool);
    FreeList(tempos, pool);
    FreeList(barLengths, pool);

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
    delete[] measureTable;
    measureTable = nullptr;

    delete static_cast<ChartReaderIndex*>(readerIndex);
    readerIndex = nullptr;
    delete static_cast<RecordPool*>(recordPool);
    recordPool = nullptr;
}
