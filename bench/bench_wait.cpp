// Measures what one look at the process list costs the updater while many other programs run:
//
//   bench_wait.exe OTHER_EXE COUNT CALLS PROGRAM_DIRECTORY
//
// First with only Wine's own processes, then after starting COUNT copies of OTHER_EXE (a stand-in game told to stay
// alive) from their own folder, it calls WaitForGameToClose CALLS times on PROGRAM_DIRECTORY, a folder from which
// nothing runs, so that each call makes exactly one scan and returns. For comparison it also times a bare walk of
// the snapshot that opens no process. Prints processes_*, scan_*_us and walk_*_us. The copies are ended by handle.
#include "bench/bench_support.h"

#include "update/update.h"

#include "fs/fs.h"

#include <tlhelp32.h>

#include <algorithm>

namespace {

const DWORD STAY_MS = 900000;
const DWORD START_TIMEOUT_MS = 300000;
const DWORD WAIT_BATCH = MAXIMUM_WAIT_OBJECTS;

// Snapshot, first, next, close: the part of a scan that does not depend on what the processes are.
unsigned long long WalkSnapshot()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    unsigned long long count = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ++count;
    }
    CloseHandle(snapshot);
    return count;
}

void TimeScans(const char* label, const std::wstring& programDirectory, unsigned long long calls)
{
    // One call first, so that the first use of each code path is not counted.
    WaitForGameToClose(programDirectory, nullptr);
    double start = NowSeconds();
    for (unsigned long long i = 0; i < calls; ++i) {
        WaitForGameToClose(programDirectory, nullptr);
    }
    const double scanUs = (NowSeconds() - start) * 1e6 / static_cast<double>(calls);

    unsigned long long processes = WalkSnapshot();
    start = NowSeconds();
    for (unsigned long long i = 0; i < calls; ++i) {
        processes = WalkSnapshot();
    }
    const double walkUs = (NowSeconds() - start) * 1e6 / static_cast<double>(calls);

    const std::string prefix(label);
    PrintCount(("processes_" + prefix).c_str(), processes);
    PrintFigure(("scan_" + prefix + "_us").c_str(), scanUs);
    PrintFigure(("walk_" + prefix + "_us").c_str(), walkUs);
}

bool StartOthers(const std::wstring& exe, unsigned long long count, std::vector<HANDLE>& processes)
{
    const std::wstring folder = FolderOf(exe);
    for (unsigned long long i = 0; i < count; ++i) {
        // Each copy writes its own record, which tells that it is up.
        std::wstring commandLine =
            L"\"" + exe + L"\" --stay " + std::to_wstring(STAY_MS) + L" --record up" + std::to_wstring(i) + L".txt";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                            folder.c_str(), &startup, &process)) {
            PrintCount("start_error", GetLastError());
            PrintCount("started", i);
            return false;
        }
        CloseHandle(process.hThread);
        processes.push_back(process.hProcess);
    }
    const DWORD start = GetTickCount();
    for (unsigned long long i = 0; i < count; ++i) {
        const std::wstring record = folder + L"up" + std::to_wstring(i) + L".txt";
        while (GetFileAttributesW(record.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount() - start > START_TIMEOUT_MS) {
                PrintCount("up", i);
                return false;
            }
            Sleep(50);
        }
    }
    return true;
}

void EndOthers(std::vector<HANDLE>& processes)
{
    for (HANDLE process : processes) {
        TerminateProcess(process, 0);
    }
    for (size_t first = 0; first < processes.size(); first += WAIT_BATCH) {
        const DWORD batch = static_cast<DWORD>(std::min<size_t>(WAIT_BATCH, processes.size() - first));
        WaitForMultipleObjects(batch, &processes[first], TRUE, 30000);
    }
    for (HANDLE process : processes) {
        CloseHandle(process);
    }
    processes.clear();
}

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = ProgramArguments();
    const unsigned long long count = arguments.size() == 4 ? ParseCount(arguments[1]) : 0;
    const unsigned long long calls = arguments.size() == 4 ? ParseCount(arguments[2]) : 0;
    if (count == 0 || calls == 0) {
        return Usage("usage: bench_wait.exe OTHER_EXE COUNT CALLS PROGRAM_DIRECTORY");
    }
    // The updater's program directory always ends in a backslash.
    std::wstring programDirectory = arguments[3];
    if (programDirectory.back() != L'\\') {
        programDirectory += L'\\';
    }

    TimeScans("alone", programDirectory, calls);
    std::vector<HANDLE> others;
    const double start = NowSeconds();
    const bool started = StartOthers(arguments[0], count, others);
    PrintFigure("start_seconds", NowSeconds() - start);
    if (started) {
        TimeScans("crowded", programDirectory, calls);
    }
    EndOthers(others);
    PrintCount("ok", started ? 1 : 0);
    return started ? 0 : 1;
}
