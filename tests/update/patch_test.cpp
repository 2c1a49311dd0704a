#include "update/update.h"

#include "update/library_switch.h"

#include "archive/archive.h"
#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

// Release 1 is installed; release 2 changes "b.dll", drops "old.dll" and adds the empty folder "empty". Three large
// libraries keep the package well above what a request costs, so that a patch pays.
std::string PackageWith(const std::string& b, bool extra = false)
{
    std::vector<ZipTestEntry> entries = {StoredEntry("a.dll", std::string(300000, 'a')), StoredEntry("b.dll", b),
                                         StoredEntry("c/c.dll", std::string(300000, 'c')),
                                         StoredEntry("d.dll", std::string(300000, 'd')), StoredEntry("empty/", "")};
    if (extra) {
        entries.push_back(StoredEntry("e.dll", "not listed"));
    }
    return BuildZip(entries);
}

// A game the package tool takes for one: "MZ" and more than 100000 bytes.
const std::string GAME = "MZ" + std::string(100000, 'x');

struct PatchCase {
    const char* what;
    std::string primary; // the package each mirror serves; empty: none
    const char* primaryRule;
    std::string fallback;
    bool unlistedEntry;     // the list leaves out the package's "e.dll"
    const wchar_t* patched; // the mirror that answers with parts only; null: the package comes whole
};

class PatchTest : public ProgramFolderTest {
protected:
    void InstallRelease1()
    {
        RemoveTree(Path(L"lib"));
        for (const wchar_t* name : {L"lib", L"lib\\c"}) {
            CreateDirectoryW(Path(name).c_str(), nullptr);
        }
        WriteFileBytes(Path(L"lib\\a.dll"), std::string(300000, 'a'));
        WriteFileBytes(Path(L"lib\\b.dll"), "b 1");
        WriteFileBytes(Path(L"lib\\c\\c.dll"), std::string(300000, 'c'));
        WriteFileBytes(Path(L"lib\\d.dll"), std::string(300000, 'd'));
        WriteFileBytes(Path(L"lib\\old.dll"), "gone in release 2");
    }
    static ChecksumList Release2List()
    {
        ChecksumList list;
        EXPECT_TRUE(ParseChecksumList(ChecksumListFromPackTool(PackageWith("b 2"), GAME, 2), list));
        return list;
    }
    // Runs the library phase and returns its failure text, or "" when it returned normally.
    std::string FailureOf(const std::wstring& directory, const ChecksumList* list)
    {
        try {
            InstallLibraryPackage(directory, recorder, list);
        } catch (const std::runtime_error& failure) {
            return failure.what();
        }
        return std::string();
    }
    static void Serve(const wchar_t* mirror, const std::string& package, const char* rule)
    {
        RemoveTree(MirrorRootFolder() + L"\\" + mirror);
        const std::wstring base = std::wstring(mirror) + L"/vorlance/";
        if (!package.empty()) {
            ServeFile(base + L"lib.zip", package);
            ServeFile(base + L"release2.zip", PackageWith("b 2"));
        }
        if (rule != nullptr) {
            SetBehaviour(base + L"lib.zip", rule);
        }
    }
};

