#include <string.h>

#include <string>

#include "ShellFixture.h"
#include "app/MainWindow.h"
#include "chart/CChart.h"
#include "fakes/ChartFiles.h"
#include "app/PlayClock.h"
#include "app/WndProc.h"
#include "score/UpdateFrame.h"

namespace {

LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return MainWndProc(nullptr, message, wParam, lParam);
}

TEST_F(ShellTest, HoldingSpacePausesAndResumesOnEveryRepeat)
{
    StartPlaying();
    Send(WM_KEYDOWN, VK_SPACE);
    EXPECT_EQ(kUserPause, State());
    Send(WM_KEYDOWN, VK_SPACE);
    EXPECT_EQ(kPlaying, State());
    Send(WM_KEYDOWN, VK_SPACE);
    EXPECT_EQ(kUserPause, State());
}

TEST_F(ShellTest, EnterNeedsASoundDeviceEscQuits)
{
    delete g_sound;
    g_sound = nullptr;
    Send(WM_KEYDOWN, VK_RETURN);
    EXPECT_EQ(kIdle, State());
    EXPECT_FALSE(TakeQuit());
    Send(WM_KEYDOWN, VK_ESCAPE);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(ShellTest, ModalLoopsPauseAndResumeOnlyTheSystemPause)
{
    StartPlaying();
    Send(WM_ENTERMENULOOP);
    EXPECT_EQ(kSystemPause, State());
    Send(WM_EXITMENULOOP);
    EXPECT_EQ(kPlaying, State());
    Send(WM_NCLBUTTONDOWN, HTCAPTION);
    EXPECT_EQ(kSystemPause, State());
    Send(WM_EXITSIZEMOVE);
    EXPECT_EQ(kPlaying, State());

    WINDOWPOS pos = {};
    Send(WM_NCLBUTTONDOWN, HTCAPTION);
    pos.flags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER;
    Send(WM_WINDOWPOSCHANGING, 0, (LPARAM)&pos);
    EXPECT_EQ(kSystemPause, State());
    pos.flags = SWP_NOSIZE | SWP_NOMOVE;
    Send(WM_WINDOWPOSCHANGING, 0, (LPARAM)&pos);
    EXPECT_EQ(kPlaying, State());

    // A user pause survives the menu and the drag.
    Send(WM_KEYDOWN, VK_SPACE);
    Send(WM_ENTERMENULOOP);
    Send(WM_EXITMENULOOP);
    Send(WM_NCLBUTTONDOWN, HTCAPTION);
    Send(WM_EXITSIZEMOVE);
    Send(WM_WINDOWPOSCHANGING, 0, (LPARAM)&pos);
    EXPECT_EQ(kUserPause, State());
    // And Idle stays Idle.
    g_userPaused = 1;
    g_isPlaying = 0;
    g_pauseStartTime = 0;
    Send(WM_EXITMENULOOP);
    EXPECT_EQ(kIdle, State());
}

TEST_F(ShellTest, RemoteControlMessages)
{
    Send(WM_VIEWER_RESUME);  // Idle: no pause time, no effect
    EXPECT_EQ(kIdle, State());
    Send(WM_VIEWER_PAUSE);  // not playing: no effect
    EXPECT_EQ(kIdle, State());
    Send(WM_VIEWER_RESTART);
    EXPECT_EQ(kPlaying, State());
    Send(WM_VIEWER_PAUSE);
    EXPECT_EQ(kUserPause, State());
    clock.Advance(100);
    Send(WM_VIEWER_PLAY_FROM, 2);  // while paused by the user: plays at once
    EXPECT_EQ(kPlaying, State());
    EXPECT_EQ(2, g_startMeasure);
    EXPECT_EQ(5500, g_seekBaseTime);
    EXPECT_EQ((int)clock.Now(), g_playStartTime);
    Send(WM_VIEWER_PAUSE);
    Send(WM_VIEWER_RESUME);
    EXPECT_EQ(kPlaying, State());

    Send(WM_VIEWER_SPEED, 150);
    EXPECT_FLOAT_EQ(1.5f, g_scrollSpeed);
    Send(WM_VIEWER_SPEED, 5);
    EXPECT_FLOAT_EQ(0.5f, g_scrollSpeed);
    Send(WM_VIEWER_SPEED, 800);
    EXPECT_FLOAT_EQ(8.0f, g_scrollSpeed);
    Send(WM_VIEWER_SPEED, 900);
    EXPECT_FLOAT_EQ(0.5f, g_scrollSpeed);
    Send(WM_VIEWER_SPEED, (WPARAM)(INT_PTR)-150);
    EXPECT_FLOAT_EQ(0.5f, g_scrollSpeed);

    Send(WM_VIEWER_PLAY_FROM, (WPARAM)(INT_PTR)-1);  // no such measure: from chart time 0
    EXPECT_EQ(-1, g_startMeasure);
    EXPECT_EQ(0, g_seekBaseTime);

    EXPECT_FALSE(TakeQuit());
    Send(WM_VIEWER_QUIT);
    EXPECT_TRUE(TakeQuit());
}

TEST_F(ShellTest, PauseRightAfterPlayFromShowsTheNewMeasure)
{
    // "-N2 -S" forwarded: both messages are handled before the next frame.
    StartPlaying();
    clock.Advance(300);
    UpdateFrame();
    EXPECT_EQ(300, g_playTime);
    Send(WM_VIEWER_PLAY_FROM, 2);
    Send(WM_VIEWER_PAUSE);
    UpdateFrame();
    EXPECT_EQ(5500, g_playTime);
    Send(WM_KEYDOWN, VK_RETURN);  // restart at measure 2, paused at once
    Send(WM_KEYDOWN, VK_SPACE);
    clock.Advance(1000);
    UpdateFrame();
    EXPECT_EQ(5500, g_playTime);
}

TEST_F(ShellTest, RemoteOffIgnoresRemoteControlButNotKeys)
{
    Send(WM_VIEWER_REMOTE_OFF);
    EXPECT_EQ(1, g_remoteDisabled);
    Send(WM_VIEWER_RESTART);
    Send(WM_VIEWER_PLAY_FROM, 2);
    EXPECT_EQ(kIdle, State());
    EXPECT_EQ(-1, g_startMeasure);
    Send(WM_VIEWER_SPEED, 200);
    EXPECT_FLOAT_EQ(0.5f, g_scrollSpeed);
    Send(WM_VIEWER_QUIT);
    EXPECT_FALSE(TakeQuit());

    Send(WM_KEYDOWN, VK_RETURN);
    EXPECT_EQ(kPlaying, State());
    Send(WM_VIEWER_PAUSE);
    EXPECT_EQ(kPlaying, State());
    Send(WM_KEYDOWN, VK_SPACE);
    Send(WM_VIEWER_RESUME);
    EXPECT_EQ(kUserPause, State());
    Send(WM_VIEWER_REMOTE_OFF);  // stays off
    Send(WM_KEYDOWN, VK_ESCAPE);
    EXPECT_TRUE(TakeQuit());
}

// The real window procedure behind a hidden window of a test class.
class WindowTest : public ShellTest {
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = MainWndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KTBWndProcTest";
        RegisterClassA(&wc);
        window = CreateWindowA("KTBWndProcTest", "test", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, 0, 0, 100, 100,
                               nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, window);
    }
    void TearDown() override
    {
        if (IsWindow(window))
            DestroyWindow(window);
        ShellTest::TearDown();
    }
    HWND window = nullptr;
};

