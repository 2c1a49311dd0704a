#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace {

// Encrypted, strongly encrypted, patch data: the library refuses all three as encryption.
const mz_uint16 ENCRYPTION_FLAGS = 0x0001 | 0x0040 | 0x0020;
const mz_uint16 MADE_BY_UNIX = 3;
const mz_uint32 UNIX_TYPE_MASK = 0xF000;
const mz_uint32 UNIX_SYMBOLIC_LINK = 0xA000;
// What CreateFileW gives for a path that runs through a file, and for a file where a folder stands.
const uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
const uint32_t ERROR_ACCESS_DENIED_CODE = 5;

// A file or folder an earlier entry made below lib: one node per path component, hung below its parent, so that a
// deep name costs a node per component and never a copy of each of its prefixes. Folding maps unit to unit, so a
// folded prefix has one length however it is spelled: the node's spelling lies at the same place in the disk path of
// the entry that made or last wrote it.
struct Made {
    uint32_t parent; // NO_NODE for a component directly below lib
    uint32_t index;  // the entry that made the folder, or last wrote the file
    uint32_t hash;   // of the parent and the folded component
    bool folder;
};
const uint32_t NO_NODE = 0xFFFFFFFF;

// Nodes found by parent and folded component through an open-addressed table of node numbers, at most half full.
// A deque grows without moving (or doubling) what it holds.
struct MadeTree {
    std::deque<Made> nodes;
    std::vector<uint32_t> slots;
};

// What a walk found missing (from the component at firstNew on, below parent) or overwrote; kept only when the entry
// is written.
struct Walk {
    uint32_t parent = NO_NODE;
    size_t firstNew = std::wstring::npos;
    uint32_t overwritten = NO_NODE;
};

uint32_t ComponentHash(uint32_t parent, const std::wstring& path, size_t start, size_t end)
{
    uint32_t hash = 2166136261u ^ parent;
    for (size_t at = start; at < end; ++at) {
        hash = (hash ^ static_cast<uint32_t>(FoldCase(path[at]))) * 16777619u;
    }
    return hash;
}

// True when the component of spelled that starts at start folds to path's from start to end. No unit folds to '\\',
// so a shorter component of spelled differs at its separator.
bool SameComponent(const std::wstring& spelled, const std::wstring& path, size_t start, size_t end)
{
    if (spelled.size() < end || (spelled.size() > end && spelled[end] != L'\\')) {
        return false;
    }
    for (size_t at = start; at < end; ++at) {
        if (FoldCase(spelled[at]) != FoldCase(path[at])) {
            return false;
        }
    }
    return true;
}

uint32_t FindMade(const MadeTree& made, const std::vector<PackageEntry>& entries, uint32_t parent,
                  const std::wstring& path, size_t start, size_t end)
{
    if (made.slots.empty()) {
        return NO_NODE;
    }
    const uint32_t hash = ComponentHash(parent, path, start, end);
    const size_t mask = made.slots.size() - 1;
    for (size_t slot = hash & mask; made.slots[slot] != NO_NODE; slot = (slot + 1) & mask) {
        const Made& node = made.nodes[made.slots[slot]];
        if (node.hash == hash && node.parent == parent &&
            SameComponent(entries[node.index].diskPath, path, start, end)) {
            return made.slots[slot];
        }
    }
    return NO_NODE;
}

void PlaceInSlot(std::vector<uint32_t>& slots, uint32_t hash, uint32_t number)
{
    const size_t mask = slots.size() - 1;
    size_t slot = hash & mask;
    while (slots[slot] != NO_NODE) {
        slot = (slot + 1) & mask;
    }
    slots[slot] = number;
}

uint32_t AddMade(MadeTree& made, const Made& node)
{
    const uint32_t number = static_cast<uint32_t>(made.nodes.size());
    made.nodes.push_back(node);
    if (made.nodes.size() * 2 > made.slots.size()) {
        std::vector<uint32_t> slots(std::max<size_t>(16, made.slots.size() * 2), NO_NODE);
        for (uint32_t at = 0; at < number; ++at) {
            PlaceInSlot(slots, made.nodes[at].hash, at);
        }
        made.slots.swap(slots);
    }
    PlaceInSlot(made.slots, node.hash, number);
    return number;
}

