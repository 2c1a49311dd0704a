#include "tests/e2e/updater_run.h"

#include "tests/common/test_support.h"

namespace {

const DWORD WATCH_INTERVAL_MS = 10;
const DWORD CLOSE_WATCH_INTERVAL_MS = 1;

// Reads the label of the updater process's status window. False while there is none.
bool ReadStatusWindow(DWORD processId, HWND& window, std::wstring& label)
{
    window = FindProcessWindow(L"UpdaterWnd", L"Vorlance Updater", processId);
    if (window == nullptr) {
        return false;
    }
    const HWND labelControl = FindWindowExW(window, nullptr, L"Static", nullptr);
    wchar_t text[512] = {};
    if (labelControl == nullptr || !SendMessageTimeoutW(labelControl, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text),
                                                        SMTO_ABORTIFHUNG, 1000, nullptr)) {
        return false;
    }
    label = text;
    return true;
}

} // namespace

UpdaterRun RunUpdater(const std::wstring& gameFolder, const UpdaterRunOptions& options)
{
    UpdaterRun run;
    std::wstring commandLine = L"\"" + gameFolder + L"\\VorlanceUpdater.exe\"";
    commandLine.push_back(L'\0');
    wchar_t elsewhere[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, elsewhere);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Wine 8 on a busy machine has refused a process start with ERROR_INTERNAL_ERROR once in many hundreds, right
    // after an earlier updater of the same folder ended; under Wine that start is tried again. Any other refusal,
    // and any refusal on Windows, fails at once.
    const int attempts = IsRunningUnderWine() ? 3 : 1;
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, elsewhere, &startup,
                           &process)) {
            startError = ERROR_SUCCESS;
            break;
        }
        startError = GetLastError();
        if (startError != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
    }
    if (startError != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot start the updater, error " << startError;
        return run;
    }
    const DWORD start = GetTickCount();
    bool closeSent = false;
    // With a kill due at a label, the clock starts when the label appears; otherwise at the start.
    bool killClockRunning = options.killAtLabel.empty() && !options.killWhen;
    DWORD killClockStart = killClockRunning ? start : 0;
    const DWORD interval = killClockRunning ? WATCH_INTERVAL_MS : CLOSE_WATCH_INTERVAL_MS;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, interval) == WAIT_OBJECT_0) {
            run.exited = true;
            break;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (killClockRunning && GetTickCount() - killClockStart >= options.killAfterMs) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
            break;
        }
        if (elapsed >= options.timeoutMs) {
            ADD_FAILURE() << "the updater did not end within " << options.timeoutMs << " ms";
            TerminateProcess(process.hProcess, 98);
            WaitForSingleObject(process.hProcess, 10000);
            break;
        }
        if (!killClockRunning && options.killWhen && options.killWhen()) {
            killClockRunning = true;
            killClockStart = GetTickCount();
            continue;
        }
        HWND window = nullptr;
        std::wstring label;
        if (ReadStatusWindow(process.dwProcessId, window, label)) {
            if (run.labels.empty() || run.labels.back() != label) {
                run.labels.push_back(label);
            }
            if (!killClockRunning && label == options.killAtLabel) {
                killClockRunning = true;
                killClockStart = GetTickCount();
                continue;
            }
            if (!options.releaseAtLabel.empty() && label == options.releaseAtLabel &&
                !PathExists(options.releaseFile)) {
                WriteFileBytes(options.releaseFile, "");
            }
            if (!closeSent && !options.closeWindowAtLabel.empty() && label == options.closeWindowAtLabel) {
                PostMessageW(window, WM_CLOSE, 0, 0);
                closeSent = true;
            }
        }
        // Read after the window, so the label the box leaves behind is seen first.
        const HWND box = FindProcessWindow(L"#32770", L"Update Error", process.dwProcessId);
        if (box != nullptr) {
            EXPECT_TRUE(run.errorBox.empty()) << "a second error box";
            run.errorBox = DismissBox(box);
        }
    }
    run.tookMs = GetTickCount() - start;
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}
