#include "fs/fs.h"

#include <windows.h>

namespace {

const DWORD BLOCKING_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// A holder that lets go soon is met within the first short pauses; one that takes longer is not asked too often.
const int SHORT_PAUSES = 4;
const DWORD SHORT_PAUSE_MS = 150;
const DWORD LONG_PAUSE_MS = 400;

} // namespace

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

bool IsWriteRefusal(unsigned long errorCode)
{
    return errorCode == ERROR_ACCESS_DENIED || errorCode == ERROR_WRITE_PROTECT ||
           errorCode == ERROR_NETWORK_ACCESS_DENIED;
}

bool RetryWhileHeld(const std::wstring& path, const HeldFileRetries& retries,
                    const std::function<unsigned long()>& attempt, unsigned long& error)
{
    for (int failures = 1; failures <= retries.attempts; ++failures) {
        error = attempt();
        if (error == ERROR_SUCCESS) {
            return true;
        }
        if (!IsInUseError(error)) {
            return false;
        }
        // A read-only, hidden or system file refuses a write as "access denied" too, whoever holds it.
        if (error == ERROR_ACCESS_DENIED) {
            ClearBlockingAttributes(path);
        }
        // A loaded library or a running image can be renamed though not overwritten: free its name now and then.
        if (failures == retries.firstAsideAfterFailures || failures == retries.secondAsideAfterFailures) {
            MoveLockedFileAside(path);
        }
        Sleep(failures <= SHORT_PAUSES ? SHORT_PAUSE_MS : LONG_PAUSE_MS);
    }
    return false;
}
