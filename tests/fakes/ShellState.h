// The shell's clock and option globals for tests: back to their program-start values, and the
// clock's state by name.
#pragma once
#include "app/Globals.h"

inline void ResetShellGlobals()
{
    g_isPlaying = 0;
    g_userPaused = 1;
    g_pauseStartTime = 0;
    g_playStartTime = 0;
    g_playTime = -1;
    g_seekBaseTime = 0;
    g_startMeasure = -1;
    g_scrollSpeed = 0.5f;
    g_chartEndTime = 0;
    g_remoteDisabled = 0;
}

// 0 Idle, 1 Playing, 2 User pause, 3 System pause, -1 any other combination.
inline int ClockState()
{
    if (g_isPlaying == 0 && g_userPaused == 1 && g_pauseStartTime == 0)
        return 0;
    if (g_isPlaying == 1 && g_userPaused == 0 && g_pauseStartTime == 0)
        return 1;
    if (g_isPlaying == 0 && g_userPaused == 1 && g_pauseStartTime != 0)
        return 2;
    if (g_isPlaying == 0 && g_userPaused == 0 && g_pauseStartTime != 0)
        return 3;
    return -1;
}
