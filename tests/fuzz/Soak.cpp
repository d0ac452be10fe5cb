#include "Soak.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "Corpus.h"
#include "FaultGuard.h"
#include "FuzzSupport.h"
#include "GuardHeap.h"
#include "Mutator.h"
#include "app/ChartSession.h"
#include "app/Globals.h"
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "app/WndProc.h"
#include "display/CDDraw.h"
#include "fakes/FakeDirectSound.h"
#include "fakes/ShellState.h"
#include "score/UpdateFrame.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/XaDecoder.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Reporting

int g_failures = 0;

void Note(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

void Expect(bool ok, const char* format, ...)
{
    if (ok)
        return;
    char text[600];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    printf("  FAILED: %s\n", text);
    fflush(stdout);
    ++g_failures;
}

double Seconds()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)frequency.QuadPart;
}

double MiB(uint64_t bytes) { return (double)bytes / (1024.0 * 1024.0); }

DWORD Handles() { return (DWORD)ProcessHandles(); }

// handles: every handle but registry keys; keys: the registry keys. Wine's open-file dialog leaves
// one registry key open each time it is shown (a plain GetOpenFileNameA loop does the same), so the
// keys are counted apart.
struct Sample {
    MemoryFigures memory;
    int64_t blocks;
    int64_t bytes;
    DWORD handles;
    DWORD keys;
};

Sample TakeSample()
{
    Sample s;
    s.memory = ProcessMemory();
    s.blocks = GuardHeap::LiveBlocks();
    s.bytes = GuardHeap::LiveBytes();
    DWORD all = Handles();
    s.keys = (DWORD)HandlesOfType("Key");
    s.handles = all - s.keys;
    return s;
}

void PrintSample(const char* when, const Sample& s)
{
    Note("  %-26s working set %6.1f MiB, private %6.1f MiB, %6lld heap blocks (%.1f MiB), %4lu handles + %lu keys\n",
         when, MiB(s.memory.workingSet), MiB(s.memory.privateBytes), (long long)s.blocks, MiB((uint64_t)s.bytes),
         (unsigned long)s.handles, (unsigned long)s.keys);
}

std::string FullPath(const std::string& path)
{
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return (n > 0 && n < sizeof(full)) ? std::string(full) : path;
}

// ---------------------------------------------------------------------------------------------
// The operator: a second thread that does what a person does with the viewer's modal windows.
// It fills in the open-file dialog (or cancels it) and reads and closes every message box.

struct SeenBox {
    std::string caption;
    std::string text;
};

class Operator {
public:
    Operator()
    {
        InitializeCriticalSection(&m_lock);
        m_stop = 0;
        m_thread = CreateThread(nullptr, 0, Main, this, 0, nullptr);
    }
    ~Operator()
    {
        InterlockedExchange(&m_stop, 1);
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
        DeleteCriticalSection(&m_lock);
    }
    // The path typed into the next open-file dialogs; empty: press Cancel.
    void SetAnswer(const std::string& path)
    {
        EnterCriticalSection(&m_lock);
        m_answer = path;
        LeaveCriticalSection(&m_lock);
    }
    int DialogsAnswered() { return m_dialogs; }
    std::vector<SeenBox> Boxes()
    {
        EnterCriticalSection(&m_lock);
        std::vector<SeenBox> boxes = m_boxes;
        LeaveCriticalSection(&m_lock);
        return boxes;
    }
    void ClearBoxes()
    {
        EnterCriticalSection(&m_lock);
        m_boxes.clear();
        LeaveCriticalSection(&m_lock);
    }

private:
    static std::string TextOf(HWND window)
    {
        char text[1024] = {0};
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), (LPARAM)text, SMTO_ABORTIFHUNG, 2000, &result))
            return std::string();
        text[sizeof(text) - 1] = '\0';
        return text;
    }

    static BOOL CALLBACK CollectDialogs(HWND window, LPARAM data)
    {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char cls[64] = {0};
        if (pid == GetCurrentProcessId() && IsWindowVisible(window) && GetClassNameA(window, cls, sizeof(cls)) &&
            strcmp(cls, "#32770") == 0)
            reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
        return TRUE;
    }

    static BOOL CALLBACK CollectStatics(HWND child, LPARAM data)
    {
        char cls[64] = {0};
        if (GetClassNameA(child, cls, sizeof(cls)) && _stricmp(cls, "Static") == 0) {
            std::string text = TextOf(child);
            if (!text.empty()) {
                std::string* all = reinterpret_cast<std::string*>(data);
                if (!all->empty())
                    *all += "\n";
                *all += text;
            }
        }
        return TRUE;
    }

    void Poll()
    {
        std::vector<HWND> dialogs;
        EnumWindows(CollectDialogs, (LPARAM)&dialogs);
        for (HWND dialog : dialogs) {
            bool recent = false;
            for (const auto& handled : m_handled)
                if (handled.first == dialog && GetTickCount() - handled.second < 3000)
                    recent = true;
            if (recent)
                continue;
            m_handled.push_back({dialog, GetTickCount()});
            if (m_handled.size() > 64)
                m_handled.erase(m_handled.begin());
            HWND field = GetDlgItem(dialog, 0x47c);
            if (!field)
                field = GetDlgItem(dialog, 0x480);
            if (field) {
                EnterCriticalSection(&m_lock);
                std::string answer = m_answer;
                LeaveCriticalSection(&m_lock);
                if (answer.empty()) {
                    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDCANCEL));
                } else {
                    DWORD_PTR result = 0;
                    SendMessageTimeoutA(field, WM_SETTEXT, 0, (LPARAM)answer.c_str(), SMTO_ABORTIFHUNG, 2000, &result);
                    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
                }
                InterlockedIncrement(&m_dialogs);
            } else {
                SeenBox box;
                box.caption = TextOf(dialog);
                EnumChildWindows(dialog, CollectStatics, (LPARAM)&box.text);
                EnterCriticalSection(&m_lock);
                m_boxes.push_back(box);
                LeaveCriticalSection(&m_lock);
                Note("  (message box \"%s\": \"%s\" closed)\n", box.caption.c_str(), box.text.c_str());
                PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
            }
        }
    }

    static DWORD WINAPI Main(void* self)
    {
        Operator* op = static_cast<Operator*>(self);
        while (!op->m_stop) {
            op->Poll();
            Sleep(15);
        }
        return 0;
    }

    CRITICAL_SECTION m_lock;
    HANDLE m_thread;
    volatile LONG m_stop;
    volatile LONG m_dialogs = 0;
    std::string m_answer;
    std::vector<SeenBox> m_boxes;
    std::vector<std::pair<HWND, DWORD>> m_handled;
};

