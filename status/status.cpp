#include "status/status.h"

void PostStatus(HWND window, const std::wstring& text)
{
    if (window == nullptr) {
        return;
    }
    wchar_t* copy = new wchar_t[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = L'\0';
    if (!PostMessageW(window, WM_UPDATER_STATUS, reinterpret_cast<WPARAM>(copy), 0)) {
        delete[] copy;
    }
}

void PostProgress(HWND window, int percent)
{
    if (window != nullptr) {
        PostMessageW(window, WM_UPDATER_PROGRESS, static_cast<WPARAM>(percent), 0);
    }
}
