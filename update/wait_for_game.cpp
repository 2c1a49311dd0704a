#include "update/update.h"

#include "update/self/self_update.h"

#include "fs/handles.h"
#include "status/status.h"

#include <tlhelp32.h>

#include <iterator>

namespace {

const DWORD WAIT_LIMIT_MS = 15000;
const DWORD WAIT_SLICE_MS = 500;
const DWORD IMAGE_PATH_CHARS = 520;
const DWORD LOWEST_CONSIDERED_PID = 5;
const int CANDIDATE_NAME_CHARS = static_cast<int>(std::size(UPDATER_CANDIDATE_NAME) - 1);

// Opens the first process, other than this one, whose image lies in the program directory or below it; empty if none.
KernelHandle FindBlockingProcess(const std::wstring& programDirectory)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return KernelHandle();
    }
    const DWORD ownId = GetCurrentProcessId();
    const int directoryLength = static_cast<int>(programDirectory.size());
    HANDLE found = nullptr;

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == nullptr;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == ownId || entry.th32ProcessID < LOWEST_CONSIDERED_PID) {
            continue;
        }
        const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t image[IMAGE_PATH_CHARS] = {};
        DWORD imageLength = IMAGE_PATH_CHARS;
        // The program directory ends in a backslash, so a sibling folder such as "Demo2" never matches "Demo\".
        // A new updater being qualified is no game: it ends by itself or is ended. Nor is one whose start a killed
        // run cut short, which may stay suspended for good, under its name or the aside name the next run gave it.
        if (QueryFullProcessImageNameW(process, 0, image, &imageLength) &&
            imageLength >= static_cast<DWORD>(directoryLength) &&
            CompareStringOrdinal(image, directoryLength, programDirectory.c_str(), directoryLength, TRUE) ==
                CSTR_EQUAL &&
            !(imageLength >= static_cast<DWORD>(directoryLength + CANDIDATE_NAME_CHARS) &&
              CompareStringOrdinal(image + directoryLength, CANDIDATE_NAME_CHARS, UPDATER_CANDIDATE_NAME,
                                   CANDIDATE_NAME_CHARS, TRUE) == CSTR_EQUAL)) {
            found = process;
        } else {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return KernelHandle(found);
}

} // namespace

void WaitForGameToClose(const std::wstring& programDirectory, HWND window)
{
    const DWORD start = GetTickCount();
    bool statusPosted = false;
    // Unsigned subtraction keeps the limit right across a wrap of the tick counter.
    while (GetTickCount() - start < WAIT_LIMIT_MS) {
        KernelHandle blocking = FindBlockingProcess(programDirectory);
        if (!blocking) {
            break;
        }
        if (!statusPosted) {
            PostStatus(window, L"Waiting for the game to close...");
        }
        WaitForSingleObject(blocking.get(), WAIT_SLICE_MS);
        statusPosted = true;
    }
}
