#pragma once

#include <windows.h>

// The status window's class and title, by which a second updater also finds the first one's window.
const wchar_t UPDATER_WINDOW_CLASS[] = L"UpdaterWnd";
const wchar_t UPDATER_WINDOW_TITLE[] = L"Vorlance Updater";

// Process-wide handles of the two controls; written once before the worker starts, then read on the main thread only.
extern HWND g_hLabel;
extern HWND g_hProgress;

// Window procedure of the "UpdaterWnd" class: carries out the three messages, frees queued texts at WM_DESTROY and
// lays the window out again when its DPI changes.
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Creates and shows the centred "Vorlance Updater" window with its label and progress bar, scaled for the DPI of the
// primary screen. May return null.
HWND CreateUpdaterWindow(HINSTANCE instance);

// Brings the window of the updater that works on this program directory to the front, when it has one. Never throws.
void ShowOtherUpdater();
