// Channel lines: classification of a '#' line into a channel number, and the cells of one line
// turned into event records.
#include <stdlib.h>
#include <string.h>

#include "chart/CChart.h"
#include "chart/ReaderIndex.h"
#include "chart/RecordPool.h"
#include "chart/TextHelpers.h"

// ---------------------------------------------------------------------------------------------
// Sound ids.

int CChart::SoundIdFromText(const char* text)
{
    if (!text || text[0] == '\0' || text[1] == '\0')
        return 0;
    int first = DigitValue(text[0]);
    int second = DigitValue(text[1]);
    if (first < 0)
        first = 0;
    if (second < 0)
        second = 0;
    int id = first * 36 + second;
    return id > 575 ? 0 : id;
}

// ---------------------------------------------------------------------------------------------
// Appending records.

template <typename T>
static void Append(T*& head, T*& tail, int32_t& count, T* record)
{
    if (tail)
        tail->next = record;
    else
        head = record;
    tail = record;
    ++count;
}

template <typename T>
static void Append(EventList<T>& list, T* record)
{
    Append(list.head, list.tail, list.count, record);
}

// ---------------------------------------------------------------------------------------------
// AddChannelData

namespace {

enum CellKind { kCellSoundId, kCellHex };

// Everything AddChannelData needs to know about one cell channel.
struct ChannelTarget {
    CellKind cell;
    int keyKind;
    int keyLane;       // lane or span entry that is part of the duplicate key (0 = position only)
    int isSpan;
    // Note channels.
    EventList<NoteEvent>* notes;
    int lane;
    int sourceLane;
    int addBank;       // soundNumber = id + soundBank * 576
    int lookUpSound;
    // Span channels (one list, or one entry of the parallel arrays).
    SpanMark** spanHead;
    SpanMark** spanTail;
    int32_t* spanCount;
    int isTempo;
    int stream;        // record pool stream of the list
};

// A span channel: hex cells appended to the given list (or entry of the parallel arrays).
void SetSpanTarget(ChannelTarget& t, SpanMark** head, SpanMark** tail, int32_t* count, int keyKind, int keyLane)
{
    t.cell = kCellHex;
    t.isSpan = 1;
    t.spanHead = head;
    t.spanTail = tail;
    t.spanCount = count;
    t.keyKind = keyKind;
    t.keyLane = keyLane;
}

// Digit values by character: -1 for characters that are no digit of the kind.
struct DigitTables {
    signed char hex[256];
    signed char base36[256];
};

DigitTables MakeDigitTables()
{
    DigitTables t;
    for (int c = 0; c < 256; ++c) {
        char ch = (char)c;
        t.hex[c] = (signed char)(IsHexDigit(ch) ? DigitValue(ch) : -1);
        t.base36[c] = (signed char)(IsBase36Digit(ch) ? DigitValue(ch) : -1);
    }
    return t;
}

const DigitTables& Digits()
{
    static const DigitTables tables = MakeDigitTables();
    return tables;
}

}  // namespace

