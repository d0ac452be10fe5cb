// CChart::Load: the object, line splitting, header commands, sound definitions and loading.
#include <gtest/gtest.h>

#include <string>

#include "fakes/ChartFiles.h"
#include "fakes/DebugCapture.h"

using namespace std::string_literals;

namespace {

const std::string kNote = "#001HH:01";  // one drum note, enough to make a chart

std::vector<double> TempoBpms(const CChart& c)
{
    std::vector<double> out;
    for (TempoEvent* t = c.tempos.head; t; t = t->next)
        out.push_back(t->bpm);
    return out;
}

}  // namespace

TEST(ChartObject, StartsEmptyAndDestroysWithoutLoadOrCompile)
{
    CDSound sound;
    CChart* chart = new CChart(&sound);
    EXPECT_EQ(0, chart->measureCount);
    EXPECT_EQ(0.0, chart->bpm);
    EXPECT_EQ(0.0, chart->baseBpm);
    EXPECT_EQ(&sound, chart->device);
    EXPECT_STREQ("", chart->title);
    EXPECT_STREQ("", chart->soundNames[1]);
    EXPECT_EQ(nullptr, chart->drumNotes.head);
    EXPECT_EQ(nullptr, chart->measureLines);
    delete chart;

    LoadedChart loaded;  // loaded, never compiled: only the lists are freed
    ASSERT_EQ(2, loaded.LoadLines({"#WAV01 kick.wav", kNote}));
    EXPECT_EQ(nullptr, loaded.chart->drumNotes.index);
    delete loaded.chart;
    loaded.chart = nullptr;
    EXPECT_EQ(1u, loaded.BufferNames().size());  // the device keeps its sound
}

TEST(ChartReaderFailures, MissingEmptyAndNoteless)
{
    LoadedChart missing;
    EXPECT_EQ(0, missing.chart->Load("Z:\\no\\such\\file.ktb", 0, 10, 0));

    LoadedChart empty;
    EXPECT_EQ(0, empty.Load(""));
    LoadedChart blank;
    EXPECT_EQ(0, blank.Load("\r\n\r\n\n\r\r\n"));

    // Tempo, bar length, FI and span lines alone are no chart; the header is still read.
    LoadedChart noteless;
    EXPECT_EQ(0, noteless.LoadLines({"#TITLE Song", "#BPM 150", "#001TC:20", "#001BL:0.5", "#001FI:01", "#001CGT:01"}));
    EXPECT_STREQ(" Song", noteless.chart->title);
    EXPECT_EQ(150.0, noteless.chart->bpm);
}

TEST(ChartReaderLines, LineFeedOnlyFileIsOneLine)
{
    // Only the text before the first LF counts: here a header line, so no notes.
    LoadedChart a;
    EXPECT_EQ(0, a.Load("#BPM 150\n#001HH:01\n#002HH:01\n"));
    EXPECT_EQ(150.0, a.chart->bpm);

    // When that first line is a note line, the chart is that line alone.
    LoadedChart b;
    EXPECT_EQ(2, b.Load("#001HH:0101\n#005HH:01\n"));
    EXPECT_EQ(2, b.chart->drumNotes.count);
}

TEST(ChartReaderLines, SeparatorsCommentsAndOverlongLines)
{
    std::string longLine = "#002HH:" + std::string(1992, '0') + "01";  // cell "01" at index 1999
    std::string text = "#001HH:01\0#003HH:01\r\r\n\n\r\n#004SD:01\r\n"s;
    text += longLine + "\r\n#005BD:01\r\n";
    text += "#006LT:01\r#007\r\n";  // a lone CR is an ordinary character: "01\r#007" is three cells
    text += "#BPM 150\t; comment\r\n#ARTIST Me\tnot this\r\n";
    LoadedChart c;
    ASSERT_EQ(7, c.Load(text));
    std::vector<std::pair<double, int>> notes;
    for (NoteEvent* e : LoadedChart::Records(c.chart->drumNotes))
        notes.push_back({e->position, e->lane});
    // 002 lost its only note (beyond 1999 characters); measure 7 has no line of its own.
    std::vector<std::pair<double, int>> expected = {{1.0, 1}, {3.0, 1}, {4.0, 2}, {5.0, 3}, {6.0, 5}};
    EXPECT_EQ(expected, notes);
    EXPECT_EQ(150.0, c.chart->bpm);
    EXPECT_STREQ(" Me", c.chart->artist);
}

