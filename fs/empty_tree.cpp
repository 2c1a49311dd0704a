#include "fs/fs.h"

#include <windows.h>

void DeleteFileOrMoveAside(const std::wstring& path)
{
    if (DeleteFileW(MakeLongPath(path).c_str())) {
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        ClearBlockingAttributes(path);
        if (DeleteFileW(MakeLongPath(path).c_str())) {
            return;
        }
        error = GetLastError();
    }
    if (IsInUseError(error)) {
        MoveLockedFileAside(path);
    }
}

void DeleteDirectoryContentsRecursive(const std::wstring& directory)
{
    WalkDirectory(directory, L"*", WalkOrder::CONTENTS_FIRST, [](const DirectoryEntry& entry) {
        if (entry.directory) {
            // Of a link only the link itself goes: emptying a folder must not reach wherever it points.
            if (!entry.link) {
                ClearBlockingAttributes(entry.path);
            }
            RemoveDirectoryW(MakeLongPath(entry.path).c_str());
        } else {
            DeleteFileOrMoveAside(entry.path);
        }
        return true;
    });
}

void RemoveDirectoryTree(const std::wstring& directory)
{
    const std::wstring longDirectory = MakeLongPath(directory);
    const DWORD attributes = GetFileAttributesW(longDirectory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DeleteDirectoryContentsRecursive(directory);
        ClearBlockingAttributes(directory);
    }
    RemoveDirectoryW(longDirectory.c_str());
}
