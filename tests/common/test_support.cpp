#include "tests/common/test_support.h"

#include "status/status.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

std::wstring Widen(const std::string& utf8)
{
    if (utf8.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &result[0], size);
    return result;
}

std::wstring MakeTempFolder()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    for (;;) {
        const std::wstring candidate = std::wstring(temp) + L"vorlance-test-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            return candidate;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create a temporary folder, error " << GetLastError();
            return candidate;
        }
    }
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const std::wstring& name : ListFolder(path)) {
            RemoveTree(path + L"\\" + name);
        }
    }
    RemoveDirectoryW(path.c_str());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Utf8(path) << " error " << GetLastError();
    size_t offset = 0;
    while (offset < bytes.size()) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1 << 20));
        if (!WriteFile(file, bytes.data() + offset, piece, &written, nullptr) || written == 0) {
            break;
        }
        offset += written;
    }
    CloseHandle(file);
    ASSERT_EQ(offset, bytes.size());
}

std::string ReadFileBytes(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char buffer[65536];
    DWORD bytesRead = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &bytesRead, nullptr) && bytesRead > 0) {
        bytes.append(buffer, bytesRead);
    }
    CloseHandle(file);
    return bytes;
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD AttributesOf(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str());
}

std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsRunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DirectoryLinkCase MakeDirectoryLinkCase(const char* preparedVariable)
{
    DirectoryLinkCase made;
    const char* prepared = std::getenv(preparedVariable);
    if (prepared != nullptr && IsRunningUnderWine()) {
        made.folder = L"Z:" + Widen(prepared);
        std::replace(made.folder.begin(), made.folder.end(), L'/', L'\\');
        return made;
    }
    made.folder = MakeTempFolder();
    made.madeHere = true;
    CreateDirectoryW((made.folder + L"\\lib").c_str(), nullptr);
    CreateDirectoryW((made.folder + L"\\outside").c_str(), nullptr);
    WriteFileBytes(made.folder + L"\\outside\\precious.txt", "precious\n");
    WriteFileBytes(made.folder + L"\\lib\\a.dll", "library\n");
    if (!CreateSymbolicLinkW((made.folder + L"\\lib\\link").c_str(), (made.folder + L"\\outside").c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !PathExists(made.folder + L"\\lib\\link")) {
        RemoveTree(made.folder);
        made.folder.clear();
    }
    return made;
}

bool ReadOnlyIsEnforced()
{
    static const bool enforced = [] {
        const std::wstring folder = MakeTempFolder();
        const std::wstring probe = folder + L"\\readonly-probe";
        WriteFileBytes(probe, "x");
        SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY);
        const HANDLE file =
            CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool refused = file == INVALID_HANDLE_VALUE;
        if (!refused) {
            CloseHandle(file);
        }
        RemoveTree(folder);
        return refused;
    }();
    return enforced;
}

std::wstring BinFolder()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring module = path;
    return module.substr(0, module.rfind(L'\\') + 1);
}

void FixtureProcess::Stop()
{
    if (info.hProcess != nullptr) {
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info.hProcess, 1);
            WaitForSingleObject(info.hProcess, 10000);
        }
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
        info = PROCESS_INFORMATION{};
    }
}

bool FixtureProcess::WaitForExit(DWORD timeoutMs)
{
    return info.hProcess != nullptr && WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

void CopyFixtureTo(const std::wstring& exePath)
{
    if (!PathExists(exePath)) {
        EXPECT_TRUE(CopyFileW((BinFolder() + L"fixture_game.exe").c_str(), exePath.c_str(), TRUE))
            << Utf8(exePath) << " error " << GetLastError();
    }
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!PathExists(path)) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

FixtureProcess StartFixture(const std::wstring& exePath, const std::wstring& arguments, const std::wstring& recordName)
{
    CopyFixtureTo(exePath);
    const std::wstring folder = exePath.substr(0, exePath.rfind(L'\\') + 1);
    const std::wstring record = folder + recordName;
    DeleteFileW(record.c_str());
    std::wstring commandLine = L"\"" + exePath + L"\" --record \"" + recordName + L"\" " + arguments;
    commandLine.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    FixtureProcess process;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process.info)) {
        ADD_FAILURE() << "cannot start " << Utf8(exePath) << " error " << GetLastError();
        return process;
    }
    EXPECT_TRUE(WaitForFile(record, 20000)) << "the fixture game never wrote " << Utf8(record);
    return process;
}

std::wstring RecordValue(const std::wstring& recordPath, const std::string& key)
{
    const std::string text = ReadFileBytes(recordPath);
    const std::string prefix = key + "=";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(at, prefix.size(), prefix) == 0) {
            return Widen(text.substr(at + prefix.size(), end - at - prefix.size()));
        }
        at = end + 1;
    }
    return std::wstring();
}

