#include "update/update.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "status/status.h"

#include <stdexcept>
#include <string>

namespace {

const int INSTALL_ATTEMPTS = 60;
const DWORD INSTALL_PAUSE_MS = 500;

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

bool IsListedGame(const std::wstring& gamePath, const ChecksumList& list)
{
    Sha256Digest digest{};
    return HashFileSha256(gamePath, digest) && digest == list.gameExecutable;
}

// Frees the game's name: a running image cannot be deleted, but it can be renamed aside.
void RemoveInstalledGame(const std::wstring& gamePath)
{
    if ((GetFileAttributesW(MakeLongPath(gamePath).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return; // missing (INVALID_FILE_ATTRIBUTES has the bit) or a directory: nothing to remove
    }
    ClearBlockingAttributes(gamePath);
    if (!DeleteFileW(MakeLongPath(gamePath).c_str())) {
        MoveLockedFileAside(gamePath);
    }
}

} // namespace

void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window)
{
    ReplaceGameExecutable(programDirectory, window, nullptr);
}

void ReplaceGameExecutable(const std::wstring& programDirectory, HWND window, const ChecksumList* list)
{
    PostStatus(window, L"Downloading update...");
    PostProgress(window, 0);

    const std::wstring gamePath = programDirectory + L"vorlance.exe";
    const std::wstring newPath = programDirectory + L"vorlance_new.exe";
    if (list != nullptr && IsListedGame(gamePath, *list)) {
        PostProgress(window, 100);
        // A download an earlier run could not install is of no use once the listed game is in place.
        DeleteFileW(MakeLongPath(newPath).c_str());
        return;
    }
    DWORD refusedError = 0;
    if (!DownloadAny(L"game.exe", newPath, window, list != nullptr ? &list->gameExecutable : nullptr, refusedError)) {
        // Trying again later never helps a folder the player may not write to (a game under Program Files and an
        // updater without elevation): name the cause instead of the network.
        if (IsWriteRefusal(refusedError)) {
            throw std::runtime_error("The update could not be saved because the game folder cannot be written to "
                                     "(error " +
                                     std::to_string(refusedError) +
                                     "). Your game was not changed; run the updater as the user who installed the "
                                     "game, or move the game to a folder you can write to.");
        }
        throw std::runtime_error("Failed to download the update. Your game was not changed; please try again later.");
    }
    if (!LooksLikeGameExecutable(newPath)) {
        DeleteFileW(MakeLongPath(newPath).c_str());
        throw std::runtime_error(
            "The downloaded update was damaged. Your game was not changed; please try again later.");
    }

    PostStatus(window, L"Installing update...");
    for (int attempt = 1; attempt <= INSTALL_ATTEMPTS; ++attempt) {
        RemoveInstalledGame(gamePath);
        if (MoveFileExW(MakeLongPath(newPath).c_str(), MakeLongPath(gamePath).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return;
        }
        Sleep(INSTALL_PAUSE_MS);
    }
    throw std::runtime_error("The update could not be installed because the game file is in use. Please close the "
                             "game and run the updater again.");
}
