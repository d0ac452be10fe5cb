// Process-wide state of the viewer: the play clock, options and the three long-lived objects.
#pragma once
#include <windows.h>

class CDDraw;
class CDSound;
class CChart;

#define WM_VIEWER_QUIT (WM_USER + 101)
#define WM_VIEWER_PAUSE (WM_USER + 102)
#define WM_VIEWER_RESUME (WM_USER + 103)
#define WM_VIEWER_RESTART (WM_USER + 104)
#define WM_VIEWER_PLAY_FROM (WM_USER + 105)
#define WM_VIEWER_SPEED (WM_USER + 106)
#define WM_VIEWER_RELOAD (WM_USER + 110)
#define WM_VIEWER_REMOTE_OFF (WM_USER + 200)
// dwData of the WM_COPYDATA that hands a running viewer a chart to load ("KTBL"); the data is the
// chart's full path with its terminating NUL, at most 260 bytes (app/HandOff.h).
#define VIEWER_COPYDATA_LOAD 0x4B54424Cu

extern int g_isPlaying;       // 0
extern int g_userPaused;      // 1
extern int g_pauseStartTime;  // 0
extern int g_playStartTime;   // 0
extern int g_playTime;        // -1
extern int g_seekBaseTime;
extern int g_startMeasure;    // -1
extern float g_scrollSpeed;   // 0.5f
extern int g_chartEndTime;
extern int g_remoteDisabled;  // 0
extern HWND g_mainWindow;
extern HINSTANCE g_instance;
extern CDDraw* g_display;
extern CDSound* g_sound;
extern CChart* g_chart;

// The clock source: timeGetTime, replaceable by tests.
typedef DWORD (*ClockSource)();
extern ClockSource g_clock;
inline int NowMs() { return (int)g_clock(); }
