// Playback: presentation pacing and note timing of a playing viewer.
//
//   playback_gui.exe [chart=PATH | dense=1] [runs=3] [frames=600] [skip=60] [ops=1] [stalls=1]
//                    [pacing=nowait-after-sleep]
//
// The program starts as the viewer does (window, display, sheets, sound device, chart, lanes,
// title, option P) and runs the viewer's main loop until the chart has played to its end, `runs`
// times (Enter's restart between runs). It records
//   pacing       the moment each CDDraw::Present returns (the real Present, pacing included); the
//                intervals of `frames` consecutive frames after the first `skip` of every run;
//   note timing  for every sound the frame update starts (TriggerNote's observer hook): the chart
//                time of the play clock at that moment minus the entry's own time;
//   frame cost   the time of each UpdateFrame while playing.
// Also measured once: the length of Sleep(n) and the step of timeGetTime under this system.
// PATH may be a Unix path (/work/...: taken as Z:\work\...). dense=1 plays a generated chart whose
// every lane is full, with 36 short generated sounds. ops=1 first times the single sound
// operations; stalls=1 prints the main thread's call stack whenever a frame lasts over 100 ms;
// pacing=nowait-after-sleep presents with the pacing that records the time read before a sleep
// (how the display paced before the time was read again after the sleep), for comparison.
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "app/ChartSession.h"
#include "app/Globals.h"
#include "app/MainWindow.h"
#include "app/PlayClock.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "display/PresentMath.h"
#include "score/Lanes.h"
#include "score/UpdateFrame.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using bench::Print;
using bench::Summarize;
using bench::Summary;

namespace {

std::vector<double> g_presentTimes;  // seconds, when each Present returned

int g_sleepThenGo = 0;  // pacing=nowait-after-sleep: the comparison described at the top

class TimedDDraw : public CDDraw {
public:
    int Present() override
    {
        int result = g_sleepThenGo ? PresentKeepingTheTimeBeforeTheSleep() : CDDraw::Present();
        g_presentTimes.push_back(bench::Now());
        return result;
    }

    // CDDraw::Present with the pacing rule taken literally from its first design: after a sleep
    // the time read before the sleep is recorded as the frame's time.
    int PresentKeepingTheTimeBeforeTheSleep()
    {
        FitWindow(m_window, -1, -1, m_displayWidth, m_displayHeight);
        RECT onScreen = ClientRectOnScreen(m_window);
        DWORD current = timeGetTime();
        unsigned sleepMs = 0;
        switch (PresentWaitPlan(current - (DWORD)m_lastPresentTime, &sleepMs)) {
        case kPresentSleep:
            Sleep(sleepMs);
            break;
        case kPresentBusyWait:
            while (current - (DWORD)m_lastPresentTime <= 15)
                current = timeGetTime();
            break;
        case kPresentNoWait:
            break;
        }
        m_currentTime = (int)current;
        POINT dest;
        RECT source;
        if (!ComputePresentRects(onScreen, m_screenWidth, m_screenHeight, m_backWidth, m_backHeight, &dest,
                                 &source)) {
            m_lastPresentTime = m_currentTime;
            return 1;
        }
        if (m_front && m_back)
            m_front->BltFast((DWORD)dest.x, (DWORD)dest.y, m_back, &source, DDBLTFAST_WAIT);
        m_lastPresentTime = m_currentTime;
        return 0;
    }
};

struct NoteStart {
    int32_t noteTime;
    int32_t clockTime;  // chart time of the play clock when the sound was started (ms)
    double fineTime;    // the frame's chart time plus the fine time since the frame began (ms)
};
std::vector<NoteStart> g_starts;
double g_frameBegin = 0;

void OnNoteStart(const LaneNote* entry, int)
{
    NoteStart s;
    s.noteTime = entry->time;
    s.clockTime = (int32_t)((unsigned)g_seekBaseTime + ((unsigned)NowMs() - (unsigned)g_playStartTime));
    s.fineTime = g_playTime + (bench::Now() - g_frameBegin) * 1000.0;
    g_starts.push_back(s);
}

// Stall sampler (option stalls=1): a second thread looks at the main thread whenever a frame has
// lasted more than 100 ms and prints its call stack (module + offset), once per 50 ms.
HANDLE g_mainThread = nullptr;
volatile LONG g_inFrame = 0;
volatile double g_frameStart = 0;

void PrintStack(HANDLE thread)
{
#if !defined(_WIN64)
    (void)thread;
    Print("STALL (call stacks are walked in the x86_64 build only)\n");
#else
    SuspendThread(thread);
    CONTEXT context;
    ZeroMemory(&context, sizeof(context));
    context.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(thread, &context)) {
        char line[1024];
        size_t used = 0;
        for (int depth = 0; depth < 24 && context.Rip; ++depth) {
            DWORD64 base = 0;
            PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
            HMODULE module = nullptr;
            char name[MAX_PATH] = "?";
            if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   (LPCSTR)context.Rip, &module)) {
                GetModuleFileNameA(module, name, sizeof(name));
            }
            const char* shortName = strrchr(name, '\\');
            used += snprintf(line + used, sizeof(line) - used, " %s+0x%llx", shortName ? shortName + 1 : name,
                             (unsigned long long)(context.Rip - (DWORD64)module));
            if (used >= sizeof(line) - 80)
                break;
            if (!function) {
                context.Rip = *(DWORD64*)context.Rsp;
                context.Rsp += 8;
                continue;
            }
            PVOID handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher,
                             nullptr);
        }
        Print("STALL stack:%s\n", line);
    }
    ResumeThread(thread);
