#include "app/ChartSession.h"

#include <commdlg.h>
#include <string.h>

#include "app/Globals.h"
#include "app/MainWindow.h"
#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

static const char kChartFilter[] = "KTB(KTC)File(*.ktb|*.ktc)\0*.ktb;*.ktc\0";

int AskChartPath(HWND owner, char* path)
{
    memset(path, 0, KTB_PATH_SIZE);
    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof(ofn));
    ofn.lStructSize = sizeof(OPENFILENAMEA);
    ofn.hwndOwner = owner;
    ofn.hInstance = g_instance;
    ofn.lpstrFilter = kChartFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = KTB_PATH_SIZE;
    ofn.lpstrFileTitle = nullptr;
    ofn.lpstrInitialDir = nullptr;
    ofn.lpstrTitle = "Open KTB file";
    ofn.Flags = 0;
    ofn.lpstrDefExt = "KTB";
    DebugPrintDialog("Dialog", ofn.lpstrTitle, nullptr);
    if (!GetOpenFileNameA(&ofn))
        return 0;
    path[KTB_PATH_SIZE - 1] = '\0';
    return 1;
}

int LoadChart(HWND window, const char* path, int replyFirst)
{
    g_chart = new CChart(g_sound);
    int failure = 0;
    if (g_chart->Load(path, 0, 10, 0) == 0)
        failure = 1;
    else if (g_chart->Compile() != 0)
        failure = 2;
    if (failure != 0) {
        if (replyFirst)
            ReplyMessage(FALSE);
        ShowMessageBox(window, path, failure == 1 ? "FileLoadError!" : "FileCompileError!", MB_ICONWARNING);
    }
    return failure;
}

void PrepareChart(HWND window)
{
    BuildLanesAndSeek(g_chart, g_startMeasure);

    SetWindowTitle(window, g_chart->title, "  [", g_chart->artist, " ] Loading...");
    if (g_sound) {
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->ClearPauseFlag();
        g_sound->Compact();
    }
}
