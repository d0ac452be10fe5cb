// One frame: chart time, the score drawing, the sounds that come due, fades, streams, the end.
#pragma once
#include <stdint.h>

struct LaneNote;

extern int32_t g_drumPixelsPerSecond;    // 160 at start
extern int32_t g_stringPixelsPerSecond;  // 100
extern int32_t g_soundPixelsPerSecond;   // 100

void UpdateFrame();
void TriggerNote(LaneNote* entry, LaneNote* previous, int ownerTag);

// Whether the entry coming due on a lane fades out the sound of the lane's previous entry: that
// entry has a sound, not the entry's own, it lies outside a span, and the lane (ownerTag) was the
// last to start that sound (its owner tag is that of its last Play).
int FadesPrevious(const LaneNote* entry, const LaneNote* previous, int ownerTag);

// Observer of the sounds the frame update starts: called by TriggerNote right after an entry's
// sound was started, with the entry and the owner tag. Null in the viewer; set by measuring
// builds (the note-timing benchmark).
typedef void (*NoteStartHook)(const LaneNote* entry, int ownerTag);
extern NoteStartHook g_noteStartHook;
