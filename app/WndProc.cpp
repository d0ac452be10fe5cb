// The viewer window's procedure: system menu, keys, pauses around modal loops, About, reload and
// the remote-control messages. Every message is passed on to DefWindowProcA afterwards, except
// WM_COPYDATA, which the viewer answers itself.
#include "app/WndProc.h"

#include <string.h>

#include "app/ChartSession.h"
#include "app/CommandLine.h"
#include "app/Globals.h"
#include "app/HandOff.h"
#include "app/MainWindow.h"
#include "app/PlayClock.h"
#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

static const char kAboutText[] = "KTB Viewer 0.05\n  (c) 2026 the KTB Viewer developers";

static void AppendSystemMenuItem(HMENU menu, UINT type, UINT id, const char* text)
{
    MENUITEMINFOA item;
    memset(&item, 0, sizeof(item));
    item.cbSize = sizeof(MENUITEMINFOA);
    item.fMask = MIIM_TYPE | MIIM_ID;
    item.fType = type;
    item.wID = id;
    item.dwTypeData = const_cast<char*>(text);
    item.cch = text ? (UINT)strlen(text) : 0;
    int count = GetMenuItemCount(menu);
    InsertMenuItemA(menu, count < 0 ? 0 : (UINT)count, TRUE, &item);
}

static void ExtendSystemMenu(HWND window)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    if (!menu)
        return;
    AppendSystemMenuItem(menu, MFT_SEPARATOR, 0, nullptr);
    AppendSystemMenuItem(menu, MFT_STRING, IDM_LOAD, "&Load");
    AppendSystemMenuItem(menu, MFT_SEPARATOR, 0, nullptr);
    AppendSystemMenuItem(menu, MFT_STRING, IDM_ABOUT, "&About...");
}

static void ShowAbout(HWND window)
{
    if (g_isPlaying == 1)
        PausePlay(0);
    ShowMessageBox(window, kAboutText, "VersionInfo", MB_ICONINFORMATION);
    if (g_userPaused == 0)
        ResumePlay(0);
}

static int IsPlayingState() { return g_isPlaying == 1 && g_userPaused == 0 && g_pauseStartTime == 0; }

static int IsSystemPauseState() { return g_isPlaying == 0 && g_userPaused == 0 && g_pauseStartTime != 0; }

// Set while a reload runs: its dialog and message boxes are modal loops that dispatch posted
// messages, and a second reload entered from there would pull the chart away under the first.
static int s_reloadActive = 0;

// The reload from its "NowLoading..." title on: the old chart's sounds are kept aside for the new
// one (those it names with unchanged files are reused, the rest freed after the read), chart and
// lanes are replaced, and playback starts at the start measure. Returns 1 when the chart is ready;
// 0 after a failed load or compile, when the error box has been shown (answering a sent message
// first when replyFirst is set) and the quit is requested.
static int LoadChartInViewer(HWND window, const char* path, int replyFirst)
{
    SetWindowTitle(window, "NowLoading...", "", "", "");

    g_sound->KeepBuffersForReload();
    delete g_chart;
    g_chart = nullptr;
    FreeLaneArrays();
    // Counts back to 0 at once: handlers dispatched from the error boxes below (restart, play
    // from) must not walk the freed arrays.
    ResetLanes();

    int failed = LoadChart(window, path, replyFirst);
    g_sound->DropKeptBuffers();
    if (failed != 0) {
        // The program ends; the broken chart is not compiled further or played. The lanes stay
        // empty and the sounds it loaded stay silent until the shutdown releases them.
        PostQuitMessage(0);
        return 0;
    }

    PrepareChart(window);

    g_isPlaying = 1;
    g_playStartTime = NowMs();
    g_playTime = g_seekBaseTime;  // no frame of the old chart's time over the new lanes
    g_pauseStartTime = 0;
    g_userPaused = 0;

    SetWindowTitle(window, g_chart->title, "  [", g_chart->artist, " ]");
    return 1;
}

