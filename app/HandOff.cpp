#include "app/HandOff.h"

#include <string.h>

#include "app/ChartSession.h"
#include "app/CommandLine.h"
#include "app/Globals.h"

int MakeHandOffPath(const char* text, char* out)
{
    char path[KTB_PATH_SIZE];
    CopyChartPath(path, sizeof(path), text ? text : "");
    RemoveQuotes(path, sizeof(path));
    memset(out, 0, KTB_PATH_SIZE);
    if (path[0] == '\0')
        return 0;
    DWORD length = GetFullPathNameA(path, KTB_PATH_SIZE, out, nullptr);
    if (length == 0 || length >= KTB_PATH_SIZE) {
        memset(out, 0, KTB_PATH_SIZE);
        return 0;
    }
    return 1;
}

int SendHandOff(HWND viewer, const char* path, UINT timeoutMs)
{
    COPYDATASTRUCT data;
    memset(&data, 0, sizeof(data));
    data.dwData = VIEWER_COPYDATA_LOAD;
    data.cbData = (DWORD)strlen(path) + 1;
    data.lpData = const_cast<char*>(path);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(viewer, WM_COPYDATA, 0, (LPARAM)&data, SMTO_ABORTIFHUNG, timeoutMs, &answer))
        return 2;
    return answer == TRUE ? 0 : 1;
}

const char* HandOffOutcome(int result)
{
    static const char* const kOutcome[] = {"loaded", "refused", "no answer"};
    return result >= 0 && result <= 2 ? kOutcome[result] : "no answer";
}

int ReadHandOff(const COPYDATASTRUCT* data, char* path)
{
    memset(path, 0, KTB_PATH_SIZE);
    if (!data || data->dwData != VIEWER_COPYDATA_LOAD || !data->lpData || data->cbData == 0)
        return 0;
    size_t limit = data->cbData < KTB_PATH_SIZE ? data->cbData : KTB_PATH_SIZE;
    const char* text = static_cast<const char*>(data->lpData);
    const void* end = memchr(text, '\0', limit);
    if (!end || end == text)
        return 0;
    memcpy(path, text, (size_t)(static_cast<const char*>(end) - text));
    RemoveQuotes(path, KTB_PATH_SIZE);
    return path[0] != '\0';
}
