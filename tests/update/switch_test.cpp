#include "update/library_switch.h"

#include "update/library_patch.h"
#include "update/patch_plan.h"

#include "archive/archive.h"
#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"

#include <cstring>
#include <thread>

namespace {

// A folder standing for one set of libraries: "set.txt" names the set; marks "C" (complete) and "I" (incomplete).
// "" lays out nothing.
void LayOut(const std::wstring& folder, const std::string& setAndMarks)
{
    if (setAndMarks.empty()) {
        return;
    }
    const size_t slash = setAndMarks.find('/');
    CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileBytes(folder + L"\\set.txt", setAndMarks.substr(0, slash));
    for (char mark : setAndMarks.substr(slash + 1)) {
        WriteFileBytes(folder + L"\\" + (mark == 'C' ? COMPLETE_MARK_NAME : INCOMPLETE_MARK_NAME), "mark");
    }
}

// The set a folder holds; "" when there is no folder.
std::string SetIn(const std::wstring& folder)
{
    return PathExists(folder) ? ReadFileBytes(folder + L"\\set.txt") : "";
}

using LibrarySwitchTest = ProgramFolderTest;

struct LeftoverCase {
    const char* what;
    const char* library; // as LayOut takes it, before
    const char* staging;
    const char* previous;
    const char* libraryAfter; // the sets after; "" for no folder
    const char* stagingAfter;
    const char* previousAfter;
};

TEST_F(LibrarySwitchTest, FinishesWhatAKilledRunLeft)
{
    const LeftoverCase cases[] = {
        {"killed between the renames, staging unfinished", "", "new/I", "old/C", "old", "", ""},
        {"killed between the renames, staging whole", "", "new/C", "old/C", "new", "", ""},
        {"killed after the switch", "new/C", "", "old/C", "new", "", ""},
        {"killed before the switch", "old/", "new/C", "", "old", "", ""},
        {"a refill in place cut short, the previous set whole", "broken/I", "", "old/C", "old", "", ""},
        {"a refill in place cut short, nothing whole", "broken/I", "new/I", "", "broken", "", ""},
        {"a player's folders of these names", "", "mods/", "backup/", "", "mods", "backup"},
        {"the put-back blocked by a file named lib", "", "", "old/C", "", "", "old"},
    };
    for (const LeftoverCase& c : cases) {
        RemoveTree(folder);
        CreateDirectoryW(folder.c_str(), nullptr);
        const LibraryFolders folders = LibraryFoldersOf(programDirectory);
        LayOut(folders.library, c.library);
        LayOut(folders.staging, c.staging);
        LayOut(folders.previous, c.previous);
        const bool blocked = std::strstr(c.what, "blocked") != nullptr;
        if (blocked) {
            WriteFileBytes(folders.library, "not a folder");
        }

        FinishInterruptedSwitch(programDirectory);

        EXPECT_EQ(blocked ? "" : SetIn(folders.library), c.libraryAfter) << c.what;
        EXPECT_EQ(SetIn(folders.staging), c.stagingAfter) << c.what;
        EXPECT_EQ(SetIn(folders.previous), c.previousAfter) << c.what;
        if (std::strlen(c.previousAfter) > 0 && !blocked) {
            EXPECT_FALSE(IsMarkedComplete(folders.previous)) << c.what << ": a player's folder gains no mark";
        }
        EXPECT_EQ(ListFolder(folder).size(),
                  size_t{PathExists(folders.library)} + PathExists(folders.staging) + PathExists(folders.previous))
            << c.what << ": nothing set aside is left";
    }
}

// A scanner that holds the folder for a moment delays the switch; one that never lets go leaves "lib" as it was and
// the staging folder for the caller.
TEST_F(LibrarySwitchTest, RetriesAFolderRenameWhileTheFolderIsHeld)
{
    const struct {
        const char* what;
        DWORD holdMs;
        bool switched;
    } cases[] = {{"let go after about two refusals", 300, true}, {"held throughout", INFINITE, false}};
    for (const auto& c : cases) {
        RemoveTree(Path(L"lib"));
        LayOut(Path(L"lib"), "old/");
        LibraryFolders folders;
        unsigned long refusal = 0;
        ASSERT_TRUE(MakeStagingFolder(programDirectory, folders, refusal));
        WriteFileBytes(folders.staging + L"\\set.txt", "new");
        ASSERT_TRUE(MarkFolderComplete(folders.staging));
        // Held without delete sharing, the way a scanner may open it; Windows and Wine both refuse the rename then.
        const HANDLE held = CreateFileW(Path(L"lib").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        if (MoveFileExW(Path(L"lib").c_str(), Path(L"probe").c_str(), 0)) {
            MoveFileExW(Path(L"probe").c_str(), Path(L"lib").c_str(), 0);
            CloseHandle(held);
            GTEST_SKIP() << "this system renames a folder that is held without delete sharing";
        }
        std::thread holder([&] {
            if (c.holdMs != INFINITE) {
                Sleep(c.holdMs);
                CloseHandle(held);
            }
        });
        const bool switched = SwitchToStagedLibraries(folders);
        holder.join();
        if (c.holdMs == INFINITE) {
            CloseHandle(held);
        }

        EXPECT_EQ(switched, c.switched) << c.what;
        EXPECT_EQ(SetIn(Path(L"lib")), c.switched ? "new" : "old") << c.what;
        EXPECT_EQ(SetIn(folders.staging), c.switched ? "" : "new") << c.what;
        EXPECT_FALSE(PathExists(folders.previous)) << c.what;
        RemoveStagingFolder(folders);
        EXPECT_FALSE(PathExists(folders.staging)) << c.what;
    }
}

// A folder of someone else's under the usual staging or previous name is worked around, never used or removed.
TEST_F(LibrarySwitchTest, StagesBesideAPlayersFoldersOfTheUsualNames)
{
    LayOut(Path(L"lib"), "old/");
    LayOut(Path(L"lib_new"), "mods/");
    LayOut(Path(L"lib_old"), "backup/");
    LibraryFolders folders;
    unsigned long refusal = 0;
    ASSERT_TRUE(MakeStagingFolder(programDirectory, folders, refusal));
    WriteFileBytes(folders.staging + L"\\set.txt", "new");
    ASSERT_TRUE(MarkFolderComplete(folders.staging));

    EXPECT_TRUE(SwitchToStagedLibraries(folders));

    EXPECT_EQ(SetIn(Path(L"lib")), "new");
    EXPECT_TRUE(IsLibraryWhole(Path(L"lib")) && !IsMarkedComplete(Path(L"lib"))) << "a whole lib holds no mark";
    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"lib", L"lib_new", L"lib_old"}));
    EXPECT_TRUE(SetIn(Path(L"lib_new")) == "mods" && SetIn(Path(L"lib_old")) == "backup");
}

