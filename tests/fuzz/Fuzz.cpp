#include "Fuzz.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <set>

#include "Corpus.h"
#include "FaultGuard.h"
#include "FuzzSupport.h"
#include "GuardHeap.h"
#include "Mutator.h"
#include "app/Globals.h"
#include "app/WndProc.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "fakes/FakeDirectSound.h"
#include "fakes/ShellState.h"
#include "score/Lanes.h"
#include "score/UpdateFrame.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "xacodec.h"

namespace {

const size_t kMaxChartBytes = 256 * 1024;
const size_t kMaxSoundBytes = 512 * 1024;

// ---------------------------------------------------------------------------------------------
// Checks

void Check(bool condition, const char* format, ...)
{
    if (condition)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    FaultGuard::Fail(text);
}

struct LaneGroupView {
    const char* name;
    LaneNote** lanes;
    int32_t* counts;
    int32_t* next;
    int size;
    int firstSorted;
    int lastSorted;  // note lanes, sorted by time by the builders (ruler lanes are not re-sorted)
};

const LaneGroupView kLaneGroups[4] = {
    {"drum", g_drumLanes, g_drumLaneCounts, g_drumNextIndex, 9, 1, 7},
    {"guitar", g_guitarLanes, g_guitarLaneCounts, g_guitarNextIndex, 10, 0, 8},
    {"bass", g_bassLanes, g_bassLaneCounts, g_bassNextIndex, 10, 0, 8},
    {"sound", g_soundLanes, g_soundLaneCounts, g_soundNextIndex, 36, 1, 35},
};

// The lane tables after a build and a seek, or after frames (afterFrames: the scan start may
// stand anywhere inside the lane).
void CheckLanes(CDSound& device, bool afterFrames)
{
    std::set<const CDSBuffer*> listed;
    for (CDSBufferNode* n = device.GetList().m_head; n; n = n->next)
        listed.insert(n->buffer);
    for (const LaneGroupView& g : kLaneGroups) {
        for (int lane = 0; lane < g.size; ++lane) {
            const LaneNote* entries = g.lanes[lane];
            int32_t count = g.counts[lane];
            Check(count >= 0, "%s lane %d: count %d", g.name, lane, (int)count);
            Check(count == 0 || entries, "%s lane %d: %d entries but no array", g.name, lane, (int)count);
            int32_t next = g.next[lane];
            if (count == 0 || !entries)
                Check(next == -1, "%s lane %d: empty, scan start %d", g.name, lane, (int)next);
            else
                Check(next >= (afterFrames ? -1 : 0) && next < count, "%s lane %d: scan start %d of %d", g.name, lane,
                      (int)next, (int)count);
            for (int32_t i = 0; i < count && entries; ++i) {
                const LaneNote& e = entries[i];
                Check(!e.sound || listed.count(e.sound), "%s lane %d entry %d: sound %p is not a listed buffer",
                      g.name, lane, (int)i, (const void*)e.sound);
                Check(e.pending == 0 || e.pending == 1, "%s lane %d entry %d: pending %d", g.name, lane, (int)i,
                      (int)e.pending);
                if (lane >= g.firstSorted && lane <= g.lastSorted && i > 0)
                    Check(entries[i - 1].time <= e.time, "%s lane %d: entry %d (%d ms) after entry %d (%d ms)", g.name,
                          lane, (int)i, (int)e.time, (int)i - 1, (int)entries[i - 1].time);
            }
        }
    }
    Check(!g_drumLanes[0] && !g_soundLanes[0], "drum lane 0 or sound lane 0 holds entries");
}

void CheckChart(const CChart& chart, int measures)
{
    Check(measures >= 1, "Load returned %d", measures);
    Check(chart.measureCount == measures, "Load returned %d, measureCount is %d", measures, (int)chart.measureCount);
    Check(chart.baseBpm == 0.0, "baseBpm %g after Load", chart.baseBpm);
    Check(memchr(chart.title, 0, 49) != nullptr, "title not ended within 48 characters");
    Check(memchr(chart.artist, 0, 40) != nullptr, "artist not ended within 39 characters");
    Check(memchr(chart.wallFile, 0, 260) != nullptr, "wallFile not ended");
    for (int i = 0; i < 576; ++i)
        Check(memchr(chart.soundNames[i], 0, 260) != nullptr, "soundNames[%d] not ended", i);
}

void CheckCompiled(const CChart& chart)
{
    Check(chart.measureLineCount == chart.measureCount && chart.measureLines, "measure lines: %d of %d measures",
          (int)chart.measureLineCount, (int)chart.measureCount);
    Check(chart.beatLineCount >= chart.measureCount && chart.beatLines, "beat lines: %d for %d measures",
          (int)chart.beatLineCount, (int)chart.measureCount);
    Check(chart.beatLines[chart.beatLineCount - 1]->lane == 100, "the last beat line is no measure line");
    Check(chart.measureTable[0].startTime == 1500.0, "measure 0 starts at %g", chart.measureTable[0].startTime);
}

// ---------------------------------------------------------------------------------------------
// The frame update driven by a settable clock, drawing into a display that only counts.

DWORD s_now = 100000;
DWORD ReadClock() { return s_now; }

class CountingDisplay : public CDDraw {
public:
    HRESULT Draw(int, int, const RECT*, int) override
    {
        ++draws;
        return DD_OK;
    }
    HRESULT DrawKeyed(int, int, const RECT*, int) override
    {
        ++draws;
        return DD_OK;
    }
    int Present() override { return 0; }
    long long draws = 0;
};


void PlayFrames(CChart& chart, CDSound& device, Random& r)
{
    CountingDisplay display;
    g_display = &display;
    g_clock = ReadClock;
    s_now = 100000 + (DWORD)r.Below(1000000);
    g_scrollSpeed = r.OneIn(3) ? 8.0f : (r.OneIn(2) ? 0.1f : 0.5f);
    g_isPlaying = 1;
    g_userPaused = 0;
    g_pauseStartTime = 0;
    g_playStartTime = (int)s_now;
    g_playTime = -1;
    g_remoteDisabled = 0;
    int frames = 10 + (int)r.Below(40);
    for (int f = 0; f < frames; ++f) {
        // The clock is driven the way the window drives it: keys, modal loops, remote control.
        switch (r.Below(26)) {
        case 0: MainWndProc(nullptr, WM_KEYDOWN, VK_SPACE, 0); break;
        case 1: MainWndProc(nullptr, WM_KEYDOWN, VK_RETURN, 0); break;
        case 2: MainWndProc(nullptr, WM_VIEWER_PAUSE, 0, 0); break;
        case 3: MainWndProc(nullptr, WM_VIEWER_RESUME, 0, 0); break;
        case 4: MainWndProc(nullptr, WM_VIEWER_RESTART, 0, 0); break;
        case 5:
            MainWndProc(nullptr, WM_VIEWER_PLAY_FROM,
                        (WPARAM)(r.OneIn(2) ? (int)r.Below(chart.measureCount + 2) : (int)r.Next()), 0);
            break;
        case 6: MainWndProc(nullptr, WM_VIEWER_SPEED, (WPARAM)(int)(r.Below(1000) - 100), 0); break;
        case 7: MainWndProc(nullptr, r.OneIn(2) ? WM_ENTERMENULOOP : WM_NCLBUTTONDOWN, 0, 0); break;
        case 8: MainWndProc(nullptr, r.OneIn(2) ? WM_EXITMENULOOP : WM_EXITSIZEMOVE, 0, 0); break;
        case 9: s_now += (DWORD)r.Below(600000); break;  // a long jump
        case 10: s_now -= (DWORD)r.Below(5000); break;   // the clock going back a little
        default: s_now += 16; break;
        }
        UpdateFrame();
        Check(ClockState() >= 0, "clock in no state: playing %d, paused %d, pause start %d", g_isPlaying,
              g_userPaused, g_pauseStartTime);
    }
    CheckLanes(device, true);
    g_display = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Targets

enum Outcome { kRejected = 0, kAccepted = 1 };

int RunChart(const std::string& path, Random& r)
{
    FakeDirectSound fake;
    CDSound device;
    device.m_directSound = &fake;
    g_sound = &device;
    CChart* chart = new CChart(&device);
    const int offset = r.OneIn(20) ? (int)r.Below(5) - 2 : 0;
    const int allowStream = r.OneIn(4) ? 1 : 0;
    int measures = chart->Load(path.c_str(), offset, 10, allowStream);
    if (measures != 0) {
        CheckChart(*chart, measures);
        Check(chart->Compile() == 0, "Compile failed");
        CheckCompiled(*chart);
        ResetLanes();
        BuildDrumLanes(chart);
        BuildStringLanes(chart, 1);
        BuildStringLanes(chart, 2);
        BuildSoundLanes(chart);
        static const int kSpecial[] = {-1, 0, 1, 999, 1000, 0x7FFFFFFF, (int)0x80000000};
        g_startMeasure = r.OneIn(2) ? kSpecial[r.Below(7)] : (int)r.Below(chart->measureCount + 1);
        SeekToMeasure(g_startMeasure);
        g_chartEndTime = ComputeChartEndTime(chart);
        CheckLanes(device, false);
        PlayFrames(*chart, device, r);
    }
    device.GetList().RemoveAll();
    delete chart;
    chart = nullptr;
    FreeLaneArrays();
    ResetLanes();
    g_sound = nullptr;
    device.m_directSound = nullptr;
    Check(fake.LiveBuffers() == 0, "%d DirectSound buffers not released", fake.LiveBuffers());
    return measures != 0 ? kAccepted : kRejected;
}

// Changes the file of a streaming sound under it: cut short or overwritten in places.
void CorruptOpenFile(const std::string& path, Random& r)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        if (r.OneIn(2)) {
            LARGE_INTEGER at;
            at.QuadPart = (LONGLONG)r.Below((size_t)size.QuadPart);
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
            SetEndOfFile(file);
        } else {
            for (int i = 0; i < 8; ++i) {
                LARGE_INTEGER at;
                at.QuadPart = (LONGLONG)r.Below((size_t)size.QuadPart);
                SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
                uint8_t junk[64];
                for (uint8_t& b : junk)
                    b = (uint8_t)r.Next();
                DWORD written = 0;
                WriteFile(file, junk, (DWORD)(1 + r.Below(sizeof(junk))), &written, nullptr);
            }
        }
    }
    CloseHandle(file);
}

