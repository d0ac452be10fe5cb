// The viewer window's procedure: keys, system menu, About, reload and remote control.
#pragma once
#include <windows.h>

#define IDM_ABOUT 256
#define IDM_LOAD 257

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Asks for a chart in the open-file dialog and rebuilds chart, sounds and lanes from it.
void ReloadChart(HWND window);
// WM_COPYDATA: a chart handed over by another program (app/HandOff.h) is loaded as by a reload,
// without the dialog. Returns TRUE when it is ready, FALSE when refused or when it failed to load.
LRESULT LoadHandedOffChart(HWND window, const COPYDATASTRUCT* data);
