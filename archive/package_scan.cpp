#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace {

// Encrypted, strongly encrypted, patch data: the library refuses all three as encryption.
const mz_uint16 ENCRYPTION_FLAGS = 0x0001 | 0x0040 | 0x0020;
const mz_uint16 MADE_BY_UNIX = 3;
const mz_uint32 UNIX_TYPE_MASK = 0xF000;
const mz_uint32 UNIX_SYMBOLIC_LINK = 0xA000;
// What CreateFileW gives for a path that runs through a file, and for a file where a folder stands.
const uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
const uint32_t ERROR_ACCESS_DENIED_CODE = 5;

// A file or folder an earlier entry made below lib, under the spelling it was made with.
struct Made {
    uint32_t index;
    std::wstring spelling;
    bool folder;
};
using MadeByFoldedPath = std::map<std::wstring, Made>;

std::string LibraryText(mz_zip_archive* zip)
{
    return mz_zip_get_error_string(mz_zip_get_last_error(zip));
}

std::string CannotWrite(PackageEntry& entry, uint32_t error)
{
    entry.windowsError = error;
    return "cannot write " + WideToUtf8(entry.path) + " (error " + std::to_string(error) + ")";
}

size_t TakeRawData(void*, uint64_t, const void*, size_t length)
{
    return length;
}

// Walks the entry's path below lib as CreateDirectoryW and CreateFileW would meet it: a name Windows refuses, then
// component by component a file where a folder is needed, a folder where the file should go. A folder entry is never
// refused: the updater ignores a folder it cannot create. Returns what the entry makes, to be remembered.
std::vector<std::pair<std::wstring, Made>> WalkPath(const MadeByFoldedPath& made, uint32_t index, PackageEntry& entry)
{
    std::vector<std::pair<std::wstring, Made>> making;
    const std::wstring& path = entry.path;
    // A name Windows refuses anywhere in the path is refused before the path is walked, so it outranks a file on
    // the way (measured under Wine: "file\a?b\c" gives 123, not 3).
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        uint32_t error = 0;
        if (const char* reason = RefusedComponent(path.substr(start, end - start), error)) {
            entry.reason = reason;
            entry.skipped = entry.folder;
            entry.refusal = entry.folder ? std::string() : CannotWrite(entry, error);
            return making;
        }
        start = end + 1;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        const bool last = end == path.size();
        const std::wstring component = path.substr(start, end - start);
        const std::wstring key = FoldCase(path.substr(0, end));
        const auto earlier = made.find(key);
        if (start != 0) {
            entry.diskPath.push_back(L'\\');
        }
        if (earlier == made.end()) {
            entry.diskPath += component;
            making.emplace_back(key, Made{index, entry.diskPath, !last || entry.folder});
        } else {
            // Windows keeps the name that is there: the first spelling wins.
            const std::wstring& spelling = earlier->second.spelling;
            entry.diskPath += spelling.substr(spelling.rfind(L'\\') + 1);
            const bool file = !earlier->second.folder;
            if (file || (last && !entry.folder)) {
                entry.clash = earlier->second.index;
            }
            if (file && entry.folder) {
                entry.skipped = true;
                entry.reason = "a file stands where the folder would go";
                return making;
            }
            if (file && !last) {
                entry.refusal = CannotWrite(entry, ERROR_PATH_NOT_FOUND_CODE);
                return making;
            }
            if (!file && last && !entry.folder) {
                entry.refusal = CannotWrite(entry, ERROR_ACCESS_DENIED_CODE);
                return making;
            }
            if (file) {
                // The later entry's bytes under the earlier spelling.
                making.emplace_back(key, Made{index, spelling, false});
            }
        }
        if (last) {
            return making;
        }
        start = end + 1;
    }
}

// What the library refuses before it inflates anything, in its own order: encryption, method, then the local header
// and where the data lies, which it checks on the raw data without inflating.
std::string UnpackRefusal(mz_zip_archive* zip, mz_uint index, const EntryRecord& record, const PackageEntry& entry)
{
    const std::string failed = "failed extracting " + WideToUtf8(entry.path) + ": ";
    const std::string refusal = RecordDataRefusal(record);
    if (!refusal.empty()) {
        return failed + refusal;
    }
    mz_zip_get_last_error(zip);
    if (!mz_zip_reader_extract_to_callback(zip, index, TakeRawData, nullptr, MZ_ZIP_FLAG_COMPRESSED_DATA)) {
        return failed + EntryFailureText(zip);
    }
    // Stored data is delivered as it lies, so a size that differs from it fails the entry whatever the bytes are.
    if (record.compressedSize != 0 && record.method == 0 && record.compressedSize != record.uncompressedSize) {
        return failed + mz_zip_get_error_string(MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE);
    }
    return std::string();
}

