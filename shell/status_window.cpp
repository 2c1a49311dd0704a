#include "shell/shell.h"

#include "status/status.h"

#include <commctrl.h>

#include <memory>
#include <type_traits>

HWND g_hLabel = nullptr;
HWND g_hProgress = nullptr;

namespace {

const DWORD WINDOW_STYLE = WS_CAPTION | WS_SYSMENU;

// The layout in 96-DPI pixels; every other DPI scales it, so the window keeps its physical size and proportions.
const int BASE_DPI = USER_DEFAULT_SCREEN_DPI;
const SIZE WINDOW_SIZE_96 = {380, 110};
const RECT LABEL_RECT_96 = {10, 12, 354, 32};
const RECT BAR_RECT_96 = {10, 42, 354, 64};

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHolder = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The label's font; replaced on each change of DPI and released once the label is gone.
FontHolder g_labelFont;

// The per-monitor calls exist from Windows 10 1607 on; Windows 7 and 8 must still start, so they are looked up.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);

template <typename Function> Function User32Function(const char* name)
{
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 == nullptr ? nullptr
                             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

// The DPI the system scales for when the per-monitor calls are missing: one value for every screen.
int SystemDpi()
{
    const HDC screen = GetDC(nullptr);
    const int dpi = screen == nullptr ? BASE_DPI : GetDeviceCaps(screen, LOGPIXELSY);
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : BASE_DPI;
}

int DpiOfWindow(HWND window)
{
    static const GetDpiForWindowFn getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    const UINT dpi = getDpiForWindow == nullptr ? 0 : getDpiForWindow(window);
    return dpi != 0 ? static_cast<int>(dpi) : SystemDpi();
}

int Scale(int pixels96, int dpi)
{
    return MulDiv(pixels96, dpi, BASE_DPI);
}

// The system's message font at the given DPI.
FontHolder CreateMessageFont(int dpi)
{
    static const SystemParametersInfoForDpiFn parametersForDpi =
        User32Function<SystemParametersInfoForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (parametersForDpi != nullptr) {
        if (!parametersForDpi(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0, static_cast<UINT>(dpi))) {
            return nullptr;
        }
    } else {
        // Without the per-DPI call the metrics come at the system DPI.
        if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
            return nullptr;
        }
        metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, SystemDpi());
    }
    return FontHolder(CreateFontIndirectW(&metrics.lfMessageFont));
}

void PlaceChild(HWND child, const RECT& rect96, int dpi)
{
    const int left = Scale(rect96.left, dpi);
    const int top = Scale(rect96.top, dpi);
    SetWindowPos(child, nullptr, left, top, Scale(rect96.right, dpi) - left, Scale(rect96.bottom, dpi) - top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// Places the children and gives the label its font for the window's DPI; the window's own rectangle is the caller's.
void LayOutChildren(int dpi)
{
    PlaceChild(g_hLabel, LABEL_RECT_96, dpi);
    PlaceChild(g_hProgress, BAR_RECT_96, dpi);
    FontHolder font = CreateMessageFont(dpi);
    if (font != nullptr) {
        SendMessageW(g_hLabel, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
        // The label uses the new font from here on, so the old one may go.
        g_labelFont = std::move(font);
    }
}

void FreeQueuedStatusTexts()
{
    MSG message = {};
    while (PeekMessageW(&message, nullptr, WM_UPDATER_STATUS, WM_UPDATER_STATUS, PM_REMOVE)) {
        delete[] reinterpret_cast<wchar_t*>(message.wParam);
    }
}

} // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_UPDATER_PROGRESS:
        SendMessageW(g_hProgress, PBM_SETPOS, wParam, 0);
        return 0;
    case WM_UPDATER_STATUS:
        if (wParam != 0) {
            wchar_t* text = reinterpret_cast<wchar_t*>(wParam);
            SetWindowTextW(g_hLabel, text);
            delete[] text;
        }
        return 0;
    case WM_UPDATER_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_CTLCOLORSTATIC: {
        // The label takes the window's own background instead of the dialog colour, so the window reads as one surface.
        const HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_DPICHANGED: {
        // Moved to a screen with another DPI: Windows suggests the rectangle that keeps the window's physical size.
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        LayOutChildren(HIWORD(wParam));
        return 0;
    }
    case WM_DESTROY:
        // Texts still queued would never be shown; they are owned by their messages, so free them here.
        FreeQueuedStatusTexts();
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        // The children, and with them the label, are gone by now.
        g_labelFont.reset();
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND CreateUpdaterWindow(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = UPDATER_WINDOW_CLASS;
    RegisterClassW(&windowClass);

    // Made hidden at the 96-DPI size, then sized for the DPI of the screen it is on before it is first shown.
    const HWND window = CreateWindowExW(0, UPDATER_WINDOW_CLASS, UPDATER_WINDOW_TITLE, WINDOW_STYLE, 0, 0,
                                        WINDOW_SIZE_96.cx, WINDOW_SIZE_96.cy, nullptr, nullptr, instance, nullptr);
    g_hLabel = CreateWindowExW(0, L"STATIC", L"Initializing...", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window, nullptr,
                               instance, nullptr);
    g_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, 0, 0, window,
                                  nullptr, instance, nullptr);
    SendMessageW(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    const int dpi = DpiOfWindow(window);
    LayOutChildren(dpi);
    // Centred on the whole primary screen, not the work area; C++ division truncates toward zero as intended.
    const int width = Scale(WINDOW_SIZE_96.cx, dpi);
    const int height = Scale(WINDOW_SIZE_96.cy, dpi);
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return window;
}
