#include "GuardHeap.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <new>

namespace {

const size_t kPage = 4096;
const uint64_t kLiveMagic = 0x4B54424755415244ull;   // guarded block, live
const uint64_t kFreedMagic = 0x4B544246524545ull;    // guarded block, freed
const uint64_t kPlainMagic = 0x4B5442504C41494Eull;  // pass-through block, live
const uint64_t kPlainFreed = 0x4B5442504C46524Full;  // pass-through block, freed
const unsigned char kFillNew = 0xBE;
const unsigned char kFillSlack = 0xCD;
const size_t kUnderrunCheck = 32;  // bytes before a guarded block that must keep the slack pattern
const size_t kQuarantine = 8192;   // freed guarded regions kept inaccessible before release

// At the start of a guarded region (its first page, which the block never shares).
struct GuardHeader {
    uint64_t magic;
    unsigned char* user;
    size_t size;
    size_t dataBytes;  // committed pages after the header page
    int64_t serial;
};

// Right before a pass-through block.
struct PlainPrefix {
    uint64_t original;  // the address HeapAlloc gave
    uint64_t size;
    int64_t serial;
    uint64_t magic;
};
static_assert(sizeof(PlainPrefix) == 32, "the prefix keeps 16-byte alignment");

SRWLOCK g_lock = SRWLOCK_INIT;
volatile LONG g_mode = GuardHeap::kPassThrough;
volatile LONG64 g_liveBlocks = 0;
volatile LONG64 g_liveBytes = 0;
volatile LONG64 g_serial = 0;
void* g_quarantine[kQuarantine];
size_t g_quarantineNext = 0;
GuardHeap::FaultHandler g_faultHandler = nullptr;

typedef void (*CrtFree)(void*);
typedef void* (*CrtRealloc)(void*, size_t);

HMODULE CrtModule()
{
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    if (!crt)
        crt = GetModuleHandleA("ucrtbase.dll");
    return crt;
}

template <typename F>
F CrtCall(const char* name)
{
    HMODULE crt = CrtModule();
    return crt ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(crt, name))) : nullptr;
}