TEST(ChartReaderHeader, TitleArtistAndFixedValueIndexes)
{
    std::string sixty(60, 'x');
    for (int i = 0; i < 60; ++i)
        sixty[i] = (char)('A' + i % 26);
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#TITLE " + sixty, "#ARTIST:" + sixty, kNote}), 0);
    EXPECT_EQ(" " + sixty.substr(0, 47), std::string(c.chart->title));
    EXPECT_EQ(":" + sixty.substr(0, 38), std::string(c.chart->artist));

    LoadedChart last;  // the last title wins; a short title line is ignored
    ASSERT_GT(last.LoadLines({"#TITLE one", "#TITLE two", "#TITLE", kNote}), 0);
    EXPECT_STREQ(" two", last.chart->title);
}

TEST(ChartReaderHeader, TempoNumbersAndStartTempo)
{
    struct {
        const char* line;
        double bpm;
    } cases[] = {{"#BPM 150", 150}, {"#BPM:150", 150}, {"#BPM150", 50}, {"#bpmx 120", 120}, {"#BPM abc", 0}};
    for (const auto& k : cases) {
        LoadedChart c;
        ASSERT_GT(c.LoadLines({k.line, kNote}), 0) << k.line;
        EXPECT_EQ(k.bpm, c.chart->bpm) << k.line;
    }

    // BASEBPM 100 alone: start tempo text "100.000000" plus 100.
    LoadedChart base;
    ASSERT_GT(base.LoadLines({"#BASEBPM 100", kNote}), 0);
    EXPECT_EQ(std::vector<double>({200.0}), TempoBpms(*base.chart));
    EXPECT_EQ(0.0, base.chart->baseBpm);

    // With BPM 150 the start tempo is 250, and a TC cell 20 (32) gives 132.
    LoadedChart both;
    ASSERT_GT(both.LoadLines({"#BASEBPM 100", "#BPM 150", "#001TC:0020", kNote}), 0);
    EXPECT_EQ(std::vector<double>({132.0, 250.0}), TempoBpms(*both.chart));
    EXPECT_EQ(1.5, both.chart->tempos.head->position);

    // A tempo change at the very start replaces the start tempo; BASEBPM is still added.
    LoadedChart first;
    ASSERT_GT(first.LoadLines({"#BASEBPM 10", "#BPM 150", "#000TC:FF", kNote}), 0);
    EXPECT_EQ(std::vector<double>({265.0}), TempoBpms(*first.chart));
}

TEST(ChartReaderSounds, OneBufferPerDistinctPathAndFirstDefinitionWins)
{
    DebugCapture capture;
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#WAV01 kick.wav", "#WAV01 other.wav", "#WAV02 KICK.WAV", "#wav03:snare.wav", "#WAVG0 x.wav",
                           "#001HH:010203", "#001SD:04"}),
              0);
    const std::string dir = c.folder.Path() + "\\";
    EXPECT_EQ(std::vector<std::string>({dir + "kick.wav", dir + "other.wav", dir + "snare.wav", dir + "x.wav"}),
              c.BufferNames());
    EXPECT_EQ(dir + "kick.wav", c.chart->soundNames[1]);
    EXPECT_EQ(dir + "KICK.WAV", c.chart->soundNames[2]);
    EXPECT_EQ(dir + "snare.wav", c.chart->soundNames[3]);
    EXPECT_STREQ("", c.chart->soundNames[576 - 1]);
    // Every load fails on a device that was never set up, and each one is reported.
    EXPECT_TRUE(capture.Contains("LoadFailed:" + dir + "kick.wav\n"));
    EXPECT_TRUE(capture.Contains("LoadFailed:" + dir + "x.wav\n"));

    // Notes find their buffer by name without regard to case; ids 1 and 2 share one buffer.
    std::vector<NoteEvent*> notes = LoadedChart::Records(c.chart->drumNotes);
    ASSERT_EQ(4u, notes.size());
    CDSBuffer* kick = c.sound->GetList().m_head->buffer;
    EXPECT_EQ(kick, notes[0]->buffer);
    EXPECT_EQ(kick, notes[1]->buffer);
    EXPECT_EQ(c.sound->GetList().m_head->next->next->buffer, notes[2]->buffer);
    EXPECT_EQ(nullptr, notes[3]->buffer);  // id 4 never defined
    EXPECT_EQ(1 + 10 * 576, notes[0]->soundNumber);
}

