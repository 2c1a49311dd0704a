#include "update/update.h"

#include "update/library_switch.h"

#include "archive/archive.h"
#include "download/download.h"
#include "status/status.h"
#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

const char DOWNLOAD_FAILED[] = "Failed to download the update. Your game was not changed; please try again later.";
const char DAMAGED[] = "The downloaded update was damaged. Your game was not changed; please try again later.";
const char IN_USE[] = "The update could not be installed because the game file is in use. Please close the game "
                      "and run the updater again.";

// A plausible executable of the given size: "MZ" and filler.
std::string Executable(size_t size, const std::string& signature = "MZ")
{
    std::string bytes = signature + std::string(size > signature.size() ? size - signature.size() : 0, 'x');
    return bytes.substr(0, size);
}

// What a folder holds, without the updater's marks.
std::vector<std::wstring> ListLibrary(const std::wstring& folder)
{
    std::vector<std::wstring> names = ListFolder(folder);
    names.erase(std::remove_if(names.begin(), names.end(), IsLibraryMarkName), names.end());
    return names;
}

// The phases fetch from the build's fixed mirror folders (VORLANCE_HOSTS), which these tests lay out afresh.
class PhaseTest : public ProgramFolderTest {
protected:
    void SetUp() override
    {
        ProgramFolderTest::SetUp();
        RemoveTree(MirrorRootFolder() + L"\\primary");
        RemoveTree(MirrorRootFolder() + L"\\fallback");
    }
    static void ServeOnPrimary(const std::wstring& name, const std::string& bytes)
    {
        ServeFile(L"primary/vorlance/" + name, bytes);
    }
    // Runs a phase and returns its failure text, or "" when it returned normally.
    std::string FailureOf(void (*phase)(const std::wstring&, HWND, const ChecksumList*),
                          const ChecksumList* list = nullptr)
    {
        try {
            phase(programDirectory, recorder, list);
        } catch (const std::runtime_error& failure) {
            return failure.what();
        }
        return std::string();
    }
};

// Every phase test fetches through the built-in hosts, so a build run with these tests must point them at the mirror
// the tests started, port included (scripts/test configures both from one port).
TEST(DownloadHosts, PointAtTheLocalTestMirror)
{
    EXPECT_EQ(std::wstring(VORLANCE_HOSTS[0]), MirrorUrl(L"primary/vorlance/"));
    EXPECT_EQ(std::wstring(VORLANCE_HOSTS[1]), MirrorUrl(L"fallback/vorlance/"));
}

using ReplaceGameExecutableTest = PhaseTest;

struct DownloadCheckCase {
    const char* what;
    std::string bytes;
    bool accepted;
};

TEST_F(ReplaceGameExecutableTest, AcceptsOnlyPlausibleExecutables)
{
    const DownloadCheckCase cases[] = {
        {"exactly 100000 bytes", Executable(100000), false},
        {"100001 bytes", Executable(100001), true},
        {"signature reversed", Executable(200000, "ZM"), false},
        {"lower-case signature", Executable(200000, "mz"), false},
        {"one byte", "M", false},
        {"empty", "", false},
    };
    for (const DownloadCheckCase& c : cases) {
        WriteFileBytes(Path(L"vorlance.exe"), "installed game");
        ServeOnPrimary(L"game.exe", c.bytes);

        const std::string failure = FailureOf(ReplaceGameExecutable);

        if (c.accepted) {
            EXPECT_EQ(failure, "") << c.what;
            EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), c.bytes) << c.what;
        } else {
            EXPECT_EQ(failure, DAMAGED) << c.what;
            EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), "installed game") << c.what;
        }
        EXPECT_FALSE(PathExists(Path(L"vorlance_new.exe"))) << c.what;
        const std::vector<PostedMessage> posted = TakePosted(recorder);
        std::vector<std::wstring> expected{L"Downloading update..."};
        if (c.accepted) {
            expected.push_back(L"Installing update...");
        }
        EXPECT_EQ(StatusTexts(posted), expected) << c.what;
        ASSERT_FALSE(ProgressValues(posted).empty());
        EXPECT_EQ(ProgressValues(posted).front(), 0) << "the bar is reset before the download";
    }
}

TEST_F(ReplaceGameExecutableTest, InstallsWhenNoGameIsInstalled)
{
    const std::string update = Executable(150000);
    ServeOnPrimary(L"game.exe", update);
    EXPECT_EQ(FailureOf(ReplaceGameExecutable), "");
    EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), update);
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"vorlance.exe"});
}

