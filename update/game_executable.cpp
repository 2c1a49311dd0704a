#include "update/update.h"

#include "update/game/game_forms.h"
#include "update/verified/verified_record.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "status/status.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

const int INSTALL_ATTEMPTS = 60;
const DWORD INSTALL_PAUSE_MS = 500;
const wchar_t GAME_NAME[] = L"vorlance.exe";
// Putting the game back waits out a holder as a held library is waited for, without moving anything aside.
const int PUT_BACK_ATTEMPTS = 10;
const HeldFileRetries PUT_BACK_RETRIES = {PUT_BACK_ATTEMPTS, 0, 0};

// A Windows executable starts with "MZ"; anything this small is a broken download or an error page.
bool LooksLikeGameExecutable(const std::wstring& path)
{
    const HANDLE file = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    unsigned char signature[2] = {};
    DWORD bytesRead = 0;
    const BOOL readOk = ReadFile(file, signature, sizeof(signature), &bytesRead, nullptr);
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    CloseHandle(file);
    return readOk && bytesRead == 2 && signature[0] == 0x4D && signature[1] == 0x5A && size.QuadPart > 0 &&
           IsPlausibleGameSize(static_cast<uint64_t>(size.QuadPart));
}

// digest is the installed game's, which also names the delta from it; hashed is false when it could not be read.
bool IsListedGame(const std::wstring& gamePath, const ChecksumList& list, Sha256Digest& digest, bool& hashed)
{
    hashed = HashFileUnlessVerified(gamePath, digest);
    return hashed && digest == list.gameExecutable;
}

// Moves the new file over the game in one step where Windows allows it. A running image can be renamed but not
// replaced: it is renamed aside first, and comes back when the new file still cannot take its name, so that every
// attempt that fails leaves the game as it was.
bool InstallNewExecutable(const std::wstring& newPath, const std::wstring& gamePath)
{
    const std::wstring longNewPath = MakeLongPath(newPath);
    const std::wstring longGamePath = MakeLongPath(gamePath);
    ClearBlockingAttributes(gamePath);
    if (MoveFileExW(longNewPath.c_str(), longGamePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    if ((GetFileAttributesW(longGamePath.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false; // missing (INVALID_FILE_ATTRIBUTES has the bit) or a directory: nothing to rename aside
    }
    const std::wstring aside = RenameAside(gamePath);
    if (aside.empty()) {
        return false;
    }
    if (MoveFileExW(longNewPath.c_str(), longGamePath.c_str(), 0)) {
        DeleteAsideFile(aside);
        return true;
    }
    MoveFileExW(MakeLongPath(aside).c_str(), longGamePath.c_str(), 0);
    return false;
}

} // namespace

void RestoreGameFromAside(const std::wstring& programDirectory)
{
    const std::wstring gamePath = programDirectory + GAME_NAME;
    if (GetFileAttributesW(MakeLongPath(gamePath).c_str()) != INVALID_FILE_ATTRIBUTES ||
        GetLastError() != ERROR_FILE_NOT_FOUND) {
        return;
    }
    // A rename keeps the time of the last write: the newest aside copy is the game that was installed last.
    std::wstring newest;
    FILETIME newestWrite = {};
    const std::wstring asidePrefix = std::wstring(GAME_NAME) + L".old-";
    WalkDirectory(programDirectory, L"vorlance.exe.old-*", WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        // The pattern also meets short aliases; only the full name of an aside copy counts.
        if (entry.directory || !IsAsideName(entry.name) ||
            CompareStringOrdinal(entry.name.c_str(), static_cast<int>(asidePrefix.size()), asidePrefix.c_str(),
                                 static_cast<int>(asidePrefix.size()), TRUE) != CSTR_EQUAL ||
            entry.name.size() != asidePrefix.size() + 10 ||
            !GetFileAttributesExW(MakeLongPath(entry.path).c_str(), GetFileExInfoStandard, &data)) {
            return true;
        }
        if ((newest.empty() || CompareFileTime(&data.ftLastWriteTime, &newestWrite) > 0) &&
            LooksLikeGameExecutable(entry.path)) {
            newest = entry.path;
            newestWrite = data.ftLastWriteTime;
        }
        return true;
    });
    if (newest.empty()) {
        return;
    }
    const std::wstring longNewest = MakeLongPath(newest);
    const std::wstring longGamePath = MakeLongPath(gamePath);
    const auto putBack = [&]() -> unsigned long {
        return MoveFileExW(longNewest.c_str(), longGamePath.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
    };
    unsigned long error = 0;
    RetryWhileHeld(newest, PUT_BACK_RETRIES, putBack, error);
}

void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window, const ChecksumList* list)
{
    PostStatus(window, L"Downloading update...");
    PostProgress(window, 0);

    const std::wstring gamePath = programDirectory + GAME_NAME;
    const std::wstring newPath = programDirectory + L"vorlance_new.exe";
    Sha256Digest installed{};
    bool hashed = false;
    if (list != nullptr && IsListedGame(gamePath, *list, installed, hashed)) {
        PostProgress(window, 100);
        // A download an earlier run could not install is of no use once the listed game is in place.
        DeleteFileW(MakeLongPath(newPath).c_str());
        return;
    }
    // An error page or a damaged upload is a failed attempt at that mirror; the next one may serve the real file.
    DownloadFailure failure;
    const std::vector<const wchar_t*> mirrors = MirrorsFor(list);
    // The list's smaller forms first; the game itself when none gives the listed game.
    const bool fromForm =
        list != nullptr &&
        FetchGameForm(programDirectory, window, *list, hashed ? &installed : nullptr, mirrors, LooksLikeGameExecutable);
    if (!fromForm &&
        !DownloadFromMirrors(mirrors.data(), mirrors.size(), L"game.exe", newPath, window,
                             list != nullptr ? &list->gameExecutable : nullptr, LooksLikeGameExecutable, failure)) {
        // Trying again later never helps a folder the player may not write to (a game under Program Files and an
        // updater without elevation): name the cause instead of the network.
        if (IsWriteRefusal(failure.refusedError)) {
            throw std::runtime_error("The update could not be saved because the game folder cannot be written to "
                                     "(error " +
                                     std::to_string(failure.refusedError) +
                                     "). Your game was not changed; run the updater as the user who installed the "
                                     "game, or move the game to a folder you can write to.");
        }
        if (failure.unusable) {
            throw std::runtime_error(
                "The downloaded update was damaged. Your game was not changed; please try again later.");
        }
        throw std::runtime_error("Failed to download the update. Your game was not changed; please try again later.");
    }

    PostStatus(window, L"Installing update...");
    for (int attempt = 1; attempt <= INSTALL_ATTEMPTS; ++attempt) {
        if (InstallNewExecutable(newPath, gamePath)) {
            return;
        }
        Sleep(INSTALL_PAUSE_MS);
    }
    throw std::runtime_error("The update could not be installed because the game file is in use. Please close the "
                             "game and run the updater again.");
}
