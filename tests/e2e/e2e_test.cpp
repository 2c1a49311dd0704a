#include "update/checksum_list.h"
#include "update/library_switch.h"

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/e2e/updater_run.h"
#include "tests/mirror/mirror_client.h"
#include "tests/update/game_delta_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

const wchar_t DOWNLOAD_FAILED[] = L"Failed to download the update. Your game was not changed; please try again later.";
const wchar_t DAMAGED[] = L"The downloaded update was damaged. Your game was not changed; please try again later.";
const wchar_t IN_USE[] = L"The update could not be installed because the game file is in use. Please close the "
                         L"game and run the updater again.";

std::string FixtureBytes()
{
    static const std::string bytes = ReadFileBytes(BinFolder() + L"fixture_game.exe");
    return bytes;
}

// Real, runnable game builds told apart by what follows the image.
std::string OldGame()
{
    return FixtureBytes() + "old build";
}

std::string NewGame()
{
    return FixtureBytes() + "new build";
}

std::string LibraryPackage()
{
    return BuildZip({DeflatedEntry("bass.dll", SampleText(30000)), StoredEntry("bass_fx.dll", "effects v2"),
                     DeflatedEntry("data/readme.txt", "package readme")});
}

// What a folder holds, without the updater's marks.
std::vector<std::wstring> ListLibrary(const std::wstring& folder)
{
    std::vector<std::wstring> names = ListFolder(folder);
    names.erase(std::remove_if(names.begin(), names.end(), IsLibraryMarkName), names.end());
    return names;
}

bool IsAsidePrefix(const std::wstring& name, const std::wstring& of)
{
    return name.size() == of.size() + 15 && name.compare(0, of.size() + 5, of + L".old-") == 0;
}

// A game the killed updater had started ends by itself at once; anything still running from the folder after a
// few seconds is ended, so that the next trial starts from a clean folder. Under Wine a game whose start was under
// way at the moment of the kill can hang before its first instruction (it never writes its record); the next run
// then waits its 15 seconds for it, as for any program running from the folder. That is the platform's process
// start-up (on Windows too a process whose creator dies inside CreateProcessW can stay suspended), so it is only
// reported.
void EndProcessesLeftIn(const std::wstring& folder, const std::wstring& record)
{
    const DWORD start = GetTickCount();
    while (!ProcessesRunningFrom(folder).empty() && GetTickCount() - start < 5000) {
        Sleep(50);
    }
    for (DWORD id : ProcessesRunningFrom(folder)) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        wchar_t image[1024] = {};
        DWORD length = 1024;
        QueryFullProcessImageNameW(process, 0, image, &length);
        // The game writes its process id into its record once it runs.
        const bool startedUp = RecordValue(record, "pid") == std::to_wstring(id);
        if (!startedUp) {
            std::printf("  %s never got past its start-up; ended by the test\n", Utf8(image).c_str());
        } else {
            ADD_FAILURE() << "a game that had started is still running: " << Utf8(image);
        }
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

// A fresh game folder with the updater, an installed old game and old libraries, and a mirror serving a release.
class EndToEndTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        game = Path(L"Vorlance Game");
        LayOutGameFolder();
        RemoveTree(MirrorRootFolder() + L"\\primary");
        RemoveTree(MirrorRootFolder() + L"\\fallback");
        Serve(L"primary", NewGame(), LibraryPackage());
    }
    void LayOutGameFolder()
    {
        EndProcessesLeftIn(game, game + L"\\launched.txt");
        for (int attempt = 0; attempt < 100 && PathExists(game); ++attempt) {
            RemoveTree(game);
            if (PathExists(game)) {
                Sleep(50);
            }
        }
        ASSERT_TRUE(CreateDirectoryW(game.c_str(), nullptr));
        ASSERT_TRUE(
            CopyFileW((BinFolder() + L"VorlanceUpdater.exe").c_str(), InGame(L"VorlanceUpdater.exe").c_str(), FALSE));
        WriteFileBytes(InGame(L"vorlance.exe"), OldGame());
        // What the game does when the updater starts it: record how, then end.
        WriteFileBytes(InGame(L"fixture_args.txt"), "--stay 0 --record launched.txt");
        CreateDirectoryW(InGame(L"lib").c_str(), nullptr);
        WriteFileBytes(InGame(L"lib\\retired.dll"), "no longer in the package");
        WriteFileBytes(InGame(L"bass.dll"), "bass v1");
    }
    static void Serve(const std::wstring& mirror, const std::string& gameBytes, const std::string& package)
    {
        ServeFile(mirror + L"/vorlance/game.exe", gameBytes);
        ServeFile(mirror + L"/vorlance/lib.zip", package);
    }
    void TearDown() override
    {
        EndProcessesLeftIn(game, InGame(L"launched.txt"));
        TempFolderTest::TearDown();
    }
    std::wstring InGame(const std::wstring& name) const { return game + L"\\" + name; }

    // Publishes on a mirror the list of the release LibraryPackage() and NewGame() make, written by the studio's tool.
    static void PublishChecksumList(const std::wstring& mirror)
    {
        ServeFile(mirror + L"/vorlance/SHA256SUMS", ChecksumListFromPackTool(LibraryPackage(), NewGame()));
    }

    bool GameWasLaunched() const { return WaitForFile(InGame(L"launched.txt"), 10000); }
    // Asked once the updater has ended: a game it started exists by then, still running or ended after its record.
    bool AGameWasStarted() const { return !ProcessesRunningFrom(game).empty() || PathExists(InGame(L"launched.txt")); }

    void ExpectUpdatedAndLaunched(const UpdaterRun& run)
    {
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.errorBox, L"");
        EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == NewGame()) << "vorlance.exe is the new build";
        EXPECT_FALSE(PathExists(InGame(L"vorlance_new.exe")));
        EXPECT_FALSE(PathExists(InGame(L"lib_new")) || PathExists(InGame(L"lib_old")));
        EXPECT_EQ(ListLibrary(InGame(L"lib")), (std::vector<std::wstring>{L"bass.dll", L"bass_fx.dll", L"data"}));
        EXPECT_TRUE(ReadFileBytes(InGame(L"bass.dll")) == SampleText(30000));
        EXPECT_EQ(ReadFileBytes(InGame(L"bass_fx.dll")), "effects v2");
        ASSERT_TRUE(GameWasLaunched());
        EXPECT_EQ(RecordValue(InGame(L"launched.txt"), "cmdline"), L"\"" + game + L"\\vorlance.exe\"");
        std::wstring cwd = RecordValue(InGame(L"launched.txt"), "cwd");
        if (!cwd.empty() && cwd.back() == L'\\') {
            cwd.pop_back();
        }
        EXPECT_EQ(CompareStringOrdinal(cwd.c_str(), -1, game.c_str(), -1, TRUE), CSTR_EQUAL) << Utf8(cwd);
    }

    void ExpectStoppedWith(const UpdaterRun& run, const std::wstring& message)
    {
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 0u) << "the exit code is 0 after a failure too";
        EXPECT_EQ(run.errorBox, message);
        EXPECT_FALSE(AGameWasStarted()) << "no game is started after a failure";
    }

    std::wstring game;
};

