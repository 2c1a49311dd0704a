#include "fs/fs.h"

#include <windows.h>

namespace {

const wchar_t LOCAL_PREFIX[] = L"\\\\?\\";
const wchar_t UNC_PREFIX[] = L"\\\\?\\UNC\\";
const DWORD BLOCKING_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

} // namespace

std::wstring MakeLongPath(const std::wstring& path)
{
    if (path.size() >= 4 && path.compare(0, 4, LOCAL_PREFIX) == 0) {
        return path;
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        return UNC_PREFIX + path.substr(2);
    }
    // The prefix turns off the system's own path handling: a relative path (".\lib", when the updater's own path
    // could not be read) or "C:/..." would then name nothing. Those stay as they are, and the system resolves them.
    const bool driveAbsolute = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    return driveAbsolute ? LOCAL_PREFIX + path : path;
}

std::wstring WithTrailingBackslash(const std::wstring& directory)
{
    if (!directory.empty() && directory.back() != L'\\') {
        return directory + L'\\';
    }
    return directory;
}

void ClearBlockingAttributes(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(MakeLongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & BLOCKING_ATTRIBUTES) == 0) {
        return;
    }
    // Replaces the whole set on purpose: whatever else was set does not stop a delete or overwrite either way.
    SetFileAttributesW(MakeLongPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

bool IsInUseError(unsigned long errorCode)
{
    return errorCode == ERROR_SHARING_VIOLATION || errorCode == ERROR_LOCK_VIOLATION ||
           errorCode == ERROR_USER_MAPPED_FILE || errorCode == ERROR_ACCESS_DENIED;
}
