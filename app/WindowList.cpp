#include "app/WindowList.h"

#include <string.h>

#include "sound/DebugPrint.h"

static void AppendOne(HWND*& array, int& count, HWND window)
{
    HWND* grown = new HWND[count + 1];
    for (int i = 0; i < count; ++i)
        grown[i] = array[i];
    grown[count] = window;
    delete[] array;
    array = grown;
    ++count;
}

CWindowList::CWindowList() : m_all(nullptr), m_allCount(0), m_found(nullptr), m_foundCount(0) {}

CWindowList::~CWindowList() { Clear(); }

void CWindowList::Clear()
{
    delete[] m_all;
    m_all = nullptr;
    m_allCount = 0;
    delete[] m_found;
    m_found = nullptr;
    m_foundCount = 0;
}

void CWindowList::AppendAll(HWND window) { AppendOne(m_all, m_allCount, window); }

void CWindowList::AppendFound(HWND window) { AppendOne(m_found, m_foundCount, window); }

static BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    reinterpret_cast<CWindowList*>(context)->AppendAll(window);
    return TRUE;
}

int CWindowList::EnumAll()
{
    Clear();
    if (!EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(this)))
        return 1;
    return 0;
}

int CWindowList::FindClass(const char* className, HWND excluded)
{
    if (EnumAll() != 0)
        return 1;
    for (int i = 0; i < m_allCount; ++i) {
        char name[256];
        int length = GetClassNameA(m_all[i], name, sizeof(name));
        if (length == 0) {
            DebugPrint("GetClassNameError\n");
            return 1;
        }
        if (strcmp(name, className) == 0 && m_all[i] != excluded) {
            DebugPrint("SameClassName!\n");
            AppendFound(m_all[i]);
        }
    }
    return 0;
}
