#include "archive/archive.h"
#include "archive/zip_write.h"

#include "fs/fs.h"
#include "status/status.h"
#include "tests/archive/extract_test_support.h"

#include <algorithm>

namespace {

const uint16_t UTF8_NAME_FLAG = 0x0800;

ZipTestEntry EntryWith(ZipTestEntry entry, uint16_t method, uint16_t flags)
{
    entry.method = method;
    entry.flags = flags;
    return entry;
}

TEST_F(ExtractZipTest, ReportsAnArchiveItCannotUse)
{
    EXPECT_EQ(Extract(), "cannot open zip file (error 2)");

    WriteFileBytes(archive, "");
    EXPECT_EQ(Extract(), "zip file is empty or unreasonably large");

    const HANDLE file =
        CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER oneGiBAndOne = {};
    oneGiBAndOne.QuadPart = 0x40000001;
    EXPECT_TRUE(SetFilePointerEx(file, oneGiBAndOne, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_EQ(Extract(), "zip file is empty or unreasonably large");

    const std::string emptyArchive = BuildZip({});
    for (const std::string& bytes : {std::string("P"), emptyArchive.substr(0, 21)}) {
        WriteFileBytes(archive, bytes);
        EXPECT_EQ(Extract(), "not a valid zip archive: not a ZIP archive") << bytes.size() << " bytes";
    }
    WriteFileBytes(archive, emptyArchive);
    EXPECT_EQ(Extract(), "zip archive is empty");

    std::string message;
    EXPECT_FALSE(ExtractZip(L"", target, nullptr, message));
    EXPECT_EQ(message.rfind("cannot open zip file (error ", 0), 0u) << message;
    EXPECT_TRUE(ReadTree(target).empty());
}

struct RefusedEntryCase {
    ZipTestEntry entry;
    const char* reason;
};

TEST_F(ExtractZipTest, DeletesTheFileOfAnEntryTheLibraryRefuses)
{
    const std::string text = SampleText(100000);
    ZipTestEntry badCrc = StoredEntry("sub/\x81.dll", text);
    badCrc.crcOverride = Crc32Of(text) ^ 1;
    ZipTestEntry cutShort = DeflatedEntry("sub/\x81.dll", text);
    cutShort.payload = DeflateRaw(text).substr(0, 4000);
    ZipTestEntry garbage = DeflatedEntry("sub/\x81.dll", text);
    garbage.payload = std::string(64, '\xff');
    const RefusedEntryCase cases[] = {
        {badCrc, "decompression failed or archive is corrupted"},
        {cutShort, "decompression failed or archive is corrupted"},
        {garbage, "decompression failed or archive is corrupted"},
        {EntryWith(StoredEntry("sub/\x81.dll", text), 0, 0x0001), "unsupported encryption"},
        {EntryWith(StoredEntry("sub/\x81.dll", text), 12, 0), "unsupported method"},
    };
    for (const RefusedEntryCase& refused : cases) {
        SCOPED_TRACE(refused.reason);
        // The empty entry of an unknown method is written, yet leaves the library's error code behind.
        WriteArchive({EntryWith(StoredEntry("odd.bin", ""), 99, 0), StoredEntry("before.txt", "b"), refused.entry,
                      StoredEntry("after.txt", "a")});
        EXPECT_EQ(Extract(), std::string("failed extracting sub\\\xC3\xBC.dll: ") + refused.reason);
        EXPECT_EQ(ReadTree(target), (Tree{{L"odd.bin", ""}, {L"before.txt", "b"}, {L"sub\\", ""}}));
        DeleteDirectoryContentsRecursive(target);
    }
}

TEST_F(ExtractZipTest, PostsProgressAfterEachFileEntry)
{
    struct ProgressCase {
        std::vector<ZipTestEntry> entries;
        std::vector<int> posted;
        Tree written;
    };
    const ProgressCase cases[] = {
        {{StoredEntry("a", "1"), DeflatedEntry("b", "2"), StoredEntry("c", "3")},
         {33, 66, 100},
         {{L"a", "1"}, {L"b", "2"}, {L"c", "3"}}},
        {{StoredEntry("a", "1"), StoredEntry("b", "2"), StoredEntry("c", "3"), StoredEntry("d/", "")},
         {25, 50, 75},
         {{L"a", "1"}, {L"b", "2"}, {L"c", "3"}, {L"d\\", ""}}},
        {{StoredEntry("d/", ""), StoredEntry("d/e/", "")}, {}, {{L"d\\", ""}, {L"d\\e\\", ""}}},
        {{StoredEntry("empty.txt", "")}, {100}, {{L"empty.txt", ""}}},
    };
    const HWND recorder = CreateRecorderWindow();
    ASSERT_NE(recorder, nullptr);
    for (const ProgressCase& progress : cases) {
        WriteArchive(progress.entries);
        EXPECT_EQ(Extract(recorder), "");
        EXPECT_EQ(ProgressValues(TakePosted(recorder)), progress.posted);
        EXPECT_EQ(ReadTree(target), progress.written);
        DeleteDirectoryContentsRecursive(target);
    }

    // Without a window nothing is posted, not even to the thread's own queue.
    WriteArchive(cases[0].entries);
    EXPECT_EQ(Extract(nullptr), "");
    MSG message = {};
    const HWND threadQueue = reinterpret_cast<HWND>(static_cast<INT_PTR>(-1));
    EXPECT_FALSE(PeekMessageW(&message, threadQueue, WM_UPDATER_PROGRESS, WM_UPDATER_PROGRESS, PM_REMOVE));
    DestroyWindow(recorder);
}

TEST_F(ExtractZipTest, ReportsTheLowestNumberedOfEntriesThatFailTogether)
{
    // The first failure shows only at the end of a large entry; the second fails at once, on another thread or on
    // this one. The first is reported, and nothing of the entries after it is left.
    const std::string large = SampleText(8 * 1048576);
    ZipTestEntry lateFailure = DeflatedEntry("late.dll", large);
    lateFailure.crcOverride = Crc32Of(large) ^ 1;
    ZipTestEntry garbage = DeflatedEntry("quick/garbage.dll", "g");
    garbage.payload = std::string(64, '\xff');
    ZipTestEntry badStored = StoredEntry("quick/stored.dll", "s");
    badStored.crcOverride = 0;
    for (const ZipTestEntry& second : {garbage, badStored, StoredEntry("../escape.dll", "e")}) {
        SCOPED_TRACE(second.name);
        WriteArchive({StoredEntry("before.txt", "b"), lateFailure, second,
                      DeflatedEntry("quick/after.dll", large.substr(0, 100000)), StoredEntry("after/", "")});
        EXPECT_EQ(Extract(), "failed extracting late.dll: decompression failed or archive is corrupted");
        EXPECT_EQ(ReadTree(target), (Tree{{L"before.txt", "b"}}));
        DeleteDirectoryContentsRecursive(target);
    }
}

TEST_F(ExtractZipTest, UnpacksMoreEntriesThanMayBeInFlightAtOnce)
{
    // Many more deflated entries than the pool holds at once, 34 MiB in all, large and small by turns so that they
    // finish out of order, with stored entries and subfolders between them.
    const std::string text = SampleText(2 * 1048576 + 64);
    std::vector<ZipTestEntry> entries;
    Tree written;
    const auto wide = [](const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); };
    for (int i = 0; i < 48; ++i) {
        const std::string subfolder = "d" + std::to_string(i % 4) + "/";
        if (i < 4) {
            entries.push_back(StoredEntry(subfolder, ""));
            written[wide(subfolder.substr(0, 2) + "\\")] = "";
        }
        const std::string name = subfolder + "f" + std::to_string(i);
        const std::string data = text.substr(i, i % 3 == 0 ? 2 * 1048576 : 1000 + i);
        entries.push_back(i % 7 == 6 ? StoredEntry(name, data) : DeflatedEntry(name, data));
        written[wide(subfolder.substr(0, 2) + "\\f" + std::to_string(i))] = data;
    }
    const HWND recorder = CreateRecorderWindow();
    ASSERT_NE(recorder, nullptr);
    WriteArchive(entries);
    EXPECT_EQ(Extract(recorder), "");
    EXPECT_EQ(ReadTree(target), written);
    // One value per file entry, in entry order, as unpacking one by one posts them.
    std::vector<int> posted;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name.back() != '/') {
            posted.push_back(static_cast<int>((i + 1) * 100.0 / entries.size()));
        }
    }
    EXPECT_EQ(ProgressValues(TakePosted(recorder)), posted);
    DestroyWindow(recorder);
}

