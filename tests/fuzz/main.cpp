// ktbfuzz: the reliability program of KTB Viewer.
//
//   ktbfuzz fuzz [options]              mutation fuzzing of the chart reader/compiler/lanes/frame
//                                       update, the WAV and XA loaders with streaming, the XA decoder
//   ktbfuzz one TARGET FILE [options]   one saved input, unmutated (to reproduce a report)
//   ktbfuzz corpus DIR                  writes the seed corpus into DIR/chart, DIR/wav, DIR/xa
//   ktbfuzz reload [--count N]          N reloads through the window's reload path, memory measured
//   ktbfuzz flood [--count N]           N random remote-control messages posted to a viewer window
//   ktbfuzz missing                     missing pieces: sounds deleted or missing, no xadec.dll
//   ktbfuzz longplay --seconds S        a looping demo for S seconds, memory measured
//   ktbfuzz bigchart --mb N [--dense]   a chart file of N megabytes, loaded and played
//   ktbfuzz selftest                    the checked mode catches overruns, use after free, hangs...
//
// Options: --seed N, --iterations N or chart=N,wav=N,... (mutated inputs per target), --seconds S
// (for all targets together), --targets chart,wav,xa,xadec,
// --work DIR, --demo FILE, --regress DIR, --timeout MS (per input), --no-guard, --verbose.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "Corpus.h"
#include "Fuzz.h"
#include "SelfTest.h"
#include "Soak.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

int Usage()
{
    fprintf(stderr,
            "usage: ktbfuzz fuzz|one TARGET FILE|corpus DIR|reload|flood|missing|longplay|bigchart|selftest [options]\n"
            "  --seed N --iterations N --seconds S --targets chart,wav,xa,xadec --work DIR --demo FILE\n"
            "  --regress DIR --timeout MS --no-guard --verbose --count N --mb N --viewer-dir DIR\n");
    return 2;
}

int WriteCorpus(const std::string& dir, const std::string& demo)
{
    CreateDirectoryA(dir.c_str(), nullptr);
    Bytes demoBytes;
    std::string demoText;
    if (!demo.empty() && ReadFileBytes(demo, &demoBytes))
        demoText.assign(demoBytes.begin(), demoBytes.end());
    struct {
        const char* folder;
        std::vector<Seed> seeds;
    } sets[] = {{"chart", MakeChartSeeds(demoText)}, {"wav", MakeWavSeeds()}, {"xa", MakeXaSeeds()}};
    int written = 0;
    for (auto& set : sets) {
        std::string folder = dir + "\\" + set.folder;
        CreateDirectoryA(folder.c_str(), nullptr);
        for (const Seed& seed : set.seeds)
            written += WriteFileBytes(folder + "\\" + seed.name, seed.bytes) ? 1 : 0;
    }
    WriteChartSounds(dir + "\\chart");
    printf("%d seed files written to %s\n", written, dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    std::string mode = argv[1];
    FuzzOptions fuzz;
    SoakOptions soak;
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "ktbfuzz: %s needs a value\n", name);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--seed")
            fuzz.seed = strtoull(value("--seed"), nullptr, 10);
        else if (a == "--iterations") {
            // N for every target, or target=N,target=N,...
            std::string text = value("--iterations");
            if (text.find('=') == std::string::npos) {
                fuzz.iterations = strtoll(text.c_str(), nullptr, 10);
            } else {
                for (const std::string& part : Split(text, ',')) {
                    size_t eq = part.find('=');
                    if (eq != std::string::npos)
                        fuzz.targetIterations.push_back({part.substr(0, eq), strtoll(part.c_str() + eq + 1, nullptr, 10)});
                }
            }
        }
        else if (a == "--seconds")
            soak.seconds = fuzz.seconds = atof(value("--seconds"));
        else if (a == "--targets")
            fuzz.targets = Split(value("--targets"), ',');
        else if (a == "--work")
            soak.workDir = fuzz.workDir = value("--work");
        else if (a == "--demo")
            soak.demoChart = fuzz.demoChart = value("--demo");
        else if (a == "--regress")
            fuzz.regressDir = value("--regress");
        else if (a == "--timeout")
            fuzz.timeoutMs = (unsigned)strtoul(value("--timeout"), nullptr, 10);
        else if (a == "--no-guard")
            fuzz.guarded = false;
        else if (a == "--verbose")
            fuzz.verbose = soak.verbose = true;
        else if (a == "--count")
            soak.count = atoi(value("--count"));
        else if (a == "--mb")
            soak.megabytes = atoi(value("--mb"));
        else if (a == "--dense")
            soak.dense = true;
        else if (a == "--viewer-dir")
            soak.viewerDir = value("--viewer-dir");
        else if (a.compare(0, 2, "--") == 0)
            return Usage();
        else
            positional.push_back(a);
    }
    soak.seed = fuzz.seed;

    if (mode == "fuzz")
        return RunFuzz(fuzz);
    if (mode == "selftest")
        return RunSelfTest();
    if (mode == "selftest-case" && positional.size() == 1)
        return RunSelfTestCase(positional[0]);
    if (mode == "one" && positional.size() == 2)
        return RunOne(positional[0], positional[1], fuzz);
    if (mode == "corpus" && positional.size() == 1)
        return WriteCorpus(positional[0], fuzz.demoChart);
    if (mode == "reload")
        return RunReloadLoop(soak);
    if (mode == "flood")
        return RunFlood(soak);
    if (mode == "missing")
        return RunMissingPieces(soak);
    if (mode == "longplay")
        return RunLongPlay(soak);
    if (mode == "bigchart")
        return RunBigChart(soak);
    return Usage();
}
