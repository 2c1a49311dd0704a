#include "update/update.h"

#include "status/status.h"

#include <stdexcept>
#include <vector>

void LaunchGame(const std::wstring& programDirectory, HWND window)
{
    PostStatus(window, L"Launching...");
    PostProgress(window, 100);

    const std::wstring commandLine = L"\"" + programDirectory + L"vorlance.exe\"";
    // CreateProcessW may write into its command line, so it gets a private copy.
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, writableCommandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        programDirectory.c_str(), &startup, &process)) {
        throw std::runtime_error("Failed to launch the game");
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
