// Working indexes of the chart reader: they keep the duplicate tests and the sound lookups linear
// in the size of the chart while giving exactly the answers a walk over the whole list would give.
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
// Keys are grouped by (tag, whole measure). The cells of a channel line lie on a grid: cell k of n
// is at measure + k / n. A group keeps one bit map per grid size (the cells taken by all its lines
// of that size), so a line is tested against the group in a few word operations instead of one
// probe per cell. Two cells of grids n and n' are the same double exactly when k / n == k' / n'
// as fractions, as long as n, n' <= kMaxGridCells and |measure| < kMaxGridMeasure: different
// fractions then differ by at least 1 / (n * n'), far more than the rounding of measure + k / n.
// Keys that do not come from such a line (start tempo, bar lengths, lists that were already there)
// are kept by their bits in a small hash table of the group.
class PositionKeySet {
public:
    static const uint32_t kMaxGridCells = 4096;
    static constexpr int64_t kMaxGridMeasure = 1 << 20;

    PositionKeySet();
    ~PositionKeySet();
    PositionKeySet(const PositionKeySet&) = delete;
    PositionKeySet& operator=(const PositionKeySet&) = delete;

    // Adds the key; returns 1 when it was new, 0 when it was already present.
    int Insert(double position, uint32_t tag);

    // True when a line of n cells in measure can use BeginLine and InsertCell.
    static bool IsGridLine(int64_t measure, uint32_t n)
    {
        return n >= 1 && n <= kMaxGridCells && measure > -kMaxGridMeasure && measure < kMaxGridMeasure;
    }
    // Starts the cells of one line: n cells of (measure, tag), cell k at the position the reader
    // computes as (double)measure + (double)k / (double)n. Requires IsGridLine(measure, n).
    void BeginLine(int64_t measure, uint32_t tag, uint32_t n);
    // Adds the key of cell k (k < n) of the line begun last; 1 when it was new, 0 when present.
    // Each cell of a line is given at most once.
    int InsertCell(uint32_t k)
    {
        uint64_t bit = 1ull << (k & 63);
        if (m_lineTaken[k >> 6] & bit)
            return 0;
        m_words[m_lineWord + (k >> 6)] |= bit;
        ++m_used;
        return 1;
    }
    size_t Size() const { return m_used; }

private:
    struct Group {
        uint32_t firstGrid;  // 1 + index into m_grids, 0 = none
        uint32_t rawMask;    // slot count - 1 of raw (a power of two)
        uint32_t rawUsed;
        uint64_t* raw;       // keys that are no grid cell; kEmptySlot marks a free slot; null = none yet
    };
    struct Grid {
        uint32_t cells;  // n
        uint32_t word;   // first word of its bit map in m_words
        uint32_t next;   // 1 + index of the group's next grid, 0 = last
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
    // The cell k of an n-cell line of measure whose position equals position, or -1.
    static int64_t CellOf(double position, int64_t measure, uint32_t n);
    bool GridHas(const Grid& grid, uint32_t k) const { return (m_words[grid.word + (k >> 6)] >> (k & 63)) & 1; }
    static uint64_t GroupHash(int64_t measure, uint32_t tag);
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
    static void GrowRaw(Group& group);

    // (measure, tag) -> 1 + index into m_groups, open addressing; 0 marks a free entry.
    struct IndexEntry {
        int64_t measure;
        uint32_t tag;
        uint32_t number;
    };
    uint32_t LookUpGroup(int64_t measure, uint32_t tag) const;  // 1 + index, or 0
    void AddGroupKey(int64_t measure, uint32_t tag, uint32_t number);

    std::vector<IndexEntry> m_groupIndex;
    size_t m_indexUsed;
    // Groups of measures 0 .. kDirectMeasures - 1 by tag and measure (1 + index, 0 = none): the
    // measures of a normal chart, found without hashing.
    static constexpr int64_t kDirectMeasures = 1 << 16;
    std::vector<uint32_t> m_direct[1024];
    std::vector<Group> m_groups;
    std::vector<Grid> m_grids;
    std::vector<uint64_t> m_words;  // bit maps of all grids
    // The line begun last: the cells already taken (by any grid or raw key of its group) and the
    // first word of its own grid's bit map.
    std::vector<uint64_t> m_lineTaken;
    uint32_t m_lineWord;
    // The group of the last look-up: consecutive lines and keys often share it.
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

class ChartReaderIndex {
public:
    ChartReaderIndex();

    // True when the chart holds kMaxChartEvents events: no more may be added. The first time,
    // writes the diagnostic line "CChart::Load TooManyEvents\n".
    bool Full() { return keys.Size() >= kMaxChartEvents && ReportFull(); }

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
