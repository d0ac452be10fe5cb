// Helpers shared by the XA codec tests: test signals, signal-to-noise figures and
// xadec.dll bound the way the viewer binds it (LoadLibraryA + GetProcAddress).
#pragma once
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "xacodec.h"
#include "xadec.h"

namespace xatest {

inline std::string ExeDirectory()
{
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string dir(path);
    const size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

// xadec.dll from the build directory (where the test program also lives).
struct XaDll {
    HMODULE module = NULL;
    PFN_xaDecodeOpen open = nullptr;
    PFN_xaDecodeSize size = nullptr;
    PFN_xaDecodeConvert convert = nullptr;
    PFN_xaDecodeClose close = nullptr;

    XaDll()
    {
        module = LoadLibraryA((ExeDirectory() + "\\xadec.dll").c_str());
        if (!module) return;
        open = reinterpret_cast<PFN_xaDecodeOpen>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeOpen")));
        size = reinterpret_cast<PFN_xaDecodeSize>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeSize")));
        convert = reinterpret_cast<PFN_xaDecodeConvert>(
            reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeConvert")));
        close = reinterpret_cast<PFN_xaDecodeClose>(reinterpret_cast<void*>(GetProcAddress(module, "xaDecodeClose")));
    }
    ~XaDll()
    {
        if (module) FreeLibrary(module);
        module = NULL;
    }
    bool Ready() const { return module && open && size && convert && close; }
};

inline XaDll& Dll()
{
    static XaDll dll;
    return dll;
}

// An encoded file in a vector.
inline std::vector<uint8_t> Encode(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate,
                                   uint32_t blockFrames = XA_DEFAULT_BLOCK_FRAMES)
{
    uint8_t* file = nullptr;
    size_t bytes = 0;
    std::vector<uint8_t> out;
    if (XaEncode(pcm.data(), static_cast<uint32_t>(pcm.size() / channels), channels, rate, blockFrames, &file,
                 &bytes)) {
        out.assign(file, file + bytes);
        free(file);
    }
    return out;
}

// Decodes the whole data of a file in one xaDecodeConvert call through the DLL, into a
// destination of xaDecodeSize bytes. Empty on any failure.
inline std::vector<int16_t> DecodeAll(const std::vector<uint8_t>& file)
{
    std::vector<int16_t> pcm;
    XaDll& dll = Dll();
    if (!dll.Ready() || file.size() < XA_HEADER_BYTES) return pcm;
    WAVEFORMATEX wfx = {};
    HXASTREAM h = dll.open(file.data(), &wfx);
    if (!h) return pcm;
    const DWORD srcLen = static_cast<DWORD>(file.size() - XA_HEADER_BYTES);
    DWORD dstLen = 0;
    if (dll.size(h, srcLen, &dstLen)) {
        std::vector<uint8_t> src(file.begin() + XA_HEADER_BYTES, file.end());
        pcm.resize(dstLen / 2);
        XASTREAMHEADER req = {};
        req.pSrc = src.data();
        req.nSrcLen = srcLen;
        req.pDst = reinterpret_cast<BYTE*>(pcm.data());
        req.nDstLen = dstLen;
        if (!dll.convert(h, &req) || req.nSrcUsed != srcLen || req.nDstUsed != dstLen) pcm.clear();
    }
    dll.close(h);
    return pcm;
}

inline double SnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got)
{
    double signal = 0.0, noise = 0.0;
    for (size_t i = 0; i < ref.size() && i < got.size(); ++i) {
        const double d = static_cast<double>(ref[i]) - got[i];
        signal += static_cast<double>(ref[i]) * ref[i];
        noise += d * d;
    }
    if (noise == 0.0) return 200.0;
    return 10.0 * std::log10(signal / noise);
}

inline int16_t Sat(double v)
{
    if (v > 32767.0) return 32767;
    if (v < -32768.0) return -32768;
    return static_cast<int16_t>(std::lround(v));
}

inline std::vector<int16_t> Tone(uint32_t frames, uint32_t channels, uint32_t rate, double hz, double amplitude)
{
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            pcm[static_cast<size_t>(i) * channels + c] =
                Sat(amplitude * std::sin(2.0 * 3.14159265358979 * hz * (c + 1) * i / rate));
    return pcm;
}

inline std::vector<int16_t> Noise(uint32_t frames, uint32_t channels, double sigma, double pole, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> nd(0.0, 1.0);
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
    for (uint32_t c = 0; c < channels; ++c) {
        double y = 0.0;
        for (uint32_t i = 0; i < frames; ++i) {
            y = pole * y + sigma * nd(rng);
            pcm[static_cast<size_t>(i) * channels + c] = Sat(y);
        }
    }
    return pcm;
}

} // namespace xatest