void Fatal(const char* what)
{
    if (g_faultHandler)
        g_faultHandler(what);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    WriteFile(err, what, (DWORD)strlen(what), &written, nullptr);
    WriteFile(err, "\n", 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
}

size_t RoundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

// The guarded header of the region that holds p, or null. Reads only committed, readable memory.
GuardHeader* HeaderOf(const void* p)
{
    MEMORY_BASIC_INFORMATION info;
    if (!p || VirtualQuery(p, &info, sizeof(info)) != sizeof(info) || !info.AllocationBase)
        return nullptr;
    MEMORY_BASIC_INFORMATION baseInfo;
    if (VirtualQuery(info.AllocationBase, &baseInfo, sizeof(baseInfo)) != sizeof(baseInfo))
        return nullptr;
    if (baseInfo.State != MEM_COMMIT || (baseInfo.Protect & (PAGE_READWRITE | PAGE_READONLY)) == 0 ||
        (baseInfo.Protect & PAGE_GUARD))
        return nullptr;
    GuardHeader* h = static_cast<GuardHeader*>(info.AllocationBase);
    if (h->magic != kLiveMagic && h->magic != kFreedMagic)
        return nullptr;
    return h;
}

PlainPrefix* PrefixOf(void* p)
{
    if (!p || (reinterpret_cast<uintptr_t>(p) & 15) != 0)
        return nullptr;
    PlainPrefix* prefix = static_cast<PlainPrefix*>(p) - 1;
    // The prefix must be readable: a block of the C runtime may sit at the start of a page.
    MEMORY_BASIC_INFORMATION info;
    if ((reinterpret_cast<uintptr_t>(p) & (kPage - 1)) < sizeof(PlainPrefix)) {
        if (VirtualQuery(prefix, &info, sizeof(info)) != sizeof(info) || info.State != MEM_COMMIT ||
            (info.Protect & (PAGE_READWRITE | PAGE_READONLY)) == 0)
            return nullptr;
    }
    if (prefix->magic != kPlainMagic && prefix->magic != kPlainFreed)
        return nullptr;
    return prefix;
}

void* GuardedAlloc(size_t size, size_t alignment, bool zero)
{
    if (size == 0)
        size = 1;
    // The natural alignment of a block is the largest power of two dividing its size (every
    // object's size is a multiple of its alignment), capped at 16: the block then ends exactly at
    // the guard page.
    size_t natural = size & (~size + 1);
    if (natural > 16)
        natural = 16;
    if (alignment < natural)
        alignment = natural;
    if ((unsigned long long)size > (1ull << 40)) {
        Fatal("GuardHeap: allocation of more than 1 TB requested");
        return nullptr;
    }
    const size_t dataBytes = RoundUp(size + alignment - 1, kPage);
    const size_t total = kPage + dataBytes + kPage;
    unsigned char* base = static_cast<unsigned char*>(VirtualAlloc(nullptr, total, MEM_RESERVE, PAGE_NOACCESS));
    if (!base)
        return nullptr;
    if (!VirtualAlloc(base, kPage + dataBytes, MEM_COMMIT, PAGE_READWRITE)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    unsigned char* dataEnd = base + kPage + dataBytes;
    uintptr_t user = reinterpret_cast<uintptr_t>(dataEnd) - size;
    user &= ~(uintptr_t)(alignment - 1);
    unsigned char* p = reinterpret_cast<unsigned char*>(user);

    GuardHeader* h = reinterpret_cast<GuardHeader*>(base);
    h->magic = kLiveMagic;
    h->user = p;
    h->size = size;
    h->dataBytes = dataBytes;
    h->serial = InterlockedIncrement64(&g_serial);

    // Slack before the block (up to the start of its first page) and after it (up to the guard).
    unsigned char* dataStart = base + kPage;
    unsigned char* low = p - dataStart < (ptrdiff_t)kUnderrunCheck ? dataStart : p - kUnderrunCheck;
    memset(low, kFillSlack, p - low);
    memset(p + size, kFillSlack, dataEnd - (p + size));
    memset(p, zero ? 0 : kFillNew, size);
    InterlockedIncrement64(&g_liveBlocks);
    InterlockedAdd64(&g_liveBytes, (LONG64)size);
    return p;
}

void GuardedFree(GuardHeader* h, void* p)
{
    if (h->magic == kFreedMagic) {
        char text[160];
        snprintf(text, sizeof(text), "GuardHeap: double free of block #%lld (%llu bytes) at %p", (long long)h->serial,
                 (unsigned long long)h->size, p);
        Fatal(text);
        return;
    }
    if (h->user != p) {
        char text[160];
        snprintf(text, sizeof(text), "GuardHeap: free of %p, which is inside block #%lld (%llu bytes) at %p", p,
                 (long long)h->serial, (unsigned long long)h->size, (void*)h->user);
        Fatal(text);
        return;
    }
    unsigned char* base = reinterpret_cast<unsigned char*>(h);
    unsigned char* dataEnd = base + kPage + h->dataBytes;
    for (unsigned char* q = h->user + h->size; q < dataEnd; ++q) {
        if (*q != kFillSlack) {
            char text[200];
            snprintf(text, sizeof(text),
                     "GuardHeap: write %llu bytes past the end of block #%lld (%llu bytes), found at its free",
                     (unsigned long long)(q - (h->user + h->size)), (long long)h->serial,
                     (unsigned long long)h->size);
            Fatal(text);
            return;
        }
    }
    unsigned char* dataStart = base + kPage;
    unsigned char* low = h->user - kUnderrunCheck < dataStart ? dataStart : h->user - kUnderrunCheck;
    for (unsigned char* q = low; q < h->user; ++q) {
        if (*q != kFillSlack) {
            char text[200];
            snprintf(text, sizeof(text),
                     "GuardHeap: write %llu bytes before the start of block #%lld (%llu bytes), found at its free",
                     (unsigned long long)(h->user - q), (long long)h->serial, (unsigned long long)h->size);
            Fatal(text);
            return;
        }
    }
    InterlockedDecrement64(&g_liveBlocks);
    InterlockedAdd64(&g_liveBytes, -(LONG64)h->size);
    h->magic = kFreedMagic;
    VirtualFree(dataStart, h->dataBytes, MEM_DECOMMIT);

    AcquireSRWLockExclusive(&g_lock);
    void* old = g_quarantine[g_quarantineNext];
    g_quarantine[g_quarantineNext] = base;
    g_quarantineNext = (g_quarantineNext + 1) % kQuarantine;
    ReleaseSRWLockExclusive(&g_lock);
    if (old)
        VirtualFree(old, 0, MEM_RELEASE);
}

void* PlainAlloc(size_t size, size_t alignment, bool zero)
{
    if (alignment < 16)
        alignment = 16;
    size_t extra = sizeof(PlainPrefix) + alignment - 16;
    if (size > (size_t)-1 - extra - 16)
        return nullptr;
    unsigned char* raw = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), zero ? HEAP_ZERO_MEMORY : 0,
                                                               size + extra));
    if (!raw)
        return nullptr;
    uintptr_t user = reinterpret_cast<uintptr_t>(raw) + sizeof(PlainPrefix);
    user = (user + alignment - 1) & ~(uintptr_t)(alignment - 1);
    PlainPrefix* prefix = reinterpret_cast<PlainPrefix*>(user) - 1;
    prefix->original = (uint64_t)(uintptr_t)raw;
    prefix->size = size;
    prefix->serial = InterlockedIncrement64(&g_serial);
    prefix->magic = kPlainMagic;
    InterlockedIncrement64(&g_liveBlocks);
    InterlockedAdd64(&g_liveBytes, (LONG64)size);
    return reinterpret_cast<void*>(user);
}

