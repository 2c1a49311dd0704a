#include "archive/zipreader/zip_reader.h"

#include "zip_test_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Piece {
    uint64_t offset;
    std::string bytes;
    const void* where;
};

// Records every piece the reader hands over; can refuse one call by answering one byte short or long.
struct Sink {
    std::vector<Piece> pieces;
    size_t refuseCall = SIZE_MAX;
    bool answerLong = false;

    std::string Joined() const
    {
        std::string all;
        for (const Piece& piece : pieces) {
            all += piece.bytes;
        }
        return all;
    }
};

size_t CollectPiece(void* opaque, mz_uint64 offset, const void* data, size_t size)
{
    auto* sink = static_cast<Sink*>(opaque);
    const size_t call = sink->pieces.size();
    sink->pieces.push_back({offset, std::string(static_cast<const char*>(data), size), data});
    if (call != sink->refuseCall) {
        return size;
    }
    return sink->answerLong ? size + 1 : size - 1;
}

struct AllocationLog {
    size_t largest = 0;
    int live = 0;
    bool refuse = false;
};

void* LoggedAlloc(void* opaque, size_t items, size_t size)
{
    auto* log = static_cast<AllocationLog*>(opaque);
    if (log->refuse) {
        return nullptr;
    }
    log->largest = std::max(log->largest, items * size);
    ++log->live;
    return std::malloc(items * size);
}

void LoggedFree(void* opaque, void* address)
{
    if (address != nullptr) {
        --static_cast<AllocationLog*>(opaque)->live;
    }
    std::free(address);
}

const char* const CORRUPT_TEXT = "decompression failed or archive is corrupted";

class ZipReader : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (zip.m_pState != nullptr) {
            mz_zip_reader_end(&zip);
        }
    }

    bool Open(const std::string& bytes)
    {
        image = bytes;
        return mz_zip_reader_init_mem(&zip, image.data(), image.size(), 0) == MZ_TRUE;
    }

    bool Extract(mz_uint index, Sink& sink)
    {
        return mz_zip_reader_extract_to_callback(&zip, index, CollectPiece, &sink, 0) == MZ_TRUE;
    }

    mz_zip_archive_file_stat Stat(mz_uint index)
    {
        mz_zip_archive_file_stat stat{};
        EXPECT_TRUE(mz_zip_reader_file_stat(&zip, index, &stat));
        return stat;
    }

    std::string ErrorText() { return mz_zip_get_error_string(mz_zip_get_last_error(&zip)); }

    mz_zip_archive zip{};
    std::string image;
};

TEST_F(ZipReader, ImagesShorterThanAnEndRecordAreNotArchives)
{
    const std::string empty = BuildZip({});
    ASSERT_EQ(22u, empty.size());
    const std::string garbage(21, '\x50');
    for (size_t size = 0; size < 22; ++size) {
        for (const std::string* source : {&empty, &garbage}) {
            mz_zip_archive archive{};
            EXPECT_FALSE(mz_zip_reader_init_mem(&archive, source->data(), size, 0)) << size;
            EXPECT_STREQ("not a ZIP archive", mz_zip_get_error_string(mz_zip_get_last_error(&archive)));
            EXPECT_EQ(nullptr, archive.m_pState);
            EXPECT_EQ(MZ_ZIP_MODE_INVALID, archive.m_zip_mode);
        }
    }
    ASSERT_TRUE(Open(empty));
    EXPECT_EQ(0u, mz_zip_reader_get_num_files(&zip));
    EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&zip));
}

// One stored entry "a.txt" = "hello": central directory at 40 (51 bytes), end record at 91. With zip64 records the
// zip64 end record sits at 91 and its locator at 147.
constexpr size_t CD = 40;
constexpr size_t EOCD = 91;
constexpr size_t Z64 = 91;
constexpr size_t LOCATOR = 147;

struct BrokenImage {
    const char* what;
    bool zip64;
    std::function<void(std::string&)> damage;
    mz_zip_error code;
    const char* text;
};

