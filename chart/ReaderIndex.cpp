#include "chart/ReaderIndex.h"

#include "chart/CChart.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

size_t g_maxChartEvents = kMaxChartEvents;

PositionKeySet::PositionKeySet() : m_slots(1024), m_used(0)
{
    for (Slot& slot : m_slots)
        slot.tag = 0;
}

uint64_t PositionKeySet::Bits(double position)
{
    if (position == 0.0)
        position = 0.0;  // folds -0.0 into +0.0: they compare equal
    uint64_t bits;
    memcpy(&bits, &position, sizeof(bits));
    return bits;
}

size_t PositionKeySet::Hash(uint64_t bits, uint32_t tag)
{
    uint64_t x = bits ^ ((uint64_t)tag * 0x9E3779B97F4A7C15ull);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return (size_t)x;
}

void PositionKeySet::Grow()
{
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.assign(old.size() * 2, Slot{0, 0});
    size_t mask = m_slots.size() - 1;
    for (const Slot& slot : old) {
        if (slot.tag == 0)
            continue;
        size_t i = Hash(slot.bits, slot.tag) & mask;
        while (m_slots[i].tag != 0)
            i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

// The slot that holds the key, or the empty slot where it would go.
size_t PositionKeySet::Find(uint64_t bits, uint32_t tag) const
{
    size_t mask = m_slots.size() - 1;
    size_t i = Hash(bits, tag) & mask;
    while (m_slots[i].tag != 0) {
        if (m_slots[i].tag == tag && m_slots[i].bits == bits)
            return i;
        i = (i + 1) & mask;
    }
    return i;
}

int PositionKeySet::Insert(double position, uint32_t tag)
{
    if ((m_used + 1) * 2 > m_slots.size())
        Grow();
    uint64_t bits = Bits(position);
    size_t i = Find(bits, tag);
    if (m_slots[i].tag != 0)
        return 0;
    m_slots[i].bits = bits;
    m_slots[i].tag = tag;
    ++m_used;
    return 1;
}

int PositionKeySet::Contains(double position, uint32_t tag) const
{
    return m_slots[Find(Bits(position), tag)].tag != 0;
}

ChartReaderIndex::ChartReaderIndex() : m_fullReported(false)
{
    memset(m_idBuffer, 0, sizeof(m_idBuffer));
    memset(m_idResolved, 0, sizeof(m_idResolved));
}

bool ChartReaderIndex::Full()
{
    if (keys.Size() < g_maxChartEvents)
        return false;
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

CDSBuffer* ChartReaderIndex::BufferForId(int id, const char* soundName)
{
    if (id <= 0 || id >= 576)
        return nullptr;
    if (!m_idResolved[id]) {
        m_idBuffer[id] = soundName[0] ? FindBufferByName(soundName) : nullptr;
        m_idResolved[id] = 1;
    }
    return m_idBuffer[id];
}
