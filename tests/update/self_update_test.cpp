#include "update/self/self_update.h"
#include "update/update.h"

#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <algorithm>
#include <cstdlib>

namespace {

const char PLAYERS_UPDATER[] = "the updater the player has";

// A file of the signed release's list naming a program of the bin folder as updater.exe (made by
// tests/e2e/make_updater_lists.sh); empty without it.
std::string UpdaterListFile(const std::wstring& program, const std::wstring& file)
{
    const char* made = std::getenv("VORLANCE_UPDATER_LISTS");
    std::wstring path = made != nullptr ? L"Z:" + Widen(made) + L"/" + program + L"/" + file : L"";
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return ReadFileBytes(path);
}

long UpdaterFetches()
{
    const std::vector<std::string> requests = RequestsFor(L"primary");
    return std::count_if(requests.begin(), requests.end(),
                         [](const std::string& request) { return request.find("updater.exe") != std::string::npos; });
}

// A candidate the primary serves as updater.exe, listed there; how the primary answers the candidate's own list fetch
// (empty: as it is), the limit it is given, and whether it takes over.
struct CandidateCase {
    const wchar_t* program;
    const char* listBehaviour;
    DWORD limitMs;
    bool installed;
};

class UpdaterCandidate : public ProgramFolderTest, public ::testing::WithParamInterface<CandidateCase> {};

// Each refused candidate is deleted, remembered and not fetched again by the next start; the one that qualifies takes
// the updater's name, and the next start finds the updater current.
TEST_P(UpdaterCandidate, TakesOverOnlyWhenItQualifies)
{
    const CandidateCase& candidate = GetParam();
    const std::string text = UpdaterListFile(candidate.program, L"SHA256SUMS");
    if (text.empty()) {
        GTEST_SKIP() << "needs the lists the build makes (VORLANCE_UPDATER_LISTS)";
    }
    RemoveTree(MirrorRootFolder() + L"\\primary");
    ServeFile(L"primary/vorlance/SHA256SUMS", text);
    ServeFile(L"primary/vorlance/SHA256SUMS.sig", UpdaterListFile(candidate.program, L"SHA256SUMS.sig"));
    const std::string bytes = ReadFileBytes(BinFolder() + candidate.program + L".exe");
    ServeFile(L"primary/vorlance/updater.exe", bytes);
    if (*candidate.listBehaviour != '\0') {
        SetBehaviour(L"primary/vorlance/SHA256SUMS", candidate.listBehaviour);
    }
    ChecksumList list;
    ASSERT_TRUE(ParseChecksumList(text, list));
    const std::wstring running = Path(L"VorlanceUpdater.exe");
    WriteFileBytes(running, PLAYERS_UPDATER);

    for (int start = 1; start <= 2; ++start) {
        UpdateUpdater(programDirectory, recorder, list, running, candidate.limitMs);
        EXPECT_TRUE(ReadFileBytes(running) == (candidate.installed ? bytes : PLAYERS_UPDATER)) << start;
        EXPECT_FALSE(PathExists(Path(UPDATER_CANDIDATE_NAME))) << start;
        EXPECT_EQ(ReadFileBytes(Path(UPDATER_REFUSED_NAME)),
                  candidate.installed ? "" : FormatDigestHex(*FindListedFile(list, "updater.exe")) + "\n");
        EXPECT_EQ(UpdaterFetches(), 1) << start;
        EXPECT_EQ(ProcessesRunningFrom(folder), std::vector<DWORD>{}) << "the candidate has ended";
    }
}

INSTANTIATE_TEST_SUITE_P(Candidates, UpdaterCandidate,
                         ::testing::Values(CandidateCase{L"VorlanceUpdaterSigned", "", QUALIFY_LIMIT_MS, true},
                                           CandidateCase{L"VorlanceUpdaterUnreachable", "", QUALIFY_LIMIT_MS, false},
                                           CandidateCase{L"VorlanceUpdaterOtherKey", "", QUALIFY_LIMIT_MS, false},
                                           // A program that is no updater exits at once, with 0.
                                           CandidateCase{L"fixture_game", "", QUALIFY_LIMIT_MS, false},
                                           // Its list fetch never ends, so it never answers.
                                           CandidateCase{L"VorlanceUpdater", "{\"stall_ms\": 60000}", 3000, false}));

TEST_F(ProgramFolderTest, AListWithoutAnUpdaterChangesNothingAndForgetsRefusals)
{
    std::string text = UpdaterListFile(L"VorlanceUpdater", L"SHA256SUMS");
    if (text.empty()) {
        GTEST_SKIP() << "needs the lists the build makes (VORLANCE_UPDATER_LISTS)";
    }
    text.erase(text.rfind('\n', text.size() - 2) + 1);
    ChecksumList list;
    ASSERT_TRUE(ParseChecksumList(text, list));
    WriteFileBytes(Path(L"VorlanceUpdater.exe"), PLAYERS_UPDATER);
    WriteFileBytes(Path(UPDATER_REFUSED_NAME), std::string(64, 'a') + "\n");

    UpdateUpdater(programDirectory, recorder, list, Path(L"VorlanceUpdater.exe"));

    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"VorlanceUpdater.exe"});
    EXPECT_EQ(ReadFileBytes(Path(L"VorlanceUpdater.exe")), PLAYERS_UPDATER);
    EXPECT_TRUE(TakePosted(recorder).empty()) << "the window shows nothing of it";
}

