#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

bool IsDotEntry(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

namespace {

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

} // namespace

void DeleteDirectoryContentsRecursive(const std::wstring& directory)
{
    const std::wstring folder = WithTrailingBackslash(directory);
    WIN32_FIND_DATAW entry = {};
    // Extended-length like every other call here: a tree that extraction made deeper than the classic limit must
    // be searchable too, or it is never emptied.
    FindHandle search = StartFind(MakeLongPath(folder + L"*"), entry);
    if (!search) {
        return;
    }
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        const std::wstring path = folder + entry.cFileName;
        const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && isLink) {
            // A junction or directory link may point anywhere, the player's documents included: remove the link
            // itself and never walk into it, so that emptying a folder cannot reach outside it.
            RemoveDirectoryW(MakeLongPath(path).c_str());
        } else if (isDirectory) {
            DeleteDirectoryContentsRecursive(path);
            ClearBlockingAttributes(path);
            RemoveDirectoryW(MakeLongPath(path).c_str());
        } else {
            DeleteFileOrMoveAside(path);
        }
    } while (FindNextFileW(search.get(), &entry));
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