TEST_F(ReplaceGameExecutableTest, MovesARunningGameAsideAndReplacesIt)
{
    FixtureProcess game = StartFixture(Path(L"vorlance.exe"), L"--stay 60000");
    const std::string update = Executable(150000);
    ServeOnPrimary(L"game.exe", update);

    EXPECT_EQ(FailureOf(ReplaceGameExecutable), "");

    EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), update);
    int aside = 0;
    for (const std::wstring& name : ListFolder(folder)) {
        aside += name.compare(0, 17, L"vorlance.exe.old-") == 0 ? 1 : 0;
    }
    EXPECT_EQ(aside, 1) << "the running image waits under its aside name";
    game.Stop();
}

TEST_F(ReplaceGameExecutableTest, KeepsTheGameWhenNoMirrorServesTheUpdate)
{
    const std::string installed = Executable(180000);
    WriteFileBytes(Path(L"vorlance.exe"), installed);
    SetBehaviour(L"primary/vorlance/game.exe", "{\"status\": 404}");
    // The fallback folder holds nothing: 404 there too.
    EXPECT_EQ(FailureOf(ReplaceGameExecutable), DOWNLOAD_FAILED);
    EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), installed);
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"vorlance.exe"});
}

TEST_F(ReplaceGameExecutableTest, KeepsTheGameWhenEveryTransferIsCutOff)
{
    const std::string installed = Executable(180000);
    WriteFileBytes(Path(L"vorlance.exe"), installed);
    const std::string update = Executable(400000);
    for (const wchar_t* mirror : {L"primary", L"fallback"}) {
        ServeFile(std::wstring(mirror) + L"/vorlance/game.exe", update);
        SetBehaviour(std::wstring(mirror) + L"/vorlance/game.exe", "{\"cut_after\": 150000}");
    }
    EXPECT_EQ(FailureOf(ReplaceGameExecutable), DOWNLOAD_FAILED);
    EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")), installed);
    EXPECT_FALSE(PathExists(Path(L"vorlance_new.exe")));
}

TEST_F(ReplaceGameExecutableTest, GivesUpAfterSixtyAttemptsOnADirectory)
{
    ASSERT_TRUE(CreateDirectoryW(Path(L"vorlance.exe").c_str(), nullptr));
    const std::string update = Executable(150000);
    ServeOnPrimary(L"game.exe", update);

    const DWORD start = GetTickCount();
    EXPECT_EQ(FailureOf(ReplaceGameExecutable), IN_USE);
    EXPECT_GE(GetTickCount() - start, 30000u) << "sixty pauses of 500 ms";
    EXPECT_EQ(ReadFileBytes(Path(L"vorlance_new.exe")), update) << "the download is kept for the next run";
    EXPECT_NE(AttributesOf(Path(L"vorlance.exe")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// A scanner that holds the new file keeps it from being moved in: every attempt that renamed the running game aside
// puts it back, so the box leaves the game as it was.
TEST_F(ReplaceGameExecutableTest, PutsTheRunningGameBackWhenTheNewOneCannotComeIn)
{
    CopyFixtureTo(Path(L"vorlance.exe"));
    const std::string installed = ReadFileBytes(Path(L"vorlance.exe"));
    FixtureProcess game = StartFixture(Path(L"vorlance.exe"), L"--stay 60000");
    WriteFileBytes(Path(L"vorlance_new.exe"), "left by an earlier run");
    CreateDirectoryW(Path(L"scanner").c_str(), nullptr);
    FixtureProcess scanner =
        StartFixture(Path(L"scanner\\scanner.exe"),
                     L"--stay 60000 --hold \"" + Path(L"vorlance_new.exe") + L"\" --share read-write");
    ServeOnPrimary(L"game.exe", Executable(150000));

    EXPECT_EQ(FailureOf(ReplaceGameExecutable), IN_USE);
    scanner.Stop();
    game.Stop();

    EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == installed);
    EXPECT_EQ(ListFolder(folder),
              (std::vector<std::wstring>{L"launch.txt", L"scanner", L"vorlance.exe", L"vorlance_new.exe"}))
        << "no aside copy of the game is left";
}

using InstallLibraryPackageTest = PhaseTest;

std::string LibraryPackage()
{
    return BuildZip({
        StoredEntry("bass.dll", "bass v2"),
        DeflatedEntry("BASS_FX.DLL", SampleText(20000)),
        StoredEntry("bass_dir.dll/", ""),
        StoredEntry("plugins/bassmidi.dll", "midi plugin"),
        DeflatedEntry("data/readme.txt", "new readme"),
    });
}

TEST_F(InstallLibraryPackageTest, RefillsTheLibraryFolderAndCopiesBassLibraries)
{
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    CreateDirectoryW(Path(L"lib\\old").c_str(), nullptr);
    WriteFileBytes(Path(L"lib\\old\\stale.dll"), "gone from the package");
    WriteFileBytes(Path(L"lib\\bass.dll"), "bass v1");
    WriteFileBytes(Path(L"bass.dll"), "bass v1");
    WriteFileBytes(Path(L"notes.txt"), "the player's own file");
    ServeOnPrimary(L"lib.zip", LibraryPackage());

    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");

    EXPECT_EQ(ListLibrary(Path(L"lib")),
              (std::vector<std::wstring>{L"BASS_FX.DLL", L"bass.dll", L"bass_dir.dll", L"data", L"plugins"}));
    EXPECT_TRUE(IsLibraryWhole(Path(L"lib")) && !IsMarkedComplete(Path(L"lib"))) << "a whole lib holds no mark";
    EXPECT_EQ(ReadFileBytes(Path(L"lib\\data\\readme.txt")), "new readme");
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
    EXPECT_EQ(ReadFileBytes(Path(L"BASS_FX.DLL")), SampleText(20000));
    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"BASS_FX.DLL", L"bass.dll", L"lib", L"notes.txt"}))
        << "no temporary archive, no copy of a folder or of a library in a subfolder";

    const std::vector<PostedMessage> posted = TakePosted(recorder);
    EXPECT_EQ(StatusTexts(posted),
              (std::vector<std::wstring>{L"Downloading libraries...", L"Extracting libraries..."}));
    const std::vector<int> progress = ProgressValues(posted);
    ASSERT_GE(progress.size(), 4u);
    EXPECT_EQ(progress.front(), 0);
    // 100 when extraction starts, then one value per file entry: 20, 40, 80, 100 (the folder entry posts nothing).
    EXPECT_EQ(std::vector<int>(progress.end() - 5, progress.end()), (std::vector<int>{100, 20, 40, 80, 100}));
}