TEST_F(EndToEndTest, UpdatesLibrariesAndGameAndStartsIt)
{
    const UpdaterRun run = RunUpdater(game);
    ExpectUpdatedAndLaunched(run);
    EXPECT_EQ(RequestsFor(L"fallback"), std::vector<std::string>{}) << "the primary served everything";
}

// What a folder holds, recursively: relative path -> bytes; folders end in '\' and hold "".
std::map<std::wstring, std::string> TreeOf(const std::wstring& folder, const std::wstring& prefix = L"")
{
    std::map<std::wstring, std::string> tree;
    for (const std::wstring& name : ListLibrary(folder + prefix)) {
        const std::wstring path = prefix + L"\\" + name;
        if ((GetFileAttributesW((folder + path).c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            tree[path + L"\\"] = "";
            const auto below = TreeOf(folder, path);
            tree.insert(below.begin(), below.end());
        } else {
            tree[path] = ReadFileBytes(folder + path);
        }
    }
    return tree;
}

// A package the studio's tool built from a folder (the pack_tool test leaves both) installs exactly that folder.
TEST_F(EndToEndTest, InstallsAPackageThePackToolBuilt)
{
    // The Linux path of the folder; Wine's Z: drive is the Linux root.
    wchar_t value[4096] = {};
    const DWORD length = GetEnvironmentVariableW(L"VORLANCE_PACK_ROUNDTRIP", value, 4096);
    std::wstring made = length > 0 && length < 4096 ? L"Z:" + std::wstring(value) : std::wstring();
    std::replace(made.begin(), made.end(), L'/', L'\\');
    if (made.empty()) {
        GTEST_SKIP() << "runs as the pack_roundtrip test, after pack_tool has built the package";
    }
    const std::map<std::wstring, std::string> packed = TreeOf(made + L"\\tree");
    ASSERT_GT(packed.size(), 5u);
    Serve(L"primary", NewGame(), ReadFileBytes(made + L"\\lib.zip"));
    const UpdaterRun run = RunUpdater(game);
    EXPECT_EQ(run.errorBox, L"");
    EXPECT_TRUE(packed == TreeOf(InGame(L"lib"))) << "lib holds what the packed folder held";
    EXPECT_TRUE(ReadFileBytes(InGame(L"bass.dll")) == packed.at(L"\\bass.dll"));
    EXPECT_TRUE(GameWasLaunched());
}

TEST_F(EndToEndTest, FallsBackWhenThePrimaryIsDown)
{
    SetBehaviour(L"primary/vorlance/game.exe", "{\"status\": 503}");
    SetBehaviour(L"primary/vorlance/lib.zip", "{\"status\": 503}");
    Serve(L"fallback", NewGame(), LibraryPackage());
    ExpectUpdatedAndLaunched(RunUpdater(game));
    EXPECT_EQ(RequestsFor(L"fallback").size(), 3u) << "the checksum list, the package and the game";
}

TEST_F(EndToEndTest, WithAChecksumListAnUnchangedReleaseCostsOnlyTheListAndDamageIsRepaired)
{
    PublishChecksumList(L"primary");
    ExpectUpdatedAndLaunched(RunUpdater(game));

    WriteFileBytes(InGame(L"lib\\x.dll.old-0001e24000"), "an earlier run's leftover never counts");
    const size_t before = RequestsFor(L"primary").size();
    DeleteFileW(InGame(L"launched.txt").c_str());
    ExpectUpdatedAndLaunched(RunUpdater(game));
    const std::vector<std::string> requests = RequestsFor(L"primary");
    EXPECT_EQ(std::vector<std::string>(requests.begin() + before, requests.end()),
              std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS"});
    EXPECT_FALSE(PathExists(InGame(L"sha256sums_temp.txt")));

    WriteFileBytes(InGame(L"lib\\bass.dll"), "damaged");
    DeleteFileW(InGame(L"launched.txt").c_str());
    ExpectUpdatedAndLaunched(RunUpdater(game));
    // The package's last 4 KiB tell its size; one too small to pay for a patch then comes whole.
    const std::vector<std::string> again = RequestsFor(L"primary");
    EXPECT_EQ(std::vector<std::string>(again.begin() + requests.size(), again.end()),
              (std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS", "GET /primary/vorlance/lib.zip",
                                        "GET /primary/vorlance/lib.zip"}));
}

TEST_F(EndToEndTest, UsesTheFallbackWhenThePrimarysFilesDisagreeWithItsList)
{
    PublishChecksumList(L"primary");
    // Both pass every other check: a runnable game and a sound package, only not the listed ones.
    Serve(L"primary", OldGame(), BuildZip({StoredEntry("bass.dll", "bass v1")}));
    Serve(L"fallback", NewGame(), LibraryPackage());
    ExpectUpdatedAndLaunched(RunUpdater(game));
    EXPECT_EQ(RequestsFor(L"fallback").size(), 2u) << "the package and the game";

    // No mirror has the listed game: the installed one stays, as after any failed download.
    Serve(L"fallback", OldGame(), LibraryPackage());
    WriteFileBytes(InGame(L"vorlance.exe"), "installed build");
    DeleteFileW(InGame(L"launched.txt").c_str());
    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == "installed build");
    EXPECT_FALSE(PathExists(InGame(L"vorlance_new.exe")));
}

TEST_F(EndToEndTest, KeepsTheLibrariesWhenNoMirrorHasThePackage)
{
    DeleteFileW((MirrorRootFolder() + L"\\primary\\vorlance\\lib.zip").c_str());
    const UpdaterRun run = RunUpdater(game);
    EXPECT_EQ(run.errorBox, L"");
    EXPECT_EQ(ListLibrary(InGame(L"lib")), std::vector<std::wstring>{L"retired.dll"});
    EXPECT_EQ(ReadFileBytes(InGame(L"bass.dll")), "bass v1");
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == NewGame());
    EXPECT_TRUE(GameWasLaunched());
    EXPECT_TRUE(std::find(run.labels.begin(), run.labels.end(), L"Extracting libraries...") == run.labels.end());
}

