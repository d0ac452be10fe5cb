// Diagnostic lines on the debugger output.
#pragma once
#include <windows.h>

// Formats like printf into a 260-byte buffer (a longer line is cut) and sends it to
// OutputDebugStringA. Always returns 1.
int DebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

// One line for a dialog the program shows, so that the diagnostic output tells what waits for an
// answer: MessageBox "<caption>": <text>, or Dialog "<title>" when text is null. Line breaks in the
// text become blanks; a line too long for the buffer is cut before its line feed.
void DebugPrintDialog(const char* kind, const char* caption, const char* text);

// MessageBoxA that first writes its DebugPrintDialog line.
int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type);

// Writes the name of a DirectSound result, e.g. "HRESULT->DS_OK\n".
void DebugPrintHResult(HRESULT result);

// When a hook is set, every line goes to it instead of the debugger output (tests, console tools).
// Returns the hook it replaces.
typedef void (*DebugOutputHook)(const char* line);
DebugOutputHook SetDebugOutputHook(DebugOutputHook hook);
