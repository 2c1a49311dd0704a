#include "update/update.h"

#include "status/status.h"
#include "tests/common/test_support.h"

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
    const std::wstring directory = GetProgramDirectory();
    EXPECT_EQ(directory, BinFolder());
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
    ReportFailure("Library extraction failed: cannot write b\xc3\xbc" "cher.dll (error 5)");
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
};

TEST_F(WaitForGameToCloseTest, ReturnsAtOnceWhenNothingRunsFromTheFolder)
{
    TimedWait(programDirectory);
    EXPECT_TRUE(TakePosted(recorder).empty());
}

TEST_F(WaitForGameToCloseTest, WaitsForAGameThatEndsAndGoesOnAtOnce)
{
    FixtureProcess game = StartFixture(Path(L"vorlance.exe"), L"--stay 2000");
    TimedWait(programDirectory);
    EXPECT_TRUE(game.WaitForExit(0)) << "the wait ended before the game did";
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{L"Waiting for the game to close..."});
    game.Stop();
}

TEST_F(WaitForGameToCloseTest, CountsProgramsInSubfoldersAndIgnoresLetterCase)
{
    CreateDirectoryW(Path(L"lib").c_str(), nullptr);
    FixtureProcess tool = StartFixture(Path(L"lib\\tool.exe"), L"--stay 1500");
    std::wstring shouted = programDirectory;
    CharUpperBuffW(&shouted[0], static_cast<DWORD>(shouted.size()));
    TimedWait(shouted);
    EXPECT_TRUE(tool.WaitForExit(0));
    EXPECT_EQ(StatusTexts(TakePosted(recorder)).size(), 1u);
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