// Fills target for a cell channel; 0 for channels that are not cell channels.
static int DescribeChannel(CChart& chart, int channel, ChannelTarget& t)
{
    memset(&t, 0, sizeof(t));
    if (channel >= 1 && channel <= 32) {
        t.cell = kCellSoundId;
        t.notes = &chart.soundNotes;
        t.lane = channel;
        t.addBank = 1;
        t.lookUpSound = 1;
        t.keyKind = kKeySoundNotes;
        t.keyLane = channel;
        t.stream = 1;
        return 1;
    }
    if (channel >= 40 && channel <= 45) {
        t.cell = kCellSoundId;
        t.notes = &chart.drumNotes;
        t.lane = channel - 39;
        t.sourceLane = t.lane;
        t.addBank = 1;
        t.lookUpSound = 1;
        t.keyKind = kKeyDrumNotes;
        t.keyLane = t.lane;
        t.stream = 2;
        return 1;
    }
    if (channel == 46) {
        t.cell = kCellSoundId;
        t.notes = &chart.fiEvents;
        t.lane = 7;
        t.keyKind = kKeyFi;
        t.keyLane = 7;
        t.stream = 3;
        return 1;
    }
    if ((channel >= 60 && channel <= 67) || (channel >= 80 && channel <= 87)) {
        int guitar = channel < 80;
        t.cell = kCellSoundId;
        t.notes = guitar ? &chart.guitarNotes : &chart.bassNotes;
        t.lane = channel - (guitar ? 60 : 80);
        t.sourceLane = t.lane;
        t.addBank = 1;
        t.lookUpSound = 1;
        t.keyKind = guitar ? kKeyGuitarNotes : kKeyBassNotes;
        t.stream = guitar ? 4 : 5;
        return 1;
    }
    if (channel == 68 || channel == 88) {
        t.cell = kCellSoundId;
        t.notes = channel == 68 ? &chart.guitarWEvents : &chart.bassWEvents;
        t.lane = 8;
        t.keyKind = channel == 68 ? kKeyGuitarW : kKeyBassW;
        t.stream = channel == 68 ? 6 : 7;
        return 1;
    }
    if (channel == 100) {
        t.cell = kCellHex;
        t.isTempo = 1;
        t.keyKind = kKeyTempos;
        return 1;
    }
    if (channel == 110 || channel == 111) {
        EventList<SpanMark>& list = channel == 110 ? chart.guitarSpans : chart.bassSpans;
        SetSpanTarget(t, &list.head, &list.tail, &list.count, channel == 110 ? kKeyGuitarSpans : kKeyBassSpans, 0);
        t.stream = 8;
        return 1;
    }
    if (channel >= 112 && channel <= 117) {
        int entry = channel - 111;
        SetSpanTarget(t, &chart.drumSpanHead[entry], &chart.drumSpanTail[entry], &chart.drumSpanCount[entry],
                      kKeyDrumSpans, entry);
        t.stream = 9;
        return 1;
    }
    if (channel >= 118 && channel <= 149) {
        int entry = channel - 117;
        SetSpanTarget(t, &chart.soundSpanHead[entry], &chart.soundSpanTail[entry], &chart.soundSpanCount[entry],
                      kKeySoundSpans, entry);
        t.stream = 10;
        return 1;
    }
    return 0;
}

void CChart::AddChannelData(int measure, int channel, const char* data, int soundBank)
{
    if (!data)
        return;
    ChartReaderIndex* index = readerIndex;
    ChartReaderIndex* temporary = nullptr;
    if (!index) {
        // Called outside Load: answer from the lists as they are now.
        temporary = new ChartReaderIndex();
        temporary->BuildFrom(*this);
        index = temporary;
    }
    if (!recordPool)
        recordPool = new RecordPool();
    RecordPool* pool = recordPool;

    if (channel != 102 && index->Full()) {
        // The chart holds all the events it may hold: the rest of the file adds none (the start
        // tempo that Load adds at the end still goes in).
    } else if (channel == 101) {
        if (index->keys.Insert((double)measure, ReaderKeyTag(kKeyBarLengths, 0))) {
            BarLengthEvent* b = pool->New<BarLengthEvent>(0);
            b->measure = measure;
            b->length = atof(data);
            Append(barLengths, b);
        }
    } else if (channel == 102) {
        double position = (double)measure;
        if (index->keys.Insert(position, ReaderKeyTag(kKeyTempos, 0))) {
            TempoEvent* t = pool->New<TempoEvent>(0);
            t->position = position;
            t->bpm = atof(data);
            Append(tempos, t);
        }
    } else {
        ChannelTarget target;
        int n = (int)(strlen(data) / 2);
        if (n > 0 && DescribeChannel(*this, channel, target)) {
            uint32_t tag = ReaderKeyTag(target.keyKind, target.keyLane);
            const DigitTables& digits = Digits();
            // Sound-id cells: a hexadecimal digit, then a base-36 digit. Hex cells: two
            // hexadecimal digits. A cell that is not of its form, or is 00, adds nothing.
            const signed char* firstDigit = digits.hex;
            const signed char* secondDigit = target.cell == kCellSoundId ? digits.base36 : digits.hex;
            int radix = target.cell == kCellSoundId ? 36 : 16;
            const unsigned char* cells = reinterpret_cast<const unsigned char*>(data);
            // The cells of a line lie on one grid of its measure, which the duplicate set tests
            // a line at a time (far-out measures are keyed a position at a time).
            bool gridLine = PositionKeySet::IsGridLine(measure, (uint32_t)n);
            if (gridLine)
                index->keys.BeginLine(measure, tag, (uint32_t)n);
            for (int k = 0; k < n; ++k) {
                int d0 = firstDigit[cells[2 * k]];
                int d1 = secondDigit[cells[2 * k + 1]];
                if (d0 < 0 || d1 < 0)
                    continue;
                int value = d0 * radix + d1;
                if (value == 0)
                    continue;
                double position = (double)measure + (double)k / (double)n;
                if (index->Full())
                    break;
                // First event at a key wins: the insert reports whether the key was new.
                if (!(gridLine ? index->keys.InsertCell((uint32_t)k) : index->keys.Insert(position, tag)))
                    continue;
                if (target.isTempo) {
                    TempoEvent* t = pool->New<TempoEvent>(0);
                    t->position = position;
                    t->bpm = (double)value;
                    Append(tempos, t);
                } else if (target.isSpan) {
                    SpanMark* s = pool->New<SpanMark>(target.stream);
                    s->position = position;
                    s->value = value;
                    Append(*target.spanHead, *target.spanTail, *target.spanCount, s);
                } else {
                    NoteEvent* e = pool->New<NoteEvent>(target.stream);
                    e->position = position;
                    e->lane = target.lane;
                    e->sourceLane = target.sourceLane;
                    e->soundNumber = target.addBank ? value + soundBank * 576 : value;
                    e->buffer = target.lookUpSound ? index->BufferForId(value, soundNames[value]) : nullptr;
                    e->enabled = 1;
                    Append(*target.notes, e);
                }
            }
        }
    }

    delete temporary;
}