TEST_F(ZipReader, DamagedDirectoriesAreRefusedWithTheirOwnError)
{
    const BrokenImage cases[] = {
        {"garbage", false, [](std::string& z) { z.assign(100, 'x'); }, MZ_ZIP_FAILED_FINDING_CENTRAL_DIR,
         "failed finding central directory"},
        {"end record cut", false, [](std::string& z) { z.pop_back(); }, MZ_ZIP_FAILED_FINDING_CENTRAL_DIR,
         "failed finding central directory"},
        {"directory outside", false, [](std::string& z) { PutLe32(z, EOCD + 16, 1000); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"directory too small", false, [](std::string& z) { PutLe32(z, EOCD + 12, 45); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"counts differ", false, [](std::string& z) { PutLe16(z, EOCD + 8, 2); }, MZ_ZIP_UNSUPPORTED_MULTIDISK,
         "unsupported multidisk archive"},
        {"split", false, [](std::string& z) { PutLe16(z, EOCD + 6, 1); }, MZ_ZIP_UNSUPPORTED_MULTIDISK,
         "unsupported multidisk archive"},
        {"central signature", false, [](std::string& z) { z[CD] = 'X'; }, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
         "invalid header or archive is corrupted"},
        {"data outside", false,
         [](std::string& z) {
             PutLe32(z, CD + 20, 1000);
             PutLe32(z, CD + 24, 1000);
         },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"masked local header", false, [](std::string& z) { PutLe16(z, CD + 8, 0x2000); },
         MZ_ZIP_UNSUPPORTED_ENCRYPTION, "unsupported encryption"},
        {"stored sizes differ at time zero", false,
         [](std::string& z) {
             PutLe16(z, CD + 12, 0);
             PutLe32(z, CD + 24, 6);
         },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"no data for a size", false, [](std::string& z) { PutLe32(z, CD + 20, 0); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"other disk", false, [](std::string& z) { PutLe16(z, CD + 34, 2); }, MZ_ZIP_UNSUPPORTED_MULTIDISK,
         "unsupported multidisk archive"},
        {"name overruns", false, [](std::string& z) { PutLe16(z, CD + 28, 200); }, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
         "invalid header or archive is corrupted"},
        {"zip64 record outside", true, [](std::string& z) { PutLe64(z, LOCATOR + 8, 1000); }, MZ_ZIP_NOT_AN_ARCHIVE,
         "not a ZIP archive"},
        {"zip64 record short", true, [](std::string& z) { PutLe64(z, Z64 + 4, 43); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "invalid header or archive is corrupted"},
        {"zip64 no disks", true, [](std::string& z) { PutLe32(z, LOCATOR + 16, 0); }, MZ_ZIP_UNSUPPORTED_MULTIDISK,
         "unsupported multidisk archive"},
        {"zip64 count", true, [](std::string& z) { PutLe64(z, Z64 + 32, 1ull << 32); }, MZ_ZIP_TOO_MANY_FILES,
         "too many files"},
        {"zip64 directory size", true, [](std::string& z) { PutLe64(z, Z64 + 40, 1ull << 32); },
         MZ_ZIP_UNSUPPORTED_CDIR_SIZE, "unsupported central directory size"},
        {"zip64 offset wraps", true, [](std::string& z) { PutLe64(z, Z64 + 48, ~0ull - 20); }, MZ_ZIP_FILE_READ_FAILED,
         "file read failed"},
    };
    for (const BrokenImage& broken : cases) {
        ZipTestOptions options;
        options.zip64Directory = broken.zip64;
        std::string bytes = BuildZip({StoredEntry("a.txt", "hello")}, options);
        ASSERT_EQ(broken.zip64 ? 189u : 113u, bytes.size());
        broken.damage(bytes);
        mz_zip_archive archive{};
        EXPECT_FALSE(mz_zip_reader_init_mem(&archive, bytes.data(), bytes.size(), 0)) << broken.what;
        EXPECT_EQ(broken.code, mz_zip_peek_last_error(&archive)) << broken.what;
        EXPECT_STREQ(broken.text, mz_zip_get_error_string(mz_zip_get_last_error(&archive))) << broken.what;
        EXPECT_EQ(nullptr, archive.m_pState) << broken.what;
    }
}

TEST_F(ZipReader, FailedOpenKeepsTheCountReachedAndAllowsAnotherOpen)
{
    ZipTestOptions options;
    options.zip64Directory = true;
    std::string bytes = BuildZip({StoredEntry("a.txt", "hello")}, options);
    PutLe64(bytes, Z64 + 4, 43);
    ASSERT_FALSE(mz_zip_reader_init_mem(&zip, bytes.data(), bytes.size(), 0));
    EXPECT_EQ(65535u, mz_zip_reader_get_num_files(&zip));
    EXPECT_FALSE(mz_zip_reader_end(&zip));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    ASSERT_TRUE(Open(BuildZip({StoredEntry("a", "1"), StoredEntry("b", "2")})));
    EXPECT_EQ(2u, mz_zip_reader_get_num_files(&zip));
}

TEST_F(ZipReader, OpenAndEndFollowTheArchiveLifecycle)
{
    ASSERT_TRUE(Open(BuildZip({StoredEntry("a", "1"), StoredEntry("b", "2")})));
    const std::string other = BuildZip({StoredEntry("c", "3")});
    EXPECT_FALSE(mz_zip_reader_init_mem(&zip, other.data(), other.size(), 0));
    EXPECT_EQ("invalid parameter", ErrorText());
    EXPECT_STREQ("b", Stat(1).m_filename);

    EXPECT_TRUE(mz_zip_reader_end(&zip));
    EXPECT_FALSE(mz_zip_reader_end(&zip));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    mz_zip_archive_file_stat stat{};
    EXPECT_FALSE(mz_zip_reader_file_stat(&zip, 0, &stat));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    EXPECT_EQ(2u, mz_zip_reader_get_num_files(&zip));
    ASSERT_TRUE(mz_zip_reader_init_mem(&zip, other.data(), other.size(), 0));
    EXPECT_EQ(1u, mz_zip_reader_get_num_files(&zip));

    Sink sink;
    EXPECT_FALSE(mz_zip_reader_extract_to_callback(&zip, 0, nullptr, &sink, 0));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    EXPECT_FALSE(mz_zip_reader_init_mem(&zip, nullptr, 100, 0));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    EXPECT_FALSE(mz_zip_reader_init_mem(nullptr, other.data(), other.size(), 0));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(nullptr));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_peek_last_error(nullptr));
    EXPECT_FALSE(mz_zip_reader_end(nullptr));
    EXPECT_EQ(0u, mz_zip_reader_get_num_files(nullptr));
}

TEST_F(ZipReader, FindsTheEndRecordBehindCommentsAndAppendedBytes)
{
    const struct {
        size_t commentSize;
        size_t trailingSize;
        bool opens;
    } cases[] = {{5000, 0, true}, {65535, 0, true}, {0, 65535, true}, {0, 69584 - 22, true}, {0, 69584, false}};
    for (const auto& layout : cases) {
        ZipTestOptions options;
        options.comment.assign(layout.commentSize, 'c');
        options.trailing.assign(layout.trailingSize, 't');
        const std::string bytes = BuildZip({StoredEntry("a.txt", "hello")}, options);
        mz_zip_archive archive{};
        EXPECT_EQ(layout.opens, mz_zip_reader_init_mem(&archive, bytes.data(), bytes.size(), 0) == MZ_TRUE)
            << layout.commentSize << " " << layout.trailingSize;
        if (layout.opens) {
            EXPECT_EQ(1u, mz_zip_reader_get_num_files(&archive));
            EXPECT_TRUE(mz_zip_reader_end(&archive));
        } else {
            EXPECT_EQ(MZ_ZIP_FAILED_FINDING_CENTRAL_DIR, mz_zip_get_last_error(&archive));
        }
    }
}

TEST_F(ZipReader, StoredEntryArrivesInOnePiecePointingIntoTheImage)
{
    const std::string data = SampleText(100000);
    ASSERT_TRUE(Open(BuildZip({StoredEntry("big.bin", data)})));
    Sink sink;
    ASSERT_TRUE(Extract(0, sink));
    ASSERT_EQ(1u, sink.pieces.size());
    EXPECT_EQ(0u, sink.pieces[0].offset);
    EXPECT_EQ(static_cast<const void*>(image.data() + 30 + 7), sink.pieces[0].where);
    EXPECT_EQ(data, sink.Joined());
}

TEST_F(ZipReader, DeflatedEntryArrivesInPiecesEndingAtRingBoundaries)
{
    const struct {
        size_t size;
        std::vector<size_t> pieces;
    } cases[] = {{100000, {32768, 32768, 32768, 1696}}, {65536, {32768, 32768}}, {10, {10}}};
    for (const auto& expected : cases) {
        const std::string data = SampleText(expected.size);
        ASSERT_TRUE(Open(BuildZip({DeflatedEntry("d.txt", data)})));
        Sink sink;
        EXPECT_TRUE(Extract(0, sink));
        EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&zip));
        std::vector<size_t> sizes;
        uint64_t next = 0;
        for (const Piece& piece : sink.pieces) {
            EXPECT_EQ(next, piece.offset);
            next += piece.bytes.size();
            sizes.push_back(piece.bytes.size());
        }
        EXPECT_EQ(expected.pieces, sizes);
        EXPECT_EQ(data, sink.Joined());
        mz_zip_reader_end(&zip);
    }
}

