// Loading a chart into the running viewer: the open-file dialog, load and compile with their
// error boxes, and the preparation of lanes, end time, title and sounds. Used by start-up and reload.
#pragma once
#include <windows.h>

#define KTB_PATH_SIZE 260

// Shows the open-file dialog (owner may be null). Returns 1 with the chosen path in path
// (KTB_PATH_SIZE bytes, cleared first), 0 when the dialog was cancelled or failed.
int AskChartPath(HWND owner, char* path);

// Creates g_chart with g_sound, reads the file and compiles it. Returns 0 on success, 1 when the
// file could not be read, 2 when it could not be compiled; on failure the message box owned by
// window ("FileLoadError!" or "FileCompileError!", the path as text) has been shown. With
// replyFirst, a message sent from another thread is answered FALSE before the box, so that its
// sender does not wait for a box that nobody may see.
int LoadChart(HWND window, const char* path, int replyFirst = 0);

// After a successful LoadChart: lanes built and sought to g_startMeasure, g_chartEndTime, the
// "Loading..." title, pause flags cleared, the device compacted. The caller then starts the clock
// and sets the final title.
void PrepareChart(HWND window);
