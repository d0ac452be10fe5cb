#include "FaultGuard.h"

#include <windows.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <exception>

#include "GuardHeap.h"

namespace {

char g_artefactDir[MAX_PATH];
char g_label[128];
char g_path[MAX_PATH];
volatile LONG g_inputActive = 0;
volatile DWORD g_inputStart = 0;
volatile LONG g_reporting = 0;
unsigned g_timeoutMs = 10000;
uintptr_t g_imageStart = 0;
uintptr_t g_imageEnd = 0;
int g_artefactSerial = 0;

void Write(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)strlen(text), &written, nullptr);
}

// Copies the running input next to the other artefacts and tells where it went.
void SaveInput(const char* kind)
{
    if (!g_inputActive || g_path[0] == '\0' || g_artefactDir[0] == '\0')
        return;
    const char* dot = strrchr(g_path, '.');
    const char* slash = strrchr(g_path, '\\');
    const char* ext = (dot && (!slash || dot > slash)) ? dot : ".bin";
    char copy[MAX_PATH];
    for (;;) {
        snprintf(copy, sizeof(copy), "%s\\%s-%d%s", g_artefactDir, kind, ++g_artefactSerial, ext);
        if (GetFileAttributesA(copy) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    char line[2 * MAX_PATH + 64];
    if (CopyFileA(g_path, copy, TRUE))
        snprintf(line, sizeof(line), "  input copied to %s\n", copy);
    else
        snprintf(line, sizeof(line), "  (the input file %s could not be copied)\n", g_path);
    Write(line);
}

[[noreturn]] void Report(const char* kind, const char* what, UINT exitCode)
{
    if (InterlockedExchange(&g_reporting, 1) != 0) {
        // A second fault while reporting the first: end at once.
        TerminateProcess(GetCurrentProcess(), exitCode);
    }
    char line[1024];
    if (g_inputActive)
        snprintf(line, sizeof(line), "\n%s: %s\n  while running %s: %s\n", kind, what, g_label,
                 g_path[0] ? g_path : "(no file)");
    else
        snprintf(line, sizeof(line), "\n%s: %s\n  (outside any input)\n", kind, what);
    Write(line);
    SaveInput(kind[0] == 'H' ? "hang" : "crash");
    TerminateProcess(GetCurrentProcess(), exitCode);
    for (;;)
        Sleep(1000);
}

const char* ExceptionName(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "array bounds exceeded";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "misaligned data";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_INT_OVERFLOW: return "integer overflow";
    case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
    case 0xC0000374: return "heap corruption";
    case 0xC0000409: return "stack buffer overrun (fail fast)";
    default: return nullptr;
    }
}

bool InOurImage(uintptr_t address) { return address >= g_imageStart && address < g_imageEnd; }

void Describe(EXCEPTION_POINTERS* info, char* text, size_t size)
{
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    uintptr_t pc = reinterpret_cast<uintptr_t>(r->ExceptionAddress);
    char where[160];
    if (InOurImage(pc))
        snprintf(where, sizeof(where), "at %p (program +0x%llx)", r->ExceptionAddress,
                 (unsigned long long)(pc - g_imageStart));
    else
        snprintf(where, sizeof(where), "at %p (outside the program image)", r->ExceptionAddress);
    if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2) {
        const void* address = reinterpret_cast<const void*>(r->ExceptionInformation[1]);
        const char* access = r->ExceptionInformation[0] == 1 ? "write" : (r->ExceptionInformation[0] == 8 ? "execute" : "read");
        char block[200];
        if (!GuardHeap::Describe(address, block, sizeof(block)))
            snprintf(block, sizeof(block), "not in a checked block");
        snprintf(text, size, "%s of %p %s: %s", access, address, where, block);
    } else {
        snprintf(text, size, "%s %s", ExceptionName(r->ExceptionCode), where);
    }
}

LONG CALLBACK FirstChance(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    const char* name = ExceptionName(r->ExceptionCode);
    if (!name)
        return EXCEPTION_CONTINUE_SEARCH;
    // Faults in our own code, and any access to a checked block, are ours. Faults elsewhere
    // may be ones a system library expects and handles itself; if not, the unhandled-exception
    // filter below reports them.
    bool ours = InOurImage(reinterpret_cast<uintptr_t>(r->ExceptionAddress));
    if (!ours && r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2) {
        char block[200];
        ours = GuardHeap::Describe(reinterpret_cast<const void*>(r->ExceptionInformation[1]), block, sizeof(block));
    }
    if (!ours)
        return EXCEPTION_CONTINUE_SEARCH;
    char text[512];
    Describe(info, text, sizeof(text));
    Report("FAULT", text, 3);
}

LONG WINAPI Unhandled(EXCEPTION_POINTERS* info)
{
    char text[512];
    const char* name = ExceptionName(info->ExceptionRecord->ExceptionCode);
    if (name) {
        Describe(info, text, sizeof(text));
    } else {
        snprintf(text, sizeof(text), "unhandled exception 0x%08lX at %p",
                 (unsigned long)info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    }
    Report("FAULT", text, 3);
}

void OnAbort(int) { Report("FAULT", "abort() was called", 3); }

void OnTerminate() { Report("FAULT", "std::terminate was called (an exception nobody caught, e.g. std::bad_alloc)", 3); }

void OnHeapFault(const char* what) { Report("FAULT", what, 3); }

DWORD WINAPI Watchdog(void*)
{
    for (;;) {
        Sleep(100);
        if (!g_inputActive)
            continue;
        DWORD elapsed = GetTickCount() - g_inputStart;
        if (g_inputActive && elapsed > g_timeoutMs) {
            char text[160];
            snprintf(text, sizeof(text), "one input took more than %u ms", g_timeoutMs);
            Report("HANG", text, 4);
        }
    }
}

}  // namespace

namespace FaultGuard {

void Install(const char* artefactDir)
{
    snprintf(g_artefactDir, sizeof(g_artefactDir), "%s", artefactDir ? artefactDir : "");
    if (g_artefactDir[0])
        CreateDirectoryA(g_artefactDir, nullptr);
    HMODULE image = GetModuleHandleA(nullptr);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(image) + dos->e_lfanew);
    g_imageStart = reinterpret_cast<uintptr_t>(image);
    g_imageEnd = g_imageStart + nt->OptionalHeader.SizeOfImage;

    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    AddVectoredExceptionHandler(1, FirstChance);
    SetUnhandledExceptionFilter(Unhandled);
    signal(SIGABRT, OnAbort);
    std::set_terminate(OnTerminate);
    GuardHeap::SetFaultHandler(OnHeapFault);
}

void BeginInput(const char* label, const char* path)
{
    snprintf(g_label, sizeof(g_label), "%s", label ? label : "?");
    snprintf(g_path, sizeof(g_path), "%s", path ? path : "");
    g_inputStart = GetTickCount();
    InterlockedExchange(&g_inputActive, 1);
}

void EndInput() { InterlockedExchange(&g_inputActive, 0); }

void StartWatchdog(unsigned timeoutMs)
{
    g_timeoutMs = timeoutMs;
    static bool started = false;
    if (!started) {
        started = true;
        HANDLE thread = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
        if (thread)
            CloseHandle(thread);
    }
}

void Fail(const char* what) { Report("FAILED CHECK", what, 3); }

}  // namespace FaultGuard
