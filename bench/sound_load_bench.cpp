// Sound loading: a chart of 200 one-second PCM WAVs (44100 Hz, 16-bit stereo) and 50 one-second
// IMA ADPCM WAVs (44100 Hz mono), generated here. Measures
//   - the viewer (KTBViewer.exe beside this program) from process start to its ready title, on
//     this chart and on the same chart without sound definitions (the fixed start-up cost);
//   - the time to read the same 250 files (CreateFile + ReadFile + CloseHandle);
//   - in this process: CChart::Load of the chart with a real sound device, and the same work
//     taken apart step by step as CDSBuffer::Load does it, to show where the time goes;
//   - the chart handed to a running viewer (WM_COPYDATA, as option -L sends it): the first time
//     (every sound loaded), again unchanged (every sound kept), and with 10 sound files rewritten;
//     the editor's whole loop, "-L -N2 -P chart" against "-Q" and a new start, side by side;
//     200 hand-offs in a row with 5 sound files rewritten before each: the viewer's memory. The
//     same reloads in this process check which sounds were kept, loaded and freed.
//
//   sound_load_bench.exe [runs=5] [handoffs=200] [part=all|load|handoff]
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <dsound.h>

#include <cstdlib>
#include <cstring>

#include "BenchCommon.h"
#include "app/HandOff.h"
#include "chart/CChart.h"
#include "sound/AcmFormatCache.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/SoundReuse.h"

using bench::Print;

