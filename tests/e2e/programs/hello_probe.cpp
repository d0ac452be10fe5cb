// hello_probe: the smallest windowed DirectDraw 7 program, used to check the end-to-end harness.
//
// Opens a window of class "KTBHello_ZW" titled "Hello probe" with a 320x240 client area and
// blits an offscreen picture into it every frame: blue, a green 16x16 square at the top left
// and a red rectangle from (80,60) to (240,180). After 60 frames it writes
// "hello probe ready\n" to the debugger output, then, by its argument:
//   box     shows a warning message box "Error!" / "Something failed" and ends with 3
//           once the box is closed;
//   quitN   ends with exit code N (atoi; quit-1 ends with -1);
//   crash   writes through a null pointer;
//   none    keeps drawing until Esc or the window is closed (exit code 0).
// Its last diagnostic line is "hello probe exit N\n".
#include <windows.h>
#include <ddraw.h>

#include <cstdlib>
#include <cstring>

namespace {

const char kClassName[] = "KTBHello_ZW";
const int kWidth = 320;
const int kHeight = 240;

IDirectDraw7* g_dd = nullptr;
IDirectDrawSurface7* g_primary = nullptr;
IDirectDrawSurface7* g_picture = nullptr;
IDirectDrawClipper* g_clipper = nullptr;

template <typename T>
void Release(T*& object) {
    if (object) {
        object->Release();
        object = nullptr;
    }
}

// Scales an 8-bit channel into the bits of a mask.
DWORD Channel(unsigned value, DWORD mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    DWORD max = mask >> shift;
    return ((value * max + 127) / 255) << shift;
}

DWORD Colour(const DDPIXELFORMAT& pf, unsigned r, unsigned g, unsigned b) {
    return Channel(r, pf.dwRBitMask) | Channel(g, pf.dwGBitMask) | Channel(b, pf.dwBBitMask);
}

int Fill(IDirectDrawSurface7* surface, const DDPIXELFORMAT& pf, RECT* rect, unsigned r, unsigned g,
         unsigned b) {
    DDBLTFX fx;
    std::memset(&fx, 0, sizeof(fx));
    fx.dwSize = sizeof(fx);
    fx.dwFillColor = Colour(pf, r, g, b);
    return FAILED(surface->Blt(rect, nullptr, nullptr, DDBLT_COLORFILL | DDBLT_WAIT, &fx)) ? 1 : 0;
}

int InitDisplay(HWND window) {
    if (FAILED(DirectDrawCreateEx(nullptr, reinterpret_cast<void**>(&g_dd), IID_IDirectDraw7, nullptr))) return 1;
    if (FAILED(g_dd->SetCooperativeLevel(window, DDSCL_NORMAL))) return 2;

    DDSURFACEDESC2 desc;
    std::memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS;
    desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
    if (FAILED(g_dd->CreateSurface(&desc, &g_primary, nullptr))) return 3;
    if (FAILED(g_dd->CreateClipper(0, &g_clipper, nullptr))) return 4;
    g_clipper->SetHWnd(0, window);
    g_primary->SetClipper(g_clipper);

    std::memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_SYSTEMMEMORY;
    desc.dwWidth = kWidth;
    desc.dwHeight = kHeight;
    if (FAILED(g_dd->CreateSurface(&desc, &g_picture, nullptr))) return 5;

    DDPIXELFORMAT pf;
    std::memset(&pf, 0, sizeof(pf));
    pf.dwSize = sizeof(pf);
    if (FAILED(g_picture->GetPixelFormat(&pf))) return 6;
    RECT square = {0, 0, 16, 16};
    RECT middle = {80, 60, 240, 180};
    if (Fill(g_picture, pf, nullptr, 0, 0, 255) || Fill(g_picture, pf, &square, 0, 255, 0) ||
        Fill(g_picture, pf, &middle, 255, 0, 0)) {
        return 7;
    }
    return 0;
}

void Present(HWND window) {
    if (!g_primary || !g_picture) return;
    RECT target;
    GetClientRect(window, &target);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&target), 2);
    if (g_primary->Blt(&target, g_picture, nullptr, DDBLT_WAIT, nullptr) == DDERR_SURFACELOST) {
        g_primary->Restore();
    }
}

void ShutdownDisplay() {
    Release(g_picture);
    Release(g_clipper);
    Release(g_primary);
    Release(g_dd);
}

LRESULT CALLBACK WndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        ValidateRect(window, nullptr);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show) {
    const char* args = commandLine ? commandLine : "";
    while (*args == ' ' || *args == '\t') ++args;
    const bool showBox = std::strncmp(args, "box", 3) == 0;
    const bool quitEarly = std::strncmp(args, "quit", 4) == 0;
    const int quitCode = quitEarly ? std::atoi(args + 4) : 0;
    const bool crash = std::strncmp(args, "crash", 5) == 0;

    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kClassName;
    if (!RegisterClassA(&wc)) return 10;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kWidth, kHeight};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowA(kClassName, "Hello probe", style, 40, 40, frame.right - frame.left,
                                frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window) return 11;
    ShowWindow(window, show);
    UpdateWindow(window);

    int failedStep = InitDisplay(window);
    if (failedStep) {
        char line[64];
        wsprintfA(line, "hello probe: display step %d failed\n", failedStep);
        OutputDebugStringA(line);
    }

    int frames = 0;
    int exitCode = 0;
    for (;;) {
        MSG msg;
        bool quit = false;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                exitCode = static_cast<int>(msg.wParam);
                quit = true;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (quit) break;

        Present(window);
        Sleep(15);
        if (++frames == 60) {
            OutputDebugStringA("hello probe ready\n");
            // Lines that exercise the harness's decoding: escapes, bytes above 127, and one
            // line written in two calls.
            OutputDebugStringA("hello probe escapes: tab\t\"quoted\" back\\slash \x01\xe9 end\n");
            OutputDebugStringA("hello probe ");
            OutputDebugStringA("in two parts\n");
            // The longest line a 260-byte buffer holds: 259 characters before the line feed.
            char longLine[261];
            std::strcpy(longLine, "hello probe long line ");
            for (size_t i = std::strlen(longLine); i < 259; ++i) longLine[i] = static_cast<char>('0' + i % 10);
            longLine[259] = '\n';
            longLine[260] = '\0';
            OutputDebugStringA(longLine);
            if (showBox) {
                MessageBoxA(window, "Something failed", "Error!", MB_ICONWARNING);
                exitCode = 3;
                break;
            }
            if (crash) {
                volatile int* nowhere = nullptr;
                *nowhere = 1;
            }
            if (quitEarly) {
                exitCode = quitCode;
                break;
            }
        }
    }
    ShutdownDisplay();
    if (IsWindow(window)) DestroyWindow(window);
    char line[64];
    wsprintfA(line, "hello probe exit %d\n", exitCode);
    OutputDebugStringA(line);
    return exitCode;
}
