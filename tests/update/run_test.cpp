#include "update/update.h"

#include "status/status.h"
#include "tests/common/test_support.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

std::wstring TrimBackslash(std::wstring path)
{
    while (path.size() > 3 && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    const std::wstring x = TrimBackslash(a);
    const std::wstring y = TrimBackslash(b);
    return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
           CSTR_EQUAL;
}

TEST(GetProgramDirectory, IsTheFolderOfTheRunningExecutableWithABackslash)
{
    // Where the build put this executable; under Wine the Linux path lies on drive Z:.
    std::wstring built = Widen(UPDATE_TESTS_FOLDER);
    std::replace(built.begin(), built.end(), L'/', L'\\');
    const std::wstring directory = GetProgramDirectory();
    EXPECT_TRUE(SamePath(directory, built[0] == L'\\' ? L"Z:" + built : built)) << Utf8(directory);
    EXPECT_EQ(directory.back(), L'\\');
}

using LaunchGameTest = ProgramFolderTest;

TEST_F(LaunchGameTest, StartsTheGameQuotedWithTheProgramDirectoryAsWorkingDirectory)
{
    // A folder name with a space shows that the path is quoted.
    const std::wstring gameFolder = Path(L"My Game") + L"\\";
    ASSERT_TRUE(CreateDirectoryW(gameFolder.c_str(), nullptr));
    CopyFixtureTo(gameFolder + L"vorlance.exe");

    LaunchGame(gameFolder, recorder);

    const std::vector<PostedMessage> posted = TakePosted(recorder);
    EXPECT_EQ(StatusTexts(posted), std::vector<std::wstring>{L"Launching..."});
    EXPECT_EQ(ProgressValues(posted), std::vector<int>{100});
    ASSERT_TRUE(WaitForFile(gameFolder + L"launch.txt", 20000));
    EXPECT_EQ(RecordValue(gameFolder + L"launch.txt", "cmdline"), L"\"" + gameFolder + L"vorlance.exe\"");
    EXPECT_TRUE(SamePath(RecordValue(gameFolder + L"launch.txt", "cwd"), gameFolder))
        << Utf8(RecordValue(gameFolder + L"launch.txt", "cwd"));
}

TEST_F(LaunchGameTest, ReportsAMissingGameAfterShowingLaunching)
{
    try {
        LaunchGame(programDirectory, recorder);
        FAIL() << "no game to start";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "Failed to launch the game");
    }
    const std::vector<PostedMessage> posted = TakePosted(recorder);
    EXPECT_EQ(StatusTexts(posted), std::vector<std::wstring>{L"Launching..."});
    EXPECT_EQ(ProgressValues(posted), std::vector<int>{100});
}

TEST(ReportFailure, ShowsTheTextInTheUpdateErrorBox)
{
    std::wstring shown;
    bool found = false;
    std::thread player([&] { found = DismissMessageBox(L"Update Error", 20000, shown); });
    ReportFailure("Library extraction failed: cannot write b\xc3\xbc"
                  "cher.dll (error 5)");
    player.join();
    ASSERT_TRUE(found);
    EXPECT_EQ(shown, L"Library extraction failed: cannot write b\u00fccher.dll (error 5)");
}

TEST(ReportFailure, ShowsNothingForAnEmptyText)
{
    // A box shown by mistake would wait for a click: a watcher clicks it away at once and records it.
    std::atomic<bool> returned{false};
    std::wstring shown;
    bool boxShown = false;
    std::thread player([&] {
        while (!returned && !boxShown) {
            boxShown = DismissMessageBox(L"Update Error", 50, shown);
        }
    });
    ReportFailure("");
    returned = true;
    player.join();
    EXPECT_FALSE(boxShown) << Utf8(shown);
}

class WaitForGameToCloseTest : public ProgramFolderTest {
protected:
    // Runs the wait and returns how long it took.
    DWORD TimedWait(const std::wstring& directory)
    {
        const DWORD start = GetTickCount();
        WaitForGameToClose(directory, recorder);
        return GetTickCount() - start;
    }
    // Waits on another thread and lets the program (started with --until-file "release") go once the wait has posted
    // its status, i.e. has seen the program run. True when the program had ended by the time the wait returned.
    bool WaitReleasingOnceWaiting(const std::wstring& directory, FixtureProcess& program)
    {
        std::atomic<bool> returned{false};
        bool programEndedFirst = false;
        std::thread waiting([&] {
            WaitForGameToClose(directory, recorder);
            programEndedFirst = program.WaitForExit(0);
            returned = true;
        });
        MSG status = {};
        while (!returned && !PeekMessageW(&status, recorder, WM_UPDATER_STATUS, WM_UPDATER_STATUS, PM_NOREMOVE)) {
            Sleep(10);
        }
        WriteFileBytes(Path(L"release"), "");
        waiting.join();
        return programEndedFirst;
    }
};

TEST_F(WaitForGameToCloseTest, PostsNothingWhenNothingRunsFromTheFolder)
{
    TimedWait(programDirectory);
    EXPECT_TRUE(TakePosted(recorder).empty());
}

TEST_F(WaitForGameToCloseTest, WaitsUntilTheGameHasEnded)
{
    FixtureProcess game = StartFixture(Path(L"vorlance.exe"), L"--until-file \"" + Path(L"release") + L"\"");
    EXPECT_TRUE(WaitReleasingOnceWaiting(programDirectory, game)) << "the wait ended before the game did";
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Waiting for the game to close..."});
    game.Stop();
}

TEST_F(WaitForGameToCloseTest, CountsProgramsInSubfoldersAndIgnoresLetterCase)
{
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    FixtureProcess tool = StartFixture(Path(L"lib\\tool.exe"), L"--until-file \"" + Path(L"release") + L"\"");
    std::wstring shouted = programDirectory;
    CharUpperBuffW(&shouted[0], static_cast<DWORD>(shouted.size()));
    EXPECT_TRUE(WaitReleasingOnceWaiting(shouted, tool));
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Waiting for the game to close..."});
    tool.Stop();
}

TEST_F(WaitForGameToCloseTest, IgnoresASiblingFolderThatOnlyBeginsAlike)
{
    const std::wstring demo = Path(L"Demo") + L"\\";
    const std::wstring demo2 = Path(L"Demo2") + L"\\";
    CreateDirectoryW(demo.c_str(), nullptr);
    CreateDirectoryW(demo2.c_str(), nullptr);
    FixtureProcess other = StartFixture(demo2 + L"vorlance.exe", L"--stay 20000");
    TimedWait(demo);
    EXPECT_TRUE(TakePosted(recorder).empty());
    other.Stop();
}

TEST_F(WaitForGameToCloseTest, GivesUpOnAGameThatStaysOpenAfterFifteenSeconds)
{
    FixtureProcess game = StartFixture(Path(L"vorlance.exe"), L"--stay 60000");
    const DWORD waited = TimedWait(programDirectory);
    EXPECT_GE(waited, 15000u);
    EXPECT_FALSE(game.WaitForExit(0)) << "gave up while the game still ran";
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Waiting for the game to close..."})
        << "the status is shown once, not once per slice";
    game.Stop();
}

} // namespace
