#include "fs/fs.h"

#include <windows.h>

#include <vector>

namespace {

const wchar_t LOCAL_PREFIX[] = L"\\\\?\\";
const wchar_t UNC_PREFIX[] = L"\\\\?\\UNC\\";

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

std::wstring FolderOf(const std::wstring& path)
{
    const size_t lastBackslash = path.rfind(L'\\');
    return lastBackslash == std::wstring::npos ? std::wstring() : path.substr(0, lastBackslash + 1);
}

bool AbsolutePathOf(const std::wstring& path, std::wstring& absolute, unsigned long& error)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        error = GetLastError();
        return false;
    }
    std::vector<wchar_t> buffer(length, L'\0');
    const DWORD filled = GetFullPathNameW(path.c_str(), length, buffer.data(), nullptr);
    if (filled == 0) {
        error = GetLastError();
        return false;
    }
    if (filled >= length) {
        // The current directory changed between the two calls and the answer no longer fits.
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    absolute.assign(buffer.data(), filled);
    return true;
}
