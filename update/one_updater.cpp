#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <cstdint>
#include <exception>
#include <vector>

namespace {

// One name for every session of the machine: two players (fast user switching, a remote session) who share one game
// folder must not update it at once, each deleting the other's staging folder.
const wchar_t MUTEX_PREFIX[] = L"Global\\VorlanceUpdater-";

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
    std::wstring absolute;
    unsigned long error = 0;
    if (!AbsolutePathOf(directory, absolute, error)) {
        return directory;
    }
    std::vector<wchar_t> expanded(GetLongPathNameW(absolute.c_str(), nullptr, 0) + 1, L'\0');
    const DWORD expandedLength =
        GetLongPathNameW(absolute.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (expandedLength == 0 || expandedLength >= expanded.size()) {
        return absolute;
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
        // An updater of another user, or one that runs elevated, made the mark with a security that this one may not
        // open: another updater is at work on the folder all the same.
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

} // namespace

bool BecomeSoleUpdater()
{
    try {
        return ClaimProgramDirectory(GetProgramDirectory());
    } catch (const std::exception&) {
        // Out of memory this early: the worker meets the same shortage and reports it.
        return true;
    }
}
