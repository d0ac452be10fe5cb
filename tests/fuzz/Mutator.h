// The mutation engine: a seeded random source and byte-level mutations, with dictionaries of the
// tokens that matter to chart text and to sound files.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // 0 .. n-1 (0 when n is 0).
    size_t Below(size_t n) { return n ? (size_t)(Next() % n) : 0; }
    bool OneIn(size_t n) { return Below(n) == 0; }
    // Small counts are much more likely than large ones: 1 .. limit.
    size_t Skewed(size_t limit);

private:
    uint64_t m_state;
};

enum class InputKind { kChart, kSound };

// Applies 1 to maxSteps mutations to data. other (may be empty) is a second input for splicing.
void Mutate(Bytes& data, const Bytes& other, InputKind kind, Random& random, size_t maxSteps, size_t maxSize);

// Text helpers shared by the corpus generator and the soak checks.
inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
