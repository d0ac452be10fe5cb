// flood_tool: posts a flood of remote-control messages with random parameters to a viewer window.
//
//   flood_tool.exe HWND COUNT SEED [RELOADS] [QUITS]
//
// HWND in hexadecimal (as wintool prints it). The messages are WM_VIEWER_PAUSE, _RESUME, _RESTART,
// _PLAY_FROM and _SPEED in random order with random wParams (small, negative, huge); RELOADS
// (default 0) of them are WM_VIEWER_RELOAD and QUITS (default 0) WM_VIEWER_QUIT, spread over the
// flood. A refused post is retried (the queue may be full). Prints "posted N retries R" and exits
// with 0 when every message was posted, 1 when the window went away, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

unsigned long long g_state = 0;

unsigned long long Next()
{
    unsigned long long z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: flood_tool HWND COUNT SEED [RELOADS] [QUITS]\n");
        return 2;
    }
    HWND window = (HWND)(INT_PTR)std::strtoull(argv[1], nullptr, 16);
    const long count = std::strtol(argv[2], nullptr, 10);
    g_state = std::strtoull(argv[3], nullptr, 10);
    const long reloads = argc > 4 ? std::strtol(argv[4], nullptr, 10) : 0;
    const long quits = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 0;
    if (!IsWindow(window) || count <= 0) {
        std::fprintf(stderr, "no window %s or no count\n", argv[1]);
        return 2;
    }
    const UINT kinds[] = {WM_USER + 102, WM_USER + 103, WM_USER + 104, WM_USER + 105, WM_USER + 106};
    long retries = 0;
    long posted = 0;
    for (long i = 0; i < count; ++i) {
        UINT message = kinds[Next() % 5];
        // Reloads and quits at evenly spread places.
        if (reloads > 0 && (i + 1) % (count / reloads + 1) == 0)
            message = WM_USER + 110;
        if (quits > 0 && (i + 1) % (count / quits + 1) == count / quits / 2)
            message = WM_USER + 101;
        WPARAM wParam;
        switch (Next() % 5) {
        case 0: wParam = (WPARAM)(Next() % 30); break;
        case 1: wParam = (WPARAM)(INT_PTR)(int)Next(); break;
        case 2: wParam = (WPARAM)Next(); break;
        case 3: wParam = (WPARAM)(INT_PTR) - (int)(Next() % 1000); break;
        default: wParam = (WPARAM)(Next() % 1000); break;
        }
        int tries = 0;
        while (!PostMessageA(window, message, wParam, 0)) {
            if (!IsWindow(window)) {
                std::printf("posted %ld retries %ld (the window went away)\n", posted, retries);
                return 1;
            }
            ++retries;
            Sleep(1);
            if (++tries > 10000)
                break;
        }
        ++posted;
    }
    std::printf("posted %ld retries %ld\n", posted, retries);
    return 0;
}