// ---------------------------------------------------------------------------------------------
// Charts and sounds of the soak checks

// Sound id text of id 1..575: a hexadecimal digit and a base-36 digit.
std::string IdText(int id)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string text;
    text += digits[id / 36];
    text += digits[id % 36];
    return text;
}

// Writes count sounds named prefixNNN.wav / .xa into folder: PCM of various shapes, IMA ADPCM and
// XA. Returns the file names.
std::vector<std::string> WriteSounds(const std::string& folder, const char* prefix, int count, uint32_t seed)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> names;
    static const unsigned rates[] = {8000, 11025, 22050, 44100};
    for (int i = 0; i < count; ++i) {
        char name[64];
        Bytes bytes;
        int kind = i % 5;
        unsigned rate = rates[(i / 5) % 4];
        if (kind == 3) {
            snprintf(name, sizeof(name), "%s%03d.wav", prefix, i);
            bytes = MakeImaWav(1 + (i % 2), rate, 2 + i % 3, seed + i);
        } else if (kind == 4) {
            snprintf(name, sizeof(name), "%s%03d.xa", prefix, i);
            bytes = MakeToneXa(1 + (i % 2), rate, 60 + (i % 4) * 40, 220.0 + 7 * i, 1024);
        } else {
            snprintf(name, sizeof(name), "%s%03d.wav", prefix, i);
            bytes = MakePcmWav(1 + (i % 2), rate, 40 + (i % 6) * 40, 110.0 + 11 * i);
        }
        WriteFileBytes(folder + "\\" + name, bytes);
        names.push_back(name);
    }
    return names;
}

// A chart that defines the given sounds as ids 1.. and plays every one of them, on the drum, guitar,
// bass and sound channels, over `measures` measures.
std::string ChartText(const std::string& title, const std::vector<std::string>& sounds, int measures)
{
    std::string text = "#TITLE " + title + "\r\n#ARTIST Reliability\r\n#BPM 160\r\n";
    for (size_t i = 0; i < sounds.size() && i < 575; ++i)
        text += "#WAV" + IdText((int)i + 1) + " " + sounds[i] + "\r\n";
    static const char* const channels[] = {"HH", "SD", "BD", "HT", "LT", "CY", "G1", "G4", "B2", "B7",
                                           "01", "02", "05", "0A", "13", "20"};
    const int n = (int)(sounds.size() < 575 ? sounds.size() : 575);
    int next = 1;
    for (int m = 0; m < measures; ++m) {
        for (int c = 0; c < 16; ++c) {
            char line[128];
            std::string cells;
            for (int k = 0; k < 4; ++k) {
                cells += n > 0 ? IdText(next) : "00";
                next = next % (n > 0 ? n : 1) + 1;
            }
            snprintf(line, sizeof(line), "#%03d%s:%s\r\n", m % 1000, channels[c], cells.c_str());
            text += line;
        }
    }
    return text;
}

bool WriteText(const std::string& path, const std::string& text) { return WriteFileBytes(path, ToBytes(text)); }

// ---------------------------------------------------------------------------------------------
// The viewer's own start-up, run in this process

ClockSource g_systemClock = nullptr;

void ResetShell()
{
    if (!g_systemClock)
        g_systemClock = g_clock;
    g_clock = g_systemClock;
    ResetShellGlobals();
    g_mainWindow = nullptr;
}

struct DriverThread {
    std::function<void()> body;
    static DWORD WINAPI Main(void* self)
    {
        static_cast<DriverThread*>(self)->body();
        return 0;
    }
};

// RunViewer with the command line, while driver runs on a second thread (it ends the viewer,
// normally with WM_VIEWER_QUIT). Returns the viewer's exit code.
int RunViewerWith(const std::string& commandLine, std::function<void()> driver)
{
    ResetShell();
    DriverThread d{driver};
    HANDLE thread = CreateThread(nullptr, 0, DriverThread::Main, &d, 0, nullptr);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    int code = RunViewer(GetModuleHandleA(nullptr), line.data());
    if (g_mainWindow && IsWindow(g_mainWindow))
        DestroyWindow(g_mainWindow);
    ShutdownApp();
    UnregisterClassA(KTB_CLASS_NAME, GetModuleHandleA(nullptr));
    WaitForSingleObject(thread, 120000);
    CloseHandle(thread);
    ResetShell();
    return code;
}

