// The in-memory form of one KTB chart: header values, the sound-name table, the event lists
// filled by the reader and the tables the compiler adds.
#pragma once
#include <stdint.h>

#include "chart/Events.h"

class CDSound;
class ChartReaderIndex;
class RecordPool;

class CChart {
public:
    explicit CChart(CDSound* device);
    ~CChart();

    // Reader (chart/ChartReader.cpp, chart/ChannelParser.cpp).
    int Load(const char* path, int measureOffset, int soundBank, int allowStream);
    void AddChannelData(int measure, int channel, const char* data, int soundBank);
    static int SoundIdFromText(const char* text);
    // Pass 2 of Load for a '#' line that is no header command: reads the measure number and the
    // channel code and hands the data to AddChannelData. Keeps measureCount at the highest measure
    // number seen. Changes the line (underscores are removed).
    void ParseChannelLine(char* line, int measureOffset, int soundBank);

    // Compiler (score/Compile.cpp).
    int Compile();
    // Releases the measure and beat lines of the last compile (chart/CChart.cpp).
    void FreeRulerLines();

    double bpm;
    double baseBpm;
    char soundNames[576][260];
    char wallFile[260];
    CDSound* device;
    char title[55];
    char artist[45];
    EventList<NoteEvent> guitarNotes;
    EventList<NoteEvent> guitarWEvents;
    int32_t guitarNoteTotal;
    NoteEvent** measureLines;
    int32_t measureLineCount;
    EventList<SpanMark> guitarSpans;
    EventList<NoteEvent> bassNotes;
    EventList<NoteEvent> bassWEvents;
    int32_t bassNoteTotal;
    EventList<SpanMark> bassSpans;
    EventList<NoteEvent> drumNotes;
    EventList<NoteEvent> fiEvents;
    int32_t drumNoteTotal;
    NoteEvent** beatLines;
    int32_t beatLineCount;
    // drumSpans: 9 lists held as four parallel arrays.
    SpanMark** drumSpanIndex[9];
    int32_t drumSpanCount[9];
    SpanMark* drumSpanTail[9];
    SpanMark* drumSpanHead[9];
    EventList<NoteEvent> soundNotes;
    SpanMark** soundSpanIndex[36];
    int32_t soundSpanCount[36];
    SpanMark* soundSpanTail[36];
    SpanMark* soundSpanHead[36];
    EventList<TempoEvent> tempos;
    MeasureInfo* measureTable;
    int32_t measureCount;
    EventList<BarLengthEvent> barLengths;

    // Private working data of the reader (not part of the documented object): indexes that keep
    // the first-event-wins duplicate tests linear. Owned; freed by the destructor.
    ChartReaderIndex* readerIndex;
    // Storage of the event records the reader creates. Owned; freed, with every record in it, by
    // the destructor.
    RecordPool* recordPool;
};
