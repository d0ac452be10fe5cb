// ktbplay: plays one sound file through the viewer's sound code, for listening.
//   ktbplay [-s] [-l] FILE
//     -s  allow streaming (sounds of 20 seconds or more stream from a two-second buffer)
//     -l  loop; stops when a key is pressed
// Prints the format, the length and whether the sound streams, plays it to its end while
// serving fades and streams every ~15 ms, and exits 0; exits non-zero when it cannot load.
#include <conio.h>
#include <stdio.h>
#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

static void PrintDiagnostic(const char* line) { fprintf(stderr, "%s", line); }

static HWND CreateHiddenWindow()
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KtbPlayWindow";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("KtbPlayWindow", "ktbplay", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                                wc.hInstance, nullptr);
    return window ? window : GetDesktopWindow();
}

static void Usage()
{
    fprintf(stderr, "usage: ktbplay [-s] [-l] FILE\n  -s  allow streaming\n  -l  loop until a key is pressed\n");
}

int main(int argc, char** argv)
{
    int allowStream = 0;
    int loop = 0;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-s") == 0)
            allowStream = 1;
        else if (strcmp(argv[i], "-l") == 0)
            loop = 1;
        else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            Usage();
            return 2;
        } else if (!file)
            file = argv[i];
        else {
            Usage();
            return 2;
        }
    }
    if (!file) {
        Usage();
        return 2;
    }
    SetDebugOutputHook(PrintDiagnostic);

    HWND window = CreateHiddenWindow();
    CDSound device;
    int step = device.Init(window, 1);
    if (step != 0) {
        fprintf(stderr, "ktbplay: DirectSound could not start (step %d)\n", step);
        return 3;
    }
    CDSBuffer* sound = new CDSBuffer(device.GetDirectSound());
    device.GetList().AddTail(sound);
    sound->SetFileName(file);
    if (sound->Load(allowStream) != 0) {
        fprintf(stderr, "ktbplay: cannot load %s\n", file);
        return 1;
    }

    const WAVEFORMATEX& f = sound->m_dstFormat;
    double seconds = f.nAvgBytesPerSec ? (double)sound->m_decodedSize / f.nAvgBytesPerSec : 0.0;
    printf("%s: %s, %u Hz, %u-bit, %u channel(s), %.2f s, buffer %u bytes, %s\n", file,
           sound->m_kind == 2 ? "XA" : "WAV", (unsigned)f.nSamplesPerSec, (unsigned)f.wBitsPerSample,
           (unsigned)f.nChannels, seconds, sound->m_bufferBytes, sound->m_streaming ? "streaming" : "static");
    fflush(stdout);

    if (sound->Play(loop, 1) != 0) {
        fprintf(stderr, "ktbplay: cannot play %s\n", file);
        return 1;
    }
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        sound->UpdateFade();
        sound->StreamPlay();
        if (!sound->IsPlaying())
            break;
        if (loop && _kbhit()) {
            _getch();
            sound->Stop();
            break;
        }
        Sleep(15);
    }
    printf("played %.2f s%s\n", (GetTickCount() - start) / 1000.0,
           sound->m_streaming ? (sound->m_streamState == 5 ? ", stream ended" : ", stream stopped") : "");
    device.Term();
    return 0;
}