HWND WaitViewerWindow(double timeout)
{
    double end = Seconds() + timeout;
    while (Seconds() < end) {
        HWND window = FindWindowA(KTB_CLASS_NAME, nullptr);
        DWORD pid = 0;
        if (window)
            GetWindowThreadProcessId(window, &pid);
        if (window && pid == GetCurrentProcessId())
            return window;
        Sleep(20);
    }
    return nullptr;
}

std::string TitleOf(HWND window)
{
    char text[256] = {0};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &result))
        return std::string();
    return text;
}

bool WaitTitle(HWND window, const std::string& title, double timeout)
{
    double end = Seconds() + timeout;
    while (Seconds() < end) {
        if (TitleOf(window) == title)
            return true;
        Sleep(20);
    }
    return false;
}

std::string ReadyTitle(const std::string& title) { return " " + title + "  [ Reliability ]"; }

// Posts a message that reloads and waits until the operator has answered the dialog and the title
// shows the chart again.
bool ReloadAndWait(Operator& op, HWND window, UINT message, WPARAM wParam, const std::string& title)
{
    const int before = op.DialogsAnswered();
    // The viewer writes its ready title again only at the end of a reload: with another title
    // put up first, the wait below cannot see the old one while the reload is still to come.
    SetWindowTextA(window, "reload pending");
    PostMessageA(window, message, wParam, 0);
    const double end = Seconds() + 60;
    while (op.DialogsAnswered() == before && Seconds() < end)
        Sleep(10);
    return op.DialogsAnswered() != before && WaitTitle(window, ReadyTitle(title), 60);
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The watchdog ends a check that takes longer than timeoutMs in all (a hang).
void Prepare(const SoakOptions& options, const char* name, unsigned timeoutMs = 600000)
{
    MakeDirectories(options.workDir);
    FaultGuard::Install((options.workDir + "\\artefacts").c_str());
    FaultGuard::StartWatchdog(timeoutMs);
    FaultGuard::BeginInput(name, nullptr);
    InstallDiagnosticCounter();
    UseInProcessXaDecoder();
    GuardHeap::SetMode(GuardHeap::kPassThrough);
    g_failures = 0;
}

int Finish(const char* name)
{
    FaultGuard::EndInput();
    if (g_failures)
        Note("%s: %d check(s) FAILED\n", name, g_failures);
    else
        Note("%s: passed\n", name);
    return g_failures ? 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Many reloads through the three ways in: WM_VIEWER_RELOAD, the system menu's Load, a double-click

int RunReloadLoop(const SoakOptions& options)
{
    Prepare(options, "reload loop");
    const int count = options.count > 0 ? options.count : 200;
    const int warm = count >= 20 ? 10 : 2;
    const std::string folder = FullPath(options.workDir + "\\reload");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> soundsA = WriteSounds(folder, "a", 90, 1);
    std::vector<std::string> soundsB = WriteSounds(folder, "b", 60, 2);
    const std::string chartA = folder + "\\reload_a.ktb";
    const std::string chartB = folder + "\\reload_b.ktb";
    auto titleOf = [](int i) {
        char title[32];
        snprintf(title, sizeof(title), "Reload %04d %c", i, i % 2 ? 'B' : 'A');
        return std::string(title);
    };
    WriteText(chartA, ChartText(titleOf(0), soundsA, 12));

    Note("reload loop: %d reloads, charts of %zu and %zu sounds\n", count, soundsA.size(), soundsB.size());
    Operator op;
    Sample warmSample = {}, endSample = {};
    int done = 0;
    double reloadSeconds = 0.0;
    int code = RunViewerWith("-P " + Quoted(chartA), [&]() {
        HWND window = WaitViewerWindow(60);
        if (!window || !WaitTitle(window, ReadyTitle(titleOf(0)), 120)) {
            Expect(false, "the viewer did not come up on the first chart");
            if (window)
                PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
            return;
        }
        PrintSample("after the start", TakeSample());
        const double start = Seconds();
        for (int i = 1; i <= count; ++i) {
            const std::string& path = i % 2 ? chartB : chartA;
            WriteText(path, ChartText(titleOf(i), i % 2 ? soundsB : soundsA, 12));
            op.SetAnswer(path);
            static const UINT messages[3] = {WM_VIEWER_RELOAD, WM_SYSCOMMAND, WM_LBUTTONDBLCLK};
            static const WPARAM wParams[3] = {0, IDM_LOAD, 0};
            if (!ReloadAndWait(op, window, messages[i % 3], wParams[i % 3], titleOf(i))) {
                Expect(false, "reload %d did not finish (title \"%s\")", i, TitleOf(window).c_str());
                break;
            }
            done = i;
            Sleep(30);  // a few frames of play between reloads
            if (i == warm || i == count) {
                Sleep(300);
                Sample s = TakeSample();
                char when[64];
                snprintf(when, sizeof(when), "after reload %d", i);
                PrintSample(when, s);
                (i == warm ? warmSample : endSample) = s;
            } else if (i % 50 == 0) {
                char when[64];
                snprintf(when, sizeof(when), "after reload %d", i);
                PrintSample(when, TakeSample());
            }
        }
        reloadSeconds = Seconds() - start;
        PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    Expect(code == 0, "the viewer ended with %d", code);
    Expect(done == count, "%d of %d reloads done", done, count);
    Expect(op.Boxes().empty(), "%zu message boxes during the reloads", op.Boxes().size());
    Expect(DiagnosticCount("LoadFailed") == 0, "%lld sounds failed to load", DiagnosticCount("LoadFailed"));
    if (done == count && count > warm) {
        Note("  %d reloads in %.1f s (%.0f ms each), %d dialogs answered\n", count, reloadSeconds,
             1000.0 * reloadSeconds / count, op.DialogsAnswered());
        const double growth = MiB(endSample.memory.workingSet) - MiB(warmSample.memory.workingSet);
        const double privateGrowth = MiB(endSample.memory.privateBytes) - MiB(warmSample.memory.privateBytes);
        Note("  from reload %d to %d: working set %+.1f MiB, private %+.1f MiB, heap blocks %+lld, handles %+ld, "
             "registry keys %+ld (Wine's dialog)\n",
             warm, count, growth, privateGrowth, (long long)(endSample.blocks - warmSample.blocks),
             (long)endSample.handles - (long)warmSample.handles, (long)endSample.keys - (long)warmSample.keys);
        // The same chart is loaded at both points: every block of the program's own heap and every
        // handle must be back to the same count; the process's memory may move a little.
        if ((count - warm) % 2 == 0) {
            Expect(endSample.blocks == warmSample.blocks, "heap blocks %lld after reload %d, %lld after reload %d",
                   (long long)warmSample.blocks, warm, (long long)endSample.blocks, count);
            Expect(endSample.handles <= warmSample.handles + 4, "handles grew from %lu to %lu",
                   (unsigned long)warmSample.handles, (unsigned long)endSample.handles);
        }
        Expect(privateGrowth < 24.0, "private bytes grew by %.1f MiB", privateGrowth);
    }
    return Finish("reload loop");
}

// ---------------------------------------------------------------------------------------------
// A flood of remote-control messages, with the viewer's window, display, sound and chart, and a
// main loop that checks the clock after every message

namespace {

struct LoopCounts {
    long long dispatched = 0;
    long long quits = 0;
    long long frames = 0;
};

// Every message the window gets, from the main loop or from a modal loop (the open-file dialog
// dispatches the flood while it is open), goes through this check after the window's procedure.
long long g_remoteHandled = 0;
long long g_badStates = 0;

LRESULT CALLBACK CheckingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = MainWndProc(window, message, wParam, lParam);
    if (message >= WM_VIEWER_QUIT && message <= WM_VIEWER_REMOTE_OFF)
        ++g_remoteHandled;
    if (ClockState() < 0) {
        if (g_badStates == 0)
            Note("  clock in no state after message 0x%X (%lld): playing %d, paused %d, pause start %d\n", message,
                 (long long)wParam, g_isPlaying, g_userPaused, g_pauseStartTime);
        ++g_badStates;
    }
    return result;
}

// One pass of the viewer's main loop: every waiting message, then one frame.
void LoopPass(LoopCounts& counts)
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            ++counts.quits;  // the viewer would end here; the flood goes on
            continue;
        }
        if (got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++counts.dispatched;
    }
    UpdateFrame();
    if (g_display)
        g_display->Present();
    ++counts.frames;
}

}  // namespace

int RunFlood(const SoakOptions& options)
{
    Prepare(options, "message flood");
    const int count = options.count > 0 ? options.count : 10000;
    const std::string folder = FullPath(options.workDir + "\\flood");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> sounds = WriteSounds(folder, "f", 30, 3);
    const std::string chart = folder + "\\flood.ktb";
    WriteText(chart, ChartText("Flood", sounds, 24));

    ResetShell();
    HINSTANCE instance = GetModuleHandleA(nullptr);
    g_instance = instance;
    HWND window = CreateMainWindow(instance, 0, KTB_WINDOW_NAME, "KTBFlood_ZW", 0, 0);
    Expect(window != nullptr, "no window");
    if (!window)
        return Finish("message flood");
    SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)CheckingProc);
    g_remoteHandled = 0;
    g_badStates = 0;
    g_display = new CDDraw();
    g_display->Init(window, 0, 0, 432, 320);
    FakeDirectSound fake;
    g_sound = new CDSound();
    if (g_sound->Init(window, 1) != 0) {
        Note("  (no sound device: the flood runs on a fake DirectSound)\n");
        delete g_sound;
        InstallFakeDirectSoundCreate(&fake);
        g_sound = new CDSound();
        g_sound->Init(window, 1);
    }
    Operator op;
    Expect(LoadChart(window, chart.c_str()) == 0, "the flood chart did not load");
    PrepareChart(window);
    g_isPlaying = 1;
    g_userPaused = 0;
    g_pauseStartTime = 0;
    g_playStartTime = NowMs();

    // The messages: every remote-control kind with random parameters. A reload opens the dialog,
    // which the operator answers with the chart or cancels. WM_VIEWER_REMOTE_OFF comes last.
    Random r(options.seed);
    struct Posted {
        UINT message;
        WPARAM wParam;
    };
    std::vector<Posted> plan;
    int perKind[8] = {0};
    static const UINT kinds[] = {WM_VIEWER_QUIT,      WM_VIEWER_PAUSE, WM_VIEWER_RESUME, WM_VIEWER_RESTART,
                                 WM_VIEWER_PLAY_FROM, WM_VIEWER_SPEED, WM_VIEWER_RELOAD};
    for (int i = 0; i < count - 1; ++i) {
        // Reloads only in the last third: their dialog takes over the dispatching while it is open,
        // and the first two thirds should run with frames between the bursts.
        size_t k = r.Below(1000);
        int kind = (k < 6 && i > count * 2 / 3) ? 6 : (k < 60 ? 0 : 1 + (int)((k - 60) % 5));
        WPARAM wParam;
        switch (r.Below(6)) {
        case 0: wParam = (WPARAM)r.Below(30); break;
        case 1: wParam = (WPARAM)(INT_PTR)(int)r.Next(); break;
        case 2: wParam = (WPARAM)r.Next(); break;
        case 3: wParam = (WPARAM)(INT_PTR)-(int)r.Below(1000); break;
        case 4: wParam = (WPARAM)(0x7FFFFFFF - r.Below(3)); break;
        default: wParam = (WPARAM)r.Below(1000); break;
        }
        plan.push_back({kinds[kind], wParam});
        ++perKind[kind];
    }
    plan.push_back({WM_VIEWER_REMOTE_OFF, 0});
    ++perKind[7];
    Note("message flood: %d messages (quit %d, pause %d, resume %d, restart %d, play from %d, speed %d, reload %d, "
         "remote off %d)\n",
         count, perKind[0], perKind[1], perKind[2], perKind[3], perKind[4], perKind[5], perKind[6], perKind[7]);

    // Posted from another thread, as another program would, while the main loop runs.
    volatile LONG posted = 0;
    volatile LONG postFailures = 0;
    int reloadAnswers = 0;
    op.SetAnswer(chart);
    DriverThread sender{[&]() {
        for (size_t i = 0; i < plan.size(); ++i) {
            const Posted& p = plan[i];
            if (i % 50 == 49)
                Sleep(3);  // bursts: frames run between them, and some reloads come while no dialog is open
            int tries = 0;
            while (!PostMessageA(window, p.message, p.wParam, 0)) {
                InterlockedIncrement(&postFailures);
                Sleep(1);
                if (++tries > 5000)
                    break;
            }
            InterlockedIncrement(&posted);
        }
    }};
    HANDLE thread = CreateThread(nullptr, 0, DriverThread::Main, &sender, 0, nullptr);
    LoopCounts counts;
    const double start = Seconds();
    double longestPass = 0.0;
    while (Seconds() - start < 600) {
        double pass = Seconds();
        LoopPass(counts);
        pass = Seconds() - pass;
        if (pass > longestPass)
            longestPass = pass;
        if (op.DialogsAnswered() > reloadAnswers) {
            reloadAnswers = op.DialogsAnswered();
            op.SetAnswer(reloadAnswers % 2 ? std::string() : chart);  // every other reload is cancelled
        }
        if (posted == (LONG)plan.size() && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) {
            MSG msg;
            if (!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE))
                break;
        }
    }
    const double floodSeconds = Seconds() - start;
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    Note("  %ld posted (%ld retries), %lld handled (%lld by the main loop), %lld frames, %lld quit requests seen, "
         "%d dialogs, in %.1f s; longest loop pass %.0f ms\n",
         (long)posted, (long)postFailures, g_remoteHandled, counts.dispatched, counts.frames, counts.quits,
         op.DialogsAnswered(), floodSeconds, longestPass * 1000.0);
    Expect(posted == (LONG)plan.size(), "only %ld of %zu messages posted", (long)posted, plan.size());
    Expect(g_remoteHandled == (long long)plan.size(), "only %lld of %zu messages handled", g_remoteHandled,
           plan.size());
    Expect(g_badStates == 0, "the clock was in no state after %lld messages", g_badStates);
    Expect(perKind[0] == 0 || counts.quits > 0, "no quit request came through");
    Expect(g_remoteDisabled == 1, "WM_VIEWER_REMOTE_OFF was not obeyed");

    // Still responsive and still drawing: remote control is off now, the keys still work.
    LoopCounts after;
    PostMessageA(window, WM_KEYDOWN, VK_RETURN, 0);  // restart: playing from the start measure
    LoopPass(after);
    Expect(ClockState() == 1, "Enter did not start playing (state %d)", ClockState());
    const int playTime0 = g_playTime;
    const double t0 = Seconds();
    while (Seconds() - t0 < 0.5)
        LoopPass(after);
    Expect(g_playTime > playTime0 + 200, "chart time moved from %d to %d in half a second", playTime0, g_playTime);
    Expect(after.frames >= 10, "only %lld frames in half a second", after.frames);
    PostMessageA(window, WM_VIEWER_QUIT, 0, 0);  // ignored: remote control is off
    PostMessageA(window, WM_VIEWER_SPEED, 150, 0);
    LoopPass(after);
    Expect(after.quits == 0, "WM_VIEWER_QUIT obeyed after WM_VIEWER_REMOTE_OFF");
    Expect(g_scrollSpeed == 0.5f || g_scrollSpeed != 1.5f, "WM_VIEWER_SPEED obeyed after WM_VIEWER_REMOTE_OFF");
    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
    LoopPass(after);
    Expect(after.quits == 1, "Esc did not ask to quit");

    // A fresh viewer state with remote control on: the quit request is obeyed at once.
    g_remoteDisabled = 0;
    PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    LoopCounts last;
    LoopPass(last);
    Expect(last.quits == 1, "WM_VIEWER_QUIT was not obeyed");
    Expect(op.Boxes().empty(), "%zu message boxes during the flood", op.Boxes().size());

    DestroyWindow(window);
    ShutdownApp();
    UnregisterClassA("KTBFlood_ZW", instance);
    InstallFakeDirectSoundCreate(nullptr);
    ResetShell();
    return Finish("message flood");
}

