// Sound loading: a chart of 200 one-second PCM WAVs (44100 Hz, 16-bit stereo) and 50 one-second
// IMA ADPCM WAVs (44100 Hz mono), generated here. Measures
//   - the viewer (KTBViewer.exe beside this program) from process start to its ready title, on
//     this chart and on the same chart without sound definitions (the fixed start-up cost);
//   - the time to read the same 250 files (CreateFile + ReadFile + CloseHandle);
//   - in this process: CChart::Load of the chart with a real sound device, and the same work
//     taken apart step by step as CDSBuffer::Load does it, to show where the time goes.
//
//   sound_load_bench.exe [runs=5]
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <dsound.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "chart/CChart.h"
#include "sound/AcmFormatCache.h"
#include "sound/CDSound.h"

using bench::Print;

namespace {

const int kPcmCount = 200;
const int kAdpcmCount = 50;

struct Files {
    std::string dir;
    std::vector<std::string> paths;
    std::string chartWithSounds;
    std::string chartWithout;
    size_t bytes = 0;
};

Files MakeFiles()
{
    Files f;
    f.dir = bench::TempDir() + "ktb_sound_bench\\";
    CreateDirectoryA(f.dir.c_str(), nullptr);
    for (int i = 0; i < kPcmCount + kAdpcmCount; ++i) {
        char name[64];
        bool pcm = i < kPcmCount;
        snprintf(name, sizeof(name), pcm ? "pcm_%03d.wav" : "ima_%03d.wav", i);
        std::vector<uint8_t> wav = pcm ? bench::PcmWav(1.0, 44100, 2, 110.0 + i) : bench::ImaAdpcmWav(1.0, 44100, 110.0 + i);
        bench::WriteFileBytes(f.dir + name, wav.data(), wav.size());
        f.paths.push_back(f.dir + name);
        f.bytes += wav.size();
    }
    // Notes: every sound once, 16 to a measure on the sound channels.
    for (int withSounds = 0; withSounds < 2; ++withSounds) {
        std::string text = "#TITLE SoundLoad\r\n#ARTIST bench\r\n#BPM 120\r\n";
        if (withSounds) {
            for (int i = 0; i < (int)f.paths.size(); ++i) {
                const char* slash = strrchr(f.paths[i].c_str(), '\\');
                text += "#WAV" + bench::SoundIdText(i + 1) + " " + std::string(slash + 1) + "\r\n";
            }
        }
        int id = 1;
        for (int m = 0; id <= (int)f.paths.size(); ++m) {
            for (int c = 1; c <= 16 && id <= (int)f.paths.size(); ++c, ++id) {
                char head[16];
                snprintf(head, sizeof(head), "#%03d%02X:", m, c);
                text += head + bench::SoundIdText(id) + "\r\n";
            }
        }
        std::string path = f.dir + (withSounds ? "sounds.ktb" : "nosounds.ktb");
        bench::WriteFileBytes(path, text.data(), text.size());
        (withSounds ? f.chartWithSounds : f.chartWithout) = path;
    }
    return f;
}

double ReadAll(const Files& f)
{
    std::vector<char> buffer(1 << 20);
    double t0 = bench::Now();
    for (const std::string& path : f.paths) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        DWORD got = 0;
        while (ReadFile(h, buffer.data(), (DWORD)buffer.size(), &got, nullptr) && got > 0) {
        }
        CloseHandle(h);
    }
    return bench::Now() - t0;
}

HWND MakeWindow()
{
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KtbSoundBench";
    RegisterClassA(&wc);
    return CreateWindowA("KtbSoundBench", "sound bench", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                         wc.hInstance, nullptr);
}

// The steps of CDSBuffer::Load for one WAV file, each timed into `steps`.
enum Step {
    kXaProbe,
    kRiff,
    kAcmSuggestPcm,
    kAcmOpenPcm,
    kAcmSuggestAdpcm,
    kAcmOpenAdpcm,
    kAcmSize,
    kCreateBuffer,
    kReadData,
    kLockFill,
    kConvert,
    kUnlockClose,
    kRelease,
    kSteps
};
const char* kStepNames[kSteps] = {
    "XA probe (fopen + 32-byte header + fclose)",
    "RIFF parse (mmioOpen, descend, fmt read)",
    "acmFormatSuggest, 200 PCM files",
    "acmStreamOpen, 200 PCM files",
    "acmFormatSuggest, 50 IMA ADPCM files",
    "acmStreamOpen, 50 IMA ADPCM files",
    "acmStreamSize (or the size of the copy)",
    "CreateSoundBuffer + GetCaps",
    "mmioRead of the data + mmioClose",
    "Lock + fill with silence",
    "conversion (acmStream prepare + convert + unprepare, or the copy)",
    "Unlock + acmStreamClose",
    "Release of the sound buffer (teardown)",
};

