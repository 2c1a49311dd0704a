#include "archive/archive.h"

#include "tests/archive/extract_test_support.h"

#include <algorithm>

namespace {

struct NameCase {
    const char* stored; // the name as the archive holds it
    bool accepted;
    const wchar_t* landsAt; // below the target, for an accepted name; nullptr where Windows refuses to create it
};

const NameCase NAME_CASES[] = {
    {"a.dll", true, L"a.dll"},
    {"sub/a.dll", true, L"sub\\a.dll"},
    {"sub\\a.dll", true, L"sub\\a.dll"},
    {"x/./y", true, L"x\\y"},
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

// The updater once converted names as NUL-terminated strings, which made "bass.dll<NUL>anything" plain "bass.dll".
TEST_F(ExtractZipTest, AnEmbeddedNulRefusesTheEntry)
{
    WriteArchive({StoredEntry("first.txt", "1"), StoredEntry(std::string("bass.dll\0../../up.dll", 21), "payload")});
    EXPECT_EQ(Extract(), "unsafe path in zip entry 1");
    EXPECT_EQ(ReadTree(target), (Tree{{L"first.txt", "1"}}));
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring WindowsDecoding(UINT codePage, const std::string& bytes)
{
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

// The portable decoding that the package tool shares with the updater must read names exactly as Windows would.
TEST(EntryNameDecoding, CodePage437IsReadAsWindowsReadsIt)
{
    for (int byte = 0; byte < 256; ++byte) {
        const std::string stored(1, static_cast<char>(byte));
        EXPECT_EQ(DecodeEntryName(stored.data(), 1, 0), WindowsDecoding(437, stored)) << "byte " << byte;
    }
}

struct Utf8Case {
    const char* what;
    std::string bytes;
    std::wstring expected;
};

void ExpectReadAsWindowsReadsIt(const Utf8Case& c)
{
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DecodeEntryName(c.bytes.data(), c.bytes.size(), 0x0800), c.expected);
    EXPECT_EQ(WindowsDecoding(CP_UTF8, c.bytes), c.expected);
}

TEST(EntryNameDecoding, Utf8IsReadAsWindowsReadsIt)
{
    const Utf8Case cases[] = {
        {"two, three and four bytes", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80", L"\x00FC\x20AC\xD83D\xDE00"},
        {"a lone continuation byte",
         "a\x80"
         "b",
         L"a\xFFFD"
         L"b"},
        {"a cut-short sequence", "\xE2\x82z", L"\xFFFDz"},
        {"a sequence cut by the end", "x\xF0\x9F\x98", L"x\xFFFD"},
        {"bytes that never start a sequence", "\xF5\xFF\xFE", L"\xFFFD\xFFFD\xFFFD"},
    };
    for (const Utf8Case& c : cases) {
        ExpectReadAsWindowsReadsIt(c);
    }
    const std::wstring unpaired = L"a\xD800"
                                  L"b\xDC00";
    EXPECT_EQ(WideToUtf8(unpaired), "a\xEF\xBF\xBD"
                                    "b\xEF\xBF\xBD");
}

// Sequences that start well but encode nothing valid: one U+FFFD for the lead byte, one for each byte after it.
TEST(EntryNameDecoding, Utf8ForbiddenFormsAreReadAsWindowsReadsThem)
{
    const Utf8Case cases[] = {
        {"overlong forms", "\xC0\x80\xE0\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"},
        {"a surrogate", "\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(DecodeEntryName(c.bytes.data(), c.bytes.size(), 0x0800), c.expected) << c.what;
    }
    if (UnderWine()) {
        GTEST_SKIP() << "Wine replaces a lead byte together with its first continuation byte by one U+FFFD where "
                        "Windows replaces each byte of an overlong form, a surrogate or a code point beyond U+10FFFF";
    }
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(WindowsDecoding(CP_UTF8, c.bytes), c.expected) << c.what;
    }
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
        // Extended-length paths take the name as it stands, and an empty component is no valid name (error 123).
        EXPECT_EQ(message, "cannot write " + Utf8(normalised) + " (error 123)");
        EXPECT_EQ(ReadTree(target), (Tree{{L"first.txt", "1"}}));
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
