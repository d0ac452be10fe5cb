// CChart::Load: reads a KTB file whole, splits it into lines, loads the sounds (pass 1) and takes
// the header commands and channel lines (pass 2).
//
// Paths: a sound directory, joined sound path or wall path must fit in 259 characters (the size
// of a soundNames entry, of wallFile and of a sound buffer's file name). A PATH_WAV, WAV or WALL
// line whose value would not fit is refused as a whole: it is treated as if it were not in the
// file (a refused PATH_WAV keeps the directory in force before it), and the diagnostic line
// "CChart::Load PathTooLong\n" is written. A shortened path would name some other file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "chart/CChart.h"
#include "chart/ReaderIndex.h"
#include "chart/TextHelpers.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

namespace {

const size_t kPathSize = 260;
const size_t kLineSize = 2000;  // 1999 characters + NUL

// Splits the file text into lines: a line ends at a CR LF pair, a NUL or the end of the text;
// every following run of CR, LF and NUL is skipped; at most 1999 characters of a line are kept.
class LineSplitter {
public:
    LineSplitter(const char* text, size_t size) : m_text(text), m_size(size), m_pos(0) {}

    void Rewind() { m_pos = 0; }

    // The next command line (more than four characters, starting with '#'): the
    // line is cut at its first LF and TAB, and cut is the length left. False at the end.
    // One scan finds both the end of the line and its first LF or TAB; other lines are not copied.
    bool NextCommand(char* line, size_t& cut)
    {
        while (m_pos < m_size) {
            size_t start = m_pos;
            size_t stop = start;
            size_t firstCut = (size_t)-1;
            while (stop < m_size) {
                // Eight bytes at a time while none of them is a control byte up to CR.
                while (stop + 8 <= m_size && !HasByteBelow14(m_text + stop))
                    stop += 8;
                if (stop >= m_size)
                    break;
                unsigned char c = (unsigned char)m_text[stop];
                if (c <= '\r') {
                    if (c == '\0')
                        break;
                    if (c == '\r' && stop + 1 < m_size && m_text[stop + 1] == '\n')
                        break;
                    if ((c == '\n' || c == '\t') && firstCut == (size_t)-1)
                        firstCut = stop - start;
                }
                ++stop;
            }
            size_t length = stop - start;
            if (length > kLineSize - 1)
                length = kLineSize - 1;
            while (stop < m_size && (m_text[stop] == '\r' || m_text[stop] == '\n' || m_text[stop] == '\0'))
                ++stop;
            m_pos = stop;
            if (length <= 4 || m_text[start] != '#')
                continue;
            cut = firstCut < length ? firstCut : length;
            memcpy(line, m_text + start, cut);
            line[cut] = '\0';
            return true;
        }
        return false;
    }

private:
    // True when one of the eight bytes at p is below 14 (NUL .. CR).
    static bool HasByteBelow14(const char* p)
    {
        uint64_t w;
        memcpy(&w, p, sizeof(w));
        return ((w - 0x0E0E0E0E0E0E0E0Eull) & ~w & 0x8080808080808080ull) != 0;
    }

    const char* m_text;
    size_t m_size;
    size_t m_pos;
};

// The line text from index i on; empty when the line is shorter.
const char* From(const char* line, size_t length, size_t i) { return i <= length ? line + i : ""; }

// Reads a whole file into a new block of length + 1 bytes ending in NUL. Returns null when the
// file cannot be opened or read.
char* ReadWholeFile(const char* path, size_t* size)
{
    FILE* file = fopen(path, "rb");
    if (!file)
        return nullptr;
    char* text = nullptr;
    long length = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        length = ftell(file);
    if (length >= 0 && fseek(file, 0, SEEK_SET) == 0) {
        // A file too large for the memory left is a file that cannot be read, not a crash.
        text = new (std::nothrow) char[(size_t)length + 1];
        if (text) {
            size_t got = fread(text, 1, (size_t)length, file);
            text[got] = '\0';
            *size = got;
        }
    }
    fclose(file);
    return text;
}

// Appends the sound of path to the device's list: the sound kept from the last chart when its
// file is unchanged, else a new buffer loaded from the file.
CDSBuffer* AddSound(CDSound* device, const char* path, int allowStream)
{
    CDSBuffer* buffer = device->TakeKeptBuffer(path);
    if (buffer) {
        device->GetList().AddTail(buffer);
        return buffer;
    }
    buffer = device->NewBuffer();
    buffer->SetFileName(path);
    device->GetList().AddTail(buffer);
    if (buffer->LoadStamped(allowStream) != 0)
        DebugPrint("LoadFailed:%s\n", path);
    return buffer;
}

}  // namespace

