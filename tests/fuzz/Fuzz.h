// The mutation fuzzer over the chart reader, the compiler, the lane builders and the frame update,
// the WAV and XA loaders with their stream refills, and the XA decoder.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct FuzzOptions {
    uint64_t seed = 1;
    long long iterations = -1;  // mutated inputs per target (-1: until the time is up)
    std::vector<std::pair<std::string, long long>> targetIterations;  // per-target counts (override)
    double seconds = 0.0;       // time for all targets together (0: by iterations only)
    std::vector<std::string> targets;  // chart, wav, xa, xadec
    std::string workDir = "fuzz-work";
    std::string demoChart;      // demo/demo.ktb, added to the chart seeds when readable
    std::string regressDir;     // tests/fuzz/regress: saved inputs run first, unmutated
    unsigned timeoutMs = 10000; // per input
    bool guarded = true;
    bool verbose = false;
};

// Returns 0 when every input loaded or failed cleanly. A fault, a hang or a failed check ends the
// process from inside (FaultGuard) with exit code 3 or 4.
int RunFuzz(const FuzzOptions& options);

// Runs one saved input of a target once (unmutated), for reproducing a report.
int RunOne(const std::string& target, const std::string& path, const FuzzOptions& options);
