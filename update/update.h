#pragma once

#include "update/checksum_list.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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
// works on it. Never throws.
bool BecomeSoleUpdater();

// Waits for the game, puts back a game left only under an aside name, sweeps, finishes an interrupted library switch
// and brings the copies beside the game in step with "lib", fetches the checksum list (required when release keys are
// built in), installs the library package and the game executable and launches the game; shows the first failure in the
// "Update Error" box instead of going on. Never throws.
void RunUpdate(const std::wstring& programDirectory, HWND window);

// Waits up to about 15 s for programs started from the program directory (or below it) to end. Never throws.
void WaitForGameToClose(const std::wstring& programDirectory, HWND window);

// Downloads "lib.zip" into memory from the first mirror that serves a usable package, unpacks it beside "lib" and
// puts it in the place of "lib" once it is whole (refills "lib" in place when it cannot be staged or moved), then
// brings the "bass*.dll" copies beside the game in step; returns quietly when no mirror serves the package. With a
// checksum list (null: none), skips the download when "lib" already holds the listed files, takes only a package
// with the listed SHA-256 from the mirrors the list allows, and throws the download failure when none serves it, so
// that the listed game never runs on other libraries. Throws "Library extraction failed: ..." when no mirror's
// package can be used or it cannot be unpacked; "lib" is then as it was, or, when it was being refilled in place,
// marked incomplete for the next run.
void InstallLibraryPackage(const std::wstring& programDirectory, HWND window, const ChecksumList* list);

// Downloads "game.exe" as "vorlance_new.exe" from the first mirror that serves a plausible executable and moves it
// over "vorlance.exe". With a checksum list (null: none), keeps a "vorlance.exe" with the listed SHA-256 without
// downloading, and takes only a download with that SHA-256. Throws on failure; "vorlance.exe" is then as it was.
void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window, const ChecksumList* list);

// When "vorlance.exe" is missing (a run killed while the game was renamed aside), renames the newest of its aside
// copies that looks like the game back to that name, so that the sweep cannot delete the only copy. Throws
// std::bad_alloc.
void RestoreGameFromAside(const std::wstring& programDirectory);

// Starts "vorlance.exe" detached, with the program directory as working directory. Throws on failure.
void LaunchGame(const std::wstring& programDirectory, HWND window);

// Fetches "SHA256SUMS" into memory (at most CHECKSUM_LIST_MAX_BYTES) from the first mirror whose list parses, is
// of oldestRelease or newer and, in a build with release keys, whose "SHA256SUMS.sig" verifies; false when none
// does. The mirrors passed over for an older list are named in list.refusedMirrors. Writes nothing and posts
// nothing. Throws std::bad_alloc.
bool FetchChecksumList(ChecksumList& list, uint64_t oldestRelease);

// The base URLs the files of a run may come from: VORLANCE_HOSTS in order, less the mirrors the list refused (all
// of them without a list). Throws std::bad_alloc.
std::vector<const wchar_t*> MirrorsFor(const ChecksumList* list);

// The release that the last run with a list installed in programDirectory, from the record beside the game; 0 when
// there is none or it cannot be read. Throws std::bad_alloc.
uint64_t ReadInstalledRelease(const std::wstring& programDirectory);

// Records release (at least 1) as installed: written under a temporary name and flushed, then renamed over the
// record. Best effort: a record that cannot be written stays as it was. Throws std::bad_alloc.
void RecordInstalledRelease(const std::wstring& programDirectory, uint64_t release);

// Shows a failure text (UTF-8) in the "Update Error" box; shows nothing for an empty or unconvertible text.
void ReportFailure(const char* utf8Text);
