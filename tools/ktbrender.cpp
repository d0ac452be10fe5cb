// ktbrender [-N<m>] [-r RATE] [--frames] CHART OUT.wav: renders what the viewer would play of a
// chart, from measure m (default: the start) to its end and the ring-out of its last sounds,
// into a 16-bit stereo PCM WAV file (44100 Hz unless -r says otherwise).
//   --frames  each sound starts on the first 16 ms frame boundary at or after its time, as the
//             viewer at 60 frames per second starts it
// Prints a summary line on stdout; errors, and "LoadFailed:<path>" for each sound that does not
// load, on stderr. Exit code 0; 1 when the chart cannot be read or the file not written; 2 for
// a wrong command line.
#include <windows.h>
#include <io.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "score/ChartRender.h"

namespace {

const char kUsage[] = "usage: ktbrender [-N<measure>] [-r RATE] [--frames] CHART OUT.wav";

int UsageError(const char* what, const char* arg)
{
    fprintf(stderr, "ktbrender: %s%s (%s)\n", what, arg, kUsage);
    return 2;
}

// A whole number written in decimal digits only, within [low, high].
bool ParseRate(const char* text, int* rate)
{
    if (!text || !*text || strlen(text) > 9)
        return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    const long value = atol(text);
    if (value < 8000 || value > 192000)
        return false;
    *rate = (int)value;
    return true;
}

// The progress line, on a terminal only, once a render has taken a second.
struct Progress {
    DWORD started;
    DWORD shown;
    int rate;
    bool onTerminal;
    bool drawn;
};

void ShowProgress(void* context, long long done, long long chartFrames)
{
    Progress* p = static_cast<Progress*>(context);
    const DWORD now = GetTickCount();
    if (!p->onTerminal || now - p->started < 1000 || (p->drawn && now - p->shown < 200))
        return;
    fprintf(stderr, "\rktbrender: %.1f s of %.1f s rendered ", done / (double)p->rate, chartFrames / (double)p->rate);
    fflush(stderr);
    p->shown = now;
    p->drawn = true;
}

}  // namespace

int main(int argc, char** argv)
{
    RenderOptions options;
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-' && arg[1] != '\0') {
            if (strcmp(arg, "--frames") == 0) {
                options.frames = 1;
            } else if (arg[1] == 'N' || arg[1] == 'n') {
                options.seekMeasure = atoi(arg + 2);
            } else if (arg[1] == 'r' && arg[2] == '\0') {
                if (i + 1 >= argc || !ParseRate(argv[i + 1], &options.rate))
                    return UsageError("the rate must be a whole number from 8000 to 192000: ",
                                      i + 1 < argc ? argv[i + 1] : "(none)");
                ++i;
            } else if (arg[1] == 'r') {
                if (!ParseRate(arg + 2, &options.rate))
                    return UsageError("the rate must be a whole number from 8000 to 192000: ", arg + 2);
            } else {
                return UsageError("unknown option ", arg);
            }
            continue;
        }
        if (pathCount == 2)
            return UsageError("one chart and one output file, not more: ", arg);
        paths[pathCount++] = arg;
    }
    if (pathCount < 2)
        return UsageError(pathCount == 0 ? "no chart given" : "no output file given", "");
    if (strlen(paths[0]) > 259) {
        fprintf(stderr, "ktbrender: the chart path is longer than 259 characters\n");
        return 1;
    }

    Progress progress = {GetTickCount(), 0, options.rate, _isatty(_fileno(stderr)) != 0, false};
    RenderSummary summary;
    const int result = RenderChartToWav(paths[0], paths[1], options, stderr, ShowProgress, &progress, &summary);
    if (progress.drawn)
        fprintf(stderr, "\r%60s\r", "");
    if (result != 0)
        return 1;
    char peak[32];
    if (summary.peak == 0)
        snprintf(peak, sizeof(peak), "-inf");
    else
        snprintf(peak, sizeof(peak), "%.1f", 20.0 * log10(summary.peak / 32768.0));
    printf("%s: %.3f s at %d Hz%s, %d notes sounded, %d sounds missing, peak %s dBFS, %lld clipped samples\n",
           paths[1], summary.frames / (double)options.rate, options.rate, options.frames ? " (frame starts)" : "",
           summary.notesSounded, summary.soundsMissing, peak, summary.clipped);
    return 0;
}
