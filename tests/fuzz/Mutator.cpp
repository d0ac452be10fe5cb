#include "Mutator.h"

#include <stdio.h>
#include <string.h>

uint64_t Random::Next()
{
    // splitmix64
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

size_t Random::Skewed(size_t limit)
{
    if (limit <= 1)
        return 1;
    // Pick a bit length first, then a value of that length.
    size_t bits = 1;
    while ((((size_t)1) << bits) < limit)
        ++bits;
    size_t top = (size_t)1 << (1 + Below(bits));
    size_t v = 1 + Below(top);
    return v > limit ? limit : v;
}

namespace {

const char* const kChartTokens[] = {
    "#", "\r\n", "\n", "\r", "\t", ":", "_", " ", "\0", "#001", "#999", "#000", "HH:", "SD:", "BD:", "HT:", "LT:",
    "CY:", "FI:", "GW:", "BW:", "TC:", "BL:", "G0:", "G7:", "B3:", "01:", "20:", "1F:", "21:", "CGT:", "CBS:",
    "CHH:", "C01:", "C20:", "C21:", "cbd:", "#WAV", "#WAV01 ", "#WAVFZ ", "#WAVZZ ", "#WAV00 ", "#BPM ", "#BPM",
    "#BASEBPM ", "#BASEBPM -", "#TITLE ", "#ARTIST ", "#PATH_WAV ", "#WALL ", "tiny.wav", "tiny.xa",
    "missing.wav", "..\\", "\\", "\x83\x5C", "\x81", "\xFC", "01", "02", "FZ", "zz", "00", "0a", "G0", "FF",
    "0.75", "1.5", "0", "-1", "1e308", "1e-308", "nan", "inf", "99999999999", "-2147483648", "0x10", "____",
};

const char* const kSoundTokens[] = {
    "RIFF", "WAVE", "fmt ", "data", "LIST", "fact", "KWD1", "\x01\x00", "\x11\x00", "\x02\x00", "\x06\x00",
    "\x07\x00", "\xFE\xFF", "\x03\x00", "\x55\x00",
};

const uint32_t kInteresting[] = {
    0,          1,          2,          3,          4,          7,          8,          15,         16,
    17,         18,         20,         32,         40,         64,         127,        128,        255,
    256,        505,        1016,       1024,       2048,       4096,       4640,       8000,       10000,
    11025,      22050,      44100,      48000,      65535,      65536,      176400,     352800,     0x7FFF,
    0x8000,     0xFFFF,     0x10000,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x00FFFFFF,
};

size_t TokenLength(const char* token) { return token[0] == '\0' ? 1 : strlen(token); }

void Insert(Bytes& data, size_t at, const uint8_t* bytes, size_t n) { data.insert(data.begin() + at, bytes, bytes + n); }

// Offsets of the starts of lines (after a CR LF or at 0).
std::vector<size_t> LineStarts(const Bytes& data)
{
    std::vector<size_t> starts;
    starts.push_back(0);
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == '\r' && data[i + 1] == '\n')
            starts.push_back(i + 2);
    return starts;
}

size_t LineEnd(const Bytes& data, size_t start)
{
    size_t i = start;
    while (i < data.size() && !(data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n'))
        ++i;
    return i;
}

void ChartMutation(Bytes& data, const Bytes& other, Random& r, size_t maxSize)
{
    std::vector<size_t> starts = LineStarts(data);
    switch (r.Below(9)) {
    case 0: {  // duplicate a line, possibly many times
        size_t s = starts[r.Below(starts.size())];
        size_t e = LineEnd(data, s);
        Bytes line(data.begin() + s, data.begin() + e);
        line.push_back('\r');
        line.push_back('\n');
        size_t times = r.OneIn(8) ? r.Skewed(200) : 1;
        size_t at = starts[r.Below(starts.size())];
        for (size_t i = 0; i < times && data.size() + line.size() < maxSize; ++i)
            Insert(data, at, line.data(), line.size());
        break;
    }
    case 1: {  // delete a line
        size_t s = starts[r.Below(starts.size())];
        size_t e = LineEnd(data, s);
        if (e + 2 <= data.size())
            e += 2;
        data.erase(data.begin() + s, data.begin() + e);
        break;
    }
    case 2: {  // a long line of cells or characters
        size_t length = r.OneIn(3) ? 1995 + r.Below(10) : r.Skewed(6000);
        std::string line = "#" + std::to_string(r.Below(1000));
        while (line.size() < 4)
            line.insert(1, "0");
        static const char* const codes[] = {"HH:", "G1:", "01:", "TC:", "BL:", "CHH:", "C05:", "B7:", "FI:"};
        line += codes[r.Below(9)];
        static const char cells[] = "0123456789ABCDEFZz_ ";
        while (line.size() < length)
            line += cells[r.Below(sizeof(cells) - 1)];
        line += "\r\n";
        if (data.size() + line.size() < maxSize)
            Insert(data, starts[r.Below(starts.size())], reinterpret_cast<const uint8_t*>(line.data()), line.size());
        break;
    }
    case 3: {  // change the line ends in a region
        size_t from = r.Below(data.size() + 1);
        size_t to = from + r.Skewed(4096);
        static const char* const ends[] = {"\n", "\r", "\0", "\r\r\n", "\n\r"};
        const char* end = ends[r.Below(5)];
        size_t endLength = TokenLength(end);
        for (size_t i = from; i + 1 < data.size() && i < to; ++i) {
            if (data[i] == '\r' && data[i + 1] == '\n') {
                data.erase(data.begin() + i, data.begin() + i + 2);
                Insert(data, i, reinterpret_cast<const uint8_t*>(end), endLength);
                i += endLength - 1;
            }
        }
        break;
    }
    case 4: {  // swap two lines
        if (starts.size() < 2)
            break;
        size_t a = r.Below(starts.size());
        size_t b = r.Below(starts.size());
        if (a == b)
            break;
        if (a > b) {
            size_t t = a;
            a = b;
            b = t;
        }
        size_t as = starts[a], ae = LineEnd(data, as);
        size_t bs = starts[b], be = LineEnd(data, bs);
        Bytes la(data.begin() + as, data.begin() + ae);
        Bytes lb(data.begin() + bs, data.begin() + be);
        data.erase(data.begin() + bs, data.begin() + be);
        Insert(data, bs, la.data(), la.size());
        data.erase(data.begin() + as, data.begin() + ae);
        Insert(data, as, lb.data(), lb.size());
        break;
    }
    case 5: {  // a new measure number on a line
        size_t s = starts[r.Below(starts.size())];
        if (s + 4 <= data.size() && data[s] == '#') {
            char digits[4];
            snprintf(digits, sizeof(digits), "%03u", (unsigned)(r.OneIn(4) ? 999 : r.Below(1000)));
            memcpy(&data[s + 1], digits, 3);
        }
        break;
    }
    case 6: {  // a line from the other input
        if (other.empty())
            break;
        std::vector<size_t> os = LineStarts(other);
        size_t s = os[r.Below(os.size())];
        size_t e = LineEnd(other, s);
        Bytes line(other.begin() + s, other.begin() + e);
        line.push_back('\r');
        line.push_back('\n');
        if (data.size() + line.size() < maxSize)
            Insert(data, starts[r.Below(starts.size())], line.data(), line.size());
        break;
    }
    case 7: {  // a cell of a line gets another value
        size_t s = starts[r.Below(starts.size())];
        size_t e = LineEnd(data, s);
        size_t colon = s;
        while (colon < e && data[colon] != ':')
            ++colon;
        if (colon + 2 < e) {
            size_t at = colon + 1 + r.Below(e - colon - 1);
            static const char cells[] = "0123456789ABCDEFGHXYZabcfz_ :#";
            data[at] = (uint8_t)cells[r.Below(sizeof(cells) - 1)];
        }
        break;
    }
    default: {  // remove or add underscores and blanks
        size_t at = r.Below(data.size() + 1);
        const char c = r.OneIn(2) ? '_' : ' ';
        size_t n = r.Skewed(8);
        for (size_t i = 0; i < n; ++i)
            Insert(data, at, reinterpret_cast<const uint8_t*>(&c), 1);
        break;
    }
    }
}

void SoundMutation(Bytes& data, Random& r)
{
    if (data.empty())
        return;
    switch (r.Below(4)) {
    case 0: {  // an interesting 32-bit value at a header-ish, aligned offset
        size_t limit = data.size() < 80 ? data.size() : 80;
        if (limit < 4)
            break;
        size_t at = r.Below(limit - 3) & ~(size_t)1;
        uint32_t v = kInteresting[r.Below(sizeof(kInteresting) / sizeof(kInteresting[0]))];
        if (r.OneIn(4))
            v += (uint32_t)r.Below(9) - 4;
        memcpy(&data[at], &v, 4);
        break;
    }
    case 1: {  // an interesting 16-bit value
        size_t limit = data.size() < 80 ? data.size() : 80;
        if (limit < 2)
            break;
        size_t at = r.Below(limit - 1) & ~(size_t)1;
        uint16_t v = (uint16_t)kInteresting[r.Below(sizeof(kInteresting) / sizeof(kInteresting[0]))];
        memcpy(&data[at], &v, 2);
        break;
    }
    case 2: {  // scribble over a run of the data (corrupt encoded blocks)
        size_t at = r.Below(data.size());
        size_t n = r.Skewed(64);
        for (size_t i = at; i < data.size() && i < at + n; ++i)
            data[i] = (uint8_t)r.Next();
        break;
    }
    default: {  // a step index or header byte of a block gets a large value
        size_t at = r.Below(data.size());
        data[at] = (uint8_t)(r.OneIn(2) ? 0xFF : 64 + r.Below(192));
        break;
    }
    }
}

}  // namespace

void Mutate(Bytes& data, const Bytes& other, InputKind kind, Random& r, size_t maxSteps, size_t maxSize)
{
    size_t steps = r.Skewed(maxSteps);
    for (size_t step = 0; step < steps; ++step) {
        switch (r.Below(kind == InputKind::kChart ? 11 : 10)) {
        case 0:  // flip a bit
            if (!data.empty())
                data[r.Below(data.size())] ^= (uint8_t)(1u << r.Below(8));
            break;
        case 1:  // any byte
            if (!data.empty())
                data[r.Below(data.size())] = (uint8_t)r.Next();
            break;
        case 2: {  // insert random bytes
            size_t n = r.Skewed(16);
            Bytes bytes(n);
            for (uint8_t& b : bytes)
                b = (uint8_t)r.Next();
            Insert(data, r.Below(data.size() + 1), bytes.data(), n);
            break;
        }
        case 3: {  // delete a range
            if (data.empty())
                break;
            size_t at = r.Below(data.size());
            size_t n = r.Skewed(data.size() - at);
            data.erase(data.begin() + at, data.begin() + at + n);
            break;
        }
        case 4: {  // copy a range somewhere else
            if (data.empty())
                break;
            size_t at = r.Below(data.size());
            size_t n = r.Skewed(data.size() - at);
            Bytes copy(data.begin() + at, data.begin() + at + n);
            Insert(data, r.Below(data.size() + 1), copy.data(), copy.size());
            break;
        }
        case 5: {  // a dictionary token
            const char* token;
            if (kind == InputKind::kChart)
                token = kChartTokens[r.Below(sizeof(kChartTokens) / sizeof(kChartTokens[0]))];
            else
                token = kSoundTokens[r.Below(sizeof(kSoundTokens) / sizeof(kSoundTokens[0]))];
            size_t n = TokenLength(token);
            size_t at = r.Below(data.size() + 1);
            if (r.OneIn(2) && at + n <= data.size())
                memcpy(&data[at], token, n);
            else
                Insert(data, at, reinterpret_cast<const uint8_t*>(token), n);
            break;
        }
        case 6:  // cut the end off
            if (!data.empty())
                data.resize(r.Below(data.size()));
            break;
        case 7: {  // splice: the head of this input and the tail of the other
            if (other.empty() || data.empty())
                break;
            size_t head = r.Below(data.size());
            size_t tail = r.Below(other.size());
            data.resize(head);
            data.insert(data.end(), other.begin() + tail, other.end());
            break;
        }
        default:
            if (kind == InputKind::kChart)
                ChartMutation(data, other, r, maxSize);
            else
                SoundMutation(data, r);
            break;
        }
        if (data.size() > maxSize)
            data.resize(maxSize);
    }
}