TEST_F(ExtractZipTest, NamesFilesAndDirectoriesAsTheArchiveStoresThem)
{
    const std::string longName = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(200, 'c');
    ZipTestEntry attributeDirectory = StoredEntry("attribute-dir", "");
    attributeDirectory.externalAttributes = 0x10;
    WriteArchive({
        StoredEntry("\x81-oem.txt", "oem"),
        EntryWith(StoredEntry("\xC3\xBC-utf8.txt", "utf8"), 0, UTF8_NAME_FLAG),
        StoredEntry("\xC3\xBC-oem.txt", "oem pair"),
        StoredEntry(longName, "long"),
        StoredEntry("dup.txt", "first"),
        DeflatedEntry("dup.txt", "second"),
        StoredEntry("slash-dir/", ""),
        StoredEntry("backslash-dir\\", ""),
        attributeDirectory,
    });
    EXPECT_EQ(Extract(), "");

    const std::wstring a200(200, L'a');
    const std::wstring b200(200, L'b');
    EXPECT_EQ(ReadTree(target), (Tree{
                                    {L"\u00fc-oem.txt", "oem"},
                                    {L"\u00fc-utf8.txt", "utf8"},
                                    {L"\u251c\u255d-oem.txt", "oem pair"},
                                    {a200 + L"\\", ""},
                                    {a200 + L"\\" + b200 + L"\\", ""},
                                    {a200 + L"\\" + b200 + L"\\" + std::wstring(109, L'c'), "long"},
                                    {L"dup.txt", "second"},
                                    {L"slash-dir\\", ""},
                                    {L"backslash-dir\\", ""},
                                    {L"attribute-dir\\", ""},
                                }));
}

