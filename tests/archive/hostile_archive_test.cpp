#include "archive/zipreader/zip_reader.h"

#include "zip_test_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Archives built to mislead the reader: entries that share or overlap their bytes, directories and headers that
// point past the image, sizes at the top of their 32- and 64-bit ranges, zip64 records that lie, and local headers
// that disagree with the central ones. Each must fail with its own error, or hand over only bytes that are really
// in the image, and no allocation may be sized by what the archive claims.

namespace {

// The largest buffer the reader may need whatever an archive says: its output ring, and zlib's window, both 32 KiB.
constexpr size_t FIXED_BUFFER_BYTES = 32768;

struct Heap {
    std::map<void*, size_t> blocks;
    size_t largest = 0;
};

void* CountingAlloc(void* opaque, size_t items, size_t size)
{
    auto* heap = static_cast<Heap*>(opaque);
    if (size != 0 && items > SIZE_MAX / size) {
        ADD_FAILURE() << "allocation size overflows: " << items << " x " << size;
        return nullptr;
    }
    heap->largest = std::max(heap->largest, items * size);
    void* block = std::malloc(items * size == 0 ? 1 : items * size);
    heap->blocks[block] = items * size;
    return block;
}

void CountingFree(void* opaque, void* address)
{
    if (address != nullptr) {
        EXPECT_EQ(1u, static_cast<Heap*>(opaque)->blocks.erase(address));
        std::free(address);
    }
}

size_t Keep(void* opaque, mz_uint64, const void* data, size_t size)
{
    static_cast<std::string*>(opaque)->append(static_cast<const char*>(data), size);
    return size;
}

struct Outcome {
    bool ok;
    mz_zip_error error;
    std::string bytes;
};

class HostileArchive : public ::testing::Test {
protected:
    void TearDown() override
    {
        Close();
        EXPECT_TRUE(heap.blocks.empty()) << heap.blocks.size() << " blocks still held";
        EXPECT_LE(heap.largest, std::max(largestImage, FIXED_BUFFER_BYTES));
    }

    // MZ_ZIP_NO_ERROR when bytes open as an archive, otherwise the error the open left.
    mz_zip_error Open(const std::string& bytes)
    {
        Close();
        image = bytes;
        largestImage = std::max(largestImage, image.size());
        zip = mz_zip_archive{};
        zip.m_pAlloc = CountingAlloc;
        zip.m_pFree = CountingFree;
        zip.m_pAlloc_opaque = &heap;
        if (mz_zip_reader_init_mem(&zip, image.data(), image.size(), 0)) {
            return MZ_ZIP_NO_ERROR;
        }
        EXPECT_TRUE(heap.blocks.empty()) << "a refused open keeps memory";
        return mz_zip_get_last_error(&zip);
    }

    void Close()
    {
        if (zip.m_pState != nullptr) {
            EXPECT_TRUE(mz_zip_reader_end(&zip));
        }
    }

    mz_zip_archive_file_stat Stat(mz_uint index)
    {
        mz_zip_archive_file_stat stat{};
        EXPECT_TRUE(mz_zip_reader_file_stat(&zip, index, &stat));
        return stat;
    }

    // The error is read from a slot cleared first, so it is this extraction's and not a stat's left behind.
    Outcome Extract(mz_uint index)
    {
        mz_zip_get_last_error(&zip);
        Outcome outcome{};
        outcome.ok = mz_zip_reader_extract_to_callback(&zip, index, Keep, &outcome.bytes, 0) == MZ_TRUE;
        outcome.error = mz_zip_get_last_error(&zip);
        return outcome;
    }