// Counts the open-file dialogs (top-level windows of the dialog class) that sending
// WM_VIEWER_RELOAD opens. While the first one is up, WM_VIEWER_RELOAD is sent once more (a reload
// during the reload), then every dialog of the thread is cancelled. Nothing can wait for a user:
// a second dialog is refused when it is created, and the first is cancelled on the first tick of
// a timer that only its modal loop runs.
class ReloadWatch {
public:
    static int DialogsOpened(HWND window)
    {
        s_window = window;
        s_dialogs = 0;
        s_nestedSent = false;
        HHOOK hook = SetWindowsHookExA(WH_CBT, OnCbt, nullptr, GetCurrentThreadId());
        UINT_PTR timer = SetTimer(nullptr, 0, 50, OnTick);
        SendMessageA(window, WM_VIEWER_RELOAD, 0, 0);
        KillTimer(nullptr, timer);
        UnhookWindowsHookEx(hook);
        return s_dialogs;
    }

private:
    static bool IsDialog(const CREATESTRUCTA* create)
    {
        LPCSTR name = create->lpszClass;
        return !(create->style & WS_CHILD) &&
               (IS_INTRESOURCE(name) ? LOWORD((ULONG_PTR)name) == 0x8002 : strcmp(name, "#32770") == 0);
    }
    static LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam)
    {
        if (code == HCBT_CREATEWND && IsDialog(reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs) && ++s_dialogs > 1)
            return 1;  // refused
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static BOOL CALLBACK CancelDialog(HWND window, LPARAM)
    {
        char name[16] = "";
        GetClassNameA(window, name, sizeof(name));
        if (strcmp(name, "#32770") == 0)
            PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
        return TRUE;
    }
    static void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD)
    {
        if (!s_nestedSent) {
            s_nestedSent = true;
            SendMessageA(s_window, WM_VIEWER_RELOAD, 0, 0);
            if (s_handOff)
                s_handOffAnswer = SendMessageA(s_window, WM_COPYDATA, 0, (LPARAM)s_handOff);
        }
        EnumThreadWindows(GetCurrentThreadId(), CancelDialog, 0);
    }
    static inline HWND s_window = nullptr;
    static inline int s_dialogs = 0;
    static inline bool s_nestedSent = false;

public:
    // When set, this hand-off is also sent while the dialog is up; its answer is kept.
    static inline const COPYDATASTRUCT* s_handOff = nullptr;
    static inline LRESULT s_handOffAnswer = -1;
};

