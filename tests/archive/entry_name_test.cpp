#include "archive/archive.h"

#include "tests/archive/extract_test_support.h"

#include <algorithm>

namespace {

struct NameCase {
    const char* stored;     // the name as the archive holds it
    bool accepted;
    const wchar_t* landsAt; // below the target, for an accepted name; nullptr where the file system may refuse it
};

const NameCase NAME_CASES[] = {
    {"a.dll", true, L"a.dll"},
    {"sub/a.dll", true, L"sub\\a.dll"},
    {"sub\\a.dll", true, L"sub\\a.dll"},
    {"x/./y", true, nullptr},
    {"a//b", true, nullptr},
    {"...", true, L"..."},
    {"..a", true, L"..a"},
    {"a..", true, L"a.."},
    {".. ", true, L".. "},
    {" ..", true, L" .."},
    {"dir/", true, L"dir\\"},
    // Device names and trailing dots or spaces are plain names below an extended-length path.
    {"NUL", true, L"NUL"},
    {"sub/CON.dll", true, L"sub\\CON.dll"},
    {"trail.dll.", true, L"trail.dll."},
    {"space.dll ", true, L"space.dll "},
    {"", false, nullptr},
    {"..", false, nullptr},
    {"../a.dll", false, nullptr},
    {"a/../b", false, nullptr},
    {"a/..", false, nullptr},
    {"a\\..\\b", false, nullptr},
    {"/a", false, nullptr},
    {"\\a", false, nullptr},
    {"C:a.dll", false, nullptr},
    {"a:b", false, nullptr},
    {"ab:", false, nullptr},
    {"../up/", false, nullptr},
    {"sub/../../up/", false, nullptr},
};

// Names come from a NUL-terminated conversion, but the rule must not depend on that: Windows would read ".." here.
TEST(IsSafeEntryName, RefusesAnEmbeddedNul)
{
    EXPECT_FALSE(IsSafeEntryName(std::wstring(L"..\0", 3)));
    EXPECT_FALSE(IsSafeEntryName(std::wstring(L"a\0b", 3)));
}

class EntryNameTest : public ExtractZipTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(EntryNameTest, NothingLandsOutsideTheTarget)
{
    const NameCase& name = GetParam();
    SCOPED_TRACE(std::string("entry name \"") + name.stored + "\"");
    std::wstring normalised = Widen(name.stored);
    std::replace(normalised.begin(), normalised.end(), L'/', L'\\');
    EXPECT_EQ(IsSafeEntryName(Widen(name.stored)), name.accepted);
    EXPECT_EQ(IsSafeEntryName(normalised), name.accepted);

    const bool isDirectory = !normalised.empty() && normalised.back() == L'\\';
    WriteArchive({StoredEntry("first.txt", "1"), StoredEntry(name.stored, isDirectory ? "" : "payload"),
                  StoredEntry("last.txt", "2")});
    const std::string message = Extract();

    EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"archive.zip", L"target"}));
    if (!name.accepted) {
        EXPECT_EQ(message, "unsafe path in zip entry 1");
        EXPECT_EQ(ReadTree(target), (Tree{{L"first.txt", "1"}}));
    } else if (name.landsAt == nullptr) {
        EXPECT_TRUE(message.empty() || message.rfind("cannot write ", 0) == 0) << message;
    } else {
        EXPECT_EQ(message, "");
        const Tree tree = ReadTree(target);
        ASSERT_EQ(tree.count(name.landsAt), 1u);
        EXPECT_EQ(tree.at(name.landsAt), isDirectory ? "" : "payload");
        EXPECT_EQ(tree.at(L"last.txt"), "2");
    }
}

INSTANTIATE_TEST_SUITE_P(Names, EntryNameTest, ::testing::ValuesIn(NAME_CASES));

} // namespace