void PlainFree(PlainPrefix* prefix, void* p)
{
    if (prefix->magic == kPlainFreed) {
        char text[120];
        snprintf(text, sizeof(text), "GuardHeap: double free of block #%lld at %p", (long long)prefix->serial, p);
        Fatal(text);
        return;
    }
    InterlockedDecrement64(&g_liveBlocks);
    InterlockedAdd64(&g_liveBytes, -(LONG64)prefix->size);
    prefix->magic = kPlainFreed;
    HeapFree(GetProcessHeap(), 0, (void*)(uintptr_t)prefix->original);
}

void* Allocate(size_t size, size_t alignment, bool zero)
{
    if (g_mode == GuardHeap::kGuarded) {
        void* p = GuardedAlloc(size, alignment, zero);
        if (!p) {
            char text[120];
            snprintf(text, sizeof(text), "GuardHeap: out of memory for a block of %llu bytes",
                     (unsigned long long)size);
            Fatal(text);
        }
        return p;
    }
    return PlainAlloc(size, alignment, zero);
}

// Size of a block of either mode, or -1 when the block is not ours.
long long OwnSize(void* p)
{
    if (PlainPrefix* prefix = PrefixOf(p))
        return prefix->magic == kPlainMagic ? (long long)prefix->size : -1;
    if (GuardHeader* h = HeaderOf(p))
        return h->magic == kLiveMagic && h->user == p ? (long long)h->size : -1;
    return -1;
}

void Release(void* p)
{
    if (!p)
        return;
    if (PlainPrefix* prefix = PrefixOf(p)) {
        PlainFree(prefix, p);
        return;
    }
    if (GuardHeader* h = HeaderOf(p)) {
        GuardedFree(h, p);
        return;
    }
    static CrtFree crtFree = CrtCall<CrtFree>("free");
    if (crtFree)
        crtFree(p);
}

}  // namespace

namespace GuardHeap {

void SetMode(Mode mode) { InterlockedExchange(&g_mode, (LONG)mode); }
Mode GetMode() { return (Mode)g_mode; }
int64_t LiveBlocks() { return g_liveBlocks; }
int64_t LiveBytes() { return g_liveBytes; }
int64_t TotalAllocations() { return g_serial; }
void SetFaultHandler(FaultHandler handler) { g_faultHandler = handler; }

bool Describe(const void* address, char* text, size_t size)
{
    GuardHeader* h = HeaderOf(address);
    if (!h)
        return false;
    const unsigned char* a = static_cast<const unsigned char*>(address);
    const char* state = h->magic == kLiveMagic ? "live" : "freed";
    if (h->magic == kFreedMagic) {
        snprintf(text, size, "use after free: offset %lld of a freed %llu-byte block #%lld",
                 (long long)(a - h->user), (unsigned long long)h->size, (long long)h->serial);
    } else if (a >= h->user + h->size) {
        snprintf(text, size, "%llu bytes past the end of a %s %llu-byte block #%lld",
                 (unsigned long long)(a - (h->user + h->size)), state, (unsigned long long)h->size,
                 (long long)h->serial);
    } else if (a < h->user) {
        snprintf(text, size, "%llu bytes before the start of a %s %llu-byte block #%lld",
                 (unsigned long long)(h->user - a), state, (unsigned long long)h->size, (long long)h->serial);
    } else {
        snprintf(text, size, "offset %lld inside a %s %llu-byte block #%lld", (long long)(a - h->user), state,
                 (unsigned long long)h->size, (long long)h->serial);
    }
    return true;
}

}  // namespace GuardHeap

// ---------------------------------------------------------------------------------------------
// The C allocation functions.

extern "C" {

void* malloc(size_t size) { return Allocate(size, 1, false); }

void* calloc(size_t count, size_t size)
{
    if (size && count > (size_t)-1 / size)
        return nullptr;
    return Allocate(count * size, 1, true);
}

void free(void* p) { Release(p); }

void* realloc(void* p, size_t size)
{
    if (!p)
        return Allocate(size, 1, false);
    if (size == 0) {
        Release(p);
        return nullptr;
    }
    long long old = OwnSize(p);
    if (old < 0) {
        static CrtRealloc crtRealloc = CrtCall<CrtRealloc>("realloc");
        return crtRealloc ? crtRealloc(p, size) : nullptr;
    }
    void* q = Allocate(size, 1, false);
    if (!q)
        return nullptr;
    memcpy(q, p, (size_t)old < size ? (size_t)old : size);
    Release(p);
    return q;
}


}  // extern "C"

// ---------------------------------------------------------------------------------------------
// operator new and delete, every form.

static void* NewOrThrow(size_t size, size_t alignment)
{
    void* p = Allocate(size, alignment, false);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* operator new(size_t size) { return NewOrThrow(size, 1); }
void* operator new[](size_t size) { return NewOrThrow(size, 1); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 1, false); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 1, false); }
void* operator new(size_t size, std::align_val_t a) { return NewOrThrow(size, (size_t)a); }
void* operator new[](size_t size, std::align_val_t a) { return NewOrThrow(size, (size_t)a); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, (size_t)a, false);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, (size_t)a, false);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Release(p); }