namespace {

const int kPcmCount = 200;
const int kAdpcmCount = 50;

struct Files {
    std::string dir;
    std::vector<std::string> paths;
    std::string chartWithSounds;
    std::string chartWithout;
    std::string loopChart;  // the hand-off's chart, rewritten with a new title for every edit
    size_t bytes = 0;
};

// Sound i: a one-second tone whose pitch depends on i and on the generation (how often it was
// rewritten). PCM files keep their size from one generation to the next.
std::vector<uint8_t> SoundFile(int i, int generation)
{
    double hz = 110.0 + i + 1000.0 * generation;
    return i < kPcmCount ? bench::PcmWav(1.0, 44100, 2, hz) : bench::ImaAdpcmWav(1.0, 44100, hz);
}

// The chart: every sound once, 16 to a measure on the sound channels.
std::string ChartText(const Files& f, bool withSounds, const char* title)
{
    std::string text = std::string("#TITLE ") + title + "\r\n#ARTIST bench\r\n#BPM 120\r\n";
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
    return text;
}

Files MakeFiles()
{
    Files f;
    f.dir = bench::TempDir() + "ktb_sound_bench\\";
    CreateDirectoryA(f.dir.c_str(), nullptr);
    for (int i = 0; i < kPcmCount + kAdpcmCount; ++i) {
        char name[64];
        snprintf(name, sizeof(name), i < kPcmCount ? "pcm_%03d.wav" : "ima_%03d.wav", i);
        std::vector<uint8_t> wav = SoundFile(i, 0);
        bench::WriteFileBytes(f.dir + name, wav.data(), wav.size());
        f.paths.push_back(f.dir + name);
        f.bytes += wav.size();
    }
    for (int withSounds = 0; withSounds < 2; ++withSounds) {
        std::string text = ChartText(f, withSounds != 0, "SoundLoad");
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

// Loading: reading the files, the viewer from its start to the ready title, and in this process.
int MeasureLoading(const Files& files, int runs)
{
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
    return 0;
}

// ---- The chart handed to a running viewer ----------------------------------------------------------

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

void RewriteSound(const Files& f, int i, int generation)
{
    std::vector<uint8_t> wav = SoundFile(i, generation);
    bench::WriteFileBytes(f.paths[i], wav.data(), wav.size());
}

void WriteLoopChart(const Files& f, const std::string& title)
{
    std::string text = ChartText(f, true, title.c_str());
    bench::WriteFileBytes(f.loopChart, text.data(), text.size());
}

std::string ReadyTitle(const std::string& title) { return " " + title + "  [ bench ]"; }

// Milliseconds from sending the hand-off to the viewer's answer (it answers once the chart is
// ready), or -1 when it did not load the chart.
double TimedHandOff(HWND viewer, const std::string& chart)
{
    double t0 = bench::Now();
    int result = SendHandOff(viewer, chart.c_str(), KTB_HANDOFF_TIMEOUT_MS);
    double ms = (bench::Now() - t0) * 1000.0;
    return result == 0 ? ms : -1;
}

// Seconds from `since` until the window shows exactly this title, or -1.
double WaitTitle(HWND window, const std::string& title, double since, double timeoutSeconds = 60)
{
    while (bench::Now() - since < timeoutSeconds) {
        char text[256] = "";
        GetWindowTextA(window, text, sizeof(text));
        if (title == text)
            return bench::Now() - since;
        Sleep(1);
    }
    return -1;
}

bool WaitExit(bench::ViewerProcess& p, DWORD ms = 30000)
{
    bool ended = WaitForSingleObject(p.process.hProcess, ms) == WAIT_OBJECT_0;
    CloseHandle(p.process.hThread);
    CloseHandle(p.process.hProcess);
    p.process = PROCESS_INFORMATION();
    return ended;
}

// The viewer's working set and private bytes (PagefileUsage), MiB.
void ViewerMemory(HANDLE process, double* workingSet, double* privateBytes)
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(process, &counters, sizeof(counters));
    *workingSet = counters.WorkingSetSize / 1048576.0;
    *privateBytes = counters.PagefileUsage / 1048576.0;
}

// The window's reload in this process (sounds kept aside, chart read, the rest freed), with what
// became of the sounds. Buffers of the old chart are marked first (a stream threshold of 21 s
// instead of 20, which nothing here uses): a kept one keeps the mark, a new one has none.
struct InProcessReload {
    double ms = 0;
    int kept = 0, loaded = 0, freed = 0, listed = 0;
    int newSoundsFresh = 0;    // rewritten files whose buffer is a new one
    int newSoundsChecked = 0;  // rewritten PCM files whose buffer holds exactly the new samples
};

InProcessReload ReloadInProcess(CDSound* sound, CChart*& chart, const Files& f, const std::vector<int>& rewritten,
                                int generation)
{
    for (CDSBufferNode* n = sound->GetList().m_head; n; n = n->next)
        n->buffer->m_streamThreshold = 21;
    InProcessReload r;
    double t0 = bench::Now();
    sound->KeepBuffersForReload();
    delete chart;
    chart = new CChart(sound);
    chart->Load(f.chartWithSounds.c_str(), 0, 10, 0);
    r.freed = sound->DropKeptBuffers();
    r.ms = (bench::Now() - t0) * 1000.0;
    for (CDSBufferNode* n = sound->GetList().m_head; n; n = n->next, ++r.listed)
        (n->buffer->m_streamThreshold == 21 ? r.kept : r.loaded)++;
    for (int i : rewritten) {
        for (CDSBufferNode* n = sound->GetList().m_head; n; n = n->next) {
            if (_stricmp(n->buffer->GetFileName(), f.paths[i].c_str()) != 0 || n->buffer->m_streamThreshold == 21)
                continue;
            r.newSoundsFresh++;
            IDirectSoundBuffer* b = n->buffer->m_soundBuffer;
            void* p1 = nullptr;
            DWORD b1 = 0;
            std::vector<uint8_t> wav = SoundFile(i, generation);
            if (i < kPcmCount && b && SUCCEEDED(b->Lock(0, 0, &p1, &b1, nullptr, nullptr, DSBLOCK_ENTIREBUFFER))) {
                size_t n44 = wav.size() - 44;  // PcmWav: 44-byte header, then the samples
                if (b1 >= n44 && memcmp(p1, wav.data() + 44, n44) == 0)
                    r.newSoundsChecked++;
                b->Unlock(p1, b1, nullptr, 0);
            }
        }
    }
    return r;
}

// The sounds rewritten before hand-off i of the long run: 5, a different five each time.
std::vector<int> FiveSounds(int i, int count)
{
    std::vector<int> v;
    for (int k = 0; k < 5; ++k)
        v.push_back((i * 5 + k) % count);
    return v;
}

int MeasureHandOff(Files& files, int runs, int handOffs)
{
    const int count = (int)files.paths.size();
    std::vector<int> ten;
    for (int k = 0; k < 10; ++k)
        ten.push_back(k * count / 10);  // 8 PCM files and 2 IMA ADPCM files
    files.loopChart = files.dir + "loop.ktb";
    int generation = 1;

    // 1. First hand-off (every sound loaded), the same again (every sound kept), 10 files rewritten.
    std::vector<double> first, same, tenNew, ratio;
    for (int r = 0; r < runs; ++r) {
        bench::ViewerProcess viewer;
        bench::ViewerRun run;
        if (!bench::StartProgram(Quoted(files.chartWithout), &viewer) || !bench::WaitReadyTitle(viewer, run, 120000)) {
            Print("hand-off run %d: no viewer\n", r + 1);
            bench::StopViewer(viewer);
            continue;
        }
        double a = TimedHandOff(viewer.window, files.chartWithSounds);
        double b = TimedHandOff(viewer.window, files.chartWithSounds);
        ++generation;
        for (int i : ten)
            RewriteSound(files, i, generation);
        double c = TimedHandOff(viewer.window, files.chartWithSounds);
        bench::StopViewer(viewer);
        Print("  run %d: first hand-off %.1f ms, unchanged %.1f ms, 10 rewritten %.1f ms\n", r + 1, a, b, c);
        if (a < 0 || b < 0 || c < 0)
            continue;
        first.push_back(a);
        same.push_back(b);
        tenNew.push_back(c);
        ratio.push_back(100.0 * b / a);
    }
    Print("hand-off, first (250 sounds loaded):       %s ms\n", bench::Spread(first, "%.1f").c_str());
    Print("hand-off, unchanged (250 kept):            %s ms\n", bench::Spread(same, "%.1f").c_str());
    Print("hand-off, 10 files rewritten (240 kept):   %s ms\n", bench::Spread(tenNew, "%.1f").c_str());
    Print("RATIO unchanged / first = %s %%\n", bench::Spread(ratio, "%.1f").c_str());

    // 2. In this process: what became of the sounds, and where the time of an unchanged reload goes.
    HWND hidden = MakeWindow();
    CDSound* sound = new CDSound();
    if (sound->Init(hidden, 1) != 0) {
        Print("sound device failed\n");
        return 1;
    }
    CChart* chart = new CChart(sound);
    chart->Load(files.chartWithSounds.c_str(), 0, 10, 0);
    std::vector<double> unchangedMs, stampMs;
    for (int r = 0; r < runs; ++r) {
        unchangedMs.push_back(ReloadInProcess(sound, chart, files, {}, generation).ms);
        double t0 = bench::Now();
        for (const std::string& path : files.paths)
            ReadSoundFileStamp(path.c_str());
        stampMs.push_back((bench::Now() - t0) * 1000.0);
    }
    ++generation;
    for (int i : ten)
        RewriteSound(files, i, generation);
    InProcessReload tenRun = ReloadInProcess(sound, chart, files, ten, generation);
    Print("in process, unchanged reload (keep, read, free): %s ms; of it the 250 file stamps: %s ms\n",
          bench::Spread(unchangedMs, "%.1f").c_str(), bench::Spread(stampMs, "%.1f").c_str());
    Print("in process, 10 rewritten: kept %d, loaded %d, freed %d, listed %d; new buffers for %d of 10, "
          "holding the new samples: %d of the 8 PCM files (%.1f ms)\n",
          tenRun.kept, tenRun.loaded, tenRun.freed, tenRun.listed, tenRun.newSoundsFresh, tenRun.newSoundsChecked,
          tenRun.ms);
    int bad = 0, freedAll = 0, loadedAll = 0;
    for (int i = 0; i < handOffs; ++i) {
        std::vector<int> five = FiveSounds(i, count);
        ++generation;
        for (int k : five)
            RewriteSound(files, k, generation);
        InProcessReload r = ReloadInProcess(sound, chart, files, five, generation);
        freedAll += r.freed;
        loadedAll += r.loaded;
        if (r.listed != count || r.kept != count - 5 || r.loaded != 5 || r.freed != 5 || r.newSoundsFresh != 5)
            ++bad;
    }
    Print("in process, %d reloads with 5 files rewritten each: %d with another outcome than kept %d, loaded 5, "
          "freed 5; %d loaded, %d freed in all\n",
          handOffs, bad, count - 5, loadedAll, freedAll);
    delete chart;
    delete sound;
    DestroyWindow(hidden);

    // 3. The editor's loop: "-L -N2 -P chart" to the ready title, against "-Q" and a new start.
    WriteLoopChart(files, "Loop");
    bench::ViewerProcess viewer;
    bench::ViewerRun run;
    if (!bench::StartProgram("-N2 -P " + Quoted(files.loopChart), &viewer) ||
        !bench::WaitReadyTitle(viewer, run, 120000, ReadyTitle("Loop").c_str())) {
        Print("loop: no viewer\n");
        bench::StopViewer(viewer);
        return 1;
    }
    std::vector<double> withL, withLExit, withQ;
    for (int r = 0; r < runs; ++r) {
        std::string title = "Loop L" + std::to_string(r);
        WriteLoopChart(files, title);
        bench::ViewerProcess start;
        bench::StartProgram("-L -N2 -P " + Quoted(files.loopChart), &start);
        double l = WaitTitle(viewer.window, ReadyTitle(title), start.started);
        bool ended = WaitExit(start);
        double lExit = bench::Now() - start.started;

        title = "Loop Q" + std::to_string(r);
        WriteLoopChart(files, title);
        bench::ViewerProcess quit;
        bench::StartProgram("-Q", &quit);
        double t0 = quit.started;
        WaitExit(quit);
        WaitExit(viewer);  // the running viewer ends
        bench::ViewerRun next;
        bool ready = bench::StartProgram("-N2 -P " + Quoted(files.loopChart), &viewer) &&
                     bench::WaitReadyTitle(viewer, next, 120000, ReadyTitle(title).c_str());
        double q = ready ? viewer.started + next.readySeconds - t0 : -1;
        Print("  run %d: -L start to ready title %.0f ms (the start ended after %.0f ms%s); -Q + new start to ready "
              "title %.0f ms\n",
              r + 1, l * 1000.0, lExit * 1000.0, ended ? "" : ", not by itself", q * 1000.0);
        if (l > 0)
            withL.push_back(l * 1000.0);
        if (ended)
            withLExit.push_back(lExit * 1000.0);
        if (q > 0)
            withQ.push_back(q * 1000.0);
        if (!ready)
            break;
    }
    Print("loop, -L -N2 -P chart -> ready title:        %s ms\n", bench::Spread(withL, "%.0f").c_str());
    Print("loop, -L -N2 -P chart -> that start ended:   %s ms\n", bench::Spread(withLExit, "%.0f").c_str());
    Print("loop, -Q + -N2 -P chart -> ready title:      %s ms\n", bench::Spread(withQ, "%.0f").c_str());

    // 4. Hand-offs in a row, 5 sound files rewritten before each: the viewer's memory.
    std::vector<double> ws, pb, ms;
    int refused = 0;
    for (int i = 0; i < handOffs && viewer.window; ++i) {
        ++generation;
        for (int k : FiveSounds(i, count))
            RewriteSound(files, k, generation);
        double t = TimedHandOff(viewer.window, files.loopChart);
        if (t < 0)
            ++refused;
        else
            ms.push_back(t);
        double w = 0, p = 0;
        ViewerMemory(viewer.process.hProcess, &w, &p);
        ws.push_back(w);
        pb.push_back(p);
    }
    if (ws.size() > 10) {
        auto range = [](const std::vector<double>& v, double* lo, double* hi) {
            *lo = *std::min_element(v.begin() + 10, v.end());
            *hi = *std::max_element(v.begin() + 10, v.end());
        };
        double wLo, wHi, pLo, pHi;
        range(ws, &wLo, &wHi);
        range(pb, &pLo, &pHi);
        Print("%zu hand-offs, 5 files rewritten before each (%d not loaded): %s ms each\n", ws.size(), refused,
              bench::Spread(ms, "%.1f").c_str());
        Print("  working set MiB: after 10 %.1f, then %.1f .. %.1f (%+.1f %% .. %+.1f %%), last %.1f\n", ws[9], wLo, wHi,
              100.0 * (wLo - ws[9]) / ws[9], 100.0 * (wHi - ws[9]) / ws[9], ws.back());
        Print("  private bytes MiB: after 10 %.1f, then %.1f .. %.1f (%+.1f %% .. %+.1f %%), last %.1f\n", pb[9], pLo,
              pHi, 100.0 * (pLo - pb[9]) / pb[9], 100.0 * (pHi - pb[9]) / pb[9], pb.back());
        Print("  private bytes MiB after hand-off");
        for (size_t i = 9; i < pb.size(); i += pb.size() / 10)
            Print(" %zu: %.1f,", i + 1, pb[i]);
        Print(" %zu: %.1f\n", pb.size(), pb.back());
    }
    bench::StopViewer(viewer);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5, handOffs = 200;
    std::string part = "all";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "runs=", 5) == 0)
            runs = atoi(argv[i] + 5);
        else if (strncmp(argv[i], "handoffs=", 9) == 0)
            handOffs = atoi(argv[i] + 9);
        else if (strncmp(argv[i], "part=", 5) == 0)
            part = argv[i] + 5;
    }

    Files files = MakeFiles();
    Print("sound loading: %d PCM WAVs (1 s, 44100 Hz 16-bit stereo) + %d IMA ADPCM WAVs (1 s, 44100 Hz mono), "
          "%.1f MB in all\n",
          kPcmCount, kAdpcmCount, files.bytes / 1e6);
    int result = 0;
    if (part != "handoff")
        result |= MeasureLoading(files, runs);
    if (part != "load")
        result |= MeasureHandOff(files, runs, handOffs);

    for (const std::string& path : files.paths)
        DeleteFileA(path.c_str());
    DeleteFileA(files.chartWithSounds.c_str());
    DeleteFileA(files.chartWithout.c_str());
    DeleteFileA(files.loopChart.c_str());
    RemoveDirectoryA(files.dir.c_str());
    return result;
}
