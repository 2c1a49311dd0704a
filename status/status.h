#pragma once

#include <windows.h>

#include <string>

// How the worker reports to the status window: three posted messages, carried out on the window's thread in posting
// order. The worker never touches a window itself.
const UINT WM_UPDATER_PROGRESS = WM_USER + 1; // wParam: percentage, forwarded to the bar unchanged
const UINT WM_UPDATER_STATUS = WM_USER + 2;   // wParam: new[]-allocated wide text, owned by the message; or 0
const UINT WM_UPDATER_CLOSE = WM_USER + 3;    // destroys the window, which ends the message loop

// Posts a heap copy of a status text; the copy is freed here when the post fails. Does nothing for a null window.
// Throws std::bad_alloc.
void PostStatus(HWND window, const std::wstring& text);

// Posts a progress percentage; does nothing for a null window. A failed post leaves the bar where it was.
void PostProgress(HWND window, int percent);
