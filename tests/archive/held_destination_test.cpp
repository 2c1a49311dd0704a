#include "tests/archive/extract_test_support.h"

#include "status/status.h"

#include <atomic>
#include <thread>

namespace {

const char HELD_TOO_LONG[] = "cannot write bass.dll - another program still has this file open. Close the game "
                             "completely (or restart Windows) and run the updater again.";

// A running game holds its library the way the fixture is told to.
class HeldDestinationTest : public ExtractZipTest {
protected:
    void SetUp() override
    {
        ExtractZipTest::SetUp();
        WriteFileBytes(Target(L"bass.dll"), "old");
        WriteArchive({StoredEntry("first.txt", "1"), StoredEntry("bass.dll", "new")});
    }
    void TearDown() override
    {
        game.Stop();
        ExtractZipTest::TearDown();
    }
    // Holds bass.dll until releaseFile exists; a name nothing writes keeps it held until the test ends.
    void Hold(const std::wstring& share, const std::wstring& releaseFile)
    {
        game = StartFixture(Path(L"game.exe"), L"--hold \"" + Target(L"bass.dll") + L"\" --share " + share +
                                                   L" --until-file \"" + releaseFile + L"\"");
    }
    FixtureProcess game;
};

TEST_F(HeldDestinationTest, GivesUpWhenTheFileStaysHeldThroughEveryAttempt)
{
    Hold(L"none", Path(L"never"));
    EXPECT_EQ(Extract(), HELD_TOO_LONG);
    EXPECT_FALSE(game.WaitForExit(0)) << "gave up while the holder still ran";
    // A holder that shares nothing cannot be renamed either: both tries to move it aside left it where it was.
    game.Stop();
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "old"}, {L"first.txt", "1"}}));
}

TEST_F(HeldDestinationTest, WritesTheFileOnceItsHolderLetsGo)
{
    // The holder lets go once the entry before bass.dll is reported done, the moment extraction turns to bass.dll.
    // Written only after the holder has gone: a file held without sharing cannot be opened or moved.
    Hold(L"none", Path(L"release"));
    const HWND recorder = CreateRecorderWindow();
    std::atomic<bool> returned{false};
    std::string message;
    std::thread extraction([&] {
        message = Extract(recorder);
        returned = true;
    });
    MSG done = {};
    while (!returned && !PeekMessageW(&done, recorder, WM_UPDATER_PROGRESS, WM_UPDATER_PROGRESS, PM_NOREMOVE)) {
        Sleep(1);
    }
    WriteFileBytes(Path(L"release"), "");
    extraction.join();
    DestroyWindow(recorder);
    EXPECT_EQ(message, "");
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "new"}, {L"first.txt", "1"}}));
}

TEST_F(HeldDestinationTest, MovesALoadedLibraryAsideOnlyAfterThreeFailedAttempts)
{
    Hold(L"read-delete", Path(L"never"));
    const DWORD start = GetTickCount();
    EXPECT_EQ(Extract(), "");
    EXPECT_GE(GetTickCount() - start, 400u) << "three failed attempts, each followed by a 150 ms pause";
    EXPECT_EQ(ReadFileBytes(Target(L"bass.dll")), "new");
    EXPECT_FALSE(game.WaitForExit(0)) << "replaced under the running game, not after it ended";
    // The moved copy was marked for deletion and goes with its last holder.
    game.Stop();
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "new"}, {L"first.txt", "1"}}));
}

TEST_F(HeldDestinationTest, ReplacesAReadOnlyFile)
{
    if (!ReadOnlyIsEnforced()) {
        GTEST_SKIP() << "the read-only attribute is not enforced for this user";
    }
    SetFileAttributesW(Target(L"bass.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Extract(), "");
    // Overwritten in place, not moved aside.
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "new"}, {L"first.txt", "1"}}));
    EXPECT_EQ(AttributesOf(Target(L"bass.dll")) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(HeldDestinationTest, StopsAtOnceWhenWaitingCannotHelp)
{
    // "bass.dll" is a file, so nothing can be created below it.
    WriteArchive({StoredEntry("first.txt", "1"), StoredEntry("bass.dll/x.dll", "new")});
    EXPECT_EQ(Extract(), "cannot write bass.dll\\x.dll (error 3)");
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "old"}, {L"first.txt", "1"}}));
}

} // namespace
