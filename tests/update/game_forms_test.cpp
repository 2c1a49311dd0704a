#include "update/game/game_forms.h"
#include "update/update.h"

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"
#include "tests/update/game_delta_writer.h"

#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

namespace {

// An old game and the next release: bytes changed in place, some inserted, some dropped, a new tail.
const std::string OLD_GAME = "MZ" + SampleText(300000);
const std::string NEW_GAME = OLD_GAME.substr(0, 100000) + "inserted" + OLD_GAME.substr(100000, 50000) + "X" +
                             OLD_GAME.substr(150001, 100000) + SampleText(340000).substr(300000);
// Records that take bytes from old forwards and backwards: 100000 added, "inserted" copied, 50000 added, "X", then
// back 1000 and forth past the old byte "X" replaced, with a last copied tail.
const std::vector<DeltaRecord> RECORDS = {{100000, 8, 0}, {50000, 1, -999}, {0, 0, 1000}, {100000, 40000, 0}};

using Damage = std::function<std::string(TestDelta delta)>;
std::string Tampered(std::string bytes)
{
    bytes[bytes.size() / 2] ^= 1;
    return bytes;
}
std::string Repacked(TestDelta delta, int stream, const std::string& raw)
{
    delta.packed[stream] = Compressed(raw);
    return DeltaBytes(delta);
}
// The control stream with the first record's seek replaced.
std::string Seek(const TestDelta& delta, int64_t seek)
{
    return std::string(delta.raw[0]).replace(16, 8, Le64Bytes(static_cast<uint64_t>(seek)));
}

class GameFormsTest : public ProgramFolderTest {};

TEST_F(GameFormsTest, AppliesOnlyAWholeWellFormedDeltaForTheInstalledGame)
{
    const struct {
        const char* what;
        Damage damage; // null: the delta as written
    } cases[] = {
        {"as written", nullptr},
        {"another magic", [](TestDelta d) { return "X" + DeltaBytes(d).substr(1); }},
        {"a reserved byte set", [](TestDelta d) { return DeltaBytes(d).replace(120, 1, "\1"); }},
        {"another old game", [](TestDelta d) { return d.oldDigest[0] ^= 1, DeltaBytes(d); }},
        {"another old size", [](TestDelta d) { return ++d.oldSize, DeltaBytes(d); }},
        {"another new game", [](TestDelta d) { return d.newDigest[0] ^= 1, DeltaBytes(d); }},
        {"more new bytes than the records make", [](TestDelta d) { return ++d.newSize, DeltaBytes(d); }},
        {"a byte after the last stream", [](TestDelta d) { return DeltaBytes(d) + "x"; }},
        {"a difference byte left over", [](TestDelta d) { return Repacked(d, 1, d.raw[1] + "x"); }},
        {"a control stream cut short", [](TestDelta d) { return d.packed[0].pop_back(), DeltaBytes(d); }},
        {"an extra stream that is no zlib stream", [](TestDelta d) { return d.packed[2] = d.raw[2], DeltaBytes(d); }},
        {"a record reading before the old game", [](TestDelta d) { return Repacked(d, 0, Seek(d, -200000)); }},
        {"a record reading past the old game", [](TestDelta d) { return Repacked(d, 0, Seek(d, 200000)); }},
        {"extra bytes that make another game", [](TestDelta d) { return Repacked(d, 2, Tampered(d.raw[2])); }},
    };
    WriteFileBytes(Path(L"vorlance.exe"), OLD_GAME);
    for (const auto& c : cases) {
        const TestDelta delta = MakeTestDelta(OLD_GAME, NEW_GAME, RECORDS);
        WriteFileBytes(Path(L"delta"), c.damage ? c.damage(delta) : DeltaBytes(delta));
        const bool applied =
            ApplyGameDelta(Path(L"delta"), Path(L"vorlance.exe"), Sha256Of(OLD_GAME), Sha256Of(NEW_GAME), Path(L"new"));
        EXPECT_EQ(applied, !c.damage) << c.what;
        EXPECT_TRUE(ReadFileBytes(Path(L"new")) == (c.damage ? "" : NEW_GAME)) << c.what;
        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == OLD_GAME) << c.what;
        DeleteFileW(Path(L"new").c_str());
    }
}