TEST_F(InstallLibraryPackageTest, LeavesTheLibrariesAloneWhenNoMirrorServesThePackage)
{
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    WriteFileBytes(Path(L"lib\\bass.dll"), "bass v1");
    SetBehaviour(L"primary/vorlance/lib.zip", "{\"status\": 500}");

    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");

    EXPECT_EQ(ListFolder(Path(L"lib")), std::vector<std::wstring>{L"bass.dll"});
    EXPECT_EQ(ReadFileBytes(Path(L"lib\\bass.dll")), "bass v1");
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"lib"});
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Downloading libraries..."});
}

struct BadPackageCase {
    const char* what;
    std::string bytes;
    std::string reason;
};

// Whatever can be found wrong without unpacking is found before the installed libraries go, and reported in the
// words unpacking would have used.
TEST_F(InstallLibraryPackageTest, RefusesABadPackageBeforeTouchingTheLibraries)
{
    ZipTestEntry encrypted = StoredEntry("b.dll", "secret");
    encrypted.flags = 0x0001;
    ZipTestEntry bzip2 = StoredEntry("c.dll", "packed");
    bzip2.method = 12;
    const std::string whole = LibraryPackage();
    const BadPackageCase cases[] = {
        {"an error page", "<html>503 Service Unavailable</html>",
         "not a valid zip archive: failed finding central directory"},
        {"an upload cut short", whole.substr(0, whole.size() / 2),
         "not a valid zip archive: failed finding central directory"},
        {"no entries", BuildZip({}), "zip archive is empty"},
        {"a name outside lib", BuildZip({StoredEntry("bass.dll", "v2"), StoredEntry("../vorlance.exe", "x")}),
         "unsafe path in zip entry 1"},
        {"an encrypted entry", BuildZip({StoredEntry("bass.dll", "v2"), encrypted}),
         "failed extracting b.dll: unsupported encryption"},
        {"an unsupported method", BuildZip({StoredEntry("bass.dll", "v2"), bzip2}),
         "failed extracting c.dll: unsupported method"},
    };
    for (const BadPackageCase& c : cases) {
        RemoveTree(Path(L"lib"));
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        CreateDirectoryW(Path(L"lib\\sub").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\bass.dll"), "bass v1");
        WriteFileBytes(Path(L"lib\\sub\\plugin.dll"), "plugin v1");
        WriteFileBytes(Path(L"bass.dll"), "bass v1");
        ServeOnPrimary(L"lib.zip", c.bytes);

        EXPECT_EQ(FailureOf(InstallLibraryPackage), "Library extraction failed: " + c.reason) << c.what;

        EXPECT_EQ(ListFolder(Path(L"lib")), (std::vector<std::wstring>{L"bass.dll", L"sub"})) << c.what;
        EXPECT_TRUE(ReadFileBytes(Path(L"lib\\bass.dll")) == "bass v1" &&
                    ReadFileBytes(Path(L"bass.dll")) == "bass v1" &&
                    ReadFileBytes(Path(L"lib\\sub\\plugin.dll")) == "plugin v1")
            << c.what;
        EXPECT_FALSE(PathExists(Path(L"lib_temp.zip"))) << c.what;
        EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Downloading libraries..."}) << c.what;

        // Unpacking the same bytes directly meets the same fault.
        WriteFileBytes(Path(L"direct.zip"), c.bytes);
        CreateDirectoryW(Path(L"direct").c_str(), nullptr);
        std::string direct;
        EXPECT_FALSE(ExtractZip(Path(L"direct.zip"), Path(L"direct"), nullptr, direct)) << c.what;
        EXPECT_EQ(direct, c.reason) << c.what;
    }
}

// What only unpacking reveals is met in the staging folder: the installed libraries, the copies beside the game and
// the folder's names stay exactly as they were.
TEST_F(InstallLibraryPackageTest, KeepsEverythingWhenUnpackingFails)
{
    ZipTestEntry badCrc = DeflatedEntry("data/readme.txt", SampleText(5000));
    badCrc.crcOverride = Crc32Of(SampleText(5000)) ^ 1;
    const BadPackageCase cases[] = {
        {"a name Windows cannot create", BuildZip({StoredEntry("bass.dll", "v2"), StoredEntry("what?.txt", "x")}),
         "cannot write what?.txt (error 123)"},
        {"an empty component", BuildZip({StoredEntry("bass.dll", "v2"), StoredEntry("data//b.txt", "x")}),
         "cannot write data\\\\b.txt (error 123)"},
        {"a bad CRC in the last entry", BuildZip({StoredEntry("bass.dll", "v2"), badCrc}),
         "failed extracting data\\readme.txt: decompression failed or archive is corrupted"},
    };
    for (const BadPackageCase& c : cases) {
        RemoveTree(Path(L"lib"));
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\bass.dll"), "bass v1");
        WriteFileBytes(Path(L"bass.dll"), "bass v1");
        ServeOnPrimary(L"lib.zip", c.bytes);

        EXPECT_EQ(FailureOf(InstallLibraryPackage), "Library extraction failed: " + c.reason) << c.what;

        EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"bass.dll", L"lib"})) << c.what;
        EXPECT_EQ(ListFolder(Path(L"lib")), std::vector<std::wstring>{L"bass.dll"}) << c.what;
        EXPECT_TRUE(ReadFileBytes(Path(L"lib\\bass.dll")) == "bass v1" && ReadFileBytes(Path(L"bass.dll")) == "bass v1")
            << c.what;
    }
}

