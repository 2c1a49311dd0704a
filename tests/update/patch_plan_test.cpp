#include "update/patch_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Which entries a player fetches for a release, in which requests, and when the whole package is cheaper.

namespace {

const uint64_t KIB = 1024;
const uint64_t PACKAGE_BYTES = 100000 * KIB;

Sha256Digest DigestOf(unsigned char value)
{
    Sha256Digest digest{};
    digest.fill(value);
    return digest;
}

// A package of files "f0.dll" ... laid end to end, each span `size` bytes; file i's content is digest i.
struct Release {
    PackageDirectoryLocation location;
    std::vector<RangedEntry> entries;
    std::vector<LibraryFileChecksum> listed;

    Release(size_t count, uint64_t size)
    {
        location.fileSize = PACKAGE_BYTES;
        for (size_t i = 0; i < count; ++i) {
            RangedEntry entry;
            entry.path = L"f" + std::to_wstring(i) + L".dll";
            entry.compressedSize = size - 40;
            entry.spanOffset = entry.localHeaderOffset = i * size;
            entry.spanLength = size;
            entries.push_back(entry);
            listed.push_back({entry.path, DigestOf(static_cast<unsigned char>(i))});
        }
    }
    // Installed files as this release has them.
    std::vector<FileDigest> Installed() const
    {
        std::vector<FileDigest> installed;
        for (const LibraryFileChecksum& file : listed) {
            installed.push_back({file.relativePath, file.digest});
        }
        return installed;
    }
    PatchPlan Plan(const std::vector<FileDigest>& installed) const
    {
        return PlanPatch(location, entries, listed, installed);
    }
};

std::vector<uint64_t> Offsets(const PatchPlan& plan)
{
    std::vector<uint64_t> offsets;
    for (const PatchRequest& request : plan.requests) {
        offsets.push_back(request.offset);
        offsets.push_back(request.length);
    }
    return offsets;
}

TEST(PlanPatch, FetchesWhatTheInstalledFilesLack)
{
    const Release release(10, 100 * KIB);
    std::vector<FileDigest> installed = release.Installed();
    installed[3].digest = DigestOf(99);              // changed, or damaged by the player
    installed[5].path = L"F5.DLL";                   // the same file, as Windows matches names
    installed.erase(installed.begin() + 7);          // added by the release
    installed.push_back({L"gone.dll", DigestOf(1)}); // no longer listed
    const PatchPlan plan = release.Plan(installed);
    ASSERT_TRUE(plan.possible);
    EXPECT_EQ(plan.fetched, (std::vector<size_t>{3, 7}));
    EXPECT_EQ(plan.kept.size(), 8u);
    EXPECT_EQ(plan.removed, (std::vector<size_t>{9}));
    EXPECT_EQ(Offsets(plan), (std::vector<uint64_t>{300 * KIB, 100 * KIB, 700 * KIB, 100 * KIB}));
    EXPECT_EQ(plan.bytes, 200 * KIB);
    EXPECT_EQ(plan.cost, 200 * KIB + 2 * PATCH_REQUEST_COST_BYTES);
    EXPECT_TRUE(plan.patch);
    // Nothing lacking: nothing fetched, the plan still patches (removing a file costs no download).
    const PatchPlan unchanged = release.Plan(release.Installed());
    EXPECT_TRUE(unchanged.patch && unchanged.fetched.empty() && unchanged.requests.empty());
}

TEST(PlanPatch, JoinsNearEntriesIntoOneRequest)
{
    // 40 KiB entries: a gap of one entry is below the merge gap, a gap of two is not.
    const Release release(10, 40 * KIB);
    std::vector<FileDigest> installed = release.Installed();
    for (const size_t i : {1, 2, 4, 7}) {
        installed[i].digest = DigestOf(99);
    }
    const PatchPlan plan = release.Plan(installed);
    EXPECT_EQ(Offsets(plan), (std::vector<uint64_t>{40 * KIB, 160 * KIB, 280 * KIB, 40 * KIB}));
    ASSERT_EQ(plan.requests.size(), 2u);
    EXPECT_EQ(plan.requests[0].entries, (std::vector<size_t>{1, 2, 4}));
    EXPECT_EQ(plan.bytes, 200 * KIB);
}

TEST(PlanPatch, FetchesTheWholePackageWhenItCostsLess)
{
    // 500 spread-out changes of 100 KiB: 50 MB of entries and 500 requests cost more than the 100 MB package.
    const Release release(1000, 100 * KIB);
    std::vector<FileDigest> installed = release.Installed();
    for (size_t i = 0; i < installed.size(); i += 2) {
        installed[i].digest = DigestOf(99);
    }
    const PatchPlan plan = release.Plan(installed);
    EXPECT_TRUE(plan.possible);
    EXPECT_EQ(plan.requests.size(), 500u);
    EXPECT_GT(plan.cost, PACKAGE_BYTES);
    EXPECT_FALSE(plan.patch);
}

TEST(PlanPatch, NeedsEntriesThatNameExactlyTheListedFiles)
{
    const struct {
        const char* name;
        void (*change)(Release&);
    } cases[] = {
        {"an entry the list does not name", [](Release& r) { r.listed.pop_back(); }},
        {"a listed file no entry writes", [](Release& r) { r.entries.pop_back(); }},
        {"two entries writing one file", [](Release& r) { r.entries[1].path = L"F0.dll"; }},
    };
    for (const auto& c : cases) {
        Release release(4, 10 * KIB);
        c.change(release);
        const PatchPlan plan = release.Plan({});
        EXPECT_FALSE(plan.possible) << c.name;
        EXPECT_FALSE(plan.patch) << c.name;
    }
    // Folder entries name no file.
    Release release(4, 10 * KIB);
    release.entries.push_back(RangedEntry());
    EXPECT_TRUE(release.Plan({}).possible);
}

} // namespace
