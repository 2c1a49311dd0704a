#include "update/update.h"

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <atomic>
#include <thread>

namespace {

const wchar_t DOWNLOAD_FAILED[] = L"Failed to download the update. Your game was not changed; please try again later.";
const wchar_t DAMAGED[] = L"The downloaded update was damaged. Your game was not changed; please try again later.";

// Release n: a runnable game and a one-library package, told apart by their bytes.
std::string GameOf(uint64_t n)
{
    return ReadFileBytes(BinFolder() + L"fixture_game.exe") + "release " + std::to_string(n);
}
std::string PackageOf(uint64_t n)
{
    return BuildZip({StoredEntry("bass.dll", "bass " + std::to_string(n))});
}

const char GARBAGE[] = "\x01\xff garbage";
// Release 7 as an editor may save it.
const char EDITED[] = "\xef\xbb\xbf# release 7 \r\n\n";

struct ReleaseCase {
    const char* what;
    uint64_t recorded; // 0: no record
    uint64_t primary;  // the release each mirror publishes; 0: down
    uint64_t fallback;
    const wchar_t* withheld; // a file no mirror serves
    uint64_t packageOf;      // the release of the package served; 0: the mirror's
    const wchar_t* box;
    uint64_t installed;           // the release in place afterwards
    uint64_t recordedAfter;       // the release the record holds afterwards
    const char* record = nullptr; // the record's bytes; null: as recorded
    const char* copy = nullptr;   // the copy's bytes; null: as recorded, "": none
    bool held = false;            // the record is held open, sharing nothing, during the run
};

const ReleaseCase RELEASE_CASES[] = {
    {"the primary lags, the fallback is down", 5, 4, 0, nullptr, 0, DOWNLOAD_FAILED, 5, 5},
    {"the primary is down, the fallback lags", 5, 0, 4, nullptr, 0, DOWNLOAD_FAILED, 5, 5},
    {"a record, and files without a list", 5, 4, 0, L"SHA256SUMS", 0, DOWNLOAD_FAILED, 5, 5},
    {"the primary lags, the fallback is current", 5, 4, 6, nullptr, 0, L"", 6, 6},
    {"an equal release", 5, 5, 6, nullptr, 0, L"", 5, 5},
    {"no record: any release", 0, 4, 6, nullptr, 0, L"", 4, 4},
    {"a stale package with the listed game", 5, 6, 6, nullptr, 5, DAMAGED, 5, 5},
    {"no package with the listed game", 5, 6, 6, L"lib.zip", 0, DOWNLOAD_FAILED, 5, 5},
    {"the record ahead of every mirror", 7, 5, 6, nullptr, 0, L"", 5, 7},
    {"a record saved with a BOM and blanks, no copy", 7, 4, 6, nullptr, 0, L"", 5, 7, EDITED, ""},
    {"garbage in the record, the copy intact", 7, 4, 6, nullptr, 0, L"", 5, 7, GARBAGE},
    {"garbage in every copy: the newest list", 7, 4, 6, nullptr, 0, L"", 6, 6, GARBAGE, GARBAGE},
    {"a held record", 7, 4, 6, nullptr, 0, L"", 5, 7, nullptr, nullptr, true},
};

using ReleaseTest = ProgramFolderTest;

// A program folder with release 5 in place and a record as written, edited, damaged or held, against mirrors that each
// publish one release.
TEST_F(ReleaseTest, NoMirrorTakesTheGameBackAndTheListedGameWaitsForItsLibraries)
{
    WriteFileBytes(Path(L"fixture_args.txt"), "--stay 0");
    for (const ReleaseCase& c : RELEASE_CASES) {
        SCOPED_TRACE(c.what);
        for (const wchar_t* name :
             {L"launch.txt", L"bass.dll", L"vorlance_release.txt", L"vorlance_release_copy.txt", L"lib\\bass.dll"}) {
            DeleteFileW(Path(name).c_str());
        }
        WriteFileBytes(Path(L"vorlance.exe"), GameOf(5));
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\bass.dll"), "bass 5");
        if (c.recorded != 0) {
            RecordInstalledRelease(programDirectory, c.recorded);
        }
        for (const auto& [name, bytes] : {std::make_pair(L"vorlance_release.txt", c.record),
                                          std::make_pair(L"vorlance_release_copy.txt", c.copy)}) {
            if (bytes != nullptr) {
                DeleteFileW(Path(name).c_str());
                if (bytes[0] != 0) {
                    WriteFileBytes(Path(name), bytes);
                }
            }
        }
        for (const auto& [mirror, n] :
             {std::make_pair(L"primary", c.primary), std::make_pair(L"fallback", c.fallback)}) {
            RemoveTree(MirrorRootFolder() + L"\\" + mirror);
            const std::wstring base = std::wstring(mirror) + L"/vorlance/";
            if (n != 0) {
                ServeFile(base + L"game.exe", GameOf(n));
                ServeFile(base + L"lib.zip", PackageOf(c.packageOf != 0 ? c.packageOf : n));
                ServeFile(base + L"SHA256SUMS", ChecksumListFromPackTool(PackageOf(n), GameOf(n), n));
                if (c.withheld != nullptr) {
                    DeleteFileW((MirrorRootFolder() + L"\\" + mirror + L"\\vorlance\\" + c.withheld).c_str());
                }
            }
        }

        const HANDLE holder = c.held ? CreateFileW(Path(L"vorlance_release.txt").c_str(), GENERIC_READ, 0, nullptr,
                                                   OPEN_EXISTING, 0, nullptr)
                                     : INVALID_HANDLE_VALUE;
        ASSERT_EQ(c.held, holder != INVALID_HANDLE_VALUE);
        std::atomic<bool> returned{false};
        std::wstring box;
        std::thread player([&] {
            while (!returned && !DismissMessageBox(L"Update Error", 50, box)) {
            }
        });
        RunUpdate(programDirectory, recorder);
        returned = true;
        if (holder != INVALID_HANDLE_VALUE) {
            CloseHandle(holder);
        }
        player.join();

        const bool done = c.box[0] == 0;
        EXPECT_EQ(box, c.box);
        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == GameOf(c.installed));
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\bass.dll")), "bass " + std::to_string(c.installed));
        // The copy beside the game follows "lib" on every run, also one that stops.
        EXPECT_EQ(ReadFileBytes(Path(L"bass.dll")), "bass " + std::to_string(c.installed));
        const ReleaseRecord record = ReadInstalledRelease(programDirectory);
        EXPECT_TRUE(record.state == RecordState::RELEASE && record.release == c.recordedAfter) << record.release;
        if (c.recordedAfter != c.recorded) {
            EXPECT_EQ(ReadFileBytes(Path(L"vorlance_release_copy.txt")),
                      "# release " + std::to_string(c.recordedAfter) + "\n");
        }
        EXPECT_EQ(WaitForFile(Path(L"launch.txt"), done ? 10000 : 0), done);
        // Nothing but the list is fetched from a mirror whose list is older than the record, or missing; nothing at
        // all while the record is held.
        for (const auto& [mirror, n] :
             {std::make_pair(L"primary", c.primary), std::make_pair(L"fallback", c.fallback)}) {
            if (n != 0 && n < c.recordedAfter) {
                const std::string list = "GET /" + Utf8(mirror) + "/vorlance/SHA256SUMS";
                EXPECT_EQ(RequestsFor(mirror), c.held ? std::vector<std::string>{} : std::vector<std::string>{list});
            }
        }
        TakePosted(recorder);
    }
}

} // namespace
