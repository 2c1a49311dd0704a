#include "update/update.h"
#include "update/library_patch.h"

#include "tests/common/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// Every allocation of this test program is counted (its size kept in a header that also keeps the alignment), so that
// what parsing a list holds at its peak can be compared with the list's bytes.
namespace {
const size_t ALLOCATION_HEADER_BYTES = 16;
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};
} // namespace

void* operator new(size_t size)
{
    void* block = std::malloc(size + ALLOCATION_HEADER_BYTES);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<size_t*>(block) = size;
    const size_t live = liveBytes += size;
    size_t peak = peakBytes;
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
    return static_cast<char*>(block) + ALLOCATION_HEADER_BYTES;
}

void operator delete(void* address) noexcept
{
    if (address != nullptr) {
        void* block = static_cast<char*>(address) - ALLOCATION_HEADER_BYTES;
        liveBytes -= *static_cast<size_t*>(block);
        std::free(block);
    }
}

void operator delete(void* address, size_t) noexcept
{
    operator delete(address);
}

namespace {

std::string Line(char digit, const std::string& path, const char* mark = " ")
{
    return std::string(64, digit) + " " + mark + path + "\n";
}

const std::string GAME = Line('a', "game.exe");
const std::string PACKAGE = Line('b', "lib.zip");
const std::string LIBRARY = Line('c', "lib/bass.dll");

// The smallest list padded with one long library path to exactly size bytes.
std::string ListOfSize(size_t size)
{
    const std::string head = GAME + PACKAGE + std::string(64, 'c') + "  lib/";
    return head + std::string(size - head.size(), 'x');
}

struct ListCase {
    const char* name;
    std::string text;
    bool accepted;
    uint64_t release = 0; // of an accepted list
};

const std::string BODY = GAME + PACKAGE + LIBRARY;

const ListCase LIST_CASES[] = {
    {"Minimal", GAME + PACKAGE + LIBRARY, true},
    {"PackageFirstNoFinalNewline", Line('b', "lib.zip") + LIBRARY + std::string(64, 'a') + "  game.exe", true},
    {"BinaryMarkersAndUpperCaseHex",
     Line('A', "game.exe", "*") + Line('F', "lib.zip", "*") + Line('e', "lib/sub/bass.dll", "*"), true},
    {"CrLfLines",
     std::string(64, 'a') + "  game.exe\r\n" + std::string(64, 'b') + "  lib.zip\r\nc" + std::string(63, 'c') +
         "  lib/a\r\n",
     true},
    {"NamesWithDotsAndUtf8",
     GAME + PACKAGE + Line('1', "lib/...") + Line('2', "lib/.a..b") + Line('3', "lib/caf\xc3\xa9"), true},
    {"ExactlyTheLimit", ListOfSize(CHECKSUM_LIST_MAX_BYTES), true},
    {"OneByteOverTheLimit", ListOfSize(CHECKSUM_LIST_MAX_BYTES + 1), false},
    {"Empty", "", false},
    {"NoGameLine", PACKAGE, false},
    {"NoPackageLine", GAME + LIBRARY, false},
    {"NoLibraryLine", GAME + PACKAGE, false},
    {"BlankLine", GAME + "\n" + PACKAGE + LIBRARY, false},
    {"CommentsAnywhere", "# made by pack\n" + GAME + "#\n" + PACKAGE + LIBRARY + "# end", true},
    {"ReleaseLineCrLf", "# release 42\r\n" + BODY, true, 42},
    {"EighteenDigits", "# release 999999999999999999\n" + BODY, true, 999999999999999999ull},
    {"NineteenDigits", "# release 1000000000000000000\n" + BODY, true, 0},
    {"LeadingZero", "# release 042\n" + BODY, true, 0},
    {"TrailingSpace", "# release 5 \n" + BODY, true, 0},
    {"NotTheFirstLine", GAME + "# release 5\n" + PACKAGE + LIBRARY, true, 0},
    {"ReleaseLineAlone", "# release 5\n", false},
    {"ShortDigest", GAME + std::string(63, 'b') + "  lib.zip\n", false},
    {"NonHexDigit", GAME + "g" + std::string(63, 'b') + "  lib.zip\n", false},
    {"OneSpace", GAME + std::string(64, 'b') + " lib.zip\n", false},
    {"TagFormat", GAME + "SHA256 (lib.zip) = " + std::string(64, 'b') + "\n", false},
    {"OtherFilesAreTolerated", GAME + PACKAGE + Line('c', "readme.txt") + Line('d', "updater/new.exe") + LIBRARY, true},
    {"OtherFileTwiceInOtherCase", GAME + PACKAGE + LIBRARY + Line('c', "readme.txt") + Line('d', "README.TXT"), false},
    {"OtherFileClimbsOut", GAME + PACKAGE + LIBRARY + Line('c', "../vorlance.exe"), false},
    {"OtherFileAbsolute", GAME + PACKAGE + LIBRARY + Line('c', "/x.exe"), false},
    {"LibraryFolderItself", GAME + PACKAGE + Line('c', "lib/"), false},
    {"ClimbsOut", GAME + PACKAGE + Line('c', "lib/../vorlance.exe"), false},
    {"DriveColon", GAME + PACKAGE + Line('c', "lib/C:x"), false},
    {"Backslash", GAME + PACKAGE + Line('c', "lib/a\\..\\..\\x"), false},
    {"EmptyComponent", GAME + PACKAGE + Line('c', "lib/a//b"), false},
    {"DotComponent", GAME + PACKAGE + Line('c', "lib/./a"), false},
    {"TrailingSlash", GAME + PACKAGE + Line('c', "lib/a/"), false},
    {"ControlCharacter", GAME + PACKAGE + Line('c', "lib/a\tb"), false},
    {"OverlongSlash", GAME + PACKAGE + Line('c', "lib/a\xc0\xaf..\xc0\xafx"), false},
    {"GameTwice", GAME + PACKAGE + LIBRARY + GAME, false},
    {"LibraryFileTwiceInOtherCase", GAME + PACKAGE + Line('c', "lib/Bass.dll") + Line('d', "lib/bASS.DLL"), false},
    {"LibraryFileTwiceInFullwidthCase",
     GAME + PACKAGE + Line('c', "lib/\xEF\xBC\xA1.dll") + Line('d', "lib/\xEF\xBD\x81.dll"), false},
};

class ParseChecksumListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ParseChecksumListTest, AcceptsOnlyWellFormedLists)
{
    ChecksumList list{};
    list.release = 1;
    ASSERT_EQ(ParseChecksumList(GetParam().text, list), GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(list.release, GetParam().release);
    }
}