TEST_F(EndToEndTest, ReportsAMissingUpdateAndKeepsTheGame)
{
    DeleteFileW((MirrorRootFolder() + L"\\primary\\vorlance\\game.exe").c_str());
    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_FALSE(PathExists(InGame(L"vorlance_new.exe")));
}

TEST_F(EndToEndTest, ReportsAnUpdateCutOffOnBothMirrors)
{
    Serve(L"fallback", NewGame(), LibraryPackage());
    SetBehaviour(L"primary/vorlance/game.exe", "{\"cut_after\": 100000}");
    SetBehaviour(L"fallback/vorlance/game.exe", "{\"cut_after\": 150000}");
    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_FALSE(PathExists(InGame(L"vorlance_new.exe")));
}

TEST_F(EndToEndTest, RejectsADamagedExecutable)
{
    Serve(L"primary", "<html>502 Bad Gateway</html>" + std::string(200000, ' '), LibraryPackage());
    ExpectStoppedWith(RunUpdater(game), DAMAGED);
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_FALSE(PathExists(InGame(L"vorlance_new.exe")));
}

TEST_F(EndToEndTest, ReportsAGameThatCannotBeStarted)
{
    // It passes the download check ("MZ", large enough) but Windows cannot run it.
    const std::string unrunnable = "MZ" + std::string(200000, 'x');
    Serve(L"primary", unrunnable, LibraryPackage());
    const UpdaterRun run = RunUpdater(game);
    ExpectStoppedWith(run, L"Failed to launch the game");
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == unrunnable);
    ASSERT_FALSE(run.labels.empty());
    EXPECT_EQ(run.labels.back(), L"Launching...");
}

TEST_F(EndToEndTest, RefusesAPackageThatWritesOutsideTheLibraryFolder)
{
    Serve(L"primary", NewGame(),
          BuildZip({StoredEntry("bass.dll", "bass v2"), StoredEntry("../vorlance.exe", "overwritten!")}));
    ExpectStoppedWith(RunUpdater(game), L"Library extraction failed: unsafe path in zip entry 1");
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_EQ(ListLibrary(InGame(L"lib")), std::vector<std::wstring>{L"retired.dll"}) << "refused before emptying lib";
    EXPECT_EQ(ReadFileBytes(InGame(L"bass.dll")), "bass v1");
    EXPECT_FALSE(PathExists(InGame(L"lib_new")));
}

TEST_F(EndToEndTest, ReportsAPackageThatIsNoZipArchive)
{
    Serve(L"primary", NewGame(), "<html>this mirror shows an error page instead of the package</html>");
    ExpectStoppedWith(RunUpdater(game),
                      L"Library extraction failed: not a valid zip archive: failed finding central directory");
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_FALSE(PathExists(InGame(L"lib_new")));
}

// The running game closes once the updater shows that it waits for it. Until then it holds an earlier run's leftover,
// which the updater sweeps only after the wait: a run that went on without waiting would leave it behind.
TEST_F(EndToEndTest, WaitsForARunningGameToCloseThenReplacesIt)
{
    WriteFileBytes(InGame(L"vorlance.exe.old-0001e24000"), "left by an earlier run");
    FixtureProcess old = StartFixture(InGame(L"vorlance.exe"),
                                      L"--hold \"" + InGame(L"vorlance.exe.old-0001e24000") +
                                          L"\" --share none --until-file \"" + Path(L"release") + L"\"",
                                      L"old-game.txt");
    UpdaterRunOptions options;
    options.releaseAtLabel = L"Waiting for the game to close...";
    options.releaseFile = Path(L"release");
    const UpdaterRun run = RunUpdater(game, options);
    EXPECT_TRUE(old.WaitForExit(0));
    EXPECT_TRUE(std::find(run.labels.begin(), run.labels.end(), options.releaseAtLabel) != run.labels.end());
    ExpectUpdatedAndLaunched(run);
    for (const std::wstring& name : ListFolder(game)) {
        EXPECT_FALSE(IsAsidePrefix(name, L"vorlance.exe")) << "swept after the wait, not moved aside: " << Utf8(name);
    }
    old.Stop();
}

