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
// "Update Error" box instead of going on. Launches the installed game unchanged when the release record is held or
// every mirror offers only releases older than it. Never throws.
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

// What the mirrors offered the run's list fetch.
enum class ListOffer {
    TAKEN,      // a list of the asked release or newer, now in the caller's list
    ONLY_OLDER, // every mirror offered a list it would take but for its older release: there is no newer release
    NONE,       // some mirror offered no list it would take, and none a new enough one
};

// Fetches "SHA256SUMS" into memory (at most CHECKSUM_LIST_MAX_BYTES) from the first mirror whose list parses, is
// of oldestRelease or newer and, in a build with release keys, whose "SHA256SUMS.sig" verifies. The mirrors passed
// over for an older list are named in list.refusedMirrors. Writes nothing and posts nothing. Throws std::bad_alloc.
ListOffer FetchChecksumList(ChecksumList& list, uint64_t oldestRelease);

// Fetches every mirror's list and takes the one of the highest release among those that parse and, in a build with
// release keys, verify; the mirrors with an older list are named in list.refusedMirrors. False when no mirror offers
// a list. Writes nothing and posts nothing. Throws std::bad_alloc.
bool FetchNewestChecksumList(ChecksumList& list);

// The base URLs the files of a run may come from: VORLANCE_HOSTS in order, less the mirrors the list refused (all
// of them without a list). Throws std::bad_alloc.
std::vector<const wchar_t*> MirrorsFor(const ChecksumList* list);

// What the release record beside the game holds.
enum class RecordState {
    NONE,    // neither copy exists: a fresh install, or the first run of an updater that keeps a record
    RELEASE, // at least one copy holds a release
    HELD,    // a copy exists but could not be opened or read, however often it was tried
    DAMAGED, // copies exist and can be read, but none holds a release
};
struct ReleaseRecord {
    RecordState state = RecordState::NONE;
    uint64_t release = 0;    // with RELEASE: the higher of the two copies
    bool bothCopies = false; // with RELEASE: both copies hold that release
};

// The release that the last run with a list installed in programDirectory, from the record and its copy beside the
// game; waits a little for a copy that another program holds. Throws std::bad_alloc.
ReleaseRecord ReadInstalledRelease(const std::wstring& programDirectory);

// Records release (at least 1) as installed in the record, then in its copy, each written under a temporary name and
// flushed, then renamed over the file. Best effort: a file that cannot be written stays as it was. Throws
// std::bad_alloc.
void RecordInstalledRelease(const std::wstring& programDirectory, uint64_t release);

// Shows a failure text (UTF-8) in the "Update Error" box; shows nothing for an empty or unconvertible text.
void ReportFailure(const char* utf8Text);
