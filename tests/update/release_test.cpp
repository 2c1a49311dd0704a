#include "update/update.h"

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <atomic>
#include <thread>

namespace {

const wchar_t DOWNLOAD_FAILED[] = L"Failed to download the update. Your game was not changed; please try again later.";
const wchar_t DAMAGED[] = L"The downloaded update was damaged. Your game was not changed; please try again later.";

// The files of release n: a runnable game and a package, told apart by their bytes.
std::string GameOf(uint64_t release)
{
    static const std::string fixture = ReadFileBytes(BinFolder() + L"fixture_game.exe");
    return fixture + "release " + std::to_string(release);
}

std::string LibraryOf(uint64_t release)
{
    return "bass " + std::to_string(release);
}

std::string PackageOf(uint64_t release)
{
    return BuildZip({StoredEntry("bass.dll", LibraryOf(release))});
}

// A program folder with release 5 installed (its files, and its record unless a case says otherwise), before whole
// runs against mirrors that each publish one release.
class ReleaseTest : public ProgramFolderTest {
protected:
    void SetUp() override
    {
        ProgramFolderTest::SetUp();
        WriteFileBytes(Path(L"fixture_args.txt"), "--stay 0");
        LayOut(5);
    }
    void LayOut(uint64_t recorded)
    {
        RemoveTree(MirrorRootFolder() + L"\\primary");
        RemoveTree(MirrorRootFolder() + L"\\fallback");
        RemoveTree(Path(L"lib"));
        DeleteFileW(Path(L"launch.txt").c_str());
        DeleteFileW(Path(L"bass.dll").c_str());
        DeleteFileW(Path(L"vorlance_release.txt").c_str());
        WriteFileBytes(Path(L"vorlance.exe"), GameOf(5));
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\bass.dll"), LibraryOf(5));
        if (recorded != 0) {
            RecordInstalledRelease(programDirectory, recorded);
        }
    }
    // A mirror with the files of a release and their list; release 0 leaves it down.
    static void Publish(const std::wstring& mirror, uint64_t release)
    {
        if (release == 0) {
            return;
        }
        ServeFile(mirror + L"/vorlance/game.exe", GameOf(release));
        ServeFile(mirror + L"/vorlance/lib.zip", PackageOf(release));
        ServeFile(mirror + L"/vorlance/SHA256SUMS",
                  ChecksumListFromPackTool(PackageOf(release), GameOf(release), release));
    }
    // Runs the update; a failure box is clicked away and its text returned.
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

struct ReleaseCase {
    const char* what;
    uint64_t recorded; // 0: no record
    uint64_t primary;  // the release each mirror publishes; 0: down
    uint64_t fallback;
    const wchar_t* box;
    uint64_t installed; // the release in place afterwards
    bool listed = true; // false: the mirrors serve the files alone
};

const ReleaseCase RELEASE_CASES[] = {
    {"the primary lags, the fallback is down", 5, 4, 0, DOWNLOAD_FAILED, 5},
    {"the primary is down, the fallback lags", 5, 0, 4, DOWNLOAD_FAILED, 5},
    {"both lag", 5, 3, 4, DOWNLOAD_FAILED, 5},
    {"a record, and files without a list", 5, 4, 0, DOWNLOAD_FAILED, 5, false},
    {"the primary lags, the fallback is current", 5, 4, 6, L"", 6},
    {"an equal release", 5, 5, 6, L"", 5},
    {"no record: any release", 0, 4, 6, L"", 4},
};

TEST_F(ReleaseTest, NoMirrorTakesTheGameBackToAnOlderRelease)
{
    for (const ReleaseCase& c : RELEASE_CASES) {
        SCOPED_TRACE(c.what);
        LayOut(c.recorded);
        Publish(L"primary", c.primary);
        Publish(L"fallback", c.fallback);
        if (!c.listed) {
            DeleteFileW((MirrorRootFolder() + L"\\primary\\vorlance\\SHA256SUMS").c_str());
        }

        EXPECT_EQ(RunUpdateAndTakeBox(), c.box);

        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == GameOf(c.installed));
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\bass.dll")), LibraryOf(c.installed));
        EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), c.box[0] == 0 ? LibraryOf(c.installed) : "");
        EXPECT_EQ(ReadInstalledRelease(programDirectory), c.box[0] == 0 ? c.installed : c.recorded);
        EXPECT_EQ(WaitForFile(Path(L"launch.txt"), c.box[0] == 0 ? 10000 : 0), c.box[0] == 0);
        // A mirror whose list is older than the record is asked for nothing else.
        if (c.primary != 0 && (c.primary < c.recorded || !c.listed)) {
            EXPECT_EQ(RequestsFor(L"primary"), std::vector<std::string>{"GET /primary/vorlance/SHA256SUMS"});
        }
        if (c.fallback != 0 && c.fallback < c.recorded) {
            EXPECT_EQ(RequestsFor(L"fallback"), std::vector<std::string>{"GET /fallback/vorlance/SHA256SUMS"});
        }
        TakePosted(recorder);
    }
}