TEST_F(EndToEndTest, ReplacesAGameThatNeverClosesAndSweepsItLater)
{
    FixtureProcess old = StartFixture(InGame(L"vorlance.exe"), L"--stay 120000", L"old-game.txt");
    const UpdaterRun run = RunUpdater(game);
    EXPECT_GE(run.tookMs, 15000u);
    ExpectUpdatedAndLaunched(run);
    std::vector<std::wstring> aside;
    for (const std::wstring& name : ListFolder(game)) {
        if (IsAsidePrefix(name, L"vorlance.exe")) {
            aside.push_back(name);
        }
    }
    EXPECT_EQ(aside.size(), 1u) << "the running image waits under its aside name";

    old.Stop();
    DeleteFileW(InGame(L"launched.txt").c_str());
    ExpectUpdatedAndLaunched(RunUpdater(game));
    for (const std::wstring& name : ListFolder(game)) {
        EXPECT_FALSE(IsAsidePrefix(name, L"vorlance.exe")) << "the next run swept " << Utf8(name);
    }
}

TEST_F(EndToEndTest, ReportsAGameHeldOpenByAnotherProgram)
{
    // The holder lives outside the game folder, so the updater does not wait for it.
    FixtureProcess holder =
        StartFixture(Path(L"holder.exe"), L"--stay 120000 --hold \"" + InGame(L"vorlance.exe") + L"\" --share none");
    const UpdaterRun run = RunUpdater(game);
    ExpectStoppedWith(run, IN_USE);
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance_new.exe")) == NewGame()) << "the download is kept";
    holder.Stop();
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
}

TEST_F(EndToEndTest, SweepsItsLeftoversAndLeavesThePlayersFilesAlone)
{
    WriteFileBytes(InGame(L"bass.dll.old-0001e24000"), "left by an earlier run");
    WriteFileBytes(InGame(L"vorlance.exe.old-00a1b2c301"), "left by an earlier run");
    WriteFileBytes(InGame(L"notes.old-backup.txt"), "the player's notes");
    WriteFileBytes(InGame(L"screenshot.old-1.png"), "the player's picture");
    WriteFileBytes(Path(L"save.old-0001e24000"), "beside the game folder");
    WriteFileBytes(InGame(L"lib\\x.dll.old-0001e24000"), "left in lib");
    ExpectUpdatedAndLaunched(RunUpdater(game));
    EXPECT_FALSE(PathExists(InGame(L"bass.dll.old-0001e24000")));
    EXPECT_FALSE(PathExists(InGame(L"vorlance.exe.old-00a1b2c301")));
    EXPECT_EQ(ReadFileBytes(InGame(L"notes.old-backup.txt")), "the player's notes");
    EXPECT_EQ(ReadFileBytes(InGame(L"screenshot.old-1.png")), "the player's picture");
    EXPECT_EQ(ReadFileBytes(Path(L"save.old-0001e24000")), "beside the game folder");
}

TEST_F(EndToEndTest, ReplacesAReadOnlyLibraryBesideTheGame)
{
    SetFileAttributesW(InGame(L"bass.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    ExpectUpdatedAndLaunched(RunUpdater(game));
}

// A program outside the game folder (the updater does not wait for it) holds the copy beside the game as the loader
// does, for the whole run: the updater renames it aside to put the new one in its place.
TEST_F(EndToEndTest, ReplacesALibraryBesideTheGameThatAnotherProgramHasLoaded)
{
    FixtureProcess holder =
        StartFixture(Path(L"holder.exe"), L"--hold \"" + InGame(L"bass.dll") +
                                              L"\" --share read-delete --until-file \"" + Path(L"never") + L"\"");
    ExpectUpdatedAndLaunched(RunUpdater(game));
    holder.Stop();
}

TEST_F(EndToEndTest, ClosingTheWindowDuringADownloadEndsTheRunQuietly)
{
    SetBehaviour(L"primary/vorlance/game.exe", "{\"pace_ms\": 300}");
    UpdaterRunOptions options;
    options.closeWindowAtLabel = L"Downloading update...";
    const UpdaterRun run = RunUpdater(game, options);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.errorBox, L"");
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_FALSE(AGameWasStarted());
}

HANDLE StartUpdaterProcess(const std::wstring& exePath)
{
    std::wstring commandLine = L"\"" + exePath + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(process.hThread);
    return process.hProcess;
}

TEST_F(EndToEndTest, ASecondUpdaterForTheSameFolderLeavesAtOnce)
{
    // A slow game download keeps the updater at work for about ten seconds. The second one is started under another
    // spelling of the same folder.
    SetBehaviour(L"primary/vorlance/game.exe", "{\"pace_ms\": 2500}");
    std::wstring otherSpelling = InGame(L"VorlanceUpdater.exe");
    CharUpperBuffW(&otherSpelling[0], static_cast<DWORD>(otherSpelling.size()));
    HANDLE updaters[2] = {StartUpdaterProcess(InGame(L"VorlanceUpdater.exe")), StartUpdaterProcess(otherSpelling)};
    ASSERT_TRUE(updaters[0] != nullptr && updaters[1] != nullptr);

    const DWORD firstEnded = WaitForMultipleObjects(2, updaters, FALSE, 120000) - WAIT_OBJECT_0;
    ASSERT_LT(firstEnded, 2u) << "neither updater ended";
    EXPECT_EQ(WaitForSingleObject(updaters[1 - firstEnded], 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the second updater left while the first was still at work";
    EXPECT_EQ(WaitForSingleObject(updaters[1 - firstEnded], 120000), WAIT_OBJECT_0);
    for (HANDLE updater : updaters) {
        DWORD exitCode = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeProcess(updater, &exitCode) && exitCode == 0) << exitCode;
        TerminateProcess(updater, 1);
        CloseHandle(updater);
    }
    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == NewGame() && GameWasLaunched());
    const std::vector<std::string> requests = RequestsFor(L"primary");
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const std::string& request) { return request.find("game.exe") != std::string::npos; }),
              1)
        << "one updater did the work";
}

