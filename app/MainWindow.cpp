#include "app/MainWindow.h"

#include "app/Globals.h"
#include "app/WndProc.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"

namespace {

const int kWindowWidth = 418;
const int kWindowHeight = 320;
const size_t kTitlePiece1Max = 50;
const size_t kTitlePiece3Max = 40;
const size_t kTitleMax = 111;  // 50 + 40 + 21 for the two fixed pieces

// Appends at most `limit` characters of `text` (a null text is empty) without overflowing `out`.
void AppendLimited(char* out, size_t outSize, size_t* length, const char* text, size_t limit)
{
    if (!text) return;
    for (size_t i = 0; i < limit && text[i] != '\0' && *length + 1 < outSize; ++i) out[(*length)++] = text[i];
    out[*length] = '\0';
}

}  // namespace

HWND CreateMainWindow(HINSTANCE instance, int iconId, const char* windowTitle, const char* className, int x, int y)
{
    if (x == -1 || y == -1) {
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
    }
    HICON icon = iconId != 0 ? LoadIconA(instance, MAKEINTRESOURCEA(iconId)) : LoadIconA(nullptr, IDI_APPLICATION);

    WNDCLASSEXA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = className;
    windowClass.hIconSm = icon;
    if (!RegisterClassExA(&windowClass)) return nullptr;

    HWND window = CreateWindowExA(WS_EX_TOPMOST, className, windowTitle,
                                  WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, kWindowWidth,
                                  kWindowHeight, nullptr, nullptr, instance, nullptr);
    g_mainWindow = window;
    return window;
}

void ComposeWindowTitle(char* out, size_t outSize, const char* piece1, const char* piece2, const char* piece3,
                        const char* piece4)
{
    if (!out || outSize == 0) return;
    size_t length = 0;
    out[0] = '\0';
    AppendLimited(out, outSize, &length, piece1, kTitlePiece1Max);
    AppendLimited(out, outSize, &length, piece2, kTitleMax);
    AppendLimited(out, outSize, &length, piece3, kTitlePiece3Max);
    AppendLimited(out, outSize, &length, piece4, kTitleMax);
}

void SetWindowTitle(HWND window, const char* piece1, const char* piece2, const char* piece3, const char* piece4)
{
    if (!window) return;
    char text[kTitleMax + 1];
    ComposeWindowTitle(text, sizeof(text), piece1, piece2, piece3, piece4);
    SetWindowTextA(window, text);
}

void ShutdownApp()
{
    if (g_sound) {
        delete g_sound;
        g_sound = nullptr;
    }
    if (g_display) {
        delete g_display;
        g_display = nullptr;
    }
    if (g_chart) {
        delete g_chart;
        g_chart = nullptr;
    }
    FreeLaneArrays();
}
