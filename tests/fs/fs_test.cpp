#include "fs/fs.h"

#include "tests/common/test_support.h"

#include <string>
#include <vector>

namespace {

struct LongPathCase {
    const wchar_t* input;
    const wchar_t* expected;
};

const LongPathCase LONG_PATH_CASES[] = {
    {L"", L""},
    {L"C:\\Games\\lib\\a.dll", L"\\\\?\\C:\\Games\\lib\\a.dll"},
    {L"\\\\?\\C:\\x\\y.dll", L"\\\\?\\C:\\x\\y.dll"},
    {L"\\\\?\\UNC\\srv\\share\\y.dll", L"\\\\?\\UNC\\srv\\share\\y.dll"},
    {L"\\\\srv\\share\\y.dll", L"\\\\?\\UNC\\srv\\share\\y.dll"},
    {L"\\\\", L"\\\\?\\UNC\\"},
    {L"\\\\?", L"\\\\?\\UNC\\?"},
    // Only drive-absolute and UNC paths can take the prefix; the system resolves the others itself.
    {L"C:/a/b.dll", L"C:/a/b.dll"},
    {L"lib\\b.dll", L"lib\\b.dll"},
    {L".\\lib_temp.zip", L".\\lib_temp.zip"},
    {L"C:lib", L"C:lib"},
    {L"\\lib", L"\\lib"},
};

TEST(MakeLongPath, PrefixesEveryFormOnce)
{
    for (const LongPathCase& c : LONG_PATH_CASES) {
        EXPECT_EQ(MakeLongPath(c.input), c.expected) << Utf8(c.input);
    }
}

TEST(IsAsideName, AcceptsOnlyTheFormThisProgramMakes)
{
    EXPECT_TRUE(IsAsideName(L"bass.dll.old-0001e24000"));
    EXPECT_TRUE(IsAsideName(L".old-ffffffff1f"));
    EXPECT_FALSE(IsAsideName(L"notes.old-backup.txt"));
    EXPECT_FALSE(IsAsideName(L"bass.dll.old-0001E24000"));  // upper case is never made
    EXPECT_FALSE(IsAsideName(L"bass.dll.old-0001e2400"));   // nine digits
    EXPECT_FALSE(IsAsideName(L"bass.dll.old-0001e240000")); // eleven digits
    EXPECT_FALSE(IsAsideName(L"x.old-1"));
}

TEST(IsInUseError, NamesTheFourHoldingCodes)
{
    for (unsigned long code : {5ul, 32ul, 33ul, 1224ul}) {
        EXPECT_TRUE(IsInUseError(code)) << code;
    }
    for (unsigned long code : {0ul, 2ul, 3ul, 80ul, 183ul}) {
        EXPECT_FALSE(IsInUseError(code)) << code;
    }
}

using ClearBlockingAttributesTest = TempFolderTest;

TEST_F(ClearBlockingAttributesTest, MakesReadOnlyHiddenAndSystemEntriesPlain)
{
    const DWORD blocking[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY};
    int n = 0;
    for (DWORD attributes : blocking) {
        const std::wstring file = Path(L"file" + std::to_wstring(n));
        const std::wstring directory = Path(L"dir" + std::to_wstring(n++));
        WriteFileBytes(file, "x");
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        // Hidden before read-only: Wine cannot add the hidden mark to a file that is already read-only.
        SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(file.c_str(), attributes);
        SetFileAttributesW(directory.c_str(), attributes);
        ASSERT_NE(AttributesOf(file) & 0x7, 0u);

        ClearBlockingAttributes(file);
        ClearBlockingAttributes(directory);

        EXPECT_EQ(AttributesOf(file) & 0x7, 0u) << attributes;
        EXPECT_EQ(AttributesOf(directory) & 0x7, 0u) << attributes;
        EXPECT_NE(AttributesOf(directory) & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_TRUE(DeleteFileW(file.c_str()));
    }
}

// Each entry of a folder with its attributes and bytes, the folder's own attributes first.
std::vector<std::string> Snapshot(const std::wstring& folder)
{
    std::vector<std::string> entries{std::to_string(AttributesOf(folder))};
    for (const std::wstring& name : ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        entries.push_back(Utf8(name) + " " + std::to_string(AttributesOf(path)) + " " + ReadFileBytes(path));
    }
    return entries;
}

using MissingPathTest = TempFolderTest;

// A call on a path that does not exist returns and changes nothing: nothing is made, and the folder it would lie in
// (hidden, with a read-only library and an aside leftover, all of which a call acting on the wrong level would change)
// stays as it was.
TEST_F(MissingPathTest, CallsOnAMissingPathChangeNothingAroundIt)
{
    const std::wstring sub = Path(L"sub");
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    WriteFileBytes(sub + L"\\a.dll", "library");
    WriteFileBytes(sub + L"\\b.dll.old-0001e24000", "leftover");
    SetFileAttributesW((sub + L"\\a.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(sub.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::vector<std::string> before = Snapshot(sub);
    const std::wstring missing = sub + L"\\missing";
    const struct {
        const char* what;
        void (*call)(const std::wstring&);
        std::wstring path;
    } calls[] = {
        {"ClearBlockingAttributes", ClearBlockingAttributes, missing},
        {"MoveLockedFileAside", MoveLockedFileAside, missing},
        {"SweepAsideLeftovers", SweepAsideLeftovers, missing + L"\\"},
        {"DeleteDirectoryContentsRecursive", DeleteDirectoryContentsRecursive, missing},
    };
    for (const auto& c : calls) {
        c.call(c.path);
        EXPECT_EQ(Snapshot(sub), before) << c.what;
        EXPECT_FALSE(PathExists(missing)) << c.what;
    }
}

using MoveLockedFileAsideTest = TempFolderTest;

std::vector<std::wstring> AsideNamesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const std::wstring& name : ListFolder(folder)) {
        if (IsAsideName(name)) {
            names.push_back(name);
        }
    }
    return names;
}

std::wstring PendingRenames()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    DWORD size = 0;
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]), &size);
    RegCloseKey(key);
    for (wchar_t& c : value) {
        if (c == L'\0') {
            c = L'|';
        }
    }
    return value;
}

