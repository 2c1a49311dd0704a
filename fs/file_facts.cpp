#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <map>

namespace {

// The classes and records that the headers declare only for Windows 8 and later; this build targets Windows 7, where
// (as under Wine 8) the 128-bit listing is refused and the 64-bit one stands in.
const FILE_INFO_BY_HANDLE_CLASS FILE_ID_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
const FILE_INFO_BY_HANDLE_CLASS EXTD_LISTING_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(19);
const FILE_INFO_BY_HANDLE_CLASS EXTD_LISTING_RESTART_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(20);
struct FileIdRecord {
    ULONGLONG volumeSerialNumber;
    unsigned char fileId[16];
};
struct ExtdListingRecord {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    LARGE_INTEGER endOfFile;
    LARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    ULONG eaSize;
    ULONG reparsePointTag;
    unsigned char fileId[16];
    WCHAR fileName[1];
};
// Several hundred entries a call.
const DWORD LISTING_BUFFER_BYTES = 64 * 1024;

struct ListedEntry {
    FileFacts facts;
    bool directory = false;
    bool link = false;
};
struct FolderListing {
    bool listed = false;
    uint64_t serial = 0;
    std::map<std::wstring, ListedEntry> entries;
};

std::wstring WithoutTrailingBackslash(const std::wstring& folder)
{
    return folder.size() > 3 && folder.back() == L'\\' ? folder.substr(0, folder.size() - 1) : folder;
}

// The serial number of the volume that holds a folder.
bool ReadVolumeSerial(HANDLE directory, uint64_t& serial)
{
    FileIdRecord id = {};
    if (GetFileInformationByHandleEx(directory, FILE_ID_INFO_CLASS, &id, sizeof(id))) {
        serial = id.volumeSerialNumber;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION classic = {};
    if (!GetFileInformationByHandle(directory, &classic)) {
        return false;
    }
    serial = classic.dwVolumeSerialNumber;
    return true;
}

template <typename Record> void AddEntries(const std::vector<unsigned char>& buffer, FolderListing& listing)
{
    for (size_t at = 0;;) {
        const Record* record = reinterpret_cast<const Record*>(buffer.data() + at);
        ListedEntry entry;
        entry.facts.size = static_cast<uint64_t>(record->endOfFile.QuadPart);
        entry.facts.lastWriteTime = record->lastWriteTime.QuadPart;
        entry.facts.changeTime = record->changeTime.QuadPart;
        entry.facts.volumeSerial = listing.serial;
        std::memcpy(entry.facts.fileId.data(), &record->fileId, sizeof(record->fileId));
        entry.directory = (record->fileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.link = (record->fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        listing.entries[std::wstring(record->fileName, record->fileNameLength / sizeof(WCHAR))] = entry;
        if (record->nextEntryOffset == 0) {
            return;
        }
        at += record->nextEntryOffset;
    }
}

// The 64-bit listing in the 128-bit record's field names, so that one reader takes both.
struct BothListingRecord {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    LARGE_INTEGER endOfFile;
    LARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    ULONG eaSize;
    CCHAR shortNameLength;
    WCHAR shortName[12];
    LARGE_INTEGER fileId;
    WCHAR fileName[1];
};
static_assert(sizeof(BothListingRecord) == sizeof(FILE_ID_BOTH_DIR_INFO) &&
                  offsetof(BothListingRecord, fileId) == offsetof(FILE_ID_BOTH_DIR_INFO, FileId) &&
                  offsetof(BothListingRecord, fileName) == offsetof(FILE_ID_BOTH_DIR_INFO, FileName),
              "the system's 64-bit listing record");

// Lists a folder through one handle: what the file system keeps for each entry (sizes, times, IDs), without opening
// any of them. The volume's serial number is asked here unless the caller knows it (listing.serial).
void ListFolder(const std::wstring& folder, bool serialKnown, FolderListing& listing)
{
    const HANDLE opened = CreateFileW(MakeLongPath(WithoutTrailingBackslash(folder)).c_str(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return;
    }
    const KernelHandle directory(opened);
    if (!serialKnown && !ReadVolumeSerial(directory.get(), listing.serial)) {
        return;
    }
    std::vector<unsigned char> buffer(LISTING_BUFFER_BYTES);
    // The 128-bit IDs where the system has them (ReFS needs them), else the 64-bit ones.
    bool wide = true;
    for (bool first = true;; first = false) {
        if (wide &&
            GetFileInformationByHandleEx(directory.get(), first ? EXTD_LISTING_RESTART_CLASS : EXTD_LISTING_CLASS,
                                         buffer.data(), LISTING_BUFFER_BYTES)) {
            AddEntries<ExtdListingRecord>(buffer, listing);
            continue;
        }
        // Windows 7 and Wine refuse the 128-bit class (invalid parameter), as may a file system without it.
        if (wide && first && GetLastError() != ERROR_NO_MORE_FILES) {
            wide = false;
        }
        if (!wide && GetFileInformationByHandleEx(directory.get(),
                                                  first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                                  buffer.data(), LISTING_BUFFER_BYTES)) {
            AddEntries<BothListingRecord>(buffer, listing);
            continue;
        }
        listing.listed = GetLastError() == ERROR_NO_MORE_FILES;
        return;
    }
}

} // namespace

void ReadFilesFacts(const std::vector<std::wstring>& paths, std::vector<FileFacts>& facts, std::vector<char>& read)
{
    facts.assign(paths.size(), FileFacts{});
    read.assign(paths.size(), 0);
    std::map<std::wstring, FolderListing> folders;
    for (const std::wstring& path : paths) {
        folders[FolderOf(path)];
    }
    // Parents sort before their subfolders: a subfolder that its parent lists as a plain directory (no mount point or
    // link) lies on the parent's volume, so that a tree costs one volume query.
    for (auto& [folder, listing] : folders) {
        const std::wstring trimmed = WithoutTrailingBackslash(folder);
        const auto parent = folders.find(FolderOf(trimmed));
        bool inherited = false;
        if (parent != folders.end() && parent->second.listed) {
            const auto entry = parent->second.entries.find(trimmed.substr(parent->first.size()));
            inherited = entry != parent->second.entries.end() && entry->second.directory && !entry->second.link;
        }
        if (inherited) {
            listing.serial = parent->second.serial;
        }
        ListFolder(folder, inherited, listing);
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::wstring folder = FolderOf(paths[i]);
        const FolderListing& listing = folders[folder];
        const auto entry = listing.entries.find(paths[i].substr(folder.size()));
        // A listing cut short says nothing: its files are read as files that could not be asked.
        if (listing.listed && entry != listing.entries.end() && !entry->second.directory) {
            facts[i] = entry->second.facts;
            read[i] = 1;
        }
    }
}

bool ReadFileFacts(const std::wstring& path, FileFacts& facts)
{
    std::vector<FileFacts> all;
    std::vector<char> read;
    ReadFilesFacts({path}, all, read);
    facts = all[0];
    return read[0] != 0;
}

bool SameFileFacts(const FileFacts& a, const FileFacts& b)
{
    return a.size == b.size && a.lastWriteTime == b.lastWriteTime && a.changeTime == b.changeTime &&
           a.volumeSerial == b.volumeSerial && a.fileId == b.fileId;
}
