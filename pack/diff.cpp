// "pack diff": what a player who installed one package fetches for the next, read the way the updater reads a
// package by ranges and planned by the updater's own patch plan.
#include "pack/pack.h"

#include "archive/archive.h"
#include "pack/delta.h"
#include "pack/manifest.h"
#include "update/checksum_list.h"
#include "update/patch_plan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

unsigned long long Number(uint64_t value)
{
    return static_cast<unsigned long long>(value);
}

// Bytes and requests, added up over the list, the game and the libraries.
struct Cost {
    uint64_t bytes = 0;
    uint64_t requests = 0;
};

uint64_t FileSize(const std::filesystem::path& path)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// The list as pack manifest would write it for this package, when no list is given.
uint64_t ListBytes(const RangedPackage& package)
{
    uint64_t bytes = ReleaseLine(ReleaseFromUtcNow()).size() + (64 + 2 + 8 + 1) + (64 + 2 + 7 + 1);
    for (const RangedEntry& entry : package.entries) {
        bytes += entry.path.empty() ? 0 : 64 + 2 + 4 + WideToUtf8(entry.path).size() + 1;
    }
    return bytes;
}

// The list and its signature, fetched on every run; false when the new release has no list.
bool ShowList(const Release& after, const RangedPackage& package, Cost& total)
{
    if (!after.list.empty()) {
        const uint64_t list = FileSize(after.list);
        const uint64_t signature = after.signature.empty() ? 0 : FileSize(after.signature);
        total.bytes += list + signature;
        total.requests += after.signature.empty() ? 1 : 2;
        std::printf("list: %llu bytes in %d request(s) (%s%s)\n", Number(list + signature),
                    after.signature.empty() ? 1 : 2, PathToUtf8(after.list).c_str(),
                    after.signature.empty() ? "; no signature beside it" : " and its signature");
        return true;
    }
    if (!after.game.empty()) {
        std::printf("list: none beside the new release: every run fetches the whole package and the game\n");
        return false;
    }
    const uint64_t list = ListBytes(package);
    total.bytes += list;
    total.requests += 1;
    std::printf("list: %llu bytes in 1 request, as pack manifest writes it (a signed build adds a request for its "
                "signature of at most 72 bytes)\n",
                Number(list));
    return true;
}

// What a player pays for a changed game: the updater tries the delta from the installed game, then game.exe.gz, then
// game.exe, each where the list names it; a form missing beside the list costs a failed request and is passed over.
// Also shows what the players of each release a delta is from pay, and everyone else.
void ShowGame(const Release& before, const Release& after, const ChecksumList* list, bool listed, Cost& total)
{
    if (after.game.empty()) {
        std::printf("game: not counted (diff two release folders to count it)\n");
        return;
    }
    Sha256Digest old{};
    Sha256Digest now{};
    const bool known = !before.game.empty() && Sha256OfFile(before.game, old);
    if (listed && known && Sha256OfFile(after.game, now) && old == now) {
        std::printf("game: unchanged, nothing fetched\n");
        return;
    }
    const uint64_t whole = FileSize(after.game);
    uint64_t bytes = whole;
    std::string form = listed ? "changed, game.exe" : "fetched on every run";
    const std::string ownDelta = known ? GameDeltaName(old) : std::string();
    bool ownDeltaFound = false;
    for (size_t i = 0; list != nullptr && i < list->otherFiles.size(); ++i) {
        const std::string& name = list->otherFiles[i].name;
        const bool delta = IsGameDeltaName(name);
        const std::filesystem::path path = after.list.parent_path() / PathFromUtf8(name);
        std::error_code error;
        if (!delta && name != GAME_GZ_NAME) {
            continue;
        }
        if (!std::filesystem::is_regular_file(path, error)) {
            std::printf("game: %s is listed but not beside the list: players who try it fall back\n", name.c_str());
            continue;
        }
        const uint64_t size = FileSize(path);
        const std::string players =
            delta ? "the release whose game.exe begins " + name.substr(std::strlen(GAME_DELTA_PREFIX))
                  : std::string("any other release");
        std::printf("game for players of %s: %llu bytes, %.3f of game.exe (%s)\n", players.c_str(), Number(size),
                    whole == 0 ? 0.0 : static_cast<double>(size) / static_cast<double>(whole), name.c_str());
        if (name == ownDelta || (!delta && !ownDeltaFound)) {
            ownDeltaFound = delta;
            bytes = size;
            form = delta ? "changed, the delta from the installed game" : "changed, game.exe.gz";
        }
    }
    total.bytes += bytes;
    total.requests += 1;
    std::printf("game: %llu bytes in 1 request (%s)\n", Number(bytes), form.c_str());
}

// The unchanged entries a merged request carries between changed ones: the bytes the mirror serves to save requests.
void ShowCarried(const RangedPackage& package, const PatchPlan& plan, uint64_t& carried)
{
    std::vector<bool> fetched(package.entries.size(), false);
    for (const size_t i : plan.fetched) {
        fetched[i] = true;
    }
    for (const PatchRequest& request : plan.requests) {
        for (size_t i = 0; i < package.entries.size(); ++i) {
            const RangedEntry& entry = package.entries[i];
            if (!fetched[i] && entry.spanOffset >= request.offset &&
                entry.spanOffset + entry.spanLength <= request.offset + request.length) {
                carried += entry.spanLength;
                if (!entry.path.empty()) {
                    std::printf("carried %s (%llu bytes, unchanged, fetched between changed entries)\n",
                                Shown(entry.path).c_str(), Number(entry.spanLength));
                }
            }
        }
    }
}

