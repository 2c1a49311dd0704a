#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"

namespace {

// One line in the list's own form, "# release N", so that a person reading either file reads the same words.
const wchar_t RECORD_NAME[] = L"vorlance_release.txt";
const wchar_t RECORD_PART_NAME[] = L"vorlance_release_new.txt";
// The line, its CR LF and a little more: anything longer is not a record this updater wrote.
const DWORD RECORD_MAX_BYTES = 64;

KernelHandle OpenRecordFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition)
{
    const HANDLE file =
        CreateFileW(MakeLongPath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return KernelHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

} // namespace

uint64_t ReadInstalledRelease(const std::wstring& programDirectory)
{
    const KernelHandle file = OpenRecordFile(programDirectory + RECORD_NAME, GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    char bytes[RECORD_MAX_BYTES + 1] = {};
    DWORD length = 0;
    if (!file || !ReadFile(file.get(), bytes, sizeof(bytes), &length, nullptr) || length > RECORD_MAX_BYTES) {
        return 0;
    }
    std::string line(bytes, length);
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    uint64_t release = 0;
    return ParseReleaseLine(line, release) ? release : 0;
}

void RecordInstalledRelease(const std::wstring& programDirectory, uint64_t release)
{
    const std::wstring partPath = programDirectory + RECORD_PART_NAME;
    const std::wstring recordPath = programDirectory + RECORD_NAME;
    const std::string text = ReleaseLine(release);
    ClearBlockingAttributes(partPath);
    KernelHandle file = OpenRecordFile(partPath, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!file) {
        return;
    }
    DWORD written = 0;
    // Flushed before the rename, so that after a power cut the record holds the old line or the new one, whole.
    const bool whole = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file.get());
    file.reset();
    ClearBlockingAttributes(recordPath);
    if (!whole || !MoveFileExW(MakeLongPath(partPath).c_str(), MakeLongPath(recordPath).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(MakeLongPath(partPath).c_str());
    }
}
