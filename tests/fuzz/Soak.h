// The soak checks: many reloads, a message flood, missing pieces, a long play, a huge chart.
#pragma once
#include <stdint.h>

#include <string>

struct SoakOptions {
    uint64_t seed = 1;
    int count = -1;           // reloads or messages (-1: the check's own default)
    double seconds = 0.0;     // long play
    int megabytes = 0;        // big chart (0: the check's own default)
    bool dense = false;       // big chart: note lines with distinct positions instead of filler
    std::string workDir = "fuzz-work";
    std::string demoChart;    // demo/demo.ktb (its sounds beside it)
    std::string viewerDir;    // where KTBViewer.exe and xadec.dll are (the build directory)
    bool verbose = false;
};

int RunReloadLoop(const SoakOptions& options);
int RunFlood(const SoakOptions& options);
int RunMissingPieces(const SoakOptions& options);
int RunLongPlay(const SoakOptions& options);
int RunBigChart(const SoakOptions& options);
