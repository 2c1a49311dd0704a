#include "update/game/game_forms.h"
#include "update/update.h"

#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"
#include "tests/update/game_delta_writer.h"

#include <functional>
#include <map>
#include <stdexcept>

namespace {

// An old game and the next release: bytes changed in place, some inserted, some dropped, a new tail.
std::string Filler(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245 + 12345;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}
const std::string OLD_GAME = "MZ" + Filler(300000, 1);
const std::string NEW_GAME = OLD_GAME.substr(0, 100000) + "inserted" + OLD_GAME.substr(100000, 50000) + "X" +
                             OLD_GAME.substr(150001, 100000) + Filler(40000, 2);
// Records that take bytes from old forwards and backwards: 100000 added, "inserted" copied, 50000 added, "X", then
// back 1000 and forth past the old byte "X" replaced, with a last copied tail.
const std::vector<DeltaRecord> RECORDS = {{100000, 8, 0}, {50000, 1, -999}, {0, 0, 1000}, {100000, 40000, 0}};

using Damage = std::function<std::string(TestDelta delta)>;

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
        {"a difference byte left over",
         [](TestDelta d) { return d.packed[1] = Compressed(d.raw[1] + "x"), DeltaBytes(d); }},
        {"a control stream cut short",
         [](TestDelta d) { return d.packed[0].resize(d.packed[0].size() - 3), DeltaBytes(d); }},
        {"an extra stream that is no zlib stream", [](TestDelta d) { return d.packed[2] = d.raw[2], DeltaBytes(d); }},
        {"a record reading before the old game",
         [](TestDelta d) {
             d.raw[0].replace(16, 8, Le64Bytes(static_cast<uint64_t>(-200000)));
             return d.packed[0] = Compressed(d.raw[0]), DeltaBytes(d);
         }},
        {"a record reading past the old game",
         [](TestDelta d) {
             d.raw[0].replace(16, 8, Le64Bytes(200000));
             return d.packed[0] = Compressed(d.raw[0]), DeltaBytes(d);
         }},
        {"extra bytes that make another game",
         [](TestDelta d) {
             d.raw[2][0] ^= 1;
             return d.packed[2] = Compressed(d.raw[2]), DeltaBytes(d);
         }},
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

// What the mirrors serve for each form, and which requests each mirror gets, by form: "delta", "gz", "exe".
struct FormsCase {
    const char* what;
    const char* listedDelta; // "this": the delta from the installed game; "other": one from another game; "": none
    bool listGzip;
    std::string (*delta)(); // what the primary serves as the delta: empty for nothing
    std::string (*gzip)();
    const char* deltaBehaviour; // the primary's sidecar for the delta, empty for none
    std::vector<std::string> primary;
    std::vector<std::string> fallback;
    bool continued; // the primary's second request for the delta asks for the rest after the cut
};

std::string GoodDelta()
{
    return DeltaBytes(MakeTestDelta(OLD_GAME, NEW_GAME, RECORDS));
}
// The listed bytes, whose records build another game.
std::string DeltaToAnotherGame()
{
    TestDelta delta = MakeTestDelta(OLD_GAME, NEW_GAME + "?", {{100000, NEW_GAME.size() + 1 - 100000, 0}});
    delta.newDigest = Sha256Of(NEW_GAME);
    return DeltaBytes(delta);
}
std::string GoodGzip()
{
    return Compressed(NEW_GAME, true);
}
std::string Tampered(std::string bytes)
{
    bytes[bytes.size() / 2] ^= 1;
    return bytes;
}

// Each form is held to its listed SHA-256 and its result to the game's, and the next form follows a failure; only the
// forms that are needed are fetched, and nothing is left beside the game but the new game itself.
TEST_F(GameFormsTest, TakesTheFirstFormThatGivesTheListedGame)
{
    const FormsCase cases[] = {
        {"a delta", "this", true, GoodDelta, GoodGzip, "", {"delta"}, {}, false},
        {"a delta cut mid-way",
         "this",
         true,
         GoodDelta,
         GoodGzip,
         R"({"cut_after": 3000, "first_only": true})",
         {"delta", "delta"},
         {},
         true},
        {"a tampered delta",
         "this",
         true,
         [] { return Tampered(GoodDelta()); },
         GoodGzip,
         "",
         {"delta", "gz"},
         {"delta"},
         false},
        {"a listed delta that gives another game",
         "this",
         true,
         DeltaToAnotherGame,
         GoodGzip,
         "",
         {"delta", "gz"},
         {},
         false},
        {"no delta for this game", "other", true, GoodDelta, GoodGzip, "", {"gz"}, {}, false},
        {"a damaged gz", "", true, GoodDelta, [] { return Tampered(GoodGzip()); }, "", {"gz", "exe"}, {"gz"}, false},
        {"no forms in the list", "", false, GoodDelta, GoodGzip, "", {"exe"}, {}, false},
    };
    const std::string deltaName = GameDeltaName(Sha256Of(OLD_GAME));
    const std::map<std::string, std::string> names = {{"delta", deltaName}, {"gz", "game.exe.gz"}, {"exe", "game.exe"}};
    for (const FormsCase& c : cases) {
        RemoveTree(MirrorRootFolder() + L"\\primary");
        RemoveTree(MirrorRootFolder() + L"\\fallback");
        CreateDirectoryW((MirrorRootFolder() + L"\\fallback").c_str(), nullptr); // its own log of requests
        const std::string delta = c.delta();
        ServeFile(L"primary/vorlance/" + Widen(deltaName), delta);
        if (*c.deltaBehaviour != '\0') {
            SetBehaviour(L"primary/vorlance/" + Widen(deltaName), c.deltaBehaviour);
        }
        ServeFile(L"primary/vorlance/game.exe.gz", c.gzip());
        ServeFile(L"primary/vorlance/game.exe", NEW_GAME);
        ChecksumList list;
        list.gameExecutable = Sha256Of(NEW_GAME);
        const std::string from = c.listedDelta;
        if (!from.empty()) {
            // Only the delta that gives another game is listed as served: it is the studio's, not a mirror's fault.
            const std::string listed = c.delta == DeltaToAnotherGame ? delta : GoodDelta();
            list.otherFiles.push_back(
                {from == "this" ? deltaName : GameDeltaName(Sha256Of("another game")), Sha256Of(listed)});
        }
        if (c.listGzip) {
            list.otherFiles.push_back({"game.exe.gz", Sha256Of(GoodGzip())});
        }
        WriteFileBytes(Path(L"vorlance.exe"), OLD_GAME);

        try {
            ReplaceGameExecutable(programDirectory, recorder, &list);
        } catch (const std::runtime_error& failure) {
            ADD_FAILURE() << c.what << ": " << failure.what();
        }

        EXPECT_TRUE(ReadFileBytes(Path(L"vorlance.exe")) == NEW_GAME) << c.what;
        EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"vorlance.exe"}) << c.what;
        for (const auto& [mirror, expected] :
             {std::make_pair(L"primary", c.primary), std::make_pair(L"fallback", c.fallback)}) {
            std::vector<std::string> requests;
            for (const std::string& form : expected) {
                requests.push_back("GET /" + Utf8(mirror) + "/vorlance/" + names.at(form));
            }
            EXPECT_EQ(RequestsFor(mirror), requests) << c.what << " at " << Utf8(mirror);
        }
        const std::string rest = "3000-" + std::to_string(delta.size() - 1) + " /primary/vorlance/" + deltaName;
        EXPECT_EQ(RangesFor(L"primary"), c.continued ? std::vector<std::string>{rest} : std::vector<std::string>{})
            << c.what;
        TakePosted(recorder);
    }
}

} // namespace
