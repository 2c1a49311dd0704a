#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <algorithm>

namespace {

// One line in the list's own form, "# release N", so that a person reading either file reads the same words. The
// same line is kept twice: a record deleted, emptied or scrambled by some other program still leaves the copy.
const wchar_t RECORD_NAME[] = L"vorlance_release.txt";
const wchar_t RECORD_PART_NAME[] = L"vorlance_release_new.txt";
const wchar_t RECORD_COPY_NAME[] = L"vorlance_release_copy.txt";
const wchar_t RECORD_COPY_PART_NAME[] = L"vorlance_release_copy_new.txt";
// The line with whatever blanks and line ends an editor may add: anything longer is not a record.
const DWORD RECORD_MAX_BYTES = 256;
// A scanner or a backup tool holds a file it reads for a moment; waiting longer would only delay the game.
const int RECORD_READ_ATTEMPTS = 10;
const DWORD RECORD_READ_PAUSE_MS = 200;
const char UTF8_BOM[] = "\xEF\xBB\xBF";

enum class CopyRead { MISSING, RELEASE, HELD, GARBAGE };

KernelHandle OpenRecordFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition)
{
    const HANDLE file =
        CreateFileW(MakeLongPath(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return KernelHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

// Reads one copy, taking it as a person may have saved it from an editor: with a UTF-8 byte order mark, trailing
// blanks or line ends.
CopyRead ReadRecordCopy(const std::wstring& path, uint64_t& release)
{
    const KernelHandle file =
        OpenRecordFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? CopyRead::MISSING : CopyRead::HELD;
    }
    char bytes[RECORD_MAX_BYTES + 1] = {};
    DWORD length = 0;
    if (!ReadFile(file.get(), bytes, sizeof(bytes), &length, nullptr)) {
        return CopyRead::HELD;
    }
    if (length > RECORD_MAX_BYTES) {
        return CopyRead::GARBAGE;
    }
    std::string line(bytes, length);
    if (line.compare(0, 3, UTF8_BOM) == 0) {
        line.erase(0, 3);
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    return ParseReleaseLine(line, release) ? CopyRead::RELEASE : CopyRead::GARBAGE;
}

// Writes the line under a temporary name and renames it over the copy. Best effort.
void WriteRecordCopy(const std::wstring& partPath, const std::wstring& copyPath, const std::string& text)
{
    ClearBlockingAttributes(partPath);
    KernelHandle file = OpenRecordFile(partPath, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!file) {
        return;
    }
    DWORD written = 0;
    // Flushed before the rename, so that after a power cut the copy holds the old line or the new one, whole.
    const bool whole = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file.get());
    file.reset();
    ClearBlockingAttributes(copyPath);
    if (!whole || !MoveFileExW(MakeLongPath(partPath).c_str(), MakeLongPath(copyPath).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(MakeLongPath(partPath).c_str());
    }
}

} // namespace

ReleaseRecord ReadInstalledRelease(const std::wstring& programDirectory)
{
    for (int attempt = 1;; ++attempt) {
        ReleaseRecord record;
        int readable = 0;
        bool held = false;
        bool garbage = false;
        for (const wchar_t* name : {RECORD_NAME, RECORD_COPY_NAME}) {
            uint64_t release = 0;
            switch (ReadRecordCopy(programDirectory + name, release)) {
            case CopyRead::MISSING:
                break;
            case CopyRead::RELEASE:
                record.bothCopies = readable == 1 && release == record.release;
                record.release = std::max(record.release, release);
                ++readable;
                break;
            case CopyRead::HELD:
                held = true;
                break;
            case CopyRead::GARBAGE:
                garbage = true;
                break;
            }
        }
        // A held copy may be the higher one (a run stopped between writing the two): the other alone could lower
        // the record.
        if (!held) {
            record.state = readable != 0 ? RecordState::RELEASE : garbage ? RecordState::DAMAGED : RecordState::NONE;
            return record;
        }
        if (attempt == RECORD_READ_ATTEMPTS) {
            return ReleaseRecord{RecordState::HELD, 0, false};
        }
        Sleep(RECORD_READ_PAUSE_MS);
    }
}

void RecordInstalledRelease(const std::wstring& programDirectory, uint64_t release)
{
    const std::string text = ReleaseLine(release);
    // Each file on its own: a copy that could be written keeps the release even when the other stays behind.
    WriteRecordCopy(programDirectory + RECORD_PART_NAME, programDirectory + RECORD_NAME, text);
    WriteRecordCopy(programDirectory + RECORD_COPY_PART_NAME, programDirectory + RECORD_COPY_NAME, text);
}
