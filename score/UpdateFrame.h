// One frame: chart time, the score drawing, the sounds that come due, fades, streams, the end.
#pragma once
#include <stdint.h>

struct LaneNote;

extern int32_t g_drumPixelsPerSecond;    // 160 at start
extern int32_t g_stringPixelsPerSecond;  // 100
extern int32_t g_soundPixelsPerSecond;   // 100

void UpdateFrame();
void TriggerNote(LaneNote* entry, LaneNote* previous, int ownerTag);

// Observer of the sounds the frame update starts: called by TriggerNote right after an entry's
// sound was started, with the entry and the owner tag. Null in the viewer; set by measuring
// builds (the note-timing benchmark).
typedef void (*NoteStartHook)(const LaneNote* entry, int ownerTag);
extern NoteStartHook g_noteStartHook;
