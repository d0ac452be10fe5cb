// One frame: chart time, the score drawing, the sounds that come due, fades, streams, the end.
#pragma once
#include <stdint.h>

struct LaneNote;

extern int32_t g_drumPixelsPerSecond;    // 160 at start
extern int32_t g_stringPixelsPerSecond;  // 100
extern int32_t g_soundPixelsPerSecond;   // 100

void UpdateFrame();
void TriggerNote(LaneNote* entry, LaneNote* previous, int ownerTag);
