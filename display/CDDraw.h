// The display: DirectDraw 7 in windowed mode, a primary and a back surface, two picture sheets.
#pragma once
#include <windows.h>
#include <ddraw.h>

class CDDraw {
public:
    CDDraw();
    virtual ~CDDraw();

    int Init(HWND window, int x, int y, int width, int height);
    void FitWindow(HWND window, int x, int y, int width, int height);
    int UploadBitmap(HBITMAP bitmap, int width, int height, int sheet);
    // Virtual so that tests can record what the frame update draws.
    virtual HRESULT Draw(int x, int y, const RECT* source, int sheet);
    virtual HRESULT DrawKeyed(int x, int y, const RECT* source, int sheet);
    virtual int Present();

    IDirectDraw7* m_directDraw;
    IDirectDrawSurface7* m_sheets[5];
    IDirectDrawSurface7* m_front;
    IDirectDrawSurface7* m_back;
    int m_screenWidth, m_screenHeight;
    int m_backWidth, m_backHeight;
    int m_displayWidth, m_displayHeight;
    HWND m_window;
    int m_lastPresentTime;
    int m_currentTime;
};

// The window's client area in screen coordinates.
RECT ClientRectOnScreen(HWND window);