// An error page or a parked domain on the primary, with no list to tell: each phase takes the fallback's file.
TEST_F(InstallLibraryPackageTest, TakesTheFallbacksFilesWhenThePrimaryServesAnErrorPage)
{
    const std::string update = Executable(150000);
    ServeOnPrimary(L"lib.zip", "<html>502 Bad Gateway</html>");
    ServeOnPrimary(L"game.exe", "<html>502 Bad Gateway</html>");
    ServeFile(L"fallback/vorlance/lib.zip", LibraryPackage());
    ServeFile(L"fallback/vorlance/game.exe", update);

    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");
    EXPECT_EQ(FailureOf(ReplaceGameExecutable), "");

    EXPECT_EQ(ReadFileBytes(Path(L"lib\\data\\readme.txt")), "new readme");
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
    EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == update);
}

// A library folder that stays held past the rename's retries is refilled where it stands, and only then marked whole.
TEST_F(InstallLibraryPackageTest, RefillsALibraryFolderThatCannotBeMovedInPlace)
{
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    WriteFileBytes(Path(L"lib\\retired.dll"), "old");
    const HANDLE held = CreateFileW(Path(L"lib").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ServeOnPrimary(L"lib.zip", LibraryPackage());

    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");
    CloseHandle(held);

    EXPECT_EQ(ListLibrary(Path(L"lib")),
              (std::vector<std::wstring>{L"BASS_FX.DLL", L"bass.dll", L"bass_dir.dll", L"data", L"plugins"}));
    EXPECT_TRUE(IsLibraryWhole(Path(L"lib")) && !IsMarkedComplete(Path(L"lib"))) << "a whole lib holds no mark";
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"BASS_FX.DLL", L"bass.dll", L"lib"}));
}

