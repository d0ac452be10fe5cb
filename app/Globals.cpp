#include "app/Globals.h"

#include <mmsystem.h>

static DWORD SystemClock() { return timeGetTime(); }

int g_isPlaying = 0;
int g_userPaused = 1;
int g_pauseStartTime = 0;
int g_playStartTime = 0;
int g_playTime = -1;
int g_seekBaseTime = 0;
int g_startMeasure = -1;
float g_scrollSpeed = 0.5f;
int g_chartEndTime = 0;
int g_remoteDisabled = 0;
HWND g_mainWindow = nullptr;
HINSTANCE g_instance = nullptr;
CDDraw* g_display = nullptr;
CDSound* g_sound = nullptr;
CChart* g_chart = nullptr;
ClockSource g_clock = SystemClock;
