// Working indexes of the chart reader: they keep the duplicate tests and the sound lookups linear
// in the size of the chart while giving exactly the answers of the plain list walks.
#pragma once
#include <stdint.h>
#include <string.h>

#include <string>
#include <unordered_map>
#include <vector>

class CChart;
class CDSound;
class CDSBuffer;

// Which list (and, where the duplicate rule includes it, which lane or span entry) an event key
// belongs to. The tag is kind * 64 + lane.
enum ReaderListKind {
    kKeyGuitarNotes = 1,
    kKeyGuitarW,
    kKeyBassNotes,
    kKeyBassW,
    kKeyDrumNotes,
    kKeyFi,
    kKeySoundNotes,
    kKeyTempos,
    kKeyBarLengths,
    kKeyGuitarSpans,
    kKeyBassSpans,
    kKeyDrumSpans,
    kKeySoundSpans,
};

inline uint32_t ReaderKeyTag(int kind, int lane) { return (uint32_t)kind * 64u + ((uint32_t)lane & 63u); }

// A set of (exact double, tag) pairs with open addressing. Two positions are the same key exactly
// when they compare equal as doubles (+0.0 and -0.0 are folded together).
class PositionKeySet {
public:
    PositionKeySet();
    // Adds the key; returns 1 when it was new, 0 when it was already present.
    int Insert(double position, uint32_t tag);
    int Contains(double position, uint32_t tag) const;
    size_t Size() const { return m_used; }

private:
    struct Slot {
        uint64_t bits;
        uint32_t tag;  // 0 = empty slot (every real tag is at least 64)
    };
    static uint64_t Bits(double position);
    static size_t Hash(uint64_t bits, uint32_t tag);
    void Grow();
    size_t Find(uint64_t bits, uint32_t tag) const;

    std::vector<Slot> m_slots;
    size_t m_used;
};

// A chart holds at most this many events (notes, W and FI events, tempos, bar lengths and span
// marks together). Real charts hold a few thousand, and a 999-measure chart with every channel
// filled at 1/48 about 4.4 million; a huge or hostile file (a 200 MB file of note cells holds
// about 100 million) would otherwise take memory until the allocation fails. Cells past the bound
// are ignored. At about 140 bytes an event the bound keeps a chart near 700 MB, which the 32-bit
// build can still hold.
const size_t kMaxChartEvents = 5000000;
// The bound in force (tests lower it to keep their charts small).
extern size_t g_maxChartEvents;

class ChartReaderIndex {
public:
    ChartReaderIndex();

    // True when the chart holds kMaxChartEvents events: no more may be added. The first time,
    // writes the diagnostic line "CChart::Load TooManyEvents\n".
    bool Full();

    // Fills the duplicate keys from the chart's current lists and the name map from the device's
    // current buffer list.
    void BuildFrom(const CChart& chart);

    // First buffer of the device's list whose file name equals path without regard to case.
    CDSBuffer* FindBufferByName(const char* path) const;
    // Records a buffer just appended to the device's list (kept only if its name is new).
    void AddBuffer(CDSBuffer* buffer);

    // The buffer a note of sound id plays: the first listed buffer named like soundNames[id];
    // null when the entry is empty or no buffer has that name. Cached per id.
    CDSBuffer* BufferForId(int id, const char* soundName);
    // Drops the cached answer for id (its soundNames entry changed).
    void ForgetId(int id) { m_idResolved[id] = 0; }

    PositionKeySet keys;

private:
    static std::string UpperKey(const char* path);

    std::unordered_map<std::string, CDSBuffer*> m_buffersByName;
    CDSBuffer* m_idBuffer[576];
    unsigned char m_idResolved[576];
    bool m_fullReported;
};
