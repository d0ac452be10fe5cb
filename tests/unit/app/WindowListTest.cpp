#include <gtest/gtest.h>

#include "app/WindowList.h"
#include "fakes/DebugCapture.h"

namespace {

class WindowListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KTBListTest_ZW";
        RegisterClassA(&wc);
        for (HWND& w : m_windows)
            w = CreateWindowA("KTBListTest_ZW", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
    }
    void TearDown() override
    {
        for (HWND w : m_windows)
            DestroyWindow(w);
    }
    HWND m_windows[2];
};

TEST_F(WindowListTest, FindsEveryWindowOfTheClassExactly)
{
    CWindowList list;
    {
        DebugCapture capture;
        EXPECT_EQ(0, list.FindClass("KTBListTest_ZW", nullptr));
        ASSERT_EQ(2, list.m_foundCount);
        EXPECT_EQ(std::vector<std::string>({"SameClassName!\n", "SameClassName!\n"}), capture.Lines());
    }
    EXPECT_TRUE((list.m_found[0] == m_windows[0] && list.m_found[1] == m_windows[1]) ||
                (list.m_found[0] == m_windows[1] && list.m_found[1] == m_windows[0]));
    EXPECT_GE(list.m_allCount, 2);

    EXPECT_EQ(0, list.FindClass("KTBListTest_ZW", m_windows[0]));  // excluded window
    ASSERT_EQ(1, list.m_foundCount);
    EXPECT_EQ(m_windows[1], list.m_found[0]);

    DebugCapture capture;
    EXPECT_EQ(0, list.FindClass("ktblisttest_zw", nullptr));  // case-sensitive
    EXPECT_EQ(0, list.m_foundCount);
    EXPECT_EQ(0, list.FindClass("KTBListTest_Z", nullptr));  // same prefix, other length
    EXPECT_EQ(0, list.m_foundCount);
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
