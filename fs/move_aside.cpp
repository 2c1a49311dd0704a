#include "fs/fs.h"

#include <windows.h>

namespace {

const int ASIDE_ATTEMPTS = 32;

} // namespace

std::wstring FreeAsideName(const std::wstring& path)
{
    for (int attempt = 0; attempt < ASIDE_ATTEMPTS; ++attempt) {
        wchar_t suffix[16] = {};
        wsprintfW(suffix, L".old-%08x%02x", GetTickCount(), attempt);
        const std::wstring candidate = path + suffix;
        if (GetFileAttributesW(MakeLongPath(candidate).c_str()) == INVALID_FILE_ATTRIBUTES) {
            return candidate;
        }
    }
    return std::wstring();
}

std::wstring RenameAside(const std::wstring& path)
{
    const std::wstring candidate = FreeAsideName(path);
    // Only one rename is tried; the caller's own retries decide what follows a failure.
    if (candidate.empty() || !MoveFileExW(MakeLongPath(path).c_str(), MakeLongPath(candidate).c_str(), 0)) {
        return std::wstring();
    }
    return candidate;
}

void DeleteAsideFile(const std::wstring& asidePath)
{
    DeleteFileW(MakeLongPath(asidePath).c_str());
    MoveFileExW(MakeLongPath(asidePath).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void MoveLockedFileAside(const std::wstring& path)
{
    // A running image or a loaded library can be renamed but not deleted: renaming frees its name.
    const std::wstring aside = RenameAside(path);
    if (!aside.empty()) {
        DeleteAsideFile(aside);
    }
}

void SweepAsideLeftovers(const std::wstring& directory)
{
    WalkDirectory(directory, L"*.old-*", WalkOrder::ONE_LEVEL, [](const DirectoryEntry& entry) {
        // The pattern also matches a player's own "notes.old-backup.txt" (and 8.3 aliases): only names of the exact
        // form this program makes are ours to delete.
        if (!entry.directory && IsAsideName(entry.name)) {
            ClearBlockingAttributes(entry.path);
            DeleteFileW(MakeLongPath(entry.path).c_str());
        }
        return true;
    });
}