TEST_F(WindowTest, ReloadOpensOneDialogIgnoresReloadsMeanwhileAndObeysRemoteOff)
{
    StartPlaying();
    EXPECT_EQ(1, ReloadWatch::DialogsOpened(window));
    EXPECT_EQ(kPlaying, State());  // cancelled: playback goes on
    EXPECT_NE(nullptr, g_drumLanes[1]);
    g_remoteDisabled = 1;
    EXPECT_EQ(0, ReloadWatch::DialogsOpened(window));
}

TEST_F(WindowTest, HandOffRefusalsChangeNothingAndAnAcceptedOneLoads)
{
    TempFolder folder;
    std::string chart = folder.Write("handed.ktb", CrLf({"#TITLE Handed", "#ARTIST Off", "#000HH:01"}));
    g_chart = new CChart(g_sound);
    CChart* before = g_chart;
    LaneNote* lane = g_drumLanes[1];
    SetWindowTextA(window, "before");
    StartPlaying();
    auto handOff = [&](ULONG_PTR id, const void* data, size_t bytes) {
        COPYDATASTRUCT cds = {id, (DWORD)bytes, const_cast<void*>(data)};
        return SendMessageA(window, WM_COPYDATA, 0, (LPARAM)&cds);
    };
    auto unchanged = [&](const char* what) {
        char title[64] = "";
        GetWindowTextA(window, title, sizeof(title));
        EXPECT_STREQ("before", title) << what;
        EXPECT_EQ(before, g_chart) << what;
        EXPECT_EQ(lane, g_drumLanes[1]) << what;
        EXPECT_EQ(sound, g_sound->GetList().m_head->buffer) << what;
        EXPECT_EQ(1, g_sound->GetList().m_count) << what;
        EXPECT_EQ(kPlaying, State()) << what;
    };
    const char* path = chart.c_str();
    size_t bytes = chart.size() + 1;
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD + 1, path, bytes));
    unchanged("another identifier");
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, nullptr, bytes));
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, path, 0));
    unchanged("no data");
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, path, bytes - 1));
    unchanged("no NUL");
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, "", 1));
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, "\"\"", 3));
    unchanged("empty path");
    g_remoteDisabled = 1;
    EXPECT_EQ(FALSE, handOff(VIEWER_COPYDATA_LOAD, path, bytes));
    unchanged("remote control off");
    g_remoteDisabled = 0;
    COPYDATASTRUCT during = {VIEWER_COPYDATA_LOAD, (DWORD)bytes, const_cast<char*>(path)};
    ReloadWatch::s_handOff = &during;
    ReloadWatch::DialogsOpened(window);
    ReloadWatch::s_handOff = nullptr;
    EXPECT_EQ(FALSE, ReloadWatch::s_handOffAnswer);
    unchanged("during a reload");

    // The same data, acceptable: loaded and playing before the answer.
    g_isPlaying = 0;
    g_userPaused = 1;
    EXPECT_EQ(TRUE, handOff(VIEWER_COPYDATA_LOAD, path, bytes));
    char title[64] = "";
    GetWindowTextA(window, title, sizeof(title));
    EXPECT_STREQ(" Handed  [ Off ]", title);
    EXPECT_NE(nullptr, g_chart);
    EXPECT_EQ(kPlaying, State());
    EXPECT_EQ(0, g_sound->GetList().m_count);  // the kept sound is not named by the new chart
    delete g_chart;
    g_chart = nullptr;
}

TEST_F(WindowTest, SystemMenuGetsLoadAndAbout)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 4);
    struct Expected {
        UINT type;
        UINT id;
        const char* text;
    } expected[4] = {{MFT_SEPARATOR, 0, ""}, {MFT_STRING, 257, "&Load"}, {MFT_SEPARATOR, 0, ""},
                     {MFT_STRING, 256, "&About..."}};
    for (int i = 0; i < 4; ++i) {
        char text[64] = "";
        MENUITEMINFOA item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = sizeof(text);
        ASSERT_TRUE(GetMenuItemInfoA(menu, count - 4 + i, TRUE, &item));
        EXPECT_EQ(expected[i].type, item.fType & MFT_SEPARATOR) << i;
        if (expected[i].type == MFT_STRING) {
            EXPECT_EQ(expected[i].id, item.wID);
            EXPECT_STREQ(expected[i].text, text);
        }
    }
}

TEST_F(WindowTest, LoadEntryAsksForADoubleClick)
{
    SendMessageA(window, WM_SYSCOMMAND, IDM_LOAD, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, window, WM_LBUTTONDBLCLK, WM_LBUTTONDBLCLK, PM_REMOVE));
    EXPECT_EQ(0u, msg.wParam);
    EXPECT_EQ(0, msg.lParam);
}

TEST_F(WindowTest, ClosingQuitsAndShutsDownTwiceWithoutHarm)
{
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(TakeQuit());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, g_sound);  // released by WM_DESTROY
    EXPECT_EQ(nullptr, g_drumLanes[1]);
    ShutdownApp();  // the main loop's run after the quit message
    EXPECT_EQ(nullptr, g_sound);
}

}  // namespace