TEST_F(PatchTest, FetchesOnlyTheChangedEntriesAndNeverSplicesTwoFiles)
{
    const std::string release2 = PackageWith("b 2");
    const std::string tampered = PackageWith("b X");
    const std::string withExtra = PackageWith("b 2", true);
    const PatchCase cases[] = {
        {"one file changed", release2, nullptr, "", false, L"primary"},
        {"a mirror without ranges", release2, "{\"ignore_ranges\": true}", "", false, nullptr},
        {"a tampered entry at the primary", tampered, nullptr, release2, false, L"fallback"},
        {"a directory that names an unlisted file", withExtra, nullptr, "", true, nullptr},
        {"a cut in the end records, continued", release2, "{\"cut_after\": 900000, \"first_only\": true}", "", false,
         L"primary"},
        {"the package replaced between two requests", PackageWith("b 1"), "{\"replace_with\": \"release2.zip\"}", "",
         false, nullptr},
    };
    for (const PatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        InstallRelease1();
        // Kept by a hard link, a read-only library stays read-only when the previous libraries go.
        SetFileAttributesW(Path(L"lib\\a.dll").c_str(), FILE_ATTRIBUTE_READONLY);
        Serve(L"primary", c.primary, c.primaryRule);
        Serve(L"fallback", c.fallback, nullptr);
        std::string listText = ChecksumListFromPackTool(c.unlistedEntry ? withExtra : release2, GAME, 2);
        if (c.unlistedEntry) {
            const size_t end = listText.find("  lib/e.dll\n") + 12;
            const size_t start = listText.rfind('\n', end - 13) + 1;
            listText.erase(start, end - start);
        }
        ChecksumList list;
        ASSERT_TRUE(ParseChecksumList(listText, list));

        try {
            InstallLibraryPackage(programDirectory, recorder, &list);
        } catch (const std::runtime_error& failure) {
            ADD_FAILURE() << failure.what();
        }

        std::vector<std::wstring> files = {L"a.dll", L"b.dll", L"c", L"d.dll", L"empty"};
        if (c.unlistedEntry) {
            files.insert(files.begin() + 4, L"e.dll");
        }
        std::vector<std::wstring> installed = ListFolder(Path(L"lib"));
        installed.erase(std::remove_if(installed.begin(), installed.end(), IsLibraryMarkName), installed.end());
        EXPECT_EQ(installed, files);
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\b.dll")), "b 2");
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\c\\c.dll")), std::string(300000, 'c'));
        EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"lib"}));
        // A patch asks for the end records and then for little more than the one changed entry.
        for (const wchar_t* mirror : {L"primary", L"fallback"}) {
            uint64_t bytes = 0;
            for (const std::string& range : RangesFor(mirror)) {
                const size_t dash = range.find('-');
                bytes += std::stoull(range.substr(dash + 1)) - std::stoull(range.substr(0, dash)) + 1;
            }
            const bool patched = c.patched != nullptr && c.patched == std::wstring(mirror);
            if (patched) {
                EXPECT_LT(bytes, PACKAGE_TAIL_BYTES + 4096) << Utf8(mirror);
                EXPECT_NE(AttributesOf(Path(L"lib\\a.dll")) & FILE_ATTRIBUTE_READONLY, 0u);
                const std::vector<std::string> requests = RequestsFor(mirror);
                EXPECT_EQ(RangesFor(mirror).size(),
                          std::count_if(requests.begin(), requests.end(),
                                        [](const std::string& r) { return r.find("lib.zip") != std::string::npos; }))
                    << "every answer a part at " << Utf8(mirror);
            }
        }
        TakePosted(recorder);
    }
}

// When lib cannot be moved (a scanner holds the folder), the patch works where lib stands: all of the release, empty
// folder included, or, when a file to replace or drop stays held without delete sharing, nothing of it and the reason
// named. a.dll is damaged and so fetched too: it has been set aside when held b.dll is met.
TEST_F(PatchTest, PatchesAHeldLibraryFolderWholeOrNotAtAll)
{
    const struct {
        const wchar_t* held;
        std::string failure;
    } cases[] = {{nullptr, ""},
                 {L"b.dll", "Library extraction failed: cannot replace b.dll"},
                 {L"old.dll", "Library extraction failed: cannot remove old.dll"}};
    const ChecksumList list = Release2List();
    for (const auto& c : cases) {
        const std::string what = c.held != nullptr ? Utf8(c.held) + " held" : "nothing held";
        InstallRelease1();
        WriteFileBytes(Path(L"lib\\a.dll"), "damaged");
        Serve(L"primary", PackageWith("b 2"), nullptr);
        Serve(L"fallback", "", nullptr);
        const HANDLE folderHeld = CreateFileW(Path(L"lib").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(folderHeld, INVALID_HANDLE_VALUE);
        if (MoveFileExW(Path(L"lib").c_str(), Path(L"probe").c_str(), 0)) {
            MoveFileExW(Path(L"probe").c_str(), Path(L"lib").c_str(), 0);
            CloseHandle(folderHeld);
            GTEST_SKIP() << "this system renames a folder that is held without delete sharing";
        }
        const HANDLE fileHeld = c.held == nullptr ? INVALID_HANDLE_VALUE
                                                  : CreateFileW((Path(L"lib\\") + c.held).c_str(), GENERIC_READ,
                                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);

        EXPECT_EQ(FailureOf(programDirectory, &list), c.failure) << what;
        CloseHandle(fileHeld);
        CloseHandle(folderHeld);

        std::vector<std::wstring> installed = ListFolder(Path(L"lib"));
        installed.erase(std::remove_if(installed.begin(), installed.end(), IsLibraryMarkName), installed.end());
        if (c.failure.empty()) {
            EXPECT_EQ(installed, (std::vector<std::wstring>{L"a.dll", L"b.dll", L"c", L"d.dll", L"empty"})) << what;
            EXPECT_TRUE(ReadFileBytes(Path(L"lib\\a.dll")) == std::string(300000, 'a') &&
                        ReadFileBytes(Path(L"lib\\b.dll")) == "b 2" && IsLibraryWhole(Path(L"lib")) &&
                        !IsMarkedComplete(Path(L"lib")))
                << what;
        } else {
            EXPECT_EQ(installed, (std::vector<std::wstring>{L"a.dll", L"b.dll", L"c", L"d.dll", L"old.dll"})) << what;
            EXPECT_TRUE(
                ReadFileBytes(Path(L"lib\\a.dll")) == "damaged" && ReadFileBytes(Path(L"lib\\b.dll")) == "b 1" &&
                ReadFileBytes(Path(L"lib\\old.dll")) == "gone in release 2" && !IsMarkedIncomplete(Path(L"lib")))
                << what << ": lib as it was";
        }
        EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"lib"})) << what;
        TakePosted(recorder);
    }
}

