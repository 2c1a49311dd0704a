#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

namespace {

// Windows 10 1809 and later delete a read-only file in one call; the SDK names hide them from a Windows 7 build.
const FILE_INFO_BY_HANDLE_CLASS FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD DISPOSITION_DELETE = 0x1;
const DWORD DISPOSITION_IGNORE_READONLY = 0x10;

HANDLE OpenExisting(const std::wstring& path, DWORD access)
{
    return CreateFileW(MakeLongPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Deletes a name whose file has other names with its attributes as they were: they belong to the file, not to the
// name, and clearing them here would clear them on a library that lib keeps by a hard link. True when the name was
// one of several, deleted or not (shared); false when it is the file's only name.
bool DeleteSharedName(const std::wstring& path, bool& deleted)
{
    deleted = false;
    // Reading attributes is never refused for sharing. Writing them back needs the right to on Windows; Wine grants
    // no handle on a read-only file that right, yet sets attributes through any handle.
    HANDLE opened = OpenExisting(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (opened == INVALID_HANDLE_VALUE) {
        opened = OpenExisting(path, FILE_READ_ATTRIBUTES);
    }
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const KernelHandle file(opened);
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information) || information.nNumberOfLinks < 2) {
        return false;
    }
    const HANDLE forDeletion = OpenExisting(path, DELETE);
    if (forDeletion != INVALID_HANDLE_VALUE) {
        const KernelHandle name(forDeletion);
        DWORD flags = DISPOSITION_DELETE | DISPOSITION_IGNORE_READONLY;
        deleted =
            SetFileInformationByHandle(name.get(), FILE_DISPOSITION_INFO_EX_CLASS, &flags, sizeof(flags)) != FALSE;
    }
    // Elsewhere read-only comes off for the deletion and goes back on through the handle, which still holds the file.
    if (!deleted) {
        ClearBlockingAttributes(path);
        deleted = DeleteFileW(MakeLongPath(path).c_str()) != FALSE;
        const DWORD error = GetLastError();
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = information.dwFileAttributes;
        SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
        SetLastError(error);
    }
    return true;
}

} // namespace

void DeleteFileOrMoveAside(const std::wstring& path)
{
    if (DeleteFileW(MakeLongPath(path).c_str())) {
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        bool deleted = false;
        if (!DeleteSharedName(path, deleted)) {
            ClearBlockingAttributes(path);
            deleted = DeleteFileW(MakeLongPath(path).c_str()) != FALSE;
        }
        if (deleted) {
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
