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

// A set of (exact double, tag) pairs. Two positions are the same key exactly when they compare
// equal as doubles (+0.0 and -0.0 are folded together); other values, NaN included, are keyed by
// their bits.
// Keys are grouped by (tag, whole measure): each group is a small open-addressing table of the
// position bits, so the cells of one channel line (all in one measure) are tested against a table
// that stays in the cache, and no table ever rehashes more than its own group.
class PositionKeySet {
public:
    PositionKeySet();
    ~PositionKeySet();
    PositionKeySet(const PositionKeySet&) = delete;
    PositionKeySet& operator=(const PositionKeySet&) = delete;

    // Adds the key; returns 1 when it was new, 0 when it was already present.
    int Insert(double position, uint32_t tag) { return InsertInGroup(position, GroupOf(position), tag); }
    // Insert for a caller that knows the group: measure must equal GroupOf(position).
    int InsertInGroup(double position, int64_t measure, uint32_t tag)
    {
        Group* group = GroupFor(measure, tag);
        // At most 5/8 of a table is used, so a free slot is always near.
        if ((group->used + 1) * 8 > (group->mask + 1) * 5)
            GrowGroup(*group);
        uint64_t bits = Bits(position);
        uint32_t i = SlotOf(bits, group->mask);
        for (;;) {
            uint64_t slot = group->slots[i];
            if (slot == bits)
                return 0;
            if (slot == kEmptySlot)
                break;
            i = (i + 1) & group->mask;
        }
        group->slots[i] = bits;
        ++group->used;
        ++m_used;
        return 1;
    }
    // Makes the group of (measure, tag) the current one and gives it room for count more keys,
    // so that the inserts of one channel line never grow its table one step at a time.
    void PrepareGroup(int64_t measure, uint32_t tag, uint32_t count);
    size_t Size() const { return m_used; }

private:
    struct Group {
        uint64_t* slots;  // kEmpty marks a free slot
        uint32_t mask;    // slot count - 1 (a power of two)
        uint32_t used;
    };
    static constexpr uint64_t kEmptySlot = 0x8000000000000000ull;  // the bits of -0.0, never a key
    // Group number of positions that are not finite or too large for a whole measure number.
    static constexpr int64_t kOddGroup = INT64_MIN;

    static uint64_t Bits(double position)
    {
        if (position == 0.0)
            position = 0.0;  // folds -0.0 into +0.0: they compare equal
        uint64_t bits;
        memcpy(&bits, &position, sizeof(bits));
        return bits;
    }
    // Which group a position belongs to: its whole measure (rounded down). Equal doubles always
    // give the same group.
    static int64_t GroupOf(double position)
    {
        if (!(position > -4.0e18 && position < 4.0e18))
            return kOddGroup;  // NaN, infinities and huge values
        int64_t whole = (int64_t)position;  // toward zero
        if ((double)whole > position)
            --whole;
        return whole;
    }
    static uint64_t GroupKey(int64_t measure, uint32_t tag);
    static uint32_t SlotOf(uint64_t bits, uint32_t mask)
    {
        uint64_t x = bits * 0x9E3779B97F4A7C15ull;
        return (uint32_t)(x >> 32) & mask;
    }
    // The group of (measure, tag), made when missing; the last one used is found without a look-up.
    Group* GroupFor(int64_t measure, uint32_t tag)
    {
        return (!m_groups.empty() && measure == m_lastMeasure && tag == m_lastTag) ? &m_groups[m_lastGroup]
                                                                                   : FindGroup(measure, tag);
    }
    Group* FindGroup(int64_t measure, uint32_t tag);
    static void GrowGroup(Group& group, uint32_t slotCount);
    static void GrowGroup(Group& group) { GrowGroup(group, (group.mask + 1) * 2); }

    // GroupKey -> 1 + index into m_groups, open addressing; 0 marks a free entry.
    struct IndexEntry {
        uint64_t key;
        uint32_t number;
    };
    uint32_t LookUpGroup(uint64_t key) const;  // 1 + index, or 0
    void AddGroupKey(uint64_t key, uint32_t number);

    std::vector<IndexEntry> m_groupIndex;
    size_t m_indexUsed;
    // Groups of measures 0 .. kDirectMeasures - 1 by tag and measure (1 + index, 0 = none): the
    // measures of a normal chart, found without hashing.
    static constexpr int64_t kDirectMeasures = 1 << 16;
    std::vector<uint32_t> m_direct[1024];
    std::vector<Group> m_groups;
    // The group of the last insert: consecutive cells of a line share it.
    int64_t m_lastMeasure;
    uint32_t m_lastTag;
    uint32_t m_lastGroup;
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
    bool Full() { return keys.Size() >= g_maxChartEvents && ReportFull(); }

    // Fills the duplicate keys from the chart's current lists and the name map from the device's
    // current buffer list.
    void BuildFrom(const CChart& chart);

    // First buffer of the device's list whose file name equals path without regard to case.
    CDSBuffer* FindBufferByName(const char* path) const;
    // Records a buffer just appended to the device's list (kept only if its name is new).
    void AddBuffer(CDSBuffer* buffer);

    // The buffer a note of sound id plays: the first listed buffer named like soundNames[id];
    // null when the entry is empty or no buffer has that name. Cached per id.
    CDSBuffer* BufferForId(int id, const char* soundName)
    {
        if (id > 0 && id < 576 && m_idResolved[id])
            return m_idBuffer[id];
        return ResolveId(id, soundName);
    }
    // Drops the cached answer for id (its soundNames entry changed).
    void ForgetId(int id) { m_idResolved[id] = 0; }

    PositionKeySet keys;

private:
    static std::string UpperKey(const char* path);
    bool ReportFull();
    CDSBuffer* ResolveId(int id, const char* soundName);

    std::unordered_map<std::string, CDSBuffer*> m_buffersByName;
    CDSBuffer* m_idBuffer[576];
    unsigned char m_idResolved[576];
    bool m_fullReported;
};
