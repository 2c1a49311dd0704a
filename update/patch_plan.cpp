#include "update/patch_plan.h"

#include <algorithm>
#include <map>
#include <string>

namespace {

// A central directory record: its fixed part, then name, extra field and comment.
const size_t CENTRAL_RECORD_BYTES = 46;
// The zip library keeps a stored name's first 511 bytes, and the package rules judge that.
const size_t STORED_NAME_MAX_BYTES = 511;
const uint32_t DOS_FOLDER_ATTRIBUTE = 0x10;

uint32_t ReadLittleEndian(const unsigned char* bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

uint64_t AddCapped(uint64_t sum, uint64_t more)
{
    return more > UINT64_MAX - sum ? UINT64_MAX : sum + more;
}

// Ties every list line to the one entry that writes that file; false when an entry writes a file the list does not
// name, a file is written twice, or a listed file is written by none.
bool MatchEntriesToList(const std::vector<RangedEntry>& entries, const std::vector<LibraryFileChecksum>& listed,
                        std::vector<size_t>& entryOfListed)
{
    std::map<std::wstring, size_t> listedByPath;
    for (size_t i = 0; i < listed.size(); ++i) {
        listedByPath.emplace(FoldCase(listed[i].relativePath), i);
    }
    const size_t none = entries.size();
    entryOfListed.assign(listed.size(), none);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].path.empty()) {
            continue;
        }
        const auto found = listedByPath.find(FoldCase(entries[i].path));
        if (found == listedByPath.end() || entryOfListed[found->second] != none) {
            return false;
        }
        entryOfListed[found->second] = i;
    }
    return std::find(entryOfListed.begin(), entryOfListed.end(), none) == entryOfListed.end();
}

// Spans in package order, a span that starts less than the gap after the request before it joining that request.
std::vector<PatchRequest> Coalesce(const std::vector<RangedEntry>& entries, std::vector<size_t> fetched)
{
    std::sort(fetched.begin(), fetched.end(),
              [&](size_t a, size_t b) { return entries[a].spanOffset < entries[b].spanOffset; });
    std::vector<PatchRequest> requests;
    for (const size_t i : fetched) {
        const RangedEntry& entry = entries[i];
        if (entry.spanLength == 0) {
            continue;
        }
        const uint64_t end = entry.spanOffset + entry.spanLength;
        if (!requests.empty()) {
            PatchRequest& last = requests.back();
            const uint64_t lastEnd = last.offset + last.length;
            if (entry.spanOffset < lastEnd || entry.spanOffset - lastEnd < PATCH_MERGE_GAP_BYTES) {
                last.length = std::max(lastEnd, end) - last.offset;
                last.entries.push_back(i);
                continue;
            }
        }
        requests.push_back({entry.spanOffset, entry.spanLength, {i}});
    }
    return requests;
}

} // namespace

PatchPlan PlanPatch(const PackageDirectoryLocation& location, const std::vector<RangedEntry>& entries,
                    const std::vector<LibraryFileChecksum>& listed, const std::vector<FileDigest>& installed)
{
    PatchPlan plan;
    plan.wholeCost = location.fileSize;
    std::vector<size_t> entryOfListed;
    plan.possible = MatchEntriesToList(entries, listed, entryOfListed);
    if (!plan.possible) {
        return plan;
    }
    plan.listedOf.assign(entries.size(), listed.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        plan.listedOf[entryOfListed[i]] = i;
    }
    std::map<std::wstring, size_t> installedByPath;
    for (size_t i = 0; i < installed.size(); ++i) {
        installedByPath.emplace(FoldCase(installed[i].path), i);
    }
    std::vector<bool> named(installed.size(), false);
    for (size_t i = 0; i < listed.size(); ++i) {
        const auto found = installedByPath.find(FoldCase(listed[i].relativePath));
        if (found != installedByPath.end()) {
            named[found->second] = true;
        }
        if (found != installedByPath.end() && installed[found->second].digest == listed[i].digest) {
            plan.kept.push_back(found->second);
        } else {
            plan.fetched.push_back(entryOfListed[i]);
        }
    }
    for (size_t i = 0; i < installed.size(); ++i) {
        if (!named[i]) {
            plan.removed.push_back(i);
        }
    }
    std::sort(plan.fetched.begin(), plan.fetched.end());
    std::sort(plan.kept.begin(), plan.kept.end());
    plan.requests = Coalesce(entries, plan.fetched);
    for (const PatchRequest& request : plan.requests) {
        plan.bytes += request.length;
    }
    plan.cost = plan.bytes + plan.requests.size() * PATCH_REQUEST_COST_BYTES;
    // A package no longer than the tail read to find its directory has come whole with that tail.
    plan.patch = location.fileSize > PACKAGE_TAIL_BYTES && plan.cost < plan.wholeCost;
    return plan;
}

