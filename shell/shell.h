#pragma once

#include <windows.h>

#include <string>

// The worker reports to the status window only through these posted messages, carried out in posting order.
const UINT WM_UPDATER_PROGRESS = WM_USER + 1; // wParam: percentage, forwarded to the bar unchanged
const UINT WM_UPDATER_STATUS = WM_USER + 2;   // wParam: new[]-allocated wide text, owned by the message; or 0
const UINT WM_UPDATER_CLOSE = WM_USER + 3;    // destroys the window, which ends the message loop

// Process-wide handles of the two controls; written once before the worker starts, then read on the main thread only.
extern HWND g_hLabel;
extern HWND g_hProgress;

// Window procedure of the "UpdaterWnd" class: carries out the three messages and frees queued texts at WM_DESTROY.
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Creates and shows the centred "Vorlance Updater" window with its label and progress bar. May return null.
HWND CreateUpdaterWindow(HINSTANCE instance);

// Posts a heap copy of a status text; the copy is freed here when the post fails. Does nothing for a null window.
// Throws std::bad_alloc.
void PostStatus(HWND window, const std::wstring& text);