void ShowLibraries(const RangedPackage& after, const PatchPlan& plan, bool listed, Cost& total)
{
    if (listed && plan.fetched.empty() && plan.removed.empty()) {
        std::printf("libraries: unchanged, nothing fetched (lib matches the list)\n");
        return;
    }
    const uint64_t whole = after.bytes.size();
    if (!listed) {
        total.bytes += whole;
        total.requests += 1;
        std::printf("libraries: the whole package, %llu bytes in 1 request\n", Number(whole));
        return;
    }
    const uint64_t directoryBytes = after.tailBytes + after.location.missingBytes;
    const uint64_t directoryRequests = after.tailRequests + (after.location.missingBytes > 0 ? 1 : 0);
    std::printf("end records and directory: %llu bytes in %llu request(s)\n", Number(directoryBytes),
                Number(directoryRequests));
    total.bytes += directoryBytes;
    total.requests += directoryRequests;
    if (plan.patch) {
        uint64_t carried = 0;
        ShowCarried(after, plan, carried);
        std::printf("entries: %llu bytes in %zu request(s), %llu of them unchanged entries between changed ones\n",
                    Number(plan.bytes), plan.requests.size(), Number(carried));
        std::printf("the updater patches: the entries cost %llu counting %llu per request, below the whole package's "
                    "%llu\n",
                    Number(plan.cost), Number(PATCH_REQUEST_COST_BYTES), Number(plan.wholeCost));
        total.bytes += plan.bytes;
        total.requests += plan.requests.size();
        std::printf("libraries: %llu bytes in %llu request(s)\n", Number(directoryBytes + plan.bytes),
                    Number(directoryRequests + plan.requests.size()));
        return;
    }
    std::printf("the updater fetches the whole package: the entries would cost %llu counting %llu per request, not "
                "below the whole package's %llu\n",
                Number(plan.cost), Number(PATCH_REQUEST_COST_BYTES), Number(plan.wholeCost));
    // A package the tail already held whole is not fetched again.
    const bool inTail = after.tailBytes >= whole;
    total.bytes += inTail ? 0 : whole;
    total.requests += inTail ? 0 : 1;
    std::printf("libraries: %llu bytes in %llu request(s), the directory and then the whole package\n",
                Number(directoryBytes + (inTail ? 0 : whole)), Number(directoryRequests + (inTail ? 0 : 1)));
}

// A release folder's package, game and game's forms must be the ones its list names: players refuse any other bytes.
bool MatchesItsList(const Release& release, const RangedPackage& package, ChecksumList& list, std::string& message)
{
    std::string text;
    if (!ReadWholeFile(release.list, CHECKSUM_LIST_MAX_BYTES, text) || !ParseChecksumList(text, list)) {
        message = PathToUtf8(release.list) + ": the updater refuses this list: " + ExplainListRefusal(text);
        return false;
    }
    Sha256Digest game{};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(package.bytes.data());
    if (Sha256Of(bytes, package.bytes.size()) != list.libraryPackage) {
        message = PathToUtf8(release.package) + " differs from its line in " + PathToUtf8(release.list);
    } else if (!release.game.empty() && (!Sha256OfFile(release.game, game) || game != list.gameExecutable)) {
        message = PathToUtf8(release.game) + " differs from its line in " + PathToUtf8(release.list);
    }
    for (const ListedFile& file : list.otherFiles) {
        const std::filesystem::path path = release.list.parent_path() / PathFromUtf8(file.name);
        Sha256Digest digest{};
        std::error_code error;
        if (message.empty() && std::filesystem::is_regular_file(path, error) &&
            (!Sha256OfFile(path, digest) || digest != file.digest)) {
            message = PathToUtf8(path) + " differs from its line in " + PathToUtf8(release.list);
        }
    }
    return message.empty();
}

} // namespace

bool ShowPatch(const Release& old, const Release& now, std::string& message)
{
    RangedPackage before;
    RangedPackage after;
    if (!ReadRanged(old.package, before, message) || !ReadRanged(now.package, after, message)) {
        return false;
    }
    ChecksumList list{};
    if (!now.list.empty() && !MatchesItsList(now, after, list, message)) {
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
        message = PathToUtf8(now.package) + " writes a file twice (names differ in case at most); the updater "
                                            "fetches it whole, and pack manifest refuses it";
        return false;
    }
    for (const size_t i : plan.fetched) {
        const RangedEntry& entry = after.entries[i];
        const bool present = installedByPath.count(FoldCase(entry.path)) != 0;
        std::printf("%s %s (%llu bytes to fetch)\n", present ? "changed" : "added  ", Shown(entry.path).c_str(),
                    Number(entry.spanLength));
    }
    for (const size_t i : plan.removed) {
        std::printf("removed %s\n", Shown(installed[i].path).c_str());
    }
    std::printf("unchanged: %zu file(s)\n", plan.kept.size());
    Cost total;
    const bool hasList = ShowList(now, after, total);
    ShowGame(old, now, now.list.empty() ? nullptr : &list, hasList, total);
    ShowLibraries(after, plan, hasList, total);
    std::printf("total: %llu bytes in %llu request(s) for each player who has %s installed\n", Number(total.bytes),
                Number(total.requests), PathToUtf8(old.package).c_str());
    return true;
}