TEST_F(MoveLockedFileAsideTest, FreesTheNameOfARunningImage)
{
    const std::wstring game = Path(L"game.exe");
    FixtureProcess running = StartFixture(game, L"--stay 60000");

    MoveLockedFileAside(game);

    EXPECT_FALSE(PathExists(game)) << "the name is free for the new file";
    const std::vector<std::wstring> aside = AsideNamesIn(folder);
    ASSERT_EQ(aside.size(), 1u) << "the running image cannot be deleted at once";
    if (IsRunningUnderWine()) {
        // Every Wine process is an administrator, so the request for deletion at the next restart is recorded.
        EXPECT_NE(PendingRenames().find(aside[0]), std::wstring::npos);
    }
    running.Stop();
    SweepAsideLeftovers(folder);
    EXPECT_TRUE(AsideNamesIn(folder).empty()) << "a later run's sweep removes the moved image";
}

TEST_F(MoveLockedFileAsideTest, DeletesAFileNobodyHoldsAndLeavesAMissingOneMissing)
{
    WriteFileBytes(Path(L"bass.dll"), "old library");
    MoveLockedFileAside(Path(L"bass.dll"));
    MoveLockedFileAside(Path(L"missing.dll"));
    EXPECT_TRUE(ListFolder(folder).empty());
}

TEST_F(MoveLockedFileAsideTest, LeavesAFileHeldWithoutSharingUnderItsName)
{
    WriteFileBytes(Path(L"bass.dll"), "held");
    FixtureProcess holder =
        StartFixture(Path(L"holder.exe"), L"--stay 60000 --hold \"" + Path(L"bass.dll") + L"\" --share none");
    MoveLockedFileAside(Path(L"bass.dll"));
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), std::string()) << "still locked, so unreadable but present";
    EXPECT_TRUE(PathExists(Path(L"bass.dll")));
    EXPECT_TRUE(AsideNamesIn(folder).empty());
    holder.Stop();
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "held");
}

// Occupies every aside name the call could choose during a window of tick counts that starts in the future.
bool OccupyAsideNames(const std::wstring& path, DWORD firstTick, DWORD ticks, int attempts)
{
    for (DWORD tick = firstTick; tick < firstTick + ticks; ++tick) {
        for (int attempt = 0; attempt < attempts; ++attempt) {
            wchar_t suffix[16] = {};
            wsprintfW(suffix, L".old-%08x%02x", tick, attempt);
            const HANDLE file = CreateFileW((path + suffix).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                return false;
            }
            CloseHandle(file);
        }
    }
    return true;
}

// Calls MoveLockedFileAside(path) while every aside name of its first `attempts` attempts is taken, for a window of
// ticks that starts leadMs ahead. False when the names were not in place before the window began or the call did not
// end inside it: a busy machine, whose caller lays out afresh further ahead.
bool MoveAsideAmongTakenNames(const std::wstring& path, DWORD leadMs, DWORD windowTicks, int attempts)
{
    const DWORD first = GetTickCount() + leadMs;
    EXPECT_TRUE(OccupyAsideNames(path, first, windowTicks, attempts));
    if (GetTickCount() >= first) {
        return false;
    }
    while (GetTickCount() < first) {
        Sleep(1);
    }
    MoveLockedFileAside(path);
    return GetTickCount() < first + windowTicks;
}

