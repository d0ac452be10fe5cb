#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/Globals.h"
#include "app/MainWindow.h"
#include "chart/CChart.h"
#include "display/CDDraw.h"
#include "score/Lanes.h"
#include "sound/CDSound.h"

namespace {

std::string Title(const char* p1, const char* p2, const char* p3, const char* p4)
{
    char text[112];
    ComposeWindowTitle(text, sizeof(text), p1, p2, p3, p4);
    return text;
}

}  // namespace

TEST(WindowTitle, JoinsTitleAndArtistWithTheirBrackets)
{
    EXPECT_EQ("Song  [Band ]", Title("Song", "  [", "Band", " ]"));
    EXPECT_EQ("  [ ]", Title("", "  [", "", " ]"));
    EXPECT_EQ("Song  [Band ] Loading...", Title("Song", "  [", "Band", " ] Loading..."));
    EXPECT_EQ("NowLoading...", Title("NowLoading...", "", "", ""));
}

TEST(WindowTitle, CutsTheTitleAtFiftyAndTheArtistAtForty)
{
    const std::string title60 = std::string(50, 'T') + "0123456789";
    const std::string artist50 = std::string(40, 'A') + "0123456789";
    const std::string text = Title(title60.c_str(), "  [", artist50.c_str(), " ] Loading...");
    EXPECT_EQ(std::string(50, 'T') + "  [" + std::string(40, 'A') + " ] Loading...", text);
    EXPECT_EQ(106u, text.size());
}

TEST(WindowTitle, LongFixedPiecesAndNullPiecesStayInsideTheBuffer)
{
    const std::string longPiece(300, 'x');
    char text[112];
    memset(text, '#', sizeof(text));
    ComposeWindowTitle(text, sizeof(text), longPiece.c_str(), longPiece.c_str(), longPiece.c_str(), longPiece.c_str());
    EXPECT_EQ(111u, strlen(text));
    EXPECT_EQ(std::string(111, 'x'), std::string(text));

    char small[8];
    ComposeWindowTitle(small, sizeof(small), "Song", "  [", "Band", " ]");
    EXPECT_STREQ("Song  [", small);

    EXPECT_EQ("Song", Title("Song", nullptr, nullptr, nullptr));
}

TEST(WindowTitle, SetsTheTextOfAWindowAndIgnoresANullWindow)
{
    SetWindowTitle(nullptr, "Song", "  [", "Band", " ]");  // no window, nothing happens

    HWND window = CreateWindowExA(0, "STATIC", "before", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, window);
    const std::string title60 = std::string(60, 'S');
    SetWindowTitle(window, title60.c_str(), "  [", "Band", " ]");
    char text[256] = {0};
    GetWindowTextA(window, text, sizeof(text));
    EXPECT_EQ(std::string(50, 'S') + "  [Band ]", std::string(text));
    DestroyWindow(window);
}

namespace {

// Records the state of the other globals at the moment the display is deleted.
int g_displayDeletes = 0;
bool g_soundGoneFirst = false;
bool g_chartStillThere = false;

class CountingDisplay : public CDDraw {
public:
    ~CountingDisplay() override
    {
        ++g_displayDeletes;
        g_soundGoneFirst = g_sound == nullptr;
        g_chartStillThere = g_chart != nullptr;
    }
};

}  // namespace

TEST(Shutdown, ReleasesSoundDisplayChartAndLanesOnceInThatOrder)
{
    g_displayDeletes = 0;
    g_sound = new CDSound();
    g_display = new CountingDisplay();
    g_chart = new CChart(nullptr);
    g_drumLanes[3] = new LaneNote[4]();
    g_drumLaneCounts[3] = 4;
    g_soundLanes[35] = new LaneNote[1]();
    g_soundLaneCounts[35] = 1;

    ShutdownApp();
    EXPECT_EQ(1, g_displayDeletes);
    EXPECT_TRUE(g_soundGoneFirst);
    EXPECT_TRUE(g_chartStillThere);
    EXPECT_EQ(nullptr, g_sound);
    EXPECT_EQ(nullptr, g_display);
    EXPECT_EQ(nullptr, g_chart);
    EXPECT_EQ(nullptr, g_drumLanes[3]);
    EXPECT_EQ(nullptr, g_soundLanes[35]);
    EXPECT_EQ(4, g_drumLaneCounts[3]);  // counts are left as they are

    ShutdownApp();  // the second run finds nothing to release
    EXPECT_EQ(1, g_displayDeletes);
    EXPECT_EQ(nullptr, g_display);
    g_drumLaneCounts[3] = 0;
    g_soundLaneCounts[35] = 0;
}
