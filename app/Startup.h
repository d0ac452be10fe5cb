// Start-up: the command line, forwarding to a running viewer, the chart, the main loop.
#pragma once
#include <windows.h>

#define KTB_CLASS_NAME "KTBViewer_ZW"
#define KTB_WINDOW_NAME "KTB Viewer 0.05"
#define KTB_ICON_ID 108
#define KTB_PARTS_BITMAP_ID 105
#define KTB_BACKGROUND_BITMAP_ID 107

// What the option scans leave for the rest of start-up.
struct StartOptions {
    int x;             // window left edge, -1 = not given
    int y;             // window top edge, -1 = not given
    const char* rest;  // the chart path: the rest of the line after the options (may be empty)
};

// The option scans of start-up over the command line, given the running viewers found.
// The first scan carries out every D (WM_VIEWER_REMOTE_OFF to every found viewer) and notes L:
// with L, a chart path after the options and one viewer to forward to, that viewer is handed the
// chart (app/HandOff.h) and has loaded it before anything else is forwarded. The second scan
// carries out every option in order, forwarding to found[0] when exactly one viewer was found and
// remote control is not disabled. Returns 1 when start-up ends here (exit code 1), 0 when this
// process goes on as a viewer (then WM_VIEWER_REMOTE_OFF has gone once more to every found viewer).
int ProcessOptions(const char* commandLine, const HWND* found, int foundCount, StartOptions* out);

// The whole start-up and the main loop; the result is the process exit code.
int RunViewer(HINSTANCE instance, const char* commandLine);