TEST_F(ZipReader, EmptyEntriesSucceedWithoutACallback)
{
    ZipTestEntry trailingJunk = DeflatedEntry("junk.txt", "after the stream");
    trailingJunk.payload = DeflateRaw(trailingJunk.data) + "junk";
    ASSERT_TRUE(Open(BuildZip({StoredEntry("s", ""), DeflatedEntry("d", ""), trailingJunk})));
    for (mz_uint index = 0; index < 2; ++index) {
        Sink sink;
        EXPECT_TRUE(Extract(index, sink));
        EXPECT_TRUE(sink.pieces.empty());
    }
    Sink sink;
    EXPECT_TRUE(Extract(2, sink));
    EXPECT_EQ("after the stream", sink.Joined());
    EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&zip));
}

struct Mismatch {
    const char* what;
    ZipTestEntry entry;
    mz_zip_error code;
    size_t delivered;
};

TEST_F(ZipReader, SizeAndCrcMismatchesFailAfterTheBytesWereDelivered)
{
    const std::string data = SampleText(40000);
    std::vector<Mismatch> cases;
    cases.push_back({"stored crc", StoredEntry("s", data), MZ_ZIP_DECOMPRESSION_FAILED, 40000});
    cases.back().entry.crcOverride = 0x12345678;
    cases.push_back({"deflated crc", DeflatedEntry("d", data), MZ_ZIP_DECOMPRESSION_FAILED, 40000});
    cases.back().entry.crcOverride = 0x12345678;
    cases.push_back({"declared larger", DeflatedEntry("d", data), MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, 40000});
    cases.back().entry.uncompressedSizeOverride = 50000;
    cases.push_back({"declared smaller", DeflatedEntry("d", data), MZ_ZIP_DECOMPRESSION_FAILED, 32768});
    cases.back().entry.uncompressedSizeOverride = 1000;
    cases.push_back({"stored sizes differ", StoredEntry("s", "abcdef"), MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, 6});
    cases.back().entry.uncompressedSizeOverride = 3;
    for (const Mismatch& mismatch : cases) {
        ASSERT_TRUE(Open(BuildZip({mismatch.entry}))) << mismatch.what;
        Sink sink;
        EXPECT_FALSE(Extract(0, sink)) << mismatch.what;
        EXPECT_EQ(mismatch.code, mz_zip_get_last_error(&zip)) << mismatch.what;
        EXPECT_EQ(mismatch.entry.data.substr(0, mismatch.delivered), sink.Joined()) << mismatch.what;
        mz_zip_reader_end(&zip);
    }
    EXPECT_STREQ(CORRUPT_TEXT, mz_zip_get_error_string(MZ_ZIP_DECOMPRESSION_FAILED));
    EXPECT_STREQ("unexpected decompressed size", mz_zip_get_error_string(MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE));
}