INSTANTIATE_TEST_SUITE_P(Lists, ParseChecksumListTest, ::testing::ValuesIn(LIST_CASES),
                         [](const ::testing::TestParamInfo<ListCase>& p) { return std::string(p.param.name); });

TEST(ParseChecksumList, GivesDigestsAndPathsAsTheUpdaterWritesThem)
{
    ChecksumList list{};
    ASSERT_TRUE(ParseChecksumList(Line('b', "lib.zip") + Line('e', "lib/sub/caf\xc3\xa9.dll") +
                                      Line('a', "game.exe.gz") + "0f" + std::string(62, '0') + "  game.exe",
                                  list));
    ASSERT_NE(FindListedFile(list, "game.exe.gz"), nullptr);
    EXPECT_EQ((*FindListedFile(list, "game.exe.gz"))[0], 0xaa);
    EXPECT_EQ(FindListedFile(list, "GAME.EXE.GZ"), nullptr);
    EXPECT_EQ(list.gameExecutable[0], 0x0f);
    EXPECT_EQ(list.gameExecutable[31], 0x00);
    EXPECT_EQ(list.libraryPackage[5], 0xbb);
    ASSERT_EQ(list.libraryFiles.size(), 1u);
    EXPECT_EQ(list.libraryFiles[0].relativePath, L"sub\\caf\u00e9.dll");
    EXPECT_EQ(list.libraryFiles[0].digest[31], 0xee);
}

// A release of 20,000 files fits the limit with paths of the length checksum_list.h promises, and parsing holds no
// more than it states. Short paths cost the most per byte of the list; long ones are copied twice.
TEST(ParseChecksumList, ReadsTwentyThousandFilesWithinTheStatedMemory)
{
    for (const size_t pathBytes : {5, 138}) {
        std::string text = "# release 20261208123456\n" + GAME + PACKAGE;
        for (size_t i = 0; i < 20000; ++i) {
            std::string path = std::to_string(100000 + i).substr(1);
            path = pathBytes > path.size() ? "folder/" + std::string(pathBytes - path.size() - 7, 'x') + path : path;
            text += Line('c', "lib/" + path);
        }
        SCOPED_TRACE(pathBytes);
        ASSERT_LE(text.size(), CHECKSUM_LIST_MAX_BYTES);
        ChecksumList list{};
        const size_t before = liveBytes;
        peakBytes = before;
        ASSERT_TRUE(ParseChecksumList(text, list));
        EXPECT_EQ(list.libraryFiles.size(), 20000u);
        EXPECT_LT(peakBytes - before, 4 * text.size());
    }
}

// The studio's clock as a release number: leap days, the ends of a day, a year and a century.
TEST(ReleaseOfUtcTime, WritesTheUtcTimeAsDigits)
{
    EXPECT_EQ(ReleaseOfUtcTime(0), 19700101000000u);
    EXPECT_EQ(ReleaseOfUtcTime(951782400), 20000229000000u);
    EXPECT_EQ(ReleaseOfUtcTime(1709251199), 20240229235959u);
    EXPECT_EQ(ReleaseOfUtcTime(1735689599), 20241231235959u);
    EXPECT_EQ(ReleaseOfUtcTime(4107542400), 21000301000000u);
    EXPECT_FALSE(IsReleaseTooFarAhead(20240302000000u, 1709251200));
    EXPECT_TRUE(IsReleaseTooFarAhead(20240302000000u, 1709251199));
    EXPECT_TRUE(IsReleaseTooFarAhead(202403010000000u, 1709251200));
}

