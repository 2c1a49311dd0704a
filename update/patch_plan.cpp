#include "update/patch_plan.h"

#include <algorithm>
#include <map>
#include <string>

namespace {

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
