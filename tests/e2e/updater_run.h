#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Runs the real VorlanceUpdater.exe the way a player does and watches it from outside: its window, its error box
// (read and dismissed), its exit code.

struct UpdaterRunOptions {
    DWORD killAfterMs = INFINITE;    // TerminateProcess after this long, as a crash or power cut would
    std::wstring killAtLabel;        // ...or this long after the label first shows this text
    std::function<bool()> killWhen;  // ...or this long after this first holds (asked every millisecond)
    std::wstring closeWindowAtLabel; // close the window (as the player would) once the label shows this text
    std::wstring releaseAtLabel;     // create releaseFile once the label shows this text (a fixture waits for it)
    std::wstring releaseFile;
    DWORD timeoutMs = 120000;
};

struct UpdaterRun {
    bool exited = false;
    DWORD exitCode = STILL_ACTIVE;
    std::wstring errorBox;            // text of the "Update Error" box; empty when none was shown
    std::vector<std::wstring> labels; // every label text seen, without repeats, in order
    DWORD tookMs = 0;
};

// Starts gameFolder\VorlanceUpdater.exe from another working directory and watches it until it ends.
UpdaterRun RunUpdater(const std::wstring& gameFolder, const UpdaterRunOptions& options = {});
