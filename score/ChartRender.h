// ktbrender's engine: the chart's lanes played by the frame update's sound rules, without its
// frame clock, into 16-bit stereo PCM, and that PCM written as a WAV file.
#pragma once
#include <stdint.h>
#include <stdio.h>

class CDSound;

struct RenderOptions {
    int seekMeasure = -1;  // as the viewer's -N: -1 plays from chart time 0
    int rate = 44100;      // output sample frames per second, 8000 .. 192000
    int frames = 0;        // 1: each sound starts on the first 16 ms frame boundary at or after its time
};

struct RenderSummary {
    long long frames = 0;  // output sample frames
    int notesSounded = 0;  // notes that started a loaded sound
    int soundsMissing = 0;  // sounds of the chart that failed to load
    int peak = 0;           // largest magnitude of an output sample, 0 .. 32768
    long long clipped = 0;  // output samples (one per channel) cut to the 16-bit range
};

// Receives the output in order, `count` interleaved stereo frames at a time; false stops the
// render (a write error).
typedef bool (*RenderSink)(void* context, const int16_t* frames, size_t count);
// Told every block how far the render is (output frames done, and the frames up to the chart's
// end time, which the ring-out of the last sounds may pass).
typedef void (*RenderProgress)(void* context, long long done, long long chartFrames);

// Output sample of a time `ms` milliseconds after the first sample: the nearest, halves up.
inline long long RenderSampleOfMs(long long ms, int rate) { return (ms * rate * 2 + 1000) / 2000; }

// Renders the lane groups as the builders and the seek left them (g_seekBaseTime is output sample
// 0; g_chartEndTime ends the chart), with the PCM that the buffers of `device` hold in memory.
// Returns 0, or 1 when the sink refused the output.
int RenderLanes(CDSound* device, const RenderOptions& options, RenderSink sink, void* sinkContext,
                RenderProgress progress, void* progressContext, RenderSummary* summary);

// Reads the chart at chartPath with the viewer's reader (every sound decoded once, kept in
// memory), compiles it, builds the lanes, seeks, and renders into the WAV file outPath: written
// under a temporary name and renamed once complete. A sound that fails to load is reported with
// the viewer's "LoadFailed:<path>" line on err and left out. Returns 0, or 1 with a one-line
// reason on err (nothing is left at outPath then). The lane groups are freed again.
int RenderChartToWav(const char* chartPath, const char* outPath, const RenderOptions& options, FILE* err,
                     RenderProgress progress, void* progressContext, RenderSummary* summary);