void ReloadChart(HWND window)
{
    if (s_reloadActive)
        return;
    s_reloadActive = 1;

    if (IsPlayingState())
        PausePlay(0);

    char path[KTB_PATH_SIZE];
    if (!AskChartPath(window, path) || !g_sound) {
        // Cancelled (or the device is gone because the window was destroyed meanwhile).
        if (IsSystemPauseState())
            ResumePlay(0);
        s_reloadActive = 0;
        return;
    }
    RemoveQuotes(path, sizeof(path));
    LoadChartInViewer(window, path, 0);
    s_reloadActive = 0;
}

LRESULT LoadHandedOffChart(HWND window, const COPYDATASTRUCT* data)
{
    char path[KTB_PATH_SIZE];
    // Refused without a change: remote control off, not our data, a reload under way, or no chart
    // yet (a start-up that has not finished, or a window whose device is gone).
    if (g_remoteDisabled != 0 || s_reloadActive || !g_sound || !g_chart || !ReadHandOff(data, path))
        return FALSE;
    s_reloadActive = 1;
    int ready = LoadChartInViewer(window, path, 1);
    s_reloadActive = 0;
    return ready ? TRUE : FALSE;
}

static void HandleKey(WPARAM key)
{
    switch (key) {
    case VK_RETURN:
        if (g_sound)
            RestartPlay();
        break;
    case VK_ESCAPE:
        PostQuitMessage(0);
        break;
    case VK_SPACE:
        if (g_isPlaying == 0 && g_userPaused == 1 && g_pauseStartTime != 0)
            ResumePlay(1);
        else if (IsPlayingState())
            PausePlay(1);
        break;
    default:
        break;
    }
}

static void SetSpeedHundredths(int h)
{
    if (h < 10 || h > 800)
        h = 50;
    g_scrollSpeed = (float)(h * 0.01f);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        ExtendSystemMenu(window);
        break;
    case WM_DESTROY:
        ShutdownApp();
        break;
    case WM_CLOSE:
        PostQuitMessage(0);
        break;
    case WM_KEYDOWN:
        HandleKey(wParam);
        break;
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) == IDM_ABOUT)
            ShowAbout(window);
        else if (LOWORD(wParam) == IDM_LOAD)
            PostMessageA(window, WM_LBUTTONDBLCLK, 0, 0);
        break;
    case WM_NCLBUTTONDOWN:
    case WM_ENTERMENULOOP:
        if (g_isPlaying == 1)
            PausePlay(0);
        break;
    case WM_EXITMENULOOP:
    case WM_EXITSIZEMOVE:
        if (g_userPaused == 0)
            ResumePlay(0);
        break;
    case WM_WINDOWPOSCHANGING: {
        const WINDOWPOS* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (pos && pos->flags == (SWP_NOSIZE | SWP_NOMOVE) && g_userPaused == 0)
            ResumePlay(0);
        break;
    }
    case WM_LBUTTONDBLCLK:
        ReloadChart(window);
        break;
    case WM_VIEWER_QUIT:
        if (g_remoteDisabled != 1)
            PostQuitMessage(0);
        break;
    case WM_VIEWER_PAUSE:
        if (g_remoteDisabled != 1 && g_isPlaying == 1)
            PausePlay(1);
        break;
    case WM_VIEWER_RESUME:
        if (g_remoteDisabled != 1)
            ResumePlay(1);
        break;
    case WM_VIEWER_RESTART:
        if (g_remoteDisabled != 1 && g_sound)
            RestartPlay();
        break;
    case WM_VIEWER_PLAY_FROM:
        if (g_remoteDisabled != 1)
            PlayFromMeasure((int)wParam);
        break;
    case WM_VIEWER_SPEED:
        if (g_remoteDisabled == 0)
            SetSpeedHundredths((int)wParam);
        break;
    case WM_VIEWER_RELOAD:
        if (g_remoteDisabled == 0)
            ReloadChart(window);
        break;
    case WM_COPYDATA:
        return LoadHandedOffChart(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_VIEWER_REMOTE_OFF:
        g_remoteDisabled = 1;
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
