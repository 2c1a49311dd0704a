// The bytes of a patch: which central directories are worth fetching, and the changed entries streamed from the
// network through their unpacking into the staging folder, hashed as they are written. What is held does not grow with
// an entry, a request or what a mirror's records claim.
#include "update/library_patch.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "fs/handles.h"

#include <algorithm>
#include <new>

namespace {

// A central record's fixed part.
const uint64_t CENTRAL_RECORD_BYTES = 46;
// Folder records a directory may hold beyond the folders of listed files (empty folders, lib itself as "./"): as many
// as the listed files, and this many besides.
const uint64_t OTHER_FOLDER_RECORDS = 64;
// What a record may hold beyond its fixed part and its name: extra fields (zip64 sizes 32 bytes, NTFS times 36, Unix
// times 13) and a comment.
const uint64_t RECORD_EXTRA_BYTES = 256;
// A UTF-16 unit of a listed path stands for at most this many bytes of the stored name that decodes to it.
const uint64_t STORED_BYTES_PER_UNIT = 3;
// WriteFile counts in 32 bits.
const size_t WRITE_PIECE_BYTES = 0x40000000;

// One fetched file entry on its way into the staging folder: created when its span begins, written and hashed piece
// by piece as it is unpacked.
struct StagedEntry {
    const Sha256Digest* listed = nullptr;
    KernelHandle file;
    Sha256Stream hash;
    EntryStream unpacking;
    bool writeFailed = false; // the file could not be created, written or hashed: no fault of the mirror's bytes
};

// Writes the next unpacked bytes of the entry and adds them to its hash; false when Windows refuses them (a full
// disk, access).
bool WriteNewFile(StagedEntry& staged, const uint8_t* bytes, size_t size)
{
    for (size_t written = 0; written < size;) {
        const DWORD piece = static_cast<DWORD>(std::min(size - written, WRITE_PIECE_BYTES));
        DWORD done = 0;
        if (!WriteFile(staged.file.get(), bytes + written, piece, &done, nullptr) || done == 0) {
            staged.writeFailed = true;
            return false;
        }
        written += done;
    }
    staged.writeFailed = !AddSha256(staged.hash, bytes, size);
    return !staged.writeFailed;
}

// Creates the staging file of an entry whose span (spanSize bytes) begins; false when Windows refuses it. Throws
// std::bad_alloc.
bool BeginEntry(StagedEntry& staged, const RangedEntry& entry, uint64_t spanSize, const Sha256Digest& listed,
                const std::wstring& staging, std::set<std::wstring>& created)
{
    staged = StagedEntry();
    staged.listed = &listed;
    ZipCreateParentDirs(WithTrailingBackslash(staging), entry.path, created);
    const HANDLE opened = CreateFileW(MakeLongPath(WithTrailingBackslash(staging) + entry.path).c_str(), GENERIC_WRITE,
                                      0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    staged.writeFailed = opened == INVALID_HANDLE_VALUE;
    if (staged.writeFailed) {
        return false;
    }
    staged.file.reset(opened);
    staged.hash = StartSha256();
    staged.writeFailed = !staged.hash;
    staged.unpacking = StartEntryStream(
        entry, spanSize, [&staged](const uint8_t* bytes, size_t size) { return WriteNewFile(staged, bytes, size); });
    return !staged.writeFailed;
}

// Ends an entry once its data has come: false when Windows refused its file, or when it was not unpacked whole or
// lacks the listed digest (the mirror's bytes are not the listed ones: otherBytes).
bool StageEntry(StagedEntry& staged, bool& otherBytes)
{
    std::string reason;
    const bool whole = FinishEntryStream(*staged.unpacking, reason);
    Sha256Digest digest = {};
    if (staged.writeFailed || !FinishSha256(staged.hash, digest)) {
        return false;
    }
    staged.unpacking.reset();
    staged.file.reset();
    if (!whole || digest != *staged.listed) {
        otherBytes = true;
        return false;
    }
    return true;
}

// One request's bytes as they arrive: each of its entries (in package order) is unpacked from its span in turn, and
// the bytes between them are passed over.
struct RequestStream {
    const std::vector<RangedEntry>& entries;
    const PatchPlan& plan;
    const ChecksumList& list;
    const std::wstring& staging;
    std::set<std::wstring>& created;
    const PatchRequest& request;
    bool& otherBytes;
    uint64_t at = 0; // the package offset of the next byte
    size_t next = 0; // of request.entries, the next to begin
    StagedEntry staged = {};
    bool overlapping = false; // an entry's data ran into the next one's span
};

// Hands the request's next bytes to the entries they belong to; false stops the transfer.
bool TakeRequestBytes(RequestStream& stream, const uint8_t* bytes, size_t size)
{
    StagedEntry& staged = stream.staged;
    while (size > 0) {
        if (!staged.unpacking) {
            if (stream.next == stream.request.entries.size()) {
                return true;
            }
            const size_t index = stream.request.entries[stream.next];
            const RangedEntry& entry = stream.entries[index];
            // Entries that share bytes cannot be unpacked in one pass over them.
            if (stream.at > entry.spanOffset) {
                stream.overlapping = true;
                return false;
            }
            const size_t between = static_cast<size_t>(std::min<uint64_t>(size, entry.spanOffset - stream.at));
            stream.at += between;
            bytes += between;
            size -= between;
            if (size == 0) {
                return true;
            }
            if (!BeginEntry(staged, entry, entry.spanLength,
                            stream.list.libraryFiles[stream.plan.listedOf[index]].digest, stream.staging,
                            stream.created)) {
                return false;
            }
        }
        size_t used = 0;
        std::string reason;
        if (!FeedEntryStream(*staged.unpacking, bytes, size, used, reason)) {
            stream.otherBytes = stream.otherBytes || !staged.writeFailed;
            return false;
        }
        stream.at += used;
        bytes += used;
        size -= used;
        if (EntryStreamEnded(*staged.unpacking)) {
            if (!StageEntry(staged, stream.otherBytes)) {
                return false;
            }
            ++stream.next;
        }
    }
    return true;
}

} // namespace

// A directory that names exactly the listed files holds one record per listed file and beside them only folders: one
// per separator of the listed paths at most, and OTHER_FOLDER_RECORDS and as many as the listed files besides. Each
// record takes its fixed bytes, a name of at most STORED_BYTES_PER_UNIT bytes a unit of the path it names (another
// record's at most the longest listed path and a separator), that name again in an extra field that repeats it, and
// RECORD_EXTRA_BYTES. A directory beyond this could not name the listed files: neither its bytes nor its parse (about
// 11 times its bytes) are paid for, and the package comes whole.
bool DirectoryMayMatch(const PackageDirectoryLocation& location, const std::vector<LibraryFileChecksum>& listed)
{
    uint64_t separators = 0;
    uint64_t units = 0;
    uint64_t longest = 0;
    for (const LibraryFileChecksum& file : listed) {
        separators += std::count(file.relativePath.begin(), file.relativePath.end(), L'\\');
        units += file.relativePath.size();
        longest = std::max<uint64_t>(longest, file.relativePath.size());
    }
    const uint64_t files = listed.size();
    const uint64_t records = location.entryCount;
    if (records < files || records > 2 * files + separators + OTHER_FOLDER_RECORDS) {
        return false;
    }
    const uint64_t nameBytes = STORED_BYTES_PER_UNIT * (units + (records - files) * (longest + 1));
    return location.size <= records * (CENTRAL_RECORD_BYTES + RECORD_EXTRA_BYTES) + 2 * nameBytes;
}

PatchFetch FetchPatchEntries(RemoteFile& package, TransferProgress& progress, const std::vector<RangedEntry>& entries,
                             const PatchPlan& plan, const ChecksumList& list, const std::wstring& staging,
                             std::set<std::wstring>& created, DownloadedBytes& whole, bool& otherBytes)
{
    try {
        for (const PatchRequest& request : plan.requests) {
            RequestStream stream{entries, plan, list, staging, created, request, otherBytes, request.offset};
            const RangeAnswer answer = FetchRangeTo(
                package, request.offset, request.length, PACKAGE_MAX_BYTES, &progress,
                [&stream](const uint8_t* bytes, size_t size) { return TakeRequestBytes(stream, bytes, size); }, whole);
            if (answer == RangeAnswer::WHOLE_FILE) {
                return PatchFetch::WHOLE_FILE;
            }
            if (stream.overlapping) {
                return PatchFetch::CANNOT_STREAM;
            }
            if (answer != RangeAnswer::PART) {
                return PatchFetch::FAILED;
            }
        }
        // An empty file needs no bytes from the mirror.
        for (size_t index : plan.fetched) {
            StagedEntry staged;
            if (entries[index].spanLength == 0 &&
                !(BeginEntry(staged, entries[index], 0, list.libraryFiles[plan.listedOf[index]].digest, staging,
                             created) &&
                  StageEntry(staged, otherBytes))) {
                return PatchFetch::FAILED;
            }
        }
    } catch (const std::bad_alloc&) {
        return PatchFetch::FAILED;
    }
    return PatchFetch::STAGED;
}