    Heap heap;
    size_t largestImage = 0;
    mz_zip_archive zip{};
    std::string image;
};

// An entry that names bytes of an earlier one: no data of its own in the archive, only central values.
ZipTestEntry Alias(const std::string& name, const ZipTestEntry& target, uint64_t localHeaderOfs)
{
    ZipTestEntry alias = target.method == 8 ? DeflatedEntry(name, "") : StoredEntry(name, "");
    alias.payload = std::string();
    alias.localHeaderOffsetOverride = localHeaderOfs;
    alias.compressedSizeOverride = target.method == 8 ? DeflateRaw(target.data).size() : target.data.size();
    alias.uncompressedSizeOverride = target.data.size();
    alias.crcOverride = Crc32Of(target.data);
    return alias;
}

TEST_F(HostileArchive, OverlappingEntriesYieldOnlyTheBytesTheyCover)
{
    // Twenty central records naming the first entry's local header: each inflates the same body again, and the
    // memory in use after each is what the open took, so repeated bodies cost output, never memory.
    const ZipTestEntry body = DeflatedEntry("body.txt", SampleText(100000));
    std::vector<ZipTestEntry> entries{body};
    for (int i = 0; i < 20; ++i) {
        entries.push_back(Alias("alias" + std::to_string(i), body, 0));
    }
    ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip(entries)));
    const size_t heldWhileOpen = heap.blocks.size();
    for (mz_uint index = 0; index < entries.size(); ++index) {
        const Outcome outcome = Extract(index);
        EXPECT_TRUE(outcome.ok) << index;
        EXPECT_TRUE(outcome.bytes == body.data) << index;
        EXPECT_EQ(heldWhileOpen, heap.blocks.size()) << index;
    }

    // A local header hidden inside another entry's stored data.
    const std::string innerLocal = BuildZip({StoredEntry("inner", "inner bytes")}).substr(0, 30 + 5 + 11);
    const ZipTestEntry outer = StoredEntry("outer", innerLocal + "tail");
    ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({outer, Alias("inner", StoredEntry("", "inner bytes"), 30 + 5)})));
    EXPECT_EQ(outer.data, Extract(0).bytes);
    const Outcome inner = Extract(1);
    EXPECT_TRUE(inner.ok);
    EXPECT_EQ("inner bytes", inner.bytes);

    // Data claimed to run over the central directory up to the last byte of the image: those bytes and no more.
    // The open-time bound leaves out the local name, so one byte further is refused only when extracting.
    ZipTestEntry greedy = StoredEntry("greedy", "abc");
    const size_t dataOfs = 30 + 6;
    const size_t imageSize = BuildZip({greedy}).size();
    for (const size_t overrun : {0, 1}) {
        greedy.compressedSizeOverride = imageSize - dataOfs + overrun;
        greedy.uncompressedSizeOverride = greedy.compressedSizeOverride;
        ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({greedy}))) << overrun;
        const Outcome outcome = Extract(0);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(overrun == 0 ? MZ_ZIP_DECOMPRESSION_FAILED : MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, outcome.error);
        EXPECT_EQ(overrun == 0 ? image.substr(dataOfs) : "", outcome.bytes);
    }
}

struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    mz_zip_error openError;
    mz_uint entries; // after an open that succeeds
};

// Two stored entries, "a.txt" = "hello" and "b.txt" = "world": local headers at 0 and 40, the central directory at
// 80 (two records of 51 bytes); then the end record at 182, or with zip64 records the zip64 end record at 182, its
// locator at 238 and the end record at 258.
constexpr size_t SECOND_RECORD = 80 + 51;
constexpr size_t END_RECORD = 182;
constexpr size_t ZIP64_END_RECORD = 182;
constexpr size_t ZIP64_LOCATOR = 238;

void SetCount(std::string& bytes, uint16_t count)
{
    PutLe16(bytes, END_RECORD + 8, count);
    PutLe16(bytes, END_RECORD + 10, count);
}