void CheckSound(const CDSBuffer& b, const char* when)
{
    if (b.m_soundBuffer) {
        const FakeDirectSoundBuffer* fb = static_cast<const FakeDirectSoundBuffer*>(b.m_soundBuffer);
        Check(b.m_bufferBytes == fb->bytes, "%s: buffer bytes %u, DirectSound buffer %u", when, b.m_bufferBytes,
              (unsigned)fb->bytes);
        Check(fb->badUnlocks == 0, "%s: %d unlocks that do not match their lock", when, fb->badUnlocks);
        Check(!fb->locked, "%s: the DirectSound buffer was left locked", when);
    }
    if (b.m_streaming && b.m_soundBuffer) {
        Check(b.m_writeCursor < b.m_bufferBytes, "%s: write cursor %u of %u", when, b.m_writeCursor, b.m_bufferBytes);
        Check(b.m_streamState == 0 || b.m_streamState == 1 || b.m_streamState == 3 || b.m_streamState == 4 ||
                  b.m_streamState == 5,
              "%s: stream state %d", when, b.m_streamState);
        Check(b.m_convBufferSize == b.m_bufferBytes || !b.m_convBuffer, "%s: conversion buffer %u, sound buffer %u",
              when, b.m_convBufferSize, b.m_bufferBytes);
    }
}

