#include "tests/mirror/mirror_client.h"

#include "tests/common/test_support.h"

#include <windows.h>

#include <atomic>

namespace {

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t value[4096] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    if (length == 0 || length >= 4096) {
        ADD_FAILURE() << Utf8(name) << " is not set: run the test through ctest, which starts the mirror";
        return std::wstring();
    }
    return value;
}

int PortFrom(const wchar_t* name)
{
    const std::wstring value = EnvironmentValue(name);
    return value.empty() ? 0 : std::stoi(value);
}

// "a/b/c" below the served folder, in Windows form.
std::wstring ServedPath(const std::wstring& relativePath)
{
    std::wstring path = MirrorRootFolder() + L"\\" + relativePath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

void CreateParentFolders(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
}

} // namespace

std::wstring MirrorRootFolder()
{
    // The fixture passes the Linux path; Wine's Z: drive is the Linux root.
    std::wstring folder = EnvironmentValue(L"VORLANCE_MIRROR_ROOT");
    if (folder.empty()) {
        return folder;
    }
    for (wchar_t& c : folder) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    while (!folder.empty() && folder.back() == L'\\') {
        folder.pop_back();
    }
    return L"Z:" + folder;
}

int MirrorPort()
{
    return PortFrom(L"VORLANCE_MIRROR_PORT");
}

int MirrorWrongHostPort()
{
    return PortFrom(L"VORLANCE_MIRROR_WRONG_HOST_PORT");
}

int MirrorUntrustedPort()
{
    return PortFrom(L"VORLANCE_MIRROR_UNTRUSTED_PORT");
}

std::wstring MirrorUrl(const std::wstring& path, int port)
{
    return L"https://localhost:" + std::to_wstring(port) + L"/" + path;
}

std::wstring MakeMirrorScenario()
{
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const std::wstring name = L"s" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
        if (CreateDirectoryW((MirrorRootFolder() + L"\\" + name).c_str(), nullptr)) {
            return name;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create a scenario below " << Utf8(MirrorRootFolder()) << ", error "
                          << GetLastError();
            return name;
        }
    }
}

void ServeFile(const std::wstring& relativePath, const std::string& bytes)
{
    const std::wstring path = ServedPath(relativePath);
    CreateParentFolders(path);
    WriteFileBytes(path, bytes);
}

void SetBehaviour(const std::wstring& relativePath, const std::string& json)
{
    ServeFile(relativePath + L".behaviour", json);
}

namespace {

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

} // namespace

std::vector<std::string> RequestsFor(const std::wstring& scenario)
{
    return LinesOf(ReadFileBytes(ServedPath(scenario + L"/requests.log")));
}

std::vector<std::string> RangesFor(const std::wstring& scenario)
{
    return LinesOf(ReadFileBytes(ServedPath(scenario + L"/ranges.log")));
}