TEST_F(HostileArchive, DirectoriesPointingOutsideTheImageAreRefused)
{
    const Damage cases[] = {
        {"directory one byte longer than the image", [](std::string& z) { PutLe32(z, END_RECORD + 12, 125); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"directory offset near 2^32", [](std::string& z) { PutLe32(z, END_RECORD + 16, 0xFFFFFFCD); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"directory end wrapping 32 bits to zero",
         [](std::string& z) {
             PutLe32(z, END_RECORD + 12, 0x80);
             PutLe32(z, END_RECORD + 16, 0xFFFFFF80);
         },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"directory at a local header", [](std::string& z) { PutLe32(z, END_RECORD + 16, 0); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"more entries than the directory holds", [](std::string& z) { SetCount(z, 3); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"local header offset wrapping 32 bits", [](std::string& z) { PutLe32(z, SECOND_RECORD + 42, 0xFFFFFFE2); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"directory stretched over the end record", [](std::string& z) { PutLe32(z, END_RECORD + 12, 124); },
         MZ_ZIP_NO_ERROR, 2},
        {"fewer entries than records", [](std::string& z) { SetCount(z, 1); }, MZ_ZIP_NO_ERROR, 1},
    };
    for (const Damage& damage : cases) {
        std::string bytes = BuildZip({StoredEntry("a.txt", "hello"), StoredEntry("b.txt", "world")});
        ASSERT_EQ(204u, bytes.size());
        damage.apply(bytes);
        EXPECT_EQ(damage.openError, Open(bytes)) << damage.what;
        if (damage.openError == MZ_ZIP_NO_ERROR) {
            ASSERT_EQ(damage.entries, mz_zip_reader_get_num_files(&zip)) << damage.what;
            for (mz_uint index = 0; index < damage.entries; ++index) {
                EXPECT_EQ(index == 0 ? "hello" : "world", Extract(index).bytes) << damage.what;
            }
        }
    }
}

TEST_F(HostileArchive, Zip64RecordsThatLieAreRefused)
{
    const Damage cases[] = {
        {"directory offset at a local header", [](std::string& z) { PutLe64(z, ZIP64_END_RECORD + 48, 0); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"a third entry read from the zip64 record",
         [](std::string& z) {
             PutLe64(z, ZIP64_END_RECORD + 24, 3);
             PutLe64(z, ZIP64_END_RECORD + 32, 3);
             PutLe64(z, ZIP64_END_RECORD + 40, 3 * 46);
         },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"directory one byte longer than the image", [](std::string& z) { PutLe64(z, ZIP64_END_RECORD + 40, 201); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"entry counts disagree", [](std::string& z) { PutLe64(z, ZIP64_END_RECORD + 32, 3); },
         MZ_ZIP_UNSUPPORTED_MULTIDISK, 0},
        {"disk numbers disagree", [](std::string& z) { PutLe32(z, ZIP64_END_RECORD + 16, 1); },
         MZ_ZIP_UNSUPPORTED_MULTIDISK, 0},
        // Without a zip64 record the 0xFFFF and 0xFFFFFFFF placeholders are taken as they stand.
        {"locator pointing at the central directory", [](std::string& z) { PutLe64(z, ZIP64_LOCATOR + 8, 80); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
    };
    ZipTestOptions options;
    options.zip64Directory = true;
    for (const Damage& damage : cases) {
        std::string bytes = BuildZip({StoredEntry("a.txt", "hello"), StoredEntry("b.txt", "world")}, options);
        ASSERT_EQ(280u, bytes.size());
        damage.apply(bytes);
        EXPECT_EQ(damage.openError, Open(bytes)) << damage.what;
    }

    // A zip64 field naming another entry's local header: that entry's bytes arrive, and the CRC gives them away.
    ZipTestEntry misplaced = StoredEntry("x.txt", "hello");
    misplaced.zip64 = true;
    misplaced.localHeaderOffsetOverride = 30 + 5 + 20 + 5;
    ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({misplaced, StoredEntry("y.txt", "world")})));
    const Outcome outcome = Extract(0);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(MZ_ZIP_DECOMPRESSION_FAILED, outcome.error);
    EXPECT_EQ("world", outcome.bytes);
}

struct Claim {
    const char* what;
    ZipTestEntry entry;
    mz_zip_error error;
    std::string delivered;
};

TEST_F(HostileArchive, OffsetsAndSizesNearTheTopOfTheirRangeFailBeforeAnyByte)
{
    // One stored zip64 entry "w" = "abc": its data starts at 30 + 1 + 20.
    const uint64_t dataOfs = 51;
    std::vector<Claim> cases;
    const auto add = [&cases](const char* what, mz_zip_error error, std::function<void(ZipTestEntry&)> claim) {
        ZipTestEntry entry = StoredEntry("w", "abc");
        entry.zip64 = true;
        claim(entry);
        cases.push_back({what, entry, error, ""});
    };
    add("compressed size 2^32", MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
        [](ZipTestEntry& e) { e.compressedSizeOverride = 1ull << 32; });
    add("compressed size wrapping the data end to zero", MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
        [&](ZipTestEntry& e) { e.compressedSizeOverride = 0 - dataOfs; });
    add("local header at 2^32, right modulo 32 bits", MZ_ZIP_FILE_READ_FAILED,
        [](ZipTestEntry& e) { e.localHeaderOffsetOverride = 1ull << 32; });
    add("local header end wrapping to zero", MZ_ZIP_FILE_READ_FAILED,
        [](ZipTestEntry& e) { e.localHeaderOffsetOverride = 0 - 30ull; });
    add("local header at 2^64 - 1", MZ_ZIP_FILE_READ_FAILED,
        [](ZipTestEntry& e) { e.localHeaderOffsetOverride = ~0ull; });
    for (const Claim& claim : cases) {
        ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({claim.entry}))) << claim.what;
        const Outcome outcome = Extract(0);
        EXPECT_FALSE(outcome.ok) << claim.what;
        EXPECT_EQ(claim.error, outcome.error) << claim.what;
        EXPECT_EQ("", outcome.bytes) << claim.what;
    }
}

TEST_F(HostileArchive, FourGigabyteClaimsOverAFewBytesDeliverOnlyThoseBytes)
{
    std::vector<Claim> cases;
    const auto add = [&cases](const char* what, ZipTestEntry entry, uint64_t uncompressed, bool zip64) {
        entry.zip64 = zip64;
        entry.uncompressedSizeOverride = uncompressed;
        const std::string data = entry.data;
        cases.push_back({what, entry, MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, data});
    };
    add("deflated, 0xFFFFFFFE declared", DeflatedEntry("d", "abc"), 0xFFFFFFFE, false);
    add("deflated, 0xFFFFFFFF without a zip64 field", DeflatedEntry("d", "abc"), 0xFFFFFFFF, false);
    add("deflated, 2^32 in a zip64 field", DeflatedEntry("d", "abc"), 1ull << 32, true);
    add("stored, 0xFFFFFFFE declared", StoredEntry("s", "abc"), 0xFFFFFFFE, false);
    add("stored, 2^64 - 1 in a zip64 field", StoredEntry("s", "abc"), ~0ull, true);
    // A megabyte of zeros deflates to about a kilobyte: the output passes through the 32 KiB ring many times over.
    add("deflated megabyte, 2^32 in a zip64 field", DeflatedEntry("z", std::string(1 << 20, '\0')), 1ull << 32, true);
    for (const Claim& claim : cases) {
        ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({claim.entry}))) << claim.what;
        EXPECT_EQ(claim.entry.uncompressedSizeOverride.value(), Stat(0).m_uncomp_size) << claim.what;
        const Outcome outcome = Extract(0);
        EXPECT_FALSE(outcome.ok) << claim.what;
        EXPECT_EQ(claim.error, outcome.error) << claim.what;
        EXPECT_TRUE(outcome.bytes == claim.delivered) << claim.what;
    }
    EXPECT_LE(heap.largest, FIXED_BUFFER_BYTES);
}

TEST_F(HostileArchive, LocalHeadersThatDisagreeWithTheCentralRecord)
{
    // One stored entry "entry.txt" = "local and central": the local name at 30, the data at 39.
    const std::string data = "local and central";
    const struct {
        const char* what;
        std::function<void(std::string&)> damage;
        mz_zip_error error;
        size_t deliveredFrom; // image offset of the bytes handed over; 0 for none
    } cases[] = {
        {"another name of the same length", [](std::string& z) { z.replace(30, 9, "other.txt"); }, MZ_ZIP_NO_ERROR, 39},
        {"deflate named locally", [](std::string& z) { PutLe16(z, 8, 8); }, MZ_ZIP_NO_ERROR, 39},
        {"encrypted and empty locally",
         [](std::string& z) {
             PutLe16(z, 6, 1);
             PutLe32(z, 18, 0);
             PutLe32(z, 22, 0);
         },
         MZ_ZIP_NO_ERROR, 39},
        {"a longer local name", [](std::string& z) { PutLe16(z, 26, 12); }, MZ_ZIP_DECOMPRESSION_FAILED, 42},
        {"a name past the image", [](std::string& z) { PutLe16(z, 26, 0xFFFF); }, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
         0},
        {"an extra field past the image", [](std::string& z) { PutLe16(z, 28, 0xFFFF); },
         MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, 0},
        {"a central signature", [](std::string& z) { PutLe32(z, 0, 0x02014b50); }, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
         0},
    };
    for (const auto& disagreement : cases) {
        std::string bytes = BuildZip({StoredEntry("entry.txt", data)});
        disagreement.damage(bytes);
        ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(bytes)) << disagreement.what;
        const Outcome outcome = Extract(0);
        EXPECT_EQ(disagreement.error == MZ_ZIP_NO_ERROR, outcome.ok) << disagreement.what;
        EXPECT_EQ(disagreement.error, outcome.error) << disagreement.what;
        EXPECT_EQ(disagreement.deliveredFrom == 0 ? "" : image.substr(disagreement.deliveredFrom, data.size()),
                  outcome.bytes)
            << disagreement.what;
        EXPECT_STREQ("entry.txt", Stat(0).m_filename) << disagreement.what;
    }

    // A local header cut short by the end of the image.
    ZipTestEntry cut = StoredEntry("cut.txt", data);
    cut.zip64 = true;
    cut.localHeaderOffsetOverride = BuildZip({cut}).size() - 10;
    ASSERT_EQ(MZ_ZIP_NO_ERROR, Open(BuildZip({cut})));
    const Outcome outcome = Extract(0);
    EXPECT_EQ(MZ_ZIP_FILE_READ_FAILED, outcome.error);
    EXPECT_EQ("", outcome.bytes);
}

} // namespace