TEST_F(GameFormsTest, InflatesOnlyWholeGzipMembers)
{
    const std::string gzip = Compressed(NEW_GAME, true);
    const struct {
        const char* what;
        std::string bytes;
        bool accepted;
    } cases[] = {
        {"one member", gzip, true},
        {"two members", Compressed(NEW_GAME.substr(0, 1000), true) + Compressed(NEW_GAME.substr(1000), true), true},
        {"a byte after the member", gzip + '\0', false},
        {"cut inside the trailer", gzip.substr(0, gzip.size() - 2), false},
        {"a zlib stream", Compressed(NEW_GAME), false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        WriteFileBytes(Path(L"game.gz"), c.bytes);
        EXPECT_EQ(InflateGameGzip(Path(L"game.gz"), Path(L"new"), Sha256Of(NEW_GAME)), c.accepted) << c.what;
        EXPECT_TRUE(ReadFileBytes(Path(L"new")) == (c.accepted ? NEW_GAME : "")) << c.what;
        DeleteFileW(Path(L"new").c_str());
    }
}

// Words of "primary forms | fallback forms" as the requests each mirror logs.
std::vector<std::string> RequestsOf(const std::string& forms, bool primary, const std::string& deltaName)
{
    const std::map<std::string, std::string> names = {{"delta", deltaName}, {"gz", "game.exe.gz"}, {"exe", "game.exe"}};
    std::istringstream words(primary ? forms.substr(0, forms.find('|')) : forms.substr(forms.find('|') + 1));
    std::vector<std::string> requests;
    for (std::string word; words >> word;) {
        requests.push_back(std::string("GET /") + (primary ? "primary" : "fallback") + "/vorlance/" + names.at(word));
    }
    return requests;
}

// Each form is held to its listed SHA-256 and its result to the game's, and the next form follows a failure; only the
// forms that are needed are fetched, and nothing is left beside the game but the new game itself.
TEST_F(GameFormsTest, TakesTheFirstFormThatGivesTheListedGame)
{
    const std::string good = DeltaBytes(MakeTestDelta(OLD_GAME, NEW_GAME, RECORDS));
    TestDelta wrong = MakeTestDelta(OLD_GAME, NEW_GAME + "?", {{100000, NEW_GAME.size() + 1 - 100000, 0}});
    wrong.newDigest = Sha256Of(NEW_GAME);
    const std::string other = DeltaBytes(wrong); // listed, but its records build another game
    const std::string gzip = Compressed(NEW_GAME, true);
    const char* cut = R"({"cut_after": 3000, "first_only": true})";
    const struct {
        const char* what;
        bool fromThisGame;  // the list names the delta from the installed game, else one from another game
        std::string listed; // the delta whose SHA-256 the list gives; empty: none listed
        bool listGzip;
        std::string delta; // as the primary serves them
        std::string gzip;
        const char* behaviour; // the primary's for the delta
        const char* requests;  // the forms each mirror is asked for, "primary | fallback"
    } cases[] = {
        {"a delta", true, good, true, good, gzip, "", "delta |"},
        {"a delta cut mid-way", true, good, true, good, gzip, cut, "delta delta |"},
        {"a tampered delta", true, good, true, Tampered(good), gzip, "", "delta gz | delta"},
        {"a listed delta that gives another game", true, other, true, other, gzip, "", "delta gz |"},
        {"no delta for this game", false, good, true, good, gzip, "", "gz |"},
        {"a damaged gz", true, "", true, good, Tampered(gzip), "", "gz exe | gz"},
        {"no forms in the list", true, "", false, good, gzip, "", "exe |"},
    };
    const std::string deltaName = GameDeltaName(Sha256Of(OLD_GAME));
    for (const auto& c : cases) {
        RemoveTree(MirrorRootFolder() + L"\\primary");
        RemoveTree(MirrorRootFolder() + L"\\fallback");
        CreateDirectoryW((MirrorRootFolder() + L"\\fallback").c_str(), nullptr); // its own log of requests
        ServeFile(L"primary/vorlance/" + Widen(deltaName), c.delta);
        SetBehaviour(L"primary/vorlance/" + Widen(deltaName), *c.behaviour ? c.behaviour : "{}");
        ServeFile(L"primary/vorlance/game.exe.gz", c.gzip);
        ServeFile(L"primary/vorlance/game.exe", NEW_GAME);
        ChecksumList list;
        list.gameExecutable = Sha256Of(NEW_GAME);
        if (!c.listed.empty()) {
            list.otherFiles.push_back(
                {c.fromThisGame ? deltaName : GameDeltaName(Sha256Of("another game")), Sha256Of(c.listed)});
        }
        if (c.listGzip) {
            list.otherFiles.push_back({"game.exe.gz", Sha256Of(gzip)});
        }
        WriteFileBytes(Path(L"vorlance.exe"), OLD_GAME);

        try {
            ReplaceGameExecutable(programDirectory, recorder, &list);
        } catch (const std::runtime_error& failure) {
            ADD_FAILURE() << c.what << ": " << failure.what();
        }

        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == NEW_GAME) << c.what;
        EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"vorlance.exe"}) << c.what;
        EXPECT_EQ(RequestsFor(L"primary"), RequestsOf(c.requests, true, deltaName)) << c.what;
        EXPECT_EQ(RequestsFor(L"fallback"), RequestsOf(c.requests, false, deltaName)) << c.what;
        const std::string rest = "3000-" + std::to_string(good.size() - 1) + " /primary/vorlance/" + deltaName;
        EXPECT_EQ(RangesFor(L"primary"), *c.behaviour ? std::vector<std::string>{rest} : std::vector<std::string>{})
            << c.what;
        TakePosted(recorder);
    }
}

} // namespace