TEST_F(ZipReader, BrokenDeflateStreamsFailWithoutPassingUndecodedBytes)
{
    const std::string data = SampleText(100000);
    const std::string stream = DeflateRaw(data);
    const struct {
        const char* what;
        std::string payload;
    } cases[] = {
        {"match before any output", std::string("\x03\x02\x00", 3)},
        {"length code 286", std::string("\x1b\x03", 2)},
        {"block type 3", std::string("\x07\x00", 2)},
        {"stored lengths disagree", std::string("\x01\x05\x00\x05\x00hello", 10)},
        {"cut in half", stream.substr(0, stream.size() / 2)},
        {"one byte", stream.substr(0, 1)},
    };
    for (const auto& broken : cases) {
        ZipTestEntry entry = DeflatedEntry("bad.txt", data);
        entry.payload = broken.payload;
        ASSERT_TRUE(Open(BuildZip({entry}))) << broken.what;
        Sink sink;
        EXPECT_FALSE(Extract(0, sink)) << broken.what;
        EXPECT_EQ(CORRUPT_TEXT, ErrorText()) << broken.what;
        const std::string delivered = sink.Joined();
        EXPECT_LT(delivered.size(), data.size()) << broken.what;
        EXPECT_EQ(data.substr(0, delivered.size()), delivered) << broken.what;
        mz_zip_reader_end(&zip);
    }
}

