#include "score/ChartDump.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/Globals.h"
#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

namespace {

// The whole dump is formatted in memory and written with one call: the C library writes each line
// on its own (to a terminal, a pipe or /dev/null as well as to a file), and under Wine a write to
// a character device is a round trip to the Wine server.
class DumpText {
public:
    DumpText() { m_text.reserve(1 << 16); }
    void Add(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(gnu_printf, 2, 3)))
#endif
    {
        char line[1024];  // the longest line is a lane entry with a 259-character sound path
        va_list args;
        va_start(args, format);
        int n = vsnprintf(line, sizeof(line), format, args);
        va_end(args);
        if (n > 0)
            m_text.append(line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
    }
    void WriteTo(FILE* out) const { fwrite(m_text.data(), 1, m_text.size(), out); }

private:
    std::string m_text;
};

}  // namespace

static void PrintLaneGroup(DumpText& out, const char* name, LaneNote* const* lanes, const int32_t* counts, int size)
{
    for (int lane = 0; lane < size; ++lane) {
        const LaneNote* entries = lanes[lane];
        if (!entries)
            continue;
        for (int32_t i = 0; i < counts[lane]; ++i) {
            const LaneNote& e = entries[i];
            out.Add("lane %s %d %d %d %d %d %.6f %d %d %s\n", name, lane, (int)i, (int)e.time, (int)e.kind,
                    (int)e.value, e.position, (int)e.fadeOnNext, (int)e.pending,
                    e.sound ? e.sound->GetFileName() : "-");
        }
    }
}

void PrintChartDump(FILE* file, const CChart* chart, int endTime, int seekTime)
{
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    DumpText out;
    out.Add("title %s\n", chart->title);
    out.Add("artist %s\n", chart->artist);
    out.Add("bpm %.6f\n", chart->bpm);
    out.Add("measures %d\n", (int)chart->measureCount);
    out.Add("end %d\n", endTime);
    out.Add("seek %d\n", seekTime);
    for (int id = 0; id < 576; ++id)
        if (chart->soundNames[id][0] != '\0')
            out.Add("wav %c%c %s\n", kDigits[id / 36], kDigits[id % 36], chart->soundNames[id]);
    if (chart->measureTable) {
        for (int32_t k = 0; k < chart->measureCount; ++k) {
            const MeasureInfo& row = chart->measureTable[k];
            out.Add("measure %d %.4f %.4f %.6f\n", (int)row.index, row.startTime, row.duration, row.lengthFactor);
        }
    }
    if (chart->tempos.index) {
        for (int32_t i = 0; i < chart->tempos.count; ++i) {
            const TempoEvent* t = chart->tempos.index[i];
            out.Add("tempo %.6f %.6f %.4f %.6f %.4f\n", t->position, t->bpm, t->time, t->span, t->duration);
        }
    }
    PrintLaneGroup(out, "drum", g_drumLanes, g_drumLaneCounts, 9);
    PrintLaneGroup(out, "guitar", g_guitarLanes, g_guitarLaneCounts, 10);
    PrintLaneGroup(out, "bass", g_bassLanes, g_bassLaneCounts, 10);
    PrintLaneGroup(out, "sound", g_soundLanes, g_soundLaneCounts, 36);
    out.Add("totals %d %d %d\n", (int)chart->drumNoteTotal, (int)chart->guitarNoteTotal, (int)chart->bassNoteTotal);
    out.WriteTo(file);
}

int ReadChartForTool(CChart* chart, const char* path, const char* tool, FILE* err)
{
    if (chart->Load(path, 0, 10, 0) == 0) {
        FILE* probe = fopen(path, "rb");
        if (probe) {
            fclose(probe);
            fprintf(err, "%s: %s: no guitar, bass, drum or sound-channel note\n", tool, path);
        } else {
            fprintf(err, "%s: %s: cannot open the file\n", tool, path);
        }
        return 1;
    }
    if (chart->Compile() != 0) {
        fprintf(err, "%s: %s: compile failed\n", tool, path);
        return 1;
    }
    return 0;
}

int DumpChartFile(const char* path, int seekMeasure, FILE* out, FILE* err)
{
    // The viewer's start-up order: sound device, chart, load, compile, lanes, seek, end time.
    CDSound* sound = new CDSound();
    CChart* chart = new CChart(sound);
    int result = ReadChartForTool(chart, path, "ktbdump", err);
    if (result == 0) {
        BuildLanesAndSeek(chart, seekMeasure);
        PrintChartDump(out, chart, g_chartEndTime, g_seekBaseTime);
        fflush(out);
    }
    FreeLaneArrays();
    ResetLanes();
    delete chart;
    chart = nullptr;
    delete sound;
    sound = nullptr;
    return result;
}

static void PrintUsage(FILE* err) { fprintf(err, "usage: ktbdump [-N<measure>] CHART\n"); }

int KtbDumpMain(int argc, char** argv, FILE* out, FILE* err)
{
    int seekMeasure = -1;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!path && (arg[0] == '-' || arg[0] == '/') && arg[1] != '\0') {
            if (arg[1] == 'N' || arg[1] == 'n') {
                seekMeasure = atoi(arg + 2);
                continue;
            }
            fprintf(err, "ktbdump: unknown option %s\n", arg);
            PrintUsage(err);
            return 1;
        }
        if (path) {
            fprintf(err, "ktbdump: more than one chart given: %s\n", arg);
            PrintUsage(err);
            return 1;
        }
        path = arg;
    }
    if (!path || path[0] == '\0') {
        fprintf(err, "ktbdump: no chart given\n");
        PrintUsage(err);
        return 1;
    }
    if (strlen(path) > 259) {
        fprintf(err, "ktbdump: the chart path is longer than 259 characters\n");
        return 1;
    }
    return DumpChartFile(path, seekMeasure, out, err);
}