PackageEntry JudgeEntry(const EntryRecord& record, uint32_t index, MadeByFoldedPath& made,
                        const DataRefusal& refuseData)
{
    PackageEntry entry;
    if (!record.unreadable.empty()) {
        entry.refusal = "cannot read zip entry " + std::to_string(index) + ": " + record.unreadable;
        return entry;
    }
    entry.storedName = record.storedName;
    entry.bitFlag = record.bitFlag;
    entry.name = DecodeEntryName(entry.storedName.data(), entry.storedName.size(), record.bitFlag);
    entry.folder =
        record.directory || (!entry.name.empty() && (entry.name.back() == L'/' || entry.name.back() == L'\\'));
    entry.size = entry.folder ? 0 : record.uncompressedSize;
    entry.symbolicLink = !entry.folder && (record.versionMadeBy >> 8) == MADE_BY_UNIX &&
                         ((record.externalAttributes >> 16) & UNIX_TYPE_MASK) == UNIX_SYMBOLIC_LINK;
    // A file that names lib itself would be written over the folder that holds the package.
    if (!LibraryPathOf(entry.name, entry.path) || (entry.path.empty() && !entry.folder)) {
        entry.refusal = "unsafe path in zip entry " + std::to_string(index);
        return entry;
    }
    if (entry.path.empty()) {
        entry.skipped = true;
        entry.reason = "it names lib itself";
        return entry;
    }
    const auto making = WalkPath(made, index, entry);
    if (entry.refusal.empty() && !entry.folder) {
        entry.refusal = refuseData(index, record, entry);
        entry.refusedData = !entry.refusal.empty();
    }
    // A refused file stops the updater; what follows is judged as if it were not there.
    if (entry.refusal.empty()) {
        for (const auto& item : making) {
            made[item.first] = item.second;
        }
    }
    return entry;
}

EntryRecord RecordOf(mz_zip_archive* zip, mz_uint index)
{
    EntryRecord record;
    mz_zip_archive_file_stat stat;
    std::memset(&stat, 0, sizeof(stat));
    if (!mz_zip_reader_file_stat(zip, index, &stat)) {
        record.unreadable = LibraryText(zip);
        return record;
    }
    // Every stored byte up to the library's 511 (an embedded NUL must reach the name rule).
    char stored[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    const mz_uint copied = mz_zip_reader_get_filename(zip, index, stored, sizeof(stored));
    record.storedName.assign(stored, copied == 0 ? 0 : copied - 1);
    record.directory = stat.m_is_directory != 0;
    record.versionMadeBy = stat.m_version_made_by;
    record.bitFlag = stat.m_bit_flag;
    record.method = stat.m_method;
    record.externalAttributes = stat.m_external_attr;
    record.compressedSize = stat.m_comp_size;
    record.uncompressedSize = stat.m_uncomp_size;
    return record;
}

} // namespace

void ZipReaderEnder::operator()(mz_zip_archive* zip) const
{
    mz_zip_reader_end(zip);
}

bool OpenZipImage(const void* bytes, size_t size, mz_zip_archive& zip, std::string& message)
{
    std::memset(&zip, 0, sizeof(zip));
    if (!mz_zip_reader_init_mem(&zip, bytes, size, 0)) {
        message = "not a valid zip archive: " + LibraryText(&zip);
        return false;
    }
    if (mz_zip_reader_get_num_files(&zip) == 0) {
        mz_zip_reader_end(&zip);
        message = "zip archive is empty";
        return false;
    }
    return true;
}

std::string EntryFailureText(mz_zip_archive* zip)
{
    // The library stores no code when inflate meets corrupt or cut-short data, which would read "no error".
    const mz_zip_error error = mz_zip_get_last_error(zip);
    return mz_zip_get_error_string(error == MZ_ZIP_NO_ERROR ? MZ_ZIP_DECOMPRESSION_FAILED : error);
}

std::string RecordDataRefusal(const EntryRecord& record)
{
    // Empty entries are handed out without a look at their flags or method.
    if (record.compressedSize == 0) {
        return std::string();
    }
    const bool encrypted = (record.bitFlag & ENCRYPTION_FLAGS) != 0;
    if (!encrypted && record.method != 0 && record.method != MZ_DEFLATED) {
        return mz_zip_get_error_string(MZ_ZIP_UNSUPPORTED_METHOD);
    }
    if (encrypted) {
        return mz_zip_get_error_string(MZ_ZIP_UNSUPPORTED_ENCRYPTION);
    }
    return std::string();
}

std::vector<PackageEntry> JudgeEntries(const std::vector<EntryRecord>& records, const DataRefusal& refuseData)
{
    std::vector<PackageEntry> entries;
    entries.reserve(records.size());
    MadeByFoldedPath made;
    for (size_t i = 0; i < records.size(); ++i) {
        entries.push_back(JudgeEntry(records[i], static_cast<uint32_t>(i), made, refuseData));
    }
    return entries;
}

std::vector<PackageEntry> ScanPackage(mz_zip_archive* zip)
{
    std::vector<EntryRecord> records;
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    for (mz_uint i = 0; i < count; ++i) {
        records.push_back(RecordOf(zip, i));
    }
    std::vector<PackageEntry> entries =
        JudgeEntries(records, [zip](size_t index, const EntryRecord& record, const PackageEntry& entry) {
            return UnpackRefusal(zip, static_cast<mz_uint>(index), record, entry);
        });
    // The statistics and the probes leave codes behind; extraction must not be blamed for them.
    mz_zip_get_last_error(zip);
    return entries;
}