TEST_F(ZipReader, UnsupportedEntriesSayWhy)
{
    const struct {
        uint16_t flags;
        uint16_t method;
        bool encrypted;
        mz_zip_error statError;
        mz_zip_error extractError;
    } cases[] = {
        {0x0001, 0, true, MZ_ZIP_UNSUPPORTED_ENCRYPTION, MZ_ZIP_UNSUPPORTED_ENCRYPTION},
        {0x0040, 8, true, MZ_ZIP_UNSUPPORTED_ENCRYPTION, MZ_ZIP_UNSUPPORTED_ENCRYPTION},
        {0x0020, 8, false, MZ_ZIP_UNSUPPORTED_FEATURE, MZ_ZIP_UNSUPPORTED_ENCRYPTION},
        {0x0000, 12, false, MZ_ZIP_UNSUPPORTED_METHOD, MZ_ZIP_UNSUPPORTED_METHOD},
        {0x0001, 14, true, MZ_ZIP_UNSUPPORTED_METHOD, MZ_ZIP_UNSUPPORTED_ENCRYPTION},
    };
    for (const auto& entryKind : cases) {
        ZipTestEntry entry = StoredEntry("x.bin", "opaque bytes");
        entry.flags = entryKind.flags;
        entry.method = entryKind.method;
        ZipTestEntry empty = entry;
        empty.data.clear();
        empty.payload = std::string();
        ASSERT_TRUE(Open(BuildZip({entry, empty})));
        const mz_zip_archive_file_stat stat = Stat(0);
        EXPECT_EQ(entryKind.encrypted, stat.m_is_encrypted == MZ_TRUE);
        EXPECT_EQ(entryKind.encrypted, mz_zip_reader_is_file_encrypted(&zip, 0) == MZ_TRUE);
        EXPECT_FALSE(stat.m_is_supported);
        EXPECT_EQ(entryKind.statError, mz_zip_get_last_error(&zip)) << entryKind.flags << " " << entryKind.method;
        Sink sink;
        EXPECT_FALSE(Extract(0, sink));
        EXPECT_EQ(entryKind.extractError, mz_zip_get_last_error(&zip)) << entryKind.flags << " " << entryKind.method;
        EXPECT_TRUE(sink.pieces.empty());
        EXPECT_TRUE(Extract(1, sink)); // nothing to decode, so nothing refused; the stat's finding stays
        EXPECT_EQ(entryKind.statError, mz_zip_get_last_error(&zip));
        mz_zip_reader_end(&zip);
    }
    EXPECT_STREQ("unsupported encryption", mz_zip_get_error_string(MZ_ZIP_UNSUPPORTED_ENCRYPTION));
    EXPECT_STREQ("unsupported method", mz_zip_get_error_string(MZ_ZIP_UNSUPPORTED_METHOD));
}

TEST_F(ZipReader, DirectoriesEndInSlashOrCarryTheDosAttribute)
{
    const struct {
        const char* name;
        uint32_t attributes;
        bool directory;
    } cases[] = {
        {"docs/", 0, true},    {"docs\\", 0, false}, {"docs", 0x10, true},  {"docs", 0x41ED0000, false},
        {"docs", 0x20, false}, {"", 0, false},       {"a/b.txt", 0, false}, {"a/b/", 0x20, true},
    };
    for (const auto& rule : cases) {
        ZipTestEntry entry = StoredEntry(rule.name, "data in it");
        entry.externalAttributes = rule.attributes;
        ASSERT_TRUE(Open(BuildZip({entry})));
        EXPECT_EQ(rule.directory, mz_zip_reader_is_file_a_directory(&zip, 0) == MZ_TRUE) << rule.name;
        EXPECT_EQ(rule.directory, Stat(0).m_is_directory == MZ_TRUE) << rule.name;
        Sink sink;
        EXPECT_TRUE(Extract(0, sink));
        EXPECT_EQ(rule.directory ? "" : "data in it", sink.Joined()) << rule.name;
        mz_zip_reader_end(&zip);
    }
}

TEST_F(ZipReader, NamesAndCommentsAreRawBytesCutTo511)
{
    ZipTestEntry longComment = StoredEntry(std::string(600, 'n'), "1");
    longComment.comment.assign(700, 'c');
    ZipTestEntry utf8 = StoredEntry("caf\x81.txt", "3");
    utf8.flags = 0x0800;
    ASSERT_TRUE(Open(BuildZip({longComment, StoredEntry(std::string(511, 'd') + "/", ""), utf8,
                               StoredEntry("caf\x81.txt", "4"), StoredEntry(std::string("a\0b", 3), "5")})));
    mz_zip_archive_file_stat stat = Stat(0);
    EXPECT_EQ(std::string(511, 'n'), stat.m_filename);
    EXPECT_EQ(511u, stat.m_comment_size);
    EXPECT_EQ(std::string(511, 'c'), stat.m_comment);
    stat = Stat(1);
    EXPECT_EQ(std::string(511, 'd'), stat.m_filename);
    EXPECT_TRUE(stat.m_is_directory);
    stat = Stat(2);
    EXPECT_STREQ("caf\x81.txt", stat.m_filename);
    EXPECT_EQ(0x0800, stat.m_bit_flag);
    stat = Stat(3);
    EXPECT_STREQ("caf\x81.txt", stat.m_filename);
    EXPECT_EQ(0, stat.m_bit_flag);
    stat = Stat(4);
    EXPECT_EQ(0, std::memcmp("a\0b", stat.m_filename, 4));
}

