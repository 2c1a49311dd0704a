#include "archive/archive.h"

#include "tests/archive/extract_test_support.h"

namespace {

// The last name is the one judged; earlier ones set the scene. Each entry holds "entry N".
struct RuleCase {
    std::vector<std::string> names;
    std::wstring landsAt; // below the target, where the last entry's bytes end up; empty when nothing lands
    std::string refusal;  // what the check and extraction both say instead; empty when both accept
};

const RuleCase RULE_CASES[] = {
    {{"./bass.dll"}, L"bass.dll", ""},
    {{"./plugins/x.dll"}, L"plugins\\x.dll", ""},
    {{"x/./y"}, L"x\\y", ""},
    {{"a/."}, L"a", ""},
    {{"."}, L"", "unsafe path in zip entry 0"},
    {{"./"}, L"", ""},
    {{"what?.txt"}, L"", "cannot write what?.txt (error 123)"},
    {{"data//b.txt"}, L"", "cannot write data\\\\b.txt (error 123)"},
    {{"./tab\there"}, L"", "cannot write tab\there (error 123)"},
    {{"del\x7F.txt"}, L"del\x7F.txt", ""},
    {{std::string(255, 'a')}, std::wstring(255, L'a'), ""},
    {{std::string(256, 'a')}, L"", ("cannot write " + std::string(256, 'a') + " (error 206)")},
    {{"file?/x"}, L"", "cannot write file?\\x (error 123)"},
    {{"plugins", "Plugins/a.dll"}, L"", "cannot write Plugins\\a.dll (error 3)"},
    {{"plugins", "plugins/x?/a.dll"}, L"", "cannot write plugins\\x?\\a.dll (error 123)"},
    {{"Plugins/a.dll", "plugins"}, L"", "cannot write plugins (error 5)"},
    {{"Data.txt", "data.TXT"}, L"Data.txt", ""},
    {{"Sub/a.dll", "sub/b.dll"}, L"Sub\\b.dll", ""},
    {{"Ab/Cd/a.dll", "aB/cD/b.dll"}, L"Ab\\Cd\\b.dll", ""},
    {{"ab", "a/b"}, L"a\\b", ""},
    {{"\xCE\xA3.txt", "\xCF\x83.txt"}, L"\x03A3.txt", ""},
    {{"\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt"}, L"\xFF21.txt", ""},
    {{"odd?/", "a.dll"}, L"a.dll", ""},
    {{"plugins", "plugins/", "bass.dll"}, L"bass.dll", ""},
    {{"VORLANCE-updater-complete.txt"},
     L"",
     "cannot write VORLANCE-updater-complete.txt: the updater keeps its own mark under this name"},
    {{"sub/vorlance-updater-incomplete.txt"}, L"sub\\vorlance-updater-incomplete.txt", ""},
};

class PackageRulesTest : public ExtractZipTest, public ::testing::WithParamInterface<RuleCase> {};

// What the check refuses is exactly what extraction refuses, with its text; what it accepts lands where the table
// says, under the disk's spelling.
TEST_P(PackageRulesTest, CheckAndExtractionAgree)
{
    const RuleCase& rule = GetParam();
    std::vector<ZipTestEntry> entries;
    for (size_t i = 0; i < rule.names.size(); ++i) {
        entries.push_back(StoredEntry(rule.names[i], rule.names[i].back() == '/' ? "" : "entry " + std::to_string(i)));
        entries.back().flags = 0x0800;
    }
    SCOPED_TRACE("last entry \"" + rule.names.back() + "\"");
    WriteArchive(entries);
    ZipImage image;
    std::string checked;
    ASSERT_TRUE(ReadZipImage(archive, image, checked)) << checked;
    EXPECT_EQ(CheckZipImage(image, checked), rule.refusal.empty());
    std::string extracted;
    EXPECT_EQ(ExtractZipImage(image, target, nullptr, extracted), rule.refusal.empty());
    EXPECT_EQ(checked, extracted);
    if (!rule.refusal.empty()) {
        EXPECT_EQ(checked, rule.refusal);
    } else if (!rule.landsAt.empty()) {
        const Tree tree = ReadTree(target);
        ASSERT_EQ(tree.count(rule.landsAt), 1u) << extracted;
        EXPECT_EQ(tree.at(rule.landsAt), "entry " + std::to_string(rule.names.size() - 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Names, PackageRulesTest, ::testing::ValuesIn(RULE_CASES));

// Two UTF-16 units, and whether NTFS takes names that differ only in them for one name. The second half are pairs
// that other case rules join (Unicode's folding, a Turkish locale) or that a rule by code-point parity would.
struct FoldPair {
    wchar_t a;
    wchar_t b;
    bool oneName;
};

const FoldPair FOLD_PAIRS[] = {
    {L'a', L'A', true},     {0xFF41, 0xFF21, true}, {0x13A, 0x139, true},   {0x17E, 0x17D, true},
    {0xFF, 0x178, true},    {0x451, 0x401, true},   {0x2D00, 0x10A0, true}, {0x24D0, 0x24B6, true},
    {0x2170, 0x2160, true}, {0x1F80, 0x1F88, true}, {0xDF, 0x1E9E, false},  {0x131, L'I', false},
    {0x3C2, 0x3A3, false},  {0x17F, L'S', false},   {0xB5, 0x39C, false},   {0x212A, L'K', false},
    {0x138, 0x139, false},  {0x148, 0x147, true},
};

TEST(FoldCase, JoinsTheNamesNtfsJoinsAndNoOthers)
{
    for (const FoldPair& pair : FOLD_PAIRS) {
        EXPECT_EQ(FoldCase(std::wstring{L'x', pair.a}) == FoldCase(std::wstring{L'X', pair.b}), pair.oneName)
            << std::hex << static_cast<unsigned>(pair.a) << " " << static_cast<unsigned>(pair.b);
    }
}

// bsdtar run on "." stores every name below "./": the package installs as the folder it was made from.
TEST_F(ExtractZipTest, ADotPackageInstallsAsItsFolder)
{
    WriteArchive({StoredEntry("./", ""), StoredEntry("./bass.dll", "bass"), StoredEntry("./plugins/", ""),
                  StoredEntry("./plugins/x.dll", "x")});
    ZipImage image;
    std::string message;
    ASSERT_TRUE(ReadZipImage(archive, image, message));
    EXPECT_TRUE(CheckZipImage(image, message)) << message;
    EXPECT_TRUE(ExtractZipImage(image, target, nullptr, message)) << message;
    EXPECT_EQ(ReadTree(target), (Tree{{L"bass.dll", "bass"}, {L"plugins\\", ""}, {L"plugins\\x.dll", "x"}}));
}

TEST_F(ExtractZipTest, TheCheckFindsABrokenLocalHeaderWithoutUnpacking)
{
    std::string bytes = BuildZip({StoredEntry("a.dll", "a"), StoredEntry("b.dll", "b")});
    PutLe32(bytes, 30 + 5 + 1, 0x12345678); // the second local header's signature
    WriteFileBytes(archive, bytes);
    ZipImage image;
    std::string message;
    ASSERT_TRUE(ReadZipImage(archive, image, message));
    EXPECT_FALSE(CheckZipImage(image, message));
    EXPECT_EQ(message, "failed extracting b.dll: invalid header or archive is corrupted");
}

} // namespace
