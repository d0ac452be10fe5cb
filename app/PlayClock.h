// The play clock: system milliseconds turned into chart time, with pause, resume and restart.
#pragma once

void PausePlay(int byUser);
void ResumePlay(int byUser);
void RestartPlay();