int CChart::Load(const char* path, int measureOffset, int soundBank, int allowStream)
{
    if (!path)
        return 0;
    size_t size = 0;
    char* text = ReadWholeFile(path, &size);
    if (!text)
        return 0;

    char soundDirectory[kPathSize];
    if (!GetDirectoryPart(path, soundDirectory, sizeof(soundDirectory)))
        DebugPrint("CChart::Load PathTooLong\n");
    memset(soundNames, 0, sizeof(soundNames));
    int32_t temposBefore = tempos.count;

    delete readerIndex;
    ChartReaderIndex* index = new ChartReaderIndex();
    index->BuildFrom(*this);
    readerIndex = index;

    char* line = new char[kLineSize];
    char joined[kPathSize];
    LineSplitter lines(text, size);

    // Pass 1: sound directory and sounds.
    for (size_t cut = 0; lines.NextCommand(line, cut);) {
        if (StartsWithNoCase(line + 1, "PATH_WAV") && cut >= 12) {
            if (cut - 10 > kPathSize - 1)
                DebugPrint("CChart::Load PathTooLong\n");
            else
                CopyAtMost(soundDirectory, line + 10, kPathSize - 1);
        } else if (StartsWithNoCase(line + 1, "WAV")) {
            CopyAtMost(joined, soundDirectory, kPathSize - 1);
            if (!AppendPathPart(joined, From(line, cut, 7), sizeof(joined))) {
                DebugPrint("CChart::Load PathTooLong\n");
                continue;
            }
            if (!device || index->FindBufferByName(joined))
                continue;
            index->AddBuffer(AddSound(device, joined, allowStream));
        }
    }

    // Pass 2: header commands and channel lines.
    lines.Rewind();
    for (size_t cut = 0; lines.NextCommand(line, cut);) {
        const char* command = line + 1;
        if (StartsWithNoCase(command, "TITLE")) {
            if (cut >= 8)
                CopyAtMost(title, line + 6, 48);
        } else if (StartsWithNoCase(command, "ARTIST")) {
            if (cut >= 9)
                CopyAtMost(artist, line + 7, 39);
        } else if (StartsWithNoCase(command, "WAV")) {
            int id = SoundIdFromText(line + 4);
            if (id != 0 && soundNames[id][0] == '\0') {
                CopyAtMost(joined, soundDirectory, kPathSize - 1);
                if (AppendPathPart(joined, From(line, cut, 7), sizeof(joined))) {
                    memcpy(soundNames[id], joined, sizeof(joined));
                    index->ForgetId(id);
                } else {
                    DebugPrint("CChart::Load PathTooLong\n");
                }
            }
        } else if (StartsWithNoCase(command, "BPM")) {
            if (cut >= 6)
                bpm = atof(line + 5);
        } else if (StartsWithNoCase(command, "BASEBPM")) {
            if (cut >= 9)
                baseBpm = atof(line + 9);
        } else if (StartsWithNoCase(command, "WALL")) {
            if (cut >= 7 && wallFile[0] == '\0') {
                CopyAtMost(joined, soundDirectory, kPathSize - 1);
                if (AppendPathPart(joined, line + 6, sizeof(joined)))
                    memcpy(wallFile, joined, sizeof(joined));
                else
                    DebugPrint("CChart::Load PathTooLong\n");
            }
        } else {
            ParseChannelLine(line, measureOffset, soundBank);
        }
    }

    delete[] line;
    line = nullptr;
    delete[] text;
    text = nullptr;

    int result = 0;
    if (guitarNotes.count > 0 || bassNotes.count > 0 || drumNotes.count > 0 || soundNotes.count > 0) {
        ++measureCount;

        // Start tempo: the BPM header, else BASEBPM, as text through the channel parser.
        double start = 0.0;
        if (bpm > 0.0)
            start = bpm;
        else if (baseBpm > 0.0)
            start = baseBpm;
        if (start > 0.0) {
            char tempoText[400];
            snprintf(tempoText, sizeof(tempoText), "%f", start);
            AddChannelData(measureOffset, 102, tempoText, soundBank);
        }

        // BASEBPM is added to every tempo of this read, the start tempo included.
        TempoEvent* t = tempos.head;
        for (int32_t i = 0; i < temposBefore && t; ++i)
            t = t->next;
        for (; t; t = t->next)
            t->bpm += baseBpm;
        baseBpm = 0.0;
        result = measureCount;
    }

    delete index;
    readerIndex = nullptr;
    return result;
}