TEST_F(ZipReader, StatReportsTheCentralRecord)
{
    ZipTestEntry first = StoredEntry("first.txt", "one");
    ZipTestEntry second = DeflatedEntry("second.txt", SampleText(5000));
    second.versionMadeBy = 0x031E;
    second.internalAttributes = 1;
    second.externalAttributes = 0x81A40020;
    second.dosTime = 0x7A3C; // 15:17:56
    second.dosDate = 0x5A6F; // 2025-03-15
    ASSERT_TRUE(Open(BuildZip({first, second})));
    const mz_zip_archive_file_stat stat = Stat(1);
    EXPECT_EQ(1u, stat.m_file_index);
    EXPECT_EQ(46u + 9, stat.m_central_dir_ofs);
    EXPECT_EQ(30u + 9 + 3, stat.m_local_header_ofs);
    EXPECT_EQ(0x031E, stat.m_version_made_by);
    EXPECT_EQ(20, stat.m_version_needed);
    EXPECT_EQ(8, stat.m_method);
    EXPECT_EQ(Crc32Of(second.data), stat.m_crc32);
    EXPECT_EQ(DeflateRaw(second.data).size(), stat.m_comp_size);
    EXPECT_EQ(5000u, stat.m_uncomp_size);
    EXPECT_EQ(1, stat.m_internal_attr);
    EXPECT_EQ(0x81A40020u, stat.m_external_attr);
    EXPECT_TRUE(stat.m_is_supported);
    const std::tm* local = std::localtime(&stat.m_time);
    ASSERT_NE(nullptr, local);
    EXPECT_EQ(std::vector<int>({2025, 3, 15, 15, 17, 56}),
              std::vector<int>({local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                                local->tm_sec}));
    EXPECT_EQ(0u, Stat(0).m_central_dir_ofs);
}

TEST_F(ZipReader, Zip64RecordsAndExtraFieldsGiveCountsSizesAndOffsets)
{
    ZipTestEntry stored = StoredEntry("s.txt", "zip64 stored");
    stored.zip64 = true;
    ZipTestEntry described = DeflatedEntry("d.txt", SampleText(70000));
    described.zip64 = true;
    described.dataDescriptor = true;
    ZipTestOptions options;
    options.zip64Directory = true;
    ASSERT_TRUE(Open(BuildZip({stored, described}, options)));
    EXPECT_EQ(2u, mz_zip_reader_get_num_files(&zip));
    const size_t secondHeaderOfs = 30 + 5 + 20 + stored.data.size();
    const size_t directoryOfs = secondHeaderOfs + 30 + 5 + 20 + DeflateRaw(described.data).size() + 24;
    EXPECT_EQ(directoryOfs, zip.m_central_directory_file_ofs);
    const mz_zip_archive_file_stat stat = Stat(1);
    EXPECT_EQ(secondHeaderOfs, stat.m_local_header_ofs);
    EXPECT_EQ(70000u, stat.m_uncomp_size);
    EXPECT_EQ(DeflateRaw(described.data).size(), stat.m_comp_size);
    for (mz_uint index = 0; index < 2; ++index) {
        Sink sink;
        EXPECT_TRUE(Extract(index, sink));
        EXPECT_EQ(index == 0 ? stored.data : described.data, sink.Joined());
    }
}

TEST_F(ZipReader, MissingOrShortZip64FieldsAreCaught)
{
    ZipTestEntry missing = StoredEntry("missing", "data");
    missing.compressedSizeOverride = 0xFFFFFFFF;
    missing.uncompressedSizeOverride = 0xFFFFFFFF;
    ZipTestEntry shortField = missing;
    shortField.name = "short";
    shortField.centralExtra = std::string("\x01\x00\x0c\x00", 4) + std::string(12, '\0');
    ASSERT_TRUE(Open(BuildZip({missing, shortField})));
    EXPECT_EQ(0xFFFFFFFFu, Stat(0).m_comp_size);
    Sink sink;
    EXPECT_FALSE(Extract(0, sink));
    EXPECT_EQ(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, mz_zip_get_last_error(&zip));
    mz_zip_archive_file_stat stat{};
    EXPECT_FALSE(mz_zip_reader_file_stat(&zip, 1, &stat));
    EXPECT_EQ(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, mz_zip_get_last_error(&zip));
    EXPECT_FALSE(Extract(1, sink));
    EXPECT_EQ(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, mz_zip_get_last_error(&zip));
    EXPECT_TRUE(sink.pieces.empty());

    ZipTestEntry overrun = missing;
    overrun.centralExtra = std::string("\x01\x00\x30\x00", 4) + std::string(8, '\0');
    const std::string bytes = BuildZip({overrun});
    mz_zip_archive archive{};
    EXPECT_FALSE(mz_zip_reader_init_mem(&archive, bytes.data(), bytes.size(), 0));
    EXPECT_EQ(MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, mz_zip_get_last_error(&archive));
}

