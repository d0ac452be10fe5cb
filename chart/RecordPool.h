// Storage of a chart's event records: records are carved out of large blocks instead of being
// allocated one by one. Each stream (the reader gives every list, or family of span lists, its
// own) fills its own blocks, so the records of one list lie together in memory and the walks of
// the compiler and the lane builders read them in order. The chart owns the pool and frees it, with every record in it, when it is
// destroyed.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <new>
#include <vector>

class RecordPool {
public:
    static const int kStreams = 16;

    RecordPool()
    {
        for (int i = 0; i < kStreams; ++i) {
            m_next[i] = nullptr;
            m_left[i] = 0;
        }
    }
    ~RecordPool()
    {
        for (char*& block : m_blocks) {
            delete[] block;
            block = nullptr;
        }
    }
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;

    // A new zero-filled record of type T (a plain record type: trivially destructible) from
    // stream 0 .. kStreams - 1.
    template <typename T>
    T* New(int stream)
    {
        const size_t size = (sizeof(T) + kAlign - 1) & ~(kAlign - 1);
        if (m_left[stream] < size)
            AddBlock(stream);
        T* record = new (m_next[stream]) T();
        m_next[stream] += size;
        m_left[stream] -= size;
        return record;
    }

private:
    static const size_t kAlign = 8;
    static const size_t kBlockSize = 256u << 10;

    void AddBlock(int stream)
    {
        char* block = new char[kBlockSize];
        // new[] of char is aligned for any fundamental type; keep records 8-aligned inside it.
        size_t skip = (kAlign - ((uintptr_t)block & (kAlign - 1))) & (kAlign - 1);
        m_blocks.push_back(block);
        m_next[stream] = block + skip;
        m_left[stream] = kBlockSize - skip;
    }

    std::vector<char*> m_blocks;
    char* m_next[kStreams];
    size_t m_left[kStreams];
};
