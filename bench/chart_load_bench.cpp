// Chart reading benchmark: generates dense charts of 250, 500 and 999 measures (every drum,
// guitar, bass and sound channel filled with 1/48 or finer cells, span marks on every lane, tempo
// changes and bar lengths), then times load + compile + lanes + seek as the viewer's start-up runs
// them, with a sound device that was never initialised. Prints the median of the runs (runs=N, 5
// by default), the spread, the throughput and the 999/500 time ratio.
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include <psapi.h>

#include "BenchCommon.h"
#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"

namespace {

struct RunResult {
    double seconds;
    double load, compile, lanes;  // parts of seconds
    long long notes;
    double freshBytes;  // private bytes the load, compile and lanes added
};

double PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return (double)counters.PagefileUsage;
}

// The least any reader can take to hold that much memory: allocate it in 256 KiB blocks and write
// one byte to every page, as a first touch of new memory costs a page fault.
double TouchSeconds(double bytes)
{
    const size_t block = 256u << 10;
    std::vector<char*> blocks;
    double start = bench::Now();
    for (double got = 0; got < bytes; got += block) {
        char* p = new char[block];
        for (size_t i = 0; i < block; i += 4096)
            p[i] = 1;
        blocks.push_back(p);
    }
    double seconds = bench::Now() - start;
    for (char*& p : blocks) {
        delete[] p;
        p = nullptr;
    }
    return seconds;
}

RunResult RunOnce(const char* path)
{
    double before = PrivateBytes();
    double start = bench::Now();
    CDSound* sound = new CDSound();
    CChart* chart = new CChart(sound);
    int measures = chart->Load(path, 0, 10, 0);
    double loaded = bench::Now();
    double compiled = loaded;
    if (measures > 0) {
        chart->Compile();
        compiled = bench::Now();
        BuildLanesAndSeek(chart, 1);
    }
    double seconds = bench::Now() - start;
    double fresh = PrivateBytes() - before;
    long long notes = bench::NoteEventCount(*chart);
    FreeLaneArrays();
    ResetLanes();
    delete chart;
    delete sound;
    return {seconds, loaded - start, compiled - loaded, start + seconds - compiled, notes, fresh};
}

}  // namespace

int main(int argc, char** argv)
{
    int runCount = 5;
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "runs=", 5) == 0)
            runCount = atoi(argv[i] + 5);
    if (runCount < 1)
        runCount = 1;
    // The three charts without sound definitions give the throughput and the ratio; the last case
    // shows what 100 #WAV lines naming missing files add to the same chart.
    const struct {
        int measures;
        bool soundLines;
    } cases[] = {{250, false}, {500, false}, {999, false}, {999, true}};
    double medians[4] = {0, 0, 0, 0};
    printf("%-9s %-6s %10s %10s %12s %12s %12s %8s %9s %9s\n", "measures", "#WAV", "bytes", "events", "median ms",
           "min ms", "max ms", "MB/s", "new MiB", "touch ms");
    for (int s = 0; s < 4; ++s) {
        std::string text = bench::DenseChartText(cases[s].measures, true, cases[s].soundLines ? 100 : 0);
        const std::string file = bench::TempDir() + "ktb_bench_" + std::to_string(cases[s].measures) + ".ktb";
        const char* path = file.c_str();
        if (!bench::WriteFileBytes(file, text.data(), text.size())) {
            fprintf(stderr, "cannot write %s\n", path);
            return 1;
        }

        // Loads that are not counted first, for two seconds at least: a fresh Wine process shares
        // its first seconds with Wine's own services starting, and the heap grows on first use.
        for (double warmEnd = bench::Now() + (s == 0 ? 2.0 : 0.0); RunOnce(path).seconds >= 0 && bench::Now() < warmEnd;) {
        }
        std::vector<RunResult> runs;
        for (int run = 0; run < runCount; ++run)
            runs.push_back(RunOnce(path));
        DeleteFileA(path);
        std::sort(runs.begin(), runs.end(), [](const RunResult& a, const RunResult& b) { return a.seconds < b.seconds; });
        const RunResult& median = runs[runs.size() / 2];
        medians[s] = median.seconds;
        std::vector<double> touches;
        for (int run = 0; run < runCount; ++run)
            touches.push_back(TouchSeconds(median.freshBytes));
        printf("%-9d %-6s %10zu %10lld %12.1f %12.1f %12.1f %8.1f %9.1f %9.1f\n", cases[s].measures,
               cases[s].soundLines ? "100" : "none", text.size(), median.notes, median.seconds * 1000.0,
               runs.front().seconds * 1000.0, runs.back().seconds * 1000.0, (double)text.size() / median.seconds / 1e6,
               median.freshBytes / 1048576.0, bench::Summarize(touches).median * 1000.0);
        printf("          median run: load %.1f ms, compile %.1f ms, lanes + seek %.1f ms\n", median.load * 1000.0,
               median.compile * 1000.0, median.lanes * 1000.0);
    }
    printf("ratio 999/500: %.3f (linear would be %.3f)\n", medians[2] / medians[1], 999.0 / 500.0);
    printf("new MiB: memory the load, compile and lanes added (private bytes); touch ms: allocating and\n"
           "first touching that much memory alone (median of the runs)\n");
    return 0;
}
