#include "update/self/self_update.h"

#include "fs/fs.h"
#include "fs/handles.h"

namespace {

// Both renames reach the disk before the call returns, so that a power cut finds one of the states this file
// describes and never an older one.
const DWORD RENAME_FLAGS = MOVEFILE_WRITE_THROUGH;

// The candidate's bytes on the disk before its name says it is the updater.
bool FlushCandidate(const std::wstring& candidatePath)
{
    const HANDLE opened = CreateFileW(MakeLongPath(candidatePath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(opened);
    return FlushFileBuffers(file.get()) != FALSE;
}

} // namespace

bool SwapInUpdater(const std::wstring& candidatePath, const std::wstring& runningPath)
{
    const std::wstring longCandidate = MakeLongPath(candidatePath);
    const std::wstring longRunning = MakeLongPath(runningPath);
    if (!FlushCandidate(candidatePath)) {
        return false;
    }
    // One step, with no moment without an updater under the name: Windows refuses it while the name is a running
    // image (ERROR_ACCESS_DENIED), which the updater always is here; it succeeds only for a file that does not run.
    if (MoveFileExW(longCandidate.c_str(), longRunning.c_str(), MOVEFILE_REPLACE_EXISTING | RENAME_FLAGS)) {
        return true;
    }
    // A running image can be renamed, though not replaced or deleted: its name is freed for the candidate, and
    // only between these two renames is there no updater under it. The next run's sweep deletes the aside copy
    // once this process has ended.
    const std::wstring aside = FreeAsideName(runningPath);
    const std::wstring longAside = MakeLongPath(aside);
    if (aside.empty() || !MoveFileExW(longRunning.c_str(), longAside.c_str(), RENAME_FLAGS)) {
        return false;
    }
    if (MoveFileExW(longCandidate.c_str(), longRunning.c_str(), RENAME_FLAGS)) {
        return true;
    }
    MoveFileExW(longAside.c_str(), longRunning.c_str(), RENAME_FLAGS);
    return false;
}
