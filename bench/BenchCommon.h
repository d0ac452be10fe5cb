// Shared pieces of the benchmark programs: a fine clock, order statistics, generated charts and
// generated sound files. Benchmarks print figures; they never pass or fail on speed.
#pragma once
#include <windows.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "chart/CChart.h"

namespace bench {

// Seconds from the performance counter.
inline double Now()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

struct Summary {
    size_t n = 0;
    double min = 0, median = 0, mean = 0, p99 = 0, max = 0;
};

// Nearest-rank percentile of sorted values (q in 0..1).
inline double Percentile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return 0;
    size_t rank = (size_t)std::ceil(q * (double)sorted.size());
    if (rank < 1)
        rank = 1;
    if (rank > sorted.size())
        rank = sorted.size();
    return sorted[rank - 1];
}

inline Summary Summarize(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.n = values.size();
    s.min = values.front();
    s.max = values.back();
    s.median = values.size() % 2 ? values[values.size() / 2]
                                  : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / (double)values.size();
    s.p99 = Percentile(values, 0.99);
    return s;
}

// "median M (min A .. max B) over N" for repeated whole measurements.
inline std::string Spread(const std::vector<double>& values, const char* format = "%.2f")
{
    Summary s = Summarize(values);
    char a[32], b[32], c[32], line[160];
    snprintf(a, sizeof(a), format, s.median);
    snprintf(b, sizeof(b), format, s.min);
    snprintf(c, sizeof(c), format, s.max);
    snprintf(line, sizeof(line), "median %s (min %s .. max %s, %zu runs)", a, b, c, s.n);
    return line;
}

inline void Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

inline std::string TempDir()
{
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, dir);
    if (n == 0 || n >= MAX_PATH)
        return ".\\";
    return dir;
}

