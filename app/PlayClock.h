// The play clock: system milliseconds turned into chart time, with pause, resume and restart.
#pragma once

void PausePlay(int byUser);
void ResumePlay(int byUser);
void RestartPlay();
// Stops every listed sound and forgets their pause state (nothing without a sound device).
void StopAllSounds();
// WM_VIEWER_PLAY_FROM: the measure becomes the start measure and playback starts there at once.
void PlayFromMeasure(int measure);
