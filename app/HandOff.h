// Handing a chart to a running viewer: a WM_COPYDATA message sent (not posted) to its window with
// dwData VIEWER_COPYDATA_LOAD and the chart's full path, NUL included, as data (at most 260
// bytes). The viewer loads the chart before it answers: TRUE when the chart is ready, FALSE when
// it refused the message or the chart failed to load (it then shows the load error box and ends).
#pragma once
#include <windows.h>

// How long a sender waits for the viewer to load (a chart of many sounds takes seconds).
#define KTB_HANDOFF_TIMEOUT_MS 60000

// The chart path of a command line (text up to its end, one leading and one trailing double
// quote removed) made absolute against the current folder. Returns 1 with the path in out
// (KTB_PATH_SIZE bytes), 0 when the path is empty or its full form does not fit.
int MakeHandOffPath(const char* text, char* out);

// Sends the hand-off of path to viewer and waits at most timeoutMs for the answer (no wait at all
// for a viewer that does not respond). Returns 0 when the viewer loaded the chart, 1 when it
// answered FALSE, 2 when there was no answer (timed out, hung or gone).
int SendHandOff(HWND viewer, const char* path, UINT timeoutMs);
// A result of SendHandOff in words: "loaded", "refused" or "no answer".
const char* HandOffOutcome(int result);

// The receiving side's check of the data: 1 with the path copied into path (KTB_PATH_SIZE bytes,
// quotes removed as from a command line) when data is a hand-off of ours holding a path that is
// not empty and ends in a NUL within 260 bytes; 0 otherwise.
int ReadHandOff(const COPYDATASTRUCT* data, char* path);