inline bool WriteFileBytes(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

const char kBase36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

inline std::string SoundIdText(int id)
{
    std::string s;
    s += kBase36[(id / 36) % 36];
    s += kBase36[id % 36];
    return s;
}

// A row of `cells` cells, every one a note, sound ids cycling through 1..idCount.
inline std::string NoteRow(int cells, int idCount, int seed)
{
    std::string s;
    for (int k = 0; k < cells; ++k)
        s += SoundIdText(1 + (seed + k) % (idCount > 0 ? idCount : 1));
    return s;
}

// A chart whose every lane is full from the first measure to the last: the six drum lanes, the
// guitar and bass chords of three notes plus their W lanes, and all 32 sound channels.
struct ScreenChart {
    int measures = 16;
    int bpm = 120;
    int drumCells = 24;    // per measure and drum lane
    int stringCells = 8;   // per measure, guitar and bass (chord 7 and a W chip at each)
    int soundCells = 9;    // per measure and sound channel
    std::vector<std::string> wavNames;  // #WAV01.. definitions (may be empty: notes without sounds)
    int idCount = 36;      // ids used by the notes

    std::string Text() const
    {
        std::string text = "#TITLE Bench\r\n#ARTIST generated\r\n";
        text += "#BPM " + std::to_string(bpm) + "\r\n";
        for (size_t i = 0; i < wavNames.size(); ++i)
            text += "#WAV" + SoundIdText((int)i + 1) + " " + wavNames[i] + "\r\n";
        static const char* drums[] = {"HH", "SD", "BD", "HT", "LT", "CY"};
        char head[16];
        for (int m = 0; m < measures; ++m) {
            auto line = [&](const char* code, const std::string& data) {
                snprintf(head, sizeof(head), "#%03d%s:", m, code);
                text += head;
                text += data;
                text += "\r\n";
            };
            for (int d = 0; d < 6; ++d)
                line(drums[d], NoteRow(drumCells, idCount, m + d));
            line("G7", NoteRow(stringCells, idCount, m));
            line("GW", NoteRow(stringCells, idCount, m + 1));
            line("B7", NoteRow(stringCells, idCount, m + 2));
            line("BW", NoteRow(stringCells, idCount, m + 3));
            for (int c = 1; c <= 32; ++c) {
                char code[4];
                snprintf(code, sizeof(code), "%02X", c);
                line(code, NoteRow(soundCells, idCount, m + c));
            }
        }
        return text;
    }
};

// A long chart with every channel dense: 1/48 cells on the six drum lanes and FI, chords on guitar
// and bass with their W lanes, all 32 sound channels, span marks on every lane, four tempo changes
// per measure and a bar length every eighth measure. With varyStringCells the eight guitar and
// bass lines of a measure have 48 to 192 cells (lines of several grids in one list); with
// missingSounds, that many #WAV lines name files that do not exist.
inline std::string DenseChartText(int measures, bool varyStringCells = false, int missingSounds = 0)
{
    static const char* drums[] = {"HH", "SD", "BD", "HT", "LT", "CY", "FI"};
    static const char* spanLanes[] = {"GT", "BS", "HH", "SD", "BD", "HT", "LT", "CY"};
    static const int variedCells[] = {48, 64, 96, 192, 48, 96, 144, 192};
    auto spans = [](int n) {
        std::string s;
        for (int k = 0; k < n; ++k)
            s += (k % 4 == 0) ? "01" : (k % 4 == 2 ? "02" : "00");
        return s;
    };
    std::string text = "#TITLE Dense\r\n#ARTIST generated\r\n#BPM 150\r\n";
    text.reserve((size_t)measures * 12000);
    if (missingSounds > 0)
        text += "#PATH_WAV bench_missing\r\n";
    for (int id = 1; id <= missingSounds && id <= 575; ++id) {
        char line[64];
        snprintf(line, sizeof(line), "#WAV%s s%03d.wav\r\n", SoundIdText(id).c_str(), id);
        text += line;
    }
    char head[16];
    for (int m = 0; m < measures; ++m) {
        auto line = [&](const char* code, const std::string& data) {
            snprintf(head, sizeof(head), "#%03d%s:", m, code);
            text += head;
            text += data;
            text += "\r\n";
        };
        if (m % 8 == 0)
            line("BL", (m / 8) % 2 ? "0.75" : "1");
        line("TC", "78000000008C000000A000000096000000");
        for (int d = 0; d < 7; ++d)
            line(drums[d], NoteRow(48, 575, m * 7 + d));
        for (int g = 0; g < 8; ++g) {
            char code[4] = {'G', (char)('0' + g), 0};
            line(code, NoteRow(varyStringCells ? variedCells[g] : 48, 575, m + g));
            code[0] = 'B';
            line(code, NoteRow(varyStringCells ? variedCells[7 - g] : 48, 575, m + 8 + g));
        }
        line("GW", NoteRow(48, 575, m));
        line("BW", NoteRow(48, 575, m + 1));
        for (int c = 1; c <= 32; ++c) {
            char code[8];
            snprintf(code, sizeof(code), "%02X", c);
            line(code, NoteRow(48, 575, m + c));
            snprintf(code, sizeof(code), "C%02X", c);
            line(code, spans(48));
        }
        for (const char* lane : spanLanes) {
            char code[8];
            snprintf(code, sizeof(code), "C%s", lane);
            line(code, spans(48));
        }
    }
    return text;
}

// Notes, FI and W events of a loaded chart.
inline long long NoteEventCount(const CChart& chart)
{
    return (long long)chart.drumNotes.count + chart.guitarNotes.count + chart.bassNotes.count + chart.soundNotes.count +
           chart.fiEvents.count + chart.guitarWEvents.count + chart.bassWEvents.count;
}

// ---- Sound files -------------------------------------------------------------------------------

inline void Put16(std::vector<uint8_t>& b, unsigned v)
{
    b.push_back((uint8_t)(v & 0xFF));
    b.push_back((uint8_t)((v >> 8) & 0xFF));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
inline void PutTag(std::vector<uint8_t>& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

// A decaying tone, 16-bit samples.
inline int16_t ToneSample(int i, int rate, double hz)
{
    double t = (double)i / rate;
    double v = std::sin(2 * 3.14159265358979 * hz * t) * std::exp(-3.0 * t) * 12000.0;
    return (int16_t)v;
}

// PCM WAV: 16-bit, the given rate and channels.
inline std::vector<uint8_t> PcmWav(double seconds, int rate, int channels, double hz)
{
    uint32_t frames = (uint32_t)(seconds * rate);
    uint32_t dataBytes = frames * channels * 2;
    std::vector<uint8_t> b;
    PutTag(b, "RIFF");
    Put32(b, 36 + dataBytes);
    PutTag(b, "WAVE");
    PutTag(b, "fmt ");
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * 2);
    Put16(b, channels * 2);
    Put16(b, 16);
    PutTag(b, "data");
    Put32(b, dataBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t s = ToneSample((int)i, rate, hz);
        for (int c = 0; c < channels; ++c)
            Put16(b, (uint16_t)s);
    }
    return b;
}

// IMA ADPCM WAV (format 0x11), mono, 4 bits per sample, blocks of 1024 bytes.
inline std::vector<uint8_t> ImaAdpcmWav(double seconds, int rate, double hz)
{
    static const int kSteps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
        31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
        130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
        544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
        2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
        9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int kIndexShift[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
    const int blockAlign = 1024;
    const int samplesPerBlock = (blockAlign - 4) * 2 + 1;  // 2041
    uint32_t frames = (uint32_t)(seconds * rate);
    uint32_t blocks = (frames + samplesPerBlock - 1) / samplesPerBlock;

    std::vector<uint8_t> data;
    int predictor = 0, index = 0;
    for (uint32_t blk = 0; blk < blocks; ++blk) {
        uint32_t base = blk * samplesPerBlock;
        auto sample = [&](uint32_t i) -> int { return i < frames ? ToneSample((int)i, rate, hz) : 0; };
        predictor = sample(base);
        Put16(data, (uint16_t)(int16_t)predictor);
        data.push_back((uint8_t)index);
        data.push_back(0);
        uint8_t pending = 0;
        for (int k = 1; k < samplesPerBlock; ++k) {
            int diff = sample(base + k) - predictor;
            int step = kSteps[index];
            int code = 0;
            if (diff < 0) {
                code = 8;
                diff = -diff;
            }
            int delta = step >> 3;
            if (diff >= step) { code |= 4; diff -= step; delta += step; }
            step >>= 1;
            if (diff >= step) { code |= 2; diff -= step; delta += step; }
            step >>= 1;
            if (diff >= step) { code |= 1; delta += step; }
            predictor += (code & 8) ? -delta : delta;
            predictor = std::max(-32768, std::min(32767, predictor));
            index = std::max(0, std::min(88, index + kIndexShift[code]));
            if (k % 2 == 1)
                pending = (uint8_t)code;
            else
                data.push_back((uint8_t)(pending | (code << 4)));
        }
        // samplesPerBlock - 1 is even: every block ends on a whole byte.
    }

    std::vector<uint8_t> b;
    PutTag(b, "RIFF");
    Put32(b, (uint32_t)(4 + 8 + 20 + 8 + 4 + 8 + data.size()));
    PutTag(b, "WAVE");
    PutTag(b, "fmt ");
    Put32(b, 20);
    Put16(b, 0x11);
    Put16(b, 1);
    Put32(b, rate);
    Put32(b, (uint32_t)((uint64_t)rate * blockAlign / samplesPerBlock));
    Put16(b, blockAlign);
    Put16(b, 4);
    Put16(b, 2);
    Put16(b, samplesPerBlock);
    PutTag(b, "fact");
    Put32(b, 4);
    Put32(b, frames);
    PutTag(b, "data");
    Put32(b, (uint32_t)data.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// The dense chart of the playback and render benchmarks: 12 measures with every lane full (16
// cells per drum lane, 8 per guitar and bass, 4 per sound channel), 36 generated sounds of 0.2 s
// (44100 Hz, 16-bit stereo), written to the temp folder. Returns the chart's path.
inline std::string MakeDenseSoundChart()
{
    std::string dir = TempDir();
    ScreenChart chart;
    chart.measures = 12;
    chart.drumCells = 16;
    chart.stringCells = 8;
    chart.soundCells = 4;
    for (int i = 0; i < 36; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "ktb_play_bench_%02d.wav", i);
        std::vector<uint8_t> wav = PcmWav(0.2, 44100, 2, 220.0 + 20 * i);
        WriteFileBytes(dir + name, wav.data(), wav.size());
        chart.wavNames.push_back(name);  // joined with the chart's folder, as every sound name is
    }
    std::string path = dir + "ktb_play_bench.ktb";
    std::string text = chart.Text();
    WriteFileBytes(path, text.data(), text.size());
    return path;
}

}  // namespace bench

// ---- Running the viewer as a process --------------------------------------------------------------
#include <psapi.h>

namespace bench {

// KTBViewer.exe beside this program.
inline std::string ViewerPath()
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self);
    size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? "" : dir.substr(0, slash + 1);
    return dir + "KTBViewer.exe";
}

struct FindData {
    DWORD pid;
    HWND window;
};

inline BOOL CALLBACK FindViewerWindow(HWND window, LPARAM param)
{
    FindData* data = reinterpret_cast<FindData*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof(cls));
    if (pid == data->pid && strcmp(cls, "KTBViewer_ZW") == 0) {
        data->window = window;
        return FALSE;
    }
    return TRUE;
}

struct ViewerRun {
    bool ready = false;
    double windowSeconds = -1;   // start -> the window exists
    double loadingSeconds = -1;  // start -> the "Loading..." title was seen (it may be too short to see)
    double readySeconds = -1;    // start -> the ready title
    double exitSeconds = -1;     // quit posted -> process gone
    size_t peakWorkingSet = 0;   // bytes, GetProcessMemoryInfo after `settleMs` of play
    size_t workingSet = 0;
    size_t peakPagefile = 0;
    std::string title;
};

// A viewer process started by a benchmark, and its window once it has one.
struct ViewerProcess {
    PROCESS_INFORMATION process = {};
    HWND window = nullptr;
    double started = 0;  // Now() at CreateProcess
};

// Starts a program beside this one (the viewer unless `exe` is given) with `arguments`; with
// `output`, its standard output goes there.
inline bool StartProgram(const std::string& arguments, ViewerProcess* out, const char* exe = "KTBViewer.exe",
                         HANDLE output = nullptr)
{
    std::string path = ViewerPath();
    path = path.substr(0, path.size() - strlen("KTBViewer.exe")) + exe;
    std::string command = "\"" + path + "\" " + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    out->started = Now();
    out->window = nullptr;
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, output ? TRUE : FALSE, 0, nullptr, nullptr,
                          &startup, &out->process) != 0;
}

