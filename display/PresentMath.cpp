#include "display/PresentMath.h"

#include <mmsystem.h>

namespace {

const unsigned kFrameMs = 15;
const unsigned kSleepBelowMs = 12;  // sleep only when at least 4 ms of the frame remain

DWORD SystemClock() { return timeGetTime(); }
void SystemSleep(DWORD ms) { Sleep(ms); }

}  // namespace

PresentClockFn g_presentClock = SystemClock;
PresentSleepFn g_presentSleep = SystemSleep;

PresentWaitKind PresentWaitPlan(unsigned elapsed, unsigned* sleepMs)
{
    if (sleepMs) *sleepMs = 0;
    if (elapsed < kSleepBelowMs) {
        if (sleepMs) *sleepMs = kFrameMs - elapsed;
        return kPresentSleep;
    }
    if (elapsed < kFrameMs) return kPresentBusyWait;
    return kPresentNoWait;
}

DWORD PacePresent(DWORD lastPresentTime, PresentClockFn clock, PresentSleepFn sleep)
{
    DWORD current = clock();
    unsigned sleepMs = 0;
    switch (PresentWaitPlan(current - lastPresentTime, &sleepMs)) {
    case kPresentSleep:
        // The clock is read again after the sleep and the frame is finished by the busy wait.
        // Recording the time from before the sleep instead would let the next frame count the
        // sleep as its own elapsed time and skip its wait: frames would then come in pairs, 1 and
        // 15 ms apart (about 110 a second), instead of one every 16 ms.
        sleep(sleepMs);
        current = clock();
        while (current - lastPresentTime <= kFrameMs) current = clock();
        break;
    case kPresentBusyWait:
        while (current - lastPresentTime <= kFrameMs) current = clock();
        break;
    case kPresentNoWait:
        break;
    }
    return current;
}

bool ComputePresentRects(const RECT& clientOnScreen, int screenWidth, int screenHeight, int backWidth,
                         int backHeight, POINT* dest, RECT* source)
{
    RECT clip = clientOnScreen;
    if (clip.right > screenWidth) clip.right = screenWidth;
    if (clip.left > screenWidth) clip.left = screenWidth;
    if (clip.bottom > screenHeight) clip.bottom = screenHeight;
    if (clip.top > screenHeight) clip.top = screenHeight;
    if (clip.right < 0) clip.right = 0;
    if (clip.bottom < 0) clip.bottom = 0;
    if (clip.left < 0) clip.left = 0;
    if (clip.top < 0) clip.top = 0;

    if (clip.right - clip.left < 1 || clip.bottom - clip.top < 1) return false;

    RECT src = {0, 0, backWidth, backHeight};
    if (clip.left == 0) src.left = backWidth - clip.right;
    if (clip.top == 0) src.top = backHeight - clip.bottom;
    if (clip.right == screenWidth) src.right = src.left + (clip.right - clip.left);
    if (clip.bottom == screenHeight) src.bottom = src.top + (clip.bottom - clip.top);

    // A client area larger than the back surface (its size not yet fitted) would otherwise
    // ask for pixels outside the surface, and the blit would be refused.
    if (src.left < 0) src.left = 0;
    if (src.top < 0) src.top = 0;
    if (src.right > backWidth) src.right = backWidth;
    if (src.bottom > backHeight) src.bottom = backHeight;
    if (src.right - src.left < 1 || src.bottom - src.top < 1) return false;

    if (dest) {
        dest->x = clip.left;
        dest->y = clip.top;
    }
    if (source) *source = src;
    return true;
}
