// The viewer's only window, its title, and the release of everything at the end.
#pragma once
#include <windows.h>

HWND CreateMainWindow(HINSTANCE instance, int iconId, const char* windowTitle, const char* className, int x,
                      int y);
void SetWindowTitle(HWND window, const char* piece1, const char* piece2, const char* piece3, const char* piece4);
// Builds the title text without a window (at most 111 characters plus the terminator).
void ComposeWindowTitle(char* out, size_t outSize, const char* piece1, const char* piece2, const char* piece3,
                        const char* piece4);
void ShutdownApp();
