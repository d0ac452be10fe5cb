// ktbfuzz selftest: proves that the checked mode catches what it is there to catch. Each fault is
// made on purpose in a child process (ktbfuzz selftest-case NAME), which must end with the exit
// code and report of that fault; a checked mode that missed one would make every fuzzing run
// pass without checking anything.
#include "SelfTest.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "FaultGuard.h"
#include "GuardHeap.h"

namespace {

struct Case {
    const char* name;
    unsigned exitCode;
    const char* report;  // a piece of the report the child must write
};

const Case kCases[] = {
    {"read-past-end", 3, "0 bytes past the end of a live 13-byte block"},
    {"write-past-end-in-crt", 3, "past the end of a live 13-byte block"},
    {"malloc-read-past-end", 3, "0 bytes past the end of a live 7-byte block"},
    {"write-before-start", 3, "before the start of block"},
    {"slack-overwritten", 3, "past the end of block"},
    {"use-after-free", 3, "use after free"},
    {"double-free", 3, "double free"},
    {"null-pointer", 3, "read of 0000000000000000"},
    {"hang", 4, "one input took more than 300 ms"},
};

volatile char g_sink;

// Runs one case of the child and reports how it went; true when as expected.
bool RunChild(const Case& c)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    std::string command = std::string("\"") + exe + "\" selftest-case " + c.name;

    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readPipe = nullptr, writePipe = nullptr;
    CreatePipe(&readPipe, &writePipe, &sa, 0);
    SetHandleInformation(readPipe, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writePipe;
    si.hStdError = writePipe;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        printf("  %-24s could not start the child\n", c.name);
        return false;
    }
    CloseHandle(writePipe);
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readPipe, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        output.append(buffer, got);
    CloseHandle(readPipe);
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    bool ok = code == c.exitCode && output.find(c.report) != std::string::npos;
    // The report's first line, for the record.
    size_t start = output.find_first_not_of("\r\n");
    std::string first = start == std::string::npos ? "" : output.substr(start, output.find('\n', start) - start);
    printf("  %-24s exit code %lu, %s: %s\n", c.name, (unsigned long)code, ok ? "caught" : "NOT CAUGHT AS EXPECTED",
           first.c_str());
    if (!ok)
        printf("%s\n", output.c_str());
    return ok;
}

}  // namespace

int RunSelfTest()
{
    printf("checked mode self-test:\n");
    int failures = 0;
    for (const Case& c : kCases)
        failures += RunChild(c) ? 0 : 1;
    printf(failures ? "checked mode self-test: %d case(s) FAILED\n" : "checked mode self-test: passed\n", failures);
    return failures ? 1 : 0;
}

int RunSelfTestCase(const std::string& name)
{
    FaultGuard::Install(nullptr);
    FaultGuard::StartWatchdog(300);
    GuardHeap::SetMode(GuardHeap::kGuarded);
    FaultGuard::BeginInput(name.c_str(), nullptr);
    if (name == "read-past-end") {
        char* p = new char[13];
        g_sink = p[13];
    } else if (name == "write-past-end-in-crt") {
        char* p = new char[13];
        volatile size_t n = 14;
        memset(p, 0, n);
    } else if (name == "malloc-read-past-end") {
        char* p = static_cast<char*>(malloc(7));
        g_sink = p[7];
    } else if (name == "write-before-start") {
        char* p = new char[100];
        p[-3] = 1;
        delete[] p;
    } else if (name == "slack-overwritten") {
        // A 6-byte block of 16-byte alignment ends 10 bytes before the guard page.
        char* p = static_cast<char*>(operator new(6, std::align_val_t(16)));
        p[8] = 1;
        operator delete(p, std::align_val_t(16));
    } else if (name == "use-after-free") {
        int* p = new int[4];
        delete[] p;
        g_sink = (char)p[1];
    } else if (name == "double-free") {
        int* p = new int(5);
        delete p;
        delete p;
    } else if (name == "null-pointer") {
        volatile char* p = nullptr;
        g_sink = *p;
    } else if (name == "hang") {
        Sleep(5000);
    } else {
        fprintf(stderr, "unknown case %s\n", name.c_str());
        return 2;
    }
    fprintf(stderr, "no fault: the case ran to its end\n");
    return 0;
}
