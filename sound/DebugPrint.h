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

// Writes the name of a DirectSound result, e.g. "HRESULT->DS_OK\n".
void DebugPrintHResult(HRESULT result);

// When a hook is set, every line goes to it instead of the debugger output (tests, console tools).
// Returns the hook it replaces.
typedef void (*DebugOutputHook)(const char* line);
DebugOutputHook SetDebugOutputHook(DebugOutputHook hook);