TEST_F(LibrarySwitchTest, BringsTheCopiesBesideTheGameInStepOnlyFromAWholeFolder)
{
    LayOut(Path(L"lib"), "new/I");
    WriteFileBytes(Path(L"lib\\bass.dll"), "bass v2");
    WriteFileBytes(Path(L"bass.dll"), "bass v1");

    RefreshBassCopies(programDirectory, Path(L"lib"));
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v1") << "a folder being refilled is no source";

    ASSERT_TRUE(MarkFolderComplete(Path(L"lib")));
    RefreshBassCopies(programDirectory, Path(L"lib"));
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"bass.dll", L"lib"})) << "no temporary copy is left";
}

TEST(PackageDiskBytes, RoundsEachFileToWholeClustersAndCountsARecordPerEntry)
{
    const std::string zip = BuildZip({StoredEntry("a.dll", "a"), StoredEntry("b.dll", std::string(4096, 'b')),
                                      StoredEntry("data/", ""), DeflatedEntry("data/c.txt", std::string(4097, 'c'))});
    ZipImage image;
    image.bytes.reset(new unsigned char[zip.size()]);
    std::memcpy(image.bytes.get(), zip.data(), zip.size());
    image.size = zip.size();
    EXPECT_EQ(PackageDiskBytes(image, 4096, 100), 4096u + 4096u + 8192u + 4 * 100u);
    EXPECT_EQ(PackageDiskBytes(image, 512, 0), 512u + 4096u + 4608u);
}

// A patch's staging folder takes the files it fetches, and the kept ones only where the volume cannot link them; the
// disk must hold that with the spare besides, or the whole package follows.
TEST(PatchDiskBytes, CountsKeptFilesOnlyWhereTheyAreCopied)
{
    std::vector<RangedEntry> entries(4);
    entries[0].path = L"fetched.dll";
    entries[0].uncompressedSize = 1;
    entries[1].path = L"kept.dll";
    entries[1].uncompressedSize = 4097;
    entries[3].path = L"empty.dll"; // entries[2] is a folder
    PatchPlan plan;
    plan.fetched = {0, 3};
    EXPECT_EQ(PatchDiskBytes(entries, plan, false, 4096, 100), 4096u + 4 * 100u);
    EXPECT_EQ(PatchDiskBytes(entries, plan, true, 4096, 100), 4096u + 8192u + 4 * 100u);
    EXPECT_TRUE(RoomHolds({SPARE_DISK_BYTES + 12289, 4096}, 12288));
    EXPECT_FALSE(RoomHolds({SPARE_DISK_BYTES + 12288, 4096}, 12288));
    EXPECT_FALSE(RoomHolds({SPARE_DISK_BYTES - 1, 4096}, 0));
}

} // namespace
