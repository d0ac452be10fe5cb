#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Globals.h"
#include "app/Startup.h"
#include "fakes/DebugCapture.h"

namespace {

std::string ReadValue(const char* line, char* letter = nullptr)
{
    OptionToken token;
    ReadOptionToken(line, &token);
    if (letter)
        *letter = token.letter;
    return token.value;
}

TEST(SpeedOption, KeepsWholeHundredthsInsideTheBounds)
{
    EXPECT_FLOAT_EQ(8.0f, ParseSpeedOption("8"));
    EXPECT_FLOAT_EQ(0.28f, ParseSpeedOption("0.29"));  // 28.999... truncated
    EXPECT_FLOAT_EQ(2.0f, ParseSpeedOption("2"));
    EXPECT_FLOAT_EQ(0.11f, ParseSpeedOption("0.11"));
    EXPECT_FLOAT_EQ(1.5f, ParseSpeedOption("1.5xyz"));  // atof stops at the first other character
}

TEST(SpeedOption, FallsBackToHalfOutsideTheBounds)
{
    // 0.1 itself lies below the single-precision bound 0.100000001490116.
    for (const char* text : {"0.1", "0", "", "abc", "8.01", "-2", "1e10", "nan", "inf"})
        EXPECT_FLOAT_EQ(0.5f, ParseSpeedOption(text)) << text;
}

TEST(SpeedOption, ForwardsTheHundredthsThatWereSet)
{
    for (int h = 10; h <= 800; ++h) {
        float speed = (float)(h * 0.01f);
        ASSERT_EQ(h, SpeedToHundredths(speed)) << h;
    }
}

TEST(CoordinateAndMeasureValues, FollowAtoi)
{
    EXPECT_EQ(-1, ParseCoordinateOption(""));
    EXPECT_EQ(100, ParseCoordinateOption("100"));
    EXPECT_EQ(-20, ParseCoordinateOption("-20px"));
    EXPECT_EQ(0, ParseCoordinateOption("abc"));
    EXPECT_EQ(12, ParseIntLikeAtoi(" 12 song.ktb"));
    EXPECT_EQ(12, ParseIntLikeAtoi("\t+12"));
    EXPECT_EQ(0, ParseIntLikeAtoi("song.ktb"));
    EXPECT_EQ(2147483647, ParseIntLikeAtoi("99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ParseIntLikeAtoi("-99999999999999999999"));
}

TEST(OptionToken, LetterInEitherCaseAndValueUpToTheNextSpace)
{
    char letter = 0;
    EXPECT_EQ("2", ReadValue("-m2 song", &letter));
    EXPECT_EQ('M', letter);
    EXPECT_EQ("abc\t-P", ReadValue("/Mabc\t-P song", &letter));  // a tab does not end the token
    EXPECT_EQ('M', letter);
    EXPECT_EQ("", ReadValue("-X song", &letter));
    EXPECT_EQ('X', letter);
    ReadValue("-", &letter);
    EXPECT_EQ(0, letter);

    std::string longValue = "-M" + std::string(300, '1');
    EXPECT_EQ(127u, ReadValue(longValue.c_str()).size());
}

TEST(ChartPath, QuotesAndLength)
{
    char path[260];
    CopyChartPath(path, sizeof(path), "\"C:\\my songs\\a b.ktb\"");
    RemoveQuotes(path, sizeof(path));
    EXPECT_STREQ("C:\\my songs\\a b.ktb", path);

    CopyChartPath(path, sizeof(path), "\"C:\\x y.ktb\" ");  // blank after the closing quote
    RemoveQuotes(path, sizeof(path));
    EXPECT_STREQ("C:\\x y.ktb\" ", path);

    CopyChartPath(path, sizeof(path), "song.ktb\"");
    RemoveQuotes(path, sizeof(path));
    EXPECT_STREQ("song.ktb", path);

    CopyChartPath(path, sizeof(path), "\"");
    RemoveQuotes(path, sizeof(path));
    EXPECT_STREQ("", path);

    std::string longPath(400, 'p');
    CopyChartPath(path, sizeof(path), longPath.c_str());
    EXPECT_EQ(259u, strlen(path));
}

// Start-up's option scans, with hidden windows of our own standing in for running viewers.
class OptionScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_remoteDisabled = 0;
        g_scrollSpeed = 0.5f;
        g_startMeasure = -1;
        g_isPlaying = 0;
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KTBOptionScanTarget";
        RegisterClassA(&wc);
        for (HWND& w : m_windows)
            w = CreateWindowA("KTBOptionScanTarget", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    }
    void TearDown() override
    {
        for (HWND w : m_windows)
            DestroyWindow(w);
        g_remoteDisabled = 0;
        g_scrollSpeed = 0.5f;
        g_startMeasure = -1;
        g_isPlaying = 0;
    }
    // Messages waiting for window i, as (message, wParam) pairs.
    std::vector<std::pair<UINT, int>> Posted(int i)
    {
        std::vector<std::pair<UINT, int>> out;
        MSG msg;
        while (PeekMessageA(&msg, m_windows[i], WM_USER, WM_USER + 1000, PM_REMOVE))
            out.push_back({msg.message, (int)msg.wParam});
        return out;
    }
    int Scan(const char* line, int found, StartOptions* options)
    {
        options->rest = nullptr;
        return ProcessOptions(line, m_windows, found, options);
    }
    HWND m_windows[2];
};

using Messages = std::vector<std::pair<UINT, int>>;

TEST_F(OptionScanTest, NoViewerRunning)
{
    DebugCapture capture;
    StartOptions o;
    EXPECT_EQ(0, Scan("  -X100 -y20 -m2 -N 12 song.ktb -P", 0, &o));
    EXPECT_EQ(100, o.x);
    EXPECT_EQ(20, o.y);
    EXPECT_FLOAT_EQ(2.0f, g_scrollSpeed);
    EXPECT_EQ(12, g_startMeasure);
    EXPECT_STREQ("12 song.ktb -P", o.rest);  // options after the path belong to it
    EXPECT_EQ(0, g_isPlaying);
    EXPECT_EQ(std::vector<std::string>{"-N Option = 12\n"}, capture.Lines());

    EXPECT_EQ(0, Scan("-X -Y -W -Z \"my song.ktb\"", 0, &o));
    EXPECT_EQ(-1, o.x);
    EXPECT_EQ(-1, o.y);
    EXPECT_STREQ("\"my song.ktb\"", o.rest);

    capture.Clear();
    EXPECT_EQ(0, Scan("/p", 0, &o));
    EXPECT_EQ(1, g_isPlaying);
    EXPECT_STREQ("", o.rest);
    EXPECT_EQ(std::vector<std::string>{"-P Option ON\n"}, capture.Lines());

    EXPECT_EQ(1, Scan("-Q song.ktb", 0, &o));  // Q always ends start-up
    EXPECT_EQ(0, Scan("-R -S song.ktb", 0, &o));
}

TEST_F(OptionScanTest, ForwardsToTheOneViewerFound)
{
    StartOptions o;
    EXPECT_EQ(1, Scan("-N5 song.ktb", 1, &o));
    EXPECT_EQ((Messages{{WM_VIEWER_PLAY_FROM, 5}}), Posted(0));

    // 0.57 is 56.99... hundredths, kept as 56, and 56 is what the running viewer gets.
    EXPECT_EQ(1, Scan("-M0.57 -X10 -S -Q", 1, &o));  // S ends it: Q is not read
    EXPECT_EQ((Messages{{WM_VIEWER_SPEED, 56}, {WM_VIEWER_PAUSE, 0}}), Posted(0));

    EXPECT_EQ(1, Scan("-P", 1, &o));
    EXPECT_EQ((Messages{{WM_VIEWER_RESUME, 0}}), Posted(0));
    EXPECT_EQ(0, g_isPlaying);

    EXPECT_EQ(1, Scan("-R", 1, &o));
    EXPECT_EQ((Messages{{WM_VIEWER_RESTART, 0}}), Posted(0));

    EXPECT_EQ(1, Scan("-Q", 1, &o));
    EXPECT_EQ((Messages{{WM_VIEWER_QUIT, 0}}), Posted(0));

    EXPECT_EQ(1, Scan("song.ktb", 1, &o));  // the path is not passed on
    EXPECT_TRUE(Posted(0).empty());
}

TEST_F(OptionScanTest, TwoViewersGetNothing)
{
    StartOptions o;
    EXPECT_EQ(1, Scan("-N5 -M2 -S song.ktb", 2, &o));
    EXPECT_TRUE(Posted(0).empty());
    EXPECT_TRUE(Posted(1).empty());
}

TEST_F(OptionScanTest, RemoteOffStartsAViewerOfItsOwn)
{
    StartOptions o;
    EXPECT_EQ(0, Scan("-N3 -d song.ktb", 1, &o));
    EXPECT_EQ(1, g_remoteDisabled);
    EXPECT_EQ(3, g_startMeasure);
    EXPECT_STREQ("song.ktb", o.rest);
    // Once from the first scan, once when start-up goes on as a viewer; nothing else.
    EXPECT_EQ((Messages{{WM_VIEWER_REMOTE_OFF, 0}, {WM_VIEWER_REMOTE_OFF, 0}}), Posted(0));

    g_remoteDisabled = 0;
    EXPECT_EQ(0, Scan("-D -S song.ktb", 2, &o));
    EXPECT_EQ((Messages{{WM_VIEWER_REMOTE_OFF, 0}, {WM_VIEWER_REMOTE_OFF, 0}}), Posted(0));
    EXPECT_EQ((Messages{{WM_VIEWER_REMOTE_OFF, 0}, {WM_VIEWER_REMOTE_OFF, 0}}), Posted(1));
}

}  // namespace
