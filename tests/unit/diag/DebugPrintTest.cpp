#include <gtest/gtest.h>

#include <string>

#include "fakes/DebugCapture.h"
#include "sound/DebugPrint.h"

TEST(DebugPrint, FormatsOneLineAndReturnsOne)
{
    DebugCapture capture;
    EXPECT_EQ(1, DebugPrint("LoadFailed:%s\n", "C:\\snd\\kick.wav"));
    EXPECT_EQ(1, DebugPrint("-N Option = %d\n", -3));
    ASSERT_EQ(2u, capture.Lines().size());
    EXPECT_EQ("LoadFailed:C:\\snd\\kick.wav\n", capture.Lines()[0]);
    EXPECT_EQ("-N Option = -3\n", capture.Lines()[1]);
}

TEST(DebugPrint, CutsLongLinesAt259Characters)
{
    DebugCapture capture;
    std::string path(400, 'x');
    DebugPrint("CDSBuffer::LoadWav %s Open Error\n", path.c_str());
    ASSERT_EQ(1u, capture.Lines().size());
    const std::string& line = capture.Lines()[0];
    EXPECT_EQ(259u, line.size());
    EXPECT_EQ("CDSBuffer::LoadWav xxx", line.substr(0, 22));
}

TEST(DebugPrint, DialogLinesStayOneLineEvenWhenCut)
{
    DebugCapture capture;
    DebugPrintDialog("MessageBox", "VersionInfo", "KTB Viewer 0.05\n  (c)");
    DebugPrintDialog("Dialog", "Open KTB file", nullptr);
    DebugPrintDialog("MessageBox", "FileLoadError!", std::string(300, 'p').c_str());
    ASSERT_EQ(3u, capture.Lines().size());
    EXPECT_EQ("MessageBox \"VersionInfo\": KTB Viewer 0.05   (c)\n", capture.Lines()[0]);
    EXPECT_EQ("Dialog \"Open KTB file\"\n", capture.Lines()[1]);
    EXPECT_EQ(259u, capture.Lines()[2].size());
    EXPECT_EQ('\n', capture.Lines()[2].back());
}

TEST(DebugPrint, NamesDirectSoundResults)
{
    DebugCapture capture;
    DebugPrintHResult(0);
    DebugPrintHResult((HRESULT)0x88780096);  // DSERR_BUFFERLOST has no name of its own
    DebugPrintHResult((HRESULT)0x80070057);
    DebugPrintHResult((HRESULT)0x887800BE);
    DebugPrintHResult((HRESULT)0x80004001);
    DebugPrintHResult((HRESULT)0x887800B4);
    DebugPrintHResult((HRESULT)1);
    std::vector<std::string> expected = {
        "HRESULT->DS_OK\n",
        "HRESULT->UnknownError\n",
        "HRESULT->DSERR_INVALIDPARAM\n",
        "HRESULT->DSERR_DS8_REQUIRED\n",
        "HRESULT->DSERR_UNSUPPORTED\n",
        "HRESULT->DSERR_BUFFERTOOSMALL\n",
        "HRESULT->UnknownError\n",
    };
    EXPECT_EQ(expected, capture.Lines());
}

TEST(DebugPrint, ReachesTheDebuggerOutputWithoutHook)
{
    // No hook: the line goes to OutputDebugStringA and nothing is captured.
    SetDebugOutputHook(nullptr);
    EXPECT_EQ(1, DebugPrint("plain line\n"));
}