void PlaySound(CDSBuffer& b, const std::string& path, Random& r)
{
    FakeDirectSoundBuffer* fb = static_cast<FakeDirectSoundBuffer*>(b.m_soundBuffer);
    if (!fb)
        return;
    b.Play(r.OneIn(2) ? 1 : 0, 7);
    if (b.m_streaming && r.OneIn(3))
        CorruptOpenFile(path, r);
    int steps = 20 + (int)r.Below(100);
    for (int s = 0; s < steps; ++s) {
        switch (r.Below(30)) {
        case 0: b.Rewind(); break;
        case 1: b.Stop(); break;
        case 2: b.Play(r.OneIn(2) ? 1 : 0, 7); break;
        case 3: b.Pause(); b.Resume(); break;
        case 4: b.FadeOut(); break;
        case 5: fb->SetPlayCursor((DWORD)r.Below(fb->bytes + 1)); break;
        case 6: if (b.m_streaming && r.OneIn(4)) CorruptOpenFile(path, r); break;
        default:
            if (fb->playing && fb->bytes)
                fb->SetPlayCursor((DWORD)((fb->playCursor + r.Below(fb->bytes / 3 + 1)) % fb->bytes));
            break;
        }
        b.UpdateFade();
        b.StreamPlay();
        CheckSound(b, "while playing");
    }
}

