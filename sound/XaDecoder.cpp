#include "sound/XaDecoder.h"

static HXASTREAM __cdecl MissingOpen(const BYTE*, WAVEFORMATEX*) { return nullptr; }
static BOOL __cdecl MissingSize(HXASTREAM, DWORD, DWORD* dstBytes)
{
    if (dstBytes)
        *dstBytes = 0;
    return FALSE;
}
static BOOL __cdecl MissingConvert(HXASTREAM, XASTREAMHEADER*) { return FALSE; }
static BOOL __cdecl MissingClose(HXASTREAM) { return FALSE; }

static const XaDecoderApi g_missingDecoder = {MissingOpen, MissingSize, MissingConvert, MissingClose};

const XaDecoderApi& MissingXaDecoder() { return g_missingDecoder; }

static XaDecoderApi g_libraryDecoder = g_missingDecoder;
static bool g_libraryTried = false;
static bool g_libraryFound = false;
static XaDecoderApi g_injectedDecoder = g_missingDecoder;
static bool g_injected = false;

static bool BindFrom(const char* path)
{
    HMODULE module = LoadLibraryA(path);
    if (!module)
        return false;
    XaDecoderApi api;
    api.open = reinterpret_cast<PFN_xaDecodeOpen>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeOpen")));
    api.size = reinterpret_cast<PFN_xaDecodeSize>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeSize")));
    api.convert =
        reinterpret_cast<PFN_xaDecodeConvert>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeConvert")));
    api.close = reinterpret_cast<PFN_xaDecodeClose>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeClose")));
    if (!api.open || !api.size || !api.convert || !api.close) {
        FreeLibrary(module);
        return false;
    }
    g_libraryDecoder = api;  // the module stays loaded for the life of the process
    g_libraryFound = true;
    return true;
}

const XaDecoderApi& GetXaDecoder()
{
    if (g_injected)
        return g_injectedDecoder;
    if (!g_libraryTried) {
        g_libraryTried = true;
        BindFrom("xadec.dll");
    }
    return g_libraryDecoder;
}

bool XaDecoderAvailable()
{
    GetXaDecoder();
    return g_injected || g_libraryFound;
}

void SetXaDecoderForTest(const XaDecoderApi* api)
{
    if (api) {
        g_injectedDecoder = *api;
        g_injected = true;
    } else {
        g_injected = false;
    }
}
