#include "update/self/self_update.h"

#include "tests/common/test_support.h"
#include "tests/e2e/updater_run.h"
#include "tests/mirror/mirror_client.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::wstring MadeFolder(const char* variable)
{
    const char* made = std::getenv(variable);
    std::wstring folder = made != nullptr ? L"Z:" + Widen(made) : L"";
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    return folder;
}

// A game folder with the updater the player has and an old game; the signed release on the mirrors, its list naming
// a new updater as updater.exe, which the primary serves.
class UpdaterReplacementTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        release = MadeFolder("VORLANCE_SIGNED_RELEASE");
        lists = MadeFolder("VORLANCE_UPDATER_LISTS");
        if (release.empty() || lists.empty()) {
            GTEST_SKIP() << "needs the signed release and the lists the build makes";
        }
        game = Path(L"game");
        CreateDirectoryW(game.c_str(), nullptr);
        WriteFileBytes(game + L"\\vorlance.exe", ReadFileBytes(BinFolder() + L"fixture_game.exe") + "old build");
        WriteFileBytes(game + L"\\fixture_args.txt", "--stay 0 --record launched.txt");
        for (const wchar_t* mirror : {L"primary", L"fallback", L"moved"}) {
            RemoveTree(MirrorRootFolder() + L"\\" + mirror);
        }
    }
    // The player's updater and the new one, by their names in the bin folder; the mirrors that serve the release.
    void Publish(const wchar_t* players, const wchar_t* next, std::initializer_list<const wchar_t*> mirrors)
    {
        WriteFileBytes(game + L"\\VorlanceUpdater.exe", Updater(players));
        for (const wchar_t* mirror : mirrors) {
            const std::wstring at = std::wstring(mirror) + L"/vorlance/";
            for (const wchar_t* name : {L"game.exe", L"lib.zip", L"SHA256SUMS", L"SHA256SUMS.sig"}) {
                const std::wstring from = name[0] == L'S' ? lists + L"\\" + next : release;
                ServeFile(at + name, ReadFileBytes(from + L"\\" + name));
            }
            ServeFile(at + L"updater.exe", Updater(next));
        }
    }
    static std::string Updater(const wchar_t* name) { return ReadFileBytes(BinFolder() + name + L".exe"); }
    std::string Installed() const { return ReadFileBytes(game + L"\\VorlanceUpdater.exe"); }
    bool GameUpdatedAndLaunched(const UpdaterRun& run) const
    {
        return run.exited && run.errorBox.empty() &&
               ReadFileBytes(game + L"\\vorlance.exe") == ReadFileBytes(release + L"\\game.exe") &&
               WaitForFile(game + L"\\launched.txt", 10000) && DeleteFileW((game + L"\\launched.txt").c_str());
    }
    std::vector<std::wstring> LeftBehind() const
    {
        std::vector<std::wstring> names;
        for (const std::wstring& name : ListFolder(game)) {
            if (name == UPDATER_CANDIDATE_NAME || name == UPDATER_REFUSED_NAME || name.find(L".old-") != name.npos) {
                names.push_back(name);
            }
        }
        return names;
    }
    std::wstring release;
    std::wstring lists;
    std::wstring game;
};

// The studio moved its mirror: the new updater, served by the old one, fetches only from the new one once installed.
TEST_F(UpdaterReplacementTest, InstallsAQualifiedUpdaterThatRunsFromTheNextStart)
{
    Publish(L"VorlanceUpdater", L"VorlanceUpdaterMoved", {L"primary", L"moved"});

    const UpdaterRun second = RunUpdater(game);
    EXPECT_TRUE(GameUpdatedAndLaunched(second));
    EXPECT_TRUE(Installed() == Updater(L"VorlanceUpdaterMoved"));
    EXPECT_TRUE(std::count(second.labels.begin(), second.labels.end(), L"Checking the new updater...") == 1);
    EXPECT_EQ(RequestsFor(L"moved"), std::vector<std::string>{"GET /moved/vorlance/SHA256SUMS"}) << "its qualification";

    const size_t primaryRequests = RequestsFor(L"primary").size();
    const UpdaterRun third = RunUpdater(game);
    EXPECT_TRUE(GameUpdatedAndLaunched(third));
    EXPECT_EQ(RequestsFor(L"primary").size(), primaryRequests) << "the new updater has other mirrors";
    EXPECT_EQ(RequestsFor(L"moved").size(), 2u);
    EXPECT_EQ(LeftBehind(), std::vector<std::wstring>{}) << "the previous updater's aside copy is swept";
}

// Its players would lose the signature check for good.
TEST_F(UpdaterReplacementTest, AnUpdaterWithKeysNeverGivesWayToOneWithout)
{
    Publish(L"VorlanceUpdaterSigned", L"VorlanceUpdater", {L"primary"});

    EXPECT_TRUE(GameUpdatedAndLaunched(RunUpdater(game)));
    EXPECT_TRUE(Installed() == Updater(L"VorlanceUpdaterSigned"));
    EXPECT_EQ(LeftBehind(), std::vector<std::wstring>{UPDATER_REFUSED_NAME});
}

// Killed while it fetches the new updater (paced, so that the download is still under way) or while the new updater,
// started, waits for its own list (stalled), the run leaves a whole updater under its name and no candidate running;
// the next start installs the new one, qualified again. Never while a process is being created (the candidate's start,
// the game's launch): a process whose creator dies inside CreateProcessW can stay suspended for good, and under Wine
// it cannot be ended and keeps the test's output open.
TEST_F(UpdaterReplacementTest, SurvivesBeingKilledAtAnyMoment)
{
    const struct {
        bool qualifying;
        DWORD afterMs;
    } moments[] = {{false, 0}, {false, 60}, {false, 150}, {true, 0}, {true, 100}};
    for (const auto& moment : moments) {
        SCOPED_TRACE((moment.qualifying ? "qualifying + " : "downloading + ") + std::to_string(moment.afterMs));
        Publish(L"VorlanceUpdater", L"VorlanceUpdaterMoved", {L"primary", L"moved"});
        SetBehaviour(L"primary/vorlance/updater.exe", "{\"pace_ms\": 50}");
        SetBehaviour(L"moved/vorlance/SHA256SUMS", "{\"stall_ms\": 60000}");
        const size_t asked = RequestsFor(L"moved").size();
        UpdaterRunOptions options;
        options.killAtLabel = moment.qualifying ? L"" : L"Downloading the new updater...";
        if (moment.qualifying) {
            options.killWhen = [asked]() { return RequestsFor(L"moved").size() > asked; };
        }
        options.killAfterMs = moment.afterMs;
        EXPECT_FALSE(RunUpdater(game, options).exited);
        EXPECT_TRUE(Installed() == Updater(L"VorlanceUpdater"));
        const DWORD start = GetTickCount();
        while (!ProcessesRunningFrom(game).empty() && GetTickCount() - start < 5000) {
            Sleep(50);
        }
        EXPECT_EQ(ProcessesRunningFrom(game), std::vector<DWORD>{}) << "nothing outlives the killed updater";

        SetBehaviour(L"moved/vorlance/SHA256SUMS", "{}");
        EXPECT_TRUE(GameUpdatedAndLaunched(RunUpdater(game)));
        EXPECT_TRUE(Installed() == Updater(L"VorlanceUpdaterMoved"));
        EXPECT_FALSE(PathExists(game + L"\\" + UPDATER_CANDIDATE_NAME) ||
                     PathExists(game + L"\\" + UPDATER_REFUSED_NAME));
    }
}

} // namespace
