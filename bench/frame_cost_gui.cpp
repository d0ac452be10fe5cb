// Frame cost: UpdateFrame and the presentation of the densest part of a generated chart (every
// lane full, about a thousand chips on screen), drawn with the real DirectDraw into the viewer's
// real window and sheets.
//
//   frame_cost_gui.exe [runs=5] [frames=600] [drum=24] [string=8] [sound=9] [speed=0.5] [vidmem=1] [async=1]
//
// vidmem=1 and async=1 are comparisons: the surfaces in video memory (as before the display
// placed them in system memory), and every draw as a queued Blt with DDBLT_ASYNC.
//
// Three measurements:
//   frozen   the clock stands at one moment of the chart (as while paused): the same full screen is
//            drawn frame after frame; UpdateFrame and Present (its pacing wait switched off) timed
//            apart;
//   playing  the chart plays from measure 2 with the real clock and the real paced Present: the
//            time of each UpdateFrame (drawing, notes coming due);
//   blits    the cost of the single operations: a chip blit, a keyed ruler blit, the background,
//            and Present's window fitting and front blit.
// Times are milliseconds per frame (or microseconds per blit); every figure is printed, nothing is
// judged.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "app/Globals.h"
#include "app/MainWindow.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "display/PresentMath.h"
#include "score/Lanes.h"
#include "score/ScoreLayout.h"
#include "score/UpdateFrame.h"

using bench::Print;
using bench::Summarize;
using bench::Summary;

