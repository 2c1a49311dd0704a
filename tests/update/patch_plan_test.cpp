#include "update/patch_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Which entries a player fetches for a release, in which requests, and when the whole package is cheaper.

namespace {

const uint64_t KIB = 1024;

// A 100 MB package whose files "f0.dll"... lie end to end, spans of `size` bytes; file i's digest is all i. installed
// starts as this release has it.
struct Release {
    PackageDirectoryLocation location;
    std::vector<RangedEntry> entries;
    std::vector<LibraryFileChecksum> listed;
    std::vector<FileDigest> installed;

    Release(size_t count, uint64_t size)
    {
        location.fileSize = 100000 * KIB;
        for (size_t i = 0; i < count; ++i) {
            RangedEntry entry;
            entry.path = L"f" + std::to_wstring(i) + L".dll";
            entry.compressedSize = size - 40;
            entry.spanOffset = entry.localHeaderOffset = i * size;
            entry.spanLength = size;
            entries.push_back(entry);
            Sha256Digest digest{};
            digest.fill(static_cast<unsigned char>(i));
            listed.push_back({entry.path, digest});
            installed.push_back({entry.path, digest});
        }
    }
    PatchPlan Plan() const { return PlanPatch(location, entries, listed, installed); }
};

// Each request as offset and length.
std::vector<uint64_t> Requests(const PatchPlan& plan)
{
    std::vector<uint64_t> requests;
    for (const PatchRequest& request : plan.requests) {
        requests.insert(requests.end(), {request.offset, request.length});
    }
    return requests;
}

TEST(PlanPatch, FetchesWhatTheInstalledFilesLack)
{
    Release release(10, 100 * KIB);
    EXPECT_TRUE(release.Plan().patch && release.Plan().fetched.empty() && release.Plan().requests.empty());
    release.installed[3].digest[0] ^= 1;                                  // changed, or damaged by the player
    release.installed[5].path = L"F5.DLL";                                // the same file, as Windows matches names
    release.installed.erase(release.installed.begin() + 7);               // added by the release
    release.installed.push_back({L"gone.dll", release.listed[1].digest}); // no longer listed
    const PatchPlan plan = release.Plan();
    ASSERT_TRUE(plan.possible);
    EXPECT_EQ(plan.fetched, (std::vector<size_t>{3, 7}));
    EXPECT_EQ(plan.kept.size(), 8u);
    EXPECT_EQ(plan.removed, (std::vector<size_t>{9}));
    EXPECT_EQ(Requests(plan), (std::vector<uint64_t>{300 * KIB, 100 * KIB, 700 * KIB, 100 * KIB}));
    EXPECT_EQ(plan.cost, 200 * KIB + 2 * PATCH_REQUEST_COST_BYTES);
    EXPECT_TRUE(plan.patch);
}

TEST(PlanPatch, JoinsNearEntriesIntoOneRequest)
{
    // 40 KiB entries: a gap of one entry is below the merge gap, a gap of two is not.
    Release release(10, 40 * KIB);
    for (const size_t i : {1, 2, 4, 7}) {
        release.installed[i].digest[0] ^= 1;
    }
    const PatchPlan plan = release.Plan();
    EXPECT_EQ(Requests(plan), (std::vector<uint64_t>{40 * KIB, 160 * KIB, 280 * KIB, 40 * KIB}));
    EXPECT_EQ(plan.requests[0].entries, (std::vector<size_t>{1, 2, 4}));
    EXPECT_EQ(plan.bytes, 200 * KIB);
}

TEST(PlanPatch, FetchesTheWholePackageWhenItCostsLess)
{
    // 500 spread-out changes of 100 KiB: 50 MB of entries and 500 requests cost more than the 100 MB package.
    Release release(1000, 100 * KIB);
    for (size_t i = 0; i < release.installed.size(); i += 2) {
        release.installed[i].digest[0] ^= 1;
    }
    const PatchPlan plan = release.Plan();
    EXPECT_TRUE(plan.possible);
    EXPECT_EQ(plan.requests.size(), 500u);
    EXPECT_FALSE(plan.patch);
    // A release that only drops a file needs no request, but a package no longer than the tail that locates its
    // directory has come whole with that tail.
    Release small(10, 4 * KIB);
    small.installed.push_back({L"gone.dll", small.listed[1].digest});
    small.location.fileSize = PACKAGE_TAIL_BYTES + 1;
    EXPECT_TRUE(small.Plan().patch);
    small.location.fileSize = PACKAGE_TAIL_BYTES;
    EXPECT_FALSE(small.Plan().patch);
}

TEST(PlanPatch, NeedsEntriesThatNameExactlyTheListedFiles)
{
    void (*const changes[])(Release&) = {
        [](Release& r) { r.listed.pop_back(); },                // an entry the list does not name
        [](Release& r) { r.entries.pop_back(); },               // a listed file no entry writes
        [](Release& r) { r.entries[1].path = L"F0.dll"; },      // two entries writing one file
        [](Release& r) { r.entries.push_back(RangedEntry()); }, // a folder entry names no file: possible
    };
    for (size_t i = 0; i < 4; ++i) {
        Release release(4, 10 * KIB);
        changes[i](release);
        EXPECT_EQ(release.Plan().possible, i == 3) << i;
        EXPECT_EQ(release.Plan().patch, i == 3) << i;
    }
}

} // namespace