TEST(ChartReaderSounds, PathWavAfterWavLines)
{
    LoadedChart c;
    ASSERT_GT(c.LoadLines({"#WAV01 a.wav", "#PATH_WAV snd", "#WAV02 b.wav", "#PATH_WAV:late", "#001HH:0102"}), 0);
    const std::string dir = c.folder.Path() + "\\";
    // Pass 1 loads a.wav from the chart's folder and b.wav from "snd" ...
    EXPECT_EQ(std::vector<std::string>({dir + "a.wav", "snd\\b.wav"}), c.BufferNames());
    // ... but pass 2 names every sound with the last directory, so no note finds a buffer.
    EXPECT_STREQ("late\\a.wav", c.chart->soundNames[1]);
    EXPECT_STREQ("late\\b.wav", c.chart->soundNames[2]);
    for (NoteEvent* e : LoadedChart::Records(c.chart->drumNotes))
        EXPECT_EQ(nullptr, e->buffer);
}

TEST(ChartReaderSounds, EmptyNameWallAndOverlongPaths)
{
    DebugCapture capture;
    LoadedChart c;
    std::string longName(300, 'n');
    ASSERT_GT(c.LoadLines({"#WAV01", "#WAV02 " + longName, "#WALL " + longName, "#WALL wall.bmp", "#WALL other.bmp",
                           "#PATH_WAV " + longName, "#WAV03 c.wav", "#001HH:010203"}),
              0);
    const std::string dir = c.folder.Path() + "\\";
    // #WAV01 alone loads the sound directory itself; the overlong name is refused in both passes;
    // the overlong PATH_WAV is refused and the chart's folder stays in force.
    EXPECT_EQ(std::vector<std::string>({dir, dir + "c.wav"}), c.BufferNames());
    EXPECT_TRUE(capture.Contains("LoadFailed:" + dir + "\n"));
    EXPECT_TRUE(capture.Contains("CChart::Load PathTooLong\n"));
    EXPECT_EQ(dir, c.chart->soundNames[1]);
    EXPECT_STREQ("", c.chart->soundNames[2]);
    EXPECT_EQ(dir + "c.wav", c.chart->soundNames[3]);
    EXPECT_EQ(dir + "wall.bmp", c.chart->wallFile);  // the first wall that fits wins
}

TEST(ChartReaderSounds, FolderEndsAtTheLastSlashOrBackslash)
{
    // "folder/chart.ktb" finds its sounds beside the chart exactly as "folder\\chart.ktb" does
    // (Windows takes both separators); names inside the chart stay as written.
    LoadedChart c;
    c.folder.Write("kick.wav", "");
    c.folder.Write("rel.ktb", CrLf({"#WAV01 kick.wav", "#WAV02 sub\\snare.wav", kNote}));
    const std::string& full = c.folder.Path();
    const std::string parent = full.substr(0, full.find_last_of('\\'));
    const std::string leaf = full.substr(parent.size() + 1);
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(parent.c_str());
    int slashed = c.chart->Load((leaf + "/rel.ktb").c_str(), 0, 10, 0);
    CChart backslashed(c.sound);
    int backslashedResult = backslashed.Load((leaf + "\\rel.ktb").c_str(), 0, 10, 0);
    DWORD kick = GetFileAttributesA(c.chart->soundNames[1]);
    SetCurrentDirectoryA(saved);
    ASSERT_EQ(2, slashed);
    ASSERT_EQ(2, backslashedResult);
    EXPECT_EQ(leaf + "/kick.wav", c.chart->soundNames[1]);
    EXPECT_EQ(leaf + "/sub\\snare.wav", c.chart->soundNames[2]);
    EXPECT_EQ(leaf + "\\kick.wav", backslashed.soundNames[1]);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, kick);
}

TEST(ChartReaderSounds, ChartPathWithoutFolderUsesNamesAsWritten)
{
    LoadedChart c;
    c.folder.Write("rel.ktb", CrLf({"#WAV01 kick.wav", kNote}));
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(c.folder.Path().c_str());
    int result = c.chart->Load("rel.ktb", 0, 10, 0);
    SetCurrentDirectoryA(saved);
    ASSERT_EQ(2, result);
    EXPECT_STREQ("kick.wav", c.chart->soundNames[1]);
    EXPECT_EQ(std::vector<std::string>({"kick.wav"}), c.BufferNames());
}