int RunSound(const std::string& path, Random& r)
{
    FakeDirectSound fake;
    if (r.OneIn(20))
        fake.failCreateBuffers = 1 + (int)r.Below(2);
    if (r.OneIn(30))
        fake.onCreate = [](FakeDirectSoundBuffer& b) { b.bufferLostLocks = 1; };
    fake.maxBufferBytes = 32u * 1024 * 1024;
    int accepted = kRejected;
    {
        CDSBuffer b(&fake);
        b.SetFileName(path.c_str());
        const int allowStream = r.OneIn(3) ? 0 : 1;
        if (r.OneIn(2))
            b.m_streamThreshold = 0;  // short sounds stream too
        int result = b.Load(allowStream);
        CheckSound(b, "after the load");
        if (result == 0) {
            accepted = kAccepted;
            Check(b.m_soundBuffer != nullptr, "loaded without a sound buffer");
            PlaySound(b, path, r);
        } else if (r.OneIn(2)) {
            // A failed sound answers the playback calls.
            b.Play(0, 1);
            b.Rewind();
            b.StreamPlay();
            b.UpdateFade();
            b.Stop();
        }
    }
    Check(fake.LiveBuffers() == 0, "%d DirectSound buffers not released", fake.LiveBuffers());
    return accepted;
}

// The XA decoder on its own, with every buffer exactly as large as the lengths given to it.
int RunXaDecoder(const Bytes& input, Random& r)
{
    uint8_t* header = new uint8_t[XA_HEADER_BYTES];
    memset(header, 0, XA_HEADER_BYTES);
    memcpy(header, input.data(), input.size() < (size_t)XA_HEADER_BYTES ? input.size() : (size_t)XA_HEADER_BYTES);
    XaStream* stream = XaStreamOpen(header);
    delete[] header;
    if (!stream)
        return kRejected;
    const XaInfo* info = XaStreamInfo(stream);
    Check(info && info->blockBytes > 0, "no stream information");
    uint32_t sizeOut = 0;
    XaStreamSize(stream, (uint32_t)r.Next(), &sizeOut);
    XaStreamSize(stream, info->dataSize, &sizeOut);

    size_t dataBytes = input.size() > (size_t)XA_HEADER_BYTES ? input.size() - XA_HEADER_BYTES : 0;
    size_t pos = 0;
    int idle = 0;
    while (pos < dataBytes && idle < 4) {
        uint32_t srcLen = (uint32_t)(r.OneIn(3) ? dataBytes - pos : r.Below(dataBytes - pos + 1));
        uint32_t dstLen = (uint32_t)(r.OneIn(2) ? r.Below(3 * info->blockFrames * info->channels * 2 + 1)
                                               : r.Below(200000));
        uint8_t* src = new uint8_t[srcLen ? srcLen : 1];
        if (srcLen)
            memcpy(src, input.data() + XA_HEADER_BYTES + pos, srcLen);
        uint8_t* dst = new uint8_t[dstLen ? dstLen : 1];
        uint32_t used = 0;
        uint32_t out = 0;
        int ok = XaStreamConvert(stream, srcLen ? src : nullptr, srcLen, &used, dstLen ? dst : nullptr, dstLen, &out);
        Check(used <= srcLen && out <= dstLen, "convert used %u of %u, wrote %u of %u", used, srcLen, out, dstLen);
        Check(used % info->blockBytes == 0, "convert used %u, not whole blocks of %u", used, info->blockBytes);
        delete[] src;
        delete[] dst;
        pos += used;
        if (!ok)
            break;
        idle = used ? 0 : idle + 1;
    }
    XaStreamClose(stream);
    return kAccepted;
}

// ---------------------------------------------------------------------------------------------
// The driver

struct TargetInfo {
    const char* name;
    const char* extension;
    InputKind kind;
    size_t maxBytes;
};

const TargetInfo kTargets[] = {
    {"chart", ".ktb", InputKind::kChart, kMaxChartBytes},
    {"wav", ".wav", InputKind::kSound, kMaxSoundBytes},
    {"xa", ".xa", InputKind::kSound, kMaxSoundBytes},
    {"xadec", ".xa", InputKind::kSound, kMaxSoundBytes},
};

const TargetInfo* FindTarget(const std::string& name)
{
    for (const TargetInfo& t : kTargets)
        if (name == t.name)
            return &t;
    return nullptr;
}

struct Stats {
    long long inputs = 0;
    long long accepted = 0;
    long long mutated = 0;
    double seconds = 0.0;
};