// A new updater being qualified (or one a killed run left running) is no game to wait for.
TEST_F(ProgramFolderTest, TheWaitForTheGamePassesOverANewUpdater)
{
    FixtureProcess candidate = StartFixture(Path(UPDATER_CANDIDATE_NAME), L"--until-file \"" + Path(L"end") + L"\"");
    WaitForGameToClose(programDirectory, recorder);
    EXPECT_EQ(StatusTexts(TakePosted(recorder)), std::vector<std::wstring>{});
    WriteFileBytes(Path(L"end"), "");
    EXPECT_TRUE(candidate.WaitForExit(10000));
}

// A running updater cannot be replaced in one step: it is renamed aside and the candidate takes its name, or, when
// another program keeps the candidate from being renamed, it is put back.
TEST_F(TempFolderTest, SwapsARunningUpdaterOrPutsItBack)
{
    for (const bool held : {false, true}) {
        const std::wstring game = Path(held ? L"held" : L"free");
        CreateDirectoryW(game.c_str(), nullptr);
        const std::wstring running = game + L"\\VorlanceUpdater.exe";
        const std::wstring candidate = game + L"\\" + UPDATER_CANDIDATE_NAME;
        FixtureProcess updater = StartFixture(running, L"--until-file \"" + game + L"\\end\"");
        const std::string old = ReadFileBytes(running);
        WriteFileBytes(candidate, "new updater");
        const HANDLE holder = held ? CreateFileW(candidate.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr)
                                   : INVALID_HANDLE_VALUE;

        EXPECT_EQ(SwapInUpdater(candidate, running), !held);

        CloseHandle(holder);
        EXPECT_TRUE(ReadFileBytes(running) == (held ? old : "new updater")) << held;
        const std::vector<std::wstring> names = ListFolder(game);
        const long aside = std::count_if(names.begin(), names.end(), [](const std::wstring& name) {
            return name.compare(0, 24, L"VorlanceUpdater.exe.old-") == 0;
        });
        EXPECT_EQ(aside, held ? 0 : 1) << "the running image waits under an aside name until it ends";
        WriteFileBytes(game + L"\\end", "");
        EXPECT_TRUE(updater.WaitForExit(10000));
    }
}

// A power cut between the two renames leaves only the new updater startable, under the candidate's name: started so,
// it takes the name its aside predecessor left free, and only while that name is free.
TEST_F(TempFolderTest, ANewUpdaterStartedAfterACutTakesTheFreeName)
{
    const std::wstring candidate = Path(UPDATER_CANDIDATE_NAME);
    FixtureProcess updater = StartFixture(candidate, L"--until-file \"" + Path(L"end") + L"\"");
    WriteFileBytes(Path(L"Update.exe.old-0123456789"), ReadFileBytes(candidate));

    EXPECT_TRUE(RestoreUpdaterName(folder + L"\\", candidate));
    EXPECT_EQ(ListFolder(folder),
              (std::vector<std::wstring>{L"Update.exe", L"Update.exe.old-0123456789", L"launch.txt"}));
    EXPECT_FALSE(RestoreUpdaterName(folder + L"\\", candidate));
    WriteFileBytes(Path(L"end"), "");
    EXPECT_TRUE(updater.WaitForExit(10000));
}

} // namespace
