#include "app/Startup.h"

#include <string.h>

#include "app/ChartSession.h"
#include "app/CommandLine.h"
#include "app/Globals.h"
#include "app/HandOff.h"
#include "app/MainWindow.h"
#include "app/WindowList.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "score/Lanes.h"
#include "score/UpdateFrame.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

static void PostToAll(const HWND* windows, int count, UINT message, WPARAM wParam)
{
    for (int i = 0; i < count; ++i)
        PostMessageA(windows[i], message, wParam, 0);
}

// Option L with one running viewer: hands it the chart path (the rest of the line) and waits until
// it has loaded the chart.
static void HandOffChart(HWND viewer, const char* rest)
{
    char path[KTB_PATH_SIZE];
    if (!MakeHandOffPath(rest, path)) {
        DebugPrint("-L PathError\n");
        return;
    }
    DebugPrint("-L Option = %s: %s\n", HandOffOutcome(SendHandOff(viewer, path, KTB_HANDOFF_TIMEOUT_MS)), path);
}

int ProcessOptions(const char* commandLine, const HWND* found, int foundCount, StartOptions* out)
{
    const char* line = commandLine ? commandLine : "";
    out->x = -1;
    out->y = -1;
    OptionToken token;

    // First scan: only D and L.
    int handOff = 0;
    const char* p = SkipBlanks(line);
    while (IsOptionStart(p)) {
        p = ReadOptionToken(p, &token);
        if (token.letter == 'D') {
            g_remoteDisabled = 1;
            PostToAll(found, foundCount, WM_VIEWER_REMOTE_OFF, 0);
        } else if (token.letter == 'L') {
            handOff = 1;
        }
        p = SkipBlanks(p);
    }

    // L: the running viewer loads the chart before it gets the other options.
    HWND target = (foundCount == 1 && g_remoteDisabled == 0) ? found[0] : nullptr;
    if (handOff && target && *p != '\0')
        HandOffChart(target, p);

    // Second scan: every option in the order written.
    p = SkipBlanks(line);
    while (IsOptionStart(p)) {
        p = ReadOptionToken(p, &token);
        switch (token.letter) {
        case 'M':
            g_scrollSpeed = ParseSpeedOption(token.value);
            if (target)
                PostMessageA(target, WM_VIEWER_SPEED, (WPARAM)(INT_PTR)SpeedToHundredths(g_scrollSpeed), 0);
            break;
        case 'N':
            g_startMeasure = ParseIntLikeAtoi(token.afterLetter);
            DebugPrint("-N Option = %d\n", g_startMeasure);
            if (target)
                PostMessageA(target, WM_VIEWER_PLAY_FROM, (WPARAM)(INT_PTR)g_startMeasure, 0);
            break;
        case 'P':
            if (target) {
                PostMessageA(target, WM_VIEWER_RESUME, 0, 0);
                return 1;
            }
            g_isPlaying = 1;
            DebugPrint("-P Option ON\n");
            break;
        case 'Q':
            if (target)
                PostMessageA(target, WM_VIEWER_QUIT, 0, 0);
            return 1;
        case 'R':
            if (target) {
                PostMessageA(target, WM_VIEWER_RESTART, 0, 0);
                return 1;
            }
            break;
        case 'S':
            if (target) {
                PostMessageA(target, WM_VIEWER_PAUSE, 0, 0);
                return 1;
            }
            break;
        case 'X':
            out->x = ParseCoordinateOption(token.value);
            break;
        case 'Y':
            out->y = ParseCoordinateOption(token.value);
            break;
        default:  // D (done above), W and unknown letters
            break;
        }
        p = SkipBlanks(p);
    }

    // The first token that is not an option (or the end of the line).
    if (foundCount >= 1 && g_remoteDisabled == 0)
        return 1;
    PostToAll(found, foundCount, WM_VIEWER_REMOTE_OFF, 0);
    out->rest = p;
    return 0;
}

static void LoadSheet(int resourceId, int width, int height, int sheet, int reportFailure)
{
    HBITMAP bitmap = LoadBitmapA(g_instance, MAKEINTRESOURCEA(resourceId));
    if (!bitmap) {
        if (reportFailure)
            DebugPrint("LoadBitmap Error\n");
        return;  // the sheet keeps whatever the new surface holds
    }
    if (g_display)
        g_display->UploadBitmap(bitmap, width, height, sheet);
    DeleteObject(bitmap);
}

static int MainLoop()
{
    MSG msg;
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            BOOL got = GetMessageA(&msg, nullptr, 0, 0);
            if (got == 0) {
                ShutdownApp();
                return (int)msg.wParam;
            }
            if (got == -1)
                break;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        UpdateFrame();
        if (g_display)
            g_display->Present();
    }
}

int RunViewer(HINSTANCE instance, const char* commandLine)
{
    // 1.
    CWindowList viewers;  // destroyed on every way out
    g_instance = instance;
    ResetLanes();

    // 2. Whatever was found before a failure counts.
    viewers.FindClass(KTB_CLASS_NAME, nullptr);

    // 3.-5.
    StartOptions options;
    options.rest = "";
    if (ProcessOptions(commandLine, viewers.m_found, viewers.m_foundCount, &options) != 0)
        return 1;
    int x = options.x;
    int y = options.y;

    // 6. The chart path.
    char path[KTB_PATH_SIZE];
    memset(path, 0, sizeof(path));
    if (options.rest[0] != '\0') {
        CopyChartPath(path, sizeof(path), options.rest);
    } else if (!AskChartPath(nullptr, path)) {
        ShutdownApp();
        return -1;
    }
    RemoveQuotes(path, sizeof(path));

    // 7. The window.
    HWND window = CreateMainWindow(instance, KTB_ICON_ID, KTB_WINDOW_NAME, KTB_CLASS_NAME, x, y);
    if (!window)
        return 0;

    // 8. The display; a failed set-up has shown its own box and the viewer goes on without surfaces.
    g_display = new CDDraw();
    g_display->Init(window, x, y, 432, 320);

    // 9. The picture sheets.
    LoadSheet(KTB_PARTS_BITMAP_ID, 64, 64, 0, 1);
    LoadSheet(KTB_BACKGROUND_BITMAP_ID, 432, 320, 1, 0);

    // 10. The sound device.
    g_sound = new CDSound();
    if (g_sound->Init(window, 1) != 0) {
        ShowMessageBox(window, "DirectSoundInitError", "Error!", MB_ICONWARNING);
        return -1;
    }

    // 11. The chart (the error box has been shown on failure).
    if (LoadChart(window, path) != 0)
        return -1;

    // 12.-16. Lanes, end time, title, sounds.
    PrepareChart(window);
    SetWindowTitle(window, g_chart->title, "  [", g_chart->artist, " ]");

    // 17. The clock.
    g_playStartTime = NowMs();
    if (g_isPlaying == 1) {
        g_pauseStartTime = 0;
        g_userPaused = 0;
    }

    // 18.
    return MainLoop();
}
