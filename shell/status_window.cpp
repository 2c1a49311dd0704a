#include "shell/shell.h"

#include "status/status.h"

#include <commctrl.h>

HWND g_hLabel = nullptr;
HWND g_hProgress = nullptr;

namespace {

const wchar_t WINDOW_CLASS[] = L"UpdaterWnd";
const wchar_t WINDOW_TITLE[] = L"Vorlance Updater";
const int WINDOW_WIDTH = 380;
const int WINDOW_HEIGHT = 110;

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
    case WM_DESTROY:
        // Texts still queued would never be shown; they are owned by their messages, so free them here.
        FreeQueuedStatusTexts();
        PostQuitMessage(0);
        return 0;
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
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&windowClass);

    // Centred on the whole primary screen, not the work area; C++ division truncates toward zero as intended.
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const HWND window = CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_CAPTION | WS_SYSMENU,
                                        (screenWidth - WINDOW_WIDTH) / 2, (screenHeight - WINDOW_HEIGHT) / 2,
                                        WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);

    g_hLabel = CreateWindowExW(0, L"STATIC", L"Initializing...", WS_CHILD | WS_VISIBLE, 10, 12, 344, 20, window,
                               nullptr, instance, nullptr);
    g_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 42, 344, 22,
                                  window, nullptr, instance, nullptr);
    SendMessageW(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return window;
}