TEST_F(MoveLockedFileAsideTest, TakesTheNextAttemptNumberWhenANameIsTaken)
{
    const std::wstring game = Path(L"game.exe");
    for (DWORD lead = 1000; lead <= 64000; lead *= 2) {
        FixtureProcess running = StartFixture(game, L"--stay 60000");
        const bool inWindow = MoveAsideAmongTakenNames(game, lead, 400, 1);
        if (inWindow) {
            EXPECT_FALSE(PathExists(game));
            bool movedUnderAttemptOne = false;
            for (const std::wstring& name : AsideNamesIn(folder)) {
                movedUnderAttemptOne = movedUnderAttemptOne || name.substr(21) == L"01";
            }
            EXPECT_TRUE(movedUnderAttemptOne);
        }
        running.Stop();
        RemoveTree(folder);
        CreateDirectoryW(folder.c_str(), nullptr);
        if (inWindow) {
            return;
        }
    }
    FAIL() << "no call met its window of taken names";
}

TEST_F(MoveLockedFileAsideTest, GivesUpWhenAllThirtyTwoNamesAreTaken)
{
    const std::wstring library = Path(L"bass.dll");
    const DWORD WINDOW_TICKS = 100;
    for (DWORD lead = 4000; lead <= 64000; lead *= 2) {
        RemoveTree(folder);
        CreateDirectoryW(folder.c_str(), nullptr);
        WriteFileBytes(library, "library");
        if (MoveAsideAmongTakenNames(library, lead, WINDOW_TICKS, 32)) {
            EXPECT_EQ(ReadFileBytes(library), "library") << "nothing moved, nothing deleted";
            EXPECT_EQ(ListFolder(folder).size(), WINDOW_TICKS * 32u + 1u);
            return;
        }
    }
    FAIL() << "no call met its window of taken names";
}

using SweepAsideLeftoversTest = TempFolderTest;

TEST_F(SweepAsideLeftoversTest, DeletesOnlyAsideFilesDirectlyInside)
{
    for (const std::wstring& trailing : {std::wstring(), std::wstring(L"\\")}) {
        WriteFileBytes(Path(L"a.dll.old-0001e24000"), "x");
        WriteFileBytes(Path(L"vorlance.exe.old-ffffffff1f"), "x");
        SetFileAttributesW(Path(L"a.dll.old-0001e24000").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteFileBytes(Path(L"notes.old-backup.txt"), "player's own file");
        WriteFileBytes(Path(L"save.old-0001E24000"), "not our form");
        CreateDirectoryW(Path(L"x.old-1").c_str(), nullptr);
        CreateDirectoryW(Path(L"d.old-0001e24000").c_str(), nullptr);
        CreateDirectoryW(Path(L"sub").c_str(), nullptr);
        WriteFileBytes(Path(L"sub\\b.dll.old-0001e24000"), "x");

        SweepAsideLeftovers(folder + trailing);

        EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"d.old-0001e24000", L"notes.old-backup.txt",
                                                                 L"save.old-0001E24000", L"sub", L"x.old-1"}));
        EXPECT_TRUE(PathExists(Path(L"sub\\b.dll.old-0001e24000"))) << "subfolders are not swept";
    }
}

TEST_F(SweepAsideLeftoversTest, KeepsALeftoverStillInUse)
{
    WriteFileBytes(Path(L"held.dll.old-0001e24000"), "held");
    WriteFileBytes(Path(L"free.dll.old-0001e24001"), "free");
    FixtureProcess holder = StartFixture(
        Path(L"holder.exe"), L"--stay 60000 --hold \"" + Path(L"held.dll.old-0001e24000") + L"\" --share read");
    SweepAsideLeftovers(folder);
    EXPECT_TRUE(PathExists(Path(L"held.dll.old-0001e24000")));
    EXPECT_FALSE(PathExists(Path(L"free.dll.old-0001e24001")));
    holder.Stop();
    SweepAsideLeftovers(folder);
    EXPECT_FALSE(PathExists(Path(L"held.dll.old-0001e24000"))) << "a later sweep gets it";
}

using DeleteDirectoryContentsTest = TempFolderTest;

