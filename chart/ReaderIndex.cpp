#include "chart/ReaderIndex.h"

#include "chart/CChart.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

namespace {

const uint32_t kFirstRawSlots = 8;

uint32_t CommonDivisor(uint32_t a, uint32_t b)
{
    while (b) {
        uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

PositionKeySet::PositionKeySet()
    : m_indexUsed(0), m_lineWord(0), m_lastMeasure(0), m_lastTag(0), m_lastGroup(0), m_used(0)
{
}

PositionKeySet::~PositionKeySet()
{
    for (Group& group : m_groups) {
        delete[] group.raw;
        group.raw = nullptr;
    }
}

uint64_t PositionKeySet::GroupHash(int64_t measure, uint32_t tag) { return ((uint64_t)measure << 10) ^ (tag & 1023u); }

int64_t PositionKeySet::CellOf(double position, int64_t measure, uint32_t n)
{
    // position - measure is exact for a position in [measure, measure + 1).
    double x = (position - (double)measure) * (double)n;
    if (!(x > -0.5 && x < (double)n - 0.5))
        return -1;
    int64_t k = (int64_t)(x + 0.5);
    return (double)measure + (double)k / (double)n == position ? k : -1;
}

void PositionKeySet::GrowRaw(Group& group)
{
    uint32_t oldCount = group.raw ? group.rawMask + 1 : 0;
    uint32_t slotCount = oldCount ? oldCount * 2 : kFirstRawSlots;
    uint64_t* old = group.raw;
    group.raw = new uint64_t[slotCount];
    group.rawMask = slotCount - 1;
    for (uint32_t i = 0; i < slotCount; ++i)
        group.raw[i] = kEmptySlot;
    for (uint32_t j = 0; j < oldCount; ++j) {
        uint64_t bits = old[j];
        if (bits == kEmptySlot)
            continue;
        uint32_t i = SlotOf(bits, group.rawMask);
        while (group.raw[i] != kEmptySlot)
            i = (i + 1) & group.rawMask;
        group.raw[i] = bits;
    }
    delete[] old;
}

int PositionKeySet::Insert(double position, uint32_t tag)
{
    int64_t measure = GroupOf(position);
    Group* group = GroupFor(measure, tag);
    for (uint32_t g = group->firstGrid; g; g = m_grids[g - 1].next) {
        const Grid& grid = m_grids[g - 1];
        int64_t k = CellOf(position, measure, grid.cells);
        if (k >= 0 && GridHas(grid, (uint32_t)k))
            return 0;
    }
    // At most 5/8 of a table is used, so a free slot is always near.
    if (!group->raw || (group->rawUsed + 1) * 8 > (group->rawMask + 1) * 5)
        GrowRaw(*group);
    uint64_t bits = Bits(position);
    uint32_t i = SlotOf(bits, group->rawMask);
    for (;;) {
        uint64_t slot = group->raw[i];
        if (slot == bits)
            return 0;
        if (slot == kEmptySlot)
            break;
        i = (i + 1) & group->rawMask;
    }
    group->raw[i] = bits;
    ++group->rawUsed;
    ++m_used;
    return 1;
}

void PositionKeySet::BeginLine(int64_t measure, uint32_t tag, uint32_t n)
{
    Group* group = GroupFor(measure, tag);
    const uint32_t words = (n + 63) / 64;
    m_lineTaken.assign(words, 0);
    uint32_t own = 0;
    for (uint32_t g = group->firstGrid; g; g = m_grids[g - 1].next) {
        const Grid& grid = m_grids[g - 1];
        if (grid.cells == n) {
            own = g;
            for (uint32_t w = 0; w < words; ++w)
                m_lineTaken[w] |= m_words[grid.word + w];
            continue;
        }
        // Cell j * (n / d) of this line is cell j * (n' / d) of the other grid, d = gcd(n, n').
        uint32_t d = CommonDivisor(n, grid.cells);
        uint32_t step = n / d;
        uint32_t otherStep = grid.cells / d;
        for (uint32_t j = 0; j < d; ++j)
            if (GridHas(grid, j * otherStep))
                m_lineTaken[(j * step) >> 6] |= 1ull << ((j * step) & 63);
    }
    if (group->raw) {
        for (uint32_t i = 0; i <= group->rawMask; ++i) {
            uint64_t bits = group->raw[i];
            if (bits == kEmptySlot)
                continue;
            double position;
            memcpy(&position, &bits, sizeof(position));
            int64_t k = CellOf(position, measure, n);
            if (k >= 0)
                m_lineTaken[k >> 6] |= 1ull << (k & 63);
        }
    }
    if (!own) {
        m_grids.push_back(Grid{n, (uint32_t)m_words.size(), group->firstGrid});
        m_words.resize(m_words.size() + words, 0);
        group->firstGrid = (uint32_t)m_grids.size();
        own = group->firstGrid;
    }
    m_lineWord = m_grids[own - 1].word;
}

uint32_t PositionKeySet::LookUpGroup(int64_t measure, uint32_t tag) const
{
    if (m_groupIndex.empty())
        return 0;
    uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
    for (uint32_t i = SlotOf(GroupHash(measure, tag), mask);; i = (i + 1) & mask) {
        const IndexEntry& entry = m_groupIndex[i];
        if (entry.number == 0 || (entry.measure == measure && entry.tag == tag))
            return entry.number;
    }
}

void PositionKeySet::AddGroupKey(int64_t measure, uint32_t tag, uint32_t number)
{
    // The index stays at most half full.
    if ((m_indexUsed + 1) * 2 > m_groupIndex.size()) {
        std::vector<IndexEntry> old;
        old.swap(m_groupIndex);
        m_groupIndex.assign(old.empty() ? 1024 : old.size() * 2, IndexEntry{0, 0, 0});
        uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
        for (const IndexEntry& entry : old) {
            if (entry.number == 0)
                continue;
            uint32_t i = SlotOf(GroupHash(entry.measure, entry.tag), mask);
            while (m_groupIndex[i].number != 0)
                i = (i + 1) & mask;
            m_groupIndex[i] = entry;
        }
    }
    uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
    uint32_t i = SlotOf(GroupHash(measure, tag), mask);
    while (m_groupIndex[i].number != 0)
        i = (i + 1) & mask;
    m_groupIndex[i] = IndexEntry{measure, tag, number};
    ++m_indexUsed;
}

PositionKeySet::Group* PositionKeySet::FindGroup(int64_t measure, uint32_t tag)
{
    std::vector<uint32_t>* direct = (measure >= 0 && measure < kDirectMeasures) ? &m_direct[tag & 1023u] : nullptr;
    uint32_t found = 0;
    if (direct)
        found = (size_t)measure < direct->size() ? (*direct)[(size_t)measure] : 0;
    else
        found = LookUpGroup(measure, tag);
    uint32_t number;
    if (found != 0) {
        number = found - 1;
    } else {
        number = (uint32_t)m_groups.size();
        Group group = {0, 0, 0, nullptr};
        if (direct) {
            if ((size_t)measure >= direct->size())
                direct->resize((size_t)measure + 1, 0);
            (*direct)[(size_t)measure] = number + 1;
        } else {
            // The index entry first: it counts the groups already made when it decides to grow.
            AddGroupKey(measure, tag, number + 1);
        }
        m_groups.push_back(group);
    }
    m_lastMeasure = measure;
    m_lastTag = tag;
    m_lastGroup = number;
    return &m_groups[number];
}

ChartReaderIndex::ChartReaderIndex() : m_fullReported(false)
{
    memset(m_idBuffer, 0, sizeof(m_idBuffer));
    memset(m_idResolved, 0, sizeof(m_idResolved));
}

bool ChartReaderIndex::ReportFull()
{
    if (!m_fullReported) {
        DebugPrint("CChart::Load TooManyEvents\n");
        m_fullReported = true;
    }
    return true;
}

template <typename T>
static void AddNoteKeys(PositionKeySet& keys, const T* head, int kind, int useLane)
{
    for (const T* e = head; e; e = e->next)
        keys.Insert(e->position, ReaderKeyTag(kind, useLane ? e->lane : 0));
}

static void AddSpanKeys(PositionKeySet& keys, const SpanMark* head, int kind, int entry)
{
    for (const SpanMark* s = head; s; s = s->next)
        keys.Insert(s->position, ReaderKeyTag(kind, entry));
}

void ChartReaderIndex::BuildFrom(const CChart& chart)
{
    AddNoteKeys(keys, chart.guitarNotes.head, kKeyGuitarNotes, 0);
    AddNoteKeys(keys, chart.guitarWEvents.head, kKeyGuitarW, 0);
    AddNoteKeys(keys, chart.bassNotes.head, kKeyBassNotes, 0);
    AddNoteKeys(keys, chart.bassWEvents.head, kKeyBassW, 0);
    AddNoteKeys(keys, chart.drumNotes.head, kKeyDrumNotes, 1);
    AddNoteKeys(keys, chart.fiEvents.head, kKeyFi, 1);
    AddNoteKeys(keys, chart.soundNotes.head, kKeySoundNotes, 1);
    for (const TempoEvent* t = chart.tempos.head; t; t = t->next)
        keys.Insert(t->position, ReaderKeyTag(kKeyTempos, 0));
    for (const BarLengthEvent* b = chart.barLengths.head; b; b = b->next)
        keys.Insert((double)b->measure, ReaderKeyTag(kKeyBarLengths, 0));
    AddSpanKeys(keys, chart.guitarSpans.head, kKeyGuitarSpans, 0);
    AddSpanKeys(keys, chart.bassSpans.head, kKeyBassSpans, 0);
    for (int i = 0; i < 9; ++i)
        AddSpanKeys(keys, chart.drumSpanHead[i], kKeyDrumSpans, i);
    for (int i = 0; i < 36; ++i)
        AddSpanKeys(keys, chart.soundSpanHead[i], kKeySoundSpans, i);

    if (chart.device) {
        for (CDSBufferNode* node = chart.device->GetList().m_head; node; node = node->next)
            if (node->buffer)
                AddBuffer(node->buffer);
    }
}

std::string ChartReaderIndex::UpperKey(const char* path)
{
    std::string key(path);
    for (char& c : key)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return key;
}

CDSBuffer* ChartReaderIndex::FindBufferByName(const char* path) const
{
    auto found = m_buffersByName.find(UpperKey(path));
    return found == m_buffersByName.end() ? nullptr : found->second;
}

void ChartReaderIndex::AddBuffer(CDSBuffer* buffer)
{
    // emplace keeps the entry already there: the first listed buffer of a name wins.
    m_buffersByName.emplace(UpperKey(buffer->GetFileName()), buffer);
}

CDSBuffer* ChartReaderIndex::ResolveId(int id, const char* soundName)
{
    if (id <= 0 || id >= 576)
        return nullptr;
    if (!m_idResolved[id]) {
        m_idBuffer[id] = soundName[0] ? FindBufferByName(soundName) : nullptr;
        m_idResolved[id] = 1;
    }
    return m_idBuffer[id];
}
