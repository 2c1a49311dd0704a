// Times one whole run of the real updater, from the start of its process to its exit, and watches for the
// "Update Error" box, which it reads and dismisses so that a failed run ends and is reported instead of hanging:
//
//   bench_update.exe UPDATER_EXE TIMEOUT_MS
//       starts UPDATER_EXE with its own folder as working directory, as a player's double-click does; prints seconds,
//       exit_code and error_box (the box's text, empty when none appeared)
//   bench_update.exe empty FOLDER
//       times only the updater's emptying of a folder (DeleteDirectoryContentsRecursive), one of the parts of a run
//   bench_update.exe hash PATH...
//       times only the hashing of every file at or below each PATH (HashFileSha256 on the updater's pool of
//       PoolThreadCount threads), what a run with a checksum list does to an unchanged installation; prints seconds,
//       bytes, files and threads
#include "bench/bench_support.h"

#include "fs/fs.h"

#include <algorithm>
#include <vector>

namespace {

const DWORD WATCH_INTERVAL_MS = 20;
const DWORD BOX_TEXT_CHARS = 1024;
const int BOX_TEXT_ID = 0xFFFF;

struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchErrorBox(HWND window, LPARAM parameter)
{
    BoxSearch* search = reinterpret_cast<BoxSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    wchar_t title[32] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, title, 32);
    if (owner == search->processId && lstrcmpW(className, L"#32770") == 0 && lstrcmpW(title, L"Update Error") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Reads the box's text and presses OK.
std::wstring DismissErrorBox(DWORD processId)
{
    BoxSearch search = {processId, nullptr};
    EnumWindows(MatchErrorBox, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return std::wstring();
    }
    wchar_t text[BOX_TEXT_CHARS] = {};
    GetDlgItemTextW(search.found, BOX_TEXT_ID, text, BOX_TEXT_CHARS);
    PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    return text[0] != L'\0' ? std::wstring(text) : std::wstring(L"(empty box)");
}

// Adds one file and its size.
bool AddFile(const std::wstring& path, unsigned long long& bytes, std::vector<std::wstring>& files)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    bytes += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    files.push_back(path);
    return true;
}

// Collects a file, or every file below a folder; false when one cannot be listed.
bool CollectTree(const std::wstring& path, unsigned long long& bytes, std::vector<std::wstring>& files)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return AddFile(path, bytes, files);
    }
    bool ok = true;
    const bool listed = WalkDirectory(path, L"*", WalkOrder::DIRECTORY_FIRST, [&](const DirectoryEntry& entry) {
        ok = (entry.directory || AddFile(entry.path, bytes, files)) && ok;
        return true;
    });
    return listed && ok;
}

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = ProgramArguments();
    if (arguments.size() == 2 && arguments[0] == L"empty") {
        const double start = NowSeconds();
        DeleteDirectoryContentsRecursive(arguments[1]);
        PrintFigure("seconds", NowSeconds() - start);
        return 0;
    }
    if (arguments.size() >= 2 && arguments[0] == L"hash") {
        unsigned long long bytes = 0;
        std::vector<std::wstring> files;
        bool ok = true;
        const double start = NowSeconds();
        for (size_t i = 1; i < arguments.size(); ++i) {
            ok = CollectTree(arguments[i], bytes, files) && ok;
        }
        // The updater's check without its comparison: every file hashed on the pool it uses.
        std::vector<char> hashed(files.size(), 0);
        TaskPoolHolder pool = StartTaskPool(PoolThreadCount(), [&files, &hashed](size_t, size_t i) {
            Sha256Digest digest{};
            hashed[i] = HashFileSha256(files[i], digest);
        });
        for (size_t i = 0; i < files.size() && pool; ++i) {
            SubmitTask(*pool, i);
        }
        std::vector<size_t> finished;
        while (pool && TakeFinishedTasks(*pool, finished, true)) {
        }
        pool.reset();
        PrintFigure("seconds", NowSeconds() - start);
        ok = ok && std::all_of(hashed.begin(), hashed.end(), [](char one) { return one != 0; });
        PrintCount("bytes", bytes);
        PrintCount("files", files.size());
        PrintCount("threads", PoolThreadCount());
        PrintCount("ok", ok ? 1 : 0);
        return ok ? 0 : 1;
    }
    if (arguments.size() != 2) {
        return Usage("usage: bench_update.exe UPDATER_EXE TIMEOUT_MS | empty FOLDER | hash PATH...");
    }
    const std::wstring& updater = arguments[0];
    const DWORD timeoutMs = static_cast<DWORD>(ParseCount(arguments[1]));
    const std::wstring folder = FolderOf(updater);
    std::wstring commandLine = L"\"" + updater + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};

    const double start = NowSeconds();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        return Usage("cannot start the updater");
    }
    double seconds = 0.0;
    std::wstring errorBox;
    bool timedOut = false;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, WATCH_INTERVAL_MS) == WAIT_OBJECT_0) {
            seconds = NowSeconds() - start;
            break;
        }
        if (NowSeconds() - start > timeoutMs / 1000.0) {
            TerminateProcess(process.hProcess, 98);
            WaitForSingleObject(process.hProcess, 10000);
            seconds = NowSeconds() - start;
            timedOut = true;
            break;
        }
        if (errorBox.empty()) {
            errorBox = DismissErrorBox(process.dwProcessId);
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    PrintFigure("seconds", seconds);
    PrintCount("exit_code", exitCode);
    PrintCount("timed_out", timedOut ? 1 : 0);
    PrintText("error_box", errorBox);
    return timedOut || exitCode != 0 || !errorBox.empty() ? 1 : 0;
}
