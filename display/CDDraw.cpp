#include "display/CDDraw.h"

#include "display/PresentMath.h"
#include "sound/DebugPrint.h"

namespace {

const int kSheetCount = 5;
const int kPartsSheet = 0;
const int kBackgroundSheet = 1;
const int kPartsSize = 64;
const int kBackgroundWidth = 432;
const int kBackgroundHeight = 320;

int Fail(HWND window, const char* text)
{
    ShowMessageBox(window, text, "ERROR!", MB_ICONWARNING);
    return 1;
}

void Release(IDirectDrawSurface7*& surface)
{
    if (surface) {
        surface->Release();
        surface = nullptr;
    }
}

// The back surface and the sheets live in system memory. A frame is hundreds of tiny blits
// (4-pixel chips); between system-memory surfaces each is a plain memory copy, while surfaces in
// video memory make every one of them a round trip to the graphics driver (under Wine's OpenGL
// back end some 17 us per chip, and stalls of whole seconds when its queue fills). Only the one
// copy to the screen per frame crosses into video memory.
HRESULT CreatePlainSurface(IDirectDraw7* directDraw, int width, int height, IDirectDrawSurface7** surface)
{
    DDSURFACEDESC2 desc;
    ZeroMemory(&desc, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH;
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_SYSTEMMEMORY;
    desc.dwWidth = (DWORD)width;
    desc.dwHeight = (DWORD)height;
    return directDraw->CreateSurface(&desc, surface, nullptr);
}

HRESULT ReadSize(IDirectDrawSurface7* surface, int* width, int* height)
{
    DDSURFACEDESC2 desc;
    ZeroMemory(&desc, sizeof(desc));
    desc.dwSize = sizeof(desc);
    HRESULT result = surface->GetSurfaceDesc(&desc);
    if (SUCCEEDED(result)) {
        *width = (int)desc.dwWidth;
        *height = (int)desc.dwHeight;
    }
    return result;
}

}  // namespace

CDDraw::CDDraw()
    : m_directDraw(nullptr),
      m_front(nullptr),
      m_back(nullptr),
      m_screenWidth(0),
      m_screenHeight(0),
      m_backWidth(0),
      m_backHeight(0),
      m_displayWidth(640),
      m_displayHeight(480),
      m_window(nullptr),
      m_lastPresentTime(0),
      m_currentTime(0)
{
    for (int i = 0; i < kSheetCount; ++i) m_sheets[i] = nullptr;
}

CDDraw::~CDDraw()
{
    for (int i = 0; i < kSheetCount; ++i) Release(m_sheets[i]);
    Release(m_front);
    Release(m_back);
    if (m_directDraw) {
        m_directDraw->Release();
        m_directDraw = nullptr;
    }
}

int CDDraw::Init(HWND window, int x, int y, int width, int height)
{
    m_window = window;
    m_displayWidth = width;
    m_displayHeight = height;

    if (DirectDrawCreateEx(nullptr, (void**)&m_directDraw, IID_IDirectDraw7, nullptr) != DD_OK) {
        m_directDraw = nullptr;
        return Fail(window, "DirectDrawInitError.");
    }
    if (m_directDraw->SetCooperativeLevel(window, DDSCL_NORMAL) != DD_OK)
        return Fail(window, "DirectDrawSetCoopError.");

    FitWindow(window, x, y, width, height);

    DDSURFACEDESC2 desc;
    ZeroMemory(&desc, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS;
    desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
    if (FAILED(m_directDraw->CreateSurface(&desc, &m_front, nullptr))) {
        m_front = nullptr;
        return Fail(window, "CreateFrontError");
    }
    if (FAILED(ReadSize(m_front, &m_screenWidth, &m_screenHeight))) return Fail(window, "GetFrontDescError");

    if (FAILED(CreatePlainSurface(m_directDraw, width, height, &m_back))) {
        m_back = nullptr;
        return Fail(window, "CreateBackError");
    }
    if (FAILED(ReadSize(m_back, &m_backWidth, &m_backHeight))) return Fail(window, "GetBackDescError");

    if (FAILED(CreatePlainSurface(m_directDraw, kPartsSize, kPartsSize, &m_sheets[kPartsSheet]))) {
        m_sheets[kPartsSheet] = nullptr;
        return Fail(window, "CreatePartsError");
    }
    DDCOLORKEY key;
    key.dwColorSpaceLowValue = 0;
    key.dwColorSpaceHighValue = 0;
    m_sheets[kPartsSheet]->SetColorKey(DDCKEY_SRCBLT, &key);

    if (FAILED(CreatePlainSurface(m_directDraw, kBackgroundWidth, kBackgroundHeight, &m_sheets[kBackgroundSheet]))) {
        m_sheets[kBackgroundSheet] = nullptr;
        return Fail(window, "CreateBackPartsError");
    }
    return 0;
}

void CDDraw::FitWindow(HWND window, int x, int y, int width, int height)
{
    RECT rect = {0, 0, width, height};
    if (x == -1 && y == -1) {
        RECT place;
        if (GetWindowRect(window, &place)) {
            x = place.left;
            y = place.top;
        }
    }
    AdjustWindowRectEx(&rect, (DWORD)GetWindowLongA(window, GWL_STYLE), FALSE,
                       (DWORD)GetWindowLongA(window, GWL_EXSTYLE));
    SetWindowPos(window, HWND_TOPMOST, x, y, rect.right - rect.left, rect.bottom - rect.top, SWP_SHOWWINDOW);
}

int CDDraw::UploadBitmap(HBITMAP bitmap, int width, int height, int sheet)
{
    if (sheet < 0 || sheet >= kSheetCount || !m_sheets[sheet]) return 0;
    HDC surfaceDc = nullptr;
    if (FAILED(m_sheets[sheet]->GetDC(&surfaceDc))) return 0;

    HDC screenDc = GetDC(nullptr);
    HDC memoryDc = CreateCompatibleDC(screenDc);
    HGDIOBJ previous = SelectObject(memoryDc, bitmap);
    BitBlt(surfaceDc, 0, 0, width, height, memoryDc, 0, 0, SRCCOPY);
    SelectObject(memoryDc, previous);
    ReleaseDC(nullptr, screenDc);
    DeleteDC(memoryDc);
    m_sheets[sheet]->ReleaseDC(surfaceDc);
    return 0;
}

HRESULT CDDraw::Draw(int x, int y, const RECT* source, int sheet)
{
    if (!m_back || sheet < 0 || sheet >= kSheetCount || !m_sheets[sheet]) return DDERR_GENERIC;
    return m_back->BltFast((DWORD)x, (DWORD)y, m_sheets[sheet], const_cast<RECT*>(source), DDBLTFAST_WAIT);
}

HRESULT CDDraw::DrawKeyed(int x, int y, const RECT* source, int sheet)
{
    if (!m_back || sheet < 0 || sheet >= kSheetCount || !m_sheets[sheet]) return DDERR_GENERIC;
    return m_back->BltFast((DWORD)x, (DWORD)y, m_sheets[sheet], const_cast<RECT*>(source),
                           DDBLTFAST_WAIT | DDBLTFAST_SRCCOLORKEY);
}

RECT ClientRectOnScreen(HWND window)
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(window, &client);
    POINT topLeft = {client.left, client.top};
    POINT bottomRight = {client.right, client.bottom};
    ClientToScreen(window, &topLeft);
    ClientToScreen(window, &bottomRight);
    return RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
}

int CDDraw::Present()
{
    FitWindow(m_window, -1, -1, m_displayWidth, m_displayHeight);
    RECT onScreen = ClientRectOnScreen(m_window);

    m_currentTime = (int)PacePresent((DWORD)m_lastPresentTime, g_presentClock, g_presentSleep);
    m_lastPresentTime = m_currentTime;

    POINT dest;
    RECT source;
    if (!ComputePresentRects(onScreen, m_screenWidth, m_screenHeight, m_backWidth, m_backHeight, &dest, &source))
        return 1;
    if (m_front && m_back) m_front->BltFast((DWORD)dest.x, (DWORD)dest.y, m_back, &source, DDBLTFAST_WAIT);
    return 0;
}