// Waits until the viewer's window shows a ready title (neither the initial one nor a
// "Loading..." one) or, with `expected`, exactly that title. Fills the run's times from the start.
inline bool WaitReadyTitle(ViewerProcess& viewer, ViewerRun& run, int timeoutMs, const char* expected = nullptr)
{
    FindData find = {viewer.process.dwProcessId, viewer.window};
    while (Now() - viewer.started < timeoutMs / 1000.0) {
        if (WaitForSingleObject(viewer.process.hProcess, 0) == WAIT_OBJECT_0)
            return false;
        if (!find.window) {
            EnumWindows(FindViewerWindow, (LPARAM)&find);
            if (find.window) {
                viewer.window = find.window;
                run.windowSeconds = Now() - viewer.started;
            }
        }
        if (find.window) {
            char title[256] = "";
            GetWindowTextA(find.window, title, sizeof(title));
            size_t n = strlen(title);
            if (n >= 10 && strcmp(title + n - 10, "Loading...") == 0) {
                if (run.loadingSeconds < 0)
                    run.loadingSeconds = Now() - viewer.started;
            } else if (expected ? strcmp(title, expected) == 0 : n > 0 && strcmp(title, "KTB Viewer 0.05") != 0) {
                run.readySeconds = Now() - viewer.started;
                run.ready = true;
                run.title = title;
                return true;
            }
        }
        Sleep(1);
    }
    return false;
}

