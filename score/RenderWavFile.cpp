// RenderChartToWav: the chart read with its sounds kept in memory, and the render written as a
// 16-bit stereo WAV file under a temporary name, renamed once complete.
#include <windows.h>
#include <mmreg.h>
#include <string.h>

#include <string>

#include "app/Globals.h"
#include "chart/CChart.h"
#include "score/ChartDump.h"
#include "score/ChartRender.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

namespace {

const unsigned long long kMaxWavData = 0xFFFFFFFFull - 36;

struct WavOutput {
    FILE* file = nullptr;
    unsigned long long dataBytes = 0;
    bool tooLong = false;
};

bool WriteHeader(FILE* file, int rate, unsigned long long dataBytes)
{
    BYTE h[44];
    auto put32 = [&h](int at, uint32_t v) {
        for (int k = 0; k < 4; ++k)
            h[at + k] = (BYTE)(v >> (8 * k));
    };
    auto put16 = [&h](int at, uint32_t v) {
        h[at] = (BYTE)v;
        h[at + 1] = (BYTE)(v >> 8);
    };
    memcpy(h, "RIFF", 4);
    put32(4, (uint32_t)(36 + dataBytes));
    memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, WAVE_FORMAT_PCM);
    put16(22, 2);
    put32(24, (uint32_t)rate);
    put32(28, (uint32_t)rate * 4);
    put16(32, 4);
    put16(34, 16);
    memcpy(h + 36, "data", 4);
    put32(40, (uint32_t)dataBytes);
    return fseek(file, 0, SEEK_SET) == 0 && fwrite(h, 1, sizeof(h), file) == sizeof(h);
}

bool WriteFrames(void* context, const int16_t* frames, size_t count)
{
    WavOutput* w = static_cast<WavOutput*>(context);
    const unsigned long long bytes = (unsigned long long)count * 4;
    if (w->dataBytes + bytes > kMaxWavData) {
        w->tooLong = true;
        return false;
    }
    w->dataBytes += bytes;
    // The samples are little-endian in memory, as in the file.
    return fwrite(frames, 4, count, w->file) == count;
}

// "LoadFailed:" lines of the chart reader, copied to the render's error stream while it loads.
FILE* g_loadErr = nullptr;
int g_loadFailures = 0;
DebugOutputHook g_outerHook = nullptr;

void CopyLoadFailures(const char* line)
{
    if (strncmp(line, "LoadFailed:", 11) == 0) {
        g_loadFailures++;
        if (g_loadErr)
            fputs(line, g_loadErr);
    }
    if (g_outerHook)
        g_outerHook(line);
    else
        OutputDebugStringA(line);
}

int RenderLoadedChart(CDSound* device, const char* outPath, const RenderOptions& options, FILE* err,
                      RenderProgress progress, void* progressContext, RenderSummary* summary)
{
    const std::string temp = std::string(outPath) + ".part";
    WavOutput w;
    w.file = fopen(temp.c_str(), "wb");
    if (!w.file) {
        fprintf(err, "ktbrender: %s: cannot write the file\n", outPath);
        return 1;
    }
    setvbuf(w.file, nullptr, _IOFBF, 1 << 20);
    int failed = !WriteHeader(w.file, options.rate, 0) ||
                 RenderLanes(device, options, WriteFrames, &w, progress, progressContext, summary) != 0 ||
                 !WriteHeader(w.file, options.rate, w.dataBytes);
    failed = (fclose(w.file) != 0) || failed;
    if (!failed && !MoveFileExA(temp.c_str(), outPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        failed = 1;
    if (failed) {
        DeleteFileA(temp.c_str());
        if (w.tooLong)
            fprintf(err, "ktbrender: %s: the render is longer than a WAV file can hold\n", outPath);
        else
            fprintf(err, "ktbrender: %s: cannot write the file\n", outPath);
        return 1;
    }
    return 0;
}

}  // namespace

int RenderChartToWav(const char* chartPath, const char* outPath, const RenderOptions& options, FILE* err,
                     RenderProgress progress, void* progressContext, RenderSummary* summary)
{
    RenderSummary local;
    RenderSummary* s = summary ? summary : &local;
    *s = RenderSummary();
    CDSound* device = new CDSound();
    device->InitPcmInMemory();
    CChart* chart = new CChart(device);

    g_loadErr = err;
    g_loadFailures = 0;
    g_outerHook = SetDebugOutputHook(CopyLoadFailures);
    int result = ReadChartForTool(chart, chartPath, "ktbrender", err);
    SetDebugOutputHook(g_outerHook);
    g_loadErr = nullptr;

    if (result == 0) {
        BuildLanesAndSeek(chart, options.seekMeasure);
        result = RenderLoadedChart(device, outPath, options, err, progress, progressContext, s);
    }
    s->soundsMissing = g_loadFailures;
    FreeLaneArrays();
    ResetLanes();
    delete chart;
    chart = nullptr;
    delete device;
    device = nullptr;
    return result;
}
