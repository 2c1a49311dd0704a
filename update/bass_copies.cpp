#include "update/library_switch.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <windows.h>

#include <vector>

namespace {

// A library held by the game or a tool gets 10 attempts over about three seconds, moved aside after the third and
// the sixth failure.
const int COPY_ATTEMPTS = 10;
const int COPY_FIRST_ASIDE_AFTER_FAILURES = 3;
const int COPY_SECOND_ASIDE_AFTER_FAILURES = 6;
const HeldFileRetries COPY_RETRIES = {COPY_ATTEMPTS, COPY_FIRST_ASIDE_AFTER_FAILURES, COPY_SECOND_ASIDE_AFTER_FAILURES};
// Fresh copies tried when the first one stays held after the old copy's name was freed.
const int FRESH_COPY_ATTEMPTS = 3;

bool SameBytes(const std::wstring& a, const std::wstring& b)
{
    Sha256Digest first = {};
    Sha256Digest second = {};
    return HashFileSha256(a, first) && HashFileSha256(b, second) && first == second;
}

// A whole, flushed copy of source under a free aside name beside destination: its extended-length path, empty when
// none could be made (nothing of it is left then).
std::wstring MakeWholeCopy(const std::wstring& source, const std::wstring& destination)
{
    const std::wstring temporary = FreeAsideName(destination);
    if (temporary.empty()) {
        return std::wstring();
    }
    const std::wstring longTemporary = MakeLongPath(temporary);
    if (!CopyFileW(MakeLongPath(source).c_str(), longTemporary.c_str(), TRUE)) {
        DeleteFileW(longTemporary.c_str());
        return std::wstring();
    }
    FlushFileToDisk(temporary);
    return longTemporary;
}

// The copy is made whole under an aside name beside the game (which the next run's sweep removes, should this one
// be killed), then takes the library's name in one rename. A full disk or a kill leaves the old copy as it was.
void RefreshCopy(const std::wstring& source, const std::wstring& destination)
{
    if (SameBytes(source, destination)) {
        return;
    }
    const std::wstring longTemporary = MakeWholeCopy(source, destination);
    if (longTemporary.empty()) {
        return;
    }
    const TemporaryFile cleanup(&longTemporary);
    const std::wstring longDestination = MakeLongPath(destination);
    const auto replace = [&]() -> unsigned long {
        return MoveFileExW(longTemporary.c_str(), longDestination.c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS
                                                                                                      : GetLastError();
    };
    unsigned long error = 0;
    if (RetryWhileHeld(destination, COPY_RETRIES, replace, error)) {
        return;
    }
    // The ladder moved the old copy aside, yet what held on was the new file (a scanner reading it): a fresh copy
    // under another name, which nothing has opened yet, takes the free name. It too is whole before it is named, so
    // that a kill never leaves a half-written library where the game loads it.
    for (int attempt = 0; attempt < FRESH_COPY_ATTEMPTS; ++attempt) {
        if (GetFileAttributesW(longDestination.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return;
        }
        const std::wstring longFresh = MakeWholeCopy(source, destination);
        if (longFresh.empty()) {
            return;
        }
        const TemporaryFile freshCleanup(&longFresh);
        if (MoveFileExW(longFresh.c_str(), longDestination.c_str(), 0)) {
            return;
        }
    }
}

} // namespace

void RefreshBassCopies(const std::wstring& programDirectory, const std::wstring& libraryDirectory)
{
    if (!IsLibraryWhole(libraryDirectory)) {
        return;
    }
    std::vector<std::wstring> names;
    WalkDirectory(libraryDirectory, L"bass*.dll", WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        if (!entry.directory) {
            names.push_back(entry.name);
        }
        return true;
    });
    for (const std::wstring& name : names) {
        RefreshCopy(WithTrailingBackslash(libraryDirectory) + name, programDirectory + name);
    }
}