// Closes the viewer (WM_CLOSE, then TerminateProcess after 20 s) and its handles. Returns the
// seconds it took to end, or -1 when it had to be terminated.
inline double StopViewer(ViewerProcess& viewer)
{
    double quit = Now(), seconds = -1;
    if (viewer.window)
        PostMessageA(viewer.window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(viewer.process.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(viewer.process.hProcess, 1);
    else
        seconds = Now() - quit;
    CloseHandle(viewer.process.hThread);
    CloseHandle(viewer.process.hProcess);
    viewer.process = PROCESS_INFORMATION();
    viewer.window = nullptr;
    return seconds;
}

// Starts the viewer with `arguments`, waits for its ready title (a title that is neither the
// initial one nor the "Loading..." one), lets it run `settleMs`, reads its memory counters, and
// quits it with WM_CLOSE.
inline ViewerRun RunViewer(const std::string& arguments, int settleMs, int timeoutMs = 120000)
{
    ViewerRun run;
    ViewerProcess viewer;
    if (!StartProgram(arguments, &viewer))
        return run;
    if (WaitReadyTitle(viewer, run, timeoutMs)) {
        Sleep((DWORD)settleMs);
        PROCESS_MEMORY_COUNTERS counters;
        ZeroMemory(&counters, sizeof(counters));
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(viewer.process.hProcess, &counters, sizeof(counters))) {
            run.peakWorkingSet = counters.PeakWorkingSetSize;
            run.workingSet = counters.WorkingSetSize;
            run.peakPagefile = counters.PeakPagefileUsage;
        }
    }
    run.exitSeconds = StopViewer(viewer);
    return run;
}

// Unix paths (/work/...) as Wine's Z: drive paths.
inline std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/')
                c = '\\';
        path = "Z:" + path;
    }
    return path;
}

}  // namespace bench
