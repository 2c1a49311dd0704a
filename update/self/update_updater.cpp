#include "update/self/self_update.h"

#include "update/update.h"

#include "download/download.h"
#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace {

// ".old-" and ten hex digits (IsAsideName).
const size_t ASIDE_SUFFIX_CHARS = 15;
// A file of a few digests; anything longer is not ours and is read no further.
const DWORD REFUSED_MAX_BYTES = 64 * 1024;

std::vector<std::string> ReadRefusedDigests(const std::wstring& path)
{
    std::vector<std::string> digests;
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return digests;
    }
    KernelHandle file(opened);
    std::string text(REFUSED_MAX_BYTES, '\0');
    DWORD length = 0;
    if (!ReadFile(file.get(), &text[0], REFUSED_MAX_BYTES, &length, nullptr)) {
        return digests;
    }
    text.resize(length);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        digests.push_back(line);
        start = end + 1;
    }
    return digests;
}

// Best effort: a file that cannot be written costs at most one more qualification of the same candidate.
void WriteRefusedDigests(const std::wstring& path, const std::vector<std::string>& digests)
{
    if (digests.empty()) {
        DeleteFileW(MakeLongPath(path).c_str());
        return;
    }
    std::string text;
    for (const std::string& digest : digests) {
        text += digest + "\n";
    }
    const HANDLE created = CreateFileW(MakeLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        return;
    }
    KernelHandle file(created);
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void RunUpdaterUpdate(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                      const std::wstring& runningPath, DWORD limitMs)
{
    const std::wstring candidatePath = programDirectory + UPDATER_CANDIDATE_NAME;
    const std::wstring refusedPath = programDirectory + UPDATER_REFUSED_NAME;
    const Sha256Digest* listed = FindListedFile(list, "updater.exe");
    const std::string listedHex = listed != nullptr ? FormatDigestHex(*listed) : std::string();

    // A hash is remembered only while the list names it: a studio that lists another updater gets it tried.
    const std::vector<std::string> refused = ReadRefusedDigests(refusedPath);
    const bool refusedBefore =
        listed != nullptr && std::find(refused.begin(), refused.end(), listedHex) != refused.end();
    const std::vector<std::string> kept =
        refusedBefore ? std::vector<std::string>{listedHex} : std::vector<std::string>{};
    if (refused != kept) {
        WriteRefusedDigests(refusedPath, kept);
    }
    Sha256Digest own{};
    if (listed == nullptr || refusedBefore || runningPath.empty() || !HashFileSha256(runningPath, own) ||
        own == *listed ||
        CompareStringOrdinal(runningPath.c_str(), -1, candidatePath.c_str(), -1, TRUE) == CSTR_EQUAL) {
        return;
    }

    PostStatus(window, L"Downloading the new updater...");
    PostProgress(window, 0);
    DownloadFailure failure;
    const std::vector<const wchar_t*> mirrors = MirrorsFor(&list);
    if (!DownloadFromMirrors(mirrors.data(), mirrors.size(), L"updater.exe", candidatePath, window, listed,
                             LooksLikeUpdater, failure, UPDATER_MAX_BYTES)) {
        // The listed bytes are no program: no later run would fare better. Anything else (no mirror, other bytes
        // during an upload) may pass next time.
        if (failure.unusable) {
            WriteRefusedDigests(refusedPath, {listedHex});
        }
        return;
    }
    PostStatus(window, L"Checking the new updater...");
    if (!QualifyCandidate(candidatePath, *listed, list.release, limitMs)) {
        DeleteFileOrMoveAside(candidatePath);
        WriteRefusedDigests(refusedPath, {listedHex});
        return;
    }
    if (!SwapInUpdater(candidatePath, runningPath)) {
        // Not the candidate's fault (another program holds a file): it is fetched and qualified again next time.
        DeleteFileOrMoveAside(candidatePath);
    }
}

} // namespace

bool LooksLikeUpdater(const std::wstring& path)
{
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(opened);
    LARGE_INTEGER size = {};
    IMAGE_DOS_HEADER dos = {};
    DWORD read = 0;
    if (!GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) < UPDATER_MIN_BYTES ||
        static_cast<uint64_t>(size.QuadPart) > UPDATER_MAX_BYTES ||
        !ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr) || read != sizeof(dos) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 || dos.e_lfanew > size.QuadPart - 64) {
        return false;
    }
    // The PE signature and file header: an executable image that is no library.
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } pe = {};
    LARGE_INTEGER at = {};
    at.QuadPart = dos.e_lfanew;
    return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
           ReadFile(file.get(), &pe, sizeof(pe), &read, nullptr) && read == sizeof(pe) &&
           pe.signature == IMAGE_NT_SIGNATURE && (pe.header.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) != 0 &&
           (pe.header.Characteristics & IMAGE_FILE_DLL) == 0;
}

void UpdateUpdater(const std::wstring& programDirectory, HWND window, const ChecksumList& list,
                   const std::wstring& runningPath, DWORD limitMs)
{
    try {
        RunUpdaterUpdate(programDirectory, window, list, runningPath, limitMs);
    } catch (const std::exception&) {
        // Out of memory: the updater stays as it is, and the game phase's outcome stands.
    }
}

bool RestoreUpdaterName(const std::wstring& programDirectory, const std::wstring& ownPath)
{
    const std::wstring candidatePath = programDirectory + UPDATER_CANDIDATE_NAME;
    if (CompareStringOrdinal(ownPath.c_str(), -1, candidatePath.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return false;
    }
    // The signature of that cut: the previous updater under an aside name whose own name is free.
    std::wstring freeName;
    WalkDirectory(programDirectory, L"*.exe.old-*", WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        const std::wstring name = entry.name.substr(0, entry.name.size() - ASIDE_SUFFIX_CHARS);
        if (!entry.directory && IsAsideName(entry.name) &&
            CompareStringOrdinal(name.c_str(), -1, L"vorlance.exe", -1, TRUE) != CSTR_EQUAL &&
            GetFileAttributesW(MakeLongPath(programDirectory + name).c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND && LooksLikeUpdater(entry.path)) {
            freeName = name;
        }
        return freeName.empty();
    });
    return !freeName.empty() && MoveFileExW(MakeLongPath(ownPath).c_str(),
                                            MakeLongPath(programDirectory + freeName).c_str(), MOVEFILE_WRITE_THROUGH);
}

void SettleUpdaterCandidate(const std::wstring& programDirectory, const std::wstring& ownPath)
{
    try {
        const std::wstring candidatePath = programDirectory + UPDATER_CANDIDATE_NAME;
        if (!RestoreUpdaterName(programDirectory, ownPath) &&
            GetFileAttributesW(MakeLongPath(candidatePath).c_str()) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileOrMoveAside(candidatePath);
        }
    } catch (const std::exception&) {
        // Out of memory: the candidate is never started without qualifying, and the next run tries again.
    }
}