std::string ChecksumListFromPackTool(const std::string& package, const std::string& game, uint64_t release)
{
    const std::wstring work = MakeTempFolder();
    WriteFileBytes(work + L"\\lib.zip", package);
    WriteFileBytes(work + L"\\game.exe", game);
    const std::wstring option = release != 0 ? L"--release " + std::to_wstring(release) + L" " : L"";
    std::wstring commandLine = L"\"" + BinFolder() + L"VorlancePack.exe\" manifest " + option + L"\"" + work +
                               L"\\lib.zip\" \"" + work + L"\\game.exe\" \"" + work + L"\\SHA256SUMS\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION tool = {};
    DWORD exitCode = STILL_ACTIVE;
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &tool)) {
        WaitForSingleObject(tool.hProcess, INFINITE);
        GetExitCodeProcess(tool.hProcess, &exitCode);
        CloseHandle(tool.hThread);
        CloseHandle(tool.hProcess);
    }
    EXPECT_EQ(exitCode, 0u) << "pack manifest failed";
    // The game's smaller forms that the tool writes beside the list are not on these tests' mirrors: their lines go,
    // so that a run asks for nothing the test did not serve.
    const std::string written = ReadFileBytes(work + L"\\SHA256SUMS");
    std::string list;
    for (size_t at = 0; at < written.size();) {
        const size_t end = std::min(written.find('\n', at), written.size() - 1) + 1;
        const std::string line = written.substr(at, end - at);
        if (line.find("  game.exe.") == std::string::npos) {
            list += line;
        }
        at = end;
    }
    RemoveTree(work);
    return list;
}

std::vector<DWORD> ProcessesRunningFrom(const std::wstring& folder)
{
    std::vector<DWORD> found;
    const std::wstring prefix = folder.back() == L'\\' ? folder : folder + L'\\';
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return found;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t image[1024] = {};
        DWORD length = 1024;
        if (QueryFullProcessImageNameW(process, 0, image, &length) && length >= prefix.size() &&
            CompareStringOrdinal(image, static_cast<int>(prefix.size()), prefix.c_str(),
                                 static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL) {
            found.push_back(entry.th32ProcessID);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

HWND CreateRecorderWindow()
{
    return CreateWindowExW(0, L"STATIC", L"recorder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

std::vector<PostedMessage> TakePosted(HWND recorder)
{
    std::vector<PostedMessage> posted;
    MSG message = {};
    while (PeekMessageW(&message, recorder, WM_UPDATER_PROGRESS, WM_UPDATER_CLOSE, PM_REMOVE)) {
        PostedMessage item{message.message, message.wParam, std::wstring()};
        if (message.message == WM_UPDATER_STATUS && message.wParam != 0) {
            wchar_t* text = reinterpret_cast<wchar_t*>(message.wParam);
            item.text = text;
            delete[] text;
        }
        posted.push_back(item);
    }
    return posted;
}

std::vector<std::wstring> StatusTexts(const std::vector<PostedMessage>& posted)
{
    std::vector<std::wstring> texts;
    for (const PostedMessage& item : posted) {
        if (item.message == WM_UPDATER_STATUS) {
            texts.push_back(item.text);
        }
    }
    return texts;
}

std::vector<int> ProgressValues(const std::vector<PostedMessage>& posted)
{
    std::vector<int> values;
    for (const PostedMessage& item : posted) {
        if (item.message == WM_UPDATER_PROGRESS) {
            values.push_back(static_cast<int>(item.value));
        }
    }
    return values;
}

HWND FindProcessWindow(const wchar_t* className, const wchar_t* title, DWORD processId)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, title); window != nullptr;
         window = FindWindowExW(nullptr, window, className, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
    }
    return nullptr;
}

std::wstring DismissBox(HWND box)
{
    // A box found the moment it appears may not have its text yet.
    wchar_t buffer[2048] = {};
    const DWORD start = GetTickCount();
    while (GetDlgItemTextW(box, 0xFFFF, buffer, 2048) == 0 && GetTickCount() - start < 5000) {
        Sleep(20);
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    // Wait until it is gone, so nobody takes it for a second box.
    while (IsWindow(box) && GetTickCount() - start < 10000) {
        Sleep(20);
    }
    return buffer;
}

bool DismissMessageBox(const std::wstring& title, DWORD timeoutMs, std::wstring& text, DWORD processId)
{
    if (processId == 0) {
        processId = GetCurrentProcessId();
    }
    const DWORD start = GetTickCount();
    for (;;) {
        // Other test programs may show a box of the same title at the same time: take only our own.
        const HWND box = FindProcessWindow(L"#32770", title.c_str(), processId);
        if (box != nullptr) {
            text = DismissBox(box);
            return true;
        }
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(50);
    }
}
