// display_probe: opens the viewer's window and display without a chart and draws a scene of
// sheet rectangles every frame, so that screenshots can be compared with the artwork.
//
//   display_probe.exe [x=X] [y=Y] [frames=N] [shrink=F] [draw=ITEM;ITEM;...]
//
// x, y      window position handed to CreateMainWindow and CDDraw::Init (default -1: the
//           system's choice, as the viewer without options)
// frames    after this many presented frames (default 30) the probe writes its report
// shrink    after frame F the probe does what another program might: makes the window
//           200x150 and no longer topmost (the display must undo both in the next frames)
// draw      the parts drawn after the background, in order; ITEM is
//           MODE:left,top,right,bottom:x,y   with MODE D (CDDraw::Draw) or K (CDDraw::DrawKeyed),
//           the rectangle taken from sheet 0 (the parts sheet)
//
// Every frame: CDDraw::Draw(0, 0, null, sheet 1), the items, CDDraw::Present. The report goes
// to the debugger output and to stdout:
//   display probe shrunk client=WxH topmost=T          (with shrink, right after it)
//   display probe init=R screen=WxH back=WxH client=WxH topmost=T items=N
//   display probe ready frames=N
// The probe then keeps drawing until the window is closed (exit code 0).
// Only the display is created: no sound device, no chart.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Globals.h"
#include "app/MainWindow.h"
#include "display/CDDraw.h"
#include "sound/DebugPrint.h"

namespace {

struct Item {
    bool keyed;
    RECT source;
    int x;
    int y;
};

// Parses "D:0,48,64,52:22,100;K:...". Malformed items are skipped.
std::vector<Item> ParseItems(const char* text)
{
    std::vector<Item> items;
    while (text && *text) {
        const char* end = std::strchr(text, ';');
        size_t length = end ? (size_t)(end - text) : std::strlen(text);
        char buffer[96];
        if (length < sizeof(buffer)) {
            std::memcpy(buffer, text, length);
            buffer[length] = '\0';
            char mode = 0;
            Item item;
            long l, t, r, b;
            if (std::sscanf(buffer, "%c:%ld,%ld,%ld,%ld:%d,%d", &mode, &l, &t, &r, &b, &item.x, &item.y) == 7 &&
                (mode == 'D' || mode == 'K')) {
                item.keyed = mode == 'K';
                item.source.left = l;
                item.source.top = t;
                item.source.right = r;
                item.source.bottom = b;
                items.push_back(item);
            }
        }
        text = end ? end + 1 : nullptr;
    }
    return items;
}

void Report(const char* line)
{
    DebugPrint("%s", line);
    std::fputs(line, stdout);
    std::fflush(stdout);
}

int ClientWidth(HWND window)
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    return (int)(client.right - client.left);
}

int ClientHeight(HWND window)
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    return (int)(client.bottom - client.top);
}

int IsTopmost(HWND window) { return (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0; }

void UploadResource(HINSTANCE instance, int id, int width, int height, int sheet)
{
    HBITMAP bitmap = LoadBitmapA(instance, MAKEINTRESOURCEA(id));
    if (!bitmap) DebugPrint("LoadBitmap Error\n");
    g_display->UploadBitmap(bitmap, width, height, sheet);
    if (bitmap) DeleteObject(bitmap);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    g_instance = instance;
    int x = -1, y = -1, reportAfter = 30, shrinkAfter = -1;
    std::vector<Item> items;

    // Tokens separated by blanks; the draw list holds none.
    const char* p = commandLine ? commandLine : "";
    while (*p) {
        while (*p == ' ' || *p == '\t') ++p;
        const char* end = p;
        while (*end && *end != ' ' && *end != '\t') ++end;
        std::vector<char> token(p, end);
        token.push_back('\0');
        if (std::strncmp(token.data(), "x=", 2) == 0) x = std::atoi(token.data() + 2);
        else if (std::strncmp(token.data(), "y=", 2) == 0) y = std::atoi(token.data() + 2);
        else if (std::strncmp(token.data(), "frames=", 7) == 0) reportAfter = std::atoi(token.data() + 7);
        else if (std::strncmp(token.data(), "shrink=", 7) == 0) shrinkAfter = std::atoi(token.data() + 7);
        else if (std::strncmp(token.data(), "draw=", 5) == 0) items = ParseItems(token.data() + 5);
        p = end;
    }

    HWND window = CreateMainWindow(instance, 108, "KTB Viewer 0.05", "KTBViewer_ZW", x, y);
    if (!window) return 0;
    g_display = new CDDraw();
    int initResult = g_display->Init(window, x, y, 432, 320);
    UploadResource(instance, 105, 64, 64, 0);
    UploadResource(instance, 107, 432, 320, 1);

    int frames = 0;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!GetMessageA(&message, nullptr, 0, 0)) {
                // As the viewer: release at the quit; destroying the window then runs
                // ShutdownApp a second time, which must find nothing left to release.
                ShutdownApp();
                DestroyWindow(window);
                return (int)message.wParam;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (!g_display) continue;  // destroyed window: the quit message follows
        g_display->Draw(0, 0, nullptr, 1);
        for (const Item& item : items) {
            if (item.keyed) g_display->DrawKeyed(item.x, item.y, &item.source, 0);
            else g_display->Draw(item.x, item.y, &item.source, 0);
        }
        g_display->Present();
        ++frames;
        char line[200];
        if (frames == shrinkAfter) {
            SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 200, 150, SWP_NOMOVE);
            std::snprintf(line, sizeof(line), "display probe shrunk client=%dx%d topmost=%d\n", ClientWidth(window),
                          ClientHeight(window), IsTopmost(window));
            Report(line);
        }
        if (frames == reportAfter) {
            std::snprintf(line, sizeof(line),
                          "display probe init=%d screen=%dx%d back=%dx%d client=%dx%d topmost=%d items=%d\n",
                          initResult, g_display->m_screenWidth, g_display->m_screenHeight, g_display->m_backWidth,
                          g_display->m_backHeight, ClientWidth(window), ClientHeight(window), IsTopmost(window),
                          (int)items.size());
            Report(line);
            std::snprintf(line, sizeof(line), "display probe ready frames=%d\n", frames);
            Report(line);
        }
    }
}
