// Memory: the viewer's peak working set (GetProcessMemoryInfo of the KTBViewer.exe process beside
// this program, read after the chart has been loaded and has played for a few seconds with -P).
//
//   memory_bench.exe demo=PATH [runs=3] [settle=3000]
//
// Charts: a one-note chart without sounds (what the viewer costs by itself), the demo chart
// (PATH; a Unix path is taken as Z:\...), and a generated 999-measure chart with every channel
// dense and no sound files. Under Wine the working set is the resident size of the whole Wine
// process (the loader and every Windows DLL included), so the one-note chart is the base line.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "chart/CChart.h"
#include "score/Lanes.h"

using bench::Print;

int main(int argc, char** argv)
{
    int runs = 3, settle = 3000;
    std::string demo;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "runs=", 5) == 0)
            runs = atoi(argv[i] + 5);
        else if (strncmp(argv[i], "settle=", 7) == 0)
            settle = atoi(argv[i] + 7);
        else if (strncmp(argv[i], "demo=", 5) == 0)
            demo = bench::WindowsPath(argv[i] + 5);
    }
    std::string dir = bench::TempDir();
    std::string tiny = dir + "ktb_mem_tiny.ktb";
    std::string big = dir + "ktb_mem_999.ktb";
    std::string tinyText = "#TITLE Tiny\r\n#ARTIST bench\r\n#BPM 120\r\n#000HH:01\r\n";
    std::string bigText = bench::DenseChartText(999);
    bench::WriteFileBytes(tiny, tinyText.data(), tinyText.size());
    bench::WriteFileBytes(big, bigText.data(), bigText.size());

    struct Case {
        const char* name;
        std::string path;
        size_t bytes;
    };
    std::vector<Case> cases = {{"one-note chart", tiny, tinyText.size()}};
    if (!demo.empty())
        cases.push_back({"demo chart", demo, 0});
    cases.push_back({"999-measure dense chart", big, bigText.size()});

    for (const Case& c : cases) {
        std::vector<double> peak, ws, pagefile, ready;
        for (int r = 0; r < runs; ++r) {
            bench::ViewerRun run = bench::RunViewer("-P \"" + c.path + "\"", settle, 300000);
            if (!run.ready || run.peakWorkingSet == 0) {
                Print("%s run %d: no reading (ready %d)\n", c.name, r + 1, (int)run.ready);
                continue;
            }
            peak.push_back(run.peakWorkingSet / 1048576.0);
            ws.push_back(run.workingSet / 1048576.0);
            pagefile.push_back(run.peakPagefile / 1048576.0);
            ready.push_back(run.readySeconds * 1000.0);
        }
        Print("%-24s", c.name);
        if (c.bytes)
            Print(" (%.1f MB of text)", c.bytes / 1e6);
        Print("\n  peak working set %s MiB\n  working set      %s MiB\n  peak pagefile    %s MiB\n  ready after      "
              "%s ms\n",
              bench::Spread(peak, "%.1f").c_str(), bench::Spread(ws, "%.1f").c_str(),
              bench::Spread(pagefile, "%.1f").c_str(), bench::Spread(ready, "%.0f").c_str());
    }
    // In this process: the working set after each step of the load of the 999-measure chart.
    auto workingSet = []() {
        PROCESS_MEMORY_COUNTERS counters;
        ZeroMemory(&counters, sizeof(counters));
        counters.cb = sizeof(counters);
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
        return std::make_pair(counters.WorkingSetSize / 1048576.0, counters.PeakWorkingSetSize / 1048576.0);
    };
    bigText.clear();
    bigText.shrink_to_fit();
    auto base = workingSet();
    CChart* chart = new CChart(nullptr);
    int measures = chart->Load(big.c_str(), 0, 10, 0);
    auto loaded = workingSet();
    chart->Compile();
    auto compiled = workingSet();
    ResetLanes();
    BuildDrumLanes(chart);
    BuildStringLanes(chart, 1);
    BuildStringLanes(chart, 2);
    BuildSoundLanes(chart);
    auto laned = workingSet();
    long long events = bench::NoteEventCount(*chart);
    long long marks = (long long)chart->guitarSpans.count + chart->bassSpans.count;
    for (int i = 0; i < 9; ++i)
        marks += chart->drumSpanCount[i];
    for (int i = 0; i < 36; ++i)
        marks += chart->soundSpanCount[i];
    Print("in process, 999-measure chart (%d measures, %lld note events, %lld span marks, %d tempo events):\n",
          measures, events, marks, chart->tempos.count);
    Print("  working set before %.1f MiB; after Load %.1f (peak %.1f); after Compile %.1f; after the lanes %.1f "
          "(peak %.1f) MiB\n",
          base.first, loaded.first, loaded.second, compiled.first, laned.first, laned.second);
    Print("  sizes: NoteEvent %zu, SpanMark %zu, TempoEvent %zu, LaneNote %zu bytes\n", sizeof(NoteEvent),
          sizeof(SpanMark), sizeof(TempoEvent), sizeof(LaneNote));
    FreeLaneArrays();
    ResetLanes();
    delete chart;

    DeleteFileA(tiny.c_str());
    DeleteFileA(big.c_str());
    return 0;
}