// Remembers what a written entry made: the nodes its walk found missing, the file it overwrote.
void Remember(MadeTree& made, const Walk& walk, uint32_t index, const PackageEntry& entry)
{
    if (walk.overwritten != NO_NODE) {
        made.nodes[walk.overwritten].index = index;
    }
    uint32_t parent = walk.parent;
    const std::wstring& path = entry.path;
    for (size_t start = walk.firstNew; start < path.size();) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        const bool last = end == path.size();
        parent = AddMade(made, Made{parent, index, ComponentHash(parent, path, start, end), !last || entry.folder});
        start = end + 1;
    }
}

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
Walk WalkPath(const MadeTree& made, const std::vector<PackageEntry>& entries, PackageEntry& entry)
{
    Walk walk;
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
            return walk;
        }
        start = end + 1;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        const bool last = end == path.size();
        // Below a component no earlier entry made, none of the rest can have been made either.
        const uint32_t found =
            walk.firstNew == std::wstring::npos ? FindMade(made, entries, walk.parent, path, start, end) : NO_NODE;
        if (start != 0) {
            entry.diskPath.push_back(L'\\');
        }
        if (found == NO_NODE) {
            entry.diskPath.append(path, start, end - start);
            walk.firstNew = std::min(walk.firstNew, start);
        } else {
            const Made& earlier = made.nodes[found];
            // Windows keeps the name that is there: the first spelling wins.
            entry.diskPath.append(entries[earlier.index].diskPath, start, end - start);
            walk.parent = found;
            const bool file = !earlier.folder;
            if (file || (last && !entry.folder)) {
                entry.clash = earlier.index;
            }
            if (file && entry.folder) {
                entry.skipped = true;
                entry.reason = "a file stands where the folder would go";
                return walk;
            }
            if (file && !last) {
                entry.refusal = CannotWrite(entry, ERROR_PATH_NOT_FOUND_CODE);
                return walk;
            }
            if (!file && last && !entry.folder) {
                entry.refusal = CannotWrite(entry, ERROR_ACCESS_DENIED_CODE);
                return walk;
            }
            if (file) {
                // The later entry's bytes under the earlier spelling.
                walk.overwritten = found;
            }
        }
        if (last) {
            return walk;
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
    const std::string storedRefusal = StoredSizeRefusal(record);
    return storedRefusal.empty() ? std::string() : failed + storedRefusal;
}

PackageEntry JudgeEntry(const EntryRecord& record, uint32_t index, MadeTree& made,
                        const std::vector<PackageEntry>& entries, const DataRefusal& refuseData)
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
    // The updater's marks at the top of lib carry these names: a release file of one would be taken for a mark,
    // overwritten, removed, and never match the release's list.
    if (!entry.folder && IsMarkFileName(entry.path)) {
        entry.refusal = "cannot write " + WideToUtf8(entry.path) + ": the updater keeps its own mark under this name";
        return entry;
    }
    const Walk walk = WalkPath(made, entries, entry);
    if (entry.refusal.empty() && !entry.folder) {
        entry.refusal = refuseData(index, record, entry);
        entry.refusedData = !entry.refusal.empty();
    }
    // A refused file stops the updater; what follows is judged as if it were not there.
    if (entry.refusal.empty()) {
        Remember(made, walk, index, entry);
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

std::string StoredSizeRefusal(const EntryRecord& record)
{
    if (record.compressedSize != 0 && record.method == 0 && record.compressedSize != record.uncompressedSize) {
        return mz_zip_get_error_string(MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE);
    }
    return std::string();
}

std::vector<PackageEntry> JudgeEntries(const std::vector<EntryRecord>& records, const DataRefusal& refuseData)
{
    std::vector<PackageEntry> entries;
    entries.reserve(records.size());
    MadeTree made;
    for (size_t i = 0; i < records.size(); ++i) {
        entries.push_back(JudgeEntry(records[i], static_cast<uint32_t>(i), made, entries, refuseData));
    }
    return entries;
}

std::vector<PackageEntry> ScanPackage(mz_zip_archive* zip)
{
    std::vector<EntryRecord> records;
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    records.reserve(count);
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
