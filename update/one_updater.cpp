#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <cstdint>
#include <exception>
#include <vector>

namespace {

const wchar_t MUTEX_PREFIX[] = L"Local\\VorlanceUpdater-";
const DWORD IMAGE_PATH_CHARS = 32768;

// The name the file system itself gives an open directory: long names instead of 8.3 aliases, the case as stored,
// links resolved. Empty when the directory cannot be opened.
std::wstring FinalPathOf(const std::wstring& directory)
{
    const HANDLE opened = CreateFileW(MakeLongPath(directory).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    KernelHandle handle(opened);
    const DWORD length = GetFinalPathNameByHandleW(handle.get(), nullptr, 0, FILE_NAME_NORMALIZED);
    if (length == 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(length + 1, L'\0');
    const DWORD filled = GetFinalPathNameByHandleW(handle.get(), buffer.data(), length + 1, FILE_NAME_NORMALIZED);
    if (filled == 0 || filled > length) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), filled);
}

// Without a handle: the absolute path with its 8.3 aliases expanded, as far as the system can tell.
std::wstring ExpandedPathOf(const std::wstring& directory)
{
    std::vector<wchar_t> absolute(GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr) + 1, L'\0');
    const DWORD absoluteLength =
        GetFullPathNameW(directory.c_str(), static_cast<DWORD>(absolute.size()), absolute.data(), nullptr);
    if (absoluteLength == 0 || absoluteLength >= absolute.size()) {
        return directory;
    }
    std::vector<wchar_t> expanded(GetLongPathNameW(absolute.data(), nullptr, 0) + 1, L'\0');
    const DWORD expandedLength =
        GetLongPathNameW(absolute.data(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (expandedLength == 0 || expandedLength >= expanded.size()) {
        return std::wstring(absolute.data(), absoluteLength);
    }
    return std::wstring(expanded.data(), expandedLength);
}

// One spelling per directory: final name, no trailing backslash, upper case (the file system ignores case).
std::wstring CanonicalDirectory(const std::wstring& programDirectory)
{
    std::wstring canonical = FinalPathOf(programDirectory);
    if (canonical.empty()) {
        canonical = MakeLongPath(ExpandedPathOf(programDirectory));
    }
    while (!canonical.empty() && canonical.back() == L'\\') {
        canonical.pop_back();
    }
    if (!canonical.empty()) {
        CharUpperBuffW(&canonical[0], static_cast<DWORD>(canonical.size()));
    }
    return canonical;
}

// Kernel object names allow no backslash and at most MAX_PATH characters; a 64-bit FNV-1a hash of the directory
// fits any depth.
std::wstring HashText(const std::wstring& text)
{
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : text) {
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    }
    wchar_t digits[17] = {};
    for (int i = 15; i >= 0; --i) {
        digits[i] = L"0123456789abcdef"[hash & 0xF];
        hash >>= 4;
    }
    return digits;
}

struct WindowSearch {
    std::wstring directory; // canonical
    HWND found;
};

std::wstring ImageDirectoryOf(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (opened == nullptr) {
        return std::wstring();
    }
    KernelHandle process(opened);
    std::vector<wchar_t> image(IMAGE_PATH_CHARS, L'\0');
    DWORD length = IMAGE_PATH_CHARS;
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) {
        return std::wstring();
    }
    const std::wstring path(image.data(), length);
    const size_t lastBackslash = path.rfind(L'\\');
    return lastBackslash == std::wstring::npos ? std::wstring() : path.substr(0, lastBackslash + 1);
}

BOOL CALLBACK MatchUpdaterWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[32] = {};
    wchar_t title[32] = {};
    GetClassNameW(window, className, 32);
    GetWindowTextW(window, title, 32);
    if (lstrcmpW(className, UPDATER_WINDOW_CLASS) != 0 || lstrcmpW(title, UPDATER_WINDOW_TITLE) != 0) {
        return TRUE;
    }
    const std::wstring directory = ImageDirectoryOf(window);
    if (!directory.empty() && CanonicalDirectory(directory) == search->directory) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

std::wstring UpdaterMutexName(const std::wstring& programDirectory)
{
    return MUTEX_PREFIX + HashText(CanonicalDirectory(programDirectory));
}

namespace {

bool ClaimProgramDirectory(const std::wstring& programDirectory)
{
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, UpdaterMutexName(programDirectory).c_str());
    if (mutex == nullptr) {
        // An updater that runs elevated made the mark with a security that this one may not open: another updater
        // is at work on the folder all the same.
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            return false;
        }
        // No mark can be made (no resources, the name taken by another kind of object): work unguarded, as a lone
        // updater would, rather than not at all.
        return true;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    // The handle stays open on purpose: the mark lasts exactly as long as this process, however it ends.
    return true;
}

// The updater that got there first may still be starting up and have no window yet; then there is nothing to show.
void ShowOtherUpdater(const std::wstring& programDirectory)
{
    WindowSearch search = {CanonicalDirectory(programDirectory), nullptr};
    EnumWindows(MatchUpdaterWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
        SetForegroundWindow(search.found);
    }
}

} // namespace

bool BecomeSoleUpdater()
{
    try {
        const std::wstring programDirectory = GetProgramDirectory();
        if (ClaimProgramDirectory(programDirectory)) {
            return true;
        }
        ShowOtherUpdater(programDirectory);
        return false;
    } catch (const std::exception&) {
        // Out of memory this early: the worker meets the same shortage and reports it.
        return true;
    }
}