// A game installed where the player may not write. The folder is prepared without write permission on the Linux
// side; the test user cannot write to it, root could.
// The game folder the build prepares without write permission for the test user; empty (with the reason) when this
// run cannot use it.
std::wstring ReadOnlyGameFolder(std::string& reason)
{
    const char* prepared = std::getenv("VORLANCE_READONLY_GAME");
    if (prepared == nullptr || !IsRunningUnderWine()) {
        reason = "needs the folder without write permission that the build prepares for Wine";
        return std::wstring();
    }
    std::wstring locked = L"Z:" + Widen(prepared);
    std::replace(locked.begin(), locked.end(), L'/', L'\\');
    const HANDLE probe = CreateFileW((locked + L"\\probe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        reason = "Wine runs as root here, and root writes to a folder without write permission";
        return std::wstring();
    }
    return locked;
}

TEST_F(EndToEndTest, NamesAGameFolderThatRefusesWrites)
{
    std::string reason;
    const std::wstring locked = ReadOnlyGameFolder(reason);
    if (locked.empty()) {
        GTEST_SKIP() << reason;
    }
    const std::string installed = ReadFileBytes(locked + L"\\vorlance.exe");

    const UpdaterRun run = RunUpdater(locked);

    EXPECT_TRUE(run.exited && run.exitCode == 0);
    EXPECT_EQ(run.errorBox, L"The update could not be saved because the game folder cannot be written to (error 5). "
                            L"Your game was not changed; run the updater as the user who installed the game, or move "
                            L"the game to a folder you can write to.");
    EXPECT_TRUE(ReadFileBytes(locked + L"\\vorlance.exe") == installed);
}

// An unchanged release needs no write at all: the list is read in memory and the game starts.
TEST_F(EndToEndTest, StartsAnUnchangedGameInAFolderThatRefusesWrites)
{
    std::string reason;
    const std::wstring locked = ReadOnlyGameFolder(reason);
    if (locked.empty()) {
        GTEST_SKIP() << reason;
    }
    ServeFile(L"primary/vorlance/SHA256SUMS", ReadFileBytes(locked + L"-SHA256SUMS"));
    const std::wstring launched = locked + L"-launched.txt";
    DeleteFileW(launched.c_str());

    const UpdaterRun run = RunUpdater(locked);

    EXPECT_TRUE(run.exited && run.exitCode == 0);
    EXPECT_EQ(run.errorBox, L"");
    EXPECT_TRUE(WaitForFile(launched, 10000)) << "the game was started";
    EXPECT_EQ(RequestsFor(L"primary"), std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS"});
}

// A release the kill trials install over what is laid out: the package the primary serves, its checksum list (none:
// the list is not published), and the library folder before and after.
struct KillTrialRelease {
    std::string package;
    std::string list;
    std::map<std::wstring, std::string> before; // as TreeOf gives it; empty: as LayOutGameFolder leaves it
    std::map<std::wstring, std::string> after;
    std::string oldGame;                       // the installed game; empty: OldGame()
    std::string newGame;                       // the listed game; empty: NewGame()
    std::map<std::wstring, std::string> forms; // the listed game's other forms the primary serves, by name
};

struct KillMoment {
    const wchar_t* label; // empty: from the start of the run
    DWORD afterMs;
};

class KillTrialTest : public EndToEndTest {
protected:
    static std::string InstalledGame(const KillTrialRelease& release)
    {
        return release.oldGame.empty() ? OldGame() : release.oldGame;
    }
    static std::string ListedGame(const KillTrialRelease& release)
    {
        return release.newGame.empty() ? NewGame() : release.newGame;
    }
    void ServeRelease(const KillTrialRelease& release)
    {
        Serve(L"primary", ListedGame(release), release.package);
        if (!release.list.empty()) {
            ServeFile(L"primary/vorlance/SHA256SUMS", release.list);
        }
        SetBehaviour(L"primary/vorlance/game.exe", "{\"pace_ms\": 25}");
        SetBehaviour(L"primary/vorlance/lib.zip", "{\"pace_ms\": 25}");
        for (const auto& [name, bytes] : release.forms) {
            ServeFile(L"primary/vorlance/" + name, bytes);
            SetBehaviour(L"primary/vorlance/" + name, "{\"pace_ms\": 25}");
        }
    }
    // The installed release: its game, its libraries in "lib" and their copies beside the game.
    void InstallBefore(const KillTrialRelease& release)
    {
        WriteFileBytes(InGame(L"vorlance.exe"), InstalledGame(release));
        if (release.before.empty()) {
            return;
        }
        RemoveTree(InGame(L"lib"));
        CreateDirectoryW(InGame(L"lib").c_str(), nullptr);
        for (const auto& [path, bytes] : release.before) {
            if (path.back() == L'\\') {
                CreateDirectoryW((InGame(L"lib") + path).c_str(), nullptr);
            } else {
                WriteFileBytes(InGame(L"lib") + path, bytes);
            }
        }
        for (const wchar_t* name : {L"bass.dll", L"bass_fx.dll"}) {
            if (release.before.count(std::wstring(L"\\") + name) != 0) {
                WriteFileBytes(InGame(name), release.before.at(std::wstring(L"\\") + name));
            }
        }
    }
    void RunKillTrials(const KillTrialRelease& release, const std::vector<KillMoment>& moments);
};

// The game executable is always the old or the new build, whole, wherever a run is killed, and the library folder the
// old or the new set, whole, never a mix. A next run without mirrors leaves "lib" and the copies beside the game in
// step; one with them completes the update and leaves no staging folder.
void KillTrialTest::RunKillTrials(const KillTrialRelease& release, const std::vector<KillMoment>& moments)
{
    LayOutGameFolder();
    InstallBefore(release);
    const std::map<std::wstring, std::string> before = TreeOf(InGame(L"lib"));
    const auto ExpectOldOrNewLibraries = [&](const std::wstring& libraries, int trial) {
        const std::map<std::wstring, std::string> tree = TreeOf(libraries);
        EXPECT_TRUE(tree == before || tree == release.after) << "trial " << trial << ": a library folder half refilled";
    };
    ServeRelease(release);
    int trial = 0;
    int patched = 0;
    for (const KillMoment& moment : moments) {
        ++trial;
        LayOutGameFolder();
        InstallBefore(release);
        UpdaterRunOptions options;
        options.killAtLabel = moment.label;
        options.killAfterMs = moment.afterMs;
        const UpdaterRun killed = RunUpdater(game, options);
        EndProcessesLeftIn(game, InGame(L"launched.txt"));
        // What the kill left of the library folders: each with its files and "+" (complete) or "~" (incomplete); a
        // new game, and a form fetched for it.
        std::wstring left;
        for (const std::wstring& name : ListFolder(game)) {
            if (name.compare(0, 12, L"vorlance_new") == 0) {
                left += L" " + name;
            } else if (name.compare(0, 3, L"lib") == 0) {
                const std::wstring at = InGame(name);
                const wchar_t* mark = IsMarkedIncomplete(at) ? L"~" : IsMarkedComplete(at) ? L"+" : L"";
                left += L" " + name + L"(" + std::to_wstring(TreeOf(at).size()) + mark + L")";
            }
        }
        std::printf("trial %d: %s %lu ms after \"%s\"; last label seen \"%s\"; left%s\n", trial,
                    killed.exited ? "ended by itself" : "killed", options.killAfterMs, Utf8(moment.label).c_str(),
                    killed.labels.empty() ? "" : Utf8(killed.labels.back()).c_str(), Utf8(left).c_str());

        // The libraries are the old set or the whole new one; between the two renames of the switch the old set
        // waits whole under its other name.
        ExpectOldOrNewLibraries(PathExists(InGame(L"lib")) ? InGame(L"lib") : InGame(L"lib_old"), trial);
        const std::string installed = ReadFileBytes(InGame(L"vorlance.exe"));
        EXPECT_TRUE(installed == InstalledGame(release) || installed == ListedGame(release))
            << "trial " << trial << ": no whole game";

        // With the mirrors down the next run still leaves a game that starts: "lib" whole, and the copies beside the
        // game in step with it.
        RemoveTree(MirrorRootFolder() + L"\\primary");
        const UpdaterRun offline = RunUpdater(game);
        EXPECT_EQ(offline.errorBox, DOWNLOAD_FAILED) << "trial " << trial;
        ExpectOldOrNewLibraries(InGame(L"lib"), trial);
        EXPECT_FALSE(PathExists(InGame(L"lib_new")) || PathExists(InGame(L"lib_old"))) << "trial " << trial;
        for (const wchar_t* name : {L"bass.dll", L"bass_fx.dll"}) {
            const std::wstring source = InGame(L"lib\\") + name;
            EXPECT_TRUE(!PathExists(source) || ReadFileBytes(InGame(name)) == ReadFileBytes(source))
                << "trial " << trial << ": the copy of " << Utf8(name) << " is out of step with lib";
        }
        ServeRelease(release);

        DeleteFileW(InGame(L"launched.txt").c_str());
        const UpdaterRun next = RunUpdater(game);
        EXPECT_EQ(next.errorBox, L"") << "trial " << trial;
        EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == ListedGame(release)) << "trial " << trial;
        EXPECT_TRUE(TreeOf(InGame(L"lib")) == release.after) << "trial " << trial;
        // A delta for the installed game makes it whatever a kill left: the whole game is never fetched, and
        // nothing fetched or made for it stays beside the game.
        const std::vector<std::string> requests = RequestsFor(L"primary");
        EXPECT_TRUE(release.forms.empty() ||
                    std::count(requests.begin(), requests.end(), "GET /primary/vorlance/game.exe") == 0)
            << "trial " << trial;
        for (const std::wstring& name : ListFolder(game)) {
            EXPECT_NE(name.compare(0, 12, L"vorlance_new"), 0) << "trial " << trial << ": " << Utf8(name) << " left";
        }
        EXPECT_FALSE(PathExists(InGame(L"lib_new")) || PathExists(InGame(L"lib_old"))) << "trial " << trial;
        EXPECT_TRUE(GameWasLaunched()) << "trial " << trial;
        const std::vector<std::string> parts = RangesFor(L"primary");
        patched += std::any_of(parts.begin(), parts.end(),
                               [](const std::string& part) { return part.find("lib.zip") != std::string::npos; });
    }
    if (!release.list.empty() && release.before != release.after) {
        EXPECT_GT(patched, 0) << "no run patched the libraries";
    }
}

TEST_F(KillTrialTest, SurvivesBeingKilledAtAnyMoment)
{
    KillTrialRelease release;
    release.package =
        BuildZip({StoredEntry("bass.dll", SampleText(1500000)), DeflatedEntry("bass_fx.dll", SampleText(900000)),
                  DeflatedEntry("data/readme.txt", "package readme")});
    release.after = {{L"\\bass.dll", SampleText(1500000)},
                     {L"\\bass_fx.dll", SampleText(900000)},
                     {L"\\data\\", ""},
                     {L"\\data\\readme.txt", "package readme"}};
    // Twenty moments spread over start-up and the wait, both downloads, extraction and installation. Not inside
    // the launch: a process whose creator dies inside CreateProcessW can stay suspended for good (under Wine it
    // cannot even be terminated, and it keeps the test's output open).
    RunKillTrials(release, {
                               {L"", 0},
                               {L"", 30},
                               {L"", 60},
                               {L"", 90},
                               {L"Downloading libraries...", 0},
                               {L"Downloading libraries...", 150},
                               {L"Downloading libraries...", 400},
                               {L"Extracting libraries...", 0},
                               {L"Extracting libraries...", 5},
                               {L"Extracting libraries...", 15},
                               {L"Extracting libraries...", 30},
                               {L"Extracting libraries...", 60},
                               {L"Downloading update...", 0},
                               {L"Downloading update...", 50},
                               {L"Downloading update...", 100},
                               {L"Downloading update...", 150},
                               {L"Installing update...", 0},
                               {L"Installing update...", 1},
                               {L"Installing update...", 2},
                               {L"Installing update...", 3},
                           });
}

// Release 1 is installed and release 2 changes bass.dll and drops retired.dll, with a checksum list: the next run
// patches. Three large stored libraries make the patch cheaper than the package; the pace keeps the ranged reads of
// the end records and the changed entry long enough to be cut.
TEST_F(KillTrialTest, SurvivesBeingKilledDuringAPatch)
{
    KillTrialRelease release;
    const std::string effects = SampleText(310000);
    const std::string readme = SampleText(320000);
    release.before = {{L"\\bass.dll", "bass 1 " + SampleText(300000)},
                      {L"\\bass_fx.dll", effects},
                      {L"\\data\\", ""},
                      {L"\\data\\readme.txt", readme},
                      {L"\\retired.dll", "no longer in the package"}};
    release.after = {{L"\\bass.dll", "bass 2 " + SampleText(300000)},
                     {L"\\bass_fx.dll", effects},
                     {L"\\data\\", ""},
                     {L"\\data\\readme.txt", readme}};
    release.package = BuildZip({StoredEntry("bass.dll", release.after.at(L"\\bass.dll")),
                                StoredEntry("bass_fx.dll", effects), StoredEntry("data/readme.txt", readme)});
    release.list = ChecksumListFromPackTool(release.package, NewGame());
    RunKillTrials(release, {
                               {L"Downloading libraries...", 0},
                               {L"Downloading libraries...", 80},
                               {L"Downloading libraries...", 160},
                               {L"Extracting libraries...", 0},
                               {L"Extracting libraries...", 1},
                               {L"Extracting libraries...", 2},
                               {L"Extracting libraries...", 3},
                               {L"Extracting libraries...", 5},
                               {L"Extracting libraries...", 8},
                               {L"Downloading update...", 0},
                           });
}

// The list names a delta from the installed game, and the game is large enough that applying it takes a while: runs
// are killed while the installed game is hashed, the delta fetched or applied (the trial's line then shows the fetched
// form and vorlance_new.exe left), or the new game moved in. Five moments keep the test executable within its time.
TEST_F(KillTrialTest, SurvivesBeingKilledWhileADeltaIsApplied)
{
    KillTrialRelease release;
    const std::string padding = SampleText(16 * 1024 * 1024);
    release.oldGame = FixtureBytes() + padding + "old build";
    release.newGame = FixtureBytes() + padding + "new build";
    release.before = {{L"\\bass.dll", "bass"}};
    release.after = release.before;
    release.package = BuildZip({StoredEntry("bass.dll", "bass")});
    const uint64_t same = release.oldGame.size() - 9;
    const std::string delta = DeltaBytes(MakeTestDelta(release.oldGame, release.newGame, {{same, 9, 0}}));
    const Sha256Digest deltaDigest = Sha256Of(delta);
    const std::string name = "game.exe.from-" + FormatDigestHex(Sha256Of(release.oldGame)).substr(0, 16);
    release.forms = {{Widen(name), delta}};
    release.list =
        ChecksumListFromPackTool(release.package, release.newGame) + FormatDigestHex(deltaDigest) + "  " + name + "\n";
    RunKillTrials(release, {
                               {L"Downloading update...", 0},
                               {L"Downloading update...", 100},
                               {L"Downloading update...", 175},
                               {L"Downloading update...", 250},
                               {L"Downloading update...", 350},
                           });
}

// A build that carries release keys, against a release signed the way a studio signs it (made by the build, see
// make_signed_release.sh) and the bad answers a compromised or careless mirror may give.
class SignedReleaseTest : public EndToEndTest {
protected:
    void SetUp() override
    {
        EndToEndTest::SetUp();
        const char* made = std::getenv("VORLANCE_SIGNED_RELEASE");
        if (made == nullptr) {
            GTEST_SKIP() << "needs the signed release the build makes (VORLANCE_SIGNED_RELEASE)";
        }
        release = L"Z:" + Widen(made);
        std::replace(release.begin(), release.end(), L'/', L'\\');
        ASSERT_TRUE(CopyFileW((BinFolder() + L"VorlanceUpdaterSigned.exe").c_str(),
                              InGame(L"VorlanceUpdater.exe").c_str(), FALSE));
    }
    // A mirror with the release's files (the answer's own, when it has some) and one answer about its list.
    void Publish(const std::wstring& mirror, const std::wstring& answer)
    {
        const std::wstring files =
            PathExists(release + L"\\" + answer + L"\\game.exe") ? release + L"\\" + answer : release;
        Serve(mirror, ReadFileBytes(files + L"\\game.exe"), ReadFileBytes(files + L"\\lib.zip"));
        ServeFile(mirror + L"/vorlance/SHA256SUMS", ReadFileBytes(release + L"\\" + answer + L"\\SHA256SUMS"));
        const std::wstring signature = release + L"\\" + answer + L"\\SHA256SUMS.sig";
        if (PathExists(signature)) {
            ServeFile(mirror + L"/vorlance/SHA256SUMS.sig", ReadFileBytes(signature));
        }
    }
    void ExpectSignedReleaseInstalled(const UpdaterRun& run, const std::wstring& what)
    {
        EXPECT_EQ(run.errorBox, L"") << Utf8(what);
        EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == ReadFileBytes(release + L"\\game.exe")) << Utf8(what);
        EXPECT_EQ(ReadFileBytes(InGame(L"lib\\bass.dll")), "bass signed") << Utf8(what);
        EXPECT_TRUE(GameWasLaunched()) << Utf8(what);
    }
    std::wstring release;
};

