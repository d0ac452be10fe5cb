// A settable clock for the play clock and the frame update (replaces g_clock while alive).
#pragma once
#include "app/Globals.h"

class FakeClock {
public:
    explicit FakeClock(DWORD start = 100000) : m_saved(g_clock)
    {
        s_now = start;
        g_clock = Read;
    }
    ~FakeClock() { g_clock = m_saved; }
    void Advance(DWORD ms) { s_now += ms; }
    DWORD Now() const { return s_now; }

private:
    static DWORD Read() { return s_now; }
    static inline DWORD s_now = 0;
    ClockSource m_saved;
};