std::vector<Seed> SeedsOf(const TargetInfo& t, const FuzzOptions& options)
{
    if (!strcmp(t.name, "chart")) {
        Bytes demo;
        std::string demoText;
        if (!options.demoChart.empty() && ReadFileBytes(options.demoChart, &demo))
            demoText.assign(demo.begin(), demo.end());
        return MakeChartSeeds(demoText);
    }
    if (!strcmp(t.name, "wav"))
        return MakeWavSeeds();
    std::vector<Seed> seeds = MakeXaSeeds();
    if (!strcmp(t.name, "xa")) {
        // The XA loader also meets files that are no XA at all.
        std::vector<Seed> wavs = MakeWavSeeds();
        seeds.push_back(wavs[0]);
    }
    return seeds;
}

class InputRunner {
public:
    InputRunner(const TargetInfo& target, const FuzzOptions& options) : m_target(target)
    {
        m_folder = options.workDir + "\\" + target.name;
        CreateDirectoryA(m_folder.c_str(), nullptr);
        if (!strcmp(target.name, "chart"))
            WriteChartSounds(m_folder);
        m_path = m_folder + "\\input" + target.extension;
    }

    // Runs one input; a fault, a hang or a failed check ends the process inside.
    int Run(const Bytes& input, uint64_t inputSeed, const char* label)
    {
        Check(WriteFileBytes(m_path, input), "cannot write %s", m_path.c_str());
        FaultGuard::BeginInput(label, m_path.c_str());
        int result = RunOnce(input, inputSeed);
        // A leak shows as live blocks or handles left behind. Lazily made statics can do that once,
        // so a leak counts only when two more runs of the same input leak again.
        if (m_leakChecks) {
            int64_t blocks = GuardHeap::LiveBlocks();
            DWORD handles = Handles();
            int leaks = 0;
            int64_t grewBlocks = 0;
            long grewHandles = 0;
            for (int again = 0; again < 2 && (blocks != m_blocksBefore || handles > m_handlesBefore); ++again) {
                int64_t b0 = GuardHeap::LiveBlocks();
                DWORD h0 = Handles();
                RunOnce(input, inputSeed);
                grewBlocks = GuardHeap::LiveBlocks() - b0;
                grewHandles = (long)Handles() - (long)h0;
                if (grewBlocks > 0 || grewHandles > 0)
                    ++leaks;
                blocks = GuardHeap::LiveBlocks();
                handles = Handles();
            }
            Check(leaks < 2, "every run of this input leaks: %lld blocks, %ld handles", (long long)grewBlocks,
                  grewHandles);
        }
        FaultGuard::EndInput();
        m_blocksBefore = GuardHeap::LiveBlocks();
        m_handlesBefore = Handles();
        return result;
    }

    void StartLeakChecks()
    {
        m_leakChecks = true;
        m_blocksBefore = GuardHeap::LiveBlocks();
        m_handlesBefore = Handles();
    }

private:
    static DWORD Handles() { return (DWORD)ProcessHandles(); }

    int RunOnce(const Bytes& input, uint64_t inputSeed)
    {
        Random r(inputSeed);
        if (!strcmp(m_target.name, "chart"))
            return RunChart(m_path, r);
        if (!strcmp(m_target.name, "xadec"))
            return RunXaDecoder(input, r);
        return RunSound(m_path, r);
    }

    const TargetInfo& m_target;
    std::string m_folder;
    std::string m_path;
    bool m_leakChecks = false;
    int64_t m_blocksBefore = 0;
    DWORD m_handlesBefore = 0;
};

std::vector<Seed> RegressionInputs(const std::string& dir, const TargetInfo& t)
{
    std::vector<Seed> out;
    if (dir.empty())
        return out;
    std::string folder = dir + "\\" + t.name;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return out;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        Seed s;
        s.name = std::string("regress/") + t.name + "/" + found.cFileName;
        if (ReadFileBytes(folder + "\\" + found.cFileName, &s.bytes))
            out.push_back(s);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return out;
}

double Now()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)frequency.QuadPart;
}

void Prepare(const FuzzOptions& options)
{
    MakeDirectories(options.workDir);
    FaultGuard::Install((options.workDir + "\\artefacts").c_str());
    FaultGuard::StartWatchdog(options.timeoutMs);
    InstallDiagnosticCounter();
    UseInProcessXaDecoder();
    GuardHeap::SetMode(options.guarded ? GuardHeap::kGuarded : GuardHeap::kPassThrough);
}

}  // namespace