// ---------------------------------------------------------------------------------------------
// Missing pieces

namespace {

// The viewer's start-up with no sound device: the box and exit code -1.
void NoSoundDevice(const std::string& chart)
{
    Note("no sound device (DirectSoundCreate fails):\n");
    FakeDirectSound fake;
    fake.createObjectResult = DSERR_NODRIVER;
    InstallFakeDirectSoundCreate(&fake);
    Operator op;
    int code = RunViewerWith(Quoted(chart), []() {});
    InstallFakeDirectSoundCreate(nullptr);
    std::vector<SeenBox> boxes = op.Boxes();
    Expect(code == -1, "exit code %d, not -1", code);
    Expect(boxes.size() == 1 && boxes[0].caption == "Error!" && boxes[0].text == "DirectSoundInitError",
           "boxes: %zu, first \"%s\": \"%s\"", boxes.size(), boxes.empty() ? "" : boxes[0].caption.c_str(),
           boxes.empty() ? "" : boxes[0].text.c_str());
}

// Every sound of a chart that names all 575 ids is missing: the chart still loads and plays.
void AllSoundsMissing(const std::string& folder)
{
    Note("a chart whose 575 sounds are all missing:\n");
    std::vector<std::string> names;
    for (int i = 1; i <= 575; ++i)
        names.push_back("missing\\gone" + IdText(i) + ".wav");
    const std::string chart = folder + "\\all_missing.ktb";
    WriteText(chart, ChartText("All Missing", names, 40));
    Operator op;
    long long failedBefore = DiagnosticCount("LoadFailed");
    double loadSeconds = 0.0;
    int listed = -1;
    int withoutBuffer = 0;
    int code = RunViewerWith("-P " + Quoted(chart), [&]() {
        const double start = Seconds();
        HWND window = WaitViewerWindow(60);
        bool ready = window && WaitTitle(window, ReadyTitle("All Missing"), 120);
        loadSeconds = Seconds() - start;
        Expect(ready, "the chart did not come up");
        if (ready) {
            listed = g_sound ? g_sound->GetList().m_count : -1;
            if (g_sound)
                for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
                    withoutBuffer += n->buffer->m_soundBuffer ? 0 : 1;
            Sleep(2000);  // notes of missing sounds come due and are played
        }
        if (window)
            PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    long long failed = DiagnosticCount("LoadFailed") - failedBefore;
    Note("  started in %.1f s; %d buffers listed, %d without sound; %lld LoadFailed lines\n", loadSeconds, listed,
         withoutBuffer, failed);
    Expect(code == 0, "exit code %d", code);
    Expect(listed == 575 && withoutBuffer == 575, "%d buffers listed, %d without sound", listed, withoutBuffer);
    Expect(failed == 575, "%lld LoadFailed lines", failed);
    Expect(op.Boxes().empty(), "a message box came up");
}

// A sound file deleted between two reloads: the reload reports it, keeps the buffer listed, plays.
void SoundDeletedBetweenReloads(const std::string& folder)
{
    Note("a sound file deleted between two reloads:\n");
    std::vector<std::string> sounds = WriteSounds(folder, "d", 12, 4);
    const std::string chart = folder + "\\deleted.ktb";
    WriteText(chart, ChartText("Deleted", sounds, 8));
    const std::string victim = folder + "\\" + sounds[5];
    Bytes saved;
    ReadFileBytes(victim, &saved);
    Operator op;
    op.SetAnswer(chart);
    const long long failedBefore = DiagnosticCount("LoadFailed");
    long long before = 0, afterDelete = 0, afterRestore = 0;
    int loadedAfterDelete = -1;
    int code = RunViewerWith("-P " + Quoted(chart), [&]() {
        HWND window = WaitViewerWindow(60);
        if (!window || !WaitTitle(window, ReadyTitle("Deleted"), 60)) {
            Expect(false, "the chart did not come up");
            if (window)
                PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
            return;
        }
        before = DiagnosticCount("LoadFailed") - failedBefore;
        DeleteFileA(victim.c_str());
        Expect(ReloadAndWait(op, window, WM_VIEWER_RELOAD, 0, "Deleted"), "the reload without the sound did not finish");
        afterDelete = DiagnosticCount("LoadFailed") - failedBefore;
        loadedAfterDelete = 0;
        if (g_sound)
            for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
                loadedAfterDelete += n->buffer->m_soundBuffer ? 1 : 0;
        Sleep(1500);  // the note of the deleted sound comes due
        WriteFileBytes(victim, saved);
        Expect(ReloadAndWait(op, window, WM_LBUTTONDBLCLK, 0, "Deleted"), "the reload with the sound back did not finish");
        afterRestore = DiagnosticCount("LoadFailed") - failedBefore;
        PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    Note("  LoadFailed lines: %lld before, %lld after the deleting reload, %lld after the restoring one; "
         "%d of 12 sounds loaded without the file\n",
         before, afterDelete, afterRestore, loadedAfterDelete);
    Expect(code == 0, "exit code %d", code);
    Expect(before == 0 && afterDelete == 1 && afterRestore == 1, "LoadFailed lines %lld, %lld, %lld", before,
           afterDelete, afterRestore);
    Expect(loadedAfterDelete == 11, "%d sounds loaded after the deletion", loadedAfterDelete);
    Expect(op.Boxes().empty(), "a message box came up");
}

// No XA decoder: XA sounds fail to load (the WAV loader refuses them too), the rest plays.
void NoXaDecoder(const std::string& folder)
{
    Note("no XA decoder (xadec.dll missing):\n");
    std::vector<std::string> sounds = WriteSounds(folder, "x", 20, 5);  // every fifth one is XA
    const std::string chart = folder + "\\no_xadec.ktb";
    WriteText(chart, ChartText("No Decoder", sounds, 8));
    SetXaDecoderForTest(&MissingXaDecoder());
    Operator op;
    long long failedBefore = DiagnosticCount("LoadFailed");
    int loaded = -1;
    int code = RunViewerWith("-P " + Quoted(chart), [&]() {
        HWND window = WaitViewerWindow(60);
        bool ready = window && WaitTitle(window, ReadyTitle("No Decoder"), 60);
        Expect(ready, "the chart did not come up");
        if (ready && g_sound) {
            loaded = 0;
            for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
                loaded += n->buffer->m_soundBuffer ? 1 : 0;
            Sleep(1500);
        }
        if (window)
            PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    UseInProcessXaDecoder();
    long long failed = DiagnosticCount("LoadFailed") - failedBefore;
    Note("  %d of 20 sounds loaded, %lld LoadFailed lines\n", loaded, failed);
    Expect(code == 0, "exit code %d", code);
    Expect(loaded == 16 && failed == 4, "%d sounds loaded, %lld failed", loaded, failed);
    Expect(op.Boxes().empty(), "a message box came up");
}

// A reload of a chart file that is gone: the "FileLoadError!" box, then the viewer ends cleanly.
void ReloadOfAGoneChart(const std::string& folder, const std::string& chart)
{
    Note("a reload of a chart file that is gone:\n");
    const std::string gone = folder + "\\gone.ktb";
    Operator op;
    op.SetAnswer(gone);
    int code = RunViewerWith("-P " + Quoted(chart), [&]() {
        HWND window = WaitViewerWindow(60);
        if (!window || !WaitTitle(window, ReadyTitle("Plain"), 60)) {
            Expect(false, "the chart did not come up");
            if (window)
                PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
            return;
        }
        PostMessageA(window, WM_VIEWER_RELOAD, 0, 0);
        // The viewer ends by itself after the box; a quit request later is only a safety net.
        const double end = Seconds() + 30;
        while (IsWindow(window) && Seconds() < end)
            Sleep(50);
        if (IsWindow(window))
            PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    std::vector<SeenBox> boxes = op.Boxes();
    Note("  exit code %d, %zu message box(es)%s%s\n", code, boxes.size(), boxes.empty() ? "" : ": ",
         boxes.empty() ? "" : boxes[0].caption.c_str());
    Expect(code == 0, "exit code %d", code);
    Expect(boxes.size() == 1 && boxes[0].caption == "FileLoadError!" && boxes[0].text == gone,
           "boxes: %zu, first \"%s\": \"%s\"", boxes.size(), boxes.empty() ? "" : boxes[0].caption.c_str(),
           boxes.empty() ? "" : boxes[0].text.c_str());
}

}  // namespace

int RunMissingPieces(const SoakOptions& options)
{
    Prepare(options, "missing pieces");
    const std::string folder = FullPath(options.workDir + "\\missing");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> sounds = WriteSounds(folder, "m", 5, 6);
    const std::string chart = folder + "\\plain.ktb";
    WriteText(chart, ChartText("Plain", sounds, 4));
    NoSoundDevice(chart);
    AllSoundsMissing(folder);
    SoundDeletedBetweenReloads(folder);
    NoXaDecoder(folder);
    ReloadOfAGoneChart(folder, chart);
    return Finish("missing pieces");
}

// ---------------------------------------------------------------------------------------------
// A long play of the demo, started again each time it has ended

int RunLongPlay(const SoakOptions& options)
{
    const double seconds = options.seconds > 0 ? options.seconds : 600.0;
    Prepare(options, "long play", (unsigned)((seconds + 600.0) * 1000.0));
    const std::string demo = FullPath(options.demoChart.empty() ? "demo\\demo.ktb" : options.demoChart);
    Note("long play: %s for %.0f s\n", demo.c_str(), seconds);
    Operator op;
    Sample first = {}, last = {};
    int loops = 0;
    int code = RunViewerWith("-P " + Quoted(demo), [&]() {
        HWND window = WaitViewerWindow(60);
        if (!window || !WaitTitle(window, " Lanterns Over Kestrel Bay  [ The Paper Tide Ensemble ]", 120)) {
            Expect(false, "the demo did not come up");
            if (window)
                PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
            return;
        }
        PrintSample("at the start", TakeSample());
        const double start = Seconds();
        double nextSample = start + 60.0;
        bool haveFirst = false;
        while (Seconds() - start < seconds) {
            Sleep(250);
            // The chart has ended and waits at its start: play it again.
            if (g_isPlaying == 0 && g_userPaused == 1 && g_pauseStartTime != 0) {
                ++loops;
                PostMessageA(window, WM_VIEWER_RESTART, 0, 0);
                Sleep(500);
            }
            if (Seconds() >= nextSample) {
                Sample s = TakeSample();
                char when[64];
                snprintf(when, sizeof(when), "after %.0f s (%d loops)", Seconds() - start, loops);
                PrintSample(when, s);
                if (!haveFirst) {
                    first = s;
                    haveFirst = true;
                }
                nextSample += 60.0;
            }
        }
        last = TakeSample();
        PrintSample("at the end", last);
        PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    Expect(code == 0, "exit code %d", code);
    Expect(op.Boxes().empty(), "a message box came up");
    Expect(DiagnosticCount("LoadFailed") == 0, "%lld sounds of the demo failed to load", DiagnosticCount("LoadFailed"));
    if (first.memory.workingSet && seconds >= 120) {
        Expect(loops >= (int)(seconds / 60.0), "only %d loops in %.0f s", loops, seconds);
        const double growth = MiB(last.memory.workingSet) - MiB(first.memory.workingSet);
        const double privateGrowth = MiB(last.memory.privateBytes) - MiB(first.memory.privateBytes);
        Note("  %d loops; from the first minute to the end: working set %+.1f MiB, private %+.1f MiB, heap blocks "
             "%+lld, handles %+ld\n",
             loops, growth, privateGrowth, (long long)(last.blocks - first.blocks),
             (long)last.handles - (long)first.handles);
        Expect(last.blocks <= first.blocks + 16, "heap blocks grew from %lld to %lld", (long long)first.blocks,
               (long long)last.blocks);
        Expect(privateGrowth < 16.0, "private bytes grew by %.1f MiB", privateGrowth);
    }
    return Finish("long play");
}

// ---------------------------------------------------------------------------------------------
// A huge chart file

int RunBigChart(const SoakOptions& options)
{
    Prepare(options, "big chart");
    const int megabytes = options.megabytes > 0 ? options.megabytes : 200;
    const std::string folder = FullPath(options.workDir + "\\big");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> sounds = WriteSounds(folder, "g", 10, 7);
    const std::string chart = folder + "\\big.ktb";

    // A playable chart, then filler up to the size: long comments, lines longer than 1999
    // characters, repeated note lines (their notes are duplicates), dense lines of the last
    // measure, blank runs and binary bytes.
    const double writeStart = Seconds();
    FILE* f = fopen(chart.c_str(), "wb");
    Expect(f != nullptr, "cannot write %s", chart.c_str());
    if (!f)
        return Finish("big chart");
    std::string head = ChartText("Big Chart", sounds, 30);
    fwrite(head.data(), 1, head.size(), f);
    std::string comment = "; " + std::string(1990, 'c') + "\r\n";
    std::string tooLong = "#005HH:" + std::string(5000, '1') + "\r\n";
    std::string repeated = "#003SD:0102030405060708\r\n#004G1:01010101\r\n";
    std::string dense = "#029BD:";
    for (int i = 0; i < 995; ++i)
        dense += (i % 3) ? "00" : "0A";
    dense += "\r\n";
    std::string blanks = "\r\n\r\n\r\n\r\n";
    std::string binary;
    for (int i = 0; i < 200; ++i)
        binary += (char)(i * 73 + 5);
    binary += "\r\n";
    const unsigned long long target = (unsigned long long)megabytes * 1024 * 1024;
    unsigned long long size = head.size();
    const std::string* pieces[] = {&comment, &tooLong, &repeated, &dense, &blanks, &binary, &comment, &repeated};
    static const char* const codes[] = {"HH", "SD", "BD", "HT", "LT", "CY", "G0", "G3", "G7", "B1", "B5", "01",
                                        "07", "0F", "1A", "20", "FI", "GW", "BW"};
    for (unsigned long long i = 0; size < target; ++i) {
        if (options.dense) {
            // Every cell a note, and no two lines of one channel share a position: the cell counts
            // differ from line to line.
            char line[2100];
            const int cells = 900 + (int)((i / 19 / 999) % 99);
            int n = snprintf(line, sizeof(line), "#%03d%s:", (int)((i / 19) % 999), codes[i % 19]);
            for (int k = 0; k < cells; ++k) {
                line[n++] = "0123456789"[(k / 10) % 10 == 0 ? 1 : (k / 10) % 10];
                line[n++] = "123456789A"[k % 10];
            }
            line[n++] = '\r';
            line[n++] = '\n';
            fwrite(line, 1, (size_t)n, f);
            size += (unsigned long long)n;
            continue;
        }
        const std::string* p = pieces[i % 8];
        fwrite(p->data(), 1, p->size(), f);
        size += p->size();
    }
    fclose(f);
    Note("big chart: %.1f MiB written in %.1f s\n", MiB(size), Seconds() - writeStart);

    Operator op;
    double loadSeconds = 0.0;
    Sample loaded = {};
    int code = RunViewerWith("-P " + Quoted(chart), [&]() {
        const double start = Seconds();
        HWND window = WaitViewerWindow(600);
        bool ready = window && WaitTitle(window, ReadyTitle("Big Chart"), 600);
        loadSeconds = Seconds() - start;
        Expect(ready, "the big chart did not come up");
        loaded = TakeSample();
        if (ready)
            Sleep(3000);
        if (window)
            PostMessageA(window, WM_VIEWER_QUIT, 0, 0);
    });
    Note("  started in %.1f s\n", loadSeconds);
    if (options.dense)
        Expect(DiagnosticCount("CChart::Load TooManyEvents") == 1, "the event bound was not reported once");
    PrintSample("while playing", loaded);
    Expect(code == 0, "exit code %d", code);
    Expect(op.Boxes().empty(), "a message box came up");
    DeleteFileA(chart.c_str());
    return Finish("big chart");
}