TEST_F(ExtractZipTest, SpellsFoldersAsTheFirstEntryThatNamesThem)
{
    // The deflated entry goes to the pool ahead of its turn while "x" is written, before "Data/Sub/a" has had its.
    WriteArchive({StoredEntry("x", "x"), StoredEntry("Data/Sub/a", "a"), DeflatedEntry("data/SUB/b", "b")});
    EXPECT_EQ(Extract(), "");
    EXPECT_EQ(
        ReadTree(target),
        (Tree{{L"x", "x"}, {L"Data\\", ""}, {L"Data\\Sub\\", ""}, {L"Data\\Sub\\a", "a"}, {L"Data\\Sub\\b", "b"}}));
}

TEST(ZipWriteCallback, AppendsInDeliveryOrderAndReportsAFailedWrite)
{
    const std::wstring folder = MakeTempFolder();
    const std::wstring path = folder + L"\\out.bin";
    ZipWriteContext context = {
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), true};
    EXPECT_EQ(ZipWriteCallback(&context, 40, "hello", 5), 5u);
    EXPECT_EQ(ZipWriteCallback(&context, 0, " world", 6), 6u);
    CloseHandle(context.file);
    EXPECT_TRUE(context.ok);
    EXPECT_EQ(ReadFileBytes(path), "hello world");

    context.file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(ZipWriteCallback(&context, 0, "more", 4), 0u);
    CloseHandle(context.file);
    EXPECT_FALSE(context.ok);
    EXPECT_EQ(ReadFileBytes(path), "hello world");
    RemoveTree(folder);
}

struct GatheredEntryCase {
    const wchar_t* name;
    size_t size;
    bool whole; // handed over in one piece, as stored data is, else in 32 KiB pieces as inflated data is
    bool writable;
};

TEST(ZipWriteCallback, AGatheringBufferReportsAFailedWriteForItsOwnEntryOnly)
{
    const std::wstring folder = MakeTempFolder();
    const std::string bytes = SampleText(3 * 1048576 + 12345);
    std::vector<char> buffer(ZIP_WRITE_BUFFER_BYTES);
    // Large entries are written as the buffer fills, small ones at the end of the entry; an unwritable entry between
    // good ones must fail alone.
    const GatheredEntryCase entries[] = {
        {L"large.bin", bytes.size(), false, true},     {L"large-unwritable.bin", bytes.size(), false, false},
        {L"stored.bin", bytes.size(), true, true},     {L"stored-unwritable.bin", bytes.size(), true, false},
        {L"small-unwritable.bin", 5000, false, false}, {L"small.bin", 5000, false, true},
    };
    for (const GatheredEntryCase& entry : entries) {
        const std::wstring path = folder + L"\\" + entry.name;
        WriteFileBytes(path, "old");
        ZipWriteContext context = {CreateFileW(path.c_str(), entry.writable ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                                   true, buffer.data()};
        const size_t piece = entry.whole ? entry.size : 32768;
        for (size_t at = 0; at < entry.size; at += piece) {
            const size_t length = std::min(piece, entry.size - at);
            if (ZipWriteCallback(&context, at, bytes.data() + at, length) != length) {
                break;
            }
        }
        EXPECT_EQ(FinishZipWrites(context), entry.writable) << Utf8(entry.name);
        CloseHandle(context.file);
        EXPECT_EQ(ReadFileBytes(path), entry.writable ? bytes.substr(0, entry.size) : "old") << Utf8(entry.name);
    }
    RemoveTree(folder);
}

} // namespace
