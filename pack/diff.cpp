// "pack diff": what a player who installed one package fetches for the next, read the way the updater reads a
// package by ranges and planned by the updater's own patch plan.
#include "pack/pack.h"

#include "archive/archive.h"
#include "pack/manifest.h"
#include "update/patch_plan.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

// A package as the updater sees it by ranges, with every file's digest over its unpacked bytes.
struct RangedPackage {
    std::string bytes;
    PackageDirectoryLocation location;
    std::vector<RangedEntry> entries;
    std::vector<Sha256Digest> digests; // one per entry; folders' are left zero
    uint64_t tailBytes = 0;
    size_t tailRequests = 0;
};

// A refusal names entries: shown as the terminal can take them.
std::string Refusal(const std::filesystem::path& path, const std::string& reason)
{
    return PathToUtf8(path) + ": " + Printable(DecodeUtf8(reason.data(), reason.size()));
}

const unsigned char* BytesAt(const std::string& bytes, uint64_t offset)
{
    return reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
}

// Reads the package through the same steps as the updater: its last bytes, the directory, each entry's span.
bool ReadRanged(const std::filesystem::path& path, RangedPackage& package, std::string& message)
{
    if (!ReadWholeFile(path, PACKAGE_MAX_BYTES, package.bytes) || package.bytes.empty()) {
        message = "cannot read " + PathToUtf8(path) + ", or it is empty or larger than the updater unpacks";
        return false;
    }
    const uint64_t size = package.bytes.size();
    // As the updater reads it: the last few kilobytes, and the long tail only when the end records are not in them.
    MemoryImage tail;
    std::string reason;
    bool located = false;
    for (const size_t tailBytes : {PACKAGE_SHORT_TAIL_BYTES, PACKAGE_TAIL_BYTES}) {
        // A package no longer than the long tail is read whole by it at once.
        if (tailBytes == PACKAGE_SHORT_TAIL_BYTES && size <= PACKAGE_TAIL_BYTES) {
            continue;
        }
        AllocateImage(tail, static_cast<size_t>(std::min<uint64_t>(size, tailBytes)));
        std::copy_n(BytesAt(package.bytes, size - tail.size), tail.size, tail.bytes.get());
        package.tailBytes += tail.size;
        ++package.tailRequests;
        located = LocatePackageDirectory(tail, size, package.location, reason);
        if (located || tail.size == size) {
            break;
        }
    }
    if (!located) {
        message = Refusal(path, reason);
        return false;
    }
    const MemoryImage directory =
        JoinPackageDirectory(tail, package.location, BytesAt(package.bytes, package.location.offset));
    if (!ReadPackageDirectory(directory, package.location, package.entries, reason)) {
        message = Refusal(path, reason);
        return false;
    }
    package.digests.resize(package.entries.size());
    std::vector<uint8_t> data;
    for (size_t i = 0; i < package.entries.size(); ++i) {
        const RangedEntry& entry = package.entries[i];
        if (entry.path.empty()) {
            continue;
        }
        if (!UnpackEntrySpan(entry, BytesAt(package.bytes, entry.spanOffset), static_cast<size_t>(entry.spanLength),
                             data, reason)) {
            message = Refusal(path, reason);
            return false;
        }
        package.digests[i] = Sha256Of(data.data(), data.size());
    }
    return true;
}

std::string Shown(const std::wstring& path)
{
    return Printable(L"lib\\" + path);
}

} // namespace

bool ShowPatch(const std::filesystem::path& oldPackage, const std::filesystem::path& newPackage, std::string& message)
{
    RangedPackage before;
    RangedPackage after;
    if (!ReadRanged(oldPackage, before, message) || !ReadRanged(newPackage, after, message)) {
        return false;
    }
    // The old package's files stand for the installed ones, the new package's for its checksum list.
    std::vector<FileDigest> installed;
    std::map<std::wstring, size_t> installedByPath;
    for (size_t i = 0; i < before.entries.size(); ++i) {
        if (!before.entries[i].path.empty()) {
            installedByPath[FoldCase(before.entries[i].path)] = installed.size();
            installed.push_back({before.entries[i].path, before.digests[i]});
        }
    }
    std::vector<LibraryFileChecksum> listed;
    for (size_t i = 0; i < after.entries.size(); ++i) {
        if (!after.entries[i].path.empty()) {
            listed.push_back({after.entries[i].path, after.digests[i]});
        }
    }
    const PatchPlan plan = PlanPatch(after.location, after.entries, listed, installed);
    if (!plan.possible) {
        message = PathToUtf8(newPackage) + " writes a file twice (names differ in case at most); the updater "
                                           "fetches it whole, and pack manifest refuses it";
        return false;
    }
    for (const size_t i : plan.fetched) {
        const RangedEntry& entry = after.entries[i];
        const bool present = installedByPath.count(FoldCase(entry.path)) != 0;
        std::printf("%s %s (%llu bytes to fetch)\n", present ? "changed" : "added  ", Shown(entry.path).c_str(),
                    static_cast<unsigned long long>(entry.spanLength));
    }
    for (const size_t i : plan.removed) {
        std::printf("removed %s\n", Shown(installed[i].path).c_str());
    }
    std::printf("unchanged: %zu file(s)\n", plan.kept.size());
    const uint64_t directoryBytes = after.tailBytes + after.location.missingBytes;
    const size_t directoryRequests = after.tailRequests + (after.location.missingBytes > 0 ? 1 : 0);
    std::printf("end records and directory: %llu bytes in %zu request(s)\n",
                static_cast<unsigned long long>(directoryBytes), directoryRequests);
    std::printf("entries: %llu bytes in %zu request(s)\n", static_cast<unsigned long long>(plan.bytes),
                plan.requests.size());
    const unsigned long long cost = plan.cost;
    const unsigned long long whole = plan.wholeCost;
    if (plan.patch) {
        std::printf("the updater patches: %llu bytes with the directory, %llu counting %llu per request, against "
                    "%llu for the whole package\n",
                    static_cast<unsigned long long>(directoryBytes + plan.bytes), cost,
                    static_cast<unsigned long long>(PATCH_REQUEST_COST_BYTES), whole);
    } else {
        std::printf("the updater fetches the whole package: %llu bytes, against %llu for the entries counting %llu "
                    "per request\n",
                    whole, cost, static_cast<unsigned long long>(PATCH_REQUEST_COST_BYTES));
    }
    return true;
}