TEST_F(DeleteDirectoryContentsTest, EmptiesANestedTreeAndKeepsTheFolder)
{
    for (const std::wstring& trailing : {std::wstring(), std::wstring(L"\\")}) {
        const std::wstring lib = Path(L"lib");
        CreateDirectoryW(lib.c_str(), nullptr);
        CreateDirectoryW((lib + L"\\sub").c_str(), nullptr);
        CreateDirectoryW((lib + L"\\sub\\deeper").c_str(), nullptr);
        CreateDirectoryW((lib + L"\\hidden").c_str(), nullptr);
        WriteFileBytes(lib + L"\\a.dll", "a");
        WriteFileBytes(lib + L"\\sub\\b.dll", "b");
        WriteFileBytes(lib + L"\\sub\\deeper\\c.txt", "c");
        WriteFileBytes(lib + L"\\hidden\\d.txt", "d");
        WriteFileBytes(lib + L"\\readonly.dll", "r");
        SetFileAttributesW((lib + L"\\readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW((lib + L"\\sub\\deeper").c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW((lib + L"\\hidden").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

        DeleteDirectoryContentsRecursive(lib + trailing);

        EXPECT_TRUE(PathExists(lib));
        EXPECT_TRUE(ListFolder(lib).empty());
    }
}

// Extraction writes through extended-length paths and can make a tree deeper than the classic limit.
TEST_F(DeleteDirectoryContentsTest, EmptiesATreeDeeperThanTheClassicPathLimit)
{
    const std::wstring lib = Path(L"lib");
    std::wstring deep = MakeLongPath(lib);
    CreateDirectoryW(deep.c_str(), nullptr);
    while (deep.size() < 2 * MAX_PATH) {
        deep += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    WriteFileBytes(deep + L"\\deep.dll", "deep");

    DeleteDirectoryContentsRecursive(lib);

    EXPECT_TRUE(PathExists(lib) && ListFolder(lib).empty());
}

TEST_F(DeleteDirectoryContentsTest, MovesARunningImageAsideAndGoesOn)
{
    const std::wstring lib = Path(L"lib");
    CreateDirectoryW(lib.c_str(), nullptr);
    CreateDirectoryW((lib + L"\\sub").c_str(), nullptr);
    WriteFileBytes(lib + L"\\a.dll", "a");
    WriteFileBytes(lib + L"\\z.dll", "z");
    FixtureProcess running = StartFixture(lib + L"\\sub\\tool.exe", L"--stay 60000");

    DeleteDirectoryContentsRecursive(lib);

    // The image could only be renamed, so its folder stays; everything else is gone.
    EXPECT_EQ(ListFolder(lib), std::vector<std::wstring>{L"sub"});
    const std::vector<std::wstring> left = ListFolder(lib + L"\\sub");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(IsAsideName(left[0]));
    EXPECT_EQ(left[0].substr(0, 13), L"tool.exe.old-");
    running.Stop();
}

TEST_F(DeleteDirectoryContentsTest, LeavesAFileHeldWithoutSharing)
{
    const std::wstring lib = Path(L"lib");
    CreateDirectoryW(lib.c_str(), nullptr);
    WriteFileBytes(lib + L"\\held.dll", "held");
    WriteFileBytes(lib + L"\\other.dll", "other");
    FixtureProcess holder =
        StartFixture(Path(L"holder.exe"), L"--stay 60000 --hold \"" + lib + L"\\held.dll\" --share none");

    DeleteDirectoryContentsRecursive(lib);

    EXPECT_EQ(ListFolder(lib), std::vector<std::wstring>{L"held.dll"});
    holder.Stop();
    EXPECT_EQ(ReadFileBytes(lib + L"\\held.dll"), "held");
}

TEST(DeleteDirectoryContents, NeverFollowsADirectoryLink)
{
    const DirectoryLinkCase linkCase = MakeDirectoryLinkCase("VORLANCE_LINK_CASE");
    if (linkCase.folder.empty()) {
        GTEST_SKIP() << "no directory link can be made here";
    }
    const std::wstring& caseFolder = linkCase.folder;
    ASSERT_NE(AttributesOf(caseFolder + L"\\lib\\link") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    DeleteDirectoryContentsRecursive(caseFolder + L"\\lib");

    EXPECT_EQ(ReadFileBytes(caseFolder + L"\\outside\\precious.txt"), "precious\n");
    EXPECT_FALSE(PathExists(caseFolder + L"\\lib\\a.dll"));
    if (!IsRunningUnderWine()) {
        // Wine cannot remove a link to a non-empty folder (it acts on the target and refuses); Windows removes it.
        EXPECT_FALSE(PathExists(caseFolder + L"\\lib\\link"));
        RemoveTree(caseFolder);
    }
}

} // namespace
