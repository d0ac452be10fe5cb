// The top-level windows of the desktop and those among them of one window class: how a start of
// the viewer finds the viewers that already run.
#pragma once
#include <windows.h>

class CWindowList {
public:
    CWindowList();
    ~CWindowList();

    // Lists every top-level window (earlier lists are dropped). 0 on success, 1 when the
    // enumeration failed.
    int EnumAll();
    // Lists every top-level window whose class name is exactly className (case-sensitive),
    // except excluded. 0 when all windows were examined, 1 after a failure; the windows found
    // before a failure stay in the found list.
    int FindClass(const char* className, HWND excluded);
    // Appends to the lists; each append grows its array by exactly one element.
    void AppendAll(HWND window);
    void AppendFound(HWND window);
    void Clear();

    HWND* m_all;
    int m_allCount;
    HWND* m_found;
    int m_foundCount;

private:
    CWindowList(const CWindowList&) = delete;
    CWindowList& operator=(const CWindowList&) = delete;
};