// A patch that fails for any cause falls back to the whole package, never to a failure box. Here a kept library
// disappears after it was hashed (so that neither a link nor a copy can keep it) while the mirror sends its parts
// slowly.
TEST_F(PatchTest, AKeptFileThatCannotBeKeptFallsBackToTheWholePackage)
{
    InstallRelease1();
    Serve(L"primary", PackageWith("b 2"), "{\"pace_ms\": 150}");
    Serve(L"fallback", "", nullptr);
    const ChecksumList list = Release2List();
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done && !PathExists(Path(L"lib_new"))) {
            Sleep(1);
        }
        DeleteFileW(Path(L"lib\\d.dll").c_str());
    });
    const std::string failure = FailureOf(programDirectory, &list);
    done = true;
    watcher.join();

    EXPECT_EQ(failure, "");
    const std::vector<std::string> requests = RequestsFor(L"primary");
    const size_t whole = std::count_if(requests.begin(), requests.end(),
                                       [](const std::string& r) { return r.find("lib.zip") != std::string::npos; }) -
                         RangesFor(L"primary").size();
    if (whole == 0) {
        GTEST_SKIP() << "d.dll was kept before the test removed it";
    }
    EXPECT_TRUE(ReadFileBytes(Path(L"lib\\d.dll")) == std::string(300000, 'd'));
    EXPECT_EQ(ReadFileBytes(Path(L"lib\\b.dll")), "b 2");
    EXPECT_TRUE(IsLibraryWhole(Path(L"lib")) && !IsMarkedComplete(Path(L"lib"))) << "a whole lib holds no mark";
    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"lib"}));
}

// A listed game never runs on other libraries: a game folder that refuses the staging folder stops the run with the
// cause, in the game's phase's words, before that phase installs the listed game. Without a list the run goes on.
TEST_F(PatchTest, AListedReleaseStopsWhereTheGameFolderRefusesWrites)
{
    // Wine has no call that takes a folder's write permission away; Linux's /sys refuses every new name, to root too.
    const std::wstring refusing = L"Z:\\sys\\";
    if (!IsRunningUnderWine()) {
        GTEST_SKIP() << "needs a folder that refuses new names to this user";
    }
    if (CreateDirectoryW((refusing + L"vorlance-probe").c_str(), nullptr)) {
        RemoveDirectoryW((refusing + L"vorlance-probe").c_str());
        GTEST_SKIP() << "/sys takes new names here";
    }
    const DWORD refusal = GetLastError();
    const ChecksumList list = Release2List();

    EXPECT_EQ(FailureOf(refusing, &list), "The update could not be saved because the game folder cannot be written to "
                                          "(error " +
                                              std::to_string(refusal) +
                                              "). Your game was not changed; run the updater as the user who "
                                              "installed the game, or move the game to a folder you can write to.");
    EXPECT_EQ(FailureOf(refusing, nullptr), "");
}

} // namespace
