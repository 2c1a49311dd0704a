#pragma once

#include "update/checksum_list.h"

#include <windows.h>

#include <string>

// The update run on the worker thread. Phases raise std::runtime_error with a UTF-8 text for the player; the run
// reports it once in the "Update Error" box.

// Carries the status window's handle from WinMain to the worker thread, which frees it first thing.
struct StatusWindowHandoff {
    HWND window;
};

// Thread procedure: takes ownership of the StatusWindowHandoff, runs every phase, reports a failure, closes the window.
DWORD WINAPI WorkerThread(LPVOID parameter);

// The directory of the updater's own executable, ending in a backslash; ".\" when it cannot be read.
std::wstring GetProgramDirectory();

// The kernel object name that marks an updater at work on programDirectory; the same for every spelling of the
// directory (case, trailing backslash, 8.3 aliases). Throws std::bad_alloc.
std::wstring UpdaterMutexName(const std::wstring& programDirectory);

// Makes this process the only updater of its program directory until it ends. False when another updater already
// works on it; that one's window is then brought to the front. Never throws.
bool BecomeSoleUpdater();

// Waits for the game, sweeps, installs the library package and the game executable and launches the game; shows
// the first failure in the "Update Error" box instead of going on. Never throws.
void RunUpdate(const std::wstring& programDirectory, HWND window);

// Waits up to about 15 s for programs started from the program directory (or below it) to end. Never throws.
void WaitForGameToClose(const std::wstring& programDirectory, HWND window);

// Downloads "lib.zip", refills "lib" from it and copies "bass*.dll" beside the game; returns quietly when no mirror
// serves the package. Throws "Library extraction failed: ..." when the package cannot be unpacked.
void InstallLibraryPackage(const std::wstring& programDirectory, HWND window);

// As above; with a checksum list, skips the download when "lib" already holds the listed files, and takes only a
// package with the listed SHA-256 (null: no list). Throws as above.
void InstallLibraryPackage(const std::wstring& programDirectory, HWND window, const ChecksumList* list);

// Downloads "game.exe" as "vorlance_new.exe", checks it and moves it over "vorlance.exe". Throws on failure.
void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window);

// As above; with a checksum list, keeps a "vorlance.exe" with the listed SHA-256 without downloading, and takes only
// a download with that SHA-256 (null: no list). Throws as above.
void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window, const ChecksumList* list);

// Starts "vorlance.exe" detached, with the program directory as working directory. Throws on failure.
void LaunchGame(const std::wstring& programDirectory, HWND window);

// Fetches the mirrors' "SHA256SUMS" into a temporary file of the program directory, which is deleted again, and
// parses it; false when no mirror serves it or it cannot be parsed. Posts nothing. Throws std::bad_alloc.
bool FetchChecksumList(const std::wstring& programDirectory, ChecksumList& list);

// Reads and parses a downloaded checksum list; false when it cannot be read or parsed. Throws std::bad_alloc.
bool ReadChecksumList(const std::wstring& path, ChecksumList& list);

// Sweeps aside leftovers in the library directory (they never count), then true when it holds exactly the list's
// "lib/..." files, each with its listed SHA-256, and no other file; false at any link in the tree, which is never
// followed. Throws std::bad_alloc.
bool LibraryMatchesChecksumList(const std::wstring& libraryDirectory, const ChecksumList& list);

// Shows a failure text (UTF-8) in the "Update Error" box; shows nothing for an empty or unconvertible text.
void ReportFailure(const char* utf8Text);
