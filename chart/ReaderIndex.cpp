#include "chart/ReaderIndex.h"

#include "chart/CChart.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

size_t g_maxChartEvents = kMaxChartEvents;

namespace {

const uint32_t kFirstGroupSlots = 64;

}  // namespace

PositionKeySet::PositionKeySet() : m_indexUsed(0), m_lastMeasure(0), m_lastTag(0), m_lastGroup(0), m_used(0) {}

PositionKeySet::~PositionKeySet()
{
    for (Group& group : m_groups) {
        delete[] group.slots;
        group.slots = nullptr;
    }
}

// Distinct tags always give distinct keys (tags are below 1024); distinct measures may share a
// key, which only puts their positions into one table.
uint64_t PositionKeySet::GroupKey(int64_t measure, uint32_t tag) { return ((uint64_t)measure << 10) ^ (tag & 1023u); }

void PositionKeySet::GrowGroup(Group& group, uint32_t slotCount)
{
    uint32_t oldCount = group.mask + 1;
    uint64_t* old = group.slots;
    group.slots = new uint64_t[slotCount];
    group.mask = slotCount - 1;
    for (uint32_t i = 0; i < slotCount; ++i)
        group.slots[i] = kEmptySlot;
    for (uint32_t j = 0; j < oldCount; ++j) {
        uint64_t bits = old[j];
        if (bits == kEmptySlot)
            continue;
        uint32_t i = SlotOf(bits, group.mask);
        while (group.slots[i] != kEmptySlot)
            i = (i + 1) & group.mask;
        group.slots[i] = bits;
    }
    delete[] old;
}

void PositionKeySet::PrepareGroup(int64_t measure, uint32_t tag, uint32_t count)
{
    Group* group = GroupFor(measure, tag);
    uint64_t needed = (uint64_t)group->used + count;
    uint64_t slots = (uint64_t)group->mask + 1;
    while (needed * 8 > slots * 5 && slots < (1u << 30))
        slots *= 2;
    if (slots > (uint64_t)group->mask + 1)
        GrowGroup(*group, (uint32_t)slots);
}

uint32_t PositionKeySet::LookUpGroup(uint64_t key) const
{
    if (m_groupIndex.empty())
        return 0;
    uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
    for (uint32_t i = SlotOf(key, mask);; i = (i + 1) & mask) {
        const IndexEntry& entry = m_groupIndex[i];
        if (entry.number == 0 || entry.key == key)
            return entry.number;
    }
}

void PositionKeySet::AddGroupKey(uint64_t key, uint32_t number)
{
    // The index stays at most half full.
    if ((m_indexUsed + 1) * 2 > m_groupIndex.size()) {
        std::vector<IndexEntry> old;
        old.swap(m_groupIndex);
        m_groupIndex.assign(old.empty() ? 1024 : old.size() * 2, IndexEntry{0, 0});
        uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
        for (const IndexEntry& entry : old) {
            if (entry.number == 0)
                continue;
            uint32_t i = SlotOf(entry.key, mask);
            while (m_groupIndex[i].number != 0)
                i = (i + 1) & mask;
            m_groupIndex[i] = entry;
        }
    }
    uint32_t mask = (uint32_t)m_groupIndex.size() - 1;
    uint32_t i = SlotOf(key, mask);
    while (m_groupIndex[i].number != 0)
        i = (i + 1) & mask;
    m_groupIndex[i].key = key;
    m_groupIndex[i].number = number;
    ++m_indexUsed;
}

PositionKeySet::Group* PositionKeySet::FindGroup(int64_t measure, uint32_t tag)
{
    uint64_t key = GroupKey(measure, tag);
    std::vector<uint32_t>* direct = (measure >= 0 && measure < kDirectMeasures) ? &m_direct[tag & 1023u] : nullptr;
    uint32_t found = 0;
    if (direct)
        found = (size_t)measure < direct->size() ? (*direct)[(size_t)measure] : 0;
    else
        found = LookUpGroup(key);
    uint32_t number;
    if (found != 0) {
        number = found - 1;
    } else {
        number = (uint32_t)m_groups.size();
        Group group;
        group.slots = new uint64_t[kFirstGroupSlots];
        group.mask = kFirstGroupSlots - 1;
        group.used = 0;
        for (uint32_t i = 0; i < kFirstGroupSlots; ++i)
            group.slots[i] = kEmptySlot;
        if (direct) {
            if ((size_t)measure >= direct->size())
                direct->resize((size_t)measure + 1, 0);
            (*direct)[(size_t)measure] = number + 1;
        } else {
            // The index entry first: it counts the groups already made when it decides to grow.
            AddGroupKey(key, number + 1);
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
