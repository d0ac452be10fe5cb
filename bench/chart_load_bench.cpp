// Chart reading benchmark: generates dense charts of 250, 500 and 999 measures (every drum,
// guitar, bass and sound channel filled with 1/48 or finer cells, span marks on every lane, tempo
// changes and bar lengths), then times load + compile + lanes + seek as the viewer's start-up runs
// them, with a sound device that was never initialised. Prints the median of 5 runs, the spread,
// the throughput and the 999/500 time ratio.
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"

namespace {

const char kBase36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// A row of n sound-id cells, all notes, ids cycling through 01..FZ.
std::string NoteCells(int n, int seed)
{
    std::string s;
    s.reserve((size_t)n * 2);
    for (int k = 0; k < n; ++k) {
        int id = 1 + (seed * 7 + k * 13) % 575;
        s += kBase36[id / 36];
        s += kBase36[id % 36];
    }
    return s;
}

// Span marks: start, end, start, end ... in n cells.
std::string SpanCells(int n)
{
    std::string s;
    for (int k = 0; k < n; ++k)
        s += (k % 4 == 0) ? "01" : (k % 4 == 2 ? "02" : "00");
    return s;
}

std::string MakeChart(int measures)
{
    static const char* drums[] = {"HH", "SD", "BD", "HT", "LT", "CY", "FI"};
    static const char* spanLanes[] = {"GT", "BS", "HH", "SD", "BD", "HT", "LT", "CY"};
    static const int stringCells[] = {48, 64, 96, 192, 48, 96, 144, 192};
    std::string text;
    text.reserve((size_t)measures * 12000);
    text += "#TITLE Benchmark\r\n#ARTIST generated\r\n#BPM 150\r\n#PATH_WAV bench_missing\r\n";
    for (int id = 1; id <= 100; ++id) {
        char line[64];
        snprintf(line, sizeof(line), "#WAV%c%c s%03d.wav\r\n", kBase36[id / 36], kBase36[id % 36], id);
        text += line;
    }
    char head[16];
    for (int m = 0; m < measures; ++m) {
        auto line = [&](const char* code, const std::string& data) {
            snprintf(head, sizeof(head), "#%03d%s:", m, code);
            text += head;
            text += data;
            text += "\r\n";
        };
        if (m % 8 == 0)
            line("BL", (m / 8) % 2 ? "0.75" : "1");
        line("TC", "78000000008C000000A000000096000000");  // four changes
        for (int d = 0; d < 7; ++d)
            line(drums[d], NoteCells(48, m + d));
        for (int g = 0; g < 8; ++g) {
            char code[4] = {'G', (char)('0' + g), 0};
            line(code, NoteCells(stringCells[g], m + g));
            code[0] = 'B';
            line(code, NoteCells(stringCells[7 - g], m + g));
        }
        line("GW", NoteCells(48, m));
        line("BW", NoteCells(48, m + 1));
        for (int c = 1; c <= 32; ++c) {
            char code[4];
            snprintf(code, sizeof(code), "%02X", c);
            line(code, NoteCells(48, m + c));
            char span[5];
            snprintf(span, sizeof(span), "C%02X", c);
            line(span, SpanCells(48));
        }
        for (const char* s : spanLanes) {
            char code[5];
            snprintf(code, sizeof(code), "C%s", s);
            line(code, SpanCells(48));
        }
    }
    return text;
}

double NowSeconds()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

struct RunResult {
    double seconds;
    double load, compile, lanes;  // parts of seconds
    long long notes;
};

RunResult RunOnce(const char* path)
{
    double start = NowSeconds();
    CDSound* sound = new CDSound();
    CChart* chart = new CChart(sound);
    int measures = chart->Load(path, 0, 10, 0);
    double loaded = NowSeconds();
    double compiled = loaded;
    if (measures > 0) {
        chart->Compile();
        compiled = NowSeconds();
        ResetLanes();
        BuildDrumLanes(chart);
        BuildStringLanes(chart, 1);
        BuildStringLanes(chart, 2);
        BuildSoundLanes(chart);
        SeekToMeasure(1);
    }
    double seconds = NowSeconds() - start;
    long long notes = (long long)chart->drumNotes.count + chart->guitarNotes.count + chart->bassNotes.count +
                      chart->soundNotes.count + chart->fiEvents.count + chart->guitarWEvents.count +
                      chart->bassWEvents.count;
    FreeLaneArrays();
    ResetLanes();
    delete chart;
    delete sound;
    return {seconds, loaded - start, compiled - loaded, start + seconds - compiled, notes};
}

}  // namespace

int main()
{
    char tempDir[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    const int sizes[] = {250, 500, 999};
    double medians[3] = {0, 0, 0};
    printf("%-9s %10s %10s %12s %12s %12s %10s\n", "measures", "bytes", "events", "median ms", "min ms", "max ms",
           "MB/s");
    for (int s = 0; s < 3; ++s) {
        std::string text = MakeChart(sizes[s]);
        char path[MAX_PATH + 32];
        snprintf(path, sizeof(path), "%sktb_bench_%d.ktb", tempDir, sizes[s]);
        FILE* f = fopen(path, "wb");
        if (!f) {
            fprintf(stderr, "cannot write %s\n", path);
            return 1;
        }
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);

        std::vector<double> times;
        std::vector<RunResult> runs;
        long long notes = 0;
        for (int run = 0; run < 5; ++run) {
            RunResult r = RunOnce(path);
            times.push_back(r.seconds);
            runs.push_back(r);
            notes = r.notes;
        }
        std::sort(runs.begin(), runs.end(), [](const RunResult& a, const RunResult& b) { return a.seconds < b.seconds; });
        DeleteFileA(path);
        std::sort(times.begin(), times.end());
        medians[s] = times[2];
        printf("%-9d %10zu %10lld %12.1f %12.1f %12.1f %10.1f\n", sizes[s], text.size(), notes, times[2] * 1000.0,
               times[0] * 1000.0, times[4] * 1000.0, (double)text.size() / times[2] / 1e6);
        printf("          median run: load %.1f ms, compile %.1f ms, lanes + seek %.1f ms\n", runs[2].load * 1000.0,
               runs[2].compile * 1000.0, runs[2].lanes * 1000.0);
    }
    printf("ratio 999/500: %.3f (linear would be %.3f)\n", medians[2] / medians[1], 999.0 / 500.0);
    return 0;
}
