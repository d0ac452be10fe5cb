#include "FuzzSupport.h"

#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <vector>

#include "sound/DebugPrint.h"
#include "sound/XaDecoder.h"
#include "xadec.h"

namespace {

// Lines come from the window's thread; the soak checks read the counts from their own thread.
SRWLOCK g_kindsLock = SRWLOCK_INIT;
std::map<std::string, long long>* g_kinds = nullptr;
// The latest lines, in fixed storage: keeping them must not look like a leak of the code under test.
char g_recent[256][260];
size_t g_recentCount = 0;
long long g_lines = 0;

// "CDSBuffer::LoadWav Z:\x\y.wav Open Error" -> "CDSBuffer::LoadWav <path> Open Error";
// digits become '#'.
std::string KindOf(const char* line)
{
    std::string out;
    const char* p = line;
    while (*p && *p != '\n') {
        const char* wordEnd = p;
        while (*wordEnd && *wordEnd != ' ' && *wordEnd != '\n')
            ++wordEnd;
        std::string word(p, wordEnd);
        if (word.find('\\') != std::string::npos || word.find('/') != std::string::npos) {
            size_t colon = word.find(':');
            word = (colon != std::string::npos && colon > 1) ? word.substr(0, colon + 1) + "<path>" : "<path>";
        }
        for (char& c : word)
            if (c >= '0' && c <= '9')
                c = '#';
        if (!out.empty())
            out += ' ';
        out += word;
        p = wordEnd;
        while (*p == ' ')
            ++p;
        if (out.size() > 80)
            break;
    }
    return out;
}

void CountLine(const char* line)
{
    std::string kind = KindOf(line);
    AcquireSRWLockExclusive(&g_kindsLock);
    ++g_lines;
    if (!g_kinds)
        g_kinds = new std::map<std::string, long long>();
    ++(*g_kinds)[kind];
    ReleaseSRWLockExclusive(&g_kindsLock);
    snprintf(g_recent[g_recentCount % 256], sizeof(g_recent[0]), "%s", line);
    ++g_recentCount;
}

}  // namespace

void InstallDiagnosticCounter() { SetDebugOutputHook(CountLine); }

long long DiagnosticLines() { return g_lines; }

long long DiagnosticCount(const std::string& kindPrefix)
{
    long long n = 0;
    AcquireSRWLockShared(&g_kindsLock);
    if (g_kinds)
        for (const auto& entry : *g_kinds)
            if (entry.first.compare(0, kindPrefix.size(), kindPrefix) == 0)
                n += entry.second;
    ReleaseSRWLockShared(&g_kindsLock);
    return n;
}

bool SawDiagnostic(const std::string& prefix)
{
    size_t n = g_recentCount < 256 ? g_recentCount : 256;
    for (size_t i = 0; i < n; ++i)
        if (strncmp(g_recent[i], prefix.c_str(), prefix.size()) == 0)
            return true;
    return false;
}

void ClearDiagnostics()
{
    g_recentCount = 0;
}

void PrintDiagnosticSummary(bool listAll)
{
    size_t kinds = g_kinds ? g_kinds->size() : 0;
    printf("diagnostic lines: %lld of %zu kinds\n", g_lines, kinds);
    if (listAll && g_kinds) {
        for (const auto& entry : *g_kinds)
            printf("  %8lld  %s\n", entry.second, entry.first.c_str());
    }
    fflush(stdout);
}

void MakeDirectories(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\' || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (!part.empty() && part.back() != ':')
                CreateDirectoryA(part.c_str(), nullptr);
        }
    }
}

void UseInProcessXaDecoder()
{
    XaDecoderApi api;
    api.open = xaDecodeOpen;
    api.size = xaDecodeSize;
    api.convert = xaDecodeConvert;
    api.close = xaDecodeClose;
    SetXaDecoderForTest(&api);
}

MemoryFigures ProcessMemory()
{
    PROCESS_MEMORY_COUNTERS_EX counters;
    memset(&counters, 0, sizeof(counters));
    counters.cb = sizeof(counters);
    MemoryFigures figures = {0, 0};
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        figures.workingSet = counters.WorkingSetSize;
        figures.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    }
    return figures;
}

static unsigned long g_handleTypes[256];
static USHORT g_handleExample[256];

static std::string TypeName(USHORT handle)
{
    typedef LONG(NTAPI * QueryObject)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static QueryObject query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    BYTE buffer[1024];
    ULONG length = 0;
    if (!query || query((HANDLE)(ULONG_PTR)handle, 2, buffer, sizeof(buffer), &length) != 0)
        return "?";
    struct Unicode {
        USHORT length;
        USHORT maximum;
        PWSTR text;
    };
    const Unicode* name = reinterpret_cast<const Unicode*>(buffer);
    std::string out;
    for (USHORT i = 0; i < name->length / 2; ++i)
        out += (char)name->text[i];
    return out;
}

unsigned long HandlesOfType(const char* typeName)
{
    for (int i = 0; i < 256; ++i)
        if (g_handleTypes[i] && TypeName(g_handleExample[i]) == typeName)
            return g_handleTypes[i];
    return 0;
}

std::string HandleTypes()
{
    std::string out;
    for (int i = 0; i < 256; ++i)
        if (g_handleTypes[i]) {
            char part[32];
            snprintf(part, sizeof(part), "%s%s:%lu", out.empty() ? "" : " ", TypeName(g_handleExample[i]).c_str(),
                     g_handleTypes[i]);
            out += part;
        }
    return out;
}

unsigned long ProcessHandles()
{
    typedef LONG(NTAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    static QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {  // SYSTEM_HANDLE_ENTRY
        ULONG pid;
        BYTE type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    if (query) {
        static std::vector<BYTE> buffer(1 << 16);
        ULONG length = 0;
        LONG status;
        while ((status = query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), &length)) ==
                   (LONG)0xC0000004 /* STATUS_INFO_LENGTH_MISMATCH */ &&
               buffer.size() < (64u << 20))
            buffer.resize(buffer.size() * 2);
        if (status == 0) {
            ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
            const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
            unsigned long mine = 0;
            const DWORD pid = GetCurrentProcessId();
            memset(g_handleTypes, 0, sizeof(g_handleTypes));
            for (ULONG i = 0; i < count; ++i)
                if (entries[i].pid == pid) {
                    ++mine;
                    ++g_handleTypes[entries[i].type];
                    g_handleExample[entries[i].type] = entries[i].handle;
                }
            return mine;
        }
    }
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}
