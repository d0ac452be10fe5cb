// Rendering a chart to a WAV file (ktbrender's engine) on the demo and on the dense 36-sound chart.
//
//   render_bench.exe [demo=PATH] [runs=5]
//
// For each chart:
//   in process  RenderChartToWav into a temporary file (read, every sound decoded, render, write),
//               and the read and decode alone; times real time = the render's length / its time;
//   process     ktbrender.exe beside this program, from CreateProcess to its exit (what a user
//               waits for, Wine's process start included);
//   memory      in a fresh process (this program with measure=PATH): its private bytes during a
//               render (read at every block) above those before it, against the decoded sounds
//               and the output.
// PATH may be a Unix path (/work/...: taken as Z:\work\...).
#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "chart/CChart.h"
#include "score/ChartDump.h"
#include "score/ChartRender.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using bench::Print;

namespace {

size_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)) ? counters.PagefileUsage : 0;
}

void TrackMemory(void* context, long long, long long)
{
    size_t* peak = static_cast<size_t*>(context);
    size_t now = PrivateBytes();
    if (now > *peak)
        *peak = now;
}

// Reads the chart with the sounds kept in memory; returns the seconds it took and the bytes of
// decoded sound.
double ReadAndDecode(const std::string& path, unsigned long long* decodedBytes)
{
    FILE* null = fopen("NUL", "w");
    double t0 = bench::Now();
    CDSound* device = new CDSound();
    device->InitPcmInMemory();
    CChart* chart = new CChart(device);
    ReadChartForTool(chart, path.c_str(), "render_bench", null ? null : stderr);
    double seconds = bench::Now() - t0;
    *decodedBytes = 0;
    for (CDSBufferNode* n = device->GetList().m_head; n; n = n->next)
        if (n->buffer->m_pcm)
            *decodedBytes += n->buffer->m_bufferBytes;
    delete chart;
    delete device;
    if (null)
        fclose(null);
    return seconds;
}

// Runs a program beside this one with `arguments`, its standard output sent to `output` (null:
// inherited); returns the seconds from its start to its exit, or -1 when it failed.
double RunBeside(const char* program, const std::string& arguments, HANDLE output)
{
    bench::ViewerProcess run;
    if (!bench::StartProgram(arguments, &run, program, output))
        return -1;
    WaitForSingleObject(run.process.hProcess, 300000);
    double seconds = bench::Now() - run.started;
    DWORD code = 1;
    GetExitCodeProcess(run.process.hProcess, &code);
    CloseHandle(run.process.hThread);
    CloseHandle(run.process.hProcess);
    return code == 0 ? seconds : -1;
}

// measure=PATH: one render in this fresh process, and what it took of memory.
int MeasureMemory(const std::string& chart, const std::string& out)
{
    RenderOptions options;
    RenderSummary summary;
    unsigned long long decoded = 0;
    size_t before = PrivateBytes();
    size_t peak = before;
    if (RenderChartToWav(chart.c_str(), out.c_str(), options, stderr, TrackMemory, &peak, &summary) != 0)
        return 1;
    ReadAndDecode(chart, &decoded);
    Print("  memory, in a fresh process: private bytes rose by %.2f MiB during the render; decoded sounds "
          "%.2f MiB, output %.2f MiB (written as it is made)\n",
          (peak - before) / 1048576.0, decoded / 1048576.0, summary.frames * 4.0 / 1048576.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    std::string demo;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "runs=", 5) == 0)
            runs = atoi(argv[i] + 5);
        else if (strncmp(argv[i], "demo=", 5) == 0)
            demo = bench::WindowsPath(argv[i] + 5);
        else if (strncmp(argv[i], "measure=", 8) == 0)
            return MeasureMemory(argv[i] + 8, bench::TempDir() + "ktb_render_bench_memory.wav");
    }
    struct Case {
        const char* name;
        std::string path;
    };
    std::vector<Case> cases;
    if (!demo.empty())
        cases.push_back({"demo", demo});
    cases.push_back({"dense chart, 36 sounds", bench::MakeDenseSoundChart()});
    const std::string out = bench::TempDir() + "ktb_render_bench.wav";
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE discard = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    for (const Case& c : cases) {
        RenderOptions options;
        RenderSummary summary;
        std::vector<double> whole, read, tool;
        unsigned long long decoded = 0;
        for (int r = 0; r < runs; ++r) {
            double t0 = bench::Now();
            if (RenderChartToWav(c.path.c_str(), out.c_str(), options, stderr, nullptr, nullptr, &summary) != 0) {
                Print("%s: the render failed\n", c.name);
                break;
            }
            whole.push_back((bench::Now() - t0) * 1000);
            read.push_back(ReadAndDecode(c.path, &decoded) * 1000);
            double t = RunBeside("ktbrender.exe", "\"" + c.path + "\" \"" + out + "\"", discard);
            if (t >= 0)
                tool.push_back(t * 1000);
        }
        if (whole.empty())
            continue;
        const double seconds = summary.frames / (double)options.rate;
        const bench::Summary w = bench::Summarize(whole);
        const double r = bench::Summarize(read).median;
        Print("%s: %.3f s of output, %d notes sounded, %d sounds missing, %lld clipped samples\n", c.name, seconds,
              summary.notesSounded, summary.soundsMissing, summary.clipped);
        Print("  in process, read + decode + render + write: %s ms = %.0f x real time\n",
              bench::Spread(whole, "%.1f").c_str(), seconds * 1000 / w.median);
        Print("  in process, read + decode alone:            %s ms; the rest (render + write) %.1f ms = %.0f x "
              "real time\n",
              bench::Spread(read, "%.1f").c_str(), w.median - r, seconds * 1000 / (w.median - r));
        if (!tool.empty())
            Print("  ktbrender.exe, start to exit:               %s ms = %.0f x real time\n",
                  bench::Spread(tool, "%.1f").c_str(), seconds * 1000 / bench::Summarize(tool).median);
        RunBeside("render_bench.exe", "measure=\"" + c.path + "\"", nullptr);
    }
    if (discard != INVALID_HANDLE_VALUE)
        CloseHandle(discard);
    DeleteFileA(out.c_str());
    return 0;
}