TEST_F(ZipReader, DataDescriptorEntriesAndDuplicateNamesExtract)
{
    ZipTestEntry stored = StoredEntry("same.txt", "stored behind a descriptor");
    stored.dataDescriptor = true;
    ZipTestEntry deflated = DeflatedEntry("same.txt", SampleText(3000));
    deflated.dataDescriptor = true;
    ASSERT_TRUE(Open(BuildZip({stored, deflated})));
    for (mz_uint index = 0; index < 2; ++index) {
        Sink sink;
        EXPECT_TRUE(Extract(index, sink));
        EXPECT_EQ(index == 0 ? stored.data : deflated.data, sink.Joined());
        EXPECT_STREQ("same.txt", Stat(index).m_filename);
    }
}

TEST_F(ZipReader, GetClearsTheErrorPeekDoesNot)
{
    ASSERT_TRUE(Open(BuildZip({StoredEntry("a", "1")})));
    EXPECT_FALSE(mz_zip_reader_is_file_a_directory(&zip, 1));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_peek_last_error(&zip));
    Stat(0); // success does not clear it
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_peek_last_error(&zip));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
    EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&zip));
    EXPECT_EQ("no error", ErrorText());

    mz_zip_archive_file_stat untouched{};
    untouched.m_file_index = 77;
    EXPECT_FALSE(mz_zip_reader_file_stat(&zip, 5, &untouched));
    EXPECT_EQ(77u, untouched.m_file_index);
    EXPECT_FALSE(mz_zip_reader_file_stat(&zip, 0, nullptr));
    EXPECT_FALSE(mz_zip_reader_is_file_supported(&zip, 1));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&zip));
}

TEST_F(ZipReader, RefusedCallbackStopsTheExtraction)
{
    const std::string data = SampleText(100000);
    const struct {
        bool deflated;
        size_t refuseCall;
        bool answerLong;
    } cases[] = {{true, 1, false}, {true, 0, true}, {false, 0, false}, {false, 0, true}};
    for (const auto& refusal : cases) {
        ASSERT_TRUE(Open(BuildZip({refusal.deflated ? DeflatedEntry("a", data) : StoredEntry("a", data)})));
        Sink sink;
        sink.refuseCall = refusal.refuseCall;
        sink.answerLong = refusal.answerLong;
        EXPECT_FALSE(Extract(0, sink));
        EXPECT_EQ("write callback failed", ErrorText());
        EXPECT_EQ(refusal.refuseCall + 1, sink.pieces.size());
        mz_zip_reader_end(&zip);
    }
}

TEST_F(ZipReader, LocalHeadersAreCheckedAtExtraction)
{
    ZipTestEntry far = StoredEntry("far", "x");
    far.zip64 = true;
    far.localHeaderOffsetOverride = 1ull << 40;
    ZipTestEntry huge = StoredEntry("huge", "abc");
    huge.zip64 = true;
    huge.compressedSizeOverride = ~0ull - 15;
    std::string bytes = BuildZip({StoredEntry("plain", "y"), far, huge});
    bytes[0] = 'Q';
    ASSERT_TRUE(Open(bytes));
    const mz_zip_error expected[] = {MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, MZ_ZIP_FILE_READ_FAILED,
                                     MZ_ZIP_INVALID_HEADER_OR_CORRUPTED};
    for (mz_uint index = 0; index < 3; ++index) {
        Sink sink;
        EXPECT_FALSE(Extract(index, sink));
        EXPECT_EQ(expected[index], mz_zip_get_last_error(&zip)) << index;
        EXPECT_TRUE(sink.pieces.empty());
    }
}

