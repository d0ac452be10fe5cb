// Screen-free arithmetic of CDDraw::Present: frame pacing and the clipping of the
// window's client area against the screen.
#pragma once
#include <windows.h>

enum PresentWaitKind {
    kPresentNoWait = 0,    // 15 ms or more since the last frame
    kPresentSleep = 1,     // more than 3 ms of the 15 left: give the time back with Sleep
    kPresentBusyWait = 2,  // 1 to 3 ms left: poll the clock until more than 15 ms have passed
};

// How to wait when `elapsed` ms have passed since the last presentation. For kPresentSleep,
// *sleepMs (when given) receives the sleep length; otherwise it receives 0.
PresentWaitKind PresentWaitPlan(unsigned elapsed, unsigned* sleepMs);

typedef DWORD (*PresentClockFn)();
typedef void (*PresentSleepFn)(DWORD ms);

// Waits as PresentWaitPlan says, using `clock` and `sleep`, and returns the current time
// that the presentation should record: after a sleep or a busy wait the first time read that
// lies more than 15 ms after the last presentation (a sleep is finished by the busy wait), or
// the first read when no wait was needed.
DWORD PacePresent(DWORD lastPresentTime, PresentClockFn clock, PresentSleepFn sleep);

// The clock and sleep CDDraw::Present uses (timeGetTime and Sleep); tests may replace them.
extern PresentClockFn g_presentClock;
extern PresentSleepFn g_presentSleep;

// Clips the client rectangle (in screen coordinates) to a screen of screenWidth x screenHeight
// and works out where the frame goes: *dest receives the top-left corner on the screen and
// *source the part of the back surface (backWidth x backHeight) that lands there, so that a
// window partly off the screen shows the matching part of the frame. Returns false when
// nothing of the client area is on the screen (minimised or moved entirely off it).
bool ComputePresentRects(const RECT& clientOnScreen, int screenWidth, int screenHeight, int backWidth,
                         int backHeight, POINT* dest, RECT* source);