TEST_F(SignedReleaseTest, InstallsAListSignedByEitherBuiltInKey)
{
    for (const wchar_t* key : {L"release-1", L"release-2"}) {
        LayOutGameFolder();
        ASSERT_TRUE(CopyFileW((BinFolder() + L"VorlanceUpdaterSigned.exe").c_str(),
                              InGame(L"VorlanceUpdater.exe").c_str(), FALSE));
        Publish(L"primary", key);
        ExpectSignedReleaseInstalled(RunUpdater(game), key);
    }
}

// Each bad answer is a failed attempt at the primary; the fallback's signed list is taken, and the files installed
// are the ones it lists.
TEST_F(SignedReleaseTest, RefusesEveryBadAnswerAtAMirrorAndFallsBack)
{
    Publish(L"fallback", L"release-1");
    for (const wchar_t* answer : {L"changed", L"other-key", L"no-signature", L"truncated", L"extra-bytes"}) {
        LayOutGameFolder();
        ASSERT_TRUE(CopyFileW((BinFolder() + L"VorlanceUpdaterSigned.exe").c_str(),
                              InGame(L"VorlanceUpdater.exe").c_str(), FALSE));
        RemoveTree(MirrorRootFolder() + L"\\primary");
        Publish(L"primary", answer);
        ExpectSignedReleaseInstalled(RunUpdater(game), answer);
    }
}