#endif
}

DWORD WINAPI Watchdog(LPVOID)
{
    for (;;) {
        Sleep(50);
        if (g_inFrame && bench::Now() - g_frameStart > 0.1)
            PrintStack(g_mainThread);
    }
}

int Arg(const char* line, const char* key, int fallback)
{
    const char* p = strstr(line, key);
    return p ? atoi(p + strlen(key)) : fallback;
}

std::string ArgText(const char* line, const char* key)
{
    const char* p = strstr(line, key);
    if (!p)
        return "";
    p += strlen(key);
    const char* end = p;
    while (*end && *end != ' ')
        ++end;
    std::string s(p, end);
    if (!s.empty() && s[0] == '/') {
        for (char& c : s)
            if (c == '/')
                c = '\\';
        s = "Z:" + s;
    }
    return s;
}

void UploadResource(HINSTANCE instance, int id, int width, int height, int sheet)
{
    HBITMAP bitmap = LoadBitmapA(instance, MAKEINTRESOURCEA(id));
    if (bitmap) {
        g_display->UploadBitmap(bitmap, width, height, sheet);
        DeleteObject(bitmap);
    }
}

void MeasureSleep()
{
    const int lengths[] = {1, 2, 4, 8, 10, 14, 15};
    for (int n : lengths) {
        std::vector<double> ms;
        for (int i = 0; i < 40; ++i) {
            double t0 = bench::Now();
            Sleep((DWORD)n);
            ms.push_back((bench::Now() - t0) * 1000.0);
        }
        Summary s = Summarize(ms);
        Print("Sleep(%2d): median %.3f  p99 %.3f  min %.3f  max %.3f ms\n", n, s.median, s.p99, s.min, s.max);
    }
    // Step of timeGetTime: the fine time between two changes of its value.
    std::vector<double> steps;
    DWORD last = timeGetTime();
    while (timeGetTime() == last) {
    }
    last = timeGetTime();
    double lastFine = bench::Now();
    while (steps.size() < 200) {
        DWORD now = timeGetTime();
        if (now != last) {
            double fine = bench::Now();
            steps.push_back((fine - lastFine) * 1000.0 / (double)(now - last));
            last = now;
            lastFine = fine;
        }
    }
    Summary s = Summarize(steps);
    Print("timeGetTime step: median %.3f  min %.3f  max %.3f ms per ms tick\n", s.median, s.min, s.max);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    const char* line = commandLine ? commandLine : "";
    const int runs = Arg(line, "runs=", 3);
    const int frames = Arg(line, "frames=", 600);
    const int skip = Arg(line, "skip=", 60);
    std::string path = ArgText(line, "chart=");
    if (Arg(line, "dense=", 0))
        path = bench::MakeDenseSoundChart();
    if (path.empty()) {
        Print("usage: playback_gui.exe chart=PATH | dense=1 [runs=N] [frames=N] [skip=N]\n");
        return 2;
    }

    g_sleepThenGo = ArgText(line, "pacing=") == "nowait-after-sleep";
    if (g_sleepThenGo)
        Print("pacing: the time before a sleep is recorded (comparison)\n");
    MeasureSleep();

    g_instance = instance;
    HWND window = CreateMainWindow(instance, 108, "KTB Viewer 0.05", "KTBViewer_ZW", 0, 0);
    if (!window)
        return 1;
    g_display = new TimedDDraw();
    g_display->Init(window, 0, 0, 432, 320);
    UploadResource(instance, 105, 64, 64, 0);
    UploadResource(instance, 107, 432, 320, 1);
    g_sound = new CDSound();
    if (g_sound->Init(window, 1) != 0) {
        Print("sound device failed\n");
        return 1;
    }
    double t0 = bench::Now();
    if (LoadChart(window, path.c_str()) != 0) {
        Print("chart failed: %s\n", path.c_str());
        return 1;
    }
    PrepareChart(window);
    SetWindowTitle(window, g_chart->title, "  [", g_chart->artist, " ]");
    int sounds = g_sound->GetList().m_count;
    Print("chart %s: loaded in %.0f ms, %d sounds, end time %d ms\n", path.c_str(), (bench::Now() - t0) * 1000.0,
          sounds, g_chartEndTime);

    if (Arg(line, "ops=", 0)) {
        // The cost of the single sound operations that the frame update uses.
        std::vector<double> stop, rewind, play, status, volume;
        int k = 0;
        for (CDSBufferNode* n = g_sound->GetList().m_head; n && k < 200; n = n->next) {
            for (int rep = 0; rep < 5; ++rep, ++k) {
                CDSBuffer* b = n->buffer;
                double a = bench::Now();
                b->Stop();
                double c = bench::Now();
                b->Rewind();
                double d = bench::Now();
                b->Play(0, 501);
                double e = bench::Now();
                b->IsPlaying();
                double f = bench::Now();
                b->UpdateFade();
                double g = bench::Now();
                stop.push_back((c - a) * 1000);
                rewind.push_back((d - c) * 1000);
                play.push_back((e - d) * 1000);
                status.push_back((f - e) * 1000);
                volume.push_back((g - f) * 1000);
                Sleep(3);
            }
        }
        const char* names[] = {"Stop", "Rewind", "Play", "IsPlaying", "UpdateFade"};
        std::vector<double>* lists[] = {&stop, &rewind, &play, &status, &volume};
        for (int i = 0; i < 5; ++i) {
            Summary x = Summarize(*lists[i]);
            Print("CDSBuffer::%-10s median %.3f p99 %.3f max %.3f ms (%zu calls)\n", names[i], x.median, x.p99, x.max,
                  x.n);
        }
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->Stop();
    }

    if (Arg(line, "stalls=", 0)) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_mainThread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    }
    g_noteStartHook = OnNoteStart;
    std::vector<double> intervalsAll, updateAll;
    std::vector<double> runMean, runP99, lateP99, lateMean;
    std::vector<NoteStart> startsAll;
    int quit = 0;
    for (int run = 0; run < runs && !quit; ++run) {
        g_presentTimes.clear();
        g_starts.clear();
        std::vector<double> update;
        RestartPlay();
        int wasPlaying = 1;
        double runStart = bench::Now();
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
                BOOL got = GetMessageA(&msg, nullptr, 0, 0);
                if (got == 0) {
                    quit = 1;
                    break;
                }
                if (got == -1)
                    break;
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            if (quit)
                break;
            g_frameBegin = bench::Now();
            g_frameStart = g_frameBegin;
            g_inFrame = 1;
            UpdateFrame();
            update.push_back((bench::Now() - g_frameBegin) * 1000.0);
            if (g_display)
                g_display->Present();
            g_inFrame = 0;
            if (wasPlaying && !g_isPlaying && g_userPaused)
                break;  // played to the end and rewound
            wasPlaying = g_isPlaying;
            if (bench::Now() - runStart > 600)
                break;
        }
        // Pacing: `frames` intervals after the first `skip` frames.
        std::vector<double> intervals;
        for (size_t i = (size_t)skip + 1; i < g_presentTimes.size() && intervals.size() < (size_t)frames; ++i)
            intervals.push_back((g_presentTimes[i] - g_presentTimes[i - 1]) * 1000.0);
        Summary s = Summarize(intervals);
        runMean.push_back(s.mean);
        runP99.push_back(s.p99);
        intervalsAll.insert(intervalsAll.end(), intervals.begin(), intervals.end());
        std::vector<double> late;
        for (const NoteStart& n : g_starts)
            late.push_back((double)(n.clockTime - n.noteTime));
        Summary l = Summarize(late);
        lateP99.push_back(l.p99);
        lateMean.push_back(l.mean);
        startsAll.insert(startsAll.end(), g_starts.begin(), g_starts.end());
        Summary u = Summarize(update);
        Print("run %d: %zu frames in %.1f s; present intervals (%zu): mean %.3f median %.3f p99 %.3f min %.3f max "
              "%.3f ms; notes started %zu, late mean %.2f p99 %.0f max %.0f ms; UpdateFrame median %.3f p99 %.3f ms\n",
              run + 1, g_presentTimes.size(), bench::Now() - runStart, intervals.size(), s.mean, s.median, s.p99,
              s.min, s.max, g_starts.size(), l.mean, l.p99, l.max, u.median, u.p99);
        updateAll.insert(updateAll.end(), update.begin(), update.end());
    }
    g_noteStartHook = nullptr;

    Summary s = Summarize(intervalsAll);
    Print("PACING all runs: %zu intervals, mean %.3f median %.3f p99 %.3f min %.3f max %.3f ms\n", s.n, s.mean,
          s.median, s.p99, s.min, s.max);
    Print("PACING per run: mean %s ms; p99 %s ms\n", bench::Spread(runMean, "%.3f").c_str(),
          bench::Spread(runP99, "%.3f").c_str());
    // Histogram of intervals in whole milliseconds.
    int histogram[40] = {0};
    for (double v : intervalsAll)
        ++histogram[v < 0 ? 0 : (v >= 39 ? 39 : (int)v)];
    Print("PACING histogram (ms: count):");
    for (int i = 0; i < 40; ++i)
        if (histogram[i])
            Print(" %d%s:%d", i, i == 39 ? "+" : "", histogram[i]);
    Print("\n");

    std::vector<double> late, fine;
    int early = 0;
    for (const NoteStart& n : startsAll) {
        late.push_back((double)(n.clockTime - n.noteTime));
        fine.push_back(n.fineTime - n.noteTime);
        if (n.clockTime < n.noteTime)
            ++early;
    }
    Summary l = Summarize(late);
    Summary f = Summarize(fine);
    int lateHistogram[41] = {0};
    for (double v : late)
        ++lateHistogram[v < 0 ? 0 : (v >= 40 ? 40 : (int)v)];
    Print("NOTES histogram (ms late: count):");
    for (int i = 0; i <= 40; ++i)
        if (lateHistogram[i])
            Print(" %d%s:%d", i, i == 40 ? "+" : "", lateHistogram[i]);
    Print("\n");
    Print("NOTES all runs: %zu starts; clock time - note time: mean %.2f median %.0f p99 %.0f max %.0f ms; early %d\n",
          l.n, l.mean, l.median, l.p99, l.max, early);
    Print("NOTES fine (frame time + time into the frame): mean %.2f p99 %.2f max %.2f ms\n", f.mean, f.p99, f.max);
    Print("NOTES per run: mean %s ms; p99 %s ms\n", bench::Spread(lateMean, "%.2f").c_str(),
          bench::Spread(lateP99, "%.0f").c_str());
    Summary u = Summarize(updateAll);
    Print("UPDATE all runs: median %.3f p99 %.3f max %.3f ms over %zu frames\n", u.median, u.p99, u.max, u.n);

    if (IsWindow(window))
        DestroyWindow(window);
    return 0;
}