std::vector<std::wstring> PackageFolders(const MemoryImage& directory, uint64_t entryCount)
{
    // Only what tells a folder and its name is read again: the records passed the directory's checks already.
    std::vector<EntryRecord> records;
    size_t pos = 0;
    for (uint64_t index = 0; index < entryCount && directory.size - pos >= CENTRAL_RECORD_BYTES; ++index) {
        const unsigned char* record = directory.bytes.get() + pos;
        const size_t nameSize = ReadLittleEndian(record + 28, 2);
        const size_t recordSize =
            CENTRAL_RECORD_BYTES + nameSize + ReadLittleEndian(record + 30, 2) + ReadLittleEndian(record + 32, 2);
        if (recordSize > directory.size - pos) {
            break;
        }
        const char* name = reinterpret_cast<const char*>(record + CENTRAL_RECORD_BYTES);
        EntryRecord entry;
        entry.storedName.assign(name, std::min(nameSize, STORED_NAME_MAX_BYTES));
        entry.versionMadeBy = static_cast<uint16_t>(ReadLittleEndian(record + 4, 2));
        entry.bitFlag = static_cast<uint16_t>(ReadLittleEndian(record + 8, 2));
        entry.method = static_cast<uint16_t>(ReadLittleEndian(record + 10, 2));
        entry.externalAttributes = ReadLittleEndian(record + 38, 4);
        entry.directory =
            (nameSize > 0 && name[nameSize - 1] == '/') || (entry.externalAttributes & DOS_FOLDER_ATTRIBUTE) != 0;
        records.push_back(entry);
        pos += recordSize;
    }
    std::vector<std::wstring> folders;
    const DataRefusal noDataRefusal = [](size_t, const EntryRecord&, const PackageEntry&) { return std::string(); };
    for (const PackageEntry& entry : JudgeEntries(records, noDataRefusal)) {
        if (entry.folder && !entry.skipped && entry.refusal.empty()) {
            folders.push_back(entry.diskPath);
        }
    }
    return folders;
}

uint64_t PatchDiskBytes(const std::vector<RangedEntry>& entries, const PatchPlan& plan, bool keptCopied,
                        uint64_t clusterBytes, uint64_t recordBytes)
{
    const uint64_t cluster = clusterBytes == 0 ? 1 : clusterBytes;
    std::vector<bool> fetched(entries.size(), false);
    for (const size_t index : plan.fetched) {
        fetched[index] = true;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        total = AddCapped(total, recordBytes);
        // Folders carry no path; a kept file linked from lib takes no clusters of its own.
        if (entries[i].path.empty() || !(fetched[i] || keptCopied)) {
            continue;
        }
        const uint64_t size = entries[i].uncompressedSize;
        const uint64_t clusters = size / cluster + (size % cluster != 0 ? 1 : 0);
        total = clusters > UINT64_MAX / cluster ? UINT64_MAX : AddCapped(total, clusters * cluster);
    }
    return total;
}