// ---------------------------------------------------------------------------------------------
// Classification of a channel line.

void CChart::ParseChannelLine(char* line, int measureOffset, int soundBank)
{
    int measure = ParseMeasureNumber(line + 1);
    if (measure < 0)
        return;
    RemoveUnderscores(line);
    measure += measureOffset;
    size_t length = strlen(line);
    // Characters past the end of the text count as NUL (the buffer may hold stale bytes there).
    auto at = [&](size_t i) -> char { return i < length ? line[i] : '\0'; };

    int channel = 0;
    const char* data = nullptr;
    int spanFormTried = 0;

    if (at(7) == ':' && (at(4) == 'C' || at(4) == 'c')) {
        static const char* const spanCodes[] = {"GT", "BS", "HH", "SD", "BD", "HT", "LT", "CY"};
        for (int i = 0; i < 8; ++i) {
            if (StartsWithNoCase(line + 5, spanCodes[i])) {
                channel = 110 + i;
                data = line + 8;
                break;
            }
        }
        if (!channel && IsDecimalDigit(at(5)) && IsHexDigit(at(6))) {
            spanFormTried = 1;
            int n = DigitValue(at(5)) * 16 + DigitValue(at(6));
            if (n >= 1 && n <= 32) {
                channel = 117 + n;
                data = line + 8;
            }
        }
    }

    if (!channel && !spanFormTried && at(6) == ':') {
        static const struct {
            const char* code;
            int channel;
        } codes[] = {{"TC", 100}, {"BL", 101}, {"HH", 40}, {"SD", 41}, {"BD", 42},
                     {"HT", 43},  {"LT", 44},  {"CY", 45}, {"FI", 46}, {"GW", 68}};
        for (const auto& c : codes) {
            if (StartsWithNoCase(line + 4, c.code)) {
                channel = c.channel;
                break;
            }
        }
        char c4 = at(4);
        char c5 = at(5);
        if (!channel && (c4 == 'G' || c4 == 'g') && c5 >= '0' && c5 <= '7')
            channel = 60 + (c5 - '0');
        if (!channel && StartsWithNoCase(line + 4, "BW"))
            channel = 88;
        if (!channel && (c4 == 'B' || c4 == 'b') && c5 >= '0' && c5 <= '7')
            channel = 80 + (c5 - '0');
        if (!channel && IsDecimalDigit(c4) && IsHexDigit(c5)) {
            int n = DigitValue(c4) * 16 + DigitValue(c5);
            if (n >= 1 && n <= 32)
                channel = n;
        }
        if (channel)
            data = line + 7;
    }

    if (measure > measureCount)
        measureCount = measure;

    if (channel)
        AddChannelData(measure, channel, data, soundBank);
}