// Neither mirror set up for signing (the list alone, as an unsigned build takes it): nothing is fetched but the
// lists, nothing is installed, the game is not started.
TEST_F(SignedReleaseTest, InstallsNothingWhenNoMirrorHasASignedList)
{
    Publish(L"primary", L"no-signature");
    Publish(L"fallback", L"no-signature");

    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);

    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == OldGame());
    EXPECT_EQ(ListLibrary(InGame(L"lib")), std::vector<std::wstring>{L"retired.dll"});
    EXPECT_EQ(ReadFileBytes(InGame(L"bass.dll")), "bass v1");
    EXPECT_EQ(RequestsFor(L"primary"),
              (std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS", "GET /primary/vorlance/SHA256SUMS.sig"}));
}

// A run killed between the two renames of the switch, then no mirror with a signed list: the run stops before the
// library phase, and the libraries are back in "lib" all the same.
TEST_F(SignedReleaseTest, PutsBackTheLibrariesAKilledRunMovedAwayWithoutASignedList)
{
    Publish(L"primary", L"no-signature");
    ASSERT_TRUE(MoveFileExW(InGame(L"lib").c_str(), InGame(L"lib_old").c_str(), 0));
    WriteFileBytes(InGame(L"lib_old\\") + COMPLETE_MARK_NAME, "mark");

    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);

    EXPECT_EQ(ListLibrary(InGame(L"lib")), std::vector<std::wstring>{L"retired.dll"});
    EXPECT_FALSE(PathExists(InGame(L"lib_old")));
}

// After release 2 is installed, a mirror replays release 1, signed by a built-in key, files and all: its list is
// refused for its release, nothing else is fetched from it, and nothing changes.
TEST_F(SignedReleaseTest, RefusesAReplayedOlderRelease)
{
    Publish(L"primary", L"release-1");
    ExpectSignedReleaseInstalled(RunUpdater(game), L"release 2");
    RemoveTree(MirrorRootFolder() + L"\\primary");
    Publish(L"primary", L"older");
    DeleteFileW(InGame(L"launched.txt").c_str());

    ExpectStoppedWith(RunUpdater(game), DOWNLOAD_FAILED);

    EXPECT_TRUE(ReadFileBytes(InGame(L"vorlance.exe")) == ReadFileBytes(release + L"\\game.exe"));
    EXPECT_EQ(ReadFileBytes(InGame(L"lib\\bass.dll")), "bass signed");
    EXPECT_EQ(RequestsFor(L"primary"),
              (std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS", "GET /primary/vorlance/SHA256SUMS.sig"}));
}

} // namespace