namespace {

// The real display, counting what the frame update asks of it.
class CountingDDraw : public CDDraw {
public:
    HRESULT Draw(int x, int y, const RECT* source, int sheet) override
    {
        ++draws;
        if (async)
            return AsyncBlt(x, y, source, sheet, 0);
        return CDDraw::Draw(x, y, source, sheet);
    }
    HRESULT DrawKeyed(int x, int y, const RECT* source, int sheet) override
    {
        ++keyedDraws;
        if (async)
            return AsyncBlt(x, y, source, sheet, DDBLT_KEYSRC);
        return CDDraw::DrawKeyed(x, y, source, sheet);
    }
    // Experiment (async=1): the same copy as a queued Blt (DDBLT_ASYNC) instead of BltFast.
    HRESULT AsyncBlt(int x, int y, const RECT* source, int sheet, DWORD key)
    {
        IDirectDrawSurface7* from = m_sheets[sheet];
        RECT all = {0, 0, sheet == 0 ? 64 : 432, sheet == 0 ? 64 : 320};
        const RECT* s = source ? source : &all;
        RECT to = {x, y, x + (s->right - s->left), y + (s->bottom - s->top)};
        return m_back->Blt(&to, from, const_cast<RECT*>(s), DDBLT_ASYNC | DDBLT_WAIT | key, nullptr);
    }
    long draws = 0;
    long keyedDraws = 0;
    int async = 0;
};

CountingDDraw* g_counting = nullptr;

// A present clock that always reports a whole frame gone: Present then never waits.
DWORD g_fakeNow = 0;
DWORD NoWaitClock()
{
    g_fakeNow += 100;
    return g_fakeNow;
}

void Pump()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void UploadResource(HINSTANCE instance, int id, int width, int height, int sheet)
{
    HBITMAP bitmap = LoadBitmapA(instance, MAKEINTRESOURCEA(id));
    if (bitmap) {
        g_display->UploadBitmap(bitmap, width, height, sheet);
        DeleteObject(bitmap);
    }
}

int Arg(const char* line, const char* key, int fallback)
{
    const char* p = strstr(line, key);
    return p ? atoi(p + strlen(key)) : fallback;
}

double ArgF(const char* line, const char* key, double fallback)
{
    const char* p = strstr(line, key);
    return p ? atof(p + strlen(key)) : fallback;
}

void PrintSummary(const char* label, const std::vector<double>& ms)
{
    Summary s = Summarize(ms);
    Print("%-34s median %7.3f  p99 %7.3f  mean %7.3f  min %7.3f  max %7.3f ms  (%zu frames)\n", label, s.median,
          s.p99, s.mean, s.min, s.max, s.n);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    const char* line = commandLine ? commandLine : "";
    const int runs = Arg(line, "runs=", 5);
    const int frames = Arg(line, "frames=", 600);
    bench::ScreenChart chart;
    chart.drumCells = Arg(line, "drum=", chart.drumCells);
    chart.stringCells = Arg(line, "string=", chart.stringCells);
    chart.soundCells = Arg(line, "sound=", chart.soundCells);
    g_scrollSpeed = (float)ArgF(line, "speed=", 0.5);

    std::string path = bench::TempDir() + "ktb_frame_bench.ktb";
    std::string text = chart.Text();
    if (!bench::WriteFileBytes(path, text.data(), text.size())) {
        Print("cannot write %s\n", path.c_str());
        return 1;
    }

    g_instance = instance;
    HWND window = CreateMainWindow(instance, 108, "KTB Viewer 0.05", "KTBViewer_ZW", 0, 0);
    if (!window) {
        Print("no window\n");
        return 1;
    }
    g_counting = new CountingDDraw();
    g_display = g_counting;
    if (g_display->Init(window, 0, 0, 432, 320) != 0) {
        Print("CDDraw::Init failed\n");
        return 1;
    }
    if (Arg(line, "vidmem=", 0)) {
        // Comparison: back surface and sheets created without the system-memory placement,
        // as plain off-screen surfaces wherever the driver puts them (video memory).
        IDirectDrawSurface7** surfaces[3] = {&g_display->m_back, &g_display->m_sheets[0], &g_display->m_sheets[1]};
        const int sizes[3][2] = {{432, 320}, {64, 64}, {432, 320}};
        for (int i = 0; i < 3; ++i) {
            if (*surfaces[i]) {
                (*surfaces[i])->Release();
                *surfaces[i] = nullptr;
            }
            DDSURFACEDESC2 desc;
            ZeroMemory(&desc, sizeof(desc));
            desc.dwSize = sizeof(desc);
            desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH;
            desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN;
            desc.dwWidth = (DWORD)sizes[i][0];
            desc.dwHeight = (DWORD)sizes[i][1];
            if (FAILED(g_display->m_directDraw->CreateSurface(&desc, surfaces[i], nullptr))) {
                Print("surface %d failed\n", i);
                return 1;
            }
        }
        DDCOLORKEY key = {0, 0};
        g_display->m_sheets[0]->SetColorKey(DDCKEY_SRCBLT, &key);
        Print("surfaces: back and sheets as plain off-screen surfaces (video memory)\n");
    }
    UploadResource(instance, 105, 64, 64, 0);
    UploadResource(instance, 107, 432, 320, 1);
    g_counting->async = Arg(line, "async=", 0);
    if (g_counting->async)
        Print("draws: Blt with DDBLT_ASYNC\n");

    g_chart = new CChart(nullptr);
    if (g_chart->Load(path.c_str(), 0, 10, 0) == 0 || g_chart->Compile() != 0) {
        Print("chart load failed\n");
        return 1;
    }
    DeleteFileA(path.c_str());
    ResetLanes();
    BuildDrumLanes(g_chart);
    BuildStringLanes(g_chart, 1);
    BuildStringLanes(g_chart, 2);
    BuildSoundLanes(g_chart);

    Print("frame cost: chart of %d measures at %d BPM, cells per measure: drum %d, guitar/bass %d (chord 7 + W), "
          "sound %d; speed %.2f\n",
          chart.measures, chart.bpm, chart.drumCells, chart.stringCells, chart.soundCells, (double)g_scrollSpeed);
    Print("screen %dx%d, back %dx%d\n", g_display->m_screenWidth, g_display->m_screenHeight, g_display->m_backWidth,
          g_display->m_backHeight);

    // ---- frozen: the same full screen, frame after frame.
    SeekToMeasure(6);
    const int32_t frozenTime = g_seekBaseTime + 500;
    g_isPlaying = 0;
    g_playTime = frozenTime;
    PresentClockFn realClock = g_presentClock;
    g_presentClock = NoWaitClock;
    for (int i = 0; i < 30; ++i) {  // warm-up; the first frame sounds what is due
        Pump();
        UpdateFrame();
        g_display->Present();
    }
    g_counting->draws = g_counting->keyedDraws = 0;
    UpdateFrame();
    long draws = g_counting->draws, keyed = g_counting->keyedDraws;
    Print("frozen frame: %ld opaque draws (background + chips + digits), %ld keyed draws (rulers)\n", draws, keyed);

    std::vector<double> updateAll, presentAll, frameAll;
    std::vector<double> runUpdateMedian, runUpdateP99, runFps;
    for (int r = 0; r < runs; ++r) {
        std::vector<double> update, present;
        double runStart = bench::Now();
        for (int f = 0; f < frames; ++f) {
            Pump();
            double t0 = bench::Now();
            UpdateFrame();
            double t1 = bench::Now();
            g_display->Present();
            double t2 = bench::Now();
            update.push_back((t1 - t0) * 1000.0);
            present.push_back((t2 - t1) * 1000.0);
            frameAll.push_back((t2 - t0) * 1000.0);
        }
        double runSeconds = bench::Now() - runStart;
        Summary s = Summarize(update);
        runUpdateMedian.push_back(s.median);
        runUpdateP99.push_back(s.p99);
        runFps.push_back(frames / runSeconds);
        Print("  run %d: UpdateFrame median %.3f p99 %.3f ms; Present (no wait) median %.3f p99 %.3f ms; %.0f "
              "frames/s unpaced\n",
              r + 1, s.median, s.p99, Summarize(present).median, Summarize(present).p99, frames / runSeconds);
        updateAll.insert(updateAll.end(), update.begin(), update.end());
        presentAll.insert(presentAll.end(), present.begin(), present.end());
    }
    PrintSummary("frozen UpdateFrame, all runs", updateAll);
    PrintSummary("frozen Present (no wait), all runs", presentAll);
    PrintSummary("frozen UpdateFrame + Present", frameAll);
    Print("frozen UpdateFrame per run: median %s; p99 %s\n", bench::Spread(runUpdateMedian, "%.3f").c_str(),
          bench::Spread(runUpdateP99, "%.3f").c_str());
    Print("frozen unpaced frames/s per run: %s\n", bench::Spread(runFps, "%.0f").c_str());

    // ---- playing: real clock, real pacing.
    g_presentClock = realClock;
    std::vector<double> playAll, playRunP99, playRunMedian;
    std::vector<double> drawCounts;
    for (int r = 0; r < runs; ++r) {
        RearmLanes();
        SeekToMeasure(2);
        g_playTime = -1;
        g_isPlaying = 1;
        g_playStartTime = NowMs();
        std::vector<double> update;
        for (int f = 0; f < frames; ++f) {
            Pump();
            g_counting->draws = g_counting->keyedDraws = 0;
            double t0 = bench::Now();
            UpdateFrame();
            double t1 = bench::Now();
            drawCounts.push_back((double)(g_counting->draws + g_counting->keyedDraws));
            g_display->Present();
            update.push_back((t1 - t0) * 1000.0);
        }
        Summary s = Summarize(update);
        playRunMedian.push_back(s.median);
        playRunP99.push_back(s.p99);
        Print("  run %d: playing UpdateFrame median %.3f p99 %.3f max %.3f ms\n", r + 1, s.median, s.p99, s.max);
        playAll.insert(playAll.end(), update.begin(), update.end());
    }
    g_isPlaying = 0;
    PrintSummary("playing UpdateFrame, all runs", playAll);
    Print("playing UpdateFrame per run: median %s; p99 %s\n", bench::Spread(playRunMedian, "%.3f").c_str(),
          bench::Spread(playRunP99, "%.3f").c_str());
    Summary dc = Summarize(drawCounts);
    Print("playing draws per frame: median %.0f min %.0f max %.0f\n", dc.median, dc.min, dc.max);

    // ---- single operations.
    g_presentClock = NoWaitClock;
    const int kBlits = 5000;
    auto perBlit = [&](const char* label, auto&& op) {
        std::vector<double> us;
        for (int r = 0; r < runs; ++r) {
            Pump();
            double t0 = bench::Now();
            for (int i = 0; i < kBlits; ++i)
                op(i);
            // Reading a pixel back waits for every queued blit to be done.
            DDSURFACEDESC2 desc;
            ZeroMemory(&desc, sizeof(desc));
            desc.dwSize = sizeof(desc);
            if (SUCCEEDED(g_display->m_back->Lock(nullptr, &desc, DDLOCK_WAIT | DDLOCK_READONLY, nullptr)))
                g_display->m_back->Unlock(nullptr);
            us.push_back((bench::Now() - t0) * 1e6 / kBlits);
        }
        Print("%-44s %s us each\n", label, bench::Spread(us, "%.2f").c_str());
    };
    using namespace ScoreLayout;
    perBlit("Draw: 11x4 chip (opaque)", [](int i) { g_display->Draw(22 + (i % 30) * 10, i % 300, &kDrumChips[1], 0); });
    perBlit("DrawKeyed: 64x4 ruler line (colour key)",
            [](int i) { g_display->DrawKeyed(22, i % 300, &kDrumBeatLine, 0); });
    perBlit("Draw: 432x320 background", [](int) { g_display->Draw(0, 0, nullptr, 1); });
    std::vector<double> presentUs;
    for (int r = 0; r < runs; ++r) {
        double t0 = bench::Now();
        for (int i = 0; i < 200; ++i)
            g_display->Present();
        presentUs.push_back((bench::Now() - t0) * 1e6 / 200);
    }
    Print("%-44s %s us each\n", "Present without wait (fit window + front blit)",
          bench::Spread(presentUs, "%.1f").c_str());
    std::vector<double> fitUs;
    for (int r = 0; r < runs; ++r) {
        double t0 = bench::Now();
        for (int i = 0; i < 200; ++i)
            g_display->FitWindow(window, -1, -1, 432, 320);
        fitUs.push_back((bench::Now() - t0) * 1e6 / 200);
    }
    Print("%-44s %s us each\n", "  of which FitWindow", bench::Spread(fitUs, "%.1f").c_str());

    g_presentClock = realClock;
    DestroyWindow(window);
    FreeLaneArrays();
    ResetLanes();
    return 0;
}