TEST_F(InstallLibraryPackageTest, OverwritesAReadOnlyLibraryBesideTheGame)
{
    WriteFileBytes(Path(L"bass.dll"), "bass v1");
    SetFileAttributesW(Path(L"bass.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    ServeOnPrimary(L"lib.zip", LibraryPackage());

    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
}

TEST_F(InstallLibraryPackageTest, MovesALoadedLibraryAsideOnlyAfterThreeFailedCopies)
{
    WriteFileBytes(Path(L"bass.dll"), "bass v1");
    // Held the way the loader holds a library: no write sharing, delete sharing allowed.
    FixtureProcess game =
        StartFixture(Path(L"vorlance.exe"), L"--stay 60000 --hold \"" + Path(L"bass.dll") + L"\" --share read-delete");
    ServeOnPrimary(L"lib.zip", LibraryPackage());

    const DWORD start = GetTickCount();
    EXPECT_EQ(FailureOf(InstallLibraryPackage), "");
    const DWORD took = GetTickCount() - start;

    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v2");
    EXPECT_GE(took, 450u) << "three failed copies, each followed by a 150 ms pause";
    game.Stop();
}

class RunUpdateTest : public PhaseTest {
protected:
    // Runs the update; a failure box it shows is clicked away and its text returned, so that a failing run fails the
    // test instead of waiting for a click.
    std::wstring RunUpdateAndTakeBox()
    {
        std::atomic<bool> returned{false};
        std::wstring shown;
        std::thread player([&] {
            while (!returned && !DismissMessageBox(L"Update Error", 50, shown)) {
            }
        });
        RunUpdate(programDirectory, recorder);
        returned = true;
        player.join();
        return shown;
    }
};

// Everything one successful run tells the window, in posting order.
TEST_F(RunUpdateTest, PostsEveryStatusAndProgressValueInOrder)
{
    ServeOnPrimary(L"lib.zip", BuildZip({StoredEntry("bass.dll", "bass"), StoredEntry("bass_fx.dll", "fx"),
                                         DeflatedEntry("readme.txt", "readme")}));
    // A runnable game of exactly twenty 64 KiB blocks, so the download moves the bar in steps of 5.
    std::string game = ReadFileBytes(BinFolder() + L"fixture_game.exe");
    ASSERT_LT(game.size(), 20u * 65536u);
    game.resize(20 * 65536, '\0');
    ServeOnPrimary(L"game.exe", game);
    WriteFileBytes(Path(L"fixture_args.txt"), "--stay 0");

    EXPECT_EQ(RunUpdateAndTakeBox(), L"");

    std::vector<std::pair<UINT, std::wstring>> expected = {
        {WM_UPDATER_STATUS, L"Downloading libraries..."},
        {WM_UPDATER_PROGRESS, L"0"},
        {WM_UPDATER_PROGRESS, L"100"},
        {WM_UPDATER_STATUS, L"Extracting libraries..."},
        {WM_UPDATER_PROGRESS, L"100"},
        {WM_UPDATER_PROGRESS, L"33"},
        {WM_UPDATER_PROGRESS, L"66"},
        {WM_UPDATER_PROGRESS, L"100"},
        {WM_UPDATER_STATUS, L"Downloading update..."},
        {WM_UPDATER_PROGRESS, L"0"},
    };
    for (int percent = 5; percent <= 100; percent += 5) {
        expected.push_back({WM_UPDATER_PROGRESS, std::to_wstring(percent)});
    }
    expected.push_back({WM_UPDATER_STATUS, L"Installing update..."});
    expected.push_back({WM_UPDATER_STATUS, L"Launching..."});
    expected.push_back({WM_UPDATER_PROGRESS, L"100"});

    std::vector<std::pair<UINT, std::wstring>> posted;
    for (const PostedMessage& item : TakePosted(recorder)) {
        posted.push_back({item.message, item.message == WM_UPDATER_STATUS ? item.text : std::to_wstring(item.value)});
    }
    EXPECT_EQ(posted, expected);
    EXPECT_TRUE(WaitForFile(Path(L"launch.txt"), 10000)) << "the new game was started";
    EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == game);
}

// An installation that matches the published list: each phase shows its download text and a full bar, nothing else,
// and only the list is fetched.
TEST_F(RunUpdateTest, AnUnchangedReleaseShowsOnlyTheDownloadTextsAndAFullBar)
{
    const std::string game = ReadFileBytes(BinFolder() + L"fixture_game.exe");
    WriteFileBytes(Path(L"vorlance.exe"), game);
    ServeOnPrimary(L"game.exe", game);
    WriteFileBytes(Path(L"fixture_args.txt"), "--stay 0");
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    WriteFileBytes(Path(L"lib\\bass.dll"), "bass");
    ServeOnPrimary(L"SHA256SUMS", ChecksumListFromPackTool(BuildZip({StoredEntry("bass.dll", "bass")}), game));

    EXPECT_EQ(RunUpdateAndTakeBox(), L"");

    std::vector<std::pair<UINT, std::wstring>> posted;
    for (const PostedMessage& item : TakePosted(recorder)) {
        posted.push_back({item.message, item.message == WM_UPDATER_STATUS ? item.text : std::to_wstring(item.value)});
    }
    EXPECT_EQ(posted, (std::vector<std::pair<UINT, std::wstring>>{{WM_UPDATER_STATUS, L"Downloading libraries..."},
                                                                  {WM_UPDATER_PROGRESS, L"0"},
                                                                  {WM_UPDATER_PROGRESS, L"100"},
                                                                  {WM_UPDATER_STATUS, L"Downloading update..."},
                                                                  {WM_UPDATER_PROGRESS, L"0"},
                                                                  {WM_UPDATER_PROGRESS, L"100"},
                                                                  {WM_UPDATER_STATUS, L"Launching..."},
                                                                  {WM_UPDATER_PROGRESS, L"100"}}));
    EXPECT_EQ(RequestsFor(L"primary"), std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS"});
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass") << "the copy beside the game is made all the same";
    EXPECT_TRUE(WaitForFile(Path(L"launch.txt"), 10000));
}

void SetWriteYear(const std::wstring& path, WORD year)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = 1;
    time.wDay = 1;
    FILETIME written = {};
    SystemTimeToFileTime(&time, &written);
    const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
}

// A run killed between renaming the running game aside and moving the new one in: with every mirror down, the next
// run still leaves a game that starts, the one installed last.
TEST_F(RunUpdateTest, PutsTheNewestAsideGameBackWhenTheGameIsMissing)
{
    WriteFileBytes(Path(L"vorlance.exe.old-ffffffff00"), Executable(150000, "MZold"));
    SetWriteYear(Path(L"vorlance.exe.old-ffffffff00"), 2020);
    WriteFileBytes(Path(L"vorlance.exe.old-0000000001"), Executable(160000, "MZnew"));
    SetWriteYear(Path(L"vorlance.exe.old-0000000001"), 2024);

    EXPECT_EQ(Utf8(RunUpdateAndTakeBox()), DOWNLOAD_FAILED);

    EXPECT_EQ(ReadFileBytes(Path(L"vorlance.exe")).substr(0, 5), "MZnew");
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"vorlance.exe"});
}

