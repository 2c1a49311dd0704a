// A package read by ranges: its end records from its last bytes, then its central directory, judged record by record
// as the zip library and the package rules judge a whole package, so that a package is refused here exactly when
// the whole-package check would refuse it for what its directory says.
#include "archive/archive.h"

#include "archive/zipreader/zip_reader_internal.h"

#include <algorithm>
#include <cstring>

using namespace zipreader;

namespace {

// How far back from the end the library looks for the end record.
const uint64_t END_RECORD_SEARCH_DEPTH_BYTES = 69584;
const uint64_t ZIP64_MIN_END_RECORD_REMAINDER_BYTES = 44;
// A local header's extra field may differ from the central one (access times, a zip64 block) and a data descriptor
// may follow the data: a span reaches this far past what the central record accounts for, when the next entry does
// not bound it first.
const uint64_t SPAN_ALLOWANCE_BYTES = 1024;

bool Refuse(std::string& reason, mz_zip_error error)
{
    reason = std::string("not a valid zip archive: ") + mz_zip_get_error_string(error);
    return false;
}

// The tail's view of the package: bytes by their offset in the package.
struct Tail {
    const mz_uint8* bytes;
    uint64_t start; // the package offset of bytes[0]
    uint64_t fileSize;

    bool Holds(uint64_t offset, uint64_t length) const
    {
        return offset >= start && offset <= fileSize && length <= fileSize - offset;
    }
    const mz_uint8* At(uint64_t offset) const { return bytes + (offset - start); }
};

// The end-record search of the library: the highest offset with the signature and a whole record after it.
bool FindEndRecord(const Tail& tail, uint64_t& found)
{
    const uint64_t size = tail.fileSize;
    // The search runs from the end backwards, so a shorter tail that holds a record finds the same one.
    const uint64_t lowest =
        std::max(tail.start, size > END_RECORD_SEARCH_DEPTH_BYTES ? size - END_RECORD_SEARCH_DEPTH_BYTES : 0);
    for (uint64_t offset = size - END_RECORD_SIZE_BYTES + 1; offset-- > lowest;) {
        if (ReadLe32(tail.At(offset)) == END_RECORD_SIGNATURE) {
            found = offset;
            return true;
        }
    }
    return false;
}

// The record as the library's statistics read it: the 64-bit values of the zip64 block replace the marked ones.
EntryRecord RecordAt(const mz_uint8* record, uint64_t& localOffset)
{
    EntryRecord entry;
    const size_t nameSize = ReadLe16(record + 28);
    const mz_uint8* name = record + CENTRAL_HEADER_SIZE_BYTES;
    entry.storedName.assign(reinterpret_cast<const char*>(name),
                            std::min<size_t>(nameSize, MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE - 1));
    entry.versionMadeBy = ReadLe16(record + 4);
    entry.bitFlag = ReadLe16(record + 8);
    entry.method = ReadLe16(record + 10);
    entry.externalAttributes = ReadLe32(record + 38);
    entry.directory =
        (nameSize > 0 && name[nameSize - 1] == '/') || (entry.externalAttributes & DOS_DIRECTORY_ATTRIBUTE) != 0;
    entry.compressedSize = ReadLe32(record + 20);
    entry.uncompressedSize = ReadLe32(record + 24);
    localOffset = ReadLe32(record + 42);
    if (!ApplyZip64Extra(record, &entry.uncompressedSize, &entry.compressedSize, &localOffset)) {
        entry.unreadable = mz_zip_get_error_string(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
    }
    return entry;
}

// Where a file's data must lie for the library to hand it out: its local header inside the package, its data
// after the header within the package. What the local header itself says is checked once it is fetched.
std::string BoundsRefusal(const EntryRecord& record, uint64_t localOffset, uint64_t fileSize)
{
    if (record.compressedSize == 0) {
        return std::string();
    }
    if (localOffset > fileSize || fileSize - localOffset < LOCAL_HEADER_SIZE_BYTES) {
        return mz_zip_get_error_string(MZ_ZIP_FILE_READ_FAILED);
    }
    if (record.compressedSize > fileSize - localOffset - LOCAL_HEADER_SIZE_BYTES) {
        return mz_zip_get_error_string(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
    }
    return StoredSizeRefusal(record);
}

// The span of a file entry: up to the next local header or the directory when that leaves room for what the central
// record accounts for, else what the record accounts for with the allowance.
uint64_t SpanLengthOf(uint64_t localOffset, uint64_t accounted, uint64_t next, uint64_t fileSize)
{
    const uint64_t limit = std::min(accounted + SPAN_ALLOWANCE_BYTES, fileSize - localOffset);
    const uint64_t room = next - localOffset;
    return room >= accounted ? std::min(room, limit) : limit;
}

} // namespace

bool LocatePackageDirectory(const MemoryImage& tail, uint64_t fileSize, PackageDirectoryLocation& location,
                            std::string& reason)
{
    location = PackageDirectoryLocation();
    location.fileSize = fileSize;
    if (fileSize == 0 || fileSize > PACKAGE_MAX_BYTES) {
        reason = PACKAGE_SIZE_REFUSAL;
        return false;
    }
    if (tail.size > fileSize || tail.size < std::min<uint64_t>(fileSize, END_RECORD_SIZE_BYTES)) {
        reason = "the package's last bytes are too few to find its end records";
        return false;
    }
    if (fileSize < END_RECORD_SIZE_BYTES) {
        return Refuse(reason, MZ_ZIP_NOT_AN_ARCHIVE);
    }
    const Tail view{tail.bytes.get(), fileSize - tail.size, fileSize};
    uint64_t endOfs = 0;
    if (!FindEndRecord(view, endOfs)) {
        return Refuse(reason, MZ_ZIP_FAILED_FINDING_CENTRAL_DIR);
    }
    const mz_uint8* end = view.At(endOfs);
    const mz_uint8* locator = nullptr;
    const mz_uint8* end64 = nullptr;
    if (endOfs >= ZIP64_LOCATOR_SIZE_BYTES + ZIP64_END_RECORD_SIZE_BYTES) {
        // A long comment can put the end record at the very start of a short tail, with the bytes where a zip64
        // locator would stand not in it: a longer tail is needed to read them.
        if (!view.Holds(endOfs - ZIP64_LOCATOR_SIZE_BYTES, ZIP64_LOCATOR_SIZE_BYTES)) {
            reason = "the zip64 locator lies before the package's last bytes";
            return false;
        }
        locator = end - ZIP64_LOCATOR_SIZE_BYTES;
        if (ReadLe32(locator) == ZIP64_LOCATOR_SIGNATURE) {
            const uint64_t end64Ofs = ReadLe64(locator + 8);
            if (end64Ofs > fileSize - ZIP64_END_RECORD_SIZE_BYTES) {
                return Refuse(reason, MZ_ZIP_NOT_AN_ARCHIVE);
            }
            if (!view.Holds(end64Ofs, ZIP64_END_RECORD_SIZE_BYTES)) {
                reason = "the zip64 end record lies before the package's last bytes";
                return false;
            }
            if (ReadLe32(view.At(end64Ofs)) == ZIP64_END_RECORD_SIGNATURE) {
                end64 = view.At(end64Ofs);
            }
        }
    }
    uint64_t total = ReadLe16(end + 10);
    uint64_t entriesOnDisk = ReadLe16(end + 8);
    uint32_t directoryDisk = ReadLe16(end + 6);
    location.disk = ReadLe16(end + 4);
    location.size = ReadLe32(end + 12);
    location.offset = ReadLe32(end + 16);
    if (end64 != nullptr) {
        // The zip64 values replace the classic ones whatever the classic ones hold.
        if (ReadLe64(end64 + 4) < ZIP64_MIN_END_RECORD_REMAINDER_BYTES) {
            return Refuse(reason, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
        }
        if (ReadLe32(locator + 16) != 1) {
            return Refuse(reason, MZ_ZIP_UNSUPPORTED_MULTIDISK);
        }
        total = ReadLe64(end64 + 32);
        entriesOnDisk = ReadLe64(end64 + 24);
        if (total > UINT32_MAX || entriesOnDisk > UINT32_MAX) {
            return Refuse(reason, MZ_ZIP_TOO_MANY_FILES);
        }
        location.size = ReadLe64(end64 + 40);
        if (location.size > UINT32_MAX) {
            return Refuse(reason, MZ_ZIP_UNSUPPORTED_CDIR_SIZE);
        }
        location.disk = ReadLe32(end64 + 16);
        directoryDisk = ReadLe32(end64 + 20);
        location.offset = ReadLe64(end64 + 48);
    }
    location.entryCount = total;
    if (total != entriesOnDisk ||
        ((location.disk != 0 || directoryDisk != 0) && !(location.disk == 1 && directoryDisk == 1))) {
        return Refuse(reason, MZ_ZIP_UNSUPPORTED_MULTIDISK);
    }
    // The library adds offset and size as they come; a forged offset that wraps the sum passes here and fails
    // below as a read failure, as it does there.
    if (location.size < total * CENTRAL_HEADER_SIZE_BYTES || location.offset + location.size > fileSize) {
        return Refuse(reason, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
    }
    if (total == 0) {
        reason = "zip archive is empty";
        return false;
    }
    if (location.offset > fileSize || location.size > fileSize - location.offset) {
        return Refuse(reason, MZ_ZIP_FILE_READ_FAILED);
    }
    const uint64_t directoryEnd = location.offset + location.size;
    if (directoryEnd <= view.start) {
        location.missingBytes = location.size;
    } else {
        location.missingBytes = location.offset < view.start ? view.start - location.offset : 0;
    }
    return true;
}

MemoryImage JoinPackageDirectory(const MemoryImage& tail, const PackageDirectoryLocation& location,
                                 const unsigned char* fetched)
{
    MemoryImage directory;
    AllocateImage(directory, static_cast<size_t>(location.size));
    const size_t missing = static_cast<size_t>(location.missingBytes);
    std::memcpy(directory.bytes.get(), fetched, missing);
    if (missing < directory.size) {
        // The rest starts where the tail starts, or inside it when the whole directory is there.
        const uint64_t tailStart = location.fileSize - tail.size;
        std::memcpy(directory.bytes.get() + missing, tail.bytes.get() + (location.offset + missing - tailStart),
                    directory.size - missing);
    }
    return directory;
}

bool ReadPackageDirectory(const MemoryImage& directory, const PackageDirectoryLocation& location,
                          std::vector<RangedEntry>& entries, std::string& reason)
{
    entries.clear();
    if (directory.size != location.size) {
        reason = "the central directory arrived incomplete";
        return false;
    }
    std::vector<EntryRecord> records;
    std::vector<uint64_t> localOffsets;
    std::vector<uint64_t> accounted; // what the central record accounts for: header, name, extra, data
    std::vector<uint32_t> crcs;
    bool zip64ExtraSeen = false;
    size_t pos = 0;
    for (uint64_t index = 0; index < location.entryCount; ++index) {
        const mz_uint8* record = directory.bytes.get() + pos;
        size_t recordSize = 0;
        // The bytes the library would read for a record that runs past the directory are not fetched; such a record
        // is refused either way.
        const mz_zip_error error = CheckCentralRecord(record, directory.size - pos, location.fileSize, location.disk,
                                                      nullptr, nullptr, &zip64ExtraSeen, &recordSize);
        if (error != MZ_ZIP_NO_ERROR) {
            return Refuse(reason, error);
        }
        uint64_t localOffset = 0;
        records.push_back(RecordAt(record, localOffset));
        localOffsets.push_back(localOffset);
        crcs.push_back(ReadLe32(record + 16));
        accounted.push_back(LOCAL_HEADER_SIZE_BYTES + ReadLe16(record + 28) + ReadLe16(record + 30) +
                            std::min(records.back().compressedSize, location.fileSize));
        pos += recordSize;
    }
    const uint64_t fileSize = location.fileSize;
    const std::vector<PackageEntry> judged =
        JudgeEntries(records, [&](size_t index, const EntryRecord& record, const PackageEntry& entry) {
            std::string refusal = RecordDataRefusal(record);
            if (refusal.empty()) {
                refusal = BoundsRefusal(record, localOffsets[index], fileSize);
            }
            return refusal.empty() ? refusal : "failed extracting " + WideToUtf8(entry.path) + ": " + refusal;
        });
    for (const PackageEntry& entry : judged) {
        if (!entry.refusal.empty()) {
            reason = entry.refusal;
            return false;
        }
    }
    // Every local header and the directory bound the entries before them.
    std::vector<uint64_t> boundaries = localOffsets;
    boundaries.push_back(location.offset);
    boundaries.push_back(fileSize);
    std::sort(boundaries.begin(), boundaries.end());
    entries.resize(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        RangedEntry& ranged = entries[i];
        const PackageEntry& entry = judged[i];
        ranged.method = records[i].method;
        ranged.compressedSize = records[i].compressedSize;
        ranged.uncompressedSize = records[i].uncompressedSize;
        ranged.localHeaderOffset = localOffsets[i];
        if (entry.folder) {
            continue;
        }
        ranged.path = entry.diskPath;
        ranged.crc32 = crcs[i];
        if (ranged.compressedSize == 0) {
            continue; // handed out empty without a look at its local header
        }
        const uint64_t next = *std::upper_bound(boundaries.begin(), boundaries.end(), ranged.localHeaderOffset);
        ranged.spanOffset = ranged.localHeaderOffset;
        ranged.spanLength = SpanLengthOf(ranged.localHeaderOffset, accounted[i], next, fileSize);
    }
    return true;
}
