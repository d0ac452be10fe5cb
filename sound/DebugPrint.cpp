#include "sound/DebugPrint.h"

#include <stdarg.h>
#include <stdio.h>

static DebugOutputHook g_debugOutputHook = nullptr;

DebugOutputHook SetDebugOutputHook(DebugOutputHook hook)
{
    DebugOutputHook previous = g_debugOutputHook;
    g_debugOutputHook = hook;
    return previous;
}

int DebugPrint(const char* format, ...)
{
    char line[260];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0)
        line[0] = '\0';
    line[sizeof(line) - 1] = '\0';
    if (g_debugOutputHook)
        g_debugOutputHook(line);
    else
        OutputDebugStringA(line);
    return 1;
}

void DebugPrintDialog(const char* kind, const char* caption, const char* text)
{
    char line[260];
    int n = text ? snprintf(line, sizeof(line), "%s \"%s\": %s", kind, caption, text)
                 : snprintf(line, sizeof(line), "%s \"%s\"", kind, caption);
    if (n < 0)
        n = 0;
    if (n > (int)sizeof(line) - 2)
        n = (int)sizeof(line) - 2;
    for (int i = 0; i < n; ++i) {
        if (line[i] == '\r' || line[i] == '\n')
            line[i] = ' ';
    }
    line[n] = '\n';
    line[n + 1] = '\0';
    DebugPrint("%s", line);
}

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    DebugPrintDialog("MessageBox", caption, text);
    return MessageBoxA(owner, text, caption, type);
}

void DebugPrintHResult(HRESULT result)
{
    static const struct {
        DWORD code;
        const char* text;
    } names[] = {
        {0x00000000, "HRESULT->DS_OK\n"},
        {0x80004001, "HRESULT->DSERR_UNSUPPORTED\n"},
        {0x80040110, "HRESULT->DSERR_NOAGGREGATION\n"},
        {0x8007000E, "HRESULT->DSERR_OUTOFMEMORY\n"},
        {0x80070057, "HRESULT->DSERR_INVALIDPARAM\n"},
        {0x8878000A, "HRESULT->DSERR_ALLOCATED\n"},
        {0x8878001E, "HRESULT->DSERR_CONTROLUNAVAIL\n"},
        {0x88780032, "HRESULT->DSERR_INVALIDCALL\n"},
        {0x88780064, "HRESULT->DSERR_BADFORMAT\n"},
        {0x887800AA, "HRESULT->DSERR_UNINITIALIZED\n"},
        {0x887800B4, "HRESULT->DSERR_BUFFERTOOSMALL\n"},
        {0x887800BE, "HRESULT->DSERR_DS8_REQUIRED\n"},
    };
    for (const auto& entry : names) {
        if ((DWORD)result == entry.code) {
            DebugPrint("%s", entry.text);
            return;
        }
    }
    DebugPrint("%s", "HRESULT->UnknownError\n");
}