TEST_F(ZipReader, HostileSizesNeitherAllocateBeyondTheImageNorLeak)
{
    AllocationLog log;
    const auto useLog = [&log](mz_zip_archive& archive) {
        archive.m_pAlloc = LoggedAlloc;
        archive.m_pFree = LoggedFree;
        archive.m_pAlloc_opaque = &log;
    };
    ZipTestOptions options;
    options.zip64Directory = true;
    const std::string small = BuildZip({StoredEntry("a.txt", "hello")}, options);
    const struct {
        uint64_t count;
        uint64_t directorySize;
        uint64_t directoryOfs;
        mz_zip_error code;
    } claims[] = {
        {0xFFFFFFFF, 0xFFFFFFFF, CD, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED},
        {1, 0xFFFFFFFF, CD, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED},
        {1, 0xFFFFFFFF, ~0ull - 0xFFFFFFFF + 10, MZ_ZIP_FILE_READ_FAILED},
    };
    for (const auto& claim : claims) {
        std::string bytes = small;
        PutLe64(bytes, Z64 + 24, claim.count);
        PutLe64(bytes, Z64 + 32, claim.count);
        PutLe64(bytes, Z64 + 40, claim.directorySize);
        PutLe64(bytes, Z64 + 48, claim.directoryOfs);
        mz_zip_archive archive{};
        useLog(archive);
        EXPECT_FALSE(mz_zip_reader_init_mem(&archive, bytes.data(), bytes.size(), 0));
        EXPECT_EQ(claim.code, mz_zip_get_last_error(&archive));
        EXPECT_EQ(0, log.live);
    }
    EXPECT_LE(log.largest, small.size());

    ZipTestEntry bomb = DeflatedEntry("bomb", SampleText(50000));
    bomb.zip64 = true;
    bomb.uncompressedSizeOverride = ~0ull;
    useLog(zip);
    ASSERT_TRUE(Open(BuildZip({bomb})));
    Sink sink;
    EXPECT_FALSE(Extract(0, sink));
    EXPECT_EQ(MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, mz_zip_get_last_error(&zip));
    EXPECT_EQ(bomb.data, sink.Joined());
    EXPECT_LE(log.largest, 65536u);
    EXPECT_TRUE(mz_zip_reader_end(&zip));
    EXPECT_EQ(0, log.live);

    log.refuse = true;
    EXPECT_FALSE(Open(small));
    EXPECT_EQ("allocation failed", ErrorText());
    EXPECT_EQ(MZ_ZIP_MODE_INVALID, zip.m_zip_mode);
}

TEST_F(ZipReader, ReadersSharingADirectoryCopyNothingAndKeepTheirOwnErrors)
{
    AllocationLog log;
    zip.m_pAlloc = LoggedAlloc;
    zip.m_pFree = LoggedFree;
    zip.m_pAlloc_opaque = &log;
    std::vector<ZipTestEntry> entries;
    for (int i = 0; i < 200; ++i) {
        entries.push_back(DeflatedEntry("folder/entry" + std::to_string(i), SampleText(1000 + i)));
    }
    ASSERT_TRUE(Open(BuildZip(entries)));
    const int sourceBlocks = log.live;
    log.largest = 0;
    mz_zip_archive shared[2] = {};
    for (mz_zip_archive& reader : shared) {
        ASSERT_TRUE(ZipReaderShareDirectory(&reader, &zip));
    }
    EXPECT_EQ(log.live, sourceBlocks + 2);
    EXPECT_LT(log.largest, 200u); // no copy of a directory of about 10 KiB, only a reader's own small state

    mz_zip_archive_file_stat stat{};
    EXPECT_FALSE(mz_zip_reader_file_stat(&shared[0], 200, &stat));
    EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&zip));
    EXPECT_EQ(MZ_ZIP_NO_ERROR, mz_zip_peek_last_error(&shared[1]));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&shared[0]));
    ASSERT_TRUE(mz_zip_reader_file_stat(&shared[1], 199, &stat));
    EXPECT_STREQ("folder/entry199", stat.m_filename);
    Sink sink;
    EXPECT_TRUE(mz_zip_reader_extract_to_callback(&shared[1], 199, CollectPiece, &sink, 0));
    EXPECT_EQ(entries[199].data, sink.Joined());

    EXPECT_FALSE(ZipReaderShareDirectory(&shared[0], &zip));
    EXPECT_EQ(MZ_ZIP_INVALID_PARAMETER, mz_zip_get_last_error(&shared[0]));
    for (mz_zip_archive& reader : shared) {
        EXPECT_TRUE(mz_zip_reader_end(&reader));
    }
    EXPECT_EQ(log.live, sourceBlocks);
    EXPECT_STREQ("folder/entry0", Stat(0).m_filename);
    EXPECT_TRUE(mz_zip_reader_end(&zip));
    EXPECT_EQ(0, log.live);
    mz_zip_archive late{};
    EXPECT_FALSE(ZipReaderShareDirectory(&late, &zip));
    EXPECT_EQ(MZ_ZIP_MODE_INVALID, late.m_zip_mode);
}

TEST(ZipReaderErrors, CodesWithoutATextAreUnknown)
{
    EXPECT_STREQ("CRC-32 check failed", mz_zip_get_error_string(MZ_ZIP_CRC_CHECK_FAILED));
    EXPECT_STREQ("total errors", mz_zip_get_error_string(MZ_ZIP_TOTAL_ERRORS));
    EXPECT_STREQ("unknown error", mz_zip_get_error_string(static_cast<mz_zip_error>(MZ_ZIP_TOTAL_ERRORS + 1)));
}

} // namespace