// With a list, the listed game never runs on other libraries: a package that no mirror serves as listed stops the
// run before the game phase, whatever the game's download would have brought.
TEST_F(ReleaseTest, TheListedGameIsNotInstalledWithoutTheListedLibraries)
{
    const struct {
        const char* what;
        std::string package; // served at both mirrors; empty: none
        const wchar_t* box;
    } cases[] = {
        {"a stale package", PackageOf(5), DAMAGED},
        {"no package", "", DOWNLOAD_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LayOut(5);
        Publish(L"primary", 6);
        Publish(L"fallback", 6);
        for (const wchar_t* mirror : {L"primary", L"fallback"}) {
            const std::wstring package = MirrorRootFolder() + L"\\" + mirror + L"\\vorlance\\lib.zip";
            DeleteFileW(package.c_str());
            if (!c.package.empty()) {
                ServeFile(std::wstring(mirror) + L"/vorlance/lib.zip", c.package);
            }
        }

        EXPECT_EQ(RunUpdateAndTakeBox(), c.box);

        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == GameOf(5));
        EXPECT_EQ(ListFolder(Path(L"lib")), std::vector<std::wstring>{L"bass.dll"});
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\bass.dll")), LibraryOf(5));
        EXPECT_EQ(ReadInstalledRelease(programDirectory), 5u);
        EXPECT_FALSE(PathExists(Path(L"launch.txt")));
        for (const std::string& request : RequestsFor(L"primary")) {
            EXPECT_EQ(request.find("game.exe"), std::string::npos) << "the game phase ran";
        }
        TakePosted(recorder);
    }
}

// A record that is missing, damaged or not of this form is no record: any list is taken.
TEST_F(ReleaseTest, ReadsOnlyAWholeRecord)
{
    const struct {
        std::string bytes;
        uint64_t release;
    } records[] = {
        {"# release 42\n", 42},
        {"# release 42\r\n", 42},
        {"# release 42", 42},
        {"# release 042\n", 0},
        {"# release 42\n\n", 0},
        {"release 42\n", 0},
        {"", 0},
        {std::string(65, '#'), 0},
        {"# release 1000000000000000000\n", 0},
    };
    for (const auto& record : records) {
        WriteFileBytes(Path(L"vorlance_release.txt"), record.bytes);
        EXPECT_EQ(ReadInstalledRelease(programDirectory), record.release) << record.bytes;
    }
    DeleteFileW(Path(L"vorlance_release.txt").c_str());
    EXPECT_EQ(ReadInstalledRelease(programDirectory), 0u);
    // Written over a read-only record, and leaving no temporary file.
    WriteFileBytes(Path(L"vorlance_release.txt"), "# release 7\n");
    SetFileAttributesW(Path(L"vorlance_release.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    RecordInstalledRelease(programDirectory, 999999999999999999ull);
    EXPECT_EQ(ReadInstalledRelease(programDirectory), 999999999999999999ull);
    EXPECT_FALSE(PathExists(Path(L"vorlance_release_new.txt")));
}

} // namespace