// A library of two files and the list that describes it ("one" and "two" are the files' bytes).
const std::string LIBRARY_LIST = GAME + PACKAGE +
                                 "7692c3ad3540bb803c020b3aee66cd8887123234ea0c6e7143c0add73ff431ed  lib/bass.dll\n"
                                 "3fc4ccfe745870e2c0d99f71f30ff0656c8dedd41cc1d7d3d376b0dbe685e2f3  lib/sub/data.pak\n";

// One change to a library that matches LIBRARY_LIST apart from its leftovers: a file deleted, then a file written
// (either may be absent).
struct LibraryCase {
    const char* name;
    const wchar_t* removed;
    const wchar_t* written;
    const char* bytes;
    bool matches;
};

const LibraryCase LIBRARY_CASES[] = {
    {"unchanged", nullptr, nullptr, nullptr, true},
    {"names in another case", L"bass.dll", L"BASS.DLL", "one", true},
    {"one byte changed", nullptr, L"sub\\data.pak", "twO", false},
    {"an extra file", nullptr, L"sub\\extra.txt", "", false},
    {"a file missing", L"bass.dll", nullptr, nullptr, false},
    {"a listed file in another folder", L"bass.dll", L"sub\\bass.dll", "one", false},
};

// What the update asks of an installed lib before it skips the package: leftovers swept aside and never counted,
// then exactly the listed files with their digests.
bool LibraryMatchesChecksumList(const std::wstring& libraryDirectory, const ChecksumList& list)
{
    std::vector<FileDigest> installed;
    return HashInstalledLibraries(libraryDirectory, installed) && HoldsListedFiles(installed, list);
}

class LibraryMatchesChecksumListTest : public TempFolderTest {};

TEST_F(LibraryMatchesChecksumListTest, MatchesOnlyTheListedFilesWithTheirBytes)
{
    ChecksumList list{};
    ASSERT_TRUE(ParseChecksumList(LIBRARY_LIST, list));
    const std::wstring lib = Path(L"lib");
    for (const LibraryCase& c : LIBRARY_CASES) {
        SCOPED_TRACE(c.name);
        RemoveTree(lib);
        CreateDirectoryW(lib.c_str(), nullptr);
        CreateDirectoryW((lib + L"\\sub").c_str(), nullptr);
        WriteFileBytes(lib + L"\\bass.dll", "one");
        WriteFileBytes(lib + L"\\sub\\data.pak", "two");
        WriteFileBytes(lib + L"\\bass.dll.old-0001e24000", "held before");
        WriteFileBytes(lib + L"\\sub\\data.pak.old-00000000ab", "held before");
        if (c.removed != nullptr) {
            DeleteFileW((lib + L"\\" + c.removed).c_str());
        }
        if (c.written != nullptr) {
            WriteFileBytes(lib + L"\\" + c.written, c.bytes);
        }
        EXPECT_EQ(LibraryMatchesChecksumList(lib, list), c.matches);
        // Leftovers never count, and they are swept on the way.
        EXPECT_FALSE(PathExists(lib + L"\\bass.dll.old-0001e24000"));
        EXPECT_FALSE(PathExists(lib + L"\\sub\\data.pak.old-00000000ab"));
    }
}

// lib\a.dll and lib\link, a directory link to a folder outside that holds precious.txt. Following the link would
// find exactly the listed files; the check must refuse instead of reading through it.
TEST(LibraryMatchesChecksumList, NeverFollowsADirectoryLink)
{
    const DirectoryLinkCase linkCase = MakeDirectoryLinkCase("VORLANCE_LIBRARY_LINK_CASE");
    if (linkCase.folder.empty()) {
        GTEST_SKIP() << "no directory link can be made here";
    }
    const std::wstring& caseFolder = linkCase.folder;
    ChecksumList list{};
    ASSERT_TRUE(ParseChecksumList(
        GAME + PACKAGE + "b5e0dfe3c2b269568c488e74fdc56495a5729538ebc6ef36488c85a7d7a1730e  lib/a.dll\n" +
            "a37214679d4cdc0b4724e05883a60eb979d19dd3a394438f17ef85846fadcee0  lib/link/precious.txt\n",
        list));
    ASSERT_NE(AttributesOf(caseFolder + L"\\lib\\link") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    EXPECT_FALSE(LibraryMatchesChecksumList(caseFolder + L"\\lib", list));
    if (linkCase.madeHere) {
        RemoveTree(caseFolder);
    }
}

} // namespace
