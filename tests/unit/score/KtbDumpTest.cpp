// ktbdump, run in-process: whole outputs against the expected files in tests/data/ktbdump, and
// the failure exits.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "fakes/ChartFiles.h"
#include "score/ChartDump.h"

namespace {

// The data folder as a Windows path (KTB_SOURCE_DIR is a Unix path when run under Wine).
std::string DataDir()
{
    const char* source = getenv("KTB_SOURCE_DIR");
    if (!source || !*source)
        return "";
    std::string dir = source;
    if (dir[0] == '/')
        dir = "Z:" + dir;
    for (char& c : dir)
        if (c == '/')
            c = '\\';
    return dir + "\\tests\\data\\ktbdump\\";
}

std::string ReadAll(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

struct DumpRun {
    int code;
    std::string out;
    std::string err;
};

DumpRun RunDump(std::vector<std::string> args)
{
    TempFolder folder;
    std::string outPath = folder.Write("out.txt", "");
    std::string errPath = folder.Write("err.txt", "");
    FILE* out = fopen(outPath.c_str(), "wb");
    FILE* err = fopen(errPath.c_str(), "wb");
    args.insert(args.begin(), "ktbdump");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    DumpRun r;
    r.code = KtbDumpMain((int)argv.size(), argv.data(), out, err);
    fclose(out);
    fclose(err);
    r.out = ReadAll(outPath);
    r.err = ReadAll(errPath);
    return r;
}

}  // namespace

TEST(KtbDump, WholeOutputsMatchTheExpectedFiles)
{
    const std::string dir = DataDir();
    if (dir.empty())
        GTEST_SKIP() << "KTB_SOURCE_DIR is not set";
    struct {
        const char* chart;
        const char* option;
        const char* expected;
    } cases[] = {
        {"basic.ktb", nullptr, "basic.txt"},
        {"basic.ktb", "-N2", "basic_n2.txt"},
        {"tempo.ktb", "/n1", "tempo_n1.txt"},
    };
    for (const auto& k : cases) {
        std::vector<std::string> args;
        if (k.option)
            args.push_back(k.option);
        args.push_back(dir + k.chart);
        DumpRun r = RunDump(args);
        EXPECT_EQ(0, r.code) << k.expected << ": " << r.err;
        std::string expected = ReadAll(dir + k.expected);
        ASSERT_FALSE(expected.empty()) << k.expected;
        EXPECT_EQ(expected, r.out) << k.expected;
        EXPECT_EQ("", r.err);
    }
}

TEST(KtbDump, FailuresExitWithOneAndAReason)
{
    DumpRun none = RunDump({});
    EXPECT_EQ(1, none.code);
    EXPECT_NE(std::string::npos, none.err.find("usage: ktbdump [-N<measure>] CHART"));

    DumpRun option = RunDump({"-X", "a.ktb"});
    EXPECT_EQ(1, option.code);
    EXPECT_NE(std::string::npos, option.err.find("unknown option -X"));

    DumpRun missing = RunDump({"Z:\\no\\such\\chart.ktb"});
    EXPECT_EQ(1, missing.code);
    EXPECT_NE(std::string::npos, missing.err.find("cannot open"));
    EXPECT_EQ("", missing.out);

    TempFolder folder;
    std::string noteless = folder.Write("noteless.ktb", CrLf({"#TITLE nothing", "#001TC:20"}));
    DumpRun empty = RunDump({noteless});
    EXPECT_EQ(1, empty.code);
    EXPECT_NE(std::string::npos, empty.err.find("no guitar, bass, drum or sound-channel note"));
    EXPECT_EQ("", empty.out);
}

TEST(KtbDump, SmallChartPrintsEveryItemInOrder)
{
    TempFolder folder;
    std::string chart = folder.Write("one.ktb", CrLf({"#TITLE One", "#WAV01", "#001HH:01"}));
    DumpRun r = RunDump({chart});
    ASSERT_EQ(0, r.code) << r.err;
    const std::string dir = folder.Path() + "\\";
    std::string expected =
        "title  One\n"
        "artist \n"
        "bpm 0.000000\n"
        "measures 3\n"
        "end 7500\n"
        "seek 0\n"
        "wav 01 " + dir + "\n"
        "measure 0 1500.0000 2000.0000 1.000000\n"
        "measure 1 3500.0000 2000.0000 1.000000\n"
        "measure 2 5500.0000 0.0000 1.000000\n"
        "lane drum 1 0 3500 1 5761 1.000000 1 1 " + dir + "\n";
    for (int i = 0; i < 9; ++i) {
        char line[96];
        int k = i / 4;
        snprintf(line, sizeof(line), "lane drum 8 %d %d %d %d %.6f 1 1 -\n", i, 1500 + 500 * i, i % 4 ? 101 : 100,
                 i % 4 ? 0 : k, i / 4.0);
        expected += line;
    }
    expected += "totals 1 0 0\n";
    EXPECT_EQ(expected, r.out);
}