// viewerWay: as CDSBuffer::LoadWav does it (the suggestion remembered per source format, plain
// PCM copied without an ACM stream); otherwise every file through acmFormatSuggest,
// acmStreamOpen and acmStreamConvert.
void LoadSteps(IDirectSound* ds, const std::string& path, double* steps, bool viewerWay)
{
    double t = bench::Now();
    auto lap = [&](Step s) {
        double now = bench::Now();
        steps[s] += now - t;
        t = now;
    };
    FILE* probe = fopen(path.c_str(), "rb");
    if (probe) {
        char header[32];
        size_t n = fread(header, 1, sizeof(header), probe);
        (void)n;
        fclose(probe);
    }
    lap(kXaProbe);

    HMMIO file = mmioOpenA(const_cast<char*>(path.c_str()), nullptr, MMIO_READ | MMIO_ALLOCBUF);
    if (!file)
        return;
    MMCKINFO riff = {}, fmt = {}, data = {};
    mmioDescend(file, &riff, nullptr, 0);
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    mmioDescend(file, &fmt, &riff, MMIO_FINDCHUNK);
    std::vector<BYTE> format(fmt.cksize < 18 ? 18 : fmt.cksize);
    mmioRead(file, reinterpret_cast<HPSTR>(format.data()), (LONG)fmt.cksize);
    mmioAscend(file, &fmt, 0);
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    mmioDescend(file, &data, &riff, MMIO_FINDCHUNK);
    lap(kRiff);

    WAVEFORMATEX dst;
    ZeroMemory(&dst, sizeof(dst));
    dst.wFormatTag = WAVE_FORMAT_PCM;
    WAVEFORMATEX* src = reinterpret_cast<WAVEFORMATEX*>(format.data());
    HACMSTREAM stream = nullptr;
    DWORD decoded = 0;
    const bool pcm = src->wFormatTag == WAVE_FORMAT_PCM;
    MMRESULT suggested = viewerWay ? SuggestPcmFormat(src, &dst)
                                   : acmFormatSuggest(nullptr, src, &dst, sizeof(dst), ACM_FORMATSUGGESTF_WFORMATTAG);
    if (suggested != 0) {
        mmioClose(file, 0);
        return;
    }
    lap(pcm ? kAcmSuggestPcm : kAcmSuggestAdpcm);
    const bool copy = viewerWay && IsPlainPcmCopy(*src, dst);
    if (copy) {
        decoded = data.cksize - data.cksize % dst.nBlockAlign;
    } else {
        if (acmStreamOpen(&stream, nullptr, src, &dst, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) != 0) {
            mmioClose(file, 0);
            return;
        }
        lap(pcm ? kAcmOpenPcm : kAcmOpenAdpcm);
        if (acmStreamSize(stream, data.cksize, &decoded, ACM_STREAMSIZEF_SOURCE) != 0) {
            mmioClose(file, 0);
            acmStreamClose(stream, 0);
            return;
        }
    }
    lap(kAcmSize);

    DSBUFFERDESC desc;
    ZeroMemory(&desc, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_STATIC | DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GLOBALFOCUS |
                   DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = decoded + (dst.nBlockAlign - decoded % dst.nBlockAlign) % dst.nBlockAlign;
    desc.lpwfxFormat = &dst;
    IDirectSoundBuffer* buffer = nullptr;
    if (FAILED(ds->CreateSoundBuffer(&desc, &buffer, nullptr))) {
        mmioClose(file, 0);
        if (stream)
            acmStreamClose(stream, 0);
        return;
    }
    DSBCAPS caps;
    ZeroMemory(&caps, sizeof(caps));
    caps.dwSize = sizeof(caps);
    buffer->GetCaps(&caps);
    lap(kCreateBuffer);

    std::vector<BYTE> source(data.cksize ? data.cksize : 1);
    LONG read = mmioRead(file, reinterpret_cast<HPSTR>(source.data()), (LONG)data.cksize);
    mmioClose(file, 0);
    lap(kReadData);

    void* region = nullptr;
    DWORD regionBytes = 0;
    buffer->Lock(0, caps.dwBufferBytes, &region, &regionBytes, nullptr, nullptr, DSBLOCK_ENTIREBUFFER);
    if (region)
        memset(region, 0, regionBytes);
    lap(kLockFill);

    if (region && read > 0 && copy) {
        DWORD bytes = (DWORD)read - (DWORD)read % dst.nBlockAlign;
        memcpy(region, source.data(), bytes < regionBytes ? bytes : regionBytes);
    } else if (region && read > 0) {
        ACMSTREAMHEADER header;
        ZeroMemory(&header, sizeof(header));
        header.cbStruct = sizeof(header);
        header.pbSrc = source.data();
        header.cbSrcLength = (DWORD)read;
        header.pbDst = static_cast<LPBYTE>(region);
        header.cbDstLength = regionBytes;
        acmStreamPrepareHeader(stream, &header, 0);
        acmStreamConvert(stream, &header, 0);
        acmStreamUnprepareHeader(stream, &header, 0);
    }
    lap(kConvert);

    if (region)
        buffer->Unlock(region, regionBytes, nullptr, 0);
    if (stream)
        acmStreamClose(stream, 0);
    lap(kUnlockClose);

    buffer->Release();
    lap(kRelease);
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "runs=", 5) == 0)
            runs = atoi(argv[i] + 5);

    Files files = MakeFiles();
    Print("sound loading: %d PCM WAVs (1 s, 44100 Hz 16-bit stereo) + %d IMA ADPCM WAVs (1 s, 44100 Hz mono), "
          "%.1f MB in all\n",
          kPcmCount, kAdpcmCount, files.bytes / 1e6);

    // Reading the files.
    ReadAll(files);  // the first read warms the file cache; every later run reads from it
    std::vector<double> read;
    for (int r = 0; r < runs; ++r)
        read.push_back(ReadAll(files) * 1000.0);
    Print("read the 250 files:                 %s ms\n", bench::Spread(read, "%.1f").c_str());

    // The viewer, start to ready title.
    std::vector<double> ready, readyBase, window, windowBase;
    for (int r = 0; r < runs; ++r) {
        bench::ViewerRun with = bench::RunViewer("\"" + files.chartWithSounds + "\"", 0);
        bench::ViewerRun without = bench::RunViewer("\"" + files.chartWithout + "\"", 0);
        if (!with.ready || !without.ready) {
            Print("run %d: the viewer did not reach its ready title (%d, %d)\n", r + 1, (int)with.ready,
                  (int)without.ready);
            continue;
        }
        ready.push_back(with.readySeconds * 1000.0);
        readyBase.push_back(without.readySeconds * 1000.0);
        window.push_back(with.windowSeconds * 1000.0);
        windowBase.push_back(without.windowSeconds * 1000.0);
        Print("  run %d: with sounds ready after %.0f ms (window after %.0f), without sounds %.0f ms (window %.0f); "
              "title \"%s\"\n",
              r + 1, with.readySeconds * 1000.0, with.windowSeconds * 1000.0, without.readySeconds * 1000.0,
              without.windowSeconds * 1000.0, with.title.c_str());
    }
    Print("viewer start -> ready, 250 sounds:  %s ms\n", bench::Spread(ready, "%.0f").c_str());
    Print("viewer start -> ready, no sounds:   %s ms\n", bench::Spread(readyBase, "%.0f").c_str());
    Print("viewer start -> window, no sounds:  %s ms\n", bench::Spread(windowBase, "%.0f").c_str());
    if (!ready.empty() && !read.empty()) {
        double r = bench::Summarize(ready).median, b = bench::Summarize(readyBase).median,
               f = bench::Summarize(read).median;
        Print("RATIO start->ready / read = %.1f; sound part (with - without) = %.0f ms = %.1f x the read time\n",
              r / f, r - b, (r - b) / f);
    }

    // In this process: the chart reader with a real device, then the steps taken apart.
    HWND hidden = MakeWindow();
    std::vector<double> chartLoad;
    double steps[2][kSteps] = {{0}};
    std::vector<double> stepTotals[2];
    for (int r = 0; r < runs; ++r) {
        CDSound* sound = new CDSound();
        if (sound->Init(hidden, 1) != 0) {
            Print("sound device failed\n");
            return 1;
        }
        CChart* chart = new CChart(sound);
        double t0 = bench::Now();
        int measures = chart->Load(files.chartWithSounds.c_str(), 0, 10, 0);
        chartLoad.push_back((bench::Now() - t0) * 1000.0);
        if (r == 0)
            Print("CChart::Load: %d measures, %d sounds listed\n", measures, sound->GetList().m_count);
        delete chart;
        sound->GetList().RemoveAll();

        for (int way = 0; way < 2; ++way) {
            double local[kSteps] = {0};
            for (const std::string& path : files.paths)
                LoadSteps(sound->GetDirectSound(), path, local, way == 1);
            double total = 0;
            for (int s = 0; s < kSteps; ++s) {
                steps[way][s] += local[s];
                if (s != kRelease)
                    total += local[s];
            }
            stepTotals[way].push_back(total * 1000.0);
        }
        delete sound;
    }
    Print("in process, CChart::Load with the device (250 sounds): %s ms\n", bench::Spread(chartLoad, "%.0f").c_str());
    Print("in process, the loader's steps one by one (sum):       %s ms\n",
          bench::Spread(stepTotals[1], "%.0f").c_str());
    Print("in process, every file through the ACM (sum):          %s ms\n",
          bench::Spread(stepTotals[0], "%.0f").c_str());
    Print("where the time goes (mean over the runs, all 250 files): the loader | every file through the ACM\n");
    for (int s = 0; s < kSteps; ++s)
        Print("  %-66s %8.1f | %8.1f ms\n", kStepNames[s], steps[1][s] * 1000.0 / runs, steps[0][s] * 1000.0 / runs);
    DestroyWindow(hidden);

    for (const std::string& path : files.paths)
        DeleteFileA(path.c_str());
    DeleteFileA(files.chartWithSounds.c_str());
    DeleteFileA(files.chartWithout.c_str());
    RemoveDirectoryA(files.dir.c_str());
    return 0;
}