int RunFuzz(const FuzzOptions& options)
{
    Prepare(options);
    std::vector<std::string> names = options.targets;
    if (names.empty())
        names = {"chart", "wav", "xa", "xadec"};
    const double start = Now();
    int index = 0;
    for (const std::string& name : names) {
        const TargetInfo* target = FindTarget(name);
        if (!target) {
            fprintf(stderr, "ktbfuzz: unknown target %s\n", name.c_str());
            return 2;
        }
        const double targetStart = Now();
        const double deadline =
            options.seconds > 0 ? targetStart + (options.seconds - (targetStart - start)) / (double)(names.size() - index)
                                : 0.0;
        ++index;
        Random random(options.seed * 1000003ull + (uint64_t)index);
        InputRunner runner(*target, options);
        Stats stats;

        std::vector<Seed> pool = RegressionInputs(options.regressDir, *target);
        size_t regressions = pool.size();
        std::vector<Seed> seeds = SeedsOf(*target, options);
        pool.insert(pool.end(), seeds.begin(), seeds.end());
        // Inputs that a loader accepted are mutated further more often: they reach deeper.
        std::vector<Bytes> accepted;

        char label[128];
        for (size_t i = 0; i < pool.size(); ++i) {
            snprintf(label, sizeof(label), "%s %s", target->name, pool[i].name.c_str());
            int result = runner.Run(pool[i].bytes, options.seed + i, label);
            if (options.verbose)
                printf("  %-40s %s\n", label, result == kAccepted ? "accepted" : "refused");
            ++stats.inputs;
            if (result == kAccepted) {
                ++stats.accepted;
                accepted.push_back(pool[i].bytes);
            }
            if (i + 1 == pool.size())
                runner.StartLeakChecks();
        }
        long long iterations = options.iterations;
        for (const auto& entry : options.targetIterations)
            if (entry.first == target->name)
                iterations = entry.second;
        for (long long n = 0;; ++n) {
            if (iterations >= 0 && n >= iterations)
                break;
            if (options.seconds > 0 && Now() >= deadline)
                break;
            if (iterations < 0 && options.seconds <= 0)
                break;
            const Bytes& base = (!accepted.empty() && random.OneIn(2)) ? accepted[random.Below(accepted.size())]
                                                                       : pool[random.Below(pool.size())].bytes;
            Bytes input = base;
            const Bytes& other = pool[random.Below(pool.size())].bytes;
            Mutate(input, other, target->kind, random, target->kind == InputKind::kChart ? 8 : 6, target->maxBytes);
            uint64_t inputSeed = random.Next();
            snprintf(label, sizeof(label), "%s mutation %lld (seed %llu, input seed %llu)", target->name, n,
                     (unsigned long long)options.seed, (unsigned long long)inputSeed);
            int result = runner.Run(input, inputSeed, label);
            ++stats.inputs;
            ++stats.mutated;
            if (result == kAccepted) {
                ++stats.accepted;
                if (accepted.size() < 512)
                    accepted.push_back(input);
                else
                    accepted[random.Below(accepted.size())] = input;
            }
        }
        stats.seconds = Now() - targetStart;
        printf("%-6s %6lld inputs (%zu saved, %zu seeds, %lld mutated), %6lld accepted, %.1f s, %.0f inputs/s\n",
               target->name, stats.inputs, regressions, seeds.size(), stats.mutated, stats.accepted, stats.seconds,
               stats.seconds > 0 ? stats.inputs / stats.seconds : 0.0);
        fflush(stdout);
    }
    PrintDiagnosticSummary(options.verbose);
    printf("ktbfuzz: no fault, hang, leak or broken check (seed %llu, %.1f s)\n", (unsigned long long)options.seed,
           Now() - start);
    return 0;
}

int RunOne(const std::string& targetName, const std::string& path, const FuzzOptions& options)
{
    Prepare(options);
    const TargetInfo* target = FindTarget(targetName);
    Bytes input;
    if (!target || !ReadFileBytes(path, &input)) {
        fprintf(stderr, "ktbfuzz: cannot run %s on %s\n", targetName.c_str(), path.c_str());
        return 2;
    }
    InputRunner runner(*target, options);
    runner.Run(input, options.seed, path.c_str());  // the first run may make lazy statics
    runner.StartLeakChecks();
    int result = runner.Run(input, options.seed, path.c_str());
    printf("%s: %s\n", path.c_str(), result == kAccepted ? "accepted" : "refused cleanly");
    PrintDiagnosticSummary(true);
    return 0;
}