// The previous libraries are the only whole copy while something stands where "lib" goes: no run without mirrors
// removes them, and once the way is clear they are "lib" again, with the copy beside the game in step.
TEST_F(RunUpdateTest, KeepsTheOnlyWholeLibrariesUntilTheyAreBack)
{
    CreateDirectoryW(Path(L"lib_old").c_str(), nullptr);
    WriteFileBytes(Path(L"lib_old\\bass.dll"), "bass v1");
    WriteFileBytes(Path(L"lib_old\\") + COMPLETE_MARK_NAME, "mark");
    WriteFileBytes(Path(L"bass.dll"), "bass v0");
    WriteFileBytes(Path(L"lib"), "in the way");

    EXPECT_EQ(Utf8(RunUpdateAndTakeBox()), DOWNLOAD_FAILED);
    EXPECT_EQ(ReadFileBytes(Path(L"lib_old\\bass.dll")), "bass v1");

    DeleteFileW(Path(L"lib").c_str());
    EXPECT_EQ(Utf8(RunUpdateAndTakeBox()), DOWNLOAD_FAILED);
    EXPECT_EQ(ReadFileBytes(Path(L"lib\\bass.dll")), "bass v1");
    EXPECT_FALSE(PathExists(Path(L"lib_old")));
    EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass v1");
}

} // namespace
