#include "update/update.h"
#include "update/verified/verified_record.h"

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

const std::string A(200000, 'a');
const std::string C(100000, 'c');
// The record vouches only for files whose times lie a few seconds behind the launch.
const DWORD SETTLE_MS = 3500;
const int64_t SECOND = 10000000;

class VerifiedTest : public ProgramFolderTest {
protected:
    void SetUp() override
    {
        ProgramFolderTest::SetUp();
        const std::string game = ReadFileBytes(BinFolder() + L"fixture_game.exe") + "release 1";
        const std::string package =
            BuildZip({StoredEntry("bass.dll", "bass 1"), StoredEntry("a.dll", A), StoredEntry("c/c.dll", C)});
        for (const wchar_t* mirror : {L"primary", L"fallback"}) {
            RemoveTree(MirrorRootFolder() + L"\\" + mirror);
        }
        ServeFile(L"primary/vorlance/game.exe", game);
        ServeFile(L"primary/vorlance/lib.zip", package);
        ServeFile(L"primary/vorlance/SHA256SUMS", ChecksumListFromPackTool(package, game, 1));
        WriteFileBytes(Path(L"fixture_args.txt"), "--stay 0");
        WriteFileBytes(Path(L"vorlance.exe"), game);
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        CreateDirectoryW(Path(L"lib\\c").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\bass.dll"), "bass 1");
        WriteFileBytes(Path(L"lib\\a.dll"), A);
        WriteFileBytes(Path(L"lib\\c\\c.dll"), C);
        Sleep(SETTLE_MS);
        installedBytes = game.size() + 6 + A.size() + C.size();
    }
    // One launch of the updater, which must start the game without an error; true when it fetched lib.zip.
    bool Launch()
    {
        const size_t before = RequestsFor(L"primary").size();
        DeleteFileW(Path(L"launch.txt").c_str());
        std::atomic<bool> returned{false};
        std::wstring box;
        std::thread player([&] {
            while (!returned && !DismissMessageBox(L"Update Error", 50, box)) {
            }
        });
        RunUpdate(programDirectory, recorder);
        returned = true;
        player.join();
        EXPECT_EQ(box, L"");
        EXPECT_TRUE(WaitForFile(Path(L"launch.txt"), 10000));
        TakePosted(recorder);
        const std::vector<std::string> requests = RequestsFor(L"primary");
        for (size_t i = before; i < requests.size(); ++i) {
            if (requests[i] == "GET /primary/vorlance/lib.zip") {
                return true;
            }
        }
        return false;
    }
    VerifiedRecord Record()
    {
        VerifiedRecord record;
        EXPECT_TRUE(ReadVerifiedRecord(programDirectory, record));
        return record;
    }
    // Damage that the facts do not show: other bytes, and a record that says they are the ones hashed.
    void DamageSilently()
    {
        VerifiedRecord record = Record();
        WriteFileBytes(Path(L"lib\\a.dll"), std::string(A.size(), 'x'));
        for (VerifiedFile& file : record.files) {
            if (file.path == L"lib\\a.dll") {
                ASSERT_TRUE(ReadFileFacts(Path(L"lib\\a.dll"), file.facts));
            }
        }
        ASSERT_TRUE(WriteVerifiedRecord(programDirectory, record));
    }
    uint64_t installedBytes = 0;
};

TEST_F(VerifiedTest, AnUnchangedLaunchReadsNoFileAndAChangedFileIsHashedAgain)
{
    EXPECT_FALSE(Launch());
    VerifiedRecord record = Record();
    EXPECT_EQ(record.files.size(), 4u);
    EXPECT_EQ(record.hashedBytes, installedBytes);

    // A program that holds a library and lets nobody read it does not stop a launch that reads no library.
    HANDLE holder = CreateFileW(Path(L"lib\\a.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Launch());
    CloseHandle(holder);
    record = Record();
    EXPECT_EQ(record.hashedBytes, 0u);
    EXPECT_EQ(record.launchesSinceFullCheck, 1u);
    EXPECT_EQ(record.files.size(), 4u);

    // Bytes changed in place, the size kept and the last-write time set back: the change time tells.
    FileFacts before;
    ASSERT_TRUE(ReadFileFacts(Path(L"lib\\a.dll"), before));
    FILETIME written = {};
    HANDLE file =
        CreateFileW(Path(L"lib\\a.dll").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    GetFileTime(file, nullptr, nullptr, &written);
    DWORD count = 0;
    WriteFile(file, "x", 1, &count, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    FileFacts after;
    ASSERT_TRUE(ReadFileFacts(Path(L"lib\\a.dll"), after));
    EXPECT_EQ(after.lastWriteTime, before.lastWriteTime);
    if (after.changeTime == before.changeTime) {
        std::printf("[   NOTE   ] this file system kept the change time through a write: a full check finds it\n");
        record.launchesSinceFullCheck = FULL_CHECK_EVERY_LAUNCHES - 1;
        ASSERT_TRUE(WriteVerifiedRecord(programDirectory, record));
    }
    EXPECT_TRUE(Launch());
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\a.dll")) == A);

    // A deleted file, and one replaced by another file of the same size and times (a new ID).
    DeleteFileW(Path(L"lib\\c\\c.dll").c_str());
    WriteFileBytes(Path(L"other.dll"), std::string(A.size(), 'y'));
    file = CreateFileW(Path(L"other.dll").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    ASSERT_TRUE(MoveFileExW(Path(L"other.dll").c_str(), Path(L"lib\\a.dll").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(Launch());
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\a.dll")) == A);
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\c\\c.dll")) == C);
}

TEST_F(VerifiedTest, OnlyAFullCheckFindsDamageThatLeavesTheFactsAlone)
{
    EXPECT_FALSE(Launch());
    DamageSilently();
    EXPECT_FALSE(Launch());
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\a.dll")) == std::string(A.size(), 'x'));

    VerifiedRecord record = Record();
    EXPECT_EQ(record.launchesSinceFullCheck, 1u);
    record.launchesSinceFullCheck = FULL_CHECK_EVERY_LAUNCHES - 1;
    ASSERT_TRUE(WriteVerifiedRecord(programDirectory, record));
    EXPECT_TRUE(Launch());
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\a.dll")) == A);
    EXPECT_EQ(Record().launchesSinceFullCheck, 0u);
    EXPECT_EQ(Record().hashedBytes, installedBytes);
}

TEST(VerifiedSchedule, AFullCheckComesEvery20thLaunchAWeekLaterOrWhenTheClockWentBack)
{
    const int64_t checked = 134000000000000000;
    const struct {
        uint64_t launches;
        int64_t later; // seconds since the last full check
        bool due;
    } cases[] = {{0, 60, false},
                 {18, 60, false},
                 {19, 60, true},
                 {0, FULL_CHECK_AFTER_SECONDS - 1, false},
                 {0, FULL_CHECK_AFTER_SECONDS, true},
                 {5, -1, true}};
    for (const auto& c : cases) {
        VerifiedRecord record;
        record.launchesSinceFullCheck = c.launches;
        record.fullCheckTime = checked;
        EXPECT_EQ(IsFullCheckDue(record, checked + c.later * SECOND), c.due) << c.launches << " " << c.later;
    }
}

using VerifiedRecordTest = TempFolderTest;

TEST_F(VerifiedRecordTest, RoundTripsAndAKilledWriteLeavesTheOldOrTheNewRecord)
{
    const std::wstring directory = folder + L"\\";
    VerifiedRecord old;
    old.launchesSinceFullCheck = 7;
    old.fullCheckTime = 134000000000000000;
    old.hashedBytes = 12345;
    VerifiedFile file;
    file.path = L"lib\\b\u00fccher dir\\a b.dll";
    file.facts = {314, 133000000000000001, 133000000000000002, 0x5a000000, {1, 2, 3, 255}};
    file.digest.fill(0xAB);
    old.files = {file, file};
    old.files[1].path = L"vorlance.exe";
    ASSERT_TRUE(WriteVerifiedRecord(directory, old));
    VerifiedRecord read;
    ASSERT_TRUE(ReadVerifiedRecord(directory, read));
    EXPECT_EQ(read.launchesSinceFullCheck, 7u);
    EXPECT_EQ(read.fullCheckTime, old.fullCheckTime);
    EXPECT_EQ(read.hashedBytes, 12345u);
    ASSERT_EQ(read.files.size(), 2u);
    EXPECT_EQ(read.files[0].path, file.path);
    EXPECT_TRUE(SameFileFacts(read.files[0].facts, file.facts));
    EXPECT_TRUE(read.files[0].digest == file.digest);
    EXPECT_EQ(read.files[1].path, L"vorlance.exe");

    // A writer killed before its rename leaves a part under the temporary name, which nobody reads.
    const std::string text = ReadFileBytes(Path(L"vorlance_verified.txt"));
    WriteFileBytes(Path(L"vorlance_verified_new.txt"), text.substr(0, text.size() / 2));
    ASSERT_TRUE(ReadVerifiedRecord(directory, read));
    EXPECT_EQ(read.files.size(), 2u);
    old.files.pop_back();
    ASSERT_TRUE(WriteVerifiedRecord(directory, old));
    ASSERT_TRUE(ReadVerifiedRecord(directory, read));
    EXPECT_EQ(read.files.size(), 1u);
    EXPECT_FALSE(PathExists(Path(L"vorlance_verified_new.txt")));
    // A record cut short by anything else vouches for nothing.
    WriteFileBytes(Path(L"vorlance_verified.txt"), text.substr(0, text.size() - 3));
    EXPECT_FALSE(ReadVerifiedRecord(directory, read));
}

} // namespace
